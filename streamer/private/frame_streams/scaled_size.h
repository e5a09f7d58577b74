#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// Size of a `size` frame resized by `scale`: each side rounded half away from zero, at least 1
// pixel so that cv::resize always gets a valid target. Only for a size and scale that FitsScaled.
inline cv::Size ScaledSize(const cv::Size& size, double scale) {
  return cv::Size(std::max(1, static_cast<int>(std::round(scale * size.width))),
                  std::max(1, static_cast<int>(std::round(scale * size.height))));
}

// True when a `size` frame of `pixelBytes` bytes a pixel, resized by `scale`, stays within the
// frame bound of streamer/frame_stream.h: kMaxFrameSide pixels on a side and kMaxFrameBytes of
// pixels. False for a scale that is not a finite number. Every source that scales asks this
// before it allocates the scaled frame.
inline bool FitsScaled(const cv::Size& size, double scale, size_t pixelBytes) {
  if (!(std::round(scale * size.width) <= kMaxFrameSide &&
        std::round(scale * size.height) <= kMaxFrameSide)) {
    return false;
  }
  const cv::Size scaled = ScaledSize(size, scale);
  return FitsFrameBound(uint64_t(scaled.width), uint64_t(scaled.height), pixelBytes);
}

// "a 640x480 frame"
inline std::string DescribeFrameSize(const cv::Size& size) {
  return "a " + std::to_string(size.width) + "x" + std::to_string(size.height) + " frame";
}

// "a 1000x1000 frame scaled by 16 is over the bound of 16384 pixels per side and 268435456
// bytes": why a frame that does not FitsScaled is refused.
inline std::string ScaledFrameRefusal(const cv::Size& size, double scale) {
  return DescribeFrameSize(size) + " scaled by " + cv::format("%g", scale) +
         " is over the bound of " + std::to_string(kMaxFrameSide) + " pixels per side and " +
         std::to_string(kMaxFrameBytes) + " bytes";
}

// *dst = `src` resized by `scale` (INTER_LINEAR), or a copy of it for a scale of 1. The caller
// has made sure that the result FitsScaled.
inline void ScaledCopy(const cv::Mat& src, double scale, cv::Mat* dst) {
  if (scale == 1.0) {
    src.copyTo(*dst);
  } else {
    cv::resize(src, *dst, ScaledSize(src.size(), scale), 0, 0, cv::INTER_LINEAR);
  }
}

// Resizes *frame in place by `scale` (INTER_LINEAR). False, *frame untouched and nothing
// allocated, when the result would not stay within the frame bound.
inline bool ScaleFrame(cv::Mat* frame, double scale) {
  if (!FitsScaled(frame->size(), scale, frame->elemSize())) return false;
  cv::resize(*frame, *frame, ScaledSize(frame->size(), scale), 0, 0, cv::INTER_LINEAR);
  return true;
}

// Thrown by a source whose frames, known at construction, would not stay within the frame bound
// once scaled. The factory turns it into an error naming the "scale" key of the source.
class FrameTooLarge : public std::runtime_error {
 public:
  FrameTooLarge(const cv::Size& frameSize, double scale)
      : std::runtime_error(ScaledFrameRefusal(frameSize, scale)), frameSize(frameSize) {}

  const cv::Size frameSize;
};

}  // namespace tesmo
