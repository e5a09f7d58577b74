#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <opencv2/core.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Runs another sink on a worker thread of its own. Publish copies the frame into a one-slot
// hand-over and returns at once; while the slot still holds a frame the worker has not taken, new
// frames are dropped and counted. At most two frames are inside at a time: one being published
// by the worker, one waiting. The region of interest belongs to the wrapped sink and is applied
// on the worker thread. The destructor lets the worker publish a frame still waiting in the slot,
// joins it and prints the number of dropped frames. Exceptions of the wrapped sink are logged on
// the worker and cost only their frame. FailedFrames counts the frames the wrapped sink could
// not deliver, those exceptions included; dropped frames are not failures.
//
//   auto sink = std::make_shared<VideoWriteOpenAsync>(std::make_shared<VideoWriteSeq>("out"));
//   sink->Publish(frame, now());  // one pixel copy; the PNG is written on the worker
class VideoWriteOpenAsync : public VideoWrite {
 public:
  explicit VideoWriteOpenAsync(std::shared_ptr<VideoWrite> videoWrite);
  ~VideoWriteOpenAsync() override;

  // The wrapped sink's failures and the frames its exceptions cost. Any thread.
  int FailedFrames() const override;

  struct FrameBuf {
    cv::Mat frame;
    int64_t timestamp = 0;
  };

 protected:
  // Producer side: false when the frame was dropped because the slot was full.
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override;

 private:
  void run();

  std::shared_ptr<VideoWrite> videoWrite;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable cv;
  bool bReady = false;
  FrameBuf framesBufs[2];
  FrameBuf* frontBuf = &framesBufs[1];
  FrameBuf* backBuf = &framesBufs[0];
  int skippedFrames = 0;
  // Frames whose publishing threw on the worker.
  std::atomic<int> lostFrames{0};
  std::atomic<bool> bThreadTerminated{false};
};

}  // namespace tesmo
