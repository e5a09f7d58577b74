#pragma once

// Synthetic scenes seen through the library's camera models, for the tests and the benchmarks.

#include <cmath>

#include <opencv2/core.hpp>

#include "generator/camera.h"

namespace tesmo {
namespace testing_util {

// World to camera pose of a camera at `position` (world z up) whose optical axis points along the
// horizontal heading `yaw` (radians from +x towards +y), tilted down by `tilt` radians.
inline Pose3f LookingPose(const cv::Vec3f& position, float yaw, float tilt) {
  const cv::Vec3f heading(std::cos(yaw), std::sin(yaw), 0.f);
  const cv::Vec3f z = std::cos(tilt) * heading + std::sin(tilt) * cv::Vec3f(0.f, 0.f, -1.f);
  const cv::Vec3f x = heading.cross(cv::Vec3f(0.f, 0.f, 1.f));
  const cv::Vec3f y = z.cross(x);
  const cv::Matx33f R(x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
  return Pose3f(R, -(R * position));
}

}  // namespace testing_util
}  // namespace tesmo
