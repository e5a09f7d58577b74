#pragma once

#include <opencv2/core.hpp>

namespace tesmo {

// Rigid transform x -> R * x + T, single precision throughout.
struct Pose3f {
  cv::Matx33f R = cv::Matx33f::eye();
  cv::Vec3f T = cv::Vec3f(0.f, 0.f, 0.f);

  Pose3f() = default;
  Pose3f(const cv::Matx33f& R, const cv::Vec3f& T);

  // The transformed point R * p + T.
  cv::Vec3f operator*(const cv::Vec3f& p) const;
  // Composition: applies `o` first, then this pose.
  Pose3f operator*(const Pose3f& o) const;
  // Inverse (R^T, -R^T * T). R is not re-orthonormalised.
  Pose3f inv() const;
  // Rotation as a Rodrigues vector (radians).
  cv::Vec3f getRodrigues() const;
};

// The four 3-D corners of the ground rectangle a top view covers. The first digit selects the
// side along the view's columns (0 first column, 1 last), the second along its rows.
struct PlaneRoi {
  cv::Vec3f r00, r01, r10, r11;

  PlaneRoi() = default;
  PlaneRoi(const cv::Vec3f& r00, const cv::Vec3f& r01, const cv::Vec3f& r10, const cv::Vec3f& r11);

  // The rectangle moved by v.
  PlaneRoi operator+(const cv::Vec3f& v) const;
};

// Optional radial distortion of the output view. Off when pow < 1 or force < 0.001.
struct Distortion {
  int pow = 0;
  float force = 1.0f;

  Distortion() = default;
};

}  // namespace tesmo
