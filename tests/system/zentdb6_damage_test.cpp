// zentdb6 on damaged volume files. The server makes a small set: a database
// defined over the wire (one master set keyed by CUST-NO, with an index),
// created, and filled by DBPUT. Each row of the table writes its bytes into a
// fresh copy of that set (file, page, offset) and runs the server's start,
// one DBGET, DBFIND and DBPUT on the damaged database and one DBGET on the
// sample database beside it, spaceinfo and spacecheck. The outcome column
// says what must happen: refused at start with its message, requests
// answered (with the engine's error where they meet the damage), or reported
// by spacecheck; no row may crash the server, hang it, or leave it unable to
// serve the other database.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "storage/node_format.h"
#include "storage/volume_format.h"
#include "support/process_runner.h"
#include "support/server_process.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::dbml_writer;
using testsupport::DbmlStatus;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;
using testsupport::ProcessResult;
using testsupport::syscat_writer;
using testsupport::SyscatReply;
using testsupport::ZentClient;

enum : uint16_t {
  ADD_DB = 11,
  OPEN_DB_BY_NAME = 15,
  ADD_COLUMN = 27,
  ADD_TABLE = 34,
  ADD_TABLECOLUMN = 37,
  ADD_TABLEPATH = 38,
};

// Wide keys make a tree of several leaves from a few records.
constexpr int kKeySize = 200;
constexpr int kRecordSize = kKeySize + 20;
constexpr int kRecords = 120;
constexpr uint16_t kNodeTypeFR = 0x4652;
constexpr uint16_t kNodeTypeBT = 0x4254;

std::string key_of(int i) {
  char b[16];
  snprintf(b, sizeof b, "C%07d", i);
  std::string k = b;
  k.resize(kKeySize, ' ');
  return k;
}
std::string record_of(int i) {
  std::string r = key_of(i) + "Name " + std::to_string(i);
  r.resize(kRecordSize, ' ');
  return r;
}

// What a row must come to.
enum class Outcome {
  RefusedAtStart,  // the start fails with the row's message in the log
  Served,          // the start logs the message; every request is answered as on a sound set
  RequestFails,    // requests that meet the damage answer the row's status, the others as usual
  Reported,        // no request here meets it: all answered as usual; spacecheck reports it
};

// The pages of the set the rows name, found in the files.
struct Layout {
  std::string root;             // the root volume's path
  uint32_t record_page = 0;     // first page of the record file's first cluster
  uint32_t btree_root = 0;      // first page the master-key tree lists
  uint32_t leaf_with_next = 0;  // the first leaf of that tree (it has a next neighbour)
};

struct Row {
  const char* name;
  std::function<void(const Layout&)> damage;
  Outcome outcome;
  const char* message;    // in the server's log
  int32_t status;         // what the requests that meet the damage answer
  bool spacecheck_finds;  // spacecheck reports it (after the server, if it started)
};

std::vector<uint8_t> page_of(const std::string& path, uint32_t page) {
  std::vector<uint8_t> p;
  EXPECT_EQ(testsupport::read_page(path, PAGE_NUMBER(page), &p), 0) << page;
  return p;
}
void put_page(const std::string& path, uint32_t page, const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(testsupport::write_page(path, PAGE_NUMBER(page), bytes), 0) << page;
}
// Writes bytes at offset of page.
std::function<void(const Layout&)> poke(std::function<uint32_t(const Layout&)> page,
                                        uint32_t offset, std::vector<uint8_t> bytes) {
  return [=](const Layout& l) {
    std::vector<uint8_t> p = page_of(l.root, page(l));
    std::memcpy(p.data() + offset, bytes.data(), bytes.size());
    put_page(l.root, page(l), p);
  };
}
std::function<void(const Layout&)> descriptor(int copy, std::function<void(VOLUME&)> edit) {
  return [=](const Layout& l) { ASSERT_EQ(testsupport::patch_descriptor(l.root, copy, edit), 0); };
}

class DamageTable : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(write_sample_config());
    start_server("D1P2I2");
    ASSERT_NO_FATAL_FAILURE(define_and_fill()) << server_->stderr_so_far();
    stop_server();
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      if (e.path().extension() == ".vol") pristine_[e.path().string()] = read_all(e.path());
    ASSERT_FALSE(pristine_.empty());
    ASSERT_NO_FATAL_FAILURE(find_layout());
  }

  static std::string read_all(const std::filesystem::path& p) { return testsupport::read_file(p); }
  void restore() {
    for (const auto& [path, bytes] : pristine_) {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << bytes;
      ASSERT_TRUE(out.good()) << path;
    }
  }

  void logon(ZentClient& c) {
    testsupport::StartupReply reply;
    ASSERT_TRUE(connect_client(c, &reply)) << "no connection";
    ASSERT_EQ(c.logon(reply.challenge, "dba", ""), 0);
  }
  DbmlStatus dbml(ZentClient& c, const PayloadWriter& w, Bytes* rest = nullptr) {
    DbmlStatus st;
    st.words[0] = INT32_MIN;
    c.dbml(w.bytes(), &st, rest);
    return st;
  }
  uint32_t syscat(ZentClient& c, const PayloadWriter& w) {
    Bytes reply, data;
    EXPECT_TRUE(c.request(w.bytes(), &reply));
    SyscatReply head;
    EXPECT_TRUE(testsupport::decode_syscat_reply(reply, &head, &data));
    EXPECT_TRUE(head.ok()) << head.text;
    if (data.size() < 4) return 0;
    return PayloadReader(data, false).u32();
  }

  // The database over the wire, created and filled.
  void define_and_fill() {
    ZentClient c;
    ASSERT_NO_FATAL_FAILURE(logon(c));
    PayloadWriter b = dbml_writer(2, 15);  // BEGIN
    b.u8(1).u8(0).u32(1).str("define");
    ASSERT_EQ(dbml(c, b).words[0], 0);
    PayloadWriter ad = syscat_writer(40, ADD_DB);
    ad.u32(0).str("damaged").u32(0);
    ASSERT_NE(syscat(c, ad), 0u);
    PayloadWriter od = syscat_writer(40, OPEN_DB_BY_NAME);
    od.str("damaged").u32(0).u32(0);
    Bytes reply, data;
    ASSERT_TRUE(c.request(od.bytes(), &reply));
    SyscatReply head;
    ASSERT_TRUE(testsupport::decode_syscat_reply(reply, &head, &data));
    const uint16_t h = PayloadReader(data, false).u16();
    auto column = [&](const char* name, uint32_t size) {
      PayloadWriter w = syscat_writer(40, ADD_COLUMN);
      w.u16(h).u32(0).u32(0).str(name).u8(1).u32(size).u32(1).u32(0).u32(0);
      return syscat(c, w);
    };
    const uint32_t cust_no = column("CUST-NO", kKeySize);
    const uint32_t name = column("NAME", 20);
    const uint32_t order_no = column("ORDER-NO", 16);
    auto table = [&](const char* tname, uint32_t flags) {
      PayloadWriter w = syscat_writer(40, ADD_TABLE);
      w.u16(h).u32(0).u32(1).str(tname).u32(1).u32(flags).u16(2).u16(1).u16(0).u32(0);
      return syscat(c, w);
    };
    const uint32_t customer = table("CUSTOMER", 1);
    const uint32_t orders = table("ORDERS", 0);
    for (const auto& [t, col, idx] : {std::tuple{customer, cust_no, 1u},
                                      {customer, name, 2u},
                                      {orders, order_no, 1u},
                                      {orders, cust_no, 2u}}) {
      PayloadWriter w = syscat_writer(40, ADD_TABLECOLUMN);
      w.u16(h).u32(t).u32(col).u32(idx);
      syscat(c, w);
    }
    const uint32_t key =
        syscat(c, testsupport::syscat_add_index_request(40, h, customer, "CUST-KEY", 4));
    syscat(c, testsupport::syscat_add_indexseg_request(40, h, key, cust_no));
    // The detail's path to the master keyed by CUST-NO, and the master's back.
    for (const uint32_t t : {orders, customer}) {
      PayloadWriter w = syscat_writer(40, ADD_TABLEPATH);
      w.u16(h).u32(t).u32(1).u32(cust_no).u32(0);
      syscat(c, w);
    }
    for (const uint32_t t : {customer, orders})
      syscat(c, testsupport::syscat_add_privilege_request(40, h, 1, t, 7));
    syscat(c, testsupport::syscat_close_db_request(40, h));
    PayloadWriter pc = dbml_writer(3, 17);  // PRE-COMMIT
    pc.u8(1).u8(1);
    ASSERT_EQ(dbml(c, pc).words[0], 0);
    ASSERT_EQ(dbml(c, dbml_writer(3, 18)).words[0], 0);  // FINAL-COMMIT
    PayloadWriter o13 = dbml_writer(4, 1);
    o13.str("damaged").str("").u8(13);
    const DbmlStatus opened = dbml(c, o13);
    ASSERT_EQ(opened.words[0], 0);
    PayloadWriter create = dbml_writer(6, 11);
    create.u16(static_cast<uint16_t>(opened.words[9])).u8(1).align(4).obj({});
    ASSERT_EQ(dbml(c, create).words[0], 0);
    const uint16_t db = open_damaged(c);
    ASSERT_NE(db, 0);
    for (int i = 1; i <= kRecords; ++i) ASSERT_EQ(dbput(c, db, i).words[0], 0) << i;
  }
  uint16_t open_damaged(ZentClient& c) {
    PayloadWriter o = dbml_writer(7, 1);
    o.str("damaged").str("").u8(1);
    const DbmlStatus st = dbml(c, o);
    return st.words[0] == 0 ? static_cast<uint16_t>(st.words[9]) : 0;
  }
  DbmlStatus dbput(ZentClient& c, uint16_t db, int i) {
    const std::string rec = record_of(i);
    PayloadWriter put = dbml_writer(8, 6);
    put.u16(db).u16(1).u8(1).str("@").align(4).u32(static_cast<uint32_t>(rec.size())).raw(rec);
    return dbml(c, put);
  }
  DbmlStatus dbget_key(ZentClient& c, uint16_t db, int i) {
    const std::string k = key_of(i);
    PayloadWriter g = dbml_writer(9, 8);
    g.u16(db).u16(1).u8(7).str("@").u32(kRecordSize).align(4).obj(Bytes(k.begin(), k.end()));
    return dbml(c, g);
  }
  DbmlStatus dbget_recno(ZentClient& c, uint16_t db, int32_t recno) {
    PayloadWriter g = dbml_writer(9, 8);
    g.u16(db).u16(1).u8(4).str("@").u32(kRecordSize).u32(static_cast<uint32_t>(recno));
    return dbml(c, g);
  }
  // DBFIND mode 1 on the detail set's path: the chain of master i (the
  // master found by its key in the master-key tree).
  DbmlStatus dbfind(ZentClient& c, uint16_t db, int i) {
    const std::string k = key_of(i);
    PayloadWriter f = dbml_writer(10, 7);
    f.u16(db).u16(2).u8(1).u16(1).align(4).obj(Bytes(k.begin(), k.end()));
    return dbml(c, f);
  }

  // The record file and the master-key tree of the master set: the newest
  // nodes of their types that hold pages, in the data root's node pages.
  void find_layout() {
    layout_.root = dir_.file("root.vol");
    VOLUME v;
    {
      const std::vector<uint8_t> d = page_of(layout_.root, Vol_DESC_PAGE);
      Vol_DecodeDescriptor(d.data(), &v);
    }
    Node_DESC fr{}, bt{};
    for (uint32_t page = v.first_page; page != 0;) {
      const std::vector<uint8_t> p = page_of(layout_.root, page);
      for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
        const Node_DESC d = Node_DecodeDesc(p.data() + Node_SlotOffset(i));
        // The master set's: the newest nodes that hold pages.
        if (d.node_id == 0 || d.ulist.head == 0) continue;
        if (d.node_type == kNodeTypeFR && d.node_id > fr.node_id) fr = d;
        if (d.node_type == kNodeTypeBT && d.node_id > bt.node_id) bt = d;
      }
      page = Node_DecodePageHead(p.data()).next_page;
    }
    ASSERT_NE(fr.node_id, 0u);
    ASSERT_NE(bt.node_id, 0u);
    auto first_cluster = [&](const Node_DESC& d) {
      const std::vector<uint8_t> l = page_of(layout_.root, d.ulist.head);
      const Node_ILIST h = Node_DecodeIlist(l.data());
      for (uint32_t i = h.first_item; i < h.last_item; ++i)
        if (const uint32_t id = Node_GetItem(l.data(), static_cast<int>(i)).id; id != 0) return id;
      return 0u;
    };
    layout_.record_page = first_cluster(fr);
    layout_.btree_root = first_cluster(bt);
    // A leaf with a neighbour after it, among the tree's pages.
    const std::vector<uint8_t> l = page_of(layout_.root, bt.ulist.head);
    const Node_ILIST h = Node_DecodeIlist(l.data());
    for (uint32_t i = h.first_item; i < h.last_item && layout_.leaf_with_next == 0; ++i) {
      const uint32_t pg = Node_GetItem(l.data(), static_cast<int>(i)).id;
      if (pg == 0) continue;
      const std::vector<uint8_t> p = page_of(layout_.root, pg);
      const uint32_t flags = p[12] | p[13] << 8;
      const uint32_t next = p[8] | p[9] << 8 | p[10] << 16 | static_cast<uint32_t>(p[11]) << 24;
      if ((flags & 3) == 2 && next != 0) layout_.leaf_with_next = pg;
    }
    ASSERT_NE(layout_.leaf_with_next, 0u) << "the tree has one leaf: more records";
    ASSERT_NE(PAGE_NUMBER(layout_.record_page), 0u);
    ASSERT_NE(PAGE_NUMBER(layout_.btree_root), 0u);
  }

  void run_row(const Row& row);

  std::map<std::string, std::string> pristine_;
  Layout layout_;
};

uint32_t record_page(const Layout& l) { return l.record_page; }
uint32_t leaf(const Layout& l) { return l.leaf_with_next; }

// The rows: (file, page, offset, bytes) and what must come of them.
std::vector<Row> rows() {
  return {
      {"CopyZeroSizeDamaged", descriptor(0, [](VOLUME& v) { v.curr_size += 64; }), Outcome::Served,
       "copies of the volume descriptor differ (curr_size) - copy 1 kept", 0, false},
      {"CopyZeroUsedMapDamaged",
       descriptor(0, [](VOLUME& v) { Vol_SetAllocAllowed(9, &v.used_map); }),
       Outcome::RefusedAtStart, "invalid copy of volume descriptor (used_map)", 0, false},
      {"UsedMapBeyondTheSetInBothCopies",
       [](const Layout& l) {
         for (int copy : {0, 1})
           descriptor(copy, [](VOLUME& v) { Vol_SetAllocAllowed(200, &v.used_map); })(l);
       },
       Outcome::RefusedAtStart, "volume #200 is in the used map", 0, false},
      {"SlotFlagNeitherUNorD", poke(record_page, 0, {'X'}), Outcome::RequestFails,
       "invalid slot flag 0x58, recno=1", -803, true},
      {"RecordPageZeroed",
       [](const Layout& l) {
         put_page(l.root, l.record_page, std::vector<uint8_t>(Vol_PAGESIZE, 0));
       },
       Outcome::RequestFails, "invalid slot flag 0x00, recno=1", -803, true},
      {"BtreePageOfABadType", poke(leaf, 12, {7, 0, 0, 0}), Outcome::RequestFails,
       "is no B-tree page", -804, true},
      {"BtreeRootZeroed",
       [](const Layout& l) {
         put_page(l.root, l.btree_root, std::vector<uint8_t>(Vol_PAGESIZE, 0));
       },
       Outcome::RequestFails, "is no B-tree page", -804, true},
      // A walk across the leaves fails at it (the B-tree tests); these
      // requests look keys up and split the first leaf leftwards.
      {"BtreeLeafLinkToPage3", poke(leaf, 8, {3, 0, 0, 0}), Outcome::Reported, "", 0, true},
      {"FreeListMarksUsedPagesFree",
       [](const Layout& l) {
         std::vector<uint8_t> p = page_of(l.root, 1);
         for (uint32_t pg : {l.record_page, l.btree_root, l.leaf_with_next}) {
           const uint32_t n = PAGE_NUMBER(pg);
           p[12 + n / 8] = static_cast<uint8_t>(p[12 + n / 8] | 1u << (n % 8));
         }
         put_page(l.root, 1, p);
       },
       Outcome::Served, "is marked free in the volume free list - marked used", 0, false},
  };
}

// One row; a fatal failure ends the row, not the table.
void DamageTable::run_row(const Row& row) {
  ASSERT_NO_FATAL_FAILURE(restore());
  ASSERT_NO_FATAL_FAILURE(row.damage(layout_));
  server_ = std::make_unique<testsupport::Process>(
      ZENTDB6_PATH,
      std::vector<std::string>{"-standalone", "-c", dir_.file("zentdb6.cfg"), "-d", "D1P2"});
  const bool active = server_->wait_for_stderr("QX Zentrim database server active", 30000);
  if (row.outcome == Outcome::RefusedAtStart) {
    EXPECT_FALSE(active);
    const ProcessResult r = server_->wait(30000);
    server_.reset();
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Assertion failed"), std::string::npos) << r.err;
    return;
  }
  ASSERT_TRUE(active) << server_->stderr_so_far();
  {
    ZentClient c;
    ASSERT_NO_FATAL_FAILURE(logon(c));
    const uint16_t db = open_damaged(c);
    ASSERT_NE(db, 0);
    const bool fails = row.outcome == Outcome::RequestFails;
    const int32_t get = dbget_recno(c, db, 1).words[0];
    // Key 1 lies on the first leaf; key 0 goes there too, and splits it
    // (the tree was filled in order: its leaves are full).
    const int32_t get_key = dbget_key(c, db, 1).words[0];
    const int32_t find = dbfind(c, db, 1).words[0];
    const int32_t put = dbput(c, db, 0).words[0];
    // Every request is answered; those that meet the damage with the
    // row's status, and at least one of them does.
    for (const int32_t st : {get, get_key, find, put}) {
      EXPECT_NE(st, INT32_MIN) << "no reply";
      if (!fails) {
        EXPECT_EQ(st, 0);
      }
      if (fails && st != 0) {
        EXPECT_EQ(st, row.status);
      }
    }
    if (fails) {
      EXPECT_TRUE(get == row.status || get_key == row.status || find == row.status ||
                  put == row.status)
          << get << " " << get_key << " " << find << " " << put;
    }
    // The other database is served as before.
    ZentClient s;
    testsupport::StartupReply hello;
    ASSERT_TRUE(connect_client(s, &hello));
    ASSERT_EQ(s.logon(hello.challenge, "alice", "secret"), 0);
    DbmlStatus st;
    ASSERT_EQ(s.dbopen("sample", "", 1, &st), 0);
    const int32_t other = s.dbget(static_cast<uint16_t>(st.words[9]), 1, 2, 512, {});
    EXPECT_TRUE(other == 0 || other == 11) << other;
  }
  EXPECT_NE(server_->stderr_so_far().find(row.message), std::string::npos)
      << server_->stderr_so_far();
  stop_server();
  const ProcessResult info =
      testsupport::run_process(SPACEINFO_PATH, {"-c", dir_.file("zentdb6.cfg"), "-v", "n"});
  EXPECT_FALSE(info.timed_out);
  EXPECT_EQ(info.exit_status, 0) << info.err;
  const ProcessResult check =
      testsupport::run_process(SPACECHECK_PATH, {"-c", dir_.file("zentdb6.cfg")});
  EXPECT_FALSE(check.timed_out);
  EXPECT_EQ(check.exit_status, row.spacecheck_finds ? 3 : 0) << check.out << check.err;
}

TEST_F(DamageTable, EachRowIsRefusedAnsweredOrReported) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    run_row(row);
    // A row that left the server running stops it before the next.
    if (server_) stop_server();
  }
}

}  // namespace
