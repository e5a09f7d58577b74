#pragma once

#include <boost/filesystem.hpp>
#include <cmath>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"

namespace tesmo {
namespace testing_util {

// A fresh directory under the system's temporary directory, removed with the object.
class GenTempDir {
 public:
  GenTempDir()
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tesmo-gen-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~GenTempDir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
  }
  GenTempDir(const GenTempDir&) = delete;
  GenTempDir& operator=(const GenTempDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  boost::filesystem::path path_;
};

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

// Four fisheye cameras on a 4.5 x 1.9 m vehicle, 1 m high, tilted 40 degrees down, named so that
// the sorted order is back, front, left, right.
inline std::vector<Camera> MakeSurroundRig(cv::Size frameSize) {
  const float f = 0.32f * frameSize.width;
  const cv::Mat K = (cv::Mat_<double>(3, 3) << f, 0, frameSize.width / 2.0, 0, f,
                     frameSize.height / 2.0, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.02, -0.005, 0.001, 0.0);
  const float tilt = 40.f * static_cast<float>(CV_PI) / 180.f;
  const float pi = static_cast<float>(CV_PI);
  std::vector<Camera> cams;
  cams.emplace_back("back", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(-2.25f, 0.f, 1.f), pi, tilt));
  cams.emplace_back("front", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(2.25f, 0.f, 1.f), 0.f, tilt));
  cams.emplace_back("left", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(0.f, 0.95f, 1.f), pi / 2, tilt));
  cams.emplace_back("right", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(0.f, -0.95f, 1.f), -pi / 2, tilt));
  return cams;
}

// A pinhole camera high above the origin looking straight down; it sees the whole default top
// view (a 10 x 10 m rectangle) with room to spare.
inline Camera MakeDownCamera(const std::string& name) {
  const cv::Size frame(800, 800);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 400, 0, 400, 0, 400, 400, 0, 0, 1);
  const cv::Mat D = cv::Mat::zeros(1, 5, CV_64F);
  const cv::Matx33f R(1, 0, 0, 0, -1, 0, 0, 0, -1);
  return Camera(name, frame, Pinhole, K, D, Pose3f(R, -(R * cv::Vec3f(0.f, 0.f, 20.f))));
}

// A frame with a deterministic random texture.
inline cv::Mat RandomFrame(cv::Size size, uint64_t seed) {
  cv::Mat frame(size, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
  return frame;
}

}  // namespace testing_util
}  // namespace tesmo
