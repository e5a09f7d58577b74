#include "streamer/private/frame_streams/ocv_frame_stream.h"

#include <iostream>
#include <vector>

#include <glog/logging.h>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

namespace {

// The capture back-end for `filename`: V4L2 for a device path, GStreamer for a pipeline
// ("... ! appsink"), FFmpeg for everything else (a file, a URL, an image-sequence pattern).
// cv::CAP_ANY would also probe gPhoto2, which scans the USB bus for a third of a second and
// leaks memory on every open that fails; the live reader retries a missing source without end.
cv::VideoCaptureAPIs BackendFor(const std::string& filename) {
  if (filename.rfind("/dev/", 0) == 0) return cv::CAP_V4L2;
  if (filename.find('!') != std::string::npos) return cv::CAP_GSTREAMER;
  return cv::CAP_FFMPEG;
}

}  // namespace

OcvFrameStream::OcvFrameStream(double scale, const std::string& filename)
    : FrameStream(scale), filename(filename) {
  std::cout << "Creata OcvFrameStream(path = " << filename << ")\n";
  CHECK(scale > 0) << "scale of \"" << filename << "\" must be positive, got " << scale;
}

bool OcvFrameStream::Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) {
  if (!bInitialized) {
    bInitialized = true;
    reconnect();
  }
  if (!camera.isOpened()) return false;
  // An OpenCV error while reading is a failed read: the reader thread goes on and reconnects.
  try {
    if (!camera.read(*frame) || frame->empty()) return false;
  } catch (const cv::Exception& e) {
    LOG_EVERY_N(WARNING, 100) << "Reading \"" << filename << "\" failed: " << e.what();
    return false;
  }
  if (timestamp_ms != nullptr) *timestamp_ms = now();
  if (scale == 1.0 || !bAllowScale) return true;
  if (!ScaleFrame(frame, scale)) {
    LOG_EVERY_N(WARNING, 100) << "\"" << filename << "\": "
                              << ScaledFrameRefusal(frame->size(), scale) << "; frame dropped";
    return false;
  }
  return true;
}

bool OcvFrameStream::reconnect() {
  const std::vector<int> params = {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, 5000,
                                   cv::CAP_PROP_READ_TIMEOUT_MSEC, 3000};
  try {
    camera = cv::VideoCapture(filename, BackendFor(filename), params);
  } catch (const cv::Exception& e) {
    LOG_EVERY_N(WARNING, 100) << "Opening \"" << filename << "\" failed: " << e.what();
    camera.release();
  }
  return camera.isOpened();
}

bool OcvFrameStream::isOpend() { return camera.isOpened(); }

}  // namespace tesmo
