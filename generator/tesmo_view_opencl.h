#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "generator/tesmo_view.h"

namespace tesmo {

// View generator through OpenCV's transparent OpenCL interface (cv::UMat). prepare() keeps the
// float warp maps, the weight pyramids and their per-level sums as device images; process()
// remaps every camera's frame, scales it to [0, 1], splits it into a Laplacian pyramid of
// numBandsBlend levels, merges the pyramids level by level with the weights, divides by the weight
// sums, restores the view from the merged pyramid and converts it to 8 bits. The cameras' gain and
// offset are ignored; no coverage mask and no resize are applied (the output has the working size).
//
// Frames: device images (cv::UMat), one per camera, 8-bit BGR (CV_8UC3), or 8-bit gray or BGRA,
// which are converted to BGR first (into a buffer per camera, reused while the frame's size
// stays), as the CPU generator converts them; the cameras of one set may differ. A frame that is
// not a cv::UMat is a fatal check; an empty frame or one of another type is refused like every
// other failure: the generator turns not ok and draws the error image until the next successful
// prepare(). So are process() and processOneFrame() after cameras were added or removed since the
// last successful prepare().
//
// View pixels that no camera sees are black: where the weight sum is 0 every weight is 0, and the
// division there is by 1 instead of 0, so no not-a-number value reaches the pyramid restoration.
//
// The device work is queued on OpenCV's default OpenCL queue of the calling thread; the conversion
// into a host output waits for it. The destructor waits for the queue (cv::ocl::finish) before the
// device images are released.
class TesmoViewGeneratorOpenCL : public TesmoViewGenerator {
 public:
  TesmoViewGeneratorOpenCL(const std::vector<Camera>& cameras, const cv::FileNode& node);
  ~TesmoViewGeneratorOpenCL() override;

  void prepare(cv::Mat& dstMask) override;
  void process(const std::vector<cv::_OutputArray>& frames, const cv::_OutputArray& out) override;
  // frames: a vector of cv::UMat (or of cv::Mat); the result keeps the frame's type (gray, BGR
  // or BGRA alike).
  void processOneFrame(const cv::_InputArray& frames, const cv::_OutputArray& out,
                       int camIdx) override;

 protected:
  // The variant's part of prepare(): device copies of the maps, weights and weight sums.
  void uploadWeights(HostWeights& host);
  // Releases the prepared device images (the four members below).
  void releaseWeights();
  // The steps of process(), each timed: every camera's frame (as BGR) remapped into
  // tmpWarpedFrames as float in [0, 1]; their Laplacian pyramids tmpFramePyrs; the merged pyramid
  // tmpDstFramePyr from the frames' pyramids and the weights; after its restoration, level 0
  // converted to 8 bits into out.
  void remapFrames(const std::vector<cv::_OutputArray>& frames);
  void createPyramids();
  void mergePyramids();
  void convertView(const cv::_OutputArray& out);

  // Prepared, read-only per frame set: per camera its CV_32FC2 warp map, its CV_32FC1 weight
  // image (kept, not read per frame) and numBandsBlend + 1 CV_32FC3 weight levels; per level the
  // CV_32FC3 sum of the cameras' weights (0 replaced by 1, see above).
  std::vector<cv::UMat> oclWarpMaps;
  std::vector<cv::UMat> oclWarpMasks;
  std::vector<std::vector<cv::UMat>> oclWeightPyrs;
  std::vector<cv::UMat> oclDstWeightPyr;

  // Scratch reused from frame set to frame set: per camera its remapped frame as float in [0, 1]
  // and its Laplacian pyramid; the merged pyramid (CV_32FC3 levels).
  std::vector<cv::UMat> tmpWarpedFrames;
  std::vector<std::vector<cv::UMat>> tmpFramePyrs;
  std::vector<cv::UMat> tmpDstFramePyr;
  // The remap output of one camera (8-bit) and the 8-bit view before it reaches a host output.
  cv::UMat tmpRemapped;
  cv::UMat tmpDst8u;
  // Per camera, its last gray or BGRA frame converted to BGR.
  std::vector<cv::UMat> tmpBgrFrames;
};

}  // namespace tesmo
