// zentdb6 over TCP: the first database defined entirely over the wire.
// LOGON as dba, BEGIN, ADD_DB, its columns, tables, index, paths, a group
// with a member and privileges, FINAL-COMMIT; DBOPEN in mode 13 builds the
// schema from it; a restart keeps all of it. Then DBCREATE, DBPUT and
// DBGET, where the server serves them, and a restart that keeps the
// record.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
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

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::SyscatReply;
using testsupport::ZentClient;
using testsupport::dbml_writer;
using testsupport::syscat_writer;

// SYSCAT types used here.
enum : uint16_t {
  ADD_DB = 11, GET_DB_BY_NAME = 13, OPEN_DB_BY_NAME = 15, CLOSE_DB = 17, ADD_GROUP = 21,
  ADD_MEMBER = 24, ADD_PRIVILEGE = 25, ADD_COLUMN = 27, ADD_INDEX = 30, ADD_INDEXSEG = 33,
  ADD_TABLE = 34, GET_TABLE_BY_ID = 36, ADD_TABLECOLUMN = 37, ADD_TABLEPATH = 38,
  GET_USER_BY_NAME = 9,
};

class SyscatServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(write_sample_config());
    start();
  }
  void start() { start_server("D1P2I2"); }
  void stop() { stop_server(); }
  void connect(ZentClient& c) {
    testsupport::StartupReply reply;
    ASSERT_TRUE(connect_client(c, &reply)) << "no connection";
    ASSERT_EQ(c.logon(reply.challenge, "dba", ""), 0);
  }
  DbmlStatus dbml(ZentClient& c, const PayloadWriter& w, Bytes* rest = nullptr) {
    DbmlStatus st;
    EXPECT_NE(c.dbml(w.bytes(), &st, rest), INT32_MIN);
    return st;
  }
  // A SYSCAT request that must succeed: its data.
  Bytes ok(ZentClient& c, const PayloadWriter& w) {
    Bytes reply, data;
    EXPECT_TRUE(c.request(w.bytes(), &reply));
    SyscatReply head;
    EXPECT_TRUE(testsupport::decode_syscat_reply(reply, &head, &data));
    EXPECT_TRUE(head.ok()) << head.text;
    return data;
  }
  uint32_t ok_u32(ZentClient& c, const PayloadWriter& w) {
    const Bytes data = ok(c, w);
    PayloadReader r(data, false);
    return r.u32();
  }
  // A request the server may not serve yet: false (and the connection
  // closed) when it closes without a reply.
  bool served(ZentClient& c, const PayloadWriter& w, Bytes* reply) {
    if (!c.send_frame(w.bytes())) return false;
    return c.recv_frame(reply) == 1;
  }
};

PayloadWriter sc(uint16_t type) { return syscat_writer(40, type); }

TEST_F(SyscatServer, FirstDatabaseDefinedOverTheWire) {
  ZentClient c;
  connect(c);
  PayloadWriter b = dbml_writer(2, 15);  // BEGIN
  b.u8(1).u8(0).u32(1).str("define");
  ASSERT_EQ(dbml(c, b).words[0], 0);
  PayloadWriter ad = sc(ADD_DB);
  ad.u32(0).str("wired").u32(0);
  const uint32_t dbid = ok_u32(c, ad);
  ASSERT_NE(dbid, 0u);
  PayloadWriter od = sc(OPEN_DB_BY_NAME);
  od.str("wired").u32(0).u32(0);
  const Bytes hd = ok(c, od);
  const uint16_t h = PayloadReader(hd, false).u16();

  auto column = [&](const char* name, uint8_t type, uint32_t size) {
    PayloadWriter w = sc(ADD_COLUMN);
    w.u16(h).u32(0).u32(0).str(name).u8(type).u32(size).u32(1).u32(0).u32(0);
    return ok_u32(c, w);
  };
  const uint32_t cust_no = column("CUST-NO", 1, 8);
  const uint32_t name = column("NAME", 1, 20);
  const uint32_t order_no = column("ORDER-NO", 7, 4);
  auto table = [&](const char* tname, uint32_t flags, uint16_t ncols) {
    PayloadWriter w = sc(ADD_TABLE);
    w.u16(h).u32(0).u32(1).str(tname).u32(1).u32(flags).u16(ncols).u16(1).u16(0).u32(0);
    return ok_u32(c, w);
  };
  const uint32_t customer = table("CUSTOMER", 1, 2);
  const uint32_t orders = table("ORDERS", 0, 2);
  auto tablecolumn = [&](uint32_t t, uint32_t col, uint32_t idx) {
    PayloadWriter w = sc(ADD_TABLECOLUMN);
    w.u16(h).u32(t).u32(col).u32(idx);
    ok(c, w);
  };
  tablecolumn(customer, cust_no, 1);
  tablecolumn(customer, name, 2);
  tablecolumn(orders, order_no, 1);
  tablecolumn(orders, cust_no, 2);
  PayloadWriter ai = sc(ADD_INDEX);
  ai.u16(h).u32(0).u32(customer).str("CUST-KEY").u32(1).u32(4).u8(1).u32(0);
  const uint32_t key = ok_u32(c, ai);
  PayloadWriter as = sc(ADD_INDEXSEG);
  as.u16(h).u32(key).u8(0).u32(cust_no).u32(1).u32(0);
  ok(c, as);
  // The detail's path first: its linked fields come from the master keyed
  // by CUST-NO; the master's path back comes from it.
  PayloadWriter p1 = sc(ADD_TABLEPATH);
  p1.u16(h).u32(orders).u32(1).u32(cust_no).u32(0);
  ok(c, p1);
  PayloadWriter p2 = sc(ADD_TABLEPATH);
  p2.u16(h).u32(customer).u32(1).u32(cust_no).u32(0);
  ok(c, p2);
  PayloadWriter gu = sc(GET_USER_BY_NAME);
  gu.str("alice");
  const uint32_t alice = PayloadReader(ok(c, gu), false).u32();
  PayloadWriter ag = sc(ADD_GROUP);
  ag.u16(h).u32(0).str("clerks").u32(0);
  const uint32_t clerks = ok_u32(c, ag);
  PayloadWriter am = sc(ADD_MEMBER);
  am.u16(h).u32(alice).u32(clerks);
  ok(c, am);
  for (uint32_t gid : {1u, clerks}) {
    for (uint32_t t : {customer, orders}) {
      PayloadWriter ap = sc(ADD_PRIVILEGE);
      ap.u16(h).u32(gid).u32(t).u32(gid == 1 ? 7 : 1);
      ok(c, ap);
    }
  }
  PayloadWriter cd = sc(CLOSE_DB);
  cd.u16(h);
  ok(c, cd);
  PayloadWriter pc = dbml_writer(3, 17);  // PRE-COMMIT
  pc.u8(1).u8(1);
  ASSERT_EQ(dbml(c, pc).words[0], 0);
  PayloadWriter fc = dbml_writer(3, 18);  // FINAL-COMMIT
  ASSERT_EQ(dbml(c, fc).words[0], 0);

  // The schema builds from what came over the wire.
  auto open13 = [&](ZentClient& cl) {
    PayloadWriter o = dbml_writer(4, 1);
    o.str("wired").str("").u8(13);
    const DbmlStatus st = dbml(cl, o);
    EXPECT_EQ(st.words[0], 0);
    return static_cast<uint16_t>(st.words[9]);
  };
  uint16_t db = open13(c);
  ASSERT_NE(db, 0);
  PayloadWriter close = dbml_writer(5, 2);
  close.u16(db).u8(1).u16(0);
  EXPECT_EQ(dbml(c, close).words[0], 0);
  c.close();

  // A restart keeps it: the database, its tables, and a schema that builds.
  stop();
  start();
  ZentClient d;
  connect(d);
  PayloadWriter gd = sc(GET_DB_BY_NAME);
  gd.str("wired").u32(0).u32(0);
  EXPECT_EQ(PayloadReader(ok(d, gd), false).u32(), dbid);
  PayloadWriter od2 = sc(OPEN_DB_BY_NAME);
  od2.str("wired").u32(0).u32(0);
  const uint16_t h2 = PayloadReader(ok(d, od2), false).u16();
  PayloadWriter gt = sc(GET_TABLE_BY_ID);
  gt.u16(h2).u32(orders);
  {
    const Bytes t = ok(d, gt);
    PayloadReader r(t, false);
    EXPECT_EQ(r.u32(), orders);
    r.u32();
    EXPECT_EQ(r.str(), "ORDERS");
  }
  db = open13(d);
  ASSERT_NE(db, 0);

  // Storage, a record and its read, where the server serves them.
  PayloadWriter create = dbml_writer(6, 11);
  create.u16(db).u8(1).align(4).obj({});
  Bytes reply;
  if (!served(d, create, &reply))
    GTEST_SKIP() << "DBCREATE is not served by this server yet";
  {
    PayloadReader r(reply, false);
    DbmlStatus st;
    ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
    ASSERT_EQ(st.words[0], 0);
  }
  PayloadWriter o1 = dbml_writer(7, 1);
  o1.str("wired").str("").u8(1);
  const DbmlStatus opened = dbml(d, o1);
  ASSERT_EQ(opened.words[0], 0);
  db = static_cast<uint16_t>(opened.words[9]);
  std::string rec = "C0000001Ada Lovelace        ";
  ASSERT_EQ(rec.size(), 28u);
  PayloadWriter put = dbml_writer(8, 6);
  put.u16(db).u16(1).u8(1).str("@").align(4).u32(static_cast<uint32_t>(rec.size())).raw(rec);
  if (!served(d, put, &reply)) GTEST_SKIP() << "DBPUT is not served by this server yet";
  {
    PayloadReader r(reply, false);
    DbmlStatus st;
    ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
    ASSERT_EQ(st.words[0], 0);
  }
  auto get = [&](ZentClient& cl, uint16_t dbid2, Bytes* out) {
    PayloadWriter g = dbml_writer(9, 8);
    g.u16(dbid2).u16(1).u8(7).str("@").u32(28).align(4).obj(Bytes(rec.begin(), rec.begin() + 8));
    return served(cl, g, out);
  };
  if (!get(d, db, &reply)) GTEST_SKIP() << "DBGET is not served by this server yet";
  const std::string got(reply.begin(), reply.end());
  EXPECT_NE(got.find("Ada Lovelace"), std::string::npos);
  d.close();
  stop();
  start();
  ZentClient e;
  connect(e);
  PayloadWriter o2 = dbml_writer(7, 1);
  o2.str("wired").str("").u8(1);
  const DbmlStatus again = dbml(e, o2);
  ASSERT_EQ(again.words[0], 0);
  ASSERT_TRUE(get(e, static_cast<uint16_t>(again.words[9]), &reply));
  EXPECT_NE(std::string(reply.begin(), reply.end()).find("Ada Lovelace"), std::string::npos);
}

}  // namespace
