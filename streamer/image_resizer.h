#pragma once

#include <utility>

#include <opencv2/core.hpp>

namespace tesmo {

// Scales frames toward a desired size. A desired width or height <= 0 follows the other
// dimension's factor. With keep_aspect both axes get the smaller factor and the result is padded
// to exactly the desired size by repeating the edge pixels (an odd remainder goes to the bottom
// and right); keep_aspect needs both desired dimensions set, else process throws cv::Exception.
// Call setup before process. One thread at a time: process reuses internal images.
//
//   ImageResizer resizer;
//   resizer.setup(frame.size(), cv::Size(640, 480), /*keep_aspect=*/true);
//   cv::Mat out = resizer.process(frame);  // 640x480; valid until the next process call
class ImageResizer {
 public:
  // Scale factors (x, y).
  using scale_t = std::pair<float, float>;

  // Desired size 0x0 (no resizing) and no aspect keeping until setup.
  ImageResizer() = default;
  ImageResizer(bool keep_aspect, cv::Size desired_size);

  // Stores the desired size and the flag, then computes the factors for original_size.
  void setup(const cv::Size& original_size, cv::Size desired_size, bool keep_aspect);
  // Computes the factors for original_size with the stored settings.
  void setup(const cv::Size& original_size);

  // True when a desired width or height is set (> 0).
  bool resize_needed() const;
  // The factors (x, y) for original_size under the stored settings.
  scale_t prepare(const cv::Size& original_size) const;
  // The resized (and, with keep_aspect, padded) frame; `frame` itself when no resizing is needed.
  // The result shares an internal image that the next call overwrites.
  cv::Mat process(const cv::Mat& frame) const;

 private:
  cv::Size desired_size{0, 0};
  bool keep_aspect = false;
  scale_t scale{1.0f, 1.0f};
  mutable cv::Mat resized_frame;
  mutable cv::Mat output_frame;
};

}  // namespace tesmo
