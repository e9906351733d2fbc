// update_bench.cpp - DBUPDATE and DBDELETE on the stored sample database in
// a volume set in the current directory (or $ZENT_BENCH_DIR), without
// forcing the log (each call is one command transaction), beside DBPUT of
// the same records in the same run.
//
// PutOrders             the yardstick: 10,000 orders put on one customer
//                       in date order (each goes last on its chain):
//                       puts/s.
// UpdateNoKey           10,000 customers renamed (mode 1): no key, path
//                       or index entry changes; updates/s and the ratio to
//                       the puts.
// UpdateIndexKey        10,000 orders given a new ORDER-NO (mode 1): one
//                       index entry replaced each.
// UpdateMove            orders moved (mode 2) between customers whose
//                       chains hold 100 orders each, in date order: out of
//                       one chain, into another, two masters rewritten.
// DeleteFromChain       the 10,000 orders of one customer's chain deleted
//                       in random order: deletes/s.
//
// Run: build/rel/bench/update_bench (Release build).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "access/idb_delete.h"
#include "access/idb_put.h"
#include "access/idb_update.h"
#include "base/debug_log.h"
#include "change_set.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench_change::ChangeSet;

constexpr int kRecords = 10000;
double g_put_rate = 0;

int32_t g_dbid = 0;

void customer(uint8_t* rec, int n) {
  memset(rec, ' ', 28);
  char key[16];
  snprintf(key, sizeof key, "C%07d", n);
  memcpy(rec, key, 8);
}
void order(uint8_t* rec, int32_t no, int cust, int32_t date) {
  memset(rec, 0, 30);
  uint8_t c[28];
  customer(c, cust);
  memcpy(rec, &no, 4);
  memcpy(rec + 4, c, 8);
  memcpy(rec + 12, "EAST", 4);
  memcpy(rec + 16, &date, 4);
}

// Makes recno the set's current record.
void current(idb_session* s, int setno, uint32_t recno) {
  idb__get_db_ctx(s, g_dbid)->sets[setno].recno = static_cast<int32_t>(recno);
}

// The set up to the measured part: customers 0..masters-1, and orders
// spread over the first `over` of them in date order. The order record
// numbers in *orders. nullptr when something failed.
idb_session* fill(ChangeSet& set, int masters, int orders_n, int over, std::vector<uint32_t>* orders,
                  double* put_secs = nullptr) {
  idb_session* s = set.ok() ? set.session(&g_dbid) : nullptr;
  if (s == nullptr) return nullptr;
  int32_t st[10];
  uint8_t rec[30];
  for (int i = 0; i < masters; ++i) {
    customer(rec, i);
    if (idb_put(s, g_dbid, "CUSTOMER", 9, 1, nullptr, 0, {rec, 28}, st) != 0) return nullptr;
  }
  const auto t0 = Clock::now();
  for (int i = 0; i < orders_n; ++i) {
    order(rec, i, i % over, i);
    if (idb_put(s, g_dbid, "ORDERS", 7, 1, nullptr, 0, {rec, 30}, st) != 0) return nullptr;
    if (orders != nullptr) orders->push_back(static_cast<uint32_t>(st[3]));
  }
  if (put_secs != nullptr) *put_secs = std::chrono::duration<double>(Clock::now() - t0).count();
  return s;
}

void report(benchmark::State& state, int done, double secs, const char* what) {
  state.SetIterationTime(secs);
  const double rate = done / secs;
  state.counters[what] = rate;
  if (g_put_rate > 0) {
    state.counters["puts_per_s"] = g_put_rate;
    state.counters["ratio_to_put"] = rate / g_put_rate;
  }
}

void BM_PutOrders(benchmark::State& state) {
  for (auto _ : state) {
    ChangeSet set(0);
    double secs = 0;
    if (fill(set, 1, kRecords, 1, nullptr, &secs) == nullptr) {
      state.SkipWithError("cannot set up the database or a put failed");
      return;
    }
    state.SetIterationTime(secs);
    g_put_rate = kRecords / secs;
    state.counters["puts_per_s"] = g_put_rate;
  }
}
BENCHMARK(BM_PutOrders)->Iterations(1)->UseManualTime();

// kRecords updates of one kind in a set filled by fill(masters, orders
// over `over` customers): update i names record recnos[i] (customer i + 1
// when there are no orders) and carries make(i).
struct UpdateKind {
  int masters;
  int orders;
  int over;
  const char* set;
  uint32_t len;
  int32_t mode;
  void (*make)(uint8_t* rec, int i);
};

void updates(benchmark::State& state, const UpdateKind& k) {
  for (auto _ : state) {
    ChangeSet set(0);
    std::vector<uint32_t> recnos;
    idb_session* s = fill(set, k.masters, k.orders, k.over, &recnos);
    if (s == nullptr) {
      state.SkipWithError("cannot set up the database");
      return;
    }
    const int setno = k.orders > 0 ? 2 : 0;
    const int set_size = static_cast<int>(strlen(k.set)) + 1;
    uint8_t rec[30];
    int32_t st[10];
    int done = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
      k.make(rec, i);
      current(s, setno, k.orders > 0 ? recnos[static_cast<size_t>(i)] : static_cast<uint32_t>(i + 1));
      if (idb_update(s, g_dbid, k.set, set_size, k.mode, nullptr, 0, {rec, k.len}, st) != 0) break;
      ++done;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (done != kRecords) {
      state.SkipWithError("an update failed");
      return;
    }
    report(state, done, secs, "updates_per_s");
  }
}

// Customers renamed (mode 1): no key, path or index entry changes.
void BM_UpdateNoKey(benchmark::State& state) {
  updates(state, {kRecords, 0, 1, "CUSTOMER", 28, 1, [](uint8_t* rec, int i) {
                    customer(rec, i);
                    memcpy(rec + 8, "renamed", 7);
                  }});
}
BENCHMARK(BM_UpdateNoKey)->Iterations(1)->UseManualTime();

// Orders given a new ORDER-NO (mode 1): one index entry replaced each.
void BM_UpdateIndexKey(benchmark::State& state) {
  updates(state, {100, kRecords, 100, "ORDERS", 30, 1,
                  [](uint8_t* rec, int i) { order(rec, kRecords + i, i % 100, i); }});
}
BENCHMARK(BM_UpdateIndexKey)->Iterations(1)->UseManualTime();

// Order i (customer i % 100) to the next customer with its date (mode 2):
// every chain gives and takes one order per round.
void BM_UpdateMove(benchmark::State& state) {
  updates(state, {101, kRecords, 100, "ORDERS", 30, 2,
                  [](uint8_t* rec, int i) { order(rec, i, (i % 100) + 1, i); }});
}
BENCHMARK(BM_UpdateMove)->Iterations(1)->UseManualTime();

void BM_DeleteFromChain(benchmark::State& state) {
  for (auto _ : state) {
    ChangeSet set(0);
    std::vector<uint32_t> orders;
    idb_session* s = fill(set, 1, kRecords, 1, &orders);
    if (s == nullptr) {
      state.SkipWithError("cannot set up the database");
      return;
    }
    std::shuffle(orders.begin(), orders.end(), std::mt19937(47));
    const int setno = 2;
    int32_t st[10];
    int done = 0;
    const auto t0 = Clock::now();
    for (uint32_t recno : orders) {
      current(s, setno, recno);
      if (idb_delete(s, g_dbid, "ORDERS", 7, 1, st) != 0) break;
      ++done;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (done != kRecords) {
      state.SkipWithError("a delete failed");
      return;
    }
    report(state, done, secs, "deletes_per_s");
  }
}
BENCHMARK(BM_DeleteFromChain)->Iterations(1)->UseManualTime();

}  // namespace

int main(int argc, char** argv) { return bench_change::run(argc, argv); }
