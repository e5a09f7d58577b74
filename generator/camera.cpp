#include "generator/camera.h"

namespace tesmo {

Camera::Camera(const std::string& name, const cv::Size& frameSize, CameraModel model,
               const cv::Mat& K, const cv::Mat& D, const Pose3f& poseW2C)
    : name(name), frameSize(frameSize), model(model), K(K), D(D), poseW2C(poseW2C) {}

cv::Vec3f Camera::getCenter() const { return (-poseW2C.R.t()) * poseW2C.T; }

void Camera::readIntrinsics(const cv::FileNode& node) {
  if (!node.isMap()) {
    CV_Error_(cv::Error::StsParseError, ("Wrong intrinsics node for camera \"%s\"", name.c_str()));
  }
  // Fresh matrices: a copy of this camera keeps its own K and D.
  cv::Mat newK, newD;
  node["K"] >> newK;
  node["D"] >> newD;
  K = newK;
  D = newD;
  int width = 0, height = 0;
  cv::read(node["frame_width"], width, 0);
  cv::read(node["frame_height"], height, 0);
  frameSize = cv::Size(width, height);

  const std::string modelName = node["model"].string();
  if (modelName == "pinhole") {
    model = Pinhole;
  } else if (modelName == "fisheye") {
    model = Fisheye;
  } else {
    CV_Error_(cv::Error::StsParseError,
              ("Wrong intrinsics camera model for camera \"%s\"", name.c_str()));
  }
}

void Camera::readExtrinsics(const cv::FileNode& node) {
  if (!node.isMap()) {
    CV_Error_(cv::Error::StsParseError, ("Wrong extrinsics node for camera \"%s\"", name.c_str()));
  }
  cv::Mat R;
  node["R"] >> R;
  // Mat -> Matx checks the 3x3 single-channel shape and converts the element type.
  poseW2C.R = R.empty() ? cv::Matx33f::zeros() : cv::Matx33f(R);
  cv::read(node["T"], poseW2C.T, cv::Vec3f(0.f, 0.f, 0.f));
}

void Camera::writeIntrinsics(cv::FileStorage& fs) const {
  fs << "K" << K;
  fs << "D" << D;
  fs << "frame_width" << frameSize.width;
  fs << "frame_height" << frameSize.height;
  fs << "model" << (model == Pinhole ? "pinhole" : "fisheye");
}

void Camera::writeIntrinsics(const std::string& filePath) const {
  cv::FileStorage fs;
  bool opened = false;
  try {
    opened = fs.open(filePath, cv::FileStorage::WRITE);
  } catch (const cv::Exception&) {
    opened = false;
  }
  if (!opened || !fs.isOpened()) {
    CV_Error_(cv::Error::StsParseError, ("Can't open file \"%s\"", filePath.c_str()));
  }
  writeIntrinsics(fs);
  fs.release();
}

}  // namespace tesmo
