// change_fixture.h - the stored sample (access_fixture.h) for the tests of
// the calls that change records: the sample's user records, and calls
// with their status kept, empty copies of the schema, what the files,
// trees and chains hold, the sessions a refusal is about, and two
// sessions where one waits for the other.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_cmd.h"
#include "access/idb_delete.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "access/idb_lock.h"
#include "access/idb_put.h"
#include "access/idb_rec.h"
#include "access/idb_update.h"
#include "storage/disk_bytes.h"
#include "storage/task_runner.h"
#include "storage/tlog.h"

namespace access_test {

using Bytes = std::vector<uint8_t>;

// Sessions that run as tasks of their own (several at once): the
// session each task acts as.
inline std::map<Task*, idb_session*>& task_sessions() {
  static std::map<Task*, idb_session*> m;
  return m;
}
// The calling task acts as session s from now on.
inline void act_as(idb_session* s) { task_sessions()[thread_self()] = s; }
// Runs bodies as tasks, each acting as the session it names with act_as;
// afterwards code outside tasks acts as acting() again. Whether all ran
// to their end.
inline bool run_sessions(const std::vector<storage_test::TaskRunner::Body>& bodies) {
  ssn_set_lookup([](Task* t) -> Ssn_STATE* {
    auto it = task_sessions().find(t);
    return it != task_sessions().end() ? &it->second->ssn : nullptr;
  });
  storage_test::TaskRunner runner;
  const bool ok = runner.run(bodies);
  task_sessions().clear();
  ssn_set_lookup([](Task*) -> Ssn_STATE* { return acting() ? &acting()->ssn : nullptr; });
  return ok;
}

inline void text(uint8_t* to, const char* s, size_t n) {
  memset(to, ' ', n);
  memcpy(to, s, std::min(strlen(s), n));
}

// The user records of the sample's sets.
inline Bytes customer(const char* no, const char* name) {
  Bytes r(28);
  text(r.data(), no, 8);
  text(r.data() + 8, name, 20);
  return r;
}
inline Bytes order(int32_t no, const char* cust, const char* region, int32_t date, double amount = 0,
            int16_t qty = 0) {
  Bytes r(30, 0);
  memcpy(r.data(), &no, 4);
  text(r.data() + 4, cust, 8);
  text(r.data() + 12, region, 4);
  memcpy(r.data() + 16, &date, 4);
  memcpy(r.data() + 20, &amount, 8);
  memcpy(r.data() + 28, &qty, 2);
  return r;
}

class PutTest : public AccessFixture {
 public:
  int32_t put(idb_session* s, int32_t dbid, const char* set, const Bytes& rec, int32_t mode = 1) {
    std::fill(std::begin(st_), std::end(st_), -99);
    const int rc = idb_put(s, dbid, set, static_cast<int>(strlen(set)) + 1, mode, "@;", 3, rec, st_);
    EXPECT_EQ(rc == 0, st_[0] == 0);
    return st_[0];
  }
  int32_t put(const char* set, const Bytes& rec) { return put(s_, dbid_, set, rec); }
  // DBUPDATE and DBDELETE of the set's current record.
  int32_t update(idb_session* s, int32_t dbid, const char* set, const Bytes& rec, int32_t mode) {
    std::fill(std::begin(st_), std::end(st_), -99);
    const int rc =
        idb_update(s, dbid, set, static_cast<int>(strlen(set)) + 1, mode, "@;", 3, rec, st_);
    EXPECT_EQ(rc == 0, st_[0] == 0);
    return st_[0];
  }
  int32_t update(const char* set, const Bytes& rec, int32_t mode) {
    return update(s_, dbid_, set, rec, mode);
  }
  int32_t del(idb_session* s, int32_t dbid, const char* set, int32_t mode = 1) {
    std::fill(std::begin(st_), std::end(st_), -99);
    const int rc = idb_delete(s, dbid, set, static_cast<int>(strlen(set)) + 1, mode, st_);
    EXPECT_EQ(rc == 0, st_[0] == 0);
    return st_[0];
  }
  int32_t del(const char* set) { return del(s_, dbid_, set); }
  // Makes recno the set's current record (as a DBGET by number would).
  void at(const char* set, uint32_t recno) { cursor(set).recno = static_cast<int32_t>(recno); }
  // The record number of master key (padded to the key's size) in set.
  uint32_t master_recno(const char* name, const char* key) {
    const idb_set* st = set(name);
    std::string k(g_->item[st->entry[0].item].size, ' ');
    memcpy(k.data(), key, std::min(strlen(key), k.size()));
    uint32_t r = 0;
    EXPECT_EQ(idb__open_node(s_, st, 1), 0);
    if (idb__master_lookup(s_, g_, st, k.data(), &r) != 0) r = 0;
    idb__close_nodes(s_);
    return r;
  }
  // A master's path entry {count, first, last}.
  std::vector<uint32_t> head(const char* name, uint32_t mrec) {
    const Bytes m = raw(name, mrec);
    const uint8_t* h = idb__path_area(set(name), const_cast<uint8_t*>(m.data()));
    return {le_get32(h), le_get32(h + 4), le_get32(h + 8)};
  }

  // A database "name" of the sample's schema without records, open in a
  // new session of boss (mode 1).
  int32_t open_empty(const char* name, idb_session** out, bool manual_regions = false) {
    testsupport::SampleDb d;
    EXPECT_EQ(testsupport::write_sample_db_stored(name, &d, manual_regions), 0);
    grant(name, "admins", 7, {d.customer, d.regions, d.orders});
    *out = session();
    return idb__open_database(*out, name, 1);
  }
  // Adds group to name's catalog with privs on the tables; boss (or uid)
  // joins it.
  void grant(const char* name, const char* group, uint32_t privs, std::vector<uint32_t> tables,
             uint32_t uid = 0) {
    SysCat_DB* db = SysCat_get_db_by_name(name, 0, 0, nullptr);
    ASSERT_NE(db, nullptr);
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    ASSERT_NE(cat, nullptr);
    if (uid == 0) uid = s_->uid;
    SysCat_GROUP grp{0, const_cast<char*>(group), 0};
    EXPECT_EQ(SysCat_add_group(cat, &grp, nullptr), 0);
    EXPECT_EQ(SysCat_add_member(cat, uid, grp.gid, nullptr), 0);
    for (uint32_t t : tables) {
      SysCat_PRIVILEGE p{grp.gid, t, privs};
      EXPECT_EQ(SysCat_add_privilege(cat, &p, nullptr), 0);
    }
    SysCat_db_close(cat);
  }
  // Every record of a set as stored, in record-number order.
  std::vector<Bytes> all(const char* name, const global* g) {
    const idb_set* st = &g->set[idb__find_set(g, name)];
    std::vector<Bytes> out;
    EXPECT_EQ(Node_Open(st->s.node), 0);
    Bytes b(media_len(st));
    uint32_t recno = 0;
    FixRec_ITER it;
    FixRec_InitIter(&it);
    for (int rc = FixRec_First(st->s.node, &recno, b.data(), &it, nullptr); rc == 0;
         rc = FixRec_Next(st->s.node, &recno, b.data(), &it, nullptr)) {
      Bytes r = b;
      r.insert(r.begin(), reinterpret_cast<uint8_t*>(&recno), reinterpret_cast<uint8_t*>(&recno) + 4);
      out.push_back(r);
    }
    FixRec_ReleaseIter(&it);
    Node_Close(st->s.node);
    return out;
  }
  std::vector<std::pair<std::string, uint32_t>> keys(Node* tree, void* coll) {
    std::vector<std::pair<std::string, uint32_t>> out;
    btree_CTX ctx{};
    btree_HANDLE* t = btree_OpenNode(tree, &ctx, BT_OPEN_RDONLY);
    EXPECT_NE(t, nullptr);
    btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, coll);
    btree_DBT k{}, d{};
    for (int rc = btree_Seq(t, &k, &d, BT_SEQ_FIRST); rc == RET_SUCCESS;
         rc = btree_Seq(t, &k, &d, BT_SEQ_NEXT))
      out.emplace_back(std::string(static_cast<char*>(k.data), k.size),
                       le_get32(static_cast<uint8_t*>(d.data)));
    btree_CloseNode(t);
    return out;
  }
  // DBGET mode 2 from the start of the set to its end: the record numbers
  // and user records it reads.
  std::map<uint32_t, Bytes> serial(const char* name) {
    std::map<uint32_t, Bytes> out;
    cursor(name).recno = 0;
    int32_t st[10];
    Bytes buf(set(name)->rec_len);
    while (idb_get(s_, dbid_, name, static_cast<int>(strlen(name)) + 1, 2, nullptr, 0, buf, {}, st) == 0)
      out[static_cast<uint32_t>(st[3])] = buf;
    EXPECT_EQ(st[0], S_EOF);
    return out;
  }
  uint32_t link(const char* name, uint32_t recno, uint32_t p, bool fwd) {
    const Bytes r = raw(name, recno);
    return le_get32(idb__path_area(set(name), const_cast<uint8_t*>(r.data())) + 8 * p + (fwd ? 0 : 4));
  }
  std::vector<uint32_t> chain_of(const char* master, uint32_t mrec, const char* detail, uint32_t p) {
    const Bytes m = raw(master, mrec);
    std::vector<uint32_t> out;
    for (uint32_t at = le_get32(idb__path_area(set(master), const_cast<uint8_t*>(m.data())) + 4);
         at != 0 && out.size() < 100; at = link(detail, at, p, true))
      out.push_back(at);
    return out;
  }

  // Sessions that a refusal is about: a reader that may only read ORDERS
  // (r_), a session on the sample opened for reading (ro_), and, for each
  // ORDER-NO given, a session of boss holding a descriptor lock on it.
  void others(std::initializer_list<int32_t> locked_order_nos) {
    SysCat_USER u{0, const_cast<char*>("reader"), nullptr, IDB_CAP_CONNECT};
    ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
    grant("sample", "readers", 1, {d_.orders}, u.uid);
    ASSERT_EQ(idb_init_session(nullptr, &r_), 0);
    sessions_.push_back(r_);
    ASSERT_EQ(idb__logon(r_, "reader", nullptr), 0);
    rid_ = idb__open_database(r_, "sample", 1);
    ASSERT_GT(rid_, 0);
    ro_ = session();
    roid_ = idb__open_database(ro_, "sample", 9);
    ASSERT_GT(roid_, 0);
    const uint32_t item = static_cast<uint32_t>(idb__find_item(g_, "ORDER-NO") + 1);
    for (const int32_t no : locked_order_nos) {
      idb_session* holder = session();
      const int32_t hid = idb__open_database(holder, "sample", 1);
      ASSERT_GT(hid, 0);
      const uint32_t words[] = {7, 7, 1, static_cast<uint32_t>(setno("ORDERS")), item, 0,
                                ('D' << 16) | 4, static_cast<uint32_t>(no)};
      ASSERT_EQ(idb__add_lock(holder, idb__get_db_ctx(holder, hid), 6, words), 0);
    }
    acting() = s_;
  }
  // Makes s the acting session; the database id a refusal case names:
  // dbid, or with 0 the one s has the sample open as (after others()).
  int32_t act_on(idb_session* s, int32_t dbid) {
    acting() = s;
    return dbid != 0 ? dbid : s == r_ ? rid_ : s == ro_ ? roid_ : dbid_;
  }

  // Two more sessions of boss on the sample, for a call of b that meets
  // a's open transaction: a begins one and makes its change, lets b run
  // into it, and commits; b's call should wait for the commit, answer
  // once, and succeed. The task bodies are plain functions: they reach
  // what they need through waiting_pair().
  using PairChange = void (*)(PutTest& t, idb_session* s, int32_t dbid);
  using PairCall = void (*)(idb_session* s, int32_t dbid, int32_t* st);
  struct WaitingPair {
    PutTest* test = nullptr;
    idb_session* a = nullptr;
    idb_session* b = nullptr;
    int32_t a_id = 0, b_id = 0;
    PairChange a_change = nullptr;
    PairCall b_call = nullptr;
    int b_answers = 0;
    int32_t b_code = -99;
    bool b_waited = false;
  };
  static WaitingPair& waiting_pair() {
    static WaitingPair p;
    return p;
  }
  void b_waits_for_a(PairChange a_change, PairCall b_call) {
    WaitingPair& p = waiting_pair();
    p = WaitingPair{};
    p.test = this;
    p.a = session();
    p.b = session();
    p.a_id = idb__open_database(p.a, "sample", 1);
    p.b_id = idb__open_database(p.b, "sample", 1);
    ASSERT_GT(p.a_id, 0);
    ASSERT_GT(p.b_id, 0);
    p.a_change = a_change;
    p.b_call = b_call;
    ASSERT_TRUE(run_sessions({
        +[] {
          WaitingPair& w = waiting_pair();
          act_as(w.a);
          ASSERT_EQ(Tlog_Begin(idb__tx_node(w.a), "client", 1), 0);
          w.a_change(*w.test, w.a, w.a_id);
          // Let b run into the open transaction and wait for it.
          for (int i = 0; i < 20; ++i) thread_yield();
          w.b_waited = w.b_answers == 0;
          ASSERT_EQ(Tlog_Commit(idb__tx_node(w.a)), 0);
          Tlog_FinalCommit(idb__tx_node(w.a));
        },
        +[] {
          WaitingPair& w = waiting_pair();
          act_as(w.b);
          thread_yield();
          int32_t st[10];
          w.b_call(w.b, w.b_id, st);
          ++w.b_answers;
          w.b_code = st[0];
        },
    }));
    EXPECT_TRUE(p.b_waited);
    EXPECT_EQ(p.b_answers, 1);
    EXPECT_EQ(p.b_code, 0);
  }

  int32_t st_[10];
  idb_session* r_ = nullptr;
  idb_session* ro_ = nullptr;
  int32_t rid_ = 0, roid_ = 0;
};

}  // namespace access_test
