#include "streamer/image_resizer.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace tesmo {

ImageResizer::ImageResizer(bool keep_aspect, cv::Size desired_size)
    : desired_size(desired_size), keep_aspect(keep_aspect) {}

void ImageResizer::setup(const cv::Size& original_size, cv::Size desired_size, bool keep_aspect) {
  this->desired_size = desired_size;
  this->keep_aspect = keep_aspect;
  scale = prepare(original_size);
}

void ImageResizer::setup(const cv::Size& original_size) { scale = prepare(original_size); }

bool ImageResizer::resize_needed() const {
  return desired_size.width > 0 || desired_size.height > 0;
}

ImageResizer::scale_t ImageResizer::prepare(const cv::Size& original_size) const {
  float sx = 1.0f;
  float sy = 1.0f;
  if (desired_size.width > 0) {
    sx = static_cast<float>(desired_size.width) / static_cast<float>(original_size.width);
    if (desired_size.height <= 0) sy = sx;
  }
  if (desired_size.height > 0) {
    sy = static_cast<float>(desired_size.height) / static_cast<float>(original_size.height);
    if (desired_size.width <= 0) sx = sy;
  }
  if (keep_aspect) sx = sy = std::min(sx, sy);
  return {sx, sy};
}

cv::Mat ImageResizer::process(const cv::Mat& frame) const {
  if (!resize_needed()) return frame;
  cv::resize(frame, resized_frame, cv::Size(), scale.first, scale.second, cv::INTER_LINEAR);
  if (!keep_aspect) return resized_frame;
  const int dw = desired_size.width - resized_frame.cols;
  const int dh = desired_size.height - resized_frame.rows;
  cv::copyMakeBorder(resized_frame, output_frame, dh / 2, (dh + 1) / 2, dw / 2, (dw + 1) / 2,
                     cv::BORDER_REPLICATE);
  return output_frame;
}

}  // namespace tesmo
