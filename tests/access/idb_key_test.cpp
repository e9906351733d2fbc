// Key building and the typed key order: the edge cases as a table, then a
// property test over random typed keys (NaN of either sign, -0, a
// case-folding collating sequence with weights of one and two bytes):
// the compare is antisymmetric and transitive, and the prefix of b cut
// where idb__bt_pfx says sorts after a and not after b.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "access/idb_key.h"
#include "access/schema_cache.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Letters fold to their lower case; 0xDF expands to "ss", 0xDE to "st";
// everything else weighs its own byte.
struct FoldingCollation {
  std::vector<uint8_t> blob;
  idb_coll coll{};
  FoldingCollation() {
    std::vector<size_t> at(256);
    for (int c = 0; c < 256; ++c) {
      at[c] = blob.size();
      if (c == 0xDF || c == 0xDE) {
        blob.insert(blob.end(), {2, 's', static_cast<uint8_t>(c == 0xDF ? 's' : 't')});
      } else {
        blob.push_back(1);
        blob.push_back(static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
      }
    }
    for (int c = 0; c < 256; ++c) coll.map[c] = blob.data() + at[c];
  }
};

btree_KEYDEF keydef(std::initializer_list<std::pair<uint32_t, uint32_t>> parts) {
  btree_KEYDEF k{};
  k.k_flags = IDB_KTYPED;
  for (const auto& [type, len] : parts) {
    k.k_part[k.k_nparts] = btree_KEYPART{k.k_len, len, type};
    k.k_len += len;
    ++k.k_nparts;
  }
  return k;
}

template <typename T>
void put(Bytes& b, T v) {
  uint8_t raw[sizeof v];
  memcpy(raw, &v, sizeof v);
  b.insert(b.end(), raw, raw + sizeof v);
}

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
template <typename T>
Bytes num(T v) {
  Bytes b;
  put(b, v);
  return b;
}

btree_DBT dbt(const Bytes& b) { return btree_DBT{const_cast<uint8_t*>(b.data()), static_cast<uint32_t>(b.size())}; }

int sgn(int v) { return (v > 0) - (v < 0); }

int cmp(const btree_KEYDEF* k, const Bytes& a, const Bytes& b, const idb_coll* coll) {
  const btree_DBT x = dbt(a), y = dbt(b);
  return sgn(idb__bt_cmp(k, &x, &y, const_cast<idb_coll*>(coll)));
}

uint32_t pfx(const btree_KEYDEF* k, const Bytes& a, const Bytes& b, const idb_coll* coll) {
  const btree_DBT x = dbt(a), y = dbt(b);
  return idb__bt_pfx(k, &x, &y, const_cast<idb_coll*>(coll));
}

const FoldingCollation& folding() {
  static const FoldingCollation f;
  return f;
}

struct CmpCase {
  const char* what;
  btree_KEYDEF k;
  bool untyped;
  bool collated;
  Bytes a, b;
  int order;     // sign of cmp(a, b)
  int prefix;    // idb__bt_pfx(a, b), or -1 when a does not sort first
};

TEST(IdbKey, EdgeCases) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const float fnan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<CmpCase> cases = {
      {"untyped: the shorter first", btree_KEYDEF{}, true, false, str("ab"), str("abc"), -1, 3},
      {"case differs only: equal under folding", keydef({{1, 3}}), false, true, str("Abc"),
       str("aBC"), 0, -1},
      {"case differs without collation: bytes", keydef({{1, 3}}), false, false, str("Abc"),
       str("aBC"), -1, 1},
      {"int16 -1 before 1", keydef({{6, 2}}), false, false, num<int16_t>(-1), num<int16_t>(1), -1, 2},
      {"int32 low byte differs: whole integer kept", keydef({{7, 4}, {17, 3}}), false, false,
       cat(num<int32_t>(0x100), str("abc")), cat(num<int32_t>(0x101), str("abc")), -1, 4},
      {"NaN after the largest double", keydef({{11, 8}}), false, false,
       num<double>(std::numeric_limits<double>::max()), num<double>(nan), -1, 8},
      {"NaN after infinity (float)", keydef({{10, 4}}), false, false,
       num<float>(std::numeric_limits<float>::infinity()), num<float>(fnan), -1, 4},
      {"NaN of either sign equal", keydef({{11, 8}}), false, false, num<double>(-nan),
       num<double>(nan), 0, -1},
      {"-0 equal to 0", keydef({{11, 8}}), false, false, num<double>(-0.0), num<double>(0.0), 0, -1},
      {"shorter expansion first", keydef({{1, 1}}), false, true, str("s"), str("\xDF"), -1, 1},
      {"expansion decides at its second weight", keydef({{1, 1}}), false, true, str("\xDF"),
       str("\xDE"), -1, 1},
      {"collated part never cut", keydef({{1, 4}}), false, true, str("abzz"), str("acaa"), -1, 4},
      {"collation-equal part goes whole", keydef({{1, 2}, {17, 2}}), false, true,
       cat(str("ab"), str("\x01\x05")), cat(str("AB"), str("\x02\x00")), -1, 3},
      {"bytes part cut after the first difference", keydef({{17, 4}}), false, false,
       str("abzz"), str("acaa"), -1, 2},
      {"key used up before a number: the number whole", keydef({{17, 2}, {7, 4}}), false, false,
       str("ab"), cat(str("ab"), num<int32_t>(7)), -1, 6},
      {"key used up: the shorter first", keydef({{17, 2}, {7, 4}}), false, false,
       cat(str("ab"), num<int32_t>(7)), str("ab"), 1, -1},
  };
  for (const CmpCase& c : cases) {
    SCOPED_TRACE(c.what);
    const btree_KEYDEF* k = c.untyped ? nullptr : &c.k;
    const idb_coll* coll = c.collated ? &folding().coll : nullptr;
    EXPECT_EQ(cmp(k, c.a, c.b, coll), c.order);
    EXPECT_EQ(cmp(k, c.b, c.a, coll), -c.order);
    if (c.prefix >= 0) {
      EXPECT_EQ(pfx(k, c.a, c.b, coll), static_cast<uint32_t>(c.prefix));
    }
  }
  // The bytes of -1 sort after those of 1.
  const Bytes m1 = num<int16_t>(-1), p1 = num<int16_t>(1);
  EXPECT_GT(memcmp(m1.data(), p1.data(), 2), 0);
}

TEST(IdbKey, BuildKeyCopiesPartsInOrder) {
  btree_KEYDEF k{};
  k.k_flags = IDB_KTYPED;
  k.k_nparts = 2;
  k.k_part[0] = btree_KEYPART{6, 2, 17};
  k.k_part[1] = btree_KEYPART{1, 3, 1};
  k.k_len = 5;
  const Bytes record = str("0abcdeXYZ");
  uint8_t key[8] = {};
  EXPECT_EQ(idb__key_len(&k), 5u);
  EXPECT_EQ(idb__build_key(&k, key, sizeof key, record.data()), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 5), "XYabc");
}

// Random keys over small alphabets, so that ties, NaN and folding meet.
struct KeyGen {
  std::mt19937 rng;
  explicit KeyGen(uint32_t seed) : rng(seed) {}
  uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }

  btree_KEYDEF def() {
    static const uint32_t types[] = {1, 1, 6, 7, 10, 11, 17};
    btree_KEYDEF k{};
    k.k_flags = IDB_KTYPED;
    k.k_nparts = 1 + pick(3);
    for (uint32_t i = 0; i < k.k_nparts; ++i) {
      const uint32_t t = types[pick(7)];
      const uint32_t len = t == 6 ? 2 : t == 7 || t == 10 ? 4 : t == 11 ? 8 : 1 + pick(3);
      k.k_part[i] = btree_KEYPART{k.k_len, len, t};
      k.k_len += len;
    }
    return k;
  }

  Bytes key(const btree_KEYDEF& k) {
    static const uint8_t chars[] = {'a', 'A', 'b', 's', 'S', 't', 0xDF, 0xDE, 0};
    static const int32_t ints[] = {-1, 0, 1, 255, 256, -256};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double reals[] = {nan, -nan, -0.0, 0.0, 1.0, -1.0, inf, -inf, 1e-300};
    Bytes b;
    for (uint32_t i = 0; i < k.k_nparts; ++i) {
      const btree_KEYPART& p = k.k_part[i];
      switch (p.kp_type) {
        case 6: put(b, static_cast<int16_t>(ints[pick(6)])); break;
        case 7: put(b, ints[pick(6)]); break;
        case 10: put(b, static_cast<float>(reals[pick(9)])); break;
        case 11: put(b, reals[pick(9)]); break;
        case 1:
          for (uint32_t j = 0; j < p.kp_leng; ++j) b.push_back(chars[pick(9)]);
          break;
        default:
          for (uint32_t j = 0; j < p.kp_leng; ++j) b.push_back(static_cast<uint8_t>(pick(3) * 0x7F));
      }
    }
    return b;
  }
};

TEST(IdbKey, TotalOrderAndPrefixProperty) {
  KeyGen gen(20240527);
  for (int round = 0; round < 120; ++round) {
    const btree_KEYDEF k = gen.def();
    for (const idb_coll* coll : {static_cast<const idb_coll*>(nullptr), &folding().coll}) {
      std::vector<Bytes> keys;
      for (int i = 0; i < 24; ++i) keys.push_back(gen.key(k));
      const size_t n = keys.size();
      std::vector<int> c(n * n);
      for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) c[i * n + j] = cmp(&k, keys[i], keys[j], coll);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(c[i * n + i], 0);
        for (size_t j = 0; j < n; ++j) {
          ASSERT_EQ(c[i * n + j], -c[j * n + i]) << "round " << round;
          for (size_t l = 0; l < n; ++l) {
            if (c[i * n + j] <= 0 && c[j * n + l] <= 0) {
              ASSERT_LE(c[i * n + l], std::min(c[i * n + j], c[j * n + l])) << "round " << round;
            }
          }
          if (c[i * n + j] >= 0) continue;
          const Bytes& a = keys[i];
          const Bytes& b = keys[j];
          const uint32_t p = pfx(&k, a, b, coll);
          ASSERT_LE(p, b.size());
          const Bytes cut(b.begin(), b.begin() + p);
          ASSERT_LT(cmp(&k, a, cut, coll), 0) << "round " << round << " prefix " << p;
          ASSERT_LE(cmp(&k, cut, b, coll), 0) << "round " << round << " prefix " << p;
        }
      }
    }
  }
}

}  // namespace
