#include "streamer/video_encoder.h"

#include <string>

#include <glog/logging.h>

#include "streamer/private/video_encoders/video_encoder_x264.h"

namespace tesmo {

namespace {

// Settings every encoder type takes, with their defaults.
struct EncoderSettings {
  double fps = 25.0;
  std::string preset = "veryfast";
  std::string tune = "zerolatency";
  std::string profile = "baseline";
};

using EncoderBuilder = std::shared_ptr<VideoEncoder> (*)(const EncoderSettings& settings);

struct EncoderType {
  const char* type;
  EncoderBuilder build;
};

// Every video encoder type the factory knows.
const EncoderType kEncoderTypes[] = {
    {"x264",
     [](const EncoderSettings& settings) -> std::shared_ptr<VideoEncoder> {
       return std::make_shared<VideoEncoderX264>(settings.fps, settings.preset, settings.tune,
                                                 settings.profile);
     }},
};

// Each setting is replaced when its key has the right form: the names when they are strings,
// "fps" when it is a number.
EncoderSettings ReadSettings(const cv::FileNode& node) {
  EncoderSettings settings;
  if (node["preset"].isString()) settings.preset = static_cast<std::string>(node["preset"]);
  if (node["tune"].isString()) settings.tune = static_cast<std::string>(node["tune"]);
  if (node["profile"].isString()) settings.profile = static_cast<std::string>(node["profile"]);
  if (node["fps"].isInt() || node["fps"].isReal()) settings.fps = static_cast<float>(node["fps"]);
  return settings;
}

}  // namespace

VideoEncoder::~VideoEncoder() = default;

std::shared_ptr<VideoEncoder> VideoEncoder::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = static_cast<std::string>(node["type"]);
  for (const EncoderType& row : kEncoderTypes) {
    if (type == row.type) return row.build(ReadSettings(node));
  }
  LOG(FATAL) << "Unknown video encoder type: " << type;
  return nullptr;
}

}  // namespace tesmo
