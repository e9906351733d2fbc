// B-trees under tasks and power loss: a writer waits for the node lock that
// a reader holds while its page is being read from disk; a power loss while
// transactions insert keys (volume extensions written in mid-run) leaves,
// after recovery, the tree of the acknowledged transactions in a set the
// consistency check finds sound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "index/btree_fixture.h"
#include "storage/crash_file_system.h"
#include "storage/power_cut_sweep.h"
#include "storage/server_stop.h"
#include "storage/task_runner.h"
#include "support/set_check.h"
#include "support/sweep_stride.h"
#include "tools/volume_create.h"

namespace btree_test {
namespace {

using platform::FaultFileSystem;
using platform::PowerLoss;
using storage_test::CrashFileSystem;
using storage_test::PowerCut;
using storage_test::TaskRunner;

std::string key_of(int i) {
  char b[16];
  snprintf(b, sizeof b, "%08d", i);
  return b;
}

// --- A reader in I/O holds off a writer -----------------------------------------------------

struct ReadWrite {
  FaultFileSystem* fs = nullptr;
  Node* node = nullptr;
  btree_HANDLE* reader = nullptr;
  btree_HANDLE* writer = nullptr;
  Task* reader_task = nullptr;
  Task* writer_task = nullptr;
  int get_rc = -2;
  int put_rc = -2;
  int order = 0;
  int get_done = 0;
  int put_done = 0;
  int lock_state_seen = -1;
};
ReadWrite g_rw;

class BtreeTasks : public BtreeFixture {
 protected:
  TaskRunner runner;
};

TEST_F(BtreeTasks, AWriterWaitsForAReaderSuspendedInARead) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  reopen_all();  // nothing cached: the reader's descent reads from disk
  btree_CTX reader_ctx;
  btree_CTX writer_ctx;
  g_rw = ReadWrite{};
  g_rw.fs = &fs;
  g_rw.node = node_;
  g_rw.reader = open(&reader_ctx);
  g_rw.writer = open(&writer_ctx);
  ASSERT_EQ(tio_setup(), 0);
  fs.hold_transfers(true);
  auto reader = [] {
    g_rw.reader_task = thread_self();
    g_rw.get_rc = BtreeFixture::get(g_rw.reader, key_of(1234));
    g_rw.get_done = ++g_rw.order;
  };
  auto writer = [] {
    while (g_rw.reader_task == nullptr || thread_wchan(g_rw.reader_task) == nullptr) thread_yield();
    g_rw.writer_task = thread_self();
    g_rw.put_rc = BtreeFixture::put(g_rw.writer, key_of(1234) + "x", "d");
    g_rw.put_done = ++g_rw.order;
  };
  auto releaser = [] {
    while (g_rw.writer_task == nullptr || thread_wchan(g_rw.writer_task) == nullptr) thread_yield();
    g_rw.lock_state_seen = Node_LockState(g_rw.node);
    g_rw.fs->hold_transfers(false);
  };
  ASSERT_TRUE(runner.run({reader, writer, releaser}));
  tio_cleanup();
  EXPECT_EQ(g_rw.lock_state_seen, 2);  // the reader's shared lock, the writer queued
  EXPECT_EQ(g_rw.get_rc, 0);
  EXPECT_EQ(g_rw.put_rc, 0);
  EXPECT_EQ(g_rw.get_done, 1);
  EXPECT_EQ(g_rw.put_done, 2);
  EXPECT_EQ(Node_LockState(node_), 0);
  expect_sound(g_rw.writer);
}

// --- Power loss during transactions of inserts ------------------------------------------

struct LossCase {
  const char* name;
  PowerLoss mode;
  int seeds;
  int stride;  // every stride-th write or flush is cut
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

// The tree's meta data and the log live in the set's real system pools,
// so all that recovery and the consistency check read is what the disk
// holds. Each pass makes its own set.
class BtreePowerLoss : public node_test::NodeFixture, public ::testing::WithParamInterface<LossCase> {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    Node_SetPoolServices(nullptr);
    Node_SetTlogServices(nullptr);
  }
  void TearDown() override {
    NodeFixture::TearDown();
    Tlog_ResetTables();
  }
  // As the server starts; final commits force the log.
  static void start_server() {
    storage_test::start_as_server({node_test::kRoot, node_test::kLog}, 1024, 1,
                                  [] { ASSERT_EQ(btree_Init(), 0); });
  }
  // As the server stops; after a cut nothing of it reaches the disk.
  void stop_server(FaultFileSystem& disk) {
    if (tree != nullptr) btree_CloseNode(tree);
    tree = nullptr;
    if (tx != nullptr && Node_RefCount(tx) > 0) Node_Close(tx);
    tx = nullptr;
    storage_test::stop_as_server(disk.crashed());
  }
  void open_tree(const std::string& at) {
    tree = open_checked(id, &ctx, at);
    ASSERT_NE(tree, nullptr);
  }
  // Transactions of ten inserts each, as the server runs them; those the
  // power did not reach are acknowledged, the one it reached is in flight
  // and every later one is lost with the power.
  void insert_txs(int from, int to, const std::string& suffix) {
    if (tx == nullptr) tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    for (int first = from; first < to; first += 20) {
      const bool before = !g_disk->crashed();
      std::set<std::string> keys;
      ASSERT_EQ(Tlog_Begin(tx, "inserts", static_cast<uint32_t>(first) + 1), 0);
      ctx.tx_node = tx;
      for (int i = first; i < first + 20 && i < to; i += 2) {
        ASSERT_EQ(BtreeFixture::put(tree, key_of(i) + suffix, "d"), 0);
        keys.insert(key_of(i) + suffix);
      }
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
      ctx.tx_node = nullptr;
      if (!before) continue;
      if (!g_disk->crashed()) {
        acked.insert(keys.begin(), keys.end());
      } else {
        in_flight = keys;
      }
    }
  }
  // The acknowledged keys, the transaction in flight whole or not at all,
  // nothing else; the one found whole counts as acknowledged from here on.
  void expect_keys(const std::string& at) {
    std::set<std::string> found;
    for (const auto& e : leaf_entries(tree)) found.insert(e.first);
    std::set<std::string> whole = acked;
    whole.insert(in_flight.begin(), in_flight.end());
    EXPECT_TRUE(found == acked || (!in_flight.empty() && found == whole))
        << at << ": " << found.size() << " keys found, " << acked.size() << " acknowledged, "
        << in_flight.size() << " in flight";
    acked = found;
    in_flight.clear();
  }

  static inline FaultFileSystem* g_disk = nullptr;
  uint32_t id = 0;
  btree_CTX ctx;
  btree_HANDLE* tree = nullptr;
  Node* tx = nullptr;
  std::set<std::string> acked;
  std::set<std::string> in_flight;
};

// The power fails before a write or flush of a run of committed
// transactions that extends both volumes (every stride-th point in turn).
// The server's start over what the disk holds gives a tree that checks out
// with exactly the acknowledged keys (the transaction in flight whole or
// not at all); it takes more, survives a restart, and the closed set is
// consistent.
TEST_P(BtreePowerLoss, CommittedInsertsSurviveWholeInAConsistentSet) {
  const LossCase& c = GetParam();
  const std::string big(3990, 'B');
  storage_test::sweep_power_failures(
      c.name, c.seeds,
      [&](FaultFileSystem& disk, int n, uint32_t power_seed, const std::string& at, bool* cut) {
        g_disk = &disk;
        acked.clear();
        in_flight.clear();
        write_set(Vol_MINPAGES, 64);
        open_set(1024);
        ASSERT_EQ(SysPool_Initialize(), 0);
        Vol_Sync(Vol_TIO_SYNC);
        close_set();
        start_server();
        if (HasFatalFailure()) return;
        ASSERT_NE(btree_Create(0, nullptr, &id), nullptr);
        open_tree(at);
        if (HasFatalFailure()) return;
        insert_txs(0, 400, "");
        ASSERT_EQ(Tlog_Checkpoint("before"), 0);
        for (int v = 0; v < Vol_NumVolumes(); ++v) Vol_GetRootVol()[v].fhandle->datasync();
        disk.crash_at(n, c.mode, power_seed);
        // About 300 pages more than the data volume's 320: two extensions.
        insert_txs(1, 1200, big);
        *cut = disk.crashed();
        if (!*cut) {
          EXPECT_GT(n, 1) << c.name << ": the inserts wrote nothing";
          disk.crash_at(1, c.mode, power_seed);
        }
        stop_server(disk);
        disk.lose_power(c.mode, power_seed);

        start_server();
        if (HasFatalFailure()) return;
        open_tree(at);
        if (HasFatalFailure()) return;
        expect_keys(at);
        EXPECT_EQ(Vol_GetRootVol()[0].free_size, Vol_CountFreePages(&Vol_GetRootVol()[0])) << at;
        // The set goes on: more keys, a restart.
        insert_txs(1, 200, "n");
        stop_server(disk);
        start_server();
        if (HasFatalFailure()) return;
        open_tree(at);
        if (HasFatalFailure()) return;
        expect_keys(at + ", after a restart");
        stop_server(disk);
        // Not yet without pages no node claims (storage README).
        testsupport::expect_set_consistent({node_test::kRoot, node_test::kLog}, at, false);
        g_disk = nullptr;
      },
      c.stride);
}

// Some 2500 write and flush points, a whole set made, recovered and checked
// per point: the sweeps sample every 16th point and every 17th (every 64th
// and 65th under the race detector, which slows every write some tenfold),
// so that together they meet every residue.
const int kCutStride = testsupport::sweep_stride(64, 16);

INSTANTIATE_TEST_SUITE_P(
    Btree, BtreePowerLoss,
    ::testing::Values(LossCase{"DropUnflushed", PowerLoss::DropUnflushed, 1, kCutStride},
                      LossCase{"TearUnflushed", PowerLoss::TearUnflushed, 2, kCutStride + 1}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace btree_test
