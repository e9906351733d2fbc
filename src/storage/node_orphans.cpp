// node_orphans.cpp - recovery's check of the used-cluster lists (see
// node_orphans.h).
#include "storage/node_orphans.h"

#include <map>
#include <set>
#include <vector>

#include "base/debug_log.h"
#include "storage/node_cluster.h"
#include "storage/node_flist.h"
#include "storage/node_state.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace {

struct Listed {
  bool noted = false;               // the list before the replay is kept
  std::set<uint32_t> before;        // first pages listed before the replay
  std::set<uint32_t> confirmed;     // first pages a committed record owns
  std::set<uint32_t> released;      // first pages a committed record gave up
};

bool g_tracking = false;
std::map<Node*, Listed> g_nodes;
struct Chained {
  int op;             // Node_CLUSTER_FLIST or Node_CLUSTER_NODE_PAGE
  uint32_t owner_id;  // the pool of a free-list page (0: gone)
};
std::map<uint32_t, Chained> g_chained;  // by page

bool data_root_names(uint32_t page) {
  const Node_ROOT* root = nodes::g.data_root;
  for (const Node_MEMPAGE* mp = root != nullptr ? root->page_head : nullptr; mp != nullptr;
       mp = mp->next)
    if (mp->page == page) return true;
  return false;
}

bool chain_names(uint32_t page, const Chained& c) {
  if (c.op == Node_CLUSTER_NODE_PAGE) return data_root_names(page);
  Node* owner = c.owner_id != 0 ? Node_Find(c.owner_id) : nullptr;
  return owner != nullptr && Node_FlistNamesPage(owner, page);
}

}  // namespace

void Node_RecoverTrackLists(bool on) {
  g_tracking = on;
  // A replay given up leaves nothing behind for the next one.
  if (!on) g_nodes.clear();
}

void Node_RecoverNoteList(Node* node) {
  if (!g_tracking || !Tlog_InRecovery()) return;
  Listed& l = g_nodes[node];
  if (l.noted) return;
  l.noted = true;
  uint32_t start = 0, count = 0;
  Node_ITER iter;
  for (int rc = Node_FirstCluster(node, &start, &count, &iter); rc == 0;
       rc = Node_NextCluster(node, &start, &count, &iter))
    l.before.insert(start);
}

void Node_RecoverConfirmCluster(Node* node, uint32_t first_page) {
  if (!Tlog_InRecovery() || first_page == 0) return;
  Listed& l = g_nodes[node];
  l.confirmed.insert(first_page);
  l.released.erase(first_page);
}

void Node_RecoverReleaseCluster(Node* node, uint32_t first_page) {
  if (!Tlog_InRecovery() || first_page == 0) return;
  Listed& l = g_nodes[node];
  l.released.insert(first_page);
  l.confirmed.erase(first_page);
}

void Node_RecoverNoteChainedPage(int op, uint32_t owner_id, uint32_t page) {
  if (Tlog_InRecovery()) g_chained[page] = Chained{op, owner_id};
}

void Node_RecoverSettleChainedPages(bool settle) {
  std::map<uint32_t, Chained> pages;
  pages.swap(g_chained);
  if (!settle) return;
  for (const auto& [page, c] : pages) {
    if (chain_names(page, c)) {
      Vol_MarkPageUsed(page, 1);
    } else {
      debug_log('L', 2, "volume recovery: page 0x%x of no chain freed", page);
      Vol_FreePageDelayed(page, 1);
    }
  }
}

int Node_RecoverDropUnconfirmed() {
  std::map<Node*, Listed> nodes;
  nodes.swap(g_nodes);
  g_tracking = false;
  for (auto& [node, l] : nodes) {
    if (!l.noted && l.released.empty()) continue;
    // Entries to drop; released ones have their pages on the delayed-free
    // list already.
    struct Drop {
      Node_ITEM item;
      bool released;
    };
    std::vector<Drop> drops;
    uint32_t start = 0, count = 0;
    Node_ITER iter;
    for (int rc = Node_FirstCluster(node, &start, &count, &iter); rc == 0;
         rc = Node_NextCluster(node, &start, &count, &iter)) {
      if (l.released.count(start) != 0)
        drops.push_back({Node_ITEM{start, count}, true});
      else if (l.noted && l.before.count(start) == 0 && l.confirmed.count(start) == 0)
        drops.push_back({Node_ITEM{start, count}, false});
    }
    if (drops.empty()) continue;
    if (Node_Open(node) != 0) return -1;
    for (Drop& d : drops) {
      debug_log('L', 1, "volume recovery: node %s: cluster 0x%x (%u pages) %s, dropped",
                Node_Name(node), d.item.id, d.item.count,
                d.released ? "given up by a committed transaction was still listed"
                           : "was listed by a transaction that never committed");
      int head_dirty = 0;
      Node_DeleteItem(node, &node->node.ulist, &d.item, &head_dirty, nullptr);
      if (head_dirty) Node_SetDirty(node);
      if (!d.released && d.item.count > 0)
        Node_FreePages(node, d.item.id, static_cast<int>(d.item.count));
    }
    Node_Close(node);
  }
  return 0;
}

namespace {

// A user node that is no pool and has neither meta data nor clusters: its
// creation snapshot reached the log, the one of its set-up (type and meta
// data in one record) did not. Every kind of user data node has meta data.
bool half_made(const Node* node) {
  return node->node.node_id >= Node_FIRSTNODE && !Node_TestFlag(Node_POOLNODE, node) &&
         !Node_AddrValid(&node->node.meta_addr) && node->node.ulist.head == 0;
}

}  // namespace

int Node_RecoverDropUncommitted() {
  std::vector<Node*> nodes;
  const int rc = Node_VisitById(
      0,
      [](Node* node, void* ctx) {
        if (Node_TestFlag(Node_UNCOMMITTED, node) || half_made(node))
          static_cast<std::vector<Node*>*>(ctx)->push_back(node);
        return 0;
      },
      &nodes);
  if (rc != 0) return -1;
  for (Node* node : nodes) {
    debug_log('L', 1, "volume recovery: node %s %s, deleted", Node_Name(node),
              half_made(node) ? "was left half made by a create the power cut"
                              : "was made by a transaction that never committed");
    if (Node_Delete(node) != 0) return -1;
  }
  return 0;
}
