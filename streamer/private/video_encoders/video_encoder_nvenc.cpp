#include "streamer/private/video_encoders/video_encoder_nvenc.h"

#include <stdexcept>

namespace tesmo {

// The NVENC encoder state. Without the NVENC library it cannot be built.
class VideoEncoderNvenc::Impl {
 public:
  Impl(double /*fps*/, const std::string& /*preset*/, const std::string& /*tune*/,
       const std::string& /*profile*/) {
    throw std::runtime_error("build with nvenc");
  }

  void Encode(const cv::Mat& /*frame*/, std::vector<uint8_t>* /*buf*/) {
    throw std::runtime_error("build with nvenc");
  }
};

VideoEncoderNvenc::VideoEncoderNvenc(double fps, const std::string& preset,
                                     const std::string& tune, const std::string& profile)
    : impl_(std::make_unique<Impl>(fps, preset, tune, profile)) {}

VideoEncoderNvenc::~VideoEncoderNvenc() = default;

void VideoEncoderNvenc::Encode(const cv::Mat& frame, std::vector<uint8_t>* buf) {
  impl_->Encode(frame, buf);
}

}  // namespace tesmo
