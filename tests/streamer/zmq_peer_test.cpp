// The ZeroMQ sinks and sources against an independent peer written with pyzmq, numpy and Pillow
// (tests/streamer/peers), running as a separate process.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/util.h"
#include "tests/process.h"
#include "tests/source_path.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::Endpoint;
using testing_util::PatternImage;
using testing_util::Process;
using testing_util::ReadFrames;
using testing_util::SmoothImage;
using testing_util::sourcePath;

const char kPython[] = "/usr/bin/python3";

TEST(ZmqPeer, PythonSubscriberReadsRawSinkExactly) {
  const std::string addr = Endpoint("ipc", "pysub");
  VideoWriteZmq sink(addr);
  Process peer({kPython, sourcePath("tests/streamer/peers/zmq_peer_sub.py"), addr, /*count=*/"5",
                /*timeout_s=*/"20"});
  ASSERT_TRUE(peer.started());
  // Frame i carries index i (the sink's count) and timestamp 1000 + i.
  for (int i = 0; i < 4000 && peer.running(); ++i) {
    sink.Publish(PatternImage(i % 2 == 0 ? 480 : 240, i % 2 == 0 ? 640 : 320, i % 256), 1000 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pace the frames
  }
  peer.wait(std::chrono::seconds(20));
  EXPECT_EQ(peer.exitCode(), 0);
}

// The command line of the Python publisher in `mode`.
std::vector<std::string> Publisher(const std::string& addr, const std::string& mode) {
  return {kPython, sourcePath("tests/streamer/peers/zmq_peer_pub.py"), addr, mode, "20"};
}

TEST(ZmqPeer, PythonPublisherFeedsRawSource) {
  // "multipart": before each frame two messages of several parts, which are read whole and
  // dropped (a conflating socket would end this process inside libzmq); the frames still come.
  const struct {
    const char* mode;
    uint64_t min_dropped;  // two a frame: between the 5 frames at least 8
    uint64_t max_dropped;
  } cases[] = {{"raw", 0, 0}, {"multipart", 8, UINT64_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string addr = Endpoint("ipc", "pypub");
    Process peer(Publisher(addr, c.mode));
    ASSERT_TRUE(peer.started());
    ZmqFrameStream source(/*scale=*/1.0, addr, /*preserve_timestamps=*/true);
    int64_t last_ts = 0;
    auto check = [&](const cv::Mat& frame, int64_t ts) {
      ASSERT_GT(ts, last_ts);  // the sender's stamps, newest first
      last_ts = ts;
      ASSERT_EQ(cv::norm(frame, PatternImage(240, 320, (ts - 5000) % 256), cv::NORM_INF), 0.0)
          << "frame stamped " << ts;
    };
    EXPECT_EQ(ReadFrames(source, 5, 20000, /*bAllowScale=*/true, check), 5);
    EXPECT_GE(source.dropped_messages(), c.min_dropped);
    EXPECT_LE(source.dropped_messages(), c.max_dropped);
  }
}

TEST(ZmqPeer, PythonPublisherFeedsEncodedSourceWithPillowJpeg) {
  const std::string addr = Endpoint("ipc", "pyjpeg");
  Process peer(Publisher(addr, "jpeg"));
  ASSERT_TRUE(peer.started());
  ZmqEncFrameStream source(/*scale=*/1.0, addr);
  auto check = [](const cv::Mat& frame, int64_t ts) {
    ASSERT_EQ(frame.size(), cv::Size(320, 240));
    EXPECT_GT(cv::PSNR(frame, SmoothImage(240, 320, static_cast<int>((ts - 5000) % 256))), 35.0)
        << "frame stamped " << ts;
  };
  EXPECT_EQ(ReadFrames(source, 5, 20000, /*bAllowScale=*/true, check), 5);
  EXPECT_EQ(source.dropped_messages(), 0u);
}

}  // namespace
}  // namespace tesmo
