// node_tlog_seams.cpp - the node layer's calls into the transaction log and
// the vnode cache, through a replaceable table (see node_tlog_seams.h).
#include "storage/node_tlog_seams.h"

#include "storage/node_log.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"
#include "storage/vnode.h"

namespace {

int log_add(Tlog_TAGREC* tag, Node* node, int opcode, const void* data, size_t size) {
  if (tag == nullptr) return 0;
  return Tlog_AddBufferToTagRecord(tag, static_cast<uint8_t>(opcode), node, data,
                                   static_cast<uint32_t>(size));
}

constexpr NodeTlogServices kDefault = {log_add,
                                       nodelog::init_root_log,
                                       nodelog::flush_log,
                                       nodelog::release_log,
                                       nodelog::write_snapshot,
                                       nodelog::write_deleted_snapshot,
                                       Tlog_InRecovery,
                                       VNode_Flush};

NodeTlogServices g_services = kDefault;

}  // namespace

void Node_SetTlogServices(const NodeTlogServices* services) {
  g_services = services != nullptr ? *services : kDefault;
}
const NodeTlogServices* Node_StandInTlogServices() { return &kDefault; }

int NodeLog_AddToTagRecord(Tlog_TAGREC* tag, Node* node, int opcode, const void* data,
                           size_t size) {
  return g_services.add_to_tag_record(tag, node, opcode, data, size);
}
int NodeList_InitRootLog(uint32_t op, NodeList_LOG* ctx) {
  return g_services.init_root_log(op, ctx);
}
int NodeList_FlushLog(NodeList_LOG* ctx) {
  return ctx == nullptr ? 0 : g_services.flush_log(ctx);
}
void NodeList_ReleaseLog(NodeList_LOG* ctx) {
  if (ctx != nullptr) g_services.release_log(ctx);
}
int Node_WriteSnapshot(Node* node) { return g_services.write_snapshot(node); }
int Node_WriteDeletedSnapshot(Node* node) { return g_services.write_deleted_snapshot(node); }
int Tlog_IsRecovering() { return g_services.is_recovering(); }
int Node_FlushVNodes(Node* node) { return g_services.vnode_flush(node); }

int Node_InitLogRecHash(int entries) { return Node_InitRecordHash(entries); }
void Node_CleanupLogRecHash() {
  Node_CleanupRecordHash();
  Node_FreeLogRecordCache();
}
