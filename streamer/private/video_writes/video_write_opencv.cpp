#include "streamer/private/video_writes/video_write_opencv.h"

#include <glog/logging.h>

namespace tesmo {

namespace {

// The four characters packed by cv::VideoWriter::fourcc (the first in the lowest byte), or 0
// when the text is not exactly four characters long.
int FourccCode(const std::string& fourcc) {
  if (fourcc.size() != 4) return 0;
  return cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]);
}

}  // namespace

VideoWriteOpenCV::VideoWriteOpenCV(const std::string& output, const std::string& fourcc,
                                   double fps)
    : output(output), fps(fps), fourcc(FourccCode(fourcc)) {}

VideoWriteOpenCV::~VideoWriteOpenCV() = default;

bool VideoWriteOpenCV::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  if (frame.size() != frameSize) {
    frameSize = frame.size();
    if (writer.isOpened()) writer.release();
    writer.open(output, fourcc, fps, frameSize, /*isColor=*/true);
    if (!writer.isOpened()) {
      LOG(ERROR) << "Can't open video writer: " << output;
      return false;
    }
  }
  if (!writer.isOpened()) return false;

  if (frame.isContinuous()) {
    writer.write(frame);
  } else {
    frame.copyTo(tmpFrame);
    writer.write(tmpFrame);
  }
  return true;
}

}  // namespace tesmo
