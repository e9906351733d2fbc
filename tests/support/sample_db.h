// sample_db.h - a small database written into the server catalog through
// the catalog's typed API, as a client's catalog requests would leave it:
//
//   CUSTOMER  master            CUST-NO X8 (key), NAME X20           path 1 -> ORDERS
//   REGIONS   automatic master  REGION X4 (key)                      path 1 -> ORDERS
//   ORDERS    detail            ORDER-NO D, CUST-NO X8, REGION X4,
//                               ORDER-DATE D, AMOUNT L, QTY I
//             path 1 -> CUSTOMER by CUST-NO, sorted by ORDER-DATE
//             path 2 -> REGIONS by REGION
//             index ORD-IX: REGION ('X' segment), ORDER-NO ('D' segment),
//             under the collation "sample.iso88591"
//
// Record lengths: CUSTOMER 28, REGIONS 4, ORDERS 30 (media 40, 16, 52).
// The B-trees of the master keys and of the index are created when asked;
// the record files are not (the database is not created yet).
//
// The stored sample (write_sample_db_stored) has a record file per set and
// B-trees with the access layer's typed key definitions, and
// add_sample_records writes these media records byte by byte (ORDERS:
// ORDER-NO @0, CUST-NO @4, REGION @12, ORDER-DATE @16, AMOUNT @20, QTY @28,
// index word @32, path 1 {next, prev} @36, path 2 @44; masters: the key,
// then per path {count, first, last}), with their chains and keys:
//
//   CUSTOMER 1 C001 (orders 2, 1, 4 by date)  2 C002 (5, 3)  3 C003 (none)
//   REGIONS  1 EAST (orders 1, 3)  2 WEST (2, 5)  3 east (4)
//   ORDERS   recno ORDER-NO CUST-NO REGION ORDER-DATE
//            1     101      C001    EAST   20240105
//            2     102      C001    WEST   20240101
//            3     103      C002    EAST   20240203
//            4     104      C001    east   20240110
//            5     105      C002    WEST   20240201
//
// ORD-IX collates "east" equal to "EAST": its key order is EAST 101, EAST
// 103, east 104, WEST 102, WEST 105.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "index/syscat.h"

namespace testsupport {

struct SampleDb {
  uint32_t dbid = 0;
  uint32_t coll_id = 0;
  uint32_t customer = 0, regions = 0, orders = 0;       // table ids
  uint32_t cust_no = 0, name = 0, region = 0, order_no = 0, order_date = 0, amount = 0,
           qty = 0;                                     // column ids
  uint32_t cust_key = 0, region_key = 0, ord_ix = 0;    // index ids
  uint32_t cust_key_node = 0, region_key_node = 0, ord_ix_node = 0;
  uint32_t customer_node = 0, regions_node = 0, orders_node = 0;  // record files (stored sample)
};

// The collation "sample.iso88591" (added once; its id in *id). 0 or -1.
int sample_collation(uint32_t* id);
// Writes database name (created by uid 1) with its catalog; btrees: create
// the key and index B-trees (btree_Init must have run). 0 or -1.
int write_sample_db(const char* name, bool btrees, SampleDb* out);

// The stored sample: as write_sample_db with B-trees, plus a record file of
// media length per set (FixRec_Init and btree_Init must have run). 0 or -1.
// manual_regions makes REGIONS a manual master (ORDERS then has two
// manual paths).
int write_sample_db_stored(const char* name, SampleDb* out, bool manual_regions = false);
// Writes the records above in one committed transaction of a new log node
// (the log must be set up). 0 or -1.
int add_sample_records(const SampleDb& d);

// The ledger: a second small database, with a numeric master key and
// 100-byte detail records:
//
//   ACCOUNTS  manual master  ACCT-NO D (key), HOLDER X12       path 1 -> ENTRIES
//   ENTRIES   detail         ENTRY-NO D, ACCT-NO D, MEMO X92
//             path 1 -> ACCOUNTS by ACCT-NO, unsorted
//
// Record lengths: ACCOUNTS 16, ENTRIES 100 (media 28 and 108). The stored
// form as write_sample_db_stored's: a record file per set and the master
// key's B-tree with its typed key (4 bytes, INT32).
struct LedgerDb {
  uint32_t dbid = 0;
  uint32_t accounts = 0, entries = 0;                   // table ids
  uint32_t acct_no = 0, holder = 0, entry_no = 0, memo = 0;  // column ids
  uint32_t acct_key = 0, acct_key_node = 0;
  uint32_t accounts_node = 0, entries_node = 0;
};
int write_ledger_db(const char* name, LedgerDb* out);
// Account 1 (ACCT-NO 1, holder "first") and entries 1..count on its chain
// in record-number order, ENTRY-NO the record number and MEMO "entry <n>",
// in committed transactions of a new log node, each of at most 5,000
// records (the log is checkpointed between them). 0 or -1.
int add_ledger_entries(const LedgerDb& d, uint32_t count);
// Accounts 2..count after add_ledger_entries (ACCT-NO the record number,
// HOLDER "holder <n>", no entries), with their keys, in committed
// transactions of at most 5,000 records (the log checkpointed between
// them): a large master for reads by key. 0 or -1.
int add_ledger_accounts(const LedgerDb& d, uint32_t count);
// The user record of ledger entry n as add_ledger_entries writes it.
std::vector<uint8_t> ledger_entry(uint32_t n);
// Makes uid a member of a new group "members" of database db_name that may
// read, write and erase both ledger sets. 0 or -1.
int grant_ledger_sets(const char* db_name, const LedgerDb& d, uint32_t uid);

// Makes uid a member of a new group "admins" of database db_name that may
// read, write and erase the sample's three sets. 0 or -1.
int grant_sample_sets(const char* db_name, const SampleDb& d, uint32_t uid);
// Adds user name with capabilities caps to the server catalog, with the
// stored digest of password (nullptr: no password). Its uid, 0 on a failure.
uint32_t add_user(const char* name, uint32_t caps, const char* password = nullptr);
// The sample's users in the sample database d.dbid names: "alice"
// (connect, password "secret", group "readers": read on CUSTOMER, read and
// write on ORDERS, erase on REGIONS) and "boss" (dba, password "boss-pw",
// group "admins": database administration, read, write and erase on every
// set). 0 or -1.
int add_sample_users(const char* db_name, const SampleDb& d);
// The names of the server catalog's databases, in catalog order.
std::vector<std::string> database_names();

// The media record of an order and of a master, byte by byte.
struct SampleOrder {
  int32_t order_no;
  const char* cust_no;  // 8 bytes, blank-padded
  const char* region;   // 4 bytes
  int32_t order_date;
  double amount;
  int16_t qty;
  uint32_t index_word;
  uint32_t cust_next, cust_prev, region_next, region_prev;
};
void encode_order(const SampleOrder& o, uint8_t* media);  // 52 bytes
// A master's user record (rec_len bytes, a multiple of 4), then its one
// path entry {count, first, last}.
void encode_master(const char* user, uint32_t rec_len, uint32_t count, uint32_t first,
                   uint32_t last, uint8_t* media);

}  // namespace testsupport
