#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Shows each frame in an OpenCV window (resizable, created at construction and left open by the
// destructor). With a `delay` other than 0 (ms) each frame also pumps the window events through
// cv::waitKey(delay); with 0 the window is redrawn only when other code of the process does so.
// Without a display the constructor throws cv::Exception.
class VideoWriteWnd : public VideoWrite {
 public:
  VideoWriteWnd(const std::string& windowName, int delay);
  ~VideoWriteWnd() override;

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override;

 private:
  std::string windowName;
  int delay;
};

}  // namespace tesmo
