// Pools of variable-size blocks outside transactions: the sizes at the
// edges, splits and merges against the chain invariants, reads and writes
// bounded by the block, and a model-based run of random allocations, frees,
// reallocations, reads and writes against a map of live blocks.
#include "storage/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "base/error_status.h"
#include "storage/pool_fixture.h"

namespace {

using namespace pool_test;

class PoolTest : public PoolFixture {
 protected:
  Node_ADDR alloc(uint32_t size) {
    Node_ADDR a;
    EXPECT_EQ(Pool_Alloc(pool, size, &a, nullptr), 0) << size;
    return a;
  }
  Pool_HEADER header(const Node_ADDR& a) {
    const std::vector<uint8_t> img = cluster_image(pool, a.cluster, 1 + (a.offset + 8u) / 8192u);
    return Pool_DecodeHeader(&img[a.offset]);
  }
};

TEST_F(PoolTest, SizesAtTheEdges) {
  // 65516 takes a whole 8-page cluster; one byte more is refused.
  const Node_ADDR big = alloc(Pool_MAX_BLOCK_SIZE);
  EXPECT_EQ(big.offset, Pool_CLUSTER_HEAD_SIZE);
  PoolShape s = check_pool(pool);
  EXPECT_EQ(s.cluster_pages, 8u);
  EXPECT_TRUE(s.free_blocks.empty());
  Node_ADDR none;
  thread_set_error(0);
  EXPECT_EQ(Pool_Alloc(pool, Pool_MAX_BLOCK_SIZE + 1, &none, nullptr), -1);
  EXPECT_EQ(error_code(get_error()), Pool_E_SIZE);
  std::vector<uint8_t> buf(Pool_MAX_BLOCK_SIZE + 1);
  EXPECT_EQ(Pool_Read(pool, &big, buf.data(), Pool_MAX_BLOCK_SIZE + 1, nullptr), -1);
  Node_ADDR again = big;
  EXPECT_EQ(Pool_ReAlloc(pool, Pool_MAX_BLOCK_SIZE + 1, &again, nullptr), -1);
}

TEST_F(PoolTest, FirstBlockOfAFreshPoolLeavesOneFreeBlock) {
  // Average 0 before the first request: a 1-page cluster and the rest free.
  const Node_ADDR a = alloc(100);
  EXPECT_EQ(a.offset, 12);
  const PoolShape s = check_pool(pool);
  EXPECT_EQ(s.clusters, 1u);
  EXPECT_EQ(s.cluster_pages, 1u);
  ASSERT_EQ(s.free_blocks.size(), 1u);
  EXPECT_EQ(std::get<2>(*s.free_blocks.begin()), 8192u - 28u - 100u);
  EXPECT_EQ(Node_GetAvgBlockSize(pool), 100);
}

TEST_F(PoolTest, SmallRemainderIsNotSplitOff) {
  // After a 64-byte block (the node's smallest) the cluster's rest is 8100
  // bytes: a block of 8028 leaves 64, split off; one of 8029 would leave
  // 63, so the whole rest goes with it.
  const Node_ADDR a = alloc(64);
  Node_ADDR b = alloc(8028);
  EXPECT_EQ(b.cluster, a.cluster);
  PoolShape s = check_pool(pool);
  ASSERT_EQ(s.free_blocks.size(), 1u);
  EXPECT_EQ(std::get<2>(*s.free_blocks.begin()), 64u);
  ASSERT_EQ(Pool_Free(pool, &b, nullptr), 0);
  b = alloc(8029);
  EXPECT_EQ(b.cluster, a.cluster);
  s = check_pool(pool);
  EXPECT_TRUE(s.free_blocks.empty());
  EXPECT_EQ(header(b).size, 8100);
  EXPECT_EQ(header(b).next, 0);
}

TEST_F(PoolTest, FreeingTheOnlyUsedBlockFreesTheCluster) {
  const uint32_t before = free_pages();
  Node_ADDR a = alloc(100);
  EXPECT_LT(free_pages(), before);
  ASSERT_EQ(Pool_Free(pool, &a, nullptr), 0);
  const PoolShape s = check_pool(pool);
  EXPECT_EQ(s.clusters, 0u);
  EXPECT_EQ(pool->node.flist.head, 0u);
  // The emptied free-list page comes back at the next checkpoint, once the
  // descriptor that no longer names it is on disk.
  EXPECT_EQ(free_pages(), before - 1);
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
  EXPECT_EQ(free_pages(), before);
}

TEST_F(PoolTest, SplitKeepsTheChainAndMergesBack) {
  // Three blocks from one free block, the middle freed, then the first:
  // every step keeps next = size + 8 and the neighbours' links.
  Node_ADDR a = alloc(200);
  Node_ADDR b = alloc(300);
  Node_ADDR c = alloc(400);
  check_pool(pool);
  ASSERT_EQ(Pool_Free(pool, &b, nullptr), 0);
  PoolShape s = check_pool(pool);
  EXPECT_EQ(s.free_blocks.size(), 2u);
  ASSERT_EQ(Pool_Free(pool, &a, nullptr), 0);
  s = check_pool(pool);
  EXPECT_EQ(s.free_blocks.size(), 2u);  // a and b merged, and the tail
  // A block taken from the merged one splits it again in the middle of the
  // cluster: the rest's next must reach c exactly.
  Node_ADDR d = alloc(100);
  s = check_pool(pool);
  EXPECT_EQ(d.offset, 12);
  ASSERT_EQ(Pool_Free(pool, &c, nullptr), 0);
  ASSERT_EQ(Pool_Free(pool, &d, nullptr), 0);
  EXPECT_EQ(check_pool(pool).clusters, 0u);
}

TEST_F(PoolTest, TransfersStopAtTheBlocksSize) {
  // A block handed out unsplit holds more in its header than its address
  // says: a transfer of the header's size moves the address's.
  const Node_ADDR a = alloc(100);
  Node_ADDR small = alloc(8044);  // the rest of 8064: 12 bytes are no block
  EXPECT_EQ(small.cluster, a.cluster);
  EXPECT_EQ(header(small).size, 8064);
  std::vector<uint8_t> big(8064, 0xEE), back(8064, 0);
  EXPECT_EQ(Pool_Write(pool, &small, big.data(), 8064, nullptr), 8044);
  EXPECT_EQ(Pool_Read(pool, &small, back.data(), 8064, nullptr), 8044);
  EXPECT_EQ(back[8043], 0xEE);
  EXPECT_EQ(back[8044], 0);
  Pool_IOVEC segs[2] = {{back.data(), 4}, {back.data() + 4, 9000}};
  EXPECT_EQ(Pool_ReadV(pool, &small, segs, 2, nullptr), 8044);
  // A block shrunk by less than a block's worth keeps its header size,
  // which crosses into the next page while its address ends in the first:
  // the window covers the address's size only.
  Node_ADDR c = alloc(8200);
  ASSERT_EQ(c.offset, Pool_CLUSTER_HEAD_SIZE);
  ASSERT_EQ(Pool_ReAlloc(pool, 8150, &c, nullptr), 0);
  EXPECT_EQ(header(c).size, 8200);
  std::vector<uint8_t> more(8200, 0x22);
  EXPECT_EQ(Pool_Write(pool, &c, more.data(), 8200, nullptr), 8150);
  EXPECT_EQ(Pool_Read(pool, &c, more.data(), 8200, nullptr), 8150);
  check_pool(pool);
}

TEST_F(PoolTest, ReAllocLargerGivesANewBlock) {
  Node_ADDR a = alloc(100);
  const Node_ADDR old = a;
  ASSERT_EQ(Pool_ReAlloc(pool, 5000, &a, nullptr), 0);
  EXPECT_FALSE(a.cluster == old.cluster && a.offset == old.offset);
  EXPECT_EQ(a.size, 5000);
  ASSERT_EQ(Pool_ReAlloc(pool, 5000, &a, nullptr), 0);
  check_pool(pool);
}

TEST_F(PoolTest, DefensiveFreeAndReadOfAFreeBlock) {
  Node_ADDR a = alloc(100);
  Node_ADDR keep = alloc(100);
  Node_ADDR copy = a;
  EXPECT_EQ(Pool_DefensiveFree(pool, &a), 0);
  EXPECT_EQ(Pool_DefensiveFree(pool, &copy), 1);
  char buf[100];
  EXPECT_EQ(Pool_DefensiveRead(pool, &copy, buf, sizeof buf, nullptr), -1);
  check_pool(pool);
  (void)keep;
}

// A redo after a power cut may name a block whose cluster the cut left
// unreadable, or whose place another block holds now: the tolerant free and
// read leave it alone and say so, where the strict ones stop the process.
TEST_F(PoolTest, DefensiveFreeAndReadOfABlockThatIsNotThere) {
  struct Case {
    const char* name;
    uint32_t size;  // of the block allocated
    void (*spoil)(Node* pool, Node_ADDR* named);  // its page, or the address that names it
  };
  // A spoiled page goes with a block that fills its cluster: no free block
  // of the pool lies in it.
  const Case cases[] = {
      {"a smaller block in its place", 100, [](Node*, Node_ADDR* named) { named->size += 200; }},
      {"a header past the cluster's end", 100,
       [](Node*, Node_ADDR* named) { named->offset = Vol_PAGESIZE - 4; }},
      {"a zeroed cluster page", Pool_MAX_BLOCK_SIZE,
       [](Node* node, Node_ADDR* named) {
         Node_PGVEC v;
         ASSERT_EQ(Node_GetCluster(node, named->cluster, 1, &v, Node_MODE_DATA), 0);
         memset(v.buf, 0, Vol_PAGESIZE);
         Node_ReleaseClusterDirty(node, 1, &v);
       }},
      {"a torn cluster head", Pool_MAX_BLOCK_SIZE,
       [](Node* node, Node_ADDR* named) {
         Node_PGVEC v;
         ASSERT_EQ(Node_GetCluster(node, named->cluster, 1, &v, Node_MODE_DATA), 0);
         auto* bytes = reinterpret_cast<uint8_t*>(v.buf);
         Pool_CLUSTER_HEAD h = Pool_DecodeClusterHead(bytes);
         h.num_pages = Vol_MAXCLUST + 1;
         Pool_EncodeClusterHead(h, bytes);
         Node_ReleaseClusterDirty(node, 1, &v);
       }},
  };
  for (const Case& c : cases) {
    Node_ADDR a = alloc(c.size);
    Node_ADDR named = a;
    c.spoil(pool, &named);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Pool_DefensiveFree(pool, &named), 1) << c.name;
    char buf[100];
    EXPECT_EQ(Pool_DefensiveRead(pool, &named, buf, sizeof buf, nullptr), -1) << c.name;
    // Where only the address was wrong, the block is still in use.
    if (c.size != Pool_MAX_BLOCK_SIZE) {
      const Pool_HEADER h = header(a);
      EXPECT_TRUE(Pool_TestFlag(Pool_BLOCKUSED, &h)) << c.name;
      EXPECT_EQ(Pool_Free(pool, &a, nullptr), 0) << c.name;
    }
  }
}

// A power cut can leave the free list naming a cluster whose head never
// reached the disk (the system pool's list is not logged): an allocation
// that meets the item drops it and goes on, where it used to stop the
// process.
TEST_F(PoolTest, AFreeListItemInAnUnreadableClusterIsDropped) {
  struct Case {
    const char* name;
    void (*spoil)(uint8_t* head_page);
  };
  const Case cases[] = {
      {"a zeroed cluster page", [](uint8_t* page) { memset(page, 0, Vol_PAGESIZE); }},
      {"a torn cluster head",
       [](uint8_t* page) {
         Pool_CLUSTER_HEAD h = Pool_DecodeClusterHead(page);
         h.num_pages = Vol_MAXCLUST + 1;
         Pool_EncodeClusterHead(h, page);
       }},
  };
  for (const Case& c : cases) {
    // The block leaves the rest of its cluster listed free.
    const Node_ADDR a = alloc(100);
    Node_PGVEC v;
    ASSERT_EQ(Node_GetCluster(pool, a.cluster, 1, &v, Node_MODE_DATA), 0);
    c.spoil(reinterpret_cast<uint8_t*>(v.buf));
    Node_ReleaseClusterDirty(pool, 1, &v);
    const Node_ADDR b = alloc(200);
    EXPECT_NE(b.cluster, a.cluster) << c.name << ": the item was handed out";
    EXPECT_EQ(b.offset, Pool_CLUSTER_HEAD_SIZE) << c.name;
  }
}

// A free-list page a power cut tore can count an item it does not hold: an
// allocation that takes its last real item finds the page empty and drops
// it, where it used to stop the process.
TEST_F(PoolTest, ATornFreeListPageThatCountsAMissingItemIsDropped) {
  struct Case {
    const char* name;
    void (*spoil)(Node_FLIST* h);  // the page holds one item, in slot first_item
  };
  const Case cases[] = {
      {"an empty slot after the item", [](Node_FLIST* h) { h->last_item++, h->num_items++; }},
      {"an empty slot before the item", [](Node_FLIST* h) { h->first_item--, h->num_items++; }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(pool->node.flist.head, 0u) << c.name;
    const Node_ADDR a = alloc(100);
    const uint32_t page = pool->node.flist.head;
    ASSERT_NE(page, 0u) << c.name;
    Node_PGVEC v;
    Node_GetFlistPage(pool, page, &v);
    auto* bytes = reinterpret_cast<uint8_t*>(v.buf);
    Node_FLIST h = Node_DecodeFlist(bytes);
    ASSERT_EQ(h.num_items, 1u) << c.name;
    c.spoil(&h);
    Node_EncodeFlist(h, bytes);
    Node_ReleaseClusterDirty(pool, 1, &v);
    Node_ADDR b = alloc(200);
    EXPECT_EQ(b.cluster, a.cluster) << c.name;
    EXPECT_NE(pool->node.flist.head, page) << c.name << ": the emptied page stays listed";
    Node_ADDR a2 = a;
    ASSERT_EQ(Pool_Free(pool, &b, nullptr), 0) << c.name;
    ASSERT_EQ(Pool_Free(pool, &a2, nullptr), 0) << c.name;
  }
}

TEST_F(PoolTest, ElementsAreReplacedInPlace) {
  Node_ADDR a = alloc(64);
  std::vector<uint8_t> zero(64, 0), back(64);
  ASSERT_EQ(Pool_Write(pool, &a, zero.data(), 64, nullptr), 64);
  const uint32_t word = 0xA1B2C3D4;
  EXPECT_EQ(Pool_ReplaceElement(pool, &a, 60, &word, 4, nullptr), 4);
  ASSERT_EQ(Pool_Read(pool, &a, back.data(), 64, nullptr), 64);
  EXPECT_EQ(back[60], 0xD4);
  EXPECT_EQ(back[59], 0);
}

TEST_F(PoolTest, BlockStatisticsStayInRangeAtTheExtremes) {
  // Alternating the smallest and the largest sizes must keep the running
  // average between them, and new clusters sized by it.
  for (int i = 0; i < 20; ++i) {
    Node_UpdateBlockStats(pool, i % 2 ? 8 : Pool_MAX_BLOCK_SIZE);
    const uint16_t avg = Node_GetAvgBlockSize(pool);
    EXPECT_GE(avg, 8);
    EXPECT_LE(avg, Pool_MAX_BLOCK_SIZE);
  }
  pool->node.avg_block_size = 8;
  Node_UpdateBlockStats(pool, Pool_MAX_BLOCK_SIZE);
  EXPECT_EQ(Node_GetAvgBlockSize(pool), 8 + (Pool_MAX_BLOCK_SIZE - 8) / 2);
}

// --- Model-based run ----------------------------------------------------------------------

struct Live {
  Node_ADDR addr;
  std::vector<uint8_t> bytes;  // what the block holds (the written prefix)
};

TEST_F(PoolTest, RandomOperationsAgainstAModel) {
  static const uint32_t kSizes[] = {8, 63, 64, 500, 8000, 8200, 65516};
  std::mt19937 rng(20240611);
  std::vector<Live> live;
  auto pick_size = [&] { return kSizes[rng() % (sizeof kSizes / sizeof kSizes[0])]; };
  auto fill = [&](Live* l) {
    l->bytes.resize(l->addr.size);
    const uint8_t seed = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < l->bytes.size(); ++i) l->bytes[i] = static_cast<uint8_t>(seed + i * 7);
    ASSERT_EQ(Pool_Write(pool, &l->addr, l->bytes.data(), l->addr.size, nullptr), l->addr.size);
  };
  for (int step = 0; step < 600; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (live.empty() || op < 4) {
      Live l;
      ASSERT_EQ(Pool_Alloc(pool, pick_size(), &l.addr, nullptr), 0);
      fill(&l);
      live.push_back(std::move(l));
    } else if (op < 7) {
      const size_t i = rng() % live.size();
      ASSERT_EQ(Pool_Free(pool, &live[i].addr, nullptr), 0);
      live.erase(live.begin() + static_cast<long>(i));
    } else if (op < 8) {
      Live& l = live[rng() % live.size()];
      const uint32_t size = pick_size();
      const bool smaller = size < l.addr.size;
      ASSERT_EQ(Pool_ReAlloc(pool, size, &l.addr, nullptr), 0);
      if (smaller)
        l.bytes.resize(size);  // kept in place
      else if (size > l.bytes.size())
        fill(&l);  // a new block: contents not carried over
    } else if (op < 9) {
      Live& l = live[rng() % live.size()];
      std::vector<uint8_t> back(std::min<uint32_t>(l.addr.size + 16u, Pool_MAX_BLOCK_SIZE));
      ASSERT_EQ(Pool_Read(pool, &l.addr, back.data(), static_cast<uint32_t>(back.size()), nullptr),
                l.addr.size);
      back.resize(l.addr.size);
      ASSERT_EQ(back, l.bytes) << "step " << step;
    } else {
      fill(&live[rng() % live.size()]);
    }
    const PoolShape s = check_pool(pool);
    ASSERT_FALSE(HasFailure()) << "step " << step;
    ASSERT_EQ(s.used_blocks.size(), live.size()) << "step " << step;
    for (const Live& l : live) {
      bool found = false;
      for (const Block& b : s.used_blocks)
        if (std::get<0>(b) == l.addr.cluster && std::get<1>(b) == l.addr.offset &&
            std::get<2>(b) >= l.addr.size)
          found = true;
      ASSERT_TRUE(found) << "step " << step;
    }
  }
  // Everything read back, then freed: the pool gives every page back.
  for (Live& l : live) {
    std::vector<uint8_t> back(l.addr.size);
    ASSERT_EQ(Pool_Read(pool, &l.addr, back.data(), l.addr.size, nullptr), l.addr.size);
    ASSERT_EQ(back, l.bytes);
    ASSERT_EQ(Pool_Free(pool, &l.addr, nullptr), 0);
  }
  const PoolShape s = check_pool(pool);
  EXPECT_EQ(s.clusters, 0u);
  EXPECT_EQ(pool->node.flist.head, 0u);
}

TEST_F(PoolTest, ContentsSurviveSyncAndReopen) {
  std::vector<Live> live;
  for (uint32_t size : {8u, 500u, 8200u, 65516u}) {
    Live l;
    ASSERT_EQ(Pool_Alloc(pool, size, &l.addr, nullptr), 0);
    l.bytes.assign(size, static_cast<uint8_t>(size));
    ASSERT_EQ(Pool_Write(pool, &l.addr, l.bytes.data(), size, nullptr), static_cast<int>(size));
    live.push_back(l);
  }
  const uint32_t id = Node_GetId(pool);
  reopen();
  pool = Node_Find(id);
  ASSERT_NE(pool, nullptr);
  EXPECT_TRUE(Node_TestFlag(Node_POOLNODE, pool));
  check_pool(pool);
  for (Live& l : live) {
    std::vector<uint8_t> back(l.addr.size);
    ASSERT_EQ(Pool_Read(pool, &l.addr, back.data(), l.addr.size, nullptr), l.addr.size);
    EXPECT_EQ(back, l.bytes);
  }
}

}  // namespace
