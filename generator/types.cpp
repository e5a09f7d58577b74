#include "generator/types.h"

#include <opencv2/calib3d.hpp>

namespace tesmo {

Pose3f::Pose3f(const cv::Matx33f& R, const cv::Vec3f& T) : R(R), T(T) {}

cv::Vec3f Pose3f::operator*(const cv::Vec3f& p) const { return R * p + T; }

Pose3f Pose3f::operator*(const Pose3f& o) const { return Pose3f(R * o.R, R * o.T + T); }

Pose3f Pose3f::inv() const {
  const cv::Matx33f Rt = R.t();
  return Pose3f(Rt, (-Rt) * T);
}

cv::Vec3f Pose3f::getRodrigues() const {
  cv::Vec3f rvec;
  cv::Rodrigues(R, rvec);
  return rvec;
}

PlaneRoi::PlaneRoi(const cv::Vec3f& r00, const cv::Vec3f& r01, const cv::Vec3f& r10,
                   const cv::Vec3f& r11)
    : r00(r00), r01(r01), r10(r10), r11(r11) {}

PlaneRoi PlaneRoi::operator+(const cv::Vec3f& v) const {
  return PlaneRoi(r00 + v, r01 + v, r10 + v, r11 + v);
}

}  // namespace tesmo
