#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace tesmo {
namespace testing_util {

// A YAML document held in memory, read from its text (without the "%YAML:1.0" line). The nodes
// of root() live as long as the returned object.
inline cv::FileStorage Memory(const std::string& yaml) {
  return cv::FileStorage("%YAML:1.0\n---\n" + yaml,
                         cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

}  // namespace testing_util
}  // namespace tesmo
