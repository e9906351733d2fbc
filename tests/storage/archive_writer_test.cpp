// The archive writer: the stream against its grammar (magic, tag sizes,
// block order, EOF), golden bytes of the header, texts cut to 255 bytes,
// a short write at every point of a store, a node whose lists change
// under the writer, and a node without a used-cluster list refused.
#include "storage/archive_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error_status.h"
#include "storage/archive_grammar.h"
#include "storage/node_fixture.h"
#include "storage/node_flist.h"
#include "storage/pool.h"

namespace {

using Bytes = std::vector<uint8_t>;
using archive_test::Archive;
using archive_test::parse_archive;

class ArchiveWriterTest : public node_test::NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    start();
  }
  // A pool with blocks and a free block in its free list, and meta data.
  Node* make_pool(int blocks = 40, uint32_t size = 300) {
    Node* pn = Pool_Create();
    EXPECT_NE(pn, nullptr);
    std::vector<Node_ADDR> addrs(static_cast<size_t>(blocks));
    for (int i = 0; i < blocks; ++i) {
      EXPECT_EQ(Pool_Alloc(pn, size, &addrs[static_cast<size_t>(i)], nullptr), 0);
      std::string fill(size, static_cast<char>('a' + i % 26));
      EXPECT_EQ(Pool_Write(pn, &addrs[static_cast<size_t>(i)], fill.data(), size, nullptr),
                static_cast<int>(size));
    }
    for (int i = 1; i < blocks; i += 7) EXPECT_EQ(Pool_Free(pn, &addrs[static_cast<size_t>(i)], nullptr), 0);
    EXPECT_EQ(Node_Open(pn), 0);
    auto* meta = static_cast<uint8_t*>(Node_SetupMetaData(pn, 24));
    for (int i = 0; i < 24; ++i) meta[i] = static_cast<uint8_t>(i);
    Node_SetMetaDirty(pn);
    Node_Close(pn);
    return pn;
  }
  static int store_all(Archive_STREAM* s, Node* node, const char* name = "db") {
    const uint32_t items[] = {7, 9};
    if (Node_StoreMagic(s) != 0 || Node_BeginArchive(s, name, 0x11, 123, items, 2) != 0) return -1;
    if (node != nullptr && Node_StoreNode(s, node) != 0) return -1;
    return Node_EndArchive(s);
  }
};

TEST_F(ArchiveWriterTest, HeaderGoldenBytes) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(store_all(&m, nullptr, "ab"), 0);
  const Bytes want_start = {'Z', 'E', 'N', 'T', 'D', 'B', 0, 'A', 'R', 'C', 'H', 'I', 'V', 'E', 0,
                            2, 1, 0, 0, 0, 10,                  // BEGIN 10
                            11, 39, 0, 0, 0,                    // HEAD_HEAD, 8 + 14 + 6 + 11
                            0xD2, 4, 0, 0, 1, 0, 0, 0, 13};     // 1234, version 1, "WIN32 A.06.00"
  ASSERT_GE(m.bytes.size(), want_start.size());
  EXPECT_EQ(Bytes(m.bytes.begin(), m.bytes.begin() + static_cast<long>(want_start.size())), want_start);
  const Bytes want_db = {12, 23, 0, 0, 0, 2, 'a', 'b', 0x11, 0, 0, 0, 123, 0, 0, 0, 2, 0, 0, 0,
                         7, 0, 0, 0, 9, 0, 0, 0, 3, 1, 0, 0, 0, 10, 1, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(m.bytes.end() - static_cast<long>(want_db.size()), m.bytes.end()), want_db);
  Archive a;
  EXPECT_EQ(parse_archive(m.bytes, &a), "");
  EXPECT_EQ(a.items, (std::vector<uint32_t>{7, 9}));
}

TEST_F(ArchiveWriterTest, APoolNodeIsStoredWithItsListsAndPages) {
  Node* pn = make_pool();
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  const uint32_t before = Node_ArchiveWrites();
  ASSERT_EQ(store_all(&m, pn), 0);
  EXPECT_EQ(Node_ArchiveWrites() - before, m.writes);
  Archive a;
  ASSERT_EQ(parse_archive(m.bytes, &a), "");
  ASSERT_EQ(a.nodes.size(), 1u);
  const archive_test::NodeBlock& nb = a.nodes[0];
  EXPECT_EQ(nb.desc.node_id, Node_GetId(pn));
  EXPECT_EQ(nb.desc.cluster_size, 1);
  EXPECT_TRUE(nb.desc.flags & (1u << Node_POOLNODE));
  EXPECT_EQ(nb.desc.used_clusters, Node_CountItems(pn, &pn->node.ulist));
  EXPECT_GE(nb.desc.flist_items, 2u);
  EXPECT_EQ(nb.desc.flist_items, Node_CountFlistItems(pn, &pn->node.flist));
  ASSERT_EQ(nb.meta.size(), 24u);
  EXPECT_EQ(nb.meta[23], 23);
  // The pages are the cluster's as the cache holds them.
  for (const auto& [addr, bytes] : nb.clusters) {
    Node_PGVEC vec[8];
    const int pages = static_cast<int>(bytes.size() / 8192);
    Node_GetClusterReadOnly(pn, addr, pages, vec, Node_MODE_DATA);
    for (int p = 0; p < pages; ++p)
      EXPECT_EQ(memcmp(vec[p].buf, bytes.data() + 8192 * p, 8192), 0);
    Node_ReleaseCluster(pn, pages, vec);
  }
}

TEST_F(ArchiveWriterTest, AnEmptyNodeIsItsDescriptorAndMetaData) {
  Node* pn = Pool_Create();
  ASSERT_NE(pn, nullptr);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(Node_StoreNode(&m, pn), 0);
  // BEGIN 20, the descriptor, END 20: nothing else.
  ASSERT_EQ(m.bytes.size(), 6u + 5u + 32u + 6u);
  EXPECT_EQ(m.bytes[0], Node_ATT_BEGIN);
  EXPECT_EQ(m.bytes[6], Node_ATT_NODE_DESC);
  EXPECT_EQ(le_get32(m.bytes.data() + 11 + 16), 0u);  // no used cluster
  EXPECT_EQ(m.bytes[43], Node_ATT_END);
}

TEST_F(ArchiveWriterTest, LongTextsAreCutTo255Bytes) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  const std::string name(300, 'n');
  ASSERT_EQ(Node_StoreMagic(&m), 0);
  ASSERT_EQ(Node_BeginArchive(&m, name.c_str(), 0, 1, nullptr, 0), 0);
  ASSERT_EQ(Node_StoreInfo(&m, "%s", std::string(1000, 'i').c_str()), 0);
  const size_t before = m.bytes.size();
  ASSERT_EQ(Node_StoreInfo(&m, "%s", ""), 0);
  EXPECT_EQ(m.bytes.size(), before);  // an empty text writes nothing
  ASSERT_EQ(Node_EndArchive(&m), 0);
  Archive a;
  ASSERT_EQ(parse_archive(m.bytes, &a), "");
  EXPECT_EQ(a.db_name, name.substr(0, 255));
  ASSERT_EQ(a.infos.size(), 1u);
  EXPECT_EQ(a.infos[0].size(), 255u);
}

TEST_F(ArchiveWriterTest, AShortWriteAnywhereFailsTheStore) {
  Node* pn = make_pool(20);
  Archive_MEMSTREAM full;
  Archive_InitMemStream(&full);
  ASSERT_EQ(store_all(&full, pn), 0);
  for (uint32_t n = 1; n <= full.writes; ++n) {
    Archive_MEMSTREAM m;
    Archive_InitMemStream(&m);
    m.fail_at = n;
    thread_set_error(0);
    EXPECT_EQ(store_all(&m, pn), -1) << n;
    EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE_WRITE)) << n;
    EXPECT_EQ(m.writes, n);  // nothing written after the failure
    // The node lock was given back.
    EXPECT_EQ(Node_LockState(pn), 0) << n;
  }
  // A stream that fills up (a full disk) is the same.
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  m.limit = full.bytes.size() / 2;
  EXPECT_EQ(store_all(&m, pn), -1);
  EXPECT_EQ(error_code(get_error()), Node_E_ARCHIVE_WRITE);
}

TEST_F(ArchiveWriterTest, AFreeListThatGainsAnItemUnderTheWriterFailsTheStore) {
  Node* pn = make_pool();
  Node_ADDR extra;
  ASSERT_EQ(Pool_Alloc(pn, 500, &extra, nullptr), 0);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  // Write 1: BEGIN 20; write 2: the descriptor. Before write 3 the free
  // list gains the block.
  m.before = [&](uint32_t n) {
    if (n == 3) Node_AddItemToFlist(pn, &extra);
  };
  EXPECT_EQ(Node_StoreNode(&m, pn), -1);
  EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE));
  EXPECT_EQ(Node_LockState(pn), 0);
}

TEST_F(ArchiveWriterTest, AUsedListThatLosesAClusterUnderTheWriterFailsTheStore) {
  Node* pn = make_pool(200, 2000);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  m.before = [&](uint32_t n) {
    if (n == 3) {
      uint32_t start = 0, count = 0;
      Node_ITER it;
      ASSERT_EQ(Node_FirstCluster(pn, &start, &count, &it), 0);
      Node_ITEM item;
      Node_FreeCluster(pn, start, &item, nullptr);
    }
  };
  EXPECT_EQ(Node_StoreNode(&m, pn), -1);
  EXPECT_EQ(error_code(get_error()), Node_E_ARCHIVE);
}

TEST_F(ArchiveWriterTest, ANodeWithoutAUsedClusterListIsNotStored) {
  Node* pn = Pool_Create();
  ASSERT_NE(pn, nullptr);
  Node_SetFlag(Node_NO_ULIST, pn);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  EXPECT_EQ(Node_StoreNode(&m, pn), -1);
  EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE));
  EXPECT_TRUE(m.bytes.empty());
}

TEST_F(ArchiveWriterTest, TagHeadAndDescriptorRecords) {
  uint8_t b[32];
  Node_EncodeTagHead(Node_TAGHEAD{25, 0x01020304}, b);
  EXPECT_EQ(Bytes(b, b + 5), (Bytes{25, 4, 3, 2, 1}));
  EXPECT_EQ(Node_DecodeTagHead(b).size, 0x01020304u);
  Node_ARCHIVE_DESC d;
  d.node_id = 100;
  d.node_type = NodeType_ST;
  d.cluster_size = 1;
  d.flags = 2;
  d.used_clusters = 3;
  d.flist_items = 4;
  d.min_block_size = 64;
  d.avg_block_size = 80;
  Node_EncodeArchiveDesc(d, b);
  EXPECT_EQ(Bytes(b, b + 32), (Bytes{100, 0, 0, 0, 0, 0, 0, 0, 0x54, 0x53, 1, 0, 2, 0, 0, 0,
                                     3, 0, 0, 0, 4, 0, 0, 0, 64, 0, 80, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Node_DecodeArchiveDesc(b).avg_block_size, 80);
}

}  // namespace
