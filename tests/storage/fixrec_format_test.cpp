// Formats of fixed-record files against golden bytes: the 68-byte meta
// data, the 32-byte meta image and the head of a record change; meta data
// that are no record file's are refused.
#include <gtest/gtest.h>

#include <vector>

#include "storage/fixrec.h"

namespace {

FixRec_META sample() {
  FixRec_META m;
  m.slot_size = 101;
  m.cluster_size = 2;
  m.cluster_records = 2 * 8192 / 101;  // 162
  m.sequence = 0x01020304;
  m.free_list = Node_IHEAD{0x11, 0x22, 3, 0x44};
  m.free_pos = Node_IPOS{0x55, 7};
  m.first_recno = 1;
  m.last_recno = 0x100;
  m.max_recno = 0x144;
  m.num_records = 9;
  m.counter = 0xA0B0C0D0;
  return m;
}

TEST(FixRecFormat, MetaDataFieldByField) {
  uint8_t out[FixRec_META_SIZE];
  FixRec_EncodeMeta(sample(), out);
  const std::vector<uint8_t> golden = {
      0x52, 0x46, 0, 0, 7, 0, 0, 0,                   // header: "FR", type 7
      101, 0, 0, 0, 2, 0, 0, 0, 162, 0, 0, 0,         // slot, cluster size, records
      4, 3, 2, 1,                                     // sequence
      0x11, 0, 0, 0, 0x22, 0, 0, 0, 3, 0, 0, 0, 0x44, 0, 0, 0,  // free list head
      0x55, 0, 0, 0, 7, 0, 0, 0,                      // free-list position
      1, 0, 0, 0, 0, 1, 0, 0, 0x44, 1, 0, 0,          // first, last, max
      9, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0};            // num_records, counter
  ASSERT_EQ(golden.size(), FixRec_META_SIZE);
  EXPECT_EQ(std::vector<uint8_t>(out, out + FixRec_META_SIZE), golden);
  FixRec_META back;
  ASSERT_EQ(FixRec_DecodeMeta(out, FixRec_META_SIZE, &back), 0);
  EXPECT_EQ(back.counter, 0xA0B0C0D0u);
  EXPECT_EQ(back.free_pos.index, 7);
  EXPECT_EQ(back.free_list.timestamp, 0x44u);
  EXPECT_EQ(back.max_recno, 0x144u);
}

TEST(FixRecFormat, MetaImageAndRecordHead) {
  uint8_t img[FixRec_META_IMAGE_SIZE];
  FixRec_EncodeMetaImage(sample(), img);
  const std::vector<uint8_t> golden_img = {4, 3, 2, 1, 0x55, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0,
                                           0, 1, 0, 0, 0x44, 1, 0, 0, 9, 0, 0, 0,
                                           0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(std::vector<uint8_t>(img, img + sizeof img), golden_img);
  FixRec_META m;
  FixRec_DecodeMetaImage(img, &m);
  EXPECT_EQ(m.sequence, 0x01020304u);
  EXPECT_EQ(m.num_records, 9u);

  FixRec_RECORD r;
  r.prev = Node_ADDR{0x01000010, 0x20, 0x30};
  r.recno = 0x1234;
  r.start_page = 0x01000200;
  r.opcode = FixRec_OP_PUT;
  uint8_t head[FixRec_RECORD_HEAD];
  FixRec_EncodeRecordHead(r, head);
  const std::vector<uint8_t> golden_head = {0x10, 0, 0, 1, 0x20, 0, 0x30, 0, 0x34, 0x12, 0, 0,
                                            0, 2, 0, 1, 3};
  EXPECT_EQ(std::vector<uint8_t>(head, head + sizeof head), golden_head);
  FixRec_RECORD back;
  ASSERT_EQ(FixRec_DecodeRecordHead(head, sizeof head, &back), 0);
  EXPECT_EQ(back.recno, 0x1234u);
  EXPECT_EQ(back.prev.offset, 0x20);
}

struct BadMeta {
  const char* name;
  size_t at;      // byte changed
  uint8_t value;
  uint32_t size;  // bytes offered
};

class FixRecBadMeta : public ::testing::TestWithParam<BadMeta> {};

TEST_P(FixRecBadMeta, IsRefused) {
  uint8_t out[FixRec_META_SIZE];
  FixRec_EncodeMeta(sample(), out);
  out[GetParam().at] = GetParam().value;
  FixRec_META m;
  EXPECT_EQ(FixRec_DecodeMeta(out, GetParam().size, &m), -1);
}

INSTANTIATE_TEST_SUITE_P(
    FixRec, FixRecBadMeta,
    ::testing::Values(BadMeta{"Short", 0, 0x52, FixRec_META_SIZE - 1},
                      BadMeta{"NotFR", 0, 0x4C, FixRec_META_SIZE},
                      BadMeta{"WrongPageType", 4, 6, FixRec_META_SIZE},
                      BadMeta{"ClusterSizeNine", 12, 9, FixRec_META_SIZE},
                      BadMeta{"ClusterRecordsOff", 16, 163, FixRec_META_SIZE},
                      BadMeta{"SlotOfOneByte", 8, 1, FixRec_META_SIZE}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FixRecFormat, RecordHeadsOfUnknownOpcodesAreRefused) {
  uint8_t head[FixRec_RECORD_HEAD] = {};
  FixRec_RECORD r;
  for (uint8_t op : {0, 6, 255}) {
    head[16] = op;
    EXPECT_EQ(FixRec_DecodeRecordHead(head, sizeof head, &r), -1) << int(op);
  }
  head[16] = FixRec_OP_DELETE;
  EXPECT_EQ(FixRec_DecodeRecordHead(head, sizeof head - 1, &r), -1);
  EXPECT_EQ(FixRec_DecodeRecordHead(head, sizeof head, &r), 0);
}

}  // namespace
