// syscat_tx_fixture.h - the catalog fixture's set with a LOG volume beside
// the root, and the transaction log on (root log node set up, the catalog's handlers
// registered); transaction nodes made on demand; and a picture of the
// whole server catalog (each table's meta data and every page of its
// clusters) to compare byte for byte.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/node_cluster.h"
#include "storage/node_logrec.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/volume_create.h"

namespace syscat_tx_test {

using syscat_test::kLog;
using syscat_test::kRoot;

// Every table of a catalog (none: the server's) as bytes: meta data, then
// the pages of each cluster in list order.
using Picture = std::map<int, std::vector<uint8_t>>;

inline Picture picture(SysCat_DB_CATALOG* cat = nullptr) {
  Picture out;
  for (SysCat_MAP* e = cat != nullptr ? cat->map : SysCat_ServerMap(); e->sys_id != 0; ++e) {
    if (e->node == nullptr) continue;
    std::vector<uint8_t>& bytes = out[e->sys_id];
    const auto* meta = static_cast<const uint8_t*>(Node_GetMetaData(e->node));
    bytes.assign(meta, meta + Node_GetMetaSize(e->node));
    Node_ITER it;
    uint32_t start = 0, count = 0;
    for (int rc = Node_FirstCluster(e->node, &start, &count, &it); rc == 0;
         rc = Node_NextCluster(e->node, &start, &count, &it)) {
      Node_PGVEC vec[Vol_MAXCLUST];
      EXPECT_EQ(Node_GetClusterReadOnly(e->node, start, static_cast<int>(count), vec,
                                        Node_MODE_DATA),
                0);
      for (uint32_t i = 0; i < count; ++i)
        bytes.insert(bytes.end(), vec[i].buf, vec[i].buf + Vol_PAGESIZE);
      Node_ReleaseCluster(e->node, static_cast<int>(count), vec);
    }
  }
  return out;
}

// The names of the tables whose bytes differ.
inline std::string differences(const Picture& a, const Picture& b) {
  std::string out;
  for (const auto& [id, bytes] : a) {
    auto it = b.find(id);
    if (it == b.end()) {
      out += " table " + std::to_string(id) + " missing";
      continue;
    }
    if (it->second.size() != bytes.size()) {
      out += " table " + std::to_string(id) + " size " + std::to_string(bytes.size()) + " -> " +
             std::to_string(it->second.size());
      continue;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == it->second[i]) continue;
      out += " table " + std::to_string(id) + " byte " + std::to_string(i);
      break;
    }
  }
  if (a.size() != b.size()) out += " (table count)";
  return out;
}

inline uint32_t node_count() {
  uint32_t n = 0, last = 0, pages = 0;
  EXPECT_EQ(Node_RootCounts(0, &n, &last, &pages), 0);
  return n;
}

// The transaction log on: its tables with the catalog's handlers, the root
// log node set up (looked up, or made on a new set).
inline void start_log() {
  ASSERT_EQ(Tlog_Init(), 0);
  SysCat_Init();
  ASSERT_EQ(Tlog_SetupRootNode(), 0);
}

// The catalog fixture with a LOG volume and the log on.
class CatalogTxFixture : public syscat_test::CatalogFixture {
 protected:
  CatalogTxFixture() { with_log_ = true; }
  void SetUp() override {
    CatalogFixture::SetUp();
    start_log();
  }
  void TearDown() override {
    close_txs();
    CatalogFixture::TearDown();
    Tlog_ResetTables();
  }
  void close_txs() {
    for (Node* n : txs_)
      if (Node_RefCount(n) > 0) Node_Close(n);
    txs_.clear();
  }
  // Everything written and closed, opened again with the catalog and the log.
  void reopen() {
    close_txs();
    CatalogFixture::reopen();
    start_log();
  }
  Node* new_tx() {
    Node* n = Tlog_Create();
    EXPECT_NE(n, nullptr);
    txs_.push_back(n);
    return n;
  }
  static void commit(Node* tx) {
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
  }
  // No log-record entry is left in the hash: every table lock ended.
  static void expect_no_locks() {
    EXPECT_EQ(Node_LogRecordUsage(nullptr), Node_LogRecordCached());
  }

  std::vector<Node*> txs_;
};

}  // namespace syscat_tx_test
