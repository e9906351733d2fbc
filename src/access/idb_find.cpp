// idb_find.cpp - DBFIND: path chains, index positions and the count of a
// key range (see idb_find.h).
//
// State: none of its own; the cursor is the open database's `set_ctx`. A
// path chain reads its master through one work buffer of the buffer
// cache's free list; a count keeps its last counted key in another, so
// that a step whose cursor another session's change invalidated goes on
// from that key. Which keys belong to a range is idb__chain_key's answer,
// the same DBGET's chained reads use.
#include "access/idb_find.h"

#include <cstdlib>
#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_get.h"
#include "access/idb_lookup.h"
#include "access/idb_re.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"

namespace {

void (*g_count_step_hook)(int32_t) = nullptr;

struct Find {
  idb_session* s;
  const global* g;
  const idb_set* set;
  set_ctx* c;
};

bool is_char_type(uint32_t type) { return type == 'X' || type == 'B'; }

// The set's entry of item (assertion: the item is one of the set's).
uint32_t entry_offset(const idb_set* set, int32_t item) {
  uint32_t e = 0;
  while (e < set->s.item_cnt && set->entry[e].item != item) ++e;
  ZENT_ASSERT(e < set->s.item_cnt && "e < set->s.item_cnt");
  return set->offset[e];
}

// --- Path chains ------------------------------------------------------------

// The path chain of item's master entry. 0 with the status words of the
// chain in found, -1 (the session's record) or a code given directly.
int32_t find_path(Find& f, int32_t item, std::span<const uint8_t> arg, int32_t* found) {
  const idb_set* set = f.set;
  if (set->s.type != 'D') {
    IDB_ERROR(f.s, S_BAD, 0);
    return -1;
  }
  uint32_t p = 0;
  while (p < set->s.path_cnt && set->entry[set->path[p].search].item != item) ++p;
  if (p == set->s.path_cnt) return S_BADITEM;
  const idb_path& path = set->path[p];
  const idb_set* mset = &f.g->set[path.set];
  // The master's key is read to its item's size: no further than was sent.
  if (arg.size() < f.g->item[mset->entry[0].item].size) {
    IDB_ERROR(f.s, S_BAD, 0);
    return -1;
  }
  set_ctx* c = f.c;
  c->path = static_cast<int32_t>(p);
  c->index = 0;
  c->index_mode = IDB_IDX_NONE;
  free(c->key);
  c->key = nullptr;
  idb__re_free(c->pattern);
  c->pattern = nullptr;
  c->pat_span = 0;
  c->fwd = 0;
  c->bwd = 0;

  vbuf* work = VBUF_OPEN(IDB_WORK_BUF);
  ZENT_ASSERT(work->size >= media_len(mset) && "sz >= media_len(mset)");
  auto* media = static_cast<uint8_t*>(work->data);
  if (idb__open_node(f.s, mset, 1) != 0) {
    VBuf_Close(work);
    return -1;
  }
  uint32_t recno = 0;
  int rc = idb__master_lookup(f.s, f.g, mset, arg.data(), &recno);
  if (rc == 0) rc = idb__read_rec(f.s, 0, mset, recno, media, work->size);
  idb__close_nodes(f.s);
  if (rc != 0) {
    VBuf_Close(work);
    // A master that is not there; a failure of the tree or the file keeps
    // its own code rather than pass for a missing master.
    const int32_t code = f.s->error.code;
    if (code != S_BTREE && code != S_VOLFREC) IDB_ERROR(f.s, S_NOREC, 0);
    return -1;
  }
  const uint8_t* entry = idb__path_area(mset, media) + 12 * path.path;
  const int32_t count = static_cast<int32_t>(le_get32(entry));
  c->fwd = static_cast<int32_t>(le_get32(entry + 4));
  c->bwd = static_cast<int32_t>(le_get32(entry + 8));
  VBuf_Close(work);
  found[5] = count;
  found[7] = c->bwd;
  found[9] = c->fwd;
  return 0;
}

// --- Index positions ----------------------------------------------------------

// The key layout of index x of the set into the cursor fields (not yet the
// cursor's own): one part per segment, then the index word.
struct Layout {
  int32_t seg_cnt;
  int32_t key_len;
  idb_key_part part[IDB_MAX_KEY_PARTS];
};

Layout index_layout(const Find& f, const idb_iitem& ii) {
  Layout l{};
  uint32_t len = 0;
  for (uint32_t i = 0; i < ii.seg_cnt; ++i) {
    l.part[i] = {entry_offset(f.set, ii.seg[i].item), ii.seg[i].length};
    len += ii.seg[i].length;
  }
  ZENT_ASSERT(ii.seg_cnt < IDB_MAX_KEY_PARTS && "seg_cnt < IDB_MAX_KEY_PARTS");
  // The index word follows the user record padded to 4 (idb_lookup.h).
  l.part[ii.seg_cnt] = {(f.set->rec_len + 3u) & ~3u, 4};
  l.seg_cnt = static_cast<int32_t>(ii.seg_cnt) + 1;
  l.key_len = static_cast<int32_t>(len) + 4;
  return l;
}

// How many of n argument bytes bind the chain: whole segments, and a
// character segment in part.
uint32_t usable_length(const global* g, const idb_iitem& ii, uint32_t n) {
  uint32_t len = 0;
  for (uint32_t i = 0; i < ii.seg_cnt && len < n; ++i) {
    const uint32_t seg = ii.seg[i].length;
    if (n - len >= seg) {
      len += seg;
    } else {
      if (is_char_type(g->item[ii.seg[i].item].type)) len = n;
      break;
    }
  }
  return len;
}

// The leading character segments a pattern applies to.
uint32_t pattern_span(const global* g, const idb_iitem& ii) {
  uint32_t span = 0;
  for (uint32_t i = 0; i < ii.seg_cnt && is_char_type(g->item[ii.seg[i].item].type); ++i)
    span += ii.seg[i].length;
  return span;
}

// A scan of the positioned range.
struct Scan {
  btree_HANDLE* t;
  const set_ctx* c;
  const btree_KEYDEF* kd;
  void* coll;
  int32_t idx_mode;
  btree_DBT key{};
  btree_DBT data{};
  vbuf* last = nullptr;  // the last key of the range taken, for a restart
  uint32_t last_len = 0;
};

int seek_first(Scan& sc) {
  if (sc.c->arg_len != 0) {
    sc.key = btree_DBT{sc.c->key, static_cast<uint32_t>(sc.c->arg_len)};
    return idb__bt_seq(sc.t, &sc.key, &sc.data, BT_SEQ_CURSOR);
  }
  return idb__bt_seq(sc.t, &sc.key, &sc.data,
                     sc.idx_mode == IDB_IDX_AFTER ? BT_SEQ_LAST : BT_SEQ_FIRST);
}

// From the result rc of a seek or step, forward to the next key of the
// range: over keys that collate equal to the argument with other bytes,
// and from the last key taken (or the start) again when another session's
// change invalidated the cursor. RET_SUCCESS on a key of the range,
// RET_SPECIAL at its end, else the failure.
int next_in_range(Scan& sc, int rc) {
  int restarts = 0;
  for (;;) {
    if (rc == RET_CURSOR) {
      debug_log('I', 2, "indx_find: status = RET_CURSOR");
      if (++restarts > IDB_CURSOR_TRIES) return rc;
      rc = sc.last_len != 0 ? idb__step_from(sc.t, static_cast<const uint8_t*>(sc.last->data),
                                             sc.last_len, true, &sc.key, &sc.data)
                            : seek_first(sc);
      continue;
    }
    if (rc != RET_SUCCESS) return rc;
    const idb_chain_pos at = idb__chain_key(sc.c, sc.kd, sc.coll, &sc.key);
    if (at == IDB_CHAIN_IN) return RET_SUCCESS;
    if (at != IDB_CHAIN_OTHER) return RET_SPECIAL;
    rc = idb__bt_seq(sc.t, &sc.key, &sc.data, BT_SEQ_NEXT);
  }
}

uint32_t recno_of(const btree_DBT& data) {
  ZENT_ASSERT(data.size == sizeof(uint32_t) && "data.size == sizeof(recno_t)");
  return le_get32(static_cast<const uint8_t*>(data.data));
}

// Mode 1 (indx_find): the keys of the range, the first one's record and
// the last one's. 0 or -1.
int count_range(Find& f, Scan& sc, int32_t* found) {
  int32_t n = 0;
  uint32_t first = 0, last = 0;
  int rc = next_in_range(sc, seek_first(sc));
  while (rc == RET_SUCCESS) {
    last = recno_of(sc.data);
    if (n++ == 0) first = last;
    if (sc.last == nullptr) sc.last = VBUF_OPEN(sc.key.size);
    if (sc.last->size < sc.key.size) open_vbuf(sc.last, sc.key.size);
    memcpy(sc.last->data, sc.key.data, sc.key.size);
    sc.last_len = sc.key.size;
    if (g_count_step_hook != nullptr) g_count_step_hook(n);
    rc = next_in_range(sc, idb__bt_seq(sc.t, &sc.key, &sc.data, BT_SEQ_NEXT));
  }
  if (rc != RET_SPECIAL) {
    IDB_ERROR(f.s, S_BTREE, idb__lower_status());
    return -1;
  }
  if (n == 0) {
    IDB_ERROR(f.s, S_NOREC, 0);
    return -1;
  }
  found[5] = n;
  found[7] = static_cast<int32_t>(first);
  found[9] = static_cast<int32_t>(last);
  return 0;
}

// Modes 2 to 5: whether the range holds a key. 0 or -1.
int test_range(Find& f, Scan& sc) {
  const int rc = next_in_range(sc, seek_first(sc));
  if (rc == RET_SUCCESS) return 0;
  if (rc == RET_SPECIAL)
    IDB_ERROR(f.s, S_NOREC, 0);
  else
    IDB_ERROR(f.s, S_BTREE, idb__lower_status());
  return -1;
}

// Positions the cursor on index item iitem of the set; mode 1 counts the
// range into found, modes 2 to 5 test it. 0, -1 (the session's record) or
// a code given directly.
int32_t find_index(Find& f, int32_t mode, int32_t iitem, std::span<const uint8_t> arg,
                   int32_t* found) {
  const idb_set* set = f.set;
  uint32_t x = 0;
  while (x < set->s.index_cnt && set->index[x].iitem != iitem) ++x;
  if (x == set->s.index_cnt) return S_BADITEM;
  // A count, then as many bytes as it says: no byte past what was sent.
  uint32_t n = 0;
  if (arg.size() >= 4) memcpy(&n, arg.data(), 4);
  if (arg.size() < 4 || n > arg.size() - 4) {
    IDB_ERROR(f.s, S_BAD, 0);
    return -1;
  }
  const uint8_t* bytes = arg.data() + 4;
  const idb_iitem& ii = f.g->iitem[iitem - f.g->item_cnt];
  const Layout l = index_layout(f, ii);

  const bool pattern = mode == 4 || mode == 5;
  idb_re* re = nullptr;
  uint32_t span = 0;
  if (pattern) {
    span = pattern_span(f.g, ii);
    if (span == 0) return S_BADITEM;
    re = idb__re_compile(static_cast<int32_t>(n), reinterpret_cast<const char*>(bytes));
    if (re == nullptr) return IDB_RC_BAD_PATTERN;
  }
  auto* key = static_cast<uint8_t*>(calloc(static_cast<size_t>(l.key_len), 1));
  if (key == nullptr) {
    idb__re_free(re);
    return IDB_RC_KEY_MEMORY;
  }
  uint32_t arg_len;
  if (pattern) {
    arg_len = idb__re_prefix(re, key, span);
  } else {
    arg_len = usable_length(f.g, ii, n);
    memcpy(key, bytes, arg_len);
  }

  set_ctx* c = f.c;
  c->path = 0;
  c->fwd = 0;
  c->bwd = 0;
  c->index = static_cast<int32_t>(x) + 2;
  c->index_mode = mode == 1 ? IDB_IDX_RANGE : (mode == 2 || mode == 4) ? IDB_IDX_BEFORE : IDB_IDX_AFTER;
  c->arg_len = static_cast<int32_t>(arg_len);
  c->seg_cnt = l.seg_cnt;
  c->key_len = l.key_len;
  memcpy(c->part, l.part, sizeof l.part);
  idb__re_free(c->pattern);
  c->pattern = re;
  c->pat_span = static_cast<int32_t>(span);
  free(c->key);
  c->key = key;

  void* coll = nullptr;
  Node* node = idb__index_node(set, c->index, &coll);
  btree_HANDLE* t = nullptr;
  if (idb__bt_open(f.s, node, coll, &t) != 0) return -1;
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  ZENT_ASSERT(kd->k_nparts == static_cast<uint32_t>(c->seg_cnt) && "keydef->k_nparts == idx_desc.seg_cnt");
  ZENT_ASSERT(kd->k_len == static_cast<uint32_t>(c->key_len) && "keydef->k_len == idx_desc.key_length");
  Scan sc{t, c, kd, coll, c->index_mode};
  const int rc = mode == 1 ? count_range(f, sc, found) : test_range(f, sc);
  VBuf_Close(sc.last);
  idb__bt_close(f.s, t);
  return rc;
}

}  // namespace

void idb__set_count_step_hook(void (*hook)(int32_t)) { g_count_step_hook = hook; }

int idb_find(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
             const void* item_ref, int item_size, std::span<const uint8_t> arg, int32_t* status) {
  debug_log('I', 3, "idb_find(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_FIND;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  const int setno = idb__call_set(s, dbid, set_ref, set_size, &ctx);
  if (setno < 0) return idb__fail_status(s, -1, status);
  const global* g = &ctx->root->g;
  if (mode < 1 || mode > 5) {
    IDB_ERROR(s, S_BADMODE, 0);
    return idb__fail_status(s, -1, status);
  }
  Find f{s, g, &g->set[setno], &ctx->sets[setno]};
  idb_status found{};
  const int iitem = item_ref != nullptr ? idb__iitem_number(g, item_ref, item_size) : -1;
  int32_t rc;
  if (iitem >= 0) {
    rc = find_index(f, mode, iitem, arg, found);
  } else {
    const int item = mode == 1 && item_ref != nullptr ? idb__item_number(g, item_ref, item_size) : -1;
    if (item < 0) {
      IDB_ERROR(s, S_BAD, 0);
      return idb__fail_status(s, -1, status);
    }
    rc = find_path(f, item, arg, found);
  }
  if (rc != 0) return idb__fail_status(s, rc, status);
  s->error.code = 0;
  s->error.sub_code = 0;
  memcpy(status, found, sizeof found);
  return 0;
}
