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
//
// OpenCV's Qt back end shows an image on the thread that owns the windows: imshow called from
// another thread (the worker of VideoWriteOpenAsync) returns only after that thread has pumped
// window events (cv::waitKey). Behind the asynchronous wrapper the owning thread must therefore
// keep calling cv::waitKey, and the wrapper's destructor, which joins the worker, waits for ever
// when it runs on that thread while the worker is inside imshow.
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
