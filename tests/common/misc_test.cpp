#include "common/misc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/temp_dir.h"
#include "tests/yaml.h"

namespace {

using tesmo::testing_util::Memory;

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

}  // namespace
