#pragma once

// A small two-camera scene and configuration files for running tesmo_demo in tests: two pinhole
// cameras 3 m above the ground looking straight down, 3 m apart along x; camera "cam_a" sees a
// warm (red) checkerboard, "cam_b" a cool (blue) one, so a view's colour tells which camera
// filled it.

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tesmo {
namespace test {

struct ViewSpec {
  std::string name;
  // Top-view ground rectangle [x0, y1, x1, y0] and view size.
  std::vector<float> roi;
  cv::Size size;
  bool bEnabled = true;
  // PNG sequence prefix; empty for no sink.
  std::string pngPrefix;
};

struct SceneSetup {
  std::string dir;  // where the images go
  std::string platform = "cpu";
  bool bDrawInfo = false;
  std::string userSettings;  // empty: the default file name
  bool bWriteGen = true;
  bool bExtraStream = false;  // a third frame source without a calibrated camera
  std::vector<ViewSpec> views;
  double fpsMin = 0, fpsMax = 0;
};

inline cv::Mat checkerboard(const cv::Scalar& c0, const cv::Scalar& c1) {
  cv::Mat img(240, 320, CV_8UC3);
  for (int y = 0; y < img.rows; ++y) {
    for (int x = 0; x < img.cols; ++x) {
      const cv::Scalar& c = ((x / 20 + y / 20) % 2) ? c1 : c0;
      img.at<cv::Vec3b>(y, x) = cv::Vec3b(c[0], c[1], c[2]);
    }
  }
  return img;
}

inline void writeCamera(cv::FileStorage& fs, const std::string& name) {
  fs << name << "{";
  fs << "K" << cv::Mat(cv::Matx33d(200, 0, 160, 0, 200, 120, 0, 0, 1));
  fs << "D" << cv::Mat::zeros(1, 5, CV_64F);
  fs << "frame_width" << 320 << "frame_height" << 240 << "model" << "pinhole";
  fs << "}";
}

// Writes the two camera images into setup.dir and the configuration to `path`.
inline void writeScene(const SceneSetup& setup, const std::string& path) {
  const std::string imgA = setup.dir + "/cam_a.png";
  const std::string imgB = setup.dir + "/cam_b.png";
  cv::imwrite(imgA, checkerboard(cv::Scalar(40, 120, 230), cv::Scalar(80, 160, 250)));
  cv::imwrite(imgB, checkerboard(cv::Scalar(230, 120, 40), cv::Scalar(250, 160, 80)));

  cv::FileStorage fs(path, cv::FileStorage::WRITE);
  fs << "tesmo_app" << "{";
  fs << "platform" << setup.platform;
  fs << "draw_info" << (setup.bDrawInfo ? "true" : "false");
  if (!setup.userSettings.empty()) fs << "user_settings" << setup.userSettings;
  if (setup.fpsMin > 0) fs << "fps_min" << setup.fpsMin << "fps_max" << setup.fpsMax;
  fs << "}";

  if (setup.bWriteGen) {
    fs << "tesmo_gen" << "[";
    for (const auto& v : setup.views) {
      fs << "{";
      if (!v.name.empty()) fs << "name" << v.name;
      if (!v.bEnabled) fs << "enabled" << "false";
      fs << "mode" << "top_view";
      fs << "view_size" << "[" << v.size.width << v.size.height << "]";
      fs << "top_view" << "{" << "roi" << "[";
      for (float r : v.roi) fs << r;
      fs << "]" << "rot_z" << 0 << "}";
      if (!v.pngPrefix.empty()) {
        fs << "video_writes" << "[";
        fs << "{" << "type" << "frame_sequence" << "prefix" << v.pngPrefix << "}";
        fs << "]";
      }
      fs << "}";
    }
    fs << "]";
  }

  fs << "intrinsics" << "{";
  writeCamera(fs, "cam_a");
  writeCamera(fs, "cam_b");
  fs << "}";
  // Looking straight down: camera axes x = world x, y = -world y, z = -world z; T = -R * C.
  const cv::Mat R = cv::Mat(cv::Matx33f(1, 0, 0, 0, -1, 0, 0, 0, -1));
  fs << "extrinsics" << "{";
  fs << "cam_a" << "{" << "R" << R << "T" << "[:" << 1.5f << 0.f << 3.f << "]" << "}";
  fs << "cam_b" << "{" << "R" << R << "T" << "[:" << -1.5f << 0.f << 3.f << "]" << "}";
  fs << "}";

  fs << "camera_streams" << "{";
  fs << "cam_a" << "{" << "type" << "img" << "filename" << imgA << "}";
  fs << "cam_b" << "{" << "type" << "img" << "filename" << imgB << "}";
  if (setup.bExtraStream) fs << "cam_c" << "{" << "type" << "img" << "filename" << imgB << "}";
  fs << "}";

  fs << "live_streams" << "{" << "fps_max" << 30.0 << "}";
  fs.release();
}

}  // namespace test
}  // namespace tesmo
