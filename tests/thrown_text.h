#pragma once

#include <stdexcept>
#include <string>

namespace tesmo {
namespace testing_util {

// The what() of the std::runtime_error that `f` throws; empty when it throws none. Exceptions of
// other types reach the test.
template <class F>
std::string ThrownText(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace testing_util
}  // namespace tesmo
