// volume_set.cpp - opening and checking the set of volume files, their
// descriptors and free lists, writing them back, properties and information
// (see volume_set.h). Page allocation, freeing and extension are in
// volume_alloc.cpp; the state both share is in volume_set_state.h.
//
// Every value read from a file is checked before it is used: a descriptor,
// a free-list chain or a bitmap that does not add up refuses the open with a
// status code and a log line; nothing read from disk can stop the process
// or make a loop run away. Crash safety of the two descriptor copies rests
// on one rule: copy 0 is written before copy 1, and everything copy 0
// points at reaches the disk before copy 0 (an extension's new pages, even
// while other tasks sync during its flushes). An open that finds the copies
// apart in fields a running set changes keeps copy 0 and rewrites copy 1.
//
// Where a task may be suspended: in every flush (tio), and while it waits
// for an extension of a volume to be written (one at a time per volume).
// Neither wait can be cut short: a sleep that ends early sleeps again. See
// README.md ("Volume set").
#include "storage/volume_set.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "platform/file.h"
#include "storage/backup_redirect.h"
#include "storage/buffer_cache.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set_state.h"

namespace volset {
VolSet g;
}  // namespace volset

using namespace volset;

namespace {

// Largest number of free-list pages a volume can have.
constexpr uint32_t kMaxFlistPages = Vol_FlistPagesFor(Vol_MAXPAGES);

void fire_event(int event) {
  if (root() != nullptr && root()->callback != nullptr) root()->callback(event);
}

VOLUME* tio_lookup(uint32_t volume_id) {
  if (g.table == nullptr || volume_id >= static_cast<uint32_t>(g.num_volumes)) return nullptr;
  VOLUME* v = &g.table[volume_id];
  return is_open(v) ? v : nullptr;
}

// --- Descriptors --------------------------------------------------------------

const uint32_t kCopyPage[2] = {Vol_DESC_PAGE, Vol_DESC_COPY_PAGE};

// The checks of one descriptor copy. Each failure logs its reason with the
// page and the source line and returns -1.
#define DESC_FAIL(what, ...)                                                            \
  do {                                                                                   \
    debug_log('V', 0, "Vol_ReadVolumeDescriptor() failed: " what ", page=0x%x (L%d)", \
              ##__VA_ARGS__, addr, __LINE__);                                            \
    return -1;                                                                           \
  } while (0)

int check_descriptor(VOLUME* v, uint32_t copy_page) {
  const uint32_t addr = (v->volume_id << 24) | copy_page;
  if (Vol_CheckHeader(Vol_PAGE_VOLUME, addr, &v->header) != 0) DESC_FAIL("invalid page header");
  v->header.flags &= static_cast<uint16_t>(~Vol_MEMORY_ONLY_FLAGS);
  if (v->byte_order != Vol_BYTE_ORDER) DESC_FAIL("invalid byte order");
  const bool log = v->type == VolType_LOG;
  const uint32_t lo = log ? Vol_TLOG_RELEASE_MIN : Vol_RELEASE_MIN;
  const uint32_t hi = log ? Vol_TLOG_RELEASE : Vol_RELEASE;
  if (v->release < lo || v->release > hi)
    DESC_FAIL("invalid %svolume release", log ? "log " : "");
  if (v->revision[0] == '\0') DESC_FAIL("volume revision not recognized");
  if (v->volume_id >= static_cast<uint32_t>(Vol_MAXLINK))
    DESC_FAIL("volume identifier out of range");
  // Values the set computes with: each must be one a volume can have.
  if (v->page_size != Vol_PAGESIZE) DESC_FAIL("invalid page size %u", v->page_size);
  if (v->num_volumes < 1 || v->num_volumes > static_cast<uint32_t>(Vol_MAXLINK))
    DESC_FAIL("invalid number of volumes %u", v->num_volumes);
  if (v->curr_size < Vol_MINPAGES || v->curr_size > Vol_MAXPAGES)
    DESC_FAIL("invalid volume size %u", v->curr_size);
  if (v->ext_size == 1 || v->ext_size > Vol_MAXPAGES)
    DESC_FAIL("invalid extension size %u", v->ext_size);
  if (v->max_size != 0 && v->max_size < v->curr_size)
    DESC_FAIL("maximum size %u below current size %u", v->max_size, v->curr_size);
  // An extension that stopped short may leave free-list pages for pages the
  // volume never reached, never fewer than it needs.
  if (v->num_flist < Vol_FlistPagesFor(v->curr_size) || v->num_flist > kMaxFlistPages)
    DESC_FAIL("%u free-list pages for %u pages", v->num_flist, v->curr_size);
  for (Vol_PAGEADDR end : {v->flist_head, v->flist_tail}) {
    const uint32_t n = PAGE_NUMBER(end);
    if (PAGE_VOLID(end) != v->volume_id || n == Vol_DESC_PAGE || n == Vol_DESC_COPY_PAGE ||
        n >= v->curr_size)
      DESC_FAIL("invalid free-list page 0x%x", end);
  }
  if (v->free_size > v->curr_size) v->free_size = v->curr_size;  // recounted where it matters
  return 0;
}
#undef DESC_FAIL

// Reads and checks descriptor copy (0 or 1) of v's file into v; v's
// run-time fields survive. 0, or -1 with status VOL_E_BAD_DESCRIPTOR.
int read_descriptor(VOLUME* v, int copy) {
  uint8_t page[Vol_DESCRIPTOR_SIZE];
  if (!Vol_ReadFile(v->fhandle, kCopyPage[copy], page, sizeof page)) {
    debug_log('V', 0, "Vol_ReadVolumeDescriptor() failed: unable to read page=0x%x (L%d)",
              kCopyPage[copy], __LINE__);
    VOL_ERROR(VOL_E_BAD_DESCRIPTOR);
    return -1;
  }
  Vol_DecodeDescriptor(page, v);
  if (check_descriptor(v, kCopyPage[copy]) != 0) {
    VOL_ERROR(VOL_E_BAD_DESCRIPTOR);
    return -1;
  }
  if (v->release != Vol_CurrentRelease(v)) Vol_UpgradeRelease(v);
  return 0;
}

// A page that backup mode finds no LOG page for stays dirty: the next sync
// writes it again.
void write_free_page(VOLUME* v, Vol_FLMEM* fl) {
  if (g.read_only) return;
  Vol_ClearFlag(Vol_DIRTY, fl->image);
  if (Vol_WriteOrKeep(v, PAGE_NUMBER(fl->page), fl->image, Vol_PAGESIZE, nullptr) != 0)
    fl_mark_dirty(fl);
}

// Reads free-list page fl->page of v into fl; its header must name it.
int read_free_page(VOLUME* v, Vol_FLMEM* fl) {
  lowest_free(v) = 0;  // the bits read may free any page
  if (!Vol_ReadFile(v->fhandle, PAGE_NUMBER(fl->page), fl->image, Vol_PAGESIZE) ||
      Vol_CheckHeader(Vol_PAGE_FLIST, fl->page, fl->image) != 0) {
    debug_log('V', 0, "Vol_ReadFreeDescriptor() failed: invalid page header, page=0x%x", fl->page);
    debug_log('V', 0, "Vol_ReadFreeDescriptor() failed: file is corrupt");
    VOL_ERROR(VOL_E_BAD_DESCRIPTOR);
    return -1;
  }
  Vol_ClearFlag(Vol_DIRTY, fl->image);
  return 0;
}

}  // namespace

// --- Shared with volume_alloc.cpp --------------------------------------------------

namespace volset {

bool write_descriptor(VOLUME* v, int copy, Tlog_TAGREC* tag) {
  // A read-only set keeps its changes (an upgrade, a repair) in memory.
  if (g.read_only) return true;
  // A page of its own for each write: the write may suspend the task (the
  // backup road), and another task's encoding must not change it meanwhile.
  alignas(16) uint8_t page[Vol_PAGESIZE];
  // Each copy carries its own page address; memory-only flags stay home.
  const Vol_PGHEADER in_memory = v->header;
  v->header.page = Vol_PageAddr(v->volume_id, kCopyPage[copy]);
  v->header.flags &= static_cast<uint16_t>(~Vol_MEMORY_ONLY_FLAGS);
  Vol_EncodeDescriptorPage(*v, page);
  v->header = in_memory;
  if (Vol_WriteOrKeep(v, kCopyPage[copy], page, Vol_PAGESIZE, tag) == 0) return true;
  // Backup mode found no LOG page for it, or the file failed the write: the
  // volume stays dirty, and the next sync writes both copies again.
  mark_dirty(v);
  return false;
}

void write_dirty_free_pages(VOLUME* v) {
  for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next)
    if (fl_dirty(fl)) write_free_page(v, fl);
}

// After a failed flush the system may have dropped any page written to
// the file since the last flush that succeeded, and says so once; the
// pages it dropped read back as written, so nothing tells them. When the
// memory still holds every such page (the descriptor, the free-list pages
// and the node pages always stay; the cache tells of pages it let go), all
// of it is written again before the next flush, and the file's failure is
// forgotten. Otherwise the failure stays with the file (tio_flush_error):
// only the log, kept until a restart recovers from it, still has them.
void rewrite_after_failed_flush(VOLUME* v) {
  const uint32_t failures = tio_flush_failures(v->fhandle);
  const uint32_t seen = g.flush_failures_seen[v->volume_id];
  if (failures == seen) return;
  g.flush_failures_seen[v->volume_id] = failures;
  ++g.rewrites;
  if (buf_EvictedWriteSeq(v->volume_id) > g.durable_seq[v->volume_id]) {
    if (seen == 0)
      debug_log('V', 0, "Volume %u failed a flush after pages written to it left the cache: "
                "the log is kept until the next start", v->volume_id);
    return;
  }
  debug_log('V', 1, "Volume %u failed a flush: every page held of it is written again",
            v->volume_id);
  mark_dirty(v);
  for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next) fl_mark_dirty(fl);
  buf_RedirtyVolume(v->volume_id);
  fire_event(Vol_EVENT_REWRITE);
  tio_flush_mended(v->fhandle);
  g.flush_failures_seen[v->volume_id] = 0;
}

bool flush_file(VOLUME* v, int tio_mode) {
  if (g.read_only) return true;
  const uint64_t begun = Vol_WriteSeq();
  const uint32_t failures = tio_flush_failures(v->fhandle);
  const int rc = Vol_SyncFile(v, tio_mode);
  // Only a SYNC flush has ended on return.
  const bool ok = rc == 0 && tio_flush_failures(v->fhandle) == failures;
  if (ok && tio_mode == Vol_TIO_SYNC) g.durable_seq[v->volume_id] = begun;
  rewrite_after_failed_flush(v);
  return ok;
}

void write_copies(VOLUME* v, bool durable, int tio_mode) {
  clear_flag(v, Vol_DIRTY);
  // Copy 1 never goes ahead of copy 0.
  if (!write_descriptor(v, 0)) return;
  if (durable && !flush_file(v, Vol_TIO_SYNC)) {
    mark_dirty(v);
    return;
  }
  write_descriptor(v, 1);
  if (durable) flush_file(v, tio_mode);
}

}  // namespace volset

namespace {

// Both copies of v's descriptor, once no extension is being written.
void flush_descriptor(VOLUME* v, int tio_mode) {
  wait_for_extension(v);
  write_copies(v, synced(v), tio_mode);
}

// Fields of the two copies in the order they are compared. Those a running
// set or a utility changes in place may differ after a crash between the
// two writes; the others name the volume and must agree. An extension made
// during on-line backup that never ended leaves the backup fields apart.
struct CopyField {
  const char* name;
  bool may_differ;
  bool backup;
  bool (*same)(const VOLUME& a, const VOLUME& b);
};

#define SAME_WORD(field) [](const VOLUME& a, const VOLUME& b) { return a.field == b.field; }
#define SAME_BYTES(field)                                             \
  [](const VOLUME& a, const VOLUME& b) {                              \
    return std::memcmp(&a.field, &b.field, sizeof a.field) == 0;      \
  }
const CopyField kCopyFields[] = {
    {"revision", false, false, SAME_BYTES(revision)},
    {"release", true, false, SAME_WORD(release)},
    {"byte_order", false, false, SAME_WORD(byte_order)},
    {"volume_id", false, false, SAME_WORD(volume_id)},
    {"num_volumes", true, false, SAME_WORD(num_volumes)},
    {"used_volumes", true, false, SAME_WORD(used_volumes)},
    {"used_map", true, false, SAME_BYTES(used_map)},
    {"set_id", false, false, SAME_WORD(set_id)},
    {"type", false, false, SAME_WORD(type)},
    {"page_size", false, false, SAME_WORD(page_size)},
    {"curr_size", true, true, SAME_WORD(curr_size)},
    {"ext_size", true, false, SAME_WORD(ext_size)},
    {"max_size", true, false, SAME_WORD(max_size)},
    {"flist_head", false, false, SAME_WORD(flist_head)},
    {"flist_tail", true, true, SAME_WORD(flist_tail)},
    {"num_flist", true, true, SAME_WORD(num_flist)},
    {"first_page", true, false, SAME_WORD(first_page)},
};
#undef SAME_WORD
#undef SAME_BYTES

int map_bits(const Vol_ALDESC& m) {
  int n = 0;
  for (uint32_t w : m.map) n += __builtin_popcount(w);
  return n;
}

// Copy 0 names volumes copy 1 does not, and counts them: spacegrow added a
// volume and the crash came before copy 1. Any other difference in the map
// is damage.
bool volumes_added(const VOLUME& copy0, const VOLUME& copy1) {
  for (int w = 0; w < 8; ++w)
    if ((copy1.used_map.map[w] & ~copy0.used_map.map[w]) != 0) return false;
  const int added = map_bits(copy0.used_map) - map_bits(copy1.used_map);
  return copy0.used_volumes == copy1.used_volumes + static_cast<uint32_t>(added) &&
         copy0.num_volumes >= copy1.num_volumes;
}

// Copy 0 is written first, and an extension grows the file before it:
// after a crash between the writes, copy 0's size is the file's, or less
// when the descriptor's write was lost and the file's growth kept. A copy
// that names pages past the file's end is damage; copy 1's extension
// fields take its place when copy 1 has the file's size, or when copy 0
// is the one past the end. 1 when copy 1's were taken, 0 when copy 0's
// stand, -1 when both copies name pages the file does not have.
int settle_size(VOLUME* v, const VOLUME& copy1, uint64_t file_pages, const char* path) {
  if (v->curr_size == file_pages) return 0;
  const bool copy1_fits = copy1.curr_size <= file_pages;
  if (v->curr_size < file_pages && copy1.curr_size != file_pages) return 0;
  if (!copy1_fits) {
    debug_log('V', 0,
              "volume #%u: neither copy of the volume descriptor names the file's %llu pages "
              "(copy 0: %u, copy 1: %u) (%s)",
              v->volume_id, static_cast<unsigned long long>(file_pages), v->curr_size,
              copy1.curr_size, path);
    debug_log('V', 0, "invalid copy of volume descriptor (curr_size)");
    VOL_ERROR(VOL_E_COPIES_DIFFER);
    return -1;
  }
  debug_log('V', 0,
            "NOTE: volume #%u: copies of the volume descriptor differ (curr_size) - copy 1 kept, "
            "copy 0 rewritten (%s)",
            v->volume_id, path);
  v->curr_size = copy1.curr_size;
  v->flist_tail = copy1.flist_tail;
  v->num_flist = copy1.num_flist;
  return 1;
}

// Compares copy 1 with copy 0 (in v). 0 when they agree or the copy a crash
// between the two writes explains stands (*rewrite says which copies must
// be written again: bit 0 copy 0, bit 1 copy 1), or -1.
int compare_copies(VOLUME* v, const char* path, uint64_t file_pages, int* rewrite) {
  *rewrite = 0;
  VOLUME copy1;
  copy1.fhandle = v->fhandle;
  if (read_descriptor(&copy1, 1) != 0) return -1;
  const bool backup_crash = v->type == VolType_DATA &&
                            flag(v, Vol_IS_REDIRECTED) != flag(&copy1, Vol_IS_REDIRECTED);
  if (!backup_crash && v->curr_size != copy1.curr_size) {
    const int rc = settle_size(v, copy1, file_pages, path);
    if (rc < 0) return -1;
    if (rc > 0) *rewrite |= 1;
  }
  bool told_backup = false;
  for (const CopyField& f : kCopyFields) {
    if (f.same(*v, copy1)) continue;
    if (backup_crash && f.backup) {
      // An extension made during on-line backup that did not end cleanly.
      if (!told_backup)
        debug_log('V', 0,
                  "volume header inconsistency: on-line backup mode was not cleanly shutdown "
                  "(%u: %s)",
                  v->volume_id, path);
      told_backup = true;
      continue;
    }
    const bool map_damaged = std::strcmp(f.name, "used_map") == 0 && !volumes_added(*v, copy1);
    if (!f.may_differ || map_damaged) {
      debug_log('V', 0, "invalid copy of volume descriptor (%s)", f.name);
      VOL_ERROR(VOL_E_COPIES_DIFFER);
      return -1;
    }
    // Copy 0 is always written first: the crash came between the two writes.
    debug_log('V', 0,
              "NOTE: volume #%u: copies of the volume descriptor differ (%s) - copy 0 kept, "
              "copy 1 rewritten (%s)",
              v->volume_id, f.name, path);
    *rewrite |= 2;
  }
  return 0;
}

// --- Free lists -------------------------------------------------------------------

#define FLIST_FAIL(...)                    \
  do {                                     \
    debug_log('V', 0, __VA_ARGS__);        \
    VOL_ERROR(VOL_E_BAD_DESCRIPTOR);       \
    Vol_DeleteFreeList(v);                 \
    return -1;                             \
  } while (0)

// Reads num_flist pages of v's free-list chain from flist_head, each of this
// volume and inside it, each once. *next is the link of the last page read.
int read_chain(VOLUME* v, Vol_PAGEADDR* next) {
  Vol_PAGEADDR seen[kMaxFlistPages];
  Vol_PAGEADDR page = v->flist_head;
  for (uint32_t k = 0; k < v->num_flist; ++k) {
    const uint32_t n = PAGE_NUMBER(page);
    if (page == 0 || PAGE_VOLID(page) != v->volume_id || n == Vol_DESC_PAGE ||
        n == Vol_DESC_COPY_PAGE || n >= v->curr_size)
      FLIST_FAIL("Vol_ReadFreeDescriptor() failed: free-list chain of volume #%u is broken at "
                 "page=0x%x (%u of %u pages)",
                 v->volume_id, page, k, v->num_flist);
    for (uint32_t j = 0; j < k; ++j)
      if (seen[j] == page)
        FLIST_FAIL("Vol_ReadFreeDescriptor() failed: free-list chain of volume #%u loops at "
                   "page=0x%x",
                   v->volume_id, page);
    seen[k] = page;
    Vol_FLMEM* fl = Vol_CreateFreeDescriptor(page);
    if (v->flmem_tail != nullptr)
      v->flmem_tail->next = fl;
    else
      v->flmem_head = fl;
    v->flmem_tail = fl;
    if (read_free_page(v, fl) != 0) {
      Vol_DeleteFreeList(v);
      return -1;
    }
    page = Vol_FlistNext(fl);
  }
  if (v->flmem_tail == nullptr)
    FLIST_FAIL("Vol_ReadFreeDescriptor() failed: volume #%u has no free-list page", v->volume_id);
  *next = page;
  return 0;
}

// The chain read must end at flist_tail (a LOG or TEMP volume takes the end
// it found). A link past the last page (an extension that wrote the old
// tail's link but never its descriptor) is cut.
int settle_chain_end(VOLUME* v, Vol_PAGEADDR next) {
  if (v->flmem_tail->page != v->flist_tail) {
    if (v->type == VolType_DATA)
      FLIST_FAIL("Vol_ReadFreeDescriptor() failed: free-list chain of volume #%u ends at "
                 "page=0x%x, not at its tail page=0x%x",
                 v->volume_id, v->flmem_tail->page, v->flist_tail);
    v->flist_tail = v->flmem_tail->page;
    mark_dirty(v);
  }
  if (next != 0) {
    debug_log('V', 0,
              "NOTE: volume #%u: free-list chain continues past its tail page 0x%x - link "
              "removed",
              v->volume_id, v->flist_tail);
    Vol_FlistSetNext(v->flmem_tail, 0);
    fl_mark_dirty(v->flmem_tail);
  }
  return 0;
}

// The allocator must never hand out the descriptors or the free list.
int check_reserved_pages(VOLUME* v) {
  uint32_t reserved[kMaxFlistPages + 2];
  uint32_t nreserved = 0;
  reserved[nreserved++] = Vol_DESC_PAGE;
  reserved[nreserved++] = Vol_DESC_COPY_PAGE;
  for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next)
    reserved[nreserved++] = PAGE_NUMBER(fl->page);
  for (uint32_t i = 0; i < nreserved; ++i) {
    uint32_t bit;
    Vol_FLMEM* fl = Vol_FlistFor(v, reserved[i], &bit);
    if (fl != nullptr && Vol_FlistIsFree(fl, bit))
      FLIST_FAIL("Vol_ReadFreeDescriptor() failed: volume #%u marks its reserved page %u free",
                 v->volume_id, reserved[i]);
  }
  return 0;
}

// v's whole free list, checked. 0, or -1 with status VOL_E_BAD_DESCRIPTOR
// and no chain.
int read_free_list(VOLUME* v) {
  Vol_DeleteFreeList(v);
  Vol_PAGEADDR next = 0;
  if (read_chain(v, &next) != 0 || settle_chain_end(v, next) != 0) return -1;
  return check_reserved_pages(v);
}
#undef FLIST_FAIL

// --- Closing ---------------------------------------------------------------------

void close_volume(VOLUME* v) {
  if (v->fhandle == nullptr) return;
  tio_drain();
  tio_forget_file(v->fhandle);
  // A file refused at open may carry any id.
  if (v->volume_id < Vol_MAXLINK) g.flush_failures_seen[v->volume_id] = 0;
  if (platform::file_close(v->fhandle) != 0)
    ZENT_ASSERT(!"Vol_CloseSingle() failed on CloseHandle()");
  v->fhandle = nullptr;
}

void release_table() {
  if (g.table != nullptr) {
    for (int i = Vol_MAXLINK - 1; i >= 0; --i) {
      close_volume(&g.table[i]);
      Vol_DeleteFreeList(&g.table[i]);
    }
    delete[] g.table;
  }
  g.table = nullptr;
  g.num_volumes = 0;
  g.tlog_vol = nullptr;
  free_delayed_blocks(g.delayed);
  g.delayed = nullptr;
  g.delayed_log_pages = 0;
  memset(g.lowest_free, 0, sizeof g.lowest_free);
  for (Extension& e : g.ext) e = Extension{};
  tio_set_volume_lookup(nullptr);
}

// --- Opening one volume ----------------------------------------------------------

// Opens path for writing (the writer lock keeps every other writer off), or
// in read-only mode for reading under a shared lock (which keeps writers
// off too), and learns its file type. The file, or none with status VOL_E_OPEN and
// *os_error set.
platform::File* open_volume_file(const char* path, platform::FileInfo* info, int* os_error) {
  platform::File* f = nullptr;
  const unsigned how = g.read_only ? platform::FILE_READ | platform::FILE_SHARED
                                   : platform::FILE_WRITE;
  if (int err = platform::file_open(path, how, &f)) {
    debug_syserr('V', 0, err, "Unable to open volume file");
    debug_log('V', 0, "Unable to open volume file \"%s\"", path);
    VOL_ERROR(VOL_E_OPEN);
    *os_error = err;
    return nullptr;
  }
  if (int err = f->info(info)) {
    debug_syserr('V', 0, err, "Unable to determine volume file type");
    platform::file_close(f);
    VOL_ERROR(VOL_E_OPEN);
    *os_error = err;
    return nullptr;
  }
  return f;
}

// Reads v's descriptor copies and free list, resets the run-time fields and
// repairs what a crash between the copies' writes left. 0 or -1.
int read_volume(VOLUME* v, const char* path, const platform::FileInfo& info) {
  int rewrite = 0;
  if (read_descriptor(v, 0) != 0 ||
      compare_copies(v, path, info.size / Vol_PAGESIZE, &rewrite) != 0)
    return -1;
  v->callback = nullptr;
  v->flmem_head = v->flmem_tail = nullptr;
  memset(v->path, 0, sizeof v->path);
  memcpy(v->path, path, strlen(path));
  v->file_type = static_cast<uint32_t>(info.kind);
  v->io_count = v->read_count = v->write_count = 0;
  if (read_free_list(v) != 0) return -1;
  if (v->type != VolType_LOG) {
    const uint32_t counted = Vol_CountFreePages(v);
    if (counted != v->free_size) {
      debug_log('V', 1, "volume #%u: recovered number of free pages (current=%u, previous=%u)",
                v->volume_id, counted, v->free_size);
      v->free_size = counted;
    }
  }
  if (rewrite != 0) {
    // Copy 1 never goes ahead of copy 0.
    if ((rewrite & 1) != 0) {
      write_descriptor(v, 0);
      flush_file(v, Vol_TIO_SYNC);
    }
    write_descriptor(v, 1);
    flush_file(v, Vol_TIO_SYNC);
  }
  return 0;
}

// Vol_OpenSingle; *os_error is the system's error when the file could not
// be opened (the set decides later whether a missing file may be left out).
VOLUME* open_single(const char* path, int* os_error) {
  *os_error = 0;
  if (path == nullptr || strlen(path) >= static_cast<size_t>(Vol_MAXPATH)) {
    debug_log('V', 0, "Unable to open volume file: path too long (%s)", path ? path : "");
    VOL_ERROR(VOL_E_INCONSISTENT);
    return nullptr;
  }
  platform::FileInfo info;
  platform::File* f = open_volume_file(path, &info, os_error);
  if (f == nullptr) return nullptr;
  VOLUME* v = new (std::nothrow) VOLUME();
  if (v == nullptr) {
    debug_log('V', 0, "Vol_OpenSingle() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(VOLUME)));
    ZENT_ASSERT(!"Vol_OpenSingle() failed: heap overflow");
  }
  v->fhandle = f;
  if (read_volume(v, path, info) != 0) {
    Vol_FreeSingle(v);
    return nullptr;
  }
  debug_log('V', 3, "Vol_OpenSingle() opened volume #%u", v->volume_id);
  return v;
}

// Takes what v's copy 0 on disk says of the volume (after recovery, which
// may have written a copy made in backup mode home): its space and free
// list, and the settings a running server changes (extension and maximum
// size, USEVIO), so that a setting a checkpoint made durable in backup mode
// is not written back over with the one read at open. The other flags are
// this run's state (sync mode, backup mode, consistency) and stay. The copy
// must be v's. The descriptor is dirty afterwards. 0 or -1.
int reread_descriptor(VOLUME* v) {
  VOLUME copy0;
  copy0.fhandle = v->fhandle;
  if (read_descriptor(&copy0, 0) != 0 || copy0.volume_id != v->volume_id) return -1;
  v->curr_size = copy0.curr_size;
  v->free_size = copy0.free_size;
  v->flist_head = copy0.flist_head;
  v->flist_tail = copy0.flist_tail;
  v->num_flist = copy0.num_flist;
  v->first_page = copy0.first_page;
  v->ext_size = copy0.ext_size;
  v->max_size = copy0.max_size;
  if (flag(&copy0, Vol_USEVIO))
    set_flag(v, Vol_USEVIO);
  else
    clear_flag(v, Vol_USEVIO);
  mark_dirty(v);
  return 0;
}

// --- Opening the set ----------------------------------------------------------------

#define SET_FAIL(...)               \
  do {                              \
    debug_log('V', 0, __VA_ARGS__); \
    return -1;                      \
  } while (0)

struct OpenState {
  int force;
  int count;
  const char* missing_path[Vol_MAXLINK];
  int missing = 0;
  int missing_logs = 0;
  bool might_be_corrupted = false;
};

void clear_redirect_flags_all() {
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!slot_filled(v)) continue;
    if (flag(v, Vol_IS_REDIRECTED) || flag(v, Vol_REDIRECT_PAGES)) {
      clear_flag(v, Vol_IS_REDIRECTED);
      clear_flag(v, Vol_REDIRECT_PAGES);
      mark_dirty(v);
    }
  }
}

// A volume read may take its slot: it belongs to the set of the first
// volume read and its id is not taken yet. Logs why not.
bool may_take_slot(const VOLUME* v, const char* path, uint32_t set_id) {
  if (v->set_id != set_id) {
    debug_log('V', 0, "failed to open volume: file does not belong to volume set (%u: %s)",
              v->volume_id, path);
    return false;
  }
  if (v->volume_id == 0 && slot_filled(&g.table[0])) {
    debug_log('V', 0, "failed to open volume: more than one ROOT volume specified (%s)", path);
    return false;
  }
  if (slot_filled(&g.table[v->volume_id])) {
    debug_log('V', 0, "failed to open volume: volume already exists, volume_id=%u",
              v->volume_id);
    return false;
  }
  return true;
}

// Step 2: open every file and place it in its slot.
int open_files(OpenState* st, const char* const* paths) {
  const VOLUME* first = nullptr;
  for (int i = 0; i < st->count; ++i) {
    const char* path = paths[i];
    int os_error = 0;
    VOLUME* v = open_single(path, &os_error);
    if (v == nullptr) {
      // Whether a missing file may be left out is decided once the root and
      // every other file have been read.
      if (Vol_LastError() != VOL_E_OPEN || os_error != ENOENT) return -1;
      st->missing_path[st->missing++] = path;
      continue;
    }
    if (!may_take_slot(v, path, first != nullptr ? first->set_id : v->set_id)) {
      Vol_FreeSingle(v);
      return -1;
    }
    VOLUME* slot = &g.table[v->volume_id];
    *slot = *v;
    if (first == nullptr) first = slot;
    // The slot owns the file and the free list now.
    v->fhandle = nullptr;
    v->flmem_head = v->flmem_tail = nullptr;
    delete v;
  }
  return 0;
}

// Step 3 for one empty slot of the used map.
int check_empty_slot(OpenState* st, int id) {
  VOLUME* r = root();
  if (g.root_release >= 29 && Vol_IsAllocAllowed(id, &r->tlog_aldesc) &&
      (st->force || flag(r, Vol_CONSISTENT))) {
    st->missing_logs++;
    if (!flag(r, Vol_CONSISTENT)) st->might_be_corrupted = true;
    return 0;
  }
  if (g.root_release >= 30 && Vol_IsAllocAllowed(id, &r->temp_aldesc)) {
    debug_log('V', 1, "NOTE: TEMP volume %d missing - dropped from the volume set", id);
    Vol_ClearAllocAllowed(id, &r->used_map);
    Vol_ClearAllocAllowed(id, &r->tlog_aldesc);
    Vol_ClearAllocAllowed(id, &r->temp_aldesc);
    Vol_SetAllocAllowed(id, &r->standard_aldesc);
    mark_dirty(r);
    return 0;
  }
  SET_FAIL("failed to open volume: missing volume #%d", id);
}

// Step 3: a DATA volume carries the root's generation; a LOG volume that
// does not is taken as it stands when forced or when the set was closed
// cleanly; TEMP volumes are not compared.
int check_generation(OpenState* st, VOLUME* v) {
  VOLUME* r = root();
  switch (v->type) {
    case VolType_DATA:
      if (v->generation != r->generation)
        SET_FAIL("failed to open volume: volume #%u has inconsistent generation count %u "
                 "(should be %u)",
                 v->volume_id, v->generation, r->generation);
      return 0;
    case VolType_LOG:
      if (v->generation == r->generation) return 0;
      if (!st->force && !flag(r, Vol_CONSISTENT))
        SET_FAIL("failed to open volume: volume #%u has inconsistent generation count %u "
                 "(should be %u)",
                 v->volume_id, v->generation, r->generation);
      debug_log('V', 0, "NOTE: LOG volume %u has inconsistent generation count - %s",
                v->volume_id,
                flag(r, Vol_CONSISTENT) ? "ignored since data volume is consistent"
                                        : "data volume might be corrupted");
      if (!flag(r, Vol_CONSISTENT)) st->might_be_corrupted = true;
      v->generation = r->generation;
      mark_dirty(v);
      clear_redirect_flags_all();
      return 0;
    case VolType_TEMP:
      return 0;
    default:
      SET_FAIL("failed to open volume: volume #%u has unknown type %u", v->volume_id, v->type);
  }
}

// Step 3, from release 30 on: each volume is in the one allocator map of its
// type.
int check_allocator_maps(int id, const VOLUME* v) {
  const VOLUME* r = root();
  const bool s = Vol_IsAllocAllowed(id, &r->standard_aldesc);
  const bool l = Vol_IsAllocAllowed(id, &r->tlog_aldesc);
  const bool t = Vol_IsAllocAllowed(id, &r->temp_aldesc);
  const bool ok = (v->type == VolType_DATA && s && !l && !t) ||
                  (v->type == VolType_LOG && !s && l && !t) ||
                  (v->type == VolType_TEMP && !s && !l && t);
  if (!ok)
    SET_FAIL("failed to open volume: volume #%u has inconsistent allocator settings",
             v->volume_id);
  return 0;
}

// Step 3 for one volume read.
int check_volume(OpenState* st, int id) {
  VOLUME* r = root();
  VOLUME* v = &g.table[id];
  if (id == 0 && v->type != VolType_DATA)
    SET_FAIL("failed to open volume: volume #%u has unknown type %u", v->volume_id, v->type);
  if (id != 0 && check_generation(st, v) != 0) return -1;
  if (flag(v, Vol_IS_REDIRECTED) && !flag(r, Vol_IS_REDIRECTED)) {
    set_flag(r, Vol_IS_REDIRECTED);
    mark_dirty(r);
  }
  if (g.root_release >= 30) return check_allocator_maps(id, v);
  return 0;
}

// A root page read from a descriptor must lie inside an open volume of the set.
bool valid_root_page(Vol_PAGEADDR page) {
  if (page == 0) return true;
  const uint32_t id = PAGE_VOLID(page);
  if (id >= static_cast<uint32_t>(g.num_volumes) || !slot_filled(&g.table[id])) return false;
  const uint32_t n = PAGE_NUMBER(page);
  return n != Vol_DESC_PAGE && n != Vol_DESC_COPY_PAGE && n < g.table[id].curr_size;
}

int check_set(OpenState* st) {
  VOLUME* r = root();
  if (!slot_filled(r)) SET_FAIL("failed to open volume: missing ROOT volume");
  g.root_release = r->release;
  if (r->num_volumes < static_cast<uint32_t>(st->count))
    SET_FAIL("failed to open volume: number of volumes is not correct (%d specified, should "
             "be %u)",
             st->count, r->num_volumes);
  for (int id = static_cast<int>(r->num_volumes); id < Vol_MAXLINK; ++id)
    if (slot_filled(&g.table[id]))
      SET_FAIL("failed to open volume: volume_id %u is out of range, set contains %d volumes",
               g.table[id].volume_id, static_cast<int>(r->num_volumes));
  g.num_volumes = static_cast<int>(r->num_volumes);
  // A missing file may be left out only from a set that knows its TEMP and
  // LOG volumes; which it was is told by its slot below.
  if (st->missing > 0 && g.root_release < 29) {
    for (int i = 0; i < st->missing; ++i)
      debug_log('V', 0, "failed to open volume: missing volume file \"%s\"", st->missing_path[i]);
    return -1;
  }
  for (int id = g.num_volumes; id < Vol_MAXLINK; ++id)
    if (Vol_IsAllocAllowed(id, &r->used_map))
      SET_FAIL("failed to open volume: volume #%d is in the used map of a set of %d volumes",
               id, g.num_volumes);
  for (int i = 0; i < st->missing; ++i)
    debug_log('V', 0, "NOTE: Missing volume file: \"%s\"", st->missing_path[i]);
  for (int id = 0; id < g.num_volumes; ++id) {
    if (id != 0 && !Vol_IsAllocAllowed(id, &r->used_map)) continue;
    const int rc = slot_filled(&g.table[id]) ? check_volume(st, id) : check_empty_slot(st, id);
    if (rc != 0) return -1;
  }
  for (int id = 0; id < g.num_volumes; ++id) {
    const VOLUME* v = &g.table[id];
    if (slot_filled(v) && !valid_root_page(v->first_page))
      SET_FAIL("failed to open volume: volume #%u has an invalid root page 0x%x", v->volume_id,
               v->first_page);
  }
  return 0;
}

// Step 4: the primary LOG volume.
int choose_tlog_volume(OpenState* st) {
  VOLUME* r = root();
  if (st->missing_logs > 0) {
    debug_log('V', 0, "NOTE: %d LOG volume%s missing - %s", st->missing_logs,
              st->missing_logs == 1 ? "" : "s are",
              flag(r, Vol_CONSISTENT) ? "transactions not available"
                                      : "data volume might be corrupted");
    clear_redirect_flags_all();
    VOL_ERROR(VOL_E_NO_TRANSACTIONS);
    return 0;
  }
  VOLUME* first_log = nullptr;
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!in_set(id) || v->type != VolType_LOG) continue;
    if (first_log == nullptr) first_log = v;
    if (v->first_page == 0) continue;
    if (g.tlog_vol != nullptr)
      SET_FAIL("failed to open volume: more than one primary transaction log volume present");
    g.tlog_vol = v;
  }
  if (g.tlog_vol == nullptr) g.tlog_vol = first_log;
  if (g.tlog_vol == nullptr) {
    debug_log('V', 1, "No LOG volume present - transactions not available");
    VOL_ERROR(VOL_E_NO_TRANSACTIONS);
  }
  return 0;
}

// Step 5: bring an older set up to the current release.
void upgrade_set() {
  VOLUME* r = root();
  if (g.root_release < 29) {
    Vol_SetAllAllocAllowed(&r->standard_aldesc);
    Vol_ClearAllAllocAllowed(&r->tlog_aldesc);
    for (int id = 0; id < g.num_volumes; ++id) {
      if (in_set(id) && g.table[id].type == VolType_LOG) {
        Vol_ClearAllocAllowed(id, &r->standard_aldesc);
        Vol_SetAllocAllowed(id, &r->tlog_aldesc);
      }
    }
  }
  if (g.root_release < 30) {
    Vol_ClearAllAllocAllowed(&r->temp_aldesc);
    for (int id = 0; id < g.num_volumes; ++id) {
      if (in_set(id) && g.table[id].type == VolType_TEMP) {
        Vol_ClearAllocAllowed(id, &r->standard_aldesc);
        Vol_SetAllocAllowed(id, &r->temp_aldesc);
      }
    }
  }
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!is_open(v) || v->release == Vol_CurrentRelease(v)) continue;
    v->release = Vol_CurrentRelease(v);
    // A read-only open keeps the upgrade in memory: the files stay as found.
    if (!g.read_only) flush_descriptor(v, Vol_TIO_SYNC);
  }
}

#undef SET_FAIL

// --- Writing back ---------------------------------------------------------------------

// While an extension of v is being written, the pages written here are
// flushed at once all the same; copy 0 is the extension's to write, and a
// SYNC caller waits until it has (whatever changed meanwhile is in it).
void sync_volume(VOLUME* v, int tio_mode) {
  write_dirty_free_pages(v);
  bool flushed = false;
  if (extension_in_flight(v)) {
    if (synced(v)) flush_file(v, tio_mode);
    if (tio_mode != Vol_TIO_SYNC) return;
    flushed = true;
    wait_for_extension(v);
  }
  if (flag(v, Vol_DIRTY))
    write_copies(v, synced(v), tio_mode);
  else if (synced(v) && !flushed)
    flush_file(v, tio_mode);
}

template <typename Fn>
void for_each_open(bool log_volumes, Fn fn) {
  if (g.table == nullptr) return;
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (in_set(id) && is_log_volume(v) == log_volumes) fn(v);
  }
}

// --- Properties -------------------------------------------------------------------

// The open volume whose path is exactly path: Linux file names differ by case.
VOLUME* volume_by_path(const char* path) {
  for (int id = 0; id < g.num_volumes; ++id)
    if (is_open(&g.table[id]) && strcmp(g.table[id].path, path) == 0) return &g.table[id];
  return nullptr;
}

// Every value given (not Vol_UNCHANGED) needs a volume and must be in range;
// the flags may name USEVIO only. 0, or -1 with the status set.
int check_property_changes(const VOLUME* vol, uint32_t flag_mask, uint32_t flag_values,
                           uint32_t size, uint32_t ext_size, uint32_t max_size) {
  struct Needs {
    uint32_t value;
    const char* what;
  };
  for (const Needs& n : {Needs{size, "size"}, Needs{ext_size, "extension size"},
                         Needs{max_size, "maximum size"}}) {
    if (n.value != Vol_UNCHANGED && vol == nullptr) {
      debug_log('V', 0,
                "Vol_ChangeProperties() failed: volume file not specified - required to change %s",
                n.what);
      VOL_ERROR(VOL_E_PROPERTIES);
      return -1;
    }
  }
  if (size != Vol_UNCHANGED && (size < Vol_MINPAGES || size > Vol_MAXPAGES)) {
    debug_log('V', 0, "Vol_ChangeProperties() failed: size (%u) is out of range", size);
    VOL_ERROR(VOL_E_RANGE);
    return -1;
  }
  if (ext_size != Vol_UNCHANGED && (ext_size == 1 || ext_size > Vol_MAXPAGES)) {
    debug_log('V', 0, "Vol_ChangeProperties() failed: ext_size (%u) is out of range", ext_size);
    VOL_ERROR(VOL_E_RANGE);
    return -1;
  }
  if (max_size != Vol_UNCHANGED && max_size != 0 && max_size < vol->curr_size) {
    debug_log('V', 0, "Vol_ChangeProperties() failed: max_size (%u) is out of range", max_size);
    VOL_ERROR(VOL_E_RANGE);
    return -1;
  }
  const uint32_t usevio = 1u << Vol_USEVIO;
  if ((flag_mask != 0 && flag_mask != usevio) || (flag_values & ~usevio) != 0) {
    debug_log('V', 0, "Vol_ChangeProperties() failed: inconsistent flags: %08x/%08x", flag_mask,
              flag_values);
    VOL_ERROR(VOL_E_PROPERTIES);
    return -1;
  }
  return 0;
}

}  // namespace

// =====================================================================================
// Interface
// =====================================================================================

VOLUME* Vol_OpenSingle(const char* path) {
  int os_error = 0;
  return open_single(path, &os_error);
}

void Vol_CloseSingle(VOLUME* vol) {
  close_volume(vol);
  Vol_DeleteFreeList(vol);
}

void Vol_FreeSingle(VOLUME* vol) {
  if (vol == nullptr) return;
  Vol_CloseSingle(vol);
  delete vol;
}

VOLUME* Vol_Open(int count, const char* const* paths, int force) {
  ZENT_ASSERT(g.table == nullptr && "!root_vol");
  ZENT_ASSERT(count >= 1 && paths != nullptr && "pcount > 0 && path");
  if (force)
    debug_log('V', 3, "Vol_Open(pcount=%d, force=%d)", count, force);
  else
    debug_log('V', 3, "Vol_Open(pcount=%d)", count);
  if (count > Vol_MAXLINK) {
    debug_log('V', 0, "failed to open volume: number of volumes is not correct (%d specified, "
              "should be %u)", count, static_cast<unsigned>(Vol_MAXLINK));
    VOL_ERROR(VOL_E_INCONSISTENT);
    return nullptr;
  }
  if (Vol_Initialize() != 0) return nullptr;
  g.table = new (std::nothrow) VOLUME[Vol_MAXLINK]();
  if (g.table == nullptr) {
    debug_log('V', 0, "Vol_Open() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(VOLUME) * Vol_MAXLINK));
    ZENT_ASSERT(!"Vol_Open() failed: heap overflow");
  }
  g.num_volumes = count;
  g.failed_writes_durable = Vol_FailedWrites();
  g.rewrites_durable = g.rewrites;
  for (uint32_t& seen : g.flush_failures_seen) seen = 0;
  for (uint64_t& seq : g.durable_seq) seq = Vol_WriteSeq();
  g.tlog_vol = nullptr;
  memset(g.lowest_free, 0, sizeof g.lowest_free);
  OpenState st{};
  st.force = force;
  st.count = count;
  const bool ok = open_files(&st, paths) == 0 && check_set(&st) == 0 &&
                  choose_tlog_volume(&st) == 0;
  if (!ok) {
    VOL_ERROR(VOL_E_INCONSISTENT);
    release_table();
    Vol_Cleanup();
    return nullptr;
  }
  tio_set_volume_lookup(tio_lookup);
  upgrade_set();
  if (st.might_be_corrupted) {
    // The set is taken as it stands.
    set_flag(root(), Vol_CONSISTENT);
    mark_dirty(root());
  }
  return g.table;
}

VOLUME* Vol_OpenSet(int count, const char* const* paths) { return Vol_Open(count, paths, 0); }

void Vol_SetReadOnly(int on) {
  ZENT_ASSERT(g.table == nullptr && "!root_vol");
  g.read_only = on != 0;
}

int Vol_IsReadOnly() { return g.read_only ? 1 : 0; }

void Vol_Close() {
  if (g.table == nullptr) return;
  fire_event(Vol_EVENT_CLOSE);
  for (int id = Vol_MAXLINK - 1; id >= 0; --id) close_volume(&g.table[id]);
}

void Vol_Free() {
  if (g.table == nullptr) return;
  for (int id = 0; id < Vol_MAXLINK; ++id)
    ZENT_ASSERT(!is_open(&g.table[id]) && "volume closed");
  release_table();
  Vol_Cleanup();
}

int Vol_ReInit() {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  fire_event(Vol_EVENT_REINIT);
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!in_set(id) || v->type != VolType_DATA) continue;
    wait_for_extension(v);
    if (reread_descriptor(v) != 0) {
      debug_log('V', 0, "Vol_ReInit() failed: descriptor of volume #%u (%s) cannot be re-read",
                v->volume_id, v->path);
      VOL_ERROR(VOL_E_BAD_DESCRIPTOR);
      return -1;
    }
    if (read_free_list(v) != 0) return -1;
  }
  return 0;
}

int Vol_ReadVolumeDescriptor(VOLUME* vol, int copy) { return read_descriptor(vol, copy); }

int Vol_WriteVolumeDescriptor(VOLUME* vol, int copy, Tlog_TAGREC* tag) {
  return write_descriptor(vol, copy, tag) ? 0 : -1;
}

int Vol_ReadFreeDescriptor(VOLUME* vol, Vol_FLMEM* fl) { return read_free_page(vol, fl); }

void Vol_WriteFreeDescriptor(VOLUME* vol, Vol_FLMEM* fl) { write_free_page(vol, fl); }

VOLUME* Vol_GetRootVol() { return g.table; }
VOLUME* Vol_GetTlogVol() { return g.tlog_vol; }
int Vol_NumVolumes() { return g.num_volumes; }

VOLUME* Vol_VolumeOf(Vol_PAGEADDR page) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  const uint32_t id = PAGE_VOLID(page);
  ZENT_ASSERT(id < static_cast<uint32_t>(g.num_volumes) && "PAGE_VOLID(page) < num_volumes");
  VOLUME* v = &g.table[id];
  ZENT_ASSERT(is_open(v) && "volume open");
  return v;
}

Vol_ALDESC* Vol_GetTlogAldesc() {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  return &root()->tlog_aldesc;
}

Vol_Callback Vol_SetCallback(Vol_Callback fn) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  Vol_Callback previous = root()->callback;
  root()->callback = fn;
  return previous;
}

int Vol_IsRedirected() { return g.table != nullptr && flag(root(), Vol_IS_REDIRECTED) ? 1 : 0; }

void Vol_SetLargeFileMode(int on) { g.large_file = on; }

int Vol_LastError() {
  const ErrorStatus s = get_error();
  return (s & 0xFF00u) == 0 ? error_code(s) : 0;
}

int Vol_LastStatus() {
  const ErrorStatus s = get_error();
  return (s & 0xFC00u) == 0 && error_severity(s) == ERR_SEV_R ? error_code(s) : 0;
}

void Vol_FlushDescriptor(VOLUME* vol) { flush_descriptor(vol, Vol_TIO_SYNC); }

void Vol_Sync(int tio_mode) {
  if (g.table == nullptr) return;
  fire_event(Vol_EVENT_SYNC);
  for_each_open(false, [&](VOLUME* v) { sync_volume(v, tio_mode); });
  for_each_open(true, [&](VOLUME* v) { sync_volume(v, tio_mode); });
}

void Vol_SyncData(int tio_mode) {
  for_each_open(false, [&](VOLUME* v) { sync_volume(v, tio_mode); });
}

namespace {

// Whether a DATA file of the set has had a failed flush, which the log that
// covers its pages must outlive (tio_flush_error).
bool data_flush_failed() {
  bool failed = false;
  for_each_open(false, [&](const VOLUME* v) { failed = failed || tio_flush_error(v->fhandle) != 0; });
  return failed;
}

// Writes and flushes every DATA volume; refused is the count of writes
// kept back before the caller's writes began.
int sync_data_files(uint32_t refused) {
  const uint32_t failed_writes = Vol_FailedWrites();
  const uint32_t rewrites = g.rewrites;
  for_each_open(false, [](VOLUME* v) {
    sync_volume(v, Vol_TIO_SYNC);
    // Without DSYNC sync_volume leaves the file unflushed; the caller is
    // about to rely on these pages without a log record of them.
    if (!synced(v)) flush_file(v, Vol_TIO_SYNC);
  });
  // A page kept back (no LOG page for it, or a failed write) is only in
  // memory: the log that covers it must stay.
  if (Vol_RefusedWrites() != refused) {
    if (Vol_FailedWrites() != failed_writes)
      debug_log('V', 1, "Vol_SyncDataDurably(): pages kept back, their writes failed");
    else
      debug_log('V', 1, "Vol_SyncDataDurably(): pages kept back in on-line backup mode");
    VOL_ERROR(VOL_E_NO_SPACE);
    return -1;
  }
  // After a failed flush the system may have dropped pages written before
  // it, which the cache holds as clean: only the log still has them, until
  // a restart recovers from it.
  if (data_flush_failed() || g.rewrites != rewrites) {
    debug_log('V', 1, "Vol_SyncDataDurably(): a data file failed a flush, the log stays");
    VOL_ERROR(VOL_E_NO_SPACE);
    return -1;
  }
  return 0;
}

}  // namespace

int Vol_SyncDataDurably() {
  if (g.table == nullptr) return 0;
  const uint32_t refused = Vol_RefusedWrites();
  const uint32_t failed_writes = Vol_FailedWrites();
  const uint32_t rewrites = g.rewrites;
  fire_event(Vol_EVENT_SYNC);
  if (sync_data_files(refused) != 0) return -1;
  // Every changed page went out again: earlier failures are mended.
  g.failed_writes_durable = failed_writes;
  g.rewrites_durable = rewrites;
  return 0;
}

int Vol_SyncDataFiles(uint32_t refused) {
  if (g.table == nullptr) return 0;
  return sync_data_files(refused);
}

void Vol_ClearRedirectFlags(int data_only) {
  if (g.table == nullptr) return;
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!in_set(id) || (data_only && v->type != VolType_DATA)) continue;
    if (!flag(v, Vol_IS_REDIRECTED) && !flag(v, Vol_REDIRECT_PAGES)) continue;
    clear_flag(v, Vol_IS_REDIRECTED);
    clear_flag(v, Vol_REDIRECT_PAGES);
    mark_dirty(v);
    if (v->type != VolType_DATA) {
      wait_for_extension(v);
      write_copies(v, true, Vol_TIO_SYNC);
    }
  }
}

void Vol_TlogSync(int tio_mode) {
  for_each_open(true, [&](VOLUME* v) { sync_volume(v, tio_mode); });
}

void Vol_SyncFreeList() {
  for_each_open(false, [](VOLUME* v) {
    write_dirty_free_pages(v);
    if (flag(v, Vol_DSYNC)) flush_file(v, Vol_TIO_OP_OVL);
  });
}

void Vol_TlogSyncFreeList() {
  for_each_open(true, [](VOLUME* v) {
    write_dirty_free_pages(v);
    if (flag(v, Vol_LSYNC)) flush_file(v, Vol_TIO_OP_OVL);
  });
}

void Vol_ForceSync(int tio_mode) {
  for_each_open(false, [&](VOLUME* v) {
    if (flag(v, Vol_DSYNC)) flush_file(v, tio_mode);
  });
}

void Vol_TlogForceSync(int tio_mode) {
  for_each_open(true, [&](VOLUME* v) {
    if (flag(v, Vol_LSYNC)) flush_file(v, tio_mode);
  });
}

int Vol_SetSyncMode(int mode) {
  if (mode != 0 && mode != 1) {
    debug_log('V', 0, "Vol_SetSyncMode() failed: invalid mode");
    return -1;
  }
  if (g.table == nullptr) return 0;
  VOLUME* r = root();
  for (int id = 0; id < g.num_volumes; ++id) {
    if (!in_set(id)) continue;
    VOLUME* v = &g.table[id];
    const int bit = Vol_IsAllocAllowed(id, &r->tlog_aldesc) ? Vol_LSYNC : Vol_DSYNC;
    if ((flag(v, bit) ? 1 : 0) == mode) continue;
    if (mode)
      set_flag(v, bit);
    else
      clear_flag(v, bit);
    mark_dirty(v);
  }
  return 0;
}

// The clean-close flag is on disk when these return, whatever the sync
// mode: recovery trusts it. Before the flag is set, everything written so
// far is flushed, so that the flag never reaches the disk ahead of what it
// vouches for.
void Vol_SetConsistent() {
  if (g.table == nullptr || flag(root(), Vol_CONSISTENT)) return;
  // Frees held back until the next checkpoint would be lost with the
  // memory: a set closed clean is never replayed, so once what named the
  // pages is on disk they go back to the volumes.
  if (Vol_DELAYED_FREE* held = Vol_TakeDelayedFrees()) {
    Vol_Sync(Vol_TIO_SYNC);
    for (bool log : {false, true})
      for_each_open(log, [](VOLUME* v) { flush_file(v, Vol_TIO_SYNC); });
    Vol_FreeDelayedList(held);
    Vol_Sync(Vol_TIO_SYNC);
  }
  for (bool log : {false, true})
    for_each_open(log, [](VOLUME* v) { flush_file(v, Vol_TIO_SYNC); });
  // A page whose write or flush failed since the data were last durable
  // may be missing: the next start must recover from the log.
  if (data_flush_failed() || Vol_FailedWrites() != g.failed_writes_durable ||
      g.rewrites != g.rewrites_durable) {
    debug_log('V', 0, "Vol_SetConsistent(): data writes failed, the set is left for recovery");
    return;
  }
  set_flag(root(), Vol_CONSISTENT);
  mark_dirty(root());
  wait_for_extension(root());
  write_copies(root(), true, Vol_TIO_SYNC);
}

void Vol_ClearConsistent() {
  if (g.table == nullptr || !flag(root(), Vol_CONSISTENT)) return;
  clear_flag(root(), Vol_CONSISTENT);
  mark_dirty(root());
  wait_for_extension(root());
  write_copies(root(), true, Vol_TIO_SYNC);
}

int Vol_IsConsistent() { return g.table != nullptr && flag(root(), Vol_CONSISTENT) ? 1 : 0; }

int Vol_ReadPage(Vol_PAGEADDR page, void* buf, uint32_t size) {
  return Vol_Read(Vol_VolumeOf(page), PAGE_NUMBER(page), buf, size);
}

int Vol_WritePage(Vol_PAGEADDR page, const void* buf, uint32_t size) {
  return Vol_WriteOrKeep(Vol_VolumeOf(page), PAGE_NUMBER(page), buf, size, nullptr) == 0 ? 0 : -1;
}

int Vol_ReadPageVector(Vol_PAGEADDR first_page, int count, void* const* bufs) {
  check_count(count);
  return Vol_ReadVector(Vol_VolumeOf(first_page), PAGE_NUMBER(first_page), count, bufs);
}

int Vol_WritePageVector(Vol_PAGEADDR first_page, int count, const void* const* bufs) {
  check_count(count);
  return Vol_WriteVector(Vol_VolumeOf(first_page), PAGE_NUMBER(first_page), count, bufs);
}

int Vol_SetExtensionSize(VOLUME* vol, uint32_t ext_size) {
  if (ext_size == 1 || ext_size > Vol_MAXPAGES) {
    debug_log('V', 0, "Vol_SetExtensionSize() failed: ext_size (%u) is out of range", ext_size);
    VOL_ERROR(VOL_E_RANGE);
    return -1;
  }
  vol->ext_size = ext_size;
  if (ext_size != 0)
    debug_log('V', 1, "Note: Volume extension size is set to %u pages, volume #%u (%s)", ext_size,
              vol->volume_id, vol->path);
  else
    debug_log('V', 1, "Note: Volume extension size is reset (not extendable), volume #%u (%s)",
              vol->volume_id, vol->path);
  mark_dirty(vol);
  return 0;
}

int Vol_SetMaximumSize(VOLUME* vol, uint32_t max_size) {
  if (max_size != 0 && max_size < vol->curr_size) {
    debug_log('V', 0, "Vol_SetMaximumSize() failed: max_size (%u) is out of range", max_size);
    VOL_ERROR(VOL_E_RANGE);
    return -1;
  }
  vol->max_size = max_size;
  if (max_size != 0)
    debug_log('V', 1, "Note: Volume maximum size is set to %u pages, volume #%u (%s)", max_size,
              vol->volume_id, vol->path);
  else
    debug_log('V', 1, "Note: Volume maximum size is reset (infinite), volume #%u (%s)",
              vol->volume_id, vol->path);
  mark_dirty(vol);
  return 0;
}

int Vol_ChangeProperties(const char* path, uint32_t flag_mask, uint32_t flag_values,
                         uint32_t size, uint32_t ext_size, uint32_t max_size) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  VOLUME* vol = nullptr;
  if (path != nullptr) {
    vol = volume_by_path(path);
    if (vol == nullptr) {
      debug_log('V', 0, "Vol_ChangeProperties() failed: volume file not in volume set, path=\"%s\"",
                path);
      VOL_ERROR(VOL_E_PROPERTIES);
      return -1;
    }
  }
  if (check_property_changes(vol, flag_mask, flag_values, size, ext_size, max_size) != 0)
    return -1;
  if (ext_size != Vol_UNCHANGED && Vol_SetExtensionSize(vol, ext_size) != 0) return -1;
  if (max_size != Vol_UNCHANGED && Vol_SetMaximumSize(vol, max_size) != 0) return -1;
  if (flag_mask != 0 && vol != nullptr) {
    if (flag_values & (1u << Vol_USEVIO))
      set_flag(vol, Vol_USEVIO);
    else
      clear_flag(vol, Vol_USEVIO);
    mark_dirty(vol);
  }
  return 0;
}

int Vol_GetVolumeInfo(int index, Vol_XINFO* info) {
  if (g.table == nullptr || index < 0 || index >= g.num_volumes) return -1;
  const VOLUME* r = root();
  if (!Vol_IsAllocAllowed(index, &r->used_map)) return 1;
  const VOLUME* v = &g.table[index];
  if (!is_open(v)) {
    // A volume of the set whose file was missing at open (a LOG volume of a
    // clean set): what the root knows of it, no path and no pages.
    const uint32_t type = Vol_IsAllocAllowed(index, &r->tlog_aldesc)   ? VolType_LOG
                          : Vol_IsAllocAllowed(index, &r->temp_aldesc) ? VolType_TEMP
                                                                       : VolType_DATA;
    *info = Vol_XINFO{static_cast<uint32_t>(index), r->set_id, type, "", Vol_PAGESIZE, 0, 0, 0,
                      0, 0, 0, 0};
    return 0;
  }
  *info = Vol_XINFO{v->volume_id, v->set_id,     v->type,       v->path,
                    Vol_PAGESIZE, v->curr_size,  v->ext_size,   v->max_size,
                    v->free_size, v->io_count,   v->read_count, v->write_count};
  return 0;
}

namespace {

void add_volume(const VOLUME* v, Vol_INFO* info) {
  info->curr_size += v->curr_size;
  info->capacity += v->max_size != 0 ? v->max_size : v->curr_size;
  info->free_size += v->free_size;
  info->io_count += v->io_count;
  info->read_count += v->read_count;
  info->write_count += v->write_count;
}

void totals(const Vol_ALDESC* map, uint32_t vclass, Vol_INFO* info) {
  *info = Vol_INFO{};
  info->vclass = vclass;
  info->page_size = Vol_PAGESIZE;
  for (int id = 0; id < g.num_volumes; ++id)
    if (in_set(id) && Vol_IsAllocAllowed(id, map)) add_volume(&g.table[id], info);
}
}  // namespace

void Vol_GetDataInfo(Vol_INFO* info) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  totals(&root()->standard_aldesc, 0, info);
  info->root_page = root()->first_page;
}

void Vol_GetLogInfo(Vol_INFO* info) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  *info = Vol_INFO{};
  info->vclass = 1;
  info->page_size = Vol_PAGESIZE;
  if (g.tlog_vol == nullptr) return;
  totals(&root()->tlog_aldesc, 1, info);
  info->root_page = g.tlog_vol->first_page;
}

void Vol_GetSingleInfo(const VOLUME* vol, Vol_INFO* info) {
  *info = Vol_INFO{};
  info->vclass = is_log_volume(vol) ? 1 : 0;
  info->page_size = Vol_PAGESIZE;
  add_volume(vol, info);
  info->root_page = vol->first_page;
}

void Vol_TlogRebuild() {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  fire_event(Vol_EVENT_REBUILD);
  if (buf_NumBuffers() > 0) buf_Sync(nullptr, 1);
  for_each_open(true, [](VOLUME* v) {
    wait_for_extension(v);
    debug_log('V', 2, "rebuilding log volume (%u: %s)", v->volume_id, v->path);
    v->first_page = 0;
    for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next) {
      for (int w = 0; w < Vol_FLIST_SIZE; ++w) Vol_FlistSetWord(fl, w, 0xFFFFFFFFu);
      fl_mark_dirty(fl);
    }
    v->free_size = v->curr_size;
    lowest_free(v) = 0;
    mark_page(v, Vol_DESC_PAGE);
    mark_page(v, Vol_DESC_COPY_PAGE);
    for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next)
      mark_page(v, PAGE_NUMBER(fl->page));
    write_dirty_free_pages(v);
    flush_descriptor(v, Vol_TIO_SYNC);
  });
  drop_delayed_log_frees();
}

VOLUME* Vol_AttachVolume(const char* path) {
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  int os_error = 0;
  VOLUME* v = open_single(path, &os_error);
  if (v == nullptr) return nullptr;
  if (v->volume_id == 0 || v->set_id != root()->set_id) {
    debug_log('V', 0, "failed to open volume: file does not belong to volume set (%u: %s)",
              v->volume_id, path);
    VOL_ERROR(VOL_E_INCONSISTENT);
    Vol_FreeSingle(v);
    return nullptr;
  }
  const uint32_t id = v->volume_id;
  VOLUME* slot = &g.table[id];
  if (is_open(slot)) {
    wait_for_extension(slot);
    close_volume(slot);
  }
  Vol_DeleteFreeList(slot);
  if (slot_filled(slot)) drop_delayed_frees_of(id);
  *slot = *v;
  v->fhandle = nullptr;
  v->flmem_head = v->flmem_tail = nullptr;
  delete v;
  lowest_free(slot) = 0;
  if (id >= static_cast<uint32_t>(g.num_volumes)) g.num_volumes = static_cast<int>(id) + 1;
  if (slot->type == VolType_LOG && g.tlog_vol == nullptr) g.tlog_vol = slot;
  return slot;
}
