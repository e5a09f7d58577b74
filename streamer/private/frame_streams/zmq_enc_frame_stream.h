#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "streamer/frame_stream.h"
#include "streamer/img_codecs.h"
#include "streamer/private/input_check.h"

namespace tesmo {

// Source "zmq_encoded": reads encoded frame messages (a 48-byte TensorEncodedMsgHeader part and a
// payload part of raw pixels or JPEG) from a SUB socket connected to `addr`. Each Next takes every
// message already queued and delivers the newest; the decoder follows the codec of the messages.
// Frames come at the sender's size (the scale is 1.0).
//
// A malformed message (wrong part count or header size, data_size 0 or not the payload's length,
// bad sizes, unknown codec, undecodable JPEG) is dropped, logged at WARNING at most once a second
// and counted (dropped_messages()); that Next returns false. A Next that receives nothing within
// kReceiveTimeoutMs returns false.
class ZmqEncFrameStream : public FrameStream {
 public:
  static constexpr int kReceiveTimeoutMs = 100;

  ZmqEncFrameStream(double scale, const std::string& addr);
  ~ZmqEncFrameStream() override;

  using FrameStream::Next;
  // *ts is the sender's timestamp of the delivered frame; bAllowScale is not used.
  bool Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) override;

  // Messages refused so far.
  uint64_t dropped_messages() const { return malformed_.count(); }

 private:
  // Checks one whole message and decodes it into *frame; false with *reason when malformed.
  bool TakeMessage(const zmq::message_t& head, const zmq::message_t& payload, size_t parts,
                   cv::Mat* frame, int64_t* ts, std::string* reason);

  std::unique_ptr<zmq::socket_t> sock_;
  std::shared_ptr<ImageDecoder> img_decoder_;
  MalformedInputLog malformed_;
};

}  // namespace tesmo
