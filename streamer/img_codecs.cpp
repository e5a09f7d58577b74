#include "streamer/img_codecs.h"

#include <algorithm>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <glog/logging.h>
#include <opencv2/imgcodecs.hpp>
#include <turbojpeg.h>

#include "common/misc.h"
#include "common/perf.h"
#include "common/text_params.h"
#include "streamer/frame_stream.h"
#include "streamer/util.h"

namespace tesmo {
namespace {

// The JPEG qualities that both encoders take; TurboJPEG fails every frame outside them.
constexpr int kMinJpegQuality = 1;
constexpr int kMaxJpegQuality = 100;
// Longest side a JPEG stream can declare (TurboJPEG's limit).
constexpr int kMaxJpegSide = 65500;

// Throws for a quality outside kMinJpegQuality..kMaxJpegQuality: "<what> must be an integer in
// 1..100, got <text>".
void CheckJpegQuality(int quality, const std::string& what = "JPEG quality",
                      const std::string& text = "") {
  if (quality < kMinJpegQuality || quality > kMaxJpegQuality) {
    throw std::runtime_error(what + " must be an integer in " + std::to_string(kMinJpegQuality) +
                             ".." + std::to_string(kMaxJpegQuality) + ", got " +
                             (text.empty() ? std::to_string(quality) : text));
  }
}

// Whether a decoded BGR image of width x height stays within the frame bound, so that a forged
// JPEG header cannot make the decoder allocate more than any frame may hold.
bool WithinFrameBound(int width, int height) {
  // A negative side turns into a huge unsigned one, which the bound refuses too.
  return FitsFrameBound(uint64_t(width), uint64_t(height), 3);
}

// The bytes of `buf` as one continuous block (a copy only for a non-continuous array).
cv::Mat ContinuousBytes(cv::InputArray buf) {
  cv::Mat mat = buf.getMat();
  return mat.isContinuous() ? mat : mat.clone();
}

}  // namespace

ImageEncoder::~ImageEncoder() = default;
ImageDecoder::~ImageDecoder() = default;

// ---------------------------------------------------------------------------------------------
// TurboJPEG

struct ImageEncoderJpegTurbo::Impl {
  tjhandle tj_compressor_ = nullptr;
  unsigned char* compressed_buf_ = nullptr;  // owned by TurboJPEG, grown by tjCompress2
  unsigned long compressed_buf_size_ = 0;
  int quality_ = 80;

  ~Impl() {
    if (compressed_buf_ != nullptr) tjFree(compressed_buf_);
    if (tj_compressor_ != nullptr) tjDestroy(tj_compressor_);
  }
};

ImageEncoderJpegTurbo::ImageEncoderJpegTurbo(int quality) : impl_(std::make_shared<Impl>()) {
  CheckJpegQuality(quality);
  encoder_format_ = JPEG;
  impl_->quality_ = quality;
  impl_->tj_compressor_ = tjInitCompress();
  CHECK(impl_->tj_compressor_ != nullptr) << "tjInitCompress: " << tjGetErrorStr();
}

ImageEncoderJpegTurbo::~ImageEncoderJpegTurbo() = default;

bool ImageEncoderJpegTurbo::Encode(cv::InputArray img, std::vector<uint8_t>* buf) {
  perf::ScopedTimer timer("jpeg_turbo_enc");
  cv::Mat img_cur = img.getMat();
  // 8-bit images are compressed in place, rows taken with their own pitch (region views need no
  // copy); other depths are converted with saturation into a new continuous image.
  if (img_cur.depth() != CV_8U) {
    cv::Mat converted;
    img_cur.convertTo(converted, CV_8U, 1.0, 0.0);
    img_cur = converted;
  }
  int pixel_format = TJPF_GRAY;
  switch (img_cur.channels()) {
    case 1: pixel_format = TJPF_GRAY; break;
    case 3: pixel_format = TJPF_BGR; break;
    // OpenCV orders 4-channel pixels B, G, R, A: the fourth byte is the padding.
    case 4: pixel_format = TJPF_BGRX; break;
    default:
      throw std::runtime_error("Wrong image channels: " + std::to_string(img_cur.channels()));
  }
  // What TurboJPEG refuses to compress is refused here, before a failure of tjCompress2 could end
  // the process: no pixels, more than two dimensions, or a side beyond JPEG's 65500.
  if (img_cur.empty() || img_cur.dims != 2 || img_cur.cols > kMaxJpegSide ||
      img_cur.rows > kMaxJpegSide) {
    std::ostringstream shape;
    shape << img_cur.size;
    throw std::runtime_error("Can't encode a JPEG of " + shape.str() +
                             " pixels: 2 dimensions of 1.." + std::to_string(kMaxJpegSide));
  }
  // TurboJPEG cannot turn grey input into colour components: grey images are encoded as grey.
  const int subsampling = pixel_format == TJPF_GRAY ? TJSAMP_GRAY : TJSAMP_444;
  const int pitch = static_cast<int>(img_cur.step[0]);
  unsigned long jpeg_size = impl_->compressed_buf_size_;
  if (tjCompress2(impl_->tj_compressor_, img_cur.data, img_cur.cols, pitch, img_cur.rows,
                  pixel_format, &impl_->compressed_buf_, &jpeg_size, subsampling, impl_->quality_,
                  TJFLAG_FASTDCT) < 0) {
    LOG(FATAL) << "Turbo JPEG check failed: "
               << "tjCompress2(impl_->tj_compressor_, img_cur.data, img_cur.cols, 0, "
                  "img_cur.rows, pixel_format, &impl_->compressed_buf_, &jpeg_size, TJSAMP_444, "
                  "impl_->quality_, TJFLAG_FASTDCT)"
               << " -- " << tjGetErrorStr2(impl_->tj_compressor_);
  }
  impl_->compressed_buf_size_ = std::max(impl_->compressed_buf_size_, jpeg_size);
  buf->assign(impl_->compressed_buf_, impl_->compressed_buf_ + jpeg_size);
  return true;
}

struct ImageDecoderJpegTurbo::Impl {
  tjhandle tj_decompressor_ = nullptr;

  ~Impl() {
    if (tj_decompressor_ != nullptr) tjDestroy(tj_decompressor_);
  }
};

ImageDecoderJpegTurbo::ImageDecoderJpegTurbo() : impl_(std::make_shared<Impl>()) {
  decoder_format_ = JPEG;
  impl_->tj_decompressor_ = tjInitDecompress();
  CHECK(impl_->tj_decompressor_ != nullptr) << "tjInitDecompress: " << tjGetErrorStr();
}

ImageDecoderJpegTurbo::~ImageDecoderJpegTurbo() = default;

bool ReadJpegSize(cv::InputArray buf, cv::Size* size) {
  const cv::Mat mat = ContinuousBytes(buf);
  const unsigned long jpeg_size = mat.total() * mat.elemSize();
  if (jpeg_size == 0) return false;
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), &tjDestroy);
  int width = 0;
  int height = 0;
  int subsampling = 0;
  if (handle == nullptr ||
      tjDecompressHeader2(handle.get(), mat.data, jpeg_size, &width, &height, &subsampling) < 0) {
    return false;
  }
  *size = cv::Size(width, height);
  return true;
}

// Encoded bytes usually arrive from another process: data that TurboJPEG refuses (or decodes only
// with warnings, such as a truncated stream) makes Decode return false instead of ending the
// process. Only decodes that succeed are timed (no scoped timer: a refusal must not count).
bool ImageDecoderJpegTurbo::Decode(cv::InputArray buf, cv::Mat* dst) {
  const int64_t t0 = now<std::chrono::steady_clock>();
  const cv::Mat mat = ContinuousBytes(buf);
  const unsigned long jpeg_size = mat.total() * mat.elemSize();
  if (jpeg_size == 0) return false;
  int width = 0;
  int height = 0;
  int jpeg_subsampp = 0;
  if (tjDecompressHeader2(impl_->tj_decompressor_, mat.data, jpeg_size, &width, &height,
                          &jpeg_subsampp) < 0) {
    return false;
  }
  if (!WithinFrameBound(width, height)) return false;
  dst->create(height, width, CV_8UC3);
  // A few bytes of progressive scans can cost a pass over the whole image each: the scan count is
  // limited, and decoding stops at the first warning instead of going on to a result that is
  // refused anyway.
  if (tjDecompress2(impl_->tj_decompressor_, mat.data, jpeg_size, dst->data, width,
                    static_cast<int>(dst->step[0]), height, TJPF_BGR,
                    TJFLAG_FASTDCT | TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) < 0) {
    return false;
  }
  perf::UpdateRecord("turbo_jpeg_dec", now<std::chrono::steady_clock>() - t0);
  return true;
}

// ---------------------------------------------------------------------------------------------
// OpenCV

struct ImageEncoderJpegOpenCV::Impl {
  std::vector<int> params;
};

ImageEncoderJpegOpenCV::ImageEncoderJpegOpenCV(int quality) : impl_(std::make_shared<Impl>()) {
  CheckJpegQuality(quality);
  encoder_format_ = JPEG;
  impl_->params = {cv::IMWRITE_JPEG_QUALITY, quality, 0};
}

ImageEncoderJpegOpenCV::~ImageEncoderJpegOpenCV() = default;

bool ImageEncoderJpegOpenCV::Encode(cv::InputArray img, std::vector<uint8_t>* buf) {
  perf::ScopedTimer timer("opencv_jpeg_enc");
  return cv::imencode(".jpg", img, *buf, impl_->params);
}

struct ImageDecoderJpegOpenCV::Impl {};

ImageDecoderJpegOpenCV::ImageDecoderJpegOpenCV() { decoder_format_ = JPEG; }

ImageDecoderJpegOpenCV::~ImageDecoderJpegOpenCV() = default;

// Every decode that imdecode is given is timed, a stream refused for its size is not (no scoped
// timer: the refusal must not count).
bool ImageDecoderJpegOpenCV::Decode(cv::InputArray buf, cv::Mat* dst) {
  const int64_t t0 = now<std::chrono::steady_clock>();
  bool ok = false;
  cv::Size size;
  if (ReadJpegSize(buf, &size) && !WithinFrameBound(size.width, size.height)) return false;
  try {
    cv::imdecode(buf, cv::IMREAD_COLOR, dst);
    ok = dst->data != nullptr;
  } catch (const cv::Exception&) {
    // Bad data from outside is refused, never propagated.
    ok = false;
  }
  perf::UpdateRecord("opencv_jpeg_dec", now<std::chrono::steady_clock>() - t0);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Raw markers and the missing hardware encoder

ImageEncoderRaw::ImageEncoderRaw() { encoder_format_ = Raw; }

bool ImageEncoderRaw::Encode(cv::InputArray, std::vector<uint8_t>*) { return false; }

ImageDecoderRaw::ImageDecoderRaw() { decoder_format_ = Raw; }

bool ImageDecoderRaw::Decode(cv::InputArray, cv::Mat*) { return false; }

struct ImageEncoderJpegNvMedia::Impl {};

ImageEncoderJpegNvMedia::ImageEncoderJpegNvMedia(int) {
  throw std::runtime_error("Build with NvMedia");
}

ImageEncoderJpegNvMedia::~ImageEncoderJpegNvMedia() = default;

bool ImageEncoderJpegNvMedia::Encode(cv::InputArray, std::vector<uint8_t>*) {
  throw std::runtime_error("Build with NvMedia");
}

// ---------------------------------------------------------------------------------------------
// Factories

namespace {

// One codec implementation the factories know.
template <class Codec>
struct CodecType {
  const char* type;       // "type" of a codec node
  const char* jpeg_type;  // option "type" of the string forms' format "jpeg"; nullptr: none
  const char* created;    // INFO line of a successful creation; nullptr: none
  std::shared_ptr<Codec> (*build)(int quality);
};

using EncoderType = CodecType<ImageEncoder>;
using DecoderType = CodecType<ImageDecoder>;

// The row of `rows` whose `column` is `name`; nullptr when there is none.
template <class Codec, size_t N>
const CodecType<Codec>* FindCodecType(const CodecType<Codec> (&rows)[N],
                                      const char* CodecType<Codec>::*column,
                                      const std::string& name) {
  for (const CodecType<Codec>& row : rows) {
    if (row.*column != nullptr && name == row.*column) return &row;
  }
  return nullptr;
}

// Builds the row's codec, logging its creation line after it (the string forms).
template <class Codec>
std::shared_ptr<Codec> BuildThenLog(const CodecType<Codec>& row, int quality) {
  std::shared_ptr<Codec> codec = row.build(quality);
  if (row.created != nullptr) LOG(INFO) << row.created;
  return codec;
}

// Every encoder the factories know; the raw one takes no quality.
const EncoderType kEncoderTypes[] = {
    {"opencv_jpeg", "opencv_wrapper", "Created OpenCV JPEG image encoder\n",
     [](int quality) -> std::shared_ptr<ImageEncoder> {
       return std::make_shared<ImageEncoderJpegOpenCV>(quality);
     }},
    {"turbo_jpeg", "turbo_jpeg", "Created TURBOJPEG image encoder\n",
     [](int quality) -> std::shared_ptr<ImageEncoder> {
       return std::make_shared<ImageEncoderJpegTurbo>(quality);
     }},
    {"nvmedia_jpeg", "nvmedia_jpeg", "Created NvMedia JPEG image encoder\n",
     [](int quality) -> std::shared_ptr<ImageEncoder> {
       return std::make_shared<ImageEncoderJpegNvMedia>(quality);
     }},
    {"raw", nullptr, "Created RAW image encoder\n",
     [](int /*quality*/) -> std::shared_ptr<ImageEncoder> {
       return std::make_shared<ImageEncoderRaw>();
     }},
};

// Every decoder the factories know; none takes a quality. NvMedia has no decoder at all.
const DecoderType kDecoderTypes[] = {
    {"opencv_jpeg", "opencv_wrapper", "Created OpenCV JPEG image decoder\n",
     [](int /*quality*/) -> std::shared_ptr<ImageDecoder> {
       return std::make_shared<ImageDecoderJpegOpenCV>();
     }},
    {"turbo_jpeg", "turbo_jpeg", "Created TURBOJPEG image decoder\n",
     [](int /*quality*/) -> std::shared_ptr<ImageDecoder> {
       return std::make_shared<ImageDecoderJpegTurbo>();
     }},
    {"nvmedia_jpeg", "nvmedia_jpeg", nullptr,
     [](int /*quality*/) -> std::shared_ptr<ImageDecoder> {
       throw std::runtime_error("nvmedia_jpeg not support now \n");
     }},
    {"raw", nullptr, "Created RAW image decoder\n",
     [](int /*quality*/) -> std::shared_ptr<ImageDecoder> {
       return std::make_shared<ImageDecoderRaw>();
     }},
};

// Passed to the builders that take no quality.
constexpr int kNoQuality = 0;

}  // namespace

std::shared_ptr<ImageEncoder> ImageEncoder::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = node["type"].string();
  int quality = 80;
  // A real number is no integer quality and keeps the default; anything else but an integer in
  // range is refused here rather than by the first frame.
  if (!node["quality"].isReal()) {
    readKey(node, node.name(), "quality", quality, kMinJpegQuality, kMaxJpegQuality);
  }
  const EncoderType* row = FindCodecType(kEncoderTypes, &EncoderType::type, type);
  if (row == nullptr) throw std::runtime_error("Unknown encoder type: " + type);
  // The node form logs before it builds.
  LOG(INFO) << row->created;
  return row->build(quality);
}

std::shared_ptr<ImageEncoder> ImageEncoder::Create(const std::string& type,
                                                   const std::string& params_str) {
  const TextParams params(params_str);
  if (type == "raw") {
    return BuildThenLog(*FindCodecType(kEncoderTypes, &EncoderType::type, "raw"), kNoQuality);
  }
  if (type != "jpeg") throw std::runtime_error("Unknown encoder type: " + type);
  const std::string jpeg_type = params("type", "turbo_jpeg");
  const std::string quality_text = params("quality", "80");
  const int quality = std::stoi(quality_text);
  CheckJpegQuality(quality, "Option \"quality\" of a jpeg encoder", quality_text);
  const EncoderType* row = FindCodecType(kEncoderTypes, &EncoderType::jpeg_type, jpeg_type);
  if (row == nullptr) throw std::runtime_error("Unknown jpeg encoder type: " + jpeg_type);
  return BuildThenLog(*row, quality);
}

std::shared_ptr<ImageDecoder> ImageDecoder::Create(const cv::FileNode& node) {
  CHECK(node["type"].isString());
  const std::string type = node["type"].string();
  const DecoderType* row = FindCodecType(kDecoderTypes, &DecoderType::type, type);
  if (row == nullptr) throw std::runtime_error("Unknown decoder type: " + type);
  // The node form logs before it builds.
  if (row->created != nullptr) LOG(INFO) << row->created;
  return row->build(kNoQuality);
}

std::shared_ptr<ImageDecoder> ImageDecoder::Create(const std::string& type,
                                                   const std::string& params_str) {
  const TextParams params(params_str);
  if (type == "raw") {
    return BuildThenLog(*FindCodecType(kDecoderTypes, &DecoderType::type, "raw"), kNoQuality);
  }
  if (type != "jpeg") throw std::runtime_error("Unknown decoder type: " + type);
  const std::string jpeg_type = params("type", "turbo_jpeg");
  const DecoderType* row = FindCodecType(kDecoderTypes, &DecoderType::jpeg_type, jpeg_type);
  // Like the encoder factory: an unknown implementation is refused rather than returned as an
  // empty decoder that a caller would use without a test.
  if (row == nullptr) throw std::runtime_error("Unknown jpeg decoder type: " + jpeg_type);
  return BuildThenLog(*row, kNoQuality);
}

}  // namespace tesmo
