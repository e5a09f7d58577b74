#include "generator/tesmo_view_opencl.h"

#include <glog/logging.h>

#include <chrono>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/blenders.hpp>

#include "common/perf.h"
#include "streamer/util.h"

namespace tesmo {

namespace {

int64_t steadyMs() { return now<std::chrono::steady_clock>(); }

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
  oclDstWeightPyr.clear();
  oclWeightPyrs.clear();
  oclWarpMasks.clear();
  oclWarpMaps.clear();
}

void TesmoViewGeneratorOpenCL::prepare(cv::Mat& dstMask) {
  bIsOk = false;
  try {
    std::vector<cv::Mat> warpMaps, masks, weightSums;
    std::vector<std::vector<cv::Mat>> weightPyrs;
    prepareWeights(dstMask, &warpMaps, &masks, &weightPyrs, &weightSums);

    const size_t numCams = cameras.size();
    const int numLevels = params.numBandsBlend + 1;
    oclWarpMaps.assign(numCams, cv::UMat());
    oclWarpMasks.assign(numCams, cv::UMat());
    oclWeightPyrs.assign(numCams, std::vector<cv::UMat>(numLevels));
    oclDstWeightPyr.assign(numLevels, cv::UMat());

    // Device copies, so that nothing of this call's host images stays referenced.
    for (size_t i = 0; i < numCams; ++i) {
      warpMaps[i].copyTo(oclWarpMaps[i]);
      masks[i].copyTo(oclWarpMasks[i]);
      for (int l = 0; l < numLevels; ++l) {
        weightPyrs[i][l].copyTo(oclWeightPyrs[i][l]);
      }
    }
    // Weights are never negative, so a sum of 0 means every weight there is 0 and so is every
    // merged sample; dividing those by 1 keeps them 0, where 0 / 0 would give not-a-number values
    // that the pyramid restoration spreads to the neighbouring pixels.
    for (int l = 0; l < numLevels; ++l) {
      cv::Mat& sum = weightSums[l];
      sum.setTo(cv::Scalar::all(1.0), sum == 0);
      sum.copyTo(oclDstWeightPyr[l]);
    }

    tmpWarpedFrames.resize(numCams);
    tmpFramePyrs.resize(numCams);
    tmpDstFramePyr.resize(numLevels);
    finishPrepare();
  } catch (...) {
    handleException(std::current_exception());
  }
}

void TesmoViewGeneratorOpenCL::process(const std::vector<cv::_OutputArray>& frames,
                                       const cv::_OutputArray& out) {
  CHECK((size_t)frames.size() == cameras.size());
  reportFrameSizes(frames);
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  try {
    // The prepared cameras and band count: the weight pyramids have exactly its levels.
    checkPreparedCameras(oclWarpMaps.size());
    remapFrames(frames);

    int64_t t0 = steadyMs();
    tmpFramePyrs.resize(cameras.size());
    for (size_t i = 0; i < cameras.size(); ++i) {
      cv::detail::createLaplacePyr(tmpWarpedFrames[i], prepared.numBandsBlend, tmpFramePyrs[i]);
    }
    perf::UpdateRecord("tvg_create_pyr", steadyMs() - t0);

    mergePyramids();

    t0 = steadyMs();
    cv::detail::restoreImageFromLaplacePyr(tmpDstFramePyr);
    perf::UpdateRecord("tvg_restore", steadyMs() - t0);

    // Converted on the device; a host output then receives 8-bit samples and the call waits
    // for the queue.
    t0 = steadyMs();
    if (out.isUMat()) {
      tmpDstFramePyr[0].convertTo(out, CV_8U, 255.0);
    } else {
      tmpDstFramePyr[0].convertTo(tmpDst8u, CV_8U, 255.0);
      tmpDst8u.copyTo(out);
    }
    perf::UpdateRecord("tvg_copy_to_dst_8u", steadyMs() - t0);
  } catch (...) {
    handleException(std::current_exception());
  }
}

void TesmoViewGeneratorOpenCL::remapFrames(const std::vector<cv::_OutputArray>& frames) {
  const int64_t t0 = steadyMs();
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
  perf::UpdateRecord("tvg_remap", steadyMs() - t0);
}

// Per level: the sum over the cameras of frame level x weight level, divided by the level's weight
// sum.
void TesmoViewGeneratorOpenCL::mergePyramids() {
  const int64_t t0 = steadyMs();
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
  perf::UpdateRecord("tvg_create_merge", steadyMs() - t0);
}

void TesmoViewGeneratorOpenCL::processOneFrame(const cv::_InputArray& frames,
                                               const cv::_OutputArray& out, int camIdx) {
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  try {
    checkPreparedCameras(oclWarpMaps.size());
    CV_Assert(camIdx >= 0 && camIdx < static_cast<int>(oclWarpMaps.size()) &&
              camIdx < static_cast<int>(frames.total()));
    const cv::UMat frame = frames.getUMat(camIdx);
    cv::remap(frame, out, oclWarpMaps[camIdx], cv::noArray(), prepared.interpolation,
              cv::BORDER_CONSTANT, cv::Scalar());
  } catch (...) {
    handleException(std::current_exception());
  }
}

}  // namespace tesmo
