// Projection-map computation for one fisheye camera into a 1024 x 1024 view, plain and with the
// radial distortion of the view.
#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>

#include "generator/calc_maps.h"

namespace {

void BM_CalcCameraToPlaneMapBilinear(benchmark::State& state) {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 330, 0, 640, 0, 330, 360, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.05, -0.01, 0.003, -0.0005);
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(0.6f, 0.f, 0.f), R);
  const cv::Vec3f T(0.f, 0.f, 1.f);
  auto toCam = [&](float x, float y) { return R * cv::Vec3f(x, y, 0.f) + T; };
  tesmo::Distortion distortion;
  distortion.pow = static_cast<int>(state.range(1));
  distortion.force = 1.5f;
  const int side = static_cast<int>(state.range(0));
  cv::Mat map, mask;
  for (auto _ : state) {
    tesmo::CalcCameraToPlaneMapBilinear(tesmo::Fisheye, K, D, cv::Size(1280, 720), toCam(-5, -5),
                                        toCam(-5, 5), toCam(5, -5), toCam(5, 5),
                                        cv::Size(side, side), distortion, &map, &mask);
    benchmark::DoNotOptimize(map.data);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}

BENCHMARK(BM_CalcCameraToPlaneMapBilinear)
    ->ArgNames({"side", "pow"})
    ->Args({1024, 0})
    ->Args({1024, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
