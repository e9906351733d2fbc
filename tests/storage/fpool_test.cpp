// Chained FIFO pools: appends of every size against a model, walks both
// ways, cuts at any block, moving one chain behind another (copied into the
// room behind the last block, or linked whole), and the defensive walk over
// a broken header.
#include "storage/fpool.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/error_status.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"

namespace {

using namespace pool_test;

struct Rec {
  Node_ADDR addr;
  std::vector<uint8_t> bytes;
};

class FPoolTest : public PoolFixture {
 protected:
  void SetUp() override {
    PoolFixture::SetUp();
    FPool_SetNoUlist(pool);
    FPool_InitAnchor(&anchor);
  }
  Node* chained() {
    Node* n = Pool_Create();
    EXPECT_NE(n, nullptr);
    FPool_SetNoUlist(n);
    return n;
  }
  Rec append(Node* node, FPool_ANCHOR* a, uint32_t size, uint8_t seed) {
    Rec r;
    EXPECT_EQ(FPool_Alloc(node, size, &r.addr, a), 0);
    EXPECT_EQ(r.addr.size, size);
    r.bytes.resize(size);
    for (uint32_t i = 0; i < size; ++i) r.bytes[i] = static_cast<uint8_t>(seed + i * 13);
    EXPECT_EQ(Pool_Write(node, &r.addr, r.bytes.data(), size, nullptr), static_cast<int>(size));
    return r;
  }
  // The chain read forward (and checked backward) against the model.
  void expect_chain(Node* node, FPool_ANCHOR* a, const std::vector<Rec>& model) {
    FPool_ITER it;
    size_t i = 0;
    for (int rc = FPool_First(node, a, &it); rc == 0; rc = FPool_Next(&it), ++i) {
      ASSERT_LT(i, model.size());
      EXPECT_EQ(it.addr.cluster, model[i].addr.cluster) << i;
      EXPECT_EQ(it.addr.offset, model[i].addr.offset) << i;
      ASSERT_EQ(it.addr.size, model[i].addr.size) << i;
      std::vector<uint8_t> back(it.addr.size);
      ASSERT_EQ(Pool_Read(node, &it.addr, back.data(), it.addr.size, nullptr), it.addr.size);
      EXPECT_EQ(back, model[i].bytes) << i;
    }
    EXPECT_EQ(i, model.size());
    EXPECT_EQ(error_code(get_error()), FPool_S_AFTER_LAST);
    size_t j = model.size();
    for (int rc = FPool_Last(node, a, &it); rc == 0; rc = FPool_Prev(&it)) {
      ASSERT_GT(j, 0u);
      --j;
      EXPECT_EQ(it.addr.offset, model[j].addr.offset);
      EXPECT_EQ(it.addr.size, model[j].addr.size);
    }
    EXPECT_EQ(j, 0u);
  }
  FPool_ANCHOR anchor;
};

TEST_F(FPoolTest, AppendsOfEverySizeWalkBothWays) {
  static const uint32_t kSizes[] = {8, 63, 64, 500, 8000, 8200, 65516};
  std::mt19937 rng(3);
  std::vector<Rec> model;
  FPool_ITER it;
  EXPECT_EQ(FPool_First(pool, &anchor, &it), 1);
  EXPECT_EQ(FPool_Last(pool, &anchor, &it), 1);
  EXPECT_EQ(error_code(get_error()), FPool_S_BEFORE_FIRST);
  int32_t pages = 0;
  for (int i = 0; i < 60; ++i) {
    model.push_back(append(pool, &anchor, kSizes[rng() % 7], static_cast<uint8_t>(i)));
    pages += FPool_PageDelta();
  }
  expect_chain(pool, &anchor, model);
  const uint32_t before = free_pages();
  ASSERT_EQ(FPool_Truncate(pool, nullptr, &anchor), 0);
  EXPECT_EQ(FPool_PageDelta(), -pages);
  EXPECT_EQ(free_pages(), before + static_cast<uint32_t>(pages));
  EXPECT_FALSE(FPool_ValidAnchor(&anchor));
}

TEST_F(FPoolTest, TruncateAtAnyBlock) {
  std::mt19937 rng(11);
  std::vector<Rec> model;
  for (int i = 0; i < 40; ++i)
    model.push_back(append(pool, &anchor, 1 + rng() % 9000, static_cast<uint8_t>(i)));
  while (!model.empty()) {
    const size_t cut = rng() % model.size();
    ASSERT_EQ(FPool_Truncate(pool, &model[cut].addr, &anchor), 0);
    EXPECT_LE(FPool_PageDelta(), 0);
    model.resize(cut);
    expect_chain(pool, &anchor, model);
    // The chain grows again from its new end.
    if (cut > 0 && rng() % 2) model.push_back(append(pool, &anchor, 3000, 99));
    if (cut == 0) break;
  }
  EXPECT_FALSE(FPool_ValidAnchor(&anchor));
}

TEST_F(FPoolTest, LinkCopiesASmallSourceBehindTheLastBlock) {
  // The destination's clusters are large (average 30000); the source is one
  // cluster holding a block larger than a page, which is copied whole.
  std::vector<Rec> dst_model{append(pool, &anchor, 30000, 1)};
  Node* src = chained();
  FPool_ANCHOR src_anchor;
  FPool_InitAnchor(&src_anchor);
  std::vector<Rec> src_model{append(src, &src_anchor, 9000, 2), append(src, &src_anchor, 100, 3)};
  ASSERT_EQ(src_anchor.head, src_anchor.tail);
  const uint32_t before = free_pages();
  FPool_ITER it;
  Node_ADDR last;
  ASSERT_EQ(FPool_Link(pool, &anchor, src, &src_anchor, &it, &last), 0);
  EXPECT_FALSE(FPool_ValidAnchor(&src_anchor));
  EXPECT_EQ(last.offset, dst_model[0].addr.offset);
  EXPECT_GT(free_pages(), before);  // the source cluster went
  EXPECT_EQ(it.addr.cluster, dst_model[0].addr.cluster);
  EXPECT_EQ(it.addr.size, 9000);
  // Where the copies landed: behind the first block, in its cluster.
  uint32_t off = dst_model[0].addr.offset + 8 + 30000;
  for (Rec& r : src_model) {
    r.addr.cluster = dst_model[0].addr.cluster;
    r.addr.offset = static_cast<uint16_t>(off);
    off += 8 + r.addr.size;
    dst_model.push_back(r);
  }
  expect_chain(pool, &anchor, dst_model);
  dst_model.push_back(append(pool, &anchor, 500, 4));
  expect_chain(pool, &anchor, dst_model);
}

TEST_F(FPoolTest, LinkMovesALargeSourceWhole) {
  std::vector<Rec> dst_model{append(pool, &anchor, 8000, 1)};
  Node* src = chained();
  FPool_ANCHOR src_anchor;
  FPool_InitAnchor(&src_anchor);
  std::vector<Rec> src_model;
  for (int i = 0; i < 6; ++i) src_model.push_back(append(src, &src_anchor, 30000, 10 + i));
  ASSERT_NE(src_anchor.head, src_anchor.tail);
  FPool_ITER it;
  ASSERT_EQ(FPool_Link(pool, &anchor, src, &src_anchor, &it, nullptr), 0);
  EXPECT_EQ(it.addr.cluster, src_model[0].addr.cluster);
  EXPECT_EQ(it.addr.size, 30000);
  for (Rec& r : src_model) dst_model.push_back(r);
  expect_chain(pool, &anchor, dst_model);
  // The moved clusters belong to the destination now: cutting frees them.
  ASSERT_EQ(FPool_Truncate(pool, &dst_model[1].addr, &anchor), 0);
  dst_model.resize(1);
  expect_chain(pool, &anchor, dst_model);
}

TEST_F(FPoolTest, LinkIntoAnEmptyChainTakesTheSource) {
  Node* src = chained();
  FPool_ANCHOR src_anchor;
  FPool_InitAnchor(&src_anchor);
  std::vector<Rec> model{append(src, &src_anchor, 700, 1), append(src, &src_anchor, 70, 2)};
  FPool_ITER it;
  ASSERT_EQ(FPool_Link(pool, &anchor, src, &src_anchor, &it, nullptr), 0);
  EXPECT_EQ(it.addr.offset, 12);
  expect_chain(pool, &anchor, model);
  // An empty source changes nothing.
  ASSERT_EQ(FPool_Link(pool, &anchor, src, &src_anchor, nullptr, nullptr), 0);
  expect_chain(pool, &anchor, model);
}

TEST_F(FPoolTest, DefensiveWalkReportsABrokenHeader) {
  std::vector<Rec> model;
  for (int i = 0; i < 5; ++i) model.push_back(append(pool, &anchor, 100, static_cast<uint8_t>(i)));
  FPool_ITER it;
  int n = 0;
  for (int rc = FPool_DefensiveFirst(pool, &anchor, &it); rc == 0; rc = FPool_DefensiveNext(&it))
    ++n;
  EXPECT_EQ(n, 5);
  // The third block's header loses its used flag: the walk says so.
  Node_PGVEC v;
  ASSERT_EQ(Node_GetCluster(pool, model[2].addr.cluster, 1, &v, Node_MODE_DATA), 0);
  v.buf[model[2].addr.offset + 6] = 0;
  Node_ReleaseClusterDirty(pool, 1, &v);
  ASSERT_EQ(FPool_DefensiveFirst(pool, &anchor, &it), 0);
  ASSERT_EQ(FPool_DefensiveNext(&it), 0);
  EXPECT_EQ(FPool_DefensiveNext(&it), -1);
}

TEST_F(FPoolTest, OversizedBlockIsRefused) {
  Node_ADDR a;
  EXPECT_EQ(FPool_Alloc(pool, Pool_MAX_BLOCK_SIZE + 1, &a, &anchor), -1);
  EXPECT_EQ(error_code(get_error()), Pool_E_SIZE);
  Rec r = append(pool, &anchor, Pool_MAX_BLOCK_SIZE, 5);
  expect_chain(pool, &anchor, {r});
}

}  // namespace
