// node_pool_seams.cpp - stand-ins for the system pool and the pool free
// lists as the node layer calls them (see node_pool_seams.h). NOT YET
// BUILT: replaced when the pools are built.
#include "storage/node_pool_seams.h"

#include "base/debug_log.h"
#include "storage/node.h"

namespace {

int no_pool_alloc(uint32_t size, Node_ADDR*, int) {
  debug_log('O', 0, "SysPool_AllocItem(size=%u) failed: system pool not yet built", size);
  return -1;
}
int no_pool_free(Node_ADDR*, int) {
  debug_log('O', 0, "SysPool_FreeItem() failed: system pool not yet built");
  return -1;
}
int no_pool_read(const Node_ADDR*, void*, uint32_t, int) {
  debug_log('O', 0, "SysPool_ReadItem() failed: system pool not yet built");
  return -1;
}
int no_pool_write(const Node_ADDR*, const void*, uint32_t, int) {
  debug_log('O', 0, "SysPool_WriteItem() failed: system pool not yet built");
  return -1;
}
int no_flist(Node* node) {
  if (node->node.flist.head == 0) return 0;
  debug_log('N', 0, "Node_ClearFlist(node=%s) failed: pool free lists not yet built",
            Node_Name(node));
  return -1;
}

constexpr NodePoolServices kStandIn = {no_pool_alloc, no_pool_free, no_pool_read, no_pool_write,
                                       no_flist};
NodePoolServices g_services = kStandIn;

}  // namespace

void Node_SetPoolServices(const NodePoolServices* services) {
  g_services = services != nullptr ? *services : kStandIn;
}

int SysPool_AllocItem(uint32_t size, Node_ADDR* addr, int log) {
  return g_services.alloc_item(size, addr, log);
}
int SysPool_FreeItem(Node_ADDR* addr, int log) { return g_services.free_item(addr, log); }
int SysPool_ReadItem(const Node_ADDR* addr, void* buffer, uint32_t size, int log) {
  return g_services.read_item(addr, buffer, size, log);
}
int SysPool_WriteItem(const Node_ADDR* addr, const void* buffer, uint32_t size, int log) {
  return g_services.write_item(addr, buffer, size, log);
}
int Node_ClearFlist(Node* node) { return g_services.clear_flist(node); }
