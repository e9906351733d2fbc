// btree_format.cpp - encoders and decoders of the B-tree's on-disk records
// (meta data, page header, entries, the opcode-16 log record) and the
// layout check of a page read from an untrusted source.
//
// Offsets are chained constexprs checked by static_assert, so a slip fails
// to compile. No state; any thread.
#include "index/btree_format.h"

#include <cstring>

namespace {

// Meta data words.
constexpr size_t M_MAGIC = 0;
constexpr size_t M_VERSION = M_MAGIC + 4;
constexpr size_t M_PSIZE = M_VERSION + 4;
constexpr size_t M_RESPG = M_PSIZE + 4;
constexpr size_t M_ROOT = M_RESPG + 4;
constexpr size_t M_RESERVED = M_ROOT + 4;
constexpr size_t M_KFLAGS = M_RESERVED + 4;
constexpr size_t M_KNPARTS = M_KFLAGS + 4;
constexpr size_t M_KLEN = M_KNPARTS + 4;
constexpr size_t M_PARTS = M_KLEN + 4;
static_assert(M_ROOT == 16, "the root is meta word 4");
static_assert(M_PARTS == BT_META_BASE, "the parts follow the key definition head");
static_assert(BT_META_BASE == 36 && BT_META_NOKEYDEF == 48, "(k_nparts + 3) x 12");

// Page header.
constexpr size_t P_PGNO = 0;
constexpr size_t P_PREV = P_PGNO + 4;
constexpr size_t P_NEXT = P_PREV + 4;
constexpr size_t P_FLAGS = P_NEXT + 4;
constexpr size_t P_LOWER = P_FLAGS + 4;
constexpr size_t P_UPPER = P_LOWER + 4;
static_assert(P_UPPER + 4 == BT_HDRSIZE, "six words of header");

// Log record of opcode 16.
constexpr size_t T_PREV = 0;
constexpr size_t T_OP = T_PREV + 8;
constexpr size_t T_OPGNO = T_OP + 4;
constexpr size_t T_RPGNO = T_OPGNO + 4;
static_assert(T_RPGNO + 4 == btree_TX_DATA_SIZE, "20 bytes");

static_assert(BT_MAXENTRY == 4080 && 2 * (BT_MAXENTRY + 4) == BT_FULL,
              "two largest entries with their slots fill a page");
static_assert(bt_leaf_size(0, 0) == 12 && bt_internal_size(0) == 12, "entry head is 9 bytes");

}  // namespace

size_t btree_MetaSize(const btree_KEYDEF* keydef) {
  if (keydef == nullptr) return BT_META_NOKEYDEF;
  return BT_META_BASE + BT_KEYPART_SIZE * keydef->k_nparts;
}

void btree_EncodeMeta(const btree_META& meta, uint8_t* out, size_t size) {
  memset(out, 0, size);
  le_put32(out + M_MAGIC, meta.magic);
  le_put32(out + M_VERSION, meta.version);
  le_put32(out + M_PSIZE, meta.psize);
  le_put32(out + M_RESPG, meta.reserved_pgno);
  le_put32(out + M_ROOT, meta.root);
  le_put32(out + M_RESERVED, meta.reserved);
  le_put32(out + M_KFLAGS, meta.keydef.k_flags);
  le_put32(out + M_KNPARTS, meta.keydef.k_nparts);
  le_put32(out + M_KLEN, meta.keydef.k_len);
  for (uint32_t i = 0; i < meta.keydef.k_nparts && i < BT_MAXPARTS; ++i) {
    uint8_t* p = out + M_PARTS + BT_KEYPART_SIZE * i;
    le_put32(p, meta.keydef.k_part[i].kp_start);
    le_put32(p + 4, meta.keydef.k_part[i].kp_leng);
    le_put32(p + 8, meta.keydef.k_part[i].kp_type);
  }
}

int btree_DecodeMeta(const uint8_t* in, size_t size, btree_META* meta) {
  if (size < BT_META_BASE) return -1;
  btree_META m;
  m.magic = le_get32(in + M_MAGIC);
  m.version = le_get32(in + M_VERSION);
  m.psize = le_get32(in + M_PSIZE);
  m.reserved_pgno = le_get32(in + M_RESPG);
  m.root = le_get32(in + M_ROOT);
  m.reserved = le_get32(in + M_RESERVED);
  m.keydef.k_flags = le_get32(in + M_KFLAGS);
  m.keydef.k_nparts = le_get32(in + M_KNPARTS);
  m.keydef.k_len = le_get32(in + M_KLEN);
  if (m.keydef.k_nparts > BT_MAXPARTS) return -1;
  if (BT_META_BASE + BT_KEYPART_SIZE * m.keydef.k_nparts > size) return -1;
  for (uint32_t i = 0; i < m.keydef.k_nparts; ++i) {
    const uint8_t* p = in + M_PARTS + BT_KEYPART_SIZE * i;
    m.keydef.k_part[i] = {le_get32(p), le_get32(p + 4), le_get32(p + 8)};
  }
  *meta = m;
  return 0;
}

void btree_EncodePageHeader(const btree_PAGEHDR& h, uint8_t* page) {
  le_put32(page + P_PGNO, h.pgno);
  le_put32(page + P_PREV, h.prev_pgno);
  le_put32(page + P_NEXT, h.next_pgno);
  le_put32(page + P_FLAGS, h.flags);
  le_put32(page + P_LOWER, h.lower);
  le_put32(page + P_UPPER, h.upper);
}

btree_PAGEHDR btree_DecodePageHeader(const uint8_t* page) {
  btree_PAGEHDR h;
  h.pgno = le_get32(page + P_PGNO);
  h.prev_pgno = le_get32(page + P_PREV);
  h.next_pgno = le_get32(page + P_NEXT);
  h.flags = le_get32(page + P_FLAGS);
  h.lower = le_get32(page + P_LOWER);
  h.upper = le_get32(page + P_UPPER);
  return h;
}

void bt_write_entry(uint8_t* p, uint32_t off, const uint8_t* key, uint32_t ksize, uint32_t word2,
                    const uint8_t* data, uint32_t dsize) {
  le_put32(p + off, ksize);
  le_put32(p + off + 4, word2);
  p[off + 8] = 0;
  if (ksize != 0) memmove(p + off + BT_ENTRY_HEAD, key, ksize);
  if (dsize != 0) memmove(p + off + BT_ENTRY_HEAD + ksize, data, dsize);
}

void bt_init_page(uint8_t* p, uint32_t pgno, uint32_t prev, uint32_t next, uint32_t type) {
  btree_PAGEHDR h;
  h.pgno = pgno;
  h.prev_pgno = prev;
  h.next_pgno = next;
  h.flags = type;
  h.lower = BT_HDRSIZE;
  h.upper = BT_PSIZE;
  btree_EncodePageHeader(h, p);
}

int btree_CheckPageLayout(const uint8_t* page, const char** why) {
  const btree_PAGEHDR h = btree_DecodePageHeader(page);
  const uint32_t type = h.flags & P_TYPE;
  if (type != P_BINTERNAL && type != P_BLEAF) {
    *why = "bad page type";
    return -1;
  }
  if (h.lower < BT_HDRSIZE || (h.lower - BT_HDRSIZE) % 4 != 0 || h.lower > h.upper ||
      h.upper > BT_PSIZE) {
    *why = "bad lower or upper";
    return -1;
  }
  const uint32_t n = (h.lower - BT_HDRSIZE) / 4;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t off = bt_slot(page, i);
    if (off < h.upper || off % 4 != 0 || off > BT_PSIZE - BT_ENTRY_HEAD) {
      *why = "slot outside the entries";
      return -1;
    }
    const uint64_t ksize = bt_e_ksize(page, off);
    const uint64_t extra = type == P_BLEAF ? bt_e_word2(page, off) : 0;
    if (off + BT_ENTRY_HEAD + ksize + extra > BT_PSIZE) {
      *why = "entry beyond the page";
      return -1;
    }
  }
  return 0;
}

void btree_EncodeTxData(const btree_TX_DATA& rec, uint8_t* out) {
  Node_EncodeAddr(rec.prev, out + T_PREV);
  le_put32(out + T_OP, rec.op);
  le_put32(out + T_OPGNO, rec.o_pgno);
  le_put32(out + T_RPGNO, rec.r_pgno);
}

btree_TX_DATA btree_DecodeTxData(const uint8_t* in) {
  btree_TX_DATA rec;
  rec.prev = Node_DecodeAddr(in + T_PREV);
  rec.op = le_get32(in + T_OP);
  rec.o_pgno = le_get32(in + T_OPGNO);
  rec.r_pgno = le_get32(in + T_RPGNO);
  return rec;
}
