// volume_alloc.cpp - the pages of the volume set: marking them used and
// free, first-fit allocation, volume extension, and the frees the checkpoint
// takes later (see volume_set.h; the state is volume_set_state.h).
//
// Where a task may be suspended: in the flushes of an extension, while it
// waits for an extension of a volume that another task is writing, and in
// the sync that puts a new root page on disk. Neither wait can be cut
// short. An extension is written one at a time per volume; while it is,
// its new pages go to no other task and copy 0 is its alone, so that no
// task is handed a page, and copy 0 never names one, that a crash could
// take back. The bitmap search allocates nothing and makes no system call.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "storage/backup_redirect.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "storage/volume_set_state.h"

using namespace volset;

namespace {

// Pages the log names as allocated, held back from allocation while the
// recovery's replay runs (Vol_ReservePage): the bitmap on disk may lag the
// log, and a page the replay allocates must not be one a later record
// claims. Recovery only, the server thread.
std::unordered_set<Vol_PAGEADDR> g_reserved;

// The page is the replay's now, owned or freed: no longer held back.
void unreserve(Vol_PAGEADDR page, int count) {
  if (g_reserved.empty()) return;
  for (int i = 0; i < count; ++i) g_reserved.erase(page + static_cast<uint32_t>(i));
}

}  // namespace

// --- Shared with volume_set.cpp ------------------------------------------------------

namespace volset {

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

bool extension_in_flight(const VOLUME* v) { return g.ext[v->volume_id].active; }

void wait_for_extension(const VOLUME* v) {
  Extension& e = g.ext[v->volume_id];
  while (e.active) {
    ZENT_ASSERT(thread_self() != nullptr && "an extension suspends only a task");
    sleep_on(&e.done, WAIT_NEVER_CUT, __FILE__, __LINE__);
  }
}

void free_delayed_blocks(Vol_DELAYED_FREE* list) {
  while (list != nullptr) {
    Vol_DELAYED_FREE* next = list->next;
    delete list;
    list = next;
  }
}

// Delayed frees of log pages must not outlive the log: once it is rebuilt
// those pages may be handed out again, and a queued free would take them
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

void drop_delayed_frees_of(uint32_t volume_id) {
  const bool log = is_log_volume(&g.table[volume_id]);
  for (Vol_DELAYED_FREE* b = g.delayed; b != nullptr; b = b->next) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < b->count; ++i) {
      if (PAGE_VOLID(b->entry[i].page) != volume_id) {
        b->entry[kept++] = b->entry[i];
      } else if (log) {
        g.delayed_log_pages -= b->entry[i].npages;
      }
    }
    b->count = kept;
  }
}

}  // namespace volset

namespace {

// --- Page bits -------------------------------------------------------------------

// Marks one page free; 1 when it was used.
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

// Pages below this limit may go to any task.
uint32_t alloc_limit(const VOLUME* v) {
  const Extension& e = g.ext[v->volume_id];
  return e.active ? e.visible : v->curr_size;
}

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
// A failed flush stops it before the next copy: the volume stays dirty,
// and a later sync writes what is held again before the copies.
void write_extension(VOLUME* v) {
  write_dirty_free_pages(v);
  if (flush_file(v, Vol_TIO_SYNC)) {
    clear_flag(v, Vol_DIRTY);
    if (write_descriptor(v, 0) && flush_file(v, Vol_TIO_SYNC)) {
      g.ext[v->volume_id].visible = v->curr_size;
      write_descriptor(v, 1);
      if (synced(v)) flush_file(v, Vol_TIO_SYNC);
    }
  }
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

// The LOG volumes of the set, in id order.
template <class Fn>
void for_each_log_volume(Fn fn) {
  const Vol_ALDESC* map = &root()->tlog_aldesc;
  for (int id = 0; id < g.num_volumes; ++id)
    if (in_set(id) && Vol_IsAllocAllowed(id, map)) fn(&g.table[id]);
}

bool may_grow(const VOLUME* v) {
  return v->ext_size != 0 && !flag(v, Vol_FS_FULL) && extension_target(v) > v->curr_size;
}

// Whether a LOG allocation of count pages leaves the root log its reserve.
// The pages must be there now, not merely allowed: a volume that may grow
// is extended first, so a full file system shows before the reserve is
// spent.
bool leaves_tlog_reserve(int count) {
  if (g.tlog_reserve == nullptr || g.tlog_reserve_open > 0) return true;
  const uint64_t need = uint64_t{g.tlog_reserve()} + static_cast<uint32_t>(count);
  if (need == static_cast<uint32_t>(count)) return true;
  for (;;) {
    if (Vol_TlogFreePages() >= need) return true;
    VOLUME* grow = nullptr;
    for_each_log_volume([&](VOLUME* v) {
      if (grow == nullptr && may_grow(v)) grow = v;
    });
    if (grow == nullptr) return false;
    Vol_PAGEADDR none = 0;
    if (extend_volume(grow, 0, &none) == 0 && !flag(grow, Vol_FS_FULL)) return false;
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

}  // namespace

// =====================================================================================
// Interface
// =====================================================================================

Vol_PAGEADDR Vol_AllocPage(int count, const Vol_ALDESC* map) {
  check_count(count);
  ZENT_ASSERT(g.table != nullptr && "root_vol");
  VOLUME* r = root();
  const bool log = map == &r->tlog_aldesc;
  VOLUME* owner = log ? g.tlog_vol : r;
  if (map == nullptr) map = &r->standard_aldesc;
  if (log && owner != nullptr && !leaves_tlog_reserve(count)) {
    debug_log('V', 1, "Transaction log volume short: %d pages refused, %u free kept for the log",
              count, Vol_TlogFreePages());
    if (g.tlog_short != nullptr) g.tlog_short();
    VOL_ERROR(VOL_E_NO_SPACE);
    return 0;
  }
  const Vol_PAGEADDR page = owner != nullptr ? allocate(map, count) : 0;
  if (page == 0) {
    debug_log('V', 0, "No space left in %s volume (L%d)", log ? "transaction log" : "data",
              __LINE__);
    if (log && g.tlog_short != nullptr) g.tlog_short();
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
  unreserve(page, count);
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
  unreserve(page, count);
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

void Vol_RecoverExtendSingle(VOLUME* v, uint32_t curr_size, uint32_t ext_size, uint32_t count,
                             const Vol_PAGEADDR* flist, int recovering) {
  const uint32_t before = v->curr_size;
  if (!recovering) {
    // The end of backup: the deferred pages reach the file now.
    ZENT_ASSERT(ext_size != 0 && "ext_size");
    debug_log('V', 3, "Vol_RecoverExtendSingle() note: using Vol_FillPage() to extend file space");
    if (fill_pages(v, curr_size, curr_size + ext_size) < ext_size) {
      debug_log('V', 0, "Vol_RecoverExtendSingle() failed: could not extend volume");
      ZENT_ASSERT(!"Vol_RecoverExtendSingle() failed: could not extend volume");
    }
  } else {
    ZENT_ASSERT(ext_size == 0 && "!ext_size");
    if (curr_size > v->curr_size) {
      if (fill_pages(v, v->curr_size, curr_size) < curr_size - v->curr_size) {
        debug_log('V', 0, "Vol_RecoverExtendSingle() failed: could not extend volume");
        ZENT_ASSERT(!"Vol_RecoverExtendSingle() failed: could not extend volume");
      }
      v->curr_size = curr_size;
    }
  }
  // The listed free-list pages: those in the chain must follow in order;
  // in recovery the missing rest is made, all free, and chained on.
  Vol_FLMEM* fl = v->flmem_head;
  while (fl != nullptr && count > 0 && fl->page != flist[0]) fl = fl->next;
  uint32_t idx = 0;
  for (; fl != nullptr && idx < count; fl = fl->next, ++idx) {
    if (fl->page != flist[idx]) {
      debug_log('V', 0, "FATAL: volume inconsistency detected: free-list page %u out of order, "
                "%u expected", PAGE_NUMBER(fl->page), PAGE_NUMBER(flist[idx]));
      ZENT_ASSERT(!"volume inconsistency detected");
    }
    fl_mark_dirty(fl);
  }
  if (idx < count) {
    if (!recovering) {
      debug_log('V', 0, "FATAL: volume inconsistency detected: free-list chain broken at page %u",
                PAGE_NUMBER(flist[idx]));
      ZENT_ASSERT(!"volume inconsistency detected");
    }
    const uint32_t missing = count - idx;
    NewChain chain(new_free_list_pages(v, PAGE_NUMBER(flist[idx]), missing));
    append_free_list_pages(v, std::move(chain), missing);
  }
  mark_dirty(v);
  write_dirty_free_pages(v);
  if (recovering && v->curr_size > before)
    debug_log('V', 1, "Note: Volume #%u has been extended by %u pages", v->volume_id,
              v->curr_size - before);
  if (!recovering)
    debug_log('V', 1, "Note: Volume #%u has been extended by %u pages", v->volume_id, ext_size);
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
  unreserve(page, count);
}

int Vol_PagesInSet(Vol_PAGEADDR page, uint32_t count) {
  const uint32_t id = PAGE_VOLID(page);
  if (g.table == nullptr || count < 1 || count > static_cast<uint32_t>(Vol_MAXCLUST) ||
      id >= static_cast<uint32_t>(g.num_volumes) || !in_set(static_cast<int>(id)))
    return 0;
  const uint32_t first = PAGE_NUMBER(page);
  if (first == Vol_DESC_PAGE || first + count > g.table[id].curr_size) return 0;
  return first > Vol_DESC_COPY_PAGE || first + count <= Vol_DESC_COPY_PAGE ? 1 : 0;
}

void Vol_ReservePage(Vol_PAGEADDR page, int count) {
  check_count(count);
  const uint32_t id = PAGE_VOLID(page);
  if (g.table == nullptr || id >= static_cast<uint32_t>(g.num_volumes)) return;
  if (!in_set(static_cast<int>(id))) return;
  VOLUME* v = &g.table[id];
  for (int i = 0; i < count; ++i) {
    const uint32_t n = PAGE_NUMBER(page) + static_cast<uint32_t>(i);
    // A page past the end is no page of the volume: nothing can take it.
    if (n == Vol_DESC_PAGE || n == Vol_DESC_COPY_PAGE || n >= v->curr_size) continue;
    if (mark_page(v, n)) g_reserved.insert(page + static_cast<uint32_t>(i));
  }
}

void Vol_ReleaseReserved() {
  for (Vol_PAGEADDR page : g_reserved) unmark_page(Vol_VolumeOf(page), PAGE_NUMBER(page));
  if (!g_reserved.empty())
    debug_log('V', 2, "Vol_ReleaseReserved(): %u page(s) named by the log but owned by none",
              static_cast<unsigned>(g_reserved.size()));
  g_reserved.clear();
}

void Vol_SetTlogReserveFn(uint32_t (*fn)()) { g.tlog_reserve = fn; }

void Vol_OpenTlogReserve(int delta) {
  g.tlog_reserve_open += delta;
  ZENT_ASSERT(g.tlog_reserve_open >= 0 && "Vol_OpenTlogReserve(): closed more than opened");
}

void Vol_SetTlogShortFn(void (*fn)()) { g.tlog_short = fn; }

uint32_t Vol_TlogFreePages() {
  if (g.table == nullptr) return 0;
  uint64_t free = 0;
  for_each_log_volume([&](VOLUME* v) { free += v->free_size; });
  return free > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(free);
}

uint32_t Vol_TlogCapacity() {
  if (g.table == nullptr) return 0;
  uint64_t pages = 0;
  bool unbounded = false;
  for_each_log_volume([&](VOLUME* v) {
    const bool grows = v->ext_size != 0 && !flag(v, Vol_FS_FULL);
    if (grows && v->max_size == 0) unbounded = true;
    pages += grows && v->max_size > v->curr_size ? v->max_size : v->curr_size;
  });
  if (unbounded) return 0;
  return pages > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(pages);
}

uint32_t Vol_ExtendSingle(VOLUME* v) {
  Vol_PAGEADDR none = 0;
  return extend_volume(v, 0, &none);
}
