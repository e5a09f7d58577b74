#pragma once

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"
#include "generator/tesmo_view.h"
#include "generator/utils.h"
#include "streamer/frame_streams.h"
#include "tests/generator/synthetic_scene.h"
#include "tests/source_path.h"
#include "tests/temp_dir.h"
#include "tests/yaml.h"

namespace tesmo {
namespace testing_util {

// A temporary directory for generator tests.
class GenTempDir : public TempDir {
 public:
  GenTempDir() : TempDir("tesmo-gen") {}
};

// Four fisheye cameras on a 4.5 x 1.9 m vehicle, 1 m high, tilted 40 degrees down, named so that
// the sorted order is back, front, left, right.
inline std::vector<Camera> MakeSurroundRig(cv::Size frameSize) {
  const float f = 0.32f * frameSize.width;
  const cv::Mat K = (cv::Mat_<double>(3, 3) << f, 0, frameSize.width / 2.0, 0, f,
                     frameSize.height / 2.0, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.02, -0.005, 0.001, 0.0);
  const float tilt = 40.f * static_cast<float>(CV_PI) / 180.f;
  const float pi = static_cast<float>(CV_PI);
  std::vector<Camera> cams;
  cams.emplace_back("back", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(-2.25f, 0.f, 1.f), pi, tilt));
  cams.emplace_back("front", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(2.25f, 0.f, 1.f), 0.f, tilt));
  cams.emplace_back("left", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(0.f, 0.95f, 1.f), pi / 2, tilt));
  cams.emplace_back("right", frameSize, Fisheye, K, D,
                    LookingPose(cv::Vec3f(0.f, -0.95f, 1.f), -pi / 2, tilt));
  return cams;
}

// A pinhole camera high above the origin looking straight down; it sees the whole default top
// view (a 10 x 10 m rectangle) with room to spare.
inline Camera MakeDownCamera(const std::string& name) {
  const cv::Size frame(800, 800);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 400, 0, 400, 0, 400, 400, 0, 0, 1);
  const cv::Mat D = cv::Mat::zeros(1, 5, CV_64F);
  const cv::Matx33f R(1, 0, 0, 0, -1, 0, 0, 0, -1);
  return Camera(name, frame, Pinhole, K, D, Pose3f(R, -(R * cv::Vec3f(0.f, 0.f, 20.f))));
}

// A frame with a deterministic random texture.
inline cv::Mat RandomFrame(cv::Size size, uint64_t seed) {
  cv::Mat frame(size, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
  return frame;
}

// The view of a configuration's "tesmo_gen" list whose "name" is `name`; an empty node if none.
inline cv::FileNode ViewNode(const cv::FileStorage& config, const std::string& name) {
  for (const cv::FileNode& v : config["tesmo_gen"]) {
    if (v["name"].string() == name) return v;
  }
  return cv::FileNode();
}

// The bundled sample (samples/synthetic) as the demo program reads it, from the source tree's
// root, which becomes the working directory (the configuration's image paths start there): its
// configuration, its cameras, its frame sources and one frame of each. problem() says why the
// sample is of no use (empty when it is): the configuration could not be read, or the sources
// and frames do not fit the cameras one by one.
struct SampleFrames {
  SampleFrames() {
    if (chdir(sourcePath().c_str()) != 0) return;
    config.open("samples/synthetic/config.yml", cv::FileStorage::READ);
    if (!config.isOpened()) return;
    readCameras(config, /*ReadExtrinsics=*/true, cameras);
    streams = std::make_unique<FrameStreams>(config);
    streams->readFrames(&frames, /*bAllowScale=*/true);
  }
  std::string problem() const {
    if (!config.isOpened()) return "Can't open the sample's configuration";
    if (cameras.empty() || frames.size() != cameras.size()) {
      return "Frame sources and cameras differ in number";
    }
    for (size_t i = 0; i < cameras.size(); ++i) {
      const std::string& source = (*streams)[static_cast<int>(i)].name;
      if (source != cameras[i].name || frames[i].size() != cameras[i].frameSize ||
          frames[i].type() != CV_8UC3) {
        return "Source " + source + " does not fit camera " + cameras[i].name;
      }
    }
    return "";
  }
  bool ok() const { return problem().empty(); }

  cv::FileStorage config;
  std::vector<Camera> cameras;
  std::unique_ptr<FrameStreams> streams;
  std::vector<cv::Mat> frames;
};

// Frames of deterministic random texture, one per camera in its frame size; camera i gets the
// seed `seed + i`.
inline std::vector<cv::Mat> RandomFrames(const std::vector<Camera>& cams, uint64_t seed) {
  std::vector<cv::Mat> frames;
  for (size_t i = 0; i < cams.size(); ++i) {
    frames.push_back(RandomFrame(cams[i].frameSize, seed + i));
  }
  return frames;
}

// A view generator of class `Generator` (the CPU, OpenCL or CUDA one) with the state that the
// base class keeps in reach of the tests, built from cameras and a parameter node or the YAML
// text of one. A test that reaches a variant's own state names it in a class derived from this.
template <class Generator>
class Probe : public Generator {
 public:
  using Generator::Generator;
  Probe(const std::vector<Camera>& cams, const std::string& yaml)
      : Generator(cams, Memory(yaml).root()) {}

  // Prepares; true when the generator is ok.
  bool prepared() {
    cv::Mat covered;
    this->prepare(covered);
    return this->bIsOk;
  }

  using Generator::bIsOk;
  using Generator::camerasROI;
  using Generator::drawDebugFrame;
  using Generator::errorMessage;
  using Generator::maskGen;
};

// Seams given by the test: camera i keeps the columns [starts[i], ends[i]) of its mask.
class ColumnMasks : public MasksGenerator {
 public:
  ColumnMasks(std::vector<int> starts, std::vector<int> ends) : starts_(starts), ends_(ends) {}
  bool genMasks(const TesmoViewGenerator&, const std::vector<cv::Mat>& masks) override {
    for (size_t i = 0; i < masks.size(); ++i) {
      cv::Mat m = masks[i];
      m.colRange(0, starts_[i]).setTo(0);
      m.colRange(ends_[i], m.cols).setTo(0);
    }
    return true;
  }

 private:
  std::vector<int> starts_, ends_;
};

// The view `gen` composes from `frames` (host or device images; the vector holds headers only).
template <class Image>
cv::Mat Compose(TesmoViewGenerator& gen, std::vector<Image> frames) {
  std::vector<cv::_OutputArray> inputs(frames.begin(), frames.end());
  cv::Mat out;
  gen.process(inputs, out);
  return out;
}

// Per camera, its weight (0..255) at every view pixel, read from the view composed of a white
// frame of that camera and black frames of the others (8-bit weights). `frames` gives the sizes.
inline std::vector<cv::Mat> CameraWeights(TesmoViewGenerator& gen,
                                          const std::vector<cv::Mat>& frames) {
  std::vector<cv::Mat> weights;
  for (size_t k = 0; k < frames.size(); ++k) {
    std::vector<cv::Mat> probe;
    for (size_t i = 0; i < frames.size(); ++i)
      probe.emplace_back(frames[i].size(), CV_8UC3, cv::Scalar::all(i == k ? 255 : 0));
    cv::Mat w;
    cv::extractChannel(Compose(gen, probe), w, 0);
    weights.push_back(w);
  }
  return weights;
}

// Sets a working size of 1001 x 704 with 3 blending bands, which the view size does not give and
// four halvings cannot reach, and expects prepare to refuse it: not ok, the refusal kept and
// printed, the parameters back to the ones set before. The pyramid step itself refuses such a
// size. `gen` is a Probe. Returns the parameters set.
template <class Generator>
TesmoViewGenerator::GenerationParams ExpectPrepareFailsOnOddPyramid(Generator& gen) {
  const TesmoViewGenerator::GenerationParams before = gen.getParams();
  TesmoViewGenerator::GenerationParams bad = before;
  bad.numBandsBlend = 3;
  bad.viewSizeCashed = cv::Size(1001, 704);
  gen.setParams(bad);
  cv::Mat covered;
  ::testing::internal::CaptureStdout();
  gen.prepare(covered);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(gen.bIsOk);
  EXPECT_NE(gen.errorMessage.find("Working size 1001x704 does not follow from"), std::string::npos)
      << gen.errorMessage;
  EXPECT_EQ(printed, "Caught exception: \n" + gen.errorMessage + "\n");
  EXPECT_EQ(gen.getParams().viewSizeCashed, before.viewSizeCashed);

  gen.setParams(bad);
  std::vector<std::vector<cv::Mat>> pyrs;
  std::vector<cv::Mat> sums;
  try {
    gen.preparePyramids({cv::Mat(704, 1001, CV_32F, cv::Scalar(1))}, &pyrs, &sums);
    ADD_FAILURE() << "odd pyramid built";
  } catch (const cv::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "weightPyr1c[bi].cols / 2 != 0 && weightPyr1c[bi].cols % 2 == 0"),
              std::string::npos)
        << e.what();
  }
  gen.setParams(before);
  return bad;
}

// Prepares `gen` and composes `frames`; then reads the YAML text `change` with readParams and
// composes again without preparing: the view keeps the prepared size and pixels (processOneFrame
// too). The next prepare takes the new parameters.
template <class Image>
void ExpectProcessKeepsThePreparation(TesmoViewGenerator& gen, const std::vector<Image>& frames,
                                      const std::string& change) {
  cv::Mat covered;
  gen.prepare(covered);
  const cv::Mat expected = Compose(gen, frames);
  ASSERT_FALSE(expected.empty());
  gen.readParams(Memory(change).root());
  const cv::Mat out = Compose(gen, frames);
  ASSERT_EQ(out.size(), expected.size());
  EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
  cv::Mat one;
  gen.processOneFrame(frames, one, 0);
  EXPECT_EQ(one.size(), expected.size());
  gen.prepare(covered);
  EXPECT_EQ(Compose(gen, frames).size(), gen.getParams().viewSizeCashed);
}

// Mistakes of a library caller, each a caught failure of a generator prepared for a 160 x 120 top
// view of the surround rig: a record that readParams refuses, set with setParams, fails prepare;
// cameras added or removed since prepare fail process and processOneFrame. The next call draws
// the error image on black, although the new output's bytes were just another image's. `upload`
// makes host frames into the frames `Generator` (built from cameras and yaml) takes.
template <class Generator, class Upload>
void ExpectCallerMistakesFail(Upload upload) {
  using Params = TesmoViewGenerator::GenerationParams;
  const struct {
    void (*edit)(Params&);  // set with setParams after prepare, or none
    int cameras;            // cameras then added (copies of camera 0) or, below 0, removed
    const char* message;
  } rows[] = {
      {[](Params& p) { p.numBandsBlend = -1; }, 0,
       "Key \"num_bands_blend\" must be an integer in 0..30, got -1"},
      {[](Params& p) { p.blendBorderWidth = NAN; }, 0,
       "Key \"blend_border_width\" must be a finite number, got nan"},
      {nullptr, 1, "The cameras changed since prepare: 4 prepared, 5 now; prepare again"},
      {nullptr, -1, "The cameras changed since prepare: 4 prepared, 3 now"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    Generator gen(MakeSurroundRig(cv::Size(320, 200)), "mode: top_view\nview_size: [160, 120]\n");
    cv::Mat covered;
    gen.prepare(covered);
    ASSERT_TRUE(gen.bIsOk) << gen.errorMessage;
    if (row.edit != nullptr) {
      Params p = gen.getParams();
      row.edit(p);
      gen.setParams(p);
    }
    std::vector<Camera>& cams = gen.getCameras();
    for (int k = 0; k < row.cameras; ++k) cams.push_back(cams[0]);
    for (int k = 0; k > row.cameras; --k) cams.pop_back();
    auto frames = upload(RandomFrames(cams, 7));
    std::vector<cv::_OutputArray> in(frames.begin(), frames.end());
    cv::Mat out;
    if (row.edit != nullptr) gen.prepare(covered);
    if (row.cameras > 0) gen.process(in, out);
    if (row.cameras < 0) gen.processOneFrame(frames, out, 0);
    EXPECT_FALSE(gen.bIsOk);
    EXPECT_NE(gen.errorMessage.find(row.message), std::string::npos) << gen.errorMessage;

    { cv::Mat freed(120, 160, CV_8UC3, cv::Scalar::all(0xAB)); }
    const cv::Mat image = Compose(gen, frames);
    const int text = cv::countNonZero(image.reshape(1) == 255);
    EXPECT_GT(text, 50);
    EXPECT_EQ(cv::countNonZero(image.reshape(1) == 0), 160 * 120 * 3 - text);
  }
}

// Gray and BGRA frames, alone or mixed with BGR ones, compose as their BGR forms (within 1 grey
// level), and every call leaves the generator ok, so BGR frames after them compose as before;
// processOneFrame warps such a frame in its own type. `gen` (a Probe) is prepared for four
// cameras; `upload` makes host frames into the frames it takes.
template <class Generator, class Upload>
void ExpectGrayAndBgraFramesComposeAsBgr(Generator& gen, Upload upload) {
  const std::vector<cv::Mat> bgr = RandomFrames(gen.getCameras(), 51);
  const cv::Mat bgrView = Compose(gen, upload(bgr));
  const std::vector<int> rows[] = {{1, 1, 1, 1}, {4, 4, 4, 4}, {1, 3, 4, 1}};
  for (const std::vector<int>& channels : rows) {
    SCOPED_TRACE(::testing::PrintToString(channels));
    std::vector<cv::Mat> frames(bgr.size()), asBgr(bgr.size());
    for (size_t i = 0; i < bgr.size(); ++i) {
      if (channels[i] == 1) {
        cv::cvtColor(bgr[i], frames[i], cv::COLOR_BGR2GRAY);
        cv::cvtColor(frames[i], asBgr[i], cv::COLOR_GRAY2BGR);
        continue;
      }
      asBgr[i] = bgr[i];
      if (channels[i] == 4) {
        cv::Mat alpha(bgr[i].size(), CV_8U);
        cv::randu(alpha, 0, 256);  // any alpha: it is dropped
        cv::cvtColor(bgr[i], frames[i], cv::COLOR_BGR2BGRA);
        cv::insertChannel(alpha, frames[i], 3);
      } else {
        frames[i] = bgr[i];
      }
    }
    const cv::Mat view = Compose(gen, upload(frames));
    ASSERT_TRUE(gen.bIsOk) << gen.errorMessage;
    EXPECT_LE(cv::norm(view, Compose(gen, upload(asBgr)), cv::NORM_INF), 1.0);
    cv::Mat one;
    gen.processOneFrame(frames, one, 0);
    EXPECT_EQ(one.type(), frames[0].type());
  }
  EXPECT_LE(cv::norm(Compose(gen, upload(bgr)), bgrView, cv::NORM_INF), 1.0);
}

// PSNR (dB) of the CV_8UC3 images a and b over the non-zero pixels of `mask`.
inline double MaskedPsnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  diff.convertTo(diff, CV_64F);
  diff = diff.mul(diff);
  diff.setTo(0, mask == 0);
  const cv::Scalar sum = cv::sum(diff);
  const double mse = (sum[0] + sum[1] + sum[2]) / (3.0 * std::max(1, cv::countNonZero(mask)));
  return 10.0 * std::log10(255.0 * 255.0 / std::max(mse, 1e-12));
}

}  // namespace testing_util
}  // namespace tesmo
