// btree_tx_seams.h - the B-tree's page access inside a transaction. NOT YET
// BUILT: it needs the transaction log (log records, shadow pages in the LOG
// volumes, the node log-record hash, the handler tables), which comes with
// a later step. What it will do, and what the rest of the B-tree already
// relies on:
//
//   - btree_TxGet: the page as this transaction sees it (its latest shadow,
//     else the home page);
//   - btree_TxPut: release; a dirty release checks the page's latest record
//     belongs to the current sub-transaction;
//   - btree_TxLock: the first change of a page in a sub-transaction makes a
//     shadow page and writes an opcode-16 record (BT_TX_UpdPage); a page
//     held by another transaction is a conflict (wait recorded, -1);
//   - btree_TxNew / btree_TxFree: a new page as a shadow with a
//     BT_TX_NewPage record; a freed page with a BT_TX_FreePage record;
//   - btree_TxAdvisoryTake / btree_TxReleaseAdvisory: the advisory records
//     of a write descent, kept in the context's lrec array.
//
// Until then every call refuses (log line, BT E001): a session is never
// inside a transaction before the log exists, and one that claims to be
// (a context with a tx_node) gets an error, never an in-place change.
// Pages never come out of btree_TxGet, so btree_TxPut cannot be reached.
//
// Context: the server thread.
#pragma once
#include <cstdint>

struct btree_HANDLE;
struct btree_CTX;

uint8_t* btree_TxGet(btree_HANDLE* t, uint32_t pgno);
void btree_TxPut(btree_HANDLE* t, uint8_t* page, uint32_t flags);
int btree_TxLock(btree_HANDLE* t, uint8_t** page);
uint8_t* btree_TxNew(btree_HANDLE* t, uint32_t* pgno);
int btree_TxFree(btree_HANDLE* t, uint8_t* page);
int btree_TxAdvisoryTake(btree_HANDLE* t, uint32_t pgno);
void btree_TxReleaseAdvisory(btree_CTX* ctx);
