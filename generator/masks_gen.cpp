#include "generator/masks_gen.h"

#include <glog/logging.h>

#include <opencv2/stitching/detail/seam_finders.hpp>

#include "generator/tesmo_view.h"

namespace tesmo {

bool MasksGeneratorVoronoi::genMasks(const TesmoViewGenerator& gen,
                                     const std::vector<cv::Mat>& inOutMasks) {
  const size_t numCams = gen.getCameras().size();
  CHECK(inOutMasks.size() == numCams);

  const cv::Size viewSize = gen.getParams().viewSizeCashed;
  std::vector<cv::Size> sizes(numCams, viewSize);
  std::vector<cv::Point> corners(numCams, cv::Point(0, 0));
  {
    // Read-write views of the caller's pixels; the seam finder writes through them and the
    // results reach the Mats when the views are released at the end of this block.
    std::vector<cv::UMat> masks(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      masks[i] = inOutMasks[i].getUMat(cv::ACCESS_RW);
    }
    cv::detail::VoronoiSeamFinder finder;
    finder.find(sizes, corners, masks);
  }
  return true;
}

}  // namespace tesmo
