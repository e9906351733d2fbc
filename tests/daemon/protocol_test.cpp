// The session daemon's protocol over a real connection, before any logon:
// the start-up exchange, every request code, the receive limit and
// requests that cannot be decoded (each ends the connection, not the
// handler's process by a crash).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_fixture.h"
#include "support/net_util.h"

namespace {

using testsupport::Bytes;
using testsupport::PayloadWriter;
using testsupport::ProcessResult;
using testsupport::ZentsdReply;
using testsupport::ZentsdStartup;

class Protocol : public testsupport::DaemonFixture {};

struct StartupRow {
  const char* what;
  ZentsdStartup message;
  const char* failure;  // the status-2 text, "" success, nullptr no reply at all
  const char* log;      // a line the handler must have logged
};

ZentsdStartup with(void (*edit)(ZentsdStartup&)) {
  ZentsdStartup m;
  edit(m);
  return m;
}

TEST_F(Protocol, StartupExchange) {
  const StartupRow rows[] = {
      {"the expected message", {}, "", "startup: byte_order = BIG_ENDIAN (4321)"},
      {"little-endian clients are welcome", with([](ZentsdStartup& m) { m.byte_order = 1234; }), "",
       "startup: byte_order = LITTLE_ENDIAN (1234)"},
      {"the server's magic", with([](ZentsdStartup& m) { m.magic = "ZN.DBSRV"; }), nullptr,
       "P1: Bad protocol magic"},
      {"revision 4", with([](ZentsdStartup& m) { m.revision = 4; }), "Bad protocol revision",
       "protocol violation: Bad protocol revision"},
      {"revision 6", with([](ZentsdStartup& m) { m.revision = 6; }), "Bad protocol revision",
       "startup: protocol_rev = 6"},
      {"byte order 0", with([](ZentsdStartup& m) { m.byte_order = 0; }), "Unsupported byte order",
       "startup: byte_order = unkown (0)"},
      {"an unknown charset", with([](ZentsdStartup& m) { m.charset = "latin1"; }),
       "Unsupported charset mapping", "protocol violation: Unsupported charset mapping"},
      {"NATIVE8", with([](ZentsdStartup& m) { m.charset = "native8"; }), "",
       "Buffer::SetRemoteCharset(native8) = 0"},
  };
  for (const StartupRow& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(start());
    const ZentsdReply r = client_.startup(row.message);
    if (row.failure == nullptr) {
      EXPECT_EQ(r.got, 0) << "no reply, the connection closed";
    } else if (row.failure[0] == '\0') {
      ASSERT_EQ(r.got, 1);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(client_.challenge().size(), 32u);
      EXPECT_EQ(client_.challenge().find_first_not_of("0123456789abcdef"), std::string::npos);
      EXPECT_EQ(client_.call(testsupport::req_plain(0)).status, 0) << "the loop serves";
    } else {
      ASSERT_EQ(r.got, 1);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.text, row.failure);
      EXPECT_TRUE(client_.closed_without_reply());
    }
    const ProcessResult done = finish();
    EXPECT_EQ(done.exit_status, 0) << done.err;
    EXPECT_NE(done.err.find(row.log), std::string::npos) << done.err;
  }
}

TEST_F(Protocol, ChallengesDifferPerConnection) {
  std::string seen[2];
  for (std::string& s : seen) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(startup());
    s = client_.challenge();
    finish();
  }
  EXPECT_NE(seen[0], seen[1]);
}

TEST_F(Protocol, FirstMessageOverTheLimitIsRefusedUnread) {
  const struct {
    uint32_t length;
    bool refused;
  } rows[] = {{257, true}, {256, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    ASSERT_TRUE(start());
    // Only the length word: a refused frame is refused before its bytes come.
    const uint8_t word[4] = {0, 0, static_cast<uint8_t>(row.length >> 8), static_cast<uint8_t>(row.length)};
    ASSERT_TRUE(client_.send_raw(word, sizeof word));
    if (row.refused) {
      EXPECT_TRUE(client_.closed_without_reply(5000));
    } else {
      EXPECT_FALSE(client_.closed_without_reply(300)) << "waits for the payload";
    }
    const ProcessResult done = finish();
    EXPECT_EQ(done.err.find("Request size exceeds maximum") != std::string::npos, row.refused)
        << done.err;
  }
}

TEST_F(Protocol, RequestOverTheLimitBeforeLogonEndsTheConnection) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  Bytes big = testsupport::req_plain(0);
  big.resize(300, 'x');
  EXPECT_EQ(client_.call(big).got, 0);
  const ProcessResult done = finish();
  EXPECT_NE(done.err.find("P0: Request size exceeds maximum"), std::string::npos) << done.err;
}

TEST_F(Protocol, EveryCodeBeforeLogon) {
  PayloadWriter w(true);
  const struct {
    uint16_t code;
    Bytes request;
    int status;
    const char* text;
  } rows[] = {
      {0, testsupport::req_plain(0), 0, ""},
      {1, testsupport::req_plain(1), 2, "ProtocolRegister::Execute - not available yet"},
      {11, testsupport::req_string(11, "x"), 2, "ProtocolAuthZentd::Execute - not available yet"},
      {20, testsupport::req_start(20, "", {"a"}, {"B=1"}), 2, "Sorry, you are not authorized"},
      {21, PayloadWriter(true).raw(testsupport::req_start(21, "", {}, {})).str("x").bytes(), 2,
       "Sorry, you are not authorized"},
      {22, PayloadWriter(true).u16(22).str("cmd").u16(0).u16(0).str("x").bytes(), 2,
       "Sorry, you are not authorized"},
      {30, testsupport::req_string(30, "topic"), 2, "Sorry, you are not authorized"},
      {40, testsupport::req_plain(40), 2, "ProtocolHostList::Execute - not implemented yet"},
      {41, PayloadWriter(true).u16(41).u32(7).bytes(), 2, "ProtocolPsList::Execute - not implemented yet"},
      {50, PayloadWriter(true).u16(50).u32(1).u32(2).bytes(), 2,
       "ProtocolAttach::Execute - not implemented yet"},
      {51, testsupport::req_start(51, "", {}, {}), 2, "Sorry, you are not authorized"},
      {60, testsupport::req_plain(60), 2, "Sorry, you are not authorized"},
      {61, testsupport::req_filelist("DATA", "*", 0), 2, "Sorry, you are not authorized"},
      {62, testsupport::req_string(62, "DATA/x"), 2, "Sorry, you are not authorized"},
      {63, testsupport::req_string(63, "/tmp/x"), 2, "Sorry, you are not authorized"},
      {64, testsupport::req_string(64, "DATA/x"), 2, "Sorry, you are not authorized"},
      {70, testsupport::req_string(70, "DATA/x"), 2, "Sorry, you are not authorized"},
      {71, testsupport::req_filesave("DATA/x", 0, "abc"), 2, "Sorry, you are not authorized"},
      {99, testsupport::req_plain(99), 2, "Unsupported protocol request"},
  };
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    const ZentsdReply r = client_.call(row.request);
    ASSERT_EQ(r.got, 1);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.text, row.text);
    if (row.status == 0) {
      EXPECT_EQ(r.payload.size(), 2u) << "no payload";
    }
  }
  EXPECT_TRUE(client_.closed_without_reply()) << "an unknown code ends the connection";
  const ProcessResult done = finish();
  EXPECT_EQ(done.exit_status, 0) << done.err;
}

TEST_F(Protocol, UndecodableRequestsEndTheConnectionWithoutReply) {
  const struct {
    const char* what;
    Bytes request;
    const char* log;
  } rows[] = {
      {"half a code", {0}, "Expected 16bit Integer at offset 0"},
      {"string count 0", PayloadWriter(true).u16(11).u16(0).bytes(), "Expected String at offset 2"},
      {"string without its zero byte", PayloadWriter(true).u16(11).u16(2).raw("ab").bytes(),
       "Expected String at offset 2"},
      {"string beyond the message", PayloadWriter(true).u16(11).u16(9).raw("ab").u8(0).bytes(),
       "Expected String at offset 2"},
      {"u32 cut short", PayloadWriter(true).u16(41).u16(1).bytes(), "Expected 32bit Integer at offset 2"},
      {"second u32 missing", PayloadWriter(true).u16(50).u32(1).bytes(), "Expected 32bit Integer at offset 6"},
      {"fewer arguments than counted", PayloadWriter(true).u16(20).str("").str("").u16(5).str("a").bytes(),
       "Expected String at offset 14"},
      {"object count that would wrap",
       PayloadWriter(true).u16(71).str("D/x").u8(0).u32(0xffffffff).raw("abc").bytes(),
       "Expected Object at offset 9"},
      {"object count 0", PayloadWriter(true).u16(71).str("D/x").u8(0).u32(0).bytes(),
       "Expected Object at offset 9"},
      {"file list without its command", PayloadWriter(true).u16(61).str("D").str("*").bytes(),
       "Expected 16bit Integer at offset 10"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(start());
    ASSERT_TRUE(startup());
    EXPECT_EQ(client_.call(row.request).got, 0);
    const ProcessResult done = finish();
    EXPECT_EQ(done.exit_status, 0) << done.err;
    EXPECT_EQ(done.term_signal, 0) << done.err;
    EXPECT_NE(done.err.find(std::string("Unable to decode server message. ") + row.log), std::string::npos)
        << done.err;
  }
}

TEST_F(Protocol, IdleClientIsDroppedAfterTheTimeout) {
  config_extra = "timeout = 1\n";
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_TRUE(client_.closed_without_reply(10000));
  const ProcessResult done = finish();
  EXPECT_NE(done.err.find("No request within 1 seconds"), std::string::npos) << done.err;
}

TEST_F(Protocol, LogonBeforeAnyAccountIsRefused) {
  write("etc/zentsd.user", "[known]\nUID = nobody-here\n");
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  ZentsdReply r = client_.call(testsupport::req_logon("stranger", "00"));
  EXPECT_EQ(r.text, "Authorization failed: Unknown user id");
  r = client_.call(testsupport::req_logon("KNOWN", "not hex at all!!"));
  EXPECT_EQ(r.text, "Authorization failed: Unable to decrypt password");
  r = client_.call(testsupport::req_logon("known", ""));
  EXPECT_EQ(r.text, "Authorization failed: Unable to decrypt password");
  EXPECT_EQ(client_.call(testsupport::req_plain(60)).text, "Sorry, you are not authorized");
  finish();
}

TEST_F(Protocol, FailedLogonsFromOneAddressAreSlowedAcrossConnections) {
  // Four connections guess at once: their failures queue behind each other
  // (200, 600, 1400, 3000 ms), so parallel connections guess no faster than
  // one.
  write("etc/zentsd.user", "[known]\nUID = nobody-here\n");
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  std::vector<std::unique_ptr<testsupport::ZentsdClient>> others;
  for (int k = 0; k < 3; ++k) {
    others.push_back(std::make_unique<testsupport::ZentsdClient>());
    ASSERT_TRUE(others.back()->connect(static_cast<uint16_t>(daemon_.port())));
    ASSERT_EQ(others.back()->startup().status, 0);
  }
  std::vector<testsupport::ZentsdClient*> clients = {&client_};
  for (auto& c : others) clients.push_back(c.get());
  std::vector<ZentsdReply> replies(clients.size());
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> guessers;
  for (size_t i = 0; i < clients.size(); ++i)
    guessers.emplace_back([&, i] { replies[i] = clients[i]->call(testsupport::req_logon("stranger", "00")); });
  for (auto& t : guessers) t.join();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  for (const ZentsdReply& r : replies) EXPECT_EQ(r.text, "Authorization failed: Unknown user id");
  EXPECT_GE(took.count(), 2900);
  EXPECT_TRUE(daemon_.wait_for("P1: Logon of user \"stranger\" from 127.0.0.1 failed (4 in a row), reply delayed", log_from_))
      << daemon_.log().substr(log_from_);
  // The failures go on counting on the next connection; a fifth waits its
  // own step behind them.
  others.clear();
  finish();
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.call(testsupport::req_logon("known", "not hex at all!!")).text,
            "Authorization failed: Unable to decrypt password");
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1).count(),
            3000);
  EXPECT_TRUE(daemon_.wait_for("Logon of user \"known\" from 127.0.0.1 failed (5 in a row), reply delayed", log_from_));
  finish();
}

TEST_F(Protocol, ConnectionNotLoggedOnEndsAtTheLogonDeadline) {
  // The request time-out stays 900 s; the logon deadline counts from the
  // connect, whatever the client sends meanwhile.
  config_extra = "logonTimeout = 1\n";
  const struct {
    const char* what;
    bool startup;
    bool nops;
  } rows[] = {
      {"silent from the connect", false, false},
      {"silent after the start-up", true, false},
      {"no-ops without a logon", true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(start());
    const auto t0 = std::chrono::steady_clock::now();
    if (row.startup) {
      ASSERT_TRUE(startup());
    }
    if (row.nops) {
      for (int k = 0; k < 50; ++k) {
        if (client_.call(testsupport::req_plain(0), 5000).got != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    } else {
      EXPECT_TRUE(client_.closed_without_reply(5000));
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_LT(took.count(), 4000);
    const ProcessResult done = finish();
    EXPECT_NE(done.err.find("P1: No logon within 1 seconds - connection closed"), std::string::npos) << done.err;
  }
}

}  // namespace
