// event.h - manual- and automatic-reset events between operating-system threads.
//
// A manual-reset event stays signalled until reset; an automatic-reset event
// releases one waiter and resets itself. Used for the hand-off between the
// select thread and the idle task; never waited on by a fiber task.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // set takes the lock, so that a waiter between its look at the flag and
  // its sleep cannot miss the signal; reset and is_set need none.
  void set();
  void reset();
  bool is_set() const;
  void wait();
  // Returns true when the event was signalled within the time.
  bool wait_for(uint64_t milliseconds);

 private:
  const bool manual_reset_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> set_;
};

}  // namespace platform
