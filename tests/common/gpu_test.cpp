#include "common/gpu/gpu.h"

#include <functional>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tesmo {
namespace {

using cv::cuda::GpuMat;

cv::Mat RandomImage(cv::Size size, int type, double lo, double hi) {
  cv::Mat m(size, type);
  cv::RNG rng(7 + type);
  rng.fill(m, cv::RNG::UNIFORM, lo, hi);
  return m;
}

gpu::Image Uploaded(const cv::Mat& host) {
  gpu::Image image;
  gpu::upload(host, image);
  return image;
}

cv::Mat Downloaded(const GpuMat& image) {
  cv::Mat host;
  gpu::download(image, host);
  return host;
}

// Each operation, queued on a stream of its own, against the host function it stands for, in
// what the CUDA generator's comparison with the CPU generator would miss: borders, odd sizes,
// zero divisors, rounding, parts of images.
TEST(GpuLayer, OperationsMatchTheHostFunctions) {
  const cv::Size size(67, 45);  // odd: padded rows and odd pyramid sizes
  const cv::Mat a8 = RandomImage(size, CV_8UC3, 0, 256);
  const cv::Mat a = RandomImage(size, CV_32FC3, -1, 1);
  cv::Mat b = RandomImage(size, CV_32FC3, 0.5, 2);
  b.row(3).setTo(0);
  cv::Mat maps[2];  // reaching outside the source
  cv::split(RandomImage(size, CV_32FC2, -10, 80), maps);
  const cv::Mat &mapX = maps[0], &mapY = maps[1];
  const gpu::Image ga8 = Uploaded(a8), ga = Uploaded(a), gb = Uploaded(b);
  const gpu::Image gx = Uploaded(mapX), gy = Uploaded(mapY);
  const cv::Scalar border(10, 20, 30);
  const struct {
    const char* name;
    std::function<void(gpu::Stream&, gpu::Image&)> gpuOp;
    std::function<void(cv::Mat&)> hostOp;
  } cases[] = {
      {"remap linear reflect",
       [&](gpu::Stream& s, gpu::Image& o) {
         gpu::remap(ga8, o, gx, gy, cv::INTER_LINEAR, cv::BORDER_REFLECT, cv::Scalar(), s);
       },
       [&](cv::Mat& r) { cv::remap(a8, r, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REFLECT); }},
      {"remap cubic constant",
       [&](gpu::Stream& s, gpu::Image& o) {
         gpu::remap(ga, o, gx, gy, cv::INTER_CUBIC, cv::BORDER_CONSTANT, border, s);
       },
       [&](cv::Mat& r) {
         cv::remap(a, r, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_CONSTANT, border);
       }},
      {"pyrDown", [&](gpu::Stream& s, gpu::Image& o) { gpu::pyrDown(ga, o, s); },
       [&](cv::Mat& r) { cv::pyrDown(a, r); }},
      {"pyrUp", [&](gpu::Stream& s, gpu::Image& o) { gpu::pyrUp(ga, o, s); },
       [&](cv::Mat& r) { cv::pyrUp(a, r); }},
      {"divide, 0 for a zero divisor",
       [&](gpu::Stream& s, gpu::Image& o) { gpu::divide(ga, gb, o, 1.0, s); },
       [&](cv::Mat& r) {
         cv::divide(a, b, r);
         r.row(3).setTo(0);
       }},
      {"convertTo 8 bits saturating",
       [&](gpu::Stream& s, gpu::Image& o) { gpu::convertTo(ga, o, CV_8U, 510.0, 0.0, s); },
       [&](cv::Mat& r) { a.convertTo(r, CV_8U, 510.0); }},
      {"copyTo and setTo",
       [&](gpu::Stream& s, gpu::Image& o) {
         gpu::copyTo(ga, o, s);
         GpuMat roi = o(cv::Rect(2, 3, 10, 5));
         gpu::setTo(roi, border, s);
       },
       [&](cv::Mat& r) {
         a.copyTo(r);
         r(cv::Rect(2, 3, 10, 5)).setTo(border);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gpu::Stream stream;
    gpu::Image out;
    c.gpuOp(stream, out);
    cv::Mat got, want;
    gpu::download(out, got, stream);
    c.hostOp(want);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_EQ(got.type(), want.type());
    EXPECT_LE(cv::norm(got, want, cv::NORM_INF), 1e-5);
  }
}

// The arguments OpenCV's CUDA functions refuse, and a device ordinal beyond the one device.
TEST(GpuLayer, RefusesWhatItCannotDo) {
  const gpu::Image f3(8, 8, CV_32FC3), f1(8, 8, CV_32FC1), u3(8, 8, CV_8UC3), map2(8, 8, CV_32FC2);
  gpu::Image out;
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"remap INTER_AREA", [&] { gpu::remap(u3, out, f1, f1, cv::INTER_AREA); }},
      {"remap BORDER_TRANSPARENT",
       [&] { gpu::remap(u3, out, f1, f1, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT); }},
      {"remap one two-channel map", [&] { gpu::remap(u3, out, map2, map2, cv::INTER_LINEAR); }},
      {"resize INTER_LANCZOS4",
       [&] { gpu::resize(f3, out, cv::Size(4, 4), 0, 0, cv::INTER_LANCZOS4); }},
      {"add of two types", [&] { gpu::add(f3, u3, out); }},
      {"pyrDown of nothing", [&] { gpu::pyrDown(gpu::Image(), out); }},
      {"device 1", [] { gpu::setDevice(1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(c.call(), cv::Exception);
  }
}

TEST(GpuImage, ReallocatesOnlyWhenSizeOrTypeChanges) {
  const cv::Size size(33, 20);
  const cv::Mat src8 = RandomImage(size, CV_8UC3, 0, 256);
  const gpu::Image src = Uploaded(src8);
  gpu::Image image;
  gpu::create(image, size, CV_32FC3);
  gpu::Image first = image;  // shares the first pixels and keeps them alive
  gpu::convertTo(src, image, CV_32F, 2.0);
  EXPECT_EQ(image.data, first.data);
  gpu::pyrDown(image, image);  // a new size: new pixels, read from the old ones
  EXPECT_NE(image.data, first.data);
  cv::Mat want;
  src8.convertTo(want, CV_32F, 2.0);
  cv::pyrDown(want, want);
  EXPECT_LE(cv::norm(Downloaded(image), want, cv::NORM_INF), 1e-4);

  // A plain header of the right size and type is written in place; assigned to an Image, it
  // keeps the pixels it shows alive.
  GpuMat view = first;
  gpu::setTo(view, cv::Scalar::all(3));
  gpu::Image holder;
  holder = view;
  const uchar* data = first.data;
  first.release();
  EXPECT_EQ(holder.data, data);
  EXPECT_EQ(cv::countNonZero(Downloaded(holder).reshape(1) == 3), size.area() * 3);
}

// Work that waits for an event recorded on `slow`, and any work on the default stream (as CUDA's
// does), runs after all of `slow`'s earlier work; an upload copies its host image at once.
TEST(GpuStream, EventsAndTheDefaultStreamOrderWorkAcrossStreams) {
  constexpr int kSteps = 40;
  for (const bool bDefault : {false, true}) {
    SCOPED_TRACE(bDefault ? "default stream" : "event");
    gpu::Stream slow, fast;
    gpu::Stream& after = bDefault ? gpu::Stream::Null() : fast;
    gpu::Image acc(1024, 2048, CV_32FC1), one(1024, 2048, CV_32FC1), small(4, 4, CV_32FC1), copy;
    gpu::setTo(acc, cv::Scalar(0), slow);
    gpu::setTo(one, cv::Scalar(1), slow);
    for (int i = 0; i < kSteps; ++i) gpu::add(acc, one, acc, slow);
    gpu::setTo(small, cv::Scalar(2), slow);
    gpu::Event done;
    done.record(slow);
    if (!bDefault) fast.waitEvent(done);
    cv::Mat host(4, 4, CV_32FC1, cv::Scalar(3)), got;
    gpu::upload(host, small, after);
    host.setTo(9);
    gpu::copyTo(acc, copy, after);
    gpu::download(copy, got, after);
    EXPECT_EQ(cv::countNonZero(got == kSteps), 2048 * 1024);
    EXPECT_TRUE(slow.queryIfComplete() && done.queryIfComplete());
    gpu::download(small, got, after);
    EXPECT_EQ(cv::countNonZero(got == 3), 16);
  }
}

TEST(GpuStream, ThrowsAFailureOfQueuedWorkOnce) {
  gpu::Stream stream;
  gpu::Image ints(8, 8, CV_32SC1), out;
  gpu::pyrDown(ints, out, stream);  // accepted; the host kernel has no 32-bit integer variant
  EXPECT_THROW(stream.waitForCompletion(), cv::Exception);
  gpu::setTo(ints, cv::Scalar(4), stream);
  cv::Mat host;
  gpu::download(ints, host, stream);
  EXPECT_EQ(host.at<int>(7, 7), 4);
}

}  // namespace
}  // namespace tesmo
