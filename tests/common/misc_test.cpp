#include "common/misc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/process.h"
#include "tests/temp_dir.h"
#include "tests/thrown_text.h"
#include "tests/yaml.h"

namespace {

using tesmo::testing_util::Memory;
using tesmo::testing_util::TempDir;
using tesmo::testing_util::ThrownText;
using tesmo::testing_util::waitFor;

bool Flag(const std::string& value, bool def) {
  cv::FileStorage fs = Memory("v: " + value + "\n");
  bool result = !def;
  cv::read_bool(fs["v"], result, def);
  return result;
}

TEST(ReadBool, Words) {
  for (const char* w : {"y", "Y", "yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"}) {
    EXPECT_TRUE(Flag(w, false)) << w;
  }
  for (const char* w : {"n", "N", "no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"}) {
    EXPECT_FALSE(Flag(std::string("\"") + w + "\"", true)) << w;
  }
  // Only the listed spellings count; others fall back to the default.
  EXPECT_TRUE(Flag("tRUE", true));
  EXPECT_FALSE(Flag("tRUE", false));
  EXPECT_TRUE(Flag("\"yes please\"", false));
}

TEST(ReadBool, NumbersAndAbsentKeys) {
  EXPECT_TRUE(Flag("3", false));
  EXPECT_FALSE(Flag("0", true));
  EXPECT_FALSE(Flag("-1", true));
  // A real number is not an integer: default.
  EXPECT_TRUE(Flag("1.0", true));
  EXPECT_FALSE(Flag("1.0", false));
  cv::FileStorage fs = Memory("v: 1\n");
  bool value = true;
  cv::read_bool(fs["absent"], value, false);
  EXPECT_FALSE(value);
}

TEST(IsEnabled, Sections) {
  cv::FileStorage fs = Memory(
      "a: { enabled: 0 }\n"
      "b: { enabled: 3 }\n"
      "c: { enabled: \"off\" }\n"
      "d: { enabled: \"yes please\" }\n"
      "e: { enabled: maybe }\n"
      "f: { enabled: 1.0 }\n"
      "g: { other: 1 }\n");
  EXPECT_FALSE(isEnabled(fs["a"]));
  EXPECT_TRUE(isEnabled(fs["b"]));
  EXPECT_FALSE(isEnabled(fs["c"]));
  EXPECT_TRUE(isEnabled(fs["d"]));
  EXPECT_FALSE(isEnabled(fs["e"]));
  EXPECT_FALSE(isEnabled(fs["f"]));
  EXPECT_TRUE(isEnabled(fs["g"]));
}

// Reads key "v" of a one-key section into `value` (within `range` if given); returns the value
// read, "absent" or the error text.
template <typename T, typename... Range>
std::string ReadAs(const std::string& yaml, T value, Range... range) {
  cv::FileStorage fs = Memory("s: { " + yaml + " }\n");
  try {
    if (!tesmo::readKey(fs["s"], "s", "v", value, range...)) return "absent";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(ReadKey, TypesRangesAndMessages) {
  const std::string kInt = "Key \"v\" in \"s\" must be an integer in 1..1024, got ";
  const std::string kReal = "Key \"v\" in \"s\" must be a finite number in 0..10, got ";
  const struct {
    const char* yaml;
    std::string asInt, asDouble;  // read as int in 1..1024 and as double in 0..10
  } cases[] = {
      {"v: 5", "5", "5"},
      {"v: 8.0", "8", "8"},
      {"v: \"5\"", kInt + "\"5\"", kReal + "\"5\""},
      {"v: 2.5", kInt + "2.5", "2.5"},
      {"v: 5000", kInt + "5000", kReal + "5000"},
      {"v: .nan", kInt + "nan", kReal + "nan"},
      {"w: 1", "absent", "absent"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadAs(c.yaml, 0, 1, 1024), c.asInt) << c.yaml;
    EXPECT_EQ(ReadAs(c.yaml, 0.0, 0.0, 10.0), c.asDouble) << c.yaml;
  }
  // A text takes only a string; unbounded readers name only the type; a float refuses what
  // overflows it.
  EXPECT_EQ(ReadAs("v: \"5\"", std::string()), "5");
  EXPECT_EQ(ReadAs("v: 8.0", std::string()), "Key \"v\" in \"s\" must be a text, got 8");
  EXPECT_EQ(ReadAs("w: 1", std::string()), "absent");
  EXPECT_EQ(ReadAs("v: {}", 0), "Key \"v\" in \"s\" must be an integer, got a map");
  EXPECT_EQ(ReadAs("v: 1e300", 0.f),
            "Key \"v\" in \"s\" must be a finite number, got 1.0000000000000001e+300");
  EXPECT_EQ(ReadAs("v: -1e300", 0.0), "-1e+300");
}

// Documents are read unless they nest deeper than the readers allow, whatever their strings and
// comments hold and however many elements they have; deep documents, whatever hides the nesting
// (compression included), and documents too long or endless are refused naming the file.
TEST(OpenDocument, RefusesNestingOnlyWhereItCouldBeDeep) {
  tesmo::testing_util::TempDir dir;
  const auto repeat = [](const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
  };
  const auto nested = [](int levels) {
    return std::string(levels, '[') + std::string(levels, ']');
  };
  const std::string deep = nested(100000);
  cv::RNG rng(7);
  std::string noise;  // compresses to some 900 kB, thousands of bytes "[", "{" or "<" by chance
  for (int line = 0; line < 30000; ++line) {
    noise += "k" + std::to_string(line) + ": \"";
    for (int i = 0; i < 64; ++i) noise += "0123456789abcdef"[rng.uniform(0, 16)];
    noise += "\"\n";
  }
  // A calibration that keeps the poses of 410 views: thousands of sibling elements in XML.
  cv::FileStorage poses(".xml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  const std::vector<cv::Mat> views(410, cv::Mat::zeros(3, 1, CV_64F));
  poses << "K" << cv::Mat::eye(3, 3, CV_64F) << "rvecs" << views << "tvecs" << views;
  const std::string nests = "it nests ";
  const struct {
    const char* name;  // in the test's directory unless absolute
    std::string text;
    std::string expected;  // "read", or the start of what follows "can't be read: "
  } cases[] = {
      {"key.json", "{\"a\\\": " + deep + "}", nests},
      {"elements.xml",
       "<?xml version=\"1.0\"?>\n<opencv_storage>" + repeat("<a>", 100000) + "1" +
           repeat("</a>", 100000) + "</opencv_storage>\n",
       nests},
      {"deep.yml.gz", "%YAML:1.0\nx: " + deep + "\n", nests},
      {"dashes.yml", "%YAML:1.0\nx:\n  " + repeat("- ", 100000) + "1\n", nests},
      {"over.yml", "%YAML:1.0\nx: " + nested(4096) + "\n",
       nests + "4097 levels deep, more than 4096"},
      {"counted.yml", "%YAML:1.0\nx: " + nested(2000000) + "\n", "it may nest 2000000 levels"},
      {"/dev/zero", "", "it is longer than 64 MiB"},
      {"long.yml.gz", "%YAML:1.0\n#" + std::string(65 << 20, ' ') + "\n", "it is longer than"},
      {"limit.yml", "%YAML:1.0\nx: " + nested(4095) + "\n", "read"},
      {"poses.xml", poses.releaseAndGetString(), "read"},
      {"comments.yml", "%YAML:1.0\n" + repeat("# row 7: [ab] <cd> {e} [f]\n", 1500) + "a: 1\n",
       "read"},
      {"strings.json", "{\"a\": [" + repeat("\"[{<[{<\", ", 1000) + "\"\"]}", "read"},
      {"points.yml", "%YAML:1.0\npoints: [" + repeat("[1, 2], ", 3000) + "[1, 2]]\n", "read"},
      {"noise.yml.gz", "%YAML:1.0\n" + noise, "read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.name[0] == '/' ? c.name : dir / c.name;
    const bool bGzip = std::string(c.name).find(".gz") != std::string::npos;
    if (!c.text.empty()) {
      gzFile out = gzopen(path.c_str(), bGzip ? "wb" : "wbT");  // T: written as it stands
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(gzwrite(out, c.text.data(), static_cast<unsigned>(c.text.size())),
                static_cast<int>(c.text.size()));
      gzclose(out);
    }
    cv::FileStorage fs;
    std::string got;
    try {
      got = tesmo::openDocument(fs, path) && !fs.root().empty() ? "read" : "not read";
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    const std::string refused = "File \"" + path + "\" can't be read: ";
    if (got.rfind(refused, 0) == 0) got = got.substr(refused.size());
    EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << got;
  }
}

// `text` gzip-compressed at `level` (0: stored blocks, where the text stands legible).
std::string Gzip(const std::string& text, int level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// What openDocument says of `path`: "read", or what follows "can't be read: " in its refusal.
std::string Opened(const std::string& path) {
  cv::FileStorage fs;
  bool bRead = false;
  std::string refusal;
  try {
    refusal = ThrownText([&] { bRead = tesmo::openDocument(fs, path); });
  } catch (const cv::Exception& e) {
    return e.what();
  }
  const std::string prefix = "File \"" + path + "\" can't be read: ";
  if (refusal.empty()) return bRead && !fs.root().empty() ? "read" : "not read";
  return refusal.rfind(prefix, 0) == 0 ? refusal.substr(prefix.size()) : refusal;
}

void OnSignal(int) {}

// A signal whose handler is installed without SA_RESTART (as a caller that ends its start-up on
// Ctrl-C installs one) ends a blocked open or read of a FIFO at once: the document fails, named,
// and is not opened again behind the caller's back.
TEST(OpenDocument, InterruptedOpenOrReadFailsNamingTheFile) {
  TempDir dir;
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const struct {
    const char* name;
    bool bWriter;  // a writer holds the FIFO open and writes nothing: the read blocks
    std::string expected;
  } cases[] = {
      {"nobody.yml", false, "interrupted while opening it"},
      {"silent.yml", true, "interrupted while reading it"},
      {"silent.yml.gz", true, "interrupted while reading it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int writer = c.bWriter ? ::open(path.c_str(), O_RDWR) : -1;
    std::atomic<bool> bDone{false};
    std::string got;
    std::thread reader([&] {
      got = Opened(path);
      bDone = true;
    });
    // Until the reader has failed: a signal that comes before it blocks changes nothing.
    const auto interrupted = [&] {
      pthread_kill(reader.native_handle(), SIGUSR1);
      return bDone.load();
    };
    EXPECT_TRUE(waitFor(interrupted, std::chrono::seconds(10)));
    if (!bDone) ::close(::open(path.c_str(), O_RDWR | O_NONBLOCK));  // lets a blocked open end
    if (writer >= 0) ::close(writer);
    reader.join();
    EXPECT_EQ(got, c.expected);
  }
  sigaction(SIGUSR1, &previous, nullptr);
}

// A document is refused naming the file when it is empty, when its compressed data does not end
// as it should (gzread takes a cut stream for a clean end), or when it holds as a number an
// integer that fits no int (OpenCV's parsers keep it modulo 2^32): the refusal names its line and
// key. Digits in strings and comments, and documents of OpenCV's own writers, are read.
TEST(OpenDocument, RefusesEmptyCutShortAndWideIntegers) {
  TempDir dir;
  const std::string yaml = "%YAML:1.0\n---\n";
  const std::string intrinsics =
      yaml +
      "K: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 500., 0., 480., 0., "
      "500., 32., 0., 0., 1. ]\nframe_width: 960\nframe_height: 640\nmodel: pinhole\n";
  const std::string stored = Gzip(intrinsics, 0), deflated = Gzip(intrinsics, 9);
  const std::string height = "frame_height: 64";
  std::string corrupt = deflated;
  corrupt[corrupt.size() - 6] ^= 0x55;  // in its checksum
  const std::string cut = "its compressed data is cut short (unexpected end of file)";
  const struct {
    const char* name;
    std::string bytes;
    std::string expected;  // "read", or what follows "can't be read: "
  } cases[] = {
      {"empty.yml", "", "it is empty"},
      {"empty.yml.gz", Gzip("", 9), "it is empty"},
      {"height.yml.gz", stored.substr(0, stored.find(height) + height.size()), cut},
      {"half.yml.gz", deflated.substr(0, deflated.size() / 2), cut},
      {"trailer.yml.gz", deflated.substr(0, deflated.size() - 3), cut},
      {"corrupt.yml.gz", corrupt, "incorrect data check"},
      {"whole.yml.gz", stored, "read"},
      {"view.yml",
       yaml + "tesmo_gen:\n  - name: a\n  - name: b\n    view_size: [ 4294967996, 900 ]\n",
       "the number 4294967996 (line 6, key \"view_size\" in \"tesmo_gen/1\") does not fit"},
      {"width.xml",
       "<?xml version=\"1.0\"?>\n<opencv_storage>\n<frame_width>4294968256</frame_width>\n"
       "</opencv_storage>\n",
       "the number 4294968256 (line 3, key \"frame_width\") does not fit"},
      {"data.json",
       "{\n \"K\": { \"rows\": 1, \"cols\": 2, \"dt\": \"i\",\n  \"data\": [1, -2147483649] }\n}\n",
       "the number -2147483649 (line 3, key \"data\" in \"K\") does not fit"},
      {"points.yml", yaml + "points: [[1, 2], [3, [4, 0x80000000]]]\n",
       "the number 0x80000000 (line 3, key \"points\") does not fit"},
      {"saturated.yml", yaml + "dev: 99999999999999999999\n",
       "the number 99999999999999999999 (line 3) does not fit"},
      {"fits.yml",
       yaml + "# serial 12345678901\nlimits: [2147483647, -2147483648, 0x7fffffff]\n"
              "real: 12345678901.5\nnote: \"/rec/20240101123456 99999999999999999999\"\ndev: -1\n",
       "read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(dir / c.name, std::ios::binary) << c.bytes;
    EXPECT_EQ(Opened(dir / c.name), c.expected);
  }
  // A calibration as OpenCV's writers make it, with the views of its extras, in every format.
  cv::Mat views(410, 6, CV_64F), points(410, 54, CV_32FC2), ints(1000, 100, CV_32S);
  cv::randu(views, -3, 3);
  cv::randu(points, 0, 960);
  cv::randu(ints, INT_MIN, INT_MAX);
  for (const char* name : {"calib.yml.gz", "calib.xml", "calib.json", "calib.xml.gz"}) {
    SCOPED_TRACE(name);
    cv::FileStorage out(dir / name, cv::FileStorage::WRITE);
    out << "camera_matrix" << cv::Mat::eye(3, 3, CV_64F) << "image_width" << 960
        << "extrinsic_parameters" << views << "image_points" << points << "ints" << ints << "limits"
        << std::vector<int>{INT_MAX, INT_MIN};
    out.release();
    EXPECT_EQ(Opened(dir / name), "read");
  }
}

}  // namespace
