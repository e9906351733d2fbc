// idb_update.cpp - DBUPDATE and the replacement of a record's keys (see
// idb_update.h).
//
// State: none of its own; the cursor is the open database's `set_ctx`, the
// node list, advisory locks and error record are the session's. The work
// runs again from the stored record after every wait for a blocking
// transaction, so it rebuilds the new media record each round.
#include "access/idb_update.h"

#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_delete.h"
#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_put.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"

namespace {

// Deletes the old key and inserts the new one; either missing or present
// where it should not be is S_BTREE with sub-code 0.
int replace_key(idb_session* s, btree_HANDLE* t, vbuf* keybuf, const uint8_t* old_media,
                const uint8_t* new_media, uint32_t recno) {
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  int rc = idb__delete_key(t, kd, keybuf, old_media);
  uint32_t n = 0;
  if (rc == RET_SUCCESS) rc = idb__insert_key(t, kd, keybuf, new_media, recno, &n);
  if (rc == RET_SUCCESS) return 0;
  IDB_ERROR(s, S_BTREE, rc == RET_SPECIAL ? 0 : idb__lower_status());
  return -1;
}

// Whether the key parts but the last (the index word) differ.
bool index_parts_differ(const btree_KEYDEF* kd, const uint8_t* a, const uint8_t* b) {
  for (uint32_t i = 0; i + 1 < kd->k_nparts; ++i) {
    const uint32_t at = kd->k_part[i].kp_start, n = kd->k_part[i].kp_leng;
    if (memcmp(a + at, b + at, n) != 0) return true;
  }
  return false;
}

struct Update {
  const global* g;
  db_ctx* ctx;
  int setno;
  int32_t mode;
  uint32_t recno;
  const uint8_t* rec;  // the new user record
  uint8_t* old_media;
  uint8_t* new_media;
};

// What the new record changes. Detail: moved[p] for each path whose search
// value, or on a sorted path whose order, changes; keep[p] when the master
// stays the same. Master: whether the key changes, and whether some chain
// of the master is not empty.
struct Changes {
  bool any = false;
  bool key = false;
  bool busy = false;
  int32_t moved[MAX_PATH_CNT] = {};
  int32_t keep[MAX_PATH_CNT] = {};
};

Changes find_changes(const global* g, const idb_set* set, const uint8_t* old_media,
                     const uint8_t* new_media) {
  Changes ch;
  if (set->s.type == 'D') {
    for (uint32_t p = 0; p < set->s.path_cnt; ++p) {
      const idb_path& path = set->path[p];
      const uint32_t ofs = set->offset[path.search];
      if (memcmp(old_media + ofs, new_media + ofs, g->item[set->entry[path.search].item].size) != 0) {
        ch.moved[p] = 1;
      } else if (path.sort >= 0 && idb__cmp_entry(g, set, path.sort, old_media, new_media) != 0) {
        ch.moved[p] = 1;
        ch.keep[p] = 1;
      }
      if (ch.moved[p] != 0) ch.any = true;
    }
    return ch;
  }
  ch.key = memcmp(old_media + set->offset[0], new_media + set->offset[0],
                  g->item[set->entry[0].item].size) != 0;
  for (uint32_t p = 0; p < set->s.path_cnt; ++p)
    if (le_get32(idb__head_of(set, const_cast<uint8_t*>(old_media), p)) != 0) ch.busy = true;
  ch.any = ch.key;
  return ch;
}

int32_t update_body(idb_session* s, Update& w) {
  const idb_set* set = &w.g->set[w.setno];
  const uint32_t len = media_len(set);
  if (idb__read_current(s, set, w.recno, w.old_media, IDB_WORK_BUF) != 0) return -1;
  // Another session's lock may cover the record as it is or as it would
  // become: either way the change is theirs to allow.
  int32_t lc = idb__rec_lock_code(s, w.ctx, w.setno, w.old_media);
  if (lc == 0) lc = idb__rec_lock_code(s, w.ctx, w.setno, w.rec);
  if (lc != 0) return lc;
  memcpy(w.new_media, w.old_media, len);
  memcpy(w.new_media, w.rec, set->rec_len);

  const Changes ch = find_changes(w.g, set, w.old_media, w.new_media);
  if ((ch.key && ch.busy) || (ch.any && w.mode == 1)) return IDB_RC_NO_CHANGE;
  if (ch.key || set->s.index_cnt > 0) {
    ZENT_ASSERT((w.mode == 2 || !ch.key) && "mode == 2 || !cc_mod");
    if (update_index(s, set, w.recno, w.old_media, w.new_media) != 0) return -1;
  }
  if (set->s.type != 'D' || !ch.any) return idb__write_rec(s, set, w.recno, w.new_media, len);
  ZENT_ASSERT(w.mode == 2 && set->s.type == 'D' && "mode == 2 && set->s.type == 'D'");
  if (idb__unlink_chain(s, set, w.old_media, w.recno, ch.moved) != 0) return -1;
  if (idb__del_related(s, w.g, set, w.old_media, w.recno, ch.moved, ch.keep) != 0) return -1;
  return idb__link_chain(s, w.g, set, w.new_media, w.recno, ch.moved);
}

int32_t update_work(idb_session* s, void* arg) {
  Update& w = *static_cast<Update*>(arg);
  const idb_set* set = &w.g->set[w.setno];
  if (idb__open_change_nodes(s, w.g, w.setno, set->s.type == 'D' && w.mode == 2) != 0) return -1;
  const int32_t rc = update_body(s, w);
  idb__close_nodes(s);
  return rc;
}

}  // namespace

int update_index(idb_session* s, const idb_set* set, uint32_t recno, const uint8_t* old_media,
                 const uint8_t* new_media) {
  vbuf* keybuf = VBUF_OPEN(IDB_WORK_BUF);
  const int rc = idb__each_key_tree(s, set, [&](btree_HANDLE* t, int index) {
    const btree_KEYDEF* kd = btree_GetKeyDef(t);
    bool differ = false;
    if (index < 0) {
      ZENT_ASSERT(idb__key_len(kd) == kd->k_len && "k_sz == keydef->k_len");
      differ = memcmp(old_media, new_media, kd->k_len) != 0;
    } else {
      differ = index_parts_differ(kd, old_media, new_media);
    }
    return differ ? replace_key(s, t, keybuf, old_media, new_media, recno) : 0;
  });
  VBuf_Close(keybuf);
  return rc;
}

int idb_update(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
               const void* /*list*/, int /*list_size*/, std::span<const uint8_t> record,
               int32_t* status) {
  debug_log('I', 3, "idb_update(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_UPDATE;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  int setno = -1;
  const int32_t refused = idb__change_refusals(s, dbid, set_ref, set_size, mode == 1 || mode == 2,
                                               &record, &ctx, &setno);
  if (refused != 0) return idb__fail_status(s, refused, status);
  const global* g = &ctx->root->g;
  const idb_set* set = &g->set[setno];
  set_ctx* c = &ctx->sets[setno];
  vbuf* old_buf = VBUF_OPEN(IDB_WORK_BUF);
  vbuf* new_buf = VBUF_OPEN(IDB_WORK_BUF);
  ZENT_ASSERT(old_buf->size >= media_len(set) && "sz >= media_len(set)");
  Update w{g,
           ctx,
           setno,
           mode,
           static_cast<uint32_t>(c->recno),
           record.data(),
           static_cast<uint8_t*>(old_buf->data),
           static_cast<uint8_t*>(new_buf->data)};
  const int32_t rc = idb__run_cmd(s, "DBUPDATE", update_work, &w);
  if (rc == 0) idb__cursor_links(c, set, w.new_media);
  VBuf_Close(old_buf);
  VBuf_Close(new_buf);
  if (rc != 0) return idb__fail_status(s, rc, status);
  idb__record_status(s, set, c, status);
  return 0;
}
