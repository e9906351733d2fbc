// system_tasks.cpp - checkpoint, syncer and ps tasks and their wake-ups
// (see system_tasks.h).
//
// A timer never touches a task: its callback posts the wake-up to the
// server thread through the kernel's mailbox and releases the sync
// semaphore, so the decision "is a checkpoint running, is the task blocked"
// is made where that state lives.
#include "server/system_tasks.h"

#include <climits>
#include <cstdint>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"
#include "storage/volume_set.h"

int checkpt_active = 0;
unsigned log_size_limit = 0;

namespace {

// After a failed checkpoint: the wait before the next try, doubling up to
// the checkpoint interval. Meanwhile only the retry timer and the interval
// timer wake the task, so a log that stays long does not make it fail over
// and over.
constexpr int kRetryFirstMs = 1000;
int retry_ms = 0;
int checkpt_backoff = 0;

void post_failed(const char* what) {
  debug_log('T', 0, "%s: unable to post wake-up, task not woken", what);
}

// Server thread, posted by the checkpoint timer.
void checkpoint_timer_wake(void*) {
  if (!checkpt_active && tc_checkpt != nullptr) wake_task(tc_checkpt, "TIMER");
}

void checkpoint_timer(void*) {
  if (thread_post(checkpoint_timer_wake, nullptr) != 0) {
    post_failed("checkpoint timer");
    return;
  }
  notify_event("TIMER");
}

// Server thread, posted by the retry timer: the wait is over.
void checkpoint_retry_wake(void*) {
  checkpt_backoff = 0;
  checkpoint_timer_wake(nullptr);
}

void checkpoint_retry_timer(void*) {
  if (thread_post(checkpoint_retry_wake, nullptr) != 0) {
    post_failed("checkpoint retry timer");
    return;
  }
  notify_event("TIMER");
}

// The server goes on; the log that the checkpoint should have freed stays,
// and commits that no longer fit in it are refused until a try succeeds.
void checkpoint_failed(int interval_ms) {
  retry_ms = retry_ms == 0 ? kRetryFirstMs : retry_ms * 2;
  if (retry_ms > interval_ms) retry_ms = interval_ms;
  debug_log('T', 0, "Checkpoint failed, trying again in %d ms", retry_ms);
  checkpt_backoff = 1;
  if (vtimer_add(retry_ms, 0, nullptr, checkpoint_retry_timer, nullptr) < 0) {
    debug_log('T', 0, "checkpoint_thread: no timer for the retry, waiting for the next interval");
    checkpt_backoff = 0;
  }
}

// The allocator found the LOG volumes short.
void log_short() { schedule_checkpoint("Transaction log volume short", 1); }

void posted_wake(void* task) { wake_task(static_cast<Task*>(task), "TIMER"); }

// Seconds to timer milliseconds without overflowing the timer's int.
int seconds_to_ms(int seconds) {
  const int64_t ms = int64_t{seconds} * 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

ClientSession* worker_session(const Task* t) {
  for (int i = 0; i < max_workers; ++i)
    if (tc_worker[i] == t) return session_of(tc_worker[i]);
  return nullptr;
}

void ps_dump() {
  debug_log('D', 0, "Session    TID Host / IP ADDR       Platf User / Login");
  debug_log('D', 0, "---------- --- -------------------- ----- --------------------");
  for (int i = 0; i < max_workers; ++i) {
    Task* t = tc_worker[i];
    ClientSession* s = t ? session_of(t) : nullptr;
    if (s == nullptr) continue;
    char addr[16], where[32];
    snprintf(where, sizeof where, "%s:%d", format_ipv4(s->peer_addr, addr), s->port);
    // Host, platform and user came from the peer.
    debug_log('D', 0, "%-10p %3d %-20.20s %-5.5s %s", static_cast<void*>(s->db_session),
              thread_id(t), LogText(s->host).c_str(), LogText(s->platform).c_str(),
              LogText(s->os_user).c_str());
    debug_log('D', 0, "%14s %-20.20s %5s %s", "", where, "",
              LogText(idb_session_user_name(s->db_session)).c_str());
  }
  debug_log('D', 0, "Session    TID ST WCHAN      Blocked  Sched    Name");
  debug_log('D', 0, "---------- --- -- ---------- -------- -------- --------------------");
  int cursor = 0;
  while (const TaskInfo* info = thread_info_next(&cursor)) {
    ClientSession* s = worker_session(thread_by_id(info->id));
    if (s != nullptr && s->db_session != nullptr)
      debug_log('D', 0, "%-10p %3d %c  %-10.10s %8u %8u %-20.20s",
                static_cast<void*>(s->db_session), info->id, info->state[0], info->wchan,
                info->blocked_seconds, info->runs, info->name);
    else
      debug_log('D', 0, "%-10s %3d %c  %-10.10s %8u %8u %-20.20s", "internal", info->id,
                info->state[0], info->wchan, info->blocked_seconds, info->runs, info->name);
    if (info->wait[0] != '\0') debug_log('D', 0, "%s", info->wait);
  }
}

}  // namespace

int wake_task(Task* task, const char* text) {
  debug_log('T', 2, "Waking up thread %d (%s)", thread_id(task), thread_get_name(task));
  if (!blocked_without_wchan(task)) return 0;
  thread_unblock(task);
  notify_event(text);
  return 1;
}

void vtimer_wake_task(void* task) {
  if (thread_post(posted_wake, task) != 0) {
    post_failed("timer");
    return;
  }
  notify_event("TIMER");
}

void schedule_checkpoint(const char* reason, int urgent) {
  if (tc_checkpt == nullptr) return;
  if (!checkpt_active && !checkpt_backoff) {
    if (reason != nullptr) debug_log('T', 2, "Scheduling checkpoint: %s", reason);
    if (blocked_without_wchan(tc_checkpt)) thread_unblock(tc_checkpt);
  }
  if (urgent) thread_set_priority(tc_checkpt, 4);
}

unsigned checkpoint_log_limit(unsigned size_limit, uint32_t capacity) {
  const unsigned share = capacity / 2;
  if (capacity == 0 || (size_limit != 0 && size_limit <= share)) return size_limit;
  return share;
}

void checkpoint_check_log_size() {
  if (tc_checkpt == nullptr) return;
  const unsigned limit = checkpoint_log_limit(log_size_limit, Vol_TlogCapacity());
  if (limit == 0) return;
  const unsigned pages = Tlog_LogSize();
  if (pages <= limit) return;
  if (!checkpt_active && !checkpt_backoff) {
    debug_log('T', 2, "Scheduling checkpoint: Discardable log pages = %u", pages);
    if (blocked_without_wchan(tc_checkpt)) thread_unblock(tc_checkpt);
  }
  thread_set_priority(tc_checkpt, 4);
}

int dbml_checkpoint() {
  debug_log('D', 2, "Checkpointing volume ...");
  if (Tlog_Checkpoint("Checkpoint") != 0) {
    debug_log('D', 0, "Checkpoint operation failed");
    debug_log('D', 0, "Tlog_Checkpoint() failed with %s", error_text());
    return -1;
  }
  return 0;
}

void checkpoint_thread() {
  Task* self = thread_self();
  const SrvLimits* lim = server_cfg->limits;
  debug_log('T', 2, "Checkpoint thread %d started", thread_id(self));
  debug_log('T', 2, "Checkpoint frequency %d seconds", lim->checkpt_freq);
  debug_log('T', 2, "Checkpoint log size limit is %d MB", lim->checkpt_size);
  if (vtimer_add(seconds_to_ms(lim->checkpt_freq), 1, nullptr, checkpoint_timer, nullptr) < 0)
    ZENT_ASSERT(!"checkpoint_thread: virtual timer operation failed");
  log_size_limit = static_cast<unsigned>(lim->checkpt_size) * 128;
  Vol_SetTlogShortFn(log_short);
  retry_ms = 0;
  checkpt_backoff = 0;
  for (;;) {
    thread_block(self);
    thread_set_priority(self, 5);
    thread_yield();
    checkpt_active = 1;
    const bool exclusive = Vol_IsRedirected() != 0;
    if (exclusive) {
      if (Tlog_ApiLock() != 0) ZENT_ASSERT(!"checkpoint_thread: Tlog_ApiLock() failed");
    } else {
      if (Tlog_ApiSharedLock() != 0)
        ZENT_ASSERT(!"checkpoint_thread: Tlog_ApiSharedLock() failed");
    }
    const bool failed = dbml_checkpoint() != 0;
    if (exclusive)
      Tlog_ApiUnlock();
    else
      Tlog_ApiSharedUnlock();
    checkpt_active = 0;
    if (failed)
      checkpoint_failed(seconds_to_ms(lim->checkpt_freq));
    else
      retry_ms = 0;
  }
}

void syncer_thread() {
  Task* self = thread_self();
  const SrvLimits* lim = server_cfg->limits;
  debug_log('T', 2, "Syncer thread %d started", thread_id(self));
  debug_log('T', 2, "Syncer frequency %d seconds", lim->syncer_freq);
  if (lim->syncer_nsync != 0) debug_log('T', 2, "Pre-sync if %d pages written", lim->syncer_nsync);
  if (vtimer_add(seconds_to_ms(lim->syncer_freq), 1, nullptr, vtimer_wake_task, self) < 0)
    ZENT_ASSERT(!"syncer_thread: virtual timer operation failed");
  for (;;) {
    thread_block(self);
    thread_yield();
    if (!server_shutdown) buf_Sweep(lim->syncer_nsync);
  }
}

void ps_thread() {
  Task* self = thread_self();
  debug_log('T', 2, "ps thread %d started", thread_id(self));
  for (;;) {
    thread_block(self);
    thread_yield();
    ps_dump();
  }
}
