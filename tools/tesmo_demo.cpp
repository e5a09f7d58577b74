// tesmo_demo: builds every view of one configuration file and runs them in the main loop until
// SIGINT (or Esc in interactive mode), then prints the live reader's statistics and the timing
// table.

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <glog/logging.h>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "common/misc.h"
#include "common/perf.h"
#include "streamer/display.h"
#include "tools/private/http_ctrl.h"
#include "tools/private/mask_viewer.h"
#include "tools/private/misc.h"
#include "tools/private/tesmo_tools.h"

namespace {

// Cleared by the SIGINT handler and by Esc; read once per pass of the main loop.
std::atomic<bool> gIsRunning{true};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the run flag is written from a signal handler");

const std::string kWindowName = "Tesmo view demo";
const char* const kAbout = "Tesmo view demo.";
const char* const kArgs =
    "{help | | Print help.}"
    "{config | config.yml | Camera config file. Discards all other cam_* params.}"
    "{cuda_dev_list | | Print CUDA device list.}"
    "{interactive i | | Interactive mode}"
    "{show_all_wnd a | | Show separate window for all streams in the interactive mode.}";

enum AppMode { PUBLISH_ONLY = 0, VIEW_GENERATION = 1, VIEW_MASKS = 2 };

void onInterrupt(int) { gIsRunning = false; }

void setInterruptAction(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
}

// Start-up: SIGINT ends the program at once (its default action), also in the middle of a long
// view preparation or of a read that blocks (a FIFO named as a document that nobody writes).
// Nothing is left half-written by that: start-up only reads the user-settings file, and the file
// sinks open their files at the first frame (a shared-memory sink's segment stays, and the next
// start opens it again). Set explicitly, since a shell starts background jobs with SIGINT ignored.
void endOnInterrupt() { setInterruptAction(SIG_DFL); }

// From the main loop on, SIGINT only clears the run flag: the pass in progress completes and the
// program ends in order, with its statistics.
void deferInterrupt() { setInterruptAction(onInterrupt); }

// A failed fatal check ends the process with a non-zero status instead of an abort and a stack
// dump. Other threads may still run, so no destructors run either.
[[noreturn]] void exitOnFatal() {
  std::fflush(nullptr);
  _exit(EXIT_FAILURE);
}

// Sees every log message after it has gone to the log files and standard error; a fatal one
// ("Check failed: ...") ends the process there, before glog prints its stack-trace banner.
class ExitOnFatalSink : public google::LogSink {
 public:
  void send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
            const char*, size_t) override {
    if (severity == google::GLOG_FATAL) exitOnFatal();
  }
};

// Refuses interactive mode when the window library could not open its display: it would abort the
// process once everything has started.
void requireDisplay() {
  const tesmo::DisplayStatus status = tesmo::CheckDisplay();
  if (status.state == tesmo::DisplayStatus::NotReachable) {
    throw std::runtime_error("interactive mode needs a display, and DISPLAY \"" + status.display +
                             "\" cannot be opened");
  }
  if (status.state == tesmo::DisplayStatus::NotSet) {
    throw std::runtime_error("interactive mode needs a display, and DISPLAY is not set");
  }
}

std::string trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  const auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// Overwrites the pixels of `mat` (the view's own image; the next tick regenerates it) with a
// grey "Loading..." screen and shows it.
void showLoading(cv::Mat mat, int delay) {
  mat.setTo(cv::Scalar::all(50));
  cv::putText(mat, "Loading...", cv::Point(200, mat.rows / 2), cv::FONT_HERSHEY_SIMPLEX, 2.0,
              cv::Scalar(200, 200, 200), 1, cv::LINE_8);
  cv::imshow(kWindowName, mat);
  cv::waitKey(delay);
}

// What the main loop does besides ticking, and what it shows.
struct Screen {
  AppMode mode = PUBLISH_ONLY;
  bool bShowAllWnd = false;
  std::shared_ptr<TesmoStream> current;
  std::unique_ptr<tesmo::MasksViewer> masksViewer;
};

void openWindows(const TesmoApp& app, const Screen& screen) {
  cv::namedWindow(kWindowName, cv::WINDOW_NORMAL);
  if (!screen.bShowAllWnd) return;
  for (size_t i = 1; i < app.tesmoStreams.size(); ++i) {
    cv::namedWindow(kWindowName + " " + std::to_string(i), cv::WINDOW_NORMAL);
  }
}

void showViews(const TesmoApp& app, Screen& screen, int key) {
  if (screen.mode == VIEW_MASKS) {
    screen.masksViewer->DrawToolsWnd(screen.current->getOutputImg(), key);
  }
  cv::imshow(kWindowName, screen.current->getOutputImg());
  if (!screen.bShowAllWnd) return;
  for (size_t i = 1; i < app.tesmoStreams.size(); ++i) {
    cv::imshow(kWindowName + " " + std::to_string(i), app.tesmoStreams[i]->getOutputImg());
  }
}

// F2: the mask viewer of the current view, shown over it.
void showMasks(const TesmoApp& app, Screen& screen) {
  screen.mode = VIEW_MASKS;
  showLoading(screen.current->getOutputImg(), 10);
  try {
    // HTTP requests change the view's generator under its mutex.
    std::lock_guard<std::mutex> lock(screen.current->mutex);
    screen.masksViewer =
        std::make_unique<tesmo::MasksViewer>(*screen.current->gen, *app.frameStreams);
  } catch (const std::exception& e) {
    // Views whose maps cannot be computed have no masks to show; the program goes on.
    LOG(ERROR) << "No masks for view " << screen.current->getName() << ": " << e.what();
    screen.masksViewer.reset();
    screen.mode = VIEW_GENERATION;
  }
}

// Left and right: the previous or next view, around the ends.
void switchView(const std::shared_ptr<TesmoApp>& tesmoApp, Screen& screen, int key) {
  const auto& views = tesmoApp->tesmoStreams;
  auto it = std::find(views.begin(), views.end(), screen.current);
  CHECK(it != tesmoApp->tesmoStreams.end());
  if (key == ASCII_LEFT) {
    screen.current = it == views.begin() ? views.back() : *(it - 1);
  } else {
    screen.current = (it + 1) == views.end() ? views.front() : *(it + 1);
  }
}

void onKey(const std::shared_ptr<TesmoApp>& tesmoApp, Screen& screen, int key) {
  switch (key) {
    case ASCII_ESC:
      gIsRunning = false;
      break;
    case ASCII_F1:
      screen.mode = VIEW_GENERATION;
      screen.masksViewer.reset();
      break;
    case ASCII_F2:
      showMasks(*tesmoApp, screen);
      break;
    default:
      break;
  }
  if (screen.mode == VIEW_GENERATION && (key == ASCII_LEFT || key == ASCII_RIGHT)) {
    switchView(tesmoApp, screen, key);
  }
}

// After the main loop: the live reader's statistics, the timing table and the sinks that could
// not write every frame.
void printExitStatistics(const TesmoApp& app) {
  std::cout << "\n";
  app.lifeStreams->printStatistics();
  tesmo::perf::ReportPerfStat(std::cout);
  app.reportFailedWrites(std::cout);
  std::cout << std::flush;
}

int run(int argc, char** argv) {
  cv::CommandLineParser parser(argc, argv, kArgs);
  parser.about(kAbout);
  const std::string configPath = trim(parser.get<std::string>("config"));
  const bool bInteractive = parser.has("interactive");

  if (parser.has("help")) {
    parser.printMessage();
    return 0;
  }
  if (parser.has("cuda_dev_list")) {
    std::cout << "CUDA device list:\n";
    const int count = tesmo::gpu::getDeviceCount();
    for (int i = 0; i < count; ++i) tesmo::gpu::printShortDeviceInfo(i);
    return 0;
  }

  endOnInterrupt();

  Screen screen;
  screen.mode = bInteractive ? VIEW_GENERATION : PUBLISH_ONLY;
  screen.bShowAllWnd = parser.has("show_all_wnd");
  if (bInteractive) requireDisplay();

  auto tesmoApp = std::make_shared<TesmoApp>(configPath);
  deferInterrupt();
  screen.current = tesmoApp->tesmoStreams.front();
  if (bInteractive) openWindows(*tesmoApp, screen);

  std::unique_ptr<tesmo::HTTPCtrl> httpCtrl;
  const cv::FileNode httpNode = tesmoApp->getFS()["http_server"];
  if (httpNode.isMap() && isEnabled(httpNode)) {
    httpCtrl = std::make_unique<tesmo::HTTPCtrl>(tesmoApp, httpNode);
  }

  std::cout << "Tesmo generation is started ...\n" << std::flush;

  while (gIsRunning) {
    tesmo::perf::ScopedTimer timer("main_one_tick");
    tesmoApp->tick(&gIsRunning);
    if (screen.mode != PUBLISH_ONLY) {
      const int key = cv::waitKey(3);
      showViews(*tesmoApp, screen, key);
      onKey(tesmoApp, screen, key);
    }
  }

  printExitStatistics(*tesmoApp);

  screen.masksViewer.reset();
  // No tick runs any more: HTTP requests that wait for a frame set must not wait forever.
  tesmoApp->closeFrameCapture();
  httpCtrl.reset();
  screen.current.reset();
  tesmoApp.reset();
  return 0;
}

// Sets one parameter of glibc's allocator unless the environment sets it (GLIBC_TUNABLES with
// "glibc.malloc.<tunable>", or glibc's own variable). glibc takes the values used here; an
// allocator that replaces it (a sanitizer's) ignores the call.
void setAllocatorParameter(int param, int value, const char* tunable, const char* variable) {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (std::getenv(variable) != nullptr ||
      (tunables != nullptr && std::strstr(tunables, tunable) != nullptr)) {
    return;
  }
  mallopt(param, value);
}

// Keeps glibc's allocator from holding on to the images that re-prepares free. By default every
// thread may get an arena of its own, up to eight per core, and the 64 HTTP workers take turns at
// the re-prepares. glibc raises its mmap threshold to the largest block freed (up to 32 MiB), so
// that images too come from the arenas, and its trim threshold to twice that; an arena keeps what
// is freed at its top up to the trim threshold, and malloc_trim returns such space for the main
// arena only. So free space piled up in one worker's arena after another, and memory grew with
// the re-prepares. Here:
// - one arena per core: the workers share a few arenas, and a re-prepare reuses what earlier ones
//   freed;
// - blocks of 4 MiB or more (maps, float images, pyramid levels) are mapped on their own and go
//   back to the system when freed;
// - an arena is trimmed once more than 8 MiB lies free at its top, twice the mmap threshold as
//   glibc's own adjustment keeps them, so that a frame's working buffers (the encoders' packets,
//   compression windows) are reused from frame to frame instead of being returned and faulted in
//   again.
void boundFreedMemory() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores > 0) {
    setAllocatorParameter(M_ARENA_MAX, static_cast<int>(cores), "glibc.malloc.arena_max",
                          "MALLOC_ARENA_MAX");
  }
  setAllocatorParameter(M_MMAP_THRESHOLD, 4 << 20, "glibc.malloc.mmap_threshold",
                        "MALLOC_MMAP_THRESHOLD_");
  setAllocatorParameter(M_TRIM_THRESHOLD, 8 << 20, "glibc.malloc.trim_threshold",
                        "MALLOC_TRIM_THRESHOLD_");
}

}  // namespace

int main(int argc, char** argv) {
  boundFreedMemory();
  google::InitGoogleLogging(argv[0]);
  google::InstallFailureFunction(&exitOnFatal);
  static ExitOnFatalSink exitOnFatalSink;
  google::AddLogSink(&exitOnFatalSink);
  // Start-up errors that the readers throw (an unknown platform, an unparsable file, a source
  // that cannot be opened) end the program with their message and a non-zero status.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "tesmo_demo: " << e.what() << std::endl;
    return EXIT_FAILURE;
  }
}
