// tlog_state.h - the transaction log's state shared by its files:
// tlog_record.cpp (formats, records, tag records, the walk, the tables) and
// tlog_tx.cpp (log nodes, transactions, semaphores, counters). Other
// modules use tlog.h; nothing here is for them.
//
// Context: the server thread.
#pragma once
#include <cstdint>

#include "base/error_status.h"
#include "storage/llist.h"
#include "storage/tlog.h"

#define TLOG_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

namespace tlog {

// One element of the transaction stack (in memory only).
struct StackItem {
  Node_ADDR begin_pos;  // its begin record's block in LOG
  uint32_t txid;
  uint32_t sub_id;      // the outermost element counts the sub-transactions begun
  uint32_t actions;
};

// One element of the freed-blocks list: a node and its freed blocks.
struct FreeItem {
  Node* node;
  Llist blocks;
};

// The run-time part of an open log node: its anchors (the working copy of
// the meta data's), the transaction stack (outermost first), the context
// records it holds and the blocks its transactions free.
struct Runtime {
  Tlog_META meta;
  Llist stack;
  Node_LOG_REC* contexts = nullptr;
  Llist free_items;
  uint32_t do_log_pages = 0;  // pages of the DO_LOG chain (moved to the root at commit)
};

struct Globals {
  Node* root = nullptr;
  uint32_t root_pages = 0;
  int recovering = 0;
  Node* action_node = nullptr;
  uint32_t dispatched = 0;
  uint32_t checkpoints = 0;       // taken since start
  uint32_t checkpoint_pages = 0;  // LOG pages of the checkpoint in progress
  Tlog_COUNTERS counters{};
};
extern Globals g;

// The run-time part of node, made when missing. The node must be open
// with a log node's meta data (checked: "Tlog_GetMeta() failed: file is
// corrupt").
Runtime* runtime(Node* node);
// Drops node's run-time part (the lists must have been freed).
void drop_runtime(Node* node);
// The LOG pages transactions must leave to the root log (see
// Vol_SetTlogReserveFn): a base, and a page for every Tlog_RESERVE_ACTIONS
// records of open transactions, since each record's rollback (or final
// commit) may write one small root-log record. 0 while the log is off or
// replays.
constexpr uint32_t Tlog_RESERVE_BASE = 32;
constexpr uint32_t Tlog_RESERVE_ACTIONS = 16;
uint32_t reserve_pages();
// The set closes: every run-time part goes, its lists freed.
void drop_all_runtimes();
// Writes the anchors into the meta copy and marks it dirty; with
// write_now the meta data go to the system pool at once.
void store_meta(Node* node, Runtime* rt, bool write_now);
FPool_ANCHOR* anchor_of(Runtime* rt, int channel, const char* who);
StackItem* innermost(Runtime* rt);
StackItem* outermost(Runtime* rt);
// The txid a record written now carries on a transaction node.
uint32_t record_txid(Runtime* rt);
// Frees the stack, the context records and the freed-blocks lists; true
// when something was freed.
bool free_runtime_lists(Node* node, Runtime* rt);
// 1 when node has node flag 3 (meta written when a chain starts, every
// write forces the LOG volumes).
bool forced(const Node* node);
// The walk behind Tlog_Action and Tlog_ActionTo: in the stop block a
// stop_record of 0 or more ends it after the record at that offset.
int walk(Node* node, int channel, const Tlog_ACTIONTABLE* table, FPool_ITER* start,
         const Node_ADDR* stop, int64_t stop_record, const char* message, int reverse);
// Counts the pages the latest allocation on node's channel added.
void count_pages(Node* node, Runtime* rt, int channel);

}  // namespace tlog
