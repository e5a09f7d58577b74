// The OpenCL generator against the CPU generator and independent computations. OpenCL runs on
// whatever device OPENCV_OPENCL_DEVICE selects (ctest sets :CPU:, PoCL on the test machines).

#include "generator/tesmo_view_opencl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/perf.h"
#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

using testing_util::ColumnMasks;
using testing_util::MakeDownCamera;
using testing_util::MaskedPsnr;
using testing_util::RandomFrames;
using testing_util::MakeSurroundRig;
using testing_util::RandomFrame;

// The OpenCL generator with its device maps and weights in reach as well.
class Probe : public testing_util::Probe<TesmoViewGeneratorOpenCL> {
 public:
  using testing_util::Probe<TesmoViewGeneratorOpenCL>::Probe;
  using TesmoViewGeneratorOpenCL::oclDstWeightPyr;
  using TesmoViewGeneratorOpenCL::oclWarpMaps;
  using TesmoViewGeneratorOpenCL::oclWeightPyrs;
};

std::vector<cv::UMat> Upload(const std::vector<cv::Mat>& frames) {
  std::vector<cv::UMat> device(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) frames[i].copyTo(device[i]);
  return device;
}

cv::Mat ProcessOcl(TesmoViewGenerator& gen, const std::vector<cv::UMat>& frames) {
  return testing_util::Compose(gen, frames);
}

cv::Mat ProcessCpu(TesmoViewGenerator& gen, const std::vector<cv::Mat>& frames) {
  return testing_util::Compose(gen, frames);
}

// Pixels of a CV_8UC3 image with any non-zero channel.
cv::Mat NonBlack(const cv::Mat& img) {
  cv::Mat gray;
  cv::transform(img, gray, cv::Matx13f(1.f, 1.f, 1.f));
  return gray != 0;
}

// Every test needs a working OpenCL device; the ones in this file wait for the device queue at
// the end so that no work outlives the test.
class TesmoViewGeneratorOpenCLTest : public testing::Test {
 protected:
  void SetUp() override {
    cv::ocl::setUseOpenCL(true);
    if (!cv::ocl::useOpenCL()) {
      GTEST_SKIP() << "No OpenCL device found (OPENCV_OPENCL_DEVICE="
                   << (std::getenv("OPENCV_OPENCL_DEVICE") ? std::getenv("OPENCV_OPENCL_DEVICE")
                                                           : "unset")
                   << "); the OpenCL generator is not tested";
    }
  }
  void TearDown() override {
    if (cv::ocl::useOpenCL()) cv::ocl::finish();
  }
};

// The bundled sample with its independently rendered top view.
struct SampleScene : testing_util::SampleFrames {
  SampleScene() {
    groundTruth = cv::imread(testing_util::sourcePath("samples/synthetic/top_view_gt.png"),
                             cv::IMREAD_COLOR);
  }
  bool ok() const { return SampleFrames::ok() && !groundTruth.empty(); }
  cv::FileNode view(const std::string& name) const { return testing_util::ViewNode(config, name); }

  cv::Mat groundTruth;
};

const SampleScene& Scene() {
  static const SampleScene scene;
  return scene;
}

struct SampleCase {
  std::string view;
  float blendBorderWidth;
  int numBandsBlend;
  double minPsnr;  // against the CPU generator over the covered pixels
};

TEST_F(TesmoViewGeneratorOpenCLTest, SampleSceneMatchesTheCpuGenerator) {
  const SampleScene& scene = Scene();
  ASSERT_TRUE(scene.ok()) << "the sample scene could not be read";
  std::vector<cv::Mat> hostFrames = scene.frames;
  std::vector<cv::UMat> deviceFrames = Upload(hostFrames);

  const std::vector<SampleCase> cases = {
      {"top_view", 0.02f, 0, 40.0},       {"top_view", 0.1f, 0, 40.0},
      {"virtual_camera", 0.02f, 0, 40.0}, {"virtual_camera", 0.1f, 0, 40.0},
      {"top_view", 0.02f, 3, 30.0},       {"top_view", 0.1f, 4, 30.0},
      {"virtual_camera", 0.1f, 3, 30.0},
  };
  for (const SampleCase& c : cases) {
    const std::string what = c.view + ", blend_border_width " + std::to_string(c.blendBorderWidth) +
                             ", num_bands_blend " + std::to_string(c.numBandsBlend);
    SCOPED_TRACE(what);
    const cv::FileNode node = scene.view(c.view);
    ASSERT_TRUE(node.isMap());
    Probe ocl(scene.cameras, node);
    TesmoViewGeneratorCpu cpu(scene.cameras, node);
    for (TesmoViewGenerator* gen : {static_cast<TesmoViewGenerator*>(&ocl),
                                    static_cast<TesmoViewGenerator*>(&cpu)}) {
      auto params = gen->getParams();
      params.blendBorderWidth = c.blendBorderWidth;
      params.numBandsBlend = c.numBandsBlend;
      params.computeViewSize();
      gen->setParams(params);
    }
    cv::Mat covered, coveredCpu;
    ocl.prepare(covered);
    cpu.prepare(coveredCpu);
    ASSERT_TRUE(ocl.bIsOk) << ocl.errorMessage;
    ASSERT_EQ(cv::norm(covered, coveredCpu, cv::NORM_INF), 0.0);

    const cv::Mat view = ProcessOcl(ocl, deviceFrames);
    const cv::Mat reference = ProcessCpu(cpu, hostFrames);
    ASSERT_EQ(view.size(), ocl.getParams().viewSizeCashed);
    ASSERT_EQ(view.type(), CV_8UC3);
    ASSERT_EQ(reference.size(), view.size());
    ASSERT_GT(cv::countNonZero(covered), static_cast<int>(view.total() / 2));

    // Multi-band blending has no coverage mask: its lowest levels reach a few pixels past the
    // edge of the cameras' sight, so the comparison keeps away from that edge.
    cv::Mat inner = covered;
    if (c.numBandsBlend > 0) {
      const int reach = 2 << c.numBandsBlend;
      cv::erode(covered, inner, cv::getStructuringElement(cv::MORPH_RECT, {reach, reach}));
    }
    const double psnr = MaskedPsnr(view, reference, inner);
    std::cout << "[   PSNR   ] " << what << ": OpenCL vs CPU " << psnr << " dB\n";
    EXPECT_GE(psnr, c.minPsnr);
    if (c.view == "top_view") {
      // Against the independently rendered ground truth (at the configured size).
      cv::Mat truth;
      cv::resize(scene.groundTruth, truth, view.size(), 0, 0, cv::INTER_AREA);
      const double psnrTruth = MaskedPsnr(view, truth, inner);
      std::cout << "[   PSNR   ] " << what << ": OpenCL vs ground truth " << psnrTruth << " dB\n";
      EXPECT_GE(psnrTruth, 30.0);
    }
    if (c.numBandsBlend == 0) {
      // Outside the cameras' sight the view is black, not the result of 0 / 0.
      EXPECT_EQ(cv::countNonZero(NonBlack(view) & (covered == 0)), 0);
    } else {
      // Nothing of the uncovered pixels darkens the covered ones through the restoration.
      const int blackOcl = cv::countNonZero(covered & (NonBlack(view) == 0));
      const int blackCpu = cv::countNonZero(covered & (NonBlack(reference) == 0));
      EXPECT_LE(blackOcl, blackCpu + cv::countNonZero(covered) / 1000);
    }
  }
  std::ostringstream table;
  perf::ReportPerfStat(table);
  for (const char* label :
       {"tvg_remap", "tvg_create_pyr", "tvg_create_merge", "tvg_restore", "tvg_copy_to_dst_8u"}) {
    EXPECT_NE(table.str().find(label), std::string::npos) << label;
  }
}

// One camera that sees the whole view: every weight is 1 where it is not 0, so the merged pyramid
// is the frame's own and restoring it gives back the remapped frame, whatever the band count.
TEST_F(TesmoViewGeneratorOpenCLTest, PyramidOfOneCameraRestoresTheRemappedFrame) {
  const std::vector<Camera> cams = {MakeDownCamera("a")};
  std::vector<cv::Mat> host = {RandomFrame(cams[0].frameSize, 3)};
  cv::GaussianBlur(host[0], host[0], cv::Size(3, 3), 0);
  std::vector<cv::UMat> device = Upload(host);
  for (int bands : {0, 2, 4}) {
    SCOPED_TRACE(bands);
    Probe gen(cams, "mode: top_view\nview_size: [320, 256]\nblend_border_width: 0.2\n"
                    "num_bands_blend: " + std::to_string(bands) + "\n");
    cv::Mat covered;
    gen.prepare(covered);
    ASSERT_TRUE(gen.bIsOk) << gen.errorMessage;
    ASSERT_EQ(cv::countNonZero(covered), 320 * 256);
    ASSERT_EQ(gen.oclWeightPyrs[0].size(), static_cast<size_t>(bands + 1));
    const cv::Mat view = ProcessOcl(gen, device);

    cv::Mat map, expected;
    gen.oclWarpMaps[0].copyTo(map);
    cv::remap(host[0], expected, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    EXPECT_GE(cv::PSNR(view, expected), 45.0);
    EXPECT_LE(cv::norm(view, expected, cv::NORM_INF), 2.0);
  }
}

// Two cameras that both see everything, seam at column 160 of a 320-pixel view, uniform frames
// of different colours.
TEST_F(TesmoViewGeneratorOpenCLTest, MultiBandBlendingSoftensAHardSeam) {
  const std::vector<Camera> cams = {MakeDownCamera("a"), MakeDownCamera("b")};
  std::vector<cv::Mat> host = {cv::Mat(800, 800, CV_8UC3, cv::Scalar(40, 80, 120)),
                               cv::Mat(800, 800, CV_8UC3, cv::Scalar(200, 160, 120))};
  std::vector<cv::UMat> device = Upload(host);
  auto seamProfile = [&](int bands) {
    Probe gen(cams, "mode: top_view\nview_size: [320, 256]\nnum_bands_blend: " +
                        std::to_string(bands) + "\n");
    gen.maskGen = std::make_shared<ColumnMasks>(std::vector<int>{0, 160},
                                                std::vector<int>{160, 320});
    EXPECT_TRUE(gen.prepared()) << gen.errorMessage;
    const cv::Mat view = ProcessOcl(gen, device);
    cv::Mat blue;
    cv::extractChannel(view.row(128), blue, 0);
    return blue;
  };

  // Hard seams without bands: a step from one camera's colour to the other's.
  const cv::Mat hard = seamProfile(0);
  EXPECT_EQ(hard.at<uchar>(0, 159), 40);
  EXPECT_EQ(hard.at<uchar>(0, 160), 200);
  EXPECT_EQ(cv::countNonZero(hard.colRange(0, 160) != 40), 0);
  EXPECT_EQ(cv::countNonZero(hard.colRange(160, 320) != 200), 0);

  // Four bands: the low frequencies cross the seam over tens of pixels, rising steadily; far
  // from it each side keeps its camera's colour.
  const cv::Mat soft = seamProfile(4);
  EXPECT_NEAR(soft.at<uchar>(0, 2), 40, 1);
  EXPECT_NEAR(soft.at<uchar>(0, 317), 200, 1);
  EXPECT_GT(soft.at<uchar>(0, 150), 45);
  EXPECT_LT(soft.at<uchar>(0, 170), 195);
  int mid = 0;
  for (int x = 1; x < 320; ++x) {
    EXPECT_GE(soft.at<uchar>(0, x) + 1, soft.at<uchar>(0, x - 1)) << "column " << x;
    if (soft.at<uchar>(0, x) > 60 && soft.at<uchar>(0, x) < 180) ++mid;
  }
  EXPECT_GT(mid, 8);
}

TEST_F(TesmoViewGeneratorOpenCLTest, ErrorImageOnFailureAndRecovery) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  const std::vector<cv::Mat> host = RandomFrames(rig, 11);
  std::vector<cv::UMat> device = Upload(host);

  // Not prepared yet: the error image (no text yet) at the working size.
  cv::Mat out = ProcessOcl(gen, device);
  EXPECT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_EQ(out.type(), CV_8UC3);

  // A working size that four halvings cannot reach: preparation fails and is reported.
  const Probe::GenerationParams bad = testing_util::ExpectPrepareFailsOnOddPyramid(gen);
  cv::Mat covered;
  out = ProcessOcl(gen, device);
  ASSERT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_GT(cv::countNonZero(out.reshape(1) == 255), 500);

  // Repaired parameters: the view again.
  Probe::GenerationParams good = bad;
  good.viewSize = cv::Size(1000, 700);
  good.viewSizeCashed = cv::Size(1000, 704);
  gen.setParams(good);
  gen.prepare(covered);
  ASSERT_TRUE(gen.bIsOk) << gen.errorMessage;
  const cv::Mat view = ProcessOcl(gen, device);
  EXPECT_EQ(view.size(), cv::Size(1000, 704));
  EXPECT_GT(cv::countNonZero(NonBlack(view) & covered), cv::countNonZero(covered) * 9 / 10);

  // A failure inside process: a 16-bit frame. That call leaves the output alone, the next ones
  // draw the error image naming the frame, until prepare succeeds again.
  std::vector<cv::UMat> wide = device;
  device[1].convertTo(wide[1], CV_16U);
  cv::Mat untouched(704, 1000, CV_8UC3, cv::Scalar::all(7));
  {
    std::vector<cv::_OutputArray> in(wide.begin(), wide.end());
    testing::internal::CaptureStdout();
    gen.process(in, untouched);
    testing::internal::GetCapturedStdout();
  }
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 7), 0);
  EXPECT_NE(gen.errorMessage.find("Frame of camera 1 has type CV_16UC3; 8-bit frames with 1, 3 "
                                  "or 4 channels expected"),
            std::string::npos)
      << gen.errorMessage;
  out = ProcessOcl(gen, device);
  EXPECT_GT(cv::countNonZero(out.reshape(1) == 255), 500);
  gen.prepare(covered);
  ASSERT_TRUE(gen.bIsOk);
  EXPECT_GE(cv::PSNR(ProcessOcl(gen, device), view), 60.0);
  testing_util::ExpectProcessKeepsThePreparation(
      gen, device, "view_size: [40, 24]\nnum_bands_blend: 4\ninterpolation: AREA\n");
}

TEST_F(TesmoViewGeneratorOpenCLTest, OutputHasTheWorkingSize) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [300, 200]\nscale_factor: 0.5\nnum_bands_blend: 2\n");
  ASSERT_EQ(gen.getParams().viewSizeCashed, cv::Size(152, 100));
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  const std::vector<cv::Mat> host = RandomFrames(rig, 21);
  std::vector<cv::UMat> device = Upload(host);
  EXPECT_EQ(ProcessOcl(gen, device).size(), cv::Size(152, 100));

  // A device output is written as well.
  std::vector<cv::_OutputArray> in(device.begin(), device.end());
  cv::UMat deviceOut;
  gen.process(in, deviceOut);
  EXPECT_EQ(deviceOut.size(), cv::Size(152, 100));
  EXPECT_EQ(deviceOut.type(), CV_8UC3);
}

TEST_F(TesmoViewGeneratorOpenCLTest, ProcessOneFrameWarpsOneCamera) {
  std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  rig.pop_back();
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared());
  const std::vector<cv::Mat> host = RandomFrames(rig, 31);
  std::vector<cv::UMat> device = Upload(host);

  cv::Mat map, expected, out;
  gen.oclWarpMaps[2].copyTo(map);
  cv::remap(host[2], expected, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  gen.processOneFrame(device, out, 2);
  EXPECT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_EQ(out.type(), CV_8UC3);
  EXPECT_LE(cv::norm(out, expected, cv::NORM_INF), 1.0);

  // Into a device image too, and from host frames.
  cv::UMat deviceOut;
  gen.processOneFrame(device, deviceOut, 2);
  EXPECT_LE(cv::norm(deviceOut.getMat(cv::ACCESS_READ), expected, cv::NORM_INF), 1.0);
  gen.processOneFrame(host, out, 2);
  EXPECT_LE(cv::norm(out, expected, cv::NORM_INF), 1.0);

  // An index without a camera is a caught failure.
  testing::internal::CaptureStdout();
  gen.processOneFrame(device, out, 3);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(gen.bIsOk);
}

TEST_F(TesmoViewGeneratorOpenCLTest, GrayAndBgraFramesComposeAsTheirBgrForms) {
  Probe gen(MakeSurroundRig(cv::Size(320, 200)), "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  testing_util::ExpectGrayAndBgraFramesComposeAsBgr(gen, Upload);
}

TEST_F(TesmoViewGeneratorOpenCLTest, CallerMistakesGiveTheErrorImage) {
  testing_util::ExpectCallerMistakesFail<Probe>(Upload);
}

TEST_F(TesmoViewGeneratorOpenCLTest, FrameCountAndHostFramesAreFatal) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared());
  const std::vector<cv::Mat> host = RandomFrames(rig, 41);
  std::vector<cv::UMat> device = Upload(host);
  cv::Mat out;

  std::vector<cv::_OutputArray> three(device.begin(), device.end() - 1);
  EXPECT_DEATH(gen.process(three, out),
               "Check failed: \\(size_t\\)frames.size\\(\\) == cameras.size\\(\\) ");
  std::vector<cv::_OutputArray> mixed(device.begin(), device.end());
  mixed[2] = cv::_OutputArray(host[2]);
  EXPECT_DEATH(gen.process(mixed, out), "Check failed: frames\\[i\\].isUMat\\(\\) ");
}

}  // namespace
}  // namespace tesmo
