// child_table.h - the parent's table of its children: one entry per client
// handler, newest first, kept until the process it watches (the handler,
// or the zentcore it started) ends, and what the parent learns through IPC.
//
// Ownership: one mutex guards the table. Nothing here calls the wait list
// while holding it: a replace takes the entry's facts, lets go, replaces
// in the wait list and comes back. The wait list calls child_table_removed
// (its removal callback) without its own lock held, so the two locks never
// nest. Entries are keyed by the handler's process id, which no other
// live process can have (the parent reaps its children itself).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "daemon/ipc_record.h"

namespace zentsd {

struct ChildEntry {
  int handle = -1;        // the watched process's descriptor (a pidfd), owned by the wait list
  pid_t pid = 0;          // the watched process
  pid_t key = 0;          // the handler's process id: the key of its requests
  uint32_t peer_addr = 0;
  char peer_name[kIpcHostSize] = {};
  char platform[kIpcPlatformSize] = {};
  char user_id[kIpcUserIdSize] = {};
  char account[kIpcAccountSize] = {};
  time_t start = 0;       // reset at each request
  bool registered = false;
  bool replaced = false;  // zentcore is watched instead of the handler
};

// Adds an entry at the head (before the child runs).
void child_table_add(const ChildEntry& entry);
// Drops the entry of key (a start that failed); false when none.
bool child_table_drop(pid_t key);
// The wait list's removal callback: drops the entry watching handle.
void child_table_removed(int handle);
int child_table_count();
// Entries whose connection has not logged on (no user, no zentcore).
int child_table_waiting();
// Forgets every address's failed logons (tests).
void child_table_forget_logons();
// A copy of the table, newest first (the status pages).
std::vector<ChildEntry> child_table_snapshot();
// Drops every entry (the end of a run).
void child_table_clear();

// Serves one request for the handler key: IPC_CHILD stores the peer,
// IPC_USER the user, IPC_NEWCHILD watches the named process instead (a
// descriptor opened while the handler waits, put in the handler's place in
// the wait list). 0 done, -1 refused (logged). IPC_LOGON counts a logon's
// outcome per client address (base/failed_logons.h; needs no entry) and
// answers a failure with the milliseconds its reply waits, logged.
int child_table_request(uint32_t type, pid_t key, const uint8_t payload[kIpcPayloadSize]);

// Opens a descriptor that turns readable when pid ends; -1 with errno.
int process_handle_open(pid_t pid);

}  // namespace zentsd
