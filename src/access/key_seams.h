// key_seams.h - the key compare and prefix callbacks that idb__bt_open
// installs on every B-tree handle of the access layer.
//
// NOT YET BUILT: the typed compare by item type and collating sequence
// (`idb__bt_cmp`, `idb__bt_pfx`) comes with key building. Until then these
// seams compare and cut keys as unsigned bytes, the B-tree's own default,
// and ignore their argument (README.md, "Not yet built").
#pragma once
#include <cstdint>

#include "index/btree.h"

int idb__bt_cmp(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b, void* arg);
uint32_t idb__bt_pfx(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                     void* arg);
