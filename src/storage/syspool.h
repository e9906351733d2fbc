// syspool.h - the system pool: the pool node with system id 1 of each root
// (one on the data volumes, one on the transaction-log volume), which holds
// the meta data blocks of every node of its root.
//
// Each call runs one plain pool operation (pool.h) outside any transaction
// under the system pool's own exclusive node lock; an allocation or free
// that changed the pool's descriptor writes its node page before the lock
// is given back. The system pool carries node flag 3: its changed pages
// are written through when released, and its free-list changes do not
// force node-page writes (the volume events write them).
//
// The last argument of the *Item forms selects the log root (nonzero) or
// the data root (0); the short forms use the data root.
//
// Context: the server thread. A call may suspend its task in the node lock
// (which may be cut short: -1, status 27), the buffer cache and the volume
// set.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/node_format.h"

// The system pool of the root, flag 3 set: on the data root it is looked
// up; on the log root it is looked up and made when missing. None when
// neither works.
Node* SysPool_Get(int log);

int SysPool_Alloc(uint32_t size, Node_ADDR* addr);
int SysPool_AllocItem(uint32_t size, Node_ADDR* addr, int log);
int SysPool_Free(Node_ADDR* addr);
int SysPool_FreeItem(Node_ADDR* addr, int log);
// A block not in use counts as freed.
int SysPool_DefensiveFreeItem(Node_ADDR* addr, int log);
// The bytes read / written, or -1.
int SysPool_ReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
// A block whose header or place is damaged is -1, not a stop.
int SysPool_DefensiveReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log);
int SysPool_Write(const Node_ADDR* addr, const void* buffer, uint32_t size);
int SysPool_WriteItem(const Node_ADDR* addr, const void* buffer, uint32_t size, int log);

// During recovery: marks the used pages of the data system pool used again.
int SysPool_Recover();
