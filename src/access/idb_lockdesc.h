// idb_lockdesc.h - DBLOCK (409) and DBUNLOCK (410): the client's calls to
// the lock manager, and the parser that turns a client's lock descriptor
// into the lock manager's parsed form.
//
// Client descriptor (every number a 32-bit little-endian word, starting on
// a 4-byte boundary): the byte length of the entries that follow, then
// entries each padded to 4 bytes: entry length (itself included; 0 ends
// the list), a 16-byte set field (number below 200, name, or "@" for every
// set), optionally a 16-byte item field (number, name or "@"), and with a
// named item a 2-character operator and the value.
//
// Context: the session's task on the server thread under its unit of the
// API lock. A lock request of a waiting mode may suspend in the lock
// manager (the unit given back meanwhile); parsing neither suspends nor
// allocates.
#pragma once
#include <cstdint>

#include "access/schema_cache.h"

struct idb_session;

// Parses the client descriptor of size bytes against schema g into out
// (room bytes, at least 4): its word count, then the entries. 0 (an empty
// descriptor gives a word count of 0), or a descriptor code: -122 to -128,
// -136 (the parsed form does not fit room).
int32_t idb__parse_lock_descr(const global* g, const uint8_t* descr, uint32_t size,
                              uint32_t* out, uint32_t room);

// The work buffer a parsed descriptor must fit.
inline constexpr uint32_t IDB_DESCR_ROOM = 8192 - 4;

// DBLOCK and DBUNLOCK. qualifier (size bytes): nothing for modes 1, 2, 11,
// 12; a set reference for 3, 4, 13, 14; a client lock descriptor for 5, 6,
// 15, 16. 0, or -1 with the status filled as a failure; a conflict code of
// a mode that does not wait is answered in status word 0 (21 as 20 with
// word 2 = 1) and returns -1.
int idb_lock(idb_session* s, int32_t dbid, const void* qualifier, uint32_t size, int32_t mode,
             int32_t* status);
int idb_unlock(idb_session* s, int32_t dbid, const void* qualifier, uint32_t size, int32_t mode,
               int32_t* status);
