// Buffer cache over a fixture volume set on the file double: reads shared by
// tasks that miss the same page, waits for a free buffer, reads and writes
// as whole runs, the sweep's ticks, moved pages, buffers created empty and
// given up, and a model-based run against a plain map of page contents.
#include "storage/buffer_cache.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/task_kernel.h"
#include "platform/fault_file.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/volume_fixture.h"

namespace {

using platform::FaultFileSystem;
using storage_test::TaskRunner;
using testsupport::LogCapture;

const std::string kRoot = "/v/root.vol";
const std::string kLog = "/v/log.vol";

// Node handles for the cache: an id and the log-node flag.
struct TestNode {
  uint32_t id;
  int log;
};
Node* as_node(TestNode* n) { return reinterpret_cast<Node*>(n); }
const TestNode* of(const Node* n) { return reinterpret_cast<const TestNode*>(n); }
const BufNodeInfo kTestNodeInfo = {
    [](const Node* n) { return of(n)->log; },
    [](const Node* n) { return of(n)->id; },
    [](const Node* n) -> Vol_ALDESC* { return of(n)->log ? Vol_GetTlogAldesc() : nullptr; },
    [](const Node* n) {
      static char name[16];
      snprintf(name, sizeof name, "#%u%s", of(n)->id, of(n)->log ? ":L" : "");
      return static_cast<const char*>(name);
    }};

TestNode g_data{100, 0};
TestNode g_other{101, 0};
TestNode g_lognode{3, 1};
Node* data_node() { return as_node(&g_data); }

// What page p of the root held when the set was written: its number, then
// a byte pattern.
std::vector<uint8_t> original(uint32_t p) {
  std::vector<uint8_t> b(Vol_PAGESIZE, static_cast<uint8_t>(p * 7));
  memcpy(b.data(), &p, sizeof p);
  return b;
}

bool holds(const char* buf, const std::vector<uint8_t>& want) {
  return memcmp(buf, want.data(), Vol_PAGESIZE) == 0;
}

class BufferCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { start(64); }
  void TearDown() override { stop(); }

  void start(int nbufs) {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{kRoot, VolType_DATA}, {kLog, VolType_LOG}};
    ASSERT_EQ(testsupport::write_volume_set(spec), 0);
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
    for (uint32_t p = 2; p < 200; ++p)
      ASSERT_EQ(Vol_WritePage(p, original(p).data(), Vol_PAGESIZE), 0);
    buf_SetNodeInfo(&kTestNodeInfo);
    ASSERT_EQ(buf_Init(nbufs, nbufs), 0);
  }
  void stop() {
    buf_Exit();
    buf_SetNodeInfo(nullptr);
    Vol_Close();
    Vol_Free();
    platform::set_file_system(nullptr);
  }
  uint64_t reads() const { return fs.counts(kRoot).reads; }
  uint64_t writes() const { return fs.counts(kRoot).writes; }
  std::vector<uint8_t> disk(uint32_t page) {
    std::vector<uint8_t> b(Vol_PAGESIZE);
    Vol_ReadPage(page, b.data(), Vol_PAGESIZE);
    return b;
  }
  char* get1(uint32_t page, uint32_t flags = BF_PIN, Node* node = data_node()) {
    char* buf = nullptr;
    buf_Get(node, page, 1, flags, &buf);
    return buf;
  }

  FaultFileSystem fs;
};

TEST_F(BufferCacheTest, MissReadsThePageAndTheNextGetIsAHit) {
  char* a = get1(5);
  EXPECT_TRUE(holds(a, original(5)));
  buf_Put(a, 0, BF_PIN);
  const uint64_t r = reads();
  char* b = get1(5);
  EXPECT_EQ(a, b);
  EXPECT_EQ(reads(), r);
  buf_Put(b, 0, BF_PIN);
  const BufStats* s = buf_GetStats();
  EXPECT_EQ(s->hits, 1u);
  EXPECT_EQ(s->misses, 1u);
  EXPECT_EQ(s->requests, 2u);
  EXPECT_EQ(s->pages_read, 1u);
  EXPECT_EQ(s->unpins, 2u);
}

TEST_F(BufferCacheTest, EightPageGetWithPagesThreeAndSixMissingDoesTwoReads) {
  char* bufs[8];
  buf_Get(data_node(), 20, 3, BF_PIN, bufs);
  buf_PutVector(3, bufs, 0, BF_PIN);
  buf_Get(data_node(), 24, 2, BF_PIN, bufs);
  buf_PutVector(2, bufs, 0, BF_PIN);
  buf_Put(get1(27), 0, BF_PIN);
  const uint64_t r = reads();
  const uint32_t pages = buf_GetStats()->pages_read;
  buf_Get(data_node(), 20, 8, BF_PIN, bufs);
  EXPECT_EQ(reads() - r, 2u);
  EXPECT_EQ(buf_GetStats()->pages_read - pages, 2u);
  for (uint32_t i = 0; i < 8; ++i) EXPECT_TRUE(holds(bufs[i], original(20 + i))) << i;
  buf_PutVector(8, bufs, 0, BF_PIN);
}

TEST_F(BufferCacheTest, DirtyClusterIsWrittenAsOneVectorTransfer) {
  char* bufs[8];
  buf_Get(data_node(), 30, 8, BF_PIN, bufs);
  bufs[0][100] = 'a';
  bufs[7][100] = 'z';
  buf_Put(bufs[0], BF_DIRTY, 0);
  buf_Put(bufs[7], BF_DIRTY, 0);
  buf_PutVector(8, bufs, 0, BF_PIN);
  const uint64_t w = writes();
  buf_Sync(data_node(), 0);
  EXPECT_EQ(writes() - w, 1u);
  EXPECT_EQ(buf_GetStats()->pages_written, 8u);
  EXPECT_EQ(disk(30)[100], 'a');
  EXPECT_EQ(disk(37)[100], 'z');
  EXPECT_TRUE(holds(reinterpret_cast<const char*>(disk(33).data()), original(33)));
  buf_Sync(data_node(), 0);
  EXPECT_EQ(writes() - w, 1u);  // clean now
}

TEST_F(BufferCacheTest, SweepWritesAPageTheTickAfterItWasDirtiedAndALogPageOneLater) {
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  char* data = get1(40);
  char* logp = get1(41, BF_PIN, as_node(&g_lognode));
  data[9] = 1;
  logp[9] = 2;
  buf_Put(data, BF_DIRTY, BF_PIN);
  buf_Put(logp, BF_DIRTY, BF_PIN);
  const uint64_t w = writes();
  buf_Sweep(0);
  EXPECT_EQ(writes() - w, 0u);
  const uint64_t flushes = fs.total_flushes();
  buf_Sweep(1);
  EXPECT_EQ(writes() - w, 1u);
  EXPECT_EQ(disk(40)[9], 1);
  EXPECT_GT(fs.total_flushes(), flushes);  // the threshold was reached
  buf_Sweep(0);
  EXPECT_EQ(writes() - w, 2u);
  EXPECT_EQ(disk(41)[9], 2);
}

TEST_F(BufferCacheTest, SweepLeavesClustersWithAPinnedMember) {
  char* bufs[2];
  buf_Get(data_node(), 50, 2, BF_PIN, bufs);
  buf_Put(bufs[0], BF_DIRTY, BF_PIN);
  buf_Sweep(0);
  buf_Sweep(0);
  EXPECT_EQ(buf_GetStats()->pages_written, 0u);
  buf_Put(bufs[1], 0, BF_PIN);
  buf_Sweep(0);
  EXPECT_EQ(buf_GetStats()->pages_written, 1u);
}

TEST_F(BufferCacheTest, PutRejectsTheBitThatMeansValidInABuffer) {
  char* buf = get1(5);
  EXPECT_DEATH(buf_Put(buf, BF_EMPTY, 0), "buf_Put");
  EXPECT_DEATH(buf_Put(buf, 0, BF_EMPTY), "buf_Put");
  buf_Put(buf, 0, BF_PIN);
}

TEST_F(BufferCacheTest, EmptyBufferGivenUpUnfilledIsReadOnTheNextGet) {
  char* buf = get1(60, BF_PIN | BF_EMPTY);
  memset(buf, 0x5E, 64);  // half-filled, never marked dirty
  buf_Put(buf, 0, BF_PIN);
  const uint32_t pages = buf_GetStats()->pages_read;
  char* again = get1(60);
  EXPECT_TRUE(holds(again, original(60)));
  EXPECT_EQ(buf_GetStats()->pages_read, pages + 1);
  buf_Put(again, 0, BF_PIN);
  buf_Sync(nullptr, 0);
  EXPECT_TRUE(holds(reinterpret_cast<const char*>(disk(60).data()), original(60)));
}

TEST_F(BufferCacheTest, PageThatHoldsNoContentsIsNeverWrittenInARun) {
  char* bufs[3];
  buf_Get(data_node(), 70, 3, BF_PIN | BF_EMPTY, bufs);
  memset(bufs[0], 0x11, Vol_PAGESIZE);
  memset(bufs[1], 0x22, Vol_PAGESIZE);  // never marked dirty
  memset(bufs[2], 0x33, Vol_PAGESIZE);
  buf_Put(bufs[0], BF_DIRTY, BF_PIN);
  buf_Put(bufs[2], BF_DIRTY, BF_PIN);
  const uint64_t w = writes();
  buf_Sync(data_node(), 0);
  EXPECT_EQ(writes() - w, 2u);
  EXPECT_EQ(disk(70)[5], 0x11);
  EXPECT_EQ(disk(72)[5], 0x33);
  EXPECT_TRUE(holds(reinterpret_cast<const char*>(disk(71).data()), original(71)));
  buf_Put(bufs[1], 0, BF_PIN);
  char* b71 = get1(71);
  EXPECT_TRUE(holds(b71, original(71)));
  buf_Put(b71, 0, BF_PIN);
}

TEST_F(BufferCacheTest, LogShadowAndRenameLeaveTheMovedPagesDirty) {
  char* bufs[2];
  buf_Get(data_node(), 80, 2, BF_PIN, bufs);
  uint32_t shadow = 0;
  ASSERT_EQ(buf_MakeLogShadow(data_node(), 2, &shadow, bufs), 0);
  EXPECT_EQ(PAGE_VOLID(shadow), 1u);
  buf_PutVector(2, bufs, 0, BF_PIN);
  char* moved[2];
  buf_Get(data_node(), 85, 2, BF_PIN, moved);
  buf_Put(get1(90), 0, BF_PIN);  // a stale copy of the target is dropped
  buf_Rename(data_node(), 2, moved, 90);
  buf_PutVector(2, moved, 0, BF_PIN);
  buf_Sync(nullptr, 0);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(holds(reinterpret_cast<const char*>(disk(shadow + i).data()), original(80 + i)));
    EXPECT_TRUE(holds(reinterpret_cast<const char*>(disk(90 + i).data()), original(85 + i)));
  }
  char* b91 = get1(91);
  EXPECT_TRUE(holds(b91, original(86)));
  buf_Put(b91, 0, BF_PIN);
}

TEST_F(BufferCacheTest, AllocGivesDirtyEmptyBuffersAndFreeDropsThemUnwritten) {
  char* bufs[3];
  uint32_t first = 0;
  ASSERT_EQ(buf_Alloc(data_node(), 3, &first, bufs), 0);
  EXPECT_EQ(first, 2u);  // the first free pages of the root
  for (int i = 0; i < 3; ++i) memset(bufs[i], 0x40 + i, Vol_PAGESIZE);
  buf_PutVector(3, bufs, 0, BF_PIN);
  buf_Sync(nullptr, 0);
  EXPECT_EQ(disk(3)[0], 0x41);
  char* again = get1(4);
  again[0] = 0x7F;
  buf_Put(again, BF_DIRTY, BF_PIN);
  buf_FreePage(data_node(), first, 3);
  buf_Sync(nullptr, 0);
  EXPECT_EQ(disk(4)[0], 0x42);  // dropped unwritten
  uint32_t refirst = 0;
  ASSERT_EQ(buf_Alloc(data_node(), 3, &refirst, bufs), 0);
  EXPECT_EQ(refirst, first);
  buf_PutVector(3, bufs, 0, BF_PIN);
  EXPECT_EQ(buf_GetStats()->allocated, 6u);
}

TEST_F(BufferCacheTest, StatusListsPinnedBuffers) {
  char* bufs[2];
  buf_Get(as_node(&g_lognode), 0x01000005, 2, BF_PIN, bufs);
  buf_Put(bufs[1], BF_DIRTY, 0);
  int cursor = 0;
  std::vector<std::string> seen;
  while (const BufStatus* s = buf_StatusNext(&cursor))
    seen.push_back(std::string(s->node) + " " + std::to_string(s->volume_id) + ":" +
                   std::to_string(s->page) + " " + s->flags + " " + std::to_string(s->refcount) +
                   " " + std::to_string(s->backlink >= 0));
  EXPECT_EQ(seen, (std::vector<std::string>{"#3:L 1:5 VP 1 1", "#3:L 1:6 DVP 1 1"}));
  buf_PutVector(2, bufs, 0, BF_PIN);
  cursor = 0;
  EXPECT_EQ(buf_StatusNext(&cursor), nullptr);
}

// One scripted run on 9 buffers (a hash of 17 buckets) that moves every
// counter but the read waits (see the task tests), with a buffer pinned
// twice that stays pinned until its second unpin.
TEST_F(BufferCacheTest, CountersFollowAScriptedRun) {
  stop();
  start(9);
  char* b10 = get1(10);
  buf_Put(b10, BF_PIN, 0);
  int cursor = 0;
  const BufStatus* st = buf_StatusNext(&cursor);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->refcount, 2);
  buf_Put(b10, 0, BF_PIN);
  cursor = 0;
  st = buf_StatusNext(&cursor);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->refcount, 1);
  EXPECT_STREQ(st->flags, "VP");
  EXPECT_EQ(buf_GetStats()->unpins, 0u);
  b10[0] = 1;
  buf_Put(b10, BF_DIRTY, BF_PIN);
  buf_Put(get1(27), 0, BF_PIN);  // the bucket of page 10
  buf_Put(get1(10), 0, BF_PIN);  // a hit: page 27 is now least recent
  char* bufs[5];
  uint32_t first = 0;
  ASSERT_EQ(buf_Alloc(data_node(), 2, &first, bufs), 0);
  buf_PutVector(2, bufs, 0, BF_PIN);
  buf_Get(data_node(), 40, 5, BF_PIN, bufs);  // every buffer in use now
  buf_PutVector(5, bufs, 0, BF_PIN);
  // Victims in LRU order: page 27 (clean), page 10 (dirty), the allocated
  // pair (dirty, written as one run).
  for (uint32_t p : {60u, 61u, 62u}) buf_Put(get1(p), 0, BF_PIN);
  const BufStats& s = *buf_GetStats();
  // hits, misses, allocated, dirty writes, requests, reused, unpins, pages
  // read and written, first and further entries into a bucket, read waits.
  EXPECT_EQ((std::vector<uint32_t>{s.hits, s.misses, s.allocated, s.dirty_writes, s.requests,
                                   s.reused, s.unpins, s.pages_read, s.pages_written,
                                   s.bucket_first, s.bucket_more, s.read_waits}),
            (std::vector<uint32_t>{1, 10, 2, 2, 11, 12, 13, 10, 3, 8, 4, 0}));
  EXPECT_EQ(disk(10)[0], 1);
}

// The first pass of the victim walk leaves dirty pages of log nodes alone
// and takes a dirty data page even at the recent end; only when nothing else
// is left does the second pass take the least recent log page.
TEST_F(BufferCacheTest, VictimsSpareDirtyLogPagesUntilTheSecondPass) {
  stop();
  start(9);
  for (uint32_t p = 100; p < 108; ++p) {
    char* b = get1(p, BF_PIN, as_node(&g_lognode));
    b[0] = 'L';
    buf_Put(b, BF_DIRTY, BF_PIN);
  }
  char* data = get1(110);
  data[0] = 'D';
  buf_Put(data, BF_DIRTY, BF_PIN);
  LogCapture log("C1");
  char* pinned = get1(120);
  EXPECT_EQ(disk(110)[0], 'D');
  EXPECT_NE(disk(100)[0], 'L');
  EXPECT_FALSE(log.contains("trying harder"));
  char* next = get1(121);
  EXPECT_TRUE(log.contains("bf_newbuf: Data buffers currently in use - trying harder"));
  EXPECT_EQ(disk(100)[0], 'L');
  EXPECT_NE(disk(101)[0], 'L');
  buf_Put(next, 0, BF_PIN);
  buf_Put(pinned, 0, BF_PIN);
}

TEST(BufferCacheInit, SizesItsHashAndRefusesTooFewBuffers) {
  LogCapture log("C3");
  EXPECT_EQ(buf_Init(8, 8), -1);
  ASSERT_EQ(buf_Init(9, 1), 0);
  EXPECT_TRUE(log.contains(" hash_size = 1"));
  EXPECT_EQ(buf_Init(9, 1), -1);  // already set up
  buf_Exit();
  ASSERT_EQ(buf_Init(640, 640), 0);
  EXPECT_TRUE(log.contains(" hash_size = 1279"));
  buf_Exit();
}

// A large cache costs memory only as it fills: an empty database with a
// 512 MB cache must not start with 512 MB resident.
long resident_kib() {
  FILE* f = fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (f == nullptr) return -1;
  const int n = fscanf(f, "%ld %ld", &size, &resident);
  fclose(f);
  return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

TEST(BufferCacheInit, TheBuffersAreNotTouchedUntilUsed) {
  const int nbufs = 16384;  // 128 MiB
  const long before = resident_kib();
  ASSERT_GT(before, 0);
  ASSERT_EQ(buf_Init(nbufs, nbufs), 0);
  const long grown = resident_kib() - before;
  buf_Exit();
  EXPECT_LT(grown, 32 * 1024) << "KiB resident after the cache was set up";
}

// --- Tasks ----------------------------------------------------------------------

// Shared by the task bodies of one test.
struct Shared {
  char* buf[4] = {};
  std::vector<char*> pinned;
  int step = 0;
};
Shared g_shared;

class BufferCacheTasks : public BufferCacheTest {
 protected:
  void SetUp() override { g_shared = Shared{}; }
  TaskRunner runner;
};

TEST_F(BufferCacheTasks, TwoTasksMissingTheSamePageCauseOneRead) {
  start(64);
  ASSERT_EQ(tio_setup(), 0);
  fs.set_delay_us(kRoot, 20000);  // the read leaves the task
  const uint64_t r = reads();
  auto body = [] {
    char* b = nullptr;
    buf_Get(data_node(), 10, 1, BF_PIN, &b);
    g_shared.buf[g_shared.step++] = b;
    buf_Put(b, 0, BF_PIN);
  };
  ASSERT_TRUE(runner.run({body, body}));
  tio_cleanup();
  EXPECT_EQ(reads() - r, 1u);
  EXPECT_EQ(buf_GetStats()->pages_read, 1u);
  EXPECT_EQ(buf_GetStats()->read_waits, 1u);
  EXPECT_EQ(g_shared.buf[0], g_shared.buf[1]);
  EXPECT_TRUE(holds(g_shared.buf[0], original(10)));
}

// Task A pins every buffer; B and C both want page 150 and wait. One unpin
// lets B take a buffer; C, woken too, finds none and waits again; a second
// unpin lets C go on, and C must find B's copy instead of caching the page
// a second time.
TEST_F(BufferCacheTasks, EveryBufferPinnedMakesAGetWaitUntilAnUnpin) {
  start(9);
  LogCapture log("C1");
  auto holder = [] {
    for (uint32_t p = 100; p < 109; ++p) {
      char* b = nullptr;
      buf_Get(data_node(), p, 1, BF_PIN, &b);
      g_shared.pinned.push_back(b);
    }
    thread_yield();  // B and C run and wait
    buf_Put(g_shared.pinned[0], 0, BF_PIN);
    thread_yield();
    buf_Put(g_shared.pinned[1], 0, BF_PIN);
    thread_yield();
    for (size_t i = 2; i < g_shared.pinned.size(); ++i) buf_Put(g_shared.pinned[i], 0, BF_PIN);
  };
  auto waiter = [] {
    char* b = nullptr;
    buf_Get(data_node(), 150, 1, BF_PIN, &b);
    g_shared.buf[g_shared.step++] = b;
    thread_yield();
    buf_Put(b, 0, BF_PIN);
  };
  ASSERT_TRUE(runner.run({holder, waiter, waiter}));
  EXPECT_TRUE(log.contains("bf_newbuf: Data buffers currently in use - trying harder"));
  EXPECT_TRUE(log.contains("bf_newbuf: All cache buffers are in use."));
  ASSERT_EQ(g_shared.step, 2);
  EXPECT_EQ(g_shared.buf[0], g_shared.buf[1]);
  EXPECT_TRUE(holds(g_shared.buf[0], original(150)));
  EXPECT_EQ(buf_GetStats()->pages_read, 10u);
}

// A task that created a buffer empty gives it up unfilled while another
// task waits for the page: the waiter reads it instead of sleeping for ever.
TEST_F(BufferCacheTasks, WaiterTakesOverAPageGivenUpUnfilled) {
  start(16);
  auto filler = [] {
    char* b = nullptr;
    buf_Get(data_node(), 120, 1, BF_PIN | BF_EMPTY, &b);
    memset(b, 0x66, 100);
    thread_yield();  // the reader waits for the contents
    buf_Put(b, 0, BF_PIN);
  };
  auto reader = [] {
    char* b = nullptr;
    buf_Get(data_node(), 120, 1, BF_PIN, &b);
    g_shared.buf[0] = b;
    buf_Put(b, 0, BF_PIN);
  };
  ASSERT_TRUE(runner.run({filler, reader}));
  EXPECT_TRUE(holds(g_shared.buf[0], original(120)));
  EXPECT_EQ(buf_GetStats()->read_waits, 1u);
}

// During on-line backup the root log node (id 2) may take only clean
// buffers: with every buffer dirty it waits until a write-back cleans one,
// and it never writes a dirty page itself.
TEST_F(BufferCacheTasks, DoChannelWaitsForACleanBuffer) {
  start(9);
  // Dirtied before backup mode: in it, data requests would keep buffers
  // clean for the do channel (below).
  for (uint32_t p = 100; p < 109; ++p) {
    char* b = get1(p);
    b[0] = 1;
    buf_Put(b, BF_DIRTY, BF_PIN);
  }
  Vol_SetFlag(Vol_IS_REDIRECTED, &Vol_GetRootVol()->header);
  LogCapture log("C1");
  auto do_channel = [] {
    static TestNode root_log{2, 1};
    char* b = nullptr;
    g_shared.step = static_cast<int>(buf_GetStats()->pages_written);
    buf_Get(as_node(&root_log), (1u << 24) | 9, 1, BF_PIN, &b);
    g_shared.buf[0] = b;
    buf_Put(b, 0, BF_PIN);
  };
  auto syncer = [] {
    buf_Sweep(0);  // the pages were dirtied in this tick
    thread_yield();
    buf_Sweep(0);
  };
  ASSERT_TRUE(runner.run({do_channel, syncer}));
  EXPECT_TRUE(log.contains("bf_newbuf: Unable to grant buffer request for do channel"));
  EXPECT_NE(g_shared.buf[0], nullptr);
  EXPECT_EQ(g_shared.step, 0);  // nothing was written before it asked
  EXPECT_EQ(buf_GetStats()->dirty_writes, 0u);
}

// In backup mode a data request that finds too few clean buffers writes
// the oldest dirty ones first, so that the do channel finds its reserve
// clean; the do channel itself takes a clean one without waiting.
TEST_F(BufferCacheTasks, DataRequestsKeepAReserveCleanForTheDoChannel) {
  start(32);
  Vol_SetFlag(Vol_IS_REDIRECTED, &Vol_GetRootVol()->header);
  for (uint32_t p = 100; p < 132; ++p) {
    char* b = get1(p);
    b[0] = 1;
    buf_Put(b, BF_DIRTY, BF_PIN);
  }
  // Each page is dirtied once: those written are the clean ones now, all
  // but the last one taken (reserve: one cluster of the log and the pages
  // that lead to it, ten buffers).
  EXPECT_GE(buf_GetStats()->pages_written, 9u);
  EXPECT_LT(buf_GetStats()->pages_written, 32u);
  LogCapture log("C1");
  auto do_channel = [] {
    static TestNode root_log{2, 1};
    char* b = nullptr;
    buf_Get(as_node(&root_log), (1u << 24) | 9, 1, BF_PIN, &b);
    g_shared.buf[0] = b;
    buf_Put(b, 0, BF_PIN);
  };
  ASSERT_TRUE(runner.run({do_channel}));
  EXPECT_NE(g_shared.buf[0], nullptr);
  EXPECT_FALSE(log.contains("Unable to grant buffer request for do channel")) << log.text();
}

// --- Claims under a full cache ------------------------------------------------------

// Tasks of one deadlock scenario; each records what it got.
struct ClaimRun {
  Task* x = nullptr;
  bool y_may_go = false;
  char* x_bufs[2] = {};
  char* y_bufs[2] = {};
  std::vector<char*> held;
  bool x_ok = false, y_ok = false;
};
ClaimRun g_claims;

bool asleep(const Task* t) { return t != nullptr && thread_wchan(t) != nullptr; }
void pin_pages(uint32_t from, uint32_t to) {
  for (uint32_t p = from; p < to; ++p) {
    char* b = nullptr;
    buf_Get(data_node(), p, 1, BF_PIN, &b);
    g_claims.held.push_back(b);
  }
}
void unpin_held(size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) buf_Put(g_claims.held[i], 0, BF_PIN);
}
// A gets pages 150 and 151 and finds them as they are on disk.
bool got_150_151(char** bufs) {
  buf_Get(data_node(), 150, 2, BF_PIN, bufs);
  const bool ok = holds(bufs[0], original(150)) && holds(bufs[1], original(151));
  buf_PutVector(2, bufs, 0, BF_PIN);
  return ok;
}

struct ClaimCase {
  const char* name;
  int nbufs;
  std::vector<TaskRunner::Body> bodies;
};
void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class ClaimsUnderAFullCache : public BufferCacheTasks,
                              public ::testing::WithParamInterface<ClaimCase> {};

// Before a task waits for another task's claim or for a free buffer, it
// reads (or gives up) the pages it claimed itself, so two requests that
// overlap never wait for each other. A run that stalls is a deadlock.
TEST_P(ClaimsUnderAFullCache, NeverWaitForEachOther) {
  const ClaimCase& c = GetParam();
  start(c.nbufs);
  g_claims = ClaimRun{};
  ASSERT_TRUE(runner.run(c.bodies, nullptr, 3000)) << "deadlock";
  EXPECT_TRUE(g_claims.x_ok);
  EXPECT_TRUE(g_claims.y_ok);
  int cursor = 0;
  EXPECT_EQ(buf_StatusNext(&cursor), nullptr);  // no pin left behind
}

INSTANTIATE_TEST_SUITE_P(
    BufferCache, ClaimsUnderAFullCache,
    ::testing::Values(
        // X claims page 150 and sleeps for a free buffer; two buffers come
        // free; Y pins 150 and claims 151 with one, and X, with the other,
        // finds 151 claimed and waits for it while Y waits for 150.
        ClaimCase{"ClusterOverlappingAClaimantThatWaitsForABuffer",
                  9,
                  {[] {
                     pin_pages(100, 108);  // one buffer left
                     while (!asleep(g_claims.x)) thread_yield();
                     unpin_held(0, 2);
                     g_claims.y_may_go = true;
                     thread_yield();
                     unpin_held(2, 8);
                   },
                   [] {
                     while (!g_claims.y_may_go) thread_yield();
                     g_claims.y_ok = got_150_151(g_claims.y_bufs);
                   },
                   [] {
                     g_claims.x = thread_self();
                     g_claims.x_ok = got_150_151(g_claims.x_bufs);
                   }}},
        // Y holds every other buffer and wants page 150, which X claimed
        // before it slept for a buffer that only Y's unpins can give.
        ClaimCase{"HolderOfEveryBufferWantsTheClaimOfATaskWaitingForOne",
                  9,
                  {[] {
                     pin_pages(100, 108);
                     while (!asleep(g_claims.x)) thread_yield();
                     char* b = nullptr;
                     buf_Get(data_node(), 150, 1, BF_PIN, &b);
                     g_claims.y_ok = holds(b, original(150));
                     buf_Put(b, 0, BF_PIN);
                     unpin_held(0, 8);
                   },
                   [] {
                     g_claims.x = thread_self();
                     g_claims.x_ok = got_150_151(g_claims.x_bufs);
                   }}},
        // Y fills page 151 (created empty) only after it got page 150; X
        // claimed 150 and waits for Y's 151.
        ClaimCase{"ClaimantWaitsForTheClaimOfATaskThatWantsItsPage",
                  64,
                  {[] {
                     char* empty = nullptr;
                     buf_Get(data_node(), 151, 1, BF_PIN | BF_EMPTY, &empty);
                     while (!asleep(g_claims.x)) thread_yield();
                     char* b = nullptr;
                     buf_Get(data_node(), 150, 1, BF_PIN, &b);
                     g_claims.y_ok = holds(b, original(150));
                     buf_Put(b, 0, BF_PIN);
                     memcpy(empty, original(151).data(), Vol_PAGESIZE);
                     buf_Put(empty, BF_DIRTY, BF_PIN);
                   },
                   [] {
                     g_claims.x = thread_self();
                     g_claims.x_ok = got_150_151(g_claims.x_bufs);
                   }}}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Waits cut short -------------------------------------------------------------------

// A task of the cache that sleeps, another that tries to cut its sleep (the
// way a session being closed does) and then lets it go on: the cache's waits
// are never cut, so the sleeper sleeps on and keeps the cut for later.
struct CutRun {
  Task* sleeper = nullptr;
  bool sleeper_done = false;
  bool cut = false;  // the cut was tried
  bool refused = false;  // thread_timeout left the wait alone
  bool kept = false;     // thread_cut kept the cut for a later wait
  bool slept_again = false;
  std::vector<char*> held;
  char* bufs[2] = {};
  bool ok = false;
};
CutRun g_cut;
FaultFileSystem* g_cut_fs = nullptr;

// Cuts the sleeper's sleep once it sleeps, and checks that it sleeps again.
void cut_sleeper() {
  while (!asleep(g_cut.sleeper)) thread_yield();
  g_cut.refused = thread_timeout(g_cut.sleeper, 0) == -1;
  g_cut.kept = thread_cut(g_cut.sleeper, 0) == 1;
  thread_yield();  // the sleeper would run now if it had been woken
  g_cut.slept_again = !g_cut.sleeper_done && asleep(g_cut.sleeper);
  g_cut.cut = true;
}

// A reader of page 90 whose transfer the file double holds.
void read_90_held() {
  while (g_cut.held.empty()) thread_yield();
  char* b = nullptr;
  buf_Get(data_node(), 90, 1, BF_PIN, &b);
  buf_Put(b, 0, BF_PIN);
}
// Pins pages 85 and 86, then holds every transfer from now on.
void pin_85_86_and_hold() {
  buf_Get(data_node(), 85, 2, BF_PIN, g_cut.bufs);
  g_cut_fs->hold_transfers(true);
  g_cut.held.push_back(g_cut.bufs[0]);
}
void release_when_cut() {
  cut_sleeper();
  g_cut_fs->hold_transfers(false);
}

struct CutCase {
  const char* name;
  bool io_threads;
  std::vector<TaskRunner::Body> bodies;
};
void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutWait : public BufferCacheTasks, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutWait, IsNeverCutAndEndsWhenWhatItWaitsForIsThere) {
  const CutCase& c = GetParam();
  start(9);
  g_cut = CutRun{};
  g_cut_fs = &fs;
  if (c.io_threads) {
    ASSERT_EQ(tio_setup(), 0);
  }
  const bool ran = runner.run(c.bodies);
  if (c.io_threads) tio_cleanup();
  ASSERT_TRUE(ran);
  EXPECT_TRUE(g_cut.cut);
  EXPECT_TRUE(g_cut.refused);
  EXPECT_TRUE(g_cut.kept);
  EXPECT_TRUE(g_cut.slept_again);
  EXPECT_TRUE(g_cut.sleeper_done);
  EXPECT_TRUE(g_cut.ok);
  int cursor = 0;
  EXPECT_EQ(buf_StatusNext(&cursor), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    BufferCache, CutWait,
    ::testing::Values(
        CutCase{"WaitForThePageAnotherTaskFills",
                false,
                {[] {
                   char* b = nullptr;
                   buf_Get(data_node(), 120, 1, BF_PIN | BF_EMPTY, &b);
                   while (!g_cut.cut) thread_yield();
                   memset(b, 0x3C, Vol_PAGESIZE);
                   buf_Put(b, BF_DIRTY, BF_PIN);
                 },
                 [] {
                   g_cut.sleeper = thread_self();
                   char* b = nullptr;
                   buf_Get(data_node(), 120, 1, BF_PIN, &b);
                   g_cut.ok = holds(b, std::vector<uint8_t>(Vol_PAGESIZE, 0x3C));
                   buf_Put(b, 0, BF_PIN);
                   g_cut.sleeper_done = true;
                 },
                 cut_sleeper}},
        CutCase{"WaitForAnyBuffer",
                false,
                {[] {
                   for (uint32_t p = 100; p < 109; ++p) {
                     char* b = nullptr;
                     buf_Get(data_node(), p, 1, BF_PIN, &b);
                     g_cut.held.push_back(b);
                   }
                   while (!g_cut.cut) thread_yield();
                   for (char* b : g_cut.held) buf_Put(b, 0, BF_PIN);
                 },
                 [] {
                   while (g_cut.held.size() < 9) thread_yield();
                   g_cut.sleeper = thread_self();
                   char* b = nullptr;
                   buf_Get(data_node(), 150, 1, BF_PIN, &b);
                   g_cut.ok = holds(b, original(150));
                   buf_Put(b, 0, BF_PIN);
                   g_cut.sleeper_done = true;
                 },
                 cut_sleeper}},
        CutCase{"RenameOntoAPageBeingRead",
                true,
                {[] {
                   pin_85_86_and_hold();
                   g_cut.sleeper = thread_self();
                   while (!asleep(thread_by_id(2))) thread_yield();
                   buf_Rename(data_node(), 2, g_cut.bufs, 90);
                   g_cut.ok = holds(g_cut.bufs[0], original(85));
                   buf_PutVector(2, g_cut.bufs, 0, BF_PIN);
                   g_cut.sleeper_done = true;
                 },
                 read_90_held, release_when_cut}},
        CutCase{"SyncThatDropsAPageBeingRead",
                true,
                {[] {
                   pin_85_86_and_hold();
                   buf_PutVector(2, g_cut.bufs, 0, BF_PIN);
                   g_cut.sleeper = thread_self();
                   while (!asleep(thread_by_id(2))) thread_yield();
                   buf_Sync(data_node(), 1);
                   // Page 90 was dropped once its read was done.
                   const uint32_t reads = buf_GetStats()->pages_read;
                   char* b = nullptr;
                   buf_Get(data_node(), 90, 1, BF_PIN, &b);
                   g_cut.ok = holds(b, original(90)) && buf_GetStats()->pages_read == reads + 1;
                   buf_Put(b, 0, BF_PIN);
                   g_cut.sleeper_done = true;
                 },
                 read_90_held, release_when_cut}}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Model-based -----------------------------------------------------------------

// Random gets of runs of 1..4 pages of two nodes, with and without reading,
// changes, unpins and every kind of write-back, against a map of what each
// page must hold. 16 buffers for 80 pages keep victims coming.
TEST_F(BufferCacheTest, BehavesLikeAMapOfPageContents) {
  stop();
  start(16);
  std::map<uint32_t, std::vector<uint8_t>> model;
  for (uint32_t p = 2; p < 82; ++p) model[p] = original(p);
  std::mt19937 rng(42);
  for (int step = 0; step < 4000; ++step) {
    Node* node = data_node();
    uint32_t base = 2;
    if (rng() % 2) {
      node = as_node(&g_other);
      base = 42;
    }
    const int n = 1 + static_cast<int>(rng() % 4);
    const uint32_t first = base + rng() % (40 - n);
    const bool empty = rng() % 8 == 0;
    uint32_t flags = BF_PIN | (empty ? BF_EMPTY : 0u) | (rng() % 4 == 0 ? BF_MRU : 0u);
    char* bufs[4];
    buf_Get(node, first, n, flags, bufs);
    for (int i = 0; i < n; ++i) {
      const uint32_t p = first + static_cast<uint32_t>(i);
      if (!empty) {
        ASSERT_EQ(memcmp(bufs[i], model[p].data(), Vol_PAGESIZE), 0) << "step " << step << " page " << p;
      }
      const bool change = empty ? rng() % 2 == 0 : rng() % 3 == 0;
      if (change) {
        std::vector<uint8_t>& m = model[p];
        m[static_cast<size_t>(rng() % Vol_PAGESIZE)] = static_cast<uint8_t>(rng());
        if (empty) m = std::vector<uint8_t>(Vol_PAGESIZE, static_cast<uint8_t>(step));
        memcpy(bufs[i], m.data(), Vol_PAGESIZE);
        buf_Put(bufs[i], BF_DIRTY | (rng() % 16 == 0 ? BF_WRITE_NOW : 0u), BF_PIN);
      } else {
        // An empty get left unchanged gives the page up: the model keeps it.
        buf_Put(bufs[i], 0, BF_PIN);
      }
    }
    switch (rng() % 40) {
      case 0: buf_Sync(nullptr, 0); break;
      case 1: buf_Sync(node, 1); break;
      case 2: buf_Sweep(0); break;
      case 3: buf_Sync_page(node, first, n); break;
      default: break;
    }
  }
  buf_Sync(nullptr, 0);
  for (uint32_t p = 2; p < 82; ++p)
    ASSERT_EQ(memcmp(disk(p).data(), model[p].data(), Vol_PAGESIZE), 0) << "page " << p;
  int cursor = 0;
  EXPECT_EQ(buf_StatusNext(&cursor), nullptr);  // no pin leaked
}

}  // namespace
