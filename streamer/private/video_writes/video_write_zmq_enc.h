#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "streamer/img_codecs.h"
#include "streamer/video_write.h"

namespace tesmo {

// Sink "zmq_jpeg": binds a PUB socket (send high-water mark 1) at `addr` and sends every frame as
// an encoded frame message: a 48-byte TensorEncodedMsgHeader part, then the payload part, JPEG
// from `encoder` or, for a raw (or null) encoder, the packed pixels.
//
// With is_async the frames are handed to a worker thread through one slot: a frame that arrives
// while the previous one still waits replaces it, and the caller never waits for the socket or
// the encoder. The frame index is taken at hand-over.
class VideoWriteZmqEnc : public VideoWrite {
 public:
  VideoWriteZmqEnc(const std::string& addr, std::shared_ptr<ImageEncoder> encoder, bool is_async);
  ~VideoWriteZmqEnc() override;

  // Encodes and sends one frame on the calling thread.
  bool PublishSync(const cv::Mat& frame, int64_t ts);
  // Hands one frame (copied) to the worker.
  bool PublishAsync(const cv::Mat& frame, int64_t ts);

 protected:
  bool PublishImpl(const cv::Mat& frame, int64_t ts) override;

 private:
  struct FrameBuffer {
    cv::Mat frame;
    int64_t timestamp = 0;
    int64_t index = 0;
  };

  void Send(const cv::Mat& frame, int64_t ts, int64_t index);
  void thread_func();

  zmq::socket_t sock_;
  std::vector<uint8_t> encode_buf_;
  std::shared_ptr<ImageEncoder> encoder_;
  bool is_async_;
  FrameBuffer bufs_[2];
  FrameBuffer* front_buf_ = &bufs_[0];  // being sent by the worker
  FrameBuffer* back_buf_ = &bufs_[1];   // being filled by the publisher
  bool back_buf_is_full = false;
  std::thread thread_;
  std::mutex mutex_;  // guards the slot pointers, back_buf_is_full and thread_terminated_
  std::condition_variable cv_back_buf_is_full_;
  bool thread_terminated_ = true;
};

}  // namespace tesmo
