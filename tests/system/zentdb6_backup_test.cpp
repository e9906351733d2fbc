// On-line backup mode over MGMT against the real server while other
// connections keep putting records: the puts go on while backup mode is
// on, the DATA volume file does not change in the meantime, and every
// acknowledged put reads back after STOP, after an orderly restart, and
// after the server was killed in backup mode (the restart recovers the
// redirected pages from the LOG volume).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/zent_client.h"

namespace {

const std::string kServer = ZENTDB6_PATH;
using testsupport::DbmlStatus;
using testsupport::MgmtReply;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::ZentClient;
using Clock = std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A connection logged on as boss with the sample open in mode 1.
struct Conn {
  ZentClient c;
  uint16_t dbid = 0;
};

class BackupServer : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testsupport::free_tcp_port();
    ASSERT_GT(port_, 0);
    const std::string volumes = testsupport::write_sample_environment(dir_.file("root.vol"));
    ASSERT_FALSE(volumes.empty());
    dir_.write("zentdb6.cfg",
               "[Server]\nService = " + std::to_string(port_) + "\n\n[Volumes]\n" + volumes);
    start();
  }
  void TearDown() override {
    if (!server_) return;
    server_->send_signal(SIGTERM);
    const testsupport::ProcessResult r = server_->wait(60000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
  }
  void start() {
    server_ = std::make_unique<testsupport::Process>(
        kServer, std::vector<std::string>{"-standalone", "-c", dir_.file("zentdb6.cfg"), "-d", "D1"});
    ASSERT_TRUE(server_->wait_for_stderr("QX Zentrim database server active", 30000));
  }
  // An orderly stop (status 0), or a kill.
  void stop(bool kill) {
    server_->send_signal(kill ? SIGKILL : SIGTERM);
    const testsupport::ProcessResult r = server_->wait(60000);
    if (kill)
      EXPECT_EQ(r.term_signal, SIGKILL);
    else
      EXPECT_EQ(r.exit_status, 0) << r.err;
    server_.reset();
  }
  bool open(Conn* k) {
    testsupport::StartupReply reply;
    for (int i = 0; i < 100; ++i) {
      if (k->c.connect(static_cast<uint16_t>(port_))) {
        if (!k->c.handshake({}, &reply)) return false;
        if (k->c.logon(reply.challenge, "boss", "boss-pw") != 0) return false;
        DbmlStatus st;
        if (k->c.dbopen("sample", "", 1, &st) != 0) return false;
        k->dbid = static_cast<uint16_t>(st.words[9]);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  static MgmtReply mgmt(Conn& k, const std::vector<std::string>& words) {
    MgmtReply r;
    EXPECT_TRUE(k.c.mgmt(words, &r)) << words[0];
    return r;
  }
  static std::string key_of(int putter, int seq) {
    char k[9];
    snprintf(k, sizeof k, "P%d%06d", putter, seq);
    return k;
  }
  // DBPUT of a CUSTOMER {key, name}; its status word 0.
  static int32_t put(Conn& k, const std::string& key) {
    std::string rec = key + std::string(8 - key.size(), ' ') + "put during backup   ";
    PayloadWriter w = testsupport::dbml_writer(20, 6);
    w.u16(k.dbid).u16(1).u8(1).str("@;").align(4).u32(static_cast<uint32_t>(rec.size()));
    w.raw(testsupport::Bytes(rec.begin(), rec.end()));
    testsupport::Bytes reply;
    if (!k.c.request(w.bytes(), &reply)) return INT32_MIN;
    PayloadReader r(reply, false);
    DbmlStatus st;
    if (!testsupport::read_dbml_status(r, &st)) return INT32_MIN;
    return st.words[0];
  }
  // The keys that do not read back by key (with their record).
  std::vector<std::string> missing(const std::vector<std::string>& keys) {
    Conn k;
    EXPECT_TRUE(open(&k));
    std::vector<std::string> out;
    for (const std::string& key : keys) {
      testsupport::Bytes data;
      DbmlStatus st;
      const int32_t rc = k.c.dbget(k.dbid, 1, 7, 28, testsupport::Bytes(key.begin(), key.end()),
                                   &st, &data);
      if (rc != 0 || std::string(data.begin(), data.begin() + 8) != key) out.push_back(key);
    }
    return out;
  }

  // Putters on their own connections, each counting its acknowledged puts.
  struct Putters {
    static constexpr int kCount = 3;
    std::atomic<bool> stop{false};
    std::atomic<int> acked{0};
    std::atomic<int> failed{0};
    std::mutex mu;
    std::vector<std::string> keys;  // acknowledged
    std::vector<std::thread> threads;
  };
  void run_putters(Putters* p) {
    for (int t = 0; t < Putters::kCount; ++t) {
      auto k = std::make_shared<Conn>();
      ASSERT_TRUE(open(k.get()));
      p->threads.emplace_back([p, k, t] {
        for (int seq = 0; !p->stop.load(); ++seq) {
          const std::string key = key_of(t, seq);
          const int32_t rc = put(*k, key);
          if (rc != 0) {
            ++p->failed;
            break;
          }
          {
            std::lock_guard<std::mutex> g(p->mu);
            p->keys.push_back(key);
          }
          ++p->acked;
        }
      });
    }
  }
  // Waits until the putters have acknowledged n more puts, pumping the
  // server's log meanwhile. False after 60 seconds.
  bool await_puts(Putters* p, int n) {
    const int goal = p->acked.load() + n;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (p->acked.load() < goal && p->failed.load() == 0 && Clock::now() < until) {
      server_->stderr_so_far();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return p->acked.load() >= goal;
  }
  static std::vector<std::string> end_putters(Putters* p) {
    p->stop = true;
    for (std::thread& t : p->threads) t.join();
    EXPECT_EQ(p->failed.load(), 0);
    return p->keys;
  }

  testsupport::TempDir dir_;
  int port_ = -1;
  std::unique_ptr<testsupport::Process> server_;
};

TEST_F(BackupServer, PutsGoOnInBackupModeAndSurviveStopAndRestart) {
  Conn admin;
  ASSERT_TRUE(open(&admin));
  Putters p;
  run_putters(&p);
  ASSERT_TRUE(await_puts(&p, 30));
  MgmtReply r = mgmt(admin, {"backup", "START"});
  EXPECT_EQ(r.text, "On-line backup mode has been started.\n");
  // The DATA volume file stays as it was while the puts go on.
  const std::string frozen = slurp(dir_.file("root.vol"));
  const int at_start = p.acked.load();
  EXPECT_TRUE(await_puts(&p, 200)) << "the puts stalled in backup mode";
  EXPECT_TRUE(slurp(dir_.file("root.vol")) == frozen) << "the DATA volume changed in backup mode";
  r = mgmt(admin, {"backup", "STOP"});
  EXPECT_EQ(r.text, "On-line backup mode has been stopped.\n");
  const int in_backup = p.acked.load() - at_start;
  EXPECT_TRUE(await_puts(&p, 30));
  const std::vector<std::string> keys = end_putters(&p);
  EXPECT_GE(in_backup, 200);
  EXPECT_EQ(missing(keys), std::vector<std::string>{}) << "after STOP";
  admin.c.close();
  stop(false);
  start();
  EXPECT_EQ(missing(keys), std::vector<std::string>{}) << "after a restart";
}

TEST_F(BackupServer, AServerKilledInBackupModeKeepsAcknowledgedPuts) {
  Conn admin;
  ASSERT_TRUE(open(&admin));
  Putters p;
  run_putters(&p);
  ASSERT_TRUE(await_puts(&p, 20));
  EXPECT_EQ(mgmt(admin, {"backup", "start"}).text, "On-line backup mode has been started.\n");
  ASSERT_TRUE(await_puts(&p, 150));
  // Killed while the puts run: a put in flight is acknowledged or not.
  server_->send_signal(SIGKILL);
  p.stop = true;
  for (std::thread& t : p.threads) t.join();
  const std::vector<std::string> keys = p.keys;
  server_->wait(60000);
  server_.reset();
  admin.c.close();
  start();
  EXPECT_EQ(missing(keys), std::vector<std::string>{}) << "after the kill in backup mode";
  // Backup mode ended with the crash: it can start again.
  Conn again;
  ASSERT_TRUE(open(&again));
  EXPECT_EQ(mgmt(again, {"backup", "STOP"}).text, "backup mode is inactive - request ignored");
  EXPECT_EQ(mgmt(again, {"backup", "START"}).text, "On-line backup mode has been started.\n");
  EXPECT_EQ(put(again, "AFTER"), 0);
  EXPECT_EQ(mgmt(again, {"backup", "STOP"}).text, "On-line backup mode has been stopped.\n");
}

}  // namespace
