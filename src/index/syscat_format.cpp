// syscat_format.cpp - packing and unpacking of the catalog's stored records
// (see syscat_format.h): descriptions, rows, anchors and the records of log
// opcode 17. Every length read is checked against what remains before it
// is used; sizes add up in 64 bits.
#include "index/syscat_format.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "storage/disk_bytes.h"

namespace {

void sc_error(int code) { SET_ERROR(ERR_MOD_SC, ERR_SEV_E, code); }

// The kinds a stored column may be bound across: the in-memory form of a
// kind is the same whichever of its types is stored.
enum Kind { KIND_NONE, KIND_FIXED, KIND_STRING, KIND_INT, KIND_BLOB };
Kind kind_of(uint32_t type) {
  switch (type) {
    case SysCat_BYTES:
    case SysCat_FIXED:
      return KIND_FIXED;
    case SysCat_STRING:
    case SysCat_TEXT:
      return KIND_STRING;
    case SysCat_INT1:
    case SysCat_INT2:
    case SysCat_INT4:
      return KIND_INT;
    case SysCat_BLOB:
    case SysCat_LBLOB:
      return KIND_BLOB;
    default:
      return KIND_NONE;
  }
}
// The stored length field of a variable value is one byte.
bool short_length(uint32_t type) { return type == SysCat_STRING || type == SysCat_BLOB; }
uint32_t int_width(uint32_t type) {
  return type == SysCat_INT1 ? 1u : type == SysCat_INT2 ? 2u : 4u;
}

size_t name_size(const char* name) { return strlen(name) + 1; }

}  // namespace

// --- Blobs ------------------------------------------------------------------------------------

uint32_t SysCat_BlobLength(const uint8_t* blob) {
  uint32_t n = 0;
  memcpy(&n, blob, sizeof n);
  return n;
}
const uint8_t* SysCat_BlobBytes(const uint8_t* blob) { return blob + sizeof(uint32_t); }

// --- Anchor and link ----------------------------------------------------------------------------

void SysCat_EncodeAnchor(const SysCat_ANCHOR& a, uint8_t* out) {
  le_put32(out, a.count);
  Node_EncodeAddr(a.first, out + 4);
  Node_EncodeAddr(a.last, out + 12);
}
SysCat_ANCHOR SysCat_DecodeAnchor(const uint8_t* in) {
  SysCat_ANCHOR a;
  a.count = le_get32(in);
  a.first = Node_DecodeAddr(in + 4);
  a.last = Node_DecodeAddr(in + 12);
  return a;
}
static_assert(SysCat_ANCHOR_SIZE == 4 + 2 * Node_ADDR_SIZE);

void SysCat_EncodeLink(const SysCat_LINK& l, uint8_t* out) {
  Node_EncodeAddr(l.prev, out);
  Node_EncodeAddr(l.next, out + Node_ADDR_SIZE);
}
SysCat_LINK SysCat_DecodeLink(const uint8_t* in) {
  return SysCat_LINK{Node_DecodeAddr(in), Node_DecodeAddr(in + Node_ADDR_SIZE)};
}
static_assert(SysCat_LINK_SIZE == 2 * Node_ADDR_SIZE);

// --- Stored description ----------------------------------------------------------------------

uint32_t sizeof_node_descr(const SysCat_TABLE_DESCR* descr) {
  uint64_t size = SysCat_DESCR_FIXED + name_size(descr->name);
  for (uint32_t i = 0; i < descr->tab_ncols; ++i) size += name_size(descr->cols[i].col_name) + 5;
  return static_cast<uint32_t>(size);
}

uint32_t SysCat_OfsUnique(const char* name) { return 4 + static_cast<uint32_t>(name_size(name)); }

void pack_node_descr(uint8_t* buf, const SysCat_TABLE_DESCR* descr) {
  ZENT_ASSERT(descr->tab_rev == 1);
  const size_t name_sz = name_size(descr->name);
  ZENT_ASSERT(name_sz < 256);
  ZENT_ASSERT(descr->tab_ncols < 256);
  ZENT_ASSERT((descr->tab_flags & ~0xffu) == 0);
  uint8_t* p = buf;
  *p++ = static_cast<uint8_t>(descr->tab_rev);
  *p++ = static_cast<uint8_t>(name_sz);
  memcpy(p, descr->name, name_sz);
  p += name_sz;
  *p++ = static_cast<uint8_t>(descr->tab_ncols);
  *p++ = static_cast<uint8_t>(descr->tab_flags);
  le_put32(p, 0);  // unique
  p += 4;
  SysCat_EncodeAnchor(SysCat_ANCHOR{}, p);
  p += SysCat_ANCHOR_SIZE;
  for (uint32_t i = 0; i < descr->tab_ncols; ++i) {
    const SysCat_COLUMN_DESCR& c = descr->cols[i];
    ZENT_ASSERT(c.col_name != nullptr);
    ZENT_ASSERT(c.col_size <= SysCat_MAX_COLSIZE);
    ZENT_ASSERT((c.col_flags & ~0xffu) == 0);
    const size_t sz = name_size(c.col_name);
    ZENT_ASSERT(sz < 256);
    *p++ = static_cast<uint8_t>(sz);
    memcpy(p, c.col_name, sz);
    p += sz;
    *p++ = static_cast<uint8_t>(c.col_type);
    le_put16(p, static_cast<uint16_t>(c.col_size));
    p += 2;
    *p++ = static_cast<uint8_t>(c.col_flags);
  }
}

namespace {

// A terminated name of name_sz bytes at p: the NUL is its last byte and no
// earlier one.
bool terminated(const uint8_t* p, size_t name_sz) {
  return name_sz >= 1 && p[name_sz - 1] == 0 && memchr(p, 0, name_sz - 1) == nullptr;
}

int bad_descr(const char* why) {
  debug_log('O', 1, "stored table description refused: %s", why);
  sc_error(SC_E_DESCR);
  return -1;
}

}  // namespace

int unpack_node_descr(const uint8_t* in, size_t size, const SysCat_TABLE_DESCR* statics,
                      SysCat_NODE_DESCR* out) {
  if (size < 1) return bad_descr("empty");
  if (in[0] != 1) {
    sc_error(SC_E_REV);
    return -1;
  }
  if (size <= SysCat_DESCR_FIXED) return bad_descr("too short");
  const size_t name_sz = in[1];
  if (size < SysCat_DESCR_FIXED + name_sz) return bad_descr("too short for its name");
  if (!terminated(in + 2, name_sz)) return bad_descr("table name without its terminator");
  *out = SysCat_NODE_DESCR{};
  out->name.assign(reinterpret_cast<const char*>(in + 2), name_sz - 1);
  size_t at = 2 + name_sz;
  const uint32_t ncols = in[at];
  const uint32_t flags = in[at + 1];
  at += 2;
  out->unique = le_get32(in + at);
  out->d.ofs_unique = static_cast<uint32_t>(at);
  at += 4;
  out->anchor = SysCat_DecodeAnchor(in + at);
  out->d.ofs_anchor = static_cast<uint32_t>(at);
  at += SysCat_ANCHOR_SIZE;
  out->cols.resize(ncols);
  out->col_names.resize(ncols);
  for (uint32_t i = 0; i < ncols; ++i) {
    const size_t left = size - at;
    if (left < 6) return bad_descr("column truncated");
    const size_t csz = in[at];
    if (left < csz + 5) return bad_descr("column truncated");
    if (!terminated(in + at + 1, csz)) return bad_descr("column name without its terminator");
    out->col_names[i].assign(reinterpret_cast<const char*>(in + at + 1), csz - 1);
    at += 1 + csz;
    SysCat_COLUMN_DESCR& c = out->cols[i];
    c.col_type = in[at];
    c.col_size = le_get16(in + at + 1);
    c.col_flags = in[at + 3];
    c.col_offset = 0;
    c.node_idx = -1;
    at += 4;
    if (kind_of(c.col_type) == KIND_NONE) return bad_descr("unknown column type");
    if (c.col_size > SysCat_MAX_COLSIZE) return bad_descr("column size above 8000");
    if (short_length(c.col_type) && c.col_size > 255)
      return bad_descr("column size above 255 for a one-byte length");
  }
  for (uint32_t i = 0; i < ncols; ++i) out->cols[i].col_name = out->col_names[i].c_str();
  out->d.tab_rev = 1;
  out->d.name = out->name.c_str();
  out->d.tab_ncols = ncols;
  out->d.cols = out->cols.data();
  out->d.tab_flags = flags;
  out->d.rec_size = statics != nullptr ? statics->rec_size : 0;
  if (statics == nullptr) return 0;
  // Binding: a stored column takes the static column of its name, which
  // must be of the same kind, and a fixed value must fit its slot.
  for (uint32_t i = 0; i < ncols; ++i) {
    SysCat_COLUMN_DESCR& c = out->cols[i];
    for (uint32_t j = 0; j < statics->tab_ncols; ++j) {
      const SysCat_COLUMN_DESCR& s = statics->cols[j];
      if (strcasecmp(c.col_name, s.col_name) != 0) continue;
      if (kind_of(c.col_type) != kind_of(s.col_type))
        return bad_descr("column bound to a static column of another kind");
      if (kind_of(c.col_type) == KIND_FIXED && c.col_size > s.col_size)
        return bad_descr("fixed column larger than its slot");
      c.node_idx = static_cast<int32_t>(j);
      c.col_offset = s.col_offset;
      break;
    }
  }
  return 0;
}

// --- Rows
// -----------------------------------------------------------------------------------------

namespace {

const SysCat_COLUMN_DESCR* stored_cols(const SysCat_MAP* entry, uint32_t* ncols) {
  const SysCat_TABLE_DESCR& d = entry->node_descr->d;
  *ncols = d.tab_ncols;
  return d.cols;
}

const SysCat_COLUMN_DESCR& static_col(const SysCat_MAP* entry, const SysCat_COLUMN_DESCR& c) {
  return entry->descr->cols[c.node_idx];
}

template <class T>
T load(const void* row, uint32_t offset) {
  T v;
  memcpy(&v, static_cast<const uint8_t*>(row) + offset, sizeof v);
  return v;
}
template <class T>
void store(void* row, uint32_t offset, T v) {
  memcpy(static_cast<uint8_t*>(row) + offset, &v, sizeof v);
}

}  // namespace

int pack_col_val(uint8_t* out, size_t capacity, const SysCat_MAP* entry, const void* row) {
  uint32_t ncols = 0;
  const SysCat_COLUMN_DESCR* cols = stored_cols(entry, &ncols);
  uint64_t at = 2;
  if (capacity < 2) {
    sc_error(SC_E_ROW);
    return -1;
  }
  le_put16(out, static_cast<uint16_t>(ncols));
  uint8_t* presence = nullptr;
  for (uint32_t i = 0; i < ncols; ++i) {
    if (i % 8 == 0) {
      if (at + 1 > capacity) {
        sc_error(SC_E_ROW);
        return -1;
      }
      presence = out + at++;
      *presence = 0;
    }
    const uint8_t bit = static_cast<uint8_t>(0x80u >> (i % 8));
    const SysCat_COLUMN_DESCR& c = cols[i];
    if (c.node_idx < 0) {
      *presence |= bit;
      continue;
    }
    const uint32_t off = static_col(entry, c).col_offset;
    const uint8_t* src = nullptr;
    uint64_t len = 0;
    uint32_t head = 0;  // bytes of the length field
    switch (kind_of(c.col_type)) {
      case KIND_FIXED:
        src = static_cast<const uint8_t*>(row) + off;
        len = c.col_size;
        break;
      case KIND_INT:
        len = int_width(c.col_type);
        break;
      case KIND_STRING: {
        const char* s = load<const char*>(row, off);
        if (s == nullptr) break;
        src = reinterpret_cast<const uint8_t*>(s);
        len = strlen(s);
        head = short_length(c.col_type) ? 1 : 4;
        break;
      }
      case KIND_BLOB: {
        const uint8_t* b = load<const uint8_t*>(row, off);
        if (b == nullptr) break;
        src = SysCat_BlobBytes(b);
        len = SysCat_BlobLength(b);
        head = short_length(c.col_type) ? 1 : 4;
        break;
      }
      case KIND_NONE:
        ZENT_ASSERT(!"pack_col_val: Unknown column type");
    }
    if (kind_of(c.col_type) != KIND_INT && kind_of(c.col_type) != KIND_FIXED && src == nullptr) {
      *presence |= bit;  // absent
      continue;
    }
    if (head != 0 && len > c.col_size) len = c.col_size;
    if (at + head + len > capacity) {
      sc_error(SC_E_ROW);
      return -1;
    }
    if (head == 1) out[at] = static_cast<uint8_t>(len);
    if (head == 4) le_put32(out + at, static_cast<uint32_t>(len));
    at += head;
    if (kind_of(c.col_type) == KIND_INT) {
      const uint32_t v = load<uint32_t>(row, off);
      for (uint32_t k = 0; k < len; ++k) out[at + k] = static_cast<uint8_t>(v >> (8 * k));
    } else if (len != 0) {
      memcpy(out + at, src, len);
    }
    at += len;
  }
  return static_cast<int>(at);
}

namespace {

// One pass over a stored row: checks every length against the bytes left
// and, with out, places the values. The in-memory size, or -1.
int64_t walk_row(const SysCat_MAP* entry, const uint8_t* in, size_t length, uint8_t* out,
                 size_t capacity) {
  uint32_t ncols = 0;
  const SysCat_COLUMN_DESCR* cols = stored_cols(entry, &ncols);
  const uint64_t rec_size = entry->descr->rec_size;
  if (out != nullptr) {
    if (capacity < rec_size) return -1;
    memset(out, 0, rec_size);
  }
  if (length < 2) return -1;
  const uint16_t count = le_get16(in);
  if ((count & 0xF000u) != 0) return -1;
  const uint32_t n = count < ncols ? count : ncols;
  uint64_t at = 2;
  uint64_t pos = rec_size;  // where the next variable part goes
  uint8_t presence = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (i % 8 == 0) {
      if (at + 1 > length) return -1;
      presence = in[at++];
    }
    if ((presence & (0x80u >> (i % 8))) != 0) continue;  // absent
    const SysCat_COLUMN_DESCR& c = cols[i];
    const Kind kind = kind_of(c.col_type);
    uint64_t len = 0;
    if (kind == KIND_FIXED) {
      len = c.col_size;
    } else if (kind == KIND_INT) {
      len = int_width(c.col_type);
    } else if (short_length(c.col_type)) {
      if (at + 1 > length) return -1;
      len = in[at++];
    } else {
      if (at + 4 > length) return -1;
      len = le_get32(in + at);
      at += 4;
    }
    if (len > length - at) return -1;
    if ((kind == KIND_STRING || kind == KIND_BLOB) && len > c.col_size) return -1;
    const uint8_t* v = in + at;
    at += len;
    if (c.node_idx < 0) continue;  // stepped over
    const uint32_t off = static_col(entry, c).col_offset;
    switch (kind) {
      case KIND_FIXED:
        if (out != nullptr) memcpy(out + off, v, len);
        break;
      case KIND_INT: {
        uint32_t x = 0;
        for (uint32_t k = 0; k < len; ++k) x |= static_cast<uint32_t>(v[k]) << (8 * k);
        if (out != nullptr) store<uint32_t>(out, off, x);
        break;
      }
      case KIND_STRING:
        if (out != nullptr) {
          if (pos + len + 1 > capacity) return -1;
          memcpy(out + pos, v, len);
          out[pos + len] = 0;
          store<char*>(out, off, reinterpret_cast<char*>(out + pos));
        }
        pos += len + 1;
        break;
      case KIND_BLOB:
        pos = (pos + 3) & ~uint64_t{3};
        if (out != nullptr) {
          if (pos + 4 + len > capacity) return -1;
          const uint32_t n32 = static_cast<uint32_t>(len);
          memcpy(out + pos, &n32, 4);
          memcpy(out + pos + 4, v, len);
          store<uint8_t*>(out, off, out + pos);
        }
        pos += 4 + len;
        break;
      case KIND_NONE:
        ZENT_ASSERT(!"unpack_sys_entry: Unknown column type");
    }
  }
  return static_cast<int64_t>(pos);
}

}  // namespace

int sizeof_sys_entry(const SysCat_MAP* entry, const uint8_t* in, size_t length) {
  const int64_t n = walk_row(entry, in, length, nullptr, 0);
  if (n < 0 || n > INT32_MAX) {
    sc_error(SC_E_ROW);
    return -1;
  }
  return static_cast<int>(n);
}

int unpack_sys_entry(void* out, size_t capacity, const SysCat_MAP* entry, const uint8_t* in,
                     size_t length) {
  const int64_t n = walk_row(entry, in, length, static_cast<uint8_t*>(out), capacity);
  if (n < 0 || n > INT32_MAX) {
    sc_error(SC_E_ROW);
    return -1;
  }
  return static_cast<int>(n);
}

void* SysCat_UnpackRow(const SysCat_MAP* entry, const uint8_t* in, size_t length) {
  const int size = sizeof_sys_entry(entry, in, length);
  if (size < 0) return nullptr;
  void* row = malloc(static_cast<size_t>(size));
  ZENT_ASSERT(row != nullptr && "catalog row: heap overflow");
  if (unpack_sys_entry(row, static_cast<size_t>(size), entry, in, length) < 0) {
    free(row);
    return nullptr;
  }
  return row;
}

// --- Log opcode 17
// --------------------------------------------------------------------------------

uint32_t SysCat_EncodeRecord(const SysCat_RECORD& r, uint8_t* out) {
  le_put32(out, r.opcode);
  if (r.opcode != SysCat_OP_VMETA) {
    le_put32(out + 4, r.node_id);
    return SysCat_NODE_REC_SIZE;
  }
  Node_EncodeAddr(r.prev, out + 4);
  le_put32(out + 12, r.vmeta.unique);
  le_put32(out + 16, r.vmeta.ofs_unique);
  SysCat_EncodeAnchor(r.vmeta.anchor, out + 20);
  le_put32(out + 40, r.vmeta.ofs_anchor);
  return SysCat_VMETA_REC_SIZE;
}
static_assert(SysCat_VMETA_REC_SIZE == 20 + SysCat_ANCHOR_SIZE + 4);

int SysCat_DecodeRecord(const uint8_t* in, size_t size, SysCat_RECORD* r) {
  if (size < 4) return -1;
  *r = SysCat_RECORD{};
  r->opcode = le_get32(in);
  switch (r->opcode) {
    case SysCat_OP_VMETA:
      if (size != SysCat_VMETA_REC_SIZE) return -1;
      r->prev = Node_DecodeAddr(in + 4);
      r->vmeta.unique = le_get32(in + 12);
      r->vmeta.ofs_unique = le_get32(in + 16);
      r->vmeta.anchor = SysCat_DecodeAnchor(in + 20);
      r->vmeta.ofs_anchor = le_get32(in + 40);
      return 0;
    case SysCat_OP_CREATE:
    case SysCat_OP_DELETE:
      if (size != SysCat_NODE_REC_SIZE) return -1;
      r->node_id = le_get32(in + 4);
      return 0;
    default:
      return -1;
  }
}

const char* SysCat_OpName(uint32_t opcode) {
  switch (opcode) {
    case SysCat_OP_VMETA:
      return "VMETA";
    case SysCat_OP_CREATE:
      return "CREATE";
    case SysCat_OP_DELETE:
      return "DELETE";
    default:
      return "INVALID";
  }
}
