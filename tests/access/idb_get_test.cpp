// DBGET over the stored sample: the status words of each mode as a table
// of steps (serial reads over a hole, directed reads of 0 and of an unused
// number, re-reading a deleted record, calculated reads, the refused
// modes, buffers and arguments), chained reads along a detail path (its
// end, a link to an unused number), and index reads from a position set
// as DBFIND sets it (the chain of a prefix, collation-equal keys with
// other bytes stepped over, the unbound modes past the chain).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "access/access_fixture.h"
#include "access/idb_get.h"

namespace {

using access_test::AccessFixture;

struct Step {
  const char* set;
  int32_t mode;
  int32_t recno;     // mode 4's argument
  const char* key;   // mode 7's argument (its length is the argument's)
  int32_t code;          // status word 0
  int32_t current = 0;   // word 3 on success
  int32_t bwd = 0;       // word 7 on success
  int32_t fwd = 0;       // word 9 on success
};

class GetTest : public AccessFixture {
 protected:
  int32_t get(const char* set, int32_t mode, std::span<const uint8_t> arg = {}) {
    std::fill(std::begin(st_), std::end(st_), -99);
    buf_.assign(64, 0);
    const int rc = idb_get(s_, dbid_, set, static_cast<int>(strlen(set)) + 1, mode, nullptr, 0, buf_, arg, st_);
    EXPECT_EQ(rc == 0, st_[0] == 0);
    return st_[0];
  }
  int32_t get_recno(const char* set, int32_t recno) {
    uint8_t a[4];
    memcpy(a, &recno, 4);
    return get(set, 4, a);
  }
  void run(const Step* steps, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const Step& t = steps[i];
      int32_t code;
      if (t.mode == 4) {
        code = get_recno(t.set, t.recno);
      } else if (t.key != nullptr) {
        code = get(t.set, t.mode,
                   std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(t.key), strlen(t.key)));
      } else {
        code = get(t.set, t.mode);
      }
      EXPECT_EQ(code, t.code) << "step " << i;
      EXPECT_EQ(st_[5], code == 0 ? (strcmp(t.set, "ORDERS") == 0 ? 0 : 1) : IDB_GET) << "step " << i;
      EXPECT_EQ(st_[8], code == 0 ? 0 : t.mode) << "step " << i;
      if (code != 0) continue;
      EXPECT_EQ(st_[1], static_cast<int32_t>(set(t.set)->rec_len)) << "step " << i;
      EXPECT_EQ(st_[3], t.current) << "step " << i;
      EXPECT_EQ(st_[7], t.bwd) << "step " << i;
      EXPECT_EQ(st_[9], t.fwd) << "step " << i;
      EXPECT_EQ(memcmp(buf_.data(), raw(t.set, static_cast<uint32_t>(t.current)).data(),
                       set(t.set)->rec_len), 0) << "step " << i;
    }
  }
  // The position DBFIND leaves on ORD-IX with a prefix of its REGION (the
  // index's parts: REGION 4, ORDER-NO 4, index word 4).
  void position(const char* prefix, int32_t idx_mode) {
    set_ctx& c = cursor("ORDERS");
    free(c.key);
    c.key = static_cast<uint8_t*>(calloc(12, 1));
    c.key_len = 12;
    c.seg_cnt = 3;
    c.arg_len = static_cast<int32_t>(strlen(prefix));
    memcpy(c.key, prefix, strlen(prefix));
    c.index = 2;
    c.index_mode = idx_mode;
    c.path = 0;
    c.fwd = c.bwd = 0;
  }
  // Reads in mode until it fails; the record numbers read, then the code.
  std::string walk(int32_t mode) {
    std::string out;
    for (int i = 0; i < 10; ++i) {
      const int32_t code = get("ORDERS", mode);
      if (code != 0) return out + "/" + std::to_string(code);
      out += std::to_string(st_[3]);
    }
    return out + "...";
  }

  idb_status st_{};
  std::vector<uint8_t> buf_;
};

TEST_F(GetTest, SerialReadsSkipUnusedNumbers) {
  rewrite("ORDERS", 3, {});
  // The cursor follows path 1 (customers) of ORDERS by default.
  const Step steps[] = {
      {"ORDERS", 2, 0, nullptr, 0, 1, 2, 4},
      {"ORDERS", 2, 0, nullptr, 0, 2, 0, 1},
      {"ORDERS", 2, 0, nullptr, 0, 4, 1, 0},
      {"ORDERS", 2, 0, nullptr, 0, 5, 0, 3},
      {"ORDERS", 2, 0, nullptr, S_EOF},
      {"ORDERS", 3, 0, nullptr, 0, 4, 1, 0},
      {"ORDERS", 3, 0, nullptr, 0, 2, 0, 1},
      {"ORDERS", 3, 0, nullptr, 0, 1, 2, 4},
      {"ORDERS", 3, 0, nullptr, S_EOF},
      // A new cursor reads backward from the highest number.
      {"CUSTOMER", 3, 0, nullptr, 0, 3, 0, 0},
      {"CUSTOMER", 3, 0, nullptr, 0, 2, 0, 0},
  };
  run(steps, std::size(steps));
}

TEST_F(GetTest, DirectedAndRepeatedReads) {
  rewrite("ORDERS", 3, {});
  const Step steps[] = {
      {"ORDERS", 4, 0, nullptr, S_DIRBOF},
      {"ORDERS", 4, 2, nullptr, 0, 2, 0, 1},
      {"ORDERS", 1, 0, nullptr, 0, 2, 0, 1},
      // An unused number becomes current: the serial read goes on after it.
      {"ORDERS", 4, 3, nullptr, S_NOREC},
      {"ORDERS", 2, 0, nullptr, 0, 4, 1, 0},
      {"ORDERS", 4, 100000, nullptr, S_DIREOF},
      {"ORDERS", 1, 0, nullptr, 0, 4, 1, 0},
      {"ORDERS", 4, -1, nullptr, S_DIREOF},
  };
  run(steps, std::size(steps));
  // Re-reading a record deleted meanwhile.
  ASSERT_EQ(get_recno("ORDERS", 5), 0);
  rewrite("ORDERS", 5, {});
  EXPECT_EQ(get("ORDERS", 1), S_NOREC);
  EXPECT_EQ(st_[5], IDB_GET);
  EXPECT_EQ(st_[8], 1);
}

TEST_F(GetTest, CalculatedReadsAndRefusedModes) {
  const Step steps[] = {
      {"CUSTOMER", 7, 0, "C002    ", 0, 2, 0, 0},
      {"CUSTOMER", 7, 0, "C002    and more", 0, 2, 0, 0},
      {"CUSTOMER", 7, 0, "C009    ", S_NOREC},
      {"CUSTOMER", 7, 0, "C002", S_BAD},  // shorter than the key item
      {"REGIONS", 7, 0, "east", 0, 3, 0, 0},
      {"ORDERS", 7, 0, "C002    ", S_BADMODE},
      {"CUSTOMER", 5, 0, nullptr, S_ENDCHAIN},
      {"CUSTOMER", 6, 0, nullptr, S_ENDCHAIN},
      {"ORDERS", 8, 0, nullptr, S_BADMODE},
      {"ORDERS", 0, 0, nullptr, S_BADMODE},
      {"ORDERS", 15, 0, nullptr, S_ENDCHAIN},  // no index position
      {"ORDERS", 4, 0, nullptr, S_DIRBOF},
  };
  run(steps, std::size(steps));
  // Mode 4's argument must hold a record number.
  const uint8_t three[3] = {1, 0, 0};
  EXPECT_EQ(get("ORDERS", 4, three), S_BAD);
}

TEST_F(GetTest, RefusedReferencesAndBuffers) {
  uint8_t small[29];
  int32_t one = 1;
  const std::span<const uint8_t> arg(reinterpret_cast<const uint8_t*>(&one), 4);
  EXPECT_EQ(idb_get(s_, dbid_, "ORDERS", 7, 4, nullptr, 0, std::span<uint8_t>(small, 29), arg, st_), -1);
  EXPECT_EQ(st_[0], S_BAD);
  uint8_t fits[30];
  EXPECT_EQ(idb_get(s_, dbid_, "ORDERS", 7, 4, nullptr, 0, std::span<uint8_t>(fits, 30), arg, st_), 0);
  EXPECT_EQ(st_[1], 30);
  EXPECT_EQ(idb_get(s_, dbid_ + 1, "ORDERS", 7, 4, nullptr, 0, fits, arg, st_), -1);
  EXPECT_EQ(st_[0], S_BADID);
  EXPECT_EQ(idb_get(s_, dbid_, "NOSUCH", 7, 4, nullptr, 0, fits, arg, st_), -1);
  EXPECT_EQ(st_[0], S_BAD);
  EXPECT_EQ(idb_get(s_, dbid_, nullptr, 0, 4, nullptr, 0, fits, arg, st_), -1);
  EXPECT_EQ(st_[0], S_BAD);
  // A set named by number: 3 is ORDERS.
  const int32_t three = 3;
  EXPECT_EQ(idb_get(s_, dbid_, &three, 4, 4, nullptr, 0, fits, arg, st_), 0);
  EXPECT_EQ(st_[5], 0);
}

TEST_F(GetTest, ChainedReadsAlongADetailPath) {
  const Step steps[] = {
      // Order 2 starts customer C001's chain: 2, 1, 4.
      {"ORDERS", 4, 2, nullptr, 0, 2, 0, 1},
      {"ORDERS", 5, 0, nullptr, 0, 1, 2, 4},
      {"ORDERS", 5, 0, nullptr, 0, 4, 1, 0},
      {"ORDERS", 5, 0, nullptr, S_ENDCHAIN},
      {"ORDERS", 6, 0, nullptr, 0, 1, 2, 4},
      {"ORDERS", 6, 0, nullptr, 0, 2, 0, 1},
      {"ORDERS", 6, 0, nullptr, S_ENDCHAIN},
  };
  run(steps, std::size(steps));
  // A link to a number whose record is gone: the chain is broken.
  rewrite("ORDERS", 1, {});
  EXPECT_EQ(get("ORDERS", 5), S_BROKEN);
  EXPECT_EQ(get_recno("ORDERS", 5), 0);
  EXPECT_EQ(get("ORDERS", 5), 0);
  EXPECT_EQ(st_[3], 3);
}

TEST_F(GetTest, IndexReadsOfAPrefixChain) {
  // Index order: EAST 101 (1), EAST 103 (3), east 104 (4), WEST 102 (2),
  // WEST 105 (5); "east" collates equal to "EAST".
  struct Case { const char* prefix; int32_t idx_mode; int32_t mode; const char* want; };
  const Case cases[] = {
      {"EAST", IDB_IDX_RANGE, 5, "13/15"},
      {"EAST", IDB_IDX_RANGE, 6, "31/15"},
      {"east", IDB_IDX_BEFORE, 5, "4/15"},
      {"east", IDB_IDX_AFTER, 6, "4/15"},
      {"EA", IDB_IDX_RANGE, 5, "13/15"},
      {"W", IDB_IDX_RANGE, 5, "25/15"},
      {"W", IDB_IDX_RANGE, 6, "52/15"},
      {"", IDB_IDX_BEFORE, 5, "13425/15"},
      {"", IDB_IDX_AFTER, 6, "52431/15"},
      {"", IDB_IDX_AFTER, 5, "/15"},
      {"", IDB_IDX_BEFORE, 6, "/15"},
      {"", IDB_IDX_AFTER, 15, "/11"},
      {"NORT", IDB_IDX_RANGE, 5, "/15"},
      {"EAST", IDB_IDX_RANGE, 15, "13425/11"},
      // Unbound reads take collation-equal keys as they come.
      {"EAST", IDB_IDX_AFTER, 16, "431/11"},
      {"WEST", IDB_IDX_RANGE, 16, "52431/11"},
  };
  for (const Case& c : cases) {
    position(c.prefix, c.idx_mode);
    EXPECT_EQ(walk(c.mode), c.want) << c.prefix << " mode " << c.mode;
  }
  // The chain, then on past it unbound to the end.
  position("EAST", IDB_IDX_RANGE);
  EXPECT_EQ(walk(5), "13/15");
  EXPECT_EQ(walk(15), "425/11");
  EXPECT_EQ(walk(16), "2431/11");
}

}  // namespace
