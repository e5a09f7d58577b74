#include "streamer/display.h"

#include <cstdlib>

#include <xcb/xcb.h>

namespace tesmo {

namespace {

// The variable's value; empty when it is not set.
std::string EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether the X server named by `display` accepts a connection.
bool CanConnect(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool bConnected = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return bConnected;
}

}  // namespace

DisplayStatus CheckDisplay() {
  DisplayStatus status;
  status.display = EnvValue("DISPLAY");
  const std::string platform = EnvValue("QT_QPA_PLATFORM");
  if (!platform.empty() && platform.rfind("xcb", 0) != 0) return status;
  if (!EnvValue("WAYLAND_DISPLAY").empty()) return status;
  if (status.display.empty()) {
    status.state = DisplayStatus::NotSet;
  } else if (!CanConnect(status.display)) {
    status.state = DisplayStatus::NotReachable;
  }
  return status;
}

}  // namespace tesmo
