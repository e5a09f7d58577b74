#include "streamer/private/frame_streams/replay_video_frame_stream.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>
#include <utility>

#include <boost/filesystem/path.hpp>
#include <glog/logging.h>

#include "streamer/util.h"

std::string RemoveComments(const std::string& s, char open, char close) {
  CHECK(open != close);
  int group_nest_state = 0;
  std::string result;
  result.reserve(s.size());
  for (const char c : s) {
    if (c == open) {
      ++group_nest_state;
    } else if (c == close) {
      --group_nest_state;
      CHECK(group_nest_state >= 0) << "unbalanced \"" << close << "\" in \"" << s << "\"";
    } else if (group_nest_state == 0) {
      result.push_back(c);
    }
  }
  CHECK(group_nest_state == 0) << "unclosed \"" << open << "\" in \"" << s << "\"";
  return result;
}

namespace tesmo {

ReplayVideoFrameStream::ReplayVideoFrameStream(double /*scale*/, const std::string& prefix)
    : FrameStream(1.0) {
  std::cout << "Create ReplayVideoFrameStream(prefix = " << prefix << ")\n";
  const std::string p = RemoveComments(prefix, '[', ']');
  boost::filesystem::path timestamp_path(p);
  timestamp_path.replace_extension(".timestamp");
  boost::filesystem::path video_path(p);
  if (!video_path.has_extension()) video_path = p + ".mp4";

  timestamp_path_ = timestamp_path.string();
  std::ifstream f(timestamp_path.string());
  CHECK(f.is_open()) << timestamp_path;
  std::string line;
  int line_no = 0;
  while (std::getline(f, line)) {
    ++line_no;
    std::istringstream fields(line);
    int index = 0;
    int64_t timestamp = 0;
    if (fields >> index >> timestamp) {
      indices_.push_back(index);
      timestamps_.push_back(timestamp);
    } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
      LOG(WARNING) << timestamp_path << ":" << line_no
                   << ": no frame index and timestamp, line skipped: " << line;
    }
  }

  video_.open(video_path.string(), cv::CAP_ANY);
  CHECK(video_.isOpened()) << video_path;
  std::cout << "FPS: " << video_.get(cv::CAP_PROP_FPS) << std::endl;
}

bool ReplayVideoFrameStream::Next(cv::Mat* frame, int64_t* timestamp_ms, bool /*bAllowScale*/) {
  if (pos_ >= indices_.size()) {
    *frame = cv::Mat();
    if (timestamp_ms != nullptr) *timestamp_ms = -1;
    return false;
  }
  if (indices_[pos_] <= frame_idx_) {
    // A repeated, backward or negative index names no new frame of the video.
    LOG_EVERY_N(WARNING, 100) << timestamp_path_ << ": entry " << pos_ + 1 << " lists frame "
                              << indices_[pos_] << ", not after frame " << frame_idx_
                              << " already read; entry skipped";
    ++pos_;
    return false;
  }
  while (indices_[pos_] > frame_idx_) {
    video_.read(*frame);
    if (frame->empty()) {
      if (timestamp_ms != nullptr) *timestamp_ms = -1;
      return false;
    }
    ++frame_idx_;
  }
  if (timestamp_ms != nullptr) *timestamp_ms = timestamps_[pos_];
  ++pos_;
  return true;
}

ReplayRealtimeFrameStream::ReplayRealtimeFrameStream(const std::shared_ptr<FrameStream>& stream,
                                                     int64_t time_delta,
                                                     bool preserve_timestamps)
    : FrameStream(1.0),
      stream_(stream),
      time_delta_(time_delta),
      preserve_timestamps_(preserve_timestamps) {
  std::cout << "Create ReplayRealtimeFrameStream(time_delta = " << time_delta << ")\n";
  if (time_delta < 0) {
    cv::Mat first;
    int64_t ts0 = 0;
    // Without a first frame (a skipped list entry) there is nothing to pace from yet: the first
    // frame Next reads sets the offset instead.
    pace_from_next_ = !stream_->Next(&first, &ts0, /*bAllowScale=*/true);
    if (!pace_from_next_) time_delta_ = SaturatingSub(SaturatingSub(now(), ts0), time_delta);
  }
}

bool ReplayRealtimeFrameStream::Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) {
  if (!has_pending_) {
    if (!stream_->Next(&pending_, &pending_ts_, bAllowScale)) return false;
    has_pending_ = true;
    if (pace_from_next_) {
      time_delta_ = SaturatingSub(SaturatingSub(now(), pending_ts_), time_delta_);
      pace_from_next_ = false;
    }
  }
  const int64_t due = SaturatingAdd(pending_ts_, time_delta_);
  const int64_t t = now();
  if (t < due) {
    // A frame due later than one slice is held back: the caller gets its thread back (and can
    // stop) and asks again.
    if (due - t > kWaitSliceMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(due - t));
  }
  // The caller's image becomes the buffer the next frame is read into: no copy.
  std::swap(*frame, pending_);
  has_pending_ = false;
  if (timestamp_ms != nullptr) *timestamp_ms = preserve_timestamps_ ? pending_ts_ : now();
  return true;
}

}  // namespace tesmo
