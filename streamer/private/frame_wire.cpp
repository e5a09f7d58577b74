#include "streamer/private/frame_wire.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include <glog/logging.h>
#include <opencv2/core.hpp>

#include "common/perf.h"
#include "streamer/frame_stream.h"
#include "streamer/util.h"

namespace tesmo {

void CopyPackedRows(const cv::Mat& frame, uint8_t* dst) {
  const size_t row_bytes = frame.cols * frame.elemSize();
  if (frame.isContinuous()) {
    std::memcpy(dst, frame.data, row_bytes * frame.rows);
    return;
  }
  for (int r = 0; r < frame.rows; ++r) std::memcpy(dst + r * row_bytes, frame.ptr(r), row_bytes);
}

bool DescribeFrame(const int32_t shape[4], int32_t dtype, FrameGeometry* geometry,
                   std::string* reason) {
  for (int i = 0; i < 4; ++i) {
    if (shape[i] <= 0) {
      *reason = "Invalid header: shape[" + std::to_string(i) + "]=" + std::to_string(shape[i]);
      return false;
    }
  }
  if (shape[3] > CV_CN_MAX) {
    *reason = "Invalid header: channels=" + std::to_string(shape[3]);
    return false;
  }
  const uint64_t rows = uint64_t(shape[0]) * uint64_t(shape[1]);
  if (rows > uint64_t(std::numeric_limits<int>::max())) {
    *reason = "Invalid header: rows=" + std::to_string(shape[0]) + "*" + std::to_string(shape[1]);
    return false;
  }
  const int type = CV_MAKETYPE(dtype & 7, shape[3]);
  // Each factor is below 2^31 and the element size at most 8 * 512, so the first product fits
  // and the second is checked before it is formed.
  const uint64_t row_bytes = uint64_t(shape[2]) * uint64_t(CV_ELEM_SIZE(type));
  if (row_bytes > std::numeric_limits<uint64_t>::max() / rows ||
      row_bytes * rows > uint64_t(std::numeric_limits<int64_t>::max())) {
    *reason = "Invalid header: size overflows";
    return false;
  }
  if (!FitsFrameBound(uint64_t(shape[2]), rows, uint64_t(CV_ELEM_SIZE(type)))) {
    *reason = "Invalid header: a frame of " + std::to_string(shape[2]) + "x" +
              std::to_string(rows) + " " + cv::typeToString(type) +
              " is over the bound of " + std::to_string(kMaxFrameSide) + " pixels per side and " +
              std::to_string(kMaxFrameBytes) + " bytes";
    return false;
  }
  geometry->rows = static_cast<int>(rows);
  geometry->cols = shape[2];
  geometry->type = type;
  geometry->frame_size = static_cast<size_t>(row_bytes * rows);
  return true;
}

bool IsComposable(int type, std::string* reason) {
  const int channels = CV_MAT_CN(type);
  if (CV_MAT_DEPTH(type) == CV_8U && (channels == 1 || channels == 3 || channels == 4)) {
    return true;
  }
  *reason = "Frame type " + cv::typeToString(type) +
            " cannot be composed: the views take 8-bit frames of 1, 3 or 4 channels";
  return false;
}

void RecordZmqDelay(int64_t sent_ms) {
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  const int64_t delay = SaturatingSub(now(), sent_ms);
  perf::UpdateRecord("zmq_delay", static_cast<long>(std::clamp(delay, -kLimit, kLimit)));
}

MalformedInputLog::MalformedInputLog(std::string source) : source_(std::move(source)) {}

void MalformedInputLog::Drop(const std::string& reason) {
  const uint64_t total = ++count_;
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t t = now<std::chrono::steady_clock>();
  if (last_log_ms_ != 0 && t - last_log_ms_ < 1000) {
    ++suppressed_;
    return;
  }
  last_log_ms_ = t;
  LOG(WARNING) << source_ << ": dropped input: " << reason << " (" << total << " dropped"
               << (suppressed_ > 0 ? ", " + std::to_string(suppressed_) + " not logged" : "")
               << ")";
  suppressed_ = 0;
}

}  // namespace tesmo
