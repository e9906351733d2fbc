// The node log-record hash and advisory locks: sizes, many keys of one
// node and of many nodes, the free cache and its trim by age, lock lists
// saved and restored across nested levels, and entries a lock list still
// names when their change is popped or their transaction ends.
#include "storage/node_logrec.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "storage/tlog_fixture.h"

namespace {

// Nodes are only compared, never dereferenced, by the hash.
Node* fake_node(int i) { return reinterpret_cast<Node*>(0x10000 + static_cast<uintptr_t>(i) * 64); }

class RecordHashTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Node_InitRecordHash(1000), 0); }
  void TearDown() override {
    Node_CleanupRecordHash();
    Node_FreeLogRecordCache();
  }
};

TEST(NodeIsPrime, SmallNumbersAndTheTableSizes) {
  struct Case {
    uint32_t n;
    int prime;
  };
  for (Case c : {Case{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 0}, {9, 0}, {25, 0}, {1999, 1},
                 {65521, 1}, {65535, 0}, {2001, 0}})
    EXPECT_EQ(Node_IsPrime(c.n), c.prime) << c.n;
}

TEST(NodeRecordHash, SizesAreTheLargestPrimeBelowTwiceTheEntriesCappedAt65535) {
  ASSERT_EQ(Node_InitRecordHash(1000), 0);
  EXPECT_EQ(Node_RecordHashSize(), 1999);
  ASSERT_EQ(Node_InitRecordHash(40000), 0);
  EXPECT_EQ(Node_RecordHashSize(), 65521);
  ASSERT_EQ(Node_InitRecordHash(1), 0);
  EXPECT_EQ(Node_RecordHashSize(), 1);
  Node_CleanupRecordHash();
  EXPECT_EQ(Node_RecordHashSize(), 0);
}

TEST_F(RecordHashTest, ManyKeysOfOneNodeAndOfManyNodesAreToldApart) {
  std::map<std::pair<Node*, uint32_t>, Node_LOG_REC*> model;
  std::mt19937 rng(7);
  // Keys that differ only above bit 15 share a bucket.
  for (int n = 0; n < 40; ++n) {
    for (int k = 0; k < 300; ++k) {
      const uint32_t key = (static_cast<uint32_t>(k) << 16) | static_cast<uint32_t>(rng() % 50);
      int found = -1;
      Node_LOG_REC* e = Node_AddLogRecord(fake_node(n), key, &found);
      auto [it, inserted] = model.emplace(std::make_pair(fake_node(n), key), e);
      EXPECT_EQ(found, inserted ? 0 : 1);
      EXPECT_EQ(it->second, e);
      EXPECT_EQ(e->node, fake_node(n));
      EXPECT_EQ(e->key, key);
      EXPECT_EQ(e->log_node, nullptr);
    }
  }
  for (const auto& [k, e] : model) EXPECT_EQ(Node_FindLogRecord(k.first, k.second), e);
  EXPECT_EQ(Node_FindLogRecord(fake_node(99), 1), nullptr);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), model.size());
  // Remove every other one, in random order; the rest stay findable.
  std::vector<std::pair<Node*, uint32_t>> keys;
  for (const auto& [k, e] : model) keys.push_back(k);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i < keys.size(); i += 2) {
    Node_RemoveLogRecord(model[keys[i]]);
    model.erase(keys[i]);
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    Node_LOG_REC* e = Node_FindLogRecord(keys[i].first, keys[i].second);
    if (i % 2 == 0)
      EXPECT_EQ(e, nullptr);
    else
      EXPECT_EQ(e, model[keys[i]]);
  }
}

TEST_F(RecordHashTest, TheFreeCacheIsLastInFirstOutAndTrimmedAtTheSecondCheckpoint) {
  Node_LOG_REC* a = Node_AddLogRecord(fake_node(1), 1, nullptr);
  Node_LOG_REC* b = Node_AddLogRecord(fake_node(1), 2, nullptr);
  uint32_t bytes = 0;
  EXPECT_EQ(Node_LogRecordUsage(&bytes), 2u);
  EXPECT_EQ(bytes, 80u);
  Node_RemoveLogRecord(a);
  Node_RemoveLogRecord(b);
  EXPECT_EQ(Node_LogRecordCached(), 2u);
  EXPECT_EQ(Node_AddLogRecord(fake_node(2), 5, nullptr), b);  // last in, first out
  Node_FlushLogRecordCache();  // a was cached in this interval: kept
  EXPECT_EQ(Node_LogRecordUsage(nullptr), 2u);
  Node_FlushLogRecordCache();  // the second checkpoint gives it back
  EXPECT_EQ(Node_LogRecordUsage(nullptr), 1u);
  EXPECT_EQ(Node_LogRecordCached(), 0u);
  EXPECT_EQ(Node_LogRecordHighMark(&bytes), 2u);
  EXPECT_EQ(bytes, 80u);
}

// --- Advisory locks ----------------------------------------------------------------------------

class AdvLockTest : public RecordHashTest {
 protected:
  void TearDown() override {
    Node_ReleaseAllAdvLocks(list);
    Node_FreeAdvLock(list);
    RecordHashTest::TearDown();
  }
  Node_LOG_REC* lock(int node, uint32_t key) {
    int found = 0;
    Node_LOG_REC* e = Node_AddLogRecord(fake_node(node), key, &found);
    if (!found) Node_AddAdvLock(list, e);
    return e;
  }
  std::vector<uint32_t> keys() const {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < list->cnt; ++i) out.push_back(list->locks[i]->key);
    return out;
  }
  Node_ADVLOCK* list = Node_InitAdvLock(4, 4);
};

TEST_F(AdvLockTest, RestoringALevelReleasesItsLocksButKeepsThoseWithAChange) {
  lock(1, 1);
  const int save = Node_SaveAdvLock(list);
  EXPECT_EQ(save, 1);
  lock(1, 2);
  Node_LOG_REC* changed = lock(1, 3);
  lock(1, 4);
  changed->log_addr = Node_ADDR{0x100, 12, 28};
  Node_RestoreAdvLock(list, save);
  EXPECT_EQ(list->cnt, 1u);
  EXPECT_EQ(list->level, 0u);
  EXPECT_EQ(Node_FindLogRecord(fake_node(1), 2), nullptr);
  EXPECT_EQ(Node_FindLogRecord(fake_node(1), 3), changed);
  EXPECT_EQ(Node_FindLogRecord(fake_node(1), 4), nullptr);
  Node_RemoveLogRecord(changed);
}

TEST_F(AdvLockTest, ReleasingOneLockKeepsTheOrderOfTheOthers) {
  for (uint32_t k = 1; k <= 5; ++k) lock(2, k);
  EXPECT_EQ(Node_ReleaseAdvLock(list, fake_node(2), 3, 0), 1);
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 2, 4, 5}));
  EXPECT_EQ(Node_ReleaseAdvLock(list, fake_node(2), 3, 0), 0);
  EXPECT_EQ(Node_FindLogRecord(fake_node(2), 3), nullptr);
}

TEST_F(AdvLockTest, NestedLevelsGrowTheListAndReleaseAllGoesBackToTheFirstArray) {
  Node_LOG_REC** first = list->locks;
  std::vector<int> saves;
  uint32_t key = 1;
  for (int level = 0; level < 5; ++level) {
    saves.push_back(Node_SaveAdvLock(list));
    for (int i = 0; i < 3; ++i) lock(3, key++);
  }
  EXPECT_EQ(list->cnt, 15u);
  EXPECT_EQ(list->max_cnt, 16u);
  EXPECT_EQ(list->save_locks, first);
  // Unwind the inner three levels, as nested rollbacks would.
  for (int level = 4; level >= 2; --level) {
    Node_RestoreAdvLock(list, saves[level]);
    EXPECT_EQ(list->cnt, static_cast<uint32_t>(saves[level]));
  }
  EXPECT_EQ(keys(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  for (uint32_t k = 7; k <= 15; ++k) EXPECT_EQ(Node_FindLogRecord(fake_node(3), k), nullptr);
  Node_ReleaseAllAdvLocks(list);
  EXPECT_EQ(list->locks, first);
  EXPECT_EQ(list->max_cnt, 4u);
  EXPECT_EQ(list->level, 0u);
  EXPECT_EQ(list->save_locks, nullptr);
  Node_CheckAdvLock(list);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
}

TEST_F(AdvLockTest, AListThatCannotGrowStops) {
  Node_ADVLOCK* fixed = Node_InitAdvLock(1, 0);
  Node_AddAdvLock(fixed, Node_AddLogRecord(fake_node(4), 1, nullptr));
  EXPECT_DEATH(Node_AddAdvLock(fixed, Node_AddLogRecord(fake_node(4), 2, nullptr)),
               "list cannot be extended");
  Node_ReleaseAllAdvLocks(fixed);
  Node_FreeAdvLock(fixed);
}

// --- Entries a lock list still names -----------------------------------------------------------

class LockedEntryTest : public tlog_test::TlogFixture {
 protected:
  void TearDown() override {
    Node_ReleaseAllAdvLocks(list);
    Node_FreeAdvLock(list);
    TlogFixture::TearDown();
  }
  Node_ADVLOCK* list = Node_InitAdvLock(8, 8);
};

// A read lock that later got a change: popping the change (a rollback of
// it) leaves the read lock in place; the entry is not handed to the next
// taker while the list still names it.
TEST_F(LockedEntryTest, PoppingTheLastChangeOfALockedEntryKeepsItAsAPlainLock) {
  Node* tx = new_tx();
  Node* tx2 = new_tx();
  Node_LOG_REC* e = Node_AddLogRecord(pool, 42, nullptr);
  Tlog_LinkLogRecord(tx, e);
  Node_AddAdvLock(list, e);
  e->log_addr = Node_ADDR{0x200, 12, 52};
  e->state = 3;
  Node_RemoveLogRecord(e);  // the pop of its only change
  EXPECT_EQ(Node_FindLogRecord(pool, 42), e);
  EXPECT_EQ(e->log_node, tx);
  EXPECT_FALSE(Node_AddrValid(&e->log_addr));
  Node_LOG_REC* other = Node_AddLogRecord(pool, 43, nullptr);
  EXPECT_NE(other, e);
  Tlog_LinkLogRecord(tx2, other);
  Node_ReleaseAllAdvLocks(list);
  EXPECT_EQ(Node_FindLogRecord(pool, 42), nullptr);
  EXPECT_EQ(Node_FindLogRecord(pool, 43), other);
  EXPECT_EQ(other->log_node, tx2);
  Node_RemoveLogRecord(other);
}

// The transaction ends while a lock list still names one of its context
// records: the entry outlives the context list (without a holder) until
// the list lets it go, and no other transaction gets it meanwhile.
TEST_F(LockedEntryTest, AnEndingTransactionLeavesListedEntriesToTheirList) {
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "final commit" : "rollback");
    Node* tx = new_tx();
    ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
    Node_LOG_REC* e = Node_AddLogRecord(pool, 7, nullptr);
    Tlog_LinkLogRecord(tx, e);
    Node_AddAdvLock(list, e);
    if (commit) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    } else {
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    }
    EXPECT_EQ(Node_FindLogRecord(pool, 7), e);
    EXPECT_EQ(e->log_node, nullptr);
    Node_LOG_REC* next = Node_AddLogRecord(pool, 8, nullptr);
    EXPECT_NE(next, e);
    Node_ReleaseAllAdvLocks(list);
    EXPECT_EQ(Node_FindLogRecord(pool, 7), nullptr);
    EXPECT_EQ(Node_FindLogRecord(pool, 8), next);
    Node_RemoveLogRecord(next);
  }
}

// Lock levels that follow nested transactions over real pool pages: a
// page read-locked in the outer level and changed in the inner one keeps
// its lock when the inner change is rolled back; each restore releases its
// level's locks; the outer rollback leaves the outer locks to the list.
TEST_F(LockedEntryTest, LockLevelsFollowNestedRollbacks) {
  Node* tx = new_tx();
  std::vector<Node_ADDR> blocks;
  for (int i = 0; i < 4; ++i) blocks.push_back(alloc(60000, nullptr));  // clusters apart
  for (const Node_ADDR& b : blocks) write(b, 0x10, nullptr);
  const std::vector<uint8_t> image = pool_image();
  auto read_lock = [&](const Node_ADDR& b) {
    int found = 0;
    Node_LOG_REC* e = Node_AddLogRecord(pool, b.cluster, &found);
    Tlog_LinkLogRecord(tx, e);
    if (!found) Node_AddAdvLock(list, e);
    return e;
  };
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  const int outer = Node_SaveAdvLock(list);
  Node_LOG_REC* shared = read_lock(blocks[0]);
  read_lock(blocks[1]);
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 2), 0);
  const int inner = Node_SaveAdvLock(list);
  read_lock(blocks[2]);
  write(blocks[0], 0x20, tx);  // the outer read lock's page changes in the inner level
  write(blocks[3], 0x30, tx);
  EXPECT_TRUE(Node_AddrValid(&shared->log_addr));
  EXPECT_EQ(list->cnt, 3u);

  ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[0].cluster), shared);  // still a read lock
  EXPECT_FALSE(Node_AddrValid(&shared->log_addr));
  EXPECT_EQ(shared->log_node, tx);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[3].cluster), nullptr);
  EXPECT_EQ(first_byte(blocks[0], tx), 0x10);
  Node_RestoreAdvLock(list, inner);
  EXPECT_EQ(list->cnt, 2u);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[2].cluster), nullptr);

  ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[0].cluster), shared);
  EXPECT_EQ(shared->log_node, nullptr);
  Node_RestoreAdvLock(list, outer);
  EXPECT_EQ(list->cnt, 0u);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[0].cluster), nullptr);
  EXPECT_EQ(Node_FindLogRecord(pool, blocks[1].cluster), nullptr);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
  EXPECT_EQ(pool_image(), image);
}

}  // namespace
