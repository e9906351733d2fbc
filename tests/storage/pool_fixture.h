// pool_fixture.h - a pool node on the node fixture's volume set, and the
// checks every pool test makes: the block chain of each cluster (first
// block's prev 0, next = size + 8 but for the last block, neighbours agree,
// no two free blocks side by side) and the free list holding exactly the
// free blocks.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "storage/node_fixture.h"
#include "storage/node_flist.h"
#include "storage/pool.h"
#include "storage/pool_format.h"

namespace pool_test {

using node_test::NodeFixture;

using Block = std::tuple<uint32_t, uint16_t, uint16_t>;  // cluster, offset, size

inline Block block_of(const Node_ADDR& a) { return Block{a.cluster, a.offset, a.size}; }

// The bytes of pages [start, start + count) of node as one range.
inline std::vector<uint8_t> cluster_image(Node* node, uint32_t start, uint32_t count) {
  std::vector<uint8_t> out(count * Vol_PAGESIZE);
  Node_PGVEC vec[Vol_MAXCLUST];
  EXPECT_EQ(Node_GetClusterReadOnly(node, start, static_cast<int>(count), vec, Node_MODE_DATA), 0);
  for (uint32_t i = 0; i < count; ++i) memcpy(&out[i * Vol_PAGESIZE], vec[i].buf, Vol_PAGESIZE);
  Node_ReleaseCluster(node, static_cast<int>(count), vec);
  return out;
}

struct PoolShape {
  std::set<Block> free_blocks;
  std::set<Block> used_blocks;  // with their header sizes
  std::set<Block> flist_items;
  uint32_t clusters = 0;
  uint32_t cluster_pages = 0;
  uint64_t used_bytes = 0;  // payload of used blocks (header sizes)
};

// Walks every cluster of the used-cluster list and the free list; each
// broken invariant is a test failure naming where. After a power loss
// (exact_flist false) the free list may be behind the blocks: it may miss
// free blocks (lost to the pool) and name blocks no longer free (dropped
// when met), but never more.
inline PoolShape check_pool(Node* node, bool exact_flist = true) {
  PoolShape s;
  Node_ITER it;
  uint32_t start = 0, count = 0;
  for (int rc = Node_FirstCluster(node, &start, &count, &it); rc == 0;
       rc = Node_NextCluster(node, &start, &count, &it)) {
    s.clusters++;
    s.cluster_pages += count;
    const std::vector<uint8_t> img = cluster_image(node, start, count);
    const Pool_CLUSTER_HEAD ch = Pool_DecodeClusterHead(img.data());
    EXPECT_EQ(ch.num_pages, count) << "cluster 0x" << std::hex << start;
    uint32_t off = Pool_CLUSTER_HEAD_SIZE;
    uint16_t prev_dist = 0;
    bool prev_free = false;
    for (int guard = 0; guard < 10000; ++guard) {
      if (off + Pool_HEADER_SIZE > img.size()) {
        ADD_FAILURE() << "header past the cluster";
        break;
      }
      const Pool_HEADER h = Pool_DecodeHeader(&img[off]);
      EXPECT_EQ(h.prev, prev_dist) << "prev of block at " << off << " in 0x" << std::hex << start;
      EXPECT_LE(off + Pool_HEADER_SIZE + h.size, img.size()) << "block past the cluster";
      const bool is_free = !Pool_TestFlag(Pool_BLOCKUSED, &h);
      EXPECT_FALSE(is_free && prev_free) << "two free blocks side by side at " << off;
      const Block b{start, static_cast<uint16_t>(off), h.size};
      if (is_free) {
        s.free_blocks.insert(b);
      } else {
        s.used_blocks.insert(b);
        s.used_bytes += h.size;
      }
      if (h.next == 0) break;
      EXPECT_EQ(h.next, h.size + Pool_HEADER_SIZE) << "next of block at " << off;
      prev_dist = h.next;
      prev_free = is_free;
      off += h.next;
    }
  }
  for (uint32_t page = node->node.flist.head; page != 0;) {
    Node_PGVEC v;
    Node_GetFlistPageReadOnly(node, page, &v);
    const auto* img = reinterpret_cast<const uint8_t*>(v.buf);
    const Node_FLIST h = Node_DecodeFlist(img);
    uint32_t n = 0;
    for (uint32_t i = h.first_item; i < h.last_item; ++i) {
      const Node_ADDR a = Node_DecodeAddr(img + Node_FitemOffset(static_cast<int>(i)));
      if (a.cluster == 0) continue;
      ++n;
      EXPECT_TRUE(s.flist_items.insert(block_of(a)).second) << "item listed twice";
    }
    EXPECT_EQ(n, h.num_items) << "num_items of free-list page 0x" << std::hex << page;
    if (h.num_items > 0) {
      EXPECT_NE(Node_DecodeAddr(img + Node_FitemOffset(static_cast<int>(h.first_item))).cluster,
                0u);
      EXPECT_NE(Node_DecodeAddr(img + Node_FitemOffset(static_cast<int>(h.last_item - 1))).cluster,
                0u);
    }
    page = h.next_page;
    Node_ReleaseCluster(node, 1, &v);
  }
  if (exact_flist) {
    EXPECT_EQ(s.free_blocks, s.flist_items) << "free blocks and free-list items differ";
  }
  const Node_FHEAD& f = node->node.flist;
  EXPECT_EQ(f.head == 0, f.tail == 0);
  EXPECT_EQ(f.head == 0, f.head_avg == 0 && f.tail_avg == 0) << "averages and emptiness differ";
  return s;
}

class PoolFixture : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    start(4096, 512, 128);
    pool = Pool_Create();
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(Node_TestFlag(Node_POOLNODE, pool));
  }
  // A block of the pool (in tx, or outside any transaction).
  Node_ADDR alloc(uint32_t size, Node* t) {
    Node_ADDR a;
    EXPECT_EQ(Pool_Alloc(pool, size, &a, t), 0) << size;
    return a;
  }
  // Fills the block with v / reads its first byte, as t sees it.
  void write(const Node_ADDR& a, uint8_t v, Node* t) {
    std::vector<uint8_t> b(a.size, v);
    EXPECT_EQ(Pool_Write(pool, &a, b.data(), a.size, t), a.size);
  }
  uint8_t first_byte(const Node_ADDR& a, Node* t = nullptr) {
    uint8_t b = 0;
    EXPECT_EQ(Pool_Read(pool, &a, &b, 1, t), 1);
    return b;
  }
  Node* pool = nullptr;
};

}  // namespace pool_test
