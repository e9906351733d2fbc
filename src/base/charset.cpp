// charset.cpp - character-set aliases and the NATIVE8 <-> ISO 8859-1 tables.
#include "base/charset.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <strings.h>

namespace {

struct CharsetAlias {
  const char* name;
  const char* short_name;
  int id;
  const char* long_name;
};

constexpr CharsetAlias kAliases[] = {
    {"QXNATIVE8", "native8", CHARSET_NATIVE8, "qx-native8"},
    {"QX-NATIVE8", "native8", CHARSET_NATIVE8, "qx-native8"},
    {"NATIVE8", "native8", CHARSET_NATIVE8, "qx-native8"},
    {"ISO8859/1", "iso88591", CHARSET_ISO88591, "iso-8859-1"},
    {"ISO88591", "iso88591", CHARSET_ISO88591, "iso-8859-1"},
    {"ISO8859-1", "iso88591", CHARSET_ISO88591, "iso-8859-1"},
    {"ISO-8859-1", "iso88591", CHARSET_ISO88591, "iso-8859-1"},
};

// ISO 8859-1 code of each NATIVE8 code 160..255.
constexpr uint8_t kNativeUpper[96] = {
    0x20, 0xc0, 0xc2, 0xc8, 0xca, 0xcb, 0xce, 0xcf, 0x27, 0x60, 0x88, 0xa8, 0x98, 0xd9, 0xdb, 0xa3,
    0xaf, 0xdd, 0xfd, 0xb0, 0xc7, 0xe7, 0xd1, 0xf1, 0xa1, 0xbf, 0xa4, 0xa3, 0xa5, 0xa7, 0x83, 0xa2,
    0xe2, 0xea, 0xf4, 0xfb, 0xe1, 0xe9, 0xf3, 0xfa, 0xe0, 0xe8, 0xf2, 0xf9, 0xe4, 0xeb, 0xf6, 0xfc,
    0xc5, 0xee, 0xd8, 0xc6, 0xe5, 0xed, 0xf8, 0xe6, 0xc4, 0xec, 0xd6, 0xdc, 0xc9, 0xef, 0xdf, 0xd4,
    0xc1, 0xc3, 0xe3, 0xd0, 0xf0, 0xcd, 0xcc, 0xd3, 0xd2, 0xd5, 0xf5, 0x8a, 0x9a, 0xda, 0x9f, 0xff,
    0xde, 0xfe, 0xb7, 0xb5, 0xb6, 0xbe, 0x2d, 0xbc, 0xbd, 0xaa, 0xba, 0xab, 0x20, 0xbb, 0xb1, 0x20,
};

struct Tables {
  std::array<uint8_t, 256> native_to_iso{};
  std::array<uint8_t, 256> iso_to_native{};
};

// Codes below 160 map to themselves and 160..255 to a blank; then each
// NATIVE8 code in ascending order sets its forward entry and, when its ISO
// code is 128 or above, the reverse one (so the higher of two NATIVE8 codes
// with the same ISO code wins, and ISO codes 128..159 that a NATIVE8 code
// reaches are translated back, not kept).
constexpr Tables build_tables() {
  Tables t;
  for (int c = 0; c < 256; ++c) {
    const auto v = static_cast<uint8_t>(c < 160 ? c : 32);
    t.native_to_iso[c] = v;
    t.iso_to_native[c] = v;
  }
  for (int n = 160; n < 256; ++n) {
    const uint8_t i = kNativeUpper[n - 160];
    t.native_to_iso[n] = i;
    if (i >= 128) t.iso_to_native[i] = static_cast<uint8_t>(n);
  }
  return t;
}

constexpr Tables kTables = build_tables();

const CharsetAlias* find_alias(const char* name) {
  if (name == nullptr) return nullptr;
  for (const auto& a : kAliases)
    if (strcasecmp(a.name, name) == 0) return &a;
  return nullptr;
}

}  // namespace

int charset_id(const char* name) {
  const CharsetAlias* a = find_alias(name);
  return a ? a->id : -1;
}

const char* charset_short_name(const char* name) {
  const CharsetAlias* a = find_alias(name);
  return a ? a->short_name : nullptr;
}

const char* charset_long_name(const char* name) {
  const CharsetAlias* a = find_alias(name);
  return a ? a->long_name : nullptr;
}

const char* charset_name(int id) {
  for (const auto& a : kAliases)
    if (a.id == id) return a.name;
  return nullptr;
}

void charset_init() {}

int zn__charset_map(int from, int to, void* buffer, int length) {
  if (from == to) return 0;
  const std::array<uint8_t, 256>* table = nullptr;
  if (from == CHARSET_NATIVE8 && to == CHARSET_ISO88591)
    table = &kTables.native_to_iso;
  else if (from == CHARSET_ISO88591 && to == CHARSET_NATIVE8)
    table = &kTables.iso_to_native;
  if (table == nullptr || length < 0) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  for (int k = 0; k < length; ++k) p[k] = (*table)[p[k]];
  return 0;
}
