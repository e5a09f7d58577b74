#include "common/misc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/temp_dir.h"

namespace {

cv::FileStorage Parse(const std::string& yaml) {
  return cv::FileStorage("%YAML:1.0\n" + yaml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
}

bool Flag(const std::string& value, bool def) {
  cv::FileStorage fs = Parse("v: " + value + "\n");
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
  cv::FileStorage fs = Parse("v: 1\n");
  bool value = true;
  cv::read_bool(fs["absent"], value, false);
  EXPECT_FALSE(value);
}

TEST(IsEnabled, Sections) {
  cv::FileStorage fs = Parse(
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
  cv::FileStorage fs = Parse("s: { " + yaml + " }\n");
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

// Documents are read only when they cannot nest deep enough to overflow OpenCV's recursive
// readers, whatever hides the nesting (strings, comments, compression); documents of many
// brackets in all, or compressed into bytes that look like brackets, are read.
TEST(OpenDocument, RefusesNestingOnlyWhereItCouldBeDeep) {
  tesmo::testing_util::TempDir dir;
  const auto repeat = [](const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  cv::RNG rng(7);
  std::string noise;  // compresses to some 900 kB, thousands of bytes "[", "{" or "<" by chance
  for (int line = 0; line < 30000; ++line) {
    noise += "k" + std::to_string(line) + ": \"";
    for (int i = 0; i < 64; ++i) noise += "0123456789abcdef"[rng.uniform(0, 16)];
    noise += "\"\n";
  }
  const struct {
    const char* name;
    std::string text;
    bool bRefused;
  } cases[] = {
      {"key.json", "{\"a\\\": " + deep + "}", true},
      {"elements.xml", "<?xml version=\"1.0\"?>\n<opencv_storage>" + repeat("<a>", 5000) + "1" +
                           repeat("</a>", 5000) + "</opencv_storage>\n",
       true},
      {"deep.yml.gz", "%YAML:1.0\nx: " + deep + "\n", true},
      {"points.yml", "%YAML:1.0\npoints: [" + repeat("[1, 2], ", 3000) + "[1, 2]]\n", false},
      {"noise.yml.gz", "%YAML:1.0\n" + noise, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    const bool bGzip = std::string(c.name).find(".gz") != std::string::npos;
    gzFile out = gzopen(path.c_str(), bGzip ? "wb" : "wbT");  // T: written as it stands
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(gzwrite(out, c.text.data(), static_cast<unsigned>(c.text.size())),
              static_cast<int>(c.text.size()));
    gzclose(out);
    cv::FileStorage fs;
    std::string got;
    try {
      got = tesmo::openDocument(fs, path) && !fs.root().empty() ? "read" : "not read";
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    const std::string refusal = "File \"" + path + "\" can't be read: it may nest ";
    EXPECT_EQ(got.rfind(refusal, 0) == 0 ? "refused" : got, c.bRefused ? "refused" : "read") << got;
  }
}

}  // namespace
