#include "streamer/util.h"

#include <ctime>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <gtest/gtest.h>

namespace tesmo {
namespace {

using Words = std::vector<std::string>;

TEST(Split, SeparatorsAndBlanks) {
  EXPECT_EQ(Split("a,,b,", ','), (Words{"a", "b"}));
  EXPECT_EQ(Split("key=1:x y", ':'), (Words{"key=1", "x", "y"}));
  EXPECT_EQ(Split(",a\tb\nc", ','), (Words{"a", "b", "c"}));
  EXPECT_TRUE(Split("", ',').empty());
  EXPECT_TRUE(Split("  \t ", ',').empty());
  EXPECT_TRUE(Split(":::", ':').empty());
}

TEST(Join, Counts) {
  const char* words[] = {"a", "bb", "c"};
  EXPECT_EQ(Join(3, words, ", "), "a, bb, c");
  EXPECT_EQ(Join(1, words, ", "), "a");
  EXPECT_EQ(Join(0, words, ", "), "");
  EXPECT_EQ(Join(-2, words, ", "), "");
}

TEST(Timestamps, TruncateTowardZero) {
  using TP = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
  EXPECT_EQ((raw_timestamp<TP>(TP(std::chrono::microseconds(1999)))), 1);
  EXPECT_EQ((raw_timestamp<TP>(TP(std::chrono::microseconds(-1999)))), -1);
  EXPECT_EQ((raw_timestamp<TP, std::chrono::microseconds>(TP(std::chrono::microseconds(-1999)))),
            -1999);
}

TEST(Timestamps, ClocksCountFromTheirEpochs) {
  const int64_t sys = now();
  const int64_t unix_ms = static_cast<int64_t>(std::time(nullptr)) * 1000;
  EXPECT_LT(std::llabs(sys - unix_ms), 2000);
  const int64_t a = now<std::chrono::steady_clock>();
  const int64_t b = now<std::chrono::steady_clock>();
  EXPECT_LE(a, b);
  EXPECT_GT((now<std::chrono::system_clock, std::chrono::microseconds>()), sys * 999);
}

TEST(TimeConversions, BoostAndStd) {
  const SystemTimePoint tp(std::chrono::nanoseconds(1500));
  const boost::posix_time::ptime t = time_to_boost(tp);
  EXPECT_EQ(boost::posix_time::to_iso_extended_string(t), "1970-01-01T00:00:00.000001");
  EXPECT_EQ(time_to_std(t).time_since_epoch().count(), 1000);
  const SystemTimePoint before(std::chrono::nanoseconds(-1500));
  EXPECT_EQ(time_to_std(time_to_boost(before)).time_since_epoch().count(), -1000);
  const boost::posix_time::ptime y2k = boost::posix_time::time_from_string("2000-01-01 00:00:00");
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(time_to_std(y2k).time_since_epoch())
                .count(),
            946684800);
}

TEST(FlattenPath, NormalisesThenFlattens) {
  EXPECT_EQ(flatten_path("a/b/../c.png").string(), "a_c.png");
  EXPECT_EQ(flatten_path("x/./y/z.txt").string(), "x_y_z.txt");
  EXPECT_EQ(flatten_path("plain.png").string(), "plain.png");
}

}  // namespace
}  // namespace tesmo
