// pool_format.h - the on-disk records of the pools and their free lists:
// the node free-list page (page type 5), the cluster head and block header
// inside pool clusters, the pool log record (opcode 18) and the anchor of a
// chained pool.
//
// All integers are little-endian; each record has one encode and one
// decode function that go field by field (pool_format.cpp), beside a
// compile-time check of its size. Plain functions over plain records; any
// thread may call them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/node_format.h"

// --- Free-list page (page type 5) -------------------------------------------------

inline constexpr int Node_FLIST_NUMITEMS = 1020;
inline constexpr size_t Node_FLIST_HEAD_SIZE = 28;
inline constexpr size_t Node_FLIST_USED = 8188;  // end of the last slot
// Where the single item of a new page goes: the only page of a list gets it
// in the middle so that both ends can grow.
inline constexpr int Node_FLIST_MIDDLE = 510;

struct Node_FLIST {
  Vol_PGHEADER header;       // type 5, the page's own address
  uint32_t prev_page = 0;    // 0 = head page
  uint32_t next_page = 0;    // 0 = tail page
  uint32_t num_items = 0;    // used slots
  uint32_t first_item = 0;   // first used slot
  uint32_t last_item = 0;    // one past the last used slot
};

void Node_EncodeFlist(const Node_FLIST& h, uint8_t* out);
Node_FLIST Node_DecodeFlist(const uint8_t* in);
// Byte offset of free-list slot i (0..1019).
constexpr size_t Node_FitemOffset(int i) {
  return Node_FLIST_HEAD_SIZE + static_cast<size_t>(i) * Node_ADDR_SIZE;
}

// --- Pool clusters ------------------------------------------------------------------

inline constexpr uint32_t Pool_CLUSTER_HEAD_SIZE = 12;
inline constexpr uint32_t Pool_HEADER_SIZE = 8;
// The largest block: a whole 8-page cluster but its head and one header.
inline constexpr uint32_t Pool_MAX_BLOCK_SIZE =
    Vol_MAXCLUST * Vol_PAGESIZE - Pool_CLUSTER_HEAD_SIZE - Pool_HEADER_SIZE;
static_assert(Pool_MAX_BLOCK_SIZE == 65516);
// Smallest block a free remainder must reach to be split off.
inline constexpr uint16_t Pool_MIN_BLOCK_SIZE = 64;

struct Pool_CLUSTER_HEAD {
  uint32_t prev = 0;         // chained pools: previous cluster
  uint32_t next = 0;         // chained pools: next cluster
  uint16_t last_offset = 0;  // chained pools: offset of the last block header
  uint16_t num_pages = 0;    // 1..8
};

enum { Pool_BLOCKUSED = 0 };  // bit of Pool_HEADER.flags

struct Pool_HEADER {
  uint16_t prev = 0;   // distance back to the previous header; 0 = first block
  uint16_t next = 0;   // distance to the next header; 0 = last block
  uint16_t size = 0;   // payload bytes
  uint16_t flags = 0;  // bit 0: in use
};

inline bool Pool_TestFlag(int bit, const Pool_HEADER* h) { return (h->flags >> bit) & 1u; }
inline void Pool_SetFlag(int bit, Pool_HEADER* h) {
  h->flags = static_cast<uint16_t>(h->flags | (1u << bit));
}
inline void Pool_ClearFlag(int bit, Pool_HEADER* h) {
  h->flags = static_cast<uint16_t>(h->flags & ~(1u << bit));
}

void Pool_EncodeClusterHead(const Pool_CLUSTER_HEAD& h, uint8_t* out);
Pool_CLUSTER_HEAD Pool_DecodeClusterHead(const uint8_t* in);
void Pool_EncodeHeader(const Pool_HEADER& h, uint8_t* out);
Pool_HEADER Pool_DecodeHeader(const uint8_t* in);

// --- Pool log record (opcode 18) ------------------------------------------------------

enum {
  Pool_OP_NEW = 1,         // a page of a new cluster, redirected
  Pool_OP_MODIFY = 2,      // a page changed, redirected
  Pool_OP_DELETE = 3,      // a page of a cluster that goes
  Pool_OP_FLIST = 4,       // a block to the pool free list at commit
  Pool_OP_FLIST_UNDO = 5,  // a block taken off the free list, back at rollback
};
inline constexpr int Pool_MAX_ITEMS_TO_DELETE = 2;
inline constexpr size_t Pool_RECORD_SIZE = 28;

struct Pool_RECORD {
  uint32_t opcode = 0;
  // NEW, MODIFY, DELETE: the log address of the previous record of the same
  // page by this transaction; FLIST kinds: the block to list (cluster 0 = none).
  Node_ADDR addr;
  // NEW, MODIFY, DELETE: the page and its redirected copy, and the cluster
  // the page belongs to (its first page and page count) in the eight bytes
  // these opcodes leave free, so the used-cluster list names each cluster
  // once.
  uint32_t page = 0;
  uint32_t r_pgno = 0;
  uint32_t cluster = 0;
  uint16_t cluster_pages = 0;
  // FLIST kinds: blocks to take off the pool free list (cluster 0 = none),
  // in the same sixteen bytes.
  Node_ADDR items[Pool_MAX_ITEMS_TO_DELETE];
};

void Pool_EncodeRecord(const Pool_RECORD& r, uint8_t* out);
// -1 when size is not a record's or the opcode is none of the five.
int Pool_DecodeRecord(const uint8_t* in, size_t size, Pool_RECORD* r);

// --- Chained pools ----------------------------------------------------------------------

inline constexpr size_t FPool_ANCHOR_SIZE = 16;

struct FPool_ANCHOR {
  uint32_t head = 0;     // first cluster
  uint32_t tail = 0;     // last cluster
  Node_ADDR last_block;  // the last block appended; cluster 0 = empty pool
};

void FPool_EncodeAnchor(const FPool_ANCHOR& a, uint8_t* out);
FPool_ANCHOR FPool_DecodeAnchor(const uint8_t* in);
