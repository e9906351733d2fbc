// btree_delete.cpp - delete by key and at the cursor, and the removal of
// pages that a delete leaves empty: the emptied leaf and every parent left
// without entries are unlinked from their neighbours and freed; a root
// left without entries becomes an empty leaf (it keeps its page number).
//
// Context: the server thread, under the node's write lock, which each
// delete takes and gives back. It may suspend its task in the buffer cache
// and where freed pages go back to the volume set.
#include <cerrno>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

namespace {

// Deletes entry i of the leaf *pp (made writable here); a cursor on the
// entry keeps its key and is marked deleted, one behind it moves back. 0,
// or -1 with the page unchanged.
int delete_leaf_entry(btree_HANDLE* t, uint8_t** pp, uint32_t i) {
  btree_CURSOR& c = t->cursor;
  const bool on_page = (c.flags & CURS_INIT) && !(c.flags & CURS_DELETED) &&
                       c.pgno == bt_pgno(*pp);
  const btree_DBT k = bt_entry_key(*pp, i);
  if (on_page && c.index == i && bt_buf_reserve(&c.key, k.size) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  if (mpool_lock(t, pp) != 0) return -1;
  uint8_t* p = *pp;
  if (on_page && c.index == i) {
    const btree_DBT key = bt_entry_key(p, i);
    if (key.size != 0) memcpy(c.key.ptr, key.data, key.size);
    c.key_len = key.size;
    c.flags |= CURS_DELETED;
  }
  bt_remove_entry(p, i);
  if (on_page && c.index > i) c.index--;
  return 0;
}

// Takes page p (pinned) out of its level: the neighbours' links pass it.
int unlink_page(btree_HANDLE* t, const uint8_t* p) {
  if (bt_prev(p) != 0 && bt_relink(t, bt_prev(p), bt_set_next, bt_next(p)) != 0) return -1;
  if (bt_next(p) != 0 && bt_relink(t, bt_next(p), bt_set_prev, bt_prev(p)) != 0) return -1;
  return 0;
}

int free_page(btree_HANDLE* t, uint8_t* p) {
  if (unlink_page(t, p) != 0) {
    mpool_put(t, p, MPOOL_DIRTY);
    return -1;
  }
  return bt_free(t, p);
}

// The leaf p (pinned, writable) has no entries left: it goes, with every
// parent it leaves empty (the parent stack is the descent's). The root
// stays, as an empty leaf when nothing is left.
int remove_page(btree_HANDLE* t, uint8_t* p) {
  const uint32_t root = btree_MetaRoot(t->meta);
  if (bt_pgno(p) == root) {
    mpool_put(t, p, MPOOL_DIRTY);
    return 0;
  }
  btree_CTX* ctx = t->bt_ctx;
  while (ctx->depth > 0) {
    const btree_EPG up = ctx->stack[--ctx->depth];
    uint8_t* parent = mpool_get(t, up.pgno);
    if (parent == nullptr || mpool_lock(t, &parent) != 0) {
      if (parent != nullptr) mpool_put(t, parent, 0);
      mpool_put(t, p, MPOOL_DIRTY);
      return -1;
    }
    if (bt_nent(parent) > 1) {
      bt_remove_entry(parent, up.index);
      mpool_put(t, parent, MPOOL_DIRTY);
      break;
    }
    if (up.pgno == root) {
      bt_init_page(parent, root, 0, 0, P_BLEAF);
      mpool_put(t, parent, MPOOL_DIRTY);
      break;
    }
    if (free_page(t, parent) != 0) {
      mpool_put(t, p, MPOOL_DIRTY);
      return -1;
    }
  }
  return free_page(t, p);
}

// A leaf about to lose its last entry is unlinked from its neighbours:
// inside a transaction they are claimed before anything changes.
int claim_if_emptied(btree_HANDLE* t, const uint8_t* p) {
  if (bt_nent(p) != 1 || bt_pgno(p) == btree_MetaRoot(t->meta)) return 0;
  return bt_claim_neighbours(t, bt_prev(p), bt_next(p));
}

// The leaf the parent stack leads to.
int stack_leaf(btree_HANDLE* t, uint32_t* pgno) {
  const btree_EPG& top = t->bt_ctx->stack[t->bt_ctx->depth - 1];
  uint8_t* p = mpool_get(t, top.pgno);
  if (p == nullptr) return -1;
  *pgno = bt_e_word2(p, bt_entry_off(p, top.index));
  mpool_put(t, p, 0);
  return 0;
}

// Moves stack entry level one entry to the right (dir 1) or left (-1),
// crossing to the neighbouring parent when it must. 0, 1 at the end of
// the level, -1 error.
int stack_step(btree_HANDLE* t, int level, int dir) {
  btree_EPG& e = t->bt_ctx->stack[level];
  uint8_t* p = mpool_get(t, e.pgno);
  if (p == nullptr) return -1;
  const uint32_t n = bt_nent(p);
  mpool_put(t, p, 0);
  if (dir > 0 ? e.index + 1 < n : e.index > 0) {
    e.index += static_cast<uint32_t>(dir);
    return 0;
  }
  if (level == 0) return RET_SPECIAL;
  const int rc = stack_step(t, level - 1, dir);
  if (rc != 0) return rc;
  const btree_EPG& up = t->bt_ctx->stack[level - 1];
  uint8_t* pp = mpool_get(t, up.pgno);
  if (pp == nullptr) return -1;
  const uint32_t child = bt_e_word2(pp, bt_entry_off(pp, up.index));
  mpool_put(t, pp, 0);
  uint8_t* c = mpool_get(t, child);
  if (c == nullptr) return -1;
  const uint32_t cn = bt_nent(c);
  mpool_put(t, c, 0);
  if (cn == 0) return -1;
  e.pgno = child;
  e.index = dir > 0 ? 0 : cn - 1;
  return 0;
}

// The parent stack of leaf target, which holds key: a descent for the key,
// then along the level to the right, and to the left if need be.
int stack_for(btree_HANDLE* t, const btree_DBT* key, uint32_t target) {
  for (int dir = 1; dir >= -1; dir -= 2) {
    int exact = 0;
    if (bt_search(t, MPOOL_LCK_WRITE, key, &exact) != 0) return -1;
    const uint32_t found = bt_pgno(t->cur.page);
    mpool_put(t, t->cur.page, 0);
    if (found == target) return 0;
    if (t->bt_ctx->depth == 0) break;
    for (;;) {
      const int rc = stack_step(t, t->bt_ctx->depth - 1, dir);
      if (rc < 0) return -1;
      if (rc == RET_SPECIAL) break;
      uint32_t leaf = 0;
      if (stack_leaf(t, &leaf) != 0) return -1;
      if (leaf == target) return 0;
    }
  }
  debug_log('B', 0, "btree_Delete(node=%s): cursor page 0x%x is not in the tree",
            Node_Name(t->node), target);
  BT_ERROR(ERR_SEV_E, BT_E_PAGE);
  return -1;
}

int delete_by_key(btree_HANDLE* t, const btree_DBT* key) {
  int exact = 0;
  if (bt_search(t, MPOOL_LCK_WRITE, key, &exact) != 0) return RET_ERROR;
  uint8_t* p = t->cur.page;
  if (!exact) {
    mpool_put(t, p, 0);
    return RET_SPECIAL;
  }
  if (claim_if_emptied(t, p) != 0 || delete_leaf_entry(t, &p, t->cur.index) != 0) {
    mpool_put(t, p, 0);
    return RET_ERROR;
  }
  if (bt_nent(p) == 0) return remove_page(t, p) == 0 ? RET_SUCCESS : RET_ERROR;
  mpool_put(t, p, MPOOL_DIRTY);
  return RET_SUCCESS;
}

int delete_at_cursor(btree_HANDLE* t) {
  btree_CURSOR& c = t->cursor;
  uint8_t* p = mpool_get(t, c.pgno);
  if (p == nullptr) return RET_ERROR;
  const uint32_t index = c.index;
  if (bt_nent(p) == 1 && c.pgno != btree_MetaRoot(t->meta)) {
    // The page will go: its parents are needed.
    const btree_DBT key = bt_entry_key(p, index);
    if (stack_for(t, &key, c.pgno) != 0) {
      mpool_put(t, p, 0);
      return RET_ERROR;
    }
  }
  if (claim_if_emptied(t, p) != 0 || delete_leaf_entry(t, &p, index) != 0) {
    mpool_put(t, p, 0);
    return RET_ERROR;
  }
  if (bt_nent(p) == 0) return remove_page(t, p) == 0 ? RET_SUCCESS : RET_ERROR;
  mpool_put(t, p, MPOOL_DIRTY);
  return RET_SUCCESS;
}

}  // namespace

int btree_Delete(btree_HANDLE* t, const btree_DBT* key, uint32_t op) {
  if (t->flags & B_RDONLY) {
    BT_ERROR(ERR_SEV_R, BT_R_DELETE_RO);
    return RET_ERROR;
  }
  if (op != 0 && op != BT_SEQ_CURSOR) {
    BT_ERROR(ERR_SEV_R, BT_R_CURSOR);
    return RET_ERROR;
  }
  if (op == 0 && key == nullptr) {
    errno = EINVAL;
    return RET_ERROR;
  }
  if (bt_lock(t, BT_LOCK_WRITE) != 0) return RET_LOCKED;
  const int invalidated = bt_cursor_check(t);
  int rc = RET_SUCCESS;
  if (op == 0) {
    rc = delete_by_key(t, key);
  } else if (invalidated) {
    rc = RET_CURSOR;
  } else if (!(t->cursor.flags & CURS_INIT)) {
    BT_ERROR(ERR_SEV_R, BT_R_CURSOR);
    rc = RET_ERROR;
  } else if (t->cursor.flags & CURS_DELETED) {
    rc = RET_SPECIAL;
  } else {
    rc = delete_at_cursor(t);
  }
  if (rc == RET_SUCCESS) t->flags |= B_MODIFIED;
  bt_cursor_keep(t);
  bt_end_op(t);
  return rc;
}
