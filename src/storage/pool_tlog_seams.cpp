// pool_tlog_seams.cpp - the pools' calls into the transaction log through
// a replaceable table (see pool_tlog_seams.h).
#include "storage/pool_tlog_seams.h"


namespace {

constexpr PoolTlogServices kRealLog = {
    Tlog_WriteRecord,      Tlog_ReadRecord,        Tlog_SubID,         Tlog_ActionNode,
    Tlog_AddLogpoolFlist,  Tlog_FindLogpoolFlist,  Tlog_LinkLogRecord, Node_AddLogRecord,
    Node_FindLogRecord,    Node_RemoveLogRecord};
PoolTlogServices g_services = kRealLog;

}  // namespace

void Pool_SetTlogServices(const PoolTlogServices* services) {
  g_services = services != nullptr ? *services : kRealLog;
}

int PoolLog_WriteRecord(Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                        uint32_t size, Node_ADDR* pos) {
  return g_services.write_record(tx, opcode, channel, owner, data, size, pos);
}
int PoolLog_ReadRecord(Node* tx, const Node_ADDR* pos, void* buffer, uint32_t size,
                       uint32_t* txid) {
  return g_services.read_record(tx, pos, buffer, size, txid);
}
uint32_t PoolLog_SubID(Node* tx) { return g_services.sub_id(tx); }
Node* PoolLog_ActionNode() { return g_services.action_node(); }
Llist* PoolLog_AddLogpoolFlist(Node* node, Node* tx) {
  return g_services.add_logpool_flist(node, tx);
}
Llist* PoolLog_FindLogpoolFlist(Node* node, Node* tx) {
  return g_services.find_logpool_flist(node, tx);
}
void PoolLog_LinkLogRecord(Node* tx, Node_LOG_REC* entry) {
  g_services.link_log_record(tx, entry);
}
Node_LOG_REC* PoolLog_AddLogRecord(Node* node, uint32_t key, int* found) {
  return g_services.add_log_record(node, key, found);
}
Node_LOG_REC* PoolLog_FindLogRecord(Node* node, uint32_t key) {
  return g_services.find_log_record(node, key);
}
void PoolLog_RemoveLogRecord(Node_LOG_REC* entry) { g_services.remove_log_record(entry); }
