// DBPUT under power loss: a stream of acknowledged puts (masters, details
// on existing and new automatic masters) while the power fails before a
// random write or flush (unflushed writes dropped or torn); the set is
// opened again and recovered as the server starts. Every acknowledged put
// is whole (record, master key, index entry, links, master counts) and
// nothing of an unacknowledged one remains: the record model agrees, with
// or without the one put that was running when the power went. A put
// inside a client transaction that never reached its final commit is gone.
// The same with updates that move orders between customers and regions
// (new automatic masters made, emptied ones removed) and deletes: every
// acknowledged change is whole after recovery, the one cut short all or
// nothing. The set each recovered run leaves is consistent.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "access/access_fixture.h"
#include "access/change_fixture.h"
#include "access/idb_delete.h"
#include "access/idb_put.h"
#include "access/idb_update.h"
#include "storage/disk_bytes.h"
#include "storage/server_stop.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/record_model.h"
#include "support/set_check.h"

namespace {

using access_test::AccessFixture;
using access_test::acting;
using access_test::customer;
using access_test::order;
using access_test::text;
using testsupport::RecordModel;
using Bytes = std::vector<uint8_t>;

struct Loss {
  const char* name;
  platform::PowerLoss mode;
  uint32_t seed;
};

class PutPowerLoss : public AccessFixture, public ::testing::WithParamInterface<Loss> {
 protected:
  struct Done {
    int setno;
    Bytes rec;
    uint32_t recno;
    uint32_t word;
  };

  // One put; {recno, index word} of what it stored in *d. Its status.
  int32_t put(int sn, const Bytes& rec, Done* d) {
    int32_t st[10];
    const char* name = g_->set[sn].s.type == 'D' ? "ORDERS" : "CUSTOMER";
    idb_put(s_, dbid_, name, static_cast<int>(strlen(name)) + 1, 1, nullptr, 0, rec, st);
    if (st[0] == 0) {
      *d = Done{sn, rec, static_cast<uint32_t>(st[3]), 0};
      if (g_->set[sn].s.index_cnt > 0) {
        const Bytes m = raw(name, d->recno);
        d->word = le_get32(idb__index_word_offset(&g_->set[sn], const_cast<uint8_t*>(m.data())));
      }
    }
    return st[0];
  }

  // The server's stop after a crash and its start: recovery, the start-up
  // checkpoint, the catalog; the sample opened again in a new session.
  void restart(const Loss& loss) {
    // A kill when the power has not gone yet: nothing more reaches the disk.
    if (!fs.crashed()) fs.crash_at(1, loss.mode, loss.seed);
    for (idb_session* s : sessions_) idb_exit_session(s);
    sessions_.clear();
    VNode_Flush(nullptr);
    VNode_Cleanup();
    for (SysCat_MAP* e = SysCat_ServerMap(); e->sys_id != 0; ++e) {
      delete e->node_descr;
      e->node_descr = nullptr;
      e->node = nullptr;
    }
    Vol_Close();
    Vol_Free();
    buf_Exit();
    fs.lose_power(loss.mode, loss.seed);
    open_set();
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(btree_Init(), 0);
    ASSERT_EQ(FixRec_Init(), 0);
    ASSERT_EQ(Tlog_Recover(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
    ASSERT_EQ(SysCat_open(), 0);
    s_ = session();
    dbid_ = idb__open_database(s_, "sample", 1);
    ASSERT_GT(dbid_, 0);
    ctx_ = idb__get_db_ctx(s_, dbid_);
    g_ = &ctx_->root->g;
  }
  // The server's orderly stop after the recovered run; the closed set is
  // consistent.
  void stop_and_check(const Loss& loss) {
    access_test::end_sessions(sessions_);
    SysCat_close();
    storage_test::stop_as_server(false);
    testsupport::expect_set_consistent({syscat_test::kRoot, syscat_test::kLog},
                                       std::string(loss.name) + std::to_string(loss.seed));
  }
};

TEST_P(PutPowerLoss, AcknowledgedPutsSurviveAndNothingElseRemains) {
  const Loss& loss = GetParam();
  ASSERT_EQ(Vol_SetSyncMode(1), 0);  // a final commit forces the log
  ASSERT_EQ(Tlog_Checkpoint("base"), 0);
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  std::mt19937 rng(loss.seed);
  const int cust = setno("CUSTOMER"), ords = setno("ORDERS");
  const char* const regions[] = {"EAST", "WEST", "NORT", "SOUT"};
  fs.crash_at(1 + static_cast<int>(rng() % 300), loss.mode, loss.seed);
  Done in_flight{-1, {}, 0, 0};
  int acked = 0;
  for (int i = 0; i < 40 && !fs.crashed(); ++i) {
    const bool master = i % 5 == 0;
    const std::string no = "C" + std::to_string(i % 5 == 0 ? 100 + i : 100 + (i / 5) * 5);
    Bytes rec;
    if (master) {
      rec = customer(no.c_str(), "name");
    } else {
      const int32_t date = static_cast<int32_t>(rng() % 3);
      rec = order(5000 + i, no.c_str(), regions[rng() % 4], date);
    }
    const int sn = master ? cust : ords;
    ASSERT_EQ(model.expect_put(sn, rec), 0) << i;
    Done d{};
    const int32_t code = put(sn, rec, &d);
    ASSERT_EQ(code, 0) << i;  // nothing fails while the program runs on
    if (fs.crashed()) {
      in_flight = d;
      break;
    }
    model.put(d.setno, d.rec, d.recno, d.word);
    ++acked;
  }
  bool client_tx = false;
  if (!fs.crashed()) {
    // The stream ended first: a put inside a client transaction that is
    // only pre-committed when the power goes.
    ASSERT_EQ(Tlog_Begin(idb__tx_node(s_), "client", 1), 0);
    Done d{};
    ASSERT_EQ(put(cust, customer("C999", ""), &d), 0);
    client_tx = true;
  }
  restart(loss);
  model.rebind(g_);
  const std::string without = model.check();
  if (!without.empty() && in_flight.setno >= 0) {
    // The put the power cut short may have reached its commit or not: all
    // of it or nothing.
    model.put(in_flight.setno, in_flight.rec, in_flight.recno, in_flight.word);
    EXPECT_EQ(model.check(), "") << loss.name << " after " << acked << " puts: " << without;
  } else {
    EXPECT_EQ(without, "") << loss.name << " after " << acked << " puts";
  }
  // Something was acknowledged before the power went, or the client's
  // transaction stood open when it did (its record is not in the model).
  EXPECT_TRUE(acked > 0 || client_tx) << loss.name;
  // The recovered database takes new puts.
  Done d{};
  acting() = s_;
  EXPECT_EQ(put(cust, customer("C777", ""), &d), 0);
  stop_and_check(loss);
}

TEST_P(PutPowerLoss, AcknowledgedUpdatesAndDeletesSurvive) {
  const Loss& loss = GetParam();
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  ASSERT_EQ(Tlog_Checkpoint("base"), 0);
  RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  std::mt19937 rng(loss.seed * 7 + 1);
  const int ords = setno("ORDERS");
  const char* const customers[] = {"C001", "C002", "C003"};
  const char* const regions[] = {"EAST", "WEST", "east", "NORT", "SOUT", "MID "};
  // More orders first, on a few regions of their own (automatic masters).
  for (int i = 0; i < 8; ++i) {
    const int32_t date = static_cast<int32_t>(rng() % 3);
    const char* cust = customers[rng() % 3];
    Done d{};
    ASSERT_EQ(put(ords, order(6000 + i, cust, regions[rng() % 6], date), &d), 0) << i;
    model.put(d.setno, d.rec, d.recno, d.word);
  }
  ASSERT_EQ(Tlog_Checkpoint("orders"), 0);
  fs.crash_at(30 + static_cast<int>(rng() % 350), loss.mode, loss.seed);
  RecordModel with_cut = model;  // the model with the change cut short
  int acked = 0;
  for (int i = 0; i < 60 && !fs.crashed(); ++i) {
    const std::vector<uint32_t> recs = model.recnos(ords);
    if (recs.empty()) break;
    const uint32_t recno = recs[rng() % recs.size()];
    ctx_->sets[ords].recno = static_cast<int32_t>(recno);
    int32_t st[10];
    with_cut = model;
    if (rng() % 3 == 0 && recs.size() > 4) {
      ASSERT_EQ(model.expect_delete(ords, recno), 0) << i;
      idb_delete(s_, dbid_, "ORDERS", 7, 1, st);
      ASSERT_EQ(st[0], 0) << i;
      with_cut.remove(ords, recno);
    } else {
      Bytes rec = model.user(ords, recno);
      text(rec.data() + 4, customers[rng() % 3], 8);
      text(rec.data() + 12, regions[rng() % 6], 4);
      const int32_t date = static_cast<int32_t>(rng() % 3);
      memcpy(rec.data() + 16, &date, 4);
      ASSERT_EQ(model.expect_update(ords, recno, rec, 2), 0) << i;
      idb_update(s_, dbid_, "ORDERS", 7, 2, nullptr, 0, rec, st);
      ASSERT_EQ(st[0], 0) << i;
      with_cut.update(ords, recno, rec);
    }
    if (fs.crashed()) break;
    model = with_cut;
    ++acked;
  }
  const bool cut = fs.crashed();
  // The power went in the middle of the stream.
  EXPECT_TRUE(cut && acked > 0) << loss.name << " after " << acked << " changes";
  restart(loss);
  model.rebind(g_);
  with_cut.rebind(g_);
  const std::string without = model.check();
  if (!without.empty()) {
    EXPECT_EQ(with_cut.check(), "") << loss.name << " after " << acked << " changes: " << without;
  }
  // The recovered database takes new changes.
  acting() = s_;
  const std::vector<uint32_t> left = model.recnos(ords);
  if (!left.empty() && without.empty()) {
    ctx_->sets[ords].recno = static_cast<int32_t>(left.front());
    int32_t st[10];
    idb_delete(s_, dbid_, "ORDERS", 7, 1, st);
    EXPECT_EQ(st[0], 0);
  }
  stop_and_check(loss);
}

INSTANTIATE_TEST_SUITE_P(
    Put, PutPowerLoss,
    ::testing::Values(Loss{"DropUnflushed", platform::PowerLoss::DropUnflushed, 1},
                      Loss{"DropUnflushed", platform::PowerLoss::DropUnflushed, 2},
                      Loss{"DropUnflushed", platform::PowerLoss::DropUnflushed, 3},
                      Loss{"TearUnflushed", platform::PowerLoss::TearUnflushed, 4},
                      Loss{"TearUnflushed", platform::PowerLoss::TearUnflushed, 5},
                      Loss{"TearUnflushed", platform::PowerLoss::TearUnflushed, 6}),
    [](const ::testing::TestParamInfo<Loss>& i) {
      return std::string(i.param.name) + std::to_string(i.param.seed);
    });

}  // namespace
