// idb_rec.h - one media record of a set by record number, and the master
// entry of a key: the access layer's reads and rewrites of the record file
// and the master-key B-tree, with the storage engine's record states
// turned into the access layer's condition codes.
//
// Record states (the record file's last status after a read or rewrite
// that found nothing):
//
//   state                      idb__read_rec        idb__write_rec
//   3 record number 0          S_DIRBOF, sub 3      S_NOREC, sub 3
//   4 past the last record     S_DIREOF, sub 4      S_NOREC, sub 4
//   2 no record at the number  S_NOREC, sub 2       S_NOREC, sub 2
//   any other failure          S_VOLFREC, the lower status as sub-code
//
// Context: the session's task on the server thread. The set's record-file
// node must be open for the command (idb_cmd.h); each call may suspend in
// the node lock and the buffer cache. A cached read allocates nothing and
// makes no system call. Failures set the session's error record and
// return -1.
#pragma once
#include <cstdint>

#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "index/btree.h"

// The only flag of idb__read_rec: also take the record as an advisory lock
// of the session's transaction (its adv_locks list). Another transaction
// holding the record fails the read with S_VOLFREC and records the holder
// in the session's blocking record (the command transaction waits for it).
inline constexpr uint32_t GET_MODE_LOCKED = 1;

// Reads record recno of set into buffer (len bytes, at least the media
// length) as the session's transaction sees it. 0 or -1.
int idb__read_rec(idb_session* s, uint32_t flags, const idb_set* set, uint32_t recno,
                  uint8_t* buffer, uint32_t len);
// Rewrites record recno (held through a locked read) with buffer under the
// session's transaction node: a logged update. 0 or -1.
int idb__write_rec(idb_session* s, const idb_set* set, uint32_t recno, const uint8_t* buffer,
                   uint32_t len);
// The record number of the master entry whose key (the size of the set's
// first entry's item, read from key) is stored in the master-key B-tree of
// set ('M' or 'A'). Not found: S_NOREC (sub-code 0); another B-tree failure
// S_BTREE. The handle is closed on every path. 0 or -1.
int idb__master_lookup(idb_session* s, const global* g, const idb_set* set, const void* key,
                       uint32_t* recno);

// The record state behind a record-file call that answered 1 (not found):
// 2, 3 or 4 as in the table above; 0 for any other status.
int idb__rec_state();

// A B-tree step whose node lock could not be taken (RET_LOCKED) is tried
// again this many times, yielding first so that the holder runs and gives
// the lock back.
inline constexpr int IDB_BT_LOCK_TRIES = 10;
// btree_Seq with those retries: its result (RET_LOCKED after the last try).
int idb__bt_seq(btree_HANDLE* t, btree_DBT* key, btree_DBT* data, uint32_t op);

// The cursor of a detail set takes the chain links of media (the current
// record) on its path, unless it stands on an index or has no path.
void idb__cursor_links(set_ctx* c, const idb_set* set, uint8_t* media);
// The status of a record call that succeeded: [1] rec_len, [3] the current
// record, [5] 1 for masters, [7] and [9] the cursor's links, the rest 0;
// the session's error code becomes 0.
void idb__record_status(idb_session* s, const idb_set* set, const set_ctx* c, int32_t* status);
