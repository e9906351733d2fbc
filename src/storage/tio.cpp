// tio.cpp - the sync thread, the read/write threads, waiter contexts and the
// hand-off of completions to waiting tasks (see tio.h).
//
// Read/write threads come in two kinds:
//   - ring threads, each with its own io_uring ring holding up to
//     TIO_LIST_MAX transfers in flight at once; they take transfers on files
//     the kernel can address directly (File::ring_fd);
//   - blocking threads, each doing one transfer at a time with the file's
//     own calls; they take every transfer when the kernel refuses io_uring
//     (or it is switched off), and transfers on files that have no
//     descriptor for the ring (the test double), so the double sees them.
//     A new one starts when every blocking thread is busy.
//
// Who touches what:
//   - The server thread issues requests, queues them and sleeps its task on
//     the waiter context's wait queue; it never waits for an I/O thread
//     except in tio_drain and tio_cleanup. It never enters a ring: it queues
//     to a ring thread and wakes it through the thread's eventfd, so the
//     kernel's completion work runs on the ring thread, not on the server's.
//   - I/O threads perform the transfers and flushes, lower the contexts'
//     reference counts and, for the last one, post the wake-up through the
//     kernel's mailbox. They never touch task state themselves.
//   - A task sleeps only after its requests are handed over; the wake-up it
//     waits for runs on the server thread, so it cannot come before the sleep.
// Locks: each free list, the sync queue, each wait list and the in-flight
// record have their own mutex; the sync queue's is the only one held while
// another (the in-flight one) is taken. A ring thread submits and reaps
// holding its list's mutex only while it moves requests, never while it
// waits; its ring is its own (one issuer).
#include "storage/tio.h"

#include <liburing.h>
#include <sys/eventfd.h>
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
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/file.h"
#include "platform/syserr.h"
#include "platform/thread.h"
#include "storage/backup_redirect.h"
#include "storage/page_io.h"
#include "storage/volume_set.h"

namespace {

[[noreturn]] void fatal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

// Set once an I/O thread has met a fatal failure. The panic that follows
// cleans up from that thread, and the failed request never completes: the
// clean-up must neither wait for it nor join the thread it runs on.
std::atomic<bool> g_failed{false};
thread_local bool t_io_thread = false;

int os_thread_id() { return static_cast<int>(gettid()); }

// Files whose flush failed, with each error met. After a failed fdatasync
// the system may have dropped written pages and reports the loss once: a
// later flush that succeeds proves nothing about them. So a file keeps its
// failure until the volume set has written everything again
// (tio_flush_mended) or closes it (tio_forget_file); the errors logged are
// remembered until then too.
struct FlushFailure {
  const platform::File* file;
  int err;
  uint32_t count;  // failed flushes with this error not mended yet
};
std::mutex g_flush_fail_mutex;
std::vector<FlushFailure> g_flush_fails;

// Logged once per file and error.
void note_flush_failure(const platform::File* f, int err) {
  {
    std::lock_guard<std::mutex> lock(g_flush_fail_mutex);
    for (FlushFailure& e : g_flush_fails)
      if (e.file == f && e.err == err) {
        ++e.count;
        return;
      }
    g_flush_fails.push_back({f, err, 1});
  }
  debug_syserr('T', 0, err, "Unable to flush a volume file, its recent writes may be lost");
}

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
  // Progress on a ring: bytes moved, and iov[first..nvec) still to move
  // (iov[first] advanced past what moved). The page count stays in pages.
  uint32_t moved = 0;
  int first = 0;
  int pages = 0;
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

enum class RwKind { Ring, Blocking };

// The transfers one read/write thread holds. A blocking thread's queue has
// the one in progress first; a ring thread's queue holds what it has not
// submitted yet, and count includes those in flight.
struct WaitList {
  explicit WaitList(RwKind k) : kind(k) {}
  ~WaitList() {
    if (ring_ready) io_uring_queue_exit(&ring);
    if (wake_fd >= 0) close(wake_fd);
  }
  const RwKind kind;
  std::mutex mutex;
  std::condition_variable changed;  // blocking threads wait on it
  TioRwRequest* head = nullptr;
  TioRwRequest* tail = nullptr;
  int count = 0;
  bool stop = false;
  std::atomic<int> thread_id{-1};
  std::thread thread;
  // Ring threads: the ring, and the eventfd the server thread writes to
  // wake the thread for new requests or the stop.
  struct io_uring ring {};
  bool ring_ready = false;
  bool ring_disabled = false;  // until the thread enables it
  int wake_fd = -1;
  uint64_t wake_value = 0;
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
// Transfers go to rings when allowed and the kernel gave the first ring.
std::atomic<bool> g_ring_allowed{true};
std::atomic<bool> g_ring_mode{false};
// Blocking threads grow one per busy thread up to this many; past it each
// takes up to TIO_LIST_MAX again, so a flood cannot start a thread per
// transfer.
constexpr int kBlockingThreadsOneEach = 256;

std::atomic<uint32_t> g_sync_ids{0};
std::atomic<uint32_t> g_rw_ids{0};
std::atomic<uint64_t> g_flushes{0};
std::atomic<uint64_t> g_pages_read{0};
std::atomic<uint64_t> g_pages_written{0};
std::atomic<uint64_t> g_flush_write_waits{0};

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

void outstanding_done(int64_t n = 1) {
  if (g_outstanding.fetch_sub(n, std::memory_order_acq_rel) == n) {
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
  r->pages = n;
  r->moved = 0;
  r->first = 0;
  return n;
}

void count_pages(const TioRwRequest* r, int type) {
  for (int k = 0; k < r->pages; ++k) Vol_StatUpdate(r->mode, r->start, type);
}

void count_issued(const TioRwRequest* r) {
  (r->mode == 0 ? g_pages_read : g_pages_written)
      .fetch_add(static_cast<uint64_t>(r->pages), std::memory_order_relaxed);
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

// A transfer that failed (err) or came short (done bytes): logged with
// what ("... %s ...", read or write) and fatal.
[[noreturn]] void transfer_fault(const TioRwRequest* r, int err, size_t done, const char* what,
                                 const char* fatal_text) {
  char label[64];
  snprintf(label, sizeof label, what, r->mode == 0 ? "read" : "write");
  if (err != 0)
    debug_syserr('T', 0, err, label);
  else
    debug_log('T', 0, "%s, bytes transferred: %u, expected: %u", label,
              static_cast<unsigned>(done), r->length);
  transfer_failed(fatal_text);
}

// The blocking transfer of r, on whichever thread; any failure is fatal.
void perform(TioRwRequest* r, const char* what, const char* fatal_text) {
  size_t done = 0;
  int err = r->mode == 0 ? r->file->readv_at(r->iov, r->nvec, r->offset, &done)
                         : r->file->writev_at(r->iov, r->nvec, r->offset, &done);
  if (err != 0 || done != r->length) transfer_fault(r, err, done, what, fatal_text);
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
  auto clear = [&] {
    if (g_failed.load()) return true;
    for (const TioRwRequest* w = g_flight_writes; w; w = w->flight_next)
      if (w->file == file && w->seq <= bound) return false;
    return true;
  };
  if (clear()) return;
  g_flush_write_waits.fetch_add(1, std::memory_order_relaxed);
  g_flight_changed.wait(lock, clear);
}

// --- Read/write threads -----------------------------------------------------------

// A transfer is done: its waiter learns it. *woke tells the caller to
// notify the server before it counts the transfer out (outstanding_done),
// since a drain that sees nothing outstanding may take the notifier away.
void finish_rw(TioRwRequest* r, bool* woke) {
  if (r->mode == 1) flight_remove_write(r);
  TioCtx* ctx = r->ctx;
  g_rw_free.put(r);
  if (ctx->ref_count.fetch_sub(1, std::memory_order_acq_rel) == 1) ctx_due(ctx, woke);
}

void complete_rw(TioRwRequest* r) {
  bool woke = false;
  finish_rw(r, &woke);
  if (woke) notify_server();
  outstanding_done();
}

void log_finished(const TioRwRequest* r, int thread, int remaining) {
  const uint64_t waited = Vol_StatUpdate(-1, r->start, Vol_STAT_BY_THREAD);
  debug_log('T', 3,
            "Finished request %u by tio r/w thread #%d (waiting for %u us), %u requests "
            "remaining",
            r->id, thread, static_cast<unsigned>(waited), static_cast<unsigned>(remaining));
}

void push_back(WaitList* wl, TioRwRequest* r) {
  r->next = nullptr;
  if (wl->tail)
    wl->tail->next = r;
  else
    wl->head = r;
  wl->tail = r;
}

TioRwRequest* take_all(WaitList* wl) {
  TioRwRequest* r = wl->head;
  wl->head = wl->tail = nullptr;
  return r;
}

// What every read/write thread does first; its id.
int rw_thread_started(WaitList* wl) {
  t_io_thread = true;
  const int id = os_thread_id();
  wl->thread_id = id;
  debug_log('T', 2, "Started tio r/w thread #%d", id);
  return id;
}

// A blocking thread: one transfer at a time, in the order queued.
void blocking_thread_main(WaitList* wl) {
  const int id = rw_thread_started(wl);
  std::unique_lock<std::mutex> lock(wl->mutex);
  for (;;) {
    wl->changed.wait(lock, [wl] { return wl->head != nullptr || wl->stop; });
    TioRwRequest* r = wl->head;
    if (r == nullptr) break;  // stopped with nothing left
    lock.unlock();
    perform(r, "Overlapped %s operation failed", "Overlapped operation failed");
    count_pages(r, Vol_STAT_BY_THREAD);
    lock.lock();
    wl->head = r->next;
    if (wl->head == nullptr) wl->tail = nullptr;
    const int remaining = --wl->count;
    lock.unlock();
    log_finished(r, id, remaining);
    complete_rw(r);
    lock.lock();
  }
  debug_log('T', 2, "Terminated tio r/w thread #%d", id);
}

// --- Ring threads ----------------------------------------------------------------

// user_data of the eventfd read that wakes a ring thread; transfers carry
// their request record.
constexpr uint64_t kWakeTag = 1;

// Queues r's remaining bytes on the ring. Only the ring thread touches its
// submission queue.
void ring_prep(WaitList* wl, TioRwRequest* r) {
  struct io_uring_sqe* sqe = io_uring_get_sqe(&wl->ring);
  // The ring has room for every transfer the list holds and the wake read.
  ZENT_ASSERT(sqe != nullptr);
  const int fd = r->file->ring_fd();
  const unsigned n = static_cast<unsigned>(r->nvec - r->first);
  if (r->mode == 0)
    io_uring_prep_readv(sqe, fd, r->iov + r->first, n, r->offset + r->moved);
  else
    io_uring_prep_writev(sqe, fd, r->iov + r->first, n, r->offset + r->moved);
  io_uring_sqe_set_data(sqe, r);
}

void ring_prep_wake(WaitList* wl) {
  struct io_uring_sqe* sqe = io_uring_get_sqe(&wl->ring);
  ZENT_ASSERT(sqe != nullptr);
  io_uring_prep_read(sqe, wl->wake_fd, &wl->wake_value, sizeof wl->wake_value, 0);
  io_uring_sqe_set_data64(sqe, kWakeTag);
}

// One completion of r (res = bytes or -errno). True when r is done; false
// when it was queued again for the rest of its bytes. The list's mutex is
// held.
bool ring_complete(WaitList* wl, TioRwRequest* r, int res) {
  if (res == -EINTR || res == -EAGAIN) {
    ring_prep(wl, r);
    return false;
  }
  if (res < 0) transfer_fault(r, -res, r->moved, "Overlapped %s operation failed",
                              "Overlapped operation failed");
  // Nothing moved: the end of the file for a read, a write that would loop.
  if (res == 0)
    transfer_fault(r, r->mode == 0 ? 0 : EIO, r->moved, "Overlapped %s operation failed",
                   "Overlapped operation failed");
  r->moved += static_cast<uint32_t>(res);
  if (r->moved >= r->length) return true;
  size_t left = static_cast<size_t>(res);
  while (left > 0) {
    struct iovec& e = r->iov[r->first];
    const size_t n = std::min(left, e.iov_len);
    e.iov_base = static_cast<char*>(e.iov_base) + n;
    e.iov_len -= n;
    left -= n;
    if (e.iov_len == 0) ++r->first;
  }
  ring_prep(wl, r);
  return false;
}

// A ring thread: submits what the server thread queued, reaps completions
// and resubmits the rest of short transfers; up to TIO_LIST_MAX in flight.
void ring_thread_main(WaitList* wl) {
  const int id = rw_thread_started(wl);
  if (wl->ring_disabled) {
    // Made disabled so that this thread, not its creator, is the one issuer.
    if (int rc = io_uring_enable_rings(&wl->ring); rc < 0) {
      debug_syserr('T', 0, -rc, "io_uring_enable_rings() failed");
      transfer_failed("Overlapped operation failed");
    }
  }
  ring_prep_wake(wl);
  bool take = true;
  for (;;) {
    TioRwRequest* done = nullptr;
    struct io_uring_cqe* cqe = nullptr;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      if (take) {
        for (TioRwRequest* r = take_all(wl); r != nullptr;) {
          TioRwRequest* next = r->next;
          ring_prep(wl, r);
          r = next;
        }
        take = false;
      }
      stop = wl->stop && wl->count == 0;
    }
    if (stop) break;
    // Submits what was prepared and waits for a completion, in one call.
    const int rc = io_uring_submit_and_wait(&wl->ring, 1);
    if (rc == -EINTR) continue;
    if (rc == -EAGAIN || rc == -EBUSY) {
      // The kernel is short of memory for the moment; completions free it.
      std::this_thread::yield();
      continue;
    }
    if (rc < 0) {
      debug_syserr('T', 0, -rc, "io_uring_submit_and_wait() failed");
      transfer_failed("Overlapped operation failed");
    }
    int remaining = 0;
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      unsigned head;
      unsigned seen = 0;
      io_uring_for_each_cqe(&wl->ring, head, cqe) {
        ++seen;
        if (io_uring_cqe_get_data64(cqe) == kWakeTag) {
          if (cqe->res < 0 && cqe->res != -EINTR && cqe->res != -EAGAIN) {
            debug_syserr('T', 0, -cqe->res, "tio r/w thread: wake-up read failed");
            transfer_failed("Overlapped operation failed");
          }
          ring_prep_wake(wl);
          take = true;
          continue;
        }
        auto* r = static_cast<TioRwRequest*>(io_uring_cqe_get_data(cqe));
        if (!ring_complete(wl, r, cqe->res)) continue;
        --wl->count;
        r->next = done;
        done = r;
      }
      io_uring_cq_advance(&wl->ring, seen);
      remaining = wl->count;
    }
    // One notification for the whole batch of completions.
    bool woke = false;
    int finished = 0;
    while (done != nullptr) {
      TioRwRequest* r = done;
      done = r->next;
      count_pages(r, Vol_STAT_BY_THREAD);
      log_finished(r, id, remaining);
      finish_rw(r, &woke);
      ++finished;
    }
    if (woke) notify_server();
    if (finished > 0) outstanding_done(finished);
  }
  debug_log('T', 2, "Terminated tio r/w thread #%d", id);
}

void wake_ring_thread(WaitList* wl) {
  const uint64_t one = 1;
  while (write(wl->wake_fd, &one, sizeof one) < 0) {
    if (errno == EINTR) continue;
    // EAGAIN: the counter is full, so the thread is woken anyway.
    if (errno == EAGAIN) return;
    debug_syserr('T', 0, errno, "tio: waking a r/w thread failed");
    fatal("Overlapped operation failed");
  }
}

// The ring and eventfd of a new ring thread; 0 or -errno.
int setup_ring(WaitList* wl) {
  wl->wake_fd = eventfd(0, EFD_CLOEXEC);
  if (wl->wake_fd < 0) return -errno;
  // One entry more than the transfers, for the wake-up read. Where the
  // kernel has them (6.1 on), one issuer whose completion work waits until
  // it asks for completions: no interrupts of the thread while it works.
  const unsigned quiet =
      IORING_SETUP_R_DISABLED | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  int rc = io_uring_queue_init(TIO_LIST_MAX + 1, &wl->ring, quiet);
  wl->ring_disabled = rc == 0;
  if (rc == -EINVAL) rc = io_uring_queue_init(TIO_LIST_MAX + 1, &wl->ring, 0);
  if (rc < 0) return rc;
  wl->ring_ready = true;
  return 0;
}

// --- Starting, offering, stopping ------------------------------------------------

int setup_rw_thread(RwKind kind) {
  auto wl = std::unique_ptr<WaitList>(new (std::nothrow) WaitList(kind));
  if (!wl) {
    debug_log('T', 0, "setup_rw_thread() failed: heap overflow");
    fatal("setup_rw_thread() failed: heap overflow");
  }
  WaitList* list = wl.get();
  int err = 0;
  if (kind == RwKind::Ring) err = -setup_ring(list);
  if (err == 0)
    err = platform::start_thread(list->thread, "tio rw", [list] {
      if (list->kind == RwKind::Ring)
        ring_thread_main(list);
      else
        blocking_thread_main(list);
    });
  if (err != 0) {
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

bool takes_ring(const TioRwRequest* r) {
  return g_ring_mode.load(std::memory_order_relaxed) && r->file->ring_fd() >= 0;
}

// How many transfers a list of the kind holds: a ring up to TIO_LIST_MAX in
// flight; a blocking thread one, so the next transfer goes to an idle
// thread, until there are many.
int list_room(const WaitList* wl, int blocking_threads) {
  if (wl->kind == RwKind::Ring || blocking_threads >= kBlockingThreadsOneEach)
    return TIO_LIST_MAX;
  return 1;
}

// Offers the pending requests of one kind to the threads of that kind in
// the order they were started; starts one more when every list is full.
void hand_off_kind(TioRwRequest* pending, RwKind kind) {
  int blocking = 0;
  for (const auto& wl : g_lists) blocking += wl->kind == RwKind::Blocking;
  for (size_t i = 0; pending != nullptr; ++i) {
    if (i == g_lists.size()) {
      if (setup_rw_thread(kind) != 0) fatal("Failed to create additional tio r/w thread");
      blocking += kind == RwKind::Blocking;
    }
    WaitList* wl = g_lists[i].get();
    if (wl->kind != kind) continue;
    bool took = false;
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      const int room = list_room(wl, blocking);
      while (pending != nullptr && wl->count < room) {
        TioRwRequest* r = pending;
        pending = r->next;
        push_back(wl, r);
        ++wl->count;
        took = true;
        const int tid = wl->thread_id.load();
        if (tid != -1)
          debug_log('T', 3, "Request %u queued to tio r/w thread #%d, %u requests total", r->id,
                    tid, static_cast<unsigned>(wl->count));
      }
    }
    if (!took) continue;
    if (kind == RwKind::Ring)
      wake_ring_thread(wl);
    else
      wl->changed.notify_one();
  }
}

// Ring transfers to the ring threads, the others to the blocking ones.
void hand_off(TioRwRequest* pending) {
  TioRwRequest* ring = nullptr;
  TioRwRequest** ring_tail = &ring;
  TioRwRequest* blocking = nullptr;
  TioRwRequest** blocking_tail = &blocking;
  while (pending != nullptr) {
    TioRwRequest* r = pending;
    pending = r->next;
    r->next = nullptr;
    TioRwRequest*** tail = takes_ring(r) ? &ring_tail : &blocking_tail;
    **tail = r;
    *tail = &r->next;
  }
  if (ring != nullptr) hand_off_kind(ring, RwKind::Ring);
  if (blocking != nullptr) hand_off_kind(blocking, RwKind::Blocking);
}

void stop_rw_threads() {
  for (auto& wl : g_lists) {
    {
      std::lock_guard<std::mutex> lock(wl->mutex);
      wl->stop = true;
    }
    if (wl->kind == RwKind::Ring)
      wake_ring_thread(wl.get());
    else
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
    // The callers learn a failure from tio_flush_error.
    if (int err = r->file->datasync()) note_flush_failure(r->file, err);
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

void tio_allow_ring(bool allowed) { g_ring_allowed.store(allowed); }

int tio_ring_active() { return g_ring_mode.load() ? 1 : 0; }

int tio_setup() {
  debug_log('D', 2, "tio_setup: allocating async i/o ressources");
  ZENT_ASSERT(!g_setup.load() && g_lists.empty());
  g_ring_mode.store(false);
  if (g_ring_allowed.load()) {
    // The kernel may refuse rings (too old, io_uring_disabled, a seccomp
    // filter); blocking threads then do every transfer.
    struct io_uring probe;
    const int rc = io_uring_queue_init(TIO_LIST_MAX + 1, &probe, 0);
    if (rc == 0) {
      io_uring_queue_exit(&probe);
      g_ring_mode.store(true);
    } else {
      char text[256];
      platform::sys_error_text(-rc, text, sizeof text);
      debug_log('D', 1, "tio_setup: io_uring not available (%s), using blocking r/w threads",
                text);
    }
  }
  if (setup_rw_thread(g_ring_mode.load() ? RwKind::Ring : RwKind::Blocking) != 0) return -1;
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
    // A utility, or the start-up: no one serves meanwhile, so stopping
    // loses nothing and the next run starts from what is on disk.
    if (int err = f->datasync()) {
      debug_syserr('D', 0, err, "Unable to sync volume");
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
  // An earlier failure of the file is reported all the same.
  if (tio_mode != Vol_TIO_FULL_OVL) wait_for(ctx);
  return tio_flush_error(f) != 0 ? -1 : 0;
}

int tio_flush_error(const platform::File* f) {
  std::lock_guard<std::mutex> lock(g_flush_fail_mutex);
  for (const FlushFailure& e : g_flush_fails)
    if (e.file == f && e.count != 0) return e.err;
  return 0;
}

void tio_flush_mended(const platform::File* f) {
  std::lock_guard<std::mutex> lock(g_flush_fail_mutex);
  for (FlushFailure& e : g_flush_fails)
    if (e.file == f) e.count = 0;
}

uint32_t tio_flush_failures(const platform::File* f) {
  std::lock_guard<std::mutex> lock(g_flush_fail_mutex);
  uint32_t n = 0;
  for (const FlushFailure& e : g_flush_fails)
    if (e.file == f) n += e.count;
  return n;
}

void tio_forget_file(const platform::File* f) {
  std::lock_guard<std::mutex> lock(g_flush_fail_mutex);
  std::erase_if(g_flush_fails, [f](const FlushFailure& e) { return e.file == f; });
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
  if (!tio_active()) {
    // A utility, or before the kernel runs: a read the file cannot give
    // whole goes back to the caller, never as pages.
    if (Vol_TryReadVector(vol, PAGE_NUMBER(start_page), pg_count, pg_vec) == 0) return 0;
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, VOL_E_OPEN);
    return -1;
  }
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
  return {g_flushes.load(), g_pages_read.load(), g_pages_written.load(),
          g_flush_write_waits.load()};
}
