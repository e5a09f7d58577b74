#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <glog/logging.h>
#include <opencv2/core.hpp>

#include "streamer/video_write.h"
#include "tests/temp_dir.h"

namespace tesmo {
namespace test {

// An 8-bit image whose pixel (x, y) holds (x, y, x + y) modulo 256 in its first three channels
// (and 255 - x in a fourth), so that every position can be told apart from its neighbours.
inline cv::Mat PatternFrame(cv::Size size, int channels = 3, int seed = 0) {
  cv::Mat frame(size, CV_8UC(channels));
  for (int y = 0; y < size.height; ++y) {
    uint8_t* row = frame.ptr<uint8_t>(y);
    for (int x = 0; x < size.width; ++x) {
      uint8_t* px = row + x * channels;
      px[0] = static_cast<uint8_t>(x + seed);
      if (channels > 1) px[1] = static_cast<uint8_t>(y + seed);
      if (channels > 2) px[2] = static_cast<uint8_t>(x + y + seed);
      if (channels > 3) px[3] = static_cast<uint8_t>(255 - x);
    }
  }
  return frame;
}

// True when both images have the same size and type and no element differs.
inline bool SameImage(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  if (a.empty()) return true;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  return cv::countNonZero(diff.reshape(1)) == 0;
}

using testing_util::TempDir;

// Collects the glog messages written while it exists.
class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }

  void send(google::LogSeverity severity, const char* /*full_filename*/,
            const char* /*base_filename*/, int /*line*/, const google::LogMessageTime& /*time*/,
            const char* message, size_t message_len) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({severity, std::string(message, message_len)});
  }

  // Messages of `severity` that start with `prefix`.
  std::vector<std::string> find(google::LogSeverity severity, const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const auto& m : messages_) {
      if (m.severity == severity && m.text.compare(0, prefix.size(), prefix) == 0) {
        found.push_back(m.text);
      }
    }
    return found;
  }

 private:
  struct Message {
    google::LogSeverity severity;
    std::string text;
  };
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace test
}  // namespace tesmo
