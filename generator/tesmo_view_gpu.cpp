// TesmoViewGeneratorCuda, declared in generator/tesmo_view.h.
#include "generator/tesmo_view.h"

#include <glog/logging.h>

#include <exception>
#include <opencv2/imgproc.hpp>

#include "common/perf.h"

namespace tesmo {

namespace {

using cv::cuda::GpuMat;

bool isGpuImage(const cv::_InputArray& array) {
  return array.kind() == cv::_InputArray::CUDA_GPU_MAT;
}

// Copies `src`, computed on `calc` up to the latest record of `computed`, into the host image
// `out` on `copy`; returns when `out` holds it. A failure of that computation is thrown instead,
// with `out` left as it was.
void downloadComputed(gpu::Stream& calc, const gpu::Event& computed, gpu::Stream& copy,
                      const GpuMat& src, const cv::_OutputArray& out) {
  copy.waitEvent(computed);
  copy.waitForCompletion();
  // The computation has run; this throws the failure it kept, if any.
  calc.queryIfComplete();
  gpu::download(src, out, copy);
}

// Makes `frame` 8-bit BGR on `stream`: a gray or BGRA frame is converted into `buffer`, which
// `frame` then shows; any other frame stays as it is.
void convertToBgr(GpuMat& frame, gpu::Image& buffer, gpu::Stream& stream) {
  const int type = frame.type();
  if (type == CV_8UC1 || type == CV_8UC4) {
    gpu::cvtColor(frame, buffer, type == CV_8UC1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR, 0,
                  stream);
    frame = buffer;
  }
}

}  // namespace

TesmoViewGeneratorCuda::~TesmoViewGeneratorCuda() {
  // Queued work may still read or write the images released after this body.
  waitForStreams("GPU work failed before release: ");
}

void TesmoViewGeneratorCuda::waitForStreams(const char* failureText) {
  for (gpu::Stream* stream : {&calcStream, &uploadStream, &downloadStream}) {
    try {
      stream->waitForCompletion();
    } catch (const std::exception& e) {
      LOG(ERROR) << failureText << e.what();
    }
  }
}

void TesmoViewGeneratorCuda::prepare(cv::Mat& dstMask) {
  bIsOk = false;
  // Work queued by earlier calls (a conversion into a GPU output) may still read the images that
  // the uploads below overwrite. A failure it kept belongs to that earlier call, not to this one.
  waitForStreams("GPU work of an earlier call failed: ");
  releaseImages();
  // Failures reach the caller.
  prepareWith(dstMask, /*bCatch=*/false, [&](HostWeights& host) { uploadWeights(dstMask, host); });
}

void TesmoViewGeneratorCuda::releaseImages() {
  gpuWarpMapsX.clear();
  gpuWarpMapsY.clear();
  gpuWeightPyrs.clear();
  gpuDstWeightPyr.clear();
  tmpWarpedFrames.clear();
  tmpFramePyrs.clear();
  tmpDstFramePyr.clear();
  tmpFrames.clear();
  tmpBgrFrames.clear();
  tmpCreateLaplacePyrGpu.clear();
  tmpRestoreImageFromLaplacePyrGpu.clear();
  tmpCreateMerge.clear();
  tmpWarpedFrame.release();
  tmpDstScaled.release();
  tmpDst32f.release();
}

void TesmoViewGeneratorCuda::uploadWeights(const cv::Mat& dstMask, const HostWeights& host) {
  const size_t numCams = cameras.size();
  const int numLevels = params.numBandsBlend + 1;
  gpuWarpMapsX.resize(numCams);
  gpuWarpMapsY.resize(numCams);
  gpuWeightPyrs.resize(numCams);
  tmpFrames.resize(numCams);
  tmpBgrFrames.resize(numCams);
  gpuDstWeightPyr.resize(numLevels);

  cv::Mat coverage;
  dstMask.convertTo(coverage, CV_32F, 0.00392156862745098, 0.0);
  cv::cvtColor(coverage, coverage, cv::COLOR_GRAY2BGR);
  gpu::upload(coverage, gpuFullMask, uploadStream);

  for (size_t i = 0; i < numCams; ++i) {
    std::vector<cv::Mat> v;
    cv::split(host.warpMaps[i], v);
    if (v.size() != 2) {
      // Raised as prepare's assertion.
      cv::error(cv::Error::StsAssert, "v.size() == 2", "prepare", __FILE__, __LINE__);
    }
    gpu::upload(v[0], gpuWarpMapsX[i], uploadStream);
    gpu::upload(v[1], gpuWarpMapsY[i], uploadStream);
    gpuWeightPyrs[i].resize(numLevels);
    for (int bi = 0; bi < numLevels; ++bi) {
      gpu::upload(host.weightPyrs[i][bi], gpuWeightPyrs[i][bi], uploadStream);
    }
  }
  for (int bi = 0; bi < numLevels; ++bi) {
    gpu::upload(host.weightSums[bi], gpuDstWeightPyr[bi], uploadStream);
  }

  // Not waited for here: every later computation waits for the uploads.
  uploadedEvent.record(uploadStream);
  calcStream.waitEvent(uploadedEvent);
}

void TesmoViewGeneratorCuda::process(const std::vector<cv::_OutputArray>& frames,
                                     const cv::_OutputArray& out) {
  guardedProcess(frames, out, [&] {
    if (cameras.empty()) {
      return;
    }
    // What prepare built: its band count, interpolation and sizes (an assertion of process, as
    // its error says). The gains and offsets are the cameras' current ones.
    if (gpuWarpMapsX.size() != cameras.size()) {
      cv::error(cv::Error::StsAssert, "gpuWarpMapsX.size() == numCams", "process", __FILE__,
                __LINE__);
    }
    const std::vector<GpuMat> src = gatherFrames(frames);
    warpFrames(src);
    {
      perf::ScopedTimer timer("tvg_create_pyr");
      tmpFramePyrs.resize(src.size());
      for (size_t i = 0; i < src.size(); ++i) {
        createLaplacePyrGpu(tmpWarpedFrames[i], prepared.numBandsBlend, tmpFramePyrs[i]);
      }
    }
    blendPyramids();
    restoreView();
    deliverView(resizedView(), out);
  });
}

void TesmoViewGeneratorCuda::restoreView() {
  perf::ScopedTimer timer("tvg_restore");
  restoreImageFromLaplacePyrGpu(tmpDstFramePyr);
  if (prepared.numBandsBlend > 0) {
    // The lower levels reach past the cameras' sight; the coverage mask cuts that off.
    gpu::multiply(tmpDstFramePyr[0], gpuFullMask, tmpDstFramePyr[0], 1.0, calcStream);
  }
}

std::vector<GpuMat> TesmoViewGeneratorCuda::gatherFrames(
    const std::vector<cv::_OutputArray>& frames) {
  perf::ScopedTimer timer("tvg_get_frames");
  std::vector<GpuMat> src(frames.size());
  bool bUploaded = false;
  for (size_t i = 0; i < frames.size(); ++i) {
    const cv::_OutputArray& frame = frames[i];
    const int kind = frame.kind();
    if (kind == cv::_InputArray::CUDA_GPU_MAT) {
      src[i] = frame.getGpuMatRef();
    } else if (kind == cv::_InputArray::MAT || kind == cv::_InputArray::UMAT) {
      if (!bUploaded) {
        // The previous frame set's remaps may still read tmpFrames.
        uploadStream.waitEvent(computedEvent);
        bUploaded = true;
      }
      gpu::upload(frame, tmpFrames[i], uploadStream);
      src[i] = tmpFrames[i];
    } else {
      CHECK(0) << "Input frames contain unknown/unsupported array type";
    }
    if (src[i].empty()) {
      cv::error(cv::Error::StsBadArg, cv::format("Empty frame of camera %d", static_cast<int>(i)),
                "process", __FILE__, __LINE__);
    }
  }
  if (bUploaded) {
    uploadedEvent.record(uploadStream);
    calcStream.waitEvent(uploadedEvent);
  }
  for (size_t i = 0; i < src.size(); ++i) {
    convertToBgr(src[i], tmpBgrFrames[i], calcStream);
  }
  return src;
}

void TesmoViewGeneratorCuda::warpFrames(const std::vector<GpuMat>& src) {
  perf::ScopedTimer timer("tvg_remap");
  for (size_t i = 1; i < src.size(); ++i) {
    if (src[i].type() != src[0].type()) {
      cv::error(cv::Error::StsNotImplemented, "Input frames contain inconsistent type", "process",
                __FILE__, __LINE__);
    }
  }
  tmpWarpedFrames.resize(src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    gpu::remap(src[i], tmpWarpedFrame, gpuWarpMapsX[i], gpuWarpMapsY[i], prepared.interpolation,
               cv::BORDER_REFLECT, cv::Scalar(), calcStream);
    gpu::convertTo(tmpWarpedFrame, tmpWarpedFrames[i], CV_32F, cameras[i].alpha / 255.0,
                   cameras[i].beta / 255.0, calcStream);
  }
}

// Per level: the sum over the cameras of frame level x weight level, divided by the level's
// weight sum.
void TesmoViewGeneratorCuda::blendPyramids() {
  perf::ScopedTimer timer("tvg_create_merge");
  const int numLevels = prepared.numBandsBlend + 1;
  tmpDstFramePyr.resize(numLevels);
  for (int bi = 0; bi < numLevels; ++bi) {
    gpu::create(tmpDstFramePyr[bi], tmpFramePyrs[0][bi].size(), CV_32FC3);
    gpu::setTo(tmpDstFramePyr[bi], cv::Scalar::all(0), calcStream);
  }
  tmpCreateMerge.resize(numLevels);
  for (int bi = 0; bi < numLevels; ++bi) {
    for (size_t ci = 0; ci < tmpFramePyrs.size(); ++ci) {
      gpu::multiply(tmpFramePyrs[ci][bi], gpuWeightPyrs[ci][bi], tmpCreateMerge[bi], 1.0,
                    calcStream);
      gpu::add(tmpDstFramePyr[bi], tmpCreateMerge[bi], tmpDstFramePyr[bi], calcStream);
    }
    gpu::divide(tmpDstFramePyr[bi], gpuDstWeightPyr[bi], tmpDstFramePyr[bi], 1.0, calcStream);
  }
}

GpuMat TesmoViewGeneratorCuda::resizedView() {
  if (prepared.viewSize == prepared.viewSizeCashed) {
    return tmpDstFramePyr[0];
  }
  perf::ScopedTimer timer("tvg_resize");
  gpu::resize(tmpDstFramePyr[0], tmpDstScaled, prepared.viewSize, 0, 0, cv::INTER_LINEAR,
              calcStream);
  return tmpDstScaled;
}

void TesmoViewGeneratorCuda::deliverView(const GpuMat& view, const cv::_OutputArray& out) {
  perf::ScopedTimer timer("tvg_download_frame");
  const bool bGpuOut = isGpuImage(out);
  GpuMat& dst8u = bGpuOut ? out.getGpuMatRef() : tmpDst32f;
  gpu::convertTo(view, dst8u, CV_8U, 255.0, 0.0, calcStream);
  computedEvent.record(calcStream);
  if (!bGpuOut) {
    downloadComputed(calcStream, computedEvent, downloadStream, tmpDst32f, out);
  }
}

void TesmoViewGeneratorCuda::createLaplacePyrGpu(GpuMat img, int numLevels,
                                                 std::vector<gpu::Image>& pyr) {
  pyr.resize(numLevels + 1);
  pyr[0] = img;
  for (int i = 0; i < numLevels; ++i) {
    gpu::pyrDown(pyr[i], pyr[i + 1], calcStream);
  }
  tmpCreateLaplacePyrGpu.resize(numLevels);
  for (int i = 0; i < numLevels; ++i) {
    gpu::pyrUp(pyr[i + 1], tmpCreateLaplacePyrGpu[i], calcStream);
    gpu::subtract(pyr[i], tmpCreateLaplacePyrGpu[i], pyr[i], calcStream);
  }
}

void TesmoViewGeneratorCuda::restoreImageFromLaplacePyrGpu(std::vector<gpu::Image>& pyr) {
  if (pyr.empty()) {
    return;
  }
  tmpRestoreImageFromLaplacePyrGpu.resize(pyr.size());
  for (size_t i = pyr.size() - 1; i > 0; --i) {
    gpu::pyrUp(pyr[i], tmpRestoreImageFromLaplacePyrGpu[i], calcStream);
    gpu::add(tmpRestoreImageFromLaplacePyrGpu[i], pyr[i - 1], pyr[i - 1], calcStream);
  }
}

void TesmoViewGeneratorCuda::processOneFrame(const cv::_InputArray& frames,
                                             const cv::_OutputArray& out, int camIdx) {
  guarded(out, [&] {
    const GpuMat frame = loadOneFrame(frames, camIdx);
    const bool bGpuOut = isGpuImage(out);
    GpuMat& warped = bGpuOut ? out.getGpuMatRef() : tmpWarpedFrame;
    gpu::remap(frame, warped, gpuWarpMapsX[camIdx], gpuWarpMapsY[camIdx], prepared.interpolation,
               cv::BORDER_CONSTANT, cv::Scalar(), calcStream);
    computedEvent.record(calcStream);
    if (!bGpuOut) {
      downloadComputed(calcStream, computedEvent, uploadStream, tmpWarpedFrame, out);
    }
  });
}

GpuMat TesmoViewGeneratorCuda::loadOneFrame(const cv::_InputArray& frames, int camIdx) {
  perf::ScopedTimer timer("tvg_load_frames");
  // The checks are raised as processOneFrame's.
  const auto require = [](bool bHolds, const char* expression, int line) {
    if (!bHolds) {
      cv::error(cv::Error::StsAssert, expression, "processOneFrame", __FILE__, line);
    }
  };
  require(camIdx >= 0 && camIdx < static_cast<int>(gpuWarpMapsX.size()),
          "camIdx >= 0 && camIdx < static_cast<int>(gpuWarpMapsX.size())", __LINE__);
  const int kind = frames.kind();
  if (kind == cv::_InputArray::STD_VECTOR_CUDA_GPU_MAT) {
    const auto& images = *static_cast<const std::vector<GpuMat>*>(frames.getObj());
    require(camIdx < static_cast<int>(images.size()), "camIdx < static_cast<int>(images.size())",
            __LINE__);
    return images[camIdx];
  }
  if (kind == cv::_InputArray::STD_VECTOR_MAT || kind == cv::_InputArray::STD_VECTOR_UMAT) {
    require(camIdx < static_cast<int>(frames.total()), "camIdx < static_cast<int>(frames.total())",
            __LINE__);
    // Here the copy streams trade roles: uploads on downloadStream.
    downloadStream.waitEvent(computedEvent);
    gpu::upload(frames.getMat(camIdx), tmpFrames[camIdx], downloadStream);
    uploadedEvent.record(downloadStream);
    calcStream.waitEvent(uploadedEvent);
    return tmpFrames[camIdx];
  }
  cv::error(cv::Error::StsNotImplemented, "Unknown/unsupported array type", "processOneFrame",
            __FILE__, __LINE__);
}

}  // namespace tesmo
