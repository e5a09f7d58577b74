// Frame transports and JPEG codecs at 1920 x 1080 x 3:
// - "zmq" sink -> "zmq" source over ipc:// and tcp://127.0.0.1, one frame in flight: bytes per
//   second and the median publish-to-delivery latency;
// - shared-memory hand-over: median time from the end of the writer's Publish to the return of
//   the reader's Next (wake-up and copy out), and the whole Publish + Next;
// - "zmq_encoded" source under a flood of JPEG messages sent faster than they decode: frames
//   delivered per second and the median and longest Next;
// - TurboJPEG against OpenCV imencode/imdecode at quality 80.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>
#include <zmq.hpp>

#include "streamer/data/cameras.h"
#include "streamer/img_codecs.h"
#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/frame_streams/zmq_enc_frame_stream.h"
#include "streamer/private/frame_streams/zmq_frame_stream.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/private/video_writes/video_write_zmq.h"
#include "streamer/private/zmq_context.h"

namespace {

constexpr int kRows = 1080;
constexpr int kCols = 1920;

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// A camera-like picture: smooth shapes plus fine texture.
cv::Mat TestFrame() {
  cv::Mat noise(kRows, kCols, CV_8UC3);
  cv::RNG rng(7);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
  cv::Mat frame(kRows, kCols, CV_8UC3);
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kCols; ++x) {
      frame.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 255 / kCols, y * 255 / kRows, (x + y) % 256);
    }
  }
  cv::circle(frame, cv::Point(600, 500), 300, cv::Scalar(30, 200, 90), -1);
  cv::addWeighted(frame, 0.7, noise, 0.3, 0, frame);
  return frame;
}

void BM_ZmqRawTransport(benchmark::State& state) {
  static int counter = 0;
  const std::string addr =
      state.range(0) == 0
          ? "ipc:///tmp/tesmo-bench-" + std::to_string(getpid()) + "-" + std::to_string(counter++)
          : "tcp://127.0.0.1:" + std::to_string(47000 + getpid() % 1000 + counter++);
  tesmo::VideoWriteZmq sink(addr);
  tesmo::ZmqFrameStream source(/*scale=*/1.0, addr, /*preserve_timestamps=*/true);
  const cv::Mat frame = TestFrame();
  cv::Mat got;
  int64_t ts = 0;
  // Until the subscription has reached the publisher.
  while (true) {
    sink.Publish(frame, 1);
    if (source.Next(&got, &ts, false)) break;
  }
  std::vector<double> latency;
  int64_t resent = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    sink.Publish(frame, 2);
    // With a send high-water mark of 1 a frame can be dropped while the previous one is still
    // being accounted for; send again then.
    while (!source.Next(&got, &ts, false)) {
      ++resent;
      sink.Publish(frame, 2);
    }
    latency.push_back(Ms(Clock::now() - t0));
  }
  state.SetBytesProcessed(state.iterations() * int64_t(frame.total() * frame.elemSize()));
  state.counters["median_ms"] = Median(latency);
  state.counters["resent"] = static_cast<double>(resent);
  state.SetLabel(state.range(0) == 0 ? "ipc" : "tcp");
}
BENCHMARK(BM_ZmqRawTransport)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ZmqEncodedFlood(benchmark::State& state) {
  static int counter = 0;
  const std::string addr = "inproc://tesmo-bench-flood-" + std::to_string(counter++);
  zmq::socket_t pub(tesmo::GetZmqCtx(), zmq::socket_type::pub);
  pub.bind(addr);
  tesmo::ZmqEncFrameStream source(/*scale=*/1.0, addr);
  std::vector<uint8_t> jpeg;
  tesmo::ImageEncoderJpegTurbo(80).Encode(TestFrame(), &jpeg);
  tesmo::TensorEncodedMsgHeader header{};
  header.shape[0] = 1;
  header.shape[1] = kRows;
  header.shape[2] = kCols;
  header.shape[3] = 3;
  header.codec = tesmo::JPEG;
  header.data_size = static_cast<uint32_t>(jpeg.size());
  std::atomic<bool> stop{false};
  std::atomic<int64_t> sent{0};
  std::thread flood([&] {
    for (int64_t ts = 1; !stop; ++ts) {
      header.timestamp = ts;
      pub.send(zmq::buffer(&header, sizeof(header)), zmq::send_flags::sndmore);
      pub.send(zmq::buffer(jpeg), zmq::send_flags::none);
      ++sent;
    }
  });
  cv::Mat got;
  int64_t ts = 0;
  int64_t delivered = 0;
  std::vector<double> next;
  const auto start = Clock::now();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (source.Next(&got, &ts, false)) ++delivered;
    next.push_back(Ms(Clock::now() - t0));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  flood.join();
  state.counters["delivered_per_s"] = delivered / seconds;
  state.counters["sent_per_s"] = sent / seconds;
  state.counters["next_median_ms"] = Median(next);
  state.counters["next_max_ms"] = *std::max_element(next.begin(), next.end());
}
BENCHMARK(BM_ZmqEncodedFlood)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5.0);

void BM_ShmemHandOver(benchmark::State& state) {
  const std::string name = "tesmo-bench-" + std::to_string(getpid());
  tesmo::VideoWriteShmem sink(name);
  tesmo::ShmemFrameStream source(/*scale=*/1.0, name);
  const cv::Mat frame = TestFrame();
  std::atomic<int64_t> delivered{0};
  std::atomic<int64_t> delivered_at{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    cv::Mat got;
    int64_t ts = 0;
    while (!stop) {
      if (source.Next(&got, &ts, false)) {
        delivered_at = Clock::now().time_since_epoch().count();
        ++delivered;
      }
    }
  });
  std::vector<double> hand_over;
  std::vector<double> total;
  int64_t ts = 100;
  for (auto _ : state) {
    const int64_t before = delivered;
    const auto t0 = Clock::now();
    sink.Publish(frame, ++ts);
    const auto t1 = Clock::now();
    while (delivered == before) std::this_thread::yield();
    const Clock::time_point t2{Clock::duration(delivered_at.load())};
    hand_over.push_back(Ms(t2 - t1));
    total.push_back(Ms(t2 - t0));
  }
  stop = true;
  reader.join();
  state.counters["hand_over_median_ms"] = Median(hand_over);
  state.counters["publish_and_next_median_ms"] = Median(total);
}
BENCHMARK(BM_ShmemHandOver)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_JpegEncode(benchmark::State& state) {
  const cv::Mat frame = TestFrame();
  std::shared_ptr<tesmo::ImageEncoder> encoder;
  if (state.range(0) == 0) {
    encoder = std::make_shared<tesmo::ImageEncoderJpegTurbo>(80);
  } else {
    encoder = std::make_shared<tesmo::ImageEncoderJpegOpenCV>(80);
  }
  std::vector<uint8_t> buf;
  for (auto _ : state) {
    encoder->Encode(frame, &buf);
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetLabel(state.range(0) == 0 ? "TurboJPEG" : "OpenCV");
  state.counters["bytes"] = static_cast<double>(buf.size());
}
BENCHMARK(BM_JpegEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// TurboJPEG at imencode's default 4:2:0 sampling (the encoder class uses 4:4:4), to compare
// like with like: Debian's imencode runs on libjpeg-turbo too.
void BM_JpegEncodeTurbo420(benchmark::State& state) {
  const cv::Mat frame = TestFrame();
  tjhandle handle = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  for (auto _ : state) {
    tjCompress2(handle, frame.data, frame.cols, 0, frame.rows, TJPF_BGR, &buf, &size, TJSAMP_420,
                80, TJFLAG_FASTDCT);
    benchmark::DoNotOptimize(buf);
  }
  state.counters["bytes"] = static_cast<double>(size);
  tjFree(buf);
  tjDestroy(handle);
}
BENCHMARK(BM_JpegEncodeTurbo420)->Unit(benchmark::kMillisecond);

void BM_JpegDecode(benchmark::State& state) {
  std::vector<uint8_t> jpeg;
  tesmo::ImageEncoderJpegOpenCV(80).Encode(TestFrame(), &jpeg);
  std::shared_ptr<tesmo::ImageDecoder> decoder;
  if (state.range(0) == 0) {
    decoder = std::make_shared<tesmo::ImageDecoderJpegTurbo>();
  } else {
    decoder = std::make_shared<tesmo::ImageDecoderJpegOpenCV>();
  }
  cv::Mat out;
  for (auto _ : state) {
    decoder->Decode(jpeg, &out);
    benchmark::DoNotOptimize(out.data);
  }
  state.SetLabel(state.range(0) == 0 ? "TurboJPEG" : "OpenCV");
}
BENCHMARK(BM_JpegDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
