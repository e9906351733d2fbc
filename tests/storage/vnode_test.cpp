// The vnode cache over nodes of a fixture volume set: a node opened and
// closed through the cache stays open until a flush; trim frees a vnode
// only at the second trim after its flush; the counters; a failed open
// leaves nothing attached and the cache usable by other tasks; handles that
// go with their root forget their vnodes; and opens that meet a sleeping
// open or flush under the task kernel.
#include "storage/vnode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/task_kernel.h"
#include "storage/node_fixture.h"
#include "storage/task_runner.h"

namespace {

using namespace node_test;

// A subsystem of type "BT": counts meta-data reads and last closes, fails
// one event on request, and sleeps in one event until released.
struct Subsystem {
  int meta_reads = 0;
  int last_closes = 0;
  int fail_event = -1;
  int hold_event = -1;
  bool holding = false;
  WaitQueue held;
};
Subsystem* g_sub = nullptr;

int notify(Node* node, int event) {
  if (node == nullptr) return 0;
  if (event == Node_EVENT_META_READ) g_sub->meta_reads++;
  if (event == Node_EVENT_LAST_CLOSE) g_sub->last_closes++;
  if (event == g_sub->hold_event) {
    g_sub->hold_event = -1;  // once
    g_sub->holding = true;
    sleep_on(&g_sub->held, WAIT_NEVER_CUT, __FILE__, __LINE__);
    g_sub->holding = false;
  }
  return event == g_sub->fail_event ? -1 : 0;
}

class VNodeTest : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    g_sub = &sub;
    VNode_Reset();
    start();
    ASSERT_EQ(Node_RegisterSubsystem(NodeType_BT, notify), 0);
  }
  void TearDown() override {
    close_set();  // flushes the cache; forgets what is still in use
    VNode_Cleanup();
    VNode_Reset();
    Node_UnregisterSubsystem(notify);
    g_sub = nullptr;
    NodeFixture::TearDown();
  }
  // A BT node with meta data on disk, not referenced.
  Node* bt_node() {
    Node* n = Node_Create(1);
    EXPECT_NE(n, nullptr);
    Node_SetType(n, NodeType_BT);
    EXPECT_EQ(Node_Open(n), 0);
    EXPECT_NE(Node_SetupMetaData(n, 16), nullptr);
    EXPECT_EQ(Node_Close(n), 0);
    sub = Subsystem{};
    pool.reads = pool.writes = 0;
    return n;
  }
  static void expect_stats(uint32_t allocated, uint32_t in_use, uint32_t unused,
                           const char* where) {
    const VNodeStats s = VNode_GetStats();
    EXPECT_EQ(s.allocated, allocated) << where;
    EXPECT_EQ(s.in_use, in_use) << where;
    EXPECT_EQ(s.unused, unused) << where;
  }

  Subsystem sub;
};

// --- Open, close, flush ---------------------------------------------------------------------

TEST_F(VNodeTest, AClosedNodeStaysOpenUntilAFlushAndReopensWithoutARead) {
  Node* n = bt_node();
  ASSERT_EQ(VNode_Open(n), 0);
  EXPECT_EQ(Node_RefCount(n), 1);
  EXPECT_EQ(sub.meta_reads, 1);
  VNode_Close(n);
  EXPECT_EQ(Node_RefCount(n), 1);  // still open, at use count 0
  EXPECT_EQ(sub.last_closes, 0);
  expect_stats(1, 0, 1, "closed");

  ASSERT_EQ(VNode_Open(n), 0);
  ASSERT_EQ(VNode_Open(n), 0);
  EXPECT_EQ(sub.meta_reads, 1);  // opened once for all three opens
  EXPECT_EQ(pool.reads, 1);
  EXPECT_EQ(Node_RefCount(n), 1);
  expect_stats(1, 1, 0, "reopened twice");
  VNode_Close(n);
  VNode_Close(n);

  EXPECT_EQ(VNode_Flush(n), 0);
  EXPECT_EQ(Node_RefCount(n), 0);
  EXPECT_EQ(sub.last_closes, 1);
  EXPECT_EQ(n->reserved, nullptr);
  expect_stats(1, 0, 0, "flushed");  // kept on the free list
}

TEST_F(VNodeTest, AFlushLeavesNodesInUseOpenAndCountsThem) {
  Node* a = bt_node();
  Node* b = bt_node();
  Node* c = bt_node();
  for (Node* n : {a, b, c}) ASSERT_EQ(VNode_Open(n), 0);
  VNode_Close(b);
  VNode_Close(c);
  EXPECT_EQ(VNode_Flush(a), 1);  // of a alone: in use
  EXPECT_EQ(Node_RefCount(b), 1);
  EXPECT_EQ(VNode_Flush(b), 0);  // of b alone: closes b, leaves c
  EXPECT_EQ(Node_RefCount(b), 0);
  EXPECT_EQ(Node_RefCount(c), 1);
  EXPECT_EQ(VNode_Flush(b), 0);  // b is no longer cached
  EXPECT_EQ(VNode_Flush(nullptr), 1);
  EXPECT_EQ(Node_RefCount(a), 1);
  EXPECT_EQ(Node_RefCount(c), 0);
  expect_stats(3, 1, 0, "a in use");
  VNode_Close(a);
  EXPECT_EQ(VNode_Flush(nullptr), 0);
  EXPECT_EQ(Node_RefCount(a), 0);
  EXPECT_EQ(sub.last_closes, 3);
}

// --- Free list, trim, cleanup, counters ----------------------------------------------------------

TEST_F(VNodeTest, AFreedVnodeIsReusedAndReleasedOnlyAtTheSecondTrimAfterItsFlush) {
  Node* a = bt_node();
  Node* b = bt_node();
  ASSERT_EQ(VNode_Open(a), 0);
  VNode_Close(a);
  VNode_Flush(nullptr);
  ASSERT_EQ(VNode_Open(b), 0);  // takes the freed vnode
  expect_stats(1, 1, 0, "reused");
  EXPECT_EQ(VNode_GetStats().max_allocated, 1u);
  VNode_Close(b);

  VNode_Trim();  // flushes b; its vnode is new on the free list
  EXPECT_EQ(Node_RefCount(b), 0);
  expect_stats(1, 0, 0, "first trim");
  VNode_Trim();  // it was there at the previous trim: released
  expect_stats(0, 0, 0, "second trim");

  // A vnode taken again between the trims survives both.
  ASSERT_EQ(VNode_Open(a), 0);
  ASSERT_EQ(VNode_Open(b), 0);
  VNode_Close(a);
  VNode_Trim();  // a's vnode to the free list
  VNode_Close(b);
  VNode_Flush(b);
  EXPECT_EQ(VNode_GetStats().allocated, 2u);
  ASSERT_EQ(VNode_Open(a), 0);  // takes b's, the newest
  ASSERT_EQ(VNode_Open(b), 0);  // takes a's, the one past the mark
  VNode_Trim();
  expect_stats(2, 2, 0, "both taken again");
  EXPECT_EQ(VNode_GetStats().max_allocated, 2u);
  EXPECT_EQ(VNode_GetStats().max_in_use, 2u);
  VNode_Close(a);
  VNode_Close(b);
  VNode_Trim();
  VNode_Trim();
  expect_stats(0, 0, 0, "all released");
}

TEST_F(VNodeTest, CleanupFreesTheWholeFreeListButKeepsTheHighs) {
  std::vector<Node*> nodes;
  for (int i = 0; i < 5; ++i) nodes.push_back(bt_node());
  for (Node* n : nodes) ASSERT_EQ(VNode_Open(n), 0);
  for (Node* n : nodes) VNode_Close(n);
  expect_stats(5, 0, 5, "five unused");
  EXPECT_EQ(VNode_Flush(nullptr), 0);
  VNode_Trim();  // sets the mark; frees nothing yet
  VNode_Cleanup();
  expect_stats(0, 0, 0, "cleaned up");
  const VNodeStats s = VNode_GetStats();
  EXPECT_EQ(s.max_allocated, 5u);
  EXPECT_EQ(s.max_in_use, 5u);
  // The cache works on after a cleanup (and ASan sees no freed vnode used).
  ASSERT_EQ(VNode_Open(nodes[0]), 0);
  expect_stats(1, 1, 0, "after cleanup");
  VNode_Close(nodes[0]);
}

// --- A failed open ------------------------------------------------------------------------

TEST_F(VNodeTest, AFailedOpenLeavesNothingAttachedAndItsVnodeFree) {
  Node* n = bt_node();
  Node* other = bt_node();
  sub.fail_event = Node_EVENT_FIRST_OPEN;
  EXPECT_EQ(VNode_Open(n), -1);
  EXPECT_EQ(n->reserved, nullptr);
  EXPECT_EQ(Node_RefCount(n), 0);
  expect_stats(1, 0, 0, "failed open");
  EXPECT_EQ(VNode_Flush(nullptr), 0);  // nothing left on the cache list
  sub.fail_event = -1;
  ASSERT_EQ(VNode_Open(other), 0);  // reuses the vnode
  expect_stats(1, 1, 0, "reused");
  VNode_Close(other);
}

// One task's failed open must give the semaphore back, or every other open
// waits forever.
struct FailThenOpen {
  Node* failing = nullptr;
  Node* other = nullptr;
  int first = 0;
  int second = 1;
};
FailThenOpen g_fto;

TEST_F(VNodeTest, AFailedOpenReleasesTheSemaphoreForOtherTasks) {
  g_fto = FailThenOpen{};
  g_fto.failing = bt_node();
  g_fto.other = bt_node();
  sub.fail_event = Node_EVENT_FIRST_OPEN;
  storage_test::TaskRunner runner;
  auto failer = [] { g_fto.first = VNode_Open(g_fto.failing); };
  auto opener = [] {
    g_sub->fail_event = -1;
    g_fto.second = VNode_Open(g_fto.other);
  };
  ASSERT_TRUE(runner.run({failer}, opener, 2000)) << "the second open never got the semaphore";
  EXPECT_EQ(g_fto.first, -1);
  EXPECT_EQ(g_fto.second, 0);
  expect_stats(1, 1, 0, "after both");
  VNode_Close(g_fto.other);
}

// --- Handles that go with their root -----------------------------------------------------------

TEST_F(VNodeTest, LogNodesDroppedByTheLogRebuildForgetTheirVnodes) {
  Node* used = Node_CreateLog(1);
  Node* idle = Node_CreateLog(1);
  ASSERT_NE(used, nullptr);
  ASSERT_NE(idle, nullptr);
  const uint32_t used_id = Node_GetId(used);
  ASSERT_EQ(VNode_Open(used), 0);
  ASSERT_EQ(VNode_Open(idle), 0);
  VNode_Close(idle);
  Vol_Sync(Vol_TIO_SYNC);
  Node_Notify(4);  // the log is rebuilt: its handles go
  expect_stats(2, 0, 0, "forgotten");
  // Nothing on the cache list names a freed handle (ASan would see it).
  EXPECT_EQ(VNode_Flush(nullptr), 0);
  Node* again = Node_FindLog(used_id);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->reserved, nullptr);
  ASSERT_EQ(VNode_Open(again), 0);  // a forgotten vnode serves again
  expect_stats(2, 1, 0, "reopened");
  VNode_Close(again);
}

TEST_F(VNodeTest, NodesInUseWhenTheSetClosesAreForgottenAndUnusedOnesClosed) {
  Node* used = bt_node();
  Node* idle = bt_node();
  ASSERT_EQ(VNode_Open(used), 0);
  ASSERT_EQ(VNode_Open(idle), 0);
  VNode_Close(idle);
  Vol_Close();  // flushes the cache, then the handles go
  Vol_Free();
  EXPECT_EQ(sub.last_closes, 1);  // the unused one, closed properly
  expect_stats(2, 0, 0, "closed set");
  EXPECT_EQ(VNode_Flush(nullptr), 0);
}

// --- Under the task kernel ------------------------------------------------------------------

struct Sleepers {
  Node* node = nullptr;
  Node* other = nullptr;
  Task* first = nullptr;
  Task* second = nullptr;
  bool second_waited = false;
  int first_rc = 1, second_rc = 1, flushed = -1;
};
Sleepers g_sl;

// Waits until task t sleeps, notes whether the other did, then releases
// the held notification.
void release_when_asleep(Task* const* t, Task* const* waiter) {
  while (*t == nullptr || thread_wchan(*t) == nullptr || *waiter == nullptr ||
         thread_wchan(*waiter) == nullptr)
    thread_yield();
  g_sl.second_waited = true;
  wake_up(&g_sub->held);
}

TEST_F(VNodeTest, ASecondOpenWaitsForAnOpenThatSleepsAndOpensTheNodeOnce) {
  g_sl = Sleepers{};
  g_sl.node = bt_node();
  sub.hold_event = Node_EVENT_META_READ;
  storage_test::TaskRunner runner;
  auto first = [] {
    g_sl.first = thread_self();
    g_sl.first_rc = VNode_Open(g_sl.node);
  };
  auto second = [] {
    while (!g_sub->holding) thread_yield();
    g_sl.second = thread_self();
    g_sl.second_rc = VNode_Open(g_sl.node);
  };
  auto releaser = [] { release_when_asleep(&g_sl.first, &g_sl.second); };
  ASSERT_TRUE(runner.run({first, second, releaser}, nullptr, 5000));
  EXPECT_TRUE(g_sl.second_waited);
  EXPECT_EQ(g_sl.first_rc, 0);
  EXPECT_EQ(g_sl.second_rc, 0);
  EXPECT_EQ(sub.meta_reads, 1);
  EXPECT_EQ(Node_RefCount(g_sl.node), 1);
  expect_stats(1, 1, 0, "one vnode, two uses");
  VNode_Close(g_sl.node);
  VNode_Close(g_sl.node);
  EXPECT_EQ(VNode_GetStats().unused, 1u);
}

// A flush whose close sleeps: an open of another cached node meanwhile
// waits, and the walk sees a list nobody changed under it.
TEST_F(VNodeTest, AnOpenWaitsForAFlushWhoseCloseSleeps) {
  g_sl = Sleepers{};
  g_sl.node = bt_node();
  g_sl.other = bt_node();
  ASSERT_EQ(VNode_Open(g_sl.other), 0);
  ASSERT_EQ(VNode_Open(g_sl.node), 0);  // head of the list; other follows
  VNode_Close(g_sl.node);
  VNode_Close(g_sl.other);
  sub = Subsystem{};
  sub.hold_event = Node_EVENT_LAST_CLOSE;
  storage_test::TaskRunner runner;
  auto flusher = [] {
    g_sl.first = thread_self();
    g_sl.flushed = VNode_Flush(nullptr);
  };
  auto opener = [] {
    while (!g_sub->holding) thread_yield();
    g_sl.second = thread_self();
    g_sl.second_rc = VNode_Open(g_sl.other);
  };
  auto releaser = [] { release_when_asleep(&g_sl.first, &g_sl.second); };
  ASSERT_TRUE(runner.run({flusher, opener, releaser}, nullptr, 5000));
  EXPECT_TRUE(g_sl.second_waited);
  EXPECT_EQ(g_sl.flushed, 0);
  EXPECT_EQ(g_sl.second_rc, 0);
  EXPECT_EQ(sub.last_closes, 2);  // the flush closed both
  EXPECT_EQ(sub.meta_reads, 1);   // and the open opened other afresh
  EXPECT_EQ(Node_RefCount(g_sl.node), 0);
  EXPECT_EQ(Node_RefCount(g_sl.other), 1);
  expect_stats(2, 1, 0, "other reopened");
  VNode_Close(g_sl.other);
}

}  // namespace
