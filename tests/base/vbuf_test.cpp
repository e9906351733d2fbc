// Work buffers: reuse of given-back storage, growth, the two-trim lifetime
// of cached buffers and the statistics.
#include "base/vbuf.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class VBuf : public ::testing::Test {
 protected:
  void SetUp() override {
    vbuf_exit();  // start from an empty cache; earlier tests left theirs
  }
  void TearDown() override { vbuf_exit(); }
};

TEST_F(VBuf, SmallRequestGetsMinimumStorageThenGrowsOnReuse) {
  vbuf* a = VBUF_OPEN(100);
  EXPECT_EQ(a->size, 8192u);
  EXPECT_EQ(a->line, __LINE__ - 2);
  EXPECT_NE(strstr(a->file, "vbuf_test.cpp"), nullptr);
  memset(a->data, 0x5a, a->size);
  VBuf_Close(a);
  vbuf* b = VBUF_OPEN(10000);
  EXPECT_EQ(b, a);  // same record reused
  EXPECT_EQ(b->size, 10000u);
  memset(b->data, 0x5a, b->size);
  VBuf_Close(b);
  vbuf* c = VBUF_OPEN(4000);
  EXPECT_EQ(c, a);
  EXPECT_EQ(c->size, 10000u);  // never shrinks
  VBuf_Close(c);
}

TEST_F(VBuf, ReuseIsLastInFirstOut) {
  vbuf* a = VBUF_OPEN(1);
  vbuf* b = VBUF_OPEN(1);
  EXPECT_NE(a, b);
  VBuf_Close(a);
  VBuf_Close(b);
  EXPECT_EQ(VBUF_OPEN(1), b);
  EXPECT_EQ(VBUF_OPEN(1), a);
  VBuf_Close(a);
  VBuf_Close(b);
}

TEST_F(VBuf, CloseOfNoneDoesNothing) {
  const VBufStats before = vbuf_stats();
  VBuf_Close(nullptr);
  const VBufStats after = vbuf_stats();
  EXPECT_EQ(before.objects, after.objects);
  EXPECT_EQ(before.bytes, after.bytes);
}

TEST_F(VBuf, CachedBufferSurvivesOneTrimAndIsFreedByTheNext) {
  vbuf_trim();
  vbuf* a = VBUF_OPEN(1);
  VBuf_Close(a);
  EXPECT_EQ(vbuf_stats().objects, 1u);
  vbuf_trim();  // given back after the last trim: survives
  EXPECT_EQ(vbuf_stats().objects, 1u);
  vbuf_trim();  // still unused: freed
  EXPECT_EQ(vbuf_stats().objects, 0u);
  EXPECT_EQ(vbuf_stats().bytes, 0u);
}

TEST_F(VBuf, ReusedBufferStartsItsCacheLifeAgain) {
  vbuf* old_one = VBUF_OPEN(1);
  vbuf* young = VBUF_OPEN(1);
  VBuf_Close(old_one);
  vbuf_trim();  // marks old_one
  VBuf_Close(young);
  vbuf_trim();  // frees old_one only; marks young
  EXPECT_EQ(vbuf_stats().objects, 1u);
  vbuf* again = VBUF_OPEN(1);
  EXPECT_EQ(again, young);
  VBuf_Close(again);
  vbuf_trim();  // given back since the last trim: survives
  EXPECT_EQ(vbuf_stats().objects, 1u);
}

TEST_F(VBuf, TakingTheMarkedHeadMovesTheMarkOn) {
  vbuf* a = VBUF_OPEN(1);
  vbuf* b = VBUF_OPEN(1);
  VBuf_Close(a);
  VBuf_Close(b);  // cache: b, a
  vbuf_trim();    // mark at b
  vbuf* taken = VBUF_OPEN(1);
  EXPECT_EQ(taken, b);
  vbuf_trim();  // a was cached at the last trim: freed; b is in use
  EXPECT_EQ(vbuf_stats().objects, 1u);
  VBuf_Close(taken);
}

TEST_F(VBuf, StatisticsCountRecordsAndStorageWithMaxima) {
  const VBufStats start = vbuf_stats();
  vbuf* a = VBUF_OPEN(100);
  vbuf* b = VBUF_OPEN(20000);
  VBufStats s = vbuf_stats();
  EXPECT_EQ(s.objects, start.objects + 2);
  EXPECT_EQ(s.bytes, start.bytes + 2 * sizeof(vbuf) + 8192 + 20000);
  EXPECT_GE(s.max_objects, s.objects);
  EXPECT_GE(s.max_bytes, s.bytes);
  VBuf_Close(a);
  VBuf_Close(b);
  vbuf_exit();
  s = vbuf_stats();
  EXPECT_EQ(s.objects, 0u);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_GE(s.max_objects, 2u);
  EXPECT_GE(s.max_bytes, 2 * sizeof(vbuf) + 8192 + 20000);
}

TEST_F(VBuf, ExitLeavesBuffersInUseAlone) {
  vbuf* held = VBUF_OPEN(50);
  vbuf* cached = VBUF_OPEN(50);
  VBuf_Close(cached);
  vbuf_exit();
  memset(held->data, 1, held->size);  // still valid storage
  VBuf_Close(held);
  vbuf* next = VBUF_OPEN(1);
  EXPECT_EQ(next, held);
  VBuf_Close(next);
}

// A buffer in use at the exit is still counted, so that freeing it later
// brings the figures to 0 instead of wrapping them below 0.
TEST_F(VBuf, ExitKeepsCountingBuffersInUse) {
  vbuf* held = VBUF_OPEN(50);
  VBuf_Close(VBUF_OPEN(20000));  // a second record, cached
  vbuf_exit();
  EXPECT_EQ(vbuf_stats().objects, 1u);
  EXPECT_EQ(vbuf_stats().bytes, sizeof(vbuf) + kVBufMinStorage);
  VBuf_Close(held);
  vbuf_trim();
  vbuf_trim();
  EXPECT_EQ(vbuf_stats().objects, 0u);
  EXPECT_EQ(vbuf_stats().bytes, 0u);
}

}  // namespace
