#include "streamer/video_write.h"

#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "common/misc.h"
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

// "roi": exactly four integers x, y, width, height; anything else gives the empty region.
cv::Rect ReadRoi(const cv::FileNode& node) {
  if (!node.isSeq() || node.size() != 4) return cv::Rect();
  int v[4];
  for (int i = 0; i < 4; ++i) {
    const cv::FileNode item = node[i];
    if (!item.isInt()) return cv::Rect();
    v[i] = static_cast<int>(item);
  }
  return cv::Rect(v[0], v[1], v[2], v[3]);
}

void ReadString(const cv::FileNode& node, std::string* value) {
  if (node.isString()) *value = static_cast<std::string>(node);
}

void ReadInt(const cv::FileNode& node, int* value) {
  if (node.isInt()) *value = static_cast<int>(node);
}

void ReadNumber(const cv::FileNode& node, double* value) {
  if (node.isInt() || node.isReal()) *value = static_cast<double>(node);
}

}  // namespace

VideoWrite::~VideoWrite() = default;

void VideoWrite::setROI(const cv::Rect& inROI, EROICopyStratagy inStratagy) {
  ROI = inROI;
  ROICopyStratagy = inStratagy;
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

  bool bAsync = false;
  cv::read_bool(node["async"], bAsync, false);
  const cv::Rect roi = ReadRoi(node["roi"]);

  EROICopyStratagy stratagy = Fill;
  const cv::FileNode stratagyNode = node["roi_copy_stratagy"];
  if (stratagyNode.isString()) {
    const std::string name = static_cast<std::string>(stratagyNode);
    if (name == "fill") {
      stratagy = Fill;
    } else if (name == "cut") {
      stratagy = Cut;
    } else {
      CHECK(0) << "Wrong \"rio_copy_stratag\"";
    }
  }

  std::shared_ptr<VideoWrite> writer;
  if (type == "zmq") {
    CHECK(node["addr"].isString());
    writer = std::make_shared<VideoWriteZmq>(static_cast<std::string>(node["addr"]));
    LOG(INFO) << "Created zmq raw writer";
  } else if (type == "zmq_jpeg") {
    CHECK(node["addr"].isString());
    const std::string addr = static_cast<std::string>(node["addr"]);
    const cv::FileNode encNode = node["jpeg_enc"];
    std::shared_ptr<ImageEncoder> encoder = encNode.isMap()
                                                ? ImageEncoder::Create(encNode)
                                                : std::make_shared<ImageEncoderJpegOpenCV>();
    writer = std::make_shared<VideoWriteZmqEnc>(addr, encoder, /*is_async=*/false);
    LOG(INFO) << "Created zmq jpeg publisher\n";
  } else if (type == "shmem") {
    std::string shmemId;
    ReadString(node["shmem_id"], &shmemId);
    writer = std::make_shared<VideoWriteShmem>(shmemId);
    LOG(INFO) << "Created shmem writer, id:" << shmemId << "\n";
  } else if (type == "rtsp") {
    int port = 8558;
    ReadInt(node["port"], &port);
    std::string name = "sensors_video";
    ReadString(node["name"], &name);
    const cv::FileNode encNode = node["h264_enc"];
    std::shared_ptr<VideoEncoder> encoder =
        encNode.isMap() ? VideoEncoder::Create(encNode) : std::make_shared<VideoEncoderX264>();
    writer = std::make_shared<VideoWriteLive555RTSP>(port, name, encoder);
    LOG(INFO) << "Created rtsp writer, port:" << port << "\n";
  } else if (type == "frame_sequence") {
    CHECK(node["prefix"].isString());
    const std::string prefix = static_cast<std::string>(node["prefix"]);
    writer = std::make_shared<VideoWriteSeq>(prefix);
    LOG(INFO) << "Created VideoWriteSeq writer, prefix:" << prefix << "\n";
  } else if (type == "opencv_video") {
    std::string fourcc;
    ReadString(node["fourcc"], &fourcc);
    double fps = 25.0;
    ReadNumber(node["fps"], &fps);
    std::string filename = "output.mp4";
    ReadString(node["filename"], &filename);
    writer = std::make_shared<VideoWriteOpenCV>(filename, fourcc, fps);
    LOG(INFO) << "Created OpenCV writer, filename:\"" << filename << "\"\n";
  } else if (type == "wnd") {
    std::string name = "VideoWriteWnd";
    ReadString(node["name"], &name);
    int delay = 0;
    ReadInt(node["delay"], &delay);
    writer = std::make_shared<VideoWriteWnd>(name, delay);
    LOG(INFO) << "Created Window writer\n";
  } else {
    throw std::runtime_error("Unknown data format: " + type);
  }

  writer->setROI(roi, stratagy);
  if (bAsync) writer = std::make_shared<VideoWriteOpenAsync>(writer);
  return writer;
}

}  // namespace tesmo
