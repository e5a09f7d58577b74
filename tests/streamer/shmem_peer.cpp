// Second process for the shared-memory tests.
//
//   shmem_peer write NAME COUNT PERIOD_MS ROWS COLS
//     publishes COUNT frames PatternImage(ROWS, COLS, i % 256) stamped 1000 + i, PERIOD_MS apart.
//   shmem_peer read NAME COUNT TIMEOUT_MS [READY_FILE]
//     opens the segment (then creates READY_FILE when given), reads COUNT frames, each newer
//     than the last, and checks every byte against PatternImage(rows, cols, (ts - 1000) % 256).
//   shmem_peer die NAME mutex|condition
//     opens the segment as a writer, then dies (SIGKILL) holding the segment's mutex, or the
//     condition's internal lock as glibc's pthread_cond_* functions do while they run.
// Exit 0 on success, 1 on a wrong frame, 2 on time-out, 3 on bad usage.
// Exit 4 when one Next call kept the reader longer than kMaxNextMs.

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <glog/logging.h>
#include <opencv2/core.hpp>

#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/memory_manager.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/util.h"
#include "tests/streamer/transport_test_util.h"

namespace {

using tesmo::testing_util::PatternImage;

// Longest a Next call may take: the source gives up after 100 ms, so only a blocked call takes it.
constexpr int64_t kMaxNextMs = 5000;

int Write(const std::string& name, int count, int period_ms, int rows, int cols) {
  tesmo::VideoWriteShmem sink(name);
  for (int i = 0; i < count; ++i) {
    sink.Publish(PatternImage(rows, cols, i % 256), 1000 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
  }
  return 0;
}

int Read(const std::string& name, int count, int timeout_ms, const std::string& ready_file) {
  tesmo::ShmemFrameStream source(/*scale=*/1.0, name);
  if (!ready_file.empty()) {
    if (std::FILE* f = std::fopen(ready_file.c_str(), "w")) std::fclose(f);
  }
  const int64_t start = tesmo::now();
  int64_t last_ts = -1;
  for (int good = 0; good < count;) {
    if (tesmo::now() - start > timeout_ms) {
      std::fprintf(stderr, "time-out after %d frames\n", good);
      return 2;
    }
    cv::Mat frame;
    int64_t ts = 0;
    const int64_t call = tesmo::now();
    const bool got = source.Next(&frame, &ts, /*bAllowScale=*/true);
    if (tesmo::now() - call > kMaxNextMs) return 4;
    if (!got) continue;
    if (ts <= last_ts ||
        cv::norm(frame, PatternImage(frame.rows, frame.cols, (ts - 1000) % 256),
                 cv::NORM_INF) != 0.0) {
      std::fprintf(stderr, "wrong frame stamped %lld\n", static_cast<long long>(ts));
      return 1;
    }
    last_ts = ts;
    ++good;
  }
  return 0;
}

int Die(const std::string& name, const std::string& section) {
  // The sink stays open: a writer that dies removes nothing.
  tesmo::VideoWriteShmem sink(name);
  tesmo::MemoryManager segment(name);
  tesmo::SharedData* data = segment.GetDataPointer();
  if (section == "mutex") {
    tesmo::SegmentLock lock(data, 5000);
    if (!lock.owns()) return 2;
    raise(SIGKILL);
  } else if (section == "condition") {
    // glibc keeps the condition's internal lock in the two low bits of __g1_orig_size.
    reinterpret_cast<pthread_cond_t*>(&data->condition)->__data.__g1_orig_size |= 3;
    raise(SIGKILL);
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  google::InitGoogleLogging(argv[0]);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 7) {
    return Write(argv[2], std::stoi(argv[3]), std::stoi(argv[4]), std::stoi(argv[5]),
                 std::stoi(argv[6]));
  }
  if (mode == "read" && (argc == 5 || argc == 6)) {
    return Read(argv[2], std::stoi(argv[3]), std::stoi(argv[4]), argc == 6 ? argv[5] : "");
  }
  if (mode == "die" && argc == 4) return Die(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: shmem_peer write NAME COUNT PERIOD_MS ROWS COLS | "
               "read NAME COUNT TIMEOUT_MS [READY_FILE] | die NAME mutex|condition\n");
  return 3;
}
