#include "common/text_params.h"

#include <gtest/gtest.h>

namespace tesmo {
namespace {

TEST(TextParams, GroupsAndKeys) {
  const TextParams p("jpeg:quality=90,type=turbo_jpeg");
  ASSERT_EQ(p.groups().size(), 2u);
  EXPECT_EQ(p.groups()[0], "jpeg");
  EXPECT_EQ(p.groups()[1], "quality=90,type=turbo_jpeg");
  EXPECT_EQ(p("quality", "0"), "90");
  EXPECT_EQ(p("type", ""), "turbo_jpeg");
  EXPECT_EQ(p("absent", "0"), "0");
  // A group name without '=' is not a key.
  EXPECT_EQ(p("jpeg", "none"), "none");
}

TEST(TextParams, FirstWinsAndEquals) {
  EXPECT_EQ(TextParams("a=1,a=2")("a", ""), "1");
  EXPECT_EQ(TextParams("a=1:a=2")("a", ""), "1");
  EXPECT_EQ(TextParams("k=x=y")("k", ""), "x=y");
  EXPECT_EQ(TextParams("k=")("k", "default"), "");
  EXPECT_EQ(TextParams("=v")("", "default"), "v");
}

TEST(TextParams, BlanksSplitItems) {
  const TextParams p("k=two words");
  EXPECT_EQ(p("k", ""), "two");
  EXPECT_EQ(TextParams("")("k", "d"), "d");
  EXPECT_TRUE(TextParams("").groups().empty());
}

}  // namespace
}  // namespace tesmo
