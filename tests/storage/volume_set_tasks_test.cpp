// Volume set under tasks: the flush of an extension suspends its task, and
// the other tasks go on meanwhile. Their syncs still flush, whatever needs
// the descriptor on disk waits for the extension, and the new pages reach
// no other task before copy 0 says they exist; a power loss at any moment
// keeps what was acknowledged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/task_kernel.h"
#include "platform/fault_file.h"
#include "platform/file.h"
#include "storage/crash_file_system.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"

namespace {

using platform::FaultFileSystem;
using storage_test::CrashFileSystem;
using storage_test::TaskRunner;
using testsupport::VolumeSetSpec;

const std::string kRoot = "/v/root.vol";
const std::string kLog = "/v/log.vol";
const uint32_t kLogVol = 1u << 24;

FaultFileSystem* g_fs = nullptr;

Vol_PAGEADDR alloc_data(int count) { return Vol_AllocPage(count, nullptr); }
Vol_PAGEADDR alloc_log(int count) { return Vol_AllocPage(count, Vol_GetTlogAldesc()); }

VOLUME* open_set(const std::vector<std::string>& paths) {
  std::vector<const char*> c;
  for (const std::string& p : paths) c.push_back(p.c_str());
  return Vol_Open(static_cast<int>(c.size()), c.data(), 0);
}

void close_set() {
  if (Vol_GetRootVol() == nullptr) return;
  Vol_Close();
  Vol_Free();
}

bool consistent(const VOLUME& v) { return Vol_TestFlag(Vol_CONSISTENT, &v.header) != 0; }

// Copy (0 or 1) of a descriptor as a power loss now would leave it.
VOLUME durable_descriptor(const std::string& path, int copy) {
  const std::vector<uint8_t> bytes = g_fs->durable_contents(path);
  const size_t at = static_cast<size_t>(copy == 0 ? 0 : Vol_DESC_COPY_PAGE) * Vol_PAGESIZE;
  VOLUME v;
  if (bytes.size() >= at + Vol_PAGESIZE) Vol_DecodeDescriptor(bytes.data() + at, &v);
  return v;
}

// Page n of a file as a power loss now would leave it.
std::vector<uint8_t> durable_page(const std::string& path, uint32_t n) {
  const std::vector<uint8_t> bytes = g_fs->durable_contents(path);
  const size_t at = static_cast<size_t>(n) * Vol_PAGESIZE;
  if (bytes.size() < at + Vol_PAGESIZE) return {};
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                              bytes.begin() + static_cast<long>(at + Vol_PAGESIZE));
}

std::vector<uint8_t> pattern(uint8_t b) { return std::vector<uint8_t>(Vol_PAGESIZE, b); }

// A task waits until vol has grown in memory: its extender then sleeps in
// the extension's first flush (the zero fill before it does not suspend).
void wait_for_growth(const VOLUME* vol, uint32_t from) {
  while (vol->curr_size == from) thread_yield();
}

// A set whose root and LOG volume (320 pages each, extension size 2) are
// full, with their root pages set, in sync mode 1; every write flushed.
class ExtensionTasks : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    g_fs = &fs;
    platform::set_file_system(&fs);
    spec.volumes = {{kRoot, VolType_DATA, 320, 2}, {kLog, VolType_LOG, 320, 2}};
  }
  void TearDown() override {
    close_set();
    platform::set_file_system(nullptr);
    g_fs = nullptr;
  }
  std::vector<std::string> paths() const { return {kRoot, kLog}; }
  void open_full_set(bool with_root_pages = true) {
    ASSERT_EQ(testsupport::write_volume_set(spec), 0);
    ASSERT_NE(open_set(paths()), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    if (with_root_pages) {
      ASSERT_EQ(alloc_data(1), 2u);
      ASSERT_EQ(alloc_log(1), kLogVol | 2);
    }
    for (uint32_t p = 2; p < Vol_DESC_COPY_PAGE; ++p) {
      Vol_MarkPageUsed(p, 1);
      Vol_MarkPageUsed(kLogVol | p, 1);
    }
    Vol_Sync(Vol_TIO_SYNC);
  }

  FaultFileSystem fs;
  VolumeSetSpec spec;
  TaskRunner runner;
};

// --- Work of another task while an extension waits in its flush ---------------

struct WorkCase {
  const char* name;
  bool log;               // the LOG volume extends, else the root
  void (*before)();       // on the open set, before the tasks start
  void (*work)();         // the other task, while the extension's flush is held
  void (*check)();        // what its work promises, on the disk, once it returns
};
void PrintTo(const WorkCase& c, std::ostream* os) { *os << c.name; }

struct WorkRun {
  const WorkCase* c = nullptr;
  Task* worker = nullptr;
  bool worker_done = false;
  Vol_PAGEADDR extended = 0;
  uint32_t copy0_size_while_held = 0;
};
WorkRun g_work;

const VOLUME* extending_volume() { return &Vol_GetRootVol()[g_work.c->log ? 1 : 0]; }
const std::string& extending_path() { return g_work.c->log ? kLog : kRoot; }

// The descriptor of the extending volume on disk names the new pages.
void expect_descriptor_on_disk() {
  EXPECT_EQ(durable_descriptor(extending_path(), 0).curr_size, 322u);
}

class WorkDuringAnExtension : public ExtensionTasks,
                              public ::testing::WithParamInterface<WorkCase> {};

// The extender's flush is held; another task does its work and is checked
// the moment its call returns; a third lets the flushes go once that task
// sleeps (or has returned without sleeping).
TEST_P(WorkDuringAnExtension, KeepsItsPromisesAndCopyZeroWaits) {
  const WorkCase& c = GetParam();
  open_full_set();
  if (c.before) c.before();
  g_work = WorkRun{};
  g_work.c = &c;
  ASSERT_EQ(tio_setup(), 0);
  fs.hold_flushes(true);
  auto extender = [] { g_work.extended = g_work.c->log ? alloc_log(1) : alloc_data(1); };
  auto worker = [] {
    wait_for_growth(extending_volume(), 320);
    g_work.worker = thread_self();
    g_work.c->work();
    g_work.c->check();
    g_work.worker_done = true;
  };
  auto releaser = [] {
    while (!g_work.worker_done &&
           (g_work.worker == nullptr || thread_wchan(g_work.worker) == nullptr))
      thread_yield();
    // Until the extension's pages are on disk, copy 0 does not name them.
    g_work.copy0_size_while_held = durable_descriptor(extending_path(), 0).curr_size;
    g_fs->hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({extender, worker, releaser}));
  tio_cleanup();
  EXPECT_TRUE(g_work.worker_done);
  EXPECT_EQ(g_work.copy0_size_while_held, 320u);
  EXPECT_EQ(g_work.extended, (c.log ? kLogVol : 0u) | 320u);
  for (int copy : {0, 1}) EXPECT_EQ(durable_descriptor(extending_path(), copy).curr_size, 322u);
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, WorkDuringAnExtension,
    ::testing::Values(
        // The LOG volume is not synced: only the root's flush can make the
        // page durable.
        WorkCase{"SyncFlushesAndWritesTheDescriptor", false,
                 [] { Vol_ClearFlag(Vol_LSYNC, &Vol_GetRootVol()[1].header); },
                 [] {
                   ASSERT_EQ(Vol_WritePage(5, pattern(0x55).data(), Vol_PAGESIZE), 0);
                   Vol_Sync(Vol_TIO_SYNC);
                 },
                 [] {
                   EXPECT_EQ(durable_page(kRoot, 5), pattern(0x55));
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"SyncDataFlushesTheWrittenPage", false, nullptr,
                 [] {
                   ASSERT_EQ(Vol_WritePage(5, pattern(0x56).data(), Vol_PAGESIZE), 0);
                   Vol_SyncData(Vol_TIO_SYNC);
                 },
                 [] {
                   EXPECT_EQ(durable_page(kRoot, 5), pattern(0x56));
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"TlogSyncFlushesTheWrittenLogPage", true, nullptr,
                 [] {
                   ASSERT_EQ(Vol_WritePage(kLogVol | 5, pattern(0x57).data(), Vol_PAGESIZE), 0);
                   Vol_TlogSync(Vol_TIO_SYNC);
                 },
                 [] {
                   EXPECT_EQ(durable_page(kLog, 5), pattern(0x57));
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"FlushDescriptorWritesTheChange", false, nullptr,
                 [] {
                   ASSERT_EQ(Vol_SetMaximumSize(Vol_GetRootVol(), 1000), 0);
                   Vol_FlushDescriptor(Vol_GetRootVol());
                 },
                 [] {
                   EXPECT_EQ(durable_descriptor(kRoot, 0).max_size, 1000u);
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"ClearConsistentReachesCopyZero", false, nullptr,
                 [] { Vol_ClearConsistent(); },
                 [] {
                   EXPECT_FALSE(consistent(durable_descriptor(kRoot, 0)));
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"SetConsistentReachesCopyZero", false, [] { Vol_ClearConsistent(); },
                 [] { Vol_SetConsistent(); },
                 [] {
                   EXPECT_TRUE(consistent(durable_descriptor(kRoot, 0)));
                   expect_descriptor_on_disk();
                 }},
        WorkCase{"FreeOfTheRootPageReachesCopyZero", false, nullptr,
                 [] { Vol_FreePage(2, 1); },
                 [] {
                   // No longer the root page on disk (the extender's page
                   // may have become it meanwhile).
                   EXPECT_NE(durable_descriptor(kRoot, 0).first_page, 2u);
                   expect_descriptor_on_disk();
                 }}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Allocations beside an extension ---------------------------------------------

struct AllocRun {
  Vol_PAGEADDR page[2] = {};
  uint32_t durable_size[2] = {};    // copy 0 on disk when the allocation returned
  uint64_t durable_length[2] = {};  // bytes of the file on disk then
  Vol_PAGEADDR durable_root[2] = {};
  Task* second = nullptr;
  bool second_done = false;
};
AllocRun g_alloc;

void record_allocation(int who, Vol_PAGEADDR page) {
  g_alloc.page[who] = page;
  const VOLUME d = durable_descriptor(kRoot, 0);
  g_alloc.durable_size[who] = d.curr_size;
  g_alloc.durable_root[who] = d.first_page;
  g_alloc.durable_length[who] = g_fs->durable_contents(kRoot).size();
}

// Extension size 2: A needs both new pages; while A waits in its flush, B
// asks for one. B gets none of A's pages, and neither page is handed out
// before copy 0 and the file on disk hold it; B, finding the pages of A's
// extension taken, extends again. The first page handed out became the root
// page, on disk when its allocation returned.
// A flush of an extension fails: copy 0 does not go out ahead of the pages
// it names (the failed flush may have dropped them). The next sync writes
// them all again and then the copies; a power loss after it keeps them.
TEST_F(ExtensionTasks, AFailedFlushHoldsTheCopiesBackUntilTheNextSync) {
  open_full_set();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(tio_setup(), 0);
  auto body = [] {
    g_fs->fail_flush(1, EIO);
    EXPECT_EQ(alloc_data(1), 320u);
    for (int copy : {0, 1}) EXPECT_EQ(durable_descriptor(kRoot, copy).curr_size, 320u) << copy;
    Vol_Sync(Vol_TIO_SYNC);
    for (int copy : {0, 1}) EXPECT_EQ(durable_descriptor(kRoot, copy).curr_size, 322u) << copy;
  };
  ASSERT_TRUE(runner.run({body}));
  tio_cleanup();
  close_set();
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  VOLUME* set = open_set(paths());
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set[0].curr_size, 322u);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 321u);
}

TEST_F(ExtensionTasks, NewPagesAreHandedOutOnlyOnceCopyZeroHoldsThem) {
  open_full_set(false);
  g_alloc = AllocRun{};
  ASSERT_EQ(tio_setup(), 0);
  fs.hold_flushes(true);
  auto a = [] { record_allocation(0, alloc_data(2)); };
  auto b = [] {
    wait_for_growth(Vol_GetRootVol(), 320);
    g_alloc.second = thread_self();
    record_allocation(1, alloc_data(1));
    g_alloc.second_done = true;
  };
  auto releaser = [] {
    while (!g_alloc.second_done &&
           (g_alloc.second == nullptr || thread_wchan(g_alloc.second) == nullptr))
      thread_yield();
    g_fs->hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({a, b, releaser}));
  tio_cleanup();
  EXPECT_EQ(g_alloc.page[0], 320u);
  EXPECT_EQ(g_alloc.page[1], 322u);
  const uint32_t count[2] = {2, 1};
  for (int who : {0, 1}) {
    const uint32_t end = PAGE_NUMBER(g_alloc.page[who]) + count[who];
    EXPECT_GE(g_alloc.durable_size[who], end) << who;
    EXPECT_GE(g_alloc.durable_length[who], uint64_t{end} * Vol_PAGESIZE) << who;
    EXPECT_EQ(g_alloc.durable_root[who], 320u) << who;
  }
  EXPECT_EQ(Vol_GetRootVol()->curr_size, 324u);
  EXPECT_EQ(Vol_GetRootVol()->free_size, 1u);
}

// --- Power loss at any moment --------------------------------------------------------

// What the tasks were told was done, and when.
struct Acks {
  struct Alloc {
    Vol_PAGEADDR page;
    uint32_t count;
  };
  std::vector<Alloc> allocs;
  bool page_synced = false;  // page 5 holds kSynced, flushed by Vol_SyncData
  bool cleared = false;      // Vol_ClearConsistent returned
};

// What a power loss at one moment leaves: the disk's pages that differ from
// the set as it stood before the tasks ran, flushed and as written so far.
struct Moment {
  Acks acks;
  struct File {
    size_t durable_size = 0, size = 0;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> durable, written;
  } file[2];
};

const uint8_t kSynced = 0xC5;

struct PowerRun {
  std::mutex mutex;
  Acks acks;
  std::vector<Moment> moments;
  std::vector<uint8_t> base[2];
  int sync_mode = 1;
};
PowerRun* g_power = nullptr;

void ack(const std::function<void(Acks&)>& fn) {
  std::lock_guard<std::mutex> lock(g_power->mutex);
  fn(g_power->acks);
}

// Pages of bytes that differ from base (pages past its end count as zero).
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> diff_pages(
    const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& base) {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  static const std::vector<uint8_t> zero(Vol_PAGESIZE);
  for (size_t at = 0; at < bytes.size(); at += Vol_PAGESIZE) {
    const size_t n = std::min<size_t>(Vol_PAGESIZE, bytes.size() - at);
    const uint8_t* was = at + n <= base.size() ? base.data() + at : zero.data();
    if (std::memcmp(bytes.data() + at, was, n) != 0)
      out.emplace_back(static_cast<uint32_t>(at / Vol_PAGESIZE),
                       std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                            bytes.begin() + static_cast<long>(at + n)));
  }
  return out;
}

// Taken before every write and flush, on whichever thread makes it.
void take_moment() {
  Moment m;
  {
    std::lock_guard<std::mutex> lock(g_power->mutex);
    m.acks = g_power->acks;
  }
  const std::string* paths[2] = {&kRoot, &kLog};
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> durable = g_fs->durable_contents(*paths[i]);
    const std::vector<uint8_t> written = g_fs->contents(*paths[i]);
    m.file[i].durable_size = durable.size();
    m.file[i].size = written.size();
    m.file[i].durable = diff_pages(durable, g_power->base[i]);
    m.file[i].written = diff_pages(written, g_power->base[i]);
  }
  std::lock_guard<std::mutex> lock(g_power->mutex);
  g_power->moments.push_back(std::move(m));
}

std::vector<uint8_t> rebuild(const std::vector<uint8_t>& base, size_t size,
                             const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& pages) {
  std::vector<uint8_t> bytes(base);
  bytes.resize(size);
  for (const auto& [n, b] : pages) {
    const size_t at = static_cast<size_t>(n) * Vol_PAGESIZE;
    if (bytes.size() < at + b.size()) bytes.resize(at + b.size());
    std::memcpy(bytes.data() + at, b.data(), b.size());
  }
  return bytes;
}

// The disk after the power loss: what was flushed, or (seed > 0) each 4 KiB
// piece of what was written since taken or not at random.
std::vector<uint8_t> disk_after(const Moment::File& f, const std::vector<uint8_t>& base,
                                uint32_t seed) {
  std::vector<uint8_t> durable = rebuild(base, f.durable_size, f.durable);
  if (seed == 0) return durable;
  const std::vector<uint8_t> written = rebuild(base, f.size, f.written);
  std::vector<uint8_t> torn(std::max(durable.size(), written.size()));
  std::memcpy(torn.data(), durable.data(), durable.size());
  std::mt19937 rng(seed);
  for (size_t at = 0; at < written.size(); at += 4096) {
    const size_t n = std::min<size_t>(4096, written.size() - at);
    if (rng() % 2) std::memcpy(torn.data() + at, written.data() + at, n);
  }
  return torn;
}

class PowerLossBesideAnExtension : public ExtensionTasks,
                                   public ::testing::WithParamInterface<int> {};

// Task A allocates pairs of pages three times, each time through an
// extension; task B writes a page and syncs the data volumes, clears the
// clean-close flag, allocates and syncs. A flush takes 1 ms, so each task
// finds the other's flushes in flight. The power is lost before each write
// and each flush in turn: the set opens, every page handed out lies inside
// the volume as the disk describes it, what B was told is on disk is, and
// the free counts agree with the bitmaps.
TEST_P(PowerLossBesideAnExtension, KeepsWhatWasAcknowledged) {
  PowerRun run;
  run.sync_mode = GetParam();
  g_power = &run;
  CrashFileSystem crash(&fs);
  platform::set_file_system(&crash);
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  ASSERT_NE(open_set(paths()), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(run.sync_mode), 0);
  for (uint32_t p = 2; p < Vol_DESC_COPY_PAGE; ++p) Vol_MarkPageUsed(p, 1);
  Vol_Sync(Vol_TIO_SYNC);
  for (int id = 0; id < 2; ++id) ASSERT_EQ(Vol_GetRootVol()[id].fhandle->datasync(), 0);
  run.base[0] = fs.durable_contents(kRoot);
  run.base[1] = fs.durable_contents(kLog);
  fs.set_flush_delay_us(kRoot, 1000);
  crash.observe(take_moment);
  ASSERT_EQ(tio_setup(), 0);
  auto a = [] {
    for (int i = 0; i < 3; ++i) {
      const Vol_PAGEADDR page = alloc_data(2);
      ASSERT_NE(page, 0u);
      ack([&](Acks& k) { k.allocs.push_back({page, 2}); });
    }
  };
  auto b = [] {
    wait_for_growth(Vol_GetRootVol(), 320);
    ASSERT_EQ(Vol_WritePage(5, pattern(kSynced).data(), Vol_PAGESIZE), 0);
    Vol_SyncData(Vol_TIO_SYNC);
    if (g_power->sync_mode == 1) ack([](Acks& k) { k.page_synced = true; });
    Vol_ClearConsistent();
    ack([](Acks& k) { k.cleared = true; });
    const Vol_PAGEADDR page = alloc_data(1);
    ASSERT_NE(page, 0u);
    ack([&](Acks& k) { k.allocs.push_back({page, 1}); });
    Vol_Sync(Vol_TIO_SYNC);
  };
  ASSERT_TRUE(runner.run({a, b}));
  tio_cleanup();
  crash.observe(nullptr);
  take_moment();
  close_set();
  platform::set_file_system(nullptr);
  ASSERT_GT(run.moments.size(), 10u);

  int checked = 0;
  for (size_t k = 0; k < run.moments.size(); ++k) {
    const Moment& m = run.moments[k];
    for (uint32_t seed : {0u, 1u, 2u}) {
      const std::string at = "moment " + std::to_string(k) + ", seed " + std::to_string(seed);
      FaultFileSystem after;
      after.put_file(kRoot, disk_after(m.file[0], run.base[0], seed));
      after.put_file(kLog, disk_after(m.file[1], run.base[1], seed));
      platform::set_file_system(&after);
      VOLUME* set = open_set(paths());
      ASSERT_NE(set, nullptr) << at;
      const VOLUME& root = set[0];
      EXPECT_EQ(root.free_size, Vol_CountFreePages(&root)) << at;
      if (seed == 0) {
        EXPECT_GE(after.contents(kRoot).size(), uint64_t{root.curr_size} * Vol_PAGESIZE) << at;
      }
      for (const Acks::Alloc& given : m.acks.allocs) {
        EXPECT_LE(PAGE_NUMBER(given.page) + given.count, root.curr_size)
            << at << ", page " << given.page;
      }
      if (m.acks.page_synced) {
        std::vector<uint8_t> page5(Vol_PAGESIZE);
        Vol_ReadPage(5, page5.data(), Vol_PAGESIZE);
        EXPECT_EQ(page5, pattern(kSynced)) << at;
      }
      if (m.acks.cleared) {
        EXPECT_FALSE(consistent(root)) << at;
      }
      EXPECT_NE(alloc_data(1), 0u) << at;
      Vol_Sync(Vol_TIO_SYNC);
      close_set();
      ASSERT_NE(open_set(paths()), nullptr) << at;
      close_set();
      platform::set_file_system(nullptr);
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
  g_power = nullptr;
}

INSTANTIATE_TEST_SUITE_P(VolumeSet, PowerLossBesideAnExtension, ::testing::Values(0, 1),
                         [](const auto& p) { return p.param ? "Synced" : "Unsynced"; });

}  // namespace
