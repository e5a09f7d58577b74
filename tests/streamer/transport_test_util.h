#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/frame_stream.h"
#include "streamer/private/zmq_context.h"
#include "streamer/util.h"
#include "tests/process.h"

namespace tesmo {
namespace testing_util {

// A unique endpoint per call: "inproc://..." (same context, sends land in the reader's queue at
// once) or "ipc:///tmp/...".
inline std::string Endpoint(const std::string& transport, const std::string& tag) {
  static std::atomic<int> counter{0};
  const std::string name = "tesmo-test-" + std::to_string(getpid()) + "-" + tag + "-" +
                           std::to_string(counter++);
  return transport == "inproc" ? "inproc://" + name : "ipc:///tmp/" + name;
}

// An image whose every byte follows from (y, x, channel, seed), so any copy can be checked.
inline cv::Mat PatternImage(int rows, int cols, int seed) {
  cv::Mat img(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    uint8_t* p = img.ptr<uint8_t>(y);
    for (int x = 0; x < cols * 3; ++x) p[x] = static_cast<uint8_t>((y * 7 + x * 3 + seed * 11) & 0xFF);
  }
  return img;
}

// A smooth colour image (gradients and a block) that JPEG keeps well; `seed` shifts it.
inline cv::Mat SmoothImage(int rows, int cols, int seed) {
  cv::Mat img(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      img.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 200 / cols + seed % 50),
                                          static_cast<uint8_t>(y * 200 / rows + 20),
                                          static_cast<uint8_t>((seed * 37) % 200 + 30));
    }
  }
  cv::rectangle(img, cv::Rect(cols / 4, rows / 4, cols / 3, rows / 3), cv::Scalar(20, 220, 40),
                -1);
  return img;
}

inline TensorMsgHeader Header(int rows, int cols, int channels, int dtype, int64_t ts,
                              int64_t index = 0) {
  TensorMsgHeader h{};
  h.shape[0] = 1;
  h.shape[1] = rows;
  h.shape[2] = cols;
  h.shape[3] = channels;
  h.dtype = dtype;
  h.timestamp = ts;
  h.index = index;
  return h;
}

// One raw frame message: header then `pixels` bytes.
inline std::vector<uint8_t> RawMessage(const TensorMsgHeader& h, const void* pixels,
                                       size_t bytes) {
  std::vector<uint8_t> msg(sizeof(h) + bytes);
  std::memcpy(msg.data(), &h, sizeof(h));
  if (bytes > 0) std::memcpy(msg.data() + sizeof(h), pixels, bytes);
  return msg;
}

inline std::vector<uint8_t> RawMessage(const cv::Mat& img, int64_t ts) {
  return RawMessage(Header(img.rows, img.cols, img.channels(), img.depth(), ts), img.data,
                    img.total() * img.elemSize());
}

inline std::vector<uint8_t> EncodedHeader(int rows, int cols, int channels, int dtype,
                                          int64_t ts, int codec, uint32_t data_size) {
  TensorEncodedMsgHeader h{};
  const TensorMsgHeader base = Header(rows, cols, channels, dtype, ts);
  std::memcpy(&h, &base, sizeof(base));
  h.codec = codec;
  h.data_size = data_size;
  std::vector<uint8_t> bytes(sizeof(h));
  std::memcpy(bytes.data(), &h, sizeof(h));
  return bytes;
}

inline std::vector<uint8_t> EncodedHeader(const cv::Mat& img, int64_t ts, int codec,
                                          uint32_t data_size) {
  return EncodedHeader(img.rows, img.cols, img.channels(), img.depth(), ts, codec, data_size);
}

// Sends the parts as one message.
inline void SendParts(zmq::socket_t& sock, const std::vector<std::vector<uint8_t>>& parts) {
  for (size_t i = 0; i < parts.size(); ++i) {
    sock.send(zmq::buffer(parts[i]),
              i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  }
}

// Sends `parts` until `source` delivers a frame (the subscription has reached the publisher),
// at most `timeout_ms`.
inline bool SyncSource(zmq::socket_t& pub, FrameStream& source,
                       const std::vector<std::vector<uint8_t>>& parts, int timeout_ms = 5000) {
  cv::Mat frame;
  int64_t ts = 0;
  return waitFor(
      [&] {
        SendParts(pub, parts);
        return source.Next(&frame, &ts, /*bAllowScale=*/false);
      },
      std::chrono::milliseconds(timeout_ms));
}

// Calls Next until `count` frames came, at most `limit_ms`, handing each frame and its stamp to
// `check` (up to its first fatal failure); returns the number of frames.
inline int ReadFrames(FrameStream& source, int count, int64_t limit_ms, bool bAllowScale,
                      const std::function<void(const cv::Mat&, int64_t)>& check) {
  int got = 0;
  cv::Mat frame;
  int64_t ts = 0;
  for (const int64_t start = now(); got < count && now() - start < limit_ms;) {
    if (!source.Next(&frame, &ts, bAllowScale)) continue;
    check(frame, ts);
    if (::testing::Test::HasFatalFailure()) break;
    ++got;
  }
  return got;
}

// Collects, while it lives, the glog WARNING lines that contain `source`.
class WarningCollector : public google::LogSink {
 public:
  explicit WarningCollector(std::string source) : source_(std::move(source)) {
    google::AddLogSink(this);
  }
  ~WarningCollector() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
            const char* message, size_t message_len) override {
    const std::string text(message, message_len);
    if (severity != google::GLOG_WARNING || text.find(source_) == std::string::npos) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::string source_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace testing_util
}  // namespace tesmo
