// idb_key.cpp - key building and the typed key order (see idb_key.h).
//
// State: none. The compare and prefix callbacks run in every step of
// every descent and split: no allocation, no suspension; a collated part
// is expanded through its weight strings one weight at a time.
#include "access/idb_key.h"

#include <cmath>
#include <cstring>

#include "access/schema_cache.h"
#include "base/panic.h"

namespace {

int sign(int64_t v) { return (v > 0) - (v < 0); }

uint32_t min_u(uint32_t x, uint32_t y) { return x < y ? x : y; }

// Unsigned bytes over the common length; equal there, the shorter first.
int cmp_bytes(const uint8_t* pa, uint32_t la, const uint8_t* pb, uint32_t lb) {
  const uint32_t m = min_u(la, lb);
  if (m != 0) {
    const int c = memcmp(pa, pb, m);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return sign(static_cast<int64_t>(la) - lb);
}

// The weights of a run of characters, one after the other.
struct Weights {
  const idb_coll* coll;
  const uint8_t* text;
  uint32_t left;             // characters not yet expanded
  const uint8_t* w = nullptr;  // the rest of the current weight string
  uint32_t wleft = 0;

  // The next weight, or -1 when the expansion has run out.
  int next() {
    while (wleft == 0) {
      if (left == 0) return -1;
      const uint8_t* s = coll->map[*text++];
      --left;
      ZENT_ASSERT(s != nullptr && "coll->map[c] != NULL");
      wleft = s[0];
      w = s + 1;
    }
    --wleft;
    return *w++;
  }
};

// Bytes up to the first difference; from there both remainders compare by
// their weights. An expansion that runs out first sorts first, so the order
// is that of the whole weight strings: total, and transitive.
int cmp_collated(const idb_coll* coll, const uint8_t* pa, uint32_t la, const uint8_t* pb,
                 uint32_t lb) {
  const uint32_t m = min_u(la, lb);
  uint32_t i = 0;
  while (i < m && pa[i] == pb[i]) ++i;
  if (i == m) return sign(static_cast<int64_t>(la) - lb);
  Weights wa{coll, pa + i, la - i};
  Weights wb{coll, pb + i, lb - i};
  for (;;) {
    const int x = wa.next();
    const int y = wb.next();
    if (x < 0 || y < 0) return (y < 0) - (x < 0);
    if (x != y) return x < y ? -1 : 1;
  }
}

template <typename T>
T load(const uint8_t* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
int cmp_int(const uint8_t* pa, const uint8_t* pb) {
  const T x = load<T>(pa);
  const T y = load<T>(pb);
  return (x > y) - (x < y);
}

// NaN after every number and equal to any NaN; -0 equal to 0.
template <typename T>
int cmp_real(const uint8_t* pa, const uint8_t* pb) {
  const T x = load<T>(pa);
  const T y = load<T>(pb);
  const bool nx = std::isnan(x);
  const bool ny = std::isnan(y);
  if (nx || ny) return static_cast<int>(nx) - static_cast<int>(ny);
  return (x > y) - (x < y);
}

bool is_number(uint32_t type) {
  return type == IDB_KT_INT16 || type == IDB_KT_INT32 || type == IDB_KT_FLOAT ||
         type == IDB_KT_DOUBLE;
}

// A part whose bytes may be cut anywhere: a byte prefix of it sorts
// between its neighbours.
bool cuttable(uint32_t type, const idb_coll* coll) {
  return type == IDB_KT_BYTES || (type == IDB_KT_CHAR && coll == nullptr);
}

// One part of full length n, of which la and lb bytes are present.
int cmp_part(const btree_KEYPART& part, const idb_coll* coll, const uint8_t* pa, uint32_t la,
             const uint8_t* pb, uint32_t lb) {
  const uint32_t n = part.kp_leng;
  switch (part.kp_type) {
    case IDB_KT_CHAR:
      ZENT_ASSERT(n > 0 && "len > 0");
      return coll != nullptr ? cmp_collated(coll, pa, la, pb, lb) : cmp_bytes(pa, la, pb, lb);
    case IDB_KT_BYTES:
      ZENT_ASSERT(n > 0 && "len > 0");
      return cmp_bytes(pa, la, pb, lb);
    default:
      break;
  }
  ZENT_ASSERT(is_number(part.kp_type) && "idb__bt_cmp: Bad item type");
  ZENT_ASSERT(la == n && lb == n && "size_a >= len_a && size_b >= len_b");
  switch (part.kp_type) {
    case IDB_KT_INT16:
      ZENT_ASSERT(n == sizeof(int16_t) && "len == sizeof(int16_t)");
      return cmp_int<int16_t>(pa, pb);
    case IDB_KT_INT32:
      ZENT_ASSERT(n == sizeof(int32_t) && "len == sizeof(int32_t)");
      return cmp_int<int32_t>(pa, pb);
    case IDB_KT_FLOAT:
      ZENT_ASSERT(n == sizeof(float) && "len == sizeof(float)");
      return cmp_real<float>(pa, pb);
    default:
      ZENT_ASSERT(n == sizeof(double) && "len == sizeof(double)");
      return cmp_real<double>(pa, pb);
  }
}

bool typed(const btree_KEYDEF* keydef) {
  if (keydef == nullptr || !(keydef->k_flags & IDB_KTYPED)) return false;
  ZENT_ASSERT(keydef->k_nparts <= BT_MAXPARTS && "keydef->k_nparts <= BT_MAXPARTS");
  return true;
}

}  // namespace

namespace {

uint32_t key_type(uint32_t letter) {
  switch (letter) {
    case 'X': return IDB_KT_CHAR;
    case 'I': return IDB_KT_INT16;
    case 'D': return IDB_KT_INT32;
    case 'S': return IDB_KT_FLOAT;
    case 'L': return IDB_KT_DOUBLE;
    case 'B': return IDB_KT_BYTES;
    default: ZENT_ASSERT(!"Bad item type");
  }
  return 0;
}

}  // namespace

btree_KEYDEF idb__master_keydef(const global* g, const idb_set& set) {
  const idb_item& item = g->item[set.entry[0].item];
  btree_KEYDEF kd;
  kd.k_flags = IDB_KTYPED;
  kd.k_nparts = 1;
  kd.k_part[0] = btree_KEYPART{set.offset[0], item.size, key_type(item.type)};
  kd.k_len = item.size;
  return kd;
}

btree_KEYDEF idb__index_keydef(const global* g, const idb_set& set, const idb_iitem& ii) {
  btree_KEYDEF kd;
  kd.k_flags = IDB_KTYPED;
  for (uint32_t k = 0; k < ii.seg_cnt; ++k) {
    uint32_t e = 0;
    while (e < set.s.item_cnt && set.entry[e].item != ii.seg[k].item) ++e;
    ZENT_ASSERT(e < set.s.item_cnt && "e < set->s.item_cnt");
    kd.k_part[k] = btree_KEYPART{set.offset[e], ii.seg[k].length,
                                 key_type(g->item[ii.seg[k].item].type)};
    kd.k_len += ii.seg[k].length;
  }
  kd.k_part[ii.seg_cnt] = btree_KEYPART{(set.rec_len + 3) & ~3u, 4, IDB_KT_INT32};
  kd.k_len += 4;
  kd.k_nparts = ii.seg_cnt + 1;
  return kd;
}

bool idb__keydef_same(const btree_KEYDEF& a, const btree_KEYDEF& b) {
  if (a.k_nparts != b.k_nparts || a.k_len != b.k_len || a.k_nparts > BT_MAXPARTS) return false;
  for (uint32_t k = 0; k < a.k_nparts; ++k)
    if (a.k_part[k].kp_start != b.k_part[k].kp_start ||
        a.k_part[k].kp_leng != b.k_part[k].kp_leng || a.k_part[k].kp_type != b.k_part[k].kp_type)
      return false;
  return true;
}

uint32_t idb__key_len(const btree_KEYDEF* keydef) {
  ZENT_ASSERT(keydef != nullptr && "keydef != NULL");
  return keydef->k_len;
}

uint32_t idb__build_key(const btree_KEYDEF* keydef, uint8_t* to, uint32_t to_l,
                        const uint8_t* record) {
  ZENT_ASSERT(keydef != nullptr && "keydef != NULL");
  ZENT_ASSERT(to_l >= keydef->k_len && "to_l >= keydef->k_len");
  ZENT_ASSERT(keydef->k_nparts <= BT_MAXPARTS && "keydef->k_nparts <= BT_MAXPARTS");
  uint32_t at = 0;
  for (uint32_t i = 0; i < keydef->k_nparts; ++i) {
    const btree_KEYPART& part = keydef->k_part[i];
    ZENT_ASSERT(part.kp_leng <= to_l - at && "to_l >= keydef->k_len");
    memcpy(to + at, record + part.kp_start, part.kp_leng);
    at += part.kp_leng;
  }
  return at;
}

int idb__bt_cmp(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b, void* arg) {
  if (!typed(keydef)) return btree_DefaultCompare(nullptr, a, b, nullptr);
  const auto* coll = static_cast<const idb_coll*>(arg);
  const auto* pa = static_cast<const uint8_t*>(a->data);
  const auto* pb = static_cast<const uint8_t*>(b->data);
  uint32_t left_a = a->size;
  uint32_t left_b = b->size;
  for (uint32_t i = 0; i < keydef->k_nparts && left_a != 0 && left_b != 0; ++i) {
    const btree_KEYPART& part = keydef->k_part[i];
    const uint32_t la = min_u(part.kp_leng, left_a);
    const uint32_t lb = min_u(part.kp_leng, left_b);
    const int c = cmp_part(part, coll, pa, la, pb, lb);
    if (c != 0) return c;
    pa += la;
    pb += lb;
    left_a -= la;
    left_b -= lb;
  }
  return sign(static_cast<int64_t>(a->size) - b->size);
}

uint32_t idb__bt_pfx(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                     void* arg) {
  if (!typed(keydef)) return btree_DefaultPrefix(nullptr, a, b, nullptr);
  const auto* coll = static_cast<const idb_coll*>(arg);
  const auto* pa = static_cast<const uint8_t*>(a->data);
  const auto* pb = static_cast<const uint8_t*>(b->data);
  uint32_t pos = 0;
  uint32_t i = 0;
  for (; i < keydef->k_nparts && pos < a->size && pos < b->size; ++i) {
    const btree_KEYPART& part = keydef->k_part[i];
    const uint32_t la = min_u(part.kp_leng, a->size - pos);
    const uint32_t lb = min_u(part.kp_leng, b->size - pos);
    const int c = cmp_part(part, coll, pa + pos, la, pb + pos, lb);
    if (c != 0) {
      // Parts that compare equal go whole, whatever their bytes: a cut
      // after them would leave a key that sorts before a.
      if (!cuttable(part.kp_type, coll)) return pos + lb;
      const uint32_t m = min_u(la, lb);
      uint32_t j = 0;
      while (j < m && pa[pos + j] == pb[pos + j]) ++j;
      return min_u(pos + j + 1, b->size);
    }
    if (la != part.kp_leng || lb != part.kp_leng) {
      // A key ends inside this part: only a cuttable part may be cut.
      if (!cuttable(part.kp_type, coll)) return b->size;
      break;
    }
    pos += part.kp_leng;
  }
  if (a->size >= b->size) return b->size;
  // b goes on where a ends: one byte more, or the whole next part when
  // that part must not be cut.
  uint32_t end = a->size + 1;
  if (i < keydef->k_nparts && pos == a->size && !cuttable(keydef->k_part[i].kp_type, coll))
    end = pos + keydef->k_part[i].kp_leng;
  return min_u(end, b->size);
}
