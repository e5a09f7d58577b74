#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/img_codecs.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/private/video_writes/video_write_zmq_enc.h"
#include "streamer/private/zmq_context.h"
#include "streamer/util.h"
#include "tests/process.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::Endpoint;
using testing_util::EncodedHeader;
using testing_util::Header;
using testing_util::PatternImage;
using testing_util::RawMessage;
using testing_util::ReadFrames;
using testing_util::SendParts;
using testing_util::SmoothImage;
using testing_util::SyncSource;
using testing_util::waitFor;

// A plain subscriber standing in for another process.
struct Subscriber {
  explicit Subscriber(const std::string& addr) : sock(GetZmqCtx(), zmq::socket_type::sub) {
    sock.set(zmq::sockopt::subscribe, "");
    sock.set(zmq::sockopt::linger, 0);
    sock.connect(addr);
  }
  // Receives all parts of one message within timeout_ms; empty when none came.
  std::vector<zmq::message_t> Receive(int timeout_ms) {
    std::vector<zmq::message_t> parts;
    zmq::pollitem_t item{sock.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, std::chrono::milliseconds(timeout_ms)) <= 0) return parts;
    do {
      parts.emplace_back();
      (void)sock.recv(parts.back(), zmq::recv_flags::none);
    } while (parts.back().more());
    return parts;
  }
  zmq::socket_t sock;
  int published = 0;  // Publish calls of PublishUntilReceived to this subscriber
};

// Publishes `frame` through `sink` until the subscriber receives one of this call's messages, at
// most 20 s. Publish call n (counted in sub.published) is stamped ts + n, so the stamp tells
// which message came: the subscription takes a while to reach the publisher, and a message may
// come after several more were published. Messages of an earlier call are skipped.
std::vector<zmq::message_t> PublishUntilReceived(VideoWrite& sink, Subscriber& sub,
                                                 const cv::Mat& frame, int64_t ts) {
  const int64_t first = ts + sub.published;
  std::vector<zmq::message_t> received;
  waitFor(
      [&] {
        sink.Publish(frame, ts + sub.published++);
        for (auto parts = sub.Receive(10); !parts.empty(); parts = sub.Receive(0)) {
          int64_t stamp = 0;
          if (parts[0].size() >= 32) {
            std::memcpy(&stamp, parts[0].data<uint8_t>() + 24, sizeof(stamp));
          }
          if (stamp >= first) {
            received = std::move(parts);
            return true;
          }
        }
        return false;
      },
      std::chrono::seconds(20));
  return received;
}

TensorMsgHeader ReadHeader(const zmq::message_t& msg) {
  TensorMsgHeader h;
  std::memcpy(&h, msg.data(), sizeof(h));
  return h;
}

TEST(VideoWriteZmq, SendsOneRawPartPerFrameWithHeaderAndIndex) {
  const std::string addr = Endpoint("ipc", "rawsink");
  VideoWriteZmq sink(addr);
  Subscriber sub(addr);
  const cv::Mat frame = PatternImage(480, 640, 1);
  auto parts = PublishUntilReceived(sink, sub, frame, 1700000000123);
  ASSERT_EQ(parts.size(), 1u);
  ASSERT_EQ(parts[0].size(), 921640u);
  TensorMsgHeader h = ReadHeader(parts[0]);
  EXPECT_EQ(std::vector<int32_t>(h.shape, h.shape + 4), (std::vector<int32_t>{1, 480, 640, 3}));
  EXPECT_EQ(h.dtype, 0);
  EXPECT_EQ(h.index, h.timestamp - 1700000000123);
  EXPECT_EQ(std::memcmp(parts[0].data<uint8_t>() + 40, frame.data, 921600), 0);

  // The index follows the sink's frame count (with a send high-water mark of 1 a frame may be
  // dropped while the previous one is still in flight; it is counted all the same).
  for (int k = 1; k <= 2; ++k) {
    parts = PublishUntilReceived(sink, sub, frame, 1700000000123);
    ASSERT_EQ(parts.size(), 1u);
    h = ReadHeader(parts[0]);
    EXPECT_EQ(h.index, h.timestamp - 1700000000123);
  }
}

TEST(VideoWriteZmq, RegionIsSentPackedLikeACopy) {
  const std::string addr = Endpoint("ipc", "roisink");
  VideoWriteZmq sink(addr);
  sink.setROI(cv::Rect(10, 20, 100, 50), VideoWrite::Fill);
  Subscriber sub(addr);
  const cv::Mat frame = PatternImage(480, 640, 2);
  auto parts = PublishUntilReceived(sink, sub, frame, 1);
  ASSERT_EQ(parts.size(), 1u);
  const cv::Mat expected = frame(cv::Rect(10, 20, 100, 50)).clone();
  ASSERT_EQ(parts[0].size(), 40u + expected.total() * 3);
  EXPECT_EQ(ReadHeader(parts[0]).shape[1], 50);
  EXPECT_EQ(ReadHeader(parts[0]).shape[2], 100);
  EXPECT_EQ(std::memcmp(parts[0].data<uint8_t>() + 40, expected.data, expected.total() * 3), 0);
}

TEST(VideoWriteZmqEnc, JpegAndRawPayloads) {
  const cv::Mat frame = PatternImage(480, 640, 3);
  for (const bool bJpeg : {true, false}) {
    SCOPED_TRACE(bJpeg ? "JPEG" : "raw");
    const std::string addr = Endpoint("ipc", "encsink");
    VideoWriteZmqEnc sink(addr, bJpeg ? std::make_shared<ImageEncoderJpegTurbo>(90) : nullptr,
                          /*is_async=*/false);
    Subscriber sub(addr);
    auto parts = PublishUntilReceived(sink, sub, frame, 42);
    ASSERT_EQ(parts.size(), 2u);
    ASSERT_EQ(parts[0].size(), 48u);
    TensorEncodedMsgHeader h;
    std::memcpy(&h, parts[0].data(), sizeof(h));
    EXPECT_EQ(h.codec, bJpeg ? 1 : 0);
    EXPECT_EQ(h.data_size, parts[1].size());
    EXPECT_EQ(h.shape[1], 480);
    EXPECT_EQ(h.shape[2], 640);
    EXPECT_EQ(h.index, h.timestamp - 42);
    cv::Mat decoded;
    if (bJpeg) {
      ASSERT_TRUE(ImageDecoderJpegTurbo().Decode(
          cv::Mat(1, static_cast<int>(parts[1].size()), CV_8U, parts[1].data()), &decoded));
      EXPECT_EQ(decoded.size(), frame.size());
    } else {
      ASSERT_EQ(parts[1].size(), 921600u);
      EXPECT_EQ(std::memcmp(parts[1].data(), frame.data, 921600), 0);
    }
  }
}

TEST(VideoWriteZmqEnc, AsyncWorkerSendsTheNewestFrameAndStops) {
  const std::string addr = Endpoint("ipc", "asyncsink");
  auto sink = std::make_unique<VideoWriteZmqEnc>(addr, nullptr, /*is_async=*/true);
  Subscriber sub(addr);
  std::vector<zmq::message_t> parts;
  for (int i = 0; i < 500 && parts.empty(); ++i) {
    sink->Publish(PatternImage(48, 64, i), 1000 + i);
    parts = sub.Receive(10);
  }
  ASSERT_EQ(parts.size(), 2u);
  TensorEncodedMsgHeader h;
  std::memcpy(&h, parts[0].data(), sizeof(h));
  const int seed = static_cast<int>(h.timestamp - 1000);
  EXPECT_EQ(h.index, seed);  // taken when the frame was handed over
  EXPECT_EQ(std::memcmp(parts[1].data(), PatternImage(48, 64, seed).data, 48 * 64 * 3), 0);
  sink.reset();  // joins the worker
}

TEST(ZmqFrameStream, ReceiveTimeStampsAndStackedRows) {
  const std::string addr = Endpoint("inproc", "stack");
  zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
  pub.bind(addr);
  ZmqFrameStream source(/*scale=*/1.0, addr, /*preserve_timestamps=*/false);
  const cv::Mat img = PatternImage(960, 64, 5);
  ASSERT_TRUE(SyncSource(pub, source, {RawMessage(img, 5)}));

  TensorMsgHeader h = Header(480, 64, 3, 0, /*ts=*/5);
  h.shape[0] = 2;  // two stacked 480-row tensors
  std::vector<uint8_t> msg = RawMessage(h, img.data, img.total() * 3);
  msg.resize(msg.size() + 17);  // trailing bytes are ignored
  SendParts(pub, {msg});
  cv::Mat got;
  int64_t ts = 0;
  const int64_t before = now();
  ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(got.rows, 960);
  EXPECT_EQ(cv::norm(got, img, cv::NORM_INF), 0.0);
  EXPECT_GE(ts, before);  // the receive time, not the sender's 5
  EXPECT_EQ(source.dropped_messages(), 0u);
}

TEST(ZmqFrameStream, TimedAndUntimedWaitsReturn) {
  const std::string addr = Endpoint("inproc", "timed");
  zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
  pub.bind(addr);
  ZmqFrameStream source(/*scale=*/1.0, addr, /*preserve_timestamps=*/true);
  cv::Mat frame = PatternImage(4, 4, 0);
  int64_t ts = 7;
  EXPECT_FALSE(source.NextTimed(&frame, /*timeout_ms=*/0, &ts, /*bAllowScale=*/true));
  EXPECT_TRUE(frame.empty());
  EXPECT_EQ(ts, -1);

  int64_t start = now();
  EXPECT_FALSE(source.NextTimed(&frame, /*timeout_ms=*/50, &ts, /*bAllowScale=*/true));
  EXPECT_GE(now() - start, 49);

  // Nothing published: Next gives up after its receive time-out instead of blocking.
  start = now();
  EXPECT_FALSE(source.Next(&frame, &ts, /*bAllowScale=*/true));
  EXPECT_GE(now() - start, ZmqFrameStream::kReceiveTimeoutMs - 1);

  const cv::Mat img = PatternImage(16, 16, 6);
  ASSERT_TRUE(SyncSource(pub, source, {RawMessage(img, 99)}));
  SendParts(pub, {RawMessage(img, 100)});
  EXPECT_TRUE(source.NextTimed(&frame, /*timeout_ms=*/-1, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 100);
  SendParts(pub, {RawMessage(img, 101)});
  EXPECT_TRUE(source.NextTimed(&frame, /*timeout_ms=*/2000, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 101);
  EXPECT_EQ(cv::norm(frame, img, cv::NORM_INF), 0.0);

  source.Stop();
  EXPECT_FALSE(source.Next(&frame, &ts, /*bAllowScale=*/true));
}

TEST(ZmqEncFrameStream, DrainsQueueToNewestAndSwitchesDecoders) {
  const std::string addr = Endpoint("inproc", "drain");
  zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
  pub.bind(addr);
  ZmqEncFrameStream source(/*scale=*/0.5, addr);
  EXPECT_EQ(source.getScale(), 1.0);

  auto raw_message = [](const cv::Mat& img, int64_t ts) {
    std::vector<uint8_t> pixels(img.data, img.data + img.total() * 3);
    return std::vector<std::vector<uint8_t>>{
        EncodedHeader(img, ts, Raw, static_cast<uint32_t>(pixels.size())), pixels};
  };
  auto jpeg_message = [](const cv::Mat& img, int64_t ts) {
    std::vector<uint8_t> jpeg;
    ImageEncoderJpegTurbo(95).Encode(img, &jpeg);
    return std::vector<std::vector<uint8_t>>{
        EncodedHeader(img, ts, JPEG, static_cast<uint32_t>(jpeg.size())), jpeg};
  };
  const cv::Mat a = PatternImage(120, 160, 1);
  const cv::Mat b = SmoothImage(120, 160, 2);
  const cv::Mat c = PatternImage(60, 80, 3);
  ASSERT_TRUE(SyncSource(pub, source, raw_message(a, 1)));

  // Three messages queued: all are taken, the third one is delivered.
  SendParts(pub, raw_message(a, 10));
  SendParts(pub, jpeg_message(b, 11));
  SendParts(pub, raw_message(c, 12));
  cv::Mat got;
  int64_t ts = 0;
  ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 12);
  EXPECT_EQ(cv::norm(got, c, cv::NORM_INF), 0.0);

  // JPEG after raw: the decoder follows.
  SendParts(pub, jpeg_message(b, 13));
  ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 13);
  EXPECT_EQ(got.size(), b.size());
  EXPECT_GT(cv::PSNR(got, b), 30.0);
  EXPECT_EQ(source.dropped_messages(), 0u);

  // Nothing queued: the call returns false after its time-out, not the old frame.
  EXPECT_FALSE(source.Next(&got, &ts, /*bAllowScale=*/true));
}

// A sender much faster than the decoder: each Next takes a bounded share of the queue and
// decodes the newest message, so frames keep coming while the flood lasts.
TEST(ZmqEncFrameStream, DeliversFramesDuringAFlood) {
  const std::string addr = Endpoint("inproc", "flood");
  zmq::socket_t pub(GetZmqCtx(), zmq::socket_type::pub);
  pub.bind(addr);
  ZmqEncFrameStream source(/*scale=*/1.0, addr);
  const cv::Mat img = SmoothImage(480, 640, 1);
  std::vector<uint8_t> jpeg;
  ImageEncoderJpegTurbo(95).Encode(img, &jpeg);
  const auto message = [&](int64_t ts) {
    return std::vector<std::vector<uint8_t>>{
        EncodedHeader(img, ts, JPEG, static_cast<uint32_t>(jpeg.size())), jpeg};
  };
  ASSERT_TRUE(SyncSource(pub, source, message(0)));

  std::atomic<bool> stop{false};
  std::thread flood([&] {
    for (int64_t ts = 1; !stop; ++ts) SendParts(pub, message(ts));
  });
  int64_t last = 0;
  const int delivered = ReadFrames(source, 5, 15000, true, [&](const cv::Mat&, int64_t ts) {
    EXPECT_GT(ts, last);
    last = ts;
  });
  stop = true;
  flood.join();
  EXPECT_EQ(delivered, 5);
}

}  // namespace
}  // namespace tesmo
