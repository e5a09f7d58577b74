#pragma once

// The GPU layer: devices, GPU images, streams and events, the image operations of the CUDA view
// generator, and a video reader, behind one thin interface. Each function stands for one OpenCV
// CUDA call (named in its comment), so a CUDA back-end can replace the back-end source
// (common/gpu/gpu_host.cpp) without touching a caller.
//
// The back-end in this build runs on the host: "device" memory is host memory, every operation
// is OpenCV's host function of the same name, and each stream runs its work in order on a worker
// thread of its own. Its results are what OpenCV's CUDA functions give for the same call: the
// same size and type rules, border modes and pyramid kernels, float arithmetic and saturating
// conversions. The device list holds one device whose name says it is the host back-end.
//
// Interface type: the interfaces keep cv::cuda::GpuMat (FrameBuf::framesGpu, FrameStream's GPU
// Next, the generators' inputs and outputs held in cv::_OutputArray), and the layer owns the
// memory. Reason: cv::_InputArray/_OutputArray can hold a GpuMat (kind, size, type, getObj,
// getGpuMatRef all work without CUDA) but no type of our own, so only GpuMat passes through the
// generators' array interfaces. In this OpenCV (no CUDA) a GpuMat cannot allocate, upload or
// convert (error -216), and its release() does nothing: copies raise its reference count but
// nothing ever lowers it, so a plain GpuMat can never own pixels. Hence:
//   - `Image` is a cv::cuda::GpuMat that owns its pixels. Hold every GPU image that a layer
//     function allocates as an Image (members, FrameBuf::framesGpu, vectors of levels).
//   - A plain cv::cuda::GpuMat is a header: a view of an Image's pixels (an ROI, a copy) or of
//     memory its caller owns. It keeps nothing alive by itself; assigned to an Image, the Image
//     shares the pixels it views. A layer function writes into a plain GpuMat only when it
//     already has the needed size and type, and throws cv::Exception (StsBadArg) otherwise.
//   - GpuMat's own create, upload, download, copyTo, convertTo, setTo and clone throw here: call
//     the functions below. `cv::cuda::Stream` and `cv::cuda::Event` cannot even be constructed
//     without CUDA, so the layer has its own `Stream` and `Event`.
//
// Example:
//   gpu::Stream upload, calc;
//   gpu::Event uploaded;
//   gpu::Image frame, warped;
//   gpu::upload(hostFrame, frame, upload);        // hostFrame may be reused at once
//   uploaded.record(upload);
//   calc.waitEvent(uploaded);                    // calc's later work runs after the upload
//   gpu::remap(frame, warped, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REFLECT,
//              cv::Scalar(), calc);
//   gpu::download(warped, hostView, calc);        // returns when hostView holds the result

#include <iosfwd>
#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>
#include <opencv2/imgproc.hpp>

namespace tesmo {
namespace gpu {

// ---------------------------------------------------------------------------------------------
// Devices (cv::cuda::getCudaEnabledDeviceCount, setDevice, getDevice, printShortCudaDeviceInfo).

// Number of usable devices: 1, the host back-end.
int getDeviceCount();
// Makes `device` the calling thread's current device; throws cv::Exception (GpuApiCallError,
// "invalid device ordinal") unless 0 <= device < getDeviceCount().
void setDevice(int device);
// The calling thread's current device (0 until setDevice).
int getDevice();
// One line about `device`: index, name in double quotes, memory in Mb, CPU cores. Throws as
// setDevice for an invalid index.
void printShortDeviceInfo(int device);
void printShortDeviceInfo(int device, std::ostream& os);

// ---------------------------------------------------------------------------------------------
// Streams and events (cv::cuda::Stream, cv::cuda::Event).

class Event;

// An in-order queue of GPU work. Every operation below takes a stream (default Stream::Null())
// and returns once its work is queued; its output image has its size and type at once, its
// pixels when the stream has run the work. Work on different streams runs concurrently; order it
// with an Event. Copies of a Stream refer to the same queue. Destroying the last copy waits for
// the queued work.
//
// An error inside queued work is kept and thrown (once) by the stream's next waitForCompletion,
// queryIfComplete or operation. Arguments are checked when an operation is called, so argument
// errors are thrown by that call.
class Stream {
 public:
  // A new queue (with a worker thread of its own in this back-end).
  Stream();
  // The default stream: work given to it runs on the calling thread before the call returns,
  // after the work queued so far on every other stream (as CUDA's default stream waits for the
  // streams that cv::cuda::Stream() creates). So a GPU image that a caller's call left in work on
  // a stream of its own is complete for a download on the default stream.
  static Stream& Null();

  // True when every operation queued so far has run (default stream: on every stream).
  bool queryIfComplete() const;
  // Blocks until every operation queued so far has run (default stream: on every stream). A
  // failure of other streams' work stays with those streams.
  void waitForCompletion();
  // Operations queued on this stream after this call start only once `event` has completed its
  // latest record (made before this call). An event never recorded is ignored.
  void waitEvent(const Event& event);

  struct Impl;

 private:
  explicit Stream(std::shared_ptr<Impl> impl);
  friend struct StreamAccess;
  std::shared_ptr<Impl> impl_;
};

// A point in a stream's work. Copies refer to the same event.
class Event {
 public:
  Event();
  // Captures the work queued on `stream` so far: the event completes when it has run. On
  // Stream::Null() the event is complete at once.
  void record(Stream& stream = Stream::Null());
  // True when the latest record has completed (or there was none).
  bool queryIfComplete() const;
  // Blocks the calling thread until the latest record has completed.
  void waitForCompletion();

  struct Impl;

 private:
  friend struct StreamAccess;
  std::shared_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Images.

// A cv::cuda::GpuMat that owns its pixels (see the top of this file). Copies share the pixels,
// as GpuMat copies do with CUDA. Rows are padded to 64 bytes (like a CUDA pitch), so an image
// is continuous only when its row happens to fill whole 64-byte units or it has one row.
class Image : public cv::cuda::GpuMat {
 public:
  Image();
  // Allocates rows x cols of `type` (pixels not initialised).
  Image(int rows, int cols, int type);
  Image(cv::Size size, int type);
  Image(const Image& other);
  // Shares the pixels `view` refers to when they belong to an Image, else views them.
  explicit Image(const cv::cuda::GpuMat& view);
  Image& operator=(const Image& other);
  Image& operator=(const cv::cuda::GpuMat& view);
  ~Image();

  // gpu::create of this image.
  void create(int rows, int cols, int type);
  void create(cv::Size size, int type);
  // Drops this image's share of its pixels and empties the header.
  void release();

 private:
  friend struct ImageAccess;
  std::shared_ptr<void> pixels_;
};

// ---------------------------------------------------------------------------------------------
// Memory (GpuMat::create, upload, download, copyTo, setTo, convertTo). `dst` of every function
// is (re)allocated only when its size or type differs from the result's; see the top of this
// file for which GpuMat it can allocate.

// Makes `m` rows x cols of `type`; nothing happens when it already is. 0 rows or columns empty it.
void create(cv::cuda::GpuMat& m, int rows, int cols, int type);
void create(cv::cuda::GpuMat& m, cv::Size size, int type);
// Copies host `src` (Mat or UMat) into `dst`. `src` may be changed as soon as the call returns.
void upload(cv::InputArray src, cv::cuda::GpuMat& dst, Stream& stream = Stream::Null());
// Copies `src` into host `dst` (Mat or UMat). Returns when `dst` holds it: first waits for the
// work queued on `stream` before this call.
void download(const cv::cuda::GpuMat& src, cv::OutputArray dst, Stream& stream = Stream::Null());
void copyTo(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, Stream& stream = Stream::Null());
// Sets every pixel of `m` to `value`.
void setTo(cv::cuda::GpuMat& m, const cv::Scalar& value, Stream& stream = Stream::Null());
// dst = saturate(src * alpha + beta), computed in float for float results; `rtype` gives the
// depth (negative: src's type), the channel count stays src's.
void convertTo(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, int rtype, double alpha = 1.0,
               double beta = 0.0, Stream& stream = Stream::Null());

// ---------------------------------------------------------------------------------------------
// Image processing (cv::cuda::remap, pyrDown, pyrUp, resize, add, subtract, multiply, divide).
// Sources: depth up to CV_32F (arithmetic: CV_64F), at most 4 channels, not empty. `dst` may be
// one of the sources.

// dst(x, y) = src(xmap(x, y), ymap(x, y)); dst has the maps' size and src's type. Maps CV_32FC1
// of one size. interpolation: INTER_NEAREST, INTER_LINEAR or INTER_CUBIC; borderMode:
// BORDER_REFLECT101, BORDER_REPLICATE, BORDER_CONSTANT (with borderValue), BORDER_REFLECT or
// BORDER_WRAP. Anything else throws cv::Exception.
void remap(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, const cv::cuda::GpuMat& xmap,
           const cv::cuda::GpuMat& ymap, int interpolation, int borderMode = cv::BORDER_CONSTANT,
           const cv::Scalar& borderValue = cv::Scalar(), Stream& stream = Stream::Null());
// Gaussian 5x5 reduction to ((cols + 1) / 2, (rows + 1) / 2), border BORDER_REFLECT101.
void pyrDown(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, Stream& stream = Stream::Null());
// Gaussian 5x5 expansion to (cols * 2, rows * 2), border BORDER_REFLECT101.
void pyrUp(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, Stream& stream = Stream::Null());
// Resizes to `dsize`, or, when it is empty, to (round(cols * fx), round(rows * fy)).
// interpolation: INTER_NEAREST, INTER_LINEAR, INTER_CUBIC or INTER_AREA.
void resize(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, cv::Size dsize, double fx = 0,
            double fy = 0, int interpolation = cv::INTER_LINEAR, Stream& stream = Stream::Null());
// Per-element a + b, a - b, a * b * scale, a * scale / b for a and b of one size and type; the
// result has their type, saturated. A zero divisor gives 0, as OpenCV's CUDA divide does (the
// host cv::divide gives inf or NaN in float).
void add(const cv::cuda::GpuMat& a, const cv::cuda::GpuMat& b, cv::cuda::GpuMat& dst,
         Stream& stream = Stream::Null());
void subtract(const cv::cuda::GpuMat& a, const cv::cuda::GpuMat& b, cv::cuda::GpuMat& dst,
              Stream& stream = Stream::Null());
void multiply(const cv::cuda::GpuMat& a, const cv::cuda::GpuMat& b, cv::cuda::GpuMat& dst,
              double scale = 1.0, Stream& stream = Stream::Null());
void divide(const cv::cuda::GpuMat& a, const cv::cuda::GpuMat& b, cv::cuda::GpuMat& dst,
            double scale = 1.0, Stream& stream = Stream::Null());

// Colour conversion (cv::cuda::cvtColor) between gray, BGR, RGB, BGRA and RGBA: the codes
// COLOR_GRAY2BGR, COLOR_GRAY2BGRA, COLOR_BGR2GRAY, COLOR_RGB2GRAY, COLOR_BGRA2GRAY,
// COLOR_RGBA2GRAY, COLOR_BGR2BGRA, COLOR_BGRA2BGR, COLOR_BGR2RGB, COLOR_BGR2RGBA, COLOR_RGBA2BGR
// and COLOR_BGRA2RGBA (and their aliases such as COLOR_RGBA2RGB). src of the code's channel
// count, depth CV_8U, CV_16U or CV_32F; dst has src's depth and dcn channels (0: the code's).
// Another code, channel count or dcn throws cv::Exception.
void cvtColor(const cv::cuda::GpuMat& src, cv::cuda::GpuMat& dst, int code, int dcn = 0,
              Stream& stream = Stream::Null());

// ---------------------------------------------------------------------------------------------
// Video (cv::cudacodec::VideoReader with ColorFormat::BGR).

// Reads a video file (or anything OpenCV's host video capture opens) frame by frame as 8-bit BGR
// GPU images. One thread at a time.
class VideoReader {
 public:
  // Opens `filename`; throws cv::Exception (StsError) naming it when it cannot.
  explicit VideoReader(const std::string& filename);
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  // Decodes the next frame into `frame` as CV_8UC3 (BGR) on `stream`; false at the end of the
  // video or when a frame cannot be read (`frame` is then left as it was).
  bool nextFrame(cv::cuda::GpuMat& frame, Stream& stream = Stream::Null());

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// cv::cudacodec::createVideoReader: a new reader of `filename`; throws as VideoReader's
// constructor.
cv::Ptr<VideoReader> createVideoReader(const std::string& filename);

}  // namespace gpu
}  // namespace tesmo
