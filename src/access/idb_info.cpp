// idb_info.cpp - DBINFO (see idb_info.h).
#include "access/idb_info.h"

#include <cstring>

#include "access/idb_dbctx.h"
#include "access/idb_lookup.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/vnode.h"

namespace {

// Writes host-order words and bytes into the caller's buffer; an answer
// that runs past its end marks the writer and stops writing.
struct Out {
  uint8_t* p;
  uint32_t size;
  uint32_t len = 0;
  bool over = false;
  void bytes(const void* src, uint32_t n) {
    if (over || n > size - len) {
      over = true;
      return;
    }
    memcpy(p + len, src, n);
    len += n;
  }
  void word(int32_t v) { bytes(&v, 4); }
  void name(const char* n) { bytes(n, IDB_NAME_LEN); }
  void type(uint32_t letter) {
    const char t[4] = {static_cast<char>(letter), ' ', ' ', ' '};
    bytes(t, 4);
  }
};

enum class Ref { kNone, kItem, kSet, kIitem, kZero };

Ref ref_of(int32_t mode) {
  switch (mode) {
    case 101: case 102: case 204: return Ref::kItem;
    case 104: case 201: case 202: case 301: case 302: case 401: case 504: return Ref::kSet;
    case 501: case 502: return Ref::kIitem;
    case 402: case 404: return Ref::kZero;
    case 103: case 203: case 403: case 503: return Ref::kNone;
    default: return Ref::kNone;
  }
}

bool known_mode(int32_t mode) {
  switch (mode) {
    case 101: case 102: case 103: case 104: case 201: case 202: case 203: case 204:
    case 301: case 302: case 401: case 402: case 403: case 404:
    case 501: case 502: case 503: case 504:
      return true;
    default:
      return false;
  }
}

// A set number as the session sees it: negative when it may write the set.
int32_t signed_set(const db_ctx* ctx, int32_t setno) {
  return chk_set_access(ctx, setno) < 0 ? -(setno + 1) : setno + 1;
}

// Mode 202's counts: 0 and 0 without a record file. 0 or -1 (S_VOLNODE).
int set_counts(idb_session* s, const idb_set& set, uint32_t* records, uint32_t* highest) {
  *records = *highest = 0;
  if (set.s.node == nullptr) return 0;
  if (VNode_Open(set.s.node) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    return -1;
  }
  *records = FixRec_NumRecords(set.s.node);
  *highest = FixRec_MaxRecno(set.s.node);
  VNode_Close(set.s.node);
  return 0;
}

}  // namespace

int idb_info(idb_session* s, int32_t dbid, const void* qualifier, uint32_t qual_size,
             int32_t mode, int32_t* status, uint8_t* buffer, uint32_t size) {
  debug_log('I', 3, "idb_info(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_INFO;
  status[8] = mode;
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return idb__fail_status(s, -1, status);
  }
  if (!known_mode(mode)) {
    IDB_ERROR(s, S_BADMODE, 0);
    return idb__fail_status(s, -1, status);
  }
  const global* g = &ctx->root->g;
  const int ref_size = static_cast<int>(qual_size > 0x7fffffff ? 0x7fffffff : qual_size);
  const bool have_ref = qualifier != nullptr && qual_size >= 4;
  int32_t ref = -1;
  switch (ref_of(mode)) {
    case Ref::kItem:
      ref = have_ref ? idb__item_number(g, qualifier, ref_size) : -1;
      break;
    case Ref::kSet:
      ref = have_ref ? idb__set_number(g, qualifier, ref_size) : -1;
      if (ref >= 0 && chk_set_access(ctx, ref) == 0) ref = -1;
      break;
    case Ref::kIitem:
      ref = have_ref ? idb__iitem_number(g, qualifier, ref_size) : -1;
      break;
    case Ref::kZero: {
      int32_t w = -1;
      if (have_ref) memcpy(&w, qualifier, 4);
      ref = w == 0 ? 0 : -1;
      break;
    }
    case Ref::kNone:
      ref = 0;
      break;
  }
  if (ref < 0) {
    IDB_ERROR(s, S_BAD, 0);
    return idb__fail_status(s, -1, status);
  }

  Out out{buffer, buffer != nullptr ? size : 0};
  switch (mode) {
    case 101:
      out.word(ref + 1);
      break;
    case 102: {
      const idb_item& it = g->item[ref];
      out.name(it.name);
      out.type(it.type);
      out.word(static_cast<int32_t>(it.size));
      out.word(static_cast<int32_t>(it.elements));
      out.word(static_cast<int32_t>(it.format));
      break;
    }
    case 103:
      out.word(g->item_cnt);
      for (int32_t i = 0; i < g->item_cnt; ++i) out.word(i + 1);
      break;
    case 104: {
      const idb_set& set = g->set[ref];
      out.word(static_cast<int32_t>(set.s.item_cnt));
      for (uint32_t e = 0; e < set.s.item_cnt; ++e) out.word(set.entry[e].item + 1);
      break;
    }
    case 201:
      out.word(signed_set(ctx, ref));
      break;
    case 202: {
      const idb_set& set = g->set[ref];
      uint32_t records = 0, highest = 0;
      if (set_counts(s, set, &records, &highest) != 0) return idb__fail_status(s, -1, status);
      out.name(set.s.name);
      out.type(set.s.type);
      out.word(static_cast<int32_t>(set.rec_len));
      out.word(static_cast<int32_t>(records));
      out.word(static_cast<int32_t>(highest));
      break;
    }
    case 203: {
      int32_t n = 0;
      for (int32_t i = 0; i < g->set_cnt; ++i) n += chk_set_access(ctx, i) != 0;
      out.word(n);
      for (int32_t i = 0; i < g->set_cnt; ++i)
        if (chk_set_access(ctx, i) != 0) out.word(signed_set(ctx, i));
      break;
    }
    case 204: {
      // Once per entry: a set that holds the item twice is listed twice.
      int32_t n = 0;
      for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) out.word(n);
        for (int32_t i = 0; i < g->set_cnt; ++i) {
          if (chk_set_access(ctx, i) == 0) continue;
          const idb_set& set = g->set[i];
          for (uint32_t e = 0; e < set.s.item_cnt; ++e) {
            if (set.entry[e].item != ref) continue;
            if (pass == 0) ++n;
            else out.word(signed_set(ctx, i));
          }
        }
      }
      break;
    }
    case 301: {
      const idb_set& set = g->set[ref];
      out.word(static_cast<int32_t>(set.s.path_cnt));
      for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
        const idb_path& path = set.path[p];
        const idb_set& holder = set.s.type == 'D' ? set : g->set[path.set];
        out.word(path.set + 1);
        out.word(holder.entry[path.search].item + 1);
      }
      break;
    }
    case 302: {
      const idb_set& set = g->set[ref];
      if (set.s.type != 'D') {
        out.word(set.s.item_cnt > 0 ? set.entry[0].item + 1 : 0);
        out.word(0);
      } else if (set.s.path_cnt > 0) {
        out.word(set.entry[set.path[0].search].item + 1);
        out.word(set.path[0].set + 1);
      } else {
        out.word(0);
        out.word(0);
      }
      break;
    }
    case 401:
    case 404:
      out.word(0);
      break;
    case 402:
      out.bytes("        ", 8);
      break;
    case 403:
      out.word(1);
      out.word(0);
      break;
    case 501:
      out.word(ref + 1);
      break;
    case 502: {
      const idb_iitem& ii = g->iitem[ref - g->item_cnt];
      out.name(ii.name);
      out.word(static_cast<int32_t>(ii.seg_cnt));
      int32_t pairs[2 * IDB_MAX_SEGS] = {};
      for (uint32_t k = 0; k < ii.seg_cnt && k < IDB_MAX_SEGS; ++k) {
        pairs[2 * k] = ii.seg[k].item + 1;
        pairs[2 * k + 1] = static_cast<int32_t>(ii.seg[k].length);
      }
      out.bytes(pairs, sizeof pairs);
      break;
    }
    case 503:
      out.word(g->iitem_cnt);
      for (int32_t i = 0; i < g->iitem_cnt; ++i) out.word(g->item_cnt + i + 1);
      break;
    case 504: {
      const idb_set& set = g->set[ref];
      out.word(static_cast<int32_t>(set.s.index_cnt));
      for (uint32_t x = 0; x < set.s.index_cnt; ++x) out.word(set.index[x].iitem + 1);
      break;
    }
  }
  if (out.over) {
    // The caller's buffer is too small for the answer.
    IDB_ERROR(s, S_BAD, 0);
    return idb__fail_status(s, -1, status);
  }
  status[0] = 0;
  status[1] = static_cast<int32_t>(out.len);
  status[2] = status[4] = 0;
  status[5] = IDB_INFO + ctx->mode * 4096;
  status[6] = status[7] = status[9] = 0;
  return 0;
}
