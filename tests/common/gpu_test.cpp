#include "common/gpu/gpu.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/temp_dir.h"

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

// Each operation, queued on a stream of its own, against the host function it stands for.
TEST(GpuLayer, OperationsMatchTheHostFunctions) {
  const cv::Size size(67, 45);  // odd: padded rows and odd pyramid sizes
  const cv::Mat a8 = RandomImage(size, CV_8UC3, 0, 256);
  const cv::Mat a = RandomImage(size, CV_32FC3, -1, 1);
  const cv::Mat b = RandomImage(size, CV_32FC3, 0.5, 2);
  cv::Mat bZeros = b.clone();
  bZeros.row(3).setTo(0);
  cv::Mat mapX(size, CV_32FC1), mapY(size, CV_32FC1);  // reaches outside the source
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      mapX.at<float>(y, x) = 1.3f * x - 10.37f;
      mapY.at<float>(y, x) = 0.8f * y + 12.61f;
    }
  }
  const gpu::Image ga8 = Uploaded(a8), ga = Uploaded(a), gb = Uploaded(b);
  const gpu::Image gbZeros = Uploaded(bZeros), gx = Uploaded(mapX), gy = Uploaded(mapY);
  using GpuOp = std::function<void(gpu::Stream&, gpu::Image&)>;
  using HostOp = std::function<void(cv::Mat&)>;
  const cv::Scalar border(10, 20, 30);
  const struct {
    const char* name;
    GpuOp gpuOp;
    HostOp hostOp;
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
      {"resize", [&](gpu::Stream& s, gpu::Image& o) {
         gpu::resize(ga, o, cv::Size(100, 31), 0, 0, cv::INTER_LINEAR, s); },
       [&](cv::Mat& r) { cv::resize(a, r, cv::Size(100, 31), 0, 0, cv::INTER_LINEAR); }},
      {"add", [&](gpu::Stream& s, gpu::Image& o) { gpu::add(ga, gb, o, s); },
       [&](cv::Mat& r) { cv::add(a, b, r); }},
      {"subtract", [&](gpu::Stream& s, gpu::Image& o) { gpu::subtract(ga, gb, o, s); },
       [&](cv::Mat& r) { cv::subtract(a, b, r); }},
      {"multiply", [&](gpu::Stream& s, gpu::Image& o) { gpu::multiply(ga, gb, o, 1.0, s); },
       [&](cv::Mat& r) { cv::multiply(a, b, r); }},
      {"divide, 0 for a zero divisor",
       [&](gpu::Stream& s, gpu::Image& o) { gpu::divide(ga, gbZeros, o, 1.0, s); },
       [&](cv::Mat& r) {
         cv::divide(a, bZeros, r);
         r.row(3).setTo(0);
       }},
      {"convertTo float with gain and offset",
       [&](gpu::Stream& s, gpu::Image& o) { gpu::convertTo(ga8, o, CV_32F, 2.0 / 255, 0.1, s); },
       [&](cv::Mat& r) { a8.convertTo(r, CV_32F, 2.0 / 255, 0.1); }},
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

// The arguments OpenCV's CUDA functions refuse, and allocation into a plain GpuMat header.
TEST(GpuLayer, RefusesWhatItCannotDo) {
  const gpu::Image f3(8, 8, CV_32FC3), f1(8, 8, CV_32FC1), u3(8, 8, CV_8UC3), map2(8, 8, CV_32FC2);
  gpu::Image out;
  GpuMat plain;
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
      {"upload into a plain GpuMat", [&] { gpu::upload(cv::Mat(4, 4, CV_8UC1), plain); }},
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
  gpu::convertTo(src, image, CV_32F);
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
  EXPECT_EQ(cv::norm(Downloaded(holder), cv::Mat(size, CV_32FC3, cv::Scalar::all(3)),
                     cv::NORM_INF),
            0.0);

  // An Image passed as an output array is allocated through the array's GpuMat.
  gpu::Image out;
  cv::_OutputArray array(out);
  ASSERT_EQ(array.kind(), cv::_InputArray::CUDA_GPU_MAT);
  gpu::convertTo(src, array.getGpuMatRef(), CV_32F);
  EXPECT_EQ(out.size(), size);
}

// Work on `fast` that waits for an event recorded on `slow` sees all of `slow`'s earlier work;
// a host image uploaded behind queued work may change at once.
TEST(GpuStream, EventOrdersWorkAcrossStreams) {
  const cv::Size size(2048, 1024);
  constexpr int kSteps = 40;
  gpu::Stream slow, fast;
  gpu::Image acc(size, CV_32FC1), one(size, CV_32FC1), copy, uploaded;
  gpu::setTo(acc, cv::Scalar(0), slow);
  gpu::setTo(one, cv::Scalar(1), slow);
  for (int i = 0; i < kSteps; ++i) gpu::add(acc, one, acc, slow);
  cv::Mat host(4, 4, CV_8UC1, cv::Scalar(5));
  gpu::upload(host, uploaded, slow);
  host.setTo(9);
  gpu::Event done;
  done.record(slow);
  fast.waitEvent(done);
  gpu::copyTo(acc, copy, fast);
  cv::Mat got;
  gpu::download(copy, got, fast);
  double lo = 0, hi = 0;
  cv::minMaxLoc(got, &lo, &hi);
  EXPECT_EQ(lo, kSteps);
  EXPECT_EQ(hi, kSteps);
  EXPECT_TRUE(done.queryIfComplete());
  gpu::download(uploaded, got, slow);
  EXPECT_EQ(cv::countNonZero(got != 5), 0);
}

// The default stream runs after the work queued on other streams, as CUDA's does: a download or
// upload on it sees, and never overtakes, what another stream has still to write.
TEST(GpuStream, DefaultStreamWaitsForOtherStreams) {
  const cv::Size size(2048, 1024);
  constexpr int kSteps = 40;
  gpu::Stream slow;
  gpu::Image acc(size, CV_32FC1), one(size, CV_32FC1), small(4, 4, CV_32FC1);
  gpu::setTo(acc, cv::Scalar(0), slow);
  gpu::setTo(one, cv::Scalar(1), slow);
  for (int i = 0; i < kSteps; ++i) gpu::add(acc, one, acc, slow);
  gpu::setTo(small, cv::Scalar(2), slow);
  gpu::upload(cv::Mat(4, 4, CV_32FC1, cv::Scalar(3)), small);
  const cv::Mat got = Downloaded(acc);
  double lo = 0, hi = 0;
  cv::minMaxLoc(got, &lo, &hi);
  EXPECT_EQ(lo, kSteps);
  EXPECT_EQ(hi, kSteps);
  EXPECT_TRUE(slow.queryIfComplete());
  EXPECT_EQ(cv::countNonZero(Downloaded(small) != 3), 0);
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

TEST(GpuVideoReader, ReadsAnMjpgFileAsBgrFrames) {
  testing_util::TempDir dir;
  const std::string path = dir / "clip.avi";
  const cv::Size size(64, 48);
  {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size);
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 3; ++i) {
      writer.write(cv::Mat(size, CV_8UC3, cv::Scalar(40 + 60 * i, 120, 200)));
    }
  }
  cv::Ptr<gpu::VideoReader> reader = gpu::createVideoReader(path);
  gpu::Stream stream;
  gpu::Image frame;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(reader->nextFrame(frame, stream)) << i;
    cv::Mat host;
    gpu::download(frame, host, stream);
    ASSERT_EQ(host.type(), CV_8UC3);
    ASSERT_EQ(host.size(), size);
    const cv::Scalar mean = cv::mean(host);
    EXPECT_NEAR(mean[0], 40 + 60 * i, 4);
    EXPECT_NEAR(mean[2], 200, 4);
  }
  EXPECT_FALSE(reader->nextFrame(frame, stream));
  EXPECT_THROW(gpu::createVideoReader(dir / "missing.avi"), cv::Exception);
}

TEST(GpuDevice, ListsOneHostBackEndDevice) {
  EXPECT_EQ(gpu::getDeviceCount(), 1);
  gpu::setDevice(0);
  EXPECT_EQ(gpu::getDevice(), 0);
  EXPECT_THROW(gpu::setDevice(1), cv::Exception);
  EXPECT_THROW(gpu::setDevice(-1), cv::Exception);
  std::ostringstream os;
  gpu::printShortDeviceInfo(0, os);
  EXPECT_EQ(os.str().rfind("Device 0:  \"Host back-end", 0), 0u) << os.str();
}

}  // namespace
}  // namespace tesmo
