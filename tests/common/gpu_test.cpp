#include "common/gpu/gpu.h"

#include <functional>
#include <utility>

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

// Each operation, on a stream of its own, against its host function where the generator
// comparison would miss a difference: borders, odd sizes, zero divisors, saturation, ROIs.
TEST(GpuLayer, OperationsMatchTheHostFunctions) {
  const cv::Size size(67, 45);  // odd: padded rows and odd pyramid sizes
  const cv::Mat a8 = RandomImage(size, CV_8UC3, 0, 256), a = RandomImage(size, CV_32FC3, -1, 1);
  cv::Mat b = RandomImage(size, CV_32FC3, 0.5, 2), map[2];
  b.row(3).setTo(0);
  cv::split(RandomImage(size, CV_32FC2, -10, 80), map);  // reaching outside the source
  const gpu::Image ga8 = Uploaded(a8), ga = Uploaded(a), gb = Uploaded(b);
  const gpu::Image gx = Uploaded(map[0]), gy = Uploaded(map[1]);
  const cv::Scalar border(10, 20, 30);
  const cv::Rect roi(2, 3, 10, 5);
  // Each queues the operation on `s` into `o` and computes the host result into `r`.
  const std::pair<const char*, std::function<void(gpu::Stream&, gpu::Image&, cv::Mat&)>> cases[] = {
      {"remap linear reflect",
       [&](auto& s, auto& o, auto& r) {
         gpu::remap(ga8, o, gx, gy, cv::INTER_LINEAR, cv::BORDER_REFLECT, {}, s);
         cv::remap(a8, r, map[0], map[1], cv::INTER_LINEAR, cv::BORDER_REFLECT);
       }},
      {"remap cubic constant",
       [&](auto& s, auto& o, auto& r) {
         gpu::remap(ga, o, gx, gy, cv::INTER_CUBIC, cv::BORDER_CONSTANT, border, s);
         cv::remap(a, r, map[0], map[1], cv::INTER_CUBIC, cv::BORDER_CONSTANT, border);
       }},
      {"pyrDown", [&](auto& s, auto& o, auto& r) { gpu::pyrDown(ga, o, s); cv::pyrDown(a, r); }},
      {"pyrUp", [&](auto& s, auto& o, auto& r) { gpu::pyrUp(ga, o, s); cv::pyrUp(a, r); }},
      {"divide, 0 for a zero divisor",
       [&](auto& s, auto& o, auto& r) {
         gpu::divide(ga, gb, o, 1.0, s);
         cv::divide(a, b, r);
         r.row(3).setTo(0);
       }},
      {"convertTo 8 bits saturating",
       [&](auto& s, auto& o, auto& r) {
         gpu::convertTo(ga, o, CV_8U, 510.0, 0.0, s);
         a.convertTo(r, CV_8U, 510.0);
       }},
      {"cvtColor gray to BGR, of an ROI",
       [&](auto& s, auto& o, auto& r) {
         gpu::Image gray;
         gpu::cvtColor(ga8, gray, cv::COLOR_BGR2GRAY, 0, s);
         gpu::cvtColor(gray(roi), o, cv::COLOR_GRAY2BGR, 0, s);
         cv::cvtColor(a8, r, cv::COLOR_BGR2GRAY);
         cv::cvtColor(r(roi), r, cv::COLOR_GRAY2BGR);
       }},
      {"cvtColor BGRA to BGR",
       [&](auto& s, auto& o, auto& r) {
         gpu::Image bgra;
         gpu::cvtColor(ga, bgra, cv::COLOR_BGR2BGRA, 4, s);
         gpu::cvtColor(bgra, o, cv::COLOR_BGRA2BGR, 0, s);
         r = a;
       }},
      {"copyTo and setTo of an ROI",
       [&](auto& s, auto& o, auto& r) {
         gpu::copyTo(ga, o, s);
         GpuMat part = o(roi);
         gpu::setTo(part, border, s);
         a.copyTo(r);
         r(roi).setTo(border);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    gpu::Stream stream;
    gpu::Image out;
    cv::Mat got, want;
    c.second(stream, out, want);
    gpu::download(out, got, stream);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_EQ(got.type(), want.type());
    EXPECT_LE(cv::norm(got, want, cv::NORM_INF), 1e-5);
  }
}

// The arguments OpenCV's CUDA functions refuse, and a device ordinal beyond the one device.
TEST(GpuLayer, RefusesWhatItCannotDo) {
  const gpu::Image f3(8, 8, CV_32FC3), f1(8, 8, CV_32FC1), u3(8, 8, CV_8UC3), map2(8, 8, CV_32FC2);
  gpu::Image out;
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"remap INTER_AREA", [&] { gpu::remap(u3, out, f1, f1, cv::INTER_AREA); }},
      {"remap BORDER_TRANSPARENT",
       [&] { gpu::remap(u3, out, f1, f1, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT); }},
      {"remap one two-channel map", [&] { gpu::remap(u3, out, map2, map2, cv::INTER_LINEAR); }},
      {"resize INTER_LANCZOS4", [&] { gpu::resize(f3, out, {4, 4}, 0, 0, cv::INTER_LANCZOS4); }},
      {"add of two types", [&] { gpu::add(f3, u3, out); }},
      {"cvtColor of 3 channels from gray", [&] { gpu::cvtColor(u3, out, cv::COLOR_GRAY2BGR); }},
      {"cvtColor YUV", [&] { gpu::cvtColor(u3, out, cv::COLOR_BGR2YUV); }},
      {"pyrDown of nothing", [&] { gpu::pyrDown(gpu::Image(), out); }},
      {"device 1", [] { gpu::setDevice(1); }},
  };
  for (const auto& c : cases) EXPECT_THROW(c.second(), cv::Exception) << c.first;
}

// A result keeps its image's pixels while size and type stay; a plain header is written in place
// and, assigned to an Image, keeps the pixels it shows alive.
TEST(GpuImage, ReallocatesOnlyWhenSizeOrTypeChanges) {
  const cv::Size size(33, 20);
  const cv::Mat src8 = RandomImage(size, CV_8UC3, 0, 256);
  gpu::Image image(size, CV_32FC3);
  gpu::Image first = image;  // shares the first pixels and keeps them alive
  gpu::convertTo(Uploaded(src8), image, CV_32F, 2.0);
  EXPECT_EQ(image.data, first.data);
  gpu::pyrDown(image, image);  // a new size: new pixels, read from the old ones
  EXPECT_NE(image.data, first.data);
  cv::Mat want;
  src8.convertTo(want, CV_32F, 2.0);
  cv::pyrDown(want, want);
  EXPECT_LE(cv::norm(Downloaded(image), want, cv::NORM_INF), 1e-4);

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
