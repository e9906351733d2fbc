// tlog_bench.cpp - the transaction log on a fixture volume set in the
// current directory (or $ZENT_BENCH_DIR), in synchronous log mode, so that
// every final commit waits for an fdatasync of the LOG volume.
//
// RawFdatasync/0        8 KiB pwrite over one of 64 pages + fdatasync on a
//                       file beside the set: what the file system gives
//                       (the commit ceiling, the rate the ratios use).
// RawFdatasync/1        the same, each pwrite a new page at the file's end
//                       (the file grows, as the LOG volume does while the
//                       log fills it).
// FinalCommit/<tasks>   1, 8 or 32 tasks, each committing one-record
//                       transactions in a loop (begin, a 100-byte pool
//                       write on a page of its own, pre-commit, final
//                       commit); commits/s, fdatasyncs per commit and the
//                       ratio to the raw fdatasync rate measured first.
// Records/0            100-byte records written alone (one pool block
//                       each) on a transaction node: records/s.
// Records/1             100-byte records packed by a tag record, one pool
//                       write per 8 KiB block: records/s.
//
// Run: build/rel/bench/tlog_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/task_kernel.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/pool.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "bench_set.h"
#include "support/volume_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

double g_raw_rate = 0;  // fdatasyncs per second over written pages, measured first

// A root volume, a large LOG volume (sparse), synchronous mode, the
// transaction log on, a pool with one page of its own per task.
class BenchSet {
 public:
  explicit BenchSet(int tasks) {
    dir_ = bench_dir() + "/zent_tlog_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir_).c_str()) != 0) return;
    root_ = dir_ + "/root.vol";
    log_ = dir_ + "/log.vol";
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root_, VolType_DATA, 65536, 16384, 0, false},
                    {log_, VolType_LOG, 262144, 0, 0, false}};
    if (testsupport::write_volume_set(spec) != 0) return;
    const char* paths[] = {root_.c_str(), log_.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr || buf_Init(16384, 16384) != 0) return;
    if (Vol_SetSyncMode(1) != 0 || Tlog_Init() != 0 || Tlog_SetupRootNode() != 0) return;
    // The records of the record benchmarks are rolled back by a handler
    // that has nothing to undo.
    Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_FIXREC,
                    [](Node*, const void*, uint32_t, const Node_ADDR*) { return 0; });
    pool_ = Pool_Create();
    if (pool_ == nullptr) return;
    for (int i = 0; i < tasks; ++i) {
      // A block filling a cluster of its own; the writes touch its first page.
      Node_ADDR a;
      if (Pool_Alloc(pool_, 60000, &a, nullptr) != 0) return;
      blocks_.push_back(a);
    }
    Vol_Sync(Vol_TIO_SYNC);
    ok_ = true;
  }
  ~BenchSet() {
    close_bench_set({root_, log_}, dir_);
  }
  bool ok() const { return ok_; }
  Node* pool() const { return pool_; }
  const Node_ADDR& block(int i) const { return blocks_[static_cast<size_t>(i)]; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_, root_, log_;
  Node* pool_ = nullptr;
  std::vector<Node_ADDR> blocks_;
  bool ok_ = false;
};

void BM_RawFdatasync(benchmark::State& state) {
  const bool append = state.range(0) == 1;
  const double rate = raw_fdatasync_rate(
      state, bench_dir() + "/zent_tlog_bench_raw_" + std::to_string(getpid()), append);
  if (!append) g_raw_rate = rate;
}
BENCHMARK(BM_RawFdatasync)->Arg(0)->Arg(1)->MinTime(2.0)->UseRealTime();

struct CommitRun {
  BenchSet* set = nullptr;
  int per_task = 0;
  int next = 0;
  int done = 0;
};
CommitRun g_run;

void committer() {
  const int me = g_run.next++;
  Node* tx = Tlog_Create();
  if (tx == nullptr) return;
  char bytes[100];
  for (int i = 0; i < g_run.per_task; ++i) {
    memset(bytes, i & 0xFF, sizeof bytes);
    if (Tlog_Begin(tx, nullptr, 1) != 0) break;
    Node* pool = g_run.set->pool();
    if (Node_Lock(pool, __FILE__, __LINE__) != 0) break;
    const int put = Pool_Write(pool, &g_run.set->block(me), bytes, sizeof bytes, tx);
    Node_Unlock(pool);
    if (put != static_cast<int>(sizeof bytes) || Tlog_Commit(tx) != 0) {
      Tlog_Rollback(tx, 0);
      break;
    }
    Tlog_FinalCommit(tx);
    ++g_run.done;
  }
  Tlog_Destroy(tx);
}

void BM_FinalCommit(benchmark::State& state) {
  const int tasks = static_cast<int>(state.range(0));
  for (auto _ : state) {
    BenchSet set(tasks);
    if (!set.ok()) {
      state.SkipWithError("cannot set up the volume set");
      return;
    }
    storage_test::TaskRunner runner;
    if (tio_setup() != 0) {
      state.SkipWithError("tio_setup failed");
      return;
    }
    g_run = CommitRun{};
    g_run.set = &set;
    g_run.per_task = tasks == 1 ? 600 : 2400 / tasks;
    const uint64_t syncs_before = tio_counters().flushes;
    const auto t0 = Clock::now();
    const bool ran = runner.run(std::vector<storage_test::TaskRunner::Body>(
        static_cast<size_t>(tasks), committer), nullptr, 120000);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t syncs = tio_counters().flushes - syncs_before;
    tio_cleanup();
    if (!ran || g_run.done != tasks * g_run.per_task) {
      state.SkipWithError("the run stalled or a commit failed");
      return;
    }
    state.SetIterationTime(secs);
    const double rate = g_run.done / secs;
    state.counters["commits_per_s"] = rate;
    state.counters["fdatasync_per_commit"] = static_cast<double>(syncs) / g_run.done;
    if (g_raw_rate > 0) {
      state.counters["raw_fdatasync_per_s"] = g_raw_rate;
      state.counters["commits_per_raw_fdatasync"] = rate / g_raw_rate;
    }
  }
}
BENCHMARK(BM_FinalCommit)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime();

// Records of 100 bytes on a transaction's LOG: each written alone
// (argument 0), or packed by a tag record (1). Every 20000 records the
// transaction is rolled back and begun again, outside the timing.
void BM_Records(benchmark::State& state) {
  const bool tagged = state.range(0) == 1;
  BenchSet set(0);
  if (!set.ok()) {
    state.SkipWithError("cannot set up the volume set");
    return;
  }
  Node* tx = Tlog_Create();
  char data[100] = {};
  Tlog_Begin(tx, nullptr, 1);
  Tlog_TAGREC tag;
  if (tagged) Tlog_InitTagRecord(tx, &tag, Tlog_CHANNEL_LOG);
  int64_t n = 0;
  for (auto _ : state) {
    const int rc = tagged ? Tlog_AddBufferToTagRecord(&tag, Tlog_OP_FIXREC, nullptr, data,
                                                      sizeof data)
                          : Tlog_WriteRecord(tx, Tlog_OP_FIXREC, Tlog_CHANNEL_LOG, nullptr,
                                             data, sizeof data, nullptr);
    if (rc != 0) {
      state.SkipWithError("a record write failed");
      break;
    }
    if (++n % 20000 == 0) {
      state.PauseTiming();
      if ((tagged && Tlog_FlushTagRecord(&tag) != 0) || Tlog_Rollback(tx, 0) != 0 ||
          Tlog_Begin(tx, nullptr, 1) != 0)
        state.SkipWithError("rollback");
      state.ResumeTiming();
    }
  }
  if (tagged) {
    Tlog_FlushTagRecord(&tag);
    Tlog_CloseTagRecord(&tag);
  }
  Tlog_Rollback(tx, 0);
  state.SetItemsProcessed(n);
  Tlog_Destroy(tx);
}
BENCHMARK(BM_Records)->Arg(0)->Arg(1)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
