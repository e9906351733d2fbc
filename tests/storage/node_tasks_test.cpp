// Nodes under tasks and power loss: a create that adds a node page
// suspends while the new page is flushed, and a second create meanwhile
// waits for it instead of adding a page of its own; a power loss at any
// write or flush of a create leaves node pages that open, with the new
// node there whole or not at all.
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "base/task_kernel.h"
#include "storage/crash_file_system.h"
#include "storage/node_fixture.h"
#include "storage/power_cut_sweep.h"
#include "storage/task_runner.h"
#include "storage/tio.h"

namespace {

using namespace node_test;
using platform::FaultFileSystem;
using platform::PowerLoss;
using storage_test::CrashFileSystem;
using storage_test::PowerCut;
using storage_test::TaskRunner;

// --- Two creates, one page -------------------------------------------------------------

struct TwoCreates {
  FaultFileSystem* fs = nullptr;
  Task* first = nullptr;
  Node* a = nullptr;
  Node* b = nullptr;
  bool b_done = false;
  Task* second = nullptr;
};
TwoCreates g_two;

class NodeTasks : public NodeFixture {
 protected:
  TaskRunner runner;
};

TEST_F(NodeTasks, ASecondCreateWaitsForThePageTheFirstIsAdding) {
  start();
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) ASSERT_NE(Node_Create(1), nullptr);
  Vol_Sync(Vol_TIO_SYNC);
  g_two = TwoCreates{};
  g_two.fs = &fs;
  ASSERT_EQ(tio_setup(), 0);
  fs.hold_flushes(true);
  auto first = [] {
    g_two.first = thread_self();
    g_two.a = Node_Create(2);  // adds page 2; sleeps in its flush
  };
  auto second = [] {
    while (g_two.first == nullptr || thread_wchan(g_two.first) == nullptr) thread_yield();
    g_two.second = thread_self();
    g_two.b = Node_Create(3);
    g_two.b_done = true;
  };
  auto releaser = [] {
    while (!g_two.b_done && (g_two.second == nullptr || thread_wchan(g_two.second) == nullptr))
      thread_yield();
    g_two.fs->hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({first, second, releaser}));
  tio_cleanup();
  ASSERT_NE(g_two.a, nullptr);
  ASSERT_NE(g_two.b, nullptr);
  EXPECT_EQ(Node_GetId(g_two.a), 245u);
  EXPECT_EQ(Node_GetId(g_two.b), 246u);
  EXPECT_EQ(Node_PageOf(g_two.a), Node_PageOf(g_two.b));
  EXPECT_EQ(node_pages(), 2u);
  EXPECT_EQ(num_nodes(), 147u);
  reopen();
  EXPECT_EQ(node_pages(), 2u);
  EXPECT_EQ(num_nodes(), 147u);
  EXPECT_EQ(Node_GetClusterSize(Node_Find(245)), 2);
  EXPECT_EQ(Node_GetClusterSize(Node_Find(246)), 3);
}

// A task meeting a log node held by another transaction waits on the node
// for the owner (the task that created it), which wakes it.
struct OwnerWait {
  Node* node = nullptr;
  Task* waiter = nullptr;
  int result = -2;
};
OwnerWait g_wait;

TEST_F(NodeTasks, AWaiterOnALogNodeSleepsUntilItsOwnerWakesIt) {
  start();
  g_wait = OwnerWait{};
  auto owner = [] {
    g_wait.node = Node_CreateLog(1);
    while (g_wait.waiter == nullptr || thread_wchan(g_wait.waiter) == nullptr) thread_yield();
    EXPECT_EQ(thread_wchan(g_wait.waiter), &g_wait.node->wait);
    Node_WakeUp(g_wait.node);
  };
  auto waiter = [] {
    while (g_wait.node == nullptr) thread_yield();
    EXPECT_EQ(g_wait.node->owner, thread_by_id(1));
    g_wait.waiter = thread_self();
    g_wait.result = Node_Wait(g_wait.node, __FILE__, __LINE__);
  };
  ASSERT_TRUE(runner.run({owner, waiter}));
  EXPECT_EQ(g_wait.result, 0);
}

// --- Power loss in a create ------------------------------------------------------------------

struct CreateCase {
  const char* name;
  int existing;  // nodes created and made durable before
  PowerLoss mode;
  int sync_mode;
  int seeds;
};
void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.name; }

class PowerLossInCreate : public NodeFixture, public ::testing::WithParamInterface<CreateCase> {
 protected:
  // What the disk holds: the chain from the root page is made of node
  // pages inside the set, each marked used, and the counters agree with
  // the slots (checked by the node layer as it reads them).
  void expect_sound_chain(const std::string& at) {
    VOLUME* root = &Vol_GetRootVol()[0];
    std::unordered_set<uint32_t> seen;
    for (uint32_t page = root->first_page; page != 0;) {
      ASSERT_TRUE(seen.insert(page).second) << at;
      ASSERT_LT(PAGE_NUMBER(page), root->curr_size) << at;
      uint32_t bit = 0;
      const Vol_FLMEM* fl = Vol_FlistFor(root, PAGE_NUMBER(page), &bit);
      ASSERT_NE(fl, nullptr) << at;
      EXPECT_FALSE(Vol_FlistIsFree(fl, bit)) << at << ": node page 0x" << std::hex << page
                                              << " is free in the bitmap";
      std::vector<uint8_t> b(Vol_PAGESIZE);
      Vol_ReadPage(page, b.data(), Vol_PAGESIZE);
      const Node_PAGE_HEAD h = Node_DecodePageHead(b.data());
      EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_NODE, page, &h.header), 0) << at;
      page = h.next_page;
    }
    EXPECT_EQ(root->free_size, Vol_CountFreePages(root)) << at;
  }
};

// The power fails before each write and flush of the create in turn; the
// set and its nodes open every time, the nodes made durable before are
// all there, the new one is there whole or not at all, and the root takes
// the next create and survives another close.
TEST_P(PowerLossInCreate, LeavesNodePagesThatOpen) {
  const CreateCase& c = GetParam();
  storage_test::sweep_power_cuts(c.name, c.mode, c.seeds, [&](FaultFileSystem&, CrashFileSystem& crash,
                                                              int n, const std::string& at, bool* cut) {
    write_set();
    open_set();
    ASSERT_EQ(Vol_SetSyncMode(c.sync_mode), 0);
    for (int i = 0; i < c.existing; ++i) ASSERT_NE(Node_Create(1), nullptr);
    Vol_Sync(Vol_TIO_SYNC);
    for (int id = 0; id < Vol_NumVolumes(); ++id) Vol_GetRootVol()[id].fhandle->datasync();
    const uint32_t new_id = Node_FIRSTNODE + static_cast<uint32_t>(c.existing);
    crash.arm(n);
    try {
      ASSERT_NE(Node_Create(5), nullptr);
    } catch (const PowerCut&) {
      *cut = true;
    }
    crash.arm(0);
    close_set();
    if (!*cut) {
      EXPECT_GT(n, 1) << c.name << ": the create wrote nothing";
      return;
    }
    open_set();
    expect_sound_chain(at);
    for (int i = 0; i < c.existing; ++i)
      ASSERT_NE(Node_Find(Node_FIRSTNODE + static_cast<uint32_t>(i)), nullptr) << at;
    Node* made = Node_Find(new_id);
    if (made != nullptr) {
      EXPECT_EQ(Node_GetClusterSize(made), 5) << at;
    }
    const uint32_t count = static_cast<uint32_t>(c.existing) + (made ? 1 : 0);
    EXPECT_EQ(num_nodes(), count) << at;
    Node* next = Node_Create(2);
    ASSERT_NE(next, nullptr) << at;
    EXPECT_EQ(Node_GetId(next), made ? new_id + 1 : new_id) << at;
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
    open_set();
    EXPECT_EQ(num_nodes(), count + 1) << at;
    expect_sound_chain(at);
    close_set();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, PowerLossInCreate,
    ::testing::Values(
        CreateCase{"FirstNodeOfTheRootUnsynced", 0, PowerLoss::DropUnflushed, 0, 1},
        CreateCase{"FirstNodeOfTheRootSynced", 0, PowerLoss::DropUnflushed, 1, 1},
        CreateCase{"NewNodePageUnsynced", Node_PAGE_NUMITEMS, PowerLoss::DropUnflushed, 0, 1},
        CreateCase{"NewNodePageSynced", Node_PAGE_NUMITEMS, PowerLoss::DropUnflushed, 1, 1},
        CreateCase{"NewNodePageTorn", Node_PAGE_NUMITEMS, PowerLoss::TearUnflushed, 0, 4},
        CreateCase{"ThirdNodePageTorn", 2 * Node_PAGE_NUMITEMS, PowerLoss::TearUnflushed, 1, 4}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
