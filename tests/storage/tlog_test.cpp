// Transaction log records and transactions over a real volume set: the
// record head and meta data bytes, records written alone and packed by
// tag records, walks forward and in reverse through handler tables with
// either end entry, owner handles that no longer (or never did) name a
// node, begin / nested pre-commit / final commit / rollback with both
// chains checked after each step, and a pool change rolled back byte for
// byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/server_counters.h"
#include "storage/tlog_fixture.h"

namespace {

using namespace tlog_test;

// --- Formats -----------------------------------------------------------------------------------

TEST(TlogFormat, RecordHeadIsLittleEndianFieldByField) {
  Tlog_RECHEAD h;
  h.prev = 0x04030201;
  h.next = 0x08070605;
  h.txid = 0x0C0B0A09;
  h.opcode = 18;
  h.state = 5;
  h.size = 0x1234;
  h.owner_id = 0x100;
  h.owner_handle = 0xA0B0C0D0;
  uint8_t b[Tlog_OVERHEAD];
  Tlog_EncodeHead(h, b);
  const uint8_t golden[Tlog_OVERHEAD] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                         18, 5, 0x34, 0x12, 0, 1, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(0, memcmp(b, golden, sizeof b));
  const Tlog_RECHEAD back = Tlog_DecodeHead(b);
  EXPECT_EQ(back.prev, h.prev);
  EXPECT_EQ(back.next, h.next);
  EXPECT_EQ(back.txid, h.txid);
  EXPECT_EQ(back.size, h.size);
  EXPECT_EQ(back.owner_handle, h.owner_handle);
}

TEST(TlogFormat, MetaDataHoldsHeaderAndAnchorsAndZerosForTheRunTimePart) {
  Tlog_META m;
  m.log_anchor.head = 0x11;
  m.log_anchor.tail = 0x22;
  m.log_anchor.last_block = Node_ADDR{0x22, 12, 100};
  m.do_log_anchor.head = 0x33;
  uint8_t b[Tlog_META_SIZE];
  memset(b, 0xEE, sizeof b);
  Tlog_EncodeMeta(m, b);
  EXPECT_EQ(le_get32(b), 0x544Cu);
  EXPECT_EQ(le_get16(b + 4), 6u);
  EXPECT_EQ(le_get32(b + 8), 0x11u);
  EXPECT_EQ(le_get32(b + 24), 0x33u);
  for (uint32_t i = Tlog_META_DISK_SIZE; i < Tlog_META_SIZE; ++i) EXPECT_EQ(b[i], 0) << i;
  Tlog_META back;
  ASSERT_EQ(Tlog_DecodeMeta(b, sizeof b, &back), 0);
  EXPECT_EQ(back.log_anchor.last_block.offset, 12);
  EXPECT_EQ(back.do_log_anchor.head, 0x33u);
  // An older, shorter block with both anchors is read; anything else is no log node's.
  EXPECT_EQ(Tlog_DecodeMeta(b, Tlog_META_DISK_SIZE, &back), 0);
  EXPECT_EQ(Tlog_DecodeMeta(b, Tlog_META_DISK_SIZE - 1, &back), -1);
  b[0] ^= 1;
  EXPECT_EQ(Tlog_DecodeMeta(b, sizeof b, &back), -1);
}

// --- Records -----------------------------------------------------------------------------------

class TlogRecordTest : public TlogFixture {};

TEST_F(TlogRecordTest, WriteNeedsAnOpenTransactionOutsideTheRoot) {
  Node* tx = new_tx();
  const uint8_t d[4] = {1, 2, 3, 4};
  Node_ADDR pos;
  EXPECT_EQ(Tlog_WriteRecord(tx, 13, Tlog_CHANNEL_LOG, nullptr, d, 4, &pos), -1);
  EXPECT_EQ(status_code(), Tlog_E_NO_TX);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
  // The root writes for itself: state 1, txid 0.
  ASSERT_EQ(Tlog_WriteRecord(Tlog_RootNode(), 13, Tlog_CHANNEL_DO_LOG, pool, d, 4, &pos), 0);
  const auto root = chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].head.state, Tlog_STATE_SINGLE);
  EXPECT_EQ(root[0].head.txid, 0u);
  EXPECT_EQ(root[0].head.owner_id, Node_GetId(pool));
  EXPECT_NE(root[0].head.owner_handle, 0u);
  EXPECT_EQ(Node_FromHandleId(root[0].head.owner_handle, Node_GetId(pool)), pool);
}

TEST_F(TlogRecordTest, ARecordOfFullSizeFillsItsBlockAndReadsBack) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  std::vector<uint8_t> d(Tlog_MAX_DATA);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i * 7);
  Node_ADDR pos;
  ASSERT_EQ(Tlog_WriteRecord(tx, 13, Tlog_CHANNEL_LOG, nullptr, d.data(), Tlog_MAX_DATA, &pos), 0);
  EXPECT_EQ(pos.size, Vol_PAGESIZE);
  std::vector<uint8_t> back(Vol_PAGESIZE);
  uint32_t txid = 0;
  EXPECT_EQ(Tlog_ReadRecord(tx, &pos, back.data(), Vol_PAGESIZE, &txid),
            static_cast<int>(Tlog_MAX_DATA));
  back.resize(Tlog_MAX_DATA);
  EXPECT_EQ(back, d);
  EXPECT_EQ(txid, 1u);
  // Rewritten in place.
  const uint8_t patch[3] = {9, 9, 9};
  ASSERT_EQ(Tlog_UpdateRecord(tx, &pos, patch, 3), 0);
  ASSERT_EQ(Tlog_ReadRecord(tx, &pos, back.data(), 4, nullptr), 4);
  EXPECT_EQ(back[0], 9);
  EXPECT_EQ(back[3], d[3]);
  EXPECT_EQ(Tlog_NumActions(tx, 0), 1u);
  EXPECT_DEATH(Tlog_WriteRecord(tx, 13, Tlog_CHANNEL_LOG, nullptr, d.data(), Tlog_MAX_DATA + 1,
                                &pos),
               "");
}

// --- Tag records and walks ---------------------------------------------------------------------

std::vector<int> g_seen;
int capture(Node*, const void* data, uint32_t, const Node_ADDR*) {
  g_seen.push_back(data != nullptr ? *static_cast<const uint8_t*>(data) : -1);
  return 0;
}
int refuse(Node*, const void*, uint32_t, const Node_ADDR*) { return 7; }

Tlog_ACTIONTABLE table_of(std::initializer_list<Tlog_ACTION> entries, uint32_t end) {
  Tlog_ACTIONTABLE t{{}, 0, end};
  for (const Tlog_ACTION& a : entries) t.entries[t.count++] = a;
  return t;
}

class TlogWalkTest : public TlogFixture {
 protected:
  // n records of opcode op and data {first + i, ...} of size bytes each, in
  // tag blocks on tx's LOG.
  void add_tagged(Node* tx, int n, uint8_t op, uint32_t size, uint8_t first) {
    Tlog_TAGREC tag;
    ASSERT_EQ(Tlog_InitTagRecord(tx, &tag, Tlog_CHANNEL_LOG), 0);
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> d(size, 0);
      d[0] = static_cast<uint8_t>(first + i);
      ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, op, nullptr, d.data(), size), 0);
    }
    ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
    Tlog_CloseTagRecord(&tag);
  }
};

TEST_F(TlogWalkTest, TagRecordsPackBlocksOnFourByteBoundaries) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "t", 1), 0);
  Tlog_TAGREC tag;
  ASSERT_EQ(Tlog_InitTagRecord(tx, &tag, Tlog_CHANNEL_LOG), 0);
  const uint8_t one = 0x41;
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, pool, &one, 1), 0);  // 25 bytes
  EXPECT_EQ(tag.next_offset, 28u);
  std::vector<uint8_t> big(5000, 0x42);
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 14, nullptr, big.data(), 5000), 0);
  EXPECT_EQ(tag.next_offset, 28u + 5024u);
  // Too large for what is left: the block goes out first, a new one starts.
  std::vector<uint8_t> more(4000, 0x43);
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 15, nullptr, more.data(), 4000), 0);
  EXPECT_EQ(tag.next_offset, 4024u);
  ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
  Tlog_CloseTagRecord(&tag);

  const auto recs = chain(tx, Tlog_CHANNEL_LOG);
  ASSERT_EQ(recs.size(), 4u);  // begin, then 13 and 14 in one block, 15 in the next
  EXPECT_EQ(opcodes(recs), (std::vector<uint32_t>{3, 13, 14, 15}));
  EXPECT_EQ(states(recs), (std::vector<uint32_t>{2, 5, 5, 5}));
  EXPECT_EQ(recs[1].offset, 0u);
  EXPECT_EQ(recs[1].head.prev, 0u);
  EXPECT_EQ(recs[1].head.next, 28u);
  EXPECT_EQ(recs[2].offset, 28u);
  EXPECT_EQ(recs[2].head.prev, 28u);
  EXPECT_EQ(recs[2].head.next, 0u);
  EXPECT_EQ(recs[3].head.prev, 0u);
  EXPECT_EQ(recs[3].head.next, 0u);
  EXPECT_NE(recs[3].block.cluster == recs[2].block.cluster &&
                recs[3].block.offset == recs[2].block.offset,
            true);
  EXPECT_EQ(recs[1].head.owner_id, Node_GetId(pool));
  EXPECT_EQ(recs[1].data, std::vector<uint8_t>{0x41});
  EXPECT_EQ(Tlog_NumActions(tx, 0), 3u);
}

TEST_F(TlogWalkTest, OnlyARecordAloneInItsBlockIsReadBackByPosition) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  add_tagged(tx, 2, 13, 10, 1);
  const auto recs = chain(tx, Tlog_CHANNEL_LOG);
  ASSERT_EQ(recs.size(), 3u);
  uint8_t buf[16];
  EXPECT_EQ(Tlog_ReadRecord(tx, &recs[0].block, buf, sizeof buf, nullptr), 0);  // the begin record
  EXPECT_DEATH(Tlog_ReadRecord(tx, &recs[1].block, buf, sizeof buf, nullptr), "not alone");
}

TEST_F(TlogWalkTest, TheFirstTagBlockOfAnEmptyChainOpensTheUnit) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  Tlog_TAGREC tag;
  ASSERT_EQ(Tlog_InitTagRecord(tx, &tag, Tlog_CHANNEL_DO_LOG), 0);
  const uint8_t d = 1;
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, nullptr, &d, 1), 0);
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, nullptr, &d, 1), 0);
  ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, nullptr, &d, 1), 0);
  ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
  Tlog_CloseTagRecord(&tag);
  EXPECT_EQ(states(chain(tx, Tlog_CHANNEL_DO_LOG)), (std::vector<uint32_t>{2, 5, 5}));
}

TEST_F(TlogWalkTest, ReverseWalksGoBackInsideEachBlockAndAcrossBlocks) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  add_tagged(tx, 5, 13, 300, 10);    // one block of five
  add_tagged(tx, 40, 14, 1000, 20);  // five blocks of eight
  const Tlog_ACTIONTABLE t = table_of({{13, capture}, {14, capture}}, 1);
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, nullptr, 0), 0);
  std::vector<int> forward;
  for (int i = 0; i < 5; ++i) forward.push_back(10 + i);
  for (int i = 0; i < 40; ++i) forward.push_back(20 + i);
  EXPECT_EQ(g_seen, forward);
  EXPECT_EQ(Tlog_NumDispatched(), 45u);
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, nullptr, 1), 0);
  EXPECT_EQ(g_seen, std::vector<int>(forward.rbegin(), forward.rend()));
}

TEST_F(TlogWalkTest, TheStopBlockIsWalkedWholeAndNothingAfterIt) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  add_tagged(tx, 3, 13, 2000, 1);  // one block
  add_tagged(tx, 3, 13, 2000, 4);  // the stop block
  add_tagged(tx, 3, 13, 2000, 7);
  const auto recs = chain(tx, Tlog_CHANNEL_LOG);
  const Node_ADDR stop = recs[4].block;
  const Tlog_ACTIONTABLE t = table_of({{13, capture}}, 1);
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, &stop, nullptr, 0), 0);
  EXPECT_EQ(g_seen, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, &stop, nullptr, 1), 0);
  EXPECT_EQ(g_seen, (std::vector<int>{9, 8, 7, 6, 5, 4}));
}

struct UnknownOpcodeCase {
  const char* name;
  uint32_t end;
  bool null_entry;  // opcode 14 listed without a handler
  int result;
  std::vector<int> seen;
};

class TlogTableTest : public TlogWalkTest,
                      public ::testing::WithParamInterface<UnknownOpcodeCase> {};

TEST_P(TlogTableTest, UnknownOpcodesStopOrArePassedOverByTheEndEntry) {
  const UnknownOpcodeCase& c = GetParam();
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  add_tagged(tx, 2, 13, 10, 1);
  add_tagged(tx, 1, 14, 10, 3);
  add_tagged(tx, 1, 13, 10, 4);
  const Tlog_ACTIONTABLE t = c.null_entry
                                 ? table_of({{3, nullptr}, {13, capture}, {14, nullptr}}, c.end)
                                 : table_of({{3, nullptr}, {13, capture}}, c.end);
  g_seen.clear();
  EXPECT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, nullptr, 0), c.result);
  EXPECT_EQ(g_seen, c.seen);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TlogTableTest,
    ::testing::Values(UnknownOpcodeCase{"EndZeroStops", 0, false, 1, {1, 2}},
                      UnknownOpcodeCase{"EndOneSkips", 1, false, 0, {1, 2, 4}},
                      UnknownOpcodeCase{"NullHandlerIsMatched", 0, true, 0, {1, 2, 4}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(TlogWalkTest, AHandlersResultStopsTheWalkAndAnEmptyChainLogsNothing) {
  Node* tx = new_tx();
  const Tlog_ACTIONTABLE t = table_of({{13, refuse}}, 0);
  EXPECT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, "never logged", 0), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  add_tagged(tx, 3, 13, 10, 1);
  const Tlog_ACTIONTABLE t2 = table_of({{3, nullptr}, {13, refuse}}, 0);
  EXPECT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t2, nullptr, nullptr, nullptr, 0), 7);
  EXPECT_EQ(Tlog_NumDispatched(), 1u);
}

// The owner handle is a number checked against a table, never a pointer:
// a record naming a node that is gone, or carrying a handle from another
// run or none that was ever given, is passed over without touching memory.
TEST_F(TlogWalkTest, OwnerHandlesThatNoLongerNameTheirNodeArePassedOver) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  Node* gone = Node_Create(1);
  ASSERT_NE(gone, nullptr);
  const uint32_t gone_id = Node_GetId(gone);
  Tlog_TAGREC tag;
  ASSERT_EQ(Tlog_InitTagRecord(tx, &tag, Tlog_CHANNEL_LOG), 0);
  uint8_t d = 1;
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, pool, &d, 1), 0);
  d = 2;
  ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, gone, &d, 1), 0);
  ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
  Tlog_CloseTagRecord(&tag);
  ASSERT_EQ(Node_Delete(gone), 0);
  // A node made in the freed slot has another id: the handle does not name it.
  Node* reuse = Node_Create(1);
  ASSERT_NE(reuse, nullptr);
  EXPECT_EQ(Node_FromHandleId(chain(tx, Tlog_CHANNEL_LOG)[2].head.owner_handle, gone_id),
            nullptr);
  const Tlog_ACTIONTABLE t = table_of({{3, nullptr}, {13, capture}}, 0);
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(g_seen, std::vector<int>{1});
  // During recovery the id decides: the deleted node is not found either.
  Tlog_SetRecovery(1);
  g_seen.clear();
  ASSERT_EQ(Tlog_Action(tx, Tlog_CHANNEL_LOG, &t, nullptr, nullptr, nullptr, 0), 0);
  Tlog_SetRecovery(0);
  EXPECT_EQ(g_seen, std::vector<int>{1});
}

TEST(TlogHandleIds, AnyNumberIsBoundCheckedAndNeverDereferenced) {
  // Numbers as a disk may hold them: zero, past the table, wrong generation,
  // a pointer's low bits.
  for (uint32_t h : {0u, 1u, 0xFFFFFu, 0xFFFFFFFFu, 0x12345678u, 0x7F00A010u})
    for (uint32_t id : {0u, 1u, 100u, 0xFFFFFFFFu}) EXPECT_EQ(Node_FromHandleId(h, id), nullptr);
}

// --- Transactions ------------------------------------------------------------------------------

class TlogTxTest : public TlogFixture {
 protected:
  // Final commit of tx, checked: one force, the node idle with both chains
  // empty. The root DO_LOG's record count before it.
  size_t final_commit(Node* tx) {
    const size_t root_before = chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG).size();
    const uint32_t forces = Tlog_Counters()->forces;
    Tlog_FinalCommit(tx);
    EXPECT_EQ(Tlog_Counters()->forces, forces + 1);
    EXPECT_EQ(Tlog_TxDepth(tx), 0u);
    EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
    EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
    return root_before;
  }
};

TEST_F(TlogTxTest, BeginNestCommitAndFinalCommitWithBothChainsAfterEachStep) {
  Node* tx = new_tx();
  Node_ADDR a = alloc(100, nullptr);
  write(a, 0x11, nullptr);
  Node_ADDR b = alloc(100, nullptr);
  write(b, 0x12, nullptr);
  ASSERT_EQ(Tlog_Begin(tx, "outer", 7), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 1u);
  EXPECT_EQ(Tlog_SubID(tx), 1u);
  auto log = chain(tx, Tlog_CHANNEL_LOG);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].head.opcode, Tlog_OP_BEGIN);
  EXPECT_EQ(log[0].head.state, Tlog_STATE_FIRST);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(log[0].data.data())), "outer");
  EXPECT_EQ(log[0].data.back(), 0);

  write(a, 0x21, tx);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 8), 0);
  EXPECT_EQ(Tlog_SubID(tx), 2u);
  write(b, 0x22, tx);
  log = chain(tx, Tlog_CHANNEL_LOG);
  EXPECT_EQ(opcodes(log), (std::vector<uint32_t>{3, 18, 3, 18}));
  EXPECT_EQ(states(log), (std::vector<uint32_t>{2, 5, 5, 5}));
  EXPECT_EQ(log[1].head.txid, 1u);
  EXPECT_EQ(log[2].head.txid, 2u);
  EXPECT_EQ(log[2].head.size, 0u);  // no comment
  EXPECT_EQ(log[3].head.txid, 2u);
  EXPECT_EQ(Tlog_NumActions(tx, 8), 1u);
  EXPECT_EQ(Tlog_NumActions(tx, 0), 2u);

  // The nested commit folds the level: nothing is dispatched, no DO_LOG.
  ASSERT_EQ(Tlog_Commit(tx), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 1u);
  EXPECT_EQ(Tlog_NumActions(tx, 0), 2u);
  EXPECT_EQ(chain(tx, Tlog_CHANNEL_LOG).size(), 4u);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());

  // The outermost pre-commit prepares the root's records in DO_LOG.
  ASSERT_EQ(Tlog_Commit(tx), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 1u);
  const auto do_log = chain(tx, Tlog_CHANNEL_DO_LOG);
  EXPECT_EQ(opcodes(do_log), (std::vector<uint32_t>{18, 18}));
  EXPECT_EQ(states(do_log), (std::vector<uint32_t>{2, 5}));
  EXPECT_EQ(first_byte(a), 0x11);  // not yet visible

  const size_t root_before = final_commit(tx);
  const auto root = chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG);
  ASSERT_EQ(root.size(), root_before + 2);
  EXPECT_EQ(root[root_before].head.state, Tlog_STATE_FIRST);
  EXPECT_EQ(root[root_before + 1].head.state, Tlog_STATE_LAST);
  EXPECT_EQ(first_byte(a), 0x21);
  EXPECT_EQ(first_byte(b), 0x22);
  EXPECT_EQ(Node_FindLogRecord(pool, a.cluster), nullptr);  // the entries went
  pool_test::check_pool(pool);
}

TEST_F(TlogTxTest, AOneRecordUnitIsClosedWithStateFour) {
  Node* tx = new_tx();
  Node_ADDR a = alloc(100, nullptr);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  write(a, 0x31, tx);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  const auto root = chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG);
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root.back().head.state, Tlog_STATE_ONLY);
  EXPECT_EQ(root.back().head.opcode, Tlog_OP_POOL_RECORD);
  EXPECT_EQ(first_byte(a), 0x31);
}

TEST_F(TlogTxTest, SubTransactionIdsCountBeginsWithinTheOutermost) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 10), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 11), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 12), 0);
  EXPECT_EQ(Tlog_SubID(tx), 3u);
  EXPECT_EQ(Tlog_EnclosingSubID(tx, 2), 2u);
  EXPECT_EQ(Tlog_EnclosingSubID(tx, 1), 1u);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 13), 0);
  EXPECT_EQ(Tlog_SubID(tx), 4u);
  EXPECT_EQ(Tlog_TxID(tx), 13u);
  EXPECT_EQ(Tlog_EnclosingSubID(tx, 3), 2u);
  ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
  EXPECT_EQ(Tlog_SubID(tx), 0u);
}

TEST_F(TlogTxTest, RollbackToABeginRecordThenCompleteRestoresThePoolByteForByte) {
  Node* tx = new_tx();
  std::vector<Node_ADDR> blocks;
  for (uint32_t size : {100u, 700u, 3000u, 50u}) {
    blocks.push_back(alloc(size, nullptr));
    write(blocks.back(), static_cast<uint8_t>(size), nullptr);
  }
  Vol_Sync(Vol_TIO_SYNC);
  const std::vector<uint8_t> image = pool_image();
  const pool_test::PoolShape shape = pool_test::check_pool(pool);

  ASSERT_EQ(Tlog_Begin(tx, "outer", 1), 0);
  write(blocks[0], 0xA1, tx);
  Node_ADDR fresh = alloc(20000, tx);  // a new cluster
  write(fresh, 0xA2, tx);
  ASSERT_EQ(Tlog_Begin(tx, "inner", 2), 0);
  const size_t outer_records = chain(tx, Tlog_CHANNEL_LOG).size() - 1;
  write(blocks[2], 0xB1, tx);
  ASSERT_EQ(Pool_Free(pool, &blocks[1], tx), 0);
  ASSERT_EQ(Pool_ReAlloc(pool, 1000, &blocks[3], tx), 0);

  // Back to the inner begin record: its records leave LOG, the outer's stay.
  ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 1u);
  EXPECT_EQ(chain(tx, Tlog_CHANNEL_LOG).size(), outer_records);
  EXPECT_EQ(first_byte(blocks[0], tx), 0xA1);
  EXPECT_EQ(first_byte(blocks[2], tx), static_cast<uint8_t>(3000));
  EXPECT_EQ(Tlog_NumActions(tx, 0), outer_records - 1);

  ASSERT_EQ(Tlog_Rollback(tx, 1), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  const pool_test::PoolShape after = pool_test::check_pool(pool);
  EXPECT_EQ(after.used_blocks, shape.used_blocks);
  EXPECT_EQ(after.free_blocks, shape.free_blocks);
  EXPECT_EQ(pool_image(), image);
  EXPECT_EQ(Node_LogRecordUsage(nullptr) - Node_LogRecordCached(), 0u);
}

TEST_F(TlogTxTest, RollbackAfterPreCommitUndoesTheChangeToo) {
  Node* tx = new_tx();
  Node_ADDR a = alloc(300, nullptr);
  write(a, 0x01, nullptr);
  const std::vector<uint8_t> image = pool_image();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  write(a, 0x02, tx);
  alloc(30000, tx);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  EXPECT_FALSE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  ASSERT_EQ(Tlog_Rollback(tx, Tlog_TxID(tx)), 0);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  EXPECT_EQ(pool_image(), image);
  EXPECT_EQ(first_byte(a), 0x01);
}

TEST_F(TlogTxTest, IdleAndUnknownTransactionsAreRefusedAndChangeNothing) {
  Node* tx = new_tx();
  EXPECT_EQ(Tlog_Commit(tx), -1);
  EXPECT_EQ(status_code(), Tlog_E_NO_TX);
  ASSERT_EQ(Tlog_Begin(tx, "x", 5), 0);
  Node_ADDR a = alloc(100, tx);
  (void)a;
  const auto before = chain(tx, Tlog_CHANNEL_LOG);
  EXPECT_EQ(Tlog_Rollback(tx, 6), -1);
  EXPECT_EQ(status_code(), Tlog_E_NO_TX);
  EXPECT_EQ(chain(tx, Tlog_CHANNEL_LOG).size(), before.size());
  EXPECT_EQ(Tlog_TxDepth(tx), 1u);
  const uint32_t rollbacks = Tlog_Counters()->rollbacks;
  ASSERT_EQ(Tlog_Rollback(tx, 5), 0);  // the only one: complete
  EXPECT_EQ(Tlog_Counters()->rollbacks, rollbacks + 1);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
}

TEST_F(TlogTxTest, AFinalCommitWithNothingForTheRootStillForcesAndEnds) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  const size_t root_before = final_commit(tx);
  EXPECT_EQ(chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG).size(), root_before);
}

// A pre-commit that stopped half-way leaves records in DO_LOG; the complete
// rollback that follows must empty DO_LOG too, or the next pre-commit of
// the node stops the process on them.
int g_precommit_calls = 0;
int half_way(Node*, const void* data, uint32_t, const Node_ADDR*) {
  if (++g_precommit_calls == 2) return 3;
  return Tlog_WriteRecord(Tlog_ActionNode(), Tlog_OP_SYSCAT, Tlog_CHANNEL_DO_LOG, nullptr, data, 1,
                          nullptr);
}
int syscat_done(Node*, const void*, uint32_t, const Node_ADDR*) { return 0; }

TEST_F(TlogTxTest, APreCommitThatFailedHalfWayLeavesNothingAfterRollback) {
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_SYSCAT, half_way);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_SYSCAT, syscat_done);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_SYSCAT, syscat_done);
  Node* tx = new_tx();
  g_precommit_calls = 0;
  const uint8_t d = 1;
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  ASSERT_EQ(Tlog_WriteRecord(tx, Tlog_OP_SYSCAT, Tlog_CHANNEL_LOG, nullptr, &d, 1, nullptr), 0);
  ASSERT_EQ(Tlog_WriteRecord(tx, Tlog_OP_SYSCAT, Tlog_CHANNEL_LOG, nullptr, &d, 1, nullptr), 0);
  EXPECT_EQ(Tlog_Commit(tx), -1);
  EXPECT_EQ(status_code(), Tlog_E_PRECOMMIT);
  EXPECT_EQ(chain(tx, Tlog_CHANNEL_DO_LOG).size(), 1u);
  ASSERT_EQ(Tlog_Rollback(tx, Tlog_TxID(tx)), 0);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  // The node's next transaction pre-commits and commits as usual.
  g_precommit_calls = -10;
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 2), 0);
  ASSERT_EQ(Tlog_WriteRecord(tx, Tlog_OP_SYSCAT, Tlog_CHANNEL_LOG, nullptr, &d, 1, nullptr), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
}

TEST_F(TlogTxTest, CountersFollowBeginsCommitsAndRollbacks) {
  const Tlog_COUNTERS before = *Tlog_Counters();
  const uint64_t history_before = server_counters.commits.load();
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 2), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 3), 0);
  ASSERT_EQ(Tlog_Rollback(tx, 0), 0);  // only a begin record: a handler ran
  const Tlog_COUNTERS* c = Tlog_Counters();
  EXPECT_EQ(c->top_begins, before.top_begins + 2);
  EXPECT_EQ(c->sub_begins, before.sub_begins + 1);
  EXPECT_EQ(c->precommits, before.precommits + 2);
  EXPECT_EQ(c->rollbacks, before.rollbacks + 1);
  EXPECT_EQ(server_counters.commits.load(), history_before + 1);
  EXPECT_EQ(Tlog_TakeFinalCommits(), before.final_commits + 1);
  EXPECT_EQ(Tlog_TakeFinalCommits(), 0u);
}

// With no root log node the log is off: every call succeeds at once.
TEST_F(TlogTxTest, WithTheLogOffEveryCallSucceedsAndDoesNothing) {
  Node* tx = new_tx();
  Tlog_CloseRootNode();
  ASSERT_EQ(Tlog_RootNode(), nullptr);
  EXPECT_EQ(Tlog_Begin(tx, "x", 1), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
  EXPECT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  EXPECT_EQ(Tlog_Rollback(tx, 1), 0);
  const uint8_t d = 1;
  Node_ADDR pos{1, 2, 3};
  EXPECT_EQ(Tlog_WriteRecord(tx, 13, Tlog_CHANNEL_LOG, nullptr, &d, 1, &pos), 0);
  EXPECT_FALSE(Node_AddrValid(&pos));
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
  Tlog_TAGREC tag;
  EXPECT_EQ(Tlog_InitRootTagRecord(&tag), 0);
  EXPECT_EQ(tag.node, nullptr);
  EXPECT_EQ(Tlog_AddBufferToTagRecord(&tag, 13, nullptr, &d, 1), 0);
  EXPECT_EQ(Tlog_FlushTagRecord(&tag), 0);
  Tlog_CloseTagRecord(&tag);
  ASSERT_EQ(Tlog_SetupRootNode(), 0);  // found again, not made anew
  EXPECT_EQ(Node_GetId(Tlog_RootNode()), Tlog_ROOTNODE);
}

TEST_F(TlogTxTest, ResetMetaEmptiesBothChainsAndTheRunTimeLists) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  write(alloc(100, nullptr), 1, tx);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  EXPECT_FALSE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  ASSERT_EQ(Tlog_ResetMeta(tx), 0);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
}

TEST_F(TlogTxTest, ANodeResetEmptiesTheChainsThroughTheSubsystem) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "x", 1), 0);
  write(alloc(100, nullptr), 1, tx);
  ASSERT_EQ(Node_Close(tx), 0);
  ASSERT_EQ(Node_Reset(tx), 0);
  ASSERT_EQ(Node_Open(tx), 0);
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_LOG).empty());
  EXPECT_TRUE(chain(tx, Tlog_CHANNEL_DO_LOG).empty());
}

TEST_F(TlogTxTest, RunTimeListsAreClearedWhenTheNodeIsOpenedAgain) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 2), 0);
  ASSERT_EQ(Node_Close(tx), 0);
  ASSERT_EQ(Node_Open(tx), 0);
  EXPECT_EQ(Tlog_TxDepth(tx), 0u);
  EXPECT_EQ(chain(tx, Tlog_CHANNEL_LOG).size(), 2u);  // the chain itself is stored
}

}  // namespace
