// Name lookup and the media record layout: names in any case ending at a
// NUL, blank or ";", 15 characters and not 16, numbers in and out of range
// (index items numbered after the items), colliding names chained from
// their home slot, empty tables, and media lengths with their offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/idb_lookup.h"

namespace {

// A schema of n items, m index items and k sets named as given, with the
// hash tables the cache builds.
struct Schema {
  std::vector<idb_item> items;
  std::vector<idb_iitem> iitems;
  std::vector<idb_set> sets;
  std::vector<idb_hash> item_hash, iitem_hash, set_hash;
  global g{};

  static void name(char* out, const std::string& n) {
    memset(out, ' ', IDB_NAME_LEN);
    memcpy(out, n.data(), n.size());
  }
  template <class T, class F>
  static void hash(std::vector<T>& v, std::vector<idb_hash>& h, F name_of) {
    std::vector<const char*> names;
    for (T& r : v) names.push_back(name_of(r));
    h.resize(v.size());
    if (!v.empty()) idb__hash_build(h.data(), static_cast<int>(v.size()), names.data());
  }
  Schema(const std::vector<std::string>& item_names, const std::vector<std::string>& iitem_names,
         const std::vector<std::string>& set_names) {
    items.resize(item_names.size());
    for (size_t i = 0; i < items.size(); ++i) name(items[i].name, item_names[i]);
    iitems.resize(iitem_names.size());
    for (size_t i = 0; i < iitems.size(); ++i) name(iitems[i].name, iitem_names[i]);
    sets.resize(set_names.size());
    for (size_t i = 0; i < sets.size(); ++i) name(sets[i].s.name, set_names[i]);
    hash(items, item_hash, [](idb_item& r) { return r.name; });
    hash(iitems, iitem_hash, [](idb_iitem& r) { return r.name; });
    hash(sets, set_hash, [](idb_set& r) { return r.s.name; });
    g.item_cnt = static_cast<int32_t>(items.size());
    g.iitem_cnt = static_cast<int32_t>(iitems.size());
    g.set_cnt = static_cast<int32_t>(sets.size());
    g.item = items.data();
    g.iitem = iitems.data();
    g.set = sets.data();
    g.item_hash = item_hash.empty() ? nullptr : item_hash.data();
    g.iitem_hash = iitem_hash.empty() ? nullptr : iitem_hash.data();
    g.set_hash = set_hash.empty() ? nullptr : set_hash.data();
  }
};

// A reference buffer: a number, or a name with its terminator.
struct Ref {
  std::vector<char> bytes;
  static Ref num(int32_t n) {
    Ref r;
    r.bytes.resize(4);
    memcpy(r.bytes.data(), &n, 4);
    return r;
  }
  static Ref text(const std::string& s) {
    Ref r;
    r.bytes.assign(s.begin(), s.end());
    r.bytes.push_back('\0');
    while (r.bytes.size() < 4) r.bytes.push_back('\0');
    return r;
  }
  int size() const { return static_cast<int>(bytes.size()); }
};

struct LookupCase {
  const char* what;
  Ref ref;
  int set;    // idb__set_number's answer
  int item;   // idb__item_number's answer
  int iitem;  // idb__iitem_number's answer
};

const std::string k15 = "ABCDEFGHIJKLMNO";

class Lookup : public ::testing::Test {
 protected:
  // Items 0..4, index items 5 and 6, sets 0..2.
  Schema s{{"CUST-NO", "NAME", "ABCDEFGHIJKLMNO", "QTY", "PRICE"},
           {"BY-NAME", "BY-DATE"},
           {"CUSTOMERS", "ORDERS", "ABCDEFGHIJKLMNO"}};
};

TEST_F(Lookup, ByNameAndNumber) {
  const LookupCase cases[] = {
      {"upper case", Ref::text("ORDERS"), 1, -1, -1},
      {"lower case", Ref::text("orders"), 1, -1, -1},
      {"mixed case", Ref::text("OrDeRs"), 1, -1, -1},
      {"semicolon ends", Ref::text("orders;junk"), 1, -1, -1},
      {"blank ends", Ref::text("orders junk"), 1, -1, -1},
      {"item name", Ref::text("qty"), -1, 3, -1},
      {"index item name", Ref::text("by-date"), -1, -1, 6},
      {"15 characters", Ref::text(k15), 2, 2, -1},
      {"16 characters", Ref::text(k15 + "P"), -1, -1, -1},
      {"empty name", Ref::text(""), -1, -1, -1},
      {"number 1", Ref::num(1), 0, 0, -1},
      {"number 0 as a name", Ref::num(0), -1, -1, -1},
      {"number -1 as a name", Ref::num(-1), -1, -1, -1},
      {"set count + 1 as a name", Ref::num(4), -1, 3, -1},
      {"item count + 1: the first index item", Ref::num(6), -1, -1, 5},
      {"last index item", Ref::num(7), -1, -1, 6},
      {"past the index items", Ref::num(8), -1, -1, -1},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(idb__set_number(&s.g, c.ref.bytes.data(), c.ref.size()), c.set);
    EXPECT_EQ(idb__item_number(&s.g, c.ref.bytes.data(), c.ref.size()), c.item);
    EXPECT_EQ(idb__iitem_number(&s.g, c.ref.bytes.data(), c.ref.size()), c.iitem);
  }
}

TEST_F(Lookup, IndexItemsAmongFiveItemsAreNumberedAfterThem) {
  // 5 items and 2 index items: number 6 is index 5, number 8 a name.
  EXPECT_EQ(idb__iitem_number(&s.g, Ref::num(6).bytes.data(), 4), 5);
  EXPECT_EQ(idb__iitem_number(&s.g, Ref::num(8).bytes.data(), 4), -1);
  EXPECT_EQ(idb__find_iitem(&s.g, "BY-NAME"), 5);
}

TEST_F(Lookup, ANameIsNotReadPastItsBuffer) {
  // Four characters without an end in a four-byte reference: no name.
  const char four[4] = {'Q', 'T', 'Y', 'X'};
  EXPECT_EQ(idb__item_number(&s.g, four, 4), -1);
  const char three[4] = {'Q', 'T', 'Y', ';'};
  EXPECT_EQ(idb__item_number(&s.g, three, 4), 3);
}

TEST(LookupEmpty, ATableWithoutEntriesFindsNothing) {
  Schema s{{"A"}, {}, {}};
  EXPECT_EQ(s.g.iitem_hash, nullptr);
  EXPECT_EQ(idb__find_iitem(&s.g, "A"), -1);
  EXPECT_EQ(idb__find_set(&s.g, "A"), -1);
  EXPECT_EQ(idb__iitem_number(&s.g, Ref::num(2).bytes.data(), 4), -1);
  EXPECT_EQ(idb__find_item(&s.g, "a"), 0);
}

TEST(LookupHash, ThreeNamesOfOneHashTakeDistinctSlotsNewestFirstAfterHome) {
  // 'A' (1), 'D' (4) and 'G' (7) all hash to 1 modulo 3.
  char a[16], d[16], g[16];
  Schema::name(a, "A");
  Schema::name(d, "D");
  Schema::name(g, "G");
  for (const char* n : {a, d, g}) EXPECT_EQ(idb__name_hash(n, 16, 3), 1);
  const char* names[] = {a, d, g};
  idb_hash t[3];
  idb__hash_build(t, 3, names);
  EXPECT_EQ(t[1].index, 0);  // home
  EXPECT_EQ(t[2].index, 1);  // the first free slot after home
  EXPECT_EQ(t[0].index, 2);  // wrapped around
  // The chain from home: the newest first.
  ASSERT_EQ(t[1].next, &t[0]);
  ASSERT_EQ(t[0].next, &t[2]);
  EXPECT_EQ(t[2].next, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(idb__hash_find(t, 3, names[i]), i);
  char z[16];
  Schema::name(z, "J");  // hash 10 % 3 = 1 as well, but absent
  EXPECT_EQ(idb__hash_find(t, 3, z), -1);
}

TEST(LookupHash, TheHashStopsAtTheFirstBlank) {
  char n[16];
  Schema::name(n, "AB");
  n[3] = 'Z';  // after the blank: not counted
  EXPECT_EQ(idb__name_hash(n, 16, 1000), (('A' & 31) + ('B' & 31)) % 1000);
}

struct MediaCase {
  const char* what;
  uint32_t type;
  uint32_t rec_len, index_cnt, path_cnt;
  uint32_t media;
  int index_word;  // -1: none
  int path_area;   // -1: none
};

TEST(Media, LengthsAndOffsets) {
  const MediaCase cases[] = {
      {"detail, one index, two paths", 'D', 10, 1, 2, 32, 12, 16},
      {"master, one index, two paths", 'M', 10, 1, 2, 40, 12, 16},
      {"automatic master, no index, one path", 'A', 10, 0, 1, 24, -1, 12},
      {"no path and no index: no rounding", 'D', 10, 0, 0, 10, -1, -1},
      {"index only", 'D', 8, 1, 0, 12, 8, -1},
  };
  for (const MediaCase& c : cases) {
    SCOPED_TRACE(c.what);
    idb_set set{};
    set.s.type = c.type;
    set.rec_len = c.rec_len;
    set.s.index_cnt = c.index_cnt;
    set.s.path_cnt = c.path_cnt;
    EXPECT_EQ(media_len(&set), c.media);
    uint8_t base[64];
    if (c.index_word >= 0) {
      EXPECT_EQ(idb__index_word_offset(&set, base) - base, c.index_word);
    }
    if (c.path_area >= 0) {
      EXPECT_EQ(idb__path_area(&set, base) - base, c.path_area);
    }
  }
}

}  // namespace
