#include "generator/calc_maps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/calib3d.hpp>

#include "generator/math.h"

namespace tesmo {
namespace {

struct Scene {
  CameraModel model;
  cv::Mat K, D;
  cv::Size frame;
  cv::Vec3f r00, r01, r10, r11;
};

// A camera 1 m above the ground looking down and forward at a 4 x 3 m rectangle; corners in the
// camera frame.
Scene MakeScene(CameraModel model) {
  Scene s;
  s.model = model;
  s.frame = cv::Size(1280, 720);
  if (model == Fisheye) {
    s.K = (cv::Mat_<double>(3, 3) << 330, 0, 641.5, 0, 330, 359.25, 0, 0, 1);
    s.D = (cv::Mat_<double>(4, 1) << 0.05, -0.01, 0.003, -0.0005);
  } else {
    s.K = (cv::Mat_<double>(3, 3) << 900, 0, 640, 0, 905, 361, 0, 0, 1);
    s.D = (cv::Mat_<double>(1, 5) << -0.2, 0.05, 0.001, -0.002, 0.0);
  }
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(0.35f, 0.05f, -0.02f), R);
  const cv::Vec3f T(0.1f, 0.2f, 1.5f);
  auto toCam = [&](float x, float y) { return R * cv::Vec3f(x, y, 0.f) + T; };
  s.r00 = toCam(-2.f, -1.5f);
  s.r10 = toCam(2.f, -1.5f);
  s.r01 = toCam(-2.f, 1.5f);
  s.r11 = toCam(2.f, 1.5f);
  return s;
}

// The source pixel of view pixel (x, y), computed independently: blend the corners in double
// and project the 3-D point with OpenCV's own projection functions.
cv::Point2f Reference(const Scene& s, const cv::Size& out, int x, int y) {
  const double xn = static_cast<double>(x) / out.width;
  const double yn = static_cast<double>(y) / out.height;
  const cv::Vec3d P = cv::Vec3d(s.r00) * ((1 - xn) * (1 - yn)) + cv::Vec3d(s.r01) * ((1 - xn) * yn) +
                      cv::Vec3d(s.r10) * (xn * (1 - yn)) + cv::Vec3d(s.r11) * (xn * yn);
  std::vector<cv::Point3d> obj{cv::Point3d(P[0], P[1], P[2])};
  std::vector<cv::Point2d> img;
  if (s.model == Fisheye) {
    cv::fisheye::projectPoints(obj, img, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), s.K, s.D);
  } else {
    cv::projectPoints(obj, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), s.K, s.D, img);
  }
  return cv::Point2f(static_cast<float>(img[0].x), static_cast<float>(img[0].y));
}

void CheckAgainstReference(CameraModel model) {
  const Scene s = MakeScene(model);
  const cv::Size out(160, 120);
  cv::Mat map, mask;
  CalcCameraToPlaneMapBilinear(s.model, s.K, s.D, s.frame, s.r00, s.r01, s.r10, s.r11, out,
                               Distortion(), &map, &mask);
  ASSERT_EQ(map.type(), CV_32FC2);
  ASSERT_EQ(map.size(), out);
  ASSERT_EQ(mask.type(), CV_8UC1);
  int visible = 0;
  for (int y = 0; y < out.height; y += 7) {
    for (int x = 0; x < out.width; x += 9) {
      const cv::Point2f ref = Reference(s, out, x, y);
      const cv::Point2f got = map.at<cv::Point2f>(y, x);
      if (mask.at<uchar>(y, x) == 0) {
        continue;
      }
      ++visible;
      EXPECT_NEAR(got.x, ref.x, 1e-3) << "pixel " << x << "," << y;
      EXPECT_NEAR(got.y, ref.y, 1e-3) << "pixel " << x << "," << y;
      EXPECT_TRUE(ref.x >= 0 && ref.y >= 0 && ref.x < s.frame.width && ref.y < s.frame.height);
    }
  }
  EXPECT_GT(visible, 50);
}

TEST(CalcCameraToPlaneMapBilinear, PinholeMatchesProjectPoints) { CheckAgainstReference(Pinhole); }

TEST(CalcCameraToPlaneMapBilinear, FisheyeMatchesFisheyeProjectPoints) {
  CheckAgainstReference(Fisheye);
}

TEST(CalcCameraToPlaneMapBilinear, NullMapIsAnAssertion) {
  const Scene s = MakeScene(Pinhole);
  try {
    CalcCameraToPlaneMapBilinear(s.model, s.K, s.D, s.frame, s.r00, s.r01, s.r10, s.r11,
                                 cv::Size(8, 8), Distortion(), nullptr, nullptr);
    FAIL() << "no exception";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsAssert);
    EXPECT_NE(e.err.find("map != nullptr"), std::string::npos);
  }
}

TEST(CalcCameraToPlaneMapBilinear, MaskRules) {
  const cv::Mat D;
  cv::Mat map, mask;

  // A camera keeps a point only where bilinear sampling reads its 50 x 20 frame alone: from the
  // first pixel to the last column and row (u = 49, v = 19), not a quarter pixel beyond. Ideal
  // pinhole, fx = fy = 64, principal point (0, 0): the one-pixel view of the plane point
  // (u, v, 64) / 64 maps to (u, v) exactly.
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 64, 0, 0, 0, 64, 0, 0, 0, 1);
  const struct {
    float u, v;
    uchar mask;
  } points[] = {{0, 0, 255},     {49, 19, 255},   {49.25f, 10, 0}, {10, 19.25f, 0},
                {-0.25f, 10, 0}, {10, -0.25f, 0}, {50, 10, 0},     {10, 20, 0}};
  for (const auto& p : points) {
    SCOPED_TRACE(std::to_string(p.u) + ", " + std::to_string(p.v));
    const cv::Vec3f P(p.u / 64, p.v / 64, 1);
    CalcCameraToPlaneMapBilinear(Pinhole, K, D, cv::Size(50, 20), P, P, P, P, cv::Size(1, 1),
                                 Distortion(), &map, &mask);
    EXPECT_EQ(map.at<cv::Point2f>(0, 0), cv::Point2f(p.u, p.v));
    EXPECT_EQ(mask.at<uchar>(0, 0), p.mask);
  }

  // Behind the camera: Z runs from 1 down to -0.5; the projection of (0, 0, -0.5) falls inside
  // a big frame, the mask is still 0.
  const cv::Mat K2 = (cv::Mat_<double>(3, 3) << 10, 0, 500, 0, 10, 500, 0, 0, 1);
  CalcCameraToPlaneMapBilinear(Pinhole, K2, D, cv::Size(1000, 1000), cv::Vec3f(0, 0, 1),
                               cv::Vec3f(0, 0, 1), cv::Vec3f(0.f, 0, -1.f), cv::Vec3f(0.f, 0, -1.f),
                               cv::Size(4, 1), Distortion(), &map, &mask);
  EXPECT_EQ(mask.at<uchar>(0, 0), 255);
  EXPECT_EQ(mask.at<uchar>(0, 3), 0);  // Z = -0.5
  // Z = 0 exactly at x = 2: not in front.
  EXPECT_EQ(mask.at<uchar>(0, 2), 0);

  // Outside the 45 degree cone: X/Z = 0, 0.75, 1.5 (radius >= 1), all inside the frame.
  CalcCameraToPlaneMapBilinear(Pinhole, K2, D, cv::Size(1000, 1000), cv::Vec3f(0, 0, 1),
                               cv::Vec3f(0, 0, 1), cv::Vec3f(3, 0, 1), cv::Vec3f(3, 0, 1),
                               cv::Size(4, 1), Distortion(), &map, &mask);
  EXPECT_EQ(mask.at<uchar>(0, 1), 255);
  EXPECT_EQ(mask.at<uchar>(0, 2), 0);
  EXPECT_GT(map.at<cv::Point2f>(0, 2).x, 0.f);
  EXPECT_LT(map.at<cv::Point2f>(0, 2).x, 1000.f);

  // A null mask pointer is allowed.
  cv::Mat map2;
  CalcCameraToPlaneMapBilinear(Pinhole, K2, D, cv::Size(1000, 1000), cv::Vec3f(0, 0, 1),
                               cv::Vec3f(0, 0, 1), cv::Vec3f(3, 0, 1), cv::Vec3f(3, 0, 1),
                               cv::Size(4, 1), Distortion(), &map2, nullptr);
  EXPECT_EQ(cv::norm(map, map2, cv::NORM_INF), 0.0);
}

cv::Mat MapWith(const Scene& s, const cv::Size& out, int pow, float force) {
  Distortion d;
  d.pow = pow;
  d.force = force;
  cv::Mat map;
  CalcCameraToPlaneMapBilinear(s.model, s.K, s.D, s.frame, s.r00, s.r01, s.r10, s.r11, out, d,
                               &map, nullptr);
  return map;
}

TEST(CalcCameraToPlaneMapBilinear, DistortionSwitch) {
  const Scene s = MakeScene(Fisheye);
  const cv::Size out(64, 48);
  const cv::Mat plain = MapWith(s, out, 0, 1.f);
  EXPECT_EQ(cv::norm(plain, MapWith(s, out, 0, 5.f), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(plain, MapWith(s, out, 2, 0.0005f), cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(plain, MapWith(s, out, 1, 0.001f), cv::NORM_INF), 0.0);
}

TEST(CalcCameraToPlaneMapBilinear, DistortedPassKeepsCentreAndEdge) {
  const Scene s = MakeScene(Pinhole);
  const cv::Size out(200, 100);
  const cv::Mat plain = MapWith(s, out, 2, 0.f);
  const cv::Mat dist = MapWith(s, out, 2, 1.5f);
  const int cy = out.height / 2;
  for (int x : {out.width / 2, 0}) {
    const cv::Point2f a = plain.at<cv::Point2f>(cy, x);
    const cv::Point2f b = dist.at<cv::Point2f>(cy, x);
    EXPECT_NEAR(a.x, b.x, 1e-3) << "x=" << x;
    EXPECT_NEAR(a.y, b.y, 1e-3) << "x=" << x;
  }
  // Between centre and edge the distorted view samples nearer the centre (magnified centre).
  const cv::Point2f centre = plain.at<cv::Point2f>(cy, out.width / 2);
  for (int x : {out.width / 8, out.width / 4, 3 * out.width / 8}) {
    const double dPlain = cv::norm(plain.at<cv::Point2f>(cy, x) - centre);
    const double dDist = cv::norm(dist.at<cv::Point2f>(cy, x) - centre);
    EXPECT_LT(dDist, dPlain) << "x=" << x;
  }
}

TEST(CalcCameraToPlaneMapBilinear, FieldOfViewFormLooksAlongTheAxis) {
  // Ideal pinhole; a 90 x 60 degree view straight ahead spans tan(45) = 1 and tan(30) either
  // side, so its first pixel projects to (cx - fx, cy - fy * tan 30).
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 100, 0, 320, 0, 100, 240, 0, 0, 1);
  cv::Mat map;
  CalcCameraToPlaneMapBilinear(Pinhole, K, cv::Mat(), cv::Size(640, 480),
                               static_cast<float>(CV_PI / 2), static_cast<float>(CV_PI / 3), 0.f,
                               0.f, 0.f, cv::Size(100, 60), Distortion(), &map, nullptr);
  const cv::Point2f p = map.at<cv::Point2f>(0, 0);
  EXPECT_NEAR(p.x, 320 - 100, 1e-3);
  EXPECT_NEAR(p.y, 240 - 100 * std::tan(CV_PI / 6), 1e-3);
  const cv::Point2f c = map.at<cv::Point2f>(30, 50);
  EXPECT_NEAR(c.x, 320, 1e-3);
  EXPECT_NEAR(c.y, 240, 1e-3);
}

TEST(CalcRotation, IdentityAndYawDirection) {
  EXPECT_LT(cv::norm(CalcRotation(0, 0, 0) - cv::Matx33f::eye()), 1e-7);
  const cv::Vec3f axis = CalcRotation(0, 0.3f, 0) * cv::Vec3f(0, 0, 1);
  EXPECT_NEAR(axis[0], -std::sin(0.3f), 1e-6);
  EXPECT_NEAR(axis[2], std::cos(0.3f), 1e-6);
  // Roll turns about the optical axis: the axis itself stays put.
  const cv::Vec3f rolled = CalcRotation(0.2f, 0.3f, 1.0f) * cv::Vec3f(0, 0, 1);
  const cv::Vec3f unrolled = CalcRotation(0.2f, 0.3f, 0.f) * cv::Vec3f(0, 0, 1);
  EXPECT_LT(cv::norm(rolled - unrolled), 1e-6);
}

TEST(MapHelpers, OtherMapsHaveTheirSizes) {
  const cv::Matx33f K(300, 0, 320, 0, 300, 240, 0, 0, 1);
  const cv::Vec4f D(0, 0, 0, 0);
  cv::Mat map;
  CalcCameraToCylinderMap(Fisheye, K, D, 1.f, cv::Size(90, 30), &map);
  EXPECT_EQ(map.size(), cv::Size(90, 30));
  EXPECT_EQ(map.type(), CV_32FC2);
  CalcCameraToPlaneMap(Pinhole, K, D, 100.f, 0.5f, -0.5f, 0.6f, &map);
  EXPECT_EQ(map.cols, cvRound(std::tan(0.5f) * 2 * 100.f));
  EXPECT_EQ(map.rows, cvRound(std::tan(0.3f) * 2 * 100.f));
  CalcCameraRoi(cv::Mat(), cv::Mat(), cv::Size(640, 480), 1.f, 1.f, 0.f, 0.f, 0.f,
                cv::Size(320, 240), &map);
  EXPECT_EQ(map.size(), cv::Size(320, 240));
  std::vector<cv::Vec3f> pts{cv::Vec3f(9, 9, 9)};
  GenImagePlaneBorder(static_cast<float>(CV_PI / 2), static_cast<float>(CV_PI / 2), &pts);
  ASSERT_GE(pts.size(), 200u);
  EXPECT_NEAR(pts.front()[0], -1.f, 1e-6);
  EXPECT_NEAR(pts.front()[1], -1.f, 1e-6);
  for (const cv::Vec3f& p : pts) {
    EXPECT_EQ(p[2], 1.f);
    EXPECT_NEAR(std::max(std::fabs(p[0]), std::fabs(p[1])), 1.f, 1e-5);
  }
  // A field of view far narrower across than down: the long sides get at most 5000 points each,
  // spread over their whole length.
  GenImagePlaneBorder(1e-6f, 2.f, &pts);
  EXPECT_LE(pts.size(), 2u * 50 + 2u * 5000 + 2);
  std::vector<float> onLongSides;  // distances from the middle
  for (const cv::Vec3f& p : pts) {
    if (std::fabs(p[1]) < std::tan(1.f)) onLongSides.push_back(std::fabs(p[1]));
  }
  ASSERT_GT(onLongSides.size(), 9900u);
  EXPECT_GT(*std::max_element(onLongSides.begin(), onLongSides.end()), 0.999f * std::tan(1.f));
  EXPECT_THROW(CalcCameraToCylinderMap(Fisheye, K, D, 1.f, cv::Size(9, 3), nullptr), cv::Exception);
  EXPECT_THROW(GenImagePlaneBorder(1.f, 1.f, nullptr), cv::Exception);
}

TEST(MathHelpers, SignAndIpow) {
  EXPECT_EQ(Sign(-0.0f), 0);
  EXPECT_EQ(Sign(0.0f), 0);
  EXPECT_EQ(Sign(-2.5f), -1);
  EXPECT_EQ(Sign(1e-30f), 1);
  EXPECT_EQ(ipow(3.f, 0), 1.f);
  EXPECT_EQ(ipow(2.f, 10), 1024.f);
  EXPECT_EQ(ipow(-2.f, 3), -8.f);
  EXPECT_FLOAT_EQ(ipow(0.5f, 5), 0.03125f);
  EXPECT_FLOAT_EQ(ipow(2.f, -2), 0.25f);
}

}  // namespace
}  // namespace tesmo
