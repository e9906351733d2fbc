// node_tlog_seams.h - what the node layer asks of the transaction log and
// the vnode cache, through one table tests may replace
// (Node_SetTlogServices, e.g. a sink that keeps the records to replay
// them). The default table calls the real modules:
//
//   - NodeLog_AddToTagRecord adds a record to a tag record of the log
//     (a context without a tag records nothing);
//   - NodeList_InitRootLog / NodeList_FlushLog / NodeList_ReleaseLog open,
//     flush and close a node-list log context on the root log (node_log.h);
//   - Node_WriteSnapshot and Node_WriteDeletedSnapshot write the node's
//     snapshot and deleted-node records (node_log.h);
//   - Tlog_IsRecovering is the log's recovery flag;
//   - Node_FlushVNodes is the vnode cache's VNode_Flush (vnode.h);
//   - the node log-record hash is node_logrec.h's.
//
// Context: the server thread, like every caller in the node layer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/tlog.h"

struct Node;

// A node-list log context: the list identifier its records carry (op,
// NodeList_ID_*), three words the log keeps, and the tag record the
// records go to (none: nothing is recorded). An opened context's tag is
// its own rec, so a context is not copied once opened.
struct NodeList_LOG {
  uint32_t op = 0;
  uint32_t words[3] = {};
  Tlog_TAGREC* tag = nullptr;
  Tlog_TAGREC rec;
};

// Adds one record of opcode (node_format.h) for node to tag. 0, or -1 when
// the log cannot take it. A none tag records nothing and succeeds.
int NodeLog_AddToTagRecord(Tlog_TAGREC* tag, Node* node, int opcode, const void* data,
                           size_t size);

// A context on the root log (the node layer's own structures, outside any
// transaction). 0 or -1.
int NodeList_InitRootLog(uint32_t op, NodeList_LOG* ctx);
int NodeList_FlushLog(NodeList_LOG* ctx);  // none gives 0
void NodeList_ReleaseLog(NodeList_LOG* ctx);

// Records the node's descriptor and meta data / its deletion. 0 or -1.
int Node_WriteSnapshot(Node* node);
int Node_WriteDeletedSnapshot(Node* node);

// 1 while crash recovery replays the log.
int Tlog_IsRecovering();

// The hash that says which open transaction holds a (node, key) pair.
// 0 or -1.
int Node_InitLogRecHash(int entries);
void Node_CleanupLogRecHash();

// VNode_Flush through the table: closes the unused vnodes of node (none =
// all); the number still in use.
int Node_FlushVNodes(Node* node);

// The functions above, replaceable as one table. Every member must be set.
struct NodeTlogServices {
  int (*add_to_tag_record)(Tlog_TAGREC* tag, Node* node, int opcode, const void* data,
                           size_t size);
  int (*init_root_log)(uint32_t op, NodeList_LOG* ctx);
  int (*flush_log)(NodeList_LOG* ctx);
  void (*release_log)(NodeList_LOG* ctx);
  int (*write_snapshot)(Node* node);
  int (*write_deleted_snapshot)(Node* node);
  int (*is_recovering)();
  int (*vnode_flush)(Node* node);
};
// None restores the default table.
void Node_SetTlogServices(const NodeTlogServices* services);
// The default table, for a caller that replaces only some of its entries.
const NodeTlogServices* Node_StandInTlogServices();
