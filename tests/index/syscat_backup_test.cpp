// The catalog's side of backup and restore: a database's dump read back
// against the archive grammar (collating-sequence block only when its
// indexes use one, every table node in map order), with short writes
// injected; the renumbering of a restored table node's clusters, refused
// with nothing changed when an address is unknown; a restored database
// registered with its members above uid 2 dropped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "index/syscat_format.h"
#include "storage/archive_grammar.h"
#include "storage/archive_writer.h"
#include "storage/disk_bytes.h"
#include "storage/node_cluster.h"
#include "storage/pool_format.h"

namespace syscat_test {
namespace {

using archive_test::Archive;
using archive_test::parse_archive;

std::vector<uint8_t> collation_blob() {
  std::string m;
  for (int i = 0; i < 256; ++i) {
    m.push_back(1);
    m.push_back(static_cast<char>(255 - i));
  }
  return blob(m);
}

class BackupTest : public CatalogFixture {
 protected:
  // A database with a user table and an index; collid names a collation.
  SysCat_DB_CATALOG* db_with_index(const char* name, uint32_t collid) {
    SysCat_DB_CATALOG* cat = new_db(name);
    EXPECT_NE(cat, nullptr);
    SysCat_TABLE t{};
    t.name = const_cast<char*>("orders");
    t.type = 1;
    EXPECT_EQ(SysCat_add_table(cat, &t, nullptr), 0);
    SysCat_INDEX ix{0, t.tableid, const_cast<char*>("by_name"), 1, 0, 1, 0};
    EXPECT_EQ(SysCat_add_index(cat, &ix, nullptr), 0);
    SysCat_TABLEINDEX ti{t.tableid, ix.idxid, collid, 0};
    EXPECT_EQ(SysCat_add_tableindex(cat, &ti, nullptr), 0);
    return cat;
  }
  uint32_t add_collation(const char* name) {
    std::vector<uint8_t> map = collation_blob();
    SysCat_COLLATE c{0, const_cast<char*>(name), 0, 4, 0, map.data()};
    EXPECT_EQ(SysCat_add_collate(&c, nullptr), 0);
    return c.id;
  }
  static int dump(SysCat_DB_CATALOG* cat, Archive_STREAM* s) {
    if (Node_StoreMagic(s) != 0 ||
        Node_BeginArchive(s, cat->db->name, cat->db->flags, cat->db->nodeid, nullptr, 0) != 0 ||
        SysCat_db_dump(s, cat) != 0)
      return -1;
    return Node_EndArchive(s);
  }
};

TEST_F(BackupTest, ADatabaseWithoutCollationsHasNoCollationBlock) {
  SysCat_DB_CATALOG* cat = db_with_index("plain", 0);
  ASSERT_NE(cat, nullptr);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(dump(cat, &m), 0);
  Archive a;
  ASSERT_EQ(parse_archive(m.bytes, &a), "");
  EXPECT_FALSE(a.coll_block);
  EXPECT_EQ(a.db_name, "plain");
  ASSERT_EQ(a.nodes.size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(a.nodes[i].desc.node_id, Node_GetId(cat->map[i].node)) << i;
    EXPECT_EQ(a.nodes[i].desc.node_type, i == 0 ? NodeType_DB : NodeType_ST);
    // The meta data is the packed description of the table.
    SysCat_NODE_DESCR nd;
    ASSERT_EQ(unpack_node_descr(a.nodes[i].meta.data(), a.nodes[i].meta.size(),
                                cat->map[i].descr, &nd), 0);
    EXPECT_STREQ(nd.d.name, cat->map[i].descr->name);
  }
  SysCat_db_close(cat);
}

TEST_F(BackupTest, CollationsInUseAreDumpedOnceWithTheirReferenceCount) {
  const uint32_t de = add_collation("german.iso88591@ci");
  add_collation("german.native8@ci");  // the same reduced name: stored too
  add_collation("french.iso88591");    // not used
  SysCat_DB_CATALOG* cat = db_with_index("coll", de);
  ASSERT_NE(cat, nullptr);
  SysCat_TABLEINDEX ti2{100, 7, de, 0};
  ASSERT_EQ(SysCat_add_tableindex(cat, &ti2, nullptr), 0);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(dump(cat, &m), 0);
  Archive a;
  ASSERT_EQ(parse_archive(m.bytes, &a), "");
  ASSERT_TRUE(a.coll_block);
  ASSERT_EQ(a.colls.size(), 2u);
  EXPECT_EQ(a.colls[0].name, "german.iso88591@ci");
  EXPECT_EQ(a.colls[0].id, de);
  EXPECT_EQ(a.colls[0].v1, 0u);  // type
  EXPECT_EQ(a.colls[0].v2, 4u);  // flags
  EXPECT_EQ(a.colls[0].v3, 2u);  // used by two indexes
  EXPECT_EQ(a.colls[0].map.size(), 512u);
  EXPECT_EQ(a.colls[1].name, "german.native8@ci");
  EXPECT_EQ(a.nodes.size(), 10u);

  // A short write anywhere fails the dump with VOL E092.
  for (uint32_t n = 1; n <= m.writes; n += 3) {
    Archive_MEMSTREAM s;
    Archive_InitMemStream(&s);
    s.fail_at = n;
    EXPECT_EQ(dump(cat, &s), -1) << n;
    EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE_WRITE)) << n;
  }
  SysCat_db_close(cat);
}

TEST_F(BackupTest, AnIndexNamingAMissingCollationFailsTheDump) {
  SysCat_DB_CATALOG* cat = db_with_index("broken", 42);
  ASSERT_NE(cat, nullptr);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  EXPECT_EQ(dump(cat, &m), -1);
  SysCat_db_close(cat);
}

TEST_F(BackupTest, RestoredCollationsAreFoundByNameOrAdded) {
  const uint32_t id = add_collation("german.iso88591");
  std::vector<uint8_t> map = collation_blob();
  EXPECT_EQ(SysCat_RestoreCollate("GERMAN.iso88591", 0, 0, SysCat_BlobBytes(map.data()), 512, nullptr),
            static_cast<int>(id));
  const int added = SysCat_RestoreCollate("dutch.iso88591", 0, 1, SysCat_BlobBytes(map.data()), 512, nullptr);
  EXPECT_GT(added, static_cast<int>(id));
  EXPECT_EQ(SysCat_RestoreCollate("bad.iso88591", 0, 0, SysCat_BlobBytes(map.data()), 300, nullptr), -1);
}

// Archived clusters map to new ones by a fixed offset in this test; one
// address is left out to see the refusal.
uint32_t g_missing = 0;
uint32_t shift_map(uint32_t archived) { return archived == g_missing ? 0 : archived + 0x1000; }

TEST_F(BackupTest, RestoredClustersHaveTheirAnchorAndRowLinksRenumbered) {
  // A table with rows in more than one cluster.
  std::vector<std::string> names;
  for (int i = 0; i < 150; ++i) {
    names.push_back("user" + std::to_string(i) + std::string(60, 'x'));
    SysCat_USER u{0, names.back().data(), nullptr, 0};
    ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
  }
  SysCat_MAP* e = SysCat_map_sysid(nullptr, SysUser_ID);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(Node_StoreNode(&m, e->node), 0);
  // The node block alone: wrap it to parse.
  Archive_MEMSTREAM w;
  Archive_InitMemStream(&w);
  ASSERT_EQ(Node_StoreMagic(&w), 0);
  ASSERT_EQ(Node_BeginArchive(&w, "x", 0, 1, nullptr, 0), 0);
  w.bytes.insert(w.bytes.end(), m.bytes.begin(), m.bytes.end());
  ASSERT_EQ(Node_EndArchive(&w), 0);
  Archive a;
  ASSERT_EQ(parse_archive(w.bytes, &a), "");
  ASSERT_EQ(a.nodes.size(), 1u);
  ASSERT_GE(a.nodes[0].clusters.size(), 2u);

  SysCat_VMETA before;
  ASSERT_EQ(SysCat_get_vmeta(e, &before, nullptr), 0);
  // An unknown address: refused, the pages and the anchor as they were.
  auto& [addr0, bytes0] = a.nodes[0].clusters[0];
  std::vector<uint8_t> pages = bytes0;
  std::vector<uint8_t*> vec;
  for (size_t p = 0; p < pages.size() / 8192; ++p) vec.push_back(pages.data() + 8192 * p);
  g_missing = before.anchor.last.cluster;
  EXPECT_EQ(SysCat_RestoreCluster(e->node, static_cast<int>(vec.size()), vec.data(), addr0 + 0x1000, 0,
                                  shift_map),
            -1);
  EXPECT_EQ(pages, bytes0);
  SysCat_VMETA same;
  ASSERT_EQ(SysCat_get_vmeta(e, &same, nullptr), 0);
  EXPECT_EQ(same.anchor.first.cluster, before.anchor.first.cluster);

  g_missing = 0;
  ASSERT_EQ(SysCat_RestoreCluster(e->node, static_cast<int>(vec.size()), vec.data(), addr0 + 0x1000, 0,
                                  shift_map),
            0);
  SysCat_VMETA after;
  ASSERT_EQ(SysCat_get_vmeta(e, &after, nullptr), 0);
  EXPECT_EQ(after.anchor.first.cluster, before.anchor.first.cluster + 0x1000);
  EXPECT_EQ(after.anchor.last.cluster, before.anchor.last.cluster + 0x1000);
  EXPECT_EQ(after.anchor.first.offset, before.anchor.first.offset);
  EXPECT_EQ(after.anchor.count, before.anchor.count);
  // Every used block's links moved by the offset; null links stay null.
  int rows = 0;
  for (uint32_t at = 12;;) {
    const Pool_HEADER h = Pool_DecodeHeader(pages.data() + at);
    if (Pool_TestFlag(Pool_BLOCKUSED, &h)) {
      const SysCat_LINK now = SysCat_DecodeLink(pages.data() + at + 8);
      const SysCat_LINK was = SysCat_DecodeLink(bytes0.data() + at + 8);
      EXPECT_EQ(now.prev.cluster, was.prev.cluster == 0 ? 0u : was.prev.cluster + 0x1000);
      EXPECT_EQ(now.next.cluster, was.next.cluster == 0 ? 0u : was.next.cluster + 0x1000);
      EXPECT_EQ(now.next.offset, was.next.offset);
      ++rows;
    }
    if (h.next == 0) break;
    at += h.next;
  }
  EXPECT_GT(rows, 0);
  // A block chain that leaves the cluster is refused.
  std::vector<uint8_t> bad = bytes0;
  le_put16(bad.data() + 12 + 2, 0xFFF0);
  std::vector<uint8_t*> bvec;
  for (size_t p = 0; p < bad.size() / 8192; ++p) bvec.push_back(bad.data() + 8192 * p);
  EXPECT_EQ(SysCat_RestoreCluster(e->node, static_cast<int>(bvec.size()), bvec.data(), addr0, 1,
                                  shift_map),
            -1);
}

TEST_F(BackupTest, ARestoredDatabaseIsRegisteredAndKeepsOnlyMembersBelowUid3) {
  SysCat_USER u{0, const_cast<char*>("carol"), nullptr, 0};
  ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
  ASSERT_EQ(u.uid, 3u);
  SysCat_DB_CATALOG* cat = new_db("orig");
  ASSERT_NE(cat, nullptr);
  ASSERT_EQ(SysCat_add_member(cat, 2, 1, nullptr), 0);
  ASSERT_EQ(SysCat_add_member(cat, 3, 1, nullptr), 0);
  // The restored nodes stand in for new ones: each archived id maps to
  // itself (the archive reader would hand over new nodes).
  std::vector<SysCat_NODEMAP> nodes;
  for (SysCat_MAP* e = cat->map; e->sys_id != 0; ++e) nodes.push_back({Node_GetId(e->node), e->node});
  SysCat_INDEX ix{0, 100, const_cast<char*>("ix"), 1, 0, 1, nodes[3].old_id};
  ASSERT_EQ(SysCat_add_index(cat, &ix, nullptr), 0);
  SysCat_db_close(cat);
  const SysCat_DBHEAD head{"copy", 0x20};
  SysCat_DB_CATALOG* restored =
      SysCat_db_restore(&head, nullptr, 0, nodes.data(), static_cast<int>(nodes.size()), nullptr);
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(SysCat_is_member(restored, 1, 1, nullptr), 1);
  EXPECT_EQ(SysCat_is_member(restored, 2, 1, nullptr), 1);
  EXPECT_EQ(SysCat_is_member(restored, 3, 1, nullptr), 0);
  SysCat_db_close(restored);
  SysCat_DB* db = SysCat_get_db_by_name("copy", 0x20, 0x20, nullptr);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->nodeid, nodes[0].old_id);
  EXPECT_EQ(db->dbid, 2u);
  free(db);

  // A node the map does not know fails the restore and lists nothing.
  const int objects = SysCat_entry_cnt(nullptr, SysObject_ID, nullptr);
  std::vector<SysCat_NODEMAP> partial(nodes.begin(), nodes.begin() + 5);
  const SysCat_DBHEAD head2{"partial", 0};
  EXPECT_EQ(SysCat_db_restore(&head2, nullptr, 0, partial.data(), 5, nullptr), nullptr);
  EXPECT_EQ(SysCat_get_db_by_name("partial", 0, 0, nullptr), nullptr);
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysObject_ID, nullptr), objects);
}

}  // namespace
}  // namespace syscat_test
