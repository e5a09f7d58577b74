// Runs the real tesmo_demo program as a child process on small generated scenes, and in
// interactive mode under an X server of the test's own.

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "generator/camera.h"
#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "tests/generator/generator_test_util.h"
#include "tests/process.h"
#include "tests/tools/demo_run.h"
#include "tests/tools/demo_scene.h"
#include "tests/xvfb.h"

namespace tesmo {
namespace {

using std::chrono::milliseconds;
using test::SceneSetup;
using test::ViewSpec;
using testing_util::freePort;
using testing_util::linkSamples;
using testing_util::MaskedPsnr;
using testing_util::Process;
using testing_util::readFile;
using testing_util::runCapture;
using testing_util::startDemo;
using testing_util::TempDir;
using testing_util::ViewNode;
using testing_util::waitFor;
using testing_util::Xvfb;
namespace fs = boost::filesystem;

// PNG files of a sequence prefix, in frame order.
std::vector<std::string> pngsOf(const std::string& prefix) {
  std::vector<std::string> files;
  const fs::path p(prefix);
  const std::string stem = p.filename().string() + "-";
  for (const auto& entry : fs::directory_iterator(p.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(stem, 0) == 0 && entry.path().extension() == ".png") {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Two views over the two-camera scene: a_view sees mostly cam_a (warm), b_view mostly cam_b (cool).
// They are listed b first so that sorting by name is visible.
SceneSetup twoViewScene(const TempDir& dir) {
  SceneSetup setup;
  setup.dir = dir.str();
  setup.views.push_back({"b_view", {0.5f, 1.5f, 3.5f, -1.5f}, cv::Size(300, 300), true, dir / "b"});
  setup.views.push_back({"a_view", {-3.5f, 1.5f, -0.5f, -1.5f}, cv::Size(300, 300), true, dir / "a"});
  return setup;
}

// The two-view scene with the user-settings file dir/user.yml, written to dir/config.yml.
SceneSetup writeUserSettingsScene(const TempDir& dir) {
  SceneSetup setup = twoViewScene(dir);
  setup.userSettings = dir / "user.yml";
  test::writeScene(setup, dir / "config.yml");
  return setup;
}

// Runs the demo until `prefix` has `frames` PNGs, then sends SIGINT and waits for the exit.
void runUntilFrames(Process& demo, const std::string& prefix, size_t frames) {
  const bool bFrames =
      waitFor([&] { return pngsOf(prefix).size() >= frames || demo.poll(); }, milliseconds(60000));
  ASSERT_TRUE(bFrames);
  ASSERT_FALSE(demo.poll()) << "ended early:\n" << demo.out() << demo.err();
  demo.signal(SIGINT);
  ASSERT_TRUE(demo.wait(milliseconds(20000))) << "no exit after SIGINT";
}

// The view composed in this process from the scene's images and a parameter node; relative image
// paths are taken against `baseDir`. `covered`, when given, receives the generator's mask of the
// pixels some camera sees.
cv::Mat composeView(const std::string& config, const cv::FileNode& params,
                    const std::string& baseDir = "", cv::Mat* covered = nullptr) {
  cv::FileStorage fs(config, cv::FileStorage::READ);
  std::vector<Camera> cameras;
  readCameras(fs, true, cameras);
  std::vector<cv::Mat> images;
  for (const auto& camera : cameras) {
    const fs::path file(fs["camera_streams"][camera.name]["filename"].string());
    images.push_back(cv::imread((file.is_absolute() ? file : fs::path(baseDir) / file).string()));
  }
  TesmoViewGeneratorCpu gen(cameras, params);
  cv::Mat mask;
  gen.prepare(mask);
  if (covered != nullptr) *covered = mask;
  std::vector<cv::_OutputArray> frames;
  for (auto& image : images) frames.emplace_back(image);
  cv::Mat out;
  gen.process(frames, out);
  return out;
}

// The last frame the demo wrote to out/<view name> in `dir`, the same view composed here from
// `config`, the pixels some camera sees, and those that the info overlay (at most 320 x 240 at
// the top left) leaves alone.
struct PublishedView {
  cv::Mat published, expected, covered, outsideOverlay;
};

void loadPublishedView(const TempDir& dir, const std::string& config, const cv::FileNode& node,
                       PublishedView* v) {
  const auto pngs = pngsOf(dir / ("out/" + node["name"].string()));
  ASSERT_FALSE(pngs.empty());
  v->published = cv::imread(pngs.back());
  v->expected = composeView(config, node, dir.str(), &v->covered);
  ASSERT_EQ(v->published.size(), v->expected.size());
  v->outsideOverlay = cv::Mat(v->published.size(), CV_8U, cv::Scalar(255));
  v->outsideOverlay(cv::Rect(0, 0, std::min(v->published.cols, 320),
                             std::min(v->published.rows, 240)))
      .setTo(0);
}

TEST(TesmoDemo, HelpAndDeviceListExitWithoutReadingConfig) {
  TempDir dir;
  auto demo = startDemo(dir, {"--help", "--config=/nonexistent/config.yml"});
  ASSERT_TRUE(demo->wait(milliseconds(60000)));
  EXPECT_EQ(demo->exitCode(), 0);
  const std::string out = demo->out();
  EXPECT_NE(out.find("Tesmo view demo."), std::string::npos) << out;
  EXPECT_NE(out.find("show_all_wnd"), std::string::npos) << out;

  auto list = startDemo(dir, {"--cuda_dev_list", "--config=/nonexistent/config.yml"});
  ASSERT_TRUE(list->wait(milliseconds(60000)));
  EXPECT_EQ(list->exitCode(), 0) << list->err();
  EXPECT_EQ(list->out().rfind("CUDA device list:\nDevice 0:  \"Host back-end", 0), 0u)
      << list->out();
}

TEST(TesmoDemo, SigintEndsLoopWithStatisticsAndTimingTable) {
  TempDir dir;
  SceneSetup setup = twoViewScene(dir);
  setup.fpsMin = 20;
  setup.fpsMax = 40;
  test::writeScene(setup, dir / "config.yml");
  auto demo = startDemo(dir, {"--config=" + (dir / "config.yml")});
  runUntilFrames(*demo, dir / "a", 10);

  EXPECT_TRUE(demo->exitedNormally()) << "signal " << demo->termSignal() << "\n" << demo->err();
  EXPECT_EQ(demo->exitCode(), 0) << demo->err();
  const std::string out = demo->out();
  const auto started = out.find("Tesmo generation is started ...");
  const auto stats = out.find("LiveStreams statistics:");
  const auto table = out.find("#CALLS");
  ASSERT_NE(started, std::string::npos) << out;
  ASSERT_NE(stats, std::string::npos) << out;
  ASSERT_NE(table, std::string::npos) << out;
  EXPECT_LT(started, stats);
  EXPECT_LT(stats, table);
  EXPECT_NE(out.find("\tCamera \"cam_a\": frames got:"), std::string::npos) << out;
  EXPECT_NE(out.find("\tCamera \"cam_b\": frames got:"), std::string::npos) << out;
  for (const char* label : {"main_one_tick", "app_all_streams_process", "app_all_streams_publish",
                            "tvs_process", "tvs_publish", "cma_wait_frames"}) {
    EXPECT_NE(out.find(label, table), std::string::npos) << label << "\n" << out;
  }
  // Both views got the same number of frames, in order from 0.
  const auto a = pngsOf(dir / "a");
  const auto b = pngsOf(dir / "b");
  ASSERT_GE(a.size(), 10u);
  EXPECT_EQ(a.size(), b.size());
  EXPECT_EQ(fs::path(a.front()).filename().string(), "a-0000000.png");
}

// A rate of 0.01 frames per second paces each tick to 100 s; SIGINT still ends the run at once.
TEST(TesmoDemo, SigintEndsALongPacingWait) {
  TempDir dir;
  SceneSetup setup = twoViewScene(dir);
  setup.fpsMin = setup.fpsMax = 0.01;
  test::writeScene(setup, dir / "config.yml");
  auto demo = startDemo(dir, {"--config=" + (dir / "config.yml")});
  const auto started = [&] {
    return demo->out().find("generation is started") != std::string::npos || demo->poll();
  };
  ASSERT_TRUE(waitFor(started, milliseconds(60000)));
  ASSERT_FALSE(demo->poll()) << demo->err();
  demo->signal(SIGINT);
  ASSERT_TRUE(demo->wait(milliseconds(20000))) << "no exit after SIGINT";
  EXPECT_EQ(demo->exitCode(), 0) << demo->err();
}

// Whether the main thread of process `pid` has reached the FIFO at `path`: it waits in the FIFO's
// open for a writer (the kernel's wait_for_partner), or holds it open.
bool reachedFifo(pid_t pid, const std::string& path) {
  const std::string proc = "/proc/" + std::to_string(pid);
  if (readFile(proc + "/wchan") == "wait_for_partner") return true;
  boost::system::error_code ec;
  for (fs::directory_iterator it(proc + "/fd", ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::read_symlink(it->path(), ec) == path) return true;
  }
  return false;
}

// `text` with the part from `from` up to (not including) the next `to` replaced by `with`.
std::string replacedBetween(std::string text, const std::string& from, const std::string& to,
                            const std::string& with) {
  const size_t begin = text.find(from);
  const size_t end = text.find(to, begin);
  EXPECT_NE(end, std::string::npos) << from << " ... " << to;
  return end == std::string::npos ? text : text.replace(begin, end - begin, with);
}

// SIGINT during start-up ends the program at once, by SIGINT's own default action: in the middle
// of the longest preparation that the view bound allows (the sample's top view at 8192 x 2048,
// about 40 s here), or while a document read waits for a FIFO that nobody writes (the main
// configuration, a camera's intrinsics, the extrinsics, the user settings).
TEST(TesmoDemo, SigintDuringStartUpEndsTheProgramAtOnce) {
  struct Case {
    const char* what;
    std::string from, to, with;  // the sample's configuration, changed so
    bool bFifoConfig;            // the FIFO as --config
    const char* line;            // awaited on stderr before SIGINT; null: the FIFO reached
  };
  const std::string fifo = "\"@FIFO@\"";
  const Case cases[] = {
      {"long preparation", "view_size: [ 700, 900 ]", "\n", "view_size: [ 8192, 2048 ]", false,
       "Created VideoWriteSeq writer, prefix:out/top_view"},
      {"FIFO as the configuration", "", "", "", true, nullptr},
      {"FIFO as intrinsics", "intrinsics:\n   back:\n", "   front:\n",
       "intrinsics:\n   back: " + fifo + "\n", false, nullptr},
      {"FIFO as extrinsics", "\nextrinsics:\n", "\ntesmo_gen:", "\nextrinsics: " + fifo, false,
       nullptr},
      {"FIFO as user settings", "user_settings: ", "\n", "user_settings: " + fifo, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    linkSamples(dir);
    const std::string pipe = dir / "fifo";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::string text = readFile(dir / "samples/synthetic/config.yml");
    if (!c.from.empty()) text = replacedBetween(text, c.from, c.to, c.with);
    const size_t at = text.find("@FIFO@");
    if (at != std::string::npos) text.replace(at, 6, pipe);
    std::ofstream(dir / "config.yml") << text;

    auto demo = startDemo(dir, {"--config=" + (c.bFifoConfig ? pipe : dir / "config.yml")});
    const auto reached = [&] {
      return c.line != nullptr ? demo->err().find(c.line) != std::string::npos
                               : reachedFifo(demo->pid(), pipe);
    };
    ASSERT_TRUE(waitFor([&] { return reached() || demo->poll(); }, milliseconds(60000)));
    ASSERT_FALSE(demo->poll()) << "ended early:\n" << demo->err();
    const auto sent = std::chrono::steady_clock::now();
    demo->signal(SIGINT);
    const bool bEnded = demo->wait(milliseconds(10000));
    const auto ms =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - sent).count();
    std::cout << "[  SIGINT  ] " << c.what << ": ended " << ms << " ms after it\n";
    ASSERT_TRUE(bEnded) << "still running 10 s after SIGINT";
    EXPECT_EQ(demo->termSignal(), SIGINT) << "exit code " << demo->exitCode() << "\n"
                                          << demo->err();
  }
}

// A sink that cannot write (its folder missing, or a regular file where its folder should be;
// both hold for root too) leaves the run going on; with glog's default settings its error reaches
// standard error during the run, and the output at exit counts the frames it lost.
TEST(TesmoDemo, SinkFailuresReachTheConsoleAndAreCountedAtExit) {
  for (const std::string folder : {"missing", "plain"}) {
    SCOPED_TRACE(folder);
    TempDir dir;
    std::ofstream(dir / "plain") << "a regular file\n";
    SceneSetup setup = twoViewScene(dir);
    const std::string prefix = dir / (folder + "/a");
    setup.views[1].pngPrefix = prefix;  // a_view
    test::writeScene(setup, dir / "config.yml");
    // As a user runs it: glog writes its files (here into dir) and only errors to the console.
    Process demo({TESMO_DEMO_PATH, "--config=" + (dir / "config.yml")}, dir.str(),
                 dir / "demo.out", dir / "demo.err", {{"GLOG_log_dir", dir.str()}});
    runUntilFrames(demo, dir / "b", 3);
    ASSERT_EQ(demo.exitCode(), 0) << demo.err();

    const std::string err = demo.err();
    const std::string error = "] Can't write frame to \"" + prefix + "-0000000.png\" (";
    const size_t at = err.find(error);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err[err.rfind('\n', at) + 1], 'E') << err;  // glog's letter of the error severity
    // Both views are published on every tick: a_view's sink lost as many frames as b_view wrote.
    const std::string out = demo.out();
    const std::string report = "\nSink write failures:\n\tView \"a_view\", frame_sequence \"" +
                               prefix + "\": " + std::to_string(pngsOf(dir / "b").size()) +
                               " frames not written\n";
    EXPECT_NE(out.find(report, out.find("#CALLS")), std::string::npos) << out;
    EXPECT_EQ(out.find("View \"b_view\""), std::string::npos) << out;
  }
}

TEST(TesmoDemo, PngOutputMatchesComposedView) {
  TempDir dir;
  SceneSetup setup = twoViewScene(dir);
  const std::string config = dir / "config.yml";
  test::writeScene(setup, config);
  auto demo = startDemo(dir, {"--config=" + config});
  runUntilFrames(*demo, dir / "b", 3);
  ASSERT_EQ(demo->exitCode(), 0) << demo->err();

  cv::FileStorage fs(config, cv::FileStorage::READ);
  for (const std::string name : {"a", "b"}) {
    const cv::Mat published = cv::imread(pngsOf(dir / name).back());
    const cv::Mat expected = composeView(config, ViewNode(fs, name + "_view"));
    ASSERT_EQ(published.size(), cv::Size(300, 300));
    ASSERT_EQ(published.size(), expected.size());
    EXPECT_GE(cv::PSNR(published, expected), 50.0) << name;
  }
  // Each view shows its own camera: a_view warm (red above blue), b_view cool.
  const cv::Scalar meanA = cv::mean(cv::imread(pngsOf(dir / "a").back()));
  const cv::Scalar meanB = cv::mean(cv::imread(pngsOf(dir / "b").back()));
  EXPECT_GT(meanA[2], meanA[0] + 50);
  EXPECT_GT(meanB[0], meanB[2] + 50);
}

// The bundled sample as `make demo` runs it (from a directory that holds the sample under
// samples/ and an empty out/), on the CPU and on "opencl" (the device OPENCV_OPENCL_DEVICE
// selects) and "cuda" (the GPU layer's host back-end): outside the information overlay in the
// top-left corner, its views match the CPU composition done here and its top view the
// ground-truth rendering.
TEST(TesmoDemo, SampleSceneViewsMatchCompositionOnEveryPlatform) {
  for (const std::string platform : {"cpu", "opencl", "cuda"}) {
    SCOPED_TRACE(platform);
    TempDir dir;
    linkSamples(dir);
    std::string text = readFile(dir / "samples/synthetic/config.yml");
    const auto at = text.find("platform: cpu");
    ASSERT_NE(at, std::string::npos);
    const std::string config = dir / (platform + ".yml");
    std::ofstream(config) << text.replace(at, 13, "platform: " + platform);
    auto demo = startDemo(dir, {"--config=" + platform + ".yml"});
    runUntilFrames(*demo, dir / "out/virtual_camera", 3);
    ASSERT_EQ(demo->exitCode(), 0) << demo->err();
    const bool bCpu = platform == "cpu";
    EXPECT_TRUE(bCpu || demo->out().find("tvg_create_pyr") != std::string::npos) << demo->out();

    cv::FileStorage fs(config, cv::FileStorage::READ);
    cv::FileStorage scene(dir / "samples/synthetic/scene.yml", cv::FileStorage::READ);
    const std::string truthView = scene["ground_truth"]["view"].string();
    const cv::Mat truth =
        cv::imread(dir / ("samples/synthetic/" + scene["ground_truth"]["image"].string()));
    ASSERT_FALSE(truth.empty());
    bool bTruthChecked = false;
    for (const cv::FileNode& node : fs["tesmo_gen"]) {
      const std::string name = node["name"].string();
      SCOPED_TRACE(name);
      PublishedView v;
      ASSERT_NO_FATAL_FAILURE(loadPublishedView(dir, config, node, &v));
      // Other platforms may fill the pixels no camera sees differently.
      const cv::Mat mask = bCpu ? v.outsideOverlay : cv::Mat(v.outsideOverlay & v.covered);
      EXPECT_GE(MaskedPsnr(v.published, v.expected, mask), bCpu ? 50.0 : 40.0);
      if (name == truthView) {
        ASSERT_EQ(v.published.size(), truth.size());
        const double psnr = MaskedPsnr(v.published, truth, v.covered & v.outsideOverlay);
        std::cout << "[   PSNR   ] " << name << " vs ground truth: " << psnr << " dB\n";
        EXPECT_GE(psnr, 52.0);  // about 57.5 dB on every platform
        bTruthChecked = true;
      }
    }
    EXPECT_TRUE(bTruthChecked) << "no view named " << truthView;
  }
}

TEST(TesmoDemo, UserSettingsEntryReplacesViewParameters) {
  TempDir dir;
  const SceneSetup setup = writeUserSettingsScene(dir);
  const std::string config = dir / "config.yml";
  {
    // b_view's entry keeps only "mode" and "view_size": its roi falls back to the generator's
    // default, not to the configuration's. An entry of an unknown view is ignored.
    cv::FileStorage user(setup.userSettings, cv::FileStorage::WRITE);
    user << "tesmo_gen" << "[";
    user << "{" << "name" << "zz_unknown" << "view_size" << "[" << 16 << 16 << "]" << "}";
    user << "{" << "name" << "b_view" << "mode" << "top_view";
    user << "view_size" << "[" << 200 << 120 << "]" << "}";
    user << "]";
  }
  auto demo = startDemo(dir, {"--config=" + config});
  runUntilFrames(*demo, dir / "b", 3);
  ASSERT_EQ(demo->exitCode(), 0) << demo->err();

  const cv::Mat b = cv::imread(pngsOf(dir / "b").back());
  const cv::Mat a = cv::imread(pngsOf(dir / "a").back());
  EXPECT_EQ(b.size(), cv::Size(200, 120));
  EXPECT_EQ(a.size(), cv::Size(300, 300));

  cv::FileStorage user(setup.userSettings, cv::FileStorage::READ);
  const cv::Mat expected = composeView(config, user["tesmo_gen"][1]);
  ASSERT_EQ(expected.size(), b.size());
  EXPECT_GE(cv::PSNR(b, expected), 50.0);
}

// Posts "/configure" requests for a_view to 127.0.0.1:<argv[1]> without pause, alternating two
// view sizes, and prints the count after each answer; retries the first request for up to 60 s
// (the server may not listen yet) and ends at the first failure after that.
const char* const kConfigureClient = R"(
import json, sys, time, urllib.request
count, deadline = 0, time.monotonic() + 60
while count or time.monotonic() < deadline:
    body = json.dumps({"name": "a_view", "view_size": [200, 120] if count % 2 else [160, 160]})
    try:
        urllib.request.urlopen(urllib.request.Request(
            "http://127.0.0.1:%s/configure" % sys.argv[1], body.encode(),
            {"Content-Type": "application/json"}), timeout=60).read()
    except Exception:
        if count:
            break
        time.sleep(0.05)
        continue
    count += 1
    print(count, flush=True)
)";

// The user-settings file is replaced whole: read while "/configure" requests rewrite it, or after
// the program was killed (SIGKILL) meanwhile, it holds the old or the new document, and the
// program starts again from it.
TEST(TesmoDemo, UserSettingsSurviveAKillWhileSaving) {
  TempDir dir;
  const SceneSetup setup = writeUserSettingsScene(dir);
  const std::string config = dir / "config.yml";
  // A port that nothing listens on now.
  const int portNumber = freePort();
  ASSERT_GT(portNumber, 0);
  const std::string port = std::to_string(portNumber);
  std::ofstream(config, std::ios::app) << "http_server:\n   address: \"127.0.0.1\"\n   port: "
                                       << port << "\n";

  // Whether the file holds a whole document: both views, a_view at one of the posted sizes.
  const auto whole = [&] {
    try {
      cv::FileStorage user(readFile(setup.userSettings),
                           cv::FileStorage::READ | cv::FileStorage::MEMORY);
      const cv::FileNode views = user["tesmo_gen"];
      std::vector<int> size;
      views[0]["view_size"] >> size;
      return views.size() == 2 && views[0]["name"].string() == "a_view" &&
             views[1]["name"].string() == "b_view" &&
             (size == std::vector<int>{160, 160} || size == std::vector<int>{200, 120});
    } catch (const cv::Exception&) {
      return false;
    }
  };
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto demo = startDemo(dir, {"--config=" + config});
    Process client({"/usr/bin/python3", "-c", kConfigureClient, port}, dir.str(),
                   dir / "client.out", dir / "client.err");
    // Read again and again while the requests go on; killed after a few saves, while the next
    // request is on its way.
    std::atomic<bool> bReading{true};
    std::atomic<int> brokenReads{0};
    std::thread reader([&] {
      while (bReading) {
        if (fs::exists(setup.userSettings) && !whole()) ++brokenReads;
      }
    });
    const long saves = 1 + round % 3;
    const bool bSaved = waitFor(
        [&] {
          const std::string out = client.out();
          return demo->poll() || std::count(out.begin(), out.end(), '\n') >= saves;
        },
        milliseconds(90000));
    const bool bRan = !demo->poll();
    demo->signal(SIGKILL);
    bReading = false;
    reader.join();
    ASSERT_TRUE(bRan) << "ended:\n" << demo->err();
    ASSERT_TRUE(bSaved) << client.err();
    ASSERT_TRUE(demo->wait(milliseconds(20000)));
    EXPECT_EQ(brokenReads, 0);
    EXPECT_TRUE(whole()) << readFile(setup.userSettings);
  }
}

// Bad configurations end the program with their message and status 1, never a signal.
TEST(TesmoDemo, BadInputEndsWithMessage) {
  struct Case {
    std::string what;
    std::function<void(SceneSetup&)> change;
    std::string message;
    std::string configOverride;    // write this text as the configuration instead; "-": no file
    std::string userSettings = "";  // text of the user-settings file, when not empty
    std::vector<std::string> extraArgs = {};
    std::string display = "";  // DISPLAY, when not empty
    std::string appended = "";  // added to the end of the configuration
  };
  const std::vector<Case> cases = {
      {"missing file", nullptr, "Check failed: fs.isOpened() ", "-"},
      {"not a configuration", nullptr, "Parsing error", "tesmo_app: [unclosed: {\n"},
      {"unknown platform", [](SceneSetup& s) { s.platform = "gpu"; },
       "Platform \"gpu\" not support", ""},
      {"absent platform", [](SceneSetup& s) { s.platform = ""; }, "Platform \"\" not support", ""},
      {"no generator node", [](SceneSetup& s) { s.bWriteGen = false; },
       "Check failed: genNode.isSeq() || genNode.isMap() ", ""},
      {"view without name", [](SceneSetup& s) { s.views[0].name.clear(); },
       "Check failed: !name.empty() ", ""},
      {"duplicate names", [](SceneSetup& s) { s.views[0].name = "a_view"; },
       "TesmoStreams name aren't unique", ""},
      {"all views disabled",
       [](SceneSetup& s) {
         for (auto& v : s.views) v.bEnabled = false;
       },
       "Check failed: tesmoStreams.size() > 0 ", ""},
      {"HTTP port beyond 16 bits", [](SceneSetup&) {},
       "Key \"port\" in \"http_server\" must be an integer in 1..65535, got 70000", "", "", {}, "",
       "http_server:\n   port: 70000\n"},
      {"no camera", nullptr, "Check failed: 0 Can't read cameras",
       "tesmo_app: {platform: cpu}\ntesmo_gen: {name: v}\ncamera_streams: {}\nintrinsics: {}\n"
       "extrinsics: {}\n"},
      {"camera missing for a frame stream", [](SceneSetup& s) { s.bExtraStream = true; },
       "Check failed: frameStreams->size() == cameras.size() Mismatch frameStreams and cameras num",
       ""},
      {"unparsable user settings", [](SceneSetup&) {}, "Parsing error", "",
       "tesmo_gen: [ { name: a_view, \n"},
      {"interactive without a display", [](SceneSetup&) {},
       "interactive mode needs a display, and DISPLAY is not set", "", "", {"-i"}},
      {"interactive with a display nobody serves", [](SceneSetup&) {},
       "interactive mode needs a display, and DISPLAY \":7777\" cannot be opened", "", "", {"-i"},
       ":7777"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string config = dir / "config.yml";
    if (c.configOverride == "-") {
      config = dir / "absent.yml";
    } else if (!c.configOverride.empty()) {
      std::ofstream(config) << "%YAML:1.0\n---\n" << c.configOverride;
    } else {
      SceneSetup setup = twoViewScene(dir);
      c.change(setup);
      if (!c.userSettings.empty()) {
        setup.userSettings = dir / "user.yml";
        std::ofstream(setup.userSettings) << "%YAML:1.0\n---\n" << c.userSettings;
      }
      test::writeScene(setup, config);
    }
    if (!c.appended.empty()) std::ofstream(config, std::ios::app) << c.appended;
    std::vector<std::string> args = {"--config=" + config};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    auto demo = startDemo(
        dir, args, {{"DISPLAY", c.display}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
    ASSERT_TRUE(demo->wait(milliseconds(30000)));
    EXPECT_TRUE(demo->exitedNormally()) << "signal " << demo->termSignal();
    EXPECT_EQ(demo->exitCode(), 1);
    const std::string err = demo->err();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(err.find("stack trace"), std::string::npos) << err;
    EXPECT_EQ(demo->out().find("Tesmo generation is started"), std::string::npos);
  }
}

// ---- Interactive mode ---------------------------------------------------------------------

// Under a private Xvfb server: keys sent with xdotool, the main window's contents read back
// with ffmpeg's X11 grabber.

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

  auto demo = startDemo(dir, {"-i", "-a", "--config=" + (dir / "config.yml")},
                        {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}});
  Screen screen(dir, display);
  std::string window;
  ASSERT_TRUE(waitFor(
      [&] {
        window = screen.findWindow("Tesmo view demo");
        return !window.empty() || demo->poll();
      },
      milliseconds(60000)));
  ASSERT_FALSE(window.empty()) << demo->out() << demo->err();
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
  ASSERT_TRUE(demo->wait(milliseconds(20000))) << "Esc did not end the loop";
  EXPECT_EQ(demo->exitCode(), 0) << demo->err();
  EXPECT_NE(demo->out().find("LiveStreams statistics:"), std::string::npos);
  EXPECT_NE(demo->out().find("main_one_tick"), std::string::npos);
  EXPECT_TRUE(xvfb.stop());
}

}  // namespace
}  // namespace tesmo
