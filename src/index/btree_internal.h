// btree_internal.h - what the B-tree's modules share and no caller outside
// src/index (and its tests) uses: page access, the node lock, the compare
// of a key with an entry, the descent, the split, cursor upkeep.
//
// Context: the server thread, like every B-tree entry point.
#pragma once
#include <cstdint>

#include "base/panic.h"
#include "index/btree.h"

inline constexpr int MPOOL_LCK_READ = 2;
inline constexpr int MPOOL_LCK_WRITE = 4;
// The write descent of an insert: it claims the leaf only; the parents are
// claimed by a split that will change them (bt_claim_split_path).
inline constexpr int MPOOL_LCK_INSERT = 8;
inline constexpr uint32_t MPOOL_DIRTY = 1;

// Sets a BT status code with the caller's place.
#define BT_ERROR(sev, code) SET_ERROR(ERR_MOD_BT, (sev), (code))

extern btree_STATS g_btree_stats;

// The offset of entry i of page p, its whole extent checked against the
// page: every entry is read through here (or bt_entry_key), so a page whose
// slots say otherwise stops the process instead of being read past.
inline uint32_t bt_entry_off(const uint8_t* p, uint32_t i) {
  const uint32_t off = bt_slot(p, i);
  bool ok = i < bt_nent(p) && off >= bt_upper(p) && off <= BT_PSIZE - BT_ENTRY_HEAD;
  if (ok) {
    const uint64_t end = uint64_t{off} + BT_ENTRY_HEAD + bt_e_ksize(p, off) +
                         (bt_is_leaf(p) ? bt_e_word2(p, off) : 0);
    ok = end <= BT_PSIZE;
  }
  ZENT_ASSERT(ok && "btree page is corrupt");
  return off;
}

// --- Page access (btree_page.cpp) ------------------------------------------------
// Each hides whether the session is inside a transaction. Pages come back
// pinned; the caller releases every page it got.

// 1 when the session works inside a transaction.
int bt_in_tx(const btree_HANDLE* t);
// The page pgno, pinned, or none (BT E001). A page that is not a B-tree page
// (type, own address, layout) is fatal.
uint8_t* mpool_get(btree_HANDLE* t, uint32_t pgno, uint32_t flags = 0);
// Releases a page; flags 0 or MPOOL_DIRTY.
void mpool_put(btree_HANDLE* t, uint8_t* page, uint32_t flags);
// Makes a pinned page writable; *page may move (a shadow copy). Counts a
// change of the node. 0, or -1 with the page unchanged.
int mpool_lock(btree_HANDLE* t, uint8_t** page, uint32_t flags = 0);
// A new page of the node, pinned and filled with 0xEE; its address in
// *pgno. None on failure (BT E001).
uint8_t* bt_new(btree_HANDLE* t, uint32_t* pgno);
// Frees a pinned page of the node; the pin goes with it, also on failure.
// 0 or -1.
int bt_free(btree_HANDLE* t, uint8_t* page);
// Sets one neighbour link of page pgno (made writable) to value, e.g.
// bt_set_prev. 0, or -1 with the page unchanged.
int bt_relink(btree_HANDLE* t, uint32_t pgno, void (*set)(uint8_t*, uint32_t), uint32_t value);
// The advisory record of a write descent for pgno (inside a transaction
// only). 0, or -1 after releasing every record taken and the node lock.
int bt_advisory_take(btree_HANDLE* t, uint32_t pgno, int lock_flags);
// Releases the advisory records of the running operation.
void bt_release_advisory(btree_HANDLE* t);
// Inside a transaction, the advisory records of the neighbours prev and
// next (0 = none) that a change is about to relink. 0, or -1 as
// bt_advisory_take.
int bt_claim_neighbours(btree_HANDLE* t, uint32_t prev, uint32_t next);

// --- Node lock (btree.cpp) --------------------------------------------------------

enum { BT_LOCK_WRITE = 1, BT_LOCK_READ = 2 };
// 0, or -1 with BT E006.
int bt_lock(btree_HANDLE* t, int mode);
void bt_unlock(btree_HANDLE* t);
// The end of every operation: the advisory records and the node lock, if
// still held.
void bt_end_op(btree_HANDLE* t);
// The cursor check of every operation: a valid cursor whose saved change
// count is not the node's becomes invalid. 1 when it did.
int bt_cursor_check(btree_HANDLE* t);
// After the handle's own change: a valid cursor, kept in step by the
// operation, takes the node's count.
void bt_cursor_keep(btree_HANDLE* t);
// Grows a return buffer to hold size bytes. 0 or -1.
int bt_buf_reserve(btree_BUF* b, uint32_t size);

// --- Keys (btree_compare.cpp) -----------------------------------------------------

// The key of entry i of page p (bounds asserted).
btree_DBT bt_entry_key(const uint8_t* p, uint32_t i);
// The search key against entry i: the first entry of the leftmost internal
// page of a level is smaller than every key.
int bt_cmp(const btree_HANDLE* t, const btree_DBT* key, const uint8_t* p, uint32_t i);
// The same with the entry's key cut to the search key's length.
int bt_cmp_partial(const btree_HANDLE* t, const btree_DBT* key, const uint8_t* p, uint32_t i);

// --- Descent (btree_search.cpp) ---------------------------------------------------

// Descends to the leaf for key; t->cur is {pinned page, index}, *exact 1
// when the key is there (else index is the insertion point). 0, or -1
// with nothing pinned and the advisory records released.
int bt_search(btree_HANDLE* t, int lock_flags, const btree_DBT* key, int* exact);
// Pushes a parent; -1 (BT E001) when the stack is full.
int bt_push(btree_HANDLE* t, uint32_t pgno, uint32_t index);
// Inserts a slot at idx for an entry of esize bytes; its offset.
uint32_t bt_insert_slot(uint8_t* p, uint32_t idx, uint32_t esize);
// Removes entry idx and its slot, closing the gap.
void bt_remove_entry(uint8_t* p, uint32_t idx);

// --- Split (btree_split.cpp) -------------------------------------------------------

// A new entry to place.
struct bt_NEWENT {
  const uint8_t* key = nullptr;
  uint32_t ksize = 0;
  uint32_t word2 = 0;  // data length (leaf) or child page (internal)
  const uint8_t* data = nullptr;
  uint32_t dsize = 0;
  uint32_t size = 0;   // aligned entry size
};
// Inside a transaction, before anything changes: claims every parent on the
// stack that a split of page h (pinned) to place an entry with a key of
// ksize bytes may change. 0, or -1 as bt_advisory_take.
int bt_claim_split_path(btree_HANDLE* t, const uint8_t* h, uint32_t ksize);
// Splits page h (pinned, writable) that lacks room for ent at index skip and
// places ent; walks the parent stack. Releases h and every page it got. 0
// or -1.
int bt_split(btree_HANDLE* t, uint8_t* h, const bt_NEWENT* ent, uint32_t flags, uint32_t skip);
