#include "streamer/private/memory_manager.h"

#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include <boost/interprocess/exceptions.hpp>

#include "streamer/util.h"

namespace tesmo {

namespace bip = boost::interprocess;

MemoryManager::MemoryManager(const std::string& mem_id) : mem_id_(mem_id) {
  if (mem_id_.empty()) {
    shared_data_ = new SharedData();
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
