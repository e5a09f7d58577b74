#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "streamer/frame_stream.h"
#include "streamer/private/input_check.h"

namespace tesmo {

// Source "zmq": reads raw frame messages (one part: TensorMsgHeader + packed pixels) from a SUB
// socket connected to `addr`, keeping only the newest message (conflation).
//
// Messages that do not describe a frame they hold (too short, bad sizes, extra parts), frames
// over the bound of streamer/frame_stream.h and frame types the views cannot compose (see
// IsComposable) are dropped, logged at WARNING at most once a second and counted
// (dropped_messages()); Next then returns false. Messages longer than the largest frame needs
// are refused by the socket itself. A Next that receives nothing within kReceiveTimeoutMs returns false, so a reader
// thread is never stuck when the publisher is gone.
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
  // Takes the rest of a message whose first part is `msg`, checks it and delivers its frame.
  bool TakeMessage(zmq::message_t& msg, cv::Mat* frame, int64_t* ts, bool bAllowScale);

  std::unique_ptr<zmq::socket_t> sock_;
  bool preserve_timestamps_;
  MalformedInputLog malformed_;
};

}  // namespace tesmo
