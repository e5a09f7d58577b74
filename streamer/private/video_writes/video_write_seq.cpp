#include "streamer/private/video_writes/video_write_seq.h"

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
  return cv::imwrite(cv::format(output_fmt_.c_str(), frameInd), frame);
}

}  // namespace tesmo
