// TesmoStream in this process: sink selection, the hand-over of published images to waiters, and
// the constructor's fatal checks.

#include "tools/private/tesmo_tools.h"

#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "generator/tesmo_view_cpu.h"
#include "generator/utils.h"
#include "tests/tools/demo_scene.h"

namespace {

namespace fs = boost::filesystem;

class TesmoStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / fs::unique_path("tesmo_stream_test-%%%%-%%%%");
    fs::create_directories(dir);
    tesmo::test::SceneSetup setup;
    setup.dir = dir.string();
    setup.views.push_back({"a_view", {-3.5f, 1.5f, -0.5f, -1.5f}, cv::Size(64, 48), true, ""});
    tesmo::test::writeScene(setup, (dir / "config.yml").string());
    config.open((dir / "config.yml").string(), cv::FileStorage::READ);
    ASSERT_TRUE(config.isOpened());
    tesmo::readCameras(config, /*ReadExtrinsics=*/true, cameras);
  }
  void TearDown() override {
    boost::system::error_code ec;
    fs::remove_all(dir, ec);
  }

  // A view node parsed from YAML text (one map).
  cv::FileNode parse(const std::string& yaml) {
    docs.emplace_back("%YAML:1.0\n---\n" + yaml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    return docs.back()["view"];
  }

  std::string prefix(const std::string& name) const { return (dir / name).string(); }

  fs::path dir;
  cv::FileStorage config;
  std::vector<tesmo::Camera> cameras;
  std::vector<cv::FileStorage> docs;
};

TEST_F(TesmoStreamTest, BuildsOnlyEnabledSinksFromTheViewNode) {
  const cv::FileNode node = parse(
      "view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n  video_writes:\n"
      "    - { type: frame_sequence, prefix: '" + prefix("first") + "' }\n"
      "    - { type: frame_sequence, prefix: '" + prefix("second") + "', enabled: false }\n"
      "    - 5\n"
      "    - { type: frame_sequence, prefix: '" + prefix("third") + "' }\n");
  TesmoStream stream(cameras, node, cv::FileNode(), CPU);
  ASSERT_EQ(stream.videoWrites.size(), 2u);
  EXPECT_EQ(stream.getOutputImg().size(), cv::Size(64, 48));
  EXPECT_EQ(stream.getOutputImg().type(), CV_8UC3);
  stream.compute();
  stream.publish(/*timestampMs=*/1);
  EXPECT_TRUE(fs::exists(prefix("first") + "-0000000.png"));
  EXPECT_FALSE(fs::exists(prefix("second") + "-0000000.png"));
  EXPECT_TRUE(fs::exists(prefix("third") + "-0000000.png"));

  const cv::FileNode off = parse(
      "view:\n  name: v\n  video_writes: { type: frame_sequence, prefix: x, enabled: 0 }\n");
  EXPECT_TRUE(TesmoStream(cameras, off, cv::FileNode(), CPU).videoWrites.empty());
}

TEST_F(TesmoStreamTest, UserEntryReplacesTheParameterNode) {
  const cv::FileNode node = parse("view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n");
  const cv::FileNode user = parse("view:\n  name: v\n  scale_factor: 0.5\n");
  TesmoStream stream(cameras, node, user, CPU);
  const auto& params = stream.gen->getParams();
  // The entry's key, and the defaults for everything it leaves out.
  EXPECT_EQ(params.mode, tesmo::TesmoViewGenerator::VirtualCamera);
  EXPECT_EQ(params.viewSize, cv::Size(1024, 1024));
  EXPECT_EQ(stream.getOutputImg().size(), cv::Size(512, 512));
}

TEST_F(TesmoStreamTest, EachPublishedImageGoesToOneWaiter) {
  const cv::FileNode node = parse("view:\n  name: v\n  mode: top_view\n  view_size: [64, 48]\n");
  TesmoStream stream(cameras, node, cv::FileNode(), CPU);
  stream.compute();

  cv::Mat img;
  EXPECT_FALSE(stream.waitImage(img, 20));
  EXPECT_TRUE(img.empty());

  stream.getOutputImg().setTo(cv::Scalar(1, 2, 3));
  stream.publish(/*timestampMs=*/1);
  ASSERT_TRUE(stream.waitImage(img, 20));
  EXPECT_EQ(cv::norm(img, stream.getOutputImg(), cv::NORM_INF), 0.0);
  EXPECT_NE(img.data, stream.getOutputImg().data);  // a copy
  EXPECT_FALSE(stream.waitImage(img, 20));

  // A waiter gets the next published image whether it waits before the publish (woken) or
  // comes after it (the ready flag is still set).
  bool bGot = false;
  cv::Mat waited;
  std::thread waiter([&] { bGot = stream.waitImage(waited, 10000); });
  stream.publish(/*timestampMs=*/2);
  waiter.join();
  EXPECT_TRUE(bGot);
  EXPECT_EQ(waited.size(), cv::Size(64, 48));
}

TEST_F(TesmoStreamTest, ConstructorChecksNameEntryAndPlatform) {
  const cv::FileNode noName = parse("view:\n  mode: top_view\n");
  EXPECT_DEATH(TesmoStream(cameras, noName, cv::FileNode(), CPU), "Check failed: !name.empty\\(\\) ");
  const cv::FileNode node = parse("view:\n  name: v\n");
  const cv::FileNode other = parse("view:\n  name: w\n");
  EXPECT_DEATH(TesmoStream(cameras, node, other, CPU),
               "Check failed: name == userNode\\[\"name\"\\].string\\(\\) ");
  EXPECT_DEATH(TesmoStream(cameras, node, cv::FileNode(), static_cast<Platform>(7)),
               "Check failed: 0 ");
  // Each platform builds its own variant.
  const auto gen = [&](Platform p) { return TesmoStream(cameras, node, cv::FileNode(), p).gen; };
  EXPECT_NE(std::dynamic_pointer_cast<tesmo::TesmoViewGeneratorCpu>(gen(CPU)), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<tesmo::TesmoViewGeneratorCuda>(gen(CUDA)), nullptr);
}

TEST(GetPlatform, ExactWordsOnly) {
  EXPECT_EQ(getPlatform("cpu"), CPU);
  EXPECT_EQ(getPlatform("opencl"), OPENCL);
  EXPECT_EQ(getPlatform("cuda"), CUDA);
  try {
    getPlatform("CPU");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Platform \"CPU\" not support");
  }
}

}  // namespace
