// btree_search.cpp - the descent every keyed operation starts with, the
// parent stack it leaves in the session's context, and the two page edits
// everything else is built from (open a slot, remove an entry).
//
// Context: the server thread, under the caller's node lock. The descent
// may suspend its task in the buffer cache; it holds one page pinned at a
// time and leaves the leaf pinned for the caller. Nothing is allocated.
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

int bt_push(btree_HANDLE* t, uint32_t pgno, uint32_t index) {
  btree_CTX* ctx = t->bt_ctx;
  if (ctx->depth >= BT_MAXLEVELS) {
    debug_log('B', 0, "bt_search: node %s is deeper than %d levels at page 0x%x",
              Node_Name(t->node), BT_MAXLEVELS, pgno);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  ctx->stack[ctx->depth++] = btree_EPG{pgno, index};
  return 0;
}

int bt_search(btree_HANDLE* t, int lock_flags, const btree_DBT* key, int* exact) {
  ZENT_ASSERT((lock_flags == MPOOL_LCK_READ || lock_flags == MPOOL_LCK_WRITE ||
               lock_flags == MPOOL_LCK_INSERT) &&
              "lock_flags == MPOOL_LCK_READ || lock_flags == MPOOL_LCK_WRITE");
  t->bt_ctx->depth = 0;
  // An insert claims only its leaf: an internal page another transaction
  // has changed (a split's separator) is read as committed, which still
  // leads every key outside that transaction's pages to the right leaf.
  // Claiming it would make every writer wait for each split's commit.
  const bool claim_all = lock_flags != MPOOL_LCK_INSERT;
  uint32_t pgno = btree_MetaRoot(t->meta);
  if (claim_all && bt_advisory_take(t, pgno, lock_flags) != 0) return -1;
  for (;;) {
    uint8_t* p = mpool_get(t, pgno);
    if (p == nullptr) {
      bt_release_advisory(t);
      return -1;
    }
    if (!claim_all && bt_is_leaf(p) && bt_advisory_take(t, pgno, lock_flags) != 0) {
      mpool_put(t, p, 0);
      return -1;
    }
    uint32_t base = 0;
    uint32_t descend = 0;
    bool found = false;
    for (uint32_t lim = bt_nent(p); lim != 0; lim >>= 1) {
      const uint32_t idx = base + (lim >> 1);
      const int c = bt_cmp(t, key, p, idx);
      if (c == 0) {
        if (bt_is_leaf(p)) {
          t->cur.page = p;
          t->cur.index = idx;
          *exact = 1;
          return 0;
        }
        descend = idx;
        found = true;
        break;
      }
      if (c > 0) {
        base = idx + 1;
        --lim;
      }
    }
    if (!found && bt_is_leaf(p)) {
      t->cur.page = p;
      t->cur.index = base;
      *exact = 0;
      return 0;
    }
    if (!found) descend = base == 0 ? 0 : base - 1;
    const uint32_t child = bt_e_word2(p, bt_entry_off(p, descend));
    mpool_put(t, p, 0);
    if (bt_push(t, pgno, descend) != 0 ||
        (claim_all && bt_advisory_take(t, child, lock_flags) != 0)) {
      bt_release_advisory(t);
      return -1;
    }
    pgno = child;
  }
}

uint32_t bt_insert_slot(uint8_t* p, uint32_t idx, uint32_t esize) {
  const uint32_t n = bt_nent(p);
  ZENT_ASSERT(idx <= n && bt_room(p) >= esize + 4 && "h->upper - h->lower >= ilen");
  uint8_t* slots = p + BT_HDRSIZE;
  if (idx < n) memmove(slots + 4 * (idx + 1), slots + 4 * idx, 4 * (n - idx));
  const uint32_t upper = bt_upper(p) - esize;
  bt_set_lower(p, bt_lower(p) + 4);
  bt_set_upper(p, upper);
  bt_set_slot(p, idx, upper);
  return upper;
}

void bt_remove_entry(uint8_t* p, uint32_t idx) {
  const uint32_t n = bt_nent(p);
  ZENT_ASSERT(idx < n && "btree entry index");
  const uint32_t off = bt_entry_off(p, idx);
  const uint32_t size = bt_e_size(p, off);
  const uint32_t upper = bt_upper(p);
  // Entries stored below the removed one move up over it.
  if (off > upper) memmove(p + upper + size, p + upper, off - upper);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t s = bt_slot(p, i);  // slot values only
    if (s < off) bt_set_slot(p, i, s + size);
  }
  uint8_t* slots = p + BT_HDRSIZE;
  memmove(slots + 4 * idx, slots + 4 * (idx + 1), 4 * (n - idx - 1));
  bt_set_lower(p, bt_lower(p) - 4);
  bt_set_upper(p, upper + size);
}
