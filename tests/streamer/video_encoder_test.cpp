#include "streamer/video_encoder.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "streamer/private/video_encoders/video_encoder_nvenc.h"
#include "streamer/private/video_encoders/video_encoder_x264.h"
#include "tests/streamer/sink_test_util.h"

namespace tesmo {
namespace {

using test::YamlNode;

// The what() of the std::runtime_error that `make` throws; empty when it throws none.
template <typename F>
std::string RuntimeError(F make) {
  try {
    make();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(VideoEncoder, EncodersAreNotInThisBuild) {
  EXPECT_EQ(RuntimeError([] { VideoEncoderX264(); }), "build with x264");
  EXPECT_EQ(RuntimeError([] { VideoEncoderX264(30.0, "fast", "film", "high"); }),
            "build with x264");
  EXPECT_EQ(RuntimeError([] { VideoEncoderNvenc(25.0, "p1", "ll", "main"); }),
            "build with nvenc");
  EXPECT_EQ(RuntimeError([] {
              VideoEncoder::Create(
                  YamlNode("type: x264\ntune: film\nprofile: high\npreset: 5\nfps: 30\n").node());
            }),
            "build with x264");
}

TEST(VideoEncoderDeathTest, BadTypeEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(VideoEncoder::Create(YamlNode("type: { name: x264 }\n").node()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoEncoder::Create(YamlNode("fps: 25\n").node()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoEncoder::Create(YamlNode("type: nvenc\n").node()),
               "Unknown video encoder type: nvenc");
}

}  // namespace
}  // namespace tesmo
