// The CUDA generator (on the GPU layer's host back-end) against the CPU generator and against
// what its own steps must give.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "generator/tesmo_view.h"
#include "generator/tesmo_view_cpu.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

using testing_util::Compose;
using testing_util::MakeDownCamera;
using testing_util::MakeSurroundRig;
using testing_util::MaskedPsnr;
using testing_util::Memory;
using testing_util::RandomFrame;
using testing_util::RandomFrames;

// The CUDA generator with its state in reach of the tests, built from a node or a YAML text.
class Probe : public TesmoViewGeneratorCuda {
 public:
  using TesmoViewGeneratorCuda::TesmoViewGeneratorCuda;
  Probe(const std::vector<Camera>& cams, const std::string& yaml)
      : Probe(cams, Memory(yaml).root()) {}
  // Prepares; true when the generator is ok.
  bool prepared() {
    cv::Mat covered;
    prepare(covered);
    return bIsOk;
  }
  using TesmoViewGeneratorCuda::bIsOk;
  using TesmoViewGeneratorCuda::errorMessage;
  using TesmoViewGeneratorCuda::gpuFullMask;
  using TesmoViewGeneratorCuda::tmpRestoreImageFromLaplacePyrGpu;
};

// GPU copies of host frames, and the headers a caller hands to process().
struct GpuFrames {
  explicit GpuFrames(const std::vector<cv::Mat>& host) : images(host.size()) {
    for (size_t i = 0; i < host.size(); ++i) {
      gpu::upload(host[i], images[i]);
      views.push_back(images[i]);
    }
  }
  std::vector<gpu::Image> images;
  std::vector<cv::cuda::GpuMat> views;
};

cv::Mat Downloaded(const cv::cuda::GpuMat& image) {
  cv::Mat host;
  gpu::download(image, host);  // the default stream waits for the generator's streams
  return host;
}

int TextPixels(const cv::Mat& image) { return cv::countNonZero(image.reshape(1) == 255); }

struct SampleCase {
  std::string view;
  int numBandsBlend;
  float scaleFactor;
};

// Over the pixels both generators cover; the CPU view is resized to the requested size when the
// working size differs from it.
TEST(TesmoViewGeneratorCuda, SampleSceneMatchesTheCpuGenerator) {
  const char* root = std::getenv("TESMO_SOURCE_DIR");
  const testing_util::SampleFrames scene(root != nullptr ? root : TESMO_CUDA_TEST_SOURCE_DIR);
  ASSERT_TRUE(scene.ok()) << "the sample scene could not be read";
  // With 3 bands the working size is 704 x 904 for the requested 700 x 900.
  const SampleCase cases[] = {{"top_view", 0, 1.f}, {"top_view", 3, 1.f}, {"top_view", 0, 0.5f}};
  for (const SampleCase& c : cases) {
    const std::string what = c.view + ", num_bands_blend " + std::to_string(c.numBandsBlend) +
                             ", scale_factor " + std::to_string(c.scaleFactor);
    SCOPED_TRACE(what);
    const cv::FileNode node = testing_util::ViewNode(scene.config, c.view);
    ASSERT_TRUE(node.isMap());
    Probe cuda(scene.cameras, node);
    TesmoViewGeneratorCpu cpu(scene.cameras, node);
    TesmoViewGenerator::GenerationParams params = cuda.getParams();
    params.numBandsBlend = c.numBandsBlend;
    params.scaleFactor = c.scaleFactor;
    params.computeViewSize();
    cuda.setParams(params);
    cpu.setParams(params);
    cv::Mat covered, coveredCpu;
    cuda.prepare(covered);
    cpu.prepare(coveredCpu);
    ASSERT_TRUE(cuda.bIsOk) << cuda.errorMessage;

    const cv::Mat view = Compose(cuda, scene.frames);
    cv::Mat reference = Compose(cpu, scene.frames);
    ASSERT_EQ(view.size(), params.viewSize);
    ASSERT_EQ(view.type(), CV_8UC3);
    if (view.size() != reference.size()) {
      cv::resize(reference, reference, view.size(), 0, 0, cv::INTER_LINEAR);
      cv::resize(covered, covered, view.size(), 0, 0, cv::INTER_NEAREST);
      cv::resize(coveredCpu, coveredCpu, view.size(), 0, 0, cv::INTER_NEAREST);
    }
    covered &= coveredCpu;
    ASSERT_GT(cv::countNonZero(covered), static_cast<int>(view.total() / 4));
    const double psnr = MaskedPsnr(view, reference, covered);
    std::cout << "[   PSNR   ] " << what << ": CUDA vs CPU " << psnr << " dB\n";
    EXPECT_GE(psnr, 40.0);
  }
}

struct GainCase {
  double alpha;
  double beta;
};

// One camera that sees the whole view; its gain and offset change between frame sets without a
// new prepare. Each view must be saturate(alpha x v + beta) of the plain view v.
TEST(TesmoViewGeneratorCuda, GainAndOffsetScaleAndShiftIntensities) {
  const std::vector<Camera> cams = {MakeDownCamera("a")};
  std::vector<cv::Mat> frames = {RandomFrame(cams[0].frameSize, 5)};
  cv::GaussianBlur(frames[0], frames[0], cv::Size(5, 5), 0);
  Probe gen(cams, "mode: top_view\nview_size: [256, 192]\nnum_bands_blend: 2\n");
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  const cv::Mat plain = Compose(gen, frames);
  // About half the samples above 127, which a gain of 2 saturates.
  ASSERT_GT(cv::countNonZero(plain.reshape(1) > 127), static_cast<int>(plain.total()));

  const GainCase cases[] = {{2.0, 0.0}, {1.0, 40.0}, {0.5, -20.0}, {1.5, 10.0}};
  for (const GainCase& c : cases) {
    SCOPED_TRACE("alpha " + std::to_string(c.alpha) + ", beta " + std::to_string(c.beta));
    gen.getCameras()[0].alpha = c.alpha;
    gen.getCameras()[0].beta = c.beta;
    const cv::Mat view = Compose(gen, frames);
    cv::Mat expected;
    plain.convertTo(expected, CV_8U, c.alpha, c.beta);
    ASSERT_EQ(view.size(), expected.size());
    EXPECT_LE(cv::norm(view, expected, cv::NORM_INF), c.alpha + 0.5);
  }
}

// A coverage mask of zeros after prepare: only a view with bands is multiplied by it. Without
// bands the restoration has nothing to expand.
TEST(TesmoViewGeneratorCuda, NoBandsTakeNoRestoreOrMaskStep) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  const std::vector<cv::Mat> frames = RandomFrames(rig, 13);
  for (int bands : {0, 2}) {
    SCOPED_TRACE(bands);
    Probe gen(rig, "mode: top_view\nview_size: [160, 120]\nnum_bands_blend: " +
                       std::to_string(bands) + "\n");
    ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
    const cv::Mat view = Compose(gen, frames);
    ASSERT_GT(cv::countNonZero(view.reshape(1)), static_cast<int>(view.total()));
    gpu::setTo(gen.gpuFullMask, cv::Scalar::all(0));
    const cv::Mat masked = Compose(gen, frames);
    int restored = 0;
    for (const gpu::Image& level : gen.tmpRestoreImageFromLaplacePyrGpu) restored += !level.empty();
    if (bands == 0) {
      EXPECT_EQ(cv::norm(masked, view, cv::NORM_INF), 0.0);
      EXPECT_EQ(restored, 0);
    } else {
      EXPECT_EQ(cv::countNonZero(masked.reshape(1)), 0);
      EXPECT_EQ(restored, bands);
    }
  }
}

TEST(TesmoViewGeneratorCuda, EmptyCameraListLeavesTheOutputUntouched) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  gen.getCameras().clear();
  cv::Mat out(10, 10, CV_8UC3, cv::Scalar::all(7));
  const uchar* data = out.data;
  gen.process({}, out);
  EXPECT_EQ(out.data, data);
  EXPECT_EQ(cv::countNonZero(out.reshape(1) != 7), 0);
  EXPECT_TRUE(gen.bIsOk);
}

// A failed prepare reaches the caller; frames of two types fail the call that gets them, and the
// next calls draw the error image, into host and GPU outputs alike, until prepare succeeds.
TEST(TesmoViewGeneratorCuda, FailuresLeadToTheErrorImage) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [320, 240]\nscale_factor: 0.5\n");
  const std::vector<cv::Mat> frames = RandomFrames(rig, 17);

  TesmoViewGenerator::GenerationParams bad = gen.getParams();
  bad.numBandsBlend = 3;
  bad.viewSizeCashed = cv::Size(161, 120);
  gen.setParams(bad);
  EXPECT_THROW(gen.prepared(), cv::Exception);
  EXPECT_FALSE(gen.bIsOk);
  gen.readParams(Memory("num_bands_blend: 0\n").root());
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;

  std::vector<cv::Mat> mixed = frames;
  cv::cvtColor(frames[2], mixed[2], cv::COLOR_BGR2GRAY);
  cv::Mat untouched(240, 320, CV_8UC3, cv::Scalar::all(7));
  {
    std::vector<cv::_OutputArray> in(mixed.begin(), mixed.end());
    testing::internal::CaptureStdout();
    gen.process(in, untouched);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Caught exception: \n" + gen.errorMessage + "\n");
  }
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_NE(gen.errorMessage.find("Input frames contain inconsistent type"), std::string::npos)
      << gen.errorMessage;
  EXPECT_NE(gen.errorMessage.find("process"), std::string::npos) << gen.errorMessage;
  EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 7), 0);

  // The error image has the working size (not the requested one) and carries the text, drawn
  // over what an output of that size holds.
  const cv::Mat black = cv::Mat::zeros(120, 160, CV_8UC3);
  cv::Mat host = black.clone();
  gpu::Image gpuOut;
  gpu::upload(black, gpuOut);
  std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
  gen.process(in, host);
  gen.process(in, gpuOut);
  ASSERT_EQ(host.size(), cv::Size(160, 120));
  EXPECT_GT(TextPixels(host), 50);
  const cv::Mat fromGpu = Downloaded(gpuOut);
  ASSERT_EQ(fromGpu.type(), CV_8UC3);
  ASSERT_EQ(fromGpu.size(), host.size());
  EXPECT_EQ(cv::norm(fromGpu, host, cv::NORM_INF), 0.0);

  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  EXPECT_EQ(Compose(gen, frames).size(), cv::Size(320, 240));

  // A failure inside queued work (the host remap has no 32-bit integer kernel) of a call into a
  // GPU output belongs to that call: the next prepare is not failed by it.
  std::vector<cv::Mat> ints(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) frames[i].convertTo(ints[i], CV_32S);
  GpuFrames gpuInts(ints);
  std::vector<cv::_OutputArray> intsIn(gpuInts.views.begin(), gpuInts.views.end());
  gen.process(intsIn, gpuOut);
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  EXPECT_EQ(Compose(gen, frames).size(), cv::Size(320, 240));
}

// GPU frames and GPU outputs give what host frames and host outputs give, for the view and for
// one camera's warped frame.
TEST(TesmoViewGeneratorCuda, GpuImagesGiveTheHostResults) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(640, 400));
  Probe gen(rig, "mode: top_view\nview_size: [640, 480]\nnum_bands_blend: 3\n");
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  const std::vector<cv::Mat> frames = RandomFrames(rig, 19);
  GpuFrames gpuFrames(frames);

  const cv::Mat expected = Compose(gen, frames);
  ASSERT_EQ(expected.size(), cv::Size(640, 480));
  gpu::Image out;
  std::vector<cv::_OutputArray> in(gpuFrames.views.begin(), gpuFrames.views.end());
  gen.process(in, out);
  EXPECT_EQ(cv::norm(Downloaded(out), expected, cv::NORM_INF), 0.0);

  cv::Mat one;
  gpu::Image gpuOne;
  gen.processOneFrame(frames, one, 3);
  gen.processOneFrame(gpuFrames.views, gpuOne, 3);
  ASSERT_EQ(one.size(), cv::Size(640, 480));
  EXPECT_EQ(cv::norm(Downloaded(gpuOne), one, cv::NORM_INF), 0.0);
  EXPECT_TRUE(gen.bIsOk) << gen.errorMessage;

  // A single image is no frame set.
  testing::internal::CaptureStdout();
  gen.processOneFrame(frames[0], one, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(gen.errorMessage.find("Unknown/unsupported array type"), std::string::npos)
      << gen.errorMessage;
}

TEST(TesmoViewGeneratorCuda, ProcessKeepsThePreparedParametersUntilTheNextPrepare) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\nnum_bands_blend: 1\n");
  testing_util::ExpectProcessKeepsThePreparation(
      gen, RandomFrames(rig, 23),
      {"num_bands_blend: 3\n", "view_size: [64, 32]\nnum_bands_blend: 4\n"});
}

TEST(TesmoViewGeneratorCuda, FrameCountAndUnknownFrameKindsAreFatal) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared());
  std::vector<cv::Mat> frames = RandomFrames(rig, 29);
  cv::Mat out;
  std::vector<cv::_OutputArray> three(frames.begin(), frames.end() - 1);
  EXPECT_DEATH(gen.process(three, out),
               "Check failed: \\(size_t\\)frames.size\\(\\) == cameras.size\\(\\) ");
  std::vector<cv::_OutputArray> odd(frames.begin(), frames.end());
  std::vector<cv::Mat> nested = {frames[1]};
  odd[1] = cv::_OutputArray(nested);
  EXPECT_DEATH(gen.process(odd, out),
               "Check failed: 0 Input frames contain unknown/unsupported array type");
}

}  // namespace
}  // namespace tesmo
