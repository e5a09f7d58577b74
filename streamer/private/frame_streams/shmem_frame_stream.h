#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "streamer/frame_stream.h"
#include "streamer/private/frame_wire.h"
#include "streamer/private/memory_manager.h"

namespace tesmo {

// Source "shmem": reads the frames that a "shmem" sink publishes into the shared-memory segment
// `mem_id` (created here when the reader comes first). Next delivers each published frame once:
// it looks for a frame newer than the last one delivered every kPollIntervalMs, for at most
// kWaitTimeoutMs, and returns false when none came, so a reader thread is released when nothing
// is published. It never waits on the segment's condition and takes the mutex with a time-out,
// so a writer that dies at any moment, even holding the mutex, keeps no call longer than that;
// frames are taken again as soon as a new writer publishes.
//
// A header that describes more data than lies behind its offset (or no image at all) is refused
// ("Incorrect size"), as is a frame type the views cannot compose (see IsComposable) and, with
// bAllowScale, a frame that the scale would take past the frame bound of streamer/frame_stream.h;
// each is logged at WARNING at most once a second and counted (dropped_frames()).
class ShmemFrameStream : public FrameStream {
 public:
  static constexpr int kWaitTimeoutMs = 100;
  static constexpr int kPollIntervalMs = 1;

  ShmemFrameStream(double scale, const std::string& mem_id);
  ~ShmemFrameStream() override;

  using FrameStream::Next;
  // *ts is the writer's timestamp of the frame.
  bool Next(cv::Mat* frame, int64_t* ts, bool bAllowScale) override;

  // Published frames refused so far.
  uint64_t dropped_frames() const { return malformed_.count(); }

 private:
  // Whether the header names a frame other than the last one delivered.
  bool HasNewFrame(const TensorMsgHeader& header) const;
  // Copies the published frame out, the segment's mutex held; false when it is refused.
  bool TakeFrame(SharedData* shared_data, cv::Mat* frame, int64_t* ts, bool bAllowScale);

  int64_t timestamp_ = -1;  // of the last frame delivered
  int64_t index_ = -1;      // writer's frame index of the last frame delivered
  std::unique_ptr<MemoryManager> memory_manager_;
  MalformedInputLog malformed_;
};

}  // namespace tesmo
