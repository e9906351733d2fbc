// Command transactions under the task kernel: a command that meets a
// record held by another session's open transaction waits for it and runs
// again once, a command inside a client's transaction is only pre-committed,
// a cycle of two waits answers S_DEADLK to one of them, no road leaves the
// blocking record set for the next command, a failed command leaves no
// trace; and the node list of a command (17 nodes, S_NOTFOUND for a set
// without a node, nothing left open after a failure).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "access/idb_cmd.h"
#include "access/idb_status.h"
#include "storage/node.h"
#include "storage/pool.h"
#include "storage/ssn.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog_fixture.h"

namespace {

using namespace tlog_test;

std::map<Task*, idb_session*> g_sessions;
Ssn_STATE* lookup(Task* t) {
  auto it = g_sessions.find(t);
  return it == g_sessions.end() ? nullptr : &it->second->ssn;
}

// A database session of the calling task: its transaction node and lock list.
struct Session {
  idb_session s{};
  Session() {
    s.ssn.tx_node = Tlog_Create();
    EXPECT_NE(s.ssn.tx_node, nullptr);
    s.bt_ctx.tx_node = s.ssn.tx_node;
    s.adv_locks = Node_InitAdvLock(64, 64);
    g_sessions[thread_self()] = &s;
  }
  ~Session() {
    EXPECT_EQ(s.node_cnt, 0);
    Node_FreeAdvLock(s.adv_locks);
    EXPECT_EQ(Tlog_Destroy(s.ssn.tx_node), 0);
    g_sessions.erase(thread_self());
  }
  Node* tx() { return s.ssn.tx_node; }
};

// A record: a pool block whose first byte counts the changes, guarded by the
// log record (lock node, key) the way a record file guards a record number.
struct Record {
  Node* pool = nullptr;
  Node* lock_node = nullptr;
  uint32_t key = 0;
  Node_ADDR addr;
  int runs = 0;
  int changes = 0;
};

uint8_t read_byte(const Record& r, Node* tx) {
  uint8_t b = 0;
  EXPECT_EQ(Node_LockShared(r.pool, __FILE__, __LINE__), 0);
  EXPECT_EQ(Pool_Read(r.pool, &r.addr, &b, 1, tx), 1);
  Node_UnlockShared(r.pool);
  return b;
}

// The work of an update: fails with the blocking record set when another
// transaction holds the record, else adds 1 to it inside the command.
int32_t update(idb_session* s, void* arg) {
  auto* r = static_cast<Record*>(arg);
  ++r->runs;
  int found = 0;
  Node_LOG_REC* e = Node_AddLogRecord(r->lock_node, r->key, &found);
  if (e->log_node != nullptr && e->log_node != idb__tx_node(s)) {
    ssn_set_wait_key(r->lock_node, r->key, __FILE__, __LINE__);
    IDB_ERROR(s, S_VOLFREC, 0);
    return -1;
  }
  if (e->log_node == nullptr) Tlog_LinkLogRecord(idb__tx_node(s), e);
  std::vector<uint8_t> bytes(r->addr.size, static_cast<uint8_t>(read_byte(*r, idb__tx_node(s)) + 1));
  EXPECT_EQ(Node_Lock(r->pool, __FILE__, __LINE__), 0);
  const int rc = Pool_Write(r->pool, &r->addr, bytes.data(), r->addr.size, idb__tx_node(s));
  Node_Unlock(r->pool);
  if (rc < 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    return -1;
  }
  ++r->changes;
  return 0;
}

// Runs a command as an intrinsic ends it: 0, or the failure's word 0.
int32_t intrinsic(idb_session* s, idb_CMD_WORK work, void* arg) {
  const int32_t c = idb__run_cmd(s, "DBUPDATE", work, arg);
  if (c == 0) return 0;
  idb_status st{};
  idb__fail_status(s, c, st);
  return st[0];
}

class CmdTest : public TlogFixture {
 protected:
  void SetUp() override {
    TlogFixture::SetUp();
    g_sessions.clear();
    ssn_set_lookup(lookup);
    lock_node_ = Node_Create(1);
    ASSERT_NE(lock_node_, nullptr);
  }
  void TearDown() override {
    ssn_set_lookup(nullptr);
    g_sessions.clear();
    tio_cleanup();
    TlogFixture::TearDown();
  }
  Record record(uint32_t key) {
    Record r;
    r.pool = pool;
    r.lock_node = lock_node_;
    r.key = key;
    // A block that fills clusters of its own: two records never share a
    // pool page, so only the record's own lock makes a command wait.
    r.addr = alloc(60000, nullptr);
    write(r.addr, 0, nullptr);
    return r;
  }
  storage_test::TaskRunner runner;
  Node* lock_node_ = nullptr;
};

// --- Waiting for a blocking transaction ---------------------------------------------------------

struct TwoSessions {
  Record rec;
  Node* tx_a = nullptr;
  Task* b = nullptr;
  bool a_ended = false;
  bool a_done = false;
  int32_t a_rc = -2, b_rc = -2;
  int a_runs = 0;
  uint32_t depth_after_cmd = 0;
  uint8_t a_sees_before_commit = 0;
};
TwoSessions g_two;

TEST_F(CmdTest, ACommandWaitsForTheHoldersTransactionAndChangesTheRecordOnce) {
  g_two = TwoSessions{};
  g_two.rec = record(7);
  ASSERT_EQ(tio_setup(), 0);
  auto a = [] {
    Session s;
    g_two.tx_a = s.tx();
    // The client's own transaction: the command is only pre-committed in it.
    ASSERT_EQ(Tlog_Begin(s.tx(), "client", 5), 0);
    g_two.a_rc = intrinsic(&s.s, update, &g_two.rec);
    g_two.a_runs = g_two.rec.runs;
    g_two.depth_after_cmd = Tlog_TxDepth(s.tx());
    g_two.a_sees_before_commit = read_byte(g_two.rec, s.tx());
    g_two.a_done = true;
    while (g_two.b == nullptr || thread_wchan(g_two.b) != &s.tx()->wait) thread_yield();
    g_two.a_ended = true;
    ASSERT_EQ(Tlog_Commit(s.tx()), 0);
    Tlog_FinalCommit(s.tx());
  };
  auto b = [] {
    while (!g_two.a_done) thread_yield();
    Session s;
    g_two.b = thread_self();
    g_two.b_rc = intrinsic(&s.s, update, &g_two.rec);
    EXPECT_TRUE(g_two.a_ended);
  };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_two.a_rc, 0);
  EXPECT_EQ(g_two.a_runs, 1);
  EXPECT_EQ(g_two.depth_after_cmd, 1u);
  EXPECT_EQ(g_two.a_sees_before_commit, 1);
  EXPECT_EQ(g_two.b_rc, 0);
  // B's work ran twice: refused while A held the record, then after A's
  // commit; it changed the record once.
  EXPECT_EQ(g_two.rec.runs, 3);
  EXPECT_EQ(g_two.rec.changes, 2);
  EXPECT_EQ(first_byte(g_two.rec.addr), 2);
  EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
}

// --- A cycle of two waits --------------------------------------------------------------------------

struct Cycle {
  Record x, y;
  Task* task[2] = {};
  Node* tx[2] = {};
  bool holds[2] = {};
  int32_t rc[2] = {-2, -2};
  int32_t sub[2] = {};
};
Cycle g_cycle;

void cycle_side(int me) {
  Session s;
  g_cycle.task[me] = thread_self();
  g_cycle.tx[me] = s.tx();
  Record* mine = me == 0 ? &g_cycle.x : &g_cycle.y;
  Record* theirs = me == 0 ? &g_cycle.y : &g_cycle.x;
  ASSERT_EQ(Tlog_Begin(s.tx(), "client", 9), 0);
  ASSERT_EQ(intrinsic(&s.s, update, mine), 0);
  g_cycle.holds[me] = true;
  while (!g_cycle.holds[1 - me]) thread_yield();
  // Side 1 asks second, once side 0 sleeps on its transaction.
  if (me == 1)
    while (thread_wchan(g_cycle.task[0]) != &g_cycle.tx[1]->wait) thread_yield();
  g_cycle.rc[me] = intrinsic(&s.s, update, theirs);
  g_cycle.sub[me] = s.s.error.sub_code;
  if (g_cycle.rc[me] == 0) {
    ASSERT_EQ(Tlog_Commit(s.tx()), 0);
    Tlog_FinalCommit(s.tx());
  } else {
    ASSERT_EQ(Tlog_Rollback(s.tx(), 0), 0);
  }
}

TEST_F(CmdTest, ACycleOfTwoWaitsAnswersDeadlockToOneOfThem) {
  g_cycle = Cycle{};
  g_cycle.x = record(1);
  g_cycle.y = record(2);
  ASSERT_EQ(tio_setup(), 0);
  ASSERT_TRUE(runner.run({[] { cycle_side(0); }, [] { cycle_side(1); }}));
  const int victims = (g_cycle.rc[0] == S_DEADLK) + (g_cycle.rc[1] == S_DEADLK);
  EXPECT_EQ(victims, 1);
  const int winner = g_cycle.rc[0] == 0 ? 0 : 1;
  EXPECT_EQ(g_cycle.rc[winner], 0);
  EXPECT_NE(g_cycle.sub[1 - winner], 0);
  // The winner changed both records; the victim's change was rolled back.
  const Record& won = winner == 0 ? g_cycle.x : g_cycle.y;
  const Record& lost = winner == 0 ? g_cycle.y : g_cycle.x;
  EXPECT_EQ(first_byte(won.addr), 1);
  EXPECT_EQ(first_byte(lost.addr), 1);
}

// --- The blocking record is empty after every intrinsic ------------------------------------------

// A read that meets a held record and fails (no command transaction, no
// wait): the next command of the session must still begin.
struct ReadThenUpdate {
  Record rec;
  bool held = false;
  bool done = false;
  int32_t read_rc = -2, update_rc = -2;
};
ReadThenUpdate g_rtu;

int32_t blocked_read(idb_session* s, Record* r) {
  Node_LOG_REC* e = Node_FindLogRecord(r->lock_node, r->key);
  if (e != nullptr && e->log_node != nullptr && e->log_node != idb__tx_node(s)) {
    ssn_set_wait_key(r->lock_node, r->key, __FILE__, __LINE__);
    IDB_ERROR(s, S_VOLFREC, 0);
    idb_status st{};
    idb__fail_status(s, -1, st);
    return st[0];
  }
  return 0;
}

TEST_F(CmdTest, AReadFailedOnABlockingTransactionLeavesTheNextCommandFree) {
  g_rtu = ReadThenUpdate{};
  g_rtu.rec = record(3);
  Record other = record(4);
  static Record* other_p;
  other_p = &other;
  ASSERT_EQ(tio_setup(), 0);
  auto holder = [] {
    Session s;
    ASSERT_EQ(Tlog_Begin(s.tx(), "client", 2), 0);
    ASSERT_EQ(intrinsic(&s.s, update, &g_rtu.rec), 0);
    g_rtu.held = true;
    while (!g_rtu.done) thread_yield();
    ASSERT_EQ(Tlog_Rollback(s.tx(), 0), 0);
  };
  auto reader = [] {
    while (!g_rtu.held) thread_yield();
    Session s;
    g_rtu.read_rc = blocked_read(&s.s, &g_rtu.rec);
    g_rtu.update_rc = intrinsic(&s.s, update, other_p);
    g_rtu.done = true;
  };
  ASSERT_TRUE(runner.run({holder, reader}));
  EXPECT_EQ(g_rtu.read_rc, S_VOLFREC);
  EXPECT_EQ(g_rtu.update_rc, 0);
  EXPECT_EQ(first_byte(other.addr), 1);
}

// A commit refused by a pre-commit handler that found a blocking
// transaction: the command fails without waiting, and the blocking record
// is empty for the next command.
constexpr uint8_t kTestOpcode = Tlog_OP_FIXREC;
int g_refusals = 0;
int refusing_precommit(Node*, const void*, uint32_t, const Node_ADDR*) {
  if (g_refusals == 0) return 0;
  --g_refusals;
  ssn_set_wait_key(Tlog_RootNode(), 0x55, __FILE__, __LINE__);
  return 1;
}
int passing_rollback(Node*, const void*, uint32_t, const Node_ADDR*) { return 0; }

int32_t logged_update(idb_session* s, void* arg) {
  const uint32_t word = 1;
  if (Tlog_WriteRecord(idb__tx_node(s), kTestOpcode, Tlog_CHANNEL_LOG, nullptr, &word, 4,
                       nullptr) != 0)
    return -1;
  return update(s, arg);
}

struct CommitRefused {
  Record rec;
  int32_t first = -2, second = -2;
  bool blocking_empty = false;
};
CommitRefused g_cr;

TEST_F(CmdTest, ACommitRefusedOnABlockingTransactionLeavesTheNextCommandFree) {
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, kTestOpcode, refusing_precommit);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, kTestOpcode, passing_rollback);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, kTestOpcode, passing_rollback);
  g_cr = CommitRefused{};
  g_cr.rec = record(5);
  g_refusals = 1;
  ASSERT_EQ(tio_setup(), 0);
  ASSERT_TRUE(runner.run({[] {
    Session s;
    g_cr.first = intrinsic(&s.s, logged_update, &g_cr.rec);
    g_cr.blocking_empty = s.s.ssn.wait_node == nullptr;
    g_cr.second = intrinsic(&s.s, logged_update, &g_cr.rec);
  }}));
  EXPECT_EQ(g_cr.first, S_VOLNODE);
  EXPECT_TRUE(g_cr.blocking_empty);
  EXPECT_EQ(g_cr.second, 0);
  // The refused command left no trace: the record changed once.
  EXPECT_EQ(first_byte(g_cr.rec.addr), 1);
}

// --- A failed command leaves no trace ----------------------------------------------------------------

int32_t update_then_fail(idb_session* s, void* arg) {
  if (update(s, arg) != 0) return -1;
  IDB_ERROR(s, S_DUPL, 0);
  return -1;
}

TEST_F(CmdTest, AFailedCommandIsRolledBackBeforeItsStatusIsFilled) {
  static Record rec;
  rec = record(6);
  static int32_t rc;
  static int32_t sub;
  ASSERT_EQ(tio_setup(), 0);
  ASSERT_TRUE(runner.run({[] {
    Session s;
    rc = intrinsic(&s.s, update_then_fail, &rec);
    sub = s.s.error.sub_code;
    EXPECT_EQ(Tlog_TxDepth(s.tx()), 0u);
  }}));
  EXPECT_EQ(rc, S_DUPL);
  EXPECT_EQ(sub, 0);
  EXPECT_EQ(first_byte(rec.addr), 0);
}

// --- The node list ------------------------------------------------------------------------------------

class NodeList : public CmdTest {
 protected:
  // Set 0 with 16 paths to sets 1..16, each with a node of its own.
  void make(int without_node = -1) {
    sets_.assign(17, idb_set{});
    paths_.resize(16);
    for (int i = 0; i < 17; ++i) {
      if (i == without_node) continue;
      Node* n = Node_Create(1);
      ASSERT_NE(n, nullptr);
      sets_[i].s.node = n;
      sets_[i].s.nodeid = Node_GetId(n);
    }
    for (int p = 0; p < 16; ++p) paths_[p] = idb_path{p + 1, 0, 0, -1};
    sets_[0].s.path_cnt = 16;
    sets_[0].path = paths_.data();
    g_ = global{};
    g_.set_cnt = 17;
    g_.set = sets_.data();
  }
  std::vector<idb_set> sets_;
  std::vector<idb_path> paths_;
  global g_{};
};

TEST_F(NodeList, ASetWithSixteenPathsOpensSeventeenNodes) {
  make();
  idb_session s{};
  ASSERT_EQ(idb__open_set_nodes(&s, &g_, 0), 0);
  EXPECT_EQ(s.node_cnt, 17);
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(s.node_list[i].node, sets_[i].s.node);
    EXPECT_EQ(Node_RefCount(sets_[i].s.node), 1);
  }
  idb__close_node(&s, sets_[3].s.node);
  EXPECT_EQ(Node_RefCount(sets_[3].s.node), 0);
  idb__close_nodes(&s);
  EXPECT_EQ(s.node_cnt, 0);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(Node_RefCount(sets_[i].s.node), 0);
}

TEST_F(NodeList, ASetWithoutANodeAnswersNotFoundAndLeavesNothingOpen) {
  make(9);
  idb_session s{};
  EXPECT_EQ(idb__open_set_nodes(&s, &g_, 0), -1);
  EXPECT_EQ(s.error.code, S_NOTFOUND);
  EXPECT_EQ(s.error.sub_code, 0);
  EXPECT_EQ(s.node_cnt, 0);
  for (int i = 0; i < 17; ++i)
    if (sets_[i].s.node != nullptr) {
      EXPECT_EQ(Node_RefCount(sets_[i].s.node), 0);
    }
  for (const idb_node_slot& slot : s.node_list) EXPECT_EQ(slot.node, nullptr);
}

TEST_F(NodeList, ABtreeOfNoNodeAnswersNotFound) {
  idb_session s{};
  btree_HANDLE* h = reinterpret_cast<btree_HANDLE*>(1);
  EXPECT_EQ(idb__bt_open(&s, nullptr, nullptr, &h), -1);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(s.error.code, S_NOTFOUND);
}

}  // namespace
