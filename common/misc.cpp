#include "common/misc.h"

#include <string>

namespace cv {

void read_bool(const cv::FileNode& node, bool& value, const bool& default_value) {
  std::string text = node.isString() ? node.string() : std::string();
  const size_t blank = text.find(' ');
  if (blank != std::string::npos) {
    text.resize(blank);
  }
  static const char* const kTrue[] = {"y",    "Y",    "yes", "Yes", "YES", "true",
                                      "True", "TRUE", "on",  "On",  "ON"};
  static const char* const kFalse[] = {"n",     "N",     "no",  "No",  "NO", "false",
                                       "False", "FALSE", "off", "Off", "OFF"};
  for (const char* word : kTrue) {
    if (text == word) {
      value = true;
      return;
    }
  }
  for (const char* word : kFalse) {
    if (text == word) {
      value = false;
      return;
    }
  }
  if (node.isInt()) {
    value = static_cast<int>(node) > 0;
    return;
  }
  value = default_value;
}

}  // namespace cv

bool isEnabled(const cv::FileNode& node) {
  const cv::FileNode enabled = node["enabled"];
  if (enabled.isNone()) {
    return true;
  }
  bool value = false;
  cv::read_bool(enabled, value, false);
  return value;
}
