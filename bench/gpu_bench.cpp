// The GPU layer's host back-end against OpenCV's host functions called directly.
//   BM_LaplacePyramidLayer  a Laplacian pyramid of a 1024 x 1024 CV_32FC3 image (pyrDown, pyrUp,
//                           subtract per level) queued on a stream, then waited for
//   BM_LaplacePyramidHost   the same with cv::pyrDown, cv::pyrUp and cv::subtract
//   BM_QueuedOperation      cost of one small queued operation (setTo of a 1 x 1 image)
#include <benchmark/benchmark.h>

#include <vector>

#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"

namespace {

using tesmo::gpu::Image;

constexpr int kSide = 1024;

cv::Mat Input() {
  cv::Mat m(kSide, kSide, CV_32FC3);
  cv::randu(m, 0.0, 1.0);
  return m;
}

void BM_LaplacePyramidLayer(benchmark::State& state) {
  const int levels = static_cast<int>(state.range(0));
  tesmo::gpu::Stream stream;
  Image img;
  tesmo::gpu::upload(Input(), img, stream);
  std::vector<Image> pyr(levels + 1), up(levels);
  for (auto _ : state) {
    pyr[0] = img;
    for (int i = 0; i < levels; ++i) tesmo::gpu::pyrDown(pyr[i], pyr[i + 1], stream);
    for (int i = 0; i < levels; ++i) {
      tesmo::gpu::pyrUp(pyr[i + 1], up[i], stream);
      tesmo::gpu::subtract(pyr[i], up[i], pyr[i], stream);
    }
    stream.waitForCompletion();
  }
}
BENCHMARK(BM_LaplacePyramidLayer)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LaplacePyramidHost(benchmark::State& state) {
  const int levels = static_cast<int>(state.range(0));
  const cv::Mat img = Input();
  std::vector<cv::Mat> pyr(levels + 1), up(levels);
  for (auto _ : state) {
    pyr[0] = img;
    for (int i = 0; i < levels; ++i) cv::pyrDown(pyr[i], pyr[i + 1]);
    for (int i = 0; i < levels; ++i) {
      cv::pyrUp(pyr[i + 1], up[i]);
      cv::subtract(pyr[i], up[i], pyr[i]);
    }
  }
}
BENCHMARK(BM_LaplacePyramidHost)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QueuedOperation(benchmark::State& state) {
  tesmo::gpu::Stream stream;
  Image pixel(1, 1, CV_8UC3);
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) tesmo::gpu::setTo(pixel, cv::Scalar::all(i), stream);
    stream.waitForCompletion();
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_QueuedOperation)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
