// Task kernel costs: task switches through a semaphore hand-off with a
// small and a full table (the scheduler scans the whole table per switch),
// an uncontended down/up pair, and how long an exclusive taker of the API
// lock waits while 1,000 tasks hold and re-take shared units.
//
// Each benchmark runs its timing loop inside a task, so the kernel runs
// exactly as in the server: one thread, fibers, no other threads.
#include <benchmark/benchmark.h>

#include "base/task_kernel.h"
#include "platform/fiber.h"

namespace {

benchmark::State* g_state;
Semaphore g_sem;
bool g_done;

void run_kernel(benchmark::State& state, int table, void (*driver)()) {
  g_state = &state;
  g_done = false;
  g_sem = {};
  if (thread_init(table) != 0 || thread_create(driver, 5) == nullptr) {
    state.SkipWithError("kernel set-up failed");
    return;
  }
}

// Both tasks take the one unit in turn; every hand-off is a sleep, a
// wake-up and a switch.
void ping_pong_step() {
  down(&g_sem, __FILE__, __LINE__);
  thread_yield();
  up(&g_sem);
  thread_yield();
}

void ping_pong_driver() {
  const uint64_t before = thread_stats().switches;
  for (auto _ : *g_state) ping_pong_step();
  const uint64_t switches = thread_stats().switches - before;
  g_state->counters["switches/s"] =
      benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
  g_state->counters["switches/iter"] =
      benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kAvgIterations);
  g_done = true;
  thread_stop();
}

void BM_SemaphorePingPong(benchmark::State& state) {
  run_kernel(state, static_cast<int>(state.range(0)), ping_pong_driver);
  g_sem.count = 1;
  thread_create(+[] {
    while (!g_done) ping_pong_step();
  }, 5);
  thread_run();
}
BENCHMARK(BM_SemaphorePingPong)->Arg(46)->Arg(1024);

// The bare fiber switch under the scheduler: two fibers, no kernel.
platform::Fiber* g_main_fiber;
platform::Fiber* g_other_fiber;

void BM_FiberSwitchPair(benchmark::State& state) {
  g_main_fiber = platform::fiber_convert_thread();
  g_other_fiber = platform::fiber_create(0, +[](void*) {
    for (;;) platform::fiber_switch(g_main_fiber);
  }, nullptr);
  for (auto _ : state) platform::fiber_switch(g_other_fiber);  // there and back
  platform::fiber_delete(g_other_fiber);
}
BENCHMARK(BM_FiberSwitchPair);

void BM_UncontendedDownUp(benchmark::State& state) {
  run_kernel(state, 46, +[] {
    for (auto _ : *g_state) {
      down(&g_sem, __FILE__, __LINE__);
      up(&g_sem);
    }
    thread_stop();
  });
  g_sem.count = 10000;
  thread_run();
}
BENCHMARK(BM_UncontendedDownUp);

constexpr int kSharedHolders = 1000;
constexpr int kLockUnits = 10000;

void BM_ExclusiveTakerAmongSharedHolders(benchmark::State& state) {
  run_kernel(state, 1024, +[] {
    thread_yield();  // let every holder take its unit
    const uint64_t before = thread_stats().switches;
    for (auto _ : *g_state) {
      if (down_count(&g_sem, kLockUnits, __FILE__, __LINE__) != 0) {
        g_state->SkipWithError("exclusive down failed");
        break;
      }
      up_count(&g_sem, kLockUnits);
      thread_yield();  // holders take their units again
    }
    g_state->counters["switches/iter"] = benchmark::Counter(
        static_cast<double>(thread_stats().switches - before), benchmark::Counter::kAvgIterations);
    thread_stop();
  });
  g_sem.count = kLockUnits;
  for (int i = 0; i < kSharedHolders; ++i)
    thread_create(+[] {
      for (;;) {
        down(&g_sem, __FILE__, __LINE__);
        thread_yield();
        up(&g_sem);
      }
    }, 5);
  thread_run();
}
BENCHMARK(BM_ExclusiveTakerAmongSharedHolders)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
