// syspool.cpp - the system pool of each root (see syspool.h): plain pool
// operations under the pool's own exclusive lock, the descriptor written
// when an allocation or free changed it.
//
// Context: the server thread; the node lock may suspend the task (cut
// short: -1), and so may the cache and the volume set.
#include "storage/syspool.h"

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/node_log.h"
#include "storage/node_tlog_seams.h"
#include "storage/pool.h"
#include "storage/pool_tlog_seams.h"

namespace {

Node* pool_of(int log) {
  Node* pool = SysPool_Get(log);
  ZENT_ASSERT(pool != nullptr && "SysPool_Get()");
  return pool;
}

// Runs op on the root's system pool under its lock; with sync, a changed
// descriptor is written before the lock goes.
template <typename Op>
int locked(int log, bool sync, Op op) {
  Node* pool = pool_of(log);
  if (Node_Lock(pool, __FILE__, __LINE__) != 0) return -1;
  int rc = op(pool);
  if (sync && Node_IsDirty(pool) && Node_Sync(pool) != 0) rc = -1;
  Node_Unlock(pool);
  return rc;
}

}  // namespace

Node* SysPool_Get(int log) {
  Node* pool = log ? Node_SysFindLog(SysPool_NODEID) : Node_SysFind(SysPool_NODEID);
  if (pool == nullptr && log) pool = Pool_SysCreateLog(SysPool_NODEID);
  if (pool != nullptr && !Node_TestFlag(Node_SYSPOOL, pool)) {
    Node_SetFlag(Node_SYSPOOL, pool);
    Node_SetDirty(pool);
  }
  return pool;
}

int SysPool_AllocItem(uint32_t size, Node_ADDR* addr, int log) {
  return locked(log, true, [&](Node* pool) { return Pool_Alloc(pool, size, addr, nullptr); });
}

int SysPool_Alloc(uint32_t size, Node_ADDR* addr) { return SysPool_AllocItem(size, addr, 0); }

int SysPool_FreeItem(Node_ADDR* addr, int log) {
  return locked(log, true, [&](Node* pool) { return Pool_Free(pool, addr, nullptr); });
}

int SysPool_Free(Node_ADDR* addr) { return SysPool_FreeItem(addr, 0); }

int SysPool_DefensiveFreeItem(Node_ADDR* addr, int log) {
  return locked(log, true, [&](Node* pool) {
    const int rc = Pool_DefensiveFree(pool, addr);
    return rc == 1 ? 0 : rc;
  });
}

int SysPool_ReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log) {
  return locked(log, false,
                [&](Node* pool) { return Pool_Read(pool, addr, buffer, size, nullptr); });
}

int SysPool_DefensiveReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log) {
  // An address read from a damaged descriptor may name any page.
  if (!Node_PageInSet(addr->cluster)) return -1;
  return locked(log, false,
                [&](Node* pool) { return Pool_DefensiveRead(pool, addr, buffer, size, nullptr); });
}

int SysPool_WriteItem(const Node_ADDR* addr, const void* buffer, uint32_t size, int log) {
  return locked(log, false,
                [&](Node* pool) { return Pool_Write(pool, addr, buffer, size, nullptr); });
}

int SysPool_Write(const Node_ADDR* addr, const void* buffer, uint32_t size) {
  return SysPool_WriteItem(addr, buffer, size, 0);
}

int SysPool_Recover() {
  debug_log('O', 3, "SysPool_Recover()");
  Node* pool = SysPool_Get(0);
  return pool == nullptr ? -1 : Node_RecoverUsedPages(pool);
}
