// The mask viewer on the bundled synthetic scene: its keys, and what it draws over a view.

#include "tools/private/mask_viewer.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "streamer/frame_streams.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

// The sample's cameras, sources and frames, and its top view.
struct Sample : testing_util::SampleFrames {
  cv::FileNode topView = testing_util::ViewNode(config, "top_view");
};

const Sample& TheSample() {
  static const Sample sample;
  return sample;
}

// The sample's top view at a fifth of its size (140 x 180), prepared.
std::unique_ptr<TesmoViewGeneratorCpu> SmallTopView(float blendBorderWidth) {
  auto gen = std::make_unique<TesmoViewGeneratorCpu>(TheSample().cameras, TheSample().topView);
  auto params = gen->getParams();
  params.scaleFactor = 0.2f;
  params.blendBorderWidth = blendBorderWidth;
  params.computeViewSize();
  gen->setParams(params);
  cv::Mat covered;
  gen->prepare(covered);
  return gen;
}

using testing_util::Compose;

// Per camera, its weight (0..255) at every view pixel.
std::vector<cv::Mat> CameraWeights(TesmoViewGenerator& gen) {
  return testing_util::CameraWeights(gen, TheSample().frames);
}

// Per camera, 255 x its mask (visibility, or after seam finding), saturated to 8 bits.
std::vector<cv::Mat> Masks(const TesmoViewGenerator& gen, bool bStitched) {
  std::vector<cv::Mat> maps, masks;
  gen.computeMaps(maps, masks);
  if (bStitched) {
    cv::Mat all;
    gen.stitchMasks(masks, all);
  }
  for (cv::Mat& m : masks) m.convertTo(m, CV_8U, 255.0);
  return masks;
}

// What the viewer should show: 0.3 * base + 0.7 * mask per pixel (mask empty: base), then the
// two labels.
cv::Mat Expected(const cv::Mat& base, const cv::Mat& mask, const std::string& label,
                 const std::string& camera) {
  cv::Mat out = base.clone();
  if (!mask.empty()) {
    for (int y = 0; y < out.rows; ++y) {
      for (int x = 0; x < out.cols; ++x) {
        cv::Vec3b& p = out.at<cv::Vec3b>(y, x);
        for (int c = 0; c < 3; ++c) {
          p[c] = cv::saturate_cast<uchar>(0.3 * p[c] + 0.7 * mask.at<uchar>(y, x));
        }
      }
    }
  }
  for (const auto& [text, row] :
       {std::pair<std::string, int>{label, 125}, {"Camera: " + camera, 100}})
    cv::putText(out, text, cv::Point(10, row), cv::FONT_HERSHEY_SIMPLEX, 0.7,
                cv::Scalar(80, 80, 80), 2, cv::LINE_8);
  return out;
}

// Draws with `key` on a copy of `base` and returns the picture.
cv::Mat Draw(MasksViewer& viewer, const cv::Mat& base, int key) {
  cv::Mat img = base.clone();
  viewer.DrawToolsWnd(img, key);
  return img;
}

// The rows that the labels may touch.
const cv::Range kLabelRows(70, 135);

// Rows clear of the labels.
cv::Mat OffLabels(const cv::Mat& img) {
  cv::Mat out;
  cv::vconcat(img.rowRange(0, kLabelRows.start), img.rowRange(kLabelRows.end, img.rows), out);
  return out;
}

class MasksViewerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TheSample().cameras.size(), 4u) << "the sample scene did not load";
    ASSERT_EQ(TheSample().streams->size(), 4u);
    ASSERT_TRUE(TheSample().topView.isMap());
  }
  const FrameStreams& streams() const { return *TheSample().streams; }
};

TEST_F(MasksViewerTest, KeysChooseCameraAndLayer) {
  auto gen = SmallTopView(/*blendBorderWidth=*/0.02f);
  const std::vector<cv::Mat> visible = Masks(*gen, /*bStitched=*/false);
  const std::vector<cv::Mat> seams = Masks(*gen, /*bStitched=*/true);
  const cv::Mat base(gen->getParams().viewSizeCashed, CV_8UC3, cv::Scalar(100, 110, 120));
  ASSERT_EQ(base.size(), cv::Size(140, 180));
  MasksViewer viewer(*gen, streams());

  // Cameras by name: back, front, left, right.
  struct Step {
    int key;
    cv::Mat mask;
    std::string label;
    std::string camera;
  };
  const std::vector<Step> steps = {
      {-1, seams[0], "Stiched masks", "back"},    // the start: camera 0, seams
      {'a', seams[3], "Stiched masks", "right"},  // before the first camera: the last
      {'d', seams[0], "Stiched masks", "back"},   // past the last: the first
      {'d', seams[1], "Stiched masks", "front"},
      {'b', cv::Mat(), "", "front"},  // no layer
      {'b', visible[1], "Orgin masks", "front"},
      {'d', visible[2], "Orgin masks", "left"},
      // Other keys, the arrows and the function keys included, change nothing; the layer is drawn
      // again on every new image.
      {-1, visible[2], "Orgin masks", "left"},
      {'A', visible[2], "Orgin masks", "left"},
      {'D', visible[2], "Orgin masks", "left"},
      {81, visible[2], "Orgin masks", "left"},
      {191, visible[2], "Orgin masks", "left"},
      {'b', seams[2], "Stiched masks", "left"},  // three presses: back to the first layer
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    const cv::Mat drawn = Draw(viewer, base, s.key);
    const cv::Mat expected = Expected(base, s.mask, s.label, s.camera);
    EXPECT_LE(cv::norm(drawn, expected, cv::NORM_INF), 1.0) << "step " << i << ", key " << s.key;
  }
}

TEST_F(MasksViewerTest, ShowsEachCameraWhereItFeedsTheView) {
  auto gen = SmallTopView(/*blendBorderWidth=*/0.02f);
  const cv::Mat view = Compose(*gen, TheSample().frames);
  const std::vector<cv::Mat> weights = CameraWeights(*gen);
  MasksViewer viewer(*gen, streams());

  cv::Mat dim, bright;
  view.convertTo(dim, CV_32F, 0.3);
  dim.convertTo(bright, CV_32F, 1.0, 0.7 * 255);
  // Pixels where `drawn` is the view under a full mask (bMasked) or the view darkened (!bMasked).
  const auto fits = [&](const cv::Mat& drawn, bool bMasked) {
    cv::Mat d, diff;
    drawn.convertTo(d, CV_32F);
    cv::absdiff(d, bMasked ? bright : dim, diff);
    std::vector<cv::Mat> ch;
    cv::split(diff, ch);
    const cv::Mat worst = cv::max(cv::max(ch[0], ch[1]), ch[2]);
    return cv::Mat(worst <= 1.0);
  };

  // Seam layer, cameras 0 to 3.
  for (int k = 0; k < 4; ++k) {
    const cv::Mat drawn = Draw(viewer, view, k == 0 ? -1 : 'd');
    const cv::Mat feeds = weights[k] == 255;
    const cv::Mat none = weights[k] == 0;
    ASSERT_GT(cv::countNonZero(OffLabels(feeds)), 1000) << "camera " << k;
    ASSERT_GT(cv::countNonZero(OffLabels(none)), 1000) << "camera " << k;
    EXPECT_EQ(cv::countNonZero(OffLabels(feeds & ~fits(drawn, true))), 0)
        << "camera " << k << " not shown where it feeds the view";
    EXPECT_EQ(cv::countNonZero(OffLabels(none & ~fits(drawn, false))), 0)
        << "camera " << k << " shown where it does not feed the view";
  }

  // Visibility layer: a camera is shown wherever it feeds the view, and also where it sees the
  // ground but a neighbour won the seam.
  Draw(viewer, view, 'd');  // back to camera 0
  Draw(viewer, view, 'b');  // no layer
  int overlap = 0;
  for (int k = 0; k < 4; ++k) {
    const cv::Mat drawn = Draw(viewer, view, k == 0 ? 'b' : 'd');
    const cv::Mat feeds = weights[k] > 0;
    EXPECT_EQ(cv::countNonZero(OffLabels(feeds & ~fits(drawn, true))), 0)
        << "camera " << k << " not shown where it feeds the view";
    cv::Mat neighbours = cv::Mat::zeros(view.size(), CV_8U);
    for (int j = 0; j < 4; ++j) {
      if (j != k) neighbours |= weights[j] == 255;
    }
    overlap += cv::countNonZero(OffLabels(neighbours & fits(drawn, true)));
  }
  // The sample's cameras overlap in about 300 of the view's pixels.
  EXPECT_GT(overlap, 100) << "no camera shows its overlap with its neighbours";
}

TEST_F(MasksViewerTest, SoftSeamsShowAsGreyLevels) {
  const cv::Mat black(cv::Size(140, 180), CV_8UC3, cv::Scalar::all(0));
  // Over black, the seam layer is 0.7 x the mask: hard seams give two levels, soft ones many.
  const auto levels = [&](float blendBorderWidth) {
    auto gen = SmallTopView(blendBorderWidth);
    MasksViewer viewer(*gen, streams());
    int hist[256] = {0};
    for (int k = 0; k < 4; ++k) {
      const cv::Mat drawn = OffLabels(Draw(viewer, black, k == 0 ? -1 : 'd'));
      for (auto it = drawn.begin<cv::Vec3b>(); it != drawn.end<cv::Vec3b>(); ++it) {
        ++hist[(*it)[0]];
      }
    }
    int mid = 0;
    for (int v = 1; v < 178; ++v) mid += hist[v];
    return std::make_pair(hist[0] > 0 && hist[178] + hist[179] > 0, mid);
  };
  const auto hard = levels(0.02f);
  EXPECT_TRUE(hard.first);
  EXPECT_EQ(hard.second, 0);
  const auto soft = levels(0.1f);
  EXPECT_TRUE(soft.first);
  // About 300 pixels of the sample's view lie on a soft seam.
  EXPECT_GT(soft.second, 100);
}

TEST_F(MasksViewerTest, ImageOfAnotherSizeGetsTheLabelsOnly) {
  auto gen = SmallTopView(/*blendBorderWidth=*/0.02f);
  MasksViewer viewer(*gen, streams());
  const cv::Mat base(cv::Size(200, 150), CV_8UC3, cv::Scalar(100, 110, 120));
  const cv::Mat drawn = Draw(viewer, base, 'd');
  EXPECT_EQ(cv::norm(drawn, Expected(base, cv::Mat(), "Stiched masks", "front"), cv::NORM_INF),
            0.0);
}

TEST_F(MasksViewerTest, SetMaskMultipliesByTheMask) {
  auto gen = SmallTopView(/*blendBorderWidth=*/0.1f);
  const std::vector<cv::Mat> visible = Masks(*gen, /*bStitched=*/false);
  const std::vector<cv::Mat> seams = Masks(*gen, /*bStitched=*/true);
  MasksViewer viewer(*gen, streams());
  const cv::Mat base(cv::Size(140, 180), CV_8UC3, cv::Scalar(200, 100, 50));

  for (int k = 0; k < 4; ++k) {
    for (const bool bStitched : {false, true}) {
      cv::Mat img = base.clone();
      viewer.SetMask(img, bStitched ? MasksViewer::Stiched : MasksViewer::Orign, k);
      const cv::Mat& mask = bStitched ? seams[k] : visible[k];
      cv::Mat expected(base.size(), CV_8UC3);
      for (int y = 0; y < base.rows; ++y) {
        for (int x = 0; x < base.cols; ++x) {
          const double m = mask.at<uchar>(y, x) / 255.0;
          expected.at<cv::Vec3b>(y, x) =
              cv::Vec3b(cv::saturate_cast<uchar>(200 * m), cv::saturate_cast<uchar>(100 * m),
                        cv::saturate_cast<uchar>(50 * m));
        }
      }
      EXPECT_LE(cv::norm(img, expected, cv::NORM_INF), 1.0) << k << " " << bStitched;
    }
  }

  cv::Mat img = base.clone();
  EXPECT_DEATH(viewer.SetMask(img, static_cast<MasksViewer::Leval>(2), 0), "Check failed: masks ");
  EXPECT_DEATH(viewer.SetMask(img, MasksViewer::Orign, 4),
               "Check failed: ind >= 0 && ind < \\(int\\)masks->size\\(\\) ");
  EXPECT_DEATH(viewer.SetMask(img, MasksViewer::Stiched, -1),
               "Check failed: ind >= 0 && ind < \\(int\\)masks->size\\(\\) ");
  cv::Mat gray(base.size(), CV_8UC1, cv::Scalar(9));
  EXPECT_DEATH(viewer.SetMask(gray, MasksViewer::Orign, 0),
               "Check failed: img.type\\(\\) == CV_8UC3 ");
}

}  // namespace
}  // namespace tesmo
