// backup_redirect.cpp - on-line backup redirection (see backup_redirect.h).
#include "storage/backup_redirect.h"

#include <cstring>
#include <new>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace {

[[noreturn]] void fatal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

struct Redir {
  Redir* next;
  Redir* prev;
  Vol_PAGEADDR o_page;
  Vol_PAGEADDR r_page;
  // Its opcode-20 record is in a tag record: set only once the copy is
  // durable, so that no record on disk names a copy that is not.
  bool logged;
};

struct ExtendRec {
  uint32_t volume_id;
  uint32_t old_size;  // before the first extension in backup mode
  uint32_t curr_size;
  uint32_t added;
  std::vector<Vol_PAGEADDR> flist;  // new free-list pages, in chain order
};

struct State {
  int mode = Vol_REDIR_OFF;
  int hash_size = 0;
  VOLUME* table = nullptr;  // set at begin: backup mode was initiated
  Redir** buckets = nullptr;
  uint32_t count = 0;
  uint32_t first_entries = 0;
  uint32_t chained_entries = 0;
  std::vector<ExtendRec> extends;
};
State g;

bool is_prime(int n) {
  if (n < 2) return false;
  for (int d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

uint32_t bucket_of(Vol_PAGEADDR o_page) {
  return (o_page & 0xFFFFu) % static_cast<uint32_t>(g.hash_size);
}

Redir* find(Vol_PAGEADDR o_page) {
  if (g.buckets == nullptr) return nullptr;
  Redir* head = g.buckets[bucket_of(o_page)];
  if (head == nullptr) return nullptr;
  Redir* r = head;
  do {
    if (r->o_page == o_page) return r;
    r = r->next;
  } while (r != head);
  return nullptr;
}

// Every redirection, bucket by bucket.
template <typename Fn>
void for_each_redirection(Fn fn) {
  for (int b = 0; g.buckets != nullptr && b < g.hash_size; ++b) {
    Redir* head = g.buckets[b];
    if (head == nullptr) continue;
    Redir* r = head;
    do {
      fn(r);
      r = r->next;
    } while (r != head);
  }
}

void unlink(Redir* r) {
  Redir*& head = g.buckets[bucket_of(r->o_page)];
  if (r->next == r) {
    head = nullptr;
  } else {
    r->prev->next = r->next;
    r->next->prev = r->prev;
    if (head == r) head = r->next;
  }
  --g.count;
}

void enter(Redir* r) {
  Redir*& head = g.buckets[bucket_of(r->o_page)];
  if (head == nullptr) {
    r->next = r->prev = r;
    ++g.first_entries;
  } else {
    r->next = head;
    r->prev = head->prev;
    head->prev->next = r;
    head->prev = r;
    ++g.chained_entries;
  }
  head = r;
  ++g.count;
}

void encode_redirect(Vol_PAGEADDR o_page, Vol_PAGEADDR r_page, uint8_t out[8]) {
  le_put32(out, o_page);
  le_put32(out + 4, r_page);
}

// Opcode 19: volume id, curr_size, count, then the pages (one zero word for
// none).
std::vector<uint8_t> encode_extend(uint32_t volume_id, uint32_t curr_size,
                                   const Vol_PAGEADDR* flist, uint32_t n) {
  std::vector<uint8_t> out(12 + 4 * (n == 0 ? 1 : n), 0);
  le_put32(out.data(), volume_id);
  le_put32(out.data() + 4, curr_size);
  le_put32(out.data() + 8, n);
  for (uint32_t i = 0; i < n; ++i) {
    ZENT_ASSERT(flist[i] != 0 && "extend_rec->free_map[idx]");
    le_put32(out.data() + 12 + 4 * i, flist[i]);
  }
  return out;
}

// A failed log call is fatal, named by the caller and the call.
[[noreturn]] void fatal_log_call(const char* who, const char* call) {
  char msg[128];
  snprintf(msg, sizeof msg, "%s failed on %s", who, call);
  debug_log('V', 0, "%s", msg);
  fatal(msg);
}

void open_root_tag(Tlog_TAGREC* tag, const char* who) {
  if (Tlog_InitRootTagRecord(tag) != 0) fatal_log_call(who, "Tlog_InitRootTagRecord()");
}

void close_root_tag(Tlog_TAGREC* tag, const char* who) {
  if (Tlog_FlushTagRecord(tag) != 0) fatal_log_call(who, "Tlog_FlushTagRecord()");
  Tlog_CloseTagRecord(tag);
}

void add_record(Tlog_TAGREC* tag, uint8_t opcode, const void* data, uint32_t size,
                const char* who) {
  if (Tlog_AddBufferToTagRecord(tag, opcode, nullptr, data, size) != 0)
    fatal_log_call(who, "Tlog_AddToTagRecord()");
}

// Copies the LOG page r_page over the data page o_page and frees the LOG
// page at the next checkpoint.
void copy_home(Vol_PAGEADDR o_page, Vol_PAGEADDR r_page) {
  alignas(16) static uint8_t page[Vol_PAGESIZE];
  if (Vol_ReadPage(r_page, page, Vol_PAGESIZE) != 0) fatal("copy of a redirected page: read failed");
  if (Vol_WritePage(o_page, page, Vol_PAGESIZE) != 0) fatal("copy of a redirected page: write failed");
  Vol_FreePageDelayed(r_page, 1);
}

void free_state() {
  if (g.buckets != nullptr) {
    for (int b = 0; b < g.hash_size; ++b) {
      Redir* head = g.buckets[b];
      if (head == nullptr) continue;
      head->prev->next = nullptr;
      for (Redir* r = head; r != nullptr;) {
        Redir* next = r->next;
        delete r;
        r = next;
      }
    }
    delete[] g.buckets;
    g.buckets = nullptr;
  }
  g.count = 0;
  g.first_entries = g.chained_entries = 0;
  g.extends.clear();
}

}  // namespace

// --- Set-up ---------------------------------------------------------------------------

int Vol_InitRedirectionHash(int ntable_entries) {
  debug_log('N', 3, "Vol_InitRedirectionHash(ntable_entries=%d)", ntable_entries);
  if (ntable_entries < 1) return -1;
  int n = 2 * ntable_entries - 1;
  if (n > 65535) n = 65535;
  while (n > 2 && !is_prime(n)) --n;
  g.hash_size = n;
  debug_log('N', 3, " hash_size = %d", g.hash_size);
  return 0;
}

void Vol_CleanupRedirectionHash() {
  free_state();
  g.mode = Vol_REDIR_OFF;
  g.table = nullptr;
}

int Vol_RedirectionHashSize() { return g.hash_size; }
int Vol_RedirectionMode() { return g.mode; }
uint32_t Vol_NumRedirections() { return g.count; }

bool Vol_IsRedirectCopy(Vol_PAGEADDR page) {
  bool found = false;
  for_each_redirection([&](const Redir* r) { found = found || r->r_page == page; });
  return found;
}

// --- Begin and end ----------------------------------------------------------------------

int Vol_BeginRedirection() {
  debug_log('V', 2, "Vol_BeginRedirection()");
  if (g.mode != Vol_REDIR_OFF || g.table != nullptr || Vol_IsRedirected()) {
    debug_log('V', 0, "On-line backup mode has already been initiated");
    return -1;
  }
  ZENT_ASSERT(g.buckets == nullptr && g.extends.empty() && g.hash_size > 0);
  VOLUME* table = Vol_GetRootVol();
  if (Tlog_Freeze("On-line Backup") != 0) return -1;
  g.buckets = new (std::nothrow) Redir*[static_cast<size_t>(g.hash_size)]();
  if (g.buckets == nullptr) {
    debug_log('V', 0, "Vol_BeginRedirection() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(Redir*) * static_cast<size_t>(g.hash_size)));
    fatal("Vol_BeginRedirection() failed: heap overflow");
  }
  g.mode = Vol_REDIR_ON;
  g.table = table;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    VOLUME* v = &table[id];
    if (v->fhandle == nullptr || !Vol_IsAllocAllowed(id, &table[0].used_map)) continue;
    ZENT_ASSERT(!Vol_TestFlag(Vol_IS_REDIRECTED, &v->header) &&
                !Vol_TestFlag(Vol_REDIRECT_PAGES, &v->header));
    if (v->type == VolType_DATA) {
      Vol_SetFlag(Vol_IS_REDIRECTED, &v->header);
      Vol_SetFlag(Vol_REDIRECT_PAGES, &v->header);
      Vol_SetFlag(Vol_DIRTY, &v->header);
    } else if (v->type == VolType_LOG) {
      // On disk at once: a crash from here on must find the set was in
      // backup mode, while the DATA descriptors stay as they were.
      Vol_SetFlag(Vol_IS_REDIRECTED, &v->header);
      Vol_SetFlag(Vol_DIRTY, &v->header);
      Vol_FlushDescriptor(v);
    }
  }
  Tlog_Thaw();
  debug_log('V', 1, "Note: on-line backup mode has been started");
  return 0;
}

int Vol_EndRedirection() {
  debug_log('V', 2, "Vol_EndRedirection()");
  ZENT_ASSERT(g.mode == Vol_REDIR_ON && g.table != nullptr && g.buckets != nullptr);
  if (Tlog_CheckpointLock(__FILE__, __LINE__) != 0)
    fatal("Vol_EndRedirection() failed on Tlog_CheckpointLock()");
  Vol_ClearConsistent();
  debug_log('V', 1, "Note: shutting down on-line backup mode ...");
  std::vector<ExtendRec> extends;
  extends.swap(g.extends);
  for (const ExtendRec& e : extends)
    Vol_RecoverExtendSingle(&g.table[e.volume_id], e.old_size, e.added,
                            static_cast<uint32_t>(e.flist.size()), e.flist.data(), 0);
  g.mode = Vol_REDIR_ENDING;
  uint32_t copied = 0;
  for (int b = 0; b < g.hash_size; ++b) {
    while (Redir* r = g.buckets[b]) {
      unlink(r);
      const Vol_PAGEADDR o_page = r->o_page, r_page = r->r_page;
      delete r;
      copy_home(o_page, r_page);
      if (++copied % 25 == 0 && thread_self() != nullptr) thread_yield();
    }
  }
  // The LOG volume's flag goes off on disk below, and with it the replay
  // of the LOG copies after a crash: the pages written home (the root's
  // descriptor among them, not consistent and still in backup mode) must
  // be on disk first.
  Vol_SyncDataDurably();
  VOLUME* table = g.table;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    VOLUME* v = &table[id];
    if (v->fhandle == nullptr || !Vol_IsAllocAllowed(id, &table[0].used_map)) continue;
    const bool is_redirected = Vol_TestFlag(Vol_IS_REDIRECTED, &v->header) != 0;
    const bool redirect_pages = Vol_TestFlag(Vol_REDIRECT_PAGES, &v->header) != 0;
    if (v->type == VolType_DATA) {
      ZENT_ASSERT(is_redirected && redirect_pages);
      Vol_ClearFlag(Vol_REDIRECT_PAGES, &v->header);
      if (id != 0) Vol_ClearFlag(Vol_IS_REDIRECTED, &v->header);
      Vol_SetFlag(Vol_DIRTY, &v->header);
    } else if (v->type == VolType_LOG) {
      ZENT_ASSERT(is_redirected && !redirect_pages);
      Vol_ClearFlag(Vol_IS_REDIRECTED, &v->header);
      Vol_SetFlag(Vol_DIRTY, &v->header);
      Vol_FlushDescriptor(v);
    } else {
      ZENT_ASSERT(!is_redirected && !redirect_pages);
    }
  }
  free_state();
  Vol_ClearFlag(Vol_IS_REDIRECTED, &table[0].header);
  Vol_SetFlag(Vol_DIRTY, &table[0].header);
  g.mode = Vol_REDIR_OFF;
  g.table = nullptr;
  debug_log('V', 1, "Note: on-line backup mode has been stopped");
  Tlog_CheckpointUnlock();
  // The log still restates every redirection since its last checkpoint; a
  // crash before the next one would replay those older copies over the
  // pages now written home. This checkpoint gives that log up.
  if (Tlog_Checkpoint("On-line Backup end") != 0) return -1;
  return 0;
}

// --- Page I/O ---------------------------------------------------------------------------

VOLUME* Vol_RedirectPage(VOLUME* vol, uint32_t* page, Tlog_TAGREC* tag, bool* fresh) {
  if (fresh != nullptr) *fresh = false;
  if (g.mode == Vol_REDIR_OFF) fatal("Vol_RedirectPage() called while redirection is inactive");
  if (g.mode != Vol_REDIR_ON && g.mode != Vol_REDIR_ENDING) {
    debug_log('V', 0, "unexpected redir_mode %d", g.mode);
    fatal("unexpected redir_mode");
  }
  if (g.mode == Vol_REDIR_ENDING) tag = nullptr;
  const Vol_PAGEADDR o_page = Vol_PageAddr(vol->volume_id, *page);
  // A write that finds a copy not logged yet (its first writer failed, or
  // is still flushing it) logs it too.
  if (Redir* r = find(o_page)) {
    if (tag != nullptr && fresh != nullptr) *fresh = !r->logged;
    *page = PAGE_NUMBER(r->r_page);
    return Vol_VolumeOf(r->r_page);
  }
  if (tag == nullptr) return vol;
  ZENT_ASSERT(fresh != nullptr && "a write that may make a copy logs it");
  const Vol_PAGEADDR r_page = Vol_AllocPage(1, &Vol_GetRootVol()->tlog_aldesc);
  if (r_page == 0) {
    // The write cannot proceed; the caller keeps its page and reports it
    // (status 20 from the allocation).
    debug_log('V', 0, "Vol_RedirectPage() failed: LOG volume exhausted");
    return nullptr;
  }
  auto* r = new (std::nothrow) Redir{nullptr, nullptr, o_page, r_page, false};
  if (r == nullptr) {
    debug_log('V', 0, "Vol_RedirectPage() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(Redir)));
    fatal("Vol_RedirectPage() failed: heap overflow");
  }
  // The allocation may have suspended the task: another write of the same
  // page may have entered a copy meanwhile.
  if (Redir* other = find(o_page)) {
    delete r;
    Vol_FreePage(r_page, 1);
    *fresh = !other->logged;
    *page = PAGE_NUMBER(other->r_page);
    return Vol_VolumeOf(other->r_page);
  }
  enter(r);
  *fresh = true;
  *page = PAGE_NUMBER(r_page);
  return Vol_VolumeOf(r_page);
}

void Vol_FlushRedirectedCopies(int tio_mode) {
  VOLUME* table = Vol_GetRootVol();
  if (table == nullptr) return;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    VOLUME* v = &table[id];
    if (v->fhandle == nullptr || !Vol_IsAllocAllowed(id, &table[0].tlog_aldesc)) continue;
    if (tio_fsync(v->fhandle, tio_mode) != 0) fatal("Vol_FlushRedirectedCopies() failed on tio_fsync()");
  }
}

void Vol_LogRedirectedCopies(Tlog_TAGREC* tag, const Vol_PAGEADDR* o_pages, int count) {
  // The copies first: a power loss must never leave a record on disk
  // whose copy is torn or missing, as its replay writes the copy home.
  Vol_FlushRedirectedCopies(Vol_TIO_SYNC);
  for (int i = 0; i < count; ++i) {
    // The flush may have suspended the task: a page freed meanwhile has
    // no copy left to name.
    Redir* r = find(o_pages[i]);
    if (r == nullptr || r->logged) continue;
    r->logged = true;
    uint8_t rec[8];
    encode_redirect(r->o_page, r->r_page, rec);
    add_record(tag, Tlog_OP_VOL_REDIRECT, rec, sizeof rec, "Vol_RedirectPage()");
  }
}

Tlog_TAGREC* Vol_OpenRootTagRecord(const char* caller) {
  auto* tag = new (std::nothrow) Tlog_TAGREC;
  if (tag == nullptr) {
    debug_log('V', 0, "%s failed: heap overflow", caller);
    fatal("Vol_OpenRootTagRecord() failed: heap overflow");
  }
  open_root_tag(tag, caller);
  return tag;
}

void Vol_CloseRootTagRecord(Tlog_TAGREC* tag, const char* caller) {
  close_root_tag(tag, caller);
  delete tag;
}

// --- The volume set's calls -------------------------------------------------------------

void Vol_RemoveRedirectedPage(Vol_PAGEADDR page) {
  Redir* r = find(page);
  if (r == nullptr) return;
  unlink(r);
  Vol_FreePageDelayed(r->r_page, 1);
  delete r;
}

void Vol_LogExtendAction(VOLUME* vol, uint32_t old_size, uint32_t added, uint32_t flist_pages) {
  std::vector<Vol_PAGEADDR> fresh;
  {
    std::vector<Vol_PAGEADDR> chain;
    for (const Vol_FLMEM* fl = vol->flmem_head; fl != nullptr; fl = fl->next) chain.push_back(fl->page);
    ZENT_ASSERT(chain.size() >= flist_pages);
    fresh.assign(chain.end() - flist_pages, chain.end());
  }
  ExtendRec* rec = nullptr;
  for (ExtendRec& e : g.extends)
    if (e.volume_id == vol->volume_id) rec = &e;
  if (rec == nullptr) {
    g.extends.push_back(ExtendRec{vol->volume_id, old_size, old_size, 0, {}});
    rec = &g.extends.back();
  }
  rec->curr_size = vol->curr_size;
  rec->added += added;
  rec->flist.insert(rec->flist.end(), fresh.begin(), fresh.end());
  Tlog_TAGREC tag;
  open_root_tag(&tag, "Vol_LogExtendAction()");
  const std::vector<uint8_t> data =
      encode_extend(vol->volume_id, vol->curr_size, fresh.data(), flist_pages);
  add_record(&tag, Tlog_OP_VOL_EXTEND, data.data(), static_cast<uint32_t>(data.size()),
             "Vol_LogExtendAction()");
  // Both descriptor copies go within the same record: replayed with it. A
  // copy that finds no LOG page leaves the volume dirty; the extension is
  // in the record all the same, and a later sync writes the copies.
  if (Vol_WriteVolumeDescriptor(vol, 0, &tag) == 0) Vol_WriteVolumeDescriptor(vol, 1, &tag);
  close_root_tag(&tag, "Vol_LogExtendAction()");
}

void Vol_LogAllRedirActions() {
  if (g.extends.empty() && g.buckets == nullptr) return;
  Tlog_TAGREC tag;
  const char* who = "Vol_LogAllRedirActions()";
  open_root_tag(&tag, who);
  for (const ExtendRec& e : g.extends) {
    const std::vector<uint8_t> data = encode_extend(e.volume_id, e.curr_size, e.flist.data(),
                                                    static_cast<uint32_t>(e.flist.size()));
    add_record(&tag, Tlog_OP_VOL_EXTEND, data.data(), static_cast<uint32_t>(data.size()), who);
  }
  for_each_redirection([&](const Redir* r) {
    // A copy still on its way to the disk is logged by its writer.
    if (!r->logged) return;
    uint8_t rec[8];
    encode_redirect(r->o_page, r->r_page, rec);
    add_record(&tag, Tlog_OP_VOL_REDIRECT, rec, sizeof rec, who);
  });
  close_root_tag(&tag, who);
}

// --- Redo -------------------------------------------------------------------------------

int Vol_RecoverRedirection(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != 8) return Tlog_Damaged("Vol_RecoverRedirection()", "size", size);
  const auto* d = static_cast<const uint8_t*>(data);
  const Vol_PAGEADDR o_page = le_get32(d), r_page = le_get32(d + 4);
  debug_log('V', 3, "Vol_RecoverRedirection() o_page=0x%x, r_page=0x%x", o_page, r_page);
  copy_home(o_page, r_page);
  return 0;
}

int Vol_RecoverExtendAction(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  const char* who = "Vol_RecoverExtendAction()";
  if (data == nullptr || size < 16) return Tlog_Damaged(who, "size", size);
  const auto* d = static_cast<const uint8_t*>(data);
  const uint32_t volume_id = le_get32(d), curr_size = le_get32(d + 4), count = le_get32(d + 8);
  debug_log('V', 3, "Vol_RecoverExtendAction() volume_id=%u, curr_size=%u, free_count=%u",
            volume_id, curr_size, count);
  // The writer lists the free-list pages of the new size, at least one
  // entry's room: a count the record cannot hold, or more pages than such
  // a volume has, is damage, never a read past the record.
  if (size != 12 + 4 * (count == 0 ? 1 : static_cast<uint64_t>(count)))
    return Tlog_Damaged(who, "free-list page count", size);
  if (volume_id >= static_cast<uint32_t>(Vol_NumVolumes()) ||
      Vol_GetRootVol()[volume_id].fhandle == nullptr || curr_size > Vol_MAXPAGES ||
      count > curr_size / Vol_FLIST_NUMITEMS + 1)
    return Tlog_Damaged(who, "volume or size", size);
  std::vector<Vol_PAGEADDR> flist(count);
  for (uint32_t i = 0; i < count; ++i) flist[i] = le_get32(d + 12 + 4 * i);
  Vol_RecoverExtendSingle(&Vol_GetRootVol()[volume_id], curr_size, 0, count, flist.data(), 1);
  return 0;
}

void Vol_RegisterRedirectHandlers() {
  Tlog_SetHandler(Tlog_TABLE_EXTEND_REDO, Tlog_OP_VOL_EXTEND, Vol_RecoverExtendAction);
  Tlog_SetHandler(Tlog_TABLE_REDIRECT_REDO, Tlog_OP_VOL_REDIRECT, Vol_RecoverRedirection);
}
