// node_root.cpp - the two roots of the node layer: set-up from the node
// page chain of their volume, mempages, reading and writing node pages,
// and the node layer's reaction to volume events (Node_Notify).
//
// Context: the server thread. Node pages move with synchronous page
// transfers (page_io), which do not suspend the task; the event handler
// may suspend where it writes meta data (system pool) and dirty buffers.
#include <algorithm>
#include <bitset>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>


#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_pool_services.h"
#include "storage/node_state.h"
#include "storage/node_tlog_seams.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

using namespace nodes;

namespace {

constexpr int kLogRecHashEntries = 1000;

// --- Node facts for the buffer cache --------------------------------------------------

int cache_is_log(const Node* node) { return is_log(node) ? 1 : 0; }
uint32_t cache_node_id(const Node* node) { return node->node.node_id; }
Vol_ALDESC* cache_alloc_map(const Node* node) { return node->alloc_map; }
const char* cache_name(const Node* node) { return Node_Name(node); }
constexpr BufNodeInfo kCacheNodeInfo = {cache_is_log, cache_node_id, cache_alloc_map,
                                        cache_name};

VOLUME* root_volume(bool log) { return log ? Vol_GetTlogVol() : Vol_GetRootVol(); }

// --- Reading node pages ----------------------------------------------------------------

// Set while recovery reads the log root: see Node_CheckLogRoot.
bool g_tolerate_damage = false;

// A damaged node page stops the server; in inspect mode (and for the log
// root recovery reads) the root is refused instead (status
// VOL_E_BAD_DESCRIPTOR), so a dump tool or recovery can say so.
void corrupt(const char* why, uint32_t page) {
  debug_log('N', 0, "Node_ReadNodePage() failed: %s, page=0x%x", why, page);
  if (g.inspect_only || g_tolerate_damage) {
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, VOL_E_BAD_DESCRIPTOR);
    return;
  }
  ZENT_ASSERT(!"Node_ReadNodePage() failed: file is corrupt");
  __builtin_unreachable();
}

}  // namespace

bool Node_PageInSet(uint32_t page) {
  const VOLUME* r = Vol_GetRootVol();
  const uint32_t id = PAGE_VOLID(page);
  if (r == nullptr || id >= static_cast<uint32_t>(Vol_NumVolumes())) return false;
  const VOLUME* v = &r[id];
  const uint32_t n = PAGE_NUMBER(page);
  return v->fhandle != nullptr && n != Vol_DESC_PAGE && n != Vol_DESC_COPY_PAGE &&
         n < v->curr_size;
}

namespace {

// Reads mp's node page into its handles (descriptors only: references,
// meta copies and locks of handles in use stay). Returns the page head;
// *ok false when the page is damaged (inspect mode only: else fatal).
Node_PAGE_HEAD read_node_page(Node_MEMPAGE* mp, bool* ok) {
  *ok = false;
  uint8_t image[Node_PAGE_USED];
  Vol_ReadPage(mp->page, image, sizeof image);
  Node_PAGE_HEAD head = Node_DecodePageHead(image);
  if (Vol_CheckHeader(Vol_PAGE_NODE, mp->page, &head.header) != 0) {
    corrupt("invalid page header", mp->page);
    return head;
  }
  Vol_ClearFlag(Vol_DIRTY, &head.header);
  mp->header = head.header;
  mp->next_page = head.next_page;
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
    Node_DESC d = Node_DecodeDesc(image + Node_SlotOffset(i));
    if (d.node_id != 0 && (d.cluster_size < 1 || d.cluster_size > Vol_MAXCLUST)) {
      corrupt("invalid cluster size", mp->page);
      return head;
    }
    d.flags &= ~Node_RUNTIME_FLAGS;
    mp->nodes[i].node = d;
  }
  *ok = true;
  return head;
}

Node_ROOT* setup_root(bool log);
void free_root(Node_ROOT* root);

// The counters of the first page may lag behind the slots after a crash
// (they and the slots need not reach the disk together): the count of
// nodes is what the slots hold, and no id in use may be handed out again.
void check_counters(Node_ROOT* root) {
  uint32_t used = 0;
  uint32_t highest = Node_FIRSTNODE - 1;
  for_each_node(root, [&](Node* n) {
    ++used;
    if (n->node.node_id > highest) highest = n->node.node_id;
  });
  if (used != root->num_nodes) {
    debug_log('N', 1, "Node_SetupRootDescriptor() note: %u nodes in the %s root, counter said %u",
              used, root->log ? "log" : "data", root->num_nodes);
    root->num_nodes = used;
    if (root->page_head) mark_changed(root->page_head);
  }
  if (highest > root->last_node_id) {
    debug_log('N', 1, "Node_SetupRootDescriptor() note: last node id raised from %u to %u",
              root->last_node_id, highest);
    root->last_node_id = highest;
    if (root->page_head) mark_changed(root->page_head);
  }
}

// The chain is followed from the file: it must stay inside the set and
// must not come back to a page seen before. 0, or -1 (inspect mode) when
// it is damaged.
int read_chain(Node_ROOT* root, uint32_t first) {
  std::unordered_set<uint32_t> seen;
  for (uint32_t page = first; page != 0;) {
    if (!Node_PageInSet(page)) {
      corrupt("node page outside the volume set", page);
      return -1;
    }
    if (!seen.insert(page).second) {
      corrupt("node page chain loops", page);
      return -1;
    }
    Node_MEMPAGE* mp = new_mempage(root, page);
    bool ok = false;
    const Node_PAGE_HEAD head = read_node_page(mp, &ok);
    if (!ok) {
      free_mempage(mp);
      return -1;
    }
    if (root->page_head == nullptr) {
      root->num_nodes = head.num_nodes;
      root->last_node_id = head.last_node_id < Node_FIRSTNODE - 1 ? Node_FIRSTNODE - 1
                                                                    : head.last_node_id;
    }
    append_mempage(root, mp);
    page = mp->next_page;
  }
  check_counters(root);
  return 0;
}

void install_once() {
  if (g.installed) return;
  if (Node_InitLogRecHash(kLogRecHashEntries) != 0)
    ZENT_ASSERT(!"failed to initialize record hash");
  g.previous_callback = Vol_SetCallback(Node_Notify);
  buf_SetNodeInfo(&kCacheNodeInfo);
  g.node_sem = Semaphore{};
  g.node_sem.count = 1;
  g.installed = true;
}

Node_ROOT* setup_root(bool log) {
  VOLUME* vol = root_volume(log);
  if (vol == nullptr) return nullptr;
  debug_log('N', 3, "Node_SetupRootDescriptor(volume_id=%u)", vol->volume_id);
  install_once();
  auto* root = new Node_ROOT();
  root->log = log;
  root->chain_lock.count = 1;
  if (vol->first_page != 0 && read_chain(root, vol->first_page) != 0) {
    free_root(root);
    return nullptr;
  }
  return root;
}

// Frees every mempage of a root (data mempages go to the reuse list).
void free_root(Node_ROOT* root) {
  if (root == nullptr) return;
  Node_MEMPAGE* mp = root->page_head;
  while (mp != nullptr) {
    Node_MEMPAGE* next = mp->next;
    free_mempage(mp);
    mp = next;
  }
  delete root;
}

void write_meta_data(Node_ROOT* root) {
  // Updates may suspend (system pool); the chain lock keeps the mempages.
  for_each_node(root, [](Node* n) { Node_UpdateMetaData(n); });
}

// The first page of a root being created is named by the volume
// descriptor that this sync writes: it must be a node page by then.
void write_pending_first_page(Node_ROOT* root) {
  if (!root->first_page_pending || root->page_head != nullptr) return;
  const uint32_t first = volume_first_page(root);
  if (first == 0) return;
  Node_MEMPAGE* mp = new_mempage(root, first);
  MempageGuard guard(mp);
  if (write_node_page(mp) != 0) return;  // still pending: the next sync
  Vol_SyncFile(Vol_VolumeOf(first), Vol_TIO_SYNC);
  root->first_page_pending = false;
}

void write_root(bool log) {
  Node_ROOT* root = log ? g.log_root : g.data_root;
  if (root == nullptr) return;
  lock_chain(root, false);
  write_pending_first_page(root);
  write_changed_pages(root);
  write_meta_data(root);
  unlock_chain(root);
  if (!log) buf_Sync(nullptr, 0);
}

// Log nodes go away with their root: their cached pages must not outlive
// the handles the cache names them by.
void drop_log_root() {
  Node_ROOT* root = g.log_root;
  if (root == nullptr) return;
  for_each_node(root, [](Node* n) { buf_Sync(n, 1); });
  g.log_root = nullptr;
  free_root(root);
}

void shut_down() {
  g.writing_roots = false;
  // Nodes the vnode cache keeps open are closed first, so that their
  // subsystems hear of it and changed meta data are written back.
  VNode_Flush(nullptr);
  if (Node_NotifySubsystems(nullptr, Node_EVENT_SHUTDOWN) != 0)
    ZENT_ASSERT(!"Node_Notify() failed on Node_NotifySubsystems()");
  // The cache names its pages by node handle: write and drop them while
  // the handles still exist.
  buf_Sync(nullptr, 1);
  Node_CleanupLogRecHash();
  for (Node_ROOT** root : {&g.log_root, &g.data_root}) {
    free_root(*root);
    *root = nullptr;
  }
  while (g.reuse != nullptr) {
    Node_MEMPAGE* next = g.reuse->next;
    delete g.reuse;
    g.reuse = next;
  }
  if (g.installed) {
    Vol_SetCallback(g.previous_callback);
    buf_SetNodeInfo(nullptr);
    g.installed = false;
  }
}

void reread_data_root() {
  Node_ROOT* root = g.data_root;
  if (root == nullptr) return;
  lock_chain(root, false);
  for (Node_MEMPAGE* mp = root->page_head; mp != nullptr; mp = mp->next) {
    bool ok = false;
    const Node_PAGE_HEAD head = read_node_page(mp, &ok);
    if (mp == root->page_head) {
      root->num_nodes = head.num_nodes;
      root->last_node_id = head.last_node_id;
    }
  }
  for (Node*& cached : root->sys_cache) cached = nullptr;
  check_counters(root);
  unlock_chain(root);
}

}  // namespace

namespace nodes {

Node_ROOT* get_root(bool log) {
  if (Vol_GetRootVol() == nullptr) return nullptr;
  Node_ROOT*& root = log ? g.log_root : g.data_root;
  if (root == nullptr) root = setup_root(log);
  return root;
}

uint32_t volume_first_page(const Node_ROOT* root) {
  const VOLUME* v = root_volume(root->log);
  return v != nullptr ? v->first_page : 0;
}

Node_MEMPAGE* new_mempage(Node_ROOT* root, uint32_t page) {
  Node_MEMPAGE* mp = nullptr;
  if (!root->log && g.reuse != nullptr) {
    mp = g.reuse;
    g.reuse = mp->next;
  } else {
    mp = new (std::nothrow) Node_MEMPAGE;
    if (mp == nullptr) {
      debug_log('N', 0, "Node_CreateNodeMempage() failed: heap overflow (%u bytes)",
                static_cast<unsigned>(sizeof(Node_MEMPAGE)));
      ZENT_ASSERT(!"Node_CreateNodeMempage() failed: heap overflow");
    }
  }
  mp->prev = mp->next = nullptr;
  mp->root = root;
  mp->page = page;
  mp->next_page = 0;
  Vol_InitHeader(Vol_PAGE_NODE, page, &mp->header);
  for (Node& n : mp->nodes) init_handle(&n, mp);
  return mp;
}

void free_mempage(Node_MEMPAGE* mp) {
  for (Node& n : mp->nodes) {
    VNode_Forget(&n);
    release_handle_id(&n);
    Llist_Clear(&n.log_clusters);
    free(n.meta_data);
    n.meta_data = nullptr;
  }
  if (!mp->root->log) {
    mp->next = g.reuse;
    g.reuse = mp;
  } else {
    delete mp;
  }
}

void append_mempage(Node_ROOT* root, Node_MEMPAGE* mp) {
  mp->prev = root->page_tail;
  mp->next = nullptr;
  if (root->page_tail != nullptr)
    root->page_tail->next = mp;
  else
    root->page_head = mp;
  root->page_tail = mp;
  root->pages++;
}

void mark_changed(Node_MEMPAGE* mp) { Vol_SetFlag(Vol_DIRTY, &mp->header); }
bool is_changed(const Node_MEMPAGE* mp) { return Vol_TestFlag(Vol_DIRTY, &mp->header) != 0; }

int write_node_page(Node_MEMPAGE* mp) {
  Node_ROOT* root = mp->root;
  const bool first = mp == root->page_head || root->page_head == nullptr;
  Vol_ClearFlag(Vol_DIRTY, &mp->header);
  uint8_t image[Node_PAGE_USED];
  Node_PAGE_HEAD head;
  head.header = mp->header;
  head.next_page = mp->next_page;
  head.num_nodes = first ? root->num_nodes : 0;
  head.last_node_id = first ? root->last_node_id : 0;
  Node_EncodePageHead(head, image);
  // Cleared before the write, which may suspend the task: a change made
  // meanwhile marks them again.
  std::bitset<Node_PAGE_NUMITEMS> changed;
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
    Node_DESC d = mp->nodes[i].node;
    d.flags &= ~Node_RUNTIME_FLAGS;
    Node_EncodeDesc(d, image + Node_SlotOffset(i));
    changed[i] = Node_TestFlag(Node_DESC_CHANGED, &mp->nodes[i]) != 0;
    Node_ClearFlag(Node_DESC_CHANGED, &mp->nodes[i]);
  }
  if (Vol_WritePage(mp->page, image, sizeof image) == 0) return 0;
  // On-line backup found no LOG page for it, or the file failed the write
  // (status 20): the page stays changed and the next sync writes it.
  debug_log('N', 1, "Node_WriteNodePage() page=0x%x kept back", mp->page);
  mark_changed(mp);
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i)
    if (changed[i]) Node_SetFlag(Node_DESC_CHANGED, &mp->nodes[i]);
  return -1;
}

void write_changed_pages(Node_ROOT* root) {
  for (Node_MEMPAGE* mp = root->page_head; mp != nullptr; mp = mp->next)
    if (is_changed(mp)) write_node_page(mp);
}

int lock_chain(Node_ROOT* root, bool cut_short) {
  while (down(&root->chain_lock, __FILE__, __LINE__) != 0) {
    if (cut_short) {
      NODE_ERROR(Node_E_LOCK);
      return -1;
    }
    debug_log('N', 2, "node chain lock: wait cut short, waiting again");
  }
  return 0;
}

void unlock_chain(Node_ROOT* root) { up(&root->chain_lock); }

}  // namespace nodes

// --- Interface --------------------------------------------------------------------------

int Node_Sync(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  if (is_changed(node->mempage)) return write_node_page(node->mempage);
  return 0;
}

void Node_Notify(int event) {
  debug_log('N', 3, "Node_Notify(event=%d)", event);
  const Vol_Callback previous = g.previous_callback;
  switch (event) {
    case 0:
    case 1:
    case 2:
      // A sync raised while the roots are written (a meta data write that
      // allocates) finds them being written already.
      if (!g.writing_roots) {
        g.writing_roots = true;
        if (event != 1) write_root(true);
        if (event != 2) write_root(false);
        g.writing_roots = false;
      }
      break;
    case 3:
      shut_down();
      break;
    case 4:
      drop_log_root();
      break;
    case 5:
      reread_data_root();
      break;
    case 6:
      // A data file failed a flush, which may have dropped node pages
      // written before it: the next sync writes every one again.
      if (g.data_root != nullptr)
        for (Node_MEMPAGE* mp = g.data_root->page_head; mp != nullptr; mp = mp->next)
          mark_changed(mp);
      break;
    default:
      break;
  }
  if (previous != nullptr) previous(event);
}

uint32_t Node_PageOf(const Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  return node->mempage->page;
}

int Node_RootCounts(int log, uint32_t* num_nodes, uint32_t* last_node_id, uint32_t* pages) {
  Node_ROOT* root = get_root(log != 0);
  if (root == nullptr) return -1;
  *num_nodes = root->num_nodes;
  *last_node_id = root->last_node_id;
  *pages = root->pages;
  return 0;
}

void Node_SetInspectOnly(int on) { g.inspect_only = on != 0; }

int Node_CheckLogRoot() {
  if (Vol_GetRootVol() == nullptr || Vol_GetTlogVol() == nullptr || g.log_root != nullptr)
    return 0;
  g_tolerate_damage = true;
  g.log_root = setup_root(true);
  g_tolerate_damage = false;
  return g.log_root != nullptr ? 0 : -1;
}

int Node_VisitById(int log, int (*fn)(Node* node, void* context), void* context) {
  if (log && Vol_GetTlogVol() == nullptr) return 0;
  Node_ROOT* root = get_root(log != 0);
  if (root == nullptr) return -1;
  std::vector<Node*> nodes;
  for_each_node(root, [&](Node* n) { nodes.push_back(n); });
  std::sort(nodes.begin(), nodes.end(),
            [](const Node* a, const Node* b) { return a->node.node_id < b->node.node_id; });
  for (Node* n : nodes)
    if (int rc = fn(n, context); rc != 0) return rc;
  return 0;
}
