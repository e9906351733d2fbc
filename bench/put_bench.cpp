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
// SortedChain/<n>       n orders of one customer put in random date order
//                       into its sorted chain (each insert walks the chain
//                       backward from its end), without forcing the log:
//                       puts/s over the whole chain.
//
// Run: build/rel/bench/put_bench (Release build).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

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
#include "storage/task_runner.h"
#include "support/sample_db.h"
#include "tools/volume_create.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

double g_raw_rate = 0;

std::map<Task*, idb_session*> g_task_session;
idb_session* g_outside = nullptr;  // the session of code outside any task

Ssn_STATE* lookup(Task* t) {
  auto it = g_task_session.find(t);
  if (it != g_task_session.end()) return &it->second->ssn;
  return g_outside != nullptr ? &g_outside->ssn : nullptr;
}

// A root and a LOG volume with the system pool, the server catalog, the
// stored sample database and a user "boss" who may change every set.
class PutSet {
 public:
  explicit PutSet(int sync_mode) {
    dir_ = bench_dir() + "/zent_put_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir_).c_str()) != 0) return;
    root_ = dir_ + "/root.vol";
    log_ = dir_ + "/log.vol";
    if (Vol_Create(root_.c_str(), 65536, 16384, 0) == nullptr) return;
    if (Vol_CreateExtent(log_.c_str(), VolType_LOG, 262144, 16384, 0) == nullptr) return;
    if (buf_Init(16384, 16384) != 0 || SysPool_Initialize() != 0 || SysCat_create() != 0 ||
        SysCat_open() != 0)
      return;
    if (Vol_SetSyncMode(sync_mode) != 0 || Tlog_Init() != 0 || Tlog_SetupRootNode() != 0 ||
        btree_Init() != 0 || FixRec_Init() != 0)
      return;
    testsupport::SampleDb d;
    if (testsupport::write_sample_db_stored("sample", &d) != 0) return;
    SysCat_USER u{0, const_cast<char*>("boss"), nullptr, IDB_CAP_DBA};
    if (SysCat_add_user(&u, nullptr) != 0) return;
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    SysCat_DB_CATALOG* cat = db != nullptr ? SysCat_db_open(db) : nullptr;
    free(db);
    if (cat == nullptr) return;
    SysCat_GROUP grp{0, const_cast<char*>("admins"), 0};
    bool ok = SysCat_add_group(cat, &grp, nullptr) == 0 &&
              SysCat_add_member(cat, u.uid, grp.gid, nullptr) == 0;
    for (uint32_t table : {d.customer, d.regions, d.orders}) {
      SysCat_PRIVILEGE p{grp.gid, table, 7};
      ok = ok && SysCat_add_privilege(cat, &p, nullptr) == 0;
    }
    SysCat_db_close(cat);
    ssn_set_lookup(lookup);
    Vol_Sync(Vol_TIO_SYNC);
    ok_ = ok;
  }
  ~PutSet() {
    for (idb_session* s : sessions_) idb_exit_session(s);
    ssn_set_lookup(nullptr);
    g_task_session.clear();
    g_outside = nullptr;
    SysCat_close();
    close_bench_set({root_, log_}, dir_);
    Tlog_ResetTables();
  }
  bool ok() const { return ok_; }
  // A session of boss with the sample open; its dbid in *dbid.
  idb_session* session(int32_t* dbid) {
    idb_session* s = nullptr;
    if (idb_init_session(nullptr, &s) != 0) return nullptr;
    sessions_.push_back(s);
    g_outside = s;
    if (idb__logon(s, "boss", nullptr) != 0) return nullptr;
    *dbid = idb__open_database(s, "sample", 1);
    return *dbid > 0 ? s : nullptr;
  }

 private:
  std::string dir_, root_, log_;
  std::vector<idb_session*> sessions_;
  bool ok_ = false;
};

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

void BM_MasterPut(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
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
        std::vector<storage_test::TaskRunner::Body>(static_cast<size_t>(clients), put_masters),
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
  }
}
BENCHMARK(BM_MasterPut)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime();

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

int main(int argc, char** argv) {
  debug_set_stream(stderr);
  // ZENT_BENCH_DEBUG: log flags for a look at what the puts wait for.
  const char* flags = getenv("ZENT_BENCH_DEBUG");
  debug_set_flags(flags != nullptr ? flags : "");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
