// pool_tlog_seams.cpp - stand-ins for the transaction log as the pools call
// it (see pool_tlog_seams.h). NOT YET BUILT: replaced when the transaction
// log is built.
#include "storage/pool_tlog_seams.h"

#include "base/panic.h"

namespace {

[[noreturn]] void not_built(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

int no_write(Node*, uint8_t, int, Node*, const void*, uint32_t, Node_ADDR*) {
  not_built("Tlog_WriteRecord(): transaction log not yet built");
}
int no_read(Node*, const Node_ADDR*, void*, uint32_t, uint32_t*) {
  not_built("Tlog_ReadRecord(): transaction log not yet built");
}
uint32_t no_sub_id(Node*) { not_built("Tlog_SubID(): transaction log not yet built"); }
Node* no_action_node() { not_built("Tlog_ActionNode(): transaction log not yet built"); }
Llist* no_add_flist(Node*, Node*) {
  not_built("Tlog_AddLogpoolFlist(): transaction log not yet built");
}
// No transaction holds a list before transactions exist.
Llist* no_find_flist(Node*, Node*) { return nullptr; }
void no_link(Node*, Node_LOG_REC*) {
  not_built("Tlog_LinkLogRecord(): transaction log not yet built");
}
Node_LOG_REC* no_add_rec(Node*, uint32_t, int*) {
  not_built("Node_AddLogRecord(): log-record hash not yet built");
}
// No transaction holds a page before transactions exist.
Node_LOG_REC* no_find_rec(Node*, uint32_t) { return nullptr; }
void no_remove_rec(Node_LOG_REC*) {
  not_built("Node_RemoveLogRecord(): log-record hash not yet built");
}

// Recovery does not exist before the transaction log.
int no_recover(Node*) { not_built("Node_RecoverUsedPages(): recovery not yet built"); }

constexpr PoolTlogServices kStandIn = {no_write,     no_read,       no_sub_id, no_action_node,
                                       no_add_flist, no_find_flist, no_link,   no_add_rec,
                                       no_find_rec,  no_remove_rec, no_recover};
PoolTlogServices g_services = kStandIn;

}  // namespace

void Pool_SetTlogServices(const PoolTlogServices* services) {
  g_services = services != nullptr ? *services : kStandIn;
}

int Tlog_WriteRecord(Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                     uint32_t size, Node_ADDR* pos) {
  return g_services.write_record(tx, opcode, channel, owner, data, size, pos);
}
int Tlog_ReadRecord(Node* tx, const Node_ADDR* pos, void* buffer, uint32_t size, uint32_t* txid) {
  return g_services.read_record(tx, pos, buffer, size, txid);
}
uint32_t Tlog_SubID(Node* tx) { return g_services.sub_id(tx); }
Node* Tlog_ActionNode() { return g_services.action_node(); }
Llist* Tlog_AddLogpoolFlist(Node* node, Node* tx) { return g_services.add_logpool_flist(node, tx); }
Llist* Tlog_FindLogpoolFlist(Node* node, Node* tx) {
  return g_services.find_logpool_flist(node, tx);
}
void Tlog_LinkLogRecord(Node* tx, Node_LOG_REC* entry) { g_services.link_log_record(tx, entry); }
Node_LOG_REC* Node_AddLogRecord(Node* node, uint32_t key, int* found) {
  return g_services.add_log_record(node, key, found);
}
Node_LOG_REC* Node_FindLogRecord(Node* node, uint32_t key) {
  return g_services.find_log_record(node, key);
}
void Node_RemoveLogRecord(Node_LOG_REC* entry) { g_services.remove_log_record(entry); }
int Node_RecoverUsedPages(Node* node) { return g_services.recover_used_pages(node); }
