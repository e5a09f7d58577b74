#pragma once

// Runs the real tesmo_demo program for the tests: TESMO_DEMO_PATH, which the build gives to the
// tests that include this header.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "tests/process.h"
#include "tests/source_path.h"
#include "tests/temp_dir.h"

namespace tesmo {
namespace testing_util {

// The program started in `dir` with `args`, glog writing to standard error; its standard output
// and error go to dir/demo.out and dir/demo.err. `env` as for Process.
inline std::unique_ptr<Process> startDemo(const TempDir& dir, const std::vector<std::string>& args,
                                          std::map<std::string, std::string> env = {}) {
  std::vector<std::string> argv = {TESMO_DEMO_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  env["GLOG_logtostderr"] = "1";
  return std::make_unique<Process>(argv, dir.str(), dir / "demo.out", dir / "demo.err", env);
}

// Lays out `dir` as `make demo` runs the sample: the source tree's samples/ linked in and an
// empty out/.
inline void linkSamples(const TempDir& dir) {
  boost::filesystem::create_symlink(sourcePath("samples"), dir / "samples");
  boost::filesystem::create_directories(dir / "out");
}

// A port on 127.0.0.1 that nothing listens on at the moment of the call; -1 when none was found.
inline int freePort() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  socklen_t len = sizeof(addr);
  const bool bBound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) close(fd);
  return bBound ? ntohs(addr.sin_port) : -1;
}

}  // namespace testing_util
}  // namespace tesmo
