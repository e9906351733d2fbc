// syscat_tx_seams.cpp - stand-ins for the catalog's calls into the
// transaction log (see syscat_tx_seams.h): without a transaction the lock
// calls do nothing; with one every call refuses. Replaced when the
// transaction log is built.
#include "index/syscat_tx_seams.h"

#include "base/debug_log.h"
#include "index/syscat_internal.h"

namespace {
int refuse(const char* what) {
  debug_log('O', 0, "%s: catalog changes inside a transaction are not yet built", what);
  SysCat_Error(SC_E_NODE);
  return -1;
}
}  // namespace

int SysCat_TableLock(SysCat_MAP*, Node* tx, int, Node_LOG_REC** lock) {
  *lock = nullptr;
  if (tx == nullptr) return 0;
  return refuse("SysCat_TableLock");
}

void SysCat_TableUnlock(Node_LOG_REC*, Node*) {}

int SysCat_ReadVmetaRecord(Node_LOG_REC*, SysCat_RECORD*) { return refuse("SysCat_get_vmeta"); }

int SysCat_WriteRecord(Node*, Node*, const SysCat_RECORD& rec, Node_LOG_REC*) {
  return refuse(rec.opcode == SysCat_OP_VMETA    ? "SysCat_push_vmeta"
                : rec.opcode == SysCat_OP_CREATE ? "SysCat_log_create_node"
                                                 : "SysCat_delete_node");
}

int SysCat_Commit(Node*, const void*, const Node_ADDR*) { return refuse("SysCat_Commit"); }
int SysCat_Rollback(Node*, const void*, const Node_ADDR*) { return refuse("SysCat_Rollback"); }
