#include "generator/calib.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "common/perf.h"
#include "generator/camera.h"
#include "tests/generator/generator_test_util.h"
#include "tests/generator/synthetic_scene.h"

namespace tesmo {
namespace {

using testing_util::GenTempDir;
using testing_util::RotationErrorDeg;

// A planar board seen by a camera: its texture (8-bit grey) spans the board plane z = 0 from
// `origin` (board units) at pxPerUnit texture pixels per unit.
struct Board {
  cv::Mat texture;
  float pxPerUnit = 0.f;
  cv::Point2f origin;
};

// What `camera` at pose sees of the board (RenderRays onto the board plane). Grey 128 off the
// board.
cv::Mat RenderBoard(const Camera& camera, const Pose3f& pose, const Board& board) {
  const auto onBoard = [&](const cv::Vec3f& centre, const cv::Vec3f& d) {
    const float s = -centre[2] / d[2];
    if (s <= 0.f) return testing_util::kMiss;
    const cv::Vec3f X = centre + s * d;
    // Texel i covers [i, i + 1) of the scaled board; its centre sits at i + 0.5.
    return cv::Vec2f((X[0] - board.origin.x) * board.pxPerUnit - 0.5f,
                     (X[1] - board.origin.y) * board.pxPerUnit - 0.5f);
  };
  cv::Mat img = testing_util::RenderRays(camera, pose, board.texture, onBoard, cv::Scalar(128));
  cv::GaussianBlur(img, img, cv::Size(3, 3), 0.7);
  return img;
}

// A chessboard of (inner.width + 1) x (inner.height + 1) unit squares; its first inner corner
// lies at the board's origin, so that the inner corners are the symmetric pattern points of a
// unit cell. One square of white margin around it.
Board Chessboard(cv::Size inner, float pxPerUnit) {
  Board b;
  b.pxPerUnit = pxPerUnit;
  b.origin = cv::Point2f(-2.f, -2.f);
  b.texture = cv::Mat((inner.height + 3) * pxPerUnit, (inner.width + 3) * pxPerUnit, CV_8U,
                      cv::Scalar(255));
  for (int r = 0; r <= inner.height; ++r) {
    for (int c = 0; c <= inner.width; ++c) {
      if ((r + c) % 2 != 0) continue;
      const cv::Point tl(cvRound((c + 1) * pxPerUnit), cvRound((r + 1) * pxPerUnit));
      const cv::Point br(cvRound((c + 2) * pxPerUnit) - 1, cvRound((r + 2) * pxPerUnit) - 1);
      cv::rectangle(b.texture, tl, br, cv::Scalar(0), cv::FILLED);
    }
  }
  return b;
}

// Black discs of `radius` on white at the given board points, with three radii of white around.
Board Discs(const std::vector<cv::Point3f>& centres, float radius, float pxPerUnit) {
  float minX = 1e9f, minY = 1e9f, maxX = -1e9f, maxY = -1e9f;
  for (const auto& p : centres) {
    minX = std::min(minX, p.x), minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  const float margin = 3 * radius;
  Board b;
  b.pxPerUnit = pxPerUnit;
  b.origin = cv::Point2f(minX - margin, minY - margin);
  b.texture = cv::Mat(cvCeil((maxY - minY + 2 * margin) * pxPerUnit),
                      cvCeil((maxX - minX + 2 * margin) * pxPerUnit), CV_8U, cv::Scalar(255));
  constexpr int kShift = 4;  // sub-pixel centres
  for (const auto& p : centres) {
    const cv::Point c(cvRound(((p.x - b.origin.x) * pxPerUnit - 0.5f) * (1 << kShift)),
                      cvRound(((p.y - b.origin.y) * pxPerUnit - 0.5f) * (1 << kShift)));
    cv::circle(b.texture, c, cvRound(radius * pxPerUnit * (1 << kShift)), cv::Scalar(0),
               cv::FILLED, cv::LINE_AA, kShift);
  }
  return b;
}

Camera PinholeCamera() {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 620, 0, 322, 0, 615, 236, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(1, 5) << -0.18, 0.06, 0.0, 0.0, 0.0);
  return Camera("pin", cv::Size(640, 480), Pinhole, K, D, Pose3f());
}

Camera FisheyeCamera() {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 300, 0, 321, 0, 301, 238, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(4, 1) << 0.04, -0.01, 0.002, -0.0003);
  return Camera("fish", cv::Size(640, 480), Fisheye, K, D, Pose3f());
}

// Pose that puts the board point `target` at `distance` along the turned optical axis.
Pose3f BoardPose(const cv::Vec3f& rvec, const cv::Vec3f& target, float distance,
                 const cv::Vec2f& offset = cv::Vec2f(0.f, 0.f)) {
  cv::Matx33f R;
  cv::Rodrigues(rvec, R);
  return Pose3f(R, cv::Vec3f(offset[0], offset[1], distance) - R * target);
}

std::vector<cv::Point2f> Project(const Camera& camera, const Pose3f& pose,
                                 const std::vector<cv::Point3f>& points) {
  std::vector<cv::Point2f> out;
  const cv::Vec3d rvec(pose.getRodrigues());
  const cv::Vec3d tvec(pose.T);
  cv::Mat K, D;
  camera.K.convertTo(K, CV_64F);
  camera.D.convertTo(D, CV_64F);
  if (camera.model == Fisheye) {
    cv::fisheye::projectPoints(points, out, rvec, tvec, K, D);
  } else {
    cv::projectPoints(points, rvec, tvec, K, D, out);
  }
  return out;
}

// Largest distance between detected and projected points, the detection read in its own order
// or reversed (a chessboard or circle grid may be reported from either end).
double MaxPointError(const std::vector<cv::Point2f>& detected,
                     const std::vector<cv::Point2f>& expected) {
  if (detected.size() != expected.size()) return 1e9;
  double forward = 0, backward = 0;
  for (size_t i = 0; i < detected.size(); ++i) {
    forward = std::max(forward, cv::norm(detected[i] - expected[i]));
    backward = std::max(backward, cv::norm(detected[detected.size() - 1 - i] - expected[i]));
  }
  return std::min(forward, backward);
}

// The "#CALLS" column of the timing table's row `label`, or -1 when there is no such row.
int PerfCalls(const std::string& label) {
  std::ostringstream table;
  perf::ReportPerfStat(table);
  std::istringstream lines(table.str());
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream row(line);
    std::string name;
    int calls = -1;
    if (row >> name >> calls && name == label) return calls;
  }
  return -1;
}

// ---- GridDetector -------------------------------------------------------------------------

TEST(GridDetector, PatternPointLayouts) {
  GridDetector symmetric(3, 2, GridDetector::CHESSBOARD_ONLY, /*is_symmetric=*/true, "");
  std::vector<cv::Point3f> pts{{7.f, 7.f, 7.f}};
  symmetric.generatePatternPoints(pts, cv::Size2f(10.f, 20.f));
  const std::vector<cv::Point3f> expected{{0, 0, 0},  {10, 0, 0},  {20, 0, 0},
                                          {0, 20, 0}, {10, 20, 0}, {20, 20, 0}};
  EXPECT_EQ(pts, expected);

  GridDetector asymmetric(4, 5, GridDetector::SIMPLE_BLOB, /*is_symmetric=*/false, "");
  EXPECT_EQ(asymmetric.gridFinderParams.gridType,
            cv::CirclesGridFinderParameters::ASYMMETRIC_GRID);
  EXPECT_EQ(symmetric.gridFinderParams.gridType, cv::CirclesGridFinderParameters::SYMMETRIC_GRID);
  asymmetric.generatePatternPoints(pts, cv::Size2f(2.f, 3.f));
  ASSERT_EQ(pts.size(), 20u);
  const float evenShift = pts[0].x;
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 4; ++x) {
      const cv::Point3f& p = pts[y * 4 + x];
      EXPECT_FLOAT_EQ(p.y, y * 1.5f);
      EXPECT_FLOAT_EQ(p.z, 0.f);
      EXPECT_FLOAT_EQ(p.x, x * 2.f + (y % 2 == 0 ? evenShift : 0.f));
    }
  }
  EXPECT_NE(evenShift, 0.f);
}

TEST(GridDetector, FindsChessboardCornersWhereTheyProject) {
  const cv::Size inner(9, 6);
  const Board board = Chessboard(inner, 40.f);
  Camera camera = PinholeCamera();
  GridDetector grid(inner.width, inner.height, GridDetector::CHESSBOARD_ONLY, true, "");
  std::vector<cv::Point3f> object;
  grid.generatePatternPoints(object, cv::Size2f(1.f, 1.f));

  perf::Clear("detect_grid");
  const Pose3f pose = BoardPose(cv::Vec3f(0.3f, -0.2f, 0.1f), cv::Vec3f(4.f, 2.5f, 0.f), 14.f);
  std::vector<cv::Point2f> corners;
  ASSERT_TRUE(grid.detectGrid(RenderBoard(camera, pose, board), corners));
  EXPECT_LT(MaxPointError(corners, Project(camera, pose, object)), 0.5);

  // Not found: a blank image. Both calls are timed.
  EXPECT_FALSE(grid.detectGrid(cv::Mat(480, 640, CV_8U, cv::Scalar(200)), corners));
  EXPECT_EQ(PerfCalls("detect_grid"), 2);

  // No feature detector behind a chessboard: key points are refused and left alone.
  EXPECT_TRUE(grid.detector.empty());
  std::vector<cv::KeyPoint> kps{cv::KeyPoint(1.f, 2.f, 3.f)};
  EXPECT_FALSE(grid.detectKeyPoints(board.texture, &kps));
  ASSERT_EQ(kps.size(), 1u);
  EXPECT_EQ(kps[0].pt, cv::Point2f(1.f, 2.f));
}

// Circle grids drawn at the pattern's own points must come back in the pattern's order: this
// also pins the asymmetric layout to the order of cv::findCirclesGrid.
TEST(GridDetector, FindsCircleGridsInPatternOrder) {
  struct Case {
    cv::Size size;
    bool symmetric;
    cv::Size2f cell;
  };
  for (const Case& c : {Case{{7, 5}, true, {1.f, 1.f}}, Case{{4, 11}, false, {2.f, 2.f}}}) {
    SCOPED_TRACE(c.symmetric ? "symmetric" : "asymmetric");
    GridDetector grid(c.size.width, c.size.height, GridDetector::SIMPLE_BLOB, c.symmetric, "");
    std::vector<cv::Point3f> object;
    grid.generatePatternPoints(object, c.cell);
    const Board board = Discs(object, 0.3f, 40.f);
    const Camera camera = PinholeCamera();
    cv::Point3f centre(0.f, 0.f, 0.f);
    for (const auto& p : object) centre += p * (1.f / object.size());
    for (const cv::Vec3f& rvec : {cv::Vec3f(0.2f, -0.1f, 0.f), cv::Vec3f(-0.25f, 0.3f, 0.4f)}) {
      const Pose3f pose = BoardPose(rvec, cv::Vec3f(centre.x, centre.y, 0.f), 16.f);
      std::vector<cv::Point2f> centres;
      ASSERT_TRUE(grid.detectGrid(RenderBoard(camera, pose, board), centres));
      const std::vector<cv::Point2f> expected = Project(camera, pose, object);
      ASSERT_EQ(centres.size(), expected.size());
      // A symmetric 7 x 5 grid looks the same turned half a turn; the asymmetric one does not.
      double err = 0;
      for (size_t i = 0; i < centres.size(); ++i) {
        err = std::max(err, cv::norm(centres[i] - expected[i]));
      }
      if (c.symmetric) err = MaxPointError(centres, expected);
      EXPECT_LT(err, 0.5);
    }
  }
}

// Blobs that OpenCV's default filters reject: a thin bar (low inertia ratio) and a square with a
// corner bitten off (low convexity). Without a configuration the inertia and convexity filters
// are off.
TEST(GridDetector, BlobDetectorDefaultsAndConfiguration) {
  cv::Mat img(200, 300, CV_8U, cv::Scalar(255));
  cv::circle(img, cv::Point(50, 50), 12, cv::Scalar(0), cv::FILLED);
  cv::rectangle(img, cv::Rect(150, 20, 60, 5), cv::Scalar(0), cv::FILLED);
  cv::rectangle(img, cv::Rect(100, 120, 40, 40), cv::Scalar(0), cv::FILLED);
  cv::rectangle(img, cv::Rect(125, 145, 15, 15), cv::Scalar(255), cv::FILLED);

  GridDetector loose(4, 4, GridDetector::SIMPLE_BLOB, true, "");
  perf::Clear("feature_detector");
  std::vector<cv::KeyPoint> kps;
  ASSERT_TRUE(loose.detectKeyPoints(img, &kps));
  EXPECT_EQ(kps.size(), 3u);
  EXPECT_EQ(PerfCalls("feature_detector"), 1);

  GenTempDir dir;
  const std::string config = dir.file("blob.yml");
  {
    cv::FileStorage fs(config, cv::FileStorage::WRITE);
    fs << "simple_blob_detector_params" << "{";
    cv::SimpleBlobDetector::Params().write(fs);
    fs << "}";
  }
  GridDetector strict(4, 4, GridDetector::SIMPLE_BLOB, true, config);
  ASSERT_TRUE(strict.detectKeyPoints(img, &kps));
  ASSERT_EQ(kps.size(), 1u);
  EXPECT_NEAR(kps[0].pt.x, 50.f, 1.f);
  EXPECT_NEAR(kps[0].pt.y, 50.f, 1.f);
}

TEST(GridDetectorDeathTest, RefusesBadConfiguration) {
  GenTempDir dir;
  const std::string missing = dir.file("missing.yml");
  EXPECT_DEATH(GridDetector(4, 4, GridDetector::SIMPLE_BLOB, true, missing),
               "Check failed: fs.isOpened\\(\\) Can't open .*missing.yml");
  // Opened even where it is not used.
  EXPECT_DEATH(GridDetector(4, 4, GridDetector::CHESSBOARD_ONLY, true, missing),
               "Check failed: fs.isOpened\\(\\) Can't open");
  const std::string noMap = dir.file("nomap.yml");
  {
    cv::FileStorage fs(noMap, cv::FileStorage::WRITE);
    fs << "something_else" << 1;
  }
  EXPECT_DEATH(GridDetector(4, 4, GridDetector::SIMPLE_BLOB, true, noMap),
               "Check failed: fs\\[\"simple_blob_detector_params\"\\].isMap\\(\\)");
  EXPECT_THROW(GridDetector(4, 4, static_cast<GridDetector::FeatureDetectorType>(7), true, ""),
               std::runtime_error);
}

// ---- Camera calibration -------------------------------------------------------------------

// Views of the chessboard from varied directions, detected with the grid detector.
void CollectChessboardViews(const Camera& camera, float distance,
                            std::vector<std::vector<cv::Point3f>>* objectPoints,
                            std::vector<std::vector<cv::Point2f>>* imagePoints) {
  const cv::Size inner(9, 6);
  const Board board = Chessboard(inner, 30.f);
  GridDetector grid(inner.width, inner.height, GridDetector::CHESSBOARD_ONLY, true, "");
  std::vector<cv::Point3f> object;
  grid.generatePatternPoints(object, cv::Size2f(1.f, 1.f));
  const std::vector<std::pair<cv::Vec3f, cv::Vec2f>> views{
      {{0.f, 0.f, 0.f}, {0.f, 0.f}},         {{0.4f, 0.f, 0.1f}, {-1.f, 0.5f}},
      {{-0.4f, 0.1f, 0.f}, {1.f, -0.5f}},    {{0.f, 0.45f, -0.1f}, {-1.5f, -1.f}},
      {{0.1f, -0.45f, 0.2f}, {1.5f, 1.f}},   {{0.3f, 0.3f, 0.5f}, {-1.f, 1.f}},
      {{-0.3f, -0.3f, -0.4f}, {1.f, -1.f}},  {{0.35f, -0.3f, 0.f}, {1.5f, -0.8f}},
      {{-0.2f, 0.35f, 0.3f}, {-1.5f, 0.8f}}, {{0.f, 0.f, 0.8f}, {0.f, 0.f}}};
  for (const auto& v : views) {
    const Pose3f pose = BoardPose(v.first, cv::Vec3f(4.f, 2.5f, 0.f), distance, v.second);
    std::vector<cv::Point2f> corners;
    if (!grid.detectGrid(RenderBoard(camera, pose, board), corners)) continue;
    EXPECT_LT(MaxPointError(corners, Project(camera, pose, object)), 0.5);
    objectPoints->push_back(object);
    imagePoints->push_back(corners);
  }
}

// The calibrated focal lengths within 0.5 % of the truth's, the principal point within 2 pixels.
void ExpectCameraMatrixNear(const Camera& camera, const Camera& truth) {
  const cv::Matx33d K(camera.K), Kt(truth.K);
  EXPECT_NEAR(K(0, 0), Kt(0, 0), 0.005 * Kt(0, 0));
  EXPECT_NEAR(K(1, 1), Kt(1, 1), 0.005 * Kt(1, 1));
  EXPECT_NEAR(K(0, 2), Kt(0, 2), 2.0);
  EXPECT_NEAR(K(1, 2), Kt(1, 2), 2.0);
}

TEST(CameraCalibration, RecoversPinholeIntrinsicsFromRenderedChessboards) {
  const Camera truth = PinholeCamera();
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
  CollectChessboardViews(truth, 14.f, &object, &image);
  ASSERT_GE(image.size(), 9u);

  Camera camera("pin", truth.frameSize, Pinhole, cv::Mat(), cv::Mat(), Pose3f());
  const Camera copy = camera;
  const double rms = camera.calibrateIntrinsics(object, image, cv::CALIB_FIX_K3);
  EXPECT_LT(rms, 0.2);
  ExpectCameraMatrixNear(camera, truth);
  ASSERT_EQ(camera.D.total(), 5u);
  EXPECT_NEAR(camera.D.at<double>(0), -0.18, 0.01);
  EXPECT_NEAR(camera.D.at<double>(1), 0.06, 0.02);
  EXPECT_TRUE(copy.K.empty());

  // Calibrating again from a known start writes new matrices: a copy keeps its own values.
  const Camera before = camera;
  const cv::Matx33d kBefore(before.K);
  camera.calibrateIntrinsics(object, image, cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_K3 |
                                                cv::CALIB_FIX_FOCAL_LENGTH);
  EXPECT_NE(camera.K.data, before.K.data);
  EXPECT_EQ(cv::Matx33d(before.K), kBefore);
}

TEST(CameraCalibration, RecoversFisheyeIntrinsicsFromRenderedChessboards) {
  const Camera truth = FisheyeCamera();
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
  CollectChessboardViews(truth, 8.f, &object, &image);
  ASSERT_GE(image.size(), 9u);

  Camera camera("fish", truth.frameSize, Fisheye, cv::Mat(), cv::Mat(), Pose3f());
  const double rms = camera.calibrateIntrinsics(
      object, image, cv::fisheye::CALIB_RECOMPUTE_EXTRINSIC | cv::fisheye::CALIB_FIX_SKEW);
  EXPECT_LT(rms, 0.2);
  ExpectCameraMatrixNear(camera, truth);
  ASSERT_EQ(camera.D.total(), 4u);
  // The projections agree over the field the views covered, whatever the coefficients' split.
  const std::vector<cv::Point3f> rays{{0.f, 0.f, 1.f}, {0.6f, 0.4f, 1.f}, {-0.8f, 0.5f, 1.f}};
  const std::vector<cv::Point2f> a = Project(camera, Pose3f(), rays);
  const std::vector<cv::Point2f> b = Project(truth, Pose3f(), rays);
  for (size_t i = 0; i < a.size(); ++i) EXPECT_LT(cv::norm(a[i] - b[i]), 2.0) << i;
}

TEST(CameraCalibration, PoseFromCorrespondences) {
  for (const Camera& base : {PinholeCamera(), FisheyeCamera()}) {
    SCOPED_TRACE(base.name);
    Camera camera = base;
    const Pose3f truth = BoardPose(cv::Vec3f(0.3f, -0.5f, 0.2f), cv::Vec3f(1.f, 2.f, 0.5f), 9.f,
                                   cv::Vec2f(0.5f, -0.3f));
    // World points on two planes, so that the pose does not rest on a single homography.
    std::vector<cv::Point3f> world;
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 4; ++j) world.emplace_back(i * 0.6f, j * 0.7f, (i + j) % 2 ? 0.f : 1.f);
    }
    const std::vector<cv::Point2f> pixels = Project(camera, truth, world);

    Pose3f found;
    ASSERT_TRUE(camera.calibratePoseW2C(world, pixels, found));
    EXPECT_LT(RotationErrorDeg(found.R, truth.R), 0.01);
    EXPECT_LT(cv::norm(found.T - truth.T), 1e-3);
    EXPECT_LT(cv::norm(found * cv::Vec3f(1.f, 1.f, 1.f) - truth * cv::Vec3f(1.f, 1.f, 1.f)),
              1e-3);

    ASSERT_TRUE(camera.calibratePoseW2C(world, pixels));
    EXPECT_LT(RotationErrorDeg(camera.poseW2C.R, truth.R), 0.01);
    EXPECT_LT(cv::norm(camera.poseW2C.T - truth.T), 1e-3);

    // Too few points: OpenCV refuses, the pose stays as it was.
    const Pose3f kept = camera.poseW2C;
    const std::vector<cv::Point3f> few(world.begin(), world.begin() + 3);
    const std::vector<cv::Point2f> fewPx(pixels.begin(), pixels.begin() + 3);
    EXPECT_THROW(camera.calibratePoseW2C(few, fewPx), cv::Exception);
    EXPECT_EQ(camera.poseW2C.R, kept.R);
    EXPECT_EQ(camera.poseW2C.T, kept.T);
  }
}

// Each map entry is where the ideal pinhole image's pixel, as a ray, projects through the real
// lens: checked with OpenCV's forward projection.
void CheckUndistortMap(const Camera& camera, float fovScale) {
  cv::Mat mapX, mapY;
  camera.undistortRectifyMap(mapX, mapY, fovScale);
  ASSERT_EQ(mapX.type(), CV_32FC1);
  ASSERT_EQ(mapY.type(), CV_32FC1);
  ASSERT_EQ(mapX.size(), camera.frameSize);
  ASSERT_EQ(mapY.size(), camera.frameSize);
  cv::Matx33d K;
  camera.K.convertTo(K, CV_64F);
  const double fx = K(0, 0) * fovScale, fy = K(1, 1) * fovScale;
  std::vector<cv::Point3f> rays;
  std::vector<cv::Point> at;
  for (int y = 0; y < camera.frameSize.height; y += 37) {
    for (int x = 0; x < camera.frameSize.width; x += 41) {
      rays.emplace_back(static_cast<float>((x - K(0, 2)) / fx),
                        static_cast<float>((y - K(1, 2)) / fy), 1.f);
      at.emplace_back(x, y);
    }
  }
  const std::vector<cv::Point2f> expected = Project(camera, Pose3f(), rays);
  double err = 0;
  for (size_t i = 0; i < at.size(); ++i) {
    const cv::Point2f got(mapX.at<float>(at[i]), mapY.at<float>(at[i]));
    err = std::max(err, cv::norm(got - expected[i]));
  }
  EXPECT_LT(err, 0.05);
}

TEST(CameraCalibration, UndistortionMaps) {
  for (const Camera& camera : {PinholeCamera(), FisheyeCamera()}) {
    SCOPED_TRACE(camera.name);
    CheckUndistortMap(camera, 1.0f);
    CheckUndistortMap(camera, 0.5f);
    // A scaled camera holds K in single precision.
    Camera single = camera;
    cv::Mat K32;
    camera.K.convertTo(K32, CV_32F);
    single.K = K32;
    CheckUndistortMap(single, 0.7f);
  }
  // fov_scale 1 keeps the focal length: the map's centre is the principal point's own pixel
  // shifted only by distortion, which vanishes there.
  const Camera camera = PinholeCamera();
  cv::Mat mapX, mapY;
  camera.undistortRectifyMap(mapX, mapY, 1.0f);
  EXPECT_NEAR(mapX.at<float>(236, 322), 322.f, 1e-3);
  EXPECT_NEAR(mapY.at<float>(236, 322), 236.f, 1e-3);
}

}  // namespace
}  // namespace tesmo
