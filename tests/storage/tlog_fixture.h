// tlog_fixture.h - a pool on the node fixture's set with the transaction
// log on (root log node 2 set up), transaction nodes made on demand, and a
// reader that decodes a log chain straight from its blocks, so that tests
// see what the log wrote without going through the walk they test.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/error_status.h"
#include "storage/disk_bytes.h"
#include "storage/fpool.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"
#include "storage/tlog.h"

namespace tlog_test {

using pool_test::PoolFixture;

struct RecView {
  Node_ADDR block;
  uint32_t offset;  // inside the block
  Tlog_RECHEAD head;
  std::vector<uint8_t> data;
};

// The anchors as the node's meta data hold them now.
inline Tlog_META meta_of(Node* node) {
  Tlog_META m;
  EXPECT_EQ(Tlog_DecodeMeta(static_cast<const uint8_t*>(Node_GetMetaData(node)),
                            Node_GetMetaSize(node), &m),
            0);
  return m;
}

// Every record of node's chain, block by block, by the next distances.
inline std::vector<RecView> chain(Node* node, int channel) {
  Tlog_META m = meta_of(node);
  FPool_ANCHOR* a = channel == Tlog_CHANNEL_LOG ? &m.log_anchor : &m.do_log_anchor;
  std::vector<RecView> out;
  FPool_ITER it;
  for (int rc = FPool_First(node, a, &it); rc == 0; rc = FPool_Next(&it)) {
    std::vector<uint8_t> block(it.addr.size);
    EXPECT_EQ(Pool_Read(node, &it.addr, block.data(), it.addr.size, nullptr), it.addr.size);
    for (uint32_t off = 0;;) {
      if (off + Tlog_OVERHEAD > block.size()) {
        ADD_FAILURE() << "record head past the block";
        break;
      }
      RecView r{it.addr, off, Tlog_DecodeHead(&block[off]), {}};
      r.data.assign(block.begin() + off + Tlog_OVERHEAD,
                    block.begin() + off + Tlog_OVERHEAD + r.head.size);
      out.push_back(r);
      if (r.head.next == 0) break;
      off += r.head.next;
    }
  }
  return out;
}

inline std::vector<uint32_t> opcodes(const std::vector<RecView>& v) {
  std::vector<uint32_t> out;
  for (const RecView& r : v) out.push_back(r.head.opcode);
  return out;
}
inline std::vector<uint32_t> states(const std::vector<RecView>& v) {
  std::vector<uint32_t> out;
  for (const RecView& r : v) out.push_back(r.head.state);
  return out;
}

class TlogFixture : public PoolFixture {
 protected:
  void SetUp() override {
    PoolFixture::SetUp();
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_SetupRootNode(), 0);
    ASSERT_NE(Tlog_RootNode(), nullptr);
  }
  void TearDown() override {
    for (Node* n : txs_)
      if (Node_RefCount(n) > 0) Node_Close(n);
    txs_.clear();
    PoolFixture::TearDown();
    Tlog_ResetTables();
  }
  Node* new_tx() {
    Node* n = Tlog_Create();
    EXPECT_NE(n, nullptr);
    txs_.push_back(n);
    return n;
  }
  // Every page of every cluster of the pool, as the cache holds it.
  std::vector<uint8_t> pool_image() {
    std::vector<uint8_t> out;
    Node_ITER it;
    uint32_t start = 0, count = 0;
    for (int rc = Node_FirstCluster(pool, &start, &count, &it); rc == 0;
         rc = Node_NextCluster(pool, &start, &count, &it)) {
      const std::vector<uint8_t> img = pool_test::cluster_image(pool, start, count);
      out.insert(out.end(), img.begin(), img.end());
    }
    return out;
  }
  std::vector<Node*> txs_;
};

inline int status_code() { return error_code(get_error()); }

}  // namespace tlog_test
