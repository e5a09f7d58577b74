#pragma once

// Runs programs (tesmo_demo, Xvfb, xdotool, ffmpeg) as child processes for the demo's tests.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_dir.h"

namespace tesmo {
namespace test {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `done` every 20 ms until it holds or `timeout` passes; returns its last value.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

using testing_util::TempDir;

// A child process whose standard output and error go to files. The destructor kills a child that
// is still running and reaps it.
class Process {
 public:
  // `env` entries are added to (or replace) the inherited environment; an empty value removes
  // the variable.
  Process(const std::vector<std::string>& argv, const std::string& workDir,
          const std::string& outPath, const std::string& errPath,
          const std::map<std::string, std::string>& env = {})
      : outPath_(outPath), errPath_(errPath) {
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
      for (const auto& kv : env) {
        if (kv.second.empty()) {
          unsetenv(kv.first.c_str());
        } else {
          setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
      }
      // Our own process group, so that a signal to it never reaches the test runner.
      setpgid(0, 0);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
  }

  ~Process() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int sig) {
    if (pid_ > 0 && !finished_) kill(pid_, sig);
  }

  // Waits up to `timeout` for the child to end; false when it still runs.
  bool wait(std::chrono::milliseconds timeout) {
    return waitFor([this] { return poll(); }, timeout);
  }

  // True once the child has ended (reaped).
  bool poll() {
    if (finished_) return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return finished_;
  }

  bool exitedNormally() const { return finished_ && WIFEXITED(status_); }
  int exitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  int termSignal() const { return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

  std::string out() const { return readFile(outPath_); }
  std::string err() const { return readFile(errPath_); }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
  std::string outPath_;
  std::string errPath_;
};

// Runs a command to its end (at most `timeout`) and returns its standard output; empty on failure.
inline std::string runCapture(const std::vector<std::string>& argv, const std::string& dir,
                              const std::map<std::string, std::string>& env,
                              std::chrono::milliseconds timeout, int* exitCode = nullptr) {
  static int counter = 0;
  const std::string base = dir + "/cmd" + std::to_string(counter++);
  Process p(argv, "", base + ".out", base + ".err", env);
  const bool ended = p.wait(timeout);
  if (exitCode != nullptr) *exitCode = ended ? p.exitCode() : -1;
  return ended ? p.out() : std::string();
}

}  // namespace test
}  // namespace tesmo
