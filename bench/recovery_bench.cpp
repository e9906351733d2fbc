// recovery_bench.cpp - crash recovery time against the log it replays, and
// final-commit latency while timed checkpoints run; each beside the plain
// file-system figure it cannot beat, measured in the same run. The sets live
// in the current directory (or $ZENT_BENCH_DIR).
//
// Recovery/<pages>     a child process makes a set (start-up checkpoint),
//                      commits transactions in synchronous mode (each
//                      rewrites a 60000-byte pool block) until the log
//                      holds <pages> LOG pages, and dies without a
//                      checkpoint (_exit). The parent drops the files from
//                      the page cache (POSIX_FADV_DONTNEED), opens the set
//                      and times Tlog_Recover alone. Yardstick: the same
//                      number of pages read with plain sequential pread from
//                      a file beside the set, also dropped from the cache.
//                      Counters: recover_ms, pread_ms, recover_per_pread.
// RawFdatasyncLatency  8 KiB pwrite over one of 64 pages + fdatasync:
//                      p50/p99/max in microseconds (the commit's floor).
// CommitLatency/<ck>   4 tasks, each 500 transactions (a 100-byte pool write
//                      on a page of its own, pre-commit, final commit) under
//                      a shared unit of the API lock, as a request holds it;
//                      the latency of pre-commit plus final commit.
//                      ck = 0: no checkpoints; ck = 1: a checkpoint task
//                      runs Tlog_Checkpoint every 100 ms, as the server's
//                      timed checkpoint does. p50/p99/max in microseconds
//                      and p99 over the raw fdatasync p99.
//
// Run: build/rel/bench/recovery_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/task_kernel.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/pool.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "bench_set.h"
#include "tools/volume_create.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

double us_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Spread {
  double p50 = 0, p99 = 0, max = 0;
};
Spread spread_of(std::vector<double> v) {
  Spread s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.p50 = v[v.size() / 2];
  s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  s.max = v.back();
  return s;
}
void report(benchmark::State& state, const Spread& s) {
  state.counters["p50_us"] = s.p50;
  state.counters["p99_us"] = s.p99;
  state.counters["max_us"] = s.max;
}

void drop_from_page_cache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// A root volume and a LOG volume in a directory of their own, opened in
// synchronous mode with the transaction log on, as the server starts them
// (recovery, start-up checkpoint); stop() is the server's close-down (last
// checkpoint, clean-close flag).
class Set {
 public:
  Set() {
    dir_ = bench_dir() + "/zent_recovery_bench_" + std::to_string(getpid());
    root_ = dir_ + "/root.vol";
    log_ = dir_ + "/log.vol";
  }
  ~Set() {
    stop();
    close_bench_set({root_, log_}, dir_);
  }
  // A new set as the server's tools make it (system pools included),
  // stopped cleanly.
  bool make() {
    if (system(("mkdir -p " + dir_).c_str()) != 0) return false;
    if (Vol_Create(root_.c_str(), 16384, 4096, 0) == nullptr ||
        Vol_CreateExtent(log_.c_str(), VolType_LOG, 16384, 4096, 0) == nullptr ||
        buf_Init(16384, 16384) != 0 || SysPool_Initialize() != 0 || Tlog_Init() != 0 ||
        Tlog_Checkpoint("Server startup") != 0)
      return false;
    started_ = true;
    stop();
    return true;
  }
  // Opens the set; with recover, Tlog_Recover runs (timed into *recover_us)
  // before the start-up checkpoint.
  bool start(double* recover_us = nullptr) {
    const char* paths[] = {root_.c_str(), log_.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr || Vol_SetSyncMode(1) != 0 ||
        buf_Init(16384, 16384) != 0 || Tlog_Init() != 0)
      return false;
    const auto t0 = Clock::now();
    if (Tlog_Recover() != 0) return false;
    if (recover_us != nullptr) *recover_us = us_since(t0);
    if (Tlog_Checkpoint("Server startup") != 0) return false;
    started_ = true;
    return true;
  }
  void stop(bool checkpoint = true) {
    if (!started_) return;
    started_ = false;
    VNode_Flush(nullptr);
    if (checkpoint) Tlog_Checkpoint("Server shutdown");
    VNode_Flush(nullptr);
    VNode_Cleanup();
    Vol_Sync(Vol_TIO_SYNC);
    if (checkpoint) Vol_SetConsistent();
    Vol_Close();
    Vol_Free();
    buf_Exit();
  }
  // A pool of n blocks of size bytes each; their addresses into blocks.
  Node* make_pool(int n, uint32_t size, std::vector<Node_ADDR>* blocks) {
    Node* pool = Pool_Create();
    if (pool == nullptr) return nullptr;
    for (int i = 0; i < n; ++i) {
      Node_ADDR a;
      if (Pool_Alloc(pool, size, &a, nullptr) != 0) return nullptr;
      blocks->push_back(a);
    }
    Vol_Sync(Vol_TIO_SYNC);
    return pool;
  }
  void drop_files() const {
    drop_from_page_cache(root_);
    drop_from_page_cache(log_);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_, root_, log_;
  bool started_ = false;
};

// --- Recovery against log pages ------------------------------------------------------------

constexpr uint32_t kBigBlock = 60000;

// The child: commits until the log holds pages LOG pages, writes the count
// reached to fd, and dies without a checkpoint. Exit status 0 on success.
[[noreturn]] void crash_after_log_pages(Set* set, uint32_t pages, int fd) {
  uint32_t reached = 0;
  std::vector<Node_ADDR> blocks;
  Node* pool = nullptr;
  Node* tx = nullptr;
  if (!set->start() || (pool = set->make_pool(32, kBigBlock, &blocks)) == nullptr ||
      (tx = Tlog_Create()) == nullptr)
    _exit(1);
  std::vector<uint8_t> bytes(kBigBlock);
  for (uint32_t k = 1; Tlog_LogSize() < pages; ++k) {
    memset(bytes.data(), static_cast<int>(k & 0xFF), bytes.size());
    const Node_ADDR& a = blocks[k % blocks.size()];
    if (Tlog_Begin(tx, nullptr, k) != 0 ||
        Pool_Write(pool, &a, bytes.data(), kBigBlock, tx) != static_cast<int>(kBigBlock) ||
        Tlog_Commit(tx) != 0)
      _exit(2);
    Tlog_FinalCommit(tx);
  }
  reached = Tlog_LogSize();
  if (write(fd, &reached, sizeof reached) != sizeof reached) _exit(3);
  _exit(0);
}

// Plain sequential pread of pages pages of a file of its own, cold.
double pread_us(const std::string& dir, uint32_t pages) {
  const std::string path = dir + "/yardstick";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return -1;
  std::vector<char> page(8192, 'y');
  for (uint32_t i = 0; i < pages; ++i)
    if (pwrite(fd, page.data(), page.size(), static_cast<off_t>(i) * 8192) != 8192) return -1;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  const auto t0 = Clock::now();
  for (uint32_t i = 0; i < pages; ++i)
    if (pread(fd, page.data(), page.size(), static_cast<off_t>(i) * 8192) != 8192) return -1;
  const double us = us_since(t0);
  close(fd);
  unlink(path.c_str());
  return us;
}

void BM_Recovery(benchmark::State& state) {
  const auto pages = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    Set set;
    if (!set.make()) {
      state.SkipWithError("cannot make the volume set");
      return;
    }
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      crash_after_log_pages(&set, pages, fds[1]);
    }
    close(fds[1]);
    uint32_t reached = 0;
    const bool got = read(fds[0], &reached, sizeof reached) == sizeof reached;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the committing child failed");
      return;
    }
    set.drop_files();
    double recover = 0;
    if (!set.start(&recover)) {
      state.SkipWithError("recovery failed");
      return;
    }
    const double yard = pread_us(set.dir(), reached);
    state.SetIterationTime(recover / 1e6);
    state.counters["log_pages"] = reached;
    state.counters["recover_ms"] = recover / 1000;
    state.counters["pread_ms"] = yard / 1000;
    if (yard > 0) state.counters["recover_per_pread"] = recover / yard;
  }
}
BENCHMARK(BM_Recovery)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000)->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// --- Commit latency across timed checkpoints ---------------------------------------------------

Spread g_raw;  // the raw fdatasync spread, measured first

void BM_RawFdatasyncLatency(benchmark::State& state) {
  const std::string path = bench_dir() + "/zent_recovery_bench_raw_" + std::to_string(getpid());
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  std::vector<char> page(8192, 'r');
  std::vector<double> lat;
  int64_t n = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (pwrite(fd, page.data(), page.size(), static_cast<off_t>(n % 64) * 8192) != 8192 ||
        fdatasync(fd) != 0) {
      state.SkipWithError("pwrite or fdatasync failed");
      break;
    }
    lat.push_back(us_since(t0));
    ++n;
  }
  close(fd);
  unlink(path.c_str());
  g_raw = spread_of(lat);
  report(state, g_raw);
}
BENCHMARK(BM_RawFdatasyncLatency)->Iterations(2000)->UseRealTime();

constexpr int kTasks = 4;
constexpr int kPerTask = 500;
constexpr int kCheckpointMs = 100;

struct LatencyRun {
  Node* pool = nullptr;
  std::vector<Node_ADDR> blocks;
  std::vector<double> latencies;
  int next = 0;
  int live = 0;
  bool failed = false;
  std::atomic<Task*> checkpointer{nullptr};
  std::atomic<bool> done{false};
  int checkpoints = 0;
};
LatencyRun* g_lr = nullptr;

void committer() {
  const int me = g_lr->next++;
  Node* tx = Tlog_Create();
  char bytes[100];
  for (int i = 0; tx != nullptr && i < kPerTask && !g_lr->failed; ++i) {
    memset(bytes, i & 0xFF, sizeof bytes);
    if (Tlog_ApiSharedLock() != 0) break;
    bool ok = Tlog_Begin(tx, nullptr, 1) == 0 && Node_Lock(g_lr->pool, __FILE__, __LINE__) == 0;
    if (ok) {
      ok = Pool_Write(g_lr->pool, &g_lr->blocks[static_cast<size_t>(me)], bytes, sizeof bytes,
                      tx) == static_cast<int>(sizeof bytes);
      Node_Unlock(g_lr->pool);
    }
    const auto t0 = Clock::now();
    if (!ok || Tlog_Commit(tx) != 0) {
      Tlog_Rollback(tx, 0);
      Tlog_ApiSharedUnlock();
      g_lr->failed = true;
      break;
    }
    Tlog_FinalCommit(tx);
    g_lr->latencies.push_back(us_since(t0));
    Tlog_ApiSharedUnlock();
  }
  if (tx != nullptr) Tlog_Destroy(tx);
  if (--g_lr->live == 0) {
    g_lr->done = true;
    Task* t = g_lr->checkpointer;
    if (t != nullptr && thread_wchan(t) == nullptr) thread_unblock(t);
  }
}

// Blocks until the timer thread (or the last committer) unblocks it, then
// checkpoints as the server's checkpoint task does.
void checkpointer() {
  Task* self = thread_self();
  g_lr->checkpointer = self;
  while (!g_lr->done) {
    thread_block(self);
    thread_yield();
    if (g_lr->done) break;
    if (Tlog_ApiSharedLock() != 0) break;
    if (Tlog_Checkpoint("Checkpoint") != 0) g_lr->failed = true;
    Tlog_ApiSharedUnlock();
    ++g_lr->checkpoints;
  }
  g_lr->checkpointer = nullptr;
}

void BM_CommitLatency(benchmark::State& state) {
  const bool checkpoints = state.range(0) == 1;
  for (auto _ : state) {
    Set set;
    if (!set.make() || !set.start()) {
      state.SkipWithError("cannot set up the volume set");
      return;
    }
    LatencyRun run;
    g_lr = &run;
    run.pool = set.make_pool(kTasks, kBigBlock, &run.blocks);
    run.live = kTasks;
    run.latencies.reserve(kTasks * kPerTask);
    storage_test::TaskRunner runner;
    if (run.pool == nullptr || tio_setup() != 0) {
      state.SkipWithError("cannot set up the pool or the I/O threads");
      return;
    }
    std::vector<storage_test::TaskRunner::Body> bodies(kTasks, committer);
    if (checkpoints) bodies.push_back(checkpointer);
    // The checkpoint timer: a thread of its own posts the unblock, which
    // the server thread runs at its next scheduler pass (commits keep the
    // I/O completions, and so those passes, coming).
    std::thread timer;
    if (checkpoints)
      timer = std::thread([&run] {
        while (!run.done) {
          std::this_thread::sleep_for(std::chrono::milliseconds(kCheckpointMs));
          Task* t = run.checkpointer;
          if (!run.done && t != nullptr) thread_post_unblock(t);
        }
      });
    const auto t0 = Clock::now();
    const bool ran = runner.run(bodies, nullptr, 120000);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    run.done = true;
    if (timer.joinable()) timer.join();
    tio_cleanup();
    g_lr = nullptr;
    if (!ran || run.failed || run.latencies.size() != static_cast<size_t>(kTasks * kPerTask)) {
      state.SkipWithError("the run stalled or a commit failed");
      return;
    }
    state.SetIterationTime(secs);
    const Spread s = spread_of(run.latencies);
    report(state, s);
    state.counters["commits_per_s"] = static_cast<double>(run.latencies.size()) / secs;
    state.counters["checkpoints"] = run.checkpoints;
    if (g_raw.p99 > 0) {
      state.counters["raw_p50_us"] = g_raw.p50;
      state.counters["raw_p99_us"] = g_raw.p99;
      state.counters["raw_max_us"] = g_raw.max;
      state.counters["p99_per_raw_p99"] = s.p99 / g_raw.p99;
    }
  }
}
BENCHMARK(BM_CommitLatency)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
