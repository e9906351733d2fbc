// DBFIND over the stored sample: a table of (set, mode, item, argument) to
// status words (path chains, counts of index ranges with collation-equal
// keys stepped over, the usable argument length, patterns, the refusals);
// and DBFIND then DBGET: a path chain read both ways, a 3-byte prefix chain
// and on past it unbound, patterns over the keys, and keys deleted between
// two continuation steps in both directions.
#include "access/idb_find.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "support/log_capture.h"

namespace {

using access_test::AccessFixture;

// The index argument: a 32-bit count, then the bytes.
std::vector<uint8_t> counted(uint32_t n, const std::string& bytes) {
  std::vector<uint8_t> a(4 + bytes.size());
  memcpy(a.data(), &n, 4);
  memcpy(a.data() + 4, bytes.data(), bytes.size());
  return a;
}
std::vector<uint8_t> counted(const std::string& bytes) {
  return counted(static_cast<uint32_t>(bytes.size()), bytes);
}

std::vector<uint8_t> plain(const std::string& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// REGION then ORDER-NO, as an index argument's bytes.
std::string region_order(const char* region, int32_t order_no) {
  std::string s(region, 4);
  s.append(reinterpret_cast<const char*>(&order_no), 4);
  return s;
}

class FindTest : public AccessFixture {
 protected:
  int32_t find(const char* set, int32_t mode, const char* item, const std::vector<uint8_t>& arg,
               int32_t dbid = 0) {
    std::fill(std::begin(st_), std::end(st_), -99);
    const int rc = idb_find(s_, dbid != 0 ? dbid : dbid_, set, static_cast<int>(strlen(set)) + 1,
                            mode, item, static_cast<int>(strlen(item)) + 1, arg, st_);
    EXPECT_EQ(rc == 0, st_[0] == 0);
    return st_[0];
  }
  int32_t get(int32_t mode) {
    uint8_t buf[64];
    idb_status st{};
    idb_get(s_, dbid_, "ORDERS", 7, mode, nullptr, 0, buf, {}, st);
    recno_ = st[3];
    return st[0];
  }
  // Reads ORDERS in mode until it fails: the record numbers, then the code.
  std::string walk(int32_t mode) {
    std::string out;
    for (int i = 0; i < 10; ++i) {
      const int32_t code = get(mode);
      if (code != 0) return out + "/" + std::to_string(code);
      out += std::to_string(recno_);
    }
    return out + "...";
  }
  // Deletes the ORD-IX key of an order, or adds one with another ORDER-NO
  // for it, through a handle of its own outside any transaction: another
  // session's change.
  void drop_key(uint32_t recno) { change_key(recno, 0); }
  void add_key(uint32_t recno, int32_t order_no) { change_key(recno, order_no); }
  void change_key(uint32_t recno, int32_t order_no) {
    std::vector<uint8_t> media = raw("ORDERS", recno);
    if (order_no != 0) memcpy(media.data(), &order_no, 4);
    const idb_index& x = set("ORDERS")->index[0];
    btree_CTX ctx{};
    btree_HANDLE* t = btree_OpenNode(x.node, &ctx, 0);
    ASSERT_NE(t, nullptr);
    btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, x.coll);
    uint8_t key[64];
    btree_DBT k{key, idb__build_key(btree_GetKeyDef(t), key, sizeof key, media.data())};
    uint8_t data[4];
    memcpy(data, &recno, 4);
    btree_DBT d{data, 4};
    EXPECT_EQ(order_no != 0 ? btree_Put(t, &k, &d, R_NOOVERWRITE) : btree_Delete(t, &k, 0), 0);
    btree_CloseNode(t);
  }

  idb_status st_{};
  int32_t recno_ = 0;
};

struct Row {
  const char* set;
  int32_t mode;
  const char* item;
  std::vector<uint8_t> arg;
  int32_t code;           // word 0
  int32_t w5 = 0;         // words 5, 7 and 9 on success
  int32_t w7 = 0;
  int32_t w9 = 0;
};

// Index order of ORD-IX: EAST 101 (1), EAST 103 (3), east 104 (4), WEST
// 102 (2), WEST 105 (5); "east" collates equal to "EAST".
TEST_F(FindTest, StatusWordsByModeAndArgument) {
  const Row rows[] = {
      // Path chains: [5] count, [7] last, [9] first.
      {"ORDERS", 1, "CUST-NO", plain("C001    "), 0, 3, 4, 2},
      {"ORDERS", 1, "CUST-NO", plain("C002    and more"), 0, 2, 3, 5},
      {"ORDERS", 1, "CUST-NO", plain("C003    "), 0, 0, 0, 0},
      {"ORDERS", 1, "REGION", plain("east"), 0, 1, 4, 4},
      {"ORDERS", 1, "CUST-NO", plain("C009    "), S_NOREC},
      {"ORDERS", 1, "CUST-NO", plain("C001"), S_BAD},  // shorter than the key
      {"ORDERS", 1, "CUST-NO", {}, S_BAD},
      {"CUSTOMER", 1, "CUST-NO", plain("C001    "), S_BAD},  // not a detail set
      {"ORDERS", 1, "AMOUNT", plain("C001    "), S_BADITEM},  // no path's search item
      {"ORDERS", 1, "NOSUCH", plain("C001    "), S_BAD},
      // Counts: [5] keys, [7] the first key's record, [9] the last's.
      {"ORDERS", 1, "ORD-IX", counted("EAST"), 0, 2, 1, 3},
      {"ORDERS", 1, "ORD-IX", counted("east"), 0, 1, 4, 4},
      {"ORDERS", 1, "ORD-IX", counted("EA"), 0, 2, 1, 3},
      {"ORDERS", 1, "ORD-IX", counted("W"), 0, 2, 2, 5},
      {"ORDERS", 1, "ORD-IX", counted(""), 0, 5, 1, 5},
      {"ORDERS", 1, "ORD-IX", counted("NORT"), S_NOREC},
      {"ORDERS", 1, "ORD-IX", counted("ZZZZ"), S_NOREC},
      // A numeric segment binds whole or not at all: 5 bytes bind 4.
      {"ORDERS", 1, "ORD-IX", counted("EASTx"), 0, 2, 1, 3},
      {"ORDERS", 1, "ORD-IX", counted(region_order("EAST", 103)), 0, 1, 3, 3},
      {"ORDERS", 1, "ORD-IX", counted(region_order("WEST", 101)), S_NOREC},
      // A count past the bytes sent, or no count at all.
      {"ORDERS", 1, "ORD-IX", counted(5, "EAST"), S_BAD},
      {"ORDERS", 2, "ORD-IX", counted(0xfffffffe, "EAST"), S_BAD},
      {"ORDERS", 2, "ORD-IX", {1, 0}, S_BAD},
      // Positions: all words 0.
      {"ORDERS", 2, "ORD-IX", counted("EAST"), 0, 0, 0, 0},
      {"ORDERS", 3, "ORD-IX", counted("east"), 0, 0, 0, 0},
      {"ORDERS", 2, "ORD-IX", counted(""), 0, 0, 0, 0},
      {"ORDERS", 3, "ORD-IX", counted(""), 0, 0, 0, 0},
      {"ORDERS", 2, "ORD-IX", counted("NORT"), S_NOREC},
      {"ORDERS", 4, "ORD-IX", counted("E*"), 0, 0, 0, 0},
      {"ORDERS", 5, "ORD-IX", counted("*T"), 0, 0, 0, 0},
      {"ORDERS", 4, "ORD-IX", counted("Q*"), S_NOREC},
      {"ORDERS", 4, "ORD-IX", counted("EA\\"), IDB_RC_BAD_PATTERN},
      {"ORDERS", 5, "ORD-IX", counted("[EA"), IDB_RC_BAD_PATTERN},
      {"ORDERS", 4, "ORD-IX", counted(""), IDB_RC_BAD_PATTERN},
      // Modes 2 to 5 take index items only; modes outside 1 to 5.
      {"ORDERS", 2, "CUST-NO", plain("C001    "), S_BAD},
      {"CUSTOMER", 1, "ORD-IX", counted("EAST"), S_BADITEM},  // not an index of the set
      {"ORDERS", 6, "ORD-IX", counted("EAST"), S_BADMODE},
      {"ORDERS", 0, "ORD-IX", counted("EAST"), S_BADMODE},
      {"NOSUCH", 1, "ORD-IX", counted("EAST"), S_BAD},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.set) + " mode " + std::to_string(r.mode) + " " + r.item + " \"" +
                 std::string(r.arg.begin(), r.arg.end()) + "\"");
    EXPECT_EQ(find(r.set, r.mode, r.item, r.arg), r.code);
    if (r.code != 0) {
      EXPECT_EQ(st_[5], IDB_FIND);
      EXPECT_EQ(st_[8], r.mode);
      continue;
    }
    EXPECT_EQ(st_[5], r.w5);
    EXPECT_EQ(st_[7], r.w7);
    EXPECT_EQ(st_[9], r.w9);
    for (int w : {1, 2, 3, 4, 6, 8}) EXPECT_EQ(st_[w], 0) << "word " << w;
    EXPECT_EQ(s_->error.code, 0);
  }
  EXPECT_EQ(find("ORDERS", 1, "ORD-IX", counted("EAST"), dbid_ + 1), S_BADID);
}

TEST_F(FindTest, ItemsAndSetsByNumber) {
  // Items are numbered first, index items after them: ORD-IX is the last.
  const int32_t orders = 3;
  const int32_t ord_ix = g_->item_cnt + 1;
  const std::vector<uint8_t> arg = counted("W");
  ASSERT_EQ(idb_find(s_, dbid_, &orders, 4, 1, &ord_ix, 4, arg, st_), 0);
  EXPECT_EQ(st_[5], 2);
  const int32_t cust_no = idb__find_item(g_, "CUST-NO") + 1;
  ASSERT_EQ(idb_find(s_, dbid_, &orders, 4, 1, &cust_no, 4, plain("C002    "), st_), 0);
  EXPECT_EQ(st_[5], 2);
}

TEST_F(FindTest, PathChainThenChainedReads) {
  ASSERT_EQ(find("ORDERS", 1, "CUST-NO", plain("C001    ")), 0);
  EXPECT_EQ(walk(5), "214/15");
  ASSERT_EQ(find("ORDERS", 1, "CUST-NO", plain("C001    ")), 0);
  EXPECT_EQ(walk(6), "412/15");
  ASSERT_EQ(find("ORDERS", 1, "REGION", plain("WEST")), 0);
  EXPECT_EQ(walk(5), "25/15");
  // A master that is not there still selects the path, with no links.
  ASSERT_EQ(find("ORDERS", 1, "CUST-NO", plain("C009    ")), S_NOREC);
  EXPECT_EQ(cursor("ORDERS").path, 0);
  EXPECT_EQ(walk(5), "/15");
  // A path chain replaces an index position.
  ASSERT_EQ(find("ORDERS", 2, "ORD-IX", counted("EAST")), 0);
  ASSERT_EQ(find("ORDERS", 1, "REGION", plain("EAST")), 0);
  EXPECT_EQ(cursor("ORDERS").key, nullptr);
  EXPECT_EQ(walk(5), "13/15");
}

TEST_F(FindTest, PrefixChainThenUnboundReads) {
  // Three bytes of REGION bind the chain; "east" collates equal and is
  // stepped over; mode 15 goes on past the chain to the end.
  ASSERT_EQ(find("ORDERS", 2, "ORD-IX", counted("EAS")), 0);
  EXPECT_EQ(cursor("ORDERS").arg_len, 3);
  EXPECT_EQ(walk(5), "13/15");
  EXPECT_EQ(walk(15), "425/11");
  EXPECT_EQ(walk(16), "2431/11");
  ASSERT_EQ(find("ORDERS", 3, "ORD-IX", counted("EAS")), 0);
  EXPECT_EQ(walk(6), "31/15");
  // A count reads the same keys a chained read returns.
  for (const char* prefix : {"EAST", "east", "W", ""}) {
    ASSERT_EQ(find("ORDERS", 1, "ORD-IX", counted(prefix)), 0) << prefix;
    const int32_t n = st_[5];
    const std::string forward = walk(5);
    EXPECT_EQ(static_cast<int32_t>(forward.size()) - 3, n) << prefix << " " << forward;
    ASSERT_EQ(find("ORDERS", 1, "ORD-IX", counted(prefix)), 0) << prefix;
    const std::string backward = walk(6);
    EXPECT_EQ(std::string(backward.rbegin() + 3, backward.rend()),
              forward.substr(0, forward.size() - 3)) << prefix;
  }
}

TEST_F(FindTest, PatternsChooseTheKeys) {
  struct Case { int32_t mode; const char* pattern; int32_t get; const char* want; };
  const Case cases[] = {
      {4, "E*", 5, "13/15"},   // the prefix "E" binds; "east" is another chain
      {4, "e*", 5, "4/15"},
      {4, "*T", 5, "1325/15"},  // case matters: "east" does not match
      {5, "*T", 6, "5231/15"},
      {4, "?AST", 5, "13/15"},
      {4, "[!E]*", 5, "425/15"},
      {4, "W??T", 5, "25/15"},
      {4, "*A*A*A*A*A*A*B", 5, "/15"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(find("ORDERS", c.mode, "ORD-IX", counted(c.pattern)), 0) << c.pattern;
    EXPECT_EQ(cursor("ORDERS").pat_span, 4);
    EXPECT_EQ(walk(c.get), c.want) << c.pattern;
  }
  // A new find frees the pattern it replaces.
  ASSERT_EQ(find("ORDERS", 2, "ORD-IX", counted("W")), 0);
  EXPECT_EQ(cursor("ORDERS").pattern, nullptr);
  EXPECT_EQ(walk(5), "25/15");
}

TEST_F(FindTest, KeyDeletedBetweenContinuationSteps) {
  // Steps in one direction, the current key goes, the reads go on. Each
  // row runs on what the rows before it left.
  struct Case {
    const char* what;
    int32_t find_mode, get_mode;
    int steps;
    int32_t drop;
    const char* want;
  };
  const Case cases[] = {
      {"forward: the key after it", 2, 5, 2, 3, "425/15"},
      {"backward from the middle: the key before it", 3, 6, 2, 2, "41/15"},
      {"backward from the last key: the smaller ones remain", 3, 6, 1, 5, "41/15"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(find("ORDERS", c.find_mode, "ORD-IX", counted("")), 0) << c.what;
    for (int i = 0; i < c.steps; ++i) ASSERT_EQ(get(c.get_mode), 0) << c.what;
    ASSERT_EQ(recno_, c.drop) << c.what;
    drop_key(static_cast<uint32_t>(c.drop));
    EXPECT_EQ(walk(c.get_mode), c.want) << c.what;
  }
  // The counts follow.
  ASSERT_EQ(find("ORDERS", 1, "ORD-IX", counted("")), 0);
  EXPECT_EQ(st_[5], 2);
  EXPECT_EQ(find("ORDERS", 1, "ORD-IX", counted("W")), S_NOREC);
}

// Another session changes the index between two steps of a count: the
// count goes on from the last key it counted, the new key counted, a key
// gone not ending it.
FindTest* g_counting = nullptr;
int32_t g_change_after = 0;
void (*g_change)(FindTest*) = nullptr;

class CountTest : public FindTest {
 protected:
  void TearDown() override {
    idb__set_count_step_hook(nullptr);
    FindTest::TearDown();
  }
 public:
  using FindTest::add_key;
  using FindTest::drop_key;
};

TEST_F(CountTest, ChangesBetweenStepsOfACount) {
  struct Case {
    const char* what;
    const char* prefix;
    int32_t after;  // keys counted before the change
    void (*change)(FindTest*);
    int32_t n, first, last;
  };
  // Each row runs on what the rows before it left.
  const Case cases[] = {
      {"a key added after the last counted", "EAST", 1,
       [](FindTest* t) { static_cast<CountTest*>(t)->add_key(1, 102); }, 3, 1, 3},
      {"the last counted key deleted", "", 1,
       [](FindTest* t) { static_cast<CountTest*>(t)->drop_key(1); }, 6, 1, 5},
      {"a key before the last counted deleted", "", 3,
       [](FindTest* t) { static_cast<CountTest*>(t)->drop_key(3); }, 5, 1, 5},
  };
  idb__set_count_step_hook([](int32_t counted) {
    if (counted == g_change_after && g_change != nullptr) {
      g_change(g_counting);
      g_change = nullptr;
    }
  });
  g_counting = this;
  for (const Case& c : cases) {
    g_change_after = c.after;
    g_change = c.change;
    testsupport::LogCapture log("I2");
    ASSERT_EQ(find("ORDERS", 1, "ORD-IX", counted(c.prefix)), 0) << c.what;
    EXPECT_EQ(g_change, nullptr) << c.what;
    EXPECT_EQ(st_[5], c.n) << c.what;
    EXPECT_EQ(st_[7], c.first) << c.what;
    EXPECT_EQ(st_[9], c.last) << c.what;
    EXPECT_NE(log.text().find("indx_find: status = RET_CURSOR"), std::string::npos) << c.what;
  }
}

}  // namespace
