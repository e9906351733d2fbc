// The volume list text of spaceinfo's maps: runs of three or more ids
// shortened, two apart, the ends of the map.
#include "tools/space_info.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SpaceInfoMapText, IdsAreOneBasedAndRunsOfThreeAreShortened) {
  struct Case {
    std::vector<int> ids;  // 1-based
    const char* text;
  };
  std::vector<int> all;
  for (int i = 1; i <= 256; ++i) all.push_back(i);
  const Case cases[] = {
      {{1}, "1"},
      {{1, 2}, "1,2"},
      {{1, 2, 3}, "1-3"},
      {{1, 2, 3, 5}, "1-3,5"},
      {all, "1-256"},
      {{}, ""},
      {{2, 4, 5, 255, 256}, "2,4,5,255,256"},
      {{254, 255, 256}, "254-256"},
  };
  for (const Case& c : cases) {
    Vol_ALDESC map;
    Vol_ClearAllAllocAllowed(&map);
    for (int id : c.ids) Vol_SetAllocAllowed(id - 1, &map);
    EXPECT_EQ(SpaceInfo_MapText(map), c.text) << c.text;
  }
}

}  // namespace
