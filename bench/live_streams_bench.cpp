// Loan and return of a 4-camera frame set at steady state: time per set and heap allocations per
// set. Every allocation of the process goes through the malloc family below, which counts it
// (per thread and in total) and forwards to glibc.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <glog/logging.h>
#include <opencv2/core.hpp>

#include "streamer/frame_streams.h"
#include "streamer/live_streams.h"
#include "streamer/util.h"

namespace {

std::atomic<int64_t> gAllocations{0};
thread_local int64_t tAllocations = 0;

inline void countAllocation() {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  ++tAllocations;
}

}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);

void* malloc(size_t size) {
  countAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  countAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* ptr, size_t size) {
  countAllocation();
  return __libc_realloc(ptr, size);
}
void* memalign(size_t alignment, size_t size) {
  countAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  countAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  countAllocation();
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* ptr) { __libc_free(ptr); }
}

namespace tesmo {
namespace {

// A camera delivering 640x480 frames, either as fast as it is asked or one every `frameTime`.
// It writes into the buffer's image in place, so it allocates nothing once the image exists.
class BenchSource : public FrameStream {
 public:
  explicit BenchSource(std::chrono::microseconds frameTime)
      : FrameStream(1.0), frame_time_(frameTime) {}
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool /*bAllowScale*/) override {
    if (frame_time_.count() > 0) std::this_thread::sleep_for(frame_time_);
    frame->create(480, 640, CV_8UC3);
    ++seq_;
    std::memcpy(frame->data, &seq_, sizeof(seq_));
    *timestamp_ms = now();
    return true;
  }

 private:
  const std::chrono::microseconds frame_time_;
  int64_t seq_ = 0;
};

constexpr int kCameras = 4;

void addSources(FrameStreams* streams, std::chrono::microseconds frameTime) {
  for (int i = 0; i < kCameras; ++i) {
    auto data = std::make_shared<FrameStreams::FrameStreamData>();
    data->name = "cam" + std::to_string(i);
    data->ind = i;
    data->stream = std::make_shared<BenchSource>(frameTime);
    streams->frameStreams.push_back(data);
  }
}

cv::FileStorage memoryConfig(const std::string& text) {
  return cv::FileStorage("%YAML:1.0\n---\n" + text + "\n",
                         cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

// Steady state: every camera delivering, queues and the recycled set at their full size.
void warmUp(LiveStreams& live) {
  int warm = 0;
  while (warm < 200) {
    bool bTimeout = false;
    auto set = live.loanBuffer(bTimeout);
    if (!bTimeout) ++warm;
    live.returnBuffer(std::move(set));
  }
}

// The allocation counts at construction: this thread's and all threads'.
struct AllocationMark {
  int64_t own = tAllocations;
  int64_t all = gAllocations.load();
};

void reportAllocations(benchmark::State& state, const AllocationMark& before, int64_t timeouts) {
  const double sets = static_cast<double>(state.iterations());
  state.counters["allocs_per_set_consumer"] = (tAllocations - before.own) / sets;
  state.counters["allocs_per_set_all_threads"] = (gAllocations.load() - before.all) / sets;
  state.counters["no_signal_sets"] = static_cast<double>(timeouts);
}

// Readers running free beside the consumer: the arguments are the sources' frame time in µs (0:
// as fast as asked, so a frame is always ready and the readers drop the surplus) and the
// OutputFrameType bits (with GPU_MAT every frame also passes the upload thread).
void BM_LoanReturnFourCameras(benchmark::State& state) {
  FrameStreams streams(memoryConfig("camera_streams: {}"));
  addSources(&streams, std::chrono::microseconds(state.range(0)));
  LiveStreams live(streams, cv::FileStorage(), static_cast<int>(state.range(1)), 0);
  live.start();
  warmUp(live);

  const AllocationMark before{};
  int64_t timeouts = 0;
  for (auto _ : state) {
    bool bTimeout = false;
    auto set = live.loanBuffer(bTimeout);
    benchmark::DoNotOptimize(set.data());
    timeouts += bTimeout;
    live.returnBuffer(std::move(set));
  }
  reportAllocations(state, before, timeouts);
  live.stop();
}
BENCHMARK(BM_LoanReturnFourCameras)
    ->ArgNames({"frame_us", "form"})
    ->Args({0, LiveStreams::CPU_MAT})
    ->Args({100, LiveStreams::CPU_MAT})
    ->Args({0, LiveStreams::CPU_MAT | LiveStreams::GPU_MAT})
    ->Args({100, LiveStreams::CPU_MAT | LiveStreams::GPU_MAT})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The cost of loanBuffer + returnBuffer alone: readers paced (fps_max 1000, so they rest 3 ms
// after each frame and are mostly idle); each timed loan starts once every camera has a frame
// ready.
void BM_LoanReturnFourCamerasReady(benchmark::State& state) {
  FrameStreams streams(memoryConfig("camera_streams: {}"));
  addSources(&streams, std::chrono::microseconds(0));
  LiveStreams live(streams, memoryConfig("live_streams: { fps_max: 1000 }"), LiveStreams::CPU_MAT,
                   -1);
  live.start();
  warmUp(live);

  const AllocationMark before{};
  int64_t timeouts = 0;
  for (auto _ : state) {
    for (int i = 0; i < kCameras; ++i) {
      while (live.getMidQueueFullness(i) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    const auto t0 = std::chrono::steady_clock::now();
    bool bTimeout = false;
    auto set = live.loanBuffer(bTimeout);
    benchmark::DoNotOptimize(set.data());
    live.returnBuffer(std::move(set));
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    timeouts += bTimeout;
  }
  reportAllocations(state, before, timeouts);
  live.stop();
}
BENCHMARK(BM_LoanReturnFourCamerasReady)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

}  // namespace
}  // namespace tesmo

int main(int argc, char** argv) {
  google::InitGoogleLogging(argv[0]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
