// os_semaphore.h - the counting semaphore on which the idle task blocks the
// server thread while no task can run.
//
// Other threads release it after making a task runnable; a release beyond
// the maximum count fails, as it would for the system's own semaphore.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class OsSemaphore {
 public:
  OsSemaphore(int32_t initial, int32_t maximum);
  OsSemaphore(const OsSemaphore&) = delete;
  OsSemaphore& operator=(const OsSemaphore&) = delete;

  // Adds n; false (and nothing added) when the maximum would be passed.
  bool release(int32_t n = 1);
  void wait();
  // Takes a unit only when one is there; never waits, and takes no lock
  // when none is.
  bool try_wait();
  // True when a unit was taken within the time.
  bool wait_for(uint64_t milliseconds);
  int32_t count() const;

 private:
  const int32_t maximum_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // Changed only under the mutex; read without it by try_wait and count.
  std::atomic<int32_t> count_;
};

}  // namespace platform
