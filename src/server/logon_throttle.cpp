// logon_throttle.cpp - failed logons slowed down per client address (see
// logon_throttle.h). The table is owned by the server thread; the wait is a
// one-shot virtual timer that posts the wake-up of the sleeping task.
#include "server/logon_throttle.h"

#include <atomic>

#include "base/task_kernel.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"

namespace {

constexpr int kFirstStepMs = 200;
constexpr int kStepCapMs = 5000;
constexpr uint64_t kWaitCapMs = 60000;
constexpr uint64_t kForgetMs = 15 * 60 * 1000;
constexpr int kAddresses = 256;

struct Entry {
  uint32_t addr = 0;
  int failures = 0;          // 0: a free entry
  uint64_t last_ms = 0;      // the last failure
  uint64_t not_before = 0;   // when the last delayed reply is due
};
Entry g_table[kAddresses];

Entry* entry_for(uint32_t addr, uint64_t now_ms) {
  Entry* idle = &g_table[0];
  for (Entry& e : g_table) {
    if (e.failures > 0 && now_ms - e.last_ms > kForgetMs) e.failures = 0;
    if (e.failures > 0 && e.addr == addr) return &e;
    if (e.failures == 0 || (idle->failures > 0 && e.last_ms < idle->last_ms)) idle = &e;
  }
  *idle = Entry{};
  idle->addr = addr;
  return idle;
}

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
  Entry* e = entry_for(addr, now_ms);
  ++e->failures;
  e->last_ms = now_ms;
  const int shift = e->failures - 1 < 5 ? e->failures - 1 : 5;
  const int step = kFirstStepMs << shift < kStepCapMs ? kFirstStepMs << shift : kStepCapMs;
  const uint64_t from = e->not_before > now_ms ? e->not_before : now_ms;
  uint64_t due = from + static_cast<uint64_t>(step);
  if (due > now_ms + kWaitCapMs) due = now_ms + kWaitCapMs;
  e->not_before = due;
  if (failures != nullptr) *failures = e->failures;
  return static_cast<int>(due - now_ms);
}

void logon_throttle_succeeded(uint32_t addr) {
  for (Entry& e : g_table)
    if (e.failures > 0 && e.addr == addr) e = Entry{};
}

void logon_throttle_reset() {
  for (Entry& e : g_table) e = Entry{};
}

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
