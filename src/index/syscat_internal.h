// syscat_internal.h - what the catalog's modules share and nobody else
// uses: status helpers, the table lock around a typed function, the row
// check of an update or delete, and lookups by a filter.
#pragma once
#include <cstddef>
#include <cstdint>

#include "index/syscat.h"
#include "index/syscat_format.h"

struct Node_LOG_REC;

// Sets SC E<code> / SC R<code>.
void SysCat_Error(int code);
void SysCat_Eof();
// "<fn>() failed: invalid arguments, file %s, line %d" at level 1, SC E005.
int SysCat_InvalidArgs(const char* fn, const char* file, int line);
#define SYSCAT_INVALID_ARGS(fn) SysCat_InvalidArgs((fn), __FILE__, __LINE__)

// The open node and stored description of a map entry, or -1 with SC E001
// when the table is not open.
int SysCat_EntryOpen(const SysCat_MAP* entry);

// FNV-1a over bytes: the fingerprint of a stored row a walk remembers.
uint64_t SysCat_Hash(const uint8_t* bytes, uint32_t size);

// The first row of sys_id the filter keeps, from the start: 0 found
// (*row, *state), 1 none, -1 failure.
int SysCat_Find(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                void* arg, SysCat_GETSTATE* state, void** row, Node* tx);

// Table lock of a typed function: with a transaction the table's lock is
// taken for the whole function, so the row it reads stays its own until
// it changes it. Outside a transaction nothing (the row check of the core
// operations covers a change in between).
struct SysCat_TYPEDLOCK {
  SysCat_MAP* entry = nullptr;
  Node_LOG_REC* lock = nullptr;
};
int SysCat_TypedLock(SysCat_DB_CATALOG* cat, int sys_id, Node* tx, SysCat_TYPEDLOCK* held);
void SysCat_TypedUnlock(SysCat_TYPEDLOCK* held, Node* tx);

// A deep copy of a row of the table (one buffer; free() it), or none.
void* SysCat_CopyRow(const SysCat_MAP* entry, const void* row);

// The map entry of a template table by name (case-insensitive), or none.
SysCat_MAP* SysCat_MapByName(SysCat_MAP* map, const char* name);

// A new, described table node of a database (syscat_create.cpp), or none.
Node* SysCat_CreateDbTable(const SysCat_MAP* entry, Node* tx);

// The first row of sys_id the filter keeps, or none (also on a failure,
// with the status set; *found tells a missing row from a failure).
void* SysCat_GetOne(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                    void* arg, Node* tx, int* found = nullptr);
// SysCat_GetOne that logs the formatted "not found" message at level 2
// when there is no such row.
void* SysCat_GetLogged(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                       void* arg, Node* tx, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
// Appends row unless a row the filter keeps exists: 0 added, 1 exists, -1.
int SysCat_AddUnique(SysCat_DB_CATALOG* cat, int sys_id, const void* row,
                     int (*fn)(const void* row, void* arg), void* arg, Node* tx);
// Rewrites (row) or deletes (row none) the first row the filter keeps:
// 0 done, 1 none, -1 failure.
int SysCat_ChangeOne(SysCat_DB_CATALOG* cat, int sys_id, const void* row,
                     int (*fn)(const void* row, void* arg), void* arg, Node* tx);

// Filters over the row records: a u32 field at an offset equal to a value;
// two such fields; a string field equal without regard to case.
struct SysCat_KEY {
  uint32_t offset;
  uint32_t value;
  uint32_t offset2;
  uint32_t value2;
};
int SysCat_MatchU32(const void* row, void* key);
int SysCat_MatchU32Pair(const void* row, void* key);
struct SysCat_NAMEKEY {
  uint32_t offset;
  const char* name;
};
int SysCat_MatchName(const void* row, void* key);
#define SYSCAT_KEY(Row, field, value) \
  SysCat_KEY { offsetof(Row, field), (value), 0, 0 }
#define SYSCAT_KEY2(Row, f1, v1, f2, v2) \
  SysCat_KEY { offsetof(Row, f1), (v1), offsetof(Row, f2), (v2) }
#define SYSCAT_NAMEKEY(Row, field, value) \
  SysCat_NAMEKEY { offsetof(Row, field), (value) }

inline bool SysCat_HasText(const char* s) { return s != nullptr && s[0] != 0; }

// Runs body between the typed table lock and its release; -1 when the lock
// cannot be had.
template <class Body>
int SysCat_Locked(SysCat_DB_CATALOG* cat, int sys_id, Node* tx, Body body) {
  SysCat_TYPEDLOCK held;
  if (SysCat_TypedLock(cat, sys_id, tx, &held) != 0) return -1;
  const int rc = body();
  SysCat_TypedUnlock(&held, tx);
  return rc;
}
