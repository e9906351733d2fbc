// The catalog's operations on a real volume set (file double, system pool,
// server catalog as a new environment has it): the typed functions over
// users, groups, members, privileges, databases, tables and indexes; the
// rules of ids, duplicates and anchors; collations; sysdevices from the
// volume table; an update or delete of a row that changed after it was
// read; a catalog whose stored description is damaged; and what a reopen
// keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_fixture.h"
#include "index/syscat_internal.h"
#include "storage/disk_bytes.h"
#include "support/log_capture.h"
#include "storage/pool.h"
#include "storage/task_runner.h"
#include "storage/tlog.h"

namespace syscat_test {
namespace {

// 256 counted strings; extra lengthens the last one.
std::vector<uint8_t> collation_map(int entries = 256, int each = 1) {
  std::string m;
  for (int i = 0; i < entries; ++i) {
    m.push_back(static_cast<char>(each));
    m.append(static_cast<size_t>(each), static_cast<char>(i));
  }
  return blob(m);
}

using CatalogTest = CatalogFixture;

TEST_F(CatalogTest, ANewServerCatalogHoldsItsFirstRows) {
  Rows objects, users, tables, columns;
  ASSERT_EQ(read_all(nullptr, SysObject_ID, &objects), 1);
  ASSERT_EQ(objects.size(), 11u);
  EXPECT_STREQ(objects.at<SysCat_OBJECT>(0)->name, "syspool");
  EXPECT_EQ(objects.at<SysCat_OBJECT>(2)->id, 21u);
  EXPECT_EQ(objects.at<SysCat_OBJECT>(2)->type, 0u);  // sysdevices
  EXPECT_EQ(objects.at<SysCat_OBJECT>(3)->type, 1u);
  ASSERT_EQ(read_all(nullptr, SysUser_ID, &users), 1);
  ASSERT_EQ(users.size(), 2u);
  EXPECT_STREQ(users.at<SysCat_USER>(0)->name, "dba");
  EXPECT_EQ(users.at<SysCat_USER>(1)->uid, 2u);
  EXPECT_EQ(users.at<SysCat_USER>(1)->priv, 4u);
  ASSERT_EQ(read_all(nullptr, SysSrvTables_ID, &tables), 1);
  EXPECT_EQ(tables.size(), 10u);
  ASSERT_EQ(read_all(nullptr, SysSrvColumns_ID, &columns), 1);
  EXPECT_EQ(columns.size(), 65u);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysSrvColumns_ID, nullptr), 65);
  // The next uid handed out is 3.
  SysCat_USER u{0, const_cast<char*>("carol"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
  EXPECT_EQ(u.uid, 3u);
}

TEST_F(CatalogTest, UsersAddUpdateDeleteAndDuplicates) {
  std::vector<uint8_t> pw = blob("pw");
  SysCat_USER ann{0, const_cast<char*>("ann"), pw.data(), 1};
  ASSERT_EQ(SysCat_add_user(&ann, nullptr), 0);
  EXPECT_EQ(ann.uid, 3u);
  // A name that exists (any case) is refused and the counter stays.
  SysCat_USER again{0, const_cast<char*>("ANN"), nullptr, 0};
  EXPECT_EQ(SysCat_add_user(&again, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysUser_ID, nullptr), 3);
  SysCat_USER bob{0, const_cast<char*>("bob"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&bob, nullptr), 0);
  EXPECT_EQ(bob.uid, 4u);
  // Bad arguments.
  SysCat_USER preset{9, const_cast<char*>("x"), nullptr, 0};
  EXPECT_EQ(SysCat_add_user(&preset, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);

  SysCat_USER* got = SysCat_get_user_by_name("Ann", nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->uid, 3u);
  EXPECT_EQ(SysCat_BlobLength(got->password), 2u);
  free(got);
  // A longer name moves the row; the walk and the anchor follow it.
  std::string longer(200, 'n');
  SysCat_USER renamed{3, longer.data(), nullptr, 7};
  ASSERT_EQ(SysCat_upd_user(&renamed, nullptr), 0);
  got = SysCat_get_user_by_id(3, nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got->name), longer);
  EXPECT_EQ(got->password, nullptr);
  EXPECT_EQ(got->priv, 7u);
  free(got);
  ASSERT_EQ(SysCat_del_user(3, nullptr), 0);
  EXPECT_EQ(SysCat_get_user_by_id(3, nullptr), nullptr);
  EXPECT_EQ(SysCat_del_user(3, nullptr), -1);
  Rows users;
  ASSERT_EQ(read_all(nullptr, SysUser_ID, &users), 1);
  ASSERT_EQ(users.size(), 3u);
  EXPECT_STREQ(users.at<SysCat_USER>(2)->name, "bob");
}

TEST_F(CatalogTest, ObjectsVatsAndDatabasesByNameAndId) {
  SysCat_OBJECT obj{500, 1, const_cast<char*>("thing"), 0};
  ASSERT_EQ(SysCat_add_object(&obj, nullptr), 0);
  EXPECT_EQ(SysCat_add_object(&obj, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);
  SysCat_OBJECT* o = SysCat_get_object_by_name("THING", nullptr);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->id, 500u);
  free(o);
  EXPECT_EQ(SysCat_get_object_by_id(501, nullptr), nullptr);

  SysCat_VAT vat{3, 0, const_cast<char*>("fast"), {1, 2, 3}, 0};
  ASSERT_EQ(SysCat_add_vat(&vat, nullptr), 0);
  EXPECT_EQ(SysCat_add_vat(&vat, nullptr), -1);
  SysCat_VAT* v = SysCat_get_vat_by_id(3, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->map[2], 3);
  free(v);
  v = SysCat_get_vat_by_name("fast", nullptr);
  ASSERT_NE(v, nullptr);
  free(v);

  SysCat_DB db{0, const_cast<char*>("sales"), 0x10, 0};
  ASSERT_EQ(add_db(&db, 1, nullptr), 0);
  EXPECT_EQ(db.dbid, 1u);
  EXPECT_GE(db.nodeid, Node_FIRSTNODE);
  SysCat_DB dup{0, const_cast<char*>("SALES"), 0, 0};
  EXPECT_EQ(add_db(&dup, 1, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);
  SysCat_DB* d = SysCat_get_db_by_name("sales", 0x10, 0x10, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->nodeid, db.nodeid);
  free(d);
  EXPECT_EQ(SysCat_get_db_by_name("sales", 0x10, 0, nullptr), nullptr);
  d = SysCat_get_db_by_id(1, nullptr);
  ASSERT_NE(d, nullptr);
  free(d);
  o = SysCat_get_object_by_id(db.nodeid, nullptr);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->type, static_cast<uint32_t>(SysObj_DATABASE));
  free(o);
}

TEST_F(CatalogTest, ANewDatabaseHasItsTenTablesAndUserTablesCountFrom100) {
  SysCat_DB_CATALOG* cat = new_db("shop");
  ASSERT_NE(cat, nullptr);
  for (const SysCat_MAP* e = cat->map; e->sys_id != 0; ++e) EXPECT_NE(e->node, nullptr) << e->sys_id;
  EXPECT_EQ(Node_GetType(cat->map[0].node), NodeType_DB);
  EXPECT_EQ(Node_GetType(cat->map[1].node), NodeType_ST);
  Rows tables;
  ASSERT_EQ(read_all(cat, SysTables_ID, &tables), 1);
  ASSERT_EQ(tables.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(tables.at<SysCat_TABLE>(i)->tableid, i + 1);
    EXPECT_EQ(tables.at<SysCat_TABLE>(i)->nodeid, Node_GetId(cat->map[i].node));
  }
  SysCat_TABLE t{};
  t.name = const_cast<char*>("orders");
  t.type = 1;
  ASSERT_EQ(SysCat_add_table(cat, &t, nullptr), 0);
  EXPECT_EQ(t.tableid, 100u);
  SysCat_TABLE* back = SysCat_get_table_by_id(cat, 100, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->name, "orders");
  free(back);
  // Group "dba" with its creator, and the columns of every table.
  SysCat_GROUP* g = SysCat_get_group_by_id(cat, 1, nullptr);
  ASSERT_NE(g, nullptr);
  EXPECT_STREQ(g->name, "dba");
  EXPECT_EQ(g->priv, 3u);
  free(g);
  EXPECT_EQ(SysCat_is_member(cat, 1, 1, nullptr), 1);
  EXPECT_EQ(SysCat_entry_cnt(cat, SysColumns_ID, nullptr), 52);
  SysCat_COLUMN col{};
  col.name = const_cast<char*>("total");
  ASSERT_EQ(SysCat_add_column(cat, &col, nullptr), 0);
  EXPECT_EQ(col.colid, 53u);
  // Database tables are not in the server map and vice versa.
  EXPECT_EQ(SysCat_map_sysid(cat, SysUser_ID), nullptr);
  EXPECT_EQ(code(), SC_E_SYSID);
  EXPECT_EQ(SysCat_map_sysid(nullptr, SysGroup_ID), nullptr);
  SysCat_db_close(cat);
}

TEST_F(CatalogTest, GroupsMembersPrivilegesIndexesAndPaths) {
  SysCat_DB_CATALOG* cat = new_db("shop");
  ASSERT_NE(cat, nullptr);
  SysCat_GROUP staff{0, const_cast<char*>("staff"), 1};
  ASSERT_EQ(SysCat_add_group(cat, &staff, nullptr), 0);
  EXPECT_EQ(staff.gid, 2u);
  staff.name = const_cast<char*>("employees");
  ASSERT_EQ(SysCat_upd_group(cat, &staff, nullptr), 0);
  SysCat_GROUP* g = SysCat_get_group_by_id(cat, 2, nullptr);
  ASSERT_NE(g, nullptr);
  EXPECT_STREQ(g->name, "employees");
  free(g);

  EXPECT_EQ(SysCat_add_member(cat, 2, 2, nullptr), 0);
  EXPECT_EQ(SysCat_add_member(cat, 2, 2, nullptr), -1);  // already a member
  EXPECT_EQ(SysCat_add_member(cat, 77, 2, nullptr), -1);  // no such user
  EXPECT_EQ(SysCat_add_member(cat, 2, 9, nullptr), -1);   // no such group
  EXPECT_EQ(code(), SC_E_ARG);
  EXPECT_EQ(SysCat_is_member(cat, 2, 2, nullptr), 1);
  EXPECT_EQ(SysCat_del_member(cat, 2, 2, nullptr), 0);
  EXPECT_EQ(SysCat_is_member(cat, 2, 2, nullptr), 0);
  EXPECT_EQ(SysCat_del_member(cat, 2, 2, nullptr), -1);

  SysCat_PRIVILEGE p{2, 100, 5};
  ASSERT_EQ(SysCat_add_privilege(cat, &p, nullptr), 0);
  p.map = 7;  // an existing row is rewritten, not doubled
  ASSERT_EQ(SysCat_add_privilege(cat, &p, nullptr), 0);
  EXPECT_EQ(SysCat_entry_cnt(cat, SysPrivilege_ID, nullptr), 1);
  SysCat_PRIVILEGE* got = SysCat_get_table_privilege(cat, 100, 2, nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->map, 7u);
  free(got);
  ASSERT_EQ(SysCat_del_privilege(cat, 2, 100, nullptr), 0);
  EXPECT_EQ(SysCat_get_table_privilege(cat, 100, 2, nullptr), nullptr);
  ASSERT_EQ(SysCat_del_group(cat, 2, nullptr), 0);
  EXPECT_EQ(SysCat_get_group_by_id(cat, 2, nullptr), nullptr);

  SysCat_INDEX idx{0, 100, const_cast<char*>("by_date"), 1, 0, 1, 0};
  ASSERT_EQ(SysCat_add_index(cat, &idx, nullptr), 0);
  EXPECT_EQ(idx.idxid, 1u);
  SysCat_INDEXSEG seg{1, 1, 54, 8, 0};
  ASSERT_EQ(SysCat_add_indexseg(cat, &seg, nullptr), 0);
  SysCat_TABLEINDEX ti{100, 1, 0, 321};
  ASSERT_EQ(SysCat_add_tableindex(cat, &ti, nullptr), 0);
  SysCat_TABLEINDEX* tg = SysCat_get_tableindex_by_id(cat, 100, 1, nullptr);
  ASSERT_NE(tg, nullptr);
  EXPECT_EQ(tg->nodeid, 321u);
  free(tg);
  EXPECT_EQ(SysCat_get_tableindex_by_id(cat, 100, 2, nullptr), nullptr);
  SysCat_INDEX* ix = SysCat_get_index_by_id(cat, 1, nullptr);
  ASSERT_NE(ix, nullptr);
  EXPECT_STREQ(ix->name, "by_date");
  free(ix);
  SysCat_TABLECOLUMN tc{100, 54, 1, 0};
  ASSERT_EQ(SysCat_add_tablecolumn(cat, &tc, nullptr), 0);
  SysCat_TABLEPATH tp{100, 1, 54, 101, 1, 55, 0};
  ASSERT_EQ(SysCat_add_tablepath(cat, &tp, nullptr), 0);
  EXPECT_EQ(SysCat_entry_cnt(cat, SysTablePath_ID, nullptr), 1);
  // Argument checks.
  EXPECT_EQ(SysCat_add_tablepath(cat, nullptr, nullptr), -1);
  EXPECT_EQ(SysCat_add_group(nullptr, &staff, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);
  SysCat_db_close(cat);
}

int reject_all(const void*, void* arg) {
  ++*static_cast<int*>(arg);
  return 0;
}

TEST_F(CatalogTest, AFilterThatRejectsEveryRowWalksTheWholeTable) {
  int seen = 0;
  SysCat_GETSTATE st;
  void* row = nullptr;
  const SysCat_FILTER f{reject_all, &seen};
  EXPECT_EQ(SysCat_get(nullptr, SysSrvColumns_ID, SysCat_GET_FIRST, &f, &st, &row, nullptr), 1);
  EXPECT_EQ(seen, 65);
  EXPECT_EQ(row, nullptr);
  EXPECT_EQ(error_severity(get_error()), ERR_SEV_R);
  EXPECT_EQ(code(), SC_R_EOF);
}

TEST_F(CatalogTest, DeletingTheOnlyRowLeavesAnEmptyAnchor) {
  SysCat_VAT vat{1, 0, const_cast<char*>("only"), {}, 0};
  ASSERT_EQ(SysCat_add_vat(&vat, nullptr), 0);
  SysCat_MAP* e = SysCat_map_sysid(nullptr, SysVat_ID);
  SysCat_VMETA vm;
  ASSERT_EQ(SysCat_get_vmeta(e, &vm, nullptr), 0);
  EXPECT_EQ(vm.anchor.count, 1u);
  EXPECT_TRUE(Node_AddrValid(&vm.anchor.first));
  SysCat_GETSTATE st;
  void* row = nullptr;
  ASSERT_EQ(SysCat_get(nullptr, SysVat_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr), 0);
  free(row);
  ASSERT_EQ(SysCat_del_entry(nullptr, SysVat_ID, &st, nullptr), 0);
  ASSERT_EQ(SysCat_get_vmeta(e, &vm, nullptr), 0);
  EXPECT_EQ(vm.anchor.count, 0u);
  EXPECT_FALSE(Node_AddrValid(&vm.anchor.first));
  EXPECT_FALSE(Node_AddrValid(&vm.anchor.last));
  EXPECT_EQ(SysCat_get(nullptr, SysVat_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr), 1);
}

TEST_F(CatalogTest, AnUpdateOrDeleteOfARowFreedAndReusedSinceItWasReadIsRefused) {
  // Task A reads bob; meanwhile (a task switch while A waits for the node
  // lock) bob is deleted and a row of the same size takes his block. A's
  // rewrite must not land in the new row.
  SysCat_USER bob{0, const_cast<char*>("bob"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&bob, nullptr), 0);
  SysCat_KEY k = SYSCAT_KEY(SysCat_USER, uid, bob.uid);
  SysCat_GETSTATE a;
  void* row = nullptr;
  ASSERT_EQ(SysCat_Find(nullptr, SysUser_ID, SysCat_MatchU32, &k, &a, &row, nullptr), 0);
  free(row);
  ASSERT_EQ(SysCat_del_user(bob.uid, nullptr), 0);
  SysCat_USER eve{0, const_cast<char*>("eve"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&eve, nullptr), 0);
  SysCat_USER* e = SysCat_get_user_by_name("eve", nullptr);
  ASSERT_NE(e, nullptr);
  free(e);
  SysCat_USER stale{bob.uid, const_cast<char*>("bob"), nullptr, 99};
  EXPECT_EQ(SysCat_upd_entry(nullptr, SysUser_ID, &stale, &a, nullptr), -1);
  EXPECT_EQ(code(), SC_E_NODE);
  EXPECT_EQ(SysCat_del_entry(nullptr, SysUser_ID, &a, nullptr), -1);
  e = SysCat_get_user_by_name("eve", nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->priv, 0u);
  free(e);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysUser_ID, nullptr), 3);

  // A change elsewhere in the table leaves a row that is still there
  // valid: the update goes through.
  SysCat_GETSTATE s2;
  k = SYSCAT_KEY(SysCat_USER, uid, eve.uid);
  ASSERT_EQ(SysCat_Find(nullptr, SysUser_ID, SysCat_MatchU32, &k, &s2, &row, nullptr), 0);
  free(row);
  SysCat_USER zed{0, const_cast<char*>("zed"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&zed, nullptr), 0);
  SysCat_USER eve2{eve.uid, const_cast<char*>("eve"), nullptr, 5};
  EXPECT_EQ(SysCat_upd_entry(nullptr, SysUser_ID, &eve2, &s2, nullptr), 0);
  e = SysCat_get_user_by_name("eve", nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->priv, 5u);
  free(e);
}

TEST_F(CatalogTest, CollationsAreCheckedAndFoundForAClientsCharacterSet) {
  std::vector<uint8_t> map = collation_map();
  SysCat_COLLATE c{0, const_cast<char*>("german.iso88591"), 0, 0, 0, map.data()};
  ASSERT_EQ(SysCat_add_collate(&c, nullptr), 0);
  EXPECT_EQ(c.id, 1u);
  std::vector<uint8_t> map2 = collation_map();
  SysCat_COLLATE c2{0, const_cast<char*>("german.native8@ci"), 0, 0, 0, map2.data()};
  ASSERT_EQ(SysCat_add_collate(&c2, nullptr), 0);
  SysCat_COLLATE c3{0, const_cast<char*>("german.iso88591@ci"), 0, 0, 0, map2.data()};
  ASSERT_EQ(SysCat_add_collate(&c3, nullptr), 0);

  struct Bad {
    const char* what;
    std::vector<uint8_t> map;
    uint32_t type;
  };
  std::string over(8001, 0);  // 256 counted strings of 30 bytes: over 8000
  const std::vector<Bad> bad = {
      {"255 entries", collation_map(255), 0},
      {"257 entries", collation_map(257), 0},
      {"a length past the end", blob(std::string(1, '\x05')), 0},
      {"bytes left over", [] { auto m = collation_map(); m.push_back(0); ++m[0]; return m; }(), 0},
      {"over 8000 bytes", collation_map(256, 31), 0},
      {"type 1", collation_map(), 1},
  };
  for (const Bad& b : bad) {
    std::vector<uint8_t> m = b.map;
    SysCat_COLLATE x{0, const_cast<char*>("x.y"), b.type, 0, 0, m.data()};
    EXPECT_EQ(SysCat_add_collate(&x, nullptr), -1) << b.what;
    EXPECT_EQ(code(), SC_E_ARG) << b.what;
  }
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysCollate_ID, nullptr), 3);
  // A map of exactly 8000 bytes is kept whole.
  std::string big;
  for (int i = 0; i < 256; ++i) {
    const int n = i < 64 ? 31 : 30;  // 64*32 + 192*31 = 8000
    big.push_back(static_cast<char>(n));
    big.append(static_cast<size_t>(n), 'z');
  }
  ASSERT_EQ(big.size(), 8000u);
  std::vector<uint8_t> bigmap = blob(big);
  SysCat_COLLATE full{0, const_cast<char*>("big.iso88591"), 0, 0, 0, bigmap.data()};
  ASSERT_EQ(SysCat_add_collate(&full, nullptr), 0);
  SysCat_COLLATE* back = SysCat_get_collate_by_id(full.id, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(SysCat_BlobLength(back->map), 8000u);
  EXPECT_TRUE(SysCat_CollateMapConsistent(SysCat_BlobBytes(back->map), 8000));
  free(back);

  SysCat_COLLATE* same = SysCat_get_client_collate_by_id(1, "ISO88591", nullptr);
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(same->id, 1u);
  free(same);
  SysCat_COLLATE* other = SysCat_get_client_collate_by_id(c2.id, "iso88591", nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->id, c3.id);
  free(other);
  SysCat_COLLATE nodot{0, const_cast<char*>("plain"), 0, 0, 0, map.data()};
  ASSERT_EQ(SysCat_add_collate(&nodot, nullptr), 0);
  EXPECT_EQ(SysCat_get_client_collate_by_id(nodot.id, "iso88591", nullptr), nullptr);
  c.flags = 9;
  ASSERT_EQ(SysCat_upd_collate(&c, nullptr), 0);
  back = SysCat_get_collate_by_name("GERMAN.ISO88591", nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->flags, 9u);
  free(back);
}

TEST_F(CatalogTest, SysdevicesComesFromTheVolumeTable) {
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysDevice_ID, nullptr), 1);
  Rows devs;
  ASSERT_EQ(read_all(nullptr, SysDevice_ID, &devs), 1);
  ASSERT_EQ(devs.size(), 1u);
  const auto* d = devs.at<SysCat_DEVICE>(0);
  EXPECT_EQ(d->volid, 1u);
  EXPECT_STREQ(d->path, kRoot.c_str());
  EXPECT_EQ(d->size, Vol_GetRootVol()[0].curr_size);
  EXPECT_EQ(d->used + d->free, d->size);
  EXPECT_EQ(d->pagesz, 8192u);
  SysCat_DEVICE* v = SysCat_get_vol_by_id(1, nullptr);
  ASSERT_NE(v, nullptr);
  free(v);
  EXPECT_EQ(SysCat_get_vol_by_id(2, nullptr), nullptr);
}

TEST_F(CatalogTest, WhatIsChangedSurvivesAReopen) {
  SysCat_USER u{0, const_cast<char*>("kept"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
  SysCat_DB db{0, const_cast<char*>("kept_db"), 0, 0};
  ASSERT_EQ(add_db(&db, 1, nullptr), 0);
  reopen();
  SysCat_USER* got = SysCat_get_user_by_name("kept", nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->uid, u.uid);
  free(got);
  SysCat_DB* d = SysCat_get_db_by_name("kept_db", 0, 0, nullptr);
  ASSERT_NE(d, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(d);
  free(d);
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(SysCat_entry_cnt(cat, SysTables_ID, nullptr), 10);
  SysCat_TABLE t{};
  t.name = const_cast<char*>("t");
  ASSERT_EQ(SysCat_add_table(cat, &t, nullptr), 0);
  EXPECT_EQ(t.tableid, 100u);
  SysCat_db_close(cat);
  SysCat_USER next{0, const_cast<char*>("next"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&next, nullptr), 0);
  EXPECT_EQ(next.uid, u.uid + 1);
}

TEST_F(CatalogTest, PurgingADatabaseDeletesItsNodesAndRows) {
  SysCat_DB db{0, const_cast<char*>("gone"), 0, 0};
  ASSERT_EQ(add_db(&db, 1, nullptr), 0);
  SysCat_DB keep{0, const_cast<char*>("stays"), 0, 0};
  ASSERT_EQ(add_db(&keep, 1, nullptr), 0);
  const int objects = SysCat_entry_cnt(nullptr, SysObject_ID, nullptr);
  EXPECT_EQ(objects, 11 + 20);
  ASSERT_EQ(del_db(&db, nullptr), 0);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysObject_ID, nullptr), 11 + 10);
  EXPECT_EQ(Node_Find(db.nodeid), nullptr);
  EXPECT_EQ(SysCat_get_db_by_name("gone", 0, 0, nullptr), nullptr);
  SysCat_DB* s = SysCat_get_db_by_name("stays", 0, 0, nullptr);
  ASSERT_NE(s, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(s);
  free(s);
  ASSERT_NE(cat, nullptr);
  SysCat_db_close(cat);
  // Not a database object any more.
  EXPECT_EQ(del_db(&db, nullptr), -1);
  EXPECT_EQ(code(), SC_E_ARG);
  // A database whose catalog someone holds open is not purged.
  cat = new_db("busy");
  ASSERT_NE(cat, nullptr);
  SysCat_DB busy = *cat->db;
  EXPECT_EQ(del_db(&busy, nullptr), -1);
  SysCat_db_close(cat);
}

TEST_F(CatalogTest, ADamagedStoredDescriptionIsRefusedAtOpen) {
  SysCat_close();
  Node* node = Node_Find(SysVat_ID);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(Node_Open(node), 0);
  auto* meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  const uint8_t saved = meta[2 + 7 + 2 + 4 + 20 + 1 + 5];  // type of the first column
  meta[2 + 7 + 2 + 4 + 20 + 1 + 5] = 2;                     // vatid becomes a string
  Node_SetMetaDirty(node);
  Node_Close(node);
  EXPECT_EQ(SysCat_open(), -1);
  EXPECT_EQ(code(), SC_E_DESCR);
  // Nothing stays open after the refusal.
  for (SysCat_MAP* e = SysCat_ServerMap(); e->sys_id != 0; ++e) EXPECT_EQ(e->node, nullptr);
  ASSERT_EQ(Node_Open(node), 0);
  meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  meta[2 + 7 + 2 + 4 + 20 + 1 + 5] = saved;
  Node_SetMetaDirty(node);
  Node_Close(node);
  EXPECT_EQ(SysCat_open(), 0);
  // A table node that is missing.
  SysCat_MAP e{SysVat_ID, SysCat_StaticDescr(SysVat_ID), nullptr, nullptr};
  EXPECT_EQ(SysCat_open_node(4321, &e), -1);
  EXPECT_EQ(code(), SC_E_NODE);
}

// A database catalog whose systables anchor counts no rows while its chain
// holds some is refused with the line that names it.
TEST_F(CatalogTest, ADatabaseCatalogWithABadSystablesAnchorIsRefused) {
  SysCat_DB_CATALOG* cat = new_db("anchored");
  ASSERT_NE(cat, nullptr);
  std::string name = cat->db->name;
  SysCat_DB db = *cat->db;
  db.name = name.data();
  SysCat_VMETA vm;
  ASSERT_EQ(SysCat_get_vmeta(&cat->map[0], &vm, nullptr), 0);
  ASSERT_GT(vm.anchor.count, 0u);
  vm.anchor.count = 0;
  ASSERT_EQ(SysCat_push_vmeta(&cat->map[0], &vm, nullptr, nullptr), 0);
  SysCat_db_close(cat);
  testsupport::LogCapture log("O1");
  SysCat_DB_CATALOG* again = SysCat_db_open(&db);
  EXPECT_EQ(again, nullptr);
  SysCat_db_close(again);
  EXPECT_TRUE(log.contains("SysCat_db_open: Invalid systables")) << log.text();
  EXPECT_EQ(code(), SC_E_DESCR);
}

// With the transaction log off a record would be dropped unwritten, and
// the table's anchor with it: a change given a transaction then refuses,
// and leaves the node lock free.
TEST_F(CatalogTest, WithTheLogOffAChangeInsideATransactionRefuses) {
  ASSERT_EQ(Tlog_RootNode(), nullptr);
  Node* tx = Node_Find(SysUser_ID);  // any node stands for a transaction here
  SysCat_USER u{0, const_cast<char*>("txuser"), nullptr, 0};
  EXPECT_EQ(SysCat_add_user(&u, tx), -1);
  EXPECT_EQ(code(), SC_E_NODE);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysUser_ID, tx), -1);
  EXPECT_EQ(SysCat_get_unique_id(nullptr, SysUser_ID, tx), 0u);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysUser_ID, nullptr), 2);
  EXPECT_EQ(Node_LockState(SysCat_map_sysid(nullptr, SysUser_ID)->node), 0);
}

TEST_F(CatalogTest, FinalCommitWritesAVmetaAndDeletesANode) {
  SysCat_MAP* e = SysCat_map_sysid(nullptr, SysVat_ID);
  SysCat_VMETA vm;
  ASSERT_EQ(SysCat_get_vmeta(e, &vm, nullptr), 0);
  SysCat_RECORD rec;
  rec.opcode = SysCat_OP_VMETA;
  rec.vmeta = vm;
  rec.vmeta.unique = 77;
  uint8_t b[64];
  SysCat_EncodeRecord(rec, b);
  const Node_ADDR pos{1, 2, 3};
  ASSERT_EQ(SysCat_FinalCommit(e->node, b, SysCat_VMETA_REC_SIZE, &pos), 0);
  EXPECT_EQ(SysCat_get_unique_id(nullptr, SysVat_ID, nullptr), 78u);

  Node* victim = Pool_Create();
  ASSERT_NE(victim, nullptr);
  const uint32_t id = Node_GetId(victim);
  rec.opcode = SysCat_OP_DELETE;
  rec.node_id = id;
  SysCat_EncodeRecord(rec, b);
  ASSERT_EQ(SysCat_FinalCommit(nullptr, b, SysCat_NODE_REC_SIZE, &pos), 0);
  EXPECT_EQ(Node_Find(id), nullptr);
  // Replayed (recovery): the node is gone already, nothing to do.
  EXPECT_EQ(SysCat_FinalCommit(nullptr, b, SysCat_NODE_REC_SIZE, &pos), 0);
}

// The same under the task kernel: task A reads bob and is switched out;
// task B holds the table's node lock, so A's update waits in it; B deletes
// bob and adds eve, whose row takes bob's block; when B lets go, A's
// update must refuse rather than rewrite eve.
namespace tasks {
SysCat_GETSTATE g_a;
bool g_a_read = false;
bool g_b_locked = false;
int g_a_result = 0;
uint32_t g_bob = 0;

void task_a() {
  SysCat_KEY k = SYSCAT_KEY(SysCat_USER, uid, g_bob);
  void* row = nullptr;
  if (SysCat_Find(nullptr, SysUser_ID, SysCat_MatchU32, &k, &g_a, &row, nullptr) != 0) return;
  free(row);
  g_a_read = true;
  while (!g_b_locked) thread_yield();
  SysCat_USER stale{g_bob, const_cast<char*>("bob"), nullptr, 99};
  g_a_result = SysCat_upd_entry(nullptr, SysUser_ID, &stale, &g_a, nullptr);
}

void task_b() {
  while (!g_a_read) thread_yield();
  Node* node = SysCat_map_sysid(nullptr, SysUser_ID)->node;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return;
  g_b_locked = true;
  thread_yield();  // A runs into the lock and waits there
  SysCat_del_user(g_bob, nullptr);
  SysCat_USER eve{0, const_cast<char*>("eve"), nullptr, 0};
  SysCat_add_user(&eve, nullptr);
  Node_Unlock(node);
}
}  // namespace tasks

TEST_F(CatalogTest, ARowFreedWhileAnUpdateWaitsForTheLockIsNotRewritten) {
  SysCat_USER bob{0, const_cast<char*>("bob"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&bob, nullptr), 0);
  tasks::g_bob = bob.uid;
  storage_test::TaskRunner runner;
  ASSERT_TRUE(runner.run({tasks::task_a, tasks::task_b}));
  ASSERT_TRUE(tasks::g_a_read);
  EXPECT_EQ(tasks::g_a_result, -1);
  SysCat_USER* e = SysCat_get_user_by_name("eve", nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->priv, 0u);
  free(e);
  EXPECT_EQ(SysCat_get_user_by_name("bob", nullptr), nullptr);
}

}  // namespace
}  // namespace syscat_test
