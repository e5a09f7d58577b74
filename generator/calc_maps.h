#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "generator/camera.h"
#include "generator/types.h"

namespace tesmo {

// Warp map (CV_32FC2, outputSize) from a view whose pixels span the bilinear blend of four corners
// given in the camera frame (r00 top-left, r10 top-right, r01 bottom-left, r11 bottom-right) into
// the camera's frame. The optional mask (CV_8UC1) is 255 where the plane point lies in front of
// the camera, within 45 degrees of its axis and projects where bilinear sampling reads the
// frame's pixels only: 0 <= u <= frameSize.width - 1 and 0 <= v <= frameSize.height - 1, so that
// no view shows the remap's zero border (nearest reads less; cubic reads 1 pixel more on each
// side and Lanczos4 3 to 4, so they would need a narrower range). Throws cv::Exception when map is
// null or the projection fails.
void CalcCameraToPlaneMapBilinear(CameraModel cameraType, const cv::Mat& K, const cv::Mat& D,
                                  const cv::Size& frameSize, const cv::Vec3f& r00,
                                  const cv::Vec3f& r01, const cv::Vec3f& r10, const cv::Vec3f& r11,
                                  const cv::Size& outputSize, const Distortion& distortion,
                                  cv::Mat* map, cv::Mat* mask);

// The same for a virtual pinhole view seen from the camera's centre: fields of view and the
// yaw/pitch/roll of CalcRotation, all in radians.
void CalcCameraToPlaneMapBilinear(CameraModel cameraType, const cv::Mat& K, const cv::Mat& D,
                                  const cv::Size& frameSize, float fovX, float fovY, float angX,
                                  float angY, float angZ, const cv::Size& outputSize,
                                  const Distortion& distortion, cv::Mat* map, cv::Mat* mask);

// Pixel coordinates of normalised points through the pinhole model K, D.
void distortPoints(cv::InputArray undistorted, cv::OutputArray distorted, cv::InputArray K,
                   cv::InputArray D);

// Rotation from yaw angY (about -y), pitch angX (about the turned x axis) and roll angZ (about the
// new optical axis), radians.
cv::Matx33f CalcRotation(float angX, float angY, float angZ);

// Half-cylinder panorama around the camera, fov_y radians high, sweeping 180 degrees.
void CalcCameraToCylinderMap(CameraModel cameraType, const cv::Matx33f& K, const cv::Vec4f& D,
                             float fov_y, cv::Size dst_size, cv::Mat* map);

// A plane at planeDist seen between the horizontal angles xang0 and xang1; the map size follows.
void CalcCameraToPlaneMap(CameraModel cameraType, const cv::Matx33f& K, const cv::Vec4f& D,
                          float planeDist, float xang0, float xang1, float fov_y, cv::Mat* map);

// Outline of a unit-depth image plane of the given fields of view (radians); replaces *pts. The
// points lie one width/50 apart on every side; a side that would need more than 5000 of them gets
// 5000, evenly spread.
void GenImagePlaneBorder(float fovX, float fovY, std::vector<cv::Vec3f>* pts);

// Undistortion map with an in-plane scale, turn (angZ, radians) and shift. An empty K stands for
// a camera with focal length max(width, height) centred in the frame.
void CalcCameraRoi(const cv::Mat& K, const cv::Mat& D, cv::Size frameSize, float scaleX,
                   float scaleY, float angZ, float dx, float dy, const cv::Size& outputSize,
                   cv::Mat* map);

}  // namespace tesmo
