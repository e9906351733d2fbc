// page_io.cpp - page and cluster transfers, the bounce page, zero fill, file
// flush, and the I/O timing statistics (see page_io.h).
//
// Transfers of consecutive pages that land in one file at consecutive
// offsets travel as one vector transfer; a cluster without redirection is a
// single system call.
#include "storage/page_io.h"

#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/server_counters.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "storage/backup_redirect.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

namespace {

// --- Statistics ----------------------------------------------------------------
// Updated from the server thread and the I/O threads alike, hence atomics.

struct IoStat {
  std::atomic<uint32_t> count{0};
  std::atomic<uint32_t> timed{0};
  std::atomic<uint32_t> by_type[3] = {};
  std::atomic<uint64_t> sum_us{0};
  std::atomic<uint32_t> min_us{UINT32_MAX};  // UINT32_MAX while nothing was timed
  std::atomic<uint32_t> max_us{0};

  void clear() {
    count = 0;
    timed = 0;
    for (auto& t : by_type) t = 0;
    sum_us = 0;
    min_us = UINT32_MAX;
    max_us = 0;
  }
};

IoStat g_stat[3];
std::atomic<bool> g_timing{false};
std::atomic<uint64_t> g_pages_read{0};
std::atomic<uint64_t> g_pages_written{0};
// Writes kept back: refused for want of a LOG page in backup mode, or
// failed in the file. Server thread only.
uint32_t g_refused = 0;
// Writes the file failed. Server thread only.
uint32_t g_failed_writes = 0;
// Pages written so far (Vol_WriteSeq). Server thread only.
uint64_t g_write_seq = 0;
// The last write failure logged: a disk that keeps failing logs each cause
// once, not once per page.
const platform::File* g_failed_file = nullptr;
int g_failed_err = -1;

// Transfers shorter than a page and zero fills go through this page. Server
// thread only.
alignas(4096) uint8_t g_bounce[Vol_PAGESIZE];

void note_min(std::atomic<uint32_t>& m, uint32_t v) {
  uint32_t cur = m.load(std::memory_order_relaxed);
  while (v < cur && !m.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
  }
}

void note_max(std::atomic<uint32_t>& m, uint32_t v) {
  uint32_t cur = m.load(std::memory_order_relaxed);
  while (v > cur && !m.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
  }
}

[[noreturn]] void fatal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

bool redirected(const VOLUME* vol) { return Vol_TestFlag(Vol_REDIRECT_PAGES, &vol->header) != 0; }

// A write vol's file failed (err, or 0 for one that came short): counted,
// and logged unless it repeats the last failure logged. The caller keeps
// its pages, except on a LOG volume: a commit forced past a LOG page that
// is not on disk could vanish, so the server stops there and the next
// start recovers.
void note_write_failure(const VOLUME* vol, int err, const char* label, size_t done) {
  const platform::File* f = vol->fhandle;
  ++g_failed_writes;
  // The caller's refusal reads as a refusal in backup mode does.
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, VOL_E_NO_SPACE);
  if (f == g_failed_file && err == g_failed_err) return;
  g_failed_file = f;
  g_failed_err = err;
  if (err != 0)
    debug_syserr('V', 0, err, label);
  else
    debug_log('V', 0, "%s: size=%u, nbytes=%u", label, Vol_PAGESIZE,
              static_cast<unsigned>(done % Vol_PAGESIZE));
  if (vol->type == VolType_LOG) fatal(label);
}

// Where each page of a cluster really goes, and the runs it forms.
struct Placement {
  VOLUME* vol;
  uint32_t page;
};

enum class Dir { Read, Write };

// Moves count pages placed at place[] in runs of one file at consecutive
// offsets. A failure is logged with what's messages and is fatal, unless
// the caller takes it (a write, or a read with may_fail): -1 then, the runs
// before it moved.
int transfer_cluster(Dir dir, const Placement* place, int count, void* const* bufs,
                     const char* what, const char* call, bool may_fail = false) {
  int i = 0;
  while (i < count) {
    int n = 1;
    while (i + n < count && place[i + n].vol == place[i].vol &&
           place[i + n].page == place[i].page + static_cast<uint32_t>(n))
      ++n;
    VOLUME* vol = place[i].vol;
    struct iovec iov[Vol_MAXCLUST];
    for (int k = 0; k < n; ++k) iov[k] = {bufs[i + k], Vol_PAGESIZE};
    const uint64_t start = Vol_StatStart();
    size_t done = 0;
    const uint64_t offset = Vol_PageOffset(place[i].page);
    int err = dir == Dir::Read ? vol->fhandle->readv_at(iov, n, offset, &done)
                               : vol->fhandle->writev_at(iov, n, offset, &done);
    char label[96];
    snprintf(label, sizeof label, "%s failed on %s", what, call);
    if (dir == Dir::Write && (err != 0 || done != static_cast<size_t>(n) * Vol_PAGESIZE)) {
      note_write_failure(vol, err, label, done);
      return -1;
    }
    if (err != 0) {
      debug_syserr('V', 0, err, label);
      if (may_fail) return -1;
      fatal(label);
    }
    if (done != static_cast<size_t>(n) * Vol_PAGESIZE) {
      // Reported per page, as each page is its own transfer: the first page
      // that came short and the bytes it got.
      debug_log('V', 0, "%s: size=%u, nbytes=%u", label, Vol_PAGESIZE,
                static_cast<unsigned>(done % Vol_PAGESIZE));
      if (may_fail) return -1;
      fatal(label);
    }
    for (int k = 0; k < n; ++k) {
      Vol_StatUpdate(dir == Dir::Read ? Vol_STAT_READ : Vol_STAT_WRITE, start, Vol_STAT_AT_ONCE);
      ++vol->io_count;
      if (dir == Dir::Read) {
        ++vol->read_count;
      } else {
        ++vol->write_count;
        ++g_write_seq;
      }
    }
    (dir == Dir::Read ? g_pages_read : g_pages_written) += static_cast<uint64_t>(n);
    i += n;
  }
  return 0;
}

void check_cluster(int count, const void* const* bufs) {
  ZENT_ASSERT(count > 0);
  ZENT_ASSERT(count <= Vol_MAXCLUST);
  ZENT_ASSERT(bufs);
  for (int idx = 0; idx < count; ++idx) ZENT_ASSERT(bufs[idx]);
}

}  // namespace

// --- Set-up ----------------------------------------------------------------------

int Vol_Initialize() {
  for (IoStat& s : g_stat) s.clear();
  return Vol_InitRedirectionHash(1000) == 0 ? 0 : -1;
}

void Vol_Cleanup() {
  g_timing = false;
  Vol_CleanupRedirectionHash();
}

// --- Statistics ----------------------------------------------------------------

int Vol_InitStatistics() {
  g_timing = true;
  return 0;
}

uint64_t Vol_StatStart() { return g_timing.load(std::memory_order_relaxed) ? platform::monotonic_ns() : 0; }

uint64_t Vol_StatUpdate(int mode, uint64_t start, int type) {
  if (mode < -1 || mode > Vol_STAT_TIO) fatal("unknown statistics mode");
  uint64_t us = 0;
  // A start of 0 was taken while timing was off: nothing to measure.
  if (start != 0 && g_timing.load(std::memory_order_relaxed)) {
    const uint64_t now = platform::monotonic_ns();
    if (now > start) us = (now - start) / 1000;
  }
  if (mode == -1) return us;
  if (type < Vol_STAT_AT_ONCE || type > Vol_STAT_BY_THREAD) fatal("unknown statistics type");
  IoStat& s = g_stat[mode];
  if (us != 0) {
    const uint32_t us32 = static_cast<uint32_t>(std::min<uint64_t>(us, UINT32_MAX - 1));
    note_min(s.min_us, us32);
    note_max(s.max_us, us32);
    s.sum_us.fetch_add(us, std::memory_order_relaxed);
    s.timed.fetch_add(1, std::memory_order_relaxed);
  }
  s.count.fetch_add(1, std::memory_order_relaxed);
  s.by_type[type].fetch_add(1, std::memory_order_relaxed);
  // The server's statistics history shows the same counts per second.
  server_count(mode == Vol_STAT_READ    ? server_counters.reads
               : mode == Vol_STAT_WRITE ? server_counters.writes
                                        : server_counters.syncs);
  return us;
}

void Vol_GetStatistics(int mode, Vol_IOSTAT* out) {
  ZENT_ASSERT(mode >= Vol_STAT_READ && mode <= Vol_STAT_TIO);
  const IoStat& s = g_stat[mode];
  *out = Vol_IOSTAT{};
  out->count = s.count.load();
  out->timed = s.timed.load();
  for (int t = 0; t < 3; ++t) out->by_type[t] = s.by_type[t].load();
  out->sum_us = s.sum_us.load();
  const uint32_t min = s.min_us.load();
  out->min_us = min == UINT32_MAX ? 0 : min;
  out->max_us = s.max_us.load();
}

uint64_t Vol_PagesRead() { return g_pages_read.load(); }
uint64_t Vol_PagesWritten() { return g_pages_written.load(); }

// --- Single transfers --------------------------------------------------------------

int Vol_ReadFile(platform::File* f, uint32_t page, void* buf, uint32_t size) {
  const uint64_t start = Vol_StatStart();
  size_t done = 0;
  if (int err = f->read_at(buf, size, Vol_PageOffset(page), &done)) {
    debug_syserr('V', 0, err, "ReadFile() failed");
    return 0;
  }
  if (done != size) {
    debug_log('V', 0, "ReadFile() failed: size=%u, nbytes=%u", size, static_cast<unsigned>(done));
    return 0;
  }
  Vol_StatUpdate(Vol_STAT_READ, start, Vol_STAT_AT_ONCE);
  ++g_pages_read;
  return 1;
}

namespace {
// One write of size bytes at page's offset of f. A failure is logged; for
// the pages of vol (when given) as note_write_failure says. 1 done, 0 failed.
int write_file(const VOLUME* vol, platform::File* f, uint32_t page, const void* buf,
               uint32_t size) {
  const uint64_t start = Vol_StatStart();
  size_t done = 0;
  if (int err = f->write_at(buf, size, Vol_PageOffset(page), &done)) {
    if (vol != nullptr)
      note_write_failure(vol, err, "WriteFile() failed", done);
    else
      debug_syserr('V', 0, err, "WriteFile() failed");
    return 0;
  }
  Vol_StatUpdate(Vol_STAT_WRITE, start, Vol_STAT_AT_ONCE);
  ++g_pages_written;
  ++g_write_seq;
  return 1;
}

}  // namespace

int Vol_WriteFile(platform::File* f, uint32_t page, const void* buf, uint32_t size) {
  return write_file(nullptr, f, page, buf, size);
}

int Vol_Read(VOLUME* vol, uint32_t page, void* buf, uint32_t size) {
  ZENT_ASSERT(size >= 1 && size <= Vol_PAGESIZE);
  VOLUME* target = vol;
  uint32_t where = page;
  if (redirected(vol)) target = Vol_RedirectPage(vol, &where, nullptr);
  void* dst = size == Vol_PAGESIZE ? buf : g_bounce;
  if (!Vol_ReadFile(target->fhandle, where, dst, Vol_PAGESIZE)) fatal("Vol_Read() failed on Vol_ReadFile()");
  if (dst != buf) std::memcpy(buf, g_bounce, size);
  ++target->io_count;
  ++target->read_count;
  return 0;
}

namespace {
// Vol__Write; *refused says a -1 came from backup mode finding no LOG page
// (the write may suspend the task, so another task's refusal must not be
// taken for this one's).
int write_page(VOLUME* vol, uint32_t page, const void* buf, uint32_t size, Tlog_TAGREC* tag,
               bool* refused) {
  ZENT_ASSERT(size >= 1 && size <= Vol_PAGESIZE);
  *refused = false;
  VOLUME* target = vol;
  uint32_t where = page;
  Tlog_TAGREC* own_tag = nullptr;
  bool fresh = false;
  if (redirected(vol)) {
    if (tag == nullptr) tag = own_tag = Vol_OpenRootTagRecord("Vol__Write()");
    target = Vol_RedirectPage(vol, &where, tag, &fresh);
    if (target == nullptr) {
      // No LOG page for the copy: the caller keeps its page (status 20).
      ++g_refused;
      *refused = true;
      if (own_tag) Vol_CloseRootTagRecord(own_tag, "Vol__Write()");
      return -1;
    }
  }
  const void* src = buf;
  if (size < Vol_PAGESIZE) {
    std::memcpy(g_bounce, buf, size);
    std::memset(g_bounce + size, Vol_FILLER, Vol_PAGESIZE - size);
    src = g_bounce;
  }
  const int ok = write_file(target, target->fhandle, where, src, Vol_PAGESIZE);
  if (ok && fresh) {
    const Vol_PAGEADDR o_page = Vol_PageAddr(vol->volume_id, page);
    Vol_LogRedirectedCopies(tag, &o_page, 1);
  }
  if (own_tag) Vol_CloseRootTagRecord(own_tag, "Vol__Write()");
  if (!ok) {
    // The caller keeps its page and writes it again, as for a refusal.
    ++g_refused;
    *refused = true;
    return -1;
  }
  ++target->io_count;
  ++target->write_count;
  return 0;
}
}  // namespace

int Vol__Write(VOLUME* vol, uint32_t page, const void* buf, uint32_t size, Tlog_TAGREC* tag) {
  bool refused = false;
  return write_page(vol, page, buf, size, tag, &refused);
}

int Vol_WriteOrKeep(VOLUME* vol, uint32_t page, const void* buf, uint32_t size, Tlog_TAGREC* tag) {
  bool kept = false;
  return write_page(vol, page, buf, size, tag, &kept) == 0 ? 0 : 1;
}

uint32_t Vol_RefusedWrites() { return g_refused; }

uint32_t Vol_FailedWrites() { return g_failed_writes; }

uint64_t Vol_WriteSeq() { return g_write_seq; }

// --- Clusters ------------------------------------------------------------------------

namespace {
int read_vector(VOLUME* vol, uint32_t first_page, int count, void* const* bufs, bool may_fail) {
  check_cluster(count, bufs);
  Placement place[Vol_MAXCLUST];
  for (int i = 0; i < count; ++i) {
    place[i] = {vol, first_page + static_cast<uint32_t>(i)};
    if (redirected(vol)) place[i].vol = Vol_RedirectPage(vol, &place[i].page, nullptr);
  }
  return transfer_cluster(Dir::Read, place, count, bufs, "Vol_ReadVector()", "ReadFile()",
                          may_fail);
}
}  // namespace

int Vol_ReadVector(VOLUME* vol, uint32_t first_page, int count, void* const* bufs) {
  return read_vector(vol, first_page, count, bufs, false);
}

int Vol_TryReadVector(VOLUME* vol, uint32_t first_page, int count, void* const* bufs) {
  return read_vector(vol, first_page, count, bufs, true);
}

int Vol_WriteVector(VOLUME* vol, uint32_t first_page, int count, const void* const* bufs) {
  check_cluster(count, bufs);
  Placement place[Vol_MAXCLUST];
  Tlog_TAGREC* tag = redirected(vol) ? Vol_OpenRootTagRecord("Vol_WriteVector()") : nullptr;
  Vol_PAGEADDR fresh_pages[Vol_MAXCLUST];
  int nfresh = 0;
  for (int i = 0; i < count; ++i) {
    place[i] = {vol, first_page + static_cast<uint32_t>(i)};
    bool fresh = false;
    if (tag) place[i].vol = Vol_RedirectPage(vol, &place[i].page, tag, &fresh);
    if (fresh) fresh_pages[nfresh++] = Vol_PageAddr(vol->volume_id, first_page + static_cast<uint32_t>(i));
    if (place[i].vol == nullptr) {
      // No LOG page for a copy: nothing is written, the caller keeps its
      // pages (status 20); the copies already entered are used next time.
      ++g_refused;
      Vol_CloseRootTagRecord(tag, "Vol__WriteVector()");
      return -1;
    }
  }
  const int rc = transfer_cluster(Dir::Write, place, count, const_cast<void* const*>(bufs),
                                  "Vol_WriteVector()", "WriteFile()");
  if (rc == 0 && nfresh > 0) Vol_LogRedirectedCopies(tag, fresh_pages, nfresh);
  if (tag) Vol_CloseRootTagRecord(tag, "Vol__WriteVector()");
  // A failed file write: the caller keeps its pages, as for a refusal.
  if (rc != 0) ++g_refused;
  return rc;
}

// --- Fill and flush ----------------------------------------------------------------

int Vol_FillPage(VOLUME* vol, Vol_PAGEADDR page) {
  ZENT_ASSERT(PAGE_VOLID(page) == vol->volume_id);
  std::memset(g_bounce, 0, sizeof g_bounce);
  return Vol_WriteFile(vol->fhandle, PAGE_NUMBER(page), g_bounce, Vol_PAGESIZE) ? 0 : -1;
}

int Vol_SyncFile(VOLUME* vol, int tio_mode) {
  // In backup mode the file does not change: its pages live in the LOG
  // volumes, and those are what a flush of it must make durable. While the
  // end copies pages home it changes, and those writes must become durable
  // like any other.
  if (redirected(vol) && Vol_RedirectionMode() != Vol_REDIR_ENDING) {
    Vol_FlushRedirectedCopies(tio_mode);
    return 0;
  }
  if (tio_fsync(vol->fhandle, tio_mode) == 0) return 0;
  // Commits rest on the LOG: one acknowledged after a flush that may have
  // lost writes could vanish, so the server stops and the next start
  // recovers from what is on disk. Any other file keeps its failure
  // (tio_flush_error), and the checkpoint that needs it keeps the log.
  if (vol->type == VolType_LOG) fatal("Vol_SyncFile() failed on tio_fsync()");
  return -1;
}
