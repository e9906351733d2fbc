// Task kernel: scheduling order, sleeping and waking, semaphores, the
// deadlock walk, freeing tasks that sleep, and wake-ups posted by other
// threads. Most tests record the order in which task ids run.
#include "base/task_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "platform/os_semaphore.h"
#include "support/log_capture.h"

namespace {

std::vector<int> g_trace;
void rec() { g_trace.push_back(thread_id(thread_self())); }
void rec(int mark) { g_trace.push_back(mark); }

// A task that ends the run once no task of a lower priority value can run.
void stopper() { thread_stop(); }

class Kernel : public ::testing::Test {
 protected:
  void SetUp() override {
    g_trace.clear();
    ASSERT_TRUE(log_.ok());
    ASSERT_EQ(thread_init(16), 0);
  }

  std::string log_text() { return log_.text(); }

  static void run_with_stopper() {
    ASSERT_NE(thread_create(stopper, 99), nullptr);
    ASSERT_EQ(thread_run(), 0);
    EXPECT_EQ(thread_self(), nullptr);
  }

  testsupport::LogCapture log_{""};
};

// --- Set-up ------------------------------------------------------------------

TEST_F(Kernel, TableSizeMustBeOneToFullTable) {
  EXPECT_EQ(thread_init(0), -1);
  EXPECT_EQ(thread_init(1025), -1);
  EXPECT_EQ(thread_init(-3), -1);
  EXPECT_EQ(thread_init(1024), 0);
  EXPECT_NE(thread_by_id(1024), nullptr);
  EXPECT_EQ(thread_by_id(1025), nullptr);
  EXPECT_EQ(thread_by_id(0), nullptr);
  EXPECT_EQ(thread_init(1), 0);
  EXPECT_EQ(thread_by_id(2), nullptr);
}

TEST_F(Kernel, CreateRefusesPrioritiesOutsideOneToNinetyNine) {
  auto body = +[] {};
  EXPECT_EQ(thread_create(body, 0), nullptr);
  EXPECT_EQ(thread_create(body, 100), nullptr);
  EXPECT_EQ(thread_create(body, -5), nullptr);
  Task* low = thread_create(body, 1);
  Task* high = thread_create(body, 99);
  ASSERT_NE(low, nullptr);
  ASSERT_NE(high, nullptr);
  EXPECT_EQ(thread_id(low), 1);
  EXPECT_EQ(thread_id(high), 2);
  EXPECT_EQ(thread_set_priority(low, 100), -1);
  EXPECT_EQ(thread_set_priority(low, 0), -1);
  EXPECT_EQ(thread_set_priority(low, 50), 0);
}

TEST_F(Kernel, FullTableRefusesCreation) {
  ASSERT_EQ(thread_init(3), 0);
  auto body = +[] {};
  for (int i = 0; i < 3; ++i) ASSERT_NE(thread_create(body, 5), nullptr);
  EXPECT_EQ(thread_create(body, 5), nullptr);
  EXPECT_NE(log_text().find("thread_create: Maximum number of threads already active."),
            std::string::npos);
}

TEST_F(Kernel, RunningKernelRefusesNewTableAndSecondRun) {
  static int init_result, run_result;
  thread_create(+[] {
    init_result = thread_init(4);
    run_result = thread_run();
  }, 5);
  run_with_stopper();
  EXPECT_EQ(init_result, -1);
  EXPECT_EQ(run_result, -1);
}

// --- Scheduling order -------------------------------------------------------

TEST_F(Kernel, EqualPrioritiesAlternateAndIdleRunsOnlyWhenNeitherCan) {
  auto worker = +[] {
    for (int i = 0; i < 3; ++i) {
      rec();
      thread_yield();
    }
  };
  thread_create(worker, 5);
  thread_create(worker, 5);
  thread_create(+[] {
    rec();
    thread_stop();
  }, 10);
  ASSERT_EQ(thread_run(), 0);
  EXPECT_EQ(g_trace, (std::vector<int>{1, 2, 1, 2, 1, 2, 3}));
}

TEST_F(Kernel, LowerValueRunsFirstAndRoundRobinStartsAfterCurrent) {
  auto worker = +[] {
    rec();
    thread_yield();
    rec();
  };
  thread_create(worker, 7);  // 1
  thread_create(worker, 5);  // 2
  thread_create(worker, 5);  // 3
  thread_create(worker, 6);  // 4
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{2, 3, 2, 3, 4, 4, 1, 1}));
}

TEST_F(Kernel, BlockedTaskWaitsForUnblock) {
  static Task* sleeper;
  sleeper = thread_create(+[] {
    rec(1);
    thread_block(thread_self());
    thread_yield();
    rec(2);
  }, 5);
  thread_create(+[] {
    rec(10);
    thread_yield();  // the sleeper blocks meanwhile
    EXPECT_EQ(thread_state(sleeper), TS_BLOCKED);
    EXPECT_EQ(thread_wchan(sleeper), nullptr);
    rec(11);
    thread_unblock(sleeper);
    thread_yield();
    rec(12);
  }, 5);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 10, 11, 2, 12}));
}

TEST_F(Kernel, TaskThatDestroysItselfEndsAtOnce) {
  thread_create(+[] {
    rec(1);
    thread_destroy(thread_self());
    rec(2);  // never reached
  }, 5);
  thread_create(+[] { rec(3); }, 6);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 3}));
  EXPECT_EQ(thread_state(thread_by_id(1)), TS_FREE);
}

TEST_F(Kernel, EndedTaskSlotIsReused) {
  thread_create(+[] { rec(1); }, 5);
  thread_create(+[] {
    thread_yield();  // task 1 has ended by now
    Task* t = thread_create(+[] { rec(3); }, 5);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(thread_id(t), 1);
  }, 5);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 3}));
}

// Scheduler model: tasks change their own and each other's priorities,
// block and unblock each other, end and start new tasks at random; at every
// switch the task that runs must be the one the rule picks from the task
// records (lowest priority value among runnable tasks, first after the task
// that gave up the processor), and the pass's statistics must match.
namespace sched_model {

constexpr int kSlots = 12;
constexpr int kPicks = 400;
unsigned g_rand;
int g_picks;
Task* g_expected;
ThreadStats g_expected_stats;
int g_mismatches;

unsigned next_rand() {
  g_rand = g_rand * 1103515245u + 12345u;
  return g_rand >> 16;
}

bool runnable(const Task* t) { return thread_state(t) == TS_RUNNING; }

// The pick of a pass that starts after slot `after` (0: from the first
// slot), with `ending` already freed.
Task* reference_pick(int after, const Task* ending) {
  auto runs = [ending](const Task* t) { return t != ending && runnable(t); };
  int best = 100;
  for (int id = 1; id <= kSlots; ++id)
    if (runs(thread_by_id(id))) best = std::min(best, thread_by_id(id)->priority);
  for (int k = 0; k < kSlots; ++k) {
    Task* t = thread_by_id((after + k) % kSlots + 1);
    if (runs(t) && t->priority == best) return t;
  }
  return nullptr;
}

void expect_pass(int after, const Task* ending = nullptr) {
  g_expected = reference_pick(after, ending);
  g_expected_stats = {};
  for (int id = 1; id <= kSlots; ++id) {
    const Task* t = thread_by_id(id);
    if (t == ending || !runnable(t)) continue;
    ++g_expected_stats.runnable;
    if (id > 1) ++g_expected_stats.load;  // the idle task is the only system task
  }
}

void check_resumed() {
  const ThreadStats got = thread_stats();
  if (thread_self() != g_expected || got.runnable != g_expected_stats.runnable ||
      got.load != g_expected_stats.load || got.not_runnable != kSlots - got.runnable)
    ++g_mismatches;
  ++g_picks;
}

void yield_checked() {
  expect_pass(thread_id(thread_self()));
  thread_yield();
  check_resumed();
}

Task* random_live_task() {
  Task* t = thread_by_id(static_cast<int>(next_rand() % kSlots) + 1);
  return thread_state(t) >= TS_RUNNING ? t : nullptr;
}

void worker();

void start_worker() {
  if (Task* t = thread_create(worker, 3 + static_cast<int>(next_rand() % 4)))
    thread_set_name(t, "worker");
}

void worker() {
  check_resumed();
  for (bool ends = false; !ends && g_picks < kPicks;) {
    Task* other = random_live_task();
    const bool other_worker = other != nullptr && other != thread_by_id(1);
    switch (next_rand() % 8) {
      case 0:
        thread_set_priority(thread_self(), 3 + static_cast<int>(next_rand() % 4));
        break;
      case 1:  // also a blocked task: the change shows once it runs again
        if (other_worker) thread_set_priority(other, 3 + static_cast<int>(next_rand() % 4));
        break;
      case 2:
        if (other_worker) thread_block(other);
        break;
      case 3:
        if (other != nullptr) thread_unblock(other);
        break;
      case 4:
        thread_block(thread_self());
        break;
      case 5:
        start_worker();
        break;
      case 6:
        ends = true;
        continue;
      default:
        break;
    }
    yield_checked();
  }
  // The pass after a task ended starts at the first slot.
  expect_pass(0, thread_self());
}

void idle() {
  check_resumed();
  while (g_picks < kPicks) {
    Task* other = random_live_task();
    if (other != nullptr) thread_unblock(other);
    if (next_rand() % 3 == 0) start_worker();
    yield_checked();
  }
  thread_stop();
}

}  // namespace sched_model

TEST_F(Kernel, SchedulerPicksWhatTheRuleGivesFromTheTaskRecords) {
  using namespace sched_model;
  for (unsigned seed = 1; seed <= 30; ++seed) {
    ASSERT_EQ(thread_init(kSlots), 0);
    g_rand = seed;
    g_picks = 0;
    g_mismatches = 0;
    ASSERT_NE(thread_create(idle, 10), nullptr);
    thread_system_tasks_done();
    for (int i = 0; i < 4; ++i) start_worker();
    expect_pass(0);
    ASSERT_EQ(thread_run(), 0);
    EXPECT_EQ(g_mismatches, 0) << "seed " << seed;
    EXPECT_GE(g_picks, kPicks);
  }
}

// --- Sleeping, waking and time-outs -----------------------------------------

WaitQueue g_queue;
int g_result;
// Queues and results of tasks 1..3, indexed by task id.
WaitQueue g_q[4];
int g_res[4];

// A task of priority 5 that sleeps on g_queue and leaves its result in
// g_result.
Task* create_queue_sleeper() {
  g_queue = {};
  g_result = 99;
  return thread_create(
      +[] { g_result = sleep_on(&g_queue, WAIT_MAY_BE_CUT, __FILE__, __LINE__); }, 5);
}

TEST_F(Kernel, TimeOutAbortsSleepWithValueOrMinusOne) {
  struct Case {
    int value;
    int expected;
  };
  for (const Case c : {Case{0, -1}, Case{7, 7}, Case{-2, -2}}) {
    ASSERT_EQ(thread_init(8), 0);
    static int value;
    value = c.value;
    static Task* sleeper;
    sleeper = create_queue_sleeper();
    thread_create(+[] { thread_timeout(sleeper, value); }, 6);
    run_with_stopper();
    EXPECT_EQ(g_result, c.expected) << "value " << c.value;
    EXPECT_EQ(g_queue.head, nullptr);
  }
}

TEST_F(Kernel, TimeOutOfTaskWokenMeanwhileDoesNothing) {
  static Task* sleeper;
  sleeper = create_queue_sleeper();
  thread_create(+[] {
    wake_up(&g_queue);
    thread_timeout(sleeper, 5);  // woken but not yet run
    thread_timeout(thread_self(), 5);  // not asleep at all
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_result, 0);
}

// A page or I/O wait is never cut: time-outs, posted or not, leave it, and
// only its wake-up ends it. A cut made meanwhile is kept and ends the task's
// next wait that may be cut, without that wait sleeping; a dropped cut ends
// nothing.
TEST_F(Kernel, AWaitThatMayNotBeCutRunsToItsEndAndTheCutWaitsForTheNextOne) {
  g_queue = {};
  static WaitQueue later;
  later = {};
  static Semaphore none_free;
  none_free = {};
  static std::vector<int> results;
  results.clear();
  static Task* sleeper;
  sleeper = thread_create(+[] {
    results.push_back(sleep_on(&g_queue, WAIT_NEVER_CUT, __FILE__, __LINE__));
    results.push_back(sleep_on(&later, WAIT_MAY_BE_CUT, __FILE__, __LINE__));  // kept cut
    results.push_back(sleep_on(&g_queue, WAIT_NEVER_CUT, __FILE__, __LINE__));
    thread_drop_cut(thread_self());
    results.push_back(down(&none_free, __FILE__, __LINE__));  // sleeps, is cut
  }, 5);
  thread_create(+[] {
    EXPECT_EQ(thread_timeout(sleeper, 7), -1);
    thread_post_timeout(sleeper, 7);
    thread_yield();  // the posted time-out runs, and leaves it asleep
    EXPECT_EQ(thread_wchan(sleeper), &g_queue);
    EXPECT_EQ(thread_cut(sleeper, 8), 1);
    EXPECT_EQ(thread_wchan(sleeper), &g_queue);
    wake_up(&g_queue);
    thread_yield();  // the next wait ends at once, the page wait after it sleeps
    EXPECT_EQ(results, (std::vector<int>{0, 8}));
    EXPECT_EQ(thread_wchan(sleeper), &g_queue);
    EXPECT_EQ(thread_cut(sleeper, 0), 1);
    wake_up(&g_queue);
    thread_yield();  // the cut was dropped: the down sleeps
    EXPECT_EQ(results, (std::vector<int>{0, 8, 0}));
    EXPECT_EQ(thread_wchan(sleeper), &none_free.wait);
    EXPECT_EQ(thread_cut(sleeper, 9), 0);
    thread_yield();
    EXPECT_EQ(none_free.count, 0);
  }, 6);
  run_with_stopper();
  EXPECT_EQ(results, (std::vector<int>{0, 8, 0, -1}));
}

TEST_F(Kernel, WakeUpWakesEverySleeperOfTheQueueOnly) {
  static WaitQueue other;
  g_queue = {};
  other = {};
  auto on_queue = +[] {
    rec();
    sleep_on(&g_queue, WAIT_MAY_BE_CUT, __FILE__, __LINE__);
    rec();
  };
  thread_create(on_queue, 5);
  thread_create(on_queue, 5);
  thread_create(+[] {
    rec();
    sleep_on(&other, WAIT_MAY_BE_CUT, __FILE__, __LINE__);
    rec();
  }, 5);
  thread_create(+[] {
    wake_up(&g_queue);
    thread_yield();
    wake_up(&other);
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 2, 3, 1, 2, 3}));
}

TEST_F(Kernel, FreeingWokenTaskUnlinksItsEntry) {
  static Task* sleeper;
  sleeper = create_queue_sleeper();
  thread_create(+[] {
    ASSERT_NE(g_queue.head, nullptr);
    wake_up(&g_queue);    // the entry stays until the sleeper runs...
    thread_destroy(sleeper);  // ...which it never does
    EXPECT_EQ(g_queue.head, nullptr);
    thread_yield();  // the scheduler deletes the fiber and its stack
    wake_up(&g_queue);
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_queue.head, nullptr);
}

TEST_F(Kernel, FreeingSleepingTaskRunsCleanupCancelledAndUnlinks) {
  g_queue = {};
  static int cleanup_state;
  static int cleanup_calls;
  cleanup_state = -1;
  cleanup_calls = 0;
  static Task* sleeper;
  sleeper = thread_create(+[] {
    thread_set_cleanup(thread_self(), +[](Task* t) {
      cleanup_state = thread_state(t);
      ++cleanup_calls;
      EXPECT_STREQ(thread_get_name(t), "victim");  // name still readable
    });
    thread_set_name(thread_self(), "victim");
    sleep_on(&g_queue, WAIT_MAY_BE_CUT, __FILE__, __LINE__);
  }, 5);
  thread_create(+[] {
    thread_yield();
    thread_destroy(sleeper);
  }, 6);
  run_with_stopper();
  EXPECT_EQ(cleanup_calls, 1);
  EXPECT_EQ(cleanup_state, TS_CANCELLED);
  EXPECT_EQ(thread_state(sleeper), TS_FREE);
  EXPECT_EQ(g_queue.head, nullptr);
}

TEST_F(Kernel, CleanupSeesCancelledWhenTaskReturns) {
  static int cleanup_state;
  cleanup_state = -1;
  thread_create(+[] {
    thread_set_cleanup(thread_self(), +[](Task* t) { cleanup_state = thread_state(t); });
  }, 5);
  run_with_stopper();
  EXPECT_EQ(cleanup_state, TS_CANCELLED);
}

TEST_F(Kernel, FreeingTaskClearsLinksThatNameIt) {
  g_queue = {};
  static Task* holder;
  static Task* waiter;
  holder = thread_create(+[] {
    thread_block(thread_self());
    thread_yield();
  }, 5);
  waiter = thread_create(+[] { g_result = sleep_on_task(&g_queue, holder, nullptr, __FILE__, __LINE__); }, 5);
  thread_create(+[] {
    thread_yield();
    EXPECT_EQ(waiter->waiting_for, holder);
    thread_destroy(holder);
    EXPECT_EQ(waiter->waiting_for, nullptr);
    wake_up(&g_queue);
  }, 6);
  g_result = 99;
  run_with_stopper();
  EXPECT_EQ(g_result, 0);
}

TEST_F(Kernel, DataIsOwnedFreedWhenReplacedAndWhenSlotIsReused) {
  static int freed;
  freed = 0;
  auto count_free = +[](void* p) {
    ++freed;
    delete static_cast<int*>(p);
  };
  Task* t = thread_create(+[] {}, 5);
  int* first = new int(1);
  thread_set_data(t, first, count_free);
  EXPECT_EQ(thread_find_by_data(first), t);
  thread_set_data(t, first, count_free);  // same pointer: kept
  EXPECT_EQ(freed, 0);
  thread_set_data(t, new int(2), count_free);
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(thread_find_by_data(first), nullptr);
  run_with_stopper();  // the task ends; its data stays until the slot is reused
  EXPECT_EQ(freed, 1);
  Task* again = thread_create(+[] {}, 5);
  EXPECT_EQ(again, t);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(thread_get_data(again), nullptr);
  EXPECT_STREQ(thread_get_name(again), "");
}

TEST_F(Kernel, WaitQueueEntriesLeaveFromAnyPosition) {
  Task* t = thread_create(+[] {}, 5);
  WaitQueue q;
  WaitEntry a{t, nullptr, nullptr}, b{t, nullptr, nullptr}, c{t, nullptr, nullptr};
  add_wait_queue(&q, &a);
  add_wait_queue(&q, &b);
  add_wait_queue(&q, &c);  // c, b, a
  remove_wait_queue(&q, &b);
  EXPECT_EQ(q.head, &c);
  EXPECT_EQ(c.next, &a);
  remove_wait_queue(&q, &c);
  EXPECT_EQ(q.head, &a);
  remove_wait_queue(&q, &a);
  EXPECT_EQ(q.head, nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(remove_wait_queue(&q, &a), "Oops, entry not in wait list");
}

// --- Semaphores ------------------------------------------------------------------

Semaphore g_sem;

TEST_F(Kernel, TimedOutDownReturnsMinusOneAndLeavesCountUnchanged) {
  g_sem = {};
  g_sem.count = 1;
  static Task* holder;
  static Task* waiter;
  holder = thread_create(+[] {
    EXPECT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    EXPECT_EQ(g_sem.owner, thread_self());
    thread_block(thread_self());
    thread_yield();
    up(&g_sem);
  }, 5);
  waiter = thread_create(+[] { g_result = down(&g_sem, __FILE__, __LINE__); }, 5);
  thread_create(+[] {
    EXPECT_EQ(thread_wchan(waiter), &g_sem.wait);
    thread_timeout(waiter, 0);
    thread_yield();  // the waiter gives up
    EXPECT_EQ(g_result, -1);
    EXPECT_EQ(g_sem.count, 0);
    thread_unblock(holder);
  }, 6);
  g_result = 99;
  run_with_stopper();
  EXPECT_EQ(g_result, -1);
  EXPECT_EQ(g_sem.count, 1);
  EXPECT_EQ(g_sem.owner, nullptr);
  EXPECT_EQ(g_sem.wait.head, nullptr);
}

TEST_F(Kernel, ExclusiveOwnerTakesOneMoreUnitAndOnlyFinalUpWakesWaiters) {
  g_sem = {};
  g_sem.count = 10000;
  thread_create(+[] {
    rec(1);
    ASSERT_EQ(down_count(&g_sem, 10000, __FILE__, __LINE__), 0);
    EXPECT_EQ(g_sem.count, 0);
    EXPECT_EQ(g_sem.owner, thread_self());
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);  // the owner passes
    EXPECT_EQ(g_sem.count, -1);
    thread_yield();  // a shared taker sleeps
    rec(2);
    up(&g_sem);
    EXPECT_EQ(g_sem.count, 0);
    EXPECT_EQ(g_sem.owner, thread_self());
    thread_yield();  // nobody is woken at count 0
    rec(3);
    up_count(&g_sem, 10000);
    EXPECT_EQ(g_sem.owner, nullptr);
    thread_yield();
    rec(4);
  }, 5);
  thread_create(+[] {
    rec(10);
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(11);
    up(&g_sem);
  }, 5);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 10, 2, 3, 11, 4}));
  EXPECT_EQ(g_sem.count, 10000);
}

// Shared holders that give their unit back and take it again at once keep
// the count below the total for ever; the exclusive taker still gets it.
TEST_F(Kernel, ExclusiveTakerIsNotStarvedByReTakingSharedHolders) {
  g_sem = {};
  g_sem.count = 10000;
  static int rounds_done;
  static int rounds_when_exclusive;
  rounds_done = 0;
  rounds_when_exclusive = -1;
  auto shared = +[] {
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    for (int i = 0; i < 20; ++i) {
      thread_yield();
      up(&g_sem);
      ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
      ++rounds_done;
    }
    up(&g_sem);
  };
  for (int i = 0; i < 4; ++i) thread_create(shared, 5);
  thread_create(+[] {
    thread_yield();
    ASSERT_EQ(down_count(&g_sem, 10000, __FILE__, __LINE__), 0);
    rounds_when_exclusive = rounds_done;
    EXPECT_EQ(g_sem.count, 0);
    up_count(&g_sem, 10000);
  }, 5);
  run_with_stopper();
  // Each holder finishes at most the round it was in when the taker queued.
  EXPECT_GE(rounds_when_exclusive, 0);
  EXPECT_LE(rounds_when_exclusive, 8);
  EXPECT_EQ(rounds_done, 80);
  EXPECT_EQ(g_sem.count, 10000);
  EXPECT_EQ(g_sem.big_waiters, 0);
}

TEST_F(Kernel, HolderOfAUnitTakesAnotherWhileExclusiveTakerWaits) {
  g_sem = {};
  g_sem.count = 100;
  thread_create(+[] {
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(1);
    thread_yield();  // the exclusive taker queues
    EXPECT_EQ(g_sem.big_waiters, 1);
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);  // would deadlock if parked
    rec(2);
    up(&g_sem);
    up(&g_sem);
  }, 5);
  thread_create(+[] {
    rec(10);
    ASSERT_EQ(down_count(&g_sem, 100, __FILE__, __LINE__), 0);
    rec(11);
    up_count(&g_sem, 100);
  }, 5);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 10, 2, 11}));
}

// A request that holds a shared unit and waits for another session's task
// (its open transaction) must not be stuck behind the exclusive taker with
// that task: the exclusive taker waits for the unit, the unit's holder for
// the task, and the task would wait for the exclusive taker.
TEST_F(Kernel, TaskAwaitedByAShareHolderIsNotHeldBackByAWaitingExclusiveTaker) {
  g_sem = {};
  g_sem.count = 10;
  for (WaitQueue& q : g_q) q = {};
  thread_create(+[] {  // 1: holds a unit, then waits for task 2
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(1);
    EXPECT_EQ(sleep_on_task(&g_q[1], thread_by_id(2), nullptr, __FILE__, __LINE__), 0);
    rec(2);
    up(&g_sem);
  }, 5);
  thread_create(+[] {  // 2: idle between its requests until unblocked
    thread_block(thread_self());
    thread_yield();
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(20);
    wake_up(&g_q[1]);  // its transaction ends
    up(&g_sem);
  }, 5);
  thread_create(+[] {  // 3: the exclusive taker, queued behind task 1's unit
    ASSERT_EQ(down_count(&g_sem, 10, __FILE__, __LINE__), 0);
    rec(30);
    up_count(&g_sem, 10);
  }, 5);
  thread_create(+[] {
    EXPECT_EQ(g_sem.big_waiters, 1);
    thread_unblock(thread_by_id(2));
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 20, 2, 30}));
  EXPECT_EQ(g_sem.count, 10);
  EXPECT_EQ(g_sem.big_waiters, 0);
}

// The same for a one-unit taker that went to sleep while the count was 0
// and was held back when units came back.
TEST_F(Kernel, HolderAwaitingATaskLetsThroughATakerThatSleptAtCountZero) {
  g_sem = {};
  g_sem.count = 10;
  for (WaitQueue& q : g_q) q = {};
  thread_create(+[] {  // 1: exclusive holder that gives a unit back, then awaits task 4
    ASSERT_EQ(down_count(&g_sem, 10, __FILE__, __LINE__), 0);
    rec(1);
    thread_yield();  // tasks 2 and 3 go to sleep
    up(&g_sem);      // count 1: task 2 stays behind task 3
    EXPECT_EQ(thread_state(thread_by_id(2)), TS_BLOCKED);
    sleep_on_task(&g_q[1], thread_by_id(4), nullptr, __FILE__, __LINE__);
    rec(2);
    up_count(&g_sem, 9);
  }, 5);
  thread_create(+[] {  // 2
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(20);
    up(&g_sem);
  }, 5);
  thread_create(+[] {  // 3
    ASSERT_EQ(down_count(&g_sem, 10, __FILE__, __LINE__), 0);
    rec(30);
    up_count(&g_sem, 10);
  }, 5);
  thread_create(+[] { wake_up(&g_q[1]); }, 6);  // 4
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{1, 20, 2, 30}));
  EXPECT_EQ(g_sem.count, 10);
}

// The rule the two tests above rely on: a holder of units that waits for
// another task does so through sleep_on_task. Waiting with a plain sleep
// hides the holder from the gate, and with nine of ten units held and the
// exclusive taker queued nothing could run; test builds stop at the sleep.
TEST_F(Kernel, AUnitHolderWaitingForATaskOutsideSleepOnTaskIsCaughtAtTheSleep) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked in test builds only";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        g_sem = {};
        g_sem.count = 10;
        for (WaitQueue& q : g_q) q = {};
        for (int i = 0; i < 8; ++i)  // eight requests hold a unit each
          thread_create(+[] {
            down(&g_sem, __FILE__, __LINE__);
            thread_block(thread_self());
            thread_yield();
          }, 5);
        thread_create(+[] {  // the ninth waits for task 11 the wrong way
          ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
          thread_yield();  // the exclusive taker queues
          sleep_on(&g_q[1], WAIT_MAY_BE_CUT, __FILE__, __LINE__);
        }, 5);
        thread_create(+[] { down_count(&g_sem, 10, __FILE__, __LINE__); }, 5);
        thread_create(+[] {  // 11: needs a fresh unit to end its work
          thread_yield();
          down(&g_sem, __FILE__, __LINE__);
          wake_up(&g_q[1]);
          up(&g_sem);
        }, 5);
        thread_create(stopper, 99);
        thread_run();
      },
      "a holder of semaphore units waits for a task only in sleep_on_task");
}

TEST_F(Kernel, AbortedExclusiveTakerReleasesParkedSharedTakers) {
  g_sem = {};
  g_sem.count = 10;
  static Task* exclusive;
  thread_create(+[] {  // 1: holds a unit throughout
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    thread_block(thread_self());
    thread_yield();
    up(&g_sem);
  }, 5);
  exclusive = thread_create(+[] {  // 2
    rec(20);
    g_result = down_count(&g_sem, 10, __FILE__, __LINE__);
    rec(21);
  }, 5);
  thread_create(+[] {  // 3: parked behind the exclusive taker
    rec(30);
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(31);
    up(&g_sem);
  }, 5);
  thread_create(+[] {  // 4
    EXPECT_EQ(thread_state(thread_by_id(3)), TS_BLOCKED);
    EXPECT_EQ(thread_wchan(thread_by_id(3)), &g_sem.parked);
    EXPECT_EQ(thread_wchan(exclusive), &g_sem.wait);
    thread_timeout(exclusive, 0);
    thread_yield();
    thread_unblock(thread_by_id(1));
  }, 6);
  g_result = 99;
  run_with_stopper();
  EXPECT_EQ(g_result, -1);
  EXPECT_EQ(g_trace, (std::vector<int>{20, 30, 21, 31}));
  EXPECT_EQ(g_sem.big_waiters, 0);
  EXPECT_EQ(g_sem.count, 10);
}

TEST_F(Kernel, FreeingExclusiveWaiterReleasesParkedSharedTakers) {
  g_sem = {};
  g_sem.count = 10;
  static Task* exclusive;
  thread_create(+[] {
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    thread_block(thread_self());
    thread_yield();
    up(&g_sem);
  }, 5);
  exclusive = thread_create(+[] { down_count(&g_sem, 10, __FILE__, __LINE__); }, 5);
  thread_create(+[] {
    ASSERT_EQ(down(&g_sem, __FILE__, __LINE__), 0);
    rec(31);
    up(&g_sem);
  }, 5);
  thread_create(+[] {
    thread_destroy(exclusive);
    thread_yield();
    thread_unblock(thread_by_id(1));
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{31}));
  EXPECT_EQ(g_sem.big_waiters, 0);
  EXPECT_EQ(g_sem.wait.head, nullptr);
  EXPECT_EQ(g_sem.parked.head, nullptr);
}

// Semaphore model: workers take one unit or all of them, give them back
// (the exclusive holder also passes one more down), pause, and wait for
// each other at random. A controller runs only when no worker can; it
// unblocks, wakes, times out or replaces one worker per turn and checks that
// the units add up, that only an exclusive holder owns the semaphore, and
// that no taker sleeps although the rules would let it take.
namespace sem_model {

constexpr int kWorkers = 5;  // ids 1..5
constexpr int kUnits = 8;    // more than all workers hold shared
constexpr int kSteps = 30;
unsigned g_rand;
WaitQueue g_awaits[kWorkers + 1];
struct Worker {
  int held;
  int demand;  // units asked for while in down_count
  int steps;
};
Worker g_w[kWorkers + 1];
int g_replacements;
int g_failures;
int g_parked_seen;     // one-unit takers found queued behind an exclusive one
int g_gate_open_seen;  // a holder awaited a task while an exclusive taker waited

unsigned next_rand() {
  g_rand = g_rand * 1103515245u + 12345u;
  return g_rand >> 16;
}

Worker& self_model() { return g_w[thread_id(thread_self())]; }

void take(int n) {
  Worker& w = self_model();
  w.demand = n;
  const int result = down_count(&g_sem, n, __FILE__, __LINE__);
  w.demand = 0;
  if (result == 0) w.held += n;
}

void give_back() {
  Worker& w = self_model();
  const int n = w.held > kUnits ? 1 : w.held;
  up_count(&g_sem, n);
  w.held -= n;
}

void await_another() {
  const int self = thread_id(thread_self());
  const int other = 1 + static_cast<int>(next_rand() % kWorkers);
  if (other == self || thread_state(thread_by_id(other)) < TS_RUNNING) return thread_yield();
  sleep_on_task(&g_awaits[self], thread_by_id(other), nullptr, __FILE__, __LINE__);
}

void worker() {
  while (self_model().steps-- > 0) {
    const int held = self_model().held;
    switch (next_rand() % 6) {
      case 0:
      case 1:
        if (held == 0)
          take(1);
        else
          give_back();
        break;
      case 2:
        if (held == 0)
          take(kUnits);
        else if (held == kUnits)
          take(1);  // the exclusive holder passes at once
        break;
      case 3:
        thread_yield();
        break;
      case 4:
        thread_block(thread_self());
        thread_yield();
        break;
      default:
        await_another();
        break;
    }
  }
  while (self_model().held > 0) give_back();
}

void fail(const char* what, int id) {
  ++g_failures;
  ADD_FAILURE() << what << " (task " << id << ")";
}

// Runs while every worker sleeps, is blocked or has ended.
void check() {
  int held = 0, big = 0;
  bool holder_awaits = false;
  for (int id = 1; id <= kWorkers; ++id) {
    Task* t = thread_by_id(id);
    if (thread_state(t) == TS_FREE) continue;
    held += g_w[id].held;
    const WaitQueue* q = thread_wchan(t);
    if (q == &g_sem.wait || q == &g_sem.parked) big += g_w[id].demand > 1;
    if (q == &g_awaits[id] && g_w[id].held > 0) holder_awaits = true;
  }
  if (g_sem.count != kUnits - held) fail("units do not add up", 0);
  if (g_sem.big_waiters != big) fail("exclusive takers miscounted", 0);
  if ((g_sem.owner != nullptr) != (g_sem.count <= 0) ||
      (g_sem.owner != nullptr && g_w[thread_id(g_sem.owner)].held < kUnits))
    fail("owner is not the exclusive holder", thread_id(g_sem.owner));
  if (big > 0 && holder_awaits) ++g_gate_open_seen;
  for (int id = 1; id <= kWorkers; ++id) {
    Task* t = thread_by_id(id);
    if (thread_state(t) == TS_FREE) continue;
    const WaitQueue* q = thread_wchan(t);
    if (q != &g_sem.wait && q != &g_sem.parked) continue;
    const int d = g_w[id].demand;
    const bool held_back = d == 1 && big > 0 && !holder_awaits;
    if (g_sem.count >= d && !held_back) fail("taker sleeps although it could take", id);
    if (q == &g_sem.parked && held_back) ++g_parked_seen;
  }
}

void controller() {
  for (;;) {
    check();
    Task* candidates[kWorkers];
    int n = 0;
    for (int id = 1; id <= kWorkers; ++id)
      if (thread_state(thread_by_id(id)) != TS_FREE) candidates[n++] = thread_by_id(id);
    if (n == 0) return;
    Task* t = candidates[next_rand() % n];
    const WaitQueue* q = thread_wchan(t);
    if (q == nullptr) {
      if (thread_state(t) != TS_BLOCKED) return fail("runnable while the controller runs", thread_id(t));
      thread_unblock(t);
    } else if (q == &g_awaits[thread_id(t)]) {
      wake_up(&g_awaits[thread_id(t)]);
    } else if (next_rand() % 3 != 0) {
      continue;  // a taker: usually left to the others' ups
    } else if (next_rand() % 2 == 0 || g_replacements >= 10) {
      thread_timeout(t, 0);
    } else {
      thread_destroy(t);  // it holds nothing: it sleeps in down
      ++g_replacements;
      Task* fresh = thread_create(worker, 5);
      ASSERT_NE(fresh, nullptr);
      g_w[thread_id(fresh)] = {0, 0, kSteps / 4};
    }
    thread_yield();
  }
}

}  // namespace sem_model

TEST_F(Kernel, SemaphoreAgreesWithAModelOfUnitsOwnerAndWaiters) {
  using namespace sem_model;
  int parked = 0, gate_open = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    ASSERT_EQ(thread_init(kWorkers + 2), 0);
    g_rand = seed;
    g_sem = {};
    g_sem.count = kUnits;
    for (WaitQueue& q : g_awaits) q = {};
    g_replacements = g_failures = g_parked_seen = g_gate_open_seen = 0;
    for (int id = 1; id <= kWorkers; ++id) {
      g_w[id] = {0, 0, kSteps};
      ASSERT_EQ(thread_id(thread_create(worker, 5)), id);
    }
    thread_create(controller, 7);
    run_with_stopper();
    EXPECT_EQ(g_failures, 0) << "seed " << seed;
    EXPECT_EQ(g_sem.count, kUnits) << "seed " << seed;
    EXPECT_EQ(g_sem.owner, nullptr);
    EXPECT_EQ(g_sem.big_waiters, 0);
    EXPECT_EQ(g_sem.wait.head, nullptr);
    EXPECT_EQ(g_sem.parked.head, nullptr);
    parked += g_parked_seen;
    gate_open += g_gate_open_seen;
  }
  // The runs reach the cases that matter.
  EXPECT_GT(parked, 0);
  EXPECT_GT(gate_open, 0);
}

TEST_F(Kernel, DownOutsideTheKernelTakesAtOnce) {
  Semaphore sem;
  sem.count = 10000;
  ASSERT_EQ(down_count(&sem, 10000, __FILE__, __LINE__), 0);
  EXPECT_EQ(sem.count, 0);
  up_count(&sem, 10000);
  EXPECT_EQ(sem.count, 10000);
}

TEST_F(Kernel, UpByNonOwnerBelowOneIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        g_sem = {};
        g_sem.count = 1;
        thread_create(+[] { down(&g_sem, __FILE__, __LINE__); }, 5);
        thread_create(+[] { up(&g_sem); }, 6);
        thread_create(stopper, 99);
        thread_run();
      },
      "sem->owner == current_task");
}

// --- Deadlock victims ---------------------------------------------------------

struct VictimCase {
  const char* name;
  int weight_a;  // task 1, asleep first, waiting for task 2
  int weight_b;  // task 2, about to sleep waiting for task 1
  bool callback;
  int result_a;
  int result_b;
};

int g_weights[4];
bool g_use_weights;
int g_res_a, g_res_b;
WaitQueue g_qa, g_qb;

int weight_of(Task* t) { return g_weights[thread_id(t)]; }

class Victim : public Kernel, public ::testing::WithParamInterface<VictimCase> {};

TEST_P(Victim, SmallestNonZeroWeightLosesAndCurrentTaskWinsTies) {
  const VictimCase& c = GetParam();
  g_weights[1] = c.weight_a;
  g_weights[2] = c.weight_b;
  g_use_weights = c.callback;
  g_res_a = g_res_b = 99;
  g_qa = {};
  g_qb = {};
  debug_set_flags("T2");
  thread_create(+[] {
    g_res_a = sleep_on_task(&g_qa, thread_by_id(2), g_use_weights ? weight_of : nullptr,
                            "dir/a.cpp", 11);
  }, 5);
  thread_create(+[] {
    thread_yield();
    g_res_b = sleep_on_task(&g_qb, thread_by_id(1), g_use_weights ? weight_of : nullptr,
                            "dir/b.cpp", 22);
  }, 5);
  thread_create(+[] {  // wakes whoever is left asleep
    while (g_res_a == 99 || g_res_b == 99) {
      wake_up(&g_qa);
      wake_up(&g_qb);
      thread_yield();
    }
  }, 50);
  run_with_stopper();
  EXPECT_EQ(g_res_a, c.result_a);
  EXPECT_EQ(g_res_b, c.result_b);
  const std::string log = log_text();
  EXPECT_NE(log.find("Deadlock detected between tasks 2 and 1"), std::string::npos) << log;
  EXPECT_NE(log.find(" task 2 is about to block on task 1 (b.cpp, L22)"), std::string::npos);
  EXPECT_NE(log.find(" task 1 already blocks on task 2 (a.cpp, L11)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Victim,
    ::testing::Values(VictimCase{"SleeperLighter", 5, 3, true, 0, 1},
                      VictimCase{"WaiterZero", 0, 3, true, 0, 1},
                      VictimCase{"SleeperZeroOtherWakesWithOne", 3, 0, true, 1, 0},
                      VictimCase{"WaiterLighterWakesWithOne", 2, 9, true, 1, 0},
                      VictimCase{"EqualWeights", 4, 4, true, 0, 1},
                      VictimCase{"AllZeroSleeperGivesWay", 0, 0, true, 0, 1},
                      VictimCase{"UnknownWeightLosesFirst", -1, 5, true, 1, 0},
                      VictimCase{"UnknownWeightOfSleeper", 5, -1, true, 0, 1},
                      VictimCase{"NoCallback", 1, 9, false, 0, 1}),
    [](const ::testing::TestParamInfo<VictimCase>& param) { return std::string(param.param.name); });

// Tasks 1..3 sleep on g_q[id] and leave their results in g_res[id]; a
// task of priority 50 wakes whoever is left once none of them can run.
void prepare_three_sleepers() {
  for (int i = 0; i < 4; ++i) {
    g_q[i] = {};
    g_res[i] = 99;
  }
  thread_create(+[] {
    while (g_res[1] == 99 || g_res[2] == 99 || g_res[3] == 99) {
      for (int i = 1; i < 4; ++i) wake_up(&g_q[i]);
      thread_yield();
    }
  }, 50);
}

TEST_F(Kernel, ThreeTaskCycleChoosesAcrossTheChain) {
  g_weights[1] = 7;
  g_weights[2] = 2;  // the victim, in the middle of the chain
  g_weights[3] = 9;
  thread_create(+[] { g_res[1] = sleep_on_task(&g_q[1], thread_by_id(2), weight_of, __FILE__, __LINE__); }, 5);
  thread_create(+[] { g_res[2] = sleep_on_task(&g_q[2], thread_by_id(3), weight_of, __FILE__, __LINE__); }, 5);
  thread_create(+[] { g_res[3] = sleep_on_task(&g_q[3], thread_by_id(1), weight_of, __FILE__, __LINE__); }, 5);
  prepare_three_sleepers();
  run_with_stopper();
  EXPECT_EQ(g_res[1], 0);
  EXPECT_EQ(g_res[2], 1);
  EXPECT_EQ(g_res[3], 0);
}

// A cycle made by renaming links (not by a sleep) is met by a later walk
// that it does not include: that walk must not stop the process.
TEST_F(Kernel, WalkIntoACycleThatExcludesTheSleeperIsNotFatal) {
  thread_create(+[] { g_res[1] = sleep_on_task(&g_q[1], thread_by_id(2), nullptr, __FILE__, __LINE__); }, 8);
  thread_create(+[] { g_res[2] = sleep_on_task(&g_q[2], thread_by_id(3), nullptr, __FILE__, __LINE__); }, 6);
  thread_create(+[] { g_res[3] = sleep_on(&g_q[3], WAIT_MAY_BE_CUT, __FILE__, __LINE__); }, 6);
  thread_create(+[] {  // 2 and 3 sleep by now, 2 waiting for 3
    thread_set_waiting_for(thread_by_id(3), thread_by_id(2));
    thread_yield();
  }, 7);
  prepare_three_sleepers();  // task 1, priority 8, sleeps last
  debug_set_flags("T1");
  run_with_stopper();
  EXPECT_NE(log_text().find("Task 1 waits for a deadlock cycle it is not part of"),
            std::string::npos);
  EXPECT_EQ(g_res[1], 0);
  EXPECT_EQ(g_res[2], 0);
  EXPECT_EQ(g_res[3], 0);
}

// --- Status records -------------------------------------------------------------

// A victim that sleeps in a wait that may not be cut cannot give way; the
// task about to sleep does, so that no cycle is left standing.
TEST_F(Kernel, AVictimInAWaitThatMayNotBeCutLeavesTheSleeperToGiveWay) {
  for (WaitQueue& q : g_q) q = {};
  g_res[1] = g_res[2] = 99;
  g_weights[1] = 1;  // task 1 is the lighter one
  g_weights[2] = 5;
  thread_create(+[] {
    thread_set_waiting_for(thread_self(), thread_by_id(2));
    g_res[1] = sleep_on(&g_q[1], WAIT_NEVER_CUT, __FILE__, __LINE__);
  }, 5);
  thread_create(+[] {
    g_res[2] = sleep_on_task(&g_q[2], thread_by_id(1), weight_of, __FILE__, __LINE__);
    wake_up(&g_q[1]);
  }, 5);
  run_with_stopper();
  EXPECT_EQ(g_res[2], 1);
  EXPECT_EQ(g_res[1], 0);
}

TEST_F(Kernel, InfoRecordsDescribeEveryLiveTask) {
  ASSERT_EQ(thread_init(4), 0);
  g_queue = {};
  thread_create(+[] {  // 1
    thread_block(thread_self());
    thread_yield();
  }, 5);
  thread_create(+[] {  // 2
    sleep_on_task(&g_queue, thread_by_id(1), nullptr, "some/dir/waiter.cpp", 42);
  }, 5);
  thread_create(+[] {}, 5);  // 3: ends at once, leaving a free slot
  Task* lister = thread_create(+[] {  // 4: the last slot
    {  // a stopped task's stack is never unwound: keep objects out of it
      std::vector<std::string> seen;
      int cursor = 0;
      while (const TaskInfo* info = thread_info_next(&cursor)) {
        char line[256];
        snprintf(line, sizeof line, "%d %s %d [%s] %s|%s", info->id, info->state, info->priority,
                 info->wchan[0] ? "q" : "", info->name, info->wait);
        seen.push_back(line);
      }
      EXPECT_EQ(seen, (std::vector<std::string>{
                          "1 S 5 [] ??|",
                          "2 W 5 [q] ??|file waiter.cpp, line 42 waiting for 1\n",
                          "4 R 6 [] lister|",
                      }));
      EXPECT_EQ(thread_info_next(&cursor), nullptr);
    }
    wake_up(&g_queue);
    thread_unblock(thread_by_id(1));
    thread_yield();  // both end
    thread_stop();
  }, 6);
  thread_set_name(lister, "lister");
  ASSERT_EQ(thread_run(), 0);
}

// --- Mailbox ----------------------------------------------------------------------

TEST_F(Kernel, PostedUnblockSkipsATaskThatReplacedTheOneNamed) {
  static Task* first;
  static Task* second;
  first = thread_create(+[] {
    thread_block(thread_self());
    thread_yield();
    rec(1);
  }, 5);
  thread_create(+[] {
    thread_yield();  // the first task blocks
    thread_post_unblock(first);
    thread_destroy(first);
    second = thread_create(+[] {
      rec(2);
    }, 5);
    ASSERT_EQ(second, first);  // same slot
    thread_block(second);
    thread_yield();  // drains the post: it names the old task
    EXPECT_EQ(thread_state(second), TS_BLOCKED);
    thread_post_unblock(second);
    thread_yield();
    rec(3);
  }, 6);
  run_with_stopper();
  EXPECT_EQ(g_trace, (std::vector<int>{2, 3}));
}

TEST_F(Kernel, PostedCallsRunInOrderAtTheNextPass) {
  static std::vector<int> calls;
  calls.clear();
  thread_post(+[](void* p) { calls.push_back(static_cast<int>(reinterpret_cast<intptr_t>(p))); },
              reinterpret_cast<void*>(1));
  thread_post(+[](void* p) { calls.push_back(static_cast<int>(reinterpret_cast<intptr_t>(p))); },
              reinterpret_cast<void*>(2));
  EXPECT_TRUE(calls.empty());  // nothing runs before the scheduler does
  thread_create(+[] { EXPECT_EQ(calls, (std::vector<int>{1, 2})); }, 5);
  run_with_stopper();
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST_F(Kernel, WorkPostedAfterAStopWaitsForTheNextRunAndANewTableDropsIt) {
  static int calls;
  calls = 0;
  auto count = +[](void*) { ++calls; };
  run_with_stopper();
  ASSERT_EQ(thread_post(count, nullptr), 0);
  thread_create(stopper, 50);  // runs before the stopped one
  ASSERT_EQ(thread_run(), 0);
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(thread_post(count, nullptr), 0);
  ASSERT_EQ(thread_init(4), 0);
  run_with_stopper();
  EXPECT_EQ(calls, 1);
}

// --- Calling context ----------------------------------------------------------

// Another thread asking while a task runs is not that task: it must hand its
// work in through the mailbox, never act as a task.
TEST_F(Kernel, ThreadSelfIsNoneOnAnotherThreadWhileATaskRuns) {
  static Task* seen;
  seen = nullptr;
  static Task* self;
  thread_create(+[] {
    self = thread_self();
    std::thread([] { seen = thread_self(); }).join();
  }, 5);
  run_with_stopper();
  EXPECT_NE(self, nullptr);
  EXPECT_EQ(seen, nullptr);
}

// Posted work runs in the scheduler pass of whichever task gave up the
// processor, here in the middle of a task's own block. It is no task: it
// must not see that task as the caller (and leave it blocked), nor set its
// status code.
TEST_F(Kernel, PostedWorkRunsOutsideAnyTaskEvenInsideATasksOwnBlock) {
  static Task* blocker;
  static Task* seen;
  static ErrorStatus error_after;
  seen = reinterpret_cast<Task*>(&g_trace);  // anything but a task or none
  blocker = thread_create(+[] {
    thread_set_error(0);
    thread_post(+[](void*) {
      seen = thread_self();
      thread_set_error(0x1234);
      // As a close does: wake the task unless it is the caller itself.
      if (blocker != thread_self() && thread_state(blocker) == TS_BLOCKED) thread_unblock(blocker);
    }, nullptr);
    thread_block(thread_self());
    thread_yield();  // the post runs in this pass
    rec(1);
    error_after = thread_get_error();
  }, 5);
  run_with_stopper();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(g_trace, (std::vector<int>{1}));
  EXPECT_EQ(error_after, 0u);
}

// Worker tasks block or sleep, and two other threads end each wait through
// the mailbox (an unblock, a wake-up or a time-out, as the wait's round
// says), releasing the operating-system semaphore after every post as the
// server's threads do. The idle task waits for that semaphore without a
// short time-out, so a post or a release that got lost shows as a stall
// instead of being covered by a later round. Each wait is claimed by one
// poster; in the doubled case every post is sent twice, so copies arrive
// after their wait has ended: at a task running, at a later wait of another
// kind, or at a later wait of the same kind, which it may end early (a
// wake-up where a time-out was due, or the reverse).
namespace posted_wakes {

constexpr int kWorkers = 6;
constexpr int kRounds = 30;
std::atomic<int> g_waiting_in[kWorkers];  // round the worker waits in
std::atomic<int> g_claimed[kWorkers];     // last round a poster ended
std::atomic<int> g_finished;
std::atomic<bool> g_stop_posting;
std::atomic<bool> g_wrong_result;
std::atomic<int> g_copies;
bool g_stalled;
Task* g_tasks[kWorkers];
WaitQueue g_queues[kWorkers];
platform::OsSemaphore* g_sync;

enum Kind { kBlocked, kWokenUp, kTimedOut };
Kind kind(int worker, int round) { return static_cast<Kind>((worker + round) % 3); }

void worker() {
  const int i = thread_id(thread_self()) - 1;
  for (int r = 1; r <= kRounds; ++r) {
    // Posts run only in a scheduler pass, so announcing the wait before
    // going into it cannot let a post arrive too early.
    if (kind(i, r) == kBlocked) {
      thread_block(thread_self());
      g_waiting_in[i].store(r);
      thread_yield();
    } else {
      g_waiting_in[i].store(r);
      const int v = sleep_on(&g_queues[i], WAIT_MAY_BE_CUT, __FILE__, __LINE__);
      const bool exact = g_copies.load() == 1;
      if (exact ? v != (kind(i, r) == kWokenUp ? 0 : 7) : v != 0 && v != 7)
        g_wrong_result = true;
    }
  }
  g_finished.fetch_add(1);
}

void poster() {
  while (!g_stop_posting.load()) {
    for (int i = 0; i < kWorkers; ++i) {
      int claimed = g_claimed[i].load();  // first: a round read after it is never older
      const int round = g_waiting_in[i].load();
      if (round <= claimed || !g_claimed[i].compare_exchange_strong(claimed, round)) continue;
      for (int copy = 0; copy < g_copies.load(); ++copy) {
        switch (kind(i, round)) {
          case kBlocked: thread_post_unblock(g_tasks[i]); break;
          case kWokenUp: thread_post_wake_up(&g_queues[i]); break;
          case kTimedOut: thread_post_timeout(g_tasks[i], 7); break;
        }
        g_sync->release();
      }
    }
    std::this_thread::yield();
  }
}

struct PostCase {
  const char* name;
  int copies;  // of every post
};

class PostedWakes : public Kernel, public ::testing::WithParamInterface<PostCase> {};

TEST_P(PostedWakes, EveryWaitEndsAndNoWakeUpIsLost) {
  g_copies = GetParam().copies;
  for (int iteration = 0; iteration < 20; ++iteration) {
    ASSERT_EQ(thread_init(kWorkers + 1), 0);
    platform::OsSemaphore sync(0, 0x7fffffff);
    g_sync = &sync;
    g_finished = 0;
    g_stop_posting = false;
    g_wrong_result = false;
    g_stalled = false;
    for (int i = 0; i < kWorkers; ++i) {
      g_waiting_in[i] = 0;
      g_claimed[i] = 0;
      g_queues[i] = {};
      g_tasks[i] = thread_create(worker, 5);
      ASSERT_NE(g_tasks[i], nullptr);
    }
    thread_create(+[] {  // idle
      while (g_finished.load() < kWorkers) {
        if (!g_sync->wait_for(10000)) {
          g_stalled = true;
          break;
        }
        thread_yield();
      }
      thread_stop();
    }, 10);
    std::thread a(poster);
    std::thread b(poster);
    ASSERT_EQ(thread_run(), 0);
    g_stop_posting = true;
    a.join();
    b.join();
    ASSERT_FALSE(g_stalled) << "iteration " << iteration;
    EXPECT_EQ(g_finished.load(), kWorkers);
    EXPECT_FALSE(g_wrong_result);
  }
}

INSTANTIATE_TEST_SUITE_P(Posts, PostedWakes,
                         ::testing::Values(PostCase{"Once", 1}, PostCase{"Twice", 2}),
                         [](const ::testing::TestParamInfo<PostCase>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace posted_wakes

}  // namespace
