// db_contents.h - what a database of the stored sample reads as, through
// the access layer and below it (serial reads, the media records that hold
// the chains, calculated reads by key, every B-tree's entries), so that two
// databases, or one before and after, can be compared; and the admission of
// a session's user to a restored copy (members above uid 2 are not
// restored).
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_get.h"
#include "access/idb_lookup.h"
#include "access/idb_open.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "index/btree_checker.h"
#include "index/syscat.h"
#include "storage/fixrec.h"
#include "storage/node.h"

namespace access_test {

struct DbContents {
  std::map<std::string, std::vector<std::vector<uint8_t>>> serial;  // user records in order
  std::map<std::string, std::vector<std::vector<uint8_t>>> media;   // raw records (chains)
  std::vector<std::vector<uint8_t>> by_key;                         // CUSTOMER by its key
  std::vector<std::vector<std::pair<std::string, std::string>>> trees;
  bool operator==(const DbContents& o) const {
    return serial == o.serial && media == o.media && by_key == o.by_key && trees == o.trees;
  }
};

// The contents of db_name, opened (mode 9) and closed again by s.
inline DbContents read_contents(idb_session* s, const char* db_name) {
  DbContents c;
  const int32_t dbid = idb__open_database(s, db_name, 9);
  EXPECT_GT(dbid, 0) << db_name;
  if (dbid <= 0) return c;
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  const global& g = ctx->root->g;
  int32_t st[10];
  for (const char* set : {"CUSTOMER", "REGIONS", "ORDERS"}) {
    std::vector<uint8_t> buf(64);
    while (idb_get(s, dbid, set, static_cast<int>(strlen(set)) + 1, 2, nullptr, 0, buf, {}, st) == 0)
      c.serial[set].push_back(buf);
    EXPECT_EQ(st[0], S_EOF) << db_name << " " << set;
    const idb_set& is = g.set[idb__find_set(&g, set)];
    EXPECT_EQ(Node_Open(is.s.node), 0);
    for (uint32_t r = 1; r <= c.serial[set].size(); ++r) {
      std::vector<uint8_t> b(media_len(&is));
      EXPECT_EQ(FixRec_Get(is.s.node, r, b.data(), nullptr, nullptr), 0);
      c.media[set].push_back(b);
    }
    Node_Close(is.s.node);
    auto tree = [&](Node* n) {
      btree_CTX bctx{};
      btree_HANDLE* t = btree_OpenNode(n, &bctx, BT_OPEN_RDONLY);
      ASSERT_NE(t, nullptr);
      c.trees.push_back(btree_test::leaf_entries(t));
      btree_CloseNode(t);
    };
    if (is.s.key.node != nullptr) tree(is.s.key.node);
    for (uint32_t i = 0; i < is.s.index_cnt; ++i)
      if (is.index[i].node != nullptr) tree(is.index[i].node);
  }
  for (const char* key : {"C001    ", "C003    ", "C002    "}) {
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(idb_get(s, dbid, "CUSTOMER", 9, 7, nullptr, 0, buf,
                      {reinterpret_cast<const uint8_t*>(key), 8}, st),
              0);
    c.by_key.push_back(buf);
  }
  idb__close_database(s, ctx);
  return c;
}

// Makes uid a member of db_name's group "admins", committed at once.
inline void admit_to_admins(const char* db_name, uint32_t uid) {
  SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
  ASSERT_NE(db, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  ASSERT_NE(cat, nullptr);
  SysCat_GETSTATE st;
  void* row = nullptr;
  uint32_t gid = 0;
  for (int rc = SysCat_get(cat, SysGroup_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
       rc == 0; rc = SysCat_get(cat, SysGroup_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    const auto* g = static_cast<SysCat_GROUP*>(row);
    if (strcmp(g->name, "admins") == 0) gid = g->gid;
    free(row);
  }
  ASSERT_NE(gid, 0u);
  EXPECT_EQ(SysCat_add_member(cat, uid, gid, nullptr), 0);
  SysCat_db_close(cat);
}

// The sysobjects rows of db_name's set nodes (types 3 and 4) as "TYPE
// NAME"; none when there is no such database.
inline std::vector<std::string> set_object_rows(const char* db_name) {
  std::vector<std::string> out;
  SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
  if (db == nullptr) return out;
  SysCat_GETSTATE st;
  void* row = nullptr;
  for (int rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
       rc == 0; rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    const auto* o = static_cast<SysCat_OBJECT*>(row);
    if ((o->type == 3 || o->type == 4) && o->link == db->nodeid)
      out.push_back(std::to_string(o->type) + " " + o->name);
    free(row);
  }
  free(db);
  return out;
}

}  // namespace access_test
