// Fixed-record files inside transactions: sizes refused and accepted,
// records put, read, updated and deleted by number with slots that cross
// page boundaries in clusters of 1 and 8 pages, what each transaction sees,
// the free list reused after deletes, rollback byte for byte, pre-commit of
// superseded changes, iteration both ways, the checkpoint's trim, and redo:
// it writes nothing to the log, counts again from the slot flags, and a
// second redo changes nothing; the clusters' start pages kept across the
// last close, and what they must follow while nobody holds the file.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "storage/buffer_cache.h"
#include "storage/fixrec_fixture.h"
#include "storage/vnode.h"

namespace {

using namespace fixrec_test;
using tlog_test::chain;
using tlog_test::opcodes;

class FixRecTest : public FixRecFixture {};

// --- Creation ------------------------------------------------------------------------------

struct SizeCase {
  uint32_t rec_size;
  int cluster_size;
  bool made;
  uint32_t cluster_records;
};

class FixRecSizes : public FixRecFixture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FixRecSizes, DoCreateRefusesRecordsThatCannotBeLogged) {
  const SizeCase c = GetParam();
  Node* f = FixRec_DoCreate(c.rec_size, c.cluster_size, 0);
  if (!c.made) {
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_E_ARG));
    EXPECT_EQ(status_severity(), ERR_SEV_E);
    return;
  }
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(Node_Open(f), 0);
  open_.push_back(f);
  EXPECT_EQ(Node_GetType(f), NodeType_FR);
  const FixRec_META m = FixRec_GetMetaCopy(f);
  EXPECT_EQ(m.slot_size, c.rec_size + 1);
  EXPECT_EQ(m.cluster_records, c.cluster_records);
  EXPECT_EQ(m.max_recno, 0u);
  // The largest record is put and read back in one piece.
  Node* tx = begin();
  const auto data = record(c.rec_size, 7);
  const uint32_t r = put(f, tx, data);
  EXPECT_EQ(read(f, r, tx), data);
  commit(tx);
  EXPECT_EQ(read(f, r), data);
}

INSTANTIATE_TEST_SUITE_P(
    FixRec, FixRecSizes,
    ::testing::Values(SizeCase{2, 1, false, 0}, SizeCase{3, 1, true, 2048},
                      SizeCase{100, 8, true, 648}, SizeCase{8151, 1, true, 1},
                      SizeCase{8151, 8, true, 8}, SizeCase{8152, 8, false, 0},
                      SizeCase{65535, 8, false, 0}),
    [](const auto& p) {
      return "Rec" + std::to_string(p.param.rec_size) + "Cluster" +
             std::to_string(p.param.cluster_size);
    });

TEST_F(FixRecTest, TheFirstPutFillsAClusterWithFreeSlotsAndListsThem) {
  Node* f = make(3, 1);
  Node* tx = begin();
  EXPECT_EQ(put(f, tx, record(3, 1)), 1u);
  FixRec_META m = FixRec_GetMetaCopy(f);
  EXPECT_EQ(m.max_recno, 2048u);
  EXPECT_EQ(Node_CountItems(f, &m.free_list), 2048u);  // the first is taken, not yet dropped
  // Every slot but the first (still 'D' until final commit) is free.
  const std::vector<uint8_t> img = file_image(f);
  ASSERT_EQ(img.size(), Vol_PAGESIZE);
  for (uint32_t i = 0; i < 2048; ++i) ASSERT_EQ(img[i * 4], FixRec_DELETED) << i;
  commit(tx);
  EXPECT_EQ(file_image(f)[0], FixRec_USED);
  // The checkpoint drops the taken item: 2047 are left.
  ASSERT_EQ(FixRec_Checkpoint(f), 0);
  m = FixRec_GetMetaCopy(f);
  EXPECT_EQ(Node_CountItems(f, &m.free_list), 2047u);
  // Puts take the rest of the cluster before a second one is made.
  tx = begin();
  for (uint32_t i = 2; i <= 2048; ++i) ASSERT_EQ(put(f, tx, record(3, i)), i);
  EXPECT_EQ(FixRec_MaxRecno(f), 2048u);
  EXPECT_EQ(put(f, tx, record(3, 2049)), 2049u);
  EXPECT_EQ(FixRec_MaxRecno(f), 4096u);
  commit(tx);
  EXPECT_EQ(meta_counts(f), (Counts{1, 2049, 2049}));
}

// --- Records by number -----------------------------------------------------------------------

struct ShapeCase {
  uint32_t rec_size;
  int cluster_size;
  uint32_t records;
};

class FixRecShapes : public FixRecFixture, public ::testing::WithParamInterface<ShapeCase> {};

// Records whose slots cross page boundaries, in clusters of 1 and 8 pages:
// what a transaction sees of its own changes and what others see, commit,
// and both walks.
TEST_P(FixRecShapes, PutReadUpdateDeleteByNumber) {
  const ShapeCase c = GetParam();
  Node* f = make(c.rec_size, c.cluster_size);
  const FixRec_META m0 = FixRec_GetMetaCopy(f);
  // Slot boundaries do cross pages in these shapes.
  bool crosses = false;
  for (uint32_t s = 0; s < m0.cluster_records && !crosses; ++s)
    crosses = (s * m0.slot_size) / Vol_PAGESIZE != (s * m0.slot_size + m0.slot_size - 1) / Vol_PAGESIZE;
  if (c.cluster_size > 1) { EXPECT_TRUE(crosses); }  // a one-page cluster holds whole slots

  std::map<uint32_t, std::vector<uint8_t>> want;
  Node* tx = begin();
  for (uint32_t i = 1; i <= c.records; ++i) {
    const uint32_t r = put(f, tx, record(c.rec_size, i));
    EXPECT_EQ(r, i);
    want[r] = record(c.rec_size, i);
  }
  // Uncommitted: the writer sees them, a reader outside does not.
  EXPECT_EQ(read(f, 1, tx), want[1]);
  EXPECT_TRUE(read(f, 1).empty());
  EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_DELETED));
  EXPECT_EQ(FixRec_NumRecords(f), 0u);
  commit(tx);
  EXPECT_EQ(digest(contents(f)), digest(want));
  EXPECT_EQ(meta_counts(f), (Counts{1, c.records, c.records}));

  // Update and delete in a second transaction.
  tx = begin();
  for (uint32_t r = 1; r <= c.records; r += 3) {
    ASSERT_EQ(update(f, tx, r, record(c.rec_size, 1000 + r)), 0);
    EXPECT_EQ(read(f, r), want[r]);  // others still read the committed image
    EXPECT_EQ(read(f, r, tx), record(c.rec_size, 1000 + r));
    want[r] = record(c.rec_size, 1000 + r);
  }
  for (uint32_t r = 2; r <= c.records; r += 5) {
    ASSERT_EQ(remove(f, tx, r), 0);
    EXPECT_TRUE(read(f, r, tx).empty());
    EXPECT_FALSE(read(f, r).empty());
    want.erase(r);
  }
  commit(tx);
  release_locks();
  EXPECT_EQ(digest(contents(f)), digest(want));
  EXPECT_EQ(digest(walk(f)), digest(want));
  EXPECT_EQ(digest(walk(f, true)), digest(want));
  EXPECT_EQ(meta_counts(f), counted(f));
  EXPECT_EQ(FixRec_NumRecords(f), want.size());
}

INSTANTIATE_TEST_SUITE_P(FixRec, FixRecShapes,
                         ::testing::Values(ShapeCase{100, 1, 200}, ShapeCase{100, 8, 700},
                                           ShapeCase{3000, 1, 7}, ShapeCase{3000, 8, 30},
                                           ShapeCase{5000, 8, 20}),
                         [](const auto& p) {
                           return "Rec" + std::to_string(p.param.rec_size) + "Cluster" +
                                  std::to_string(p.param.cluster_size);
                         });

TEST_F(FixRecTest, BadNumbersAndChangesOfDeletedRecordsAreRefusedCleanly) {
  Node* f = make(50, 1);
  Node* tx = begin();
  const uint32_t r = put(f, tx, record(50, 1));
  commit(tx);
  std::vector<uint8_t> b(50);
  struct Case {
    uint32_t recno;
    uint32_t status;
  };
  for (const Case& c : {Case{0, FixRec_R_RECNO_ZERO}, Case{FixRec_MaxRecno(f) + 1, FixRec_R_END},
                        Case{0xFFFFFFFF, FixRec_R_END}, Case{r + 1, FixRec_R_DELETED}}) {
    EXPECT_EQ(FixRec_Get(f, c.recno, b.data(), nullptr, nullptr), 1) << c.recno;
    EXPECT_EQ(status_code(), c.status) << c.recno;
    EXPECT_EQ(status_severity(), ERR_SEV_R) << c.recno;
  }
  // A locked read that finds nothing keeps no lock.
  tx = begin();
  EXPECT_EQ(FixRec_GetLock(f, r + 1, b.data(), nullptr, tx, locks()), 1);
  EXPECT_EQ(Node_FindLogRecord(f, r + 1), nullptr);
  EXPECT_EQ(locks()->cnt, 0u);
  // Deleted in this transaction: a second delete or an update says so.
  ASSERT_EQ(remove(f, tx, r), 0);
  EXPECT_EQ(FixRec_Delete(f, r, nullptr, tx), 1);
  EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_DELETED));
  EXPECT_EQ(FixRec_Update(f, r, record(50, 2).data(), nullptr, tx), 1);
  EXPECT_EQ(FixRec_GetLock(f, r, b.data(), nullptr, tx, locks()), 1);
  EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_DELETED));
  commit(tx);
  release_locks();
  EXPECT_EQ(meta_counts(f), (Counts{0, 0, 0}));  // the only record went
}

TEST_F(FixRecTest, DeletedNumbersAreReusedFromTheFreeList) {
  Node* f = make(2000, 1);  // 4 slots a cluster
  Node* tx = begin();
  for (uint32_t i = 1; i <= 4; ++i) put(f, tx, record(2000, i));
  commit(tx);
  tx = begin();
  ASSERT_EQ(remove(f, tx, 2), 0);
  ASSERT_EQ(remove(f, tx, 3), 0);
  // Not free before the final commit: a put makes a new cluster.
  EXPECT_EQ(put(f, tx, record(2000, 5)), 5u);
  commit(tx);
  release_locks();
  ASSERT_EQ(FixRec_Checkpoint(f), 0);
  tx = begin();
  std::set<uint32_t> taken;
  for (uint32_t i = 6; i <= 10; ++i) taken.insert(put(f, tx, record(2000, i)));
  EXPECT_EQ(taken, (std::set<uint32_t>{2, 3, 6, 7, 8}));
  EXPECT_EQ(FixRec_MaxRecno(f), 8u);
  commit(tx);
  EXPECT_EQ(meta_counts(f), (Counts{1, 8, 8}));
  EXPECT_EQ(meta_counts(f), counted(f));
}

// The slots at a cluster's edges: the last slot of a cluster (crossing
// into the cluster's last page, or ending a byte before the cluster does)
// and the first of the next. Deleted and reused, each number comes back
// once, in its own slot, and no neighbour changes.
TEST_F(FixRecTest, SlotsAtAClustersEdgesAreFreedAndReusedInPlace) {
  struct Edge {
    uint32_t rec_size;
    int cluster_size;
    uint32_t cluster_records;
    bool last_crosses;  // the last slot crosses a page boundary
  };
  for (const Edge e : {Edge{5999, 2, 2, true}, Edge{8099, 8, 8, true}, Edge{8151, 1, 1, false},
                       Edge{4095, 1, 2, false}, Edge{5460, 2, 3, false}}) {
    SCOPED_TRACE("record size " + std::to_string(e.rec_size));
    Node* f = make(e.rec_size, e.cluster_size);
    const FixRec_META m = FixRec_GetMetaCopy(f);
    ASSERT_EQ(m.cluster_records, e.cluster_records);
    const uint32_t cr = m.cluster_records;
    const uint32_t last_off = (cr - 1) * m.slot_size;
    EXPECT_EQ(last_off / Vol_PAGESIZE != (last_off + m.slot_size - 1) / Vol_PAGESIZE,
              e.last_crosses);
    std::map<uint32_t, std::vector<uint8_t>> want;
    Node* tx = begin();
    for (uint32_t i = 1; i <= 3 * cr; ++i) want[put(f, tx, record(e.rec_size, i))] = record(e.rec_size, i);
    commit(tx);
    ASSERT_EQ(want.size(), 3 * cr);
    const std::set<uint32_t> freed = {cr, cr + 1, 2 * cr};
    tx = begin();
    for (uint32_t r : freed) {
      ASSERT_EQ(remove(f, tx, r), 0) << r;
      want.erase(r);
    }
    commit(tx);
    release_locks();
    ASSERT_EQ(FixRec_Checkpoint(f), 0);
    EXPECT_EQ(digest(contents(f)), digest(want));
    tx = begin();
    std::set<uint32_t> taken;
    for (uint32_t i = 0; i < freed.size(); ++i) {
      const uint32_t r = put(f, tx, record(e.rec_size, 500 + i));
      EXPECT_TRUE(taken.insert(r).second) << "recno " << r << " handed out twice";
      want[r] = record(e.rec_size, 500 + i);
    }
    commit(tx);
    EXPECT_EQ(taken, freed);
    EXPECT_EQ(FixRec_MaxRecno(f), 3 * cr);
    EXPECT_EQ(digest(contents(f)), digest(want));
    EXPECT_EQ(digest(walk(f)), digest(want));
    EXPECT_EQ(meta_counts(f), counted(f));
    // The next put starts a new cluster at the number after the last.
    tx = begin();
    EXPECT_EQ(put(f, tx, record(e.rec_size, 900)), 3 * cr + 1);
    commit(tx);
    EXPECT_EQ(meta_counts(f), counted(f));
  }
}

// --- Rollback ----------------------------------------------------------------------------------

TEST_F(FixRecTest, RollbackLeavesThePagesByteForByte) {
  Node* f = make(700, 2);
  Node* tx = begin();
  for (uint32_t i = 1; i <= 20; ++i) put(f, tx, record(700, i));
  commit(tx);
  release_locks();
  const std::vector<uint8_t> before = file_image(f);
  const auto records = contents(f);
  const Counts counts = meta_counts(f);

  for (const bool nested : {false, true}) {
    ASSERT_EQ(FixRec_Checkpoint(f), 0);  // the position at the first free slot
    tx = begin();
    if (nested) { ASSERT_EQ(Tlog_Begin(tx, "inner", 2), 0); }
    for (uint32_t r = 1; r <= 20; r += 2) ASSERT_EQ(update(f, tx, r, record(700, 500 + r)), 0);
    ASSERT_EQ(update(f, tx, 1, record(700, 999)), 0);  // twice
    for (uint32_t r = 4; r <= 20; r += 4) ASSERT_EQ(remove(f, tx, r), 0);
    const uint32_t p = put(f, tx, record(700, 77));
    ASSERT_EQ(update(f, tx, p, record(700, 78)), 0);
    EXPECT_EQ(read(f, p, tx), record(700, 78));
    if (nested) {
      ASSERT_EQ(Tlog_Rollback(tx, 2), 0);  // partial: the inner level
      EXPECT_EQ(Tlog_TxDepth(tx), 1u);
    }
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    release_locks();
    EXPECT_EQ(file_image(f), before) << (nested ? "nested" : "flat");
    EXPECT_EQ(digest(contents(f)), digest(records));
    EXPECT_EQ(meta_counts(f), counts);
    for (uint32_t r = 1; r <= 20; ++r) EXPECT_EQ(Node_FindLogRecord(f, r), nullptr) << r;
    // The rolled-back put's number is free again.
    ASSERT_EQ(FixRec_Checkpoint(f), 0);
    tx = begin();
    EXPECT_EQ(put(f, tx, record(700, 79)), p);
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
  }
}

TEST_F(FixRecTest, PopsStepAnEntryBackToTheEarlierChange) {
  Node* f = make(64, 1);
  Node* tx = begin();
  const uint32_t r = put(f, tx, record(64, 1));
  commit(tx);
  tx = begin();
  ASSERT_EQ(update(f, tx, r, record(64, 2)), 0);
  ASSERT_EQ(Tlog_Begin(tx, "inner", 2), 0);
  ASSERT_EQ(FixRec_Update(f, r, record(64, 3).data(), nullptr, tx), 0);
  ASSERT_EQ(FixRec_Delete(f, r, nullptr, tx), 0);
  EXPECT_TRUE(read(f, r, tx).empty());
  ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
  EXPECT_EQ(read(f, r, tx), record(64, 2));
  EXPECT_EQ(Node_FindLogRecord(f, r)->state, static_cast<uint32_t>(FixRec_OP_UPDATE));
  commit(tx);
  release_locks();
  EXPECT_EQ(read(f, r), record(64, 2));
}

// --- Pre-commit and final commit -------------------------------------------------------------

TEST_F(FixRecTest, AnUpdateTwiceIsPreCommittedAsAHeadAndTheWholeSecond) {
  Node* f = make(100, 1);
  Node* tx = begin();
  const uint32_t r = put(f, tx, record(100, 1));
  commit(tx);
  tx = begin();
  ASSERT_EQ(update(f, tx, r, record(100, 2)), 0);
  ASSERT_EQ(update(f, tx, r, record(100, 3)), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  std::vector<std::vector<uint8_t>> fixrec_records;
  for (const auto& rec : chain(tx, Tlog_CHANNEL_DO_LOG))
    if (rec.head.opcode == Tlog_OP_FIXREC) fixrec_records.push_back(rec.data);
  ASSERT_EQ(fixrec_records.size(), 2u);
  EXPECT_EQ(fixrec_records[0].size(), FixRec_DELETE_RECORD_SIZE);
  EXPECT_EQ(fixrec_records[0][16], FixRec_OP_UPDATE_SUPERSEDED);
  EXPECT_EQ(fixrec_records[1].size(), FixRec_RECORD_HEAD + 100);
  EXPECT_EQ(fixrec_records[1][16], FixRec_OP_UPDATE);
  Tlog_FinalCommit(tx);
  release_locks();
  EXPECT_EQ(read(f, r), record(100, 3));
}

TEST_F(FixRecTest, APutThenDeleteInOneTransactionLeavesNothing) {
  Node* f = make(100, 1);
  Node* tx = begin();
  const uint32_t keep = put(f, tx, record(100, 1));
  const uint32_t gone = put(f, tx, record(100, 2));
  ASSERT_EQ(FixRec_Delete(f, gone, nullptr, tx), 0);
  commit(tx);
  EXPECT_TRUE(read(f, gone).empty());
  EXPECT_EQ(meta_counts(f), (Counts{keep, keep, 1}));
  EXPECT_EQ(meta_counts(f), counted(f));
}

// --- Iteration ---------------------------------------------------------------------------------

TEST_F(FixRecTest, IterationKeepsItsPagesPinnedAndStopsAtTheBounds) {
  Node* f = make(3000, 2);  // 5 slots a cluster, two of them across a page boundary
  Node* tx = begin();
  for (uint32_t i = 1; i <= 12; ++i) put(f, tx, record(3000, i));
  commit(tx);
  tx = begin();
  ASSERT_EQ(remove(f, tx, 1), 0);
  ASSERT_EQ(remove(f, tx, 12), 0);
  ASSERT_EQ(remove(f, tx, 6), 0);
  commit(tx);
  release_locks();
  EXPECT_EQ(meta_counts(f), (Counts{2, 11, 9}));
  FixRec_ITER it;
  FixRec_InitIter(&it);
  std::vector<uint8_t> b(3000);
  uint32_t r = 0;
  ASSERT_EQ(FixRec_First(f, &r, b.data(), &it, nullptr), 0);
  EXPECT_EQ(r, 2u);
  EXPECT_GE(it.npinned, 1);
  ASSERT_EQ(FixRec_Next(f, &r, b.data(), &it, nullptr), 0);
  EXPECT_EQ(r, 3u);
  EXPECT_EQ(b, record(3000, 3));
  // Update through the iterator's record.
  tx = begin();
  ASSERT_EQ(FixRec_GetLock(f, 3, b.data(), &it, tx, locks()), 0);
  ASSERT_EQ(FixRec_Update(f, 0, record(3000, 33).data(), &it, tx), 0);
  commit(tx);
  release_locks();
  ASSERT_EQ(FixRec_Next(f, &r, b.data(), &it, nullptr), 0);
  EXPECT_EQ(r, 4u);
  ASSERT_EQ(FixRec_Last(f, &r, b.data(), &it, nullptr), 0);
  EXPECT_EQ(r, 11u);
  ASSERT_EQ(FixRec_Next(f, &r, b.data(), &it, nullptr), 1);
  EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_END));
  EXPECT_EQ(it.npinned, 0);
  EXPECT_EQ(it.curr_cluster, 0u);
  EXPECT_EQ(it.curr_idx, -1);
  EXPECT_EQ(FixRec_Next(f, &r, b.data(), &it, nullptr), 1);  // stays at the end
  EXPECT_EQ(read(f, 3), record(3000, 33));
  // An empty file ends at once.
  Node* empty = make(10, 1);
  EXPECT_EQ(FixRec_First(empty, &r, nullptr, &it, nullptr), 1);
  EXPECT_EQ(FixRec_Last(empty, &r, nullptr, &it, nullptr), 1);
}

// --- Counter, first open, checkpoint ---------------------------------------------------------

TEST_F(FixRecTest, FirstOpenOffersTakenItemsAgainAndPutsPassOverUsedSlots) {
  Node* f = make(2000, 1);
  Node* tx = begin();
  for (uint32_t i = 1; i <= 3; ++i) put(f, tx, record(2000, i));
  commit(tx);
  EXPECT_EQ(FixRec_NextCounter(f), 1u);
  EXPECT_EQ(FixRec_NextCounter(f), 2u);
  // The last close writes the meta data; the next open is the first of a
  // new server run. The commit's walk left the file open in the vnode
  // cache, which shutdown flushes before the set closes.
  VNode_Flush(f);
  ASSERT_EQ(Node_RefCount(f), 1);
  Node_Close(f);
  Node_ClearFlag(Node_FIRST_OPEN_DONE, f);
  ASSERT_EQ(Node_Open(f), 0);
  const FixRec_META m = FixRec_GetMetaCopy(f);
  EXPECT_EQ(m.counter, 2u);
  EXPECT_EQ(m.free_pos.index, 0);  // back to the first item
  tx = begin();
  EXPECT_EQ(put(f, tx, record(2000, 4)), 4u);  // 1..3 passed over
  commit(tx);
  EXPECT_EQ(meta_counts(f), (Counts{1, 4, 4}));
}

// A checkpoint notifies the files it has pending: the free-list items
// taken before it are dropped, so the list starts at the first free slot.
TEST_F(FixRecTest, ACheckpointDropsTheFreeListItemsTakenBeforeIt) {
  Node* f = make(2000, 1);
  Node* tx = begin();
  for (uint32_t i = 1; i <= 3; ++i) put(f, tx, record(2000, i));
  commit(tx);
  auto first_listed = [&] {
    FixRec_META m = FixRec_GetMetaCopy(f);
    Node_ITER it;
    Node_ITEM item;
    return Node_FirstItem(f, &m.free_list, &item, &it) == 0 ? item.id : 0u;
  };
  EXPECT_EQ(first_listed(), 1u);
  ASSERT_EQ(Tlog_Checkpoint("trim"), 0);
  EXPECT_EQ(first_listed(), 4u);
  tx = begin();
  EXPECT_EQ(put(f, tx, record(2000, 4)), 4u);
  commit(tx);
}

// --- Redo --------------------------------------------------------------------------------------

// Recovery replays the root log with the final-commit handlers. It must
// log nothing, and a delete or put replayed over pages that already hold
// it must not count twice: the counts come from the slots.
TEST_F(FixRecTest, RedoLogsNothingCountsFromTheSlotsAndASecondRedoChangesNothing) {
  Node* f = make(3000, 2);
  Node* tx = begin();
  for (uint32_t i = 1; i <= 9; ++i) put(f, tx, record(3000, i));
  commit(tx);
  tx = begin();
  ASSERT_EQ(remove(f, tx, 1), 0);
  ASSERT_EQ(remove(f, tx, 5), 0);
  ASSERT_EQ(update(f, tx, 9, record(3000, 90)), 0);
  commit(tx);
  release_locks();
  const auto records = contents(f);
  const std::vector<uint8_t> image = file_image(f);
  const Counts counts = meta_counts(f);
  ASSERT_EQ(counts, (Counts{2, 9, 7}));
  const size_t root_records = chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG).size();

  // A crash left the meta data behind the slots: counts of before the
  // second transaction, with a wrong count on top.
  FixRec_META stale = FixRec_GetMetaCopy(f);
  stale.first_recno = 1;
  stale.num_records = 11;
  FixRec_EncodeMeta(stale, static_cast<uint8_t*>(Node_GetMetaData(f)));
  for (int pass = 0; pass < 2; ++pass) {
    redo();
    EXPECT_EQ(chain(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG).size(), root_records) << pass;
    EXPECT_EQ(file_image(f), image) << pass;
    EXPECT_EQ(meta_counts(f), counts) << pass;
    EXPECT_EQ(digest(contents(f)), digest(records)) << pass;
  }
}

// The pages lost their changes (a crash before the cache wrote them): redo
// brings them back from the log, puts, updates and deletes alike.
TEST_F(FixRecTest, RedoRebuildsLostPagesFromTheLog) {
  Node* f = make(100, 1);
  Node* tx = begin();
  for (uint32_t i = 1; i <= 50; ++i) put(f, tx, record(100, i));
  commit(tx);
  tx = begin();
  for (uint32_t r = 1; r <= 50; r += 7) ASSERT_EQ(remove(f, tx, r), 0);
  for (uint32_t r = 3; r <= 50; r += 9) ASSERT_EQ(update(f, tx, r, record(100, 200 + r)), 0);
  commit(tx);
  release_locks();
  const auto records = contents(f);
  const Counts counts = meta_counts(f);
  // Back to the fresh cluster: every slot 'D'.
  Node_PGVEC v;
  uint32_t start = 0;
  Node_ITER it;
  ASSERT_EQ(Node_FirstCluster(f, &start, nullptr, &it), 0);
  ASSERT_EQ(Node_GetCluster(f, start, 1, &v, Node_MODE_DATA), 0);
  memset(v.buf, FixRec_DELETED, Vol_PAGESIZE);
  Node_ReleaseClusterDirty(f, 1, &v);
  FixRec_META m = FixRec_GetMetaCopy(f);
  m.first_recno = m.last_recno = m.num_records = 0;
  FixRec_EncodeMeta(m, static_cast<uint8_t*>(Node_GetMetaData(f)));
  redo();
  EXPECT_EQ(digest(contents(f)), digest(records));
  EXPECT_EQ(meta_counts(f), counts);
}

// The counter is logged with nothing of its own: a unit whose transaction
// drew it carries the meta image, so the number is never handed out twice.
TEST_F(FixRecTest, ACounterDrawnInACommittedTransactionSurvivesRedo) {
  Node* f = make(16, 1);
  Node* tx = begin();
  put(f, tx, record(16, 1));
  commit(tx);
  const FixRec_META before = FixRec_GetMetaCopy(f);
  tx = begin();
  EXPECT_EQ(FixRec_NextCounter(f), 1u);
  EXPECT_EQ(FixRec_NextCounter(f), 2u);
  put(f, tx, record(16, 2));
  commit(tx);
  // The meta data on disk were those of before the second transaction.
  FixRec_EncodeMeta(before, static_cast<uint8_t*>(Node_GetMetaData(f)));
  redo();
  EXPECT_EQ(FixRec_GetMetaCopy(f).counter, 2u);
  EXPECT_EQ(FixRec_NextCounter(f), 3u);
  EXPECT_EQ(meta_counts(f), (Counts{1, 2, 2}));
}

// --- Start pages across closes -------------------------------------------------------------

// Every reference gone, the vnode cache's too: the next open is alone.
void close_all(Node* f) {
  VNode_Flush(f);
  while (Node_RefCount(f) > 0) Node_Close(f);
}

// The server reads a record by key in a file nobody else holds open: each
// read opens it and its close is the last. That read must not walk the
// used-cluster list (one page a cluster), whatever the file's size.
TEST_F(FixRecTest, AReadOfAFileOpenedAloneDoesNotWalkItsClusterList) {
  Node* f = make(8000, 1);  // one record a cluster
  Node* tx = begin();
  for (uint32_t i = 1; i <= 300; ++i) put(f, tx, record(8000, i));
  commit(tx);
  auto pages_of_read = [&](uint32_t recno) {
    close_all(f);
    const uint32_t before = buf_GetStats()->requests;
    EXPECT_EQ(Node_Open(f), 0);
    EXPECT_EQ(read(f, recno), record(8000, recno));
    Node_Close(f);
    return buf_GetStats()->requests - before;
  };
  pages_of_read(300);  // the list is walked once
  for (const uint32_t recno : {1u, 150u, 300u}) EXPECT_LE(pages_of_read(recno), 4u) << recno;
}

// While nobody holds the file its clusters may be added, reset, or the
// handle given to another file: a read after the next open never uses
// start pages that no longer name the file's clusters.
struct BetweenCloses {
  const char* name;
  // Changes the closed file f (which it may replace) and the records
  // expected of it; leaves every reference closed.
  void (*change)(FixRecFixture* t, Node** f, std::map<uint32_t, std::vector<uint8_t>>* model);
};

struct FixRecBetweenCloses : FixRecFixture, ::testing::WithParamInterface<BetweenCloses> {
  // Test access for the cases.
  using FixRecFixture::begin;
  using FixRecFixture::commit;
  using FixRecFixture::make;
  using FixRecFixture::open_;
  using FixRecFixture::put;
  using FixRecFixture::redo;
  using FixRecFixture::release_locks;
  using FixRecFixture::remove;
};

constexpr uint32_t kRec = 2000;  // four records a one-page cluster

void put_committed(FixRecFixture* t, Node* f, uint32_t n, uint32_t tag,
                   std::map<uint32_t, std::vector<uint8_t>>* model) {
  auto* b = static_cast<FixRecBetweenCloses*>(t);
  Node* tx = b->begin();
  for (uint32_t i = 0; i < n; ++i) {
    const std::vector<uint8_t> r = record(kRec, tag + i);
    (*model)[b->put(f, tx, r)] = r;
  }
  b->commit(tx);
}

// The same by a session that opens the file for them and closes it after.
void put_alone(FixRecFixture* t, Node* f, uint32_t n, uint32_t tag,
               std::map<uint32_t, std::vector<uint8_t>>* model) {
  ASSERT_EQ(Node_Open(f), 0);
  put_committed(t, f, n, tag, model);
  close_all(f);
}

const BetweenCloses kBetweenCloses[] = {
    {"another transaction adds clusters",
     [](FixRecFixture* t, Node** f, auto* model) { put_alone(t, *f, 41, 100, model); }},
    {"deletes",
     [](FixRecFixture* t, Node** f, auto* model) {
       auto* b = static_cast<FixRecBetweenCloses*>(t);
       ASSERT_EQ(Node_Open(*f), 0);
       Node* tx = b->begin();
       for (const uint32_t r : {1u, 4u, 5u, 6u, 7u, 8u, 40u}) {
         ASSERT_EQ(b->remove(*f, tx, r), 0);
         model->erase(r);
       }
       b->commit(tx);
       b->release_locks();
       close_all(*f);
     }},
    {"a rollback of puts that made clusters",
     [](FixRecFixture* t, Node** f, auto* model) {
       auto* b = static_cast<FixRecBetweenCloses*>(t);
       ASSERT_EQ(Node_Open(*f), 0);
       Node* tx = b->begin();
       for (uint32_t i = 0; i < 22; ++i) b->put(*f, tx, record(kRec, 300 + i));
       ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
       b->release_locks();
       close_all(*f);
       put_alone(t, *f, 3, 400, model);
     }},
    {"purge, then new records",
     [](FixRecFixture* t, Node** f, auto* model) {
       ASSERT_EQ(Node_Reset(*f), 0);
       model->clear();
       put_alone(t, *f, 9, 500, model);
     }},
    {"the file deleted and its handle given to a new file",
     [](FixRecFixture* t, Node** f, auto* model) {
       auto* b = static_cast<FixRecBetweenCloses*>(t);
       ASSERT_EQ(Node_Delete(*f), 0);
       std::erase(b->open_, *f);
       model->clear();
       *f = b->make(kRec, 1);
       ASSERT_NE(*f, nullptr);
       put_alone(t, *f, 13, 600, model);
     }},
    {"recovery's redo",
     [](FixRecFixture* t, Node**, auto*) { static_cast<FixRecBetweenCloses*>(t)->redo(); }},
};

TEST_P(FixRecBetweenCloses, KeptStartPagesNeverOutliveTheClustersTheyName) {
  Node* f = make(kRec, 1);
  std::map<uint32_t, std::vector<uint8_t>> model;
  put_committed(this, f, 40, 1, &model);  // ten clusters
  EXPECT_EQ(digest(contents(f)), digest(model));  // the start pages taken
  close_all(f);
  GetParam().change(this, &f, &model);
  if (HasFatalFailure()) return;
  ASSERT_EQ(Node_Open(f), 0);
  EXPECT_EQ(digest(contents(f)), digest(model));
  EXPECT_EQ(digest(walk(f)), digest(model));
  EXPECT_EQ(meta_counts(f), counted(f));
  std::vector<uint8_t> buf(kRec);
  const uint32_t past = FixRec_MaxRecno(f) + 1;
  EXPECT_EQ(FixRec_Get(f, past, buf.data(), nullptr, nullptr), 1);
  EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_END));
  close_all(f);
}

INSTANTIATE_TEST_SUITE_P(FixRec, FixRecBetweenCloses, ::testing::ValuesIn(kBetweenCloses),
                         [](const auto& p) {
                           std::string name;
                           for (const char* c = p.param.name; *c != 0; ++c)
                             if (isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

// --- Damage --------------------------------------------------------------------------------

// Sets the flag byte of recno's slot in the cached page, as a disk or a
// person would have left it; in_use is a record in use of its cluster.
void damage_flag(Node* f, uint32_t recno, uint8_t flag, uint32_t in_use) {
  FixRec_ITER it;
  FixRec_InitIter(&it);
  std::vector<uint8_t> buf(FixRec_RecordSize(f));
  ASSERT_EQ(FixRec_Get(f, in_use, buf.data(), &it, nullptr), 0);
  const uint32_t start = it.curr_cluster;
  FixRec_ReleaseIter(&it);
  const FixRec_META m = FixRec_GetMetaCopy(f);
  const uint32_t off = (recno - 1) % m.cluster_records * m.slot_size;
  Node_PGVEC v;
  ASSERT_EQ(Node_GetCluster(f, start + off / Vol_PAGESIZE, 1, &v, Node_MODE_DATA), 0);
  v.buf[off % Vol_PAGESIZE] = static_cast<char>(flag);
  Node_ReleaseClusterDirty(f, 1, &v);
}

// A slot flag neither 'U' nor 'D': the request that meets it fails with
// FixRec_E_CORRUPT (the client's -803), never an assertion, and the other
// records are served as before; a put that takes it from the free list
// logs it, leaves it off the list and takes another slot.
TEST_F(FixRecTest, ADamagedSlotFlagFailsTheRequestNotTheServer) {
  for (const uint8_t bad : {uint8_t{0}, uint8_t{'X'}, uint8_t{0xff}}) {
    SCOPED_TRACE(static_cast<int>(bad));
    Node* f = make(2000, 1);  // 4 slots a cluster
    Node* tx = begin();
    for (uint32_t i = 1; i <= 4; ++i) put(f, tx, record(2000, i));
    commit(tx);
    damage_flag(f, 2, bad, 2);
    std::vector<uint8_t> buf(2000);
    EXPECT_EQ(FixRec_Get(f, 2, buf.data(), nullptr, nullptr), -1);
    EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_E_CORRUPT));
    EXPECT_EQ(status_severity(), ERR_SEV_E);
    EXPECT_EQ(read(f, 3), record(2000, 3));
    FixRec_ITER it;
    FixRec_InitIter(&it);
    uint32_t recno = 0;
    EXPECT_EQ(FixRec_First(f, &recno, buf.data(), &it, nullptr), 0);
    EXPECT_EQ(recno, 1u);
    EXPECT_EQ(FixRec_Next(f, &recno, buf.data(), &it, nullptr), -1);
    EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_E_CORRUPT));
    FixRec_ReleaseIter(&it);
    // Deleted and freed, then damaged: the put passes over it.
    tx = begin();
    ASSERT_EQ(remove(f, tx, 4), 0);
    commit(tx);
    release_locks();
    ASSERT_EQ(FixRec_Checkpoint(f), 0);
    damage_flag(f, 4, bad, 1);
    tx = begin();
    EXPECT_GT(put(f, tx, record(2000, 5)), 4u);
    commit(tx);
    release_locks();
  }
}

}  // namespace
