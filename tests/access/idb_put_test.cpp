// DBPUT over the stored sample: the refusals in their order as a table;
// records put into an empty copy of the sample agree byte for byte with
// the hand-written ones (records, chains, master entries, keys); sorted
// chains with ties, automatic masters, missing manual masters and
// duplicate keys; the status words of a put; and random puts against the
// record model, checked every few steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "access/access_fixture.h"
#include "access/change_fixture.h"
#include "access/idb_cmd.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "access/idb_lock.h"
#include "access/idb_put.h"
#include "access/idb_rec.h"
#include "storage/disk_bytes.h"
#include "storage/task_runner.h"
#include "support/record_model.h"

namespace {

using access_test::AccessFixture;
using access_test::acting;
using access_test::customer;
using access_test::order;
using access_test::PutTest;
using access_test::text;
using testsupport::RecordModel;
using Bytes = std::vector<uint8_t>;

// The sample's records put with DBPUT into an empty copy of its schema, in
// the order they were written by hand: every media record, chain, master
// entry and key agrees byte for byte.
TEST_F(PutTest, PutRecordsAgreeByteForByteWithTheHandWrittenSample) {
  idb_session* t = nullptr;
  const int32_t id = open_empty("copy", &t);
  ASSERT_GT(id, 0);
  acting() = t;
  const global* cg = &idb__get_db_ctx(t, id)->root->g;
  EXPECT_EQ(put(t, id, "CUSTOMER", customer("C001", "Ada Fischer")), 0);
  EXPECT_EQ(put(t, id, "CUSTOMER", customer("C002", "Bo Lindqvist")), 0);
  EXPECT_EQ(put(t, id, "CUSTOMER", customer("C003", "Cy Okafor")), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(101, "C001", "EAST", 20240105, 12.5, 1)), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(102, "C001", "WEST", 20240101, 7.25, 2)), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(103, "C002", "EAST", 20240203, 99.0, 3)), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(104, "C001", "east", 20240110, 0.5, 4)), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(105, "C002", "WEST", 20240201, 1e3, 5)), 0);
  EXPECT_EQ(st_[3], 5);
  for (const char* name : {"CUSTOMER", "REGIONS", "ORDERS"})
    EXPECT_EQ(all(name, cg), all(name, g_)) << name;
  for (const char* name : {"CUSTOMER", "REGIONS"})
    EXPECT_EQ(keys(cg->set[idb__find_set(cg, name)].s.key.node, nullptr),
              keys(set(name)->s.key.node, nullptr)) << name;
  const idb_index& ix = set("ORDERS")->index[0];
  const idb_index& cix = cg->set[idb__find_set(cg, "ORDERS")].index[0];
  EXPECT_EQ(keys(cix.node, cix.coll), keys(ix.node, ix.coll));
  acting() = s_;
}

// The refusals in their order; each leaves the sets as they were.
TEST_F(PutTest, RefusalsInTheirOrder) {
  others({999});
  ASSERT_FALSE(HasFatalFailure());

  const Bytes ok = order(500, "C001", "EAST", 1);
  const Bytes locked = order(999, "C001", "EAST", 1);
  const Bytes short_rec(ok.begin(), ok.end() - 1);
  const Bytes tiny(3, 'x');
  const Bytes orphan = order(501, "C999", "EAST", 1);
  const Bytes dupl = customer("C002", "x");
  struct Case {
    const char* what;
    idb_session* s;
    int32_t dbid;  // 0: the session's open one
    const char* set;
    int32_t mode;
    const Bytes* rec;
    int32_t code;
  };
  const Case cases[] = {
      {"unknown dbid", s_, 999, "ORDERS", 2, &short_rec, -11},
      {"mode 2", s_, 0, "NOSUCH", 2, &short_rec, -31},
      {"unknown set", s_, 0, "NOSUCH", 1, &short_rec, -21},
      {"no access to the set", r_, 0, "CUSTOMER", 1, &ok, -21},
      {"record shorter than rec_len", s_, 0, "REGIONS", 1, &tiny, -21},
      {"record one byte short", s_, 0, "ORDERS", 1, &short_rec, -21},
      {"automatic master", s_, 0, "REGIONS", 1, &ok, -24},
      {"database open for reading", ro_, 0, "ORDERS", 1, &ok, -14},
      {"read-only access", r_, 0, "ORDERS", 1, &ok, -23},
      {"another session's descriptor lock", s_, 0, "ORDERS", 1, &locked, -12},
      {"no manual master", s_, 0, "ORDERS", 1, &orphan, 101},
      {"duplicate master key", s_, 0, "CUSTOMER", 1, &dupl, 43},
  };
  RecordModel before(g_);
  ASSERT_EQ(before.load(), "");
  for (const Case& c : cases) {
    const int32_t id = act_on(c.s, c.dbid);
    EXPECT_EQ(put(c.s, id, c.set, *c.rec, c.mode), c.code) << c.what;
    EXPECT_EQ(st_[5], IDB_PUT) << c.what;
    EXPECT_EQ(st_[8], c.mode) << c.what;
    EXPECT_EQ(st_[9], 0) << c.what;
    EXPECT_EQ(before.check(), "") << c.what;
  }
  acting() = s_;
  EXPECT_EQ(put("ORDERS", ok), 0);  // the same record passes for its owner
}

// With two manual masters a missing one answers by its path: 101 for the
// first, 102 for the second (the first is tested first); neither leaves a
// record behind.
TEST_F(PutTest, MissingManualMastersAnswerByPath) {
  idb_session* t = nullptr;
  const int32_t id = open_empty("manual", &t, true);
  ASSERT_GT(id, 0);
  acting() = t;
  const global* mg = &idb__get_db_ctx(t, id)->root->g;
  ASSERT_EQ(mg->set[idb__find_set(mg, "REGIONS")].s.type, static_cast<uint32_t>('M'));
  ASSERT_EQ(put(t, id, "CUSTOMER", customer("C001", "a")), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(1, "C002", "EAST", 1)), 101);
  EXPECT_EQ(put(t, id, "ORDERS", order(2, "C001", "EAST", 1)), 102);
  EXPECT_EQ(st_[5], IDB_PUT);
  EXPECT_EQ(put(t, id, "ORDERS", order(3, "C002", "WEST", 1)), 101);
  ASSERT_EQ(put(t, id, "REGIONS", Bytes{'E', 'A', 'S', 'T'}), 0);
  EXPECT_EQ(put(t, id, "ORDERS", order(4, "C001", "EAST", 1)), 0);
  RecordModel m(mg);
  EXPECT_EQ(m.load(), "");
  EXPECT_EQ(m.records(idb__find_set(mg, "ORDERS")), 1u);  // the refused ones left none
  EXPECT_EQ(m.check(), "");
  acting() = s_;
}

// Sort values 5, 3, 5, 1 on one customer form the chain 1, 3, 5, 5 with
// the second 5 after the first; the automatic master of a new region is
// created with count 1, and a second order makes it 2, linked after the
// first; the status names the new record and the links of the cursor's
// path.
TEST_F(PutTest, ChainsSortedWithTiesAndAutomaticMasters) {
  ASSERT_EQ(put("CUSTOMER", customer("C010", "Tie")), 0);
  EXPECT_EQ(st_[1], 28);
  EXPECT_EQ(st_[5], 1);
  EXPECT_EQ(st_[8], 0);
  const uint32_t cust = static_cast<uint32_t>(st_[3]);
  std::vector<uint32_t> recs;
  for (int32_t date : {5, 3, 5, 1}) {
    ASSERT_EQ(put("ORDERS", order(600 + date * 10 + static_cast<int32_t>(recs.size()), "C010", "NORT", date)), 0);
    EXPECT_EQ(st_[1], 30);
    EXPECT_EQ(st_[5], 0);
    recs.push_back(static_cast<uint32_t>(st_[3]));
  }
  EXPECT_EQ(chain_of("CUSTOMER", cust, "ORDERS", 0),
            (std::vector<uint32_t>{recs[3], recs[1], recs[0], recs[2]}));
  // The last put (date 1) went first: the cursor's path is path 1.
  EXPECT_EQ(st_[7], 0);
  EXPECT_EQ(st_[9], static_cast<int32_t>(recs[1]));
  const Bytes m = raw("CUSTOMER", cust);
  const uint8_t* head = idb__path_area(set("CUSTOMER"), const_cast<uint8_t*>(m.data()));
  EXPECT_EQ(le_get32(head), 4u);
  EXPECT_EQ(le_get32(head + 8), recs[2]);
  // Region NORT was created by the first order and holds all four in put order.
  uint32_t nort = 0;
  ASSERT_EQ(idb__open_node(s_, set("REGIONS"), 1), 0);
  ASSERT_EQ(idb__master_lookup(s_, g_, set("REGIONS"), "NORT", &nort), 0);
  idb__close_nodes(s_);
  EXPECT_EQ(chain_of("REGIONS", nort, "ORDERS", 1), recs);
  EXPECT_EQ(le_get32(idb__path_area(set("REGIONS"), raw("REGIONS", nort).data())), 4u);

  // A new region from one order: count 1; a second: count 2, after it.
  ASSERT_EQ(put("ORDERS", order(700, "C003", "SOUT", 20240301)), 0);
  const uint32_t a = static_cast<uint32_t>(st_[3]);
  ASSERT_EQ(put("ORDERS", order(701, "C003", "SOUT", 20240302)), 0);
  const uint32_t b = static_cast<uint32_t>(st_[3]);
  uint32_t sout = 0;
  ASSERT_EQ(idb__open_node(s_, set("REGIONS"), 1), 0);
  ASSERT_EQ(idb__master_lookup(s_, g_, set("REGIONS"), "SOUT", &sout), 0);
  idb__close_nodes(s_);
  EXPECT_EQ(chain_of("REGIONS", sout, "ORDERS", 1), (std::vector<uint32_t>{a, b}));
}

// Random puts against the model: masters (some with keys that exist),
// orders whose customer exists or not, whose region exists or is new,
// with sort values that tie; the status of every call as the model
// predicts it; the whole database compared every few steps.
TEST_F(PutTest, RandomPutsAgreeWithTheModel) {
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  std::mt19937 rng(29);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  const char* const regions[] = {"EAST", "WEST", "east", "NORT", "SOUT", "MID ", "FAR "};
  const int cust = setno("CUSTOMER"), ords = setno("ORDERS");
  for (int step = 0; step < 300; ++step) {
    const bool master = pick(5) == 0;
    const std::string no = "C" + std::to_string(pick(12));
    const Bytes rec = master ? customer(no.c_str(), "n")
                             : order(1000 + step, no.c_str(), regions[pick(7)], pick(4), pick(3) * 0.5,
                                     static_cast<int16_t>(pick(2)));
    const int sn = master ? cust : ords;
    const int32_t want = model.expect_put(sn, rec);
    uint32_t fwd = 0, bwd = 0;
    if (!master) model.expect_links(sn, rec, 0, &fwd, &bwd);
    const int32_t code = put(master ? "CUSTOMER" : "ORDERS", rec);
    ASSERT_EQ(code, want) << "step " << step;
    if (code == 0) {
      const uint32_t recno = static_cast<uint32_t>(st_[3]);
      EXPECT_EQ(st_[5], master ? 1 : 0) << "step " << step;
      if (!master) {
        EXPECT_EQ(st_[9], static_cast<int32_t>(fwd)) << "step " << step;
        EXPECT_EQ(st_[7], static_cast<int32_t>(bwd)) << "step " << step;
      }
      const Bytes stored = raw(master ? "CUSTOMER" : "ORDERS", recno);
      const uint32_t word =
          master ? 0 : le_get32(idb__index_word_offset(set("ORDERS"), const_cast<uint8_t*>(stored.data())));
      model.put(sn, rec, recno, word);
    } else {
      EXPECT_EQ(st_[5], IDB_PUT);
    }
    if (step % 25 == 24) {
      ASSERT_EQ(model.check(), "") << "step " << step;
      // DBGET reads what the model holds: serially, and each customer by key.
      const auto orders_read = serial("ORDERS");
      EXPECT_EQ(orders_read.size(), model.records(ords)) << "step " << step;
      for (auto& [recno, user] : serial("CUSTOMER")) {
        int32_t st[10];
        Bytes buf(28);
        EXPECT_EQ(idb_get(s_, dbid_, "CUSTOMER", 9, 7, nullptr, 0, buf,
                          std::span<const uint8_t>(user.data(), 8), st), 0);
        EXPECT_EQ(st[3], static_cast<int32_t>(recno));
        EXPECT_EQ(buf, user);
      }
    }
  }
  EXPECT_EQ(model.check(), "");
  EXPECT_GT(model.records(ords), 100u);
}

// Random puts, updates (mode 1 and 2, of master keys, path values, sort
// entries and plain items) and deletes against the model: the status of
// every call as the model predicts it, the links the cursor reports, and
// the whole database compared every few steps (chains both ways, master
// counts, first and last, automatic masters made and removed, master keys
// and index entries, serial and keyed reads).
TEST_F(PutTest, RandomChangesAgreeWithTheModel) {
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  std::mt19937 rng(31);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  const char* const regions[] = {"EAST", "WEST", "east", "NORT", "SOUT", "MID ", "FAR "};
  const int cust = setno("CUSTOMER"), ords = setno("ORDERS");
  std::vector<uint32_t> gone;  // deleted record numbers of ORDERS
  int updated = 0, deleted = 0, moved = 0;
  for (int step = 0; step < 400; ++step) {
    const int op = pick(10);
    const bool master = pick(4) == 0;
    const int sn = master ? cust : ords;
    const char* name = master ? "CUSTOMER" : "ORDERS";
    const std::string no = "C" + std::to_string(pick(12));
    const std::string where = "step " + std::to_string(step);
    if (op < 4) {
      const Bytes rec = master ? customer(no.c_str(), "n")
                               : order(1000 + step, no.c_str(), regions[pick(7)], pick(4),
                                       pick(3) * 0.5, static_cast<int16_t>(pick(2)));
      const int32_t want = model.expect_put(sn, rec);
      ASSERT_EQ(put(name, rec), want) << where;
      if (want == 0) {
        const uint32_t recno = static_cast<uint32_t>(st_[3]);
        const Bytes stored = raw(name, recno);
        model.put(sn, rec, recno,
                  master ? 0 : le_get32(idb__index_word_offset(set(name), const_cast<uint8_t*>(stored.data()))));
      }
    } else {
      std::vector<uint32_t> recs = model.recnos(sn);
      if (!master && !gone.empty() && pick(8) == 0) recs = gone;
      if (recs.empty()) continue;
      const uint32_t recno = recs[static_cast<size_t>(pick(static_cast<int>(recs.size())))];
      at(name, recno);
      if (op < 8) {
        const int32_t mode = 1 + pick(2);
        Bytes rec = model.user(sn, recno);
        if (rec.empty()) rec = master ? customer("C0", "n") : order(1, "C0", "EAST", 0);
        if (master) {
          if (pick(2) == 0) rec = customer(no.c_str(), "renamed");
          else text(rec.data() + 8, ("name " + std::to_string(step)).c_str(), 20);
        } else {
          switch (pick(6)) {
            case 0: text(rec.data() + 4, no.c_str(), 8); break;          // path 1
            case 1: text(rec.data() + 12, regions[pick(7)], 4); break;   // path 2, index
            case 2: { const int32_t d = pick(4); memcpy(rec.data() + 16, &d, 4); break; }  // sort
            case 3: { const double a = pick(3) * 0.5; memcpy(rec.data() + 20, &a, 8); break; }
            case 4: { const int32_t n = 5000 + step; memcpy(rec.data(), &n, 4); break; }  // index
            default:
              text(rec.data() + 4, no.c_str(), 8);
              text(rec.data() + 12, regions[pick(7)], 4);
          }
        }
        const int32_t want = model.expect_update(sn, recno, rec, mode);
        ASSERT_EQ(update(name, rec, mode), want) << where;
        if (want != 0) {
          EXPECT_EQ(st_[5], IDB_UPDATE) << where;
          continue;
        }
        const Bytes before = model.user(sn, recno);
        const std::vector<bool> mv = model.moved_paths(sn, before, rec);
        moved += std::count(mv.begin(), mv.end(), true) > 0;
        model.update(sn, recno, rec);
        ++updated;
      } else {
        const int32_t want = model.expect_delete(sn, recno);
        uint32_t fwd = 0, bwd = 0;
        if (!master) model.links(sn, recno, 0, &fwd, &bwd);
        ASSERT_EQ(del(name), want) << where;
        if (want != 0) {
          EXPECT_EQ(st_[5], IDB_DELETE) << where;
          continue;
        }
        if (!master) {
          EXPECT_EQ(st_[9], static_cast<int32_t>(fwd)) << where;
          EXPECT_EQ(st_[7], static_cast<int32_t>(bwd)) << where;
          gone.push_back(recno);
        }
        model.remove(sn, recno);
        ++deleted;
        continue;
      }
      EXPECT_EQ(st_[3], static_cast<int32_t>(recno)) << where;
      EXPECT_EQ(st_[5], master ? 1 : 0) << where;
      if (!master) {
        uint32_t fwd = 0, bwd = 0;
        model.links(sn, recno, 0, &fwd, &bwd);
        EXPECT_EQ(st_[9], static_cast<int32_t>(fwd)) << where;
        EXPECT_EQ(st_[7], static_cast<int32_t>(bwd)) << where;
      }
    }
    if (step % 20 == 19) {
      ASSERT_EQ(model.check(), "") << where;
      EXPECT_EQ(serial("ORDERS").size(), model.records(ords)) << where;
      for (auto& [recno, user] : serial("CUSTOMER")) {
        int32_t st[10];
        Bytes buf(28);
        EXPECT_EQ(idb_get(s_, dbid_, "CUSTOMER", 9, 7, nullptr, 0, buf,
                          std::span<const uint8_t>(user.data(), 8), st), 0);
        EXPECT_EQ(st[3], static_cast<int32_t>(recno)) << where;
      }
    }
  }
  EXPECT_EQ(model.check(), "");
  EXPECT_GT(updated, 40);
  EXPECT_GT(moved, 20);
  EXPECT_GT(deleted, 20);
}

// --- Two sessions ---------------------------------------------------------------------------

// Session a puts an order on C003 inside its own transaction and leaves it
// open; session b's put on the same customer meets it, waits, and runs
// once more after a's commit. Both orders end on the chain (count 2) in
// date order, and b's put answers once, with success.
TEST_F(PutTest, TwoSessionsOnOneMasterWaitForEachOther) {
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  ASSERT_NO_FATAL_FAILURE(b_waits_for_a(
      [](PutTest& t, idb_session* s, int32_t dbid) {
        ASSERT_EQ(t.put(s, dbid, "ORDERS", order(801, "C003", "WEST", 20240502)), 0);
      },
      [](idb_session* s, int32_t dbid, int32_t* st) {
        idb_put(s, dbid, "ORDERS", 7, 1, nullptr, 0, order(802, "C003", "WEST", 20240501), st);
      }));
  // Both on C003's chain, b's earlier date first, and on WEST's after its
  // two orders in commit order.
  const Bytes c3 = raw("CUSTOMER", 3);
  const uint8_t* head = idb__path_area(set("CUSTOMER"), const_cast<uint8_t*>(c3.data()));
  EXPECT_EQ(le_get32(head), 2u);
  const std::vector<uint32_t> ch = chain_of("CUSTOMER", 3, "ORDERS", 0);
  ASSERT_EQ(ch.size(), 2u);
  auto order_no = [&](uint32_t r) {
    int32_t n;
    memcpy(&n, raw("ORDERS", r).data(), 4);
    return n;
  };
  EXPECT_EQ(order_no(ch[0]), 802);
  EXPECT_EQ(order_no(ch[1]), 801);
  EXPECT_EQ(link("ORDERS", ch[0], 0, false), 0u);
  EXPECT_EQ(link("ORDERS", ch[1], 0, false), ch[0]);
  const std::vector<uint32_t> west = chain_of("REGIONS", 2, "ORDERS", 1);
  ASSERT_EQ(west.size(), 4u);
  EXPECT_EQ(order_no(west[2]), 801);
  EXPECT_EQ(order_no(west[3]), 802);
  // The model, told of both, agrees with everything stored.
  model.put(setno("ORDERS"), order(801, "C003", "WEST", 20240502), ch[1], le_get32(idb__index_word_offset(set("ORDERS"), const_cast<uint8_t*>(raw("ORDERS", ch[1]).data()))));
  model.put(setno("ORDERS"), order(802, "C003", "WEST", 20240501), ch[0], le_get32(idb__index_word_offset(set("ORDERS"), const_cast<uint8_t*>(raw("ORDERS", ch[0]).data()))));
  EXPECT_EQ(model.check(), "");
}

}  // namespace
