// Host back-end of the GPU layer: "device" memory is host memory, each operation is OpenCV's host
// function, each stream a FIFO run by a worker thread of its own.

#include "common/gpu/gpu.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace tesmo {
namespace gpu {
namespace {

using cv::cuda::GpuMat;

// Row alignment of allocated images, in bytes.
constexpr size_t kPitch = 64;
constexpr const char* kDeviceName = "Host back-end (OpenCV host functions, no CUDA)";

thread_local int currentDevice = 0;

void checkDevice(int device) {
  if (device < 0 || device >= getDeviceCount()) {
    CV_Error(cv::Error::GpuApiCallError, "invalid device ordinal " + std::to_string(device));
  }
}

// One allocation of image pixels. Shared by the Images that own it and by the queued work that
// reads or writes it, so that it outlives both.
struct Block {
  explicit Block(size_t size);
  ~Block();
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  uchar* const base;
  const size_t bytes;
};

// The live Images (to tell an Image from a plain GpuMat header) and the live blocks by address
// (to find the block a header points into). Never destroyed: Images may outlive static objects.
struct Registry {
  static Registry& get() {
    static Registry* registry = new Registry;
    return *registry;
  }
  std::mutex mutex;
  std::unordered_set<const GpuMat*> images;
  std::map<const uchar*, std::weak_ptr<Block>> blocks;
};

Block::Block(size_t size) : base(static_cast<uchar*>(cv::fastMalloc(size))), bytes(size) {}

Block::~Block() {
  {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.blocks.erase(base);
  }
  cv::fastFree(base);
}

std::shared_ptr<Block> newBlock(size_t size) {
  auto block = std::make_shared<Block>(size);
  Registry& r = Registry::get();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.blocks[block->base] = block;
  return block;
}

// The block that `header` points into; null for memory the layer did not allocate.
std::shared_ptr<Block> blockOf(const GpuMat& header) {
  if (!header.data) return nullptr;
  std::shared_ptr<Block> block;  // released outside the lock: its destructor takes it
  {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.blocks.upper_bound(header.data);
    if (it == r.blocks.begin()) return nullptr;
    block = std::prev(it)->second.lock();
  }
  if (block && header.data < block->base + block->bytes) return block;
  return nullptr;
}

// A header with the block it points into: what queued work holds of an image.
struct Ref {
  GpuMat header;
  std::shared_ptr<Block> block;

  // The pixels as a host image.
  cv::Mat mat() const {
    return cv::Mat(header.rows, header.cols, header.type(), header.data, header.step);
  }
};

Ref ref(const GpuMat& header) { return Ref{header, blockOf(header)}; }

// Throws when a host function wrote `out` somewhere else than the image `dst` refers to.
void checkInPlace(const cv::Mat& out, const Ref& dst) {
  if (out.data != dst.header.data) {
    CV_Error(cv::Error::StsInternal, "tesmo::gpu: a host function reallocated its output");
  }
}

bool sameData(const Ref& a, const Ref& b) { return a.header.data == b.header.data; }

void checkSource(const GpuMat& src, int maxDepth) {
  CV_Assert(!src.empty() && src.depth() <= maxDepth && src.channels() <= 4);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Images

struct ImageAccess {
  static void allocate(Image& image, int rows, int cols, int type) {
    const size_t elemSize = CV_ELEM_SIZE(type);
    const size_t step = rows == 1 ? cols * elemSize : cv::alignSize(cols * elemSize, kPitch);
    std::shared_ptr<Block> block = newBlock(step * rows);
    static_cast<GpuMat&>(image) = GpuMat(rows, cols, type, block->base, step);
    image.pixels_ = std::move(block);
  }
  static void clear(Image& image) {
    static_cast<GpuMat&>(image) = GpuMat();
    image.pixels_.reset();
  }
  static void enroll(const Image* image) {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.images.insert(image);
  }
  static void withdraw(const Image* image) {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.images.erase(image);
  }
  static Image* find(GpuMat& header) {
    Registry& r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.images.count(&header) ? static_cast<Image*>(&header) : nullptr;
  }
  static void share(Image& image, const GpuMat& view) {
    std::shared_ptr<Block> block = blockOf(view);
    static_cast<GpuMat&>(image) = view;
    image.pixels_ = std::move(block);
  }
};

Image::Image() { ImageAccess::enroll(this); }

Image::Image(int rows, int cols, int type) : Image() { create(rows, cols, type); }

Image::Image(cv::Size size, int type) : Image() { create(size, type); }

Image::Image(const Image& other) : GpuMat(other), pixels_(other.pixels_) {
  ImageAccess::enroll(this);
}

Image::Image(const GpuMat& view) : Image() { ImageAccess::share(*this, view); }

Image& Image::operator=(const Image& other) {
  if (this != &other) {
    GpuMat::operator=(other);
    pixels_ = other.pixels_;
  }
  return *this;
}

Image& Image::operator=(const GpuMat& view) {
  ImageAccess::share(*this, view);
  return *this;
}

Image::~Image() { ImageAccess::withdraw(this); }

void Image::create(int rows, int cols, int type) { gpu::create(*this, rows, cols, type); }

void Image::create(cv::Size size, int type) { gpu::create(*this, size, type); }

void Image::release() { ImageAccess::clear(*this); }

void create(GpuMat& m, int rows, int cols, int type) {
  type = CV_MAT_TYPE(type);
  Image* image = ImageAccess::find(m);
  if (rows <= 0 || cols <= 0) {
    if (image) {
      ImageAccess::clear(*image);
    } else {
      m = GpuMat();
    }
    return;
  }
  if (m.data && m.rows == rows && m.cols == cols && m.type() == type) return;
  if (!image) {
    CV_Error(cv::Error::StsBadArg,
             "tesmo::gpu: a plain cv::cuda::GpuMat cannot be allocated on the host back-end; "
             "hold the image as a tesmo::gpu::Image");
  }
  ImageAccess::allocate(*image, rows, cols, type);
}

void create(GpuMat& m, cv::Size size, int type) { create(m, size.height, size.width, type); }

// ---------------------------------------------------------------------------------------------
// Streams and events

struct Stream::Impl {
  explicit Impl(bool async) : async(async) {
    if (async) worker = std::thread(&Impl::run, this);
  }
  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    cv.notify_all();
    if (worker.joinable()) worker.join();
  }

  // Runs `task` now (default stream, after the other streams' work) or queues it.
  void submit(std::function<void()> task) {
    if (!async) {
      drainOtherStreams();
      task();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      throwKeptError();
      tasks.push_back(std::move(task));
      ++submitted;
    }
    cv.notify_all();
  }

  void wait() {
    if (!async) {
      drainOtherStreams();
      return;
    }
    drain();
    std::lock_guard<std::mutex> lock(mutex);
    throwKeptError();
  }

  bool idle() {
    if (!async) return otherStreamsIdle();
    std::lock_guard<std::mutex> lock(mutex);
    throwKeptError();
    return finished == submitted;
  }

  // Waits for the work queued so far; a failure stays kept for this stream's owner.
  void drain() {
    std::unique_lock<std::mutex> lock(mutex);
    const uint64_t target = submitted;
    cv.wait(lock, [&] { return finished >= target; });
  }

  bool drained() {
    std::lock_guard<std::mutex> lock(mutex);
    return finished == submitted;
  }

  // The default stream's order: it runs after the work queued so far on every other stream,
  // as CUDA's default stream does with the streams cv::cuda::Stream() creates. A stream's own
  // worker never waits for itself.
  static void drainOtherStreams();
  static bool otherStreamsIdle();

  // Under `mutex`.
  void throwKeptError() {
    if (!error) return;
    std::exception_ptr e = std::move(error);
    error = nullptr;
    std::rethrow_exception(e);
  }

  void run() {
    worker_of = this;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return stopping || !tasks.empty(); });
      if (tasks.empty()) return;
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      std::exception_ptr failure;
      try {
        task();
      } catch (...) {
        failure = std::current_exception();
      }
      task = nullptr;  // the images it held go before its completion is seen
      lock.lock();
      if (failure && !error) error = failure;
      ++finished;
      cv.notify_all();
    }
  }

  const bool async;
  std::mutex mutex;
  std::condition_variable cv;  // new work, stop, and finished work
  std::deque<std::function<void()>> tasks;
  uint64_t submitted = 0;
  uint64_t finished = 0;
  std::exception_ptr error;  // the first failure of queued work not yet thrown
  bool stopping = false;
  std::thread worker;

  // The stream whose worker runs on this thread, if any.
  static thread_local const Impl* worker_of;
};

thread_local const Stream::Impl* Stream::Impl::worker_of = nullptr;

namespace {

// Every stream made by Stream(), for the default stream to wait for. Never destroyed: streams
// may outlive static objects.
struct StreamList {
  static StreamList& get() {
    static StreamList* list = new StreamList;
    return *list;
  }
  void add(const std::shared_ptr<Stream::Impl>& stream) {
    std::lock_guard<std::mutex> lock(mutex);
    streams.erase(std::remove_if(streams.begin(), streams.end(),
                                 [](const std::weak_ptr<Stream::Impl>& s) { return s.expired(); }),
                  streams.end());
    streams.push_back(stream);
  }
  // The live streams but the calling worker's own.
  std::vector<std::shared_ptr<Stream::Impl>> others() {
    std::vector<std::shared_ptr<Stream::Impl>> live;
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::weak_ptr<Stream::Impl>& s : streams) {
      std::shared_ptr<Stream::Impl> stream = s.lock();
      if (stream && stream.get() != Stream::Impl::worker_of) live.push_back(std::move(stream));
    }
    return live;
  }

  std::mutex mutex;
  std::vector<std::weak_ptr<Stream::Impl>> streams;
};

}  // namespace

void Stream::Impl::drainOtherStreams() {
  for (const std::shared_ptr<Impl>& stream : StreamList::get().others()) stream->drain();
}

bool Stream::Impl::otherStreamsIdle() {
  for (const std::shared_ptr<Impl>& stream : StreamList::get().others()) {
    if (!stream->drained()) return false;
  }
  return true;
}

struct Event::Impl {
  void complete(uint64_t generation) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      completed = std::max(completed, generation);
    }
    cv.notify_all();
  }
  void waitFor(uint64_t generation) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return completed >= generation; });
  }
  uint64_t latest() {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
  }

  std::mutex mutex;
  std::condition_variable cv;
  uint64_t recorded = 0;   // records made
  uint64_t completed = 0;  // the latest record that has completed
};

struct StreamAccess {
  static Stream::Impl& impl(Stream& stream) { return *stream.impl_; }
  static const std::shared_ptr<Event::Impl>& impl(const Event& event) { return event.impl_; }
};

namespace {

void enqueue(Stream& stream, std::function<void()> work) {
  StreamAccess::impl(stream).submit(std::move(work));
}

}  // namespace

Stream::Stream() : impl_(std::make_shared<Impl>(/*async=*/true)) { StreamList::get().add(impl_); }

Stream::Stream(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Stream& Stream::Null() {
  static Stream* null = new Stream(std::make_shared<Impl>(/*async=*/false));
  return *null;
}

bool Stream::queryIfComplete() const { return impl_->idle(); }

void Stream::waitForCompletion() { impl_->wait(); }

void Stream::waitEvent(const Event& event) {
  std::shared_ptr<Event::Impl> e = StreamAccess::impl(event);
  const uint64_t target = e->latest();
  if (target == 0 || event.queryIfComplete()) return;  // nothing left to wait for
  impl_->submit([e, target] { e->waitFor(target); });
}

Event::Event() : impl_(std::make_shared<Impl>()) {}

void Event::record(Stream& stream) {
  std::shared_ptr<Impl> e = impl_;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(e->mutex);
    generation = ++e->recorded;
  }
  try {
    StreamAccess::impl(stream).submit([e, generation] { e->complete(generation); });
  } catch (...) {
    e->complete(generation);  // nobody may wait for a record that was never queued
    throw;
  }
}

bool Event::queryIfComplete() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->completed >= impl_->recorded;
}

void Event::waitForCompletion() { impl_->waitFor(impl_->latest()); }

// ---------------------------------------------------------------------------------------------
// Devices

int getDeviceCount() { return 1; }

void setDevice(int device) {
  checkDevice(device);
  currentDevice = device;
}

int getDevice() { return currentDevice; }

void printShortDeviceInfo(int device) { printShortDeviceInfo(device, std::cout); }

void printShortDeviceInfo(int device, std::ostream& os) {
  checkDevice(device);
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const long long mb = pages > 0 && pageSize > 0 ? (long long)pages * pageSize / (1024 * 1024) : 0;
  os << "Device " << device << ":  \"" << kDeviceName << "\"  " << mb << "Mb, "
     << cv::getNumberOfCPUs() << " CPU cores\n";
}

// ---------------------------------------------------------------------------------------------
// Memory

void upload(cv::InputArray src, GpuMat& dst, Stream& stream) {
  const cv::Mat host = src.getMat();
  create(dst, host.size(), host.type());
  if (host.empty()) return;
  const Ref d = ref(dst);
  Stream::Impl& s = StreamAccess::impl(stream);
  if (s.idle()) {
    // Nothing queued before it: the copy is next in the stream's order anyway.
    cv::Mat out = d.mat();
    host.copyTo(out);
    checkInPlace(out, d);
    return;
  }
  const cv::Mat staged = host.clone();  // the caller may change `src` once this returns
  s.submit([d, staged] {
    cv::Mat out = d.mat();
    staged.copyTo(out);
    checkInPlace(out, d);
  });
}

void download(const GpuMat& src, cv::OutputArray dst, Stream& stream) {
  const Ref s = ref(src);
  StreamAccess::impl(stream).wait();
  s.mat().copyTo(dst);
}

namespace {

// Queues fn(source, out) with `out` the pixels of `dst`, made `size` x `type` first; an empty
// source only empties `dst`. A source that shares its pixels with `dst` is copied first unless
// `elementwise` allows writing over it.
template <typename Fn>
void apply(const GpuMat& src, GpuMat& dst, cv::Size size, int type, bool elementwise,
           Stream& stream, Fn fn) {
  const Ref s = ref(src);
  create(dst, size, type);
  if (s.header.empty()) return;
  const Ref d = ref(dst);
  enqueue(stream, [s, d, elementwise, fn] {
    cv::Mat in = s.mat();
    if (!elementwise && sameData(s, d)) in = in.clone();
    cv::Mat out = d.mat();
    fn(in, out);
    checkInPlace(out, d);
  });
}

}  // namespace

void copyTo(const GpuMat& src, GpuMat& dst, Stream& stream) {
  apply(src, dst, src.size(), src.type(), /*elementwise=*/true, stream,
        [](const cv::Mat& in, cv::Mat& out) {
          if (in.data != out.data) in.copyTo(out);
        });
}

void setTo(GpuMat& m, const cv::Scalar& value, Stream& stream) {
  if (m.empty()) return;
  const Ref d = ref(m);
  enqueue(stream, [d, value] { d.mat().setTo(value); });
}

void convertTo(const GpuMat& src, GpuMat& dst, int rtype, double alpha, double beta,
               Stream& stream) {
  const int type = rtype < 0 ? src.type() : CV_MAKETYPE(CV_MAT_DEPTH(rtype), src.channels());
  apply(src, dst, src.size(), type, /*elementwise=*/true, stream,
        [type, alpha, beta](const cv::Mat& in, cv::Mat& out) {
          in.convertTo(out, type, alpha, beta);
        });
}

// ---------------------------------------------------------------------------------------------
// Image processing

namespace {

// The per-element operations: a and b of one size and type, the result of that type.
template <typename Fn>
void binary(const GpuMat& a, const GpuMat& b, GpuMat& dst, Stream& stream, Fn fn) {
  checkSource(a, CV_64F);
  CV_Assert(a.size() == b.size() && a.type() == b.type());
  const Ref rb = ref(b);
  apply(a, dst, a.size(), a.type(), /*elementwise=*/true, stream,
        [rb, fn](const cv::Mat& in, cv::Mat& out) { fn(in, rb.mat(), out); });
}

// a * scale / b, 0 where b is 0.
template <typename T>
void divideOrZero(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, double scale) {
  const int n = a.cols * a.channels();
  const T s = static_cast<T>(scale);
  cv::parallel_for_(cv::Range(0, a.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const T* pa = a.ptr<T>(y);
      const T* pb = b.ptr<T>(y);
      T* po = out.ptr<T>(y);
      for (int i = 0; i < n; ++i) {
        po[i] = pb[i] != 0 ? (scale == 1.0 ? pa[i] / pb[i] : s * pa[i] / pb[i]) : T(0);
      }
    }
  });
}

}  // namespace

void remap(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap,
           int interpolation, int borderMode, const cv::Scalar& borderValue, Stream& stream) {
  checkSource(src, CV_32F);
  CV_Assert(interpolation == cv::INTER_NEAREST || interpolation == cv::INTER_LINEAR ||
            interpolation == cv::INTER_CUBIC);
  CV_Assert(borderMode == cv::BORDER_REFLECT101 || borderMode == cv::BORDER_REPLICATE ||
            borderMode == cv::BORDER_CONSTANT || borderMode == cv::BORDER_REFLECT ||
            borderMode == cv::BORDER_WRAP);
  CV_Assert(xmap.type() == CV_32FC1 && ymap.type() == xmap.type() && ymap.size() == xmap.size());
  const Ref x = ref(xmap);
  const Ref y = ref(ymap);
  apply(src, dst, xmap.size(), src.type(), /*elementwise=*/false, stream,
        [x, y, interpolation, borderMode, borderValue](const cv::Mat& in, cv::Mat& out) {
          cv::remap(in, out, x.mat(), y.mat(), interpolation, borderMode, borderValue);
        });
}

void pyrDown(const GpuMat& src, GpuMat& dst, Stream& stream) {
  checkSource(src, CV_32F);
  const cv::Size size((src.cols + 1) / 2, (src.rows + 1) / 2);
  apply(src, dst, size, src.type(), /*elementwise=*/false, stream,
        [](const cv::Mat& in, cv::Mat& out) { cv::pyrDown(in, out, out.size()); });
}

void pyrUp(const GpuMat& src, GpuMat& dst, Stream& stream) {
  checkSource(src, CV_32F);
  const cv::Size size(src.cols * 2, src.rows * 2);
  apply(src, dst, size, src.type(), /*elementwise=*/false, stream,
        [](const cv::Mat& in, cv::Mat& out) { cv::pyrUp(in, out, out.size()); });
}

void resize(const GpuMat& src, GpuMat& dst, cv::Size dsize, double fx, double fy,
            int interpolation, Stream& stream) {
  checkSource(src, CV_32F);
  CV_Assert(interpolation == cv::INTER_NEAREST || interpolation == cv::INTER_LINEAR ||
            interpolation == cv::INTER_CUBIC || interpolation == cv::INTER_AREA);
  CV_Assert(!dsize.empty() || (fx > 0 && fy > 0));
  const cv::Size size = !dsize.empty() ? dsize
                                       : cv::Size(cv::saturate_cast<int>(src.cols * fx),
                                                  cv::saturate_cast<int>(src.rows * fy));
  CV_Assert(!size.empty());
  apply(src, dst, size, src.type(), /*elementwise=*/false, stream,
        [dsize, fx, fy, interpolation](const cv::Mat& in, cv::Mat& out) {
          cv::resize(in, out, dsize, fx, fy, interpolation);
        });
}

void add(const GpuMat& a, const GpuMat& b, GpuMat& dst, Stream& stream) {
  binary(a, b, dst, stream,
         [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) { cv::add(x, y, out); });
}

void subtract(const GpuMat& a, const GpuMat& b, GpuMat& dst, Stream& stream) {
  binary(a, b, dst, stream,
         [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) { cv::subtract(x, y, out); });
}

void multiply(const GpuMat& a, const GpuMat& b, GpuMat& dst, double scale, Stream& stream) {
  binary(a, b, dst, stream, [scale](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
    cv::multiply(x, y, out, scale);
  });
}

void divide(const GpuMat& a, const GpuMat& b, GpuMat& dst, double scale, Stream& stream) {
  binary(a, b, dst, stream, [scale](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
    if (x.depth() == CV_32F) {
      divideOrZero<float>(x, y, out, scale);
    } else if (x.depth() == CV_64F) {
      divideOrZero<double>(x, y, out, scale);
    } else {
      cv::divide(x, y, out, scale);  // integers: 0 for a zero divisor already
    }
  });
}

namespace {

// The channel counts of a colour conversion code the layer converts: {code, source, result}.
struct ColorConversion {
  int code, srcCn, dstCn;
};

constexpr ColorConversion kColorConversions[] = {
    {cv::COLOR_GRAY2BGR, 1, 3},  {cv::COLOR_GRAY2BGRA, 1, 4}, {cv::COLOR_BGR2GRAY, 3, 1},
    {cv::COLOR_RGB2GRAY, 3, 1},  {cv::COLOR_BGRA2GRAY, 4, 1}, {cv::COLOR_RGBA2GRAY, 4, 1},
    {cv::COLOR_BGR2BGRA, 3, 4},  {cv::COLOR_BGRA2BGR, 4, 3},  {cv::COLOR_BGR2RGB, 3, 3},
    {cv::COLOR_BGR2RGBA, 3, 4},  {cv::COLOR_RGBA2BGR, 4, 3},  {cv::COLOR_BGRA2RGBA, 4, 4},
};

const ColorConversion& colorConversion(int code) {
  for (const ColorConversion& c : kColorConversions) {
    if (c.code == code) return c;
  }
  CV_Error_(cv::Error::StsBadFlag, ("tesmo::gpu::cvtColor: unsupported conversion code %d", code));
}

}  // namespace

void cvtColor(const GpuMat& src, GpuMat& dst, int code, int dcn, Stream& stream) {
  const ColorConversion& c = colorConversion(code);
  checkSource(src, CV_32F);
  CV_Assert(src.depth() == CV_8U || src.depth() == CV_16U || src.depth() == CV_32F);
  CV_Assert(src.channels() == c.srcCn && (dcn == 0 || dcn == c.dstCn));
  apply(src, dst, src.size(), CV_MAKETYPE(src.depth(), c.dstCn), /*elementwise=*/false, stream,
        [code](const cv::Mat& in, cv::Mat& out) { cv::cvtColor(in, out, code); });
}

// ---------------------------------------------------------------------------------------------
// Video

struct VideoReader::Impl {
  cv::VideoCapture capture;
  cv::Mat frame;
  cv::Mat bgr;
};

VideoReader::VideoReader(const std::string& filename) : impl_(std::make_unique<Impl>()) {
  if (!impl_->capture.open(filename, cv::CAP_ANY)) {
    CV_Error(cv::Error::StsError, "tesmo::gpu::VideoReader: can't open \"" + filename + "\"");
  }
}

VideoReader::~VideoReader() = default;

bool VideoReader::nextFrame(GpuMat& frame, Stream& stream) {
  cv::Mat& f = impl_->frame;
  if (!impl_->capture.read(f) || f.empty() || f.depth() != CV_8U) return false;
  const cv::Mat* bgr = &f;
  if (f.channels() == 1 || f.channels() == 4) {
    cv::cvtColor(f, impl_->bgr, f.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    bgr = &impl_->bgr;
  } else if (f.channels() != 3) {
    return false;
  }
  upload(*bgr, frame, stream);
  return true;
}

cv::Ptr<VideoReader> createVideoReader(const std::string& filename) {
  return cv::makePtr<VideoReader>(filename);
}

}  // namespace gpu
}  // namespace tesmo
