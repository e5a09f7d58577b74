#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "streamer/frame_stream.h"

// `s` without the text between `open` and `close` (brackets included; groups may nest):
// "rec/cam1[left, 30 fps]" -> "rec/cam1". Unbalanced brackets or open == close end the process
// through a fatal check.
std::string RemoveComments(const std::string& s, char open, char close);

namespace tesmo {

// Source type "replay_video": a recorded video replayed with its recorded timestamps.
//
// The prefix, without bracketed comments, names the recording: its ".timestamp" companion is the
// prefix with the extension replaced (rec/cam1.avi and rec/cam1 -> rec/cam1.timestamp); the video
// is the prefix itself, or prefix + ".mp4" when it has no extension. Each companion line holds a
// 0-based video frame index and a timestamp (ms since the Unix epoch); Next delivers the listed
// frames in list order with their timestamps, reading and dropping unlisted frames. The list is
// run through once; after its end, or the video's, every Next returns false with timestamp -1.
// Frames are never resized: getScale() is 1.0.
class ReplayVideoFrameStream : public FrameStream {
 public:
  // Prints a banner and the video's frame rate. A companion file or a video that cannot be
  // opened ends the process through a fatal check. `scale` is not used.
  ReplayVideoFrameStream(double scale, const std::string& prefix);

  using FrameStream::Next;
  // An entry whose index is not above the last frame read (repeated, backward or negative)
  // delivers no frame: it is skipped with a warning and the call returns false, *frame and
  // *timestamp_ms untouched.
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;

 private:
  std::string timestamp_path_;
  size_t pos_ = 0;
  std::vector<int> indices_;
  std::vector<int64_t> timestamps_;
  int frame_idx_ = -1;
  cv::VideoCapture video_;
};

// Holds each frame of the wrapped source back until its timestamp plus an offset has come on the
// system clock. With time_delta >= 0 the offset is time_delta; with time_delta < 0 the
// constructor consumes one frame (recorded time ts0) and fixes the offset so that a frame
// recorded at t is due (t - ts0) + |time_delta| ms after construction, i.e. replay at the
// recorded pace (when the wrapped source gives no first frame, the first frame Next reads is the
// reference instead, due |time_delta| ms after it is read). With preserve_timestamps false a
// delivered frame is stamped with the system time at delivery, else it keeps the wrapped
// source's timestamp.
//
// Next blocks its caller while it waits, for at most kWaitSliceMs: a frame due later is kept and
// the call returns false ("no frame yet"); a later call delivers it once it is due. So a gap in
// the recording never holds up the live reader's stop.
class ReplayRealtimeFrameStream : public FrameStream {
 public:
  static constexpr int64_t kWaitSliceMs = 100;

  ReplayRealtimeFrameStream(const std::shared_ptr<FrameStream>& stream, int64_t time_delta,
                            bool preserve_timestamps);

  using FrameStream::Next;
  // The delivered image is swapped into *frame; the caller's previous image is kept to read the
  // next frame into.
  bool Next(cv::Mat* frame, int64_t* timestamp_ms, bool bAllowScale) override;

 private:
  std::shared_ptr<FrameStream> stream_;
  int64_t time_delta_;
  bool preserve_timestamps_;
  // time_delta < 0 and no reference frame read yet: time_delta_ still holds time_delta.
  bool pace_from_next_ = false;
  // The wrapped source's frame that is not due yet.
  bool has_pending_ = false;
  cv::Mat pending_;
  int64_t pending_ts_ = 0;
};

}  // namespace tesmo
