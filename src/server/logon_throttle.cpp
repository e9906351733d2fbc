// logon_throttle.cpp - failed logons slowed down per client address (see
// logon_throttle.h). The table is owned by the server thread; the wait is a
// one-shot virtual timer that posts the wake-up of the sleeping task.
#include "server/logon_throttle.h"

#include <atomic>

#include "base/failed_logons.h"
#include "base/task_kernel.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"

namespace {

FailedLogons g_table;

WaitQueue g_throttled;
constexpr int kFlags = 1025;  // task ids are 1..1024
std::atomic<int> g_fired[kFlags];

// Timer thread: the throttled replies are due.
void throttle_fired(void*) {
  thread_post_wake_up(&g_throttled);
  notify_event("TIMER");
}

}  // namespace

int logon_throttle_failed(uint32_t addr, uint64_t now_ms, int* failures) {
  return g_table.failed(addr, now_ms, failures);
}

void logon_throttle_succeeded(uint32_t addr) { g_table.succeeded(addr); }

void logon_throttle_reset() { g_table.reset(); }

int logon_throttle_wait(int ms) {
  if (ms <= 0 || thread_self() == nullptr) return 0;
  // One flag per task, not on the stack: a timer that fires while a cut
  // wait returns may still set it.
  std::atomic<int>& fired = g_fired[thread_id(thread_self()) % kFlags];
  const int timer = vtimer_add(ms, 0, &fired, throttle_fired, nullptr);
  if (timer < 0) return -1;
  // Woken by another throttled reply's timer: sleep again until this one's.
  while (fired.load() == 0) {
    // The request holds its unit of the API lock: a wait that names its
    // task (none: no other task is waited for).
    if (sleep_on_task(&g_throttled, nullptr, nullptr, __FILE__, __LINE__) != 0) {
      vtimer_cancel(timer);
      return -1;
    }
  }
  return 0;
}
