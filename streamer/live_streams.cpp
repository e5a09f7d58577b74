#include "streamer/live_streams.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "common/misc.h"
#include "common/perf.h"
#include "streamer/util.h"

namespace tesmo {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The "live_streams" keys are read with tesmo::readKey under this section name, and refused
// beyond these bounds: more buffers or bins than any camera needs, a time-out or pause that would
// keep a loan (and with it the consumer's stop) waiting for more than a minute or a second.
const char kSection[] = "live_streams";
constexpr int kMaxQuerySize = 1024;
constexpr int kMaxHistSize = 100000;
constexpr int kMaxReadTimeout = 60000;     // ms
constexpr int kMaxTimeoutInterval = 1000;  // ms
constexpr double kMinFpsMax = 0.001;

}  // namespace

LiveStreams::LiveStreams(FrameStreams& mng, const cv::FileStorage& fs, int uploadDataType,
                         int cudaDev)
    : uploadDataType(uploadDataType), mng(mng), cudaDev(cudaDev) {
  if (fs.isOpened()) {
    const cv::FileNode node = fs["live_streams"];
    if (node.isMap()) {
      readKey(node, kSection, "query_size", querySize, 2, kMaxQuerySize);
      readKey(node, kSection, "read_timeout", readTimeout, 0, kMaxReadTimeout);
      readKey(node, kSection, "timeout_interval", timeoutInterval, 0,
              kMaxTimeoutInterval);
      readKey(node, kSection, "hist_size", histSize, 1, kMaxHistSize);
      readKey(node, kSection, "hist_item_size", histItemSize, 1);
      cv::read_bool(node["log_skip_frames"], bLogSkipFrames, false);
      cv::read_bool(node["mark_frame_streams"], bMarkFrameStreams, false);
      double fpsMax = 0.0;
      readKey(node, kSection, "fps_max", fpsMax);
      if (fpsMax > 0 && fpsMax < kMinFpsMax) {
        refuseKey(kSection, "fps_max", node["fps_max"],
                  "0 or less (no limit) or a rate of at least 0.001 frames per second");
      }
      if (fpsMax > 0) {
        period = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(1.0 / fpsMax));
      }
    }
  }
  threadesData.resize(mng.size());
  for (size_t i = 0; i < mng.size(); ++i) {
    auto td = std::make_shared<CameraThreadData>();
    td->ind = static_cast<int>(i);
    td->hist = std::vector<std::atomic<int>>(histSize);
    td->sleepUntil = std::chrono::system_clock::now();
    for (int k = 0; k < querySize; ++k) {
      td->backQueue.push(std::make_unique<FrameBuf>(static_cast<int>(i)), false);
    }
    threadesData[i] = td;
  }
  spareSet.reserve(mng.size());
  if (uploadDataType & GPU_MAT) cudaUploadStream = std::make_unique<gpu::Stream>();

  std::cout << "Init LiveStreams:\n";
  std::cout << "\tNum streams: " << mng.size() << "\n";
  std::cout << "\tOutput types: ";
  if (uploadDataType & GPU_MAT) std::cout << "GPU_MAT ";
  if (uploadDataType & CPU_MAT) std::cout << "CPU_MAT ";
  if (uploadDataType & UMAT) std::cout << "UMAT ";
  std::cout << "\n";
}

LiveStreams::~LiveStreams() { stop(); }

void LiveStreams::start() {
  stop();
  tsStart = now();
  bThreadTerminated = false;
  cudaThread = std::thread(&LiveStreams::cudaThreadFunc, this);
  for (auto& td : threadesData) {
    td->thread = std::thread(&LiveStreams::readThreadFunc, this, td->ind);
  }
}

void LiveStreams::stop() {
  bThreadTerminated = true;
  for (auto& td : threadesData) {
    if (td->thread.joinable()) td->thread.join();
  }
  if (cudaThread.joinable()) cudaThread.join();
}

void LiveStreams::readThreadFunc(int cam) {
  if ((uploadDataType & GPU_MAT) && cudaDev >= 0) {
    try {
      gpu::setDevice(cudaDev);
    } catch (const std::exception& e) {
      LOG(ERROR) << "LiveStreams: can't select GPU device " << cudaDev << ": " << e.what();
    }
  }
  CameraThreadData& td = *threadesData[cam];
  while (!bThreadTerminated) {
    if (!readFrame(td)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool LiveStreams::readFrame(CameraThreadData& td) {
  // With no free buffer (every one is ready or on loan) there is nothing to read into.
  std::unique_ptr<FrameBuf> buf = td.backQueue.pop(0);
  if (!buf) return false;
  FrameStreams::FrameStreamData& entry = *mng.frameStreams[td.ind];
  FrameStream& source = *entry.stream;
  if ((uploadDataType & GPU_MAT) && source.isGpuFrameSupported()) {
    CHECK(0) << "Not supported yet";
  }

  // A source or OpenCV failure must not escape the thread: it counts as a failed read.
  try {
    // The previous OpenCL view must not outlive the pixels the source overwrites now.
    if (uploadDataType & UMAT) buf->framesUmat.release();
    perf::ScopedTimer readTimer("cma_read_one_frame_cpu");
    const bool ok = source.Next(&buf->framesCpu, &buf->frameTs, true);
    readTimer.stop();
    if (!ok) {
      source.reconnect();
      td.backQueue.push(std::move(buf), false);
      return false;
    }
    if (bMarkFrameStreams) drawFrameIndex(buf->framesCpu, td.counter + 1);
    if (uploadDataType & UMAT) {
      perf::ScopedTimer umatTimer("cma_read_one_frame_umat");
      buf->framesUmat = buf->framesCpu.getUMat(cv::ACCESS_READ);
    }
  } catch (const std::exception& e) {
    LOG_EVERY_N(ERROR, 1000) << "Camera \"" << entry.name << "\": reading a frame failed: "
                             << e.what();
    buf->framesUmat.release();
    td.backQueue.push(std::move(buf), false);
    return false;
  }

  const int64_t lastTs = td.lastTs.load(std::memory_order_relaxed);
  if (lastTs != 0) {
    // A peer's stamps may lie anywhere in int64: the gap saturates instead of overflowing.
    const int64_t gap = SaturatingSub(buf->frameTs, lastTs);
    const int64_t bin = std::clamp<int64_t>(gap / histItemSize, 0, histSize - 1);
    td.hist[bin].fetch_add(1, std::memory_order_relaxed);
  }
  const int64_t counter = td.counter.fetch_add(1, std::memory_order_relaxed) + 1;
  td.lastTs.store(buf->frameTs, std::memory_order_relaxed);
  td.lastArrival.store(now<SteadyClock>(), std::memory_order_relaxed);
  buf->counter = counter;

  if (td.backQueue.size() > 0) {
    if (uploadDataType & GPU_MAT) {
      cudaQueue.push(std::move(buf), true);
    } else {
      td.midQueue.push(std::move(buf), true);
    }
  } else {
    td.skippedFrames.fetch_add(1, std::memory_order_relaxed);
    td.backQueue.push(std::move(buf), false);
    if (bLogSkipFrames) std::cout << "Skip one frame for \"" << entry.name << "\" camera\n";
  }

  if (period.count() != 0) pace(td);
  return true;
}

void LiveStreams::pace(CameraThreadData& td) {
  using namespace std::chrono;
  td.sleepUntil += period;
  const auto current = time_point_cast<nanoseconds>(system_clock::now());
  if (current > td.sleepUntil) td.sleepUntil = current;
  td.sleepUntil = std::max(td.sleepUntil, current + milliseconds(3));
  // Sleep in slices so that a long period does not hold up stop().
  const auto slice = milliseconds(20);
  for (;;) {
    const auto t = system_clock::now();
    if (t >= td.sleepUntil || bThreadTerminated) break;
    std::this_thread::sleep_until(std::min(td.sleepUntil, time_point_cast<nanoseconds>(t + slice)));
  }
}

void LiveStreams::cudaThreadFunc() {
  while (!bThreadTerminated) {
    std::unique_ptr<FrameBuf> buf = cudaQueue.pop(100);
    if (!buf) continue;
    CameraThreadData& td = *threadesData[buf->camIndex];
    try {
      perf::ScopedTimer timer("cma_upload_one_frame_to_gpu");
      const cv::Mat& cpu = buf->framesCpu;
      gpu::Image& gpuImage = buf->framesGpu;
      if (camerasRoi.empty() || gpuImage.size() != cpu.size() || gpuImage.type() != cpu.type()) {
        // With regions set, the first upload into a GPU image of the frame's size and type is
        // whole, so that no pixel of it is left undefined.
        gpu::upload(cpu, gpuImage, *cudaUploadStream);
      } else {
        const cv::Rect& roi = camerasRoi[buf->camIndex];
        cv::cuda::GpuMat dst = gpuImage(roi);
        gpu::upload(cpu(roi), dst, *cudaUploadStream);
      }
      cudaUploadStream->waitForCompletion();
    } catch (const std::exception& e) {
      LOG_EVERY_N(ERROR, 1000) << "Camera \"" << mng[buf->camIndex].name
                               << "\": GPU upload failed: " << e.what();
      td.backQueue.push(std::move(buf), false);
      continue;
    }
    td.midQueue.push(std::move(buf), true);
  }
}

void LiveStreams::uploadTimeoutFrame(FrameBuf& buf) {
  if (uploadDataType & GPU_MAT) {
    gpu::upload(buf.framesCpu, buf.framesGpu, *cudaUploadStream);
    cudaUploadStream->waitForCompletion();
  }
  if (uploadDataType & UMAT) buf.framesCpu.copyTo(buf.framesUmat);
}

void LiveStreams::giveBack(FrameSet& bufs) {
  for (auto& buf : bufs) {
    if (buf) camera(buf->camIndex).backQueue.push(std::move(buf), false);
  }
  bufs.clear();
}

LiveStreams::FrameSet LiveStreams::loanBuffer(bool& bTimeoutDetected) {
  perf::ScopedTimer timer("cma_wait_frames");
  bTimeoutDetected = false;
  const size_t n = threadesData.size();
  FrameSet result;
  {
    std::lock_guard<std::mutex> lock(spareMutex);
    result.swap(spareSet);
  }
  result.clear();
  result.resize(n);

  bool bAllServed = false;
  bool bNoFreeBuffer = false;
  for (;;) {
    bAllServed = true;
    for (size_t i = 0; i < n && !bNoFreeBuffer; ++i) {
      if (result[i]) continue;
      CameraThreadData& td = *threadesData[i];
      if ((result[i] = td.midQueue.pop(1))) continue;
      // Silence is measured on this machine's clock, whatever the frames' timestamps say: a
      // camera stamping ahead of the clock still times out.
      const int64_t arrival = td.lastArrival.load(std::memory_order_relaxed);
      if (arrival == 0 || now<SteadyClock>() - arrival > readTimeout) {
        std::unique_ptr<FrameBuf> buf = td.backQueue.pop(0);
        if (!buf) {
          // Every buffer of this camera is ready elsewhere or on loan: no set can be made now.
          LOG_EVERY_N(WARNING, 100) << "LiveStreams: no free buffer for the \"No signal\" frame "
                                       "of camera \"" << mng[i].name << "\"";
          bNoFreeBuffer = true;
          bAllServed = false;
          break;
        }
        bTimeoutDetected = true;
        // A free buffer may still carry the OpenCL view of its last frame: drop it before
        // drawing over the pixels it shares.
        buf->framesUmat.release();
        drawTimeoutFrame(buf->framesCpu, td.defaultFrameSize);
        try {
          uploadTimeoutFrame(*buf);
        } catch (...) {
          td.backQueue.push(std::move(buf), false);
          giveBack(result);
          throw;
        }
        result[i] = std::move(buf);
        continue;
      }
      bAllServed = false;
    }
    if (bAllServed || bNoFreeBuffer || bThreadTerminated) break;
  }

  if (!bAllServed || bThreadTerminated) giveBack(result);
  if (bTimeoutDetected && !bThreadTerminated && timeoutInterval > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutInterval));
  }
  ++waitFramesCounter;
  timer.stop();
  return result;
}

void LiveStreams::returnBuffer(FrameSet bufs) {
  CHECK(bufs.size() == threadesData.size());
  giveBack(bufs);
  std::lock_guard<std::mutex> lock(spareMutex);
  if (bufs.capacity() > spareSet.capacity()) spareSet.swap(bufs);
}

template <typename Copy>
bool LiveStreams::loanAndCopy(Copy copy) {
  bool bTimeout = false;
  FrameSet set = loanBuffer(bTimeout);
  if (set.empty()) return false;
  try {
    copy(set);
  } catch (...) {
    returnBuffer(std::move(set));
    throw;
  }
  returnBuffer(std::move(set));
  return !bTimeout;
}

bool LiveStreams::waitFrames(cv::OutputArray frames) {
  return loanAndCopy([&](const FrameSet& set) {
    const size_t n = set.size();
    const cv::_InputArray::KindFlag kind = frames.kind();
    if (kind == cv::_InputArray::STD_VECTOR_CUDA_GPU_MAT) {
      // Plain GpuMat headers cannot allocate: each must already view an image of the size and
      // type of its camera's frame (see the gpu::Image form).
      auto& out = *static_cast<std::vector<cv::cuda::GpuMat>*>(frames.getObj());
      out.resize(n);
      for (size_t i = 0; i < n; ++i) gpu::copyTo(set[i]->framesGpu, out[i]);
    } else if (kind == cv::_InputArray::STD_VECTOR_MAT) {
      auto& out = *static_cast<std::vector<cv::Mat>*>(frames.getObj());
      out.resize(n);
      for (size_t i = 0; i < n; ++i) set[i]->framesCpu.copyTo(out[i]);
    } else if (kind == cv::_InputArray::STD_VECTOR_UMAT) {
      auto& out = *static_cast<std::vector<cv::UMat>*>(frames.getObj());
      out.resize(n);
      for (size_t i = 0; i < n; ++i) set[i]->framesUmat.copyTo(out[i]);
    } else {
      CHECK(0) << "Unsupported type of frames";
    }
  });
}

bool LiveStreams::waitFrames(std::vector<gpu::Image>& frames) {
  return loanAndCopy([&](const FrameSet& set) {
    frames.resize(set.size());
    for (size_t i = 0; i < set.size(); ++i) gpu::copyTo(set[i]->framesGpu, frames[i]);
  });
}

LiveStreams::CameraThreadData& LiveStreams::camera(int cam) const {
  CHECK(cam >= 0 && static_cast<size_t>(cam) < threadesData.size())
      << "Camera index " << cam << " outside the " << threadesData.size() << " cameras";
  return *threadesData[static_cast<size_t>(cam)];
}

size_t LiveStreams::getMidQueueFullness(int cam) const { return camera(cam).midQueue.size(); }

size_t LiveStreams::getCudaQueueFullness() const { return cudaQueue.size(); }

bool LiveStreams::skipOneFrontMidBuf(int cam) {
  CameraThreadData& td = camera(cam);
  std::unique_ptr<FrameBuf> buf = td.midQueue.pop(0);
  if (!buf) return false;
  td.backQueue.push(std::move(buf), false);
  return true;
}

void LiveStreams::setDefaultFrameSize(int cam, const cv::Size& size) {
  camera(cam).defaultFrameSize = size;
}

void LiveStreams::setCamerasRoi(const std::vector<cv::Rect>& rois) {
  CHECK(rois.size() == mng.size());
  camerasRoi = rois;
}

void LiveStreams::printStatistics() {
  const double T = static_cast<double>(now() - tsStart);
  std::cout << "LiveStreams statistics:" << "\n";
  for (const auto& td : threadesData) {
    const int64_t counter = td->counter.load(std::memory_order_relaxed);
    std::cout << "\tCamera \"" << mng[td->ind].name << "\": frames got:" << counter
              << "; frames skiped:" << td->skippedFrames.load(std::memory_order_relaxed)
              << "; FPS:" << 1000 * (counter / T) << "\n";
    std::cout << "\t" << std::setw(8) << "ms";
    // In 64 bits: every bin width the configuration accepts (up to INT_MAX ms) stays defined.
    for (int i = 0; i < histSize; ++i) std::cout << std::setw(6) << int64_t(histItemSize) * i;
    std::cout << "\n\t" << std::setw(8) << "count";
    for (int i = 0; i < histSize; ++i) {
      std::cout << std::setw(6) << td->hist[i].load(std::memory_order_relaxed);
    }
    std::cout << "\n";
  }
  const int64_t requested = waitFramesCounter;
  std::cout << "\tTotal frames requested:" << requested << "\n";
  std::cout << "\tTotal time:" << T << "\n";
  std::cout << "\tFPS:" << 1000 * (requested / T) << "\n";
}

void LiveStreams::resetStatistics() {
  waitFramesCounter = 0;
  for (auto& td : threadesData) {
    td->counter = 0;
    td->skippedFrames = 0;
  }
}

void LiveStreams::drawTimeoutFrame(cv::Mat& img, const cv::Size& defaultSize) {
  if (img.empty()) img.create(defaultSize, CV_8UC3);
  if (img.empty()) return;  // no default size was set: nothing to draw on
  const int cols = img.cols;
  const int rows = img.rows;
  img.setTo(cv::Scalar::all(0));

  const int step = std::max(1, cols / 15);
  const int thickness = std::max(1, static_cast<int>(0.5 + (cols / 15.0f) * 0.05));
  const cv::Scalar grey(100, 100, 100);
  cv::rectangle(img, cv::Point(thickness, thickness),
                cv::Point(cols - thickness - 1, rows - thickness - 1), grey, thickness,
                cv::LINE_8);
  for (int x = step; x < cols; x += step) {
    cv::line(img, cv::Point(x, 0), cv::Point(x, rows), grey, thickness, cv::LINE_8);
  }
  for (int y = step; y < rows; y += step) {
    cv::line(img, cv::Point(0, y), cv::Point(cols, y), grey, thickness, cv::LINE_8);
  }

  const int fontScale = std::max(1, cols / 300);
  int baseline = 0;
  const cv::Size text =
      cv::getTextSize("No signal", cv::FONT_HERSHEY_SIMPLEX, fontScale, fontScale, &baseline);
  cv::putText(img, "No signal", cv::Point(cols / 2 - text.width / 2, rows / 2 + text.height / 2),
              cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar::all(255), fontScale, cv::LINE_AA);
}

void LiveStreams::drawFrameIndex(cv::Mat& img, int64_t number) {
  const int scale = std::max(1, img.cols / 300);
  cv::putText(img, std::to_string(number), cv::Point(img.cols / 3, img.rows / 3),
              cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar::all(255), scale, cv::LINE_AA);
}

}  // namespace tesmo
