// syscat_ops.cpp - the core operations on a catalog table: append, rewrite
// and delete a row, walk the rows, the row count and the id counter; the
// sysdevices rows built from the live volume table.
//
// A table is a pool node whose rows are blocks chained by a 16-byte link
// header {prev, next}; the anchor {count, first, last} and the id counter
// are the table's VMETA (syscat_log.cpp). Each operation holds the node
// lock for its own duration (write for changes, shared for a walk) and may
// suspend its task there (a wait cut short: -1, VOL E027), in the pool,
// the buffer cache and the volume set. Every change counts in the node's
// change count; a walk's state keeps the count it read under and the
// row's fingerprint, so a rewrite or delete after another task changed
// the table checks the row again instead of trusting an address that may
// have been freed meanwhile.
//
// A walk never follows more links in one call than the anchor counts rows
// and reads each row with the defensive pool read: a chain broken by a
// power loss is refused (SC E001), never followed into another block.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "index/syscat_tx.h"
#include "storage/pool.h"
#include "storage/volume_set.h"

// --- Shared helpers ---------------------------------------------------------------------------

void SysCat_Error(int code) { SET_ERROR(ERR_MOD_SC, ERR_SEV_E, code); }
void SysCat_Eof() { SET_ERROR(ERR_MOD_SC, ERR_SEV_R, SC_R_EOF); }

int SysCat_InvalidArgs(const char* fn, const char* file, int line) {
  debug_log('O', 1, "%s() failed: invalid arguments, file %s, line %d", fn, file, line);
  SysCat_Error(SC_E_ARG);
  return -1;
}

int SysCat_EntryOpen(const SysCat_MAP* entry) {
  if (entry != nullptr && entry->node != nullptr && entry->node_descr != nullptr) return 0;
  debug_log('O', 1, "system table %d is not open", entry != nullptr ? entry->sys_id : 0);
  SysCat_Error(SC_E_NODE);
  return -1;
}

uint64_t SysCat_Hash(const uint8_t* bytes, uint32_t size) {
  uint64_t h = 1469598103934665603ull;
  for (uint32_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
  return h ^ size;
}

void* SysCat_CopyRow(const SysCat_MAP* entry, const void* row) {
  // Sized and copied by the static description: the copy does not need the
  // table to be open.
  const SysCat_TABLE_DESCR* d = entry->descr;
  const auto* src = static_cast<const uint8_t*>(row);
  size_t size = d->rec_size;
  for (uint32_t i = 0; i < d->tab_ncols; ++i) {
    const SysCat_COLUMN_DESCR& c = d->cols[i];
    const bool str = c.col_type == SysCat_STRING || c.col_type == SysCat_TEXT;
    const bool blob = c.col_type == SysCat_BLOB || c.col_type == SysCat_LBLOB;
    if (!str && !blob) continue;
    const void* p = nullptr;
    memcpy(&p, src + c.col_offset, sizeof p);
    if (p == nullptr) continue;
    if (str)
      size += strlen(static_cast<const char*>(p)) + 1;
    else
      size = ((size + 3) & ~size_t{3}) + 4 + SysCat_BlobLength(static_cast<const uint8_t*>(p));
  }
  auto* out = static_cast<uint8_t*>(malloc(size));
  ZENT_ASSERT(out != nullptr && "catalog row: heap overflow");
  memcpy(out, src, d->rec_size);
  size_t pos = d->rec_size;
  for (uint32_t i = 0; i < d->tab_ncols; ++i) {
    const SysCat_COLUMN_DESCR& c = d->cols[i];
    const bool str = c.col_type == SysCat_STRING || c.col_type == SysCat_TEXT;
    const bool blob = c.col_type == SysCat_BLOB || c.col_type == SysCat_LBLOB;
    if (!str && !blob) continue;
    const void* p = nullptr;
    memcpy(&p, src + c.col_offset, sizeof p);
    if (p == nullptr) continue;
    size_t n = 0;
    if (str) {
      n = strlen(static_cast<const char*>(p)) + 1;
    } else {
      pos = (pos + 3) & ~size_t{3};
      n = 4 + SysCat_BlobLength(static_cast<const uint8_t*>(p));
    }
    memcpy(out + pos, p, n);
    void* q = out + pos;
    memcpy(out + c.col_offset, &q, sizeof q);
    pos += n;
  }
  return out;
}

SysCat_MAP* SysCat_MapByName(SysCat_MAP* map, const char* name) {
  for (SysCat_MAP* e = map; e->sys_id != 0; ++e)
    if (strcasecmp(e->descr->name, name) == 0) return e;
  return nullptr;
}

int SysCat_Find(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                void* arg, SysCat_GETSTATE* state, void** row, Node* tx) {
  const SysCat_FILTER filter{fn, arg};
  return SysCat_get(cat, sys_id, SysCat_GET_FIRST, &filter, state, row, tx);
}

int SysCat_TypedLock(SysCat_DB_CATALOG* cat, int sys_id, Node* tx, SysCat_TYPEDLOCK* held) {
  *held = SysCat_TYPEDLOCK{};
  if (tx == nullptr) return 0;
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr || SysCat_EntryOpen(entry) != 0) return -1;
  if (Node_Lock(entry->node, __FILE__, __LINE__) != 0) return -1;
  // A refused table lock has given the node lock back.
  if (SysCat_TableLock(entry, tx, 1, &held->lock) != 0) return -1;
  Node_Unlock(entry->node);
  held->entry = entry;
  return 0;
}

void SysCat_TypedUnlock(SysCat_TYPEDLOCK* held, Node* tx) {
  if (held->lock != nullptr) SysCat_TableUnlock(held->lock, tx);
  *held = SysCat_TYPEDLOCK{};
}

namespace {

// The fingerprint of a stored row: its values, not its links (which a
// neighbour's insert or delete rewrites).
uint64_t row_hash(const uint8_t* element, uint32_t size) {
  return SysCat_Hash(element + SysCat_LINK_SIZE, size - SysCat_LINK_SIZE);
}

bool same_addr(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset && a.size == b.size;
}

// The node lock of a table and, with a transaction, its table lock.
struct Held {
  SysCat_MAP* entry = nullptr;
  Node_LOG_REC* lock = nullptr;
  int mode = 0;  // 1 write, 2 shared
};

int take(SysCat_MAP* entry, int mode, Node* tx, Held* h) {
  if (SysCat_EntryOpen(entry) != 0) return -1;
  const int rc = mode == 1 ? Node_Lock(entry->node, __FILE__, __LINE__)
                           : Node_LockShared(entry->node, __FILE__, __LINE__);
  if (rc != 0) return -1;
  // A refused table lock has given the node lock back.
  if (SysCat_TableLock(entry, tx, mode, &h->lock) != 0) return -1;
  h->entry = entry;
  h->mode = mode;
  return 0;
}

void give(Held* h, Node* tx);
int fail(Held* h, Node* tx, const char* message, int code = SC_E_NODE);

// take, and the table's VMETA read under the lock.
int take_vmeta(SysCat_MAP* entry, int mode, Node* tx, Held* h, SysCat_VMETA* vm) {
  if (take(entry, mode, tx, h) != 0) return -1;
  if (SysCat_get_vmeta(entry, vm, h->lock) == 0) return 0;
  return fail(h, tx, nullptr);
}

void give(Held* h, Node* tx) {
  if (h->entry == nullptr) return;
  SysCat_TableUnlock(h->lock, tx);
  if (h->mode == 1)
    Node_Unlock(h->entry->node);
  else
    Node_UnlockShared(h->entry->node);
  h->entry = nullptr;
}

int fail(Held* h, Node* tx, const char* message, int code) {
  if (message != nullptr) debug_log('O', 1, "%s", message);
  give(h, tx);
  SysCat_Error(code);
  return -1;
}

// Reads a whole stored row (link header included) into buf; its size, or
// -1 when the block is not a row of this table any more.
int read_element(Node* node, const Node_ADDR& at, uint8_t* buf, Node* tx) {
  if (at.size < SysCat_LINK_SIZE + 2) return -1;
  const int n = Pool_DefensiveRead(node, &at, buf, at.size, tx);
  return n == at.size ? n : -1;
}

// The row a state names is still the one read, linked where it was: the
// table did not change since, or the row reads the same and its
// neighbours (or the anchor) still point at it.
int check_row(SysCat_MAP* entry, const SysCat_GETSTATE* st, const SysCat_VMETA& vm, uint8_t* buf,
              Node* tx) {
  Node* node = entry->node;
  if (!Node_AddrValid(&st->curr)) return -1;
  const int n = read_element(node, st->curr, buf, tx);
  if (n < 0) return -1;
  if (Node_GetChangeCount(node) == st->change_count) return 0;
  if (row_hash(buf, static_cast<uint32_t>(n)) != st->row_hash) return -1;
  const SysCat_LINK link = SysCat_DecodeLink(buf);
  uint8_t hdr[SysCat_LINK_SIZE];
  if (Node_AddrValid(&link.prev)) {
    if (read_element(node, link.prev, buf, tx) < 0) return -1;
    memcpy(hdr, buf, sizeof hdr);
    if (!same_addr(SysCat_DecodeLink(hdr).next, st->curr)) return -1;
  } else if (!same_addr(vm.anchor.first, st->curr)) {
    return -1;
  }
  if (Node_AddrValid(&link.next)) {
    if (read_element(node, link.next, buf, tx) < 0) return -1;
    memcpy(hdr, buf, sizeof hdr);
    if (!same_addr(SysCat_DecodeLink(hdr).prev, st->curr)) return -1;
  } else if (!same_addr(vm.anchor.last, st->curr)) {
    return -1;
  }
  // buf held the neighbours: read the row again for the caller.
  return read_element(node, st->curr, buf, tx) < 0 ? -1 : 0;
}

int replace_link(Node* node, const Node_ADDR& row, uint32_t field, const Node_ADDR& to, Node* tx) {
  uint8_t bytes[Node_ADDR_SIZE];
  Node_EncodeAddr(to, bytes);
  return Pool_ReplaceElement(node, &row, field, bytes, sizeof bytes, tx) ==
                 static_cast<int>(sizeof bytes)
             ? 0
             : -1;
}
constexpr uint32_t kPrevField = 0;
constexpr uint32_t kNextField = Node_ADDR_SIZE;
constexpr uint32_t kMaxPacked = Pool_MAX_BLOCK_SIZE - SysCat_LINK_SIZE;

// The row that link belongs to leaves its place in the chain: its
// neighbours link to to_prev_next (the previous row's next) and
// to_next_prev (the next row's previous) instead, and where it has no
// neighbour the anchor's end takes that value. 0, or -1 when a neighbour
// could not be changed.
int relink_neighbours(Node* node, const SysCat_LINK& link, const Node_ADDR& to_prev_next,
                      const Node_ADDR& to_next_prev, SysCat_VMETA* vm, Node* tx) {
  if (Node_AddrValid(&link.prev)) {
    if (replace_link(node, link.prev, kNextField, to_prev_next, tx) != 0) return -1;
  } else {
    vm->anchor.first = to_prev_next;
  }
  if (Node_AddrValid(&link.next)) {
    if (replace_link(node, link.next, kPrevField, to_next_prev, tx) != 0) return -1;
  } else {
    vm->anchor.last = to_next_prev;
  }
  return 0;
}

// Packs row behind the link header already in element: the element's size,
// or 0 when the row does not pack.
uint32_t pack_element(const SysCat_MAP* entry, const void* row, uint8_t* element) {
  const int n = pack_col_val(element + SysCat_LINK_SIZE, kMaxPacked, entry, row);
  return n < 0 ? 0 : SysCat_LINK_SIZE + static_cast<uint32_t>(n);
}

bool is_devices(SysCat_DB_CATALOG* cat, int sys_id) {
  return cat == nullptr && sys_id == SysDevice_ID;
}

int device_count() {
  int n = 0;
  Vol_XINFO info;
  for (int slot = 0; slot < Vol_NumVolumes(); ++slot)
    if (Vol_GetVolumeInfo(slot, &info) == 0) ++n;
  return n;
}

// A sysdevices row of a volume slot in use, in one buffer.
SysCat_DEVICE* device_row(int slot, const Vol_XINFO& info) {
  const size_t path_len = strlen(info.path);
  auto* row = static_cast<SysCat_DEVICE*>(calloc(1, sizeof(SysCat_DEVICE) + path_len + 1));
  ZENT_ASSERT(row != nullptr && "sysdevices row: heap overflow");
  char* path = reinterpret_cast<char*>(row + 1);
  memcpy(path, info.path, path_len + 1);
  row->volid = static_cast<uint32_t>(slot) + 1;
  row->serial = info.set_id;
  row->type = info.type;
  row->path = path;
  row->pagesz = info.page_size;
  row->size = info.curr_size;
  row->extsz = info.ext_size;
  row->maxsz = info.max_size;
  row->free = info.free_size;
  row->used = info.curr_size - info.free_size;
  row->seekcnt = info.io_count;
  row->readcnt = info.read_count;
  row->writecnt = info.write_count;
  return row;
}

int get_device(int mode, const SysCat_FILTER* filter, SysCat_GETSTATE* state, void** row) {
  int slot = mode == SysCat_GET_FIRST ? 0 : state->slot + 1;
  for (; slot < Vol_NumVolumes(); ++slot) {
    Vol_XINFO info;
    if (Vol_GetVolumeInfo(slot, &info) != 0) continue;
    SysCat_DEVICE* r = device_row(slot, info);
    if (filter == nullptr || filter->fn == nullptr || filter->fn(r, filter->arg) != 0) {
      state->slot = slot;
      *row = r;
      return 0;
    }
    free(r);
  }
  state->slot = slot;
  SysCat_Eof();
  return 1;
}

}  // namespace

// --- Counters ---------------------------------------------------------------------------------

int SysCat_entry_cnt(SysCat_DB_CATALOG* cat, int sys_id, Node* tx) {
  debug_log('O', 3, "SysCat_entry_cnt(sys_id=%d)", sys_id);
  if (is_devices(cat, sys_id)) return device_count();
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr) return -1;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 2, tx, &h, &vm) != 0) return -1;
  give(&h, tx);
  return static_cast<int>(vm.anchor.count);
}

uint32_t SysCat_get_unique_id(SysCat_DB_CATALOG* cat, int sys_id, Node* tx) {
  debug_log('O', 3, "SysCat_get_unique_id(sys_id=%d)", sys_id);
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr) return 0;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 1, tx, &h, &vm) != 0) return 0;
  vm.unique += 1;
  if (SysCat_push_vmeta(entry, &vm, h.lock, tx) != 0) {
    fail(&h, tx, nullptr);
    return 0;
  }
  give(&h, tx);
  return vm.unique;
}

int SysCat_set_unique_id(SysCat_MAP* entry, uint32_t value, Node* tx) {
  debug_log('O', 3, "SysCat_set_unique_id(sys_id=%d)", entry != nullptr ? entry->sys_id : 0);
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 1, tx, &h, &vm) != 0) return -1;
  vm.unique = value;
  if (SysCat_push_vmeta(entry, &vm, h.lock, tx) != 0) return fail(&h, tx, nullptr);
  give(&h, tx);
  return 0;
}

// --- Changes ----------------------------------------------------------------------------------

int SysCat_add_entry(SysCat_DB_CATALOG* cat, int sys_id, const void* row, Node_ADDR* out_addr,
                     Node* tx) {
  debug_log('O', 3, "SysCat_add_entry(sys_id=%d)", sys_id);
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr || row == nullptr) return -1;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 1, tx, &h, &vm) != 0) return -1;
  Node* node = entry->node;
  vbuf* b = VBUF_OPEN(Pool_MAX_BLOCK_SIZE);
  auto* buf = static_cast<uint8_t*>(b->data);
  SysCat_LINK link;
  if (vm.anchor.count > 0) link.prev = vm.anchor.last;
  SysCat_EncodeLink(link, buf);
  const uint32_t total = pack_element(entry, row, buf);
  if (total == 0) {
    VBuf_Close(b);
    return fail(&h, tx, "add_entry: Unable to pack system record");
  }
  Node_ADDR addr;
  if (Pool_Alloc(node, total, &addr, tx) != 0) {
    VBuf_Close(b);
    return fail(&h, tx, "add_entry() failed on Pool_Alloc()");
  }
  if (Pool_Write(node, &addr, buf, total, tx) != static_cast<int>(total) || addr.size != total) {
    Pool_Free(node, &addr, tx);
    VBuf_Close(b);
    return fail(&h, tx, "add_entry() failed on Pool_Write()");
  }
  VBuf_Close(b);
  if (vm.anchor.count > 0) {
    if (replace_link(node, vm.anchor.last, kNextField, addr, tx) != 0) {
      Pool_Free(node, &addr, tx);
      return fail(&h, tx, "add_entry() failed on Pool_ReplaceElement()");
    }
    vm.anchor.count += 1;
    vm.anchor.last = addr;
  } else {
    vm.anchor = SysCat_ANCHOR{1, addr, addr};
  }
  if (SysCat_push_vmeta(entry, &vm, h.lock, tx) != 0)
    return fail(&h, tx, "add_entry() failed on SysCat_push_vmeta()");
  Node_IncChangeCount(node);
  if (out_addr != nullptr) *out_addr = addr;
  give(&h, tx);
  return 0;
}

int SysCat_upd_entry(SysCat_DB_CATALOG* cat, int sys_id, const void* row, SysCat_GETSTATE* state,
                     Node* tx) {
  debug_log('O', 3, "SysCat_upd_entry(sys_id=%d)", sys_id);
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr || row == nullptr || state == nullptr) return -1;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 1, tx, &h, &vm) != 0) return -1;
  Node* node = entry->node;
  vbuf* b = VBUF_OPEN(Pool_MAX_BLOCK_SIZE);
  auto* buf = static_cast<uint8_t*>(b->data);
  if (check_row(entry, state, vm, buf, tx) != 0) {
    VBuf_Close(b);
    return fail(&h, tx, "upd_entry() failed: the row changed since it was read");
  }
  const SysCat_LINK link = SysCat_DecodeLink(buf);
  const uint32_t total = pack_element(entry, row, buf);
  if (total == 0) {
    VBuf_Close(b);
    return fail(&h, tx, "upd_entry: Unable to pack system record");
  }
  Node_ADDR addr = state->curr;
  if (Pool_ReAlloc(node, total, &addr, tx) != 0 ||
      Pool_Write(node, &addr, buf, total, tx) != static_cast<int>(total)) {
    VBuf_Close(b);
    return fail(&h, tx, "upd_entry() failed on Pool_Write()");
  }
  const uint64_t hash = row_hash(buf, total);
  VBuf_Close(b);
  if (!same_addr(addr, state->curr)) {
    if (vm.anchor.count == 0) return fail(&h, tx, "upd_entry() failed: empty anchor");
    if (relink_neighbours(node, link, addr, addr, &vm, tx) != 0)
      return fail(&h, tx, "upd_entry() failed on Pool_ReplaceElement()");
    if (SysCat_push_vmeta(entry, &vm, h.lock, tx) != 0)
      return fail(&h, tx, "upd_entry() failed on SysCat_push_vmeta()");
  }
  Node_IncChangeCount(node);
  state->curr = addr;
  state->next = link.next;
  state->change_count = Node_GetChangeCount(node);
  state->row_hash = hash;
  give(&h, tx);
  return 0;
}

int SysCat_del_entry(SysCat_DB_CATALOG* cat, int sys_id, SysCat_GETSTATE* state, Node* tx) {
  debug_log('O', 3, "SysCat_del_entry(sys_id=%d)", sys_id);
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr || state == nullptr) return -1;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 1, tx, &h, &vm) != 0) return -1;
  Node* node = entry->node;
  vbuf* b = VBUF_OPEN(Pool_MAX_BLOCK_SIZE);
  const int checked = check_row(entry, state, vm, static_cast<uint8_t*>(b->data), tx);
  const SysCat_LINK link = SysCat_DecodeLink(static_cast<uint8_t*>(b->data));
  VBuf_Close(b);
  if (checked != 0) return fail(&h, tx, "del_entry() failed: the row changed since it was read");
  Node_ADDR at = state->curr;
  if (Pool_Free(node, &at, tx) != 0) return fail(&h, tx, "del_entry() failed on Pool_Free()");
  if (relink_neighbours(node, link, link.next, link.prev, &vm, tx) != 0)
    return fail(&h, tx, "del_entry() failed on Pool_ReplaceElement()");
  if (vm.anchor.count > 0) vm.anchor.count -= 1;
  if (SysCat_push_vmeta(entry, &vm, h.lock, tx) != 0)
    return fail(&h, tx, "del_entry() failed on SysCat_push_vmeta()");
  Node_IncChangeCount(node);
  // A following walk goes on after the deleted row.
  Node_AddrClear(&state->curr);
  state->next = link.next;
  state->change_count = Node_GetChangeCount(node);
  state->row_hash = 0;
  give(&h, tx);
  return 0;
}

// --- Walk --------------------------------------------------------------------------------------

int SysCat_get(SysCat_DB_CATALOG* cat, int sys_id, int mode, const SysCat_FILTER* filter,
               SysCat_GETSTATE* state, void** row, Node* tx) {
  debug_log('O', 3, "SysCat_get(sys_id=%d)", sys_id);
  ZENT_ASSERT((mode == SysCat_GET_FIRST || mode == SysCat_GET_NEXT) && "Bad get_entry mode");
  if (state == nullptr || row == nullptr) return SYSCAT_INVALID_ARGS("SysCat_get");
  *row = nullptr;
  if (is_devices(cat, sys_id)) return get_device(mode, filter, state, row);
  SysCat_MAP* entry = SysCat_map_sysid(cat, sys_id);
  if (entry == nullptr) return -1;
  Held h;
  SysCat_VMETA vm;
  if (take_vmeta(entry, 2, tx, &h, &vm) != 0) return -1;
  Node* node = entry->node;
  vbuf* b = VBUF_OPEN(Pool_MAX_BLOCK_SIZE);
  auto* buf = static_cast<uint8_t*>(b->data);
  Node_ADDR at = vm.anchor.first;
  if (mode == SysCat_GET_NEXT) {
    at = state->next;
    // The table changed since the last row: go on from where that row now
    // links, if it is still there.
    if (Node_GetChangeCount(node) != state->change_count) {
      if (check_row(entry, state, vm, buf, tx) != 0) {
        VBuf_Close(b);
        return fail(&h, tx, "get_entry() failed: the row last read is gone");
      }
      at = SysCat_DecodeLink(buf).next;
    }
  }
  if (!Node_AddrValid(&at)) {
    VBuf_Close(b);
    give(&h, tx);
    SysCat_Eof();
    return 1;
  }
  for (uint32_t steps = 0; Node_AddrValid(&at); ++steps) {
    if (steps >= vm.anchor.count) {
      VBuf_Close(b);
      debug_log('O', 0, "get_entry: row chain longer than its anchor (node=%d)", Node_GetId(node));
      return fail(&h, tx, nullptr, SC_E_DESCR);
    }
    const int n = read_element(node, at, buf, tx);
    if (n < 0) {
      VBuf_Close(b);
      return fail(&h, tx, "get_entry() failed on Pool_Read()");
    }
    const SysCat_LINK link = SysCat_DecodeLink(buf);
    void* r =
        SysCat_UnpackRow(entry, buf + SysCat_LINK_SIZE, static_cast<size_t>(n) - SysCat_LINK_SIZE);
    if (r == nullptr) {
      VBuf_Close(b);
      debug_log('O', 0, "get_entry: Unable to unpack system record (node=%d)", Node_GetId(node));
      return fail(&h, tx, nullptr, SC_E_ROW);
    }
    if (filter == nullptr || filter->fn == nullptr || filter->fn(r, filter->arg) != 0) {
      state->curr = at;
      state->next = link.next;
      state->change_count = Node_GetChangeCount(node);
      state->row_hash = row_hash(buf, static_cast<uint32_t>(n));
      VBuf_Close(b);
      give(&h, tx);
      *row = r;
      return 0;
    }
    free(r);
    at = link.next;
  }
  VBuf_Close(b);
  debug_log('O', 2, "get_entry: EOF encountered");
  give(&h, tx);
  SysCat_Eof();
  return 1;
}
