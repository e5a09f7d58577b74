#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>

#include "tests/process.h"
#include "tests/temp_dir.h"

namespace tesmo {
namespace testing_util {

// An Xvfb server of the test's own, started on a free display number that it reports itself
// (Process: it ends with the test). Started again, up to three times, when it does not accept
// connections, e.g. when another server took the same number meanwhile. It does not reset when
// its last client leaves, so that it accepts the next one at once. display() is empty when no
// server could be started (Debian package xvfb).
class Xvfb {
 public:
  // `screen` as Xvfb's -screen 0 argument, e.g. "800x600x24".
  explicit Xvfb(const std::string& screen) : dir_("tesmo-xvfb") {
    for (int attempt = 0; attempt < 3 && display_.empty(); ++attempt) {
      server_ = std::make_unique<Process>(
          std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset",
                                   "-screen", "0", screen},
          "", dir_ / "display", dir_ / "errors");
      // Xvfb writes its display number once it accepts connections.
      std::string number;
      waitFor(
          [&] {
            number = readFile(dir_ / "display");
            return (!number.empty() && number.back() == '\n') || server_->poll();
          },
          std::chrono::seconds(20));
      if (number.empty() || number.back() != '\n') continue;
      number.pop_back();
      if (!server_->poll() && accepts(number)) display_ = ":" + number;
    }
  }
  ~Xvfb() { stop(); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N", or empty when no server started.
  const std::string& display() const { return display_; }
  // What the last server started wrote to its standard error.
  std::string errors() const { return readFile(dir_ / "errors"); }

  // Ends the server with SIGTERM, which lets it remove its socket and lock file; true when it
  // has ended within 10 s.
  bool stop() {
    if (server_ == nullptr) return true;
    server_->signal(SIGTERM);
    return server_->wait(std::chrono::seconds(10));
  }

 private:
  // Whether the server of display `number` accepts a connection on its local socket, in the
  // file system or in the abstract namespace.
  static bool accepts(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (const bool bAbstract : {false, true}) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0) return false;
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::memcpy(addr.sun_path + (bAbstract ? 1 : 0), path.c_str(), path.size());
      const socklen_t size = offsetof(sockaddr_un, sun_path) + path.size() + (bAbstract ? 1 : 0);
      const bool bConnected = connect(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0;
      close(fd);
      if (bConnected) return true;
    }
    return false;
  }

  TempDir dir_;
  std::unique_ptr<Process> server_;
  std::string display_;
};

// A fixture whose tests share one Xvfb server of `Suite::kScreen` (e.g. "800x600x24"), made the
// display (DISPLAY set, QT_QPA_PLATFORM removed) while the suite runs; its windows are closed at
// the end. A test is skipped when no server could be started.
//
//   class MyWindowTest : public XvfbSuite<MyWindowTest> {
//    public:
//     static constexpr const char* kScreen = "800x600x24";
//   };
template <class Suite>
class XvfbSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = std::make_unique<Xvfb>(Suite::kScreen);
    if (!xvfb_->display().empty()) setenv("DISPLAY", xvfb_->display().c_str(), 1);
    unsetenv("QT_QPA_PLATFORM");
  }
  static void TearDownTestSuite() {
    if (!xvfb_->display().empty()) cv::destroyAllWindows();
    xvfb_.reset();
  }
  void SetUp() override {
    if (xvfb_->display().empty()) GTEST_SKIP() << "Xvfb (Debian package xvfb) could not be started";
  }

  static inline std::unique_ptr<Xvfb> xvfb_;
};

}  // namespace testing_util
}  // namespace tesmo
