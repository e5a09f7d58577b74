#include "streamer/private/video_writes/video_write_shmem.h"

#include <string>

#include "streamer/private/frame_wire.h"

namespace tesmo {

VideoWriteShmem::VideoWriteShmem(const std::string& shmem_id)
    : memory_manager_(std::make_shared<MemoryManager>(shmem_id)), shmem_id_(shmem_id) {}

VideoWriteShmem::~VideoWriteShmem() = default;

void VideoWriteShmem::SetupFrameStorage(cv::Size size) {
  uint8_t* buf = memory_manager_->GetDataPointer()->buf;
  input_frame_1_ = cv::Mat(size.height, size.width, CV_8UC3, buf);
  input_frame_2_ = cv::Mat(size.height, size.width, CV_8UC3,
                           buf + size_t(size.height) * size.width * 3);
  input_frame_ptr_ = &input_frame_1_;
}

void VideoWriteShmem::Fail(const std::string& text) {
  ReportFailure("VideoWriteShmem(" + shmem_id_ + "): " + text);
}

bool VideoWriteShmem::PublishImpl(const cv::Mat& frame, int64_t ts) {
  constexpr size_t kHalfSize = SharedData::kBufSize / 2;
  const bool fits = frame.type() == CV_8UC3 && !frame.empty() &&
                    (input_frame_ptr_ != nullptr
                         ? frame.size() == input_frame_1_.size()
                         : size_t(frame.rows) * frame.cols * 3 <= kHalfSize);
  if (!fits) {
    Fail("frame " + std::to_string(frame.cols) + "x" + std::to_string(frame.rows) + " of type " +
         std::to_string(frame.type()) + " not written: the segment holds " +
         (input_frame_ptr_ != nullptr
              ? std::to_string(input_frame_1_.cols) + "x" + std::to_string(input_frame_1_.rows) +
                    " 8-bit 3-channel frames"
              : std::string("8-bit 3-channel frames of at most 1920x1208")));
    return false;
  }
  if (input_frame_ptr_ == nullptr) SetupFrameStorage(frame.size());
  // The half being written is never the published one, so readers need not be held off.
  frame.copyTo(*input_frame_ptr_);

  SharedData* shared_data = memory_manager_->GetDataPointer();
  // Readers hold the mutex only while they copy a frame out; a process that died holding it
  // leaves it to this lock, and a live one that keeps it must not stop the publishing thread.
  SegmentLock lock(shared_data, kLockTimeoutMs);
  if (!lock.owns()) {
    Fail("frame not published: the segment's mutex stays locked");
    return false;
  }
  TensorMsgHeader& header = shared_data->header;
  FillFrameHeader(*input_frame_ptr_, ts, frameInd, &header);
  header.reserved = 0;
  if (input_frame_ptr_ == &input_frame_2_) {
    shared_data->offset = static_cast<uint32_t>(header.shape[0]) * header.shape[1] *
                          header.shape[2] * header.shape[3];
    input_frame_ptr_ = &input_frame_1_;
  } else {
    shared_data->offset = 0;
    input_frame_ptr_ = &input_frame_2_;
  }
  // Every waiting reader is woken: each of them is to get this frame.
  shared_data->condition.notify_all();
  return true;
}

}  // namespace tesmo
