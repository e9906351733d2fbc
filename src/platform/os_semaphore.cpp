// os_semaphore.cpp - counting semaphore with a maximum.
#include "platform/os_semaphore.h"

#include <chrono>

namespace platform {

OsSemaphore::OsSemaphore(int32_t initial, int32_t maximum) : maximum_(maximum), count_(initial) {}

bool OsSemaphore::release(int32_t n) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (n < 1 || count_ > maximum_ - n) return false;
    count_ += n;
  }
  if (n == 1)
    cv_.notify_one();
  else
    cv_.notify_all();
  return true;
}

void OsSemaphore::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool OsSemaphore::try_wait() {
  if (count_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) return false;
  --count_;
  return true;
}

bool OsSemaphore::wait_for(uint64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return count_ > 0; }))
    return false;
  --count_;
  return true;
}

int32_t OsSemaphore::count() const { return count_.load(std::memory_order_acquire); }

}  // namespace platform
