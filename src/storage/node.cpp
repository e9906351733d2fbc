// node.cpp - node handles: accessors, labels, locks, the subsystem table,
// lookups and block statistics. See node.h; the roots and mempages are in
// node_root.cpp.
//
// Context: the server thread. Only the lock functions may suspend a task.
#include "storage/node.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/node_state.h"
#include "storage/ssn.h"
#include "storage/volume_set.h"

namespace nodes {
NodeLayer g;
}  // namespace nodes

using namespace nodes;

namespace {

void check_node(const Node* node) { ZENT_ASSERT(node != nullptr && "node"); }

Node* find_in_root(bool log, uint32_t node_id) {
  Node_ROOT* root = get_root(log);
  if (root == nullptr || node_id == 0) return nullptr;
  for (Node_MEMPAGE* mp = root->page_head; mp != nullptr; mp = mp->next)
    for (Node& n : mp->nodes)
      if (n.node.node_id == node_id) return &n;
  return nullptr;
}

// Log nodes allocate from the LOG volumes; the map is bound on lookup.
Node* bind(Node* node) {
  if (node != nullptr && is_log(node) && node->alloc_map == nullptr)
    node->alloc_map = Vol_GetTlogAldesc();
  return node;
}

Node* sys_find(bool log, uint32_t node_id) {
  ZENT_ASSERT(node_id > 0 && node_id < Node_FIRSTNODE && "system node id");
  Node_ROOT* root = get_root(log);
  if (root == nullptr) return nullptr;
  Node*& cached = root->sys_cache[node_id - 1];
  if (cached == nullptr || cached->node.node_id != node_id) cached = find_in_root(log, node_id);
  return bind(cached);
}

}  // namespace

namespace nodes {

void init_handle(Node* node, Node_MEMPAGE* mp) {
  node->change_count = 0;
  node->ref_count = 0;
  node->reserved = nullptr;
  node->alloc_map = nullptr;
  node->node = Node_DESC{};
  node->mempage = mp;
  node->meta_data = nullptr;
  Llist_Init(&node->log_clusters);
  node->lock = Semaphore{};
  node->lock.count = Node_LOCK_UNITS;
  node->meta_lock = Semaphore{};
  node->meta_lock.count = 1;
  node->wait = WaitQueue{};
  node->owner = nullptr;
  node->handle_id = 0;
}

// Handle numbers: index + 1 in the low 20 bits, the slot's generation in
// the high 12. A slot's generation moves on whenever its handle goes.
namespace {
constexpr uint32_t kHandleIndexBits = 20;
constexpr uint32_t kHandleIndexMask = (1u << kHandleIndexBits) - 1;
struct HandleSlot {
  Node* node;
  uint32_t gen;
};
std::vector<HandleSlot> g_handles;
std::vector<uint32_t> g_free_handles;
}  // namespace

void release_handle_id(Node* node) {
  const uint32_t id = node->handle_id;
  if (id == 0) return;
  node->handle_id = 0;
  const uint32_t index = (id & kHandleIndexMask) - 1;
  if (index >= g_handles.size() || g_handles[index].node != node) return;
  g_handles[index].node = nullptr;
  g_handles[index].gen = (g_handles[index].gen + 1) & 0xFFFu;
  g_free_handles.push_back(index);
}

}  // namespace nodes

uint32_t Node_HandleId(Node* node) {
  if (node->handle_id != 0) return node->handle_id;
  uint32_t index;
  if (!g_free_handles.empty()) {
    index = g_free_handles.back();
    g_free_handles.pop_back();
  } else {
    if (g_handles.size() >= kHandleIndexMask) return 0;
    index = static_cast<uint32_t>(g_handles.size());
    g_handles.push_back(HandleSlot{nullptr, 0});
  }
  g_handles[index].node = node;
  node->handle_id = (g_handles[index].gen << kHandleIndexBits) | (index + 1);
  return node->handle_id;
}

Node* Node_FromHandleId(uint32_t handle_id, uint32_t node_id) {
  const uint32_t low = handle_id & kHandleIndexMask;
  if (low == 0 || low > g_handles.size()) return nullptr;
  const HandleSlot& slot = g_handles[low - 1];
  if (slot.node == nullptr || slot.gen != (handle_id >> kHandleIndexBits)) return nullptr;
  if (slot.node->node.node_id != node_id || node_id == 0) return nullptr;
  return slot.node;
}

// --- Lookup ---------------------------------------------------------------------------

Node* Node_Find(uint32_t node_id) { return bind(find_in_root(false, node_id)); }
Node* Node_FindLog(uint32_t node_id) { return bind(find_in_root(true, node_id)); }
Node* Node_SysFind(uint32_t node_id) { return sys_find(false, node_id); }
Node* Node_SysFindLog(uint32_t node_id) { return sys_find(true, node_id); }

// --- Accessors --------------------------------------------------------------------------

uint32_t Node_GetId(const Node* node) {
  check_node(node);
  return node->node.node_id;
}

uint16_t Node_GetType(const Node* node) {
  check_node(node);
  return node->node.node_type;
}

void Node_SetType(Node* node, uint16_t type) {
  check_node(node);
  ZENT_ASSERT(type != 0 && "type");
  ZENT_ASSERT(node->node.node_type == 0 && "node->node.node_type == 0");
  node->node.node_type = type;
  Node_SetDirty(node);
}

int Node_GetClusterSize(const Node* node) {
  check_node(node);
  return node->node.cluster_size;
}

int Node_RefCount(const Node* node) {
  check_node(node);
  return node->ref_count;
}

uint32_t Node_GetChangeCount(const Node* node) {
  check_node(node);
  return node->change_count;
}

void Node_IncChangeCount(Node* node) {
  check_node(node);
  node->change_count++;
}

void Node_SetFlag(int bit, Node* node) {
  check_node(node);
  node->node.flags |= 1u << bit;
}

void Node_ClearFlag(int bit, Node* node) {
  check_node(node);
  node->node.flags &= ~(1u << bit);
}

int Node_TestFlag(int bit, const Node* node) {
  check_node(node);
  return (node->node.flags >> bit) & 1u;
}

void Node_SetDirty(Node* node) {
  check_node(node);
  Node_SetFlag(Node_DESC_CHANGED, node);
  mark_changed(node->mempage);
}

int Node_IsDirty(const Node* node) { return Node_TestFlag(Node_DESC_CHANGED, node); }

void Node_SetNotifyPending(Node* node) { Node_SetFlag(Node_NOTIFY_PENDING, node); }

uint16_t Node_GetMinBlockSize(const Node* node) {
  check_node(node);
  return node->node.min_block_size;
}

uint16_t Node_GetAvgBlockSize(const Node* node) {
  check_node(node);
  return node->node.avg_block_size;
}

void Node_AddrClear(Node_ADDR* addr) { *addr = Node_ADDR{}; }
int Node_AddrValid(const Node_ADDR* addr) { return addr->cluster != 0 ? 1 : 0; }

void Node_UpdateBlockStats(Node* node, uint32_t size) {
  check_node(node);
  ZENT_ASSERT(size != 0 && "size");
  Node_DESC& d = node->node;
  const uint16_t s = static_cast<uint16_t>(size);
  if (d.min_block_size == 0)
    d.min_block_size = size > 64 ? s : 64;
  else if (size < d.min_block_size && size >= 64)
    d.min_block_size = s;
  if (d.avg_block_size == 0) {
    d.avg_block_size = s;
  } else {
    // In 32 bits: blocks reach 65516 bytes, and a 16-bit difference of two
    // such sizes wraps and throws the average far off.
    int32_t avg = d.avg_block_size;
    avg -= (avg - static_cast<int32_t>(size)) >> 1;
    d.avg_block_size = static_cast<uint16_t>(avg < 1 ? 1 : (avg > 0xFFFF ? 0xFFFF : avg));
  }
  Node_SetDirty(node);
}

// --- Labels --------------------------------------------------------------------------------

const char* Node_FormatName(const Node* node, char* out) {
  check_node(node);
  int n = snprintf(out, Node_NAME_SIZE, "#%u", node->node.node_id);
  const bool sys = Node_TestFlag(Node_SYSNODE, node);
  const bool log = Node_TestFlag(Node_LOGNODE, node);
  const bool pool = Node_TestFlag(Node_POOLNODE, node);
  if (sys || log || pool) {
    snprintf(out + n, static_cast<size_t>(Node_NAME_SIZE - n), ":%s%s%s", sys ? "S" : "",
             log ? "L" : "", pool ? "P" : "");
  }
  return out;
}

// A ring of buffers: a label stays valid while seven more are made.
const char* Node_Name(const Node* node) {
  static char ring[8][Node_NAME_SIZE];
  static unsigned next = 0;
  char* out = ring[next++ % 8];
  return Node_FormatName(node, out);
}

// --- Locks ----------------------------------------------------------------------------------

int Node_Lock(Node* node, const char* file, int line) {
  check_node(node);
  if (down_count(&node->lock, Node_LOCK_UNITS, file, line) != 0) {
    debug_log('N', 0, "Node_Lock(node=%s) failed: wait aborted, file %s, line %d",
              Node_Name(node), file, line);
    NODE_ERROR(Node_E_LOCK);
    return -1;
  }
  return 0;
}

void Node_Unlock(Node* node) {
  check_node(node);
  up_count(&node->lock, Node_LOCK_UNITS);
}

int Node_LockShared(Node* node, const char* file, int line) {
  check_node(node);
  if (down(&node->lock, file, line) != 0) {
    debug_log('N', 0, "Node_LockShared(node=%s) failed: wait aborted, file %s, line %d",
              Node_Name(node), file, line);
    NODE_ERROR(Node_E_LOCK);
    return -1;
  }
  return 0;
}

void Node_UnlockShared(Node* node) {
  check_node(node);
  up(&node->lock);
}

int Node_LockState(const Node* node) {
  check_node(node);
  if (node->lock.count >= Node_LOCK_UNITS) return 0;
  return node->lock.count >= 1 ? 2 : 1;
}

// The lists of the node must be reached whatever happens to the task: a
// sleep cut short (its session being closed) sleeps again.
void Node_MetaLock(Node* node, const char* file, int line) {
  check_node(node);
  while (down(&node->meta_lock, file, line) != 0)
    debug_log('N', 2, "Node_MetaLock(node=%s): wait cut short, waiting again", Node_Name(node));
}

void Node_MetaUnlock(Node* node) {
  check_node(node);
  up(&node->meta_lock);
}

int Node_Wait(Node* node, const char* file, int line) {
  check_node(node);
  return sleep_on_task(&node->wait, node->owner, ssn_deadlock_weight, file, line);
}

void Node_WakeUp(Node* node) {
  check_node(node);
  if (node->wait.head != nullptr) wake_up(&node->wait);
}

// --- Subsystems ----------------------------------------------------------------------------

int Node_RegisterSubsystem(uint16_t type, Node_NotifyFn notify) {
  Subsystem* free_entry = nullptr;
  for (Subsystem& s : g.subsystems) {
    if (s.notify != nullptr && s.type == type) {
      debug_log('N', 0, "Node_RegisterSubsystem() failed: subsystem [%c%c] is already installed",
                type >> 8, type & 0xFF);
      NODE_ERROR(Node_E_SUBSYSTEM);
      return -1;
    }
    if (s.notify == nullptr && free_entry == nullptr) free_entry = &s;
  }
  if (free_entry == nullptr) {
    debug_log('N', 0,
              "Node_RegisterSubsystem() failed: exceeded maximum number of subsystems (%d), "
              "file %s, line %d",
              Node_MAX_SUBSYSTEMS, __FILE__, __LINE__);
    NODE_ERROR(Node_E_SUBSYSTEM);
    return -1;
  }
  free_entry->type = type;
  free_entry->notify = notify;
  debug_log('N', 2, "Node_RegisterSubsystem() registered subsystem [%c%c]", type >> 8,
            type & 0xFF);
  return 0;
}

bool Node_SubsystemRegistered(Node_NotifyFn notify) {
  for (const Subsystem& s : g.subsystems)
    if (s.notify != nullptr && s.notify == notify) return true;
  return false;
}

void Node_UnregisterSubsystem(Node_NotifyFn notify) {
  for (Subsystem& s : g.subsystems) {
    if (s.notify != nullptr && s.notify == notify) {
      debug_log('N', 2, "Node_UnregisterSubsystem() unregistered subsystem [%c%c]", s.type >> 8,
                s.type & 0xFF);
      s = Subsystem{};
      return;
    }
  }
  debug_log('N', 1, "Node_UnregisterSubsystem() note: requested subsystem not found, file %s, line %d",
            __FILE__, __LINE__);
}

int Node_NotifySubsystems(Node* node, int event) {
  for (const Subsystem& s : g.subsystems) {
    if (s.notify == nullptr) continue;
    if (node != nullptr) {
      if (s.type == node->node.node_type) return s.notify(node, event);
      continue;
    }
    if (int rc = s.notify(nullptr, event)) return rc;
  }
  return 0;
}

int Node_CheckpointNotify() {
  int result = 0;
  for (bool log : {false, true}) {
    Node_ROOT* root = get_root(log);
    if (root == nullptr) continue;
    // The subsystems may suspend; the chain lock keeps the pages in place.
    lock_chain(root, false);
    for_each_node(root, [&](Node* n) {
      if (!Node_TestFlag(Node_NOTIFY_PENDING, n)) return;
      Node_ClearFlag(Node_NOTIFY_PENDING, n);
      if (int rc = Node_NotifySubsystems(n, Node_EVENT_CHECKPOINT); rc != 0 && result == 0)
        result = rc;
    });
    unlock_chain(root);
  }
  return result;
}
