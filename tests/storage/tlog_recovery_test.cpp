// Checkpoint and crash recovery over a real volume set (root DATA volume,
// LOG volume, system pool) on the file double, run as the server runs it:
// start = open, Tlog_Init, Tlog_Recover, the start-up checkpoint; stop = the
// last checkpoint, the clean-close flag, close.
//
// The crash harness: a workload of tagged multi-record transactions runs
// while a named crash point (storage/crash_point.h, armed through
// ZENT_CRASH_POINT) or a write point of the double cuts the power; the
// program runs on with nothing reaching the disk, then the set is brought
// back as the crash left it, reopened, recovered and compared with the
// transactions acknowledged before the cut: each whole, and the one in
// flight either whole or absent. A second clean restart must find nothing
// to recover.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/crash_point.h"
#include "storage/disk_bytes.h"
#include "storage/fpool.h"
#include "storage/node_log.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"
#include "storage/syspool.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "tools/volume_create.h"

namespace {

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";
constexpr int kBlocks = 8;
constexpr uint32_t kBlockSize = 600;
constexpr uint32_t kBigSize = 20000;  // a new cluster of the pool

platform::FaultFileSystem* g_disk = nullptr;
platform::PowerLoss g_mode = platform::PowerLoss::DropUnflushed;
uint32_t g_seed = 1;
int g_crash_after = 1;  // the write or flush after the point at which the power fails
bool g_cut = false;

void cut_power(const char*) {
  g_cut = true;
  g_disk->crash_at(g_crash_after, g_mode, g_seed);
}

// One transaction of the workload: its id and the blocks it wrote.
struct Tx {
  uint32_t id;
  std::vector<int> blocks;
  Node_ADDR big;  // a block in a cluster of its own, or none
};

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    g_disk = &disk;
    platform::set_file_system(&disk);
    crash_point_set_action(cut_power);
    g_cut = false;
  }
  void TearDown() override {
    unsetenv("ZENT_CRASH_POINT");
    crash_point_arm_from_env();
    crash_point_set_action(nullptr);
    if (Vol_GetRootVol() != nullptr) stop();
    platform::set_file_system(nullptr);
    g_disk = nullptr;
  }

  // A new set with a pool of kBlocks blocks, stopped cleanly.
  void make_set() {
    ASSERT_NE(Vol_Create(kRoot, 2048, 512, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog, VolType_LOG, 2048, 512, 0), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
    Node* pool = Pool_Create();
    ASSERT_NE(pool, nullptr);
    pool_id = Node_GetId(pool);
    for (int i = 0; i < kBlocks; ++i) {
      ASSERT_EQ(Pool_Alloc(pool, kBlockSize, &blocks[i], nullptr), 0);
      put(pool, blocks[i], 0, i, nullptr);
    }
    stop();
  }

  void open_set() {
    const char* paths[] = {kRoot, kLog};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(Tlog_Init(), 0);
  }
  // The server's start: recovery and the start-up checkpoint.
  void start() {
    open_set();
    ASSERT_EQ(Tlog_Recover(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  }
  void stop() {
    for (Node* t : txs_)
      if (Node_RefCount(t) > 0) Node_Close(t);
    txs_.clear();
    VNode_Flush(nullptr);
    if (!g_cut) EXPECT_EQ(Tlog_Checkpoint("Server shutdown"), 0);
    VNode_Flush(nullptr);
    VNode_Cleanup();
    Vol_Sync(Vol_TIO_SYNC);
    Vol_SetConsistent();
    Vol_Close();
    Vol_Free();
    buf_Exit();
  }
  // After a cut: whatever the program did goes nowhere; the disk comes
  // back as the crash left it.
  void after_crash() {
    stop();
    disk.lose_power(g_mode, g_seed);
    g_cut = false;
    unsetenv("ZENT_CRASH_POINT");
    crash_point_arm_from_env();
  }

  Node* pool() { return Node_Find(pool_id); }

  static void put(Node* pool, const Node_ADDR& a, uint32_t txid, int block, Node* tx) {
    std::vector<uint8_t> b(a.size, 0);
    le_put32(b.data(), txid);
    le_put32(b.data() + 4, static_cast<uint32_t>(block));
    le_put32(b.data() + a.size - 4, txid);
    ASSERT_EQ(Pool_Write(pool, &a, b.data(), a.size, tx), a.size);
  }
  // The transaction id a block holds, or -1 when its two copies differ.
  static int64_t tag_of(Node* pool, const Node_ADDR& a) {
    std::vector<uint8_t> b(a.size);
    if (Pool_Read(pool, &a, b.data(), a.size, nullptr) != a.size) return -2;
    const uint32_t head = le_get32(b.data());
    return head == le_get32(b.data() + a.size - 4) ? head : -1;
  }

  // Runs transactions from..to; every fourth also adds a block in a new
  // cluster. Those finished before the power went count as acknowledged.
  void workload(int from, int to) {
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    txs_.push_back(tx);
    for (int k = from; k <= to; ++k) {
      Tx t{static_cast<uint32_t>(k), {k % kBlocks, (k * 3 + 1) % kBlocks, (k * 5 + 2) % kBlocks}, {}};
      if (t.blocks[1] == t.blocks[0]) t.blocks.pop_back();
      ASSERT_EQ(Tlog_Begin(tx, "workload", t.id), 0);
      for (int j : t.blocks) put(pool(), blocks[j], t.id, j, tx);
      if (k % 4 == 0) {
        ASSERT_EQ(Pool_Alloc(pool(), kBigSize, &t.big, tx), 0);
        put(pool(), t.big, t.id, 99, tx);
      }
      ASSERT_EQ(Tlog_Commit(tx), 0);
      const bool before_cut = !g_cut;
      if (before_cut) in_flight = t;
      Tlog_FinalCommit(tx);
      if (before_cut && !g_cut) acked.push_back(t);
    }
  }

  // Every acknowledged transaction whole; the one in flight at the cut
  // whole or absent; nothing later.
  void check(const std::string& at) {
    Node* p = pool();
    ASSERT_NE(p, nullptr) << at;
    std::map<int, uint32_t> expect;
    for (int i = 0; i < kBlocks; ++i) expect[i] = 0;
    for (const Tx& t : acked)
      for (int j : t.blocks) expect[j] = t.id;
    int flight_seen = 0;
    const bool flight_pending = in_flight.id != 0 && (acked.empty() || acked.back().id != in_flight.id);
    for (int i = 0; i < kBlocks; ++i) {
      const int64_t tag = tag_of(p, blocks[i]);
      bool in_flight_block = false;
      for (int j : in_flight.blocks) in_flight_block |= j == i;
      if (flight_pending && in_flight_block && tag == in_flight.id) {
        ++flight_seen;
        continue;
      }
      EXPECT_EQ(tag, expect[i]) << at << ": block " << i;
    }
    if (flight_pending)
      EXPECT_TRUE(flight_seen == 0 || flight_seen == static_cast<int>(in_flight.blocks.size()))
          << at << ": transaction " << in_flight.id << " half there (" << flight_seen << ")";
    for (const Tx& t : acked)
      if (Node_AddrValid(&t.big)) EXPECT_EQ(tag_of(p, t.big), t.id) << at << ": big block of " << t.id;
    pool_test::check_pool(p, false);
  }

  platform::FaultFileSystem disk;
  uint32_t pool_id = 0;
  Node_ADDR blocks[kBlocks];
  std::vector<Tx> acked;
  Tx in_flight{0, {}, {}};
  std::vector<Node*> txs_;
};

// --- Checkpoint and recovery without a crash ------------------------------------------------

TEST_F(Recovery, ACleanSetReportsNothingToRecoverAndStillEmptiesTheLog) {
  make_set();
  testsupport::LogCapture log("L2");
  open_set();
  ASSERT_EQ(Tlog_Recover(), 0);
  EXPECT_TRUE(log.contains("volume recovery: state of committed transactions is OK")) << log.text();
  EXPECT_TRUE(log.contains("volume recovery: state of volume is OK")) << log.text();
  EXPECT_FALSE(log.contains("Tlog_Validate(")) << log.text();
  // The log was given up: no root log node until the start-up checkpoint.
  EXPECT_EQ(Node_SysFindLog(Tlog_ROOTNODE), nullptr);
  EXPECT_EQ(Tlog_RootNode(), nullptr);
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  EXPECT_NE(Tlog_RootNode(), nullptr);
}

TEST_F(Recovery, CommittedWorkSurvivesAKillAndIsReplayedOnce) {
  make_set();
  start();
  workload(1, 6);
  g_cut = true;  // a kill: nothing more reaches the disk
  disk.crash_at(1, g_mode, 1);
  after_crash();
  testsupport::LogCapture log("L2");
  start();
  EXPECT_TRUE(log.contains("volume recovery: successfully recovered")) << log.text();
  check("after a kill");
  stop();
  testsupport::LogCapture again("L2");
  start();
  EXPECT_TRUE(again.contains("volume recovery: state of committed transactions is OK"))
      << again.text();
  check("after a clean restart");
}

TEST_F(Recovery, CheckpointsFreeTheLogAndCountThemselves) {
  make_set();
  start();
  const uint32_t n = Tlog_NumCheckpoints();
  workload(1, 4);
  EXPECT_GT(Tlog_LogSize(), 0u);
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  EXPECT_EQ(Tlog_NumCheckpoints(), n + 1);
  Tlog_META* m = Tlog_RootAnchors();
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(FPool_ValidAnchor(&m->log_anchor));
  EXPECT_TRUE(FPool_ValidAnchor(&m->do_log_anchor));  // the mark
  check("after a checkpoint");
}

// A checkpoint that stopped after its rotation left LOG full; the next one
// finishes it instead of stopping on "LOG must be empty".
TEST_F(Recovery, ACheckpointFinishesTheOneThatFailedBeforeIt) {
  make_set();
  start();
  workload(1, 3);
  Tlog_META* m = Tlog_RootAnchors();
  // The state a checkpoint failing at its walk leaves: DO_LOG rotated into LOG.
  m->log_anchor = m->do_log_anchor;
  FPool_InitAnchor(&m->do_log_anchor);
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  EXPECT_FALSE(FPool_ValidAnchor(&Tlog_RootAnchors()->log_anchor));
  check("after the pending checkpoint");
}

// --- The crash harness ------------------------------------------------------------------------

struct CrashCase {
  const char* name;
  const char* point;  // ZENT_CRASH_POINT
  int after;          // the power fails before this write or flush after the point
  platform::PowerLoss mode;
};
void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.name; }

class CrashPoints : public Recovery, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashPoints, AcknowledgedTransactionsSurviveWholeAndNothingIsHalfThere) {
  const CrashCase& c = GetParam();
  for (uint32_t seed = 1; seed <= 2; ++seed) {
    const std::string at = std::string(c.name) + ", seed " + std::to_string(seed);
    make_set();
    start();
    acked.clear();
    in_flight = Tx{0, {}, {}};
    g_mode = c.mode;
    g_seed = seed;
    g_crash_after = c.after;
    setenv("ZENT_CRASH_POINT", c.point, 1);
    crash_point_arm_from_env();
    workload(1, 5);
    if (!g_cut) ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    if (!g_cut) workload(6, 9);
    ASSERT_TRUE(g_cut) << at << ": the crash point was never reached";
    after_crash();
    start();
    check(at + ": after recovery");
    // The set goes on, and a clean restart finds nothing to recover.
    workload(20, 21);
    stop();
    testsupport::LogCapture log("L1");
    start();
    EXPECT_TRUE(log.contains("volume recovery: state of committed transactions is OK"))
        << at << "\n" << log.text();
    stop();
    disk.remove_file(kRoot);
    disk.remove_file(kLog);
    g_mode = platform::PowerLoss::DropUnflushed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Harness, CrashPoints,
    ::testing::Values(
        CrashCase{"AfterTheForceBeforeTheFinalCommitHandlers", "final_commit.after_force:3", 1,
                  platform::PowerLoss::DropUnflushed},
        CrashCase{"BetweenAHandlersPageAndItsMeta", "pool.final_commit_after_page:4", 1,
                  platform::PowerLoss::TearUnflushed},
        CrashCase{"AClusterChangeBeforeItsContextFlush", "pool.cluster_before_log_flush:1", 1,
                  platform::PowerLoss::DropUnflushed},
        CrashCase{"CheckpointSteps11To12", "checkpoint.after_rotation:1", 1,
                  platform::PowerLoss::DropUnflushed},
        CrashCase{"CheckpointStep12", "checkpoint.before_data_sync:1", 3,
                  platform::PowerLoss::TearUnflushed},
        CrashCase{"CheckpointSteps12To14", "checkpoint.after_walk:1", 1,
                  platform::PowerLoss::DropUnflushed},
        CrashCase{"ATornLastLogPage", "final_commit.before_force:4", 1,
                  platform::PowerLoss::TearSectors}),
    [](const ::testing::TestParamInfo<CrashCase>& p) { return std::string(p.param.name); });

// A crash inside recovery, after its replay or after the log rebuild, and
// a second recovery: the replay applied again changes nothing.
class CrashInRecovery : public Recovery, public ::testing::WithParamInterface<const char*> {};

TEST_P(CrashInRecovery, ASecondRecoveryFinishesTheFirst) {
  make_set();
  start();
  workload(1, 7);
  g_cut = true;
  disk.crash_at(1, g_mode, 1);
  after_crash();
  setenv("ZENT_CRASH_POINT", GetParam(), 1);
  crash_point_arm_from_env();
  open_set();
  ASSERT_EQ(Tlog_Recover(), 0);
  ASSERT_TRUE(g_cut);
  after_crash();
  start();
  check(std::string("after a crash at ") + GetParam() + " and a second recovery");
  stop();
  testsupport::LogCapture log("L1");
  start();
  EXPECT_TRUE(log.contains("volume recovery: state of committed transactions is OK")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Harness, CrashInRecovery,
                         ::testing::Values("recover.after_replay", "recover.after_rebuild"));

}  // namespace
