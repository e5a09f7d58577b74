#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// Source type "ocv": what cv::VideoCapture opens from `filename`: a device path (/dev/...) through
// V4L2, a GStreamer pipeline (a name with '!') through GStreamer, anything else (video file, URL,
// image-sequence pattern) through FFmpeg. Opens on the first Next; reconnect() reopens, so a file
// that reached its end starts again and a lost stream is retried (open time-out 5000 ms, read
// time-out 3000 ms); a failed open costs no memory. Frames are stamped with the system time at
// reading; a frame that the scale would take past the frame bound (kMaxFrameSide pixels on a
// side, kMaxFrameBytes) is dropped before it is resized (false, with a warning).
class OcvFrameStream : public FrameStream {
 public:
  // Prints a banner; the scale must be positive (fatal check). Opens nothing yet.
  OcvFrameStream(double scale, const std::string& filename);

  using FrameStream::Next;
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;
  // Replaces the capture by a freshly opened one; true when it is open.
  bool reconnect() override;
  bool isOpend() override;

 private:
  bool bInitialized = false;
  cv::VideoCapture camera;
  std::string filename;
};

}  // namespace tesmo
