#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Writes frames into one video file through OpenCV's VideoWriter. The writer opens at the first
// frame and opens again (same path, the file starts anew) whenever the frame size changes. When
// it cannot open, "Can't open video writer: " + path goes to the error log once per size and the
// frames of that size are refused. OpenCV exceptions from open or write reach the caller.
class VideoWriteOpenCV : public VideoWrite {
 public:
  // `fourcc` is a four-character codec code such as "MJPG" or "mp4v"; any other length gives
  // code 0 (the container's raw video). `fps` is the frame rate stored in the file.
  VideoWriteOpenCV(const std::string& output, const std::string& fourcc, double fps);
  ~VideoWriteOpenCV() override;

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override;

 private:
  const std::string output;
  const double fps;
  const int fourcc;
  cv::VideoWriter writer;
  cv::Size frameSize;
  cv::Mat tmpFrame;
};

}  // namespace tesmo
