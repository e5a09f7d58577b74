#include "streamer/private/video_writes/video_write_open_async.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "tests/streamer/sink_test_util.h"

namespace tesmo {
namespace {

using test::LogCapture;
using test::PatternFrame;
using test::SameImage;

constexpr auto kPollLimit = std::chrono::seconds(10);

// A sink whose PublishImpl holds each frame until the test opens the gate. It records the
// frames, their indices and timestamps, and the thread it ran on; a frame whose first pixel is
// 255 makes it throw.
class GatedSink : public VideoWrite {
 public:
  struct Call {
    cv::Mat frame;
    int index;
    int64_t timestamp;
    std::thread::id thread;
  };

  // Lets `count` more frames through.
  void open(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    permits_ += count;
    cv_.notify_all();
  }

  // Waits until `count` frames have entered PublishImpl; false after the poll limit.
  bool waitEntered(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kPollLimit, [&] { return entered_ >= count; });
  }

  // Waits until `count` frames have left PublishImpl.
  bool waitDone(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kPollLimit, [&] { return static_cast<int>(calls_.size()) >= count; });
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return permits_ > 0; });
    --permits_;
    calls_.push_back({frame.clone(), frameInd, timestamp, std::this_thread::get_id()});
    cv_.notify_all();
    if (frame.data[0] == 255) throw std::runtime_error("sink failure");
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int entered_ = 0;
  int permits_ = 0;
  std::vector<Call> calls_;
};

TEST(VideoWriteOpenAsync, DropsFramesWhileTheSlotIsFullAndCountsThem) {
  auto inner = std::make_shared<GatedSink>();
  std::weak_ptr<GatedSink> innerAlive = inner;
  inner->setROI({2, 2, 8, 8}, VideoWrite::Cut);
  auto async = std::make_unique<VideoWriteOpenAsync>(inner);

  cv::Mat frame = PatternFrame({32, 24}, 3, 0);
  const cv::Mat first = frame.clone();
  EXPECT_TRUE(async->Publish(frame, 100));
  ASSERT_TRUE(inner->waitEntered(1));  // the worker holds the first frame in the slow sink

  PatternFrame({32, 24}, 3, 1).copyTo(frame);
  const cv::Mat second = frame.clone();
  EXPECT_TRUE(async->Publish(frame, 200));  // waits in the slot
  EXPECT_TRUE(async->Publish(PatternFrame({32, 24}, 3, 2), 300));  // dropped
  // The slot holds a copy: changing the caller's pixels afterwards does not reach the sink.
  frame.setTo(cv::Scalar::all(9));

  inner->open(2);
  ASSERT_TRUE(inner->waitDone(2));
  const std::vector<GatedSink::Call> calls = inner->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].timestamp, 100);
  EXPECT_EQ(calls[1].timestamp, 200);
  EXPECT_EQ(calls[0].index, 0);
  EXPECT_EQ(calls[1].index, 1);
  // The wrapped sink applies its own region on the worker thread.
  EXPECT_TRUE(SameImage(calls[0].frame, first(cv::Rect(2, 2, 8, 8))));
  EXPECT_TRUE(SameImage(calls[1].frame, second(cv::Rect(2, 2, 8, 8))));
  EXPECT_NE(calls[0].thread, std::this_thread::get_id());
  EXPECT_EQ(calls[0].thread, calls[1].thread);

  inner.reset();
  ::testing::internal::CaptureStdout();
  async.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "~VideoWriteOpenAsync(), skipped 1 frames\n");
  // The worker is joined and the wrapper held the last reference to the sink.
  EXPECT_TRUE(innerAlive.expired());
}

TEST(VideoWriteOpenAsync, DestructorPublishesTheWaitingFrameAndJoins) {
  auto inner = std::make_shared<GatedSink>();
  auto async = std::make_unique<VideoWriteOpenAsync>(inner);
  async->Publish(PatternFrame({8, 8}), 1);
  ASSERT_TRUE(inner->waitEntered(1));
  async->Publish(PatternFrame({8, 8}), 2);  // waits in the slot

  ::testing::internal::CaptureStdout();
  std::thread destroyer([&] { async.reset(); });
  inner->open(2);
  destroyer.join();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "~VideoWriteOpenAsync(), skipped 0 frames\n");
  const std::vector<GatedSink::Call> calls = inner->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].timestamp, 2);
}

TEST(VideoWriteOpenAsync, ASinkErrorOnTheWorkerIsLoggedAndTheWorkerGoesOn) {
  LogCapture log;
  auto inner = std::make_shared<GatedSink>();
  inner->open(2);
  auto async = std::make_unique<VideoWriteOpenAsync>(inner);
  async->Publish(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(255)), 1);  // the sink throws
  ASSERT_TRUE(inner->waitDone(1));
  // The worker took the frame out of the slot before publishing it: the next one is accepted.
  async->Publish(PatternFrame({4, 4}), 2);
  ASSERT_TRUE(inner->waitDone(2));
  ASSERT_EQ(inner->calls().size(), 2u);
  EXPECT_EQ(inner->calls()[1].timestamp, 2);
  EXPECT_EQ(
      log.find(google::GLOG_ERROR, "VideoWriteOpenAsync: publishing failed: sink failure").size(),
      1u);
  ::testing::internal::CaptureStdout();
  async.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "~VideoWriteOpenAsync(), skipped 0 frames\n");
}

TEST(VideoWriteOpenAsync, StatisticsCountDroppedFramesOnTheWrapper) {
  LogCapture log;
  FLAGS_v = 1;
  auto inner = std::make_shared<GatedSink>();
  auto async = std::make_unique<VideoWriteOpenAsync>(inner);
  async->Publish(PatternFrame({4, 4}), 0);
  ASSERT_TRUE(inner->waitEntered(1));
  for (int i = 1; i < 100; ++i) async->Publish(PatternFrame({4, 4}), i);  // 1 waits, 98 dropped
  EXPECT_EQ(log.find(google::GLOG_INFO, "number: 100, avg. write time: ").size(), 1u);
  inner->open(2);
  ASSERT_TRUE(inner->waitDone(2));
  FLAGS_v = 0;
  ::testing::internal::CaptureStdout();
  async.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "~VideoWriteOpenAsync(), skipped 98 frames\n");
}

}  // namespace
}  // namespace tesmo
