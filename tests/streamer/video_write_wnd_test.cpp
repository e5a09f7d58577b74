#include "streamer/private/video_writes/video_write_wnd.h"

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include "streamer/video_write.h"
#include "tests/process.h"
#include "tests/scoped_env.h"
#include "tests/streamer/sink_test_util.h"
#include "tests/yaml.h"
#include "tests/xvfb.h"

namespace tesmo {
namespace {

using test::PatternFrame;
using testing_util::Memory;

using testing_util::runCapture;
using testing_util::ScopedEnv;

class VideoWriteWndTest : public testing_util::XvfbSuite<VideoWriteWndTest> {
 public:
  static constexpr const char* kScreen = "800x600x24";
};

TEST_F(VideoWriteWndTest, ShowsFramesInANamedWindow) {
  std::shared_ptr<VideoWrite> sink =
      VideoWrite::Create(Memory("type: wnd\nname: tesmo_sink_window\ndelay: 1\n").root());
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
      VideoWrite::Create(Memory("type: wnd\nroi: [-8, -8, 64, 64]\n").root());
  EXPECT_TRUE(sink->Publish(PatternFrame({32, 32}), 0));
  cv::waitKey(1);
  EXPECT_GT(cv::getWindowProperty("VideoWriteWnd", cv::WND_PROP_VISIBLE), 0.0);
}

// Without a display the constructor throws instead of letting the window back end end the
// process.
TEST(VideoWriteWndNoDisplay, ConstructorThrows) {
  const ScopedEnv qt("QT_QPA_PLATFORM", nullptr);
  {
    const ScopedEnv none("DISPLAY", nullptr);
    EXPECT_THROW(VideoWriteWnd("tesmo_no_display", 0), cv::Exception);
  }
  // A display that nobody serves.
  const ScopedEnv dead("DISPLAY", ":4711");
  EXPECT_THROW(VideoWrite::Create(Memory("type: wnd\n").root()), cv::Exception);
}

}  // namespace
}  // namespace tesmo
