// cache_miss_bench.cpp - random 8 KiB buffer cache misses from K concurrent
// tasks (1, 8, 32, 64) beside the same reads by K plain threads with pread,
// both in each iteration, so the two figures and their ratio come from one
// run.
//
// The volume file (16384 pages, 128 MiB, every page written) is far larger
// than the cache (256 buffers, 2 MiB), so nearly every get misses
// (miss_ratio shows how nearly). It is not larger than the machine's memory:
// both sides read from the operating system's page cache, warmed before the
// first iteration, so the figures compare the roads, not the disk. Each side
// reads the same pages in the same order per task or thread.
//
// Roads of the task side (label):
//   at_once   the volume file as the server opens it: a page in the page
//             cache is read at once on the server thread (RWF_NOWAIT), so
//             the K tasks take turns on one thread;
//   ring      every miss goes to a read/write thread's io_uring ring (the
//             file refuses transfers without waiting);
//   blocking  the same through the blocking threads (rings switched off).
// Counters: task_reads_per_s, pread_reads_per_s, ratio (task / pread).
// The K pread threads are started once per benchmark; the K tasks are made
// afresh each iteration (the kernel's task start is cheap beside 8192
// reads).
//
// Run: build/rel/bench/cache_miss_bench (Release build without sanitizers).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/task_kernel.h"
#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/real_file.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"

namespace {

constexpr uint32_t kPages = 16384;
constexpr uint32_t kFirstDataPage = 400;  // past the descriptors and free list
constexpr int kBuffers = 256;
constexpr int kReadsPerIteration = 8192;

enum Road { kAtOnce = 0, kRing = 1, kBlocking = 2 };
const char* road_name(int r) { return r == kAtOnce ? "at_once" : r == kRing ? "ring" : "blocking"; }

std::string tmp_dir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

// Opens the volume files as files that never transfer at once.
class ThreadOnlyFileSystem final : public platform::FileSystem {
 public:
  int open(const char* path, unsigned flags, platform::File** out) override {
    const int fd = ::open(path, (flags & platform::FILE_WRITE) ? O_RDWR | O_CLOEXEC
                                                                : O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    *out = new storage_test::RealFile(path, fd, storage_test::RealFile::kThreadOnly);
    return 0;
  }
  int rename(const char* from, const char* to) override {
    return platform::os_file_system()->rename(from, to);
  }
  int remove(const char* path) override { return platform::os_file_system()->remove(path); }
  int sync_dir(const char* dir) override { return platform::os_file_system()->sync_dir(dir); }
};

// The set, written once per process: a root volume with every page filled.
struct Files {
  std::string dir = tmp_dir() + "/zent_missbench_" + std::to_string(getpid());
  std::string root = dir + "/root.vol";
  std::string log = dir + "/log.vol";
  Files() {
    if (system(("mkdir -p " + dir).c_str()) != 0) abort();
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root, VolType_DATA, kPages}, {log, VolType_LOG}};
    if (testsupport::write_volume_set(spec) != 0) abort();
    const int fd = ::open(root.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<char> page(Vol_PAGESIZE);
    for (uint32_t p = kFirstDataPage; p < kPages; ++p) {
      memset(page.data(), static_cast<int>(p), page.size());
      if (::pwrite(fd, page.data(), page.size(), Vol_PageOffset(p)) != Vol_PAGESIZE) abort();
    }
    // Warm the page cache for both sides.
    for (uint32_t p = 0; p < kPages; ++p)
      if (::pread(fd, page.data(), page.size(), Vol_PageOffset(p)) != Vol_PAGESIZE) abort();
    ::close(fd);
  }
  ~Files() {
    if (system(("rm -rf " + dir).c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
};

Files& files() {
  static Files f;
  return f;
}

uint32_t page_of(std::mt19937& rng) {
  return kFirstDataPage + static_cast<uint32_t>(rng() % (kPages - kFirstDataPage));
}

// The task side's shared state (task bodies take no arguments).
struct TaskSide {
  std::atomic<int> next{0};
  int per_task = 0;
};
TaskSide g_side;

Node* bench_node() {
  static int token;
  return reinterpret_cast<Node*>(&token);
}

void task_reads() {
  const int t = g_side.next++;
  std::mt19937 rng(static_cast<uint32_t>(t + 1));
  char* buf = nullptr;
  for (int i = 0; i < g_side.per_task; ++i) {
    buf_Get(bench_node(), page_of(rng), 1, BF_PIN, &buf);
    benchmark::DoNotOptimize(buf[100]);
    buf_Put(buf, 0, BF_PIN);
  }
}

double run_tasks(int k) {
  g_side.next = 0;
  g_side.per_task = kReadsPerIteration / k;
  storage_test::TaskRunner runner;
  const auto start = std::chrono::steady_clock::now();
  if (!runner.run(std::vector<storage_test::TaskRunner::Body>(static_cast<size_t>(k), task_reads)))
    abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// K plain threads that stay for the whole benchmark, so an iteration costs
// no thread starts: each round, every thread reads its share and reports.
class PreadThreads {
 public:
  PreadThreads(int k, int fd) : per_(kReadsPerIteration / k) {
    for (int t = 0; t < k; ++t) threads_.emplace_back([this, t, fd] { loop(t, fd); });
  }
  ~PreadThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& th : threads_) th.join();
  }
  // One round of reads by every thread; seconds it took.
  double round() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    ++round_;
    busy_ = static_cast<int>(threads_.size());
    changed_.notify_all();
    changed_.wait(lock, [this] { return busy_ == 0; });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

 private:
  void loop(int t, int fd) {
    std::vector<char> page(Vol_PAGESIZE);
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
      }
      std::mt19937 rng(static_cast<uint32_t>(t + 1));
      for (int i = 0; i < per_; ++i)
        if (::pread(fd, page.data(), page.size(), Vol_PageOffset(page_of(rng))) != Vol_PAGESIZE)
          abort();
      benchmark::DoNotOptimize(page[100]);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) changed_.notify_all();
    }
  }

  const int per_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t round_ = 0;
  int busy_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

void BM_RandomMisses(benchmark::State& state) {
  const int road = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  Files& f = files();
  ThreadOnlyFileSystem thread_only;
  if (road != kAtOnce) platform::set_file_system(&thread_only);
  tio_allow_ring(road != kBlocking);
  const char* paths[] = {f.root.c_str(), f.log.c_str()};
  if (Vol_OpenSet(2, paths) == nullptr) abort();
  if (buf_Init(kBuffers, kBuffers) != 0) abort();
  if (tio_setup() != 0) abort();
  if (road == kRing && !tio_ring_active()) {
    state.SkipWithError("the kernel refuses io_uring here");
  }
  const int fd = ::open(f.root.c_str(), O_RDONLY | O_CLOEXEC);
  const BufStats before = *buf_GetStats();
  double task_s = 0, thread_s = 0;
  {
    PreadThreads preads(k, fd);
    for (auto _ : state) {
      const double t = run_tasks(k);
      task_s += t;
      thread_s += preads.round();
      state.SetIterationTime(t);
    }
  }
  const BufStats after = *buf_GetStats();
  ::close(fd);
  tio_cleanup();
  buf_Exit();
  Vol_Close();
  Vol_Free();
  platform::set_file_system(nullptr);
  tio_allow_ring(true);
  const double reads = static_cast<double>(state.iterations()) * kReadsPerIteration;
  state.counters["task_reads_per_s"] = reads / task_s;
  state.counters["pread_reads_per_s"] = reads / thread_s;
  state.counters["ratio"] = thread_s / task_s;
  state.counters["miss_ratio"] =
      static_cast<double>(after.misses - before.misses) / static_cast<double>(after.requests - before.requests);
  state.SetLabel(road_name(road));
}
BENCHMARK(BM_RandomMisses)
    ->ArgNames({"road", "k"})
    ->ArgsProduct({{kAtOnce, kRing, kBlocking}, {1, 8, 32, 64}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
