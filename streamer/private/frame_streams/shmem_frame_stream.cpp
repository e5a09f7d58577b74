#include "streamer/private/frame_streams/shmem_frame_stream.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

ShmemFrameStream::ShmemFrameStream(double scale, const std::string& mem_id)
    : FrameStream(scale),
      memory_manager_(std::make_unique<MemoryManager>(mem_id)),
      malformed_("ShmemFrameStream(" + mem_id + ")") {
  std::cout << "Create ShmemFrameStream(mem_id = " << mem_id << ")\n";
}

ShmemFrameStream::~ShmemFrameStream() = default;

bool ShmemFrameStream::Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) {
  // The reader polls the header instead of waiting on the segment's condition: a condition
  // wait must take the mutex back without a time-out, so a writer that died holding it (or a
  // condition it left corrupted) would keep this thread for ever.
  SharedData* shared_data = memory_manager_->GetDataPointer();
  const int64_t deadline = now<std::chrono::steady_clock>() + kWaitTimeoutMs;
  for (;;) {
    const int64_t left = deadline - now<std::chrono::steady_clock>();
    {
      SegmentLock lock(shared_data, static_cast<int>(std::max<int64_t>(left, 1)));
      if (lock.owns() && HasNewFrame(shared_data->header)) {
        return TakeFrame(shared_data, frame, ts, bAllowScale);
      }
    }
    if (now<std::chrono::steady_clock>() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
}

bool ShmemFrameStream::HasNewFrame(const TensorMsgHeader& header) const {
  // A fresh segment is all zero: nothing has been published yet.
  const bool published = header.timestamp != 0 || header.shape[0] != 0;
  return published && (header.timestamp != timestamp_ || header.index != index_);
}

bool ShmemFrameStream::TakeFrame(SharedData* shared_data, cv::Mat* frame, int64_t* ts,
                                 bool bAllowScale) {
  const TensorMsgHeader header = shared_data->header;
  const uint32_t offset = shared_data->offset;
  timestamp_ = header.timestamp;
  index_ = header.index;
  if (ts != nullptr) *ts = header.timestamp;

  FrameGeometry geometry;
  std::string reason;
  const size_t buf_size = static_cast<size_t>(memory_manager_->GetBufSize());
  if (!DescribeFrame(header.shape, header.dtype, &geometry, &reason) || offset > buf_size ||
      geometry.frame_size > buf_size - offset) {
    malformed_.Drop(
        "Check failed: header.shape[0] * header.shape[1] * header.shape[2] * header.shape[3] "
        "<= memory_manager_->GetBufSize() - shared_data->offset Incorrect size (shape " +
        std::to_string(header.shape[0]) + "x" + std::to_string(header.shape[1]) + "x" +
        std::to_string(header.shape[2]) + "x" + std::to_string(header.shape[3]) + ", dtype " +
        std::to_string(header.dtype) + ", offset " + std::to_string(offset) + ")");
    return false;
  }
  if (!IsComposable(geometry.type, &reason)) {
    malformed_.Drop(reason);
    return false;
  }
  const cv::Size size(geometry.cols, geometry.rows);
  const bool bScale = scale != 1.0 && bAllowScale;
  if (bScale && !FitsScaled(size, scale, CV_ELEM_SIZE(geometry.type))) {
    malformed_.Drop(ScaledFrameRefusal(size, scale));
    return false;
  }
  const cv::Mat view(size, geometry.type, shared_data->buf + offset);
  try {
    ScaledCopy(view, bScale ? scale : 1.0, frame);
  } catch (const cv::Exception& e) {
    malformed_.Drop(std::string("Frame not usable: ") + e.what());
    return false;
  }
  return true;
}

}  // namespace tesmo
