// task_kernel.h - the cooperative task kernel: a fixed table of tasks, each a
// fiber, run one at a time on the server thread.
//
// A task gives up the processor only when it sleeps on a wait queue, blocks,
// yields or ends; tasks therefore need no locks among themselves. The
// scheduler is a linear pass over the table: the lowest priority value among
// runnable tasks wins, equal priorities take turns (round robin).
//
// Thread rules (see README.md in this directory):
//  - Every function here runs on the server thread (the thread that called
//    thread_run), EXCEPT the mailbox calls thread_post, thread_post_unblock,
//    thread_post_timeout and thread_post_wake_up, thread_kernel_running and
//    thread_self, which any thread may call. Test builds stop a call to the
//    others from another thread while the kernel runs.
//  - thread_self() answers for the calling thread: none on any other thread
//    than the server thread, none before and after thread_run, and none
//    while posted work runs (posted work is no task, whatever task's pass
//    it runs in).
//  - Another thread that wants a task to run posts the change through the
//    mailbox and then releases the server's sync semaphore (notify_event),
//    on which the idle task waits; the idle task wakes, yields, and the
//    scheduler drains the mailbox on the server thread before it picks the
//    next task. No thread but the server thread touches the kernel's queues.
//
// Failures return -1 or none; programming errors (a state accessor on a free
// slot, a wait entry missing, an up by a non-owner at count below 1, no
// runnable task) stop the process through ZENT_ASSERT.
#pragma once
#include <atomic>
#include <cstdint>

namespace platform {
struct Fiber;
}

// Task states.
enum {
  TS_FREE = 0,
  TS_CANCELLED = 1,    // only while its clean-up callback runs
  TS_RUNNING = 2,      // runnable
  TS_BLOCKED = 3,      // sleeping (sleep_on) or blocked (thread_block)
  TS_INTERUPTABLE = 4  // sleeping with deadlock check (sleep_on_task)
};

inline constexpr int kMaxTasks = 1024;
inline constexpr int kTaskMinPriority = 1;   // runs first
inline constexpr int kTaskMaxPriority = 99;  // runs last

struct Task;
struct Semaphore;

// One sleeper on a queue. Entries live in the sleeper's own stack frame.
struct WaitEntry {
  Task* task;
  WaitEntry* next;
  WaitEntry* prev;  // lets a sleeper leave a long queue in constant time
};

// List of wait entries, newest first.
struct WaitQueue {
  WaitEntry* head = nullptr;
};

// Counting semaphore with an owner. The owner is the task whose down
// brought the count to exactly 0 (an exclusive holder of an N-unit lock); it
// passes further downs at once, even below zero, and is cleared by the up
// that brings the count above 0. Users set the initial count themselves.
//
// Shared/exclusive use: shared = down (1 unit), exclusive = down_count(N).
// Once a taker of several units waits, later one-unit takers that hold no
// unit of the semaphore queue behind it, so a stream of shared takers cannot
// starve the exclusive one. They pass while a holder of units sleeps waiting
// for another task (sleep_on_task): that task may be one of them, and
// holding it back would close a cycle the deadlock walk cannot see.
//
// THE RULE THAT KEEPS THIS SOUND: a task that holds units of any semaphore
// waits for another task only through sleep_on_task, never through a plain
// sleep_on that may be cut (a lock, transaction or pool wait). A plain sleep
// hides the holder from the gate: with the exclusive taker queued, the task
// it waits for may need a fresh unit and be held back behind the exclusive
// taker, which waits for the holder's unit, and nothing can run. Waits that
// may not be cut (a page being read, an I/O) end without any task taking a
// unit, so a holder may sleep in them. Test builds stop a holder at a plain
// sleep that may be cut.
struct Semaphore {
  int32_t count = 0;
  WaitQueue wait;  // takers waiting for units
  Task* owner = nullptr;
  int32_t big_waiters = 0;  // tasks sleeping in down_count for more than 1 unit
  // One-unit takers held back only by a waiting taker of several units;
  // kept apart so that an up need not look at them until it has gone.
  WaitQueue parked;
};

// Deadlock weight of a task (the size of its transaction); 0 = holds
// nothing, never chosen; negative values (unknown) compare below positive.
using TaskWeightFn = int (*)(Task* task);
using TaskCleanupFn = void (*)(Task* task);
using TaskDataFreeFn = void (*)(void* data);

// One record of the table. Read it through the accessors below; the fields
// are public only so that the kernel's own modules (status codes) and tests
// can see them.
struct Task {
  int id;  // 1..n, fixed
  int state;
  WaitQueue* wchan;  // queue it sleeps on, or none
  unsigned runs;
  int stack;  // stack size in bytes, shown on the status pages
  int priority;
  int abort_value;  // result of the current sleep
  char* name;
  uint64_t block_ms;  // monotonic time of the last sleep or block
  const char* file;
  int line;
  Task* waiting_for;  // deadlock chain
  unsigned marker;    // last deadlock-walk stamp that visited it
  void (*entry)();
  void* data;
  TaskDataFreeFn data_free;
  uint32_t error;  // ErrorStatus slot
  TaskCleanupFn cleanup;
  platform::Fiber* fiber;
  // Where its wait entry lives while one is linked (also after a wake-up
  // until the task runs again), so that freeing the task can unlink it.
  WaitQueue* entry_queue;
  WaitEntry* entry_link;
  // Semaphore on which it waits in down_count and the units it asks for
  // (more than one: counted in the semaphore's big_waiters).
  Semaphore* sem_wait;
  int sem_units;
  // Asleep in sleep_on_task while holding units: one-unit takers pass.
  bool holder_awaiting_task;
  // The current sleep may be cut short (thread_timeout); see WaitCut.
  bool wait_may_be_cut;
  // A cut that found no wait to cut (thread_cut): the next wait that may be
  // cut ends at once with this value; 0 none.
  int cut_pending;
  // Semaphores of which it took units and has not given them back; when
  // more are held than fit, held_overflow makes it count as holding any.
  struct Held {
    Semaphore* sem;
    int32_t units;
  } held[4];
  bool held_overflow;
  // Bumped at every creation in the slot; lets a posted wake-up that
  // outlived its task leave the slot's next task alone.
  std::atomic<uint32_t> serial;
};

// --- Set-up and control --------------------------------------------------

// Creates a table of count free tasks (ids 1..count). -1 when count is
// outside 1..1024, memory is short, or the kernel is running. A second call
// replaces the previous table (its tasks are dropped without clean-up) and
// empties the mailbox; threads that post for its tasks must have stopped.
int thread_init(int count);
// A new runnable task that calls entry; priority 1..99 (lower runs first).
// None when the priority is out of range, the table is full or no fiber
// could be made.
Task* thread_create(void (*entry)(), int priority);
// The same, returned as an untyped handle.
void* thread_new(void (*entry)(), int priority);
// Every task created so far is a system task.
void thread_system_tasks_done();
// Turns the calling thread into the main fiber and runs tasks until one of
// them calls thread_stop. 0 then; -1 when the kernel is not set up or
// already running.
int thread_run();
// 1 while thread_run runs the scheduler, else 0; any thread may ask.
int thread_kernel_running();
// From a task: return to thread_run's caller. The calling task stays
// suspended where it is.
void thread_stop();
// Lets every other runnable task of the same or a lower priority value run.
void thread_yield();
// Called first by every thread_yield of a task (none: nothing). A task that
// keeps yielding stays runnable, so a task of a higher priority value never
// gets its turn meanwhile: the server looks at its sockets here.
void thread_set_yield_hook(void (*hook)());
// Frees a live task: unlinks its wait entry, runs its clean-up (state
// TS_CANCELLED), frees its name. Destroying the calling task ends it at
// once; the call then does not return (its stack is not unwound).
void thread_destroy(Task* task);

// --- Queries and settings -------------------------------------------------
// The accessors require a live task (running, blocked, interruptible; name
// and data calls also accept cancelled).

// The task running on the calling thread: none on other threads than the
// server thread, before and after thread_run, and while posted work runs.
Task* thread_self();
Task* thread_by_id(int id);  // none outside 1..n
int thread_id(const Task* task);
int thread_state(const Task* task);
WaitQueue* thread_wchan(const Task* task);
int thread_set_priority(Task* task, int priority);  // 0, or -1 outside 1..99
// The task owns its data: setting frees the previous pointer with the free
// function given with it (free() by default); so does reusing the slot.
void* thread_get_data(const Task* task);
void thread_set_data(Task* task, void* data, TaskDataFreeFn free_fn = nullptr);
Task* thread_find_by_data(const void* data);  // first non-free task with it
// Called when the task is freed, with the task in state TS_CANCELLED. It
// must not sleep, block or yield.
void thread_set_cleanup(Task* task, TaskCleanupFn cleanup);
void thread_set_name(Task* task, const char* name);  // copies; none clears
const char* thread_get_name(const Task* task);      // "" when none
void thread_set_waiting_for(Task* task, Task* waiting_for);

// --- Sleeping and waking ---------------------------------------------------

// Whether a wait may be cut short, by a time-out or by the close of the
// session whose task sleeps. Its owner decides, since only it knows whether
// it can give up half-way:
//  - WAIT_MAY_BE_CUT: locks, semaphores, transactions, a reply waiting for
//    the peer. The sleep returns the cut's value and the caller gives up
//    its operation.
//  - WAIT_NEVER_CUT: a page being read or written, an I/O in flight. Other
//    threads or tasks still use the sleeper's buffers; the wait always runs
//    to its end, and a cut made meanwhile is kept for the next wait that may
//    be cut (thread_cut).
enum WaitCut { WAIT_MAY_BE_CUT, WAIT_NEVER_CUT };

// Sleeps the current task on queue (TS_BLOCKED, no deadlock check). Returns
// the abort value: 0 woken, else the cut's value (only for WAIT_MAY_BE_CUT;
// a WAIT_NEVER_CUT sleep returns 0). A holder of semaphore units must not
// wait for another task here (see Semaphore).
int sleep_on(WaitQueue* queue, WaitCut cut, const char* file, int line);
// Sleeps in TS_INTERUPTABLE waiting for waiting_for (live, or none), after
// the deadlock check along the waiting_for chain. Returns 0 woken, 1 chosen
// as deadlock victim, or the time-out's value. Always a wait that may be cut.
int sleep_on_task(WaitQueue* queue, Task* waiting_for, TaskWeightFn weight, const char* file,
                  int line);
// Every task sleeping on queue becomes runnable (abort value 0).
void wake_up(WaitQueue* queue);
// Blocks task without a queue until thread_unblock (worker tasks that wait
// for their socket). Takes effect at its next yield when it is the caller.
void thread_block(Task* task);
// Makes a task blocked without a queue runnable again; a runnable task is
// left alone. The task must not sleep on a queue.
void thread_unblock(Task* task);
// Aborts the sleep of task with value (-1 when value is 0): 0. A task that
// is not sleeping on a queue (already woken, running, blocked), or whose
// wait may not be cut, is left alone: -1.
int thread_timeout(Task* task, int value);
// Cuts task's wait short as thread_timeout does (0). When the task is in no
// wait that may be cut (it runs, is runnable, blocked without a queue, or in
// a wait that may not be cut), the cut is kept instead (1): the next wait of
// the task that may be cut ends at once with value (-1 for 0) without
// sleeping. A closing session uses it, so the session ends at the first
// point that allows it.
int thread_cut(Task* task, int value);
// Drops a kept cut (a worker about to end its session's work, which must
// not be cut).
void thread_drop_cut(Task* task);
void add_wait_queue(WaitQueue* queue, WaitEntry* entry);
void remove_wait_queue(WaitQueue* queue, WaitEntry* entry);
void dump_wait_queue(const WaitQueue* queue);

// --- Semaphores -----------------------------------------------------------

// 0 once n units are taken; -1 when the sleep was aborted (count unchanged).
int down_count(Semaphore* sem, int n, const char* file, int line);
int down(Semaphore* sem, const char* file, int line);  // one unit
// Gives n units back; wakes the sleepers that the count now lets through.
void up_count(Semaphore* sem, int n);
void up(Semaphore* sem);  // one unit

// --- Mailbox: the only entry points for other threads --------------------
// Each queues work that the scheduler runs on the server thread at its next
// pass (before it picks a task). After posting, release the server's sync
// semaphore (notify_event) so that an idle server thread wakes up. Posted
// work runs in the order posted, outside any task (thread_self() is none,
// whichever task's scheduler pass it runs in); it must not sleep, block
// itself, yield or take semaphore units, and is kept until a scheduler pass
// runs it (also while the kernel is set up but not running yet);
// thread_init drops what is left from an earlier table.
// Posting costs one mutex round; draining an empty mailbox costs one atomic
// load.

// Runs fn(arg) on the server thread. 0, or -1 when out of memory.
int thread_post(void (*fn)(void* arg), void* arg);
// The three posts below cannot be dropped: without memory to queue one the
// process stops through the assertion path, as a lost wake-up would leave a
// task asleep for ever. (Recording them without allocation would need a link
// inside each wait queue, and callers recycle queues that may still have a
// wake-up on its way.)
// Unblocks task when it is still the same task and blocked without a wait
// channel (thread_unblock); otherwise nothing.
void thread_post_unblock(Task* task);
// thread_timeout(task, value) when it is still the same task.
void thread_post_timeout(Task* task, int value);
// wake_up(queue); the queue must stay alive until the post has run.
void thread_post_wake_up(WaitQueue* queue);

// --- Status ---------------------------------------------------------------

// One task's line of the status pages; valid until the next call.
struct TaskInfo {
  int id;
  char state[2];  // "C", "R", "S", "W" or "?"
  int priority;
  char wchan[24];  // "%p", empty when none
  unsigned blocked_seconds;
  int stack_size;
  int stack_max;
  unsigned runs;
  const char* name;  // "??" when none
  char wait[96];     // where it sleeps and what it waits for; may be empty
};
// The next live task after *cursor (start at 0), or none at the end.
const TaskInfo* thread_info_next(int* cursor);

// Scheduler statistics of the last pass.
struct ThreadStats {
  uint64_t switches;  // since thread_init
  int runnable;
  int not_runnable;
  int load;  // runnable tasks above the last system task id
};
ThreadStats thread_stats();
