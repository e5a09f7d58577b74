#include "streamer/private/frame_streams/zmq_frame_stream.h"

#include <chrono>
#include <cstring>
#include <iostream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

ZmqFrameStream::ZmqFrameStream(double scale, const std::string& addr, bool preserve_timestamps)
    : FrameStream(scale),
      preserve_timestamps_(preserve_timestamps),
      malformed_("ZmqFrameStream(" + addr + ")") {
  std::cout << "Create ZmqFrameStream(addr = " << addr
            << ", preserve_timestamps = " << (preserve_timestamps ? 1 : 0) << ")\n";
  try {
    // A longer message cannot hold a frame within the bound: libzmq drops the connection of a
    // peer that sends one instead of receiving it.
    sock_ = ConnectSubscriber(addr, kReceiveTimeoutMs,
                              static_cast<int64_t>(sizeof(TensorMsgHeader) + kMaxFrameBytes));
  } catch (const zmq::error_t&) {
    std::cout << "Zmq exception: initial socket setting went wrong" << std::endl;
    throw;
  }
}

ZmqFrameStream::~ZmqFrameStream() = default;

bool ZmqFrameStream::Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) {
  if (!sock_ || !*sock_) return false;
  Message newest;
  if (Take(zmq::recv_flags::none, bAllowScale, &newest) != Drained::kNewest) return false;
  return Deliver(newest, frame, ts, bAllowScale);
}

bool ZmqFrameStream::NextTimed(cv::Mat* frame, int64_t timeout_ms, int64_t* ts,
                               bool bAllowScale) {
  if (timeout_ms < 0) return Next(frame, ts, bAllowScale);
  CHECK(frame);
  if (sock_ && *sock_) {
    const int64_t start = now();
    for (int64_t left = timeout_ms; left > 0; left = timeout_ms - (now() - start)) {
      try {
        zmq::pollitem_t item{sock_->handle(), 0, ZMQ_POLLIN, 0};
        if (zmq::poll(&item, 1, std::chrono::milliseconds(left)) <= 0) continue;
      } catch (const zmq::error_t&) {
        break;
      }
      Message newest;
      const Drained drained = Take(zmq::recv_flags::dontwait, bAllowScale, &newest);
      if (drained == Drained::kDropped) return false;
      if (drained == Drained::kNewest) return Deliver(newest, frame, ts, bAllowScale);
    }
  }
  *frame = cv::Mat();
  if (ts != nullptr) *ts = -1;
  return false;
}

Drained ZmqFrameStream::Take(zmq::recv_flags flags, bool bAllowScale, Message* newest) {
  return TakeNewest(
      *sock_, flags,
      [&](Message* msg, std::string* reason) { return Check(msg, bAllowScale, reason); },
      &malformed_, newest);
}

bool ZmqFrameStream::Check(Message* msg, bool bAllowScale, std::string* reason) const {
  if (msg->parts > 1) {
    *reason = "Protocol error. Message of " + std::to_string(msg->parts) +
              " parts, a raw frame message has one";
    return false;
  }
  const size_t size = msg->head.size();
  if (size < sizeof(TensorMsgHeader)) {
    *reason = "Check failed: msg_header.size() >= sizeof(TensorMsgHeader) "
              "Protocol error. Size=" + std::to_string(size);
    return false;
  }
  std::memcpy(&msg->header, msg->head.data(), sizeof(msg->header));
  FrameGeometry& geometry = msg->geometry;
  if (!DescribeFrame(msg->header.shape, msg->header.dtype, &geometry, reason)) {
    *reason += ". Protocol error. Size=" + std::to_string(size);
    return false;
  }
  if (size - sizeof(TensorMsgHeader) < geometry.frame_size) {
    *reason = "Check failed: msg_header.size() >= (int)frame_size + "
              "sizeof(TensorMsgHeader) Protocol error. Size=" + std::to_string(size);
    return false;
  }
  if (!IsComposable(geometry.type, reason)) return false;
  const cv::Size frameSize(geometry.cols, geometry.rows);
  if (scale != 1.0 && bAllowScale &&
      !FitsScaled(frameSize, scale, CV_ELEM_SIZE(geometry.type))) {
    *reason = ScaledFrameRefusal(frameSize, scale);
    return false;
  }
  return true;
}

bool ZmqFrameStream::Deliver(const Message& msg, cv::Mat* frame, int64_t* ts, bool bAllowScale) {
  const cv::Size size(msg.geometry.cols, msg.geometry.rows);
  const cv::Mat view(size, msg.geometry.type,
                     const_cast<uint8_t*>(static_cast<const uint8_t*>(msg.head.data())) +
                         sizeof(TensorMsgHeader));
  if (ts != nullptr) *ts = preserve_timestamps_ ? msg.header.timestamp : now();
  RecordZmqDelay(msg.header.timestamp);
  try {
    ScaledCopy(view, bAllowScale ? scale : 1.0, frame);
  } catch (const cv::Exception& e) {
    malformed_.Drop(std::string("Frame not usable: ") + e.what());
    return false;
  }
  return !frame->empty();
}

namespace {

// Sets the subscription `option` (subscribe or unsubscribe) for every message on `sock`; a
// failure is printed, not thrown.
template <class Option>
void SetSubscription(zmq::socket_t& sock, Option option) {
  try {
    sock.set(option, "");
  } catch (const zmq::error_t&) {
    std::cout << "Zmq exception: socket options setting is not successfully completed"
              << std::endl;
  }
}

}  // namespace

void ZmqFrameStream::Mute() { SetSubscription(*sock_, zmq::sockopt::unsubscribe); }

void ZmqFrameStream::Unmute() { SetSubscription(*sock_, zmq::sockopt::subscribe); }

void ZmqFrameStream::Stop() {
  if (sock_) sock_->close();
}

}  // namespace tesmo
