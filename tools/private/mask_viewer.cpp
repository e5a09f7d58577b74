#include "tools/private/mask_viewer.h"

#include <string>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

namespace tesmo {

namespace {

// 8-bit three-channel picture of a mask: 0/255 masks stay so, weights in [0, 1] become grey
// levels (255 times the value, saturated).
cv::Mat maskToBgr(const cv::Mat& mask) {
  cv::Mat gray;
  mask.convertTo(gray, CV_8U, 255.0);
  cv::Mat bgr;
  cv::cvtColor(gray, bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

void drawLabel(cv::Mat& img, const std::string& text, cv::Point origin) {
  cv::putText(img, text, origin, cv::FONT_HERSHEY_SIMPLEX, 0.7, cv::Scalar(80, 80, 80), 2,
              cv::LINE_8, false);
}

}  // namespace

MasksViewer::MasksViewer(const TesmoViewGenerator& gen, const FrameStreams& mng)
    : mng_(mng), cams_count_(gen.getCameras().size()), cur_cam_(0), leval_(Stiched) {
  orign_masks_rgb_.resize(cams_count_);
  stiched_masks_rgb_.resize(cams_count_);

  gen.computeMaps(warp_maps_, orign_masks_);
  for (size_t i = 0; i < orign_masks_.size(); ++i) {
    orign_masks_rgb_[i] = maskToBgr(orign_masks_[i]);
  }

  stiched_masks_.reserve(orign_masks_.size());
  for (const cv::Mat& mask : orign_masks_) {
    stiched_masks_.push_back(mask.clone());
  }
  cv::Mat unionMask;
  gen.stitchMasks(stiched_masks_, unionMask);
  for (size_t i = 0; i < stiched_masks_.size(); ++i) {
    stiched_masks_rgb_[i] = maskToBgr(stiched_masks_[i]);
  }
}

void MasksViewer::DrawToolsWnd(cv::Mat& img, int key) {
  const int count = static_cast<int>(cams_count_);
  switch (key) {
    case 'd':
      cur_cam_ = (cur_cam_ + 1) % count;
      break;
    case 'a':
      cur_cam_ = cur_cam_ - 1 < 0 ? count - 1 : cur_cam_ - 1;
      break;
    case 'b':
      leval_ = static_cast<Leval>((leval_ + 1) % 3);
      break;
    default:
      break;
  }

  const std::vector<cv::Mat>* masks = nullptr;
  std::string label;
  if (leval_ == Orign) {
    masks = &orign_masks_rgb_;
    label = "Orgin masks";
  } else if (leval_ == Stiched) {
    masks = &stiched_masks_rgb_;
    label = "Stiched masks";
  }
  if (masks != nullptr) {
    const cv::Mat& mask = (*masks)[cur_cam_];
    // The masks keep the generator's working size of the viewer's creation; an output image made
    // after a change of the view's size cannot take them.
    if (img.size() == mask.size() && img.type() == mask.type()) {
      cv::addWeighted(img, 0.3, mask, 0.7, 0.0, img);
    }
  }

  drawLabel(img, label, cv::Point(10, 125));
  const std::string name =
      cur_cam_ < static_cast<int>(mng_.size()) ? mng_[cur_cam_].name : std::string();
  drawLabel(img, "Camera: " + name, cv::Point(10, 100));
}

void MasksViewer::SetMask(cv::Mat& img, Leval leval, int ind) {
  const std::vector<cv::Mat>* masks = nullptr;
  if (leval == Orign) {
    masks = &orign_masks_rgb_;
  } else if (leval == Stiched) {
    masks = &stiched_masks_rgb_;
  }
  CHECK(masks);
  CHECK(ind >= 0 && ind < (int)masks->size());
  CHECK(img.type() == CV_8UC3);
  cv::multiply(img, (*masks)[ind], img, 0.00392156862745098, CV_8UC3);
}

}  // namespace tesmo
