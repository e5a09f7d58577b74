// Interactive mode of tesmo_demo under a private Xvfb server: keys sent with xdotool, the main
// window's contents read back with ffmpeg's X11 grabber.

#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/process.h"
#include "tests/tools/demo_scene.h"
#include "tests/xvfb.h"

namespace tesmo {
namespace {

using std::chrono::milliseconds;
using testing_util::Process;
using testing_util::runCapture;
using testing_util::TempDir;
using testing_util::waitFor;
using testing_util::Xvfb;
namespace fs = boost::filesystem;

// Which view the main window shows, from the colour of its middle: 'a' warm, 'b' cool, '?' other
// (the grey "Loading..." screen, or nothing yet).
class Screen {
 public:
  Screen(const TempDir& dir, const std::string& display) : dir_(dir), display_(display) {}

  std::string findWindow(const std::string& title) {
    const std::string out = run({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"});
    const auto end = out.find('\n');
    return end == std::string::npos ? std::string() : out.substr(0, end);
  }

  bool geometry(const std::string& window) {
    const std::string out = run({"xdotool", "getwindowgeometry", "--shell", window});
    std::map<std::string, int> values;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    if (values["WIDTH"] < 50 || values["HEIGHT"] < 50) return false;
    rect_ = cv::Rect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
    return true;
  }

  char shownView() {
    const std::string shot = dir_ / "shot.png";
    fs::remove(shot);
    run({"ffmpeg", "-loglevel", "error", "-f", "x11grab", "-video_size",
         std::to_string(rect_.width) + "x" + std::to_string(rect_.height), "-i",
         display_ + "+" + std::to_string(rect_.x) + "," + std::to_string(rect_.y), "-frames:v",
         "1", "-y", shot});
    const cv::Mat img = cv::imread(shot);
    if (img.empty()) return '?';
    const cv::Rect middle(img.cols / 4, img.rows / 4, img.cols / 2, img.rows / 2);
    const cv::Scalar mean = cv::mean(img(middle));
    if (mean[2] > mean[0] + 60) return 'a';
    if (mean[0] > mean[2] + 60) return 'b';
    return '?';
  }

  // Polls the window until it shows `view`.
  bool waitView(char view) {
    return waitFor([&] { return shownView() == view; }, milliseconds(15000));
  }

  // Sends one key and waits until the main loop has made three more passes (counted by the PNG
  // files its one sink writes), so that the key has been read before the next one is sent: the
  // window back end keeps only the last key that arrives between two polls.
  bool key(const std::string& name) {
    const size_t before = passes();
    run({"xdotool", "key", name});
    return waitFor([&] { return passes() >= before + 3; }, milliseconds(15000));
  }

  size_t passes() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir_.str())) {
      if (entry.path().filename().string().rfind("tick-", 0) == 0) ++n;
    }
    return n;
  }

  std::string run(const std::vector<std::string>& argv) {
    return runCapture(argv, milliseconds(15000), {{"DISPLAY", display_}});
  }

 private:
  const TempDir& dir_;
  std::string display_;
  cv::Rect rect_;
};

TEST(TesmoDemoWindow, KeysSwitchViewsAndEscEnds) {
  TempDir dir("tesmo_demo_wnd");
  test::SceneSetup setup;
  setup.dir = dir.str();
  // Listed b first: the window must start on a_view, the first by name.
  setup.views.push_back({"b_view", {0.5f, 1.5f, 3.5f, -1.5f}, cv::Size(400, 400), true, ""});
  setup.views.push_back({"a_view", {-3.5f, 1.5f, -0.5f, -1.5f}, cv::Size(400, 400), true, ""});
  setup.views.push_back({"c_view", {-1.f, 1.f, 1.f, -1.f}, cv::Size(32, 32), true, dir / "tick"});
  setup.fpsMin = 20;
  setup.fpsMax = 40;
  test::writeScene(setup, dir / "config.yml");

  // A private X server, which accepts connections before the program starts: without a display
  // the program would end at once.
  Xvfb xvfb("1024x768x24");
  ASSERT_FALSE(xvfb.display().empty()) << xvfb.errors();
  const std::string display = xvfb.display();

  Process demo({TESMO_DEMO_PATH, "-i", "-a", "--config=" + (dir / "config.yml")}, dir.str(),
               dir / "demo.out", dir / "demo.err",
               {{"DISPLAY", display}, {"GLOG_logtostderr", "1"}, {"QT_QPA_PLATFORM", "xcb"}});
  Screen screen(dir, display);
  std::string window;
  ASSERT_TRUE(waitFor(
      [&] {
        window = screen.findWindow("Tesmo view demo");
        return !window.empty() || demo.poll();
      },
      milliseconds(60000)));
  ASSERT_FALSE(window.empty()) << demo.out() << demo.err();
  // With "show_all_wnd", one more window for each view but the first; without a window manager
  // they open on top of the main window, so move them aside.
  for (const char* title : {"Tesmo view demo 1", "Tesmo view demo 2"}) {
    std::string other;
    ASSERT_TRUE(waitFor(
        [&] {
          other = screen.findWindow(title);
          return !other.empty();
        },
        milliseconds(20000)))
        << title;
    screen.run({"xdotool", "windowmove", "--sync", other, "600", "0"});
  }
  ASSERT_TRUE(waitFor([&] { return screen.geometry(window); }, milliseconds(10000)));
  // Keys go to the focused window, or without one to the window under the pointer: both.
  screen.run({"xdotool", "mousemove", "--window", window, "100", "100"});
  screen.run({"xdotool", "windowfocus", window});

  EXPECT_TRUE(screen.waitView('a'));
  ASSERT_TRUE(screen.key("Right"));
  EXPECT_TRUE(screen.waitView('b'));
  ASSERT_TRUE(screen.key("Right"));
  ASSERT_TRUE(screen.key("Right"));  // past the last view (c_view): back to the first
  EXPECT_TRUE(screen.waitView('a'));
  ASSERT_TRUE(screen.key("Left"));  // before the first view: the last
  ASSERT_TRUE(screen.key("Left"));
  EXPECT_TRUE(screen.waitView('b'));

  // F2 builds the mask viewer over the current view; the main loop keeps running while its keys
  // choose cameras and layers, and the arrows leave the view list alone there.
  ASSERT_TRUE(screen.key("F2"));
  ASSERT_TRUE(screen.key("Left"));
  ASSERT_TRUE(screen.key("d"));
  ASSERT_TRUE(screen.key("d"));
  ASSERT_TRUE(screen.key("a"));
  ASSERT_TRUE(screen.key("b"));
  ASSERT_TRUE(screen.key("d"));
  // F1 returns to view generation on the same view, where the arrows work again.
  ASSERT_TRUE(screen.key("F1"));
  EXPECT_TRUE(screen.waitView('b'));
  ASSERT_TRUE(screen.key("Left"));
  EXPECT_TRUE(screen.waitView('a'));
  // F2 twice builds a fresh viewer over a fresh one.
  ASSERT_TRUE(screen.key("F2"));
  ASSERT_TRUE(screen.key("F2"));
  ASSERT_TRUE(screen.key("b"));

  screen.run({"xdotool", "key", "Escape"});
  ASSERT_TRUE(demo.wait(milliseconds(20000))) << "Esc did not end the loop";
  EXPECT_EQ(demo.exitCode(), 0) << demo.err();
  EXPECT_NE(demo.out().find("LiveStreams statistics:"), std::string::npos);
  EXPECT_NE(demo.out().find("main_one_tick"), std::string::npos);
  EXPECT_TRUE(xvfb.stop());
}

}  // namespace
}  // namespace tesmo
