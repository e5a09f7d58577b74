#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/frame_stream.h"
#include "streamer/img_codecs.h"
#include "streamer/private/frame_wire.h"
#include "streamer/private/zmq_subscriber.h"

namespace tesmo {

// Source "zmq_encoded": reads encoded frame messages (a 48-byte TensorEncodedMsgHeader part and a
// payload part of raw pixels or JPEG) from a SUB socket connected to `addr`. Each Next takes the
// messages already queued (at most kMaxDrainMessages, see streamer/private/zmq_subscriber.h) and
// decodes only the newest that is not malformed; the decoder follows the codec of that message.
// Frames come at the sender's size (the scale is 1.0).
//
// A malformed message (wrong part count or header size, data_size 0 or not the payload's length,
// bad sizes, a frame over the bound of streamer/frame_stream.h, a raw frame type the views cannot
// compose, unknown codec, a JPEG whose size is not the header's or that does not decode) is
// dropped, logged at WARNING at most once a second and counted (dropped_messages()); a Next that
// finds no other message returns false. Messages are checked before anything is decoded or
// allocated for them. A Next that receives nothing within kReceiveTimeoutMs returns false.
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
  // One message off the socket, with the frame its header describes.
  struct Message : ZmqMessage {
    TensorEncodedMsgHeader header{};
    FrameGeometry geometry;
  };

  // Checks a message's parts and header; false with *reason when malformed.
  bool Check(Message* msg, std::string* reason);
  // Decodes a checked message into *frame; false with *reason when it cannot be.
  bool Decode(const Message& msg, cv::Mat* frame, std::string* reason);

  std::unique_ptr<zmq::socket_t> sock_;
  std::shared_ptr<ImageDecoder> img_decoder_;
  MalformedInputLog malformed_;
};

}  // namespace tesmo
