// idb_update.h - DBUPDATE (intrinsic 406): replaces the current record of
// a manual master or a detail set with new contents, keeping its record
// number.
//
// Mode 1 takes only changes that leave the record's place alone; mode 2
// also moves a master's key (while it heads no detail record) and a
// detail record whose path values change to the chains of its new masters
// (automatic ones created, emptied ones removed). On a sorted path a
// change of the entries that order the chain counts as a change of the
// path: mode 1 refuses it, mode 2 moves the record to its place in the
// same chain. Every index entry whose key parts change is replaced, with
// the record's index word kept. The new contents are checked against other
// sessions' locks as well as the old ones. Everything runs in one command
// transaction ("DBUPDATE", idb_cmd.h): a refusal leaves nothing behind.
//
// Context: the session's task on the server thread under its unit of the
// API lock. Suspends in the record files, the B-trees (a yield between the
// retries of a taken node lock), the transaction log and the wait for a
// blocking transaction. Work buffers from the buffer cache's free list.
#pragma once
#include <cstdint>
#include <span>

#include "access/idb_session.h"
#include "access/schema_cache.h"

// DBUPDATE. set_ref (set_size bytes) names the set; list is not used;
// record holds the new user record (at least rec_len bytes: a shorter one
// answers -21, bytes beyond it are ignored). 0, or -1 with the status
// filled: besides the refusals of every changing call, 17 without a
// current record, -12 when another session's lock covers the old or the
// new record, 41 for a change mode 1 does not allow or a key change of a
// master with detail records, -804 for a master key that is there.
int idb_update(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
               const void* list, int list_size, std::span<const uint8_t> record, int32_t* status);

// Replaces the master key (masters) and each index entry of record recno
// whose key parts differ between old_media and new_media (new_media holds
// old_media's index word). A missing old or an existing new key answers
// S_BTREE with sub-code 0. 0 or -1.
int update_index(idb_session* s, const idb_set* set, uint32_t recno, const uint8_t* old_media,
                 const uint8_t* new_media);
