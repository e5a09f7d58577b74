#include "generator/calc_maps.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

#include "generator/math.h"

namespace tesmo {
namespace {

inline cv::Vec3f Bilinear(const cv::Vec3f& r00, const cv::Vec3f& r01, const cv::Vec3f& r10,
                          const cv::Vec3f& r11, float xn, float yn) {
  return r00 * ((1 - xn) * (1 - yn)) + r01 * ((1 - xn) * yn) + r10 * (xn * (1 - yn)) +
         r11 * (xn * yn);
}

// Normalised point of the plane point P and whether the camera sees it: in front (z > 0) and
// within 45 degrees of the optical axis.
inline uchar Normalise(const cv::Vec3f& P, cv::Point2f* pt) {
  pt->x = P[0] / P[2];
  pt->y = P[1] / P[2];
  return (P[2] > 0 && std::sqrt(pt->x * pt->x + pt->y * pt->y) < 1.0f) ? 255 : 0;
}

// Source pixels of normalised points through the camera model.
void ProjectPoints(CameraModel model, const std::vector<cv::Point2f>& points, cv::InputArray K,
                   cv::InputArray D, std::vector<cv::Point2f>* projected) {
  if (model == Fisheye) {
    cv::fisheye::distortPoints(points, *projected, K, D, 0.0);
  } else {
    distortPoints(points, *projected, K, D);
  }
}

// Whether bilinear sampling at p reads pixels of the frame only: its neighbours (floor(u) + 0 or
// 1, floor(v) + 0 or 1) lie inside, or carry weight 0, from u = 0 to the last column lastX and
// from v = 0 to the last row lastY. Beyond that, the remap mixes in its zero border.
inline bool InsideBilinearFootprint(const cv::Point2f& p, float lastX, float lastY) {
  return p.x >= 0 && p.y >= 0 && p.x <= lastX && p.y <= lastY;
}

void FillMap(const std::vector<cv::Point2f>& projected, const cv::Size& size, cv::Mat* map) {
  map->create(size, CV_32FC2);
  for (int y = 0; y < size.height; ++y) {
    cv::Point2f* row = map->ptr<cv::Point2f>(y);
    const cv::Point2f* src = projected.data() + static_cast<size_t>(y) * size.width;
    std::copy(src, src + size.width, row);
  }
}

}  // namespace

void CalcCameraToPlaneMapBilinear(CameraModel cameraType, const cv::Mat& K, const cv::Mat& D,
                                  const cv::Size& frameSize, const cv::Vec3f& r00,
                                  const cv::Vec3f& r01, const cv::Vec3f& r10, const cv::Vec3f& r11,
                                  const cv::Size& outputSize, const Distortion& distortion,
                                  cv::Mat* map, cv::Mat* mask) {
  CV_Assert(map != nullptr);
  const int W = outputSize.width;
  const int H = outputSize.height;
  std::vector<cv::Point2f> points(static_cast<size_t>(W) * H);
  cv::Mat localMask(outputSize, CV_8UC1);

  const bool plain = distortion.pow <= 0 || static_cast<double>(distortion.force) < 0.001;
  if (plain) {
    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        uchar* m = localMask.ptr<uchar>(y);
        const float yn = static_cast<float>(y) / H;
        for (int x = 0; x < W; ++x) {
          const float xn = static_cast<float>(x) / W;
          const cv::Vec3f P = Bilinear(r00, r01, r10, r11, xn, yn);
          m[x] = Normalise(P, &points[static_cast<size_t>(y) * W + x]);
        }
      }
    }, -1.0);
  } else {
    const float ratio = static_cast<float>(W) / H;
    const int pw = distortion.pow;
    const float force = distortion.force;
    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        uchar* m = localMask.ptr<uchar>(y);
        const float yn = static_cast<float>(2.0 * (static_cast<float>(y) / H - 0.5));
        for (int x = 0; x < W; ++x) {
          const float xn = static_cast<float>(2.0 * (static_cast<float>(x) / W - 0.5));
          const float rho = std::sqrt(xn * xn + yn * yn / ratio / ratio);
          const float k = ipow(rho, pw);
          const float xd =
              static_cast<float>(0.5 + ((xn * k + xn / force) / (1.0 + 1.0 / force)) / 2.0);
          const float yd =
              static_cast<float>(0.5 + ((yn * k + yn / force) / (1.0 + 1.0 / force)) / 2.0);
          const cv::Vec3f P = Bilinear(r00, r01, r10, r11, xd, yd);
          m[x] = Normalise(P, &points[static_cast<size_t>(y) * W + x]);
        }
      }
    }, -1.0);
  }

  std::vector<cv::Point2f> projected;
  ProjectPoints(cameraType, points, K, D, &projected);

  FillMap(projected, outputSize, map);
  const float lastX = static_cast<float>(frameSize.width - 1);
  const float lastY = static_cast<float>(frameSize.height - 1);
  for (int y = 0; y < H; ++y) {
    const cv::Point2f* row = map->ptr<cv::Point2f>(y);
    uchar* m = localMask.ptr<uchar>(y);
    for (int x = 0; x < W; ++x) {
      if (!InsideBilinearFootprint(row[x], lastX, lastY)) {
        m[x] = 0;
      }
    }
  }
  if (mask != nullptr) {
    *mask = localMask;
  }
}

void CalcCameraToPlaneMapBilinear(CameraModel cameraType, const cv::Mat& K, const cv::Mat& D,
                                  const cv::Size& frameSize, float fovX, float fovY, float angX,
                                  float angY, float angZ, const cv::Size& outputSize,
                                  const Distortion& distortion, cv::Mat* map, cv::Mat* mask) {
  CV_Assert(map != nullptr);
  const float w = 2 * std::tan(fovX / 2);
  const float h = 2 * std::tan(fovY / 2);
  const cv::Matx33f R = CalcRotation(angX, angY, angZ);
  const cv::Vec3f r00 = R * cv::Vec3f(-w / 2, -h / 2, 1);
  const cv::Vec3f r10 = R * cv::Vec3f(w / 2, -h / 2, 1);
  const cv::Vec3f r01 = R * cv::Vec3f(-w / 2, h / 2, 1);
  const cv::Vec3f r11 = R * cv::Vec3f(w / 2, h / 2, 1);
  CalcCameraToPlaneMapBilinear(cameraType, K, D, frameSize, r00, r01, r10, r11, outputSize,
                               distortion, map, mask);
}

void distortPoints(cv::InputArray undistorted, cv::OutputArray distorted, cv::InputArray K,
                   cv::InputArray D) {
  std::vector<cv::Point2f> tmp;
  cv::undistortPoints(undistorted, tmp, cv::Matx33d::eye(), cv::noArray(), cv::noArray(),
                      cv::Matx33d::eye());
  std::vector<cv::Point3f> points3d;
  cv::convertPointsToHomogeneous(tmp, points3d);
  if (points3d.empty()) {
    distorted.create(0, 1, CV_32FC2);
    return;
  }
  cv::projectPoints(points3d, cv::Vec3f(0, 0, 0), cv::Vec3f(0, 0, 0), K, D, distorted,
                    cv::noArray(), 0.0);
}

cv::Matx33f CalcRotation(float angX, float angY, float angZ) {
  cv::Matx33f Myaw;
  cv::Rodrigues(cv::Vec3f(0, -1, 0) * angY, Myaw);
  const cv::Vec3f z1 = Myaw * cv::Vec3f(0, 0, 1);
  const cv::Vec3f xAxis = cv::normalize(z1.cross(cv::Vec3f(0, 1, 0)));
  cv::Matx33f Mpitch;
  cv::Rodrigues(xAxis * angX, Mpitch);
  const cv::Vec3f z2 = (Mpitch * Myaw) * cv::Vec3f(0, 0, 1);
  cv::Matx33f Mroll;
  cv::Rodrigues(z2 * angZ, Mroll);
  return (Mroll * Mpitch) * Myaw;
}

void CalcCameraToCylinderMap(CameraModel cameraType, const cv::Matx33f& K, const cv::Vec4f& D,
                             float fov_y, cv::Size dst_size, cv::Mat* map) {
  CV_Assert(map != nullptr);
  std::vector<cv::Point2f> points;
  points.reserve(static_cast<size_t>(dst_size.area()));
  for (int dr = 0; dr < dst_size.height; ++dr) {
    const float y = std::tan(dr * fov_y / dst_size.height - fov_y / 2);
    for (int dc = 0; dc < dst_size.width; ++dc) {
      const float ang = static_cast<float>(CV_PI * dc / dst_size.width);
      const float x = -std::cos(ang);
      const float z = std::sin(ang);
      points.emplace_back(x / (z + 1e-8f), y / (z + 1e-8f));
    }
  }
  std::vector<cv::Point2f> projected;
  ProjectPoints(cameraType, points, cv::Mat(K), cv::Mat(D), &projected);
  FillMap(projected, dst_size, map);
}

void CalcCameraToPlaneMap(CameraModel cameraType, const cv::Matx33f& K, const cv::Vec4f& D,
                          float planeDist, float xang0, float xang1, float fov_y, cv::Mat* map) {
  CV_Assert(map != nullptr);
  const int width = cvRound(std::tan(std::fabs(xang1 - xang0) / 2) * 2 * planeDist);
  const int height = cvRound(std::tan(fov_y / 2) * 2 * planeDist);
  const float rot_ang = (xang0 + xang1) / 2 - 1.5707964f;
  const float c = std::cos(rot_ang);
  const float s = std::sin(rot_ang);
  const int sign = Sign(xang0 - xang1);
  std::vector<cv::Point2f> points;
  points.reserve(static_cast<size_t>(std::max(0, width)) * std::max(0, height));
  for (int dr = 0; dr < height; ++dr) {
    const float y = static_cast<float>(dr - height / 2);
    for (int dc = 0; dc < width; ++dc) {
      const float x = static_cast<float>(sign * (dc - width / 2));
      const float z = planeDist;
      const float Rx = c * x - s * z;
      float Rz = s * x + c * z;
      if (Rz > -1e-8f && Rz < 1e-8f) {
        Rz = Rz > 0 ? 1e-8f : -1e-8f;
      }
      points.emplace_back(Rx / Rz, y / Rz);
    }
  }
  std::vector<cv::Point2f> projected;
  ProjectPoints(cameraType, points, cv::Mat(K), cv::Mat(D), &projected);
  FillMap(projected, cv::Size(width, height), map);
}

void GenImagePlaneBorder(float fovX, float fovY, std::vector<cv::Vec3f>* pts) {
  CV_Assert(pts != nullptr);
  pts->clear();
  constexpr int kMaxPtsPerSide = 50;
  // A side that needs more steps than this (a field of view far narrower across than down) is
  // spread evenly over this many points instead.
  constexpr int kMaxPtsPerLongSide = 100 * kMaxPtsPerSide;
  const float width = 2 * std::tan(fovX / 2);
  const float height = 2 * std::tan(fovY / 2);
  const float step = width / kMaxPtsPerSide;
  if (!(step > 0)) {
    return;
  }
  // The distances k x step below `length`, each computed from k: adding a step that small
  // against the distance would no longer move it, and the loop would never end.
  const auto along = [step](float length) {
    std::vector<float> d;
    const double count = length > 0 ? std::ceil(static_cast<double>(length) / step) : 0.0;
    const int n = static_cast<int>(std::min<double>(count, kMaxPtsPerLongSide));
    const float sideStep = count <= kMaxPtsPerLongSide ? step : length / n;
    for (int k = 0; k < n && static_cast<float>(k) * sideStep < length; ++k) {
      d.push_back(static_cast<float>(k) * sideStep);
    }
    return d;
  };
  const std::vector<float> across = along(width);
  const std::vector<float> down = along(height);
  for (float x : across) pts->emplace_back(x - width / 2, -height / 2, 1.f);
  for (float y : down) pts->emplace_back(width / 2, y - height / 2, 1.f);
  for (float x : across) pts->emplace_back(width / 2 - x, height / 2, 1.f);
  for (float y : down) pts->emplace_back(-width / 2, height / 2 - y, 1.f);
}

void CalcCameraRoi(const cv::Mat& K, const cv::Mat& D, cv::Size frameSize, float scaleX,
                   float scaleY, float angZ, float dx, float dy, const cv::Size& outputSize,
                   cv::Mat* map) {
  CV_Assert(map != nullptr);
  cv::Matx33f cam;
  if (K.empty()) {
    const float m = static_cast<float>(std::max(frameSize.width, frameSize.height));
    cam = cv::Matx33f(m, 0, static_cast<float>(frameSize.width / 2), 0, m,
                      static_cast<float>(frameSize.height / 2), 0, 0, 1);
  } else {
    K.convertTo(cv::Mat(3, 3, CV_32F, cam.val), CV_32F);
  }
  const cv::Matx33f scale(scaleX, 0, 0, 0, scaleY, 0, 0, 0, 1);
  const cv::Matx33f rot(std::cos(angZ), -std::sin(angZ), 0, std::sin(angZ), std::cos(angZ), 0, 0,
                        0, 1);
  const cv::Matx33f shift(1, 0, -dx, 0, 1, -dy, 0, 0, 1);
  cv::Matx33f new_cam;
  cv::Mat(cv::getDefaultNewCameraMatrix(cam, outputSize, true)).convertTo(
      cv::Mat(3, 3, CV_32F, new_cam.val), CV_32F);
  cv::initUndistortRectifyMap(cam, D, (scale * rot) * shift, new_cam, outputSize, CV_32FC2, *map,
                              cv::noArray());
}

}  // namespace tesmo
