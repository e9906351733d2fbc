// B-trees inside transactions: a commit makes every change visible and
// durable and leaves no log-record entry behind; a rollback leaves the tree
// byte for byte as it was, its used-cluster list and the data volume's free
// pages included (rolled-back splits leak nothing); nested sub-transactions
// roll back and merge; a page changed twice in one sub-transaction gets one
// shadow and one record; other handles see the home pages until the
// commit; a change outside any transaction of a page a transaction holds
// is refused; and replaying the committed records a second time changes
// nothing. The model test's keys and orders run in transactions committed
// or rolled back at random. Under the task kernel, two transactions
// inserting into one leaf: the second's descent fails with the wait
// recorded, it waits on the first's log node and its retry succeeds once
// the first has ended. While one transaction's split holds the parent, a
// put of another that fits its leaf goes through and one that must split
// stops whole. Many transactions putting into a large tree at
// once, each holding its pages until its commit: splits meet neighbours
// other transactions hold, wait for them and run again without a failure
// line, and every key is there afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "base/error_status.h"
#include "index/btree_tx_fixture.h"
#include "storage/ssn.h"
#include "storage/task_runner.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/volume_fixture.h"

namespace btree_test {
namespace {

// Base keys (even numbers) are put outside any transaction; the
// transaction then inserts odd keys and deletes a range.
struct TxCase {
  const char* name;
  int base_to;            // base keys 0, 2, .. below this
  int ins_from, ins_to;   // odd keys inserted in the transaction
  int del_from, del_to;   // keys deleted afterwards (every key of the range present)
};
void PrintTo(const TxCase& c, std::ostream* os) { *os << c.name; }

const TxCase kCases[] = {
    // A few entries of one leaf change in place on its shadow.
    {"OneLeaf", 40, 11, 17, 20, 24},
    // Inserts that split leaves and the root (which keeps its page).
    {"SplitsAndARootSplit", 20, 1, 401, 0, 0},
    // Deletes that empty and free leaves of a taller tree.
    {"DeletesThatFreeLeaves", 800, 0, 0, 100, 500},
    // Pages made in the transaction and freed in it again.
    {"NewPagesFreedAgain", 40, 101, 601, 100, 601},
};

class BtreeTxCases : public BtreeTxFixture, public ::testing::WithParamInterface<TxCase> {
 protected:
  // Runs the case's changes through h inside tx.
  void run_changes(btree_HANDLE* h, Model* m) {
    const TxCase& c = GetParam();
    insert_range(h, m, c.ins_from, c.ins_to, 2);
    for (int i = c.del_from; i < c.del_to; ++i) {
      if (m->erase(tx_key(i)) == 1) {
        ASSERT_EQ(del(h, tx_key(i)), 0) << i;
      }
    }
  }
};

TEST_P(BtreeTxCases, RollbackLeavesTheTreeByteIdentical) {
  create();
  btree_HANDLE* h = open();
  Model base;
  insert_range(h, &base, 0, GetParam().base_to, 2);
  const auto pages = tree_pages(h);
  const uint32_t free_before = data_free();
  const uint32_t live_before = live_entries();

  Node* tx = new_tx();
  begin(tx);
  Model m = base;
  run_changes(h, &m);
  expect_gets(h, m, "inside the transaction");
  // Another session outside the transaction reads the home pages.
  btree_CTX outside;
  btree_HANDLE* o = open(&outside);
  expect_gets(o, base, "outside the transaction");
  close(o);

  rollback(tx);
  EXPECT_TRUE(tree_pages(h) == pages) << "the tree's pages differ after the rollback";
  expect_tree(h, base, "after the rollback");
  EXPECT_EQ(data_free(), free_before) << "pages leaked or lost";
  EXPECT_EQ(live_entries(), live_before);
  expect_gets(h, base, "after the rollback");
  // The tree goes on outside and inside transactions.
  insert_range(h, &base, 1001, 1011, 2);
  begin(tx);
  insert_range(h, &base, 1, 41, 2);
  commit(tx);
  expect_tree(h, base, "after a later commit");
}

TEST_P(BtreeTxCases, CommitMakesEveryChangeVisibleAndDurable) {
  create();
  btree_HANDLE* h = open();
  Model m;
  insert_range(h, &m, 0, GetParam().base_to, 2);
  const uint32_t live_before = live_entries();
  Node* tx = new_tx();
  begin(tx);
  run_changes(h, &m);
  commit(tx);
  EXPECT_EQ(live_entries(), live_before) << "log-record entries left behind";
  expect_tree(h, m, "after the commit");
  expect_gets(h, m, "after the commit");
  reopen_with_log();
  h = open();
  expect_tree(h, m, "after a reopen");
  expect_gets(h, m, "after a reopen");
}

INSTANTIATE_TEST_SUITE_P(Btree, BtreeTxCases, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

class BtreeTx : public BtreeTxFixture {};

// Sub-transactions: one rolled back alone, one merged into its parent and
// changed again there (its superseded shadows go back), then the whole
// committed or rolled back.
TEST_F(BtreeTx, NestedSubTransactionsRollBackAndMerge) {
  for (const bool commit_all : {true, false}) {
    SCOPED_TRACE(commit_all ? "commit" : "rollback");
    create();
    btree_HANDLE* h = open();
    Model base;
    insert_range(h, &base, 0, 200, 2);
    const auto pages = tree_pages(h);
    const uint32_t free_before = data_free();
    Node* tx = new_tx();
    begin(tx);
    Model m = base;
    insert_range(h, &m, 1, 60, 2);
    Model outer = m;
    begin(tx, 2);
    insert_range(h, &m, 61, 301, 2);
    delete_range(h, &m, 0, 40, 1);
    ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
    m = outer;
    expect_gets(h, m, "after the inner rollback");
    begin(tx, 3);
    insert_range(h, &m, 61, 301, 4);
    ASSERT_EQ(Tlog_Commit(tx), 0);  // into the outer level
    insert_range(h, &m, 63, 301, 4);
    delete_range(h, &m, 2, 30, 4);
    expect_gets(h, m, "after the merge");
    if (commit_all) {
      commit(tx);
      expect_tree(h, m, "after the commit");
    } else {
      rollback(tx);
      EXPECT_TRUE(tree_pages(h) == pages) << "the tree's pages differ after the rollback";
      expect_tree(h, base, "after the rollback");
      EXPECT_EQ(data_free(), free_before);
    }
    ASSERT_EQ(live_entries(), 0u);
    close(h);
    end_txs();
  }
}

TEST_F(BtreeTx, APageChangedTwiceInOneSubTransactionGetsOneShadowAndOneRecord) {
  create();
  btree_HANDLE* h = open();
  Model m;
  insert_range(h, &m, 0, 10, 2);
  Node* tx = new_tx();
  begin(tx);
  const uint32_t log_free = Vol_GetRootVol()[1].free_size;
  insert_range(h, &m, 1, 2, 2);
  const uint32_t after_one = Vol_GetRootVol()[1].free_size;
  insert_range(h, &m, 3, 10, 2);
  delete_range(h, &m, 0, 1, 1);
  EXPECT_EQ(Tlog_NumActions(tx, 0), 1u);
  EXPECT_EQ(Vol_GetRootVol()[1].free_size, after_one);
  EXPECT_LT(after_one, log_free);
  // A new sub-transaction takes a shadow of its own.
  begin(tx, 2);
  insert_range(h, &m, 11, 12, 2);
  EXPECT_EQ(Tlog_NumActions(tx, 0), 2u);
  ASSERT_EQ(Tlog_Commit(tx), 0);  // into the outer level
  commit(tx);
  expect_tree(h, m, "after the commit");
}

// A change outside any transaction of a page that an open transaction has
// changed would be overwritten by its commit: it is refused, the tree
// unchanged; a read outside sees the page as it was.
TEST_F(BtreeTx, AChangeOutsideOfAPageATransactionHoldsIsRefused) {
  create();
  btree_HANDLE* h = open();
  Model base;
  insert_range(h, &base, 0, 10, 2);
  Node* tx = new_tx();
  begin(tx);
  Model m = base;
  insert_range(h, &m, 1, 2, 2);
  ctx_.tx_node = nullptr;
  btree_CTX outside;
  btree_HANDLE* o = open(&outside);
  EXPECT_EQ(put(o, tx_key(3), "x"), -1);
  EXPECT_EQ(get_error(), make_error_status(ERR_MOD_BT, ERR_SEV_E, BT_E_PAGE));
  EXPECT_EQ(del(o, tx_key(2)), -1);
  EXPECT_EQ(Node_LockState(node_), 0);
  expect_gets(o, base, "outside");
  ctx_.tx_node = tx;
  commit(tx);
  expect_tree(o, m, "after the commit");
  EXPECT_EQ(put(o, tx_key(3), "x"), 0);
  close(o);
}

// The committed records replayed (as recovery does, with the redo table)
// once and then again leave the same pages: a record whose effect is on
// disk already changes nothing. Two transactions, the second changing
// pages of the first and freeing some, so that the replay must keep their
// order and must not free a page twice.
TEST_F(BtreeTx, ReplayingTheCommittedRecordsTwiceChangesNothing) {
  create();
  btree_HANDLE* h = open();
  Model m;
  insert_range(h, &m, 0, 100, 2);
  Node* tx = new_tx();
  for (int round = 0; round < 2; ++round) {
    begin(tx);
    insert_range(h, &m, 1 + round * 2, 301, 4);
    delete_range(h, &m, 40 + round * 40, 60 + round * 40, 2);
    if (round == 1) {
      // Leaves emptied and freed: their records are frees to replay.
      for (int i = 120; i < 240; ++i)
        if (m.erase(tx_key(i)) == 1) {
          ASSERT_EQ(del(h, tx_key(i)), 0) << i;
        }
    }
    commit(tx);
  }
  close(h);
  Vol_Sync(Vol_TIO_SYNC);
  h = open();
  const auto pages = tree_pages(h);
  const uint32_t free_pages = data_free();
  expect_tree(h, m, "after the commits");
  for (int replay = 1; replay <= 2; ++replay) {
    Tlog_SetRecovery(1);
    const int rc = Tlog_Action(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG,
                               Tlog_GetTable(Tlog_TABLE_REDO), nullptr, nullptr, nullptr, 0);
    Tlog_SetRecovery(0);
    ASSERT_EQ(rc, 0);
    EXPECT_GT(Tlog_NumDispatched(), 10u) << "the B-tree's records were not replayed";
    EXPECT_TRUE(tree_pages(h) == pages) << "replay " << replay << " changed the tree";
    EXPECT_EQ(data_free(), free_pages) << "replay " << replay;
    expect_tree(h, m, "after replay " + std::to_string(replay));
  }
}

// A LOG volume that cannot grow runs out of shadow pages in mid-run: the
// put that needs one fails with BT E001 instead of stopping the server,
// and the transaction's rollback leaves the tree as it was, no page lost.
TEST_F(BtreeTx, AnExhaustedLogVolumeFailsThePutAndTheRollbackUndoesTheRest) {
  close_set();
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{node_test::kRoot, VolType_DATA, 4096, 512},
                  {node_test::kLog, VolType_LOG, Vol_MINPAGES, 0, Vol_MINPAGES}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  open_set(256);
  start_log();
  create();
  btree_HANDLE* h = open();
  Model base;
  insert_range(h, &base, 0, 400, 2);
  const auto pages = tree_pages(h);
  const uint32_t free_before = data_free();
  Node* tx = new_tx();
  begin(tx);
  int rc = 0;
  int i = 1;
  for (; i < 200000 && rc == 0; i += 2) rc = put(h, tx_key(i), tx_data(i));
  ASSERT_EQ(rc, -1) << "the LOG volume never ran out";
  EXPECT_EQ(get_error(), make_error_status(ERR_MOD_BT, ERR_SEV_E, BT_E_PAGE));
  EXPECT_EQ(Node_LockState(node_), 0);
  rollback(tx);
  EXPECT_TRUE(tree_pages(h) == pages) << "the tree's pages differ after the rollback";
  expect_tree(h, base, "after the rollback");
  EXPECT_EQ(data_free(), free_before);
  EXPECT_EQ(live_entries(), 0u);
  // Room again once the transaction is gone.
  begin(tx);
  insert_range(h, &base, 1, 41, 2);
  commit(tx);
  expect_tree(h, base, "after a later commit");
}

// --- The model inside transactions ------------------------------------------------------

// The model test's keys in its four orders, in batches that are each a
// transaction, committed or (one in three) rolled back; some batches roll
// a sub-transaction back inside. A rollback leaves the tree byte for byte
// as the batch found it with no page lost; a commit brings the batch in;
// the checker and a full comparison with the map run after every batch,
// and the tree is drained to empty in transactions at the end.
class BtreeTxModel : public BtreeTxFixture, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(BtreeTxModel, MatchesAMapThroughCommitsAndRollbacks) {
  const OrderCase& c = GetParam();
  std::mt19937 rng(4321);
  const std::vector<std::string> keys = make_keys(1500, 77);
  const std::vector<size_t> order = c.order(keys.size(), rng);
  create();
  btree_HANDLE* h = open();
  Node* tx = new_tx();
  Model m;
  const size_t batch = 60;
  for (size_t start = 0, b = 0; start < order.size(); start += batch, ++b) {
    const std::string at = std::string(c.name) + " batch " + std::to_string(b);
    const auto pages = tree_pages(h);
    const uint32_t free_before = data_free();
    Model next = m;
    begin(tx);
    for (size_t n = start; n < std::min(order.size(), start + batch); ++n) {
      const std::string& key = keys[order[n]];
      const bool fresh = next.emplace(key, data_for(key)).second;
      ASSERT_EQ(put(h, key, data_for(key)), fresh ? 0 : RET_SPECIAL) << at;
      if (n % 4 == 1) {
        const std::string& victim = keys[rng() % keys.size()];
        ASSERT_EQ(del(h, victim), next.erase(victim) ? 0 : RET_SPECIAL) << at;
      }
    }
    if (b % 5 == 2) {
      begin(tx, 2);
      Model sub = next;
      std::vector<std::string> touched;
      for (int i = 0; i < 30; ++i) {
        const std::string& key = keys[rng() % keys.size()];
        if (sub.erase(key) == 1) {
          ASSERT_EQ(del(h, key), 0) << at;
        } else {
          ASSERT_EQ(put(h, key, "sub"), 0) << at;
          sub[key] = "sub";
        }
        touched.push_back(key);
      }
      ASSERT_EQ(Tlog_Rollback(tx, 2), 0) << at;
      for (const std::string& key : touched) {
        std::string got;
        ASSERT_EQ(get(h, key, &got), next.count(key) ? 0 : 1) << at;
        if (next.count(key)) {
          EXPECT_EQ(got, next[key]) << at;
        }
      }
    }
    if (rng() % 3 == 0) {
      rollback(tx);
      EXPECT_TRUE(tree_pages(h) == pages) << at << ": the rollback left other pages";
      EXPECT_EQ(data_free(), free_before) << at;
    } else {
      commit(tx);
      m = next;
    }
    expect_tree(h, m, at);
    ASSERT_EQ(live_entries(), 0u) << at;
    if (HasFailure()) return;
  }
  // Drained in transactions of a hundred deletes.
  std::vector<std::string> present;
  for (const auto& kv : m) present.push_back(kv.first);
  std::shuffle(present.begin(), present.end(), rng);
  for (size_t i = 0; i < present.size(); i += 100) {
    begin(tx);
    for (size_t j = i; j < std::min(present.size(), i + 100); ++j) {
      ASSERT_EQ(del(h, present[j]), 0) << c.name << " draining";
      m.erase(present[j]);
    }
    commit(tx);
  }
  expect_tree(h, m, std::string(c.name) + " drained");
  EXPECT_EQ(check_tree(h).pages, 1u);
}

INSTANTIATE_TEST_SUITE_P(Orders, BtreeTxModel, ::testing::ValuesIn(kOrders),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Two transactions on one leaf ------------------------------------------------------

std::map<Task*, Ssn_STATE> g_sessions;
Ssn_STATE* session_of(Task* t) {
  auto it = g_sessions.find(t);
  return it == g_sessions.end() ? nullptr : &it->second;
}

struct Contend {
  Node* node = nullptr;
  btree_HANDLE* a = nullptr;
  btree_HANDLE* b = nullptr;
  bool first_commits = true;
  Node* tx_a = nullptr;
  Task* b_task = nullptr;
  bool a_ended = false;
  int b_first = -2;
  ErrorStatus b_status = 0;
  int lock_state = -1;
  Node* wait_node = nullptr;
  Node* holder = nullptr;
  int b_retry = -2;
  bool b_saw_end = false;
};
Contend g_c;

Node* session_tx() {
  Node* tx = Tlog_Create();
  EXPECT_NE(tx, nullptr);
  g_sessions[thread_self()].tx_node = tx;
  return tx;
}

class BtreeTxContend : public BtreeTxFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    BtreeTxFixture::SetUp();
    g_sessions.clear();
    ssn_set_lookup(session_of);
  }
  void TearDown() override {
    ssn_set_lookup(nullptr);
    g_sessions.clear();
    BtreeTxFixture::TearDown();
  }
  storage_test::TaskRunner runner;
};

TEST_P(BtreeTxContend, TheSecondWaitsOnTheFirstsLogNodeAndItsRetrySucceeds) {
  create();
  btree_HANDLE* h = open();
  Model m;
  insert_range(h, &m, 0, 400, 2);  // a root over several leaves
  btree_CTX ctx_a, ctx_b;
  g_c = Contend{};
  g_c.node = node_;
  g_c.first_commits = GetParam();
  g_c.a = open(&ctx_a);
  g_c.b = open(&ctx_b);
  auto a = [] {
    Node* tx = session_tx();
    ASSERT_EQ(Tlog_Begin(tx, "a", 1), 0);
    g_c.a->bt_ctx->tx_node = tx;
    ASSERT_EQ(put(g_c.a, tx_key(201), "a"), 0);
    g_c.tx_a = tx;
    while (g_c.b_task == nullptr || thread_wchan(g_c.b_task) != &tx->wait) thread_yield();
    if (g_c.first_commits) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    } else {
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    }
    g_c.a->bt_ctx->tx_node = nullptr;
    g_c.a_ended = true;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  auto b = [] {
    while (g_c.tx_a == nullptr) thread_yield();
    Node* tx = session_tx();
    g_c.b_task = thread_self();
    ASSERT_EQ(Tlog_Begin(tx, "b", 1), 0);
    g_c.b->bt_ctx->tx_node = tx;
    g_c.b_first = put(g_c.b, tx_key(203), "b");
    g_c.b_status = get_error();
    g_c.lock_state = Node_LockState(g_c.node);
    const Ssn_STATE& s = g_sessions[thread_self()];
    g_c.wait_node = s.wait_node;
    // As the access layer does: the command rolls back, waits on the
    // holder's log node, and runs again.
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    const Node_LOG_REC* e = Node_FindLogRecord(s.wait_node, s.wait_key);
    ASSERT_NE(e, nullptr);
    g_c.holder = e->log_node;
    ASSERT_EQ(Node_Wait(g_c.holder, __FILE__, __LINE__), 0);
    g_c.b_saw_end = g_c.a_ended;
    ASSERT_EQ(Tlog_Begin(tx, "b again", 1), 0);
    g_c.b_retry = put(g_c.b, tx_key(203), "b");
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    g_c.b->bt_ctx->tx_node = nullptr;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  ASSERT_TRUE(runner.run({a, b}));
  EXPECT_EQ(g_c.b_first, -1);
  EXPECT_EQ(g_c.b_status, make_error_status(ERR_MOD_BT, ERR_SEV_E, BT_E_PAGE));
  EXPECT_EQ(g_c.lock_state, 0) << "the node lock was kept after the conflict";
  EXPECT_EQ(g_c.wait_node, node_);
  EXPECT_EQ(g_c.holder, g_c.tx_a);
  EXPECT_TRUE(g_c.b_saw_end);
  EXPECT_EQ(g_c.b_retry, 0);
  if (g_c.first_commits) m[tx_key(201)] = "a";
  m[tx_key(203)] = "b";
  expect_tree(h, m, "after both");
  EXPECT_EQ(live_entries(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Btree, BtreeTxContend, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "FirstCommits" : "FirstRollsBack"; });

// A split changes its parent, which its transaction then holds until it
// ends. Another transaction's insert that fits its leaf reads that parent
// as committed and goes on; one that must split a leaf under it stops
// before changing anything, with the wait recorded.
struct PassParent {
  btree_HANDLE* a = nullptr;
  btree_HANDLE* b = nullptr;
  int fits = -2, splits = -2;
  ErrorStatus status = 0;
  int lock_state = -1;
  uint32_t actions_before = 0, actions_after = 0;
  Node* wait_node = nullptr;
};
PassParent g_pp;

TEST_F(BtreeTxContend, AnInsertPassesAParentThatAnotherTransactionsSplitChanged) {
  create();
  btree_HANDLE* h = open();
  Model m;
  // Ascending keys: the root's split left its first leaf half full, the
  // sort splits after it fill the others completely.
  insert_range(h, &m, 0, 410, 2);
  btree_CTX ctx_a, ctx_b;
  g_pp = PassParent{};
  g_pp.a = open(&ctx_a);
  g_pp.b = open(&ctx_b);
  auto body = [] {
    Node* ta = session_tx();
    Node* tb = Tlog_Create();
    ASSERT_NE(tb, nullptr);
    ASSERT_EQ(Tlog_Begin(ta, "a", 1), 0);
    ASSERT_EQ(Tlog_Begin(tb, "b", 1), 0);
    g_pp.a->bt_ctx->tx_node = ta;
    g_pp.b->bt_ctx->tx_node = tb;
    ASSERT_EQ(put(g_pp.a, tx_key(101), tx_data(101)), 0);  // splits a full leaf
    g_pp.fits = put(g_pp.b, tx_key(1), tx_data(1));
    g_pp.actions_before = Tlog_NumActions(tb, 0);
    g_pp.splits = put(g_pp.b, tx_key(301), tx_data(301));
    g_pp.status = get_error();
    g_pp.actions_after = Tlog_NumActions(tb, 0);
    g_pp.lock_state = Node_LockState(g_pp.a->node);
    g_pp.wait_node = g_sessions[thread_self()].wait_node;
    for (Node* tx : {ta, tb}) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    }
    g_pp.a->bt_ctx->tx_node = nullptr;
    g_pp.b->bt_ctx->tx_node = nullptr;
    ASSERT_EQ(Tlog_Destroy(tb), 0);
    ASSERT_EQ(Tlog_Destroy(ta), 0);
  };
  ASSERT_TRUE(runner.run({body}));
  EXPECT_EQ(g_pp.fits, 0) << "an insert that fits its leaf waited for another's split";
  EXPECT_EQ(g_pp.splits, -1);
  EXPECT_EQ(g_pp.status, make_error_status(ERR_MOD_BT, ERR_SEV_E, BT_E_PAGE));
  EXPECT_EQ(g_pp.actions_after, g_pp.actions_before) << "the refused split changed pages";
  EXPECT_EQ(g_pp.lock_state, 0);
  EXPECT_EQ(g_pp.wait_node, node_);
  m[tx_key(101)] = tx_data(101);
  m[tx_key(1)] = tx_data(1);
  expect_tree(h, m, "after both");
  EXPECT_EQ(put(h, tx_key(301), tx_data(301)), 0);
  m[tx_key(301)] = tx_data(301);
  expect_tree(h, m, "after the retry");
  EXPECT_EQ(live_entries(), 0u);
}

// --- Many transactions putting into a large tree ----------------------------------------

constexpr int kWriters = 8;
constexpr int kBaseKeys = 3000;  // even keys below, put outside any transaction
constexpr int kPerWriter = 150;  // odd keys each writer puts, spread over the tree

struct Writers {
  btree_CTX ctx[kWriters];  // outlive the test: the fixture closes the handles
  btree_HANDLE* h[kWriters] = {};
  int next = 0;
  int waits = 0;   // puts that met a page another transaction held
  int failed = 0;  // puts that failed otherwise
};
Writers g_w;

// Writer j's keys: every kWriters-th odd key, so that neighbouring keys
// (one leaf, adjacent leaves) belong to different writers.
int writer_key(int j, int i) { return 2 * (i * kWriters + j) + 1; }
static_assert(2 * kPerWriter * kWriters < kBaseKeys);

TEST_F(BtreeTxContend, SplitsThatMeetHeldPagesWaitAndRetryWithoutAFailureLine) {
  create();
  btree_HANDLE* h = open();
  Model m;
  insert_range(h, &m, 0, kBaseKeys, 2);
  g_w = Writers{};
  for (int j = 0; j < kWriters; ++j) g_w.h[j] = open(&g_w.ctx[j]);
  // One writer: each put a transaction of its own, as the access layer
  // runs a command: on a page held elsewhere it rolls back, waits for the
  // holder and runs again. Between the put and the commit it lets the
  // others run, as the log force does, so that the transactions overlap.
  auto writer = [] {
    const int j = g_w.next++;
    btree_HANDLE* w = g_w.h[j];
    Node* tx = session_tx();
    std::mt19937 rng(static_cast<unsigned>(j + 1));
    std::vector<int> keys;
    for (int i = 0; i < kPerWriter; ++i) keys.push_back(writer_key(j, i));
    std::shuffle(keys.begin(), keys.end(), rng);
    w->bt_ctx->tx_node = tx;
    for (int k : keys) {
      for (;;) {
        ASSERT_EQ(Tlog_Begin(tx, "put", 1), 0);
        if (put(w, tx_key(k), tx_data(k)) == 0) break;
        ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
        Ssn_STATE& s = g_sessions[thread_self()];
        if (s.wait_node == nullptr) {
          ++g_w.failed;
          return;
        }
        ++g_w.waits;
        const Node_LOG_REC* e = Node_FindLogRecord(s.wait_node, s.wait_key);
        s.wait_node = nullptr;
        if (e != nullptr && e->log_node != nullptr) {
          ASSERT_EQ(Node_Wait(e->log_node, __FILE__, __LINE__), 0);
        }
      }
      for (int y = 0; y < 3; ++y) thread_yield();
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    }
    w->bt_ctx->tx_node = nullptr;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  testsupport::LogCapture log("B2");
  ASSERT_TRUE(log.ok());
  const uint32_t splits = btree_GetStats()->page_splits;
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(kWriters, writer)));
  EXPECT_EQ(g_w.failed, 0);
  EXPECT_GT(g_w.waits, 0) << "the writers never met";
  EXPECT_GT(btree_GetStats()->page_splits, splits);
  // Waiting for another transaction is no failure: nothing at level 0.
  EXPECT_EQ(log.count("B0:"), 0) << log.text();
  EXPECT_GT(log.count("bt_split"), 0) << "no split met a held page";
  for (int j = 0; j < kWriters; ++j)
    for (int i = 0; i < kPerWriter; ++i) m[tx_key(writer_key(j, i))] = tx_data(writer_key(j, i));
  expect_tree(h, m, "after the writers");
  expect_gets(h, m, "after the writers");
  EXPECT_EQ(live_entries(), 0u);
}

}  // namespace
}  // namespace btree_test
