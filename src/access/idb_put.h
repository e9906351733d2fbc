// idb_put.h - DBPUT (intrinsic 407): adds one record to a manual master or
// a detail set, with its master key, its index entries and, for a detail,
// its place in one chain per path; and the routines the changing calls
// share: storing a record with its keys (idb__put_rec), linking a detail
// record into its chains (idb__link_chain), the chain order
// (idb__cmp_entry) and the walk over a set's key trees
// (idb__each_key_tree).
//
// Everything a put changes runs in one command transaction ("DBPUT"): a
// refusal or failure leaves nothing behind, automatic masters created on
// the way included. Records met while linking are held by advisory locks of
// the session's transaction until the command ends; another session's open
// transaction on one of them makes the command roll back, wait for it and
// run again (idb_cmd.h).
//
// Context: the session's task on the server thread under its unit of the
// API lock. Suspends in the record files, the B-trees (a yield between the
// retries of a taken node lock), the transaction log and the wait for a
// blocking transaction. One work buffer each for the media record, the
// neighbours and the keys, from the buffer cache's free list.
#pragma once
#include <cstdint>
#include <span>

#include "access/idb_cmd.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "base/vbuf.h"
#include "index/btree.h"

// DBPUT. set_ref (set_size bytes) names the set; list is not used; record
// holds the user record (at least rec_len bytes: a shorter one answers
// -21, bytes beyond it are ignored). 0, or -1 with the status filled.
int idb_put(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
            const void* list, int list_size, std::span<const uint8_t> record, int32_t* status);

// Stores the media record (index word drawn first when the set has an
// index), its master key (masters) and every index key under the session's
// transaction. *recno the new record (0 on failure). A key that is there
// already answers S_DUPL. The set's record file must be open. 0 or -1.
int idb__put_rec(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                 uint32_t* recno);

// Links detail record recno (media, already stored) into the chain of each
// path, or of those whose word in path_mask is nonzero: after every record
// that compares equal on a sorted path, at the end of an unsorted one. A
// missing automatic master is created with count 1; a missing manual one
// answers S_NOHEAD + p + 1. The neighbours and masters are rewritten, then
// the record with its links. The related sets' record files must be open.
// 0 or -1.
int idb__link_chain(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                    uint32_t recno, const int32_t* path_mask);

// Orders records a and b of set by the entries from first to the set's
// last, each by its item's type: -1, 0 or 1.
int idb__cmp_entry(const global* g, const idb_set* set, int32_t first, const uint8_t* a,
                   const uint8_t* b);

// --- What the changing calls (put, update, delete) share -----------------------------------

struct db_ctx;

// The refusals of a changing call before its transaction, in their order:
// unknown dbid S_BADID; !mode_ok S_BADMODE; unknown set, no access or a
// record (when given) shorter than rec_len S_BAD; an automatic master -24;
// a database open for reading -14; read-only access -23. 0 with *ctx and
// *setno, or the code for idb__fail_status (-1: the session's record).
int32_t idb__change_refusals(idb_session* s, int32_t dbid, const void* set_ref, int set_size,
                             bool mode_ok, const std::span<const uint8_t>* record, db_ctx** ctx,
                             int* setno);
// Whether another session's lock covers user record rec of set setno: 0,
// -12, or -1 with the session's record set (another code of the lock
// manager is recorded as passed on).
int32_t idb__rec_lock_code(idb_session* s, db_ctx* ctx, int setno, const uint8_t* rec);

// Opens the nodes of a change of set setno for the command: the set's
// record file, and with masters those of the related set of each path.
// 0 or -1 with the node list empty.
int idb__open_change_nodes(idb_session* s, const global* g, int setno, bool masters);

// A detail record's links on path p {forward, backward}, and a master's
// path entry {count, first, last}, in a media record.
uint8_t* idb__link_of(const idb_set* set, uint8_t* media, uint32_t p);
uint8_t* idb__head_of(const idb_set* set, uint8_t* media, uint32_t p);

// A locked read of record recno that a chain link (code S_POINTER) or a
// master key (S_IMAGE) names: a number that leads nowhere answers code,
// other failures keep theirs. 0 or -1.
int idb__read_linked(idb_session* s, const idb_set* set, uint32_t recno, uint8_t* buf,
                     uint32_t len, int32_t code);
// A locked read of the current record recno that a call changes: a number
// before the first or past the last record answers S_NOREC (its sub-code
// kept), other failures keep theirs. 0 or -1.
int idb__read_current(idb_session* s, const idb_set* set, uint32_t recno, uint8_t* buf,
                      uint32_t len);

// Inserts {key of media by the tree's definition, recno} into t: 0,
// RET_SPECIAL when the key is there, or the B-tree's failure. The key
// stays in keybuf, its length in *key_len.
int idb__insert_key(btree_HANDLE* t, const btree_KEYDEF* kd, vbuf* keybuf, const uint8_t* media,
                    uint32_t recno, uint32_t* key_len);
// Deletes the key of media by the tree's definition from t: 0, RET_SPECIAL
// when it is not there, or the B-tree's failure.
int idb__delete_key(btree_HANDLE* t, const btree_KEYDEF* kd, vbuf* keybuf, const uint8_t* media);
// Opens the master-key B-tree of set and checks its one-part definition.
// 0 or -1 (S_BTREE).
int idb__open_master_tree(idb_session* s, const idb_set* set, btree_HANDLE** t);
// Runs step(t, index) on each B-tree that holds keys of set's records,
// opened in turn and closed after its step: the master keys of a master
// set (index -1), then every index. The first failure, an open's or a
// step's -1, ends the walk and is the answer; 0 when every step went.
template <class Step>
int idb__each_key_tree(idb_session* s, const idb_set* set, Step step) {
  int rc = 0;
  if (set->s.type == 'M' || set->s.type == 'A') {
    btree_HANDLE* t = nullptr;
    rc = idb__open_master_tree(s, set, &t);
    if (rc == 0) {
      rc = step(t, -1);
      idb__bt_close(s, t);
    }
  }
  for (uint32_t i = 0; rc == 0 && i < set->s.index_cnt; ++i) {
    btree_HANDLE* t = nullptr;
    rc = idb__bt_open(s, set->index[i].node, set->index[i].coll, &t);
    if (rc != 0) break;
    rc = step(t, static_cast<int>(i));
    idb__bt_close(s, t);
  }
  return rc;
}
