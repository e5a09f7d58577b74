#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"
#include "generator/utils.h"
#include "streamer/frame_streams.h"
#include "tests/generator/generator_test_util.h"

namespace tesmo {
namespace {

using testing_util::GenTempDir;
using testing_util::Memory;

std::string Intrinsics(double fx, const std::string& model = "fisheye") {
  return "{ frame_width: 640, frame_height: 480, model: " + model +
         ", K: !!opencv-matrix { rows: 3, cols: 3, dt: d, data: [" + std::to_string(fx) +
         ", 0, 320, 0, " + std::to_string(fx) +
         ", 240, 0, 0, 1] }, D: !!opencv-matrix { rows: 4, cols: 1, dt: d, data: [0.1, 0.01, 0, 0] "
         "} }";
}

std::string Extrinsics(float tx) {
  return "{ R: !!opencv-matrix { rows: 3, cols: 3, dt: d, data: [0, -1, 0, 1, 0, 0, 0, 0, 1] }, "
         "T: [" +
         std::to_string(tx) + ", 2, 3] }";
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<std::string> Names(const std::vector<Camera>& cams) {
  std::vector<std::string> names;
  for (const Camera& c : cams) names.push_back(c.name);
  return names;
}

TEST(ReadCameras, SortsByteWiseAndReadsEveryField) {
  cv::FileStorage fs = Memory(
      "intrinsics:\n  cam_b: " + Intrinsics(300) + "\n  cam_a: " + Intrinsics(200, "pinhole") +
      "\n  Cam: " + Intrinsics(100) + "\nextrinsics:\n  cam_b: " + Extrinsics(1) +
      "\n  cam_a: " + Extrinsics(5) + "\n  Cam: {}\n");
  std::vector<Camera> cams;
  EXPECT_TRUE(readCameras(fs, /*ReadExtrinsics=*/true, cams));
  EXPECT_EQ(Names(cams), (std::vector<std::string>{"Cam", "cam_a", "cam_b"}));

  const Camera& a = cams[1];
  EXPECT_EQ(a.model, Pinhole);
  EXPECT_EQ(a.frameSize, cv::Size(640, 480));
  EXPECT_EQ(a.K.type(), CV_64F);
  EXPECT_DOUBLE_EQ(a.K.at<double>(0, 0), 200);
  EXPECT_EQ(a.D.total(), 4u);
  EXPECT_EQ(a.poseW2C.R(0, 1), -1.f);
  EXPECT_EQ(a.poseW2C.T, cv::Vec3f(5, 2, 3));
  EXPECT_EQ(a.alpha, 1.0);
  EXPECT_EQ(cams[2].model, Fisheye);
  // An extrinsics entry without "R" and "T" gives a zero rotation and translation.
  EXPECT_EQ(cams[0].poseW2C.R, cv::Matx33f::zeros());
  EXPECT_EQ(cams[0].poseW2C.T, cv::Vec3f(0, 0, 0));
}

TEST(ReadCameras, MergesIntoExistingListKeepingGainAndOffset) {
  std::vector<Camera> cams(2);
  cams[0].name = "cam_z";
  cams[1].name = "cam_a";
  cams[1].alpha = 0.8;
  cams[1].beta = 4.0;
  const cv::Mat oldK = cams[1].K;
  cv::FileStorage fs =
      Memory("intrinsics:\n  cam_b: " + Intrinsics(300) + "\n  cam_a: " + Intrinsics(200) +
             "\nextrinsics:\n  cam_b: " + Extrinsics(1) + "\n  cam_a: " + Extrinsics(7) + "\n");
  readCameras(fs, /*ReadExtrinsics=*/true, cams);
  ASSERT_EQ(Names(cams), (std::vector<std::string>{"cam_a", "cam_b", "cam_z"}));
  EXPECT_EQ(cams[0].alpha, 0.8);
  EXPECT_EQ(cams[0].beta, 4.0);
  EXPECT_DOUBLE_EQ(cams[0].K.at<double>(0, 0), 200);
  EXPECT_EQ(cams[0].poseW2C.T, cv::Vec3f(7, 2, 3));
  EXPECT_TRUE(oldK.empty());

  // Without extrinsics the pose of a known camera stays and a new camera gets the identity.
  cv::FileStorage fs2 =
      Memory("intrinsics:\n  cam_a: " + Intrinsics(250) + "\n  cam_c: " + Intrinsics(260) + "\n");
  readCameras(fs2, /*ReadExtrinsics=*/false, cams);
  ASSERT_EQ(Names(cams), (std::vector<std::string>{"cam_a", "cam_b", "cam_c", "cam_z"}));
  EXPECT_DOUBLE_EQ(cams[0].K.at<double>(0, 0), 250);
  EXPECT_EQ(cams[0].poseW2C.T, cv::Vec3f(7, 2, 3));
  EXPECT_EQ(cams[2].poseW2C.R, cv::Matx33f::eye());
  EXPECT_EQ(cams[2].poseW2C.T, cv::Vec3f(0, 0, 0));

  // An empty intrinsics map (with an empty extrinsics map) changes nothing.
  cv::FileStorage fs3 = Memory("intrinsics: {}\nextrinsics: {}\n");
  EXPECT_TRUE(readCameras(fs3, /*ReadExtrinsics=*/true, cams));
  EXPECT_EQ(cams.size(), 4u);
}

TEST(ReadCameras, RaisesParseErrorsNamingTheCamera) {
  std::vector<Camera> cams;
  cv::FileStorage wrongName =
      Memory("intrinsics:\n  cam_a: " + Intrinsics(1) + "\n  cam_c: " + Intrinsics(1) +
             "\nextrinsics:\n  cam_a: " + Extrinsics(1) + "\n  cam_b: " + Extrinsics(1) + "\n");
  try {
    readCameras(wrongName, /*ReadExtrinsics=*/true, cams);
    FAIL() << "no error";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsParseError);
    EXPECT_EQ(e.err, "Wrong extrinsics node for camera \"cam_c\"");
  }
  // The camera before the failing one is kept.
  EXPECT_EQ(Names(cams), (std::vector<std::string>{"cam_a"}));

  cams.clear();
  cv::FileStorage capital = Memory("intrinsics:\n  cam_a: " + Intrinsics(1, "Pinhole") + "\n");
  try {
    readCameras(capital, /*ReadExtrinsics=*/false, cams);
    FAIL() << "no error";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err, "Wrong intrinsics camera model for camera \"cam_a\"");
  }
  cv::FileStorage notMap = Memory("intrinsics:\n  cam_a: [1, 2]\n");
  EXPECT_DEATH(readCameras(notMap, /*ReadExtrinsics=*/false, cams),
               "Check failed: 0 Can't find camera intrinsics with namecam_a");

  Camera cam;
  cam.name = "solo";
  try {
    cam.readIntrinsics(cv::FileNode());
    FAIL() << "no error";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err, "Wrong intrinsics node for camera \"solo\"");
  }
}

TEST(ReadCameras, FatalChecksOnMissingDocumentsAndNodes) {
  std::vector<Camera> cams;
  EXPECT_DEATH(readCameras(std::string("/nonexistent/cams.yml"), false, cams),
               "Check failed: FSCommon.isOpened\\(\\) Can't open /nonexistent/cams.yml");
  EXPECT_DEATH(readCameras(cv::FileStorage(), false, cams),
               "Check failed: FSCommon.isOpened\\(\\) File isn't opened");
  EXPECT_DEATH(
      readCameras(Memory("x: 1\n"), false, cams),
      "Check failed: FSCommon\\[\"intrinsics\"\\].isMap\\(\\) Can't find \"intrinsics\" node");
  const std::string one = "intrinsics:\n  cam_a: " + Intrinsics(1) + "\n  cam_b: " + Intrinsics(1);
  EXPECT_DEATH(readCameras(Memory(one + "\n"), true, cams), "Can't find \"extrinsics\" node");
  EXPECT_DEATH(
      readCameras(Memory(one + "\nextrinsics:\n  cam_a: " + Extrinsics(1) + "\n"), true, cams),
      "Check failed: !bReadExtrinsics \\|\\| IntrinsicsNode.size\\(\\) == "
      "ExtrinsicsNode.size\\(\\) Mismatch intrinsics & extrinsics num");
  EXPECT_DEATH(readCameras(Memory(one + "\nextrinsics: /nonexistent/ext.yml\n"), true, cams),
               "Check failed: FSExtrinsics.isOpened\\(\\) Can't open /nonexistent/ext.yml");
  EXPECT_DEATH(readCameras(Memory("intrinsics:\n  cam_a: /nonexistent/a.yml\n"), false, cams),
               "Check failed: FSIntrinsics.isOpened\\(\\) Can't open intrinsics file "
               "\"/nonexistent/a.yml\"");
}

TEST(CameraFiles, SeparateDocumentsRoundTrip) {
  GenTempDir dir;
  std::vector<Camera> cams;
  readCameras(Memory("intrinsics:\n  cam_b: " + Intrinsics(300) + "\n  cam_a: " +
                     Intrinsics(200, "pinhole") + "\nextrinsics:\n  cam_b: " + Extrinsics(1) +
                     "\n  cam_a: " + Extrinsics(5) + "\n"),
              true, cams);
  cams[0].poseW2C.T = cv::Vec3f(0.125f, -3.5f, 1e-3f);

  // Extrinsics written by writeExtrinsics serve as the separate extrinsics document.
  {
    cv::FileStorage out(dir.file("ext.yml"), cv::FileStorage::WRITE);
    writeExtrinsics(out, cams);
  }
  // Intrinsics written to their own documents serve as string entries.
  cams[0].writeIntrinsics(dir.file("a.json"));
  cams[1].writeIntrinsics(dir.file("b.yml"));
  WriteFile(dir.file("main.yml"), "%YAML:1.0\n---\nintrinsics:\n  cam_a: \"" + dir.file("a.json") +
                                      "\"\n  cam_b: \"" + dir.file("b.yml") + "\"\nextrinsics: \"" +
                                      dir.file("ext.yml") + "\"\n");
  std::vector<Camera> back;
  readCameras(dir.file("main.yml"), true, back);
  ASSERT_EQ(Names(back), Names(cams));
  for (size_t i = 0; i < cams.size(); ++i) {
    EXPECT_EQ(back[i].model, cams[i].model);
    EXPECT_EQ(back[i].frameSize, cams[i].frameSize);
    EXPECT_EQ(cv::norm(back[i].K, cams[i].K, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(back[i].D, cams[i].D, cv::NORM_INF), 0.0);
    EXPECT_EQ(back[i].poseW2C.R, cams[i].poseW2C.R);
    EXPECT_EQ(back[i].poseW2C.T, cams[i].poseW2C.T);
  }

  try {
    cams[0].writeIntrinsics("/nonexistent/dir/x.yml");
    FAIL() << "no error";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsParseError);
    EXPECT_EQ(e.err, "Can't open file \"/nonexistent/dir/x.yml\"");
  }
}

TEST(ApplyScaleToIntrinsics, ScalesSizeAndEveryEntryOfK) {
  GenTempDir dir;
  cv::imwrite(dir.file("f.png"), cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)));
  WriteFile(dir.file("streams.yml"),
            "%YAML:1.0\n---\ncamera_streams:\n  a: { type: img, filename: \"" + dir.file("f.png") +
                "\", scale: 0.5 }\n  b: { type: img, filename: \"" + dir.file("f.png") + "\" }\n");
  const FrameStreams streams(dir.file("streams.yml"));

  std::vector<Camera> cams(2);
  cams[0].frameSize = cv::Size(1280, 721);
  cams[0].K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1000, 360, 0, 0, 1);
  cams[1].frameSize = cv::Size(1280, 720);
  cams[1].K = cams[0].K;
  const Camera copy = cams[0];
  applyScaleToIntrinsics(cams, streams);

  EXPECT_EQ(cams[0].frameSize, cv::Size(640, 361));
  ASSERT_EQ(cams[0].K.type(), CV_32F);
  EXPECT_FLOAT_EQ(cams[0].K.at<float>(0, 0), 500.f);
  EXPECT_FLOAT_EQ(cams[0].K.at<float>(0, 2), 320.f);
  EXPECT_FLOAT_EQ(cams[0].K.at<float>(2, 2), 0.5f);
  // The copy made before scaling keeps its own K; scale 1.0 leaves the camera untouched.
  EXPECT_DOUBLE_EQ(copy.K.at<double>(0, 0), 1000);
  EXPECT_EQ(cams[1].frameSize, cv::Size(1280, 720));
  EXPECT_EQ(cams[1].K.type(), CV_64F);

  cams.pop_back();
  EXPECT_DEATH(applyScaleToIntrinsics(cams, streams),
               "Check failed: cameras.size\\(\\) == streams.size\\(\\)");
}

}  // namespace
}  // namespace tesmo
