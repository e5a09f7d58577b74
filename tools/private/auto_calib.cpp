#include "tools/private/auto_calib.h"

#include <cmath>
#include <iostream>
#include <utility>

#include <glog/logging.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "generator/calc_maps.h"

namespace {

constexpr float kPi = 3.14159265358979f;

// Pixels of an ideal camera K (no distortion) to normalized coordinates.
std::vector<cv::Point2f> normalize(const std::vector<cv::Point2f>& pixels, const cv::Matx33f& K) {
  std::vector<cv::Point2f> out;
  if (!pixels.empty()) cv::undistortPoints(pixels, out, K, cv::noArray());
  return out;
}

}  // namespace

cv::Matx33f MakeCameraMatrix(float fovX, float /*fovY*/, const cv::Size& size) {
  const float f = static_cast<float>(size.width) / (2.f * std::tan(fovX / 2.f));
  const float cx = static_cast<float>(size.width / 2);
  const float cy = static_cast<float>(size.height / 2);
  return cv::Matx33f(f, 0.f, cx, 0.f, f, cy, 0.f, 0.f, 1.f);
}

void computeMaps(const tesmo::Camera& camera, const tesmo::Pose3f& P, const cv::Matx33f& R,
                 float fovX, float fovY, float focalDist, cv::Size viewSize, cv::Mat& outWarpMaps,
                 cv::Mat& outMasks) {
  const float w = 2.f * std::tan(fovX / 2.f);
  const float h = 2.f * std::tan(fovY / 2.f);
  const cv::Matx33f M = P.R * R;
  auto toCamera = [&](float x, float y) { return M * (cv::Vec3f(x, y, 1.f) * focalDist) + P.T; };
  const cv::Vec3f r00 = toCamera(-w / 2, -h / 2);
  const cv::Vec3f r10 = toCamera(w / 2, -h / 2);
  const cv::Vec3f r01 = toCamera(-w / 2, h / 2);
  const cv::Vec3f r11 = toCamera(w / 2, h / 2);
  tesmo::CalcCameraToPlaneMapBilinear(camera.model, camera.K, camera.D, camera.frameSize, r00, r01,
                                      r10, r11, viewSize, tesmo::Distortion(), &outWarpMaps,
                                      &outMasks);
}

void reproj(const tesmo::Camera& camera, tesmo::Pose3f Pose, const std::vector<cv::Point2f>& src,
            std::vector<cv::Point2f>& dst) {
  dst.clear();
  if (src.empty()) return;
  std::vector<cv::Point2f> normalized;
  normalized.reserve(src.size());
  for (const cv::Point2f& p : src) {
    const cv::Vec3f q = Pose * cv::Vec3f(p.x, p.y, 1.f);
    normalized.emplace_back(q[0] / q[2], q[1] / q[2]);
  }
  if (camera.model == tesmo::Fisheye) {
    cv::fisheye::distortPoints(normalized, dst, camera.K, camera.D, 0.0);
  } else {
    tesmo::distortPoints(normalized, dst, camera.K, camera.D);
  }
}

std::vector<cv::Point3f> unproject(const tesmo::Camera& camera,
                                   const std::vector<cv::Point2f>& points,
                                   const std::vector<float>& Z) {
  CHECK(camera.K.type() == CV_32F || camera.K.type() == CV_64F);
  cv::Matx33d K;
  camera.K.convertTo(K, CV_64F);
  const double fx = K(0, 0), fy = K(1, 1), cx = K(0, 2), cy = K(1, 2);
  CHECK(Z.size() == 1 || Z.size() == points.size());

  std::vector<cv::Point3f> out;
  if (points.empty()) return out;
  std::vector<cv::Point2f> ideal;
  if (camera.model == tesmo::Fisheye) {
    cv::fisheye::undistortPoints(
        points, ideal, camera.K, camera.D, cv::noArray(), camera.K,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1e-8));
  } else {
    cv::undistortPoints(points, ideal, camera.K, camera.D, cv::noArray(), camera.K);
  }
  out.reserve(ideal.size());
  for (size_t i = 0; i < ideal.size(); ++i) {
    const double z = Z.size() == 1 ? Z[0] : Z[i];
    out.emplace_back(static_cast<float>((ideal[i].x - cx) / fx * z),
                     static_cast<float>((ideal[i].y - cy) / fy * z), static_cast<float>(z));
  }
  return out;
}

void computeMaps_test(const tesmo::Camera& camera, const tesmo::Pose3f& P, cv::Mat& outWarpMaps,
                      float fovX, float fovY, cv::Size viewSize) {
  const cv::Matx33f viewK = MakeCameraMatrix(fovX, fovY, viewSize);
  std::vector<cv::Point2f> pixels;
  pixels.reserve(static_cast<size_t>(viewSize.area()));
  for (int y = 0; y < viewSize.height; ++y) {
    for (int x = 0; x < viewSize.width; ++x) pixels.emplace_back(x, y);
  }
  std::vector<cv::Point2f> cameraPixels;
  reproj(camera, P, normalize(pixels, viewK), cameraPixels);
  outWarpMaps.create(viewSize, CV_32FC2);
  for (int y = 0; y < viewSize.height; ++y) {
    cv::Vec2f* row = outWarpMaps.ptr<cv::Vec2f>(y);
    for (int x = 0; x < viewSize.width; ++x) {
      const cv::Point2f& p = cameraPixels[static_cast<size_t>(y) * viewSize.width + x];
      row[x] = cv::Vec2f(p.x, p.y);
    }
  }
}

void convert(const std::vector<cv::Point>& src, std::vector<cv::Point2f>& dst) {
  dst.reserve(dst.size() + src.size());
  for (const cv::Point& p : src) {
    dst.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
  }
}

void convert(const std::vector<cv::Point2f>& src, std::vector<cv::Point>& dst) {
  dst.reserve(dst.size() + src.size());
  // Truncation toward zero, not cv::Point's rounding conversion.
  for (const cv::Point2f& p : src) dst.emplace_back(static_cast<int>(p.x), static_cast<int>(p.y));
}

void convert(const std::vector<std::vector<cv::Point>>& src,
             std::vector<std::vector<cv::Point2f>>& dst) {
  for (const auto& contour : src) {
    dst.emplace_back();
    convert(contour, dst.back());
  }
}

void convert(const std::vector<std::vector<cv::Point2f>>& src,
             std::vector<std::vector<cv::Point>>& dst) {
  for (const auto& contour : src) {
    dst.emplace_back();
    convert(contour, dst.back());
  }
}

void print(const std::vector<cv::Point2f>& src) {
  for (const cv::Point2f& p : src) std::cout << "[" << p.x << "," << p.y << "] ";
}

namespace tesmo {

namespace {

constexpr float kViewFov = kPi / 4;
const cv::Size kViewSize(1000, 1000);
constexpr float kViewPlaneDist = 10000.f;
constexpr float kRatio = 0.5f;

// The matched pixels of a camera in the pixels of an ideal pinhole camera with the same K. The
// pinhole model's coefficients go to recoverPose as they are; a fisheye camera's points are
// undistorted here with its own model, because recoverPose knows only the pinhole model.
void idealPixels(const Camera& camera, const std::vector<cv::Point2f>& points,
                 std::vector<cv::Point2f>& outPoints, cv::Mat& outD) {
  if (camera.model == Fisheye) {
    cv::fisheye::undistortPoints(
        points, outPoints, camera.K, camera.D, cv::noArray(), camera.K,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1e-8));
    outD = cv::Mat();
  } else {
    outPoints = points;
    outD = camera.D;
  }
}

// Where three points of a 4K view of the same fields of view land in the camera, printed.
void printProbe(const Camera& camera) {
  const cv::Matx33f bigK = MakeCameraMatrix(kViewFov, kViewFov, cv::Size(3840, 2160));
  const std::vector<cv::Point2f> probe{{0.f, 0.f}, {1920.f, 1080.f}, {3840.f, 2160.f}};
  const std::vector<cv::Point2f> normalized = normalize(probe, bigK);
  std::vector<cv::Point2f> inCamera;
  reproj(camera, camera.poseW2C, normalized, inCamera);
  for (size_t i = 0; i < normalized.size(); ++i) {
    std::cout << "---------------------" << normalized[i].x << " " << normalized[i].y << " | "
              << inCamera[i].x << " " << inCamera[i].y << "\n";
  }
}

// One camera's frame in the common view, and the view pixels the camera sees.
struct ViewOfCamera {
  cv::Mat warped;
  cv::Mat mask;
};

ViewOfCamera warpToView(const cv::Mat& img, const Camera& camera, const Pose3f& P) {
  cv::Mat warpMap;
  ViewOfCamera view;
  computeMaps(camera, P, cv::Matx33f::eye(), kViewFov, kViewFov, kViewPlaneDist, kViewSize,
              warpMap, view.mask);
  cv::remap(img, view.warped, warpMap, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  return view;
}

// The view's outline of the region, reprojected into a frame of `frameSize` of the camera at P,
// filled as a mask.
cv::Mat regionInFrame(const std::vector<std::vector<cv::Point2f>>& contoursF,
                      const Camera& camera, const Pose3f& P, const cv::Size& frameSize) {
  const cv::Matx33f viewK = MakeCameraMatrix(kViewFov, kViewFov, kViewSize);
  // The outlines lie on the view's plane, kViewPlaneDist ahead, like the masks they came from.
  // reproj puts a normalized point at depth 1; scaling the pose's translation by the plane's
  // distance gives the same directions as the plane's points (at depth 1 a camera's offset from
  // the view would move the outline far from the region the masks found).
  const Pose3f planeP(P.R, P.T * (1.f / kViewPlaneDist));
  std::vector<std::vector<cv::Point2f>> inFrameF;
  for (const auto& contour : contoursF) {
    inFrameF.emplace_back();
    reproj(camera, planeP, normalize(contour, viewK), inFrameF.back());
  }
  std::vector<std::vector<cv::Point>> inFrame;
  convert(inFrameF, inFrame);
  cv::Mat mask = cv::Mat::zeros(frameSize, CV_8UC1);
  if (!inFrame.empty()) cv::fillPoly(mask, inFrame, cv::Scalar(255), cv::LINE_8);
  return mask;
}

// SIFT features of both frames within their masks, and the matches that pass the ratio test.
struct Matches {
  std::vector<cv::KeyPoint> keypoints1, keypoints2;
  std::vector<cv::DMatch> good;
  std::vector<cv::Point2f> points1, points2;
};

Matches matchFeatures(const cv::Mat& img1, const cv::Mat& img2, const cv::Mat& mask1,
                      const cv::Mat& mask2) {
  cv::Mat gray1, gray2;
  cv::cvtColor(img1, gray1, cv::COLOR_BGR2GRAY);
  cv::cvtColor(img2, gray2, cv::COLOR_BGR2GRAY);
  cv::Ptr<cv::SIFT> sift = cv::SIFT::create(50000, 3, 0.04, 10.0, 1.6);
  Matches matches;
  cv::Mat descriptors1, descriptors2;
  sift->detectAndCompute(gray1, mask1, matches.keypoints1, descriptors1);
  sift->detectAndCompute(gray2, mask2, matches.keypoints2, descriptors2);

  std::vector<std::vector<cv::DMatch>> knnMatches;
  // FLANN cannot build an index over no descriptors; no features simply means no matches.
  if (!descriptors1.empty() && !descriptors2.empty()) {
    cv::Ptr<cv::DescriptorMatcher> matcher =
        cv::DescriptorMatcher::create(cv::DescriptorMatcher::FLANNBASED);
    matcher->knnMatch(descriptors1, descriptors2, knnMatches, 2);
  }
  for (const auto& m : knnMatches) {
    if (m.size() == 2 && m[0].distance < kRatio * m[1].distance) {
      matches.points1.push_back(matches.keypoints1[m[0].queryIdx].pt);
      matches.points2.push_back(matches.keypoints2[m[0].trainIdx].pt);
      matches.good.push_back(m[0]);
    }
  }
  return matches;
}

// The rotation of camera 2 relative to camera 1 that the matched points give.
cv::Matx33f recoverRotation(const Camera& camera1, const Camera& camera2,
                            const std::vector<cv::Point2f>& matchedPoints1,
                            const std::vector<cv::Point2f>& matchedPoints2) {
  std::vector<cv::Point2f> points1, points2;
  cv::Mat D1, D2;
  idealPixels(camera1, matchedPoints1, points1, D1);
  idealPixels(camera2, matchedPoints2, points2, D2);
  cv::Mat E, R, t;
  cv::recoverPose(points1, points2, camera1.K, D1, camera2.K, D2, E, R, t, cv::RANSAC, 0.999, 4.0);
  cv::Mat R32;
  R.convertTo(R32, CV_32F);
  return cv::Matx33f(R32);
}

}  // namespace

bool autoCalib(const cv::Mat& img1, const cv::Mat& img2, const Camera& camera1,
               const Camera& camera2, const Pose3f& P1, const Pose3f& P2, Pose3f& newP2) {
  const ViewOfCamera view1 = warpToView(img1, camera1, P1);
  const ViewOfCamera view2 = warpToView(img2, camera2, P2);
  printProbe(camera2);

  // The region both cameras see, as outlines in the view and in each camera's frame.
  cv::Mat intersectedMask;
  cv::bitwise_and(view1.mask, view2.mask, intersectedMask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(intersectedMask, contours, cv::RETR_TREE, cv::CHAIN_APPROX_SIMPLE);
  std::vector<std::vector<cv::Point2f>> contoursF;
  convert(contours, contoursF);
  const cv::Mat mask1 = regionInFrame(contoursF, camera1, P1, img1.size());
  const cv::Mat mask2 = regionInFrame(contoursF, camera2, P2, img2.size());

  const Matches matches = matchFeatures(img1, img2, mask1, mask2);
  const std::vector<cv::Point2f>& matchedPoints1 = matches.points1;
  CHECK(matchedPoints1.size() >= 4);
  newP2.R = recoverRotation(camera1, camera2, matchedPoints1, matches.points2);

  cv::Mat viewImg;
  cv::addWeighted(view1.warped, 0.5, view2.warped, 0.5, 0.0, viewImg);
  cv::drawContours(viewImg, contours, -1, cv::Scalar(128, 255, 255), 1, cv::LINE_8);
  cv::Mat matchesImg;
  cv::drawMatches(img1, matches.keypoints1, img2, matches.keypoints2, matches.good, matchesImg);
  cv::imshow("debugDrawMatches", matchesImg);
  cv::imshow("AutoCalib", viewImg);
  return true;
}

AutoCalib::AutoCalib(const TesmoViewGenerator& gen) : cameras(gen.getCameras()) {
  camsCount = cameras.size();
  CHECK(camsCount > 0);
  relPoses.resize(camsCount);
  relPoses[0] = cameras[0].poseW2C;
  for (size_t i = 1; i < camsCount; ++i) relPoses[i] = cameras[i].poseW2C * relPoses[i - 1].inv();
}

void AutoCalib::calib(int ind, std::vector<cv::Mat> frames) {
  // A negative index converts to a huge unsigned value and fails the range test.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  CHECK(frames.size() == camsCount && ind < camsCount);
#pragma GCC diagnostic pop
  curPair = ind;
}

void AutoCalib::draw(cv::Mat* outImg, int key, std::vector<cv::Mat> frames) {
  const int count = static_cast<int>(camsCount);
  if (key == 'a') {
    calib(curPair == 0 ? count - 1 : curPair - 1, std::move(frames));
  } else if (key == 'd') {
    calib((curPair + 1) % count, std::move(frames));
  }
  cv::putText(viewImg, "", cv::Point(10, 125), cv::FONT_HERSHEY_SIMPLEX, 0.7,
              cv::Scalar(80, 80, 80), 2, cv::LINE_8);
  if (outImg != nullptr) viewImg.copyTo(*outImg);
}

cv::Mat AutoCalib::getViewImage() { return viewImg; }

}  // namespace tesmo
