#include "streamer/private/frame_streams/ocv_gpu_frame_stream.h"

#include <iostream>

#include <glog/logging.h>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

OcvGpuFrameStream::OcvGpuFrameStream(double scale, const std::string& filename)
    : FrameStream(scale), filename(filename) {
  std::cout << "Creata OcvGpuFrameStream(filename = " << filename << ")\n";
  CHECK(scale > 0) << "scale of \"" << filename << "\" must be positive, got " << scale;
}

bool OcvGpuFrameStream::Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) {
  if (!Next(&decoded_, timestamp_ms, bAllowScale, gpu::Stream::Null())) return false;
  gpu::download(decoded_, *frame);
  return true;
}

bool OcvGpuFrameStream::Next(cv::cuda::GpuMat* frame, int64_t* timestamp_ms, bool bAllowScale,
                             gpu::Stream& stream) {
  if (!bInitialized) {
    bInitialized = true;
    reconnect();
  }
  if (!reader) return false;
  // A decode error (or a GPU image that cannot take the frame) is a failed read: the reader
  // thread goes on and reconnects.
  try {
    if (!reader->nextFrame(*frame, stream) || frame->empty()) return false;
    if (timestamp_ms != nullptr) *timestamp_ms = now();
    if (scale == 1.0 || !bAllowScale) return true;
    // The frame's size is known as soon as the decode is queued: a frame that the scale would
    // take past the bound is refused before anything is allocated for it.
    if (!FitsScaled(frame->size(), scale, frame->elemSize())) {
      LOG_EVERY_N(WARNING, 100) << "\"" << filename << "\": "
                                << ScaledFrameRefusal(frame->size(), scale) << "; frame dropped";
      return false;
    }
    // The default stream runs its work after the work queued so far on every other stream, as
    // CUDA's does: the resize reads the decoded frame once the decode on `stream` is done.
    gpu::resize(*frame, *frame, ScaledSize(frame->size(), scale), 0, 0, cv::INTER_LINEAR,
                gpu::Stream::Null());
  } catch (const cv::Exception& e) {
    LOG_EVERY_N(WARNING, 100) << "Reading \"" << filename << "\" failed: " << e.what();
    return false;
  }
  return true;
}

bool OcvGpuFrameStream::reconnect() {
  reader.release();
  try {
    reader = gpu::createVideoReader(filename);
  } catch (const cv::Exception& e) {
    LOG_EVERY_N(WARNING, 100) << "Opening \"" << filename << "\" failed: " << e.what();
  }
  return !reader.empty();
}

bool OcvGpuFrameStream::isOpend() { return !reader.empty(); }

}  // namespace tesmo
