// task_kernel.cpp - the task table, the scheduler, wait queues, semaphores,
// the deadlock walk and the mailbox of work posted by other threads.
//
// Everything but the mailbox's posting side runs on the server thread and
// takes no locks; README.md in this directory describes the design.
#include "base/task_kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "platform/clock.h"
#include "platform/fiber.h"

namespace {

Task* g_table = nullptr;
int g_count = 0;
// The task running on this thread: only the thread in thread_run ever has
// one, and it has none while posted work runs. Named so that the
// up-by-non-owner assertion reads as the invariant it is.
thread_local Task* current_task = nullptr;
// This thread runs the scheduler (inside thread_run).
thread_local bool t_kernel_thread = false;
platform::Fiber* g_main_fiber = nullptr;
int g_initialized = 0;  // 0 none, 1 set up, 2 running
// g_initialized == 2, for other threads.
std::atomic<bool> g_kernel_running{false};
int g_last_system_id = 0;
bool g_system_tasks_done = false;
unsigned g_stamp = 0;
uint32_t g_serial = 0;
ThreadStats g_stats{};
// The running fiber belongs to a task that has ended: it is never resumed.
bool g_fiber_finishing = false;
// Posted work is running: nothing may switch tasks now.
bool g_draining = false;
void (*g_yield_hook)() = nullptr;

// Checks of the kernel's rules that cost a little on every call; test builds
// make them, release builds do not.
#ifdef NDEBUG
constexpr bool kCheckRules = false;
#else
constexpr bool kCheckRules = true;
#endif

// While the kernel runs, only its own thread touches tasks and queues; any
// other thread goes through the mailbox.
void require_kernel_thread() {
  if (kCheckRules)
    ZENT_ASSERT(t_kernel_thread || !g_kernel_running.load(std::memory_order_relaxed));
}
// Per slot, the priority of a runnable task or kNotRunnable: the scheduler
// scans these bytes instead of the records, which keeps a pass over a full
// table within a few cache lines.
constexpr uint8_t kNotRunnable = 0xff;
uint8_t g_run_priority[kMaxTasks];
// Free slots whose fiber still waits for deletion by the scheduler.
int g_fibers_to_delete = 0;
// Tasks asleep in sleep_on_task while holding semaphore units.
int g_holders_awaiting_tasks = 0;

// --- Mailbox ----------------------------------------------------------------

struct Post {
  enum Kind { kCall, kUnblock, kTimeout, kWakeUp } kind;
  void (*fn)(void*);
  void* arg;
  int task_id;
  uint32_t serial;
  int value;
};

std::mutex g_mail_mutex;
std::vector<Post> g_mail;       // guarded by g_mail_mutex
std::vector<Post> g_mail_work;  // server thread only
std::atomic<bool> g_mail_pending{false};

int post(const Post& p) {
  std::lock_guard<std::mutex> lock(g_mail_mutex);
  try {
    g_mail.push_back(p);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  g_mail_pending.store(true, std::memory_order_release);
  return 0;
}

// A wake-up, unblock or time-out that could not be queued would leave its
// task asleep for ever, unseen: stop the process instead.
void post_or_stop(const Post& p, const char* what) {
  if (post(p) == 0) return;
  debug_log('T', 0, "%s: no memory to post the wake-up", what);
  ZENT_ASSERT(!"posted wake-up lost: no memory");
}

// The task a post names, when its slot still holds the same task.
Task* posted_task(const Post& p) {
  if (p.task_id < 1 || p.task_id > g_count) return nullptr;
  Task* t = &g_table[p.task_id - 1];
  if (t->state == TS_FREE || t->serial.load(std::memory_order_relaxed) != p.serial) return nullptr;
  return t;
}

void run_post(const Post& p) {
  switch (p.kind) {
    case Post::kCall:
      p.fn(p.arg);
      break;
    case Post::kUnblock:
      if (Task* t = posted_task(p); t && t->state == TS_BLOCKED && t->wchan == nullptr)
        thread_unblock(t);
      break;
    case Post::kTimeout:
      if (Task* t = posted_task(p); t && t->state >= TS_RUNNING) thread_timeout(t, p.value);
      break;
    case Post::kWakeUp:
      wake_up(static_cast<WaitQueue*>(p.arg));
      break;
  }
}

// Runs the posted work outside any task: it borrows the stack of the task
// that entered the scheduler, but thread_self() is none meanwhile, so the
// work never takes that task for its caller (a close would leave it
// blocked, a status code would land in its slot).
void drain_mailbox() {
  if (!g_mail_pending.load(std::memory_order_acquire)) return;
  {
    std::lock_guard<std::mutex> lock(g_mail_mutex);
    g_mail_pending.store(false, std::memory_order_relaxed);
    g_mail_work.swap(g_mail);
  }
  Task* const interrupted = current_task;
  current_task = nullptr;
  g_draining = true;
  for (const Post& p : g_mail_work) run_post(p);
  g_mail_work.clear();  // keeps its capacity: the steady state allocates nothing
  g_draining = false;
  current_task = interrupted;
  // Posted work freed the task whose stack it ran on: that fiber is left
  // for good at the switch that follows.
  if (interrupted != nullptr && interrupted->state == TS_FREE) {
    current_task = nullptr;
    g_fiber_finishing = true;
  }
}

// --- Helpers ----------------------------------------------------------------

const char* base_name(const char* file) {
  if (file == nullptr) return "?";
  const char* slash = strrchr(file, '/');
  return slash ? slash + 1 : file;
}

bool is_live(const Task* t) { return t->state >= TS_RUNNING; }

// Every change of a task's state or priority goes through here.
void set_state(Task* t, int state) {
  require_kernel_thread();
  t->state = state;
  g_run_priority[t->id - 1] =
      state == TS_RUNNING ? static_cast<uint8_t>(t->priority) : kNotRunnable;
}

void require_live(const Task* t) { ZENT_ASSERT(t != nullptr && is_live(t)); }

// Name and data calls also serve a task whose clean-up runs.
void require_named(const Task* t) { ZENT_ASSERT(t != nullptr && t->state >= TS_CANCELLED); }

bool sleeping(const Task* t) {
  return t->wchan != nullptr && (t->state == TS_BLOCKED || t->state == TS_INTERUPTABLE);
}

void free_data(Task* t) {
  if (t->data != nullptr) (t->data_free ? t->data_free : free)(t->data);
  t->data = nullptr;
  t->data_free = nullptr;
}

// Unlinks entry from q; false when it is not linked there.
bool unlink_entry(WaitQueue* q, WaitEntry* entry) {
  WaitEntry** link = entry->prev ? &entry->prev->next : &q->head;
  if (*link != entry) return false;
  *link = entry->next;
  if (entry->next != nullptr) entry->next->prev = entry->prev;
  entry->next = entry->prev = nullptr;
  return true;
}

void make_runnable(Task* t) {
  set_state(t, TS_RUNNING);
  t->wchan = nullptr;
  t->waiting_for = nullptr;
}

// --- Semaphore bookkeeping ----------------------------------------------

bool holds_units(const Task* t, const Semaphore* sem) {
  if (t == nullptr) return false;
  if (t->held_overflow) return true;
  for (const Task::Held& h : t->held)
    if (h.sem == sem) return true;
  return false;
}

bool holds_any_units(const Task* t) {
  if (t->held_overflow) return true;
  for (const Task::Held& h : t->held)
    if (h.sem != nullptr) return true;
  return false;
}

void note_taken(Task* t, Semaphore* sem, int32_t n) {
  if (t == nullptr) return;
  Task::Held* empty = nullptr;
  for (Task::Held& h : t->held) {
    if (h.sem == sem) {
      h.units += n;
      return;
    }
    if (h.sem == nullptr && empty == nullptr) empty = &h;
  }
  if (empty != nullptr)
    *empty = {sem, n};
  else
    t->held_overflow = true;
}

void note_given(Task* t, Semaphore* sem, int32_t n) {
  if (t == nullptr) return;
  for (Task::Held& h : t->held) {
    if (h.sem == sem) {
      h.units -= n;
      if (h.units <= 0) h = {nullptr, 0};
      return;
    }
  }
}

// Whether a taker of n units must wait: too few units, or a one-unit taker
// that holds none while a taker of several units already waits (unless a
// holder of units waits for some task, which might be this one).
bool must_wait(const Semaphore* sem, const Task* t, int n) {
  if (sem->count - n < 0) return true;
  return n == 1 && sem->big_waiters > 0 && g_holders_awaiting_tasks == 0 &&
         !holds_units(t, sem);
}

// Wakes the sleepers of q that sem's count now lets through; the others
// would only test again and sleep on.
void wake_takers_on(Semaphore* sem, WaitQueue* q) {
  for (WaitEntry* e = q->head; e != nullptr; e = e->next) {
    Task* t = e->task;
    if (t->wchan != q || !sleeping(t)) continue;
    if (t->sem_units > 0 && must_wait(sem, t, t->sem_units)) continue;
    debug_log('T', 2, "Waking up task %d", t->id);
    make_runnable(t);
  }
}

void wake_takers(Semaphore* sem) {
  wake_takers_on(sem, &sem->wait);
  if (sem->big_waiters == 0) wake_takers_on(sem, &sem->parked);
}

void take_units(Semaphore* sem, Task* t, int n) {
  const int32_t before = sem->count;
  sem->count -= n;
  if (before == n) sem->owner = t;
  note_taken(t, sem, n);
}

// Ends t's wait in down_count (taken, aborted or freed); the last taker of
// several units to leave lets the parked one-unit takers go.
void leave_sem_wait(Task* t) {
  Semaphore* sem = t->sem_wait;
  const bool big = t->sem_units > 1;
  t->sem_wait = nullptr;
  t->sem_units = 0;
  if (sem == nullptr || !big) return;
  --sem->big_waiters;
  if (sem->big_waiters == 0 && sem->count >= 1) wake_takers(sem);
}

// The first holder of units to sleep waiting for a task opens every gate:
// wakes the one-unit takers that were held back only by one.
void release_held_back_takers() {
  for (int i = 0; i < g_count; ++i) {
    Task* t = &g_table[i];
    if (t->sem_wait == nullptr || !sleeping(t) || must_wait(t->sem_wait, t, t->sem_units)) continue;
    debug_log('T', 2, "Waking up task %d", t->id);
    make_runnable(t);
  }
}

void count_holder_awaiting_task(Task* t) {
  if (!holds_any_units(t)) return;
  t->holder_awaiting_task = true;
  if (++g_holders_awaiting_tasks == 1) release_held_back_takers();
}

void uncount_holder_awaiting_task(Task* t) {
  if (!t->holder_awaiting_task) return;
  t->holder_awaiting_task = false;
  --g_holders_awaiting_tasks;
}

// --- Scheduler ----------------------------------------------------------------

void schedule();

void thread_free(Task* t) {
  debug_log('T', 2, "Freeing task %d", t->id);
  if (t->entry_link != nullptr) {
    unlink_entry(t->entry_queue, t->entry_link);
    t->entry_link = nullptr;
    t->entry_queue = nullptr;
  }
  t->wchan = nullptr;
  uncount_holder_awaiting_task(t);
  leave_sem_wait(t);
  for (int i = 0; i < g_count; ++i)
    if (g_table[i].waiting_for == t) g_table[i].waiting_for = nullptr;
  if (t->cleanup != nullptr) {
    set_state(t, TS_CANCELLED);
    t->cleanup(t);
  }
  free(t->name);
  t->name = nullptr;
  set_state(t, TS_FREE);
  t->waiting_for = nullptr;
  if (t->fiber != nullptr) ++g_fibers_to_delete;
}

// Frees the running task and leaves its fiber for good.
[[noreturn]] void end_current_task() {
  Task* t = current_task;
  thread_free(t);
  current_task = nullptr;
  g_fiber_finishing = true;
  schedule();
  panic_assert_failed("schedule() returned", __FILE__, __LINE__);
}

void task_start(void* arg) {
  auto* t = static_cast<Task*>(arg);
  debug_log('T', 2, "Task start %d", t->id);
  t->entry();
  debug_log('T', 2, "Task %d returned", t->id);
  end_current_task();
}

// Deletes the fibers of ended tasks, except the one running now.
void delete_ended_fibers() {
  const platform::Fiber* running = platform::fiber_current();
  g_fibers_to_delete = 0;
  for (int i = 0; i < g_count; ++i) {
    Task* t = &g_table[i];
    if (t->state != TS_FREE || t->fiber == nullptr) continue;
    if (t->fiber == running) {
      ++g_fibers_to_delete;  // next pass
      continue;
    }
    platform::fiber_delete(t->fiber);
    t->fiber = nullptr;
  }
}

void schedule() {
  ZENT_ASSERT(g_initialized == 2);
  ZENT_ASSERT(!g_draining);
  debug_log('T', 3, "schedule()");
  drain_mailbox();

  if (g_fibers_to_delete > 0) delete_ended_fibers();

  // Both loops below compile to vector code: no branches per slot.
  uint8_t best = kNotRunnable;
  int system_runnable = 0, above_system = 0;
  const int system_slots = g_last_system_id < g_count ? g_last_system_id : g_count;
  for (int i = 0; i < system_slots; ++i) {
    best = std::min(best, g_run_priority[i]);
    system_runnable += g_run_priority[i] != kNotRunnable;
  }
  for (int i = system_slots; i < g_count; ++i) {
    best = std::min(best, g_run_priority[i]);
    above_system += g_run_priority[i] != kNotRunnable;
  }
  g_stats.runnable = system_runnable + above_system;
  g_stats.not_runnable = g_count - g_stats.runnable;
  g_stats.load = above_system;

  // Round robin: the first task of that priority after the current one.
  Task* next = nullptr;
  if (best != kNotRunnable) {
    const int start = current_task ? current_task->id % g_count : 0;
    const void* hit = memchr(g_run_priority + start, best, static_cast<size_t>(g_count - start));
    if (hit == nullptr) hit = memchr(g_run_priority, best, static_cast<size_t>(start));
    next = &g_table[static_cast<const uint8_t*>(hit) - g_run_priority];
  }
  if (next == nullptr) {
    debug_log('T', 0, "schedule: No runnable task found");
    panic_assert_failed("schedule: No runnable task found", __FILE__, __LINE__);
  }
  ++next->runs;
  if (next == current_task) return;
  if (current_task != nullptr)
    debug_log('T', 2, "Switching from task %d to %d", current_task->id, next->id);
  else
    debug_log('T', 2, "Switching to task %d", next->id);
  current_task = next;
  const bool finishing = g_fiber_finishing;
  g_fiber_finishing = false;
  platform::fiber_switch(next->fiber, finishing);
  ++g_stats.switches;
}

// --- Deadlock walk ------------------------------------------------------------

void deadlock_check(Task* self, TaskWeightFn weight) {
  if (++g_stamp == 0) ++g_stamp;
  const unsigned stamp = g_stamp;
  Task* closer = nullptr;
  for (Task* t = self->waiting_for; t != nullptr; t = t->waiting_for) {
    if (t->marker == stamp) {
      // A cycle further down the chain that this task is not part of: its
      // own wait closes none, so it sleeps like any waiter of that cycle.
      debug_log('T', 1, "Task %d waits for a deadlock cycle it is not part of (task %d)",
                self->id, t->id);
      return;
    }
    t->marker = stamp;
    if (t->waiting_for == self) {
      closer = t;
      break;
    }
  }
  if (closer == nullptr) return;

  debug_log('T', 1, "Deadlock detected between tasks %d and %d", self->id, closer->id);
  if (debug_enabled('T', 2)) {
    debug_log('T', 2, " task %d is about to block on task %d (%s, L%d)", self->id,
              self->waiting_for->id, base_name(self->file), self->line);
    for (Task* t = self->waiting_for; t != self; t = t->waiting_for)
      debug_log('T', 2, " task %d already blocks on task %d (%s, L%d)", t->id,
                t->waiting_for->id, base_name(t->file), t->line);
  }

  // The smallest non-zero weight loses, compared as signed values (an
  // unknown weight, -1, loses first); the task about to sleep wins ties by
  // coming first. When no weight is non-zero it is the victim itself, so
  // that no cycle is ever left standing.
  Task* victim = nullptr;
  if (weight != nullptr) {
    int best = 0;
    Task* t = self;
    do {
      const int w = weight(t);
      if (w != 0 && (victim == nullptr || w < best)) {
        victim = t;
        best = w;
      }
      t = t->waiting_for;
    } while (t != self);
  }
  if (victim == nullptr) victim = self;
  // A victim asleep in a wait that may not be cut (its waiting_for set by
  // hand) cannot give way: the sleeper does, so that no cycle stays.
  if (victim == self || thread_timeout(victim, 1) != 0) self->abort_value = 1;
}

// Sleeps the current task on q until woken or timed out; returns its abort
// value. The wait entry lives in this frame.
int sleep_current(WaitQueue* q, int state, bool may_be_cut, Task* waiting_for,
                  TaskWeightFn weight, const char* file, int line) {
  Task* self = current_task;
  ZENT_ASSERT(self != nullptr);
  ZENT_ASSERT(!g_draining);
  if (kCheckRules && may_be_cut && state == TS_BLOCKED && self->sem_wait == nullptr &&
      holds_any_units(self))
    ZENT_ASSERT(!"a holder of semaphore units waits for a task only in sleep_on_task");
  if (may_be_cut && self->cut_pending != 0) {
    // Cut before it began: the caller gives up at once.
    const int value = self->cut_pending;
    self->cut_pending = 0;
    debug_log('T', 2, "Cancelling current task %d", self->id);
    return value;
  }
  self->wait_may_be_cut = may_be_cut;
  self->file = file;
  self->line = line;
  self->block_ms = platform::monotonic_ms();
  debug_log('T', 2, "Blocking task %d", self->id);
  set_state(self, state);
  self->wchan = q;
  WaitEntry entry{self, nullptr, nullptr};
  add_wait_queue(q, &entry);
  self->entry_queue = q;
  self->entry_link = &entry;
  self->abort_value = 0;

  if (waiting_for != nullptr) {
    require_live(waiting_for);
    self->waiting_for = waiting_for;
    deadlock_check(self, weight);
  }
  if (self->abort_value != 0) {
    debug_log('T', 2, "Cancelling current task %d", self->id);
    make_runnable(self);
  } else {
    if (waiting_for != nullptr) count_holder_awaiting_task(self);
    schedule();
    uncount_holder_awaiting_task(self);
    // Every road back (wake-up, time-out) clears the link; a rename after
    // the wake-up must not survive into the next sleep either.
    self->waiting_for = nullptr;
  }

  self->entry_queue = nullptr;
  self->entry_link = nullptr;
  if (!unlink_entry(q, &entry)) {
    debug_log('T', 0, "Oops, entry not in wait list ?");
    panic_assert_failed("Oops, entry not in wait list ?", __FILE__, __LINE__);
  }
  if (debug_enabled('T', 3)) dump_wait_queue(q);
  return self->abort_value;
}

void release_table() {
  if (g_table == nullptr) return;
  for (int i = 0; i < g_count; ++i) {
    Task* t = &g_table[i];
    free(t->name);
    free_data(t);
    platform::fiber_delete(t->fiber);
  }
  delete[] g_table;
  g_table = nullptr;
  g_count = 0;
}

}  // namespace

// --- Set-up and control ------------------------------------------------------

int thread_init(int count) {
  if (count < 1 || count > kMaxTasks || g_initialized == 2) return -1;
  release_table();
  {
    std::lock_guard<std::mutex> lock(g_mail_mutex);
    g_mail.clear();
    g_mail_pending.store(false, std::memory_order_relaxed);
  }
  g_table = new (std::nothrow) Task[count]();
  if (g_table == nullptr) {
    g_initialized = 0;
    return -1;
  }
  g_count = count;
  g_fibers_to_delete = 0;
  g_holders_awaiting_tasks = 0;
  for (uint8_t& p : g_run_priority) p = kNotRunnable;
  for (int i = 0; i < count; ++i) {
    g_table[i].id = i + 1;
    g_table[i].stack = static_cast<int>(platform::kFiberDefaultStack);
  }
  current_task = nullptr;
  g_last_system_id = 0;
  g_system_tasks_done = false;
  g_stamp = 0;
  g_stats = {};
  g_initialized = 1;
  return 0;
}

Task* thread_create(void (*entry)(), int priority) {
  ZENT_ASSERT(g_initialized >= 1);
  if (priority < kTaskMinPriority || priority > kTaskMaxPriority || entry == nullptr) {
    debug_log('T', 0, "thread_create: Invalid priority %d", priority);
    return nullptr;
  }
  const platform::Fiber* running = platform::fiber_current();
  Task* t = nullptr;
  for (int i = 0; i < g_count && t == nullptr; ++i)
    if (g_table[i].state == TS_FREE && (g_table[i].fiber == nullptr || g_table[i].fiber != running))
      t = &g_table[i];
  if (t == nullptr) {
    debug_log('T', 0, "thread_create: Maximum number of threads already active.");
    return nullptr;
  }
  if (t->fiber != nullptr) {
    platform::fiber_delete(t->fiber);
    --g_fibers_to_delete;
  }
  t->fiber = platform::fiber_create(platform::kFiberDefaultStack, task_start, t);
  if (t->fiber == nullptr) {
    debug_log('T', 0, "Unable to allocate new task %d", t->id);
    return nullptr;
  }
  debug_log('T', 2, "Allocated new task %d", t->id);
  t->priority = priority;
  set_state(t, TS_RUNNING);
  t->entry = entry;
  free_data(t);
  t->error = 0;
  t->runs = 0;
  t->cleanup = nullptr;
  t->wchan = nullptr;
  t->name = nullptr;
  t->waiting_for = nullptr;
  t->marker = 0;
  t->abort_value = 0;
  t->file = nullptr;
  t->line = 0;
  t->entry_queue = nullptr;
  t->entry_link = nullptr;
  t->sem_wait = nullptr;
  t->sem_units = 0;
  t->holder_awaiting_task = false;
  t->wait_may_be_cut = false;
  t->cut_pending = 0;
  for (Task::Held& h : t->held) h = {nullptr, 0};
  t->held_overflow = false;
  t->serial.store(++g_serial, std::memory_order_relaxed);
  if (!g_system_tasks_done) g_last_system_id = t->id;
  return t;
}

void* thread_new(void (*entry)(), int priority) { return thread_create(entry, priority); }

void thread_system_tasks_done() {
  g_system_tasks_done = true;
  debug_log('T', 2, "Initialized system tasks, last id: %d", g_last_system_id);
}

int thread_run() {
  if (g_initialized != 1) return -1;
  g_main_fiber = platform::fiber_convert_thread();
  current_task = nullptr;
  g_initialized = 2;
  t_kernel_thread = true;
  g_kernel_running.store(true);
  schedule();
  g_kernel_running.store(false);
  t_kernel_thread = false;
  current_task = nullptr;
  g_initialized = 1;
  return 0;
}

int thread_kernel_running() { return g_kernel_running.load() ? 1 : 0; }

void thread_stop() {
  ZENT_ASSERT(current_task != nullptr && g_main_fiber != nullptr);
  ZENT_ASSERT(!g_draining);
  current_task = nullptr;
  platform::fiber_switch(g_main_fiber);
}

void thread_yield() {
  ZENT_ASSERT(!g_draining);  // posted work runs to its end
  if (current_task == nullptr) return;
  if (g_yield_hook != nullptr) g_yield_hook();
  schedule();
}

void thread_set_yield_hook(void (*hook)()) { g_yield_hook = hook; }

void thread_destroy(Task* task) {
  require_live(task);
  if (task == current_task) end_current_task();
  thread_free(task);
}

// --- Queries and settings -------------------------------------------------

Task* thread_self() { return current_task; }

Task* thread_by_id(int id) {
  if (id < 1 || id > g_count) return nullptr;
  return &g_table[id - 1];
}

int thread_id(const Task* task) { return task ? task->id : 0; }

int thread_state(const Task* task) {
  require_kernel_thread();
  return task ? task->state : TS_FREE;
}

WaitQueue* thread_wchan(const Task* task) {
  require_kernel_thread();
  require_live(task);
  return task->wchan;
}

int thread_set_priority(Task* task, int priority) {
  require_live(task);
  if (priority < kTaskMinPriority || priority > kTaskMaxPriority) return -1;
  task->priority = priority;
  set_state(task, task->state);
  return 0;
}

void* thread_get_data(const Task* task) {
  require_named(task);
  return task->data;
}

void thread_set_data(Task* task, void* data, TaskDataFreeFn free_fn) {
  require_named(task);
  if (task->data != data) free_data(task);
  task->data = data;
  task->data_free = free_fn;
}

Task* thread_find_by_data(const void* data) {
  for (int i = 0; i < g_count; ++i)
    if (g_table[i].state != TS_FREE && g_table[i].data == data) return &g_table[i];
  return nullptr;
}

void thread_set_cleanup(Task* task, TaskCleanupFn cleanup) {
  require_live(task);
  task->cleanup = cleanup;
}

void thread_set_name(Task* task, const char* name) {
  require_named(task);
  free(task->name);
  task->name = name ? strdup(name) : nullptr;
}

const char* thread_get_name(const Task* task) {
  require_named(task);
  return task->name ? task->name : "";
}

void thread_set_waiting_for(Task* task, Task* waiting_for) {
  require_live(task);
  if (waiting_for != nullptr) require_live(waiting_for);
  task->waiting_for = waiting_for;
}

// --- Sleeping and waking ---------------------------------------------------

int sleep_on(WaitQueue* queue, WaitCut cut, const char* file, int line) {
  return sleep_current(queue, TS_BLOCKED, cut == WAIT_MAY_BE_CUT, nullptr, nullptr, file, line);
}

int sleep_on_task(WaitQueue* queue, Task* waiting_for, TaskWeightFn weight, const char* file,
                  int line) {
  return sleep_current(queue, TS_INTERUPTABLE, true, waiting_for, weight, file, line);
}

void wake_up(WaitQueue* queue) {
  require_kernel_thread();
  // Entries stay linked: each sleeper unlinks its own when it runs again.
  for (WaitEntry* e = queue->head; e != nullptr; e = e->next) {
    Task* t = e->task;
    if (t->wchan != queue || !sleeping(t)) continue;  // woken already
    debug_log('T', 2, "Waking up task %d", t->id);
    make_runnable(t);
  }
}

void thread_block(Task* task) {
  require_live(task);
  ZENT_ASSERT(task->wchan == nullptr);
  set_state(task, TS_BLOCKED);
  task->block_ms = platform::monotonic_ms();
}

void thread_unblock(Task* task) {
  require_live(task);
  ZENT_ASSERT(task->wchan == nullptr);
  set_state(task, TS_RUNNING);
}

int thread_timeout(Task* task, int value) {
  require_live(task);
  // Woken meanwhile, never asleep, or in a wait its owner must see through.
  if (!sleeping(task) || !task->wait_may_be_cut) return -1;
  debug_log('T', 2, "Timing out task %d", task->id);
  make_runnable(task);
  task->abort_value = value != 0 ? value : -1;
  return 0;
}

int thread_cut(Task* task, int value) {
  if (thread_timeout(task, value) == 0) return 0;
  task->cut_pending = value != 0 ? value : -1;
  return 1;
}

void thread_drop_cut(Task* task) {
  require_live(task);
  task->cut_pending = 0;
}

void add_wait_queue(WaitQueue* queue, WaitEntry* entry) {
  entry->prev = nullptr;
  entry->next = queue->head;
  if (queue->head != nullptr) queue->head->prev = entry;
  queue->head = entry;
  if (debug_enabled('T', 3)) dump_wait_queue(queue);
}

void remove_wait_queue(WaitQueue* queue, WaitEntry* entry) {
  if (!unlink_entry(queue, entry)) {
    debug_log('T', 0, "Oops, entry not in wait list ?");
    panic_assert_failed("Oops, entry not in wait list ?", __FILE__, __LINE__);
  }
  if (debug_enabled('T', 3)) dump_wait_queue(queue);
}

void dump_wait_queue(const WaitQueue* queue) {
  for (const WaitEntry* e = queue->head; e != nullptr; e = e->next)
    debug_log('T', 3, " queue %p waiters: %d", static_cast<const void*>(queue), e->task->id);
}

// --- Semaphores -------------------------------------------------------------

int down_count(Semaphore* sem, int n, const char* file, int line) {
  ZENT_ASSERT(!g_draining);  // posted work takes no units: it could not wait for them
  Task* self = current_task;
  // Outside the kernel there is nobody to wait for: the single flow of
  // start-up and close-down takes what it asks for.
  if (self != nullptr && sem->owner != self && must_wait(sem, self, n)) {
    self->sem_wait = sem;
    self->sem_units = n;
    if (n > 1) ++sem->big_waiters;
    int result = 0;
    do {
      WaitQueue* q = sem->count - n < 0 ? &sem->wait : &sem->parked;
      if (sleep_on(q, WAIT_MAY_BE_CUT, file, line) != 0) {
        result = -1;
        break;
      }
    } while (must_wait(sem, self, n));
    // Take before leaving: takers parked behind this one are woken only
    // when something is left for them.
    if (result == 0) take_units(sem, self, n);
    leave_sem_wait(self);
    return result;
  }
  take_units(sem, self, n);
  return 0;
}

int down(Semaphore* sem, const char* file, int line) { return down_count(sem, 1, file, line); }

void up_count(Semaphore* sem, int n) {
  if (sem->count < 1) {
    ZENT_ASSERT(sem->owner == current_task);
    if (sem->count + n > 0) sem->owner = nullptr;
  }
  sem->count += n;
  note_given(current_task, sem, n);
  if (sem->count >= 1) wake_takers(sem);
}

void up(Semaphore* sem) { up_count(sem, 1); }

// --- Mailbox ------------------------------------------------------------------

int thread_post(void (*fn)(void* arg), void* arg) {
  return post({Post::kCall, fn, arg, 0, 0, 0});
}

void thread_post_unblock(Task* task) {
  if (task == nullptr) return;
  post_or_stop({Post::kUnblock, nullptr, nullptr, task->id,
                task->serial.load(std::memory_order_relaxed), 0},
               "thread_post_unblock");
}

void thread_post_timeout(Task* task, int value) {
  if (task == nullptr) return;
  post_or_stop({Post::kTimeout, nullptr, nullptr, task->id,
                task->serial.load(std::memory_order_relaxed), value},
               "thread_post_timeout");
}

void thread_post_wake_up(WaitQueue* queue) {
  post_or_stop({Post::kWakeUp, nullptr, queue, 0, 0, 0}, "thread_post_wake_up");
}

// --- Status -----------------------------------------------------------------

const TaskInfo* thread_info_next(int* cursor) {
  static TaskInfo info;
  while (*cursor >= 0 && *cursor < g_count) {
    const Task* t = &g_table[(*cursor)++];
    if (t->state == TS_FREE) continue;
    info = {};
    info.id = t->id;
    switch (t->state) {
      case TS_CANCELLED: info.state[0] = 'C'; break;
      case TS_RUNNING: info.state[0] = 'R'; break;
      case TS_BLOCKED: info.state[0] = 'S'; break;
      case TS_INTERUPTABLE: info.state[0] = 'W'; break;
      default: info.state[0] = '?'; break;
    }
    info.priority = t->priority;
    if (t->wchan != nullptr)
      snprintf(info.wchan, sizeof info.wchan, "%p", static_cast<void*>(t->wchan));
    if (t->state == TS_BLOCKED || t->state == TS_INTERUPTABLE || t->wchan != nullptr)
      info.blocked_seconds =
          static_cast<unsigned>((platform::monotonic_ms() - t->block_ms) / 1000);
    info.stack_size = t->stack;
    info.stack_max = t->stack;
    info.runs = t->runs;
    info.name = t->name ? t->name : "??";
    size_t len = 0;
    if (t->wchan != nullptr)
      len = static_cast<size_t>(snprintf(info.wait, sizeof info.wait, "file %.40s, line %d",
                                         base_name(t->file), t->line));
    if (t->waiting_for != nullptr && len < sizeof info.wait)
      len += static_cast<size_t>(snprintf(info.wait + len, sizeof info.wait - len,
                                          "%swaiting for %d", len ? " " : "",
                                          t->waiting_for->id));
    if (len > 0 && len + 1 < sizeof info.wait) {
      info.wait[len] = '\n';
      info.wait[len + 1] = '\0';
    }
    return &info;
  }
  return nullptr;
}

ThreadStats thread_stats() { return g_stats; }
