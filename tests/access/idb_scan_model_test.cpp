// Random bulk scans against the record model of the put tests: after
// random puts of customers and orders, serial, record-list, key and chain
// scans with random field selections and buffer sizes, each continued to
// its end, must give exactly the records the model holds, in its order,
// packed field by field.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/change_fixture.h"
#include "access/idb_put.h"
#include "access/idb_scan.h"
#include "storage/disk_bytes.h"
#include "support/record_model.h"

namespace {

using access_test::AccessFixture;
using Bytes = std::vector<uint8_t>;

// Field sizes of the sample's sets, in item order.
const std::vector<uint32_t> kOrderFields = {4, 8, 4, 4, 8, 2};
const std::vector<uint32_t> kCustomerFields = {8, 20};

struct Selection {
  int16_t first, count;
  Bytes map;
};

// A record as a scan packs it: its number, then the selected fields.
void pack(const Selection& sel, const std::vector<uint32_t>& fields, uint32_t recno,
          const Bytes& user, Bytes* out) {
  uint8_t w[4];
  le_put32(w, recno);
  out->insert(out->end(), w, w + 4);
  uint32_t off = 0;
  for (int f = 0; f < static_cast<int>(fields.size()); off += fields[f], ++f) {
    const int k = f - sel.first;
    if (k < 0) continue;
    if (k >= sel.count) break;
    if ((sel.map[k / 8] >> (k % 8) & 1) != 0) out->insert(out->end(), user.begin() + off, user.begin() + off + fields[f]);
  }
}

class ScanModelTest : public AccessFixture {
 protected:
  Selection random_selection(std::mt19937& rng, int fields) {
    Selection s;
    s.first = static_cast<int16_t>(rng() % 3);
    s.count = static_cast<int16_t>(rng() % (fields + 2));
    s.map.assign((s.count + 7) / 8 + 1, 0);
    for (auto& b : s.map) b = static_cast<uint8_t>(rng());
    return s;
  }
  idb_scan_ctx make_ctx(const char* set, const Selection& sel) {
    idb_scan_ctx c{};
    c.dbid = static_cast<int16_t>(dbid_);
    c.setno = static_cast<int16_t>(setno(set) + 1);
    c.fld_offs = sel.first;
    c.fld_cnt = sel.count;
    c.fld_map = sel.map.data();
    return c;
  }
  // The records part of every buffer of a scan, concatenated; call runs
  // one step and tells whether more follows.
  template <class Step>
  Bytes collect(uint32_t data_sz, Step step) {
    Bytes all;
    for (int calls = 0; calls < 10000; ++calls) {
      Bytes b(data_sz, 0);
      uint32_t used = 0;
      bool more = false;
      if (!step(b, &used, &more)) {
        ADD_FAILURE() << "scan failed with " << s_->error.code;
        return all;
      }
      EXPECT_EQ(used, IDB_SCAN_HEAD + le_get32(b.data() + 8));
      all.insert(all.end(), b.begin() + IDB_SCAN_HEAD, b.begin() + used);
      if (!more) return all;
    }
    ADD_FAILURE() << "scan does not end";
    return all;
  }
};

TEST_F(ScanModelTest, RandomScansGiveTheModelsRecords) {
  testsupport::RecordModel model(g_);
  ASSERT_EQ(model.load(), "");
  std::mt19937 rng(41);
  const int cust = setno("CUSTOMER"), ords = setno("ORDERS");
  const char* const regions[] = {"EAST", "WEST", "NORT", "SOUT"};
  for (int step = 0; step < 150; ++step) {
    const bool master = rng() % 4 == 0;
    char no[9];
    snprintf(no, sizeof no, "C%-7u", static_cast<unsigned>(rng() % 10));
    Bytes rec;
    if (master) {
      rec = access_test::customer(no, "");
    } else {
      const int32_t date = static_cast<int32_t>(rng() % 5);
      rec = access_test::order(2000 + step, no, regions[rng() % 4], date);
    }
    const int sn = master ? cust : ords;
    const int32_t want = model.expect_put(sn, rec);
    int32_t st[10];
    const int rc = idb_put(s_, dbid_, master ? "CUSTOMER" : "ORDERS", master ? 9 : 7, 1, nullptr, 0, rec, st);
    ASSERT_EQ(rc == 0 ? 0 : st[0], want) << step;
    if (rc != 0) continue;
    const Bytes stored = raw(master ? "CUSTOMER" : "ORDERS", static_cast<uint32_t>(st[3]));
    const uint32_t word =
        master ? 0 : le_get32(idb__index_word_offset(set("ORDERS"), const_cast<uint8_t*>(stored.data())));
    model.put(sn, rec, static_cast<uint32_t>(st[3]), word);
  }
  ASSERT_EQ(model.check(), "");

  size_t compared = 0;
  int roads[4] = {};
  for (int round = 0; round < 60; ++round) {
    const int road = static_cast<int>(rng() % 4);
    const bool orders = road == 3 || rng() % 2 == 0;
    const char* name = road == 2 ? "CUSTOMER" : road == 3 ? "ORDERS" : orders ? "ORDERS" : "CUSTOMER";
    const int sn = setno(name);
    const auto& fields = sn == ords ? kOrderFields : kCustomerFields;
    const Selection sel = random_selection(rng, static_cast<int>(fields.size()));
    idb_scan_ctx ctx = make_ctx(name, sel);
    const uint32_t data_sz = IDB_SCAN_HEAD + 40 + static_cast<uint32_t>(rng() % 300);
    Bytes want;
    Bytes got;
    if (road == 0) {
      for (uint32_t r : model.recnos(sn)) pack(sel, fields, r, *model.find_user(sn, r), &want);
      uint32_t next = 0;
      got = collect(data_sz, [&](Bytes& b, uint32_t* used, bool* more) {
        le_put32(b.data(), next);
        if (idb_seq_scan(s_, &ctx, b.data(), data_sz, used) != 0) return false;
        next = le_get32(b.data());
        *more = next != 0;
        return true;
      });
    } else if (road == 1) {
      // Record lists: known numbers and unused ones; one context, so a
      // missing record is one zero word.
      std::vector<int32_t> nums;
      const uint32_t top = static_cast<uint32_t>(model.recnos(sn).size()) + 3;
      for (int i = 0; i < 12; ++i) nums.push_back(static_cast<int32_t>(rng() % (top + 1)));
      size_t at = 0;
      for (int32_t n : nums) {
        const Bytes* u = model.find_user(sn, static_cast<uint32_t>(n));
        if (u != nullptr) pack(sel, fields, static_cast<uint32_t>(n), *u, &want);
        else want.insert(want.end(), 4, 0);
      }
      idb_scan_ctx* cs[1] = {&ctx};
      got = collect(data_sz, [&](Bytes& b, uint32_t* used, bool* more) {
        const int32_t left = static_cast<int32_t>(nums.size() - at);
        if (idb_rec_scan(s_, 1, cs, b.data(), data_sz, left, nums.data() + at, used) != 0) return false;
        at += le_get32(b.data() + 4);
        *more = at < nums.size();
        return true;
      });
    } else if (road == 2) {
      // The master key in byte order, from the first key or one key on.
      const auto keys = model.keys(cust);
      const int32_t op = keys.empty() || rng() % 2 == 0 ? IDB_SCAN_FIRST : IDB_SCAN_GE;
      const std::string arg = op == IDB_SCAN_FIRST ? "" : keys[rng() % keys.size()].first;
      for (const auto& [k, r] : keys)
        if (k >= arg) pack(sel, fields, r, *model.find_user(cust, r), &want);
      bool first = true;
      got = collect(data_sz, [&](Bytes& b, uint32_t* used, bool* more) {
        const int rc = idb_key_scan(s_, &ctx, first ? 0 : 1, op, idb__find_item(g_, "CUST-NO") + 1, 0,
                                    reinterpret_cast<const uint8_t*>(arg.data()),
                                    static_cast<int32_t>(arg.size()), b.data(), data_sz, used);
        first = false;
        *more = le_get32(b.data()) == 1;
        return rc == 0;
      });
    } else {
      // The chain of a random customer on the customer path.
      char no[9];
      snprintf(no, sizeof no, "C%-7u", static_cast<unsigned>(rng() % 10));
      const std::string key(no, 8);
      bool known = false;
      for (const auto& [k, r] : model.keys(cust)) known = known || k == key;
      if (!known) continue;
      for (uint32_t r : model.chain_of(ords, 0, key)) pack(sel, fields, r, *model.find_user(ords, r), &want);
      bool first = true;
      got = collect(data_sz, [&](Bytes& b, uint32_t* used, bool* more) {
        const int rc = first ? idb_chain_scan(s_, &ctx, 0, idb__find_item(g_, "CUST-NO") + 1,
                                              reinterpret_cast<const uint8_t*>(key.data()), 8,
                                              b.data(), data_sz, used)
                             : idb_next_scan(s_, &ctx, b.data(), data_sz, used);
        first = false;
        *more = le_get32(b.data()) == 1;
        return rc == 0;
      });
    }
    EXPECT_EQ(got, want) << "round " << round << " road " << road;
    compared += want.size();
    ++roads[road];
    idb_scan_free_state(&ctx);
  }
  // Every road ran, over more than a few records.
  for (int n : roads) EXPECT_GT(n, 3);
  EXPECT_GT(compared, 5000u);
}

}  // namespace
