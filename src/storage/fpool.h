// fpool.h - chained FIFO pools: the block chains of the transaction log.
//
// A chained pool is a pool node with Node_NO_ULIST whose clusters are
// linked by the prev and next words of their cluster heads; blocks are only
// ever appended at the end and cut off from the end, and the owner keeps
// the chain's anchor {head cluster, tail cluster, last block} (the log in
// its meta data). The last block's header holds in its size the whole room
// to the end of its cluster, so the next block can be split off it; the
// anchor keeps that block's own size. Blocks are read and written with the
// pool's calls (pool.h) without a transaction.
//
// Context: the server thread, under the owner's lock; calls may suspend in
// the buffer cache and the volume set. Failures: -1 with the status set
// (VOL E006 for a size over 65516, E020 for no space); the iterators give 1
// at the ends with status 4 (after the last block) or 3 (before the first),
// severity R. Inconsistent chains are fatal, but in the Defensive variants.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/pool.h"
#include "storage/pool_format.h"

// An iterator over a chain: its node and anchor, the current block and the
// neighbours of its cluster.
struct FPool_ITER {
  Node* node = nullptr;
  FPool_ANCHOR* anch = nullptr;
  uint32_t prev_cluster = 0;
  uint32_t next_cluster = 0;
  Node_ADDR addr;
};

enum { FPool_S_BEFORE_FIRST = 3, FPool_S_AFTER_LAST = 4 };  // statuses, severity R

void FPool_InitAnchor(FPool_ANCHOR* anchor);
int FPool_ValidAnchor(const FPool_ANCHOR* anchor);
// Turns an empty pool node into a chained one.
void FPool_SetNoUlist(Node* node);
// Appends a block of size bytes; *addr names it. 0 or -1.
int FPool_Alloc(Node* node, uint32_t size, Node_ADDR* addr, FPool_ANCHOR* anchor);
// Appends a block holding the segn segments of vec, written before the
// chain links to it: a link that reaches the disk (a write-through node's
// pages go at once) never names a block whose bytes are still to come.
int FPool_AllocWrite(Node* node, const Pool_IOVEC* vec, int segn, Node_ADDR* addr,
                     FPool_ANCHOR* anchor);
// Pages added (a new cluster) or, negative, freed (a truncation) by the
// latest FPool_Alloc or FPool_Truncate.
int32_t FPool_PageDelta();

// Positioning: 0 and iter->addr the block, or 1 at the end (addr cleared).
int FPool_First(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter);
int FPool_Last(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter);
int FPool_Next(FPool_ITER* iter);
int FPool_Prev(FPool_ITER* iter);
// First and Next for the log's validation pass: an inconsistent header or
// cluster link is logged and gives -1 instead of stopping the process.
int FPool_DefensiveFirst(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter);
int FPool_DefensiveNext(FPool_ITER* iter);

// Cuts the chain before the block at addr (none: the whole chain): it and
// every later block go, and every cluster after the new tail is freed at
// once. 0.
int FPool_Truncate(Node* node, const Node_ADDR* addr, FPool_ANCHOR* anchor);
// Moves every block of the source chain to the end of the destination
// chain and empties the source anchor: a source of one cluster whose
// blocks fit behind the destination's last block is copied there, else its
// clusters are linked whole. iter (when given) is put on the first moved
// block, *last (when given) gets the destination's previous last block.
// 0 or -1.
int FPool_Link(Node* dst_node, FPool_ANCHOR* dst_anchor, Node* src_node, FPool_ANCHOR* src_anchor,
               FPool_ITER* iter, Node_ADDR* last);
