#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "streamer/private/video_writes/video_write_opencv.h"
#include "streamer/private/video_writes/video_write_seq.h"
#include "streamer/util.h"
#include "streamer/video_write.h"
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
using testing_util::runCapture;

// ffprobe's view of the first video stream of `path`: codec_name, width, height, r_frame_rate
// and nb_read_frames (frames decoded). Empty when ffprobe is missing or fails.
std::map<std::string, std::string> Probe(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(runCapture(
      {"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
       "stream=codec_name,width,height,r_frame_rate,nb_read_frames", "-of",
       "default=noprint_wrappers=1", path},
      std::chrono::seconds(60)));
  std::string text;
  while (std::getline(lines, text)) {
    while (!text.empty() && text.back() == '\r') text.pop_back();
    const size_t eq = text.find('=');
    if (eq != std::string::npos) fields[text.substr(0, eq)] = text.substr(eq + 1);
  }
  return fields;
}

bool HaveFfprobe() {
  int code = -1;
  runCapture({"ffprobe", "-version"}, std::chrono::seconds(30), {}, &code);
  return code == 0;
}

// Every frame of the video at `path` as read by OpenCV.
std::vector<cv::Mat> ReadVideo(const std::string& path) {
  std::vector<cv::Mat> frames;
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  cv::Mat frame;
  while (capture.read(frame)) frames.push_back(frame.clone());
  return frames;
}

TEST(VideoWriteSeq, WritesNumberedPngsPixelExact) {
  TempDir dir;
  const std::string prefix = dir.file("v");
  VideoWriteSeq sink(prefix);
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 3; ++i) frames.push_back(PatternFrame({64, 48}, 3, 40 * i));
  frames.push_back(PatternFrame({20, 10}, 4, 7));                    // with alpha
  frames.push_back(cv::Mat(12, 16, CV_16UC1, cv::Scalar(40000)));   // 16-bit grey
  for (size_t i = 0; i < frames.size(); ++i) sink.Publish(frames[i], 0);

  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string name = cv::format("%s-%07d.png", prefix.c_str(), static_cast<int>(i));
    SCOPED_TRACE(name);
    EXPECT_TRUE(SameImage(cv::imread(name, cv::IMREAD_UNCHANGED), frames[i]));
  }
  EXPECT_FALSE(boost::filesystem::exists(cv::format("%s-%07d.png", prefix.c_str(), 5)));
}

TEST(VideoWriteSeq, SkippedAndFailedFramesKeepTheirNumbers) {
  TempDir dir;
  const std::string prefix = dir.file("s");
  VideoWriteSeq sink(prefix);
  const cv::Mat frame = PatternFrame({64, 48});
  sink.Publish(frame, 0);
  sink.setROI({100, 0, 10, 10}, VideoWrite::Cut);  // nothing visible: no file 1
  sink.Publish(frame, 0);
  sink.setROI({}, VideoWrite::Cut);
  sink.Publish(frame, 0);
  EXPECT_TRUE(boost::filesystem::exists(prefix + "-0000000.png"));
  EXPECT_FALSE(boost::filesystem::exists(prefix + "-0000001.png"));
  EXPECT_TRUE(boost::filesystem::exists(prefix + "-0000002.png"));

  // A '%' of the prefix is part of the name.
  VideoWriteSeq percent(dir.file("100%s%d"));
  percent.Publish(frame, 0);
  EXPECT_TRUE(boost::filesystem::exists(dir.file("100%s%d-0000000.png")));

  // A directory that does not exist: publishing goes on; an error names the file at most once a
  // second, and the statistics line and FailedFrames count the failures.
  LogCapture log;
  FLAGS_v = 1;
  VideoWriteSeq missing(dir.file("no/such/dir/f"));
  const int64_t start = now();
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(missing.Publish(frame, i));
  const double seconds = (now() - start) / 1000.0;
  FLAGS_v = 0;
  const std::vector<std::string> errors = log.find(google::GLOG_ERROR, "Can't write frame");
  ASSERT_FALSE(errors.empty());
  EXPECT_LE(errors.size(), 1 + seconds);
  const std::string file = dir.file("no/such/dir/f-0000000.png");
  EXPECT_EQ(errors[0].rfind("Can't write frame to \"" + file + "\"", 0), 0u) << errors[0];
  const std::vector<std::string> statistics = log.find(google::GLOG_INFO, "number: 100, ");
  ASSERT_EQ(statistics.size(), 1u);
  EXPECT_EQ(statistics[0].substr(statistics[0].rfind(" ms")), " ms, failed: 100") << statistics[0];
  EXPECT_EQ(missing.FailedFrames(), 100);
  EXPECT_EQ(sink.FailedFrames(), 0);
}

// The fourcc's codec, the frames' size, the "fps" key (an integer or a real number) as the frame
// rate and every frame, as ffprobe and OpenCV read the video back.
TEST(VideoWriteOpenCV, VideoAgreesWithFfprobeAndReadsBack) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
  TempDir dir;
  const struct {
    const char* file;
    const char* fourcc;
    const char* fps;
    const char* codec;
    const char* rate;
  } cases[] = {{"out.avi", "MJPG", "30", "mjpeg", "30/1"},
               {"out.mp4", "mp4v", "25", "mpeg4", "25/1"},
               {"fps.avi", "MJPG", "12.5", "mjpeg", "25/2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = dir.file(c.file);
    std::vector<cv::Mat> frames;
    {
      std::shared_ptr<VideoWrite> sink = VideoWrite::Create(
          Memory(std::string("type: opencv_video\nfourcc: ") + c.fourcc + "\nfps: " + c.fps +
                 "\nfilename: \"" + path + "\"\n")
              .root());
      for (int i = 0; i < 12; ++i) {
        frames.push_back(PatternFrame({160, 120}, 3, 3 * i));
        sink->Publish(frames.back(), i);
      }
    }  // the destructor finishes the file
    const auto probe = Probe(path);
    EXPECT_EQ(probe.at("codec_name"), c.codec);
    EXPECT_EQ(probe.at("width"), "160");
    EXPECT_EQ(probe.at("height"), "120");
    EXPECT_EQ(probe.at("r_frame_rate"), c.rate);
    EXPECT_EQ(probe.at("nb_read_frames"), "12");
    const std::vector<cv::Mat> back = ReadVideo(path);
    ASSERT_EQ(back.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_GT(cv::PSNR(back[i], frames[i]), 30.0) << "frame " << i;
    }
  }
}

// No fourcc (code 0) writes uncompressed frames (YUV 4:2:0). Grey frames lose no colour, so
// they read back close to the original. A region view (not continuous in
// memory) is written through a copy.
TEST(VideoWriteOpenCV, RawVideoOfARegion) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
  TempDir dir;
  const std::string path = dir.file("raw.avi");
  std::vector<cv::Mat> frames;
  {
    VideoWriteOpenCV sink(path, "", 25.0);
    sink.setROI({10, 6, 40, 30}, VideoWrite::Cut);
    for (int i = 0; i < 5; ++i) {
      // Steps of 7 and 13 between neighbours; values in 28..227, clear of the clipping of the
      // limited-range colour conversion.
      cv::Mat grey(48, 64, CV_8UC1);
      for (int y = 0; y < grey.rows; ++y) {
        for (int x = 0; x < grey.cols; ++x) grey.at<uint8_t>(y, x) = (7 * x + 13 * y + i) % 200 + 28;
      }
      cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
      frames.push_back(grey);
      sink.Publish(frames.back(), i);
    }
  }
  const auto probe = Probe(path);
  EXPECT_EQ(probe.at("codec_name"), "rawvideo");
  EXPECT_EQ(probe.at("width"), "40");
  EXPECT_EQ(probe.at("height"), "30");
  EXPECT_EQ(probe.at("nb_read_frames"), "5");
  const std::vector<cv::Mat> back = ReadVideo(path);
  ASSERT_EQ(back.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(back[i].size(), cv::Size(40, 30));
    // Close to the region, far from the region moved by one pixel.
    const double psnr = cv::PSNR(back[i], frames[i](cv::Rect(10, 6, 40, 30)));
    EXPECT_GT(psnr, 35.0) << "frame " << i;
    EXPECT_GT(psnr, cv::PSNR(back[i], frames[i](cv::Rect(11, 6, 40, 30))) + 15.0) << "frame " << i;
  }
}

TEST(VideoWriteOpenCV, SizeChangeKeepsTheFileAndStartsANumberedOne) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
  LogCapture log;
  TempDir dir;
  const std::string path = dir.file("resize.avi");
  const struct {
    cv::Size size;
    int frames;
    std::string file;
  } runs[] = {{{64, 48}, 10, "resize.avi"}, {{80, 60}, 4, "resize-1.avi"},
              {{64, 48}, 3, "resize-2.avi"}};
  {
    VideoWriteOpenCV sink(path, "MJPG", 25.0);
    for (const auto& run : runs) {
      for (int i = 0; i < run.frames; ++i) sink.Publish(PatternFrame(run.size), i);
    }
  }
  for (const auto& run : runs) {
    SCOPED_TRACE(run.file);
    const auto probe = Probe(dir.file(run.file));
    ASSERT_FALSE(probe.empty());
    EXPECT_EQ(probe.at("width"), std::to_string(run.size.width));
    EXPECT_EQ(probe.at("height"), std::to_string(run.size.height));
    EXPECT_EQ(probe.at("nb_read_frames"), std::to_string(run.frames));
  }
  EXPECT_EQ(log.find(google::GLOG_INFO, "Frame size changed to "),
            (std::vector<std::string>{
                "Frame size changed to 80x60: recording goes on in \"" + dir.file("resize-1.avi") +
                    "\"",
                "Frame size changed to 64x48: recording goes on in \"" + dir.file("resize-2.avi") +
                    "\""}));
}

TEST(VideoWriteOpenCV, AnOutputThatCannotOpenIsLoggedOncePerSize) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.file("no-such-dir/out.avi");
  VideoWriteOpenCV sink(path, "MJPG", 25.0);
  EXPECT_TRUE(sink.Publish(PatternFrame({64, 48}), 0));
  EXPECT_TRUE(sink.Publish(PatternFrame({64, 48}), 1));
  EXPECT_EQ(log.find(google::GLOG_ERROR, "Can't open video writer: ").size(), 1u);
  EXPECT_TRUE(sink.Publish(PatternFrame({32, 24}), 2));  // a new size tries again
  EXPECT_EQ(log.find(google::GLOG_ERROR, "Can't open video writer: "),
            std::vector<std::string>(2, "Can't open video writer: " + path));
  EXPECT_FALSE(boost::filesystem::exists(path));
  EXPECT_EQ(sink.FailedFrames(), 3);
}

}  // namespace
}  // namespace tesmo
