#include "common/misc.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

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

}  // namespace
