// Golden bytes of the pools' records: the free-list page head, the cluster
// head and block header, both shapes of the pool log record, the chained
// pool anchor; records of a wrong size or opcode are refused.
#include "storage/pool_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PoolFormat, GoldenBytes) {
  {
    Node_FLIST h;
    Vol_InitHeader(Vol_PAGE_NODE_FLIST, 0x01000203, &h.header);
    h.prev_page = 0x11223344;
    h.next_page = 5;
    h.num_items = 2;
    h.first_item = 510;
    h.last_item = 512;
    std::vector<uint8_t> b(Node_FLIST_HEAD_SIZE);
    Node_EncodeFlist(h, b.data());
    const std::vector<uint8_t> want = {0x03, 0x02, 0x00, 0x01, 5, 0, 0, 0, 0x44, 0x33,
                                       0x22, 0x11, 5,    0,    0, 0, 2, 0, 0, 0,
                                       0xFE, 1,    0,    0,    0, 2, 0, 0};
    EXPECT_EQ(b, want);
    const Node_FLIST d = Node_DecodeFlist(b.data());
    EXPECT_EQ(d.prev_page, h.prev_page);
    EXPECT_EQ(d.last_item, 512u);
  }
  {
    std::vector<uint8_t> b(Pool_CLUSTER_HEAD_SIZE);
    Pool_EncodeClusterHead({0x0A0B0C0D, 7, 0x1234, 8}, b.data());
    EXPECT_EQ(b, (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A, 7, 0, 0, 0, 0x34, 0x12, 8, 0}));
    EXPECT_EQ(Pool_DecodeClusterHead(b.data()).num_pages, 8);
  }
  {
    Pool_HEADER h{0x0108, 0x0210, 0xFFEC, 0};
    Pool_SetFlag(Pool_BLOCKUSED, &h);
    std::vector<uint8_t> b(Pool_HEADER_SIZE);
    Pool_EncodeHeader(h, b.data());
    EXPECT_EQ(b, (std::vector<uint8_t>{0x08, 0x01, 0x10, 0x02, 0xEC, 0xFF, 1, 0}));
    const Pool_HEADER d = Pool_DecodeHeader(b.data());
    EXPECT_TRUE(Pool_TestFlag(Pool_BLOCKUSED, &d));
    EXPECT_EQ(d.size, 65516);
  }
  {
    Pool_RECORD r;
    r.opcode = Pool_OP_MODIFY;
    r.addr = {0x7F000001, 0, 0};
    r.page = 0x00000105;
    r.r_pgno = 0x01000042;
    r.cluster = 0x00000104;
    r.cluster_pages = 3;
    std::vector<uint8_t> b(Pool_RECORD_SIZE);
    Pool_EncodeRecord(r, b.data());
    const std::vector<uint8_t> want = {2, 0, 0, 0, 0x01, 0, 0, 0x7F, 0, 0, 0, 0, 0x05, 1,
                                       0, 0, 0x42, 0, 0, 1, 0x04, 1, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(b, want);
    Pool_RECORD d;
    ASSERT_EQ(Pool_DecodeRecord(b.data(), b.size(), &d), 0);
    EXPECT_EQ(d.r_pgno, r.r_pgno);
    EXPECT_EQ(d.cluster_pages, 3);
  }
  {
    Pool_RECORD r;
    r.opcode = Pool_OP_FLIST;
    r.addr = {0x200, 12, 100};
    r.items[1] = {0x300, 0x2000, 64};
    std::vector<uint8_t> b(Pool_RECORD_SIZE);
    Pool_EncodeRecord(r, b.data());
    const std::vector<uint8_t> want = {4, 0, 0, 0, 0, 2, 0, 0, 12, 0, 100, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x20, 64, 0};
    EXPECT_EQ(b, want);
    Pool_RECORD d;
    ASSERT_EQ(Pool_DecodeRecord(b.data(), b.size(), &d), 0);
    EXPECT_EQ(d.items[1].offset, 0x2000);
    EXPECT_EQ(d.items[0].cluster, 0u);
  }
  {
    std::vector<uint8_t> b(FPool_ANCHOR_SIZE);
    FPool_EncodeAnchor({0x10, 0x20, {0x20, 0x30, 0x40}}, b.data());
    EXPECT_EQ(b, (std::vector<uint8_t>{0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0x30, 0,
                                       0x40, 0}));
    EXPECT_EQ(FPool_DecodeAnchor(b.data()).last_block.size, 0x40);
  }
}

TEST(PoolFormat, BadRecordsAreRefused) {
  std::vector<uint8_t> b(Pool_RECORD_SIZE + 1, 0);
  Pool_RECORD r;
  for (uint32_t op : {0u, 6u, 0xFFFFFFFFu}) {
    b[0] = static_cast<uint8_t>(op);
    b[3] = static_cast<uint8_t>(op >> 24);
    EXPECT_EQ(Pool_DecodeRecord(b.data(), Pool_RECORD_SIZE, &r), -1) << op;
  }
  b[0] = 1;
  b[3] = 0;
  EXPECT_EQ(Pool_DecodeRecord(b.data(), Pool_RECORD_SIZE - 1, &r), -1);
  EXPECT_EQ(Pool_DecodeRecord(b.data(), Pool_RECORD_SIZE + 1, &r), -1);
  EXPECT_EQ(Pool_DecodeRecord(b.data(), Pool_RECORD_SIZE, &r), 0);
}

}  // namespace
