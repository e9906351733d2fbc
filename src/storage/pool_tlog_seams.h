// pool_tlog_seams.h - what the pools ask of the transaction log: log
// records of opcode 18 on a transaction node, the node log-record hash that
// says which open transaction holds a page, the per-transaction free lists
// of pool blocks, and the sub-transaction id. NOT YET BUILT: the
// transaction log (records, transactions, the log-record hash) comes with
// the next steps. Until then no transaction node exists, so no pool call
// gets a transaction and none of these is reached, but for the lookup of a
// page's entry, which finds none. The stand-ins that need a transaction
// stop the process if reached all the same ("not yet built").
//
// The transaction issue replaces this file with the real calls. Tests (and
// that issue while it is half-way) install others with
// Pool_SetTlogServices: an in-memory log that keeps the records and runs
// the pool's handlers over them.
//
// Context: the server thread, like every pool call.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/llist.h"
#include "storage/node_format.h"

struct Node;

// Log channels of a log node.
enum { Tlog_CHANNEL_LOG = 1, Tlog_CHANNEL_DO_LOG = 2 };
// The opcode of the pools' records.
inline constexpr uint8_t Tlog_OP_POOL = 18;

// One entry of the node log-record hash: which open transaction (log_node)
// holds key of node, and where its latest logged change of it lies. The
// pools key their entries by page address and keep the page's redirected
// copy in state.
struct Node_LOG_REC {
  Node_LOG_REC* hash_prev = nullptr;
  Node_LOG_REC* hash_next = nullptr;
  Node* node = nullptr;
  Node* log_node = nullptr;  // the holder; none = no holder
  uint32_t key = 0;
  uint32_t state = 0;
  Node_ADDR log_addr;        // the holder's latest record of the key; cluster 0 = none
  Node_LOG_REC* log_prev = nullptr;
  Node_LOG_REC* log_next = nullptr;
};

// Appends one record (opcode, channel) for owner to tx's chain; *pos is its
// position. 0 or -1.
int Tlog_WriteRecord(Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                     uint32_t size, Node_ADDR* pos);
// Reads the data of the record at pos (up to size bytes); *txid (when
// given) is the sub-transaction id it was written under. The bytes read, or -1.
int Tlog_ReadRecord(Node* tx, const Node_ADDR* pos, void* buffer, uint32_t size, uint32_t* txid);
// The id records of tx's innermost transaction carry now.
uint32_t Tlog_SubID(Node* tx);
// The log node whose records a walk dispatches now (a handler's caller).
Node* Tlog_ActionNode();
// tx's free list of node's blocks (Node_ADDR items, ascending sizes): made
// empty when missing / none when missing.
Llist* Tlog_AddLogpoolFlist(Node* node, Node* tx);
Llist* Tlog_FindLogpoolFlist(Node* node, Node* tx);
// Makes tx the holder of entry (an entry with a holder stays as it is).
void Tlog_LinkLogRecord(Node* tx, Node_LOG_REC* entry);

// The entry of (node, key): found (*found 1) or added without a holder.
Node_LOG_REC* Node_AddLogRecord(Node* node, uint32_t key, int* found);
Node_LOG_REC* Node_FindLogRecord(Node* node, uint32_t key);
void Node_RemoveLogRecord(Node_LOG_REC* entry);

// Recovery: marks the pages of node's clusters and list pages used again
// (the node log records' part). 0 or -1.
int Node_RecoverUsedPages(Node* node);

struct PoolTlogServices {
  int (*write_record)(Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                      uint32_t size, Node_ADDR* pos);
  int (*read_record)(Node* tx, const Node_ADDR* pos, void* buffer, uint32_t size,
                     uint32_t* txid);
  uint32_t (*sub_id)(Node* tx);
  Node* (*action_node)();
  Llist* (*add_logpool_flist)(Node* node, Node* tx);
  Llist* (*find_logpool_flist)(Node* node, Node* tx);
  void (*link_log_record)(Node* tx, Node_LOG_REC* entry);
  Node_LOG_REC* (*add_log_record)(Node* node, uint32_t key, int* found);
  Node_LOG_REC* (*find_log_record)(Node* node, uint32_t key);
  void (*remove_log_record)(Node_LOG_REC* entry);
  int (*recover_used_pages)(Node* node);
};
// None restores the stand-ins.
void Pool_SetTlogServices(const PoolTlogServices* services);
