#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <linux/videodev2.h>
#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// Source type "boson": a FLIR Boson 320 or 640 thermal camera read through V4L2 capture with one
// memory-mapped buffer. Each Next queues the buffer, blocks until the driver has filled it and
// converts it; frames are stamped with the system time of the dequeue. With bAllowScale and a
// scale other than 1.0 the frame is resized by the scale, as the intrinsics are.
//
// Every device failure (open, set-up, queue, dequeue, stream off) ends the process through a
// fatal check that names the request and the system's error text. A dequeued buffer that holds
// fewer bytes than one frame, or that the driver flags as corrupted, gives no frame (false).
class BosonFrameStream : public FrameStream {
 public:
  enum SensorTypes { BOSON_320 = 0, BOSON_640 = 1 };
  enum SensorFormats { RAW8 = 0, RAW16 = 1, BGR8 = 2 };

  // Opens `video` (e.g. "/dev/video0"), sets the format that `sensorFormat` needs, maps one
  // buffer, starts streaming and prints a banner. The scale must be positive (fatal check);
  // FrameTooLarge is thrown, before the device is opened, when it would scale the requested
  // frame past the frame bound (kMaxFrameSide pixels on a side, kMaxFrameBytes).
  BosonFrameStream(double scale, const std::string& video, SensorTypes sensorType,
                   SensorFormats sensorFormat);
  // Stops streaming, unmaps the buffer and closes the device.
  ~BosonFrameStream() override;

  using FrameStream::Next;
  // Called by one reader thread; blocks until the camera delivers a frame.
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;

  // The V4L2 pixel format requested for `format`: "Y16 " for RAW16, "YV12" otherwise.
  static uint32_t PixelFormat(SensorFormats format);
  // The frame size requested: the sensor's size for RAW16, 640 x 512 otherwise.
  static cv::Size FrameSize(SensorTypes type, SensorFormats format);
  // The header (no copy) over a captured buffer `data` of a `size` frame: 16-bit height x width
  // for RAW16, else 8-bit (height + height/2) x width planes (Y, then two quarter-size chroma
  // planes). BufferBytes is the number of bytes that header covers.
  static cv::Mat BufferHeader(cv::Size size, SensorFormats format, void* data);
  static size_t BufferBytes(cv::Size size, SensorFormats format);
  // Converts one captured buffer `buf` (as BufferHeader lays it out) of which the driver filled
  // `bytesused` bytes into *frame: 8-bit grey (RAW8), a 16-bit copy (RAW16) or 8-bit BGR read in
  // I420 plane order (BGR8); then resized by `scale` when bAllowScale and scale is not 1.0.
  // False when `bytesused` is short of the whole buffer (*frame untouched) or when the scaled
  // frame would not stay within the frame bound (nothing is allocated for it then).
  static bool ConvertFrame(const cv::Mat& buf, size_t bytesused, SensorFormats format,
                           double scale, bool bAllowScale, cv::Mat* frame);

 private:
  // The constructor's steps, in order; each ends the process through a fatal check naming the
  // request, `video` and the system's error text when the device refuses.
  void OpenDevice(const std::string& video);
  // Sets the format sensor_format_ needs for `sensorType`; width and height become the size the
  // driver settled on.
  void SetFormat(const std::string& video, SensorTypes sensorType);
  // Requests one buffer and maps it (zero-filled) into buffer_start.
  void MapBuffer(const std::string& video);
  // Starts streaming and lays buf over the mapped buffer.
  void StartStreaming(const std::string& video);
  void PrintBanner(const std::string& video, SensorTypes sensorType) const;

  int fd = -1;
  int width = 0;
  int height = 0;
  void* buffer_start = nullptr;
  v4l2_buffer bufferinfo;
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  cv::Mat buf;
  SensorFormats sensor_format_;
};

}  // namespace tesmo
