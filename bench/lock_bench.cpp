// lock_bench - one lock granted and released while other sessions' locks
// that do not conflict with it are queued: the queue is walked linearly
// (the conflict test at the grant, the match and the wake-up at the
// release), so the cost grows with the entries queued.
//
// Descriptor: the others hold "= i" on one item, the request "= -1" on the
// same item (a value compare per entry). Set: the others hold set locks on
// other sets than the request's (a matrix lookup per entry).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "access/idb_lock.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"

namespace {

std::vector<uint32_t> equal_to(int32_t value) {
  // n = 6: one entry {count 6, 1 set, set 0, item 1, "=", 'D' 4, value}.
  return {7, 7, 1, 0, 1, 0, ('D' << 16) | 4, static_cast<uint32_t>(value)};
}

void grant_release(benchmark::State& state, bool descriptor) {
  const int others = static_cast<int>(state.range(0));
  vglobal db{};
  std::vector<idb_session> sessions(others + 1);
  std::vector<db_ctx> ctx(others + 1);
  for (auto& c : ctx) c.root = &db;
  for (int i = 0; i < others; ++i) {
    const std::vector<uint32_t> q = descriptor ? equal_to(i) : std::vector<uint32_t>{uint32_t(i + 1)};
    if (idb__add_lock(&sessions[i], &ctx[i], descriptor ? 16 : 14, q.data()) != 0) {
      state.SkipWithError("setup lock refused");
      return;
    }
  }
  const std::vector<uint32_t> mine = descriptor ? equal_to(-1) : std::vector<uint32_t>{0};
  const int mode = descriptor ? 6 : 4;
  idb_session& me = sessions[others];
  for (auto _ : state) {
    if (idb__add_lock(&me, &ctx[others], mode, mine.data()) != 0) {
      state.SkipWithError("lock refused");
      break;
    }
    benchmark::DoNotOptimize(idb__del_locks(&me, &ctx[others], mode, mine.data()));
  }
  for (int i = 0; i < others; ++i) idb__del_session_locks(&sessions[i]);
}

void BM_GrantRelease_Descriptor(benchmark::State& state) { grant_release(state, true); }
void BM_GrantRelease_Set(benchmark::State& state) { grant_release(state, false); }

BENCHMARK(BM_GrantRelease_Descriptor)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_GrantRelease_Set)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
