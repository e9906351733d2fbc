// On-line backup redirection over a real volume set on the file double:
// the DATA file stays byte for byte as it was while writes, new clusters and
// extensions go on, the end writes everything home, and a power loss in
// backup mode, during the end's copy home, or a stop in backup mode, is
// recovered by the server's start to the acknowledged state.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/backup_redirect.h"
#include "storage/buffer_cache.h"
#include "storage/crash_file_system.h"
#include "storage/disk_bytes.h"
#include "storage/page_io.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"
#include "storage/server_stop.h"
#include "storage/syspool.h"
#include "storage/tagged_tx.h"
#include "support/set_check.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/sweep_stride.h"
#include "tools/volume_create.h"

namespace {

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";
constexpr int kBlocks = 8;
constexpr uint32_t kBlockSize = 600;
constexpr uint32_t kBigSize = 60000;  // a cluster of its own, 8 pages

using tagged_tx::put;
using tagged_tx::tag_of;
using tagged_tx::Tx;

class Backup : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&disk);
  }
  void TearDown() override {
    if (Vol_GetRootVol() != nullptr) stop();
    platform::set_file_system(nullptr);
  }

  // A small root volume, so that the workload extends it.
  void make_set() {
    ASSERT_NE(Vol_Create(kRoot, 400, 128, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog, VolType_LOG, 2048, log_ext, 0), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(buf_Init(nbufs, 256), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
    Node* pool = Pool_Create();
    ASSERT_NE(pool, nullptr);
    pool_id = Node_GetId(pool);
    for (int i = 0; i < kBlocks; ++i) {
      ASSERT_EQ(Pool_Alloc(pool, kBlockSize, &blocks[i], nullptr), 0);
      put(pool, blocks[i], 0, i, nullptr);
    }
    stop();
  }
  void start() {
    const char* paths[] = {kRoot, kLog};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(buf_Init(nbufs, 256), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(Tlog_Recover(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  }
  void stop() {
    for (Node* t : txs_)
      if (Node_RefCount(t) > 0) Node_Close(t);
    txs_.clear();
    storage_test::stop_as_server(disk.crashed());
  }
  void after_crash() {
    stop();
    disk.lose_power(platform::PowerLoss::TearUnflushed, seed);
  }

  Node* pool() { return Node_Find(pool_id); }

  // An empty disk and no work done, for a test that makes several sets.
  void fresh_disk() {
    disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
    disk.remove_file(kRoot);
    disk.remove_file(kLog);
    acked.clear();
    in_flight = Tx{0, {}, {}};
  }

  // Transactions from..to over the blocks; each also adds a big block in
  // a new cluster, which soon needs the small volume extended.
  void workload(int from, int to) {
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    txs_.push_back(tx);
    for (int k = from; k <= to; ++k) {
      Tx t{static_cast<uint32_t>(k), {k % kBlocks, (k * 3 + 1) % kBlocks}, {}};
      if (t.blocks[1] == t.blocks[0]) t.blocks.pop_back();
      ASSERT_EQ(Tlog_Begin(tx, "workload", t.id), 0);
      for (int j : t.blocks) put(pool(), blocks[j], t.id, j, tx);
      ASSERT_EQ(Pool_Alloc(pool(), kBigSize, &t.big, tx), 0);
      put(pool(), t.big, t.id, 99, tx);
      ASSERT_EQ(Tlog_Commit(tx), 0);
      const bool before_cut = !disk.crashed();
      if (before_cut) in_flight = t;
      Tlog_FinalCommit(tx);
      if (before_cut && !disk.crashed()) acked.push_back(t);
    }
  }

  void check(const std::string& at) {
    tagged_tx::check(pool(), blocks, kBlocks, &acked, &in_flight, at);
  }

  // A new set, started, transactions 1..last done, and backup mode begun
  // after them when asked.
  void fresh_start(int last, bool begin_backup) {
    fresh_disk();
    make_set();
    start();
    workload(1, last);
    if (begin_backup) {
      ASSERT_EQ(Vol_BeginRedirection(), 0);
    }
  }

  // Backup begun after some work, more work during it; the DATA file's
  // bytes when backup began.
  std::vector<uint8_t> begin_with_work() {
    workload(1, 3);
    EXPECT_EQ(Vol_BeginRedirection(), 0);
    std::vector<uint8_t> image = disk.contents(kRoot);
    workload(4, 14);
    return image;
  }

  platform::FaultFileSystem disk;
  uint32_t seed = 1;
  int nbufs = 256;  // cache buffers
  uint32_t log_ext = 512;  // LOG volume extension, 0 = none
  uint32_t pool_id = 0;
  Node_ADDR blocks[kBlocks];
  std::vector<Tx> acked;
  Tx in_flight{0, {}, {}};
  std::vector<Node*> txs_;
};

TEST_F(Backup, TheHashIsSizedToTheLargestPrimeBelowTwiceTheEntries) {
  ASSERT_EQ(Vol_InitRedirectionHash(1000), 0);
  EXPECT_EQ(Vol_RedirectionHashSize(), 1999);
  ASSERT_EQ(Vol_InitRedirectionHash(40000), 0);
  EXPECT_EQ(Vol_RedirectionHashSize(), 65521);
  EXPECT_EQ(Vol_InitRedirectionHash(0), -1);
  ASSERT_EQ(Vol_InitRedirectionHash(1000), 0);
}

TEST_F(Backup, DataFileStaysAsItWasWhileWritesGoOnAndTheEndWritesThemHome) {
  make_set();
  start();
  const std::vector<uint8_t> image = begin_with_work();
  {
    testsupport::LogCapture log("V0");
    EXPECT_EQ(Vol_BeginRedirection(), -1);
    EXPECT_TRUE(log.contains("On-line backup mode has already been initiated")) << log.text();
  }
  // A checkpoint and every dirty page written: all of it into LOG pages.
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  Vol_Sync(Vol_TIO_SYNC);
  EXPECT_GT(Vol_NumRedirections(), 0u);
  EXPECT_EQ(disk.contents(kRoot), image) << "the DATA file changed in backup mode";
  // Readers see the new pages, through the cache and, once it is emptied,
  // through the redirection.
  check("in backup mode");
  ASSERT_EQ(Vol_EndRedirection(), 0);
  EXPECT_EQ(Vol_RedirectionMode(), Vol_REDIR_OFF);
  EXPECT_EQ(Vol_IsRedirected(), 0);
  EXPECT_NE(disk.contents(kRoot), image);
  workload(15, 16);
  stop();
  start();
  check("after the end and a restart");
  EXPECT_EQ(Vol_IsRedirected(), 0);
}

// After the end, writes go home while the log still restates older LOG
// copies of the same pages: a power loss before the next regular
// checkpoint must not bring those copies back over the newer work.
TEST_F(Backup, WorkAfterTheEndSurvivesAPowerLossBeforeAnyCheckpoint) {
  make_set();
  start();
  begin_with_work();
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  workload(15, 17);
  ASSERT_EQ(Vol_EndRedirection(), 0);
  workload(18, 24);
  Vol_Sync(Vol_TIO_SYNC);  // the new work's pages on their home pages
  disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  after_crash();
  start();
  check("after a power loss following the end");
}

// A cache this small has every buffer dirty in backup mode: a redirected
// write then needs buffers for the log's do channel, which cannot write a
// redirected page to make room; the other requests keep a reserve clean.
TEST_F(Backup, AStopInBackupModeIsRecoveredByTheStart) {
  nbufs = 10;
  make_set();
  start();
  const std::vector<uint8_t> image = begin_with_work();
  stop();
  EXPECT_EQ(disk.contents(kRoot), image);
  testsupport::LogCapture log("V1");
  start();
  check("after a stop in backup mode");
  EXPECT_EQ(Vol_IsRedirected(), 0);
  workload(20, 21);
  stop();
  start();
  check("after a second restart");
}

// A pool made just before a power loss, in backup mode or not: the replay
// of its creation must make it a pool again, not a bare node.
TEST_F(Backup, APoolMadeBeforeAPowerLossIsStillAPool) {
  for (const bool in_backup : {true, false}) {
    SCOPED_TRACE(in_backup ? "in backup mode" : "outside backup mode");
    fresh_start(2, in_backup);
    Node* made = Pool_Create();
    ASSERT_NE(made, nullptr);
    const uint32_t made_id = Node_GetId(made);
    workload(3, 4);  // committed after it: the log naming it is on disk
    disk.crash_at(1, platform::PowerLoss::DropUnflushed);
    after_crash();
    start();
    check("after recovery");
    Node* found = Node_Find(made_id);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(Node_TestFlag(Node_POOLNODE, found));
    Node_ADDR a;
    ASSERT_EQ(Node_Open(found), 0);
    EXPECT_EQ(Pool_Alloc(found, 100, &a, nullptr), 0);
    Node_Close(found);
    stop();
  }
}

// A page read in backup mode before any write of it comes from the DATA
// file; written twice it has one LOG copy, which the second write
// overwrites; freeing the page drops its redirection, and its LOG
// copy is free again after the next checkpoint, not before.
TEST_F(Backup, APageWrittenTwiceHasOneCopyThatFreeingThePageGivesBack) {
  make_set();
  start();
  ASSERT_EQ(Vol_BeginRedirection(), 0);
  const Vol_PAGEADDR home = Vol_AllocPage(1, nullptr);
  ASSERT_NE(home, 0u);
  const uint32_t before = Vol_NumRedirections();
  std::vector<uint8_t> a(Vol_PAGESIZE, 0x11), b(Vol_PAGESIZE, 0x22), back(Vol_PAGESIZE);
  // Not written in backup mode yet: read from the DATA file, no copy made.
  const std::vector<uint8_t> file = disk.contents(kRoot);
  ASSERT_GE(file.size(), (PAGE_NUMBER(home) + 1) * size_t{Vol_PAGESIZE});
  ASSERT_EQ(Vol_ReadPage(home, back.data(), Vol_PAGESIZE), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), file.begin() + PAGE_NUMBER(home) * Vol_PAGESIZE));
  EXPECT_EQ(Vol_NumRedirections(), before);
  ASSERT_EQ(Vol_WritePage(home, a.data(), Vol_PAGESIZE), 0);
  ASSERT_EQ(Vol_NumRedirections(), before + 1);
  VOLUME* log = &Vol_GetRootVol()[1];
  ASSERT_EQ(log->type, VolType_LOG);
  Vol_PAGEADDR copy = 0;
  for (uint32_t p = 0; p < log->curr_size && copy == 0; ++p)
    if (Vol_IsRedirectCopy(Vol_PageAddr(log->volume_id, p))) copy = Vol_PageAddr(log->volume_id, p);
  ASSERT_NE(copy, 0u);
  ASSERT_EQ(Vol_WritePage(home, b.data(), Vol_PAGESIZE), 0);
  EXPECT_EQ(Vol_NumRedirections(), before + 1);
  EXPECT_TRUE(Vol_IsRedirectCopy(copy));
  ASSERT_EQ(Vol_ReadPage(home, back.data(), Vol_PAGESIZE), 0);
  EXPECT_EQ(back, b);
  ASSERT_EQ(Vol_ReadPage(copy, back.data(), Vol_PAGESIZE), 0);
  EXPECT_EQ(back, b);
  auto copy_free = [&] {
    uint32_t bit = 0;
    Vol_FLMEM* fl = Vol_FlistFor(log, PAGE_NUMBER(copy), &bit);
    return Vol_FlistIsFree(fl, bit) != 0;
  };
  Vol_FreePage(home, 1);
  EXPECT_EQ(Vol_NumRedirections(), before);
  EXPECT_FALSE(Vol_IsRedirectCopy(copy));
  EXPECT_FALSE(copy_free());
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  EXPECT_TRUE(copy_free());
  ASSERT_EQ(Vol_EndRedirection(), 0);
}

// A volume extended twice in backup mode: its file keeps its bytes and its
// size until the end carries the extensions out, as one (the restatement
// at a checkpoint names the volume once, at its latest size); after a power
// loss in backup mode the start carries it out from that one record.
// Either way the pages added are used afterwards and counted once.
TEST_F(Backup, AVolumeExtendedTwiceInBackupModeGrowsItsFileOnceAtTheEnd) {
  for (const bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "power lost in backup mode" : "backup ended");
    fresh_start(3, true);
    const uint32_t size_before = Vol_GetRootVol()->curr_size;
    const std::vector<uint8_t> image = disk.contents(kRoot);
    int next = 4;
    std::vector<uint32_t> sizes{size_before};
    while (sizes.size() < 3 && next < 400) {
      workload(next, next);
      ++next;
      if (Vol_GetRootVol()->curr_size != sizes.back()) sizes.push_back(Vol_GetRootVol()->curr_size);
    }
    ASSERT_EQ(sizes.size(), 3u) << "the workload did not extend the volume twice";
    const uint32_t grown = sizes.back();
    workload(next, next + 1);  // the new pages in use
    next += 2;
    ASSERT_EQ(Vol_GetRootVol()->curr_size, grown) << "a third extension";
    ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    Vol_Sync(Vol_TIO_SYNC);
    EXPECT_EQ(disk.contents(kRoot), image) << "the DATA file changed in backup mode";
    check("extended in backup mode");
    {
      testsupport::LogCapture log("V3");
      if (cut) {
        disk.crash_at(1, platform::PowerLoss::DropUnflushed);
        after_crash();
        start();
        // The checkpoint's restatement: one record for the volume.
        EXPECT_EQ(log.count("Vol_RecoverExtendAction("), 1) << log.text();
        EXPECT_TRUE(log.contains("Vol_RecoverExtendAction() volume_id=0, curr_size=" +
                                 std::to_string(grown) + ", free_count=0"))
            << log.text();
      } else {
        ASSERT_EQ(Vol_EndRedirection(), 0);
        EXPECT_EQ(log.count("has been extended by"), 1) << log.text();
        EXPECT_TRUE(log.contains("Note: Volume #0 has been extended by " +
                                 std::to_string(grown - size_before) + " pages"))
            << log.text();
      }
    }
    EXPECT_EQ(Vol_IsRedirected(), 0);
    EXPECT_EQ(Vol_GetRootVol()->curr_size, grown);
    EXPECT_EQ(disk.contents(kRoot).size(), static_cast<size_t>(grown) * Vol_PAGESIZE);
    check("after the extension was carried out");
    workload(next, next + 3);  // more pages of the extensions
    stop();
    start();
    EXPECT_EQ(Vol_GetRootVol()->curr_size, grown);
    check("after a restart");
    stop();
    testsupport::expect_set_consistent({kRoot, kLog}, cut ? "power lost" : "backup ended");
  }
}

// A volume setting changed and made durable by a checkpoint survives a
// power loss, in backup mode as out of it: the start's replay writes the
// copy of the descriptor home, and what it says of the settings is kept,
// not written over with the settings read at open.
TEST_F(Backup, ASettingMadeDurableInBackupModeSurvivesAPowerLoss) {
  constexpr uint32_t kExt = 96, kMax = 5000;
  const uint32_t usevio = 1u << Vol_USEVIO;
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "in backup mode" : "not in backup mode");
    fresh_start(3, backup);
    workload(4, 5);
    ASSERT_EQ(Vol_ChangeProperties(kRoot, usevio, usevio, Vol_UNCHANGED, kExt, kMax), 0);
    ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    workload(6, 7);
    disk.crash_at(1, platform::PowerLoss::DropUnflushed);
    after_crash();
    for (const char* at : {"after the power loss", "after a restart"}) {
      SCOPED_TRACE(at);
      start();
      const VOLUME* v = Vol_GetRootVol();
      EXPECT_EQ(v->ext_size, kExt);
      EXPECT_EQ(v->max_size, kMax);
      EXPECT_TRUE(Vol_TestFlag(Vol_USEVIO, &v->header));
      check(at);
      stop();
    }
    testsupport::expect_set_consistent({kRoot, kLog}, backup ? "backup" : "no backup");
  }
}

// A write in backup mode that finds no LOG page for its copy fails with
// status 20 and changes nothing; once pages are free again it goes on, and
// its copy is logged: a power loss then finds it written home.
TEST_F(Backup, AWriteThatFindsNoLogPageFailsWithStatus20) {
  log_ext = 0;
  make_set();
  start();
  ASSERT_EQ(Vol_BeginRedirection(), 0);
  VOLUME* root = Vol_GetRootVol();
  const Vol_PAGEADDR home = Vol_AllocPage(2, nullptr);
  ASSERT_NE(home, 0u);
  std::vector<Vol_PAGEADDR> hoard;
  while (Vol_PAGEADDR p = Vol_AllocPage(1, Vol_GetTlogAldesc())) hoard.push_back(p);
  ASSERT_FALSE(hoard.empty());
  const std::vector<uint8_t> image = disk.contents(kRoot);
  std::vector<uint8_t> a(Vol_PAGESIZE, 0x5A), b(Vol_PAGESIZE, 0xA5);
  const void* both[] = {a.data(), b.data()};
  {
    testsupport::LogCapture log("V0");
    EXPECT_EQ(Vol__Write(root, PAGE_NUMBER(home), a.data(), Vol_PAGESIZE, nullptr), -1);
    EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
    EXPECT_EQ(Vol_WriteVector(root, PAGE_NUMBER(home), 2, both), -1);
    EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
    EXPECT_TRUE(log.contains("Vol_RedirectPage() failed: LOG volume exhausted")) << log.text();
  }
  EXPECT_EQ(Vol_NumRedirections(), 0u);
  for (Vol_PAGEADDR p : hoard) Vol_FreePage(p, 1);
  ASSERT_EQ(Vol_WriteVector(root, PAGE_NUMBER(home), 2, both), 0);
  EXPECT_EQ(Vol_NumRedirections(), 2u);
  std::vector<uint8_t> back(Vol_PAGESIZE);
  ASSERT_EQ(Vol_ReadPage(home + 1, back.data(), Vol_PAGESIZE), 0);
  EXPECT_EQ(back, b);
  Vol_Sync(Vol_TIO_SYNC);
  EXPECT_EQ(disk.contents(kRoot), image) << "the DATA file changed in backup mode";
  disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  after_crash();
  start();
  const std::vector<uint8_t> now = disk.durable_contents(kRoot);
  ASSERT_GE(now.size(), (PAGE_NUMBER(home) + 2) * size_t{Vol_PAGESIZE});
  EXPECT_TRUE(std::equal(a.begin(), a.end(), now.begin() + PAGE_NUMBER(home) * Vol_PAGESIZE));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), now.begin() + (PAGE_NUMBER(home) + 1) * Vol_PAGESIZE));
  check("after recovery");
}

// Node pages, volume descriptors and free-list pages written in backup
// mode when no LOG page is left for their copies: each write is kept back
// with status 20 and stays pending, a checkpoint keeps the log that covers
// them, and once LOG pages are free again the pending writes go out; a
// power loss then finds every acknowledged transaction and the change.
struct KeptBackCase {
  const char* name;
  void (*change)();        // makes the kind's page pending
  int (*write)();          // writes it: -1 when kept back
  bool (*pending)();       // the page still waits to be written
};

VOLUME* root_volume() { return Vol_GetRootVol(); }
bool any_free_list_page_dirty() {
  for (const Vol_FLMEM* fl = root_volume()->flmem_head; fl != nullptr; fl = fl->next)
    if (Vol_TestFlag(Vol_DIRTY, fl->image)) return true;
  return false;
}
Node* g_kept_node = nullptr;
constexpr uint32_t kKeptExtSize = 96;

const KeptBackCase kKeptBack[] = {
    {"NodePage", [] { Node_SetDirty(g_kept_node); }, [] { return Node_Sync(g_kept_node); },
     [] { return Node_IsDirty(g_kept_node) != 0; }},
    {"VolumeDescriptor",
     [] { ASSERT_EQ(Vol_SetExtensionSize(root_volume(), kKeptExtSize), 0); },
     [] {
       Vol_FlushDescriptor(root_volume());
       return Vol_TestFlag(Vol_DIRTY, &root_volume()->header) != 0 ? -1 : 0;
     },
     [] { return Vol_TestFlag(Vol_DIRTY, &root_volume()->header) != 0; }},
    {"FreeListPage",
     [] {
       const Vol_PAGEADDR p = Vol_AllocPage(1, nullptr);
       ASSERT_NE(p, 0u);
       Vol_FreePage(p, 1);
     },
     [] {
       Vol_SyncFreeList();
       return any_free_list_page_dirty() ? -1 : 0;
     },
     any_free_list_page_dirty},
};

TEST_F(Backup, AWriteBackThatFindsNoLogPageStaysPendingAndNothingIsLost) {
  for (const KeptBackCase& k : kKeptBack) {
    SCOPED_TRACE(k.name);
    log_ext = 0;
    fresh_start(3, true);
    workload(4, 6);  // committed, its pages dirty in the cache
    ASSERT_EQ(Node_Open(pool()), 0);
    g_kept_node = pool();
    std::vector<Vol_PAGEADDR> hoard;
    while (Vol_PAGEADDR p = Vol_AllocPage(1, Vol_GetTlogAldesc())) hoard.push_back(p);
    ASSERT_FALSE(hoard.empty());
    k.change();
    {
      testsupport::LogCapture log("V0");
      EXPECT_EQ(k.write(), -1);
      EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
      EXPECT_TRUE(k.pending());
      EXPECT_TRUE(log.contains("Vol_RedirectPage() failed: LOG volume exhausted")) << log.text();
      // The log covering what is only in memory must stay.
      EXPECT_EQ(Tlog_Checkpoint("Checkpoint"), -1);
    }
    for (Vol_PAGEADDR p : hoard) Vol_FreePage(p, 1);
    EXPECT_EQ(k.write(), 0);
    EXPECT_FALSE(k.pending());
    Node_Close(g_kept_node);
    ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
    workload(7, 8);
    disk.crash_at(1, platform::PowerLoss::DropUnflushed);
    after_crash();
    start();
    check("after a power loss once the LOG pages were back");
    stop();
    testsupport::expect_set_consistent({kRoot, kLog}, k.name);
  }
}

// The same, a write of the cache or of a checkpoint's write-back: the
// checkpoint that finds pages kept back fails and keeps its interval in
// the log; a power loss before any later checkpoint loses nothing.
TEST_F(Backup, ACheckpointThatKeepsPagesBackKeepsItsLog) {
  log_ext = 0;
  make_set();
  start();
  workload(1, 3);
  ASSERT_EQ(Vol_BeginRedirection(), 0);
  workload(4, 9);
  std::vector<Vol_PAGEADDR> hoard;
  while (Vol_PAGEADDR p = Vol_AllocPage(1, Vol_GetTlogAldesc())) hoard.push_back(p);
  // LOG pages given back one at a time: at first the checkpoint's own log
  // records find none; then its records fit and some data pages do not.
  bool kept_back = false;
  while (!kept_back && !hoard.empty()) {
    Vol_FreePage(hoard.back(), 1);
    hoard.pop_back();
    testsupport::LogCapture log("V1");
    const int rc = Tlog_Checkpoint("Checkpoint");
    kept_back = log.contains("Vol_SyncDataDurably(): pages kept back in on-line backup mode");
    if (kept_back) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
    } else {
      ASSERT_EQ(rc, -1) << "every page went out: the test kept nothing back";
    }
  }
  ASSERT_TRUE(kept_back);
  for (Vol_PAGEADDR p : hoard) Vol_FreePage(p, 1);
  disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  after_crash();
  start();
  check("after a power loss following a checkpoint that kept pages back");
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "kept back");
}

// Power lost at each write or flush, within backup mode (with a checkpoint
// in it) or within the end's copy home: the start recovers every
// acknowledged transaction, and the set goes on.
struct CutCase {
  const char* name;
  bool in_end;
  int step;  // cuts at writes or flushes 1, 1 + step, ... (and see below)
};

class BackupPowerLoss : public Backup, public ::testing::WithParamInterface<CutCase> {
 protected:
  // The scenario, with the power lost at its n-th write or flush from the
  // point the case arms (0: never). Whether the power went.
  bool scenario(const CutCase& c, int n) {
    fresh_disk();
    seed = static_cast<uint32_t>(n);
    make_set();
    start();
    workload(1, 3);
    EXPECT_EQ(Vol_BeginRedirection(), 0);
    if (!c.in_end) arm(n);
    workload(4, 9);
    if (!disk.crashed()) { EXPECT_EQ(Tlog_Checkpoint("Checkpoint"), 0); }
    if (!disk.crashed()) workload(10, 12);
    if (c.in_end && !disk.crashed()) arm(n);
    if (!disk.crashed()) Vol_EndRedirection();
    return disk.crashed();
  }
  void arm(int n) {
    if (n > 0) disk.crash_at(n, platform::PowerLoss::TearUnflushed, seed);
    recording_ = true;
  }

  // The kind of each write and flush of the scenario from its armed point
  // on, in order: the file, and for a write what the page is (descriptor
  // copy, free-list page, LOG copy of a redirected page, or any other).
  std::vector<std::string> kinds_of_points(const CutCase& c) {
    std::vector<std::string> kinds;
    storage_test::CrashFileSystem watch(&disk);
    watch.observe_ops([&](const char* path, bool flush, uint64_t offset) {
      if (!recording_) return;
      kinds.push_back(kind_of(path, flush, offset));
    });
    platform::set_file_system(&watch);
    recording_ = false;
    scenario(c, 0);
    stop();
    recording_ = false;
    platform::set_file_system(&disk);
    return kinds;
  }

  static std::string kind_of(const char* path, bool flush, uint64_t offset) {
    const std::string file = std::string(path) == kRoot ? "DATA" : "LOG";
    if (flush) return file + " flush";
    const uint32_t page = static_cast<uint32_t>(offset / Vol_PAGESIZE);
    if (page == Vol_DESC_PAGE || page == Vol_DESC_COPY_PAGE) return file + " descriptor";
    VOLUME* table = Vol_GetRootVol();
    for (int id = 0; table != nullptr && id < Vol_NumVolumes(); ++id) {
      if (table[id].fhandle == nullptr || std::string(table[id].path) != path) continue;
      const Vol_PAGEADDR addr = Vol_PageAddr(table[id].volume_id, page);
      for (const Vol_FLMEM* fl = table[id].flmem_head; fl != nullptr; fl = fl->next)
        if (fl->page == addr) return file + " free-list page";
      if (Vol_IsRedirectCopy(addr)) return file + " copy of a redirected page";
    }
    return file + " page";
  }

  bool recording_ = false;
};

// The race detector slows every write some tenfold: it sweeps every fifth
// of the cut points (the other build sweeps them all).
const int kSweepStride = testsupport::sweep_stride(5);

// A sampled sweep (step above 1) cuts at 1, 1 + step, ... and also at the
// first and last point of every kind of write and flush, so that no kind
// falls between the samples.
TEST_P(BackupPowerLoss, TheStartRecoversTheAcknowledgedState) {
  const CutCase c = GetParam();
  const int stride = c.step * kSweepStride;
  std::set<int> points;
  if (stride > 1) {
    const std::vector<std::string> kinds = kinds_of_points(c);
    ASSERT_FALSE(kinds.empty());
    std::map<std::string, std::pair<int, int>> span;  // first and last point of each kind
    std::map<std::string, std::pair<int, int>> seen;  // points of each kind, on the stride
    for (int i = 0; i < static_cast<int>(kinds.size()); ++i) {
      auto [it, fresh] = span.try_emplace(kinds[i], i + 1, i + 1);
      it->second.second = i + 1;
      ++seen[kinds[i]].first;
      if (i % stride == 0) ++seen[kinds[i]].second;
    }
    for (int n = 1; n <= static_cast<int>(kinds.size()); n += stride) points.insert(n);
    std::string told;
    for (const auto& [kind, ends] : span) {
      points.insert(ends.first);
      points.insert(ends.second);
      told += " [" + kind + " " + std::to_string(seen[kind].second) + "/" +
              std::to_string(seen[kind].first) + "]";
    }
    points.insert(static_cast<int>(kinds.size()) + 1);  // past the last: no cut
    fprintf(stderr, "%s: %zu of %zu cut points, kinds:%s\n", c.name, points.size() - 1,
            kinds.size(), told.c_str());
  }
  for (int n = 1;; n = stride > 1 ? *points.upper_bound(n) : n + 1) {
    const std::string at = std::string(c.name) + ": power lost at write or flush " + std::to_string(n);
    if (!scenario(c, n)) {
      stop();
      break;
    }
    after_crash();
    start();
    check(at + ": after recovery");
    if (HasFatalFailure()) return;
    EXPECT_EQ(Vol_IsRedirected(), 0) << at;
    workload(30, 31);
    stop();
    start();
    check(at + ": after a clean restart");
    stop();
    testsupport::expect_set_consistent({kRoot, kLog}, at);
    if (stride > 1 && points.upper_bound(n) == points.end()) break;
  }
}

std::string cut_case_name(const ::testing::TestParamInfo<CutCase>& p) { return p.param.name; }

// Every write and flush of the end: the LOG volume's flag goes off on disk
// only after the pages written home are.
INSTANTIATE_TEST_SUITE_P(Harness, BackupPowerLoss,
                         ::testing::Values(CutCase{"InTheEndsCopyHome", true, 1}), cut_case_name);

// Cuts inside backup mode: a new cluster of the transaction that was cut,
// listed at pre-commit ahead of its pages on disk, must not stay listed with
// a zeroed header (a Pool_SeekBlock on it would stop the server). Every
// eighth of some 780 points, and the first and last of each kind (the
// stride alone met no descriptor write and no LOG free-list page write).
INSTANTIATE_TEST_SUITE_P(InBackup, BackupPowerLoss,
                         ::testing::Values(CutCase{"InBackupMode", false, 8}), cut_case_name);

}  // namespace
