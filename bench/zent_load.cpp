// zent_load.cpp - one run of the same work against zentdb6 and, where they
// are installed, PostgreSQL (libpq) and SQLite, beside two yardsticks: a
// loopback echo round trip and a pwrite+fdatasync loop on the file system
// the databases write to. Prints a markdown table: each figure (rate, p50,
// p99; fdatasyncs per commit for the inserts) with its ratio to PostgreSQL
// and to its yardstick.
//
// zentdb6 runs from the built binary on a fresh environment made by
// spacenew and spacegrow in a temporary directory; the database is defined
// over the wire as a client defines one. Every system gets two tables of
// 100-byte records keyed by an 8-character string: ITEMS, loaded with
// --records records, and COMMITS, empty. Each workload runs --seconds with
// k client threads, each on its own connection.
//
// fdatasync counts: perf stat on the syscalls:sys_enter_fdatasync and
// sys_enter_fsync tracepoints of the zentdb6 process, of this process for
// SQLite, of every PostgreSQL process (needs linux-perf and the rights to
// trace). pg_stat_wal.wal_sync is no substitute: backends report their
// counts to it only now and then. See bench/README.md for how to run it.
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "loopback_echo.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/zent_client.h"

#ifdef ZENT_LOAD_PG
#include <libpq-fe.h>
#endif
#ifdef ZENT_LOAD_SQLITE
#include <sqlite3.h>
#endif

namespace {

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadWriter;
using testsupport::ZentClient;

constexpr size_t kKeySize = 8;
constexpr size_t kRecordSize = 100;
constexpr long kMaxRecords = 50000000;  // inserted keys go above, within 8 digits

// --- Options --------------------------------------------------------------------

struct Options {
  long records = 1000000;
  long seconds = 5;
  std::string pg;  // conninfo; empty: PostgreSQL is left out
  std::string pg_user;  // the account a throwaway cluster runs as
  bool sqlite = true;
};

constexpr const char* kUsage =
    "usage: zent_load [--records N] [--seconds S] [--pg CONNINFO | --pg-user USER] [--no-sqlite]\n"
    "  --records N   records loaded into the large table (1 to 50000000, default 1000000)\n"
    "  --seconds S   length of each workload (1 to 3600, default 5)\n"
    "  --pg CONNINFO a PostgreSQL server to run the same work on (libpq conninfo)\n"
    "  --pg-user USER  start a throwaway PostgreSQL cluster as USER instead (initdb and\n"
    "                pg_ctl from pg_config --bindir; through runuser when run as root)\n"
    "  --no-sqlite   leave SQLite out\n";

// A whole decimal number in [lo, hi], or nothing.
std::optional<long> parse_count(const char* text, long lo, long hi) {
  if (*text == '\0') return std::nullopt;
  long v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    v = v * 10 + (*p - '0');
    if (v > hi) return std::nullopt;
  }
  if (v < lo) return std::nullopt;
  return v;
}

// The options, or nothing after a message on stderr.
std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "zent_load: %s needs a value\n", a.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--records" || a == "--seconds") {
      const char* v = value();
      if (v == nullptr) return std::nullopt;
      const bool records = a == "--records";
      const std::optional<long> n =
          records ? parse_count(v, 1, kMaxRecords) : parse_count(v, 1, 3600);
      if (!n) {
        fprintf(stderr, "zent_load: %s: bad value \"%s\"\n", a.c_str(), v);
        return std::nullopt;
      }
      (records ? o.records : o.seconds) = *n;
    } else if (a == "--pg") {
      const char* v = value();
      if (v == nullptr) return std::nullopt;
      o.pg = v;
    } else if (a == "--pg-user") {
      const char* v = value();
      if (v == nullptr) return std::nullopt;
      if (*v == '\0') {
        fprintf(stderr, "zent_load: --pg-user: empty user name\n");
        return std::nullopt;
      }
      o.pg_user = v;
    } else if (a == "--no-sqlite") {
      o.sqlite = false;
    } else {
      fprintf(stderr, "zent_load: unknown option \"%s\"\n", a.c_str());
      return std::nullopt;
    }
  }
  if (!o.pg.empty() && !o.pg_user.empty()) {
    fprintf(stderr, "zent_load: --pg and --pg-user exclude each other\n");
    return std::nullopt;
  }
  return o;
}

// Set by SIGINT and SIGTERM: the run stops early, but still stops the
// servers it started and removes their files.
volatile sig_atomic_t g_interrupted = 0;

void interrupt(int) { g_interrupted = 1; }

// --- Records --------------------------------------------------------------------

std::string key_of(long n) {
  char buf[24];
  snprintf(buf, sizeof buf, "%08ld", n);
  return buf;
}

// The record of key n: the key, then 92 bytes of filler that change with n.
std::string record_of(long n) {
  std::string r = key_of(n);
  r.resize(kRecordSize, static_cast<char>('a' + n % 26));
  return r;
}

// --- The client loop --------------------------------------------------------------

// One client thread's work: one operation per call, false on a failure.
using Op = std::function<bool()>;

struct Figures {
  bool ran = false;
  std::string error;
  double rate = 0;  // operations (or records, for a scan) per second
  double p50_us = 0, p99_us = 0;
  double syncs_per_op = -1;  // fdatasync+fsync per operation; < 0 not counted
};

// Counts a server's fdatasync calls across a run; start() is called
// while every client thread waits at the start line.
class SyncCounter {
 public:
  virtual ~SyncCounter() = default;
  virtual void start() = 0;
  // The calls since start(), or -1 when they could not be counted.
  virtual long stop() = 0;
};

// Runs ops.size() client threads for seconds, each calling its op in a
// loop, each call timed. units: what one call counts for in the rate (a
// scan's records come from its own counter when given).
Figures run_clients(std::vector<Op> ops, long seconds, SyncCounter* syncs = nullptr,
                    const std::atomic<long>* units = nullptr) {
  using Clock = std::chrono::steady_clock;
  const size_t k = ops.size();
  std::vector<std::vector<double>> us(k);
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::vector<std::string> errors(k);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < k; ++t)
    threads.emplace_back([&, t] {
      go.wait(false, std::memory_order_acquire);
      us[t].reserve(1 << 16);
      while (!stop.load(std::memory_order_relaxed)) {
        const Clock::time_point t0 = Clock::now();
        if (!ops[t]()) {
          errors[t] = "a request failed";
          return;
        }
        us[t].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        calls.fetch_add(1, std::memory_order_relaxed);
      }
    });
  if (syncs != nullptr) syncs->start();
  const long units_before = units != nullptr ? units->load() : 0;
  const Clock::time_point t0 = Clock::now();
  go.store(true, std::memory_order_release);
  go.notify_all();
  const Clock::time_point end = t0 + std::chrono::seconds(seconds);
  while (Clock::now() < end && g_interrupted == 0)
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(),
                                                           std::chrono::milliseconds(100)));
  stop = true;
  for (std::thread& th : threads) th.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  Figures f;
  f.ran = true;
  for (const std::string& e : errors)
    if (!e.empty()) f.error = e;
  std::vector<double> all;
  for (const std::vector<double>& v : us) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    f.p50_us = all[(all.size() - 1) / 2];
    f.p99_us = all[static_cast<size_t>(0.99 * static_cast<double>(all.size() - 1))];
  }
  const long n = units != nullptr ? units->load() - units_before : calls.load();
  f.rate = secs > 0 ? static_cast<double>(n) / secs : 0;
  if (syncs != nullptr) {
    const long s = syncs->stop();
    if (s >= 0 && calls.load() > 0)
      f.syncs_per_op = static_cast<double>(s) / static_cast<double>(calls.load());
  }
  return f;
}

// perf stat on processes' threads (those they have when start() is
// called); pids is a comma-separated list.
class PerfSyncCounter : public SyncCounter {
 public:
  explicit PerfSyncCounter(std::string pids) : pids_(std::move(pids)) {}
  void start() override {
    if (pids_.empty() || access("/usr/bin/perf", X_OK) != 0) return;
    perf_ = std::make_unique<testsupport::Process>(
        "/usr/bin/perf",
        std::vector<std::string>{"stat", "-x", ",", "-e",
                                 "syscalls:sys_enter_fdatasync,syscalls:sys_enter_fsync", "-p",
                                 pids_});
    // perf says nothing once it is attached; give it the time it takes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  long stop() override {
    if (!perf_) return -1;
    perf_->send_signal(SIGINT);
    const testsupport::ProcessResult r = perf_->wait(10000);
    perf_.reset();
    // CSV lines: count,unit,event,...; "<not counted>" is none.
    long sum = 0;
    int events = 0;
    size_t at = 0;
    while (at < r.err.size()) {
      size_t end = r.err.find('\n', at);
      if (end == std::string::npos) end = r.err.size();
      const std::string line = r.err.substr(at, end - at);
      at = end + 1;
      if (line.find("syscalls:sys_enter_") == std::string::npos) continue;
      ++events;
      if (line[0] >= '0' && line[0] <= '9') sum += atol(line.c_str());
    }
    return events == 2 ? sum : -1;
  }

 private:
  std::string pids_;
  std::unique_ptr<testsupport::Process> perf_;
};

// --- A system under test ------------------------------------------------------------

// One connection's operations.
class Client {
 public:
  virtual ~Client() = default;
  virtual bool read(const std::string& key) = 0;
  // Inserts record n into ITEMS (large) or COMMITS, one durable commit.
  virtual bool insert(bool large, long n) = 0;
  // Reads every record of ITEMS once; adds them to *records.
  virtual bool scan(std::atomic<long>* records) = 0;
};

class System {
 public:
  virtual ~System() = default;
  virtual const char* name() const = 0;
  // Makes the tables and loads ITEMS; false after a message.
  virtual bool prepare(long records) = 0;
  virtual std::unique_ptr<Client> connect() = 0;  // null after a message
  virtual std::unique_ptr<SyncCounter> sync_counter() = 0;
};

// --- zentdb6 ------------------------------------------------------------------------

enum : uint16_t {
  SYSCAT_ADD_DB = 11, SYSCAT_OPEN_DB_BY_NAME = 15, SYSCAT_CLOSE_DB = 17,
  SYSCAT_ADD_PRIVILEGE = 25, SYSCAT_ADD_COLUMN = 27, SYSCAT_ADD_INDEX = 30,
  SYSCAT_ADD_INDEXSEG = 33, SYSCAT_ADD_TABLE = 34, SYSCAT_ADD_TABLECOLUMN = 37,
};
enum : uint16_t { DBML_DBPUT = 6, DBML_DBCREATE = 11, DBML_BEGIN = 15, DBML_PRECOMMIT = 17 };
constexpr uint16_t kItemsSet = 1, kCommitsSet = 2;
constexpr const char* kZentDb = "zentload";

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class ZentConnection : public Client {
 public:
  explicit ZentConnection(int port) : port_(port) {}
  // Connects, logs on as dba and opens the database in mode; "" or why not.
  std::string open(uint8_t mode) {
    std::string challenge;
    if (!bench_support::connect_client(c_, port_, &challenge)) return "cannot reach zentdb6";
    if (c_.logon(challenge, "dba", "") != 0) return "LOGON as dba refused";
    DbmlStatus st;
    const int32_t rc = c_.dbopen(kZentDb, "", mode, &st);
    if (rc != 0) return "DBOPEN refused: " + std::to_string(rc);
    db_ = static_cast<uint16_t>(st.words[9]);
    return "";
  }
  ZentClient& wire() { return c_; }
  uint16_t db() const { return db_; }

  bool read(const std::string& key) override {
    return c_.dbget(db_, kItemsSet, 7, kRecordSize, Bytes(key.begin(), key.end())) == 0;
  }
  bool put(uint16_t set, long n) {
    PayloadWriter w = testsupport::dbml_writer(++id_, DBML_DBPUT);
    w.u16(db_).u16(set).u8(1).str("@").align(4).u32(kRecordSize).raw(record_of(n));
    return c_.dbml(w.bytes()) == 0;
  }
  bool insert(bool large, long n) override { return put(large ? kItemsSet : kCommitsSet, n); }
  bool scan(std::atomic<long>* records) override {
    testsupport::ScanReply rep;
    if (!c_.scan(testsupport::scan_new_context_request(++id_, static_cast<int16_t>(db_),
                                                       kItemsSet, 0, 2, {0x03}),
                 &rep) ||
        !rep.ok() || rep.rest.size() < 4)
      return false;
    const uint32_t handle = le32(rep.rest, 0);
    uint32_t next = 0;
    do {
      Bytes back;
      if (!c_.request(testsupport::scan_seq_request(++id_, handle, 65536,
                                                    static_cast<int32_t>(next)).bytes(),
                      &back) ||
          back.size() < 24 || le32(back, 4) != 0)
        return false;
      next = le32(back, 12);
      *records += le32(back, 16);
    } while (next != 0);
    PayloadWriter del = testsupport::scan_writer(++id_, 2);  // DEL_CONTEXT
    del.u32(handle);
    return c_.scan(del, &rep) && rep.ok();
  }
  bool noop() { return c_.noop(++id_); }

 private:
  int port_;
  ZentClient c_;
  uint16_t db_ = 0;
  uint16_t id_ = 0;
};

class ZentSystem : public System {
 public:
  const char* name() const override { return "zentdb6"; }

  bool start() {
    port_ = testsupport::free_tcp_port();
    const std::string cfg = dir_.file("zentdb6.cfg");
    // A 512 MB cache, the first figure of the comparison; workers for 32
    // clients and the loaders.
    dir_.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port_) +
                                  "\n\n[Config]\nThreads = 80\nBufferCache = 512\n");
    const std::vector<std::vector<std::string>> steps = {
        {SPACENEW_PATH, "-c", cfg, "-s", "64", dir_.file("root.vol")},
        {SPACEGROW_PATH, "-c", cfg, "-t", "log", "-s", "1024", dir_.file("log.vol")},
        {SPACEGROW_PATH, "-c", cfg, "-t", "data", "-s", "1024", "-e", "256",
         dir_.file("data.vol")}};
    for (const std::vector<std::string>& s : steps) {
      const testsupport::ProcessResult r =
          testsupport::run_process(s[0], std::vector<std::string>(s.begin() + 1, s.end()));
      if (r.exit_status != 0) {
        fprintf(stderr, "zent_load: %s failed:\n%s", s[0].c_str(), r.err.c_str());
        return false;
      }
    }
    server_ = std::make_unique<testsupport::Process>(
        ZENTDB6_PATH, std::vector<std::string>{"-standalone", "-c", cfg, "-d", "*0"});
    // It logs errors only (a chattier log would fill the pipe nobody
    // reads during the run), so its readiness is a handshake that works.
    const bool up = testsupport::eventually(
        [&] {
          ZentClient c;
          return c.connect(static_cast<uint16_t>(port_)) && c.handshake();
        },
        60000);
    if (!up) {
      fprintf(stderr, "zent_load: zentdb6 did not start:\n%s", server_->stderr_so_far().c_str());
      return false;
    }
    return true;
  }
  ~ZentSystem() override {
    if (!server_) return;
    server_->send_signal(SIGTERM);
    const testsupport::ProcessResult r = server_->wait(60000);
    if (r.exit_status != 0) fprintf(stderr, "zent_load: zentdb6 ended badly:\n%s", r.err.c_str());
  }
  const std::string& dir() const { return dir_.path(); }
  int port() const { return port_; }
  // What the server has logged so far (errors only); reading it also
  // keeps the pipe from filling and stalling the server.
  const std::string& log() { return server_->stderr_so_far(); }

  bool prepare(long records) override {
    if (!define()) return false;
    // Eight loaders, a thousand puts per transaction.
    constexpr int kLoaders = 8;
    constexpr long kBatch = 1000;
    std::atomic<long> next{1};
    std::atomic<bool> failed{false};
    std::vector<std::thread> loaders;
    for (int t = 0; t < kLoaders; ++t)
      loaders.emplace_back([&] {
        ZentConnection c(port_);
        if (!c.open(1).empty()) {
          failed = true;
          return;
        }
        for (long from = next.fetch_add(kBatch); from <= records && !failed && g_interrupted == 0;
             from = next.fetch_add(kBatch)) {
          PayloadWriter b = testsupport::dbml_writer(1, DBML_BEGIN);
          b.u8(1).u8(0).u32(1).str("");
          bool ok = c.wire().dbml(b.bytes()) == 0;
          for (long n = from; ok && n < from + kBatch && n <= records; ++n)
            ok = c.put(kItemsSet, n);
          PayloadWriter pc = testsupport::dbml_writer(2, DBML_PRECOMMIT);
          pc.u8(12).u8(1);
          if (!ok || c.wire().dbml(pc.bytes()) != 0) failed = true;
        }
      });
    for (std::thread& t : loaders) t.join();
    if (failed) fprintf(stderr, "zent_load: loading zentdb6 failed\n");
    return !failed;
  }
  std::unique_ptr<Client> connect() override {
    auto c = std::make_unique<ZentConnection>(port_);
    const std::string why = c->open(1);
    if (!why.empty()) {
      fprintf(stderr, "zent_load: zentdb6: %s\n", why.c_str());
      return nullptr;
    }
    return c;
  }
  std::unique_ptr<SyncCounter> sync_counter() override {
    return std::make_unique<PerfSyncCounter>(std::to_string(server_->pid()));
  }

 private:
  // The database over the wire, in one transaction as dba: items K (the
  // key, 8 characters) and V (92 characters); the manual masters ITEMS
  // and COMMITS keyed by K; full access for the dba group. Then its
  // storage (DBCREATE in mode 13).
  bool define() {
    ZentClient c;
    std::string challenge;
    if (!bench_support::connect_client(c, port_, &challenge) || c.logon(challenge, "dba", "") != 0) {
      fprintf(stderr, "zent_load: cannot log on to zentdb6 as dba\n");
      return false;
    }
    bool ok = true;
    auto syscat = [&](const PayloadWriter& w) -> uint32_t {
      Bytes reply, data;
      testsupport::SyscatReply head;
      if (!ok || !c.request(w.bytes(), &reply) ||
          !testsupport::decode_syscat_reply(reply, &head, &data) || !head.ok()) {
        if (ok) fprintf(stderr, "zent_load: defining the database: %s\n", head.text.c_str());
        ok = false;
        return 0;
      }
      // A u32 id, or a u16 handle.
      if (data.size() >= 4) return le32(data, 0);
      return data.size() >= 2 ? static_cast<uint32_t>(data[0] | data[1] << 8) : 0;
    };
    auto sc = [](uint16_t type) { return testsupport::syscat_writer(40, type); };
    PayloadWriter b = testsupport::dbml_writer(2, DBML_BEGIN);
    b.u8(1).u8(0).u32(1).str("define");
    ok = c.dbml(b.bytes()) == 0;
    PayloadWriter ad = sc(SYSCAT_ADD_DB);
    ad.u32(0).str(kZentDb).u32(0);
    syscat(ad);
    PayloadWriter od = sc(SYSCAT_OPEN_DB_BY_NAME);
    od.str(kZentDb).u32(0).u32(0);
    const uint16_t h = static_cast<uint16_t>(syscat(od));
    auto column = [&](const char* name, uint32_t size) {
      PayloadWriter w = sc(SYSCAT_ADD_COLUMN);
      w.u16(h).u32(0).u32(0).str(name).u8(1).u32(size).u32(1).u32(0).u32(0);
      return syscat(w);
    };
    const uint32_t k = column("K", kKeySize);
    const uint32_t v = column("V", kRecordSize - kKeySize);
    for (const char* tname : {"ITEMS", "COMMITS"}) {
      PayloadWriter at = sc(SYSCAT_ADD_TABLE);
      at.u16(h).u32(0).u32(1).str(tname).u32(1).u32(1).u16(2).u16(0).u16(0).u32(0);
      const uint32_t table = syscat(at);
      uint32_t i = 0;
      for (uint32_t col : {k, v}) {
        PayloadWriter tc = sc(SYSCAT_ADD_TABLECOLUMN);
        tc.u16(h).u32(table).u32(col).u32(++i);
        syscat(tc);
      }
      PayloadWriter ai = sc(SYSCAT_ADD_INDEX);
      ai.u16(h).u32(0).u32(table).str(std::string(tname) + "-KEY").u32(1).u32(4).u8(1).u32(0);
      const uint32_t key = syscat(ai);
      PayloadWriter as = sc(SYSCAT_ADD_INDEXSEG);
      as.u16(h).u32(key).u8(0).u32(k).u32(1).u32(0);
      syscat(as);
      PayloadWriter ap = sc(SYSCAT_ADD_PRIVILEGE);
      ap.u16(h).u32(1).u32(table).u32(7);
      syscat(ap);
    }
    PayloadWriter cd = sc(SYSCAT_CLOSE_DB);
    cd.u16(h);
    syscat(cd);
    PayloadWriter pc = testsupport::dbml_writer(3, DBML_PRECOMMIT);
    pc.u8(12).u8(1);
    if (!ok || c.dbml(pc.bytes()) != 0) {
      fprintf(stderr, "zent_load: the database definition did not commit\n");
      return false;
    }
    DbmlStatus st;
    if (c.dbopen(kZentDb, "", 13, &st) != 0) {
      fprintf(stderr, "zent_load: DBOPEN mode 13 refused: %d\n%s", st.words[0],
              server_->stderr_so_far().c_str());
      return false;
    }
    PayloadWriter create = testsupport::dbml_writer(6, DBML_DBCREATE);
    create.u16(static_cast<uint16_t>(st.words[9])).u8(1).align(4).obj({});
    if (c.dbml(create.bytes(), &st) != 0) {
      fprintf(stderr, "zent_load: DBCREATE refused: %d\n", st.words[0]);
      return false;
    }
    return true;
  }

  testsupport::TempDir dir_;
  int port_ = -1;
  std::unique_ptr<testsupport::Process> server_;
};

// --- PostgreSQL -------------------------------------------------------------------

#ifdef ZENT_LOAD_PG
bool pg_ok(PGconn* c, const char* sql, ExecStatusType want = PGRES_COMMAND_OK) {
  PGresult* r = PQexec(c, sql);
  const bool ok = PQresultStatus(r) == want;
  if (!ok) fprintf(stderr, "zent_load: PostgreSQL: %s: %s", sql, PQerrorMessage(c));
  PQclear(r);
  return ok;
}

std::string pg_value(PGconn* c, const char* sql) {
  PGresult* r = PQexec(c, sql);
  std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
  PQclear(r);
  return v;
}

class PgConnection : public Client {
 public:
  explicit PgConnection(PGconn* c) : c_(c) {}
  ~PgConnection() override { PQfinish(c_); }
  bool read(const std::string& key) override {
    const char* args[] = {key.c_str()};
    PGresult* r = PQexecPrepared(c_, "read", 1, args, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    PQclear(r);
    return ok;
  }
  bool insert(bool large, long n) override {
    const std::string rec = record_of(n);
    const std::string k = rec.substr(0, kKeySize), v = rec.substr(kKeySize);
    const char* args[] = {k.c_str(), v.c_str()};
    PGresult* r = PQexecPrepared(c_, large ? "put_items" : "put_commits", 2, args, nullptr,
                                 nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    return ok;
  }
  bool scan(std::atomic<long>* records) override {
    PGresult* r = PQexec(c_, "COPY zent_load_items TO STDOUT");
    const bool started = PQresultStatus(r) == PGRES_COPY_OUT;
    PQclear(r);
    if (!started) return false;
    char* row = nullptr;
    int len = 0;
    long n = 0;
    while ((len = PQgetCopyData(c_, &row, 0)) > 0) {
      ++n;
      PQfreemem(row);
    }
    *records += n;
    r = PQgetResult(c_);
    const bool ok = len == -1 && PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    while ((r = PQgetResult(c_)) != nullptr) PQclear(r);
    return ok;
  }

 private:
  PGconn* c_;
};

// The server's processes: every one pg_stat_activity lists (the client
// backends, the WAL writer, the checkpointer), when they run on this
// machine; "" when not.
std::string pg_local_pids(PGconn* c) {
  PGresult* r = PQexec(c, "SELECT pid FROM pg_stat_activity");
  std::string pids;
  bool local = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0;
  for (int i = 0; local && i < PQntuples(r); ++i) {
    const std::string pid = PQgetvalue(r, i, 0);
    const std::string comm = testsupport::read_file("/proc/" + pid + "/comm");
    local = comm.rfind("postgres", 0) == 0;
    pids += (pids.empty() ? "" : ",") + pid;
  }
  PQclear(r);
  return local ? pids : "";
}

// A PostgreSQL cluster of its own in dir, run as user, on a loopback port:
// fsync and synchronous_commit on, 512 MB of shared buffers as zentdb6's
// cache; stopped and removed with the object.
class PgCluster {
 public:
  PgCluster(const std::string& dir, std::string user) : dir_(dir + "/pg"), user_(std::move(user)) {}
  ~PgCluster() {
    if (started_) run("pg_ctl", {"-D", dir_ + "/data", "-m", "fast", "-w", "stop"});
  }
  // The conninfo, or "" after a message.
  std::string start() {
    const testsupport::ProcessResult bindir = testsupport::run_process("/usr/bin/env", {"pg_config", "--bindir"});
    bin_ = bindir.out.substr(0, bindir.out.find('\n'));
    if (bindir.exit_status != 0 || bin_.empty()) {
      fprintf(stderr, "zent_load: pg_config --bindir failed\n");
      return "";
    }
    const testsupport::ProcessResult made = testsupport::run_process(
        "/usr/bin/env", {"install", "-d", "-m", "0700", "-o", user_, dir_});
    if (made.exit_status != 0) {
      fprintf(stderr, "zent_load: cannot make %s for %s: %s", dir_.c_str(), user_.c_str(),
                made.err.c_str());
      return "";
    }
    // The account must reach its directory through the temporary one.
    chmod(dir_.substr(0, dir_.rfind('/')).c_str(), 0711);
    const int port = testsupport::free_tcp_port();
    if (!run("initdb", {"-D", dir_ + "/data", "-A", "trust", "-U", "zentload", "--no-sync"}))
      return "";
    const std::string settings = "-p " + std::to_string(port) +
                                 " -c listen_addresses=127.0.0.1 -c unix_socket_directories=" +
                                 dir_ + " -c fsync=on -c synchronous_commit=on"
                                 " -c shared_buffers=512MB -c max_connections=100";
    if (!run("pg_ctl", {"-D", dir_ + "/data", "-l", dir_ + "/log", "-o", settings, "-w", "start"}))
      return "";
    started_ = true;
    return "host=127.0.0.1 port=" + std::to_string(port) + " user=zentload dbname=postgres";
  }

 private:
  // program from the cluster's bin directory, as user_ (runuser when root).
  bool run(const char* program, std::vector<std::string> args) {
    args.insert(args.begin(), bin_ + "/" + program);
    if (geteuid() == 0) args.insert(args.begin(), {"runuser", "-u", user_, "--"});
    const testsupport::ProcessResult r = testsupport::run_process("/usr/bin/env", args, {}, 120000);
    if (r.exit_status != 0)
      fprintf(stderr, "zent_load: %s failed:\n%s%s", program, r.out.c_str(), r.err.c_str());
    return r.exit_status == 0;
  }
  std::string dir_, user_, bin_;
  bool started_ = false;
};

class PgSystem : public System {
 public:
  explicit PgSystem(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  ~PgSystem() override {
    if (control_ != nullptr) PQfinish(control_);
  }
  const char* name() const override { return "PostgreSQL"; }
  std::string settings;

  bool prepare(long records) override {
    control_ = open_conn();
    if (control_ == nullptr) return false;
    settings = "fsync " + pg_value(control_, "SHOW fsync") + ", synchronous_commit " +
               pg_value(control_, "SHOW synchronous_commit") + ", shared_buffers " +
               pg_value(control_, "SHOW shared_buffers") + ", server " +
               pg_value(control_, "SHOW server_version");
    if (!pg_ok(control_, "DROP TABLE IF EXISTS zent_load_items, zent_load_commits") ||
        !pg_ok(control_, "CREATE TABLE zent_load_items (k char(8) PRIMARY KEY, v char(92))") ||
        !pg_ok(control_, "CREATE TABLE zent_load_commits (k char(8) PRIMARY KEY, v char(92))") ||
        !pg_ok(control_, "COPY zent_load_items FROM STDIN", PGRES_COPY_IN))
      return false;
    std::string chunk;
    for (long n = 1; n <= records && g_interrupted == 0; ++n) {
      const std::string rec = record_of(n);
      chunk += rec.substr(0, kKeySize) + "\t" + rec.substr(kKeySize) + "\n";
      if (chunk.size() > (1 << 20) || n == records || g_interrupted != 0) {
        if (PQputCopyData(control_, chunk.data(), static_cast<int>(chunk.size())) != 1) break;
        chunk.clear();
      }
    }
    PQputCopyEnd(control_, nullptr);
    PGresult* r = PQgetResult(control_);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) fprintf(stderr, "zent_load: PostgreSQL COPY: %s", PQerrorMessage(control_));
    PQclear(r);
    while ((r = PQgetResult(control_)) != nullptr) PQclear(r);
    return ok && pg_ok(control_, "VACUUM ANALYZE zent_load_items");
  }
  std::unique_ptr<Client> connect() override {
    PGconn* c = open_conn();
    if (c == nullptr) return nullptr;
    auto prep = [&](const char* name, const char* sql, int n) {
      PGresult* r = PQprepare(c, name, sql, n, nullptr);
      const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
      return ok;
    };
    if (!pg_ok(c, "SET synchronous_commit = on") ||
        !prep("read", "SELECT v FROM zent_load_items WHERE k = $1", 1) ||
        !prep("put_items", "INSERT INTO zent_load_items VALUES ($1, $2)", 2) ||
        !prep("put_commits", "INSERT INTO zent_load_commits VALUES ($1, $2)", 2)) {
      fprintf(stderr, "zent_load: PostgreSQL: %s", PQerrorMessage(c));
      PQfinish(c);
      return nullptr;
    }
    return std::make_unique<PgConnection>(c);
  }
  std::unique_ptr<SyncCounter> sync_counter() override {
    return std::make_unique<PerfSyncCounter>(pg_local_pids(control_));
  }

 private:
  PGconn* open_conn() {
    PGconn* c = PQconnectdb(conninfo_.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
      fprintf(stderr, "zent_load: PostgreSQL: %s", PQerrorMessage(c));
      PQfinish(c);
      return nullptr;
    }
    return c;
  }
  std::string conninfo_;
  PGconn* control_ = nullptr;
};
#endif

// --- SQLite -------------------------------------------------------------------------

#ifdef ZENT_LOAD_SQLITE
class SqliteConnection : public Client {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() override {
    for (sqlite3_stmt* s : {read_, put_items_, put_commits_, scan_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }
  bool init() {
    return sqlite3_prepare_v2(db_, "SELECT v FROM items WHERE k = ?", -1, &read_, nullptr) ==
               SQLITE_OK &&
           sqlite3_prepare_v2(db_, "INSERT INTO items VALUES (?, ?)", -1, &put_items_, nullptr) ==
               SQLITE_OK &&
           sqlite3_prepare_v2(db_, "INSERT INTO commits VALUES (?, ?)", -1, &put_commits_,
                              nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db_, "SELECT k, v FROM items", -1, &scan_, nullptr) == SQLITE_OK;
  }
  bool read(const std::string& key) override {
    sqlite3_bind_text(read_, 1, key.c_str(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(read_) == SQLITE_ROW;
    sqlite3_reset(read_);
    return ok;
  }
  bool insert(bool large, long n) override {
    sqlite3_stmt* s = large ? put_items_ : put_commits_;
    const std::string rec = record_of(n);
    sqlite3_bind_text(s, 1, rec.data(), static_cast<int>(kKeySize), SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, rec.data() + kKeySize, static_cast<int>(kRecordSize - kKeySize),
                      SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    return ok;
  }
  bool scan(std::atomic<long>* records) override {
    long n = 0;
    int rc = 0;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) {
      if (sqlite3_column_bytes(scan_, 1) > 0) ++n;
    }
    sqlite3_reset(scan_);
    *records += n;
    return rc == SQLITE_DONE;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* read_ = nullptr;
  sqlite3_stmt* put_items_ = nullptr;
  sqlite3_stmt* put_commits_ = nullptr;
  sqlite3_stmt* scan_ = nullptr;
};

class SqliteSystem : public System {
 public:
  explicit SqliteSystem(std::string path) : path_(std::move(path)) {}
  const char* name() const override { return "SQLite"; }
  bool prepare(long records) override {
    sqlite3* db = open_db();
    if (db == nullptr) return false;
    bool ok = exec(db, "CREATE TABLE items (k TEXT PRIMARY KEY, v TEXT)") &&
              exec(db, "CREATE TABLE commits (k TEXT PRIMARY KEY, v TEXT)") &&
              exec(db, "BEGIN");
    sqlite3_stmt* put = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO items VALUES (?, ?)", -1, &put, nullptr) ==
                   SQLITE_OK;
    for (long n = 1; ok && n <= records && g_interrupted == 0; ++n) {
      const std::string rec = record_of(n);
      sqlite3_bind_text(put, 1, rec.data(), static_cast<int>(kKeySize), SQLITE_TRANSIENT);
      sqlite3_bind_text(put, 2, rec.data() + kKeySize, static_cast<int>(kRecordSize - kKeySize),
                        SQLITE_TRANSIENT);
      ok = sqlite3_step(put) == SQLITE_DONE;
      sqlite3_reset(put);
    }
    sqlite3_finalize(put);
    ok = ok && exec(db, "COMMIT");
    if (!ok) fprintf(stderr, "zent_load: SQLite: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
  }
  std::unique_ptr<Client> connect() override {
    sqlite3* db = open_db();
    if (db == nullptr) return nullptr;
    auto c = std::make_unique<SqliteConnection>(db);
    if (!c->init()) {
      fprintf(stderr, "zent_load: SQLite: %s\n", sqlite3_errmsg(db));
      return nullptr;
    }
    return c;
  }
  std::unique_ptr<SyncCounter> sync_counter() override {
    return std::make_unique<PerfSyncCounter>(std::to_string(getpid()));
  }

 private:
  static bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // WAL, every commit synced, waits for the writer lock instead of failing.
  sqlite3* open_db() {
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK || sqlite3_busy_timeout(db, 60000) != SQLITE_OK ||
        !exec(db, "PRAGMA journal_mode = WAL") || !exec(db, "PRAGMA synchronous = FULL")) {
      fprintf(stderr, "zent_load: SQLite %s: %s\n", path_.c_str(), sqlite3_errmsg(db));
      sqlite3_close(db);
      return nullptr;
    }
    return db;
  }
  std::string path_;
};
#endif

// --- The workloads ------------------------------------------------------------------

enum class Work { kRead, kCommit, kLargeInsert, kScan };

struct Row {
  std::string label;
  Work work;
  int clients;
  std::vector<Figures> figures;  // per system, in the run's order
  Figures yardstick;
  std::string yardstick_name;
};

// The work on system with clients connections for seconds; a figure with
// its error when the connections cannot be had.
Figures run_work(System& system, Work work, int clients, long records, long seconds,
                 std::atomic<long>* next_key) {
  std::vector<std::unique_ptr<Client>> conns;
  for (int i = 0; i < clients; ++i) {
    conns.push_back(system.connect());
    if (!conns.back()) {
      Figures f;
      f.ran = true;
      f.error = "no connection";
      return f;
    }
  }
  std::vector<Op> ops;
  std::atomic<long> scanned{0};
  for (int i = 0; i < clients; ++i) {
    Client* c = conns[static_cast<size_t>(i)].get();
    switch (work) {
      case Work::kRead: {
        auto rng = std::make_shared<std::mt19937_64>(static_cast<uint64_t>(i) + 1);
        ops.push_back([c, rng, records] {
          return c->read(key_of(static_cast<long>((*rng)() % static_cast<uint64_t>(records)) + 1));
        });
        break;
      }
      case Work::kCommit:
      case Work::kLargeInsert: {
        const bool large = work == Work::kLargeInsert;
        ops.push_back([c, large, next_key] { return c->insert(large, next_key->fetch_add(1)); });
        break;
      }
      case Work::kScan:
        ops.push_back([c, &scanned] { return c->scan(&scanned); });
        break;
    }
  }
  std::unique_ptr<SyncCounter> syncs;
  if (work == Work::kCommit || work == Work::kLargeInsert) syncs = system.sync_counter();
  return run_clients(std::move(ops), seconds, syncs.get(), work == Work::kScan ? &scanned : nullptr);
}

// --- The yardsticks -------------------------------------------------------------------

// Loopback echo of a no-op request's bytes, clients connections.
Figures echo_round_trips(int port, int clients, long seconds) {
  std::vector<std::unique_ptr<ZentClient>> conns;
  std::vector<Op> ops;
  const Bytes request = testsupport::frame(testsupport::encode_request(1, 1));
  for (int i = 0; i < clients; ++i) {
    conns.push_back(std::make_unique<ZentClient>());
    ZentClient* c = conns.back().get();
    if (!c->connect(static_cast<uint16_t>(port))) {
      Figures f;
      f.ran = true;
      f.error = "no echo connection";
      return f;
    }
    ops.push_back([c, &request] {
      Bytes back;
      return c->send_raw(request) && c->recv_frame(&back) == 1;
    });
  }
  return run_clients(std::move(ops), seconds);
}

// One 8 KiB pwrite and an fdatasync per call, over 64 pages of a new file
// at path: the commit ceiling of the file system.
Figures raw_fdatasync(const std::string& path, long seconds) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Figures f;
    f.ran = true;
    f.error = "cannot create " + path;
    return f;
  }
  auto page = std::make_shared<std::vector<char>>(8192, 'r');
  auto n = std::make_shared<long>(0);
  Figures f = run_clients({[fd, page, n] {
                            const off_t at = static_cast<off_t>((*n)++ % 64) * 8192;
                            return pwrite(fd, page->data(), page->size(), at) ==
                                       static_cast<ssize_t>(page->size()) &&
                                   fdatasync(fd) == 0;
                          }},
                          seconds);
  f.syncs_per_op = 1;
  close(fd);
  unlink(path.c_str());
  return f;
}

// --- The table ------------------------------------------------------------------------

std::string thousands(double v) {
  const std::string digits = std::to_string(static_cast<long long>(v + 0.5));
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string latency(double us) {
  char buf[32];
  if (us >= 1000)
    snprintf(buf, sizeof buf, "%.1f ms", us / 1000);
  else
    snprintf(buf, sizeof buf, "%.0f us", us);
  return buf;
}

std::string cell(const Figures& f, Work work) {
  if (!f.ran) return "";
  if (!f.error.empty()) return "failed: " + f.error;
  std::string s = thousands(f.rate) + (work == Work::kScan ? " rec/s" : "/s");
  if (work != Work::kScan) s += ", p50 " + latency(f.p50_us) + ", p99 " + latency(f.p99_us);
  if (work == Work::kCommit || work == Work::kLargeInsert) {
    char buf[48];
    if (f.syncs_per_op >= 0)
      snprintf(buf, sizeof buf, ", %.2f fdatasync/commit", f.syncs_per_op);
    else
      snprintf(buf, sizeof buf, ", fdatasync n/a");
    s += buf;
  }
  return s;
}

std::string ratio(const Figures& a, const Figures& b) {
  if (!a.ran || !b.ran || !a.error.empty() || !b.error.empty() || b.rate <= 0) return "";
  char buf[16];
  snprintf(buf, sizeof buf, "%.2f", a.rate / b.rate);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> opt = parse_options(argc, argv);
  if (!opt) {
    fputs(kUsage, stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = interrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  const Options o = *opt;

  ZentSystem zent;
  if (!zent.start()) return 1;
  std::vector<System*> systems{&zent};
  std::vector<std::string> notes;
#ifdef ZENT_LOAD_PG
  std::unique_ptr<PgCluster> cluster;
  std::unique_ptr<PgSystem> pg;
  std::string conninfo = o.pg;
  if (!o.pg_user.empty()) {
    cluster = std::make_unique<PgCluster>(zent.dir(), o.pg_user);
    conninfo = cluster->start();
    if (conninfo.empty()) notes.push_back("PostgreSQL: left out, the throwaway cluster did not start");
  }
  if (!conninfo.empty()) {
    pg = std::make_unique<PgSystem>(conninfo);
    systems.push_back(pg.get());
  }
#else
  if (!o.pg.empty() || !o.pg_user.empty())
    notes.push_back("PostgreSQL: asked for, but this build has no libpq");
#endif
#ifdef ZENT_LOAD_SQLITE
  std::unique_ptr<SqliteSystem> lite;
  if (o.sqlite) {
    lite = std::make_unique<SqliteSystem>(zent.dir() + "/sqlite.db");
    systems.push_back(lite.get());
  }
#endif

  // Prepared in turn; a system that cannot be is left out of the run.
  std::vector<System*> ready;
  for (System* s : systems) {
    if (g_interrupted != 0) break;
    fprintf(stderr, "zent_load: loading %ld records into %s\n", o.records, s->name());
    const auto t0 = std::chrono::steady_clock::now();
    if (s->prepare(o.records)) {
      ready.push_back(s);
      fprintf(stderr, "zent_load: %s loaded in %.1f s\n", s->name(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    } else {
      if (s == &zent) return 1;
      notes.push_back(std::string(s->name()) + ": left out, it could not be prepared");
    }
  }
  const int pg_at = [&] {
    for (size_t i = 0; i < ready.size(); ++i)
      if (std::string(ready[i]->name()) == "PostgreSQL") return static_cast<int>(i);
    return -1;
  }();

  std::atomic<bool> echo_stop{false};
  int echo_port = -1;
  const int listener = testsupport::listen_loopback(64, &echo_port);
  if (listener < 0) {
    fprintf(stderr, "zent_load: no echo listener\n");
    return 1;
  }
  std::thread echo(bench_support::echo_server, listener, &echo_stop);

  fprintf(stderr, "zent_load: yardsticks\n");
  const Figures echo1 = echo_round_trips(echo_port, 1, o.seconds);
  const Figures echo32 = echo_round_trips(echo_port, 32, o.seconds);
  const Figures raw = raw_fdatasync(zent.dir() + "/fdatasync.dat", o.seconds);

  std::vector<Row> rows = {
      {"read one record by key, 1 client", Work::kRead, 1, {}, echo1, "echo 1"},
      {"read one record by key, 32 clients", Work::kRead, 32, {}, echo32, "echo 32"},
      {"durable single-record insert, 1 client", Work::kCommit, 1, {}, raw, "pwrite+fdatasync"},
      {"durable single-record insert, 8 clients", Work::kCommit, 8, {}, raw, "pwrite+fdatasync"},
      {"durable single-record insert, 32 clients", Work::kCommit, 32, {}, raw, "pwrite+fdatasync"},
      {"32 clients inserting into the loaded table", Work::kLargeInsert, 32, {}, raw,
       "pwrite+fdatasync"},
      {"full scan of the loaded table, 1 client", Work::kScan, 1, {}, {}, ""},
  };
  // Each system's next key: COMMITS from 1, ITEMS above the loaded ones.
  std::vector<std::pair<long, long>> next_keys(ready.size(), {1, o.records + 1});
  for (Row& row : rows)
    for (size_t i = 0; i < ready.size() && g_interrupted == 0; ++i) {
      fprintf(stderr, "zent_load: %s: %s\n", ready[i]->name(), row.label.c_str());
      long& next = row.work == Work::kLargeInsert ? next_keys[i].second : next_keys[i].first;
      std::atomic<long> key{next};
      row.figures.push_back(run_work(*ready[i], row.work, row.clients, o.records, o.seconds, &key));
      next = key.load();
      zent.log();
    }

  // The zentdb6 no-op beside the echo, the floor of its reads.
  Figures noop1;
  {
    ZentConnection c(zent.port());
    const std::string why = c.open(1);
    if (why.empty()) {
      noop1 = run_clients({[&c] { return c.noop(); }}, o.seconds);
    } else {
      noop1.ran = true;
      noop1.error = why;
    }
  }
  echo_stop = true;
  echo.join();
  if (g_interrupted != 0) {
    fprintf(stderr, "zent_load: interrupted\n");
    return 1;
  }

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  printf("\n%ld records of %zu bytes, %ld s per figure, zentdb6 cache 512 MB; load average "
         "%.2f %.2f %.2f\n\n",
         o.records, kRecordSize, o.seconds, load[0], load[1], load[2]);
  printf("| work |");
  for (System* s : ready) printf(" %s |", s->name());
  printf(" yardstick | zentdb6 / PostgreSQL | zentdb6 / yardstick |\n|---|");
  for (size_t i = 0; i < ready.size(); ++i) printf("---|");
  printf("---|---|---|\n");
  auto print_row = [&](const std::string& label, const std::vector<Figures>& figs, Work work,
                       const Figures& yard, const std::string& yard_name) {
    printf("| %s |", label.c_str());
    for (const Figures& f : figs) printf(" %s |", cell(f, work).c_str());
    for (size_t i = figs.size(); i < ready.size(); ++i) printf(" |");
    const std::string ycell = yard.ran ? yard_name + ": " + cell(yard, Work::kRead) : "";
    printf(" %s | %s | %s |\n", ycell.c_str(),
           pg_at > 0 && static_cast<size_t>(pg_at) < figs.size()
               ? ratio(figs[0], figs[static_cast<size_t>(pg_at)]).c_str()
               : "",
           ratio(figs[0], yard).c_str());
  };
  print_row("no-op round trip, 1 client", {noop1}, Work::kRead, echo1, "echo 1");
  for (const Row& row : rows)
    print_row(row.label, row.figures, row.work, row.yardstick, row.yardstick_name);

  printf("\nfdatasync counts: perf stat (syscalls:sys_enter_fdatasync + sys_enter_fsync) on the "
         "zentdb6 process, on this process for SQLite, on every PostgreSQL process "
         "pg_stat_activity lists; n/a without perf or for a server elsewhere.\n");
#ifdef ZENT_LOAD_SQLITE
  if (lite) printf("SQLite: WAL, synchronous=FULL, one connection per client.\n");
#endif
#ifdef ZENT_LOAD_PG
  if (pg) printf("PostgreSQL: %s.\n", pg->settings.c_str());
#endif
  for (const std::string& n : notes) printf("%s\n", n.c_str());
  // The server's error lines (a start-up warning among them) say what the
  // figures cost beside time: a line an administrator reads as a crash.
  const std::string& log = zent.log();
  const long lines = std::count(log.begin(), log.end(), '\n');
  printf("zentdb6's log (errors only): %ld lines%s\n", lines, lines > 0 ? ", the first:" : "");
  size_t at = 0;
  for (int i = 0; i < 5 && at < log.size(); ++i) {
    const size_t end = std::min(log.find('\n', at), log.size());
    printf("    %s\n", log.substr(at, end - at).c_str());
    at = end + 1;
  }
  return 0;
}
