#include "streamer/private/video_writes/video_write_opencv.h"

#include <string>

#include <boost/filesystem/path.hpp>
#include <glog/logging.h>

namespace tesmo {

namespace {

// The four characters packed by cv::VideoWriter::fourcc (the first in the lowest byte), or 0
// when the text is not exactly four characters long.
int FourccCode(const std::string& fourcc) {
  if (fourcc.size() != 4) return 0;
  return cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]);
}

// `path` with "-" and `n` before its extension: out/top_view.avi, 2 -> out/top_view-2.avi.
std::string NumberedPath(const std::string& path, int n) {
  const std::string extension = boost::filesystem::path(path).extension().string();
  return path.substr(0, path.size() - extension.size()) + "-" + std::to_string(n) + extension;
}

}  // namespace

VideoWriteOpenCV::VideoWriteOpenCV(const std::string& output, const std::string& fourcc,
                                   double fps)
    : output(output), fps(fps), fourcc(FourccCode(fourcc)) {}

VideoWriteOpenCV::~VideoWriteOpenCV() = default;

bool VideoWriteOpenCV::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  if (frame.size() != frameSize) {
    frameSize = frame.size();
    // Releasing finishes the file written so far; it stays as it is and the frames of the new
    // size go to a file of their own.
    if (writer.isOpened()) writer.release();
    const std::string path = filesOpened == 0 ? output : NumberedPath(output, filesOpened);
    writer.open(path, fourcc, fps, frameSize, /*isColor=*/true);
    if (!writer.isOpened()) {
      LOG(ERROR) << "Can't open video writer: " << path;
      return false;
    }
    if (filesOpened > 0) {
      LOG(INFO) << "Frame size changed to " << frameSize.width << "x" << frameSize.height
                << ": recording goes on in \"" << path << "\"";
    }
    ++filesOpened;
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
