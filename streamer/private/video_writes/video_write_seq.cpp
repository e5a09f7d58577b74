#include "streamer/private/video_writes/video_write_seq.h"

#include <string>

#include <opencv2/imgcodecs.hpp>

namespace tesmo {

namespace {

// The prefix as literal text of a printf format: every '%' doubled.
std::string EscapeFormat(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return escaped;
}

}  // namespace

// The prefix comes from the configuration; a '%' in it must not be read as a conversion.
VideoWriteSeq::VideoWriteSeq(const std::string& output_prefix)
    : output_fmt_(EscapeFormat(output_prefix) + "-%07d.png") {}

VideoWriteSeq::~VideoWriteSeq() = default;

bool VideoWriteSeq::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  const std::string path = cv::format(output_fmt_.c_str(), frameInd);
  std::string reason = "no such directory, no permission or a full disk";
  bool bWritten = false;
  try {
    bWritten = cv::imwrite(path, frame);
  } catch (const cv::Exception& e) {
    reason = e.what();
  }
  if (bWritten) return true;

  // The frame counts as failed once this returns.
  ReportFailure("Can't write frame to \"" + path + "\" (" + reason + "); frames failed so far: " +
                std::to_string(failedFrames + 1));
  return false;
}

}  // namespace tesmo
