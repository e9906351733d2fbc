// Handshake and dispatch on a session record, without sockets: golden bytes
// in both directions, the handshakes that must close without a reply, the
// no-op, the byte-order switch and the challenge.
#include "support/memory_log.h"
#include "server/dispatch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "support/log_capture.h"
#include "support/server_session.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::PayloadWriter;
using testsupport::StartupMessage;

// A session as the worker holds it, and the configuration the handshake reads.
class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The handshake opens a database session with its transaction node.
    ASSERT_TRUE(log_.start());
    srv_.charset_name = const_cast<char*>("ISO8859/1");
    cfg_.server = &srv_;
    saved_cfg_ = server_cfg;
    server_cfg = &cfg_;
    session_ = testsupport::new_client_session();
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    if (session_ != nullptr) testsupport::end_client_session(session_);
    server_cfg = saved_cfg_;
    log_.stop();
  }
  testsupport::MemoryLog log_;

  // Hands payload to the dispatcher as the worker does after receiving it;
  // returns handle_request's result, with the reply payload in *reply.
  int dispatch(const Bytes& payload, Bytes* reply = nullptr) {
    return testsupport::dispatch_payload(session_, payload, reply);
  }
  // A handshake the way a client sends it, then the session is established.
  void establish(const StartupMessage& m = {}) {
    ASSERT_EQ(dispatch(testsupport::encode_startup(m)), 0);
    session_established(session_);
  }

  SrvConfig srv_{};
  CfgRecord cfg_{};
  CfgRecord* saved_cfg_ = nullptr;
  ClientSession* session_ = nullptr;
};

// The whole exchange, byte for byte (the challenge is random, its form fixed).
TEST_F(DispatchTest, HandshakeGoldenBytes) {
  const Bytes request = {
      'Z', 'N', '.', 'D', 'B', 'S', 'R', 'V',                      // magic
      0x00, 0x01,                                                  // revision 1
      0x04, 0xd2,                                                  // byte order 1234
      0x00, 0x06, 'L', 'I', 'N', 'U', 'X', 0x00,                   // platform
      0x00, 0x0a, 'I', 'S', 'O', '8', '8', '5', '9', '/', '1', 0,  // charset
      0x00, 0x07, 't', 'e', 's', 't', 'e', 'r', 0x00,              // os_user
  };
  ASSERT_EQ(testsupport::encode_startup(StartupMessage{}), request);
  const Bytes head = {
      0x00, 0x00,                                                  // request id
      0x00, 0x00,                                                  // reply status
      0x00, 0x01,                                                  // server revision
      0x04, 0xd2,                                                  // server byte order
      0x00, 0x06, 'W', 'I', 'N', '3', '2', 0x00,                   // platform
      0x00, 0x0a, 'I', 'S', 'O', '8', '8', '5', '9', '/', '1', 0,  // charset
      0x00, 0x00, 0x00, 0x3e,                                      // capabilities 62
      0x00, 0x00, 0x80, 0x00,                                      // buffer size 32768
      0x00, 0x10, 0x00, 0x00,                                      // largest message
      0x00, 0x21,                                                  // challenge count 33
  };
  Bytes reply;
  ASSERT_EQ(dispatch(request, &reply), 0);
  ASSERT_EQ(reply.size(), head.size() + 33);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(head.size())), head);
  const std::string challenge(reply.begin() + static_cast<long>(head.size()), reply.end() - 1);
  EXPECT_EQ(challenge.find_first_not_of("0123456789abcdef"), std::string::npos) << challenge;
  EXPECT_EQ(reply.back(), 0);
  EXPECT_STREQ(session_->challenge, challenge.c_str());
  EXPECT_STREQ(session_->os_user, "tester");
  EXPECT_EQ(session_->protocol_revision, 1u);
  EXPECT_EQ(seam_db_sessions_open(), 1);
}

struct BadHandshake {
  const char* name;
  Bytes payload;
  const char* log_line;  // expected in the log, or none
};

Bytes startup_with(void (*change)(StartupMessage&)) {
  StartupMessage m;
  change(m);
  return testsupport::encode_startup(m);
}

Bytes cut(Bytes b, size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

class BadHandshakeTest : public DispatchTest,
                         public ::testing::WithParamInterface<BadHandshake> {};

// Each of these ends the connection without a reply: handle_request fails,
// so the worker closes the socket and sends nothing.
TEST_P(BadHandshakeTest, ClosesWithoutReply) {
  testsupport::LogCapture log("P2");
  EXPECT_EQ(dispatch(GetParam().payload), -1);
  if (GetParam().log_line != nullptr) {
    EXPECT_TRUE(log.contains(GetParam().log_line)) << log.text();
  }
  EXPECT_EQ(seam_db_sessions_open(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadHandshakeTest,
    ::testing::Values(
        BadHandshake{"MagicLastByte", startup_with([](StartupMessage& m) { m.magic = "ZN.DBSRW"; }),
                     "Bad protocol magic"},
        BadHandshake{"ShortMagic", Bytes{'Z', 'N', '.'}, "Bad protocol magic"},
        BadHandshake{"Revision256", startup_with([](StartupMessage& m) { m.revision = 256; }),
                     "incompatible client protocol_revision = 100"},
        BadHandshake{"UnknownByteOrder",
                     startup_with([](StartupMessage& m) { m.byte_order = 3412; }),
                     "incompatible client byte_order = 3412"},
        BadHandshake{"NoByteOrder", Bytes{'Z', 'N', '.', 'D', 'B', 'S', 'R', 'V', 0, 1, 4},
                     "Expected 16bit Integer at offset 10"},
        // Revision 1 needs os_user; without it the decoding fails.
        BadHandshake{"MissingOsUser",
                     [] {
                       StartupMessage m;
                       m.revision = 0;
                       Bytes b = testsupport::encode_startup(m);
                       b[9] = 1;  // revision 1 without its os_user field
                       return b;
                     }(),
                     "Expected String length"},
        BadHandshake{"ShortString", cut(testsupport::encode_startup({}), 3),
                     "Expected String value"},
        BadHandshake{"UnterminatedString",
                     [] {
                       Bytes b = testsupport::encode_startup({});
                       b.back() = 'x';
                       return b;
                     }(),
                     "Expected String terminator"},
        BadHandshake{"ZeroStringCount",
                     [] {
                       Bytes b = testsupport::encode_startup({});
                       b[12] = 0;  // platform count
                       b[13] = 0;
                       return b;
                     }(),
                     "Expected String value at offset 14"}),
    [](const ::testing::TestParamInfo<BadHandshake>& p) { return std::string(p.param.name); });

TEST_F(DispatchTest, RevisionZeroNeedsNoOsUserAndRevision255IsAccepted) {
  StartupMessage m;
  m.revision = 0;
  EXPECT_EQ(dispatch(testsupport::encode_startup(m)), 0);
  EXPECT_STREQ(session_->os_user, "");
  dbml_close_session(session_);
  m.revision = 255;
  EXPECT_EQ(dispatch(testsupport::encode_startup(m)), 0);
  EXPECT_STREQ(session_->os_user, "tester");
}

TEST_F(DispatchTest, DisableScanWithdrawsTheScanCapability) {
  srv_.disable_scan = 1;
  Bytes reply;
  ASSERT_EQ(dispatch(testsupport::encode_startup({}), &reply), 0);
  testsupport::StartupReply r;
  ASSERT_TRUE(testsupport::decode_startup_reply(reply, &r));
  EXPECT_EQ(r.capabilities, 46u);
}

TEST_F(DispatchTest, ChallengesOfHandshakesInOneSecondDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    Bytes reply;
    ASSERT_EQ(dispatch(testsupport::encode_startup({}), &reply), 0);
    dbml_close_session(session_);
    testsupport::StartupReply r;
    ASSERT_TRUE(testsupport::decode_startup_reply(reply, &r));
    EXPECT_EQ(r.challenge.size(), 32u);
    seen.insert(r.challenge);
  }
  EXPECT_EQ(seen.size(), 20u);
}

TEST_F(DispatchTest, NoopAnswersWithExactlyTheRequestIdAndZero) {
  establish();
  Bytes reply;
  ASSERT_EQ(dispatch(testsupport::encode_request(0x1234, 1, {9, 9, 9}), &reply), 0);
  EXPECT_EQ(reply, (Bytes{0x34, 0x12, 0x00, 0x00}));
}

// A client stating big-endian order gets the handshake reply big-endian and
// every later reply little-endian.
TEST_F(DispatchTest, BigEndianClientGetsLittleEndianAfterTheHandshake) {
  StartupMessage m;
  m.byte_order = 4321;
  Bytes reply;
  ASSERT_EQ(dispatch(testsupport::encode_startup(m), &reply), 0);
  EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 8), (Bytes{0x00, 0x01, 0x04, 0xd2}));
  session_established(session_);
  EXPECT_EQ(session_->client_byte_order, 4321u);
  ASSERT_EQ(dispatch(testsupport::encode_request(0x0102, 1), &reply), 0);
  EXPECT_EQ(reply, (Bytes{0x02, 0x01, 0x00, 0x00}));
}

class UnknownClassTest : public DispatchTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(UnknownClassTest, ClosesWithoutReply) {
  establish();
  testsupport::LogCapture log("P1");
  EXPECT_EQ(dispatch(testsupport::encode_request(7, GetParam())), -1);
  // Closed without a word above the detail level.
  EXPECT_EQ(log.text().find(": "), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Classes, UnknownClassTest, ::testing::Values(0, 2, 7, 0xffff));

TEST_F(DispatchTest, RequestWithoutAClassClosesWithoutReply) {
  establish();
  EXPECT_EQ(dispatch(Bytes{1, 0, 1}), -1);
}

// A handler may build a reply as large as the area while it still reads the
// request's strings in place: the two directions never share memory.
TEST_F(DispatchTest, BuildingAReplyLeavesTheRequestIntact) {
  establish();
  Buffer* buf = &session_->buffer;
  Buffer_RecvReset(buf);
  const Bytes request = PayloadWriter(false).u16(1).u16(1).str("still here").bytes();
  memcpy(Buffer_RecvArea(buf, static_cast<uint32_t>(request.size())), request.data(),
         request.size());
  const uint8_t* head;
  ASSERT_EQ(Buffer_Get_raw(buf, &head, 4), 0);
  const char* text = nullptr;
  ASSERT_EQ(Buffer_Get_str(buf, &text), 0);
  start_reply(session_);
  memset(Buffer_Put_raw(buf, kSessionAreaSize - 8), 0xff, kSessionAreaSize - 8);
  EXPECT_STREQ(text, "still here");
  EXPECT_EQ(buf->send_buf, session_->send_area);
}

TEST_F(DispatchTest, SizeLimitGrowsOnceEstablished) {
  EXPECT_EQ(message_size_limit(session_), 256u);
  establish();
  EXPECT_EQ(message_size_limit(session_), 0x100000u);
}

}  // namespace
