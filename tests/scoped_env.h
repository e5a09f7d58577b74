#pragma once

#include <cstdlib>
#include <string>

namespace tesmo {
namespace testing_util {

// Sets (or, with nullptr, removes) an environment variable of this process for the life of the
// object, and then puts back what was there before. Only while no other thread reads the
// environment or starts a child process.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* saved = std::getenv(name);
    bSaved_ = saved != nullptr;
    if (bSaved_) saved_ = saved;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (bSaved_) {
      setenv(name_.c_str(), saved_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool bSaved_ = false;
  std::string saved_;
};

}  // namespace testing_util
}  // namespace tesmo
