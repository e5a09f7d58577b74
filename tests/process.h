#pragma once

// Child processes for the tests (the demo program, peers of the transports, Xvfb, xdotool,
// ffmpeg) and the bounded wait that every test uses for a state to come.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_dir.h"

extern char** environ;

namespace tesmo {
namespace testing_util {

// Asks `condition` until it holds or `timeout` passes, and once more at the deadline; true when
// it held. The pause between two questions grows from 1 ms to 20 ms, so that a state that comes
// quickly is seen at once and a long wait does not spin.
//
//   ASSERT_TRUE(waitFor([&] { return peer.poll(); }, std::chrono::seconds(10)));
template <class Condition>
bool waitFor(Condition&& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::chrono::milliseconds pause(1);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(pause);
    pause = std::min(2 * pause, std::chrono::milliseconds(20));
  }
  return true;
}

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program started as a child process, with its standard input on /dev/null and its standard
// output and error in files (or, for an empty path, the test's own). It runs in a process group
// of its own, so that a signal sent to it never reaches the test runner, and it is killed when
// the thread that started it ends (a test that ends through a fatal check leaves no child
// behind). The destructor kills a child that still runs and reaps it.
//
// Only the thread that started the child may wait for it.
class Process {
 public:
  // Starts argv[0] (looked up in PATH when it holds no '/') with the arguments argv[1..] in
  // `workDir` (empty: the test's own). `env` entries are added to (or replace) the inherited
  // environment; an empty value removes the variable. started() is false when the child could
  // not be made; a program that cannot be run ends with exit code 127.
  explicit Process(const std::vector<std::string>& argv, const std::string& workDir = "",
                   const std::string& outPath = "", const std::string& errPath = "",
                   const std::map<std::string, std::string>& env = {})
      : outPath_(outPath), errPath_(errPath) {
    if (argv.empty()) return;
    // Everything the child needs is made here: between fork and exec a process with threads may
    // only make async-signal-safe calls.
    const std::string program = findProgram(argv[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> environment = mergedEnvironment(env);
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(126);
      const int in = open("/dev/null", O_RDONLY);
      if (in < 0 || dup2(in, 0) < 0) _exit(126);
      if (!outPath_.empty() && !redirect(outPath_.c_str(), 1)) _exit(126);
      if (!errPath_.empty() && !redirect(errPath_.c_str(), 2)) _exit(126);
      if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
      execve(program.c_str(), args.data(), envp.data());
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);  // whichever of the two comes first
  }

  ~Process() {
    if (started() && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int sig) {
    if (started() && !finished_) kill(pid_, sig);
  }

  // True once the child has ended; reaps it.
  bool poll() {
    if (finished_ || !started()) return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return finished_;
  }
  bool running() { return !poll(); }

  // Waits at most `timeout` for the child to end; false when it still runs.
  bool wait(std::chrono::milliseconds timeout) {
    return waitFor([this] { return poll(); }, timeout);
  }

  bool exitedNormally() const { return finished_ && WIFEXITED(status_); }
  // The exit code; -1 while the child runs or when a signal ended it.
  int exitCode() const { return exitedNormally() ? WEXITSTATUS(status_) : -1; }
  // The signal that ended the child; 0 while it runs or when it exited.
  int termSignal() const { return finished_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

  // What the child has written so far to its output and error files.
  std::string out() const { return readFile(outPath_); }
  std::string err() const { return readFile(errPath_); }

 private:
  // The path that execvp would run for `name`: `name` itself when it holds a '/', else the
  // first executable file of that name in PATH (`name` when there is none: exec then fails).
  static std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
      const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    return name;
  }

  // This process's environment with `changes` applied.
  static std::vector<std::string> mergedEnvironment(
      const std::map<std::string, std::string>& changes) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      if (changes.count(entry.substr(0, entry.find('='))) == 0) merged.push_back(entry);
    }
    for (const auto& kv : changes) {
      if (!kv.second.empty()) merged.push_back(kv.first + "=" + kv.second);
    }
    return merged;
  }

  // In the child: the file at `path` (created or emptied) as descriptor `fd`.
  static bool redirect(const char* path, int fd) {
    const int file = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return file >= 0 && dup2(file, fd) >= 0;
  }

  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
  std::string outPath_;
  std::string errPath_;
};

// Runs a program to its end (at most `timeout`) and returns its standard output; empty when it
// did not end in time. `exitCode`, when given, receives its exit code (-1 when it did not end
// normally in time). `env` as for Process.
inline std::string runCapture(const std::vector<std::string>& argv,
                              std::chrono::milliseconds timeout,
                              const std::map<std::string, std::string>& env = {},
                              int* exitCode = nullptr) {
  const TempDir dir("tesmo-run");
  Process p(argv, "", dir / "out", dir / "err", env);
  const bool bEnded = p.wait(timeout);
  if (exitCode != nullptr) *exitCode = p.exitCode();
  return bEnded ? p.out() : std::string();
}

}  // namespace testing_util
}  // namespace tesmo
