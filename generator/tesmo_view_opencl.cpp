#include "generator/tesmo_view_opencl.h"

#include <glog/logging.h>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/blenders.hpp>

#include "common/perf.h"

namespace tesmo {

namespace {

// Camera camIdx's device frame as 8-bit BGR: the frame itself, or its conversion from gray or
// BGRA into `buffer`. An empty frame or one of another type throws, naming the camera.
cv::UMat bgrFrame(const cv::UMat& frame, cv::UMat& buffer, size_t camIdx) {
  const int cam = static_cast<int>(camIdx);
  if (frame.empty()) {
    CV_Error_(cv::Error::StsBadArg, ("Empty frame of camera %d", cam));
  }
  const int type = frame.type();
  if (type == CV_8UC3) {
    return frame;
  }
  if (type != CV_8UC1 && type != CV_8UC4) {
    CV_Error_(cv::Error::StsUnsupportedFormat,
              ("Frame of camera %d has type %s; 8-bit frames with 1, 3 or 4 channels expected", cam,
               cv::typeToString(type).c_str()));
  }
  cv::cvtColor(frame, buffer, type == CV_8UC1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
  return buffer;
}

// Device copies of host images, in their order.
std::vector<cv::UMat> deviceCopies(const std::vector<cv::Mat>& images) {
  std::vector<cv::UMat> copies(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    images[i].copyTo(copies[i]);
  }
  return copies;
}

}  // namespace

TesmoViewGeneratorOpenCL::TesmoViewGeneratorOpenCL(const std::vector<Camera>& cameras,
                                                   const cv::FileNode& node)
    : TesmoViewGenerator(cameras, node) {}

TesmoViewGeneratorOpenCL::~TesmoViewGeneratorOpenCL() {
  // Work still queued may read or write the images released below.
  try {
    if (cv::ocl::useOpenCL()) {
      cv::ocl::finish();
    }
  } catch (const std::exception& e) {
    LOG(ERROR) << "OpenCL queue failed at release: " << e.what();
  }
  tmpBgrFrames.clear();
  tmpDst8u.release();
  tmpRemapped.release();
  tmpDstFramePyr.clear();
  tmpFramePyrs.clear();
  tmpWarpedFrames.clear();
  releaseWeights();
}

void TesmoViewGeneratorOpenCL::releaseWeights() {
  oclDstWeightPyr.clear();
  oclWeightPyrs.clear();
  oclWarpMasks.clear();
  oclWarpMaps.clear();
}

void TesmoViewGeneratorOpenCL::prepare(cv::Mat& dstMask) {
  prepareWith(dstMask, /*bCatch=*/true, [this](HostWeights& host) { uploadWeights(host); });
}

void TesmoViewGeneratorOpenCL::uploadWeights(HostWeights& host) {
  // The previous preparation's images go first, so that they are not resident beside their
  // replacements; nothing reads them while the generator is not ok.
  releaseWeights();
  // Device copies, so that nothing of this call's host images stays referenced.
  oclWarpMaps = deviceCopies(host.warpMaps);
  oclWarpMasks = deviceCopies(host.masks);
  oclWeightPyrs.clear();
  for (const std::vector<cv::Mat>& levels : host.weightPyrs) {
    oclWeightPyrs.push_back(deviceCopies(levels));
  }
  // Weights are never negative, so a sum of 0 means every weight there is 0 and so is every
  // merged sample; dividing those by 1 keeps them 0, where 0 / 0 would give not-a-number values
  // that the pyramid restoration spreads to the neighbouring pixels.
  for (cv::Mat& sum : host.weightSums) {
    sum.setTo(cv::Scalar::all(1.0), sum == 0);
  }
  oclDstWeightPyr = deviceCopies(host.weightSums);

  tmpWarpedFrames.resize(cameras.size());
  tmpFramePyrs.resize(cameras.size());
  tmpDstFramePyr.resize(host.weightSums.size());
}

void TesmoViewGeneratorOpenCL::process(const std::vector<cv::_OutputArray>& frames,
                                       const cv::_OutputArray& out) {
  guardedProcess(frames, out, [&] {
    // The prepared cameras and band count: the weight pyramids have exactly its levels.
    checkPreparedCameras(oclWarpMaps.size());
    remapFrames(frames);
    createPyramids();
    mergePyramids();
    {
      perf::ScopedTimer timer("tvg_restore");
      cv::detail::restoreImageFromLaplacePyr(tmpDstFramePyr);
    }
    convertView(out);
  });
}

void TesmoViewGeneratorOpenCL::remapFrames(const std::vector<cv::_OutputArray>& frames) {
  perf::ScopedTimer timer("tvg_remap");
  const size_t numCams = cameras.size();
  tmpWarpedFrames.resize(numCams);
  tmpBgrFrames.resize(numCams);
  for (size_t i = 0; i < numCams; ++i) {
    CHECK(frames[i].isUMat());
    const cv::UMat frame = bgrFrame(frames[i].getUMat(), tmpBgrFrames[i], i);
    cv::remap(frame, tmpRemapped, oclWarpMaps[i], cv::noArray(), prepared.interpolation,
              cv::BORDER_CONSTANT, cv::Scalar());
    tmpRemapped.convertTo(tmpWarpedFrames[i], CV_32F, 0.00392156862745098);
  }
}

void TesmoViewGeneratorOpenCL::createPyramids() {
  perf::ScopedTimer timer("tvg_create_pyr");
  tmpFramePyrs.resize(cameras.size());
  for (size_t i = 0; i < cameras.size(); ++i) {
    cv::detail::createLaplacePyr(tmpWarpedFrames[i], prepared.numBandsBlend, tmpFramePyrs[i]);
  }
}

// Per level: the sum over the cameras of frame level x weight level, divided by the level's weight
// sum.
void TesmoViewGeneratorOpenCL::mergePyramids() {
  perf::ScopedTimer timer("tvg_create_merge");
  const int numLevels = prepared.numBandsBlend + 1;
  tmpDstFramePyr.resize(numLevels);
  for (int l = 0; l < numLevels; ++l) {
    tmpDstFramePyr[l].create(tmpFramePyrs[0][l].size(), CV_32FC3);
    tmpDstFramePyr[l].setTo(cv::Scalar::all(0));
  }
  for (int l = 0; l < numLevels; ++l) {
    for (size_t i = 0; i < cameras.size(); ++i) {
      cv::accumulateProduct(tmpFramePyrs[i][l], oclWeightPyrs[i][l], tmpDstFramePyr[l]);
    }
    cv::divide(tmpDstFramePyr[l], oclDstWeightPyr[l], tmpDstFramePyr[l], 1.0);
  }
}

void TesmoViewGeneratorOpenCL::convertView(const cv::_OutputArray& out) {
  // Converted on the device; a host output then receives 8-bit samples and the call waits for the
  // queue.
  perf::ScopedTimer timer("tvg_copy_to_dst_8u");
  if (out.isUMat()) {
    tmpDstFramePyr[0].convertTo(out, CV_8U, 255.0);
  } else {
    tmpDstFramePyr[0].convertTo(tmpDst8u, CV_8U, 255.0);
    tmpDst8u.copyTo(out);
  }
}

void TesmoViewGeneratorOpenCL::processOneFrame(const cv::_InputArray& frames,
                                               const cv::_OutputArray& out, int camIdx) {
  guarded(out, [&] {
    checkPreparedCameras(oclWarpMaps.size());
    if (!(camIdx >= 0 && camIdx < static_cast<int>(oclWarpMaps.size()) &&
          camIdx < static_cast<int>(frames.total()))) {
      // Raised as this function's assertion, not the lambda's.
      cv::error(cv::Error::StsAssert,
                "camIdx >= 0 && camIdx < static_cast<int>(oclWarpMaps.size()) && camIdx < "
                "static_cast<int>(frames.total())",
                "processOneFrame", __FILE__, __LINE__);
    }
    const cv::UMat frame = frames.getUMat(camIdx);
    cv::remap(frame, out, oclWarpMaps[camIdx], cv::noArray(), prepared.interpolation,
              cv::BORDER_CONSTANT, cv::Scalar());
  });
}

}  // namespace tesmo
