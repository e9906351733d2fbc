// pool.h - pools of variable-size blocks.
//
// A pool is a node (flag Node_POOLNODE, cluster size 1) that stores blocks
// of 1 to 65516 bytes inside clusters of 1 to 8 consecutive pages. A block
// is named by its Node_ADDR {cluster, offset of its header, size asked
// for}, which stays valid until the block is freed. Blocks of a cluster lie
// end to end after the 12-byte cluster head, each an 8-byte header and its
// payload; a block's next distance is its size + 8 but for the last one.
// Free blocks are merged with free neighbours and kept on the pool's free
// list (node_flist.h); a cluster whose last block is freed is freed. Chained
// FIFO pools, the transaction log's, are fpool.h. See README.md ("Pools").
//
// Inside a transaction (tx, the transaction's log node) the touched pages
// are changed on redirected copies on the LOG volume, each change logged as
// a pool record (opcode 18); the handlers below install or discard them at
// commit and rollback. A block freed in a transaction stays on the
// transaction's own free list until it ends. A page held by another open
// transaction makes the operation give up the node lock, wait until that
// transaction ends, and start again.
//
// Context: the server thread. The caller holds the pool's node lock (the
// system pool takes it itself, syspool.h). An operation keeps at most 8
// pages pinned and releases them before it returns; it may suspend its
// task in the buffer cache, where the volume set allocates or flushes, and
// (in a transaction) while it waits for another transaction — that wait may
// be cut short (status 27).
//
// Failures return -1 (or, for reads and writes, -1 instead of a count) with
// the status set: VOL E006 for a size over 65516, E020 when no page is
// left, E027 when a wait was cut short. Inconsistent headers are fatal, but
// in the Defensive variants.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/pool_format.h"

enum { Pool_E_SIZE = 6 };  // status (module VOL, severity E) of a size over the largest block

// New pool nodes: a data pool, a log pool, a system pool on the log root
// (system_node_id > 0), each through Pool_DoCreate (log: on the log root).
// The node, or none.
Node* Pool_Create();
Node* Pool_CreateLog();
Node* Pool_SysCreateLog(uint32_t system_node_id);
Node* Pool_DoCreate(uint32_t system_node_id, int log);

// A block of size (1..65516) bytes; *addr names it. Its contents are
// undefined. 0 or -1.
int Pool_Alloc(Node* node, uint32_t size, Node_ADDR* addr, Node* tx);
// Changes the size of the block *addr names: a larger one is a new block
// (contents not carried over, *addr the new address), a smaller one keeps
// its place and gives the rest back. 0 or -1.
int Pool_ReAlloc(Node* node, uint32_t size, Node_ADDR* addr, Node* tx);
// Frees the block (it must be in use). 0 or -1.
int Pool_Free(Node* node, Node_ADDR* addr, Node* tx);
// Pool_Free outside any transaction; a block not in use is left alone: 1.
int Pool_DefensiveFree(Node* node, Node_ADDR* addr);

struct Pool_IOVEC {
  void* buf;
  uint32_t size;
};

// Transfers min(size, addr->size) bytes from the start of the block and
// returns that count, or -1.
int Pool_Read(Node* node, const Node_ADDR* addr, void* buffer, uint32_t size, Node* tx);
int Pool_Write(Node* node, const Node_ADDR* addr, const void* buffer, uint32_t size, Node* tx);
// Pool_Read that gives -1 for a header that does not fit instead of stopping.
int Pool_DefensiveRead(Node* node, const Node_ADDR* addr, void* buffer, uint32_t size, Node* tx);
// The same over segn (> 0) segments laid one after another.
int Pool_ReadV(Node* node, const Node_ADDR* addr, const Pool_IOVEC* vec, int segn, Node* tx);
int Pool_WriteV(Node* node, const Node_ADDR* addr, const Pool_IOVEC* vec, int segn, Node* tx);
// Overwrites elsize bytes at offset inside the block (offset + elsize must
// not pass its size). The bytes written, or -1.
int Pool_ReplaceElement(Node* node, const Node_ADDR* addr, uint32_t offset, const void* element,
                        uint32_t elsize, Node* tx);

// Puts a free block on the pool free list, or inside a transaction on its
// own list (logged). 0 or -1.
int Pool_AddItemToFlist(Node* node, const Node_ADDR* item, Node* tx);

// Handlers of log opcode 18 for the pre-commit, final-commit and rollback
// tables: node, the record's 28 bytes, the record's position. 0 or -1.
int Pool_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int Pool_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int Pool_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
// Redo of a record whose node was deleted later: the pages it gave up (and
// its copy) are freed; nothing else of it applies.
int Pool_RedoOfGone(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);

// The cluster size a new cluster for a block of size gets, from the node's
// average block size: enough for the block, about 64 average blocks, at
// most 8 pages. 0 for a size no cluster can hold.
int Pool_ClusterPages(const Node* node, uint32_t size);
