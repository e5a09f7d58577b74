#include "streamer/img_codecs.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "streamer/frame_stream.h"
#include "tests/thrown_text.h"
#include "tests/yaml.h"

namespace tesmo {
namespace {

using testing_util::Memory;
using testing_util::ThrownText;

// A smooth colour image with some edges, like a camera view.
cv::Mat TestImage(int rows = 480, int cols = 640) {
  cv::Mat img(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      img.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / cols),
                                          static_cast<uint8_t>(y * 255 / rows),
                                          static_cast<uint8_t>((x + y) % 128 + 64));
    }
  }
  cv::rectangle(img, cv::Rect(cols / 4, rows / 4, cols / 3, rows / 3), cv::Scalar(20, 200, 30), -1);
  return img;
}

TEST(ImageEncoderJpegTurbo, RoundTripKeepsSizeTypeAndContent) {
  const cv::Mat img = TestImage();
  ImageEncoderJpegTurbo encoder(/*quality=*/90);
  ImageDecoderJpegTurbo decoder;
  EXPECT_EQ(encoder.encoder_format(), JPEG);
  EXPECT_EQ(decoder.decoder_format(), JPEG);
  std::vector<uint8_t> buf = {1, 2, 3};
  ASSERT_TRUE(encoder.Encode(img, &buf));
  ASSERT_GT(buf.size(), 2u);
  EXPECT_EQ(buf[0], 0xFF);
  EXPECT_EQ(buf[1], 0xD8);  // a whole JPEG stream, the old content replaced
  cv::Mat out;
  ASSERT_TRUE(decoder.Decode(buf, &out));
  EXPECT_EQ(out.size(), img.size());
  EXPECT_EQ(out.type(), CV_8UC3);
  EXPECT_GT(cv::PSNR(img, out), 35.0);

  // The kept output buffer is reused: a second, smaller image is encoded on its own.
  std::vector<uint8_t> small;
  ASSERT_TRUE(encoder.Encode(TestImage(48, 64), &small));
  ASSERT_TRUE(decoder.Decode(small, &out));
  EXPECT_EQ(out.size(), cv::Size(64, 48));
}

TEST(ImageEncoderJpegTurbo, ConvertsDepthWithSaturationAndEncodesGrey) {
  cv::Mat img16(64, 64, CV_16UC1, cv::Scalar(1000));
  img16(cv::Rect(0, 0, 32, 64)).setTo(100);
  ImageEncoderJpegTurbo encoder(/*quality=*/95);
  std::vector<uint8_t> buf;
  ASSERT_TRUE(encoder.Encode(img16, &buf));
  cv::Mat out;
  ASSERT_TRUE(ImageDecoderJpegTurbo().Decode(buf, &out));
  ASSERT_EQ(out.type(), CV_8UC3);  // grey JPEGs come back as BGR
  EXPECT_NEAR(out.at<cv::Vec3b>(32, 60)[0], 255, 2);
  EXPECT_NEAR(out.at<cv::Vec3b>(32, 4)[1], 100, 2);
}

// Images TurboJPEG cannot compress are refused with an exception, not a failed check.
TEST(ImageEncoderJpegTurbo, ChannelCountsAndShapes) {
  ImageEncoderJpegTurbo encoder(/*quality=*/80);
  std::vector<uint8_t> buf;
  EXPECT_EQ(ThrownText([&] { encoder.Encode(cv::Mat(8, 8, CV_8UC2, cv::Scalar::all(1)), &buf); }),
            "Wrong image channels: 2");
  const int cube[] = {4, 4, 4};
  for (const cv::Mat& shape : {cv::Mat(), cv::Mat(3, cube, CV_8UC1), cv::Mat(1, 65501, CV_8UC1)}) {
    EXPECT_EQ(ThrownText([&] { encoder.Encode(shape, &buf); }).rfind("Can't encode a JPEG of ", 0),
              0u);
  }
  // BGRA: the colour comes through, the alpha byte is ignored.
  cv::Mat bgra(32, 32, CV_8UC4, cv::Scalar(200, 100, 30, 7));
  ASSERT_TRUE(encoder.Encode(bgra, &buf));
  cv::Mat out;
  ASSERT_TRUE(ImageDecoderJpegTurbo().Decode(buf, &out));
  const cv::Vec3b px = out.at<cv::Vec3b>(16, 16);
  EXPECT_NEAR(px[0], 200, 3);
  EXPECT_NEAR(px[1], 100, 3);
  EXPECT_NEAR(px[2], 30, 3);
}

TEST(ImageEncoderJpegTurbo, RegionViewsEncodeLikeTheirCopies) {
  const cv::Mat img = TestImage();
  cv::Mat grey;
  cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
  for (const cv::Mat& whole : {img, grey}) {
    const cv::Mat view = whole(cv::Rect(13, 7, 301, 200));
    ASSERT_FALSE(view.isContinuous());
    ImageEncoderJpegTurbo encoder(/*quality=*/80);
    std::vector<uint8_t> from_view;
    std::vector<uint8_t> from_copy;
    ASSERT_TRUE(encoder.Encode(view, &from_view));
    ASSERT_TRUE(encoder.Encode(view.clone(), &from_copy));
    EXPECT_EQ(from_view, from_copy);
  }
}

TEST(ImageCodecs, TurboJpegAndOpenCVDecodeEachOthersOutput) {
  const cv::Mat img = TestImage(1080, 1920);
  std::vector<uint8_t> turbo_jpeg;
  std::vector<uint8_t> opencv_jpeg;
  ASSERT_TRUE(ImageEncoderJpegTurbo(80).Encode(img, &turbo_jpeg));
  ASSERT_TRUE(ImageEncoderJpegOpenCV(80).Encode(img, &opencv_jpeg));

  cv::Mat a;
  cv::Mat b;
  ASSERT_TRUE(ImageDecoderJpegOpenCV().Decode(turbo_jpeg, &a));
  ASSERT_TRUE(ImageDecoderJpegTurbo().Decode(opencv_jpeg, &b));
  EXPECT_EQ(a.size(), img.size());
  EXPECT_EQ(b.size(), img.size());
  EXPECT_GT(cv::PSNR(img, a), 33.0);
  EXPECT_GT(cv::PSNR(img, b), 33.0);

  // Both decoders read one stream to nearly the same pixels (each uses its own IDCT).
  cv::Mat c;
  ASSERT_TRUE(ImageDecoderJpegTurbo().Decode(turbo_jpeg, &c));
  EXPECT_GT(cv::PSNR(a, c), 40.0);
}

// A progressive grey JPEG of 8000 x 8000 whose `scans` AC scans hold no coded data: each one
// costs the decoder a pass over the whole image, for 9 bytes of input.
std::vector<uint8_t> ScanFloodJpeg(int scans) {
  std::vector<uint8_t> out = {0xFF, 0xD8};
  const auto segment = [&out](uint8_t marker, std::vector<uint8_t> body) {
    const size_t n = body.size() + 2;
    out.insert(out.end(), {0xFF, marker, uint8_t(n >> 8), uint8_t(n & 0xFF)});
    out.insert(out.end(), body.begin(), body.end());
  };
  std::vector<uint8_t> dqt(65, 1), dht(18, 0);
  dqt[0] = 0;
  dht[1] = 1;  // one 1-bit code, in DC table 0 and then in AC table 0
  segment(0xDB, dqt);
  segment(0xC2, {8, 0x1F, 0x40, 0x1F, 0x40, 1, 1, 0x11, 0});  // 8000 x 8000, one component
  segment(0xC4, dht);
  dht[0] = 0x10;
  segment(0xC4, dht);
  for (int i = 0; i <= scans; ++i) {  // the DC scan, then the AC scans
    const uint8_t last = i == 0 ? 0 : 63;
    segment(0xDA, {1, 1, 0x00, uint8_t(i == 0 ? 0 : 1), last, 0});
    out.push_back(0);
  }
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

TEST(ImageCodecs, UndecodableDataIsRefused) {
  std::vector<uint8_t> jpeg;
  ASSERT_TRUE(ImageEncoderJpegTurbo(80).Encode(TestImage(), &jpeg));
  const std::vector<uint8_t> truncated(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  const std::vector<uint8_t> header_only(jpeg.begin(), jpeg.begin() + 200);
  std::vector<uint8_t> noise_bytes(5000);
  cv::randu(noise_bytes, 0, 256);
  const std::vector<uint8_t> noise = noise_bytes;
  const std::vector<uint8_t> empty;
  const std::vector<uint8_t> scan_flood = ScanFloodJpeg(6000);
  for (const auto* data : {&truncated, &header_only, &noise, &empty, &scan_flood}) {
    cv::Mat out;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ImageDecoderJpegTurbo().Decode(*data, &out)) << data->size() << " bytes";
    // A stream the decoder warns about is given up at the first warning, not decoded to its end.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << data->size();
  }
  // imdecode accepts a truncated stream (grey fill), so only garbage is refused by it.
  for (const auto* data : {&noise, &empty}) {
    cv::Mat out;
    EXPECT_FALSE(ImageDecoderJpegOpenCV().Decode(*data, &out)) << data->size() << " bytes";
  }
}

TEST(ImageCodecs, JpegWiderThanTheFrameBoundIsRefusedBeforeDecoding) {
  std::vector<uint8_t> wide;
  ASSERT_TRUE(ImageEncoderJpegTurbo(80).Encode(
      cv::Mat(8, kMaxFrameSide + 1, CV_8UC3, cv::Scalar::all(90)), &wide));
  cv::Mat out;
  EXPECT_FALSE(ImageDecoderJpegTurbo().Decode(wide, &out));
  EXPECT_FALSE(ImageDecoderJpegOpenCV().Decode(wide, &out));
}

TEST(ImageCodecs, RawVariantsOnlyCarryTheFormat) {
  ImageEncoderRaw encoder;
  ImageDecoderRaw decoder;
  EXPECT_EQ(encoder.encoder_format(), Raw);
  EXPECT_EQ(decoder.decoder_format(), Raw);
  std::vector<uint8_t> buf = {9, 8, 7};
  EXPECT_FALSE(encoder.Encode(TestImage(), &buf));
  EXPECT_EQ(buf, (std::vector<uint8_t>{9, 8, 7}));
  cv::Mat out;
  EXPECT_FALSE(decoder.Decode(buf, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ThrownText([] { ImageEncoderJpegNvMedia encoder(80); }), "Build with NvMedia");
}

TEST(ImageEncoderFactory, StringForm) {
  auto opencv = ImageEncoder::Create("jpeg", "type=opencv_wrapper,quality=95");
  ASSERT_TRUE(dynamic_cast<ImageEncoderJpegOpenCV*>(opencv.get()));
  auto turbo = ImageEncoder::Create("jpeg", "");
  ASSERT_TRUE(dynamic_cast<ImageEncoderJpegTurbo*>(turbo.get()));
  EXPECT_TRUE(dynamic_cast<ImageEncoderRaw*>(ImageEncoder::Create("raw", "").get()));

  // The quality option reaches the encoder: same bytes as an encoder built with it directly.
  const cv::Mat img = TestImage();
  std::vector<uint8_t> via_factory;
  std::vector<uint8_t> direct;
  ASSERT_TRUE(opencv->Encode(img, &via_factory));
  ASSERT_TRUE(ImageEncoderJpegOpenCV(95).Encode(img, &direct));
  EXPECT_EQ(via_factory, direct);
  ASSERT_TRUE(turbo->Encode(img, &via_factory));
  ASSERT_TRUE(ImageEncoderJpegTurbo(80).Encode(img, &direct));
  EXPECT_EQ(via_factory, direct);

  EXPECT_EQ(ThrownText([] { ImageEncoder::Create("png", ""); }), "Unknown encoder type: png");
  EXPECT_EQ(ThrownText([] { ImageEncoder::Create("jpeg", "type=gpu"); }),
            "Unknown jpeg encoder type: gpu");
  EXPECT_EQ(ThrownText([] { ImageEncoder::Create("jpeg", "type=nvmedia_jpeg"); }),
            "Build with NvMedia");
  EXPECT_THROW(ImageEncoder::Create("jpeg", "quality=high"), std::invalid_argument);
}

TEST(ImageEncoderFactory, NodeForm) {
  const cv::Mat img = TestImage();
  std::vector<uint8_t> via_factory;
  std::vector<uint8_t> direct;
  // A real quality is not an integer: 80 stays.
  cv::FileStorage fs = Memory("enc: { type: turbo_jpeg, quality: 90.5 }\n"
                              "ocv: { type: opencv_jpeg, quality: 60 }\n"
                              "raw: { type: raw }\nnv: { type: nvmedia_jpeg }\n"
                              "bad: { type: webp }\n");
  auto turbo = ImageEncoder::Create(fs["enc"]);
  ASSERT_TRUE(dynamic_cast<ImageEncoderJpegTurbo*>(turbo.get()));
  ASSERT_TRUE(turbo->Encode(img, &via_factory));
  ASSERT_TRUE(ImageEncoderJpegTurbo(80).Encode(img, &direct));
  EXPECT_EQ(via_factory, direct);
  auto ocv = ImageEncoder::Create(fs["ocv"]);
  ASSERT_TRUE(ocv->Encode(img, &via_factory));
  ASSERT_TRUE(ImageEncoderJpegOpenCV(60).Encode(img, &direct));
  EXPECT_EQ(via_factory, direct);
  EXPECT_TRUE(dynamic_cast<ImageEncoderRaw*>(ImageEncoder::Create(fs["raw"]).get()));
  EXPECT_EQ(ThrownText([&] { ImageEncoder::Create(fs["nv"]); }), "Build with NvMedia");
  EXPECT_EQ(ThrownText([&] { ImageEncoder::Create(fs["bad"]); }), "Unknown encoder type: webp");
  EXPECT_DEATH(ImageEncoder::Create(fs["missing"]), "Check failed: node\\[\"type\"\\].isString\\(\\) ");
}

TEST(ImageDecoderFactory, BothForms) {
  EXPECT_TRUE(dynamic_cast<ImageDecoderJpegTurbo*>(ImageDecoder::Create("jpeg", "").get()));
  EXPECT_TRUE(dynamic_cast<ImageDecoderJpegOpenCV*>(
      ImageDecoder::Create("jpeg", "type=opencv_wrapper").get()));
  EXPECT_TRUE(dynamic_cast<ImageDecoderRaw*>(ImageDecoder::Create("raw", "").get()));
  EXPECT_EQ(ThrownText([] { ImageDecoder::Create("jpeg", "type=nvmedia_jpeg"); }),
            "nvmedia_jpeg not support now \n");
  EXPECT_EQ(ThrownText([] { ImageDecoder::Create("jpeg", "type=gpu"); }),
            "Unknown jpeg decoder type: gpu");
  EXPECT_EQ(ThrownText([] { ImageDecoder::Create("bmp", ""); }), "Unknown decoder type: bmp");

  cv::FileStorage fs = Memory("a: { type: turbo_jpeg }\nb: { type: opencv_jpeg }\n"
                              "c: { type: raw }\nd: { type: nvmedia_jpeg }\ne: { type: x }\n");
  EXPECT_TRUE(dynamic_cast<ImageDecoderJpegTurbo*>(ImageDecoder::Create(fs["a"]).get()));
  EXPECT_TRUE(dynamic_cast<ImageDecoderJpegOpenCV*>(ImageDecoder::Create(fs["b"]).get()));
  EXPECT_TRUE(dynamic_cast<ImageDecoderRaw*>(ImageDecoder::Create(fs["c"]).get()));
  EXPECT_EQ(ThrownText([&] { ImageDecoder::Create(fs["d"]); }), "nvmedia_jpeg not support now \n");
  EXPECT_EQ(ThrownText([&] { ImageDecoder::Create(fs["e"]); }), "Unknown decoder type: x");
}

}  // namespace
}  // namespace tesmo
