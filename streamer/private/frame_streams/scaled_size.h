#pragma once

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

namespace tesmo {

// Size of a `size` frame resized by `scale`: each side rounded half away from zero, at least 1
// pixel so that cv::resize always gets a valid target.
inline cv::Size ScaledSize(const cv::Size& size, double scale) {
  return cv::Size(std::max(1, static_cast<int>(std::round(scale * size.width))),
                  std::max(1, static_cast<int>(std::round(scale * size.height))));
}

}  // namespace tesmo
