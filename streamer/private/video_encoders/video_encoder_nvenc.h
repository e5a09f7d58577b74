#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "streamer/video_encoder.h"

namespace tesmo {

// Hardware H.264 encoding on an NVIDIA GPU through NVENC with the given frame rate and preset,
// tune and profile names. No factory type builds it. This build has no NVENC: construction throws
// std::runtime_error("build with nvenc").
class VideoEncoderNvenc : public VideoEncoder {
 public:
  VideoEncoderNvenc(double fps, const std::string& preset, const std::string& tune,
                    const std::string& profile);
  ~VideoEncoderNvenc() override;

  void Encode(const cv::Mat& frame, std::vector<uint8_t>* buf) override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tesmo
