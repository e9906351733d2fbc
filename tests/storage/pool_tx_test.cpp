// Pools inside transactions, over an in-memory transaction log: changes
// made on redirected copies and made visible by commit, undone by rollback
// (before and after pre-commit), a transaction's own free list, clusters
// listed once by their first page, blocks held by another transaction
// passed over, and entries of a failed page lock taken back.
#include <gtest/gtest.h>

#include <vector>

#include "storage/fake_tlog.h"
#include "storage/task_runner.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"

namespace {

using namespace pool_test;

class PoolTxTest : public PoolFixture {
 protected:
  void SetUp() override {
    PoolFixture::SetUp();
    FakeTlog::current() = &log;
    tlog_services = FakeTlog::services();
    Pool_SetTlogServices(&tlog_services);
    tx = Node_CreateLog(1);
    tx2 = Node_CreateLog(1);
    ASSERT_NE(tx, nullptr);
    ASSERT_NE(tx2, nullptr);
  }
  void TearDown() override {
    Pool_SetTlogServices(nullptr);
    FakeTlog::current() = nullptr;
    PoolFixture::TearDown();
  }
  std::vector<std::pair<uint32_t, uint32_t>> clusters() {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    Node_ITER it;
    uint32_t start = 0, count = 0;
    for (int rc = Node_FirstCluster(pool, &start, &count, &it); rc == 0;
         rc = Node_NextCluster(pool, &start, &count, &it))
      out.emplace_back(start, count);
    return out;
  }
  FakeTlog log;
  PoolTlogServices tlog_services{};
  Node* tx = nullptr;
  Node* tx2 = nullptr;
};

TEST_F(PoolTxTest, CommitMakesTheChangesVisibleAndListsEachClusterOnce) {
  Node_ADDR keep = alloc(300, nullptr);
  write(keep, 0x11, nullptr);
  // A new cluster of several pages inside the transaction (the first
  // cluster's rest is too small for it).
  Node_ADDR big = alloc(20000, tx);
  ASSERT_NE(big.cluster, keep.cluster);
  write(big, 0x22, tx);
  write(keep, 0x33, tx);
  EXPECT_EQ(first_byte(keep), 0x11);  // outside the transaction: as before
  EXPECT_EQ(first_byte(keep, tx), 0x33);
  EXPECT_EQ(clusters().size(), 1u);   // the new cluster is listed at pre-commit
  ASSERT_EQ(log.commit(tx), 0);
  EXPECT_EQ(first_byte(keep), 0x33);
  EXPECT_EQ(first_byte(big), 0x22);
  const auto cl = clusters();
  ASSERT_EQ(cl.size(), 2u);
  EXPECT_EQ(cl[1].first, big.cluster);
  EXPECT_GT(cl[1].second, 1u);
  const PoolShape s = check_pool(pool);
  EXPECT_EQ(s.used_blocks.size(), 2u);
  EXPECT_EQ(log.entries_of(nullptr), 0u);
  // Freed in a second transaction: the whole cluster goes at final commit.
  ASSERT_EQ(Pool_Free(pool, &big, tx), 0);
  ASSERT_EQ(log.commit(tx), 0);
  EXPECT_EQ(clusters().size(), 1u);
  check_pool(pool);
}

TEST_F(PoolTxTest, RollbackLeavesThePoolAsItWas) {
  std::vector<Node_ADDR> blocks;
  for (uint32_t size : {100u, 700u, 3000u, 50u}) {
    blocks.push_back(alloc(size, nullptr));
    write(blocks.back(), static_cast<uint8_t>(size), nullptr);
  }
  const PoolShape before = check_pool(pool);
  const auto clusters_before = clusters();
  Node_ADDR a = alloc(200, tx);
  write(a, 1, tx);
  ASSERT_EQ(Pool_Free(pool, &blocks[1], tx), 0);
  write(blocks[2], 9, tx);
  ASSERT_EQ(Pool_ReAlloc(pool, 1000, &blocks[2], tx), 0);
  Node_ADDR b = alloc(20000, tx);  // a new cluster, never pre-committed
  (void)b;
  ASSERT_EQ(log.rollback(tx), 0);
  const PoolShape after = check_pool(pool);
  EXPECT_EQ(after.used_blocks, before.used_blocks);
  EXPECT_EQ(after.free_blocks, before.free_blocks);
  EXPECT_EQ(clusters(), clusters_before);
  EXPECT_EQ(first_byte(blocks[2]), static_cast<uint8_t>(3000));
  EXPECT_EQ(log.entries_of(nullptr), 0u);
}

TEST_F(PoolTxTest, RollbackAfterPreCommitTakesTheNewClusterOffTheList) {
  const auto clusters_before = clusters();
  Node_ADDR a = alloc(500, tx);
  write(a, 5, tx);
  log.action_node = tx;
  for (const auto& r : log.of(tx, Tlog_CHANNEL_LOG))
    ASSERT_EQ(Pool_Commit(r.owner, r.data.data(), static_cast<uint32_t>(r.data.size()), &r.pos), 0);
  EXPECT_EQ(clusters().size(), clusters_before.size() + 1);
  ASSERT_EQ(log.rollback(tx), 0);
  EXPECT_EQ(clusters(), clusters_before);
  check_pool(pool);
}

TEST_F(PoolTxTest, AFreedBlockComesBackFromTheTransactionsOwnList) {
  Node_ADDR a = alloc(400, nullptr);
  Node_ADDR hold = alloc(400, nullptr);  // keeps the cluster alive
  const Node_ADDR was = a;
  ASSERT_EQ(Pool_Free(pool, &a, tx), 0);
  // Not on the pool free list while the transaction runs.
  EXPECT_EQ(check_pool(pool).flist_items.count(Block{was.cluster, was.offset, 400}), 0u);
  Node_ADDR again = alloc(300, tx);
  EXPECT_EQ(again.cluster, was.cluster);
  EXPECT_EQ(again.offset, was.offset);
  ASSERT_EQ(log.commit(tx), 0);
  check_pool(pool);
  (void)hold;
}

TEST_F(PoolTxTest, BlocksHeldByAnotherTransactionArePassedOver) {
  Node_ADDR a = alloc(100, nullptr);
  Node_ADDR b = alloc(100, nullptr);
  ASSERT_EQ(Pool_Free(pool, &a, nullptr), 0);  // the cluster's front is free
  write(b, 7, tx);                              // tx holds the cluster's page
  Node_ADDR c = alloc(50, tx2);
  EXPECT_NE(c.cluster, a.cluster);  // tx2 could not have the held page's block
  ASSERT_EQ(log.rollback(tx2), 0);
  ASSERT_EQ(log.commit(tx), 0);
  EXPECT_EQ(first_byte(b), 7);
  check_pool(pool);
}

TEST_F(PoolTxTest, AFailedPageLockTakesItsEntriesBack) {
  // A block across two pages; the second page's record cannot be written.
  Node_UpdateBlockStats(pool, 8200);
  Node_ADDR a = alloc(12000, nullptr);
  ASSERT_EQ(a.offset, Pool_CLUSTER_HEAD_SIZE);
  log.fail_write_at = 2;
  std::vector<uint8_t> bytes(12000, 0x44);
  EXPECT_EQ(Pool_Write(pool, &a, bytes.data(), 12000, tx), -1);
  EXPECT_EQ(log.hash.count({pool, a.cluster + 1}), 0u) << "entry left without a record";
  ASSERT_EQ(log.rollback(tx), 0);
  EXPECT_EQ(log.entries_of(nullptr), 0u);
  // Another transaction takes the same pages without waiting.
  EXPECT_EQ(Pool_Write(pool, &a, bytes.data(), 12000, tx2), 12000);
  ASSERT_EQ(log.commit(tx2), 0);
  EXPECT_EQ(first_byte(a), 0x44);
}

// --- Waiting for another transaction ----------------------------------------------------

// Task A's transaction holds the block's page; task B, writing the same
// block in its own transaction, gives up the pool's lock, sleeps on A's log
// node, and starts its write again once A has committed and woken it.
struct TwoWriters {
  FakeTlog* log = nullptr;
  Node* pool = nullptr;
  Node_ADDR block;
  Node* tx_a = nullptr;
  Task* b = nullptr;
  int b_result = -2;
  bool a_committed = false;
  bool b_saw_commit = false;
};
TwoWriters g_two;

TEST_F(PoolTxTest, AWriterWaitsForTheTransactionHoldingItsPageAndStartsAgain) {
  g_two = TwoWriters{};
  g_two.log = &log;
  g_two.pool = pool;
  ASSERT_EQ(Pool_Alloc(pool, 100, &g_two.block, nullptr), 0);
  storage_test::TaskRunner runner;
  auto a = [] {
    g_two.tx_a = Node_CreateLog(1);  // owned by this task
    std::vector<uint8_t> bytes(100, 0xA1);
    ASSERT_EQ(Node_Lock(g_two.pool, __FILE__, __LINE__), 0);
    ASSERT_EQ(Pool_Write(g_two.pool, &g_two.block, bytes.data(), 100, g_two.tx_a), 100);
    Node_Unlock(g_two.pool);
    while (g_two.b == nullptr || thread_wchan(g_two.b) == nullptr) thread_yield();
    EXPECT_EQ(thread_wchan(g_two.b), &g_two.tx_a->wait);
    EXPECT_EQ(Node_LockState(g_two.pool), 0);  // the waiter gave the lock up
    ASSERT_EQ(g_two.log->commit(g_two.tx_a), 0);
    g_two.a_committed = true;
    Node_WakeUp(g_two.tx_a);
  };
  auto b = [] {
    while (g_two.tx_a == nullptr || g_two.log->entries_of(g_two.tx_a) == 0) thread_yield();
    Node* tx_b = Node_CreateLog(1);
    g_two.b = thread_self();
    std::vector<uint8_t> bytes(100, 0xB2);
    EXPECT_EQ(Node_Lock(g_two.pool, __FILE__, __LINE__), 0);
    g_two.b_result = Pool_Write(g_two.pool, &g_two.block, bytes.data(), 100, tx_b);
    g_two.b_saw_commit = g_two.a_committed;
    EXPECT_EQ(Node_LockState(g_two.pool), 1);  // held again after the wait
    Node_Unlock(g_two.pool);
    EXPECT_EQ(g_two.log->commit(tx_b), 0);
  };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_two.b_result, 100);
  EXPECT_TRUE(g_two.b_saw_commit);
  EXPECT_EQ(first_byte(g_two.block), 0xB2);
  check_pool(pool);
}

}  // namespace
