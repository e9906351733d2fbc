// syscat_log.cpp - a table's VMETA (id counter and anchor) read and
// written outside or inside a transaction, the deferred creation and
// deletion of table nodes, and the final-commit handler of log opcode 17.
//
// Outside a transaction the VMETA lives in the table node's meta data copy
// (marked changed, written back at the node's last close or the volume
// set's sync). Inside one it travels in VMETA records until the final
// commit writes it into the meta data; that road is syscat_tx.h.
//
// Context: the server thread, under the table node's lock (the final
// commit under the walk of the log). Nothing here suspends but the node
// delete.
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "index/syscat_tx.h"
#include "storage/disk_bytes.h"
#include "storage/node_tlog_seams.h"
#include "storage/node_logrec.h"
#include "storage/pool_tlog_seams.h"

namespace {

// The VMETA in the meta data copy of a referenced node, checked against
// the meta data's size.
int read_meta(Node* node, uint32_t ofs_unique, uint32_t ofs_anchor, SysCat_VMETA* vm) {
  const uint32_t size = Node_GetMetaSize(node);
  if (Node_RefCount(node) <= 0 || size == 0 || ofs_anchor == 0 || ofs_unique + 4 > size ||
      ofs_anchor + SysCat_ANCHOR_SIZE > size) {
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  const auto* meta = static_cast<const uint8_t*>(Node_GetMetaData(node));
  vm->unique = le_get32(meta + ofs_unique);
  vm->ofs_unique = ofs_unique;
  vm->anchor = SysCat_DecodeAnchor(meta + ofs_anchor);
  vm->ofs_anchor = ofs_anchor;
  return 0;
}

int write_meta(Node* node, const SysCat_VMETA& vm) {
  const uint32_t size = Node_GetMetaSize(node);
  if (Node_RefCount(node) <= 0 || size == 0 || vm.ofs_anchor == 0 || vm.ofs_unique + 4 > size ||
      vm.ofs_anchor + SysCat_ANCHOR_SIZE > size) {
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  auto* meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  le_put32(meta + vm.ofs_unique, vm.unique);
  SysCat_EncodeAnchor(vm.anchor, meta + vm.ofs_anchor);
  Node_SetMetaDirty(node);
  return 0;
}

}  // namespace

int SysCat_get_vmeta(SysCat_MAP* entry, SysCat_VMETA* vmeta, Node_LOG_REC* lock) {
  if (SysCat_EntryOpen(entry) != 0) return -1;
  const SysCat_TABLE_DESCR& d = entry->node_descr->d;
  if (lock == nullptr || !Node_AddrValid(&lock->log_addr))
    return read_meta(entry->node, d.ofs_unique, d.ofs_anchor, vmeta);
  SysCat_RECORD rec;
  if (SysCat_ReadVmetaRecord(lock, &rec) != 0) return -1;
  ZENT_ASSERT(rec.opcode == SysCat_OP_VMETA);
  ZENT_ASSERT(rec.vmeta.ofs_unique == d.ofs_unique && rec.vmeta.ofs_anchor == d.ofs_anchor);
  *vmeta = rec.vmeta;
  return 0;
}

int SysCat_push_vmeta(SysCat_MAP* entry, const SysCat_VMETA* vmeta, Node_LOG_REC* lock, Node* tx) {
  if (SysCat_EntryOpen(entry) != 0) return -1;
  if (tx == nullptr) return write_meta(entry->node, *vmeta);
  SysCat_RECORD rec;
  rec.opcode = SysCat_OP_VMETA;
  if (lock != nullptr) rec.prev = lock->log_addr;
  rec.vmeta = *vmeta;
  return SysCat_WriteRecord(tx, entry->node, rec, lock);
}

int SysCat_log_create_node(Node* node, Node* tx) {
  if (tx == nullptr) return 0;
  SysCat_RECORD rec;
  rec.opcode = SysCat_OP_CREATE;
  rec.node_id = Node_GetId(node);
  return SysCat_WriteRecord(tx, nullptr, rec, nullptr);
}

int SysCat_delete_node(Node* node, Node* tx) {
  if (tx == nullptr) {
    if (Node_Delete(node) != 0) {
      SysCat_Error(SC_E_NODE);
      return -1;
    }
    return 0;
  }
  SysCat_RECORD rec;
  rec.opcode = SysCat_OP_DELETE;
  rec.node_id = Node_GetId(node);
  return SysCat_WriteRecord(tx, nullptr, rec, nullptr);
}

int SysCat_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  ZENT_ASSERT(data != nullptr && "data");
  ZENT_ASSERT(pos != nullptr && "data_addr");
  SysCat_RECORD rec;
  if (const int bad = SysCat_DecodeLogged("SysCat_FinalCommit", node, data, size, &rec))
    return bad;
  debug_log('N', 3, "SysCat_FinalCommit(node=%s) commit %s",
            node != nullptr ? Node_Name(node) : "NULL", SysCat_OpName(rec.opcode));
  switch (rec.opcode) {
    case SysCat_OP_VMETA:
      ZENT_ASSERT(node != nullptr);
      ZENT_ASSERT(rec.vmeta.ofs_anchor != 0);
      // The meta data of a node nobody holds open are read for the write.
      if (Node_Open(node) != 0) return -1;
      {
        const int rc = write_meta(node, rec.vmeta);
        Node_Close(node);
        return rc;
      }
    case SysCat_OP_DELETE: {
      Node* victim = Node_Find(rec.node_id);
      if (victim == nullptr) return 0;
      return Node_Delete(victim);
    }
    default:
      return Node_Committed(rec.node_id);
  }
}
