#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

namespace tesmo {

// A frame sink. Publish applies the optional region of interest, calls PublishImpl and counts
// frames. Publish and setROI are called from one thread at a time.
class VideoWrite {
 public:
  // Spelled as in the configuration key "roi_copy_stratagy".
  enum EROICopyStratagy { Fill = 0, Cut = 1 };

  VideoWrite() = default;
  virtual ~VideoWrite();
  VideoWrite(const VideoWrite&) = delete;
  VideoWrite& operator=(const VideoWrite&) = delete;

  // Publishes `frame` (a header sharing the caller's pixels) stamped `timestamp` (ms since the
  // Unix epoch) and returns true, also when the sink fails to deliver it (counted in
  // FailedFrames, and shown in the statistics line that glog's verbose level 1 prints every 100
  // frames). An empty frame is refused: nothing is published or counted and false is returned.
  bool Publish(cv::Mat frame, int64_t timestamp);
  // Frames this sink could not deliver so far (PublishImpl returned false). Any thread; the
  // asynchronous wrapper counts its wrapped sink's failures instead of the frames it drops.
  virtual int FailedFrames() const;
  // A region with a positive width and height must start within -16384..16384 on both axes and
  // its padded image must stay within the frame bound (16384 per side, 256 MiB at 3 bytes per
  // pixel); another one throws std::invalid_argument and leaves the region as it was.
  void setROI(const cv::Rect& inROI, EROICopyStratagy inStratagy);

  // Builds the sink node["type"] names. A missing type or required key ends the process through
  // a fatal check; an unknown type throws std::runtime_error("Unknown data format: " + type); an
  // optional key of the wrong type or value throws std::runtime_error naming the key and
  // "video_writes/" + type.
  static std::shared_ptr<VideoWrite> Create(const cv::FileNode& node);

 protected:
  // Receives the whole frame, a view of the region, or the padded region image.
  virtual bool PublishImpl(const cv::Mat& frame, int64_t timestamp) = 0;

  // For a sink's PublishImpl that fails: logs `text` at ERROR (so that it reaches the console),
  // at most once a second; the failures in between are only counted.
  void ReportFailure(const std::string& text);

  // Number of completed Publish calls; PublishImpl sees 0 for the first frame.
  int frameInd = 0;
  // System-clock ms at the first Publish.
  int64_t startTs = 0;
  // Frames whose PublishImpl returned false; written by the publishing thread, read by any.
  std::atomic<int> failedFrames{0};
  cv::Rect ROI;
  EROICopyStratagy ROICopyStratagy = Fill;
  cv::Mat tmpROIFrame;

 private:
  int64_t lastFailureReportMs = -1;  // steady clock; -1: no report yet
};

}  // namespace tesmo
