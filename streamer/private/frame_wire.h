#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

// The frame wire format of the ZeroMQ messages and the shared-memory segment (headers in
// streamer/data/cameras.h): what the sinks write and what the sources check before they read.

namespace tesmo {

// ---------------------------------------------------------------------------------------------
// Writing

// Fills the fields that TensorMsgHeader and TensorEncodedMsgHeader share: the shape and depth of
// `frame`, its timestamp `ts` (ms) and the sink's frame `index`. Other fields are left as they are.
template <class Header>
void FillFrameHeader(const cv::Mat& frame, int64_t ts, int64_t index, Header* header) {
  header->shape[0] = 1;
  header->shape[1] = frame.rows;
  header->shape[2] = frame.cols;
  header->shape[3] = frame.channels();
  header->dtype = frame.depth();
  header->timestamp = ts;
  header->index = index;
}

// Writes the rows of `frame` packed, without row padding, to `dst` (frame.total() *
// frame.elemSize() bytes).
void CopyPackedRows(const cv::Mat& frame, uint8_t* dst);

// ---------------------------------------------------------------------------------------------
// Reading

// Geometry of a frame described by a wire header.
struct FrameGeometry {
  int rows = 0;
  int cols = 0;
  int type = 0;           // OpenCV type, CV_MAKETYPE(dtype & 7, channels)
  size_t frame_size = 0;  // packed pixel bytes
};

// Checks that shape {n, rows, cols, channels} and dtype describe a real image (all sizes
// positive, channels <= CV_CN_MAX, row count and byte size without overflow) within the frame
// bound of streamer/frame_stream.h (kMaxFrameSide per side, kMaxFrameBytes of pixels) and fills
// *geometry. On failure returns false with the reason in *reason.
bool DescribeFrame(const int32_t shape[4], int32_t dtype, FrameGeometry* geometry,
                   std::string* reason);

// True for the frame types the view generators compose: 8-bit unsigned with 1, 3 or 4 channels.
// Otherwise false with the reason in *reason.
bool IsComposable(int type, std::string* reason);

// Records "zmq_delay", the time from `sent_ms` (a sender's timestamp) to now in milliseconds.
// The difference saturates instead of overflowing, and what is recorded is clamped to the range
// of int32 so that no timestamp a peer sends can overflow the timing table's sums.
void RecordZmqDelay(int64_t sent_ms);

// Counts input refused by a source (a malformed message, a bad shared-memory header) and logs
// the reason at WARNING, at most one line a second; suppressed lines are summed into the next.
// Drop is called by the source's reader thread; count() may be read from any thread.
//
//   MalformedInputLog malformed("ZmqFrameStream(ipc:///tmp/cam0)");
//   if (msg.size() < sizeof(TensorMsgHeader)) {
//     malformed.Drop("Protocol error. Size=" + std::to_string(msg.size()));
//     return false;
//   }
class MalformedInputLog {
 public:
  explicit MalformedInputLog(std::string source);

  void Drop(const std::string& reason);
  uint64_t count() const { return count_.load(); }

 private:
  std::string source_;
  std::atomic<uint64_t> count_{0};
  std::mutex mutex_;
  int64_t last_log_ms_ = 0;  // steady clock; 0 before the first line
  uint64_t suppressed_ = 0;
};

}  // namespace tesmo
