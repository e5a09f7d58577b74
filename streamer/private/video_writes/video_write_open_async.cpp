#include "streamer/private/video_writes/video_write_open_async.h"

#include <chrono>
#include <exception>
#include <iostream>
#include <utility>

#include <glog/logging.h>

#include "common/perf.h"

namespace tesmo {

VideoWriteOpenAsync::VideoWriteOpenAsync(std::shared_ptr<VideoWrite> videoWrite)
    : videoWrite(std::move(videoWrite)) {
  thread = std::thread(&VideoWriteOpenAsync::run, this);
}

VideoWriteOpenAsync::~VideoWriteOpenAsync() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    bThreadTerminated = true;
  }
  cv.notify_one();
  thread.join();
  std::cout << "~VideoWriteOpenAsync(), skipped " << skippedFrames << " frames\n";
}

bool VideoWriteOpenAsync::PublishImpl(const cv::Mat& frame, int64_t timestamp) {
  std::lock_guard<std::mutex> lock(mutex);
  if (bReady) {
    ++skippedFrames;
    return false;
  }
  {
    perf::ScopedTimer timer("vwa_copy");
    frame.copyTo(frontBuf->frame);
  }
  frontBuf->timestamp = timestamp;
  bReady = true;
  cv.notify_one();
  return true;
}

int VideoWriteOpenAsync::FailedFrames() const { return videoWrite->FailedFrames() + lostFrames; }

void VideoWriteOpenAsync::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!bReady) {
        cv.wait_for(lock, std::chrono::milliseconds(100),
                    [this] { return bReady || bThreadTerminated; });
      }
      // A frame accepted into the slot is still published after termination was asked for:
      // Publish reported it as taken, so it must not vanish.
      if (!bReady) {
        if (bThreadTerminated) break;
        continue;
      }
      std::swap(frontBuf, backBuf);
      bReady = false;
    }

    perf::ScopedTimer timer("vwa_publish");
    // An exception must not leave this thread: it would end the whole process. The frame is lost
    // and the worker goes on with the next one.
    try {
      videoWrite->Publish(backBuf->frame, backBuf->timestamp);
    } catch (const std::exception& e) {
      ++lostFrames;
      LOG(ERROR) << "VideoWriteOpenAsync: publishing failed: " << e.what();
    }
  }
}

}  // namespace tesmo
