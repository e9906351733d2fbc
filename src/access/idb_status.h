// idb_status.h - the status array of the database calls, their condition
// codes, and the session's error record that a failure sets.
//
// Every database call (an "intrinsic") reports its outcome in ten signed
// 32-bit words that the network server sends to the client unchanged. A
// failure site sets its code in the session's error record in one step
// (IDB_ERROR and friends: the record, then the log line "<name> (%d,%d),
// file %s, line %d" under letter I at level 2) and returns -1; the
// intrinsic ends every failure with idb__fail_status, where -1 means: take
// code and sub-code from the record.
//
// Context: the session's own task on the server thread; nothing here
// suspends or allocates.
#pragma once
#include <cstdint>

#include "access/idb_session.h"

inline constexpr int IDB_STATUS_WORDS = 10;
using idb_status = int32_t[IDB_STATUS_WORDS];

// Condition codes: 0 success, negative errors, positive exceptional
// conditions.
enum : int32_t {
  S_CANTOPEN = -1,
  S_BADUSER = -3,
  S_BADPSWD = -4,
  S_DENIED = -5,
  S_BADID = -11,
  S_BAD = -21,
  S_BADMODE = -31,
  S_DEADLK = -35,
  S_BADITEM = -52,
  S_NOCREAT = -92,
  S_NOMASTER = -95,
  S_POINTER = -96,
  S_VOLUME = -801,
  S_VOLNODE = -802,
  S_VOLFREC = -803,
  S_BTREE = -804,
  S_SYSCAT = -805,
  S_SYSTEM = -806,
  S_LOCKDB = -807,
  S_IMAGE = -809,
  S_EOF = 11,
  S_DIRBOF = 12,
  S_DIREOF = 13,
  S_ENDCHAIN = 15,
  S_NOREC = 17,
  S_BROKEN = 18,
  S_DUPL = 43,
  S_CANTDEL = 44,
  S_NOTFOUND = 80,
  S_NOHEAD = 100,  // a missing master of path p (0-based) reports 101 + p
};

// Codes the intrinsics give directly (sub-code 0) and that have no name of
// their own in the system; named here only for the code's sake.
enum : int32_t {
  IDB_RC_READ_MODE = -14,      // the database's open mode does not allow changes
  IDB_RC_READ_ACCESS = -23,    // the session may only read the set
  IDB_RC_NO_CHANGE = 41,       // an update may not change a key or a path value here
  IDB_RC_DEL_AUTOMATIC = -24,  // delete on an automatic master set
  IDB_RC_KEY_MEMORY = -120,    // no memory for a key buffer
  IDB_RC_DESCR_ALIGN = -137,   // a lock descriptor not on a 4-byte boundary
  IDB_RC_BAD_PATTERN = 53,     // a wildcard pattern that does not compile
  IDB_RC_OPEN_TX = 32,         // create, purge, store or restore inside a transaction
  IDB_RC_TX_LEVEL = 34,        // a transaction level that does not match
  IDB_RC_SCHEMA_BLOCK = -700,  // DBOPEN's schema block could not be written
};

// Intrinsic numbers (status word 5).
enum : int32_t {
  IDB_OPEN = 401,
  IDB_INFO = 402,
  IDB_CLOSE = 403,
  IDB_FIND = 404,
  IDB_GET = 405,
  IDB_UPDATE = 406,
  IDB_PUT = 407,
  IDB_DELETE = 408,
  IDB_LOCK = 409,
  IDB_UNLOCK = 410,
  IDB_CREATE = 411,
  IDB_ERASE = 412,
  IDB_PURGE = 413,
  IDB_LOGON = 420,
  IDB_BEGIN = 421,
  IDB_ROLLBACK = 422,
  IDB_COMMIT = 423,
  IDB_STORE = 440,
  IDB_RESTORE = 441,
};

// Stores code, sub-code and place in the session's record and logs
// "<name> (%d,%d), file %s, line %d" (letter I, level 2). A session of
// none stores nothing (a caller outside any session: the line is all).
void idb__set_code(idb_session* s, const char* name, int32_t code, int32_t sub_code,
                   const char* file, int line);

// A code by its name.
#define IDB_ERROR(s, code, sub_code) idb__set_code((s), #code, (code), (sub_code), __FILE__, __LINE__)
// The path code of path p (0-based): S_NOHEAD + p + 1.
#define IDB_ERROR_PATH(s, p) \
  idb__set_code((s), "S_NOHEAD + p + 1", S_NOHEAD + (p) + 1, 0, __FILE__, __LINE__)
// A code passed on from a callee.
#define IDB_ERROR_CC(s, cc, sub_code) idb__set_code((s), "cc", (cc), (sub_code), __FILE__, __LINE__)

// The lower layers' status of the running task, as a sub-code.
int32_t idb__lower_status();

// The status of a failed intrinsic: word 0 the code, words 4, 6 and 7
// zero; -1 takes code and sub-code (word 9) from the session's record, any
// other code reports itself with sub-code 0 and becomes the record's code.
// Words 5 and 8 (intrinsic number and mode, stored on entry) stay. The
// blocking record is left empty: no intrinsic returns with it set. -1.
int idb__fail_status(idb_session* s, int32_t code, int32_t* status);

// Empties the session's blocking record (tx_blocking).
void idb__clear_blocking(idb_session* s);
