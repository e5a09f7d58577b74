#include "streamer/display.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/scoped_env.h"
#include "tests/xvfb.h"

namespace tesmo {
namespace {

using testing_util::ScopedEnv;
using testing_util::Xvfb;

// Placeholder in the table for the display of the test's own X server.
constexpr const char kLive[] = "<live>";
// A display that nobody serves.
constexpr const char kDead[] = ":4711";

struct Case {
  const char* qtPlatform;  // nullptr: not set
  const char* wayland;
  const char* display;
  DisplayStatus::State expected;
};

TEST(CheckDisplay, OneRuleForPlatformWaylandAndX) {
  Xvfb xvfb("320x240x24");
  if (xvfb.display().empty()) GTEST_SKIP() << "Xvfb (Debian package xvfb) could not be started";

  const Case cases[] = {
      // No platform chosen: DISPLAY decides.
      {nullptr, nullptr, kLive, DisplayStatus::Available},
      {nullptr, nullptr, kDead, DisplayStatus::NotReachable},
      {nullptr, nullptr, nullptr, DisplayStatus::NotSet},
      {nullptr, nullptr, "", DisplayStatus::NotSet},
      {"", nullptr, nullptr, DisplayStatus::NotSet},
      // An X11 platform is checked like no platform.
      {"xcb", nullptr, kDead, DisplayStatus::NotReachable},
      {"xcb", nullptr, nullptr, DisplayStatus::NotSet},
      {"xcb:nomitshm", nullptr, kLive, DisplayStatus::Available},
      // Another platform is taken as it is, whatever DISPLAY holds.
      {"offscreen", nullptr, nullptr, DisplayStatus::Available},
      {"wayland", nullptr, kDead, DisplayStatus::Available},
      // So is a Wayland display.
      {nullptr, "wayland-0", nullptr, DisplayStatus::Available},
      {nullptr, "wayland-0", kDead, DisplayStatus::Available},
      {"xcb", "wayland-0", kDead, DisplayStatus::Available},
      {nullptr, "", nullptr, DisplayStatus::NotSet},
  };
  for (const Case& c : cases) {
    const char* display = c.display == kLive ? xvfb.display().c_str() : c.display;
    const ScopedEnv qt("QT_QPA_PLATFORM", c.qtPlatform);
    const ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
    const ScopedEnv x("DISPLAY", display);
    SCOPED_TRACE(std::string("QT_QPA_PLATFORM=") + (c.qtPlatform ? c.qtPlatform : "(unset)") +
                 " WAYLAND_DISPLAY=" + (c.wayland ? c.wayland : "(unset)") +
                 " DISPLAY=" + (display ? display : "(unset)"));
    const DisplayStatus status = CheckDisplay();
    EXPECT_EQ(status.state, c.expected);
    EXPECT_EQ(status.available(), c.expected == DisplayStatus::Available);
    EXPECT_EQ(status.display, display != nullptr ? display : "");
  }
}

}  // namespace
}  // namespace tesmo
