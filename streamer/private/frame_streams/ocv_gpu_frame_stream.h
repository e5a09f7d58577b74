#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "common/gpu/gpu.h"
#include "streamer/frame_stream.h"

namespace tesmo {

// Source type "ocv_gpu": a video decoded into GPU images by the GPU layer's video reader. Opens
// on the first Next; reconnect() opens the file again, so a video that reached its end starts
// again. Frames are stamped with the system time at reading. Both Next forms deliver 8-bit BGR.
class OcvGpuFrameStream : public FrameStream {
 public:
  // Prints a banner; the scale must be positive (fatal check). Opens nothing yet.
  OcvGpuFrameStream(double scale, const std::string& filename);

  using FrameStream::Next;
  // Decodes into a GPU image on the default stream and downloads it into *frame (left as it was
  // when no frame was read).
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;
  // Decodes into *frame on `stream`. Resizing (scale not 1 and bAllowScale) runs on the default
  // stream after the decode has completed, so the call then returns with the scaled frame done;
  // *frame must then be a gpu::Image (a plain GpuMat cannot change its size). A read or decode
  // error, or a frame that the scale would take past the frame bound (kMaxFrameSide pixels on a
  // side, kMaxFrameBytes), is logged and gives false.
  bool Next(cv::cuda::GpuMat* frame, int64_t* timestamp_ms, bool bAllowScale,
            gpu::Stream& stream) override;
  // Replaces the reader by one freshly opened on the file; true when that worked. An open
  // failure is logged (rate-limited) and leaves no reader.
  bool reconnect() override;
  bool isOpend() override;
  bool isGpuFrameSupported() const override { return true; }

 private:
  bool bInitialized = false;
  std::string filename;
  cv::Ptr<gpu::VideoReader> reader;
  gpu::Image decoded_;  // the host form's GPU image, kept from call to call
};

}  // namespace tesmo
