#pragma once

#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

namespace tesmo {

// Finds a calibration pattern in a grey image: a chessboard (inner corners) or a symmetric or
// asymmetric grid of circles found with a blob detector, and lays out the pattern's object points
// in the order the detector returns them. Calls on one detector are not synchronised.
//
//   GridDetector grid(9, 6, GridDetector::CHESSBOARD_ONLY, /*is_symmetric=*/true, "");
//   std::vector<cv::Point2f> corners;
//   if (grid.detectGrid(gray, corners)) { ... }
class GridDetector {
 public:
  // Fixed underlying type: a value outside the list is well defined and refused.
  enum FeatureDetectorType : int { CHESSBOARD_ONLY = 0, SIMPLE_BLOB = 1 };

  // pattern_width points per pattern row, pattern_height rows. config is an OpenCV FileStorage
  // document whose "simple_blob_detector_params" map holds cv::SimpleBlobDetector::Params keys;
  // empty means OpenCV's defaults with filterByArea and filterByColor on and filterByCircularity,
  // filterByConvexity and filterByInertia off. A config that cannot be opened (for either type)
  // or lacks that map (SIMPLE_BLOB) is a fatal check; an unknown type throws std::runtime_error
  // "Feature detector type error".
  GridDetector(int pattern_width, int pattern_height, FeatureDetectorType detector_type,
               bool is_symmetric, const std::string& config);

  // True when the whole pattern was found; pts receives its points in image pixels (row-major
  // pattern order). Timed as "detect_grid" whether found or not.
  bool detectGrid(cv::InputArray gray_img, cv::OutputArray pts);
  // Blob key points of the image, timed as "feature_detector". False (kps untouched) for a
  // chessboard detector, which has no feature detector.
  bool detectKeyPoints(cv::InputArray gray_img, std::vector<cv::KeyPoint>* kps);
  // Replaces objectPoints with the pattern's points (z = 0) in the units of cellSize, row-major.
  // Symmetric: (x * cellSize.width, y * cellSize.height). Asymmetric: rows cellSize.height / 2
  // apart, points cellSize.width apart within a row, even rows shifted by -cellSize.width / 2 so
  // that the layout matches the order in which cv::findCirclesGrid returns the centres.
  void generatePatternPoints(std::vector<cv::Point3f>& objectPoints,
                             const cv::Size2f& cellSize) const;

  // Blob detector of SIMPLE_BLOB; empty for CHESSBOARD_ONLY.
  cv::Ptr<cv::Feature2D> detector;
  // OpenCV's defaults; gridType ASYMMETRIC_GRID for an asymmetric pattern.
  cv::CirclesGridFinderParameters gridFinderParams;
  bool bIsSymmetric = true;
  FeatureDetectorType detectorType = CHESSBOARD_ONLY;
  // width = points per row, height = rows.
  cv::Size patternSize;
};

}  // namespace tesmo
