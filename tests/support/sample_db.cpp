// sample_db.cpp - the sample database of sample_db.h.
#include "support/sample_db.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "index/btree.h"
#include "storage/node.h"

namespace testsupport {

namespace {

char* s(const char* text) { return const_cast<char*>(text); }

int column(SysCat_DB_CATALOG* cat, const char* name, uint32_t coltype, uint32_t size,
           uint32_t* id) {
  SysCat_COLUMN c{0, 0, s(name), coltype, size, 1, 0, 0};
  if (SysCat_add_column(cat, &c, nullptr) != 0) return -1;
  *id = c.colid;
  return 0;
}

int table(SysCat_DB_CATALOG* cat, const char* name, uint32_t flags, uint32_t ncols,
          uint32_t npath, uint32_t nidx, uint32_t* id) {
  SysCat_TABLE t{0, 1, s(name), 1, flags, ncols, npath, nidx, 0};
  if (SysCat_add_table(cat, &t, nullptr) != 0) return -1;
  *id = t.tableid;
  return 0;
}

int columns_of(SysCat_DB_CATALOG* cat, uint32_t tableid, const std::vector<uint32_t>& cols) {
  for (size_t i = 0; i < cols.size(); ++i) {
    SysCat_TABLECOLUMN tc{tableid, cols[i], static_cast<uint32_t>(i + 1), 0};
    if (SysCat_add_tablecolumn(cat, &tc, nullptr) != 0) return -1;
  }
  return 0;
}

uint32_t new_btree(bool btrees) {
  if (!btrees) return 0;
  uint32_t id = 0;
  return btree_Create(0, nullptr, &id) != nullptr ? id : 0;
}

int index(SysCat_DB_CATALOG* cat, const char* name, uint32_t tableid, uint32_t flags,
          uint32_t nseg, uint32_t nodeid, uint32_t* id) {
  SysCat_INDEX x{0, tableid, s(name), 1, flags, nseg, nodeid};
  if (SysCat_add_index(cat, &x, nullptr) != 0) return -1;
  *id = x.idxid;
  return 0;
}

int seg(SysCat_DB_CATALOG* cat, uint32_t idxid, uint32_t idx, uint32_t colid) {
  SysCat_INDEXSEG sg{idxid, idx, colid, 0, 0};
  return SysCat_add_indexseg(cat, &sg, nullptr);
}

int path(SysCat_DB_CATALOG* cat, uint32_t tableid, uint32_t idx, uint32_t colid, uint32_t linked,
         uint32_t linkedidx, uint32_t linkedcol, uint32_t sortcol) {
  SysCat_TABLEPATH p{tableid, idx, colid, linked, linkedidx, linkedcol, sortcol};
  return SysCat_add_tablepath(cat, &p, nullptr);
}

}  // namespace

int sample_collation(uint32_t* id) {
  if (SysCat_COLLATE* have = SysCat_get_collate_by_name("sample.iso88591", nullptr)) {
    *id = have->id;
    free(have);
    return 0;
  }
  // Each byte value sorts as itself, folded to upper case.
  std::vector<uint8_t> blob(4 + 512);
  const uint32_t len = 512;
  memcpy(blob.data(), &len, 4);
  for (int b = 0; b < 256; ++b) {
    blob[4 + 2 * b] = 1;
    blob[4 + 2 * b + 1] = static_cast<uint8_t>(b >= 'a' && b <= 'z' ? b - 32 : b);
  }
  SysCat_COLLATE c{0, s("sample.iso88591"), 0, 0, 0, blob.data()};
  if (SysCat_add_collate(&c, nullptr) != 0) return -1;
  *id = c.id;
  return 0;
}

int write_sample_db(const char* name, bool btrees, SampleDb* out) {
  SampleDb d;
  if (sample_collation(&d.coll_id) != 0) return -1;
  SysCat_DB db{0, s(name), 0, 0};
  if (add_db(&db, 1, nullptr) != 0) return -1;
  d.dbid = db.dbid;
  SysCat_DB_CATALOG* cat = SysCat_db_open(&db);
  if (cat == nullptr) return -1;
  d.cust_key_node = new_btree(btrees);
  d.region_key_node = new_btree(btrees);
  d.ord_ix_node = new_btree(btrees);
  const bool ok =
      column(cat, "CUST-NO", 1, 8, &d.cust_no) == 0 && column(cat, "NAME", 1, 20, &d.name) == 0 &&
      column(cat, "REGION", 2, 4, &d.region) == 0 && column(cat, "ORDER-NO", 7, 4, &d.order_no) == 0 &&
      column(cat, "ORDER-DATE", 7, 4, &d.order_date) == 0 &&
      column(cat, "AMOUNT", 11, 8, &d.amount) == 0 && column(cat, "QTY", 5, 2, &d.qty) == 0 &&
      table(cat, "CUSTOMER", 1, 2, 1, 0, &d.customer) == 0 &&
      table(cat, "REGIONS", 2, 1, 1, 0, &d.regions) == 0 &&
      table(cat, "ORDERS", 0, 6, 2, 1, &d.orders) == 0 &&
      columns_of(cat, d.customer, {d.cust_no, d.name}) == 0 &&
      columns_of(cat, d.regions, {d.region}) == 0 &&
      columns_of(cat, d.orders, {d.order_no, d.cust_no, d.region, d.order_date, d.amount, d.qty}) ==
          0 &&
      index(cat, "CUST-KEY", d.customer, 4, 1, d.cust_key_node, &d.cust_key) == 0 &&
      seg(cat, d.cust_key, 1, d.cust_no) == 0 &&
      index(cat, "REGION-KEY", d.regions, 4, 1, d.region_key_node, &d.region_key) == 0 &&
      seg(cat, d.region_key, 1, d.region) == 0 &&
      index(cat, "ORD-IX", 0, 0, 2, 0, &d.ord_ix) == 0 && seg(cat, d.ord_ix, 1, d.region) == 0 &&
      seg(cat, d.ord_ix, 2, d.order_no) == 0 &&
      path(cat, d.orders, 1, d.cust_no, d.customer, 1, d.cust_no, d.order_date) == 0 &&
      path(cat, d.orders, 2, d.region, d.regions, 1, d.region, 0) == 0 &&
      path(cat, d.customer, 1, d.cust_no, d.orders, 1, d.cust_no, 0) == 0 &&
      path(cat, d.regions, 1, d.region, d.orders, 2, d.region, 0) == 0;
  int rc = ok ? 0 : -1;
  if (ok) {
    SysCat_TABLEINDEX ti{d.orders, d.ord_ix, d.coll_id, d.ord_ix_node};
    rc = SysCat_add_tableindex(cat, &ti, nullptr);
  }
  SysCat_db_close(cat);
  if (rc == 0 && out != nullptr) *out = d;
  return rc;
}

}  // namespace testsupport
