// syscat_backup.cpp - the catalog's side of a database's backup and
// restore: which collations and table nodes a database's archive holds,
// the collations added back, the pool addresses inside a restored table
// node's clusters renumbered, and a restored database registered in the
// server catalog with its node and collation ids renumbered.
//
// Restored clusters come from an archive file: every block header and row
// link is checked to lie inside the cluster before it is read, and every
// address is mapped before anything is written, so a failure leaves the
// pages and the meta data as they were.
//
// Context: the storing or restoring client's task; suspends where the core
// operations, the archive writer and the node layer do.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "storage/archive_writer.h"
#include "storage/node_restore.h"
#include "storage/disk_bytes.h"
#include "storage/pool_format.h"

namespace {

// A collation's name without its character set: base name and any
// "@suffix".
std::string reduced_name(const char* name) {
  const char* dot = strchr(name, '.');
  if (dot == nullptr) return name;
  const char* at = strchr(dot, '@');
  return std::string(name, static_cast<size_t>(dot - name)) + (at != nullptr ? at : "");
}

struct UsedColl {
  std::string name;
  uint32_t refs;
};

int collect_collates(SysCat_DB_CATALOG* cat, std::vector<UsedColl>* used) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, SysTableIndex_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
  for (; rc == 0;
       rc = SysCat_get(cat, SysTableIndex_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    const uint32_t collid = static_cast<SysCat_TABLEINDEX*>(row)->collid;
    free(row);
    if (collid == 0) continue;
    SysCat_COLLATE* coll = SysCat_get_collate_by_id(collid, nullptr);
    if (coll == nullptr) {
      debug_log('O', 0, "get_db_collates: collating sequence %d not found",
                static_cast<int>(collid));
      return -1;
    }
    const std::string name = reduced_name(coll->name != nullptr ? coll->name : "");
    free(coll);
    bool found = false;
    for (UsedColl& u : *used)
      if (strcasecmp(u.name.c_str(), name.c_str()) == 0) {
        ++u.refs;
        found = true;
      }
    if (!found) used->push_back(UsedColl{name, 1});
  }
  return rc < 0 ? -1 : 0;
}

int store_collates(Archive_STREAM* stream, const std::vector<UsedColl>& used) {
  if (Node_BeginColl(stream) != 0) return -1;
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(nullptr, SysCollate_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
  for (; rc == 0;
       rc = SysCat_get(nullptr, SysCollate_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    auto* coll = static_cast<SysCat_COLLATE*>(row);
    const char* name = coll->name != nullptr ? coll->name : "";
    const std::string reduced = reduced_name(name);
    const UsedColl* u = nullptr;
    for (const UsedColl& x : used)
      if (strcasecmp(x.name.c_str(), reduced.c_str()) == 0) u = &x;
    int wrc = 0;
    if (u != nullptr && coll->type != 0) {
      debug_log('O', 0, "get_db_collates: collating sequence \"%s\" has unknown type %d", LogText(name).c_str(),
                static_cast<int>(coll->type));
      wrc = -1;
    } else if (u != nullptr) {
      const uint32_t len = coll->map != nullptr ? SysCat_BlobLength(coll->map) : 0;
      wrc = Node_StoreColl(stream, coll->id, name, coll->type, coll->flags, u->refs, len,
                           coll->map != nullptr ? SysCat_BlobBytes(coll->map) : nullptr);
    }
    free(row);
    if (wrc != 0) return -1;
  }
  if (rc < 0) return -1;
  return Node_EndColl(stream);
}

}  // namespace

int SysCat_db_dump(Archive_STREAM* stream, SysCat_DB_CATALOG* cat) {
  debug_log('O', 2, "SysCat_db_dump()");
  if (stream == nullptr || cat == nullptr) return SYSCAT_INVALID_ARGS("SysCat_db_dump");
  std::vector<UsedColl> used;
  if (collect_collates(cat, &used) != 0) return -1;
  if (!used.empty() && store_collates(stream, used) != 0) return -1;
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e)
    if (e->node != nullptr && Node_StoreNode(stream, e->node) != 0) return -1;
  return 0;
}

int SysCat_RestoreCollate(const char* name, uint32_t type, uint32_t flags, const uint8_t* map,
                          uint32_t map_len, Node* tx) {
  if (!SysCat_HasText(name)) return SYSCAT_INVALID_ARGS("SysCat_RestoreCollate");
  debug_log('O', 3, "SysCat_RestoreCollate(name=\"%s\")", LogText(name).c_str());
  SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_COLLATE, name, name);
  int found = 0;
  auto* old = static_cast<SysCat_COLLATE*>(
      SysCat_GetOne(nullptr, SysCollate_ID, SysCat_MatchName, &k, tx, &found));
  if (found < 0) return -1;
  if (old != nullptr) {
    const int id = static_cast<int>(old->id);
    free(old);
    return id;
  }
  std::vector<uint8_t> blob(4 + map_len);
  memcpy(blob.data(), &map_len, 4);
  if (map_len != 0) memcpy(blob.data() + 4, map, map_len);
  SysCat_COLLATE coll{0, const_cast<char*>(name), type, flags, 0, blob.data()};
  if (SysCat_add_collate(&coll, tx) != 0) return -1;
  return static_cast<int>(coll.id);
}

// --- Renumbering a restored cluster ------------------------------------------------------------

namespace {

// Bytes of a cluster held in a vector of pages.
struct ClusterBytes {
  uint8_t* const* pages;
  uint32_t size;
  void get(uint32_t at, uint8_t* out, uint32_t n) const {
    for (uint32_t i = 0; i < n; ++i)
      out[i] = pages[(at + i) / Vol_PAGESIZE][(at + i) % Vol_PAGESIZE];
  }
  void put(uint32_t at, const uint8_t* in, uint32_t n) const {
    for (uint32_t i = 0; i < n; ++i)
      pages[(at + i) / Vol_PAGESIZE][(at + i) % Vol_PAGESIZE] = in[i];
  }
};

int map_addr(Node* node, SysCat_MapClusterFn map, Node_ADDR* addr, int which,
             uint32_t cluster_idx) {
  if (addr->cluster == 0) return 0;
  const uint32_t to = map(addr->cluster);
  if (to == 0) {
    debug_log(
        'O', 0,
        "SysCat_RestoreCluster(node=%s) failed (%d): cluster %u not found in hash (cluster_idx=%u)",
        Node_Name(node), which, addr->cluster, cluster_idx);
    SysCat_Error(SC_E_NODE);
    return -1;
  }
  addr->cluster = to;
  return 0;
}

int bad_cluster(Node* node, uint32_t offset) {
  debug_log('O', 0, "SysCat_RestoreCluster(node=%s) failed: bad block header at offset %u",
            Node_Name(node), offset);
  SysCat_Error(SC_E_NODE);
  return -1;
}

}  // namespace

int SysCat_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                          uint32_t cluster_idx, SysCat_MapClusterFn map) {
  ZENT_ASSERT(node != nullptr && count > 0 && count <= Vol_MAXCLUST && pages != nullptr &&
              page_addr != 0 && map != nullptr && "SysCat_RestoreCluster arguments");
  const ClusterBytes c{pages, static_cast<uint32_t>(count) * Vol_PAGESIZE};
  // The anchor (first cluster only), then every used block's row links,
  // all mapped before anything is written.
  SysCat_ANCHOR anchor;
  uint32_t anchor_at = 0;
  uint8_t* meta = nullptr;
  if (cluster_idx == 0) {
    const uint32_t size = Node_GetMetaSize(node);
    if (Node_RefCount(node) <= 0 || size == 0) {
      debug_log('O', 0, "SysCat_RestoreCluster(node=%s) failed: meta data does not exist",
                Node_Name(node));
      SysCat_Error(SC_E_NODE);
      return -1;
    }
    meta = static_cast<uint8_t*>(Node_GetMetaData(node));
    anchor_at = 2 + (size > 1 ? meta[1] : 0) + 2 + 4;
    if (anchor_at + SysCat_ANCHOR_SIZE > size) {
      SysCat_Error(SC_E_DESCR);
      return -1;
    }
    anchor = SysCat_DecodeAnchor(meta + anchor_at);
    if (map_addr(node, map, &anchor.first, 1, cluster_idx) != 0 ||
        map_addr(node, map, &anchor.last, 2, cluster_idx) != 0)
      return -1;
  }
  struct Fix {
    uint32_t at;
    SysCat_LINK link;
  };
  std::vector<Fix> fixes;
  for (uint32_t at = Pool_CLUSTER_HEAD_SIZE;;) {
    if (at + Pool_HEADER_SIZE > c.size) return bad_cluster(node, at);
    uint8_t hb[Pool_HEADER_SIZE];
    c.get(at, hb, sizeof hb);
    const Pool_HEADER h = Pool_DecodeHeader(hb);
    if (Pool_TestFlag(Pool_BLOCKUSED, &h)) {
      if (h.size < SysCat_LINK_SIZE || at + Pool_HEADER_SIZE + SysCat_LINK_SIZE > c.size)
        return bad_cluster(node, at);
      uint8_t lb[SysCat_LINK_SIZE];
      c.get(at + Pool_HEADER_SIZE, lb, sizeof lb);
      Fix f{at + Pool_HEADER_SIZE, SysCat_DecodeLink(lb)};
      if (map_addr(node, map, &f.link.prev, 3, cluster_idx) != 0 ||
          map_addr(node, map, &f.link.next, 4, cluster_idx) != 0)
        return -1;
      fixes.push_back(f);
    }
    if (h.next == 0) break;
    if (h.next < Pool_HEADER_SIZE) return bad_cluster(node, at);
    at += h.next;
  }
  for (const Fix& f : fixes) {
    uint8_t lb[SysCat_LINK_SIZE];
    SysCat_EncodeLink(f.link, lb);
    c.put(f.at, lb, sizeof lb);
  }
  if (meta != nullptr) {
    SysCat_EncodeAnchor(anchor, meta + anchor_at);
    Node_SetMetaDirty(node);
    std::string name(reinterpret_cast<const char*>(meta + 2), meta[1] > 0 ? meta[1] - 1u : 0u);
    debug_log('O', 2, "restoring system catalog table \"%s\"", LogText(name.c_str()).c_str());
  }
  return 0;
}

void SysCat_RegisterRestore() {
  Node_SetRestoreClusterFn(NodeType_DB, SysCat_RestoreCluster);
  Node_SetRestoreClusterFn(NodeType_ST, SysCat_RestoreCluster);
  Node_SetRestoreCollFn([](const char* name, uint32_t type, uint32_t flags, const uint8_t* map,
                           uint32_t map_size, Node* tx) {
    return SysCat_RestoreCollate(name, type, flags, map, map_size, tx);
  });
  Node_SetRestoreCreatedFn(SysCat_log_create_node);
}

// --- Registering a restored database -------------------------------------------------------------

namespace {

Node* find_node(const SysCat_NODEMAP* nodes, int n, uint32_t old_id, bool* ok) {
  *ok = true;
  if (old_id == 0) return nullptr;
  for (int i = 0; i < n; ++i)
    if (nodes[i].old_id == old_id) return nodes[i].node;
  *ok = false;
  return nullptr;
}

uint32_t map_node_id(const SysCat_NODEMAP* nodes, int n, uint32_t old_id, bool* ok) {
  Node* node = find_node(nodes, n, old_id, ok);
  return node != nullptr ? Node_GetId(node) : 0;
}

uint32_t map_coll_id(const SysCat_COLLMAP* colls, int n, uint32_t old_id, bool* ok) {
  *ok = true;
  if (old_id == 0) return 0;
  for (int i = 0; i < n; ++i)
    if (colls[i].old_id == old_id) return colls[i].new_id;
  *ok = false;
  return 0;
}

struct Restore {
  SysCat_DB_CATALOG* cat;
  const SysCat_COLLMAP* colls;
  int ncolls;
  const SysCat_NODEMAP* nodes;
  int nnodes;
  Node* tx;
  std::vector<SysCat_KEY> listed;  // sysobjects rows added: {id, link}
};

int list_object(Restore* r, const SysCat_OBJECT& obj) {
  if (SysCat_add_entry(nullptr, SysObject_ID, &obj, nullptr, r->tx) != 0) return -1;
  r->listed.push_back(SYSCAT_KEY2(SysCat_OBJECT, id, obj.id, link, obj.link));
  return 0;
}

int register_tables(Restore* r, uint32_t systables_id) {
  SysCat_DB_CATALOG* cat = r->cat;
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, SysTables_ID, SysCat_GET_FIRST, nullptr, &st, &row, r->tx);
  for (; rc == 0; rc = SysCat_get(cat, SysTables_ID, SysCat_GET_NEXT, nullptr, &st, &row, r->tx)) {
    auto* t = static_cast<SysCat_TABLE*>(row);
    const char* name = t->name != nullptr ? t->name : "";
    int step = 0;
    if (t->nodeid == 0) {
      debug_log('O', 1, "SysCat_db_restore: table %s ignored, no associated node", LogText(name).c_str());
    } else {
      bool ok = true;
      const uint32_t id = map_node_id(r->nodes, r->nnodes, t->nodeid, &ok);
      if (!ok || id == 0) {
        debug_log('O', 0, "SysCat_db_restore() failed on table %s: unable to map node_id %u", LogText(name).c_str(),
                  t->nodeid);
        SysCat_Error(SC_E_NODE);
        step = -1;
      } else if (id != t->nodeid) {
        t->nodeid = id;
        step = SysCat_upd_entry(cat, SysTables_ID, t, &st, r->tx);
      }
      SysCat_MAP* e = nullptr;
      if (step == 0 && t->type == 0 && (e = SysCat_MapByName(cat->map, name)) != nullptr) {
        if (e->sys_id != SysTables_ID) {
          if (e->node == nullptr) step = SysCat_open_node(id, e);
          SysCat_OBJECT obj{id, SysObj_TABLE, const_cast<char*>(e->descr->name), systables_id};
          if (step == 0) step = list_object(r, obj);
        }
      } else if (step == 0 && t->type == 0) {
        debug_log('O', 1, "SysCat_db_restore: table %s ignored, unknown", LogText(name).c_str());
      } else if (step == 0) {
        debug_log('O', 2, "SysCat_db_restore: table %s skipped, not a system table", LogText(name).c_str());
      }
    }
    free(row);
    if (step != 0) return -1;
  }
  return rc < 0 ? -1 : 0;
}

// Rewrites each row of sys_id that fix changes (1 rewrite, 0 keep, -1
// failure, 2 delete).
template <class Row, class Fix>
int rewrite_rows(Restore* r, int sys_id, Fix fix) {
  if (SysCat_map_sysid(r->cat, sys_id)->node == nullptr) return 0;
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(r->cat, sys_id, SysCat_GET_FIRST, nullptr, &st, &row, r->tx);
  for (; rc == 0; rc = SysCat_get(r->cat, sys_id, SysCat_GET_NEXT, nullptr, &st, &row, r->tx)) {
    const int what = fix(static_cast<Row*>(row));
    int step = what < 0 ? -1 : 0;
    if (what == 1) step = SysCat_upd_entry(r->cat, sys_id, row, &st, r->tx);
    if (what == 2) step = SysCat_del_entry(r->cat, sys_id, &st, r->tx);
    free(row);
    if (step != 0) return -1;
  }
  return rc < 0 ? -1 : 0;
}

int renumber(Restore* r) {
  if (rewrite_rows<SysCat_INDEX>(r, SysIndex_ID, [&](SysCat_INDEX* x) {
        bool ok = true;
        const uint32_t id = map_node_id(r->nodes, r->nnodes, x->nodeid, &ok);
        if (!ok) {
          debug_log('O', 0, "upd_sysindex() failed on index %s: unable to map node_id %d",
                    x->name != nullptr ? x->name : "", static_cast<int>(x->nodeid));
          SysCat_Error(SC_E_NODE);
          return -1;
        }
        if (id == x->nodeid) return 0;
        x->nodeid = id;
        return 1;
      }) != 0)
    return -1;
  if (rewrite_rows<SysCat_TABLEINDEX>(r, SysTableIndex_ID, [&](SysCat_TABLEINDEX* x) {
        bool ok = true;
        const uint32_t coll = map_coll_id(r->colls, r->ncolls, x->collid, &ok);
        if (!ok) {
          debug_log('O', 0, "upd_systableindex() failed on tableindex %d: unable to map coll_id %d",
                    static_cast<int>(x->idxid), static_cast<int>(x->collid));
          SysCat_Error(SC_E_NODE);
          return -1;
        }
        const uint32_t id = map_node_id(r->nodes, r->nnodes, x->nodeid, &ok);
        if (!ok) {
          debug_log('O', 0, "upd_systableindex() failed on tableindex %d: unable to map node_id %d",
                    static_cast<int>(x->idxid), static_cast<int>(x->nodeid));
          SysCat_Error(SC_E_NODE);
          return -1;
        }
        if (coll == x->collid && id == x->nodeid) return 0;
        x->collid = coll;
        x->nodeid = id;
        return 1;
      }) != 0)
    return -1;
  return rewrite_rows<SysCat_MEMBER>(r, SysMember_ID, [&](SysCat_MEMBER* m) {
    if (m->uid < 3) return 0;
    debug_log('O', 2, "upd_sysmember: member for uid %d removed", static_cast<int>(m->uid));
    return 2;
  });
}

// Outside a transaction: takes back the rows a failed registration added,
// one row for each it added.
void unregister(Restore* r, uint32_t dbid) {
  for (SysCat_KEY& k : r->listed)
    SysCat_ChangeOne(nullptr, SysObject_ID, nullptr, SysCat_MatchU32Pair, &k, nullptr);
  SysCat_KEY k = SYSCAT_KEY(SysCat_DB, dbid, dbid);
  SysCat_ChangeOne(nullptr, SysDb_ID, nullptr, SysCat_MatchU32, &k, nullptr);
}

}  // namespace

SysCat_DB_CATALOG* SysCat_db_restore(const SysCat_DBHEAD* head, const SysCat_COLLMAP* colls,
                                     int ncolls, const SysCat_NODEMAP* nodes, int nnodes,
                                     Node* tx) {
  if (head == nullptr || !SysCat_HasText(head->name) || nodes == nullptr || nnodes < 1 ||
      nodes[0].node == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_db_restore");
    return nullptr;
  }
  debug_log('O', 2, "SysCat_db_restore(name=\"%s\")", LogText(head->name).c_str());
  const uint32_t systables_id = Node_GetId(nodes[0].node);
  SysCat_DB db{0, const_cast<char*>(head->name), head->flags, systables_id};
  db.dbid = SysCat_get_unique_id(nullptr, SysDb_ID, tx);
  if (db.dbid == 0) return nullptr;
  auto* cat = static_cast<SysCat_DB_CATALOG*>(calloc(1, sizeof(SysCat_DB_CATALOG)));
  ZENT_ASSERT(cat != nullptr && "SysCat_db_restore: heap overflow");
  SysCat_CopyTemplate(cat->map);
  cat->db = static_cast<SysCat_DB*>(SysCat_CopyRow(SysCat_map_sysid(nullptr, SysDb_ID), &db));
  Restore r{cat, colls, ncolls, nodes, nnodes, tx, {}};
  bool added = false;
  SysCat_OBJECT obj{systables_id, SysObj_DATABASE, db.name, 0};
  int rc = SysCat_open_node(systables_id, &cat->map[0]);
  if (rc == 0) rc = SysCat_add_entry(nullptr, SysDb_ID, &db, nullptr, tx);
  if (rc == 0) {
    added = true;
    rc = list_object(&r, obj);
  }
  if (rc == 0) rc = register_tables(&r, systables_id);
  if (rc == 0) rc = renumber(&r);
  if (rc == 0) return cat;
  const ErrorStatus status = get_error();
  SysCat_db_close(cat);
  if (added && tx == nullptr) unregister(&r, db.dbid);
  thread_set_error(status);
  return nullptr;
}
