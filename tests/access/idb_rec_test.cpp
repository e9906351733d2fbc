// Record access over the stored sample: the media records as the layout
// fixes them (golden bytes and chains that agree with each other), the
// record states of a read and of a rewrite as a table, a locked read that
// meets another transaction's record, a rewrite seen only by its own
// transaction until commit, and master lookups.
#include <gtest/gtest.h>

#include <cstring>

#include "access/access_fixture.h"
#include "access/idb_cmd.h"
#include "access/idb_rec.h"
#include "storage/disk_bytes.h"
#include "storage/task_runner.h"

namespace {

using access_test::AccessFixture;
using access_test::acting;

class RecTest : public AccessFixture {
 protected:
  // Opens the set's record file for one call, as a command does.
  int read(idb_session* s, const char* name, uint32_t recno, std::vector<uint8_t>* out,
           uint32_t flags = 0) {
    const idb_set* st = set(name);
    out->assign(media_len(st), 0);
    EXPECT_EQ(idb__open_node(s, st, 1), 0);
    const int rc = idb__read_rec(s, flags, st, recno, out->data(), static_cast<uint32_t>(out->size()));
    idb__close_nodes(s);
    return rc;
  }
 public:
  void rewrite_and_conflict();
};

TEST_F(RecTest, MediaRecordsAreLaidOutByteByByte) {
  // Order 1: ORDER-NO, CUST-NO, REGION, ORDER-DATE, AMOUNT, QTY, two pad
  // bytes, index word, then {next, prev} of the customer and region chains.
  std::vector<uint8_t> want(52, 0);
  const int32_t no = 101, date = 20240105;
  const double amount = 12.5;
  const int16_t qty = 1;
  memcpy(&want[0], &no, 4);
  memcpy(&want[4], "C001    ", 8);
  memcpy(&want[12], "EAST", 4);
  memcpy(&want[16], &date, 4);
  memcpy(&want[20], &amount, 8);
  memcpy(&want[28], &qty, 2);
  le_put32(&want[32], 1);  // the file's first counter value
  le_put32(&want[36], 4);
  le_put32(&want[40], 2);
  le_put32(&want[44], 3);
  le_put32(&want[48], 0);
  EXPECT_EQ(raw("ORDERS", 1), want);
  std::vector<uint8_t> cust(40, 0);
  memcpy(&cust[0], "C001    Ada Fischer         ", 28);
  le_put32(&cust[28], 3);
  le_put32(&cust[32], 2);
  le_put32(&cust[36], 4);
  EXPECT_EQ(raw("CUSTOMER", 1), cust);
}

// Every master's chain walked forward holds its count of details, each
// linked back to the one before, and ends at the master's last record.
TEST_F(RecTest, ChainsAgreeWithTheirMasters) {
  struct Chain { const char* master; uint32_t path_off; };
  for (const Chain& c : {Chain{"CUSTOMER", 28}, Chain{"REGIONS", 4}}) {
    const uint32_t link = c.path_off == 28 ? 36 : 44;
    for (uint32_t m = 1; m <= 3; ++m) {
      const auto mr = raw(c.master, m);
      const uint32_t count = le_get32(&mr[c.path_off]);
      const uint32_t first = le_get32(&mr[c.path_off + 4]);
      const uint32_t last = le_get32(&mr[c.path_off + 8]);
      uint32_t n = 0, prev = 0, at = first;
      while (at != 0) {
        const auto o = raw("ORDERS", at);
        EXPECT_EQ(le_get32(&o[link + 4]), prev) << c.master << " " << m << " at " << at;
        EXPECT_EQ(memcmp(&o[c.path_off == 28 ? 4 : 12], &mr[0], c.path_off == 28 ? 8 : 4), 0);
        prev = at;
        at = le_get32(&o[link]);
        ASSERT_LE(++n, 5u);
      }
      EXPECT_EQ(n, count) << c.master << " " << m;
      EXPECT_EQ(prev, last) << c.master << " " << m;
    }
  }
}

TEST_F(RecTest, ReadStatesAsCodes) {
  rewrite("ORDERS", 3, {});
  struct Case { uint32_t recno; int rc; int32_t code, sub; };
  const Case cases[] = {
      {1, 0, 0, 0},
      {5, 0, 0, 0},
      {0, -1, S_DIRBOF, 3},
      {3, -1, S_NOREC, 2},
      {6, -1, S_NOREC, 2},  // a free slot of the last cluster
      {100000, -1, S_DIREOF, 4},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b;
    s_->error = {};
    EXPECT_EQ(read(s_, "ORDERS", c.recno, &b), c.rc) << c.recno;
    EXPECT_EQ(s_->error.code, c.code) << c.recno;
    EXPECT_EQ(s_->error.sub_code, c.sub) << c.recno;
    if (c.rc == 0) {
      EXPECT_EQ(b, raw("ORDERS", c.recno));
    }
  }
}

RecTest* g_test = nullptr;

// A task: the lower layers record a blocking holder in the task's session.
TEST_F(RecTest, RewriteIsSeenByItsTransactionUntilCommit) {
  g_test = this;
  storage_test::TaskRunner runner;
  ASSERT_TRUE(runner.run({+[] { g_test->rewrite_and_conflict(); }}));
}

void RecTest::rewrite_and_conflict() {
  idb_session* other = session();
  acting() = s_;
  std::vector<uint8_t> b;
  ASSERT_EQ(Tlog_Begin(idb__tx_node(s_), "DBUPDATE", IDB_CMD_TXID), 0);
  ASSERT_EQ(read(s_, "ORDERS", 2, &b, GET_MODE_LOCKED), 0);
  const auto before = b;
  b[28] = 77;
  const idb_set* orders = set("ORDERS");
  ASSERT_EQ(idb__open_node(s_, orders, 1), 0);
  EXPECT_EQ(idb__write_rec(s_, orders, 2, b.data(), static_cast<uint32_t>(b.size())), 0);
  idb__close_nodes(s_);
  std::vector<uint8_t> seen;
  ASSERT_EQ(read(s_, "ORDERS", 2, &seen), 0);
  EXPECT_EQ(seen, b);
  // Another session reads the committed record, and its locked read is
  // refused naming the holder.
  acting() = other;
  ASSERT_EQ(read(other, "ORDERS", 2, &seen), 0);
  EXPECT_EQ(seen, before);
  ASSERT_EQ(Tlog_Begin(idb__tx_node(other), "DBUPDATE", IDB_CMD_TXID), 0);
  EXPECT_EQ(read(other, "ORDERS", 2, &seen, GET_MODE_LOCKED), -1);
  EXPECT_EQ(other->error.code, S_VOLFREC);
  // The wait names the record, whose entry leads to the holder: what the
  // command transaction waits on.
  EXPECT_EQ(other->ssn.wait_node, orders->s.node);
  EXPECT_EQ(other->ssn.wait_key, 2u);
  const Node_LOG_REC* held = Node_FindLogRecord(other->ssn.wait_node, other->ssn.wait_key);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->log_node, idb__tx_node(s_));
  idb__clear_blocking(other);
  Node_ReleaseAllAdvLocks(other->adv_locks);
  ASSERT_EQ(Tlog_Rollback(idb__tx_node(other), Tlog_TxID(idb__tx_node(other))), 0);
  acting() = s_;
  Node_ReleaseAllAdvLocks(s_->adv_locks);
  ASSERT_EQ(Tlog_Commit(idb__tx_node(s_)), 0);
  Tlog_FinalCommit(idb__tx_node(s_));
  EXPECT_EQ(raw("ORDERS", 2), b);
}

// A rewrite follows a locked read; a record its own transaction deleted
// meanwhile answers the record state.
TEST_F(RecTest, RewriteOfARecordDeletedInTheTransaction) {
  const idb_set* orders = set("ORDERS");
  std::vector<uint8_t> b(media_len(orders), 0);
  ASSERT_EQ(Tlog_Begin(idb__tx_node(s_), "DBUPDATE", IDB_CMD_TXID), 0);
  ASSERT_EQ(idb__open_node(s_, orders, 1), 0);
  ASSERT_EQ(idb__read_rec(s_, GET_MODE_LOCKED, orders, 4, b.data(), static_cast<uint32_t>(b.size())), 0);
  ASSERT_EQ(FixRec_Delete(orders->s.node, 4, nullptr, idb__tx_node(s_)), 0);
  EXPECT_EQ(idb__write_rec(s_, orders, 4, b.data(), static_cast<uint32_t>(b.size())), -1);
  EXPECT_EQ(s_->error.code, S_NOREC);
  EXPECT_EQ(s_->error.sub_code, 2);
  idb__close_nodes(s_);
  Node_ReleaseAllAdvLocks(s_->adv_locks);
  ASSERT_EQ(Tlog_Rollback(idb__tx_node(s_), Tlog_TxID(idb__tx_node(s_))), 0);
  EXPECT_EQ(raw("ORDERS", 4).size(), 52u);
}

TEST_F(RecTest, MasterLookup) {
  struct Case { const char* set; const char* key; int rc; uint32_t recno; int32_t code; };
  const Case cases[] = {
      {"CUSTOMER", "C002    ", 0, 2, 0},
      {"CUSTOMER", "C003    ", 0, 3, 0},
      {"CUSTOMER", "c002    ", -1, 0, S_NOREC},  // a master key has no collation
      {"CUSTOMER", "C009    ", -1, 0, S_NOREC},
      {"REGIONS", "east", 0, 3, 0},
      {"REGIONS", "EAST", 0, 1, 0},
      {"REGIONS", "NORT", -1, 0, S_NOREC},
  };
  for (const Case& c : cases) {
    uint32_t recno = 0;
    s_->error = {};
    EXPECT_EQ(idb__master_lookup(s_, g_, set(c.set), c.key, &recno), c.rc) << c.key;
    EXPECT_EQ(recno, c.recno) << c.key;
    EXPECT_EQ(s_->error.code, c.code) << c.key;
    EXPECT_EQ(s_->error.sub_code, 0) << c.key;
  }
}

}  // namespace
