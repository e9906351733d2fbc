// vnode.cpp - the vnode cache (see vnode.h).
//
// State: the cache list, the free list and its high-water mark, the
// counters and the vnode semaphore, one each per process. The hot path
// (open of a cached node, close) moves a vnode to the head of the cache
// list and counts; nothing is allocated and nothing suspends there.
#include "storage/vnode.h"

#include <cstdlib>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "storage/node.h"

namespace {

struct VNODE {
  Node* node;
  uint32_t in_use;
  VNODE* next;
  VNODE* prev;
};

struct Cache {
  VNODE* head = nullptr;       // cache list, most recently opened first
  VNODE* tail = nullptr;
  VNODE* free_head = nullptr;  // free list, newest first (linked by next)
  VNODE* himark = nullptr;     // first vnode of the free list older than the last trim
  VNodeStats stats{};
  Semaphore sem = [] {
    Semaphore s;
    s.count = 1;
    return s;
  }();
};
Cache g;

// The semaphore's wait is never given up: a sleep cut short sleeps again.
void lock() {
  while (down(&g.sem, __FILE__, __LINE__) != 0)
    debug_log('N', 2, "vnode: semaphore wait cut short, waiting again");
}
void unlock() { up(&g.sem); }

VNODE* vnode_of(const Node* node) { return static_cast<VNODE*>(node->reserved); }

void unlink_cached(VNODE* v) {
  if (v->prev != nullptr) v->prev->next = v->next; else g.head = v->next;
  if (v->next != nullptr) v->next->prev = v->prev; else g.tail = v->prev;
  v->next = v->prev = nullptr;
}

void push_cached(VNODE* v) {
  v->prev = nullptr;
  v->next = g.head;
  if (g.head != nullptr) g.head->prev = v; else g.tail = v;
  g.head = v;
}

void push_free(VNODE* v) {
  v->prev = nullptr;
  v->next = g.free_head;
  g.free_head = v;
}

VNODE* alloc_vnode() {
  if (VNODE* v = g.free_head) {
    g.free_head = v->next;
    if (g.himark == v) g.himark = v->next;
    v->next = v->prev = nullptr;
    return v;
  }
  auto* v = static_cast<VNODE*>(calloc(1, sizeof(VNODE)));
  if (v == nullptr) {
    debug_log('N', 0, "vnode::alloc_vnode() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(VNODE)));
    ZENT_ASSERT(!"vnode::alloc_vnode() failed: heap overflow");
  }
  if (++g.stats.allocated > g.stats.max_allocated) g.stats.max_allocated = g.stats.allocated;
  return v;
}

void count_in_use() {
  if (++g.stats.in_use > g.stats.max_in_use) g.stats.max_in_use = g.stats.in_use;
}

int open_vnode(VNODE* v, Node* node) {
  debug_log('N', 3, "vnode::open_vnode(vnode=%p, node=%p, node_id=%d)", static_cast<void*>(v),
            static_cast<void*>(node), static_cast<int>(Node_GetId(node)));
  if (Node_Open(node) != 0) return -1;
  v->node = node;
  v->in_use = 1;
  node->reserved = v;
  count_in_use();
  return 0;
}

void close_vnode(VNODE* v) {
  debug_log('N', 3, "vnode::close_vnode(vnode=%p)", static_cast<void*>(v));
  Node* node = v->node;
  node->reserved = nullptr;
  v->node = nullptr;
  v->in_use = 0;
  Node_Close(node);
}

void free_chain(VNODE* v) {
  while (v != nullptr) {
    VNODE* next = v->next;
    ZENT_ASSERT(v->node == nullptr && "cache_head->node == NULL");
    ZENT_ASSERT(v->in_use == 0 && "cache_head->in_use == 0");
    free(v);
    g.stats.allocated--;
    v = next;
  }
}

}  // namespace

int VNode_Open(Node* node) {
  debug_log('N', 3, "vnode::VNode_Open(node=%p, node_id=%d)", static_cast<void*>(node),
            static_cast<int>(Node_GetId(node)));
  lock();
  VNODE* v = vnode_of(node);
  if (v == nullptr) {
    v = alloc_vnode();
    push_cached(v);
    if (open_vnode(v, node) != 0) {
      // A failed open leaves nothing behind: the vnode goes back to the
      // free list and the semaphore is released.
      unlink_cached(v);
      push_free(v);
      unlock();
      return -1;
    }
  } else {
    if (v->in_use++ == 0) {
      g.stats.unused--;
      count_in_use();
    }
    unlink_cached(v);
    push_cached(v);
  }
  unlock();
  return 0;
}

void VNode_Close(Node* node) {
  debug_log('N', 3, "vnode::VNode_Close(node=%p, node_id=%d)", static_cast<void*>(node),
            static_cast<int>(Node_GetId(node)));
  VNODE* v = vnode_of(node);
  ZENT_ASSERT(v != nullptr && "vnode != NULL");
  ZENT_ASSERT(v->in_use > 0 && "vnode->in_use > 0");
  if (--v->in_use == 0) {
    g.stats.in_use--;
    g.stats.unused++;
  }
}

int VNode_Flush(Node* node) {
  if (node != nullptr)
    debug_log('N', 3, "vnode::VNode_Flush(node=%p, node_id=%d)", static_cast<void*>(node),
              static_cast<int>(Node_GetId(node)));
  else
    debug_log('N', 3, "vnode::VNode_Flush(node=NULL)");
  lock();
  // Only opens change the cache list, and they wait for the semaphore; a
  // close meanwhile only lowers a use count. So next stays valid while
  // Node_Close sleeps.
  int still_used = 0;
  for (VNODE* v = g.head; v != nullptr;) {
    VNODE* next = v->next;
    if (node == nullptr || v->node == node) {
      if (v->in_use == 0) {
        unlink_cached(v);
        g.stats.unused--;
        close_vnode(v);
        push_free(v);
      } else {
        ++still_used;
      }
    }
    v = next;
  }
  unlock();
  return still_used;
}

void VNode_Trim() {
  VNode_Flush(nullptr);
  lock();
  if (g.himark != nullptr) {
    VNODE* prev = nullptr;
    for (VNODE* v = g.free_head; v != nullptr && v != g.himark; v = v->next) prev = v;
    if (prev != nullptr) prev->next = nullptr; else g.free_head = nullptr;
    free_chain(g.himark);
  }
  g.himark = g.free_head;
  unlock();
}

void VNode_Cleanup() {
  free_chain(g.free_head);
  g.free_head = nullptr;
  g.himark = nullptr;
  g.stats.allocated = 0;
}

void VNode_Forget(Node* node) {
  VNODE* v = vnode_of(node);
  if (v == nullptr) return;
  unlink_cached(v);
  if (v->in_use > 0) g.stats.in_use--; else g.stats.unused--;
  node->reserved = nullptr;
  v->node = nullptr;
  v->in_use = 0;
  push_free(v);
}

VNodeStats VNode_GetStats() { return g.stats; }

void VNode_Reset() {
  ZENT_ASSERT(g.head == nullptr && "VNode_Reset(): vnodes still attached");
  VNode_Cleanup();
  g = Cache{};
}
