#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Writes frames into a video file through OpenCV's VideoWriter. The writer opens at the first
// frame. When the frame size changes, the file written so far is finished and kept, and the
// frames of the new size go to a new file whose name has a counter before the extension
// (out.avi, then out-1.avi, out-2.avi, ...), named in an INFO log line; an existing file of that
// name is overwritten. When a file cannot open, "Can't open video writer: " + path goes to the
// error log once per size and the frames of that size are refused; the next size tries the same
// name again. OpenCV exceptions from open or write reach the caller.
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
  // Files opened so far; the next one is numbered with it.
  int filesOpened = 0;
};

}  // namespace tesmo
