#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "generator/tesmo_view.h"
#include "streamer/frame_streams.h"

namespace tesmo {

// Shows, in the interactive mode of the demo program, which part of a view each camera covers:
// for one camera at a time it blends the camera's visibility mask or its mask after seam finding
// into the view's output image and writes the layer's label and the camera's name onto it.
//
// The masks are a snapshot of the generator taken at construction; a later change of the view's
// parameters or cameras shows only in a new viewer. Main thread only. The viewer keeps a reference
// to `mng` and must not outlive it.
//
//   tesmo::MasksViewer viewer(*view->gen, *app->frameStreams);  // computes the masks: slow
//   for (;;) {
//     const int key = cv::waitKey(3);
//     viewer.DrawToolsWnd(view->getOutputImg(), key);
//     cv::imshow(name, view->getOutputImg());
//   }
class MasksViewer {
 public:
  // The layer shown. The viewer also holds the value 2 there: no layer.
  enum Leval : int { Orign = 0, Stiched = 1 };

  // Computes the warp maps, visibility masks and seam masks (or blend weights) of `gen` with its
  // current parameters and cameras, at the generator's working view size. Starts on camera 0 and
  // the seam layer. Failures of the map computation propagate (cv::Exception).
  MasksViewer(const TesmoViewGenerator& gen, const FrameStreams& mng);

  MasksViewer(const MasksViewer&) = delete;
  MasksViewer& operator=(const MasksViewer&) = delete;

  // Handles one key as OpenCV's waitKey returns it ('d' next camera, 'a' previous camera, 'b' next
  // layer; anything else, -1 included, changes nothing), then draws into `img` (the view's CV_8UC3
  // output image): 0.3 * img + 0.7 * the current layer's mask of the current camera, the layer's
  // label at (10, 125) and "Camera: " + the camera's frame-source name at (10, 100). An image of
  // another size or type than the masks gets the labels only.
  void DrawToolsWnd(cv::Mat& img, int key);

  // img = img * mask `ind` of layer `leval` / 255, per element. A layer other than Orign and
  // Stiched, an index out of range or an image that is not CV_8UC3 is a fatal check.
  void SetMask(cv::Mat& img, Leval leval, int ind);

 private:
  std::vector<cv::Mat> warp_maps_;
  std::vector<cv::Mat> orign_masks_;
  std::vector<cv::Mat> stiched_masks_;
  std::vector<cv::Mat> orign_masks_rgb_;
  std::vector<cv::Mat> stiched_masks_rgb_;
  const FrameStreams& mng_;
  size_t cams_count_ = 0;
  int cur_cam_ = 0;
  Leval leval_ = Stiched;
};

}  // namespace tesmo
