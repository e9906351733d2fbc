// node_tlog_seams.cpp - stand-ins for the transaction log and the vnode
// cache as the node layer calls them (see node_tlog_seams.h). NOT YET
// BUILT: replaced when the transaction log is built.
#include "storage/node_tlog_seams.h"

namespace {

int no_log_add(Tlog_TAGREC*, Node*, int, const void*, size_t) { return 0; }
int no_log_init(uint32_t op, NodeList_LOG* ctx) {
  *ctx = NodeList_LOG{};
  ctx->op = op;
  return 0;
}
int no_log_flush(NodeList_LOG*) { return 0; }
void no_log_release(NodeList_LOG* ctx) {
  if (ctx != nullptr) ctx->tag = nullptr;
}
int no_snapshot(Node*) { return 0; }
int not_recovering() { return 0; }
int no_vnodes(Node*) { return 0; }

constexpr NodeTlogServices kStandIn = {no_log_add,  no_log_init,  no_log_flush,   no_log_release,
                                       no_snapshot, no_snapshot, not_recovering, no_vnodes};

NodeTlogServices g_services = kStandIn;
int g_hash_entries = 0;

}  // namespace

void Node_SetTlogServices(const NodeTlogServices* services) {
  g_services = services != nullptr ? *services : kStandIn;
}
const NodeTlogServices* Node_StandInTlogServices() { return &kStandIn; }

int Tlog_AddToTagRecord(Tlog_TAGREC* tag, Node* node, int opcode, const void* data, size_t size) {
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
int VNode_Flush(Node* node) { return g_services.vnode_flush(node); }

// No transaction holds anything before transactions exist.
int Node_InitLogRecHash(int entries) {
  g_hash_entries = entries;
  return 0;
}
void Node_CleanupLogRecHash() { g_hash_entries = 0; }
