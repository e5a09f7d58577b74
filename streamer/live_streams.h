#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "common/gpu/gpu.h"
#include "streamer/frame_streams.h"
#include "streamer/queue.h"

namespace tesmo {

// The multi-camera reader between the frame sources and one consumer. One reader thread per
// camera fills a fixed pool of frame buffers; the consumer loans one buffer per camera at a time
// as a frame set and gives it back. A camera that has delivered nothing for longer than
// "read_timeout" ms (measured from the arrival of its last frame on the steady clock, not from
// the frame's timestamp) appears in the set as a drawn "No signal" frame, so a loan never blocks
// long on a dead camera.
//
// Buffer life cycle per camera: free (backQueue) -> filled by the reader -> [cudaQueue -> upload
// thread] -> ready (midQueue) -> loaned -> returned -> free. A reader that would use up the last
// free buffer drops the frame instead and counts it.
//
// Consumer cycle:
//   LiveStreams live(streams, fs, LiveStreams::CPU_MAT, /*cudaDev=*/-1);
//   live.start();
//   bool bTimeout = false;
//   auto set = live.loanBuffer(bTimeout);   // empty: the reader is stopping
//   if (!set.empty()) { use(set[i]->framesCpu); live.returnBuffer(std::move(set)); }
//   live.stop();
class LiveStreams {
 public:
  // Which image forms of a buffer are filled. The CPU image always is.
  enum OutputFrameType { CPU_MAT = 1, GPU_MAT = 2, UMAT = 4 };

  // One camera's frame. Moves between the queues and to the consumer as a unique pointer.
  struct FrameBuf {
    explicit FrameBuf(int camIndex) : camIndex(camIndex) {}
    cv::Mat framesCpu;           // the frame as read, or the drawn "No signal" frame
    gpu::Image framesGpu;        // uploaded copy (GPU_MAT)
    cv::UMat framesUmat;         // OpenCL view of framesCpu (UMAT)
    int64_t frameTs = 0;         // ms as the source gave it; kept by a "No signal" frame
    int64_t counter = 0;         // the camera's frame number, 1 for its first frame
    const int camIndex;          // the camera this buffer belongs to
  };
  using FrameSet = std::vector<std::unique_ptr<FrameBuf>>;

  // Per-camera state. The counters, lastTs and the histogram bins are written by the camera's
  // reader thread and read by the consumer's thread.
  struct CameraThreadData {
    int ind = -1;
    cv::Size defaultFrameSize;  // size of a freshly drawn "No signal" frame
    std::thread thread;
    queue<FrameBuf> backQueue;  // free buffers
    queue<FrameBuf> midQueue;   // ready buffers, oldest first
    std::atomic<int64_t> counter{0};        // frames read since start/reset, dropped included
    std::atomic<int64_t> skippedFrames{0};  // frames dropped for lack of a free buffer
    std::atomic<int64_t> lastTs{0};         // ms timestamp of the last frame read; 0: none yet
    std::atomic<int64_t> lastArrival{0};    // steady-clock ms when it was read; 0: none yet
    std::vector<std::atomic<int>> hist;     // intervals between consecutive frames
    std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds> sleepUntil;
  };

  // Reads the "live_streams" node of `fs` (when open and a map) and builds querySize buffers per
  // camera of `mng`, which must outlive this object. Starts no thread. Throws
  // std::runtime_error naming the key for a key of the wrong type or out of its range
  // ("query_size" 2..1024, "read_timeout" 0..60000, "timeout_interval" 0..1000, "hist_size"
  // 1..100000, "hist_item_size" at least 1, "fps_max" 0 or less or at least 0.001). With GPU_MAT
  // the readers make `cudaDev` (when not negative) their current GPU device.
  LiveStreams(FrameStreams& mng, const cv::FileStorage& fs, int uploadDataType, int cudaDev);
  // Stops and joins the threads. Every loaned set must have been given back.
  ~LiveStreams();
  LiveStreams(const LiveStreams&) = delete;
  LiveStreams& operator=(const LiveStreams&) = delete;

  // Stops any running threads, then starts the upload thread and one reader per camera.
  // Counters, histograms and queues are kept; the statistics clock restarts.
  void start();
  // Stops and joins every thread; returns once every source's current Next has returned.
  void stop();

  // One buffer per camera, element i for camera i; empty when the reader is stopping (or when a
  // timed-out camera has no free buffer left for its "No signal" frame). Waits about 1 ms per
  // missing camera and pass. Sets bTimeoutDetected when a "No signal" frame is in the set; such
  // a loan ends with a pause of "timeout_interval" ms. Consumer's thread.
  FrameSet loanBuffer(bool& bTimeoutDetected);
  // Gives a loaned set back (each buffer to the free queue of its camIndex). Any thread. A set of
  // the wrong size, or a buffer whose camIndex lies outside the camera list, ends the process
  // through a fatal check.
  void returnBuffer(FrameSet bufs);

  // Loans a set, deep-copies it into `frames` (a vector of GpuMat, Mat or UMat) and gives it back.
  // False when the loan was empty or held a "No signal" frame. A GpuMat element cannot allocate
  // (see common/gpu/gpu.h): each must already have its camera's frame size and type, else
  // cv::Exception is thrown (the set is given back first). Any other kind ends the process.
  bool waitFrames(cv::OutputArray frames);
  // The same into GPU images, allocated as needed (GPU_MAT).
  bool waitFrames(std::vector<gpu::Image>& frames);

  // The per-camera calls below take a camera index in 0..number of cameras - 1; any other ends
  // the process through a fatal check, as setCamerasRoi does for a list of the wrong length.
  size_t getMidQueueFullness(int cam) const;
  size_t getCudaQueueFullness() const;
  // Moves camera `cam`'s oldest ready buffer to its free queue; false when none was ready.
  bool skipOneFrontMidBuf(int cam);

  // Size of camera `cam`'s "No signal" frame when its buffer never held a frame. Before start.
  void setDefaultFrameSize(int cam, const cv::Size& size);
  // Per-camera GPU upload regions, one per camera. Before start.
  void setCamerasRoi(const std::vector<cv::Rect>& rois);
  int getQuerySize() const { return querySize; }

  // Frame counts, drops, FPS and interval histograms per camera, then the loan totals; stdout.
  void printStatistics();
  // Zeroes the loan count and every camera's frame and drop counters.
  void resetStatistics();

  // Draws the "No signal" picture into `img`, created 8-bit 3-channel of `defaultSize` when empty.
  static void drawTimeoutFrame(cv::Mat& img, const cv::Size& defaultSize);
  // Writes `number` in white at a third of the width and height of `img`.
  static void drawFrameIndex(cv::Mat& img, int64_t number);

 private:
  friend struct LiveStreamsPeer;  // tests: buffer accounting across the queues

  void readThreadFunc(int cam);
  bool readFrame(CameraThreadData& td);
  void cudaThreadFunc();
  void pace(CameraThreadData& td);
  void uploadTimeoutFrame(FrameBuf& buf);
  void giveBack(FrameSet& bufs);
  // Camera `cam`'s thread data; an index outside the camera list ends the process through a
  // fatal check naming the index and the camera count.
  CameraThreadData& camera(int cam) const;
  // Loans a set, calls copy(set) and gives the set back, also when copy throws.
  template <typename Copy>
  bool loanAndCopy(Copy copy);

  int readTimeout = 2000;     // ms
  int timeoutInterval = 40;  // ms
  int histSize = 30;
  int histItemSize = 3;  // ms
  int querySize = 5;
  bool bLogSkipFrames = false;
  bool bMarkFrameStreams = false;
  std::chrono::nanoseconds period{0};  // 0: no pacing
  int uploadDataType;
  FrameStreams& mng;
  int cudaDev;
  std::atomic<int64_t> waitFramesCounter{0};
  int64_t tsStart = 0;  // ms, system clock
  std::vector<cv::Rect> camerasRoi;
  std::unique_ptr<gpu::Stream> cudaUploadStream;
  queue<FrameBuf> cudaQueue;
  std::thread cudaThread;
  std::vector<std::shared_ptr<CameraThreadData>> threadesData;
  std::atomic<bool> bThreadTerminated{false};

  // The storage of the last returned set, reused by the next loan so that a steady loan/return
  // cycle allocates nothing. Held only for a swap.
  std::mutex spareMutex;
  FrameSet spareSet;
};

}  // namespace tesmo
