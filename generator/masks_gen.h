#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace tesmo {

class TesmoViewGenerator;

// Seam-mask generator: turns the visibility masks of a view (one CV_8U 0/255 image per camera,
// all of the generator's working size) into disjoint seam regions. The masks are changed in place
// through their shared pixel data, although the vector is passed as const.
class MasksGenerator {
 public:
  virtual ~MasksGenerator() = default;
  virtual bool genMasks(const TesmoViewGenerator& gen, const std::vector<cv::Mat>& inOutMasks) = 0;
};

// Seams from OpenCV's Voronoi seam finder, every image placed at (0, 0). The mask count must equal
// the generator's camera count (fatal check).
class MasksGeneratorVoronoi : public MasksGenerator {
 public:
  bool genMasks(const TesmoViewGenerator& gen, const std::vector<cv::Mat>& inOutMasks) override;
};

}  // namespace tesmo
