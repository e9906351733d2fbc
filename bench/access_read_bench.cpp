// access_read_bench.cpp - the read calls of the access layer, in process,
// on the stored sample database (tests/support/sample_db.h) grown by 10,000
// orders of region "BNCH" with their ORD-IX keys, on a fixture volume set
// in $ZENT_BENCH_DIR (default: the current directory), every page cached:
//
//   Dbget/mode4        DBGET of one record by number
//   Dbget/mode5chain   DBFIND mode 2 on "BNCH", then DBGET mode 5 along the
//                      10,000 keys of the chain to its end (each read seeks
//                      its key again from the root); items = records read
//   Dbfind/mode1count  DBFIND mode 1 counting the 10,000 "BNCH" keys;
//                      items = keys counted
//
// Each beside its yardstick in the same run, a plain in-memory structure
// doing the same work: Map/* looks the record up in a std::map by number
// and copies it; walks a std::map of the same keys, each step an
// upper_bound from the root for the key before, then the record's lookup
// and copy; counts the keys from a lower_bound while they begin with the
// prefix.
//
// Run: build/rel/bench/access_read_bench (Release build).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_find.h"
#include "access/idb_get.h"
#include "access/idb_key.h"
#include "access/idb_logon.h"
#include "access/idb_lookup.h"
#include "access/idb_open.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "bench_set.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/ssn.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/sample_db.h"
#include "support/volume_fixture.h"
#include "tools/volume_create.h"

namespace {

constexpr uint32_t kChain = 10000;
constexpr uint32_t kRecLen = 30;
using Record = std::array<uint8_t, kRecLen>;

std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

idb_session* g_acting = nullptr;

std::vector<uint8_t> counted(const std::string& text) {
  std::vector<uint8_t> a(4 + text.size());
  const uint32_t n = static_cast<uint32_t>(text.size());
  memcpy(a.data(), &n, 4);
  memcpy(a.data() + 4, text.data(), text.size());
  return a;
}

struct Db {
  std::string dir, root, log;
  bool ok = false;
  idb_session* s = nullptr;
  int32_t dbid = 0;
  // The yardstick: the same records by number, the same keys (REGION,
  // ORDER-NO big-endian) to record numbers.
  std::map<uint32_t, Record> records;
  std::map<std::string, uint32_t> keys;

  Db() {
    dir = bench_dir() + "/zent_access_read_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir).c_str()) != 0) return;
    root = dir + "/root.vol";
    log = dir + "/log.vol";
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root, VolType_DATA, 16384, 4096, 0, false},
                    {log, VolType_LOG, 65536, 0, 0, false}};
    if (testsupport::write_volume_set(spec) != 0) return;
    const char* paths[] = {root.c_str(), log.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr || buf_Init(8192, 8192) != 0) return;
    if (SysPool_Initialize() != 0 || SysCat_create() != 0 || SysCat_open() != 0) return;
    if (Tlog_Init() != 0 || Tlog_SetupRootNode() != 0 || btree_Init() != 0 || FixRec_Init() != 0)
      return;
    testsupport::SampleDb d;
    if (testsupport::write_sample_db_stored("sample", &d) != 0 ||
        testsupport::add_sample_records(d) != 0 || grant(d) != 0)
      return;
    ssn_set_lookup([](Task*) -> Ssn_STATE* { return g_acting ? &g_acting->ssn : nullptr; });
    if (idb_init_session(nullptr, &s) != 0) return;
    g_acting = s;
    if (idb__logon(s, "boss", nullptr) != 0) return;
    dbid = idb__open_database(s, "sample", 1);
    ok = dbid > 0 && grow() == 0;
  }
  ~Db() {
    if (s != nullptr) idb_exit_session(s);
    SysCat_close();
    close_bench_set({root, log}, dir);
  }

  // boss, whose group may read and write every set.
  static int grant(const testsupport::SampleDb& d) {
    SysCat_USER u{0, const_cast<char*>("boss"), nullptr, IDB_CAP_DBA};
    if (SysCat_add_user(&u, nullptr) != 0) return -1;
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    if (db == nullptr) return -1;
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    if (cat == nullptr) return -1;
    SysCat_GROUP grp{0, const_cast<char*>("admins"), 0};
    int rc = SysCat_add_group(cat, &grp, nullptr) == 0 &&
                     SysCat_add_member(cat, u.uid, grp.gid, nullptr) == 0
                 ? 0
                 : -1;
    for (uint32_t table : {d.customer, d.regions, d.orders}) {
      SysCat_PRIVILEGE p{grp.gid, table, 7};
      if (rc == 0 && SysCat_add_privilege(cat, &p, nullptr) != 0) rc = -1;
    }
    SysCat_db_close(cat);
    return rc;
  }

  // The 10,000 "BNCH" orders: records and ORD-IX keys, committed 1,000 at
  // a time.
  int grow() {
    const global* g = &idb__get_db_ctx(s, dbid)->root->g;
    const idb_set* orders = &g->set[idb__find_set(g, "ORDERS")];
    const idb_index& ix = orders->index[0];
    Node* tx = Tlog_Create();
    if (tx == nullptr || Node_Open(orders->s.node) != 0) return -1;
    btree_CTX ctx{};
    ctx.tx_node = tx;
    btree_HANDLE* t = btree_OpenNode(ix.node, &ctx, 0);
    if (t == nullptr) return -1;
    btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, ix.coll);
    int rc = 0;
    uint8_t m[52];
    for (uint32_t i = 0; i < kChain && rc == 0; i += 1000) {
      rc = Tlog_Begin(tx, "grow", 1);
      for (uint32_t k = i; k < i + 1000 && rc == 0; ++k) {
        testsupport::SampleOrder o{static_cast<int32_t>(1000 + k), "C003", "BNCH", 20250101,
                                   1.0, 1, FixRec_NextCounter(orders->s.node), 0, 0, 0, 0};
        testsupport::encode_order(o, m);
        uint32_t recno = 0;
        rc = FixRec_Put(orders->s.node, &recno, m, nullptr, tx);
        uint8_t key[16];
        uint8_t data[4];
        le_put32(data, recno);
        btree_DBT kd{key, idb__build_key(btree_GetKeyDef(t), key, sizeof key, m)};
        btree_DBT dd{data, 4};
        if (rc == 0) rc = btree_Put(t, &kd, &dd, R_NOOVERWRITE);
        Record r;
        memcpy(r.data(), m, kRecLen);
        records[recno] = r;
        std::string ks = "BNCH";
        for (int b = 3; b >= 0; --b) ks.push_back(static_cast<char>((1000 + k) >> (8 * b)));
        keys[ks] = recno;
      }
      if (rc == 0) rc = Tlog_Commit(tx);
      if (rc == 0) Tlog_FinalCommit(tx);
    }
    btree_CloseNode(t);
    Node_Close(orders->s.node);
    Tlog_Destroy(tx);
    return rc;
  }
};

Db& db() {
  static Db d;
  return d;
}

void Dbget_mode4(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  const int32_t recno = 5 + kChain / 2;
  uint8_t arg[4];
  memcpy(arg, &recno, 4);
  uint8_t buf[kRecLen];
  idb_status st{};
  for (auto _ : state) {
    if (idb_get(d.s, d.dbid, "ORDERS", 7, 4, nullptr, 0, buf, arg, st) != 0)
      return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Dbget_mode4);

void Map_mode4(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  const uint32_t recno = 5 + kChain / 2;
  uint8_t buf[kRecLen];
  for (auto _ : state) {
    auto it = d.records.find(recno);
    memcpy(buf, it->second.data(), kRecLen);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Map_mode4);

void Dbget_mode5chain(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  const std::vector<uint8_t> prefix = counted("BNCH");
  uint8_t buf[kRecLen];
  idb_status st{};
  for (auto _ : state) {
    if (idb_find(d.s, d.dbid, "ORDERS", 7, 2, "ORD-IX", 7, prefix, st) != 0)
      return state.SkipWithError("find failed");
    uint32_t n = 0;
    while (idb_get(d.s, d.dbid, "ORDERS", 7, 5, nullptr, 0, buf, {}, st) == 0) ++n;
    if (st[0] != S_ENDCHAIN || n != kChain) return state.SkipWithError("chain cut short");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(Dbget_mode5chain)->Unit(benchmark::kMillisecond);

void Map_mode5chain(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  uint8_t buf[kRecLen];
  for (auto _ : state) {
    uint32_t n = 0;
    auto it = d.keys.lower_bound("BNCH");
    while (it != d.keys.end() && it->first.compare(0, 4, "BNCH") == 0) {
      memcpy(buf, d.records.find(it->second)->second.data(), kRecLen);
      ++n;
      it = d.keys.upper_bound(it->first);  // from the root, as each read seeks
    }
    if (n != kChain) return state.SkipWithError("chain cut short");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(Map_mode5chain)->Unit(benchmark::kMillisecond);

void Dbfind_mode1count(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  const std::vector<uint8_t> prefix = counted("BNCH");
  idb_status st{};
  for (auto _ : state) {
    if (idb_find(d.s, d.dbid, "ORDERS", 7, 1, "ORD-IX", 7, prefix, st) != 0 ||
        st[5] != static_cast<int32_t>(kChain))
      return state.SkipWithError("count failed");
  }
  state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(Dbfind_mode1count)->Unit(benchmark::kMicrosecond);

void Map_mode1count(benchmark::State& state) {
  Db& d = db();
  if (!d.ok) return state.SkipWithError("no database");
  for (auto _ : state) {
    uint32_t n = 0, first = 0, last = 0;
    for (auto it = d.keys.lower_bound("BNCH");
         it != d.keys.end() && it->first.compare(0, 4, "BNCH") == 0; ++it) {
      if (n++ == 0) first = it->second;
      last = it->second;
    }
    if (n != kChain) return state.SkipWithError("count failed");
    benchmark::DoNotOptimize(first);
    benchmark::DoNotOptimize(last);
  }
  state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(Map_mode1count)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
