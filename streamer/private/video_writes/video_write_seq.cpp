#include "streamer/private/video_writes/video_write_seq.h"

#include <opencv2/imgcodecs.hpp>

namespace tesmo {

VideoWriteSeq::VideoWriteSeq(const std::string& output_prefix)
    : output_fmt_(output_prefix + "-%07d.png") {}

VideoWriteSeq::~VideoWriteSeq() = default;

bool VideoWriteSeq::PublishImpl(const cv::Mat& frame, int64_t /*timestamp*/) {
  return cv::imwrite(cv::format(output_fmt_.c_str(), frameInd), frame);
}

}  // namespace tesmo
