// syscat_create.cpp - the server catalog of a new volume set: one node per
// server table (a pool node whose system id is the table id, type "ST",
// with its packed description as meta data), and the first rows: the
// objects, the users "dba" and "public", and the server's own tables and
// columns. The environment creation utility calls it; tests make their
// sets with it.
//
// Context: a utility's only thread, or a task; may suspend where the node
// layer, the pools and the volume set do.
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "storage/pool.h"

namespace {

// Gives a referenced node its packed description as meta data.
int describe(Node* node, const SysCat_TABLE_DESCR* descr) {
  const uint32_t size = sizeof_node_descr(descr);
  auto* meta = static_cast<uint8_t*>(Node_SetupMetaData(node, size));
  if (meta == nullptr) {
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  pack_node_descr(meta, descr);
  Node_SetMetaDirty(node);
  return 0;
}

int add_row(int sys_id, const void* row) {
  return SysCat_add_entry(nullptr, sys_id, row, nullptr, nullptr);
}

int fill_server_catalog() {
  SysCat_MAP* map = SysCat_ServerMap();
  if (SysCat_entry_cnt(nullptr, SysObject_ID, nullptr) == 0) {
    SysCat_OBJECT pool{1, SysObj_SYSTEM, const_cast<char*>("syspool"), 0};
    if (add_row(SysObject_ID, &pool) != 0) return -1;
    for (SysCat_MAP* e = map; e->sys_id != 0; ++e) {
      SysCat_OBJECT o{static_cast<uint32_t>(e->sys_id),
                      e->sys_id == SysDevice_ID ? uint32_t{SysObj_SYSTEM} : uint32_t{SysObj_TABLE},
                      const_cast<char*>(e->descr->name), 0};
      if (add_row(SysObject_ID, &o) != 0) return -1;
    }
  }
  if (SysCat_entry_cnt(nullptr, SysUser_ID, nullptr) == 0) {
    SysCat_USER dba{1, const_cast<char*>("dba"), nullptr, 3};
    SysCat_USER pub{2, const_cast<char*>("public"), nullptr, 4};
    if (add_row(SysUser_ID, &dba) != 0 || add_row(SysUser_ID, &pub) != 0 ||
        SysCat_set_unique_id(SysCat_map_sysid(nullptr, SysUser_ID), 2, nullptr) != 0)
      return -1;
  }
  if (SysCat_entry_cnt(nullptr, SysSrvTables_ID, nullptr) == 0) {
    uint32_t pos = 0;
    for (SysCat_MAP* e = map; e->sys_id != 0; ++e) {
      SysCat_TABLE t{};
      t.tableid = ++pos;
      t.name = const_cast<char*>(e->descr->name);
      if (add_row(SysSrvTables_ID, &t) != 0) return -1;
    }
    if (SysCat_set_unique_id(SysCat_map_sysid(nullptr, SysSrvTables_ID), pos, nullptr) != 0)
      return -1;
  }
  if (SysCat_entry_cnt(nullptr, SysSrvColumns_ID, nullptr) == 0) {
    uint32_t pos = 0, colid = 0;
    for (SysCat_MAP* e = map; e->sys_id != 0; ++e) {
      ++pos;
      for (uint32_t i = 0; i < e->descr->tab_ncols; ++i) {
        const SysCat_COLUMN_DESCR& c = e->descr->cols[i];
        SysCat_COLUMN col{++colid, pos, const_cast<char*>(c.col_name), c.col_type, c.col_size, 1,
                          0,       0};
        if (add_row(SysSrvColumns_ID, &col) != 0) return -1;
      }
    }
    if (SysCat_set_unique_id(SysCat_map_sysid(nullptr, SysSrvColumns_ID), colid, nullptr) != 0)
      return -1;
  }
  return 0;
}

}  // namespace

int SysCat_create_table(int sys_id) {
  debug_log('O', 3, "SysCat_create_table(sys_id=%d)", sys_id);
  const SysCat_TABLE_DESCR* descr = SysCat_StaticDescr(sys_id);
  ZENT_ASSERT(descr != nullptr);
  Node* node = Pool_DoCreate(static_cast<uint32_t>(sys_id), 0);
  if (node == nullptr) return -1;
  Node_SetType(node, NodeType_ST);
  Node_SetDirty(node);
  if (Node_Open(node) != 0) {
    Node_Delete(node);
    return -1;
  }
  const int rc = describe(node, descr);
  Node_Close(node);
  if (rc != 0) Node_Delete(node);
  return rc;
}

int SysCat_create() {
  debug_log('O', 3, "SysCat_create()");
  for (SysCat_MAP* e = SysCat_ServerMap(); e->sys_id != 0; ++e) {
    if (e->sys_id == SysDevice_ID || Node_Find(static_cast<uint32_t>(e->sys_id)) != nullptr)
      continue;
    if (SysCat_create_table(e->sys_id) != 0) return -1;
  }
  if (SysCat_open() != 0) return -1;
  const int rc = fill_server_catalog();
  SysCat_close();
  return rc;
}

// --- A database's tables -----------------------------------------------------------------------

// A new table node of a database: a record-pool node of type "DB" for
// systables and "ST" for the others, its description as meta data; inside
// a transaction its creation is logged. The node (unreferenced), or none.
Node* SysCat_CreateDbTable(const SysCat_MAP* entry, Node* tx) {
  Node* node = nullptr;
  {
    Node_UncommittedScope pending(tx != nullptr);
    node = Pool_Create();
  }
  if (node == nullptr) return nullptr;
  if (SysCat_log_create_node(node, tx) != 0) {
    Node_Delete(node);
    return nullptr;
  }
  Node_SetType(node, entry->sys_id == SysTables_ID ? NodeType_DB : NodeType_ST);
  Node_SetDirty(node);
  if (Node_Open(node) != 0) {
    if (tx == nullptr) Node_Delete(node);
    return nullptr;
  }
  const int rc = describe(node, entry->descr);
  Node_Close(node);
  if (rc != 0) {
    if (tx == nullptr) Node_Delete(node);
    return nullptr;
  }
  return node;
}
