#include "generator/calib.h"

#include <cstdint>
#include <algorithm>
#include <stdexcept>

#include <glog/logging.h>

#include "common/misc.h"
#include "common/perf.h"

namespace tesmo {

GridDetector::GridDetector(int pattern_width, int pattern_height,
                           FeatureDetectorType detector_type, bool is_symmetric,
                           const std::string& config)
    : bIsSymmetric(is_symmetric),
      detectorType(detector_type),
      patternSize(pattern_width, pattern_height) {
  cv::FileStorage fs;
  if (!config.empty()) {
    try {
      openDocument(fs, config);
    } catch (const std::exception&) {
      // A file that exists but does not parse (or nests too deep) counts as not opened.
      fs.release();
    }
    CHECK(fs.isOpened()) << "Can't open " << config << "\n";
  }

  switch (detectorType) {
    case CHESSBOARD_ONLY:
      break;
    case SIMPLE_BLOB: {
      cv::SimpleBlobDetector::Params params;
      if (fs.isOpened()) {
        CHECK(fs["simple_blob_detector_params"].isMap());
        params.read(fs["simple_blob_detector_params"]);
      } else {
        params.filterByArea = true;
        params.filterByCircularity = false;
        params.filterByColor = true;
        params.filterByConvexity = false;
        params.filterByInertia = false;
      }
      detector = cv::SimpleBlobDetector::create(params);
      break;
    }
    default:
      throw std::runtime_error("Feature detector type error");
  }

  if (!bIsSymmetric) gridFinderParams.gridType = cv::CirclesGridFinderParameters::ASYMMETRIC_GRID;
}

bool GridDetector::detectGrid(cv::InputArray gray_img, cv::OutputArray pts) {
  perf::ScopedTimer timer("detect_grid");
  bool found = false;
  if (detectorType == CHESSBOARD_ONLY) {
    found = cv::findChessboardCorners(gray_img, patternSize, pts, cv::CALIB_CB_FAST_CHECK);
  } else {
    const int flags = bIsSymmetric ? cv::CALIB_CB_SYMMETRIC_GRID : cv::CALIB_CB_ASYMMETRIC_GRID;
    found = cv::findCirclesGrid(gray_img, patternSize, pts, flags, detector, gridFinderParams);
  }
  return found;
}

bool GridDetector::detectKeyPoints(cv::InputArray gray_img, std::vector<cv::KeyPoint>* kps) {
  if (detector.empty()) return false;
  perf::ScopedTimer timer("feature_detector");
  detector->detect(gray_img, *kps, cv::noArray());
  return true;
}

void GridDetector::generatePatternPoints(std::vector<cv::Point3f>& objectPoints,
                                         const cv::Size2f& cellSize) const {
  objectPoints.clear();
  objectPoints.reserve(static_cast<size_t>(std::max(0, patternSize.area())));
  for (int y = 0; y < patternSize.height; ++y) {
    for (int x = 0; x < patternSize.width; ++x) {
      if (bIsSymmetric) {
        objectPoints.emplace_back(x * cellSize.width, y * cellSize.height, 0.f);
      } else {
        const float shift = (y % 2 == 0) ? -cellSize.width / 2 : 0.f;
        objectPoints.emplace_back(x * cellSize.width + shift, y * cellSize.height / 2, 0.f);
      }
    }
  }
}

}  // namespace tesmo
