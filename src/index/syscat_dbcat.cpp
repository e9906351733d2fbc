// syscat_dbcat.cpp - a database's catalog created and purged: its ten
// table nodes with their first rows and the server catalog's rows that
// name them (sysobjects, sysdb); add_db and del_db around them.
//
// Outside a transaction a creation that fails deletes the nodes it made
// and the sysobjects rows that named them, so no half database is left
// listed; inside one (not yet built) the transaction's rollback does.
//
// Context: a task of the server thread; may suspend where the node layer,
// the pools and the volume set do.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_internal.h"

namespace {

int match_object_id(const void* row, void* arg) {
  return static_cast<const SysCat_OBJECT*>(row)->id == *static_cast<uint32_t*>(arg);
}
int match_object_link(const void* row, void* arg) {
  return static_cast<const SysCat_OBJECT*>(row)->link == *static_cast<uint32_t*>(arg);
}
int match_db_node(const void* row, void* arg) {
  return static_cast<const SysCat_DB*>(row)->nodeid == *static_cast<uint32_t*>(arg);
}
int match_db_name(const void* row, void* arg) {
  const char* name = static_cast<const SysCat_DB*>(row)->name;
  return name != nullptr && strcasecmp(name, static_cast<const char*>(arg)) == 0;
}

// Deletes the sysobjects row of id, if any. 0 or -1.
int unlist_object(uint32_t id, Node* tx) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  const int rc = SysCat_Find(nullptr, SysObject_ID, match_object_id, &id, &st, &row, tx);
  if (rc != 0) return rc > 0 ? 0 : -1;
  free(row);
  return SysCat_del_entry(nullptr, SysObject_ID, &st, tx);
}

int build(SysCat_DB_CATALOG* cat, SysCat_DB* db, uint32_t uid, Node* tx, Node** made, int* nmade) {
  // Step 2 and 3: the nodes, each listed in sysobjects.
  uint32_t systables_id = 0;
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e) {
    Node* node = SysCat_CreateDbTable(e, tx);
    if (node == nullptr) return -1;
    made[(*nmade)++] = node;
    const uint32_t id = Node_GetId(node);
    if (e->sys_id == SysTables_ID) systables_id = id;
    SysCat_OBJECT obj{
        id, e->sys_id == SysTables_ID ? uint32_t{SysObj_DATABASE} : uint32_t{SysObj_TABLE},
        e->sys_id == SysTables_ID ? db->name : const_cast<char*>(e->descr->name),
        e->sys_id == SysTables_ID ? 0 : systables_id};
    if (SysCat_add_entry(nullptr, SysObject_ID, &obj, nullptr, tx) != 0) return -1;
    if (SysCat_open_node(id, e) != 0) return -1;
  }
  // Step 4: systables lists every table; user tables count from 100.
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e) {
    SysCat_TABLE t{};
    t.tableid = static_cast<uint32_t>(e->sys_id);
    t.name = const_cast<char*>(e->descr->name);
    t.ncols = e->descr->tab_ncols;
    t.nodeid = Node_GetId(e->node);
    if (SysCat_add_entry(cat, SysTables_ID, &t, nullptr, tx) != 0) return -1;
  }
  if (SysCat_set_unique_id(&cat->map[0], 99, tx) != 0) return -1;
  // Step 5: the group "dba" and its first member.
  SysCat_GROUP dba{1, const_cast<char*>("dba"), 3};
  SysCat_MEMBER member{uid, 1};
  if (SysCat_add_entry(cat, SysGroup_ID, &dba, nullptr, tx) != 0 ||
      SysCat_set_unique_id(SysCat_map_sysid(cat, SysGroup_ID), 1, tx) != 0 ||
      SysCat_add_entry(cat, SysMember_ID, &member, nullptr, tx) != 0)
    return -1;
  // Step 6: the columns of every table.
  uint32_t colid = 0;
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e) {
    for (uint32_t i = 0; i < e->descr->tab_ncols; ++i) {
      const SysCat_COLUMN_DESCR& c = e->descr->cols[i];
      SysCat_COLUMN col{++colid,
                        static_cast<uint32_t>(e->sys_id),
                        const_cast<char*>(c.col_name),
                        c.col_type,
                        c.col_size,
                        1,
                        1,
                        0};
      if (SysCat_add_entry(cat, SysColumns_ID, &col, nullptr, tx) != 0) return -1;
    }
  }
  if (SysCat_set_unique_id(SysCat_map_sysid(cat, SysColumns_ID), colid, tx) != 0) return -1;
  // Step 7: the database is listed last.
  db->nodeid = systables_id;
  return SysCat_add_entry(nullptr, SysDb_ID, db, nullptr, tx);
}

}  // namespace

int SysCat_create_db_catalog(SysCat_DB* db, uint32_t uid, Node* tx) {
  debug_log('O', 3, "SysCat_create_db_catalog(name=\"%s\", uid=%u)", LogText(db->name).c_str(), uid);
  SysCat_DB_CATALOG cat{};
  SysCat_CopyTemplate(cat.map);
  // Descriptions still held when the creation is abandoned midway (a test
  // that cuts the power unwinds through here) are freed without touching
  // the nodes; the normal paths close every table below.
  struct Forget {
    SysCat_MAP* map;
    ~Forget() {
      for (SysCat_MAP* e = map; e->sys_id != 0; ++e) delete e->node_descr;
    }
  } forget{cat.map};
  Node* made[SysCat_MAP_TABLES] = {};
  int nmade = 0;
  const int rc = build(&cat, db, uid, tx, made, &nmade);
  const ErrorStatus status = get_error();
  for (SysCat_MAP* e = cat.map; e->sys_id != 0; ++e) SysCat_close_node(e);
  if (rc == 0) return 0;
  if (tx == nullptr) {
    for (int i = nmade - 1; i >= 0; --i) {
      const uint32_t id = Node_GetId(made[i]);
      unlist_object(id, nullptr);
      SysCat_delete_node(made[i], nullptr);
    }
    db->nodeid = 0;
  }
  thread_set_error(status);
  return -1;
}

int SysCat_purge_db(uint32_t node_id, Node* tx) {
  debug_log('O', 3, "SysCat_purge_db(node_id=%u)", node_id);
  SysCat_GETSTATE st;
  void* row = nullptr;
  const SysCat_FILTER by_link{match_object_link, &node_id};
  int rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_FIRST, &by_link, &st, &row, tx);
  while (rc == 0) {
    const auto* obj = static_cast<const SysCat_OBJECT*>(row);
    const uint32_t id = obj->id;
    debug_log('O', 2, "SysCat_purge_db: delete node %d \"%s\"", static_cast<int>(id),
              obj->name != nullptr ? LogText(obj->name).c_str() : "NULL");
    free(row);
    Node* node = Node_Find(id);
    if (node == nullptr) {
      debug_log('O', 1, "SysCat_purge_db(node_id=%u) failed: node %u not found", node_id, id);
      SysCat_Error(SC_E_NODE);
      return -1;
    }
    if (SysCat_delete_node(node, tx) != 0) return -1;
    if (SysCat_del_entry(nullptr, SysObject_ID, &st, tx) != 0) {
      debug_log('O', 1, "SysCat_delete_db: SysCat_del_entry(id=%d) failed.", static_cast<int>(id));
      return -1;
    }
    rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_NEXT, &by_link, &st, &row, tx);
  }
  if (rc < 0) return -1;
  debug_log('O', 2, "SysCat_purge_db: delete db node %d", static_cast<int>(node_id));
  Node* db_node = Node_Find(node_id);
  if (db_node == nullptr) {
    debug_log('O', 1, "SysCat_purge_db(node_id=%u) failed: node %u not found", node_id, node_id);
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  if (SysCat_delete_node(db_node, tx) != 0 || unlist_object(node_id, tx) != 0) return -1;
  debug_log('O', 2, "SysCat_purge_db: delete sysdb entry for node %d", static_cast<int>(node_id));
  rc = SysCat_Find(nullptr, SysDb_ID, match_db_node, &node_id, &st, &row, tx);
  if (rc != 0) {
    debug_log('O', 1, "SysCat_delete_db: SysCat_get(sysdb, node_id=%d) failed.",
              static_cast<int>(node_id));
    return -1;
  }
  free(row);
  return SysCat_del_entry(nullptr, SysDb_ID, &st, tx);
}

int add_db(SysCat_DB* db, uint32_t uid, Node* tx) {
  if (db == nullptr || db->name == nullptr || db->name[0] == 0)
    return SYSCAT_INVALID_ARGS("add_db");
  debug_log('O', 3, "add_db(\"%s\")", LogText(db->name).c_str());
  SysCat_TYPEDLOCK held;
  if (SysCat_TypedLock(nullptr, SysDb_ID, tx, &held) != 0) return -1;
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_Find(nullptr, SysDb_ID, match_db_name, db->name, &st, &row, tx);
  if (rc == 0) {
    free(row);
    debug_log('O', 1, "add_db(\"%s\") failed: database name already exists, file %s, line %d",
              LogText(db->name).c_str(), __FILE__, __LINE__);
    SysCat_Error(SC_E_ARG);
    rc = -1;
  } else if (rc == 1) {
    rc = 0;
    if (db->dbid == 0) {
      db->dbid = SysCat_get_unique_id(nullptr, SysDb_ID, tx);
      if (db->dbid == 0) rc = -1;
    }
    if (rc == 0) rc = SysCat_create_db_catalog(db, uid, tx);
  }
  SysCat_TypedUnlock(&held, tx);
  return rc;
}

int del_db(const SysCat_DB* db, Node* tx) {
  if (db == nullptr || db->name == nullptr || db->nodeid == 0) return SYSCAT_INVALID_ARGS("del_db");
  debug_log('O', 3, "del_db(\"%s\")", LogText(db->name).c_str());
  uint32_t id = db->nodeid;
  SysCat_GETSTATE st;
  void* row = nullptr;
  const int rc = SysCat_Find(nullptr, SysObject_ID, match_object_id, &id, &st, &row, tx);
  const bool is_db = rc == 0 && static_cast<SysCat_OBJECT*>(row)->type == SysObj_DATABASE;
  free(row);
  if (rc < 0) return -1;
  if (!is_db) {
    debug_log('O', 1, "del_db(\"%s\") failed: database object does not exist, file %s, line %d",
              LogText(db->name).c_str(), __FILE__, __LINE__);
    SysCat_Error(SC_E_ARG);
    return -1;
  }
  return SysCat_purge_db(db->nodeid, tx);
}
