// space_check_bench.cpp - the consistency check (both passes, read-only, in
// process) over a set whose pools claim half a million pages, beside a plain
// sequential read of the same files in the same run.
//
// The set: a root DATA volume of 540000 pages and a LOG volume in $TMPDIR
// (default /tmp; sparse files, warm page cache), its system pool, and pools
// of 8-page clusters (one 65516-byte block each) until 500000 pages are
// claimed; closed clean once, before the benchmarks.
//
// Check            SpaceCheck_Run over the set; items: claimed pages.
// SequentialRead   pread of both files whole, 1 MiB at a time; items: the
//                  pages the check claims (the same unit, for the ratio).
//
// Run: build/rel/bench/space_check_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_set.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/pool.h"
#include "storage/pool_format.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/space_check.h"
#include "tools/volume_create.h"

namespace {

constexpr uint32_t kClaimed = 500000;
constexpr uint32_t kRootPages = 540000;

std::string tmp_dir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

struct CheckSet {
  std::string dir, root, log;
  uint32_t claimed = 0;
  bool ok = false;

  CheckSet() {
    dir = tmp_dir() + "/zent_space_check_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir).c_str()) != 0) return;
    root = dir + "/root.vol";
    log = dir + "/log.vol";
    if (Vol_Create(root.c_str(), kRootPages, 0, 0) == nullptr) return;
    if (Vol_CreateExtent(log.c_str(), VolType_LOG, 640, 0, 0) == nullptr) return;
    if (buf_Init(8192, 8192) != 0 || SysPool_Initialize() != 0) return;
    const uint32_t block = Vol_MAXCLUST * Vol_PAGESIZE - Pool_CLUSTER_HEAD_SIZE - Pool_HEADER_SIZE;
    while (claimed < kClaimed) {
      Node* pool = Pool_Create();
      if (pool == nullptr) return;
      // A few pools, so that the check walks several block lists.
      for (int i = 0; i < 8000 && claimed < kClaimed; ++i) {
        Node_ADDR a;
        if (Pool_Alloc(pool, block, &a, nullptr) != 0) return;
        claimed += Vol_MAXCLUST;
      }
    }
    Vol_Sync(Vol_TIO_SYNC);
    Vol_SetConsistent();
    Vol_Close();
    Vol_Free();
    buf_Exit();
    ok = true;
  }
  ~CheckSet() { close_bench_set({root, log}, dir); }
};

CheckSet* g_set = nullptr;

void BM_Check(benchmark::State& state) {
  if (g_set == nullptr || !g_set->ok) return state.SkipWithError("no volume set");
  SpaceCheck_IO io;
  std::string report;
  io.out = [&](const std::string& s) { report += s; };
  io.err = [&](const std::string& s) { report += s; };
  io.read_line = [](std::string*) { return false; };
  for (auto _ : state) {
    report.clear();
    SpaceCheck_RESULT r;
    if (SpaceCheck_Run({g_set->root, g_set->log}, SpaceCheck_OPTIONS{}, io, &r) != 0 ||
        r.problems != 0) {
      fprintf(stderr, "%s", report.c_str());
      return state.SkipWithError("the check failed or found problems");
    }
  }
  state.SetItemsProcessed(state.iterations() * g_set->claimed);
}

void BM_SequentialRead(benchmark::State& state) {
  if (g_set == nullptr || !g_set->ok) return state.SkipWithError("no volume set");
  std::vector<char> buf(1 << 20);
  uint64_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& path : {g_set->root, g_set->log}) {
      const int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) return state.SkipWithError("open");
      for (off_t at = 0;;) {
        const ssize_t n = pread(fd, buf.data(), buf.size(), at);
        if (n <= 0) break;
        at += n;
        bytes += static_cast<uint64_t>(n);
      }
      close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * g_set->claimed);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  CheckSet set;
  g_set = &set;
  benchmark::RunSpecifiedBenchmarks();
  g_set = nullptr;
  benchmark::Shutdown();
  return 0;
}
