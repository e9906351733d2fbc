// idb_lockdesc.cpp - DBLOCK, DBUNLOCK and the lock descriptor parser (see
// idb_lockdesc.h).
#include "access/idb_lockdesc.h"

#include <cstdint>
#include <cstring>

#include "access/idb_dbctx.h"
#include "access/idb_lock.h"
#include "access/idb_lookup.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"

namespace {

// Descriptor codes (sub-code 0).
enum : int32_t {
  kDescrLength = -122,
  kDescrOperator = -123,
  kDescrShort = -124,
  kDescrSet = -125,
  kDescrItem = -126,
  kDescrElements = -127,
  kDescrValue = -128,
  kDescrRoom = -136,
};

constexpr uint32_t kField = 16;
constexpr uint32_t kSetAt = 4;                 // after the entry length
constexpr uint32_t kItemAt = kSetAt + kField;  // 20
constexpr uint32_t kOpAt = kItemAt + kField;   // 36
constexpr uint32_t kValueAt = kOpAt + 2;       // 38
constexpr int32_t kEverySet = -2;

bool is_every(const uint8_t* field) {
  return field[0] == '@' && idb__name_len(reinterpret_cast<const char*>(field), kField) == 1;
}

// A number below 200 names a set by number; anything else is a name.
int32_t resolve_set(const global* g, const uint8_t* field) {
  if (is_every(field)) return kEverySet;
  const uint32_t w = le_get32(field);
  if (w < 200) return w >= 1 && w <= static_cast<uint32_t>(g->set_cnt) ? static_cast<int32_t>(w) - 1 : -1;
  return idb__find_set(g, reinterpret_cast<const char*>(field));
}

int32_t resolve_item(const global* g, const uint8_t* field) {
  const uint32_t w = le_get32(field);
  if (w >= 1 && w <= static_cast<uint32_t>(g->item_cnt)) return static_cast<int32_t>(w) - 1;
  return idb__find_item(g, reinterpret_cast<const char*>(field));
}

// The operator code of the two characters, or -1.
int32_t op_code(const uint8_t* p) {
  const char a = static_cast<char>(p[0]), b = static_cast<char>(p[1]);
  if ((a == '=' && b == ' ') || (a == ' ' && b == '=')) return 0;
  if (a == '<' && b == '=') return 1;
  if (a == '>' && b == '=') return 2;
  if ((a == 'E' && b == 'Q') || (a == 'e' && b == 'q')) return 3;
  if ((a == 'L' && b == 'E') || (a == 'l' && b == 'e')) return 4;
  if ((a == 'G' && b == 'E') || (a == 'g' && b == 'e')) return 5;
  return -1;
}

bool set_has_item(const idb_set& set, int32_t item) {
  for (uint32_t e = 0; e < set.s.item_cnt; ++e)
    if (set.entry[e].item == item) return true;
  return false;
}

// The value's words after the value header: integers sign-extended into
// one word, reals widened to a double in two, bytes cut or padded to the
// item's size. The number of words, or kDescrValue.
int32_t encode_value(const idb_item& item, const uint8_t* v, uint32_t len, uint32_t* out,
                     uint32_t room_words) {
  switch (item.type) {
    case 'I': case 'D': {
      if ((item.type == 'I' && item.size != 2) || (item.type == 'D' && item.size != 4))
        return kDescrValue;
      int32_t x;
      if (len == 2) x = static_cast<int16_t>(le_get16(v));
      else if (len == 4) x = static_cast<int32_t>(le_get32(v));
      else return kDescrValue;
      if (room_words < 1) return kDescrRoom;
      out[0] = static_cast<uint32_t>(x);
      return 1;
    }
    case 'S': case 'L': {
      if ((item.type == 'S' && item.size != 4) || (item.type == 'L' && item.size != 8))
        return kDescrValue;
      double d;
      if (len == 4) {
        const uint32_t bits = le_get32(v);
        float f;
        memcpy(&f, &bits, sizeof f);
        d = f;
      } else if (len == 8) {
        const uint64_t bits = uint64_t{le_get32(v)} | uint64_t{le_get32(v + 4)} << 32;
        memcpy(&d, &bits, sizeof d);
      } else {
        return kDescrValue;
      }
      if (room_words < 2) return kDescrRoom;
      memcpy(out, &d, sizeof d);
      return 2;
    }
    case 'X': case 'B': {
      if (item.size == 0 || item.size > 0xFFFF) return kDescrValue;
      const uint32_t words = (item.size + 3) / 4;
      if (room_words < words) return kDescrRoom;
      uint8_t* bytes = reinterpret_cast<uint8_t*>(out);
      const uint32_t n = len < item.size ? len : item.size;
      memcpy(bytes, v, n);
      memset(bytes + n, item.type == 'X' ? ' ' : 0, words * 4 - n);
      return static_cast<int32_t>(words);
    }
    default:
      return kDescrValue;
  }
}

// One client entry of length len at e into out (room_words free). The
// words written, or a descriptor code.
int32_t parse_entry(const global* g, const uint8_t* e, uint32_t len, uint32_t* out,
                    uint32_t room_words) {
  if (len < kItemAt) return kDescrShort;
  if (len > kItemAt && len < kOpAt) return kDescrLength;  // the item field cut short
  const int32_t set = resolve_set(g, e + kSetAt);
  if (set == -1) return kDescrSet;
  const uint32_t k = set == kEverySet ? 0 : 1;
  const uint32_t head = 2 + k + 1;  // count, k, sets, item
  if (room_words < head) return kDescrRoom;
  out[1] = k;
  if (k == 1) out[2] = static_cast<uint32_t>(set);
  if (len == kItemAt) {  // no item field: every item of the set or sets
    out[2 + k] = 0;
    out[0] = head;
    return static_cast<int32_t>(head);
  }
  const uint8_t* item_field = e + kItemAt;
  if (le_get32(item_field) >= 1025 && item_field[0] == '@') {
    if (len > kOpAt) return kDescrLength;
    out[2 + k] = 0;
    out[0] = head;
    return static_cast<int32_t>(head);
  }
  const int32_t item = resolve_item(g, item_field);
  if (item < 0) return kDescrItem;
  if (set == kEverySet) {
    bool any = false;
    for (int32_t s = 0; s < g->set_cnt && !any; ++s) any = set_has_item(g->set[s], item);
    if (!any) return kDescrItem;
  } else if (!set_has_item(g->set[set], item)) {
    return kDescrItem;
  }
  if (len < kValueAt) return kDescrOperator;
  const int32_t op = op_code(e + kOpAt);
  if (op < 0) return kDescrOperator;
  const idb_item& it = g->item[item];
  if (it.elements != 1) return kDescrElements;
  if (room_words < head + 2) return kDescrRoom;
  out[2 + k] = static_cast<uint32_t>(item) + 1;
  out[3 + k] = static_cast<uint32_t>(op);
  out[4 + k] = it.type << 16 | (it.size & 0xFFFF);
  const int32_t words =
      encode_value(it, e + kValueAt, len - kValueAt, out + 5 + k, room_words - head - 2);
  if (words < 0) return words;
  out[0] = head + 2 + static_cast<uint32_t>(words);
  return static_cast<int32_t>(out[0]);
}

}  // namespace

int32_t idb__parse_lock_descr(const global* g, const uint8_t* descr, uint32_t size,
                              uint32_t* out, uint32_t room) {
  out[0] = 0;
  if (size < 4) return kDescrLength;
  const int32_t total = static_cast<int32_t>(le_get32(descr));
  // The total must lie within the bytes received.
  if (total < 0 || static_cast<uint32_t>(total) > size - 4) return kDescrLength;
  const uint32_t room_words = room / 4;
  uint32_t used = 1;
  uint32_t pos = 4;
  uint32_t remaining = static_cast<uint32_t>(total);
  while (remaining > 0) {
    if (remaining < 4) return kDescrLength;
    const uint32_t len = le_get32(descr + pos);
    if (len == 0) break;
    if (len > remaining) return kDescrLength;
    const int32_t words = parse_entry(g, descr + pos, len, out + used, room_words - used);
    if (words < 0) return words;
    used += static_cast<uint32_t>(words);
    const uint32_t step = (len + 3) & ~3u;
    if (step >= remaining) break;
    pos += step;
    remaining -= step;
  }
  out[0] = used - 1;
  return 0;
}

namespace {

// The context of dbid, or the failure fill of S_BADID.
db_ctx* find_ctx(idb_session* s, int32_t dbid, int32_t* status) {
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    idb__fail_status(s, -1, status);
  }
  return ctx;
}

// The lock manager's mode group of a DBLOCK mode: 1 database, 3 set,
// 5 descriptor, 0 none.
int32_t mode_group(int32_t mode) {
  switch (mode) {
    case 1: case 2: case 11: case 12: return 1;
    case 3: case 4: case 13: case 14: return 3;
    case 5: case 6: case 15: case 16: return 5;
    default: return 0;
  }
}

// Resolves the qualifier of a set or descriptor mode into words (set: one
// word, the position; descriptor: the parsed form in buf). 0, 1 for an
// empty descriptor, or a failure code (the status filled).
int32_t resolve_qualifier(idb_session* s, db_ctx* ctx, int32_t group, const void* qualifier,
                          uint32_t size, uint32_t* words, int32_t* status) {
  const global* g = &ctx->root->g;
  if (group == 3) {
    const int setno = qualifier != nullptr && size >= 4
                          ? idb__set_number(g, qualifier, static_cast<int>(size))
                          : -1;
    if (setno < 0) {
      IDB_ERROR(s, S_BAD, 0);
      return idb__fail_status(s, -1, status);
    }
    words[0] = static_cast<uint32_t>(setno);
    return 0;
  }
  if (group != 5) return 0;
  if (qualifier == nullptr || reinterpret_cast<uintptr_t>(qualifier) % 4 != 0)
    return idb__fail_status(s, IDB_RC_DESCR_ALIGN, status);
  const int32_t rc = idb__parse_lock_descr(g, static_cast<const uint8_t*>(qualifier), size, words,
                                           IDB_DESCR_ROOM);
  if (rc != 0) return idb__fail_status(s, rc, status);
  return words[0] == 0 ? 1 : 0;
}

// A lock keeps writers out of what it covers, so the session must be one
// that may write or erase there (idb__may_hold_out_writers): the set of a
// set lock, each set a descriptor entry names, the database for a database
// lock or a descriptor entry without sets.
bool may_lock(const idb_session* s, const db_ctx* ctx, int32_t group, const uint32_t* words) {
  if (group == 1) return idb__may_hold_out_writers(s, ctx, -1);
  if (group == 3) return idb__may_hold_out_writers(s, ctx, static_cast<int32_t>(words[0]));
  uint32_t pos = 1;
  idb_descr_entry e;
  int r;
  while ((r = idb__descr_entry_next(words, &pos, &e)) == 1) {
    if (e.nsets == 0 && !idb__may_hold_out_writers(s, ctx, -1)) return false;
    for (uint32_t i = 0; i < e.nsets; ++i)
      if (!idb__may_hold_out_writers(s, ctx, static_cast<int32_t>(e.sets[i]))) return false;
  }
  return r == 0;
}

}  // namespace

namespace {

// The frame both calls share: the context, the mode, the qualifier
// resolved, then act(ctx, group, words) with words none for an empty
// descriptor. act's result (0 or above), or -1 with the status filled.
template <typename Act>
int lock_call(idb_session* s, int32_t dbid, const void* qualifier, uint32_t size, int32_t mode,
              int32_t* status, db_ctx** out_ctx, Act act) {
  db_ctx* ctx = find_ctx(s, dbid, status);
  if (ctx == nullptr) return -1;
  *out_ctx = ctx;
  const int32_t group = mode_group(mode);
  if (group == 0) {
    IDB_ERROR(s, S_BADMODE, 0);
    return idb__fail_status(s, -1, status);
  }
  vbuf* work = VBUF_OPEN(IDB_DESCR_ROOM + 4);
  uint32_t* words = static_cast<uint32_t*>(work->data);
  int32_t rc = resolve_qualifier(s, ctx, group, qualifier, size, words, status);
  if (rc >= 0) rc = act(ctx, group, rc == 0 ? words : nullptr);
  VBuf_Close(work);
  return rc;
}

}  // namespace

int idb_lock(idb_session* s, int32_t dbid, const void* qualifier, uint32_t size, int32_t mode,
             int32_t* status) {
  debug_log('I', 3, "idb_lock(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_LOCK;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  int conflict = 0;
  const int rc = lock_call(s, dbid, qualifier, size, mode, status, &ctx,
                           [&](db_ctx* c, int32_t group, const uint32_t* words) {
    if (words == nullptr && group != 1) return 0;  // an empty descriptor: nothing to lock
    if (!may_lock(s, c, group, words)) {
      IDB_ERROR(s, S_DENIED, 0);
      debug_log('I', 1, "Permission denied - write or erase access required to lock");
      return idb__fail_status(s, -1, status);
    }
    const int r = idb__add_lock(s, c, mode, group == 1 ? nullptr : words);
    if (r == -135) return idb__fail_status(s, r, status);
    if (r < 0) return idb__fail_status(s, -1, status);
    conflict = r;
    return 0;
  });
  if (rc < 0) return -1;
  status[1] = status[2] = status[3] = 0;
  status[4] = status[6] = status[7] = status[9] = 0;
  if (conflict > 0) {
    // A database request refused by another session's set or descriptor
    // lock tells the client so in word 2.
    status[0] = conflict == 21 ? 20 : conflict;
    status[2] = conflict == 21 ? 1 : 0;
    return -1;
  }
  status[0] = 0;
  status[1] = 1;
  return 0;
}

int idb_unlock(idb_session* s, int32_t dbid, const void* qualifier, uint32_t size, int32_t mode,
               int32_t* status) {
  debug_log('I', 3, "idb_unlock(dbid=%d, mode=%d)", static_cast<int>(dbid),
            static_cast<int>(mode));
  status[5] = IDB_UNLOCK;
  status[8] = mode;
  db_ctx* ctx = nullptr;
  const int rc = lock_call(s, dbid, qualifier, size, mode, status, &ctx,
                           [&](db_ctx* c, int32_t group, const uint32_t* words) {
    if (words == nullptr && group != 1) return 0;  // an empty descriptor releases nothing
    const int r = idb__del_locks(s, c, group, group == 1 ? nullptr : words);
    return r < 0 ? idb__fail_status(s, -1, status) : r;
  });
  if (rc < 0) return -1;
  status[0] = 0;
  status[1] = rc;
  status[4] = 0;
  status[5] = IDB_UNLOCK + ctx->mode * 4096;
  status[6] = status[7] = status[9] = 0;
  return 0;
}
