#include "streamer/frame_stream.h"

#include <stdexcept>

#include <glog/logging.h>

#include "common/misc.h"
#include "streamer/private/frame_streams/boson_frame_stream.h"
#include "streamer/private/frame_streams/img_frame_stream.h"
#include "streamer/private/frame_streams/ocv_frame_stream.h"
#include "streamer/private/frame_streams/ocv_gpu_frame_stream.h"
#include "streamer/private/frame_streams/replay_video_frame_stream.h"
#include "streamer/private/frame_streams/scaled_size.h"
#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"

namespace tesmo {

FrameStream::FrameStream(double scale) : scale(scale) {}

FrameStream::~FrameStream() = default;

bool FrameStream::Next(cv::Mat* frame) {
  int64_t timestamp_ms = 0;
  return Next(frame, &timestamp_ms, /*bAllowScale=*/true);
}

bool FrameStream::Next(cv::cuda::GpuMat* /*frame*/, int64_t* /*timestamp_ms*/,
                       bool /*bAllowScale*/, gpu::Stream& /*stream*/) {
  return false;
}

bool FrameStream::reconnect() { return false; }

bool FrameStream::isOpend() { return false; }

bool FrameStream::isGpuFrameSupported() const { return false; }

namespace {

using SourceBuilder = std::shared_ptr<FrameStream> (*)(const cv::FileNode& node,
                                                       const std::string& section, double scale);

struct SourceType {
  const char* type;
  SourceBuilder build;
};

// An optional integer key of a source's node: absent keeps `def`, another type throws.
int IntOption(const cv::FileNode& node, const std::string& section, const char* key, int def) {
  readKey(node, section, key, def);
  return def;
}

// Every source type the factory knows, in matching order. One row per type: the row reads the
// type's own keys (required string keys end the process through a fatal check, optional keys of
// the wrong type throw) and builds it.
const SourceType kSourceTypes[] = {
    {"ocv",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["filename"].isString());
       return std::make_shared<OcvFrameStream>(scale, node["filename"].string());
     }},
    {"ocv_gpu",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       // No check: an absent or non-string "filename" gives an empty name.
       return std::make_shared<OcvGpuFrameStream>(scale, node["filename"].string());
     }},
    {"replay_video",
     [](const cv::FileNode& node, const std::string& section,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["prefix"].isString());
       const int realtime = IntOption(node, section, "realtime", 0);
       std::shared_ptr<FrameStream> stream =
           std::make_shared<ReplayVideoFrameStream>(scale, node["prefix"].string());
       if (realtime == 0) return stream;
       const int time_delta = IntOption(node, section, "time_delta", 0);
       const int preserve_timestamps = IntOption(node, section, "preserve_timestamps", 1);
       return std::make_shared<ReplayRealtimeFrameStream>(stream, time_delta,
                                                          preserve_timestamps != 0);
     }},
    {"zmq",
     [](const cv::FileNode& node, const std::string& section,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["addr"].isString());
       const int preserve_timestamps = IntOption(node, section, "preserve_timestamps", 1);
       return std::make_shared<ZmqFrameStream>(scale, node["addr"].string(),
                                               preserve_timestamps != 0);
     }},
    {"zmq_encoded",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["addr"].isString());
       return std::make_shared<ZmqEncFrameStream>(scale, node["addr"].string());
     }},
    {"shmem",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["shmem"].isString());
       return std::make_shared<ShmemFrameStream>(scale, node["shmem"].string());
     }},
    {"boson",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       // Each text key is taken only when it holds a string; any other value keeps the default.
       auto text = [](const cv::FileNode& option, const char* def) {
         return option.isString() ? option.string() : std::string(def);
       };
       const std::string dev = text(node["dev"], "/dev/video0");
       const std::string boson_type = text(node["boson_type"], "boson640");
       const std::string format = text(node["format"], "bgr8");
       BosonFrameStream::SensorTypes sensor_type;
       if (boson_type == "boson320") {
         sensor_type = BosonFrameStream::BOSON_320;
       } else if (boson_type == "boson640") {
         sensor_type = BosonFrameStream::BOSON_640;
       } else {
         throw std::runtime_error("Boson : sensor_type " + boson_type);
       }
       BosonFrameStream::SensorFormats sensor_format;
       if (format == "raw8") {
         sensor_format = BosonFrameStream::RAW8;
       } else if (format == "raw16") {
         sensor_format = BosonFrameStream::RAW16;
       } else if (format == "bgr8") {
         sensor_format = BosonFrameStream::BGR8;
       } else {
         throw std::runtime_error("Boson : sensor_format " + format);
       }
       return std::make_shared<BosonFrameStream>(scale, dev, sensor_type, sensor_format);
     }},
    {"img",
     [](const cv::FileNode& node, const std::string& /*section*/,
        double scale) -> std::shared_ptr<FrameStream> {
       CHECK(node["filename"].isString());
       return std::make_shared<ImgFrameStream>(scale, node["filename"].string());
     }},
};

}  // namespace

std::shared_ptr<FrameStream> FrameStream::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = node["type"].string();
  // The node's place in the configuration, for messages: sources are named under
  // "camera_streams".
  const std::string section = "camera_streams/" + node.name();
  double scale = 1.0;
  readKey(node, section, "scale", scale);
  if (!(scale > 0 && scale <= kMaxFrameSide)) {
    refuseKey(section, "scale", node["scale"],
              "a number above 0 and at most " + std::to_string(kMaxFrameSide));
  }
  for (const SourceType& row : kSourceTypes) {
    if (type != row.type) continue;
    try {
      return row.build(node, section, scale);
    } catch (const FrameTooLarge& e) {
      refuseKey(section, "scale", node["scale"],
                "a factor that keeps " + DescribeFrameSize(e.frameSize) + " within " +
                    std::to_string(kMaxFrameSide) + " pixels on a side and " +
                    std::to_string(kMaxFrameBytes) + " bytes");
    }
  }
  throw std::runtime_error("Unknown video capture type: " + type);
}

std::shared_ptr<FrameStream> FrameStream::Create(const std::string& config,
                                                 const std::string& camera) {
  cv::FileStorage Fs;
  openDocument(Fs, config);
  CHECK(Fs.isOpened());
  cv::FileNode cams = Fs["camera_streams"];
  CHECK(cams.isMap());
  return Create(cams[camera]);
}

}  // namespace tesmo
