// btree_compare.cpp - key order: the default compare and prefix callbacks,
// and the compare of a search key with an entry of a page (with the rule
// that the first entry of a level's leftmost internal page is smaller than
// every key).
//
// No state, no suspension, no allocation: these run in every step of
// every descent.
#include <cstring>

#include "base/panic.h"
#include "index/btree_internal.h"

int btree_DefaultCompare(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                         void*) {
  ZENT_ASSERT((keydef == nullptr || !(keydef->k_flags & BT_KREV2)) &&
              "!bk || !(bk->k_flags & BT_KREV2)");
  const uint32_t n = a->size < b->size ? a->size : b->size;
  if (n != 0) {
    const int c = memcmp(a->data, b->data, n);
    if (c != 0) return c;
  }
  return static_cast<int>(a->size) - static_cast<int>(b->size);
}

uint32_t btree_DefaultPrefix(const btree_KEYDEF*, const btree_DBT* a, const btree_DBT* b, void*) {
  const auto* pa = static_cast<const uint8_t*>(a->data);
  const auto* pb = static_cast<const uint8_t*>(b->data);
  const uint32_t n = a->size < b->size ? a->size : b->size;
  for (uint32_t i = 0; i < n; ++i)
    if (pa[i] != pb[i]) return i + 1;
  return a->size < b->size ? a->size + 1 : a->size;
}

btree_DBT bt_entry_key(const uint8_t* p, uint32_t i) {
  const uint32_t off = bt_entry_off(p, i);
  return btree_DBT{const_cast<uint8_t*>(bt_e_key(p, off)), bt_e_ksize(p, off)};
}

int bt_cmp(const btree_HANDLE* t, const btree_DBT* key, const uint8_t* p, uint32_t i) {
  if (i == 0 && bt_prev(p) == 0 && !bt_is_leaf(p)) return 1;
  const btree_DBT b = bt_entry_key(p, i);
  return t->compare(&t->keydef, key, &b, t->arg);
}

int bt_cmp_partial(const btree_HANDLE* t, const btree_DBT* key, const uint8_t* p, uint32_t i) {
  if (i == 0 && bt_prev(p) == 0 && !bt_is_leaf(p)) return 1;
  btree_DBT b = bt_entry_key(p, i);
  if (key->size < b.size) b.size = key->size;
  return t->compare(&t->keydef, key, &b, t->arg);
}
