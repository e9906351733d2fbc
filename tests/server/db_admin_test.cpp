// DBCREATE, DBPURGE and DBERASE over the sample database defined in the
// catalog without storage: create of every set and of a partly created
// database (node ids in the catalog, sysobjects rows "SET.ITEM", typed key
// definitions with the index word last), the refusals in their order,
// purge of sets and of the whole database, erase of a detail alone and
// with its master, 60 records erased in three transactions, an erase that
// waits for a record another transaction holds, and the dbid refused after
// every request.
#include "server/db_admin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_create.h"
#include "access/idb_dbctx.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "access/idb_logon.h"
#include "access/idb_lookup.h"
#include "access/idb_open.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/ssn.h"
#include "storage/tlog.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "support/log_capture.h"
#include "support/sample_db.h"

namespace {

using access_test::acting;

class DbAdminTest : public syscat_test::CatalogFixture {
 protected:
  DbAdminTest() { with_log_ = true; }
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(access_test::start_access_log());
    ASSERT_EQ(testsupport::write_sample_db("sample", false, &d_), 0);
    boss_ = user("boss", IDB_CAP_DBA);
    clerk_ = user("clerk", IDB_CAP_CONNECT);
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    ASSERT_NE(db, nullptr);
    db_node_ = db->nodeid;
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    ASSERT_NE(cat, nullptr);
    // boss's group may do everything; clerk's may read every set and erase
    // ORDERS only.
    SysCat_GROUP admins{0, const_cast<char*>("admins"), 0};
    SysCat_GROUP clerks{0, const_cast<char*>("clerks"), 0};
    ASSERT_EQ(SysCat_add_group(cat, &admins, nullptr), 0);
    ASSERT_EQ(SysCat_add_group(cat, &clerks, nullptr), 0);
    ASSERT_EQ(SysCat_add_member(cat, boss_, admins.gid, nullptr), 0);
    ASSERT_EQ(SysCat_add_member(cat, clerk_, clerks.gid, nullptr), 0);
    for (uint32_t table : {d_.customer, d_.regions, d_.orders}) {
      SysCat_PRIVILEGE p{admins.gid, table, 7};
      ASSERT_EQ(SysCat_add_privilege(cat, &p, nullptr), 0);
      SysCat_PRIVILEGE q{clerks.gid, table, table == d_.orders ? 5u : 1u};
      ASSERT_EQ(SysCat_add_privilege(cat, &q, nullptr), 0);
    }
    SysCat_db_close(cat);
    ssn_set_lookup([](Task*) -> Ssn_STATE* { return acting() ? &acting()->ssn : nullptr; });
    s_ = session("boss");
  }
  void TearDown() override {
    access_test::end_sessions(sessions_);
    CatalogFixture::TearDown();
    Tlog_ResetTables();
  }
  uint32_t user(const char* name, uint32_t priv) {
    const uint32_t uid = testsupport::add_user(name, priv);
    EXPECT_NE(uid, 0u) << name;
    return uid;
  }
  idb_session* session(const char* name) { return access_test::logon_session(sessions_, name); }
  int32_t open(int32_t mode, idb_session* s = nullptr) {
    if (s == nullptr) s = s_;
    const int32_t dbid = idb__open_database(s, "sample", mode);
    EXPECT_GT(dbid, 0) << s->error.code;
    return dbid;
  }
  using Fn = int (*)(idb_session*, int32_t, int32_t, int32_t*, uint32_t, const int32_t*);
  // Runs fn on a fresh mode-13 open; status word 0.
  int32_t run(Fn fn, int32_t mode = 1, std::vector<int32_t> list = {}, idb_session* s = nullptr) {
    if (s == nullptr) s = s_;
    const int32_t dbid = open(13, s);
    last_dbid_ = dbid;
    std::fill(std::begin(st_), std::end(st_), -99);
    fn(s, dbid, mode, st_, static_cast<uint32_t>(list.size()), list.data());
    // The database is closed on every ending.
    EXPECT_EQ(idb__get_db_ctx(s, dbid), nullptr);
    return st_[0];
  }
  SysCat_TABLE* table(uint32_t id) {
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    SysCat_TABLE* t = SysCat_get_table_by_id(cat, id, nullptr);
    SysCat_db_close(cat);
    return t;
  }
  uint32_t table_node(uint32_t id) {
    SysCat_TABLE* t = table(id);
    const uint32_t n = t != nullptr ? t->nodeid : 0;
    free(t);
    return n;
  }
  uint32_t key_node(uint32_t idxid) {
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    SysCat_INDEX* x = SysCat_get_index_by_id(cat, idxid, nullptr);
    SysCat_TABLEINDEX* ti = SysCat_get_tableindex_by_id(cat, d_.orders, idxid, nullptr);
    const uint32_t n = x != nullptr && x->nodeid != 0 ? x->nodeid : ti != nullptr ? ti->nodeid : 0;
    free(x);
    free(ti);
    SysCat_db_close(cat);
    return n;
  }
  // The catalog's node ids in the sample record for the record writer.
  void fill_nodes() {
    d_.customer_node = table_node(d_.customer);
    d_.regions_node = table_node(d_.regions);
    d_.orders_node = table_node(d_.orders);
    d_.cust_key_node = key_node(d_.cust_key);
    d_.region_key_node = key_node(d_.region_key);
    d_.ord_ix_node = key_node(d_.ord_ix);
  }
  std::string object_name(uint32_t id) {
    SysCat_OBJECT* o = SysCat_get_object_by_id(id, nullptr);
    if (o == nullptr) return "";
    std::string n = o->name;
    EXPECT_EQ(o->link, db_node_) << n;
    EXPECT_EQ(o->type, n.find('.') == std::string::npos ? 3u : 4u) << n;
    free(o);
    return n;
  }
  // A record of a file by node id, outside any transaction.
  std::vector<uint8_t> record(uint32_t node_id, uint32_t recno, uint32_t len, int* rc) {
    std::vector<uint8_t> b(len);
    Node* n = Node_Find(node_id);
    EXPECT_NE(n, nullptr);
    EXPECT_EQ(Node_Open(n), 0);
    *rc = FixRec_Get(n, recno, b.data(), nullptr, nullptr);
    Node_Close(n);
    return b;
  }
  uint32_t records(uint32_t node_id) {
    Node* n = Node_Find(node_id);
    EXPECT_EQ(Node_Open(n), 0);
    const uint32_t c = FixRec_NumRecords(n);
    Node_Close(n);
    return c;
  }
  uint32_t keys(uint32_t node_id) {
    Node* n = Node_Find(node_id);
    btree_CTX ctx{};
    btree_HANDLE* t = btree_OpenNode(n, &ctx, BT_OPEN_RDONLY);
    EXPECT_NE(t, nullptr);
    uint32_t c = 0;
    btree_DBT k, v;
    for (int rc = btree_Seq(t, &k, &v, BT_SEQ_FIRST); rc == RET_SUCCESS;
         rc = btree_Seq(t, &k, &v, BT_SEQ_NEXT))
      ++c;
    btree_CloseNode(t);
    return c;
  }

  testsupport::SampleDb d_;
  uint32_t boss_ = 0, clerk_ = 0, db_node_ = 0;
  idb_session* s_ = nullptr;
  int32_t last_dbid_ = 0;
  std::vector<idb_session*> sessions_;
  idb_status st_{};
};

TEST_F(DbAdminTest, CreateMakesEveryNodeAndListsIt) {
  ASSERT_EQ(run(db_create), 0);
  EXPECT_EQ(st_[5], IDB_CREATE + (13 << 12));
  EXPECT_EQ(st_[8], 1);
  for (int i : {4, 6, 7, 9}) EXPECT_EQ(st_[i], 0);
  fill_nodes();
  EXPECT_EQ(object_name(d_.customer_node), "CUSTOMER");
  EXPECT_EQ(object_name(d_.orders_node), "ORDERS");
  EXPECT_EQ(object_name(d_.cust_key_node), "CUSTOMER.CUST-NO");
  EXPECT_EQ(object_name(d_.region_key_node), "REGIONS.REGION");
  EXPECT_EQ(object_name(d_.ord_ix_node), "ORDERS.ORD-IX");
  // The record files hold the media records; the index's key ends with
  // the index word at round4(rec_len).
  Node* orders = Node_Find(d_.orders_node);
  ASSERT_EQ(Node_Open(orders), 0);
  EXPECT_EQ(FixRec_RecordSize(orders), 52u);
  Node_Close(orders);
  btree_CTX ctx{};
  btree_HANDLE* t = btree_OpenNode(Node_Find(d_.ord_ix_node), &ctx, BT_OPEN_RDONLY);
  ASSERT_NE(t, nullptr);
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  EXPECT_EQ(kd->k_flags, IDB_KTYPED);
  ASSERT_EQ(kd->k_nparts, 3u);
  const uint32_t want[3][3] = {{12, 4, IDB_KT_CHAR}, {0, 4, IDB_KT_INT32}, {32, 4, IDB_KT_INT32}};
  for (int p = 0; p < 3; ++p) {
    EXPECT_EQ(kd->k_part[p].kp_start, want[p][0]) << p;
    EXPECT_EQ(kd->k_part[p].kp_leng, want[p][1]) << p;
    EXPECT_EQ(kd->k_part[p].kp_type, want[p][2]) << p;
  }
  btree_CloseNode(t);
  // The records of the sample go in through the record layer, and DBOPEN
  // now finds a created database.
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  idb_status st{};
  EXPECT_GT(idb_open(s_, "sample", nullptr, 1, st), 0);
  EXPECT_EQ(st[0], 0);
}

TEST_F(DbAdminTest, PartlyCreatedDatabaseIsCompleted) {
  ASSERT_EQ(run(db_create, 1, {0, 1, 0}), 0);  // REGIONS alone
  EXPECT_NE(table_node(d_.regions), 0u);
  EXPECT_EQ(table_node(d_.customer), 0u);
  const uint32_t regions = table_node(d_.regions);
  testsupport::LogCapture log("P2");
  ASSERT_EQ(run(db_create), 0);
  EXPECT_TRUE(log.contains(" create set  2: data set already created")) << log.text();
  EXPECT_EQ(table_node(d_.regions), regions);
  EXPECT_NE(table_node(d_.customer), 0u);
  EXPECT_NE(table_node(d_.orders), 0u);
}

TEST_F(DbAdminTest, RefusalsInTheirOrderCloseTheDatabase) {
  // -11: no such dbid.
  std::fill(std::begin(st_), std::end(st_), 0);
  EXPECT_EQ(db_create(s_, 99, 1, st_, 0, nullptr), S_BADID);
  EXPECT_EQ(st_[0], S_BADID);
  EXPECT_EQ(st_[5], IDB_CREATE);
  // -31: the mode; -21: the count; -31: not open for erase.
  EXPECT_EQ(run(db_create, 2), S_BADMODE);
  EXPECT_EQ(run(db_purge, 3), S_BADMODE);
  EXPECT_EQ(run(db_erase, 2), S_BADMODE);
  EXPECT_EQ(run(db_create, 1, {1, 1}), S_BAD);
  EXPECT_EQ(run(db_erase, 1, {1}), S_BAD);
  const int32_t dbid = open(1);
  EXPECT_EQ(db_create(s_, dbid, 1, st_, 0, nullptr), S_BADMODE);
  EXPECT_EQ(idb__get_db_ctx(s_, dbid), nullptr);
  // -5: neither the dba capability nor the administration privilege.
  idb_session* clerk = session("clerk");
  EXPECT_EQ(run(db_create, 1, {}, clerk), S_DENIED);
  EXPECT_EQ(run(db_purge, 1, {}, clerk), S_DENIED);
  acting() = s_;
  // 32: a transaction open on the session.
  ASSERT_EQ(Tlog_Begin(idb__tx_node(s_), "client", 7), 0);
  EXPECT_EQ(run(db_create), IDB_RC_OPEN_TX);
  EXPECT_EQ(run(db_erase), IDB_RC_OPEN_TX);
  ASSERT_EQ(Tlog_Rollback(idb__tx_node(s_), 0), 0);
  EXPECT_EQ(table_node(d_.customer), 0u);
}

TEST_F(DbAdminTest, PurgeOfSetsAndOfTheDatabase) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  // Purge ORDERS: its file and index go, the catalog forgets them.
  ASSERT_EQ(run(db_purge, 1, {0, 0, 1}), 0);
  EXPECT_EQ(st_[5], IDB_PURGE + (13 << 12));
  EXPECT_EQ(table_node(d_.orders), 0u);
  EXPECT_EQ(key_node(d_.ord_ix), 0u);
  EXPECT_EQ(Node_Find(d_.orders_node), nullptr);
  EXPECT_EQ(Node_Find(d_.ord_ix_node), nullptr);
  EXPECT_EQ(object_name(d_.orders_node), "");
  EXPECT_NE(Node_Find(d_.customer_node), nullptr);
  // A set without storage is logged and passed over.
  {
    testsupport::LogCapture log("P2");
    ASSERT_EQ(run(db_purge, 1, {0, 0, 1}), 0);
    EXPECT_TRUE(log.contains(" purge set  3: data set not created")) << log.text();
  }
  // Purging the last sets with storage purges the database itself.
  ASSERT_EQ(run(db_purge, 1, {1, 1, 0}), 0);
  EXPECT_EQ(SysCat_get_db_by_name("sample", 0, 0, nullptr), nullptr);
  EXPECT_EQ(Node_Find(d_.customer_node), nullptr);
  EXPECT_EQ(Node_Find(db_node_), nullptr);
  EXPECT_EQ(object_name(d_.cust_key_node), "");
  EXPECT_EQ(object_name(db_node_), "");
}

TEST_F(DbAdminTest, PurgeMode2PurgesTheDatabaseWithItsStorage) {
  ASSERT_EQ(run(db_create, 1, {1, 0, 0}), 0);
  fill_nodes();
  ASSERT_EQ(run(db_purge, 2, {0, 1, 0}), 0);
  EXPECT_EQ(SysCat_get_db_by_name("sample", 0, 0, nullptr), nullptr);
  EXPECT_EQ(Node_Find(d_.customer_node), nullptr);
  EXPECT_EQ(Node_Find(d_.cust_key_node), nullptr);
}

TEST_F(DbAdminTest, EraseOfADetailAloneZeroesItsMastersChainHeads) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  ASSERT_EQ(run(db_erase, 1, {0, 0, 1}), 0);
  EXPECT_EQ(st_[5], IDB_ERASE + (13 << 12));
  EXPECT_EQ(records(d_.orders_node), 0u);
  EXPECT_EQ(keys(d_.ord_ix_node), 0u);
  for (uint32_t r = 1; r <= 3; ++r) {
    int rc = 0;
    std::vector<uint8_t> c = record(d_.customer_node, r, 40, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::vector<uint8_t>(c.begin() + 28, c.end()), std::vector<uint8_t>(12, 0)) << r;
    EXPECT_EQ(memcmp(c.data(), r == 1 ? "C001" : r == 2 ? "C002" : "C003", 4), 0);
    std::vector<uint8_t> g = record(d_.regions_node, r, 16, &rc);
    EXPECT_EQ(std::vector<uint8_t>(g.begin() + 4, g.end()), std::vector<uint8_t>(12, 0)) << r;
  }
  EXPECT_EQ(keys(d_.cust_key_node), 3u);
  // A put after the erase starts again without stale keys: the file
  // hands out record 1 again.
  Node* orders = Node_Find(d_.orders_node);
  ASSERT_EQ(Node_Open(orders), 0);
  Node* tx = Tlog_Create();
  ASSERT_EQ(Tlog_Begin(tx, "t", 1), 0);
  uint8_t m[52] = {};
  uint32_t recno = 0;
  ASSERT_EQ(FixRec_Put(orders, &recno, m, nullptr, tx), 0);
  EXPECT_EQ(recno, 1u);
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  Tlog_Destroy(tx);
  Node_Close(orders);
}

// A read keeps the set's record file referenced while the database stays
// open; an erase, purge or create on that context lets it go first (a
// referenced node cannot be reset), and the close drops what is left.
TEST_F(DbAdminTest, ReadsHoldTheRecordFileOnlyWhileTheDatabaseIsOpen) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  Node* orders = Node_Find(d_.orders_node);
  ASSERT_NE(orders, nullptr);
  auto read = [&](int32_t dbid, const char* set) {
    std::vector<uint8_t> buf(64);
    const uint8_t recno[4] = {1, 0, 0, 0};
    return idb_get(s_, dbid, set, static_cast<int>(strlen(set)) + 1, 4, nullptr, 0, buf, recno,
                   st_);
  };
  struct Case {
    const char* what;
    Fn fn;
    int32_t mode;
    std::vector<int32_t> list;
  };
  const Case cases[] = {
      {"erase", db_erase, 1, {0, 0, 1}},
      {"purge", db_purge, 1, {0, 0, 1}},
      {"create", db_create, 1, {}},
  };
  for (const Case& c : cases) {
    const int32_t dbid = open(13);
    ASSERT_EQ(read(dbid, "CUSTOMER"), 0) << c.what;
    if (Node_Find(d_.orders_node) == orders) {
      const int before = Node_RefCount(orders);
      read(dbid, "ORDERS");
      read(dbid, "ORDERS");
      EXPECT_EQ(Node_RefCount(orders), before + 1) << c.what;
    }
    std::fill(std::begin(st_), std::end(st_), -99);
    c.fn(s_, dbid, c.mode, st_, static_cast<uint32_t>(c.list.size()), c.list.data());
    EXPECT_EQ(st_[0], 0) << c.what;
    EXPECT_EQ(idb__get_db_ctx(s_, dbid), nullptr) << c.what;
    if (Node* n = Node_Find(d_.orders_node)) {
      EXPECT_EQ(Node_RefCount(n), 0) << c.what;
    }
  }
  // Created anew: a new open reads the new, empty file and the close lets
  // it go.
  fill_nodes();
  Node* again = Node_Find(d_.orders_node);
  ASSERT_NE(again, nullptr);
  const int before = Node_RefCount(again);
  const int32_t dbid = open(1);
  read(dbid, "ORDERS");
  EXPECT_EQ(st_[0], S_DIREOF);
  EXPECT_EQ(Node_RefCount(again), before + 1);
  int32_t status[IDB_STATUS_WORDS];
  ASSERT_EQ(idb_close(s_, dbid, nullptr, 0, 1, status), 0);
  EXPECT_EQ(Node_RefCount(again), before);
}

TEST_F(DbAdminTest, EraseWithItsMasterLeavesTheChainHeads) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  // REGIONS is not erased: its heads are zeroed. CUSTOMER is: emptied.
  ASSERT_EQ(run(db_erase, 1, {1, 0, 1}), 0);
  EXPECT_EQ(records(d_.customer_node), 0u);
  EXPECT_EQ(records(d_.orders_node), 0u);
  EXPECT_EQ(keys(d_.cust_key_node), 0u);
  int rc = 0;
  std::vector<uint8_t> g = record(d_.regions_node, 1, 16, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(le_get32(g.data() + 4), 0u);
  EXPECT_EQ(keys(d_.region_key_node), 3u);
}

TEST_F(DbAdminTest, EraseByAUserWithoutErasePrivileges) {
  ASSERT_EQ(run(db_create), 0);
  idb_session* clerk = session("clerk");
  {
    // ORDERS alone may be erased; the others are passed over.
    testsupport::LogCapture log("I2");
    EXPECT_EQ(run(db_erase, 1, {}, clerk), 0);
    EXPECT_TRUE(log.contains("idb_erase(setno=1): no erase privileges - ignored")) << log.text();
    EXPECT_FALSE(log.contains("idb_erase(setno=3)")) << log.text();
  }
  // Without any erase bit the open in mode 13 is refused already; a
  // context whose sets lost the bit is refused with -5 and the line.
  const int32_t dbid = open(13, clerk);
  db_ctx* ctx = idb__get_db_ctx(clerk, dbid);
  ASSERT_NE(ctx, nullptr);
  for (int i = 0; i < ctx->root->g.set_cnt; ++i) ctx->sets[i].access &= ~4u;
  testsupport::LogCapture log("I2");
  EXPECT_EQ(db_erase(clerk, dbid, 1, st_, 0, nullptr), S_DENIED);
  EXPECT_TRUE(log.contains("idb_erase: no erase privileges")) << log.text();
  EXPECT_EQ(idb__get_db_ctx(clerk, dbid), nullptr);
}

TEST_F(DbAdminTest, SixtyMasterRecordsAreErasedInThreeCommits) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  // 60 customers, each with a nonzero chain head.
  Node* customer = Node_Find(d_.customer_node);
  ASSERT_EQ(Node_Open(customer), 0);
  Node* tx = Tlog_Create();
  ASSERT_EQ(Tlog_Begin(tx, "t", 1), 0);
  for (uint32_t i = 1; i <= 60; ++i) {
    uint8_t m[40];
    char user[29];
    snprintf(user, sizeof user, "C%03u", i);
    testsupport::encode_master(user, 28, 1, i, i, m);
    uint32_t recno = 0;
    ASSERT_EQ(FixRec_Put(customer, &recno, m, nullptr, tx), 0);
  }
  ASSERT_EQ(Tlog_Commit(tx), 0);
  Tlog_FinalCommit(tx);
  Tlog_Destroy(tx);
  Node_Close(customer);
  testsupport::LogCapture log("L3");
  ASSERT_EQ(run(db_erase, 1, {0, 0, 1}), 0);
  // Three transactions named after the erase.
  const std::string text = log.text();
  size_t n = 0;
  const std::string begin = "comment=DBERASE)";
  for (size_t p = text.find(begin); p != std::string::npos; p = text.find(begin, p + 1)) ++n;
  // CUSTOMER's 60 records in three (25, 25, 10); the empty REGIONS in one.
  EXPECT_EQ(n, 4u) << text;
  for (uint32_t r = 1; r <= 60; ++r) {
    int rc = 0;
    std::vector<uint8_t> c = record(d_.customer_node, r, 40, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(le_get32(c.data() + 28), 0u) << r;
  }
}

// A set that fails to purge stops the purge of the database: the request
// fails and its transaction is rolled back, so the catalog still names
// every node and every node is still there.
TEST_F(DbAdminTest, ASetThatFailsToPurgeStopsTheDatabasePurge) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(SysCat_del_object(d_.orders_node, nullptr), 0);  // its row lost
  EXPECT_EQ(run(db_purge, 2), S_SYSCAT);
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  ASSERT_NE(db, nullptr);
  free(db);
  for (uint32_t id : {d_.customer_node, d_.regions_node, d_.orders_node, d_.cust_key_node,
                      d_.region_key_node, d_.ord_ix_node})
    EXPECT_NE(Node_Find(id), nullptr) << id;
  EXPECT_EQ(table_node(d_.orders), d_.orders_node);
  EXPECT_EQ(table_node(d_.customer), d_.customer_node);
  EXPECT_EQ(object_name(d_.customer_node), "CUSTOMER");
  EXPECT_EQ(object_name(d_.ord_ix_node), "ORDERS.ORD-IX");
}

struct HeldRecord {
  uint32_t customer_node = 0;
  Node* tx = nullptr;
  Task* eraser = nullptr;
  bool held = false;
  bool released = false;
  int32_t rc = -2;
  int32_t dbid = 0;
  idb_session* s = nullptr;
  idb_status st{};
};
HeldRecord g_held;

// An erase that meets a master record held by another session's open
// transaction waits for it to end and then completes; the record holds
// the other transaction's change with its chain head zeroed.
TEST_F(DbAdminTest, EraseWaitsForARecordAnotherTransactionHolds) {
  ASSERT_EQ(run(db_create), 0);
  fill_nodes();
  ASSERT_EQ(testsupport::add_sample_records(d_), 0);
  g_held = HeldRecord{};
  g_held.customer_node = d_.customer_node;
  g_held.s = s_;
  g_held.dbid = open(13);
  ASSERT_EQ(tio_setup(), 0);
  auto holder = [] {
    Node* customer = Node_Find(g_held.customer_node);
    ASSERT_EQ(Node_Open(customer), 0);
    g_held.tx = Tlog_Create();
    ASSERT_EQ(Tlog_Begin(g_held.tx, "holder", 1), 0);
    Node_ADVLOCK* locks = Node_InitAdvLock(4, 4);
    uint8_t m[40];
    ASSERT_EQ(FixRec_GetLock(customer, 2, m, nullptr, g_held.tx, locks), 0);
    m[3] = '9';  // C009
    ASSERT_EQ(FixRec_Update(customer, 2, m, nullptr, g_held.tx), 0);
    Node_ReleaseAllAdvLocks(locks);
    Node_FreeAdvLock(locks);
    g_held.held = true;
    while (g_held.eraser == nullptr || thread_wchan(g_held.eraser) != &g_held.tx->wait)
      thread_yield();
    g_held.released = true;
    ASSERT_EQ(Tlog_Commit(g_held.tx), 0);
    Tlog_FinalCommit(g_held.tx);
    Tlog_Destroy(g_held.tx);
    Node_Close(customer);
  };
  auto eraser = [] {
    while (!g_held.held) thread_yield();
    g_held.eraser = thread_self();
    const int32_t list[] = {0, 0, 1};
    g_held.rc = db_erase(g_held.s, g_held.dbid, 1, g_held.st, 3, list);
    EXPECT_TRUE(g_held.released);
  };
  storage_test::TaskRunner runner;
  ASSERT_TRUE(runner.run({holder, eraser}));
  tio_cleanup();
  EXPECT_EQ(g_held.rc, 0) << s_->error.code;
  EXPECT_EQ(s_->ssn.wait_node, nullptr);
  for (uint32_t r = 1; r <= 3; ++r) {
    int rc = 0;
    std::vector<uint8_t> c = record(d_.customer_node, r, 40, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(le_get32(c.data() + 28), 0u) << r;
    if (r == 2) {
      EXPECT_EQ(memcmp(c.data(), "C009", 4), 0);
    }
  }
}

}  // namespace
