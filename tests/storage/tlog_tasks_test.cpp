// Transactions under the task kernel: two sessions contending for one
// pool block (the second waits on the first's log node and goes on after
// its commit or rollback), a deadlock between two transactions resolved by
// the lighter one giving way, the final commit's force (it waits until the
// LOG volume holds the commit, a commit acknowledged survives a power
// loss, flushes are counted per commit and shared only while not started),
// and the task-session functions.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "base/error_status.h"
#include "storage/ssn.h"
#include "storage/syspool.h"
#include "storage/task_sessions.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog_fixture.h"

namespace {

using namespace tlog_test;

using storage_test::g_sessions;
using storage_test::session_tx;
using TlogTasksTest = storage_test::TaskSessionFixture<TlogFixture>;

int locked_write(Node* pool, const Node_ADDR& a, uint8_t v, Node* tx) {
  std::vector<uint8_t> bytes(a.size, v);
  EXPECT_EQ(Node_Lock(pool, __FILE__, __LINE__), 0);
  const int rc = Pool_Write(pool, &a, bytes.data(), a.size, tx);
  Node_Unlock(pool);
  return rc;
}

void commit(Node* tx) {
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
}

// --- Two sessions on one record ----------------------------------------------------------------

struct Contend {
  Node* pool = nullptr;
  Node_ADDR block;
  bool first_commits = true;
  Node* tx_a = nullptr;
  Task* b = nullptr;
  bool a_ended = false;
  bool b_saw_end = false;
  int b_result = -2;
};
Contend g_c;

class TwoSessions : public TlogTasksTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoSessions, TheSecondWaitsOnTheFirstsLogNodeAndGoesOnAfterItEnds) {
  g_c = Contend{};
  g_c.pool = pool;
  g_c.first_commits = GetParam();
  g_c.block = alloc(100, nullptr);
  write(g_c.block, 0x00, nullptr);
  ASSERT_EQ(tio_setup(), 0);
  auto a = [] {
    Node* tx = session_tx();
    ASSERT_EQ(Tlog_Begin(tx, "a", 1), 0);
    ASSERT_EQ(locked_write(g_c.pool, g_c.block, 0xA1, tx), 100);
    g_c.tx_a = tx;
    while (g_c.b == nullptr || thread_wchan(g_c.b) != &tx->wait) thread_yield();
    if (g_c.first_commits)
      commit(tx);
    else
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    g_c.a_ended = true;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  auto b = [] {
    while (g_c.tx_a == nullptr) thread_yield();
    Node* tx = session_tx();
    g_c.b = thread_self();
    ASSERT_EQ(Tlog_Begin(tx, "b", 1), 0);
    g_c.b_result = locked_write(g_c.pool, g_c.block, 0xB2, tx);
    g_c.b_saw_end = g_c.a_ended;
    commit(tx);
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_c.b_result, 100);
  EXPECT_TRUE(g_c.b_saw_end);
  EXPECT_EQ(first_byte(g_c.block), 0xB2);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
  pool_test::check_pool(pool);
}

INSTANTIATE_TEST_SUITE_P(Tlog, TwoSessions, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Commit" : "Rollback"; });

// --- Deadlock -----------------------------------------------------------------------------------

struct Deadlock {
  Node* pool = nullptr;
  Node_ADDR x, y, extra[3];
  int a_extra = 0;  // further changes of A before the cycle: its weight
  int b_extra = 0;
  Node* tx_a = nullptr;
  Node* tx_b = nullptr;
  Task* a_task = nullptr;
  bool b_ready = false;  // B holds its pages
  int a_result = -2;
  int b_result = -2;
  uint8_t a_value = 0xA0, b_value = 0xB0;
};
Deadlock g_d;

struct DeadlockCase {
  const char* name;
  int a_extra;
  int b_extra;
  bool a_loses;
};

class DeadlockTest : public TlogTasksTest, public ::testing::WithParamInterface<DeadlockCase> {};

// A holds x and wants y; B holds y and wants x. The transaction that has
// done less gives way: its write fails with status 27, it rolls back, and
// the other one's write goes through.
TEST_P(DeadlockTest, TheLighterTransactionIsTheVictim) {
  const DeadlockCase& c = GetParam();
  g_d = Deadlock{};
  g_d.pool = pool;
  g_d.a_extra = c.a_extra;
  g_d.b_extra = c.b_extra;
  // Blocks that fill clusters of their own, so that no two share a page.
  g_d.x = alloc(60000, nullptr);
  g_d.y = alloc(60000, nullptr);
  for (Node_ADDR& e : g_d.extra) e = alloc(60000, nullptr);
  const Node_ADDR* all[] = {&g_d.x, &g_d.y, &g_d.extra[0], &g_d.extra[1], &g_d.extra[2]};
  for (const Node_ADDR* b : all) {
    for (const Node_ADDR* o : all) {
      if (b != o) {
        ASSERT_NE(b->cluster, o->cluster);
      }
    }
  }
  ASSERT_EQ(tio_setup(), 0);
  auto side = [](bool is_a) {
    Node* tx = session_tx();
    if (is_a) g_d.a_task = thread_self();
    (is_a ? g_d.tx_a : g_d.tx_b) = tx;
    ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
    ASSERT_EQ(locked_write(g_d.pool, is_a ? g_d.x : g_d.y, 1, tx), 60000);
    const int extra = is_a ? g_d.a_extra : g_d.b_extra;
    for (int i = 0; i < extra; ++i)
      ASSERT_EQ(locked_write(g_d.pool, g_d.extra[is_a ? i : 2 - i], 1, tx), 60000);
    if (!is_a) {
      // B closes the cycle once A waits for it.
      g_d.b_ready = true;
      while (g_d.a_task == nullptr || thread_wchan(g_d.a_task) != &g_d.tx_b->wait)
        thread_yield();
    } else {
      while (!g_d.b_ready) thread_yield();
    }
    const uint8_t v = is_a ? g_d.a_value : g_d.b_value;
    const int rc = locked_write(g_d.pool, is_a ? g_d.y : g_d.x, v, tx);
    (is_a ? g_d.a_result : g_d.b_result) = rc;
    if (rc < 0) {
      EXPECT_EQ(error_code(get_error()), Node_E_LOCK);
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    } else {
      commit(tx);
    }
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  static decltype(side)* s;
  s = &side;
  auto a = [] { (*s)(true); };
  auto b = [] { (*s)(false); };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_d.a_result < 0, c.a_loses);
  EXPECT_EQ(g_d.b_result < 0, !c.a_loses);
  // The winner's change is in place, the victim's is not.
  if (c.a_loses) {
    EXPECT_EQ(first_byte(g_d.x), g_d.b_value);
  } else {
    EXPECT_EQ(first_byte(g_d.y), g_d.a_value);
  }
  pool_test::check_pool(pool);
}

INSTANTIATE_TEST_SUITE_P(Tlog, DeadlockTest,
                         ::testing::Values(DeadlockCase{"ALighter", 0, 2, true},
                                           DeadlockCase{"BLighter", 2, 0, false}),
                         [](const auto& p) { return std::string(p.param.name); });

// --- The final commit's force ----------------------------------------------------------------------

struct Force {
  platform::FaultFileSystem* fs = nullptr;
  Node* pool = nullptr;
  Node_ADDR blocks[32];
  int commits = 0;
  int returned = 0;
  bool returned_while_held = false;
  std::vector<uint8_t> durable;  // the LOG file as the disk held it when the commit returned
  Tlog_META root_meta;
};
Force g_f;

void one_record_commit(int i) {
  Node* tx = session_tx();
  ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
  ASSERT_EQ(locked_write(g_f.pool, g_f.blocks[i], static_cast<uint8_t>(0x40 + i), tx), 100);
  commit(tx);
  ++g_f.commits;
  ASSERT_EQ(Tlog_Destroy(tx), 0);
}

TEST_F(TlogTasksTest, AnAcknowledgedFinalCommitIsOnTheLogVolumeBeforeItReturns) {
  g_f = Force{};
  g_f.fs = &fs;
  g_f.pool = pool;
  g_f.blocks[0] = alloc(100, nullptr);
  fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  auto body = [] {
    one_record_commit(0);
    g_f.returned = 1;
    // What a power loss now would leave: the flushed bytes only.
    g_f.durable = g_f.fs->durable_contents(node_test::kLog);
    g_f.root_meta = meta_of(Tlog_RootNode());
  };
  auto release = [] {
    // Blocks the server thread, not a task: the sync thread goes on.
    while (g_f.fs->held_flushes() == 0) thread_yield();
    g_f.returned_while_held = g_f.returned != 0;
    g_f.fs->hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({body}, release));
  EXPECT_FALSE(g_f.returned_while_held);
  // The unit's one record, with its closing state, on the disk.
  const Node_ADDR last = g_f.root_meta.do_log_anchor.last_block;
  ASSERT_TRUE(Node_AddrValid(&last));
  const size_t at = static_cast<size_t>(last.cluster & 0xFFFFFFu) * Vol_PAGESIZE + last.offset +
                    Pool_HEADER_SIZE;
  ASSERT_LE(at + Tlog_OVERHEAD + Pool_RECORD_SIZE, g_f.durable.size());
  const Tlog_RECHEAD h = Tlog_DecodeHead(&g_f.durable[at]);
  EXPECT_EQ(h.opcode, Tlog_OP_POOL_RECORD);
  EXPECT_EQ(h.state, Tlog_STATE_ONLY);
  EXPECT_EQ(h.size, Pool_RECORD_SIZE);
  EXPECT_EQ(h.owner_id, Node_GetId(pool));
  // The redirected page the record names holds the change.
  Pool_RECORD r;
  ASSERT_EQ(Pool_DecodeRecord(&g_f.durable[at + Tlog_OVERHEAD], Pool_RECORD_SIZE, &r), 0);
  EXPECT_EQ(r.opcode, static_cast<uint32_t>(Pool_OP_MODIFY));
}

// Two flushes of the LOG volume per final commit when commits come one
// after another (the unit's blocks before the link, then the link);
// commits that wait while a flush is queued share it, but a flush already
// under way is never joined by a commit whose pages it may miss.
struct FlushCountCase {
  const char* name;
  int tasks;
};
class FlushCount : public TlogTasksTest, public ::testing::WithParamInterface<FlushCountCase> {};

TEST_P(FlushCount, ForcedFlushesPerFinalCommit) {
  const int n = GetParam().tasks;
  g_f = Force{};
  g_f.fs = &fs;
  g_f.pool = pool;
  for (int i = 0; i < n; ++i) g_f.blocks[i] = alloc(100, nullptr);
  ASSERT_EQ(tio_setup(), 0);
  const uint64_t flushes_before = fs.counts(node_test::kLog).flushes;
  const uint32_t forces_before = Tlog_Counters()->forces;
  static int next;
  next = 0;
  auto body = [] { one_record_commit(next++); };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(n, body)));
  EXPECT_EQ(g_f.commits, n);
  const uint64_t flushes = fs.counts(node_test::kLog).flushes - flushes_before;
  EXPECT_EQ(Tlog_Counters()->forces - forces_before, static_cast<uint32_t>(n));
  if (n == 1) {
    EXPECT_EQ(flushes, 2u);
  }
  EXPECT_GE(flushes, 2u);
  EXPECT_LE(flushes, static_cast<uint64_t>(2 * n));
  for (int i = 0; i < n; ++i) EXPECT_EQ(first_byte(g_f.blocks[i]), 0x40 + i);
}

INSTANTIATE_TEST_SUITE_P(Tlog, FlushCount,
                         ::testing::Values(FlushCountCase{"OneTask", 1},
                                           FlushCountCase{"EightTasks", 8}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(TlogTasksTest, ACommitDoesNotJoinAFlushAlreadyUnderWay) {
  g_f = Force{};
  g_f.fs = &fs;
  g_f.pool = pool;
  for (int i = 0; i < 2; ++i) g_f.blocks[i] = alloc(100, nullptr);
  fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  const uint64_t flushes_before = fs.counts(node_test::kLog).flushes;
  static bool second_started;
  second_started = false;
  auto first = [] { one_record_commit(0); };
  auto second = [] {
    // Starts once the first commit's flush is under way (held in the double).
    while (g_f.fs->held_flushes() == 0) thread_yield();
    second_started = true;
    one_record_commit(1);
    // What a power loss now would leave: the flushed bytes only.
    g_f.durable = g_f.fs->durable_contents(node_test::kLog);
    g_f.root_meta = meta_of(Tlog_RootNode());
  };
  auto release = [] {
    while (!second_started) thread_yield();
    // Let the first flush end; the second commit's flush must still come.
    g_f.fs->hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({first, second}, release));
  EXPECT_EQ(g_f.commits, 2);
  // The second commit's first flush cannot join the first one's, held
  // under way; the first commit's link force may share it when it is still
  // queued, the second's link force (behind root_log_sem) comes last.
  const uint64_t flushes = fs.counts(node_test::kLog).flushes - flushes_before;
  EXPECT_GE(flushes, 3u);
  EXPECT_LE(flushes, 4u);
  const Node_ADDR last = g_f.root_meta.do_log_anchor.last_block;
  const size_t at = static_cast<size_t>(last.cluster & 0xFFFFFFu) * Vol_PAGESIZE + last.offset +
                    Pool_HEADER_SIZE;
  ASSERT_LE(at + Tlog_OVERHEAD, g_f.durable.size());
  EXPECT_EQ(Tlog_DecodeHead(&g_f.durable[at]).state, Tlog_STATE_ONLY);
}

// --- Task-session functions -----------------------------------------------------------------------

struct SsnRun {
  int idle_weight = -9;
  int begun_weight = -9;
  int busy_weight = -9;
  int system_weight = -9;
  Task* ended = nullptr;
  Ssn_STATE ended_session;
  Node* wait_node = nullptr;
  uint32_t wait_key = 0;
  int wait_line = 0;
  Node* pool = nullptr;
};
SsnRun g_s;

TEST_F(TlogTasksTest, WeightsFollowTheSessionsTransactionAndEndedTasksHaveNone) {
  g_s = SsnRun{};
  g_s.pool = pool;
  Node_ADDR a = alloc(100, nullptr);
  static Node_ADDR block;
  block = a;
  ASSERT_EQ(tio_setup(), 0);
  auto short_lived = [] {
    g_sessions[thread_self()].client = &g_s;
    g_s.ended = thread_self();
    g_s.ended_session = g_sessions[thread_self()];
    thread_set_data(thread_self(), &g_s, [](void*) {});
  };
  auto worker = [] {
    Task* self = thread_self();
    g_s.system_weight = ssn_deadlock_weight(self);  // no session yet: a system task
    Node* tx = session_tx();
    g_s.idle_weight = ssn_deadlock_weight(self);
    ASSERT_EQ(Tlog_Begin(tx, nullptr, 1), 0);
    g_s.begun_weight = ssn_deadlock_weight(self);
    ASSERT_EQ(locked_write(g_s.pool, block, 1, tx), 100);
    ASSERT_EQ(locked_write(g_s.pool, block, 2, tx), 100);
    g_s.busy_weight = ssn_deadlock_weight(self);
    ssn_set_wait_key(g_s.pool, 0x1234, "/x/y/file.cpp", 77);
    g_s.wait_node = g_sessions[self].wait_node;
    g_s.wait_key = g_sessions[self].wait_key;
    g_s.wait_line = g_sessions[self].wait_line;
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    ASSERT_EQ(Tlog_Destroy(tx), 0);
    // The short-lived task has ended by now.
    while (thread_find_by_data(&g_s) != nullptr) thread_yield();
  };
  ASSERT_TRUE(runner.run({short_lived, worker}));
  EXPECT_EQ(g_s.system_weight, 0);
  EXPECT_EQ(g_s.idle_weight, 0);
  EXPECT_EQ(g_s.begun_weight, 1);
  EXPECT_EQ(g_s.busy_weight, 2);  // one page taken once: one record
  EXPECT_EQ(g_s.wait_node, pool);
  EXPECT_EQ(g_s.wait_key, 0x1234u);
  EXPECT_EQ(g_s.wait_line, 77);
  EXPECT_EQ(ssn_task(&g_s.ended_session), nullptr);
  EXPECT_EQ(ssn_task(nullptr), nullptr);
}

// --- A session's set-up cut short --------------------------------------------------------------

struct CutSetUp {
  Node* gate = nullptr;  // stands for the log root's system pool and its lock
  bool held = false;
  Task* creator = nullptr;
  bool cut = false;
  Node* made = reinterpret_cast<Node*>(1);
  Node* again = nullptr;
};
CutSetUp g_cut;

// Meta data blocks as the system pool hands them out: under its lock, a
// wait a closing session cuts.
int gated_alloc(uint32_t size, Node_ADDR* addr, int log) {
  if (Node_Lock(g_cut.gate, __FILE__, __LINE__) != 0) return -1;
  const int rc = node_test::kMemPool.alloc_item(size, addr, log);
  Node_Unlock(g_cut.gate);
  return rc;
}

// A closing session cuts the wait of its set-up for the system pool, which
// another task holds while it is suspended: the set-up gives up cleanly,
// leaves no log node behind, and the next one is made as usual.
TEST_F(TlogTasksTest, ASessionWhoseSetUpIsCutGivesUpAndLeavesNoNode) {
  g_cut = CutSetUp{};
  g_cut.gate = pool;
  NodePoolServices gated = node_test::kMemPool;
  gated.alloc_item = gated_alloc;
  Node_SetPoolServices(&gated);
  ASSERT_EQ(tio_setup(), 0);
  static uint32_t nodes_before = 0;
  uint32_t last = 0, pages = 0;
  ASSERT_EQ(Node_RootCounts(1, &nodes_before, &last, &pages), 0);
  auto holder = [] {
    ASSERT_EQ(Node_Lock(g_cut.gate, __FILE__, __LINE__), 0);
    g_cut.held = true;
    while (g_cut.creator == nullptr || thread_wchan(g_cut.creator) == nullptr) thread_yield();
    EXPECT_EQ(thread_cut(g_cut.creator, -1), 0);
    g_cut.cut = true;
    thread_yield();
    Node_Unlock(g_cut.gate);
  };
  auto creator = [] {
    while (!g_cut.held) thread_yield();
    g_cut.creator = thread_self();
    g_cut.made = Tlog_Create();
    g_cut.again = Tlog_Create();
  };
  ASSERT_TRUE(runner.run({holder, creator}));
  Node_SetPoolServices(&node_test::kMemPool);
  EXPECT_TRUE(g_cut.cut);
  EXPECT_EQ(g_cut.made, nullptr);
  ASSERT_NE(g_cut.again, nullptr);
  uint32_t nodes = 0;
  ASSERT_EQ(Node_RootCounts(1, &nodes, &last, &pages), 0);
  EXPECT_EQ(nodes, nodes_before + 1) << "the cut set-up left a node";
  EXPECT_EQ(Tlog_Destroy(g_cut.again), 0);
}

}  // namespace
