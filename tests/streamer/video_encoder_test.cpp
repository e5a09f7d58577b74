#include "streamer/video_encoder.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "streamer/private/video_encoders/video_encoder_nvenc.h"
#include "streamer/private/video_encoders/video_encoder_x264.h"
#include "tests/streamer/sink_test_util.h"
#include "tests/thrown_text.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using testing_util::Memory;
using testing_util::ThrownText;

TEST(VideoEncoder, EncodersAreNotInThisBuild) {
  EXPECT_EQ(ThrownText([] { VideoEncoderX264(); }), "build with x264");
  EXPECT_EQ(ThrownText([] { VideoEncoderX264(30.0, "fast", "film", "high"); }), "build with x264");
  EXPECT_EQ(ThrownText([] { VideoEncoderNvenc(25.0, "p1", "ll", "main"); }), "build with nvenc");
  EXPECT_EQ(ThrownText([] {
              VideoEncoder::Create(
                  Memory("type: x264\ntune: film\nprofile: high\npreset: 5\nfps: 30\n").root());
            }),
            "build with x264");
}

TEST(VideoEncoderDeathTest, BadTypeEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(VideoEncoder::Create(Memory("type: { name: x264 }\n").root()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoEncoder::Create(Memory("fps: 25\n").root()),
               "Check failed: node\\[\"type\"\\]\\.isString\\(\\) ");
  EXPECT_DEATH(VideoEncoder::Create(Memory("type: nvenc\n").root()),
               "Unknown video encoder type: nvenc");
}

}  // namespace
}  // namespace tesmo
