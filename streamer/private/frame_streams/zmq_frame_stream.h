#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/frame_stream.h"
#include "streamer/private/frame_wire.h"
#include "streamer/private/zmq_subscriber.h"

namespace tesmo {

// Source "zmq": reads raw frame messages (one part: TensorMsgHeader + packed pixels) from a SUB
// socket connected to `addr`. The newest frame wins: each Next takes the messages already queued
// (at most kMaxDrainMessages, see streamer/private/zmq_subscriber.h) and delivers the newest that
// is not refused.
//
// Messages that do not describe a frame they hold (too short, bad sizes, more than one part,
// taken off the socket whole), frames over the bound of streamer/frame_stream.h (with
// bAllowScale: also once scaled) and frame types the views cannot compose (see IsComposable) are
// dropped before anything is allocated for them, logged at WARNING at most once a second and
// counted (dropped_messages()); a Next that finds no other message returns false. Messages longer
// than the largest frame needs are refused by the socket itself. A Next that receives nothing
// within kReceiveTimeoutMs returns false, so a reader thread is never stuck when the publisher
// is gone.
class ZmqFrameStream : public FrameStream {
 public:
  static constexpr int kReceiveTimeoutMs = 100;

  ZmqFrameStream(double scale, const std::string& addr, bool preserve_timestamps);
  ~ZmqFrameStream() override;

  using FrameStream::Next;
  // *ts is the sender's timestamp when preserve_timestamps was set, else the receive time.
  bool Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) override;
  // Waits at most timeout_ms for a message (a negative timeout waits as Next does). On time-out
  // *frame becomes empty, *ts -1, and the result is false.
  bool NextTimed(cv::Mat* frame, int64_t timeout_ms, int64_t* ts, bool bAllowScale);
  // Stops / resumes queueing messages for this reader.
  void Mute();
  void Unmute();
  // Closes the socket; later Next calls return false.
  void Stop();

  // Messages refused so far.
  uint64_t dropped_messages() const { return malformed_.count(); }

 private:
  // One message off the socket, with the frame its header describes.
  struct Message : ZmqMessage {
    TensorMsgHeader header{};
    FrameGeometry geometry;
  };

  // Takes the queued messages (the first with `flags`) and keeps the newest in *newest.
  Drained Take(zmq::recv_flags flags, bool bAllowScale, Message* newest);
  // Checks that a message holds a frame that can be delivered; false with *reason when not.
  bool Check(Message* msg, bool bAllowScale, std::string* reason) const;
  // Delivers the frame of a checked message into *frame.
  bool Deliver(const Message& msg, cv::Mat* frame, int64_t* ts, bool bAllowScale);

  std::unique_ptr<zmq::socket_t> sock_;
  bool preserve_timestamps_;
  MalformedInputLog malformed_;
};

}  // namespace tesmo
