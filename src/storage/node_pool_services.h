// node_pool_services.h - the node layer's calls into the pools: the meta
// data blocks of its nodes in the system pool of their root (syspool.h),
// and the pool free list that Node_Reset empties (node_flist.h).
//
// They go through one table of functions so that tests of the node layer
// can put an in-memory pool in place of the system pool and count its
// reads and writes; the table holds the real system pool and free lists
// unless a test installed another.
//
// Context: the server thread. The calls may suspend the task (the system
// pool's lock, the buffer cache, the volume set).
#pragma once
#include <cstdint>

#include "storage/node_format.h"

struct Node;

// Meta data blocks in the system pool of the data root (log 0) or the log
// root (log nonzero). Alloc and free: 0 or -1. Read and write: the bytes
// moved, or -1.
int NodePool_AllocMeta(uint32_t size, Node_ADDR* addr, int log);
int NodePool_FreeMeta(Node_ADDR* addr, int log);
// The same, where the block may be free already (recovery redoing a delete
// whose free reached the disk): that counts as done.
int NodePool_FreeMetaDefensive(Node_ADDR* addr, int log);
int NodePool_ReadMeta(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
// A damaged block is -1 (the dump tool), not a stop.
int NodePool_ReadMetaDefensive(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
int NodePool_WriteMeta(const Node_ADDR* addr, const void* buffer, uint32_t size, int log);
// Empties node's pool free list. 0 or -1.
int NodePool_ClearFlist(Node* node);

struct NodePoolServices {
  int (*alloc_item)(uint32_t size, Node_ADDR* addr, int log);
  int (*free_item)(Node_ADDR* addr, int log);
  int (*read_item)(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
  int (*write_item)(const Node_ADDR* addr, const void* buffer, uint32_t size, int log);
  int (*clear_flist)(Node* node);
  // None: free_item serves.
  int (*free_item_defensive)(Node_ADDR* addr, int log) = nullptr;
  // None: read_item serves.
  int (*read_item_defensive)(const Node_ADDR* addr, void* buffer, uint32_t size,
                             int log) = nullptr;
};
// None restores the real pools.
void Node_SetPoolServices(const NodePoolServices* services);
