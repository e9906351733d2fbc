// B-trees under tasks and power loss: a writer waits for the node lock that
// a reader holds while its page is being read from disk; a power loss while
// keys are inserted outside a transaction (volume extensions written in
// mid-run) leaves the tree as the last sync wrote it, and the set goes on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "index/btree_fixture.h"
#include "storage/crash_file_system.h"
#include "storage/power_cut_sweep.h"
#include "storage/task_runner.h"

namespace btree_test {
namespace {

using platform::FaultFileSystem;
using platform::PowerLoss;
using storage_test::CrashFileSystem;
using storage_test::PowerCut;
using storage_test::TaskRunner;

std::string key_of(int i) {
  char b[16];
  snprintf(b, sizeof b, "%08d", i);
  return b;
}

// --- A reader in I/O holds off a writer -----------------------------------------------------

struct ReadWrite {
  FaultFileSystem* fs = nullptr;
  Node* node = nullptr;
  btree_HANDLE* reader = nullptr;
  btree_HANDLE* writer = nullptr;
  Task* reader_task = nullptr;
  Task* writer_task = nullptr;
  int get_rc = -2;
  int put_rc = -2;
  int order = 0;
  int get_done = 0;
  int put_done = 0;
  int lock_state_seen = -1;
};
ReadWrite g_rw;

class BtreeTasks : public BtreeFixture {
 protected:
  TaskRunner runner;
};

TEST_F(BtreeTasks, AWriterWaitsForAReaderSuspendedInARead) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  reopen_all();  // nothing cached: the reader's descent reads from disk
  btree_CTX reader_ctx;
  btree_CTX writer_ctx;
  g_rw = ReadWrite{};
  g_rw.fs = &fs;
  g_rw.node = node_;
  g_rw.reader = open(&reader_ctx);
  g_rw.writer = open(&writer_ctx);
  ASSERT_EQ(tio_setup(), 0);
  fs.hold_transfers(true);
  auto reader = [] {
    g_rw.reader_task = thread_self();
    g_rw.get_rc = BtreeFixture::get(g_rw.reader, key_of(1234));
    g_rw.get_done = ++g_rw.order;
  };
  auto writer = [] {
    while (g_rw.reader_task == nullptr || thread_wchan(g_rw.reader_task) == nullptr) thread_yield();
    g_rw.writer_task = thread_self();
    g_rw.put_rc = BtreeFixture::put(g_rw.writer, key_of(1234) + "x", "d");
    g_rw.put_done = ++g_rw.order;
  };
  auto releaser = [] {
    while (g_rw.writer_task == nullptr || thread_wchan(g_rw.writer_task) == nullptr) thread_yield();
    g_rw.lock_state_seen = Node_LockState(g_rw.node);
    g_rw.fs->hold_transfers(false);
  };
  ASSERT_TRUE(runner.run({reader, writer, releaser}));
  tio_cleanup();
  EXPECT_EQ(g_rw.lock_state_seen, 2);  // the reader's shared lock, the writer queued
  EXPECT_EQ(g_rw.get_rc, 0);
  EXPECT_EQ(g_rw.put_rc, 0);
  EXPECT_EQ(g_rw.get_done, 1);
  EXPECT_EQ(g_rw.put_done, 2);
  EXPECT_EQ(Node_LockState(node_), 0);
  expect_sound(g_rw.writer);
}

// --- Power loss during inserts outside a transaction ------------------------------------

struct LossCase {
  const char* name;
  PowerLoss mode;
  int seeds;
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class BtreePowerLoss : public node_test::NodeFixture, public ::testing::WithParamInterface<LossCase> {
 protected:
  // The cache first: pages pinned when the power went are dropped with it.
  void abandon_set() {
    buf_Exit();
    if (Vol_GetRootVol() != nullptr) {
      Vol_Close();
      Vol_Free();
    }
  }
};

// The power fails before each write and flush of a run of inserts that
// extends the volume twice; the cache holds every changed page, so the
// tree on disk is the one of the last sync. After reopening, the tree
// checks out, holds exactly the synced keys, and takes new ones.
TEST_P(BtreePowerLoss, InsertsLeaveTheLastSyncedTree) {
  const LossCase& c = GetParam();
  const std::string big(3990, 'B');
  storage_test::sweep_power_cuts(c.name, c.mode, c.seeds, [&](FaultFileSystem& disk, CrashFileSystem& crash,
                                                              int n, const std::string& at, bool* cut) {
    write_set(Vol_MINPAGES, 64);
    open_set(1024);
    ASSERT_EQ(btree_Init(), 0);
    uint32_t id = 0;
    ASSERT_NE(btree_Create(0, nullptr, &id), nullptr);
    btree_CTX ctx;
    btree_HANDLE* t = btree_OpenNode(Node_Find(id), &ctx, 0);
    ASSERT_NE(t, nullptr);
    std::set<std::string> synced;
    for (int i = 0; i < 400; i += 2) {
      ASSERT_EQ(BtreeFixture::put(t, key_of(i), "d"), 0);
      synced.insert(key_of(i));
    }
    Vol_Sync(Vol_TIO_SYNC);
    for (int v = 0; v < Vol_NumVolumes(); ++v) Vol_GetRootVol()[v].fhandle->datasync();
    crash.arm(n);
    try {
      // About 300 pages more than the volume's 320: two extensions.
      for (int i = 1; i < 1200; i += 2) ASSERT_EQ(BtreeFixture::put(t, key_of(i) + big, "d"), 0);
    } catch (const PowerCut&) {
      *cut = true;
    }
    crash.arm(0);
    if (!*cut) {
      EXPECT_GT(n, 1) << c.name << ": the inserts wrote nothing";
      disk.lose_power(c.mode, 1);
    }
    drop_handle(t);
    abandon_set();
    open_set(1024);
    ASSERT_EQ(btree_Init(), 0);
    btree_CTX ctx2;
    t = open_checked(id, &ctx2, at);
    ASSERT_NE(t, nullptr);
    const auto entries = leaf_entries(t);
    ASSERT_EQ(entries.size(), synced.size()) << at;
    auto it = synced.begin();
    for (const auto& e : entries) EXPECT_EQ(e.first, *it++) << at;
    EXPECT_EQ(Vol_GetRootVol()[0].free_size, Vol_CountFreePages(&Vol_GetRootVol()[0])) << at;
    // The set goes on: more keys, a sync, a reopen.
    for (int i = 1; i < 200; i += 2) ASSERT_EQ(BtreeFixture::put(t, key_of(i) + "n", "d"), 0) << at;
    btree_CloseNode(t);
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
    open_set(1024);
    ASSERT_EQ(btree_Init(), 0);
    t = btree_OpenNode(Node_Find(id), &ctx2, 0);
    ASSERT_NE(t, nullptr) << at;
    const CheckResult again = check_tree(t);
    EXPECT_TRUE(again.ok()) << at << "\n" << again.text();
    EXPECT_EQ(again.entries, synced.size() + 100) << at;
    btree_CloseNode(t);
    close_set();
  });
}

INSTANTIATE_TEST_SUITE_P(Btree, BtreePowerLoss,
                         ::testing::Values(LossCase{"DropUnflushed", PowerLoss::DropUnflushed, 1},
                                           LossCase{"TearUnflushed", PowerLoss::TearUnflushed, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace btree_test
