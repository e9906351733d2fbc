// node_log.h - the node layer's log records: snapshots of a node's
// descriptor and meta data (opcode 4), deleted nodes (5), copies of node
// pages in LOG pages (6), cluster actions (7) and item-list records (8 to
// 12); the node-list log context other layers collect such records with;
// the records' redo, final-commit and checkpoint handlers; and the
// re-marking of a node's used pages during recovery.
//
// The node layer logs its own structures into the root log outside any
// transaction (state 1). Snapshots are taken only while the log is on
// (after the first checkpoint), never during recovery and never for log
// nodes; otherwise they are skipped and succeed. While recovery replays,
// a node-list context records nothing: the replayed changes are in the log
// being read already.
//
// Owners: this module owns no state beyond the handlers it registers; each
// node handle's log-cluster list (pages written, allocated or freed since
// its last snapshot) is the node's, emptied here by the next snapshot.
//
// Context: the server thread. Calls may suspend where the log writes (node
// lock of the root log node, the pools, the buffer cache), where the
// system pool is used and where the volume set allocates.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/node.h"
#include "storage/node_tlog_seams.h"
#include "storage/tlog.h"

// Node page record (opcode 6): always 772 bytes.
inline constexpr uint32_t NodePage_ENTRIES = 64;
inline constexpr size_t NodePage_RECORD_SIZE = 4 + NodePage_ENTRIES * 12;  // 772
enum { NodePage_ALLOC = 0, NodePage_CHANGE = 1, NodePage_FREE = 2 };
struct NodePage_ENTRY {
  uint32_t page = 0;
  uint32_t log_page = 0;
  uint32_t op = 0;
};
struct NodePage_RECORD {
  uint32_t count = 0;
  NodePage_ENTRY entry[NodePage_ENTRIES];
};
void NodePage_EncodeRecord(const NodePage_RECORD& r, uint8_t* out);  // 772 bytes
// -1 when the count is above 64.
int NodePage_DecodeRecord(const uint8_t* in, NodePage_RECORD* r);

// Snapshot (opcode 4): u16 length (meta size + 56), the descriptor, the
// meta bytes.
inline constexpr size_t Node_SNAPSHOT_HEAD = 2 + Node_DESC_SIZE;  // 58

// --- Node-list log contexts ---------------------------------------------------------

// The caller's list for NodeList_AddRecord: the word and type the records
// carry, the page, and the tag record they go to.
struct NodeList_HEADER {
  uint32_t list_word = 0;
  uint32_t list_type = NodeListType_UNKNOWN;
  uint32_t page = 0;
  Tlog_TAGREC* tag = nullptr;
};
inline constexpr uint32_t NodeList_PIECE = 8152;

// A context with its tag record on node's channel. 0 or -1.
int NodeList_InitLog(Node* node, uint32_t op, NodeList_LOG* ctx, int channel);
void NodeList_SetOp(uint32_t op, NodeList_LOG* ctx);
// One list record (16-byte head and data), or pieces of 8152 bytes with
// the offset advancing. 0 or -1.
int NodeList_AddRecord(Node* node, int opcode, const NodeList_HEADER* header, const void* data,
                       uint32_t offset, uint32_t size);

// --- Snapshots ------------------------------------------------------------------------

// Appends (page, op) for each page of the run to node's log-cluster list
// (nothing while the log is off, during recovery, or for a log node).
void Node_AddLogCluster(Node* node, uint32_t start_page, int count, int op);
int Node_WriteSingleSnapshot(Node* node, Tlog_TAGREC* tag, vbuf** record, vbuf** page);
int Node_WritePageSnapshot(Node* node, Tlog_TAGREC* tag, vbuf** record, vbuf** page);
// (Node_WriteSnapshot and Node_WriteDeletedSnapshot: node_tlog_seams.h.)

// --- Handlers and recovery -----------------------------------------------------------

int Node_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int Node_CommitDelete(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodePage_Redo(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodePage_Checkpoint(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int Node_CommitCluster(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitPage(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitPageHead(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitItem(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitItemSet(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitFill(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
// Redo of a record whose node was deleted later (Tlog_TABLE_GONE_REDO).
int Node_CommitClusterOfGone(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_CommitPageOfGone(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
// Before the replay (Tlog_TABLE_CLAIM): the pages a cluster record, a page
// record or a list page record names as allocated (Vol_ReservePage).
int Node_ClaimCluster(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodePage_Claim(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int NodeList_ClaimPage(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);

// The fixed-record files' recovery of a free-list page action (list
// identifier 2); installed by that layer. Without one such a record is an
// internal error.
using NodeList_FreeListRecovery = int (*)(Node* node, const void* data);
void NodeList_SetFreeListRecovery(NodeList_FreeListRecovery fn);

// The default services of node_tlog_seams.h.
namespace nodelog {
int init_root_log(uint32_t op, NodeList_LOG* ctx);
int flush_log(NodeList_LOG* ctx);
void release_log(NodeList_LOG* ctx);
int write_snapshot(Node* node);
int write_deleted_snapshot(Node* node);
}  // namespace nodelog

// Registers the handlers above in the log's tables (Tlog_Init calls it).
void NodeLog_RegisterHandlers();

// Marks used every item-list page of node's used-cluster list, every
// cluster its items name, and every page of its pool free list. 0.
int Node_RecoverUsedPages(Node* node);
