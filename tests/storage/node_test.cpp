// Nodes over a fixture volume set on the file double: ids, node pages
// across the 145-slot boundary, references with meta data read once and
// written once, subsystem events, reset and delete, locks, labels, volume
// events, and node pages that are not node pages.
#include "storage/node.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/error_status.h"
#include "storage/node_fixture.h"
#include "support/log_capture.h"

namespace {

using namespace node_test;

// Events a subsystem of type "BT" saw, as "node:event".
std::vector<std::string>* g_events = nullptr;
int g_fail_event = -1;
int record_event(Node* node, int event) {
  g_events->push_back(std::to_string(node ? Node_GetId(node) : 0) + ":" + std::to_string(event));
  return event == g_fail_event ? -1 : 0;
}

class NodeTest : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    g_events = &events;
    g_fail_event = -1;
    start();
  }
  void TearDown() override {
    Node_UnregisterSubsystem(record_event);
    NodeFixture::TearDown();
    g_events = nullptr;
  }
  // The node page at page, as on disk.
  Node_PAGE_HEAD disk_head(uint32_t page) {
    std::vector<uint8_t> b(Vol_PAGESIZE);
    Vol_ReadPage(page, b.data(), Vol_PAGESIZE);
    return Node_DecodePageHead(b.data());
  }
  uint32_t first_page() { return Vol_GetRootVol()[0].first_page; }
  void open_set_again() {
    buf_Exit();
    open_set();
  }
  int last_code() { return error_code(get_error()); }
  // A B-tree node (id 100) with meta data of size bytes, closed again;
  // its events go to events.
  Node* node_with_meta(uint32_t size) {
    EXPECT_EQ(Node_RegisterSubsystem(NodeType_BT, record_event), 0);
    Node* n = Node_Create(1);
    Node_SetType(n, NodeType_BT);
    EXPECT_EQ(Node_Open(n), 0);
    EXPECT_NE(Node_SetupMetaData(n, size), nullptr);
    EXPECT_EQ(Node_Close(n), 0);
    return n;
  }

  std::vector<std::string> events;
};

TEST_F(NodeTest, FirstUserNodeIs100AndSystemIdsLeaveTheCounter) {
  Node* sys = Node_SysCreate(1, 5);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(Node_GetId(sys), 5u);
  EXPECT_EQ(last_id(), 99u);
  Node* user = Node_Create(4);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(Node_GetId(user), 100u);
  EXPECT_EQ(Node_GetClusterSize(user), 4);
  EXPECT_EQ(last_id(), 100u);
  EXPECT_EQ(Node_SysFind(5), sys);
  EXPECT_EQ(Node_Find(100), user);
  EXPECT_EQ(Node_Find(101), nullptr);
  EXPECT_TRUE(Node_TestFlag(Node_SYSNODE, sys));
  EXPECT_FALSE(Node_TestFlag(Node_SYSNODE, user));
  // The first node page became the volume's root page.
  EXPECT_NE(first_page(), 0u);
  EXPECT_EQ(disk_head(first_page()).header.type, Vol_PAGE_NODE);
}

TEST_F(NodeTest, CreateRefusesATakenIdAndLeavesTheRootAlone) {
  ASSERT_NE(Node_SysCreate(1, 7), nullptr);
  ASSERT_NE(Node_Create(1), nullptr);
  EXPECT_EQ(Node_SysCreate(1, 7), nullptr);
  EXPECT_EQ(last_code(), Node_E_SYSID_IN_USE);
  EXPECT_EQ(Node_DoCreate(1, 100, 0, 0), nullptr);  // a user id recreated twice
  EXPECT_EQ(last_code(), Node_E_SYSID_IN_USE);
  EXPECT_EQ(num_nodes(), 2u);
  // A recreated node raises the counter past its id.
  Node* old = Node_DoCreate(2, 500, 0, 0);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(last_id(), 500u);
  EXPECT_EQ(Node_GetId(Node_Create(1)), 501u);
}

// 300 nodes: three node pages of 145, 145 and 10, chained from the root
// page; everything comes back after a close, and deleting the nodes of a
// page releases it, the first page last.
TEST_F(NodeTest, ThreeHundredNodesFillThreePagesAndComeBack) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 300; ++i) {
    Node* n = Node_Create(1 + i % 8);
    ASSERT_NE(n, nullptr) << i;
    ids.push_back(Node_GetId(n));
  }
  EXPECT_EQ(ids.front(), 100u);
  EXPECT_EQ(ids.back(), 399u);
  EXPECT_EQ(node_pages(), 3u);
  // The 146th node made the second page, linked from the first.
  const Node_PAGE_HEAD first = disk_head(first_page());
  ASSERT_NE(first.next_page, 0u);
  EXPECT_EQ(Node_PageOf(Node_Find(245)), first.next_page);

  reopen();
  EXPECT_EQ(num_nodes(), 300u);
  EXPECT_EQ(last_id(), 399u);
  EXPECT_EQ(node_pages(), 3u);
  for (int i = 0; i < 300; ++i) {
    Node* n = Node_Find(ids[static_cast<size_t>(i)]);
    ASSERT_NE(n, nullptr) << i;
    EXPECT_EQ(Node_GetClusterSize(n), 1 + i % 8);
  }
  // The last page's ten nodes go: the page goes with them.
  for (uint32_t id = 390; id <= 399; ++id) ASSERT_EQ(Node_Delete(Node_Find(id)), 0);
  EXPECT_EQ(node_pages(), 2u);
  EXPECT_EQ(disk_head(first_page()).next_page, first.next_page);
  // Emptying the first page keeps it while the second one holds nodes.
  for (uint32_t id = 100; id <= 244; ++id) ASSERT_EQ(Node_Delete(Node_Find(id)), 0);
  EXPECT_EQ(node_pages(), 2u);
  // The second page goes; then the first, which was the last one left.
  for (uint32_t id = 245; id <= 389; ++id) ASSERT_EQ(Node_Delete(Node_Find(id)), 0);
  EXPECT_EQ(node_pages(), 0u);
  EXPECT_EQ(num_nodes(), 0u);
  EXPECT_EQ(first_page(), 0u);
  reopen();
  EXPECT_EQ(num_nodes(), 0u);
  EXPECT_EQ(node_pages(), 0u);
  // Ids are never handed out twice.
  EXPECT_EQ(Node_GetId(Node_Create(1)), 100u);
}

TEST_F(NodeTest, NodeSyncWritesTheChangedPageOnly) {
  Node* n = Node_Create(2);
  Node_SetType(n, NodeType_BT);
  const uint64_t writes = fs.counts(kRoot).writes;
  Node_Sync(n);
  EXPECT_EQ(fs.counts(kRoot).writes, writes + 1);
  Node_Sync(n);
  EXPECT_EQ(fs.counts(kRoot).writes, writes + 1);
  reopen();
  EXPECT_EQ(Node_GetType(Node_Find(100)), NodeType_BT);
}

// --- References and meta data ------------------------------------------------------------

TEST_F(NodeTest, MetaDataIsReadOnceAndWrittenOncePerRunOfReferences) {
  ASSERT_EQ(Node_RegisterSubsystem(NodeType_BT, record_event), 0);
  Node* n = Node_Create(1);
  Node_SetType(n, NodeType_BT);
  EXPECT_EQ(Node_SetupMetaData(n, 16), nullptr);  // not referenced
  ASSERT_EQ(Node_Open(n), 0);
  auto* meta = static_cast<uint8_t*>(Node_SetupMetaData(n, 16));
  ASSERT_NE(meta, nullptr);
  memcpy(meta, "meta data bytes", 16);
  EXPECT_EQ(Node_GetMetaSize(n), 16u);
  ASSERT_EQ(Node_Close(n), 0);  // the last close writes what was created
  EXPECT_EQ(pool.writes, 1);
  EXPECT_EQ(sink.snapshots, 2);  // the create's, and the close's for new meta data
  EXPECT_EQ(events, (std::vector<std::string>{"100:4"}));
  events.clear();

  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_EQ(Node_Open(n), 0);
  EXPECT_EQ(Node_RefCount(n), 2);
  EXPECT_EQ(pool.reads, 1);
  EXPECT_STREQ(static_cast<char*>(Node_GetMetaData(n)), "meta data bytes");
  static_cast<char*>(Node_GetMetaData(n))[0] = 'M';
  Node_SetMetaDirty(n);
  ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(pool.writes, 1);  // not yet: a reference is left
  ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(pool.writes, 2);
  EXPECT_EQ(Node_RefCount(n), 0);
  EXPECT_EQ(n->meta_data, nullptr);
  // Events: meta data read and first open once, last close once.
  EXPECT_EQ(events, (std::vector<std::string>{"100:2", "100:3", "100:4"}));
  events.clear();

  // An unchanged run reads once and writes nothing; no second first-open.
  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(pool.reads, 2);
  EXPECT_EQ(pool.writes, 2);
  EXPECT_EQ(events, (std::vector<std::string>{"100:2", "100:4"}));
  EXPECT_EQ(pool.blocks.begin()->second[0], 'M');

  // A new run of the server (the set reopened) sends the first open again;
  // recovery never does.
  reopen();
  n = Node_Find(100);
  events.clear();
  sink.recovering = true;
  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_EQ(Node_Close(n), 0);
  sink.recovering = false;
  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"100:2", "100:4", "100:2", "100:3", "100:4"}));
}

TEST_F(NodeTest, AFailedFirstOpenNotificationLeavesTheNodeUnreferenced) {
  Node* n = node_with_meta(8);
  g_fail_event = Node_EVENT_FIRST_OPEN;
  EXPECT_EQ(Node_Open(n), -1);
  EXPECT_EQ(Node_RefCount(n), 0);
  EXPECT_EQ(n->meta_data, nullptr);
  g_fail_event = -1;
  EXPECT_EQ(Node_Open(n), 0);
  EXPECT_EQ(Node_Close(n), 0);
}

TEST_F(NodeTest, NodesWithoutMetaDataCountReferencesOnly) {
  Node* n = Node_Create(1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Node_Open(n), 0);
  EXPECT_EQ(Node_RefCount(n), 3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(Node_RefCount(n), 0);
  EXPECT_EQ(pool.reads + pool.writes, 0);
}

// --- Reset and delete -----------------------------------------------------------------------

TEST_F(NodeTest, ResetOfAReferencedNodeIsRefusedAndChangesNothing) {
  Node* n = Node_Create(1);
  Node_PGVEC vec[1];
  ASSERT_EQ(Node_AllocCluster(n, 0, vec, Node_MODE_DATA, nullptr), 0);
  Node_ReleaseClusterDirty(n, 1, vec);
  ASSERT_EQ(Node_Open(n), 0);
  EXPECT_EQ(Node_Reset(n), -1);
  EXPECT_EQ(last_code(), Node_E_REFERENCED);
  EXPECT_EQ(Node_CountItems(n, &n->node.ulist), 1u);
  ASSERT_EQ(Node_Close(n), 0);
  sink.vnodes_in_use = 1;  // a vnode still holds it
  EXPECT_EQ(Node_Reset(n), -1);
  EXPECT_EQ(Node_Delete(n), -1);
  EXPECT_EQ(Node_Find(100), n);
  sink.vnodes_in_use = 0;
  EXPECT_EQ(Node_Reset(n), 0);
  EXPECT_EQ(n->node.ulist.head, 0u);
}

// Reset frees every cluster and list page at the next checkpoint, each
// recorded as a cluster release; delete then frees the meta data block.
TEST_F(NodeTest, DeleteFreesClustersListPagesAndMetaData) {
  ASSERT_EQ(Node_RegisterSubsystem(NodeType_BT, record_event), 0);
  Node* n = Node_Create(2);
  Node_SetType(n, NodeType_BT);
  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_NE(Node_SetupMetaData(n, 32), nullptr);
  ASSERT_EQ(Node_Close(n), 0);
  std::vector<uint32_t> clusters;
  for (int i = 0; i < 3; ++i) {
    Node_PGVEC vec[2];
    ASSERT_EQ(Node_AllocCluster(n, 0, vec, Node_MODE_DATA, nullptr), 0);
    clusters.push_back(vec[0].page);
    Node_ReleaseClusterDirty(n, 2, vec);
  }
  const uint32_t list_page = n->node.ulist.head;
  EXPECT_EQ(Vol_TakeDelayedFrees(), nullptr);  // nothing before
  events.clear();
  sink.records.clear();
  ASSERT_EQ(Node_Delete(n), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"100:5", "100:6"}));
  EXPECT_EQ(sink.deleted, 1);
  EXPECT_EQ(pool.frees, 1);
  EXPECT_TRUE(pool.blocks.empty());
  EXPECT_EQ(Node_Find(100), nullptr);
  EXPECT_EQ(num_nodes(), 0u);
  Vol_DELAYED_FREE* delayed = Vol_TakeDelayedFrees();
  ASSERT_NE(delayed, nullptr);
  std::vector<uint32_t> freed;
  for (uint32_t i = 0; i < delayed->count; ++i) freed.push_back(delayed->entry[i].page);
  Vol_FreeDelayedList(delayed);
  EXPECT_EQ(freed, (std::vector<uint32_t>{clusters[0], clusters[1], clusters[2], list_page}));
}

// --- Faults mended ----------------------------------------------------------------------------

// A create that fails after its slot was counted takes the count back, so
// the root page can still be released when its last node goes.
TEST_F(NodeTest, ACreateWhoseSnapshotFailsTakesItsCountBack) {
  Node* a = Node_Create(1);
  ASSERT_NE(a, nullptr);
  sink.fail_snapshot_at = 1;
  EXPECT_EQ(Node_Create(1), nullptr);
  EXPECT_EQ(num_nodes(), 1u);
  EXPECT_EQ(Node_Find(101), nullptr);
  ASSERT_EQ(Node_Delete(a), 0);  // releases the root page: asserts the count is 0
  EXPECT_EQ(node_pages(), 0u);
  EXPECT_EQ(first_page(), 0u);
}

TEST_F(NodeTest, ACreateThatAddedAPageAndFailedReleasesThePage) {
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) ASSERT_NE(Node_Create(1), nullptr);
  EXPECT_EQ(node_pages(), 1u);
  sink.fail_snapshot_at = 1;
  EXPECT_EQ(Node_Create(1), nullptr);
  EXPECT_EQ(num_nodes(), 145u);
  EXPECT_EQ(node_pages(), 1u);
  Node* next = Node_Create(1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(node_pages(), 2u);
}

// Two labels in one log line name two nodes.
TEST_F(NodeTest, TwoLabelsInOneLineStayApart) {
  Node* a = Node_Create(1);
  Node* b = Node_SysCreate(1, 9);
  char line[64];
  snprintf(line, sizeof line, "%s %s", Node_Name(a), Node_Name(b));
  EXPECT_STREQ(line, "#100 #9:S");
}

TEST_F(NodeTest, LabelsNameTheSystemLogAndPoolFlags) {
  Node* pool_node = Node_SysCreate(1, SysPool_NODEID);
  Node_SetFlag(Node_POOLNODE, pool_node);
  EXPECT_STREQ(Node_Name(pool_node), "#1:SP");
  Node* log_pool = Node_CreateLog(1);
  ASSERT_NE(log_pool, nullptr);
  Node_SetFlag(Node_POOLNODE, log_pool);
  EXPECT_STREQ(Node_Name(log_pool), "#100:LP");
  EXPECT_EQ(log_pool->alloc_map, Vol_GetTlogAldesc());
  EXPECT_EQ(log_pool->owner, thread_self());
}

// --- Subsystems, locks, statistics -----------------------------------------------------------

TEST_F(NodeTest, SubsystemTableRefusesDuplicatesAndAnEleventhEntry) {
  auto other = [](Node*, int) { return 0; };
  ASSERT_EQ(Node_RegisterSubsystem(NodeType_BT, record_event), 0);
  EXPECT_EQ(Node_RegisterSubsystem(NodeType_BT, other), -1);
  EXPECT_EQ(last_code(), Node_E_SUBSYSTEM);
  for (char c = 'a'; c < 'a' + 9; ++c) ASSERT_EQ(Node_RegisterSubsystem(Node_Type('X', c), other), 0);
  EXPECT_EQ(Node_RegisterSubsystem(NodeType_FR, other), -1);
  EXPECT_EQ(last_code(), Node_E_SUBSYSTEM);
  // A broadcast reaches every entry; with a node only the first of its type.
  events.clear();
  EXPECT_EQ(Node_NotifySubsystems(nullptr, Node_EVENT_SHUTDOWN), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"0:0"}));
  for (int i = 0; i < 9; ++i) Node_UnregisterSubsystem(other);
  EXPECT_EQ(Node_RegisterSubsystem(NodeType_FR, other), 0);
  Node_UnregisterSubsystem(other);
}

TEST_F(NodeTest, CheckpointNotifiesPendingNodesOnce) {
  ASSERT_EQ(Node_RegisterSubsystem(NodeType_BT, record_event), 0);
  Node* a = Node_Create(1);
  Node* b = Node_Create(1);
  Node_SetType(a, NodeType_BT);
  Node_SetType(b, NodeType_BT);
  Node_SetNotifyPending(b);
  EXPECT_EQ(Node_CheckpointNotify(), 0);
  EXPECT_EQ(Node_CheckpointNotify(), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"101:1"}));
}

TEST_F(NodeTest, LockStatesAndReentrantExclusiveLock) {
  Node* n = Node_Create(1);
  EXPECT_EQ(Node_LockState(n), 0);
  ASSERT_EQ(Node_LockShared(n, __FILE__, __LINE__), 0);
  EXPECT_EQ(Node_LockState(n), 2);
  Node_UnlockShared(n);
  ASSERT_EQ(Node_Lock(n, __FILE__, __LINE__), 0);
  EXPECT_EQ(Node_LockState(n), 1);
  ASSERT_EQ(Node_Lock(n, __FILE__, __LINE__), 0);
  Node_Unlock(n);
  Node_Unlock(n);
  EXPECT_EQ(Node_LockState(n), 0);
  EXPECT_EQ(Node_GetChangeCount(n), 0u);
  Node_IncChangeCount(n);
  EXPECT_EQ(Node_GetChangeCount(n), 1u);
}

TEST_F(NodeTest, BlockStatisticsStartAtSixtyFourAndHalveTheDifference) {
  Node* n = Node_Create(1);
  Node_UpdateBlockStats(n, 40);
  EXPECT_EQ(Node_GetMinBlockSize(n), 64);
  EXPECT_EQ(Node_GetAvgBlockSize(n), 40);
  Node_UpdateBlockStats(n, 100);  // 40 - (-60 >> 1) = 70
  EXPECT_EQ(Node_GetAvgBlockSize(n), 70);
  EXPECT_EQ(Node_GetMinBlockSize(n), 64);
  Node* m = Node_Create(1);
  Node_UpdateBlockStats(m, 300);
  Node_UpdateBlockStats(m, 80);
  EXPECT_EQ(Node_GetMinBlockSize(m), 80);
  EXPECT_EQ(Node_GetAvgBlockSize(m), 190);
  EXPECT_TRUE(Node_IsDirty(m));
}

// --- Volume events ------------------------------------------------------------------------------

TEST_F(NodeTest, LogRootIsDroppedByTheRebuildEventAndReadAgain) {
  Node* log_node = Node_CreateLog(2);
  ASSERT_NE(log_node, nullptr);
  Node_PGVEC vec[2];
  ASSERT_EQ(Node_AllocCluster(log_node, 0, vec, Node_MODE_LOG, nullptr), 0);
  EXPECT_EQ(PAGE_VOLID(vec[0].page), 1u);  // from the LOG volume
  Node_ReleaseClusterDirty(log_node, 2, vec);
  Vol_Sync(Vol_TIO_SYNC);  // writes the log root's changed pages
  Node_Notify(4);          // its cached pages go with the handles
  Node* again = Node_FindLog(100);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->alloc_map, Vol_GetTlogAldesc());
  EXPECT_EQ(Node_CountItems(again, &again->node.ulist), 1u);
}

// The cache names its pages by node handle: closing the set writes and
// drops them before the handles go (AddressSanitizer sees any use after).
TEST_F(NodeTest, CloseDropsCachedPagesBeforeTheirHandlesGo) {
  Node* log_node = Node_CreateLog(1);
  Node* data_node = Node_Create(1);
  Node_PGVEC lv[1], dv[1];
  ASSERT_EQ(Node_AllocCluster(log_node, 0, lv, Node_MODE_LOG, nullptr), 0);
  ASSERT_EQ(Node_AllocCluster(data_node, 0, dv, Node_MODE_DATA, nullptr), 0);
  memset(dv[0].buf, 0x3C, Vol_PAGESIZE);
  Node_ReleaseClusterDirty(log_node, 1, lv);
  Node_ReleaseClusterDirty(data_node, 1, dv);
  const uint32_t page = dv[0].page;
  Vol_Close();
  Vol_Free();
  open_set_again();
  std::vector<uint8_t> b(Vol_PAGESIZE);
  Vol_ReadPage(page, b.data(), Vol_PAGESIZE);
  EXPECT_EQ(b[100], 0x3C);  // the data page was written before it was dropped
}

TEST_F(NodeTest, ReinitEventRereadsTheDataRoot) {
  Node* n = Node_Create(3);
  Node_Sync(n);
  n->node.cluster_size = 7;  // a change that never reached the disk
  ASSERT_EQ(Vol_ReInit(), 0);
  EXPECT_EQ(Node_GetClusterSize(Node_Find(100)), 3);
}

// --- Node pages that are not ----------------------------------------------------------------------

using NodeDeathTest = NodeTest;

TEST_F(NodeDeathTest, ARootPageThatIsNotANodePageStopsTheProcess) {
  ASSERT_NE(Node_Create(1), nullptr);
  const uint32_t page = first_page();
  sync_and_close();
  std::vector<uint8_t> junk(Vol_PAGESIZE, 0x5A);
  ASSERT_EQ(testsupport::write_page(kRoot, page, junk), 0);
  open_set();
  EXPECT_DEATH(Node_Find(100), "file is corrupt");
}

TEST_F(NodeDeathTest, ANodePageChainThatLoopsStopsTheProcess) {
  for (int i = 0; i < Node_PAGE_NUMITEMS + 1; ++i) ASSERT_NE(Node_Create(1), nullptr);
  const uint32_t first = first_page();
  const uint32_t second = Node_PageOf(Node_Find(245));
  sync_and_close();
  std::vector<uint8_t> b;
  ASSERT_EQ(testsupport::read_page(kRoot, second, &b), 0);
  le_put32(b.data() + 8, first);  // next_page back to the first page
  ASSERT_EQ(testsupport::write_page(kRoot, second, b), 0);
  open_set();
  EXPECT_DEATH(Node_Find(100), "file is corrupt");
}

// Inspect mode (the dump tool) refuses the same damage with a status, and
// the root can be looked at again once the set is whole.
TEST_F(NodeTest, InspectModeRefusesADamagedChainWithoutStopping) {
  for (int i = 0; i < Node_PAGE_NUMITEMS + 1; ++i) ASSERT_NE(Node_Create(1), nullptr);
  const uint32_t first = first_page();
  const uint32_t second = Node_PageOf(Node_Find(245));
  sync_and_close();
  std::vector<uint8_t> good, b;
  ASSERT_EQ(testsupport::read_page(kRoot, second, &good), 0);
  const struct {
    const char* name;
    uint32_t next;
  } cases[] = {{"loop", first}, {"outside the set", 0x00FFFFF0u}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    b = good;
    le_put32(b.data() + 8, c.next);
    ASSERT_EQ(testsupport::write_page(kRoot, second, b), 0);
    open_set();
    Node_SetInspectOnly(1);
    int seen = 0;
    auto count = [](Node*, void* n) {
      ++*static_cast<int*>(n);
      return 0;
    };
    EXPECT_EQ(Node_VisitById(0, count, &seen), -1);
    EXPECT_EQ(last_code(), VOL_E_BAD_DESCRIPTOR);
    EXPECT_EQ(seen, 0);
    Node_SetInspectOnly(0);
    sync_and_close();
  }
  ASSERT_EQ(testsupport::write_page(kRoot, second, good), 0);
  open_set();
  Node_SetInspectOnly(1);
  std::vector<uint32_t> ids;
  auto collect = [](Node* n, void* out) {
    static_cast<std::vector<uint32_t>*>(out)->push_back(Node_GetId(n));
    return 0;
  };
  EXPECT_EQ(Node_VisitById(0, collect, &ids), 0);
  Node_SetInspectOnly(0);
  ASSERT_EQ(ids.size(), static_cast<size_t>(Node_PAGE_NUMITEMS + 1));
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], 100 + i);
}

// An inspected node is read, never started or written: no first-open or
// last-close event, no meta write-back, no snapshot.
TEST_F(NodeTest, InspectedNodeIsReadWithoutFirstOpenWork) {
  node_with_meta(8);
  reopen();
  Node* n = Node_Find(100);
  events.clear();
  const int writes = pool.writes, snapshots = sink.snapshots;
  Node_SetInspectOnly(1);
  ASSERT_EQ(Node_Open(n), 0);
  static_cast<char*>(Node_GetMetaData(n))[0] = 'X';
  Node_SetMetaDirty(n);
  ASSERT_EQ(Node_Close(n), 0);
  Node_SetInspectOnly(0);
  EXPECT_EQ(events, (std::vector<std::string>{"100:2"}));
  EXPECT_EQ(pool.writes, writes);
  EXPECT_EQ(sink.snapshots, snapshots);
  EXPECT_EQ(n->meta_data, nullptr);
  // The next ordinary run starts the node as before.
  ASSERT_EQ(Node_Open(n), 0);
  ASSERT_EQ(Node_Close(n), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"100:2", "100:2", "100:3", "100:4"}));
}

// Counters the slots contradict (a crash wrote the slots, not the first
// page) are taken from the slots: no id in use is handed out again.
TEST_F(NodeTest, CountersBehindTheSlotsAreRaisedWhenRead) {
  for (int i = 0; i < 3; ++i) ASSERT_NE(Node_Create(1), nullptr);
  const uint32_t page = first_page();
  sync_and_close();
  std::vector<uint8_t> b;
  ASSERT_EQ(testsupport::read_page(kRoot, page, &b), 0);
  le_put32(b.data() + 12, 1);    // num_nodes
  le_put32(b.data() + 16, 100);  // last_node_id
  ASSERT_EQ(testsupport::write_page(kRoot, page, b), 0);
  open_set();
  EXPECT_EQ(num_nodes(), 3u);
  EXPECT_EQ(last_id(), 102u);
  EXPECT_EQ(Node_GetId(Node_Create(1)), 103u);
}

}  // namespace
