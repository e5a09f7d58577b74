#include "streamer/private/frame_streams/shmem_frame_stream.h"

#include <cmath>
#include <iostream>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <opencv2/imgproc.hpp>

namespace tesmo {

namespace bip = boost::interprocess;

ShmemFrameStream::ShmemFrameStream(double scale, const std::string& mem_id)
    : FrameStream(scale),
      memory_manager_(std::make_unique<MemoryManager>(mem_id)),
      malformed_("ShmemFrameStream(" + mem_id + ")") {
  std::cout << "Create ShmemFrameStream(mem_id = " << mem_id << ")\n";
}

ShmemFrameStream::~ShmemFrameStream() = default;

bool ShmemFrameStream::Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) {
  SharedData* shared_data = memory_manager_->GetDataPointer();
  const boost::posix_time::ptime deadline =
      boost::posix_time::microsec_clock::universal_time() +
      boost::posix_time::milliseconds(kWaitTimeoutMs);
  // Timed lock as well: a writer that died holding the mutex must not keep this thread forever.
  bip::scoped_lock<bip::interprocess_mutex> lock(shared_data->mutex, deadline);
  if (!lock.owns()) return false;

  // A fresh segment is all zero: nothing has been published yet.
  auto has_new_frame = [&] {
    const TensorMsgHeader& h = shared_data->header;
    const bool published = h.timestamp != 0 || h.shape[0] != 0;
    return published && (h.timestamp != timestamp_ || h.index != index_);
  };
  while (!has_new_frame()) {
    if (!shared_data->condition.timed_wait(lock, deadline) && !has_new_frame()) return false;
  }

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
  const cv::Mat view(geometry.rows, geometry.cols, geometry.type, shared_data->buf + offset);
  try {
    if (scale == 1.0 || !bAllowScale) {
      view.copyTo(*frame);
    } else {
      cv::resize(view, *frame,
                 cv::Size(static_cast<int>(std::round(scale * geometry.cols)),
                          static_cast<int>(std::round(scale * geometry.rows))),
                 0, 0, cv::INTER_LINEAR);
    }
  } catch (const cv::Exception& e) {
    malformed_.Drop(std::string("Frame not usable: ") + e.what());
    return false;
  }
  return true;
}

}  // namespace tesmo
