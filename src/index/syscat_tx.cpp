// syscat_tx.cpp - the catalog inside a transaction (see syscat_tx.h): the
// table lock on the node log-record hash, the opcode-17 records on the
// transaction's LOG chain, the pre-commit and roll-back handlers, and
// their registration (with the final-commit handler of syscat_log.cpp) in
// the transaction log's tables.
//
// State: none of its own; the table locks are entries of the log-record
// hash, held by the transaction node that took them.
//
// Context: tasks of the server thread. SysCat_TableLock may suspend in the
// wait for another transaction (cut short: VOL E027) and where it takes the
// node lock again; the handlers run inside the log's walk and suspend only
// in the log's writes.
#include "index/syscat_tx.h"

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "index/syscat_internal.h"
#include "storage/disk_bytes.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"

namespace {

// The key of a table's lock entry: no pool page of the node has number 0.
constexpr uint32_t kTableKey = 0;

const char* name_of(const Node* node) { return node != nullptr ? Node_Name(node) : "NULL"; }

void give_node_lock(Node* node, int node_lock) {
  if (node_lock == 1)
    Node_Unlock(node);
  else
    Node_UnlockShared(node);
}

int take_node_lock(Node* node, int node_lock) {
  return node_lock == 1 ? Node_Lock(node, __FILE__, __LINE__)
                        : Node_LockShared(node, __FILE__, __LINE__);
}

bool same_block(const Node_ADDR& a, const Node_ADDR* b) {
  return b != nullptr && a.cluster == b->cluster && a.offset == b->offset;
}

}  // namespace

int SysCat_DecodeLogged(const char* who, Node* node, const void* data, uint32_t size,
                        SysCat_RECORD* rec) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const uint32_t opcode =
      bytes != nullptr && size >= 4 ? le_get32(bytes) : static_cast<uint32_t>(SysCat_OP_INVALID);
  if (opcode == SysCat_OP_INVALID || opcode > SysCat_OP_DELETE) {
    debug_log('N', 0, "%s(node=%s) failed: unknown opcode (%u)", who, name_of(node), opcode);
    return Tlog_DAMAGED;
  }
  const uint32_t want = opcode == SysCat_OP_VMETA ? SysCat_VMETA_REC_SIZE : SysCat_NODE_REC_SIZE;
  if (size != want || SysCat_DecodeRecord(bytes, size, rec) != 0)
    return Tlog_Damaged(who, "catalog log record", size);
  return 0;
}

namespace {

// The table lock of a VMETA record's table, which must name a record.
Node_LOG_REC* logged_lock(Node* node) {
  ZENT_ASSERT(node != nullptr && "node");
  Node_LOG_REC* lock = Node_FindLogRecord(node, kTableKey);
  ZENT_ASSERT(lock != nullptr && "lrec != NULL");
  ZENT_ASSERT(Node_AddrValid(&lock->log_addr) && "Node_AddrValid(&lrec->log_addr)");
  return lock;
}

}  // namespace

int SysCat_TableLock(SysCat_MAP* entry, Node* tx, int node_lock, Node_LOG_REC** lock) {
  *lock = nullptr;
  Node* node = entry->node;
  if (tx != nullptr && Tlog_RootNode() == nullptr) {
    // With the log off a record would be dropped unwritten, and with it
    // the change of the table's anchor.
    debug_log('O', 1, "SysCat_TableLock(node=%s) failed: no transaction log", Node_Name(node));
    give_node_lock(node, node_lock);
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  for (;;) {
    Node_LOG_REC* e = tx != nullptr ? Node_AddLogRecord(node, kTableKey, nullptr)
                                    : Node_FindLogRecord(node, kTableKey);
    Node* holder = e != nullptr ? e->log_node : nullptr;
    if (tx == nullptr && (holder == nullptr || node_lock != 1)) return 0;
    if (tx != nullptr && (holder == nullptr || holder == tx)) {
      if (holder == nullptr) Tlog_LinkLogRecord(tx, e);
      e->state += 1;
      *lock = e;
      return 0;
    }
    if (holder->owner == thread_self()) {
      debug_log('O', 1, "SysCat_TableLock(node=%s) failed: table held by another transaction "
                "of this task (%s)", Node_Name(node), Node_Name(holder));
      give_node_lock(node, node_lock);
      SysCat_Error(SC_E_NODE);
      return -1;
    }
    debug_log('O', 2, "SysCat_TableLock(node=%s): waiting for transaction node %s",
              Node_Name(node), Node_Name(holder));
    give_node_lock(node, node_lock);
    if (Node_Wait(holder, __FILE__, __LINE__) != 0) {
      SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_LOCK);
      return -1;
    }
    if (take_node_lock(node, node_lock) != 0) return -1;
  }
}

void SysCat_TableUnlock(Node_LOG_REC* lock, Node*) {
  if (lock == nullptr) return;
  if (lock->state > 0) lock->state -= 1;
  if (lock->state == 0 && !Node_AddrValid(&lock->log_addr)) Node_RemoveLogRecord(lock);
}

int SysCat_ReadVmetaRecord(Node_LOG_REC* lock, SysCat_RECORD* rec) {
  uint8_t data[SysCat_VMETA_REC_SIZE];
  const int got = Tlog_ReadRecord(lock->log_node, &lock->log_addr, data, sizeof data, nullptr);
  if (got != static_cast<int>(sizeof data) || SysCat_DecodeRecord(data, sizeof data, rec) != 0) {
    debug_log('O', 0, "SysCat_get_vmeta(node=%s) failed on Tlog_ReadRecord(size=%u) returning %d",
              Node_Name(lock->node), static_cast<unsigned>(sizeof data), got);
    ZENT_ASSERT(!"SysCat_get_vmeta() failed on Tlog_ReadRecord()");
  }
  return 0;
}

int SysCat_WriteRecord(Node* tx, Node* owner, const SysCat_RECORD& rec, Node_LOG_REC* lock) {
  uint8_t data[SysCat_VMETA_REC_SIZE];
  const uint32_t size = SysCat_EncodeRecord(rec, data);
  Node_ADDR pos;
  if (Tlog_WriteRecord(tx, Tlog_OP_SYSCAT, Tlog_CHANNEL_LOG, owner, data, size, &pos) != 0) {
    debug_log('O', 1, "SysCat_WriteRecord(node=%s) failed on Tlog_WriteRecord(%s)",
              name_of(owner), SysCat_OpName(rec.opcode));
    return -1;
  }
  if (rec.opcode == SysCat_OP_VMETA) {
    ZENT_ASSERT(lock != nullptr && lock->log_node == tx && "table lock of the transaction");
    lock->log_addr = pos;
  }
  return 0;
}

int SysCat_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  ZENT_ASSERT(data != nullptr && "data");
  ZENT_ASSERT(pos != nullptr && "data_addr");
  SysCat_RECORD rec;
  if (const int bad = SysCat_DecodeLogged("SysCat_Commit", node, data, size, &rec)) return bad;
  switch (rec.opcode) {
    case SysCat_OP_VMETA: {
      // Only the latest VMETA of a table carries over: the older ones are
      // steps the final commit need not repeat.
      if (!same_block(logged_lock(node)->log_addr, pos)) {
        debug_log('N', 3, "SysCat_Commit(node=%s) pre-commit VMETA - ignored", name_of(node));
        return 0;
      }
      debug_log('N', 3, "SysCat_Commit(node=%s) pre-commit VMETA", name_of(node));
      return Tlog_WriteRecord(Tlog_ActionNode(), Tlog_OP_SYSCAT, Tlog_CHANNEL_DO_LOG, node, data,
                              SysCat_VMETA_REC_SIZE, nullptr) == 0
                 ? 0
                 : -1;
    }
    default:
      // A creation goes on to the committed unit too: its final commit
      // (and its redo after a power cut) marks the node as committed.
      debug_log('N', 3, "SysCat_Commit(node=%s) pre-commit %s", name_of(node),
                SysCat_OpName(rec.opcode));
      return Tlog_WriteRecord(Tlog_ActionNode(), Tlog_OP_SYSCAT, Tlog_CHANNEL_DO_LOG, nullptr,
                              data, SysCat_NODE_REC_SIZE, nullptr) == 0
                 ? 0
                 : -1;
  }
}

int SysCat_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  ZENT_ASSERT(data != nullptr && "data");
  ZENT_ASSERT(pos != nullptr && "data_addr");
  SysCat_RECORD rec;
  if (const int bad = SysCat_DecodeLogged("SysCat_Rollback", node, data, size, &rec)) return bad;
  switch (rec.opcode) {
    case SysCat_OP_VMETA: {
      debug_log('N', 3, "SysCat_Rollback(node=%s) roll-back VMETA", name_of(node));
      Node_LOG_REC* lock = logged_lock(node);
      if (Node_AddrValid(&rec.prev)) {
        lock->log_addr = rec.prev;
      } else {
        // Nothing of the table is left logged: the lock goes with it.
        Node_AddrClear(&lock->log_addr);
        lock->state = 0;
        Node_RemoveLogRecord(lock);
      }
      return 0;
    }
    case SysCat_OP_CREATE: {
      debug_log('N', 3, "SysCat_Rollback(node=%s) roll-back CREATE", name_of(node));
      Node* created = Node_Find(rec.node_id);
      ZENT_ASSERT(created != nullptr && "node_rec->u.node");
      return Node_Delete(created) == 0 ? 0 : -1;
    }
    default:
      debug_log('N', 3, "SysCat_Rollback(node=%s) roll-back DELETE - ignored", name_of(node));
      return 0;
  }
}

void SysCat_Init() {
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_SYSCAT, SysCat_Commit);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_SYSCAT, SysCat_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_SYSCAT, SysCat_Rollback);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_SYSCAT, SysCat_FinalCommit);
}
