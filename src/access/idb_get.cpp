// idb_get.cpp - DBGET: reads by record number, serial, chained, calculated
// and index reads, and the cursor they move (see idb_get.h).
//
// State: none of its own; the cursor is the open database's `set_ctx`.
// The media record goes through one work buffer of the buffer cache's
// free list; keys stay in the B-tree handle's buffers until copied into
// the cursor. A node-lock retry yields (idb__bt_seq); a step whose cursor
// another session's change invalidated is sought again from its key.
#include "access/idb_get.h"

#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_re.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"

namespace {

struct Get {
  idb_session* s;
  const global* g;
  const idb_set* set;
  set_ctx* c;
  uint8_t* work;  // the media record
  uint32_t work_len;
};

// Reads recno into the work buffer through the set's record file; it
// becomes the current record. 0 or -1.
int read_recno(Get& r, uint32_t recno) {
  if (idb__held_node(r.s, r.c, r.set) == nullptr) return -1;
  const int rc = idb__read_rec(r.s, 0, r.set, recno, r.work, r.work_len);
  if (rc == 0) r.c->recno = static_cast<int32_t>(recno);
  return rc;
}

// Modes 2 and 3: the next used record number in the direction.
int read_serial(Get& r, bool forward) {
  Node* node = idb__held_node(r.s, r.c, r.set);
  if (node == nullptr) return -1;
  const uint32_t cur = static_cast<uint32_t>(r.c->recno);
  uint32_t at = forward ? cur + 1 : (cur != 0 ? cur - 1 : FixRec_MaxRecno(node));
  int out = 0;
  for (;;) {
    const int rc = FixRec_Get(node, at, r.work, nullptr, idb__tx_node(r.s));
    if (rc == 0) break;
    const int state = rc == 1 ? idb__rec_state() : 0;
    if (state == FixRec_R_DELETED) {
      at = forward ? at + 1 : at - 1;
      continue;
    }
    if ((forward && state == FixRec_R_END) || (!forward && state == FixRec_R_RECNO_ZERO))
      IDB_ERROR(r.s, S_EOF, state);
    else
      IDB_ERROR(r.s, S_VOLFREC, idb__lower_status());
    out = -1;
    break;
  }
  if (out == 0) r.c->recno = static_cast<int32_t>(at);
  return out;
}

bool same_key(const btree_DBT& key, const uint8_t* k, uint32_t n) {
  return key.size == n && memcmp(key.data, k, n) == 0;
}

// The first key of a read from index position mode (1, 2, 3 or 4).
int position(btree_HANDLE* t, const set_ctx* c, int32_t mode, bool forward, btree_DBT* key,
             btree_DBT* data) {
  if (mode == IDB_IDX_ON_FWD || mode == IDB_IDX_ON_BWD)
    return idb__step_from(t, c->key, static_cast<uint32_t>(c->key_len), forward, key, data);
  if (c->arg_len == 0) {
    if (forward && mode == IDB_IDX_BEFORE) return idb__bt_seq(t, key, data, BT_SEQ_FIRST);
    if (!forward && mode == IDB_IDX_AFTER) return idb__bt_seq(t, key, data, BT_SEQ_LAST);
    return RET_SPECIAL;
  }
  *key = btree_DBT{c->key, static_cast<uint32_t>(c->arg_len)};
  int r = idb__bt_seq(t, key, data, mode == IDB_IDX_BEFORE ? BT_SEQ_CURSOR : BT_SEQ_PREFIX);
  if (!forward) {
    if (r == RET_SUCCESS)
      r = idb__bt_seq(t, key, data, BT_SEQ_PREV);
    else if (r == RET_SPECIAL)
      r = idb__bt_seq(t, key, data, BT_SEQ_LAST);
  }
  return r;
}

bool pattern_match(const set_ctx* c, const btree_DBT& key) {
  const uint32_t n = key.size < static_cast<uint32_t>(c->pat_span) ? key.size
                                                                    : static_cast<uint32_t>(c->pat_span);
  return idb__re_match(static_cast<const uint8_t*>(key.data), n, c->pattern, false) != nullptr;
}

// Reads through the positioned index (read_indx): forward or backward,
// bound to the chain of the argument (modes 5 and 6) or not (15, 16).
int read_indx(Get& r, bool forward, bool bound) {
  set_ctx* c = r.c;
  if (c->index_mode == IDB_IDX_NONE || c->key == nullptr) {
    IDB_ERROR(r.s, S_ENDCHAIN, 0);
    return -1;
  }
  void* coll = nullptr;
  if (c->index == 1)
    ZENT_ASSERT((r.set->s.type == 'M' || r.set->s.type == 'A') &&
                "set->s.type == 'M' || set->s.type == 'A'");
  else
    ZENT_ASSERT(c->index - 2 >= 0 && c->index - 2 < static_cast<int32_t>(r.set->s.index_cnt) &&
                "idx >= 0 && idx < set->s.index_cnt");
  Node* node = idb__index_node(r.set, c->index, &coll);
  btree_HANDLE* t = nullptr;
  if (idb__bt_open(r.s, node, coll, &t) != 0) return -1;
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  ZENT_ASSERT(kd->k_nparts == static_cast<uint32_t>(c->seg_cnt) &&
              "keydef->k_nparts == set_ctx->idx_desc.seg_cnt");
  ZENT_ASSERT(kd->k_len == static_cast<uint32_t>(c->key_len) &&
              "keydef->k_len == set_ctx->idx_desc.key_length");
  int32_t mode = c->index_mode;
  if (mode == IDB_IDX_RANGE) mode = forward ? IDB_IDX_BEFORE : IDB_IDX_AFTER;
  ZENT_ASSERT(mode >= IDB_IDX_BEFORE && mode <= IDB_IDX_ON_BWD && "read_indx(): bad set_ctx->idx_mode");
  btree_DBT key{};
  btree_DBT data{};
  int rc = RET_CURSOR;
  for (int tries = 0; rc == RET_CURSOR && tries < IDB_CURSOR_TRIES; ++tries)
    rc = position(t, c, mode, forward, &key, &data);
  vbuf* scratch = nullptr;
  while (bound && rc == RET_SUCCESS) {
    const idb_chain_pos at = idb__chain_key(c, kd, coll, &key);
    const bool skip = at == IDB_CHAIN_OTHER ||
                      (at == IDB_CHAIN_IN && c->pattern != nullptr && !pattern_match(c, key));
    if (!skip) {
      if (at != IDB_CHAIN_IN) rc = RET_SPECIAL;
      break;
    }
    rc = idb__bt_seq(t, &key, &data, forward ? BT_SEQ_NEXT : BT_SEQ_PREV);
    if (rc == RET_CURSOR) {
      // The handle still holds the key stepped from: seek it again.
      if (scratch == nullptr) scratch = VBUF_OPEN(key.size);
      if (scratch->size < key.size) open_vbuf(scratch, key.size);
      memcpy(scratch->data, key.data, key.size);
      rc = idb__step_from(t, static_cast<const uint8_t*>(scratch->data), key.size, forward, &key, &data);
    }
  }
  VBuf_Close(scratch);
  int out = -1;
  if (rc == RET_SUCCESS) {
    ZENT_ASSERT(data.size == sizeof(uint32_t) && "data.size == sizeof(recno_t)");
    const uint32_t recno = le_get32(static_cast<const uint8_t*>(data.data));
    if (read_recno(r, recno) != 0) {
      IDB_ERROR(r.s, S_VOLFREC, r.s->error.sub_code);
    } else {
      const uint32_t n = key.size < static_cast<uint32_t>(c->key_len) ? key.size
                                                                        : static_cast<uint32_t>(c->key_len);
      memcpy(c->key, key.data, n);
      c->index_mode = forward ? IDB_IDX_ON_FWD : IDB_IDX_ON_BWD;
      out = 0;
    }
  } else if (rc == RET_SPECIAL) {
    if (bound)
      IDB_ERROR(r.s, S_ENDCHAIN, 0);
    else
      IDB_ERROR(r.s, S_EOF, 0);
  } else {
    IDB_ERROR(r.s, S_BTREE, idb__lower_status());
  }
  idb__bt_close(r.s, t);
  return out;
}

int read_chained(Get& r, bool forward) {
  if (r.c->index_mode != IDB_IDX_NONE) return read_indx(r, forward, true);
  if (r.set->s.type != 'D') {
    IDB_ERROR(r.s, S_ENDCHAIN, 0);
    return -1;
  }
  if (r.set->s.path_cnt == 0) {
    IDB_ERROR(r.s, S_BADMODE, 0);
    return -1;
  }
  const uint32_t link = static_cast<uint32_t>(forward ? r.c->fwd : r.c->bwd);
  if (link == 0) {
    IDB_ERROR(r.s, S_ENDCHAIN, 0);
    return -1;
  }
  if (read_recno(r, link) == 0) return 0;
  if (r.s->error.code == S_NOREC || r.s->error.code == S_DIREOF) IDB_ERROR(r.s, S_BROKEN, 0);
  return -1;
}

int read_directed(Get& r, std::span<const uint8_t> arg) {
  int32_t recno = 0;
  if (arg.size() < sizeof recno) {
    IDB_ERROR(r.s, S_BAD, 0);
    return -1;
  }
  memcpy(&recno, arg.data(), sizeof recno);
  if (recno == 0) {
    IDB_ERROR(r.s, S_DIRBOF, 0);
    return -1;
  }
  if (read_recno(r, static_cast<uint32_t>(recno)) == 0) return 0;
  if (r.s->error.code == S_NOREC) {
    // A serial read continues after the unused number.
    r.c->recno = recno;
    r.c->fwd = 0;
    r.c->bwd = 0;
  }
  return -1;
}

int read_calculated(Get& r, std::span<const uint8_t> arg) {
  if (r.set->s.type == 'D') {
    IDB_ERROR(r.s, S_BADMODE, 0);
    return -1;
  }
  if (arg.size() < r.g->item[r.set->entry[0].item].size) {
    IDB_ERROR(r.s, S_BAD, 0);
    return -1;
  }
  if (idb__open_node(r.s, r.set, 1) != 0) return -1;
  uint32_t recno = 0;
  int rc = idb__master_lookup(r.s, r.g, r.set, arg.data(), &recno);
  if (rc == 0) rc = idb__read_rec(r.s, 0, r.set, recno, r.work, r.work_len);
  idb__close_nodes(r.s);
  if (rc == 0) r.c->recno = static_cast<int32_t>(recno);
  return rc;
}

int dispatch(Get& r, int32_t mode, std::span<const uint8_t> arg) {
  switch (mode) {
    case 1:
      if (read_recno(r, static_cast<uint32_t>(r.c->recno)) == 0) return 0;
      if (r.s->error.code == S_DIREOF) IDB_ERROR(r.s, S_NOREC, r.s->error.sub_code);
      return -1;
    case 2: return read_serial(r, true);
    case 3: return read_serial(r, false);
    case 4: return read_directed(r, arg);
    case 5: return read_chained(r, true);
    case 6: return read_chained(r, false);
    case 7: return read_calculated(r, arg);
    case 15: return read_indx(r, true, false);
    case 16: return read_indx(r, false, false);
    default:
      IDB_ERROR(r.s, S_BADMODE, 0);
      return -1;
  }
}

}  // namespace

Node* idb__index_node(const idb_set* set, int32_t index, void** coll) {
  if (index == 1) {
    *coll = nullptr;
    return set->s.key.node;
  }
  const idb_index& x = set->index[index - 2];
  *coll = x.coll;
  return x.node;
}

int idb__step_from(btree_HANDLE* t, const uint8_t* k, uint32_t n, bool forward, btree_DBT* key,
                   btree_DBT* data) {
  int r = RET_CURSOR;
  for (int tries = 0; r == RET_CURSOR && tries < IDB_CURSOR_TRIES; ++tries) {
    btree_DBT at{const_cast<uint8_t*>(k), n};
    r = idb__bt_seq(t, &at, data, BT_SEQ_CURSOR);
    *key = at;
    if (forward) {
      if (r == RET_SUCCESS && same_key(*key, k, n)) r = idb__bt_seq(t, key, data, BT_SEQ_NEXT);
    } else if (r == RET_SUCCESS) {
      r = idb__bt_seq(t, key, data, BT_SEQ_PREV);
    } else if (r == RET_SPECIAL) {
      // Nothing at or after k: the key before it is the last one.
      r = idb__bt_seq(t, key, data, BT_SEQ_LAST);
    }
  }
  return r;
}

idb_chain_pos idb__chain_key(const set_ctx* c, const btree_KEYDEF* keydef, void* coll,
                             const btree_DBT* key) {
  const uint32_t n = static_cast<uint32_t>(c->arg_len);
  if (n == 0) return IDB_CHAIN_IN;
  const btree_DBT head{key->data, key->size < n ? key->size : n};
  const btree_DBT arg{c->key, n};
  const int cmp = idb__bt_cmp(keydef, &head, &arg, coll);
  if (cmp < 0) return IDB_CHAIN_BEFORE;
  if (cmp > 0) return IDB_CHAIN_AFTER;
  if (head.size == n && memcmp(head.data, c->key, n) == 0) return IDB_CHAIN_IN;
  // Under a collating sequence a key may sort with the argument and still
  // not begin with its bytes: it lies inside the range. A number that
  // compares equal with other bytes does not.
  const auto* a = static_cast<const uint8_t*>(head.data);
  uint32_t at = 0;
  while (at < head.size && a[at] == c->key[at]) ++at;
  uint32_t end = 0;
  for (uint32_t p = 0; p < keydef->k_nparts; ++p) {
    end += keydef->k_part[p].kp_leng;
    if (at < end) return keydef->k_part[p].kp_type == IDB_KT_CHAR ? IDB_CHAIN_OTHER : IDB_CHAIN_END;
  }
  return IDB_CHAIN_OTHER;
}

int idb_get(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
            const void* /*list*/, int /*list_size*/, std::span<uint8_t> buffer,
            std::span<const uint8_t> arg, int32_t* status) {
  debug_log('I', 3, "idb_get(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_GET;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  const int setno = idb__call_set(s, dbid, set_ref, set_size, &ctx);
  if (setno < 0) return idb__fail_status(s, -1, status);
  const global* g = &ctx->root->g;
  const idb_set* set = &g->set[setno];
  if (buffer.size() < set->rec_len) {
    IDB_ERROR(s, S_BAD, 0);
    return idb__fail_status(s, -1, status);
  }
  vbuf* work = VBUF_OPEN(IDB_WORK_BUF);
  ZENT_ASSERT(work->size >= media_len(set) && "sz >= media_len(set)");
  Get r{s, g, set, &ctx->sets[setno], static_cast<uint8_t*>(work->data), work->size};
  if (dispatch(r, mode, arg) != 0) {
    VBuf_Close(work);
    return idb__fail_status(s, -1, status);
  }
  set_ctx* c = r.c;
  memcpy(buffer.data(), r.work, set->rec_len);
  idb__cursor_links(c, set, r.work);
  VBuf_Close(work);
  idb__record_status(s, set, c, status);
  return 0;
}
