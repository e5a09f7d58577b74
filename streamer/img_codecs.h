#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tesmo {

// Format of an encoded image; also the codec field of encoded ZeroMQ frame messages.
enum ImageCodecFormat : int { Raw = 0, JPEG = 1 };

// Turns an image into a compressed byte buffer. One thread at a time per object.
class ImageEncoder {
 public:
  ImageEncoder() = default;
  ImageEncoder(const ImageEncoder&) = delete;
  ImageEncoder& operator=(const ImageEncoder&) = delete;

  // Replaces *buf with the complete encoded image; true on success.
  virtual bool Encode(cv::InputArray img, std::vector<uint8_t>* buf) = 0;
  virtual ~ImageEncoder();

  ImageCodecFormat encoder_format() const { return encoder_format_; }

  // From a node with "type" ("opencv_jpeg", "turbo_jpeg", "nvmedia_jpeg", "raw") and an optional
  // integer "quality" in 1..100 (80; a real number keeps 80). A non-string "type" ends the
  // process; an unknown one, or a "quality" of another type or out of range, throws
  // std::runtime_error (naming the key and the node's name).
  static std::shared_ptr<ImageEncoder> Create(const cv::FileNode& node);
  // From a format ("jpeg" or "raw") and an option string such as "type=opencv_wrapper,quality=95"
  // (jpeg options: "type" = "turbo_jpeg" (default), "opencv_wrapper" or "nvmedia_jpeg";
  // "quality" = "80", in 1..100). Unknown names and a quality out of range throw
  // std::runtime_error; a non-numeric quality throws std::invalid_argument.
  static std::shared_ptr<ImageEncoder> Create(const std::string& type,
                                              const std::string& params_str);

 protected:
  ImageCodecFormat encoder_format_ = Raw;
};

// Turns an encoded byte buffer back into an image. One thread at a time per object.
class ImageDecoder {
 public:
  ImageDecoder() = default;
  ImageDecoder(const ImageDecoder&) = delete;
  ImageDecoder& operator=(const ImageDecoder&) = delete;

  // `buf` holds the encoded bytes (total() * elemSize() of them). The JPEG decoders write a
  // 3-channel BGR image into *dst and return true, or return false for data they cannot decode
  // (then *dst holds nothing usable).
  virtual bool Decode(cv::InputArray buf, cv::Mat* dst) = 0;
  virtual ~ImageDecoder();

  ImageCodecFormat decoder_format() const { return decoder_format_; }

  // From a node with "type" ("opencv_jpeg", "turbo_jpeg", "raw"); "nvmedia_jpeg" and unknown
  // names throw std::runtime_error.
  static std::shared_ptr<ImageDecoder> Create(const cv::FileNode& node);
  // From a format ("jpeg" or "raw") and an option string ("type" = "turbo_jpeg" (default) or
  // "opencv_wrapper"). Unknown names throw std::runtime_error.
  static std::shared_ptr<ImageDecoder> Create(const std::string& type,
                                              const std::string& params_str);

 protected:
  ImageCodecFormat decoder_format_ = Raw;
};

// JPEG through libjpeg-turbo: 4:4:4, fast DCT. 8-bit input is taken as is, other depths are
// converted with saturation; 1, 3 (BGR) or 4 (BGRA, alpha ignored) channels, anything else
// throws std::runtime_error, as does an empty image, one of more than two dimensions or one with
// a side beyond 65500. The output buffer is kept and reused between calls. A quality outside
// 1..100 throws std::runtime_error at construction.
class ImageEncoderJpegTurbo : public ImageEncoder {
 public:
  explicit ImageEncoderJpegTurbo(int quality);
  ~ImageEncoderJpegTurbo() override;
  bool Encode(cv::InputArray img, std::vector<uint8_t>* buf) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Width and height that the JPEG stream in `buf` declares, read from its headers without
// decoding it; false (and *size untouched) when TurboJPEG cannot read such headers. Lets a
// caller refuse an image before a decoder allocates room for it.
bool ReadJpegSize(cv::InputArray buf, cv::Size* size);

// JPEG decoding through libjpeg-turbo, always to 3-channel BGR. Images larger than the frame
// bound of streamer/frame_stream.h are refused before any pixel memory is allocated.
class ImageDecoderJpegTurbo : public ImageDecoder {
 public:
  ImageDecoderJpegTurbo();
  ~ImageDecoderJpegTurbo() override;
  bool Decode(cv::InputArray buf, cv::Mat* dst) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// JPEG through cv::imencode. A quality outside 1..100 throws std::runtime_error at construction.
class ImageEncoderJpegOpenCV : public ImageEncoder {
 public:
  explicit ImageEncoderJpegOpenCV(int quality = 80);
  ~ImageEncoderJpegOpenCV() override;
  bool Encode(cv::InputArray img, std::vector<uint8_t>* buf) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// JPEG through cv::imdecode, to 3-channel BGR; JPEG streams larger than the frame bound of
// streamer/frame_stream.h are refused before decoding.
class ImageDecoderJpegOpenCV : public ImageDecoder {
 public:
  ImageDecoderJpegOpenCV();
  ~ImageDecoderJpegOpenCV() override;
  bool Decode(cv::InputArray buf, cv::Mat* dst) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // stays empty
};

// Marks uncompressed payloads: Encode does nothing and returns false. Users test
// encoder_format() and move raw pixels themselves.
class ImageEncoderRaw : public ImageEncoder {
 public:
  ImageEncoderRaw();
  bool Encode(cv::InputArray img, std::vector<uint8_t>* buf) override;
};

// Marks uncompressed payloads: Decode does nothing and returns false.
class ImageDecoderRaw : public ImageDecoder {
 public:
  ImageDecoderRaw();
  bool Decode(cv::InputArray buf, cv::Mat* dst) override;
};

// Hardware JPEG encoder that this build lacks: construction (and Encode) throw
// std::runtime_error("Build with NvMedia").
class ImageEncoderJpegNvMedia : public ImageEncoder {
 public:
  explicit ImageEncoderJpegNvMedia(int quality);
  ~ImageEncoderJpegNvMedia() override;
  bool Encode(cv::InputArray img, std::vector<uint8_t>* buf) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace tesmo
