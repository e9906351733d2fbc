// vtimer.h - the server's virtual timers and the timer thread that fires
// them.
//
// A fixed pool of entries holds one-shot and periodic timers on one list
// ordered by expiry, in 64-bit monotonic milliseconds. One mutex guards the
// pool; callbacks run on the timer thread with it released, so a callback may
// add or cancel timers. Callbacks must not touch the task kernel: they set
// flags, post work to the server thread and call notify_event.
#pragma once
#include <atomic>
#include <cstdint>

using VTimerCallback = void (*)(void* arg);

// Shorter timers are lengthened to this.
inline constexpr int VTIMER_MIN_MS = 100;
// Most entries a pool may hold.
inline constexpr int VTIMER_MAX_ENTRIES = 4096;

// Sets up a pool of count entries and enables firing. 0, or -1 when already
// set up, count is outside 1..VTIMER_MAX_ENTRIES, or memory ran out.
int vtimer_init(int count);

// Adds a timer that expires ms from now (at least VTIMER_MIN_MS), again
// every ms when periodic. fired (may be null) is cleared now and set just
// before each run of callback. Among timers with equal expiry the one added
// last fires first. Returns a timer id (>= 0), or -1 when the pool is not set
// up or full.
int vtimer_add(int ms, int periodic, std::atomic<int>* fired, VTimerCallback callback,
               void* arg);

// Removes the timer id; -1 when it is not pending (fired one-shot, cancelled
// or unknown). A callback already running is not waited for.
int vtimer_cancel(int id);

// Stops firing for good; pending timers stay but never run.
void vtimer_stop();
// Stops and frees the pool; vtimer_init may then run again.
void vtimer_exit();

// Runs every timer that is due, in expiry order: the timer thread's handler.
void vtimer_handler();

// Starts the timer thread; 0 or an errno value.
int bg_timer_thread_start();
// Stops and joins the timer thread; safe when it is not running.
void bg_timer_thread_stop();

// Replaces the clock the timers read (tests); none restores the monotonic
// millisecond clock.
void vtimer_set_clock(uint64_t (*now_ms)());
