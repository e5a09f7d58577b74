#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/path.hpp>

namespace tesmo {

// Time since the clock's epoch of `tp`, in Duration units, truncated toward zero.
template <typename TimePoint, typename Duration = std::chrono::milliseconds>
int64_t raw_timestamp(const TimePoint& tp) {
  return static_cast<int64_t>(
      std::chrono::duration_cast<Duration>(tp.time_since_epoch()).count());
}

// The clock's current time in Duration units since its epoch. now() is system-clock milliseconds
// since the Unix epoch (frame timestamps); now<std::chrono::steady_clock>() is for durations.
template <typename Clock = std::chrono::system_clock, typename Duration = std::chrono::milliseconds>
int64_t now() {
  return raw_timestamp<typename Clock::time_point, Duration>(Clock::now());
}

// a - b and a + b of timestamps that may lie anywhere in int64 (a peer's or a file's), held at
// the int64 limits where they would leave them.
inline int64_t SaturatingSub(int64_t a, int64_t b) {
  int64_t d = 0;
  if (!__builtin_sub_overflow(a, b, &d)) return d;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}
inline int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t s = 0;
  if (!__builtin_add_overflow(a, b, &s)) return s;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// Splits `text` at `sep` and at white space; empty fields vanish.
std::vector<std::string> Split(const std::string& text, char sep);

// The first `count` words joined by `sep`; empty for count <= 0.
std::string Join(int count, const char* const* words, const char* sep);

using SystemTimePoint =
    std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// UTC ptime to the system-clock time point the same time after the Unix epoch.
SystemTimePoint time_to_std(const boost::posix_time::ptime& t);

// System-clock time point to UTC ptime; the sub-microsecond part is truncated toward zero.
boost::posix_time::ptime time_to_boost(const SystemTimePoint& tp);

// Lexically normalised path with every "/" replaced by "_" (a/b/../c.png -> a_c.png).
boost::filesystem::path flatten_path(boost::filesystem::path path);

}  // namespace tesmo
