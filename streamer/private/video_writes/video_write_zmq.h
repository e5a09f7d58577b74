#pragma once

#include <cstdint>
#include <string>

#include <zmq.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Sink "zmq": binds a PUB socket (send high-water mark 1: a subscriber that has not taken the
// previous frame misses this one) at `addr` and sends every frame as one raw frame message,
// TensorMsgHeader followed by the packed pixel rows. Bind errors throw zmq::error_t.
class VideoWriteZmq : public VideoWrite {
 public:
  explicit VideoWriteZmq(const std::string& addr);
  ~VideoWriteZmq() override;

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t ts) override;

 private:
  zmq::socket_t sock_;
};

// Writes the rows of `frame` packed, without row padding, to `dst` (frame.total() *
// frame.elemSize() bytes).
void CopyPackedRows(const cv::Mat& frame, uint8_t* dst);

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

}  // namespace tesmo
