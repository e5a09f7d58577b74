#include "streamer/private/memory_manager.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <stdexcept>
#include <thread>

#include <boost/interprocess/exceptions.hpp>

#include "streamer/util.h"

namespace tesmo {

namespace bip = boost::interprocess;

namespace {

pthread_mutex_t* NativeMutex(SharedData* data) {
  return reinterpret_cast<pthread_mutex_t*>(&data->mutex);
}

// Boost constructs the mutex process-shared only; it is made robust as well, so that a process
// that dies holding it leaves it to the next one that locks it instead of locking it for ever.
void MakeMutexRobust(SharedData* data) {
  pthread_mutex_t* mutex = NativeMutex(data);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_destroy(mutex);
  const int res = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (res != 0) throw bip::interprocess_exception(res);
}

}  // namespace

SegmentLock::SegmentLock(SharedData* data, int timeout_ms) : mutex_(NativeMutex(data)) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  const int res = pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline);
  if (res == EOWNERDEAD) {
    // The holder died: the mutex is ours now, usable again once marked consistent.
    pthread_mutex_consistent(mutex_);
    owns_ = true;
  } else {
    owns_ = res == 0;
  }
}

SegmentLock::~SegmentLock() {
  if (owns_) pthread_mutex_unlock(mutex_);
}

MemoryManager::MemoryManager(const std::string& mem_id) : mem_id_(mem_id) {
  if (mem_id_.empty()) {
    shared_data_ = new SharedData();
    MakeMutexRobust(shared_data_);
    return;
  }
  // Creating exclusively tells the creator apart from the processes that open an existing
  // segment; only the creator constructs the mutex and the condition.
  bool created = false;
  try {
    shm_obj_ = bip::shared_memory_object(bip::create_only, mem_id_.c_str(), bip::read_write);
    created = true;
  } catch (const bip::interprocess_exception& e) {
    if (e.get_error_code() != bip::already_exists_error) throw;
    shm_obj_ = bip::shared_memory_object(bip::open_only, mem_id_.c_str(), bip::read_write);
  }
  // Both sides set the size: an opener may come before the creator has done it, and a new
  // object is zero-filled.
  shm_obj_.truncate(sizeof(SharedData));
  region_ = bip::mapped_region(shm_obj_, bip::read_write, 0, sizeof(SharedData));
  void* address = region_.get_address();
  if (created) {
    shared_data_ = new (address) SharedData;
    MakeMutexRobust(shared_data_);
    shared_data_->initialised.store(1, std::memory_order_release);
    return;
  }
  shared_data_ = static_cast<SharedData*>(address);
  const int64_t start = now<std::chrono::steady_clock>();
  while (shared_data_->initialised.load(std::memory_order_acquire) == 0) {
    if (now<std::chrono::steady_clock>() - start > kInitTimeoutMs) {
      throw std::runtime_error("Shared-memory segment \"" + mem_id_ +
                               "\" was not initialised by the process that created it");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MemoryManager::~MemoryManager() {
  if (mem_id_.empty()) {
    delete shared_data_;
    return;
  }
  bip::shared_memory_object::remove(mem_id_.c_str());
}

}  // namespace tesmo
