// Pool free lists over a fixture volume set: where items go, the running
// averages at the ends of the size range, pages added and dropped at both
// ends, deletion by exact address, a failed page allocation that changes
// nothing, and clearing.
#include "storage/node_flist.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "storage/pool.h"
#include "storage/pool_fixture.h"

namespace {

using namespace pool_test;

class FlistTest : public PoolFixture {
 protected:
  Node_ADDR item(uint32_t n, uint16_t size) {
    return Node_ADDR{0x10000u + n, static_cast<uint16_t>(12 + n % 100), size};
  }
  Node_FLIST page_head(uint32_t page) {
    Node_PGVEC v;
    Node_GetFlistPageReadOnly(pool, page, &v);
    const Node_FLIST h = Node_DecodeFlist(reinterpret_cast<uint8_t*>(v.buf));
    Node_ReleaseCluster(pool, 1, &v);
    return h;
  }
  Node_FHEAD& head() { return pool->node.flist; }
  uint32_t count() { return Node_CountFlistItems(pool, &head()); }
};

TEST_F(FlistTest, AveragesDecideTheEnd) {
  struct Case {
    uint16_t h, t;
    uint32_t size;
    bool tail;
  };
  const Case cases[] = {
      {100, 1000, 600, true},   {100, 1000, 550, false}, {100, 1000, 551, true},
      {8, 65516, 32763, true},  {8, 65516, 32762, false}, {65516, 8, 40000, true},
      {65516, 8, 32762, false}, {1000, 1000, 1000, false},
  };
  for (const Case& c : cases) {
    Node_FHEAD f;
    f.head_avg = c.h;
    f.tail_avg = c.t;
    EXPECT_EQ(Node_FlistTailSide(f, c.size), c.tail) << c.h << "/" << c.t << " " << c.size;
  }
}

TEST_F(FlistTest, AveragesMoveAQuarterWithoutWrapping) {
  struct Case {
    uint16_t avg;
    uint32_t size;
    uint16_t moved;
  };
  const Case cases[] = {
      {100, 500, 200},      {500, 100, 400},       {8, 65516, 16385},  {65516, 8, 49139},
      {1, 1, 1},            {65516, 65516, 65516}, {2, 1, 2},          {1, 65516, 16380},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Node_FlistMoveAverage(c.avg, c.size), c.moved) << c.avg << " " << c.size;
}

TEST_F(FlistTest, FirstItemSitsInTheMiddleOfTheOnlyPage) {
  const Node_ADDR a = item(1, 300);
  ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
  ASSERT_NE(head().head, 0u);
  EXPECT_EQ(head().head, head().tail);
  EXPECT_EQ(head().head_avg, 300);
  EXPECT_EQ(head().tail_avg, 300);
  const Node_FLIST h = page_head(head().head);
  EXPECT_EQ(h.first_item, 510u);
  EXPECT_EQ(h.last_item, 511u);
  EXPECT_EQ(h.num_items, 1u);
}

TEST_F(FlistTest, PagesAreAddedAtBothEndsAndDroppedWhenEmpty) {
  // Same-size items go to the head end: 510 fill slots 509..0, the next
  // one needs a page in front.
  for (uint32_t i = 0; i < 511; ++i) {
    const Node_ADDR a = item(i, 1000);
    ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
  }
  const uint32_t first = head().head;
  EXPECT_EQ(page_head(first).first_item, 0u);
  const Node_ADDR more = item(600, 1000);
  ASSERT_EQ(Node_AddItemToFlist(pool, &more), 0);
  EXPECT_NE(head().head, first);
  EXPECT_EQ(head().tail, first);
  EXPECT_EQ(page_head(head().head).first_item, 1019u);
  EXPECT_EQ(page_head(head().head).next_page, first);
  EXPECT_EQ(page_head(first).prev_page, head().head);
  // A large item goes to the tail end.
  const Node_ADDR large = item(700, 60000);
  ASSERT_EQ(Node_AddItemToFlist(pool, &large), 0);
  EXPECT_GT(head().tail_avg, 1000);
  EXPECT_EQ(count(), 513u);
  // Taking the new head page's only item drops that page.
  Node_ADDR got;
  ASSERT_EQ(Node_TakeFromFlist(pool, &got, 10, nullptr), 0);
  EXPECT_EQ(got.cluster, more.cluster);
  EXPECT_EQ(head().head, first);
  EXPECT_EQ(page_head(first).prev_page, 0u);
  ASSERT_EQ(Node_TakeFromFlist(pool, &got, 50000, nullptr), 0);
  EXPECT_EQ(got.size, 60000);
  ASSERT_EQ(Node_TakeFromFlist(pool, &got, 50000, nullptr), 1);
  EXPECT_EQ(got.cluster, 0u);
  // The last item taken frees the last page and resets the averages.
  while (Node_TakeFromFlist(pool, &got, 1, nullptr) == 0) {
  }
  EXPECT_EQ(head().head, 0u);
  EXPECT_EQ(head().tail, 0u);
  EXPECT_EQ(head().head_avg, 0);
  EXPECT_EQ(head().tail_avg, 0);
}

TEST_F(FlistTest, AveragesAtTheExtremesKeepTheListWhole) {
  // Sizes from both ends of the range, at random: after every add the list
  // is whole and its averages nonzero; every item comes back once.
  std::mt19937 rng(7);
  const uint16_t sizes[] = {8, 63, 64, 65516, 65516, 8};
  const int n = 2500;
  for (int i = 0; i < n; ++i) {
    const Node_ADDR a = item(static_cast<uint32_t>(i), sizes[rng() % 6]);
    ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
    ASSERT_NE(head().head, 0u);
    ASSERT_NE(head().head_avg, 0);
    ASSERT_NE(head().tail_avg, 0);
  }
  EXPECT_EQ(count(), static_cast<uint32_t>(n));
  int taken = 0;
  Node_ADDR got;
  for (;;) {
    const uint32_t want = (rng() % 2) ? 65516u : 1u;
    if (Node_TakeFromFlist(pool, &got, want, nullptr) != 0) {
      if (want == 1) break;
      continue;
    }
    ASSERT_GE(got.size, want);
    ++taken;
  }
  EXPECT_EQ(taken, n);
  EXPECT_EQ(head().head, 0u);
  EXPECT_EQ(head().head_avg, 0);
}

TEST_F(FlistTest, DeleteRemovesExactAddressesOnly) {
  for (uint32_t i = 0; i < 5; ++i) {
    const Node_ADDR a = item(i, 500);
    ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
  }
  Node_ADDR items[2] = {item(2, 500), item(9, 500)};
  Node_DeleteItemFromFlist(pool, items, 2, nullptr);
  EXPECT_EQ(count(), 4u);
  Node_ADDR wrong_size[1] = {item(3, 501)};
  Node_DeleteItemFromFlist(pool, wrong_size, 1, nullptr);
  EXPECT_EQ(count(), 4u);
  Node_ADDR got;
  std::vector<uint32_t> left;
  while (Node_TakeFromFlist(pool, &got, 1, nullptr) == 0) left.push_back(got.cluster - 0x10000u);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<uint32_t>{0, 1, 3, 4}));
}

TEST_F(FlistTest, FailedPageAllocationChangesNothing) {
  // With no page left, an add that needs a page fails and leaves the head,
  // the tail and both averages as they were (on an empty list too).
  const Node_ADDR first = item(0, 1000);
  for (uint32_t i = 0; i < 511; ++i) {
    const Node_ADDR a = item(i, 1000);
    ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
  }
  ASSERT_EQ(page_head(head().head).first_item, 0u);
  Node* other = Pool_Create();
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(Vol_SetExtensionSize(&Vol_GetRootVol()[0], 0), 0);
  std::vector<uint32_t> taken;
  for (;;) {  // take every page there is (the volume does not grow)
    const uint32_t p = Vol_AllocPage(1, nullptr);
    if (p == 0) break;
    taken.push_back(p);
  }
  const Node_FHEAD before = head();
  const Node_ADDR small = item(900, 10);
  EXPECT_EQ(Node_AddItemToFlist(pool, &small), -1);
  EXPECT_EQ(head().head, before.head);
  EXPECT_EQ(head().tail, before.tail);
  EXPECT_EQ(head().head_avg, before.head_avg);
  EXPECT_EQ(head().tail_avg, before.tail_avg);
  EXPECT_EQ(count(), 511u);
  EXPECT_EQ(Node_AddItemToFlist(other, &first), -1);
  EXPECT_EQ(other->node.flist.head, 0u);
  EXPECT_EQ(other->node.flist.tail, 0u);
  EXPECT_EQ(other->node.flist.head_avg, 0);
  EXPECT_EQ(other->node.flist.tail_avg, 0);
  for (uint32_t p : taken) Vol_FreePage(p, 1);
  EXPECT_EQ(Node_AddItemToFlist(other, &first), 0);
  EXPECT_EQ(other->node.flist.head_avg, 1000);
}

TEST_F(FlistTest, ClearFreesEveryPageAtTheNextCheckpoint) {
  for (uint32_t i = 0; i < 1500; ++i) {
    const Node_ADDR a = item(i, static_cast<uint16_t>(i % 2 ? 100 : 9000));
    ASSERT_EQ(Node_AddItemToFlist(pool, &a), 0);
  }
  const uint32_t free_before = free_pages();
  ASSERT_EQ(Node_ClearFlist(pool), 0);
  EXPECT_EQ(head().head, 0u);
  EXPECT_EQ(head().head_avg, 0);
  EXPECT_EQ(free_pages(), free_before);  // not yet: at the checkpoint
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
  EXPECT_GT(free_pages(), free_before);
  // Each page was recorded when the list took it, and as a cluster
  // release when it was cleared.
  int releases = 0;
  int taken = 0;
  for (const auto& r : sink.records) {
    Node_CLUSTER_REC c;
    if (r.opcode != Node_OP_CLUSTER || Node_DecodeClusterRec(r.data.data(), r.data.size(), &c) != 0)
      continue;
    if (c.op == Node_CLUSTER_FREE) ++releases;
    if (c.op == Node_CLUSTER_FLIST) ++taken;
  }
  EXPECT_EQ(static_cast<uint32_t>(releases), free_pages() - free_before);
  EXPECT_EQ(taken, releases);
}

}  // namespace
