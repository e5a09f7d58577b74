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

}  // namespace tesmo
