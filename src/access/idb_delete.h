// idb_delete.h - DBDELETE (intrinsic 408): removes the current record of a
// manual master or a detail set; and the routines the changing calls share
// to take a detail record out of its chains (idb__unlink_chain), to bring
// its masters' counts, first and last up to date (idb__del_related) and to
// remove a record with its keys (idb__del_rec).
//
// A master goes only while all its chains are empty (S_CANTDEL). A detail
// is unlinked from every chain first; an automatic master whose chains
// all become empty goes with it. The deleted record's number stays the
// set's current record, so a serial read continues after it and a second
// delete answers S_NOREC. Everything runs in one command transaction
// ("DBDELETE", idb_cmd.h): a failure leaves nothing behind.
//
// Context: the session's task on the server thread under its unit of the
// API lock. Suspends in the record files, the B-trees (a yield between the
// retries of a taken node lock), the transaction log and the wait for a
// blocking transaction. Work buffers from the buffer cache's free list.
#pragma once
#include <cstdint>

#include "access/idb_session.h"
#include "access/schema_cache.h"

// DBDELETE. set_ref (set_size bytes) names the set. 0, or -1 with the
// status filled. Writes no call log line.
int idb_delete(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
               int32_t* status);

// Takes detail record recno (media as stored) out of the chain of each
// path, or of those whose word in path_mask is nonzero: its neighbours are
// linked to each other and rewritten. A neighbour that does not link back
// answers S_POINTER. The set's record file must be open. 0 or -1.
int idb__unlink_chain(idb_session* s, const idb_set* set, uint8_t* media, uint32_t recno,
                      const int32_t* path_mask);
// Brings the master of each selected path up to date for the detail record
// recno (media as it was linked) leaving its chain: count - 1, first and
// last past it. An automatic master whose counts all reach 0 is deleted,
// unless the path's word in keep_mask is nonzero (the record is about to
// be linked to the same master again). A master that is not there answers
// S_NOMASTER; counts or links that do not add up S_POINTER. The related
// sets' record files must be open. 0 or -1.
int idb__del_related(idb_session* s, const global* g, const idb_set* set, uint8_t* media,
                     uint32_t recno, const int32_t* path_mask, const int32_t* keep_mask = nullptr);
// Deletes record recno (media as stored) from its set's file, its master
// key (masters) and every index entry. A key that is not there answers
// S_BTREE with sub-code 0. The set's record file must be open. 0 or -1.
int idb__del_rec(idb_session* s, const idb_set* set, const uint8_t* media, uint32_t recno);
