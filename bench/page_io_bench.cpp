// page_io_bench.cpp - 8 KiB page transfers through the I/O threads against
// plain pread/pwrite in the same run, and how many fdatasync calls a flush
// request costs when 1, 8 or 32 tasks flush one file at once.
//
// Read/<kind> and Write/<kind>:
//   Direct     pread/pwrite on the calling thread (the baseline);
//   Tio        tio_rw in SYNC mode from a task: a transfer the file system
//              does at once from its cache never leaves the task;
//   TioThread  the same with transfers that can never be done at once, so
//              every one goes to a read/write thread and back through the
//              kernel's mailbox (the cost of the hand-off).
// Flush/K: K tasks each write a page and flush the file, 20 times;
// fdatasync_per_request = fdatasync calls / flush requests.
//
// Run: build/<dir>/bench/page_io_bench (Release build). The files live in
// $TMPDIR (default /tmp); the page cache is warm, so reads measure the path,
// not the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/task_kernel.h"
#include "platform/file.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/real_file.h"
#include "storage/task_runner.h"

namespace {

constexpr uint32_t kPage = Vol_PAGESIZE;
constexpr uint32_t kPages = 4096;  // 32 MiB

// A volume file on the real file system that counts its flushes and can be
// told never to transfer without waiting.
using BenchFile = storage_test::RealFile;

std::string bench_path() {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/zent_page_io_bench." +
         std::to_string(getpid());
}

// One file for the whole run, written once so every page exists.
int bench_fd() {
  static int fd = [] {
    const std::string path = bench_path();
    int f = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (f < 0) abort();
    ::unlink(path.c_str());
    std::vector<uint8_t> page(kPage, 0x5A);
    for (uint32_t p = 0; p < kPages; ++p)
      if (::pwrite(f, page.data(), kPage, static_cast<off_t>(p) * kPage) != kPage) abort();
    ::fdatasync(f);
    return f;
  }();
  return fd;
}

// Page numbers in a fixed scattered order.
uint32_t nth_page(uint64_t i) { return static_cast<uint32_t>((i * 2654435761u) % kPages); }

enum Kind { kDirect = 0, kTio = 1, kTioThread = 2 };

// State the task bodies reach (task entries take no arguments).
benchmark::State* g_state = nullptr;
BenchFile* g_file = nullptr;
int g_mode = 0;  // 0 read, 1 write
std::vector<uint8_t>* g_buf = nullptr;

void transfer_task() {
  uint64_t i = 0;
  for (auto _ : *g_state) {
    TioVec v = {g_file, g_buf->data(), kPage, Vol_PageOffset(nth_page(i++))};
    tio_rw(g_mode, Vol_TIO_SYNC, 1, &v);
  }
}

void run_transfers(benchmark::State& state, int mode) {
  const int kind = static_cast<int>(state.range(0));
  std::vector<uint8_t> buf(kPage, 0x3C);
  const int fd = bench_fd();
  if (kind == kDirect) {
    uint64_t i = 0;
    for (auto _ : state) {
      const off_t off = static_cast<off_t>(nth_page(i++)) * kPage;
      const ssize_t n = mode == 0 ? ::pread(fd, buf.data(), kPage, off)
                                  : ::pwrite(fd, buf.data(), kPage, off);
      if (n != kPage) state.SkipWithError("short transfer");
    }
  } else {
    BenchFile file("bench", ::dup(fd), kind == kTioThread ? BenchFile::kThreadOnly : 0u);
    storage_test::TaskRunner runner;
    if (tio_setup() != 0) state.SkipWithError("tio_setup failed");
    g_state = &state;
    g_file = &file;
    g_mode = mode;
    g_buf = &buf;
    if (!runner.run({transfer_task})) state.SkipWithError("run stalled");
    tio_cleanup();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kPage);
}

void BM_Read(benchmark::State& state) { run_transfers(state, 0); }
void BM_Write(benchmark::State& state) { run_transfers(state, 1); }

BENCHMARK(BM_Read)->Arg(kDirect)->Arg(kTio)->Arg(kTioThread)->ArgName("kind");
BENCHMARK(BM_Write)->Arg(kDirect)->Arg(kTio)->Arg(kTioThread)->ArgName("kind");

constexpr int kRounds = 20;
std::atomic<int> g_next_task{0};

void flush_task() {
  const int t = g_next_task++;
  std::vector<uint8_t> page(kPage, static_cast<uint8_t>(t));
  for (int r = 0; r < kRounds; ++r) {
    g_file->write_at(page.data(), kPage, Vol_PageOffset(static_cast<uint32_t>(t)));
    tio_fsync(g_file, Vol_TIO_SYNC);
  }
}

void BM_Flush(benchmark::State& state) {
  const int tasks = static_cast<int>(state.range(0));
  BenchFile file("bench", ::dup(bench_fd()), 0u);
  g_file = &file;
  uint64_t requests = 0;
  for (auto _ : state) {
    storage_test::TaskRunner runner;
    if (tio_setup() != 0) state.SkipWithError("tio_setup failed");
    g_next_task = 0;
    if (!runner.run(std::vector<storage_test::TaskRunner::Body>(tasks, flush_task)))
      state.SkipWithError("run stalled");
    tio_cleanup();
    requests += static_cast<uint64_t>(tasks) * kRounds;
  }
  state.counters["fdatasync_per_request"] =
      static_cast<double>(file.fdatasyncs()) / static_cast<double>(requests);
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Flush)->Arg(1)->Arg(8)->Arg(32)->ArgName("tasks")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
