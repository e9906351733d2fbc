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
#pragma once
#include <cstdint>

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
};

// The collation "sample.iso88591" (added once; its id in *id). 0 or -1.
int sample_collation(uint32_t* id);
// Writes database name (created by uid 1) with its catalog; btrees: create
// the key and index B-trees (btree_Init must have run). 0 or -1.
int write_sample_db(const char* name, bool btrees, SampleDb* out);

}  // namespace testsupport
