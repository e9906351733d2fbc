// node_pool_services.cpp - the node layer's calls into the pools, through a
// table a test may replace (see node_pool_services.h).
#include "storage/node_pool_services.h"

#include "storage/node_flist.h"
#include "storage/syspool.h"

namespace {

constexpr NodePoolServices kPools = {SysPool_AllocItem, SysPool_FreeItem, SysPool_ReadItem,
                                     SysPool_WriteItem, Node_ClearFlist,
                                     SysPool_DefensiveFreeItem, SysPool_DefensiveReadItem};
NodePoolServices g_services = kPools;

}  // namespace

void Node_SetPoolServices(const NodePoolServices* services) {
  g_services = services != nullptr ? *services : kPools;
}

int NodePool_AllocMeta(uint32_t size, Node_ADDR* addr, int log) {
  return g_services.alloc_item(size, addr, log);
}
int NodePool_FreeMeta(Node_ADDR* addr, int log) { return g_services.free_item(addr, log); }
int NodePool_FreeMetaDefensive(Node_ADDR* addr, int log) {
  return g_services.free_item_defensive != nullptr ? g_services.free_item_defensive(addr, log)
                                                   : g_services.free_item(addr, log);
}
int NodePool_ReadMeta(const Node_ADDR* addr, void* buffer, uint32_t size, int log) {
  return g_services.read_item(addr, buffer, size, log);
}
int NodePool_ReadMetaDefensive(const Node_ADDR* addr, void* buffer, uint32_t size, int log) {
  return g_services.read_item_defensive != nullptr
             ? g_services.read_item_defensive(addr, buffer, size, log)
             : g_services.read_item(addr, buffer, size, log);
}
int NodePool_WriteMeta(const Node_ADDR* addr, const void* buffer, uint32_t size, int log) {
  return g_services.write_item(addr, buffer, size, log);
}
int NodePool_ClearFlist(Node* node) { return g_services.clear_flist(node); }
