// syscat_tx_fixture.h - a new volume set with a DATA and a LOG volume on
// the file double, its server catalog created and opened, and the
// transaction log on (root log node set up, the catalog's handlers
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
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/node_cluster.h"
#include "storage/node_logrec.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/volume_create.h"

namespace syscat_tx_test {

inline const std::string kRoot = "/v/root.vol";
inline const std::string kLog = "/v/log.vol";

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

class CatalogTxFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
    ASSERT_NE(Vol_Create(kRoot.c_str(), 2048, 256, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog.c_str(), VolType_LOG, 2048, 256, 0), nullptr);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(SysCat_create(), 0);
    ASSERT_EQ(SysCat_open(), 0);
    start_log();
  }
  void TearDown() override {
    close_all();
    Tlog_ResetTables();
    platform::set_file_system(nullptr);
  }
  void start_log() {
    ASSERT_EQ(Tlog_Init(), 0);
    SysCat_Init();
    ASSERT_EQ(Tlog_SetupRootNode(), 0);
  }
  void close_all() {
    for (Node* n : txs_)
      if (Node_RefCount(n) > 0) Node_Close(n);
    txs_.clear();
    SysCat_close();
    if (Vol_GetRootVol() != nullptr) {
      Vol_Sync(Vol_TIO_SYNC);
      Vol_Close();
      Vol_Free();
    }
    buf_Exit();
  }
  // Everything written and closed, opened again with the catalog and the log.
  void reopen() {
    close_all();
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(SysCat_open(), 0);
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
  static int code() { return error_code(get_error()); }
  static int module() { return error_module(get_error()); }

  platform::FaultFileSystem fs;
  std::vector<Node*> txs_;
};

}  // namespace syscat_tx_test
