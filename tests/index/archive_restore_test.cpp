// A database's catalog and a B-tree stored into an archive and restored by
// the archive reader into a fragmented set, through the restore functions
// the catalog and the B-tree register: the restored catalog is registered
// under a new name with its rows, the collating sequence found again by
// name, and the restored tree sound with every entry in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index/btree.h"
#include "index/btree_checker.h"
#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "storage/archive_writer.h"
#include "storage/fragment_set.h"
#include "storage/node_cluster.h"
#include "storage/node_restore.h"

namespace syscat_test {
namespace {

class ArchiveRestoreTest : public CatalogFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_EQ(btree_Init(), 0);
  }
  static size_t rows(SysCat_DB_CATALOG* cat, int sys_id) {
    Rows r;
    read_all(cat, sys_id, &r);
    return r.size();
  }
};

TEST_F(ArchiveRestoreTest, ACatalogAndABtreeComeBackThroughTheirRestoreFunctions) {
  std::string map;
  for (int i = 0; i < 256; ++i) map += {1, static_cast<char>(255 - i)};
  std::vector<uint8_t> coll_blob = blob(map);
  SysCat_COLLATE coll{0, const_cast<char*>("german.iso88591"), 0, 4, 0, coll_blob.data()};
  ASSERT_EQ(SysCat_add_collate(&coll, nullptr), 0);
  SysCat_DB_CATALOG* cat = new_db("orig");
  ASSERT_NE(cat, nullptr);
  for (int t = 0; t < 30; ++t) {
    const std::string name = "table" + std::to_string(t);
    SysCat_TABLE tab{};
    tab.name = const_cast<char*>(name.c_str());
    tab.type = 1;
    ASSERT_EQ(SysCat_add_table(cat, &tab, nullptr), 0);
    SysCat_INDEX ix{0, tab.tableid, const_cast<char*>("by_name"), 1, 0, 1, 0};
    ASSERT_EQ(SysCat_add_index(cat, &ix, nullptr), 0);
    SysCat_TABLEINDEX ti{tab.tableid, ix.idxid, t % 2 == 0 ? coll.id : 0, 0};
    ASSERT_EQ(SysCat_add_tableindex(cat, &ti, nullptr), 0);
  }
  // A tree of several levels.
  uint32_t bt_id = 0;
  Node* bt = btree_Create(0, nullptr, &bt_id);
  ASSERT_NE(bt, nullptr);
  btree_CTX ctx;
  btree_HANDLE* t = btree_OpenNode(bt, &ctx, 0);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 4000; ++i) {
    char key[32], data[64];
    snprintf(key, sizeof key, "key%07d", i * 7919 % 100003);
    snprintf(data, sizeof data, "data of entry %d, padded to a longer value", i);
    btree_DBT k{key, static_cast<uint32_t>(strlen(key))};
    btree_DBT d{data, static_cast<uint32_t>(strlen(data))};
    ASSERT_EQ(btree_Put(t, &k, &d, R_NOOVERWRITE), 0);
  }
  ASSERT_GE(btree_test::check_tree(t).height, 2u);
  const auto entries = btree_test::leaf_entries(t);
  btree_CloseNode(t);
  const size_t tables = rows(cat, SysTables_ID);
  const size_t indexes = rows(cat, SysIndex_ID);

  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(Node_StoreMagic(&m), 0);
  ASSERT_EQ(Node_BeginArchive(&m, "orig", cat->db->flags, cat->db->nodeid, nullptr, 0), 0);
  ASSERT_EQ(SysCat_db_dump(&m, cat), 0);
  ASSERT_EQ(Node_StoreNode(&m, bt), 0);
  ASSERT_EQ(Node_EndArchive(&m), 0);
  SysCat_db_close(cat);
  storage_test::fragment_set(200);

  // The reader, as the access layer's restore drives it.
  Node_TAGHEAD h;
  uint8_t block = 0;
  Node_ARCHIVE_HEADER ah;
  Node_DB_HEADER dh;
  ASSERT_EQ(Node_RestoreMagic(&m), 0);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreBlockTag(&m, &h, &block), 0);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreArchiveHeader(&m, &h, &ah), 0);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreDbHeader(&m, &h, &dh), 0);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreBlockTag(&m, &h, &block), 0);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreBlockTag(&m, &h, &block), 0);
  ASSERT_EQ(block, Node_ATT_COLL);
  std::vector<SysCat_COLLMAP> colls;
  for (;;) {
    ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
    if (h.type != Node_ATT_COLL_DATA) break;
    SysCat_COLLMAP c{};
    ASSERT_EQ(Node_RestoreColl(&m, &h, &c.old_id, &c.new_id, nullptr), 0);
    colls.push_back(c);
  }
  ASSERT_EQ(Node_RestoreBlockTag(&m, &h, &block), 0);  // END 30
  ASSERT_EQ(colls.size(), 1u);
  EXPECT_EQ(colls[0].new_id, coll.id);
  ASSERT_EQ(Node_RestoreTagHead(&m, &h), 0);
  ASSERT_EQ(Node_RestoreBlockTag(&m, &h, &block), 0);
  std::vector<Node_RESTORED> restored;
  ASSERT_EQ(Node_RestoreAllNodes(&m, &h, block, &restored, nullptr), 0);

  std::vector<SysCat_NODEMAP> nodes;
  Node* new_bt = nullptr;
  for (const Node_RESTORED& r : restored) {
    nodes.push_back({r.archived_id, r.node});
    if (r.archived_id == bt_id) new_bt = r.node;
  }
  ASSERT_NE(new_bt, nullptr);
  EXPECT_NE(new_bt, bt);
  const SysCat_DBHEAD head{"copy", dh.flags};
  SysCat_DB_CATALOG* copy = SysCat_db_restore(&head, colls.data(), static_cast<int>(colls.size()),
                                              nodes.data(), static_cast<int>(nodes.size()), nullptr);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(rows(copy, SysTables_ID), tables);
  EXPECT_EQ(rows(copy, SysIndex_ID), indexes);
  Rows ti;
  ASSERT_GE(read_all(copy, SysTableIndex_ID, &ti), 0);
  ASSERT_EQ(ti.size(), 30u);
  for (size_t i = 0; i < ti.size(); ++i) {
    const uint32_t id = ti.at<SysCat_TABLEINDEX>(i)->collid;
    EXPECT_TRUE(id == 0 || id == coll.id);
  }
  SysCat_db_close(copy);

  btree_HANDLE* r = btree_OpenNode(new_bt, &ctx, 0);
  ASSERT_NE(r, nullptr);
  const btree_test::CheckResult check = btree_test::check_tree(r);
  EXPECT_TRUE(check.ok()) << check.text();
  EXPECT_EQ(btree_test::leaf_entries(r), entries);
  btree_CloseNode(r);
}

}  // namespace
}  // namespace syscat_test
