#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <zmq.hpp>

#include "streamer/private/frame_wire.h"

namespace tesmo {

// The receiving side that the ZeroMQ frame sources share: a SUB socket, whole messages off it,
// and the newest of the messages queued.
//
// The socket does not conflate (ZMQ_CONFLATE): libzmq keeps single parts then and aborts the
// process when a peer sends a message of several parts. A short receive queue that each read
// drains keeps the newest frame instead, whatever shape a peer's messages have.
//
//   std::unique_ptr<zmq::socket_t> sock = ConnectSubscriber(addr, 100, max_part_bytes);
//   Message newest;  // derives from ZmqMessage
//   if (TakeNewest(*sock, zmq::recv_flags::none, check, &malformed, &newest) ==
//       Drained::kNewest) { ... }

// Messages queued for a reader at most; libzmq holds further ones back in the connection (and a
// publisher drops them at its own high-water mark) until the reader takes some.
constexpr int kSubscriberQueueMessages = 8;
// Messages one TakeNewest takes at most: a sender faster than the reader still gets frames
// through, and the call returns in bounded time.
constexpr int kMaxDrainMessages = 32;

// A SUB socket in the process-wide context, connected to `addr`, that takes every message. A
// receive waits at most `receive_timeout_ms`; at most kSubscriberQueueMessages messages wait for
// the reader; a message part longer than `max_part_bytes` makes libzmq drop its sender's
// connection instead of receiving it; closing does not linger. Throws zmq::error_t.
std::unique_ptr<zmq::socket_t> ConnectSubscriber(const std::string& addr, int receive_timeout_ms,
                                                 int64_t max_part_bytes);

// One message taken whole off a socket: its first two parts and the count of all of them.
struct ZmqMessage {
  zmq::message_t head;
  zmq::message_t payload;  // the second part, if any
  size_t parts = 0;
};

// Receives every part of one message into *msg, the first with `flags`; false when no message
// came (time-out, nothing queued with dontwait, or a ZeroMQ error). The parts of a message arrive
// together, so the rest never waits for a sender.
bool ReceiveWhole(zmq::socket_t& sock, zmq::recv_flags flags, ZmqMessage* msg);

enum class Drained {
  kNothing,  // no message came
  kDropped,  // every message that came was refused
  kNewest,   // *newest holds the newest message that was not refused
};

// Takes the messages queued on `sock`, the first with `flags` (none: wait up to the socket's
// receive time-out) and the rest without waiting, at most kMaxDrainMessages, and keeps the newest
// in *newest. `check(Message*, std::string* reason)` vets each as it comes, before anything else
// is done with it; a message it refuses is dropped through `malformed` and the drain goes on, so
// refused messages never hold back a good frame queued behind them. `Message` derives from
// ZmqMessage.
template <class Message, class Check>
Drained TakeNewest(zmq::socket_t& sock, zmq::recv_flags flags, Check check,
                   MalformedInputLog* malformed, Message* newest) {
  Drained result = Drained::kNothing;
  for (int i = 0; i < kMaxDrainMessages; ++i) {
    Message msg;
    if (!ReceiveWhole(sock, flags, &msg)) break;
    flags = zmq::recv_flags::dontwait;
    std::string reason;
    if (check(&msg, &reason)) {
      *newest = std::move(msg);
      result = Drained::kNewest;
    } else {
      malformed->Drop(reason);
      if (result == Drained::kNothing) result = Drained::kDropped;
    }
  }
  return result;
}

}  // namespace tesmo
