#include "streamer/live_streams.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "streamer/util.h"
#include "tests/process.h"
#include "tests/thrown_text.h"
#include "tests/yaml.h"

namespace tesmo {

// Reaches the reader's queues and counters to account for every buffer.
struct LiveStreamsPeer {
  static LiveStreams::CameraThreadData& camera(LiveStreams& live, int i) {
    return *live.threadesData[i];
  }
  // Buffers of camera i that sit in a queue (free, ready or waiting for the upload).
  static size_t queuedBuffers(LiveStreams& live, int i) {
    auto& td = camera(live, i);
    return td.backQueue.size() + td.midQueue.size();
  }
  static bool anyThreadJoinable(LiveStreams& live) {
    for (auto& td : live.threadesData) {
      if (td->thread.joinable()) return true;
    }
    return live.cudaThread.joinable();
  }
  static std::chrono::nanoseconds period(const LiveStreams& live) { return live.period; }
  static int readTimeout(const LiveStreams& live) { return live.readTimeout; }
  static int timeoutInterval(const LiveStreams& live) { return live.timeoutInterval; }
  static bool logSkipFrames(const LiveStreams& live) { return live.bLogSkipFrames; }
  static bool readFrame(LiveStreams& live, int i) { return live.readFrame(camera(live, i)); }
};

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing_util::Memory;
using testing_util::ThrownText;
using testing_util::waitFor;

// A camera that makes numbered 8-bit 3-channel frames. Byte 0 of a frame holds the camera id,
// bytes 4..7 the frame's sequence number (1 for the first). A frame every `frameTime` (none: as
// fast as asked); after `limit` frames (0: no limit) or while `dead`, Next fails.
class TestSource : public FrameStream {
 public:
  TestSource(int id, cv::Size size, std::chrono::microseconds frameTime, int limit = 0)
      : FrameStream(1.0), id_(id), size_(size), frame_time_(frameTime), limit_(limit) {}

  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool /*bAllowScale*/) override {
    if (dead || (limit_ > 0 && made >= limit_)) return false;
    if (frame_time_.count() > 0) {
      if (made == 0) next_ = Clock::now();
      // Wait for the frame time, giving up (no frame) as soon as the camera dies.
      for (auto t = Clock::now(); t < next_ && !dead; t = Clock::now()) {
        std::this_thread::sleep_until(std::min(next_, t + milliseconds(1)));
      }
      if (dead) return false;
      next_ += frame_time_;
    }
    frame->create(size_, CV_8UC3);
    frame->setTo(cv::Scalar::all(0));
    const int seq = made + 1;
    frame->data[0] = static_cast<uint8_t>(id_);
    std::memcpy(frame->data + 4, &seq, sizeof(seq));
    *timestamp_ms = timestamps.empty() ? now() : timestamps[made % timestamps.size()];
    made = seq;
    return true;
  }
  bool reconnect() override {
    ++reconnects;
    return false;
  }

  std::atomic<bool> dead{false};
  std::atomic<int> made{0};
  std::atomic<int> reconnects{0};
  std::vector<int64_t> timestamps;  // when set, the timestamps to give instead of the clock

 private:
  const int id_;
  const cv::Size size_;
  const std::chrono::microseconds frame_time_;
  const int limit_;
  Clock::time_point next_;
};

int frameCamera(const cv::Mat& frame) { return frame.data[0]; }
int frameSeq(const cv::Mat& frame) {
  int seq = 0;
  std::memcpy(&seq, frame.data + 4, sizeof(seq));
  return seq;
}

// The sources as a FrameStreams, cameras named cam0, cam1, ... in index order.
std::unique_ptr<FrameStreams> makeStreams(const std::vector<std::shared_ptr<TestSource>>& src) {
  auto streams = std::make_unique<FrameStreams>(Memory("camera_streams: {}\n"));
  for (size_t i = 0; i < src.size(); ++i) {
    auto data = std::make_shared<FrameStreams::FrameStreamData>();
    data->name = "cam" + std::to_string(i);
    data->ind = static_cast<int>(i);
    data->stream = src[i];
    streams->frameStreams.push_back(data);
    streams->frameStreamsMap[data->name] = data;
  }
  return streams;
}

cv::FileStorage config(const std::string& liveStreams) {
  return Memory("live_streams: " + liveStreams + "\n");
}

// Loans sets until one has no "No signal" frame; returns it (empty after ~3 s without one).
LiveStreams::FrameSet loanLive(LiveStreams& live) {
  LiveStreams::FrameSet set;
  waitFor(
      [&] {
        bool bTimeout = false;
        set = live.loanBuffer(bTimeout);
        if (!set.empty() && !bTimeout) return true;
        if (!set.empty()) live.returnBuffer(std::move(set));
        set.clear();
        return false;
      },
      milliseconds(3000));
  return set;
}

std::string captureStatistics(LiveStreams& live) {
  testing::internal::CaptureStdout();
  live.printStatistics();
  return testing::internal::GetCapturedStdout();
}

TEST(LiveStreams, ReadsSettingsAndPrintsBanner) {
  auto streams = makeStreams({std::make_shared<TestSource>(0, cv::Size(8, 8), milliseconds(0)),
                              std::make_shared<TestSource>(1, cv::Size(8, 8), milliseconds(0))});
  testing::internal::CaptureStdout();
  {
    LiveStreams live(*streams, cv::FileStorage(),
                     LiveStreams::CPU_MAT | LiveStreams::UMAT | LiveStreams::GPU_MAT, 0);
    EXPECT_EQ(live.getQuerySize(), 5);
    EXPECT_EQ(LiveStreamsPeer::readTimeout(live), 2000);
    EXPECT_EQ(LiveStreamsPeer::timeoutInterval(live), 40);
    EXPECT_EQ(LiveStreamsPeer::period(live).count(), 0);
    EXPECT_EQ(LiveStreamsPeer::camera(live, 1).hist.size(), 30u);
    EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 0), 5u);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Init LiveStreams:\n\tNum streams: 2\n\tOutput types: GPU_MAT CPU_MAT UMAT \n");

  LiveStreams live(*streams,
                   config("{ query_size: 7, read_timeout: 150, timeout_interval: 0, hist_size: 4,"
                          " hist_item_size: 10, log_skip_frames: yes, fps_max: 10 }"),
                   LiveStreams::CPU_MAT, -1);
  EXPECT_EQ(live.getQuerySize(), 7);
  EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 1), 7u);
  EXPECT_EQ(LiveStreamsPeer::readTimeout(live), 150);
  EXPECT_EQ(LiveStreamsPeer::timeoutInterval(live), 0);
  EXPECT_TRUE(LiveStreamsPeer::logSkipFrames(live));
  EXPECT_EQ(LiveStreamsPeer::camera(live, 0).hist.size(), 4u);
  EXPECT_EQ(LiveStreamsPeer::period(live).count(), 100000000);

  for (const char* fps : {"0", "-3"}) {
    LiveStreams off(*streams, config(std::string("{ fps_max: ") + fps + " }"),
                    LiveStreams::CPU_MAT, -1);
    EXPECT_EQ(LiveStreamsPeer::period(off).count(), 0) << fps;
  }
}

TEST(LiveStreams, RefusesBadSettings) {
  auto streams = makeStreams({std::make_shared<TestSource>(0, cv::Size(8, 8), milliseconds(0))});
  // Numbers written as text, and values no reader needs, are refused naming the key.
  const struct {
    const char* node;
    const char* key;
    const char* value = "";  // a part of the message, when given
  } cases[] = {{"{ query_size: 1 }", "\"query_size\""},
               {"{ hist_size: 0 }", "\"hist_size\""},
               {"{ query_size: 1025 }", "\"query_size\""},
               {"{ hist_size: 100001 }", "\"hist_size\""},
               {"{ read_timeout: \"2000\" }", "\"read_timeout\""},
               {"{ timeout_interval: 5000 }", "\"timeout_interval\""},
               {"{ fps_max: \"30\" }", "\"fps_max\""},
               {"{ fps_max: 1e-6 }", "\"fps_max\"", "got 9.9999999999999995e-07"},
               {"{ hist_item_size: -4 }", "\"hist_item_size\""}};
  for (const auto& c : cases) {
    const std::string error =
        ThrownText([&] { LiveStreams live(*streams, config(c.node), LiveStreams::CPU_MAT, -1); });
    EXPECT_NE(error.find(std::string("Key ") + c.key + " in \"live_streams\""), std::string::npos)
        << c.node << " -> " << error;
    EXPECT_NE(error.find(c.value), std::string::npos) << c.node << " -> " << error;
  }
  // query_size 2 is the smallest working pool.
  LiveStreams two(*streams, config("{ query_size: 2 }"), LiveStreams::CPU_MAT, -1);
  EXPECT_EQ(two.getQuerySize(), 2);
}

TEST(LiveStreams, SlowConsumerDropsAndCountsFrames) {
  // A 500 fps camera and a consumer that holds each set for 15 ms.
  auto source = std::make_shared<TestSource>(0, cv::Size(32, 24), std::chrono::microseconds(2000));
  auto streams = makeStreams({source});
  LiveStreams live(*streams, cv::FileStorage(), LiveStreams::CPU_MAT, -1);
  live.start();

  auto& td = LiveStreamsPeer::camera(live, 0);
  int loaned = 0;
  int64_t lastCounter = 0;
  for (int k = 0; k < 12; ++k) {
    auto set = loanLive(live);
    ASSERT_EQ(set.size(), 1u);
    ++loaned;
    EXPECT_GT(set[0]->counter, lastCounter);
    EXPECT_EQ(frameSeq(set[0]->framesCpu), set[0]->counter);
    lastCounter = set[0]->counter;
    // While the set is held the reader fills the ready queue up to three frames (one buffer is
    // on loan, one stays free) and then drops; it never goes past three.
    const int64_t skipped = td.skippedFrames;
    EXPECT_TRUE(waitFor([&] { return td.skippedFrames > skipped; }, milliseconds(10000)));
    EXPECT_EQ(live.getMidQueueFullness(0), 3u);
    live.returnBuffer(std::move(set));
  }
  live.stop();

  EXPECT_GT(td.skippedFrames, 0);
  // Every frame read went to the ready queue (then loaned or still there) or was dropped.
  EXPECT_EQ(td.counter, loaned + static_cast<int64_t>(live.getMidQueueFullness(0)) +
                            td.skippedFrames);
  EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 0), 5u);
  const std::string stats = captureStatistics(live);
  EXPECT_NE(stats.find("\tCamera \"cam0\": frames got:" + std::to_string(td.counter) +
                       "; frames skiped:" + std::to_string(td.skippedFrames) + "; FPS:"),
            std::string::npos)
      << stats;
}

TEST(LiveStreams, DeadCameraGivesNoSignalAndPause) {
  auto live0 = std::make_shared<TestSource>(0, cv::Size(64, 48), std::chrono::microseconds(1000));
  auto dead = std::make_shared<TestSource>(1, cv::Size(64, 48), milliseconds(0));
  dead->dead = true;
  auto streams = makeStreams({live0, dead});
  // A long pause tells "paused" from "not paused" on a loaded machine.
  LiveStreams live(*streams, config("{ timeout_interval: 400 }"), LiveStreams::CPU_MAT, -1);
  live.setDefaultFrameSize(0, cv::Size(64, 48));
  live.setDefaultFrameSize(1, cv::Size(640, 480));
  live.start();
  ASSERT_TRUE(waitFor([&] { return live.getMidQueueFullness(0) > 0; }, milliseconds(3000)));

  bool bTimeout = false;
  const auto t0 = Clock::now();
  auto set = live.loanBuffer(bTimeout);
  const auto elapsed = Clock::now() - t0;
  ASSERT_EQ(set.size(), 2u);
  EXPECT_TRUE(bTimeout);
  EXPECT_GE(elapsed, milliseconds(400));
  EXPECT_EQ(frameCamera(set[0]->framesCpu), 0);
  const cv::Mat& noSignal = set[1]->framesCpu;
  EXPECT_EQ(set[1]->camIndex, 1);
  EXPECT_EQ(noSignal.size(), cv::Size(640, 480));
  EXPECT_EQ(noSignal.type(), CV_8UC3);
  EXPECT_EQ(set[1]->counter, 0);
  EXPECT_EQ(set[1]->frameTs, 0);
  EXPECT_EQ(noSignal.at<cv::Vec3b>(20, 42), cv::Vec3b(100, 100, 100));  // a grid line
  live.returnBuffer(std::move(set));
  EXPECT_TRUE(waitFor([&] { return dead->reconnects > 2; }, milliseconds(3000)));
  live.stop();
  EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 1), 5u);

  // Once stopped, a loan is empty without the pause, though camera 1 is timed out.
  const auto t1 = Clock::now();
  EXPECT_TRUE(live.loanBuffer(bTimeout).empty());
  EXPECT_LT(Clock::now() - t1, milliseconds(300));
  EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 0) + LiveStreamsPeer::queuedBuffers(live, 1), 10u);
}

TEST(LiveStreams, CameraThatStopsTurnsIntoNoSignalAtItsOwnSize) {
  auto source = std::make_shared<TestSource>(0, cv::Size(64, 48), std::chrono::microseconds(1000));
  auto streams = makeStreams({source});
  LiveStreams live(*streams, config("{ read_timeout: 100, timeout_interval: 0 }"),
                   LiveStreams::CPU_MAT, -1);
  live.setDefaultFrameSize(0, cv::Size(320, 240));
  live.start();
  auto set = loanLive(live);
  ASSERT_EQ(set.size(), 1u);
  live.returnBuffer(std::move(set));
  source->dead = true;

  // Within about read_timeout the camera is reported missing; the frame keeps its last number.
  bool bTimeout = false;
  ASSERT_TRUE(waitFor([&] {
    auto s = live.loanBuffer(bTimeout);
    if (bTimeout) set = std::move(s);
    else if (!s.empty()) live.returnBuffer(std::move(s));
    return bTimeout;
  }, milliseconds(3000)));
  ASSERT_EQ(set.size(), 1u);
  // Drawn over the buffer's last frame at that frame's size, keeping its number and time; a
  // buffer that never carried a frame gets the default size.
  const LiveStreams::FrameBuf& buf = *set[0];
  if (buf.counter > 0) {
    EXPECT_EQ(buf.framesCpu.size(), cv::Size(64, 48));
    EXPECT_GT(buf.frameTs, 0);
  } else {
    EXPECT_EQ(buf.framesCpu.size(), cv::Size(320, 240));
    EXPECT_EQ(buf.frameTs, 0);
  }
  EXPECT_EQ(buf.framesCpu.at<cv::Vec3b>(5, 1), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(buf.framesCpu.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
  live.returnBuffer(std::move(set));
  live.stop();
}

TEST(LiveStreams, DrawsNoSignalFrame) {
  cv::Mat img;
  LiveStreams::drawTimeoutFrame(img, cv::Size(640, 480));
  ASSERT_EQ(img.size(), cv::Size(640, 480));
  // Frame rectangle from (2, 2) to (637, 477); lines every 42 pixels.
  EXPECT_EQ(img.at<cv::Vec3b>(100, 2), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(img.at<cv::Vec3b>(100, 637), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(img.at<cv::Vec3b>(477, 100), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(img.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(img.at<cv::Vec3b>(126, 20), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(img.at<cv::Vec3b>(147, 20), cv::Vec3b(0, 0, 0));

  // "No signal" in white at font scale 2, centred.
  cv::Mat white;
  cv::inRange(img, cv::Scalar::all(255), cv::Scalar::all(255), white);
  const cv::Rect box = cv::boundingRect(white);
  int baseline = 0;
  const cv::Size text = cv::getTextSize("No signal", cv::FONT_HERSHEY_SIMPLEX, 2, 2, &baseline);
  EXPECT_NEAR(box.x + box.width / 2, 320, 5);
  EXPECT_GE(box.width, text.width * 0.85);
  EXPECT_LE(box.width, text.width);
  EXPECT_NEAR(box.y + box.height, 240 + text.height / 2 + baseline, 6);

  // An existing image is drawn over at its own size and type.
  cv::Mat gray(150, 200, CV_8UC1, cv::Scalar(7));
  LiveStreams::drawTimeoutFrame(gray, cv::Size(640, 480));
  EXPECT_EQ(gray.size(), cv::Size(200, 150));
  EXPECT_EQ(gray.type(), CV_8UC1);
  EXPECT_EQ(gray.at<uint8_t>(10, 13), 100);  // step 13, thickness 1
  EXPECT_EQ(gray.at<uint8_t>(10, 20), 0);
}

TEST(LiveStreams, MarksFrameNumbers) {
  auto source = std::make_shared<TestSource>(0, cv::Size(90, 60), std::chrono::microseconds(1000));
  auto streams = makeStreams({source});
  LiveStreams live(*streams, config("{ mark_frame_streams: on }"), LiveStreams::CPU_MAT, -1);
  live.start();
  auto set = loanLive(live);
  ASSERT_EQ(set.size(), 1u);
  // The number's bottom-left corner is at (30, 20): white above it, nothing below.
  const cv::Mat& f = set[0]->framesCpu;
  cv::Mat white;
  cv::inRange(f, cv::Scalar::all(200), cv::Scalar::all(255), white);
  const cv::Rect box = cv::boundingRect(white);
  EXPECT_GT(box.area(), 0);
  EXPECT_GE(box.x, 29);
  EXPECT_LE(box.x, 40);
  EXPECT_LE(box.y + box.height, 22);
  live.returnBuffer(std::move(set));
  live.stop();
}

TEST(LiveStreams, StopDuringLoanReturnsEmptySet) {
  // Camera 0 delivers two frames, camera 1 one; with camera 1's frame recent, a loan after the
  // first set waits for it.
  auto fast = std::make_shared<TestSource>(0, cv::Size(16, 16), milliseconds(0), 2);
  auto slow = std::make_shared<TestSource>(1, cv::Size(16, 16), milliseconds(0), 1);
  auto streams = makeStreams({fast, slow});
  LiveStreams live(*streams, config("{ read_timeout: 60000 }"), LiveStreams::CPU_MAT, -1);
  live.start();
  ASSERT_TRUE(waitFor(
      [&] { return live.getMidQueueFullness(0) == 2 && live.getMidQueueFullness(1) == 1; },
      milliseconds(3000)));
  bool bFirstTimeout = true;
  auto first = live.loanBuffer(bFirstTimeout);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_FALSE(bFirstTimeout);
  live.returnBuffer(std::move(first));

  LiveStreams::FrameSet set = {};
  bool bTimeout = true;
  std::thread consumer([&] { set = live.loanBuffer(bTimeout); });
  // The loan has taken camera 0's second frame and waits for camera 1.
  EXPECT_TRUE(waitFor([&] { return live.getMidQueueFullness(0) == 0; }, milliseconds(10000)));
  const auto t0 = Clock::now();
  live.stop();
  consumer.join();
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(bTimeout);
  EXPECT_LT(Clock::now() - t0, milliseconds(1000));
  EXPECT_FALSE(LiveStreamsPeer::anyThreadJoinable(live));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, i), 5u) << i;
}

TEST(LiveStreams, CameraStampingAheadOfTheClockTimesOut) {
  // Frames stamped 600 s ahead, then silence: missing read_timeout after the last one arrived.
  auto source = std::make_shared<TestSource>(0, cv::Size(16, 16), milliseconds(0), 3);
  source->timestamps = {now() + 600000};
  auto streams = makeStreams({source});
  LiveStreams live(*streams, config("{ read_timeout: 200, timeout_interval: 0 }"),
                   LiveStreams::CPU_MAT, -1);
  live.start();
  ASSERT_TRUE(waitFor([&] { return source->reconnects > 0; }, milliseconds(3000)));
  std::atomic<bool> bMissing{false};
  std::thread consumer([&] {
    bool bTimeout = false;
    for (auto set = live.loanBuffer(bTimeout); !set.empty(); set = live.loanBuffer(bTimeout)) {
      live.returnBuffer(std::move(set));
      if (bTimeout) return void(bMissing = true);
    }
  });
  EXPECT_TRUE(waitFor([&] { return bMissing.load(); }, milliseconds(10000)));
  live.stop();  // ends a loan that would still wait
  consumer.join();
}

TEST(LiveStreams, PacesReadersToFpsMax) {
  // An unthrottled source paced to 50 fps: 20 ms per frame.
  auto source = std::make_shared<TestSource>(0, cv::Size(16, 16), milliseconds(0));
  auto streams = makeStreams({source});
  LiveStreams live(*streams, config("{ fps_max: 50, hist_item_size: 1, hist_size: 40 }"),
                   LiveStreams::CPU_MAT, -1);
  const auto t0 = Clock::now();
  live.start();
  std::this_thread::sleep_for(milliseconds(600));
  live.stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const int frames = source->made;
  EXPECT_LE(frames, seconds * 50 + 2);
  EXPECT_GE(frames, seconds * 50 * 0.5);

  // A period below 3 ms still rests 3 ms after each frame: no interval under 3 ms.
  auto fastSource = std::make_shared<TestSource>(0, cv::Size(16, 16), milliseconds(0));
  auto fastStreams = makeStreams({fastSource});
  LiveStreams fastLive(*fastStreams, config("{ fps_max: 2000, hist_item_size: 1, hist_size: 40 }"),
                       LiveStreams::CPU_MAT, -1);
  fastLive.start();
  ASSERT_TRUE(waitFor([&] { return fastSource->made >= 40; }, milliseconds(3000)));
  fastLive.stop();
  auto& td = LiveStreamsPeer::camera(fastLive, 0);
  int binned = 0;
  for (int b = 0; b < 40; ++b) binned += td.hist[b];
  EXPECT_EQ(binned, td.counter - 1);
  EXPECT_EQ(td.hist[0] + td.hist[1] + td.hist[2], 0);
}

TEST(LiveStreams, HistogramAndStatisticsText) {
  // Intervals 5, 200, -10, 12, 0, 11 ms, then gaps beyond int64 either way, with 4 bins of 3 ms;
  // nothing loans, so the reader keeps query_size - 1 frames ready and drops the rest.
  auto source = std::make_shared<TestSource>(0, cv::Size(8, 8), milliseconds(0), 9);
  source->timestamps = {1000, 1005, 1205, 1195, 1207, 1207, 1218,
                        std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()};
  auto streams = makeStreams({source});
  LiveStreams live(*streams, config("{ hist_size: 4, hist_item_size: 3 }"), LiveStreams::CPU_MAT,
                   -1);
  live.start();
  ASSERT_TRUE(waitFor([&] { return source->reconnects > 0; }, milliseconds(3000)));
  live.stop();
  const std::string stats = captureStatistics(live);
  const std::string expected =
      "LiveStreams statistics:\n"
      "\tCamera \"cam0\": frames got:9; frames skiped:5; FPS:";
  EXPECT_EQ(stats.substr(0, expected.size()), expected) << stats;
  EXPECT_NE(stats.find("\n\t      ms     0     3     6     9\n"
                       "\t   count     3     1     0     4\n"
                       "\tTotal frames requested:0\n\tTotal time:"),
            std::string::npos)
      << stats;
  EXPECT_EQ(live.getMidQueueFullness(0), 4u);

  live.resetStatistics();
  const std::string reset = captureStatistics(live);
  EXPECT_NE(reset.find("frames got:0; frames skiped:0; FPS:0\n"), std::string::npos) << reset;
  EXPECT_NE(reset.find("\t   count     3     1     0     4\n"), std::string::npos) << reset;

  // The widest bins the settings accept: their edges pass int.
  LiveStreams wide(*streams, config("{ hist_size: 3, hist_item_size: 2147483647 }"),
                   LiveStreams::CPU_MAT, -1);
  const std::string edges = captureStatistics(wide);
  EXPECT_NE(edges.find("\t      ms     021474836474294967294\n"), std::string::npos) << edges;
}

cv::Mat downloaded(const cv::cuda::GpuMat& image) {
  cv::Mat host;
  gpu::download(image, host);
  return host;
}

// Checks that each buffer's OpenCL and GPU images hold its CPU image.
void expectSameImages(const LiveStreams::FrameSet& set) {
  for (const auto& buf : set) {
    SCOPED_TRACE(buf->camIndex);
    EXPECT_EQ(cv::norm(buf->framesUmat.getMat(cv::ACCESS_READ), buf->framesCpu, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(downloaded(buf->framesGpu), buf->framesCpu, cv::NORM_INF), 0);
  }
}

// Every loaned buffer's OpenCL and GPU images hold its CPU image, and waitFrames copies a set
// into each kind of image.
TEST(LiveStreams, UmatAndGpuImagesAndWaitFrames) {
  const cv::Size size(40, 30);
  auto a = std::make_shared<TestSource>(0, size, std::chrono::microseconds(1000));
  auto b = std::make_shared<TestSource>(1, size, std::chrono::microseconds(1000));
  auto streams = makeStreams({a, b});
  // The OpenCL context is made here, before the readers start, as the application does: PoCL gives
  // the thread that makes it a signal stack that AddressSanitizer cannot release when it ends.
  cv::ocl::Context::getDefault();
  const int kinds = LiveStreams::CPU_MAT | LiveStreams::UMAT | LiveStreams::GPU_MAT;
  LiveStreams live(*streams, cv::FileStorage(), kinds, 0);
  live.start();
  for (int k = 0; k < 5; ++k) {
    auto set = loanLive(live);
    ASSERT_EQ(set.size(), 2u);
    expectSameImages(set);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(frameCamera(set[i]->framesCpu), i);
    live.returnBuffer(std::move(set));
  }
  std::vector<cv::Mat> mats;
  ASSERT_TRUE(waitFor([&] { return live.waitFrames(mats); }, milliseconds(3000)));
  ASSERT_EQ(mats.size(), 2u);
  EXPECT_EQ(frameCamera(mats[1]), 1);
  std::vector<cv::UMat> umats;
  ASSERT_TRUE(waitFor([&] { return live.waitFrames(umats); }, milliseconds(3000)));
  ASSERT_EQ(umats.size(), 2u);
  EXPECT_EQ(frameCamera(umats[0].getMat(cv::ACCESS_READ)), 0);
  std::vector<gpu::Image> images;
  ASSERT_TRUE(waitFor([&] { return live.waitFrames(images); }, milliseconds(3000)));
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(frameCamera(downloaded(images[1])), 1);
  // Plain GpuMat elements take the copies when they already view images of the frames' size.
  std::vector<gpu::Image> owners = {gpu::Image(size, CV_8UC3), gpu::Image(size, CV_8UC3)};
  std::vector<cv::cuda::GpuMat> views(owners.begin(), owners.end());
  ASSERT_TRUE(waitFor([&] { return live.waitFrames(views); }, milliseconds(3000)));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(frameCamera(downloaded(owners[i])), i);
  std::vector<cv::cuda::GpuMat> empty;
  EXPECT_THROW(live.waitFrames(empty), cv::Exception);
  live.stop();
  // Stopped, a buffer may still wait for its upload.
  EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, 0) + LiveStreamsPeer::queuedBuffers(live, 1) +
                live.getCudaQueueFullness(),
            10u);

  // A "No signal" frame reaches the OpenCL and GPU images too.
  LiveStreams idle(*streams, config("{ timeout_interval: 0 }"), kinds, 0);
  idle.setDefaultFrameSize(0, cv::Size(64, 48));
  idle.setDefaultFrameSize(1, cv::Size(64, 48));
  bool bTimeout = false;
  auto set = idle.loanBuffer(bTimeout);
  ASSERT_EQ(set.size(), 2u);
  EXPECT_TRUE(bTimeout);
  EXPECT_EQ(set[1]->framesUmat.size(), cv::Size(64, 48));
  expectSameImages(set);
  idle.returnBuffer(std::move(set));
  cv::ocl::finish();
}

// With upload regions a loaned GPU image holds its CPU image within the camera's region; after
// the whole first upload the rest is left as it was.
TEST(LiveStreams, GpuImagesTakeOnlyTheRegions) {
  const cv::Size size(40, 30);
  const std::vector<cv::Rect> regions = {cv::Rect(0, 0, 20, 15), cv::Rect(8, 10, 32, 20)};
  auto streams = makeStreams({std::make_shared<TestSource>(0, size, milliseconds(1)),
                              std::make_shared<TestSource>(1, size, milliseconds(1))});
  LiveStreams live(*streams, cv::FileStorage(), LiveStreams::CPU_MAT | LiveStreams::GPU_MAT, 0);
  live.setCamerasRoi(regions);
  live.start();
  bool bStale = false;  // a GPU image that differs from its frame outside the region
  const auto end = Clock::now() + milliseconds(5000);
  for (int k = 0; k < 5 || (!bStale && Clock::now() < end); ++k) {
    auto set = loanLive(live);
    ASSERT_EQ(set.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      const cv::Mat gpuFrame = downloaded(set[i]->framesGpu);
      const cv::Mat& cpu = set[i]->framesCpu;
      ASSERT_EQ(gpuFrame.size(), size);
      EXPECT_EQ(cv::norm(gpuFrame(regions[i]), cpu(regions[i]), cv::NORM_INF), 0) << i;
      bStale = bStale || frameSeq(gpuFrame) != frameSeq(cpu);
    }
    live.returnBuffer(std::move(set));
  }
  EXPECT_TRUE(bStale);
}

TEST(LiveStreamsDeathTest, RefusesForeignSetsAndFrameKinds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto streams = makeStreams({std::make_shared<TestSource>(0, cv::Size(8, 8), milliseconds(0)),
                              std::make_shared<TestSource>(1, cv::Size(8, 8), milliseconds(0))});
  LiveStreams live(*streams, config("{ timeout_interval: 0 }"), LiveStreams::CPU_MAT, -1);
  EXPECT_DEATH(live.returnBuffer(LiveStreams::FrameSet(1)),
               "Check failed: bufs.size\\(\\) == threadesData.size\\(\\) ");
  std::vector<int> ints;
  EXPECT_DEATH(live.waitFrames(ints), "Check failed: 0 Unsupported type of frames");
  EXPECT_DEATH(live.setCamerasRoi({cv::Rect()}),
               "Check failed: rois.size\\(\\) == mng.size\\(\\) ");
  // Per-camera calls with an index outside the two cameras, and a set given back with a buffer
  // of such a camera.
  for (const int cam : {-1, 2, 1000000}) {
    SCOPED_TRACE(cam);
    const std::string message = "Camera index " + std::to_string(cam) + " outside the 2 cameras";
    EXPECT_DEATH(live.getMidQueueFullness(cam), message);
    EXPECT_DEATH(live.skipOneFrontMidBuf(cam), message);
    EXPECT_DEATH(live.setDefaultFrameSize(cam, cv::Size(8, 8)), message);
    EXPECT_DEATH((*streams)[cam], message);
    LiveStreams::FrameSet foreign;
    foreign.push_back(std::make_unique<LiveStreams::FrameBuf>(0));
    foreign.push_back(std::make_unique<LiveStreams::FrameBuf>(cam));
    EXPECT_DEATH(live.returnBuffer(std::move(foreign)), message);
  }

  // A source that makes GPU frames itself cannot feed GPU_MAT frames yet.
  FrameStreams gpuStreams(Memory("camera_streams: { cam0: { type: ocv_gpu } }\n"));
  LiveStreams gpuLive(gpuStreams, cv::FileStorage(), LiveStreams::GPU_MAT, 0);
  EXPECT_DEATH(LiveStreamsPeer::readFrame(gpuLive, 0), "Check failed: 0 Not supported yet");
}

TEST(LiveStreams, StressEightCamerasKeepSetsAndBuffersApart) {
  constexpr int kCameras = 8;
  constexpr int kFrames = 2000;
  std::vector<std::shared_ptr<TestSource>> sources;
  for (int i = 0; i < kCameras; ++i) {
    sources.push_back(std::make_shared<TestSource>(i, cv::Size(32, 24),
                                                   std::chrono::microseconds(150), kFrames));
  }
  auto streams = makeStreams(sources);
  LiveStreams live(*streams, config("{ timeout_interval: 0, read_timeout: 300 }"),
                   LiveStreams::CPU_MAT, -1);
  live.start();

  std::vector<int64_t> lastCounter(kCameras, 0);
  auto checkSet = [&](const LiveStreams::FrameSet& set, bool bTimeout) {
    ASSERT_EQ(set.size(), static_cast<size_t>(kCameras));
    for (int i = 0; i < kCameras; ++i) {
      ASSERT_TRUE(set[i]);
      ASSERT_EQ(set[i]->camIndex, i);
      // A "No signal" frame keeps whatever number its buffer last carried.
      if (bTimeout) continue;
      ASSERT_EQ(frameCamera(set[i]->framesCpu), i);
      ASSERT_EQ(frameSeq(set[i]->framesCpu), set[i]->counter);
      ASSERT_GT(set[i]->counter, lastCounter[i]);
      lastCounter[i] = set[i]->counter;
    }
  };
  auto allDone = [&] {
    for (auto& s : sources) {
      if (s->made < kFrames) return false;
    }
    return true;
  };

  const auto end = Clock::now() + milliseconds(20000);
  int loans = 0;
  while (!allDone() && Clock::now() < end) {
    bool bTimeout = false;
    auto set = live.loanBuffer(bTimeout);
    ASSERT_FALSE(set.empty());
    checkSet(set, bTimeout);
    if (HasFatalFailure()) break;
    ++loans;
    if (loans % 7 == 0) {
      // Hold a second set while the first goes back from another thread.
      auto second = live.loanBuffer(bTimeout);
      ASSERT_FALSE(second.empty());
      checkSet(second, bTimeout);
      if (HasFatalFailure()) break;
      std::thread returner([&] { live.returnBuffer(std::move(set)); });
      returner.join();
      set = std::move(second);
    }
    if (loans % 5 == 0) live.skipOneFrontMidBuf(loans % kCameras);
    live.returnBuffer(std::move(set));
  }
  live.stop();
  EXPECT_TRUE(allDone());
  EXPECT_FALSE(LiveStreamsPeer::anyThreadJoinable(live));
  for (int i = 0; i < kCameras; ++i) {
    EXPECT_EQ(LiveStreamsPeer::queuedBuffers(live, i), 5u) << i;
    EXPECT_EQ(LiveStreamsPeer::camera(live, i).counter, kFrames) << i;
  }
  EXPECT_EQ(live.getCudaQueueFullness(), 0u);
}

}  // namespace
}  // namespace tesmo
