#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace tesmo {
namespace testing_util {

// An Xvfb server of the test's own, started on a free display number that it reports itself. It
// is told to end with the test process, so that a test ending through a fatal check (or a death
// test's child, which sets up the suite again) leaves no server behind. display() is empty when
// the server could not be started (Debian package xvfb).
class Xvfb {
 public:
  // `screen` as Xvfb's -screen 0 argument, e.g. "800x600x24".
  explicit Xvfb(const std::string& screen) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      close(fds[0]);
      const int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, 0);
      dup2(devNull, 1);
      dup2(devNull, 2);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
             screen.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      return;
    }
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    char c;
    while (poll(&pfd, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N", or empty when the server did not start.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace testing_util
}  // namespace tesmo
