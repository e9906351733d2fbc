// btree_split.cpp - the split of a full page: a sort split when a key is
// appended at the end of a level, a page split into the page and a new
// right neighbour, a root split into two new pages below a root that keeps
// its page number; the separators passed up the parent stack, shortened by
// the prefix callback; the cursor moved with its entry.
//
// Context: the server thread, under the node's write lock. A split may
// suspend its task where it gets pages (buffer cache) and allocates them
// (volume set). The left half of a page split is built in one scratch page
// of the process, used only between two points where nothing suspends.
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

namespace {

alignas(8) uint8_t g_scratch[BT_PSIZE];

// Size with its slot of position pos of a page's n entries plus the new
// entry at skip.
uint32_t pos_size(const uint8_t* src, uint32_t pos, uint32_t skip, uint32_t ilen) {
  if (pos == skip) return ilen + 4;
  const uint32_t i = pos < skip ? pos : pos - 1;
  return bt_e_size(src, bt_entry_off(src, i)) + 4;
}

// How many of the n + 1 positions go to the left half: the cut that leaves
// the two halves closest in size, among those where both fit.
uint32_t split_point(const uint8_t* src, uint32_t skip, uint32_t ilen) {
  const uint32_t n = bt_nent(src);
  uint32_t total = 0;
  for (uint32_t pos = 0; pos <= n; ++pos) total += pos_size(src, pos, skip, ilen);
  uint32_t best = 0;
  uint32_t best_gap = UINT32_MAX;
  uint32_t left = 0;
  for (uint32_t k = 1; k <= n; ++k) {
    left += pos_size(src, k - 1, skip, ilen);
    if (left > BT_FULL || total - left > BT_FULL) continue;
    const uint32_t gap = 2 * left > total ? 2 * left - total : total - 2 * left;
    if (gap < best_gap) {
      best_gap = gap;
      best = k;
    }
  }
  // Entries of at most BT_MAXENTRY bytes always leave a cut.
  ZENT_ASSERT(best != 0 && "btree split point");
  return best;
}

uint32_t append(uint8_t* dst, uint32_t size) { return bt_insert_slot(dst, bt_nent(dst), size); }

// Copies the entries of src and the new entry e (at position skip) to l
// (the first k positions) and r; the page and index that took e in
// *target and *tidx. A valid cursor on src moves with its entry.
void distribute(btree_HANDLE* t, const uint8_t* src, uint8_t* l, uint8_t* r, uint32_t skip,
                const bt_NEWENT* e, uint32_t k, uint8_t** target, uint32_t* tidx) {
  const uint32_t n = bt_nent(src);
  for (uint32_t pos = 0; pos <= n; ++pos) {
    uint8_t* dst = pos < k ? l : r;
    if (pos == skip) {
      const uint32_t off = append(dst, e->size);
      bt_write_entry(dst, off, e->key, e->ksize, e->word2, e->data, e->dsize);
      *target = dst;
      *tidx = bt_nent(dst) - 1;
      continue;
    }
    const uint32_t soff = bt_entry_off(src, pos < skip ? pos : pos - 1);
    const uint32_t size = bt_e_size(src, soff);
    memcpy(dst + append(dst, size), src + soff, size);
  }
  btree_CURSOR& c = t->cursor;
  if ((c.flags & CURS_INIT) && !(c.flags & CURS_DELETED) && c.pgno == bt_pgno(src)) {
    const uint32_t pos = c.index >= skip ? c.index + 1 : c.index;
    c.pgno = pos < k ? bt_pgno(l) : bt_pgno(r);
    c.index = pos < k ? pos : pos - k;
  }
}

// Splits h (not the root). The halves in *lp (h itself) and *rp (new); the
// page that took e and its index. None with nothing changed on failure.
// *held is set when another transaction holds the right neighbour.
uint8_t* split_page(btree_HANDLE* t, uint8_t* h, uint8_t** lp, uint8_t** rp, uint32_t skip,
                    const bt_NEWENT* e, uint32_t* tidx, bool* held) {
  const bool sort_split = bt_next(h) == 0 && skip == bt_nent(h);
  // Inside a transaction the right neighbour is claimed before anything
  // changes: another transaction holding it stops the split here.
  if (!sort_split && bt_claim_neighbours(t, 0, bt_next(h)) != 0) {
    *held = true;
    return nullptr;
  }
  uint32_t rpgno = 0;
  uint8_t* r = bt_new(t, &rpgno);
  if (r == nullptr) return nullptr;
  bt_init_page(r, rpgno, bt_pgno(h), bt_next(h), bt_type(h));
  g_btree_stats.page_splits++;
  *lp = h;
  *rp = r;
  if (sort_split) {
    // Appending at the end of a level: h stays full, r starts with e.
    g_btree_stats.sort_splits++;
    bt_set_next(h, rpgno);
    const uint32_t off = append(r, e->size);
    bt_write_entry(r, off, e->key, e->ksize, e->word2, e->data, e->dsize);
    *tidx = 0;
    return r;
  }
  // The neighbour first, so that a failure leaves h as it was.
  if (bt_next(h) != 0 && bt_relink(t, bt_next(h), bt_set_prev, rpgno) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    bt_free(t, r);
    return nullptr;
  }
  memset(g_scratch, BT_SPLITPAGE_FILL, BT_PSIZE);
  bt_init_page(g_scratch, bt_pgno(h), bt_prev(h), rpgno, bt_type(h));
  const uint32_t k = split_point(h, skip, e->size);
  uint8_t* target = nullptr;
  distribute(t, h, g_scratch, r, skip, e, k, &target, tidx);
  memcpy(h, g_scratch, BT_PSIZE);
  return target == g_scratch ? h : r;
}

// Splits the root into two new pages; the root is rewritten afterwards.
uint8_t* split_root(btree_HANDLE* t, uint8_t* h, uint8_t** lp, uint8_t** rp, uint32_t skip,
                    const bt_NEWENT* e, uint32_t* tidx) {
  uint32_t lpgno = 0;
  uint32_t rpgno = 0;
  uint8_t* l = bt_new(t, &lpgno);
  if (l == nullptr) return nullptr;
  uint8_t* r = bt_new(t, &rpgno);
  if (r == nullptr) {
    bt_free(t, l);
    return nullptr;
  }
  g_btree_stats.root_splits++;
  g_btree_stats.page_splits++;
  bt_init_page(l, lpgno, 0, rpgno, bt_type(h));
  bt_init_page(r, rpgno, lpgno, 0, bt_type(h));
  const uint32_t k = split_point(h, skip, e->size);
  uint8_t* target = nullptr;
  distribute(t, h, l, r, skip, e, k, &target, tidx);
  *lp = l;
  *rp = r;
  return target;
}

// The root over its two new halves: an entry of no key for l, the first
// key of r for r. It keeps its page number; released dirty.
void rewrite_root(btree_HANDLE* t, uint8_t* root, const uint8_t* l, const uint8_t* r) {
  const btree_DBT k = bt_entry_key(r, 0);
  bt_init_page(root, bt_pgno(root), 0, 0, P_BINTERNAL);
  const uint32_t off0 = bt_insert_slot(root, 0, bt_internal_size(0));
  bt_write_entry(root, off0, nullptr, 0, bt_pgno(l), nullptr, 0);
  const uint32_t off1 = bt_insert_slot(root, 1, bt_internal_size(k.size));
  bt_write_entry(root, off1, static_cast<const uint8_t*>(k.data), k.size, bt_pgno(r), nullptr, 0);
  mpool_put(t, root, MPOOL_DIRTY);
}

// The separator for r in its parent at index skip: r's first key (an
// internal page's first entry as it is), a leaf's shortened to the bytes
// that still sort it after l's last key.
void make_separator(btree_HANDLE* t, const uint8_t* l, const uint8_t* r, const uint8_t* parent,
                    uint32_t skip, bt_NEWENT* sep) {
  const btree_DBT b = bt_entry_key(r, 0);
  uint32_t ksize = b.size;
  if (bt_is_leaf(r) && t->prefix != nullptr && !(bt_prev(parent) == 0 && skip < 2)) {
    const btree_DBT a = bt_entry_key(l, bt_nent(l) - 1);
    const uint32_t n = t->prefix(&t->keydef, &a, &b, t->arg);
    // A prefix that says nothing, more than the key, or one that would
    // not sort between the halves is not used.
    const btree_DBT s{b.data, n};
    if (n != 0 && n < ksize && bt_internal_size(n) < bt_internal_size(ksize) &&
        t->compare(&t->keydef, &a, &s, t->arg) < 0 && t->compare(&t->keydef, &s, &b, t->arg) <= 0) {
      g_btree_stats.pfx_saved += ksize - n;
      ksize = n;
    }
  }
  *sep = bt_NEWENT{};
  sep->key = static_cast<const uint8_t*>(b.data);
  sep->ksize = ksize;
  sep->word2 = bt_pgno(r);
  sep->size = bt_internal_size(ksize);
}

void release_pair(btree_HANDLE* t, uint8_t* l, uint8_t* r) {
  if (l != nullptr) mpool_put(t, l, MPOOL_DIRTY);
  if (r != nullptr) mpool_put(t, r, MPOOL_DIRTY);
}

}  // namespace

namespace {

// The largest key of page p, or at least ksize.
uint32_t largest_key(const uint8_t* p, uint32_t ksize) {
  for (uint32_t i = 0; i < bt_nent(p); ++i) {
    const uint32_t k = bt_e_ksize(p, bt_entry_off(p, i));
    if (k > ksize) ksize = k;
  }
  return ksize;
}

}  // namespace

int bt_claim_split_path(btree_HANDLE* t, const uint8_t* h, uint32_t ksize) {
  if (!bt_in_tx(t)) return 0;
  // A separator is a key of the page that splits or the entry it places;
  // a parent with room for the largest of them takes it and the walk ends.
  uint32_t sep = largest_key(h, ksize);
  for (uint32_t d = t->bt_ctx->depth; d-- > 0;) {
    const uint32_t pgno = t->bt_ctx->stack[d].pgno;
    if (bt_advisory_take(t, pgno, MPOOL_LCK_INSERT) != 0) return -1;
    uint8_t* p = mpool_get(t, pgno);
    if (p == nullptr) {
      bt_release_advisory(t);
      return -1;
    }
    const bool fits = bt_room(p) >= bt_internal_size(sep) + 4;
    sep = largest_key(p, sep);
    mpool_put(t, p, 0);
    if (fits) break;
  }
  return 0;
}

int bt_split(btree_HANDLE* t, uint8_t* h, const bt_NEWENT* ent, uint32_t flags, uint32_t skip) {
  ZENT_ASSERT(flags == 0 && "flags == 0");
  uint8_t* sp = h;
  const bt_NEWENT* e = ent;
  uint32_t sk = skip;
  bt_NEWENT sep;
  // The halves of the level below: e points into the right one until it
  // has been placed.
  uint8_t* below_l = nullptr;
  uint8_t* below_r = nullptr;
  for (;;) {
    const bool is_root = bt_pgno(sp) == btree_MetaRoot(t->meta);
    uint8_t* l = nullptr;
    uint8_t* r = nullptr;
    uint32_t tidx = 0;
    bool held = false;
    uint8_t* target = is_root ? split_root(t, sp, &l, &r, sk, e, &tidx)
                              : split_page(t, sp, &l, &r, sk, e, &tidx, &held);
    if (target == nullptr) {
      // A neighbour another transaction holds is no failure: the caller
      // rolls back, waits for that transaction and runs the put again.
      if (held)
        debug_log('B', 2, "bt_split() - page 0x%x of node %s waits for its right neighbour",
                  bt_pgno(sp), Node_Name(t->node));
      else
        debug_log('B', 0, "bt_split() - panic");
      mpool_put(t, sp, 0);
      release_pair(t, below_l, below_r);
      return -1;
    }
    if (is_root) rewrite_root(t, sp, l, r);
    release_pair(t, below_l, below_r);
    if (t->bt_ctx->depth == 0) {
      release_pair(t, l, r);
      return 0;
    }
    const btree_EPG up = t->bt_ctx->stack[--t->bt_ctx->depth];
    uint8_t* parent = mpool_get(t, up.pgno);
    if (parent == nullptr || mpool_lock(t, &parent) != 0) {
      if (parent != nullptr) mpool_put(t, parent, 0);
      debug_log('B', 0, "bt_split() - panic");
      BT_ERROR(ERR_SEV_E, BT_E_PAGE);
      release_pair(t, l, r);
      return -1;
    }
    make_separator(t, l, r, parent, up.index + 1, &sep);
    if (bt_room(parent) >= sep.size + 4) {
      const uint32_t off = bt_insert_slot(parent, up.index + 1, sep.size);
      bt_write_entry(parent, off, sep.key, sep.ksize, sep.word2, nullptr, 0);
      mpool_put(t, parent, MPOOL_DIRTY);
      release_pair(t, l, r);
      return 0;
    }
    below_l = l;
    below_r = r;
    sp = parent;
    e = &sep;
    sk = up.index + 1;
  }
}
