// idb_store.cpp - database store and restore (see idb_store.h).
#include "access/idb_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/idb_cmd.h"
#include "access/idb_create.h"
#include "access/idb_dbctx.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "storage/archive_reader.h"
#include "storage/archive_writer.h"
#include "storage/node_restore.h"
#include "storage/tlog.h"

namespace {

// Success: every word zero but the intrinsic number.
void clear_status(int32_t* status) {
  for (int i = 0; i < IDB_STATUS_WORDS; ++i)
    if (i != 5) status[i] = 0;
}

// --- Store -------------------------------------------------------------------------------------

int store_node(Archive_STREAM* stream, Node* node) {
  if (Node_Open(node) != 0) return -1;
  const int rc = Node_StoreNode(stream, node);
  Node_Close(node);
  return rc;
}

// Every node the set has: a catalog row whose node is not in the archive
// could not be mapped, and the restore would fail.
int store_set(Archive_STREAM* stream, const idb_set& set) {
  if (set.s.nodeid != 0) {
    ZENT_ASSERT(set.s.node != nullptr && "set->s.table_node");
    if (store_node(stream, set.s.node) != 0) return -1;
  }
  if (set.s.key.nodeid != 0) {
    ZENT_ASSERT(set.s.key.node != nullptr && "set->s.idx_node");
    if (store_node(stream, set.s.key.node) != 0) return -1;
  }
  for (uint32_t i = 0; i < set.s.index_cnt; ++i) {
    if (set.index[i].node == nullptr) continue;
    if (store_node(stream, set.index[i].node) != 0) return -1;
  }
  return 0;
}

// --- Restore -----------------------------------------------------------------------------------

// A header text is printed and becomes a catalog name: one that holds a
// zero byte would be cut short silently, so the archive is refused.
bool plain_text(const std::string& t) { return t.find('\0') == std::string::npos; }

struct Header {
  Node_ARCHIVE_HEADER archive;
  Node_DB_HEADER db;
};

// The header block whose BEGIN tag was just read, up to its END tag.
int restore_header(Archive_STREAM* stream, Header* out) {
  bool have_head = false, have_db = false;
  for (;;) {
    Node_TAGHEAD h;
    if (Node_RestoreTagHead(stream, &h) != 0) return -1;
    if (h.type == Node_ATT_HEAD_HEAD) {
      if (have_head)
        return Node_ArchiveRefuse("idb__restore() failed: archive tag Node_ATT_HEAD_HEAD occurs more than once");
      if (Node_RestoreArchiveHeader(stream, &h, &out->archive) != 0) return -1;
      have_head = true;
    } else if (h.type == Node_ATT_HEAD_DB) {
      if (have_db)
        return Node_ArchiveRefuse("idb__restore() failed: archive tag Node_ATT_HEAD_DB occurs more than once");
      if (Node_RestoreDbHeader(stream, &h, &out->db) != 0) return -1;
      have_db = true;
    } else if (h.type == Node_ATT_END || h.type == Node_ATT_BEGIN) {
      uint8_t block = 0;
      if (Node_RestoreBlockTag(stream, &h, &block) != 0) return -1;
      if (h.type == Node_ATT_BEGIN || block != Node_ATT_HEAD)
        return Node_ArchiveRefuse("idb__restore() failed: unexpected block type #%d", block);
      break;
    } else {
      return Node_ArchiveRefuse("idb__restore() failed: unexpected tag type #%d", h.type);
    }
  }
  if (!have_head) return Node_ArchiveRefuse("idb__restore() failed: missing archive header");
  if (!have_db) return Node_ArchiveRefuse("idb__restore() failed: missing database header");
  // An archive of only some sets holds a catalog that names the nodes of
  // the others: as a new database it could not be whole, so it is refused
  // before anything is restored.
  for (uint32_t flag : out->db.items)
    if (flag == 0)
      return Node_ArchiveRefuse("idb__restore() failed: archive holds only some of the sets of database \"%s\"",
                                LogText(out->db.name.c_str()).c_str());
  const Node_ARCHIVE_HEADER& a = out->archive;
  if (!plain_text(a.revision) || !plain_text(a.platform) || !plain_text(a.charset) ||
      !plain_text(out->db.name) || out->db.name.empty())
    return Node_ArchiveRefuse("idb__restore() failed: archive header text is not a plain text");
  debug_log('I', 1, "idb__restore: version      = %u", a.version);
  debug_log('I', 1, "idb__restore: vol_revision = %s", LogText(a.revision.c_str()).c_str());
  debug_log('I', 1, "idb__restore: platform     = %s", LogText(a.platform.c_str()).c_str());
  debug_log('I', 1, "idb__restore: charset      = %s", LogText(a.charset.c_str()).c_str());
  debug_log('I', 1, "idb__restore: db_name      = %s", LogText(out->db.name.c_str()).c_str());
  return 0;
}

struct RestoreWork {
  std::string name;  // the name restored under
  Header header;
  std::vector<SysCat_COLLMAP> colls;
  std::vector<Node_RESTORED> nodes;
};

// Reads the archive after its magic. 0 restored into tx, 2 the name exists,
// -1 failure.
int restore_body(idb_session* s, Archive_STREAM* stream, RestoreWork* w, Node* tx) {
  bool have_head = false, have_coll = false;
  for (;;) {
    Node_TAGHEAD h;
    if (Node_RestoreTagHead(stream, &h) != 0) return -1;
    if (h.type == Node_ATT_INFO) {
      std::string text;
      if (Node_RestoreInfo(stream, &h, &text) != 0) return -1;
      debug_log('I', 1, "idb__restore: %s", LogText(text.c_str()).c_str());
      continue;
    }
    if (h.type != Node_ATT_BEGIN) return Node_ArchiveRefuse("idb__restore() failed: unexpected tag type #%d", h.type);
    uint8_t block = 0;
    if (Node_RestoreBlockTag(stream, &h, &block) != 0) return -1;
    switch (block) {
      case Node_ATT_HEAD: {
        if (have_head)
          return Node_ArchiveRefuse("idb__restore() failed: archive block Node_ATT_HEAD occurs more than once");
        have_head = true;
        if (restore_header(stream, &w->header) != 0) return -1;
        if (w->name.empty()) w->name = w->header.db.name;
        SysCat_DB* db = SysCat_get_db_by_name(w->name.c_str(), 0, 0, tx);
        if (db != nullptr) {
          free(db);
          debug_log('I', 0, "idb__restore() failed: database \"%s\" already exists",
                    LogText(w->name.c_str()).c_str());
          return 2;
        }
        break;
      }
      case Node_ATT_COLL:
        if (have_coll)
          return Node_ArchiveRefuse("idb__restore() failed: archive block Node_ATT_COLL occurs more than once");
        if (!have_head)
          return Node_ArchiveRefuse(
              "idb__restore() failed: missing Node_ATT_HEAD archive block before Node_ATT_COLL");
        have_coll = true;
        if (restore_coll(stream, &w->colls, tx) != 0) return -1;
        if (w->colls.empty())
          return Node_ArchiveRefuse("idb__restore() failed: missing collating sequence map");
        break;
      case Node_ATT_NODE:
        if (!have_head)
          return Node_ArchiveRefuse(
              "idb__restore() failed: missing Node_ATT_HEAD archive block before Node_ATT_NODE");
        if (Node_RestoreAllNodes(stream, &h, block, &w->nodes, tx) != 0) return -1;
        return idb__restore_catalog(s, w->name.c_str(), &w->header.db, w->colls, w->nodes, tx);
      default:
        return Node_ArchiveRefuse("idb__restore() failed: unexpected block type #%d", block);
    }
  }
}

// --- The sysobjects rows of a restored database's sets -------------------------------------------

template <typename Row, typename Each>
int walk(SysCat_DB_CATALOG* cat, int sys_id, Node* tx, Each each) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, nullptr, &st, &row, tx);
  for (; rc == 0; rc = SysCat_get(cat, sys_id, SysCat_GET_NEXT, nullptr, &st, &row, tx)) {
    const int r = each(static_cast<const Row*>(row));
    free(row);
    row = nullptr;
    if (r != 0) return -1;
  }
  return rc == 1 ? 0 : -1;
}

// The name of index idx's node on table tableid (idb__index_node_name): a
// master key names the item of the table's first entry, as create does;
// clients define a master's key without a segment row.
int index_object_name(SysCat_DB_CATALOG* cat, uint32_t tableid, const SysCat_INDEX* idx,
                      bool master_key, Node* tx, std::string* out) {
  SysCat_TABLE* t = SysCat_get_table_by_id(cat, tableid, tx);
  if (t == nullptr) return -1;
  const std::string set_name = t->name != nullptr ? t->name : "";
  free(t);
  if (!master_key) {
    *out = idb__index_node_name(set_name.c_str(), idx->name != nullptr ? idx->name : "");
    return 0;
  }
  uint32_t colid = 0;
  if (walk<SysCat_TABLECOLUMN>(cat, SysTableColumn_ID, tx, [&](const SysCat_TABLECOLUMN* tc) {
        if (tc->tableid == tableid && tc->idx == 1) colid = tc->colid;
        return 0;
      }) != 0)
    return -1;
  SysCat_COLUMN* col = SysCat_get_column_by_id(cat, colid, tx);
  if (col == nullptr) return -1;
  *out = idb__index_node_name(set_name.c_str(), col->name != nullptr ? col->name : "");
  free(col);
  return 0;
}

int add_object(uint32_t id, uint32_t type, const std::string& name, uint32_t link, Node* tx) {
  SysCat_OBJECT o{id, type, const_cast<char*>(name.c_str()), link};
  return SysCat_add_object(&o, tx);
}

int add_set_objects(SysCat_DB_CATALOG* cat, Node* tx) {
  const uint32_t link = cat->db->nodeid;
  if (walk<SysCat_TABLE>(cat, SysTables_ID, tx, [&](const SysCat_TABLE* t) {
        if (t->type == 0 || t->nodeid == 0) return 0;
        return add_object(t->nodeid, 3, t->name != nullptr ? t->name : "", link, tx);
      }) != 0)
    return -1;
  if (walk<SysCat_INDEX>(cat, SysIndex_ID, tx, [&](const SysCat_INDEX* ix) {
        if ((ix->flags & 4u) == 0 || ix->nodeid == 0) return 0;
        std::string name;
        if (index_object_name(cat, ix->tableid, ix, true, tx, &name) != 0) return -1;
        return add_object(ix->nodeid, 4, name, link, tx);
      }) != 0)
    return -1;
  return walk<SysCat_TABLEINDEX>(cat, SysTableIndex_ID, tx, [&](const SysCat_TABLEINDEX* ti) {
    if (ti->nodeid == 0) return 0;
    SysCat_INDEX* ix = SysCat_get_index_by_id(cat, ti->idxid, tx);
    if (ix == nullptr) return -1;
    std::string name;
    const int rc = index_object_name(cat, ti->tableid, ix, false, tx, &name);
    free(ix);
    if (rc != 0) return -1;
    return add_object(ti->nodeid, 4, name, link, tx);
  });
}

}  // namespace

// --- Store ---------------------------------------------------------------------------------------

int idb__store(idb_session* s, int32_t dbid, Archive_STREAM* stream, int32_t* status,
               int32_t set_cnt, const int32_t* set_flags) {
  debug_log('I', 3, "idb__store(dbid=%d)", static_cast<int>(dbid));
  status[5] = IDB_STORE;
  status[8] = 0;
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return idb__fail_status(s, -1, status);
  }
  if (ctx->mode != 13) return idb__fail_status(s, S_BADMODE, status);
  if (Tlog_TxDepth(idb__tx_node(s)) != 0) return idb__fail_status(s, IDB_RC_OPEN_TX, status);
  const global& g = ctx->root->g;
  if (set_cnt < 0 || (set_cnt > 0 && (set_cnt != g.set_cnt || set_flags == nullptr))) {
    IDB_ERROR(s, S_BAD, 0);
    return idb__fail_status(s, -1, status);
  }
  std::vector<uint32_t> items(static_cast<size_t>(set_cnt));
  for (int32_t i = 0; i < set_cnt; ++i) items[i] = static_cast<uint32_t>(set_flags[i]);
  const SysCat_DB* db = ctx->root->cat->db;
  int rc = Node_BeginArchive(stream, db->name, db->flags, db->nodeid, items.data(),
                             static_cast<uint32_t>(items.size()));
  if (rc == 0) rc = SysCat_db_dump(stream, ctx->root->cat);
  for (int32_t i = 0; rc == 0 && i < g.set_cnt; ++i) {
    if (set_cnt > 0 && set_flags[i] == 0) continue;
    rc = store_set(stream, g.set[i]);
  }
  if (rc == 0) rc = Node_EndArchive(stream);
  if (rc != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    return idb__fail_status(s, -1, status);
  }
  clear_status(status);
  s->error.code = 0;
  return 0;
}

// --- Restore -------------------------------------------------------------------------------------

int restore_coll(Archive_STREAM* stream, std::vector<SysCat_COLLMAP>* map, Node* tx) {
  for (;;) {
    Node_TAGHEAD h;
    if (Node_RestoreTagHead(stream, &h) != 0) return -1;
    if (h.type == Node_ATT_COLL_DATA) {
      uint32_t archived = 0, now = 0;
      if (Node_RestoreColl(stream, &h, &archived, &now, tx) != 0) return -1;
      map->push_back({archived, now});
      continue;
    }
    if (h.type != Node_ATT_END) return Node_ArchiveRefuse("idb__restore() failed: unexpected tag type #%d", h.type);
    uint8_t block = 0;
    if (Node_RestoreBlockTag(stream, &h, &block) != 0) return -1;
    if (block != Node_ATT_COLL) return Node_ArchiveRefuse("idb__restore() failed: unexpected block type #%d", block);
    return 0;
  }
}

int idb__restore_catalog(idb_session* s, const char* db_name, const Node_DB_HEADER* head,
                         const std::vector<SysCat_COLLMAP>& colls,
                         const std::vector<Node_RESTORED>& nodes, Node* tx) {
  std::vector<SysCat_NODEMAP> map;
  map.reserve(nodes.size());
  for (const Node_RESTORED& r : nodes) map.push_back({r.archived_id, r.node});
  const SysCat_DBHEAD dbhead{db_name, head->flags};
  SysCat_DB_CATALOG* cat =
      SysCat_db_restore(&dbhead, colls.data(), static_cast<int>(colls.size()), map.data(),
                        static_cast<int>(map.size()), tx);
  if (cat == nullptr) {
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    return -1;
  }
  const int rc = add_set_objects(cat, tx);
  SysCat_db_close(cat);
  if (rc != 0) {
    debug_log('I', 0, "idb__restore_catalog: sysobjects rows of \"%s\" could not be added",
              LogText(db_name).c_str());
    IDB_ERROR(s, S_SYSCAT, idb__lower_status());
    return -1;
  }
  return 0;
}

int idb__restore(idb_session* s, Archive_STREAM* stream, int32_t* status, std::string* db_name) {
  debug_log('I', 3, "idb__restore()");
  status[5] = IDB_RESTORE;
  status[8] = 0;
  if (Node_RestoreMagic(stream) != 0) {
    debug_log('I', 1, "idb__restore: not a valid archive");
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    idb__fail_status(s, -1, status);
    return 1;
  }
  Node* tx = idb__tx_node(s);
  if (Tlog_TxDepth(tx) != 0) return idb__fail_status(s, IDB_RC_OPEN_TX, status);
  if (idb__begin_cmd(s, "DBRESTORE") != 0) return idb__fail_status(s, -1, status);
  RestoreWork w;
  w.name = *db_name;
  s->error.code = 0;
  const int rc = restore_body(s, stream, &w, tx);
  if (rc == 0 && idb__commit_cmd(s) == 0) {
    if (db_name->empty()) *db_name = w.name;
    clear_status(status);
    s->error.code = 0;
    return 0;
  }
  if (rc != 0) {
    if (s->error.code == 0) IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    idb__rollback_cmd(s);
  }
  idb__fail_status(s, -1, status);
  if (rc == 2) {
    if (db_name->empty()) *db_name = w.name;
    return 2;
  }
  return -1;
}
