#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "common/gpu/gpu.h"

namespace tesmo {

// Largest frame a source takes from a peer or produces after scaling: at most kMaxFrameSide
// pixels per side and kMaxFrameBytes bytes of pixel data.
constexpr int kMaxFrameSide = 16384;
constexpr size_t kMaxFrameBytes = size_t(256) << 20;

// Whether a frame of cols x rows pixels of `pixelBytes` bytes each stays within that bound.
inline bool FitsFrameBound(uint64_t cols, uint64_t rows, uint64_t pixelBytes) {
  return cols >= 1 && rows >= 1 && cols <= uint64_t(kMaxFrameSide) &&
         rows <= uint64_t(kMaxFrameSide) && cols * rows * pixelBytes <= kMaxFrameBytes;
}

// A camera: delivers its next image with a timestamp. Each source is driven by one reader thread
// and need not be safe for concurrent Next calls.
//
// Next contract: true means *frame holds a new image and *timestamp_ms its time in milliseconds
// since the Unix epoch (system clock, or a recorded/sender's time where the source says so);
// false means no frame this time, after which the live reader calls reconnect(). With
// bAllowScale the frame may come resized by getScale(); without it at native size.
class FrameStream {
 public:
  explicit FrameStream(double scale);
  virtual bool Next(cv::Mat* frame);
  virtual bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) = 0;
  // The frame as a GPU image (a gpu::Image, or a GpuMat of the frame's size and type), queued
  // on `stream`.
  virtual bool Next(cv::cuda::GpuMat* frame, int64_t* timestamp_ms, bool bAllowScale,
                    gpu::Stream& stream);
  virtual bool reconnect();
  virtual bool isOpend();
  virtual ~FrameStream();
  virtual bool isGpuFrameSupported() const;

  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;

  double getScale() const { return scale; }

  // Builds the source that node["type"] names, with node["scale"] (default 1.0). A missing type
  // or required key ends the process through a fatal check; an unknown type, an optional key of
  // another type, or a scale that is not above 0, passes kMaxFrameSide or takes a frame known at
  // construction past the frame bound (per side or in bytes) throws std::runtime_error naming
  // the key and "camera_streams/" + the node's name.
  static std::shared_ptr<FrameStream> Create(const cv::FileNode& node);
  // The source named `camera` under "camera_streams" of the configuration file `config`.
  static std::shared_ptr<FrameStream> Create(const std::string& config, const std::string& camera);

 protected:
  double scale;
};

}  // namespace tesmo
