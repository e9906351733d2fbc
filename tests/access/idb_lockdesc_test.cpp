// DBLOCK and DBUNLOCK over the stored sample: the descriptor parser as a
// table (each refusal code, "@" sets and items, the operator spellings,
// values cut, padded, sign-extended and widened), the status words of the
// calls, conflicts between two sessions (code 21 answered as 20 with word
// 2 set), unlock counts, and a descriptor off its 4-byte boundary.
#include "access/idb_lockdesc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_lock.h"

namespace {

using access_test::AccessFixture;
using access_test::acting;

// A client descriptor built as a client lays it out (little-endian words).
class Descr {
 public:
  Descr() { put32(0); }
  // One entry: set field, optional item field, operator and value bytes.
  Descr& entry(const std::string& set, const std::string* item = nullptr, const char* op = nullptr,
               const std::vector<uint8_t>& value = {}) {
    std::vector<uint8_t> e(4);
    field(e, set);
    if (item != nullptr) field(e, *item);
    if (op != nullptr) e.insert(e.end(), op, op + strlen(op));
    e.insert(e.end(), value.begin(), value.end());
    return raw_entry(e, static_cast<uint32_t>(e.size()));
  }
  // An entry whose length word says len.
  Descr& raw_entry(std::vector<uint8_t> e, uint32_t len) {
    if (e.size() < 4) e.resize(4);
    for (int i = 0; i < 4; ++i) e[i] = static_cast<uint8_t>(len >> (8 * i));
    while (e.size() % 4 != 0) e.push_back(0);
    b_.insert(b_.end(), e.begin(), e.end());
    set_total(static_cast<int32_t>(b_.size() - 4));
    return *this;
  }
  Descr& set_total(int32_t total) {
    for (int i = 0; i < 4; ++i) b_[i] = static_cast<uint8_t>(static_cast<uint32_t>(total) >> (8 * i));
    return *this;
  }
  std::vector<uint32_t> aligned() const {  // a word-aligned copy
    std::vector<uint32_t> w((b_.size() + 3) / 4 + 1, 0);
    memcpy(w.data(), b_.data(), b_.size());
    return w;
  }
  uint32_t size() const { return static_cast<uint32_t>(b_.size()); }

  static std::string number(uint32_t n) {
    std::string f(16, ' ');
    for (int i = 0; i < 4; ++i) f[i] = static_cast<char>(n >> (8 * i));
    return f;
  }

 private:
  void put32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  static void field(std::vector<uint8_t>& e, const std::string& text) {
    std::string f = text;
    f.resize(16, ' ');
    e.insert(e.end(), f.begin(), f.end());
  }
  std::vector<uint8_t> b_;
};

std::vector<uint8_t> le(int64_t v, int n) {
  std::vector<uint8_t> b(n);
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return b;
}
std::vector<uint8_t> bytes_of(double d) {
  std::vector<uint8_t> b(8);
  memcpy(b.data(), &d, 8);
  return b;
}
std::vector<uint8_t> text(const char* t) { return {t, t + strlen(t)}; }

class LockDescrTest : public AccessFixture {
 protected:
  void TearDown() override {
    for (idb_session* s : sessions_) idb__del_session_locks(s);
    AccessFixture::TearDown();
  }
  int32_t parse(const Descr& d, std::vector<uint32_t>* out = nullptr, uint32_t room = IDB_DESCR_ROOM) {
    std::vector<uint32_t> w = d.aligned();
    std::vector<uint32_t> parsed(room / 4 + 1, 0xDEADBEEF);
    const int32_t rc = idb__parse_lock_descr(g_, reinterpret_cast<const uint8_t*>(w.data()),
                                             d.size(), parsed.data(), room);
    if (out != nullptr) {
      parsed.resize(parsed[0] + 1);
      *out = parsed;
    }
    return rc;
  }
  int item(const char* name) const { return idb__find_item(g_, name) + 1; }
  // DBLOCK or DBUNLOCK with d's words, else the set number (when not 0),
  // else no qualifier.
  using LockCall = int (*)(idb_session*, int32_t, const void*, uint32_t, int32_t, int32_t*);
  int32_t call(LockCall f, idb_session* s, int32_t dbid, int32_t mode, const Descr* d,
               int32_t set) {
    std::fill(std::begin(st_), std::end(st_), -99);
    std::vector<uint32_t> w;
    const void* q = nullptr;
    uint32_t size = 0;
    if (d != nullptr) {
      w = d->aligned();
      q = w.data();
      size = d->size();
    } else if (set != 0) {
      q = &set;
      size = 4;
    }
    f(s, dbid, q, size, mode, st_);
    return st_[0];
  }
  int32_t lock(idb_session* s, int32_t dbid, int32_t mode, const Descr* d = nullptr,
               int32_t set = 0) {
    return call(idb_lock, s, dbid, mode, d, set);
  }
  int32_t unlock(idb_session* s, int32_t dbid, int32_t mode, const Descr* d = nullptr,
                 int32_t set = 0) {
    return call(idb_unlock, s, dbid, mode, d, set);
  }
  static int queue_length() {
    int n = 0;
    for (const lock_entry* e = idb__get_lock_list(); e != nullptr; e = e->next) ++n;
    return n;
  }
  // A second session with the sample open in mode 1.
  std::pair<idb_session*, int32_t> other() {
    idb_session* s = session();
    const int32_t dbid = idb__open_database(s, "sample", 1);
    EXPECT_GT(dbid, 0);
    acting() = s_;
    return {s, dbid};
  }
  idb_status st_{};
};

TEST_F(LockDescrTest, RefusedDescriptorsAnswerTheirCodes) {
  const std::string order_no = "ORDER-NO", name = "NAME", nosuch = "NOSUCH", at = "@",
                    date = "ORDER-DATE", amount = "AMOUNT";
  struct Case {
    const char* what;
    Descr d;
    int32_t code;
  };
  std::vector<uint8_t> short_item(4 + 16 + 8, ' ');
  const Case cases[] = {
      {"negative total", Descr().entry("ORDERS").set_total(-4), -122},
      {"total beyond the bytes received", Descr().entry("ORDERS").set_total(40), -122},
      {"entry length beyond the total", Descr().raw_entry(std::vector<uint8_t>(20, ' '), 24), -122},
      {"item field cut short", Descr().raw_entry(short_item, 28), -122},
      {"bytes after an @ item", Descr().entry("ORDERS", &at, "= ", le(1, 4)), -122},
      {"no operator", Descr().entry("ORDERS", &order_no), -123},
      {"operator =<", Descr().entry("ORDERS", &order_no, "=<", le(1, 4)), -123},
      {"operator Eq", Descr().entry("ORDERS", &order_no, "Eq", le(1, 4)), -123},
      {"entry shorter than the set field", Descr().raw_entry(std::vector<uint8_t>(12, ' '), 12),
       -124},
      {"unknown set name", Descr().entry("NOSUCH"), -125},
      {"set number out of range", Descr().entry(Descr::number(9)), -125},
      {"unknown item", Descr().entry("ORDERS", &nosuch, "= ", le(1, 4)), -126},
      {"item of another set", Descr().entry("ORDERS", &name, "= ", text("x")), -126},
      {"item of no set under @", Descr().entry("@", &nosuch, "= ", le(1, 4)), -126},
      {"D with 3 bytes", Descr().entry("ORDERS", &date, "= ", le(1, 3)), -128},
      {"L with 5 bytes", Descr().entry("ORDERS", &amount, "<=", le(1, 5)), -128},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.d), c.code) << c.what;

  // An item of more than one element cannot be locked.
  idb_item& qty = ctx_->root->g.item[item("QTY") - 1];
  qty.elements = 2;
  const std::string q = "QTY";
  EXPECT_EQ(parse(Descr().entry("ORDERS", &q, "= ", le(1, 2))), -127);
  qty.elements = 1;

  // 400 entries do not fit the work buffer.
  Descr big;
  for (int i = 0; i < 400; ++i) big.entry("@", &order_no, "= ", le(i, 4));
  EXPECT_EQ(parse(big), -136);
  EXPECT_EQ(parse(big, nullptr, 1 << 20), 0);
}

TEST_F(LockDescrTest, ParsedFormOfSetsItemsOperatorsAndValues) {
  const uint32_t orders = static_cast<uint32_t>(setno("ORDERS"));
  const uint32_t customer = static_cast<uint32_t>(setno("CUSTOMER"));
  std::vector<uint32_t> w;
  // A set alone, by name and by number; every set.
  ASSERT_EQ(parse(Descr().entry("orders").entry(Descr::number(customer + 1)).entry("@"), &w), 0);
  EXPECT_EQ(w, (std::vector<uint32_t>{11, 4, 1, orders, 0, 4, 1, customer, 0, 3, 0, 0}));
  // An "@" item: every item.
  const std::string at = "@";
  ASSERT_EQ(parse(Descr().entry("ORDERS", &at), &w), 0);
  EXPECT_EQ(w, (std::vector<uint32_t>{4, 4, 1, orders, 0}));

  // The ten operator spellings.
  const std::string order_no = "ORDER-NO";
  const uint32_t ono = static_cast<uint32_t>(item("ORDER-NO"));
  const struct {
    const char* op;
    uint32_t code;
  } ops[] = {{"= ", 0}, {" =", 0}, {"<=", 1}, {">=", 2}, {"EQ", 3},
             {"eq", 3}, {"LE", 4}, {"le", 4}, {"GE", 5}, {"ge", 5}};
  for (const auto& o : ops) {
    ASSERT_EQ(parse(Descr().entry("ORDERS", &order_no, o.op, le(-7, 4)), &w), 0) << o.op;
    EXPECT_EQ(w, (std::vector<uint32_t>{7, 7, 1, orders, ono, o.code, 'D' << 16 | 4,
                                        static_cast<uint32_t>(-7)}))
        << o.op;
  }
  // An item by number under every set; a 16-bit value sign-extended.
  const std::string qty = Descr::number(static_cast<uint32_t>(item("QTY")));
  ASSERT_EQ(parse(Descr().entry("@", &qty, "= ", le(-2, 2)), &w), 0);
  EXPECT_EQ(w, (std::vector<uint32_t>{6, 6, 0, static_cast<uint32_t>(item("QTY")), 0,
                                      'I' << 16 | 2, static_cast<uint32_t>(-2)}));
  // Reals widened to doubles.
  const std::string amount = "AMOUNT";
  const float f = 2.5f;
  std::vector<uint8_t> fb(4);
  memcpy(fb.data(), &f, 4);
  ASSERT_EQ(parse(Descr().entry("ORDERS", &amount, ">=", fb), &w), 0);
  double d;
  memcpy(&d, &w[7], 8);
  EXPECT_EQ(d, 2.5);
  ASSERT_EQ(parse(Descr().entry("ORDERS", &amount, ">=", bytes_of(-1.25)), &w), 0);
  memcpy(&d, &w[7], 8);
  EXPECT_EQ(d, -1.25);
  // Characters padded with blanks, and cut to the item's size.
  const std::string cust = "CUST-NO";
  ASSERT_EQ(parse(Descr().entry("ORDERS", &cust, "= ", text("C1")), &w), 0);
  ASSERT_EQ(w.size(), 9u);
  EXPECT_EQ(w[6], static_cast<uint32_t>('X' << 16 | 8));
  EXPECT_EQ(memcmp(&w[7], "C1      ", 8), 0);
  ASSERT_EQ(parse(Descr().entry("ORDERS", &cust, "= ", text("C0010000XYZ")), &w), 0);
  EXPECT_EQ(memcmp(&w[7], "C0010000", 8), 0);
  // A zero entry length ends the list; an empty descriptor has no entries.
  ASSERT_EQ(parse(Descr().entry("ORDERS").raw_entry({}, 0).raw_entry({}, 3), &w), 0);
  EXPECT_EQ(w, (std::vector<uint32_t>{4, 4, 1, orders, 0}));
  ASSERT_EQ(parse(Descr(), &w), 0);
  EXPECT_EQ(w, (std::vector<uint32_t>{0}));
}

TEST_F(LockDescrTest, LockAndUnlockStatusWords) {
  // Three locks of one database, released by one mode-1 unlock.
  ASSERT_EQ(lock(s_, dbid_, 1), 0);
  EXPECT_EQ(st_[1], 1);
  for (int i : {2, 3, 4, 6, 7, 9}) EXPECT_EQ(st_[i], 0) << i;
  EXPECT_EQ(st_[5], IDB_LOCK);
  EXPECT_EQ(st_[8], 1);
  ASSERT_EQ(lock(s_, dbid_, 4, nullptr, 3), 0);
  const std::string ono = "ORDER-NO";
  const Descr d = Descr().entry("ORDERS", &ono, "= ", le(101, 4));
  ASSERT_EQ(lock(s_, dbid_, 6, &d), 0);
  EXPECT_EQ(queue_length(), 3);
  // A descriptor that differs in its value releases nothing.
  const Descr other_value = Descr().entry("ORDERS", &ono, "= ", le(102, 4));
  ASSERT_EQ(unlock(s_, dbid_, 5, &other_value), 0);
  EXPECT_EQ(st_[1], 0);
  ASSERT_EQ(unlock(s_, dbid_, 1), 0);
  EXPECT_EQ(st_[1], 3);
  EXPECT_EQ(st_[5], IDB_UNLOCK + 4096);
  EXPECT_EQ(st_[8], 1);
  EXPECT_EQ(st_[2], -99);  // left as the caller set it
  EXPECT_EQ(queue_length(), 0);

  // An empty descriptor: success without a lock; its unlock releases nothing.
  const Descr empty;
  ASSERT_EQ(lock(s_, dbid_, 5, &empty), 0);
  EXPECT_EQ(queue_length(), 0);
  ASSERT_EQ(unlock(s_, dbid_, 15, &empty), 0);
  EXPECT_EQ(st_[1], 0);

  // Refusals.
  EXPECT_EQ(lock(s_, dbid_, 8), S_BADMODE);
  EXPECT_EQ(st_[5], IDB_LOCK);
  EXPECT_EQ(st_[8], 8);
  EXPECT_EQ(unlock(s_, dbid_, 7), S_BADMODE);
  EXPECT_EQ(lock(s_, dbid_ + 1, 1), S_BADID);
  EXPECT_EQ(lock(s_, dbid_, 3, nullptr, 9), S_BAD);
  const Descr bad = Descr().entry("ORDERS", &ono, "= ", le(1, 3));
  EXPECT_EQ(lock(s_, dbid_, 5, &bad), -128);
  EXPECT_EQ(st_[9], 0);
  // A descriptor off its 4-byte boundary.
  const std::vector<uint32_t> w = d.aligned();
  std::vector<uint32_t> holder(w.size() + 1);
  uint8_t* odd = reinterpret_cast<uint8_t*>(holder.data()) + 1;
  memcpy(odd, w.data(), d.size());
  idb_lock(s_, dbid_, odd, d.size(), 5, st_);
  EXPECT_EQ(st_[0], -137);
  EXPECT_EQ(queue_length(), 0);
}

TEST_F(LockDescrTest, ConflictsBetweenSessions) {
  auto [b, bdb] = other();
  // Against another session's set lock a database lock answers 20 with
  // word 2 set; against a database lock word 2 stays 0.
  ASSERT_EQ(lock(b, bdb, 4, nullptr, 1), 0);
  EXPECT_EQ(lock(s_, dbid_, 2), 20);
  EXPECT_EQ(st_[2], 1);
  EXPECT_EQ(st_[1], 0);
  EXPECT_EQ(st_[5], IDB_LOCK);
  ASSERT_EQ(unlock(b, bdb, 1), 0);
  ASSERT_EQ(lock(b, bdb, 12), 0);
  EXPECT_EQ(lock(s_, dbid_, 2), 20);
  EXPECT_EQ(st_[2], 0);
  ASSERT_EQ(unlock(b, bdb, 11), 0);
  // Descriptor locks: equal values conflict (25), others do not.
  const std::string ono = "ORDER-NO";
  const Descr d101 = Descr().entry("ORDERS", &ono, "= ", le(101, 4));
  const Descr d102 = Descr().entry("ORDERS", &ono, "= ", le(102, 4));
  const Descr upto = Descr().entry("ORDERS", &ono, "<=", le(200, 4));
  ASSERT_EQ(lock(b, bdb, 6, &d101), 0);
  EXPECT_EQ(lock(s_, dbid_, 6, &d102), 0);
  EXPECT_EQ(lock(s_, dbid_, 16, &upto), 25);
  // A waiting mode while holding locks may not wait.
  EXPECT_EQ(lock(s_, dbid_, 5, &d101), -135);
  EXPECT_EQ(st_[9], 0);
  ASSERT_EQ(unlock(b, bdb, 6, &d101), 0);
  EXPECT_EQ(st_[1], 1);
  EXPECT_EQ(lock(s_, dbid_, 16, &upto), 0);
}

}  // namespace
