#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <zmq.hpp>

#include "streamer/private/input_check.h"

namespace tesmo {

// The receiving side that the ZeroMQ frame sources share: a SUB socket, whole messages off it,
// and the newest of the messages queued.
//
// The socket does not conflate (ZMQ_CONFLATE): libzmq keeps single parts then and aborts the
// process when a peer sends a message of several parts. A short receive queue and TakeNewest
// keep the newest frame instead, whatever shape a peer's messages have.
//
//   std::unique_ptr<zmq::socket_t> sock = ConnectSubscriber(addr, 100, 2, max_bytes);
//   Message newest;  // derives from ZmqMessage
//   if (TakeNewest(*sock, zmq::recv_flags::none, 32, check, &malformed, &newest) ==
//       Drained::kNewest) { ... }

// A SUB socket in the process-wide context, connected to `addr`, that takes every message. A
// receive waits at most `receive_timeout_ms`; at most `queue_messages` messages wait for the
// reader (libzmq holds further ones back or, at the publisher, drops them); a message part longer
// than `max_part_bytes` makes libzmq drop its sender's connection instead of receiving it;
// closing does not linger. Throws zmq::error_t.
std::unique_ptr<zmq::socket_t> ConnectSubscriber(const std::string& addr, int receive_timeout_ms,
                                                 int queue_messages, int64_t max_part_bytes);

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
  kDropped,  // a message was refused
  kNewest,   // *newest holds the newest message queued
};

// Takes the messages queued on `sock`, the first with `flags` (none: wait up to the socket's
// receive time-out) and the rest without waiting, at most `max_messages`, and keeps the newest in
// *newest. `check(Message*, std::string* reason)` vets each as it comes, before anything else is
// done with it; the first it refuses is dropped through `malformed` and ends the call (messages
// behind it stay queued for the next call). `Message` derives from ZmqMessage.
template <class Message, class Check>
Drained TakeNewest(zmq::socket_t& sock, zmq::recv_flags flags, int max_messages, Check check,
                   MalformedInputLog* malformed, Message* newest) {
  Drained result = Drained::kNothing;
  for (int i = 0; i < max_messages; ++i) {
    Message msg;
    if (!ReceiveWhole(sock, flags, &msg)) break;
    flags = zmq::recv_flags::dontwait;
    std::string reason;
    if (!check(&msg, &reason)) {
      malformed->Drop(reason);
      return Drained::kDropped;
    }
    *newest = std::move(msg);
    result = Drained::kNewest;
  }
  return result;
}

}  // namespace tesmo
