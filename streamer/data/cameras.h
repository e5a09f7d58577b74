#pragma once

#include <cstddef>
#include <cstdint>

// Wire headers of the frame messages exchanged over ZeroMQ and through the shared-memory segment.
// All integers are little-endian (the x86-64 host order), at fixed offsets, with no padding.
//
// A reader rebuilds the image as rows = shape[0] * shape[1], cols = shape[2], OpenCV type =
// CV_MAKETYPE(dtype & 7, shape[3]); the pixels are the rows packed top to bottom without padding.

namespace tesmo {

// Header of a raw frame message (followed by the pixels in the same message part) and of the
// shared-memory segment.
struct TensorMsgHeader {
  int32_t shape[4];   // {1, rows, cols, channels}
  int32_t dtype;      // OpenCV depth code, CV_8U = 0 ... CV_16F = 7
  int32_t reserved;   // written as 0, never read
  int64_t timestamp;  // ms since the Unix epoch, as given to the sink
  int64_t index;      // the sink's frame index: 0, 1, 2, ...
};

// Header part of an encoded frame message; the payload (raw pixels or a JPEG stream) follows as
// a second message part of data_size bytes. shape and dtype describe the image before encoding.
struct TensorEncodedMsgHeader {
  int32_t shape[4];
  int32_t dtype;
  int32_t reserved;
  int64_t timestamp;
  int64_t index;
  int32_t codec;       // ImageCodecFormat: Raw = 0, JPEG = 1
  uint32_t data_size;  // payload length in bytes, > 0
};

static_assert(sizeof(TensorMsgHeader) == 40, "TensorMsgHeader must be 40 bytes");
static_assert(offsetof(TensorMsgHeader, shape) == 0, "shape at 0");
static_assert(offsetof(TensorMsgHeader, dtype) == 16, "dtype at 16");
static_assert(offsetof(TensorMsgHeader, reserved) == 20, "reserved at 20");
static_assert(offsetof(TensorMsgHeader, timestamp) == 24, "timestamp at 24");
static_assert(offsetof(TensorMsgHeader, index) == 32, "index at 32");

static_assert(sizeof(TensorEncodedMsgHeader) == 48, "TensorEncodedMsgHeader must be 48 bytes");
static_assert(offsetof(TensorEncodedMsgHeader, shape) == 0, "shape at 0");
static_assert(offsetof(TensorEncodedMsgHeader, dtype) == 16, "dtype at 16");
static_assert(offsetof(TensorEncodedMsgHeader, reserved) == 20, "reserved at 20");
static_assert(offsetof(TensorEncodedMsgHeader, timestamp) == 24, "timestamp at 24");
static_assert(offsetof(TensorEncodedMsgHeader, index) == 32, "index at 32");
static_assert(offsetof(TensorEncodedMsgHeader, codec) == 40, "codec at 40");
static_assert(offsetof(TensorEncodedMsgHeader, data_size) == 44, "data_size at 44");

}  // namespace tesmo
