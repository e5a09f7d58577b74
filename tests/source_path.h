#pragma once

#include <string>

namespace tesmo {
namespace testing_util {

// The path of `relative` (e.g. "samples/synthetic/config.yml") in the source tree that the tests
// were built from: TESMO_SOURCE_DIR, which every test gets from tesmo_test_main. With no
// argument, the tree's root.
inline std::string sourcePath(const std::string& relative = "") {
  const std::string root = TESMO_SOURCE_DIR;
  return relative.empty() ? root : root + "/" + relative;
}

}  // namespace testing_util
}  // namespace tesmo
