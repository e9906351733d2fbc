// The I/O threads: the direct road outside tasks, transfers handed to the
// read/write threads, shared flushes, flush ordering after writes, faults
// injected through the file double, and shutdown with work still queued.
#include "storage/tio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/fault_file.h"
#include "platform/file.h"
#include "storage/page_io.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/process_runner.h"
#include "real_file.h"
#include "task_runner.h"

namespace {

using platform::FaultFileSystem;
using platform::File;
using storage_test::RealFile;

constexpr uint32_t kPage = Vol_PAGESIZE;

std::vector<uint8_t> page_of(uint8_t fill) { return std::vector<uint8_t>(kPage, fill); }

// The state the task bodies work on (task entries take no arguments).
struct World {
  FaultFileSystem fs;
  File* a = nullptr;  // "/t/a"
  File* b = nullptr;  // "/t/b"
  std::vector<std::vector<uint8_t>> bufs;
  std::atomic<int> done{0};
  std::atomic<int> next{0};
  std::atomic<int> fast_done{0};
  uint64_t flushes_at_return = 0;
  int threads_seen = 0;
  Task* sleeper = nullptr;
};
World* w = nullptr;

File* open_file(const char* path, uint32_t pages, uint8_t fill_base) {
  std::vector<uint8_t> bytes(static_cast<size_t>(pages) * kPage);
  for (uint32_t p = 0; p < pages; ++p)
    std::memset(bytes.data() + static_cast<size_t>(p) * kPage, fill_base + p, kPage);
  w->fs.put_file(path, bytes);
  File* f = nullptr;
  EXPECT_EQ(w->fs.open(path, platform::FILE_WRITE, &f), 0);
  return f;
}

TioVec vec_of(File* f, void* buf, uint32_t page) {
  return TioVec{f, buf, kPage, Vol_PageOffset(page)};
}

// The late task of a run with transfers held: runs once every reader sleeps
// with its reads handed over.
void count_threads_and_release() {
  w->threads_seen = tio_rw_threads();
  w->fs.hold_transfers(false);
}

// Element k of the scattered read below: pages 100, 102, 104 of /t/b, then
// 6..14 of /t/a, and the fill open_file gave each.
uint32_t scattered_page(int k) { return k < 3 ? 100 + 2 * k : 2 * k; }
uint8_t scattered_fill(int k) {
  return static_cast<uint8_t>((k < 3 ? 0x40 : 0) + scattered_page(k));
}

class Tio : public ::testing::Test {
 protected:
  void SetUp() override {
    w = new World;
    platform::set_file_system(&w->fs);
    w->a = open_file("/t/a", 64, 0);
    w->b = open_file("/t/b", 256, 0x40);
  }
  void TearDown() override {
    tio_cleanup();
    tio_forget_file(w->a);
    tio_forget_file(w->b);
    platform::file_close(w->a);
    platform::file_close(w->b);
    platform::set_file_system(nullptr);
    delete w;
    w = nullptr;
  }
  storage_test::TaskRunner runner;
};

TEST_F(Tio, WithoutATaskEveryOperationIsDirect) {
  const uint64_t flushes = tio_counters().flushes;
  std::vector<uint8_t> out = page_of(0xC3), in(kPage);
  TioVec v = vec_of(w->a, out.data(), 5);
  // Before set-up, and after it while no task runs.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(tio_rw(1, Vol_TIO_SYNC, 1, &v), 0);
    EXPECT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), 0);
    if (round == 0) {
      ASSERT_EQ(tio_setup(), 0);
    }
  }
  EXPECT_EQ(tio_active(), 0);
  TioVec r = vec_of(w->a, in.data(), 5);
  EXPECT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &r), 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(w->fs.counts("/t/a").flushes, 2u);
  EXPECT_EQ(tio_counters().flushes, flushes + 2);
  std::vector<uint8_t> disk = w->fs.durable_contents("/t/a");
  EXPECT_TRUE(std::equal(out.begin(), out.end(), disk.begin() + 5 * kPage));
}

// A utility reads clusters on its own thread: a read the file cannot give
// whole (a volume file cut short) is refused with a status, never handed
// up as pages, and the pages it could read are still read.
TEST_F(Tio, DirectClusterReadPastTheFileEndFailsWithAStatus) {
  static VOLUME vol;
  vol = VOLUME();
  vol.fhandle = w->a;  // 64 pages
  tio_set_volume_lookup([](uint32_t id) { return id == 0 ? &vol : nullptr; });
  std::vector<std::vector<uint8_t>> bufs(4, std::vector<uint8_t>(kPage, 0));
  void* vec[4];
  for (int i = 0; i < 4; ++i) vec[i] = bufs[i].data();

  thread_set_error(0);
  EXPECT_EQ(tio_read_cluster(Vol_PageAddr(0, 60), 4, vec), 0);
  EXPECT_EQ(bufs[3][0], 63);
  EXPECT_EQ(get_error(), 0u);
  EXPECT_EQ(tio_read_cluster(Vol_PageAddr(0, 62), 4, vec), -1);
  EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, VOL_E_OPEN));
  EXPECT_EQ(tio_read_cluster(Vol_PageAddr(0, 64), 1, vec), -1);
  tio_set_volume_lookup(nullptr);
}

// Eight tasks each write a cluster of four pages and read it back in SYNC
// mode, with short transfers and EINTR injected into every call.
TEST_F(Tio, TasksTransferThroughTheThreadsDespiteShortAndInterruptedCalls) {
  w->fs.set_nowait(false);
  w->fs.limit_transfer("/t/b", 3000);
  w->fs.inject_eintr("/t/b", 5);
  ASSERT_EQ(tio_setup(), 0);
  Vol_IOSTAT before;
  Vol_GetStatistics(Vol_STAT_READ, &before);
  w->bufs.assign(8 * 8, std::vector<uint8_t>(kPage));
  auto body = +[] {
    const int t = w->next++;
    TioVec v[4];
    for (int k = 0; k < 4; ++k) {
      std::memset(w->bufs[t * 8 + k].data(), 0x10 * t + k, kPage);
      v[k] = vec_of(w->b, w->bufs[t * 8 + k].data(), 4 * t + k);
    }
    ASSERT_EQ(tio_active(), 1);
    ASSERT_EQ(tio_rw(1, Vol_TIO_SYNC, 4, v), 0);
    for (int k = 0; k < 4; ++k) v[k].buffer = w->bufs[t * 8 + 4 + k].data();
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 4, v), 0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(w->bufs[t * 8 + 4 + k], w->bufs[t * 8 + k]);
    ++w->done;
  };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(8, body)));
  EXPECT_EQ(w->done, 8);
  Vol_IOSTAT after;
  Vol_GetStatistics(Vol_STAT_READ, &after);
  EXPECT_EQ(after.by_type[Vol_STAT_BY_THREAD] - before.by_type[Vol_STAT_BY_THREAD], 32u);
  EXPECT_EQ(after.by_type[Vol_STAT_AT_ONCE], before.by_type[Vol_STAT_AT_ONCE]);
}

TEST_F(Tio, TransfersDoneAtOnceNeverReachAThread) {
  ASSERT_EQ(tio_setup(), 0);
  Vol_IOSTAT before;
  Vol_GetStatistics(Vol_STAT_WRITE, &before);
  w->bufs.assign(1, page_of(0x77));
  auto body = +[] {
    TioVec v = vec_of(w->a, w->bufs[0].data(), 3);
    ASSERT_EQ(tio_rw(1, Vol_TIO_SYNC, 1, &v), 0);
    ++w->done;
  };
  ASSERT_TRUE(runner.run({body}));
  EXPECT_EQ(w->done, 1);
  Vol_IOSTAT after;
  Vol_GetStatistics(Vol_STAT_WRITE, &after);
  EXPECT_EQ(after.by_type[Vol_STAT_AT_ONCE] - before.by_type[Vol_STAT_AT_ONCE], 1u);
  EXPECT_EQ(after.by_type[Vol_STAT_BY_THREAD], before.by_type[Vol_STAT_BY_THREAD]);
}

// 200 reads pending at once: 190 on one file, 10 on a file whose transfers
// are held. The fast reads must all complete while the slow ones wait: the
// 190th releases the slow file, so a fast read queued behind a slow one
// stalls the run. The double's files go to the blocking threads even where
// rings are used (so the double sees every transfer), one transfer each:
// all 200 were handed over at once (everything was held until every reader
// slept), so 200 threads beside the ring thread set-up started, if any.
TEST_F(Tio, AFastReadNeverWaitsBehindAHeldOneOfAnotherFile) {
  w->fs.set_nowait(false);
  w->fs.hold_file("/t/a", true);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(200, std::vector<uint8_t>(kPage));
  auto reader = +[] {
    const int t = w->next++;
    const bool slow = t % 20 == 0;
    TioVec v = vec_of(slow ? w->a : w->b, w->bufs[t].data(), slow ? t / 20 : t);
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &v), 0);
    EXPECT_EQ(w->bufs[t], page_of(static_cast<uint8_t>(slow ? t / 20 : 0x40 + t))) << t;
    if (slow) {
      EXPECT_EQ(w->fast_done, 190) << "a slow read completed before the fast ones";
    } else if (++w->fast_done == 190) {
      w->fs.hold_file("/t/a", false);
    }
    ++w->done;
  };
  const bool ran = runner.run(std::vector<storage_test::TaskRunner::Body>(200, reader),
                              count_threads_and_release, 5000);
  w->fs.hold_file("/t/a", false);  // a stalled run leaves it held
  ASSERT_TRUE(ran) << "fast reads stalled behind held ones: " << w->fast_done;
  EXPECT_EQ(w->done, 200);
  EXPECT_EQ(w->threads_seen, 200 + tio_ring_active());
}

// Eight tasks flush one file while its flushes are slow: the first takes a
// request that the thread starts at once; the others join the one request
// queued behind it. Far fewer flushes than tasks.
TEST_F(Tio, TasksFlushingOneFileShareFlushes) {
  w->fs.set_flush_delay_us("/t/a", 50000);
  ASSERT_EQ(tio_setup(), 0);
  auto flusher = +[] {
    ASSERT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), 0);
    ++w->done;
  };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(8, flusher)));
  EXPECT_EQ(w->done, 8);
  EXPECT_LE(w->fs.counts("/t/a").flushes, 2u);
  EXPECT_GE(w->fs.counts("/t/a").flushes, 1u);
}

// While the sync thread is busy with another file (its flush held), every
// task that asks to flush /t/a joins the one queued request: one fdatasync
// serves them all.
TEST_F(Tio, TasksFlushingWhileTheSyncThreadIsBusyShareOneFlush) {
  w->fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  auto flusher = +[] {
    File* f = w->next++ == 0 ? w->b : w->a;
    ASSERT_EQ(tio_fsync(f, Vol_TIO_SYNC), 0);
    ++w->done;
  };
  auto release = +[] { w->fs.hold_flushes(false); };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(6, flusher), release));
  EXPECT_EQ(w->done, 6);
  EXPECT_EQ(w->fs.counts("/t/b").flushes, 1u);
  EXPECT_EQ(w->fs.counts("/t/a").flushes, 1u);
}

TEST_F(Tio, OperationOverlappedFlushReturnsOnceTheThreadTakesIt) {
  w->fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  auto flusher = +[] {
    ASSERT_EQ(tio_fsync(w->a, Vol_TIO_OP_OVL), 0);
    w->flushes_at_return = w->fs.counts("/t/a").flushes;
    ++w->done;
  };
  ASSERT_TRUE(runner.run({flusher}));
  EXPECT_EQ(w->done, 1);
  EXPECT_EQ(w->flushes_at_return, 0u);  // taken, still held
  w->fs.hold_flushes(false);
  tio_drain();
  EXPECT_EQ(w->fs.counts("/t/a").flushes, 1u);
}

// A write still in a thread when a flush is asked for is on disk when the
// flush returns: the flush waits for it. Deterministically: the write is
// held until the sync thread has either started the flush (it is held in
// the double, whose flush covers only writes done when it began) or is
// seen waiting for the write; only then is everything released. A later
// unflushed write is lost with the power.
TEST_F(Tio, FlushCoversEarlierWritesAndPowerLossDropsLaterOnes) {
  w->fs.set_nowait(false);
  w->fs.hold_transfers(true);
  w->fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(2, page_of(0xE1));
  std::memset(w->bufs[1].data(), 0xE2, kPage);
  static uint64_t waits_before;
  waits_before = tio_counters().flush_write_waits;
  auto body = +[] {
    TioVec v = vec_of(w->a, w->bufs[0].data(), 7);
    ASSERT_EQ(tio_rw(1, Vol_TIO_FULL_OVL, 1, &v), 0);
    ASSERT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), 0);
    TioVec later = vec_of(w->a, w->bufs[1].data(), 8);
    ASSERT_EQ(tio_rw(1, Vol_TIO_SYNC, 1, &later), 0);
    ++w->done;
  };
  auto release = +[] {
    // Blocks the server thread, not a task: the I/O threads go on.
    while (tio_counters().flush_write_waits == waits_before && w->fs.held_flushes() == 0)
      std::this_thread::yield();
    w->fs.hold_transfers(false);
    w->fs.hold_flushes(false);
  };
  ASSERT_TRUE(runner.run({body}, release));
  ASSERT_EQ(w->done, 1);
  EXPECT_EQ(tio_counters().flush_write_waits, waits_before + 1);
  w->fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<uint8_t> disk = w->fs.contents("/t/a");
  EXPECT_TRUE(std::equal(w->bufs[0].begin(), w->bufs[0].end(), disk.begin() + 7 * kPage));
  EXPECT_EQ(disk[8 * kPage], 8);  // the page as it was
}

// Overlapped writes and a flush still queued when the run ends: clean-up
// waits for all of them before it stops the threads.
TEST_F(Tio, CleanupDrainsQueuedWorkBeforeStoppingTheThreads) {
  w->fs.set_nowait(false);
  w->fs.set_delay_us("/t/b", 2000);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(40, std::vector<uint8_t>(kPage));
  auto body = +[] {
    for (int i = 0; i < 40; ++i) {
      std::memset(w->bufs[i].data(), 0xA0 + i, kPage);
      TioVec v = vec_of(w->b, w->bufs[i].data(), 100 + i);
      ASSERT_EQ(tio_rw(1, Vol_TIO_FULL_OVL, 1, &v), 0);
    }
    ASSERT_EQ(tio_fsync(w->b, Vol_TIO_FULL_OVL), 0);
    ++w->done;
  };
  ASSERT_TRUE(runner.run({body}));
  EXPECT_EQ(w->fs.counts("/t/b").writes, 0u);  // all still queued here
  w->fs.hold_transfers(false);
  tio_cleanup();
  EXPECT_EQ(tio_rw_threads(), 0);
  EXPECT_EQ(w->fs.counts("/t/b").writes, 40u);
  EXPECT_EQ(w->fs.counts("/t/b").flushes, 1u);
  w->fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<uint8_t> disk = w->fs.contents("/t/b");
  for (int i = 0; i < 40; ++i) EXPECT_EQ(disk[(100 + i) * kPage + 17], 0xA0 + i) << i;
}

// One call's transfers spread over many read/write threads: 60 one-page
// reads are handed over first, then one task reads 3 scattered pages of
// /t/b and 5 of the slow /t/a, eight transfers on eight more threads. The
// task wakes once, after its last page has arrived.
TEST_F(Tio, TransfersOfOneCallOnSeveralThreadsWakeTheTaskAfterTheLast) {
  w->fs.set_nowait(false);
  w->fs.set_delay_us("/t/a", 20000);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(68, std::vector<uint8_t>(kPage));
  auto reader = +[] {
    const int t = w->next++;
    if (t < 60) {
      TioVec v = vec_of(w->b, w->bufs[t].data(), t);
      ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &v), 0);
      ++w->done;
      return;
    }
    TioVec v[8];
    for (int k = 0; k < 8; ++k)
      v[k] = vec_of(k < 3 ? w->b : w->a, w->bufs[60 + k].data(), scattered_page(k));
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 8, v), 0);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(w->bufs[60 + k], page_of(scattered_fill(k))) << k;
    ++w->done;
  };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(61, reader),
                         count_threads_and_release));
  EXPECT_EQ(w->done, 61);
  EXPECT_EQ(w->threads_seen, 68 + tio_ring_active());
}

// The kernel stops while a task still waits for its read or flush: the
// completion cannot wake the task, says so and gives the waiter context back
// rather than leaving it to a wake-up that never runs.
struct StoppedKernelCase {
  const char* name;
  bool flush;
};

void PrintTo(const StoppedKernelCase& c, std::ostream* os) { *os << c.name; }

class TioKernelStopped : public Tio, public ::testing::WithParamInterface<StoppedKernelCase> {};
bool g_stopped_kernel_flush = false;

TEST_P(TioKernelStopped, CompletionFreesTheWaiterContext) {
  g_stopped_kernel_flush = GetParam().flush;
  w->fs.set_nowait(false);
  w->fs.hold_transfers(true);
  w->fs.hold_flushes(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(1, std::vector<uint8_t>(kPage));
  auto waiter = +[] {
    w->sleeper = thread_self();
    if (g_stopped_kernel_flush) {
      tio_fsync(w->b, Vol_TIO_SYNC);
    } else {
      TioVec v = vec_of(w->b, w->bufs[0].data(), 9);
      tio_rw(0, Vol_TIO_SYNC, 1, &v);
    }
    ADD_FAILURE() << "woken after the kernel stopped";
  };
  ASSERT_TRUE(runner.run({waiter}, +[] { thread_stop(); }));
  testsupport::LogCapture log("D3");
  w->fs.hold_transfers(false);
  w->fs.hold_flushes(false);
  tio_drain();
  tio_cleanup();
  const std::string text = log.text();
  EXPECT_NE(text.find("T0: tio notify: Unable to wake up task " +
                      std::to_string(thread_id(w->sleeper)) + ": thread kernel not running\n"),
            std::string::npos)
      << text;
  // The waiter contexts' free list is the first one cleaned up.
  EXPECT_NE(text.find("D3: Cleaning up tio free-list\n"), std::string::npos) << text;
  EXPECT_NE(text.find("D3:  1 entries\n"), std::string::npos) << text;
  EXPECT_LT(text.find("D3:  1 entries\n"), text.find("D3:  0 entries\n")) << text;
}

INSTANTIATE_TEST_SUITE_P(Tio, TioKernelStopped,
                         ::testing::Values(StoppedKernelCase{"Read", false},
                                           StoppedKernelCase{"Flush", true}),
                         [](const auto& i) { return std::string(i.param.name); });

// A task asleep in a transfer is not cut short by a time-out (the server
// tries one when it closes a session): the read still fills the task's
// buffer, so the wait runs until it has, with the time-out before the
// completion and after it.
struct AbortCase {
  const char* name;
  bool after_completion;
};

void PrintTo(const AbortCase& c, std::ostream* os) { *os << c.name; }

class TioAbortedSleep : public Tio, public ::testing::WithParamInterface<AbortCase> {};
bool g_abort_after_completion = false;

TEST_P(TioAbortedSleep, TaskWaitsOnUntilItsTransferIsDone) {
  g_abort_after_completion = GetParam().after_completion;
  w->fs.set_nowait(false);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(1, std::vector<uint8_t>(kPage));
  auto reader = +[] {
    w->sleeper = thread_self();
    TioVec v = vec_of(w->b, w->bufs[0].data(), 9);
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &v), 0);
    EXPECT_EQ(w->bufs[0], page_of(0x40 + 9));
    ++w->done;
  };
  auto interrupt = +[] {
    if (g_abort_after_completion) {
      w->fs.hold_transfers(false);
      tio_drain();  // the wake-up is posted, not yet run
      EXPECT_EQ(thread_timeout(w->sleeper, -1), -1);
    } else {
      EXPECT_EQ(thread_timeout(w->sleeper, -1), -1);
      thread_yield();  // the reader runs, finds its read not done
      w->fs.hold_transfers(false);
    }
  };
  ASSERT_TRUE(runner.run({reader}, interrupt));
  EXPECT_EQ(w->done, 1);
}

INSTANTIATE_TEST_SUITE_P(Tio, TioAbortedSleep,
                         ::testing::Values(AbortCase{"BeforeCompletion", false},
                                           AbortCase{"AfterCompletion", true}),
                         [](const auto& i) { return std::string(i.param.name); });

// --- Real files: the rings and the blocking threads -----------------------------
// Files that never transfer at once, so each transfer goes to a thread;
// pipes stand in for slow disks.

struct RealMode {
  const char* name;
  bool ring;
  int threads_for_200;  // read/write threads once 200 transfers wait at once
};
void PrintTo(const RealMode& m, std::ostream* os) { *os << m.name; }

// Pipes as slow files, and one real data file whose page p is filled with p.
struct RealWorld {
  testsupport::TempDir dir;
  std::vector<int> writers;  // write ends
  std::vector<File*> pipes;  // read ends
  File* data = nullptr;
  std::vector<std::vector<uint8_t>> bufs;
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<int> fast_done{0};
  int threads_seen = 0;
};
RealWorld* rw = nullptr;

void feed_pipe(int k, uint8_t fill, size_t from, size_t to) {
  std::vector<uint8_t> bytes(to - from, fill);
  ASSERT_EQ(::write(rw->writers[k], bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

class TioRealFiles : public ::testing::TestWithParam<RealMode> {
 protected:
  void SetUp() override {
    rw = new RealWorld;
    for (int k = 0; k < 200; ++k) {
      int fds[2];
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
      rw->writers.push_back(fds[1]);
      rw->pipes.push_back(new RealFile("pipe", fds[0], RealFile::kThreadOnly | RealFile::kPipe));
    }
    const int fd = ::open(rw->dir.file("data").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    for (uint32_t p = 0; p < 16; ++p) {
      std::vector<uint8_t> page = page_of(static_cast<uint8_t>(p));
      ASSERT_EQ(::pwrite(fd, page.data(), kPage, Vol_PageOffset(p)), kPage);
    }
    rw->data = new RealFile("data", fd, RealFile::kThreadOnly);
    tio_allow_ring(GetParam().ring);
    ASSERT_EQ(tio_setup(), 0);
    if (GetParam().ring && !tio_ring_active()) GTEST_SKIP() << "the kernel refuses io_uring here";
    ASSERT_EQ(tio_ring_active(), GetParam().ring ? 1 : 0);
  }
  void TearDown() override {
    // Pipe reads still waiting (a failed run) get their bytes first.
    for (int fd : rw->writers) {
      const std::vector<uint8_t> page(2 * kPage);
      if (::write(fd, page.data(), page.size()) < 0) ADD_FAILURE() << "pipe write";
      ::close(fd);
    }
    tio_cleanup();
    tio_allow_ring(true);
    for (File* f : rw->pipes) platform::file_close(f);
    platform::file_close(rw->data);
    delete rw;
    rw = nullptr;
  }
  storage_test::TaskRunner runner;
};

// 200 reads wait at once, each on its own pipe: a ring keeps 63 in flight,
// a blocking thread one. Then the pipes of 190 "fast" reads are fed; the
// 190th completion feeds the 10 "slow" ones, so a fast read that waited
// behind a slow one stalls the run.
TEST_P(TioRealFiles, AFastReadNeverWaitsBehindAPendingOne) {
  rw->bufs.assign(200, std::vector<uint8_t>(kPage));
  auto reader = +[] {
    const int t = rw->next++;
    const bool slow = t % 20 == 0;
    TioVec v{rw->pipes[t], rw->bufs[t].data(), kPage, Vol_PageOffset(t)};
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &v), 0);
    EXPECT_EQ(rw->bufs[t], page_of(static_cast<uint8_t>(t))) << t;
    if (slow) {
      EXPECT_EQ(rw->fast_done, 190) << "a slow read completed before the fast ones";
    } else if (++rw->fast_done == 190) {
      for (int k = 0; k < 200; k += 20) feed_pipe(k, static_cast<uint8_t>(k), 0, kPage);
    }
    ++rw->done;
  };
  auto feed_fast = +[] {
    rw->threads_seen = tio_rw_threads();
    for (int k = 0; k < 200; ++k)
      if (k % 20 != 0) feed_pipe(k, static_cast<uint8_t>(k), 0, kPage);
  };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(200, reader), feed_fast,
                         5000))
      << "fast reads stalled behind pending ones: " << rw->fast_done;
  EXPECT_EQ(rw->done, 200);
  EXPECT_EQ(rw->threads_seen, GetParam().threads_for_200);
}

// A transfer that comes back short goes on where it stopped: the pipe holds
// 3000 bytes of a two-page read when it is issued, the rest comes later.
TEST_P(TioRealFiles, AShortTransferGoesOnWhereItStopped) {
  rw->bufs.assign(2, std::vector<uint8_t>(kPage));
  feed_pipe(0, 0x5A, 0, 3000);
  auto reader = +[] {
    TioVec v[2] = {{rw->pipes[0], rw->bufs[0].data(), kPage, 0},
                   {rw->pipes[0], rw->bufs[1].data(), kPage, kPage}};
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 2, v), 0);
    ++rw->done;
  };
  auto rest = +[] { feed_pipe(0, 0x5A, 3000, 2 * kPage); };
  ASSERT_TRUE(runner.run({reader}, rest, 5000));
  EXPECT_EQ(rw->done, 1);
  EXPECT_EQ(rw->bufs[0], page_of(0x5A));
  EXPECT_EQ(rw->bufs[1], page_of(0x5A));
}

// Writes of a cluster and of scattered pages, a flush, and reads back, all
// through the threads, on a real file.
TEST_P(TioRealFiles, WritesFlushesAndReadsOfARealFileRoundTrip) {
  rw->bufs.assign(22, std::vector<uint8_t>(kPage));
  for (int k = 0; k < 11; ++k) std::memset(rw->bufs[k].data(), 0xB0 + k, kPage);
  auto body = +[] {
    TioVec v[8];
    for (int k = 0; k < 8; ++k) v[k] = {rw->data, rw->bufs[k].data(), kPage, Vol_PageOffset(20 + k)};
    ASSERT_EQ(tio_rw(1, Vol_TIO_SYNC, 8, v), 0);
    for (int k = 0; k < 3; ++k)
      v[k] = {rw->data, rw->bufs[8 + k].data(), kPage, Vol_PageOffset(2 + 3 * k)};
    ASSERT_EQ(tio_rw(1, Vol_TIO_FULL_OVL, 3, v), 0);
    ASSERT_EQ(tio_fsync(rw->data, Vol_TIO_SYNC), 0);
    for (int k = 0; k < 8; ++k) v[k] = {rw->data, rw->bufs[11 + k].data(), kPage, Vol_PageOffset(20 + k)};
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 8, v), 0);
    for (int k = 0; k < 3; ++k)
      v[k] = {rw->data, rw->bufs[19 + k].data(), kPage, Vol_PageOffset(2 + 3 * k)};
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 3, v), 0);
    ++rw->done;
  };
  ASSERT_TRUE(runner.run({body}));
  EXPECT_EQ(rw->done, 1);
  for (int k = 0; k < 11; ++k) EXPECT_EQ(rw->bufs[11 + k], rw->bufs[k]) << k;
  // Pages between the scattered ones are untouched.
  std::vector<uint8_t> page(kPage);
  ASSERT_EQ(::pread(rw->data->ring_fd(), page.data(), kPage, Vol_PageOffset(3)), kPage);
  EXPECT_EQ(page, page_of(3));
}

INSTANTIATE_TEST_SUITE_P(Tio, TioRealFiles,
                         ::testing::Values(RealMode{"Ring", true, 4},
                                           RealMode{"Blocking", false, 200}),
                         [](const auto& i) { return std::string(i.param.name); });

class TioDeathTest : public Tio {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Tio::SetUp();
  }
};

// After a failed flush the system may have dropped the file's written pages
// and says so once: every later flush of that file fails too, whether it
// waits or not, until the file is forgotten; other files are not touched.
TEST_F(Tio, AFailedFlushInTheSyncThreadStaysWithItsFile) {
  w->fs.fail_flush(1, EIO);
  ASSERT_EQ(tio_setup(), 0);
  auto flusher = +[] {
    EXPECT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), -1);
    EXPECT_EQ(tio_flush_error(w->a), EIO);
    EXPECT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), -1);
    EXPECT_EQ(tio_fsync(w->a, Vol_TIO_FULL_OVL), -1);
    EXPECT_EQ(tio_fsync(w->b, Vol_TIO_SYNC), 0);
    EXPECT_EQ(tio_flush_error(w->b), 0);
    tio_forget_file(w->a);
    EXPECT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), 0);
    ++w->done;
  };
  ASSERT_TRUE(runner.run({flusher}));
  EXPECT_EQ(w->done, 1);
  // The server runs on: the threads were not stopped by the failure.
  EXPECT_EQ(w->fs.counts("/t/a").flushes, 4u);
}

// The server's panic handler cleans up, I/O threads included, from the very
// thread that failed: the clean-up must not wait for that thread's request.
TEST_F(TioDeathTest, CleanupFromAFailedThreadsPanicDoesNotHang) {
  EXPECT_EXIT(
      {
        panic_set_handler(+[](const char* expression, const char*, int) {
          tio_cleanup();
          fprintf(stderr, "cleaned up after: %s\n", expression);
          fflush(stderr);
          _exit(6);
        });
        w->fs.set_nowait(false);
        w->fs.set_capacity(1);
        ASSERT_EQ(tio_setup(), 0);
        w->bufs.assign(1, page_of(1));
        auto writer = +[] {
          TioVec v = vec_of(w->a, w->bufs[0].data(), 64);
          tio_rw(1, Vol_TIO_SYNC, 1, &v);
        };
        runner.run({writer});
      },
      ::testing::ExitedWithCode(6), "cleaned up after: ");
}

TEST_F(TioDeathTest, FullFileSystemInAThreadIsFatal) {
  EXPECT_DEATH(
      {
        w->fs.set_nowait(false);
        w->fs.set_capacity(1);
        ASSERT_EQ(tio_setup(), 0);
        w->bufs.assign(1, page_of(1));
        auto writer = +[] {
          TioVec v = vec_of(w->a, w->bufs[0].data(), 64);
          tio_rw(1, Vol_TIO_SYNC, 1, &v);
        };
        runner.run({writer});
      },
      "Overlapped operation failed");
}

}  // namespace
