#include "streamer/util.h"

#include <algorithm>
#include <sstream>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/filesystem/operations.hpp>

namespace tesmo {
namespace {

const boost::posix_time::ptime& epoch() {
  static const boost::posix_time::ptime e(boost::gregorian::date(1970, 1, 1));
  return e;
}

}  // namespace

std::vector<std::string> Split(const std::string& text, char sep) {
  std::string copy = text;
  std::replace(copy.begin(), copy.end(), sep, ' ');
  std::istringstream in(copy);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) {
    words.push_back(word);
  }
  return words;
}

std::string Join(int count, const char* const* words, const char* sep) {
  std::string result;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      result += sep;
    }
    result += words[i];
  }
  return result;
}

SystemTimePoint time_to_std(const boost::posix_time::ptime& t) {
  const boost::posix_time::time_duration d = t - epoch();
  // time_duration ticks are microseconds in the default configuration.
  const int64_t ns = static_cast<int64_t>(d.ticks()) *
                     (1000000000LL / boost::posix_time::time_duration::ticks_per_second());
  return SystemTimePoint(std::chrono::nanoseconds(ns));
}

boost::posix_time::ptime time_to_boost(const SystemTimePoint& tp) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(tp.time_since_epoch()).count();
  const int64_t us = ns / 1000;  // truncates toward zero
  return epoch() + boost::posix_time::microseconds(us);
}

boost::filesystem::path flatten_path(boost::filesystem::path path) {
  std::string s = path.lexically_normal().string();
  std::replace(s.begin(), s.end(), '/', '_');
  return boost::filesystem::path(s);
}

}  // namespace tesmo
