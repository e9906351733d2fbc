// btree_model_keys.h - the keys and key orders of the B-tree model tests:
// distinct keys of 1 to 300 bytes sharing a few stems, one in 400 near the
// largest entry, and the ascending, descending, random and sawtooth orders.
#pragma once
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "index/btree.h"

namespace btree_test {

using Model = std::map<std::string, std::string>;

// Distinct keys sorted: a few shared stems, a running number, a tail of
// random length; one in 400 near the largest entry.
inline std::vector<std::string> make_keys(int n, uint32_t seed) {
  static const char* const stems[] = {"", "a", "ab", "abc", "customer/", "customer/0",
                                      "order-line-", "\x80\xff", "zz"};
  std::mt19937 rng(seed);
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    std::string k = stems[rng() % 9];
    k += std::to_string(rng() % 100000);
    const uint32_t len = i % 400 == 7 ? BT_MAXENTRY - 12 - 8 - rng() % 4 : 1 + rng() % 300;
    while (k.size() < len) k.push_back(static_cast<char>('a' + rng() % 26));
    k.resize(len);
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

inline std::string data_for(const std::string& k) {
  return "d" + std::to_string(k.size()) + (k.size() % 3 == 0 ? std::string(k.size() % 17, 'x') : "");
}

inline bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

struct OrderCase {
  const char* name;
  std::vector<size_t> (*order)(size_t n, std::mt19937& rng);
};
inline void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

inline std::vector<size_t> ascending(size_t n, std::mt19937&) {
  std::vector<size_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}
inline std::vector<size_t> descending(size_t n, std::mt19937& rng) {
  auto v = ascending(n, rng);
  std::reverse(v.begin(), v.end());
  return v;
}
inline std::vector<size_t> shuffled(size_t n, std::mt19937& rng) {
  auto v = ascending(n, rng);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}
// Ascending sweeps over the whole range, each starting again at the low end.
inline std::vector<size_t> sawtooth(size_t n, std::mt19937&) {
  std::vector<size_t> v;
  const size_t teeth = 7;
  for (size_t t = 0; t < teeth; ++t)
    for (size_t i = t; i < n; i += teeth) v.push_back(i);
  return v;
}

inline const OrderCase kOrders[] = {{"ascending", ascending},
                                     {"descending", descending},
                                     {"random", shuffled},
                                     {"sawtooth", sawtooth}};

}  // namespace btree_test
