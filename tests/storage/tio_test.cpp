// The I/O threads: the direct road outside tasks, transfers handed to the
// read/write threads, shared flushes, flush ordering after writes, faults
// injected through the file double, and shutdown with work still queued.
#include "storage/tio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/fault_file.h"
#include "platform/file.h"
#include "storage/page_io.h"
#include "support/log_capture.h"
#include "task_runner.h"

namespace {

using platform::FaultFileSystem;
using platform::File;

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

// 200 reads pending at once: 190 on one file, 10 on a slow one. All are
// handed over before any may complete, so the threads must take them all
// (63 each: four threads), and every read completes with its page.
TEST_F(Tio, TwoHundredConcurrentReadsCompleteWhileOneFileIsSlow) {
  w->fs.set_nowait(false);
  w->fs.set_delay_us("/t/a", 5000);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(200, std::vector<uint8_t>(kPage));
  auto reader = +[] {
    const int t = w->next++;
    const bool slow = t % 20 == 0;
    TioVec v = vec_of(slow ? w->a : w->b, w->bufs[t].data(), slow ? t / 20 : t);
    ASSERT_EQ(tio_rw(0, Vol_TIO_SYNC, 1, &v), 0);
    EXPECT_EQ(w->bufs[t], page_of(static_cast<uint8_t>(slow ? t / 20 : 0x40 + t))) << t;
    ++w->done;
  };
  ASSERT_TRUE(runner.run(std::vector<storage_test::TaskRunner::Body>(200, reader),
                         count_threads_and_release));
  EXPECT_EQ(w->done, 200);
  EXPECT_EQ(w->threads_seen, 4);
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
// flush returns: the flush waits for it (the write is held until the task
// sleeps in its flush, which is not held). A later unflushed write is lost
// with the power.
TEST_F(Tio, FlushCoversEarlierWritesAndPowerLossDropsLaterOnes) {
  w->fs.set_nowait(false);
  w->fs.hold_transfers(true);
  ASSERT_EQ(tio_setup(), 0);
  w->bufs.assign(2, page_of(0xE1));
  std::memset(w->bufs[1].data(), 0xE2, kPage);
  auto body = +[] {
    TioVec v = vec_of(w->a, w->bufs[0].data(), 7);
    ASSERT_EQ(tio_rw(1, Vol_TIO_FULL_OVL, 1, &v), 0);
    ASSERT_EQ(tio_fsync(w->a, Vol_TIO_SYNC), 0);
    TioVec later = vec_of(w->a, w->bufs[1].data(), 8);
    ASSERT_EQ(tio_rw(1, Vol_TIO_SYNC, 1, &later), 0);
    ++w->done;
  };
  auto release = +[] { w->fs.hold_transfers(false); };
  ASSERT_TRUE(runner.run({body}, release));
  ASSERT_EQ(w->done, 1);
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

// One call's transfers spread over two read/write threads: 60 one-page reads
// fill most of the first list, then one task reads 3 scattered pages of /t/b
// (the first list's last places) and 5 of the slow /t/a (a second thread).
// The task wakes once, after its last page has arrived.
TEST_F(Tio, TransfersOfOneCallOnTwoThreadsWakeTheTaskAfterTheLast) {
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
  EXPECT_EQ(w->threads_seen, 2);
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

class TioDeathTest : public Tio {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Tio::SetUp();
  }
};

TEST_F(TioDeathTest, FailedFlushInTheSyncThreadIsFatal) {
  EXPECT_DEATH(
      {
        w->fs.fail_flush(1, EIO);
        ASSERT_EQ(tio_setup(), 0);
        auto flusher = +[] { tio_fsync(w->a, Vol_TIO_SYNC); };
        runner.run({flusher});
      },
      "sync_thread_main\\(\\) failed on FlushFileBuffers\\(\\)");
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
        w->fs.fail_flush(1, EIO);
        ASSERT_EQ(tio_setup(), 0);
        auto flusher = +[] { tio_fsync(w->a, Vol_TIO_SYNC); };
        runner.run({flusher});
      },
      ::testing::ExitedWithCode(6), "cleaned up after: sync_thread_main");
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
