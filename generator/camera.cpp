#include "generator/camera.h"

#include <opencv2/calib3d.hpp>

#include "common/misc.h"

namespace tesmo {

namespace {

// The matrix `key` of `node` (empty when absent), a fresh one; a node that is no matrix raises
// a parse error naming the key and the camera's entry in `section` ("intrinsics" or
// "extrinsics"), where OpenCV's reader would assert naming nothing.
cv::Mat readCameraMatrix(const cv::FileNode& node, const char* key, const char* section,
                         const std::string& name) {
  cv::Mat m;
  std::string got;
  if (!readMatrix(node[key], &m, &got)) {
    CV_Error_(cv::Error::StsParseError, ("Key \"%s\" in \"%s/%s\" must be a matrix, got %s", key,
                                         section, name.c_str(), got.c_str()));
  }
  return m;
}

}  // namespace

Camera::Camera(const std::string& name, const cv::Size& frameSize, CameraModel model,
               const cv::Mat& K, const cv::Mat& D, const Pose3f& poseW2C)
    : name(name), frameSize(frameSize), model(model), K(K), D(D), poseW2C(poseW2C) {}

cv::Vec3f Camera::getCenter() const { return (-poseW2C.R.t()) * poseW2C.T; }

void Camera::readIntrinsics(const cv::FileNode& node) {
  if (!node.isMap()) {
    CV_Error_(cv::Error::StsParseError, ("Wrong intrinsics node for camera \"%s\"", name.c_str()));
  }
  // Fresh matrices: a copy of this camera keeps its own K and D.
  K = readCameraMatrix(node, "K", "intrinsics", name);
  D = readCameraMatrix(node, "D", "intrinsics", name);
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
  const cv::Mat R = readCameraMatrix(node, "R", "extrinsics", name);
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

// ---- Calibration ----------------------------------------------------------------------------

namespace tesmo {

double Camera::calibrateIntrinsics(const std::vector<std::vector<cv::Point3f>>& objectPoints,
                                   const std::vector<std::vector<cv::Point2f>>& imagePoints,
                                   int flags) {
  // OpenCV writes into the matrices it is given; work on fresh ones so that copies of this camera,
  // which share K's and D's data, keep their values.
  cv::Mat newK = K.clone();
  cv::Mat newD = D.clone();
  const double eps = 2.220446049250313e-16;
  double rms = 0.0;
  if (model == Fisheye) {
    rms = cv::fisheye::calibrate(
        objectPoints, imagePoints, frameSize, newK, newD, cv::noArray(), cv::noArray(), flags,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, eps));
  } else {
    rms = cv::calibrateCamera(
        objectPoints, imagePoints, frameSize, newK, newD, cv::noArray(), cv::noArray(), flags,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, eps));
  }
  K = newK;
  D = newD;
  return rms;
}

bool Camera::calibratePoseW2C(const std::vector<cv::Point3f>& objectPoints,
                              const std::vector<cv::Point2f>& imagePoints,
                              Pose3f& outPoseW2C) const {
  std::vector<cv::Point2f> normalised;
  if (model == Fisheye) {
    cv::fisheye::undistortPoints(
        imagePoints, normalised, K, D, cv::noArray(), cv::noArray(),
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1e-8));
  } else {
    cv::undistortPoints(imagePoints, normalised, K, D, cv::noArray(), cv::noArray());
  }
  cv::Vec3f rvec, tvec;
  const bool found = cv::solvePnP(objectPoints, normalised, cv::Matx33f::eye(), cv::noArray(),
                                  rvec, tvec, false, cv::SOLVEPNP_ITERATIVE);
  // Degenerate input (collinear points, say) can come back "found" with NaNs.
  if (!found || !cv::checkRange(rvec) || !cv::checkRange(tvec)) return false;
  cv::Matx33f R;
  cv::Rodrigues(rvec, R);
  outPoseW2C.R = R;
  outPoseW2C.T = tvec;
  return true;
}

bool Camera::calibratePoseW2C(const std::vector<cv::Point3f>& objectPoints,
                              const std::vector<cv::Point2f>& imagePoints) {
  return calibratePoseW2C(objectPoints, imagePoints, poseW2C);
}

void Camera::undistortRectifyMap(cv::Mat& outMapX, cv::Mat& outMapY, float fov_scale) const {
  cv::Matx33d scale = cv::Matx33d::eye();
  if (fov_scale != 1.0f) {
    scale(0, 0) = fov_scale;
    scale(1, 1) = fov_scale;
  }
  // K may be single precision after scaling; the product is formed in double.
  cv::Mat K64;
  K.convertTo(K64, CV_64F);
  const cv::Mat newK = K64 * cv::Mat(scale);
  if (model == Fisheye) {
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Matx33d::eye(), newK, frameSize, CV_32FC1,
                                         outMapX, outMapY);
  } else {
    cv::initUndistortRectifyMap(K, D, cv::noArray(), newK, frameSize, CV_32FC1, outMapX, outMapY);
  }
}

}  // namespace tesmo
