// tio.cpp - the sync thread, the read/write threads, waiter contexts and the
// hand-off of completions to waiting tasks (see tio.h).
//
// Who touches what:
//   - The server thread issues requests, queues them and sleeps its task on
//     the waiter context's wait queue; it never waits for an I/O thread
//     except in tio_drain and tio_cleanup.
//   - I/O threads perform the transfers and flushes, lower the contexts'
//     reference counts and, for the last one, post the wake-up through the
//     kernel's mailbox. They never touch task state themselves.
//   - A task sleeps only after its requests are handed over; the wake-up it
//     waits for runs on the server thread, so it cannot come before the sleep.
// Locks: each free list, the sync queue, each wait list and the in-flight
// record have their own mutex; the sync queue's is the only one held while
// another (the in-flight one) is taken.
#include "storage/tio.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/file.h"
#include "platform/syserr.h"
#include "platform/thread.h"
#include "storage/backup_seams.h"
#include "storage/page_io.h"

namespace {

[[noreturn]] void fatal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

// Set once an I/O thread has met a fatal failure. The panic that follows
// cleans up from that thread, and the failed request never completes: the
// clean-up must neither wait for it nor join the thread it runs on.
std::atomic<bool> g_failed{false};
thread_local bool t_io_thread = false;

int os_thread_id() { return static_cast<int>(gettid()); }

// --- Records -------------------------------------------------------------------

// What one caller waits for: outstanding transfers (or one flush).
struct TioCtx {
  TioCtx* next = nullptr;  // free list, or the waiter chain of a flush request
  int task_id = 0;
  WaitQueue wait;
  std::atomic<int> ref_count{0};
  int tio_mode = 0;
  // Set by the I/O thread before it posts the wake-up: the caller's
  // operations are done. A sleep ended by anything else is slept again.
  std::atomic<bool> done{false};
};

struct TioSyncRequest {
  platform::File* file = nullptr;
  TioCtx* waiters = nullptr;
  uint32_t id = 0;
  TioSyncRequest* next = nullptr;
  uint64_t start = 0;
  // Writes handed to the threads up to this sequence number come first.
  uint64_t write_bound = 0;
};

// One vector transfer of pages that follow each other in one file.
struct TioRwRequest {
  platform::File* file = nullptr;
  int mode = 0;  // 0 read, 1 write
  int nvec = 0;
  struct iovec iov[TIO_VEC_MAX];
  uint64_t offset = 0;
  uint32_t length = 0;  // bytes in all
  TioCtx* ctx = nullptr;
  uint32_t id = 0;
  TioRwRequest* next = nullptr;
  uint64_t start = 0;
  // Writes in flight: issue order and the links of the in-flight list.
  uint64_t seq = 0;
  TioRwRequest* flight_prev = nullptr;
  TioRwRequest* flight_next = nullptr;
};

// Records are recycled; nothing is freed while tio runs.
template <typename T>
class FreeList {
 public:
  T* get(const char* heap_overflow) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (T* r = head_) {
        head_ = r->next;
        r->next = nullptr;
        return r;
      }
    }
    T* r = new (std::nothrow) T();
    if (r == nullptr) {
      debug_log('T', 0, "%s", heap_overflow);
      fatal(heap_overflow);
    }
    return r;
  }
  void put(T* r) {
    std::lock_guard<std::mutex> lock(mutex_);
    r->next = head_;
    head_ = r;
  }
  int release_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    while (T* r = head_) {
      head_ = r->next;
      delete r;
      ++n;
    }
    return n;
  }

 private:
  std::mutex mutex_;
  T* head_ = nullptr;
};

// The transfers one read/write thread holds, the one in progress first.
struct WaitList {
  std::mutex mutex;
  std::condition_variable changed;
  TioRwRequest* head = nullptr;
  TioRwRequest* tail = nullptr;
  int count = 0;
  bool stop = false;
  std::atomic<int> thread_id{-1};
  std::thread thread;
};

struct SyncQueue {
  std::mutex mutex;
  std::condition_variable changed;
  TioSyncRequest* head = nullptr;
  TioSyncRequest* tail = nullptr;
  uint32_t count = 0;
  bool stop = false;
  std::atomic<int> thread_id{-1};
  std::thread thread;
};

// --- State ----------------------------------------------------------------------

std::atomic<bool> g_setup{false};
std::atomic<TioNotifyFn> g_notify{nullptr};
std::atomic<TioVolumeLookup> g_lookup{nullptr};

FreeList<TioCtx> g_ctx_free;
FreeList<TioSyncRequest> g_sync_free;
FreeList<TioRwRequest> g_rw_free;

SyncQueue g_sync;
// In start order; only the server thread changes the vector.
std::vector<std::unique_ptr<WaitList>> g_lists;
std::atomic<int> g_rw_thread_count{0};

std::atomic<uint32_t> g_sync_ids{0};
std::atomic<uint32_t> g_rw_ids{0};
std::atomic<uint64_t> g_flushes{0};
std::atomic<uint64_t> g_pages_read{0};
std::atomic<uint64_t> g_pages_written{0};

// Writes in flight (for flush ordering) and everything outstanding (for
// draining), under one mutex and one condition.
std::mutex g_flight_mutex;
std::condition_variable g_flight_changed;
TioRwRequest* g_flight_writes = nullptr;
uint64_t g_write_seq = 0;
std::atomic<int64_t> g_outstanding{0};

void wake_drainers() {
  std::lock_guard<std::mutex> lock(g_flight_mutex);
  g_flight_changed.notify_all();
}

void outstanding_done() {
  if (g_outstanding.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard<std::mutex> lock(g_flight_mutex);
    g_flight_changed.notify_all();
  }
}

void notify_server() {
  if (TioNotifyFn fn = g_notify.load()) fn("TIO");
}

TioCtx* get_ctx(int tio_mode, int ref_count) {
  TioCtx* ctx = g_ctx_free.get("get_tio_context() failed: heap overflow");
  Task* self = thread_self();
  ctx->task_id = self ? thread_id(self) : 0;
  ctx->wait = WaitQueue{};
  ctx->ref_count.store(ref_count, std::memory_order_relaxed);
  ctx->tio_mode = tio_mode;
  ctx->done.store(false, std::memory_order_relaxed);
  return ctx;
}

// Tells the waiting task its operations are done. The task frees the
// context once it runs again, after this post.
void post_done(TioCtx* ctx) {
  ctx->done.store(true, std::memory_order_release);
  thread_post_wake_up(&ctx->wait);
}

// A context whose operations are all done: wake its task, or free it when
// nobody waits or nobody can wake the task any more (the kernel stopped
// while it slept). *woke tells the caller to notify the server.
void ctx_due(TioCtx* ctx, bool* woke) {
  if (ctx->tio_mode == Vol_TIO_FULL_OVL) {
    debug_log('T', 3, "Overlapped request for task %d completed", ctx->task_id);
    g_ctx_free.put(ctx);
    return;
  }
  if (!thread_kernel_running()) {
    debug_log('T', 0, "tio notify: Unable to wake up task %d: thread kernel not running",
              ctx->task_id);
    g_ctx_free.put(ctx);
    return;
  }
  post_done(ctx);
  *woke = true;
}

// Sleeps the current task until its operations are done; then frees the
// context. A time-out can end the sleep early (a session being closed, say),
// but the I/O threads still use the caller's buffers and the context, so the
// task sleeps again. The sleep cannot miss the wake-up: that runs on this
// thread's scheduler, never between the test of done and the sleep. A
// wake-up still posted when the context is freed after such a time-out can
// only reach a later user of the recycled context, who sleeps again.
void wait_for(TioCtx* ctx) {
  for (;;) {
    sleep_on(&ctx->wait, WAIT_NEVER_CUT, __FILE__, __LINE__);
    if (ctx->done.load(std::memory_order_acquire)) break;
    debug_log('T', 2, "tio: sleep of task %d ended before its i/o, sleeping again",
              ctx->task_id);
  }
  g_ctx_free.put(ctx);
}

// --- Transfers -------------------------------------------------------------------

// Fills r with the run of vec[i..] that follows on in one file (at least one
// element); returns its length.
int take_run(const TioVec* vec, int nvec, int i, int mode, TioRwRequest* r) {
  r->file = vec[i].file;
  r->mode = mode;
  r->offset = vec[i].offset;
  r->length = 0;
  r->nvec = 0;
  int n = 0;
  do {
    ZENT_ASSERT(vec[i + n].buffer != nullptr && vec[i + n].length > 0);
    r->iov[n] = {vec[i + n].buffer, vec[i + n].length};
    r->length += vec[i + n].length;
    ++n;
  } while (i + n < nvec && vec[i + n].file == r->file &&
           vec[i + n].offset == r->offset + r->length);
  r->nvec = n;
  return n;
}

void count_pages(const TioRwRequest* r, int type) {
  for (int k = 0; k < r->nvec; ++k) Vol_StatUpdate(r->mode, r->start, type);
}

void count_issued(const TioRwRequest* r) {
  (r->mode == 0 ? g_pages_read : g_pages_written)
      .fetch_add(static_cast<uint64_t>(r->nvec), std::memory_order_relaxed);
}

void wake_drainers();

// A fatal failure: in an I/O thread, first release whoever waits for it.
[[noreturn]] void transfer_failed(const char* text) {
  if (t_io_thread) {
    g_failed.store(true);
    wake_drainers();
  }
  fatal(text);
}

// The blocking transfer of r, on whichever thread; any failure is fatal.
void perform(TioRwRequest* r, const char* what, const char* fatal_text) {
  size_t done = 0;
  int err = r->mode == 0 ? r->file->readv_at(r->iov, r->nvec, r->offset, &done)
                         : r->file->writev_at(r->iov, r->nvec, r->offset, &done);
  const char* op = r->mode == 0 ? "read" : "write";
  if (err != 0) {
    char label[64];
    snprintf(label, sizeof label, what, op);
    debug_syserr('T', 0, err, label);
    transfer_failed(fatal_text);
  }
  if (done != r->length) {
    char label[64];
    snprintf(label, sizeof label, what, op);
    debug_log('T', 0, "%s, bytes transferred: %u, expected: %u", label,
              static_cast<unsigned>(done), r->length);
    transfer_failed(fatal_text);
  }
}

void flight_add_writes(TioRwRequest* pending, int count) {
  std::lock_guard<std::mutex> lock(g_flight_mutex);
  g_outstanding.fetch_add(count, std::memory_order_relaxed);
  for (TioRwRequest* r = pending; r; r = r->next) {
    if (r->mode != 1) continue;
    r->seq = ++g_write_seq;
    r->flight_prev = nullptr;
    r->flight_next = g_flight_writes;
    if (g_flight_writes) g_flight_writes->flight_prev = r;
    g_flight_writes = r;
  }
}

void flight_remove_write(TioRwRequest* r) {
  std::lock_guard<std::mutex> lock(g_flight_mutex);
  if (r->flight_prev)
    r->flight_prev->flight_next = r->flight_next;
  else
    g_flight_writes = r->flight_next;
  if (r->flight_next) r->flight_next->flight_prev = r->flight_prev;
  r->flight_prev = r->flight_next = nullptr;
  g_flight_changed.notify_all();
}

// Blocks the sync thread until no write to file with a sequence number up to
// bound is in flight.
void wait_for_writes(platform::File* file, uint64_t bound) {
  std::unique_lock<std::mutex> lock(g_flight_mutex);
  g_flight_changed.wait(lock, [&] {
    if (g_failed.load()) return true;
    for (const TioRwRequest* w = g_flight_writes; w; w = w->flight_next)
      if (w->file == file && w->seq <= bound) return false;
    return true;
  });
}

// --- Read/write threads -----------------------------------------------------------

void complete_rw(TioRwRequest* r) {
  if (r->mode == 1) flight_remove_write(r);
  TioCtx* ctx = r->ctx;
  g_rw_free.put(r);
  bool woke = false;
  if (ctx->ref_count.fetch_sub(1, std::memory_order_acq_rel) == 1) ctx_due(ctx, &woke);
  if (woke) notify_server();
  outstanding_done();
}

void rw_thread_main(WaitList* wl) {
  t_io_thread = true;
  const int id = os_thread_id();
  wl->thread_id = id;
  debug_log('T', 2, "Started tio r/w thread #%d", id);
  std::unique_lock<std::mutex> lock(wl->mutex);
  for (;;) {
    wl->changed.wait(lock, [wl] { return wl->head != nullptr || wl->stop; });
    TioRwRequest* r = wl->head;
    if (r == nullptr) break;  // stopped with nothing left
    lock.unlock();
    perform(r, "Overlapped %s operation failed", "Overlapped operation failed");
    count_pages(r, Vol_STAT_BY_THREAD);
    const uint64_t waited = Vol_StatUpdate(-1, r->start, Vol_STAT_BY_THREAD);
    lock.lock();
    wl->head = r->next;
    if (wl->head == nullptr) wl->tail = nullptr;
    const int remaining = --wl->count;
    lock.unlock();
    debug_log('T', 3,
              "Finished request %u by tio r/w thread #%d (waiting for %u us), %u requests "
              "remaining",
              r->id, id, static_cast<unsigned>(waited), static_cast<unsigned>(remaining));
    complete_rw(r);
    lock.lock();
  }
  debug_log('T', 2, "Terminated tio r/w thread #%d", id);
}

int setup_rw_thread() {
  auto wl = std::unique_ptr<WaitList>(new (std::nothrow) WaitList);
  if (!wl) {
    debug_log('T', 0, "setup_rw_thread() failed: heap overflow");
    fatal("setup_rw_thread() failed: heap overflow");
  }
  WaitList* list = wl.get();
  if (int err = platform::start_thread(list->thread, "tio rw", [list] { rw_thread_main(list); })) {
    char text[256];
    platform::sys_error_text(err, text, sizeof text);
    debug_log('T', 0, "Failed to create tio r/w thread, errno = %d: %s", err, text);
    return -1;
  }
  std::this_thread::yield();
  g_lists.push_back(std::move(wl));
  g_rw_thread_count.store(static_cast<int>(g_lists.size()));
  return 0;
}

// Offers the pending requests to the threads in the order they were
// started; starts one more when every list is full.
void hand_off(TioRwRequest* pending) {
  for (size_t i = 0; pending != nullptr; ++i) {
    if (i == g_lists.size() && setup_rw_thread() != 0)
      fatal("Failed to create additional tio r/w thread");
    WaitList* wl = g_lists[i].get();
    bool took = false;
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      while (pending != nullptr && wl->count < TIO_LIST_MAX) {
        TioRwRequest* r = pending;
        pending = r->next;
        r->next = nullptr;
        if (wl->tail)
          wl->tail->next = r;
        else
          wl->head = r;
        wl->tail = r;
        ++wl->count;
        took = true;
        const int tid = wl->thread_id.load();
        if (tid != -1)
          debug_log('T', 3, "Request %u queued to tio r/w thread #%d, %u requests total", r->id,
                    tid, static_cast<unsigned>(wl->count));
      }
    }
    if (took) wl->changed.notify_one();
  }
}

void stop_rw_threads() {
  for (auto& wl : g_lists) {
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      wl->stop = true;
    }
    wl->changed.notify_one();
    platform::join_thread(wl->thread);
  }
  g_lists.clear();
  g_rw_thread_count.store(0);
}

// --- Sync thread --------------------------------------------------------------------

void sync_thread_main() {
  t_io_thread = true;
  const int id = os_thread_id();
  g_sync.thread_id = id;
  debug_log('T', 2, "Started tio sync thread #%d", id);
  for (;;) {
    TioSyncRequest* r;
    uint32_t remaining;
    {
      std::unique_lock<std::mutex> lock(g_sync.mutex);
      g_sync.changed.wait(lock, [] { return g_sync.head != nullptr || g_sync.stop; });
      r = g_sync.head;
      if (r == nullptr) break;  // stopped with nothing left
      g_sync.head = r->next;
      if (g_sync.head == nullptr) g_sync.tail = nullptr;
      remaining = --g_sync.count;
    }
    debug_log('T', 3, "Processing request %u by tio sync thread #%d, %u requests remaining", r->id,
              id, remaining);
    // Early notification: OP_OVL callers only wait for the take.
    bool woke = false;
    for (TioCtx** p = &r->waiters; *p != nullptr;) {
      TioCtx* ctx = *p;
      if (ctx->tio_mode != Vol_TIO_OP_OVL) {
        p = &ctx->next;
        continue;
      }
      *p = ctx->next;
      ctx->next = nullptr;
      ctx_due(ctx, &woke);
    }
    if (woke) notify_server();

    wait_for_writes(r->file, r->write_bound);
    if (int err = r->file->datasync()) {
      debug_syserr('T', 0, err, "sync_thread_main() failed on FlushFileBuffers()");
      transfer_failed("sync_thread_main() failed on FlushFileBuffers()");
    }
    Vol_StatUpdate(Vol_STAT_TIO, r->start, Vol_STAT_BY_THREAD);
    g_flushes.fetch_add(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(g_sync.mutex);
      remaining = g_sync.count;
    }
    debug_log('T', 3, "Finished request %u by tio sync thread #%d, %u requests remaining", r->id,
              id, remaining);

    woke = false;
    TioCtx* ctx = r->waiters;
    r->waiters = nullptr;
    while (ctx != nullptr) {
      TioCtx* next = ctx->next;
      ZENT_ASSERT(ctx->tio_mode != Vol_TIO_OP_OVL);
      ctx->next = nullptr;
      if (ctx->ref_count.fetch_sub(1, std::memory_order_acq_rel) == 1) ctx_due(ctx, &woke);
      ctx = next;
    }
    g_sync_free.put(r);
    if (woke) notify_server();
    outstanding_done();
  }
  debug_log('T', 2, "Terminated tio sync thread #%d", id);
}

int setup_sync_thread() {
  g_sync.stop = false;
  if (int err = platform::start_thread(g_sync.thread, "tio sync", sync_thread_main)) {
    char text[256];
    platform::sys_error_text(err, text, sizeof text);
    debug_log('T', 0, "Failed to create tio sync thread, errno = %d: %s", err, text);
    return -1;
  }
  std::this_thread::yield();
  return 0;
}

void stop_sync_thread() {
  {
    std::lock_guard<std::mutex> lock(g_sync.mutex);
    g_sync.stop = true;
  }
  g_sync.changed.notify_one();
  platform::join_thread(g_sync.thread);
}

// The direct road: no task to put to sleep, so the caller's thread waits.
void rw_direct(int mode, int nvec, const TioVec* vec) {
  TioRwRequest r;
  for (int i = 0; i < nvec;) {
    i += take_run(vec, nvec, i, mode, &r);
    r.start = Vol_StatStart();
    perform(&r, mode == 0 ? "ReadFile() failed" : "WriteFile() failed", "I/O operation failed");
    count_pages(&r, Vol_STAT_AT_ONCE);
    count_issued(&r);
  }
}

}  // namespace

// --- Interface ----------------------------------------------------------------------

const char* tio_mode_name(int tio_mode) {
  switch (tio_mode) {
    case Vol_TIO_SYNC: return "SYNC";
    case Vol_TIO_OP_OVL: return "OP_OVL";
    case Vol_TIO_FULL_OVL: return "FULL_OVL";
    default: return "?";
  }
}

void tio_set_notify(TioNotifyFn fn) { g_notify.store(fn); }

void tio_set_volume_lookup(TioVolumeLookup fn) { g_lookup.store(fn); }

int tio_setup() {
  debug_log('D', 2, "tio_setup: allocating async i/o ressources");
  ZENT_ASSERT(!g_setup.load() && g_lists.empty());
  if (setup_rw_thread() != 0) return -1;
  if (setup_sync_thread() != 0) {
    stop_rw_threads();
    return -1;
  }
  g_setup.store(true);
  return 0;
}

void tio_drain() {
  std::unique_lock<std::mutex> lock(g_flight_mutex);
  g_flight_changed.wait(lock, [] {
    return g_outstanding.load(std::memory_order_acquire) == 0 || g_failed.load();
  });
}

void tio_cleanup() {
  debug_log('D', 2, "tio_cleanup: freeing async i/o ressources");
  // New requests take the direct road from here on; queued ones finish first.
  g_setup.store(false);
  tio_drain();
  if (g_failed.load() || t_io_thread) {
    // A fatal failure is on its way to ending the process; a thread still
    // blocked in it must not be waited for, nor its records freed under it.
    debug_log('D', 2, "tio_cleanup: I/O threads left to the process exit");
    return;
  }
  stop_rw_threads();
  if (g_sync.thread.joinable()) stop_sync_thread();
  const int counts[] = {g_ctx_free.release_all(), g_sync_free.release_all(),
                        g_rw_free.release_all()};
  for (int n : counts) {
    debug_log('D', 3, "Cleaning up %s", "tio free-list");
    debug_log('D', 3, " %d entries", n);
  }
}

int tio_active() { return g_setup.load(std::memory_order_relaxed) && thread_self() != nullptr; }

int tio_rw_threads() { return g_rw_thread_count.load(); }

int tio_fsync(platform::File* f, int tio_mode) {
  ZENT_ASSERT(tio_mode >= Vol_TIO_SYNC && tio_mode <= Vol_TIO_FULL_OVL);
  if (!tio_active()) {
    const uint64_t start = Vol_StatStart();
    if (int err = f->datasync()) {
      debug_syserr('T', 0, err, "tio_fsync() failed on FlushFileBuffers()");
      fatal("tio_fsync() failed on FlushFileBuffers()");
    }
    Vol_StatUpdate(Vol_STAT_TIO, start, Vol_STAT_AT_ONCE);
    g_flushes.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  TioCtx* ctx = get_ctx(tio_mode, 1);
  uint64_t bound;
  {
    std::lock_guard<std::mutex> lock(g_flight_mutex);
    bound = g_write_seq;
  }
  bool queued_new = false;
  {
    std::lock_guard<std::mutex> lock(g_sync.mutex);
    TioSyncRequest* r = g_sync.head;
    while (r != nullptr && r->file != f) r = r->next;
    if (r != nullptr) {
      // Not taken yet: this caller's earlier writes also go before it.
      ctx->next = r->waiters;
      r->waiters = ctx;
      r->write_bound = bound;
      debug_log('T', 3, "Expanded request %u belonging to tio sync thread #%d, %u requests total",
                r->id, g_sync.thread_id.load(), g_sync.count);
    } else {
      r = g_sync_free.get("tio_fsync() failed: heap overflow");
      r->file = f;
      r->waiters = ctx;
      r->id = ++g_sync_ids;
      r->start = Vol_StatStart();
      r->write_bound = bound;
      r->next = nullptr;
      g_outstanding.fetch_add(1, std::memory_order_relaxed);
      if (g_sync.tail)
        g_sync.tail->next = r;
      else
        g_sync.head = r;
      g_sync.tail = r;
      ++g_sync.count;
      queued_new = true;
      debug_log('T', 3, "Request %u queued to tio sync thread #%d, %u requests total", r->id,
                g_sync.thread_id.load(), g_sync.count);
    }
  }
  if (queued_new) g_sync.changed.notify_one();
  // FULL_OVL: the sync thread frees the context; it may be gone already.
  if (tio_mode == Vol_TIO_FULL_OVL) return 0;
  wait_for(ctx);
  return 0;
}

int tio_rw(int mode, int tio_mode, int nvec, const TioVec* vec) {
  ZENT_ASSERT(mode == 0 || mode == 1);
  ZENT_ASSERT(tio_mode == Vol_TIO_SYNC || tio_mode == Vol_TIO_FULL_OVL);
  ZENT_ASSERT(nvec > 0);
  ZENT_ASSERT(nvec <= TIO_VEC_MAX);
  if (!tio_active()) {
    rw_direct(mode, nvec, vec);
    return 0;
  }
  TioCtx* ctx = get_ctx(tio_mode, 0);
  TioRwRequest* pending = nullptr;
  TioRwRequest** tail = &pending;
  int npending = 0;
  for (int i = 0; i < nvec;) {
    TioRwRequest* r = g_rw_free.get("tio_rw() failed: heap overflow");
    i += take_run(vec, nvec, i, mode, r);
    r->ctx = ctx;
    r->id = ++g_rw_ids;
    r->start = Vol_StatStart();
    r->next = nullptr;
    const int rc = mode == 0 ? r->file->try_readv_at(r->iov, r->nvec, r->offset)
                             : r->file->try_writev_at(r->iov, r->nvec, r->offset);
    count_issued(r);
    if (rc == 0) {
      count_pages(r, Vol_STAT_AT_ONCE);
      g_rw_free.put(r);
      continue;
    }
    if (rc != EAGAIN) {
      debug_syserr('T', 0, rc, mode == 0 ? "ReadFile() failed" : "WriteFile() failed");
      fatal("Overlapped operation failed");
    }
    ctx->ref_count.fetch_add(1, std::memory_order_relaxed);
    *tail = r;
    tail = &r->next;
    ++npending;
  }
  if (npending == 0) {
    g_ctx_free.put(ctx);
    return 0;
  }
  flight_add_writes(pending, npending);
  hand_off(pending);
  // FULL_OVL: the last completion frees the context; it may be gone already.
  if (tio_mode == Vol_TIO_FULL_OVL) return 0;
  wait_for(ctx);
  return 0;
}

int tio_read_cluster(Vol_PAGEADDR start_page, int pg_count, void* const* pg_vec) {
  ZENT_ASSERT(start_page);
  ZENT_ASSERT(pg_count > 0);
  ZENT_ASSERT(pg_count <= Vol_MAXCLUST);
  ZENT_ASSERT(pg_vec);
  TioVolumeLookup lookup = g_lookup.load();
  ZENT_ASSERT(lookup != nullptr);
  VOLUME* vol = lookup(PAGE_VOLID(start_page));
  ZENT_ASSERT(vol != nullptr);
  if (!tio_active()) return Vol_ReadVector(vol, PAGE_NUMBER(start_page), pg_count, pg_vec);
  const bool redirect = Vol_TestFlag(Vol_REDIRECT_PAGES, &vol->header) != 0;
  TioVec vec[TIO_VEC_MAX];
  for (int i = 0; i < pg_count; ++i) {
    VOLUME* target = vol;
    uint32_t page = PAGE_NUMBER(start_page) + static_cast<uint32_t>(i);
    if (redirect) target = Vol_RedirectPage(vol, &page, nullptr);
    vec[i] = {target->fhandle, pg_vec[i], Vol_PAGESIZE, Vol_PageOffset(page)};
    ++target->io_count;
    ++target->read_count;
  }
  return tio_rw(0, Vol_TIO_SYNC, pg_count, vec);
}

TioCounters tio_counters() {
  return {g_flushes.load(), g_pages_read.load(), g_pages_written.load()};
}
