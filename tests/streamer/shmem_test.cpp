#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/sync/scoped_lock.hpp>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <sys/stat.h>

#include "streamer/private/frame_streams/shmem_frame_stream.h"
#include "streamer/private/memory_manager.h"
#include "streamer/private/video_writes/video_write_shmem.h"
#include "streamer/util.h"
#include "tests/process.h"
#include "tests/streamer/transport_test_util.h"

namespace tesmo {
namespace {

using testing_util::PatternImage;
using testing_util::Process;
using testing_util::ReadFrames;
using testing_util::waitFor;
using testing_util::WarningCollector;

namespace bip = boost::interprocess;

std::string SegmentName(const std::string& tag) {
  static std::atomic<int> counter{0};
  return "tesmo-test-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(counter++);
}

bool SegmentExists(const std::string& name) {
  struct stat st;
  return stat(("/dev/shm/" + name).c_str(), &st) == 0;
}

// Reads the segment's header and offset under its mutex.
void Snapshot(MemoryManager& mm, TensorMsgHeader* header, uint32_t* offset) {
  SharedData* d = mm.GetDataPointer();
  bip::scoped_lock<bip::interprocess_mutex> lock(d->mutex);
  *header = d->header;
  *offset = d->offset;
}

TEST(SharedData, Layout) {
  EXPECT_EQ(sizeof(SharedData), 13916296u);
  MemoryManager mm("");
  EXPECT_EQ(mm.GetBufSize(), 13916160);
}

TEST(VideoWriteShmem, AlternatesHalvesAndReaderGetsEachFrame) {
  const std::string name = SegmentName("halves");
  VideoWriteShmem sink(name);
  MemoryManager view(name);  // a second mapping of the same segment
  ShmemFrameStream source(/*scale=*/0.5, name);
  const uint32_t expected_offsets[] = {0, 921600, 0};
  for (int i = 0; i < 3; ++i) {
    const cv::Mat frame = PatternImage(480, 640, i);
    sink.Publish(frame, 500 + i);
    TensorMsgHeader h;
    uint32_t offset = 0;
    Snapshot(view, &h, &offset);
    EXPECT_EQ(std::vector<int32_t>(h.shape, h.shape + 4), (std::vector<int32_t>{1, 480, 640, 3}));
    EXPECT_EQ(h.dtype, 0);
    EXPECT_EQ(h.timestamp, 500 + i);
    EXPECT_EQ(h.index, i);
    EXPECT_EQ(offset, expected_offsets[i]);

    cv::Mat got;
    int64_t ts = 0;
    ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/i != 1));
    EXPECT_EQ(ts, 500 + i);
    if (i == 1) {
      EXPECT_EQ(cv::norm(got, frame, cv::NORM_INF), 0.0);  // native size, exact
    } else {
      EXPECT_EQ(got.size(), cv::Size(320, 240));
    }
  }
  EXPECT_EQ(source.dropped_frames(), 0u);
}

TEST(ShmemFrameStream, WaitsForTheNextFrameAndTimesOut) {
  const std::string name = SegmentName("wait");
  ShmemFrameStream source(/*scale=*/1.0, name);  // the reader comes first
  cv::Mat got;
  int64_t ts = 0;
  // Nothing published: the timed wait ends the call.
  int64_t start = now();
  EXPECT_FALSE(source.Next(&got, &ts, /*bAllowScale=*/true));
  EXPECT_GE(now() - start, ShmemFrameStream::kWaitTimeoutMs - 1);

  VideoWriteShmem sink(name);
  sink.Publish(PatternImage(48, 64, 1), 10);
  ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/true));
  EXPECT_EQ(ts, 10);
  // The same frame is not delivered twice.
  EXPECT_FALSE(source.Next(&got, &ts, /*bAllowScale=*/true));

  // A reader waiting in Next is woken by the writer.
  std::atomic<bool> result{false};
  std::thread reader([&] {
    cv::Mat frame;
    int64_t t = 0;
    for (int i = 0; i < 50 && !result; ++i) result = source.Next(&frame, &t, true) && t == 11;
  });
  sink.Publish(PatternImage(48, 64, 2), 11);
  reader.join();
  EXPECT_TRUE(result);
}

TEST(VideoWriteShmem, FullSizeFramesAndFramesThatDoNotFit) {
  {
    const std::string name = SegmentName("full");
    VideoWriteShmem sink(name);
    ShmemFrameStream source(/*scale=*/1.0, name);
    MemoryManager view(name);
    for (int i = 0; i < 2; ++i) {
      const cv::Mat frame = PatternImage(1208, 1920, i);
      sink.Publish(frame, 20 + i);
      cv::Mat got;
      int64_t ts = 0;
      ASSERT_TRUE(source.Next(&got, &ts, /*bAllowScale=*/true));
      EXPECT_EQ(cv::norm(got, frame, cv::NORM_INF), 0.0);
    }
    TensorMsgHeader h;
    uint32_t offset = 0;
    Snapshot(view, &h, &offset);
    EXPECT_EQ(offset, 6958080u);

    // Other sizes and types are not written.
    sink.Publish(PatternImage(480, 640, 3), 30);
    sink.Publish(cv::Mat(1208, 1920, CV_8UC1, cv::Scalar(1)), 31);
    Snapshot(view, &h, &offset);
    EXPECT_EQ(h.timestamp, 21);
  }
  {
    const std::string name = SegmentName("big");
    VideoWriteShmem sink(name);
    MemoryManager view(name);
    sink.Publish(cv::Mat(1210, 1920, CV_8UC3, cv::Scalar::all(9)), 40);
    TensorMsgHeader h;
    uint32_t offset = 0;
    Snapshot(view, &h, &offset);
    EXPECT_EQ(h.timestamp, 0);  // nothing published
    EXPECT_EQ(h.shape[1], 0);
  }
}

TEST(ShmemFrameStream, RefusesHeadersThatDoNotFitBehindTheOffset) {
  struct Case {
    const char* name;
    int rows, cols, channels, dtype;
    uint32_t offset;
  };
  const Case cases[] = {
      {"frame larger than the buffer", 2417, 1920, 3, 0, 0},
      {"frame larger than the half behind the offset", 1208, 1920, 3, 0, 6958081},
      {"16-bit samples", 1208, 1920, 3, 2, 6958080},
      {"16-bit samples that fit", 10, 10, 3, 2, 0},
      {"offset beyond the buffer", 1, 1, 1, 0, 0xFFFFFFF0u},
      {"negative rows", -10, 1920, 3, 0, 0},
      {"zero channels", 10, 10, 0, 0, 0},
      {"size overflow", 0x7FFFFFFF, 0x7FFFFFFF, 512, 6, 0},
  };
  const std::string name = SegmentName("bad");
  ShmemFrameStream source(/*scale=*/1.0, name);
  MemoryManager writer(name);
  WarningCollector warnings("ShmemFrameStream(" + name + ")");
  int64_t ts = 100;
  uint64_t dropped = 0;
  for (const Case& c : cases) {
    {
      SharedData* d = writer.GetDataPointer();
      bip::scoped_lock<bip::interprocess_mutex> lock(d->mutex);
      d->header = testing_util::Header(c.rows, c.cols, c.channels, c.dtype, ++ts);
      d->offset = c.offset;
      d->condition.notify_all();
    }
    cv::Mat got;
    int64_t got_ts = 0;
    EXPECT_FALSE(source.Next(&got, &got_ts, /*bAllowScale=*/true)) << c.name;
    EXPECT_EQ(source.dropped_frames(), ++dropped) << c.name;
  }
  const auto lines = warnings.lines();
  ASSERT_EQ(lines.size(), 1u);  // one line a second at most
  EXPECT_NE(lines[0].find("Incorrect size"), std::string::npos) << lines[0];

  // A good frame afterwards is read as usual.
  VideoWriteShmem sink(name);
  sink.Publish(PatternImage(10, 10, 1), 999);
  cv::Mat got;
  int64_t got_ts = 0;
  EXPECT_TRUE(source.Next(&got, &got_ts, /*bAllowScale=*/true));
  EXPECT_EQ(got_ts, 999);
}

TEST(MemoryManager, NameIsRemovedWithEitherSideAndEmptyNameIsPrivate) {
  const std::string name = SegmentName("remove");
  auto sink = std::make_unique<VideoWriteShmem>(name);
  auto reader = std::make_unique<MemoryManager>(name);
  sink->Publish(PatternImage(8, 8, 1), 77);
  EXPECT_EQ(reader->GetDataPointer()->header.timestamp, 77);
  reader.reset();  // removes the name
  EXPECT_FALSE(SegmentExists(name));
  MemoryManager fresh(name);
  EXPECT_EQ(fresh.GetDataPointer()->header.timestamp, 0);
  EXPECT_EQ(fresh.GetDataPointer()->header.shape[1], 0);

  VideoWriteShmem private_sink("");
  ShmemFrameStream private_source(/*scale=*/1.0, "");
  private_sink.Publish(PatternImage(8, 8, 1), 5);
  cv::Mat got;
  int64_t ts = 0;
  EXPECT_FALSE(private_source.Next(&got, &ts, /*bAllowScale=*/true));
}

// Two real processes: the peer binary writes; this process reads, from before the writer starts
// or once the writer has made the segment.
TEST(ShmemTwoProcesses, ReaderBeforeOrAfterTheWriterProcess) {
  for (const bool bReaderFirst : {true, false}) {
    SCOPED_TRACE(bReaderFirst ? "reader first" : "writer first");
    const std::string name = SegmentName("order");
    std::unique_ptr<ShmemFrameStream> source;
    if (bReaderFirst) source = std::make_unique<ShmemFrameStream>(/*scale=*/0.5, name);
    Process writer({SHMEM_PEER_PATH, "write", name, /*count=*/"2000", /*period_ms=*/"5",
                    /*rows=*/"240", /*cols=*/"320"});
    ASSERT_TRUE(writer.started());
    if (!bReaderFirst) {
      ASSERT_TRUE(waitFor([&] { return SegmentExists(name); }, std::chrono::seconds(5)));
      source = std::make_unique<ShmemFrameStream>(/*scale=*/0.5, name);
    }
    int64_t last_ts = -1;
    auto check = [&](const cv::Mat& got, int64_t ts) {
      ASSERT_GT(ts, last_ts);
      last_ts = ts;
      ASSERT_EQ(cv::norm(got, PatternImage(240, 320, (ts - 1000) % 256), cv::NORM_INF), 0.0);
    };
    EXPECT_EQ(ReadFrames(*source, 5, 10000, /*bAllowScale=*/false, check), 5);
  }
}

// A writer process killed inside a critical section, then a new writer process: the reader (a
// third process, which fails when one Next keeps it 5 s) takes the new writer's frames.
TEST(ShmemTwoProcesses, WriterKilledInsideACriticalSectionThenNewWriter) {
  for (const std::string section : {"mutex", "condition"}) {
    SCOPED_TRACE(section);
    const std::string name = SegmentName("die-" + section);
    const std::string ready = "/tmp/" + name + ".ready";
    Process reader({SHMEM_PEER_PATH, "read", name, /*count=*/"8", /*timeout_ms=*/"30000", ready});
    ASSERT_TRUE(reader.started());
    ASSERT_TRUE(
        waitFor([&] { return access(ready.c_str(), F_OK) == 0; }, std::chrono::seconds(10)));
    std::remove(ready.c_str());
    Process dying({SHMEM_PEER_PATH, "die", name, section});
    ASSERT_TRUE(dying.started());
    dying.wait(std::chrono::seconds(10));
    ASSERT_FALSE(dying.running());
    Process writer({SHMEM_PEER_PATH, "write", name, /*count=*/"3000", /*period_ms=*/"10",
                    /*rows=*/"120", /*cols=*/"160"});
    ASSERT_TRUE(writer.started());
    reader.wait(std::chrono::seconds(40));
    EXPECT_EQ(reader.exitCode(), 0);
    bip::shared_memory_object::remove(name.c_str());
  }
}

TEST(ShmemTwoProcesses, TwoReaderProcessesOnOneSegment) {
  const std::string name = SegmentName("tworeaders");
  VideoWriteShmem sink(name);
  // Each reader signals with a file once it has opened the segment: the first one to finish
  // removes the name, so both must have it open before frames flow.
  const std::string ready1 = "/tmp/" + name + ".ready1";
  const std::string ready2 = "/tmp/" + name + ".ready2";
  Process reader1({SHMEM_PEER_PATH, "read", name, /*count=*/"10", /*timeout_ms=*/"15000", ready1});
  Process reader2({SHMEM_PEER_PATH, "read", name, "10", "15000", ready2});
  ASSERT_TRUE(reader1.started());
  ASSERT_TRUE(reader2.started());
  EXPECT_TRUE(waitFor(
      [&] { return access(ready1.c_str(), F_OK) == 0 && access(ready2.c_str(), F_OK) == 0; },
      std::chrono::seconds(10)));
  std::remove(ready1.c_str());
  std::remove(ready2.c_str());
  for (int i = 0; i < 3000 && (reader1.running() || reader2.running()); ++i) {
    sink.Publish(PatternImage(120, 160, i % 256), 1000 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pace the frames
  }
  reader1.wait(std::chrono::seconds(5));
  reader2.wait(std::chrono::seconds(5));
  EXPECT_EQ(reader1.exitCode(), 0);
  EXPECT_EQ(reader2.exitCode(), 0);
}

}  // namespace
}  // namespace tesmo
