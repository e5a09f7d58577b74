#pragma once

#include <limits>
#include <opencv2/core.hpp>
#include <string>

namespace cv {

// Reads a flag written as y/n, yes/no, true/false, on/off (lower, capitalised or upper case) or as
// an integer (> 0 is true). Only the first blank-separated word counts. Anything else, an absent
// node included, gives default_value.
void read_bool(const cv::FileNode& node, bool& value, const bool& default_value);

}  // namespace cv

// An optional section is enabled when it has no "enabled" key, otherwise when that key reads true
// (default false).
bool isEnabled(const cv::FileNode& node);

namespace tesmo {

// Typed reading of one optional key of a configuration section. An absent key leaves `value` as
// it is and returns false; a present key sets `value` and returns true. A key present with
// another type, or with a number outside [lo, hi] (NaN and infinities included), throws
// std::runtime_error naming the section, the key, what was expected and the value as written:
//   Key "query_size" in "live_streams" must be an integer in 1..1024, got "5"
// An integer key also takes a real number without a fractional part.
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             int& value, int lo = std::numeric_limits<int>::min(),
             int hi = std::numeric_limits<int>::max());
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             double& value, double lo = -std::numeric_limits<double>::max(),
             double hi = std::numeric_limits<double>::max());
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             float& value, float lo = -std::numeric_limits<float>::max(),
             float hi = std::numeric_limits<float>::max());
// A text key: only a string node is accepted.
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             std::string& value);

// Throws the error above for a key whose value breaks a rule the caller checks itself;
// `expected` completes "must be ..." (e.g. "a number above 0").
[[noreturn]] void refuseKey(const std::string& sectionName, const char* key,
                            const cv::FileNode& node, const std::string& expected);

// A node's value as written, for messages: a string in double quotes, a number, "a map",
// "a sequence" or "nothing".
std::string describeNode(const cv::FileNode& node);

}  // namespace tesmo
