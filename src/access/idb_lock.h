// idb_lock.h - the lock manager: every logical lock of the server (a whole
// database, one data set, or the records a lock descriptor names) in one
// queue in arrival order, with the statistics of the requests.
//
// Owner: this module owns the queue, its entries (with their copies of the
// descriptors) and the statistics; the sessions own their `s_lock_cnt`,
// which only this module changes.
//
// Context: tasks of the server thread holding one unit of the API lock;
// nothing else touches the queue, so it needs no lock of its own. Only
// idb__add_lock suspends: a waiting request gives its unit of the API lock
// back, sleeps on its entry naming the blocker's task (the kernel's
// deadlock walk sees it), and takes a unit again before it returns. The
// wait may be cut short (a deadlock, a closing connection, shutdown): the
// request then leaves the queue and answers S_DEADLK.
//
// Rules that keep the queue sound (see README.md, "Lock manager"):
//  - a waiting entry is granted only when no granted or held-back entry
//    anywhere in the queue, and no waiting entry before it, conflicts;
//  - every removal of an entry, waiting ones included, runs the wake-up;
//  - two descriptor entries on one item conflict when their value ranges
//    meet (= 5 and = 6 do not; = 6 and <= 10 do).
#pragma once
#include <cstdint>

#include "base/task_kernel.h"

struct idb_session;
struct db_ctx;
struct vglobal;

enum : int32_t { LockQueue_GRANTED = 1, LockQueue_BLOCKED = 2, LockQueue_PENDING = 3 };

struct lock_entry {
  int32_t l_stat;
  idb_session* session;
  Task* task;  // the session's task that asked (named to the deadlock walk)
  vglobal* db;
  db_ctx* ctx;
  int32_t kind;  // 2, 4, 6, 12, 14 or 16
  uint64_t block_tick;  // ms tick when it began to wait; 0 otherwise
  WaitQueue wait;
  lock_entry* next;
  lock_entry* prev;
  int32_t set;      // set kinds: the set's 0-based position
  uint32_t* descr;  // descriptor kinds: owned copy, its word count first
};

struct idb_lock_stats {
  uint32_t requests, shared, exclusive, granted, conflicts, refused, wait_ticks;
};

// Configuration (section Config): LockConflictingItems and
// AllowSecondaryBlockingLock; both 0 until set.
void idb__set_lock_config(int32_t lock_conflicting_items, int32_t allow_secondary_blocking_lock);

// Asks for a lock of mode (1 to 6, 11 to 16) in the open context ctx. The
// qualifier: set modes, qualifier[0] the set's 0-based position; descriptor
// modes, the parsed descriptor (its word count n, then n words), copied;
// database modes, unused. 0 granted (after a wait for odd modes); a
// conflict code 20 to 25 (even modes); -135 (an odd mode that may not
// wait); -1 with the session's error set (S_LOCKDB, S_DEADLK).
int idb__add_lock(idb_session* s, db_ctx* ctx, int32_t mode, const uint32_t* qualifier);
// Releases the session's locks of ctx that mode and qualifier name (held
// back instead inside a transaction). The number matched, or -1.
int idb__del_locks(idb_session* s, db_ctx* ctx, int32_t mode, const uint32_t* qualifier);
// Drops every entry of an open context (close) or of a session (its end).
void idb__del_db_locks(idb_session* s, db_ctx* ctx);
void idb__del_session_locks(idb_session* s);
// Drops the session's held-back entries (commit or rollback).
void idb__del_tx_locks(idb_session* s);
// Whether another session's lock covers a record of set setno: 0 none,
// -12 covered, -1 with S_LOCKDB. entries[i].item and offsets[i] describe
// entry i of the record.
struct idb_entry;
int idb__chk_rec_lock(idb_session* s, db_ctx* ctx, int32_t setno, int32_t entry_cnt,
                      const idb_entry* entries, const uint32_t* offsets, const uint8_t* record);

// The head of the queue (walk `next`) and the statistics.
const lock_entry* idb__get_lock_list();
idb_lock_stats idb__get_lock_stats();
// The conflict code of a request e against another entry h of the queue
// as the queue tests it (0 none, 20 to 25, -2 values that cannot be
// compared); for checks of the queue's invariants.
int idb__lock_conflict(const lock_entry* e, const lock_entry* h);
// Tests: forget the statistics (the queue must be empty).
void idb__reset_lock_stats();
// One line of the lock list: "%-10p %3d %-16.16s %4d %-7.7s %4d %s\n"
// (session, task, database, dbid, state, kind, qualifier). The line's length.
int idb__format_lock_line(const lock_entry* e, char* buf, int size);
// One entry of a lock descriptor as the lists show it: its sets (0-based),
// its item (0: the entry locks whole sets, or with no sets the whole
// database), and for an item the operator, the value's type letter and
// length and the words that hold it.
struct idb_descr_entry {
  uint32_t nsets;
  const uint32_t* sets;
  uint32_t item;
  uint32_t op;
  char type;
  uint32_t vlen;
  const uint32_t* value;
  uint32_t value_words;
};
// Reads the entry at *pos (1 for the first) of descriptor w (its word count
// first, then the entries {count, set count, sets, item, then for an item
// operator, type << 16 | length, value words}): 1 with *e filled and *pos
// past it, 0 at the end, -1 when the entry does not hold together.
int idb__descr_entry_next(const uint32_t* w, uint32_t* pos, idb_descr_entry* e);
// "GRANTED", "BLOCKED", "PENDING" or "?".
const char* idb__lock_state_name(int32_t l_stat);
