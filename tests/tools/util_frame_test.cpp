// The utilities' shared helpers: sizes given on command lines, volume file
// names made absolute, and names the configuration could not give back.
#include "tools/util_frame.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

TEST(UtilFrame, SizesAreWholeMegabytesWithinTheLargestVolume) {
  struct Case {
    const char* text;
    int rc;
    uint32_t pages;
  };
  const Case cases[] = {
      {"0", 0, 0},           {"1", 0, 128},        {"40", 0, 5120},
      {"131072", 0, 16777216}, {"131073", -1, 0},  {"33554432", -1, 0},
      {"4294967297", -1, 0},  {"abc", -1, 0},      {"", -1, 0},
      {"12abc", -1, 0},       {"-1", -1, 0},       {" 5", -1, 0},
      {"5 ", -1, 0},          {"+5", -1, 0},       {"0x10", -1, 0},
  };
  for (const Case& c : cases) {
    uint32_t pages = 7;
    EXPECT_EQ(util_parse_size(c.text, &pages), c.rc) << c.text;
    EXPECT_EQ(pages, c.rc == 0 ? c.pages : 7u) << c.text;
  }
}

TEST(UtilFrame, VolumeNamesAreMadeAbsolute) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string here = std::string(cwd) == "/" ? "" : cwd;
  struct Case {
    const char* in;
    std::string out;
  };
  const Case cases[] = {
      {"/d/root.vol", "/d/root.vol"},
      {"//d//./root.vol", "/d/root.vol"},
      {"root.vol", here + "/root.vol"},
      {"./data/../root.vol", here + "/data/../root.vol"},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_TRUE(util_absolute_path(c.in, &out));
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(UtilFrame, NamesTheConfigurationCannotGiveBackAreRefused) {
  EXPECT_TRUE(util_volume_name_ok("/d/root.vol"));
  EXPECT_TRUE(util_volume_name_ok("/d/my volume/root.vol"));
  for (const std::string& bad : std::initializer_list<std::string>{"/d/a;b.vol", "/d/a#b.vol", "/d/root.vol ", "\"/d/root.vol",
                                "/d/a\nb.vol", "/d/a\rb", std::string(1024, 'a')})
    EXPECT_FALSE(util_volume_name_ok(bad)) << bad;
  EXPECT_TRUE(util_volume_name_ok("/" + std::string(1022, 'a')));
}

}  // namespace
