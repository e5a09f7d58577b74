// Camera files: readCameras and the checks and writers beside it.

#include "generator/utils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"
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

  // A K, D or R that is no matrix: the reader names the key and the entry, where OpenCV's own
  // reader asserts naming nothing.
  const auto parseError = [&](const std::string& yaml) {
    try {
      cv::FileStorage fs = Memory(yaml);
      readCameras(fs, /*ReadExtrinsics=*/true, cams);
    } catch (const cv::Exception& e) {
      return e.err;
    }
    return std::string("no error");
  };
  EXPECT_EQ(
      parseError("intrinsics:\n  cam_a: { K: [1, 2], model: pinhole }\nextrinsics:\n  cam_a: {}\n"),
      "Key \"K\" in \"intrinsics/cam_a\" must be a matrix, got [1, 2]");
  EXPECT_EQ(
      parseError("intrinsics:\n  cam_a: " + Intrinsics(1) +
                 "\nextrinsics:\n  cam_a: { R: { rows: a, cols: 3, dt: f, data: [] } }\n"),
      "Key \"R\" in \"extrinsics/cam_a\" must be a matrix, got a matrix whose \"rows\" is \"a\"");

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

TEST(ReadCameras, SeparateDocumentsRoundTrip) {
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

// Two pinhole cameras looking straight down from 3 m: cam_a calibrated inline, cam_b in a
// document of its own (written into `dir`).
std::string Calibration(const GenTempDir& dir) {
  const std::string intrinsics =
      "K: !!opencv-matrix { rows: 3, cols: 3, dt: d, data: [200., 0., 160., 0., 200., 120., 0., "
      "0., 1.] }\nD: !!opencv-matrix { rows: 1, cols: 5, dt: d, data: [0., 0., 0., 0., 0.] }\n"
      "frame_width: 320\nframe_height: 240\nmodel: pinhole\n";
  WriteFile(dir.file("cam_b.yml"), "%YAML:1.0\n---\n" + intrinsics);
  std::string inlineA;
  for (size_t at = 0; at < intrinsics.size();) {
    const size_t end = intrinsics.find('\n', at) + 1;
    inlineA += "    " + intrinsics.substr(at, end - at);
    at = end;
  }
  const std::string R =
      "R: !!opencv-matrix { rows: 3, cols: 3, dt: f, data: [1., 0., 0., 0., -1., 0., 0., 0., "
      "-1.] }\n";
  return "intrinsics:\n  cam_a:\n" + inlineA + "  cam_b: \"" + dir.file("cam_b.yml") +
         "\"\nextrinsics:\n  cam_a:\n    " + R + "    T: [1.5, 0., 3.]\n  cam_b:\n    " + R +
         "    T: [-1.5, 0., 3.]\n";
}

// Calibration(dir) with its first `from` replaced by `to`.
std::string CalibrationReplacing(const GenTempDir& dir, const std::string& from,
                                 const std::string& to) {
  std::string text = Calibration(dir);
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct RefusalCase {
  const char* what;
  std::string from;  // replaced by `to` in Calibration()
  std::string to;
  std::string message;  // the start of the refusal
  std::string other = "";  // text of dir/other.yml, when not empty
  double scale = 1.0;      // the frame source's
};

const std::string kBadR = "Key \"R\" in \"extrinsics/cam_a\" must be a ";
const std::string kBadK =
    "Key \"K\" in \"intrinsics/cam_a\" must be a 3x3 floating-point matrix of finite numbers with "
    "fx and fy above 0, got ";
// cam_a's K and its "data".
const std::string kK = "K: !!opencv-matrix { rows: 3, cols: 3, dt: d, ";
const std::string kKData = "data: [200., 0., 160., 0., 200., 120., 0., 0., 1.]";
const std::string kBadT = "Key \"T\" in \"extrinsics/cam_a\" must be 3 finite numbers";

TEST(CheckCalibrationNodes, RefusesWhatOnlyTheDocumentsShowNamingEntryAndKey) {
  GenTempDir dir;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string other = dir.file("other.yml");
  const std::string height = "Key \"frame_height\" in \"intrinsics/cam_a\" must be an integer in ";
  const RefusalCase cases[] = {
      {"frame height NaN", "frame_height: 240", "frame_height: .nan", height + "1..16384, got nan"},
      {"frame width missing", "    frame_width: 320\n", "",
       "Key \"frame_width\" in \"intrinsics/cam_a\" must be an integer in 1..16384, got nothing"},
      {"frame width in a document of its own", "cam_b.yml", "other.yml",
       "Key \"frame_width\" in \"intrinsics/cam_b\" must be an integer in 1..16384, got 0",
       "%YAML:1.0\n---\nframe_width: 0\nframe_height: 240\nmodel: pinhole\n"},
      {"R of 3 columns and 2 rows",
       "rows: 3, cols: 3, dt: f, data: [1., 0., 0., 0., -1., 0., 0., 0., -1.]",
       "rows: 2, cols: 3, dt: i, data: [1, 0, 0, 0, -1, 0]",
       kBadR + "3x3 rotation matrix, got [1, 0, 0; 0, -1, 0]"},
      {"R missing", "R: !!opencv-matrix", "S: !!opencv-matrix",
       kBadR + "3x3 rotation matrix, got nothing"},
      {"T with 2 elements", "T: [1.5, 0., 3.]", "T: [1.5, 0.]",
       kBadT + " of magnitude at most 1e+09, got [1.5, 0]"},
      {"T of 1e38", "T: [1.5, 0., 3.]", "T: [1e38, 0., 3.]", kBadT},
      {"T a map", "T: [1.5, 0., 3.]", "T: { x: 1 }",
       kBadT + " of magnitude at most 1e+09, got a map"},
      {"camera calibrated twice", "intrinsics:\n",
       "intrinsics:\n  cam_a: { frame_width: 320, frame_height: 240 }\n",
       "Key \"cam_a\" in \"intrinsics\" must be given once, got a second entry"},
      {"K with 8 numbers", kKData, "data: [200., 0., 160., 0., 200., 120., 0., 0.]",
       kBadK + "a 3x3 matrix of type \"d\" with 8 numbers in \"data\""},
      {"K with 10 numbers", kKData, "data: [200., 0., 160., 0., 200., 120., 0., 0., 1., 0.]",
       kBadK + "a 3x3 matrix of type \"d\" with 10 numbers in \"data\""},
      {"K of -3 rows", kK, "K: !!opencv-matrix { rows: -3, cols: 3, dt: d, ",
       kBadK + "a matrix whose \"rows\" is -3"},
      {"K of an empty type", kK, "K: !!opencv-matrix { rows: 3, cols: 3, dt: \"\", ",
       kBadK + "a matrix whose \"dt\" is \"\""},
      {"K of an unknown type", kK, "K: !!opencv-matrix { rows: 3, cols: 3, dt: q, ",
       kBadK + "a matrix whose \"dt\" is \"q\""},
      {"K of words", kKData, "data: [a, b, c, d, e, f, g, h, i]",
       kBadK + "a matrix whose \"data\" holds \"a\""},
      {"K a plain sequence", kK + kKData + " }", "K: [200., 0., 160., 0., 200., 120., 0., 0., 1.]",
       kBadK + "[200, 0, 160, 0, 200, 120, 0, 0, 1]"},
      {"K a text", kK + kKData + " }", "K: \"K\"", kBadK + "\"K\""},
      {"D a text in a document of its own", "cam_b.yml", "other.yml",
       "Key \"D\" in \"intrinsics/cam_b\" must be none, 4, 5, 8, 12 or 14 finite floating-point "
       "numbers (pinhole), got \"none\"; read from \"" +
           other + "\"",
       "%YAML:1.0\n---\n" + kK + kKData + " }\nD: none\nframe_width: 320\nframe_height: 240\n"},
      {"extrinsics document nested", "extrinsics:\n", "extrinsics: \"" + other + "\"\nunused:\n",
       "File \"" + other + "\" can't be read: it nests ",
       "%YAML:1.0\n---\nextrinsics: " + deep + "\n"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.other.empty()) WriteFile(other, c.other);
    const cv::FileStorage fs = Memory(CalibrationReplacing(dir, c.from, c.to));
    const CalibrationDocuments documents(fs, /*bExtrinsics=*/true);
    std::string why;
    EXPECT_FALSE(checkCalibrationNodes(documents, &why));
    EXPECT_EQ(why.rfind(c.message, 0), 0u) << why;
  }
  const cv::FileStorage fs = Memory(Calibration(dir));
  std::string why;
  EXPECT_TRUE(checkCalibrationNodes(CalibrationDocuments(fs, /*bExtrinsics=*/true), &why)) << why;
}

TEST(CheckCamera, RefusesCalibrationNoProjectionCanUseNamingEntryAndKey) {
  GenTempDir dir;
  const std::string kA = "data: [200., 0., 160., 0., 200., 120., 0., 0., 1.]";
  const std::string rA = "data: [1., 0., 0., 0., -1., 0., 0., 0., -1.]";
  const std::string badK = "Key \"K\" in \"intrinsics/cam_a\" must be a 3x3 floating-point matrix";
  const std::string badD = "Key \"D\" in \"intrinsics/cam_a\" must be none, 4, 5, 8, 12 or 14";
  const std::string bound =
      "Keys \"frame_width\" and \"frame_height\" in \"intrinsics/cam_a\" give ";
  const RefusalCase cases[] = {
      {"K with NaN", kA, "data: [.nan, 0., 160., 0., 200., 120., 0., 0., 1.]",
       badK + " of finite numbers with fx and fy above 0, got [nan, 0, 160; 0, 200, 120; 0, 0, 1]"},
      {"K of 1e300", kA, "data: [1e300, 0., 160., 0., 200., 120., 0., 0., 1.]", badK},
      {"K with zero focal length", kA, "data: [200., 0., 160., 0., 0., 120., 0., 0., 1.]", badK},
      {"K of 2x2", "rows: 3, cols: 3, dt: d, " + kA,
       "rows: 2, cols: 2, dt: d, data: [200., 0., 0., 200.]",
       badK + " of finite numbers with fx and fy above 0, got [200, 0; 0, 200]"},
      {"D with NaN", "data: [0., 0., 0., 0., 0.]", "data: [.nan, 0., 0., 0., 0.]", badD},
      {"D of 3", "cols: 5, dt: d, data: [0., 0., 0., 0., 0.]", "cols: 3, dt: d, data: [0., 0., 0.]",
       badD},
      {"frame over the byte bound", "frame_width: 320\n    frame_height: 240",
       "frame_width: 16000\n    frame_height: 16000", bound + "16000x16000 pixels"},
      {"frame over the side bound at its source's scale", "", "",
       bound + "19200x14400 pixels at the frame source's scale 60; the frame bound is 16384 pixels "
               "per side and 268435456 bytes of 8-bit BGR pixels",
       "", 60.0},
      {"R scaled", rA, "data: [1000., 0., 0., 0., -1000., 0., 0., 0., -1000.]",
       kBadR + "rotation matrix (R^T R within 0.01 of the identity, determinant above 0)"},
      {"R reflecting", rA, "data: [1., 0., 0., 0., 1., 0., 0., 0., -1.]", kBadR},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    const cv::FileStorage fs = Memory(CalibrationReplacing(dir, c.from, c.to));
    const CalibrationDocuments documents(fs, /*bExtrinsics=*/true);
    std::string why;
    ASSERT_TRUE(checkCalibrationNodes(documents, &why)) << why;
    std::vector<Camera> cams;
    ASSERT_TRUE(readCameras(documents, cams));
    ASSERT_EQ(Names(cams), (std::vector<std::string>{"cam_a", "cam_b"}));
    EXPECT_FALSE(checkCamera(cams[0], c.scale, &why));
    EXPECT_EQ(why.rfind(c.message, 0), 0u) << why;
    EXPECT_TRUE(checkCamera(cams[1], /*scale=*/1.0, &why)) << why;
  }
}

// What the reader would end the process for, or fail on, said instead.
TEST(CalibrationDocuments, ReadableSaysWhatTheReaderWouldStopFor) {
  GenTempDir dir;
  const std::string other = dir.file("other.yml");
  const std::string absent = dir.file("absent.yml");
  const RefusalCase cases[] = {
      {"no intrinsics", "intrinsics:\n", "intrinsic:\n", "no \"intrinsics\" map"},
      {"extrinsics document missing", "extrinsics:\n", "extrinsics: \"" + absent + "\"\nunused:\n",
       "can't open \"" + absent + "\""},
      {"extrinsics document unparsable", "extrinsics:\n",
       "extrinsics: \"" + other + "\"\nunused:\n",
       "can't open \"" + other + "\"", "extrinsics: [ {\n"},
      {"extrinsics document without extrinsics", "extrinsics:\n",
       "extrinsics: \"" + other + "\"\nunused:\n", "\"" + other + "\" has no \"extrinsics\" map",
       "%YAML:1.0\n---\nx: 1\n"},
      {"no extrinsics", "extrinsics:\n", "extrinsic:\n", "no \"extrinsics\" map"},
      {"more intrinsics than poses", "intrinsics:\n", "intrinsics:\n  cam_c: {}\n",
       "mismatch intrinsics & extrinsics num"},
      {"intrinsics document missing", dir.file("cam_b.yml"), absent,
       "can't open \"" + absent + "\""},
      {"intrinsics document a folder", dir.file("cam_b.yml"), dir.str(),
       "can't open \"" + dir.str() + "\""},
      {"intrinsics of another kind", "cam_b: \"" + dir.file("cam_b.yml") + "\"", "cam_b: [1, 2]",
       "no intrinsics for camera \"cam_b\""},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.other.empty()) WriteFile(other, c.other);
    const cv::FileStorage fs = Memory(CalibrationReplacing(dir, c.from, c.to));
    const CalibrationDocuments documents(fs, /*bExtrinsics=*/true, /*bRegularFilesOnly=*/true);
    std::string why;
    EXPECT_FALSE(documents.readable(&why));
    EXPECT_EQ(why, c.message);
  }
  const cv::FileStorage fs = Memory(Calibration(dir));
  std::string why;
  EXPECT_TRUE(CalibrationDocuments(fs, /*bExtrinsics=*/true).readable(&why)) << why;
  // Without extrinsics only the intrinsics count.
  const cv::FileStorage noPoses =
      Memory(CalibrationReplacing(dir, "extrinsics:\n", "extrinsic:\n"));
  EXPECT_TRUE(CalibrationDocuments(noPoses, /*bExtrinsics=*/false).readable(&why)) << why;
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
