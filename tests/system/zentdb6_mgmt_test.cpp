// zentdb6 over TCP with the sample database: MGMT commands as an
// administration client sends them: help and refusals, store and restore
// through a file device and a '|' command device, on-line backup mode,
// the lists, timed shutdowns (pending, cancelled), and "shutdown" that ends
// the server in order with status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/server_process.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::MgmtReply;
using testsupport::ZentClient;

class MgmtServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    ASSERT_EQ(mkdir(dir_.file("arch").c_str(), 0700), 0);
    ASSERT_NO_FATAL_FAILURE(write_sample_config(
        "", "\n[Devices]\nARCH = " + dir_.file("arch") + "\nTAPE = |cat > " + dir_.file("tape") +
                "\nTAPEIN = |cat " + dir_.file("tape") + "\nSLOWIN = |sleep 3 && cat " +
                dir_.file("tape") + "\n"));
    start_server("D1P1");
  }
  // A connection logged on as user.
  bool open_session(ZentClient& c, const char* user, const char* password) {
    testsupport::StartupReply reply;
    return connect_client(c, &reply) && c.logon(reply.challenge, user, password) == 0;
  }
  MgmtReply run(ZentClient& c, const std::vector<std::string>& words) {
    MgmtReply r;
    EXPECT_TRUE(c.mgmt(words, &r)) << words[0];
    return r;
  }
  static void expect(const MgmtReply& r, bool ok, const std::string& text) {
    EXPECT_EQ(r.code == 0, ok) << r.text;
    EXPECT_TRUE(r.padded);
    EXPECT_EQ(r.text, text);
  }
};

TEST_F(MgmtServer, CommandsOverTcp) {
  ZentClient boss, alice;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  ASSERT_TRUE(open_session(alice, "alice", "secret"));
  MgmtReply r = run(boss, {"help"});
  EXPECT_FALSE(r.padded);
  EXPECT_EQ(r.text.rfind("available commands:\n backup", 0), 0u);
  expect(run(alice, {"shutdown"}), false, "Permission denied - dba capabilities required.");
  expect(run(alice, {"test", "panic"}), false, "Permission denied - dba capabilities required.");
  expect(run(boss, {"frobnicate"}), false, "Unrecognized command.");

  // Store (a member of the database's groups; no capability needed) and
  // restore (dba) through a file device and a command device.
  expect(run(alice, {"dbstore", "sample", "ARCH/s.arc"}), true,
         "Database \"sample\" has been stored to \"ARCH/s.arc\".\n");
  expect(run(alice, {"dbstore", "sample", "ARCH/../s.arc"}), false, "ARCH/..: Bad target name");
  expect(run(alice, {"dbstore", "sample", "TAPE"}), true,
         "Database \"sample\" has been stored to \"TAPE\".\n");
  r = run(alice, {"dbrestore", "/info", "TAPEIN"});
  EXPECT_EQ(r.code, 0u);
  EXPECT_NE(r.text.find("Database archive from alice@"), std::string::npos) << r.text;
  expect(run(boss, {"dbrestore", "ARCH/s.arc", "copy"}), true,
         "Database \"copy\" has been restored from \"ARCH/s.arc\".\n");
  expect(run(boss, {"dbrestore", "TAPEIN", "copy"}), false, "Database \"copy\" already exists.");
  expect(run(boss, {"dbrestore", "TAPEIN", "copy2"}), true,
         "Database \"copy2\" has been restored from \"TAPEIN\".\n");

  // On-line backup mode while a store writes.
  expect(run(boss, {"backup", "stop"}), false, "backup mode is inactive - request ignored");
  expect(run(boss, {"backup", "START"}), true, "On-line backup mode has been started.\n");
  expect(run(boss, {"backup", "start"}), false, "backup mode is already active - request ignored");
  expect(run(boss, {"dbrestore", "ARCH/s.arc", "copy3"}), true,
         "Database \"copy3\" has been restored from \"ARCH/s.arc\".\n");
  expect(run(boss, {"backup", "STOP"}), true, "On-line backup mode has been stopped.\n");

  // The lists.
  r = run(boss, {"list", "session"});
  EXPECT_FALSE(r.padded);
  EXPECT_EQ(r.text.rfind("Session    TID Host / IP ADDR       Platf User / Login\n", 0), 0u);
  EXPECT_NE(r.text.find(" boss\n"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(" alice\n"), std::string::npos) << r.text;
  r = run(boss, {"list", "thread", "notitle"});
  EXPECT_NE(r.text.find("internal"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("Session"), std::string::npos) << r.text;
  expect(run(boss, {"killthread", "9999"}), false, "Invalid thread id argument");

  // Timed shutdowns.
  expect(run(boss, {"shutdown", "30"}), true, "Shutting down in 30 seconds.\n");
  expect(run(boss, {"shutdown", "1"}), false, "Shutdown request is already pending");
  expect(run(boss, {"shutdown", "cancel"}), true, "Shutdown request has been cancelled\n");
  expect(run(boss, {"shutdown", "cancel"}), false, "No pending shutdown request");
  expect(run(boss, {"shutdown", "99999999"}), true,
         "usage: shutdown [number_of_seconds|CANCEL]\n");
}

TEST_F(MgmtServer, ShutdownNowEndsTheServerInOrder) {
  ZentClient boss;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  expect(run(boss, {"shutdown"}), true, "Shutting down now.\n");
  stopped_ = true;
  const testsupport::ProcessResult r = server_->wait(30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("*** NOTE: SHUTDOWN REQUESTED *** Shutting down now."), std::string::npos)
      << r.err;
  server_.reset();
}

TEST_F(MgmtServer, TimedShutdownFires) {
  ZentClient boss;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  expect(run(boss, {"shutdown", "1"}), true, "Shutting down in 1 second.\n");
  stopped_ = true;
  const testsupport::ProcessResult r = server_->wait(30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  server_.reset();
}

// killthread of another connection (its task id from the session list)
// answers at once and that connection is closed; the killer's own goes on.
TEST_F(MgmtServer, KillthreadClosesAnotherConnection) {
  ZentClient boss, alice;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  ASSERT_TRUE(open_session(alice, "alice", "secret"));
  const MgmtReply list = run(boss, {"list", "session", "notitle"});
  // Two lines a connection: the first names the task id, the second ends
  // with the logged-on user.
  std::istringstream in(list.text);
  std::string first, second, tid;
  while (std::getline(in, first) && std::getline(in, second)) {
    if (second.size() >= 6 && second.compare(second.size() - 6, 6, " alice") == 0) {
      std::istringstream words(first);
      std::string session;
      words >> session >> tid;
    }
  }
  ASSERT_FALSE(tid.empty()) << list.text;
  expect(run(alice, {"killthread", tid}), false, "Permission denied - dba capabilities required.");
  expect(run(boss, {"killthread", tid}), true, "Thread " + tid + " has been notified.\n");
  EXPECT_TRUE(alice.closed_without_reply(10000));
  EXPECT_EQ(run(boss, {"list", "db", "notitle"}).code, 0u);
}

// A store killed with the server leaves its new file beside the target (the
// name and six characters): the next store of that target removes such
// files. Files of other names, and names that only look alike, stay.
TEST_F(MgmtServer, AStoreRemovesWhatAKilledStoreOfItsTargetLeft) {
  ZentClient alice;
  ASSERT_TRUE(open_session(alice, "alice", "secret"));
  const std::vector<std::string> stale = {"s.arc.Ab12Cd", "s.arc.000xyz"};
  const std::vector<std::string> kept = {"s.arc.keep", "s.arc.Ab12Cde", "s.arc.x_9-Zq",
                                         "t.arc.Ab12Cd", "s.arcAb12Cd"};
  for (const std::string& f : stale) dir_.write("arch/" + f, "half an archive");
  for (const std::string& f : kept) dir_.write("arch/" + f, "something else");
  expect(run(alice, {"dbstore", "sample", "ARCH/s.arc"}), true,
         "Database \"sample\" has been stored to \"ARCH/s.arc\".\n");
  struct stat st;
  EXPECT_EQ(stat(dir_.file("arch/s.arc").c_str(), &st), 0);
  for (const std::string& f : stale)
    EXPECT_NE(stat(dir_.file("arch/" + f).c_str(), &st), 0) << f << " is still there";
  for (const std::string& f : kept)
    EXPECT_EQ(stat(dir_.file("arch/" + f).c_str(), &st), 0) << f << " was removed";
  TearDown();
  server_.reset();
  EXPECT_NE(log_.find("dbstore: removed \"" + dir_.file("arch/s.arc.Ab12Cd") +
                      "\", left by an interrupted store"),
            std::string::npos)
      << log_;
}

// "test panic" by a dba ends the server through its panic handler.
TEST_F(MgmtServer, TestPanicEndsTheServerThroughItsPanicHandler) {
  ZentClient boss;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  expect(run(boss, {"test", "calm"}), true, "usage: test {panic}\n");
  ASSERT_TRUE(boss.send_frame(testsupport::encode_mgmt(9, {"test", "PANIC"})));
  EXPECT_TRUE(boss.closed_without_reply(30000));
  stopped_ = true;
  const testsupport::ProcessResult r = server_->wait(30000);
  EXPECT_TRUE(r.exit_status == 6 || r.term_signal == SIGABRT) << r.exit_status << " " << r.err;
  testsupport::expect_in_order(r.err, {"** Initiating server panic **",
                                       "Voluntary server panic"});
  server_.reset();
}

}  // namespace

namespace {

// "list session" shows another connection's address, OS user and database
// user only to a dba; anyone else sees their own line. The texts a client
// sent (here an OS user with a terminal escape and a newline) reach the
// administrator's console escaped as in the log.
TEST_F(MgmtServer, ListSessionShowsOthersOnlyToTheDba) {
  ZentClient boss, alice;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  testsupport::StartupReply reply;
  ASSERT_TRUE(alice.connect(static_cast<uint16_t>(port_)));
  testsupport::StartupMessage m;
  m.os_user = "\x1b]0;owned\x07\nfake line";
  ASSERT_TRUE(alice.handshake(m, &reply));
  ASSERT_EQ(alice.logon(reply.challenge, "alice", "secret"), 0);

  MgmtReply r = run(boss, {"list", "session", "notitle"});
  EXPECT_NE(r.text.find(" boss\n"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(" alice\n"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find('\x1b'), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("\\x1b]0;owned\\x07\\nfake line"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("\nfake line"), std::string::npos) << r.text;

  r = run(alice, {"list", "session", "notitle"});
  EXPECT_EQ(r.text.find(" boss\n"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(" alice\n"), std::string::npos) << r.text;
}

}  // namespace

namespace {

// A restore source that keeps its reader waiting never stops the server:
// while one client's dbrestore /info waits for a slow '|' command, another
// client is answered at once, and a FIFO planted in a device directory is
// refused at once. Before, the server thread read both itself, and every
// session stood still until the command ended or someone wrote to the FIFO.
TEST_F(MgmtServer, SlowRestoreSourcesNeverStopOtherSessions) {
  ZentClient boss, alice;
  ASSERT_TRUE(open_session(boss, "boss", "boss-pw"));
  ASSERT_TRUE(open_session(alice, "alice", "secret"));
  expect(run(alice, {"dbstore", "sample", "TAPE"}), true,
         "Database \"sample\" has been stored to \"TAPE\".\n");
  ASSERT_EQ(mkfifo(dir_.file("arch/fifo.arc").c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  expect(run(alice, {"dbrestore", "/info", "ARCH/fifo.arc"}), false,
         "Unable to open \"" + dir_.file("arch") + "/fifo.arc\" (Invalid argument)");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  ASSERT_TRUE(alice.send_frame(testsupport::encode_mgmt(91, {"dbrestore", "/info", "SLOWIN"})));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto asked = std::chrono::steady_clock::now();
  const MgmtReply r = run(boss, {"list", "db"});
  EXPECT_EQ(r.code, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1500))
      << "the server waited for the command";
  testsupport::Bytes payload;
  ASSERT_EQ(alice.recv_frame(&payload, 20000), 1);
  MgmtReply slow;
  ASSERT_TRUE(testsupport::decode_mgmt_reply(payload, &slow));
  EXPECT_EQ(slow.code, 0u) << slow.text;
  EXPECT_NE(slow.text.find("Database archive from alice@"), std::string::npos) << slow.text;
}

}  // namespace

namespace {

// Wrong passwords from one address are answered ever more slowly (200, 400,
// 800 ms...), without holding other sessions up; a right one starts afresh.
// Before, 300 guesses on one connection took about a second.
TEST_F(MgmtServer, FailedLogonsAreSlowedPerAddress) {
  ZentClient guesser, other;
  testsupport::StartupReply reply;
  ASSERT_TRUE(connect_client(guesser, &reply));
  ASSERT_TRUE(open_session(other, "boss", "boss-pw"));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(guesser.logon(reply.challenge, "alice", "guess"), -4);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1300));
  // Meanwhile another connection of the same address is served at once.
  ASSERT_TRUE(guesser.send_frame(testsupport::dbml_writer(9, 14).str("alice").str("").bytes()));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(run(other, {"list", "db"}).code, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
  testsupport::Bytes payload;
  ASSERT_EQ(guesser.recv_frame(&payload, 20000), 1);
  EXPECT_EQ(guesser.logon(reply.challenge, "alice", "secret"), 0);
  const auto fresh = std::chrono::steady_clock::now();
  EXPECT_EQ(guesser.logon(reply.challenge, "alice", "guess"), -4);
  EXPECT_LT(std::chrono::steady_clock::now() - fresh, std::chrono::milliseconds(1000));
}

}  // namespace
