#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// Source type "img": one still image, loaded once as 8-bit BGR and delivered as a fresh copy on
// every Next, stamped with the system time.
class ImgFrameStream : public FrameStream {
 public:
  // Prints a banner and loads `path`; an unreadable image or a scale that is not positive ends
  // the process through a fatal check. Throws FrameTooLarge when the scaled image would not stay
  // within the frame bound (kMaxFrameSide pixels on a side, kMaxFrameBytes).
  ImgFrameStream(double scale, const std::string& path);

  using FrameStream::Next;
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;
  // Both report whether the image is loaded; nothing is reloaded.
  bool reconnect() override;
  bool isOpend() override;

 private:
  cv::Mat frame;
  cv::Mat scaledFrame;
};

}  // namespace tesmo
