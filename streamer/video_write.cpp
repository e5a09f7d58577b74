#include "streamer/video_write.h"

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "common/misc.h"
#include "streamer/frame_stream.h"
#include "streamer/img_codecs.h"
#include "streamer/private/video_encoders/video_encoder_x264.h"
#include "streamer/private/video_writes/video_write_live555_rtsp.h"
#include "streamer/private/video_writes/video_write_open_async.h"
#include "streamer/private/video_writes/video_write_opencv.h"
#include "streamer/private/video_writes/video_write_seq.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/private/video_writes/video_write_wnd.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/private/video_writes/video_write_zmq_enc.h"
#include "streamer/util.h"
#include "streamer/video_encoder.h"

namespace tesmo {

namespace {

// Colour of the padding that the Fill strategy puts around the visible part of the frame.
const cv::Scalar kFillColour(50, 50, 50, 0);

const char kRoiBound[] = "a region within the frame bound (x and y within -16384..16384, "
                        "the padded region at most 16384 per side and 256 MiB)";

// Whether Publish can place a region on any frame: a region that is no region (a side not
// positive) always can; another one starts within one frame side of the origin, so that its
// corner arithmetic stays inside an int, and its padded image (3 bytes per pixel, the views'
// pixel size) stays within the frame bound.
bool RoiFits(const cv::Rect& roi) {
  if (roi.width <= 0 || roi.height <= 0) return true;
  return roi.x >= -kMaxFrameSide && roi.x <= kMaxFrameSide && roi.y >= -kMaxFrameSide &&
         roi.y <= kMaxFrameSide && FitsFrameBound(roi.width, roi.height, 3);
}

// "roi": exactly four integers x, y, width, height that RoiFits; absent gives the empty region,
// any other form is refused.
cv::Rect ReadRoi(const cv::FileNode& node, const std::string& section) {
  const cv::FileNode roi = node["roi"];
  if (roi.isNone()) return cv::Rect();
  int v[4] = {0, 0, 0, 0};
  bool bValid = roi.isSeq() && roi.size() == 4;
  for (int i = 0; bValid && i < 4; ++i) bValid = roi[i].isInt();
  if (!bValid) refuseKey(section, "roi", roi, "a sequence of 4 integers x, y, width, height");
  for (int i = 0; i < 4; ++i) v[i] = static_cast<int>(roi[i]);
  const cv::Rect rect(v[0], v[1], v[2], v[3]);
  if (!RoiFits(rect)) refuseKey(section, "roi", roi, kRoiBound);
  return rect;
}

// An optional map key (an encoder's settings): absent gives an empty node, another form is
// refused.
cv::FileNode OptionalMap(const cv::FileNode& node, const std::string& section, const char* key) {
  const cv::FileNode value = node[key];
  if (!value.isNone() && !value.isMap()) refuseKey(section, key, value, "a map");
  return value;
}

// "roi_copy_stratagy": "fill" (also when absent) or "cut"; another string ends the process.
VideoWrite::EROICopyStratagy ReadStratagy(const cv::FileNode& node, const std::string& section) {
  std::string stratagyName;
  if (!readKey(node, section, "roi_copy_stratagy", stratagyName)) return VideoWrite::Fill;
  if (stratagyName == "fill") return VideoWrite::Fill;
  if (stratagyName == "cut") return VideoWrite::Cut;
  CHECK(0) << "Wrong \"rio_copy_stratag\"";
  return VideoWrite::Fill;
}

using SinkBuilder = std::shared_ptr<VideoWrite> (*)(const cv::FileNode& node,
                                                    const std::string& section);

struct SinkType {
  const char* type;
  SinkBuilder build;
};

// Every sink type the factory knows. One row per type: the row reads the type's own keys in their
// order (a required string key ends the process through a fatal check, an optional key of the
// wrong type or value throws), builds the sink and logs its creation line.
const SinkType kSinkTypes[] = {
    {"zmq",
     [](const cv::FileNode& node, const std::string& /*section*/) -> std::shared_ptr<VideoWrite> {
       CHECK(node["addr"].isString());
       auto writer = std::make_shared<VideoWriteZmq>(static_cast<std::string>(node["addr"]));
       LOG(INFO) << "Created zmq raw writer";
       return writer;
     }},
    {"zmq_jpeg",
     [](const cv::FileNode& node, const std::string& section) -> std::shared_ptr<VideoWrite> {
       CHECK(node["addr"].isString());
       const std::string addr = static_cast<std::string>(node["addr"]);
       const cv::FileNode encNode = OptionalMap(node, section, "jpeg_enc");
       std::shared_ptr<ImageEncoder> encoder = encNode.isMap()
                                                   ? ImageEncoder::Create(encNode)
                                                   : std::make_shared<ImageEncoderJpegOpenCV>();
       auto writer = std::make_shared<VideoWriteZmqEnc>(addr, encoder, /*is_async=*/false);
       LOG(INFO) << "Created zmq jpeg publisher\n";
       return writer;
     }},
    {"shmem",
     [](const cv::FileNode& node, const std::string& section) -> std::shared_ptr<VideoWrite> {
       std::string shmemId;
       readKey(node, section, "shmem_id", shmemId);
       auto writer = std::make_shared<VideoWriteShmem>(shmemId);
       LOG(INFO) << "Created shmem writer, id:" << shmemId << "\n";
       return writer;
     }},
    {"rtsp",
     [](const cv::FileNode& node, const std::string& section) -> std::shared_ptr<VideoWrite> {
       int port = 8558;
       readKey(node, section, "port", port, 1, 65535);
       std::string name = "sensors_video";
       readKey(node, section, "name", name);
       const cv::FileNode encNode = OptionalMap(node, section, "h264_enc");
       std::shared_ptr<VideoEncoder> encoder =
           encNode.isMap() ? VideoEncoder::Create(encNode) : std::make_shared<VideoEncoderX264>();
       auto writer = std::make_shared<VideoWriteLive555RTSP>(port, name, encoder);
       LOG(INFO) << "Created rtsp writer, port:" << port << "\n";
       return writer;
     }},
    {"frame_sequence",
     [](const cv::FileNode& node, const std::string& /*section*/) -> std::shared_ptr<VideoWrite> {
       CHECK(node["prefix"].isString());
       const std::string prefix = static_cast<std::string>(node["prefix"]);
       auto writer = std::make_shared<VideoWriteSeq>(prefix);
       LOG(INFO) << "Created VideoWriteSeq writer, prefix:" << prefix << "\n";
       return writer;
     }},
    {"opencv_video",
     [](const cv::FileNode& node, const std::string& section) -> std::shared_ptr<VideoWrite> {
       std::string fourcc;
       readKey(node, section, "fourcc", fourcc);
       double fps = 25.0;
       if (readKey(node, section, "fps", fps) && !(fps > 0)) {
         refuseKey(section, "fps", node["fps"], "a number above 0");
       }
       std::string filename = "output.mp4";
       readKey(node, section, "filename", filename);
       auto writer = std::make_shared<VideoWriteOpenCV>(filename, fourcc, fps);
       LOG(INFO) << "Created OpenCV writer, filename:\"" << filename << "\"\n";
       return writer;
     }},
    {"wnd",
     [](const cv::FileNode& node, const std::string& section) -> std::shared_ptr<VideoWrite> {
       std::string name = "VideoWriteWnd";
       readKey(node, section, "name", name);
       int delay = 0;
       readKey(node, section, "delay", delay);
       auto writer = std::make_shared<VideoWriteWnd>(name, delay);
       LOG(INFO) << "Created Window writer\n";
       return writer;
     }},
};

// The row of kSinkTypes for `type`; nullptr when there is none.
const SinkType* FindSinkType(const std::string& type) {
  for (const SinkType& row : kSinkTypes) {
    if (type == row.type) return &row;
  }
  return nullptr;
}

}  // namespace

VideoWrite::~VideoWrite() = default;

void VideoWrite::setROI(const cv::Rect& inROI, EROICopyStratagy inStratagy) {
  if (!RoiFits(inROI)) {
    std::ostringstream got;
    got << inROI;
    throw std::invalid_argument(std::string("VideoWrite::setROI: the region must be ") +
                                kRoiBound + ", got " + got.str());
  }
  ROI = inROI;
  ROICopyStratagy = inStratagy;
}

int VideoWrite::FailedFrames() const { return failedFrames; }

void VideoWrite::ReportFailure(const std::string& text) {
  const int64_t t = now<std::chrono::steady_clock>();
  if (lastFailureReportMs >= 0 && t - lastFailureReportMs < 1000) return;
  lastFailureReportMs = t;
  LOG(ERROR) << text;
}

bool VideoWrite::Publish(cv::Mat frame, int64_t timestamp) {
  // An empty image is no frame: no sink gets it and it does not count.
  if (frame.empty()) return false;
  if (frameInd == 0) startTs = now();

  // A region with a width or height that is not positive is no region, also when both are
  // negative and their product is positive.
  bool bPublished = true;
  if (ROI.width <= 0 || ROI.height <= 0) {
    bPublished = PublishImpl(frame, timestamp);
  } else {
    const cv::Rect bounds(0, 0, frame.cols, frame.rows);
    const cv::Rect visible = ROI & bounds;
    if (ROICopyStratagy == Cut) {
      if (visible.area() > 0) bPublished = PublishImpl(frame(visible), timestamp);
    } else if (visible == ROI) {
      bPublished = PublishImpl(frame(ROI), timestamp);
    } else {
      // The visible part keeps its place inside the region: it starts at -x (-y) when the region
      // begins before the frame, also when the region passes both edges of one axis.
      const cv::Rect dst(visible.x - ROI.x, visible.y - ROI.y, visible.width, visible.height);
      tmpROIFrame.create(ROI.size(), frame.type());
      tmpROIFrame.setTo(kFillColour);
      if (dst.area() > 0) frame(visible).copyTo(tmpROIFrame(dst));
      bPublished = PublishImpl(tmpROIFrame, timestamp);
    }
  }

  if (!bPublished) ++failedFrames;
  ++frameInd;
  if (frameInd % 100 == 0) {
    VLOG(1) << "number: " << frameInd << ", avg. write time: "
            << static_cast<float>(now() - startTs) / static_cast<float>(frameInd) << " ms"
            << (failedFrames > 0 ? ", failed: " + std::to_string(failedFrames) : "");
  }
  return true;
}

std::shared_ptr<VideoWrite> VideoWrite::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = static_cast<std::string>(node["type"]);
  // Sinks stand in a view's "video_writes"; messages name them by type.
  const std::string section = "video_writes/" + type;

  bool bAsync = false;
  cv::read_bool(node["async"], bAsync, false);
  const cv::Rect roi = ReadRoi(node, section);
  const EROICopyStratagy stratagy = ReadStratagy(node, section);

  const SinkType* row = FindSinkType(type);
  if (row == nullptr) throw std::runtime_error("Unknown data format: " + type);
  std::shared_ptr<VideoWrite> writer = row->build(node, section);

  writer->setROI(roi, stratagy);
  if (bAsync) writer = std::make_shared<VideoWriteOpenAsync>(writer);
  return writer;
}

}  // namespace tesmo
