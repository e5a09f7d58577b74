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

}  // namespace

namespace {

// Reads key "v" of a one-key section as int (range 1..1024), double (range 0..10), float and
// text; returns the value read or the error text.
struct KeyCase {
  const char* yaml;
  const char* asInt;
  const char* asDouble;
  const char* asText;
};

template <typename T, typename... Range>
std::string ReadAs(const std::string& yaml, T value, Range... range) {
  cv::FileStorage fs = Parse("s: { " + yaml + " }\n");
  try {
    if (!tesmo::readKey(fs["s"], "s", "v", value, range...)) {
      return "absent";
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(ReadKey, TypesRangesAndMessages) {
  const KeyCase cases[] = {
      {"v: 5", "5", "5", "Key \"v\" in \"s\" must be a text, got 5"},
      {"v: 8.0", "8", "8", "Key \"v\" in \"s\" must be a text, got 8"},
      {"v: \"5\"", "Key \"v\" in \"s\" must be an integer in 1..1024, got \"5\"",
       "Key \"v\" in \"s\" must be a finite number in 0..10, got \"5\"", "5"},
      {"v: 2.5", "Key \"v\" in \"s\" must be an integer in 1..1024, got 2.5", "2.5",
       "Key \"v\" in \"s\" must be a text, got 2.5"},
      {"v: 5000", "Key \"v\" in \"s\" must be an integer in 1..1024, got 5000",
       "Key \"v\" in \"s\" must be a finite number in 0..10, got 5000",
       "Key \"v\" in \"s\" must be a text, got 5000"},
      {"v: .nan", "Key \"v\" in \"s\" must be an integer in 1..1024, got nan",
       "Key \"v\" in \"s\" must be a finite number in 0..10, got nan",
       "Key \"v\" in \"s\" must be a text, got nan"},
      {"v: [1, 2]", "Key \"v\" in \"s\" must be an integer in 1..1024, got a sequence",
       "Key \"v\" in \"s\" must be a finite number in 0..10, got a sequence",
       "Key \"v\" in \"s\" must be a text, got a sequence"},
      {"w: 1", "absent", "absent", "absent"},
  };
  for (const KeyCase& c : cases) {
    EXPECT_EQ(ReadAs(c.yaml, 0, 1, 1024), c.asInt) << c.yaml;
    EXPECT_EQ(ReadAs(c.yaml, 0.0, 0.0, 10.0), c.asDouble) << c.yaml;
    EXPECT_EQ(ReadAs(c.yaml, std::string()), c.asText) << c.yaml;
  }
  // Unbounded readers name only the type; a float refuses what overflows it.
  EXPECT_EQ(ReadAs("v: {}", 0), "Key \"v\" in \"s\" must be an integer, got a map");
  EXPECT_EQ(ReadAs("v: 1e300", 0.f),
            "Key \"v\" in \"s\" must be a finite number, got 1.0000000000000001e+300");
  EXPECT_EQ(ReadAs("v: -1e300", 0.0), "-1e+300");
}

}  // namespace
