// The wildcard matcher: a table of (pattern, text, match, literal prefix),
// patterns that must not compile (a trailing "\", unclosed classes, the
// empty pattern), the prefix bounded by the caller's span, the end
// position, and a run of stars that must not backtrack.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "access/idb_re.h"

namespace {

struct Compiled {
  idb_re* re;
  explicit Compiled(const std::string& p) : re(idb__re_compile(static_cast<int32_t>(p.size()), p.data())) {}
  ~Compiled() { idb__re_free(re); }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
};

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct Row {
  std::string pattern, text;
  bool match;
  uint32_t prefix;
};

TEST(IdbRe, Table) {
  const std::vector<Row> rows = {
      {"a*", "a", true, 1},          {"a*", "abc", true, 1},       {"a*", "ba", false, 1},
      {"*a", "bca", true, 0},        {"*a", "ab", false, 0},       {"*a", "a", true, 0},
      {"a?c", "abc", true, 1},       {"a?c", "ac", false, 1},      {"a?c", "abbc", false, 1},
      {"?*", "", true, 0},           {"?*", "xyz", true, 0},       {"a?*b", "ab", true, 1},
      {"*?*", "", true, 0},          {"**a", "a", true, 0},        {"a**b", "axxb", true, 1},
      {"[!0-9]*", "x12", true, 0},   {"[!0-9]*", "1x", false, 0},  {"[!0-9]*", "", false, 0},
      {"##", "12", true, 0},         {"##", "1", false, 0},        {"##", "123", false, 0},
      {"##", "1a", false, 0},        {"abc*", "abcdef", true, 3},  {"*abc", "xabc", true, 0},
      {"abc", "abc", true, 3},       {"abc", "abcd", false, 3},    {"abc", "ab", false, 3},
      {"AB", "ab", false, 2},        {"[z-a]", "a", false, 0},     {"[z-a]", "b", true, 0},
      {"[z-a]", "z", true, 0},       {"[-a]", "-", true, 0},       {"[a-]", "-", true, 0},
      {"[a-c]", "b", true, 0},       {"[a-c]", "d", false, 0},     {"[\\]]", "]", true, 0},
      {"[\\t]", "\t", true, 0},      {"a[bc]d", "acd", true, 1},   {"a\\*", "a*", true, 2},
      {"a\\*", "ab", false, 2},      {"\\s", " ", true, 1},        {"\\t\\n", "\t\n", true, 2},
      {"\\b\\f\\r", "\b\f\r", true, 3}, {"\\q", "q", true, 1},     {"\\?", "x", false, 1},
      {"*x*y*", "axbyc", true, 0},   {"*x*y*", "aybxc", false, 0}, {"[!a]", "", false, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("pattern \"" + r.pattern + "\" text \"" + r.text + "\"");
    Compiled c(r.pattern);
    ASSERT_NE(c.re, nullptr);
    const uint8_t* at = idb__re_match(bytes(r.text), static_cast<uint32_t>(r.text.size()), c.re, false);
    EXPECT_EQ(at != nullptr, r.match);
    if (at != nullptr) {
      EXPECT_EQ(at, bytes(r.text));
    }
    uint8_t buf[16] = {};
    EXPECT_EQ(idb__re_prefix(c.re, buf, sizeof buf), r.prefix);
  }
}

TEST(IdbRe, RefusedPatterns) {
  for (const std::string p : {"ab\\", "\\", "[abc", "[", "[!", "[a\\", "[a-", "x[a-\\"}) {
    SCOPED_TRACE(p);
    errno = 0;
    EXPECT_EQ(idb__re_compile(static_cast<int32_t>(p.size()), p.data()), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  errno = 0;
  EXPECT_EQ(idb__re_compile(0, "a"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(idb__re_compile(3, nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(IdbRe, PrefixBoundedBySpan) {
  Compiled c("abcdef*");
  uint8_t buf[4] = {0, 0, 0, 0x55};
  EXPECT_EQ(idb__re_prefix(c.re, buf, 3), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
  EXPECT_EQ(buf[3], 0x55);
  EXPECT_EQ(idb__re_prefix(c.re, buf, 0), 0u);
}

TEST(IdbRe, WantEndGivesTheLastCharacter) {
  Compiled c("ab*");
  const std::string t = "abcd";
  EXPECT_EQ(idb__re_match(bytes(t), 4, c.re, true), bytes(t) + 3);
  Compiled any("*");
  EXPECT_EQ(idb__re_match(bytes(t), 0, any.re, true), bytes(t));
}

TEST(IdbRe, StarsDoNotBacktrack) {
  Compiled c("*A*A*A*A*A*A*B");
  const std::string as(200, 'A');
  const std::string with_b = as + "B";
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(idb__re_match(bytes(as), 200, c.re, false), nullptr);
    EXPECT_NE(idb__re_match(bytes(with_b), 201, c.re, false), nullptr);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 100) << "20 matches of 200 characters took " << ms << " ms";
}

}  // namespace
