#pragma once

// Estimation of the rotation between two cameras whose fields of view overlap, from one frame of
// each: the part of the scene both see is found through a common virtual view, each frame is
// limited to that part, SIFT features are matched between the frames and the relative pose is
// recovered from the matches. Nothing in the program calls it; autoCalib shows windows, so it
// belongs on the thread that runs the window loop.

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "generator/camera.h"
#include "generator/tesmo_view.h"
#include "generator/types.h"

// Camera matrix of an ideal pinhole view of `size` with the horizontal field of view fovX
// (radians): f = width / (2 tan(fovX / 2)) on both axes, principal point (width / 2, height / 2)
// in integer division. fovY is not used.
cv::Matx33f MakeCameraMatrix(float fovX, float fovY, const cv::Size& size);

// Warp map (CV_32FC2) and visibility mask (CV_8U) of viewSize for `camera`, of a virtual pinhole
// view with fields of view fovX x fovY (radians) looking at a plane focalDist ahead. R turns the
// view within its own frame; P takes points from the view's frame into the camera's frame.
void computeMaps(const tesmo::Camera& camera, const tesmo::Pose3f& P, const cv::Matx33f& R,
                 float fovX, float fovY, float focalDist, cv::Size viewSize, cv::Mat& outWarpMaps,
                 cv::Mat& outMasks);

// Pixels in `camera` of normalized points (depth 1) of another frame that Pose takes into the
// camera's frame. dst is replaced.
void reproj(const tesmo::Camera& camera, tesmo::Pose3f Pose, const std::vector<cv::Point2f>& src,
            std::vector<cv::Point2f>& dst);

// 3-D points in camera coordinates of the pixels `points` at depth Z[0] (one depth for all) or
// Z[i] (one per point). The lens distortion is removed first. K must be CV_32F or CV_64F and Z
// must hold one or points.size() depths (fatal checks otherwise).
std::vector<cv::Point3f> unproject(const tesmo::Camera& camera,
                                   const std::vector<cv::Point2f>& points,
                                   const std::vector<float>& Z);

// A warp map (CV_32FC2, viewSize) of a virtual view of MakeCameraMatrix(fovX, fovY, viewSize),
// computed point by point: each view pixel's ray at depth 1 through P and reproj. No mask.
void computeMaps_test(const tesmo::Camera& camera, const tesmo::Pose3f& P, cv::Mat& outWarpMaps,
                      float fovX, float fovY, cv::Size viewSize);

// Point-type conversions; each appends to dst. Floating-point to integer truncates toward zero.
void convert(const std::vector<cv::Point>& src, std::vector<cv::Point2f>& dst);
void convert(const std::vector<cv::Point2f>& src, std::vector<cv::Point>& dst);
void convert(const std::vector<std::vector<cv::Point>>& src,
             std::vector<std::vector<cv::Point2f>>& dst);
void convert(const std::vector<std::vector<cv::Point2f>>& src,
             std::vector<std::vector<cv::Point>>& dst);

// Writes "[x,y] " per point to standard output, without a line end.
void print(const std::vector<cv::Point2f>& src);

namespace tesmo {

// Rotation from camera 1's frame to camera 2's frame, from one BGR frame of each. P1 and P2 take
// points from a virtual view's frame into each camera's frame (with the cameras' poseW2C, the
// virtual view sits at the world origin looking along world z); the region both cameras see in
// that view limits the SIFT features of each frame. newP2.R receives the rotation, newP2.T is
// left as given. Shows the windows "debugDrawMatches" and "AutoCalib" (refreshed by the caller's
// key polling) and prints three diagnostic lines. Fewer than 4 distinctive matches is a fatal
// check; OpenCV errors propagate. Returns true.
bool autoCalib(const cv::Mat& img1, const cv::Mat& img2, const Camera& camera1,
               const Camera& camera2, const Pose3f& P1, const Pose3f& P2, Pose3f& newP2);

// Steps through the neighbouring camera pairs (i, i + 1 mod count) of a view generator. Only the
// pair selection exists: no pair is calibrated yet and the view image stays empty.
class AutoCalib {
 public:
  // Copies gen's cameras; a generator without cameras is a fatal check.
  explicit AutoCalib(const TesmoViewGenerator& gen);

  // Selects the pair starting at ind. One frame per camera and 0 <= ind < camsCount are required
  // (fatal check).
  void calib(int ind, std::vector<cv::Mat> frames);
  // Key 'a' selects the previous pair, 'd' the next one (wrapping); then copies the view image
  // into *outImg when outImg is not null.
  void draw(cv::Mat* outImg, int key, std::vector<cv::Mat> frames);
  cv::Mat getViewImage();

  std::vector<Camera> cameras;
  // relPoses[0] = camera 0's poseW2C; relPoses[i] = camera i's poseW2C after the inverse of
  // relPoses[i - 1].
  std::vector<Pose3f> relPoses;
  size_t camsCount = 0;
  cv::Size viewSize;
  // First camera of the current pair.
  int curPair = 0;
  cv::Mat viewImg;
};

}  // namespace tesmo
