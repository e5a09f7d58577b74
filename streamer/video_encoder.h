#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace tesmo {

// An H.264 video encoder. One thread at a time.
class VideoEncoder {
 public:
  VideoEncoder() = default;
  virtual ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Encodes one frame into *buf (its previous content is replaced).
  virtual void Encode(const cv::Mat& frame, std::vector<uint8_t>* buf) = 0;

  // Builds the encoder node["type"] names; only "x264" is known. Optional keys: "preset"
  // ("veryfast"), "tune" ("zerolatency"), "profile" ("baseline"), each used when it is a string,
  // and "fps" (25.0), used when it is a number. A non-string "type" or an unknown type ends the
  // process (fatal log). The x264 encoder is not part of this build, so a valid node throws
  // std::runtime_error("build with x264").
  static std::shared_ptr<VideoEncoder> Create(const cv::FileNode& node);
};

}  // namespace tesmo
