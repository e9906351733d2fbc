// A connection's scan maps: handles from the counter on, 0 skipped and
// handles in use passed over, at most 4,096 maps at once, and maps freed
// one by one or all with the session.
#include "server/scan_map.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/client_session.h"

namespace {

class ScanMapTest : public ::testing::Test {
 protected:
  void TearDown() override {
    scan_close_session(&s_);
    EXPECT_EQ(s_.scan_maps, nullptr);
  }
  uint32_t new_handle() {
    ScanMap* m = scan_new_map(&s_);
    return m != nullptr ? m->handle : 0;
  }
  ClientSession s_{};
};

TEST_F(ScanMapTest, HandlesFollowTheCounterSkipZeroAndPassOverThoseInUse) {
  EXPECT_EQ(new_handle(), 1u);
  EXPECT_EQ(new_handle(), 2u);
  // The counter wraps past 0; 1 and 2 are still in use.
  s_.scan_map_counter = UINT32_MAX - 1;
  EXPECT_EQ(new_handle(), UINT32_MAX);
  EXPECT_EQ(new_handle(), 3u);
  scan_free_map(&s_, scan_find_map(&s_, 2));
  EXPECT_EQ(scan_find_map(&s_, 2), nullptr);
  s_.scan_map_counter = 0;
  EXPECT_EQ(new_handle(), 2u);
  for (uint32_t h : {1u, 2u, 3u, UINT32_MAX}) {
    ASSERT_NE(scan_find_map(&s_, h), nullptr) << h;
    EXPECT_EQ(scan_find_map(&s_, h)->handle, h);
  }
  EXPECT_EQ(scan_find_map(&s_, 0), nullptr);
}

TEST_F(ScanMapTest, ASessionHoldsAtMostTheLimitAndAFreedMapMakesRoom) {
  std::vector<ScanMap*> maps;
  for (uint32_t i = 0; i < kScanMaxMaps; ++i) {
    maps.push_back(scan_new_map(&s_));
    ASSERT_NE(maps.back(), nullptr) << i;
  }
  EXPECT_EQ(scan_new_map(&s_), nullptr);
  // One from the middle of the list: its neighbours stay linked.
  const uint32_t gone = maps[kScanMaxMaps / 2]->handle;
  scan_free_map(&s_, maps[kScanMaxMaps / 2]);
  EXPECT_EQ(scan_find_map(&s_, gone), nullptr);
  EXPECT_NE(scan_find_map(&s_, maps[kScanMaxMaps / 2 - 1]->handle), nullptr);
  EXPECT_NE(scan_find_map(&s_, maps[kScanMaxMaps / 2 + 1]->handle), nullptr);
  ASSERT_NE(scan_new_map(&s_), nullptr);
  EXPECT_EQ(scan_new_map(&s_), nullptr);
}

}  // namespace
