#include "streamer/private/zmq_subscriber.h"

#include "streamer/private/zmq_context.h"

namespace tesmo {

std::unique_ptr<zmq::socket_t> ConnectSubscriber(const std::string& addr, int receive_timeout_ms,
                                                 int64_t max_part_bytes) {
  auto sock = std::make_unique<zmq::socket_t>(GetZmqCtx(), zmq::socket_type::sub);
  sock->set(zmq::sockopt::subscribe, "");
  sock->set(zmq::sockopt::rcvtimeo, receive_timeout_ms);
  sock->set(zmq::sockopt::linger, 0);
  sock->set(zmq::sockopt::rcvhwm, kSubscriberQueueMessages);
  sock->set(zmq::sockopt::maxmsgsize, max_part_bytes);
  sock->connect(addr);
  return sock;
}

bool ReceiveWhole(zmq::socket_t& sock, zmq::recv_flags flags, ZmqMessage* msg) {
  try {
    if (!sock.recv(msg->head, flags)) return false;
  } catch (const zmq::error_t&) {
    return false;
  }
  msg->parts = 1;
  try {
    bool more = msg->head.more();
    if (more && sock.recv(msg->payload, zmq::recv_flags::none)) {
      ++msg->parts;
      more = msg->payload.more();
      zmq::message_t extra;
      while (more && sock.recv(extra, zmq::recv_flags::none)) {
        ++msg->parts;
        more = extra.more();
      }
    }
  } catch (const zmq::error_t&) {
  }
  return true;
}

}  // namespace tesmo
