// idb_put.cpp - DBPUT, storing a record with its keys, linking a detail
// record into its chains, and the chain order (see idb_put.h).
//
// State: none of its own; the cursor is the open database's `set_ctx`, the
// node list, advisory locks and error record are the session's. The work
// runs again from the user record after every wait for a blocking
// transaction, so it rebuilds the media record's tail each round.
#include "access/idb_put.h"

#include <cstring>
#include <utility>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_key.h"
#include "access/idb_lock.h"
#include "access/idb_lookup.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"

namespace {

// Chain links of a detail record on path p: {forward, backward}; a
// master's path entry: {count, first, last}.
constexpr uint32_t kDetailEntry = 8;
constexpr uint32_t kMasterEntry = 12;

uint8_t* link_of(const idb_set* set, uint8_t* media, uint32_t p) { return idb__link_of(set, media, p); }
uint8_t* head_of(const idb_set* set, uint8_t* media, uint32_t p) { return idb__head_of(set, media, p); }

// A B-tree step with the node-lock retries of every B-tree step.
template <class Step>
int bt_retry(Step step) {
  int rc = step();
  for (int tries = 0; rc == RET_LOCKED && tries < IDB_BT_LOCK_TRIES; ++tries) {
    thread_yield();
    rc = step();
  }
  return rc;
}

// Inserts media's key into t, the master-key tree (index -1) or index
// index of set: 0, or -1 with S_DUPL for a key that is there (S_BTREE for
// another failure).
int put_key(idb_session* s, const idb_set* set, btree_HANDLE* t, int index, vbuf* keybuf,
            uint8_t* media, uint32_t recno) {
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  if (index >= 0) ZENT_ASSERT(kd->k_nparts > 1 && "keydef->k_nparts > 1");
  uint32_t n = 0;
  const int rc = idb__insert_key(t, kd, keybuf, media, recno, &n);
  if (rc == RET_SUCCESS) return 0;
  if (rc == RET_SPECIAL && index >= 0) {
    // The index word makes every key unique: a duplicate means a damaged
    // counter or index, worth every detail in the log.
    debug_log('I', 0, "idb__put_rec: %.16s(%c) - duplicate secondary key", set->s.name,
              static_cast<char>(set->s.type));
    debug_log('I', 0, "key=%d, keydef->k_nparts=%d, keydef->k_len=%d, recno=%u", index,
              static_cast<int>(kd->k_nparts), static_cast<int>(kd->k_len), recno);
    debug_log('I', 0, "Unique=%ld", static_cast<long>(le_get32(idb__index_word_offset(set, media))));
    if (debug_enabled('I', 0)) {
      debug_dump("key value", keybuf->data, static_cast<int>(n));
      debug_dump("record value", media, static_cast<int>(media_len(set)));
    }
  }
  if (rc == RET_SPECIAL)
    IDB_ERROR(s, S_DUPL, 0);
  else
    IDB_ERROR(s, S_BTREE, idb__lower_status());
  return -1;
}

// The work buffers of one linking: the master, the record a walk stands
// on, and the one it came from.
struct LinkBufs {
  vbuf* master;
  vbuf* at;
  vbuf* from;
};

int link_path_locked(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                     uint32_t recno, uint32_t p, LinkBufs& b, int save) {
  const idb_path& path = set->path[p];
  const idb_set* mset = &g->set[path.set];
  const uint32_t rp = static_cast<uint32_t>(path.path);
  const uint32_t mlen = media_len(mset);
  uint8_t* master = static_cast<uint8_t*>(b.master->data);
  const uint8_t* key = media + set->offset[path.search];

  uint32_t mrec = 0;
  bool existed = true;
  uint32_t last = 0;
  if (idb__master_lookup(s, g, mset, key, &mrec) == 0) {
    if (idb__read_linked(s, mset, mrec, master, b.master->size, S_IMAGE) != 0) return -1;
    const uint8_t* head = head_of(mset, master, rp);
    if (le_get32(head) != 0) last = le_get32(head + 8);
  } else if (s->error.code == S_NOREC) {
    if (mset->s.type == 'M') {
      IDB_ERROR_PATH(s, static_cast<int>(p));
      return -1;
    }
    // A new automatic master: its key, and the chain of this record alone.
    existed = false;
    memset(master, 0, mlen);
    memcpy(master, key, g->item[mset->entry[0].item].size);
    uint8_t* head = head_of(mset, master, rp);
    le_put32(head, 1);
    le_put32(head + 4, recno);
    le_put32(head + 8, recno);
    if (idb__put_rec(s, g, mset, master, &mrec) != 0) return -1;
  } else {
    return -1;
  }

  // Walk back from the end to the last record that sorts not after the new
  // one; the walk checks each forward link against where it came from.
  uint8_t* at = static_cast<uint8_t*>(b.at->data);
  uint8_t* from = static_cast<uint8_t*>(b.from->data);
  uint32_t pred = last;
  uint32_t succ = 0;
  while (pred != 0) {
    if (idb__read_linked(s, set, pred, at, b.at->size, S_POINTER) != 0) return -1;
    if (le_get32(link_of(set, at, p)) != succ) {
      IDB_ERROR(s, S_POINTER, 0);
      return -1;
    }
    if (path.sort < 0 || idb__cmp_entry(g, set, path.sort, at, media) <= 0) break;
    if (succ != 0) Node_ReleaseAdvLock(s->adv_locks, set->s.node, succ, save);
    succ = pred;
    std::swap(at, from);
    pred = le_get32(link_of(set, from, p) + 4);
  }

  uint8_t* mine = link_of(set, media, p);
  le_put32(mine, succ);
  le_put32(mine + 4, pred);
  if (pred != 0) {
    le_put32(link_of(set, at, p), recno);
    if (idb__write_rec(s, set, pred, at, b.at->size) != 0) return -1;
  }
  if (succ != 0) {
    // Read again: the buffer may have been reused by the walk.
    if (idb__read_linked(s, set, succ, from, b.from->size, S_POINTER) != 0) return -1;
    uint8_t* link = link_of(set, from, p);
    if (le_get32(link + 4) != pred) {
      IDB_ERROR(s, S_POINTER, 0);
      return -1;
    }
    le_put32(link + 4, recno);
    if (idb__write_rec(s, set, succ, from, b.from->size) != 0) return -1;
  }
  if (existed) {
    uint8_t* head = head_of(mset, master, rp);
    le_put32(head, le_get32(head) + 1);
    if (pred == 0) le_put32(head + 4, recno);
    if (succ == 0) le_put32(head + 8, recno);
    if (idb__write_rec(s, mset, mrec, master, b.master->size) != 0) return -1;
  }
  return 0;
}

// One path under a level of the advisory lock list: what the path took is
// given back when it is done, written or not.
int link_path(idb_session* s, const global* g, const idb_set* set, uint8_t* media, uint32_t recno,
              uint32_t p, LinkBufs& b) {
  const int save = Node_SaveAdvLock(s->adv_locks);
  const int rc = link_path_locked(s, g, set, media, recno, p, b, save);
  Node_RestoreAdvLock(s->adv_locks, save);
  return rc;
}

// Numeric order of two values of type T in machine byte order.
template <class T>
int cmp_as(const uint8_t* a, const uint8_t* b) {
  T x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}

// --- DBPUT --------------------------------------------------------------------------------------

struct Put {
  const global* g;
  const idb_set* set;
  uint8_t* media;
  uint32_t recno;  // the new record, once stored
};

int32_t put_work(idb_session* s, void* arg) {
  Put& w = *static_cast<Put*>(arg);
  const idb_set* set = w.set;
  const int setno = static_cast<int>(set - w.g->set);
  w.recno = 0;
  if (idb__open_change_nodes(s, w.g, setno, set->s.type == 'D') != 0) return -1;
  memset(w.media + set->rec_len, 0, media_len(set) - set->rec_len);
  int rc = idb__put_rec(s, w.g, set, w.media, &w.recno);
  if (rc == 0 && set->s.type == 'D' && set->s.path_cnt > 0)
    rc = idb__link_chain(s, w.g, set, w.media, w.recno, nullptr);
  idb__close_nodes(s);
  return rc;
}

}  // namespace

int idb__cmp_entry(const global* g, const idb_set* set, int32_t first, const uint8_t* a,
                   const uint8_t* b) {
  for (uint32_t e = static_cast<uint32_t>(first); e < set->s.item_cnt; ++e) {
    const idb_item& item = g->item[set->entry[e].item];
    const uint32_t ofs = set->offset[e];
    ZENT_ASSERT(ofs <= set->rec_len && "ofs <= dset->rec_len");
    int c = 0;
    switch (item.type) {
      case 'I':
        ZENT_ASSERT(item.size == sizeof(int16_t) && "item->size == sizeof(int16_t)");
        c = cmp_as<int16_t>(a + ofs, b + ofs);
        break;
      case 'D':
        ZENT_ASSERT(item.size == sizeof(int32_t) && "item->size == sizeof(int32_t)");
        c = cmp_as<int32_t>(a + ofs, b + ofs);
        break;
      case 'S':
        ZENT_ASSERT(item.size == sizeof(float) && "item->size == sizeof(float)");
        c = cmp_as<float>(a + ofs, b + ofs);
        break;
      case 'L':
        ZENT_ASSERT(item.size == sizeof(double) && "item->size == sizeof(double)");
        c = cmp_as<double>(a + ofs, b + ofs);
        break;
      case 'X':
      case 'B': {
        ZENT_ASSERT(ofs + item.size <= set->rec_len && "ofs <= dset->rec_len");
        const int m = memcmp(a + ofs, b + ofs, item.size);
        c = (m > 0) - (m < 0);
        break;
      }
      default:
        ZENT_ASSERT(!"idb__cmp_entry: bad item type");
    }
    if (c != 0) return c;
  }
  return 0;
}

uint8_t* idb__link_of(const idb_set* set, uint8_t* media, uint32_t p) {
  return idb__path_area(set, media) + kDetailEntry * p;
}
uint8_t* idb__head_of(const idb_set* set, uint8_t* media, uint32_t p) {
  return idb__path_area(set, media) + kMasterEntry * p;
}

int idb__open_change_nodes(idb_session* s, const global* g, int setno, bool masters) {
  return masters ? idb__open_set_nodes(s, g, setno) : idb__open_node(s, &g->set[setno], 1);
}

int idb__read_linked(idb_session* s, const idb_set* set, uint32_t recno, uint8_t* buf,
                     uint32_t len, int32_t code) {
  if (idb__read_rec(s, GET_MODE_LOCKED, set, recno, buf, len) == 0) return 0;
  const int32_t c = s->error.code;
  if (c == S_DIRBOF || c == S_DIREOF || c == S_NOREC) {
    if (code == S_POINTER)
      IDB_ERROR(s, S_POINTER, s->error.sub_code);
    else
      IDB_ERROR(s, S_IMAGE, s->error.sub_code);
  }
  return -1;
}

int idb__read_current(idb_session* s, const idb_set* set, uint32_t recno, uint8_t* buf,
                      uint32_t len) {
  if (idb__read_rec(s, GET_MODE_LOCKED, set, recno, buf, len) == 0) return 0;
  const int32_t c = s->error.code;
  if (c == S_DIRBOF || c == S_DIREOF) IDB_ERROR(s, S_NOREC, s->error.sub_code);
  return -1;
}

int idb__insert_key(btree_HANDLE* t, const btree_KEYDEF* kd, vbuf* keybuf, const uint8_t* media,
                    uint32_t recno, uint32_t* key_len) {
  const uint32_t k_sz = idb__key_len(kd);
  ZENT_ASSERT(keybuf->size >= k_sz && "tmp_buf_sz >= k_sz");
  uint8_t* key = static_cast<uint8_t*>(keybuf->data);
  *key_len = idb__build_key(kd, key, keybuf->size, media);
  uint8_t data[4];
  le_put32(data, recno);
  const btree_DBT k{key, *key_len};
  const btree_DBT v{data, sizeof data};
  return bt_retry([&] { return btree_Put(t, &k, &v, R_NOOVERWRITE); });
}

int idb__delete_key(btree_HANDLE* t, const btree_KEYDEF* kd, vbuf* keybuf, const uint8_t* media) {
  const uint32_t k_sz = idb__key_len(kd);
  ZENT_ASSERT(keybuf->size >= k_sz && "tmp_buf_sz >= k_sz");
  uint8_t* key = static_cast<uint8_t*>(keybuf->data);
  const btree_DBT k{key, idb__build_key(kd, key, keybuf->size, media)};
  return bt_retry([&] { return btree_Delete(t, &k, 0); });
}

int idb__open_master_tree(idb_session* s, const idb_set* set, btree_HANDLE** t) {
  if (idb__bt_open(s, set->s.key.node, nullptr, t) != 0) return -1;
  const btree_KEYDEF* kd = btree_GetKeyDef(*t);
  ZENT_ASSERT(kd->k_nparts == 1 && "keydef->k_nparts == 1");
  ZENT_ASSERT(kd->k_part[0].kp_start == 0 && "keydef->k_part[0].kp_start == 0");
  ZENT_ASSERT(kd->k_len == kd->k_part[0].kp_leng && "keydef->k_len == keydef->k_part[0].kp_leng");
  return 0;
}

int32_t idb__change_refusals(idb_session* s, int32_t dbid, const void* set_ref, int set_size,
                             bool mode_ok, const std::span<const uint8_t>* record, db_ctx** out,
                             int* setno_out) {
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return -1;
  }
  if (!mode_ok) {
    IDB_ERROR(s, S_BADMODE, 0);
    return -1;
  }
  const global* g = &ctx->root->g;
  const int setno = set_ref != nullptr ? idb__set_number(g, set_ref, set_size) : -1;
  const int access = setno >= 0 ? chk_set_access(ctx, setno) : 0;
  if (setno < 0 || access == 0) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const idb_set* set = &g->set[setno];
  // Only rec_len bytes are ever read: a shorter record is refused.
  if (record != nullptr && record->size() < set->rec_len) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  if (set->s.type == 'A') return IDB_RC_DEL_AUTOMATIC;
  if (ctx->mode != 1 && ctx->mode != 3) return IDB_RC_READ_MODE;
  if (access == 1) return IDB_RC_READ_ACCESS;
  *out = ctx;
  *setno_out = setno;
  return 0;
}

int32_t idb__rec_lock_code(idb_session* s, db_ctx* ctx, int setno, const uint8_t* rec) {
  const idb_set* set = &ctx->root->g.set[setno];
  const int lc = idb__chk_rec_lock(s, ctx, setno, static_cast<int32_t>(set->s.item_cnt), set->entry,
                                   set->offset, rec);
  if (lc == 0 || lc == -12 || lc == -1) return lc;
  IDB_ERROR_CC(s, lc, 0);
  return -1;
}

int idb__put_rec(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                 uint32_t* recno) {
  (void)g;
  *recno = 0;
  vbuf* keybuf = VBUF_OPEN(IDB_WORK_BUF);
  if (set->s.index_cnt > 0) le_put32(idb__index_word_offset(set, media), FixRec_NextCounter(set->s.node));
  uint32_t n = 0;
  int rc = 0;
  if (FixRec_Put(set->s.node, &n, media, nullptr, idb__tx_node(s)) != 0) {
    IDB_ERROR(s, S_VOLFREC, idb__lower_status());
    rc = -1;
  }
  if (rc == 0)
    rc = idb__each_key_tree(s, set, [&](btree_HANDLE* t, int index) {
      return put_key(s, set, t, index, keybuf, media, n);
    });
  VBuf_Close(keybuf);
  if (rc == 0) *recno = n;
  return rc;
}

int idb__link_chain(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                    uint32_t recno, const int32_t* path_mask) {
  LinkBufs b{VBUF_OPEN(IDB_WORK_BUF), VBUF_OPEN(IDB_WORK_BUF), VBUF_OPEN(IDB_WORK_BUF)};
  int rc = 0;
  for (uint32_t p = 0; rc == 0 && p < set->s.path_cnt; ++p) {
    if (path_mask != nullptr && path_mask[p] == 0) continue;
    rc = link_path(s, g, set, media, recno, p, b);
  }
  if (rc == 0) rc = idb__write_rec(s, set, recno, media, media_len(set));
  VBuf_Close(b.master);
  VBuf_Close(b.at);
  VBuf_Close(b.from);
  return rc;
}

int idb_put(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
            const void* /*list*/, int /*list_size*/, std::span<const uint8_t> record,
            int32_t* status) {
  debug_log('I', 3, "idb_put(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_PUT;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  int setno = -1;
  const int32_t refused =
      idb__change_refusals(s, dbid, set_ref, set_size, mode == 1, &record, &ctx, &setno);
  if (refused != 0) return idb__fail_status(s, refused, status);
  const global* g = &ctx->root->g;
  const idb_set* set = &g->set[setno];
  const int32_t lc = idb__rec_lock_code(s, ctx, setno, record.data());
  if (lc != 0) return idb__fail_status(s, lc, status);

  vbuf* work = VBUF_OPEN(IDB_WORK_BUF);
  ZENT_ASSERT(work->size >= media_len(set) && "sz >= media_len(set)");
  Put w{g, set, static_cast<uint8_t*>(work->data), 0};
  memcpy(w.media, record.data(), set->rec_len);
  const int32_t rc = idb__run_cmd(s, "DBPUT", put_work, &w);
  if (rc != 0) {
    VBuf_Close(work);
    return idb__fail_status(s, rc, status);
  }
  set_ctx* c = &ctx->sets[setno];
  c->recno = static_cast<int32_t>(w.recno);
  idb__cursor_links(c, set, w.media);
  VBuf_Close(work);
  idb__record_status(s, set, c, status);
  return 0;
}
