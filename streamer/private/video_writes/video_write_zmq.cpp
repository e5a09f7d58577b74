#include "streamer/private/video_writes/video_write_zmq.h"

#include <cstring>

#include <glog/logging.h>

#include "streamer/data/cameras.h"
#include "streamer/private/frame_wire.h"
#include "streamer/private/zmq_context.h"

namespace tesmo {

VideoWriteZmq::VideoWriteZmq(const std::string& addr)
    : sock_(GetZmqCtx(), zmq::socket_type::pub) {
  LOG(INFO) << "Creating connection to " << addr << " ...\n";
  sock_.set(zmq::sockopt::sndhwm, 1);
  sock_.set(zmq::sockopt::linger, 0);
  sock_.bind(addr);
}

VideoWriteZmq::~VideoWriteZmq() = default;

bool VideoWriteZmq::PublishImpl(const cv::Mat& frame, int64_t ts) {
  const size_t frame_size = frame.total() * frame.elemSize();
  // The message is built in place: one copy of the pixels, handed to ZeroMQ without another.
  zmq::message_t msg(sizeof(TensorMsgHeader) + frame_size);
  TensorMsgHeader header{};
  FillFrameHeader(frame, ts, frameInd, &header);
  auto* data = static_cast<uint8_t*>(msg.data());
  std::memcpy(data, &header, sizeof(header));
  if (frame_size > 0) CopyPackedRows(frame, data + sizeof(header));
  // A PUB socket drops rather than blocks; any other error propagates.
  sock_.send(msg, zmq::send_flags::dontwait);
  return true;
}

}  // namespace tesmo
