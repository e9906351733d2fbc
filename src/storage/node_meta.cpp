// node_meta.cpp - references to nodes (open and close) and their meta
// data: one block in the system pool of the node's root, copied to the
// heap while the node is referenced.
//
// Context: the server thread. The process-wide node semaphore serialises
// open and close; both may suspend inside the system pool and in the
// subsystems' notifications while they hold it. An open may be cut short
// waiting for it (status 27); a close waits to the end.
#include <cstdlib>
#include <unordered_set>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/node_items_page.h"
#include "storage/node_pool_services.h"
#include "storage/node_state.h"
#include "storage/node_tlog_seams.h"
#include "storage/volume_set.h"

using namespace nodes;

namespace {

int root_arg(const Node* node) { return is_log(node) ? 1 : 0; }

void* meta_alloc(uint32_t size) { return malloc(size == 0 ? 1 : size); }

// Waits that a close must not give up: a sleep cut short sleeps again.
void take_node_sem() {
  while (down(&g.node_sem, __FILE__, __LINE__) != 0)
    debug_log('N', 2, "Node_Close(): node semaphore wait cut short, waiting again");
}

void lock_to_the_end(Node* node) {
  while (down_count(&node->lock, Node_LOCK_UNITS, __FILE__, __LINE__) != 0)
    debug_log('N', 2, "Node_Close(node=%s): node lock wait cut short, waiting again",
              Node_Name(node));
}

// Inspect mode: a node whose used-cluster list a disk or a person damaged
// is refused (VOL E007) before anything walks it (its meta data are read
// defensively); the server's own reads stop at such damage.
int inspect_node(Node* node) {
  const auto fail = [&](const char* why, uint32_t page) {
    debug_log('N', 0, "Node_Open(node=%s) failed: %s, page=0x%x", Node_Name(node), why, page);
    NODE_ERROR(VOL_E_BAD_DESCRIPTOR);
    return -1;
  };
  if (Node_TestFlag(Node_NO_ULIST, node)) return 0;
  std::unordered_set<uint32_t> seen;
  for (uint32_t page = node->node.ulist.head; page != 0;) {
    if (!Node_PageInSet(page)) return fail("used-cluster list page outside the set", page);
    if (!seen.insert(page).second) return fail("used-cluster list loops", page);
    uint8_t image[Vol_PAGESIZE];
    Vol_ReadPage(page, image, sizeof image);
    if (!nodelist::valid_list_page(page, image))
      return fail("invalid used-cluster list page header", page);
    page = Node_DecodeIlist(image).next_page;
  }
  return 0;
}

// The first reference of a run: read the meta data, tell the subsystem.
int first_reference(Node* node) {
  ZENT_ASSERT(!node->meta_data && "!node->meta_data");
  const uint32_t size = node->node.meta_addr.size;
  auto* copy = static_cast<uint8_t*>(meta_alloc(size));
  if (copy == nullptr) {
    debug_log('V', 0, "Node_Open(node=%s) failed: heap overflow (%u bytes)", Node_Name(node),
              size);
    ZENT_ASSERT(!"Node_Open() failed: heap overflow");
  }
  const int got = g.inspect_only
                      ? NodePool_ReadMetaDefensive(&node->node.meta_addr, copy, size, root_arg(node))
                      : NodePool_ReadMeta(&node->node.meta_addr, copy, size, root_arg(node));
  if (got != static_cast<int>(size)) {
    free(copy);
    if (g.inspect_only) {
      debug_log('N', 0, "Node_Open(node=%s) failed: meta data unreadable at 0x%x:%u (%u bytes)",
                Node_Name(node), node->node.meta_addr.cluster, node->node.meta_addr.offset,
                size);
      NODE_ERROR(VOL_E_BAD_DESCRIPTOR);
      return -1;
    }
    debug_log('V', 0, "Node_Open(node=%s) failed on SysPool_ReadItem(size=%u) returning %d",
              Node_Name(node), size, got);
    ZENT_ASSERT(!"Node_Open() failed on SysPool_ReadItem()");
  }
  node->meta_data = copy;
  Node_ClearFlag(Node_META_CHANGED, node);
  node->ref_count++;
  int rc = Node_NotifySubsystems(node, Node_EVENT_META_READ);
  // An inspected node is looked at, never started: first-open work changes
  // and writes what it finds.
  if (rc == 0 && !g.inspect_only && !Tlog_IsRecovering() &&
      !Node_TestFlag(Node_FIRST_OPEN_DONE, node)) {
    rc = Node_NotifySubsystems(node, Node_EVENT_FIRST_OPEN);
    if (rc == 0) Node_SetFlag(Node_FIRST_OPEN_DONE, node);
  }
  if (rc != 0) {
    node->ref_count--;
    free(node->meta_data);
    node->meta_data = nullptr;
    return -1;
  }
  return 0;
}

void last_reference(Node* node) {
  ZENT_ASSERT(node->meta_data && "node->meta_data");
  // An inspected node's subsystem hears nothing of the close (its close
  // work stores state); what it keeps goes at the shutdown event.
  if (g.inspect_only) {
    free(node->meta_data);
    node->meta_data = nullptr;
    return;
  }
  if (Node_NotifySubsystems(node, Node_EVENT_LAST_CLOSE) != 0)
    ZENT_ASSERT(!"Node_Close() failed on Node_NotifySubsystems()");
  Node_UpdateMetaData(node);
  if (Node_TestFlag(Node_META_CREATED, node)) {
    Node_ClearFlag(Node_META_CREATED, node);
    lock_to_the_end(node);
    if (Node_WriteSnapshot(node) != 0) ZENT_ASSERT(!"Node_Close() failed on Node_WriteSnapshot()");
    Node_Unlock(node);
  }
  free(node->meta_data);
  node->meta_data = nullptr;
}

}  // namespace

int Node_Open(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  if (down(&g.node_sem, __FILE__, __LINE__) != 0) {
    debug_log('N', 0, "Node_Open(node=%s) failed: wait for the node semaphore aborted",
              Node_Name(node));
    NODE_ERROR(Node_E_LOCK);
    return -1;
  }
  int rc = 0;
  if (g.inspect_only && node->ref_count == 0 && inspect_node(node) != 0) {
    up(&g.node_sem);
    return -1;
  }
  if (!Node_AddrValid(&node->node.meta_addr)) {
    ZENT_ASSERT(!node->meta_data && "!node->meta_data");
    node->ref_count++;
  } else {
    ZENT_ASSERT(node->ref_count >= 0 && "node->ref_count >= 0");
    if (node->ref_count > 0)
      node->ref_count++;
    else
      rc = first_reference(node);
  }
  up(&g.node_sem);
  return rc;
}

int Node_Close(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  ZENT_ASSERT(node->ref_count > 0 && "node->ref_count > 0");
  take_node_sem();
  if (node->ref_count == 1 && Node_AddrValid(&node->node.meta_addr)) last_reference(node);
  node->ref_count--;
  up(&g.node_sem);
  return 0;
}

void* Node_SetupMetaData(Node* node, uint32_t size) {
  ZENT_ASSERT(node != nullptr && "node");
  if (node->ref_count <= 0) return nullptr;
  ZENT_ASSERT(!Node_AddrValid(&node->node.meta_addr) && "!Node_AddrValid(&node->node.meta_addr)");
  ZENT_ASSERT(!node->meta_data && "!node->meta_data");
  Node_ADDR addr;
  if (NodePool_AllocMeta(size, &addr, root_arg(node)) != 0) return nullptr;
  auto* copy = static_cast<uint8_t*>(meta_alloc(size));
  if (copy == nullptr) {
    debug_log('V', 0, "Node_SetupMetaData() failed: heap overflow (%u bytes)", size);
    ZENT_ASSERT(!"Node_SetupMetaData() failed: heap overflow");
  }
  node->node.meta_addr = addr;
  node->meta_data = copy;
  Node_SetFlag(Node_META_CREATED, node);
  Node_SetFlag(Node_META_CHANGED, node);
  Node_SetDirty(node);
  debug_log('N', 3, "Node_SetupMetaData() note: meta data created, size=%u", size);
  return copy;
}

void* Node_GetMetaData(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  ZENT_ASSERT(node->ref_count > 0 && "node->ref_count > 0");
  return node->meta_data;
}

uint32_t Node_GetMetaSize(const Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  return node->node.meta_addr.size;
}

void Node_SetMetaDirty(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  ZENT_ASSERT(node->meta_data != nullptr && node->ref_count > 0 && "node->meta_data");
  Node_SetFlag(Node_META_CHANGED, node);
}

void Node_UpdateMetaData(Node* node) {
  if (g.inspect_only || node->ref_count <= 0 || node->meta_data == nullptr ||
      !Node_TestFlag(Node_META_CHANGED, node))
    return;
  const uint32_t size = node->node.meta_addr.size;
  const int put = NodePool_WriteMeta(&node->node.meta_addr, node->meta_data, size, root_arg(node));
  if (put != static_cast<int>(size)) {
    debug_log('V', 0, "Node_UpdateMetaData(node=%s) failed on SysPool_WriteItem(size=%u) returning %d",
              Node_Name(node), size, put);
    ZENT_ASSERT(!"Node_UpdateMetaData() failed on SysPool_WriteItem()");
  }
  Node_ClearFlag(Node_META_CHANGED, node);
}
