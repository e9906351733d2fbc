// Fixed-record files under the task kernel and power loss: a second writer
// of a record waits on the first one's log node while a reader outside sees
// the committed image; K tasks each adding one M times to a counter record
// (locked read, +1, update, commit) end at exactly K x M; K tasks putting
// records, some rolled back, among checkpoints never share a record
// number; and a power loss at every write and flush of the sync that
// follows a small transaction leaves pages that recovery brings to exactly
// the committed file, twice over, in a set the consistency check finds
// sound.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "storage/crash_file_system.h"
#include "storage/crash_point.h"
#include "storage/fixrec_fixture.h"
#include "storage/power_cut_sweep.h"
#include "storage/ssn.h"
#include "storage/task_sessions.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "support/set_check.h"
#include "tools/volume_create.h"

namespace {

using namespace fixrec_test;
using platform::FaultFileSystem;
using platform::PowerLoss;

using storage_test::session_lookup;
using storage_test::session_tx;
using FixRecTasks = storage_test::TaskSessionFixture<FixRecFixture>;

uint32_t value_of(const std::vector<uint8_t>& b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}
std::vector<uint8_t> with_value(uint32_t v) {
  std::vector<uint8_t> b(16, 0xEE);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v >> 16);
  b[3] = static_cast<uint8_t>(v >> 24);
  return b;
}

// A locked read as the access layer runs it: on a record another
// transaction holds, roll back, wait until the holder's transaction ends,
// begin again and retry. The read's result (0 or 1).
int locked_read(Node* f, uint32_t recno, std::vector<uint8_t>* out, Node* tx, Node_ADVLOCK* locks,
                int* waits) {
  for (;;) {
    const int rc = FixRec_GetLock(f, recno, out->data(), nullptr, tx, locks);
    if (rc >= 0) return rc;
    Ssn_STATE* s = session_lookup(thread_self());
    // The wait names the file and record; the record's entry the holder.
    EXPECT_EQ(s->wait_node, f);
    EXPECT_EQ(s->wait_key, recno);
    const Node_LOG_REC* e = Node_FindLogRecord(f, recno);
    Node* holder = e != nullptr ? e->log_node : nullptr;
    EXPECT_NE(holder, nullptr);
    EXPECT_NE(holder, tx);
    EXPECT_EQ(Tlog_Rollback(tx, 0), 0);
    Node_ReleaseAllAdvLocks(locks);
    // The rollback may have let the holder finish: wait only while it holds.
    e = Node_FindLogRecord(f, recno);
    if (e != nullptr && e->log_node == holder) {
      ++*waits;
      EXPECT_EQ(Node_Wait(holder, __FILE__, __LINE__), 0);
    }
    EXPECT_EQ(Tlog_Begin(tx, "retry", 1), 0);
  }
}

// --- Two writers of one record -----------------------------------------------------------------

struct Writers {
  Node* f = nullptr;
  uint32_t recno = 0;
  bool first_commits = true;
  Node* tx_a = nullptr;
  Task* b = nullptr;
  bool a_ended = false;
  bool b_saw_end = false;
  std::vector<uint8_t> outside_read;  // a reader outside both, while A holds it
  std::vector<uint8_t> b_read;
  int b_waits = 0;
};
Writers g_w;

class FixRecTwoWriters : public FixRecTasks, public ::testing::WithParamInterface<bool> {};

TEST_P(FixRecTwoWriters, TheSecondWaitsOnTheFirstsLogNodeAndReadsWhatItLeft) {
  Node* f = make(16, 1);
  Node* setup = begin();
  g_w = Writers{};
  g_w.f = f;
  g_w.recno = put(f, setup, with_value(100));
  commit(setup);
  g_w.first_commits = GetParam();
  ASSERT_EQ(tio_setup(), 0);
  auto a = [] {
    Node* tx = session_tx();
    Node_ADVLOCK* locks = Node_InitAdvLock(8, 8);
    ASSERT_EQ(Tlog_Begin(tx, "a", 1), 0);
    std::vector<uint8_t> b(16);
    int waits = 0;
    ASSERT_EQ(locked_read(g_w.f, g_w.recno, &b, tx, locks, &waits), 0);
    ASSERT_EQ(FixRec_Update(g_w.f, g_w.recno, with_value(value_of(b) + 1).data(), nullptr, tx), 0);
    g_w.tx_a = tx;
    while (g_w.b == nullptr || thread_wchan(g_w.b) != &tx->wait) thread_yield();
    // Outside both transactions the committed image is read.
    g_w.outside_read.resize(16);
    EXPECT_EQ(FixRec_Get(g_w.f, g_w.recno, g_w.outside_read.data(), nullptr, nullptr), 0);
    if (g_w.first_commits) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    } else {
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    }
    g_w.a_ended = true;
    Node_ReleaseAllAdvLocks(locks);
    Node_FreeAdvLock(locks);
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  auto b = [] {
    while (g_w.tx_a == nullptr) thread_yield();
    Node* tx = session_tx();
    Node_ADVLOCK* locks = Node_InitAdvLock(8, 8);
    g_w.b = thread_self();
    ASSERT_EQ(Tlog_Begin(tx, "b", 1), 0);
    g_w.b_read.resize(16);
    ASSERT_EQ(locked_read(g_w.f, g_w.recno, &g_w.b_read, tx, locks, &g_w.b_waits), 0);
    g_w.b_saw_end = g_w.a_ended;
    ASSERT_EQ(FixRec_Update(g_w.f, g_w.recno, with_value(value_of(g_w.b_read) + 10).data(),
                            nullptr, tx), 0);
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    Node_ReleaseAllAdvLocks(locks);
    Node_FreeAdvLock(locks);
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_w.b_waits, 1);
  EXPECT_TRUE(g_w.b_saw_end);
  EXPECT_EQ(value_of(g_w.outside_read), 100u);
  const uint32_t seen = g_w.first_commits ? 101 : 100;
  EXPECT_EQ(value_of(g_w.b_read), seen);
  EXPECT_EQ(value_of(read(f, g_w.recno)), seen + 10);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
}

INSTANTIATE_TEST_SUITE_P(FixRec, FixRecTwoWriters, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Commit" : "Rollback"; });

// --- K tasks, M increments each ------------------------------------------------------------------

constexpr int kTasks = 4;
constexpr int kRounds = 25;
struct Counter {
  Node* f = nullptr;
  uint32_t recno = 0;
  int waits = 0;
};
Counter g_k;

TEST_F(FixRecTasks, KTasksAddingOneMTimesEndAtKTimesM) {
  Node* f = make(16, 1);
  Node* setup = begin();
  g_k = Counter{};
  g_k.f = f;
  g_k.recno = put(f, setup, with_value(0));
  commit(setup);
  ASSERT_EQ(tio_setup(), 0);
  auto adder = [] {
    Node* tx = session_tx();
    Node_ADVLOCK* locks = Node_InitAdvLock(8, 8);
    std::vector<uint8_t> b(16);
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ(Tlog_Begin(tx, "add", 1), 0);
      ASSERT_EQ(locked_read(g_k.f, g_k.recno, &b, tx, locks, &g_k.waits), 0);
      thread_yield();  // let the others reach the record meanwhile
      ASSERT_EQ(FixRec_Update(g_k.f, g_k.recno, with_value(value_of(b) + 1).data(), nullptr, tx),
                0);
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
      Node_ReleaseAllAdvLocks(locks);
    }
    Node_FreeAdvLock(locks);
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  std::vector<storage_test::TaskRunner::Body> bodies(kTasks, +adder);
  ASSERT_TRUE(runner.run(bodies));
  EXPECT_EQ(value_of(read(f, g_k.recno)), static_cast<uint32_t>(kTasks * kRounds));
  EXPECT_GT(g_k.waits, 0);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
}

// --- Puts rolled back and committed among checkpoints ------------------------------------------

// K tasks put records in transactions, one in three rolled back, while
// another task runs checkpoints: rolled-back numbers go back on the list,
// checkpoints move the position back over items others took, so puts meet
// items that name records in use or held. No number is ever held or used by
// two at once, and every committed record reads back as put.
constexpr int kPutters = 4;
constexpr int kPuts = 30;
constexpr uint32_t kPutSize = 1000;  // 8 slots in a cluster: the file grows often
struct Putters {
  Node* f = nullptr;
  std::map<uint32_t, uint32_t> owned;  // recno -> tag, held or committed
  int done = 0;
  int checkpoints = 0;
};
Putters g_p;

TEST_F(FixRecTasks, PutsAmongRollbacksAndCheckpointsNeverShareANumber) {
  g_p = Putters{};
  g_p.f = make(kPutSize, 1);
  ASSERT_EQ(tio_setup(), 0);
  static int next_putter;
  next_putter = 0;
  auto putter = [] {
    const int me = next_putter++;
    Node* tx = session_tx();
    for (int i = 0; i < kPuts; ++i) {
      const uint32_t tag = static_cast<uint32_t>(me * 1000 + i);
      ASSERT_EQ(Tlog_Begin(tx, "put", 1), 0);
      uint32_t recno = 0;
      ASSERT_EQ(FixRec_Put(g_p.f, &recno, record(kPutSize, tag).data(), nullptr, tx), 0);
      EXPECT_TRUE(g_p.owned.emplace(recno, tag).second)
          << "record " << recno << " handed out again (tag " << tag << ")";
      thread_yield();  // the others put and the checkpoints run meanwhile
      if (i % 3 == me % 3) {
        ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
        g_p.owned.erase(recno);
      } else {
        ASSERT_EQ(Tlog_Commit(tx), 0);
        Tlog_FinalCommit(tx);
      }
      thread_yield();
    }
    ++g_p.done;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  auto checkpointer = [] {
    while (g_p.done < kPutters) {
      ASSERT_EQ(Tlog_Checkpoint("among puts"), 0);
      ++g_p.checkpoints;
      for (int i = 0; i < 3; ++i) thread_yield();
    }
  };
  std::vector<storage_test::TaskRunner::Body> bodies(kPutters, +putter);
  bodies.push_back(+checkpointer);
  ASSERT_TRUE(runner.run(bodies));
  EXPECT_GT(g_p.checkpoints, 1);
  EXPECT_EQ(g_p.owned.size(), static_cast<size_t>(kPutters * kPuts - kPutters * kPuts / 3));
  for (const auto& [r, tag] : g_p.owned)
    EXPECT_TRUE(read(g_p.f, r) == record(kPutSize, tag)) << "record " << r << " overwritten";
  EXPECT_EQ(counted(g_p.f), meta_counts(g_p.f));
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
}

// --- Power loss ---------------------------------------------------------------------------------

struct LossCase {
  const char* name;
  PowerLoss mode;
  int seeds;
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

FaultFileSystem* g_disk = nullptr;
// The power fails at the armed crash point: nothing written from here on
// reaches the disk.
void cut_power(const char*) { g_disk->crash_at(1, PowerLoss::DropUnflushed); }

class FixRecPowerLoss : public FixRecServerFixture,
                        public ::testing::WithParamInterface<LossCase> {};

// A small transaction (updates, deletes, puts, records across page
// boundaries) commits; its changes sit in the cache and the forced log.
// The sync that would write them loses power at each of its writes and
// flushes. The server's start must give exactly the committed records with
// counts that match the slots, also when a first start lost the power once
// its replay was done (the second replays over what the first left), and
// the file takes new records without touching those; the closed set is
// consistent.
TEST_P(FixRecPowerLoss, RecoveryAfterALostSyncGivesTheCommittedFile) {
  const LossCase& c = GetParam();
  constexpr uint32_t kSize = 3000;  // 5 slots in a 2-page cluster
  storage_test::sweep_power_failures(c.name, c.seeds, [&](FaultFileSystem& disk, int n,
                                                          uint32_t power_seed,
                                                          const std::string& at, bool* cut) {
    g_disk = &disk;
    make_set();
    start_server();
    if (HasFatalFailure()) return;
    Node* f = make(kSize, 2);
    const uint32_t id = Node_GetId(f);
    std::map<uint32_t, std::vector<uint8_t>> want;
    Node* tx = begin();
    for (uint32_t i = 1; i <= 12; ++i) want[put(f, tx, record(kSize, i))] = record(kSize, i);
    commit(tx);
    ASSERT_EQ(Tlog_Checkpoint("before"), 0);
    // The small transaction.
    tx = begin();
    for (uint32_t r : {2u, 5u, 9u}) {
      ASSERT_EQ(update(f, tx, r, record(kSize, 100 + r)), 0);
      want[r] = record(kSize, 100 + r);
    }
    for (uint32_t r : {1u, 7u}) {
      ASSERT_EQ(remove(f, tx, r), 0);
      want.erase(r);
    }
    for (uint32_t i = 13; i <= 14; ++i) want[put(f, tx, record(kSize, i))] = record(kSize, i);
    commit(tx);
    release_locks();
    ASSERT_EQ(digest(contents(f)), digest(want));
    disk.crash_at(n, c.mode, power_seed);
    Vol_Sync(Vol_TIO_SYNC);
    *cut = disk.crashed();
    if (!*cut) {
      EXPECT_GT(n, 1) << c.name << ": the sync wrote nothing";
      disk.crash_at(1, c.mode, power_seed);
    }
    stop_server(disk);
    disk.lose_power(c.mode, power_seed);

    // The first start loses the power once its replay is done.
    {
      storage_test::ArmedCrashPoint point("recover.after_replay", cut_power);
      open_set(256);
      ASSERT_EQ(Vol_SetSyncMode(1), 0);
      ASSERT_EQ(Tlog_Init(), 0);
      ASSERT_EQ(FixRec_Init(), 0);
      ASSERT_EQ(Tlog_Recover(), 0) << at;
      EXPECT_TRUE(point.disarm()) << at << ": recovery replayed nothing";
      stop_server(disk);
      disk.lose_power(PowerLoss::DropUnflushed);
    }
    start_server();
    if (HasFatalFailure()) return;
    f = reopen_file(id, at);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(digest(contents(f)), digest(want)) << at;
    EXPECT_EQ(digest(walk(f)), digest(want)) << at;
    EXPECT_EQ(meta_counts(f), counted(f)) << at;
    EXPECT_EQ(FixRec_NumRecords(f), want.size()) << at;
    // The file goes on: new records land in free slots only.
    tx = begin();
    for (uint32_t i = 20; i < 26; ++i) {
      const uint32_t r = put(f, tx, record(kSize, i));
      EXPECT_EQ(want.count(r), 0u) << at << ": recno " << r << " given twice";
      want[r] = record(kSize, i);
    }
    commit(tx);
    EXPECT_EQ(digest(contents(f)), digest(want)) << at;
    EXPECT_EQ(meta_counts(f), counted(f)) << at;
    stop_server(disk);
    testsupport::expect_set_consistent({node_test::kRoot, node_test::kLog}, at);
    g_disk = nullptr;
  });
}

INSTANTIATE_TEST_SUITE_P(FixRec, FixRecPowerLoss,
                         ::testing::Values(LossCase{"DropUnflushed", PowerLoss::DropUnflushed, 1},
                                           LossCase{"TearUnflushed", PowerLoss::TearUnflushed, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
