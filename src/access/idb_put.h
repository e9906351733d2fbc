// idb_put.h - DBPUT (intrinsic 407): adds one record to a manual master or
// a detail set, with its master key, its index entries and, for a detail,
// its place in one chain per path; and the routines the changing calls
// share: storing a record with its keys (idb__put_rec), linking a detail
// record into its chains (idb__link_chain) and the chain order
// (idb__cmp_entry).
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

#include "access/idb_session.h"
#include "access/schema_cache.h"

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
