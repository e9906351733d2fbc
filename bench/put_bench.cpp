// put_bench.cpp - DBPUT on the stored sample database in a volume set in
// the current directory (or $ZENT_BENCH_DIR).
//
// RawFdatasync          8 KiB pwrite over one of 64 pages + fdatasync on a
//                       file beside the set: the file system's commit
//                       ceiling, measured first in the same run.
// MasterPut/<clients>   1, 8 or 32 sessions, each a task putting CUSTOMER
//                       records (a master with its key B-tree as its one
//                       index) in synchronous log mode: one final commit,
//                       forced to the LOG volume, per put. puts/s and the
//                       ratio to the raw fdatasync rate.
// MasterPutSpread/<n>   32 sessions putting keys spread at random over
//                       the whole key range into a master holding n
//                       records already (0 or 50,000, put in key order):
//                       puts/s and, for 50,000, the ratio to the empty
//                       master's rate.
// SortedChain/<n>       n orders of one customer put in random date order
//                       into its sorted chain (each insert walks the chain
//                       backward from its end), without forcing the log:
//                       puts/s over the whole chain.
//
// Run: build/rel/bench/put_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_open.h"
#include "access/idb_put.h"
#include "access/idb_session.h"
#include "base/debug_log.h"
#include "base/task_kernel.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/ssn.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "bench_set.h"
#include "change_set.h"
#include "storage/task_runner.h"
#include "support/sample_db.h"
#include "tools/volume_create.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench_change::bench_dir;
using bench_change::g_outside;
using bench_change::g_task_session;
using PutSet = bench_change::ChangeSet;

double g_raw_rate = 0;

void BM_RawFdatasync(benchmark::State& state) {
  g_raw_rate =
      raw_fdatasync_rate(state, bench_dir() + "/zent_put_bench_raw_" + std::to_string(getpid()), false);
}
BENCHMARK(BM_RawFdatasync)->MinTime(2.0)->UseRealTime();

struct Client {
  idb_session* s = nullptr;
  int32_t dbid = 0;
};
std::vector<Client> g_clients;
int g_next = 0;
int g_per_client = 0;
int g_done = 0;

void put_masters() {
  const int me = g_next++;
  const Client c = g_clients[static_cast<size_t>(me)];
  g_task_session[thread_self()] = c.s;
  uint8_t rec[28];
  memset(rec, ' ', sizeof rec);
  for (int i = 0; i < g_per_client; ++i) {
    char key[16];
    snprintf(key, sizeof key, "%02d%06d", me, i);
    memcpy(rec, key, 8);
    int32_t st[10];
    if (idb_put(c.s, c.dbid, "CUSTOMER", 9, 1, nullptr, 0, rec, st) != 0) break;
    ++g_done;
  }
}

double g_spread_empty_rate = 0;

// Fills the master with n records of even keys in key order, without
// forcing the log.
bool preload(idb_session* s, int32_t dbid, int n) {
  if (Vol_SetSyncMode(0) != 0) return false;
  uint8_t rec[28];
  memset(rec, ' ', sizeof rec);
  for (int j = 0; j < n; ++j) {
    char key[16];
    snprintf(key, sizeof key, "%08d", 2 * j);
    memcpy(rec, key, 8);
    int32_t st[10];
    if (idb_put(s, dbid, "CUSTOMER", 9, 1, nullptr, 0, rec, st) != 0) return false;
  }
  return Vol_SetSyncMode(1) == 0;
}

// One session's puts of odd keys below 100,000 in a random order of its
// own; the sessions' keys never meet.
void put_spread() {
  const int me = g_next++;
  const Client c = g_clients[static_cast<size_t>(me)];
  g_task_session[thread_self()] = c.s;
  std::mt19937 rng(static_cast<unsigned>(me + 1));
  std::vector<int> slots(50000 / 32);
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = static_cast<int>(i);
  std::shuffle(slots.begin(), slots.end(), rng);
  uint8_t rec[28];
  memset(rec, ' ', sizeof rec);
  for (int i = 0; i < g_per_client; ++i) {
    char key[16];
    snprintf(key, sizeof key, "%08d", 2 * (slots[static_cast<size_t>(i)] * 32 + me) + 1);
    memcpy(rec, key, 8);
    int32_t st[10];
    if (idb_put(c.s, c.dbid, "CUSTOMER", 9, 1, nullptr, 0, rec, st) != 0) break;
    ++g_done;
  }
}

// clients sessions running body; spread: 32 sessions of put_spread into a
// master of state.range(0) records.
void master_put(benchmark::State& state, bool spread) {
  const int clients = spread ? 32 : static_cast<int>(state.range(0));
  const int records = spread ? static_cast<int>(state.range(0)) : 0;
  for (auto _ : state) {
    PutSet set(1);
    if (!set.ok()) {
      state.SkipWithError("cannot set up the database");
      return;
    }
    g_clients.assign(static_cast<size_t>(clients), Client{});
    for (Client& c : g_clients)
      if ((c.s = set.session(&c.dbid)) == nullptr) {
        state.SkipWithError("cannot open the database");
        return;
      }
    if (records != 0 && !preload(g_clients[0].s, g_clients[0].dbid, records)) {
      state.SkipWithError("cannot fill the master");
      return;
    }
    g_outside = nullptr;
    storage_test::TaskRunner runner;
    if (tio_setup() != 0) {
      state.SkipWithError("tio_setup failed");
      return;
    }
    g_next = 0;
    g_done = 0;
    g_per_client = clients == 1 ? 600 : 2400 / clients;
    const auto t0 = Clock::now();
    const bool ran = runner.run(
        std::vector<storage_test::TaskRunner::Body>(static_cast<size_t>(clients),
                                                    spread ? put_spread : put_masters),
        nullptr, 300000);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    tio_cleanup();
    if (!ran || g_done != clients * g_per_client) {
      state.SkipWithError("the run stalled or a put failed");
      return;
    }
    state.SetIterationTime(secs);
    const double rate = g_done / secs;
    state.counters["puts_per_s"] = rate;
    if (g_raw_rate > 0) {
      state.counters["raw_fdatasync_per_s"] = g_raw_rate;
      state.counters["puts_per_raw_fdatasync"] = rate / g_raw_rate;
    }
    if (spread && records == 0) g_spread_empty_rate = rate;
    if (records != 0 && g_spread_empty_rate > 0)
      state.counters["ratio_to_empty"] = rate / g_spread_empty_rate;
  }
}

void BM_MasterPut(benchmark::State& state) { master_put(state, false); }
BENCHMARK(BM_MasterPut)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime();

void BM_MasterPutSpread(benchmark::State& state) { master_put(state, true); }
BENCHMARK(BM_MasterPutSpread)->Arg(0)->Arg(50000)->Iterations(1)->UseManualTime();

void BM_SortedChain(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    PutSet set(0);
    int32_t dbid = 0;
    idb_session* s = set.ok() ? set.session(&dbid) : nullptr;
    if (s == nullptr) {
      state.SkipWithError("cannot set up the database");
      return;
    }
    int32_t st[10];
    uint8_t cust[28];
    memset(cust, ' ', sizeof cust);
    memcpy(cust, "C100", 4);
    if (idb_put(s, dbid, "CUSTOMER", 9, 1, nullptr, 0, cust, st) != 0) {
      state.SkipWithError("the master put failed");
      return;
    }
    std::mt19937 rng(46);
    uint8_t rec[30];
    memset(rec, 0, sizeof rec);
    memset(rec + 4, ' ', 12);
    memcpy(rec + 4, "C100", 4);
    memcpy(rec + 12, "EAST", 4);
    const auto t0 = Clock::now();
    int done = 0;
    for (int i = 0; i < n; ++i) {
      const int32_t order_no = i, date = static_cast<int32_t>(rng() % 100000);
      memcpy(rec, &order_no, 4);
      memcpy(rec + 16, &date, 4);
      if (idb_put(s, dbid, "ORDERS", 7, 1, nullptr, 0, rec, st) != 0) break;
      ++done;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (done != n) {
      state.SkipWithError("a put failed");
      return;
    }
    state.SetIterationTime(secs);
    state.counters["puts_per_s"] = done / secs;
  }
}
BENCHMARK(BM_SortedChain)->Arg(1000)->Arg(10000)->Iterations(1)->UseManualTime();

}  // namespace

int main(int argc, char** argv) { return bench_change::run(argc, argv); }
