#include "streamer/private/video_writes/video_write_wnd.h"

#include <opencv2/highgui.hpp>

#include "streamer/display.h"

namespace tesmo {

namespace {

// OpenCV's Qt window back end ends the process when it finds no display; ask first so that a
// missing display becomes an exception the caller can handle.
void RequireDisplay(const std::string& windowName) {
  const DisplayStatus status = CheckDisplay();
  if (status.available()) return;
  if (status.state == DisplayStatus::NotReachable) {
    CV_Error(cv::Error::StsError, "Can't open window \"" + windowName + "\": display \"" +
                                      status.display + "\" is not reachable");
  }
  CV_Error(cv::Error::StsError,
           "Can't open window \"" + windowName + "\": no display (DISPLAY is not set)");
}

}  // namespace

VideoWriteWnd::VideoWriteWnd(const std::string& windowName, int delay)
    : windowName(windowName), delay(delay) {
  RequireDisplay(windowName);
  cv::namedWindow(windowName, 0);
}

VideoWriteWnd::~VideoWriteWnd() = default;

bool VideoWriteWnd::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  cv::imshow(windowName, frame);
  if (delay != 0) cv::waitKey(delay);
  return true;
}

}  // namespace tesmo
