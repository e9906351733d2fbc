// node_state.h - the node layer's one global state and the helpers its
// files share: node.cpp (accessors, locks, subsystems, names), node_root.cpp
// (roots, mempages, node pages, volume events), node_create.cpp (create,
// delete, reset), node_meta.cpp (open, close, meta data). Other modules use
// node.h; nothing here is for them.
//
// Context: the server thread; see node.h for where tasks may be suspended.
#pragma once
#include <cstdint>

#include "base/error_status.h"
#include "base/task_kernel.h"
#include "storage/node.h"

#define NODE_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

struct Node_ROOT;

// One node page in memory: the page's address, its header and next link,
// and a handle for each of its 145 slots.
struct Node_MEMPAGE {
  Node_MEMPAGE* prev;
  Node_MEMPAGE* next;
  Node_ROOT* root;
  uint32_t page;        // address of the node page
  uint32_t next_page;   // as on the page
  Vol_PGHEADER header;  // flag bit 1 (Vol_DIRTY) = changed since written
  Node nodes[Node_PAGE_NUMITEMS];
};

// One node space: the data root or the log root.
struct Node_ROOT {
  Node_MEMPAGE* page_head = nullptr;
  Node_MEMPAGE* page_tail = nullptr;
  uint32_t num_nodes = 0;
  uint32_t last_node_id = Node_FIRSTNODE - 1;
  Node* sys_cache[Node_FIRSTNODE - 1] = {};  // ids 1..99
  bool log = false;
  // Creates, deletes and page releases of this root, one at a time: each
  // may suspend between changing the chain and finishing it.
  Semaphore chain_lock;
  // Set while a create allocates the root's first page: the volume set
  // records that page in its descriptor during the allocation, and the
  // sync that does so writes it as an empty node page first (event 0).
  bool first_page_pending = false;
  uint32_t pages = 0;  // mempages in the chain
};

namespace nodes {

struct Subsystem {
  uint16_t type;
  Node_NotifyFn notify;  // none = free entry
};

struct NodeLayer {
  Node_ROOT* data_root = nullptr;
  Node_ROOT* log_root = nullptr;
  Node_MEMPAGE* reuse = nullptr;  // freed mempages of the data root, linked by next
  bool installed = false;         // callback, cache facts and hash set up
  Vol_Callback previous_callback = nullptr;
  bool writing_roots = false;     // inside event 0..2: a nested sync skips the roots
  Semaphore node_sem;             // Node_Open and Node_Close, one unit
  Subsystem subsystems[Node_MAX_SUBSYSTEMS] = {};
  bool inspect_only = false;      // Node_SetInspectOnly
};

extern NodeLayer g;

// --- node_root.cpp ------------------------------------------------------------------

// The root (set up on first use), or none: no open set, or for the log
// root no LOG volume.
Node_ROOT* get_root(bool log);
// The first page of the root's volume.
uint32_t volume_first_page(const Node_ROOT* root);
// A fresh mempage for page (handles initialised, all slots free), not linked.
Node_MEMPAGE* new_mempage(Node_ROOT* root, uint32_t page);
void free_mempage(Node_MEMPAGE* mp);
// Frees a mempage not linked into its chain yet, should the code between
// making and linking it be left early (a test's simulated power cut).
class MempageGuard {
 public:
  explicit MempageGuard(Node_MEMPAGE* mp) : mp_(mp) {}
  ~MempageGuard() {
    if (mp_ != nullptr) free_mempage(mp_);
  }
  MempageGuard(const MempageGuard&) = delete;
  MempageGuard& operator=(const MempageGuard&) = delete;
  void release() { mp_ = nullptr; }

 private:
  Node_MEMPAGE* mp_;
};
void append_mempage(Node_ROOT* root, Node_MEMPAGE* mp);
void mark_changed(Node_MEMPAGE* mp);
bool is_changed(const Node_MEMPAGE* mp);
// Writes mp (the first page with the root counters). Fatal when the write
// fails. -1 (status 20) when on-line backup found no LOG page for it: mp
// and its changed descriptors stay marked, for the next sync.
int write_node_page(Node_MEMPAGE* mp);
// Writes the root's changed pages.
void write_changed_pages(Node_ROOT* root);
// Takes a root's chain lock; with cut_short the wait may end early (-1,
// status 27), else it sleeps again.
int lock_chain(Node_ROOT* root, bool cut_short);
void unlock_chain(Node_ROOT* root);
// Every used handle of the root, in chain order.
template <typename Fn>
void for_each_node(Node_ROOT* root, Fn fn) {
  for (Node_MEMPAGE* mp = root->page_head; mp != nullptr; mp = mp->next)
    for (Node& n : mp->nodes)
      if (n.node.node_id != 0) fn(&n);
}

// --- node.cpp -------------------------------------------------------------------------

// The state of a free slot's handle: locks, queue, counters.
void init_handle(Node* node, Node_MEMPAGE* mp);
// The handle's number goes: a record that still names it finds nothing.
void release_handle_id(Node* node);
inline bool is_log(const Node* node) { return (node->node.flags & (1u << Node_LOGNODE)) != 0; }

// --- node_create.cpp ------------------------------------------------------------------

// Releases mp when all its slots are free (never the first page while
// others follow). Under the chain lock.
void release_mempage_if_empty(Node_MEMPAGE* mp);
// Empties the node's slot: its handle goes, the counters follow, and a
// page left empty is released. Under the chain lock (or in recovery).
void free_slot(Node* node);

}  // namespace nodes
