#include "streamer/private/frame_streams/img_frame_stream.h"

#include <iostream>

#include <glog/logging.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

ImgFrameStream::ImgFrameStream(double scale, const std::string& path) : FrameStream(scale) {
  std::cout << "Creata ImgFrameStream(path = " << path << ")\n";
  frame = cv::imread(path, cv::IMREAD_COLOR);
  CHECK(!frame.empty());
  CHECK(scale > 0) << "scale of \"" << path << "\" must be positive, got " << scale;
  if (!FitsScaled(frame.size(), scale, frame.elemSize())) throw FrameTooLarge(frame.size(), scale);
  cv::resize(frame, scaledFrame, ScaledSize(frame.size(), scale), 0, 0, cv::INTER_LINEAR);
}

bool ImgFrameStream::Next(cv::Mat* out, int64_t* timestamp_ms, bool bAllowScale) {
  (bAllowScale ? scaledFrame : frame).copyTo(*out);
  if (timestamp_ms != nullptr) *timestamp_ms = now();
  return !out->empty();
}

bool ImgFrameStream::reconnect() { return !frame.empty(); }

bool ImgFrameStream::isOpend() { return !frame.empty(); }

}  // namespace tesmo
