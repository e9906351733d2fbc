// schema_block.cpp - the DBOPEN reply's schema block (see schema_block.h).
#include "server/schema_block.h"

#include <cstring>

#include "access/idb_dbctx.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "base/panic.h"
#include "server/buffer.h"

namespace {

constexpr uint32_t kHeadSize = 16;
constexpr uint32_t kItemSize = 32;
constexpr uint32_t kIndexItemSize = 120;
constexpr uint32_t kSetFixedSize = 36;

// Writes the block's words in the session's byte order, one after another.
struct BlockWriter {
  uint8_t* p;
  uint32_t order;
  void u32(uint32_t v) {
    if (order == kBigEndian) {
      p[0] = static_cast<uint8_t>(v >> 24);
      p[1] = static_cast<uint8_t>(v >> 16);
      p[2] = static_cast<uint8_t>(v >> 8);
      p[3] = static_cast<uint8_t>(v);
    } else {
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(v >> 8);
      p[2] = static_cast<uint8_t>(v >> 16);
      p[3] = static_cast<uint8_t>(v >> 24);
    }
    p += 4;
  }
  // A schema name travels as its 16 blank-padded bytes (four words).
  void name(const char (&n)[IDB_NAME_LEN]) {
    memcpy(p, n, IDB_NAME_LEN);
    p += IDB_NAME_LEN;
  }
};

uint64_t block_size(const global& g) {
  uint64_t n = kHeadSize + uint64_t{kItemSize} * static_cast<uint32_t>(g.item_cnt) +
               uint64_t{kIndexItemSize} * static_cast<uint32_t>(g.iitem_cnt) +
               uint64_t{kSetFixedSize} * static_cast<uint32_t>(g.set_cnt);
  for (int32_t i = 0; i < g.set_cnt; ++i) {
    const idb_set_descr& d = g.set[i].s;
    n += 4 * (3 * uint64_t{d.path_cnt} + 2 * uint64_t{d.index_cnt} + d.item_cnt);
  }
  return n;
}

uint32_t access_flags(const db_ctx* ctx, int32_t setno) {
  switch (chk_set_access(ctx, setno)) {
    case -1: return 3;
    case 1: return 1;
    default: return 0;
  }
}

}  // namespace

uint64_t dbml_schema_block_size(idb_session* s, int32_t dbid) {
  const db_ctx* ctx = idb__get_db_ctx(s, dbid);
  return ctx == nullptr ? 0 : block_size(ctx->root->g);
}

int dbml_schema_block(Buffer* buf, int32_t dbid, idb_session* s) {
  const db_ctx* ctx = idb__get_db_ctx(s, dbid);
  ZENT_ASSERT(ctx != nullptr && "db_ctx != NULL");
  const global& g = ctx->root->g;
  const uint64_t n = block_size(g);
  Buffer_Put_align(buf, 4);
  uint8_t* const start = n <= UINT32_MAX ? Buffer_Put_obj(buf, static_cast<uint32_t>(n)) : nullptr;
  if (start == nullptr || Buffer_SendFailed(buf)) {
    if (!Buffer_SendFailed(buf)) Buffer_Put_obj(buf, UINT32_MAX);  // too big: fail the reply
    return -1;
  }
  BlockWriter w{start, buf->wire_order};
  w.u32(kSchemaBlockFormat);
  w.u32(static_cast<uint32_t>(g.item_cnt));
  w.u32(static_cast<uint32_t>(g.iitem_cnt));
  w.u32(static_cast<uint32_t>(g.set_cnt));
  for (int32_t i = 0; i < g.item_cnt; ++i) {
    const idb_item& it = g.item[i];
    w.name(it.name);
    w.u32(it.type);
    w.u32(it.elements);
    w.u32(it.size);
    w.u32(it.format);
  }
  for (int32_t i = 0; i < g.iitem_cnt; ++i) {
    const idb_iitem& ii = g.iitem[i];
    w.name(ii.name);
    w.u32(0);
    w.u32(ii.seg_cnt);
    for (int k = 0; k < IDB_MAX_SEGS; ++k) {
      // Slots beyond the segment count carry no meaning: sent as zeros.
      const bool used = static_cast<uint32_t>(k) < ii.seg_cnt;
      w.u32(used ? static_cast<uint32_t>(ii.seg[k].item) : 0);
      w.u32(used ? ii.seg[k].length : 0);
      w.u32(used ? ii.seg[k].flags : 0);
    }
  }
  for (int32_t i = 0; i < g.set_cnt; ++i) {
    const idb_set& set = g.set[i];
    const idb_set_descr& d = set.s;
    w.name(d.name);
    w.u32(d.type);
    w.u32(d.item_cnt);
    w.u32(d.path_cnt);
    w.u32(d.index_cnt);
    w.u32(access_flags(ctx, i));
    for (uint32_t k = 0; k < d.item_cnt; ++k) w.u32(static_cast<uint32_t>(set.entry[k].item));
    for (uint32_t k = 0; k < d.path_cnt; ++k) {
      w.u32(static_cast<uint32_t>(set.path[k].set));
      w.u32(static_cast<uint32_t>(set.path[k].search));
      w.u32(static_cast<uint32_t>(set.path[k].sort));
    }
    for (uint32_t k = 0; k < d.index_cnt; ++k) {
      w.u32(static_cast<uint32_t>(set.index[k].iitem));
      w.u32(set.index[k].collid);
    }
  }
  ZENT_ASSERT(w.p == start + n && "buf_p == &buf[nbytes]");
  return 0;
}
