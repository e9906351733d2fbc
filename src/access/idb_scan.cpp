// idb_scan.cpp - bulk scans: serial, record-list, key and chain scans and
// the states that key and chain scans keep between calls (see idb_scan.h).
//
// State: the scan states hang from the caller's scan contexts; nothing
// here is shared between sessions. A call reads records through one work
// buffer of the buffer cache's free list and packs them field by field
// straight into the caller's buffer. Every path closes the nodes it opened
// and gives the work buffer back.
#include "access/idb_scan.h"

#include <cstdlib>
#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"

// Tags of the two kinds of state: a continuation of one kind never reads
// the other's.
inline constexpr uint32_t kKeyMagic = 0x12348765;
inline constexpr uint32_t kChainMagic = 0x12348766;

enum : int32_t { kModeNew = 0, kModeOpen = 1, kModeDone = 2 };

struct idb_scan_state {
  uint32_t magic;
  int32_t mode;
  int32_t dbid;
  int32_t setno;  // 0-based
  // Key scan: the master key item (position, -1 none) or the index item
  // (schema position, -1 none), index 0 the master key or n the set's
  // index n - 1, the key's length, operator and argument, the last key.
  int32_t item;
  int32_t iitem;
  int32_t index;
  int32_t key_len;
  int32_t op;
  int32_t arg_len;
  int32_t last_len;
  // Chain scan: the path, its search item, current and next record.
  int32_t path;
  uint32_t cur;
  uint32_t next;
  uint8_t* arg;   // arg_len bytes (chain: the master key)
  uint8_t* last;  // key_len bytes
};

namespace {

void (*g_visit_hook)(uint32_t) = nullptr;

// One call's frame: the set, the work buffer, the output and the yield
// counter.
struct Scan {
  idb_session* s;
  const global* g;
  const idb_set* set;
  int32_t setno;
  const idb_scan_ctx* ctx;
  vbuf* work;
  uint8_t* out;
  uint32_t size;  // data_sz
  uint32_t pos;   // bytes written, head included
  uint32_t count; // records (words 1)
  uint32_t visits;
};

uint8_t* media(Scan& r) { return static_cast<uint8_t*>(r.work->data); }

// The yield before every 102nd record number visited in one call.
void visit(Scan& r, uint32_t recno) {
  if (g_visit_hook != nullptr) g_visit_hook(recno);
  if (r.visits > 100) {
    thread_yield();
    r.visits = 0;
  }
  ++r.visits;
}

// Packs the record in the work buffer (recno) at r.pos with the context's
// field selection. false when it does not fit; nothing is kept then.
bool pack(Scan& r, const idb_scan_ctx* ctx, const idb_set* set, const uint8_t* rec,
          uint32_t recno) {
  uint32_t at = r.pos;
  if (r.size - at < 4) return false;
  le_put32(r.out + at, recno);
  at += 4;
  const int32_t first = ctx->fld_offs;
  const int32_t cnt = ctx->fld_cnt;
  int32_t f = 0;       // field number across the record
  uint32_t off = 0;    // its offset in the record
  for (uint32_t e = 0; e < set->s.item_cnt; ++e) {
    const idb_item& it = r.g->item[set->entry[e].item];
    for (uint32_t el = 0; el < it.elements; ++el, ++f, off += it.size) {
      const int32_t k = f - first;
      if (k < 0) continue;
      if (k >= cnt) goto done;
      if ((ctx->fld_map[k / 8] >> (k % 8) & 1) == 0) continue;
      if (r.size - at < it.size) return false;
      memcpy(r.out + at, rec + off, it.size);
      at += it.size;
    }
  }
done:
  r.pos = at;
  ++r.count;
  return true;
}

void finish(Scan& r, uint32_t word0, uint32_t* used) {
  le_put32(r.out, word0);
  le_put32(r.out + 4, r.count);
  le_put32(r.out + 8, r.pos - IDB_SCAN_HEAD);
  *used = r.pos;
  r.s->error.code = 0;
  r.s->error.sub_code = 0;
}

// The common checks of every entry: the context's open database, its set
// and read access. The set's position, or -1.
int32_t check_ctx(idb_session* s, const idb_scan_ctx* ctx, const global** g) {
  db_ctx* db = idb__get_db_ctx(s, ctx->dbid);
  if (db == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return -1;
  }
  *g = &db->root->g;
  const int32_t setno = ctx->setno - 1;
  if (setno < 0 || setno >= (*g)->set_cnt || chk_set_access(db, setno) == 0 ||
      ctx->fld_cnt < 0 || (ctx->fld_cnt > 0 && ctx->fld_map == nullptr)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  return setno;
}

// The frame of one call on the context's set; -1 when a check fails.
int begin(idb_session* s, const idb_scan_ctx* ctx, uint8_t* buf, uint32_t data_sz, Scan* r) {
  const global* g = nullptr;
  const int32_t setno = check_ctx(s, ctx, &g);
  if (setno < 0) return -1;
  if (buf == nullptr || data_sz < IDB_SCAN_HEAD) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  *r = Scan{s, g, &g->set[setno], setno, ctx, nullptr, buf, data_sz, IDB_SCAN_HEAD, 0, 0};
  return 0;
}

// The work buffer for the media records; -1 with S_VOLUME.
int take_work(Scan& r) {
  r.work = VBUF_OPEN(IDB_WORK_BUF);
  if (r.work == nullptr) {
    IDB_ERROR(r.s, S_VOLUME, 0);
    return -1;
  }
  ZENT_ASSERT(r.work->size >= media_len(r.set) && "media_buf_sz >= media_len(set)");
  return 0;
}

// A positive code of a worker: kept in the record, reported as -1.
int fail_cc(idb_session* s, int32_t cc) {
  IDB_ERROR_CC(s, cc, s->error.sub_code);
  return -1;
}

bool missing(int32_t code) { return code == S_NOREC || code == S_DIREOF || code == S_DIRBOF; }

// --- serial -----------------------------------------------------------------

int seq_worker(Scan& r, uint32_t start, uint32_t* word0) {
  Node* node = r.set->s.node;
  uint32_t last = start;
  for (uint32_t at = start + 1;; ++at) {
    visit(r, at);
    const int rc = FixRec_Get(node, at, media(r), nullptr, idb__tx_node(r.s));
    if (rc != 0) {
      const int state = rc == 1 ? idb__rec_state() : 0;
      if (state == FixRec_R_DELETED) continue;
      if (state == FixRec_R_END) {
        IDB_ERROR(r.s, S_EOF, state);
        *word0 = 0;
        return 0;
      }
      IDB_ERROR(r.s, S_VOLFREC, idb__lower_status());
      return -1;
    }
    if (!pack(r, r.ctx, r.set, media(r), at)) break;
    last = at;
  }
  if (r.count == 0) {
    IDB_ERROR(r.s, S_BAD, 0);
    return -1;
  }
  *word0 = last;
  return 0;
}

// --- key scans --------------------------------------------------------------

bool is_char(uint32_t type) { return type == 'X' || type == 'B'; }

// The set's index on the index item at schema position iitem (0-based
// among the index items): its number n >= 1, or 0.
int32_t index_of(const global* g, const idb_set* set, int32_t iitem) {
  for (uint32_t i = 0; i < set->s.index_cnt; ++i)
    if (set->index[i].iitem == g->item_cnt + iitem) return static_cast<int32_t>(i) + 1;
  return 0;
}

bool is_master_key(const idb_set* set, int32_t item) {
  return (set->s.type == 'M' || set->s.type == 'A') && set->s.item_cnt > 0 &&
         set->entry[0].item == item;
}

// The key's length: the master key item's size, or the index item's
// segments and the index word.
int32_t key_length(const global* g, int32_t item, int32_t iitem) {
  if (item >= 0) return static_cast<int32_t>(g->item[item].size);
  const idb_iitem& ii = g->iitem[iitem];
  int32_t n = 4;
  for (uint32_t k = 0; k < ii.seg_cnt; ++k) n += static_cast<int32_t>(ii.seg[k].length);
  return n;
}

// The part of the argument a key scan takes: whole segments, the last cut
// only when it is a character or byte item. -1 for a master key argument
// that cuts a key the compare needs whole.
int32_t accepted_arg(const global* g, int32_t item, int32_t iitem, int32_t arg_len) {
  if (item >= 0) {
    const idb_item& it = g->item[item];
    const int32_t size = static_cast<int32_t>(it.size);
    if (arg_len >= size) return size;
    return arg_len == 0 || is_char(it.type) ? arg_len : -1;
  }
  const idb_iitem& ii = g->iitem[iitem];
  int32_t n = 0;
  for (uint32_t k = 0; k < ii.seg_cnt && n < arg_len; ++k) {
    const int32_t len = static_cast<int32_t>(ii.seg[k].length);
    if (arg_len - n >= len) {
      n += len;
      continue;
    }
    if (ii.seg[k].item >= 0 && is_char(g->item[ii.seg[k].item].type)) n = arg_len;
    break;
  }
  return n;
}

// The state's key still names the same key of the open database's set.
bool key_state_valid(const Scan& r, const idb_scan_state* st) {
  if (st->dbid != r.ctx->dbid || st->setno != r.setno) return false;
  if (st->item >= 0) {
    if (st->item >= r.g->item_cnt || !is_master_key(r.set, st->item)) return false;
  } else if (st->iitem < 0 || st->iitem >= r.g->iitem_cnt || st->index < 1 ||
             index_of(r.g, r.set, st->iitem) != st->index) {
    return false;
  }
  return key_length(r.g, st->item, st->iitem) == st->key_len && st->arg_len <= st->key_len;
}

// Where a key stands against the state's argument: the argument's bytes
// and keys that collate equal to them with other bytes are told apart.
idb_chain_pos prefix_pos(const idb_scan_state* st, const btree_KEYDEF* kd, void* coll,
                         const btree_DBT& key) {
  set_ctx c{};
  c.arg_len = st->arg_len;
  c.key = st->arg;
  return idb__chain_key(&c, kd, coll, &key);
}

int cmp_arg(const idb_scan_state* st, const btree_KEYDEF* kd, void* coll, const btree_DBT& key) {
  const btree_DBT a{st->arg, static_cast<uint32_t>(st->arg_len)};
  return idb__bt_cmp(kd, &key, &a, coll);
}

// The operator's stop test: true when the key ends the scan; *skip when
// it is passed over without ending it.
bool stops(const idb_scan_state* st, const btree_KEYDEF* kd, void* coll, const btree_DBT& key,
           bool* skip) {
  *skip = false;
  switch (st->op) {
    case IDB_SCAN_LT: return cmp_arg(st, kd, coll, key) >= 0;
    case IDB_SCAN_LE: return cmp_arg(st, kd, coll, key) > 0;
    case IDB_SCAN_EQ: {
      const idb_chain_pos at = prefix_pos(st, kd, coll, key);
      // A key that collates with the argument under other bytes lies
      // inside the range: pass over it rather than end there.
      *skip = at == IDB_CHAIN_OTHER || at == IDB_CHAIN_BEFORE;
      return at == IDB_CHAIN_AFTER || at == IDB_CHAIN_END;
    }
    default: return false;
  }
}

// The first key of a new scan.
int key_first(idb_scan_state* st, btree_HANDLE* t, const btree_KEYDEF* kd, void* coll,
              btree_DBT* key, btree_DBT* data) {
  if (st->op <= IDB_SCAN_LE || st->arg_len == 0) return idb__bt_seq(t, key, data, BT_SEQ_FIRST);
  int rc = RET_CURSOR;
  for (int tries = 0; rc == RET_CURSOR && tries < IDB_CURSOR_TRIES; ++tries) {
    *key = btree_DBT{st->arg, static_cast<uint32_t>(st->arg_len)};
    rc = idb__bt_seq(t, key, data, BT_SEQ_CURSOR);
  }
  if (st->op != IDB_SCAN_GT) return rc;
  while (rc == RET_SUCCESS && prefix_pos(st, kd, coll, *key) != IDB_CHAIN_AFTER &&
         prefix_pos(st, kd, coll, *key) != IDB_CHAIN_BEFORE)
    rc = idb__bt_seq(t, key, data, BT_SEQ_NEXT);
  return rc;
}

int key_worker(Scan& r, idb_scan_state* st) {
  void* coll = nullptr;
  Node* node;
  if (st->index == 0) {
    ZENT_ASSERT((r.set->s.type == 'M' || r.set->s.type == 'A') &&
                "set->s.type == 'M' || set->s.type == 'A'");
    node = idb__index_node(r.set, 1, &coll);
  } else {
    ZENT_ASSERT(st->index - 1 < static_cast<int32_t>(r.set->s.index_cnt) &&
                "idx >= 0 && idx < set->s.index_cnt");
    node = idb__index_node(r.set, st->index + 1, &coll);
  }
  btree_HANDLE* t = nullptr;
  if (idb__bt_open(r.s, node, coll, &t) != 0) return -1;
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  const uint32_t seg_cnt = st->index == 0 ? 1 : r.g->iitem[st->iitem].seg_cnt + 1;
  ZENT_ASSERT(kd->k_nparts == seg_cnt && "keydef->k_nparts == seg_cnt");
  ZENT_ASSERT(kd->k_len == static_cast<uint32_t>(st->key_len) &&
              "keydef->k_len == k_ctx->idx_keysz");
  btree_DBT key{};
  btree_DBT data{};
  int rc = RET_ERROR;
  if (st->mode == kModeNew)
    rc = key_first(st, t, kd, coll, &key, &data);
  else if (st->mode == kModeOpen)
    rc = idb__step_from(t, st->last, static_cast<uint32_t>(st->last_len), true, &key, &data);
  else
    ZENT_ASSERT(!"key_scan(): bad k_ctx->mode");
  int out = 0;
  st->mode = kModeDone;
  while (rc == RET_SUCCESS) {
    bool skip = false;
    if (stops(st, kd, coll, key, &skip)) break;
    if (!skip) {
      ZENT_ASSERT(data.size == sizeof(uint32_t) && "k_data.size == sizeof(recno_t)");
      const uint32_t recno = le_get32(static_cast<const uint8_t*>(data.data));
      visit(r, recno);
      if (idb__read_rec(r.s, 0, r.set, recno, media(r), r.work->size) != 0) {
        debug_log('I', 2, "key_scan: status = %d", static_cast<int>(r.s->error.code));
        if (r.s->error.code == S_VOLFREC) {
          out = -1;
          break;
        }
      } else {
        if (!pack(r, r.ctx, r.set, media(r), recno)) {
          st->mode = kModeOpen;
          break;
        }
        const uint32_t n = key.size < static_cast<uint32_t>(st->key_len)
                               ? key.size : static_cast<uint32_t>(st->key_len);
        memcpy(st->last, key.data, n);
        st->last_len = static_cast<int32_t>(n);
      }
    }
    rc = idb__bt_seq(t, &key, &data, BT_SEQ_NEXT);
    if (rc == RET_CURSOR) {
      debug_log('I', 2, "key_scan: status = RET_CURSOR");
      rc = idb__step_from(t, st->last, static_cast<uint32_t>(st->last_len), true, &key, &data);
    }
  }
  if (out == 0 && rc != RET_SUCCESS && rc != RET_SPECIAL) {
    // A tree that fails mid-way must not pass for a finished scan.
    IDB_ERROR(r.s, S_BTREE, idb__lower_status());
    out = -1;
  }
  idb__bt_close(r.s, t);
  return out;
}

// --- chain scans ------------------------------------------------------------

// The path of ditemno (0-based item position) in detail set, or -1.
int32_t path_of(const idb_set* set, int32_t item) {
  for (uint32_t p = 0; p < set->s.path_cnt; ++p)
    if (set->entry[set->path[p].search].item == item) return static_cast<int32_t>(p);
  return -1;
}

bool chain_state_valid(const Scan& r, const idb_scan_state* st) {
  if (st->dbid != r.ctx->dbid || st->setno != r.setno || r.set->s.type != 'D') return false;
  return st->path >= 0 && static_cast<uint32_t>(st->path) < r.set->s.path_cnt &&
         st->item >= 0 && st->item < r.g->item_cnt && path_of(r.set, st->item) == st->path;
}

// The first record of the chain from the master; 0 or -1.
int chain_head(Scan& r, idb_scan_state* st, uint32_t mrecno) {
  const idb_path& path = r.set->path[st->path];
  const idb_set* mset = &r.g->set[path.set];
  if (mset->s.type != 'A' && mset->s.type != 'M') {
    IDB_ERROR(r.s, S_BAD, 0);
    return -1;
  }
  if (idb__add_node(r.s, mset) != 0) return -1;
  int rc = 0;
  if (mrecno == 0) rc = idb__master_lookup(r.s, r.g, mset, st->arg, &mrecno);
  vbuf* mb = nullptr;
  if (rc == 0) {
    mb = VBUF_OPEN(IDB_WORK_BUF);
    if (mb == nullptr) {
      debug_log('I', 1, "chain_head: VBuf_Open() failed");
      IDB_ERROR(r.s, S_VOLUME, 0);
      rc = -1;
    }
  }
  if (rc == 0) {
    ZENT_ASSERT(mb->size >= media_len(mset) && "media_buf_sz >= media_len(mset)");
    rc = idb__read_rec(r.s, 0, mset, mrecno, static_cast<uint8_t*>(mb->data), mb->size);
    if (rc == 0) {
      const uint8_t* e = idb__path_area(mset, static_cast<uint8_t*>(mb->data)) + 12 * path.path;
      st->next = le_get32(e + 4);
      st->cur = 0;
    }
  }
  VBuf_Close(mb);
  idb__close_node(r.s, mset->s.node);
  if (rc != 0 && missing(r.s->error.code)) IDB_ERROR(r.s, S_NOREC, r.s->error.code);
  return rc;
}

int chain_worker(Scan& r, idb_scan_state* st) {
  st->mode = kModeDone;
  while (st->next != 0) {
    visit(r, st->next);
    if (idb__read_rec(r.s, 0, r.set, st->next, media(r), r.work->size) != 0) {
      if (missing(r.s->error.code)) {
        // A chain that breaks must not pass for a whole one.
        IDB_ERROR(r.s, S_BROKEN, static_cast<int32_t>(st->next));
        return -1;
      }
      return -1;
    }
    if (!pack(r, r.ctx, r.set, media(r), st->next)) {
      st->mode = kModeOpen;
      return 0;
    }
    st->cur = st->next;
    st->next = le_get32(idb__path_area(r.set, media(r)) + 8 * st->path);
  }
  return 0;
}

idb_scan_state* new_state(idb_session* s, uint32_t magic, int32_t arg_len, int32_t last_len) {
  auto* st = static_cast<idb_scan_state*>(calloc(1, sizeof(idb_scan_state)));
  uint8_t* arg = static_cast<uint8_t*>(malloc(arg_len > 0 ? arg_len : 1));
  uint8_t* last = static_cast<uint8_t*>(malloc(last_len > 0 ? last_len : 1));
  if (st == nullptr || arg == nullptr || last == nullptr) {
    free(st);
    free(arg);
    free(last);
    IDB_ERROR(s, S_SYSTEM, 12);
    return nullptr;
  }
  st->magic = magic;
  st->arg = arg;
  st->last = last;
  st->item = -1;
  st->iitem = -1;
  return st;
}

// Runs worker over an open frame (the set's node and the work buffer) and
// completes the buffer; the state is freed unless the scan stays open.
int run_stateful(Scan& r, idb_scan_ctx* ctx, int (*worker)(Scan&, idb_scan_state*),
                 uint32_t* used) {
  idb_scan_state* st = ctx->state;
  int rc = take_work(r);
  if (rc == 0) {
    rc = idb__open_node(r.s, r.set, 1);
    if (rc == 0) {
      rc = worker(r, st);
      idb__close_nodes(r.s);
    }
  }
  VBuf_Close(r.work);
  if (rc == 0 && r.count == 0 && st->mode == kModeOpen) {
    IDB_ERROR(r.s, S_BAD, 0);
    rc = -1;
  }
  const bool open = rc == 0 && st->mode == kModeOpen;
  if (!open) idb_scan_free_state(ctx);
  if (rc != 0) return r.s->error.code > 0 ? fail_cc(r.s, r.s->error.code) : -1;
  finish(r, open ? 1 : 0, used);
  return 0;
}

}  // namespace

void idb__set_scan_visit_hook(void (*hook)(uint32_t)) { g_visit_hook = hook; }

void idb_scan_free_state(idb_scan_ctx* ctx) {
  idb_scan_state* st = ctx->state;
  if (st == nullptr) return;
  free(st->arg);
  free(st->last);
  free(st);
  ctx->state = nullptr;
}

int idb_scan_is_open(const idb_scan_ctx* ctx) {
  return ctx->state != nullptr && ctx->state->mode == kModeOpen;
}

int idb_seq_scan(idb_session* s, idb_scan_ctx* ctx, uint8_t* buf, uint32_t data_sz,
                 uint32_t* used) {
  const uint32_t start = buf != nullptr && data_sz >= 4 ? le_get32(buf) : 0;
  debug_log('I', 3, "idb_seq_scan(dbid=%d, setno=%d, data_sz=%d, next_recno=%d)",
            static_cast<int>(ctx->dbid), static_cast<int>(ctx->setno), static_cast<int>(data_sz),
            static_cast<int>(start));
  Scan r;
  if (begin(s, ctx, buf, data_sz, &r) != 0) return -1;
  if (take_work(r) != 0) return -1;
  int rc = idb__open_node(s, r.set, 1);
  uint32_t word0 = 0;
  if (rc == 0) {
    rc = seq_worker(r, start, &word0);
    idb__close_nodes(s);
  }
  VBuf_Close(r.work);
  if (rc != 0) return -1;
  finish(r, word0, used);
  return 0;
}

int idb_rec_scan(idb_session* s, int ctx_cnt, idb_scan_ctx* const* ctxs, uint8_t* buf,
                 uint32_t data_sz, int32_t recno_cnt, const int32_t* recnos, uint32_t* used) {
  debug_log('I', 3, "idb_rec_scan(ctx_cnt=%d, data_sz=%d, recno_cnt=%d)", ctx_cnt,
            static_cast<int>(data_sz), static_cast<int>(recno_cnt));
  if (ctx_cnt < 1 || ctx_cnt > IDB_SCAN_MAX_CTX || recno_cnt < 0 ||
      (recno_cnt > 0 && recnos == nullptr)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const idb_set* sets[IDB_SCAN_MAX_CTX];
  Scan r;
  for (int i = 0; i < ctx_cnt; ++i) {
    if (begin(s, ctxs[i], buf, data_sz, &r) != 0) return -1;
    sets[i] = r.set;
  }
  r.ctx = ctxs[0];
  if (take_work(r) != 0) return -1;
  int rc = 0;
  for (int i = 0; i < ctx_cnt && rc == 0; ++i) rc = idb__open_node(s, sets[i], i == 0);
  const int32_t rows = recno_cnt / ctx_cnt;
  for (int32_t row = 0; rc == 0 && row < rows; ++row) {
    const uint32_t row_pos = r.pos;
    const uint32_t row_count = r.count;
    bool fits = true;
    bool gap = false;
    for (int i = 0; i < ctx_cnt && fits; ++i) {
      const uint32_t recno = static_cast<uint32_t>(recnos[row * ctx_cnt + i]);
      visit(r, recno);
      if (idb__read_rec(s, 0, sets[i], recno, media(r), r.work->size) != 0) {
        if (!missing(s->error.code)) {
          rc = -1;
          break;
        }
        gap = true;
        break;
      }
      fits = pack(r, ctxs[i], sets[i], media(r), recno);
    }
    if (rc != 0) break;
    if (gap) {
      r.pos = row_pos;
      r.count = row_count;
      const uint32_t zeros = 4u * static_cast<uint32_t>(ctx_cnt);
      if (r.size - r.pos < zeros) {
        fits = false;
      } else {
        memset(r.out + r.pos, 0, zeros);
        r.pos += zeros;
        r.count += static_cast<uint32_t>(ctx_cnt);
      }
    }
    if (!fits) {
      r.pos = row_pos;
      r.count = row_count;
      if (r.count == 0) {
        IDB_ERROR(s, S_BAD, 0);
        rc = -1;
      }
      break;
    }
  }
  idb__close_nodes(s);
  VBuf_Close(r.work);
  if (rc != 0) return -1;
  finish(r, 0, used);
  return 0;
}

int idb_key_scan(idb_session* s, idb_scan_ctx* ctx, int32_t cont, int32_t op, int32_t itemno,
                 int32_t iitemno, const uint8_t* arg, int32_t arg_len, uint8_t* buf,
                 uint32_t data_sz, uint32_t* used) {
  debug_log('I', 3, "idb_key_scan(dbid=%d, setno=%d, itemno=%d, iitemno=%d, key_sz=%d, data_sz=%d, )",
            static_cast<int>(ctx->dbid), static_cast<int>(ctx->setno), static_cast<int>(itemno),
            static_cast<int>(iitemno), static_cast<int>(arg_len), static_cast<int>(data_sz));
  Scan r;
  if (begin(s, ctx, buf, data_sz, &r) != 0) return -1;
  if (cont != 0) {
    idb_scan_state* st = ctx->state;
    if (cont != 1 || st == nullptr || st->magic != kKeyMagic || st->mode != kModeOpen ||
        !key_state_valid(r, st)) {
      IDB_ERROR(s, S_BAD, 0);
      return -1;
    }
    return run_stateful(r, ctx, key_worker, used);
  }
  int32_t item = -1;
  int32_t iitem = -1;
  int32_t index = 0;
  if ((itemno != 0) == (iitemno != 0)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  if (itemno != 0) {
    if (itemno < 1 || itemno > r.g->item_cnt) {
      IDB_ERROR(s, S_BAD, 0);
      return -1;
    }
    item = itemno - 1;
    if (!is_master_key(r.set, item)) {
      IDB_ERROR(s, S_BADITEM, 0);
      return -1;
    }
  } else {
    if (iitemno < 1 || iitemno > r.g->iitem_cnt) {
      IDB_ERROR(s, S_BAD, 0);
      return -1;
    }
    iitem = iitemno - 1;
    index = index_of(r.g, r.set, iitem);
    if (index == 0) {
      IDB_ERROR(s, S_BADITEM, 0);
      return -1;
    }
  }
  if (arg_len < 0 || (arg_len > 0 && arg == nullptr) || op < IDB_SCAN_FIRST ||
      op > IDB_SCAN_GT || (op == IDB_SCAN_FIRST && arg_len != 0)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const int32_t key_len = key_length(r.g, item, iitem);
  const int32_t taken = accepted_arg(r.g, item, iitem, arg_len);
  if (taken < 0) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  idb_scan_free_state(ctx);
  idb_scan_state* st = new_state(s, kKeyMagic, taken, key_len);
  if (st == nullptr) return -1;
  st->mode = kModeNew;
  st->dbid = ctx->dbid;
  st->setno = r.setno;
  st->item = item;
  st->iitem = iitem;
  st->index = index;
  st->key_len = key_len;
  st->op = op;
  st->arg_len = taken;
  if (taken > 0) memcpy(st->arg, arg, static_cast<size_t>(taken));
  ctx->state = st;
  return run_stateful(r, ctx, key_worker, used);
}

int idb_chain_scan(idb_session* s, idb_scan_ctx* ctx, int32_t mrecno, int32_t ditemno,
                   const uint8_t* key, int32_t key_len, uint8_t* buf, uint32_t data_sz,
                   uint32_t* used) {
  debug_log('I', 3, "idb_chain_scan(dbid=%d, setno=%d, mrecno=%d, ditemno=%d, key_sz=%d, data_sz=%d)",
            static_cast<int>(ctx->dbid), static_cast<int>(ctx->setno), static_cast<int>(mrecno),
            static_cast<int>(ditemno), static_cast<int>(key_len), static_cast<int>(data_sz));
  Scan r;
  if (begin(s, ctx, buf, data_sz, &r) != 0) return -1;
  if (r.set->s.type != 'D' || ditemno < 1 || ditemno > r.g->item_cnt || key_len < 0 ||
      mrecno < 0) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const int32_t path = path_of(r.set, ditemno - 1);
  if (path < 0) {
    IDB_ERROR(s, S_BADITEM, 0);
    return -1;
  }
  // The master's key is read to its whole size: no further than was sent.
  const idb_set* mset = &r.g->set[r.set->path[path].set];
  const int32_t msize = mset->s.item_cnt > 0
                            ? static_cast<int32_t>(r.g->item[mset->entry[0].item].size) : 0;
  if (mrecno == 0 && (key == nullptr || key_len == 0 || key_len < msize)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const int32_t kept = mrecno == 0 ? msize : 0;
  idb_scan_free_state(ctx);
  idb_scan_state* st = new_state(s, kChainMagic, kept, 0);
  if (st == nullptr) return -1;
  st->mode = kModeNew;
  st->dbid = ctx->dbid;
  st->setno = r.setno;
  st->item = ditemno - 1;
  st->path = path;
  st->arg_len = kept;
  if (kept > 0) memcpy(st->arg, key, static_cast<size_t>(kept));
  ctx->state = st;
  r.ctx = ctx;
  auto worker = +[](Scan& rr, idb_scan_state* sst) -> int {
    // The master's record number sits in cur until the head is read.
    const uint32_t m = sst->cur;
    if (chain_head(rr, sst, m) != 0) {
      sst->mode = kModeDone;
      return -1;
    }
    return chain_worker(rr, sst);
  };
  st->cur = static_cast<uint32_t>(mrecno);
  return run_stateful(r, ctx, worker, used);
}

int idb_next_scan(idb_session* s, idb_scan_ctx* ctx, uint8_t* buf, uint32_t data_sz,
                  uint32_t* used) {
  debug_log('I', 3, "idb_next_scan(dbid=%d, setno=%d, data_sz=%d)", static_cast<int>(ctx->dbid),
            static_cast<int>(ctx->setno), static_cast<int>(data_sz));
  Scan r;
  if (begin(s, ctx, buf, data_sz, &r) != 0) return -1;
  idb_scan_state* st = ctx->state;
  if (st == nullptr || st->magic != kChainMagic || st->mode != kModeOpen ||
      !chain_state_valid(r, st)) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  return run_stateful(r, ctx, chain_worker, used);
}
