// The SYSCAT request class on a session record over the sample database in
// memory, without sockets: the checks and their texts, the failure and
// success replies, round trips of every kind of row inside a transaction
// and a rollback that leaves the catalog as it was, SELECT and FETCH, the
// handles that wrap, the linked fields of a table path, and requests that
// cannot be decoded.
#include "server/syscat_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "base/server_config.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "server/client_session.h"
#include "server/dbml_request.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/syscat_maps.h"
#include "storage/tlog.h"
#include "support/log_capture.h"
#include "support/logon_cipher.h"
#include "support/sample_db.h"
#include "support/server_session.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::SyscatReply;
using testsupport::dbml_writer;
using testsupport::syscat_writer;

class SyscatTest : public testsupport::ServerSessionFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_log());
    ASSERT_EQ(testsupport::write_sample_db("sample", false, &d_), 0);
    alice_uid_ = testsupport::add_user("alice", IDB_CAP_CONNECT);
    ASSERT_NE(alice_uid_, 0u);
    open_session();
  }

  DbmlStatus dbml(const PayloadWriter& w) { return dbml_call(w); }
  int32_t logon(const std::string& user, const std::string& password = "") {
    PayloadWriter w = dbml_writer(9, DBML_LOGON);
    w.str(user).str(password.empty() ? "" : testsupport::client_password_hex(challenge_, password));
    return dbml(w).words[0];
  }
  int32_t begin() {
    PayloadWriter w = dbml_writer(10, DBML_BEGIN);
    w.u8(1).u8(0).u32(1).str("");
    return dbml(w).words[0];
  }
  int32_t commit() {
    PayloadWriter w = dbml_writer(11, DBML_PRECOMMIT);
    w.u8(12).u8(1);
    return dbml(w).words[0];
  }
  int32_t rollback() {
    PayloadWriter w = dbml_writer(13, DBML_ROLLBACK);
    w.u8(1).u8(1).u32(1);
    return dbml(w).words[0];
  }

  // One SYSCAT request that is answered: its head in *h, the data after a
  // success head readable through the returned bytes.
  struct Answer {
    SyscatReply head;
    Bytes data;
  };
  Answer call(const PayloadWriter& w) {
    Answer a;
    Bytes reply;
    EXPECT_EQ(dispatch(w.bytes(), &reply), 0);
    EXPECT_TRUE(testsupport::decode_syscat_reply(reply, &a.head, &a.data));
    if (!a.head.ok()) {
      EXPECT_TRUE(a.data.empty()) << a.head.text;
    }
    return a;
  }
  std::string refusal(const PayloadWriter& w) {
    const Answer a = call(w);
    EXPECT_FALSE(a.head.ok());
    return a.head.text;
  }
  uint32_t ok_u32(const PayloadWriter& w) {
    const Answer a = call(w);
    EXPECT_TRUE(a.head.ok()) << a.head.text;
    PayloadReader r(a.data, false);
    const uint32_t v = r.u32();
    EXPECT_EQ(r.left(), 0u);
    return v;
  }
  void ok_empty(const PayloadWriter& w) {
    const Answer a = call(w);
    EXPECT_TRUE(a.head.ok()) << a.head.text;
    EXPECT_TRUE(a.data.empty());
  }
  uint16_t open_db(const std::string& name) {
    PayloadWriter w = syscat_writer(20, SC_OPEN_DB_BY_NAME);
    w.str(name).u32(0).u32(0);
    const Answer a = call(w);
    EXPECT_TRUE(a.head.ok()) << a.head.text;
    PayloadReader r(a.data, false);
    return r.u16();
  }
  PayloadWriter req(uint16_t type, uint16_t id = 30) { return syscat_writer(id, type); }
  // The user "eve" (connect) whose stored digest is 16 bytes of 0x11; her uid, 0 on a failure.
  static uint32_t add_eve() {
    std::vector<uint8_t> blob(4 + 16, 0x11);
    const uint32_t n = 16;
    memcpy(blob.data(), &n, 4);
    SysCat_USER eve{0, const_cast<char*>("eve"), blob.data(), IDB_CAP_CONNECT};
    return SysCat_add_user(&eve, nullptr) == 0 ? eve.uid : 0;
  }

  uint32_t alice_uid_ = 0;
};

TEST_F(SyscatTest, NameTable) {
  EXPECT_STREQ(syscat_request_name(1), "ADD_OBJECT");
  EXPECT_STREQ(syscat_request_name(38), "ADD_TABLEPATH");
  EXPECT_STREQ(syscat_request_name(51), "UPD_COLLATE");
  EXPECT_STREQ(syscat_request_name(0), "** unknown **");
  EXPECT_STREQ(syscat_request_name(52), "** unknown **");
}

// Before LOGON every request, even an unknown one, answers "no logon"; type
// 99 afterwards answers its own text. The connection stays usable.
TEST_F(SyscatTest, NoLogonAndUnknownTypeKeepTheConnection) {
  testsupport::LogCapture log("P2");
  PayloadWriter w = req(SC_GET_USER_BY_NAME, 0x0201);
  w.str("dba");
  Bytes reply;
  ASSERT_EQ(dispatch(w.bytes(), &reply), 0);
  // The failure reply, byte for byte: code -1 (no status set), the text
  // with its NUL, 2 bytes of padding.
  Bytes want = {0x01, 0x02, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 25, 0x00};
  const std::string text = "client failure: no logon";
  want.insert(want.end(), text.begin(), text.end());
  want.insert(want.end(), {0x00, 0x00, 0x00});
  EXPECT_EQ(reply, want);
  EXPECT_EQ(refusal(req(99)), "client failure: no logon");
  EXPECT_NE(log.text().find("Processing SYSCAT request type 9 (GET_USER_BY_NAME)"), std::string::npos);
  EXPECT_NE(log.text().find("reply_failed: client failure: no logon"), std::string::npos);

  ASSERT_EQ(logon("dba"), 0);
  EXPECT_EQ(refusal(req(99)), "Unsupported SYSCAT request 99");
  EXPECT_EQ(refusal(req(0)), "Unsupported SYSCAT request 0");
  // Still usable: a read answers with its data.
  PayloadWriter g = req(SC_GET_USER_BY_ID);
  g.u32(1);
  const Answer a = call(g);
  ASSERT_TRUE(a.head.ok()) << a.head.text;
  PayloadReader r(a.data, false);
  EXPECT_EQ(r.u32(), 1u);
  EXPECT_EQ(r.str(), "dba");
}

// A request of each check kind, refused with its text; the capability is
// checked before the transaction, the handle before both.
TEST_F(SyscatTest, ChecksAnswerTheirTexts) {
  struct Case {
    const char* what;
    const char* user;
    bool in_tx;
    uint16_t type;
    void (*fields)(PayloadWriter&, uint16_t h);
    const char* want;
  };
  const Case cases[] = {
      {"A without dba", "alice", true, SC_ADD_OBJECT,
       [](PayloadWriter& w, uint16_t) { w.u32(900).u32(1).str("x").u32(0); },
       "Permission denied - dba capabilities required."},
      {"U without user admin", "alice", true, SC_ADD_USER,
       [](PayloadWriter& w, uint16_t) { w.u32(0).str("bob").align(4).obj({}).u32(4); },
       "Permission denied - User admin capabilities required."},
      {"D without db admin", "alice", true, SC_ADD_COLUMN,
       [](PayloadWriter& w, uint16_t h) {
         w.u16(h).u32(0).u32(0).str("C").u8(1).u32(4).u32(1).u32(0).u32(0);
       },
       "Permission denied. DB admin capabilities required"},
      {"G without group admin", "alice", true, SC_ADD_GROUP,
       [](PayloadWriter& w, uint16_t h) { w.u16(h).u32(0).str("g").u32(0); },
       "Permission denied. Group admin capabilities required"},
      {"T outside a transaction", "dba", false, SC_ADD_USER,
       [](PayloadWriter& w, uint16_t) { w.u32(0).str("bob").align(4).obj({}).u32(4); },
       "Internal failure - no current transaction."},
      {"T for a database request", "dba", false, SC_ADD_TABLE,
       [](PayloadWriter& w, uint16_t h) {
         w.u16(h).u32(0).u32(1).str("T").u32(1).u32(0).u16(1).u16(0).u16(0).u32(0);
       },
       "Internal failure - no current transaction."},
      {"unknown handle", "dba", true, SC_ADD_MEMBER,
       [](PayloadWriter& w, uint16_t) { w.u16(777).u32(1).u32(1); }, "Database handle 777 not found"},
      {"unknown handle of a read", "alice", false, SC_GET_GROUP_BY_ID,
       [](PayloadWriter& w, uint16_t) { w.u16(0).u32(1); }, "Database handle 0 not found"},
  };
  // alice is a member of the sample database without any admin bit.
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  ASSERT_NE(db, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  ASSERT_NE(cat, nullptr);
  SysCat_GROUP readers{0, const_cast<char*>("readers"), 0};
  ASSERT_EQ(SysCat_add_group(cat, &readers, nullptr), 0);
  ASSERT_EQ(SysCat_add_member(cat, alice_uid_, readers.gid, nullptr), 0);
  SysCat_db_close(cat);
  for (const Case& c : cases) {
    ASSERT_EQ(logon(c.user), 0) << c.what;
    const uint16_t h = open_db("sample");
    if (c.in_tx) {
      ASSERT_EQ(begin(), 0) << c.what;
    }
    PayloadWriter w = req(c.type);
    c.fields(w, h);
    EXPECT_EQ(refusal(w), c.want) << c.what;
    if (c.in_tx) {
      ASSERT_EQ(rollback(), 0) << c.what;
    }
    PayloadWriter close = req(SC_CLOSE_DB);
    close.u16(h);
    ok_empty(close);
  }
  // The four that are not built answer their texts.
  ASSERT_EQ(logon("dba"), 0);
  EXPECT_EQ(refusal(req(SC_GET_GROUP_BY_NAME)), "syscat_req_get_group_by_name() not implemented");
  EXPECT_EQ(refusal(req(SC_GET_COLUMN_BY_NAME)), "syscat_req_get_column_by_name() not implemented");
  EXPECT_EQ(refusal(req(SC_GET_INDEX_BY_NAME)), "syscat_req_get_index_by_name() not implemented");
  EXPECT_EQ(refusal(req(SC_GET_TABLE_BY_NAME)), "syscat_req_get_table_by_name() not implemented");
}

// A catalog failure carries the status code the catalog set; the next
// request's refusal does not inherit it.
TEST_F(SyscatTest, FailureCarriesTheStatusOfItsOwnRequest) {
  ASSERT_EQ(logon("dba"), 0);
  ASSERT_EQ(begin(), 0);
  PayloadWriter dup = req(SC_ADD_USER);
  dup.u32(0).str("alice").align(4).obj({}).u32(4);
  const Answer a = call(dup);
  EXPECT_EQ(a.head.text, "Failed to add user \"alice\"");
  EXPECT_EQ(a.head.code, make_error_status(ERR_MOD_SC, ERR_SEV_E, SC_E_ARG));
  PayloadWriter missing = req(SC_GET_OBJECT_BY_ID);
  missing.u32(123456);
  EXPECT_EQ(refusal(missing), "Object id 123456 not found");
  EXPECT_EQ(rollback(), 0);
  EXPECT_EQ(refusal(req(99)), "Unsupported SYSCAT request 99");
  PayloadWriter again = req(99);
  const Answer b = call(again);
  EXPECT_EQ(b.head.code, 0xffffffffu);
}

// A name from the request is cut with the text at 1023 characters.
TEST_F(SyscatTest, LongNameIsCutInTheFailureText) {
  ASSERT_EQ(logon("dba"), 0);
  const std::string name(5000, 'n');
  PayloadWriter w = req(SC_GET_DB_BY_NAME);
  w.str(name).u32(0).u32(0);
  const std::string text = refusal(w);
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.substr(0, 11), "Database \"n");
}

// Users, objects, databases, collations in the server catalog; groups,
// members, privileges, columns, indexes, segments, tables, table columns,
// paths and table indexes in a database's: added in a transaction, read
// back, changed and deleted; a rollback leaves the catalog as it was.
TEST_F(SyscatTest, RoundTripsOfEveryKindOfRow) {
  ASSERT_EQ(logon("dba"), 0);
  ASSERT_EQ(begin(), 0);
  // A user: add, by name and id, update, delete.
  PayloadWriter au = req(SC_ADD_USER);
  const Bytes digest(16, 0xab);
  au.u32(0).str("carol").align(4).obj(digest).u32(IDB_CAP_CONNECT);
  const uint32_t uid = ok_u32(au);
  ASSERT_NE(uid, 0u);
  for (int by_id = 0; by_id < 2; ++by_id) {
    PayloadWriter g = req(by_id ? SC_GET_USER_BY_ID : SC_GET_USER_BY_NAME);
    if (by_id) g.u32(uid); else g.str("carol");
    const Answer a = call(g);
    ASSERT_TRUE(a.head.ok()) << a.head.text;
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), uid);
    EXPECT_EQ(r.str(), "carol");
    r.align(4);
    EXPECT_EQ(r.u32(), 16u);
    EXPECT_EQ(r.bytes(16), digest);
    EXPECT_EQ(r.u32(), uint32_t{IDB_CAP_CONNECT});
    EXPECT_EQ(r.left(), 0u);
  }
  PayloadWriter uu = req(SC_UPD_USER);
  uu.u32(uid).str("carol").align(4).obj({}).u32(IDB_CAP_DBA);
  ok_empty(uu);
  SysCat_USER* u = SysCat_get_user_by_id(uid, session_->db_session->ssn.tx_node);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->priv, uint32_t{IDB_CAP_DBA});
  free(u);
  PayloadWriter du = req(SC_DEL_USER);
  du.u32(uid).str("carol").align(4).obj({}).u32(0);
  ok_empty(du);
  PayloadWriter gone = req(SC_GET_USER_BY_ID);
  gone.u32(uid);
  EXPECT_EQ(refusal(gone), "User id " + std::to_string(uid) + " not found");

  // An object and a VAT.
  PayloadWriter ao = req(SC_ADD_OBJECT);
  ao.u32(90000).u32(1).str("thing").u32(7);
  EXPECT_EQ(ok_u32(ao), 90000u);
  PayloadWriter go = req(SC_GET_OBJECT_BY_NAME);
  go.str("thing");
  {
    const Answer a = call(go);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), 90000u);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.str(), "thing");
    EXPECT_EQ(r.u32(), 7u);
  }
  PayloadWriter av = req(SC_ADD_VAT);
  av.u32(5).u32(1).str("vat5").u32(0x04030201).u32(2);
  EXPECT_EQ(ok_u32(av), 5u);
  PayloadWriter gv = req(SC_GET_VAT_BY_ID);
  gv.u32(5);
  {
    const Answer a = call(gv);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), 5u);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.str(), "vat5");
    EXPECT_EQ(r.u32(), 0x04030201u);
    EXPECT_EQ(r.u32(), 2u);
  }

  // A collation of 256 one-byte strings; a size that does not match and
  // a type other than 0 are refused.
  Bytes map;
  for (int b = 0; b < 256; ++b) map.insert(map.end(), {1, static_cast<uint8_t>(b)});
  PayloadWriter bad = req(SC_ADD_COLLATE);
  bad.u32(0).str("c.iso88591").u32(0).u32(511).u32(0).align(4).obj(map);
  EXPECT_EQ(refusal(bad), "Inconsistent collating sequence size (511)");
  PayloadWriter bad_type = req(SC_ADD_COLLATE);
  bad_type.u32(0).str("c.iso88591").u32(3).u32(512).u32(0).align(4).obj(map);
  EXPECT_EQ(refusal(bad_type), "Unknown collating sequence type 3");
  PayloadWriter ac = req(SC_ADD_COLLATE);
  ac.u32(0).str("c.iso88591").u32(0).u32(512).u32(6).align(4).obj(map);
  const uint32_t coll = ok_u32(ac);
  PayloadWriter gc = req(SC_GET_COLLATE_BY_ID);
  gc.u32(coll);
  {
    const Answer a = call(gc);
    ASSERT_TRUE(a.head.ok()) << a.head.text;
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), coll);
    EXPECT_EQ(r.str(), "c.iso88591");
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.u32(), 512u);
    EXPECT_EQ(r.u32(), 6u);
    r.align(4);
    EXPECT_EQ(r.u32(), 512u);
    EXPECT_EQ(r.bytes(512), map);
    EXPECT_EQ(r.left(), 0u);
  }

  // A database, opened inside the transaction that creates it; its rows.
  PayloadWriter ad = req(SC_ADD_DB);
  ad.u32(0).str("fresh").u32(0);
  const uint32_t dbid = ok_u32(ad);
  PayloadWriter gd = req(SC_GET_DB_BY_ID);
  gd.u32(dbid);
  {
    const Answer a = call(gd);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), dbid);
    EXPECT_EQ(r.str(), "fresh");
  }
  PayloadWriter od = req(SC_OPEN_DB_BY_ID);
  od.u32(dbid);
  const Answer opened = call(od);
  ASSERT_TRUE(opened.head.ok()) << opened.head.text;
  const uint16_t h = PayloadReader(opened.data, false).u16();
  PayloadWriter ag = req(SC_ADD_GROUP);
  ag.u16(h).u32(0).str("clerks").u32(0);
  const uint32_t gid = ok_u32(ag);
  PayloadWriter ug = req(SC_UPD_GROUP);
  ug.u16(h).u32(gid).str("staff").u32(2);
  ok_empty(ug);
  PayloadWriter gg = req(SC_GET_GROUP_BY_ID);
  gg.u16(h).u32(gid);
  {
    const Answer a = call(gg);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), gid);
    EXPECT_EQ(r.str(), "staff");
    EXPECT_EQ(r.u32(), 2u);
  }
  PayloadWriter am = req(SC_ADD_MEMBER);
  am.u16(h).u32(alice_uid_).u32(gid);
  ok_empty(am);
  PayloadWriter ac2 = req(SC_ADD_COLUMN);
  ac2.u16(h).u32(0).u32(0).str("KEY").u8(1).u32(8).u32(1).u32(0).u32(0);
  const uint32_t colid = ok_u32(ac2);
  PayloadWriter gcol = req(SC_GET_COLUMN_BY_ID);
  gcol.u16(h).u32(colid);
  {
    const Answer a = call(gcol);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), colid);
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.str(), "KEY");
    EXPECT_EQ(r.u8(), 1);
    EXPECT_EQ(r.u32(), 8u);
  }
  PayloadWriter at = req(SC_ADD_TABLE);
  at.u16(h).u32(0).u32(1).str("ITEMS").u32(1).u32(1).u16(1).u16(0).u16(0).u32(0);
  const uint32_t tid = ok_u32(at);
  EXPECT_EQ(tid, 100u);
  PayloadWriter gt = req(SC_GET_TABLE_BY_ID);
  gt.u16(h).u32(tid);
  {
    const Answer a = call(gt);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), tid);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.str(), "ITEMS");
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u16(), 1);
  }
  PayloadWriter atc = req(SC_ADD_TABLECOLUMN);
  atc.u16(h).u32(tid).u32(colid).u32(1);
  ok_empty(atc);
  PayloadWriter ai = req(SC_ADD_INDEX);
  ai.u16(h).u32(0).u32(tid).str("ITEMS-KEY").u32(1).u32(4).u8(1).u32(0);
  const uint32_t idxid = ok_u32(ai);
  PayloadWriter gi = req(SC_GET_INDEX_BY_ID);
  gi.u16(h).u32(idxid);
  {
    const Answer a = call(gi);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), idxid);
    EXPECT_EQ(r.u32(), tid);
    EXPECT_EQ(r.str(), "ITEMS-KEY");
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), 4u);
    EXPECT_EQ(r.u8(), 1);
  }
  PayloadWriter as = req(SC_ADD_INDEXSEG);
  as.u16(h).u32(idxid).u8(0).u32(colid).u32(1).u32(0);
  ok_empty(as);
  PayloadWriter ap = req(SC_ADD_PRIVILEGE);
  ap.u16(h).u32(gid).u32(tid).u32(3);
  ok_empty(ap);
  PayloadWriter gp = req(SC_GET_TABLE_PRIVILEGE);
  gp.u16(h).u32(tid).u32(gid);
  {
    const Answer a = call(gp);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), gid);
    EXPECT_EQ(r.u32(), tid);
    EXPECT_EQ(r.u32(), 3u);
  }
  PayloadWriter ati = req(SC_ADD_TABLEINDEX);
  ati.u16(h).u32(tid).u32(idxid);
  ok_empty(ati);
  PayloadWriter gti = req(SC_GET_TABLEINDEX_BY_ID);
  gti.u16(h).u32(tid).u32(idxid);
  {
    const Answer a = call(gti);
    PayloadReader r(a.data, false);
    EXPECT_EQ(r.u32(), tid);
    EXPECT_EQ(r.u32(), idxid);
  }
  PayloadWriter dp = req(SC_DEL_PRIVILEGE);
  dp.u16(h).u32(gid).u32(tid).u32(0);
  ok_empty(dp);
  EXPECT_EQ(refusal(gp), "Privilege for table id " + std::to_string(tid) + " not found");
  PayloadWriter dm = req(SC_DEL_MEMBER);
  dm.u16(h).u32(alice_uid_).u32(gid);
  ok_empty(dm);
  PayloadWriter dg = req(SC_DEL_GROUP);
  dg.u16(h).u32(gid).str("staff").u32(0);
  ok_empty(dg);
  EXPECT_EQ(refusal(gg), "Group id " + std::to_string(gid) + " not found");

  // The rollback takes every row back; the map of the database that is no
  // more is closed first.
  PayloadWriter cd = req(SC_CLOSE_DB);
  cd.u16(h);
  ok_empty(cd);
  ASSERT_EQ(rollback(), 0);
  EXPECT_EQ(SysCat_get_db_by_name("fresh", 0, 0, nullptr), nullptr);
  EXPECT_EQ(SysCat_get_object_by_id(90000, nullptr), nullptr);
  EXPECT_EQ(SysCat_get_vat_by_id(5, nullptr), nullptr);
  EXPECT_EQ(SysCat_get_collate_by_name("c.iso88591", nullptr), nullptr);
  SysCat_USER* alice = SysCat_get_user_by_name("alice", nullptr);
  ASSERT_NE(alice, nullptr);
  free(alice);
}

// A rollback that takes back a database closes its catalog handle first
// (the rollback deletes the nodes the handle holds); a committed
// database's handle stays.
TEST_F(SyscatTest, RollbackClosesHandlesOfItsDatabases) {
  ASSERT_EQ(logon("dba"), 0);
  const uint16_t kept = open_db("sample");
  ASSERT_EQ(begin(), 0);
  PayloadWriter ad = req(SC_ADD_DB);
  ad.u32(0).str("brief").u32(0);
  ok_u32(ad);
  const uint16_t h = open_db("brief");
  ASSERT_EQ(rollback(), 0);
  PayloadWriter gg = req(SC_GET_GROUP_BY_ID);
  gg.u16(h).u32(1);
  EXPECT_EQ(refusal(gg), "Database handle " + std::to_string(h) + " not found");
  PayloadWriter g2 = req(SC_GET_GROUP_BY_ID);
  g2.u16(kept).u32(1);
  EXPECT_TRUE(call(g2).head.ok());
  EXPECT_EQ(SysCat_get_db_by_name("brief", 0, 0, nullptr), nullptr);
}

// A database created and committed; DEL_DB is refused while it is open
// and done once it is closed.
TEST_F(SyscatTest, DelDbRefusedWhileOpen) {
  ASSERT_EQ(logon("dba"), 0);
  ASSERT_EQ(begin(), 0);
  PayloadWriter ad = req(SC_ADD_DB);
  ad.u32(0).str("scratch").u32(0);
  ok_u32(ad);
  ASSERT_EQ(commit(), 0);
  const uint16_t h = open_db("scratch");
  ASSERT_EQ(begin(), 0);
  PayloadWriter dd = req(SC_DEL_DB);
  dd.u32(0).str("scratch").u32(0);
  EXPECT_EQ(refusal(dd), "Failed to delete database \"scratch\"");
  PayloadWriter cd = req(SC_CLOSE_DB);
  cd.u16(h);
  ok_empty(cd);
  EXPECT_EQ(refusal(cd), "Database handle " + std::to_string(h) + " not found");
  ok_empty(dd);
  ASSERT_EQ(commit(), 0);
  EXPECT_EQ(SysCat_get_db_by_name("scratch", 0, 0, nullptr), nullptr);
}

// A digest goes to its owner and the administrators only.
TEST_F(SyscatTest, PasswordDigestOnlyForOwnerAndAdmins) {
  const uint32_t eve_uid = add_eve();
  ASSERT_NE(eve_uid, 0u);
  struct Case {
    const char* user;
    uint32_t want_len;
  };
  for (const Case& c : {Case{"alice", 0}, Case{"dba", 16}}) {
    ASSERT_EQ(logon(c.user), 0);
    PayloadWriter g = req(SC_GET_USER_BY_NAME);
    g.str("eve");
    const Answer a = call(g);
    ASSERT_TRUE(a.head.ok());
    PayloadReader r(a.data, false);
    r.u32();
    r.str();
    r.align(4);
    EXPECT_EQ(r.u32(), c.want_len) << c.user;
  }
}

// SELECT with filter 1 leaves no query; SELECT and FETCH walk a table to
// its end; CLOSE_QUERY drops the query.
TEST_F(SyscatTest, SelectAndFetchWalkATable) {
  ASSERT_EQ(logon("alice"), 0);
  PayloadWriter f1 = req(SC_SELECT);
  f1.u16(0).u32(SysUser_ID).u16(1);
  EXPECT_EQ(refusal(f1), "Filter id 1 not recognized");
  EXPECT_EQ(session_->catalog_query_maps, nullptr);
  PayloadWriter unknown = req(SC_SELECT);
  unknown.u16(0).u32(77).u16(0);
  EXPECT_EQ(refusal(unknown), "System table id 77 not found");
  EXPECT_EQ(session_->catalog_query_maps, nullptr);

  PayloadWriter sel = req(SC_SELECT);
  sel.u16(0).u32(SysUser_ID).u16(0);
  const Answer s = call(sel);
  ASSERT_TRUE(s.head.ok()) << s.head.text;
  PayloadReader r(s.data, false);
  const uint16_t q = r.u16();
  EXPECT_EQ(r.str(), "sysuser");
  r.u32();
  EXPECT_EQ(r.u32(), SysCat_StaticDescr(SysUser_ID)->rec_size);
  const uint32_t count = r.u32();
  EXPECT_EQ(count, 3u);  // dba, public, alice
  EXPECT_EQ(r.u32(), 4u);
  std::vector<std::string> cols;
  for (int i = 0; i < 4; ++i) {
    cols.push_back(r.str());
    r.u8();
    r.u32();
    r.u32();
  }
  EXPECT_EQ(cols, (std::vector<std::string>{"uid", "name", "password", "priv"}));
  EXPECT_EQ(r.left(), 0u);

  PayloadWriter fetch = req(SC_FETCH);
  fetch.u16(q);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    const Answer a = call(fetch);
    ASSERT_TRUE(a.head.ok()) << a.head.text;
    PayloadReader row(a.data, false);
    EXPECT_EQ(row.u32(), uint32_t{SysUser_ID});
    EXPECT_EQ(row.u8(), 1);  // tab_rev
    EXPECT_EQ(row.u8(), 4);  // columns
    row.u8();
    EXPECT_EQ(row.u32(), i + 1);
    EXPECT_EQ(row.u32(), count);
    row.bytes(16);
    EXPECT_EQ(row.u8(), i + 1 == count ? 1 : 0);
    row.u8();
    row.align(4);
    const uint32_t n = row.u32();
    const Bytes packed = row.bytes(n);
    EXPECT_EQ(row.u32(), SysCat_StaticDescr(SysUser_ID)->rec_size);
    EXPECT_EQ(row.left(), 0u);
    // u16 column count, one presence byte, uid, then the name.
    ASSERT_GE(packed.size(), 8u);
    EXPECT_EQ(packed[0] | packed[1] << 8, 4);
    const uint8_t len = packed[7];
    names.emplace_back(packed.begin() + 8, packed.begin() + 8 + len);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"dba", "public", "alice"}));
  EXPECT_EQ(refusal(fetch), "Failed to fetch system catalog record");
  PayloadWriter cq = req(SC_CLOSE_QUERY);
  cq.u16(q);
  ok_empty(cq);
  EXPECT_EQ(refusal(fetch), "Query handle " + std::to_string(q) + " not found");

  // sysdevices has no node: its rows come from the volume table.
  PayloadWriter dev = req(SC_SELECT);
  dev.u16(0).u32(SysDevice_ID).u16(0);
  const Answer ds = call(dev);
  ASSERT_TRUE(ds.head.ok()) << ds.head.text;
  PayloadReader dr(ds.data, false);
  PayloadWriter fdev = req(SC_FETCH);
  fdev.u16(dr.u16());
  EXPECT_EQ(dr.str(), "sysdevices");
  dr.u32();
  dr.u32();
  EXPECT_GE(dr.u32(), 1u);
  const Answer drow = call(fdev);
  EXPECT_TRUE(drow.head.ok()) << drow.head.text;
  PayloadWriter vol = req(SC_GET_VOL_BY_ID);
  vol.u32(1);
  const Answer v = call(vol);
  ASSERT_TRUE(v.head.ok()) << v.head.text;
  EXPECT_EQ(PayloadReader(v.data, false).u32(), 1u);

  // A database's table; closing the database drops its queries.
  ASSERT_EQ(logon("dba"), 0);
  const uint16_t h = open_db("sample");
  PayloadWriter st = req(SC_SELECT);
  st.u16(h).u32(SysTables_ID).u16(0);
  ASSERT_TRUE(call(st).head.ok());
  ASSERT_NE(session_->catalog_query_maps, nullptr);
  PayloadWriter cd = req(SC_CLOSE_DB);
  cd.u16(h);
  ok_empty(cd);
  // Only the server catalog's query on sysdevices is left.
  ASSERT_NE(session_->catalog_query_maps, nullptr);
  EXPECT_EQ(session_->catalog_query_maps->next, nullptr);
  EXPECT_EQ(session_->catalog_query_maps->db, nullptr);
  EXPECT_EQ(session_->catalog_query_maps->sys_id, uint32_t{SysDevice_ID});
}

// Handles wrap after 32767 and skip the handles still in use.
TEST_F(SyscatTest, HandlesWrapAndSkipThoseInUse) {
  ASSERT_EQ(logon("alice"), 0);
  PayloadWriter sel = req(SC_SELECT);
  sel.u16(0).u32(SysDb_ID).u16(0);
  auto select = [&] {
    const Answer a = call(sel);
    EXPECT_TRUE(a.head.ok()) << a.head.text;
    return PayloadReader(a.data, false).u16();
  };
  EXPECT_EQ(select(), 1);  // stays open
  session_->catalog_query_map_counter = kCatMaxHandle - 1;
  EXPECT_EQ(select(), kCatMaxHandle);
  EXPECT_EQ(select(), 2);  // 1 is in use
  // Database maps likewise (alice is no member of the sample database).
  ASSERT_EQ(logon("dba"), 0);
  EXPECT_EQ(open_db("sample"), 1);
  session_->catalog_db_map_counter = kCatMaxHandle;
  EXPECT_EQ(open_db("sample"), 2);
}

// ADD_TABLEPATH: the linked fields derived from the master keyed by the
// column, or taken from the request; no such master refuses it.
TEST_F(SyscatTest, TablePathLinkedFields) {
  ASSERT_EQ(logon("dba"), 0);
  const uint16_t h = open_db("sample");
  ASSERT_EQ(begin(), 0);
  // A second detail set of CUSTOMER: INVOICES {CUST-NO}.
  PayloadWriter at = req(SC_ADD_TABLE);
  at.u16(h).u32(0).u32(1).str("INVOICES").u32(1).u32(0).u16(1).u16(1).u16(0).u32(0);
  const uint32_t inv = ok_u32(at);
  PayloadWriter atc = req(SC_ADD_TABLECOLUMN);
  atc.u16(h).u32(inv).u32(d_.cust_no).u32(1);
  ok_empty(atc);
  PayloadWriter ap = req(SC_ADD_TABLEPATH);
  ap.u16(h).u32(inv).u32(1).u32(d_.cust_no).u32(0);
  ok_empty(ap);
  // A master's path back along it.
  PayloadWriter back = req(SC_ADD_TABLEPATH);
  back.u16(h).u32(d_.customer).u32(2).u32(d_.cust_no).u32(0);
  ok_empty(back);
  // No master is keyed by ORDER-DATE; the explicit form is taken as sent.
  PayloadWriter none = req(SC_ADD_TABLEPATH);
  none.u16(h).u32(inv).u32(2).u32(d_.order_date).u32(0);
  EXPECT_EQ(refusal(none), "Failed to add table path");
  PayloadWriter given = req(SC_ADD_TABLEPATH);
  given.u16(h).u32(inv).u32(3).u32(d_.region).u32(0).u32(d_.regions).u32(2).u32(d_.region);
  ok_empty(given);
  // A short tail of linked fields cannot be decoded.
  PayloadWriter shortw = req(SC_ADD_TABLEPATH);
  shortw.u16(h).u32(inv).u32(4).u32(d_.region).u32(0).u32(1);
  EXPECT_EQ(dispatch(shortw.bytes()), -1);

  std::vector<SysCat_TABLEPATH> paths;
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  Node* tx = session_->db_session->ssn.tx_node;
  SysCat_DB_CATALOG* cat = SysCat_db_open(db, tx);
  free(db);
  ASSERT_NE(cat, nullptr);
  SysCat_GETSTATE st;
  void* row = nullptr;
  for (int rc = SysCat_get(cat, SysTablePath_ID, 0, nullptr, &st, &row, tx); rc == 0;
       rc = SysCat_get(cat, SysTablePath_ID, 1, nullptr, &st, &row, tx)) {
    paths.push_back(*static_cast<SysCat_TABLEPATH*>(row));
    free(row);
  }
  SysCat_db_close(cat);
  ASSERT_EQ(paths.size(), 7u);
  const SysCat_TABLEPATH& p = paths[4];
  EXPECT_EQ(p.tableid, inv);
  EXPECT_EQ(p.linkedtableid, d_.customer);
  EXPECT_EQ(p.linkedidx, 2u);  // ORDERS leads to CUSTOMER already
  EXPECT_EQ(p.linkedcolid, d_.cust_no);
  const SysCat_TABLEPATH& m = paths[5];
  EXPECT_EQ(m.tableid, d_.customer);
  EXPECT_EQ(m.linkedtableid, inv);
  EXPECT_EQ(m.linkedidx, 1u);
  EXPECT_EQ(m.linkedcolid, d_.cust_no);
  EXPECT_EQ(paths[6].linkedtableid, d_.regions);
  EXPECT_EQ(paths[6].linkedidx, 2u);
  ASSERT_EQ(rollback(), 0);
}

// Fields that cannot be decoded close the connection without a reply.
TEST_F(SyscatTest, UndecodableRequestsClose) {
  ASSERT_EQ(logon("dba"), 0);
  PayloadWriter s1 = req(SC_GET_USER_BY_ID);
  s1.u16(1);
  EXPECT_EQ(dispatch(s1.bytes()), -1);
  PayloadWriter s2 = req(SC_GET_USER_BY_NAME);
  s2.u16(4).raw("abc", 3);  // no NUL
  EXPECT_EQ(dispatch(s2.bytes()), -1);
  Bytes no_type = {1, 0, 4, 0};
  EXPECT_EQ(dispatch(no_type), -1);
}

}  // namespace

// Every request field whose text reaches a log line is escaped there: a
// client that puts a newline into it cannot start a line of its own (a
// forged "(99999) P0:" line), however the field is logged (the request's
// own lines, the access layer's and the catalog's lookups, their
// failures). Each field's escaped form must be in the log, so the case
// shows that the field was logged at all.
TEST_F(SyscatTest, ClientTextsReachTheLogEscaped) {
  const std::string evil = "x\n(99999) P0: *** forged";
  const std::string escaped = "x\\n(99999) P0: *** forged";
  struct Case {
    const char* field;
    const char* user;  // logged on first (none: stays as it is)
    bool in_tx;
    std::function<Bytes()> request;
  };
  const std::vector<Case> cases = {
      {"LOGON user", nullptr, false,
       [&] { PayloadWriter w = dbml_writer(9, DBML_LOGON); w.str(evil).str(""); return w.bytes(); }},
      {"DBOPEN database", nullptr, false,
       [&] { PayloadWriter w = dbml_writer(5, DBML_OPEN); w.str(evil).str("").u8(1); return w.bytes(); }},
      {"BEGIN comment", "alice", false,
       [&] { PayloadWriter w = dbml_writer(10, DBML_BEGIN); w.u8(1).u8(0).u32(1).str(evil); return w.bytes(); }},
      {"GET_USER_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_GET_USER_BY_NAME); w.str(evil); return w.bytes(); }},
      {"GET_DB_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_GET_DB_BY_NAME); w.str(evil).u32(0).u32(0); return w.bytes(); }},
      {"OPEN_DB_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_OPEN_DB_BY_NAME); w.str(evil).u32(0).u32(0); return w.bytes(); }},
      {"GET_OBJECT_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_GET_OBJECT_BY_NAME); w.str(evil); return w.bytes(); }},
      {"GET_VAT_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_GET_VAT_BY_NAME); w.str(evil); return w.bytes(); }},
      {"GET_COLLATE_BY_NAME", "alice", false,
       [&] { PayloadWriter w = req(SC_GET_COLLATE_BY_NAME); w.str(evil); return w.bytes(); }},
      {"ADD_USER name", "dba", true,
       [&] { PayloadWriter w = req(SC_ADD_USER); w.u32(0).str(evil).align(4).obj({}).u32(4); return w.bytes(); }},
      {"ADD_DB name", "dba", true,
       [&] { PayloadWriter w = req(SC_ADD_DB); w.u32(0).str(evil).u32(0); return w.bytes(); }},
      {"MGMT word", "alice", false,
       [&] { return testsupport::encode_mgmt(40, {"list", evil}); }},
  };
  for (const Case& c : cases) {
    if (c.user != nullptr) {
      ASSERT_EQ(logon(c.user), 0) << c.field;
    }
    if (c.in_tx) {
      ASSERT_EQ(begin(), 0) << c.field;
    }
    std::string text;
    {
      testsupport::LogCapture log("*3");
      Bytes reply;
      EXPECT_EQ(dispatch(c.request(), &reply), 0) << c.field;
      text = log.text();
    }
    // BEGIN's case opened the transaction itself.
    if (c.in_tx || strcmp(c.field, "BEGIN comment") == 0) {
      ASSERT_EQ(rollback(), 0) << c.field;
    }
    EXPECT_NE(text.find(escaped), std::string::npos) << c.field << "\n" << text;
    EXPECT_EQ(text.find("\n(99999)"), std::string::npos) << c.field << "\n" << text;
  }
  // The handshake's texts, on a connection of their own.
  testsupport::StartupMessage m;
  m.platform = evil;
  m.os_user = evil;
  ClientSession* other = testsupport::new_client_session();
  ASSERT_NE(other, nullptr);
  std::string text;
  {
    testsupport::LogCapture log("*3");
    testsupport::dispatch_payload(other, testsupport::encode_startup(m));
    text = log.text();
  }
  testsupport::end_client_session(other);
  EXPECT_NE(text.find(escaped), std::string::npos) << text;
  EXPECT_EQ(text.find("\n(99999)"), std::string::npos) << text;
}

// Rows of sysuser leave the server through FETCH as through
// GET_USER_BY_NAME: the digest only for its owner and the administrators;
// a public session (empty LOGON) reads none.
TEST_F(SyscatTest, FetchOfSysuserMasksOthersDigests) {
  const uint32_t eve_uid = add_eve();
  ASSERT_NE(eve_uid, 0u);
  const Bytes digest(16, 0x11);
  struct Case {
    const char* user;
    bool sees;
  };
  for (const Case& c : {Case{"", false}, Case{"alice", false}, Case{"eve", true}, Case{"dba", true}}) {
    SCOPED_TRACE(c.user);
    PayloadWriter lw = dbml_writer(9, DBML_LOGON);
    lw.str(c.user).str(*c.user == 'e' ? testsupport::client_password_hex(challenge_, "x") : "");
    if (*c.user == 'e') {
      // eve's stored digest is no password's: log on as the catalog does.
      idb_session* s = session_->db_session;
      free(s->user_name);
      s->user_name = strdup("eve");
      s->uid = eve_uid;
      s->caps = IDB_CAP_CONNECT;
    } else {
      ASSERT_EQ(dbml(lw).words[0], 0);
    }
    PayloadWriter sel = req(SC_SELECT);
    sel.u16(0).u32(SysUser_ID).u16(0);
    const Answer s = call(sel);
    ASSERT_TRUE(s.head.ok()) << s.head.text;
    PayloadReader sr(s.data, false);
    const uint16_t q = sr.u16();
    PayloadWriter fetch = req(SC_FETCH);
    fetch.u16(q);
    bool seen = false;
    for (int i = 0; i < 4; ++i) {
      const Answer a = call(fetch);
      ASSERT_TRUE(a.head.ok()) << a.head.text;
      seen = seen || std::search(a.data.begin(), a.data.end(), digest.begin(), digest.end()) !=
                         a.data.end();
    }
    EXPECT_EQ(seen, c.sees);
    PayloadWriter cq = req(SC_CLOSE_QUERY);
    cq.u16(q);
    ok_empty(cq);
  }
}

// A user administrator without the dba capability gives no capability it
// lacks (not to itself, not to a new user) and leaves a dba's row alone;
// the dba may do all of it.
TEST_F(SyscatTest, UserAdministratorCannotMakeItselfDba) {
  const uint32_t admin = testsupport::add_user("uadm", IDB_CAP_USERADM | IDB_CAP_CONNECT);
  ASSERT_NE(admin, 0u);
  SysCat_USER* dba = SysCat_get_user_by_name("dba", nullptr);
  ASSERT_NE(dba, nullptr);
  const uint32_t dba_uid = dba->uid;
  const uint32_t dba_priv = dba->priv;
  free(dba);
  const uint32_t kUadm = IDB_CAP_USERADM | IDB_CAP_CONNECT;
  const uint32_t kAll = IDB_CAP_DBA | kUadm;
  struct Case {
    const char* what;
    uint16_t type;
    uint32_t uid;
    const char* name;
    uint32_t priv;
    bool allowed;
  };
  const Case cases[] = {
      {"raise its own priv to dba", SC_UPD_USER, admin, "uadm", kAll, false},
      {"add a dba", SC_ADD_USER, 0, "newdba", kAll, false},
      {"reset dba's password", SC_UPD_USER, dba_uid, "dba", dba_priv, false},
      {"take dba's capability away", SC_UPD_USER, dba_uid, "dba", IDB_CAP_CONNECT, false},
      {"delete dba", SC_DEL_USER, dba_uid, "dba", dba_priv, false},
      {"add a plain user", SC_ADD_USER, 0, "plain", IDB_CAP_CONNECT, true},
      {"add a user administrator", SC_ADD_USER, 0, "uadm2", kUadm, true},
      {"change alice", SC_UPD_USER, alice_uid_, "alice", IDB_CAP_CONNECT, true},
      {"delete alice", SC_DEL_USER, alice_uid_, "alice", IDB_CAP_CONNECT, true},
  };
  for (const char* who : {"uadm", "dba"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(who) + ": " + c.what);
      ASSERT_EQ(logon(who), 0);
      ASSERT_EQ(begin(), 0);
      PayloadWriter w = req(c.type);
      w.u32(c.uid).str(c.name).align(4).obj({}).u32(c.priv);
      const Answer a = call(w);
      const bool want = c.allowed || strcmp(who, "dba") == 0;
      EXPECT_EQ(a.head.ok(), want) << a.head.text;
      if (!want) {
        EXPECT_EQ(a.head.text.rfind("Permission denied", 0), 0u) << a.head.text;
      }
      ASSERT_EQ(rollback(), 0);
    }
  }
  SysCat_USER* after = SysCat_get_user_by_id(admin, nullptr);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->priv, kUadm);
  free(after);
}

// One connection holds at most MaxHandles catalog database handles and as
// many query handles (the texts of all handles in use); one closed makes
// room again. Before, 32,767 of each could be held, some 170 MB a
// connection.
TEST_F(SyscatTest, HandlesHeldAreBoundedByMaxHandles) {
  srv_.max_handles = 4;
  ASSERT_EQ(logon("dba"), 0);
  std::vector<uint16_t> dbs;
  for (int i = 0; i < 4; ++i) dbs.push_back(open_db("sample"));
  PayloadWriter more = req(SC_OPEN_DB_BY_NAME);
  more.str("sample").u32(0).u32(0);
  EXPECT_EQ(refusal(more), "No more database slots available");
  PayloadWriter close = req(SC_CLOSE_DB);
  close.u16(dbs.back());
  ok_empty(close);
  EXPECT_NE(open_db("sample"), 0);
  PayloadWriter sel = req(SC_SELECT);
  sel.u16(0).u32(SysUser_ID).u16(0);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(call(sel).head.ok());
  EXPECT_EQ(refusal(sel), "No more query slots available");
  srv_.max_handles = 0;
  EXPECT_EQ(session_max_held(), kDefaultMaxHeld);
}
