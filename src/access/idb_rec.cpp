// idb_rec.cpp - record reads and rewrites by number, master lookups and
// the B-tree steps that wait out a node lock (see idb_rec.h).
//
// State: none of its own; the record file, the B-tree and the session's
// transaction node and advisory locks are the lower layers'.
#include "access/idb_rec.h"

#include "access/idb_cmd.h"
#include "access/idb_lookup.h"
#include "access/idb_status.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"

int idb__rec_state() {
  const ErrorStatus st = get_error();
  if (error_module(st) != ERR_MOD_VOL || error_severity(st) != ERR_SEV_R) return 0;
  const int code = error_code(st);
  return code == FixRec_R_DELETED || code == FixRec_R_RECNO_ZERO || code == FixRec_R_END ? code : 0;
}

int idb__read_rec(idb_session* s, uint32_t flags, const idb_set* set, uint32_t recno,
                  uint8_t* buffer, uint32_t len) {
  ZENT_ASSERT((flags & ~GET_MODE_LOCKED) == 0 && "(flags & ~GET_MODE_LOCKED) == 0");
  ZENT_ASSERT(len >= media_len(set) && "sz >= media_len(set)");
  Node* node = set->s.node;
  const int rc = (flags & GET_MODE_LOCKED)
                     ? FixRec_GetLock(node, recno, buffer, nullptr, idb__tx_node(s), s->adv_locks)
                     : FixRec_Get(node, recno, buffer, nullptr, idb__tx_node(s));
  if (rc == 0) return 0;
  const int state = rc == 1 ? idb__rec_state() : 0;
  switch (state) {
    case FixRec_R_RECNO_ZERO: IDB_ERROR(s, S_DIRBOF, state); break;
    case FixRec_R_END: IDB_ERROR(s, S_DIREOF, state); break;
    case FixRec_R_DELETED: IDB_ERROR(s, S_NOREC, state); break;
    default: IDB_ERROR(s, S_VOLFREC, idb__lower_status()); break;
  }
  return -1;
}

int idb__write_rec(idb_session* s, const idb_set* set, uint32_t recno, const uint8_t* buffer,
                   uint32_t len) {
  ZENT_ASSERT(len >= media_len(set) && "sz >= media_len(set)");
  const int rc = FixRec_Update(set->s.node, recno, buffer, nullptr, idb__tx_node(s));
  if (rc == 0) return 0;
  const int state = rc == 1 ? idb__rec_state() : 0;
  if (state != 0)
    IDB_ERROR(s, S_NOREC, state);
  else
    IDB_ERROR(s, S_VOLFREC, idb__lower_status());
  return -1;
}

int idb__bt_seq(btree_HANDLE* t, btree_DBT* key, btree_DBT* data, uint32_t op) {
  int rc = btree_Seq(t, key, data, op);
  for (int tries = 0; rc == RET_LOCKED && tries < IDB_BT_LOCK_TRIES; ++tries) {
    // The holder of the node lock must run before it can give it back.
    thread_yield();
    rc = btree_Seq(t, key, data, op);
  }
  return rc;
}

int idb__master_lookup(idb_session* s, const global* g, const idb_set* set, const void* key,
                       uint32_t* recno) {
  ZENT_ASSERT((set->s.type == 'M' || set->s.type == 'A') && "set->s.type == 'M' || set->s.type == 'A'");
  btree_HANDLE* t = nullptr;
  if (idb__bt_open(s, set->s.key.node, nullptr, &t) != 0) return -1;
  btree_DBT k{const_cast<void*>(key), g->item[set->entry[0].item].size};
  btree_DBT data{};
  int rc = btree_Get(t, &k, &data, 0);
  for (int tries = 0; rc == RET_LOCKED && tries < IDB_BT_LOCK_TRIES; ++tries) {
    thread_yield();
    rc = btree_Get(t, &k, &data, 0);
  }
  int out = -1;
  if (rc == RET_SUCCESS) {
    ZENT_ASSERT(data.size == sizeof(uint32_t) && "data.size == sizeof(recno_t)");
    *recno = le_get32(static_cast<const uint8_t*>(data.data));
    out = 0;
  } else if (rc == RET_SPECIAL) {
    IDB_ERROR(s, S_NOREC, 0);
  } else {
    IDB_ERROR(s, S_BTREE, idb__lower_status());
  }
  idb__bt_close(s, t);
  return out;
}

void idb__cursor_links(set_ctx* c, const idb_set* set, uint8_t* media) {
  if (c->index_mode != IDB_IDX_NONE || set->s.type != 'D' ||
      static_cast<uint32_t>(c->path) >= set->s.path_cnt)
    return;
  const uint8_t* link = idb__path_area(set, media) + 8 * c->path;
  c->fwd = static_cast<int32_t>(le_get32(link));
  c->bwd = static_cast<int32_t>(le_get32(link + 4));
}

void idb__record_status(idb_session* s, const idb_set* set, const set_ctx* c, int32_t* status) {
  s->error.code = 0;
  s->error.sub_code = 0;
  status[0] = 0;
  status[1] = static_cast<int32_t>(set->rec_len);
  status[2] = 0;
  status[3] = c->recno;
  status[4] = 0;
  status[5] = set->s.type == 'D' ? 0 : 1;
  status[6] = 0;
  status[7] = c->bwd;
  status[8] = 0;
  status[9] = c->fwd;
}
