#include "streamer/private/frame_streams/boson_frame_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"
#include "tests/streamer/frame_source_test_util.h"
#include "tests/thrown_text.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using testing_util::Memory;
using testing_util::TempDir;

// What FrameStream::Create makes of a "boson" node with the extra keys `keys`.
std::shared_ptr<FrameStream> CreateBoson(const std::string& keys) {
  cv::FileStorage fs = Memory("node: { type: boson" + keys + " }\n");
  return FrameStream::Create(fs["node"]);
}

std::string CreateError(const std::string& keys) {
  return testing_util::ThrownText([&] { CreateBoson(keys); });
}

// The fatal message of the open check for a device path that open() refuses with `reason`.
std::string OpenFailure(const std::string& path, const std::string& reason) {
  return "Check failed: \\(fd = open\\(video.c_str\\(\\), O_RDWR\\)\\) >= 0 "
         "Invalid video device; " +
         path + "; " + reason + ";";
}

std::string QueryCapFailure(const std::string& path) {
  return "Check failed: ioctl\\(fd, VIDIOC_QUERYCAP, &cap\\) >= 0 VIDIOC_QUERYCAP. Video Capture "
         "is not available; " +
         path + "; Inappropriate ioctl for device;";
}

TEST(BosonFrameStream, FactoryMapsTypeBeforeFormat) {
  EXPECT_EQ(CreateError(", boson_type: boson999"), "Boson : sensor_type boson999");
  EXPECT_EQ(CreateError(", boson_type: boson999, format: yuv"), "Boson : sensor_type boson999");
  EXPECT_EQ(CreateError(", boson_type: boson320, format: yuv"), "Boson : sensor_format yuv");
  EXPECT_EQ(CreateError(", format: RAW8"), "Boson : sensor_format RAW8");
  // A value that is not a string keeps the default: the integer type stays "boson640", which is
  // valid, so the wrong format is the error raised.
  EXPECT_EQ(CreateError(", boson_type: 320, format: yuv"), "Boson : sensor_format yuv");
  EXPECT_EQ(CreateError(", boson_type: boson999, format: 8"), "Boson : sensor_type boson999");
}

TEST(BosonFrameStream, FactoryOpensTheConfiguredDevice) {
  TempDir dir;
  const std::string missing = dir.file("video3");
  // Every valid type and format reaches the device; the device key names the node opened.
  for (const char* keys : {", boson_type: boson320, format: raw16",
                           ", boson_type: boson640, format: raw8",
                           ", boson_type: boson320, format: bgr8"}) {
    EXPECT_DEATH(CreateBoson(keys + std::string(", dev: \"") + missing + "\""),
                 OpenFailure(missing, "No such file or directory"))
        << keys;
  }
  if (access("/dev/video0", F_OK) == 0) GTEST_SKIP() << "/dev/video0 exists on this machine";
  EXPECT_DEATH(CreateBoson(""), OpenFailure("/dev/video0", "No such file or directory"));
  EXPECT_DEATH(CreateBoson(", dev: 3"), OpenFailure("/dev/video0", "No such file or directory"));
}

TEST(BosonFrameStream, NodesThatAreNoVideoDeviceEndTheProcessClearly) {
  TempDir dir;
  const std::string missing = dir.file("video3");
  const std::string regular = dir.file("frames.raw");
  std::ofstream(regular) << std::string(1000, '\0');
  using Stream = BosonFrameStream;
  EXPECT_DEATH(Stream(1.0, missing, Stream::BOSON_640, Stream::BGR8),
               OpenFailure(missing, "No such file or directory"));
  EXPECT_DEATH(Stream(1.0, dir.file(""), Stream::BOSON_640, Stream::RAW8),
               OpenFailure(dir.file(""), "Is a directory"));
  EXPECT_DEATH(Stream(1.0, "/dev/null", Stream::BOSON_320, Stream::RAW16),
               QueryCapFailure("/dev/null"));
  EXPECT_DEATH(Stream(1.0, regular, Stream::BOSON_640, Stream::BGR8), QueryCapFailure(regular));
  EXPECT_DEATH(Stream(0.0, "/dev/null", Stream::BOSON_640, Stream::BGR8),
               "Check failed: scale > 0 scale of \"/dev/null\" must be positive, got 0");
}

TEST(BosonFrameStream, RequestedFormatsAndBufferLayout) {
  using Stream = BosonFrameStream;
  EXPECT_EQ(Stream::FrameSize(Stream::BOSON_320, Stream::RAW16), cv::Size(320, 256));
  EXPECT_EQ(Stream::FrameSize(Stream::BOSON_640, Stream::RAW16), cv::Size(640, 512));
  EXPECT_EQ(Stream::PixelFormat(Stream::RAW16), v4l2_fourcc('Y', '1', '6', ' '));
  for (Stream::SensorFormats format : {Stream::RAW8, Stream::BGR8}) {
    EXPECT_EQ(Stream::FrameSize(Stream::BOSON_320, format), cv::Size(640, 512));
    EXPECT_EQ(Stream::PixelFormat(format), v4l2_fourcc('Y', 'V', '1', '2'));
    std::vector<uint8_t> bytes(Stream::BufferBytes(cv::Size(640, 512), format));
    EXPECT_EQ(bytes.size(), 768u * 640u);
    const cv::Mat header = Stream::BufferHeader(cv::Size(640, 512), format, bytes.data());
    EXPECT_EQ(header.size(), cv::Size(640, 768));
    EXPECT_EQ(header.type(), CV_8UC1);
  }
  std::vector<uint8_t> bytes(Stream::BufferBytes(cv::Size(320, 256), Stream::RAW16));
  EXPECT_EQ(bytes.size(), 320u * 256u * 2u);
  const cv::Mat raw = Stream::BufferHeader(cv::Size(320, 256), Stream::RAW16, bytes.data());
  EXPECT_EQ(raw.size(), cv::Size(320, 256));
  EXPECT_EQ(raw.type(), CV_16UC1);
}

// A captured buffer of exactly one frame, held in its own allocation so that a read past its end
// is caught by the address sanitizer.
class CapturedBuffer {
 public:
  CapturedBuffer(cv::Size size, BosonFrameStream::SensorFormats format)
      : bytes_(BosonFrameStream::BufferBytes(size, format)),
        header_(BosonFrameStream::BufferHeader(size, format, bytes_.data())) {}
  cv::Mat& buf() { return header_; }
  size_t bytes() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
  cv::Mat header_;
};

TEST(BosonFrameStream, Raw16IsCopiedAndScaledOnlyWhenAllowed) {
  using Stream = BosonFrameStream;
  CapturedBuffer captured(cv::Size(320, 256), Stream::RAW16);
  cv::randu(captured.buf(), 0, 65536);
  cv::Mat frame;
  ASSERT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes(), Stream::RAW16, /*scale=*/1.0,
                                   /*bAllowScale=*/true, &frame));
  ASSERT_EQ(frame.type(), CV_16UC1);
  EXPECT_EQ(cv::norm(frame, captured.buf(), cv::NORM_INF), 0.0);
  EXPECT_NE(frame.data, captured.buf().data) << "the frame must not alias the mapped buffer";

  captured.buf().setTo(40000);
  ASSERT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes(), Stream::RAW16, /*scale=*/0.5,
                                   /*bAllowScale=*/true, &frame));
  EXPECT_EQ(frame.size(), cv::Size(160, 128));
  EXPECT_EQ(frame.type(), CV_16UC1);
  EXPECT_EQ(cv::norm(frame - 40000, cv::NORM_INF), 0.0);
  ASSERT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes(), Stream::RAW16, /*scale=*/0.5,
                                   /*bAllowScale=*/false, &frame));
  EXPECT_EQ(frame.size(), cv::Size(320, 256));
}

TEST(BosonFrameStream, Raw8DeliversTheLumaPlane) {
  using Stream = BosonFrameStream;
  CapturedBuffer captured(cv::Size(640, 512), Stream::RAW8);
  cv::randu(captured.buf(), 0, 256);
  cv::Mat frame;
  ASSERT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes(), Stream::RAW8, /*scale=*/1.0,
                                   /*bAllowScale=*/true, &frame));
  ASSERT_EQ(frame.size(), cv::Size(640, 512));
  ASSERT_EQ(frame.type(), CV_8UC1);
  EXPECT_EQ(cv::norm(frame, captured.buf().rowRange(0, 512), cv::NORM_INF), 0.0);

  ASSERT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes(), Stream::RAW8, /*scale=*/0.25,
                                   /*bAllowScale=*/true, &frame));
  EXPECT_EQ(frame.size(), cv::Size(160, 128));
}

// BT.601 limited-range YUV to one BGR pixel, the conversion OpenCV documents for 4:2:0 input.
cv::Vec3d Bt601(double y, double u, double v) {
  const double c = 1.164 * (y - 16);
  return cv::Vec3d(c + 2.018 * (u - 128), c - 0.391 * (u - 128) - 0.813 * (v - 128),
                   c + 1.596 * (v - 128));
}

TEST(BosonFrameStream, Bgr8ReadsTheChromaPlanesInI420Order) {
  using Stream = BosonFrameStream;
  CapturedBuffer captured(cv::Size(640, 512), Stream::BGR8);
  cv::Mat& buf = captured.buf();
  // Luma, then the first and second chroma planes (each 320 x 256, i.e. 128 rows of 640 bytes).
  buf.rowRange(0, 512).setTo(128);
  buf.rowRange(512, 640).setTo(160);
  buf.rowRange(640, 768).setTo(100);
  cv::Mat frame;
  ASSERT_TRUE(Stream::ConvertFrame(buf, captured.bytes(), Stream::BGR8, /*scale=*/1.0,
                                   /*bAllowScale=*/true, &frame));
  ASSERT_EQ(frame.size(), cv::Size(640, 512));
  ASSERT_EQ(frame.type(), CV_8UC3);
  // The first chroma plane is U (blue difference): the image leans blue, not red.
  const cv::Vec3d expected = Bt601(128, /*u=*/160, /*v=*/100);
  const cv::Scalar mean = cv::mean(frame);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean[c], expected[c], 2.0) << "channel " << c;
  const cv::Vec3b first = frame.at<cv::Vec3b>(0, 0);
  EXPECT_EQ(cv::norm(frame, cv::Mat(frame.size(), CV_8UC3, cv::Scalar(first)), cv::NORM_INF), 0.0)
      << "a uniform buffer gives a uniform image";

  ASSERT_TRUE(Stream::ConvertFrame(buf, captured.bytes(), Stream::BGR8, /*scale=*/0.5,
                                   /*bAllowScale=*/true, &frame));
  EXPECT_EQ(frame.size(), cv::Size(320, 256));
  EXPECT_EQ(frame.type(), CV_8UC3);
}

TEST(BosonFrameStream, ShortBuffersGiveNoFrame) {
  using Stream = BosonFrameStream;
  for (Stream::SensorFormats format : {Stream::RAW8, Stream::RAW16, Stream::BGR8}) {
    CapturedBuffer captured(Stream::FrameSize(Stream::BOSON_320, format), format);
    cv::Mat frame(2, 2, CV_8UC1, cv::Scalar(7));
    const uint8_t* before = frame.data;
    for (size_t bytesused : {size_t{0}, captured.bytes() / 2, captured.bytes() - 1}) {
      EXPECT_FALSE(Stream::ConvertFrame(captured.buf(), bytesused, format, /*scale=*/1.0,
                                        /*bAllowScale=*/true, &frame))
          << "format " << format << ", " << bytesused << " bytes";
      EXPECT_EQ(frame.data, before);
      EXPECT_EQ(frame.size(), cv::Size(2, 2));
    }
    // A driver that reports more than the frame is read over the frame only.
    EXPECT_TRUE(Stream::ConvertFrame(captured.buf(), captured.bytes() + 4096, format,
                                     /*scale=*/1.0, /*bAllowScale=*/true, &frame));
  }
}

}  // namespace
}  // namespace tesmo
