// Character sets: every alias, both directions of the tables, in-place
// mapping and the pairs that are refused.
#include "base/charset.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <string>

namespace {

struct AliasCase {
  const char* name;
  int id;
  const char* short_name;
  const char* long_name;
};

class CharsetAlias : public ::testing::TestWithParam<AliasCase> {};

TEST_P(CharsetAlias, IdAndNamesInAnyCase) {
  const AliasCase& c = GetParam();
  std::string lower = c.name;
  for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  for (const std::string& name : {std::string(c.name), lower}) {
    EXPECT_EQ(charset_id(name.c_str()), c.id) << name;
    EXPECT_STREQ(charset_short_name(name.c_str()), c.short_name) << name;
    EXPECT_STREQ(charset_long_name(name.c_str()), c.long_name) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CharsetAlias,
    ::testing::Values(AliasCase{"QXNATIVE8", 0, "native8", "qx-native8"},
                      AliasCase{"QX-NATIVE8", 0, "native8", "qx-native8"},
                      AliasCase{"NATIVE8", 0, "native8", "qx-native8"},
                      AliasCase{"ISO8859/1", 1, "iso88591", "iso-8859-1"},
                      AliasCase{"ISO88591", 1, "iso88591", "iso-8859-1"},
                      AliasCase{"ISO8859-1", 1, "iso88591", "iso-8859-1"},
                      AliasCase{"ISO-8859-1", 1, "iso88591", "iso-8859-1"}),
    [](const auto& param_info) {
      std::string name;
      for (const char* p = param_info.param.name; *p; ++p)
        name += *p == '-' ? "Dash" : *p == '/' ? "Slash" : std::string(1, *p);
      return name;
    });

TEST(Charset, UnknownNamesAndIds) {
  for (const char* name : {"latin1", "", "ISO8859", "native"}) {
    EXPECT_EQ(charset_id(name), -1) << name;
    EXPECT_EQ(charset_short_name(name), nullptr) << name;
  }
  EXPECT_EQ(charset_id(nullptr), -1);
  EXPECT_STREQ(charset_name(0), "QXNATIVE8");
  EXPECT_STREQ(charset_name(1), "ISO8859/1");
  EXPECT_EQ(charset_name(2), nullptr);
  EXPECT_EQ(charset_name(-1), nullptr);
}

uint8_t map1(int from, int to, int code) {
  uint8_t b = static_cast<uint8_t>(code);
  EXPECT_EQ(zn__charset_map(from, to, &b, 1), 0);
  return b;
}

struct MapCase {
  int native;
  int iso;
};

class CharsetMapPair : public ::testing::TestWithParam<MapCase> {};

TEST_P(CharsetMapPair, BothWays) {
  EXPECT_EQ(map1(0, 1, GetParam().native), GetParam().iso);
  EXPECT_EQ(map1(1, 0, GetParam().iso), GetParam().native);
}

// First and last of each row of the table, plus the six NATIVE8 codes whose
// ISO codes lie in 128..159 and so are translated back.
INSTANTIATE_TEST_SUITE_P(
    Table, CharsetMapPair,
    ::testing::Values(MapCase{0xa1, 0xc0}, MapCase{0xae, 0xdb}, MapCase{0xb0, 0xaf},
                      MapCase{0xbf, 0xa2}, MapCase{0xc0, 0xe2}, MapCase{0xcf, 0xfc},
                      MapCase{0xd0, 0xc5}, MapCase{0xdf, 0xd4}, MapCase{0xe0, 0xc1},
                      MapCase{0xef, 0xff}, MapCase{0xf0, 0xde}, MapCase{0xfe, 0xb1},
                      MapCase{0xaa, 0x88}, MapCase{0xac, 0x98}, MapCase{0xbe, 0x83},
                      MapCase{0xeb, 0x8a}, MapCase{0xec, 0x9a},
                      MapCase{0xbb, 0xa3}),  // 0xa3 from 0xaf and 0xbb: the higher wins
    [](const auto& param_info) {
      char name[32];
      snprintf(name, sizeof name, "Native%02xIso%02x", param_info.param.native, param_info.param.iso);
      return std::string(name);
    });

TEST(Charset, CodesBelow160AndTheOnesNoSourceReaches) {
  for (int c = 0; c < 128; ++c) {
    EXPECT_EQ(map1(0, 1, c), c);
    EXPECT_EQ(map1(1, 0, c), c);
  }
  // NATIVE8 128..159 pass unchanged; ISO 128..159 too, except the six that
  // a NATIVE8 code above 159 maps to.
  const int reached[] = {0x83, 0x88, 0x8a, 0x98, 0x9a, 0x9f};
  for (int c = 128; c < 160; ++c) {
    EXPECT_EQ(map1(0, 1, c), c);
    bool is_reached = false;
    for (int r : reached) is_reached |= r == c;
    if (is_reached) {
      EXPECT_GE(map1(1, 0, c), 160) << c;
    } else {
      EXPECT_EQ(map1(1, 0, c), c) << c;
    }
  }
  EXPECT_EQ(map1(1, 0, 0xa0), ' ');   // no NATIVE8 source
  EXPECT_EQ(map1(0, 1, 0xa0), ' ');   // NATIVE8 160 is a blank
  EXPECT_EQ(map1(0, 1, 0xa8), '\'');  // mapped below 128: not reversed
  EXPECT_EQ(map1(1, 0, '\''), '\'');
  EXPECT_EQ(map1(0, 1, 0xf6), '-');
}

TEST(Charset, EveryReverseEntryLeadsBackToTheHighestSource) {
  for (int iso = 128; iso < 256; ++iso) {
    int highest = -1;
    for (int n = 160; n < 256; ++n)
      if (map1(0, 1, n) == iso) highest = n;
    const uint8_t back = map1(1, 0, iso);
    if (highest >= 0) {
      EXPECT_EQ(back, highest) << iso;
    } else if (iso >= 160) {
      EXPECT_EQ(back, ' ') << iso;
    }
  }
}

TEST(Charset, MapsInPlaceAndRefusesUnknownPairs) {
  charset_init();
  uint8_t buf[] = {'A', 0xa1, 0xbb, 'z'};
  ASSERT_EQ(zn__charset_map(0, 1, buf, 4), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "A\xc0\xa3z");
  ASSERT_EQ(zn__charset_map(1, 0, buf, 4), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "A\xa1\xbbz");

  const std::string before(reinterpret_cast<char*>(buf), 4);
  for (auto [from, to] : {std::pair{0, 2}, {2, 0}, {-1, 1}, {1, -1}}) {
    errno = 0;
    EXPECT_EQ(zn__charset_map(from, to, buf, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), before);
  }
  EXPECT_EQ(zn__charset_map(1, 1, buf, 4), 0);
  EXPECT_EQ(zn__charset_map(2, 2, buf, 4), 0);
  EXPECT_EQ(zn__charset_map(0, 1, buf, 0), 0);
  EXPECT_EQ(zn__charset_map(0, 1, nullptr, 0), 0);
  EXPECT_EQ(zn__charset_map(0, 1, buf, -1), -1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), before);
}

}  // namespace
