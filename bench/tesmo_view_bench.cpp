// Composition of a 1024 x 1024 top view from four fisheye cameras of 1280 x 720 on a 4.5 x 1.9 m
// vehicle, 1 m high, with hard seams (soft:0) and soft seams (soft:1), on two rigs:
//   rig:0  one camera on each side looking outwards, tilted 40 degrees down; the cameras' visible
//          areas (45 degrees around each optical axis) barely overlap, so soft seams change the
//          weights but hardly the area each camera covers;
//   rig:1  one camera on each corner looking across the front or back, tilted 30 degrees down;
//          front and back pairs overlap on a fifth of the view, where soft seams blend.
// threads:0 runs on OpenCV's default thread pool, threads:1 on the calling thread alone.
//   BM_Process      TesmoViewGeneratorCpu::process
//   BM_PlainOpenCV  the float pipeline a user would write with the same maps and weights
//   BM_TunedOpenCV  the same view from OpenCV's functions used well: fixed-point maps, each
//                   camera remapped only inside its box, weights normalised once at set-up,
//                   accumulateProduct into a float view converted to 8 bits once, row stripes
//                   on OpenCV's threads; checked once against BM_Process's view (PSNR >= 40 dB)
//   BM_Bandwidth    reads and writes the bytes process must touch at the least: the fixed-point
//                   maps, the 8-bit weights and the sampled frame area once, the output once
//   BM_Prepare      TesmoViewGeneratorCpu::prepare
//   BM_ProcessCuda  TesmoViewGeneratorCuda::process on the GPU layer's host back-end, host frames
//                   in and a host view out, with bands:0 (no multi-band blending, as the CPU
//                   generator) or bands:3
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "bench/view_bench_util.h"
#include "generator/tesmo_view.h"
#include "generator/tesmo_view_cpu.h"

namespace {

using tesmo::Camera;
using tesmo::bench::HostFrames;
using tesmo::bench::Params;
using tesmo::bench::Rig;

// The CPU generator with its prepared data in reach.
class Generator : public tesmo::TesmoViewGeneratorCpu {
 public:
  Generator(int rig, bool soft)
      : TesmoViewGeneratorCpu(Rig(rig), Params(soft, /*bands=*/0).root()) {}
  using TesmoViewGeneratorCpu::blockSpans;
  using TesmoViewGeneratorCpu::camerasROI;
  using TesmoViewGeneratorCpu::kBlockRows;
  using TesmoViewGeneratorCpu::warpMapsX16u;
  using TesmoViewGeneratorCpu::warpMapsY16u;
  using TesmoViewGeneratorCpu::weights8u;
};

// The tuned pipeline's data: per camera its fixed-point map (CV_16SC2 and CV_16UC1), its box
// (the view pixels where its weight is above 0) and its weights normalised once, as CV_8UC3
// samples that add up to 255 on a covered pixel, as the generator's do.
struct Tuned {
  std::vector<cv::Mat> mapsXY;
  std::vector<cv::Mat> mapsFraction;
  std::vector<cv::Rect> boxes;
  std::vector<cv::Mat> weights;
  // PSNR in dB of the tuned pipeline's view against the generator's.
  double psnr = 0;
};

struct Setup {
  std::unique_ptr<Generator> gen;
  std::vector<cv::Mat> frames;
  // The float data of the plain pipeline: warp maps, level-0 weights and their sum.
  std::vector<cv::Mat> floatMaps;
  std::vector<cv::Mat> floatWeights;
  cv::Mat weightSum;
  Tuned tuned;
};

// Rows of the view that one task of the tuned pipeline composes while they stay in cache.
const int kStripeRows = 16;

// One frame set through the tuned pipeline into out (CV_8UC3); acc is its float accumulator.
// Each stripe of rows is remapped, weighted, accumulated and converted by one task, so OpenCV's
// functions inside run on that task's thread.
void ComposeTuned(const Setup& s, cv::Mat& acc, cv::Mat& out) {
  const Tuned& t = s.tuned;
  const int interpolation = s.gen->getParams().interpolation;
  const cv::Size size = s.weightSum.size();
  acc.create(size, CV_32FC3);
  out.create(size, CV_8UC3);
  const int numStripes = (size.height + kStripeRows - 1) / kStripeRows;
  cv::parallel_for_(cv::Range(0, numStripes), [&](const cv::Range& r) {
    thread_local cv::Mat warped;
    for (int k = r.start; k < r.end; ++k) {
      const int y0 = k * kStripeRows;
      const cv::Rect stripe(0, y0, size.width, std::min(kStripeRows, size.height - y0));
      acc(stripe).setTo(cv::Scalar::all(0));
      for (size_t i = 0; i < s.frames.size(); ++i) {
        const cv::Rect box = t.boxes[i] & stripe;
        if (box.empty()) continue;
        cv::remap(s.frames[i], warped, t.mapsXY[i](box), t.mapsFraction[i](box), interpolation,
                  cv::BORDER_CONSTANT, cv::Scalar());
        cv::accumulateProduct(warped, t.weights[i](box), acc(box));
      }
      acc(stripe).convertTo(out(stripe), CV_8U, 1.0 / 255);
    }
  });
}

// The tuned pipeline's maps, boxes and weights from the plain pipeline's float data, and its
// view compared once with the generator's.
void PrepareTuned(Setup* s) {
  Tuned& t = s->tuned;
  // Where soft weights add up to 1 or less they are kept as they are, as the generator keeps them.
  cv::Mat sum = cv::max(s->weightSum, 1.0);
  for (size_t i = 0; i < s->floatMaps.size(); ++i) {
    t.mapsXY.emplace_back();
    t.mapsFraction.emplace_back();
    cv::convertMaps(s->floatMaps[i], cv::noArray(), t.mapsXY.back(), t.mapsFraction.back(),
                    CV_16SC2, /*nninterpolation=*/false);
    t.weights.emplace_back();
    cv::divide(s->floatWeights[i], sum, t.weights.back(), 255.0, CV_8U);
    cv::Mat channel;
    cv::extractChannel(t.weights.back(), channel, 0);
    t.boxes.push_back(cv::boundingRect(channel));
  }
  std::vector<cv::Mat> frames = s->frames;
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  cv::Mat expected, acc, out;
  s->gen->process(in, expected);
  ComposeTuned(*s, acc, out);
  t.psnr = cv::PSNR(out, expected);
}

// The set-up of rig state.range(0) with soft seams when state.range(1) is 1; the thread count
// as state.range(2) asks.
const Setup& GetSetup(const benchmark::State& state) {
  cv::setNumThreads(state.range(2) == 1 ? 1 : -1);
  static std::unique_ptr<Setup> setups[2][2];
  const int rig = static_cast<int>(state.range(0));
  const bool soft = state.range(1) != 0;
  std::unique_ptr<Setup>& s = setups[rig][soft ? 1 : 0];
  if (!s) {
    s.reset(new Setup);
    s->gen.reset(new Generator(rig, soft));
    cv::Mat mask;
    s->gen->prepare(mask);
    s->frames = HostFrames(s->gen->getCameras());
    std::vector<cv::Mat> masks;
    s->gen->computeMaps(s->floatMaps, masks);
    s->gen->stitchMasks(masks, mask);
    std::vector<std::vector<cv::Mat>> pyrs;
    std::vector<cv::Mat> sums;
    s->gen->preparePyramids(masks, &pyrs, &sums);
    for (const std::vector<cv::Mat>& pyr : pyrs) s->floatWeights.push_back(pyr[0]);
    s->weightSum = sums[0];
    PrepareTuned(s.get());
  }
  return *s;
}

void BM_Process(benchmark::State& state) {
  const Setup& s = GetSetup(state);
  std::vector<cv::Mat> frames = s.frames;
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  cv::Mat out;
  for (auto _ : state) {
    s.gen->process(in, out);
    benchmark::DoNotOptimize(out.data);
  }
}

void BM_PlainOpenCV(benchmark::State& state) {
  const Setup& s = GetSetup(state);
  const int interpolation = s.gen->getParams().interpolation;
  cv::Mat warped, warpedF, acc, out;
  for (auto _ : state) {
    acc.create(s.weightSum.size(), CV_32FC3);
    acc.setTo(cv::Scalar::all(0));
    for (size_t i = 0; i < s.frames.size(); ++i) {
      cv::remap(s.frames[i], warped, s.floatMaps[i], cv::noArray(), interpolation,
                cv::BORDER_CONSTANT, cv::Scalar());
      warped.convertTo(warpedF, CV_32F);
      cv::multiply(warpedF, s.floatWeights[i], warpedF);
      acc += warpedF;
    }
    cv::divide(acc, s.weightSum, acc);
    acc.convertTo(out, CV_8U);
    benchmark::DoNotOptimize(out.data);
  }
}

void BM_TunedOpenCV(benchmark::State& state) {
  const Setup& s = GetSetup(state);
  const std::string psnr = cv::format("PSNR %.1f dB against BM_Process", s.tuned.psnr);
  if (s.tuned.psnr < 40) {
    state.SkipWithError(("the tuned view differs from the generator's: " + psnr).c_str());
    return;
  }
  state.SetLabel(psnr);
  cv::Mat acc, out;
  for (auto _ : state) {
    ComposeTuned(s, acc, out);
    benchmark::DoNotOptimize(out.data);
  }
}

// Sum of n bytes read as 64-bit words (n a multiple of 8 or not: the tail is read bytewise).
uint64_t Touch(const uchar* p, size_t n) {
  uint64_t sum = 0;
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    uint64_t word;
    std::memcpy(&word, p + k, 8);
    sum += word;
  }
  for (; k < n; ++k) sum += p[k];
  return sum;
}

void BM_Bandwidth(benchmark::State& state) {
  const Setup& s = GetSetup(state);
  const Generator& gen = *s.gen;
  const cv::Size size = gen.getParams().viewSizeCashed;
  const int numBlocks = static_cast<int>(gen.blockSpans.size());
  const size_t numCams = s.frames.size();
  cv::Mat out(size, CV_8UC3);
  for (auto _ : state) {
    std::vector<uint64_t> sums(numBlocks + numCams, 0);
    // The sampled area of each frame, read once.
    cv::parallel_for_(cv::Range(0, static_cast<int>(numCams)), [&](const cv::Range& r) {
      for (int i = r.start; i < r.end; ++i) {
        const cv::Rect roi = gen.camerasROI[i];
        for (int y = roi.y; y < roi.y + roi.height; ++y) {
          sums[numBlocks + i] += Touch(s.frames[i].ptr(y, roi.x), roi.width * 3);
        }
      }
    });
    // Maps and weights inside each camera's columns of every block; the output written.
    cv::parallel_for_(cv::Range(0, numBlocks), [&](const cv::Range& r) {
      for (int b = r.start; b < r.end; ++b) {
        const int y0 = b * Generator::kBlockRows;
        const int y1 = std::min(size.height, y0 + Generator::kBlockRows);
        for (size_t i = 0; i < numCams; ++i) {
          const cv::Range span = gen.blockSpans[b][i];
          if (span.empty()) continue;
          for (int y = y0; y < y1; ++y) {
            sums[b] += Touch(gen.warpMapsX16u[i].ptr(y, span.start), span.size() * 4);
            sums[b] += Touch(gen.warpMapsY16u[i].ptr(y, span.start), span.size() * 2);
            sums[b] += Touch(gen.weights8u[i].ptr(y, span.start), span.size());
          }
        }
        for (int y = y0; y < y1; ++y) {
          std::memset(out.ptr(y), static_cast<int>(sums[b] & 0xff), size.width * 3);
        }
      }
    });
    benchmark::DoNotOptimize(sums.data());
    benchmark::DoNotOptimize(out.data);
  }
}

void BM_Prepare(benchmark::State& state) {
  cv::setNumThreads(state.range(2) == 1 ? 1 : -1);
  Generator gen(static_cast<int>(state.range(0)), state.range(1) != 0);
  cv::Mat mask;
  for (auto _ : state) {
    gen.prepare(mask);
    benchmark::DoNotOptimize(mask.data);
  }
}

void BM_ProcessCuda(benchmark::State& state) {
  cv::setNumThreads(state.range(2) == 1 ? 1 : -1);
  const int rig = static_cast<int>(state.range(0));
  const bool soft = state.range(1) != 0;
  const int bands = static_cast<int>(state.range(3));
  // Prepared once per rig, seams and bands.
  static std::map<std::tuple<int, bool, int>, std::unique_ptr<tesmo::TesmoViewGeneratorCuda>> gens;
  std::unique_ptr<tesmo::TesmoViewGeneratorCuda>& gen = gens[{rig, soft, bands}];
  if (!gen) {
    gen.reset(new tesmo::TesmoViewGeneratorCuda(Rig(rig), Params(soft, bands).root()));
    cv::Mat mask;
    gen->prepare(mask);
  }
  std::vector<cv::Mat> frames = HostFrames(gen->getCameras());
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  cv::Mat out;
  for (auto _ : state) {
    gen->process(in, out);
    benchmark::DoNotOptimize(out.data);
  }
}

void Args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"rig", "soft", "threads"});
  for (int threads : {0, 1}) {
    for (int rig : {0, 1}) {
      for (int soft : {0, 1}) b->Args({rig, soft, threads});
    }
  }
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Process)->Apply(Args);
BENCHMARK(BM_PlainOpenCV)->Apply(Args);
BENCHMARK(BM_TunedOpenCV)->Apply(Args);
BENCHMARK(BM_Bandwidth)->Apply(Args);
BENCHMARK(BM_Prepare)->Apply(Args);
BENCHMARK(BM_ProcessCuda)->Apply([](benchmark::internal::Benchmark* b) {
  b->ArgNames({"rig", "soft", "threads", "bands"});
  for (int threads : {0, 1}) {
    for (int rig : {0, 1}) {
      for (int soft : {0, 1}) {
        for (int bands : {0, 3}) b->Args({rig, soft, threads, bands});
      }
    }
  }
  b->Unit(benchmark::kMillisecond)->UseRealTime();
});

}  // namespace

BENCHMARK_MAIN();
