// Database store and restore over the stored sample database: a store
// restored under a new name reads back the same (serial reads, chains in
// the media records, calculated reads, and every B-tree's entries); the
// refusals of both intrinsics; a restore over an existing name, of a
// stream that is no archive, and of an archive cut short or malformed
// changes nothing.
#include "access/idb_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/idb_get.h"
#include "index/btree_checker.h"
#include "storage/archive_format.h"
#include "storage/archive_writer.h"

namespace access_test {
namespace {

// What a database reads as, through the access layer and below it.
struct Contents {
  std::map<std::string, std::vector<std::vector<uint8_t>>> serial;  // user records in order
  std::map<std::string, std::vector<std::vector<uint8_t>>> media;   // raw records (chains)
  std::vector<std::vector<uint8_t>> by_key;                         // CUSTOMER by its key
  std::vector<std::vector<std::pair<std::string, std::string>>> trees;
  bool operator==(const Contents& o) const {
    return serial == o.serial && media == o.media && by_key == o.by_key && trees == o.trees;
  }
};

class StoreTest : public AccessFixture {
 protected:
  void SetUp() override {
    AccessFixture::SetUp();
    SysCat_Init();
    // Store needs the database to itself.
    idb__close_database(s_, ctx_);
    ctx_ = nullptr;
  }

  // Stores sample into *m (set_cnt 0: every set). The status word 0.
  int32_t store(Archive_MEMSTREAM* m, int32_t set_cnt = 0, const int32_t* flags = nullptr) {
    const int32_t dbid = idb__open_database(s_, "sample", 13);
    EXPECT_GT(dbid, 0);
    int32_t st[10];
    std::fill(std::begin(st), std::end(st), -99);
    const int rc = idb__store(s_, dbid, m, st, set_cnt, flags);
    EXPECT_EQ(rc == 0, st[0] == 0);
    EXPECT_EQ(st[5], IDB_STORE);
    idb__close_database(s_, idb__get_db_ctx(s_, dbid));
    return st[0];
  }
  Archive_MEMSTREAM archive() {
    Archive_MEMSTREAM m;
    Archive_InitMemStream(&m);
    EXPECT_EQ(Node_StoreMagic(&m), 0);
    EXPECT_EQ(store(&m), 0);
    return m;
  }
  int restore(Archive_MEMSTREAM* m, std::string* name, int32_t* st) {
    m->pos = 0;
    return idb__restore(s_, m, st, name);
  }
  // Lets boss read a restored copy (members above uid 2 are not restored).
  void admit_boss(const char* db_name) {
    SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
    ASSERT_NE(db, nullptr);
    SysCat_DB_CATALOG* cat = SysCat_db_open(db);
    free(db);
    ASSERT_NE(cat, nullptr);
    SysCat_GETSTATE st;
    void* row = nullptr;
    uint32_t gid = 0;
    for (int rc = SysCat_get(cat, SysGroup_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
         rc == 0; rc = SysCat_get(cat, SysGroup_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
      const auto* g = static_cast<SysCat_GROUP*>(row);
      if (strcmp(g->name, "admins") == 0) gid = g->gid;
      free(row);
    }
    ASSERT_NE(gid, 0u);
    EXPECT_EQ(SysCat_add_member(cat, s_->uid, gid, nullptr), 0);
    SysCat_db_close(cat);
  }
  Contents read(const char* db_name) {
    Contents c;
    const int32_t dbid = idb__open_database(s_, db_name, 9);
    EXPECT_GT(dbid, 0) << db_name;
    if (dbid <= 0) return c;
    db_ctx* ctx = idb__get_db_ctx(s_, dbid);
    const global& g = ctx->root->g;
    int32_t st[10];
    for (const char* set : {"CUSTOMER", "REGIONS", "ORDERS"}) {
      std::vector<uint8_t> buf(64);
      while (idb_get(s_, dbid, set, static_cast<int>(strlen(set)) + 1, 2, nullptr, 0, buf, {},
                     st) == 0)
        c.serial[set].push_back(buf);
      EXPECT_EQ(st[0], S_EOF) << db_name << " " << set;
      const idb_set& s = g.set[idb__find_set(&g, set)];
      EXPECT_EQ(Node_Open(s.s.node), 0);
      for (uint32_t r = 1; r <= c.serial[set].size(); ++r) {
        std::vector<uint8_t> b(media_len(&s));
        EXPECT_EQ(FixRec_Get(s.s.node, r, b.data(), nullptr, nullptr), 0);
        c.media[set].push_back(b);
      }
      Node_Close(s.s.node);
      auto tree = [&](Node* n) {
        btree_CTX bctx{};
        btree_HANDLE* t = btree_OpenNode(n, &bctx, BT_OPEN_RDONLY);
        ASSERT_NE(t, nullptr);
        c.trees.push_back(btree_test::leaf_entries(t));
        btree_CloseNode(t);
      };
      if (s.s.key.node != nullptr) tree(s.s.key.node);
      for (uint32_t i = 0; i < s.s.index_cnt; ++i)
        if (s.index[i].node != nullptr) tree(s.index[i].node);
    }
    for (const char* key : {"C001    ", "C003    ", "C002    "}) {
      std::vector<uint8_t> buf(64);
      EXPECT_EQ(idb_get(s_, dbid, "CUSTOMER", 9, 7, nullptr, 0, buf,
                        {reinterpret_cast<const uint8_t*>(key), 8}, st),
                0);
      c.by_key.push_back(buf);
    }
    idb__close_database(s_, ctx);
    return c;
  }
  static std::vector<std::string> db_names() { return testsupport::database_names(); }
  int objects() { return SysCat_entry_cnt(nullptr, SysObject_ID, nullptr); }
  // The sysobjects rows of a database's set nodes (types 3 and 4).
  std::vector<std::string> set_objects(const char* db_name) {
    SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
    EXPECT_NE(db, nullptr);
    std::vector<std::string> out;
    if (db == nullptr) return out;
    SysCat_GETSTATE st;
    void* row = nullptr;
    for (int rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
         rc == 0;
         rc = SysCat_get(nullptr, SysObject_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
      const auto* o = static_cast<SysCat_OBJECT*>(row);
      if ((o->type == 3 || o->type == 4) && o->link == db->nodeid)
        out.push_back(std::to_string(o->type) + " " + o->name);
      free(row);
    }
    free(db);
    return out;
  }
};

TEST_F(StoreTest, RestoredUnderANewNameReadsTheSame) {
  Archive_MEMSTREAM m = archive();
  std::string name = "copy";
  int32_t st[10];
  const int before = objects();
  ASSERT_EQ(restore(&m, &name, st), 0) << st[0] << " " << st[9];
  EXPECT_EQ(st[0], 0);
  EXPECT_EQ(st[5], IDB_RESTORE);
  EXPECT_EQ(name, "copy");
  EXPECT_GT(objects(), before);
  EXPECT_EQ(set_objects("copy"),
            (std::vector<std::string>{"3 CUSTOMER", "3 REGIONS", "3 ORDERS", "4 CUSTOMER.CUST-NO",
                                      "4 REGIONS.REGION", "4 ORDERS.ORD-IX"}));
  admit_boss("copy");
  const Contents a = read("sample");
  const Contents b = read("copy");
  EXPECT_EQ(a.serial.at("ORDERS").size(), 5u);
  EXPECT_EQ(a.trees.size(), 3u);
  EXPECT_TRUE(a == b);
  SysCat_OBJECT* o = SysCat_get_object_by_name("ORDERS.ORD-IX", nullptr);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->type, 4u);
  free(o);
  o = SysCat_get_object_by_name("CUSTOMER.CUST-NO", nullptr);
  ASSERT_NE(o, nullptr);
  free(o);
}

TEST_F(StoreTest, NoNameGivenRestoresUnderTheArchivedNameOrAnswers2) {
  Archive_MEMSTREAM m = archive();
  std::string name;
  int32_t st[10];
  const int before = objects();
  const std::vector<std::string> dbs = db_names();
  EXPECT_EQ(restore(&m, &name, st), 2);
  EXPECT_EQ(name, "sample");
  EXPECT_NE(st[0], 0);
  EXPECT_EQ(objects(), before);
  EXPECT_EQ(db_names(), dbs);
  EXPECT_EQ(Tlog_TxDepth(idb__tx_node(s_)), 0u);
}

TEST_F(StoreTest, SelectedSetsOnly) {
  Archive_MEMSTREAM all, some;
  Archive_InitMemStream(&all);
  Archive_InitMemStream(&some);
  ASSERT_EQ(store(&all), 0);
  const int32_t flags[3] = {1, 0, 0};
  ASSERT_EQ(store(&some, 3, flags), 0);
  EXPECT_LT(some.bytes.size(), all.bytes.size());
  // The header carries the selection.
  std::string needle(reinterpret_cast<const char*>(flags), sizeof flags);
  EXPECT_NE(std::string(some.bytes.begin(), some.bytes.end()).find(needle), std::string::npos);
}

TEST_F(StoreTest, StoreRefusals) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  int32_t st[10];
  EXPECT_EQ(idb__store(s_, 99, &m, st, 0, nullptr), -1);
  EXPECT_EQ(st[0], S_BADID);
  const int32_t dbid = idb__open_database(s_, "sample", 1);
  ASSERT_GT(dbid, 0);
  EXPECT_EQ(idb__store(s_, dbid, &m, st, 0, nullptr), -1);
  EXPECT_EQ(st[0], S_BADMODE);
  idb__close_database(s_, idb__get_db_ctx(s_, dbid));
  const int32_t flags[2] = {1, 1};
  EXPECT_NE(store(&m, -1), 0);
  EXPECT_NE(store(&m, 2, flags), 0);
  EXPECT_NE(store(&m, 3, nullptr), 0);
  // A write that falls short fails with the storage status.
  Archive_MEMSTREAM shortw;
  Archive_InitMemStream(&shortw);
  shortw.fail_at = 6;
  EXPECT_EQ(store(&shortw), S_VOLNODE);
}

TEST_F(StoreTest, StoreInsideATransactionAnswers32) {
  Archive_MEMSTREAM a = archive();
  const int32_t dbid = idb__open_database(s_, "sample", 13);
  ASSERT_GT(dbid, 0);
  ASSERT_EQ(Tlog_Begin(idb__tx_node(s_), "client", 7), 0);
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  int32_t st[10];
  EXPECT_EQ(idb__store(s_, dbid, &m, st, 0, nullptr), -1);
  EXPECT_EQ(st[0], IDB_RC_OPEN_TX);
  std::string name = "x";
  EXPECT_EQ(idb__restore(s_, &a, st, &name), -1);
  EXPECT_EQ(st[0], IDB_RC_OPEN_TX);
  EXPECT_EQ(Tlog_Rollback(idb__tx_node(s_), 7), 0);
  idb__close_database(s_, idb__get_db_ctx(s_, dbid));
}

TEST_F(StoreTest, NoArchiveAnswers1) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  const std::string junk = "this is not an archive at all";
  m.bytes.assign(junk.begin(), junk.end());
  std::string name = "copy";
  int32_t st[10];
  EXPECT_EQ(restore(&m, &name, st), 1);
  EXPECT_EQ(st[5], IDB_RESTORE);
  EXPECT_NE(st[0], 0);
}

// Every cut of the archive, and malformed block orders, leave the catalog
// as it was.
TEST_F(StoreTest, ArchivesCutShortOrMisorderedChangeNothing) {
  Archive_MEMSTREAM full = archive();
  const int before = objects();
  const std::vector<std::string> dbs = db_names();
  for (size_t cut : {size_t{20}, size_t{60}, full.bytes.size() / 3, full.bytes.size() / 2,
                     full.bytes.size() - 6, full.bytes.size() - 1}) {
    Archive_MEMSTREAM m;
    Archive_InitMemStream(&m);
    m.bytes.assign(full.bytes.begin(), full.bytes.begin() + static_cast<long>(cut));
    std::string name = "copy";
    int32_t st[10];
    EXPECT_EQ(restore(&m, &name, st), -1) << cut;
    EXPECT_EQ(st[0], S_VOLNODE) << cut;
    EXPECT_EQ(objects(), before) << cut;
    EXPECT_EQ(db_names(), dbs) << cut;
    EXPECT_EQ(Tlog_TxDepth(idb__tx_node(s_)), 0u);
  }
  // A node block before the header block.
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(Node_StoreMagic(&m), 0);
  uint8_t head[Node_TAG_HEAD_SIZE];
  Node_EncodeTagHead({Node_ATT_BEGIN, 1}, head);
  m.bytes.insert(m.bytes.end(), head, head + sizeof head);
  m.bytes.push_back(Node_ATT_NODE);
  std::string name = "copy";
  int32_t st[10];
  EXPECT_EQ(restore(&m, &name, st), -1);
  EXPECT_EQ(objects(), before);
}

// A header text with a zero byte inside its tag is refused.
TEST_F(StoreTest, HeaderTextWithAZeroByteIsRefused) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  ASSERT_EQ(Node_StoreMagic(&m), 0);
  const char name[] = {'a', '\0', 'b', '\0'};
  ASSERT_EQ(Node_BeginArchive(&m, name, 0, 5, nullptr, 0), 0);
  // Node_BeginArchive cuts the name at its zero byte: patch one in.
  std::vector<uint8_t>& b = m.bytes;
  const std::string hay(b.begin(), b.end());
  const size_t at = hay.find(std::string("\x01" "a", 2));
  ASSERT_NE(at, std::string::npos);
  b[at] = 2;
  b.insert(b.begin() + static_cast<long>(at) + 2, 0);
  // The database header's size grows by one byte.
  const size_t tag = at - Node_TAG_HEAD_SIZE;
  ASSERT_EQ(b[tag], Node_ATT_HEAD_DB);
  Node_TAGHEAD h = Node_DecodeTagHead(&b[tag]);
  h.size += 1;
  Node_EncodeTagHead(h, &b[tag]);
  std::string n = "copy";
  int32_t st[10];
  EXPECT_EQ(restore(&m, &n, st), -1);
  EXPECT_EQ(st[0], S_VOLNODE);
  EXPECT_EQ(st[9], static_cast<int32_t>(make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE)));
}

}  // namespace
}  // namespace access_test
