// zentdb6 over TCP with the sample database: the handshake, the logon rows,
// DBOPEN with its schema block and DBCLOSE, explicit transactions, a client
// that leaves inside a transaction, and undecodable requests.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/logon_cipher.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

const std::string kServer = ZENTDB6_PATH;
using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::ZentClient;

class DbmlServer : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testsupport::free_tcp_port();
    ASSERT_GT(port_, 0);
    const std::string volumes = testsupport::write_sample_environment(dir_.file("root.vol"));
    ASSERT_FALSE(volumes.empty());
    dir_.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port_) +
                                  "\n\n[Volumes]\n" + volumes);
    server_ = std::make_unique<testsupport::Process>(
        kServer, std::vector<std::string>{"-standalone", "-c", dir_.file("zentdb6.cfg"), "-d",
                                          "D1P2"});
    ASSERT_TRUE(server_->wait_for_stderr("QX Zentrim database server active", 20000));
  }
  void TearDown() override {
    if (!server_) return;
    server_->send_signal(SIGTERM);
    const testsupport::ProcessResult r = server_->wait(30000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    log_ = r.err;
  }
  bool open_session(ZentClient& c, std::string* challenge) {
    testsupport::StartupReply reply;
    for (int i = 0; i < 100; ++i) {
      if (c.connect(static_cast<uint16_t>(port_))) {
        if (!c.handshake({}, &reply)) return false;
        *challenge = reply.challenge;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  DbmlStatus call(ZentClient& c, const PayloadWriter& w) {
    Bytes reply;
    DbmlStatus st;
    EXPECT_TRUE(c.request(w.bytes(), &reply));
    PayloadReader r(reply, false);
    EXPECT_TRUE(testsupport::read_dbml_status(r, &st));
    return st;
  }

  testsupport::TempDir dir_;
  int port_ = -1;
  std::unique_ptr<testsupport::Process> server_;
  std::string log_;
};

TEST_F(DbmlServer, LogonOpenAndClose) {
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  DbmlStatus st;
  ASSERT_EQ(c.logon(challenge, "boss", "boss-pw", &st), 0);
  EXPECT_EQ(st.request_id, 1);
  EXPECT_EQ(st.mask, 1023);
  Bytes schema;
  ASSERT_EQ(c.dbopen("sample", "", 13, &st, &schema), 0);
  const uint16_t dbid = static_cast<uint16_t>(st.words[9]);
  EXPECT_GT(dbid, 0);
  PayloadReader r(schema, false);
  EXPECT_EQ(r.u32(), 1536u);
  const uint32_t items = r.u32(), iitems = r.u32(), sets = r.u32();
  EXPECT_EQ(iitems, 1u);
  EXPECT_EQ(sets, 3u);
  EXPECT_GE(schema.size(), 16 + 32 * items + 120 * iitems + 36 * sets);
  // Every set is open to the dba for reading and writing.
  r.bytes(32 * items + 120 * iitems);
  for (uint32_t i = 0; i < sets; ++i) {
    r.bytes(20);
    const uint32_t n = r.u32(), paths = r.u32(), indexes = r.u32();
    EXPECT_EQ(r.u32(), 3u) << i;
    r.bytes(4 * (n + 3 * paths + 2 * indexes));
  }
  EXPECT_FALSE(r.failed());
  EXPECT_EQ(r.left(), 0u);
  EXPECT_EQ(c.dbclose(dbid, 1, 0, &st), 0);
  EXPECT_EQ(st.mask, 1009);
  EXPECT_EQ(c.dbclose(dbid, 1, 0, &st), -11);
  EXPECT_TRUE(c.noop(9));
}

TEST_F(DbmlServer, LogonRows) {
  struct Row {
    const char* what;
    const char* user;
    std::string cipher;  // "" none; set below from the challenge
    int32_t want;
  };
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  const std::string key = testsupport::client_derive_key(challenge);
  const Row rows[] = {
      {"right", "alice", testsupport::client_password_hex(challenge, "secret"), 0},
      {"wrong", "alice", testsupport::client_password_hex(challenge, "wrong"), -4},
      {"none", "alice", "", -4},
      {"unknown user", "nobody", testsupport::client_password_hex(challenge, "secret"), -3},
      {"nonzero padding", "alice", testsupport::client_encrypt_hex(key, "secret", 0xa5), 0},
      {"not hex", "alice", "zz" + std::string(14, '0'), -4},
      {"length 10", "alice", "0123456789", -4},
      {"length 17", "alice", testsupport::client_password_hex(challenge, "secret") + "0", -4},
  };
  for (const Row& row : rows) {
    PayloadWriter w = testsupport::dbml_writer(4, 14);
    w.str(row.user).str(row.cipher);
    const DbmlStatus st = call(c, w);
    EXPECT_EQ(st.words[0], row.want) << row.what;
    EXPECT_EQ(st.words[5], row.want == 0 ? 0 : 420) << row.what;
  }
}

// A client that leaves inside a transaction: its session rolls it back, and
// the server keeps serving and stops in order.
TEST_F(DbmlServer, ClientLeavingInsideATransaction) {
  {
    ZentClient c;
    std::string challenge;
    ASSERT_TRUE(open_session(c, &challenge));
    PayloadWriter w = testsupport::dbml_writer(1, 15);
    w.u8(1).u8(0).u32(5).str("left open");
    EXPECT_EQ(call(c, w).words[2], 1);
    PayloadWriter p = testsupport::dbml_writer(2, 17);
    p.u8(1).u8(1);
    EXPECT_EQ(call(c, p).words[0], 0);  // pre-committed, then gone
  }
  ZentClient d;
  std::string challenge;
  ASSERT_TRUE(open_session(d, &challenge));
  PayloadWriter w = testsupport::dbml_writer(1, 15);
  w.u8(1).u8(0).u32(6).str("");
  EXPECT_EQ(call(d, w).words[0], 0);
  PayloadWriter p = testsupport::dbml_writer(2, 17);
  p.u8(12).u8(1);
  EXPECT_EQ(call(d, p).words[0], 0);
}

TEST_F(DbmlServer, UndecodableRequestClosesWithoutReply) {
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  PayloadWriter w = testsupport::dbml_writer(1, 2);
  w.u16(1);  // DBCLOSE cut short
  ASSERT_TRUE(c.send_frame(w.bytes()));
  EXPECT_TRUE(c.closed_without_reply());
  ZentClient d;
  ASSERT_TRUE(open_session(d, &challenge));
  ASSERT_TRUE(d.send_frame(testsupport::dbml_writer(2, 99).bytes()));
  EXPECT_TRUE(d.closed_without_reply());
}

}  // namespace
