#pragma once

#include <opencv2/core.hpp>

namespace cv {

// Reads a flag written as y/n, yes/no, true/false, on/off (lower, capitalised or upper case) or as
// an integer (> 0 is true). Only the first blank-separated word counts. Anything else, an absent
// node included, gives default_value.
void read_bool(const cv::FileNode& node, bool& value, const bool& default_value);

}  // namespace cv

// An optional section is enabled when it has no "enabled" key, otherwise when that key reads true
// (default false).
bool isEnabled(const cv::FileNode& node);
