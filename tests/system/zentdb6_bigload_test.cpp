// A large load, then the server killed: the restart recovers and the set
// checks clean. A database with one master set of 100-byte records is
// defined over the wire; one client puts records in committed
// transactions under the default checkpoint settings, then 32, 8 and 1
// clients put single records; SIGTERM. The server comes back with
// checkpoints held off (CheckPtFreq = 1000000, CheckPtSize = 0), more
// transactions of puts go in, and the server is killed (SIGKILL): nothing
// since the start-up checkpoint is home but through the log. The restart
// must become active, every acknowledged record must read back, and after
// each stop spacecheck must find nothing but the free-list items that
// unknown_problems passes over.
//
// The record key is most of the record, so that the key index splits a
// page every few dozen puts and its used-cluster list grows list pages
// while the checkpoints are held off. Whether a node page then goes out
// with a list head ahead of a list page still in the cache before the kill
// depends on the server's timing; the B-tree power-loss test
// (LargeTransactionsSurviveAKillBeforeTheNextCheckpoint) makes that
// certain. CI runs a scaled load; ZENT_BIGLOAD_FULL=1 runs the full one
// (1,000,000 preloaded records and 200,000 after the restart, in
// transactions of 10,000).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/server_process.h"
#include "support/zent_client.h"

namespace {

using namespace testsupport;

constexpr uint32_t kKeySize = 64, kDataSize = 36;  // a 100-byte record
constexpr const char* kDb = "bigload";

struct Scale {
  int preload;        // records put in transactions before the stop
  int tx_size;        // puts per transaction
  int single_puts;    // single-record puts of each client in the concurrent rounds
  int after_restart;  // records put in transactions before the kill
};

Scale scale() {
  if (const char* full = getenv("ZENT_BIGLOAD_FULL"); full != nullptr && *full == '1')
    return {1000000, 10000, 200, 200000};
  return {40000, 2000, 20, 40000};
}

// Key of record seq of a phase: a spread prefix, so that the puts land all
// over the key index, then the phase and number, blank-padded.
std::string key_of(char phase, int seq) {
  const uint64_t spread = (static_cast<uint64_t>(seq) + 1) * 0x9E3779B97F4A7C15ull;
  char k[kKeySize + 1];
  snprintf(k, sizeof k, "%016llx%c%09d", static_cast<unsigned long long>(spread), phase, seq);
  std::string key(k);
  key.resize(kKeySize, ' ');
  return key;
}

std::string record_of(const std::string& key) {
  std::string rec = key + "load " + key.substr(0, 16);
  rec.resize(kKeySize + kDataSize, '.');
  return rec;
}

// SYSCAT types used here.
enum : uint16_t {
  ADD_DB = 11, OPEN_DB_BY_NAME = 15, ADD_COLUMN = 27, ADD_TABLE = 34, ADD_TABLECOLUMN = 37,
};

class BigLoadServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    stop_ms_ = 300000;
    volumes_ = testsupport::write_sample_environment(dir_.file("root.vol"));
    ASSERT_FALSE(volumes_.empty()) << "the environment";
  }
  // The server on a fresh configuration: synchronous, 64 threads, a
  // 512 MB cache, and keys.
  void start_with(const std::string& keys) {
    write_config("SyncMode = 1\nThreads = 64\nBufferCache = 512\n" + keys + "\n[Volumes]\n" +
                 volumes_);
    start_server("D1", 120000);
  }
  void connect(ZentClient& c) {
    testsupport::StartupReply reply;
    ASSERT_TRUE(connect_client(c, &reply)) << "no connection";
    ASSERT_EQ(c.logon(reply.challenge, "dba", ""), 0);
  }
  // Connected, with the database open for writing: its number.
  uint16_t open(ZentClient& c) {
    connect(c);
    DbmlStatus st;
    EXPECT_EQ(c.dbopen(kDb, "", 1, &st), 0);
    return static_cast<uint16_t>(st.words[9]);
  }
  // A SYSCAT request that must succeed: its data.
  static Bytes ok(ZentClient& c, const PayloadWriter& w) {
    Bytes reply, data;
    SyscatReply head;
    if (!c.request(w.bytes(), &reply) || !decode_syscat_reply(reply, &head, &data) || !head.ok())
      ADD_FAILURE() << "SYSCAT type refused: " << head.text;
    return data;
  }
  static uint32_t ok_u32(ZentClient& c, const PayloadWriter& w) {
    return PayloadReader(ok(c, w), false).u32();
  }
  static int32_t status(ZentClient& c, const PayloadWriter& w) { return c.dbml(w.bytes()); }
  static int32_t begin(ZentClient& c) {
    PayloadWriter b = dbml_writer(2, 15);
    b.u8(1).u8(0).u32(1).str("load");
    return status(c, b);
  }
  static int32_t commit(ZentClient& c) {
    PayloadWriter pc = dbml_writer(3, 17);
    pc.u8(1).u8(1);
    const int32_t rc = status(c, pc);
    if (rc != 0) return rc;
    return status(c, dbml_writer(3, 18));
  }
  static int32_t put(ZentClient& c, uint16_t db, const std::string& key) {
    const std::string rec = record_of(key);
    PayloadWriter w = dbml_writer(8, 6);
    w.u16(db).u16(1).u8(1).str("@").align(4).u32(static_cast<uint32_t>(rec.size())).raw(rec);
    return status(c, w);
  }
  void define(ZentClient& c);
  // Puts records from..to of phase in committed transactions of tx_size.
  void load(ZentClient& c, uint16_t db, char phase, int from, int to, int tx_size);
  // clients connections at once, each putting n single records of phase.
  void concurrent_puts(char phase, int clients, int n);
  // Every n-th record of phase below count (each when n is 1) that does
  // not read back by key.
  int missing(ZentClient& c, uint16_t db, char phase, int count, int n);

  // spacecheck on the stopped set: every problem it reports but known ones
  // fails the test; a known one is noted in the output.
  void expect_clean(const std::string& at) {
    const testsupport::ProcessResult check =
        testsupport::run_process(SPACECHECK_PATH, {"-c", dir_.file("zentdb6.cfg")}, {}, 600000);
    ASSERT_FALSE(check.timed_out) << at;
    const std::vector<std::string> problems = unknown_problems(check.out);
    EXPECT_TRUE(problems.empty()) << at << "\n" << check.out << check.err;
    if (check.exit_status != 0 && problems.empty())
      printf("%s: spacecheck reports free-list items mended at run time only:\n%s", at.c_str(), check.out.c_str());
  }
  // The lines "Node <name> - <problem>" of a report, but records in use on
  // a record file's free list after many clients' single puts, which the
  // engine leaves by design and spacecheck reports as mended at run time
  // (no record is handed out twice: the fixed-record tests show it). Pages
  // left in use that no node claims are a problem here too.
  static std::vector<std::string> unknown_problems(const std::string& report) {
    std::vector<std::string> lines, out;
    for (size_t at = 0, nl; at < report.size(); at = nl + 1) {
      nl = report.find('\n', at);
      if (nl == std::string::npos) nl = report.size();
      lines.push_back(report.substr(at, nl - at));
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string& l = lines[i];
      if (l.rfind("Node ", 0) != 0 || l.find(" - ") == std::string::npos) continue;
      const std::string next = i + 1 < lines.size() ? lines[i + 1] : "";
      const bool free_list = l.find("FixRec inconsistency detected") != std::string::npos &&
                             next.find("Inconsistency in FixRec record free-list") !=
                                 std::string::npos;
      if (!free_list) out.push_back(l);
    }
    return out;
  }

  std::string volumes_;
};

// Defines the database over the wire in one transaction, as a client does:
// the items ITEM-KEY and ITEM-DATA, the master set ITEMS keyed by ITEM-KEY,
// full access for the dba group; then its storage.
void BigLoadServer::define(ZentClient& c) {
  ASSERT_EQ(begin(c), 0);
  PayloadWriter ad = syscat_writer(40, ADD_DB);
  ad.u32(0).str(kDb).u32(0);
  ASSERT_NE(ok_u32(c, ad), 0u);
  PayloadWriter od = syscat_writer(40, OPEN_DB_BY_NAME);
  od.str(kDb).u32(0).u32(0);
  const uint16_t h = PayloadReader(ok(c, od), false).u16();
  auto column = [&](const char* name, uint32_t size) {
    PayloadWriter w = syscat_writer(40, ADD_COLUMN);
    w.u16(h).u32(0).u32(0).str(name).u8(1).u32(size).u32(1).u32(0).u32(0);
    return ok_u32(c, w);
  };
  const uint32_t key = column("ITEM-KEY", kKeySize);
  const uint32_t data = column("ITEM-DATA", kDataSize);
  PayloadWriter at = syscat_writer(40, ADD_TABLE);
  at.u16(h).u32(0).u32(1).str("ITEMS").u32(1).u32(1).u16(2).u16(0).u16(0).u32(0);
  const uint32_t items = ok_u32(c, at);
  uint32_t idx = 1;
  for (uint32_t col : {key, data}) {
    PayloadWriter w = syscat_writer(40, ADD_TABLECOLUMN);
    w.u16(h).u32(items).u32(col).u32(idx++);
    ok(c, w);
  }
  const uint32_t ix = ok_u32(c, syscat_add_index_request(40, h, items, "ITEM-IX", 4));
  ok(c, syscat_add_indexseg_request(40, h, ix, key));
  ok(c, syscat_add_privilege_request(40, h, 1, items, 7));
  ok(c, syscat_close_db_request(40, h));
  ASSERT_EQ(commit(c), 0);
  DbmlStatus st;
  ASSERT_EQ(c.dbopen(kDb, "", 13, &st), 0);
  PayloadWriter create = dbml_writer(6, 11);
  create.u16(static_cast<uint16_t>(st.words[9])).u8(1).align(4).obj({});
  ASSERT_EQ(status(c, create), 0);
}

void BigLoadServer::load(ZentClient& c, uint16_t db, char phase, int from, int to,
                         int tx_size) {
  for (int t = from; t < to; t += tx_size) {
    ASSERT_EQ(begin(c), 0) << phase << t;
    for (int i = t; i < std::min(to, t + tx_size); ++i)
      ASSERT_EQ(put(c, db, key_of(phase, i)), 0) << phase << i;
    ASSERT_EQ(commit(c), 0) << phase << t;
    server_->stderr_so_far();  // the log pipe never fills
  }
}

void BigLoadServer::concurrent_puts(char phase, int clients, int n) {
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < clients; ++k) {
    auto c = std::make_shared<ZentClient>();
    const uint16_t db = open(*c);
    ASSERT_NE(db, 0);
    threads.emplace_back([c, db, k, n, phase, &failed] {
      for (int i = 0; i < n; ++i)
        if (put(*c, db, key_of(phase, k * n + i)) != 0) ++failed;
    });
  }
  for (std::thread& t : threads) t.join();
  server_->stderr_so_far();
  EXPECT_EQ(failed.load(), 0) << clients << " clients";
}

int BigLoadServer::missing(ZentClient& c, uint16_t db, char phase, int count, int n) {
  int lost = 0;
  for (int i = 0; i < count; i += n) {
    const std::string key = key_of(phase, i);
    Bytes data;
    if (c.dbget(db, 1, 7, kKeySize + kDataSize, Bytes(key.begin(), key.end()), nullptr, &data) !=
            0 ||
        std::string(data.begin(), data.end()) != record_of(key))
      ++lost;
  }
  return lost;
}

TEST_F(BigLoadServer, AKillAfterALargeLoadRestartsCleanly) {
  const Scale s = scale();
  start_with("");
  ZentClient c;
  uint16_t db = 0;
  {
    ZentClient d;
    connect(d);
    ASSERT_NO_FATAL_FAILURE(define(d));
  }
  db = open(c);
  ASSERT_NE(db, 0);
  ASSERT_NO_FATAL_FAILURE(load(c, db, 'P', 0, s.preload, s.tx_size));
  const int rounds[][2] = {{32, 'A'}, {8, 'B'}, {1, 'C'}};
  for (const auto& [clients, phase] : rounds)
    concurrent_puts(static_cast<char>(phase), clients, s.single_puts);
  c.close();
  stop_server();
  expect_clean("after the load and a stop");
  ASSERT_FALSE(HasFailure());

  start_with("CheckPtFreq = 1000000\nCheckPtSize = 0\n");
  db = open(c);
  ASSERT_NE(db, 0);
  ASSERT_NO_FATAL_FAILURE(load(c, db, 'R', 0, s.after_restart, s.tx_size));
  server_->send_signal(SIGKILL);
  server_->wait(60000);
  server_.reset();
  c.close();

  // Recovery replays everything since the start-up checkpoint.
  start_with("");
  db = open(c);
  ASSERT_NE(db, 0);
  EXPECT_EQ(missing(c, db, 'R', s.after_restart, 1), 0) << "records put before the kill";
  EXPECT_EQ(missing(c, db, 'P', s.preload, 97), 0) << "preloaded records";
  for (const auto& [clients, phase] : rounds)
    EXPECT_EQ(missing(c, db, static_cast<char>(phase), clients * s.single_puts, 1), 0)
        << clients << " clients' records";
  EXPECT_EQ(put(c, db, key_of('Z', 0)), 0);
  c.close();
  stop_server();
  expect_clean("after the kill, a restart and a stop");
}

}  // namespace
