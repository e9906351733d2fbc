// idb_get.h - DBGET (intrinsic 405): reads one record of a set into the
// client's buffer and moves the set's cursor: serially, by record number,
// along the detail chain or index range that DBFIND selected, by master
// key, or along the positioned index.
//
// The cursor (`set_ctx` of the open database) keeps the current record,
// its chain links and, for index reads, the current key, so the next read
// continues from there. Index steps share the rules of the chain's key
// range with DBFIND (idb__chain_key below).
//
// Context: the session's task on the server thread under its unit of the
// API lock. A read suspends in the record file's node lock and the buffer
// cache, and yields between the retries of a taken B-tree node lock. A
// cached read by record number makes no system call; its work buffer comes
// from the buffer cache's free list, but opening the set's record file for
// the read allocates (the node's meta data and the file's cluster state)
// while no one else holds the file open.
#pragma once
#include <cstdint>
#include <span>

#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "index/btree.h"

// DBGET. set_ref (set_size bytes) names the set; list is not used (the
// whole user record is read); buffer takes rec_len bytes; arg is mode 4's
// record number (4 bytes, host order) or mode 7's key (at least the key
// item's size). 0, or -1 with the status filled: -11 unknown dbid, -21 an
// unknown set, no access, a buffer shorter than rec_len or an argument
// shorter than the mode needs, -31 a mode that is not one of 1-7, 15, 16.
int idb_get(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
            const void* list, int list_size, std::span<uint8_t> buffer,
            std::span<const uint8_t> arg, int32_t* status);

// Where a key stands against the chain of a cursor's argument (its first
// arg_len key bytes).
enum idb_chain_pos {
  IDB_CHAIN_IN,     // begins with the argument's bytes
  IDB_CHAIN_OTHER,  // collates equal to the argument with other bytes: step over it
  IDB_CHAIN_END,    // a number equal to the argument's with other bytes (-0 and 0):
                    // the range ends there, as at a key without the argument's bytes
  IDB_CHAIN_BEFORE, // sorts before the argument
  IDB_CHAIN_AFTER,  // sorts after it
};
idb_chain_pos idb__chain_key(const set_ctx* c, const btree_KEYDEF* keydef, void* coll,
                             const btree_DBT* key);

// A step whose cursor another session's change invalidated is sought
// again from its key at most this many times in one call.
inline constexpr int IDB_CURSOR_TRIES = 10;

// The key after k (n bytes) forward, or before it backward, whether k is
// still stored or not: a seek for k, then one step; backward with nothing
// at or after k, the last key. RET_SUCCESS with the key and data, RET_SPECIAL
// at the end, or the failure (RET_CURSOR after IDB_CURSOR_TRIES seeks).
int idb__step_from(btree_HANDLE* t, const uint8_t* k, uint32_t n, bool forward, btree_DBT* key,
                   btree_DBT* data);

// The B-tree of cursor index number index (1 master key, n >= 2 index
// n - 2) of set, with the collating sequence its callbacks take.
Node* idb__index_node(const idb_set* set, int32_t index, void** coll);
