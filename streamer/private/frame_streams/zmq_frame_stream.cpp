#include "streamer/private/frame_streams/zmq_frame_stream.h"

#include <cmath>
#include <cstring>
#include <iostream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "streamer/data/cameras.h"
#include "streamer/private/zmq_context.h"
#include "streamer/util.h"

namespace tesmo {

ZmqFrameStream::ZmqFrameStream(double scale, const std::string& addr, bool preserve_timestamps)
    : FrameStream(scale),
      preserve_timestamps_(preserve_timestamps),
      malformed_("ZmqFrameStream(" + addr + ")") {
  std::cout << "Create ZmqFrameStream(addr = " << addr
            << ", preserve_timestamps = " << (preserve_timestamps ? 1 : 0) << ")\n";
  try {
    sock_ = std::make_unique<zmq::socket_t>(GetZmqCtx(), zmq::socket_type::sub);
    sock_->set(zmq::sockopt::subscribe, "");
    sock_->set(zmq::sockopt::conflate, 1);
    sock_->set(zmq::sockopt::rcvtimeo, kReceiveTimeoutMs);
    sock_->set(zmq::sockopt::linger, 0);
    // A longer message cannot hold a frame within the bound: libzmq drops the connection of a
    // peer that sends one instead of receiving it.
    sock_->set(zmq::sockopt::maxmsgsize,
               static_cast<int64_t>(sizeof(TensorMsgHeader) + kMaxFrameBytes));
    sock_->connect(addr);
  } catch (const zmq::error_t&) {
    std::cout << "Zmq exception: initial socket setting went wrong" << std::endl;
    throw;
  }
}

ZmqFrameStream::~ZmqFrameStream() = default;

bool ZmqFrameStream::Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) {
  if (!sock_ || !*sock_) return false;
  zmq::message_t msg;
  try {
    if (!sock_->recv(msg, zmq::recv_flags::none)) return false;
  } catch (const zmq::error_t&) {
    return false;
  }
  return TakeMessage(msg, frame, ts, bAllowScale);
}

bool ZmqFrameStream::NextTimed(cv::Mat* frame, int64_t timeout_ms, int64_t* ts,
                               bool bAllowScale) {
  if (timeout_ms < 0) return Next(frame, ts, bAllowScale);
  CHECK(frame);
  bool received = false;
  zmq::message_t msg;
  if (sock_ && *sock_) {
    const int64_t start = now();
    for (int64_t left = timeout_ms; left > 0 && !received; left = timeout_ms - (now() - start)) {
      try {
        zmq::pollitem_t item{sock_->handle(), 0, ZMQ_POLLIN, 0};
        if (zmq::poll(&item, 1, std::chrono::milliseconds(left)) > 0) {
          received = sock_->recv(msg, zmq::recv_flags::dontwait).has_value();
        }
      } catch (const zmq::error_t&) {
        break;
      }
    }
  }
  if (!received) {
    *frame = cv::Mat();
    if (ts != nullptr) *ts = -1;
    return false;
  }
  return TakeMessage(msg, frame, ts, bAllowScale);
}

bool ZmqFrameStream::TakeMessage(zmq::message_t& msg, cv::Mat* frame, int64_t* ts,
                                 bool bAllowScale) {
  if (msg.more()) {
    // A raw frame is one part: take the rest of the message off the socket and drop it all.
    size_t parts = 1;
    zmq::message_t extra;
    try {
      bool more = true;
      while (more && sock_->recv(extra, zmq::recv_flags::none)) {
        ++parts;
        more = extra.more();
      }
    } catch (const zmq::error_t&) {
    }
    malformed_.Drop("Protocol error. Message of " + std::to_string(parts) +
                    " parts, a raw frame message has one");
    return false;
  }
  const size_t size = msg.size();
  if (size < sizeof(TensorMsgHeader)) {
    malformed_.Drop("Check failed: msg_header.size() >= sizeof(TensorMsgHeader) "
                    "Protocol error. Size=" + std::to_string(size));
    return false;
  }
  TensorMsgHeader header;
  std::memcpy(&header, msg.data(), sizeof(header));
  FrameGeometry geometry;
  std::string reason;
  if (!DescribeFrame(header.shape, header.dtype, &geometry, &reason)) {
    malformed_.Drop(reason + ". Protocol error. Size=" + std::to_string(size));
    return false;
  }
  if (size - sizeof(TensorMsgHeader) < geometry.frame_size) {
    malformed_.Drop("Check failed: msg_header.size() >= (int)frame_size + "
                    "sizeof(TensorMsgHeader) Protocol error. Size=" + std::to_string(size));
    return false;
  }
  if (!IsComposable(geometry.type, &reason)) {
    malformed_.Drop(reason);
    return false;
  }
  const cv::Mat view(geometry.rows, geometry.cols, geometry.type,
                     static_cast<uint8_t*>(msg.data()) + sizeof(TensorMsgHeader));
  if (ts != nullptr) *ts = preserve_timestamps_ ? header.timestamp : now();
  RecordZmqDelay(header.timestamp);
  try {
    if (scale != 1.0 && bAllowScale) {
      cv::resize(view, *frame,
                 cv::Size(static_cast<int>(std::round(scale * geometry.cols)),
                          static_cast<int>(std::round(scale * geometry.rows))),
                 0, 0, cv::INTER_LINEAR);
    } else {
      view.copyTo(*frame);
    }
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
