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
#include "access/db_contents.h"
#include "access/idb_get.h"
#include "index/btree_checker.h"
#include "storage/archive_format.h"
#include "storage/archive_writer.h"
#include "support/log_capture.h"

namespace access_test {
namespace {

using Contents = DbContents;

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
  void admit_boss(const char* db_name) { admit_to_admins(db_name, s_->uid); }
  Contents read(const char* db_name) { return read_contents(s_, db_name); }
  static std::vector<std::string> db_names() { return testsupport::database_names(); }
  int objects() { return SysCat_entry_cnt(nullptr, SysObject_ID, nullptr); }
  static std::vector<std::string> set_objects(const char* db_name) { return set_object_rows(db_name); }
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
  ASSERT_EQ(Node_StoreMagic(&all), 0);
  ASSERT_EQ(Node_StoreMagic(&some), 0);
  ASSERT_EQ(store(&all), 0);
  const int32_t flags[3] = {1, 0, 0};
  ASSERT_EQ(store(&some, 3, flags), 0);
  EXPECT_LT(some.bytes.size(), all.bytes.size());
  // The header carries the selection.
  std::string needle(reinterpret_cast<const char*>(flags), sizeof flags);
  EXPECT_NE(std::string(some.bytes.begin(), some.bytes.end()).find(needle), std::string::npos);
  // Its catalog names the nodes of the sets left out: it is refused as a
  // new database before anything is restored, and nothing changes.
  const int before = objects();
  const std::vector<std::string> dbs = db_names();
  uint32_t nodes = 0, last = 0, pages = 0, nodes_after = 0;
  ASSERT_EQ(Node_RootCounts(0, &nodes, &last, &pages), 0);
  {
    testsupport::LogCapture log("I0N0");
    std::string name = "part";
    int32_t st[10];
    EXPECT_EQ(restore(&some, &name, st), -1);
    EXPECT_EQ(st[0], S_VOLNODE);
    EXPECT_TRUE(log.contains(
        "idb__restore() failed: archive holds only some of the sets of database \"sample\""))
        << log.text();
  }
  EXPECT_EQ(objects(), before);
  EXPECT_EQ(db_names(), dbs);
  ASSERT_EQ(Node_RootCounts(0, &nodes_after, &last, &pages), 0);
  EXPECT_EQ(nodes_after, nodes);
  // Every set flagged is the whole database, and restores.
  Archive_MEMSTREAM flagged;
  Archive_InitMemStream(&flagged);
  const int32_t every[3] = {1, 2, 3};
  ASSERT_EQ(Node_StoreMagic(&flagged), 0);
  ASSERT_EQ(store(&flagged, 3, every), 0);
  std::string name = "whole";
  int32_t st[10];
  EXPECT_EQ(restore(&flagged, &name, st), 0) << st[0];
  admit_boss("whole");
  EXPECT_TRUE(read("sample") == read("whole"));
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
