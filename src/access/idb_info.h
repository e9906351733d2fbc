// idb_info.h - DBINFO (402): what the schema of an open database tells a
// session that may see it: item, set, path and index-item numbers and
// descriptions, the sets it may read or write, a set's record count.
//
// Answers are host-order 32-bit words in the caller's buffer: set numbers
// 1-based, negative where the session may write the set (modes 201, 203,
// 204); item numbers 1-based with the index items after the items; lists a
// count and that many numbers.
//
// Context: the session's task on the server thread. Mode 202 opens the
// set's record file and may suspend there; the other modes do not suspend.
#pragma once
#include <cstdint>

struct idb_session;

// Fills buffer (size bytes) with the answer of mode for the item, set or
// index item that qualifier (qual_size bytes) names. 0 with status word 1
// the answer's length, or -1 with the status filled: -11, -21 (unknown
// reference, no access, a nonzero word where 0 is asked, or an answer that
// does not fit the buffer), -31, -802.
int idb_info(idb_session* s, int32_t dbid, const void* qualifier, uint32_t qual_size,
             int32_t mode, int32_t* status, uint8_t* buffer, uint32_t size);

// The largest answer of mode 202 and of the fixed-size modes.
inline constexpr uint32_t IDB_INFO_202_LEN = 32;
