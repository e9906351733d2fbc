// tagged_tx.h - the power-loss harnesses' workload over a pool: each
// transaction writes its id at both ends of the blocks it touches, so that a
// block shows which transaction wrote it last and whether it is whole, and
// the check after recovery compares the pool with the transactions
// acknowledged before the cut.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "storage/disk_bytes.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"

namespace tagged_tx {

// One transaction of a workload: its id and the blocks it wrote.
struct Tx {
  uint32_t id;
  std::vector<int> blocks;
  Node_ADDR big;  // a block in a cluster of its own, or none
};

inline void put(Node* pool, const Node_ADDR& a, uint32_t txid, int block, Node* tx) {
  std::vector<uint8_t> b(a.size, 0);
  le_put32(b.data(), txid);
  le_put32(b.data() + 4, static_cast<uint32_t>(block));
  le_put32(b.data() + a.size - 4, txid);
  ASSERT_EQ(Pool_Write(pool, &a, b.data(), a.size, tx), a.size);
}

// The transaction id a block holds, -1 when its two copies differ, -2 when
// it cannot be read.
inline int64_t tag_of(Node* pool, const Node_ADDR& a) {
  std::vector<uint8_t> b(a.size);
  if (Pool_Read(pool, &a, b.data(), a.size, nullptr) != a.size) return -2;
  const uint32_t head = le_get32(b.data());
  return head == le_get32(b.data() + a.size - 4) ? head : -1;
}

// Every acknowledged transaction whole; the one in flight at the cut whole
// or absent; nothing later; the pool's clusters sound. The transaction in
// flight is settled: found whole it counts as acknowledged from here on.
inline void check(Node* pool, const Node_ADDR* blocks, int nblocks, std::vector<Tx>* acked,
                  Tx* in_flight, const std::string& at) {
  SCOPED_TRACE(at);
  ASSERT_NE(pool, nullptr);
  std::map<int, uint32_t> expect;
  for (int i = 0; i < nblocks; ++i) expect[i] = 0;
  for (const Tx& t : *acked)
    for (int j : t.blocks) expect[j] = t.id;
  const bool pending = in_flight->id != 0 && (acked->empty() || acked->back().id != in_flight->id);
  int seen = 0;
  for (int i = 0; i < nblocks; ++i) {
    const int64_t tag = tag_of(pool, blocks[i]);
    bool in_flight_block = false;
    for (int j : in_flight->blocks) in_flight_block |= j == i;
    if (pending && in_flight_block && tag == in_flight->id) {
      ++seen;
      continue;
    }
    EXPECT_EQ(tag, expect[i]) << "block " << i;
  }
  if (pending) {
    EXPECT_TRUE(seen == 0 || seen == static_cast<int>(in_flight->blocks.size()))
        << "transaction " << in_flight->id << " half there (" << seen << ")";
  }
  if (pending && seen != 0) acked->push_back(*in_flight);
  *in_flight = Tx{0, {}, {}};
  for (const Tx& t : *acked) {
    if (Node_AddrValid(&t.big)) {
      EXPECT_EQ(tag_of(pool, t.big), t.id) << "big block of " << t.id;
    }
  }
  pool_test::check_pool(pool, false);
}

}  // namespace tagged_tx
