// The application's parts in this process, on the two-camera scene of tests/tools/demo_scene.h:
// TesmoStream (sink selection, the hand-over of published images to waiters, the constructor's
// fatal checks), the timer, and TesmoApp ticked by the test thread (the intensity-correction
// timer, the frame capture and the correction run, with the stand-in script
// tests/tools/scripts/I_calibrate.py run by the application through python3).

#include "tools/private/tesmo_tools.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "tests/process.h"
#include "tests/scoped_env.h"
#include "tests/source_path.h"
#include "tests/streamer/transport_test_util.h"
#include "tests/tools/demo_scene.h"
#include "tests/yaml.h"

namespace {

namespace fs = boost::filesystem;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;
using tesmo::testing_util::Memory;
using tesmo::testing_util::readFile;
using tesmo::testing_util::ScopedEnv;
using tesmo::testing_util::TempDir;
using tesmo::testing_util::waitFor;

// ---- TesmoStream --------------------------------------------------------------------------

class TesmoStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    tesmo::test::SceneSetup setup;
    setup.dir = dir.str();
    setup.views.push_back({"a_view", {-3.5f, 1.5f, -0.5f, -1.5f}, cv::Size(64, 48), true, ""});
    tesmo::test::writeScene(setup, dir / "config.yml");
    config.open(dir / "config.yml", cv::FileStorage::READ);
    ASSERT_TRUE(config.isOpened());
    tesmo::readCameras(config, /*ReadExtrinsics=*/true, cameras);
  }

  // A view node parsed from YAML text (one map).
  cv::FileNode parse(const std::string& yaml) {
    docs.push_back(Memory(yaml));
    return docs.back()["view"];
  }

  std::string prefix(const std::string& name) const { return dir / name; }

  const TempDir dir{"tesmo-stream"};
  cv::FileStorage config;
  std::vector<tesmo::Camera> cameras;
  std::vector<cv::FileStorage> docs;
};

TEST_F(TesmoStreamTest, BuildsOnlyEnabledSinksFromTheViewNode) {
  const cv::FileNode node = parse(
      "view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n  video_writes:\n"
      "    - { type: frame_sequence, prefix: '" + prefix("first") + "' }\n"
      "    - { type: frame_sequence, prefix: '" + prefix("second") + "', enabled: false }\n"
      "    - 5\n"
      "    - { type: frame_sequence, prefix: '" + prefix("third") + "' }\n");
  TesmoStream stream(cameras, node, cv::FileNode(), CPU);
  ASSERT_EQ(stream.videoWrites.size(), 2u);
  EXPECT_EQ(stream.getOutputImg().size(), cv::Size(64, 48));
  EXPECT_EQ(stream.getOutputImg().type(), CV_8UC3);
  stream.compute();
  stream.publish(/*timestampMs=*/1);
  EXPECT_TRUE(fs::exists(prefix("first") + "-0000000.png"));
  EXPECT_FALSE(fs::exists(prefix("second") + "-0000000.png"));
  EXPECT_TRUE(fs::exists(prefix("third") + "-0000000.png"));

  const cv::FileNode off = parse(
      "view:\n  name: v\n  video_writes: { type: frame_sequence, prefix: x, enabled: 0 }\n");
  EXPECT_TRUE(TesmoStream(cameras, off, cv::FileNode(), CPU).videoWrites.empty());
}

TEST_F(TesmoStreamTest, UserEntryReplacesTheParameterNode) {
  const cv::FileNode node = parse("view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n");
  const cv::FileNode user = parse("view:\n  name: v\n  scale_factor: 0.5\n");
  TesmoStream stream(cameras, node, user, CPU);
  const auto& params = stream.gen->getParams();
  // The entry's key, and the defaults for everything it leaves out.
  EXPECT_EQ(params.mode, tesmo::TesmoViewGenerator::VirtualCamera);
  EXPECT_EQ(params.viewSize, cv::Size(1024, 1024));
  EXPECT_EQ(stream.getOutputImg().size(), cv::Size(512, 512));
}

TEST_F(TesmoStreamTest, EachPublishedImageGoesToOneWaiter) {
  const cv::FileNode node = parse("view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n");
  TesmoStream stream(cameras, node, cv::FileNode(), CPU);
  stream.compute();

  cv::Mat img;
  EXPECT_FALSE(stream.waitImage(img, 20));
  EXPECT_TRUE(img.empty());

  stream.getOutputImg().setTo(cv::Scalar(1, 2, 3));
  stream.publish(/*timestampMs=*/1);
  ASSERT_TRUE(stream.waitImage(img, 20));
  EXPECT_EQ(cv::norm(img, stream.getOutputImg(), cv::NORM_INF), 0.0);
  EXPECT_NE(img.data, stream.getOutputImg().data);  // a copy
  EXPECT_FALSE(stream.waitImage(img, 20));

  // A waiter gets the next published image whether it waits before the publish (woken) or
  // comes after it (the ready flag is still set).
  bool bGot = false;
  cv::Mat waited;
  std::thread waiter([&] { bGot = stream.waitImage(waited, 10000); });
  stream.publish(/*timestampMs=*/2);
  waiter.join();
  EXPECT_TRUE(bGot);
  EXPECT_EQ(waited.size(), cv::Size(64, 48));
}

TEST_F(TesmoStreamTest, WaitersWithTheirOwnNumberEachGetEveryImage) {
  const cv::FileNode node = parse("view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n");
  TesmoStream stream(cameras, node, cv::FileNode(), CPU);
  stream.compute();
  uint64_t last[2] = {0, 0};
  cv::Mat img[2];
  EXPECT_FALSE(stream.waitImage(img[0], 20, &last[0]));

  // Two waiters blocked before the publish both wake with its image.
  bool bGot[2] = {false, false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&, i] { bGot[i] = stream.waitImage(img[i], 10000, &last[i]); });
  }
  stream.publish(/*timestampMs=*/1);
  for (auto& waiter : waiters) waiter.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(bGot[i]);
    EXPECT_EQ(last[i], 1u);
    EXPECT_EQ(img[i].size(), cv::Size(64, 48));
  }
  // Nothing newer than a waiter's last: a time-out.
  EXPECT_FALSE(stream.waitImage(img[0], 20, &last[0]));
  // One that comes back after two publishes gets the newest at once.
  stream.publish(/*timestampMs=*/2);
  stream.publish(/*timestampMs=*/3);
  ASSERT_TRUE(stream.waitImage(img[1], 0, &last[1]));
  EXPECT_EQ(last[1], 3u);
  // Waiting without taking: the newest number, or the caller's own after a time-out.
  EXPECT_EQ(stream.waitNewerImage(/*lastImage=*/1, 20), 3u);
  EXPECT_EQ(stream.waitNewerImage(/*lastImage=*/3, 20), 3u);
}

TEST_F(TesmoStreamTest, ConstructorChecksNameEntryAndPlatform) {
  const cv::FileNode noName = parse("view:\n  mode: top_view\n");
  EXPECT_DEATH(TesmoStream(cameras, noName, cv::FileNode(), CPU), "Check failed: !name.empty\\(\\) ");
  const cv::FileNode node = parse("view:\n  name: v\n");
  const cv::FileNode other = parse("view:\n  name: w\n");
  EXPECT_DEATH(TesmoStream(cameras, node, other, CPU),
               "Check failed: name == userNode\\[\"name\"\\].string\\(\\) ");
  EXPECT_DEATH(TesmoStream(cameras, node, cv::FileNode(), static_cast<Platform>(7)),
               "Check failed: 0 ");
  // Each platform builds its own variant.
  const auto gen = [&](Platform p) { return TesmoStream(cameras, node, cv::FileNode(), p).gen; };
  EXPECT_NE(std::dynamic_pointer_cast<tesmo::TesmoViewGeneratorCpu>(gen(CPU)), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<tesmo::TesmoViewGeneratorCuda>(gen(CUDA)), nullptr);
}

TEST(GetPlatform, ExactWordsOnly) {
  EXPECT_EQ(getPlatform("cpu"), CPU);
  EXPECT_EQ(getPlatform("opencl"), OPENCL);
  EXPECT_EQ(getPlatform("cuda"), CUDA);
  try {
    getPlatform("CPU");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Platform \"CPU\" not support");
  }
}

// ---- Timer and TesmoApp -------------------------------------------------------------------

// The application with its pending capture request in reach.
class ProbeApp : public TesmoApp {
 public:
  using TesmoApp::TesmoApp;
  bool captureWaits() {
    std::lock_guard<std::mutex> lock(frameBufsPromiseMutex);
    return frameBufsPromise != nullptr && !frameBufsPromise->bSet;
  }
};

class TesmoAppTest : public testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir / name; }

  // The two-camera scene with one view, snapshots in dir/snap and, when `linearRegress` is not
  // empty, that YAML text as the "linear_regress" section.
  std::string writeConfig(const std::string& linearRegress) {
    tesmo::test::SceneSetup setup;
    setup.dir = dir.str();
    setup.userSettings = path("user.yml");
    setup.views.push_back({"a_view", {-3.5f, 1.5f, 3.5f, -1.5f}, cv::Size(96, 48), true, ""});
    const std::string config = path("config.yml");
    tesmo::test::writeScene(setup, config);
    std::string text = readFile(config);
    const std::string key = "tesmo_app:\n";
    text.insert(text.find(key) + key.size(), "   temp_dir: \"" + path("snap") + "\"\n");
    if (!linearRegress.empty()) text += "linear_regress:\n" + linearRegress;
    std::ofstream(config) << text;
    return config;
  }

  // The configuration of writeConfig("") with its first `from` replaced by `to`, written again.
  std::string writeConfigReplacing(const std::string& from, const std::string& to) {
    std::string text = readFile(writeConfig(""));
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    std::ofstream(path("config.yml")) << text;
    return path("config.yml");
  }

  std::string correctionSection(int intervalMs, double filter) const {
    return "   interval: " + std::to_string(intervalMs) + "\n   filter: " +
           std::to_string(filter) + "\n   calib_script: \"" +
           tesmo::testing_util::sourcePath("tests/tools/scripts/I_calibrate.py") +
           "\"\n   tmp_file: \"" + path("result.yml") + "\"\n";
  }

  int scriptRuns() const {
    std::ifstream log(path("I_calibrate.log"));
    int lines = 0;
    std::string line;
    while (std::getline(log, line)) ++lines;
    return lines;
  }

  // Ticks `app` on this thread until `done` holds (at most 30 s).
  static bool tickUntil(TesmoApp& app, const std::function<bool()>& done) {
    return waitFor([&] { return done() || (app.tick(), done()); }, std::chrono::seconds(30));
  }

  static std::pair<double, double> appGain(TesmoApp& app, size_t i) {
    std::lock_guard<std::mutex> lock(app.camerasMutex);
    return {app.cameras[i].alpha, app.cameras[i].beta};
  }

  static std::pair<double, double> viewGain(TesmoApp& app, size_t i) {
    std::lock_guard<std::mutex> lock(app.tesmoStreams[0]->mutex);
    const auto& camera = app.tesmoStreams[0]->gen->getCameras()[i];
    return {camera.alpha, camera.beta};
  }

  const TempDir dir{"tesmo-app"};
};

TEST(Timer, RunsOneIntervalAfterStartAndJoinsAfterARunInProgress) {
  std::atomic<int> runs{0};
  std::atomic<bool> bInRun{false};
  const auto start = SteadyClock::now();
  std::atomic<int64_t> firstRunMs{-1};
  {
    Timer timer(milliseconds(150), [&] {
      if (runs == 0) {
        firstRunMs = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start).count();
      }
      bInRun = true;
      std::this_thread::sleep_for(milliseconds(100));
      ++runs;
      bInRun = false;
    });
    EXPECT_EQ(runs, 0);
    ASSERT_TRUE(waitFor([&] { return bInRun.load(); }, milliseconds(5000)));
    // Destroyed while the run sleeps: the destructor waits for it.
  }
  EXPECT_GE(firstRunMs, 140);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(bInRun);

  // Interval 0: one run after another.
  std::atomic<int> fast{0};
  {
    Timer timer(milliseconds(0), [&] { ++fast; });
    ASSERT_TRUE(waitFor([&] { return fast >= 100; }, milliseconds(5000)));
  }
}

TEST(RunShellCommand, CopiesOutputAndReturnsExitCode) {
  testing::internal::CaptureStdout();
  const int code = runShellCommand("printf 'a\\377b\\n'; exit 3");
  const int missing = runShellCommand("exec /nonexistent/program 2>/dev/null");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 3);
  EXPECT_EQ(missing, 127);
  EXPECT_EQ(out, "a\xff" "b\n");
}

TEST_F(TesmoAppTest, CorrectionRunMovesGainsStepByStep) {
  ScopedEnv runs("I_CALIBRATE_RUNS", "1");
  TesmoApp app(writeConfig(correctionSection(100, 0.5)));
  ASSERT_TRUE(app.getLinearRegress().isEnabled());
  ASSERT_EQ(app.cameras.size(), 2u);

  // The first (and only successful) run gives alpha 1.5 and beta -1 to every camera.
  testing::internal::CaptureStdout();
  ASSERT_TRUE(tickUntil(app, [&] { return appGain(app, 1).first != 1.0; }));
  EXPECT_EQ(appGain(app, 0), std::make_pair(1.5, -1.0));
  EXPECT_EQ(appGain(app, 1), std::make_pair(1.5, -1.0));

  // Each tick halves the views' distance to the target.
  double distance = 1.5 - viewGain(app, 0).first;
  for (int i = 0; i < 5; ++i) {
    app.tick();
    const auto gain = viewGain(app, 0);
    const double next = 1.5 - gain.first;
    EXPECT_NEAR(next, distance * 0.5, 1e-12);
    // Gain and offset move by the same share: the offset's distance stays -2 times the gain's.
    EXPECT_NEAR(-1.0 - gain.second, -2.0 * next, 1e-12);
    distance = next;
  }

  // Later runs exit with 3 and change nothing.
  ASSERT_TRUE(tickUntil(app, [&] { return scriptRuns() >= 3; }));
  app.disableLinearRegress();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(appGain(app, 0), std::make_pair(1.5, -1.0));
  EXPECT_NE(out.find("I_calibrate: run 1 \xff\n"), std::string::npos) << out;
  EXPECT_NE(out.find("I_calibrate.py exit code: 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("I_calibrate.py exit code: 3\n"), std::string::npos) << out;
  EXPECT_FALSE(app.getLinearRegress().isEnabled());
  // Snapshots of both cameras at their frame size (nothing rewrites them now).
  for (const std::string name : {"cam_a", "cam_b"}) {
    const cv::Mat shot = cv::imread(path("snap/" + name + ".png"));
    EXPECT_EQ(shot.size(), cv::Size(320, 240)) << name;
  }

  // Off: the ticks leave the views' gains alone.
  const auto frozen = viewGain(app, 0);
  app.tick();
  EXPECT_EQ(viewGain(app, 0), frozen);
}

// Entries it cannot use are skipped with a warning naming the camera, which keeps its values (in
// the application's list and in the views): an unknown camera, a gain or offset that is not a
// finite number, a gain not above 0.
TEST_F(TesmoAppTest, FlawedResultFileAppliesValidEntriesOnly) {
  struct Case {
    const char* what;
    const char* entries;  // the "linear_regress" map; a whole document when it starts with '%'
    std::pair<double, double> camA, camB;
    std::vector<std::string> skipped;  // each named by one warning, in this order
  };
  const Case cases[] = {
      {"unknown camera and bad numbers",
       "   cam_z: { alpha: 3, beta: 3 }\n   cam_a: { alpha: x, beta: 3 }\n"
       "   cam_b: { alpha: 2, beta: 7 }\n",
       {1.0, 0.0}, {2.0, 7.0}, {"\"cam_z\" of", "\"cam_a\" of"}},
      {"gain and offset not finite", "   cam_a: { alpha: .nan, beta: 0 }\n"
       "   cam_b: { alpha: 2, beta: -.inf }\n",
       {1.0, 0.0}, {1.0, 0.0},
       {"\"cam_a\" of \"" + path("result.yml") + "\": \"alpha\" must be a finite number above 0, "
        "got nan",
        "\"cam_b\" of \"" + path("result.yml") + "\": \"beta\" must be a finite number, got -inf"}},
      {"gain not above 0, gain infinite",
       "   cam_a: { alpha: 0, beta: 1 }\n   cam_b: { alpha: .inf, beta: 0 }\n", {1.0, 0.0},
       {1.0, 0.0}, {"\"cam_a\" of", "\"cam_b\" of"}},
      {"not parsable", "%YAML:1.0\n---\nlinear_regress: [ {\n", {1.0, 0.0}, {1.0, 0.0}, {}},
      {"no map", "%YAML:1.0\n---\nlinear_regress: 5\n", {1.0, 0.0}, {1.0, 0.0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(path("I_calibrate.log"));
    const std::string text = c.entries[0] == '%'
                                 ? std::string(c.entries)
                                 : "%YAML:1.0\n---\nlinear_regress:\n" + std::string(c.entries);
    ScopedEnv result("I_CALIBRATE_RESULT", text.c_str());
    tesmo::testing_util::WarningCollector warnings("Intensity correction: skipped entry ");
    TesmoApp app(writeConfig(correctionSection(0, 1.0)));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(tickUntil(app, [&] { return scriptRuns() >= 2; }));
    app.disableLinearRegress();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(appGain(app, 0), c.camA);
    EXPECT_EQ(appGain(app, 1), c.camB);
    // The tick that handed the second run its frames gave the views the first run's values.
    EXPECT_EQ(viewGain(app, 0), c.camA);
    EXPECT_EQ(viewGain(app, 1), c.camB);
    // Each run warns once per refused entry.
    const std::vector<std::string> lines = warnings.lines();
    ASSERT_GE(lines.size(), c.skipped.size());
    for (size_t i = 0; i < c.skipped.size(); ++i) {
      EXPECT_NE(lines[i].find(c.skipped[i]), std::string::npos) << lines[i];
    }
    if (c.skipped.empty()) {
      EXPECT_TRUE(lines.empty()) << lines[0];
    }
  }
}

TEST_F(TesmoAppTest, CapturesAreServedOneAtATimeAndEndWhenClosed) {
  TesmoApp app(writeConfig(""));
  EXPECT_FALSE(app.getLinearRegress().isEnabled());
  std::atomic<bool> bStop{false};
  std::thread ticker([&] {
    while (!bStop) app.tick();
  });
  // Two captures at once: both get a frame set.
  auto first = std::async(std::launch::async, [&] { return app.printCams(); });
  auto second = std::async(std::launch::async, [&] { return app.printCams(); });
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  bStop = true;
  ticker.join();

  // No tick any more: a waiting capture wakes without frames once captures are closed.
  auto waiting = std::async(std::launch::async, [&] { return app.printCams(); });
  EXPECT_EQ(waiting.wait_for(milliseconds(200)), std::future_status::timeout);
  app.closeFrameCapture();
  ASSERT_EQ(waiting.wait_for(milliseconds(5000)), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(app.printCams());
}

TEST_F(TesmoAppTest, StoppingTheCorrectionEndsARunThatWaitsForFrames) {
  // Interval 0 and no ticks: the timer's first run waits for a frame set at once. Switching the
  // correction off (here on a thread that would otherwise tick) and destroying the application
  // both end that wait without a tick.
  for (const bool bDestroy : {false, true}) {
    SCOPED_TRACE(bDestroy ? "destroyed" : "switched off");
    auto app = std::make_unique<ProbeApp>(writeConfig(correctionSection(0, 1.0)));
    ASSERT_TRUE(waitFor([&] { return app->captureWaits(); }, milliseconds(30000)));
    auto stop = std::async(std::launch::async,
                           [&] { bDestroy ? app.reset() : app->disableLinearRegress(); });
    EXPECT_EQ(stop.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // Should the stop hang, ticks hand the run its frames so that the test can end.
    while (!bDestroy && stop.wait_for(milliseconds(0)) != std::future_status::ready) app->tick();
    EXPECT_EQ(scriptRuns(), 0);
    if (bDestroy) continue;
    // The withdrawn request is gone: the next capture gets a frame set.
    EXPECT_FALSE(app->getLinearRegress().isEnabled());
    auto capture = std::async(std::launch::async, [&] { return app->printCams(); });
    while (capture.wait_for(milliseconds(0)) != std::future_status::ready) app->tick();
    EXPECT_TRUE(capture.get());
  }
}

// Start-up refuses a key of the wrong type or out of range naming the key, the section and what
// was expected, calibration that the library's camera checks refuse with their reason (one row
// for the documents' nodes, one for the cameras as read), and a user-settings file or document
// it cannot use naming the file, documents nested too deep or endless among them.
TEST_F(TesmoAppTest, StartUpRefusesBadValuesNamingKeyAndFile) {
  struct Case {
    const char* what;
    std::string from;  // replaced by `to` in the configuration
    std::string to;
    const char* userSettings;  // text of the user-settings file; null: no file
    std::string message;
  };
  const std::string user = "User settings file \"" + path("user.yml") + "\" ";
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepUser = "%YAML:1.0\n---\ntesmo_gen: " + deep + "\n";
  std::string dashes;
  for (int i = 0; i < 50000; ++i) dashes += "- ";
  const std::string nests = "\" can't be read: it nests ";
  const std::string kA = "data: [ 200., 0., 160., 0., 200., 120., 0., 0., 1. ]";
  const std::string badK = "Key \"K\" in \"intrinsics/cam_a\" must be a 3x3 floating-point matrix";
  const Case cases[] = {
      {"K with NaN", kA, "data: [ .nan, 0., 160., 0., 200., 120., 0., 0., 1. ]", nullptr,
       badK + " of finite numbers with fx and fy above 0, got [nan, 0, 160; 0, 200, 120; 0, 0, 1]"},
      {"camera calibrated twice", "intrinsics:\n",
       "intrinsics:\n   cam_a: { frame_width: 320, frame_height: 240 }\n", nullptr,
       "Key \"cam_a\" in \"intrinsics\" must be given once, got a second entry"},
      {"adjustment overflowing the clock", "tesmo_app:\n", "tesmo_app:\n   fps_adj_speed: 1e10\n",
       nullptr, "Key \"fps_adj_speed\" in \"tesmo_app\" must be a finite number at most 1000"},
      {"rate giving an endless period", "tesmo_app:\n", "tesmo_app:\n   fps_min: 1e-300\n",
       nullptr, "Key \"fps_min\" in \"tesmo_app\" must be 0 or a number of at least 0.001"},
      {"configuration nested in brackets", "tesmo_app:\n", "x: " + deep + "\ntesmo_app:\n",
       nullptr, nests},
      {"configuration nested in dashes", "tesmo_app:\n", "x:\n  " + dashes + "1\ntesmo_app:\n",
       nullptr, nests},
      {"user settings nested", "", "", deepUser.c_str(), "File \"" + path("user.yml") + nests},
      {"endless user settings", "\"" + path("user.yml") + "\"", "\"/dev/zero\"", nullptr,
       "File \"/dev/zero\" can't be read: it is longer than 64 MiB"},
      {"number that is a word", "tesmo_app:\n", "tesmo_app:\n   fps_min: fast\n", nullptr,
       "Key \"fps_min\" in \"tesmo_app\" must be a finite number at least 0, got \"fast\""},
      {"fps_min above fps_max", "tesmo_app:\n", "tesmo_app:\n   fps_min: 30\n   fps_max: 10\n",
       nullptr, "Key \"fps_min\" in \"tesmo_app\" must be at most \"fps_max\" (10), got 30"},
      {"flag that is none", "tesmo_app:\n", "tesmo_app:\n   log_fps: maybe\n", nullptr,
       "Key \"log_fps\" in \"tesmo_app\" must be a flag"},
      {"view name of another type", "name: a_view", "name: 17", nullptr,
       "Key \"name\" in \"tesmo_gen\" must be a text, got 17"},
      {"sinks of another type", "name: a_view", "name: a_view\n      video_writes: 3", nullptr,
       "View \"a_view\": Key \"video_writes\" in \"tesmo_gen\" must be a map or a sequence"},
      {"view too large", "- 96", "- 9000", nullptr,
       "View \"a_view\": Key \"view_size\" must be each side 1..8192"},
      {"correction interval", "tesmo_app:\n", "linear_regress:\n   interval: -5\ntesmo_app:\n",
       nullptr, "Key \"interval\" in \"linear_regress\" must be an integer at least 0, got -5"},
      {"empty user settings", "", "", "", user + "is empty"},
      {"user settings without views", "", "", "%YAML:1.0\n---\nviews: []\n",
       user + "holds no \"tesmo_gen\" sequence"},
      {"refused user entry", "", "",
       "%YAML:1.0\n---\ntesmo_gen:\n   - { name: a_view, scale_factor: 0 }\n",
       "User settings file \"" + path("user.yml") + "\", view \"a_view\": Key \"scale_factor\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeConfigReplacing(c.from, c.to);
    fs::remove(path("user.yml"));
    if (c.userSettings != nullptr) std::ofstream(path("user.yml")) << c.userSettings;
    try {
      TesmoApp bad(path("config.yml"));
      ADD_FAILURE() << "not refused";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// Sources and calibrations pair by position even where their names differ; each such pair is
// named in a warning.
TEST_F(TesmoAppTest, StartUpWarnsOfSourcesPairedWithCalibrationOfAnotherName) {
  const std::string config = writeConfigReplacing("streams:\n   cam_a:", "streams:\n   zzz:");
  tesmo::testing_util::WarningCollector warnings("is paired with the calibration of");
  TesmoApp app(config);
  // Sorted by name: cam_b's source comes first and meets cam_a's calibration.
  const std::vector<std::string> lines = warnings.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Camera 0: frame source \"cam_b\" is paired with the calibration of "
                          "\"cam_a\" (by position; the names differ)"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"zzz\" is paired with the calibration of \"cam_b\""),
            std::string::npos)
      << lines[1];
}

TEST_F(TesmoAppTest, SwitchingOnAndOffFromManyThreads) {
  TesmoApp app(writeConfig(correctionSection(50, 1.0)));
  std::atomic<bool> bStop{false};
  std::thread ticker([&] {
    while (!bStop) app.tick();
  });
  testing::internal::CaptureStdout();
  std::vector<std::thread> switches;
  for (int t = 0; t < 4; ++t) {
    switches.emplace_back([&app, t] {
      for (int i = 0; i < 20; ++i) {
        if ((i + t) % 2 == 0) {
          app.enableLinearRegress();
        } else {
          app.disableLinearRegress();
        }
      }
    });
  }
  for (auto& s : switches) s.join();
  app.enableLinearRegress();
  EXPECT_TRUE(app.getLinearRegress().isEnabled());
  app.disableLinearRegress();
  EXPECT_FALSE(app.getLinearRegress().isEnabled());
  testing::internal::GetCapturedStdout();
  bStop = true;
  ticker.join();
}

}  // namespace
