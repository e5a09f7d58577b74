#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "streamer/video_encoder.h"

namespace tesmo {

// Software H.264 encoding through x264 with the given frame rate and x264 preset, tune and
// profile names. This build has no x264: construction throws std::runtime_error("build with x264").
class VideoEncoderX264 : public VideoEncoder {
 public:
  explicit VideoEncoderX264(double fps = 25.0, const std::string& preset = "veryfast",
                            const std::string& tune = "zerolatency",
                            const std::string& profile = "baseline");
  ~VideoEncoderX264() override;

  void Encode(const cv::Mat& frame, std::vector<uint8_t>* buf) override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tesmo
