// node_pool_seams.h - what the node layer asks of the pools: the system
// pool, which holds every node's meta data block, and the pool free list
// that Node_Reset empties. NOT YET BUILT: pools, their free lists and the
// system pool come with the next steps. Until then the stand-ins say that
// no meta data block can be had:
//
//   - SysPool_AllocItem refuses (-1, logged): Node_SetupMetaData gives none,
//     so no node gets meta data, and no read, write or free of a block can
//     follow; SysPool_ReadItem, SysPool_WriteItem and SysPool_FreeItem
//     answer -1 should one come all the same (a descriptor from a newer
//     build);
//   - Node_ClearFlist has nothing to empty: no pool exists to fill a free
//     list, and a descriptor that names one is refused (-1, logged).
//
// The pool issue replaces this file with the real calls. Tests install an
// in-memory pool with Node_SetPoolServices.
//
// Context: the server thread. The real calls may suspend the task (they
// go through the buffer cache).
#pragma once
#include <cstdint>

#include "storage/node_format.h"

struct Node;

// Meta data blocks in the system pool of the data root (log 0) or the log
// root (log nonzero). Alloc and free: 0 or -1. Read and write: the bytes
// moved, or -1.
int SysPool_AllocItem(uint32_t size, Node_ADDR* addr, int log);
int SysPool_FreeItem(Node_ADDR* addr, int log);
int SysPool_ReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
int SysPool_WriteItem(const Node_ADDR* addr, const void* buffer, uint32_t size, int log);

// Frees every page of node's pool free list and empties its head. 0 or -1.
int Node_ClearFlist(Node* node);

struct NodePoolServices {
  int (*alloc_item)(uint32_t size, Node_ADDR* addr, int log);
  int (*free_item)(Node_ADDR* addr, int log);
  int (*read_item)(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
  int (*write_item)(const Node_ADDR* addr, const void* buffer, uint32_t size, int log);
  int (*clear_flist)(Node* node);
};
// None restores the stand-ins.
void Node_SetPoolServices(const NodePoolServices* services);
