// The catalog inside transactions: VMETA records on the transaction's LOG
// chain (two changes of one table, only the latest carried to the final
// commit), a database creation rolled back byte for byte, the typed
// functions committed and rolled back, a nested rollback of one level,
// the table lock between two transactions under the task kernel (the
// second waits for the first's end; a wait cut short refuses), and a
// change outside transactions that waits for the transaction holding the
// table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "index/syscat_tx_fixture.h"
#include "storage/disk_bytes.h"
#include "storage/pool.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog_fixture.h"

namespace syscat_tx_test {
namespace {

// The opcode-17 records of a log node's chain, with their owners and
// blocks, read straight from the blocks.
struct Logged {
  Node_ADDR block;
  uint32_t owner_id;
  SysCat_RECORD rec;
  std::vector<uint8_t> bytes;
};

std::vector<Logged> catalog_records(Node* log_node, int channel) {
  std::vector<Logged> out;
  for (const tlog_test::RecView& r : tlog_test::chain(log_node, channel)) {
    if (r.head.opcode != Tlog_OP_SYSCAT) continue;
    Logged l{r.block, r.head.owner_id, {}, r.data};
    EXPECT_EQ(SysCat_DecodeRecord(l.bytes.data(), l.bytes.size(), &l.rec), 0);
    out.push_back(l);
  }
  return out;
}

bool same_block(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset;
}

SysCat_VAT vat(uint32_t id, const char* name) {
  return SysCat_VAT{id, 0, const_cast<char*>(name), {}, id};
}

uint32_t anchor_count(int sys_id) {
  SysCat_VMETA vm;
  EXPECT_EQ(SysCat_get_vmeta(SysCat_map_sysid(nullptr, sys_id), &vm, nullptr), 0);
  return vm.anchor.count;
}

bool has_vat(const char* name, Node* tx) {
  SysCat_VAT* v = SysCat_get_vat_by_name(name, tx);
  free(v);
  return v != nullptr;
}

using SysCatTx = CatalogTxFixture;

TEST_F(SysCatTx, TwoVmetaUpdatesInOneTransactionCarryOnlyTheLatestToTheFinalCommit) {
  SysCat_MAP* e = SysCat_map_sysid(nullptr, SysVat_ID);
  const uint32_t before = anchor_count(SysVat_ID);
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "two vats", 1), 0);
  SysCat_VAT v1 = vat(501, "first");
  SysCat_VAT v2 = vat(502, "second");
  ASSERT_EQ(SysCat_add_vat(&v1, tx), 0);
  ASSERT_EQ(SysCat_add_vat(&v2, tx), 0);
  // The transaction sees its rows; outside it the table is as it was.
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, tx), static_cast<int>(before + 2));
  EXPECT_TRUE(has_vat("second", tx));
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, nullptr), static_cast<int>(before));
  EXPECT_FALSE(has_vat("second", nullptr));
  EXPECT_EQ(anchor_count(SysVat_ID), before);

  // Two VMETA records of the table, the second pointing back at the first;
  // the table lock names the second and is held by tx, with no hold open.
  std::vector<Logged> log;
  for (const Logged& l : catalog_records(tx, Tlog_CHANNEL_LOG))
    if (l.owner_id == Node_GetId(e->node)) log.push_back(l);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rec.opcode, static_cast<uint32_t>(SysCat_OP_VMETA));
  EXPECT_EQ(log[0].bytes.size(), SysCat_VMETA_REC_SIZE);
  EXPECT_FALSE(Node_AddrValid(&log[0].rec.prev));
  EXPECT_TRUE(same_block(log[1].rec.prev, log[0].block));
  EXPECT_EQ(log[0].rec.vmeta.anchor.count, before + 1);
  EXPECT_EQ(log[1].rec.vmeta.anchor.count, before + 2);
  Node_LOG_REC* lock = Node_FindLogRecord(e->node, 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(lock->log_node, tx);
  EXPECT_EQ(lock->state, 0u);
  EXPECT_TRUE(same_block(lock->log_addr, log[1].block));

  // Pre-commit carries the latest VMETA only, unchanged, to DO_LOG.
  ASSERT_EQ(Tlog_Commit(tx), 0);
  const std::vector<Logged> done = catalog_records(tx, Tlog_CHANNEL_DO_LOG);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].owner_id, Node_GetId(e->node));
  EXPECT_EQ(done[0].bytes, log[1].bytes);
  Tlog_FinalCommit(tx);
  EXPECT_EQ(anchor_count(SysVat_ID), before + 2);
  EXPECT_TRUE(has_vat("first", nullptr));
  EXPECT_TRUE(has_vat("second", nullptr));
  expect_no_locks();
  reopen();
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, nullptr), static_cast<int>(before + 2));
  EXPECT_TRUE(has_vat("second", nullptr));
}

int match_link(const void* row, void* arg) {
  return static_cast<const SysCat_OBJECT*>(row)->link == *static_cast<uint32_t*>(arg);
}

TEST_F(SysCatTx, RollingBackADatabaseCreationLeavesTheCatalogByteForByte) {
  // Some committed content first, so the creation changes pages in use.
  SysCat_DB first{0, const_cast<char*>("first"), 0, 0};
  ASSERT_EQ(add_db(&first, 1, nullptr), 0);
  // (Taking an id outside a transaction advances the counter at once.)
  const uint32_t next_db = SysCat_get_unique_id(nullptr, SysDb_ID, nullptr) + 1;
  Vol_Sync(Vol_TIO_SYNC);
  const Picture before = picture();
  const uint32_t nodes = node_count();

  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "create", 1), 0);
  SysCat_DB db{0, const_cast<char*>("rolled"), 0, 0};
  ASSERT_EQ(add_db(&db, 1, tx), 0);
  EXPECT_EQ(db.dbid, next_db);
  ASSERT_NE(db.nodeid, 0u);
  EXPECT_EQ(node_count(), nodes + 10);
  SysCat_DB* seen = SysCat_get_db_by_name("rolled", 0, 0, tx);
  ASSERT_NE(seen, nullptr);
  free(seen);
  EXPECT_EQ(SysCat_get_db_by_name("rolled", 0, 0, nullptr), nullptr);
  // The nodes it made, as its sysobjects rows list them.
  std::vector<uint32_t> made{db.nodeid};
  SysCat_GETSTATE st;
  void* row = nullptr;
  const SysCat_FILTER f{match_link, &db.nodeid};
  for (int rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_FIRST, &f, &st, &row, tx); rc == 0;
       rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_NEXT, &f, &st, &row, tx)) {
    made.push_back(static_cast<SysCat_OBJECT*>(row)->id);
    free(row);
  }
  ASSERT_EQ(made.size(), 10u);

  ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
  EXPECT_EQ(differences(before, picture()), "");
  EXPECT_EQ(node_count(), nodes);
  for (uint32_t id : made) EXPECT_EQ(Node_Find(id), nullptr) << id;
  expect_no_locks();
  EXPECT_EQ(SysCat_get_unique_id(nullptr, SysDb_ID, nullptr), next_db);
  // The set goes on: the same database, committed this time, opens.
  ASSERT_EQ(Tlog_Begin(tx, "create again", 1), 0);
  SysCat_DB again{0, const_cast<char*>("rolled"), 0, 0};
  ASSERT_EQ(add_db(&again, 1, tx), 0);
  commit(tx);
  reopen();
  SysCat_DB* d = SysCat_get_db_by_name("rolled", 0, 0, nullptr);
  ASSERT_NE(d, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(d);
  free(d);
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(SysCat_entry_cnt(cat, SysTables_ID, nullptr), 10);
  SysCat_db_close(cat);
}

// --- The typed functions in a transaction ---------------------------------------------------

// One run of typed changes over the server catalog and a database's
// catalog, each checked as the transaction sees it.
void typed_changes(SysCat_DB_CATALOG* cat, Node* tx) {
  SysCat_USER ann{0, const_cast<char*>("ann"), nullptr, 1};
  SysCat_USER bob{0, const_cast<char*>("bob"), nullptr, 1};
  ASSERT_EQ(SysCat_add_user(&ann, tx), 0);
  ASSERT_EQ(SysCat_add_user(&bob, tx), 0);
  EXPECT_EQ(bob.uid, ann.uid + 1);
  SysCat_USER ann2{ann.uid, const_cast<char*>("ann"), nullptr, 7};
  ASSERT_EQ(SysCat_upd_user(&ann2, tx), 0);
  ASSERT_EQ(SysCat_del_user(bob.uid, tx), 0);
  SysCat_VAT v = vat(77, "typed");
  ASSERT_EQ(SysCat_add_vat(&v, tx), 0);
  SysCat_GROUP g{0, const_cast<char*>("staff"), 1};
  ASSERT_EQ(SysCat_add_group(cat, &g, tx), 0);
  EXPECT_EQ(g.gid, 2u);
  ASSERT_EQ(SysCat_add_member(cat, ann.uid, g.gid, tx), 0);
  SysCat_PRIVILEGE p{g.gid, 100, 3};
  ASSERT_EQ(SysCat_add_privilege(cat, &p, tx), 0);
  SysCat_TABLE t{};
  t.name = const_cast<char*>("orders");
  t.type = 1;
  ASSERT_EQ(SysCat_add_table(cat, &t, tx), 0);
  EXPECT_EQ(t.tableid, 100u);

  SysCat_USER* u = SysCat_get_user_by_name("ann", tx);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->priv, 7u);
  free(u);
  EXPECT_EQ(SysCat_get_user_by_name("bob", tx), nullptr);
  EXPECT_EQ(SysCat_is_member(cat, ann.uid, g.gid, tx), 1);
  SysCat_PRIVILEGE* got = SysCat_get_table_privilege(cat, 100, g.gid, tx);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->map, 3u);
  free(got);
  // Outside the transaction none of it shows yet.
  EXPECT_EQ(SysCat_get_user_by_name("ann", nullptr), nullptr);
  EXPECT_EQ(SysCat_is_member(cat, ann.uid, g.gid, nullptr), 0);
  EXPECT_EQ(SysCat_get_table_by_id(cat, 100, nullptr), nullptr);
}

class TypedInATransaction : public SysCatTx, public ::testing::WithParamInterface<bool> {};

TEST_P(TypedInATransaction, CommittedAllOfItStaysRolledBackNoneOfIt) {
  const bool commits = GetParam();
  SysCat_DB db{0, const_cast<char*>("typed"), 0, 0};
  ASSERT_EQ(add_db(&db, 1, nullptr), 0);
  SysCat_DB_CATALOG* cat = SysCat_db_open(&db);
  ASSERT_NE(cat, nullptr);
  Vol_Sync(Vol_TIO_SYNC);
  const Picture server_before = picture();
  const Picture db_before = picture(cat);
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "typed", 1), 0);
  typed_changes(cat, tx);
  if (HasFatalFailure()) {
    SysCat_db_close(cat);
    return;
  }
  if (!commits) {
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    EXPECT_EQ(differences(server_before, picture()), "");
    EXPECT_EQ(differences(db_before, picture(cat)), "");
    expect_no_locks();
    EXPECT_EQ(SysCat_get_user_by_name("ann", nullptr), nullptr);
    SysCat_db_close(cat);
    return;
  }
  commit(tx);
  expect_no_locks();
  SysCat_db_close(cat);
  reopen();
  SysCat_USER* ann = SysCat_get_user_by_name("ann", nullptr);
  ASSERT_NE(ann, nullptr);
  EXPECT_EQ(ann->priv, 7u);
  EXPECT_EQ(SysCat_get_user_by_name("bob", nullptr), nullptr);
  EXPECT_TRUE(has_vat("typed", nullptr));
  SysCat_DB* d = SysCat_get_db_by_name("typed", 0, 0, nullptr);
  ASSERT_NE(d, nullptr);
  cat = SysCat_db_open(d);
  free(d);
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(SysCat_is_member(cat, ann->uid, 2, nullptr), 1);
  SysCat_TABLE* t = SysCat_get_table_by_id(cat, 100, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t->name, "orders");
  free(t);
  free(ann);
  // The counters went on: the next ids follow the committed ones.
  SysCat_GROUP g{0, const_cast<char*>("more"), 1};
  ASSERT_EQ(SysCat_add_group(cat, &g, nullptr), 0);
  EXPECT_EQ(g.gid, 3u);
  SysCat_db_close(cat);
}

INSTANTIATE_TEST_SUITE_P(SysCatTx, TypedInATransaction, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Committed" : "RolledBack"; });

// A sub-transaction rolled back takes its VMETA records with it: the table
// lock goes back to the outer level's latest record, and the counter the
// inner level raised is the outer level's again.
TEST_F(SysCatTx, ANestedRollbackReturnsTheTableToTheOuterLevel) {
  Node* tx = new_tx();
  ASSERT_EQ(Tlog_Begin(tx, "outer", 1), 0);
  SysCat_USER ann{0, const_cast<char*>("ann"), nullptr, 1};
  ASSERT_EQ(SysCat_add_user(&ann, tx), 0);
  ASSERT_EQ(Tlog_Begin(tx, "inner", 2), 0);
  SysCat_USER bob{0, const_cast<char*>("bob"), nullptr, 1};
  ASSERT_EQ(SysCat_add_user(&bob, tx), 0);
  SysCat_VAT v = vat(88, "inner only");
  ASSERT_EQ(SysCat_add_vat(&v, tx), 0);
  ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
  EXPECT_EQ(SysCat_get_user_by_name("bob", tx), nullptr);
  EXPECT_FALSE(has_vat("inner only", tx));
  // The vat table's lock had records of the inner level only: it is gone.
  EXPECT_EQ(Node_FindLogRecord(SysCat_map_sysid(nullptr, SysVat_ID)->node, 0), nullptr);
  SysCat_USER cy{0, const_cast<char*>("cy"), nullptr, 1};
  ASSERT_EQ(SysCat_add_user(&cy, tx), 0);
  EXPECT_EQ(cy.uid, ann.uid + 1);
  commit(tx);
  EXPECT_EQ(SysCat_get_user_by_name("bob", nullptr), nullptr);
  SysCat_USER* got = SysCat_get_user_by_name("cy", nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->uid, ann.uid + 1);
  free(got);
  expect_no_locks();
}

// Without the task kernel a second transaction of the same (only) task
// cannot wait for the first: it refuses instead of sleeping on itself.
TEST_F(SysCatTx, ASecondTransactionOfTheSameTaskRefusesRatherThanWaitForItself) {
  Node* a = new_tx();
  Node* b = new_tx();
  ASSERT_EQ(Tlog_Begin(a, "a", 1), 0);
  ASSERT_EQ(Tlog_Begin(b, "b", 1), 0);
  SysCat_VAT v = vat(90, "a's");
  ASSERT_EQ(SysCat_add_vat(&v, a), 0);
  SysCat_VAT w = vat(91, "b's");
  EXPECT_EQ(SysCat_add_vat(&w, b), -1);
  EXPECT_EQ(code(), SC_E_NODE);
  // Nor does a change outside transactions land under a's.
  SysCat_VAT x = vat(92, "outside");
  EXPECT_EQ(SysCat_add_vat(&x, nullptr), -1);
  // Reading is no change: it goes on with the committed rows.
  EXPECT_FALSE(has_vat("a's", nullptr));
  EXPECT_EQ(Node_LockState(SysCat_map_sysid(nullptr, SysVat_ID)->node), 0);
  commit(a);
  ASSERT_EQ(SysCat_add_vat(&w, b), 0);
  commit(b);
  ASSERT_EQ(SysCat_add_vat(&x, nullptr), 0);
  EXPECT_TRUE(has_vat("a's", nullptr));
  EXPECT_TRUE(has_vat("b's", nullptr));
  EXPECT_TRUE(has_vat("outside", nullptr));
  expect_no_locks();
}

// --- Two transactions on one table under the task kernel ----------------------------------------

struct Contend {
  bool first_commits = true;
  bool cut_wait = false;
  Node* tx_a = nullptr;
  Task* b = nullptr;
  uint32_t a_uid = 0;
  uint32_t b_uid = 0;
  bool a_ended = false;
  bool b_saw_end = false;
  int b_result = -2;
  int b_status = 0;
};
Contend g_c;

struct ContendCase {
  const char* name;
  bool first_commits;
  bool cut_wait;
};

class TwoTransactions : public SysCatTx, public ::testing::WithParamInterface<ContendCase> {
 protected:
  void TearDown() override {
    tio_cleanup();
    SysCatTx::TearDown();
  }
  storage_test::TaskRunner runner;
};

TEST_P(TwoTransactions, TheSecondWaitsForTheFirstsEnd) {
  g_c = Contend{};
  g_c.first_commits = GetParam().first_commits;
  g_c.cut_wait = GetParam().cut_wait;
  ASSERT_EQ(tio_setup(), 0);
  auto a = [] {
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(Tlog_Begin(tx, "a", 1), 0);
    SysCat_USER u{0, const_cast<char*>("from a"), nullptr, 1};
    ASSERT_EQ(SysCat_add_user(&u, tx), 0);
    g_c.a_uid = u.uid;
    g_c.tx_a = tx;
    // B is asleep on a's log node: a's table lock keeps it out.
    while (g_c.b == nullptr || thread_wchan(g_c.b) != &tx->wait) thread_yield();
    if (g_c.cut_wait) {
      thread_cut(g_c.b, -1);
      while (g_c.b_result == -2) thread_yield();
    }
    if (g_c.first_commits) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    } else {
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    }
    g_c.a_ended = true;
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  auto b = [] {
    while (g_c.tx_a == nullptr) thread_yield();
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    g_c.b = thread_self();
    ASSERT_EQ(Tlog_Begin(tx, "b", 1), 0);
    SysCat_USER u{0, const_cast<char*>("from b"), nullptr, 1};
    g_c.b_result = SysCat_add_user(&u, tx);
    g_c.b_status = get_error();
    g_c.b_saw_end = g_c.a_ended;
    g_c.b_uid = u.uid;
    if (g_c.b_result == 0) {
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
    } else {
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    }
    ASSERT_EQ(Tlog_Destroy(tx), 0);
  };
  ASSERT_TRUE(runner.run({a, b}));
  SysCat_USER* from_a = SysCat_get_user_by_name("from a", nullptr);
  SysCat_USER* from_b = SysCat_get_user_by_name("from b", nullptr);
  if (g_c.cut_wait) {
    EXPECT_EQ(g_c.b_result, -1);
    EXPECT_EQ(error_module(g_c.b_status), ERR_MOD_VOL);
    EXPECT_EQ(error_code(g_c.b_status), Node_E_LOCK);
    EXPECT_FALSE(g_c.b_saw_end);
    EXPECT_EQ(from_b, nullptr);
  } else {
    EXPECT_EQ(g_c.b_result, 0);
    EXPECT_TRUE(g_c.b_saw_end);
    ASSERT_NE(from_b, nullptr);
    // B read the counter after a's end: one past a's, or a's own again.
    EXPECT_EQ(g_c.b_uid, g_c.first_commits ? g_c.a_uid + 1 : g_c.a_uid);
  }
  EXPECT_EQ(from_a != nullptr, g_c.first_commits);
  free(from_a);
  free(from_b);
  expect_no_locks();
}

INSTANTIATE_TEST_SUITE_P(SysCatTx, TwoTransactions,
                         ::testing::Values(ContendCase{"FirstCommits", true, false},
                                           ContendCase{"FirstRollsBack", false, false},
                                           ContendCase{"WaitCutShort", true, true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace syscat_tx_test
