// hist.cpp - the statistics history (see hist.h).
//
// Every series is fed the same way: a sample per 10 seconds goes into the
// current minute and into the running sum; a full minute becomes a
// per-second average at the front of the nine finished minutes. The load
// series is fed its percent times 10, so its averages read as percent.
#include "server/hist.h"

#include <cstring>
#include <mutex>

#include "base/panic.h"
#include "base/server_counters.h"
#include "platform/clock.h"
#include "server/server_main.h"
#include "server/vtimer.h"

namespace {

std::mutex g_mutex;
HistFifo g_series[HIST_SERIES_COUNT];
bool g_setup = false;
int g_timer = -1;

// Idle time: what finished waits added, and the start of the wait under way
// (0 when the idle task is not waiting), in ns.
std::mutex g_idle_mutex;
uint64_t g_idle_ns = 0;
uint64_t g_idle_since_ns = 0;

// The reader's snapshot and position.
HistFifo g_snapshot;
bool g_reading = false;
bool g_snapshot_valid = false;
int g_pos = 0;

void shift_minute(HistFifo* h) {
  memmove(&h->minutes[1], &h->minutes[0], (HIST_MINUTES - 1) * sizeof h->minutes[0]);
  h->minutes[0] = h->minute_seconds ? static_cast<uint32_t>(h->accumulator / h->minute_seconds) : 0;
  if (h->minute_count < HIST_MINUTES) ++h->minute_count;
  h->accumulator = 0;
  h->minute_seconds = 0;
}

}  // namespace

void hist_feed(HistFifo* h, uint64_t sample) {
  h->accumulator += sample;
  h->minute_seconds = static_cast<uint16_t>(h->minute_seconds + HIST_INTERVAL_SEC);
  if (h->minute_seconds >= 60) shift_minute(h);
  const uint64_t rate = sample / HIST_INTERVAL_SEC;
  if (rate > h->highest) h->highest = rate > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rate);
  h->seconds += HIST_INTERVAL_SEC;
  h->sum += sample;
}

uint32_t hist_load_percent(uint64_t idle_us, uint32_t interval_sec) {
  if (interval_sec == 0) return 1;
  const uint64_t idle_percent = idle_us / (uint64_t{interval_sec} * 10000);
  return idle_percent >= 100 ? 1 : static_cast<uint32_t>(100 - idle_percent);
}

int hist_setup() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    memset(g_series, 0, sizeof g_series);
    g_setup = true;
  }
  {
    std::lock_guard<std::mutex> lock(g_idle_mutex);
    g_idle_ns = 0;
    g_idle_since_ns = 0;
  }
  g_timer = vtimer_add(HIST_INTERVAL_SEC * 1000, 1, nullptr, hist_timer_tick, nullptr);
  if (g_timer < 0) ZENT_ASSERT(!"hist_setup: virtual timer operation failed");
  return 0;
}

void hist_cleanup() {
  if (g_timer >= 0) vtimer_cancel(g_timer);
  g_timer = -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_setup = false;
}

void hist_idle_begin(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(g_idle_mutex);
  g_idle_since_ns = now_ns;
}

void hist_idle_end(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(g_idle_mutex);
  if (g_idle_since_ns != 0 && now_ns > g_idle_since_ns) g_idle_ns += now_ns - g_idle_since_ns;
  g_idle_since_ns = 0;
}

uint64_t hist_take_idle_us(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(g_idle_mutex);
  if (g_idle_since_ns != 0 && now_ns > g_idle_since_ns) {
    g_idle_ns += now_ns - g_idle_since_ns;
    g_idle_since_ns = now_ns;
  }
  const uint64_t us = g_idle_ns / 1000;
  g_idle_ns = 0;
  return us;
}

void hist_sample(uint64_t idle_us, const uint64_t counts[HIST_SERIES_COUNT - 1]) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_setup) return;
  hist_feed(&g_series[HIST_LOAD],
            uint64_t{hist_load_percent(idle_us, HIST_INTERVAL_SEC)} * HIST_INTERVAL_SEC);
  for (int s = HIST_REQUESTS; s < HIST_SERIES_COUNT; ++s) hist_feed(&g_series[s], counts[s - 1]);
}

void hist_timer_tick(void*) {
  if (server_shutdown) return;
  const uint64_t counts[HIST_SERIES_COUNT - 1] = {
      server_counters.requests.exchange(0), server_counters.commits.exchange(0),
      server_counters.reads.exchange(0), server_counters.writes.exchange(0),
      server_counters.syncs.exchange(0)};
  hist_sample(hist_take_idle_us(platform::monotonic_ns()), counts);
}

void hist_open(int series) {
  ZENT_ASSERT(!g_reading);
  g_reading = true;
  g_pos = 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_snapshot_valid = g_setup && series >= 0 && series < HIST_SERIES_COUNT;
  if (g_snapshot_valid) g_snapshot = g_series[series];
}

int hist_next(uint32_t* value) {
  if (!g_snapshot_valid) return 1;
  const HistFifo& h = g_snapshot;
  if (g_pos == 0) {
    *value = h.minute_seconds ? static_cast<uint32_t>(h.accumulator / h.minute_seconds) : 0;
  } else if (g_pos <= h.minute_count) {
    *value = h.minutes[g_pos - 1];
  } else {
    return 1;
  }
  ++g_pos;
  return 0;
}

void hist_rewind() { g_pos = 0; }

void hist_close() {
  g_reading = false;
  g_snapshot_valid = false;
}

int hist_get(int series, HistFifo* out) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_setup || series < 0 || series >= HIST_SERIES_COUNT) return -1;
  *out = g_series[series];
  return 0;
}
