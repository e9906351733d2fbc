// pool_tlog_seams.h - the pools' calls into the transaction log: records
// of opcode 18 on a transaction node, the node log-record hash that says
// which open transaction holds a page, the per-transaction free lists of
// pool blocks, and the sub-transaction id. They go through one table whose
// default is the real log (tlog.h, node_logrec.h); tests may install
// another with Pool_SetTlogServices (an in-memory log that keeps the
// records and runs the pool's handlers over them).
//
// Context: the server thread, like every pool call.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/llist.h"
#include "storage/node_format.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"

struct Node;

// The opcode of the pools' records.
inline constexpr uint8_t Tlog_OP_POOL = Tlog_OP_POOL_RECORD;

int PoolLog_WriteRecord(Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                        uint32_t size, Node_ADDR* pos);
int PoolLog_ReadRecord(Node* tx, const Node_ADDR* pos, void* buffer, uint32_t size,
                       uint32_t* txid);
uint32_t PoolLog_SubID(Node* tx);
Node* PoolLog_ActionNode();
Llist* PoolLog_AddLogpoolFlist(Node* node, Node* tx);
Llist* PoolLog_FindLogpoolFlist(Node* node, Node* tx);
void PoolLog_LinkLogRecord(Node* tx, Node_LOG_REC* entry);
Node_LOG_REC* PoolLog_AddLogRecord(Node* node, uint32_t key, int* found);
Node_LOG_REC* PoolLog_FindLogRecord(Node* node, uint32_t key);
void PoolLog_RemoveLogRecord(Node_LOG_REC* entry);

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
};
// None restores the real log.
void Pool_SetTlogServices(const PoolTlogServices* services);
