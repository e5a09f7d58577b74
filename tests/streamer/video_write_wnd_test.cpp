#include "streamer/private/video_writes/video_write_wnd.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include "streamer/video_write.h"
#include "tests/process.h"
#include "tests/streamer/sink_test_util.h"
#include "tests/xvfb.h"

namespace tesmo {
namespace {

using test::PatternFrame;
using test::YamlNode;

using testing_util::runCapture;
using testing_util::Xvfb;

class VideoWriteWndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new Xvfb("800x600x24");
    if (!xvfb_->display().empty()) setenv("DISPLAY", xvfb_->display().c_str(), 1);
    unsetenv("QT_QPA_PLATFORM");
  }
  static void TearDownTestSuite() {
    cv::destroyAllWindows();
    delete xvfb_;
    xvfb_ = nullptr;
  }
  void SetUp() override {
    if (xvfb_->display().empty()) GTEST_SKIP() << "Xvfb (Debian package xvfb) could not be started";
  }

  static Xvfb* xvfb_;
};

Xvfb* VideoWriteWndTest::xvfb_ = nullptr;

TEST_F(VideoWriteWndTest, ShowsFramesInANamedWindow) {
  std::shared_ptr<VideoWrite> sink =
      VideoWrite::Create(YamlNode("type: wnd\nname: tesmo_sink_window\ndelay: 1\n").node());
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(sink->Publish(PatternFrame({160, 120}, 3, i), i));
  EXPECT_GT(cv::getWindowProperty("tesmo_sink_window", cv::WND_PROP_VISIBLE), 0.0);
  int code = -1;
  runCapture({"xdotool", "version"}, std::chrono::seconds(30), {}, &code);
  if (code == 0) {
    const std::string ids = runCapture({"xdotool", "search", "--name", "^tesmo_sink_window$"},
                                       std::chrono::seconds(30));
    EXPECT_FALSE(ids.empty()) << "no X window named tesmo_sink_window";
  }
  // The destructor leaves the window open.
  sink.reset();
  cv::waitKey(1);
  EXPECT_GT(cv::getWindowProperty("tesmo_sink_window", cv::WND_PROP_VISIBLE), 0.0);
}

TEST_F(VideoWriteWndTest, DefaultNameWithRegionAndNoDelay) {
  std::shared_ptr<VideoWrite> sink =
      VideoWrite::Create(YamlNode("type: wnd\nroi: [-8, -8, 64, 64]\n").node());
  EXPECT_TRUE(sink->Publish(PatternFrame({32, 32}), 0));
  cv::waitKey(1);
  EXPECT_GT(cv::getWindowProperty("VideoWriteWnd", cv::WND_PROP_VISIBLE), 0.0);
}

// Without a display the constructor throws instead of letting the window back end end the
// process.
TEST(VideoWriteWndNoDisplay, ConstructorThrows) {
  const char* saved = std::getenv("DISPLAY");
  const std::string display = saved != nullptr ? saved : "";
  unsetenv("QT_QPA_PLATFORM");

  unsetenv("DISPLAY");
  EXPECT_THROW(VideoWriteWnd("tesmo_no_display", 0), cv::Exception);
  // A display that nobody serves.
  setenv("DISPLAY", ":4711", 1);
  EXPECT_THROW(VideoWrite::Create(YamlNode("type: wnd\n").node()), cv::Exception);

  if (saved != nullptr) {
    setenv("DISPLAY", display.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

}  // namespace
}  // namespace tesmo
