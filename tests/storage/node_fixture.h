// node_fixture.h - a volume set on the file double with the buffer cache
// set up, for tests of the node layer; an in-memory system pool that counts
// its reads and writes; and a log sink that keeps every record the node
// layer hands over, so tests can look at them and replay them.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/node_pool_services.h"
#include "storage/node_tlog_seams.h"
#include "storage/tio.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"

namespace node_test {

inline const std::string kRoot = "/v/root.vol";
inline const std::string kLog = "/v/log.vol";

// Meta data blocks in memory, by a made-up cluster number.
struct MemPool {
  std::map<uint32_t, std::vector<uint8_t>> blocks;
  uint32_t next = 0x7000000;
  int reads = 0;
  int writes = 0;
  int allocs = 0;
  int frees = 0;
  bool refuse_alloc = false;
};
inline MemPool* g_pool = nullptr;

inline const NodePoolServices kMemPool = {
    [](uint32_t size, Node_ADDR* addr, int) {
      if (g_pool->refuse_alloc) return -1;
      g_pool->allocs++;
      *addr = Node_ADDR{g_pool->next++, 0, static_cast<uint16_t>(size)};
      g_pool->blocks[addr->cluster].assign(size, 0);
      return 0;
    },
    [](Node_ADDR* addr, int) {
      g_pool->frees++;
      return g_pool->blocks.erase(addr->cluster) == 1 ? 0 : -1;
    },
    [](const Node_ADDR* addr, void* buf, uint32_t size, int) {
      g_pool->reads++;
      auto it = g_pool->blocks.find(addr->cluster);
      if (it == g_pool->blocks.end() || it->second.size() != size) return -1;
      memcpy(buf, it->second.data(), size);
      return static_cast<int>(size);
    },
    [](const Node_ADDR* addr, const void* buf, uint32_t size, int) {
      g_pool->writes++;
      auto it = g_pool->blocks.find(addr->cluster);
      if (it == g_pool->blocks.end() || it->second.size() != size) return -1;
      memcpy(it->second.data(), buf, size);
      return static_cast<int>(size);
    },
    [](Node*) { return 0; }};

// Every record handed to the log, in order.
struct LogRecord {
  Tlog_TAGREC* tag;
  Node* node;
  int opcode;
  std::vector<uint8_t> data;
};
struct Sink {
  std::vector<LogRecord> records;
  int snapshots = 0;
  int deleted = 0;
  int fail_snapshot_at = 0;  // the n-th snapshot from now fails (0 = none)
  bool recovering = false;
  int vnodes_in_use = 0;
};
inline Sink* g_sink = nullptr;

inline NodeTlogServices capture_services() {
  NodeTlogServices s = *Node_StandInTlogServices();
  s.add_to_tag_record = [](Tlog_TAGREC* tag, Node* node, int opcode, const void* data,
                           size_t size) {
    const auto* b = static_cast<const uint8_t*>(data);
    g_sink->records.push_back({tag, node, opcode, std::vector<uint8_t>(b, b + size)});
    return 0;
  };
  s.write_snapshot = [](Node*) {
    g_sink->snapshots++;
    if (g_sink->fail_snapshot_at > 0 && --g_sink->fail_snapshot_at == 0) return -1;
    return 0;
  };
  s.write_deleted_snapshot = [](Node*) {
    g_sink->deleted++;
    return 0;
  };
  s.is_recovering = [] { return g_sink->recovering ? 1 : 0; };
  s.vnode_flush = [](Node* node) { return g_sink->vnodes_in_use + VNode_Flush(node); };
  return s;
}

// A context whose records the sink keeps (any non-null tag will do).
inline Tlog_TAGREC* test_tag() { return reinterpret_cast<Tlog_TAGREC*>(0x7a9); }
inline NodeList_LOG test_ctx() {
  NodeList_LOG ctx;
  ctx.op = NodeList_ID_ULIST;
  ctx.tag = test_tag();
  return ctx;
}

// A root DATA volume and a LOG volume (sizes and extension as given), opened,
// with a cache of nbufs buffers.
class NodeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    g_pool = &pool;
    g_sink = &sink;
    platform::set_file_system(&fs);
    Node_SetPoolServices(&kMemPool);
    services = capture_services();
    Node_SetTlogServices(&services);
  }
  void TearDown() override {
    close_set();
    Node_SetPoolServices(nullptr);
    Node_SetTlogServices(nullptr);
    platform::set_file_system(nullptr);
    g_pool = nullptr;
    g_sink = nullptr;
  }

  void write_set(uint32_t size = 2048, uint32_t ext = 256) {
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{kRoot, VolType_DATA, size, ext}, {kLog, VolType_LOG, size, ext}};
    ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  }
  void open_set(int nbufs = 64) {
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    ASSERT_EQ(buf_Init(nbufs, nbufs), 0);
  }
  void start(uint32_t size = 2048, uint32_t ext = 256, int nbufs = 64) {
    write_set(size, ext);
    open_set(nbufs);
  }
  // Writes everything (roots, buffers, free lists, descriptors) and closes.
  void sync_and_close() {
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
  }
  void close_set() {
    if (Vol_GetRootVol() != nullptr) {
      Vol_Close();
      Vol_Free();
    }
    buf_Exit();
  }
  void reopen() {
    sync_and_close();
    open_set();
  }
  uint32_t num_nodes(int log = 0) {
    uint32_t n = 0, last = 0, pages = 0;
    EXPECT_EQ(Node_RootCounts(log, &n, &last, &pages), 0);
    return n;
  }
  uint32_t last_id(int log = 0) {
    uint32_t n = 0, last = 0, pages = 0;
    EXPECT_EQ(Node_RootCounts(log, &n, &last, &pages), 0);
    return last;
  }
  uint32_t node_pages(int log = 0) {
    uint32_t n = 0, last = 0, pages = 0;
    EXPECT_EQ(Node_RootCounts(log, &n, &last, &pages), 0);
    return pages;
  }
  uint32_t free_pages() { return Vol_GetRootVol()[0].free_size; }

  platform::FaultFileSystem fs;
  MemPool pool;
  Sink sink;
  NodeTlogServices services{};
};

}  // namespace node_test
