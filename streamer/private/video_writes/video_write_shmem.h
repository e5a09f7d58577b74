#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "streamer/private/memory_manager.h"
#include "streamer/video_write.h"

namespace tesmo {

// Sink "shmem": publishes each frame into the shared-memory segment `shmem_id` (created here when
// the writer comes first), alternating between the two halves so that readers copying the
// published half are never disturbed. The first frame fixes the stored size; frames must be
// 8-bit 3-channel of that size and at most 1920 x 1208 pixels. Other frames are not written:
// PublishImpl logs an error (at most once a second) and returns false, as it does when the
// segment's mutex cannot be had within kLockTimeoutMs.
class VideoWriteShmem : public VideoWrite {
 public:
  static constexpr int kLockTimeoutMs = 500;

  explicit VideoWriteShmem(const std::string& shmem_id);
  ~VideoWriteShmem() override;

  // Lays the two halves over the segment's buffer for frames of `size`.
  void SetupFrameStorage(cv::Size size);

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t ts) override;

 private:
  std::shared_ptr<MemoryManager> memory_manager_;
  cv::Mat input_frame_1_;
  cv::Mat input_frame_2_;
  cv::Mat* input_frame_ptr_ = nullptr;
  // Reports a frame that is not written, naming the segment (see ReportFailure).
  void Fail(const std::string& text);

  std::string shmem_id_;
};

}  // namespace tesmo
