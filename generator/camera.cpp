#include "generator/camera.h"

namespace tesmo {

Camera::Camera(const std::string& name, const cv::Size& frameSize, CameraModel model,
               const cv::Mat& K, const cv::Mat& D, const Pose3f& poseW2C)
    : name(name), frameSize(frameSize), model(model), K(K), D(D), poseW2C(poseW2C) {}

cv::Vec3f Camera::getCenter() const { return (-poseW2C.R.t()) * poseW2C.T; }

}  // namespace tesmo
