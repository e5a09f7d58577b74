#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"
#include "streamer/img_codecs.h"
#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/private/video_writes/video_write_zmq_enc.h"
#include "streamer/video_write.h"
#include "tests/process.h"
#include "tests/streamer/transport_test_util.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using testing_util::Endpoint;
using testing_util::Memory;
using testing_util::PatternImage;
using testing_util::SmoothImage;
using testing_util::waitFor;
using testing_util::WarningCollector;

// Publishes through `sink` until `source` delivers a frame; the delivered frame or empty.
cv::Mat RoundTrip(VideoWrite& sink, FrameStream& source, const cv::Mat& frame, int64_t* ts) {
  cv::Mat got;
  const bool bGot = waitFor(
      [&] {
        sink.Publish(frame, 4242);
        return source.Next(&got, ts, /*bAllowScale=*/true);
      },
      std::chrono::seconds(20));
  return bGot ? got : cv::Mat();
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

TEST(TransportFactories, RefusesJpegQualitiesAndDropsFramesScaledPastTheBound) {
  auto sink = [](const std::string& jpeg_enc) {
    return [=] {
      VideoWrite::Create(Memory("n: { type: zmq_jpeg, addr: \"" + Endpoint("ipc", "factq") +
                                "\", jpeg_enc: " + jpeg_enc + " }\n")["n"]);
    };
  };
  const std::string range = " must be an integer in 1..100, got ";
  const std::string key = "Key \"quality\" in \"jpeg_enc\"" + range;
  // Refused when the sink or the encoder is made, not by its first frame.
  const struct {
    std::function<void()> create;
    std::string error;
  } refusals[] = {
      {sink("{ type: turbo_jpeg, quality: 1000 }"), key + "1000"},
      {sink("{ type: opencv_jpeg, quality: -5 }"), key + "-5"},
      {sink("{ type: turbo_jpeg, quality: \"best\" }"), key + "\"best\""},
      {[] { ImageEncoder::Create("jpeg", "quality=1000"); },
       "Option \"quality\" of a jpeg encoder" + range + "1000"},
      {[] { ImageEncoderJpegTurbo encoder(0); }, "JPEG quality" + range + "0"},
      {[] { ImageEncoderJpegOpenCV encoder(101); }, "JPEG quality" + range + "101"},
  };
  for (const auto& c : refusals) {
    try {
      c.create();
      ADD_FAILURE() << "no exception, expected " << c.error;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.error);
    }
  }

  // A streamed 1000x1000 frame that scale 16 would make 16000x16000 (768 MB) is dropped, before
  // anything is allocated for it, with a warning, and counted.
  const std::string addr = Endpoint("ipc", "factscale");
  const std::string shm = "tesmo-test-" + std::to_string(getpid()) + "-factscale";
  const struct {
    std::string sink;
    std::string source;
    std::string log;  // the source's name in its warnings
    uint64_t (*dropped)(FrameStream&);
  } streamed[] = {
      {"{ type: zmq, addr: \"" + addr + "\" }", "{ type: zmq, addr: \"" + addr + "\", scale: 16 }",
       "ZmqFrameStream(" + addr + ")",
       [](FrameStream& s) { return static_cast<ZmqFrameStream&>(s).dropped_messages(); }},
      {"{ type: shmem, shmem_id: \"" + shm + "\" }",
       "{ type: shmem, shmem: \"" + shm + "\", scale: 16 }", "ShmemFrameStream(" + shm + ")",
       [](FrameStream& s) { return static_cast<ShmemFrameStream&>(s).dropped_frames(); }},
  };
  const cv::Mat big = PatternImage(1000, 1000, 1);
  for (const auto& c : streamed) {
    SCOPED_TRACE(c.source);
    cv::FileStorage fs = Memory("sink: " + c.sink + "\nsrc: " + c.source + "\n");
    auto source = FrameStream::Create(fs["src"]);
    auto sink = VideoWrite::Create(fs["sink"]);
    WarningCollector warnings(c.log);
    cv::Mat frame;
    int64_t ts = 0;
    for (int i = 0; i < 200 && c.dropped(*source) == 0; ++i) {
      sink->Publish(big, 4242);
      EXPECT_FALSE(source->Next(&frame, &ts, /*bAllowScale=*/true));
    }
    EXPECT_EQ(c.dropped(*source), 1u);
    EXPECT_TRUE(frame.empty());
    ASSERT_EQ(warnings.lines().size(), 1u);
    EXPECT_NE(warnings.lines()[0].find("a 1000x1000 frame scaled by 16 is over the bound"),
              std::string::npos)
        << warnings.lines()[0];
  }
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
