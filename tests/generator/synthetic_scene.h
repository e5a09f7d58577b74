#pragma once

// Synthetic scenes seen through the library's camera models, for the tests and the benchmarks.

#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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

// The angle (degrees) of the rotation that turns b into a.
inline double RotationErrorDeg(const cv::Matx33f& a, const cv::Matx33f& b) {
  cv::Vec3f r;
  cv::Rodrigues(a * b.t(), r);
  return cv::norm(r) * 180.0 / CV_PI;
}

// Where a ray that meets nothing samples a texture: far outside it.
const cv::Vec2f kMiss(-1e6f, -1e6f);

// The image that `camera` (its K, D and model) takes from `pose` (world to camera) of a textured
// scene: every pixel's ray, through the model's own undistortion, leaves the camera's centre in
// a world direction; `hit(centre, direction)` (world vectors) returns the position in `texture`
// (pixels, cv::remap's convention) of what the ray meets, or kMiss. The texture is sampled there
// bilinearly, and `border` where the position falls outside it.
template <class Hit>
cv::Mat RenderRays(const Camera& camera, const Pose3f& pose, const cv::Mat& texture, Hit hit,
                   const cv::Scalar& border = cv::Scalar()) {
  std::vector<cv::Point2f> pixels;
  for (int y = 0; y < camera.frameSize.height; ++y) {
    for (int x = 0; x < camera.frameSize.width; ++x) pixels.emplace_back(x, y);
  }
  std::vector<cv::Point2f> rays;
  if (camera.model == Fisheye) {
    cv::fisheye::undistortPoints(pixels, rays, camera.K, camera.D);
  } else {
    cv::undistortPoints(pixels, rays, camera.K, camera.D);
  }
  const cv::Matx33f Rt = pose.R.t();
  const cv::Vec3f centre = -(Rt * pose.T);
  cv::Mat map(camera.frameSize, CV_32FC2);
  for (size_t i = 0; i < rays.size(); ++i) {
    map.at<cv::Vec2f>(static_cast<int>(i) / camera.frameSize.width,
                      static_cast<int>(i) % camera.frameSize.width) =
        hit(centre, Rt * cv::Vec3f(rays[i].x, rays[i].y, 1.f));
  }
  cv::Mat img;
  cv::remap(texture, img, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, border);
  return img;
}

}  // namespace testing_util
}  // namespace tesmo
