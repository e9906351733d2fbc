// sample_db.cpp - the sample database of sample_db.h.
#include "support/sample_db.h"

#include <nettle/md5.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access/idb_key.h"
#include "access/schema_cache.h"
#include "index/btree.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/tlog.h"

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
          uint32_t npath, uint32_t nidx, uint32_t* id, uint32_t nodeid = 0) {
  SysCat_TABLE t{0, 1, s(name), 1, flags, ncols, npath, nidx, nodeid};
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

uint32_t new_btree(bool btrees, const btree_KEYDEF* keydef) {
  if (!btrees) return 0;
  uint32_t id = 0;
  return btree_Create(0, keydef, &id) != nullptr ? id : 0;
}

uint32_t new_file(bool stored, uint32_t media_len) {
  if (!stored) return 0;
  Node* f = FixRec_Create(media_len, 0);
  return f != nullptr ? f->node.node_id : 0;
}

// The access layer's key definitions: typed parts {offset in the media
// record, length, key type}.
btree_KEYDEF keydef(std::initializer_list<btree_KEYPART> parts) {
  btree_KEYDEF k;
  k.k_flags = IDB_KTYPED;
  for (const btree_KEYPART& p : parts) {
    k.k_part[k.k_nparts++] = p;
    k.k_len += p.kp_leng;
  }
  return k;
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

namespace {

int write_db(const char* name, bool btrees, bool stored, SampleDb* out, bool manual_regions = false) {
  SampleDb d;
  if (sample_collation(&d.coll_id) != 0) return -1;
  SysCat_DB db{0, s(name), 0, 0};
  if (add_db(&db, 1, nullptr) != 0) return -1;
  d.dbid = db.dbid;
  SysCat_DB_CATALOG* cat = SysCat_db_open(&db);
  if (cat == nullptr) return -1;
  // The trees get the key definitions DBCREATE gives them: an open
  // refuses a tree whose key the schema contradicts.
  const btree_KEYDEF cust = keydef({{0, 8, IDB_KT_CHAR}});
  const btree_KEYDEF region = keydef({{0, 4, IDB_KT_CHAR}});
  const btree_KEYDEF ord = keydef({{12, 4, IDB_KT_CHAR}, {0, 4, IDB_KT_INT32}, {32, 4, IDB_KT_INT32}});
  d.cust_key_node = new_btree(btrees || stored, &cust);
  d.region_key_node = new_btree(btrees || stored, &region);
  d.ord_ix_node = new_btree(btrees || stored, &ord);
  d.customer_node = new_file(stored, 40);
  d.regions_node = new_file(stored, 16);
  d.orders_node = new_file(stored, 52);
  const bool ok =
      column(cat, "CUST-NO", 1, 8, &d.cust_no) == 0 && column(cat, "NAME", 1, 20, &d.name) == 0 &&
      column(cat, "REGION", 2, 4, &d.region) == 0 && column(cat, "ORDER-NO", 7, 4, &d.order_no) == 0 &&
      column(cat, "ORDER-DATE", 7, 4, &d.order_date) == 0 &&
      column(cat, "AMOUNT", 11, 8, &d.amount) == 0 && column(cat, "QTY", 5, 2, &d.qty) == 0 &&
      table(cat, "CUSTOMER", 1, 2, 1, 0, &d.customer, d.customer_node) == 0 &&
      table(cat, "REGIONS", manual_regions ? 1 : 2, 1, 1, 0, &d.regions, d.regions_node) == 0 &&
      table(cat, "ORDERS", 0, 6, 2, 1, &d.orders, d.orders_node) == 0 &&
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

void put_text(uint8_t* to, const char* text, uint32_t n) {
  memset(to, ' ', n);
  memcpy(to, text, std::min<size_t>(strlen(text), n));
}

// The sample collation as the schema cache holds it: every byte one
// weight, its upper-case letter.
struct FoldCollation {
  uint8_t weights[256][2];
  idb_coll coll;
  FoldCollation() {
    for (int b = 0; b < 256; ++b) {
      weights[b][0] = 1;
      weights[b][1] = static_cast<uint8_t>(b >= 'a' && b <= 'z' ? b - 32 : b);
      coll.map[b] = weights[b];
    }
  }
};

// Inserts {key built from media by the tree's key definition, recno}.
int put_key(Node* tree, btree_CTX* ctx, void* coll, const uint8_t* media, uint32_t recno) {
  btree_HANDLE* t = btree_OpenNode(tree, ctx, 0);
  if (t == nullptr) return -1;
  btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, coll);
  const btree_KEYDEF* kd = btree_GetKeyDef(t);
  uint8_t key[64];
  const uint32_t n = idb__build_key(kd, key, sizeof key, media);
  uint8_t data[4];
  le_put32(data, recno);
  btree_DBT k{key, n};
  btree_DBT v{data, 4};
  const int rc = btree_Put(t, &k, &v, R_NOOVERWRITE);
  btree_CloseNode(t);
  return rc == 0 ? 0 : -1;
}

}  // namespace

int write_sample_db(const char* name, bool btrees, SampleDb* out) {
  return write_db(name, btrees, false, out);
}

int write_sample_db_stored(const char* name, SampleDb* out, bool manual_regions) {
  return write_db(name, true, true, out, manual_regions);
}

void encode_order(const SampleOrder& o, uint8_t* media) {
  memset(media, 0, 52);
  memcpy(media + 0, &o.order_no, 4);
  put_text(media + 4, o.cust_no, 8);
  put_text(media + 12, o.region, 4);
  memcpy(media + 16, &o.order_date, 4);
  memcpy(media + 20, &o.amount, 8);
  memcpy(media + 28, &o.qty, 2);
  // bytes 30 and 31 pad the user record to a multiple of 4
  le_put32(media + 32, o.index_word);
  le_put32(media + 36, o.cust_next);
  le_put32(media + 40, o.cust_prev);
  le_put32(media + 44, o.region_next);
  le_put32(media + 48, o.region_prev);
}

void encode_master(const char* user, uint32_t rec_len, uint32_t count, uint32_t first,
                   uint32_t last, uint8_t* media) {
  put_text(media, user, rec_len);
  le_put32(media + rec_len, count);
  le_put32(media + rec_len + 4, first);
  le_put32(media + rec_len + 8, last);
}

int add_sample_records(const SampleDb& d) {
  Node* customer = Node_Find(d.customer_node);
  Node* regions = Node_Find(d.regions_node);
  Node* orders = Node_Find(d.orders_node);
  Node* cust_key = Node_Find(d.cust_key_node);
  Node* region_key = Node_Find(d.region_key_node);
  Node* ord_ix = Node_Find(d.ord_ix_node);
  if (!customer || !regions || !orders || !cust_key || !region_key || !ord_ix) return -1;
  Node* files[] = {customer, regions, orders};
  int opened = 0;
  for (Node* f : files) {
    if (Node_Open(f) != 0) break;
    ++opened;
  }
  Node* tx = opened == 3 ? Tlog_Create() : nullptr;
  btree_CTX ctx{};
  ctx.tx_node = tx;
  FoldCollation fold;
  int rc = tx != nullptr && Tlog_Begin(tx, "sample", 1) == 0 ? 0 : -1;
  auto put = [&](Node* file, const uint8_t* media, uint32_t want) {
    uint32_t recno = 0;
    if (rc == 0 && (FixRec_Put(file, &recno, media, nullptr, tx) != 0 || recno != want)) rc = -1;
  };
  uint8_t m[52];
  struct Cust { const char* user; uint32_t count, first, last; };
  const Cust custs[] = {{"C001    Ada Fischer", 3, 2, 4},
                        {"C002    Bo Lindqvist", 2, 5, 3},
                        {"C003    Cy Okafor", 0, 0, 0}};
  for (uint32_t i = 0; i < 3; ++i) {
    encode_master(custs[i].user, 28, custs[i].count, custs[i].first, custs[i].last, m);
    put(customer, m, i + 1);
    if (rc == 0) rc = put_key(cust_key, &ctx, nullptr, m, i + 1);
  }
  struct Region { const char* user; uint32_t count, first, last; };
  const Region regs[] = {{"EAST", 2, 1, 3}, {"WEST", 2, 2, 5}, {"east", 1, 4, 4}};
  for (uint32_t i = 0; i < 3; ++i) {
    encode_master(regs[i].user, 4, regs[i].count, regs[i].first, regs[i].last, m);
    put(regions, m, i + 1);
    if (rc == 0) rc = put_key(region_key, &ctx, nullptr, m, i + 1);
  }
  const SampleOrder ords[] = {
      {101, "C001", "EAST", 20240105, 12.5, 1, 0, 4, 2, 3, 0},
      {102, "C001", "WEST", 20240101, 7.25, 2, 0, 1, 0, 5, 0},
      {103, "C002", "EAST", 20240203, 99.0, 3, 0, 0, 5, 0, 1},
      {104, "C001", "east", 20240110, 0.5, 4, 0, 0, 1, 0, 0},
      {105, "C002", "WEST", 20240201, 1e3, 5, 0, 3, 0, 0, 2},
  };
  for (uint32_t i = 0; i < 5 && rc == 0; ++i) {
    SampleOrder o = ords[i];
    o.index_word = FixRec_NextCounter(orders);
    encode_order(o, m);
    put(orders, m, i + 1);
    if (rc == 0) rc = put_key(ord_ix, &ctx, &fold.coll, m, i + 1);
  }
  if (rc == 0 && Tlog_Commit(tx) == 0)
    Tlog_FinalCommit(tx);
  else if (tx != nullptr)
    rc = -1, Tlog_Rollback(tx, Tlog_TxID(tx));
  if (tx != nullptr) Tlog_Destroy(tx);
  for (int i = 0; i < opened; ++i) Node_Close(files[i]);
  return rc;
}

namespace {

// Makes uid a member of a new group of database db_name that may read,
// write and erase tables.
int grant_sets(const char* db_name, const char* group, uint32_t uid,
               std::initializer_list<uint32_t> tables) {
  SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
  if (db == nullptr) return -1;
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  if (cat == nullptr) return -1;
  SysCat_GROUP grp{0, s(group), 0};
  int rc = SysCat_add_group(cat, &grp, nullptr);
  if (rc == 0) rc = SysCat_add_member(cat, uid, grp.gid, nullptr);
  for (uint32_t table : tables) {
    SysCat_PRIVILEGE p{grp.gid, table, 7};
    if (rc == 0) rc = SysCat_add_privilege(cat, &p, nullptr);
  }
  SysCat_db_close(cat);
  return rc;
}

}  // namespace

int grant_sample_sets(const char* db_name, const SampleDb& d, uint32_t uid) {
  return grant_sets(db_name, "admins", uid, {d.customer, d.regions, d.orders});
}

int write_ledger_db(const char* name, LedgerDb* out) {
  LedgerDb d;
  SysCat_DB db{0, s(name), 0, 0};
  if (add_db(&db, 1, nullptr) != 0) return -1;
  d.dbid = db.dbid;
  SysCat_DB_CATALOG* cat = SysCat_db_open(&db);
  if (cat == nullptr) return -1;
  const btree_KEYDEF acct = keydef({{0, 4, IDB_KT_INT32}});
  d.acct_key_node = new_btree(true, &acct);
  d.accounts_node = new_file(true, 28);
  d.entries_node = new_file(true, 108);
  const bool ok =
      d.acct_key_node != 0 && column(cat, "ACCT-NO", 7, 4, &d.acct_no) == 0 &&
      column(cat, "HOLDER", 1, 12, &d.holder) == 0 &&
      column(cat, "ENTRY-NO", 7, 4, &d.entry_no) == 0 && column(cat, "MEMO", 1, 92, &d.memo) == 0 &&
      table(cat, "ACCOUNTS", 1, 2, 1, 0, &d.accounts, d.accounts_node) == 0 &&
      table(cat, "ENTRIES", 0, 3, 1, 0, &d.entries, d.entries_node) == 0 &&
      columns_of(cat, d.accounts, {d.acct_no, d.holder}) == 0 &&
      columns_of(cat, d.entries, {d.entry_no, d.acct_no, d.memo}) == 0 &&
      index(cat, "ACCT-KEY", d.accounts, 4, 1, d.acct_key_node, &d.acct_key) == 0 &&
      seg(cat, d.acct_key, 1, d.acct_no) == 0 &&
      path(cat, d.entries, 1, d.acct_no, d.accounts, 1, d.acct_no, 0) == 0 &&
      path(cat, d.accounts, 1, d.acct_no, d.entries, 1, d.acct_no, 0) == 0;
  SysCat_db_close(cat);
  if (!ok) return -1;
  if (out != nullptr) *out = d;
  return 0;
}

std::vector<uint8_t> ledger_entry(uint32_t n) {
  std::vector<uint8_t> rec(100);
  le_put32(rec.data(), n);
  le_put32(rec.data() + 4, 1);
  put_text(rec.data() + 8, ("entry " + std::to_string(n)).c_str(), 92);
  return rec;
}

namespace {

constexpr uint32_t kLedgerBatch = 5000;

// Commits tx's batch when n ends one (or is the last, count), and begins
// the next after a checkpoint. 0 going on, 1 done, -1 the commit failed
// (tx still open), -2 a later failure.
int end_ledger_batch(Node* tx, uint32_t n, uint32_t count) {
  if (n % kLedgerBatch != 0 && n < count) return 0;
  if (Tlog_Commit(tx) != 0) return -1;
  Tlog_FinalCommit(tx);
  if (n >= count) return 1;
  if (Tlog_Checkpoint("ledger batch") != 0 || Tlog_Begin(tx, "ledger", 1) != 0) return -2;
  return 0;
}

}  // namespace

int add_ledger_accounts(const LedgerDb& d, uint32_t count) {
  Node* accounts = Node_Find(d.accounts_node);
  Node* acct_key = Node_Find(d.acct_key_node);
  if (!accounts || !acct_key || count < 2) return -1;
  if (Node_Open(accounts) != 0) return -1;
  Node* tx = Tlog_Create();
  int rc = tx != nullptr && Tlog_Begin(tx, "ledger", 1) == 0 ? 0 : -1;
  btree_CTX ctx{};
  ctx.tx_node = tx;
  for (uint32_t n = 2; rc == 0; ++n) {
    uint8_t m[28] = {};
    le_put32(m, n);
    put_text(m + 4, ("holder " + std::to_string(n)).c_str(), 12);
    uint32_t recno = 0;
    if (FixRec_Put(accounts, &recno, m, nullptr, tx) != 0 || recno != n ||
        put_key(acct_key, &ctx, nullptr, m, n) != 0) {
      rc = -1;
      break;
    }
    const int end = end_ledger_batch(tx, n, count);
    if (end == 1) break;
    if (end != 0) rc = end;
  }
  if (rc == -1 && tx != nullptr) Tlog_Rollback(tx, Tlog_TxID(tx));
  if (tx != nullptr) Tlog_Destroy(tx);
  Node_Close(accounts);
  return rc == 0 ? 0 : -1;
}

int add_ledger_entries(const LedgerDb& d, uint32_t count) {
  Node* accounts = Node_Find(d.accounts_node);
  Node* entries = Node_Find(d.entries_node);
  Node* acct_key = Node_Find(d.acct_key_node);
  if (!accounts || !entries || !acct_key) return -1;
  if (Node_Open(accounts) != 0) return -1;
  if (Node_Open(entries) != 0) {
    Node_Close(accounts);
    return -1;
  }
  Node* tx = Tlog_Create();
  int rc = tx != nullptr && Tlog_Begin(tx, "ledger", 1) == 0 ? 0 : -1;
  // The account first, already heading the whole chain.
  uint8_t m[108] = {};
  le_put32(m, 1);
  put_text(m + 4, "first", 12);
  le_put32(m + 16, count);
  le_put32(m + 20, count > 0 ? 1 : 0);
  le_put32(m + 24, count);
  uint32_t recno = 0;
  if (rc == 0 && (FixRec_Put(accounts, &recno, m, nullptr, tx) != 0 || recno != 1)) rc = -1;
  btree_CTX ctx{};
  ctx.tx_node = tx;
  if (rc == 0) rc = put_key(acct_key, &ctx, nullptr, m, 1);
  for (uint32_t n = 1; rc == 0; ++n) {
    if (n <= count) {
      const std::vector<uint8_t> rec = ledger_entry(n);
      memcpy(m, rec.data(), 100);
      le_put32(m + 100, n < count ? n + 1 : 0);
      le_put32(m + 104, n - 1);
      if (FixRec_Put(entries, &recno, m, nullptr, tx) != 0 || recno != n) rc = -1;
    }
    // A transaction per batch: the log never holds them all at once.
    if (rc == 0) {
      const int end = end_ledger_batch(tx, n, count);
      if (end == 1) break;
      rc = end;
    }
  }
  if (rc == -1 && tx != nullptr) Tlog_Rollback(tx, Tlog_TxID(tx));
  if (tx != nullptr) Tlog_Destroy(tx);
  Node_Close(entries);
  Node_Close(accounts);
  return rc == 0 ? 0 : -1;
}

int grant_ledger_sets(const char* db_name, const LedgerDb& d, uint32_t uid) {
  return grant_sets(db_name, "members", uid, {d.accounts, d.entries});
}

namespace {

// A stored password: u32 length 16, then the MD5 digest.
std::vector<uint8_t> digest_block(const char* text) {
  std::vector<uint8_t> b(4 + MD5_DIGEST_SIZE);
  const uint32_t n = MD5_DIGEST_SIZE;
  memcpy(b.data(), &n, 4);
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, strlen(text), reinterpret_cast<const uint8_t*>(text));
  md5_digest(&c, MD5_DIGEST_SIZE, b.data() + 4);
  return b;
}

}  // namespace

uint32_t add_user(const char* name, uint32_t caps, const char* password) {
  std::vector<uint8_t> pw = password != nullptr ? digest_block(password) : std::vector<uint8_t>{};
  SysCat_USER u{0, s(name), password != nullptr ? pw.data() : nullptr, caps};
  return SysCat_add_user(&u, nullptr) == 0 ? u.uid : 0;
}

int add_sample_users(const char* db_name, const SampleDb& d) {
  const uint32_t alice = add_user("alice", 4, "secret");
  const uint32_t boss = add_user("boss", 1, "boss-pw");
  if (alice == 0 || boss == 0) return -1;
  SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
  if (db == nullptr) return -1;
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  if (cat == nullptr) return -1;
  SysCat_GROUP g{0, s("readers"), 0};
  int rc = SysCat_add_group(cat, &g, nullptr);
  if (rc == 0) rc = SysCat_add_member(cat, alice, g.gid, nullptr);
  // Even the dba opens a database only through a group of it.
  SysCat_GROUP a{0, s("admins"), 1};
  if (rc == 0) rc = SysCat_add_group(cat, &a, nullptr);
  if (rc == 0) rc = SysCat_add_member(cat, boss, a.gid, nullptr);
  const SysCat_PRIVILEGE privs[] = {{g.gid, d.customer, 1}, {g.gid, d.orders, 3},
                                    {g.gid, d.regions, 4},  {a.gid, d.customer, 7},
                                    {a.gid, d.orders, 7},   {a.gid, d.regions, 7}};
  for (const SysCat_PRIVILEGE& p : privs)
    if (rc == 0) rc = SysCat_add_privilege(cat, &p, nullptr);
  SysCat_db_close(cat);
  return rc;
}

std::vector<std::string> database_names() {
  std::vector<std::string> out;
  SysCat_GETSTATE st;
  void* row = nullptr;
  for (int rc = SysCat_get(nullptr, SysDb_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
       rc == 0; rc = SysCat_get(nullptr, SysDb_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    out.push_back(static_cast<SysCat_DB*>(row)->name);
    free(row);
  }
  return out;
}

}  // namespace testsupport
