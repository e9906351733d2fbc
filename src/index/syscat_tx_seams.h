// syscat_tx_seams.h - what the catalog asks of the transaction log. NOT
// YET BUILT: the log's records, its node log-record hash (the table lock
// is the record with key 0 of the table's node) and its handler tables
// come with the transaction log. Until then no transaction node exists and
// no caller passes one; a call that gets one all the same refuses (log
// line, SC E001) rather than change a table outside the transaction it
// names:
//
//   - SysCat_TableLock: take the table's lock record for tx, waiting while
//     another transaction owns it (giving the node lock back meanwhile and
//     taking it again in the same mode; a wait cut short is VOL E027);
//   - SysCat_TableUnlock: drop the record when nothing was logged under it;
//   - SysCat_ReadVmetaRecord: the latest VMETA record the lock names;
//   - SysCat_WriteRecord: a record of opcode 17 on tx's channel 1 (a VMETA
//     record becomes the lock's latest);
//   - SysCat_Commit and SysCat_Rollback (syscat.h): the pre-commit and
//     roll-back handlers, which need the records and the lock hash.
//
// Outside a transaction (tx none) the lock calls do nothing and succeed.
// SysCat_FinalCommit needs no log and is built (syscat_log.cpp).
//
// Context: the server thread.
#pragma once
#include <cstdint>

#include "index/syscat.h"
#include "index/syscat_format.h"

struct Node_LOG_REC;

// node_lock: the node lock this task holds on the table (1 write, 2 read).
int SysCat_TableLock(SysCat_MAP* entry, Node* tx, int node_lock, Node_LOG_REC** lock);
void SysCat_TableUnlock(Node_LOG_REC* lock, Node* tx);
int SysCat_ReadVmetaRecord(Node_LOG_REC* lock, SysCat_RECORD* rec);
int SysCat_WriteRecord(Node* tx, Node* owner, const SysCat_RECORD& rec, Node_LOG_REC* lock);
