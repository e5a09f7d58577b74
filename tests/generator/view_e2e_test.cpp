// End-to-end composition on the bundled synthetic scene (samples/synthetic): the CPU generator,
// fed through the configured "img" sources with the configured calibration, must reproduce the
// independently rendered ground-truth top view, and a virtual camera must show the ground markers
// where a pinhole camera puts them.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "generator/camera.h"
#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

using testing_util::Compose;
using testing_util::MaskedPsnr;

constexpr float kHardSeams = 0.02f;
constexpr float kSoftSeams = 0.1f;

struct Marker {
  cv::Vec3d pos;  // ground position, z = 0
  double radius;
  std::string colour;
  cv::Vec3d bgr;
};

// The sample (SampleFrames), loaded once, with its ground truth and its markers.
class SampleScene : public testing_util::SampleFrames {
 public:
  SampleScene() {
    error = problem();
    if (!error.empty()) return;
    scene.open("samples/synthetic/scene.yml", cv::FileStorage::READ);
    if (!scene.isOpened()) {
      error = "Can't open the sample's documents";
      return;
    }
    const cv::FileNode truth = scene["ground_truth"];
    groundTruth = cv::imread("samples/synthetic/" + truth["image"].string(), cv::IMREAD_COLOR);
    topViewName = truth["view"].string();
    for (const cv::FileNode& m : scene["markers"]) {
      std::vector<double> bgr;
      m["bgr"] >> bgr;
      markers.push_back({cv::Vec3d(m["x"].real(), m["y"].real(), 0.0), m["radius"].real(),
                         m["colour"].string(), cv::Vec3d(bgr[0], bgr[1], bgr[2])});
    }
    if (groundTruth.empty() || markers.empty()) error = "Incomplete scene facts";
  }

  // The configured view whose "name" (or, when name is empty, whose "mode") matches.
  cv::FileNode view(const std::string& name, const std::string& mode = "") const {
    for (const cv::FileNode& v : config["tesmo_gen"]) {
      if ((!name.empty() && v["name"].string() == name) ||
          (name.empty() && v["mode"].string() == mode))
        return v;
    }
    return cv::FileNode();
  }

  std::string error;
  cv::FileStorage scene;
  cv::Mat groundTruth;
  std::string topViewName;
  std::vector<Marker> markers;
};

const SampleScene& Scene() {
  static const SampleScene scene;
  return scene;
}

// A CPU generator for a configured view, its parameters changed by `change`, prepared; `covered`
// receives the pixels that some camera sees.
using ParamsChange = std::function<void(TesmoViewGenerator::GenerationParams&)>;
std::unique_ptr<TesmoViewGeneratorCpu> Prepared(const cv::FileNode& node,
                                                const ParamsChange& change, cv::Mat* covered) {
  auto gen = std::make_unique<TesmoViewGeneratorCpu>(Scene().cameras, node);
  auto params = gen->getParams();
  change(params);
  gen->setParams(params);
  gen->prepare(*covered);
  return gen;
}

// Per camera, its weight (0..255) at every view pixel.
std::vector<cv::Mat> CameraWeights(TesmoViewGenerator& gen) {
  return testing_util::CameraWeights(gen, Scene().frames);
}

// Composes the top view with the given seams and compares it with the ground truth over the pixels
// that some camera sees; checks that the seam weights share every covered pixel out in full.
void CheckTopView(float blendBorderWidth) {
  const SampleScene& scene = Scene();
  ASSERT_EQ(scene.error, "");
  const cv::FileNode node = scene.view(scene.topViewName);
  ASSERT_TRUE(node.isMap()) << "no view " << scene.topViewName << " in the configuration";

  cv::Mat covered;
  auto gen = Prepared(
      node, [&](auto& p) { p.blendBorderWidth = blendBorderWidth; }, &covered);
  const cv::Mat view = Compose(*gen, scene.frames);
  ASSERT_EQ(view.size(), scene.groundTruth.size());
  ASSERT_EQ(view.type(), CV_8UC3);
  ASSERT_EQ(covered.size(), view.size());
  const int nCovered = cv::countNonZero(covered);
  // The cameras see about two thirds of the configured rectangle.
  ASSERT_GT(nCovered, view.total() / 2);

  const double psnr = MaskedPsnr(view, scene.groundTruth, covered);
  const std::string seams = blendBorderWidth >= 0.1f ? "soft" : "hard";
  std::cout << "[   PSNR   ] top view, " << seams << " seams: " << psnr << " dB over " << nCovered
            << " covered pixels\n";
  testing::Test::RecordProperty("psnr_db_" + seams, std::to_string(psnr));
  EXPECT_GE(psnr, 25.0);
  // This sample composes at about 57 dB; one camera placed 5 mm off already costs 5 dB.
  EXPECT_GE(psnr, 50.0) << "the sample's composition got worse";
  // Outside the cameras' sight the view is black.
  cv::Mat channels[3];
  cv::split(view, channels);
  EXPECT_EQ(cv::countNonZero((channels[0] | channels[1] | channels[2]) & (covered == 0)), 0);

  // Every covered pixel's weights add up to 255 (up to rounding of each camera's share); with hard
  // seams exactly one camera has it all, with soft seams cameras share pixels along the seams.
  // Probing with white frames shows the weights: no covered pixel samples beyond a frame's last
  // row or column, where the remap would take in the black beyond its border.
  const std::vector<cv::Mat> weights = CameraWeights(*gen);
  cv::Mat total = cv::Mat::zeros(view.size(), CV_32S);
  cv::Mat nContributors = cv::Mat::zeros(view.size(), CV_8U);
  for (const cv::Mat& w : weights) {
    cv::Mat w32;
    w.convertTo(w32, CV_32S);
    total += w32;
    nContributors += cv::Mat(w > 0) / 255;
  }
  const cv::Mat offTotal = ((total < 253) | (total > 257)) & (covered != 0);
  EXPECT_EQ(cv::countNonZero(offTotal & (nContributors > 1)), 0);
  EXPECT_EQ(cv::countNonZero(offTotal), 0) << "weights do not add up";
  EXPECT_EQ(cv::countNonZero((total > 0) & (covered == 0)), 0);
  const int nShared = cv::countNonZero(nContributors > 1);
  if (blendBorderWidth >= 0.1f)
    EXPECT_GT(nShared, 1000) << "soft seams blend nothing";
  else
    EXPECT_EQ(nShared, 0) << "hard seams blend";
}

TEST(SampleSceneComposition, TopViewWithHardSeamsMatchesGroundTruth) { CheckTopView(kHardSeams); }

TEST(SampleSceneComposition, TopViewWithSoftSeamsMatchesGroundTruth) { CheckTopView(kSoftSeams); }

// Marker colour strength of a pixel: its chroma (colour minus its grey level) projected on the
// marker's chroma. A mix of the marker with grey or white ground gives the marker's share.
double MarkerShare(const cv::Vec3b& p, const cv::Vec3d& chroma) {
  const double g = (p[0] + p[1] + p[2]) / 3.0;
  const cv::Vec3d c(p[0] - g, p[1] - g, p[2] - g);
  return c.dot(chroma) / chroma.dot(chroma);
}

// Composes a virtual-camera view with hard seams and checks every marker that lies wholly inside
// one camera's part of it. Counts the markers checked per camera and keeps the largest distance.
void CheckMarkers(const cv::FileNode& node, float rotX, float fov, std::vector<int>* checked,
                  double* maxError) {
  const SampleScene& scene = Scene();
  cv::Mat covered;
  auto gen = Prepared(
      node,
      [&](auto& p) {
        p.blendBorderWidth = kHardSeams;
        p.virtualCamera.rotX = rotX;
        p.virtualCamera.fov = fov;
      },
      &covered);
  const auto& p = gen->getParams();
  const cv::Mat view = Compose(*gen, scene.frames);
  EXPECT_EQ(view.size(), p.viewSizeCashed);
  if (view.size() != p.viewSizeCashed) return;
  const std::vector<cv::Mat> regions = CameraWeights(*gen);

  // The virtual pinhole: at the world origin, turned by rot_x about the world's -x axis (no yaw or
  // roll here); pixel (x, y) looks through ((x / W - 1/2) w, (y / H - 1/2) h, 1).
  EXPECT_EQ(p.virtualCamera.rotY, 0.f);
  EXPECT_EQ(p.virtualCamera.rotZ, 0.f);
  cv::Matx33d Rv;
  cv::Rodrigues(cv::Vec3d(-p.virtualCamera.rotX, 0, 0), Rv);
  const double W = p.viewSizeCashed.width, H = p.viewSizeCashed.height;
  const double w = 2.0 * std::tan(p.virtualCamera.fov / 2.0), h = w / W * H;
  const double f = p.virtualCamera.focalDist;

  for (const Marker& m : scene.markers) {
    const cv::Vec3d chroma = m.bgr - cv::Vec3d::all((m.bgr[0] + m.bgr[1] + m.bgr[2]) / 3.0);
    for (size_t k = 0; k < scene.cameras.size(); ++k) {
      // Camera k shows the marker where its ray through the marker meets the plane on which the
      // virtual camera assumes the scene (depth f); that point goes through the pinhole. With f of
      // 10 km this is the pinhole projection of the marker from camera k's own centre.
      const Pose3f& pose = scene.cameras[k].poseW2C;
      const cv::Matx33d R(pose.R);
      const cv::Vec3d C = -(R.t() * cv::Vec3d(pose.T));
      const cv::Vec3d qc = Rv.t() * C, qd = Rv.t() * (m.pos - C);
      if (qd[2] <= 1e-9) continue;
      const cv::Vec3d q = qc + (f - qc[2]) / qd[2] * qd;
      const cv::Point2d expected((q[0] / q[2] + w / 2) / w * W, (q[1] / q[2] + h / 2) / h * H);

      // Only markers wholly inside camera k's part of the view.
      const double radiusPx = W / w * m.radius / cv::norm(m.pos - C);
      const int reach = static_cast<int>(std::ceil(2 * radiusPx + 3));
      const cv::Rect window(cvRound(expected.x) - reach, cvRound(expected.y) - reach,
                            2 * reach + 1, 2 * reach + 1);
      if ((window & cv::Rect(0, 0, view.cols, view.rows)) != window) continue;
      if (cv::countNonZero(regions[k](window) != 255) != 0) continue;

      double sum = 0, sx = 0, sy = 0;
      for (int y = window.y; y < window.br().y; ++y)
        for (int x = window.x; x < window.br().x; ++x) {
          const double a = MarkerShare(view.at<cv::Vec3b>(y, x), chroma);
          if (a < 0.25) continue;
          const double wa = std::min(a, 1.0);
          sum += wa;
          sx += wa * x;
          sy += wa * y;
        }
      SCOPED_TRACE(m.colour + " marker at (" + std::to_string(m.pos[0]) + ", " +
                   std::to_string(m.pos[1]) + ") seen by " + scene.cameras[k].name);
      // A disc seen obliquely covers less than pi r^2; a third of that is plenty to be found.
      EXPECT_GT(sum, CV_PI * radiusPx * radiusPx / 3) << "marker not found near " << expected;
      if (sum <= 0) continue;
      const cv::Point2d found(sx / sum, sy / sum);
      EXPECT_LE(cv::norm(found - expected), 2.0) << "expected " << expected << ", found " << found;
      ++(*checked)[k];
      *maxError = std::max(*maxError, cv::norm(found - expected));
    }
  }
}

TEST(SampleSceneComposition, VirtualCameraShowsMarkersWherePinholeProjectsThem) {
  const SampleScene& scene = Scene();
  ASSERT_EQ(scene.error, "");
  const cv::FileNode node = scene.view("", "virtual_camera");
  ASSERT_TRUE(node.isMap()) << "no virtual-camera view in the configuration";
  const auto configured = TesmoViewGeneratorCpu(scene.cameras, node).getParams().virtualCamera;

  // The configured view (forward and down, the front camera's alone), and one straight down that
  // every camera takes part in.
  std::vector<int> forward(scene.cameras.size(), 0), down(scene.cameras.size(), 0);
  double maxError = 0;
  CheckMarkers(node, configured.rotX, configured.fov, &forward, &maxError);
  CheckMarkers(node, 0.f, static_cast<float>(CV_PI * 2 / 3), &down, &maxError);
  int total = 0, cameras = 0;
  for (size_t k = 0; k < scene.cameras.size(); ++k) {
    total += forward[k] + down[k];
    cameras += forward[k] + down[k] > 0;
  }
  std::cout << "[ MARKERS  ] " << total << " markers checked in two virtual views, largest error "
            << maxError << " px\n";
  EXPECT_GE(std::accumulate(forward.begin(), forward.end(), 0), 3);
  EXPECT_GE(total, 15);
  EXPECT_EQ(cameras, static_cast<int>(scene.cameras.size()));
}

}  // namespace
}  // namespace tesmo
