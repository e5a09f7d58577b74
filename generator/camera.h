#pragma once

#include <string>
#include <vector>

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
  // "frame_height", "model"). Raises cv::Exception (StsParseError) when the node is not a map,
  // "K" or "D" is present but no matrix (Key "K" in "intrinsics/<name>" must be a matrix, got
  // ...), or "model" is neither "pinhole" nor "fisheye".
  void readIntrinsics(const cv::FileNode& node);
  // Fills poseW2C from an extrinsics map ("R" 3x3, "T" 3-vector); an absent "R" gives a zero
  // matrix, an absent "T" a zero vector. Raises cv::Exception (StsParseError) when the node is
  // not a map or "R" is present but no matrix.
  void readExtrinsics(const cv::FileNode& node);
  // Writes "K", "D", "frame_width", "frame_height" and "model" into the map open in fs.
  void writeIntrinsics(cv::FileStorage& fs) const;
  // Writes the same keys at the top level of a new document filePath (complete on return).
  // Raises cv::Exception (StsParseError) when the file cannot be opened for writing.
  void writeIntrinsics(const std::string& filePath) const;

  // ---- Calibration --------------------------------------------------------------------------
  // Nothing in the library calls these; they compose OpenCV's calib3d functions for the model.

  // Calibrates K and D from views of a planar pattern (one inner vector per view, object points
  // in pattern units, image points in pixels of frameSize) with cv::calibrateCamera (Pinhole, 30
  // iterations) or cv::fisheye::calibrate (Fisheye, 100 iterations); flags are the OpenCV
  // calibration flags of that model, and with CALIB_USE_INTRINSIC_GUESS the current K and D are
  // the start. K and D receive newly made matrices (copies of this camera keep theirs). Returns
  // the RMS reprojection error in pixels. OpenCV errors (too few points, mismatched sizes)
  // propagate as cv::Exception.
  double calibrateIntrinsics(const std::vector<std::vector<cv::Point3f>>& objectPoints,
                             const std::vector<std::vector<cv::Point2f>>& imagePoints, int flags);
  // World-to-camera pose from world points and their pixels: the pixels are undistorted to
  // normalised coordinates with the model's functions, then cv::solvePnP (iterative). Returns
  // false, leaving outPoseW2C as it was, when no finite pose is found.
  bool calibratePoseW2C(const std::vector<cv::Point3f>& objectPoints,
                        const std::vector<cv::Point2f>& imagePoints, Pose3f& outPoseW2C) const;
  // The same into this camera's poseW2C.
  bool calibratePoseW2C(const std::vector<cv::Point3f>& objectPoints,
                        const std::vector<cv::Point2f>& imagePoints);
  // Undistortion maps (two CV_32FC1 of frameSize) for cv::remap of this camera's frames onto an
  // ideal pinhole image whose focal lengths are K's times fov_scale (principal point kept); a
  // fov_scale below 1 widens the field of view.
  void undistortRectifyMap(cv::Mat& outMapX, cv::Mat& outMapY, float fov_scale) const;
};

}  // namespace tesmo
