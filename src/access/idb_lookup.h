// idb_lookup.h - references to data sets, items and index items by number
// or by name, and the media record layout of a data set.
//
// A reference is a 4-byte buffer: a number in range (1-based; index items
// are numbered after the items in one sequence) or else a name of 1 to 15
// characters ending at a NUL, a blank or ";", in any letter case. The
// answer is a 0-based position in the schema's arrays (index items: the
// item count plus the position, like the numbers), or -1.
//
// The media record of a set (what its record file stores): the user record
// alone when the set has neither paths nor indexes; otherwise the user
// record padded with zeros to a multiple of 4, one 32-bit index word when
// it has an index, then per path 8 bytes (detail: next, previous record)
// or 12 bytes (master: chain count, first, last record).
//
// Context: any task; nothing here suspends or allocates.
#pragma once
#include <cstdint>

#include "access/schema_cache.h"

// size is the reference buffer's length (at least 4): a name is read no
// further than it.
int idb__set_number(const global* g, const void* reference, int size);
int idb__item_number(const global* g, const void* reference, int size);
int idb__iitem_number(const global* g, const void* reference, int size);
int idb__find_set(const global* g, const char* name);
int idb__find_item(const global* g, const char* name);
int idb__find_iitem(const global* g, const char* name);

// Characters before the first NUL, blank or ";" within max.
int idb__name_len(const char* text, int max);
// Upper-cases in place up to max characters or the first NUL.
void idb__upcase(char* text, int max);
// The sum of (byte & 31) over name up to its first blank (at most len
// bytes), modulo n (n > 0).
int idb__name_hash(const char* name, int len, int n);

// Fills the n slots of table with the names (16 bytes each, names[i] the
// record at position i): each under its hash; a taken home slot sends the
// record to the next free slot after it, chained right behind the home
// slot (the newest first).
void idb__hash_build(idb_hash* table, int n, const char* const* names);
// The position of key (16 bytes, upper case, blank-padded) in table, or -1.
int idb__hash_find(const idb_hash* table, int n, const char* key);

uint32_t media_len(const idb_set* set);
// The index word of the record at base (the set must have an index) and
// the first per-path entry (the set must have a path).
uint8_t* idb__index_word_offset(const idb_set* set, uint8_t* base);
uint8_t* idb__path_area(const idb_set* set, uint8_t* base);
