#include "streamer/private/video_writes/video_write_live555_rtsp.h"

#include <stdexcept>
#include <utility>

namespace tesmo {

// The RTSP server. Without the live555 library it cannot be built.
class VideoWriteLive555RTSP::Impl {
 public:
  Impl(int /*port*/, const std::string& /*stream_name*/,
       std::shared_ptr<VideoEncoder> /*h264_encoder*/) {
    throw std::runtime_error("build with livemedia");
  }

  void Feed(const cv::Mat& /*frame*/) { throw std::runtime_error("build with livemedia"); }
};

VideoWriteLive555RTSP::VideoWriteLive555RTSP(int port, std::string stream_name,
                                             std::shared_ptr<VideoEncoder> h264_encoder)
    : impl_(std::make_shared<Impl>(port, stream_name, std::move(h264_encoder))) {}

VideoWriteLive555RTSP::~VideoWriteLive555RTSP() = default;

bool VideoWriteLive555RTSP::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  impl_->Feed(frame);
  return true;
}

}  // namespace tesmo
