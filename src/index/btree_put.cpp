// btree_put.cpp - insert of a unique key with its data, and the fast path
// that takes keys arriving in order (ascending at the end of the rightmost
// leaf, descending at the front of the leftmost one) without a descent.
//
// Context: the server thread, under the node's write lock, which the put
// takes and gives back. It may suspend its task in the buffer cache and,
// when a split needs pages, in the volume set. The fast path and an insert
// that fits its page allocate nothing.
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

namespace {

// The remembered page still takes key at its front or end: t->cur is set,
// the page pinned, *exact 1 when the key is there. -1 (a miss: nothing
// pinned, the order forgotten) otherwise.
int bt_fast(btree_HANDLE* t, const btree_DBT* key, uint32_t size, int* exact) {
  btree_FAST& f = t->fast;
  if (Node_GetChangeCount(t->node) != f.change_count) {
    f.order = 0;
    g_btree_stats.fast_misses++;
    return -1;
  }
  uint8_t* p = mpool_get(t, f.pgno);
  if (p == nullptr) {
    f.order = 0;
    return -1;
  }
  const uint32_t n = bt_nent(p);
  if (bt_is_leaf(p) && bt_room(p) >= size + 4 && n != 0) {
    if (f.order == 1 && bt_prev(p) == 0 && f.index == 0) {
      const int c = bt_cmp(t, key, p, 0);
      if (c <= 0) {
        t->cur.page = p;
        t->cur.index = 0;
        *exact = c == 0;
        g_btree_stats.fast_hits++;
        return 0;
      }
    } else if (f.order == 2 && bt_next(p) == 0 && f.index == n - 1) {
      const int c = bt_cmp(t, key, p, f.index);
      if (c >= 0) {
        t->cur.page = p;
        if (c == 0) {
          t->cur.index = f.index;
          *exact = 1;
        } else {
          t->cur.index = f.index + 1;
          f.index = f.index + 1;
          *exact = 0;
        }
        g_btree_stats.fast_hits++;
        return 0;
      }
    }
  }
  g_btree_stats.fast_misses++;
  f.order = 0;
  mpool_put(t, p, 0);
  return -1;
}

}  // namespace

int btree_Put(btree_HANDLE* t, const btree_DBT* key, const btree_DBT* data, uint32_t flags) {
  ZENT_ASSERT(flags == R_NOOVERWRITE && "flags == R_NOOVERWRITE");
  if (t->flags & B_RDONLY) {
    BT_ERROR(ERR_SEV_E, BT_E_RDONLY);
    return RET_ERROR;
  }
  // An entry that could not share a page with another one could make a
  // split whose halves do not fit: refused before anything changes.
  const uint64_t want = static_cast<uint64_t>(key->size) + data->size + 12;
  if (want > BT_MAXENTRY + 3) {
    debug_log('B', 0, "btree_Put(node=%s) failed: entry of %llu bytes, at most %u fit",
              Node_Name(t->node), static_cast<unsigned long long>(want & ~3ull), BT_MAXENTRY);
    BT_ERROR(ERR_SEV_E, BT_E_ARG);
    return RET_ERROR;
  }
  if (bt_lock(t, BT_LOCK_WRITE) != 0) return RET_LOCKED;
  // After the lock: the wait for it may have let another handle change
  // the tree.
  bt_cursor_check(t);
  const uint32_t size = bt_leaf_size(key->size, data->size);
  int exact = 0;
  if (t->fast.order == 0 || bt_fast(t, key, size, &exact) != 0) {
    if (bt_search(t, MPOOL_LCK_INSERT, key, &exact) != 0) {
      bt_end_op(t);
      return RET_ERROR;
    }
  }
  uint8_t* p = t->cur.page;
  const uint32_t idx = t->cur.index;
  if (exact) {
    mpool_put(t, p, 0);
    bt_end_op(t);
    BT_ERROR(ERR_SEV_R, BT_R_EXISTS);
    return RET_SPECIAL;
  }
  // The parents a split changes are claimed before anything changes.
  const bool split = bt_room(p) < size + 4;
  if ((split && bt_claim_split_path(t, p, key->size) != 0) || mpool_lock(t, &p) != 0) {
    mpool_put(t, p, 0);
    bt_end_op(t);
    return RET_ERROR;
  }
  bt_NEWENT ent;
  ent.key = static_cast<const uint8_t*>(key->data);
  ent.ksize = key->size;
  ent.word2 = data->size;
  ent.data = static_cast<const uint8_t*>(data->data);
  ent.dsize = data->size;
  ent.size = size;
  if (!split) {
    const uint32_t off = bt_insert_slot(p, idx, size);
    bt_write_entry(p, off, ent.key, ent.ksize, ent.word2, ent.data, ent.dsize);
    btree_CURSOR& c = t->cursor;
    if ((c.flags & CURS_INIT) && !(c.flags & CURS_DELETED) && c.pgno == bt_pgno(p) &&
        c.index >= idx)
      c.index++;
    if (t->fast.order == 0) {
      if (bt_next(p) == 0 && idx == bt_nent(p) - 1) {
        t->fast = btree_FAST{2, bt_pgno(p), idx, 0};
      } else if (bt_prev(p) == 0 && idx == 0) {
        t->fast = btree_FAST{1, bt_pgno(p), 0, 0};
      }
    }
    t->fast.change_count = Node_GetChangeCount(t->node);
    mpool_put(t, p, MPOOL_DIRTY);
  } else if (bt_split(t, p, &ent, 0, idx) != 0) {
    bt_cursor_keep(t);
    bt_end_op(t);
    return RET_ERROR;
  }
  t->flags |= B_MODIFIED;
  bt_cursor_keep(t);
  bt_end_op(t);
  return RET_SUCCESS;
}
