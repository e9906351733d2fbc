// btree_tx.h - the B-tree's page access inside a transaction (btree_tx.cpp)
// and the handlers of its log records (btree_txlog.cpp); internal to
// src/index. btree_page.cpp calls the page access when the session's context
// names a transaction node and the log is on.
//
// Context: the server thread, under the node lock of the running operation.
#pragma once
#include <cstdint>

#include "index/btree_format.h"

struct btree_HANDLE;
struct Node;

// The page as this transaction sees it: its latest shadow, else the home
// page; pinned. None (BT E001) when the cache fails. *read_at (when given)
// is the address pinned, the one a release names.
uint8_t* btree_TxGet(btree_HANDLE* t, uint32_t pgno, uint32_t* read_at = nullptr);
// Releases a page; a dirty one must be this sub-transaction's shadow.
void btree_TxPut(btree_HANDLE* t, uint8_t* page, uint32_t flags);
// Makes a pinned page writable in this sub-transaction: its first change
// here moves the buffer to a new shadow page with a BT_TX_UpdPage record.
// 0, or -1 with nothing changed: no open transaction, no LOG space, or the
// page held by another transaction (then the node lock is given back and
// the wait recorded).
int btree_TxLock(btree_HANDLE* t, uint8_t** page);
// A new page: its home page allocated, its buffer on a shadow page, a
// BT_TX_NewPage record. The shadow buffer, pinned; none (BT E001).
uint8_t* btree_TxNew(btree_HANDLE* t, uint32_t* pgno);
// Frees a page changed in this sub-transaction: a BT_TX_FreePage record;
// the shadow page goes. The pin goes in every case. 0 or -1.
int btree_TxFree(btree_HANDLE* t, uint8_t* page);
// The advisory record of a write descent for pgno. 0, or -1 after giving
// back the advisory records and the node lock, the wait recorded.
int btree_TxAdvisoryTake(btree_HANDLE* t, uint32_t pgno);
// Drops the advisory records of the operation that gained no change.
void btree_TxReleaseAdvisory(btree_HANDLE* t);
// Outside a transaction: 0 when pgno may be changed in place, -1 (BT
// E001) when an open transaction has changed it.
int btree_TxCheckOutside(btree_HANDLE* t, uint32_t pgno);

// The opcode-16 record at pos of tx's LOG; *txid its sub-transaction.
btree_TX_DATA btree_ReadTxRecord(Node* tx, const Node_ADDR& pos, uint32_t* txid);

// Installs the handlers below in the log's tables (pre-commit, final
// commit, rollback, and redo with the final-commit handler).
void btree_RegisterLogHandlers();
