// buffer_cache_bench.cpp - the buffer cache's hit and miss paths and the
// volume set's first-fit allocation, on a fixture volume set in $TMPDIR
// (default /tmp; sparse files, warm page cache).
//
// Hit               buf_Get + buf_Put of a cached page; allocs_per_op counts
//                   every malloc/new made meanwhile (must be 0), file_calls_per_op
//                   every read, write or flush of a volume file (must be 0).
// Miss/Clean        a get that misses and reuses a clean victim: one pread.
// Miss/Dirty        the same with a dirty victim: one pwrite, then one pread.
// FirstFit/<full%>  Vol_AllocPage of one page and Vol_FreePage of it again, on a
//                   volume of 262144 pages whose first <full%> pages are used
//                   (the worst case for first fit: the scan crosses them all).
//
// Run: build/<dir>/bench/buffer_cache_bench (Release build).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/crash_file_system.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"

// --- Counting every allocation of the process ---------------------------------
// (Not under AddressSanitizer, which owns malloc itself.)

namespace {
std::atomic<uint64_t> g_allocs{0};
}

#ifndef ZENT_ASAN
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

extern "C" void* malloc(size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }
#endif

namespace {

std::string tmp_dir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

// One set per benchmark: a root of root_pages and a LOG volume, open, with a
// cache of nbufs buffers (0 = none).
// Counts every read, write and flush of a volume file.
storage_test::CrashFileSystem* g_counting = nullptr;
uint64_t file_calls() { return g_counting->calls(); }

class Bench {
 public:
  Bench(uint32_t root_pages, int nbufs)
      : dir_(tmp_dir() + "/zent_bcbench_" + std::to_string(getpid())) {
    std::string cmd = "mkdir -p " + dir_;
    if (system(cmd.c_str()) != 0) abort();
    g_counting = new storage_test::CrashFileSystem(platform::file_system());
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{dir_ + "/root.vol", VolType_DATA, root_pages},
                    {dir_ + "/log.vol", VolType_LOG}};
    if (testsupport::write_volume_set(spec) != 0) abort();
    platform::set_file_system(g_counting);
    const char* paths[] = {spec.volumes[0].path.c_str(), spec.volumes[1].path.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr) abort();
    if (nbufs > 0 && buf_Init(nbufs, nbufs) != 0) abort();
  }
  ~Bench() {
    buf_Exit();
    Vol_Close();
    Vol_Free();
    platform::set_file_system(nullptr);
    delete g_counting;
    g_counting = nullptr;
    std::string cmd = "rm -rf " + dir_;
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
  }

 private:
  std::string dir_;
};

Node* bench_node() {
  static int token;
  return reinterpret_cast<Node*>(&token);
}

void BM_Hit(benchmark::State& state) {
  Bench b(Vol_MINPAGES, 128);
  Node* node = bench_node();
  char* buf = nullptr;
  buf_Get(node, 10, 1, BF_PIN, &buf);
  buf_Put(buf, 0, BF_PIN);
  const uint64_t allocs = g_allocs.load();
  const uint64_t calls = file_calls();
  for (auto _ : state) {
    buf_Get(node, 10, 1, BF_PIN, &buf);
    benchmark::DoNotOptimize(buf[0]);
    buf_Put(buf, 0, BF_PIN);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["allocs_per_op"] = static_cast<double>(g_allocs.load() - allocs) / n;
  state.counters["file_calls_per_op"] = static_cast<double>(file_calls() - calls) / n;
}
BENCHMARK(BM_Hit);

// Cycles over 4x as many pages as there are buffers, so every get misses.
void BM_Miss(benchmark::State& state) {
  const bool dirty = state.range(0) != 0;
  Bench b(Vol_MINPAGES, 64);
  Node* node = bench_node();
  uint32_t page = 2;
  char* buf = nullptr;
  const uint64_t calls = file_calls();
  for (auto _ : state) {
    buf_Get(node, page, 1, BF_PIN, &buf);
    if (dirty) buf[0] = static_cast<char>(page);
    buf_Put(buf, dirty ? BF_DIRTY : 0u, BF_PIN);
    if (++page == 2 + 256) page = 2;
  }
  state.counters["file_calls_per_op"] =
      static_cast<double>(file_calls() - calls) / static_cast<double>(state.iterations());
  state.SetLabel(dirty ? "Dirty" : "Clean");
}
BENCHMARK(BM_Miss)->ArgName("dirty")->Arg(0)->Arg(1);

void BM_FirstFit(benchmark::State& state) {
  constexpr uint32_t kPages = 262144;
  Bench b(kPages, 0);
  const uint32_t used = static_cast<uint32_t>(kPages * state.range(0) / 100);
  for (uint32_t p = 2; p < used; ++p) Vol_MarkPageUsed(p, 1);
  // The set's root page, kept, so that the timed allocations do not sync.
  Vol_AllocPage(1, nullptr);
  for (auto _ : state) {
    const Vol_PAGEADDR p = Vol_AllocPage(1, nullptr);
    benchmark::DoNotOptimize(p);
    Vol_FreePage(p, 1);
  }
  state.counters["free_pages"] = static_cast<double>(Vol_GetRootVol()->free_size);
}
BENCHMARK(BM_FirstFit)->ArgName("full_pct")->Arg(10)->Arg(50)->Arg(95);

}  // namespace

BENCHMARK_MAIN();
