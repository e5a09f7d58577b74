#pragma once

// The rigs, parameters and frames that the view composition benchmarks share: four fisheye
// cameras of 1280 x 720 on a 4.5 x 1.9 m vehicle, 1 m high, composing a 1024 x 1024 top view of
// 12 x 12 m.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "generator/camera.h"
#include "tests/generator/synthetic_scene.h"

namespace tesmo {
namespace bench {

using testing_util::LookingPose;

// rig 0: one camera on each side looking outwards, tilted 40 degrees down; rig 1: one camera on
// each corner looking across the front or back, tilted 30 degrees down.
inline std::vector<Camera> Rig(int rig) {
  const cv::Size frame(1280, 720);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 410, 0, 640, 0, 410, 360, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.02, -0.005, 0.001, 0.0);
  const float pi = static_cast<float>(CV_PI);
  if (rig == 1) {
    const float tilt = 30.f * pi / 180.f;
    return {
        Camera("bl", frame, Fisheye, K, D, LookingPose({-2.25f, 0.95f, 1.f}, -3 * pi / 4, tilt)),
        Camera("br", frame, Fisheye, K, D, LookingPose({-2.25f, -0.95f, 1.f}, 3 * pi / 4, tilt)),
        Camera("fl", frame, Fisheye, K, D, LookingPose({2.25f, 0.95f, 1.f}, -pi / 4, tilt)),
        Camera("fr", frame, Fisheye, K, D, LookingPose({2.25f, -0.95f, 1.f}, pi / 4, tilt))};
  }
  const float tilt = 40.f * pi / 180.f;
  return {Camera("back", frame, Fisheye, K, D, LookingPose({-2.25f, 0.f, 1.f}, pi, tilt)),
          Camera("front", frame, Fisheye, K, D, LookingPose({2.25f, 0.f, 1.f}, 0.f, tilt)),
          Camera("left", frame, Fisheye, K, D, LookingPose({0.f, 0.95f, 1.f}, pi / 2, tilt)),
          Camera("right", frame, Fisheye, K, D, LookingPose({0.f, -0.95f, 1.f}, -pi / 2, tilt))};
}

// The top view's parameters: hard seams, or soft ones 0.1 wide, and `bands` levels of
// multi-band blending.
inline cv::FileStorage Params(bool soft, int bands) {
  const std::string yaml = "%YAML:1.0\n---\nmode: top_view\nview_size: [1024, 1024]\n"
                           "top_view: { roi: [-6, 6, 6, -6] }\n" +
                           std::string(soft ? "blend_border_width: 0.1\n" : "") +
                           "num_bands_blend: " + std::to_string(bands) + "\n";
  return cv::FileStorage(yaml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

// One frame of uniform random pixels per camera, the same on every call.
inline std::vector<cv::Mat> HostFrames(const std::vector<Camera>& cams) {
  std::vector<cv::Mat> frames;
  cv::RNG rng(7);
  for (const Camera& cam : cams) {
    cv::Mat f(cam.frameSize, CV_8UC3);
    rng.fill(f, cv::RNG::UNIFORM, 0, 256);
    frames.push_back(f);
  }
  return frames;
}

}  // namespace bench
}  // namespace tesmo
