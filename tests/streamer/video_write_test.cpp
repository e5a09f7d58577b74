#include "streamer/video_write.h"

#include <chrono>
#include <climits>
#include <memory>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "streamer/private/video_encoders/video_encoder_x264.h"
#include "streamer/private/video_writes/video_write_live555_rtsp.h"
#include "streamer/private/video_writes/video_write_open_async.h"
#include "tests/process.h"
#include "tests/streamer/sink_test_util.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using test::LogCapture;
using test::PatternFrame;
using test::SameImage;
using test::TempDir;
using testing_util::Memory;

const cv::Vec3b kGrey(50, 50, 50);

// Keeps a copy of every frame PublishImpl receives, with the address of its first pixel, the
// frame index it saw and its timestamp.
class RecordingSink : public VideoWrite {
 public:
  struct Call {
    cv::Mat frame;
    const uint8_t* data;
    int index;
    int64_t timestamp;
  };
  std::vector<Call> calls;

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override {
    calls.push_back({frame.clone(), frame.data, frameInd, timestamp});
    return false;
  }
};

// Counts the pixels of `image` equal to `value`.
int CountEqual(const cv::Mat& image, const cv::Vec3b& value) {
  int count = 0;
  for (auto it = image.begin<cv::Vec3b>(); it != image.end<cv::Vec3b>(); ++it) {
    count += (*it == value);
  }
  return count;
}

TEST(VideoWritePublish, WholeFrameIsPassedWithoutCopyAndCounted) {
  RecordingSink sink;
  const cv::Mat frame = PatternFrame({64, 48});
  EXPECT_FALSE(sink.Publish(cv::Mat(), 0));  // an empty frame is refused and not counted
  // PublishImpl's false result is not passed on.
  EXPECT_TRUE(sink.Publish(frame, 1000));
  EXPECT_TRUE(sink.Publish(frame, 1040));
  EXPECT_TRUE(sink.Publish(frame, 1080));
  ASSERT_EQ(sink.calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sink.calls[i].index, i);
    EXPECT_EQ(sink.calls[i].timestamp, 1000 + 40 * i);
    EXPECT_EQ(sink.calls[i].data, frame.data);
  }
}

// A far-off region is refused, since its corners would leave an int; one without positive sides
// is no region, wherever it starts.
TEST(VideoWritePublish, RegionWithoutPositiveSidesIsNoRegion) {
  RecordingSink refusing;
  EXPECT_THROW(refusing.setROI({INT_MIN, 0, 10, 10}, VideoWrite::Fill), std::invalid_argument);
  const cv::Mat frame = PatternFrame({64, 48});
  for (const cv::Rect& roi : {cv::Rect(4, 4, -5, -5), cv::Rect(4, 4, 0, 10),
                              cv::Rect(INT_MIN, INT_MIN, -5, 0)}) {
    for (VideoWrite::EROICopyStratagy stratagy : {VideoWrite::Fill, VideoWrite::Cut}) {
      RecordingSink sink;
      sink.setROI(roi, stratagy);
      sink.Publish(frame, 0);
      ASSERT_EQ(sink.calls.size(), 1u);
      EXPECT_EQ(sink.calls[0].data, frame.data);
    }
  }
}

TEST(VideoWritePublish, FillRegionInsideFrameIsAView) {
  RecordingSink sink;
  sink.setROI({10, 20, 100, 50}, VideoWrite::Fill);
  const cv::Mat frame = PatternFrame({640, 480});
  sink.Publish(frame, 0);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].data, frame.ptr<uint8_t>(20, 10));
  EXPECT_TRUE(SameImage(sink.calls[0].frame, frame(cv::Rect(10, 20, 100, 50))));
}

TEST(VideoWritePublish, FillPadsTheOutsideWithGrey) {
  const cv::Mat frame = PatternFrame({640, 480});
  struct Case {
    cv::Rect roi;
    cv::Rect visibleInFrame;
    cv::Point placedAt;
  };
  const Case cases[] = {
      {{-10, -20, 100, 50}, {0, 0, 90, 30}, {10, 20}},   // before the near edges
      {{600, 450, 100, 50}, {600, 450, 40, 30}, {0, 0}},  // past the far edges
      {{700, 0, 100, 50}, {}, {}},                        // wholly outside
      // Past both edges of the x axis: the visible part keeps its place at -x.
      {{-10, 100, 660, 50}, {0, 100, 640, 50}, {10, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "roi " << c.roi);
    RecordingSink sink;
    sink.setROI(c.roi, VideoWrite::Fill);
    sink.Publish(frame, 0);
    ASSERT_EQ(sink.calls.size(), 1u);
    const cv::Mat& out = sink.calls[0].frame;
    ASSERT_EQ(out.size(), c.roi.size());
    ASSERT_EQ(out.type(), CV_8UC3);
    const cv::Rect placed(c.placedAt, c.visibleInFrame.size());
    if (placed.area() > 0) {
      EXPECT_TRUE(SameImage(out(placed), frame(c.visibleInFrame)));
    }
    EXPECT_EQ(CountEqual(out, kGrey), c.roi.area() - placed.area());
  }
}

TEST(VideoWritePublish, FillKeepsItsPaddedImageAndZeroesAFourthChannel) {
  RecordingSink sink;
  sink.setROI({-2, -2, 8, 8}, VideoWrite::Fill);
  const cv::Mat bgra = PatternFrame({16, 16}, 4);
  sink.Publish(bgra, 0);
  sink.Publish(bgra, 0);
  ASSERT_EQ(sink.calls.size(), 2u);
  // The padded image is reused between frames of one size and type.
  EXPECT_EQ(sink.calls[0].data, sink.calls[1].data);
  const cv::Mat& out = sink.calls[1].frame;
  ASSERT_EQ(out.type(), CV_8UC4);
  EXPECT_EQ(out.at<cv::Vec4b>(0, 0), cv::Vec4b(50, 50, 50, 0));
  EXPECT_EQ(out.at<cv::Vec4b>(2, 2), bgra.at<cv::Vec4b>(0, 0));

  // A grey frame of another type gets a padded image of its own type.
  sink.Publish(cv::Mat(16, 16, CV_8UC1, cv::Scalar(7)), 0);
  ASSERT_EQ(sink.calls.size(), 3u);
  EXPECT_EQ(sink.calls[2].frame.type(), CV_8UC1);
  EXPECT_EQ(sink.calls[2].frame.at<uint8_t>(0, 0), 50);
  EXPECT_EQ(sink.calls[2].frame.at<uint8_t>(7, 7), 7);
}

TEST(VideoWritePublish, CutPassesTheVisiblePartOrNothing) {
  const cv::Mat frame = PatternFrame({640, 480});
  RecordingSink sink;
  sink.setROI({600, 450, 100, 50}, VideoWrite::Cut);
  sink.Publish(frame, 0);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].data, frame.ptr<uint8_t>(450, 600));
  EXPECT_TRUE(SameImage(sink.calls[0].frame, frame(cv::Rect(600, 450, 40, 30))));

  // Wholly outside: nothing is published, but the frame counts.
  sink.setROI({700, 0, 100, 50}, VideoWrite::Cut);
  sink.Publish(frame, 0);
  EXPECT_EQ(sink.calls.size(), 1u);
  sink.setROI({}, VideoWrite::Cut);
  sink.Publish(frame, 0);
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[1].index, 2);
}

TEST(VideoWritePublish, StatisticsLineEveryHundredFrames) {
  LogCapture log;
  FLAGS_v = 1;
  RecordingSink sink;
  // Cut removes every frame: the statistics still count them.
  sink.setROI({1000, 0, 10, 10}, VideoWrite::Cut);
  const cv::Mat frame = PatternFrame({32, 32});
  for (int i = 0; i < 250; ++i) sink.Publish(frame, i);
  FLAGS_v = 0;
  for (int i = 0; i < 50; ++i) sink.Publish(frame, i);  // 300th frame: not shown at level 0

  EXPECT_TRUE(sink.calls.empty());
  const std::vector<std::string> lines = log.find(google::GLOG_INFO, "number: ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("number: 100, avg. write time: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("number: 200, avg. write time: ", 0), 0u) << lines[1];
  for (const std::string& line : lines) {
    EXPECT_EQ(line.substr(line.size() - 3), " ms") << line;
    const std::string number = line.substr(30, line.size() - 33);
    EXPECT_GE(std::stof(number), 0.0f) << line;
  }
}

// Fails every frame by throwing.
class ThrowingSink : public VideoWrite {
 protected:
  bool PublishImpl(const cv::Mat& /*frame*/, int64_t /*timestamp*/) override {
    throw std::runtime_error("sink failure");
  }
};

// FailedFrames counts the frames a sink could not deliver: PublishImpl's false results, and behind
// the asynchronous wrapper the wrapped sink's failures and the frames its exceptions cost.
TEST(VideoWritePublish, FailedFramesCountWhatTheSinkCouldNotDeliver) {
  const struct {
    const char* what;
    bool bAsync;
    bool bThrowing;
    cv::Rect roi;
    int failedPerFrame;
  } cases[] = {
      {"failing sink", false, false, {}, 1},
      {"frames that Cut removes", false, false, {1000, 0, 10, 10}, 0},
      {"failing sink behind the wrapper", true, false, {}, 1},
      {"throwing sink behind the wrapper", true, true, {}, 1},
  };
  const cv::Mat frame = PatternFrame({32, 32});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::shared_ptr<VideoWrite> inner = c.bThrowing ? std::shared_ptr<VideoWrite>(
                                                          std::make_shared<ThrowingSink>())
                                                    : std::make_shared<RecordingSink>();
    inner->setROI(c.roi, VideoWrite::Cut);
    ::testing::internal::CaptureStdout();  // the wrapper's line at its destruction
    std::shared_ptr<VideoWrite> sink =
        c.bAsync ? std::make_shared<VideoWriteOpenAsync>(inner) : inner;
    for (int i = 0; i < 5; ++i) {
      sink->Publish(frame, i);
      // Each frame is taken by the worker before the next one comes: none is dropped.
      const int expected = c.failedPerFrame * (i + 1);
      EXPECT_TRUE(testing_util::waitFor([&] { return sink->FailedFrames() == expected; },
                                        std::chrono::milliseconds(10000)))
          << sink->FailedFrames() << " after frame " << i;
    }
    sink.reset();
    ::testing::internal::GetCapturedStdout();
  }
}

// The factory's sinks are checked through PNG sequences that they write.
class VideoWriteCreate : public ::testing::Test {
 protected:
  // Publishes `frames` frames of a 640x480 pattern through a "frame_sequence" sink built from
  // `extraKeys` and returns the written images in order (empty Mat where a file is missing).
  std::vector<cv::Mat> writeSequence(const std::string& extraKeys, int frames = 1) {
    const std::string prefix = dir.file("seq");
    std::shared_ptr<VideoWrite> sink = VideoWrite::Create(
        Memory("type: frame_sequence\nprefix: \"" + prefix + "\"\n" + extraKeys).root());
    for (int i = 0; i < frames; ++i) sink->Publish(frame, i);
    sink.reset();  // an asynchronous wrapper finishes here
    std::vector<cv::Mat> images;
    for (int i = 0; i < frames; ++i) {
      images.push_back(cv::imread(cv::format("%s-%07d.png", prefix.c_str(), i),
                                  cv::IMREAD_UNCHANGED));
    }
    return images;
  }

  TempDir dir;
  const cv::Mat frame = PatternFrame({640, 480});
};

TEST_F(VideoWriteCreate, RegionKeys) {
  const cv::Mat fullFrame = frame;
  const cv::Mat cut = frame(cv::Rect(600, 450, 40, 30));
  EXPECT_TRUE(SameImage(writeSequence("")[0], fullFrame));
  EXPECT_TRUE(SameImage(writeSequence("roi: [600, 450, 100, 50]\nroi_copy_stratagy: cut\n")[0],
                        cut));

  // Fill is the default.
  for (const char* keys : {"roi: [600, 450, 100, 50]\n",
                           "roi: [600, 450, 100, 50]\nroi_copy_stratagy: fill\n"}) {
    SCOPED_TRACE(keys);
    const cv::Mat out = writeSequence(keys)[0];
    ASSERT_EQ(out.size(), cv::Size(100, 50));
    EXPECT_TRUE(SameImage(out(cv::Rect(0, 0, 40, 30)), cut));
    EXPECT_EQ(CountEqual(out, kGrey), 100 * 50 - 40 * 30);
  }
}

TEST_F(VideoWriteCreate, AsyncWrapsTheSinkAndKeepsItsRegion) {
  std::shared_ptr<VideoWrite> sink = VideoWrite::Create(
      Memory("type: frame_sequence\nprefix: \"" + dir.file("a") + "\"\nasync: yes\n").root());
  EXPECT_NE(std::dynamic_pointer_cast<VideoWriteOpenAsync>(sink), nullptr);
  sink.reset();

  ::testing::internal::CaptureStdout();
  const std::vector<cv::Mat> out =
      writeSequence("async: true\nroi: [600, 450, 100, 50]\nroi_copy_stratagy: cut\n");
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(SameImage(out[0], frame(cv::Rect(600, 450, 40, 30))));
}

TEST_F(VideoWriteCreate, CreationLogLines) {
  LogCapture log;
  const std::string prefix = dir.file("p");
  VideoWrite::Create(Memory("type: frame_sequence\nprefix: \"" + prefix + "\"\n").root());
  VideoWrite::Create(Memory("type: opencv_video\n").root());
  VideoWrite::Create(
      Memory("type: opencv_video\nfilename: \"" + dir.file("o.avi") + "\"\n").root());
  EXPECT_EQ(log.find(google::GLOG_INFO, "Created VideoWriteSeq writer, prefix:"),
            std::vector<std::string>{"Created VideoWriteSeq writer, prefix:" + prefix});
  EXPECT_EQ(log.find(google::GLOG_INFO, "Created OpenCV writer, filename:"),
            (std::vector<std::string>{"Created OpenCV writer, filename:\"output.mp4\"",
                                      "Created OpenCV writer, filename:\"" + dir.file("o.avi") +
                                          "\""}));
}

TEST(VideoWriteCreateErrors, RefusesOptionalKeysOfTheWrongTypeOrValue) {
  const struct {
    const char* yaml;
    const char* error;  // a part of the message
  } cases[] = {
      {"type: opencv_video\nfps: \"30\"\n", "Key \"fps\" in \"video_writes/opencv_video\""},
      {"type: opencv_video\nfps: -5\n", "Key \"fps\" in \"video_writes/opencv_video\" must be "
                                         "a number above 0, got -5"},
      {"type: opencv_video\nfilename: 5\n", "Key \"filename\" in \"video_writes/opencv_video\""},
      {"type: opencv_video\nfourcc: [M, J]\n", "Key \"fourcc\""},
      {"type: frame_sequence\nprefix: a\nroi: [600, 450, 100]\n",
       "Key \"roi\" in \"video_writes/frame_sequence\" must be a sequence of 4 integers x, y, "
       "width, height, got a sequence"},
      {"type: frame_sequence\nprefix: a\nroi: [600, 450, 100.5, 50]\n", "Key \"roi\""},
      {"type: frame_sequence\nprefix: a\nroi: [-2147483648, -2147483648, 2147483647, 9]\n",
       "Key \"roi\" in \"video_writes/frame_sequence\" must be a region within the frame bound"},
      {"type: frame_sequence\nprefix: a\nroi: [0, 0, 10000, 10000]\n", "frame bound"},
      {"type: frame_sequence\nprefix: a\nroi_copy_stratagy: 1\n", "Key \"roi_copy_stratagy\""},
      {"type: wnd\ndelay: \"1\"\n", "Key \"delay\" in \"video_writes/wnd\""},
      {"type: shmem\nshmem_id: 4\n", "Key \"shmem_id\" in \"video_writes/shmem\""},
      {"type: zmq_jpeg\naddr: \"tcp://127.0.0.1:1\"\njpeg_enc: 80\n",
       "Key \"jpeg_enc\" in \"video_writes/zmq_jpeg\" must be a map, got 80"},
      {"type: rtsp\nport: \"8554\"\n", "Key \"port\" in \"video_writes/rtsp\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    try {
      VideoWrite::Create(Memory(c.yaml).root());
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

TEST(VideoWriteCreateErrors, UnknownTypesAndRtspWithoutItsLibrariesThrow) {
  const std::pair<const char*, const char*> cases[] = {
      {"type: jpeg\n", "Unknown data format: jpeg"},
      {"type: rtsp\n", "build with x264"},
      {"type: rtsp\nport: 9000\nh264_enc: { type: x264, fps: 30 }\n", "build with x264"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    try {
      VideoWrite::Create(Memory(c.first).root());
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.second);
    }
  }
  EXPECT_THROW(VideoEncoderX264(), std::runtime_error);
  try {
    VideoWriteLive555RTSP(8558, "sensors_video", nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "build with livemedia");
  }
}

TEST(VideoWriteCreateDeathTest, ConfigurationErrorsEndTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(VideoWrite::Create(Memory("prefix: a\n").root()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoWrite::Create(Memory("type: 3\n").root()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoWrite::Create(Memory("type: frame_sequence\n").root()),
               "Check failed: node\\[\"prefix\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoWrite::Create(Memory("type: frame_sequence\nprefix: [a]\n").root()),
               "Check failed: node\\[\"prefix\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoWrite::Create(
                   Memory("type: frame_sequence\nprefix: a\nroi_copy_stratagy: Fill\n").root()),
               "Check failed: 0 Wrong \"rio_copy_stratag\"");
  EXPECT_DEATH(VideoWrite::Create(Memory("type: rtsp\nh264_enc: { type: x265 }\n").root()),
               "Unknown video encoder type: x265");
}

}  // namespace
}  // namespace tesmo
