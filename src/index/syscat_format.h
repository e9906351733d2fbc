// syscat_format.h - the catalog's stored records: the packed description
// of a table (its node's meta data), the stored row (a block of the table's
// record pool: link header, column count, presence bytes, values), the list
// anchor, and the records of log opcode 17 (VMETA, CREATE, DELETE).
//
// All integers are little-endian and go field by field; nothing is copied
// to or from disk as a struct. Everything read from a volume or a log is
// checked before it is used: a stored description whose name or a column
// name lacks its terminator, whose column types are unknown, whose sizes do
// not fit their stored form, or that binds a column to a static column of
// another kind is refused; every length in a stored row is checked against
// the bytes that remain, in 64-bit arithmetic.
//
// Plain functions; any thread. Failures set SC E002/E003/E004 and return -1.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "storage/node_format.h"

// --- Stored description -------------------------------------------------------------------

// An unpacked stored description: the description proper (pointing into
// the names and columns kept here), its id counter and anchor.
struct SysCat_NODE_DESCR {
  SysCat_TABLE_DESCR d{};
  std::string name;
  std::vector<std::string> col_names;
  std::vector<SysCat_COLUMN_DESCR> cols;
  uint32_t unique = 0;
  SysCat_ANCHOR anchor;
};

inline constexpr uint32_t SysCat_ANCHOR_SIZE = 20;
inline constexpr uint32_t SysCat_DESCR_FIXED = 28;  // the size without any name

void SysCat_EncodeAnchor(const SysCat_ANCHOR& a, uint8_t* out);
SysCat_ANCHOR SysCat_DecodeAnchor(const uint8_t* in);

// Size and packed form of a static description (unique 0, empty anchor).
uint32_t sizeof_node_descr(const SysCat_TABLE_DESCR* descr);
void pack_node_descr(uint8_t* buf, const SysCat_TABLE_DESCR* descr);
// Offsets of the id counter and the anchor in a description packed from a
// table of this name.
uint32_t SysCat_OfsUnique(const char* name);
// Unpacks a stored description and binds its columns to the static
// description's by name (case-insensitive): 0, or -1 with SC E002 / E003.
// Without a static description the columns stay unbound.
int unpack_node_descr(const uint8_t* in, size_t size, const SysCat_TABLE_DESCR* statics,
                      SysCat_NODE_DESCR* out);

// --- Stored rows ---------------------------------------------------------------------------

// The link header in front of every stored row.
inline constexpr uint32_t SysCat_LINK_SIZE = 16;
struct SysCat_LINK {
  Node_ADDR prev;
  Node_ADDR next;
};
void SysCat_EncodeLink(const SysCat_LINK& l, uint8_t* out);
SysCat_LINK SysCat_DecodeLink(const uint8_t* in);

// Packs the in-memory row (the static layout) by the stored description:
// the column count, presence bytes and present values. The stored size, or
// -1 with SC E004 when capacity is too small.
int pack_col_val(uint8_t* out, size_t capacity, const SysCat_MAP* entry, const void* row);
// The in-memory size of the stored row (after its link header), or -1 with
// SC E004 when it does not hold together.
int sizeof_sys_entry(const SysCat_MAP* entry, const uint8_t* in, size_t length);
// Unpacks it into out (the fixed part zeroed, strings and blobs behind it).
// The bytes used, or -1 with SC E004.
int unpack_sys_entry(void* out, size_t capacity, const SysCat_MAP* entry, const uint8_t* in,
                     size_t length);
// A newly allocated in-memory row (free() it), or none with SC E004.
void* SysCat_UnpackRow(const SysCat_MAP* entry, const uint8_t* in, size_t length);

// --- Log opcode 17 ------------------------------------------------------------------------------

enum { SysCat_OP_INVALID = 0, SysCat_OP_VMETA = 1, SysCat_OP_CREATE = 2, SysCat_OP_DELETE = 3 };
inline constexpr uint32_t SysCat_VMETA_REC_SIZE = 44;
inline constexpr uint32_t SysCat_NODE_REC_SIZE = 8;

struct SysCat_RECORD {
  uint32_t opcode = 0;
  Node_ADDR prev;        // VMETA: the table's previous VMETA record (cluster 0 = none)
  SysCat_VMETA vmeta;    // VMETA
  uint32_t node_id = 0;  // CREATE: the created node; DELETE: the node to delete
};
// The record's bytes (44 for VMETA, 8 for CREATE and DELETE); the size.
uint32_t SysCat_EncodeRecord(const SysCat_RECORD& r, uint8_t* out);
// 0, or -1 when size is not the opcode's or the opcode is unknown.
int SysCat_DecodeRecord(const uint8_t* in, size_t size, SysCat_RECORD* r);
const char* SysCat_OpName(uint32_t opcode);
