#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace tesmo {
namespace testing_util {

// A child process started from a program path and arguments. The destructor ends it (SIGTERM)
// if it still runs and reaps it.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  ~ChildProcess() {
    if (running()) {
      kill(pid_, SIGTERM);
      Wait(5000);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool running() { return started() && !exited_ && !Poll(); }

  // Waits at most timeout_ms for the child to end; its exit code, or -1 if it still runs or
  // ended by a signal.
  int Wait(int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!exited_ && !Poll() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return exited_ ? code_ : -1;
  }

 private:
  bool Poll() {
    if (exited_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

}  // namespace testing_util
}  // namespace tesmo
