// The node layer's records against golden bytes: descriptor, node page
// head and slots, item-list page head and slots, and the log records of
// clusters and lists; decoders refuse byte counts that are not a record.
#include "storage/node_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Node_DESC sample_desc() {
  Node_DESC d;
  d.node_id = 0x12345678;
  d.meta_addr = {0x01000203, 0x0405, 0x0607};
  d.node_type = 0x4254;  // "BT"
  d.cluster_size = 8;
  d.flags = 0x15;
  d.ulist = {0x11, 0x22, 3, 4};
  d.flist = {0x33, 0x44, 0x5566, 0x7788};
  d.min_block_size = 64;
  d.avg_block_size = 0x1234;
  d.reserved = 0;
  return d;
}

const Bytes kDescGolden = {
    0x78, 0x56, 0x34, 0x12,                          // node_id
    0x03, 0x02, 0x00, 0x01, 0x05, 0x04, 0x07, 0x06,  // meta_addr: cluster, offset, size
    0x54, 0x42,                                      // node_type "BT", 'B' in the high byte
    0x08, 0x00,                                      // cluster_size
    0x15, 0x00, 0x00, 0x00,                          // flags
    0x11, 0, 0, 0, 0x22, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0,  // ulist
    0x33, 0, 0, 0, 0x44, 0, 0, 0, 0x66, 0x55, 0x88, 0x77,  // flist
    0x40, 0x00,                                            // min block size
    0x34, 0x12,                                            // average block size
    0, 0, 0, 0};                                           // reserved

TEST(NodeFormat, DescriptorMatchesGoldenBytesAndDecodesBack) {
  ASSERT_EQ(kDescGolden.size(), Node_DESC_SIZE);
  Bytes out(Node_DESC_SIZE, 0xEE);
  Node_EncodeDesc(sample_desc(), out.data());
  EXPECT_EQ(out, kDescGolden);
  const Node_DESC d = Node_DecodeDesc(kDescGolden.data());
  Bytes again(Node_DESC_SIZE);
  Node_EncodeDesc(d, again.data());
  EXPECT_EQ(again, kDescGolden);
  EXPECT_EQ(d.meta_addr.size, 0x0607);
  EXPECT_EQ(d.flist.tail_avg, 0x7788);
}

TEST(NodeFormat, NodePageHeadAndLastSlot) {
  EXPECT_EQ(Node_SlotOffset(0), 20u);
  EXPECT_EQ(Node_SlotOffset(144), 8084u);
  EXPECT_EQ(Node_SlotOffset(145), Node_PAGE_USED);
  Node_PAGE_HEAD h;
  Vol_InitHeader(Vol_PAGE_NODE, 0x01000042, &h.header);
  h.next_page = 0x0100004A;
  h.num_nodes = 146;
  h.last_node_id = 245;
  Bytes out(Node_PAGE_HEAD_SIZE);
  Node_EncodePageHead(h, out.data());
  const Bytes golden = {0x42, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00,  // header: page, type 3
                        0x4A, 0x00, 0x00, 0x01,                          // next_page
                        0x92, 0x00, 0x00, 0x00,                          // num_nodes 146
                        0xF5, 0x00, 0x00, 0x00};                         // last_node_id 245
  EXPECT_EQ(out, golden);
  const Node_PAGE_HEAD back = Node_DecodePageHead(golden.data());
  EXPECT_EQ(back.header.type, Vol_PAGE_NODE);
  EXPECT_EQ(back.next_page, 0x0100004Au);
  EXPECT_EQ(back.last_node_id, 245u);
}

TEST(NodeFormat, ItemListPageHeadAndSlots) {
  EXPECT_EQ(Node_ItemOffset(0), 32u);
  EXPECT_EQ(Node_ItemOffset(1018), 8176u);
  EXPECT_EQ(Node_ItemOffset(1019), Node_ILIST_USED);
  Node_ILIST h;
  Vol_InitHeader(Vol_PAGE_ITEMLIST, 0x77, &h.header);
  h.prev_page = 0x66;
  h.next_page = 0x88;
  h.num_items = 1019;
  h.first_item = 0;
  h.last_item = 1019;
  h.timestamp = 0x01020304;
  Bytes page(Vol_PAGESIZE, 0);
  Node_EncodeIlist(h, page.data());
  Node_PutItem(page.data(), 1018, {0xAABBCCDD, 8});
  const Bytes head = {0x77, 0, 0, 0, 0x04, 0, 0, 0,  // header: page, type 4
                      0x66, 0, 0, 0,                 // prev_page
                      0x88, 0, 0, 0,                 // next_page
                      0xFB, 0x03, 0, 0,              // num_items 1019
                      0, 0, 0, 0,                    // first_item
                      0xFB, 0x03, 0, 0,              // last_item
                      0x04, 0x03, 0x02, 0x01};       // timestamp
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 32), head);
  EXPECT_EQ(Bytes(page.begin() + 8176, page.begin() + 8184),
            (Bytes{0xDD, 0xCC, 0xBB, 0xAA, 8, 0, 0, 0}));
  const Node_ILIST back = Node_DecodeIlist(page.data());
  EXPECT_EQ(back.timestamp, 0x01020304u);
  EXPECT_EQ(Node_GetItem(page.data(), 1018).id, 0xAABBCCDDu);
}

// --- Log records ----------------------------------------------------------------------

TEST(NodeFormat, ClusterRecord) {
  Bytes out(Node_CLUSTER_REC_SIZE);
  Node_EncodeClusterRec({0x01000010, 8, Node_CLUSTER_FREE}, out.data());
  EXPECT_EQ(out, (Bytes{0x10, 0, 0, 0x01, 8, 0, 2, 0}));
  Node_CLUSTER_REC r;
  ASSERT_EQ(Node_DecodeClusterRec(out.data(), out.size(), &r), 0);
  EXPECT_EQ(r.first_page, 0x01000010u);
  EXPECT_EQ(r.op, Node_CLUSTER_FREE);
}

TEST(NodeFormat, PageActionRecordCarriesListIdAndTypeAtBytesSixAndSeven) {
  NodeList_PAGE_REC r;
  r.timestamp = 9;
  r.action = NodeList_PAGE_CREATE;
  r.list_id = NodeList_ID_FIXREC_FLIST;
  r.list_type = NodeListType_ILIST;
  r.page = 0x500;
  r.prev_page = 0x400;
  r.prev_timestamp = 7;
  Bytes out(NodeList_PAGE_REC_SIZE);
  NodeList_EncodePageRec(r, out.data());
  const Bytes golden = {9, 0, 0, 0, 1, 0, 2, 1,  // timestamp, action, list id, list type
                        0, 5, 0, 0,              // page
                        0, 4, 0, 0, 7, 0, 0, 0,  // prev page and its timestamp
                        0, 0, 0, 0, 0, 0, 0, 0}; // no next page
  EXPECT_EQ(out, golden);
  NodeList_PAGE_REC back;
  ASSERT_EQ(NodeList_DecodePageRec(out.data(), out.size(), &back), 0);
  EXPECT_EQ(back.list_id, NodeList_ID_FIXREC_FLIST);
  EXPECT_EQ(back.prev_timestamp, 7u);
}

TEST(NodeFormat, HeadItemAndFillRecords) {
  Bytes head(NodeList_HEAD_REC_SIZE);
  NodeList_EncodeHeadRec({5, NodeListType_ILIST, 0x300, 2, 1, 4}, head.data());
  EXPECT_EQ(head, (Bytes{5, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0}));

  Bytes item(NodeList_ITEM_REC_SIZE + 8);
  NodeList_EncodeItemRec({6, NodeListType_ILIST, 0x300, 40, 8}, item.data());
  EXPECT_EQ(Bytes(item.begin(), item.begin() + 16),
            (Bytes{6, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 40, 0, 8, 0}));
  NodeList_ITEM_REC ir;
  EXPECT_EQ(NodeList_DecodeItemRec(item.data(), item.size(), &ir), 0);
  EXPECT_EQ(ir.offset, 40);

  Bytes fill(NodeList_FILL_REC_SIZE);
  NodeList_EncodeFillRec({3, NodeListType_ILIST, 0x300, 1000, 19, 0x1000, 1}, fill.data());
  EXPECT_EQ(fill, (Bytes{3, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 0xE8, 0x03, 19, 0, 0, 0x10, 0, 0,
                         1, 0, 0, 0}));
  NodeList_FILL_REC fr;
  ASSERT_EQ(NodeList_DecodeFillRec(fill.data(), fill.size(), &fr), 0);
  EXPECT_EQ(fr.first_slot, 1000);
  EXPECT_EQ(fr.n, 19);
}

// Bytes from the log that are not a record of the opcode are refused.
TEST(NodeFormat, DecodersRefuseWrongByteCounts) {
  const Bytes big(64, 0);
  Node_CLUSTER_REC c;
  NodeList_PAGE_REC p;
  NodeList_HEAD_REC h;
  NodeList_ITEM_REC i;
  NodeList_FILL_REC f;
  EXPECT_EQ(Node_DecodeClusterRec(big.data(), 7, &c), -1);
  EXPECT_EQ(Node_DecodeClusterRec(big.data(), 9, &c), -1);
  EXPECT_EQ(NodeList_DecodePageRec(big.data(), 27, &p), -1);
  EXPECT_EQ(NodeList_DecodeHeadRec(big.data(), 25, &h), -1);
  EXPECT_EQ(NodeList_DecodeFillRec(big.data(), 23, &f), -1);
  EXPECT_EQ(NodeList_DecodeItemRec(big.data(), 15, &i), -1);
  // A head that names more bytes than follow, or fewer.
  Bytes item(NodeList_ITEM_REC_SIZE + 8);
  NodeList_EncodeItemRec({1, NodeListType_ILIST, 0x300, 32, 16}, item.data());
  EXPECT_EQ(NodeList_DecodeItemRec(item.data(), item.size(), &i), -1);
  NodeList_EncodeItemRec({1, NodeListType_ILIST, 0x300, 32, 0}, item.data());
  EXPECT_EQ(NodeList_DecodeItemRec(item.data(), item.size(), &i), -1);
}

}  // namespace
