#include "streamer/image_resizer.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/streamer/sink_test_util.h"

namespace tesmo {
namespace {

using test::PatternFrame;
using test::SameImage;

TEST(ImageResizer, FactorsFollowTheSetDimension) {
  ImageResizer resizer;
  resizer.setup({1280, 720}, {640, 0}, /*keep_aspect=*/false);
  EXPECT_EQ(resizer.prepare({1280, 720}), ImageResizer::scale_t(0.5f, 0.5f));
  const cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat out = resizer.process(frame);
  EXPECT_EQ(out.size(), cv::Size(640, 360));
  EXPECT_EQ(out.at<cv::Vec3b>(100, 100), cv::Vec3b(1, 2, 3));

  resizer.setup({1280, 720}, {0, 180}, /*keep_aspect=*/false);
  EXPECT_EQ(resizer.prepare({1280, 720}), ImageResizer::scale_t(0.25f, 0.25f));
  resizer.setup({1280, 720}, {320, 360}, /*keep_aspect=*/false);
  EXPECT_EQ(resizer.prepare({1280, 720}), ImageResizer::scale_t(0.25f, 0.5f));
  EXPECT_EQ(resizer.process(frame).size(), cv::Size(320, 360));
}

TEST(ImageResizer, KeepAspectPadsWithTheEdgePixels) {
  ImageResizer resizer;
  resizer.setup({1280, 960}, {640, 480}, /*keep_aspect=*/true);
  EXPECT_EQ(resizer.process(cv::Mat(960, 1280, CV_8UC3)).size(), cv::Size(640, 480));

  // 1920x1080 -> factor 1/3, 640x360, 60 rows above and below.
  resizer.setup({1920, 1080}, {640, 480}, /*keep_aspect=*/true);
  const cv::Mat frame = PatternFrame({1920, 1080});
  const cv::Mat out = resizer.process(frame);
  ASSERT_EQ(out.size(), cv::Size(640, 480));
  cv::Mat expected;
  cv::resize(frame, expected, cv::Size(), 1.0 / 3.0, 1.0 / 3.0, cv::INTER_LINEAR);
  ASSERT_EQ(expected.size(), cv::Size(640, 360));
  EXPECT_TRUE(SameImage(out(cv::Rect(0, 60, 640, 360)), expected));
  for (int y : {0, 59}) EXPECT_TRUE(SameImage(out.row(y), expected.row(0)));
  for (int y : {420, 479}) EXPECT_TRUE(SameImage(out.row(y), expected.row(359)));

  // An odd remainder goes to the right.
  resizer.setup({1280, 960}, {641, 480}, /*keep_aspect=*/true);
  const cv::Mat small = PatternFrame({1280, 960});
  const cv::Mat padded = resizer.process(small);
  ASSERT_EQ(padded.size(), cv::Size(641, 480));
  EXPECT_TRUE(SameImage(padded.col(640), padded.col(639)));
}

TEST(ImageResizer, NothingToDoReturnsTheInput) {
  ImageResizer resizer(/*keep_aspect=*/true, cv::Size(0, 0));
  resizer.setup({64, 48});
  EXPECT_FALSE(resizer.resize_needed());
  const cv::Mat frame = PatternFrame({64, 48});
  EXPECT_EQ(resizer.process(frame).data, frame.data);
}

}  // namespace
}  // namespace tesmo
