// Open contexts and DBOPEN/DBCLOSE over the sample database: the sharing
// rules as a table of two sessions' modes, two opens that overlap while
// the first reads the catalog, groups and privileges (nine groups, no
// access, mode 13), database ids (the wrap, the one in use skipped, all in
// use refused), and the status words of DBOPEN and DBCLOSE as a table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_lock.h"
#include "access/idb_lookup.h"
#include "access/idb_logon.h"
#include "access/idb_open.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "storage/task_runner.h"
#include "storage/tlog.h"
#include "support/log_capture.h"
#include "support/sample_db.h"

namespace {

using syscat_test::CatalogFixture;
using testsupport::SampleDb;

class OpenTest : public CatalogFixture {
 protected:
  OpenTest() { with_log_ = true; }  // sessions have transaction nodes
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_SetupRootNode(), 0);
    ASSERT_EQ(btree_Init(), 0);
    ASSERT_EQ(testsupport::write_sample_db("sample", true, &d_), 0);
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    ASSERT_NE(db, nullptr);
    cat_ = SysCat_db_open(db);
    free(db);
    ASSERT_NE(cat_, nullptr);
    alice_ = user("alice", IDB_CAP_CONNECT);
    bob_ = user("bob", IDB_CAP_CONNECT);
    admin_ = user("boss", IDB_CAP_DBA);
    readers_ = group("readers", 0);
    member(alice_, readers_);
    privilege(readers_, d_.orders, 3);
    privilege(readers_, d_.customer, 1);
    member(bob_, group("nothing", 0));
    member(admin_, group("admins", 0));
  }
  void TearDown() override {
    for (idb_session* s : sessions_) {
      idb__close_all_dbs(s);
      free(s->user_name);
      delete s;
    }
    EXPECT_EQ(idb__get_vroot_list(), nullptr);
    SysCat_db_close(cat_);
    CatalogFixture::TearDown();
    Tlog_ResetTables();
  }
  uint32_t user(const char* name, uint32_t priv) {
    const uint32_t uid = testsupport::add_user(name, priv);
    EXPECT_NE(uid, 0u) << name;
    return uid;
  }
  uint32_t group(const char* name, uint32_t priv) {
    SysCat_GROUP g{0, const_cast<char*>(name), priv};
    EXPECT_EQ(SysCat_add_group(cat_, &g, nullptr), 0);
    return g.gid;
  }
  void member(uint32_t uid, uint32_t gid) { EXPECT_EQ(SysCat_add_member(cat_, uid, gid, nullptr), 0); }
  void privilege(uint32_t gid, uint32_t table, uint32_t map) {
    SysCat_PRIVILEGE p{gid, table, map};
    EXPECT_EQ(SysCat_add_privilege(cat_, &p, nullptr), 0);
  }
  idb_session* session(const char* name) {
    auto* s = new idb_session{};
    sessions_.push_back(s);
    EXPECT_EQ(idb__logon(s, name, nullptr), 0) << name;
    return s;
  }
  const vglobal* root() const { return idb__get_vroot_list(); }

  SampleDb d_;
  SysCat_DB_CATALOG* cat_ = nullptr;
  uint32_t alice_ = 0, bob_ = 0, admin_ = 0, readers_ = 0;
  std::vector<idb_session*> sessions_;
};

struct ShareCase {
  int first, second;
  bool allowed;
};

TEST_F(OpenTest, SharingRulesOfTwoSessions) {
  privilege(readers_, d_.regions, 4);  // erase: alice may open in mode 13
  const ShareCase cases[] = {
      {1, 1, true},   {1, 3, false},  {1, 8, false}, {1, 9, true},  {1, 13, false},
      {3, 1, false},  {3, 3, false},  {3, 8, false}, {3, 9, false}, {3, 13, false},
      {8, 1, false},  {8, 3, false},  {8, 8, false}, {8, 9, false}, {8, 13, false},
      {9, 1, true},   {9, 3, false},  {9, 8, true},  {9, 9, true},  {9, 13, false},
      {13, 1, false}, {13, 3, false}, {13, 8, false}, {13, 9, false}, {13, 13, false},
  };
  idb_session* a = session("alice");
  idb_session* b = session("alice");
  for (const ShareCase& c : cases) {
    const int32_t first = idb__open_database(a, "sample", c.first);
    ASSERT_GT(first, 0) << c.first;
    const int32_t second = idb__open_database(b, "sample", c.second);
    EXPECT_EQ(second > 0, c.allowed) << c.first << " then " << c.second;
    idb__close_all_dbs(a);
    idb__close_all_dbs(b);
    EXPECT_EQ(root(), nullptr);
  }
  // The same session twice in mode 1: two ids, two contexts.
  const int32_t x = idb__open_database(a, "sample", 1), y = idb__open_database(a, "sample", 1);
  EXPECT_NE(x, y);
  idb__close_database(a, idb__get_db_ctx(a, x));
  EXPECT_NE(idb__get_db_ctx(a, y), nullptr);
}

// The first open stops inside its catalog scans while the second runs.
idb_session* g_a;
idb_session* g_b;
int g_first_mode, g_second_mode;
int32_t g_first, g_second;
bool g_in_scan;

TEST_F(OpenTest, OverlappingOpensSeeEachOther) {
  g_a = session("alice");
  g_b = session("alice");
  idb__set_open_scan_hook(+[] {
    if (g_in_scan) return;
    g_in_scan = true;
    thread_yield();  // the second open runs now
  });
  const std::pair<int, int> pairs[] = {{3, 1}, {1, 3}, {8, 1}, {1, 8}};
  for (const auto& [m1, m2] : pairs) {
    g_first_mode = m1;
    g_second_mode = m2;
    g_in_scan = false;
    storage_test::TaskRunner runner;
    ASSERT_TRUE(runner.run({+[] { g_first = idb__open_database(g_a, "sample", g_first_mode); },
                            +[] {
                              while (!g_in_scan) thread_yield();
                              g_second = idb__open_database(g_b, "sample", g_second_mode);
                            }}));
    EXPECT_GT(g_first, 0) << m1 << " " << m2;
    EXPECT_EQ(g_second, -1) << m1 << " then " << m2 << ": both opened";
    idb__close_all_dbs(g_a);
    idb__close_all_dbs(g_b);
    ASSERT_EQ(root(), nullptr);
  }
  idb__set_open_scan_hook(nullptr);
}

TEST_F(OpenTest, NineGroupsCountTheFirstEight) {
  const uint32_t carol = user("carol", IDB_CAP_CONNECT);
  std::vector<uint32_t> gids;
  for (int i = 0; i < 9; ++i) {
    gids.push_back(group(("g" + std::to_string(i)).c_str(), 0));
    member(carol, gids.back());
  }
  privilege(gids[8], d_.orders, 3);  // only the ninth group may read
  idb_session* s = session("carol");
  testsupport::LogCapture log("I2");
  EXPECT_EQ(idb__open_database(s, "sample", 1), -1);
  char line[128];
  snprintf(line, sizeof line, "get_group_list: Group %u for user id %u ignored (maximum 8)", gids[8], carol);
  EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Found 8 groups"), std::string::npos);
  privilege(gids[7], d_.orders, 1);
  EXPECT_GT(idb__open_database(s, "sample", 1), 0);
}

TEST_F(OpenTest, AccessBitsAndModeThirteen) {
  idb_session* a = session("alice");
  const int32_t id = idb__open_database(a, "sample", 1);
  ASSERT_GT(id, 0);
  const db_ctx* c = idb__get_db_ctx(a, id);
  const global& g = c->root->g;
  const int ord = idb__find_set(&g, "ORDERS"), cust = idb__find_set(&g, "CUSTOMER"),
            reg = idb__find_set(&g, "REGIONS");
  EXPECT_EQ(chk_set_access(c, ord), -1);
  EXPECT_EQ(chk_set_access(c, cust), 1);
  EXPECT_EQ(chk_set_access(c, reg), 0);
  idb__close_all_dbs(a);
  // No erase bit, no dba, no administration privilege: mode 13 refused.
  {
    testsupport::LogCapture log("I1");
    EXPECT_EQ(idb__open_database(a, "sample", 13), -1);
    EXPECT_EQ(a->error.code, S_DENIED);
    EXPECT_NE(log.text().find("Permission denied - dba or dadmin capabilities required"), std::string::npos);
  }
  EXPECT_EQ(root(), nullptr);
  // No access to any set: refused, except mode 13 by a dba.
  idb_session* b = session("bob");
  EXPECT_EQ(idb__open_database(b, "sample", 1), -1);
  EXPECT_EQ(idb__open_database(b, "sample", 13), -1);
  idb_session* boss = session("boss");
  EXPECT_EQ(idb__open_database(boss, "sample", 1), -1);
  EXPECT_GT(idb__open_database(boss, "sample", 13), 0);
  idb__close_all_dbs(boss);
  // The administration privilege of a group does as well.
  const uint32_t dadmins = group("dadmins", 1);
  member(bob_, dadmins);
  EXPECT_GT(idb__open_database(b, "sample", 13), 0);
  uint32_t privs = 0;
  EXPECT_EQ(idb__get_db_privileges(b, cat_, &privs, nullptr), 0);
  EXPECT_EQ(privs, 1u);
  idb_session nobody{};
  nobody.uid = 999;
  EXPECT_EQ(idb__get_db_privileges(&nobody, cat_, &privs, nullptr), -1);
}

TEST_F(OpenTest, DatabaseIdsWrapAndSkipThoseInUse) {
  idb_session* a = session("alice");
  a->dbid_cnt = 32766;
  EXPECT_EQ(idb__open_database(a, "sample", 1), 32767);
  EXPECT_EQ(idb__open_database(a, "sample", 1), 1);
  a->dbid_cnt = 32767;
  EXPECT_EQ(idb__open_database(a, "sample", 1), 2);
  // Every id in use: the open is refused instead of searching for ever.
  std::vector<db_ctx> fake(32767);
  db_ctx* real = a->db_list;
  a->db_list = nullptr;
  for (int i = 0; i < 32767; ++i) {
    fake[i].dbid = i + 1;
    fake[i].next = a->db_list;
    a->db_list = &fake[i];
  }
  EXPECT_EQ(idb__open_database(a, "sample", 1), -1);
  EXPECT_EQ(a->db_list, &fake[32766]);
  a->db_list = real;
  EXPECT_EQ(root()->share[2], 3);  // the refused open took its count back
}

struct StatusCase {
  const char* what;
  int32_t words[10];
};

void expect_words(const int32_t* st, const StatusCase& c) {
  for (int i = 0; i < 10; ++i) EXPECT_EQ(st[i], c.words[i]) << c.what << ", word " << i;
}

TEST_F(OpenTest, DbopenAndDbcloseStatusWords) {
  idb_session* a = session("alice");
  const int32_t uid = a->uid;
  idb_status st;
  auto fresh = [&] { for (int32_t& w : st) w = 55; };
  // DBOPEN refusals; word 9 is the sub-code, 1 to 3 stay.
  struct Open {
    const char* name;
    int32_t mode;
    StatusCase want;
  };
  const Open opens[] = {
      {"", 1, {"empty name", {S_BADID, 55, 55, 55, 0, 401, 0, 0, 1, 0}}},
      {"sample", 2, {"mode 2", {S_BADMODE, 55, 55, 55, 0, 401, 0, 0, 2, 0}}},
      {"nosuch", 1, {"unknown database", {S_CANTOPEN, 55, 55, 55, 0, 401, 0, 0, 1, 0}}},
      {"sample", 1, {"not created", {S_NOCREAT, 55, 55, 55, 0, 401, 0, 0, 1, 0}}},
  };
  for (const Open& o : opens) {
    fresh();
    EXPECT_EQ(idb_open(a, o.name, "pw", o.mode, st), -1) << o.want.what;
    expect_words(st, o.want);
    EXPECT_EQ(a->db_list, nullptr) << o.want.what;
    EXPECT_EQ(root(), nullptr) << o.want.what;
  }
  // Mode 13 opens a database that is not created; alice needs erase.
  privilege(readers_, d_.regions, 4);
  fresh();
  testsupport::LogCapture log("I3");
  const int32_t id = idb_open(a, "sample", "secret-pw", 13, st);
  ASSERT_GT(id, 0);
  expect_words(st, {"open 13", {0, uid, 0, 0, 0, 401 + 13 * 4096, 0, 0, 13, id}});
  EXPECT_EQ(log.text().find("secret-pw"), std::string::npos) << "the password reached the log";
  EXPECT_NE(log.text().find("idb_open(db_name=sample, passwd="), std::string::npos);

  struct Close {
    int32_t dbid;
    const char* set;
    int32_t mode;
    int rc;
    StatusCase want;
  };
  const int32_t ok_words = 403 + 13 * 4096;
  const Close closes[] = {
      {id + 1, "ORDERS", 1, -1, {"unknown dbid", {S_BADID, 55, 55, 55, 0, 403, 0, 0, 1, 0}}},
      {id, "ORDERS", 2, -1, {"mode 2", {S_BADMODE, 55, 55, 55, 0, 403, 0, 0, 2, 0}}},
      {id, "NOSUCH", 3, -1, {"unknown set", {S_BAD, 55, 55, 55, 0, 403, 0, 0, 3, 0}}},
      {id, "ORDERS;", 3, 0, {"cursor reset", {0, 55, 55, 55, 0, ok_words, 0, 0, 3, 0}}},
      {id, nullptr, 4, 0, {"no action", {0, 55, 55, 55, 0, ok_words, 0, 0, 4, 0}}},
      {id, nullptr, 1, 0, {"close", {0, 55, 55, 55, 0, ok_words, 0, 0, 1, 0}}},
      {id, nullptr, 1, -1, {"closed already", {S_BADID, 55, 55, 55, 0, 403, 0, 0, 1, 0}}},
  };
  db_ctx* ctx = idb__get_db_ctx(a, id);
  const int ord = idb__find_set(&ctx->root->g, "ORDERS");
  ctx->sets[ord].recno = 17;
  ctx->sets[ord].fwd = 18;
  ctx->sets[ord].key = static_cast<uint8_t*>(malloc(8));
  for (const Close& c : closes) {
    fresh();
    char ref[16] = {};
    if (c.set) memcpy(ref, c.set, strlen(c.set));
    EXPECT_EQ(idb_close(a, c.dbid, c.set ? ref : nullptr, sizeof ref, c.mode, st), c.rc) << c.want.what;
    expect_words(st, c.want);
    if (std::string(c.want.what) == "cursor reset") {
      EXPECT_EQ(ctx->sets[ord].recno, 0);
      EXPECT_EQ(ctx->sets[ord].fwd, 0);
      EXPECT_EQ(ctx->sets[ord].key, nullptr);
    }
  }
  EXPECT_EQ(root(), nullptr);
}

TEST_F(OpenTest, SessionEndDropsLocksAndDatabases) {
  idb_session* s = nullptr;
  ASSERT_EQ(idb_init_session(nullptr, &s), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->bt_ctx.tx_node, s->ssn.tx_node);
  ASSERT_EQ(idb__logon(s, "alice", nullptr), 0);
  const int32_t id = idb__open_database(s, "sample", 1);
  ASSERT_GT(id, 0);
  ASSERT_EQ(idb__add_lock(s, idb__get_db_ctx(s, id), 2, nullptr), 0);
  idb_exit_session(s);
  EXPECT_EQ(idb__get_lock_list(), nullptr);
  EXPECT_EQ(root(), nullptr);
  idb_exit_session(nullptr);
}

}  // namespace
