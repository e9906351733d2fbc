// node_orphans.h - recovery's check of the used-cluster lists: a cluster
// (or B-tree page) that a replayed list record put into a node's used list
// stays there only when a committed transaction's own records confirm it.
//
// A transaction's pre-commit lists its new clusters in a unit of the root's
// log of its own, flushed before the transaction's unit is linked; a power
// loss between the two leaves that unit replayed and nothing that owns the
// cluster. After the replay those entries leave the list and their pages go
// back to the volume (nothing is logged: the replay's results reach the disk
// with the rest of recovery's writes).
//
// State: one table of the nodes noted during the replay, owned by this
// module, emptied by Node_RecoverDropUnconfirmed. Context: the server thread,
// inside Tlog_Recover only.
#pragma once

#include <cstdint>

struct Node;

// Switched on around the replay of committed transactions (the DO_LOG
// channel): only list records replayed then are checked.
void Node_RecoverTrackLists(bool on);
// Before a replayed record changes node's used list: the list as it stood
// is kept once per node, so that only entries the replay added are checked.
void Node_RecoverNoteList(Node* node);
// A committed transaction's replayed record owns the cluster (or page)
// whose first page is first_page.
void Node_RecoverConfirmCluster(Node* node, uint32_t first_page);
// A committed transaction's replayed final commit gave up the cluster whose
// first page is first_page (its pages are freed at the next checkpoint).
// The list change that went with it is a root-log unit of its own, written
// after the transaction's records: a power loss may have kept it from the
// disk. Unless a later record confirms the cluster again, it leaves the
// list after the replay.
void Node_RecoverReleaseCluster(Node* node, uint32_t first_page);
// Drops from each noted node's used list every entry the replay added and
// no committed record confirmed, and frees its pages; drops every cluster
// a committed record gave up that is still listed. 0 or -1.
int Node_RecoverDropUnconfirmed();
// A replayed record names page as one of a chain (op Node_CLUSTER_FLIST:
// the free list of the pool owner_id, 0 for a node deleted later in the
// log; Node_CLUSTER_NODE_PAGE: the data root's node pages) taken or given
// up. Noted in both passes.
void Node_RecoverNoteChainedPage(int op, uint32_t owner_id, uint32_t page);
// After the replay (before the pages the log claimed are given back): each
// noted page stays in use when its chain names it, and is freed otherwise
// (the link that named it, or the drop that freed it, died with the
// power). settle false (a replay given up) forgets them.
void Node_RecoverSettleChainedPages(bool settle);
// Deletes every data node still marked Node_UNCOMMITTED after the replay
// (its transaction never committed, so nothing owns it), and every user
// node a create outside a transaction left without meta data (the power
// cut it between its creation snapshot and its set-up). 0 or -1.
int Node_RecoverDropUncommitted();
