#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"

#include <cstring>
#include <iostream>

#include <glog/logging.h>

#include "streamer/util.h"

namespace tesmo {

ZmqEncFrameStream::ZmqEncFrameStream(double /*scale*/, const std::string& addr)
    : FrameStream(1.0),
      img_decoder_(std::make_shared<ImageDecoderRaw>()),
      malformed_("ZmqEncFrameStream(" + addr + ")") {
  std::cout << "Create ZmqFrameStream(addr = " << addr << ")\n";
  // No part of a message for a frame within the bound is longer (the header part is 48 bytes, a
  // JPEG is not longer than the pixels it holds): libzmq drops the connection of a peer that
  // sends a longer one instead of receiving it.
  sock_ = ConnectSubscriber(addr, kReceiveTimeoutMs, static_cast<int64_t>(kMaxFrameBytes));
}

ZmqEncFrameStream::~ZmqEncFrameStream() = default;

bool ZmqEncFrameStream::Next(cv::Mat* frame, int64_t* ts, bool /*bAllowScale*/) {
  Message newest;
  const Drained drained = TakeNewest(
      *sock_, zmq::recv_flags::none,
      [this](Message* msg, std::string* reason) { return Check(msg, reason); }, &malformed_,
      &newest);
  if (drained != Drained::kNewest) return false;
  std::string reason;
  if (!Decode(newest, frame, &reason)) {
    malformed_.Drop(reason);
    return false;
  }
  if (ts != nullptr) *ts = newest.header.timestamp;
  RecordZmqDelay(newest.header.timestamp);
  return !frame->empty();
}

bool ZmqEncFrameStream::Check(Message* msg, std::string* reason) {
  TensorEncodedMsgHeader& header = msg->header;
  if (msg->head.size() != sizeof(header)) {
    *reason = "Check failed: msg_header.size() == sizeof(header) Header part of " +
              std::to_string(msg->head.size()) + " bytes";
    return false;
  }
  std::memcpy(&header, msg->head.data(), sizeof(header));
  if (msg->parts < 2) {
    *reason = "Check failed: sock_->getsockopt<int>(ZMQ_RCVMORE) No payload part";
    return false;
  }
  if (msg->parts > 2) {
    *reason = "Check failed: !sock_->getsockopt<int>(ZMQ_RCVMORE) Message of " +
              std::to_string(msg->parts) + " parts";
    return false;
  }
  if (header.data_size == 0) {
    *reason = "Check failed: header.data_size > 0 ";
    return false;
  }
  if (msg->payload.size() != header.data_size) {
    *reason = "Payload of " + std::to_string(msg->payload.size()) + " bytes, header data_size=" +
              std::to_string(header.data_size);
    return false;
  }
  if (!DescribeFrame(header.shape, header.dtype, &msg->geometry, reason)) return false;
  if (header.codec == Raw) {
    if (msg->payload.size() != msg->geometry.frame_size) {
      *reason = "Raw payload of " + std::to_string(msg->payload.size()) +
                " bytes for a frame of " + std::to_string(msg->geometry.frame_size) + " bytes";
      return false;
    }
    // A JPEG always decodes to 8-bit BGR; raw pixels keep the header's type.
    return IsComposable(msg->geometry.type, reason);
  }
  if (header.codec != JPEG) {
    *reason = "Unknown codec format: " + std::to_string(header.codec);
    return false;
  }
  return true;
}

bool ZmqEncFrameStream::Decode(const Message& msg, cv::Mat* frame, std::string* reason) {
  const TensorEncodedMsgHeader& header = msg.header;
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
    const cv::Mat encoded(1, static_cast<int>(msg.payload.size()), CV_8U,
                          const_cast<void*>(msg.payload.data()));
    // The JPEG's own header is read first: an image of another size than the message's is
    // refused before the decoder allocates room for it.
    cv::Size size;
    const bool bHeader = ReadJpegSize(encoded, &size);
    if (bHeader && size != cv::Size(msg.geometry.cols, msg.geometry.rows)) {
      *reason = "JPEG of " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                " in a message for a frame of " + std::to_string(msg.geometry.cols) + "x" +
                std::to_string(msg.geometry.rows);
      return false;
    }
    if (!bHeader || !img_decoder_->Decode(encoded, frame)) {
      *reason = "Check failed: img_decoder_->Decode(cv::Mat(encode_buf_), frame) "
                "Undecodable JPEG payload of " + std::to_string(msg.payload.size()) + " bytes";
      return false;
    }
    return IsComposable(frame->type(), reason);
  }
  frame->create(msg.geometry.rows, msg.geometry.cols, msg.geometry.type);
  if (!frame->isContinuous()) {
    // The caller passed a region view of that size: give it a buffer of its own.
    *frame = cv::Mat(msg.geometry.rows, msg.geometry.cols, msg.geometry.type);
  }
  std::memcpy(frame->data, msg.payload.data(), msg.geometry.frame_size);
  return true;
}

}  // namespace tesmo
