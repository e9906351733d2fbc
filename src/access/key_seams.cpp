// key_seams.cpp - stand-ins for the typed key callbacks (see key_seams.h).
#include "access/key_seams.h"

int idb__bt_cmp(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b, void* arg) {
  return btree_DefaultCompare(keydef, a, b, arg);
}

uint32_t idb__bt_pfx(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                     void* arg) {
  return btree_DefaultPrefix(keydef, a, b, arg);
}
