// idb_create.cpp - database create, purge and erase (see idb_create.h).
#include "access/idb_create.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "access/idb_cmd.h"
#include "access/idb_dbctx.h"
#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_rec.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/tlog.h"
#include "storage/vnode.h"

namespace {

SysCat_DB_CATALOG* cat_of(const db_ctx* ctx) { return ctx->root->cat; }
global* schema_of(db_ctx* ctx) { return &ctx->root->g; }

// Records a new node's creation in the transaction and lists it in
// sysobjects under the database's catalog node. On failure the node is
// deleted when its creation is not yet logged. 0 or -1.
int register_node(idb_session* s, db_ctx* ctx, Node* node, uint32_t type, const char* name,
                  Node* tx) {
  if (SysCat_log_create_node(node, tx) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    Node_Delete(node);
    return -1;
  }
  SysCat_OBJECT obj{Node_GetId(node), type, const_cast<char*>(name), cat_of(ctx)->db->nodeid};
  if (SysCat_add_object(&obj, tx) != 0) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    return -1;
  }
  return 0;
}

// A new B-tree of kd, logged and listed. The node, or none.
Node* new_tree(idb_session* s, db_ctx* ctx, const btree_KEYDEF& kd, const char* name, Node* tx) {
  uint32_t id = 0;
  Node* node = nullptr;
  {
    Node_UncommittedScope pending(tx != nullptr);
    node = btree_Create(0, &kd, &id);
  }
  if (node == nullptr) {
    IDB_ERROR(s, S_BTREE, idb__lower_status());
    return nullptr;
  }
  return register_node(s, ctx, node, SysObj_SETINDEX, name, tx) == 0 ? node : nullptr;
}

// A catalog row is the caller's to free; owned, it is freed also when a
// task is unwound in the middle (a power cut in the tests).
struct FreeRow {
  void operator()(void* row) const { free(row); }
};
template <typename Row>
using CatalogRow = std::unique_ptr<Row, FreeRow>;

int create_key(idb_session* s, db_ctx* ctx, idb_set& set, Node* tx) {
  const global* g = schema_of(ctx);
  const CatalogRow<SysCat_INDEX> row(SysCat_get_index_by_id(cat_of(ctx), set.s.key.idxid, tx));
  if (row == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "idb__create_set: syscat entry for index %d not found",
              static_cast<int>(set.s.key.idxid));
    return -1;
  }
  const idb_item& item = g->item[set.entry[0].item];
  const btree_KEYDEF kd = idb__master_keydef(g, set);
  const std::string name = idb__index_node_name(set.s.name, item.name);
  Node* node = new_tree(s, ctx, kd, name.c_str(), tx);
  int rc = -1;
  if (node != nullptr) {
    set.s.key.nodeid = Node_GetId(node);
    set.s.key.node = node;
    row->nodeid = set.s.key.nodeid;
    rc = SysCat_upd_index(cat_of(ctx), row.get(), tx);
    if (rc != 0) IDB_ERROR(s, S_SYSCAT, idb__lower_status());
  }
  return rc;
}

int create_index(idb_session* s, db_ctx* ctx, idb_set& set, uint32_t x, Node* tx) {
  const global* g = schema_of(ctx);
  idb_index& index = set.index[x];
  const idb_iitem& ii = g->iitem[index.iitem - g->item_cnt];
  const CatalogRow<SysCat_TABLEINDEX> row(
      SysCat_get_tableindex_by_id(cat_of(ctx), set.s.tableid, ii.idxid, tx));
  if (row == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "idb__create_set: syscat entry for index %d not found",
              static_cast<int>(ii.idxid));
    return -1;
  }
  const btree_KEYDEF kd = idb__index_keydef(g, set, ii);
  const std::string name = idb__index_node_name(set.s.name, ii.name);
  Node* node = new_tree(s, ctx, kd, name.c_str(), tx);
  int rc = -1;
  if (node != nullptr) {
    index.nodeid = Node_GetId(node);
    index.node = node;
    row->nodeid = index.nodeid;
    rc = SysCat_upd_tableindex(cat_of(ctx), row.get(), tx);
    if (rc != 0) IDB_ERROR(s, S_SYSCAT, idb__lower_status());
  }
  return rc;
}

}  // namespace

std::string idb__index_node_name(const char* set_name, const char* item_name) {
  const int sl = idb__name_len(set_name, IDB_NAME_LEN);
  const int il = idb__name_len(item_name, IDB_NAME_LEN);
  return std::string(set_name, static_cast<size_t>(sl)) + "." +
         std::string(item_name, static_cast<size_t>(il));
}

int idb__create_set(idb_session* s, db_ctx* ctx, int setno, Node* tx) {
  // A context that read before holds the nodes it read: they change here.
  idb__release_held_nodes(ctx);
  idb_set& set = schema_of(ctx)->set[setno];
  if (set.s.node != nullptr) return 17;
  const CatalogRow<SysCat_TABLE> table(SysCat_get_table_by_id(cat_of(ctx), set.s.tableid, tx));
  if (table == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "idb__create_set: syscat entry for table %d not found",
              static_cast<int>(set.s.tableid));
    return -1;
  }
  int rc = -1;
  Node* file = nullptr;
  {
    Node_UncommittedScope pending(tx != nullptr);
    file = FixRec_Create(media_len(&set), 0);
  }
  if (file == nullptr) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
  } else if (register_node(s, ctx, file, SysObj_SETFILE, table->name, tx) == 0) {
    set.s.nodeid = Node_GetId(file);
    set.s.node = file;
    table->nodeid = set.s.nodeid;
    if (SysCat_upd_table(cat_of(ctx), table.get(), tx) != 0) {
      IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    } else {
      rc = 0;
      if (set.s.type == 'M' || set.s.type == 'A') rc = create_key(s, ctx, set, tx);
      for (uint32_t x = 0; rc == 0 && x < set.s.index_cnt; ++x) rc = create_index(s, ctx, set, x, tx);
    }
  }
  return rc;
}

// --- Purge -------------------------------------------------------------------------

int purge_node(idb_session* s, Node* node, Node* tx) {
  const uint32_t id = Node_GetId(node);
  debug_log('O', 3, "purge_node(nodeid=%d)", static_cast<int>(id));
  // A node the cache still holds open cannot be deleted at the commit.
  VNode_Flush(node);
  if (SysCat_delete_node(node, tx) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    debug_log('I', 1, "purge_node: SysCat_DeleteNode(%d) failed", static_cast<int>(id));
    return -1;
  }
  const CatalogRow<SysCat_OBJECT> obj(SysCat_get_object_by_id(id, tx));
  if (obj == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "purge_node: system object %d not found", static_cast<int>(id));
    return -1;
  }
  if (SysCat_del_object(id, tx) != 0) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "purge_node(): SysCat_del_entry(SysObject,id=%d) failed - ignored.",
              static_cast<int>(id));
  }
  return 0;
}

int purge_set(idb_session* s, db_ctx* ctx, int setno, Node* tx) {
  global* g = schema_of(ctx);
  idb_set& set = g->set[setno];
  if (set.s.node == nullptr) return 2;
  SysCat_DB_CATALOG* cat = cat_of(ctx);
  const CatalogRow<SysCat_TABLE> table(SysCat_get_table_by_id(cat, set.s.tableid, tx));
  if (table == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "purge_set: syscat entry for table %d not found",
              static_cast<int>(set.s.tableid));
    return -1;
  }
  ZENT_ASSERT(table->nodeid == set.s.nodeid && "table->nodeid == (u_int32_t)set->s.table_nodeid");
  int rc = 0;
  if (set.s.key.node != nullptr) {
    const CatalogRow<SysCat_INDEX> index(SysCat_get_index_by_id(cat, set.s.key.idxid, tx));
    if (index == nullptr) {
      IDB_ERROR(s, S_SYSCAT, idb__lower_status());
      debug_log('I', 1, "purge_set: syscat entry for index %d not found",
                static_cast<int>(set.s.key.idxid));
      rc = -1;
    } else {
      ZENT_ASSERT(index->nodeid == set.s.key.nodeid && "index->nodeid == set->s.idx_nodeid");
      rc = purge_node(s, set.s.key.node, tx);
      if (rc == 0) {
        set.s.key.nodeid = 0;
        set.s.key.node = nullptr;
        index->nodeid = 0;
        rc = SysCat_upd_index(cat, index.get(), tx);
        if (rc != 0) IDB_ERROR(s, S_SYSCAT, idb__lower_status());
      }
    }
  }
  for (uint32_t x = 0; rc == 0 && x < set.s.index_cnt; ++x) {
    idb_index& ix = set.index[x];
    const uint32_t idxid = g->iitem[ix.iitem - g->item_cnt].idxid;
    const CatalogRow<SysCat_TABLEINDEX> ti(
        SysCat_get_tableindex_by_id(cat, set.s.tableid, idxid, tx));
    if (ti == nullptr) {
      IDB_ERROR(s, S_SYSCAT, idb__lower_status());
      debug_log('I', 1, "purge_set: syscat entry for tableindex %d/%d not found",
                static_cast<int>(set.s.tableid), static_cast<int>(idxid));
      rc = -1;
      break;
    }
    ZENT_ASSERT(ti->nodeid == ix.nodeid && "tableindex->nodeid == set->index[ii].idx_nodeid");
    if (ix.node != nullptr) rc = purge_node(s, ix.node, tx);
    if (rc == 0) {
      ix.nodeid = 0;
      ix.node = nullptr;
      ti->nodeid = 0;
      rc = SysCat_upd_tableindex(cat, ti.get(), tx);
      if (rc != 0) IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    }
  }
  if (rc == 0) rc = purge_node(s, set.s.node, tx);
  if (rc == 0) {
    set.s.nodeid = 0;
    set.s.node = nullptr;
    table->nodeid = 0;
    rc = SysCat_upd_table(cat, table.get(), tx);
    if (rc != 0) IDB_ERROR(s, S_SYSCAT, idb__lower_status());
  }
  return rc;
}

int idb__purge_set(idb_session* s, db_ctx* ctx, int setno, Node* tx) {
  debug_log('I', 3, "idb__purge_set(setno=%d)", setno);
  idb__release_held_nodes(ctx);
  return purge_set(s, ctx, setno, tx);
}

int idb__purge_db(idb_session* s, db_ctx* ctx, Node* tx) {
  debug_log('I', 3, "idb__purge_db()");
  idb__release_held_nodes(ctx);
  if (ctx->mode != 13) {
    idb__close_database(s, ctx);
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  const global* g = schema_of(ctx);
  for (int i = 0; i < g->set_cnt; ++i) {
    if (g->set[i].s.nodeid == 0) continue;
    const int rc = purge_set(s, ctx, i, tx);
    if (rc == 2) {
      debug_log('P', 2, " purge set %2d: %s", i + 1, "data set not created");
    } else if (rc != 0) {
      // Going on would delete the catalog over this set's nodes and leave
      // them allocated and unreachable: the caller rolls the purge back.
      debug_log('P', 1, " purge set %2d: %s", i + 1, "Failed to purge data set");
      idb__close_database(s, ctx);
      return -1;
    }
  }
  const uint32_t cat_node = cat_of(ctx)->db->nodeid;
  idb__close_database(s, ctx);
  if (SysCat_purge_db(cat_node, tx) != 0) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    debug_log('I', 1, "purge_root(): SysCat_purge_db(%d) failed.", static_cast<int>(cat_node));
    return -1;
  }
  return 0;
}

// --- Erase -------------------------------------------------------------------------

namespace {

// Empties a B-tree in place (none: nothing to do). 0 or -1.
int reset_tree(idb_session* s, Node* node) {
  if (node == nullptr) return 0;
  VNode_Flush(node);
  if (btree_Reset(node) == 0) return 0;
  IDB_ERROR(s, S_BTREE, idb__lower_status());
  return -1;
}

}  // namespace

int idb__erase_set(idb_session* s, db_ctx* ctx, int setno, const uint8_t* erased) {
  debug_log('I', 3, "idb__erase_set(setno=%d)", setno);
  // Emptying the set resets its node, which no reference may hold.
  idb__release_held_nodes(ctx);
  const global* g = schema_of(ctx);
  const idb_set& set = g->set[setno];
  if (set.s.node == nullptr) return 2;
  // A detail set's masters that stay keep chain heads naming its records
  // until the paths are cleared below: a crash in between leaves them so,
  // and only another erase mends that. The note makes the restart say so.
  bool masters_stay = false;
  for (uint32_t p = 0; set.s.type == 'D' && erased != nullptr && p < set.s.path_cnt; ++p)
    masters_stay = masters_stay || erased[set.path[p].set] == 0;
  uint32_t note = 0;
  if (masters_stay) {
    int n = static_cast<int>(sizeof set.s.name);
    while (n > 0 && (set.s.name[n - 1] == ' ' || set.s.name[n - 1] == '\0')) --n;
    char text[Tlog_NOTE_TEXT];
    snprintf(text, sizeof text,
             "DBERASE of data set %.*s of database \"%s\" did not finish: erase it again", n,
             set.s.name, ctx->root->name);
    if (Tlog_BeginNote(text, &note) != 0) {
      IDB_ERROR(s, S_VOLNODE, idb__lower_status());
      return -1;
    }
  }
  // The keys go before the records they name: an erase cut short here
  // leaves records without keys, which running it again removes, never
  // keys naming numbers a later put reuses.
  if (reset_tree(s, set.s.key.node) != 0) return -1;
  for (uint32_t x = 0; x < set.s.index_cnt; ++x)
    if (reset_tree(s, set.index[x].node) != 0) return -1;
  VNode_Flush(set.s.node);
  if (Node_Reset(set.s.node) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    debug_log('I', 1, "idb__erase_set: unable to reset node %d", static_cast<int>(set.s.nodeid));
    return -1;
  }
  if (set.s.type != 'D' || erased == nullptr) return 0;
  for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
    const idb_path& path = set.path[p];
    if (erased[path.set] != 0) continue;
    if (erase_path(s, ctx, path.set, path.path) < 0) return -1;
  }
  return Tlog_EndNote(note) == 0 ? 0 : -1;
}

namespace {

// One pass of erase_path from record number from: 0 done, 1 to run again
// from *from (a record was held by another transaction and that one has
// ended), -1. *from follows the commits.
int erase_pass(idb_session* s, const idb_set& set, int k, uint8_t* rec, uint32_t len,
               uint32_t* from) {
  if (idb__begin_cmd(s, "DBERASE") != 0) {
    debug_log('I', 1, "erase_path: idb__begin_cmd() failed");
    return -1;
  }
  uint32_t changed = 0;
  for (uint32_t recno = *from;; ++recno) {
    if (idb__read_rec(s, GET_MODE_LOCKED, &set, recno, rec, len) != 0) {
      const int32_t code = s->error.code;
      if (code == S_NOREC) continue;
      if (code == S_DIREOF) break;
      const bool blocked = s->ssn.wait_node != nullptr;
      Node_ReleaseAllAdvLocks(s->adv_locks);
      idb__rollback_cmd(s);
      // A record another session's transaction holds: wait for its end
      // and go again from the last commit (this batch was rolled back).
      if (blocked && idb__wait_blocking(s, S_VOLFREC) == 0) return 1;
      idb__clear_blocking(s);
      return -1;
    }
    uint8_t* head = idb__path_area(&set, rec) + 12 * k;
    memset(head, 0, 12);
    const int wrc = idb__write_rec(s, &set, recno, rec, len);
    Node_ReleaseAllAdvLocks(s->adv_locks);
    if (wrc != 0) {
      IDB_ERROR(s, S_VOLFREC, s->error.sub_code);
      idb__rollback_cmd(s);
      idb__clear_blocking(s);
      return -1;
    }
    if (++changed < IDB_ERASE_BATCH) continue;
    if (idb__commit_cmd(s) != 0) {
      debug_log('I', 1, "erase_path: idb__commit_cmd() failed");
      idb__clear_blocking(s);
      return -1;
    }
    *from = recno + 1;
    changed = 0;
    thread_yield();
    if (idb__begin_cmd(s, "DBERASE") != 0) {
      debug_log('I', 1, "erase_path: idb__begin_cmd() failed");
      return -1;
    }
  }
  if (idb__commit_cmd(s) != 0) {
    debug_log('I', 1, "erase_path: idb__commit_cmd() failed");
    idb__clear_blocking(s);
    return -1;
  }
  if (changed > 0) thread_yield();
  return 0;
}

}  // namespace

int erase_path(idb_session* s, db_ctx* ctx, int setno, int k) {
  const global* g = schema_of(ctx);
  ZENT_ASSERT(setno >= 0 && setno < g->set_cnt && "setno >= 0 && setno < global->g.set_cnt");
  const idb_set& set = g->set[setno];
  if (set.s.node == nullptr) return 2;
  const uint32_t len = media_len(&set);
  vbuf* work = VBUF_OPEN(len);
  ZENT_ASSERT(work->size >= len && "(int)sz >= media_len(set)");
  if (Node_Open(set.s.node) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    debug_log('I', 1, "erase_path: VNode_Open() failed");
    VBuf_Close(work);
    return -1;
  }
  idb__chk_no_blocking(s);
  uint32_t from = 1;
  int rc;
  do {
    rc = erase_pass(s, set, k, static_cast<uint8_t*>(work->data), work->size, &from);
  } while (rc == 1);
  Node_Close(set.s.node);
  VBuf_Close(work);
  return rc;
}
