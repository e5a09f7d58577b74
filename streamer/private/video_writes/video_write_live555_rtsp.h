#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "streamer/video_encoder.h"
#include "streamer/video_write.h"

namespace tesmo {

// Serves the frames as an H.264 RTSP stream named `stream_name` on `port`, encoded by
// `h264_encoder`. This build has no RTSP server library: construction throws
// std::runtime_error("build with livemedia").
class VideoWriteLive555RTSP : public VideoWrite {
 public:
  VideoWriteLive555RTSP(int port, std::string stream_name,
                        std::shared_ptr<VideoEncoder> h264_encoder);
  ~VideoWriteLive555RTSP() override;

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t timestamp) override;

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace tesmo
