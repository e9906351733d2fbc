// pool_bench.cpp - pools of variable-size blocks outside transactions, on
// a fixture volume set in $TMPDIR (default /tmp; sparse files, warm page
// cache, no sync mode: the free list's write-at-once pages are pwrites
// that are never flushed).
//
// AllocFree/<size>  Pool_Alloc then Pool_Free of one block (2 operations).
// Write/<size>      Pool_Write of a whole block.
// Read/<size>       Pool_Read of a whole block.
//                   Sizes: 100 bytes, 4 KiB, 60 KiB.
// Mixed             one million operations: allocate (sizes from a mixture
//                   of small, page-sized and large blocks) or free a random
//                   live block, keeping about 20000 blocks live; reports
//                   ops/s and, at the end, the free-list length (items) and
//                   the fill factor (payload bytes of used blocks over the
//                   bytes of all clusters).
//
// Run: build/rel/bench/pool_bench (Release build).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/node_flist.h"
#include "storage/pool.h"
#include "storage/volume_set.h"
#include "bench_set.h"
#include "support/volume_fixture.h"

namespace {

std::string tmp_dir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

// A set of one large root volume and a LOG volume, opened with a cache of
// 8192 buffers, and a fresh pool.
class BenchSet {
 public:
  BenchSet() {
    dir_ = tmp_dir() + "/zent_pool_bench_" + std::to_string(getpid());
    mkdir_ok_ = system(("mkdir -p " + dir_).c_str()) == 0;
    root_ = dir_ + "/root.vol";
    log_ = dir_ + "/log.vol";
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root_, VolType_DATA, 131072, 16384, 0, false},
                    {log_, VolType_LOG, 320, 0, 0, false}};
    if (!mkdir_ok_ || testsupport::write_volume_set(spec) != 0) return;
    const char* paths[] = {root_.c_str(), log_.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr || buf_Init(8192, 8192) != 0) return;
    pool_ = Pool_Create();
  }
  ~BenchSet() {
    close_bench_set({root_, log_}, dir_);
  }
  Node* pool() const { return pool_; }

 private:
  std::string dir_, root_, log_;
  bool mkdir_ok_ = false;
  Node* pool_ = nullptr;
};

void BM_AllocFree(benchmark::State& state) {
  BenchSet set;
  if (set.pool() == nullptr) return state.SkipWithError("no volume set");
  const auto size = static_cast<uint32_t>(state.range(0));
  Node_ADDR keep;  // keeps one cluster alive, as in a pool in use
  Pool_Alloc(set.pool(), size, &keep, nullptr);
  for (auto _ : state) {
    Node_ADDR a;
    if (Pool_Alloc(set.pool(), size, &a, nullptr) != 0) return state.SkipWithError("alloc");
    Pool_Free(set.pool(), &a, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

void BM_Transfer(benchmark::State& state, bool write) {
  BenchSet set;
  if (set.pool() == nullptr) return state.SkipWithError("no volume set");
  const auto size = static_cast<uint32_t>(state.range(0));
  std::vector<Node_ADDR> blocks(64);
  for (Node_ADDR& a : blocks)
    if (Pool_Alloc(set.pool(), size, &a, nullptr) != 0) return state.SkipWithError("alloc");
  std::vector<uint8_t> buf(size, 0x5A);
  size_t i = 0;
  for (auto _ : state) {
    Node_ADDR& a = blocks[i++ % blocks.size()];
    const int n = write ? Pool_Write(set.pool(), &a, buf.data(), size, nullptr)
                        : Pool_Read(set.pool(), &a, buf.data(), size, nullptr);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
}
void BM_Write(benchmark::State& state) { BM_Transfer(state, true); }
void BM_Read(benchmark::State& state) { BM_Transfer(state, false); }

// Payload bytes of used blocks and bytes of all clusters.
void fill_of(Node* node, uint64_t* used, uint64_t* total) {
  *used = *total = 0;
  Node_ITER it;
  uint32_t start = 0, count = 0;
  std::vector<uint8_t> img;
  for (int rc = Node_FirstCluster(node, &start, &count, &it); rc == 0;
       rc = Node_NextCluster(node, &start, &count, &it)) {
    Node_PGVEC vec[Vol_MAXCLUST];
    Node_GetClusterReadOnly(node, start, static_cast<int>(count), vec, Node_MODE_DATA);
    img.assign(count * Vol_PAGESIZE, 0);
    for (uint32_t i = 0; i < count; ++i)
      memcpy(&img[i * Vol_PAGESIZE], vec[i].buf, Vol_PAGESIZE);
    Node_ReleaseCluster(node, static_cast<int>(count), vec);
    *total += img.size();
    for (uint32_t off = Pool_CLUSTER_HEAD_SIZE;;) {
      const Pool_HEADER h = Pool_DecodeHeader(&img[off]);
      if (Pool_TestFlag(Pool_BLOCKUSED, &h)) *used += h.size;
      if (h.next == 0) break;
      off += h.next;
    }
  }
}

void BM_Mixed(benchmark::State& state) {
  const int kOps = 1000000;
  const size_t kLive = 20000;
  for (auto _ : state) {
    state.PauseTiming();
    BenchSet set;
    if (set.pool() == nullptr) return state.SkipWithError("no volume set");
    std::mt19937 rng(42);
    std::vector<Node_ADDR> live;
    live.reserve(kLive * 2);
    auto pick_size = [&]() -> uint32_t {
      const uint32_t r = rng() % 100;
      if (r < 70) return 16 + rng() % 240;     // small records
      if (r < 95) return 1000 + rng() % 7000;  // about a page
      return 9000 + rng() % 50000;             // large
    };
    state.ResumeTiming();
    for (int op = 0; op < kOps; ++op) {
      const bool grow = live.size() < kLive ? (rng() % 100) < 60 : (rng() % 100) < 40;
      if (grow || live.empty()) {
        Node_ADDR a;
        if (Pool_Alloc(set.pool(), pick_size(), &a, nullptr) != 0)
          return state.SkipWithError("alloc");
        live.push_back(a);
      } else {
        const size_t i = rng() % live.size();
        Pool_Free(set.pool(), &live[i], nullptr);
        live[i] = live.back();
        live.pop_back();
      }
    }
    state.PauseTiming();
    uint64_t used = 0, total = 0;
    fill_of(set.pool(), &used, &total);
    state.counters["flist_items"] =
        static_cast<double>(Node_CountFlistItems(set.pool(), &set.pool()->node.flist));
    state.counters["live_blocks"] = static_cast<double>(live.size());
    state.counters["fill_factor"] = total ? static_cast<double>(used) / total : 0.0;
    state.counters["clusters_MB"] = static_cast<double>(total) / (1024.0 * 1024.0);
    state.counters["ops_per_s"] =
        benchmark::Counter(static_cast<double>(kOps), benchmark::Counter::kIsRate);
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(BM_AllocFree)->Arg(100)->Arg(4096)->Arg(61440);
BENCHMARK(BM_Write)->Arg(100)->Arg(4096)->Arg(61440);
BENCHMARK(BM_Read)->Arg(100)->Arg(4096)->Arg(61440);
BENCHMARK(BM_Mixed)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
