// volume_set.cpp - opening, checking and writing back the set of volume
// files; page allocation, freeing and volume extension (see volume_set.h).
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
#include <memory>
#include <new>
#include <utility>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/file.h"
#include "storage/backup_seams.h"
#include "storage/buffer_cache.h"
#include "storage/page_io.h"
#include "storage/tio.h"

#define VOL_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

namespace {

// Largest number of free-list pages a volume can have.
constexpr uint32_t kMaxFlistPages = Vol_FlistPagesFor(Vol_MAXPAGES);

// The extension of one volume being written. Its new pages are in memory
// from the start, but copy 0 may name them only once they are on disk, and
// only then may other tasks have them.
struct Extension {
  bool active = false;
  uint32_t visible = 0;  // while active: the pages below it may go to any task
  WaitQueue done;        // tasks waiting for it to be written
};

struct VolSet {
  VOLUME* table = nullptr;  // Vol_MAXLINK records; entry 0 is the root
  int num_volumes = 0;      // entries in use by the set
  VOLUME* tlog_vol = nullptr;
  uint32_t root_release = 0;  // the root's release as read at open
  Vol_DELAYED_FREE* delayed = nullptr;
  uint32_t delayed_log_pages = 0;
  int large_file = 0;
  uint32_t lowest_free[Vol_MAXLINK] = {};  // by volume id; see find_free_run
  Extension ext[Vol_MAXLINK];               // by volume id
};

VolSet g;

// --- Small helpers ------------------------------------------------------------

bool flag(const VOLUME* v, int bit) { return Vol_TestFlag(bit, &v->header) != 0; }
void set_flag(VOLUME* v, int bit) { Vol_SetFlag(bit, &v->header); }
void clear_flag(VOLUME* v, int bit) { Vol_ClearFlag(bit, &v->header); }
void mark_dirty(VOLUME* v) { set_flag(v, Vol_DIRTY); }

bool fl_dirty(const Vol_FLMEM* fl) { return Vol_TestFlag(Vol_DIRTY, fl->image) != 0; }
void fl_mark_dirty(Vol_FLMEM* fl) { Vol_SetFlag(Vol_DIRTY, fl->image); }

VOLUME* root() { return g.table; }
bool slot_filled(const VOLUME* v) { return v->revision[0] != '\0'; }
bool is_open(const VOLUME* v) { return v->fhandle != nullptr; }

// The volumes of the set that are open and in the root's used map.
bool in_set(int id) {
  const VOLUME* v = &g.table[id];
  return is_open(v) && Vol_IsAllocAllowed(id, &root()->used_map);
}

bool is_log_volume(const VOLUME* v) { return v->type == VolType_LOG; }
int sync_bit(const VOLUME* v) { return is_log_volume(v) ? Vol_LSYNC : Vol_DSYNC; }

// Lowest page of a volume that may be free: no page below it is. Lets first
// fit start where the free pages start instead of at page 0. Every road that
// makes a page free lowers it (unmark_page) or resets it (a bitmap read).
uint32_t& lowest_free(const VOLUME* v) { return g.lowest_free[v->volume_id]; }

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

void write_descriptor(VOLUME* v, int copy, Tlog_TAGREC* tag = nullptr) {
  // A page of its own for each write: the write may suspend the task (the
  // backup road), and another task's encoding must not change it meanwhile.
  alignas(16) uint8_t page[Vol_PAGESIZE];
  // Each copy carries its own page address; memory-only flags stay home.
  const Vol_PGHEADER in_memory = v->header;
  v->header.page = Vol_PageAddr(v->volume_id, kCopyPage[copy]);
  v->header.flags &= static_cast<uint16_t>(~Vol_MEMORY_ONLY_FLAGS);
  Vol_EncodeDescriptorPage(*v, page);
  v->header = in_memory;
  if (Vol__Write(v, kCopyPage[copy], page, Vol_PAGESIZE, tag) != 0)
    ZENT_ASSERT(!"Vol_WriteVolumeDescriptor() failed on Vol__Write()");
}

void write_free_page(VOLUME* v, Vol_FLMEM* fl) {
  Vol_ClearFlag(Vol_DIRTY, fl->image);
  if (Vol__Write(v, PAGE_NUMBER(fl->page), fl->image, Vol_PAGESIZE, nullptr) != 0)
    ZENT_ASSERT(!"Vol_WriteFreeDescriptor() failed on Vol_Write()");
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

void write_dirty_free_pages(VOLUME* v) {
  for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr; fl = fl->next)
    if (fl_dirty(fl)) write_free_page(v, fl);
}

void flush_file(VOLUME* v, int tio_mode) { Vol_SyncFile(v, tio_mode); }

bool synced(const VOLUME* v) { return flag(v, sync_bit(v)); }

// Both copies, copy 0 first. With durable, copy 0 is on disk before copy 1
// is written (so copy 1 is never the newer one on disk) and copy 1 before
// the return; without, nothing is flushed. Callers make sure that no
// extension of v is being written.
void write_copies(VOLUME* v, bool durable, int tio_mode) {
  clear_flag(v, Vol_DIRTY);
  write_descriptor(v, 0);
  if (durable) flush_file(v, Vol_TIO_SYNC);
  write_descriptor(v, 1);
  if (durable) flush_file(v, tio_mode);
}

// An extension waits in its flushes for its new pages to reach the disk,
// and other tasks run meanwhile. Until copy 0 names the pages on disk, no
// other task writes copy 0, and the pages go to no other task.
bool extension_in_flight(const VOLUME* v) { return g.ext[v->volume_id].active; }

// Sleeps until no extension of v is being written. A sleep that ends early
// (a time-out) sleeps again: the caller cannot go on without it.
void wait_for_extension(const VOLUME* v) {
  Extension& e = g.ext[v->volume_id];
  while (e.active) {
    ZENT_ASSERT(thread_self() != nullptr && "an extension suspends only a task");
    sleep_on(&e.done, __FILE__, __LINE__);
  }
}

// Pages below this limit may go to any task.
uint32_t alloc_limit(const VOLUME* v) {
  const Extension& e = g.ext[v->volume_id];
  return e.active ? e.visible : v->curr_size;
}

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

// Compares copy 1 with copy 0 (in v). 0 when they agree or copy 0 stands
// (*rewrite_copy1 then says whether copy 1 must be written again), or -1.
int compare_copies(VOLUME* v, const char* path, bool* rewrite_copy1) {
  *rewrite_copy1 = false;
  VOLUME copy1;
  copy1.fhandle = v->fhandle;
  if (read_descriptor(&copy1, 1) != 0) return -1;
  const bool backup_crash = v->type == VolType_DATA &&
                            flag(v, Vol_IS_REDIRECTED) != flag(&copy1, Vol_IS_REDIRECTED);
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
    if (!f.may_differ) {
      debug_log('V', 0, "invalid copy of volume descriptor (%s)", f.name);
      VOL_ERROR(VOL_E_COPIES_DIFFER);
      return -1;
    }
    // Copy 0 is always written first: the crash came between the two writes.
    debug_log('V', 0,
              "NOTE: volume #%u: copies of the volume descriptor differ (%s) - copy 0 kept, "
              "copy 1 rewritten (%s)",
              v->volume_id, f.name, path);
    *rewrite_copy1 = true;
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

// --- Page bits -------------------------------------------------------------------

void check_count(int count) {
  ZENT_ASSERT(count > 0 && count <= Vol_MAXCLUST && "count > 0 && count <= Vol_MAXCLUST");
}

// Marks one page used; 1 when it was free.
int mark_page(VOLUME* v, uint32_t n) {
  uint32_t bit;
  Vol_FLMEM* fl = Vol_FlistFor(v, n, &bit);
  ZENT_ASSERT(fl != nullptr && n < v->curr_size && "page < curr_size");
  if (!Vol_FlistMarkUsed(fl, bit)) return 0;
  v->free_size--;
  fl_mark_dirty(fl);
  mark_dirty(v);
  return 1;
}

int unmark_page(VOLUME* v, uint32_t n) {
  uint32_t bit;
  Vol_FLMEM* fl = Vol_FlistFor(v, n, &bit);
  ZENT_ASSERT(fl != nullptr && n < v->curr_size && n != Vol_DESC_PAGE &&
              n != Vol_DESC_COPY_PAGE && "page < curr_size");
  if (!Vol_FlistMarkFree(fl, bit)) return 0;
  if (n < lowest_free(v)) lowest_free(v) = n;
  v->free_size++;
  fl_mark_dirty(fl);
  mark_dirty(v);
  return 1;
}

// A run of free pages counted across words and free-list pages.
struct FreeRun {
  uint32_t want;
  uint32_t length = 0;
  uint32_t start = 0;

  // Takes the 32 bits of pages p0..p0+31 (1 = free); true once the run is
  // long enough.
  bool take(uint32_t p0, uint32_t bits) {
    if (bits == 0) {
      length = 0;
      return false;
    }
    if (bits == 0xFFFFFFFFu) {
      if (length == 0) start = p0;
      length += 32;
      return length >= want;
    }
    for (uint32_t b = 0; b < 32; ++b) {
      if (!(bits & (1u << b))) {
        length = 0;
        continue;
      }
      if (length == 0) start = p0 + b;
      if (++length >= want) return true;
    }
    return false;
  }
};

// First fit of count free pages over pages 0..limit-1 (limit at most
// curr_size), in page order across word and free-list page boundaries,
// starting at the volume's lowest free page (which the search moves up to
// the first free page it sees). The first page number, or 0.
uint32_t find_free_run(const VOLUME* v, int count, uint32_t limit) {
  uint32_t& hint = lowest_free(v);
  uint32_t first_free = limit;
  FreeRun run{static_cast<uint32_t>(count)};
  uint32_t base = hint / Vol_FLIST_NUMITEMS * Vol_FLIST_NUMITEMS;
  int w = static_cast<int>((hint - base) / 32);
  const Vol_FLMEM* fl = v->flmem_head;
  for (uint32_t k = base; fl != nullptr && k > 0; k -= Vol_FLIST_NUMITEMS) fl = fl->next;
  for (; fl != nullptr && base < limit; fl = fl->next, base += Vol_FLIST_NUMITEMS, w = 0) {
    for (; w < Vol_FLIST_SIZE; ++w) {
      const uint32_t p0 = base + 32u * static_cast<uint32_t>(w);
      if (p0 >= limit) break;
      uint32_t bits = Vol_FlistWord(fl, w);
      const uint32_t left = limit - p0;
      if (left < 32) bits &= (1u << left) - 1u;
      if (bits != 0 && first_free == limit)
        first_free = p0 + static_cast<uint32_t>(__builtin_ctz(bits));
      if (run.take(p0, bits)) {
        hint = first_free;
        return run.start;
      }
    }
  }
  hint = first_free;
  return 0;
}

// Vol_FindFreePages over pages 0..limit-1: the run's first page address, its
// pages marked used.
Vol_PAGEADDR take_free_pages(VOLUME* v, int count, uint32_t limit) {
  const uint32_t first = find_free_run(v, count, limit);
  if (first == 0) return 0;
  for (int i = 0; i < count; ++i) mark_page(v, first + static_cast<uint32_t>(i));
  return Vol_PageAddr(v->volume_id, first);
}

// --- Closing ---------------------------------------------------------------------

void close_volume(VOLUME* v) {
  if (v->fhandle == nullptr) return;
  tio_drain();
  if (platform::file_close(v->fhandle) != 0)
    ZENT_ASSERT(!"Vol_CloseSingle() failed on CloseHandle()");
  v->fhandle = nullptr;
}

void free_delayed_blocks(Vol_DELAYED_FREE* list) {
  while (list != nullptr) {
    Vol_DELAYED_FREE* next = list->next;
    delete list;
    list = next;
  }
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

// Opens path for writing (the writer lock keeps every other writer off) and
// learns its file type. The file, or none with status VOL_E_OPEN and
// *os_error set.
platform::File* open_volume_file(const char* path, platform::FileInfo* info, int* os_error) {
  platform::File* f = nullptr;
  if (int err = platform::file_open(path, platform::FILE_WRITE, &f)) {
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
  bool rewrite_copy1 = false;
  if (read_descriptor(v, 0) != 0 || compare_copies(v, path, &rewrite_copy1) != 0) return -1;
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
  if (rewrite_copy1) {
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

// Takes the free-space fields of v's copy 0 on disk (after recovery); the
// copy must be v's. The descriptor is dirty afterwards. 0 or -1.
int reread_free_space(VOLUME* v) {
  VOLUME copy0;
  copy0.fhandle = v->fhandle;
  if (read_descriptor(&copy0, 0) != 0 || copy0.volume_id != v->volume_id) return -1;
  v->curr_size = copy0.curr_size;
  v->free_size = copy0.free_size;
  v->flist_head = copy0.flist_head;
  v->flist_tail = copy0.flist_tail;
  v->num_flist = copy0.num_flist;
  v->first_page = copy0.first_page;
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
    flush_descriptor(v, Vol_TIO_SYNC);
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

// --- Extension --------------------------------------------------------------------

// Pages lost when a free-list page cannot be added: the file system is full.
uint32_t extension_failed(VOLUME* v) {
  debug_log('V', 1, "Note: Volume #%u could not be extended, file system is full",
            v->volume_id);
  set_flag(v, Vol_FS_FULL);
  return 0;
}

// The size an extension aims at: ext_size more pages, cut at the largest
// volume and at max_size when there is one.
uint32_t extension_target(const VOLUME* v) {
  uint64_t target = static_cast<uint64_t>(v->curr_size) + v->ext_size;
  if (target > Vol_MAXPAGES) target = Vol_MAXPAGES;
  if (v->max_size != 0 && target > v->max_size) target = v->max_size;
  return target > v->curr_size ? static_cast<uint32_t>(target) : v->curr_size;
}

// Zero-fills pages from..to-1 of v one by one, up to the first failure;
// the pages filled.
uint32_t fill_pages(VOLUME* v, uint32_t from, uint32_t to) {
  for (uint32_t p = from; p < to; ++p)
    if (Vol_FillPage(v, Vol_PageAddr(v->volume_id, p)) != 0) return p - from;
  return to - from;
}

// need new all-free free-list pages for pages from.. of v, chained in
// memory and on disk; none when need is 0. Taken before anything is
// written, so that a lack of memory stops the process with the file as it
// was.
Vol_FLMEM* new_free_list_pages(const VOLUME* v, uint32_t from, uint32_t need) {
  Vol_FLMEM* first = nullptr;
  Vol_FLMEM** link = &first;
  for (uint32_t j = 0; j < need; ++j) {
    auto* fl = new (std::nothrow) Vol_FLMEM;
    if (fl == nullptr) {
      debug_log('V', 0, "Vol_ExtendSingle: Memory allocation failed");
      ZENT_ASSERT(!"Vol_ExtendSingle: Memory allocation failed");
    }
    Vol_InitFreeDescriptor(fl, Vol_PageAddr(v->volume_id, from + j));
    if (j + 1 < need) Vol_FlistSetNext(fl, Vol_PageAddr(v->volume_id, from + j + 1));
    fl_mark_dirty(fl);
    *link = fl;
    link = &fl->next;
  }
  return first;
}

struct ChainDeleter {
  void operator()(Vol_FLMEM* fl) const {
    while (fl != nullptr) {
      Vol_FLMEM* next = fl->next;
      Vol_FreeFreeDescriptor(fl);
      fl = next;
    }
  }
};
// New free-list pages not yet in the volume's chain.
using NewChain = std::unique_ptr<Vol_FLMEM, ChainDeleter>;

// Appends the need pages of chain behind v's tail, the old tail linking to
// the first.
void append_free_list_pages(VOLUME* v, NewChain chain_owner, uint32_t need) {
  if (need == 0) return;
  Vol_FLMEM* chain = chain_owner.release();
  Vol_FLMEM* old_tail = v->flmem_tail;
  old_tail->next = chain;
  Vol_FlistSetNext(old_tail, chain->page);
  fl_mark_dirty(old_tail);
  while (v->flmem_tail->next != nullptr) v->flmem_tail = v->flmem_tail->next;
  v->flist_tail = v->flmem_tail->page;
  v->num_flist += need;
}

// The new pages from..to-1 are free whatever their bits say: a bit an
// extension marked used and wrote before a crash kept its copy 0 from the
// disk must not hide the page for good.
void free_new_pages(VOLUME* v, uint32_t from, uint32_t to) {
  for (uint32_t p = from; p < to; ++p) {
    uint32_t bit;
    Vol_FLMEM* fl = Vol_FlistFor(v, p, &bit);
    if (Vol_FlistMarkFree(fl, bit)) fl_mark_dirty(fl);
  }
}

// From here until end_extension, the pages from old_size on are hidden from
// other tasks and copy 0 is left to the extension.
void begin_extension(const VOLUME* v, uint32_t old_size) {
  Extension& e = g.ext[v->volume_id];
  ZENT_ASSERT(!e.active && "one extension of a volume at a time");
  e.active = true;
  e.visible = old_size;
}

void end_extension(const VOLUME* v) {
  Extension& e = g.ext[v->volume_id];
  e.active = false;
  if (e.done.head != nullptr) wake_up(&e.done);
}

// Writes an extension in the order that keeps every crash openable: the new
// free-list pages (and every other dirty one, the old tail's new link among
// them) and the zero-filled pages reach the disk before copy 0, and copy 0
// before copy 1. The new pages go to other tasks once copy 0 is on disk.
void write_extension(VOLUME* v) {
  write_dirty_free_pages(v);
  flush_file(v, Vol_TIO_SYNC);
  clear_flag(v, Vol_DIRTY);
  write_descriptor(v, 0);
  flush_file(v, Vol_TIO_SYNC);
  g.ext[v->volume_id].visible = v->curr_size;
  write_descriptor(v, 1);
  if (synced(v)) flush_file(v, Vol_TIO_SYNC);
  end_extension(v);
}

// Vol_ExtendSingle. With count, a run of count pages (it may begin among
// the free pages at the old end) is taken for the caller before the
// extension suspends its task, so that no other task can have it: *taken,
// or 0 when the volume has no such run even now. The data pages gained.
uint32_t extend_volume(VOLUME* v, int count, Vol_PAGEADDR* taken) {
  *taken = 0;
  wait_for_extension(v);
  if (v->ext_size == 0) {
    debug_log('V', 2, "Vol_ExtendSingle() volume #%u is not extendable (extension size is 0)",
              v->volume_id);
    return 0;
  }
  const uint32_t old_size = v->curr_size;
  const uint32_t new_size = extension_target(v);
  const uint32_t total_flist = Vol_FlistPagesFor(new_size);
  const uint32_t need = total_flist > v->num_flist ? total_flist - v->num_flist : 0;
  if (new_size - old_size <= need) {
    debug_log('V', 1, "Note: Volume #%u has reached maximum size", v->volume_id);
    return 0;
  }
  if (need > 0)
    debug_log('V', 3, "Note: Reserving %u additional pages for free-list on volume #%u", need,
              v->volume_id);
  NewChain chain(new_free_list_pages(v, old_size, need));
  // During on-line backup the files must stay as they are: nothing is
  // written now, every page counts as added, and the backup redirection
  // carries the extension out when backup ends.
  const bool deferred = flag(v, Vol_REDIRECT_PAGES);
  uint32_t filled = new_size - old_size - need;
  if (!deferred) {
    if (fill_pages(v, old_size, old_size + need) < need) {
      debug_log('V', 1, "Vol_ExtendSingle: Could not extend free-list on volume #%u (L%d)",
                v->volume_id, __LINE__);
      return extension_failed(v);
    }
    debug_log('V', 3, "Vol_ExtendSingle() note: using Vol_FillPage() to extend file space");
    filled = fill_pages(v, old_size + need, new_size);
    if (filled < new_size - old_size - need)
      debug_log('V', 1, "Vol_ExtendSingle: Unable to complete volume extension (L%d)", __LINE__);
    if (filled == 0 && need == 0) return extension_failed(v);
  }
  append_free_list_pages(v, std::move(chain), need);
  const uint32_t added = need + filled;
  v->curr_size = old_size + added;
  free_new_pages(v, old_size + need, v->curr_size);
  v->free_size += added;
  for (uint32_t j = 0; j < need; ++j) mark_page(v, old_size + j);
  mark_dirty(v);
  if (filled == 0) {
    extension_failed(v);
  } else {
    debug_log('V', 1, "Note: Volume #%u has been extended by %u pages, current size is %u pages",
              v->volume_id, added, v->curr_size);
  }
  if (!deferred) begin_extension(v, old_size);
  if (count > 0 && filled > 0) *taken = take_free_pages(v, count, v->curr_size);
  if (deferred)
    Vol_LogExtendAction(v, old_size, added, need);
  else
    write_extension(v);
  return filled;
}

// --- Allocation -------------------------------------------------------------------

// First pass: the volumes of map in id order with enough free pages (of
// an extension being written, only those below it).
Vol_PAGEADDR fit_in_map(const Vol_ALDESC* map, int count) {
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (in_set(id) && Vol_IsAllocAllowed(id, map) && v->free_size >= static_cast<uint32_t>(count))
      if (Vol_PAGEADDR page = take_free_pages(v, count, alloc_limit(v))) return page;
  }
  return 0;
}

// Waits for an extension of a volume of map being written, if there is one:
// its pages may serve the request once they are on disk. True when it waited.
bool wait_for_an_extension(const Vol_ALDESC* map) {
  for (int id = 0; id < g.num_volumes; ++id) {
    if (in_set(id) && Vol_IsAllocAllowed(id, map) && extension_in_flight(&g.table[id])) {
      wait_for_extension(&g.table[id]);
      return true;
    }
  }
  return false;
}

// Second pass: extends the volumes of map in id order (those whose file
// system was found full are left alone) until one serves the request. Free
// pages at the old end and the new ones may form the run together. When
// another task began an extension meanwhile, waits for it instead and says
// so in *waited (the request is then tried from the start).
Vol_PAGEADDR extend_and_fit(const Vol_ALDESC* map, int count, bool* waited) {
  *waited = false;
  debug_log('V', 2, "Vol_AllocPage() note: request cannot be satisfied, trying to extend volume");
  for (int id = 0; id < g.num_volumes; ++id) {
    VOLUME* v = &g.table[id];
    if (!in_set(id) || !Vol_IsAllocAllowed(id, map) || flag(v, Vol_FS_FULL)) continue;
    if (extension_in_flight(v)) {
      wait_for_extension(v);
      *waited = true;
      return 0;
    }
    Vol_PAGEADDR page = 0;
    extend_volume(v, count, &page);
    if (page != 0) return page;
  }
  return 0;
}

// First fit over the volumes of map; when none has a run, the pages of an
// extension being written are waited for, else a volume is extended. A
// task whose pages were taken by others while it waited tries again.
Vol_PAGEADDR allocate(const Vol_ALDESC* map, int count) {
  for (;;) {
    if (Vol_PAGEADDR page = fit_in_map(map, count)) return page;
    if (wait_for_an_extension(map)) continue;
    bool waited = false;
    const Vol_PAGEADDR page = extend_and_fit(map, count, &waited);
    if (!waited) return page;
  }
}

// The first page handed out for an owner without a root page becomes it,
// on disk at once.
void set_root_page(VOLUME* owner, Vol_PAGEADDR page, bool log) {
  debug_log('V', 3, "Vol_AllocPage() note: setting up %svolume root page 0x%x",
            log ? "transaction log " : "", page);
  owner->first_page = page;
  mark_dirty(owner);
  if (log)
    Vol_TlogSync(Vol_TIO_SYNC);
  else
    Vol_Sync(Vol_TIO_SYNC);
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
    if (reread_free_space(v) != 0) {
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

void Vol_WriteVolumeDescriptor(VOLUME* vol, int copy, Tlog_TAGREC* tag) {
  write_descriptor(vol, copy, tag);
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
  for (bool log : {false, true})
    for_each_open(log, [](VOLUME* v) { flush_file(v, Vol_TIO_SYNC); });
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

Vol_PAGEADDR Vol_AllocPage(int count, const Vol_ALDESC* map) {
  check_count(count);
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  VOLUME* r = root();
  const bool log = map == &r->tlog_aldesc;
  VOLUME* owner = log ? g.tlog_vol : r;
  if (map == nullptr) map = &r->standard_aldesc;
  const Vol_PAGEADDR page = owner != nullptr ? allocate(map, count) : 0;
  if (page == 0) {
    debug_log('V', 0, "No space left in %s volume (L%d)", log ? "transaction log" : "data",
              __LINE__);
    VOL_ERROR(VOL_E_NO_SPACE);
    return 0;
  }
  ZENT_ASSERT(PAGE_NUMBER(page) != 0 && "found_page_number");
  if (owner->first_page == 0) set_root_page(owner, page, log);
  return page;
}

void Vol_FreePage(Vol_PAGEADDR page, int count) {
  check_count(count);
  VOLUME* v = Vol_VolumeOf(page);
  VOLUME* r = root();
  bool data_root_cleared = false;
  bool log_root_cleared = false;
  if (page == r->first_page) {
    debug_log('V', 3, "Vol_FreePage() note: volume root page 0x%x is cleared", page);
    r->first_page = 0;
    mark_dirty(r);
    data_root_cleared = true;
  } else if (g.tlog_vol != nullptr && page == g.tlog_vol->first_page) {
    debug_log('V', 3, "Vol_FreePage() note: transaction log volume root page 0x%x is cleared",
              page);
    g.tlog_vol->first_page = 0;
    mark_dirty(g.tlog_vol);
    log_root_cleared = true;
  }
  for (int i = 0; i < count; ++i) {
    unmark_page(v, PAGE_NUMBER(page) + static_cast<uint32_t>(i));
    if (flag(v, Vol_REDIRECT_PAGES)) Vol_RemoveRedirectedPage(page + static_cast<uint32_t>(i));
  }
  if (data_root_cleared) Vol_Sync(Vol_TIO_SYNC);
  if (log_root_cleared) Vol_TlogSync(Vol_TIO_SYNC);
}

void Vol_FreePageDelayed(Vol_PAGEADDR page, int count) {
  check_count(count);
  VOLUME* v = Vol_VolumeOf(page);
  if (g.delayed == nullptr || g.delayed->count >= 128) {
    auto* block = new (std::nothrow) Vol_DELAYED_FREE;
    if (block == nullptr) {
      debug_log('V', 0, "Vol_FreePageDelayed() failed: heap overflow (%u bytes)",
                static_cast<unsigned>(sizeof(Vol_DELAYED_FREE)));
      ZENT_ASSERT(!"Vol_FreePageDelayed() failed: heap overflow");
    }
    block->next = g.delayed;
    block->count = 0;
    g.delayed = block;
  }
  if (is_log_volume(v)) g.delayed_log_pages += static_cast<uint32_t>(count);
  g.delayed->entry[g.delayed->count].page = page;
  g.delayed->entry[g.delayed->count].npages = static_cast<uint32_t>(count);
  g.delayed->count++;
}

Vol_DELAYED_FREE* Vol_TakeDelayedFrees() {
  Vol_DELAYED_FREE* list = g.delayed;
  g.delayed = nullptr;
  return list;
}

void Vol_FreeDelayedList(Vol_DELAYED_FREE* list) {
  for (Vol_DELAYED_FREE* b = list; b != nullptr; b = b->next) {
    for (uint32_t i = 0; i < b->count; ++i) {
      const Vol_PAGEADDR page = b->entry[i].page;
      const int n = static_cast<int>(b->entry[i].npages);
      if (is_log_volume(Vol_VolumeOf(page))) g.delayed_log_pages -= static_cast<uint32_t>(n);
      Vol_FreePage(page, n);
    }
  }
  free_delayed_blocks(list);
}

uint32_t Vol_DelayedLogPages() { return g.delayed_log_pages; }

void Vol_MarkPageUsed(Vol_PAGEADDR page, int count) {
  check_count(count);
  VOLUME* v = Vol_VolumeOf(page);
  for (int i = 0; i < count; ++i) mark_page(v, PAGE_NUMBER(page) + static_cast<uint32_t>(i));
}

int Vol_ReadPage(Vol_PAGEADDR page, void* buf, uint32_t size) {
  return Vol_Read(Vol_VolumeOf(page), PAGE_NUMBER(page), buf, size);
}

int Vol_WritePage(Vol_PAGEADDR page, const void* buf, uint32_t size) {
  if (Vol__Write(Vol_VolumeOf(page), PAGE_NUMBER(page), buf, size, nullptr) != 0)
    ZENT_ASSERT(!"Vol_WritePage() failed on Vol_Write()");
  return 0;
}

int Vol_ReadPageVector(Vol_PAGEADDR first_page, int count, void* const* bufs) {
  check_count(count);
  return Vol_ReadVector(Vol_VolumeOf(first_page), PAGE_NUMBER(first_page), count, bufs);
}

int Vol_WritePageVector(Vol_PAGEADDR first_page, int count, const void* const* bufs) {
  check_count(count);
  return Vol_WriteVector(Vol_VolumeOf(first_page), PAGE_NUMBER(first_page), count, bufs);
}

uint32_t Vol_ExtendSingle(VOLUME* v) {
  Vol_PAGEADDR none = 0;
  return extend_volume(v, 0, &none);
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
// Delayed frees of log pages must not outlive the log: once it is rebuilt
// those pages may be handed out again, and the queued free would take them
// from their new owner.
void drop_delayed_log_frees() {
  for (Vol_DELAYED_FREE* b = g.delayed; b != nullptr; b = b->next) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < b->count; ++i)
      if (!is_log_volume(Vol_VolumeOf(b->entry[i].page))) b->entry[kept++] = b->entry[i];
    b->count = kept;
  }
  g.delayed_log_pages = 0;
}

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
