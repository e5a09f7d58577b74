#include "generator/tesmo_view_cpu.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "tests/generator/generator_test_util.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::ColumnMasks;
using testing_util::MakeDownCamera;
using testing_util::MakeSurroundRig;
using testing_util::RandomFrame;

// The CPU generator with its maps and weights in reach as well.
class Probe : public testing_util::Probe<TesmoViewGeneratorCpu> {
 public:
  using testing_util::Probe<TesmoViewGeneratorCpu>::Probe;
  using TesmoViewGeneratorCpu::warpMapsX16u;
  using TesmoViewGeneratorCpu::warpMapsY16u;
  using TesmoViewGeneratorCpu::weightPyrs16u;
};

std::vector<cv::Mat> Frames(const std::vector<Camera>& cams, uint64_t seed) {
  return testing_util::RandomFrames(cams, seed);
}

cv::Mat Process(TesmoViewGenerator& gen, const std::vector<cv::Mat>& frames) {
  return testing_util::Compose(gen, frames);
}

// The merge computed the plain way: whole-view remap per camera, 32-bit sums of frame x 16-bit
// weight, division by 255, 8-bit saturation.
cv::Mat Reference(const Probe& gen, const std::vector<cv::Mat>& frames) {
  const cv::Size size = gen.getParams().viewSizeCashed;
  cv::Mat sum(size, CV_32SC3, cv::Scalar::all(0));
  for (size_t i = 0; i < frames.size(); ++i) {
    cv::Mat warped;
    cv::remap(frames[i], warped, gen.warpMapsX16u[i], gen.warpMapsY16u[i],
              gen.getParams().interpolation, cv::BORDER_CONSTANT, cv::Scalar());
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width * 3; ++x) {
        sum.ptr<int>(y)[x] += warped.ptr<uchar>(y)[x] * gen.weightPyrs16u[i][0].ptr<ushort>(y)[x];
      }
    }
  }
  cv::Mat out(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width * 3; ++x) {
      out.ptr<uchar>(y)[x] = cv::saturate_cast<uchar>(sum.ptr<int>(y)[x] / 255);
    }
  }
  return out;
}

TEST(ViewPreparation, HardSeamsGiveEachCoveredPixelToOneCamera) {
  Probe gen(MakeSurroundRig(cv::Size(640, 400)),
            "mode: top_view\nview_size: [200, 160]\ntop_view: { roi: [-6, 5, 6, -5] }\n");
  std::vector<cv::Mat> maps, masks;
  gen.computeMaps(maps, masks);
  cv::Mat all;
  gen.stitchMasks(masks, all);
  ASSERT_EQ(all.type(), CV_8U);
  EXPECT_GT(cv::countNonZero(all), 200 * 160 / 3);
  cv::Mat sum(all.size(), CV_32F, cv::Scalar(0));
  for (const cv::Mat& m : masks) {
    ASSERT_EQ(m.type(), CV_32F);
    EXPECT_EQ(cv::countNonZero((m != 0) & (m != 255)), 0);
    sum += m;
  }
  // Every covered pixel belongs to exactly one camera, every other one to none.
  EXPECT_EQ(cv::countNonZero((sum != 255) & (all != 0)), 0);
  EXPECT_EQ(cv::countNonZero((sum != 0) & (all == 0)), 0);

  // Each camera samples a rectangle inside its frame.
  gen.computeCamerasROI(maps, masks);
  for (const cv::Rect& r : gen.camerasROI) {
    EXPECT_GT(r.area(), 0);
    EXPECT_EQ(r & cv::Rect(0, 0, 640, 400), r);
  }
}

TEST(ViewPreparation, SoftWeightsRampOverTheMargin) {
  // (1000 + 1000) x 0.1 / 2: a margin of 100 pixels.
  Probe gen({MakeDownCamera("a"), MakeDownCamera("b")},
            "mode: top_view\nview_size: [1000, 1000]\nblend_border_width: 0.1\n");
  gen.maskGen =
      std::make_shared<ColumnMasks>(std::vector<int>{0, 550}, std::vector<int>{451, 1000});
  std::vector<cv::Mat> maps, masks;
  gen.computeMaps(maps, masks);
  ASSERT_EQ(cv::countNonZero(masks[0]), 1000 * 1000);
  cv::Mat all;
  gen.stitchMasks(masks, all);
  // Column 500 lies 50 pixels outside both regions.
  EXPECT_FLOAT_EQ(masks[0].at<float>(500, 500), 0.5f);
  EXPECT_FLOAT_EQ(masks[1].at<float>(500, 500), 0.5f);
  EXPECT_FLOAT_EQ(masks[0].at<float>(500, 470), 0.8f);
  EXPECT_FLOAT_EQ(masks[0].at<float>(500, 300), 1.f);
  EXPECT_FLOAT_EQ(masks[1].at<float>(500, 300), 0.f);

  // Near the edge of the visible area (columns from 200 on) the ramp is pushed down; a margin
  // inside it, it is kept.
  std::vector<cv::Mat> back{cv::Mat(1000, 1000, CV_8U, cv::Scalar(255))};
  back[0].colRange(0, 200).setTo(0);
  std::vector<cv::Mat> seam{cv::Mat(1000, 1000, CV_8U, cv::Scalar(0))};
  seam[0].colRange(300, 1000).setTo(255);
  gen.blendMasks(back, seam);
  ASSERT_EQ(seam[0].type(), CV_32F);
  EXPECT_EQ(seam[0].at<float>(500, 150), 0.f);
  EXPECT_GT(seam[0].at<float>(500, 250), 0.f);
  EXPECT_LT(seam[0].at<float>(500, 250), 0.4f);
  EXPECT_FLOAT_EQ(seam[0].at<float>(500, 350), 1.f);

  // Pyramids: three-channel float levels and their sums.
  Probe::GenerationParams p = gen.getParams();
  p.numBandsBlend = 2;
  gen.setParams(p);
  std::vector<std::vector<cv::Mat>> pyrs;
  std::vector<cv::Mat> sums;
  gen.preparePyramids(masks, &pyrs, &sums);
  ASSERT_EQ(pyrs.size(), 2u);
  ASSERT_EQ(sums.size(), 3u);
  EXPECT_EQ(pyrs[1][2].size(), cv::Size(250, 250));
  EXPECT_EQ(pyrs[1][2].type(), CV_32FC3);
  EXPECT_FLOAT_EQ(sums[0].at<cv::Vec3f>(500, 500)[2], 1.f);
}

TEST(TesmoViewGeneratorCpu, SixteenBitWeightsAreNormalised) {
  // Soft: 0.5 + 0.5 sums to 1 and stays 128 + 128; 1.0 + 1.0 becomes 128 + 128.
  Probe soft({MakeDownCamera("a"), MakeDownCamera("b")},
             "mode: top_view\nview_size: [1000, 1000]\nblend_border_width: 0.1\n");
  soft.maskGen =
      std::make_shared<ColumnMasks>(std::vector<int>{0, 550}, std::vector<int>{451, 1000});
  cv::Mat all;
  soft.prepare(all);
  ASSERT_TRUE(soft.bIsOk) << soft.errorMessage;
  EXPECT_EQ(soft.weightPyrs16u[0][0].type(), CV_16UC3);
  EXPECT_EQ(soft.weightPyrs16u[0][0].at<cv::Vec3w>(500, 500), cv::Vec3w(128, 128, 128));
  EXPECT_EQ(soft.weightPyrs16u[1][0].at<cv::Vec3w>(500, 500), cv::Vec3w(128, 128, 128));
  EXPECT_EQ(soft.weightPyrs16u[0][0].at<cv::Vec3w>(500, 100)[0], 255);

  std::vector<cv::Mat> frames{cv::Mat(800, 800, CV_8UC3, cv::Scalar(255, 100, 0)),
                              cv::Mat(800, 800, CV_8UC3, cv::Scalar(255, 100, 0))};
  cv::Mat out = Process(soft, frames);
  // 2 x 128 x 255 / 255 = 256 saturates to 255; 2 x 128 x 100 / 255 = 100.
  EXPECT_EQ(out.at<cv::Vec3b>(500, 500), cv::Vec3b(255, 100, 0));

  soft.maskGen = nullptr;  // both cameras keep their whole, equal masks
  soft.prepare(all);
  EXPECT_EQ(soft.weightPyrs16u[0][0].at<cv::Vec3w>(500, 500)[1], 128);
  EXPECT_EQ(soft.weightPyrs16u[1][0].at<cv::Vec3w>(500, 500)[1], 128);

  // Hard seams: 255 for the one camera, 0 for the other.
  Probe hard({MakeDownCamera("a"), MakeDownCamera("b")}, "mode: top_view\nview_size: [100, 100]\n");
  hard.maskGen = std::make_shared<ColumnMasks>(std::vector<int>{0, 50}, std::vector<int>{50, 100});
  hard.prepare(all);
  ASSERT_TRUE(hard.bIsOk) << hard.errorMessage;
  EXPECT_EQ(hard.weightPyrs16u[0][0].at<cv::Vec3w>(10, 49), cv::Vec3w(255, 255, 255));
  EXPECT_EQ(hard.weightPyrs16u[1][0].at<cv::Vec3w>(10, 49), cv::Vec3w(0, 0, 0));
  EXPECT_EQ(hard.weightPyrs16u[1][0].at<cv::Vec3w>(10, 50), cv::Vec3w(255, 255, 255));
  std::vector<cv::Mat> two = {cv::Mat(800, 800, CV_8UC3, cv::Scalar(255, 254, 1)),
                              cv::Mat(800, 800, CV_8UC3, cv::Scalar(7, 7, 7))};
  out = Process(hard, two);
  EXPECT_EQ(out.at<cv::Vec3b>(10, 49), cv::Vec3b(255, 254, 1));
  EXPECT_EQ(out.at<cv::Vec3b>(10, 50), cv::Vec3b(7, 7, 7));
}

TEST(TesmoViewGeneratorCpu, ProcessMatchesThePlainMerge) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  std::vector<cv::Mat> frames = Frames(rig, 11);
  for (const std::string& extra :
       {std::string(""), std::string("blend_border_width: 0.1\n"),
        std::string("interpolation: NEAREST\nview_size: [250, 171]\n"),
        std::string("interpolation: CUBIC\nblend_border_width: 0.2\n")}) {
    Probe gen(rig, "mode: top_view\nview_size: [240, 200]\n" + extra);
    cv::Mat all;
    gen.prepare(all);
    ASSERT_TRUE(gen.bIsOk) << gen.errorMessage;
    const cv::Mat out = Process(gen, frames);
    ASSERT_EQ(out.type(), CV_8UC3);
    ASSERT_EQ(out.size(), gen.getParams().viewSizeCashed);
    EXPECT_EQ(cv::norm(out, Reference(gen, frames), cv::NORM_INF), 0.0) << extra;
    // Frames smaller or larger than calibrated: many samples at or beyond the frame's border.
    for (const cv::Size& other : {cv::Size(301, 170), cv::Size(400, 263)}) {
      std::vector<cv::Mat> resized;
      for (size_t i = 0; i < frames.size(); ++i) resized.push_back(RandomFrame(other, 40 + i));
      EXPECT_EQ(cv::norm(Process(gen, resized), Reference(gen, resized), cv::NORM_INF), 0.0)
          << extra << other;
    }
    // Pixels that no camera sees are black.
    cv::Mat all3;
    cv::cvtColor(all, all3, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::countNonZero((out.reshape(1) != 0) & (all3.reshape(1) == 0)), 0);
  }
}

TEST(TesmoViewGeneratorCpu, ConvertsGrayFramesAndRefusesOtherTypes) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  cv::Mat all;
  gen.prepare(all);
  std::vector<cv::Mat> gray, bgr, bgra;
  for (const cv::Mat& f : Frames(rig, 3)) {
    gray.push_back(cv::Mat());
    cv::cvtColor(f, gray.back(), cv::COLOR_BGR2GRAY);
    bgr.push_back(cv::Mat());
    cv::cvtColor(gray.back(), bgr.back(), cv::COLOR_GRAY2BGR);
    bgra.push_back(cv::Mat());
    cv::cvtColor(bgr.back(), bgra.back(), cv::COLOR_BGR2BGRA);
  }
  const cv::Mat expected = Process(gen, bgr);
  EXPECT_EQ(cv::norm(Process(gen, gray), expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(Process(gen, bgra), expected, cv::NORM_INF), 0.0);
  ASSERT_TRUE(gen.bIsOk);

  std::vector<cv::Mat> wide = bgr;
  wide[2].convertTo(wide[2], CV_16U);
  cv::Mat out(120, 160, CV_8UC3, cv::Scalar::all(0));
  std::vector<cv::_OutputArray> in(wide.begin(), wide.end());
  gen.process(in, out);
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_NE(gen.errorMessage.find("16UC3"), std::string::npos) << gen.errorMessage;
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);  // the failing call leaves out alone
  // From the next call on the error image, until prepare succeeds again.
  out = Process(gen, bgr);
  EXPECT_GT(cv::countNonZero(out.reshape(1) == 255), 100);
  gen.prepare(all);
  EXPECT_EQ(cv::norm(Process(gen, bgr), expected, cv::NORM_INF), 0.0);

  std::vector<cv::Mat> empty = bgr;
  empty[0] = cv::Mat();
  Process(gen, empty);
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_NE(gen.errorMessage.find("Empty frame of camera 0"), std::string::npos);
}

// A frame of another size than calibrated is composed as it comes and reported once per change.
TEST(TesmoViewGeneratorCpu, FramesOfAnotherSizeThanCalibratedAreReported) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  cv::Mat all;
  gen.prepare(all);
  std::vector<cv::Mat> frames = Frames(rig, 5);
  std::vector<cv::Mat> half = frames;
  cv::resize(frames[1], half[1], cv::Size(160, 100));
  testing_util::WarningCollector warnings("calibrated for");
  for (const auto* set : {&half, &half, &frames, &half}) Process(gen, *set);
  EXPECT_TRUE(gen.bIsOk);
  const std::vector<std::string> lines = warnings.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Camera \"" + rig[1].name +
                          "\": frames of 160x100, calibrated for 320x200; its part of the view is "
                          "misplaced");
}

TEST(TesmoViewGeneratorCpu, InterpolationTheRemapRefusesGivesTheErrorImage) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\ninterpolation: LINEAR_EXACT\n");
  cv::Mat all;
  gen.prepare(all);
  ASSERT_TRUE(gen.bIsOk);
  std::vector<cv::Mat> frames = Frames(rig, 1);
  Process(gen, frames);
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_FALSE(gen.errorMessage.empty());
  const cv::Mat out = Process(gen, frames);
  EXPECT_EQ(out.size(), cv::Size(160, 120));
}

TEST(TesmoViewGeneratorCpu, ErrorImageAfterFailedPrepareAndRecovery) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  std::vector<cv::Mat> frames = Frames(rig, 5);

  // Not prepared yet: the error image (empty text) at the working size.
  cv::Mat out = Process(gen, frames);
  EXPECT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_EQ(out.type(), CV_8UC3);

  const Probe::GenerationParams bad = testing_util::ExpectPrepareFailsOnOddPyramid(gen);
  cv::Mat all;
  out = cv::Mat(704, 1001, CV_8UC3, cv::Scalar::all(0));
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  gen.process(in, out);
  EXPECT_GT(cv::countNonZero(out.reshape(1) == 255), 500);

  // A working size without pixels (only setParams gives one): an error image of the default size.
  Probe::GenerationParams none = bad;
  none.viewSizeCashed = cv::Size(0, 0);
  gen.setParams(none);
  EXPECT_EQ(Process(gen, frames).size(), cv::Size(1024, 1024));

  Probe::GenerationParams good = bad;
  good.viewSize = cv::Size(1000, 700);
  good.viewSizeCashed = cv::Size(1000, 704);
  gen.setParams(good);
  gen.prepare(all);
  ASSERT_TRUE(gen.bIsOk);
  out = Process(gen, frames);
  EXPECT_EQ(out.size(), cv::Size(1000, 704));
  EXPECT_EQ(cv::norm(out, Reference(gen, frames), cv::NORM_INF), 0.0);
  // The last failure's text is kept, only not shown.
  EXPECT_FALSE(gen.errorMessage.empty());
  testing_util::ExpectProcessKeepsThePreparation(
      gen, frames, "view_size: [40, 24]\nnum_bands_blend: 0\ninterpolation: AREA\n");
}

// Rows and columns of the white pixels in a band of rows.
cv::Rect WhiteBox(const cv::Mat& img, int y0, int y1) {
  cv::Mat white = img.rowRange(y0, y1).reshape(1) == 255;
  std::vector<cv::Point> pts;
  cv::findNonZero(white, pts);
  if (pts.empty()) return cv::Rect();
  cv::Rect box = cv::boundingRect(pts);
  return cv::Rect(box.x / 3, box.y + y0, (box.x + box.width + 2) / 3 - box.x / 3, box.height);
}

TEST(TesmoViewGeneratorCpu, DebugFrameLinesOfSixtyCharacters) {
  Probe gen({}, "view_size: [1024, 512]\n");
  gen.errorMessage = std::string(120, 'H') + std::string(10, 'E');
  cv::Mat img(512, 1024, CV_8UC3, cv::Scalar::all(0));
  gen.drawDebugFrame(img);
  ASSERT_EQ(img.size(), cv::Size(1024, 512));
  // Capital letters of the simplex font at scale 1 stand about 22 pixels above the baseline.
  const int baselines[] = {100, 140, 180};
  for (int k = 0; k < 3; ++k) {
    const cv::Rect box = WhiteBox(img, baselines[k] - 30, baselines[k] + 5);
    EXPECT_NEAR(box.y + box.height, baselines[k], 2) << "line " << k;
    EXPECT_GT(box.height, 15) << "line " << k;
    EXPECT_NEAR(box.x, 10, 6) << "line " << k;
    EXPECT_LT(box.width, k == 2 ? 250 : 1100) << "line " << k;
    EXPECT_GT(box.width, k == 2 ? 150 : 900) << "line " << k;
  }
  EXPECT_EQ(WhiteBox(img, 185, 512).area(), 0);

  // A 3000-pixel wide view doubles font, thickness and line spacing.
  Probe wide({}, "view_size: [3000, 400]\n");
  wide.errorMessage = "HHH";
  cv::Mat big(400, 3000, CV_8UC3, cv::Scalar::all(0));
  wide.drawDebugFrame(big);
  ASSERT_EQ(big.size(), cv::Size(3000, 400));
  const cv::Rect box = WhiteBox(big, 60, 150);
  EXPECT_NEAR(box.y + box.height, 140, 3);
  EXPECT_GT(box.height, 38);
}

TEST(TesmoViewGeneratorCpu, ProcessOneFrameWarpsOneCamera) {
  std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  rig.pop_back();
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  cv::Mat all;
  gen.prepare(all);
  std::vector<cv::Mat> frames = Frames(rig, 9);
  cv::Mat out, expected;
  gen.processOneFrame(frames, out, 2);
  cv::remap(frames[2], expected, gen.warpMapsX16u[2], gen.warpMapsY16u[2], cv::INTER_LINEAR,
            cv::BORDER_CONSTANT, cv::Scalar());
  EXPECT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);

  gen.processOneFrame(frames, out, 3);
  EXPECT_FALSE(gen.bIsOk);

  frames.pop_back();
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  EXPECT_DEATH(gen.process(in, out),
               "Check failed: \\(size_t\\)frames.size\\(\\) == cameras.size\\(\\) ");
}

TEST(TesmoViewGeneratorCpu, CallerMistakesGiveTheErrorImage) {
  testing_util::ExpectCallerMistakesFail<Probe>([](std::vector<cv::Mat> frames) { return frames; });
}

TEST(ViewPreparation, MapsOfBothModes) {
  // A pinhole camera at the origin with the virtual camera's own intrinsics sees the view 1:1.
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 512, 0, 512, 0, 512, 256, 0, 0, 1);
  const Camera same("c", cv::Size(1024, 512), Pinhole, K, cv::Mat(), Pose3f());
  Probe virt({same}, "view_size: [1024, 512]\nvirtual_camera: { fov: 90, focal_dist: 3 }\n");
  std::vector<cv::Mat> maps, masks;
  virt.computeMaps(maps, masks);
  for (const cv::Point& p : {cv::Point(0, 0), cv::Point(700, 300), cv::Point(1023, 511)}) {
    EXPECT_NEAR(maps[0].at<cv::Vec2f>(p)[0], p.x, 1e-2);
    EXPECT_NEAR(maps[0].at<cv::Vec2f>(p)[1], p.y, 1e-2);
  }

  // Top view, rot_z 0: the roi corners shifted by the cameras' centre (3, 2) on the ground.
  Camera down = MakeDownCamera("d");
  down.poseW2C.T = -(down.poseW2C.R * cv::Vec3f(3.f, 2.f, 20.f));
  Probe top({down}, "mode: top_view\nview_size: [100, 100]\n");
  top.computeMaps(maps, masks);
  // World (-2, -3, 0) is 5 m off in x and y at 20 m depth: 100 pixels from the centre.
  EXPECT_NEAR(maps[0].at<cv::Vec2f>(0, 0)[0], 300.f, 1e-3);
  EXPECT_NEAR(maps[0].at<cv::Vec2f>(0, 0)[1], 500.f, 1e-3);
  EXPECT_EQ(cv::countNonZero(masks[0]), 100 * 100);
}

}  // namespace
}  // namespace tesmo
