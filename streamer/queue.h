#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tesmo {

// A thread-safe FIFO of owned elements: a mutex, a double-ended queue and a condition variable.
// Elements move in and out as unique pointers, never copied. The deque is a ring over a vector
// that only grows (when a push finds it full), so a queue that cycles a fixed set of elements
// stops allocating once it has held its largest count.
//
// Usage:
//   tesmo::queue<FrameBuf> ready;
//   // producer thread
//   ready.push(std::move(buf), /*bNotify=*/true);
//   // consumer thread: wait at most 1 ms
//   if (std::unique_ptr<FrameBuf> b = ready.pop(1)) { ... }
template <typename T>
class queue {
 public:
  queue() = default;
  queue(const queue&) = delete;
  queue& operator=(const queue&) = delete;

  // Appends `item` at the back; with bNotify wakes one thread waiting in pop.
  void push(std::unique_ptr<T> item, bool bNotify) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      pushBack(std::move(item));
    }
    if (bNotify) cv.notify_one();
  }

  // Removes and returns the front element. With timeout_ms below 1 it does not wait; otherwise
  // it waits at most timeout_ms milliseconds from the call for an element. Returns an empty
  // pointer when nothing was taken.
  std::unique_ptr<T> pop(int timeout_ms) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    if (timeout_ms >= 1) {
      const auto deadline = start + std::chrono::milliseconds(timeout_ms);
      while (count == 0) {
        if (cv.wait_until(lock, deadline) == std::cv_status::timeout && count == 0) {
          return nullptr;
        }
      }
    }
    if (count == 0) return nullptr;
    std::unique_ptr<T> item = std::move(ring[head]);
    head = (head + 1) % ring.size();
    --count;
    return item;
  }

  // Number of elements, read under the mutex.
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
  }

 private:
  void pushBack(std::unique_ptr<T> item) {
    if (count == ring.size()) {
      std::vector<std::unique_ptr<T>> grown(ring.empty() ? 8 : ring.size() * 2);
      for (size_t i = 0; i < count; ++i) grown[i] = std::move(ring[(head + i) % ring.size()]);
      ring.swap(grown);
      head = 0;
    }
    ring[(head + count) % ring.size()] = std::move(item);
    ++count;
  }

  mutable std::mutex mutex;
  std::vector<std::unique_ptr<T>> ring;  // oldest element at `head`
  size_t head = 0;
  size_t count = 0;
  std::condition_variable cv;
};

}  // namespace tesmo
