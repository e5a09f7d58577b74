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
    const size_t numCams = cameras.size();
    const int numBands = prepared.numBandsBlend;
    const int numLevels = numBands + 1;

    int64_t t0 = steadyMs();
    tmpWarpedFrames.resize(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      CHECK(frames[i].isUMat());
      const cv::UMat frame = frames[i].getUMat();
      if (frame.empty()) {
        CV_Error_(cv::Error::StsBadArg, ("Empty frame of camera %d", static_cast<int>(i)));
      }
      if (frame.type() != CV_8UC3) {
        CV_Error_(cv::Error::StsUnsupportedFormat,
                  ("Frame of camera %d has type %s; 8-bit BGR frames (CV_8UC3) expected",
                   static_cast<int>(i), cv::typeToString(frame.type()).c_str()));
      }
      cv::remap(frame, tmpRemapped, oclWarpMaps[i], cv::noArray(), prepared.interpolation,
                cv::BORDER_CONSTANT, cv::Scalar());
      tmpRemapped.convertTo(tmpWarpedFrames[i], CV_32F, 0.00392156862745098);
    }
    int64_t t1 = steadyMs();
    perf::UpdateRecord("tvg_remap", t1 - t0);

    t0 = t1;
    tmpFramePyrs.resize(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      cv::detail::createLaplacePyr(tmpWarpedFrames[i], numBands, tmpFramePyrs[i]);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_create_pyr", t1 - t0);

    // Per level: the sum over the cameras of frame level x weight level, divided by the level's
    // weight sum.
    t0 = t1;
    tmpDstFramePyr.resize(numLevels);
    for (int l = 0; l < numLevels; ++l) {
      tmpDstFramePyr[l].create(tmpFramePyrs[0][l].size(), CV_32FC3);
      tmpDstFramePyr[l].setTo(cv::Scalar::all(0));
    }
    for (int l = 0; l < numLevels; ++l) {
      for (size_t i = 0; i < numCams; ++i) {
        cv::accumulateProduct(tmpFramePyrs[i][l], oclWeightPyrs[i][l], tmpDstFramePyr[l]);
      }
      cv::divide(tmpDstFramePyr[l], oclDstWeightPyr[l], tmpDstFramePyr[l], 1.0);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_create_merge", t1 - t0);

    t0 = t1;
    cv::detail::restoreImageFromLaplacePyr(tmpDstFramePyr);
    t1 = steadyMs();
    perf::UpdateRecord("tvg_restore", t1 - t0);

    // Converted on the device; a host output then receives 8-bit samples and the call waits
    // for the queue.
    t0 = t1;
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
