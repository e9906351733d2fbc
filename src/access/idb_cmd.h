// idb_cmd.h - what one database call works within: the nodes it has
// opened, the B-tree handles it opens with the access layer's key
// callbacks, and the command transaction that wraps every modifying call
// (put, update, delete, erase) with its rollback and its wait-and-retry.
//
// The command transaction (idb__run_cmd): begin on the session's
// transaction node; the work between a check that no advisory lock is held
// and the release of every advisory lock it took; commit (only a
// pre-commit inside a client's own transaction). Work that fails is rolled
// back; when a lower layer recorded in the session that another session's
// open transaction held what it needed, the command waits on that
// transaction's log node until it ends and runs again, as often as it
// takes: each round follows a completed wait. A wait that would close a
// cycle of waiting sessions answers S_DEADLK. A rollback that fails is an
// internal inconsistency and stops the server ("Internal rollback failed").
//
// Context: the session's task on the server thread, under its unit of the
// API lock. Suspends in the transaction log (begin, commit, rollback), in
// node opens, in whatever the work does, and in the wait for a blocking
// transaction (sleep_on_task through Node_Wait: the kernel's deadlock
// check applies; it may be cut short, which fails the command).
#pragma once
#include <cstdint>

#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "index/btree.h"

// A B-tree handle on node in the session's B-tree context with the
// access layer's compare and prefix callbacks (argument arg). A node of
// none (a set or index not created) answers S_NOTFOUND; a failed open
// S_BTREE with the lower status. 0 or -1.
int idb__bt_open(idb_session* s, Node* node, void* arg, btree_HANDLE** out);
void idb__bt_close(idb_session* s, btree_HANDLE* handle);

// Opens the set's table node and appends it to the node list: a set
// without one answers S_NOTFOUND; a failed open S_VOLNODE. 0 or -1.
int idb__add_node(idb_session* s, const idb_set* set);
// With first set the list must be empty.
int idb__open_node(idb_session* s, const idb_set* set, int first);
// Opens the table nodes of the count sets setno[] in order; at the first
// failure closes those opened, newest first, and returns -1 with the list
// empty.
int idb__open_nodes(idb_session* s, const global* g, int count, const int* setno);
// The set and the related set of each of its paths, in path order.
int idb__open_set_nodes(idb_session* s, const global* g, int setno);
void idb__close_node(idb_session* s, Node* node);
void idb__close_nodes(idb_session* s);

// The set's table node as the open context c holds it: the first call
// references it and keeps it until idb__release_held_nodes; a set whose
// node changed since (erased, purged, created anew) drops the old
// reference first. The node, or none with S_NOTFOUND or S_VOLNODE in the
// session's record.
Node* idb__held_node(idb_session* s, set_ctx* c, const idb_set* set);
// Drops every reference the context's sets hold (its close; and before an
// erase, purge or create, which need the nodes unreferenced). May suspend.
void idb__release_held_nodes(db_ctx* ctx);

// The command transaction's steps.
inline constexpr uint32_t IDB_CMD_TXID = 1;
int idb__begin_cmd(idb_session* s, const char* name);
int idb__commit_cmd(idb_session* s);
int idb__rollback_cmd(idb_session* s);
void idb__chk_no_blocking(const idb_session* s);
// c (nonzero): c when no other transaction is to blame; 0 to run again
// (the blocking transaction ended, or its record is gone); -1 with
// S_DEADLK when the wait was refused or cut short.
int idb__wait_blocking(idb_session* s, int32_t c);

// The work of a command: 0 done, else a code (-1: the session's record).
using idb_CMD_WORK = int32_t (*)(idb_session* s, void* arg);
// Runs work in a command transaction named name ("DBPUT", "DBUPDATE",
// "DBDELETE", "DBERASE"). 0 committed, or the code to end the intrinsic
// with (idb__fail_status); the blocking record is empty on return.
int32_t idb__run_cmd(idb_session* s, const char* name, idb_CMD_WORK work, void* arg);
