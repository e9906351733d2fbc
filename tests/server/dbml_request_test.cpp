// The DBML request class on a session record over the sample database in
// memory, without sockets: the status reply's golden bytes and masks, the
// DBOPEN schema block, DBFIND over the stored sample, the logon with its
// cipher-text refusals, explicit transactions (the pre-committed outermost
// transaction included), and the undecodable requests that close without
// a reply.
#include "server/dbml_request.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_lookup.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/logon_password.h"
#include "base/server_config.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "server/client_session.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/schema_block.h"
#include "server/server_seams.h"
#include "storage/fixrec.h"
#include "storage/task_runner.h"
#include "storage/tlog.h"
#include "support/log_capture.h"
#include "support/logon_cipher.h"
#include "support/sample_db.h"
#include "support/server_session.h"
#include "support/zent_client.h"

#if defined(ZENT_ASAN) || defined(ZENT_TSAN)
// The sanitizers' allocator hook (their runtime has it; GCC ships no
// header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#else
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
#endif

// Allocations made on this thread while counting is on; under the
// sanitizers through their allocator hook, otherwise through malloc,
// calloc and realloc replaced for this program (operator new comes
// through malloc).
namespace {
thread_local bool t_counting = false;
thread_local int t_allocations = 0;
}  // namespace
#if defined(ZENT_ASAN) || defined(ZENT_TSAN)
namespace {
void count_malloc(const volatile void*, size_t) {
  if (t_counting) ++t_allocations;
}
void ignore_free(const volatile void*) {}
[[maybe_unused]] const int g_hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(count_malloc, ignore_free);
}  // namespace
#else
extern "C" void* malloc(size_t n) {
  if (t_counting) ++t_allocations;
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
  if (t_counting) ++t_allocations;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
  if (t_counting) ++t_allocations;
  return __libc_realloc(p, n);
}
#endif

namespace {

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::dbml_writer;

class DbmlTest : public testsupport::ServerSessionFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_log());
    ASSERT_EQ(testsupport::write_sample_db_stored("sample", &d_), 0);
    ASSERT_EQ(testsupport::add_sample_records(d_), 0);
    ASSERT_EQ(testsupport::add_sample_users("sample", d_), 0);
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    ASSERT_NE(db, nullptr);
    cat_ = SysCat_db_open(db);
    free(db);
    ASSERT_NE(cat_, nullptr);
    open_session();
  }
  void TearDown() override {
    close_session();
    SysCat_db_close(cat_);
    ServerSessionFixture::TearDown();
  }

  DbmlStatus call(const PayloadWriter& w, Bytes* rest = nullptr) { return dbml_call(w, rest); }
  DbmlStatus logon(const std::string& user, const std::string& cipher) {
    PayloadWriter w = dbml_writer(9, DBML_LOGON);
    w.str(user).str(cipher);
    return call(w);
  }
  DbmlStatus begin(uint8_t tx_lvl, uint32_t tx_id, const std::string& comment = "") {
    PayloadWriter w = dbml_writer(10, DBML_BEGIN);
    w.u8(1).u8(tx_lvl).u32(tx_id).str(comment);
    return call(w);
  }
  DbmlStatus precommit(uint8_t mode, uint8_t tx_lvl) {
    PayloadWriter w = dbml_writer(11, DBML_PRECOMMIT);
    w.u8(mode).u8(tx_lvl);
    return call(w);
  }
  DbmlStatus final_commit() { return call(dbml_writer(12, DBML_FINALCOMMIT)); }
  DbmlStatus rollback(uint8_t tx_lvl, uint32_t tx_id) {
    PayloadWriter w = dbml_writer(13, DBML_ROLLBACK);
    w.u8(1).u8(tx_lvl).u32(tx_id);
    return call(w);
  }
  uint32_t depth() { return Tlog_TxDepth(session_->db_session->ssn.tx_node); }
  // alice logs on and opens the sample in mode 1: the dbid (0 on a
  // failure), the DBOPEN reply's bytes after the status in *schema.
  uint16_t open_as_alice(Bytes* schema = nullptr) {
    if (logon("alice", testsupport::client_password_hex(challenge_, "secret")).words[0] != 0)
      return 0;
    PayloadWriter w = dbml_writer(5, DBML_OPEN);
    w.str("sample").str("").u8(1);
    Bytes rest;
    const DbmlStatus st = call(w, &rest);
    if (schema != nullptr) *schema = rest;
    return st.words[0] == 0 ? static_cast<uint16_t>(st.words[9]) : 0;
  }

  SysCat_DB_CATALOG* cat_ = nullptr;
};

TEST_F(DbmlTest, NameTable) {
  EXPECT_STREQ(dbml_request_name(1), "DBOPEN");
  EXPECT_STREQ(dbml_request_name(8), "DBGET");
  EXPECT_STREQ(dbml_request_name(17), "PRE-COMMIT");
  EXPECT_STREQ(dbml_request_name(18), "FINAL-COMMIT");
  EXPECT_STREQ(dbml_request_name(0), "** unknown **");
  EXPECT_STREQ(dbml_request_name(19), "** unknown **");
}

// A failing DBOPEN, byte for byte: -11 for an empty name, mask 1009.
TEST_F(DbmlTest, FailingDbopenGoldenBytes) {
  PayloadWriter w = dbml_writer(0x0102, DBML_OPEN);
  w.str("").str("").u8(1);
  EXPECT_EQ(w.bytes(), (Bytes{0x02, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00,
                              0x00, 0x01}));
  Bytes reply;
  ASSERT_EQ(dispatch(w.bytes(), &reply), 0);
  EXPECT_EQ(reply, testsupport::kFailingDbopenReply);
  EXPECT_EQ(reply.size(), kDbmlStatusReplySize);
}

// DBOPEN's reply carries the schema block: its head, its size by the
// formula, and the session's access to each set.
TEST_F(DbmlTest, DbopenReplyCarriesTheSchemaBlock) {
  ASSERT_EQ(logon("alice", testsupport::client_password_hex(challenge_, "secret")).words[0], 0);
  PayloadWriter w = dbml_writer(5, DBML_OPEN);
  w.str("sample").str("pw").u8(13);
  Bytes rest;
  const DbmlStatus st = call(w, &rest);
  ASSERT_EQ(st.words[0], 0);
  EXPECT_EQ(st.mask, 1023);
  const int32_t dbid = st.words[9];
  ASSERT_GT(dbid, 0);
  const db_ctx* ctx = idb__get_db_ctx(session_->db_session, dbid);
  ASSERT_NE(ctx, nullptr);
  const global& g = ctx->root->g;

  // 46 bytes, then align 4 (2 bytes), then the obj.
  Bytes full(46, 0);
  full.insert(full.end(), rest.begin(), rest.end());
  PayloadReader r(full, false);
  r.bytes(46);
  r.align(4);
  EXPECT_EQ(r.pos(), 48u);
  const uint32_t n = r.u32();
  uint64_t want = 16 + 32ull * g.item_cnt + 120ull * g.iitem_cnt + 36ull * g.set_cnt;
  for (int i = 0; i < g.set_cnt; ++i)
    want += 4ull * (3 * g.set[i].s.path_cnt + 2 * g.set[i].s.index_cnt + g.set[i].s.item_cnt);
  EXPECT_EQ(n, want);
  EXPECT_EQ(r.left(), n);
  const Bytes block = r.bytes(n);
  PayloadReader b(block, false);
  EXPECT_EQ(b.u32(), kSchemaBlockFormat);
  EXPECT_EQ(b.u32(), static_cast<uint32_t>(g.item_cnt));
  EXPECT_EQ(b.u32(), static_cast<uint32_t>(g.iitem_cnt));
  EXPECT_EQ(b.u32(), static_cast<uint32_t>(g.set_cnt));
  EXPECT_EQ(g.set_cnt, 3);
  EXPECT_EQ(g.iitem_cnt, 1);
  // The first item record: its name, then type, elements, size, format.
  const Bytes first = b.bytes(32);
  EXPECT_EQ(std::string(first.begin(), first.begin() + 16),
            std::string(g.item[0].name, g.item[0].name + 16));
  b.bytes(32 * (g.item_cnt - 1));
  const Bytes iitem = b.bytes(120);
  EXPECT_EQ(std::string(iitem.begin(), iitem.begin() + 6), "ORD-IX");
  // Sets: name, type, counts, access flags (3 read and write, 1 read, 0 none).
  std::vector<uint32_t> flags;
  for (int i = 0; i < g.set_cnt; ++i) {
    const Bytes name = b.bytes(16);
    EXPECT_EQ(std::string(name.begin(), name.end()), std::string(g.set[i].s.name, 16));
    EXPECT_EQ(b.u32(), g.set[i].s.type);
    const uint32_t items = b.u32(), paths = b.u32(), indexes = b.u32();
    EXPECT_EQ(items, g.set[i].s.item_cnt);
    flags.push_back(b.u32());
    for (uint32_t k = 0; k < items; ++k)
      EXPECT_EQ(b.u32(), static_cast<uint32_t>(g.set[i].entry[k].item));
    b.bytes(4 * (3 * paths + 2 * indexes));
  }
  EXPECT_FALSE(b.failed());
  EXPECT_EQ(b.left(), 0u);
  EXPECT_EQ(flags, (std::vector<uint32_t>{1, 0, 3}));  // CUSTOMER, REGIONS, ORDERS

  // DBCLOSE that succeeds answers with mask 1009.
  PayloadWriter c = dbml_writer(6, DBML_CLOSE);
  c.u16(static_cast<uint16_t>(dbid)).u8(1).u16(0);
  const DbmlStatus closed = call(c);
  EXPECT_EQ(closed.words[0], 0);
  EXPECT_EQ(closed.mask, 1009);
  EXPECT_EQ(closed.words[5], 403 + 13 * 4096);
  // The dbid is gone.
  const DbmlStatus again = call(c);
  EXPECT_EQ(again.words[0], S_BADID);
  EXPECT_EQ(again.mask, kDbmlFailMask);
}

// A reply that cannot take the schema block answers -700 with the code in
// word 9, and the database is closed again.
TEST_F(DbmlTest, SchemaBlockThatDoesNotFitAnswers700) {
  ASSERT_EQ(logon("boss", testsupport::client_password_hex(challenge_, "boss-pw")).words[0], 0);
  Buffer_SetSendLimit(&session_->buffer, 100);
  PayloadWriter w = dbml_writer(5, DBML_OPEN);
  w.str("sample").str("").u8(13);
  const DbmlStatus st = call(w);
  Buffer_SetSendLimit(&session_->buffer, kBufferDefaultSendLimit);
  EXPECT_EQ(st.words[0], IDB_RC_SCHEMA_BLOCK);
  EXPECT_EQ(st.words[9], S_SYSTEM);
  EXPECT_EQ(st.mask, kDbmlFailMask);
  EXPECT_EQ(session_->db_session->db_list, nullptr);
}

// DBGET writes the record straight into the reply: 46 bytes, align 4, then
// exactly the buffer size, the bytes past the record zeroed.
TEST_F(DbmlTest, DbgetReplyHasExactlyTheBufferSize) {
  Bytes schema;
  const uint16_t dbid = open_as_alice(&schema);  // leaves a long reply in the send area
  ASSERT_GT(schema.size(), 400u);

  Bytes reply;
  const Bytes recno = {2, 0, 0, 0};
  testsupport::LogCapture log("P2");
  ASSERT_EQ(dispatch(testsupport::dbml_get_request(0x0304, dbid, 3, 4, 100, recno).bytes(), &reply),
            0);
  EXPECT_NE(log.text().find("Processing dbml request type 8 (DBGET)"), std::string::npos);
  EXPECT_NE(log.text().find("dbml_get(): dbid = " + std::to_string(dbid) +
                            " setno = 3 mode = 4 buffer size = 100"),
            std::string::npos)
      << log.text();
  EXPECT_NE(log.text().find(" status[1] = 30"), std::string::npos);
  ASSERT_EQ(reply.size(), 46u + 2 + 100);
  PayloadReader r(reply, false);
  DbmlStatus st;
  ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
  EXPECT_EQ(st.request_id, 0x0304);
  EXPECT_EQ(st.zero, 0);
  EXPECT_EQ(st.mask, 1023);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[1], 30);  // rec_len of ORDERS
  EXPECT_EQ(st.words[3], 2);
  EXPECT_EQ(st.words[5], 0);  // a detail set
  EXPECT_EQ(Bytes(reply.begin() + 46, reply.begin() + 48), (Bytes{0, 0}));
  const Bytes data(reply.begin() + 48, reply.end());
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{102, 0, 0, 0}));  // ORDER-NO
  EXPECT_EQ(std::string(data.begin() + 4, data.begin() + 16), "C001    WEST");
  EXPECT_EQ(Bytes(data.begin() + 30, data.end()), Bytes(70, 0));

  const Bytes key = {'C', '0', '0', '2', ' ', ' ', ' ', ' '};
  struct Read {
    const char* what;
    uint16_t setno;
    uint8_t mode;
    uint32_t size;
    Bytes arg;
    int32_t recno;
    std::string head;
  };
  const Read reads[] = {
      {"exact size", 3, 4, 30, {5, 0, 0, 0}, 5, "\x69"},
      {"past the schema reply", 3, 4, 1000, {1, 0, 0, 0}, 1, "\x65"},
      {"calculated", 1, 7, 28, key, 2, "C002    Bo Lindqvist"},
      {"serial, on from the cursor", 1, 2, 64, {}, 3, "C003    Cy Okafor"},
  };
  for (const Read& rd : reads) {
    const Bytes req =
        testsupport::dbml_get_request(7, dbid, rd.setno, rd.mode, rd.size, rd.arg).bytes();
    ASSERT_EQ(dispatch(req, &reply), 0) << rd.what;
    ASSERT_EQ(reply.size(), 48u + rd.size) << rd.what;
    PayloadReader rr(reply, false);
    ASSERT_TRUE(testsupport::read_dbml_status(rr, &st));
    EXPECT_EQ(st.words[0], 0) << rd.what;
    EXPECT_EQ(st.words[3], rd.recno) << rd.what;
    EXPECT_EQ(std::string(reply.begin() + 48, reply.begin() + 48 + rd.head.size()), rd.head)
        << rd.what;
    const uint32_t rec_len = static_cast<uint32_t>(st.words[1]);
    EXPECT_EQ(Bytes(reply.begin() + 48 + rec_len, reply.end()), Bytes(rd.size - rec_len, 0))
        << rd.what;
  }
}

// The DBGET example of docs/protocol.md, both ways, byte for byte.
TEST_F(DbmlTest, DbgetExampleOfTheProtocolNote) {
  ASSERT_EQ(open_as_alice(), 1);
  const Bytes request = testsupport::dbml_get_request(5, 1, 1, 4, 100, {1, 0, 0, 0}).bytes();
  EXPECT_EQ(testsupport::frame(request),
            (Bytes{0, 0, 0, 0x17, 5, 0, 3, 0, 8, 0, 1, 0, 1, 0, 4, 2, 0, '@', 0, 100, 0, 0, 0, 1,
                   0, 0, 0}));
  Bytes reply;
  ASSERT_EQ(dispatch(request, &reply), 0);
  Bytes want = {5, 0, 0, 0, 0xff, 0x03,   // id 5, 0, mask 1023
                0, 0, 0, 0, 28, 0, 0, 0,  // words 0, 1
                0, 0, 0, 0, 1,  0, 0, 0,  // words 2, 3
                0, 0, 0, 0, 1,  0, 0, 0,  // words 4, 5
                0, 0, 0, 0, 0,  0, 0, 0,  // words 6, 7
                0, 0, 0, 0, 0,  0, 0, 0,  // words 8, 9
                0, 0};                    // align 4
  const std::string record = "C001    Ada Fischer         ";
  want.insert(want.end(), record.begin(), record.end());
  want.resize(148, 0);
  EXPECT_EQ(reply, want);
}

// A failing DBGET answers the 46-byte status reply alone, mask 1009; a
// buffer shorter than the record is refused with -21 once dbid and set are
// known good.
// A DBGET of a record in the cache makes no allocation at all: the node
// stays referenced, the work buffer comes from the free list, the reply
// goes into the session's own area.
// A DBGET mode 4 of ORDERS record 2 into a 100-byte buffer, handed over as
// the worker hands a request it received, without checking the reply (so
// that nothing but the call itself is measured).
class CachedDbgetTest : public DbmlTest {
 protected:
  void SetUp() override {
    DbmlTest::SetUp();
    const uint16_t dbid = open_as_alice();
    ASSERT_NE(dbid, 0);
    req_ = testsupport::dbml_get_request(7, dbid, 3, 4, 100, {2, 0, 0, 0}).bytes();
    ASSERT_EQ(run(), 0);  // the first read references the node and fills the cache
  }
  int run() { return run_on(session_, req_); }
  static int run_on(ClientSession* session, const Bytes& req) {
    Buffer* buf = &session->buffer;
    Buffer_RecvReset(buf);
    uint8_t* p = Buffer_RecvArea(buf, static_cast<uint32_t>(req.size()));
    if (p == nullptr) return -2;
    memcpy(p, req.data(), req.size());
    if (Buffer_Get_u16(buf, &session->request_id) != 0) return -1;
    const int rc = handle_request(session);
    session->async_state = AS_IDLE;
    return rc;
  }

  Bytes req_;
};

TEST_F(CachedDbgetTest, AllocatesNothing) {
  auto run = [this] { return this->run(); };
  t_counting = true;
  void* volatile probe = malloc(16);  // the counter sees what it should
  free(probe);
  t_counting = false;
  ASSERT_EQ(t_allocations, 1);
  t_allocations = 0;
  t_counting = true;
  int rc = 0;
  for (int i = 0; i < 10 && rc == 0; ++i) rc = run();
  t_counting = false;
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(t_allocations, 0);
  ASSERT_EQ(session_->async_total_sz, 4u + 46 + 2 + 100);
  EXPECT_EQ(session_->send_ptr[4 + 6], 0);  // status word 0
}

// Run as a worker runs it, in a task of the kernel beside another runnable
// task of the worker's priority: a cached read neither sleeps nor yields,
// so its task is never scheduled again before it ends and the other task
// gets no turn in between.
TEST_F(CachedDbgetTest, NeverGivesUpItsTask) {
  static ClientSession* session;
  static const Bytes* req;
  static int rc;
  static unsigned runs_before, runs_after;
  static int neighbour_turns;
  static bool done;
  session = session_;
  req = &req_;
  rc = 0;
  neighbour_turns = 0;
  done = false;
  storage_test::TaskRunner runner;
  ASSERT_TRUE(runner.run({+[] {
                            Task* self = thread_self();
                            // Its data is the session, as a worker's is.
                            thread_set_data(self, session, +[](void*) {});
                            thread_yield();  // both tasks are under way
                            runs_before = self->runs;
                            const int turns = neighbour_turns;
                            for (int i = 0; i < 10 && rc == 0; ++i) rc = run_on(session, *req);
                            runs_after = self->runs;
                            if (neighbour_turns != turns) rc = -100;
                            thread_set_data(self, nullptr);
                            done = true;
                          },
                          +[] {
                            while (!done) {
                              ++neighbour_turns;
                              thread_yield();
                            }
                          }}));
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(runs_after, runs_before);
  EXPECT_EQ(session_->async_total_sz, 4u + 46 + 2 + 100);
}

TEST_F(DbmlTest, FailingDbgetAnswers46Bytes) {
  const uint16_t dbid = open_as_alice();
  struct Failing {
    const char* what;
    uint16_t dbid;
    uint16_t setno;
    uint8_t mode;
    uint32_t size;
    Bytes arg;
    int32_t want;
  };
  const Bytes one = {1, 0, 0, 0};
  const Failing cases[] = {
      {"buffer below rec_len", dbid, 3, 4, 29, one, S_BAD},
      {"buffer of 0", dbid, 3, 4, 0, one, S_BAD},
      {"unknown dbid first", static_cast<uint16_t>(dbid + 1), 3, 4, 0, one, S_BADID},
      {"unknown set", dbid, 9, 4, 100, one, S_BAD},
      {"set without read access", dbid, 2, 4, 100, one, S_BAD},
      {"bad mode", dbid, 3, 9, 100, {}, S_BADMODE},
      {"no such record", dbid, 3, 4, 100, {99, 0, 0, 0}, S_NOREC},
  };
  for (const Failing& c : cases) {
    Bytes reply;
    const Bytes req =
        testsupport::dbml_get_request(8, c.dbid, c.setno, c.mode, c.size, c.arg).bytes();
    ASSERT_EQ(dispatch(req, &reply), 0) << c.what;
    EXPECT_EQ(reply.size(), kDbmlStatusReplySize) << c.what;
    PayloadReader r(reply, false);
    DbmlStatus st;
    ASSERT_TRUE(testsupport::read_dbml_status(r, &st));
    EXPECT_EQ(st.words[0], c.want) << c.what;
    EXPECT_EQ(st.mask, kDbmlFailMask) << c.what;
    EXPECT_EQ(st.words[5], IDB_GET) << c.what;
    EXPECT_EQ(st.words[8], c.mode) << c.what;
  }
  // A buffer larger than any reply may be cannot be answered: the
  // connection closes.
  EXPECT_EQ(
      dispatch(testsupport::dbml_get_request(8, dbid, 3, 4, kBufferDefaultSendLimit, one).bytes()),
      -1);
}

class DbmlFindTest : public DbmlTest {
 protected:
  static PayloadWriter find(uint16_t id, uint16_t dbid, uint16_t setno, uint8_t mode,
                            uint16_t itemno, const Bytes& arg) {
    PayloadWriter w = dbml_writer(id, DBML_FIND);
    w.u16(dbid).u16(setno).u8(mode).u16(itemno).align(4).obj(arg);
    return w;
  }
};

Bytes counted(const std::string& text) {
  Bytes b(4);
  const uint32_t n = static_cast<uint32_t>(text.size());
  memcpy(b.data(), &n, 4);
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

// DBFIND mode 1 counting the "EAST" keys of ORD-IX on ORDERS (set 3; the
// index item is numbered after the 7 items), byte for byte.
TEST_F(DbmlFindTest, CountGoldenBytes) {
  const uint16_t dbid = open_as_alice();
  ASSERT_EQ(dbid, 1);
  const PayloadWriter w = find(7, dbid, 3, 1, 8, counted("EAST"));
  EXPECT_EQ(w.bytes(), (Bytes{0x07, 0x00, 0x03, 0x00, 0x07, 0x00,  // id 7, class 3, DBFIND
                              0x01, 0x00, 0x03, 0x00, 0x01,        // dbid 1, setno 3, mode 1
                              0x08, 0x00,                          // itemno 8
                              0x00, 0x00, 0x00,                    // align 4
                              0x08, 0x00, 0x00, 0x00,              // obj count 8
                              0x04, 0x00, 0x00, 0x00, 'E', 'A', 'S', 'T'}));
  Bytes reply;
  ASSERT_EQ(dispatch(w.bytes(), &reply), 0);
  const Bytes want = {
      0x07, 0x00, 0x00, 0x00, 0xff, 0x03,  // id 7, 0, mask 1023
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // words 0-4
      0x02, 0, 0, 0,                       // word 5: 2 keys
      0, 0, 0, 0,                          // word 6
      0x01, 0, 0, 0,                       // word 7: the first key's record
      0, 0, 0, 0,                          // word 8
      0x03, 0, 0, 0,                       // word 9: the last key's record
  };
  EXPECT_EQ(reply, want);
}

TEST_F(DbmlFindTest, StatusRepliesOfFinds) {
  const uint16_t dbid = open_as_alice();
  struct Case {
    const char* what;
    uint16_t setno;
    uint8_t mode;
    uint16_t itemno;
    Bytes arg;
    int32_t code, w5, w7, w9;
  };
  const global& g = idb__get_db_ctx(session_->db_session, dbid)->root->g;
  const uint16_t cust_no = static_cast<uint16_t>(idb__find_item(&g, "CUST-NO") + 1);
  const Bytes c001 = {'C', '0', '0', '1', ' ', ' ', ' ', ' '};
  const Case cases[] = {
      {"path chain of C001", 3, 1, cust_no, c001, 0, 3, 4, 2},
      {"position before WEST", 3, 2, 8, counted("WEST"), 0, 0, 0, 0},
      {"pattern", 3, 4, 8, counted("*T"), 0, 0, 0, 0},
      {"no such key", 3, 1, 8, counted("NORT"), S_NOREC, IDB_FIND, 0, 0},
      {"short master key", 3, 1, cust_no, Bytes(c001.begin(), c001.begin() + 4), S_BAD, IDB_FIND, 0, 0},
      {"count past the bytes", 3, 1, 8, Bytes{9, 0, 0, 0, 'E'}, S_BAD, IDB_FIND, 0, 0},
      {"trailing escape", 3, 4, 8, counted("EA\\"), IDB_RC_BAD_PATTERN, IDB_FIND, 0, 0},
      {"mode 6", 3, 6, 8, counted("EAST"), S_BADMODE, IDB_FIND, 0, 0},
      {"set without access", 2, 1, 8, counted("EAST"), S_BAD, IDB_FIND, 0, 0},
  };
  for (const Case& c : cases) {
    const DbmlStatus st = call(find(8, dbid, c.setno, c.mode, c.itemno, c.arg));
    EXPECT_EQ(st.words[0], c.code) << c.what;
    EXPECT_EQ(st.mask, c.code == 0 ? 1023 : kDbmlFailMask) << c.what;
    EXPECT_EQ(st.words[5], c.w5) << c.what;
    EXPECT_EQ(st.words[7], c.w7) << c.what;
    EXPECT_EQ(st.words[9], c.w9) << c.what;
    if (c.code != 0) {
      EXPECT_EQ(st.words[8], c.mode) << c.what;
    }
  }
}

struct LogonCase {
  const char* what;
  const char* user;
  std::string (*cipher)(const std::string& challenge);
  int32_t want;
};

std::string key_of(const std::string& challenge) { return testsupport::client_derive_key(challenge); }

const LogonCase kLogons[] = {
    {"right password", "alice",
     [](const std::string& c) { return testsupport::client_password_hex(c, "secret"); }, 0},
    {"upper-case hex", "alice",
     [](const std::string& c) { return testsupport::client_encrypt_hex(key_of(c), "secret", 0, true); },
     0},
    {"padding of nonzero bytes", "alice",
     [](const std::string& c) { return testsupport::client_encrypt_hex(key_of(c), "secret", 0x55); },
     0},
    {"wrong password", "alice",
     [](const std::string& c) { return testsupport::client_password_hex(c, "Secret"); }, S_BADPSWD},
    {"no password", "alice", [](const std::string&) { return std::string(); }, S_BADPSWD},
    {"unknown user", "mallory",
     [](const std::string& c) { return testsupport::client_password_hex(c, "secret"); }, S_BADUSER},
    {"not hex", "alice", [](const std::string&) { return std::string(16, 'g'); }, S_BADPSWD},
    {"15 digits", "alice",
     [](const std::string& c) { return testsupport::client_password_hex(c, "secret").substr(1); },
     S_BADPSWD},
    {"8 digits", "alice", [](const std::string&) { return std::string("0123abcd"); }, S_BADPSWD},
    {"24 digits", "alice",
     [](const std::string& c) { return testsupport::client_password_hex(c, "secret") + "01234567"; },
     S_BADPSWD},
    {"padding count 0", "alice",
     [](const std::string& c) {
       return testsupport::client_encrypt_raw_hex(key_of(c), std::string("secret\0\0", 8));
     },
     S_BADPSWD},
    {"padding count above the length", "alice",
     [](const std::string& c) {
       return testsupport::client_encrypt_raw_hex(key_of(c), std::string("secret\0\x09", 8));
     },
     S_BADPSWD},
};

TEST_F(DbmlTest, LogonRows) {
  for (const LogonCase& c : kLogons) {
    const DbmlStatus st = logon(c.user, c.cipher(challenge_));
    EXPECT_EQ(st.words[0], c.want) << c.what;
    EXPECT_EQ(st.words[5], c.want == 0 ? 0 : IDB_LOGON) << c.what;
    EXPECT_EQ(st.mask, c.want == 0 ? 1023 : 1009) << c.what;
    EXPECT_STREQ(idb_session_user_name(session_->db_session), c.want == 0 ? c.user : "alice")
        << c.what;
  }
}

// A key that cannot be made (no memory) fails the logon with -806; the
// session keeps its identity.
TEST_F(DbmlTest, LogonWithoutMemoryForTheKeyAnswers806) {
  ASSERT_EQ(logon("alice", testsupport::client_password_hex(challenge_, "secret")).words[0], 0);
  des_set_key_alloc([](size_t) -> void* { return nullptr; });
  const DbmlStatus st = logon("boss", testsupport::client_password_hex(challenge_, "boss-pw"));
  des_set_key_alloc(nullptr);
  EXPECT_EQ(st.words[0], S_SYSTEM);
  EXPECT_EQ(st.words[5], IDB_LOGON);
  EXPECT_EQ(st.mask, kDbmlFailMask);
  EXPECT_STREQ(idb_session_user_name(session_->db_session), "alice");
  EXPECT_EQ(logon("boss", testsupport::client_password_hex(challenge_, "boss-pw")).words[0], 0);
}

TEST_F(DbmlTest, LogonKeepsThePasswordOutOfTheLog) {
  testsupport::LogCapture log("*9");
  ASSERT_EQ(logon("alice", testsupport::client_password_hex(challenge_, "secret")).words[0], 0);
  EXPECT_EQ(log.text().find("secret"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Processing dbml request type 14 (LOGON)"), std::string::npos);
}

TEST_F(DbmlTest, BeginTwiceAtLevelZeroAnswers34) {
  testsupport::LogCapture log("P2");
  DbmlStatus st = begin(0, 7);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[1], 7);
  EXPECT_EQ(st.words[2], 1);
  EXPECT_EQ(st.words[5], 0);
  EXPECT_EQ(st.words[8], 1);
  EXPECT_NE(log.text().find(" comment = NULL"), std::string::npos) << log.text();
  st = begin(0, 8, "second");
  EXPECT_EQ(st.words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(st.words[5], IDB_BEGIN);
  EXPECT_EQ(st.mask, kDbmlFailMask);
  EXPECT_EQ(depth(), 1u);
  EXPECT_EQ(rollback(1, 7).words[0], 0);
  EXPECT_EQ(depth(), 0u);
}

// A transaction id of 0 names none: BEGIN refuses it with -21 and the
// server goes on (it stopped the server).
TEST_F(DbmlTest, BeginWithTransactionIdZeroAnswers21) {
  DbmlStatus st = begin(0, 0);
  EXPECT_EQ(st.words[0], S_BAD);
  EXPECT_EQ(st.words[5], IDB_BEGIN);
  EXPECT_EQ(st.mask, kDbmlFailMask);
  EXPECT_EQ(depth(), 0u);
  ASSERT_EQ(begin(0, 1).words[0], 0);
  EXPECT_EQ(begin(1, 0).words[0], S_BAD);
  EXPECT_EQ(depth(), 1u);
}

TEST_F(DbmlTest, PrecommitMode12AtDepthOneCommits) {
  ASSERT_EQ(begin(0, 1).words[0], 0);
  const DbmlStatus st = precommit(12, 1);
  EXPECT_EQ(st.words[0], 0);
  EXPECT_EQ(st.words[5], 0);
  EXPECT_EQ(st.words[8], 12);
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(begin(0, 2).words[0], 0);  // a new one may begin
  EXPECT_EQ(precommit(12, 1).words[0], 0);
}

TEST_F(DbmlTest, PrecommitMode2SealsEveryLevel) {
  ASSERT_EQ(begin(0, 1).words[0], 0);
  ASSERT_EQ(begin(1, 2).words[0], 0);
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(precommit(2, 1).words[0], IDB_RC_TX_LEVEL);  // not the depth
  EXPECT_EQ(precommit(2, 2).words[0], 0);
  EXPECT_EQ(depth(), 1u);
  EXPECT_TRUE(dbml_tx_precommitted(session_->db_session));
  EXPECT_EQ(final_commit().words[0], 0);
  EXPECT_EQ(depth(), 0u);
  EXPECT_FALSE(dbml_tx_precommitted(session_->db_session));
}

// Once the outermost transaction is pre-committed, nothing may join it: a
// second PRE-COMMIT, a BEGIN and every data-changing call answer 34 until
// FINAL-COMMIT or ROLLBACK.
TEST_F(DbmlTest, PrecommittedTransactionRefusesMoreWork) {
  ASSERT_EQ(begin(0, 1).words[0], 0);
  ASSERT_EQ(precommit(1, 1).words[0], 0);
  EXPECT_EQ(depth(), 1u);
  EXPECT_EQ(precommit(1, 1).words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(precommit(12, 1).words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(begin(1, 2).words[0], IDB_RC_TX_LEVEL);
  struct Changing {
    const char* what;
    PayloadWriter w;
    int32_t intrinsic;
  };
  std::vector<Changing> calls;
  {
    PayloadWriter w = dbml_writer(20, DBML_PUT);
    w.u16(1).u16(1).u8(1).str("@").align(4).u32(4).u32(0);
    calls.push_back({"DBPUT", w, IDB_PUT});
  }
  {
    PayloadWriter w = dbml_writer(21, DBML_UPDATE);
    w.u16(1).u16(1).u8(1).str("@").align(4).u32(4).u32(0);
    calls.push_back({"DBUPDATE", w, IDB_UPDATE});
  }
  {
    PayloadWriter w = dbml_writer(22, DBML_DELETE);
    w.u16(1).u16(1).u8(1);
    calls.push_back({"DBDELETE", w, IDB_DELETE});
  }
  for (uint16_t type : {DBML_CREATE, DBML_ERASE, DBML_PURGE}) {
    PayloadWriter w = dbml_writer(23, type);
    w.u16(1).u8(1).align(4).obj({});
    calls.push_back({dbml_request_name(type), w, 411 + (type - DBML_CREATE)});
  }
  for (const Changing& c : calls) {
    const DbmlStatus st = call(c.w);
    EXPECT_EQ(st.words[0], IDB_RC_TX_LEVEL) << c.what;
    EXPECT_EQ(st.words[5], c.intrinsic) << c.what;
    EXPECT_EQ(st.words[8], 1) << c.what;
  }
  EXPECT_EQ(final_commit().words[0], 0);
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(begin(0, 3).words[0], 0);
  EXPECT_EQ(precommit(1, 1).words[0], 0);
  // A rollback ends the pre-committed transaction too.
  EXPECT_EQ(rollback(0, 0).words[0], 0);
  EXPECT_EQ(depth(), 0u);
  EXPECT_FALSE(dbml_tx_precommitted(session_->db_session));
}

TEST_F(DbmlTest, TransactionLevelsThatDoNotMatchAnswer34) {
  EXPECT_EQ(final_commit().words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(precommit(1, 0).words[0], S_VOLUME);  // nothing to pre-commit
  ASSERT_EQ(begin(0, 4).words[0], 0);
  EXPECT_EQ(rollback(3, 4).words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(begin(5, 5).words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(precommit(1, 1).words[0], 0);
  EXPECT_EQ(final_commit().words[0], 0);  // depth 1, pre-committed
}

// The final commit takes a transaction's work from its pre-commit: one
// without it answers 34 and keeps the transaction, whose work a pre-commit
// and final commit then make durable.
TEST_F(DbmlTest, FinalCommitWithoutPrecommitAnswers34) {
  Node* file = Node_Find(d_.orders_node);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(Node_Open(file), 0);
  ASSERT_EQ(begin(0, 1).words[0], 0);
  uint8_t media[52];
  testsupport::encode_order({106, "C003", "WEST", 20240301, 9.5, 1, 0, 0, 0, 0, 0}, media);
  uint32_t recno = 0;
  ASSERT_EQ(FixRec_Put(file, &recno, media, nullptr, session_->db_session->ssn.tx_node), 0);
  const DbmlStatus st = final_commit();
  EXPECT_EQ(st.words[0], IDB_RC_TX_LEVEL);
  EXPECT_EQ(st.words[5], IDB_COMMIT);
  EXPECT_EQ(depth(), 1u);
  EXPECT_EQ(precommit(1, 1).words[0], 0);
  EXPECT_EQ(final_commit().words[0], 0);
  EXPECT_EQ(depth(), 0u);
  uint8_t back[52] = {};
  EXPECT_EQ(FixRec_Get(file, recno, back, nullptr, nullptr), 0);
  EXPECT_EQ(memcmp(back, media, 30), 0);
  Node_Close(file);
}

// A connection that ends inside a transaction leaves none behind.
TEST_F(DbmlTest, SessionEndRollsTheTransactionBack) {
  ASSERT_EQ(begin(0, 1).words[0], 0);
  ASSERT_EQ(begin(1, 2).words[0], 0);
  ASSERT_EQ(depth(), 2u);
  EXPECT_EQ(seam_db_sessions_open(), 1);
  dbml_close_session(session_);
  EXPECT_EQ(seam_db_sessions_open(), 0);
  EXPECT_EQ(session_->db_session, nullptr);
}

struct Undecodable {
  const char* what;
  Bytes payload;
};

Bytes with(uint16_t type, void (*fill)(PayloadWriter&)) {
  PayloadWriter w = dbml_writer(1, type);
  fill(w);
  return w.bytes();
}

// Each closes the connection without a reply.
TEST_F(DbmlTest, UndecodableRequestsCloseWithoutReply) {
  const Undecodable cases[] = {
      {"no type", testsupport::encode_request(1, 3, {7})},
      {"type 0", with(0, [](PayloadWriter&) {})},
      {"type 19", with(19, [](PayloadWriter&) {})},
      {"DBOPEN without mode", with(DBML_OPEN, [](PayloadWriter& w) { w.str("sample").str(""); })},
      {"DBOPEN string count 0", with(DBML_OPEN, [](PayloadWriter& w) { w.u16(0).u16(0).u8(1); })},
      {"DBCLOSE short", with(DBML_CLOSE, [](PayloadWriter& w) { w.u16(1).u8(1); })},
      {"DBINFO short", with(DBML_INFO, [](PayloadWriter& w) { w.u16(1).u16(1); })},
      {"DBLOCK mode 3 without set", with(DBML_LOCK, [](PayloadWriter& w) { w.u16(1).u8(3); })},
      {"DBLOCK mode 5 object cut",
       with(DBML_LOCK, [](PayloadWriter& w) { w.u16(1).u8(5).align(4).u32(8).u32(0); })},
      {"DBUNLOCK mode 14 without set", with(DBML_UNLOCK, [](PayloadWriter& w) { w.u16(1).u8(14); })},
      {"DBPUT length 0",
       with(DBML_PUT, [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).str("@").align(4).u32(0); })},
      {"DBPUT record cut",
       with(DBML_PUT,
            [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).str("@").align(4).u32(9).u32(0); })},
      {"DBPUT unterminated list",
       with(DBML_PUT, [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).u16(2).u8('@').u8('x'); })},
      {"DBFIND without argument",
       with(DBML_FIND, [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).u16(1); })},
      {"DBGET without size", with(DBML_GET, [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).str("@"); })},
      {"DBGET mode 4 without record number",
       with(DBML_GET, [](PayloadWriter& w) { w.u16(1).u16(1).u8(4).str("@").u32(100); })},
      {"DBGET mode 7 without key",
       with(DBML_GET, [](PayloadWriter& w) { w.u16(1).u16(1).u8(7).str("@").u32(100); })},
      {"DBUPDATE length 0",
       with(DBML_UPDATE, [](PayloadWriter& w) { w.u16(1).u16(1).u8(1).str("@").align(4).u32(0); })},
      {"DBDELETE short", with(DBML_DELETE, [](PayloadWriter& w) { w.u16(1).u16(1); })},
      {"DBCREATE object cut",
       with(DBML_CREATE, [](PayloadWriter& w) { w.u16(1).u8(1).align(4).u32(4); })},
      {"DBERASE without list", with(DBML_ERASE, [](PayloadWriter& w) { w.u16(1).u8(1); })},
      {"DBPURGE without mode", with(DBML_PURGE, [](PayloadWriter& w) { w.u16(1); })},
      {"LOGON without password", with(DBML_LOGON, [](PayloadWriter& w) { w.str("alice"); })},
      {"BEGIN without comment",
       with(DBML_BEGIN, [](PayloadWriter& w) { w.u8(1).u8(0).u32(1); })},
      {"ROLLBACK short", with(DBML_ROLLBACK, [](PayloadWriter& w) { w.u8(1).u8(0).u16(1); })},
      {"PRE-COMMIT without level", with(DBML_PRECOMMIT, [](PayloadWriter& w) { w.u8(1); })},
  };
  for (const Undecodable& c : cases) {
    EXPECT_EQ(dispatch(c.payload), -1) << c.what;
    EXPECT_EQ(depth(), 0u) << c.what;
  }
}

TEST_F(DbmlTest, UnknownTypeIsLogged) {
  testsupport::LogCapture log("P2");
  EXPECT_EQ(dispatch(with(77, [](PayloadWriter&) {})), -1);
  EXPECT_NE(log.text().find("Processing dbml request type 77 (** unknown **)"), std::string::npos);
  EXPECT_NE(log.text().find("Unsupported DBML request 77"), std::string::npos);
}

}  // namespace

// DBPUT reaches idb_put: a refusal is a status reply (mask 1009) naming
// the intrinsic and the mode; a record the length field cuts short of a
// set's record is never read past (the access layer's own tests cover the
// puts themselves).
TEST_F(DbmlTest, DbputIsAnsweredWithItsStatus) {
  PayloadWriter w = dbml_writer(30, DBML_PUT);
  w.u16(5).u16(1).u8(1).str("@;").align(4).u32(8).u32(1).u32(2);
  const DbmlStatus st = call(w);
  EXPECT_EQ(st.mask, 1009);
  EXPECT_EQ(st.words[0], S_BADID);
  EXPECT_EQ(st.words[5], IDB_PUT);
  EXPECT_EQ(st.words[8], 1);
  PayloadWriter m = dbml_writer(31, DBML_PUT);
  m.u16(5).u16(1).u8(2).str("@;").align(4).u32(4).u32(1);
  EXPECT_EQ(call(m).words[0], S_BADID);  // the dbid is checked before the mode
}

// The DBUPDATE and DBDELETE examples of docs/protocol.md, both ways, byte
// for byte: boss renames customer 3 (made current by a DBGET), then
// deletes order 5; reads show the change.
TEST_F(DbmlTest, UpdateAndDeleteExamplesOfTheProtocolNote) {
  ASSERT_EQ(logon("boss", testsupport::client_password_hex(challenge_, "boss-pw")).words[0], 0);
  PayloadWriter o = dbml_writer(5, DBML_OPEN);
  o.str("sample").str("").u8(1);
  Bytes schema;
  ASSERT_EQ(call(o, &schema).words[9], 1);
  Bytes rest;
  ASSERT_EQ(call(testsupport::dbml_get_request(6, 1, 1, 4, 28, {3, 0, 0, 0}), &rest).words[0], 0);

  const std::string renamed = "C003    Cy Okafor Jr        ";
  PayloadWriter u = dbml_writer(8, DBML_UPDATE);
  u.u16(1).u16(1).u8(1).str("@;").align(4).u32(28).raw(Bytes(renamed.begin(), renamed.end()));
  Bytes request = {0, 0, 0, 0x34, 8, 0, 3, 0, 9, 0,  // id 8, class 3, DBUPDATE
                   1, 0, 1, 0, 1,                    // dbid 1, setno 1, mode 1
                   3, 0, '@', ';', 0,                // item list
                   0, 0, 0, 0,                       // align 4
                   28, 0, 0, 0};                     // record length
  request.insert(request.end(), renamed.begin(), renamed.end());
  EXPECT_EQ(testsupport::frame(u.bytes()), request);
  Bytes reply;
  ASSERT_EQ(dispatch(u.bytes(), &reply), 0);
  EXPECT_EQ(reply, (Bytes{8, 0, 0, 0, 0xff, 0x03,     // id 8, 0, mask 1023
                          0, 0, 0, 0, 28, 0, 0, 0,    // words 0, 1
                          0, 0, 0, 0, 3, 0, 0, 0,     // words 2, 3
                          0, 0, 0, 0, 1, 0, 0, 0,     // words 4, 5
                          0, 0, 0, 0, 0, 0, 0, 0,     // words 6, 7
                          0, 0, 0, 0, 0, 0, 0, 0}));  // words 8, 9
  ASSERT_EQ(call(testsupport::dbml_get_request(9, 1, 1, 4, 28, {3, 0, 0, 0}), &rest).words[0], 0);
  EXPECT_EQ(std::string(rest.begin() + 2, rest.end()), renamed);

  ASSERT_EQ(call(testsupport::dbml_get_request(10, 1, 3, 4, 30, {5, 0, 0, 0}), &rest).words[0], 0);
  PayloadWriter d = dbml_writer(11, DBML_DELETE);
  d.u16(1).u16(3).u8(1);
  EXPECT_EQ(testsupport::frame(d.bytes()),
            (Bytes{0, 0, 0, 0x0b, 11, 0, 3, 0, 10, 0,  // id 11, class 3, DBDELETE
                   1, 0, 3, 0, 1}));                  // dbid 1, setno 3, mode 1
  ASSERT_EQ(dispatch(d.bytes(), &reply), 0);
  // Order 5 heads C002's chain (5, 3): no backward link, forward 3.
  EXPECT_EQ(reply, (Bytes{11, 0, 0, 0, 0xff, 0x03,    // id 11, 0, mask 1023
                          0, 0, 0, 0, 30, 0, 0, 0,    // words 0, 1
                          0, 0, 0, 0, 5, 0, 0, 0,     // words 2, 3
                          0, 0, 0, 0, 0, 0, 0, 0,     // words 4, 5
                          0, 0, 0, 0, 0, 0, 0, 0,     // words 6, 7
                          0, 0, 0, 0, 3, 0, 0, 0}));  // words 8, 9
  // Gone: read by number it is 17, and a second delete is 17 with mask 1009.
  const DbmlStatus again = call(d);
  EXPECT_EQ(again.words[0], S_NOREC);
  EXPECT_EQ(again.mask, 1009);
  EXPECT_EQ(again.words[5], IDB_DELETE);
  EXPECT_EQ(call(testsupport::dbml_get_request(12, 1, 3, 4, 30, {5, 0, 0, 0})).words[0], S_NOREC);
}

// DBUPDATE and DBDELETE reach their calls: refusals are status replies
// naming the intrinsic and the mode.
TEST_F(DbmlTest, UpdateAndDeleteAreAnsweredWithTheirStatus) {
  const uint16_t dbid = open_as_alice();
  ASSERT_EQ(dbid, 1);
  PayloadWriter u = dbml_writer(30, DBML_UPDATE);
  u.u16(dbid).u16(1).u8(2).str("@;").align(4).u32(28).raw(Bytes(28, ' '));
  DbmlStatus st = call(u);
  EXPECT_EQ(st.mask, 1009);
  EXPECT_EQ(st.words[0], -23);  // alice only reads CUSTOMER
  EXPECT_EQ(st.words[5], IDB_UPDATE);
  EXPECT_EQ(st.words[8], 2);
  PayloadWriter s = dbml_writer(31, DBML_UPDATE);
  s.u16(dbid).u16(3).u8(1).str("@;").align(4).u32(8).raw(Bytes(8, 0));
  EXPECT_EQ(call(s).words[0], S_BAD);  // shorter than the record
  PayloadWriter d = dbml_writer(32, DBML_DELETE);
  d.u16(dbid).u16(1).u8(1);
  st = call(d);
  EXPECT_EQ(st.words[0], -23);
  EXPECT_EQ(st.words[5], IDB_DELETE);
  EXPECT_EQ(st.words[8], 1);
}

// A session that may only read cannot keep writers out: no exclusive open
// (mode 3), no mode 8, no lock of the database or of a set it may not
// write or erase. One that may write a set locks that set, and the
// database. Before, a read-only public session held every writer out for
// as long as its connection lasted.
TEST_F(DbmlTest, ReadOnlySessionCannotHoldWritersOut) {
  const uint32_t reader = testsupport::add_user("reader", IDB_CAP_CONNECT);
  ASSERT_NE(reader, 0u);
  SysCat_GROUP g{0, const_cast<char*>("lookers"), 0};
  ASSERT_EQ(SysCat_add_group(cat_, &g, nullptr), 0);
  ASSERT_EQ(SysCat_add_member(cat_, reader, g.gid, nullptr), 0);
  const SysCat_PRIVILEGE read_customer{g.gid, d_.customer, 1};
  ASSERT_EQ(SysCat_add_privilege(cat_, &read_customer, nullptr), 0);
  const auto open = [&](uint8_t mode) {
    PayloadWriter w = dbml_writer(5, DBML_OPEN);
    w.str("sample").str("").u8(mode);
    Bytes rest;
    const DbmlStatus st = call(w, &rest);
    return st.words[0] == 0 ? static_cast<uint16_t>(st.words[9]) : uint16_t{0};
  };
  const auto close = [&](uint16_t dbid) {
    PayloadWriter w = dbml_writer(6, DBML_CLOSE);
    w.u16(dbid).u8(1).u16(0);
    EXPECT_EQ(call(w).words[0], 0);
  };
  const auto lock = [&](uint16_t dbid, uint8_t mode, uint16_t setno) {
    PayloadWriter w = dbml_writer(7, DBML_LOCK);
    w.u16(dbid).u8(mode);
    if (mode == 3 || mode == 4) w.u16(setno);
    const int32_t rc = call(w).words[0];
    if (rc == 0) {
      PayloadWriter u = dbml_writer(8, DBML_UNLOCK);
      u.u16(dbid).u8(1);
      EXPECT_EQ(call(u).words[0], 0);
    }
    return rc;
  };
  // The sets by position: CUSTOMER 1, REGIONS 2, ORDERS 3.
  ASSERT_EQ(logon("reader", "").words[0], 0);
  EXPECT_EQ(open(3), 0) << "exclusive open by a reader";
  EXPECT_EQ(open(8), 0) << "mode 8 by a reader";
  uint16_t dbid = open(1);
  ASSERT_NE(dbid, 0);
  EXPECT_NE(lock(dbid, 1, 0), 0) << "database lock by a reader";
  EXPECT_NE(lock(dbid, 2, 0), 0) << "database lock (no wait) by a reader";
  EXPECT_NE(lock(dbid, 3, 1), 0) << "lock of a set it only reads";
  close(dbid);
  // alice writes ORDERS and erases REGIONS, and only reads CUSTOMER.
  ASSERT_EQ(logon("alice", testsupport::client_password_hex(challenge_, "secret")).words[0], 0);
  dbid = open(3);
  ASSERT_NE(dbid, 0) << "exclusive open by a writer";
  close(dbid);
  dbid = open(1);
  ASSERT_NE(dbid, 0);
  EXPECT_EQ(lock(dbid, 1, 0), 0);
  EXPECT_EQ(lock(dbid, 3, 3), 0) << "ORDERS";
  EXPECT_EQ(lock(dbid, 3, 2), 0) << "REGIONS";
  EXPECT_NE(lock(dbid, 3, 1), 0) << "CUSTOMER";
  close(dbid);
}
