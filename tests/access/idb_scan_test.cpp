// Bulk scans over the stored sample (five more orders make ten): serial
// scans to the end and from the last record, record lists in rows over
// three sets, key scans on the collated index and the master keys with
// their stop rules and continuation after a full buffer, chain scans by
// key and by number with NEXT, and the refusals: bad contexts, small
// buffers, keys that are not master keys or cut them, a key state read as
// a chain state, a chain whose link leads nowhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_put.h"
#include "access/idb_scan.h"
#include "storage/disk_bytes.h"
#include "support/sample_db.h"

namespace {

using access_test::AccessFixture;
using Bytes = std::vector<uint8_t>;

// Header and the record numbers of an output buffer, the fields checked
// by the caller.
struct Out {
  uint32_t word0, count, bytes;
  std::vector<uint32_t> recnos;
};

class ScanTest : public AccessFixture {
 protected:
  void SetUp() override {
    AccessFixture::SetUp();
    if (HasFatalFailure()) return;
    // Orders 6..10 of C003 in a new region NORT (an automatic master).
    for (int i = 6; i <= 10; ++i) {
      std::vector<uint8_t> rec(30, 0);
      const int32_t no = 100 + i;
      memcpy(rec.data(), &no, 4);
      memcpy(rec.data() + 4, "C003    ", 8);
      memcpy(rec.data() + 12, "NORT", 4);
      const int32_t date = 20240300 + i;
      memcpy(rec.data() + 16, &date, 4);
      int32_t st[10];
      ASSERT_EQ(idb_put(s_, dbid_, "ORDERS", 7, 1, nullptr, 0, rec, st), 0) << st[0];
    }
  }
  void TearDown() override {
    for (auto* c : ctxs_) {
      idb_scan_free_state(c);
      delete c;
    }
    AccessFixture::TearDown();
  }
  idb_scan_ctx* ctx(const char* set, int16_t offs = 0, int16_t cnt = 6, uint8_t map = 0x3f) {
    auto* c = new idb_scan_ctx{};
    c->dbid = static_cast<int16_t>(dbid_);
    c->setno = static_cast<int16_t>(setno(set) + 1);
    c->fld_offs = offs;
    c->fld_cnt = cnt;
    maps_.push_back(map);
    c->fld_map = &maps_.back();
    ctxs_.push_back(c);
    return c;
  }
  // Checks the buffer's shape: each record its number and rec_size bytes.
  Out parse(const std::vector<uint8_t>& b, uint32_t used, uint32_t rec_size) {
    Out o{le_get32(b.data()), le_get32(b.data() + 4), le_get32(b.data() + 8), {}};
    EXPECT_EQ(used, IDB_SCAN_HEAD + o.bytes);
    for (uint32_t at = IDB_SCAN_HEAD; at < used; at += 4 + rec_size) o.recnos.push_back(le_get32(b.data() + at));
    EXPECT_EQ(o.recnos.size(), o.count);
    return o;
  }
  uint32_t iitemno(const char* name) {
    return static_cast<uint32_t>(idb__find_iitem(g_, name) - g_->item_cnt + 1);
  }
  int32_t item(const char* name) { return idb__find_item(g_, name) + 1; }

  std::deque<uint8_t> maps_;
  std::vector<idb_scan_ctx*> ctxs_;
};

TEST_F(ScanTest, SerialScansRunToTheEndAndContinueAfterTheLastNumber) {
  idb_scan_ctx* c = ctx("ORDERS");
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  ASSERT_EQ(idb_seq_scan(s_, c, b.data(), 4096, &used), 0) << s_->error.code;
  Out o = parse(b, used, 30);
  EXPECT_EQ(o.word0, 0u);
  EXPECT_EQ(o.recnos, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(memcmp(b.data() + 16, raw("ORDERS", 1).data(), 30), 0);

  // From the last record: nothing, and the end.
  le_put32(b.data(), 10);
  ASSERT_EQ(idb_seq_scan(s_, c, b.data(), 4096, &used), 0);
  o = parse(b, used, 30);
  EXPECT_EQ(o.word0, 0u);
  EXPECT_EQ(o.count, 0u);

  // A buffer for three records: word 0 names the last packed; passing it
  // back goes on from there.
  std::vector<uint32_t> all;
  uint32_t next = 0;
  for (int calls = 0; calls < 10; ++calls) {
    std::vector<uint8_t> small(IDB_SCAN_HEAD + 3 * 34 + 20, 0);
    le_put32(small.data(), next);
    ASSERT_EQ(idb_seq_scan(s_, c, small.data(), static_cast<uint32_t>(small.size()), &used), 0);
    o = parse(small, used, 30);
    all.insert(all.end(), o.recnos.begin(), o.recnos.end());
    next = o.word0;
    if (next == 0) break;
    EXPECT_EQ(o.count, 3u);
    EXPECT_EQ(next, o.recnos.back());
  }
  EXPECT_EQ(all, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // Not even one record fits.
  std::vector<uint8_t> tiny(IDB_SCAN_HEAD + 20, 0);
  EXPECT_EQ(idb_seq_scan(s_, c, tiny.data(), static_cast<uint32_t>(tiny.size()), &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
}

TEST_F(ScanTest, FieldSelectionTakesTheBitmapFromTheFirstField) {
  // Fields from CUST-NO on: bit 1 is REGION, bit 3 AMOUNT; the count ends
  // the record before QTY.
  idb_scan_ctx* c = ctx("ORDERS", 1, 4, 0x0a);
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  ASSERT_EQ(idb_seq_scan(s_, c, b.data(), 4096, &used), 0);
  const Out o = parse(b, used, 12);
  ASSERT_EQ(o.count, 10u);
  const std::vector<uint8_t> r3 = raw("ORDERS", 3);
  const uint8_t* at = b.data() + IDB_SCAN_HEAD + 2 * 16 + 4;
  EXPECT_EQ(memcmp(at, r3.data() + 12, 4), 0);
  EXPECT_EQ(memcmp(at + 4, r3.data() + 20, 8), 0);
  // No fields: the record numbers alone.
  idb_scan_ctx* none = ctx("ORDERS", 0, 0);
  ASSERT_EQ(idb_seq_scan(s_, none, b.data(), 4096, &used), 0);
  EXPECT_EQ(parse(b, used, 0).count, 10u);
}

TEST_F(ScanTest, RecordListsComeInRowsAndAMissingRecordZeroesItsRow) {
  idb_scan_ctx* cs[3] = {ctx("ORDERS", 0, 1, 1), ctx("CUSTOMER", 0, 1, 1), ctx("REGIONS")};
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  // 7 numbers, 2 rows: the seventh is ignored.
  const int32_t recnos[] = {1, 2, 3, 4, 3, 1, 99};
  ASSERT_EQ(idb_rec_scan(s_, 3, cs, b.data(), 4096, 7, recnos, &used), 0) << s_->error.code;
  EXPECT_EQ(le_get32(b.data()), 0u);
  EXPECT_EQ(le_get32(b.data() + 4), 6u);
  // ORDERS 4 + 4, CUSTOMER 4 + 8, REGIONS 4 + 4 per row.
  EXPECT_EQ(le_get32(b.data() + 8), 2u * 28);
  EXPECT_EQ(le_get32(b.data() + IDB_SCAN_HEAD + 28), 4u);
  EXPECT_EQ(memcmp(b.data() + IDB_SCAN_HEAD + 28 + 4 + 4 + 4, "C003", 4), 0);

  // Row 1 misses CUSTOMER 9: three zero words, then row 2 as usual.
  const int32_t gap[] = {1, 9, 1, 2, 2, 2};
  ASSERT_EQ(idb_rec_scan(s_, 3, cs, b.data(), 4096, 6, gap, &used), 0);
  EXPECT_EQ(le_get32(b.data() + 4), 6u);
  EXPECT_EQ(used, IDB_SCAN_HEAD + 12 + 28);
  for (int w = 0; w < 3; ++w) EXPECT_EQ(le_get32(b.data() + IDB_SCAN_HEAD + 4 * w), 0u);
  EXPECT_EQ(le_get32(b.data() + IDB_SCAN_HEAD + 12), 2u);

  // A row that does not fit is dropped whole.
  ASSERT_EQ(idb_rec_scan(s_, 3, cs, b.data(), IDB_SCAN_HEAD + 28 + 20, 7, recnos, &used), 0);
  EXPECT_EQ(le_get32(b.data() + 4), 3u);
  EXPECT_EQ(used, IDB_SCAN_HEAD + 28);
  EXPECT_EQ(idb_rec_scan(s_, 3, cs, b.data(), IDB_SCAN_HEAD + 20, 7, recnos, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
  EXPECT_EQ(idb_rec_scan(s_, 0, cs, b.data(), 4096, 7, recnos, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
  EXPECT_EQ(idb_rec_scan(s_, 3, cs, b.data(), 4096, -3, recnos, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
}

struct KeyCase {
  const char* name;
  const char* set;
  const char* key;   // index item name, or item name when master
  bool master;
  int32_t op;
  const char* arg;
  std::vector<uint32_t> recnos;
};

TEST_F(ScanTest, KeyScansStartAndStopByTheirOperator) {
  // ORD-IX order: EAST 101, EAST 103, east 104, NORT 106..110, WEST 102, WEST 105.
  const KeyCase cases[] = {
      {"all", "ORDERS", "ORD-IX", false, 0, "", {1, 3, 4, 6, 7, 8, 9, 10, 2, 5}},
      {"prefix EA", "ORDERS", "ORD-IX", false, 3, "EA", {1, 3}},
      {"prefix NO", "ORDERS", "ORD-IX", false, 3, "NO", {6, 7, 8, 9, 10}},
      {"prefix none", "ORDERS", "ORD-IX", false, 3, "ZZ", {}},
      {">= NORT", "ORDERS", "ORD-IX", false, 4, "NORT", {6, 7, 8, 9, 10, 2, 5}},
      {"> NORT", "ORDERS", "ORD-IX", false, 5, "NORT", {2, 5}},
      {"< NORT", "ORDERS", "ORD-IX", false, 1, "NORT", {1, 3, 4}},
      {"master all", "CUSTOMER", "CUST-NO", true, 0, "", {1, 2, 3}},
      {"master <= C002", "CUSTOMER", "CUST-NO", true, 2, "C002    ", {1, 2}},
      {"master == C00", "CUSTOMER", "CUST-NO", true, 3, "C00", {1, 2, 3}},
      {"master > C001", "CUSTOMER", "CUST-NO", true, 5, "C001    ", {2, 3}},
  };
  for (const KeyCase& t : cases) {
    idb_scan_ctx* c = ctx(t.set, 0, 0);
    std::vector<uint8_t> b(4096, 0);
    uint32_t used = 0;
    const int32_t it = t.master ? item(t.key) : 0;
    const int32_t ii = t.master ? 0 : static_cast<int32_t>(iitemno(t.key));
    ASSERT_EQ(idb_key_scan(s_, c, 0, t.op, it, ii, reinterpret_cast<const uint8_t*>(t.arg),
                           static_cast<int32_t>(strlen(t.arg)), b.data(), 4096, &used),
              0)
        << t.name << " " << s_->error.code;
    const Out o = parse(b, used, 0);
    EXPECT_EQ(o.recnos, t.recnos) << t.name;
    EXPECT_EQ(o.word0, 0u) << t.name;
    EXPECT_FALSE(idb_scan_is_open(c)) << t.name;
  }
}

TEST_F(ScanTest, AKeyScanCutByAFullBufferContinuesWithTheRecordThatDidNotFit) {
  idb_scan_ctx* c = ctx("ORDERS", 0, 1, 1);
  std::vector<uint32_t> all;
  std::vector<uint8_t> b(IDB_SCAN_HEAD + 3 * 8 + 7, 0);
  uint32_t used = 0;
  ASSERT_EQ(idb_key_scan(s_, c, 0, 0, 0, static_cast<int32_t>(iitemno("ORD-IX")), nullptr, 0,
                         b.data(), static_cast<uint32_t>(b.size()), &used), 0);
  for (int calls = 0; calls < 10; ++calls) {
    const Out o = parse(b, used, 4);
    all.insert(all.end(), o.recnos.begin(), o.recnos.end());
    if (o.word0 == 0) break;
    EXPECT_EQ(o.count, 3u);
    EXPECT_TRUE(idb_scan_is_open(c));
    // A key state is no chain state.
    EXPECT_EQ(idb_next_scan(s_, c, b.data(), static_cast<uint32_t>(b.size()), &used), -1);
    EXPECT_EQ(s_->error.code, S_BAD);
    ASSERT_EQ(idb_key_scan(s_, c, 1, 0, 0, 0, nullptr, 0, b.data(),
                           static_cast<uint32_t>(b.size()), &used), 0);
  }
  EXPECT_EQ(all, (std::vector<uint32_t>{1, 3, 4, 6, 7, 8, 9, 10, 2, 5}));
  // Finished: no state to continue.
  EXPECT_EQ(idb_key_scan(s_, c, 1, 0, 0, 0, nullptr, 0, b.data(), 100, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
}

TEST_F(ScanTest, ChainScansFollowThePathFromTheMaster) {
  idb_scan_ctx* c = ctx("ORDERS", 0, 0);
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  const int32_t cust = item("CUST-NO");
  const uint8_t* key = reinterpret_cast<const uint8_t*>("C001    ");
  ASSERT_EQ(idb_chain_scan(s_, c, 0, cust, key, 8, b.data(), 4096, &used), 0) << s_->error.code;
  Out o = parse(b, used, 0);
  EXPECT_EQ(o.recnos, (std::vector<uint32_t>{2, 1, 4}));
  EXPECT_EQ(o.word0, 0u);
  // By master number, two records per call, NEXT for the rest.
  ASSERT_EQ(idb_chain_scan(s_, c, 3, cust, nullptr, 0, b.data(), IDB_SCAN_HEAD + 8 + 3, &used), 0);
  std::vector<uint32_t> all;
  for (int calls = 0; calls < 10; ++calls) {
    o = parse(b, used, 0);
    all.insert(all.end(), o.recnos.begin(), o.recnos.end());
    if (o.word0 == 0) break;
    ASSERT_EQ(idb_next_scan(s_, c, b.data(), IDB_SCAN_HEAD + 8 + 3, &used), 0);
  }
  EXPECT_EQ(all, (std::vector<uint32_t>{6, 7, 8, 9, 10}));
  // Finished: NEXT has nothing to continue.
  EXPECT_EQ(idb_next_scan(s_, c, b.data(), 4096, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
  // The region path; a master with no chain answers an empty buffer.
  ASSERT_EQ(idb_chain_scan(s_, c, 0, item("REGION"), reinterpret_cast<const uint8_t*>("WEST"), 4,
                           b.data(), 4096, &used), 0);
  EXPECT_EQ(parse(b, used, 0).recnos, (std::vector<uint32_t>{2, 5}));
}

struct Refusal {
  const char* name;
  int32_t code;
};

TEST_F(ScanTest, RefusalsNameTheirCode) {
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  const int32_t ix = static_cast<int32_t>(iitemno("ORD-IX"));
  auto key_scan = [&](const char* set, int32_t op, int32_t it, int32_t ii, const char* arg, int32_t n) {
    idb_scan_ctx* c = ctx(set, 0, 0);
    const int rc = idb_key_scan(s_, c, 0, op, it, ii, reinterpret_cast<const uint8_t*>(arg), n,
                                b.data(), 4096, &used);
    EXPECT_EQ(rc == 0, s_->error.code == 0);
    return s_->error.code;
  };
  auto chain_scan = [&](int32_t mrecno, int32_t it, const char* key, int32_t n) {
    idb_scan_ctx* c = ctx("ORDERS", 0, 0);
    const int rc = idb_chain_scan(s_, c, mrecno, it, reinterpret_cast<const uint8_t*>(key), n,
                                  b.data(), 4096, &used);
    EXPECT_EQ(rc == 0, s_->error.code == 0);
    return s_->error.code;
  };
  idb_scan_ctx* bad_db = ctx("ORDERS");
  bad_db->dbid = 77;
  idb_scan_ctx* bad_set = ctx("ORDERS");
  bad_set->setno = 9;
  idb_scan_ctx* ok = ctx("ORDERS");
  const Refusal cases[] = {
      {"unknown dbid", idb_seq_scan(s_, bad_db, b.data(), 4096, &used) == 0 ? 0 : s_->error.code},
      {"set out of range", idb_seq_scan(s_, bad_set, b.data(), 4096, &used) == 0 ? 0 : s_->error.code},
      {"data_sz under the head", idb_seq_scan(s_, ok, b.data(), 11, &used) == 0 ? 0 : s_->error.code},
      {"item and index item", key_scan("CUSTOMER", 0, item("CUST-NO"), ix, "", 0)},
      {"neither", key_scan("CUSTOMER", 0, 0, 0, "", 0)},
      {"item on a detail set", key_scan("ORDERS", 0, item("ORDER-NO"), 0, "", 0)},
      {"item that is not the master key", key_scan("CUSTOMER", 0, item("NAME"), 0, "", 0)},
      {"index item the set has no index on", key_scan("CUSTOMER", 0, 0, ix, "", 0)},
      {"operator 0 with an argument", key_scan("ORDERS", 0, 0, ix, "EA", 2)},
      {"operator 6", key_scan("ORDERS", 6, 0, ix, "EA", 2)},
      {"chain item that searches no path", chain_scan(0, item("ORDER-NO"), "C001    ", 8)},
      {"chain with neither number nor key", chain_scan(0, item("CUST-NO"), nullptr, 0)},
      {"chain key shorter than the master key", chain_scan(0, item("CUST-NO"), "C001", 4)},
      {"chain by a key no master has", chain_scan(0, item("CUST-NO"), "C999    ", 8)},
      {"chain from a master number not used", chain_scan(9, item("CUST-NO"), nullptr, 0)},
  };
  const int32_t expect[] = {S_BADID, S_BAD,     S_BAD, S_BAD, S_BAD,   S_BADITEM, S_BADITEM, S_BADITEM,
                            S_BAD,   S_BAD,     S_BADITEM, S_BAD, S_BAD, S_NOREC, S_NOREC};
  static_assert(std::size(cases) == std::size(expect));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].code, expect[i]) << cases[i].name;
  idb_scan_ctx* m = ctx("CUSTOMER", 0, 0);
  EXPECT_EQ(idb_chain_scan(s_, m, 1, item("CUST-NO"), nullptr, 0, b.data(), 4096, &used), -1);
  EXPECT_EQ(s_->error.code, S_BAD);
}

// The ledger beside the sample: its master key ACCT-NO is a 4-byte
// number, which the key compare reads whole, so an argument that cuts it
// is refused rather than read past its end.
class NumericKeyScanTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    if (HasFatalFailure()) return;
    testsupport::LedgerDb l;
    ASSERT_EQ(testsupport::write_ledger_db("ledger", &l), 0);
    ASSERT_EQ(testsupport::add_ledger_entries(l, 3), 0);
    SysCat_USER* boss = SysCat_get_user_by_name("boss", nullptr);
    ASSERT_NE(boss, nullptr);
    const uint32_t uid = boss->uid;
    free(boss);
    ASSERT_EQ(testsupport::grant_ledger_sets("ledger", l, uid), 0);
    dbid_ = idb__open_database(s_, "ledger", 1);
    ASSERT_GT(dbid_, 0) << s_->error.code;
    g_ = &idb__get_db_ctx(s_, dbid_)->root->g;
  }
};

TEST_F(NumericKeyScanTest, AKeyThatCutsANumericMasterKeyIsRefused) {
  struct Case {
    const char* name;
    bool chain;  // else a key scan of ACCOUNTS by ACCT-NO
    int32_t op;
    Bytes arg;
    int32_t code;
    std::vector<uint32_t> recnos;
  };
  const Bytes one = {1, 0, 0, 0};
  const Bytes nine = {9, 0, 0, 0};
  const Case cases[] = {
      {"key == the whole number", false, IDB_SCAN_EQ, one, 0, {1}},
      {"key >= the whole number", false, IDB_SCAN_GE, one, 0, {1}},
      {"every key", false, IDB_SCAN_FIRST, {}, 0, {1}},
      {"key == two of its bytes", false, IDB_SCAN_EQ, {1, 0}, S_BAD, {}},
      {"key > three of its bytes", false, IDB_SCAN_GT, {1, 0, 0}, S_BAD, {}},
      {"chain by the whole number", true, 0, one, 0, {1, 2, 3}},
      {"chain by a number no account has", true, 0, nine, S_NOREC, {}},
      {"chain by two of its bytes", true, 0, {1, 0}, S_BAD, {}},
  };
  for (const Case& t : cases) {
    idb_scan_ctx* c = ctx(t.chain ? "ENTRIES" : "ACCOUNTS", 0, 0);
    std::vector<uint8_t> b(4096, 0);
    uint32_t used = 0;
    const int32_t len = static_cast<int32_t>(t.arg.size());
    const int rc = t.chain ? idb_chain_scan(s_, c, 0, item("ACCT-NO"), t.arg.data(), len, b.data(),
                                            4096, &used)
                           : idb_key_scan(s_, c, 0, t.op, item("ACCT-NO"), 0, t.arg.data(), len,
                                          b.data(), 4096, &used);
    EXPECT_EQ(rc == 0 ? 0 : s_->error.code, t.code) << t.name;
    if (rc == 0) {
      EXPECT_EQ(parse(b, used, 0).recnos, t.recnos) << t.name;
    }
  }
}

TEST_F(ScanTest, AChainThatBreaksFailsInsteadOfEndingShort) {
  // Order 1's forward link on the customer path now leads to no record.
  std::vector<uint8_t> media = raw("ORDERS", 1);
  le_put32(media.data() + 36, 77);
  rewrite("ORDERS", 1, media);
  idb_scan_ctx* c = ctx("ORDERS", 0, 0);
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  EXPECT_EQ(idb_chain_scan(s_, c, 1, item("CUST-NO"), nullptr, 0, b.data(), 4096, &used), -1);
  EXPECT_EQ(s_->error.code, S_BROKEN);
  EXPECT_FALSE(idb_scan_is_open(c));
}

TEST_F(ScanTest, EveryRecordNumberVisitedCountsTowardsTheYield) {
  // Deleted records are visited too: the hook sees every number in turn.
  rewrite("ORDERS", 4, {});
  static std::vector<uint32_t> seen;
  seen.clear();
  idb__set_scan_visit_hook([](uint32_t r) { seen.push_back(r); });
  idb_scan_ctx* c = ctx("ORDERS", 0, 0);
  std::vector<uint8_t> b(4096, 0);
  uint32_t used = 0;
  ASSERT_EQ(idb_seq_scan(s_, c, b.data(), 4096, &used), 0);
  idb__set_scan_visit_hook(nullptr);
  EXPECT_EQ(parse(b, used, 0).count, 9u);
  // Numbers past the last record up to the file's end are visited as well.
  ASSERT_GE(seen.size(), 11u);
  for (uint32_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
}

}  // namespace
