#include "common/misc.h"

#include <gtest/gtest.h>

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
