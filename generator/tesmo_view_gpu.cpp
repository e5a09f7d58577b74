// TesmoViewGeneratorCuda, declared in generator/tesmo_view.h.
#include "generator/tesmo_view.h"

#include <glog/logging.h>

#include <chrono>
#include <exception>
#include <opencv2/imgproc.hpp>

#include "common/perf.h"
#include "streamer/util.h"

namespace tesmo {

namespace {

using cv::cuda::GpuMat;

int64_t steadyMs() { return now<std::chrono::steady_clock>(); }

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

  std::vector<cv::Mat> warpMaps, masks, weightSums;
  std::vector<std::vector<cv::Mat>> weightPyrs;
  prepareWeights(dstMask, &warpMaps, &masks, &weightPyrs, &weightSums);

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
    cv::split(warpMaps[i], v);
    CV_Assert(v.size() == 2);
    gpu::upload(v[0], gpuWarpMapsX[i], uploadStream);
    gpu::upload(v[1], gpuWarpMapsY[i], uploadStream);
    gpuWeightPyrs[i].resize(numLevels);
    for (int bi = 0; bi < numLevels; ++bi) {
      gpu::upload(weightPyrs[i][bi], gpuWeightPyrs[i][bi], uploadStream);
    }
  }
  for (int bi = 0; bi < numLevels; ++bi) {
    gpu::upload(weightSums[bi], gpuDstWeightPyr[bi], uploadStream);
  }

  // Not waited for here: every later computation waits for the uploads.
  uploadedEvent.record(uploadStream);
  calcStream.waitEvent(uploadedEvent);
  finishPrepare();
}

void TesmoViewGeneratorCuda::process(const std::vector<cv::_OutputArray>& frames,
                                     const cv::_OutputArray& out) {
  CHECK((size_t)frames.size() == cameras.size());
  reportFrameSizes(frames);
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  if (cameras.empty()) {
    return;
  }
  try {
    // What prepare built: its band count, interpolation and sizes. The gains and offsets are
    // the cameras' current ones.
    const size_t numCams = cameras.size();
    const int numBands = prepared.numBandsBlend;
    const int numLevels = numBands + 1;
    CV_Assert(gpuWarpMapsX.size() == numCams);

    int64_t t0 = steadyMs();
    std::vector<GpuMat> src(numCams);
    bool bUploaded = false;
    for (size_t i = 0; i < numCams; ++i) {
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
        CV_Error_(cv::Error::StsBadArg, ("Empty frame of camera %d", static_cast<int>(i)));
      }
    }
    if (bUploaded) {
      uploadedEvent.record(uploadStream);
      calcStream.waitEvent(uploadedEvent);
    }
    for (size_t i = 0; i < numCams; ++i) {
      convertToBgr(src[i], tmpBgrFrames[i], calcStream);
    }
    int64_t t1 = steadyMs();
    perf::UpdateRecord("tvg_get_frames", t1 - t0);

    for (size_t i = 1; i < numCams; ++i) {
      if (src[i].type() != src[0].type()) {
        CV_Error(cv::Error::StsNotImplemented, "Input frames contain inconsistent type");
      }
    }

    t0 = t1;
    tmpWarpedFrames.resize(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      gpu::remap(src[i], tmpWarpedFrame, gpuWarpMapsX[i], gpuWarpMapsY[i], prepared.interpolation,
                 cv::BORDER_REFLECT, cv::Scalar(), calcStream);
      gpu::convertTo(tmpWarpedFrame, tmpWarpedFrames[i], CV_32F, cameras[i].alpha / 255.0,
                     cameras[i].beta / 255.0, calcStream);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_remap", t1 - t0);

    t0 = t1;
    tmpFramePyrs.resize(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      createLaplacePyrGpu(tmpWarpedFrames[i], numBands, tmpFramePyrs[i]);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_create_pyr", t1 - t0);

    // Per level: the sum over the cameras of frame level x weight level, divided by the level's
    // weight sum.
    t0 = t1;
    tmpDstFramePyr.resize(numLevels);
    for (int bi = 0; bi < numLevels; ++bi) {
      gpu::create(tmpDstFramePyr[bi], tmpFramePyrs[0][bi].size(), CV_32FC3);
      gpu::setTo(tmpDstFramePyr[bi], cv::Scalar::all(0), calcStream);
    }
    tmpCreateMerge.resize(numLevels);
    for (int bi = 0; bi < numLevels; ++bi) {
      for (size_t ci = 0; ci < numCams; ++ci) {
        gpu::multiply(tmpFramePyrs[ci][bi], gpuWeightPyrs[ci][bi], tmpCreateMerge[bi], 1.0,
                      calcStream);
        gpu::add(tmpDstFramePyr[bi], tmpCreateMerge[bi], tmpDstFramePyr[bi], calcStream);
      }
      gpu::divide(tmpDstFramePyr[bi], gpuDstWeightPyr[bi], tmpDstFramePyr[bi], 1.0, calcStream);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_create_merge", t1 - t0);

    t0 = t1;
    restoreImageFromLaplacePyrGpu(tmpDstFramePyr);
    if (numBands > 0) {
      // The lower levels reach past the cameras' sight; the coverage mask cuts that off.
      gpu::multiply(tmpDstFramePyr[0], gpuFullMask, tmpDstFramePyr[0], 1.0, calcStream);
    }
    t1 = steadyMs();
    perf::UpdateRecord("tvg_restore", t1 - t0);

    GpuMat result = tmpDstFramePyr[0];
    if (prepared.viewSize != prepared.viewSizeCashed) {
      t0 = t1;
      gpu::resize(result, tmpDstScaled, prepared.viewSize, 0, 0, cv::INTER_LINEAR, calcStream);
      result = tmpDstScaled;
      t1 = steadyMs();
      perf::UpdateRecord("tvg_resize", t1 - t0);
    }

    t0 = t1;
    const bool bGpuOut = isGpuImage(out);
    GpuMat& dst8u = bGpuOut ? out.getGpuMatRef() : tmpDst32f;
    gpu::convertTo(result, dst8u, CV_8U, 255.0, 0.0, calcStream);
    computedEvent.record(calcStream);
    if (!bGpuOut) {
      downloadComputed(calcStream, computedEvent, downloadStream, tmpDst32f, out);
    }
    perf::UpdateRecord("tvg_download_frame", steadyMs() - t0);
  } catch (...) {
    handleException(std::current_exception());
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
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  try {
    const int64_t t0 = steadyMs();
    CV_Assert(camIdx >= 0 && camIdx < static_cast<int>(gpuWarpMapsX.size()));
    GpuMat frame;
    const int kind = frames.kind();
    if (kind == cv::_InputArray::STD_VECTOR_CUDA_GPU_MAT) {
      const auto& images = *static_cast<const std::vector<GpuMat>*>(frames.getObj());
      CV_Assert(camIdx < static_cast<int>(images.size()));
      frame = images[camIdx];
    } else if (kind == cv::_InputArray::STD_VECTOR_MAT ||
               kind == cv::_InputArray::STD_VECTOR_UMAT) {
      CV_Assert(camIdx < static_cast<int>(frames.total()));
      // Here the copy streams trade roles: uploads on downloadStream.
      downloadStream.waitEvent(computedEvent);
      gpu::upload(frames.getMat(camIdx), tmpFrames[camIdx], downloadStream);
      uploadedEvent.record(downloadStream);
      calcStream.waitEvent(uploadedEvent);
      frame = tmpFrames[camIdx];
    } else {
      CV_Error(cv::Error::StsNotImplemented, "Unknown/unsupported array type");
    }
    perf::UpdateRecord("tvg_load_frames", steadyMs() - t0);

    const bool bGpuOut = isGpuImage(out);
    GpuMat& warped = bGpuOut ? out.getGpuMatRef() : tmpWarpedFrame;
    gpu::remap(frame, warped, gpuWarpMapsX[camIdx], gpuWarpMapsY[camIdx], prepared.interpolation,
               cv::BORDER_CONSTANT, cv::Scalar(), calcStream);
    computedEvent.record(calcStream);
    if (!bGpuOut) {
      downloadComputed(calcStream, computedEvent, uploadStream, tmpWarpedFrame, out);
    }
  } catch (...) {
    handleException(std::current_exception());
  }
}

}  // namespace tesmo
