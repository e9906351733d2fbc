// B-tree transactions under power loss: the power fails before each write
// and flush of a transaction (its puts and deletes, its pre-commit and its
// final commit) in turn, and once more after the commit was acknowledged
// while the changed home pages sat only in the cache. The set is reopened
// from what the disk holds and started as the server starts it (crash
// recovery, the start-up checkpoint): an acknowledged transaction is there
// whole, an unacknowledged one whole or not at all, the tree checks out
// (its reachable pages are the node's used-cluster list) and takes a
// further put. Each pass recovers twice: the first recovery loses the
// power once its replay is done, before anything of it was made durable,
// so the second replays over pages the first may have written.
//
// Transactions: a small one that changes two leaves and splits none, and
// ones that split the root (a leaf) and then leaves, so their new pages
// enter the node's used-cluster list at pre-commit through a node-list log
// of the root log and reach their home pages at the final commit: a cut
// after that listing and before the commit must leave none of them listed,
// and a cut after the commit must leave every one of them listed. The
// split ones run once as one sub-transaction and once with each put in a
// sub-transaction of its own, as a client's commands inside its
// transaction run: a page split off by one command and changed again by a
// later one reaches the commit by its change record alone.
//
// Node meta data live in the set's real system pools here (not the node
// tests' memory pool), so the root log's anchors are as durable as the
// LOG volume's flushes make them. Unflushed writes are dropped whole, or
// torn (each 4 KiB piece kept or not).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "index/btree.h"
#include "index/btree_checker.h"
#include "index/btree_fixture.h"
#include "index/btree_tx_fixture.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/crash_point.h"
#include "storage/crash_file_system.h"
#include "storage/node_tlog_seams.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/set_check.h"
#include "support/volume_fixture.h"
#include "tools/volume_create.h"

namespace btree_test {
namespace {

using platform::FaultFileSystem;
using platform::PowerLoss;
using storage_test::CrashFileSystem;
using storage_test::PowerCut;

const std::string kRoot = "/v/root.vol";
const std::string kLog = "/v/log.vol";
// A transaction of the sweep over a tree of the keys below `fill` by
// step 2, every eighth of them deleted again (outside the transaction).
struct TxCase {
  const char* name;
  int fill;
  std::vector<int> inserts;
  std::vector<int> deletes;
  int splits;  // what the transaction splits: 0 nothing, 1 the root, 2 the root and leaves
  bool per_command = false;  // each put and delete a sub-transaction of its own
  PowerLoss loss = PowerLoss::DropUnflushed;
  int stride = 1;  // every stride-th cut point (the sanitizer builds' time)
};

std::vector<int> odd_keys(int from, int to) {
  std::vector<int> keys;
  for (int i = from; i < to; i += 2) keys.push_back(i);
  return keys;
}

void PrintTo(const TxCase& c, std::ostream* os) { *os << c.name; }

const TxCase kCases[] = {
    // Three inserts into one leaf, one into another, and a delete.
    {"small", 240, {41, 43, 45, 201}, {50}, 0},
    // A root that is a single leaf (22 entries) grows to 81: the root
    // splits into two new leaves, and those split in turn. Pre-commit lists
    // the new pages through node-list records of the root log; a cut
    // between their flush and the commit record (writes 5 to 17) must not
    // leave them listed and unreachable.
    {"splits", 60, odd_keys(1, 121), {10}, 2},
    // A root leaf of 30 entries: twelve commands split it (the root) once,
    // and the later ones change the new leaves again.
    {"commands12", 80, odd_keys(1, 25), {}, 1, true, PowerLoss::DropUnflushed, 2},
    {"commands12_torn", 80, odd_keys(1, 25), {}, 1, true, PowerLoss::TearUnflushed, 3},
    // Forty commands: the root and then a leaf split.
    {"commands40", 80, odd_keys(1, 81), {12}, 2, true, PowerLoss::DropUnflushed, 4},
    // Sixty: the root, then leaves split more than once.
    {"commands60", 60, odd_keys(1, 121), {10}, 2, true, PowerLoss::DropUnflushed, 5},
    {"commands60_torn", 60, odd_keys(1, 121), {10}, 2, true, PowerLoss::TearUnflushed, 7},
};

class BtreePowerLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    Node_SetPoolServices(nullptr);
    Node_SetTlogServices(nullptr);
  }
  void TearDown() override {
    platform::set_file_system(nullptr);
    Tlog_ResetTables();
  }

  // A new set with its system pool, started as the server starts it.
  static void make_set(int buffers = 256) {
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{kRoot, VolType_DATA, Vol_MINPAGES, 64}, {kLog, VolType_LOG, Vol_MINPAGES, 64}};
    ASSERT_EQ(testsupport::write_volume_set(spec), 0);
    open_set();
    ASSERT_EQ(SysPool_Initialize(), 0);
    Vol_Sync(Vol_TIO_SYNC);
    Vol_Close();
    Vol_Free();
    buf_Exit();
    // Commits force the LOG volume (the server's synchronous mode).
    start(buffers);
  }
  // A new set as make_set leaves it, with a new tree opened in *ctx.
  static void make_tree(uint32_t* id, btree_CTX* ctx, btree_HANDLE** t, int buffers = 256) {
    make_set(buffers);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_NE(btree_Create(0, nullptr, id), nullptr);
    *t = btree_OpenNode(Node_Find(*id), ctx, 0);
    ASSERT_NE(*t, nullptr);
  }
  // The server's stop, then the consistency check of the closed set.
  static void stop_and_check(const std::string& at) {
    ASSERT_EQ(Tlog_Checkpoint("Server shutdown"), 0);
    Vol_Sync(Vol_TIO_SYNC);
    Vol_SetConsistent();
    Vol_Close();
    Vol_Free();
    buf_Exit();
    testsupport::expect_set_consistent({kRoot, kLog}, at, true);
  }

  FaultFileSystem disk_;

  // buffers: the cache's size; a large one keeps changed pages from being
  // written until a checkpoint.
  static void open_set(int buffers = 256) {
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    ASSERT_EQ(buf_Init(buffers, buffers), 0);
  }
  // The power is gone: the in-memory state is dropped without anything
  // more reaching the disk (the double swallows every write from here),
  // and the disk comes back as the cut left it. The cache goes first, with
  // the pins of an operation the cut stopped; closing the set then closes
  // the root log, whose meta data write lands nowhere.
  static void lose_everything(FaultFileSystem& disk,
                              PowerLoss loss = PowerLoss::DropUnflushed, uint32_t seed = 1) {
    disk.crash_at(1, loss, seed);
    buf_Exit();
    ASSERT_EQ(buf_Init(16, 16), 0);
    Vol_Close();
    Vol_Free();
    buf_Exit();
    disk.lose_power(loss, seed);
  }
  // The server's start over what the disk holds: crash recovery, then
  // the start-up checkpoint.
  static void start(int buffers = 256) {
    open_set(buffers);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(btree_Init(), 0);
    ASSERT_EQ(Tlog_Recover(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  }
};

class BtreeTxPowerLoss : public BtreePowerLoss, public ::testing::WithParamInterface<TxCase> {
 protected:
  void run_pass(FaultFileSystem& disk, CrashFileSystem& crash, int n, const std::string& at,
                bool* cut);
};

FaultFileSystem* g_disk = nullptr;
// The power fails at the armed crash point: nothing written from here on
// reaches the disk.
void cut_power(const char*) { g_disk->crash_at(1, PowerLoss::DropUnflushed); }

TEST_P(BtreeTxPowerLoss, AcknowledgedWorkSurvivesAndNothingHalfDoneRemains) {
  bool cut = true;
  // Sampled cuts still end with the pass that cuts nothing: the commit
  // acknowledged, the power lost before the next checkpoint.
  for (int n = 1; cut; n += GetParam().stride) {
    const std::string at = "power lost at write or flush " + std::to_string(n);
    FaultFileSystem disk;
    // The cut stops the program at the n-th write or flush; the power
    // itself goes in lose_everything.
    CrashFileSystem crash(&disk);
    platform::set_file_system(&crash);
    cut = false;
    run_pass(disk, crash, n, at, &cut);
    platform::set_file_system(nullptr);
    if (HasFatalFailure()) return;
  }
}

void BtreeTxPowerLoss::run_pass(FaultFileSystem& disk, CrashFileSystem& crash, int n,
                                const std::string& at, bool* cut) {
  uint32_t id = 0;
  btree_CTX ctx;
  btree_HANDLE* t = nullptr;
  make_tree(&id, &ctx, &t);
  if (HasFatalFailure()) return;
  const TxCase& c = GetParam();
  Model before;
  for (int i = 0; i < c.fill; i += 2) {
    ASSERT_EQ(BtreeFixture::put(t, tx_key(i), tx_data(i)), 0);
    before[tx_key(i)] = tx_data(i);
  }
  for (int i = 0; i < c.fill; i += 8) {
    ASSERT_EQ(BtreeFixture::del(t, tx_key(i)), 0);
    before.erase(tx_key(i));
  }
  Model after = before;
  for (int i : c.inserts) after[tx_key(i)] = tx_data(i);
  for (int i : c.deletes) after.erase(tx_key(i));
  Node* tx = Tlog_Create();
  ASSERT_NE(tx, nullptr);
  // The tree so far made durable, descriptor and meta data too.
  ASSERT_EQ(Tlog_Checkpoint("before"), 0);

  const btree_STATS stats = *btree_GetStats();
  bool acknowledged = false;
  crash.arm(n);
  try {
    ASSERT_EQ(Tlog_Begin(tx, c.name, 1), 0);
    ctx.tx_node = tx;
    // A command: its own sub-transaction, folded into the outer one.
    auto command = [&](auto op) {
      if (c.per_command) {
        ASSERT_EQ(Tlog_Begin(tx, "command", 1), 0);
      }
      op();
      if (c.per_command) {
        ASSERT_EQ(Tlog_Commit(tx), 0);
      }
    };
    for (int i : c.inserts)
      command([&] { ASSERT_EQ(BtreeFixture::put(t, tx_key(i), tx_data(i)), 0); });
    for (int i : c.deletes) command([&] { ASSERT_EQ(BtreeFixture::del(t, tx_key(i)), 0); });
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    acknowledged = true;
  } catch (const PowerCut&) {
    *cut = true;
  }
  crash.arm(0);
  if (!*cut) {
    EXPECT_GT(n, 1) << "the transaction wrote nothing";
    const btree_STATS& now = *btree_GetStats();
    if (c.splits > 0) {
      EXPECT_GT(now.root_splits, stats.root_splits) << "the root did not split";
      if (c.splits > 1) {
        EXPECT_GT(now.page_splits - now.root_splits, stats.page_splits - stats.root_splits)
            << "no leaf split";
      }
    } else {
      EXPECT_EQ(now.page_splits, stats.page_splits) << "the transaction split a page";
    }
  }
  drop_handle(t);
  const uint32_t seed = static_cast<uint32_t>(n);
  lose_everything(disk, c.loss, seed);

  // The first recovery loses the power after its replay.
  g_disk = &disk;
  storage_test::ArmedCrashPoint point("recover.after_replay", cut_power);
  open_set();
  ASSERT_EQ(Tlog_Init(), 0);
  ASSERT_EQ(btree_Init(), 0);
  ASSERT_EQ(Tlog_Recover(), 0) << at;
  EXPECT_TRUE(point.disarm()) << at << ": recovery replayed nothing";
  lose_everything(disk, c.loss, seed + 1000);
  start();
  if (HasFatalFailure()) return;
  btree_CTX ctx2;
  t = open_checked(id, &ctx2, at);
  ASSERT_NE(t, nullptr);
  const auto entries = leaf_entries(t);
  const Model found(entries.begin(), entries.end());
  if (acknowledged) {
    EXPECT_TRUE(found == after) << at << ": an acknowledged commit is missing";
    // Each key found through the index as well as along the leaves.
    int lost = 0;
    for (const auto& [k, d] : after) {
      std::string got;
      if (BtreeFixture::get(t, k, &got) != 0 || got != d) ++lost;
    }
    EXPECT_EQ(lost, 0) << at << ": acknowledged keys the index does not find";
  } else {
    EXPECT_TRUE(found == before || found == after) << at << ": a transaction half done";
  }
  // The tree goes on outside a transaction.
  ASSERT_EQ(BtreeFixture::put(t, tx_key(1001), "x"), 0) << at;
  const CheckResult again = check_tree(t);
  EXPECT_TRUE(again.ok()) << at << "\n" << again.text();
  btree_CloseNode(t);
  stop_and_check(at);
}

// No log record carries a new tree's root page: made since the last
// checkpoint, the tree recovery brings back from its logged allocation and
// snapshot has the root page as it was written, not what the page held
// before.
TEST_F(BtreePowerLoss, ATreeMadeSinceTheLastCheckpointKeepsItsRootPage) {
  platform::set_file_system(&disk_);
  make_set();
  if (HasFatalFailure()) return;
  uint32_t id = 0;
  ASSERT_NE(btree_Create(0, nullptr, &id), nullptr);
  lose_everything(disk_);
  start();
  if (HasFatalFailure()) return;
  btree_CTX ctx;
  btree_HANDLE* t = open_checked(id, &ctx, "after recovery");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(BtreeFixture::put(t, tx_key(1), "x"), 0);
  btree_CloseNode(t);
  stop_and_check("a tree made since the last checkpoint");
}

// Large committed transactions since the last checkpoint, then the process
// killed (every write it made stays, flushed or not) or the power lost: the
// splits add over a thousand pages, so the used-cluster list grows list
// pages that wait in a cache large enough to hold them all, while the node
// page goes out with the list head whenever a descriptor on it changes (as
// a free list's chain change writes it; here every 997 puts). Recovery
// finds a head that names list pages never written, and must make them
// again from their records: the tree comes back whole and checks out.
TEST_F(BtreePowerLoss, LargeTransactionsSurviveAKillBeforeTheNextCheckpoint) {
  constexpr int kBuffers = 8192;
  constexpr int kTxs = 6, kPuts = 10000;
  // Keys spread over the whole range, so that splits happen all over it.
  auto key_of = [](int i) { return tx_key(static_cast<int>((i * 7919LL) % (kTxs * kPuts))); };
  auto data_of = [](int i) { return tx_data(i).substr(0, 100); };
  for (PowerLoss loss : {PowerLoss::KillProcess, PowerLoss::TearUnflushed}) {
    const std::string at = loss == PowerLoss::KillProcess ? "killed" : "power lost";
    FaultFileSystem disk;
    platform::set_file_system(&disk);
    uint32_t id = 0;
    btree_CTX ctx;
    btree_HANDLE* t = nullptr;
    make_tree(&id, &ctx, &t, kBuffers);
    if (HasFatalFailure()) return;
    ASSERT_EQ(Tlog_Checkpoint("before"), 0);
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    for (int n = 0; n < kTxs; ++n) {
      ASSERT_EQ(Tlog_Begin(tx, "load", 1), 0);
      ctx.tx_node = tx;
      for (int i = n * kPuts; i < (n + 1) * kPuts; ++i) {
        ASSERT_EQ(BtreeFixture::put(t, key_of(i), data_of(i)), 0) << at << ": put " << i;
        if (i % 997 == 0) Node_Sync(Node_Find(id));
      }
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
      ctx.tx_node = nullptr;
    }
    ASSERT_GT(Node_Find(id)->node.ulist.num_pages, 1u) << "the used list kept to one page";
    drop_handle(t);
    lose_everything(disk, loss);
    start(kBuffers);
    if (HasFatalFailure()) return;
    btree_CTX ctx2;
    t = open_checked(id, &ctx2, at);
    ASSERT_NE(t, nullptr);
    int lost = 0;
    for (int i = 0; i < kTxs * kPuts; ++i) {
      std::string got;
      if (BtreeFixture::get(t, key_of(i), &got) != 0 || got != data_of(i)) ++lost;
    }
    EXPECT_EQ(lost, 0) << at << ": committed keys lost";
    ASSERT_EQ(BtreeFixture::put(t, tx_key(kTxs * kPuts + 1), "x"), 0) << at;
    btree_CloseNode(t);
    stop_and_check(at);
    platform::set_file_system(nullptr);
    if (HasFatalFailure()) return;
  }
}

std::string case_name(const ::testing::TestParamInfo<TxCase>& i) { return i.param.name; }
INSTANTIATE_TEST_SUITE_P(Cases, BtreeTxPowerLoss, ::testing::ValuesIn(kCases), case_name);

}  // namespace
}  // namespace btree_test
