// node_create.cpp - creating, resetting and deleting nodes, and releasing
// node pages left empty.
//
// Context: the server thread. Create and delete hold the chain lock of
// their root while they change the chain: a create suspends where the
// volume set allocates its page and where the new page is flushed before
// the old tail links to it, and nothing else may add or release a page of
// that root meanwhile. Reset suspends in the cache and the volume set.
#include <cstdlib>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_items_page.h"
#include "storage/node_pool_services.h"
#include "storage/node_state.h"
#include "storage/node_tlog_seams.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

using namespace nodes;

namespace {

Node* first_free_slot(Node_ROOT* root) {
  for (Node_MEMPAGE* mp = root->page_head; mp != nullptr; mp = mp->next)
    for (Node& n : mp->nodes)
      if (n.node.node_id == 0) return &n;
  return nullptr;
}

bool id_in_use(Node_ROOT* root, uint32_t id) {
  bool found = false;
  for_each_node(root, [&](Node* n) { found = found || n->node.node_id == id; });
  return found;
}

// The id of the new node, or 0 (status set).
uint32_t choose_id(Node_ROOT* root, uint32_t requested_id, uint32_t system_node_id) {
  if (system_node_id != 0) {
    if (id_in_use(root, system_node_id)) {
      debug_log('N', 0,
                "Node_DoCreate() failed: system identifier #%u is already in use, file %s, "
                "line %d",
                system_node_id, __FILE__, __LINE__);
      NODE_ERROR(Node_E_SYSID_IN_USE);
      return 0;
    }
    return system_node_id;
  }
  if (requested_id != 0) {
    // Two nodes of one id would be one node to every lookup.
    if (id_in_use(root, requested_id)) {
      debug_log('N', 0,
                "Node_DoCreate() failed: identifier #%u is already in use, file %s, line %d",
                requested_id, __FILE__, __LINE__);
      NODE_ERROR(Node_E_SYSID_IN_USE);
      return 0;
    }
    if (requested_id > root->last_node_id) root->last_node_id = requested_id;
    return requested_id;
  }
  const uint32_t id = root->last_node_id + 1;
  if (id == 0) {
    debug_log('N', 0, "Node_DoCreate() failed: identifier overflow, file %s, line %d", __FILE__,
              __LINE__);
    NODE_ERROR(Node_E_ID_OVERFLOW);
    return 0;
  }
  return id;
}

// A new node page for the root, not linked yet; none when no page is left
// (status VOL E020). May suspend in the volume set.
Node_MEMPAGE* allocate_page(Node_ROOT* root) {
  const bool first = root->page_head == nullptr;
  root->first_page_pending = first;
  const uint32_t page = Vol_AllocPage(1, root->log ? Vol_GetTlogAldesc() : nullptr);
  root->first_page_pending = false;
  if (page == 0) return nullptr;
  if (first)
    ZENT_ASSERT(volume_first_page(root) == page && "vol_info.first_page == new_page");
  else
    ZENT_ASSERT(!root->page_tail->next_page && "!root->page_tail->next_page");
  return new_mempage(root, page);
}

// Puts a new page into the chain. Data pages (and the first log page) go
// to disk now, in an order a power loss cannot break: the new page and the
// free-list pages that mark it used are on disk before the old tail names
// it, and the root log names it before its bit (recovery frees it when the
// link did not survive). Other log pages are written later. -1 (status 20) when on-line backup
// finds no LOG page for the new page: nothing names it, and mp is freed.
int link_page(Node_ROOT* root, Node_MEMPAGE* mp) {
  Node_MEMPAGE* tail = root->page_tail;
  mark_changed(mp);
  if (root->log && tail != nullptr) {
    tail->next_page = mp->page;
    mark_changed(tail);
    append_mempage(root, mp);
    return 0;
  }
  MempageGuard guard(mp);
  if (write_node_page(mp) != 0) return -1;
  if (tail != nullptr) Node_RecordChainedPage(&mp->nodes[0], mp->page, Node_CLUSTER_NODE_PAGE);
  if (root->log)
    Vol_TlogSyncFreeList();
  else
    Vol_SyncFreeList();
  if (tail != nullptr) {
    Vol_SyncFile(Vol_VolumeOf(mp->page), Vol_TIO_SYNC);
    tail->next_page = mp->page;
    // Kept back in backup mode, the tail stays changed: written later, and
    // still after the new page.
    write_node_page(tail);
  }
  append_mempage(root, mp);
  guard.release();
  return 0;
}

// The task whose creates are marked uncommitted (Node_UncommittedScope).
bool g_uncommitted_on = false;
Task* g_uncommitted_owner = nullptr;

void init_slot(Node* node, uint32_t id, int cluster_size, uint32_t system_node_id, bool log,
               uint32_t flags) {
  ZENT_ASSERT(node->ref_count == 0 && "new_node->ref_count == 0");
  ZENT_ASSERT(!node->meta_data && "!new_node->meta_data");
  release_handle_id(node);
  init_handle(node, node->mempage);
  node->alloc_map = log ? Vol_GetTlogAldesc() : nullptr;
  node->owner = log ? thread_self() : nullptr;
  node->node.node_id = id;
  node->node.cluster_size = static_cast<uint16_t>(cluster_size);
  node->node.flags |= flags;
  if (!log && system_node_id == 0 && g_uncommitted_on && g_uncommitted_owner == thread_self())
    node->node.flags |= 1u << Node_UNCOMMITTED;
  if (system_node_id != 0) node->node.flags |= 1u << Node_SYSNODE;
  if (log) node->node.flags |= 1u << Node_LOGNODE;
  Node_SetDirty(node);
}

// Takes back a create that failed after its slot was counted.
void undo_create(Node_ROOT* root, Node* node) {
  node->node = Node_DESC{};
  mark_changed(node->mempage);
  root->num_nodes--;
  mark_changed(root->page_head);
  release_mempage_if_empty(node->mempage);
}

Node* create_in_root(Node_ROOT* root, int cluster_size, uint32_t requested_id,
                     uint32_t system_node_id, uint32_t flags, bool* new_page) {
  const uint32_t id = choose_id(root, requested_id, system_node_id);
  if (id == 0) return nullptr;
  Node* node = first_free_slot(root);
  Node_MEMPAGE* added = nullptr;
  if (node == nullptr) {
    added = allocate_page(root);
    if (added == nullptr) return nullptr;
    node = &added->nodes[0];
  }
  init_slot(node, id, cluster_size, system_node_id, root->log, flags);
  root->num_nodes++;
  const uint32_t last_node_id = root->last_node_id;
  if (system_node_id == 0 && requested_id == 0) root->last_node_id = id;
  if (added != nullptr) {
    const uint32_t page = added->page;
    if (link_page(root, added) != 0) {
      root->num_nodes--;
      root->last_node_id = last_node_id;
      Vol_FreePage(page, 1);
      return nullptr;
    }
    *new_page = true;
  }
  mark_changed(root->page_head);
  if (Node_Lock(node, __FILE__, __LINE__) != 0) {
    undo_create(root, node);
    return nullptr;
  }
  if (Node_WriteSnapshot(node) != 0) {
    Node_Unlock(node);
    undo_create(root, node);
    return nullptr;
  }
  Node_Unlock(node);
  return node;
}

// Frees every cluster of the used-cluster list and its pages.
void free_used_clusters(Node* node, NodeList_LOG* ctx) {
  Node_MetaLock(node, __FILE__, __LINE__);
  nodelist::drop_all_pages(node, &node->node.ulist, ctx, true,
                           "Node_Reset() failed on Tlog_AddToTagRecord()");
  Node_SetDirty(node);
  Node_MetaUnlock(node);
}

}  // namespace

namespace nodes {

void free_slot(Node* node) {
  Node_MEMPAGE* mp = node->mempage;
  Node_ROOT* root = mp->root;
  const uint32_t id = node->node.node_id;
  if (id < Node_FIRSTNODE) root->sys_cache[id - 1] = nullptr;
  Llist_Clear(&node->log_clusters);
  release_handle_id(node);
  node->node = Node_DESC{};
  mark_changed(mp);
  root->num_nodes--;
  mark_changed(root->page_head);
  release_mempage_if_empty(mp);
}

void release_mempage_if_empty(Node_MEMPAGE* mp) {
  for (const Node& n : mp->nodes)
    if (n.node.node_id != 0) return;
  Node_ROOT* root = mp->root;
  if (mp == root->page_head) {
    if (mp->next != nullptr) return;
    debug_log('N', 3, "Node_DeleteNodeMempageIfEmpty() deleting root page 0x%x", mp->page);
    ZENT_ASSERT(root->num_nodes == 0 && "root->num_nodes == 0");
    root->page_head = root->page_tail = nullptr;
    root->pages = 0;
    // Freed at once: the volume forgets its root page with it.
    Vol_FreePage(mp->page, 1);
    ZENT_ASSERT(!root->page_tail && "!root->page_tail");
    ZENT_ASSERT(volume_first_page(root) == 0 && "vol_info.first_page == 0");
    free_mempage(mp);
    return;
  }
  debug_log('N', 3, "Node_DeleteNodeMempageIfEmpty() deleting page 0x%x", mp->page);
  Node_MEMPAGE* prev = mp->prev;
  prev->next_page = mp->next_page;
  prev->next = mp->next;
  if (mp->next != nullptr)
    mp->next->prev = prev;
  else
    root->page_tail = prev;
  root->pages--;
  mark_changed(prev);
  Vol_FreePageDelayed(mp->page, 1);
  free_mempage(mp);
  if (prev == root->page_tail) release_mempage_if_empty(prev);
}

}  // namespace nodes

// --- Interface --------------------------------------------------------------------------

Node* Node_DoCreate(int cluster_size, uint32_t requested_id, uint32_t system_node_id,
                    int log_node, uint32_t flags) {
  debug_log('N', 3, "Node_DoCreate(cluster_size=%d, system_node_id=%u, log_node=%d)",
            cluster_size, system_node_id, log_node);
  ZENT_ASSERT(cluster_size >= 1 && cluster_size <= Vol_MAXCLUST && "cluster_size");
  ZENT_ASSERT(system_node_id < Node_FIRSTNODE && "system_node_id < Node_FIRSTNODE");
  Node_ROOT* root = get_root(log_node != 0);
  if (root == nullptr) {
    debug_log('N', 0, "Node_DoCreate() failed: no %s root, file %s, line %d",
              log_node ? "transaction log" : "data", __FILE__, __LINE__);
    NODE_ERROR(VOL_E_NO_TRANSACTIONS);
    return nullptr;
  }
  if (lock_chain(root, true) != 0) return nullptr;
  bool new_page = false;
  Node* node =
      create_in_root(root, cluster_size, requested_id, system_node_id, flags, &new_page);
  unlock_chain(root);
  if (node != nullptr)
    debug_log('N', 3, "Node_DoCreate() created node %s%s", Node_Name(node),
              new_page ? " in new page" : "");
  return node;
}

Node_UncommittedScope::Node_UncommittedScope(bool on_) : on(on_) {
  if (!on) return;
  g_uncommitted_on = true;
  g_uncommitted_owner = thread_self();
}
Node_UncommittedScope::~Node_UncommittedScope() {
  if (on) g_uncommitted_on = false;
}

int Node_Committed(uint32_t node_id) {
  Node* node = Node_Find(node_id);
  if (node == nullptr || !Node_TestFlag(Node_UNCOMMITTED, node)) return 0;
  debug_log('N', 3, "Node_Committed(node=%s)", Node_Name(node));
  Node_ClearFlag(Node_UNCOMMITTED, node);
  Node_SetDirty(node);
  return 0;
}

Node* Node_Create(int cluster_size) { return Node_DoCreate(cluster_size, 0, 0, 0); }
Node* Node_CreateLog(int cluster_size) { return Node_DoCreate(cluster_size, 0, 0, 1); }

Node* Node_SysCreate(int cluster_size, uint32_t system_node_id) {
  ZENT_ASSERT(system_node_id > 0 && "system_node_id");
  return Node_DoCreate(cluster_size, 0, system_node_id, 0);
}

Node* Node_SysCreateLog(int cluster_size, uint32_t system_node_id) {
  ZENT_ASSERT(system_node_id > 0 && "system_node_id");
  return Node_DoCreate(cluster_size, 0, system_node_id, 1);
}

namespace {

// Node_Reset; snapshot 0 leaves the node's record to the caller, which
// writes it in the same log block as what follows the reset.
int reset(Node* node, bool snapshot) {
  ZENT_ASSERT(node != nullptr && "node");
  const int vnodes_in_use = Node_FlushVNodes(node);
  if (vnodes_in_use > 0 || node->ref_count >= 1) {
    debug_log('N', 0,
              "Node_Reset() failed: node #%d is still referenced, ref_count=%d, file %s, line %d",
              static_cast<int>(node->node.node_id), node->ref_count, __FILE__, __LINE__);
    NODE_ERROR(Node_E_REFERENCED);
    return -1;
  }
  if (Node_NotifySubsystems(node, Node_EVENT_RESET) != 0) return -1;
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_ULIST, &ctx) != 0) return -1;
  free_used_clusters(node, &ctx);
  const int flushed = NodeList_FlushLog(&ctx);
  NodeList_ReleaseLog(&ctx);
  if (flushed != 0) return -1;
  if (NodePool_ClearFlist(node) != 0) return -1;
  buf_Sync(node, 1);
  if (!snapshot) return 0;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  const int rc = Node_WriteSnapshot(node);
  Node_Unlock(node);
  return rc != 0 ? -1 : 0;
}

}  // namespace

int Node_Reset(Node* node) { return reset(node, true); }

bool Node_MetaFreed(const Node* node) {
  if (!Node_AddrValid(&node->node.meta_addr) || node->ref_count != 0) return false;
  const uint32_t size = node->node.meta_addr.size;
  void* probe = malloc(size > 0 ? size : 1);
  if (probe == nullptr) return false;
  const int got = NodePool_ReadMetaDefensive(&node->node.meta_addr, probe, size, is_log(node) ? 1 : 0);
  free(probe);
  return got != static_cast<int>(size);
}

int Node_Delete(Node* node) {
  // A delete redone after a cut recovery had redone it up to the free of
  // the meta data block (the system pool writes through) but not to the
  // node page: no meta data is left to reset or free.
  if (Tlog_IsRecovering() && Node_MetaFreed(node)) {
    debug_log('N', 1, "Node_Delete(node=%s) note: meta data block already freed",
              Node_Name(node));
    Node_AddrClear(&node->node.meta_addr);
    Node_ClearFlag(Node_META_CHANGED, node);
    Node_SetDirty(node);
  }
  // No snapshot between the reset and the deleted-node record (which
  // carries the reset's page records): a power cut between the two would
  // leave a snapshot last in the log, and its redo would bring the node
  // back after the replay had deleted it.
  if (reset(node, false) != 0) return -1;
  ZENT_ASSERT(!node->ref_count && "!node->ref_count");
  ZENT_ASSERT(!node->meta_data && "!node->meta_data");
  if (Node_NotifySubsystems(node, Node_EVENT_DELETE) != 0) return -1;
  if (Node_WriteDeletedSnapshot(node) != 0) return -1;
  if (Node_AddrValid(&node->node.meta_addr)) {
    // Recovery may redo a delete whose free of the block reached the disk
    // (the system pool writes through) before its node page did.
    const int log = is_log(node) ? 1 : 0;
    const int freed = Tlog_IsRecovering() ? NodePool_FreeMetaDefensive(&node->node.meta_addr, log)
                                          : NodePool_FreeMeta(&node->node.meta_addr, log);
    if (freed != 0) return -1;
    Node_AddrClear(&node->node.meta_addr);
    Node_ClearFlag(Node_META_CHANGED, node);
    Node_SetDirty(node);
    debug_log('N', 3, "Node_Delete() note: meta data deleted");
  }
  Node_ROOT* root = node->mempage->root;
  if (lock_chain(root, true) != 0) return -1;
  free_slot(node);
  unlock_chain(root);
  return 0;
}
