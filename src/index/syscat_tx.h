// syscat_tx.h - the catalog inside a transaction: the table lock (the
// node log-record entry with key 0 of the table's node), the VMETA, CREATE
// and DELETE records of log opcode 17 on the transaction's LOG chain, and
// the registration of the catalog's handlers with the transaction log.
//
// The table lock belongs to one transaction at a time. Its entry's log
// position names the transaction's latest VMETA record of the table (none
// until the first is written); its state word counts the holds the
// transaction's calls have open on it (a typed function holds it around
// the core operations, which take it again), so the entry leaves the hash
// only when the last hold ends and nothing was logged under it. An entry
// with a logged VMETA stays until the transaction's final commit or
// rollback ends it.
//
// Context: tasks of the server thread. SysCat_TableLock may suspend the
// task while another transaction owns the table (see below); nothing else
// here suspends but the log's own node lock and pool I/O.
#pragma once
#include <cstdint>

#include "index/syscat.h"
#include "index/syscat_format.h"

struct Node_LOG_REC;

// Takes entry's table lock for tx. The caller holds the table node's lock
// in mode node_lock (1 write, 2 shared). While another transaction owns the
// table, the node lock is given back, the task waits on the owner's log
// node until that transaction ends, and takes the node lock again in the
// same mode. Without a transaction nothing is taken (*lock none), but a
// write (node_lock 1) still waits for a transaction that owns the table,
// so a change outside transactions never lands under one it would undo.
// 0 with the node lock held; -1 with the node lock given back: the wait was
// cut short (VOL E027), the log is off while tx is given (SC E001), or the
// owner is the calling task itself (SC E001: it would wait for itself).
int SysCat_TableLock(SysCat_MAP* entry, Node* tx, int node_lock, Node_LOG_REC** lock);
// Ends one hold of the lock; the entry goes when no hold is left and no
// record was logged under it. None does nothing.
void SysCat_TableUnlock(Node_LOG_REC* lock, Node* tx);
// The latest VMETA record the lock names (44 bytes, opcode 1; anything
// else is fatal: the transaction cannot go on). 0.
int SysCat_ReadVmetaRecord(Node_LOG_REC* lock, SysCat_RECORD* rec);
// A record of opcode 17 on tx's LOG chain, owned by owner (VMETA: the
// table node; CREATE and DELETE: none); a VMETA record becomes the lock's
// latest. 0 or -1 (the log's status).
int SysCat_WriteRecord(Node* tx, Node* owner, const SysCat_RECORD& rec, Node_LOG_REC* lock);
// The record a handler of opcode 17 was given: 0, or Tlog_DAMAGED for an
// opcode of no record (logged as who's "unknown opcode") or a size not its.
int SysCat_DecodeLogged(const char* who, Node* node, const void* data, uint32_t size,
                        SysCat_RECORD* rec);
