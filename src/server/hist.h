// hist.h - the server's statistics history: six series (load, requests,
// committed transactions, disk reads, disk writes, syncs), each fed one
// sample every 10 seconds, keeping the current minute, nine finished minutes,
// the highest per-second rate and the running sum.
//
// The timer thread feeds the history; the status pages read it from the
// server thread through a snapshot, so a reader never holds the history's
// lock while it writes its page. Sums are 64-bit.
#pragma once
#include <cstdint>

enum HistSeries {
  HIST_LOAD = 0,   // percent of the server thread not spent idle
  HIST_REQUESTS,
  HIST_COMMITS,
  HIST_READS,
  HIST_WRITES,
  HIST_SYNCS,
  HIST_SERIES_COUNT
};

inline constexpr int HIST_MINUTES = 9;
inline constexpr int HIST_INTERVAL_SEC = 10;

// One series. A sample is the count of one 10-second interval (for the load
// series: the interval's load percent times 10, so that every series reads
// as a per-second figure the same way).
struct HistFifo {
  uint32_t highest;                 // highest per-second rate of one interval
  uint64_t seconds;                 // seconds counted (0 before the first sample)
  uint64_t sum;                     // sum of all samples
  uint64_t accumulator;             // samples of the current minute
  uint32_t minutes[HIST_MINUTES];   // per-second averages, newest first
  uint16_t minute_count;            // finished minutes kept (at most 9)
  uint16_t minute_seconds;          // seconds in the current minute
};

// Feeds one interval's sample into h.
void hist_feed(HistFifo* h, uint64_t sample);
// Load percent of an interval of interval_sec seconds in which the idle task
// waited idle_us microseconds: 100 - idle percent, at least 1.
uint32_t hist_load_percent(uint64_t idle_us, uint32_t interval_sec);

// Sets the history up and adds its 10-second timer (the timer pool must be
// set up). 0; a timer that cannot be added is an assertion.
int hist_setup();
// Forgets the history; a later hist_setup starts afresh.
void hist_cleanup();

// The idle task around its wait on the sync semaphore (monotonic ns). A
// wait still under way when an interval ends counts in that interval up to
// its end, so that a long sleep of an idle server does not land whole in
// the interval in which it happens to end.
void hist_idle_begin(uint64_t now_ns);
void hist_idle_end(uint64_t now_ns);
// Takes the idle time of the interval ending at now_ns and starts the next.
uint64_t hist_take_idle_us(uint64_t now_ns);
// One 10-second step from the given idle time and counts (requests,
// commits, reads, writes, syncs). The timer callback passes what it took
// from the counters; tests pass their own.
void hist_sample(uint64_t idle_us, const uint64_t counts[HIST_SERIES_COUNT - 1]);
// The timer callback: takes the idle time and the counters, resetting them,
// and samples; does nothing once the server is shutting down.
void hist_timer_tick(void* unused);

// Readers (server thread, one at a time). hist_open takes a snapshot of the
// series; hist_next yields the current minute's average first, then the
// finished minutes newest first: 0 with a value, 1 after the last (at once
// when the history is not set up).
void hist_open(int series);
int hist_next(uint32_t* value);
void hist_rewind();
void hist_close();
// A copy of a whole series for the status pages; -1 when not set up.
int hist_get(int series, HistFifo* out);
