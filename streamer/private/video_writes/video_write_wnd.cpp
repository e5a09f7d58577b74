#include "streamer/private/video_writes/video_write_wnd.h"

#include <cstdlib>

#include <opencv2/highgui.hpp>
#include <xcb/xcb.h>

namespace tesmo {

namespace {

// OpenCV's Qt window back end ends the process when it finds no display; ask the X server first
// so that a missing display becomes an exception the caller can handle. A platform chosen through
// QT_QPA_PLATFORM (offscreen, wayland, ...) is left to Qt.
void RequireDisplay(const std::string& windowName) {
  if (std::getenv("QT_QPA_PLATFORM") != nullptr) return;
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0') {
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool bConnected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (bConnected) return;
    CV_Error(cv::Error::StsError, "Can't open window \"" + windowName + "\": display \"" +
                                      std::string(display) + "\" is not reachable");
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
