// zentdb6 over TCP with the sample database: the handshake, the logon rows,
// DBOPEN with its schema block and DBCLOSE, explicit transactions, a client
// that leaves inside a transaction, undecodable requests, and DBLOCK,
// DBUNLOCK, DBINFO, DBCREATE, DBERASE and DBPURGE with the example bytes of
// docs/protocol.md; DBPUT, DBUPDATE and DBDELETE with reads that show them.
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
#include "support/server_process.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::ZentClient;

class DbmlServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(write_sample_config());
    if (with_boss_) {
      ASSERT_EQ(testsupport::add_to_sample_group(dir_.file("root.vol"), "boss"), 0);
    }
    start_server("D1P2");
  }
  bool open_session(ZentClient& c, std::string* challenge) {
    testsupport::StartupReply reply;
    if (!connect_client(c, &reply)) return false;
    *challenge = reply.challenge;
    return true;
  }
  // Connects, logs user on and opens the sample in mode 1: its dbid, or 0.
  uint16_t open_sample(ZentClient& c, const char* user, const char* password) {
    std::string challenge;
    DbmlStatus st;
    if (!open_session(c, &challenge) || c.logon(challenge, user, password) != 0 ||
        c.dbopen("sample", "", 1, &st) != 0)
      return 0;
    return static_cast<uint16_t>(st.words[9]);
  }
  DbmlStatus call(ZentClient& c, const PayloadWriter& w) {
    DbmlStatus st;
    EXPECT_NE(c.dbml(w.bytes(), &st), INT32_MIN);
    return st;
  }

  bool with_boss_ = false;
  Bytes reply_;
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

// A failing DBOPEN byte for byte over the wire: -11 for an empty name,
// mask 1009.
TEST_F(DbmlServer, FailingDbopenGoldenBytes) {
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  PayloadWriter w = testsupport::dbml_writer(0x0102, 1);
  w.str("").str("").u8(1);
  Bytes reply;
  ASSERT_TRUE(c.request(w.bytes(), &reply));
  EXPECT_EQ(reply, testsupport::kFailingDbopenReply);
}

// DBGET of a stored record: the status reply, align 4 and exactly the
// buffer size; a failure is the status reply alone.
TEST_F(DbmlServer, DbgetOverTheWire) {
  ZentClient c;
  const uint16_t dbid = open_sample(c, "alice", "secret");
  ASSERT_NE(dbid, 0);
  DbmlStatus st;

  Bytes reply;
  ASSERT_TRUE(c.request(testsupport::dbml_get_request(9, dbid, 3, 4, 100, {4, 0, 0, 0}).bytes(),
                        &reply));
  ASSERT_EQ(reply.size(), 46u + 2 + 100);
  PayloadReader r(reply, false);
  ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
  EXPECT_EQ(st.request_id, 9);
  EXPECT_EQ(st.mask, 1023);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[1], 30);
  EXPECT_EQ(st.words[3], 4);
  EXPECT_EQ(Bytes(reply.begin() + 48, reply.begin() + 52), (Bytes{104, 0, 0, 0}));
  EXPECT_EQ(std::string(reply.begin() + 52, reply.begin() + 64), "C001    east");
  EXPECT_EQ(Bytes(reply.begin() + 78, reply.end()), Bytes(70, 0));

  ASSERT_TRUE(c.request(testsupport::dbml_get_request(10, dbid, 3, 4, 29, {4, 0, 0, 0}).bytes(),
                        &reply));
  EXPECT_EQ(reply.size(), 46u);
  PayloadReader f(reply, false);
  ASSERT_TRUE(testsupport::read_dbml_status(f, &st));
  EXPECT_EQ(st.words[0], -21);
  EXPECT_EQ(st.mask, 1009);

  // By key, then on along the set with the cursor the key left.
  Bytes data;
  EXPECT_EQ(c.dbget(dbid, 2, 7, 4, {'W', 'E', 'S', 'T'}, &st, &data), -21);  // no read access
  EXPECT_EQ(c.dbget(dbid, 1, 7, 28, {'C', '0', '0', '2', ' ', ' ', ' ', ' '}, &st, &data), 0);
  EXPECT_EQ(st.words[3], 2);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 20), "C002    Bo Lindqvist");
  EXPECT_EQ(c.dbget(dbid, 1, 2, 28, {}, &st, &data), 0);
  EXPECT_EQ(st.words[3], 3);
  EXPECT_EQ(c.dbget(dbid, 1, 2, 28, {}, &st, &data), 11);  // end of the set
  EXPECT_EQ(c.dbclose(dbid, 1, 0, &st), 0);
  EXPECT_EQ(c.dbget(dbid, 1, 4, 28, {1, 0, 0, 0}, &st, &data), -11);
}

TEST_F(DbmlServer, Transactions) {
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  auto begin = [&](uint8_t lvl, uint32_t id) {
    PayloadWriter w = testsupport::dbml_writer(1, 15);
    w.u8(1).u8(lvl).u32(id).str("t");
    return call(c, w);
  };
  auto precommit = [&](uint8_t mode, uint8_t lvl) {
    PayloadWriter w = testsupport::dbml_writer(2, 17);
    w.u8(mode).u8(lvl);
    return call(c, w);
  };
  auto final_commit = [&] { return call(c, testsupport::dbml_writer(3, 18)); };

  DbmlStatus st = begin(0, 1);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[1], 1);
  EXPECT_EQ(st.words[2], 1);
  st = begin(0, 2);
  EXPECT_EQ(st.words[0], 34);
  EXPECT_EQ(st.words[5], 421);
  EXPECT_EQ(st.mask, 1009);
  // Mode 12 at depth 1 pre-commits and final-commits at once.
  st = precommit(12, 1);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(final_commit().words[0], 34);  // nothing left open

  // Pre-committed: nothing more joins until FINAL-COMMIT.
  ASSERT_EQ(begin(0, 3).words[0], 0);
  ASSERT_EQ(precommit(1, 1).words[0], 0);
  EXPECT_EQ(precommit(1, 1).words[0], 34);
  EXPECT_EQ(begin(1, 4).words[0], 34);
  EXPECT_EQ(final_commit().words[0], 0);
  EXPECT_EQ(begin(0, 5).words[0], 0);
  EXPECT_TRUE(c.noop(9));
}

// Each closes the connection without a reply, and the server goes on.
TEST_F(DbmlServer, UndecodableRequestsCloseWithoutReply) {
  struct Case {
    const char* what;
    Bytes payload;
  };
  auto req = [](uint16_t type, const Bytes& rest) {
    PayloadWriter w = testsupport::dbml_writer(1, type);
    w.raw(rest);
    return w.bytes();
  };
  const Case cases[] = {
      {"no type", testsupport::encode_request(1, 3, {7})},
      {"type 0", req(0, {})},
      {"type 99", req(99, {})},
      {"DBCLOSE cut short", req(2, {1, 0})},
      {"DBOPEN without mode", req(1, {1, 0, 0, 1, 0, 0})},
      {"DBGET without size", req(8, {1, 0, 1, 0, 1, 2, 0, '@', 0})},
      {"DBGET mode 4 without record number", req(8, {1, 0, 1, 0, 4, 2, 0, '@', 0, 100, 0, 0, 0})},
      {"DBGET mode 7 key cut", req(8, {1, 0, 1, 0, 7, 2, 0, '@', 0, 100, 0, 0, 0, 0, 0, 0, 0,
                                       8, 0, 0, 0, 'C'})},
      {"LOGON string without NUL", req(14, {2, 0, 'a', 'b', 1, 0, 0})},
      {"BEGIN without comment", req(15, {1, 0, 1, 0, 0, 0})},
      {"PRE-COMMIT without level", req(17, {1})},
  };
  for (const Case& k : cases) {
    ZentClient c;
    std::string challenge;
    ASSERT_TRUE(open_session(c, &challenge)) << k.what;
    ASSERT_TRUE(c.send_frame(k.payload)) << k.what;
    EXPECT_TRUE(c.closed_without_reply()) << k.what;
  }
  ZentClient d;
  std::string challenge;
  ASSERT_TRUE(open_session(d, &challenge));
  EXPECT_TRUE(d.noop(3));
}

}  // namespace

namespace {

Bytes hex(const char* text) {
  Bytes b;
  for (const char* p = text; *p != 0;) {
    if (*p == ' ' || *p == '\n') {
      ++p;
      continue;
    }
    b.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return b;
}

// A frame's payload: the bytes after the length word.
Bytes payload_of(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.end()); }

const char* kLockRequest =
    "00 00 00 40 07 00 03 00 04 00 01 00 06 00 00 00 30 00 00 00 2c 00 00 00 2a 00 00 00"
    " 4f 52 44 45 52 53 20 20 20 20 20 20 20 20 20 20"
    " 4f 52 44 45 52 2d 4e 4f 20 20 20 20 20 20 20 20 3d 20 65 00 00 00 00 00";

}  // namespace

class DbmlAdminServer : public DbmlServer {
 protected:
  DbmlAdminServer() { with_boss_ = true; }
};

TEST_F(DbmlAdminServer, LockUnlockAndInfoOverTcp) {
  ZentClient a, b;
  std::string ca, cb;
  ASSERT_TRUE(open_session(a, &ca));
  ASSERT_TRUE(open_session(b, &cb));
  DbmlStatus st;
  // boss creates the storage; the database is closed after it.
  ASSERT_EQ(a.logon(ca, "boss", "boss-pw", &st), 0);
  ASSERT_EQ(a.dbopen("sample", "", 13, &st), 0);
  ASSERT_TRUE(a.request(payload_of(hex("00 00 00 10 0a 00 03 00 0b 00 01 00 01 00 00 00 00 00 00 00")),
                        &reply_));
  EXPECT_EQ(reply_, payload_of(hex("00 00 00 2e 0a 00 00 00 ff 03"
                                   " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                   " 9b d1 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00")));
  ASSERT_EQ(a.logon(ca, "alice", "secret", &st), 0);
  ASSERT_EQ(b.logon(cb, "alice", "secret", &st), 0);
  ASSERT_EQ(a.dbopen("sample", "", 1, &st), 0);
  ASSERT_EQ(st.words[9], 2);
  ASSERT_EQ(b.dbopen("sample", "", 1, &st), 0);
  ASSERT_EQ(st.words[9], 1);
  // In the examples the dbid is 1: a's open is its second.
  std::string lock_text = kLockRequest;
  lock_text.replace(lock_text.find("01 00 06"), 2, "02");
  // The descriptor lock of the example, then the same from b: 25.
  Bytes& reply = reply_;
  const Bytes lock = payload_of(hex(lock_text.c_str()));
  ASSERT_TRUE(a.request(lock, &reply));
  EXPECT_EQ(reply, payload_of(hex("00 00 00 2e 07 00 00 00 ff 03"
                                  " 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                  " 99 01 00 00 00 00 00 00 00 00 00 00 06 00 00 00 00 00 00 00")));
  const Bytes lock_b = payload_of(hex(kLockRequest));
  ASSERT_TRUE(b.request(lock_b, &reply));
  EXPECT_EQ(reply, payload_of(hex("00 00 00 2e 07 00 00 00 f1 03"
                                  " 19 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                  " 99 01 00 00 00 00 00 00 00 00 00 00 06 00 00 00 00 00 00 00")));
  // b's database lock against a's descriptor lock: 20 with word 2 = 1.
  PayloadWriter db2 = testsupport::dbml_writer(3, 4);
  db2.u16(1).u8(2);
  st = call(b, db2);
  EXPECT_EQ(st.words[0], 20);
  EXPECT_EQ(st.words[2], 1);
  EXPECT_EQ(st.mask, 1009);
  // One more lock of a, then one unlock of both; a's shared lock of set 1,
  // which alice may only read, would hold writers out: refused.
  PayloadWriter set3 = testsupport::dbml_writer(4, 4);
  set3.u16(2).u8(4).u16(3);
  EXPECT_EQ(call(a, set3).words[0], 0);
  PayloadWriter shared = testsupport::dbml_writer(5, 4);
  shared.u16(2).u8(14).u16(1);
  EXPECT_EQ(call(a, shared).words[0], -5);
  ASSERT_TRUE(b.request(payload_of(hex("00 00 00 09 08 00 03 00 05 00 01 00 01")), &reply));
  // b held nothing: none released.
  EXPECT_EQ(reply, payload_of(hex("00 00 00 2e 08 00 00 00 f1 03"
                                  " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                  " 9a 11 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00")));
  PayloadWriter unlock_a = testsupport::dbml_writer(8, 5);
  unlock_a.u16(2).u8(1);
  ASSERT_TRUE(a.request(unlock_a.bytes(), &reply));
  EXPECT_EQ(reply, payload_of(hex("00 00 00 2e 08 00 00 00 f1 03"
                                  " 00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                  " 9a 11 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00")));
  PayloadWriter mode8 = testsupport::dbml_writer(6, 4);
  mode8.u16(1).u8(8);
  EXPECT_EQ(call(b, mode8).words[0], -31);
  // A descriptor whose total runs past the bytes received.
  PayloadWriter past = testsupport::dbml_writer(7, 4);
  past.u16(1).u8(6).align(4).obj({0x40, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(call(b, past).words[0], -122);

  // DBINFO 202 of ORDERS (the sample's five orders): the example's layout.
  ASSERT_TRUE(b.request(payload_of(hex("00 00 00 0c 09 00 03 00 03 00 01 00 03 00 ca 00")), &reply));
  ASSERT_EQ(reply.size(), 73u);
  PayloadReader r(reply, false);
  ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
  EXPECT_EQ(st.mask, 1015);
  EXPECT_EQ(st.words[1], 32);
  EXPECT_EQ(st.words[5], 402 + 4096);
  EXPECT_EQ(st.words[8], 202);
  EXPECT_EQ(r.bytes(16), Bytes({'O', 'R', 'D', 'E', 'R', 'S', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                ' ', ' ', ' '}));
  EXPECT_EQ(r.u8(), 'D');
  EXPECT_EQ(r.u16(), 30);
  EXPECT_EQ(r.u32(), 5u);
  r.u32();
  EXPECT_FALSE(r.failed());
  // Another mode, or a set alice may not read.
  PayloadWriter m201 = testsupport::dbml_writer(10, 3);
  m201.u16(1).u16(3).u16(201);
  st = call(b, m201);
  EXPECT_EQ(st.words[0], -31);
  EXPECT_EQ(st.mask, 1009);
  PayloadWriter unknown = testsupport::dbml_writer(11, 3);
  unknown.u16(1).u16(9).u16(202);
  EXPECT_EQ(call(b, unknown).words[0], -21);
  EXPECT_TRUE(a.noop(12));
}

// Create, erase and purge over the wire as alice, who may erase REGIONS
// only: create and purge are refused (-5), erase succeeds; each request
// closes the database.
TEST_F(DbmlServer, CreateEraseAndPurgeOverTcp) {
  ZentClient c;
  std::string challenge;
  ASSERT_TRUE(open_session(c, &challenge));
  DbmlStatus st;
  ASSERT_EQ(c.logon(challenge, "alice", "secret", &st), 0);
  auto open13 = [&] {
    EXPECT_EQ(c.dbopen("sample", "", 13, &st), 0);
    return static_cast<uint16_t>(st.words[9]);
  };
  auto list_request = [&](uint16_t id, uint16_t type, uint16_t dbid, uint8_t mode,
                          const Bytes& list) {
    PayloadWriter w = testsupport::dbml_writer(id, type);
    w.u16(dbid).u8(mode).align(4).obj(list);
    return call(c, w);
  };
  uint16_t dbid = open13();
  st = list_request(1, 11, dbid, 1, {});
  EXPECT_EQ(st.words[0], -5);
  EXPECT_EQ(st.words[5], 411);
  EXPECT_EQ(c.dbclose(dbid, 1, 0, &st), -11);  // closed by the refusal
  dbid = open13();
  st = list_request(2, 12, dbid, 1, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[5], 412 + (13 << 12));
  EXPECT_EQ(st.mask, 1023);
  EXPECT_EQ(c.dbclose(dbid, 1, 0, &st), -11);
  dbid = open13();
  st = list_request(3, 13, dbid, 2, {});
  EXPECT_EQ(st.words[0], -5);
  EXPECT_EQ(st.words[5], 413);
  EXPECT_EQ(st.words[8], 2);
  st = list_request(4, 12, dbid, 1, {});
  EXPECT_EQ(st.words[0], -11);
  EXPECT_TRUE(c.noop(5));
}

// DBPUT against the real server: a master and a detail whose region is new
// (an automatic master), a duplicate key and a record the length cuts
// short; then DBGET by key, DBFIND of the customer's chain and a chained
// DBGET read them back, and the automatic master is there.
TEST_F(DbmlServer, DbputThenDbfindAndDbgetReadItBack) {
  ZentClient c;
  const uint16_t dbid = open_sample(c, "boss", "boss-pw");
  ASSERT_NE(dbid, 0);
  DbmlStatus st;
  auto put = [&](uint16_t setno, const std::string& rec) {
    PayloadWriter w = testsupport::dbml_writer(20, 6);
    w.u16(dbid).u16(setno).u8(1).str("@;").align(4).u32(static_cast<uint32_t>(rec.size()));
    w.raw(Bytes(rec.begin(), rec.end()));
    return call(c, w);
  };
  const std::string customer = std::string("C004    Di Moreau") + std::string(11, ' ');
  st = put(1, customer);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.mask, 1023);
  EXPECT_EQ(st.words[1], 28);
  EXPECT_EQ(st.words[3], 4);
  EXPECT_EQ(st.words[5], 1);
  st = put(1, customer);
  EXPECT_EQ(st.words[0], 43);
  EXPECT_EQ(st.mask, 1009);
  EXPECT_EQ(st.words[5], 407);
  // Order 106 of C004 in the new region NORT.
  std::string order(30, '\0');
  const int32_t no = 106, date = 20240301;
  memcpy(&order[0], &no, 4);
  memcpy(&order[4], "C004    NORT", 12);
  memcpy(&order[16], &date, 4);
  EXPECT_EQ(put(3, order.substr(0, 29)).words[0], -21);
  st = put(3, order);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[1], 30);
  EXPECT_EQ(st.words[3], 6);
  EXPECT_EQ(st.words[5], 0);

  Bytes data;
  ASSERT_EQ(c.dbget(dbid, 1, 7, 28, {'C', '0', '0', '4', ' ', ' ', ' ', ' '}, &st, &data), 0);
  EXPECT_EQ(st.words[3], 4);
  EXPECT_EQ(std::string(data.begin(), data.end()), customer);
  ASSERT_EQ(c.dbget(dbid, 2, 7, 4, {'N', 'O', 'R', 'T'}, &st, &data), 0);
  EXPECT_EQ(st.words[3], 4);  // the fourth region, made by the put
  // The customer's chain: one order, first and last.
  PayloadWriter f = testsupport::dbml_writer(21, 7);
  f.u16(dbid).u16(3).u8(1).u16(1).align(4).obj({'C', '0', '0', '4', ' ', ' ', ' ', ' '});
  st = call(c, f);
  ASSERT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[5], 1);
  EXPECT_EQ(st.words[7], 6);
  EXPECT_EQ(st.words[9], 6);
  ASSERT_EQ(c.dbget(dbid, 3, 5, 30, {}, &st, &data), 0);
  EXPECT_EQ(st.words[3], 6);
  EXPECT_EQ(std::string(data.begin(), data.end()), order);
  EXPECT_EQ(c.dbget(dbid, 3, 5, 30, {}, &st, &data), 15);  // the end of the chain
}

// DBUPDATE and DBDELETE against the real server: a customer renamed in
// mode 1; an order moved in mode 2 to another customer and a new region
// (read back by key and along the new chain); the moved order's old
// region, left without orders, is gone; a delete, then reads that no
// longer find the record and a second delete that answers 17.
TEST_F(DbmlServer, DbupdateAndDbdeleteThenReadsShowTheChange) {
  ZentClient c;
  const uint16_t dbid = open_sample(c, "boss", "boss-pw");
  ASSERT_NE(dbid, 0);
  DbmlStatus st;
  auto update = [&](uint16_t setno, uint8_t mode, const std::string& rec) {
    PayloadWriter w = testsupport::dbml_writer(30, 9);
    w.u16(dbid).u16(setno).u8(mode).str("@;").align(4).u32(static_cast<uint32_t>(rec.size()));
    w.raw(Bytes(rec.begin(), rec.end()));
    return call(c, w);
  };
  auto del = [&](uint16_t setno) {
    PayloadWriter w = testsupport::dbml_writer(31, 10);
    w.u16(dbid).u16(setno).u8(1);
    return call(c, w);
  };
  Bytes data;
  const Bytes c003 = {'C', '0', '0', '3', ' ', ' ', ' ', ' '};
  ASSERT_EQ(c.dbget(dbid, 1, 7, 28, c003, &st, &data), 0);
  const std::string renamed = std::string("C003    Cy Okafor Jr") + std::string(8, ' ');
  st = update(1, 1, renamed);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.mask, 1023);
  EXPECT_EQ(st.words[3], 3);
  ASSERT_EQ(c.dbget(dbid, 1, 7, 28, c003, &st, &data), 0);
  EXPECT_EQ(std::string(data.begin(), data.end()), renamed);

  // Order 4 (C001, the only order of region "east") to C003 and region NORT.
  ASSERT_EQ(c.dbget(dbid, 3, 4, 30, {4, 0, 0, 0}, &st, &data), 0);
  std::string order(data.begin(), data.end());
  memcpy(&order[4], "C003    NORT", 12);
  st = update(3, 1, order);
  EXPECT_EQ(st.words[0], 41);  // a path value in mode 1
  EXPECT_EQ(st.mask, 1009);
  EXPECT_EQ(st.words[5], 406);
  st = update(3, 2, order);
  ASSERT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[3], 4);
  PayloadWriter f = testsupport::dbml_writer(32, 7);
  f.u16(dbid).u16(3).u8(1).u16(1).align(4).obj(c003);
  st = call(c, f);
  ASSERT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[5], 1);  // C003's chain: the moved order alone
  EXPECT_EQ(st.words[9], 4);
  ASSERT_EQ(c.dbget(dbid, 3, 5, 30, {}, &st, &data), 0);
  EXPECT_EQ(std::string(data.begin(), data.end()), order);
  EXPECT_EQ(c.dbget(dbid, 2, 7, 4, {'N', 'O', 'R', 'T'}, &st, &data), 0);
  EXPECT_EQ(c.dbget(dbid, 2, 7, 4, {'e', 'a', 's', 't'}, &st, &data), 17);

  // Delete it: gone by number, the chain empty, the second delete 17.
  ASSERT_EQ(c.dbget(dbid, 3, 4, 30, {4, 0, 0, 0}, &st, &data), 0);
  st = del(3);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[3], 4);
  EXPECT_EQ(del(3).words[0], 17);
  EXPECT_EQ(c.dbget(dbid, 3, 4, 30, {4, 0, 0, 0}, &st, &data), 17);
  st = call(c, f);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[5], 0);
  // A customer without orders can go now; one with orders cannot.
  ASSERT_EQ(c.dbget(dbid, 1, 7, 28, c003, &st, &data), 0);
  EXPECT_EQ(del(1).words[0], 0);
  EXPECT_EQ(c.dbget(dbid, 1, 7, 28, c003, &st, &data), 17);
  ASSERT_EQ(c.dbget(dbid, 1, 4, 28, {1, 0, 0, 0}, &st, &data), 0);
  EXPECT_EQ(del(1).words[0], 44);
}
