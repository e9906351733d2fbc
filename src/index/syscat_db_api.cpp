// syscat_db_api.cpp - the typed functions of a database's catalog: groups,
// members, privileges, columns, indexes and their segments, tables, table
// columns, paths and table indexes. Each checks its arguments, takes the
// table lock when a transaction is given, and works through the core
// operations; a lookup returns a row the caller frees.
//
// Context: a task of the server thread; suspends where the core
// operations do.
#include <cstdlib>

#include "base/debug_log.h"
#include "index/syscat.h"
#include "index/syscat_internal.h"

namespace {

// Adds row with a new id from the table's counter in *id.
int add_with_id(SysCat_DB_CATALOG* cat, int sys_id, void* row, uint32_t* id, Node* tx) {
  const uint32_t next = SysCat_get_unique_id(cat, sys_id, tx);
  if (next == 0) return -1;
  *id = next;
  if (SysCat_add_entry(cat, sys_id, row, nullptr, tx) == 0) return 0;
  *id = 0;
  return -1;
}

}  // namespace

// --- sysgroup
// -------------------------------------------------------------------------------------

int SysCat_add_group(SysCat_DB_CATALOG* cat, SysCat_GROUP* group, Node* tx) {
  if (cat == nullptr || group == nullptr || !SysCat_HasText(group->name)) {
    debug_log('O', 1, "SysCat_add_group() failed: Invalid arguments");
    SysCat_Error(SC_E_ARG);
    return -1;
  }
  debug_log('O', 3, "SysCat_add_group(name=\"%s\")", LogText(group->name).c_str());
  return SysCat_Locked(cat, SysGroup_ID, tx,
                       [&] { return add_with_id(cat, SysGroup_ID, group, &group->gid, tx); });
}

int SysCat_upd_group(SysCat_DB_CATALOG* cat, const SysCat_GROUP* group, Node* tx) {
  if (cat == nullptr || group == nullptr || group->gid == 0 || !SysCat_HasText(group->name))
    return SYSCAT_INVALID_ARGS("SysCat_upd_group");
  debug_log('O', 3, "SysCat_upd_group(gid=%d)", static_cast<int>(group->gid));
  return SysCat_Locked(cat, SysGroup_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_GROUP, gid, group->gid);
    const int rc = SysCat_ChangeOne(cat, SysGroup_ID, group, SysCat_MatchU32, &k, tx);
    if (rc == 1)
      debug_log('O', 2, "SysCat_get_group_by_id(id=%d) failed: Group not found",
                static_cast<int>(group->gid));
    return rc == 0 ? 0 : -1;
  });
}

int SysCat_del_group(SysCat_DB_CATALOG* cat, uint32_t gid, Node* tx) {
  if (cat == nullptr || gid == 0) return SYSCAT_INVALID_ARGS("SysCat_del_group");
  debug_log('O', 3, "SysCat_del_group(gid=%d)", static_cast<int>(gid));
  return SysCat_Locked(cat, SysGroup_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_GROUP, gid, gid);
    const int rc = SysCat_ChangeOne(cat, SysGroup_ID, nullptr, SysCat_MatchU32, &k, tx);
    if (rc == 1)
      debug_log('O', 2, "SysCat_get_group_by_id(id=%d) failed: Group not found",
                static_cast<int>(gid));
    return rc == 0 ? 0 : -1;
  });
}

SysCat_GROUP* SysCat_get_group_by_id(SysCat_DB_CATALOG* cat, uint32_t gid, Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_group_by_id");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_group_by_id(id=%d)", static_cast<int>(gid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_GROUP, gid, gid);
  return static_cast<SysCat_GROUP*>(SysCat_GetLogged(
      cat, SysGroup_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_group_by_id(id=%d) failed: Group not found", static_cast<int>(gid)));
}

// --- sysmember
// --------------------------------------------------------------------------------------

int SysCat_add_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx) {
  if (cat == nullptr || uid == 0 || gid == 0) return SYSCAT_INVALID_ARGS("SysCat_add_member");
  debug_log('O', 3, "SysCat_add_member(uid=%d, gid=%d)", static_cast<int>(uid),
            static_cast<int>(gid));
  return SysCat_Locked(cat, SysMember_ID, tx, [&] {
    SysCat_USER* user = SysCat_get_user_by_id(uid, tx);
    if (user == nullptr) {
      debug_log('O', 1, "SysCat_add_member() failed: User id %d does not exist",
                static_cast<int>(uid));
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    free(user);
    SysCat_GROUP* group = SysCat_get_group_by_id(cat, gid, tx);
    if (group == nullptr) {
      debug_log('O', 1, "SysCat_add_member() failed: Gropup id %d does not exist",
                static_cast<int>(gid));
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    free(group);
    SysCat_MEMBER m{uid, gid};
    SysCat_KEY k = SYSCAT_KEY2(SysCat_MEMBER, uid, uid, gid, gid);
    const int rc = SysCat_AddUnique(cat, SysMember_ID, &m, SysCat_MatchU32Pair, &k, tx);
    if (rc == 1) {
      debug_log('O', 1, "SysCat_add_member() failed: User %d is already member of group %d",
                static_cast<int>(uid), static_cast<int>(gid));
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    return rc;
  });
}

int SysCat_del_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx) {
  if (cat == nullptr) return SYSCAT_INVALID_ARGS("SysCat_del_member");
  debug_log('O', 3, "SysCat_del_member(uid=%d, gid=%d)", static_cast<int>(uid),
            static_cast<int>(gid));
  return SysCat_Locked(cat, SysMember_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY2(SysCat_MEMBER, uid, uid, gid, gid);
    const int rc = SysCat_ChangeOne(cat, SysMember_ID, nullptr, SysCat_MatchU32Pair, &k, tx);
    if (rc == 1) {
      debug_log('O', 2, "SysCat_is_member(uid=%d, gid=%d): Not a member", static_cast<int>(uid),
                static_cast<int>(gid));
      SysCat_Error(SC_E_ARG);
    }
    return rc == 0 ? 0 : -1;
  });
}

int SysCat_is_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx) {
  if (cat == nullptr) return SYSCAT_INVALID_ARGS("SysCat_is_member");
  int found = 0;
  SysCat_KEY k = SYSCAT_KEY2(SysCat_MEMBER, uid, uid, gid, gid);
  free(SysCat_GetOne(cat, SysMember_ID, SysCat_MatchU32Pair, &k, tx, &found));
  if (found < 0) return -1;
  debug_log('O', 3,
            found ? "SysCat_is_member(uid=%d, gid=%d): User is member"
                  : "SysCat_is_member(uid=%d, gid=%d): Not a member",
            static_cast<int>(uid), static_cast<int>(gid));
  return found;
}

// --- sysprivilege
// -------------------------------------------------------------------------------------

int SysCat_add_privilege(SysCat_DB_CATALOG* cat, const SysCat_PRIVILEGE* priv, Node* tx) {
  if (cat == nullptr || priv == nullptr || priv->gid == 0) {
    debug_log('O', 1, "SysCat_set_privilege() failed: invalid arguments");
    SysCat_Error(SC_E_ARG);
    return -1;
  }
  debug_log('O', 3, "SysCat_add_privilege(gid=%d, tableid=%d)", static_cast<int>(priv->gid),
            static_cast<int>(priv->tableid));
  return SysCat_Locked(cat, SysPrivilege_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY2(SysCat_PRIVILEGE, gid, priv->gid, tableid, priv->tableid);
    const int rc = SysCat_ChangeOne(cat, SysPrivilege_ID, priv, SysCat_MatchU32Pair, &k, tx);
    if (rc != 1) return rc;
    return SysCat_add_entry(cat, SysPrivilege_ID, priv, nullptr, tx);
  });
}

int SysCat_del_privilege(SysCat_DB_CATALOG* cat, uint32_t gid, uint32_t tableid, Node* tx) {
  if (cat == nullptr || gid == 0) return SYSCAT_INVALID_ARGS("SysCat_del_privilege");
  debug_log('O', 3, "SysCat_del_privilege(gid=%d, tableid=%d)", static_cast<int>(gid),
            static_cast<int>(tableid));
  return SysCat_Locked(cat, SysPrivilege_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY2(SysCat_PRIVILEGE, gid, gid, tableid, tableid);
    const int rc = SysCat_ChangeOne(cat, SysPrivilege_ID, nullptr, SysCat_MatchU32Pair, &k, tx);
    if (rc == 1) {
      debug_log('O', 2, "SysCat_get_table_privilege(tableid=%d, gid=%d): No privileges",
                static_cast<int>(tableid), static_cast<int>(gid));
      SysCat_Error(SC_E_ARG);
    }
    return rc == 0 ? 0 : -1;
  });
}

SysCat_PRIVILEGE* SysCat_get_table_privilege(SysCat_DB_CATALOG* cat, uint32_t tableid, uint32_t gid,
                                             Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_table_privilege");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_table_privilege(tableid=%d, gid=%d)", static_cast<int>(tableid),
            static_cast<int>(gid));
  SysCat_KEY k = SYSCAT_KEY2(SysCat_PRIVILEGE, gid, gid, tableid, tableid);
  return static_cast<SysCat_PRIVILEGE*>(
      SysCat_GetLogged(cat, SysPrivilege_ID, SysCat_MatchU32Pair, &k, tx,
                       "SysCat_get_table_privilege(tableid=%d, gid=%d): No privileges",
                       static_cast<int>(tableid), static_cast<int>(gid)));
}

// --- syscolumns, sysindex, sysindexseg, systables
// -----------------------------------------------------

int SysCat_add_column(SysCat_DB_CATALOG* cat, SysCat_COLUMN* col, Node* tx) {
  if (cat == nullptr || col == nullptr || !SysCat_HasText(col->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_column");
  debug_log('O', 3, "SysCat_add_column(name=\"%s\")", LogText(col->name).c_str());
  return SysCat_Locked(cat, SysColumns_ID, tx,
                       [&] { return add_with_id(cat, SysColumns_ID, col, &col->colid, tx); });
}

SysCat_COLUMN* SysCat_get_column_by_id(SysCat_DB_CATALOG* cat, uint32_t colid, Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_column_by_id");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_column_by_id(id=%d)", static_cast<int>(colid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_COLUMN, colid, colid);
  return static_cast<SysCat_COLUMN*>(SysCat_GetLogged(
      cat, SysColumns_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_column_by_id(id=%d) failed: Column not found", static_cast<int>(colid)));
}

int SysCat_add_index(SysCat_DB_CATALOG* cat, SysCat_INDEX* index, Node* tx) {
  if (cat == nullptr || index == nullptr || !SysCat_HasText(index->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_index");
  debug_log('O', 3, "SysCat_add_index(name=\"%s\")", LogText(index->name).c_str());
  return SysCat_Locked(cat, SysIndex_ID, tx,
                       [&] { return add_with_id(cat, SysIndex_ID, index, &index->idxid, tx); });
}

SysCat_INDEX* SysCat_get_index_by_id(SysCat_DB_CATALOG* cat, uint32_t idxid, Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_index_by_id");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_index_by_id(id=%d)", static_cast<int>(idxid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_INDEX, idxid, idxid);
  return static_cast<SysCat_INDEX*>(SysCat_GetLogged(
      cat, SysIndex_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_index_by_id(id=%d) failed: Index not found", static_cast<int>(idxid)));
}

int SysCat_add_indexseg(SysCat_DB_CATALOG* cat, const SysCat_INDEXSEG* seg, Node* tx) {
  if (cat == nullptr || seg == nullptr || seg->idxid == 0 || seg->colid == 0)
    return SYSCAT_INVALID_ARGS("SysCat_add_indexseg");
  debug_log('O', 3, "SysCat_add_indexseg(idxid=%d, idx=%d, colid=%d)", static_cast<int>(seg->idxid),
            static_cast<int>(seg->idx), static_cast<int>(seg->colid));
  return SysCat_Locked(cat, SysIndexSeg_ID, tx,
                       [&] { return SysCat_add_entry(cat, SysIndexSeg_ID, seg, nullptr, tx); });
}

int SysCat_add_table(SysCat_DB_CATALOG* cat, SysCat_TABLE* table, Node* tx) {
  if (cat == nullptr || table == nullptr || !SysCat_HasText(table->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_table");
  debug_log('O', 3, "SysCat_add_table(name=\"%s\")", LogText(table->name).c_str());
  return SysCat_Locked(cat, SysTables_ID, tx,
                       [&] { return add_with_id(cat, SysTables_ID, table, &table->tableid, tx); });
}

SysCat_TABLE* SysCat_get_table_by_id(SysCat_DB_CATALOG* cat, uint32_t tableid, Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_table_by_id");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_table_by_id(id=%d)", static_cast<int>(tableid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_TABLE, tableid, tableid);
  return static_cast<SysCat_TABLE*>(SysCat_GetLogged(
      cat, SysTables_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_table_by_id(id=%d) failed: Table not found", static_cast<int>(tableid)));
}

int SysCat_add_tablecolumn(SysCat_DB_CATALOG* cat, const SysCat_TABLECOLUMN* tc, Node* tx) {
  if (cat == nullptr || tc == nullptr || tc->tableid == 0 || tc->colid == 0)
    return SYSCAT_INVALID_ARGS("SysCat_add_tablecolumn");
  debug_log('O', 3, "SysCat_add_tablecolumn(tableid=%d, colid=%d)", static_cast<int>(tc->tableid),
            static_cast<int>(tc->colid));
  return SysCat_Locked(cat, SysTableColumn_ID, tx,
                       [&] { return SysCat_add_entry(cat, SysTableColumn_ID, tc, nullptr, tx); });
}

int SysCat_add_tablepath(SysCat_DB_CATALOG* cat, const SysCat_TABLEPATH* tp, Node* tx) {
  if (cat == nullptr || tp == nullptr || tp->tableid == 0)
    return SYSCAT_INVALID_ARGS("SysCat_add_tablepath");
  debug_log('O', 3, "SysCat_add_tablepath(tableid=%d, idx=%d)", static_cast<int>(tp->tableid),
            static_cast<int>(tp->idx));
  return SysCat_Locked(cat, SysTablePath_ID, tx,
                       [&] { return SysCat_add_entry(cat, SysTablePath_ID, tp, nullptr, tx); });
}

int SysCat_add_tableindex(SysCat_DB_CATALOG* cat, const SysCat_TABLEINDEX* ti, Node* tx) {
  if (cat == nullptr || ti == nullptr || ti->tableid == 0 || ti->idxid == 0)
    return SYSCAT_INVALID_ARGS("SysCat_add_tableindex");
  debug_log('O', 3, "SysCat_add_tableindex(tableid=%d, idxid=%d)", static_cast<int>(ti->tableid),
            static_cast<int>(ti->idxid));
  return SysCat_Locked(cat, SysTableIndex_ID, tx,
                       [&] { return SysCat_add_entry(cat, SysTableIndex_ID, ti, nullptr, tx); });
}

SysCat_TABLEINDEX* SysCat_get_tableindex_by_id(SysCat_DB_CATALOG* cat, uint32_t tableid,
                                               uint32_t idxid, Node* tx) {
  if (cat == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_tableindex_by_id");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_tableindex_by_id(tableid=%d, idxid=%d)", static_cast<int>(tableid),
            static_cast<int>(idxid));
  SysCat_KEY k = SYSCAT_KEY2(SysCat_TABLEINDEX, tableid, tableid, idxid, idxid);
  return static_cast<SysCat_TABLEINDEX*>(
      SysCat_GetLogged(cat, SysTableIndex_ID, SysCat_MatchU32Pair, &k, tx,
                       "SysCat_get_tableindex_by_id(tableid=%d, idxid=%d) failed: Entry not found",
                       static_cast<int>(tableid), static_cast<int>(idxid)));
}

// --- Rewrites by id (the record-file and B-tree node ids of database create
// and purge) ----------------------------------------------------------------

namespace {
template <typename Row>
int rewrite_one(SysCat_DB_CATALOG* cat, int sys_id, const Row* row, SysCat_KEY k, bool pair,
                const char* what, uint32_t id, Node* tx) {
  return SysCat_Locked(cat, sys_id, tx, [&] {
    const int rc = SysCat_ChangeOne(cat, sys_id, row, pair ? SysCat_MatchU32Pair : SysCat_MatchU32,
                                    &k, tx);
    if (rc == 1) {
      debug_log('O', 2, "%s(id=%d) failed: entry not found", what, static_cast<int>(id));
      SysCat_Error(SC_E_NODE);
    }
    return rc == 0 ? 0 : -1;
  });
}
}  // namespace

int SysCat_upd_table(SysCat_DB_CATALOG* cat, const SysCat_TABLE* table, Node* tx) {
  if (cat == nullptr || table == nullptr || table->tableid == 0 || !SysCat_HasText(table->name))
    return SYSCAT_INVALID_ARGS("SysCat_upd_table");
  debug_log('O', 3, "SysCat_upd_table(id=%d)", static_cast<int>(table->tableid));
  return rewrite_one(cat, SysTables_ID, table, SYSCAT_KEY(SysCat_TABLE, tableid, table->tableid),
                     false, "SysCat_upd_table", table->tableid, tx);
}

int SysCat_upd_index(SysCat_DB_CATALOG* cat, const SysCat_INDEX* index, Node* tx) {
  if (cat == nullptr || index == nullptr || index->idxid == 0 || !SysCat_HasText(index->name))
    return SYSCAT_INVALID_ARGS("SysCat_upd_index");
  debug_log('O', 3, "SysCat_upd_index(id=%d)", static_cast<int>(index->idxid));
  return rewrite_one(cat, SysIndex_ID, index, SYSCAT_KEY(SysCat_INDEX, idxid, index->idxid), false,
                     "SysCat_upd_index", index->idxid, tx);
}

int SysCat_upd_tableindex(SysCat_DB_CATALOG* cat, const SysCat_TABLEINDEX* ti, Node* tx) {
  if (cat == nullptr || ti == nullptr || ti->tableid == 0 || ti->idxid == 0)
    return SYSCAT_INVALID_ARGS("SysCat_upd_tableindex");
  debug_log('O', 3, "SysCat_upd_tableindex(tableid=%d, idxid=%d)", static_cast<int>(ti->tableid),
            static_cast<int>(ti->idxid));
  return rewrite_one(cat, SysTableIndex_ID, ti,
                     SYSCAT_KEY2(SysCat_TABLEINDEX, tableid, ti->tableid, idxid, ti->idxid), true,
                     "SysCat_upd_tableindex", ti->idxid, tx);
}
