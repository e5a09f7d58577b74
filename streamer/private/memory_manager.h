#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <pthread.h>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>

#include "streamer/data/cameras.h"

namespace tesmo {

// Layout of the shared-memory frame segment. `mutex` guards `header` and `offset`; `condition` is
// signalled once per published frame. The mutex is a process-shared POSIX mutex made robust by the
// process that creates the segment (same size and layout as Boost's), so that the death of a
// process holding it never locks the others out: see SegmentLock. `buf` holds two frame halves of
// at most kMaxFrameWidth x kMaxFrameHeight 8-bit 3-channel pixels; `offset` names the half that
// holds the published frame (0, or rows * cols * 3 of the stored frame size).
struct SharedData {
  static constexpr int kMaxFrameWidth = 1920;
  static constexpr int kMaxFrameHeight = 1208;
  static constexpr size_t kBufSize = size_t(2) * kMaxFrameWidth * kMaxFrameHeight * 3;

  // Constructs the mutex and the condition; header, offset and buf are left as they are.
  SharedData() = default;
  ~SharedData() = default;
  SharedData(const SharedData&) = delete;
  SharedData& operator=(const SharedData&) = delete;

  TensorMsgHeader header;
  boost::interprocess::interprocess_mutex mutex;
  boost::interprocess::interprocess_condition condition;
  uint32_t offset;
  uint8_t buf[kBufSize];
  // Set by the process that created the segment once the mutex and the condition are
  // constructed; it lies in what would otherwise be the structure's tail padding.
  std::atomic<uint32_t> initialised;
};

static_assert(sizeof(SharedData) == 13916296, "SharedData must be 13,916,296 bytes");
static_assert(offsetof(SharedData, header) == 0, "header at 0");
static_assert(offsetof(SharedData, mutex) == 40, "mutex at 40");
static_assert(sizeof(boost::interprocess::interprocess_mutex) == 40, "process-shared mutex");
static_assert(offsetof(SharedData, condition) == 80, "condition at 80");
static_assert(sizeof(boost::interprocess::interprocess_condition) == 48, "process-shared cond");
static_assert(offsetof(SharedData, offset) == 128, "offset at 128");
static_assert(offsetof(SharedData, buf) == 132, "buf at 132");
static_assert(offsetof(SharedData, initialised) == 13916292, "marker in the tail padding");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "marker shared between processes");
static_assert(sizeof(boost::interprocess::interprocess_mutex) == sizeof(pthread_mutex_t),
              "Boost's process-shared mutex is a pthread mutex");

// Holds the segment's mutex for its life when it could be taken within `timeout_ms`. When the
// process that held it died, the mutex is taken over and marked consistent again: the header and
// offset it guarded are checked by the reader like any other header.
//
//   SegmentLock lock(shared_data, 100);
//   if (!lock.owns()) return false;  // held by a live process all that time
//   ... read or write the header and offset ...
class SegmentLock {
 public:
  SegmentLock(SharedData* data, int timeout_ms);
  ~SegmentLock();
  SegmentLock(const SegmentLock&) = delete;
  SegmentLock& operator=(const SegmentLock&) = delete;

  bool owns() const { return owns_; }

 private:
  pthread_mutex_t* mutex_;
  bool owns_ = false;
};

// Creates or opens the POSIX shared-memory segment `mem_id` and maps it. The process that creates
// the segment constructs its (robust) mutex and condition, exactly once; a process that opens an
// existing one waits (at most kInitTimeoutMs) until the creator has done so. An empty id gives a
// private in-process segment on the heap. Destroying the manager removes the segment's name:
// processes that map it keep using it, a later open of the name gets a new zero-filled segment.
// Opening and mapping errors throw boost::interprocess::interprocess_exception; a segment whose
// creator never finished throws std::runtime_error.
class MemoryManager {
 public:
  static constexpr int kInitTimeoutMs = 2000;

  explicit MemoryManager(const std::string& mem_id);
  ~MemoryManager();
  MemoryManager(const MemoryManager&) = delete;
  MemoryManager& operator=(const MemoryManager&) = delete;

  SharedData* GetDataPointer() { return shared_data_; }
  // Size of SharedData::buf (both halves), 13,916,160.
  int GetBufSize() const { return static_cast<int>(SharedData::kBufSize); }

 private:
  boost::interprocess::shared_memory_object shm_obj_;
  boost::interprocess::mapped_region region_;
  SharedData* shared_data_ = nullptr;
  std::string mem_id_;
};

}  // namespace tesmo
