// node_restore.h - restoring the node blocks of an archive (format:
// archive_format.h): each archived node becomes a new node with new
// clusters, and the pages of each cluster are handed, by node type, to
// the restore function of the layer that knows what cluster addresses
// they hold, which renumbers them through the cluster map.
//
// Cluster map: from each archived cluster {address, page count} of the
// node being restored to its new cluster. Node_RestoreMapCluster maps by
// range, so an address inside a multi-page cluster maps to the same page
// of the new cluster. The map holds one node's clusters at a time: it is
// emptied after each node, on success and failure alike, and freed at the
// end of the restore.
//
// What an archive must hold to be restored (anything else is refused with
// VOL E090, a short read with VOL E091; the reason is logged at N/0):
//   - a descriptor of exactly 32 bytes; cluster size 1..8; a type of two
//     capital letters or 0, but not a log node's; a pool of cluster size 1;
//     a node that keeps a used-cluster list. Of its flags only the pool
//     bit is taken; the new node's run-time bits are clear.
//   - its tags in the writer's order: meta data (1..65516 bytes), pool
//     free list (exactly 8 bytes per item the descriptor counts, pool
//     nodes only), used list (exactly 5 bytes per cluster the descriptor
//     counts, each of 1..8 pages, no two overlapping), then exactly one
//     cluster tag per listed cluster, 4 + 8192 x its page count bytes;
//   - free-list items inside the clusters they name.
//
// Context: the restoring client's task. One restore at a time (the restore
// semaphore, held for the whole of Node_RestoreAllNodes and released on
// every way out of it; the wait for it may be cut short: -1, VOL E027).
// The task may suspend in the node layer (create, locks, meta data), the
// buffer cache, the volume set, the restore functions and at each yield
// of the reader.
#pragma once
#include <cstdint>
#include <vector>

#include "storage/archive_reader.h"
#include "storage/node.h"

// The restore function of a node type: renumbers every cluster address in
// the count pages of one restored cluster (new address page_addr; the
// cluster_idx-th cluster tag of the node, from 0) through map. 0 or -1.
using Node_MapClusterFn = uint32_t (*)(uint32_t archived);
using Node_RestoreClusterFn = int (*)(Node* node, int count, uint8_t* const* pages,
                                      uint32_t page_addr, uint32_t cluster_idx,
                                      Node_MapClusterFn map);
// Registers fn (none removes it) for a node type. The B-tree registers
// NodeType_BT, the catalog NodeType_DB and NodeType_ST, the fixed-record
// files NodeType_FR. A node of one of these four types is refused while
// its type has no function: its pages hold addresses nobody could
// renumber. Pages of other types are kept as read.
void Node_SetRestoreClusterFn(uint16_t node_type, Node_RestoreClusterFn fn);
// The meta-data check of a node type: sees the archived meta data (size
// bytes) before they become the node's, and may rewrite them (what names
// pages outside the used-cluster list cannot come along); clusters is the
// number of clusters the node's descriptor promises. 0, or -1 to refuse
// the node, which then never holds these meta data. A type with such a
// function must have its meta data in the archive. None removes it.
using Node_RestoreMetaFn = int (*)(Node* node, uint8_t* meta, uint32_t size, uint32_t clusters);
void Node_SetRestoreMetaFn(uint16_t node_type, Node_RestoreMetaFn fn);
// Records the creation of a restored node in the caller's transaction (the
// catalog registers it); none records nothing. 0 or -1.
using Node_RestoreCreatedFn = int (*)(Node* node, Node* tx);
void Node_SetRestoreCreatedFn(Node_RestoreCreatedFn fn);

// The new cluster address for an archived one of the node being restored
// (by range: a page inside an archived cluster maps to the same page of
// its new cluster); 0 when the map does not hold it.
uint32_t Node_RestoreMapCluster(uint32_t archived);

struct Node_RESTORED {
  uint32_t archived_id;
  Node* node;
};

// Restores every node block from the one whose BEGIN tag (first, with its
// block type) was just read to the EOF tag (INFO tags may stand between
// blocks). The restored nodes in
// archive order, or -1. Inside a transaction (tx) the nodes are made
// uncommitted (Node_UncommittedScope): recovery deletes them unless the
// transaction's commit reached the log. Their pages are on disk, the DATA
// files flushed, before this returns: no log record holds them. On a
// failure the nodes already restored are deleted when there is no
// transaction (with one, its rollback deletes them), so a failed restore
// without one leaves the set as it was; the status is VOL E090, or E091
// for a short read, or E027 when the wait for the restore semaphore was
// cut short, or VOL E020 when on-line backup kept a page back.
int Node_RestoreAllNodes(Archive_STREAM* stream, const Node_TAGHEAD* first, uint8_t block,
                         std::vector<Node_RESTORED>* out, Node* tx);
// One node block whose BEGIN tag (head, with its block type) was just read.
// The new node (unreferenced), or none with the new node deleted (left to
// the rollback of tx when its creation was recorded there).
Node* Node_RestoreNode(Archive_STREAM* stream, const Node_TAGHEAD* head, uint8_t block,
                       uint32_t* archived_id, Node* tx);

// The map's table size for n entries: 2n - 1 cut to 65535, lowered to a
// prime (1999 for 1000).
int hash_init(int entries);
