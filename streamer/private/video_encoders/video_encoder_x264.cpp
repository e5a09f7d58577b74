#include "streamer/private/video_encoders/video_encoder_x264.h"

#include <stdexcept>

namespace tesmo {

// The x264 encoder state. Without the x264 library it cannot be built.
class VideoEncoderX264::Impl {
 public:
  Impl(double /*fps*/, const std::string& /*preset*/, const std::string& /*tune*/,
       const std::string& /*profile*/) {
    throw std::runtime_error("build with x264");
  }

  void Encode(const cv::Mat& /*frame*/, std::vector<uint8_t>* /*buf*/) {
    throw std::runtime_error("build with x264");
  }
};

VideoEncoderX264::VideoEncoderX264(double fps, const std::string& preset,
                                   const std::string& tune, const std::string& profile)
    : impl_(std::make_unique<Impl>(fps, preset, tune, profile)) {}

VideoEncoderX264::~VideoEncoderX264() = default;

void VideoEncoderX264::Encode(const cv::Mat& frame, std::vector<uint8_t>* buf) {
  impl_->Encode(frame, buf);
}

}  // namespace tesmo
