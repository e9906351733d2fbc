// charset.h - the two 8-bit character sets the system knows, NATIVE8 (id 0)
// and ISO 8859-1 (id 1): the alias table and in-place translation.
//
// The translation tables are constant data built at compile time, so every
// call is safe from any thread and never allocates.
#pragma once
#include <cstddef>

enum { CHARSET_NATIVE8 = 0, CHARSET_ISO88591 = 1 };

// Id of a character-set name (any case), or -1 when the name is unknown.
int charset_id(const char* name);
// Short name ("native8", "iso88591") of a known name, else none.
const char* charset_short_name(const char* name);
// Long name ("qx-native8", "iso-8859-1") of a known name, else none.
const char* charset_long_name(const char* name);
// Canonical name of an id: the first alias with that id ("QXNATIVE8",
// "ISO8859/1"), or none.
const char* charset_name(int id);

// Kept for callers that set the tables up explicitly; the tables are
// compile-time constants, so there is nothing left to do at run time.
void charset_init();

// Translates length bytes of buffer in place from one set to the other.
// Equal ids or length 0: 0, buffer untouched. Any pair other than 0->1 or
// 1->0, or a negative length: errno EINVAL, -1, buffer untouched.
int zn__charset_map(int from, int to, void* buffer, int length);
