// Composition of a 1024 x 1024 top view from four fisheye cameras of 1280 x 720 on a 4.5 x 1.9 m
// vehicle, 1 m high, one camera on each side looking outwards, tilted 40 degrees down, with hard
// seams (soft:0) or soft seams (soft:1) and bands:0 to 3 levels of multi-band blending, through
// OpenCL on the device that OPENCV_OPENCL_DEVICE selects (run it with OPENCV_OPENCL_DEVICE=:CPU:
// for PoCL, :GPU: for a graphics card).
//   BM_ProcessOpenCl  TesmoViewGeneratorOpenCL::process, device frames in, host view out
//   BM_ProcessCpu     TesmoViewGeneratorCpu::process on the same frames (level 0 only)
//   BM_PrepareOpenCl  TesmoViewGeneratorOpenCL::prepare
#include <benchmark/benchmark.h>

#include <opencv2/core/ocl.hpp>
#include <string>
#include <vector>

#include "bench/view_bench_util.h"
#include "generator/tesmo_view_cpu.h"
#include "generator/tesmo_view_opencl.h"

namespace {

using tesmo::Camera;
using tesmo::bench::HostFrames;
using tesmo::bench::Params;

std::vector<Camera> Rig() { return tesmo::bench::Rig(0); }

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
