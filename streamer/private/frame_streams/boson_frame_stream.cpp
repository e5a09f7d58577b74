#include "streamer/private/frame_streams/boson_frame_stream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/util.h"

namespace tesmo {

namespace {

// The V4L2 request, repeated while a signal interrupts it: the demo program's interrupt handler
// must not turn a blocked dequeue into a device failure. Being declared here, it is the one that
// the unqualified calls below pick over the C library's variadic ioctl.
int ioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ::ioctl(fd, request, arg);
  } while (result < 0 && errno == EINTR);
  return result;
}

const char* TypeName(BosonFrameStream::SensorTypes type) {
  return type == BosonFrameStream::BOSON_320 ? "BOSON_320" : "BOSON_640";
}

const char* FormatName(BosonFrameStream::SensorFormats format) {
  switch (format) {
    case BosonFrameStream::RAW8:
      return "RAW8";
    case BosonFrameStream::RAW16:
      return "RAW16";
    default:
      return "BGR8";
  }
}

std::string FourCC(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (8 * i)) & 0xff);
  return text;
}

// Whether the format the driver settled on is one this source reads: the requested pixel format,
// a non-empty size (even for the 4:2:0 planes) and rows without padding.
bool FormatFits(const v4l2_pix_format& pix, uint32_t pixelformat) {
  if (pix.pixelformat != pixelformat || pix.width == 0 || pix.height == 0) return false;
  if (pix.width > 16384 || pix.height > 16384) return false;
  const uint32_t bytes_per_pixel = pixelformat == V4L2_PIX_FMT_Y16 ? 2 : 1;
  if (pix.bytesperline != 0 && pix.bytesperline != pix.width * bytes_per_pixel) return false;
  return pixelformat == V4L2_PIX_FMT_Y16 || (pix.width % 2 == 0 && pix.height % 2 == 0);
}

// Bytes a pixel of the frames Next delivers in `format`.
size_t FramePixelBytes(BosonFrameStream::SensorFormats format) {
  switch (format) {
    case BosonFrameStream::RAW8:
      return 1;
    case BosonFrameStream::RAW16:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

uint32_t BosonFrameStream::PixelFormat(SensorFormats format) {
  return format == RAW16 ? V4L2_PIX_FMT_Y16 : V4L2_PIX_FMT_YVU420;
}

cv::Size BosonFrameStream::FrameSize(SensorTypes type, SensorFormats format) {
  if (format == RAW16 && type == BOSON_320) return cv::Size(320, 256);
  return cv::Size(640, 512);
}

cv::Mat BosonFrameStream::BufferHeader(cv::Size size, SensorFormats format, void* data) {
  if (format == RAW16) return cv::Mat(size.height, size.width, CV_16UC1, data);
  return cv::Mat(size.height + size.height / 2, size.width, CV_8UC1, data);
}

size_t BosonFrameStream::BufferBytes(cv::Size size, SensorFormats format) {
  const size_t width = static_cast<size_t>(size.width);
  if (format == RAW16) return 2 * width * static_cast<size_t>(size.height);
  return width * static_cast<size_t>(size.height + size.height / 2);
}

bool BosonFrameStream::ConvertFrame(const cv::Mat& buf, size_t bytesused, SensorFormats format,
                                    double scale, bool bAllowScale, cv::Mat* frame) {
  if (bytesused < buf.total() * buf.elemSize()) return false;
  switch (format) {
    case BGR8:
      cv::cvtColor(buf, *frame, cv::COLOR_YUV2BGR_IYUV);
      break;
    case RAW8:
      cv::cvtColor(buf, *frame, cv::COLOR_YUV2GRAY_420);
      break;
    case RAW16:
      buf.copyTo(*frame);
      break;
    default:
      return false;
  }
  return !bAllowScale || scale == 1.0 || ScaleFrame(frame, scale);
}

BosonFrameStream::BosonFrameStream(double scale, const std::string& video, SensorTypes sensorType,
                                   SensorFormats sensorFormat)
    : FrameStream(scale), sensor_format_(sensorFormat) {
  CHECK(scale > 0) << "scale of \"" << video << "\" must be positive, got " << scale;
  CHECK(sensorType == BOSON_320 || sensorType == BOSON_640) << "unknown sensor type " << sensorType;
  CHECK(sensorFormat == RAW8 || sensorFormat == RAW16 || sensorFormat == BGR8)
      << "unknown sensor format " << sensorFormat;
  const cv::Size requested = FrameSize(sensorType, sensorFormat);
  if (!FitsScaled(requested, scale, FramePixelBytes(sensorFormat))) {
    throw FrameTooLarge(requested, scale);
  }

  OpenDevice(video);
  SetFormat(video, sensorType);
  MapBuffer(video);
  StartStreaming(video);
  PrintBanner(video, sensorType);
}

void BosonFrameStream::OpenDevice(const std::string& video) {
  CHECK((fd = open(video.c_str(), O_RDWR)) >= 0)
      << "Invalid video device; " << video << "; " << strerror(errno) << ";\n";

  v4l2_capability cap;
  std::memset(&cap, 0, sizeof(cap));
  CHECK(ioctl(fd, VIDIOC_QUERYCAP, &cap) >= 0)
      << "VIDIOC_QUERYCAP. Video Capture is not available; " << video << "; " << strerror(errno)
      << ";\n";
  CHECK(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE)
      << "The device does not handle single-planar video capture; " << video << "; "
      << strerror(errno) << ";\n";
}

void BosonFrameStream::SetFormat(const std::string& video, SensorTypes sensorType) {
  const uint32_t pixelformat = PixelFormat(sensor_format_);
  const cv::Size size = FrameSize(sensorType, sensor_format_);
  v4l2_format format;
  std::memset(&format, 0, sizeof(format));
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.pixelformat = pixelformat;
  format.fmt.pix.width = size.width;
  format.fmt.pix.height = size.height;
  CHECK(ioctl(fd, VIDIOC_S_FMT, &format) >= 0)
      << "VIDIOC_S_FMT; " << video << "; " << strerror(errno) << ";\n";
  // The driver may settle on another size than the one asked for: the buffer is read at the size
  // it actually delivers, and a format it cannot be read in is refused here.
  CHECK(FormatFits(format.fmt.pix, pixelformat))
      << "VIDIOC_S_FMT set " << format.fmt.pix.width << "x" << format.fmt.pix.height << " \""
      << FourCC(format.fmt.pix.pixelformat) << "\" with " << format.fmt.pix.bytesperline
      << " bytes a line, asked for " << size.width << "x" << size.height << " \""
      << FourCC(pixelformat) << "\"; " << video << ";\n";
  width = static_cast<int>(format.fmt.pix.width);
  height = static_cast<int>(format.fmt.pix.height);
}

void BosonFrameStream::MapBuffer(const std::string& video) {
  v4l2_requestbuffers bufrequest;
  std::memset(&bufrequest, 0, sizeof(bufrequest));
  bufrequest.count = 1;
  bufrequest.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  bufrequest.memory = V4L2_MEMORY_MMAP;
  CHECK(ioctl(fd, VIDIOC_REQBUFS, &bufrequest) >= 0)
      << "VIDIOC_REQBUFS; " << video << "; " << strerror(errno) << ";\n";

  std::memset(&bufferinfo, 0, sizeof(bufferinfo));
  bufferinfo.index = 0;
  bufferinfo.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  bufferinfo.memory = V4L2_MEMORY_MMAP;
  CHECK(ioctl(fd, VIDIOC_QUERYBUF, &bufferinfo) >= 0)
      << "VIDIOC_QUERYBUF; " << video << "; " << strerror(errno) << ";\n";
  const size_t frame_bytes = BufferBytes(cv::Size(width, height), sensor_format_);
  CHECK(bufferinfo.length >= frame_bytes)
      << "VIDIOC_QUERYBUF gave a buffer of " << bufferinfo.length << " bytes, one " << width
      << "x" << height << " frame needs " << frame_bytes << "; " << video << ";\n";

  buffer_start = mmap(nullptr, bufferinfo.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                      bufferinfo.m.offset);
  CHECK(buffer_start != MAP_FAILED) << "mmap; " << video << "; " << strerror(errno) << ";\n";
  std::memset(buffer_start, 0, bufferinfo.length);
}

void BosonFrameStream::StartStreaming(const std::string& video) {
  type = bufferinfo.type;
  CHECK(ioctl(fd, VIDIOC_STREAMON, &type) >= 0)
      << "VIDIOC_STREAMON; " << video << "; " << strerror(errno) << ";\n";

  buf = BufferHeader(cv::Size(width, height), sensor_format_, buffer_start);
}

void BosonFrameStream::PrintBanner(const std::string& video, SensorTypes sensorType) const {
  std::cout << "Boson Frame Stream: \n"
            << "   Image width: " << width << "\n"
            << "   Image height: " << height << "\n"
            << "   Buffer lenght: " << bufferinfo.length << "\n"
            << "   Dev: " << video << "\n"
            << "   Sensor type: " << TypeName(sensorType) << "\n"
            << "   Sensor format: " << FormatName(sensor_format_) << "\n";
}

BosonFrameStream::~BosonFrameStream() {
  CHECK(ioctl(fd, VIDIOC_STREAMOFF, &type) >= 0)
      << "VIDIOC_STREAMOFF; " << strerror(errno) << ";\n";
  munmap(buffer_start, bufferinfo.length);
  close(fd);
}

bool BosonFrameStream::Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) {
  CHECK(ioctl(fd, VIDIOC_QBUF, &bufferinfo) >= 0) << "VIDIOC_QBUF; " << strerror(errno) << ";\n";
  CHECK(ioctl(fd, VIDIOC_DQBUF, &bufferinfo) >= 0) << strerror(errno) << ";\n";
  if (timestamp_ms != nullptr) *timestamp_ms = now();
  // A frame the driver knows to be damaged, or one shorter than the whole image, is no frame: the
  // rest of the buffer would still hold an older frame.
  if (bufferinfo.flags & V4L2_BUF_FLAG_ERROR) {
    LOG_EVERY_N(WARNING, 100) << "Boson: dropped a frame the driver flagged as damaged";
    return false;
  }
  const size_t bytesused = std::min<size_t>(bufferinfo.bytesused, bufferinfo.length);
  if (!ConvertFrame(buf, bytesused, sensor_format_, scale, bAllowScale, frame)) {
    if (bytesused < buf.total() * buf.elemSize()) {
      LOG_EVERY_N(WARNING, 100) << "Boson: dropped a short frame of " << bufferinfo.bytesused
                                << " bytes, " << buf.total() * buf.elemSize() << " expected";
    } else {
      LOG_EVERY_N(WARNING, 100) << "Boson: dropped " << ScaledFrameRefusal(frame->size(), scale);
    }
    return false;
  }
  return true;
}

}  // namespace tesmo
