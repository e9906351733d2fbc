// btree_bench.cpp - the B-tree beside LMDB, in one run, on files in one
// directory ($BENCH_DIR, default /dev/shm, else $TMPDIR or /tmp), with
// 8-, 16- and 64-byte keys and 4-byte data (a record number):
//
//   insert/seq, insert/rand  inserts per second in ascending and random key
//                            order, a commit every 1,000 inserts
//   insert/commit1           the same committing every insert (fewer keys)
//   get/hit, get/miss        lookups per second of stored and absent keys
//   scan                     entries per second of a full forward walk
//   pages/M                  pages per million entries
//   wbytes/ins               bytes handed to write calls per committed insert
//
// The B-tree runs twice: "btree" inside transactions of the log, committed
// through it (pre-commit writes each changed page's shadow, the final
// commit forces the LOG volume and moves the shadows home in the cache),
// with the log in its synchronous mode; and "bt-sync" outside any
// transaction, its "commit" a volume sync that writes every changed page
// back and flushes. LMDB commits a write transaction. All three flush
// (fdatasync) at each commit. Checkpoints are not run: the logged tree's
// home pages stay in the cache and its freed shadows wait for one, so
// "btree" leaves out the checkpoint's write-back. Bytes written come from
// /proc/self/io (wchar).
//
// Run: build/<dir>/bench/btree_bench [entries] (Release build; default 200000).
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "index/btree.h"
#include "storage/buffer_cache.h"
#include "storage/node_cluster.h"
#include "storage/node_pool_services.h"
#include "storage/tlog.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/volume_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

uint64_t wchar() {
  FILE* f = fopen("/proc/self/io", "r");
  if (f == nullptr) return 0;
  char line[128];
  uint64_t v = 0;
  while (fgets(line, sizeof line, f) != nullptr)
    if (sscanf(line, "wchar: %lu", &v) == 1) break;
  fclose(f);
  return v;
}

std::string bench_dir() {
  if (const char* d = getenv("BENCH_DIR")) return d;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm";
  if (const char* d = getenv("TMPDIR")) return d;
  return "/tmp";
}

// Keys of a given width: a big-endian counter padded to the width, so that
// key order is counter order.
std::string make_key(uint64_t i, size_t width) {
  std::string k(width, 'k');
  for (size_t b = 0; b < 8 && b < width; ++b) k[width - 1 - b] = static_cast<char>(i >> (8 * b));
  if (width > 8) k[0] = 'K';
  return k;
}

// Meta data blocks in memory, so that only the tree's own pages reach the files.
std::map<uint32_t, std::vector<uint8_t>> g_blocks;
uint32_t g_next_block = 0x7000000;
const NodePoolServices kPool = {
    [](uint32_t size, Node_ADDR* addr, int) {
      *addr = Node_ADDR{g_next_block++, 0, static_cast<uint16_t>(size)};
      g_blocks[addr->cluster].assign(size, 0);
      return 0;
    },
    [](Node_ADDR* addr, int) { return g_blocks.erase(addr->cluster) == 1 ? 0 : -1; },
    [](const Node_ADDR* addr, void* buf, uint32_t size, int) {
      memcpy(buf, g_blocks[addr->cluster].data(), size);
      return static_cast<int>(size);
    },
    [](const Node_ADDR* addr, const void* buf, uint32_t size, int) {
      memcpy(g_blocks[addr->cluster].data(), buf, size);
      return static_cast<int>(size);
    },
    [](Node*) { return 0; }};

struct Row {
  double ins_seq = 0, ins_rand = 0, ins_commit1 = 0, get_hit = 0, get_miss = 0, scan = 0;
  double pages_per_m = 0, wbytes = 0;
};

// --- The B-tree ------------------------------------------------------------------------

class Ours {
 public:
  Ours(const std::string& dir, bool logged)
      : root_(dir + "/bt_root.vol"), log_(dir + "/bt_log.vol"), logged_(logged) {}
  void open() {
    unlink(root_.c_str());
    unlink(log_.c_str());
    testsupport::VolumeSetSpec spec;
    spec.volumes = {{root_, VolType_DATA, 16384, 16384}, {log_, VolType_LOG, Vol_MINPAGES, 128}};
    if (testsupport::write_volume_set(spec) != 0) abort();
    const char* paths[] = {root_.c_str(), log_.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr) abort();
    if (buf_Init(16384, 16384) != 0) abort();
    if (logged_) {
      if (Vol_SetSyncMode(1) != 0 || Tlog_Init() != 0 || Tlog_SetupRootNode() != 0) abort();
      tx_ = Tlog_Create();
      if (tx_ == nullptr) abort();
    }
    btree_Init();
    node_ = btree_Create(0, nullptr, nullptr);
    t_ = btree_OpenNode(node_, &ctx_, 0);
    if (t_ == nullptr) abort();
    begin();
  }
  void close() {
    if (logged_) {
      if (Tlog_Rollback(tx_, 0) != 0 || Tlog_Destroy(tx_) != 0) abort();
      ctx_.tx_node = nullptr;
    }
    btree_CloseNode(t_);
    Vol_Sync(Vol_TIO_SYNC);
    Vol_Close();
    Vol_Free();
    buf_Exit();
    unlink(root_.c_str());
    unlink(log_.c_str());
  }
  void put(const std::string& k, uint32_t v) {
    btree_DBT key{const_cast<char*>(k.data()), static_cast<uint32_t>(k.size())};
    btree_DBT data{&v, 4};
    if (btree_Put(t_, &key, &data, R_NOOVERWRITE) != 0) abort();
  }
  bool get(const std::string& k) {
    btree_DBT key{const_cast<char*>(k.data()), static_cast<uint32_t>(k.size())};
    btree_DBT data;
    return btree_Get(t_, &key, &data, 0) == 0;
  }
  void commit() {
    if (!logged_) {
      Vol_Sync(Vol_TIO_SYNC);
      return;
    }
    if (Tlog_Commit(tx_) != 0) abort();
    Tlog_FinalCommit(tx_);
    begin();
  }
  uint64_t scan() {
    btree_DBT key, data;
    uint64_t n = 0;
    for (int rc = btree_Seq(t_, &key, &data, BT_SEQ_FIRST); rc == 0;
         rc = btree_Seq(t_, &key, &data, BT_SEQ_NEXT))
      ++n;
    return n;
  }
  uint64_t pages() {
    uint32_t start = 0, count = 0;
    uint64_t n = 0;
    Node_ITER it;
    for (int rc = Node_FirstCluster(node_, &start, &count, &it); rc == 0;
         rc = Node_NextCluster(node_, &start, &count, &it))
      n += count;
    return n;
  }

 private:
  void begin() {
    if (!logged_) return;
    if (Tlog_Begin(tx_, nullptr, 1) != 0) abort();
    ctx_.tx_node = tx_;
  }
  std::string root_, log_;
  bool logged_;
  Node* tx_ = nullptr;
  Node* node_ = nullptr;
  btree_CTX ctx_;
  btree_HANDLE* t_ = nullptr;
};

// --- LMDB ---------------------------------------------------------------------------------

class Lmdb {
 public:
  explicit Lmdb(const std::string& dir) : path_(dir + "/bt_lmdb") {}
  void open() {
    mkdir(path_.c_str(), 0700);
    unlink((path_ + "/data.mdb").c_str());
    unlink((path_ + "/lock.mdb").c_str());
    if (mdb_env_create(&env_) != 0 || mdb_env_set_mapsize(env_, size_t{4} << 30) != 0 ||
        mdb_env_open(env_, path_.c_str(), 0, 0600) != 0)
      abort();
    begin();
    if (mdb_dbi_open(txn_, nullptr, 0, &dbi_) != 0) abort();
  }
  void close() {
    if (txn_ != nullptr) mdb_txn_commit(txn_);
    txn_ = nullptr;
    mdb_env_close(env_);
    unlink((path_ + "/data.mdb").c_str());
    unlink((path_ + "/lock.mdb").c_str());
    rmdir(path_.c_str());
  }
  void put(const std::string& k, uint32_t v) {
    MDB_val key{k.size(), const_cast<char*>(k.data())};
    MDB_val data{4, &v};
    if (mdb_put(txn_, dbi_, &key, &data, MDB_NOOVERWRITE) != 0) abort();
  }
  bool get(const std::string& k) {
    MDB_val key{k.size(), const_cast<char*>(k.data())};
    MDB_val data;
    return mdb_get(txn_, dbi_, &key, &data) == 0;
  }
  void commit() {
    if (mdb_txn_commit(txn_) != 0) abort();
    begin();
  }
  uint64_t scan() {
    MDB_cursor* c = nullptr;
    mdb_cursor_open(txn_, dbi_, &c);
    MDB_val k, d;
    uint64_t n = 0;
    for (int rc = mdb_cursor_get(c, &k, &d, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) ++n;
    mdb_cursor_close(c);
    return n;
  }
  uint64_t pages() {
    MDB_stat st;
    mdb_stat(txn_, dbi_, &st);
    return st.ms_branch_pages + st.ms_leaf_pages + st.ms_overflow_pages;
  }

 private:
  void begin() {
    if (mdb_txn_begin(env_, nullptr, 0, &txn_) != 0) abort();
  }
  std::string path_;
  MDB_env* env_ = nullptr;
  MDB_txn* txn_ = nullptr;
  MDB_dbi dbi_ = 0;
};

template <class Store>
Row run(Store& s, size_t width, size_t n) {
  Row r;
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = i * 2;  // odd ids are misses
  std::vector<uint64_t> shuffled = ids;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(42));
  // Ascending, a commit every 1,000.
  s.open();
  auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    s.put(make_key(ids[i], width), static_cast<uint32_t>(i));
    if (i % 1000 == 999) s.commit();
  }
  s.commit();
  r.ins_seq = n / seconds_since(t0);
  s.close();
  // Random, a commit every 1,000; lookups, scan and pages on this tree.
  s.open();
  const uint64_t w0 = wchar();
  t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    s.put(make_key(shuffled[i], width), static_cast<uint32_t>(i));
    if (i % 1000 == 999) s.commit();
  }
  s.commit();
  r.ins_rand = n / seconds_since(t0);
  r.wbytes = static_cast<double>(wchar() - w0) / n;
  t0 = Clock::now();
  for (size_t i = 0; i < n; ++i)
    if (!s.get(make_key(shuffled[i], width))) abort();
  r.get_hit = n / seconds_since(t0);
  t0 = Clock::now();
  for (size_t i = 0; i < n; ++i)
    if (s.get(make_key(shuffled[i] + 1, width))) abort();
  r.get_miss = n / seconds_since(t0);
  t0 = Clock::now();
  if (s.scan() != n) abort();
  r.scan = n / seconds_since(t0);
  r.pages_per_m = static_cast<double>(s.pages()) * 1e6 / n;
  s.close();
  // A commit after every insert (fewer keys: each commit flushes).
  const size_t m = std::min<size_t>(n, 2000);
  s.open();
  t0 = Clock::now();
  for (size_t i = 0; i < m; ++i) {
    s.put(make_key(shuffled[i], width), static_cast<uint32_t>(i));
    s.commit();
  }
  r.ins_commit1 = m / seconds_since(t0);
  s.close();
  return r;
}

void print_ratio(const char* what, size_t width, const Row& a, const Row& b) {
  printf("%-10s %3zu %12.2f %12.2f %12.2f %12.2f %12.2f %12.2f %10.2f %10.2f\n", what, width,
         a.ins_seq / b.ins_seq, a.ins_rand / b.ins_rand, a.ins_commit1 / b.ins_commit1,
         a.get_hit / b.get_hit, a.get_miss / b.get_miss, a.scan / b.scan,
         a.pages_per_m / b.pages_per_m, a.wbytes / b.wbytes);
}

void print(const char* who, size_t width, const Row& r) {
  printf("%-10s %3zu %12.0f %12.0f %12.0f %12.0f %12.0f %12.0f %10.0f %10.1f\n", who, width, r.ins_seq,
         r.ins_rand, r.ins_commit1, r.get_hit, r.get_miss, r.scan, r.pages_per_m, r.wbytes);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? strtoul(argv[1], nullptr, 10) : 200000;
  const std::string dir = bench_dir();
  Node_SetPoolServices(&kPool);
  printf("%zu entries, files in %s\n", n, dir.c_str());
  printf("%-10s %3s %12s %12s %12s %12s %12s %12s %10s %10s\n", "store", "key", "ins/s seq",
         "ins/s rand", "ins/s c=1", "get/s hit", "get/s miss", "scan/s", "pages/M", "wbytes/ins");
  for (size_t width : {8, 16, 64}) {
    Ours logged(dir, true);
    Ours synced(dir, false);
    Lmdb lmdb(dir);
    const Row a = run(logged, width, n);
    const Row s = run(synced, width, n);
    const Row b = run(lmdb, width, n);
    print("btree", width, a);
    print("bt-sync", width, s);
    print("lmdb", width, b);
    print_ratio("btree/lmdb", width, a, b);
    print_ratio("sync/lmdb", width, s, b);
  }
  return 0;
}
