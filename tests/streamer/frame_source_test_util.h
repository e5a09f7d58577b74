#pragma once

#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "tests/temp_dir.h"

namespace tesmo {
namespace testing_util {

// The grey level that frame `i` of WriteIndexedVideo is filled with.
inline int FrameLevel(int i) { return 20 + 25 * i; }

// Which frame of WriteIndexedVideo `frame` is, from its mean level; -1 when none fits.
inline int FrameIndexOf(const cv::Mat& frame) {
  const double level = cv::mean(frame)[0];
  for (int i = 0; FrameLevel(i) <= 255; ++i) {
    if (std::abs(level - FrameLevel(i)) < 6) return i;
  }
  return -1;
}

// Writes an MJPG AVI of `count` uniform frames; frame i has grey level FrameLevel(i).
inline void WriteIndexedVideo(const std::string& path, int count, cv::Size size) {
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size);
  ASSERT_TRUE(writer.isOpened()) << path;
  for (int i = 0; i < count; ++i) {
    writer.write(cv::Mat(size, CV_8UC3, cv::Scalar::all(FrameLevel(i))));
  }
}

}  // namespace testing_util
}  // namespace tesmo
