// vnode.h - the vnode cache: nodes kept open after their users closed them.
//
// Opening a node reads its meta data and tells its subsystem; closing the
// last reference writes the meta data back. A node opened through the
// cache carries a vnode (in the handle's reserved word) with a use count;
// a vnode whose count falls to 0 keeps its node open until the cache is
// flushed (checkpoint, shutdown, log recovery, node reset).
//
// Owner: this module owns every vnode, the cache list (attached vnodes,
// most recently opened first), the free list with its high-water mark, the
// counters and the vnode semaphore.
//
// Context: tasks of the server thread only. Open, flush and trim hold the
// vnode semaphore, because Node_Open and Node_Close may suspend inside; the
// wait for it is never cut short (a sleep cut short sleeps again). Close
// takes no lock and never suspends. An open or close of a cached node costs
// no allocation and no system call.
#pragma once
#include <cstdint>

struct Node;

// 0, or -1 when Node_Open failed (nothing is left attached).
int VNode_Open(Node* node);
// Drops one use; the node stays open and cached.
void VNode_Close(Node* node);
// Closes the unused cached nodes of node (none: of all nodes); the number
// of vnodes of those nodes still in use.
int VNode_Flush(Node* node);
// VNode_Flush of all, then frees the vnodes that were already on the free
// list at the previous trim (each checkpoint).
void VNode_Trim();
// Frees every vnode of the free list (shutdown, after the last flush).
void VNode_Cleanup();

struct VNodeStats {
  uint32_t allocated, max_allocated, in_use, max_in_use, unused;
};
VNodeStats VNode_GetStats();
// The handle goes away with its root (the set closes, the log is
// rebuilt): its vnode is detached without a close and freed for reuse.
void VNode_Forget(Node* node);
// Fresh counters and an empty cache (a new kernel table: tests, start-up);
// every vnode must have been flushed and cleaned up.
void VNode_Reset();
