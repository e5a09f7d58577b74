#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "generator/tesmo_view.h"

namespace tesmo {

// View generator on the host processor. prepare() turns the warp maps into OpenCV's fixed-point
// format and the level-0 blend weights into 16-bit integers that already carry the normalisation
// by the weight sum (a covered pixel's weights add up to 255); process() remaps every camera,
// accumulates frame x weight in 16-bit integers, divides by 255 with a multiply and shifts and
// writes 8 bits. No multi-band blending; the cameras' gain and offset are ignored.
//
// Frames: 8-bit BGR (CV_8UC3). 8-bit gray (CV_8UC1) and BGRA (CV_8UC4) frames are converted to
// BGR first; any other type is refused like every other failure: the generator turns not ok and
// draws the error image until the next successful prepare(). So are process() and
// processOneFrame() after cameras were added or removed since the last successful prepare().
class TesmoViewGeneratorCpu : public TesmoViewGenerator {
 public:
  TesmoViewGeneratorCpu(const std::vector<Camera>& cameras, const cv::FileNode& node);
  ~TesmoViewGeneratorCpu() override;

  void prepare(cv::Mat& dstMask) override;
  void process(const std::vector<cv::_OutputArray>& frames, const cv::_OutputArray& out) override;
  void processOneFrame(const cv::_InputArray& frames, const cv::_OutputArray& out,
                       int camIdx) override;

 protected:
  // The variant's part of prepare(): fixed-point maps, normalised 16-bit weights, and what
  // process() reads of them (weights8u, blockSpans), from the host-side preparation.
  void buildFixedPoint(HostWeights& host);

  // Per camera: integer part (CV_16SC2) and interpolation-table index (CV_16UC1) of its warp map.
  std::vector<cv::Mat> warpMapsX16u;
  std::vector<cv::Mat> warpMapsY16u;
  // Per camera numBandsBlend + 1 levels of normalised CV_16UC3 weights.
  std::vector<std::vector<cv::Mat>> weightPyrs16u;
  // Per camera the bounding rectangle of its non-zero weight, widened by one pixel.
  std::vector<cv::Rect> warpMapsROI;

  // What process() reads: level 0 of weightPyrs16u as CV_8UC1 (its three channels are equal and
  // every normalised weight is at most 255), and per block of kBlockRows view rows and per camera
  // the columns where that camera's weight is non-zero in any row of the block (empty when it
  // adds nothing there).
  static const int kBlockRows = 8;
  std::vector<cv::Mat> weights8u;
  std::vector<std::vector<cv::Range>> blockSpans;
  // Frames converted to BGR when they come in another 8-bit layout.
  std::vector<cv::Mat> tmpFrames;
};

}  // namespace tesmo
