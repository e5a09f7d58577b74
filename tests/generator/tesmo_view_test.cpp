// The generation parameters that every view generator reads, checks and writes.

#include "generator/tesmo_view.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "generator/tesmo_view_cpu.h"
#include "tests/generator/generator_test_util.h"
#include "tests/thrown_text.h"

namespace tesmo {
namespace {

using Params = TesmoViewGenerator::GenerationParams;
using testing_util::Memory;

Params Read(const std::string& yaml) {
  cv::FileStorage fs = Memory(yaml);
  TesmoViewGeneratorCpu gen({}, fs.root());
  return gen.getParams();
}

// The base class alone, to reach its constructor from a parameter file.
class FileGenerator : public TesmoViewGenerator {
 public:
  using TesmoViewGenerator::TesmoViewGenerator;
  void prepare(cv::Mat&) override {}
  void process(const std::vector<cv::_OutputArray>&, const cv::_OutputArray&) override {}
  void processOneFrame(const cv::_InputArray&, const cv::_OutputArray&, int) override {}
};

// The text of the std::runtime_error with which gen.readParams refuses node; empty when it takes
// node.
std::string Refusal(TesmoViewGenerator& gen, const cv::FileNode& node) {
  return testing_util::ThrownText([&] { gen.readParams(node); });
}

std::string Written(const TesmoViewGenerator& gen) {
  cv::FileStorage fs(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  gen.writeParams(fs);
  return fs.releaseAndGetString();
}

TEST(GenerationParams, WorkingSizeRule) {
  EXPECT_EQ(Read("view_size: [1000, 700]\nnum_bands_blend: 3\n").viewSizeCashed,
            cv::Size(1000, 704));
  EXPECT_EQ(Read("scale_factor: 0.5\n").viewSizeCashed, cv::Size(512, 512));
  EXPECT_EQ(Read("view_size: [1001, 333]\nscale_factor: 0.5\n").viewSizeCashed, cv::Size(501, 167));
  // The requested size stays as read; only the working size is rounded.
  EXPECT_EQ(Read("view_size: [1000, 700]\nnum_bands_blend: 3\n").viewSize, cv::Size(1000, 700));
}

TEST(GenerationParams, DefaultsAndIgnoredValues) {
  const Params p = Read("{}");
  EXPECT_EQ(p.mode, TesmoViewGenerator::VirtualCamera);
  EXPECT_EQ(p.viewSizeCashed, cv::Size(1024, 1024));
  EXPECT_EQ(p.interpolation, 1);
  EXPECT_FLOAT_EQ(p.blendBorderWidth, 0.02f);
  EXPECT_FLOAT_EQ(p.virtualCamera.fov, 2.0943952f);
  EXPECT_FLOAT_EQ(p.virtualCamera.focalDist, 10000.f);
  EXPECT_EQ(p.topView.roi.r00, cv::Vec3f(-5, -5, 0));
  EXPECT_EQ(p.topView.roi.r11, cv::Vec3f(5, 5, 0));

  // A band count out of range and an unknown interpolation name are reported and ignored (wrong
  // forms are refused: RefusedValuesKeepThePreviousParameters).
  testing::internal::CaptureStdout();
  EXPECT_EQ(Read("num_bands_blend: -2\n").numBandsBlend, 0);
  EXPECT_EQ(Read("interpolation: linear\n").interpolation, 1);
  // The non-fatal check takes both and prints nothing.
  for (const char* yaml : {"num_bands_blend: -2\n", "interpolation: linear\n", "[1, 2]"}) {
    EXPECT_TRUE(TesmoViewGenerator::checkParams(Memory(yaml).root(), nullptr)) << yaml;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Unsupported num_bands_blend: -2\nUnsuported interpolation: linear\n");
  EXPECT_EQ(Read("interpolation: LANCZOS4\n").interpolation, 4);
}

TEST(GenerationParams, AnglesAndRoi) {
  const Params p = Read(
      "mode: top_view\ntop_view: { roi: [-10, 4, 10, -4], rot_z: 90 }\n"
      "virtual_camera: { fov: 90, rot_x: -30.5, rot_y: 10, rot_z: 0, focal_dist: 7, "
      "def_camera_ind: 2 }\ndistortion: { pow: 2, force: 0.5 }\n");
  EXPECT_EQ(p.mode, TesmoViewGenerator::TopView);
  EXPECT_EQ(p.topView.roi.r00, cv::Vec3f(-10, -4, 0));
  EXPECT_EQ(p.topView.roi.r01, cv::Vec3f(-10, 4, 0));
  EXPECT_EQ(p.topView.roi.r10, cv::Vec3f(10, -4, 0));
  EXPECT_EQ(p.topView.roi.r11, cv::Vec3f(10, 4, 0));
  EXPECT_EQ(p.virtualCamera.fov, 1.5707964f);
  EXPECT_EQ(p.topView.rotZ, 1.5707964f);
  EXPECT_EQ(p.virtualCamera.rotX, static_cast<float>(3.141592653589793 * (-30.5f / 180.0f)));
  EXPECT_EQ(p.virtualCamera.defCameraInd, 2);
  EXPECT_EQ(p.virtualCamera.focalDist, 7.f);
  EXPECT_EQ(p.distortion.pow, 2);
  EXPECT_EQ(p.distortion.force, 0.5f);
}

TEST(GenerationParams, WriteThenReadRoundTrip) {
  cv::FileStorage fs = Memory(
      "mode: top_view\ninterpolation: CUBIC\nview_size: [1000, 700]\nnum_bands_blend: 3\n"
      "blend_border_width: 0.1\nscale_factor: 0.75\ndistortion: { pow: 3, force: 0.25 }\n"
      "top_view: { roi: [-10, 4, 10, -4], rot_z: 33.3 }\n"
      "virtual_camera: { fov: 90, rot_x: 1, rot_y: -2, rot_z: 3.5, focal_dist: 5000, "
      "def_camera_ind: 1 }\n");
  TesmoViewGeneratorCpu gen({}, fs.root());
  const std::string text = Written(gen);

  cv::FileStorage back(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  // Keys in the documented order, angles in degrees.
  std::vector<std::string> keys;
  for (const cv::FileNode& n : back.root()) keys.push_back(n.name());
  EXPECT_EQ(keys, (std::vector<std::string>{"mode", "interpolation", "view_size", "num_bands_blend",
                                            "blend_border_width", "distortion", "scale_factor",
                                            "virtual_camera", "top_view"}));
  EXPECT_NEAR(static_cast<double>(back["virtual_camera"]["fov"]), 90.0000025, 1e-8);
  std::vector<float> roi;
  back["top_view"]["roi"] >> roi;
  EXPECT_EQ(roi, (std::vector<float>{-10, 4, 10, -4}));

  TesmoViewGeneratorCpu again({}, back.root());
  const Params& a = gen.getParams();
  const Params& b = again.getParams();
  EXPECT_EQ(b.mode, a.mode);
  EXPECT_EQ(b.interpolation, 2);
  EXPECT_EQ(b.viewSize, a.viewSize);
  EXPECT_EQ(b.viewSizeCashed, cv::Size(752, 528));
  EXPECT_EQ(b.numBandsBlend, 3);
  EXPECT_EQ(b.blendBorderWidth, a.blendBorderWidth);
  EXPECT_EQ(b.scaleFactor, a.scaleFactor);
  EXPECT_EQ(b.distortion.pow, 3);
  EXPECT_EQ(b.distortion.force, a.distortion.force);
  EXPECT_EQ(b.topView.roi.r00, a.topView.roi.r00);
  EXPECT_EQ(b.topView.roi.r11, a.topView.roi.r11);
  EXPECT_FLOAT_EQ(b.topView.rotZ, a.topView.rotZ);
  EXPECT_FLOAT_EQ(b.virtualCamera.fov, a.virtualCamera.fov);
  EXPECT_FLOAT_EQ(b.virtualCamera.rotX, a.virtualCamera.rotX);
  EXPECT_FLOAT_EQ(b.virtualCamera.rotY, a.virtualCamera.rotY);
  EXPECT_FLOAT_EQ(b.virtualCamera.rotZ, a.virtualCamera.rotZ);
  EXPECT_EQ(b.virtualCamera.focalDist, 5000.f);
  EXPECT_EQ(b.virtualCamera.defCameraInd, 1);

  // The default field of view is written as the float 120 degrees seen in double precision.
  TesmoViewGeneratorCpu defaults({}, cv::FileNode());
  cv::FileStorage d(Written(defaults), cv::FileStorage::READ | cv::FileStorage::MEMORY);
  EXPECT_NEAR(static_cast<double>(d["virtual_camera"]["fov"]), 120.0000033, 1e-7);
  EXPECT_EQ(static_cast<std::string>(d["mode"]), "virtual_camera");
}

TEST(GenerationParams, PartialUpdateKeepsOtherKeys) {
  cv::FileStorage fs = Memory("mode: top_view\nview_size: [640, 480]\n");
  TesmoViewGeneratorCpu gen({}, fs.root());
  cv::FileStorage update = Memory("scale_factor: 0.5\nname: ignored\n");
  gen.readParams(update.root());
  EXPECT_EQ(gen.getParams().mode, TesmoViewGenerator::TopView);
  EXPECT_EQ(gen.getParams().viewSizeCashed, cv::Size(320, 240));
  // A node that is not a map changes nothing, not even the working size.
  Params p = gen.getParams();
  p.viewSizeCashed = cv::Size(10, 10);
  gen.setParams(p);
  gen.readParams(cv::FileNode());
  EXPECT_EQ(gen.getParams().viewSizeCashed, cv::Size(10, 10));
}

TEST(GenerationParams, RefusedValuesKeepThePreviousParameters) {
  const struct {
    const char* yaml;
    const char* message;
  } cases[] = {
      {"top_view: { roi: [-3.5, 4.5, 3.5, -1e39] }",
       "Key \"roi\" in \"top_view\" must be a sequence of 4 numbers whose rectangle has a finite "
       "non-zero area, got [-3.5, 4.5, 3.5, -9.9999999999999994e+38]"},
      {"top_view: { roi: [.nan, 4, 10, -4] }", "got [nan, 4, 10, -4]"},
      {"top_view: { roi: [0, 0, 0, 0] }", "got [0, 0, 0, 0]"},
      {"top_view: { roi: [-1e30, 1e30, 1e30, -1e30] }", "Key \"roi\" in \"top_view\""},
      {"top_view: { roi: [1, 2, 3] }", "got [1, 2, 3]"},
      {"top_view: { rot_z: .nan }",
       "Key \"rot_z\" in \"top_view\" must be a number of degrees in -360..360, got nan"},
      {"top_view: { rot_z: \"45\" }", "Key \"rot_z\" in \"top_view\" must be a number of "
                                     "degrees in -360..360, got \"45\""},
      {"virtual_camera: { rot_x: 1e20 }", "Key \"rot_x\" in \"virtual_camera\""},
      {"virtual_camera: { fov: .nan }", "Key \"fov\" in \"virtual_camera\" must be a number of "
                                        "degrees above 0 and below 180, got nan"},
      {"virtual_camera: { fov: 180 }", "Key \"fov\" in \"virtual_camera\""},
      {"virtual_camera: { focal_dist: 0 }",
       "Key \"focal_dist\" in \"virtual_camera\" must be a finite number above 0, got 0"},
      {"virtual_camera: { focal_dist: -1 }", "Key \"focal_dist\" in \"virtual_camera\""},
      {"virtual_camera: { def_camera_ind: 1e10 }", "Key \"def_camera_ind\" in \"virtual_camera\""},
      {"distortion: { force: 1e39 }", "Key \"force\" in \"distortion\""},
      {"blend_border_width: -.inf", "Key \"blend_border_width\" must be a finite number, got -inf"},
      {"num_bands_blend: 2.5", "Key \"num_bands_blend\" must be an integer, got 2.5"},
      {"view_size: \"700x900\"",
       "Key \"view_size\" must be a sequence of 2 integers [width, height], got \"700x900\""},
      {"view_size: [700, 900, 3]", "got [700, 900, 3]"},
      {"mode: 1", "Key \"mode\" must be \"virtual_camera\" or \"top_view\", got 1"},
      {"interpolation: 1", "Key \"interpolation\" must be a text, got 1"},
      {"distortion: 5", "Key \"distortion\" must be a map, got 5"},
      {"top_view: [1]", "Key \"top_view\" must be a map, got [1]"},
      {"view_size: [0, 100]",
       "Key \"view_size\" must be each side 1..8192 and at most 16777216 pixels, got [0, 100]"},
      {"view_size: [8193, 100]", "got [8193, 100]"},
      {"view_size: [5000, 5000]", "got [5000, 5000]"},
      {"view_size: [1e12, 2]", "got [1000000000000, 2]"},
      {"view_size: [1, 1]\nnum_bands_blend: 3",
       "give a working size of 0x0; it must be each side 1..8192 and at most 16777216 pixels"},
      {"scale_factor: 1e9", "\"scale_factor\" 1e+09 and \"num_bands_blend\" 0 give a working size"},
      {"view_size: [8192, 8]\nscale_factor: 1.5", "working size of 12288x12"},
      {"scale_factor: 0", "Key \"scale_factor\" must be a finite number above 0, got 0"},
      {"scale_factor: -1", "got -1"},
      {"scale_factor: 1e-60", "above 0, got "},
      {"scale_factor: .inf", "got inf"},
      {"scale_factor: .nan", "got nan"},
  };
  TesmoViewGeneratorCpu gen({}, Memory("mode: top_view\nview_size: [640, 480]\n").root());
  // The non-fatal check answers what readParams of a new generator would throw.
  TesmoViewGeneratorCpu fresh({}, cv::FileNode());
  const std::string before = Written(gen);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    // Nor is any other key of the document (OpenCV keeps the first of a repeated key: the row's).
    const cv::FileStorage doc =
        Memory(c.yaml + std::string("\nmode: virtual_camera\nvirtual_camera: { rot_x: 5 }\n"));
    const std::string refusal = Refusal(gen, doc.root());
    EXPECT_NE(refusal.find(c.message), std::string::npos) << refusal;
    std::string why;
    EXPECT_FALSE(TesmoViewGenerator::checkParams(doc.root(), &why));
    EXPECT_EQ(why, Refusal(fresh, doc.root()));
    EXPECT_EQ(Written(gen), before);
    EXPECT_EQ(gen.getParams().viewSizeCashed, cv::Size(640, 480));
  }
  // The bounds are taken, and what writeParams writes of them reads again unchanged.
  for (const char* yaml :
       {"view_size: [4096, 4096]", "view_size: [8192, 2048]",
        "virtual_camera: { fov: 179.99998, rot_x: 360, rot_y: -360, rot_z: -359.99997 }",
        "virtual_camera: { fov: 1e-30, focal_dist: 1e-30 }",
        "top_view: { roi: [0, 1e-3, 1e-3, 0], rot_z: 360 }",
        "top_view: { roi: [-9e18, 9e18, 9e18, -9e18], rot_z: -360 }"}) {
    SCOPED_TRACE(yaml);
    EXPECT_TRUE(TesmoViewGenerator::checkParams(Memory(yaml).root(), nullptr));
    gen.readParams(Memory(yaml).root());
    const std::string written = Written(gen);
    TesmoViewGeneratorCpu back(
        {}, cv::FileStorage(written, cv::FileStorage::READ | cv::FileStorage::MEMORY).root());
    EXPECT_EQ(Written(back), written);
  }
  EXPECT_EQ(gen.getParams().viewSizeCashed, cv::Size(8192, 2048));
  // A working size beyond an int comes out as INT_MAX, not as a wrapped value.
  Params huge = gen.getParams();
  huge.scaleFactor = 1e9f;
  huge.computeViewSize();
  EXPECT_EQ(huge.viewSizeCashed, cv::Size(std::numeric_limits<int>::max(),
                                          std::numeric_limits<int>::max()));
}

// Records set with setParams. One that readParams could not produce is refused by prepare: not
// ok, the error image, and the record replaced is back, so that readParams takes a partial node
// again; until then writeParams writes the record replaced. One it could produce is prepared.
// Either way what writeParams writes reads back through readParams into the same text.
TEST(GenerationParams, SetRecordsArePreparedOrRefusedAndWrittenSoThatTheyReadBack) {
  using Edit = void (*)(Params&);
  const struct {
    Edit edit;
    const char* refusal;  // empty: prepared
  } rows[] = {
      {[](Params& p) { p.interpolation = 99; },
       "Key \"interpolation\" must be NEAREST, LINEAR, CUBIC, AREA, LANCZOS4, LINEAR_EXACT or "
       "NEAREST_EXACT, got 99"},
      {[](Params& p) {
         p.viewSize = cv::Size(700, 900);
         p.viewSizeCashed = cv::Size(64, 48);
       },
       "Working size 64x48 does not follow from \"view_size\" [700, 900], \"scale_factor\" 1 and "
       "\"num_bands_blend\" 0, which give 700x900"},
      {[](Params& p) { p.topView.roi.r11 = cv::Vec3f(5.f, 7.f, 0.f); },
       "Key \"roi\" in \"top_view\" must be the corners of a rectangle in the plane z = 0 (r01 "
       "beside r00 along y, r10 beside r00 along x, r11 opposite r00), got r00 (-5, -5, 0), "
       "r01 (-5, 5, 0), r10 (5, -5, 0), r11 (5, 7, 0)"},
      {[](Params& p) {  // a square turned by 45 degrees
         p.topView.roi = PlaneRoi(cv::Vec3f(0.f, -5.f, 0.f), cv::Vec3f(-5.f, 0.f, 0.f),
                                  cv::Vec3f(5.f, 0.f, 0.f), cv::Vec3f(0.f, 5.f, 0.f));
       },
       "got r00 (0, -5, 0), r01 (-5, 0, 0)"},
      {[](Params& p) { p.topView.roi.r01[0] += 1e-3f; }, "r01 (-4.999, 5, 0)"},
      {[](Params& p) { p.topView.roi.r10[2] = 0.5f; }, "r10 (5, -5, 0.5)"},
      {[](Params& p) { p.topView.roi.r11[1] = NAN; }, "r11 (5, nan, 0)"},
      // Its degrees, read back in float, give 0 radians.
      {[](Params& p) { p.virtualCamera.fov = 1e-45f; },
       "Key \"fov\" in \"virtual_camera\" must be a number of degrees above 0 and below 180"},
      // Corners off by less than 1e-5 of the largest coordinate (5) make a rectangle.
      {[](Params& p) {
         p.topView.roi.r01[0] += 2e-5f;
         p.topView.roi.r11[2] = -3e-5f;
       },
       ""},
      {[](Params& p) {
         p.topView.roi = PlaneRoi(cv::Vec3f(-10.f, -4.f, 0.f), cv::Vec3f(-10.f, 4.f, 0.f),
                                  cv::Vec3f(10.f, -4.f, 0.f), cv::Vec3f(10.f, 4.f, 0.f));
         p.interpolation = 6;
       },
       ""},
      {[](Params& p) {
         p.viewSize = cv::Size(200, 150);
         p.numBandsBlend = 3;
         p.scaleFactor = 0.75f;
         p.computeViewSize();
       },
       ""},
  };
  const std::vector<Camera> rig = testing_util::MakeSurroundRig(cv::Size(320, 200));
  const std::vector<cv::Mat> frames = testing_util::RandomFrames(rig, 3);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refusal);
    const bool bTaken = row.refusal[0] == '\0';
    testing_util::Probe<TesmoViewGeneratorCpu> gen(rig, "mode: top_view\nview_size: [160, 120]\n");
    ASSERT_TRUE(gen.prepared()) << gen.errorMessage;
    const std::string before = Written(gen);
    Params p = gen.getParams();
    row.edit(p);
    gen.setParams(p);
    if (!bTaken) {
      EXPECT_EQ(Written(gen), before);
    }

    testing::internal::CaptureStdout();
    EXPECT_EQ(gen.prepared(), bTaken);
    testing::internal::GetCapturedStdout();
    if (bTaken) {
      EXPECT_EQ(gen.getParams().viewSizeCashed, p.viewSizeCashed);
    } else {
      EXPECT_NE(gen.errorMessage.find(row.refusal), std::string::npos) << gen.errorMessage;
      EXPECT_EQ(Written(gen), before);
      const cv::Mat image = testing_util::Compose(gen, frames);
      EXPECT_EQ(image.size(), cv::Size(160, 120));
      EXPECT_GT(cv::countNonZero(image.reshape(1) == 255), 0);
      EXPECT_EQ(Refusal(gen, Memory("scale_factor: 1\n").root()), "");
    }

    const std::string written = Written(gen);
    cv::FileStorage doc(written, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    EXPECT_TRUE(TesmoViewGenerator::checkParams(doc.root(), nullptr));
    TesmoViewGeneratorCpu back(rig, doc.root());
    EXPECT_EQ(Written(back), written);
    EXPECT_EQ(back.getParams().viewSizeCashed, gen.getParams().viewSizeCashed);
    const PlaneRoi& a = gen.getParams().topView.roi;
    const PlaneRoi& b = back.getParams().topView.roi;
    for (const auto& corners : {std::make_pair(a.r00, b.r00), std::make_pair(a.r01, b.r01),
                                std::make_pair(a.r10, b.r10), std::make_pair(a.r11, b.r11)}) {
      EXPECT_LE(cv::norm(corners.first - corners.second, cv::NORM_INF), 5e-5);
    }
  }
}

TEST(GenerationParams, ConstructedFromParameterFile) {
  testing_util::GenTempDir dir;
  const std::string K =
      "!!opencv-matrix { rows: 3, cols: 3, dt: d, data: [300, 0, 320, 0, 300, 240, 0, 0, 1] }";
  std::ofstream(dir.file("gen.yml"))
      << "%YAML:1.0\n---\nintrinsics:\n"
      << "  z: { frame_width: 640, frame_height: 480, model: pinhole, K: " << K << " }\n"
      << "  a: { frame_width: 320, frame_height: 240, model: fisheye, K: " << K << " }\n"
      << "extrinsics:\n  z: { T: [1, 2, 3] }\n  a: { T: [4, 5, 6] }\n"
      << "tesmo_view_gen_params: { mode: top_view, view_size: [300, 200] }\n";
  FileGenerator gen(dir.file("gen.yml"));
  ASSERT_EQ(gen.getCameras().size(), 2u);
  EXPECT_EQ(gen.getCameras()[0].name, "a");
  EXPECT_EQ(gen.getCameras()[1].poseW2C.T, cv::Vec3f(1, 2, 3));
  EXPECT_EQ(gen.getParams().mode, TesmoViewGenerator::TopView);
  EXPECT_EQ(gen.getParams().viewSizeCashed, cv::Size(300, 200));
}

TEST(GenerationParams, FatalChecks) {
  EXPECT_DEATH(Read("mode: TopView\n"), "Check failed: 0 Camera mode \"TopView\" don't support");
  // The non-fatal check reports that mode instead, before any later key.
  std::string why;
  EXPECT_FALSE(
      TesmoViewGenerator::checkParams(Memory("mode: TopView\nview_size: 5\n").root(), &why));
  EXPECT_EQ(why, "Camera mode \"TopView\" don't support");
  EXPECT_DEATH(InterpolationToString(7), "Check failed: 0 Unsupported interpolation flag");
  EXPECT_DEATH(InterpolationToString(-1), "Unsupported interpolation flag");
  EXPECT_EQ(InterpolationToString(6), "NEAREST_EXACT");
  EXPECT_EQ(StringToInterpolation("LINEAR_EXACT"), 5);
  EXPECT_EQ(StringToInterpolation("Linear"), -1);
  EXPECT_DEATH(FileGenerator gen(std::string("/nonexistent/gen.yml")),
               "Check failed: fs.isOpened\\(\\) Can't open /nonexistent/gen.yml");
}

}  // namespace
}  // namespace tesmo
