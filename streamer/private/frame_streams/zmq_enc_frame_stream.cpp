#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"

#include <cstring>
#include <iostream>

#include <glog/logging.h>

#include "common/perf.h"
#include "streamer/data/cameras.h"
#include "streamer/private/zmq_context.h"
#include "streamer/util.h"

namespace tesmo {

ZmqEncFrameStream::ZmqEncFrameStream(double /*scale*/, const std::string& addr)
    : FrameStream(1.0),
      img_decoder_(std::make_shared<ImageDecoderRaw>()),
      malformed_("ZmqEncFrameStream(" + addr + ")") {
  std::cout << "Create ZmqFrameStream(addr = " << addr << ")\n";
  sock_ = std::make_unique<zmq::socket_t>(GetZmqCtx(), zmq::socket_type::sub);
  sock_->set(zmq::sockopt::subscribe, "");
  sock_->set(zmq::sockopt::rcvtimeo, kReceiveTimeoutMs);
  sock_->set(zmq::sockopt::linger, 0);
  sock_->connect(addr);
}

ZmqEncFrameStream::~ZmqEncFrameStream() = default;

bool ZmqEncFrameStream::Next(cv::Mat* frame, int64_t* ts, bool /*bAllowScale*/) {
  zmq::recv_flags flags = zmq::recv_flags::none;
  bool delivered = false;
  int64_t last_ts = 0;
  for (;;) {
    zmq::message_t head;
    try {
      if (!sock_->recv(head, flags)) break;
    } catch (const zmq::error_t&) {
      break;
    }
    // The parts of one message arrive together: take all of them, keeping the first two.
    size_t parts = 1;
    zmq::message_t payload;
    try {
      bool more = head.more();
      if (more && sock_->recv(payload, zmq::recv_flags::none)) {
        ++parts;
        more = payload.more();
        zmq::message_t extra;
        while (more && sock_->recv(extra, zmq::recv_flags::none)) {
          ++parts;
          more = extra.more();
        }
      }
    } catch (const zmq::error_t&) {
    }
    std::string reason;
    int64_t header_ts = 0;
    if (!TakeMessage(head, payload, parts, frame, &header_ts, &reason)) {
      malformed_.Drop(reason);
      return false;
    }
    delivered = true;
    last_ts = header_ts;
    if (ts != nullptr) *ts = header_ts;
    flags = zmq::recv_flags::dontwait;
  }
  if (delivered) perf::UpdateRecord("zmq_delay", static_cast<long>(now() - last_ts));
  return delivered && !frame->empty();
}

bool ZmqEncFrameStream::TakeMessage(const zmq::message_t& head, const zmq::message_t& payload,
                                    size_t parts, cv::Mat* frame, int64_t* ts,
                                    std::string* reason) {
  TensorEncodedMsgHeader header;
  if (head.size() != sizeof(header)) {
    *reason = "Check failed: msg_header.size() == sizeof(header) Header part of " +
              std::to_string(head.size()) + " bytes";
    return false;
  }
  std::memcpy(&header, head.data(), sizeof(header));
  if (parts < 2) {
    *reason = "Check failed: sock_->getsockopt<int>(ZMQ_RCVMORE) No payload part";
    return false;
  }
  if (parts > 2) {
    *reason = "Check failed: !sock_->getsockopt<int>(ZMQ_RCVMORE) Message of " +
              std::to_string(parts) + " parts";
    return false;
  }
  if (header.data_size == 0) {
    *reason = "Check failed: header.data_size > 0 ";
    return false;
  }
  if (payload.size() != header.data_size) {
    *reason = "Payload of " + std::to_string(payload.size()) + " bytes, header data_size=" +
              std::to_string(header.data_size);
    return false;
  }
  FrameGeometry geometry;
  if (!DescribeFrame(header.shape, header.dtype, &geometry, reason)) return false;
  if (header.codec != Raw && header.codec != JPEG) {
    *reason = "Unknown codec format: " + std::to_string(header.codec);
    return false;
  }
  *ts = header.timestamp;

  if (header.codec != img_decoder_->decoder_format()) {
    if (header.codec == Raw) {
      img_decoder_ = ImageDecoder::Create("raw", "");
      LOG(INFO) << "Switch to image raw decoder\n";
    } else {
      LOG(INFO) << "Switch to image JPEG decoder\n";
      img_decoder_ = ImageDecoder::Create("jpeg", "");
    }
  }

  if (img_decoder_->decoder_format() == JPEG) {
    const cv::Mat encoded(1, static_cast<int>(payload.size()), CV_8U,
                          const_cast<void*>(payload.data()));
    if (!img_decoder_->Decode(encoded, frame)) {
      *reason = "Check failed: img_decoder_->Decode(cv::Mat(encode_buf_), frame) "
                "Undecodable JPEG payload of " + std::to_string(payload.size()) + " bytes";
      return false;
    }
    return true;
  }
  if (payload.size() != geometry.frame_size) {
    *reason = "Raw payload of " + std::to_string(payload.size()) + " bytes for a frame of " +
              std::to_string(geometry.frame_size) + " bytes";
    return false;
  }
  frame->create(geometry.rows, geometry.cols, geometry.type);
  if (!frame->isContinuous()) {
    // The caller passed a region view of that size: give it a buffer of its own.
    *frame = cv::Mat(geometry.rows, geometry.cols, geometry.type);
  }
  std::memcpy(frame->data, payload.data(), geometry.frame_size);
  return true;
}

}  // namespace tesmo
