// syscat_node.cpp - opening catalog tables: a table node with its stored
// description bound to the static one, the server catalog, and a
// database's catalog found through its systables.
//
// An open table keeps its node referenced (Node_Open) until it is closed,
// so its meta data copy, which holds the VMETA outside transactions, stays
// in memory. The server map is opened once at start-up and closed at
// close-down; a database catalog is opened per user and closed by it.
//
// Context: the server thread (or a utility's). Opening may suspend in the
// node semaphore (cut short: -1, VOL E027) and in the system pool.
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "storage/pool.h"

int SysCat_open_node(uint32_t node_id, SysCat_MAP* entry) {
  debug_log('O', 3, "SysCat_open_node(node_id=%u, sys_id=%d)", node_id, entry->sys_id);
  Node* node = node_id != 0 ? Node_Find(node_id) : nullptr;
  if (node == nullptr) {
    debug_log('O', 1, "SysCat_open_node(node_id=%u) failed: node not found", node_id);
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  const uint16_t type = Node_GetType(node);
  if (!Node_TestFlag(Node_POOLNODE, node) || (type != NodeType_ST && type != NodeType_DB)) {
    debug_log('O', 1, "SysCat_open_node(node_id=%u) failed: not a catalog table node", node_id);
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  if (Node_Open(node) != 0) return -1;
  const uint32_t size = Node_GetMetaSize(node);
  const auto* meta = static_cast<const uint8_t*>(size != 0 ? Node_GetMetaData(node) : nullptr);
  if (meta != nullptr && debug_enabled('O', 3))
    debug_dump("node description", meta, static_cast<int>(size));
  auto* d = new SysCat_NODE_DESCR;
  if (meta == nullptr || unpack_node_descr(meta, size, entry->descr, d) != 0) {
    if (meta == nullptr) SysCat_Error(SC_E_DESCR);
    debug_log('O', 1, "SysCat_open_node: Corrupted or bad node description");
    delete d;
    Node_Close(node);
    return -1;
  }
  for (uint32_t i = 0; i < d->d.tab_ncols; ++i)
    if (d->cols[i].node_idx < 0)
      debug_log('O', 2, "SysCat_open_node: Node %d column %d ignored", static_cast<int>(node_id),
                static_cast<int>(i));
  entry->node_descr = d;
  entry->node = node;
  return 0;
}

void SysCat_close_node(SysCat_MAP* entry) {
  if (entry->node != nullptr) Node_Close(entry->node);
  delete entry->node_descr;
  entry->node = nullptr;
  entry->node_descr = nullptr;
}

namespace {
void close_map(SysCat_MAP* map) {
  for (SysCat_MAP* e = map; e->sys_id != 0; ++e) SysCat_close_node(e);
}
}  // namespace

int SysCat_open() {
  debug_log('O', 3, "SysCat_open()");
  SysCat_RegisterRestore();
  SysCat_MAP* map = SysCat_ServerMap();
  for (SysCat_MAP* e = map; e->sys_id != 0; ++e) {
    if (e->sys_id == SysDevice_ID || e->node != nullptr) continue;
    if (SysCat_open_node(static_cast<uint32_t>(e->sys_id), e) != 0) {
      debug_log('O', 0, "SysCat_open_node() failed");
      const ErrorStatus status = get_error();
      close_map(map);
      thread_set_error(status);
      return -1;
    }
  }
  return 0;
}

int SysCat_close() {
  debug_log('O', 3, "SysCat_close()");
  close_map(SysCat_ServerMap());
  return 0;
}

SysCat_DB_CATALOG* SysCat_db_open(const SysCat_DB* db, Node* tx) {
  if (db == nullptr || db->nodeid == 0) {
    SYSCAT_INVALID_ARGS("SysCat_db_open");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_db_open(name=\"%s\", nodeid=%u)", db->name != nullptr ? db->name : "",
            db->nodeid);
  auto* cat = static_cast<SysCat_DB_CATALOG*>(calloc(1, sizeof(SysCat_DB_CATALOG)));
  ZENT_ASSERT(cat != nullptr && "SysCat_db_open: heap overflow");
  SysCat_CopyTemplate(cat->map);
  cat->db = static_cast<SysCat_DB*>(SysCat_CopyRow(SysCat_map_sysid(nullptr, SysDb_ID), db));
  SysCat_MAP* systables = &cat->map[0];
  if (SysCat_open_node(db->nodeid, systables) != 0) {
    SysCat_db_close(cat);
    return nullptr;
  }
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, SysTables_ID, SysCat_GET_FIRST, nullptr, &st, &row, tx);
  while (rc == 0) {
    const auto* t = static_cast<const SysCat_TABLE*>(row);
    const char* name = t->name != nullptr ? t->name : "";
    SysCat_MAP* e = nullptr;
    if (t->type != 0) {
      debug_log('O', 2, "SysCat_db_open: table %s skipped, not a system table", LogText(name).c_str());
    } else if ((e = SysCat_MapByName(cat->map, name)) == nullptr) {
      debug_log('O', 1, "SysCat_db_open: table %s ignored, unknown", LogText(name).c_str());
    } else if (e != systables && e->node == nullptr && t->nodeid != 0) {
      if (SysCat_open_node(t->nodeid, e) != 0) {
        free(row);
        SysCat_db_close(cat);
        return nullptr;
      }
    }
    free(row);
    rc = SysCat_get(cat, SysTables_ID, SysCat_GET_NEXT, nullptr, &st, &row, tx);
  }
  if (rc < 0) {
    const int code = error_code(get_error());
    debug_log('O', 0,
              code == SC_E_DESCR ? "SysCat_db_open: Invalid systables"
              : code == SC_E_ROW ? "SysCat_db_open: Unable to unpack db catalog record"
                                 : "SysCat_db_open() failed on Pool_Read()");
    SysCat_db_close(cat);
    return nullptr;
  }
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e)
    if (e->node == nullptr)
      debug_log('O', 1, "SysCat_db_open: table %s ignored, no associated node", e->descr->name);
  return cat;
}

void SysCat_db_close(SysCat_DB_CATALOG* cat) {
  if (cat == nullptr) return;
  close_map(cat->map);
  free(cat->db);
  free(cat);
}
