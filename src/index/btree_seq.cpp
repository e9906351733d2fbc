// btree_seq.cpp - exact lookup and the cursor: first, last, next,
// previous, at or after a key, and behind a prefix.
//
// A cursor is {leaf page, index}, valid while the node's change count is
// the one saved with it; the handle's own puts and deletes keep it in step
// (and a deleted entry's key is saved, so the walk goes on from there).
// Keys and data come back in the handle's buffers, which grow and are
// never shrunk, so a walk allocates nothing once they are large enough.
//
// Context: the server thread, under the node's read lock, which each call
// takes and gives back. A call may suspend its task in the buffer cache.
#include <cerrno>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

namespace {

// A position: a pinned leaf and an index on it.
struct Pos {
  uint8_t* page = nullptr;
  uint32_t index = 0;
};

// The leftmost (or rightmost) leaf, pinned.
int edge_leaf(btree_HANDLE* t, bool last, Pos* pos) {
  uint32_t pgno = btree_MetaRoot(t->meta);
  for (int level = 0;; ++level) {
    uint8_t* p = mpool_get(t, pgno);
    if (p == nullptr) return -1;
    const uint32_t n = bt_nent(p);
    if (bt_is_leaf(p)) {
      if (n == 0) {
        mpool_put(t, p, 0);
        return RET_SPECIAL;
      }
      *pos = Pos{p, last ? n - 1 : 0};
      return 0;
    }
    const uint32_t child = n == 0 ? 0 : bt_e_word2(p, bt_entry_off(p, last ? n - 1 : 0));
    mpool_put(t, p, 0);
    if (n == 0 || level >= BT_MAXLEVELS) {
      debug_log('B', 0, "btree_Seq(node=%s): page 0x%x leads nowhere", Node_Name(t->node), pgno);
      BT_ERROR(ERR_SEV_E, BT_E_PAGE);
      return -1;
    }
    pgno = child;
  }
}

// One entry forward (dir 1) or back (-1) from *pos, across neighbours.
// 0 moved, 1 the end (nothing pinned), -1 error (nothing pinned).
int step(btree_HANDLE* t, Pos* pos, int dir) {
  if (dir > 0 ? pos->index + 1 < bt_nent(pos->page) : pos->index > 0) {
    pos->index += static_cast<uint32_t>(dir);
    return 0;
  }
  uint8_t* p = pos->page;
  for (;;) {
    const uint32_t from = bt_pgno(p);
    const uint32_t side = dir > 0 ? bt_next(p) : bt_prev(p);
    mpool_put(t, p, 0);
    pos->page = nullptr;
    if (side == 0) return RET_SPECIAL;
    p = mpool_get(t, side);
    if (p == nullptr) return -1;
    // A neighbour links back: a damaged link that names another page (of
    // this tree or not) would walk elsewhere, or round for ever.
    if (!bt_is_leaf(p) || (dir > 0 ? bt_prev(p) : bt_next(p)) != from) {
      debug_log('B', 0,
                "btree_Seq(node=%s): leaf 0x%x links to page 0x%x, which does not link back: "
                "file is corrupt",
                Node_Name(t->node), from, side);
      mpool_put(t, p, 0);
      BT_ERROR(ERR_SEV_E, BT_E_PAGE);
      return -1;
    }
    if (bt_nent(p) != 0) {
      *pos = Pos{p, dir > 0 ? 0 : bt_nent(p) - 1};
      return 0;
    }
  }
}

int step_next(btree_HANDLE* t, Pos* pos) { return step(t, pos, 1); }
int step_prev(btree_HANDLE* t, Pos* pos) { return step(t, pos, -1); }

// The first entry not below key (exact: key itself).
int seek_ge(btree_HANDLE* t, const btree_DBT* key, Pos* pos, int* exact) {
  if (bt_search(t, MPOOL_LCK_READ, key, exact) != 0) return -1;
  *pos = Pos{t->cur.page, t->cur.index};
  if (pos->index < bt_nent(pos->page)) return 0;
  pos->index = bt_nent(pos->page) - 1;  // wraps for an empty page; step_next leaves it
  return step_next(t, pos);
}

// The last entry below key.
int seek_lt(btree_HANDLE* t, const btree_DBT* key, Pos* pos) {
  int exact = 0;
  if (bt_search(t, MPOOL_LCK_READ, key, &exact) != 0) return -1;
  *pos = Pos{t->cur.page, t->cur.index};
  return step_prev(t, pos);
}

// Behind a prefix: key itself when stored, else the first entry that does
// not begin with it.
int seek_prefix(btree_HANDLE* t, const btree_DBT* key, Pos* pos) {
  int exact = 0;
  const int rc = seek_ge(t, key, pos, &exact);
  if (rc != 0 || exact) return rc;
  while (bt_cmp_partial(t, key, pos->page, pos->index) == 0) {
    const int s = step_next(t, pos);
    if (s != 0) return s;
  }
  return 0;
}

int copy_out(btree_BUF* buf, const uint8_t* bytes, uint32_t size, uint32_t spare, btree_DBT* out) {
  if (bt_buf_reserve(buf, size + spare) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  if (size != 0) memcpy(buf->ptr, bytes, size);
  if (out != nullptr) {
    out->data = buf->ptr;
    out->size = size;
  }
  return 0;
}

// Result 0: the cursor stands on pos; key and data go out; the page is
// released.
int set_cursor(btree_HANDLE* t, Pos pos, btree_DBT* key, btree_DBT* data) {
  const uint8_t* p = pos.page;
  const uint32_t off = bt_entry_off(p, pos.index);
  const btree_DBT k = bt_entry_key(p, pos.index);
  const uint32_t dsize = bt_e_word2(p, off);
  ZENT_ASSERT(dsize <= BT_PSIZE - BT_ENTRY_HEAD - off - k.size && "btree data inside its page");
  btree_CURSOR& c = t->cursor;
  c.pgno = bt_pgno(p);
  c.index = pos.index;
  c.flags = CURS_INIT;
  c.change_count = Node_GetChangeCount(t->node);
  c.key_len = 0;
  int rc = copy_out(&t->kbuf, static_cast<const uint8_t*>(k.data), k.size, 0, key);
  if (rc == 0) rc = copy_out(&t->dbuf, static_cast<const uint8_t*>(k.data) + k.size, dsize, 1, data);
  mpool_put(t, pos.page, 0);
  return rc;
}

}  // namespace

int btree_Get(btree_HANDLE* t, const btree_DBT* key, btree_DBT* data, uint32_t flags) {
  if (flags != 0) {
    errno = EINVAL;
    return RET_ERROR;
  }
  if (bt_lock(t, BT_LOCK_READ) != 0) return RET_LOCKED;
  int exact = 0;
  if (bt_search(t, MPOOL_LCK_READ, key, &exact) != 0) {
    bt_end_op(t);
    return RET_ERROR;
  }
  int rc = RET_SPECIAL;
  if (exact) {
    const uint8_t* p = t->cur.page;
    const btree_DBT k = bt_entry_key(p, t->cur.index);
    const uint32_t dsize = bt_e_word2(p, bt_entry_off(p, t->cur.index));
    rc = copy_out(&t->dbuf, static_cast<const uint8_t*>(k.data) + k.size, dsize, 1, data);
  }
  mpool_put(t, t->cur.page, 0);
  bt_end_op(t);
  return rc;
}

int btree_Seq(btree_HANDLE* t, btree_DBT* key, btree_DBT* data, uint32_t op) {
  if (bt_lock(t, BT_LOCK_READ) != 0) return RET_LOCKED;
  if (op < BT_SEQ_CURSOR || op > BT_SEQ_PREFIX || op == 6 || op == 7) {
    bt_end_op(t);
    BT_ERROR(ERR_SEV_E, BT_E_ARG);
    return RET_ERROR;
  }
  const int invalidated = bt_cursor_check(t);
  if (invalidated && (op == BT_SEQ_NEXT || op == BT_SEQ_PREV)) {
    bt_end_op(t);
    return RET_CURSOR;
  }
  btree_CURSOR& c = t->cursor;
  const bool from_cursor = (op == BT_SEQ_NEXT || op == BT_SEQ_PREV) && (c.flags & CURS_INIT);
  Pos pos;
  int rc = 0;
  int exact = 0;
  if (!from_cursor) {
    switch (op) {
      case BT_SEQ_CURSOR:
        if (key == nullptr || key->data == nullptr || key->size == 0) {
          bt_end_op(t);
          errno = EINVAL;
          return RET_ERROR;
        }
        rc = seek_ge(t, key, &pos, &exact);
        break;
      case BT_SEQ_FIRST:
      case BT_SEQ_NEXT:
        rc = edge_leaf(t, false, &pos);
        break;
      case BT_SEQ_LAST:
      case BT_SEQ_PREV:
        rc = edge_leaf(t, true, &pos);
        break;
      default:  // BT_SEQ_PREFIX
        rc = seek_prefix(t, key, &pos);
        break;
    }
  } else if (c.flags & CURS_DELETED) {
    // The entry went: on from its key, to the first entry after it or
    // the last one before it.
    const btree_DBT saved{c.key.ptr, c.key_len};
    rc = op == BT_SEQ_NEXT ? seek_ge(t, &saved, &pos, &exact) : seek_lt(t, &saved, &pos);
  } else {
    const uint32_t hold = op == BT_SEQ_NEXT ? CURS_AFTER : CURS_BEFORE;
    pos.page = mpool_get(t, c.pgno);
    pos.index = c.index;
    if (pos.page == nullptr) {
      rc = -1;
    } else if (c.flags & hold) {
      c.flags &= ~(CURS_AFTER | CURS_BEFORE);
    } else {
      rc = op == BT_SEQ_NEXT ? step_next(t, &pos) : step_prev(t, &pos);
    }
  }
  if (rc == 0) rc = set_cursor(t, pos, key, data);
  bt_end_op(t);
  return rc;
}
