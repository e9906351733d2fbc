// idb_delete.cpp - DBDELETE, unlinking a detail record from its chains,
// the masters' bookkeeping and removing a record with its keys (see
// idb_delete.h).
//
// State: none of its own; the cursor is the open database's `set_ctx`, the
// node list, advisory locks and error record are the session's.
#include "access/idb_delete.h"

#include <cerrno>
#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_lookup.h"
#include "access/idb_put.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"

namespace {

bool selected(const int32_t* mask, uint32_t p) { return mask == nullptr || mask[p] != 0; }

// Neighbour n of the record on path p must link back to it (at byte ofs of
// its link: 0 forward, 4 backward); that link becomes to.
int relink(idb_session* s, const idb_set* set, uint32_t n, uint32_t p, uint32_t ofs,
           uint32_t recno, uint32_t to, vbuf* buf) {
  uint8_t* media = static_cast<uint8_t*>(buf->data);
  if (idb__read_linked(s, set, n, media, buf->size, S_POINTER) != 0) return -1;
  uint8_t* link = idb__link_of(set, media, p) + ofs;
  if (le_get32(link) != recno) {
    IDB_ERROR(s, S_POINTER, 0);
    return -1;
  }
  le_put32(link, to);
  return idb__write_rec(s, set, n, media, buf->size);
}

int unlink_path(idb_session* s, const idb_set* set, uint8_t* media, uint32_t recno, uint32_t p,
                vbuf* buf) {
  const uint8_t* mine = idb__link_of(set, media, p);
  const uint32_t f = le_get32(mine), b = le_get32(mine + 4);
  if (b != 0 && relink(s, set, b, p, 0, recno, f, buf) != 0) return -1;
  if (f != 0 && relink(s, set, f, p, 4, recno, b, buf) != 0) return -1;
  return 0;
}

int related_path(idb_session* s, const global* g, const idb_set* set, const uint8_t* media,
                 uint32_t recno, uint32_t p, bool keep, vbuf* buf) {
  const idb_path& path = set->path[p];
  const idb_set* mset = &g->set[path.set];
  ZENT_ASSERT(buf->size >= media_len(mset) && "tmp_buf_sz >= media_len(mset)");
  uint8_t* master = static_cast<uint8_t*>(buf->data);
  uint32_t mrec = 0;
  if (idb__master_lookup(s, g, mset, media + set->offset[path.search], &mrec) != 0) {
    if (s->error.code == S_NOREC) IDB_ERROR(s, S_NOMASTER, 0);
    return -1;
  }
  if (idb__read_linked(s, mset, mrec, master, buf->size, S_IMAGE) != 0) return -1;
  uint8_t* head = idb__head_of(mset, master, static_cast<uint32_t>(path.path));
  const uint32_t count = le_get32(head);
  if (count == 0) {
    IDB_ERROR(s, S_POINTER, 0);
    return -1;
  }
  le_put32(head, count - 1);
  bool empty = true;
  for (uint32_t mp = 0; mp < mset->s.path_cnt; ++mp)
    if (le_get32(idb__head_of(mset, master, mp)) != 0) empty = false;
  if (empty && mset->s.type == 'A' && !keep) return idb__del_rec(s, mset, master, mrec);
  const uint8_t* mine = idb__link_of(set, const_cast<uint8_t*>(media), p);
  if (le_get32(head + 4) == recno) le_put32(head + 4, le_get32(mine));
  if (le_get32(head + 8) == recno) le_put32(head + 8, le_get32(mine + 4));
  if (count == 1 && (le_get32(head + 4) != 0 || le_get32(head + 8) != 0)) {
    IDB_ERROR(s, S_POINTER, 0);
    return -1;
  }
  return idb__write_rec(s, mset, mrec, master, buf->size);
}

// A key removal's outcome as the access layer reports it.
int key_gone(idb_session* s, int rc) {
  if (rc == RET_SUCCESS) return 0;
  if (rc == RET_SPECIAL)
    IDB_ERROR(s, S_BTREE, 0);
  else
    IDB_ERROR(s, S_BTREE, errno);
  return -1;
}

struct Delete {
  const global* g;
  db_ctx* ctx;
  int setno;
  uint8_t* media;  // the record as read
  uint32_t recno;
};

int32_t delete_body(idb_session* s, Delete& w) {
  const idb_set* set = &w.g->set[w.setno];
  if (idb__read_current(s, set, w.recno, w.media, IDB_WORK_BUF) != 0) return -1;
  const int32_t lc = idb__rec_lock_code(s, w.ctx, w.setno, w.media);
  if (lc != 0) return lc;
  if (set->s.type != 'D') {
    for (uint32_t p = 0; p < set->s.path_cnt; ++p)
      if (le_get32(idb__head_of(set, w.media, p)) != 0) {
        IDB_ERROR(s, S_CANTDEL, 0);
        return -1;
      }
  } else if (set->s.path_cnt > 0) {
    if (idb__unlink_chain(s, set, w.media, w.recno, nullptr) != 0) return -1;
    if (idb__del_related(s, w.g, set, w.media, w.recno, nullptr) != 0) return -1;
  }
  return idb__del_rec(s, set, w.media, w.recno);
}

int32_t delete_work(idb_session* s, void* arg) {
  Delete& w = *static_cast<Delete*>(arg);
  const idb_set* set = &w.g->set[w.setno];
  if (idb__open_change_nodes(s, w.g, w.setno, set->s.type == 'D') != 0) return -1;
  const int32_t rc = delete_body(s, w);
  idb__close_nodes(s);
  return rc;
}

}  // namespace

int idb__unlink_chain(idb_session* s, const idb_set* set, uint8_t* media, uint32_t recno,
                      const int32_t* path_mask) {
  vbuf* buf = VBUF_OPEN(IDB_WORK_BUF);
  int rc = 0;
  for (uint32_t p = 0; rc == 0 && p < set->s.path_cnt; ++p) {
    if (!selected(path_mask, p)) continue;
    const int save = Node_SaveAdvLock(s->adv_locks);
    rc = unlink_path(s, set, media, recno, p, buf);
    Node_RestoreAdvLock(s->adv_locks, save);
  }
  VBuf_Close(buf);
  return rc;
}

int idb__del_related(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                     uint32_t recno, const int32_t* path_mask, const int32_t* keep_mask) {
  vbuf* buf = VBUF_OPEN(IDB_WORK_BUF);
  int rc = 0;
  for (uint32_t p = 0; rc == 0 && p < set->s.path_cnt; ++p)
    if (selected(path_mask, p))
      rc = related_path(s, g, set, media, recno, p, keep_mask != nullptr && keep_mask[p] != 0, buf);
  VBuf_Close(buf);
  return rc;
}

int idb__del_rec(idb_session* s, const idb_set* set, const uint8_t* media, uint32_t recno) {
  if (FixRec_Delete(set->s.node, recno, nullptr, idb__tx_node(s)) != 0) {
    IDB_ERROR(s, S_VOLFREC, idb__lower_status());
    return -1;
  }
  vbuf* keybuf = VBUF_OPEN(IDB_WORK_BUF);
  const int rc = idb__each_key_tree(s, set, [&](btree_HANDLE* t, int) {
    return key_gone(s, idb__delete_key(t, btree_GetKeyDef(t), keybuf, media));
  });
  VBuf_Close(keybuf);
  return rc;
}

int idb_delete(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
               int32_t* status) {
  status[5] = IDB_DELETE;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  int setno = -1;
  const int32_t refused =
      idb__change_refusals(s, dbid, set_ref, set_size, mode == 1, nullptr, &ctx, &setno);
  if (refused != 0) return idb__fail_status(s, refused, status);
  const global* g = &ctx->root->g;
  const idb_set* set = &g->set[setno];
  set_ctx* c = &ctx->sets[setno];
  vbuf* work = VBUF_OPEN(IDB_WORK_BUF);
  ZENT_ASSERT(work->size >= media_len(set) && "sz >= media_len(set)");
  Delete w{g, ctx, setno, static_cast<uint8_t*>(work->data), static_cast<uint32_t>(c->recno)};
  const int32_t rc = idb__run_cmd(s, "DBDELETE", delete_work, &w);
  if (rc != 0) {
    VBuf_Close(work);
    return idb__fail_status(s, rc, status);
  }
  // The deleted record stays current; its links lead a chained read on.
  idb__cursor_links(c, set, w.media);
  VBuf_Close(work);
  idb__record_status(s, set, c, status);
  return 0;
}
