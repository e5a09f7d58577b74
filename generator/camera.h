#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "generator/types.h"

namespace tesmo {

// Lens model; selects the pinhole or the cv::fisheye family of projection functions.
enum CameraModel { Pinhole = 0, Fisheye = 1 };

// One calibrated camera. Copies share the pixel data of K and D; everything that changes K or D
// assigns a newly made matrix, so changing one copy never reaches another.
class Camera {
 public:
  std::string name;
  // Size in pixels of the delivered frames, after the stream's scale.
  cv::Size frameSize;
  CameraModel model = Pinhole;
  // 3x3 intrinsic matrix; 3x3 CV_32F after scaling.
  cv::Mat K;
  // Distortion coefficients in the layout the model's OpenCV functions take.
  cv::Mat D;
  // World to camera: a world point x lies at R * x + T in camera coordinates.
  Pose3f poseW2C;
  // Intensity gain and offset (8-bit units) of the camera's frames.
  double alpha = 1.0;
  double beta = 0.0;

  Camera() = default;
  Camera(const std::string& name, const cv::Size& frameSize, CameraModel model, const cv::Mat& K,
         const cv::Mat& D, const Pose3f& poseW2C);
  Camera(const Camera&) = default;
  Camera(Camera&&) = default;
  Camera& operator=(const Camera&) = default;
  Camera& operator=(Camera&&) = default;

  // Optical centre in world coordinates: -R^T * T of poseW2C.
  cv::Vec3f getCenter() const;

  // Fills K, D, frameSize and model from an intrinsics map ("K", "D", "frame_width",
  // "frame_height", "model"). Raises cv::Exception (StsParseError) when the node is not a map or
  // "model" is neither "pinhole" nor "fisheye".
  void readIntrinsics(const cv::FileNode& node);
  // Fills poseW2C from an extrinsics map ("R" 3x3, "T" 3-vector); an absent "R" gives a zero
  // matrix, an absent "T" a zero vector. Raises cv::Exception (StsParseError) when the node is
  // not a map.
  void readExtrinsics(const cv::FileNode& node);
  // Writes "K", "D", "frame_width", "frame_height" and "model" into the map open in fs.
  void writeIntrinsics(cv::FileStorage& fs) const;
  // Writes the same keys at the top level of a new document filePath (complete on return).
  // Raises cv::Exception (StsParseError) when the file cannot be opened for writing.
  void writeIntrinsics(const std::string& filePath) const;
};

}  // namespace tesmo
