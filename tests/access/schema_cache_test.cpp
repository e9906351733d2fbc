// The schema cache over the sample database: the schema it builds, one
// entry shared by two letter cases, collating sequences shared across
// databases and freed by the last close, and a table of broken catalogs
// (each refused with its log line, the cache still serving good opens).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "access/idb_cmd.h"
#include "access/idb_lookup.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "support/log_capture.h"
#include "support/sample_db.h"

namespace {

using syscat_test::CatalogFixture;
using testsupport::SampleDb;

std::string name_of(const char* n16) {
  std::string s(n16, IDB_NAME_LEN);
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

class SchemaCache : public CatalogFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_EQ(btree_Init(), 0);
  }
  void TearDown() override {
    for (vglobal* v : open_) idb__vclose_root(v);
    EXPECT_EQ(idb__get_vroot_list(), nullptr);
    EXPECT_EQ(idb__collate_list(), nullptr);
    CatalogFixture::TearDown();
  }
  vglobal* open(const char* name, idb_session* ctx = nullptr) {
    vglobal* v = nullptr;
    if (idb__vopen_root(name, &v, ctx) != 0) return nullptr;
    open_.push_back(v);
    return v;
  }
  void close(vglobal* v) {
    for (auto it = open_.begin(); it != open_.end(); ++it)
      if (*it == v) {
        open_.erase(it);
        break;
      }
    idb__vclose_root(v);
  }
  std::vector<vglobal*> open_;
};

TEST_F(SchemaCache, TheSampleDatabaseBuildsItsSchema) {
  SampleDb d;
  ASSERT_EQ(testsupport::write_sample_db("sample", true, &d), 0);
  vglobal* v = open("sample");
  ASSERT_NE(v, nullptr);
  const global& g = v->g;
  ASSERT_EQ(g.item_cnt, 7);
  ASSERT_EQ(g.iitem_cnt, 1);
  ASSERT_EQ(g.set_cnt, 3);
  const int cust = idb__find_set(&g, "customer");
  const int reg = idb__find_set(&g, "Regions");
  const int ord = idb__find_set(&g, "ORDERS");
  ASSERT_GE(cust, 0);
  ASSERT_GE(reg, 0);
  ASSERT_GE(ord, 0);
  EXPECT_EQ(g.set[cust].s.type, 'M');
  EXPECT_EQ(g.set[reg].s.type, 'A');
  EXPECT_EQ(g.set[ord].s.type, 'D');
  EXPECT_EQ(g.set[cust].rec_len, 28u);
  EXPECT_EQ(media_len(&g.set[cust]), 40u);
  EXPECT_EQ(media_len(&g.set[reg]), 16u);
  EXPECT_EQ(g.set[ord].rec_len, 30u);
  EXPECT_EQ(media_len(&g.set[ord]), 52u);
  const uint32_t offsets[] = {0, 4, 12, 16, 20, 28};
  for (int e = 0; e < 6; ++e) EXPECT_EQ(g.set[ord].offset[e], offsets[e]) << e;
  // Item types by the coltype table.
  const std::pair<const char*, char> types[] = {{"CUST-NO", 'X'}, {"REGION", 'X'},
                                                {"ORDER-NO", 'D'}, {"AMOUNT", 'L'}, {"QTY", 'I'}};
  for (const auto& [n, t] : types) {
    const int i = idb__find_item(&g, n);
    ASSERT_GE(i, 0) << n;
    EXPECT_EQ(g.item[i].type, static_cast<uint32_t>(t)) << n;
  }
  // Paths: the detail's first path is sorted by ORDER-DATE (entry 3).
  const idb_set& o = g.set[ord];
  EXPECT_EQ(o.path[0].set, cust);
  EXPECT_EQ(o.path[0].search, 1);
  EXPECT_EQ(o.path[0].sort, 3);
  EXPECT_EQ(o.path[1].set, reg);
  EXPECT_EQ(o.path[1].path, 0);
  EXPECT_EQ(o.path[1].sort, -1);
  EXPECT_EQ(g.set[reg].path[0].path, 1);
  EXPECT_EQ(g.set[reg].path[0].search, 2);  // REGION in ORDERS
  // The index: the first index item after the 7 items, with its collation.
  EXPECT_EQ(o.index[0].iitem, 7);
  ASSERT_NE(o.index[0].coll, nullptr);
  EXPECT_EQ(o.index[0].coll->map['a'][1], 'A');
  const idb_iitem& ix = g.iitem[0];
  EXPECT_EQ(name_of(ix.name), "ORD-IX");
  ASSERT_EQ(ix.seg_cnt, 2u);
  EXPECT_EQ(g.item[ix.seg[0].item].type, static_cast<uint32_t>('X'));
  EXPECT_EQ(g.item[ix.seg[1].item].type, static_cast<uint32_t>('D'));
  EXPECT_EQ(ix.seg[1].length, 4u);
  // Nodes: the key and index trees are found, the record files not created.
  EXPECT_NE(g.set[cust].s.key.node, nullptr);
  EXPECT_NE(o.index[0].node, nullptr);
  EXPECT_EQ(o.s.node, nullptr);
  idb_session s{};
  btree_HANDLE* h = nullptr;
  ASSERT_EQ(idb__bt_open(&s, o.index[0].node, nullptr, &h), 0);
  idb__bt_close(&s, h);
}

TEST_F(SchemaCache, TwoLetterCasesShareOneEntryAndTheLastCloseFreesIt) {
  ASSERT_EQ(testsupport::write_sample_db("sample", false, nullptr), 0);
  vglobal* a = open("sample");
  vglobal* b = open("SAMPLE");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->ref_cnt, 2);
  EXPECT_EQ(idb__get_vroot_list(), a);
  EXPECT_EQ(a->next, nullptr);
  close(b);
  EXPECT_EQ(a->ref_cnt, 1);
  EXPECT_EQ(idb__get_vroot_list(), a);
  close(a);
  EXPECT_EQ(idb__get_vroot_list(), nullptr);
  EXPECT_EQ(idb__collate_list(), nullptr);
}

TEST_F(SchemaCache, ACollatingSequenceStaysWhileAnotherDatabaseUsesIt) {
  ASSERT_EQ(testsupport::write_sample_db("sample", false, nullptr), 0);
  ASSERT_EQ(testsupport::write_sample_db("other", false, nullptr), 0);
  vglobal* a = open("sample");
  vglobal* b = open("other");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->next, b);
  ASSERT_NE(idb__collate_list(), nullptr);
  EXPECT_EQ(idb__collate_list()->ref_cnt, 2);
  EXPECT_EQ(idb__collate_list()->next, nullptr);
  close(a);
  ASSERT_NE(idb__collate_list(), nullptr);
  EXPECT_EQ(idb__collate_list()->ref_cnt, 1);
  close(b);
  EXPECT_EQ(idb__collate_list(), nullptr);
}

// --- Broken catalogs ----------------------------------------------------------------------------

// Rewrites every row of sys_id that match keeps through change.
template <class Row>
int edit(SysCat_DB_CATALOG* cat, int sys_id, const std::function<bool(const Row&)>& match,
         const std::function<void(Row&)>& change) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  int n = 0;
  for (int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, nullptr, &st, &row, nullptr); rc == 0;
       rc = SysCat_get(cat, sys_id, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    auto* r = static_cast<Row*>(row);
    if (match(*r)) {
      change(*r);
      if (SysCat_upd_entry(cat, sys_id, r, &st, nullptr) != 0) n = -1000;
      ++n;
    }
    free(row);
  }
  return n;
}

struct Broken {
  const char* what;
  std::function<int(SysCat_DB_CATALOG*, const SampleDb&)> damage;  // 0 done
  const char* line;  // a line the refusal logs
};

int add_column(SysCat_DB_CATALOG* cat, const char* name, uint32_t coltype, uint32_t size,
               uint32_t elements, uint32_t* id) {
  SysCat_COLUMN c{0, 0, const_cast<char*>(name), coltype, size, elements, 0, 0};
  const int rc = SysCat_add_column(cat, &c, nullptr);
  *id = c.colid;
  return rc;
}

int set_column(SysCat_DB_CATALOG* cat, uint32_t colid, uint32_t size, uint32_t elements) {
  return edit<SysCat_COLUMN>(cat, SysColumns_ID, [&](const SysCat_COLUMN& c) { return c.colid == colid; },
                             [&](SysCat_COLUMN& c) {
                               c.size = size;
                               c.elements = elements;
                             }) == 1 ? 0 : -1;
}

int set_table(SysCat_DB_CATALOG* cat, uint32_t tableid, const std::function<void(SysCat_TABLE&)>& f) {
  return edit<SysCat_TABLE>(cat, SysTables_ID,
                            [&](const SysCat_TABLE& t) { return t.tableid == tableid; }, f) == 1
             ? 0
             : -1;
}

int set_path(SysCat_DB_CATALOG* cat, uint32_t tableid, uint32_t idx,
             const std::function<void(SysCat_TABLEPATH&)>& f) {
  return edit<SysCat_TABLEPATH>(
             cat, SysTablePath_ID,
             [&](const SysCat_TABLEPATH& p) { return p.tableid == tableid && p.idx == idx; }, f) == 1
             ? 0
             : -1;
}

int add_seg(SysCat_DB_CATALOG* cat, uint32_t idxid, uint32_t idx, uint32_t colid, uint32_t length) {
  SysCat_INDEXSEG s{idxid, idx, colid, length, 0};
  return SysCat_add_indexseg(cat, &s, nullptr);
}

int set_seg(SysCat_DB_CATALOG* cat, uint32_t idxid, uint32_t idx,
            const std::function<void(SysCat_INDEXSEG&)>& f) {
  return edit<SysCat_INDEXSEG>(
             cat, SysIndexSeg_ID,
             [&](const SysCat_INDEXSEG& s) { return s.idxid == idxid && s.idx == idx; }, f) == 1
             ? 0
             : -1;
}

int set_nseg(SysCat_DB_CATALOG* cat, uint32_t idxid, uint32_t nseg) {
  return edit<SysCat_INDEX>(cat, SysIndex_ID, [&](const SysCat_INDEX& x) { return x.idxid == idxid; },
                            [&](SysCat_INDEX& x) { x.nseg = nseg; }) == 1
             ? 0
             : -1;
}

// A collation row written past the typed API's check: its last counted
// string claims more bytes than the map holds.
int corrupt_collation(SysCat_DB_CATALOG* cat, const SampleDb& d) {
  std::vector<uint8_t> blob(4 + 512);
  const uint32_t len = 512;
  memcpy(blob.data(), &len, 4);
  for (int b = 0; b < 256; ++b) {
    blob[4 + 2 * b] = 1;
    blob[4 + 2 * b + 1] = static_cast<uint8_t>(b);
  }
  blob[4 + 510] = 200;
  SysCat_COLLATE c{0, const_cast<char*>("bad.iso88591"), 0, 0, 0, blob.data()};
  c.id = SysCat_get_unique_id(nullptr, SysCollate_ID, nullptr);
  if (c.id == 0 || SysCat_add_entry(nullptr, SysCollate_ID, &c, nullptr, nullptr) != 0) return -1;
  return edit<SysCat_TABLEINDEX>(cat, SysTableIndex_ID,
                                 [&](const SysCat_TABLEINDEX& t) { return t.tableid == d.orders; },
                                 [&](SysCat_TABLEINDEX& t) { t.collid = c.id; }) == 1
             ? 0
             : -1;
}

TEST_F(SchemaCache, BrokenCatalogsAreRefusedWithTheirLine) {
  const Broken cases[] = {
      {"index segment 0 of a known index",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return add_seg(c, d.ord_ix, 0, d.qty, 0); },
       "Bad Index seg, segment out of range. idxid = "},
      {"two master keys",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         SysCat_INDEX x{0, d.customer, const_cast<char*>("CUST-KEY2"), 1, 4, 1, 0};
         return SysCat_add_index(c, &x, nullptr);
       },
       "Primary index already defined. tableid = "},
      {"a detail linked to a detail",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_path(c, d.orders, 2, [&](SysCat_TABLEPATH& p) {
           p.linkedtableid = d.orders;
           p.linkedidx = 2;
         });
       },
       "Detail/Detail relationship. tableid = "},
      {"a master whose path column is not its first",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_path(c, d.customer, 1, [&](SysCat_TABLEPATH& p) { p.colid = d.name; });
       },
       "Bas column. tableid = "},
      {"an unsupported column type",
       [](SysCat_DB_CATALOG* c, const SampleDb&) {
         uint32_t id;
         return add_column(c, "ODD", 8, 4, 1, &id);
       },
       "Unsupported column type encountered"},
      {"a column name of 17 characters",
       [](SysCat_DB_CATALOG* c, const SampleDb&) {
         uint32_t id;
         return add_column(c, "ABCDEFGHIJKLMNOPQ", 1, 4, 1, &id);
       },
       "Column name too long. colid = "},
      {"a table name of 17 characters",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_table(c, d.customer,
                          [](SysCat_TABLE& t) { t.name = const_cast<char*>("CUSTOMERS-OF-1999"); });
       },
       "Table name too long. tableid = "},
      {"an index item of 9 segments",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_nseg(c, d.ord_ix, 9); },
       "Too many index segments. idxid = "},
      {"8 segments used on a set (the index word is the eighth key part)",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         if (set_nseg(c, d.ord_ix, 8) != 0) return -1;
         for (uint32_t i = 3; i <= 8; ++i)
           if (add_seg(c, d.ord_ix, i, d.qty, 0) != 0) return -1;
         return 0;
       },
       "Too many segments for a table index. tableid = "},
      {"17 paths",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_table(c, d.orders, [](SysCat_TABLE& t) { t.npath = 17; });
       },
       "Too many columns, paths or indexes. tableid = "},
      {"a record over the work buffer",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_column(c, d.name, 8000, 2); },
       "Record too long. tableid = "},
      {"a record length that overflows 32 bits",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_column(c, d.name, 0x10000, 0x10000); },
       "Record too long. tableid = "},
      {"a media record just over the work buffer",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_column(c, d.name, 8176, 1); },
       "Record too long. tableid = "},
      {"a segment longer than its item",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_seg(c, d.ord_ix, 1, [](SysCat_INDEXSEG& s) { s.length = 5; }); },
       "Bad Index seg, length 5 does not fit item. idxid = "},
      {"an index on a set that does not hold a segment's item",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_seg(c, d.ord_ix, 1, [&](SysCat_INDEXSEG& s) { s.colid = d.name; });
       },
       "Index segment not in table. tableid = "},
      {"a segment of a 'D' item that is not 4 bytes",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) { return set_seg(c, d.ord_ix, 2, [](SysCat_INDEXSEG& s) { s.length = 2; }); },
       "Bad Index seg, length 2 does not fit item. idxid = "},
      {"a path item that differs from the master's key",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_path(c, d.orders, 1, [&](SysCat_TABLEPATH& p) { p.colid = d.order_no; });
       },
       "Path item does not match the master key. tableid = "},
      {"a collating sequence whose strings run past its map", corrupt_collation,
       "is inconsistent or corrupted"},
      {"a node that does not exist",
       [](SysCat_DB_CATALOG* c, const SampleDb& d) {
         return set_table(c, d.customer, [](SysCat_TABLE& t) { t.nodeid = 4000; });
       },
       "S_VOLNODE (-802,"},
  };
  SampleDb good;
  ASSERT_EQ(testsupport::write_sample_db("good", true, &good), 0);
  int n = 0;
  for (const Broken& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "broken" + std::to_string(n++);
    SampleDb d;
    ASSERT_EQ(testsupport::write_sample_db(name.c_str(), false, &d), 0);
    SysCat_DB* row = SysCat_get_db_by_name(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(row, nullptr);
    SysCat_DB_CATALOG* cat = SysCat_db_open(row);
    free(row);
    ASSERT_NE(cat, nullptr);
    ASSERT_EQ(c.damage(cat, d), 0);
    SysCat_db_close(cat);
    testsupport::LogCapture log("I2");
    idb_session s{};
    EXPECT_EQ(open(name.c_str(), &s), nullptr);
    EXPECT_TRUE(log.contains(c.line)) << log.text();
    EXPECT_EQ(idb__get_vroot_list(), nullptr);
    EXPECT_EQ(idb__collate_list(), nullptr);
    // The cache still serves a sound database.
    vglobal* v = open("good");
    ASSERT_NE(v, nullptr);
    close(v);
  }
}

TEST_F(SchemaCache, ASegmentOfAnUnknownIndexIsSkippedWithItsLine) {
  SampleDb d;
  ASSERT_EQ(testsupport::write_sample_db("sample", false, &d), 0);
  SysCat_DB* row = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(row);
  free(row);
  ASSERT_EQ(add_seg(cat, 999, 1, d.qty, 0), 0);
  SysCat_db_close(cat);
  testsupport::LogCapture log("I2");
  EXPECT_NE(open("sample"), nullptr);
  EXPECT_TRUE(log.contains("No matching iitem - ignoring index seg. idxid = 999, idx = 1"))
      << log.text();
}

TEST_F(SchemaCache, AMissingDatabaseIsRefused) {
  testsupport::LogCapture log("I2");
  EXPECT_EQ(open("nothere"), nullptr);
  EXPECT_TRUE(log.contains("Database nothere does not exist")) << log.text();
}

TEST_F(SchemaCache, IndexesAndKeysWithoutNodesAnswerNotFound) {
  ASSERT_EQ(testsupport::write_sample_db("sample", false, nullptr), 0);
  vglobal* v = open("sample");
  ASSERT_NE(v, nullptr);
  const idb_set& o = v->g.set[idb__find_set(&v->g, "ORDERS")];
  const idb_set& c = v->g.set[idb__find_set(&v->g, "CUSTOMER")];
  idb_session s{};
  btree_HANDLE* h = nullptr;
  EXPECT_EQ(idb__bt_open(&s, o.index[0].node, nullptr, &h), -1);
  EXPECT_EQ(s.error.code, S_NOTFOUND);
  s.error = idb_error{};
  EXPECT_EQ(idb__bt_open(&s, c.s.key.node, nullptr, &h), -1);
  EXPECT_EQ(s.error.code, S_NOTFOUND);
  s.error = idb_error{};
  EXPECT_EQ(idb__open_node(&s, &o, 1), -1);
  EXPECT_EQ(s.error.code, S_NOTFOUND);
  EXPECT_EQ(s.node_cnt, 0);
}

}  // namespace
