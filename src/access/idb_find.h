// idb_find.h - DBFIND (intrinsic 404): prepares the chained reads of DBGET.
//
// On a detail set and one of its path items it selects the chain of
// detail records hanging from the master entry of a key value; on an index
// item of a set it positions the set's index cursor on a key prefix or a
// wildcard pattern, and in mode 1 counts the keys of that range. The
// cursor fields it sets (`set_ctx`: path, links, index number, index mode,
// argument length, key layout, key buffer, pattern and span) are those
// DBGET modes 5, 6, 15 and 16 continue from; the keys a count counts are
// the keys those reads return.
//
// Context: the session's task on the server thread under its unit of the
// API lock. A find suspends in the record file's node lock and the buffer
// cache, and yields between the retries of a taken B-tree node lock. The
// new key buffer and pattern are the only allocations.
#pragma once
#include <cstdint>
#include <span>

#include "access/idb_session.h"

// DBFIND. set_ref (set_size bytes) names the set, item_ref (item_size
// bytes) the item: in mode 1 an index item of the set, else a path item of
// a detail set; in modes 2 to 5 an index item.
//
// arg: mode 1 on a path item, the master's key (at least the key item's
// size); on an index item, a 32-bit byte count n (host order) and n bytes,
// in modes 4 and 5 a wildcard pattern (idb_re.h).
//
// 0 with the status filled: a path chain [5] its record count, [7] the
// last record, [9] the first; an index count [5] the keys of the range,
// [7] the first key's record, [9] the last's; modes 2 to 5 all zero.
// -1 with [5] 404, [8] the mode and the failure fill: -11 unknown dbid;
// -21 unknown set or item, no access, mode 1 with an item on a master set,
// an argument shorter than the key or than its own count; -31 a mode
// outside 1 to 5; -52 no path or index of the set on the item, a pattern
// on an index that does not begin with a character segment; -120 no
// memory for the key; 53 a pattern that does not compile; 17 no master
// entry, no key of the range (the cursor stays set), -804 a B-tree failure.
int idb_find(idb_session* s, int32_t dbid, const void* set_ref, int set_size, int32_t mode,
             const void* item_ref, int item_size, std::span<const uint8_t> arg, int32_t* status);

// Tests: called in a count after each key counted (with the count so far),
// where another session's change may come between two steps (none:
// nothing).
void idb__set_count_step_hook(void (*hook)(int32_t counted));
