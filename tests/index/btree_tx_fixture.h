// btree_tx_fixture.h - the B-tree fixture with the transaction log on (root
// log node set up, the B-tree's handlers in the log's tables), transaction
// nodes made on demand, and key, model and snapshot helpers shared by the
// transaction tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "index/btree_fixture.h"
#include "index/btree_model_keys.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"

namespace btree_test {

inline std::string tx_key(int i) {
  char b[16];
  snprintf(b, sizeof b, "%08d", i);
  return b;
}
// Data long enough that a few dozen entries fill a page.
inline std::string tx_data(int i) { return std::string(180, static_cast<char>('a' + i % 26)); }

class BtreeTxFixture : public BtreeFixture {
 protected:
  void SetUp() override {
    BtreeFixture::SetUp();
    start_log();
  }
  void TearDown() override {
    ctx_.tx_node = nullptr;
    end_txs();
    BtreeFixture::TearDown();
    Tlog_ResetTables();
  }
  // The log on; the log's tables are filled afresh, ours with them.
  void start_log() {
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_SetupRootNode(), 0);
    ASSERT_EQ(btree_Init(), 0);
  }
  void end_txs() {
    for (Node* n : txs_)
      if (Node_RefCount(n) > 0) Tlog_Destroy(n);
    txs_.clear();
  }
  Node* new_tx() {
    Node* n = Tlog_Create();
    EXPECT_NE(n, nullptr);
    txs_.push_back(n);
    return n;
  }
  // Closes handles and transaction nodes, writes everything, reopens the
  // set with the log on.
  void reopen_with_log() {
    ctx_.tx_node = nullptr;
    end_txs();
    reopen_all();
    start_log();
  }
  // Begins a (sub-)transaction on tx; the fixture's context is inside it.
  void begin(Node* tx, uint32_t txid = 1) {
    ASSERT_EQ(Tlog_Begin(tx, nullptr, txid), 0);
    ctx_.tx_node = tx;
  }
  // Pre-commits and commits tx's transaction; the context is outside again.
  void commit(Node* tx) {
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    ctx_.tx_node = nullptr;
  }
  void rollback(Node* tx) {
    ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
    ctx_.tx_node = nullptr;
  }

  // Keys from..to (exclusive) by step, inserted / deleted through h, the
  // model kept in step.
  void insert_range(btree_HANDLE* h, Model* m, int from, int to, int step) {
    for (int i = from; i < to; i += step) {
      ASSERT_EQ(put(h, tx_key(i), tx_data(i)), 0) << "key " << i;
      (*m)[tx_key(i)] = tx_data(i);
    }
  }
  void delete_range(btree_HANDLE* h, Model* m, int from, int to, int step) {
    for (int i = from; i < to; i += step) {
      ASSERT_EQ(del(h, tx_key(i)), 0) << "key " << i;
      m->erase(tx_key(i));
    }
  }
  // Every key of the model found through h with its data, and a key
  // between them not.
  void expect_gets(btree_HANDLE* h, const Model& m, const std::string& at) {
    for (const auto& [k, d] : m) {
      std::string got;
      ASSERT_EQ(get(h, k, &got), 0) << at << ": " << k;
      EXPECT_EQ(got, d) << at << ": " << k;
    }
    EXPECT_EQ(get(h, "~"), 1) << at;
  }
  void expect_tree(btree_HANDLE* h, const Model& m, const std::string& at) {
    expect_sound(h, at);
    const auto entries = leaf_entries(h);
    EXPECT_EQ(Model(entries.begin(), entries.end()), m) << at;
  }
  // Entries of the log-record hash in use that are not on its free cache:
  // held by a transaction, or leaked.
  static uint32_t live_entries() { return Node_LogRecordUsage(nullptr) - Node_LogRecordCached(); }
  static uint32_t data_free() { return Vol_GetRootVol()[0].free_size; }

  std::vector<Node*> txs_;
};

}  // namespace btree_test
