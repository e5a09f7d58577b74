#include <chrono>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "streamer/private/frame_streams/img_frame_stream.h"
#include "streamer/private/frame_streams/ocv_frame_stream.h"
#include "streamer/private/frame_streams/ocv_gpu_frame_stream.h"
#include "streamer/private/frame_streams/replay_video_frame_stream.h"
#include "streamer/util.h"
#include "tests/streamer/frame_source_test_util.h"

namespace tesmo {
namespace {

using testing_util::FrameIndexOf;
using testing_util::TempDir;
using testing_util::WriteIndexedVideo;

const cv::Size kSize(64, 48);

TEST(RemoveComments, DropsBracketedGroups) {
  EXPECT_EQ(RemoveComments("rec/cam1[left, 30 fps]", '[', ']'), "rec/cam1");
  EXPECT_EQ(RemoveComments("a[b[c]d]e", '[', ']'), "ae");
  EXPECT_EQ(RemoveComments("[x]a(b)[y]", '[', ']'), "a(b)");
  EXPECT_EQ(RemoveComments("", '[', ']'), "");
  EXPECT_DEATH(RemoveComments("a]b[", '[', ']'), "Check failed: group_nest_state >= 0");
  EXPECT_DEATH(RemoveComments("a[b", '[', ']'), "Check failed: group_nest_state == 0");
  EXPECT_DEATH(RemoveComments("ab", '|', '|'), "Check failed: open != close");
}

class ReplayTest : public ::testing::Test {
 protected:
  // A recording rec.avi of `frames` frames with the companion list `list`.
  std::string Record(int frames, const std::string& list) {
    WriteIndexedVideo(dir_.file("rec.avi"), frames, kSize);
    std::ofstream(dir_.file("rec.timestamp")) << list;
    return dir_.file("rec.avi");
  }

  TempDir dir_;
};

TEST_F(ReplayTest, DeliversListedFramesWithRecordedTimestamps) {
  ReplayVideoFrameStream stream(/*scale=*/0.5, Record(8, "0 1000\n  2 1080 extra words\n5\t1200\n\n"));
  EXPECT_EQ(stream.getScale(), 1.0);
  const int expected_index[] = {0, 2, 5};
  const int64_t expected_ts[] = {1000, 1080, 1200};
  for (int i = 0; i < 3; ++i) {
    cv::Mat frame;
    int64_t ts = 0;
    ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/true)) << i;
    EXPECT_EQ(frame.size(), kSize);
    EXPECT_EQ(FrameIndexOf(frame), expected_index[i]);
    EXPECT_EQ(ts, expected_ts[i]);
  }
  for (int i = 0; i < 2; ++i) {
    cv::Mat frame(kSize, CV_8UC3);
    int64_t ts = 0;
    EXPECT_FALSE(stream.Next(&frame, &ts, /*bAllowScale=*/true));
    EXPECT_EQ(ts, -1);
    EXPECT_TRUE(frame.empty());
  }
}

TEST_F(ReplayTest, ListLongerThanTheVideoEndsAtTheVideosEnd) {
  ReplayVideoFrameStream stream(1.0, Record(3, "0 10\n1 20\n2 30\n3 40\n4 50\n"));
  cv::Mat frame;
  int64_t ts = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream.Next(&frame, &ts, true));
  for (int i = 0; i < 2; ++i) {
    ts = 0;
    EXPECT_FALSE(stream.Next(&frame, &ts, true));
    EXPECT_EQ(ts, -1);
    EXPECT_TRUE(frame.empty());
  }
  // Without a timestamp argument the stream behaves the same.
  EXPECT_FALSE(stream.Next(&frame, nullptr, true));
}

TEST_F(ReplayTest, RepeatedIndexLeavesTheCallersImage) {
  ReplayVideoFrameStream stream(1.0, Record(3, "-1 50\n0 100\n0 150\n2 200\n"));
  cv::Mat frame;
  int64_t ts = 0;
  EXPECT_FALSE(stream.Next(&frame, &ts, true));  // -1: no frame of the video
  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(FrameIndexOf(frame), 0);
  EXPECT_EQ(ts, 100);

  // Frame 0 again: no frame, the caller's image and timestamp untouched.
  cv::Mat mine(4, 4, CV_8UC3, cv::Scalar::all(7));
  EXPECT_FALSE(stream.Next(&mine, &ts, true));
  EXPECT_EQ(ts, 100);
  EXPECT_EQ(mine.size(), cv::Size(4, 4));
  EXPECT_EQ(mine.at<cv::Vec3b>(0, 0), cv::Vec3b(7, 7, 7));

  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(FrameIndexOf(frame), 2);
  EXPECT_EQ(ts, 200);
}

TEST_F(ReplayTest, FileNamesComeFromThePrefix) {
  // Without an extension the video is prefix + ".mp4" (the container is probed by content); with
  // one, as in Record, the prefix itself.
  WriteIndexedVideo(dir_.file("run7.mp4"), 1, kSize);
  std::ofstream(dir_.file("run7.timestamp")) << "0 5\n";
  ReplayVideoFrameStream bare(1.0, dir_.file("run7[front camera]"));
  int64_t ts = 0;
  cv::Mat frame;
  ASSERT_TRUE(bare.Next(&frame, &ts, true));
  EXPECT_EQ(ts, 5);

  EXPECT_DEATH(ReplayVideoFrameStream(1.0, dir_.file("run9.avi")),
               "Check failed: f.is_open\\(\\) \".*run9.timestamp\"");
  std::ofstream(dir_.file("run9.timestamp")) << "0 6\n";
  EXPECT_DEATH(ReplayVideoFrameStream(1.0, dir_.file("run9.avi")),
               "Check failed: video_.isOpened\\(\\) \".*run9.avi\"");
}

TEST_F(ReplayTest, RealtimeWrapperPacesFromTheFirstFrame) {
  // time_delta -50: the constructor consumes frame 0; frame 1 is due 90 ms after construction
  // and frame 2 2590 ms, however late frame 1 was taken. Frame 2 is held back: a call waits one
  // slice at most, leaving the caller's image.
  auto replay = std::make_shared<ReplayVideoFrameStream>(
      1.0, Record(3, "0 100000\n1 100040\n2 102540\n"));
  const auto start = std::chrono::steady_clock::now();
  ReplayRealtimeFrameStream stream(replay, /*time_delta=*/-50, /*preserve_timestamps=*/false);
  auto elapsed_ms = [&] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };
  cv::Mat frame;
  int64_t ts = 0;
  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(FrameIndexOf(frame), 1);
  EXPECT_GE(elapsed_ms(), 88);
  // Not preserved: stamped with the system time at delivery.
  EXPECT_LE(std::abs(ts - now()), 1000);

  for (int i = 0; i < 2; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(stream.Next(&frame, &ts, true));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  }
  EXPECT_EQ(FrameIndexOf(frame), 1);
  bool got = false;
  for (int i = 0; i < 100 && !got; ++i) got = stream.Next(&frame, &ts, true);  // a slice each
  ASSERT_TRUE(got);
  EXPECT_EQ(FrameIndexOf(frame), 2);
  EXPECT_GE(elapsed_ms(), 2588);
  EXPECT_FALSE(stream.Next(&frame, &ts, true));

  // A first entry that names no frame: the first frame read is the reference, due 50 ms later.
  auto skipped = std::make_shared<ReplayVideoFrameStream>(
      1.0, Record(2, "-1 5\n0 100000\n1 100040\n"));
  ReplayRealtimeFrameStream late_start(skipped, /*time_delta=*/-50, /*preserve_timestamps=*/true);
  ASSERT_TRUE(late_start.Next(&frame, &ts, true));
  EXPECT_EQ(ts, 100000);
  ASSERT_TRUE(late_start.Next(&frame, &ts, true));
  EXPECT_EQ(ts, 100040);
}

TEST_F(ReplayTest, RealtimeWrapperHoldsBackFramesDueBeyondTheClocksRange) {
  // Offsets that leave int64 are held at its limit: such frames are never due.
  const struct {
    const char* list;
    int64_t time_delta;
  } cases[] = {
      {"0 -9223372036854775808\n1 9223372036854775807\n", -1},
      {"0 100\n1 200\n", std::numeric_limits<int64_t>::min()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    auto replay = std::make_shared<ReplayVideoFrameStream>(1.0, Record(2, c.list));
    ReplayRealtimeFrameStream stream(replay, c.time_delta, /*preserve_timestamps=*/true);
    cv::Mat frame;
    EXPECT_FALSE(stream.Next(&frame, nullptr, true));
  }
}

TEST_F(ReplayTest, RealtimeWrapperWithPositiveDeltaKeepsTimestamps) {
  // Frames recorded in the near future relative to now: each waits for its own time.
  const int64_t t0 = now();
  auto replay = std::make_shared<ReplayVideoFrameStream>(
      1.0, Record(2, "0 " + std::to_string(t0) + "\n1 " + std::to_string(t0 + 20) + "\n"));
  ReplayRealtimeFrameStream stream(replay, /*time_delta=*/60, /*preserve_timestamps=*/true);
  cv::Mat frame;
  int64_t ts = 0;
  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(ts, t0);
  EXPECT_GE(now(), t0 + 60);
  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(ts, t0 + 20);
  EXPECT_GE(now(), t0 + 80);
  EXPECT_LT(now(), t0 + 600);
}

TEST(OcvFrameStream, ReadsScalesAndRestartsAfterReconnect) {
  TempDir dir;
  const std::string path = dir.file("clip.avi");
  WriteIndexedVideo(path, 3, cv::Size(640, 480));

  OcvFrameStream stream(/*scale=*/0.5, path);
  EXPECT_FALSE(stream.isOpend());  // nothing is opened before the first Next
  cv::Mat frame;
  int64_t ts = 0;
  const int64_t before = now();
  ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/true));
  EXPECT_TRUE(stream.isOpend());
  EXPECT_EQ(frame.size(), cv::Size(320, 240));
  EXPECT_EQ(FrameIndexOf(frame), 0);
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, now());
  ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/false));
  EXPECT_EQ(frame.size(), cv::Size(640, 480));
  EXPECT_EQ(FrameIndexOf(frame), 1);
  ASSERT_TRUE(stream.Next(&frame, nullptr, /*bAllowScale=*/true));
  EXPECT_EQ(FrameIndexOf(frame), 2);

  // The end of the file: false, then the live reader's reconnect starts it again.
  EXPECT_FALSE(stream.Next(&frame, &ts, true));
  EXPECT_TRUE(stream.reconnect());
  ASSERT_TRUE(stream.Next(&frame, &ts, true));
  EXPECT_EQ(FrameIndexOf(frame), 0);

  OcvFrameStream unscaled(1.0, path);
  ASSERT_TRUE(unscaled.Next(&frame, &ts, true));
  EXPECT_EQ(frame.size(), cv::Size(640, 480));

  // A scale that would make the frame 19200 pixels wide drops it instead.
  OcvFrameStream huge(30.0, path);
  EXPECT_FALSE(huge.Next(&frame, &ts, true));
  ASSERT_TRUE(huge.Next(&frame, &ts, /*bAllowScale=*/false));
}

TEST(OcvFrameStreams, MissingSourceOnlyFailsNext) {
  TempDir dir;
  const std::string absent = dir.file("absent.avi");
  OcvFrameStream host(1.0, absent);
  ::testing::internal::CaptureStdout();
  OcvGpuFrameStream gpuSource(1.0, absent);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Creata OcvGpuFrameStream(filename = " + absent + ")\n");
  for (FrameStream* stream : std::initializer_list<FrameStream*>{&host, &gpuSource}) {
    cv::Mat frame;
    int64_t ts = 0;
    EXPECT_FALSE(stream->Next(&frame, &ts, true));
    EXPECT_FALSE(stream->isOpend());
    EXPECT_FALSE(stream->reconnect());
    EXPECT_FALSE(stream->Next(&frame, &ts, true));
  }
  EXPECT_DEATH(OcvFrameStream(0.0, absent), "Check failed: scale > 0 ");
  EXPECT_DEATH(OcvGpuFrameStream(0.0, absent), "Check failed: scale > 0 ");
}

// Resident memory of this process in kB.
long ResidentKb() {
  long size = 0, pages = 0;
  std::ifstream("/proc/self/statm") >> size >> pages;
  return pages * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(OcvFrameStream, FailedReconnectsKeepMemoryFlat) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
  // The live reader reopens a missing source after every failed read, for as long as it is gone.
  TempDir dir;
  const std::string names[] = {"/dev/video-tesmo-absent", dir.file("absent.avi"),
                               "rtsp://127.0.0.1:1/absent"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    OcvFrameStream stream(1.0, name);
    cv::Mat frame;
    EXPECT_FALSE(stream.Next(&frame));
    int opened = 0;
    for (int i = 0; i < 20; ++i) opened += stream.reconnect();
    const long before = ResidentKb();
    for (int i = 0; i < 1000; ++i) opened += stream.reconnect();
    EXPECT_LT(ResidentKb() - before, 4096);
    EXPECT_EQ(opened, 0);
  }
}

// Both Next forms of "ocv_gpu" against OpenCV's host capture of the same textured MJPG file,
// resized as the source resizes.
TEST(OcvGpuFrameStream, ReadsIntoGpuAndHostImagesAsTheHostCaptureDoes) {
  TempDir dir;
  const std::string path = dir.file("clip.avi");
  const cv::Size size(64, 48);
  {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size);
    ASSERT_TRUE(writer.isOpened());
    cv::Mat texture(size, CV_8UC3);
    for (int i = 0; i < 3; ++i) {
      cv::randu(texture, 0, 256);
      writer.write(texture);
    }
  }
  for (const bool bAllowScale : {true, false}) {
    SCOPED_TRACE(bAllowScale);
    const cv::Size scaled = bAllowScale ? cv::Size(32, 24) : size;
    OcvGpuFrameStream gpuSource(0.5, path), host(0.5, path);
    EXPECT_FALSE(gpuSource.isOpend());  // nothing is opened before the first Next
    cv::VideoCapture capture(path);
    gpu::Stream stream;
    gpu::Image gpuFrame;
    cv::Mat hostFrame, downloaded, expected, first;
    for (int i = 0; i < 3; ++i) {
      int64_t ts = 0;
      const int64_t before = now();
      ASSERT_TRUE(gpuSource.Next(&gpuFrame, &ts, bAllowScale, stream)) << i;
      EXPECT_GE(ts, before);
      gpu::download(gpuFrame, downloaded, stream);
      ASSERT_TRUE(host.Next(&hostFrame, &ts, bAllowScale)) << i;
      ASSERT_TRUE(capture.read(expected));
      if (expected.size() != scaled) cv::resize(expected, expected, scaled);
      ASSERT_EQ(downloaded.size(), scaled);
      EXPECT_EQ(cv::norm(downloaded, expected, cv::NORM_INF), 0) << i;
      EXPECT_EQ(cv::norm(hostFrame, expected, cv::NORM_INF), 0) << i;
      if (i == 0) first = expected.clone();
    }
    // The end of the file: false; the reconnect starts it again from the first frame.
    EXPECT_FALSE(gpuSource.Next(&gpuFrame, nullptr, bAllowScale, stream));
    EXPECT_FALSE(host.Next(&hostFrame, nullptr, bAllowScale));
    ASSERT_TRUE(gpuSource.reconnect() && gpuSource.isOpend());
    ASSERT_TRUE(gpuSource.Next(&gpuFrame, nullptr, bAllowScale, stream));
    gpu::download(gpuFrame, downloaded, stream);
    EXPECT_EQ(cv::norm(downloaded, first, cv::NORM_INF), 0);
  }
}

TEST(ImgFrameStream, ScalesOnceAndDeliversCopies) {
  TempDir dir;
  const std::string path = dir.file("still.png");
  cv::Mat image(501, 1001, CV_8UC3);
  cv::randu(image, 0, 256);
  ASSERT_TRUE(cv::imwrite(path, image));

  ImgFrameStream stream(/*scale=*/0.5, path);
  EXPECT_TRUE(stream.isOpend());
  EXPECT_TRUE(stream.reconnect());
  cv::Mat frame;
  int64_t ts = 0;
  const int64_t before = now();
  ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(frame.size(), cv::Size(501, 251));
  EXPECT_GE(ts, before);
  ASSERT_TRUE(stream.Next(&frame));  // the short form allows scaling
  EXPECT_EQ(frame.size(), cv::Size(501, 251));
  ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/false));
  EXPECT_EQ(frame.size(), cv::Size(1001, 501));
  EXPECT_EQ(cv::norm(frame, image, cv::NORM_INF), 0);

  // A caller that writes into its frame does not change the next one.
  frame.setTo(cv::Scalar::all(0));
  ASSERT_TRUE(stream.Next(&frame, &ts, /*bAllowScale=*/false));
  EXPECT_EQ(cv::norm(frame, image, cv::NORM_INF), 0);

  // A grey image is delivered as 8-bit BGR like every other frame.
  const std::string grey_path = dir.file("grey.png");
  ASSERT_TRUE(cv::imwrite(grey_path, cv::Mat(8, 10, CV_8UC1, cv::Scalar(90))));
  ImgFrameStream grey(1.0, grey_path);
  ASSERT_TRUE(grey.Next(&frame, &ts, true));
  EXPECT_EQ(frame.type(), CV_8UC3);
  EXPECT_EQ(frame.size(), cv::Size(10, 8));

  EXPECT_DEATH(ImgFrameStream(1.0, dir.file("absent.png")), "Check failed: !frame.empty\\(\\) ");
}

}  // namespace
}  // namespace tesmo
