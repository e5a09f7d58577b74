#pragma once

#include <string>

namespace tesmo {

// Whether OpenCV's window library can open its display, and if not, why.
struct DisplayStatus {
  enum State {
    Available = 0,     // a display the window library can use, or a platform taken as it is
    NotSet = 1,        // no platform chosen, no Wayland display and DISPLAY is not set
    NotReachable = 2,  // DISPLAY names an X server that refuses or does not answer
  };
  State state = Available;
  // The value of DISPLAY (empty when it is not set); with NotReachable the display that failed.
  std::string display;

  bool available() const { return state == Available; }
};

// Asks, without ending the process, whether a window could be opened. One rule, read from the
// environment at each call: a QT_QPA_PLATFORM other than xcb... (offscreen, wayland, ...) is taken
// as it is, and so is a Wayland display (WAYLAND_DISPLAY set); otherwise DISPLAY must be set and
// its X server must accept a connection (opened and closed again at once). Any thread may call
// it; it may block as long as connecting to the X server takes.
//
//   const DisplayStatus status = CheckDisplay();
//   if (status.state == DisplayStatus::NotReachable) {
//     throw std::runtime_error("display \"" + status.display + "\" is not reachable");
//   }
DisplayStatus CheckDisplay();

}  // namespace tesmo
