#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/img_codecs.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/zmq_context.h"
#include "streamer/util.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::EncodedHeader;
using testing_util::Endpoint;
using testing_util::Header;
using testing_util::PatternImage;
using testing_util::RawMessage;
using testing_util::SendParts;
using testing_util::SmoothImage;
using testing_util::SyncSource;
using testing_util::WarningCollector;

using Parts = std::vector<std::vector<uint8_t>>;

std::vector<uint8_t> Bytes(const TensorMsgHeader& h, size_t payload) {
  std::vector<uint8_t> pixels(payload, 0x5A);
  return RawMessage(h, pixels.data(), payload);
}

// An 8-bit frame's encoded header with timestamp 1.
std::vector<uint8_t> EncHeader(int rows, int cols, int channels, int codec, uint32_t data_size) {
  return EncodedHeader(rows, cols, channels, CV_8U, /*ts=*/1, codec, data_size);
}

// Sender timestamp that overflows a plain "now - timestamp".
constexpr int64_t kOldestTs = std::numeric_limits<int64_t>::min();

struct Case {
  const char* name;
  Parts parts;
  const char* logged;  // text the warning line must hold
};

std::vector<Case> RawSourceCases() {
  const int kMax = std::numeric_limits<int32_t>::max();
  TensorMsgHeader stacked = Header(65536, 1, 1, 0, 1);
  stacked.shape[0] = 65536;  // 2^32 rows
  TensorMsgHeader overflow = Header(kMax, kMax, 512, 6, 1);
  return {
      {"empty", {{}}, "Protocol error. Size=0"},
      {"under 40 bytes", {std::vector<uint8_t>(39, 1)}, "Protocol error. Size=39"},
      {"shorter than header and frame", {Bytes(Header(480, 640, 3, 0, 1), 1000)},
       "Protocol error. Size=1040"},
      {"negative rows", {Bytes(Header(-480, 640, 3, 0, 1), 64)}, "shape[1]=-480"},
      {"zero cols", {Bytes(Header(480, 0, 3, 0, 1), 64)}, "shape[2]=0"},
      {"zero channels", {Bytes(Header(4, 4, 0, 0, 1), 64)}, "shape[3]=0"},
      {"too many channels", {Bytes(Header(1, 1, 100000, 0, 1), 64)}, "channels=100000"},
      {"rows beyond int", {Bytes(stacked, 64)}, "rows="},
      {"size overflow", {Bytes(overflow, 64)}, "Protocol error. Size=104"},
      // Read whole and dropped; a conflating socket would end the process inside libzmq.
      {"two parts", {Bytes(Header(2, 2, 3, 0, 1), 12), {1, 2, 3}}, "Message of 2 parts"},
      {"three parts",
       {Bytes(Header(4, 4, 3, 0, 1), 48), std::vector<uint8_t>(100 * 1024, 7), {1}},
       "Message of 3 parts"},
      {"frame over the bound", {Bytes(Header(16385, 4, 1, 0, 1), 64)}, "over the bound"},
      {"16-bit frame", {Bytes(Header(2, 2, 3, CV_16U, 1), 24)}, "cannot be composed"},
      {"2-channel frame", {Bytes(Header(2, 2, 2, CV_8U, 1), 8)}, "cannot be composed"},
  };
}

std::vector<Case> EncodedSourceCases() {
  const cv::Mat img = SmoothImage(48, 64, 1);
  std::vector<uint8_t> jpeg;
  ImageEncoderJpegTurbo(80).Encode(img, &jpeg);
  const std::vector<uint8_t> truncated(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  const std::vector<uint8_t> noise(300, 0xC3);
  const std::vector<uint8_t> pixels(48 * 64 * 3, 7);
  std::vector<uint8_t> short_header = EncHeader(48, 64, 3, Raw, 9216);
  short_header.pop_back();
  std::vector<uint8_t> long_header = EncHeader(48, 64, 3, Raw, 9216);
  long_header.push_back(0);
  const uint32_t n = static_cast<uint32_t>(pixels.size());
  std::vector<uint8_t> wide;  // a JPEG one pixel wider than any frame
  ImageEncoderJpegTurbo(80).Encode(cv::Mat(8, kMaxFrameSide + 1, CV_8UC3, cv::Scalar(9)), &wide);
  const uint32_t nw = static_cast<uint32_t>(wide.size());
  return {
      {"single part of 48 bytes", {EncHeader(48, 64, 3, Raw, n)}, "ZMQ_RCVMORE"},
      {"single short part", {std::vector<uint8_t>(10, 1)}, "sizeof(header)"},
      {"header of 47 bytes", {short_header, pixels}, "Header part of 47 bytes"},
      {"header of 49 bytes", {long_header, pixels}, "Header part of 49 bytes"},
      {"data_size 0", {EncHeader(48, 64, 3, Raw, 0), pixels}, "header.data_size > 0"},
      {"data_size not the payload length", {EncHeader(48, 64, 3, Raw, n + 5), pixels},
       "header data_size=9221"},
      {"extra part", {EncHeader(48, 64, 3, Raw, n), pixels, {1}}, "Message of 3 parts"},
      {"raw payload shorter than the frame",
       {EncHeader(48, 64, 3, Raw, 100), std::vector<uint8_t>(100, 1)}, "for a frame of 9216"},
      {"negative size", {EncHeader(-48, 64, 3, Raw, n), pixels}, "shape[1]=-48"},
      {"zero size", {EncHeader(48, 0, 3, JPEG, 300), noise}, "shape[2]=0"},
      {"size overflow",
       {EncHeader(std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max(), 512,
                  Raw, n),
        pixels},
       "Invalid header"},
      {"unknown codec", {EncHeader(48, 64, 3, 2, n), pixels}, "Unknown codec format: 2"},
      {"undecodable JPEG", {EncHeader(48, 64, 3, JPEG, 300), noise}, "Decode"},
      {"truncated JPEG",
       {EncHeader(48, 64, 3, JPEG, static_cast<uint32_t>(truncated.size())), truncated},
       "Undecodable JPEG"},
      {"JPEG larger than the header says", {EncHeader(48, 64, 3, JPEG, nw), wide},
       "JPEG of 16385x8 in a message for a frame of 64x48"},
      {"frame over the bound", {EncHeader(8, 16385, 3, JPEG, nw), wide}, "over the bound"},
      {"raw 16-bit frame",
       {EncodedHeader(48, 64, 3, CV_16U, 1, Raw, 2 * n), std::vector<uint8_t>(2 * n, 1)},
       "cannot be composed"},
  };
}

// Sends one message and calls Next until the source has counted it (bounded).
bool Refused(zmq::socket_t& pub, FrameStream& source, uint64_t (*dropped)(FrameStream&),
             const Parts& parts) {
  const uint64_t before = dropped(source);
  SendParts(pub, parts);
  cv::Mat frame;
  int64_t ts = 0;
  for (int i = 0; i < 20 && dropped(source) == before; ++i) {
    if (source.Next(&frame, &ts, /*bAllowScale=*/true)) return false;  // taken as a frame
  }
  return dropped(source) == before + 1;
}

uint64_t RawDropped(FrameStream& s) { return static_cast<ZmqFrameStream&>(s).dropped_messages(); }
uint64_t EncDropped(FrameStream& s) {
  return static_cast<ZmqEncFrameStream&>(s).dropped_messages();
}

TEST(ZmqMalformedInput, RawSourceDropsLogsAndCountsEachCase) {
  const cv::Mat good = PatternImage(8, 8, 1);
  for (const Case& c : RawSourceCases()) {
    // One source per case, so that each case gets the first, unthrottled line.
    const std::string addr = Endpoint("inproc", "badraw");
    zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
    pub.bind(addr);
    ZmqFrameStream source(/*scale=*/1.0, addr, /*preserve_timestamps=*/true);
    ASSERT_TRUE(SyncSource(pub, source, {RawMessage(good, 1)}));
    WarningCollector warnings("ZmqFrameStream(" + addr + ")");
    // The refused message holds back neither frame behind it, and the newest wins, whatever its
    // stamp.
    SendParts(pub, c.parts);
    SendParts(pub, {RawMessage(PatternImage(8, 8, 2), 2)});
    SendParts(pub, {RawMessage(good, kOldestTs)});
    cv::Mat frame;
    int64_t ts = 0;
    ASSERT_TRUE(source.Next(&frame, &ts, /*bAllowScale=*/true)) << c.name;
    EXPECT_EQ(ts, kOldestTs);
    EXPECT_EQ(cv::norm(frame, good, cv::NORM_INF), 0.0) << c.name;
    EXPECT_EQ(source.dropped_messages(), 1u) << c.name;
    const auto lines = warnings.lines();
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_NE(lines[0].find(c.logged), std::string::npos) << c.name << ": " << lines[0];
  }
}

TEST(ZmqMalformedInput, EncodedSourceDropsLogsAndCountsEachCase) {
  const cv::Mat good = PatternImage(48, 64, 1);
  const Parts good_message = {EncodedHeader(good, kOldestTs, Raw, 9216),
                              std::vector<uint8_t>(good.data, good.data + 9216)};
  for (const Case& c : EncodedSourceCases()) {
    const std::string addr = Endpoint("inproc", "badenc");
    zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
    pub.bind(addr);
    ZmqEncFrameStream source(/*scale=*/1.0, addr);
    ASSERT_TRUE(SyncSource(pub, source, good_message));
    WarningCollector warnings("ZmqEncFrameStream(" + addr + ")");
    ASSERT_TRUE(Refused(pub, source, EncDropped, c.parts)) << c.name;
    EXPECT_EQ(source.dropped_messages(), 1u) << c.name;
    const auto lines = warnings.lines();
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_NE(lines[0].find(c.logged), std::string::npos) << c.name << ": " << lines[0];

    // The next message is read as usual, whatever its stamp.
    SendParts(pub, good_message);
    cv::Mat frame;
    int64_t ts = 0;
    ASSERT_TRUE(source.Next(&frame, &ts, /*bAllowScale=*/true)) << c.name;
    EXPECT_EQ(ts, kOldestTs);
    EXPECT_EQ(cv::norm(frame, good, cv::NORM_INF), 0.0) << c.name;
  }
}

TEST(ZmqMalformedInput, RandomMessagesToBothSources) {
  // One publisher per source, so that each source sees every message exactly once and no
  // backlog builds up behind the one it refuses.
  const std::string addr = Endpoint("inproc", "random");
  const std::string enc_addr = Endpoint("inproc", "random-enc");
  // No high-water mark: a publisher drops messages silently once the reader's read-progress
  // notices lag behind (every thousand messages on a busy machine), which would look like a
  // message the source never counted.
  zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
  pub.set(zmq::sockopt::sndhwm, 0);
  pub.bind(addr);
  zmq::socket_t enc_pub(GetZmqCtx(), zmq::socket_type::pub);
  enc_pub.set(zmq::sockopt::sndhwm, 0);
  enc_pub.bind(enc_addr);
  ZmqFrameStream raw(/*scale=*/0.5, addr, /*preserve_timestamps=*/true);
  ZmqEncFrameStream enc(/*scale=*/1.0, enc_addr);
  const cv::Mat good = PatternImage(8, 8, 1);
  ASSERT_TRUE(SyncSource(pub, raw, {RawMessage(good, 1)}));
  ASSERT_TRUE(SyncSource(enc_pub, enc,
                         {EncodedHeader(good, 1, Raw, 192),
                          std::vector<uint8_t>(good.data, good.data + 192)}));
  // Copies of the synchronising message that were still on their way must not be taken for
  // answers to the random ones.
  for (FrameStream* source : {static_cast<FrameStream*>(&raw), static_cast<FrameStream*>(&enc)}) {
    cv::Mat frame;
    int64_t ts = 0;
    while (source->Next(&frame, &ts, /*bAllowScale=*/false)) {
    }
  }
  const uint64_t raw_start = raw.dropped_messages();
  const uint64_t enc_start = enc.dropped_messages();

  WarningCollector warnings("ZmqFrameStream(" + addr + ")");
  const int64_t start = now<std::chrono::steady_clock>();
  cv::RNG rng(20240611);
  constexpr int kMessages = 10000;
  for (int i = 0; i < kMessages; ++i) {
    const int count = rng.uniform(0, 10) < 8 ? 1 : rng.uniform(2, 4);
    Parts parts(count);
    for (int p = 0; p < count; ++p) {
      // Half of the first parts have the encoded header's size, so that the checks behind the
      // size are reached too.
      const int size = (p == 0 && rng.uniform(0, 2) == 0) ? 48 : rng.uniform(0, 300);
      parts[p].resize(size);
      for (auto& b : parts[p]) b = static_cast<uint8_t>(rng.uniform(0, 256));
    }
    ASSERT_TRUE(Refused(pub, raw, RawDropped, parts)) << "message " << i;
    ASSERT_TRUE(Refused(enc_pub, enc, EncDropped, parts)) << "message " << i;
  }
  EXPECT_EQ(raw.dropped_messages() - raw_start, uint64_t(kMessages));
  EXPECT_EQ(enc.dropped_messages() - enc_start, uint64_t(kMessages));
  // At most one warning line a second for the source.
  const double seconds = (now<std::chrono::steady_clock>() - start) / 1000.0;
  EXPECT_LE(warnings.lines().size(), static_cast<size_t>(seconds) + 1);
  EXPECT_GE(warnings.lines().size(), 1u);
}

}  // namespace
}  // namespace tesmo
