// idb_key.h - index keys: building a key from a media record by its key
// definition, and the compare and prefix callbacks that idb__bt_open
// installs on every B-tree handle of the access layer.
//
// The callbacks run in every step of every descent: no state, no
// allocation, no suspension. Their argument is the index's collating
// sequence (`const idb_coll*`), none for a master key or an index without
// one. Both define total orders: see README.md ("Keys").
#pragma once
#include <cstdint>

#include "index/btree.h"

// Key types of a key part (`kp_type`).
enum {
  IDB_KT_CHAR = 1,     // characters: collating sequence, else unsigned bytes
  IDB_KT_INT16 = 6,    // machine byte order, signed
  IDB_KT_INT32 = 7,
  IDB_KT_FLOAT = 10,   // numeric; NaN after every number, -0 equal to 0
  IDB_KT_DOUBLE = 11,
  IDB_KT_BYTES = 17,   // unsigned bytes
};

// k_flags bit 0 (BT_KREV2) on an access-layer key definition: the parts are
// typed and compare by idb__bt_cmp, each part ascending; nothing sorts
// reversed.
inline constexpr uint32_t IDB_KTYPED = BT_KREV2;

struct global;
struct idb_set;
struct idb_iitem;

// The key definition of a master's key tree: one typed part over the set's
// first entry.
btree_KEYDEF idb__master_keydef(const global* g, const idb_set& set);
// The key definition of index item ii's tree on set: a typed part per
// segment, then the set's index word (the record number) that makes every
// key unique. Every segment's item must be an entry of the set.
btree_KEYDEF idb__index_keydef(const global* g, const idb_set& set, const idb_iitem& ii);
// True when a and b have the same parts (start, length, type) and length:
// a tree built by one is read by the other.
bool idb__keydef_same(const btree_KEYDEF& a, const btree_KEYDEF& b);

// The key's length (`k_len`).
uint32_t idb__key_len(const btree_KEYDEF* keydef);

// Copies each part's bytes from record + kp_start into to, one part after
// the other; returns the key length. to must hold the parts (to_l at least
// their sum). The record must hold every part.
uint32_t idb__build_key(const btree_KEYDEF* keydef, uint8_t* to, uint32_t to_l,
                        const uint8_t* record);

// Negative, 0 or positive as a sorts before, equal to or after b. Untyped
// (no key definition or bit 0 clear): unsigned bytes, the shorter first.
// Typed: part by part; a key used up sorts before a longer one.
int idb__bt_cmp(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b, void* coll);

// For a sorting before b: a length n <= b's size such that the first n
// bytes of b sort after a and not after b. Never cuts inside a number or
// a collated part.
uint32_t idb__bt_pfx(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                     void* coll);
