// The lock manager: the conflict matrix and the value ranges of descriptor
// locks as a table; waits under the task kernel (arrival order, a cycle of
// two waits, a wait cut short wakes those behind it, a session holding
// locks that is granted past a waiter does not let that waiter through);
// and a random run of five sessions after every step of which no two
// granted entries conflict and no grantable waiter sleeps.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "access/idb_lock.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "storage/task_runner.h"
#include "storage/tlog.h"
#include "storage/tlog_fixture.h"

namespace {

using Words = std::vector<uint32_t>;

uint32_t header(char type, uint32_t size) { return (static_cast<uint32_t>(type) << 16) | size; }

// A descriptor of entries, each given without its count word.
Words descr(const std::vector<Words>& entries) {
  Words w{0};
  for (const Words& e : entries) {
    w.push_back(static_cast<uint32_t>(e.size() + 1));
    w.insert(w.end(), e.begin(), e.end());
  }
  w[0] = static_cast<uint32_t>(w.size() - 1);
  return w;
}
// One entry on set (0-based), an 'I' item compared with op and value.
Words on_item(uint32_t set, uint32_t item, uint32_t op, int32_t value) {
  return descr({{1, set, item, op, header('D', 4), static_cast<uint32_t>(value)}});
}
constexpr uint32_t EQ = 0, LE = 1, GE = 2;

vglobal g_db{};
vglobal g_other_db{};

struct Sess {
  idb_session s{};
  db_ctx ctx{};
  explicit Sess(vglobal* db = &g_db, int dbid = 1) {
    ctx.root = db;
    ctx.dbid = dbid;
  }
};

// Every granted or held-back pair of different sessions is free of
// conflict, and no waiting entry could be granted.
std::string queue_fault() {
  for (const lock_entry* e = idb__get_lock_list(); e != nullptr; e = e->next) {
    bool before = true;
    bool blocked = false;
    for (const lock_entry* h = idb__get_lock_list(); h != nullptr; h = h->next) {
      if (h == e) {
        before = false;
        continue;
      }
      if (h->session == e->session || h->db != e->db) continue;
      const bool h_waits = h->l_stat == LockQueue_BLOCKED;
      if (e->l_stat != LockQueue_BLOCKED) {
        if (!h_waits && idb__lock_conflict(e, h) != 0)
          return "two conflicting entries held: kinds " + std::to_string(e->kind) + ", " +
                 std::to_string(h->kind);
      } else if ((!h_waits || before) && idb__lock_conflict(e, h) != 0) {
        blocked = true;
      }
    }
    if (e->l_stat == LockQueue_BLOCKED && !blocked)
      return "a grantable waiter sleeps (kind " + std::to_string(e->kind) + ")";
  }
  return "";
}

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    idb__set_lock_config(0, 0);
    idb__reset_lock_stats();
  }
  void TearDown() override {
    EXPECT_EQ(idb__get_lock_list(), nullptr) << "locks left in the queue";
    idb__set_lock_config(0, 0);
  }
};

// --- The matrix and the values, without waits (even modes) ----------------

struct MatrixCase {
  const char* what;
  int held_mode;
  Words held_q;
  int asked_mode;
  Words asked_q;
  int code;
};

TEST_F(LockTest, ConflictMatrixAndValueRanges) {
  const Words set0{0}, set1{1};
  const Words every_set = descr({{0, 0}});
  const MatrixCase cases[] = {
      {"two shared database locks", 11, {}, 12, {}, 0},
      {"exclusive database against shared", 11, {}, 2, {}, 20},
      {"shared database against exclusive", 2, {}, 12, {}, 20},
      {"database against a set lock", 4, set0, 2, {}, 21},
      {"shared database against a shared set", 14, set0, 12, {}, 0},
      {"shared database against a descriptor", 6, on_item(0, 1, EQ, 5), 12, {}, 21},
      {"set against the database", 2, {}, 4, set0, 22},
      {"set against the same set", 4, set0, 4, set0, 22},
      {"set against another set", 4, set0, 4, set1, 0},
      {"shared sets on one set", 14, set0, 14, set0, 0},
      {"set against a descriptor on it", 6, on_item(0, 1, EQ, 5), 4, set0, 23},
      {"set against a descriptor on another set", 6, on_item(0, 1, EQ, 5), 4, set1, 0},
      {"set against a descriptor on every set", 6, every_set, 4, set1, 23},
      {"descriptor against the database", 12, {}, 6, on_item(0, 1, EQ, 5), 25},
      {"descriptor against its set", 4, set0, 6, on_item(0, 1, EQ, 5), 25},
      {"descriptor against another set", 4, set1, 6, on_item(0, 1, EQ, 5), 0},
      {"descriptor on every set against a set", 4, set1, 6, every_set, 25},
      {"= 6 beside = 5", 6, on_item(0, 1, EQ, 5), 6, on_item(0, 1, EQ, 6), 0},
      {"= 5 against = 5", 6, on_item(0, 1, EQ, 5), 6, on_item(0, 1, EQ, 5), 25},
      {"= 6 against <= 10", 6, on_item(0, 1, LE, 10), 6, on_item(0, 1, EQ, 6), 25},
      {"<= 10 against = 5", 6, on_item(0, 1, EQ, 5), 6, on_item(0, 1, LE, 10), 25},
      {">= 10 against = 5", 6, on_item(0, 1, EQ, 5), 6, on_item(0, 1, GE, 10), 0},
      {"<= 10 against >= 20", 6, on_item(0, 1, GE, 20), 6, on_item(0, 1, LE, 10), 0},
      {">= 10 against <= 20", 6, on_item(0, 1, LE, 20), 6, on_item(0, 1, GE, 10), 25},
      {"LE against le", 6, on_item(0, 1, 4, 3), 6, on_item(0, 1, 4, 90), 25},
      {"different items of one set", 6, on_item(0, 1, EQ, 5), 6, on_item(0, 2, EQ, 5), 24},
      {"descriptors on different sets", 6, on_item(0, 1, EQ, 5), 6, on_item(1, 1, EQ, 5), 0},
      {"a whole record against a value", 6, descr({{1, 0, 0}}), 6, on_item(0, 1, EQ, 5), 25},
      {"shared descriptors", 16, on_item(0, 1, EQ, 5), 16, on_item(0, 1, EQ, 5), 0},
  };
  for (const MatrixCase& c : cases) {
    Sess a, b;
    ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, c.held_mode, c.held_q.data()), 0) << c.what;
    EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, c.asked_mode, c.asked_q.data()), c.code) << c.what;
    EXPECT_EQ(queue_fault(), "") << c.what;
    EXPECT_EQ(b.s.s_lock_cnt, c.code == 0 ? 1 : 0) << c.what;
    idb__del_session_locks(&a.s);
    idb__del_session_locks(&b.s);
  }
}

TEST_F(LockTest, ConflictingItemsSettingAndOtherDatabasesAndOwnLocks) {
  idb__set_lock_config(1, 0);
  Sess a, b, c(&g_other_db, 7);
  const Words x = on_item(0, 1, EQ, 5), y = on_item(0, 2, EQ, 5);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, x.data()), 0);
  EXPECT_EQ(idb__add_lock(&a.s, &a.ctx, 2, nullptr), 0);  // its own locks never conflict
  EXPECT_EQ(idb__add_lock(&c.s, &c.ctx, 2, nullptr), 0);  // another database
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 2, nullptr), 2);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, x.data()), 0);
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 6, y.data()), 0);  // another item: no 24 now
  idb__del_session_locks(&a.s);
  idb__del_session_locks(&b.s);
  idb__del_session_locks(&c.s);
}

TEST_F(LockTest, RefusalsAndStatistics) {
  Sess a, b;
  // Mode outside the table, a descriptor that runs past its end, values
  // whose headers differ.
  EXPECT_EQ(idb__add_lock(&a.s, &a.ctx, 7, nullptr), -1);
  EXPECT_EQ(a.s.error.code, S_LOCKDB);
  EXPECT_EQ(a.s.error.sub_code, -1);
  const Words broken{3, 9, 1, 0};
  EXPECT_EQ(idb__add_lock(&a.s, &a.ctx, 6, broken.data()), -1);
  const Words held = on_item(0, 1, EQ, 5);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, held.data()), 0);
  const Words other_header = descr({{1, 0, 1, EQ, header('I', 2), 5}});
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 6, other_header.data()), -1);
  EXPECT_EQ(b.s.error.sub_code, -2);
  // A session that holds a lock may not wait (no kernel task either).
  Sess c;
  ASSERT_EQ(idb__add_lock(&c.s, &c.ctx, 14, Words{3}.data()), 0);
  EXPECT_EQ(idb__add_lock(&c.s, &c.ctx, 1, nullptr), -135);
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 2, nullptr), 21);
  const idb_lock_stats st = idb__get_lock_stats();
  EXPECT_EQ(st.requests, 5u);  // the two malformed requests are refused before they count
  EXPECT_EQ(st.exclusive, 4u);
  EXPECT_EQ(st.granted, 2u);
  EXPECT_EQ(st.conflicts, 2u);
  EXPECT_EQ(st.refused, 3u);
  EXPECT_EQ(st.shared, 1u);
  idb__del_session_locks(&a.s);
  idb__del_session_locks(&c.s);
}

TEST_F(LockTest, UnlockModesMatchTheirQualifier) {
  Sess a, b;
  const Words d1 = on_item(0, 1, EQ, 5), d2 = on_item(0, 1, EQ, 6);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 4, Words{0}.data()), 0);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 14, Words{1}.data()), 0);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, d1.data()), 0);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 16, d2.data()), 0);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 3, Words{1}.data()), 1);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 15, d1.data()), 1);  // shared and exclusive alike
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 5, d1.data()), 0);
  EXPECT_EQ(a.s.s_lock_cnt, 2);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 9, nullptr), -1);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 11, nullptr), 2);
  EXPECT_EQ(a.s.s_lock_cnt, 0);
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 2, nullptr), 0);
  idb__del_db_locks(&b.s, &b.ctx);
  EXPECT_EQ(b.s.s_lock_cnt, 0);
}

TEST_F(LockTest, RecordCheckSeesOtherSessionsLocksOnly) {
  Sess a, b;
  // Record of set 0: entry 0 is item 1 ('D', 4 bytes at offset 0), entry 1
  // item 3 at offset 4.
  const idb_entry entries[] = {{0, 0}, {2, 0}};
  const uint32_t offsets[] = {0, 4};
  uint8_t rec[8];
  const int32_t v = 7;
  memcpy(rec, &v, 4);
  memset(rec + 4, 0, 4);
  const Words le10 = on_item(0, 1, LE, 10), ge8 = on_item(0, 1, GE, 8);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, ge8.data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, entries, offsets, rec), 0);
  EXPECT_EQ(idb__chk_rec_lock(&a.s, &a.ctx, 0, 2, entries, offsets, rec), 0);  // own lock
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 16, le10.data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, entries, offsets, rec), -12);
  idb__del_session_locks(&a.s);
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 4, Words{1}.data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, entries, offsets, rec), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 1, 2, entries, offsets, rec), -12);
  idb__del_session_locks(&a.s);
  const Words item5 = on_item(0, 5, EQ, 1);  // an item the record does not have
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, item5.data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, entries, offsets, rec), -1);
  EXPECT_EQ(b.s.error.code, S_LOCKDB);
  idb__del_session_locks(&a.s);
}

// "@" with a named item: each set that has the item as an entry, and no
// other, for the record check and the conflict test alike. CUSTOMER (set
// 0): CUST-NO (item 1), BAL (item 2); PAYMENTS (set 1): PAY-NO (item 3);
// ORDERS (set 2): ORDER-NO (item 4), CUST-NO.
TEST_F(LockTest, EverySetWithAnItemCoversOnlyTheSetsThatHaveIt) {
  idb_entry customer[] = {{0, 0}, {1, 0}}, payments[] = {{2, 0}}, orders[] = {{3, 0}, {0, 0}};
  idb_set sets[3] = {};
  sets[0].s.item_cnt = 2;
  sets[0].entry = customer;
  sets[1].s.item_cnt = 1;
  sets[1].entry = payments;
  sets[2].s.item_cnt = 2;
  sets[2].entry = orders;
  vglobal db{};
  db.g.set_cnt = 3;
  db.g.set = sets;
  Sess a(&db), b(&db);
  const Words bal_ge_100 = descr({{0, 2, GE, header('D', 4), 100}});
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 6, bal_ge_100.data()), 0);

  // Records: every item 4 bytes, one after the other.
  const uint32_t offsets[] = {0, 4};
  auto record = [](int32_t first, int32_t second) {
    std::vector<uint8_t> r(8);
    memcpy(r.data(), &first, 4);
    memcpy(r.data() + 4, &second, 4);
    return r;
  };
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, customer, offsets, record(1, 99).data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 0, 2, customer, offsets, record(1, 100).data()), -12);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 1, 1, payments, offsets, record(150, 0).data()), 0);
  EXPECT_EQ(idb__chk_rec_lock(&b.s, &b.ctx, 2, 2, orders, offsets, record(150, 150).data()), 0);

  const struct {
    const char* what;
    int mode;
    Words q;
    int code;
  } asked[] = {
      {"CUSTOMER BAL = 5", 6, on_item(0, 2, EQ, 5), 0},
      {"CUSTOMER BAL = 100", 6, on_item(0, 2, EQ, 100), 25},
      {"PAYMENTS PAY-NO = 1", 6, on_item(1, 3, EQ, 1), 0},
      {"ORDERS ORDER-NO = 1", 6, on_item(2, 4, EQ, 1), 0},
      {"CUSTOMER CUST-NO = 1 (another item)", 6, on_item(0, 1, EQ, 1), 24},
      {"@ CUST-NO = 1 (shares CUSTOMER)", 6, descr({{0, 1, EQ, header('D', 4), 1}}), 24},
      {"@ ORDER-NO = 1 (no set in common)", 6, descr({{0, 4, EQ, header('D', 4), 1}}), 0},
      {"set PAYMENTS", 4, Words{1}, 0},
      {"set CUSTOMER", 4, Words{0}, 23},
  };
  for (const auto& k : asked) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, k.mode, k.q.data()), k.code);
    idb__del_session_locks(&b.s);
  }
  // Held the other way round: a set lock on PAYMENTS does not stop it.
  idb__del_session_locks(&a.s);
  ASSERT_EQ(idb__add_lock(&b.s, &b.ctx, 4, Words{1}.data()), 0);
  EXPECT_EQ(idb__add_lock(&a.s, &a.ctx, 6, bal_ge_100.data()), 0);
  idb__del_session_locks(&a.s);
  idb__del_session_locks(&b.s);
}

TEST_F(LockTest, ListLine) {
  Sess a;
  vglobal named{};
  char name[] = "ORDERS";
  named.name = name;
  a.ctx.root = &named;
  a.ctx.dbid = 3;
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 14, Words{4}.data()), 0);
  char line[128];
  idb__format_lock_line(idb__get_lock_list(), line, sizeof line);
  char want[128];
  snprintf(want, sizeof want, "%-10p %3d %-16.16s %4d %-7.7s %4d %s\n", static_cast<void*>(&a.s), 0,
           "ORDERS", 3, "GRANTED", 14, "set 5");
  EXPECT_STREQ(line, want);
  idb__del_session_locks(&a.s);
}

// --- Waits under the task kernel -------------------------------------------

using storage_test::TaskRunner;

struct KernelLockTest : LockTest {
  void SetUp() override {
    LockTest::SetUp();
    Tlog_ResetSemaphores();
  }
};

// The order in which events happened, by the tasks' own words.
std::vector<std::string> g_log;
Sess* g_s[6];
int g_rc[6];

// A request as the server runs it: under one unit of the API lock.
int request_lock(int i, int mode, const Words& q = {}) {
  EXPECT_EQ(Tlog_ApiSharedLock(), 0);
  const int rc = idb__add_lock(&g_s[i]->s, &g_s[i]->ctx, mode, q.empty() ? nullptr : q.data());
  Tlog_ApiSharedUnlock();
  return rc;
}

TEST_F(KernelLockTest, WaitersAreGrantedInArrivalOrder) {
  Sess a, b, c;
  g_s[0] = &a, g_s[1] = &b, g_s[2] = &c;
  g_log.clear();
  TaskRunner runner;
  ASSERT_TRUE(runner.run({
      +[] {
        EXPECT_EQ(request_lock(0, 12), 0);  // shared database
        thread_yield();                     // b and c queue up
        g_log.push_back("a releases");
        idb__del_session_locks(&g_s[0]->s);
      },
      +[] {
        EXPECT_EQ(request_lock(1, 3, Words{0}), 0);
        g_log.push_back("b granted");
        thread_yield();
        g_log.push_back("b releases");
        idb__del_session_locks(&g_s[1]->s);
      },
      +[] {
        // Set 0 shared: free beside a's shared database lock, but behind
        // b's waiting exclusive set lock.
        EXPECT_EQ(request_lock(2, 13, Words{0}), 0);
        g_log.push_back("c granted");
        idb__del_session_locks(&g_s[2]->s);
      },
  }));
  EXPECT_EQ(g_log, (std::vector<std::string>{"a releases", "b granted", "b releases", "c granted"}));
  EXPECT_GT(idb__get_lock_stats().wait_ticks + 1, 0u);
}

TEST_F(KernelLockTest, ACycleOfTwoWaitsEndsOneWithDeadlockAndGrantsTheOther) {
  idb__set_lock_config(0, 1);
  Sess a, b;
  g_s[0] = &a, g_s[1] = &b;
  g_rc[0] = g_rc[1] = 99;
  TaskRunner runner;
  auto body = +[] {
    const int me = thread_id(thread_self()) == 1 ? 0 : 1;
    EXPECT_EQ(request_lock(me, 4, Words{static_cast<uint32_t>(me)}), 0);
    thread_yield();
    g_rc[me] = request_lock(me, 3, Words{static_cast<uint32_t>(1 - me)});
    if (g_rc[me] != 0) {
      EXPECT_EQ(g_s[me]->s.error.code, S_DEADLK);
      // The victim's request failed; its client ends the session.
      idb__del_session_locks(&g_s[me]->s);
    } else {
      idb__del_session_locks(&g_s[me]->s);
    }
  };
  ASSERT_TRUE(runner.run({body, body}));
  EXPECT_EQ((g_rc[0] == 0) + (g_rc[1] == 0), 1) << g_rc[0] << " " << g_rc[1];
  EXPECT_EQ(g_rc[0] + g_rc[1], -1);
}

TEST_F(KernelLockTest, AWaitCutShortWakesThoseBehindIt) {
  Sess a, b, c;
  g_s[0] = &a, g_s[1] = &b, g_s[2] = &c;
  g_rc[1] = g_rc[2] = 99;
  TaskRunner runner;
  ASSERT_TRUE(runner.run({
      +[] {
        EXPECT_EQ(request_lock(0, 14, Words{0}), 0);
        thread_yield();  // b waits for a, c for b
        thread_yield();
        thread_cut(thread_by_id(2), -1);  // b's connection closes
        thread_yield();
        thread_yield();
        EXPECT_EQ(g_rc[2], 0) << "c still sleeps behind a wait that has ended";
        idb__del_session_locks(&g_s[0]->s);
      },
      +[] {
        g_rc[1] = request_lock(1, 3, Words{0});
        EXPECT_EQ(g_s[1]->s.error.code, S_DEADLK);
        EXPECT_EQ(g_s[1]->s.s_lock_cnt, 0);
      },
      +[] {
        g_rc[2] = request_lock(2, 13, Words{0});
        EXPECT_EQ(queue_fault(), "");
        idb__del_session_locks(&g_s[2]->s);
      },
  }));
  EXPECT_EQ(g_rc[1], -1);
  EXPECT_EQ(g_rc[2], 0);
}

TEST_F(KernelLockTest, AWaiterIsNotGrantedBesideALockTakenPastIt) {
  Sess a, b;
  g_s[0] = &a, g_s[1] = &b;
  g_rc[1] = 99;
  TaskRunner runner;
  ASSERT_TRUE(runner.run({
      +[] {
        EXPECT_EQ(request_lock(0, 4, Words{0}), 0);
        thread_yield();  // b waits for the whole database
        // a holds locks: it is not queued behind b's waiting request.
        EXPECT_EQ(request_lock(0, 4, Words{1}), 0);
        EXPECT_EQ(Tlog_ApiSharedLock(), 0);
        EXPECT_EQ(idb__del_locks(&g_s[0]->s, &g_s[0]->ctx, 4, Words{0}.data()), 1);
        Tlog_ApiSharedUnlock();
        thread_yield();
        EXPECT_EQ(queue_fault(), "");
        EXPECT_EQ(g_rc[1], 99) << "b was granted the database beside a's set lock";
        idb__del_session_locks(&g_s[0]->s);
      },
      +[] {
        g_rc[1] = request_lock(1, 1);
        idb__del_session_locks(&g_s[1]->s);
      },
  }));
  EXPECT_EQ(g_rc[1], 0);
}

// Five sessions lock, unlock, cancel each other's waits and end, at random;
// the queue is checked after every step.
std::mt19937 g_rng;
int g_steps_left;
std::string g_fault;

Words random_qualifier(int mode) {
  const int kind = (mode + 1) & ~1;
  if (kind == 4 || kind == 14) return {static_cast<uint32_t>(g_rng() % 3)};
  if (kind == 6 || kind == 16)
    return on_item(g_rng() % 2, 1 + g_rng() % 2, g_rng() % 3, static_cast<int32_t>(g_rng() % 20));
  return {};
}

void random_session() {
  const int me = thread_id(thread_self()) - 1;
  Sess& s = *g_s[me];
  while (g_steps_left > 0 && g_fault.empty()) {
    --g_steps_left;
    const unsigned op = g_rng() % 10;
    EXPECT_EQ(Tlog_ApiSharedLock(), 0);
    if (op < 5) {
      static const int modes[] = {1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16};
      const int mode = modes[g_rng() % 12];
      const Words q = random_qualifier(mode);
      idb__add_lock(&s.s, &s.ctx, mode, q.empty() ? nullptr : q.data());
    } else if (op < 7) {
      const int mode = 1 + static_cast<int>(g_rng() % 6);
      const Words q = random_qualifier(mode);
      idb__del_locks(&s.s, &s.ctx, mode, q.empty() ? nullptr : q.data());
    } else if (op < 8) {
      const int other = 1 + static_cast<int>(g_rng() % 5);
      if (thread_state(thread_by_id(other)) == TS_INTERUPTABLE) thread_cut(thread_by_id(other), -1);
    } else if (op < 9) {
      idb__del_session_locks(&s.s);
    }
    Tlog_ApiSharedUnlock();
    if (g_fault.empty()) g_fault = queue_fault();
    thread_yield();
  }
  idb__del_session_locks(&s.s);
  if (g_fault.empty()) g_fault = queue_fault();
}

TEST_F(KernelLockTest, RandomRunKeepsTheQueueSound) {
  for (int seed = 1; seed <= 40; ++seed) {
    g_rng.seed(seed);
    idb__set_lock_config(seed % 2, 0);
    Sess s[5];
    for (int i = 0; i < 5; ++i) g_s[i] = &s[i];
    g_steps_left = 400;
    g_fault.clear();
    TaskRunner runner;
    ASSERT_TRUE(runner.run({random_session, random_session, random_session, random_session,
                            random_session}))
        << "seed " << seed;
    ASSERT_EQ(g_fault, "") << "seed " << seed;
    ASSERT_EQ(idb__get_lock_list(), nullptr);
  }
}

// --- Unlocks inside a transaction -------------------------------------------

class HeldBack : public tlog_test::TlogFixture {
 protected:
  void SetUp() override {
    TlogFixture::SetUp();
    idb__set_lock_config(0, 0);
  }
  void TearDown() override {
    EXPECT_EQ(idb__get_lock_list(), nullptr);
    TlogFixture::TearDown();
  }
};

bool g_commit;

void unlock_in_transaction() {
  Sess a, b;
  a.s.ssn.tx_node = Tlog_Create();
  ASSERT_NE(a.s.ssn.tx_node, nullptr);
  const Words set0{0};
  ASSERT_EQ(idb__add_lock(&a.s, &a.ctx, 4, set0.data()), 0);
  ASSERT_EQ(Tlog_Begin(a.s.ssn.tx_node, "client", 3), 0);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 4, set0.data()), 1);
  EXPECT_EQ(a.s.s_lock_cnt, 0);
  ASSERT_NE(idb__get_lock_list(), nullptr);
  EXPECT_EQ(idb__get_lock_list()->l_stat, LockQueue_PENDING);
  EXPECT_EQ(idb__del_locks(&a.s, &a.ctx, 4, set0.data()), 0);  // not matched again
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 4, set0.data()), 22) << "the unlock took effect early";
  if (g_commit) {
    ASSERT_EQ(Tlog_Commit(a.s.ssn.tx_node), 0);
    Tlog_FinalCommit(a.s.ssn.tx_node);
  } else {
    ASSERT_EQ(Tlog_Rollback(a.s.ssn.tx_node, 0), 0);
  }
  idb__del_tx_locks(&a.s);
  EXPECT_EQ(idb__add_lock(&b.s, &b.ctx, 4, set0.data()), 0);
  idb__del_session_locks(&b.s);
  EXPECT_EQ(Tlog_Destroy(a.s.ssn.tx_node), 0);
}

TEST_F(HeldBack, DbunlockInATransactionKeepsTheLockUntilCommitOrRollback) {
  for (bool commit : {true, false}) {
    g_commit = commit;
    storage_test::TaskRunner runner;
    ASSERT_TRUE(runner.run({unlock_in_transaction})) << commit;
  }
}

}  // namespace
