// event.cpp - manual- and automatic-reset events.
#include "platform/event.h"

#include <chrono>

namespace platform {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

void Event::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  if (manual_reset_)
    cv_.notify_all();
  else
    cv_.notify_one();
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::is_set() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

void Event::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return set_; });
  if (!manual_reset_) set_ = false;
}

bool Event::wait_for(uint64_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set_; }))
    return false;
  if (!manual_reset_) set_ = false;
  return true;
}

}  // namespace platform
