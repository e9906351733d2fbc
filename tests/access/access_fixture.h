// access_fixture.h - the stored sample database (support/sample_db.h) with
// its records, open in a database session: what the record reads, DBGET
// and DBFIND run on.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_lookup.h"
#include "access/idb_open.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "index/syscat_tx_fixture.h"
#include "storage/fixrec.h"
#include "storage/ssn.h"
#include "storage/tlog.h"
#include "support/sample_db.h"

namespace access_test {

// The session whose blocking record a lower layer fills (tests run
// outside tasks: one session acts at a time).
inline idb_session*& acting() {
  static idb_session* s = nullptr;
  return s;
}

// Ends the sessions a test made and checks that no schema stays cached.
inline void end_sessions(std::vector<idb_session*>& sessions) {
  for (idb_session* s : sessions) idb_exit_session(s);
  sessions.clear();
  acting() = nullptr;
  ssn_set_lookup(nullptr);
  EXPECT_EQ(idb__get_vroot_list(), nullptr);
}

// The log on (the catalog's handlers, a root log node) with the handlers
// of the B-trees and the record files.
inline void start_access_log() {
  syscat_tx_test::start_log();
  ASSERT_EQ(btree_Init(), 0);
  ASSERT_EQ(FixRec_Init(), 0);
}

// A new session logged on as name, kept in sessions (end_sessions ends
// it), acting from now on; nullptr on a failure.
inline idb_session* logon_session(std::vector<idb_session*>& sessions, const char* name) {
  idb_session* s = nullptr;
  EXPECT_EQ(idb_init_session(nullptr, &s), 0);
  if (s == nullptr) return nullptr;
  sessions.push_back(s);
  EXPECT_EQ(idb__logon(s, name, nullptr), 0);
  acting() = s;
  return s;
}

class AccessFixture : public syscat_test::CatalogFixture {
 protected:
  AccessFixture() { with_log_ = true; }
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_access_log());
    ASSERT_EQ(testsupport::write_sample_db_stored("sample", &d_), 0);
    ASSERT_EQ(testsupport::add_sample_records(d_), 0);
    const uint32_t boss = testsupport::add_user("boss", IDB_CAP_DBA);
    ASSERT_NE(boss, 0u);
    // boss's group may read, write and erase every set.
    ASSERT_EQ(testsupport::grant_sample_sets("sample", d_, boss), 0);
    ssn_set_lookup([](Task*) -> Ssn_STATE* { return acting() ? &acting()->ssn : nullptr; });
    s_ = session();
    dbid_ = idb__open_database(s_, "sample", 1);
    ASSERT_GT(dbid_, 0) << s_->error.code << " " << s_->error.file << ":" << s_->error.line;
    ctx_ = idb__get_db_ctx(s_, dbid_);
    ASSERT_NE(ctx_, nullptr);
    g_ = &ctx_->root->g;
  }
  void TearDown() override {
    end_sessions(sessions_);
    CatalogFixture::TearDown();
    Tlog_ResetTables();
  }
  idb_session* session() { return logon_session(sessions_, "boss"); }
  int setno(const char* name) const { return idb__find_set(g_, name); }
  const idb_set* set(const char* name) const { return &g_->set[setno(name)]; }
  set_ctx& cursor(const char* name) const { return ctx_->sets[setno(name)]; }

  // A record of set as the file holds it, read outside any transaction.
  std::vector<uint8_t> raw(const char* name, uint32_t recno) {
    const idb_set* st = set(name);
    std::vector<uint8_t> b(media_len(st));
    EXPECT_EQ(Node_Open(st->s.node), 0);
    EXPECT_EQ(FixRec_Get(st->s.node, recno, b.data(), nullptr, nullptr), 0);
    Node_Close(st->s.node);
    return b;
  }
  // Changes the record (or deletes it with an empty image) in a committed
  // transaction of its own.
  void rewrite(const char* name, uint32_t recno, const std::vector<uint8_t>& image) {
    const idb_set* st = set(name);
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(Node_Open(st->s.node), 0);
    ASSERT_EQ(Tlog_Begin(tx, "t", 1), 0);
    std::vector<uint8_t> old(media_len(st));
    Node_ADVLOCK* locks = Node_InitAdvLock(4, 4);
    ASSERT_EQ(FixRec_GetLock(st->s.node, recno, old.data(), nullptr, tx, locks), 0);
    if (image.empty())
      EXPECT_EQ(FixRec_Delete(st->s.node, recno, nullptr, tx), 0);
    else
      EXPECT_EQ(FixRec_Update(st->s.node, recno, image.data(), nullptr, tx), 0);
    Node_ReleaseAllAdvLocks(locks);
    Node_FreeAdvLock(locks);
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    Node_Close(st->s.node);
    EXPECT_EQ(Tlog_Destroy(tx), 0);
  }

  testsupport::SampleDb d_;
  idb_session* s_ = nullptr;
  int32_t dbid_ = 0;
  db_ctx* ctx_ = nullptr;
  const global* g_ = nullptr;
  std::vector<idb_session*> sessions_;
};

}  // namespace access_test
