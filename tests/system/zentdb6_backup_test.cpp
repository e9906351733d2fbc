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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/server_process.h"
#include "support/zent_client.h"

namespace {

using testsupport::DbmlStatus;
using testsupport::MgmtReply;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::read_file;
using testsupport::ZentClient;
using Clock = std::chrono::steady_clock;

// A connection logged on as boss with the sample open in mode 1.
struct Conn {
  ZentClient c;
  uint16_t dbid = 0;
};

// The puts load the server: it is given longer to come up and to stop.
class BackupServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    stop_ms_ = 60000;
    ASSERT_NO_FATAL_FAILURE(write_sample_config());
    start();
  }
  void start() { start_server("D1", 30000); }
  bool open(Conn* k) {
    testsupport::StartupReply reply;
    if (!connect_client(k->c, &reply) || k->c.logon(reply.challenge, "boss", "boss-pw") != 0)
      return false;
    DbmlStatus st;
    if (k->c.dbopen("sample", "", 1, &st) != 0) return false;
    k->dbid = static_cast<uint16_t>(st.words[9]);
    return true;
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
  const std::string frozen = read_file(dir_.file("root.vol"));
  const int at_start = p.acked.load();
  EXPECT_TRUE(await_puts(&p, 200)) << "the puts stalled in backup mode";
  EXPECT_TRUE(read_file(dir_.file("root.vol")) == frozen) << "the DATA volume changed in backup mode";
  r = mgmt(admin, {"backup", "STOP"});
  EXPECT_EQ(r.text, "On-line backup mode has been stopped.\n");
  const int in_backup = p.acked.load() - at_start;
  EXPECT_TRUE(await_puts(&p, 30));
  const std::vector<std::string> keys = end_putters(&p);
  EXPECT_GE(in_backup, 200);
  EXPECT_EQ(missing(keys), std::vector<std::string>{}) << "after STOP";
  admin.c.close();
  stop_server();
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
