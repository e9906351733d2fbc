// vtimer.cpp - virtual timers and the timer thread (see vtimer.h).
//
// Entries live in one vector; the free list and the active list are chains of
// indices through it. A timer id carries the entry's index in its low 12 bits
// and the entry's use count above them, so an id of a timer that fired or was
// cancelled never names a later timer in the same entry.
#include "server/vtimer.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr int kIndexBits = 12;
constexpr int kNone = -1;
static_assert((1 << kIndexBits) >= VTIMER_MAX_ENTRIES);

struct Entry {
  uint64_t expiry = 0;   // monotonic ms
  uint32_t period = 0;   // ms; 0 = one-shot
  uint32_t serial = 0;   // bumped each time the entry is taken
  VTimerCallback callback = nullptr;
  void* arg = nullptr;
  std::atomic<int>* fired = nullptr;
  int next = kNone;
  bool active = false;
};

std::mutex g_mutex;
std::condition_variable g_cv;  // the timer thread waits on it
std::vector<Entry> g_entries;
int g_free = kNone;
int g_head = kNone;
bool g_setup = false;
bool g_enabled = false;
uint64_t (*g_clock)() = nullptr;

std::thread g_thread;
bool g_thread_stop = false;

uint64_t now_ms() { return g_clock ? g_clock() : platform::monotonic_ms(); }

int make_id(int index) {
  const uint32_t serial = g_entries[static_cast<size_t>(index)].serial & 0x7ffff;
  return static_cast<int>((serial << kIndexBits) | static_cast<uint32_t>(index));
}

// Links entry i before the first active entry that does not expire earlier.
void insert_active(int i) {
  Entry& e = g_entries[static_cast<size_t>(i)];
  int* link = &g_head;
  while (*link != kNone && g_entries[static_cast<size_t>(*link)].expiry < e.expiry)
    link = &g_entries[static_cast<size_t>(*link)].next;
  e.next = *link;
  *link = i;
  e.active = true;
}

void release_entry(int i) {
  Entry& e = g_entries[static_cast<size_t>(i)];
  e.active = false;
  e.callback = nullptr;
  e.arg = nullptr;
  e.fired = nullptr;
  e.next = g_free;
  g_free = i;
}

// Runs due entries; called with the lock held and returns with it held.
void fire_due(std::unique_lock<std::mutex>& lock) {
  const uint64_t now = now_ms();
  while (g_enabled && g_head != kNone &&
         g_entries[static_cast<size_t>(g_head)].expiry <= now) {
    const int i = g_head;
    Entry& e = g_entries[static_cast<size_t>(i)];
    g_head = e.next;
    const VTimerCallback callback = e.callback;
    void* const arg = e.arg;
    std::atomic<int>* const fired = e.fired;
    if (e.period != 0) {
      e.expiry += e.period;
      insert_active(i);
    } else {
      release_entry(i);
    }
    lock.unlock();
    if (fired != nullptr) fired->store(1);
    if (callback != nullptr) callback(arg);
    lock.lock();
  }
}

void timer_thread_body() {
  const int tid = static_cast<int>(syscall(SYS_gettid));
  debug_log('D', 2, "Started background timer thread #%d", tid);
  std::unique_lock<std::mutex> lock(g_mutex);
  while (!g_thread_stop) {
    if (!g_enabled || g_head == kNone) {
      g_cv.wait_for(lock, std::chrono::milliseconds(1000));
      continue;
    }
    const uint64_t expiry = g_entries[static_cast<size_t>(g_head)].expiry;
    const uint64_t now = now_ms();
    if (expiry > now) {
      g_cv.wait_for(lock, std::chrono::milliseconds(expiry - now));
      continue;
    }
    debug_log('T', 3, "vtimer_handler: signo=%d", 0);
    fire_due(lock);
  }
  lock.unlock();
  debug_log('D', 2, "Terminated background timer thread #%d", tid);
}

}  // namespace

int vtimer_init(int count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_setup || count < 1 || count > VTIMER_MAX_ENTRIES) return -1;
  try {
    g_entries.assign(static_cast<size_t>(count), Entry{});
  } catch (const std::bad_alloc&) {
    return -1;
  }
  g_free = kNone;
  for (int i = count - 1; i >= 0; --i) {
    g_entries[static_cast<size_t>(i)].next = g_free;
    g_free = i;
  }
  g_head = kNone;
  g_setup = true;
  g_enabled = true;
  return 0;
}

int vtimer_add(int ms, int periodic, std::atomic<int>* fired, VTimerCallback callback,
               void* arg) {
  if (ms < VTIMER_MIN_MS) ms = VTIMER_MIN_MS;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_setup || g_free == kNone) return -1;
  const int i = g_free;
  Entry& e = g_entries[static_cast<size_t>(i)];
  g_free = e.next;
  ++e.serial;
  e.expiry = now_ms() + static_cast<uint64_t>(ms);
  e.period = periodic ? static_cast<uint32_t>(ms) : 0;
  e.callback = callback;
  e.arg = arg;
  e.fired = fired;
  if (fired != nullptr) fired->store(0);
  insert_active(i);
  if (g_head == i) g_cv.notify_all();  // the thread may sleep past the new head
  return make_id(i);
}

int vtimer_cancel(int id) {
  if (id < 0) return -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  const int i = id & ((1 << kIndexBits) - 1);
  if (!g_setup || i >= static_cast<int>(g_entries.size())) return -1;
  Entry& e = g_entries[static_cast<size_t>(i)];
  if (!e.active || make_id(i) != id) return -1;
  for (int* link = &g_head; *link != kNone; link = &g_entries[static_cast<size_t>(*link)].next) {
    if (*link == i) {
      *link = e.next;
      release_entry(i);
      return 0;
    }
  }
  return -1;
}

void vtimer_stop() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_enabled = false;
}

void vtimer_exit() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_enabled = false;
  g_setup = false;
  g_entries.clear();
  g_entries.shrink_to_fit();
  g_free = kNone;
  g_head = kNone;
}

void vtimer_handler() {
  std::unique_lock<std::mutex> lock(g_mutex);
  fire_due(lock);
}

int bg_timer_thread_start() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_thread.joinable()) return 0;
    g_thread_stop = false;
  }
  return platform::start_thread(g_thread, "bg_timer", timer_thread_body);
}

void bg_timer_thread_stop() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_thread.joinable()) return;
    g_thread_stop = true;
    // From a callback the thread only learns that it is to stop.
    if (g_thread.get_id() == std::this_thread::get_id()) return;
  }
  g_cv.notify_all();
  platform::join_thread(g_thread);
  g_thread = std::thread();
}

void vtimer_set_clock(uint64_t (*clock)()) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_clock = clock;
}
