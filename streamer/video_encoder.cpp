#include "streamer/video_encoder.h"

#include <string>

#include <glog/logging.h>

#include "streamer/private/video_encoders/video_encoder_x264.h"

namespace tesmo {

VideoEncoder::~VideoEncoder() = default;

std::shared_ptr<VideoEncoder> VideoEncoder::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = static_cast<std::string>(node["type"]);
  if (type != "x264") LOG(FATAL) << "Unknown video encoder type: " << type;

  std::string preset = "veryfast";
  std::string tune = "zerolatency";
  std::string profile = "baseline";
  double fps = 25.0;
  if (node["preset"].isString()) preset = static_cast<std::string>(node["preset"]);
  if (node["tune"].isString()) tune = static_cast<std::string>(node["tune"]);
  if (node["profile"].isString()) profile = static_cast<std::string>(node["profile"]);
  if (node["fps"].isInt() || node["fps"].isReal()) fps = static_cast<float>(node["fps"]);

  return std::make_shared<VideoEncoderX264>(fps, preset, tune, profile);
}

}  // namespace tesmo
