// The CUDA generator (on the GPU layer's host back-end) against the CPU generator and against
// what its own steps must give.

#include "generator/tesmo_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "generator/tesmo_view_cpu.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

using testing_util::Compose;
using testing_util::MakeSurroundRig;
using testing_util::Memory;
using testing_util::RandomFrames;

// The CUDA generator with its full-view mask in reach as well.
class Probe : public testing_util::Probe<TesmoViewGeneratorCuda> {
 public:
  using testing_util::Probe<TesmoViewGeneratorCuda>::Probe;
  using TesmoViewGeneratorCuda::gpuFullMask;
};

// GPU copies of host images.
std::vector<gpu::Image> Uploaded(const std::vector<cv::Mat>& host) {
  std::vector<gpu::Image> images(host.size());
  for (size_t i = 0; i < host.size(); ++i) gpu::upload(host[i], images[i]);
  return images;
}

cv::Mat Downloaded(const cv::cuda::GpuMat& image) {
  cv::Mat host;
  gpu::download(image, host);  // the default stream waits for the generator's streams
  return host;
}

// Host and GPU frames of the sample scene give one view, close to the CPU generator's over the
// pixels both cover (the CPU view is resized to the requested size when the working size differs:
// with 3 bands, 704 x 904 for 700 x 900). So do they for one camera's warped frame;
// processOneFrame takes a vector of images only.
TEST(TesmoViewGeneratorCuda, HostAndGpuFramesMatchTheCpuGenerator) {
  const testing_util::SampleFrames scene;
  ASSERT_TRUE(scene.ok()) << "the sample scene could not be read";
  const std::vector<cv::Mat>& frames = scene.frames;
  std::vector<gpu::Image> gpuFrames = Uploaded(frames);
  const std::vector<cv::cuda::GpuMat> views(gpuFrames.begin(), gpuFrames.end());
  const cv::FileNode node = testing_util::ViewNode(scene.config, "top_view");
  for (const char* yaml : {"{}", "num_bands_blend: 3", "scale_factor: 0.5"}) {
    SCOPED_TRACE(yaml);
    Probe cuda(scene.cameras, node);
    TesmoViewGeneratorCpu cpu(scene.cameras, node);
    cuda.readParams(Memory(yaml).root());
    cpu.readParams(Memory(yaml).root());
    cv::Mat covered, coveredCpu;
    cuda.prepare(covered);
    cpu.prepare(coveredCpu);
    covered &= coveredCpu;
    const cv::Mat view = Compose(cuda, frames);
    cv::Mat reference = Compose(cpu, frames);
    ASSERT_EQ(view.size(), cv::Size(700, 900));
    ASSERT_EQ(view.type(), CV_8UC3);
    if (view.size() != reference.size()) {
      cv::resize(reference, reference, view.size(), 0, 0, cv::INTER_LINEAR);
      cv::resize(covered, covered, view.size(), 0, 0, cv::INTER_NEAREST);
    }
    ASSERT_GT(cv::countNonZero(covered), static_cast<int>(view.total() / 4));
    EXPECT_GE(testing_util::MaskedPsnr(view, reference, covered), 40.0);

    gpu::Image out, gpuOne;
    cuda.process({gpuFrames.begin(), gpuFrames.end()}, out);
    EXPECT_EQ(cv::norm(Downloaded(out), view, cv::NORM_INF), 0.0);
    cv::Mat one;
    cuda.processOneFrame(frames, one, 3);
    cuda.processOneFrame(views, gpuOne, 3);
    ASSERT_EQ(one.size(), cuda.getParams().viewSizeCashed);
    EXPECT_EQ(cv::norm(Downloaded(gpuOne), one, cv::NORM_INF), 0.0);
    testing::internal::CaptureStdout();
    cuda.processOneFrame(frames[0], one, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(cuda.errorMessage.find("Unknown/unsupported array type"), std::string::npos);
  }
}

// One camera that sees the whole view. Gain and offset change without a new prepare and give
// saturate(alpha x v + beta) of the plain view v (a blurred texture around 127, so a gain of 2
// saturates about half the samples); a coverage mask of zeros blacks out only a view with bands.
TEST(TesmoViewGeneratorCuda, GainOffsetAndCoverageMask) {
  const std::vector<Camera> cams = {testing_util::MakeDownCamera("a")};
  std::vector<cv::Mat> frames = {testing_util::RandomFrame(cams[0].frameSize, 5)};
  cv::GaussianBlur(frames[0], frames[0], cv::Size(5, 5), 0);
  const struct {
    double alpha, beta;
    int bands;
    bool bZeroMask;
  } cases[] = {{2.0, 0.0, 0, false}, {1.0, 40.0, 2, false}, {0.5, -20.0, 0, false},
               {1.0, 0.0, 0, true},  {1.0, 0.0, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.alpha) + ", " + std::to_string(c.beta) + ", bands " +
                 std::to_string(c.bands) + (c.bZeroMask ? ", zero mask" : ""));
    Probe gen(cams, "mode: top_view\nview_size: [256, 192]\nnum_bands_blend: " +
                        std::to_string(c.bands) + "\n");
    ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
    const cv::Mat plain = Compose(gen, frames);
    gen.getCameras()[0].alpha = c.alpha;
    gen.getCameras()[0].beta = c.beta;
    if (c.bZeroMask) gpu::setTo(gen.gpuFullMask, cv::Scalar::all(0));
    const bool bBlack = c.bZeroMask && c.bands > 0;
    cv::Mat expected;
    plain.convertTo(expected, CV_8U, bBlack ? 0.0 : c.alpha, bBlack ? 0.0 : c.beta);
    EXPECT_LE(cv::norm(Compose(gen, frames), expected, cv::NORM_INF), c.alpha + 0.5);
  }
}

// Host and GPU frames alike.
TEST(TesmoViewGeneratorCuda, GrayAndBgraFramesComposeAsTheirBgrForms) {
  Probe gen(MakeSurroundRig(cv::Size(320, 200)), "mode: top_view\nview_size: [160, 120]\n");
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  testing_util::ExpectGrayAndBgraFramesComposeAsBgr(gen, [](std::vector<cv::Mat> f) { return f; });
  testing_util::ExpectGrayAndBgraFramesComposeAsBgr(gen, Uploaded);
}

// Plain cv::cuda::GpuMat outputs, which the GPU layer cannot allocate: process and
// processOneFrame do not throw; an empty one stays empty and one viewing caller memory of the
// working size (all 7) gets the error image drawn over it, as a host image does: `expected`.
void ExpectPlainGpuOutputs(Probe& gen, const std::vector<cv::Mat>& frames,
                           const cv::Mat& expected) {
  for (bool bOneFrame : {false, true}) {
    SCOPED_TRACE(bOneFrame ? "processOneFrame" : "process");
    cv::Mat memory(120, 160, CV_8UC3, cv::Scalar::all(7));
    cv::cuda::GpuMat empty;
    cv::cuda::GpuMat view(memory.rows, memory.cols, memory.type(), memory.data, memory.step);
    for (cv::cuda::GpuMat* out : {&empty, &view}) {
      EXPECT_NO_THROW(bOneFrame ? gen.processOneFrame(frames, *out, 0)
                                : gen.process({frames.begin(), frames.end()}, *out));
    }
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(view.data, memory.data);
    EXPECT_EQ(cv::norm(memory, expected, cv::NORM_INF), 0.0);
  }
}

// A failed prepare throws to the caller. Frames of two depths fail the call that gets them; the
// next calls draw the error image. A failure inside queued work of a call into a GPU output (the
// host remap has no 32-bit integer kernel) does not fail the next prepare. An empty camera list
// leaves the output untouched.
TEST(TesmoViewGeneratorCuda, FailuresAndTheErrorImage) {
  const std::vector<Camera> rig = MakeSurroundRig(cv::Size(320, 200));
  Probe gen(rig, "mode: top_view\nview_size: [160, 120]\n");
  std::vector<cv::Mat> frames = RandomFrames(rig, 17);
  cv::Mat untouched(120, 160, CV_8UC3, cv::Scalar::all(7));
  ExpectPlainGpuOutputs(gen, frames, untouched);  // not prepared yet: no text
  TesmoViewGenerator::GenerationParams bad = gen.getParams();
  bad.numBandsBlend = 3;
  bad.viewSizeCashed = cv::Size(161, 120);
  gen.setParams(bad);
  try {
    gen.prepared();
    ADD_FAILURE() << "prepared";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Working size 161x120 does not follow"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(gen.bIsOk);
  bad.numBandsBlend = -1;  // refused as readParams refuses it, before anything is computed
  gen.setParams(bad);
  EXPECT_THROW(gen.prepared(), std::runtime_error);
  EXPECT_FALSE(gen.bIsOk);
  gen.readParams(Memory("num_bands_blend: 0\n").root());
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;

  std::vector<cv::Mat> mixed = frames;
  frames[2].convertTo(mixed[2], CV_16U);
  testing::internal::CaptureStdout();
  gen.process({mixed.begin(), mixed.end()}, untouched);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Caught exception: \n" + gen.errorMessage + "\n");
  EXPECT_NE(gen.errorMessage.find("(-213:The function/feature is not implemented) Input frames "
                                  "contain inconsistent type in function 'process'"),
            std::string::npos)
      << gen.errorMessage;
  EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 7), 0);
  cv::Mat host = untouched.clone();
  gen.process({frames.begin(), frames.end()}, host);
  EXPECT_GT(cv::countNonZero(host.reshape(1) == 255), 50);
  ExpectPlainGpuOutputs(gen, frames, host);

  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  std::vector<cv::Mat> ints(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) frames[i].convertTo(ints[i], CV_32S);
  std::vector<gpu::Image> gpuInts = Uploaded(ints);
  gpu::Image gpuOut;
  gen.process({gpuInts.begin(), gpuInts.end()}, gpuOut);
  ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
  testing_util::ExpectProcessKeepsThePreparation(
      gen, frames, "view_size: [64, 32]\nnum_bands_blend: 4\ninterpolation: NEAREST\n");

  gen.getCameras().clear();
  gen.process({}, untouched);
  EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 7), 0);
  EXPECT_TRUE(gen.bIsOk);
}

}  // namespace
}  // namespace tesmo
