// The B-tree's records against golden bytes: meta data with and without a
// key definition, page header, leaf and internal entries, the opcode-16 log
// record; decoders and the layout check refuse bytes that are no record.
#include "index/btree_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(BtreeFormat, MetaWithTwoPartsMatchesGoldenBytes) {
  btree_META m;
  m.magic = BTMAGIC;
  m.version = BTVERSION;
  m.psize = 8192;
  m.reserved_pgno = 0;
  m.root = 0x01000123;
  m.keydef.k_flags = 1;
  m.keydef.k_nparts = 2;
  m.keydef.k_len = 6;
  m.keydef.k_part[0] = {0, 4, 7};
  m.keydef.k_part[1] = {4, 2, 6};
  ASSERT_EQ(btree_MetaSize(&m.keydef), 60u);
  const Bytes golden = {
      0x62, 0x31, 0x05, 0x00,  // magic 0x53162
      1, 0, 0, 0,              // version
      0x00, 0x20, 0, 0,        // psize 8192
      0, 0, 0, 0,              // reserved page number
      0x23, 0x01, 0x00, 0x01,  // root
      0, 0, 0, 0,              // reserved
      1, 0, 0, 0,              // k_flags
      2, 0, 0, 0,              // k_nparts
      6, 0, 0, 0,              // k_len
      0, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0,  // part 0
      4, 0, 0, 0, 2, 0, 0, 0, 6, 0, 0, 0}; // part 1
  Bytes out(60, 0xAA);
  btree_EncodeMeta(m, out.data(), out.size());
  EXPECT_EQ(out, golden);
  btree_META back;
  ASSERT_EQ(btree_DecodeMeta(golden.data(), golden.size(), &back), 0);
  EXPECT_EQ(back.root, 0x01000123u);
  EXPECT_EQ(back.keydef.k_part[1].kp_type, 6u);
  EXPECT_EQ(btree_MetaRoot(golden.data()), 0x01000123u);
}

TEST(BtreeFormat, MetaSizes) {
  EXPECT_EQ(btree_MetaSize(nullptr), 48u);
  btree_KEYDEF none;
  EXPECT_EQ(btree_MetaSize(&none), 36u);
  none.k_nparts = 8;
  EXPECT_EQ(btree_MetaSize(&none), 132u);
}

TEST(BtreeFormat, MetaDecodeRefusesWhatCannotBeMetaData) {
  btree_META m;
  m.magic = BTMAGIC;
  m.keydef.k_nparts = 2;
  Bytes b(60);
  btree_EncodeMeta(m, b.data(), b.size());
  btree_META out;
  struct Case {
    const char* name;
    size_t size;
    uint32_t nparts;
  };
  for (const Case& c : {Case{"shorter than the head", 35, 2}, Case{"parts beyond the block", 59, 2},
                        Case{"nine parts", 200, 9}, Case{"negative parts", 200, 0xFFFFFFFF}}) {
    Bytes x = b;
    x.resize(std::max<size_t>(x.size(), c.size));
    le_put32(x.data() + 28, c.nparts);
    EXPECT_EQ(btree_DecodeMeta(x.data(), c.size, &out), -1) << c.name;
  }
  EXPECT_EQ(btree_DecodeMeta(b.data(), 60, &out), 0);
}

TEST(BtreeFormat, PageHeaderAndEntriesMatchGoldenBytes) {
  Bytes p(BT_PSIZE, 0xEE);
  bt_init_page(p.data(), 0x01000010, 0x0100000F, 0x01000011, P_BLEAF);
  const Bytes head = {0x10, 0, 0, 1, 0x0F, 0, 0, 1, 0x11, 0, 0, 1,
                      2, 0, 0, 0, 24, 0, 0, 0, 0x00, 0x20, 0, 0};
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 24), head);
  const btree_PAGEHDR h = btree_DecodePageHeader(p.data());
  EXPECT_EQ(h.next_pgno, 0x01000011u);
  EXPECT_EQ(h.upper, 8192u);
  // A leaf entry "abc" -> "XY": (3 + 2 + 12) & ~3 = 16 bytes.
  const uint8_t key[] = {'a', 'b', 'c'};
  const uint8_t data[] = {'X', 'Y'};
  const uint32_t off = 8192 - bt_leaf_size(3, 2);
  EXPECT_EQ(off, 8176u);
  bt_write_entry(p.data(), off, key, 3, 2, data, 2);
  const Bytes entry = {3, 0, 0, 0, 2, 0, 0, 0, 0, 'a', 'b', 'c', 'X', 'Y'};
  EXPECT_EQ(Bytes(p.begin() + off, p.begin() + off + 14), entry);
  // An internal entry "k" -> child 0x01000020: (1 + 12) & ~3 = 12 bytes.
  EXPECT_EQ(bt_internal_size(1), 12u);
  EXPECT_EQ(bt_internal_size(4), 16u);
  bt_write_entry(p.data(), 100, key, 1, 0x01000020, nullptr, 0);
  const Bytes ientry = {1, 0, 0, 0, 0x20, 0, 0, 1, 0, 'a'};
  EXPECT_EQ(Bytes(p.begin() + 100, p.begin() + 110), ientry);
}

TEST(BtreeFormat, TxDataMatchesGoldenBytes) {
  btree_TX_DATA r;
  r.prev = {0x02000005, 0x1234, 44};
  r.op = BT_TX_UpdPage;
  r.o_pgno = 0x01000007;
  r.r_pgno = 0x02000099;
  Bytes out(btree_TX_DATA_SIZE);
  btree_EncodeTxData(r, out.data());
  const Bytes golden = {5, 0, 0, 2, 0x34, 0x12, 44, 0, 2, 0, 0, 0,
                        7, 0, 0, 1, 0x99, 0, 0, 2};
  EXPECT_EQ(out, golden);
  const btree_TX_DATA back = btree_DecodeTxData(golden.data());
  EXPECT_EQ(back.prev.offset, 0x1234u);
  EXPECT_EQ(back.prev.size, 44u);
  EXPECT_EQ(back.r_pgno, 0x02000099u);
}

// A page from an untrusted source: each fault is named, a sound page passes.
TEST(BtreeFormat, PageLayoutCheckNamesEachFault) {
  Bytes good(BT_PSIZE, 0);
  bt_init_page(good.data(), 7, 0, 0, P_BLEAF);
  const uint8_t key[] = {'k'};
  le_put32(good.data() + 16, 28);
  le_put32(good.data() + 20, 8192 - 12);
  bt_set_slot(good.data(), 0, 8192 - 12);
  bt_write_entry(good.data(), 8192 - 12, key, 1, 2, key, 1);
  const char* why = nullptr;
  ASSERT_EQ(btree_CheckPageLayout(good.data(), &why), 0);
  struct Case {
    const char* fault;
    void (*damage)(uint8_t*);
  };
  const Case cases[] = {
      {"bad page type", [](uint8_t* p) { le_put32(p + 12, 3); }},
      {"bad lower or upper", [](uint8_t* p) { le_put32(p + 16, 26); }},
      {"bad lower or upper", [](uint8_t* p) { le_put32(p + 20, 9000); }},
      {"bad lower or upper", [](uint8_t* p) { le_put32(p + 16, 8190); }},
      {"slot outside the entries", [](uint8_t* p) { bt_set_slot(p, 0, 100); }},
      {"slot outside the entries", [](uint8_t* p) { bt_set_slot(p, 0, 8190); }},
      {"entry beyond the page", [](uint8_t* p) { le_put32(p + 8192 - 12, 0xFFFFFFF0); }},
      {"entry beyond the page", [](uint8_t* p) { le_put32(p + 8192 - 8, 100); }},
  };
  for (const Case& c : cases) {
    Bytes p = good;
    c.damage(p.data());
    why = nullptr;
    EXPECT_EQ(btree_CheckPageLayout(p.data(), &why), -1) << c.fault;
    EXPECT_STREQ(why, c.fault);
  }
}

}  // namespace
