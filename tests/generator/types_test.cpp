#include "generator/types.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "generator/camera.h"

namespace tesmo {
namespace {

void ExpectNear(const cv::Vec3f& a, const cv::Vec3f& b, float tol = 1e-5f) {
  EXPECT_NEAR(a[0], b[0], tol);
  EXPECT_NEAR(a[1], b[1], tol);
  EXPECT_NEAR(a[2], b[2], tol);
}

Pose3f SomePose() {
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(0.3f, -1.1f, 0.7f), R);
  return Pose3f(R, cv::Vec3f(1.5f, -2.f, 0.25f));
}

TEST(Pose3f, IdentityIsNeutral) {
  const Pose3f id;
  const Pose3f inv = id.inv();
  const Pose3f comp = id * id;
  EXPECT_EQ(cv::norm(inv.R - cv::Matx33f::eye()), 0.0);
  EXPECT_EQ(cv::norm(comp.R - cv::Matx33f::eye()), 0.0);
  EXPECT_EQ(cv::norm(inv.T), 0.0);
  EXPECT_EQ(id * cv::Vec3f(1, 2, 3), cv::Vec3f(1, 2, 3));
}

TEST(Pose3f, InverseUndoesPoseAndComposesToIdentity) {
  const Pose3f p = SomePose();
  const Pose3f round = p.inv() * p;
  for (const cv::Vec3f& x : {cv::Vec3f(0, 0, 0), cv::Vec3f(1, -2, 3), cv::Vec3f(-7, 0.5f, 2)}) {
    ExpectNear(round * x, x);
    ExpectNear(p.inv() * (p * x), x);
  }
}

TEST(Pose3f, CompositionAppliesRightOperandFirst) {
  const Pose3f a = SomePose();
  const Pose3f b(cv::Matx33f(0, -1, 0, 1, 0, 0, 0, 0, 1), cv::Vec3f(0, 0, 5));
  const cv::Vec3f x(0.5f, 1.f, -2.f);
  ExpectNear((a * b) * x, a * (b * x));
}

TEST(Pose3f, RodriguesRoundTrip) {
  const Pose3f p = SomePose();
  ExpectNear(p.getRodrigues(), cv::Vec3f(0.3f, -1.1f, 0.7f));
}

TEST(Camera, CenterIsMinusRtT) {
  Camera cam;
  ExpectNear(cam.getCenter(), cv::Vec3f(0, 0, 0));
  cam.poseW2C.T = cv::Vec3f(1, 2, 3);
  ExpectNear(cam.getCenter(), cv::Vec3f(-1, -2, -3));
  // The centre is the world point that the pose maps to the camera origin.
  cam.poseW2C = SomePose();
  ExpectNear(cam.poseW2C * cam.getCenter(), cv::Vec3f(0, 0, 0));
}

TEST(Camera, CopiesAreIndependent) {
  Camera a;
  a.name = "front";
  a.K = cv::Mat::eye(3, 3, CV_64F);
  Camera b = a;
  b.alpha = 2.0;
  b.beta = -3.0;
  b.frameSize = cv::Size(10, 20);
  b.poseW2C.T = cv::Vec3f(1, 1, 1);
  // A newly made matrix, as every change to K does (assigning a MatExpr would write into
  // the shared data).
  b.K = cv::Mat(3, 3, CV_64F, cv::Scalar(0));
  EXPECT_EQ(a.alpha, 1.0);
  EXPECT_EQ(a.beta, 0.0);
  EXPECT_EQ(a.frameSize, cv::Size());
  EXPECT_EQ(cv::norm(a.poseW2C.T), 0.0);
  EXPECT_EQ(a.K.at<double>(0, 0), 1.0);
}

TEST(PlaneRoi, Translate) {
  const PlaneRoi roi(cv::Vec3f(0, 0, 0), cv::Vec3f(0, 1, 0), cv::Vec3f(1, 0, 0), cv::Vec3f(1, 1, 2));
  const PlaneRoi same = roi + cv::Vec3f(0, 0, 0);
  EXPECT_EQ(same.r11, roi.r11);
  const PlaneRoi moved = roi + cv::Vec3f(1, 1, 0);
  EXPECT_EQ(moved.r00, cv::Vec3f(1, 1, 0));
  EXPECT_EQ(moved.r01, cv::Vec3f(1, 2, 0));
  EXPECT_EQ(moved.r10, cv::Vec3f(2, 1, 0));
  EXPECT_EQ(moved.r11, cv::Vec3f(2, 2, 2));
}

}  // namespace
}  // namespace tesmo
