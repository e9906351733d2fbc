// DBINFO over the stored sample: every mode as a table of answers, set
// numbers signed by the session's access (written, read only, none), the
// record counts of mode 202 with and without a record file, and the
// refusals (unknown references, a nonzero word where 0 is asked, a buffer
// too small for the answer, an unknown mode or dbid).
#include "access/idb_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/access_fixture.h"

namespace {

using access_test::AccessFixture;

class InfoTest : public AccessFixture {
 protected:
  // The answer as words, or the status code in code.
  std::vector<int32_t> info(int32_t mode, const void* q, uint32_t qsize, int32_t* code,
                            uint32_t size = 512) {
    std::fill(std::begin(st_), std::end(st_), -99);
    raw_.assign(size, 0xAA);
    idb_info(s_, dbid_, q, qsize, mode, st_, raw_.data(), size);
    *code = st_[0];
    if (st_[0] != 0) return {};
    std::vector<int32_t> w(st_[1] / 4);
    memcpy(w.data(), raw_.data(), w.size() * 4);
    return w;
  }
  std::vector<int32_t> by_name(int32_t mode, const char* name, int32_t* code) {
    char ref[16] = {};
    strncpy(ref, name, sizeof ref);
    return info(mode, ref, sizeof ref, code);
  }
  std::vector<int32_t> by_number(int32_t mode, int32_t n, int32_t* code) {
    return info(mode, &n, sizeof n, code);
  }
  int item(const char* name) const { return idb__find_item(g_, name) + 1; }
  int iitem(const char* name) const { return idb__find_iitem(g_, name) + 1; }
  int set_no(const char* name) const { return setno(name) + 1; }
  idb_status st_{};
  std::vector<uint8_t> raw_;
};

TEST_F(InfoTest, EveryModeAnswers) {
  // CUSTOMER without access, REGIONS read only, ORDERS read and write.
  cursor("CUSTOMER").access = 0;
  cursor("REGIONS").access = 1;
  const int cust = set_no("CUSTOMER"), reg = set_no("REGIONS"), ord = set_no("ORDERS");
  std::vector<int32_t> all_items{g_->item_cnt};
  for (int i = 1; i <= g_->item_cnt; ++i) all_items.push_back(i);
  std::vector<int32_t> all_iitems{g_->iitem_cnt};
  for (int i = 1; i <= g_->iitem_cnt; ++i) all_iitems.push_back(g_->item_cnt + i);
  const std::vector<int32_t> blanks8 = {0x20202020, 0x20202020};
  struct Case {
    int32_t mode;
    const char* ref;  // a name; none: the word ref_word
    int32_t ref_word;
    std::vector<int32_t> answer;
  };
  const Case cases[] = {
      {101, "cust-no", 0, {item("CUST-NO")}},
      {103, nullptr, 0, all_items},
      {104, "ORDERS", 0,
       {6, item("ORDER-NO"), item("CUST-NO"), item("REGION"), item("ORDER-DATE"), item("AMOUNT"),
        item("QTY")}},
      {201, "ORDERS", 0, {-ord}},
      {201, "REGIONS", 0, {reg}},
      {203, nullptr, 0, {2, reg, -ord}},
      {204, "CUST-NO", 0, {1, -ord}},
      {204, "REGION", 0, {2, reg, -ord}},
      {301, "ORDERS", 0, {2, cust, item("CUST-NO"), reg, item("REGION")}},
      {301, "REGIONS", 0, {1, ord, item("REGION")}},
      {302, "REGIONS", 0, {item("REGION"), 0}},
      {302, "ORDERS", 0, {item("CUST-NO"), cust}},
      {401, "ORDERS", 0, {0}},
      {402, nullptr, 0, blanks8},
      {403, nullptr, 0, {1, 0}},
      {404, nullptr, 0, {0}},
      {501, "ORD-IX", 0, {iitem("ORD-IX")}},
      {503, nullptr, 0, all_iitems},
      {504, "ORDERS", 0, {1, iitem("ORD-IX")}},
      {504, "REGIONS", 0, {0}},
  };
  for (const Case& c : cases) {
    int32_t code = -1;
    const std::vector<int32_t> w =
        c.ref != nullptr ? by_name(c.mode, c.ref, &code) : by_number(c.mode, c.ref_word, &code);
    ASSERT_EQ(code, 0) << c.mode << " " << (c.ref ? c.ref : "");
    EXPECT_EQ(w, c.answer) << c.mode << " " << (c.ref ? c.ref : "");
    EXPECT_EQ(st_[5], IDB_INFO + 4096);
    EXPECT_EQ(st_[8], c.mode);
    EXPECT_EQ(st_[3], -99);  // left as the caller passed it
    for (int i : {2, 4, 6, 7, 9}) EXPECT_EQ(st_[i], 0);
  }

  int32_t code = 0;
  // Descriptions of an item and an index item.
  by_name(102, "ORDER-NO", &code);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(st_[1], 32);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw_.data()), 20), "ORDER-NO        D   ");
  int32_t words[3];
  memcpy(words, raw_.data() + 20, 12);
  EXPECT_EQ(words[0], 4);
  EXPECT_EQ(words[1], 1);
  by_name(502, "ORD-IX", &code);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(st_[1], 84);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw_.data()), 16), "ORD-IX          ");
  int32_t seg[5];
  memcpy(seg, raw_.data() + 16, sizeof seg);
  EXPECT_EQ(seg[0], 2);
  EXPECT_EQ(seg[1], item("REGION"));
  EXPECT_EQ(seg[2], 4);
  EXPECT_EQ(seg[3], item("ORDER-NO"));
  EXPECT_EQ(seg[4], 4);

  // Refusals: no access, unknown references, a nonzero word, a mode not
  // in the table, an unknown dbid.
  const struct {
    int32_t mode;
    const char* ref;
    int32_t code;
  } refused[] = {{201, "CUSTOMER", S_BAD}, {202, "CUSTOMER", S_BAD}, {104, "NOSUCH", S_BAD},
                 {101, "NOSUCH", S_BAD},   {501, "CUST-NO", S_BAD},  {999, "ORDERS", S_BADMODE}};
  for (const auto& r : refused) {
    by_name(r.mode, r.ref, &code);
    EXPECT_EQ(code, r.code) << r.mode << " " << r.ref;
    EXPECT_EQ(st_[5], IDB_INFO);
    EXPECT_EQ(st_[8], r.mode);
  }
  by_number(402, 1, &code);
  EXPECT_EQ(code, S_BAD);
  by_number(404, 7, &code);
  EXPECT_EQ(code, S_BAD);
  std::fill(std::begin(st_), std::end(st_), 0);
  uint8_t b[8];
  idb_info(s_, dbid_ + 1, nullptr, 0, 103, st_, b, sizeof b);
  EXPECT_EQ(st_[0], S_BADID);
}

TEST_F(InfoTest, SetDescriptionWithItsRecordCounts) {
  int32_t code = 0;
  by_name(202, "ORDERS", &code);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(st_[1], 32);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw_.data()), 20), "ORDERS          D   ");
  int32_t w[3];
  memcpy(w, raw_.data() + 20, 12);
  EXPECT_EQ(w[0], 30);
  EXPECT_EQ(w[1], 5);
  // The highest number the file's clusters hold.
  const int32_t highest = w[2];
  EXPECT_GE(highest, 5);
  // A record deleted: one record less, the highest number stays.
  rewrite("ORDERS", 3, {});
  by_name(202, "ORDERS", &code);
  memcpy(w, raw_.data() + 20, 12);
  EXPECT_EQ(w[1], 4);
  EXPECT_EQ(w[2], highest);
  // A set without a record file answers 0 records and 0 as the highest.
  idb_set& regions = ctx_->root->g.set[setno("REGIONS")];
  Node* node = regions.s.node;
  regions.s.node = nullptr;
  by_name(202, "REGIONS", &code);
  regions.s.node = node;
  ASSERT_EQ(code, 0);
  memcpy(w, raw_.data() + 20, 12);
  EXPECT_EQ(w[0], 4);
  EXPECT_EQ(w[1], 0);
  EXPECT_EQ(w[2], 0);
}

// An answer that does not fit the caller's buffer is refused, and nothing
// is written past the buffer's end.
TEST_F(InfoTest, AnswerLargerThanTheBufferAnswers21) {
  int32_t code = 0;
  char ref[16] = "ORDERS";
  info(104, ref, sizeof ref, &code, 27);
  EXPECT_EQ(code, S_BAD);
  info(104, ref, sizeof ref, &code, 28);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(st_[1], 28);
  info(202, ref, sizeof ref, &code, 31);
  EXPECT_EQ(code, S_BAD);
  info(103, nullptr, 0, &code, 0);
  EXPECT_EQ(code, S_BAD);
  // A qualifier shorter than a word names nothing.
  info(101, ref, 2, &code);
  EXPECT_EQ(code, S_BAD);
}

}  // namespace
