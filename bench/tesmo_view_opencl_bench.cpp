// Composition of a 1024 x 1024 top view from four fisheye cameras of 1280 x 720 on a 4.5 x 1.9 m
// vehicle, 1 m high, one camera on each side looking outwards, tilted 40 degrees down, with hard
// seams (soft:0) or soft seams (soft:1) and bands:0 to 3 levels of multi-band blending, through
// OpenCL on the device that OPENCV_OPENCL_DEVICE selects (run it with OPENCV_OPENCL_DEVICE=:CPU:
// for PoCL, :GPU: for a graphics card).
//   BM_ProcessOpenCl  TesmoViewGeneratorOpenCL::process, device frames in, host view out
//   BM_ProcessCpu     TesmoViewGeneratorCpu::process on the same frames (level 0 only)
//   BM_PrepareOpenCl  TesmoViewGeneratorOpenCL::prepare
#include <benchmark/benchmark.h>

#include <cmath>
#include <opencv2/core/ocl.hpp>
#include <string>
#include <vector>

#include "generator/tesmo_view_cpu.h"
#include "generator/tesmo_view_opencl.h"

namespace {

using tesmo::Camera;
using tesmo::Pose3f;

// World to camera pose of a camera at `position` looking along heading `yaw`, tilted down.
Pose3f LookingPose(const cv::Vec3f& position, float yaw, float tilt) {
  const cv::Vec3f heading(std::cos(yaw), std::sin(yaw), 0.f);
  const cv::Vec3f z = std::cos(tilt) * heading + std::sin(tilt) * cv::Vec3f(0.f, 0.f, -1.f);
  const cv::Vec3f x = heading.cross(cv::Vec3f(0.f, 0.f, 1.f));
  const cv::Vec3f y = z.cross(x);
  const cv::Matx33f R(x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
  return Pose3f(R, -(R * position));
}

std::vector<Camera> Rig() {
  const cv::Size frame(1280, 720);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 410, 0, 640, 0, 410, 360, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.02, -0.005, 0.001, 0.0);
  const float pi = static_cast<float>(CV_PI);
  const float tilt = 40.f * pi / 180.f;
  return {
      Camera("back", frame, tesmo::Fisheye, K, D, LookingPose({-2.25f, 0.f, 1.f}, pi, tilt)),
      Camera("front", frame, tesmo::Fisheye, K, D, LookingPose({2.25f, 0.f, 1.f}, 0.f, tilt)),
      Camera("left", frame, tesmo::Fisheye, K, D, LookingPose({0.f, 0.95f, 1.f}, pi / 2, tilt)),
      Camera("right", frame, tesmo::Fisheye, K, D, LookingPose({0.f, -0.95f, 1.f}, -pi / 2, tilt))};
}

cv::FileStorage Params(bool soft, int bands) {
  const std::string yaml = "%YAML:1.0\n---\nmode: top_view\nview_size: [1024, 1024]\n"
                           "top_view: { roi: [-6, 6, 6, -6] }\n" +
                           std::string(soft ? "blend_border_width: 0.1\n" : "") +
                           "num_bands_blend: " + std::to_string(bands) + "\n";
  return cv::FileStorage(yaml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

std::vector<cv::Mat> HostFrames(const std::vector<Camera>& cams) {
  std::vector<cv::Mat> frames;
  cv::RNG rng(7);
  for (const Camera& cam : cams) {
    cv::Mat f(cam.frameSize, CV_8UC3);
    rng.fill(f, cv::RNG::UNIFORM, 0, 256);
    frames.push_back(f);
  }
  return frames;
}

bool RequireOpenCl(benchmark::State& state) {
  cv::ocl::setUseOpenCL(true);
  if (!cv::ocl::useOpenCL()) {
    state.SkipWithError("no OpenCL device");
    return false;
  }
  state.SetLabel(cv::ocl::Device::getDefault().name());
  return true;
}

void BM_ProcessOpenCl(benchmark::State& state) {
  if (!RequireOpenCl(state)) return;
  const std::vector<Camera> cams = Rig();
  tesmo::TesmoViewGeneratorOpenCL gen(cams, Params(state.range(0) != 0,
                                                   static_cast<int>(state.range(1))).root());
  cv::Mat covered;
  gen.prepare(covered);
  std::vector<cv::UMat> frames;
  for (const cv::Mat& f : HostFrames(cams)) {
    frames.emplace_back();
    f.copyTo(frames.back());
  }
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  cv::Mat out;
  gen.process(in, out);
  for (auto _ : state) {
    gen.process(in, out);
    benchmark::DoNotOptimize(out.data);
  }
  cv::ocl::finish();
}
BENCHMARK(BM_ProcessOpenCl)
    ->ArgNames({"soft", "bands"})
    ->ArgsProduct({{0, 1}, {0, 3}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ProcessCpu(benchmark::State& state) {
  const std::vector<Camera> cams = Rig();
  tesmo::TesmoViewGeneratorCpu gen(cams, Params(state.range(0) != 0, 0).root());
  cv::Mat covered;
  gen.prepare(covered);
  std::vector<cv::Mat> frames = HostFrames(cams);
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  cv::Mat out;
  for (auto _ : state) {
    gen.process(in, out);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_ProcessCpu)->ArgNames({"soft"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_PrepareOpenCl(benchmark::State& state) {
  if (!RequireOpenCl(state)) return;
  tesmo::TesmoViewGeneratorOpenCL gen(Rig(), Params(/*soft=*/true,
                                                    static_cast<int>(state.range(0))).root());
  cv::Mat covered;
  for (auto _ : state) {
    gen.prepare(covered);
    benchmark::DoNotOptimize(covered.data);
  }
  cv::ocl::finish();
}
BENCHMARK(BM_PrepareOpenCl)->ArgNames({"bands"})->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
