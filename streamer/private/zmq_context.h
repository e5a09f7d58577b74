#pragma once

#include <zmq.hpp>

namespace tesmo {

// The process-wide ZeroMQ context in which every frame socket is created. It is made when the
// library is loaded and terminated at process exit, so every socket must be closed by then.
zmq::context_t& GetZmqCtx();

}  // namespace tesmo
