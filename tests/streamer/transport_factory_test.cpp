#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"
#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/private/video_writes/video_write_zmq_enc.h"
#include "streamer/video_write.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::Endpoint;
using testing_util::PatternImage;
using testing_util::SmoothImage;

cv::FileStorage Memory(const std::string& yaml) {
  return cv::FileStorage("%YAML:1.0\n" + yaml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

// Publishes through `sink` until `source` delivers a frame; the delivered frame or empty.
cv::Mat RoundTrip(VideoWrite& sink, FrameStream& source, const cv::Mat& frame, int64_t* ts) {
  cv::Mat got;
  for (int i = 0; i < 100; ++i) {
    sink.Publish(frame, 4242);
    if (source.Next(&got, ts, /*bAllowScale=*/true)) return got;
  }
  return cv::Mat();
}

TEST(TransportFactories, ZmqRawSinkAndSourceFromNodes) {
  const std::string addr = Endpoint("ipc", "factraw");
  cv::FileStorage fs = Memory("sink: { type: zmq, addr: \"" + addr + "\" }\n" +
                              "src: { type: zmq, addr: \"" + addr + "\", scale: 0.5, "
                              "preserve_timestamps: 0 }\n");
  auto sink = VideoWrite::Create(fs["sink"]);
  auto source = FrameStream::Create(fs["src"]);
  ASSERT_TRUE(dynamic_cast<VideoWriteZmq*>(sink.get()));
  ASSERT_TRUE(dynamic_cast<ZmqFrameStream*>(source.get()));
  EXPECT_EQ(source->getScale(), 0.5);
  int64_t ts = 0;
  const int64_t before = now();
  const cv::Mat got = RoundTrip(*sink, *source, PatternImage(480, 640, 1), &ts);
  EXPECT_EQ(got.size(), cv::Size(320, 240));
  EXPECT_GE(ts, before);  // preserve_timestamps 0: the receive time
}

TEST(TransportFactories, ZmqJpegSinkAndEncodedSourceFromNodes) {
  const std::string addr = Endpoint("ipc", "factjpeg");
  cv::FileStorage fs = Memory(
      "sink: { type: zmq_jpeg, addr: \"" + addr + "\", jpeg_enc: { type: turbo_jpeg, "
      "quality: 95 } }\n" + "plain: { type: zmq_jpeg, addr: \"" + Endpoint("ipc", "factjpeg") +
      "\" }\nsrc: { type: zmq_encoded, addr: \"" + addr + "\", scale: 0.5 }\n");
  auto sink = VideoWrite::Create(fs["sink"]);
  auto plain = VideoWrite::Create(fs["plain"]);  // JPEG through OpenCV at 80
  auto source = FrameStream::Create(fs["src"]);
  ASSERT_TRUE(dynamic_cast<VideoWriteZmqEnc*>(sink.get()));
  ASSERT_TRUE(dynamic_cast<VideoWriteZmqEnc*>(plain.get()));
  ASSERT_TRUE(dynamic_cast<ZmqEncFrameStream*>(source.get()));
  EXPECT_EQ(source->getScale(), 1.0);
  const cv::Mat frame = SmoothImage(240, 320, 3);
  int64_t ts = 0;
  const cv::Mat got = RoundTrip(*sink, *source, frame, &ts);
  ASSERT_EQ(got.size(), frame.size());
  EXPECT_EQ(ts, 4242);
  EXPECT_GT(cv::PSNR(got, frame), 35.0);
}

TEST(TransportFactories, ShmemSinkAndSourceFromNodes) {
  const std::string name = "tesmo-test-" + std::to_string(getpid()) + "-factshm";
  cv::FileStorage fs = Memory("sink: { type: shmem, shmem_id: \"" + name + "\" }\n" +
                              "src: { type: shmem, shmem: \"" + name + "\" }\n");
  auto source = FrameStream::Create(fs["src"]);
  auto sink = VideoWrite::Create(fs["sink"]);
  ASSERT_TRUE(dynamic_cast<VideoWriteShmem*>(sink.get()));
  ASSERT_TRUE(dynamic_cast<ShmemFrameStream*>(source.get()));
  const cv::Mat frame = PatternImage(120, 160, 5);
  int64_t ts = 0;
  const cv::Mat got = RoundTrip(*sink, *source, frame, &ts);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(cv::norm(got, frame, cv::NORM_INF), 0.0);
  EXPECT_EQ(ts, 4242);
}

TEST(TransportFactoriesDeathTest, RequiredKeys) {
  cv::FileStorage fs = Memory("zmq: { type: zmq }\nenc: { type: zmq_encoded, addr: 5 }\n"
                              "shm: { type: shmem }\nsink: { type: zmq_jpeg }\n");
  EXPECT_DEATH(FrameStream::Create(fs["zmq"]), "Check failed: node\\[\"addr\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStream::Create(fs["enc"]), "Check failed: node\\[\"addr\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStream::Create(fs["shm"]), "Check failed: node\\[\"shmem\"\\].isString\\(\\) ");
  EXPECT_DEATH(VideoWrite::Create(fs["sink"]), "Check failed: node\\[\"addr\"\\].isString\\(\\) ");
}

}  // namespace
}  // namespace tesmo
