#pragma once

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// True when a `size` frame resized by `scale` keeps every side within kMaxFrameSide pixels. False
// for a scale that is not a finite number.
inline bool FitsScaled(const cv::Size& size, double scale) {
  return std::round(scale * size.width) <= kMaxFrameSide &&
         std::round(scale * size.height) <= kMaxFrameSide;
}

// Size of a `size` frame resized by `scale`: each side rounded half away from zero, at least 1
// pixel so that cv::resize always gets a valid target. Only for a size and scale that FitsScaled.
inline cv::Size ScaledSize(const cv::Size& size, double scale) {
  return cv::Size(std::max(1, static_cast<int>(std::round(scale * size.width))),
                  std::max(1, static_cast<int>(std::round(scale * size.height))));
}

// Resizes *frame in place by `scale` (INTER_LINEAR). False, *frame untouched, when the result
// would pass kMaxFrameSide pixels on a side.
inline bool ScaleFrame(cv::Mat* frame, double scale) {
  if (!FitsScaled(frame->size(), scale)) return false;
  cv::resize(*frame, *frame, ScaledSize(frame->size(), scale), 0, 0, cv::INTER_LINEAR);
  return true;
}

// Thrown by a source whose frames, known at construction, would pass kMaxFrameSide pixels on a
// side once scaled. The factory turns it into an error naming the "scale" key of the source.
class FrameTooLarge : public std::runtime_error {
 public:
  FrameTooLarge(const cv::Size& frameSize, double scale)
      : std::runtime_error(Describe(frameSize) + " scaled by " + cv::format("%g", scale) +
                           " passes " + std::to_string(kMaxFrameSide) + " pixels on a side"),
        frameSize(frameSize) {}

  // "a 640x480 frame"
  static std::string Describe(const cv::Size& size) {
    return "a " + std::to_string(size.width) + "x" + std::to_string(size.height) + " frame";
  }

  const cv::Size frameSize;
};

}  // namespace tesmo
