// idb_create.h - database create, purge and erase: the storage of a
// database's data sets (a fixed-size record file per set, a B-tree for a
// master's key and one per index) made, taken away or emptied, with the
// catalog kept in step (the node ids in systables, sysindex and
// systableindex; a sysobjects row per node, named after its table or
// "SET.ITEM", linked to the database's catalog node).
//
// Create and purge work inside the caller's command transaction: node
// creation is logged (a rollback deletes the new nodes), node deletion is
// deferred to the final commit. Erase empties the index trees first and
// then the record file, outside any transaction, and resets the chain
// heads of the masters a detail set's paths lead to in transactions of 25
// records: an erase cut short by a failure or a crash leaves no index key
// naming a record number a later put may reuse, and running it again
// completes it.
//
// Context: the session's task on the server thread, the database open in
// mode 13 (no other session has it open). Everything here may suspend in
// the catalog, the node layer, the B-tree and the record file; erase also
// waits for a record another transaction holds, and yields after every
// commit.
#pragma once
#include <cstdint>
#include <string>

#include "access/idb_session.h"

struct Node;

// Every erase transaction rewrites at most this many records.
inline constexpr int IDB_ERASE_BATCH = 25;

// The sysobjects name of an index node: "SET.ITEM", both names up to their
// first blank, the item being a master key's item (the set's first entry)
// or the index item. Create and restore both name the nodes with it.
std::string idb__index_node_name(const char* set_name, const char* item_name);

// 0, 17 when the set already has a record file, -1 with the session's error.
int idb__create_set(idb_session* s, db_ctx* ctx, int setno, Node* tx);
// Purges every set that has storage, then the database's catalog storage;
// ctx is closed on every road. A set that fails stops the purge (the
// caller rolls its transaction back). 0 or -1.
int idb__purge_db(idb_session* s, db_ctx* ctx, Node* tx);
// 0, 2 when the set has no storage, -1.
int idb__purge_set(idb_session* s, db_ctx* ctx, int setno, Node* tx);
int purge_set(idb_session* s, db_ctx* ctx, int setno, Node* tx);
int purge_node(idb_session* s, Node* node, Node* tx);
// erased: one byte per set, nonzero for the sets this erase empties (none:
// a detail's masters are left as they are). 0, 2 when the set has no
// storage, -1.
int idb__erase_set(idb_session* s, db_ctx* ctx, int setno, const uint8_t* erased);
// Zeroes path k's chain head in every record of master setno. 0, 2 when
// the master has no storage, -1.
int erase_path(idb_session* s, db_ctx* ctx, int setno, int k);
