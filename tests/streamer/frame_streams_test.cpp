#include "streamer/frame_streams.h"

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "streamer/frame_stream.h"
#include "streamer/private/frame_streams/replay_video_frame_stream.h"
#include "tests/streamer/frame_source_test_util.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using testing_util::Memory;
using testing_util::TempDir;

class FrameStreamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.file("img.png");
    ASSERT_TRUE(cv::imwrite(image_, cv::Mat(40, 60, CV_8UC3, cv::Scalar(1, 2, 3))));
  }
  // An "img" source node of the image, with extra keys.
  std::string Img(const std::string& extra = "") const {
    return "{ type: img, filename: \"" + image_ + "\"" + extra + " }";
  }

  TempDir dir_;
  std::string image_;
};

TEST_F(FrameStreamsTest, SortsByNameBytewiseAndIndexesByPosition) {
  cv::FileStorage fs = Memory("camera_streams:\n  cam10: " + Img() + "\n  cam2: " +
                              Img(", scale: 0.5") + "\n  back: " + Img() + "\n");
  FrameStreams streams(fs);
  ASSERT_EQ(streams.size(), 3u);
  const std::vector<std::string> names = {"back", "cam10", "cam2"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(streams[i].name, names[i]);
    EXPECT_EQ(streams[i].ind, i);
    EXPECT_EQ(streams.frameStreamsMap.at(names[i]).get(), streams.frameStreams[i].get());
  }
  EXPECT_EQ(streams[0].stream->getScale(), 1.0);
  EXPECT_EQ(streams[2].stream->getScale(), 0.5);

  std::vector<cv::Mat> frames;
  streams.readFrames(&frames, /*bAllowScale=*/true);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].size(), cv::Size(60, 40));
  EXPECT_EQ(frames[2].size(), cv::Size(30, 20));
  streams.readFrames(&frames, /*bAllowScale=*/false);
  EXPECT_EQ(frames[2].size(), cv::Size(60, 40));
}

TEST_F(FrameStreamsTest, EmptyMapAndFileForms) {
  EXPECT_EQ(FrameStreams(Memory("camera_streams: {}\n")).size(), 0u);

  const std::string config = dir_.file("config.yml");
  std::ofstream(config) << "%YAML:1.0\ncamera_streams:\n  front: " << Img() << "\n";
  FrameStreams streams(config);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].name, "front");
  EXPECT_TRUE(FrameStream::Create(config, "front")->isOpend());
}

TEST_F(FrameStreamsTest, ConfigurationErrorsAreFatal) {
  EXPECT_DEATH(FrameStreams(dir_.file("absent.yml")),
               "Check failed: fs.isOpened\\(\\) Can't open config file");
  EXPECT_DEATH(FrameStreams(Memory("camera_streams: [ 1, 2 ]\n")),
               "Check failed: cams.isMap\\(\\) \"cameras_manager\" node isn't \"map\" or absent");
  EXPECT_DEATH(FrameStreams(Memory("other: 1\n")), "Check failed: cams.isMap\\(\\) ");
  EXPECT_DEATH(FrameStreams(Memory("camera_streams:\n  a: { filename: x }\n")),
               "Check failed: node\\[\"type\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStreams(Memory("camera_streams:\n  a: { type: img }\n")),
               "Check failed: node\\[\"filename\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStreams(Memory("camera_streams:\n  a: { type: ocv, filename: 3 }\n")),
               "Check failed: node\\[\"filename\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStreams(Memory("camera_streams:\n  a: { type: replay_video }\n")),
               "Check failed: node\\[\"prefix\"\\].isString\\(\\) ");

  const std::string config = dir_.file("config.yml");
  std::ofstream(config) << "%YAML:1.0\ncamera_streams:\n  front: " << Img() << "\n";
  EXPECT_DEATH(FrameStream::Create(config, "rear"), "Check failed: node\\[\"type\"\\].isString\\(\\) ");
  EXPECT_DEATH(FrameStream::Create(dir_.file("absent.yml"), "front"),
               "Check failed: Fs.isOpened\\(\\) ");
}

TEST_F(FrameStreamsTest, RefusesUnknownTypesKeysOfTheWrongTypeOrRangeAndTwinNames) {
  testing_util::WriteIndexedVideo(dir_.file("rec.avi"), 1, cv::Size(32, 16));
  std::ofstream(dir_.file("rec.timestamp")) << "0 1000\n";
  const std::string replay = "{ type: replay_video, prefix: \"" + dir_.file("rec.avi") + "\"";
  const struct {
    std::string node;
    std::string error;  // a part of the message
  } cases[] = {
      {Img(", scale: \"0.5\""), "Key \"scale\" in \"camera_streams/front\""},
      {Img(", scale: 0"), "Key \"scale\" in \"camera_streams/front\" must be a number above 0 "
                          "and at most 16384, got 0"},
      {Img(", scale: 1e6"), "got 1000000"},
      // The 60x40 image would be 30000 pixels wide.
      {Img(", scale: 500"), "must be a factor that keeps a 60x40 frame within 16384 pixels on a "
                            "side and 268435456 bytes, got 500"},
      // 12000x8000 pixels: within the sides, 288 MB.
      {Img(", scale: 200"), "Key \"scale\" in \"camera_streams/front\" must be a factor that "
                            "keeps a 60x40 frame within 16384 pixels on a side and 268435456 "
                            "bytes, got 200"},
      {replay + ", realtime: true }", "Key \"realtime\" in \"camera_streams/front\""},
      {replay + ", realtime: 1, time_delta: \"-500\" }", "Key \"time_delta\""},
      {"{ type: zmq, addr: \"tcp://127.0.0.1:1\", preserve_timestamps: no }",
       "Key \"preserve_timestamps\" in \"camera_streams/front\""},
      {Img() + "\n  front: " + Img(), "Two sources named \"front\" under \"camera_streams\""},
      {Img() + "\n  rear: { type: webcam }", "Unknown video capture type: webcam"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node);
    try {
      FrameStreams streams(Memory("camera_streams:\n  front: " + c.node + "\n"));
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

TEST_F(FrameStreamsTest, ReadFramesEndsTheProcessOnAMissingFrame) {
  // A replay whose list is empty never yields a frame.
  testing_util::WriteIndexedVideo(dir_.file("rec.avi"), 1, cv::Size(32, 16));
  std::ofstream(dir_.file("rec.timestamp")) << "";
  cv::FileStorage fs = Memory("camera_streams:\n  a: " + Img() +
                              "\n  b: { type: replay_video, prefix: \"" + dir_.file("rec.avi") +
                              "\" }\n");
  FrameStreams streams(fs);
  std::vector<cv::Mat> frames;
  EXPECT_DEATH(streams.readFrames(&frames, /*bAllowScale=*/true), "Can't read frame from camera b");
}

TEST_F(FrameStreamsTest, ReplayIsWrappedOnlyForAnIntegerRealtime) {
  testing_util::WriteIndexedVideo(dir_.file("rec.avi"), 2, cv::Size(32, 16));
  std::ofstream(dir_.file("rec.timestamp")) << "0 1000\n1 1040\n";
  const std::string replay = "{ type: replay_video, prefix: \"" + dir_.file("rec.avi") + "\"";
  auto create = [&](const std::string& extra) {
    cv::FileStorage fs = Memory("node: " + replay + extra + " }\n");
    return FrameStream::Create(fs["node"]);
  };
  // The replay ignores its scale: intrinsics of replayed cameras stay unscaled.
  std::shared_ptr<FrameStream> plain = create(", scale: 0.5");
  EXPECT_NE(dynamic_cast<ReplayVideoFrameStream*>(plain.get()), nullptr);
  EXPECT_EQ(plain->getScale(), 1.0);
  EXPECT_NE(dynamic_cast<ReplayVideoFrameStream*>(create(", realtime: 0").get()), nullptr);

  // time_delta 0 and preserved timestamps: an old recording comes out at once, as recorded.
  std::shared_ptr<FrameStream> realtime = create(", realtime: 1");
  ASSERT_NE(dynamic_cast<ReplayRealtimeFrameStream*>(realtime.get()), nullptr);
  cv::Mat frame;
  int64_t ts = 0;
  ASSERT_TRUE(realtime->Next(&frame, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 1000);
  ASSERT_TRUE(realtime->Next(&frame, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 1040);
  EXPECT_FALSE(realtime->Next(&frame, &ts, /*bAllowScale=*/true));
}

}  // namespace
}  // namespace tesmo
