#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "generator/camera.h"
#include "generator/tesmo_view.h"
#include "streamer/frame_streams.h"
#include "streamer/live_streams.h"
#include "streamer/video_write.h"

// Processing platform of the demo program, chosen once by the "platform" key. It selects each
// view's generator variant, the frame forms the live reader fills and the image of a loaned buffer
// that the generators receive.
enum Platform { CPU = 0, OPENCL = 1, CUDA = 2 };

// "cpu" -> CPU, "opencl" -> OPENCL, "cuda" -> CUDA (exact, case-sensitive). Anything else throws
// std::runtime_error: Platform "<text>" not support
Platform getPlatform(const std::string& platformName);

// One generated view: a named generator of the platform's variant, the sinks that receive every
// published image, and the output image with a ready flag and an image number through which
// other threads wait for the next published image.
//
// Threads: process, publish and compute run on the main thread; waitImage on any other thread.
// `mutex` is held while the generator is prepared or run and while a waiter copies the image;
// whoever changes the generator's parameters or cameras from another thread holds it too.
class TesmoStream {
 public:
  // `cameras` is the view's own copy of the camera list; `node` the view's configuration node
  // (one element of "tesmo_gen"); `userNode` its user-settings entry or an empty node. The
  // generator reads its parameters from `userNode` when that is a map, else from `node`; the sinks
  // always come from node["video_writes"]. The generator is not prepared here.
  TesmoStream(std::vector<tesmo::Camera> cameras, const cv::FileNode& node,
              const cv::FileNode& userNode, Platform platform);
  // Wakes every waiter; the sinks close when their last owner goes.
  ~TesmoStream();

  TesmoStream(const TesmoStream&) = delete;
  TesmoStream& operator=(const TesmoStream&) = delete;

  // Prepares the generator with its current cameras and parameters, under `mutex`.
  void compute();
  // Replaces the generator's parameters and prepares it, under `mutex`.
  void compute(const tesmo::TesmoViewGenerator::GenerationParams& params);

  // Runs the generator on one frame set (one image per camera, camera order) into the output
  // image. Timed as "tvs_process".
  void process(const std::vector<cv::_OutputArray>& frames);

  // Hands the output image to every sink (ms since the Unix epoch) and wakes the waiters. The
  // sinks run on the calling thread, outside `mutex`. Timed as "tvs_publish".
  void publish(int64_t timestampMs);

  // Waits up to timeoutMs for the next published image and copies it into `out`. A published
  // image goes to one waiter only. Returns whether an image was copied.
  bool waitImage(cv::Mat& out, int timeoutMs);
  // Waits up to timeoutMs for an image newer than the one numbered *lastImage (0 before the
  // first) and copies the newest into `out`, its number into *lastImage. Each caller keeps its
  // own number (an MJPEG viewer, say), so every one gets every image published while it waits,
  // and one that comes back after several publishes gets the newest at once. Returns whether an
  // image was copied.
  bool waitImage(cv::Mat& out, int timeoutMs, uint64_t* lastImage);
  // Waits up to timeoutMs for an image newer than the one numbered `lastImage`, without taking
  // it; returns the newest image's number, `lastImage` when none came.
  uint64_t waitNewerImage(uint64_t lastImage, int timeoutMs);

  // Every sink that could not deliver some frames so far, in configuration order: its type and,
  // where the node names one, its target (frame_sequence "out/top_view"), with the number of
  // frames lost. Any thread.
  std::vector<std::pair<std::string, int>> failedWrites() const;

  // The output image (CV_8UC3 at the generator's working size); the overlay draws into it.
  cv::Mat& getOutputImg() { return outputImg; }
  const std::string& getName() const { return name; }

  std::shared_ptr<tesmo::TesmoViewGenerator> gen;
  std::vector<std::shared_ptr<tesmo::VideoWrite>> videoWrites;
  std::mutex mutex;

 protected:
  // Builds the sink of one "video_writes" node and keeps its label.
  void addSink(const cv::FileNode& node);

  std::string name;
  // Per sink, in videoWrites' order: its type and target, for messages.
  std::vector<std::string> sinkLabels;
  bool bCvReady = false;
  // Images published so far, the number of the newest; destruction counts one more so that
  // every waiter wakes.
  uint64_t imageNumber = 0;
  std::condition_variable cv;
  cv::Mat outputImg;
};

// Periodic worker of the intensity correction: a thread that runs a callback once per interval
// while holding `mutex`. The first run comes one interval after construction, each later one an
// interval after the previous run returned; an interval of 0 runs the callback again at once.
// Destroying the timer (from any thread but its own) calls `onStop` on the destroying thread, then
// waits for a run in progress and joins the thread. `onStop` lets a run that waits for something
// the destroying thread would otherwise provide (a tick's frames) give up, so that the timer can
// be destroyed from that thread too.
//
//   Timer timer(std::chrono::milliseconds(3000), [&app] { app.runOnce(); });
//   ...               // runs every 3 s on the timer's thread
//   // ~Timer: stops and joins
class Timer {
 public:
  template <class Rep, class Period, class Callback>
  Timer(const std::chrono::duration<Rep, Period>& interval, Callback fn,
        std::function<void()> onStop = nullptr)
      : onStop(std::move(onStop)) {
    start(std::chrono::duration_cast<std::chrono::nanoseconds>(interval),
          std::function<void()>(std::move(fn)));
  }
  ~Timer();

  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

 protected:
  void start(std::chrono::nanoseconds interval, std::function<void()> fn);

  // Set by the destructor; read by the thread under `mutex` and between runs.
  std::atomic<bool> bTerminated{false};
  std::function<void()> onStop;
  std::thread thread;
  std::condition_variable cv;
  std::mutex mutex;
};

// Runs a command line through the shell (popen), copies its standard output byte for byte to
// ours and returns its exit code (0..255). A command that cannot be started gives -1 and a
// logged error; it never ends the process.
int runShellCommand(const std::string& command);

// `text` as one word for the shell: in single quotes, each ' written as '\''.
std::string shellQuote(const std::string& text);

// The demo program's application: built once from the main configuration file, it opens every
// source, runs the live reader, builds and prepares every view, and then runs one tick per pass of
// the main loop. Start-up failures end the process through fatal checks, or throw (a key of the
// wrong type or out of range, "fps_min" above "fps_max", an unknown or unavailable platform, a
// user-settings file that cannot be read, a refused view, calibration that the library's camera
// checks refuse, errors of the readers it calls).
//
// Threads: the constructor and tick run on the main thread. `camerasMutex` guards `cameras`: the
// ticks read the gains and offsets, the correction timer writes them, HTTP routes read and
// replace the cameras.
class TesmoApp {
 public:
  // Frame-rate pacing: settings and state.
  struct FPSAutoAdj {
    // Share of the live reader's queue size that the pacing keeps ready.
    double minWndQuery = 0.25;
    // Share of the queue size above which a camera's oldest ready frame may be dropped.
    double maxWndQuery = 0.75;
    // Seconds by which the period changes in one adjustment; <= 0 disables the adjustment.
    double adjSpeed = 0.0005;
    bool bAllowSkipFrame = false;
    std::chrono::nanoseconds periodMin{0};
    std::chrono::nanoseconds periodMax{0};
    // Due time of the next tick.
    std::chrono::system_clock::time_point sleepUntil;
    // Current tick period; 0 means no pacing.
    std::chrono::nanoseconds period{0};
  };

  // Intensity correction: settings and its timer. The correction is on exactly while the timer
  // exists.
  struct LinearRegress {
    bool bEnbledByDefault = false;
    // Step factor with which each tick moves the views' gains and offsets toward the app's.
    float filter = 1.0f;
    std::shared_ptr<Timer> updateIntensityTimer;
    std::chrono::milliseconds interval{0};

    // Safe from any thread: the timer pointer is read and replaced atomically.
    bool isEnabled() const { return std::atomic_load(&updateIntensityTimer) != nullptr; }
  };

  explicit TesmoApp(const std::string& configFileName);
  // Wakes a pending frame-capture request without frames and stops the intensity-correction
  // timer (joining its thread) before the members go, in the reverse of their order.
  ~TesmoApp();

  TesmoApp(const TesmoApp&) = delete;
  TesmoApp& operator=(const TesmoApp&) = delete;

  // One pass of the main loop: loan a frame set, generate every view, hand the frames back, pace,
  // draw the overlay and publish every view with the same timestamp. The pacing wait ends early,
  // within 100 ms, once `*bRunning` (when given) turns false.
  void tick(const std::atomic<bool>* bRunning = nullptr);

  // Writes every view's name and generator parameters to the user-settings file, replacing it
  // whole: the document goes to a temporary file in the same folder, flushed to disk and renamed
  // over the old one, so the file always holds the old or the new document. A failure is logged
  // and leaves the old file as it was; the result then says why, naming the file ("Can't save
  // user settings to \"<file>\": <reason>"), and is empty on success. Any thread; calls are
  // serialised.
  std::string saveUserGenSettings();

  // Writes one line per sink that could not deliver some frames, after the heading "Sink write
  // failures:" (nothing when every sink delivered every frame):
  //   <tab>View "top_view", frame_sequence "out/top_view": 57 frames not written
  void reportFailedWrites(std::ostream& out) const;

  // The open main configuration.
  const cv::FileStorage& getFS() const { return fs; }
  const std::string& getConfigFileName() const { return configFileName; }
  const std::string& getExtFileName() const { return extFileName; }
  const LinearRegress& getLinearRegress() const { return linearRegress; }
  bool getDrawInfo() const { return bDrawInfo; }

  // Intensity correction on: stops a running timer (waiting for a run in progress), then starts a
  // new one whose first run comes one interval later. Any thread; calls are serialised.
  void enableLinearRegress();
  // Intensity correction off: destroys the timer, waiting for a run in progress; a run that still
  // waits for a tick's frame set gives up its capture instead, so the thread that ticks may call
  // it too. Any thread.
  void disableLinearRegress();

  // Captures the next frame set that a tick hands over, writes every camera's CPU image to
  // tempDir/<camera name>.png and returns the frames to the live reader. False when a snapshot
  // (or the directory) could not be written, or when captures are closed. Captures from several
  // threads are served one after another. Never call it on the main thread (it waits for a tick).
  bool printCams();
  // No tick will run any more: wakes a requester that waits for a frame set (its printCams returns
  // false) and makes every later capture fail at once. Call it after the main loop has ended.
  void closeFrameCapture();

  std::shared_ptr<tesmo::FrameStreams> frameStreams;
  // The live reader; spelled so.
  std::shared_ptr<tesmo::LiveStreams> lifeStreams;
  // Enabled views, sorted by name.
  std::vector<std::shared_ptr<TesmoStream>> tesmoStreams;
  // Camera list sorted by name; camera i belongs to frame source i.
  std::vector<tesmo::Camera> cameras;
  // Guards `cameras`; hold it for every read and write of the list from any thread.
  mutable std::mutex camerasMutex;

 protected:
  struct FrameBufsPromise {
    std::promise<std::vector<std::unique_ptr<tesmo::LiveStreams::FrameBuf>>> promise;
    std::future<std::vector<std::unique_ptr<tesmo::LiveStreams::FrameBuf>>> future;
    bool bSet = false;
    // The requester's flag that withdraws the request (see capture), or null.
    const std::atomic<bool>* bWithdrawn = nullptr;
  };

  // Start-up steps, in the constructor's order. readAppSettings reads "tesmo_app" (and the
  // top-level "extrinsics" name) and returns its "cuda_dev"; readCalibration refuses calibration
  // that the library's checks refuse (std::runtime_error with their reason) and reads the
  // cameras; openFrameStreams pairs the sources with the cameras, refuses a camera that its
  // source's scale would make unusable and scales the intrinsics; addViews builds, prepares and
  // sorts every enabled view; startConfiguredCorrection starts the intensity correction when
  // "linear_regress" switches it on.
  int readAppSettings(const cv::FileNode& appNode);
  void readFrameRateRange(const cv::FileNode& appNode);
  void readCalibration();
  void openFrameStreams();
  void addViews(const cv::FileNode& genNode);
  void addView(const cv::FileNode& node, const cv::FileNode& userGen);
  void startConfiguredCorrection();
  // Tick steps: the loaned images the platform's generators take; the per-camera fullness of the
  // live reader's queues (dropping a frame where allowed), whose least value it returns; the
  // views' gains and offsets a step toward the application's; the frame set handed to a pending
  // capture or back to the live reader; the wait for the next due time; the filtered frame rate,
  // returning the tick's time in ms since the epoch; every view published with it.
  std::vector<cv::_OutputArray> generatorInputs();
  double updateQueueFullness();
  void stepIntensity();
  void handOverFrames();
  void pace(double minBuf, const std::atomic<bool>* bRunning);
  int64_t updateFrameRate();
  void publish(int64_t tsMs);
  // The user-settings file's "tesmo_gen" sequence, read into `userFs`; an empty node when the file
  // does not exist. A file that is empty, cannot be parsed or holds no "tesmo_gen" sequence throws
  // std::runtime_error naming the file.
  cv::FileNode readUserSettings(cv::FileStorage& userFs) const;
  // printCams for a requester that may withdraw: once *bWithdrawn is set and withdrawCaptures()
  // has run, a capture that still waits (for its turn or for a tick's frames) returns false.
  bool capture(const std::atomic<bool>* bWithdrawn);
  // Wakes the captures that wait, so that withdrawn ones give up (a withdrawn request that no tick
  // has fulfilled yet is dropped).
  void withdrawCaptures();
  // One correction run on the timer's thread: snapshots, script, result file. Failures are
  // logged; nothing escapes to the timer. `bStopping` is set when the timer is being stopped.
  void runLinearRegress(const std::atomic<bool>& bStopping);
  void correctIntensity(const std::atomic<bool>& bStopping);
  // Reads the script's result file into the camera list's gains and offsets; what it cannot use
  // (the file, or an entry: an unknown camera, a gain or offset that is not a finite number, a
  // gain not above 0) is a warning, and the cameras concerned keep their values.
  void applyCorrectionResult();
  void drawInfo();

  bool bDrawInfo = true;
  float fpsFilter = 0.1f;
  Platform platform = OPENCL;
  bool bLogFPS = false;
  std::string userSettingsFile = "GenUserSettings.yml";
  std::string tempDir = "/tmp/tesmo";
  std::string calibScript = "I_calibrate.py";
  std::string linearRegressTmpFile = "linear_regress.yml";
  cv::FileStorage fs;
  std::string configFileName;
  std::string extFileName;
  FPSAutoAdj fpsAutoAdj;
  LinearRegress linearRegress;
  // Time of the previous tick, for the frame-rate filter.
  std::chrono::system_clock::time_point ts;
  // Completed ticks.
  int frameInd = 0;
  // Filtered frame rate.
  float fps = 0.f;
  // Per camera, ready frames waiting in the live reader at the last tick.
  std::vector<int> bufsFullness;
  bool bTimeoutDetected = false;
  // The frame set on loan during a tick.
  std::vector<std::unique_ptr<tesmo::LiveStreams::FrameBuf>> frameBufs;
  std::mutex frameBufsPromiseMutex;
  std::unique_ptr<FrameBufsPromise> frameBufsPromise;
  // Under frameBufsPromiseMutex: set by closeFrameCapture.
  bool bCaptureClosed = false;
  // With frameBufsPromiseMutex: captures wait here for their turn (at most one request is
  // pending), and for closing or withdrawal.
  std::condition_variable captureCv;
  // Serialises switching the intensity correction on and off.
  std::mutex linearRegressMutex;
  // Serialises writes of the user-settings file.
  std::mutex userSettingsMutex;
};
