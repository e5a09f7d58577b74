#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "streamer/video_write.h"

namespace tesmo {

// Writes each frame as a PNG named output_prefix + "-%07d.png" with the frame index (0 for the
// first published frame); a '%' in the prefix is taken literally. No directory is created; an
// existing file is overwritten. A frame that cannot be written (no such directory, no
// permission, an image PNG cannot hold) is an ERROR naming the file and the count of failed
// frames, at most once a second; the next frame tries its own name.
class VideoWriteSeq : public VideoWrite {
 public:
  explicit VideoWriteSeq(const std::string& output_prefix);
  ~VideoWriteSeq() override;

 protected:
  // True when the file was written.
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override;

 private:
  const std::string output_fmt_;
};

}  // namespace tesmo
