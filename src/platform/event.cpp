// event.cpp - manual- and automatic-reset events.
#include "platform/event.h"

#include <chrono>

namespace platform {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

void Event::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.store(true, std::memory_order_release);
  }
  if (manual_reset_)
    cv_.notify_all();
  else
    cv_.notify_one();
}

void Event::reset() { set_.store(false, std::memory_order_release); }

bool Event::is_set() const { return set_.load(std::memory_order_acquire); }

void Event::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return set_.load(std::memory_order_acquire); });
  if (!manual_reset_) set_.store(false, std::memory_order_release);
}

bool Event::wait_for(uint64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [this] { return set_.load(std::memory_order_acquire); }))
    return false;
  if (!manual_reset_) set_.store(false, std::memory_order_release);
  return true;
}

}  // namespace platform
