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

#include <cstdio>
#include <cstring>
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
#include "storage/server_stop.h"
#include "storage/syspool.h"
#include "storage/tagged_tx.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/set_check.h"
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

using tagged_tx::put;
using tagged_tx::tag_of;
using tagged_tx::Tx;

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
  void make_set(uint32_t pages = 2048) {
    ASSERT_NE(Vol_Create(kRoot, pages, 512, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog, VolType_LOG, pages, 512, 0), nullptr);
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
    storage_test::stop_as_server(g_cut);
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
  // A named crash point fired, or the double's own write point.
  bool cut_now() const { return g_cut || disk.crashed(); }

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
      const bool before_cut = !cut_now();
      if (before_cut) in_flight = t;
      Tlog_FinalCommit(tx);
      if (before_cut && !cut_now()) acked.push_back(t);
    }
  }

  void check(const std::string& at) {
    tagged_tx::check(pool(), blocks, kBlocks, &acked, &in_flight, at);
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

// A pool's free list is in no log record: recovery keeps the head its node
// page holds, and a reset writes that page before it logs the release of
// the list's pages. A snapshot's older head must never win over it.
TEST_F(Recovery, AResetPoolsFreeListIsGoneAfterAKill) {
  make_set();
  start();
  // Free blocks on the list's pages, and the node page naming them on disk.
  for (int i = 0; i < kBlocks; i += 2) ASSERT_EQ(Pool_Free(pool(), &blocks[i], nullptr), 0);
  ASSERT_NE(pool()->node.flist.head, 0u);
  ASSERT_EQ(Tlog_Checkpoint("free list on disk"), 0);
  ASSERT_EQ(Node_Reset(pool()), 0);
  g_cut = true;
  disk.crash_at(1, g_mode, 1);
  after_crash();
  start();
  EXPECT_EQ(pool()->node.flist.head, 0u);
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "after a kill");
}

// A transaction frees the only block of a cluster: its final commit takes
// the cluster off the pool's list in a root-log unit of its own, after the
// transaction's unit is on the disk. The power fails between the two: the
// replayed final commit gives the cluster's pages back, and recovery must
// take it off the list too, or the pool names pages free in the bitmap.
TEST_F(Recovery, AClusterACommittedTransactionEmptiedLeavesThePoolsList) {
  make_set();
  start();
  Node* tx = Tlog_Create();
  ASSERT_NE(tx, nullptr);
  txs_.push_back(tx);
  // The second is too big for the room the first cluster has left.
  Node_ADDR big[2]{};
  ASSERT_EQ(Tlog_Begin(tx, "new cluster", 1), 0);
  for (Node_ADDR& b : big) {
    ASSERT_EQ(Pool_Alloc(pool(), kBigSize, &b, tx), 0);
    put(pool(), b, 1, 99, tx);
  }
  ASSERT_NE(big[1].cluster, blocks[0].cluster);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  ASSERT_EQ(Tlog_Checkpoint("cluster on disk"), 0);
  ASSERT_EQ(Tlog_Begin(tx, "cluster emptied", 2), 0);
  ASSERT_EQ(Pool_Free(pool(), &big[1], tx), 0);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  setenv("ZENT_CRASH_POINT", "final_commit.after_force:1", 1);
  crash_point_arm_from_env();
  Tlog_FinalCommit(tx);
  ASSERT_TRUE(g_cut);
  after_crash();
  start();
  check("after recovery");
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "a cluster emptied, its list change lost");
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

// --- Validation of a damaged root log --------------------------------------------------------

int g_redone = 0;
int count_redo(Node*, const void*, uint32_t, const Node_ADDR*) {
  ++g_redone;
  return 0;
}

class Validate : public Recovery {
 protected:
  void SetUp() override {
    Recovery::SetUp();
    make_set();
    start();
    root = Tlog_RootNode();
    Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_SYSCAT, count_redo);
    g_redone = 0;
  }
  // The damaged log is not checkpointed at the end: the set is dropped.
  void TearDown() override {
    g_cut = true;
    Recovery::TearDown();
  }
  // A record of its own block on the root's DO_LOG.
  Node_ADDR add(uint32_t v) {
    Node_ADDR pos;
    uint8_t d[4];
    le_put32(d, v);
    EXPECT_EQ(Tlog_WriteRecord(root, Tlog_OP_SYSCAT, Tlog_CHANNEL_DO_LOG, nullptr, d, 4, &pos), 0);
    return pos;
  }
  // Overwrites bytes of a block of the root log.
  void patch(const Node_ADDR& block, uint32_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> b(block.size);
    ASSERT_EQ(Pool_Read(root, &block, b.data(), block.size, nullptr), block.size);
    memcpy(&b[at], bytes.data(), bytes.size());
    ASSERT_EQ(Pool_Write(root, &block, b.data(), block.size, nullptr), block.size);
  }
  int replay_do_log(Tlog_STOPPOS* stop) {
    EXPECT_EQ(Tlog_Validate(root, Tlog_CHANNEL_DO_LOG, stop), 0);
    return Tlog_ActionTo(root, Tlog_CHANNEL_DO_LOG, Tlog_GetTable(Tlog_TABLE_REDO), stop, nullptr);
  }
  Node* root = nullptr;
};

// A unit opened at the chain's end and never closed was cut off by the
// crash: only the closed units before it are replayed.
TEST_F(Validate, AnOpenUnitAtTheEndIsDamageAndStopsTheReplayBeforeIt) {
  const Node_ADDR a = add(1);
  const Node_ADDR b = add(2);
  const Node_ADDR c = add(3);
  patch(b, 13, {Tlog_STATE_FIRST});
  patch(c, 13, {Tlog_STATE_MORE});
  testsupport::LogCapture log("L2");
  Tlog_STOPPOS stop;
  EXPECT_EQ(replay_do_log(&stop), 0);
  EXPECT_EQ(stop.block.cluster, a.cluster);
  EXPECT_EQ(stop.block.offset, a.offset);
  EXPECT_EQ(g_redone, 1);
  EXPECT_TRUE(log.contains("WARNING: Volume recovery information is corrupted.")) << log.text();
  EXPECT_TRUE(log.contains("2 actions can be recovered.")) << log.text();
  EXPECT_TRUE(log.contains("Committed transactions are incomplete.")) << log.text();
}

// Sizes and distances read from a torn block are checked, never trusted.
struct TornCase {
  const char* name;
  uint32_t record;             // the record torn (0-based, in a block of three)
  uint32_t at;                 // byte of its head
  std::vector<uint8_t> bytes;  // written there
};
void PrintTo(const TornCase& c, std::ostream* os) { *os << c.name; }
class TornRecord : public Validate, public ::testing::WithParamInterface<TornCase> {};

TEST_P(TornRecord, IsDamageAndTheReplayStopsAtTheRecordBeforeIt) {
  // Three records in one block: the third is torn.
  Tlog_TAGREC tag;
  ASSERT_EQ(Tlog_InitRootTagRecord(&tag), 0);
  for (uint32_t v = 1; v <= 3; ++v) {
    uint8_t d[4];
    le_put32(d, v);
    ASSERT_EQ(Tlog_AddBufferToTagRecord(&tag, Tlog_OP_SYSCAT, nullptr, d, 4), 0);
  }
  ASSERT_EQ(Tlog_FlushTagRecord(&tag), 0);
  Tlog_CloseTagRecord(&tag);
  const Node_ADDR block = Tlog_RootAnchors()->do_log_anchor.last_block;
  // Records of 24 + 4 bytes: a bad distance in the second, anything else
  // in the third, leaves two records to replay.
  patch(block, GetParam().record * 28 + GetParam().at, GetParam().bytes);
  testsupport::LogCapture log("L2");
  Tlog_STOPPOS stop;
  EXPECT_EQ(replay_do_log(&stop), 0);
  EXPECT_EQ(stop.block.cluster, block.cluster);
  EXPECT_EQ(stop.record, 28u);
  EXPECT_EQ(g_redone, 2) << "the torn record was replayed";
  EXPECT_TRUE(log.contains("WARNING: Volume might be damaged.")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Damage, TornRecord,
    ::testing::Values(TornCase{"SizePastTheBlock", 2, 14, {0xFF, 0x7F}},
                      TornCase{"NextDistancePastTheBlock", 1, 4, {0x00, 0x40, 0x00, 0x00}},
                      TornCase{"NextDistanceInsideItsOwnData", 1, 4, {0x08, 0x00, 0x00, 0x00}},
                      TornCase{"StateZeroed", 2, 13, {0}}),
    [](const ::testing::TestParamInfo<TornCase>& p) { return std::string(p.param.name); });

// A chain whose first record is already damaged is dropped.
TEST_F(Validate, AChainDamagedAtItsFirstRecordIsDropped) {
  const Node_ADDR mark = Tlog_RootAnchors()->do_log_anchor.head != 0
                             ? Tlog_RootAnchors()->do_log_anchor.last_block
                             : Node_ADDR{};
  ASSERT_TRUE(Node_AddrValid(&mark));
  patch(mark, 13, {9});
  testsupport::LogCapture log("L2");
  Tlog_STOPPOS stop;
  EXPECT_EQ(replay_do_log(&stop), 0);
  EXPECT_FALSE(FPool_ValidAnchor(&Tlog_RootAnchors()->do_log_anchor));
  EXPECT_TRUE(log.contains("Unable to recover any actions.")) << log.text();
  EXPECT_TRUE(log.contains("Committed transactions are lost.")) << log.text();
}

// --- Node log records -----------------------------------------------------------------------

TEST_F(Validate, SixtyFivePagesMakeTwoPageRecordsOfSixtyFourAndOne) {
  Node* p = pool();
  ASSERT_NE(p, nullptr);
  const uint32_t page = blocks[0].cluster;
  for (int i = 0; i < 65; ++i) Node_AddLogCluster(p, page, 1, NodePage_CHANGE);
  const Node_ADDR before = Tlog_RootAnchors()->do_log_anchor.last_block;
  ASSERT_EQ(Node_WriteSnapshot(p), 0);
  EXPECT_EQ(p->log_clusters.count, 0u);
  std::vector<uint32_t> counts;
  Tlog_SetHandler(Tlog_TABLE_REDO, Node_OP_PAGES, [](Node*, const void* d, uint32_t, const Node_ADDR*) {
    NodePage_RECORD r;
    EXPECT_EQ(NodePage_DecodeRecord(static_cast<const uint8_t*>(d), &r), 0);
    g_redone += static_cast<int>(r.count) * 1000 + 1;
    return 0;
  });
  (void)before;
  Tlog_STOPPOS all;
  ASSERT_EQ(Tlog_ActionTo(root, Tlog_CHANNEL_DO_LOG, Tlog_GetTable(Tlog_TABLE_REDO), &all, nullptr), 0);
  EXPECT_EQ(g_redone, 64 * 1000 + 1 + 1 * 1000 + 1);
  Tlog_Init();  // the node layer's own handlers again
}

TEST_F(Validate, ListDataLongerThanARecordIsCutIntoPieces) {
  Tlog_TAGREC tag;
  ASSERT_EQ(Tlog_InitRootTagRecord(&tag), 0);
  NodeList_HEADER h{7, NodeListType_ILIST, blocks[0].cluster, &tag};
  std::vector<uint8_t> data(9000, 0x5A);
  const uint32_t records = Tlog_Counters()->records;
  ASSERT_EQ(NodeList_AddRecord(pool(), 30, &h, data.data(), 0, 9000), 0);
  EXPECT_EQ(Tlog_Counters()->records - records, 2u);
  const auto* b = static_cast<const uint8_t*>(tag.buf->data);
  // The second piece is alone in the buffer: its head says where it goes.
  EXPECT_EQ(le_get16(b + 24 + 12), 8152u);
  EXPECT_EQ(le_get16(b + 24 + 14), 848u);
  EXPECT_EQ(le_get32(b + 24 + 4), static_cast<uint32_t>(NodeListType_ILIST));
  Tlog_CloseTagRecord(&tag);
}

TEST_F(Validate, ADeletedNodeRecordForAMissingNodeIsNoError) {
  uint8_t d[4];
  le_put32(d, 777777);
  EXPECT_EQ(Node_CommitDelete(root, d, 4, nullptr), 0);
}

// --- The crash harness ------------------------------------------------------------------------

struct CrashCase {
  const char* name;
  const char* point;  // ZENT_CRASH_POINT
  int after;          // the power fails before this write or flush after the point
  platform::PowerLoss mode;
};
void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.name; }

class CrashPoints : public Recovery, public ::testing::WithParamInterface<CrashCase> {
 protected:
  void run(const CrashCase& c) {
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
    if (!g_cut) {
      ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    }
    if (!g_cut) workload(6, 9);
    ASSERT_TRUE(g_cut) << at << ": the crash point was never reached";
    after_crash();
    start();
    check(at + ": after recovery");
    // The set goes on, and a clean restart finds nothing to recover.
    workload(20, 21);
    stop();
    testsupport::expect_set_consistent({kRoot, kLog}, at);
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
};

TEST_P(CrashPoints, AcknowledgedTransactionsSurviveWholeAndNothingIsHalfThere) {
  run(GetParam());
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
                  platform::PowerLoss::DropUnflushed}),
    [](const ::testing::TestParamInfo<CrashCase>& p) { return std::string(p.param.name); });

// A power loss that tears the unflushed writes while a final commit waits
// for its force (the last LOG page torn): the unit's blocks and page copies
// went to the disk and were flushed before the root's chain was linked to
// them, so the tear can cost the link only, never a half-written copy that
// the replay would move onto a pool page.
TEST_F(CrashPoints, AcknowledgedTransactionsSurviveATornLastLogPage) {
  run(CrashCase{"ATornLastLogPage", "final_commit.before_force:4", 1,
                platform::PowerLoss::TearUnflushed});
}

// The same tear at the eighth commit, whose unit adds a pool cluster: the
// pre-commit listed the cluster through root-log records that reached the
// disk with the unit's first flush, and recovery replays them though the
// unit was never linked: recovery must take that cluster off the list again,
// or the pool lists a cluster with no cluster head.
TEST_F(CrashPoints, ATornLastLogPageAfterANewClusterLeavesNoOrphanCluster) {
  run(CrashCase{"ATornLastLogPageAfterANewCluster", "final_commit.before_force:8", 1,
                platform::PowerLoss::TearUnflushed});
}

// A pass makes, recovers and checks a small set; the race detector's build
// takes every fourth point.
#ifdef ZENT_TSAN
constexpr int kKillStride = 4;
#else
constexpr int kKillStride = 1;
#endif

// The process killed at every write or flush of commits, of the root log's
// own records (new pool clusters list themselves there) and of a
// checkpoint: every write made stays, so a block the log links to must
// hold its record by then. Recovery finds every acknowledged transaction
// and never reports the log as corrupted.
TEST_F(Recovery, AKillAtAnyWriteLeavesALogThatIsNeverReportedCorrupted) {
  int points = 0;
  for (int n = 1;; n += kKillStride) {
    const std::string at = "killed at write or flush " + std::to_string(n);
    make_set(320);
    start();
    acked.clear();
    in_flight = Tx{0, {}, {}};
    g_mode = platform::PowerLoss::KillProcess;
    disk.crash_at(n, g_mode, 1);
    workload(1, 6);
    if (!cut_now()) {
      ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    }
    if (!cut_now()) workload(7, 9);
    if (!cut_now()) {
      disk.crash_at(0, g_mode, 1);
      stop();
      disk.remove_file(kRoot);
      disk.remove_file(kLog);
      break;
    }
    ++points;
    g_cut = true;
    after_crash();
    {
      testsupport::LogCapture log("L1");
      start();
      EXPECT_FALSE(log.contains("Volume recovery information is corrupted")) << at << "\n"
                                                                             << log.text();
    }
    check(at + ": after recovery");
    stop();
    // Not yet without pages no node claims (storage README).
    testsupport::expect_set_consistent({kRoot, kLog}, at, false);
    disk.remove_file(kRoot);
    disk.remove_file(kLog);
    g_mode = platform::PowerLoss::DropUnflushed;
    if (HasFailure()) return;
  }
  g_mode = platform::PowerLoss::DropUnflushed;
  EXPECT_GT(points, 50 / kKillStride);
  std::printf("%d kill points\n", points);
}

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
  // Not yet without pages no node claims (storage README).
  testsupport::expect_set_consistent({kRoot, kLog}, GetParam(), false);
  testsupport::LogCapture log("L1");
  start();
  EXPECT_TRUE(log.contains("volume recovery: state of committed transactions is OK")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Harness, CrashInRecovery,
                         ::testing::Values("recover.after_replay", "recover.after_rebuild"));

// --- Damaged records in a real log ----------------------------------------------------------

// The engine writes the log, the power goes, bytes of a record on disk are
// damaged, and the set starts: recovery must not act on the damage, must
// warn, and the set must start again afterwards and pass the check.
class DamagedLog : public Recovery {
 protected:
  // The pool's snapshot (opcode 4, descriptor and meta data) with a page
  // record (opcode 6) behind it, in a block of their own: the block.
  Node_ADDR write_snapshot() {
    Node* p = pool();
    EXPECT_NE(p, nullptr);
    Node_AddLogCluster(p, blocks[0].cluster, 1, NodePage_CHANGE);
    EXPECT_EQ(Node_WriteSnapshot(p), 0);
    return Tlog_RootAnchors()->do_log_anchor.last_block;
  }
  // Overwrites bytes of a record's data in a block of the root log, on disk.
  void patch(const Node_ADDR& block, uint32_t at, const std::vector<uint8_t>& bytes) {
    Node* root = Tlog_RootNode();
    std::vector<uint8_t> b(block.size);
    ASSERT_EQ(Pool_Read(root, &block, b.data(), block.size, nullptr), block.size);
    ASSERT_LE(at + bytes.size(), b.size());
    memcpy(&b[at], bytes.data(), bytes.size());
    ASSERT_EQ(Pool_Write(root, &block, b.data(), block.size, nullptr), block.size);
  }
  void power_cut() {
    Vol_TlogForceSync(Vol_TIO_SYNC);
    g_cut = true;
    disk.crash_at(1, g_mode, 1);
    after_crash();
  }
  // The start after the damage warns (with lines of its own) and succeeds;
  // a second start finds the set clean and the check finds it sound.
  void start_after_damage(const std::string& at, const std::vector<std::string>& lines) {
    {
      testsupport::LogCapture log("L2");
      start();
      EXPECT_TRUE(log.contains("WARNING: Volume recovery information is corrupted.")) << at << "\n"
                                                                                     << log.text();
      EXPECT_TRUE(log.contains("WARNING: Volume might be damaged.")) << at;
      for (const std::string& line : lines) EXPECT_TRUE(log.contains(line)) << at << ": " << line;
    }
    if (::testing::Test::HasFatalFailure()) return;
    stop();
    // Not yet without pages no node claims (storage README).
    testsupport::expect_set_consistent({kRoot, kLog}, at, false);
    testsupport::LogCapture log("L1");
    start();
    EXPECT_TRUE(log.contains("volume recovery: state of committed transactions is OK"))
        << at << "\n" << log.text();
    EXPECT_NE(pool(), nullptr) << at;
    stop();
  }
};

struct RecordDamage {
  const char* name;
  uint32_t record;             // 0: the snapshot, 1: the page record behind it
  uint32_t at;                 // byte of its data
  std::vector<uint8_t> bytes;  // written there
  const char* line;            // what recovery logs about it
};
void PrintTo(const RecordDamage& c, std::ostream* os) { *os << c.name; }
class DamagedRecord : public DamagedLog, public ::testing::WithParamInterface<RecordDamage> {};

TEST_P(DamagedRecord, StopsTheReplayWithTheWarningAndTheSetStartsAgain) {
  const RecordDamage& c = GetParam();
  make_set();
  start();
  workload(1, 3);
  const Node_ADDR block = write_snapshot();
  // The snapshot's data start after the first head; the page record's
  // after the snapshot, rounded up to a multiple of 4.
  std::vector<uint8_t> b(block.size);
  ASSERT_EQ(Pool_Read(Tlog_RootNode(), &block, b.data(), block.size, nullptr), block.size);
  ASSERT_EQ(b[12], Node_OP_SNAPSHOT);
  const uint32_t second = le_get32(&b[4]);
  ASSERT_NE(second, 0u);
  ASSERT_EQ(b[second + 12], Node_OP_PAGES);
  const uint32_t data = (c.record == 0 ? 0 : second) + Tlog_OVERHEAD;
  patch(block, data + c.at, c.bytes);
  power_cut();
  start_after_damage(c.name, {c.line});
}

// Descriptor offsets inside a snapshot's data: 2 (its length) + the field.
INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedRecord,
    ::testing::Values(
        RecordDamage{"SnapshotLengthPastTheRecord", 0, 0, {0xFF, 0xFF}, "snapshot length"},
        RecordDamage{"SnapshotLengthShort", 0, 0, {0x10, 0x00}, "snapshot length"},
        RecordDamage{"SnapshotClusterSizeGarbage", 0, 2 + 14, {0x63, 0x65},
                     "invalid descriptor (cluster size)"},
        RecordDamage{"SnapshotTypeGarbage", 0, 2 + 12, {0x01, 0x02}, "invalid descriptor (node type)"},
        RecordDamage{"SnapshotListOutsideTheSet", 0, 2 + 20, {0x00, 0xF0, 0xFF, 0x00},
                     "invalid descriptor (used-cluster list address)"},
        RecordDamage{"PageRecordCountPastItsEntries", 1, 0, {0xFF, 0x00, 0x00, 0x00},
                     "NodePage_Redo() failed: damaged log record"},
        RecordDamage{"PageRecordOpUnknown", 1, 4 + 8, {0x07}, "NodePage_Redo() failed: damaged log record"},
        RecordDamage{"PageRecordLogPageOutsideTheSet", 1, 4 + 4, {0x00, 0x00, 0xF0, 0x7F},
                     "NodePage_Redo() failed: damaged log record"}),
    [](const ::testing::TestParamInfo<RecordDamage>& p) { return std::string(p.param.name); });

// Every page of the LOG volume written since the last checkpoint zeroed
// (but its descriptor copies, without which it is no volume).
TEST_F(DamagedLog, EveryLogPageSinceTheCheckpointZeroedLosesTheCommitsAndStarts) {
  make_set();
  start();
  const std::vector<uint8_t> at_checkpoint = disk.durable_contents(kLog);
  workload(1, 6);
  write_snapshot();
  power_cut();
  std::vector<uint8_t> file = disk.durable_contents(kLog);
  ASSERT_EQ(file.size(), at_checkpoint.size());
  int zeroed = 0;
  for (size_t page = 0; page * Vol_PAGESIZE < file.size(); ++page) {
    if (page == Vol_DESC_PAGE || page == Vol_DESC_COPY_PAGE) continue;
    uint8_t* p = &file[page * Vol_PAGESIZE];
    if (memcmp(p, &at_checkpoint[page * Vol_PAGESIZE], Vol_PAGESIZE) == 0) continue;
    memset(p, 0, Vol_PAGESIZE);
    ++zeroed;
  }
  ASSERT_GT(zeroed, 0);
  disk.put_file(kLog, file);
  start_after_damage("zeroed log pages",
                     {"Unable to recover any actions.", "Committed transactions are lost."});
}

}  // namespace
