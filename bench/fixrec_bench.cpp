// fixrec_bench.cpp - fixed-record files on a fixture volume set in the
// current directory (or $ZENT_BENCH_DIR), synchronous log mode.
//
// ReadByRecno/<records>  random FixRec_Get by record number (8-byte records,
//                        8-page clusters: 138 clusters a million records)
//                        on a file of 100 thousand, 1 million and 10
//                        million records, kept open, all pages cached:
//                        the time of one read must not grow with the file.
//                        Its instructions do not (the same count at each
//                        size under callgrind); its time grows as the pages
//                        it lands on, their buffer headers and hash buckets
//                        outgrow the processor's caches, as the yardstick's
//                        does with the kernel's page cache.
// ReadByRecnoClosed/<records>  the same reads, each by a reader that has the
//                        file to itself: open, FixRec_Get, close (the last
//                        close), as the server's reads by key do when no
//                        other session holds the record file. The open
//                        and close cost the same at every size; the read
//                        must too (no walk of the used-cluster list).
// PreadSamePages/<records>  the yardstick, in the same run: a plain pread of
//                        the page that holds each record FixRec_Get would
//                        read (same random sequence), from the root
//                        volume's file through the page cache.
// Puts/<per commit>      transactions of 1 or 1000 puts of 8-byte records
//                        (begin, puts, pre-commit, final commit with its
//                        fdatasync): puts/s and commits/s.
//
// Files are filled with transactions of 10000 puts; every 100 of them the
// log is emptied as a checkpoint would (data synced, chains truncated).
//
// Run: build/rel/bench/fixrec_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_set.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"
#include "tools/volume_create.h"

namespace {

std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

struct Set {
  std::string dir, root, log;
  bool ok = false;
  Node* tx = nullptr;
  std::map<int64_t, Node*> files;  // by record count
  uint32_t commits_since_trim = 0;

  Set() {
    dir = bench_dir() + "/zent_fixrec_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir).c_str()) != 0) return;
    root = dir + "/root.vol";
    log = dir + "/log.vol";
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root, VolType_DATA, 65536, 16384, 0, false},
                    {log, VolType_LOG, 262144, 0, 0, false}};
    if (testsupport::write_volume_set(spec) != 0) return;
    const char* paths[] = {root.c_str(), log.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr || buf_Init(32768, 32768) != 0) return;
    if (SysPool_Initialize() != 0) return;  // node meta data in the data root's system pool
    if (Vol_SetSyncMode(1) != 0 || Tlog_Init() != 0 || FixRec_Init() != 0 ||
        Tlog_SetupRootNode() != 0)
      return;
    tx = Tlog_Create();
    ok = tx != nullptr;
  }
  ~Set() {
    for (auto& [n, f] : files) Node_Close(f);
    if (tx != nullptr) Node_Close(tx);
    close_bench_set({root, log}, dir);
  }
  // What a checkpoint does for the log: data on disk, chains emptied,
  // freed log pages usable again.
  void trim_log() {
    Vol_Sync(Vol_TIO_SYNC);
    Tlog_ResetMeta(Tlog_RootNode());
    Vol_FreeDelayedList(Vol_TakeDelayedFrees());
    commits_since_trim = 0;
  }
  void commit() {
    Tlog_Commit(tx);
    Tlog_FinalCommit(tx);
    if (++commits_since_trim >= 100) trim_log();
  }
  Node* file(int64_t records) {
    auto it = files.find(records);
    if (it != files.end()) return it->second;
    Node* f = FixRec_Create(8, 8);
    if (f == nullptr || Node_Open(f) != 0) return nullptr;
    uint64_t v = 0;
    for (int64_t done = 0; done < records;) {
      Tlog_Begin(tx, "fill", 1);
      for (int i = 0; i < 10000 && done < records; ++i, ++done, ++v) {
        uint32_t r = 0;
        if (FixRec_Put(f, &r, &v, nullptr, tx) != 0) return nullptr;
      }
      commit();
    }
    trim_log();
    files[records] = f;
    return f;
  }
};

Set& set() {
  static Set s;
  return s;
}

// The file of state.range(0) records, or none (the run is skipped).
Node* file_for(benchmark::State& state) {
  Set& s = set();
  Node* f = s.ok ? s.file(state.range(0)) : nullptr;
  if (f == nullptr) state.SkipWithError("no volume set");
  return f;
}

// Random reads of the file of state.range(0) records; closed, each read
// opens the file and closes it again, the only reference.
void random_reads(benchmark::State& state, bool closed) {
  Node* f = file_for(state);
  if (f == nullptr) return;
  const uint32_t max = static_cast<uint32_t>(state.range(0));
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> pick(1, max);
  uint64_t out = 0;
  // Warm: every page of the file once.
  for (uint32_t r = 1; r <= max; r += 900) FixRec_Get(f, r, &out, nullptr, nullptr);
  if (closed) {
    // The set's reference and the ones the commits' vnodes kept go.
    VNode_Flush(f);
    while (Node_RefCount(f) > 0) Node_Close(f);
  }
  for (auto _ : state) {
    if (closed && Node_Open(f) != 0) {
      state.SkipWithError("open failed");
      break;
    }
    const int rc = FixRec_Get(f, pick(rng), &out, nullptr, nullptr);
    if (closed) Node_Close(f);
    if (rc != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  if (closed) Node_Open(f);  // the set's reference again
  state.SetItemsProcessed(state.iterations());
  state.counters["file_records"] = static_cast<double>(max);
}

void ReadByRecno(benchmark::State& state) { random_reads(state, false); }
void ReadByRecnoClosed(benchmark::State& state) { random_reads(state, true); }
BENCHMARK(ReadByRecno)->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kNanosecond);
BENCHMARK(ReadByRecnoClosed)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Unit(benchmark::kNanosecond);

// The page number (in the root volume) of each of the file's clusters, in
// the node's cluster order: record r's slot starts in cluster
// (r - 1) / cluster_records at byte (r - 1) % cluster_records * slot_size.
std::vector<uint32_t> cluster_pages(Node* f) {
  std::vector<uint32_t> pages;
  Node_ITER it;
  uint32_t start = 0, count = 0;
  for (int rc = Node_FirstCluster(f, &start, &count, &it); rc == 0;
       rc = Node_NextCluster(f, &start, &count, &it))
    pages.push_back(PAGE_NUMBER(start));
  return pages;
}

void PreadSamePages(benchmark::State& state) {
  Node* f = file_for(state);
  if (f == nullptr) return;
  const uint32_t max = static_cast<uint32_t>(state.range(0));
  constexpr uint32_t kSlot = 9;  // flag byte and 8 record bytes
  constexpr uint32_t kPerCluster = 8 * Vol_PAGESIZE / kSlot;
  const std::vector<uint32_t> clusters = cluster_pages(f);
  const int fd = open(set().root.c_str(), O_RDONLY);
  if (fd < 0 || clusters.size() * kPerCluster < max) {
    if (fd >= 0) close(fd);
    state.SkipWithError("no file or clusters");
    return;
  }
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> pick(1, max);
  alignas(16) static uint8_t page[Vol_PAGESIZE];
  for (auto _ : state) {
    const uint32_t r = pick(rng) - 1;
    const uint32_t at = clusters[r / kPerCluster] + r % kPerCluster * kSlot / Vol_PAGESIZE;
    if (pread(fd, page, sizeof page, static_cast<off_t>(at) * Vol_PAGESIZE) != sizeof page) {
      state.SkipWithError("pread failed");
      break;
    }
    benchmark::DoNotOptimize(page[(r % kPerCluster * kSlot) % Vol_PAGESIZE]);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PreadSamePages)->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kNanosecond);

void Puts(benchmark::State& state) {
  Set& s = set();
  Node* f = s.ok ? s.file(0) : nullptr;
  if (f == nullptr) {
    state.SkipWithError("no volume set");
    return;
  }
  const int per_commit = static_cast<int>(state.range(0));
  uint64_t v = 0;
  for (auto _ : state) {
    Tlog_Begin(s.tx, "put", 1);
    for (int i = 0; i < per_commit; ++i, ++v) {
      uint32_t r = 0;
      if (FixRec_Put(f, &r, &v, nullptr, s.tx) != 0) {
        state.SkipWithError("put failed");
        return;
      }
    }
    s.commit();
  }
  state.SetItemsProcessed(state.iterations() * per_commit);
  state.counters["commits/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Puts)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
