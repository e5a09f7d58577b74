#include "streamer/private/video_writes/video_write_zmq_enc.h"

#include <glog/logging.h>

#include "streamer/data/cameras.h"
#include "streamer/private/frame_wire.h"
#include "streamer/private/zmq_context.h"

namespace tesmo {

VideoWriteZmqEnc::VideoWriteZmqEnc(const std::string& addr,
                                   std::shared_ptr<ImageEncoder> encoder, bool is_async)
    : sock_(GetZmqCtx(), zmq::socket_type::pub),
      encoder_(encoder ? std::move(encoder) : std::make_shared<ImageEncoderRaw>()),
      is_async_(is_async) {
  LOG(INFO) << "Creating connection to " << addr << " ...\n";
  sock_.set(zmq::sockopt::sndhwm, 1);
  sock_.set(zmq::sockopt::linger, 0);
  sock_.bind(addr);
  if (is_async_) {
    thread_terminated_ = false;
    thread_ = std::thread(&VideoWriteZmqEnc::thread_func, this);
  }
}

VideoWriteZmqEnc::~VideoWriteZmqEnc() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      thread_terminated_ = true;
    }
    cv_back_buf_is_full_.notify_all();
    thread_.join();
  }
}

bool VideoWriteZmqEnc::PublishImpl(const cv::Mat& frame, int64_t ts) {
  return is_async_ ? PublishAsync(frame, ts) : PublishSync(frame, ts);
}

bool VideoWriteZmqEnc::PublishSync(const cv::Mat& frame, int64_t ts) {
  Send(frame, ts, frameInd);
  return true;
}

bool VideoWriteZmqEnc::PublishAsync(const cv::Mat& frame, int64_t ts) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame.copyTo(back_buf_->frame);
    back_buf_->timestamp = ts;
    back_buf_->index = frameInd;
    back_buf_is_full = true;
  }
  cv_back_buf_is_full_.notify_all();
  return true;
}

void VideoWriteZmqEnc::thread_func() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // The flag is tested under the lock, so a hand-over or a stop request is never missed.
    cv_back_buf_is_full_.wait(lock, [this] { return thread_terminated_ || back_buf_is_full; });
    if (thread_terminated_) break;
    std::swap(front_buf_, back_buf_);
    back_buf_is_full = false;
    lock.unlock();
    Send(front_buf_->frame, front_buf_->timestamp, front_buf_->index);
    lock.lock();
  }
}

void VideoWriteZmqEnc::Send(const cv::Mat& frame, int64_t ts, int64_t index) {
  TensorEncodedMsgHeader header{};
  FillFrameHeader(frame, ts, index, &header);
  header.codec = encoder_->encoder_format();

  zmq::message_t payload;
  if (encoder_->encoder_format() == Raw) {
    const size_t frame_size = frame.total() * frame.elemSize();
    payload.rebuild(frame_size);
    if (frame_size > 0) CopyPackedRows(frame, static_cast<uint8_t*>(payload.data()));
  } else {
    CHECK(encoder_->Encode(frame, &encode_buf_));
    payload.rebuild(encode_buf_.data(), encode_buf_.size());
  }
  header.data_size = static_cast<uint32_t>(payload.size());
  sock_.send(zmq::const_buffer(&header, sizeof(header)),
             zmq::send_flags::sndmore | zmq::send_flags::dontwait);
  sock_.send(payload, zmq::send_flags::dontwait);
  VLOG(1) << "encoded image data size: " << header.data_size / 1048576.0 << " MB";
}

}  // namespace tesmo
