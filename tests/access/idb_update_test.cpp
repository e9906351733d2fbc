// DBUPDATE and DBDELETE over the stored sample: the refusals of each in
// their order as tables (each leaves the database as it was); the cases of
// a change as a table (plain items, index parts, path moves to manual and
// automatic masters, the order of a sorted chain, master keys), each
// checked against the record model and the chains as stored; deletes of
// masters and details with their chains, automatic masters and cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "access/access_fixture.h"
#include "access/change_fixture.h"
#include "access/idb_lock.h"
#include "access/idb_rec.h"
#include "storage/task_runner.h"
#include "support/record_model.h"

namespace {

using access_test::acting;
using access_test::customer;
using access_test::order;
using access_test::PutTest;
using testsupport::RecordModel;
using Bytes = std::vector<uint8_t>;

class ChangeTest : public PutTest {
 protected:
  void SetUp() override {
    PutTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    cust_ = setno("CUSTOMER");
    ords_ = setno("ORDERS");
  }
  // The current user record of ORDERS recno (from the stored file).
  Bytes order_user(uint32_t recno) {
    Bytes r = raw("ORDERS", recno);
    r.resize(30);
    return r;
  }

  int cust_ = -1, ords_ = -1;
};

// The refusals of DBUPDATE in their order; none changes anything.
TEST_F(ChangeTest, UpdateRefusalsInTheirOrder) {
  others({101, 999});
  ASSERT_FALSE(HasFatalFailure());
  const Bytes o1 = order_user(1);
  const int32_t v999 = 999;
  const Bytes short_rec(o1.begin(), o1.end() - 1);
  const Bytes orphan = order(102, "C999", "WEST", 20240101, 7.25, 2);
  struct Case {
    const char* what;
    idb_session* s;
    int32_t dbid;  // 0: the session's open one
    const char* set;
    uint32_t recno;  // made current first
    int32_t mode;
    Bytes rec;
    int32_t code;
  };
  const Case cases[] = {
      {"unknown dbid", s_, 999, "ORDERS", 1, 3, short_rec, -11},
      {"mode 3", s_, 0, "NOSUCH", 1, 3, short_rec, -31},
      {"unknown set", s_, 0, "NOSUCH", 1, 1, short_rec, -21},
      {"no access to the set", r_, 0, "CUSTOMER", 1, 1, customer("C001", "x"), -21},
      {"record one byte short", s_, 0, "ORDERS", 1, 1, short_rec, -21},
      {"automatic master", s_, 0, "REGIONS", 1, 1, Bytes{'E', 'A', 'S', 'T'}, -24},
      {"database open for reading", ro_, 0, "ORDERS", 1, 1, o1, -14},
      {"read-only access", r_, 0, "ORDERS", 1, 1, o1, -23},
      {"no current record", s_, 0, "ORDERS", 0, 1, o1, 17},
      {"record past the last", s_, 0, "ORDERS", 77, 1, o1, 17},
      {"another session's lock on the old record", s_, 0, "ORDERS", 1, 1, o1, -12},
      {"another session's lock on the new record", s_, 0, "ORDERS", 3, 1,
       [&] { Bytes b = order_user(3); memcpy(b.data(), &v999, 4); return b; }(), -12},
      {"a path value in mode 1", s_, 0, "ORDERS", 2, 1,
       [&] { Bytes b = order_user(2); memcpy(b.data() + 4, "C002", 4); return b; }(), 41},
      // AMOUNT orders the chain after ORDER-DATE.
      {"the order of a sorted chain in mode 1", s_, 0, "ORDERS", 2, 1,
       [&] { Bytes b = order_user(2); b[20] ^= 1; return b; }(), 41},
      {"a master key in mode 1", s_, 0, "CUSTOMER", 3, 1, customer("C009", "Cy Okafor"), 41},
      {"the key of a master with details", s_, 0, "CUSTOMER", 1, 2, customer("C008", "x"), 41},
      {"a master key that is there", s_, 0, "CUSTOMER", 3, 2, customer("C002", "x"), -804},
      {"no manual master for the new value", s_, 0, "ORDERS", 2, 2, orphan, 101},
  };
  RecordModel before(g_);
  ASSERT_EQ(before.load(), "");
  for (const Case& c : cases) {
    const int32_t id = act_on(c.s, c.dbid);
    if (c.s == s_ && setno(c.set) >= 0) at(c.set, c.recno);
    EXPECT_EQ(update(c.s, id, c.set, c.rec, c.mode), c.code) << c.what;
    EXPECT_EQ(st_[5], IDB_UPDATE) << c.what;
    EXPECT_EQ(st_[8], c.mode) << c.what;
    if (c.code == -804) {
      EXPECT_EQ(st_[9], 0) << c.what;  // sub-code 0: the key is there
    }
    EXPECT_EQ(before.check(), "") << c.what;
  }
  acting() = s_;
}

// The refusals of DBDELETE in their order; none changes anything.
TEST_F(ChangeTest, DeleteRefusalsInTheirOrder) {
  others({101, 999});
  ASSERT_FALSE(HasFatalFailure());
  struct Case {
    const char* what;
    idb_session* s;
    int32_t dbid;
    const char* set;
    uint32_t recno;
    int32_t mode;
    int32_t code;
  };
  const Case cases[] = {
      {"unknown dbid", s_, 999, "ORDERS", 2, 2, -11},
      {"mode 2", s_, 0, "NOSUCH", 2, 2, -31},
      {"unknown set", s_, 0, "NOSUCH", 2, 1, -21},
      {"no access to the set", r_, 0, "CUSTOMER", 2, 1, -21},
      {"automatic master", s_, 0, "REGIONS", 3, 1, -24},
      {"database open for reading", ro_, 0, "ORDERS", 2, 1, -14},
      {"read-only access", r_, 0, "ORDERS", 2, 1, -23},
      {"no current record", s_, 0, "ORDERS", 0, 1, 17},
      {"another session's lock on the record", s_, 0, "ORDERS", 1, 1, -12},
      {"a master with details", s_, 0, "CUSTOMER", 2, 1, 44},
  };
  RecordModel before(g_);
  ASSERT_EQ(before.load(), "");
  for (const Case& c : cases) {
    const int32_t id = act_on(c.s, c.dbid);
    if (c.s == s_ && setno(c.set) >= 0) at(c.set, c.recno);
    EXPECT_EQ(del(c.s, id, c.set, c.mode), c.code) << c.what;
    EXPECT_EQ(st_[5], IDB_DELETE) << c.what;
    EXPECT_EQ(st_[8], c.mode) << c.what;
    EXPECT_EQ(before.check(), "") << c.what;
  }
  acting() = s_;
}

// Each change from the sample as it was written: the answer, the record
// number kept, the chains and master entries as the model has them, the
// index entries (with the index word kept), and the status of the cursor.
TEST_F(ChangeTest, UpdatesKeepOrMoveTheirRecords) {
  struct Case {
    const char* what;
    const char* set;
    uint32_t recno;
    int32_t mode;
    Bytes rec;
  };
  const Case cases[] = {
      {"a plain master item in mode 1", "CUSTOMER", 1, 1, customer("C001", "Ada Fischer-Lenz")},
      {"an index part in mode 1", "ORDERS", 3, 1, order(113, "C002", "EAST", 20240203, 99.0, 3)},
      {"a path value in mode 2", "ORDERS", 1, 2, order(101, "C002", "EAST", 20240105, 12.5, 1)},
      {"the only detail of an automatic master", "ORDERS", 4, 2,
       order(104, "C001", "NEWR", 20240110, 0.5, 4)},
      {"the order of a sorted chain in mode 2", "ORDERS", 2, 2,
       order(102, "C001", "WEST", 20240120, 7.25, 2)},
      {"a master key without details", "CUSTOMER", 3, 2, customer("C009", "Cy Okafor")},
      {"both paths and the index at once", "ORDERS", 5, 2,
       order(105, "C009", "east", 20240201, 1e3, 5)},
  };
  for (const Case& c : cases) {
    RecordModel model(g_);
    ASSERT_EQ(model.load(), "") << c.what;
    const int sn = setno(c.set);
    const bool detail = set(c.set)->s.type == 'D';
    const uint32_t word_before =
        detail ? le_get32(idb__index_word_offset(set(c.set), raw(c.set, c.recno).data())) : 0;
    ASSERT_EQ(model.expect_update(sn, c.recno, c.rec, c.mode), 0) << c.what;
    at(c.set, c.recno);
    ASSERT_EQ(update(c.set, c.rec, c.mode), 0) << c.what;
    model.update(sn, c.recno, c.rec);
    EXPECT_EQ(model.check(), "") << c.what;
    EXPECT_EQ(st_[1], static_cast<int32_t>(set(c.set)->rec_len)) << c.what;
    EXPECT_EQ(st_[3], static_cast<int32_t>(c.recno)) << c.what;
    EXPECT_EQ(st_[5], detail ? 0 : 1) << c.what;
    EXPECT_EQ(st_[8], 0) << c.what;
    Bytes stored = raw(c.set, c.recno);
    EXPECT_TRUE(std::equal(c.rec.begin(), c.rec.end(), stored.begin())) << c.what;
    if (detail) {
      EXPECT_EQ(le_get32(idb__index_word_offset(set(c.set), stored.data())), word_before) << c.what;
      uint32_t fwd = 0, bwd = 0;
      model.links(sn, c.recno, 0, &fwd, &bwd);
      EXPECT_EQ(st_[9], static_cast<int32_t>(fwd)) << c.what;
      EXPECT_EQ(st_[7], static_cast<int32_t>(bwd)) << c.what;
    }
  }
  // What the cases left, by hand: C002's chain took order 1 before its
  // own by date; order 2 went behind 1 and 4 on C001's; "east" lost its
  // only order and came back with order 5; NEWR was made for order 4;
  // C003 is C009 now, with order 5.
  EXPECT_EQ(chain_of("CUSTOMER", 2, "ORDERS", 0), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(chain_of("CUSTOMER", 1, "ORDERS", 0), (std::vector<uint32_t>{4, 2}));
  EXPECT_EQ(chain_of("CUSTOMER", 3, "ORDERS", 0), (std::vector<uint32_t>{5}));
  EXPECT_NE(master_recno("REGIONS", "NEWR"), 0u);
  EXPECT_NE(master_recno("REGIONS", "east"), 0u);
  EXPECT_EQ(master_recno("CUSTOMER", "C009"), 3u);
  EXPECT_EQ(master_recno("CUSTOMER", "C003"), 0u);
}

// An update that changes only entries no key or chain depends on leaves
// the index untouched.
TEST_F(ChangeTest, UnchangedIndexPartsLeaveTheIndexAlone) {
  const idb_index& ix = set("ORDERS")->index[0];
  const auto before = keys(ix.node, ix.coll);
  at("ORDERS", 3);
  ASSERT_EQ(update("ORDERS", order(103, "C002", "EAST", 20240203, 42.0, 9), 2), 0);
  EXPECT_EQ(keys(ix.node, ix.coll), before);
  EXPECT_EQ(chain_of("CUSTOMER", 2, "ORDERS", 0), (std::vector<uint32_t>{5, 3}));
}

// A master with one detail answers 44 until the detail is gone; deleting
// the middle of three links its neighbours; an automatic master goes with
// its last detail and stays with one of two; the deleted record stays
// current: a second delete answers 17 and a serial read continues after it.
TEST_F(ChangeTest, DeletesKeepChainsAndMastersWhole) {
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  ASSERT_EQ(put("CUSTOMER", customer("C010", "One")), 0);
  const uint32_t c10 = static_cast<uint32_t>(st_[3]);
  model.put(cust_, customer("C010", "One"), c10, 0);
  ASSERT_EQ(put("ORDERS", order(900, "C010", "EAST", 1)), 0);
  const uint32_t o900 = static_cast<uint32_t>(st_[3]);
  model.put(ords_, order(900, "C010", "EAST", 1), o900,
            le_get32(idb__index_word_offset(set("ORDERS"), raw("ORDERS", o900).data())));
  at("CUSTOMER", c10);
  EXPECT_EQ(del("CUSTOMER"), 44);
  EXPECT_EQ(st_[5], IDB_DELETE);

  struct Step {
    const char* what;
    const char* set;
    uint32_t recno;
  };
  const Step steps[] = {
      {"the only detail of a manual master", "ORDERS", o900},
      {"the master without details", "CUSTOMER", c10},
      {"the middle of three", "ORDERS", 1},
      {"the only detail of an automatic master", "ORDERS", 4},
      {"the other detail of an automatic master", "ORDERS", 3},
  };
  for (const Step& st : steps) {
    const int sn = setno(st.set);
    ASSERT_EQ(model.expect_delete(sn, st.recno), 0) << st.what;
    uint32_t fwd = 0, bwd = 0;
    if (sn == ords_) model.links(sn, st.recno, 0, &fwd, &bwd);
    at(st.set, st.recno);
    ASSERT_EQ(del(st.set), 0) << st.what;
    model.remove(sn, st.recno);
    EXPECT_EQ(model.check(), "") << st.what;
    EXPECT_EQ(st_[3], static_cast<int32_t>(st.recno)) << st.what;
    EXPECT_EQ(st_[5], sn == ords_ ? 0 : 1) << st.what;
    EXPECT_EQ(st_[8], 0) << st.what;
    EXPECT_EQ(st_[9], static_cast<int32_t>(fwd)) << st.what;
    EXPECT_EQ(st_[7], static_cast<int32_t>(bwd)) << st.what;
    EXPECT_EQ(cursor(st.set).recno, static_cast<int32_t>(st.recno)) << st.what;
  }
  // C001's chain 2, 1, 4 lost 1 and then 4; "east" went with 4, EAST
  // with 1 and 3; C002 kept 5.
  EXPECT_EQ(chain_of("CUSTOMER", 1, "ORDERS", 0), (std::vector<uint32_t>{2}));
  EXPECT_EQ(master_recno("REGIONS", "east"), 0u);
  EXPECT_EQ(master_recno("REGIONS", "EAST"), 0u);
  EXPECT_EQ(head("CUSTOMER", 2), (std::vector<uint32_t>{1, 5, 5}));
  // The last delete (order 3) is current: once more is 17; a serial read
  // goes on with 5, and backward with 2.
  EXPECT_EQ(del("ORDERS"), 17);
  Bytes buf(30);
  int32_t st[10];
  ASSERT_EQ(idb_get(s_, dbid_, "ORDERS", 7, 2, nullptr, 0, buf, {}, st), 0);
  EXPECT_EQ(st[3], 5);
  at("ORDERS", 3);
  ASSERT_EQ(idb_get(s_, dbid_, "ORDERS", 7, 3, nullptr, 0, buf, {}, st), 0);
  EXPECT_EQ(st[3], 2);
}

// Deleting one of two details of an automatic master keeps it with count
// 1, first and last the other.
TEST_F(ChangeTest, AutomaticMasterKeepsItsOtherDetail) {
  at("ORDERS", 1);
  ASSERT_EQ(del("ORDERS"), 0);
  const uint32_t east = master_recno("REGIONS", "EAST");
  EXPECT_EQ(head("REGIONS", east), (std::vector<uint32_t>{1, 3, 3}));
  EXPECT_EQ(link("ORDERS", 3, 1, false), 0u);
  // And the middle of C001's three (2, 1, 4) went: 2 and 4 link up.
  EXPECT_EQ(chain_of("CUSTOMER", 1, "ORDERS", 0), (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(link("ORDERS", 4, 0, false), 2u);
  EXPECT_EQ(head("CUSTOMER", 1), (std::vector<uint32_t>{2, 2, 4}));
}

// --- Two sessions ---------------------------------------------------------------------------

// Session a moves order 1 (the middle of C001's chain 2, 1, 4) to C002
// inside its own transaction and leaves it open; session b's delete of
// order 4 meets order 1 as its backward neighbour, waits, and runs once
// more after a's commit: it answers once, with success, and C001's chain
// is 2 alone.
TEST_F(ChangeTest, DeleteWaitsForAnUpdateOfItsNeighbour) {
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  ASSERT_NO_FATAL_FAILURE(b_waits_for_a(
      [](PutTest& t, idb_session* s, int32_t dbid) {
        idb__get_db_ctx(s, dbid)->sets[2].recno = 1;
        ASSERT_EQ(t.update(s, dbid, "ORDERS", order(101, "C002", "EAST", 20240105, 12.5, 1), 2), 0);
      },
      [](idb_session* s, int32_t dbid, int32_t* st) {
        idb__get_db_ctx(s, dbid)->sets[2].recno = 4;
        idb_delete(s, dbid, "ORDERS", 7, 1, st);
      }));
  EXPECT_EQ(chain_of("CUSTOMER", 1, "ORDERS", 0), (std::vector<uint32_t>{2}));
  model.update(ords_, 1, order(101, "C002", "EAST", 20240105, 12.5, 1));
  model.remove(ords_, 4);
  EXPECT_EQ(model.check(), "");
}

}  // namespace
