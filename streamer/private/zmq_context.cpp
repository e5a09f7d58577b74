#include "streamer/private/zmq_context.h"

namespace tesmo {
namespace {

zmq::context_t cameras_zmq_ctx;

}  // namespace

zmq::context_t& GetZmqCtx() { return cameras_zmq_ctx; }

}  // namespace tesmo
