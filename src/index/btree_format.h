// btree_format.h - the on-disk records of the B-tree: the meta data with the
// key definition, the page (header, slot array, entries) and the log record
// of a page change (opcode 16).
//
// All integers are little-endian. Meta data and log records have one encode
// and one decode function each that go field by field, beside a
// compile-time check of their sizes (btree_format.cpp). Pages are worked on
// in place in their cache buffers through the accessors below, one field at
// a time; nothing is ever copied to or from disk as a C++ struct. Plain
// functions over plain records; any thread may call them. See README.md
// ("Formats").
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/disk_bytes.h"
#include "storage/node_format.h"
#include "storage/volume_format.h"

// --- Meta data -------------------------------------------------------------------

inline constexpr uint32_t BTMAGIC = 0x53162;
inline constexpr uint32_t BTVERSION = 1;
// k_flags bit 0: the parts are typed and the tree needs the access layer's
// typed compare (the default compare refuses it). Despite its name nothing
// sorts reversed: the typed compare orders each part ascending.
inline constexpr uint32_t BT_KREV2 = 1;
inline constexpr uint32_t BT_MAXPARTS = 8;   // k_nparts 0..8
inline constexpr size_t BT_META_WORDS = 6;   // magic .. reserved, before the key definition
inline constexpr size_t BT_KEYDEF_HEAD = 12; // k_flags, k_nparts, k_len
inline constexpr size_t BT_KEYPART_SIZE = 12;
// 24 + 12 + 12 per part: (k_nparts + 3) x 12.
inline constexpr size_t BT_META_BASE = BT_META_WORDS * 4 + BT_KEYDEF_HEAD;
// A tree created without a key definition keeps one part's room, zero.
inline constexpr size_t BT_META_NOKEYDEF = BT_META_BASE + BT_KEYPART_SIZE;

struct btree_KEYPART {
  uint32_t kp_start = 0;  // byte offset of the part in the key
  uint32_t kp_leng = 0;   // its length
  uint32_t kp_type = 0;   // item type code (for the typed compare)
};

struct btree_KEYDEF {
  uint32_t k_flags = 0;   // 0, or BT_KREV2: typed parts, the typed compare
  uint32_t k_nparts = 0;  // 0..8
  uint32_t k_len = 0;     // sum of kp_leng
  btree_KEYPART k_part[BT_MAXPARTS];
};

struct btree_META {
  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t psize = 0;
  uint32_t reserved_pgno = 0;  // word 3: a page number only restore remaps
  uint32_t root = 0;           // word 4: the root page (it never moves)
  uint32_t reserved = 0;       // word 5
  btree_KEYDEF keydef;
};

// Bytes of meta data for a key definition (none: BT_META_NOKEYDEF).
size_t btree_MetaSize(const btree_KEYDEF* keydef);
// Writes meta into out[0..size); size must be btree_MetaSize of its key
// definition or more (the rest is zeroed).
void btree_EncodeMeta(const btree_META& meta, uint8_t* out, size_t size);
// Reads meta data of size bytes. 0, or -1 when the bytes cannot be meta
// data: shorter than BT_META_BASE, k_nparts above 8, or parts beyond size.
// Magic, version and psize are left for the caller to judge.
int btree_DecodeMeta(const uint8_t* in, size_t size, btree_META* meta);
// The root and reserved words in place (meta bytes of a node).
inline uint32_t btree_MetaRoot(const uint8_t* meta) { return le_get32(meta + 16); }
inline void btree_SetMetaRoot(uint8_t* meta, uint32_t root) { le_put32(meta + 16, root); }

// --- Page ---------------------------------------------------------------------------

inline constexpr uint32_t BT_PSIZE = Vol_PAGESIZE;
inline constexpr uint32_t BT_HDRSIZE = 24;  // pgno, prev, next, flags, lower, upper
inline constexpr uint32_t P_BINTERNAL = 1;
inline constexpr uint32_t P_BLEAF = 2;
inline constexpr uint32_t P_TYPE = 0x1F;
inline constexpr uint32_t BT_ENTRY_HEAD = 9;  // ksize, second word, entry flags
// Entry bytes and slot bytes that one page can hold.
inline constexpr uint32_t BT_FULL = BT_PSIZE - BT_HDRSIZE;  // 8168
// The largest entry (4-byte aligned): two of them with their slots fit in
// one page, so any full page plus one entry splits into two that fit.
inline constexpr uint32_t BT_MAXENTRY = BT_FULL / 2 - 4;  // 4080
inline constexpr uint8_t BT_NEWPAGE_FILL = 0xEE;
inline constexpr uint8_t BT_SPLITPAGE_FILL = 0xFF;

struct btree_PAGEHDR {
  uint32_t pgno = 0;       // the page's own address
  uint32_t prev_pgno = 0;  // left neighbour on the level, 0 = none
  uint32_t next_pgno = 0;  // right neighbour, 0 = none
  uint32_t flags = 0;      // & P_TYPE: P_BINTERNAL or P_BLEAF
  uint32_t lower = 0;      // end of the slot array
  uint32_t upper = 0;      // lowest entry
};
void btree_EncodePageHeader(const btree_PAGEHDR& h, uint8_t* page);
btree_PAGEHDR btree_DecodePageHeader(const uint8_t* page);

// Header fields in place.
inline uint32_t bt_pgno(const uint8_t* p) { return le_get32(p); }
inline uint32_t bt_prev(const uint8_t* p) { return le_get32(p + 4); }
inline uint32_t bt_next(const uint8_t* p) { return le_get32(p + 8); }
inline uint32_t bt_flags(const uint8_t* p) { return le_get32(p + 12); }
inline uint32_t bt_type(const uint8_t* p) { return bt_flags(p) & P_TYPE; }
inline bool bt_is_leaf(const uint8_t* p) { return bt_type(p) == P_BLEAF; }
inline uint32_t bt_lower(const uint8_t* p) { return le_get32(p + 16); }
inline uint32_t bt_upper(const uint8_t* p) { return le_get32(p + 20); }
inline void bt_set_prev(uint8_t* p, uint32_t v) { le_put32(p + 4, v); }
inline void bt_set_next(uint8_t* p, uint32_t v) { le_put32(p + 8, v); }
inline void bt_set_lower(uint8_t* p, uint32_t v) { le_put32(p + 16, v); }
inline void bt_set_upper(uint8_t* p, uint32_t v) { le_put32(p + 20, v); }
inline uint32_t bt_nent(const uint8_t* p) { return (bt_lower(p) - BT_HDRSIZE) / 4; }
inline uint32_t bt_room(const uint8_t* p) { return bt_upper(p) - bt_lower(p); }
inline uint32_t bt_slot(const uint8_t* p, uint32_t i) { return le_get32(p + BT_HDRSIZE + 4 * i); }
inline void bt_set_slot(uint8_t* p, uint32_t i, uint32_t off) {
  le_put32(p + BT_HDRSIZE + 4 * i, off);
}

// Entry sizes with their 4-byte alignment (the slot not included).
constexpr uint32_t bt_leaf_size(uint32_t ksize, uint32_t dsize) {
  return (ksize + dsize + 12) & ~3u;
}
constexpr uint32_t bt_internal_size(uint32_t ksize) { return (ksize + 12) & ~3u; }

// Entry fields at a byte offset of the page. The second word is the data
// length on a leaf and the child page on an internal page.
inline uint32_t bt_e_ksize(const uint8_t* p, uint32_t off) { return le_get32(p + off); }
inline uint32_t bt_e_word2(const uint8_t* p, uint32_t off) { return le_get32(p + off + 4); }
inline const uint8_t* bt_e_key(const uint8_t* p, uint32_t off) { return p + off + BT_ENTRY_HEAD; }
// The size of the entry at off on page p (by the page's type).
inline uint32_t bt_e_size(const uint8_t* p, uint32_t off) {
  return bt_is_leaf(p) ? bt_leaf_size(bt_e_ksize(p, off), bt_e_word2(p, off))
                       : bt_internal_size(bt_e_ksize(p, off));
}
// Writes an entry head and its bytes (data: leaf only) at off.
void bt_write_entry(uint8_t* p, uint32_t off, const uint8_t* key, uint32_t ksize, uint32_t word2,
                    const uint8_t* data, uint32_t dsize);
// An empty page: header {pgno, prev, next, type}, lower 24, upper 8192.
void bt_init_page(uint8_t* p, uint32_t pgno, uint32_t prev, uint32_t next, uint32_t type);

// Checks one page's layout without trusting it: the type, lower and upper
// within the page, every slot inside [upper, 8192) on a 4-byte boundary and
// every entry ending inside the page. 0, or -1 with *why naming the fault.
int btree_CheckPageLayout(const uint8_t* page, const char** why);

// --- Log record of a page change (opcode 16) ---------------------------------

enum { BT_TX_NewPage = 0, BT_TX_FreePage = 1, BT_TX_UpdPage = 2 };

struct btree_TX_DATA {
  // The page's previous record in this transaction: the log address of its
  // block (cluster, offset, size as the log's pool gives them); cluster 0 =
  // none.
  Node_ADDR prev;
  uint32_t op = 0;     // BT_TX_*
  uint32_t o_pgno = 0; // the page's home address
  uint32_t r_pgno = 0; // the shadow page with the transaction's version, 0 = none
};
inline constexpr size_t btree_TX_DATA_SIZE = 20;
void btree_EncodeTxData(const btree_TX_DATA& rec, uint8_t* out);
btree_TX_DATA btree_DecodeTxData(const uint8_t* in);
