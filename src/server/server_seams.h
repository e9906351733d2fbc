// server_seams.h - services the server's start-up order calls that are not
// built yet. Each is a plainly named stand-in, listed in the README under
// "Not yet built"; the step that builds the real service deletes its block
// here and includes the real module's header instead.
#pragma once
#include <cstdint>

struct Task;

// --- Storage engine ------------------------------------------------------
// Built: the volume set, the buffer cache, the B-tree, the system catalog,
// the transaction log with checkpoint and recovery, the vnode cache, the
// fixed-record files.
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

// --- Request classes and the database session (not yet built) ----------
// The handshake opens a placeholder database session (its task-session
// state and nothing more, no transaction node yet) that dbml_close_session
// ends; seam_db_sessions_open counts those still open. The state of a
// task's session is what ssn_set_lookup finds (installed by
// seam_install_session_lookup at start-up).
// The class handlers log that they are not built and close the connection.
struct ClientSession;
int dbml_open_session(ClientSession* session);
void dbml_close_session(ClientSession* session);
int seam_db_sessions_open();
void seam_install_session_lookup();
int dbml_request(ClientSession* session);
int syscat_request(ClientSession* session);
int scan_request(ClientSession* session);
int mgmt_request(ClientSession* session);
// The logged-on user's name of a database session ("" when none).
struct idb_session;
const char* idb_session_user_name(const idb_session* db_session);

// --- What the status pages list of the access layer (not yet built) -----
// The schema cache's open databases (idb__get_vroot_list) and the lock
// manager's queue (idb__get_lock_list), as rows. Until those exist the
// seams give no rows; tests hand them rows to show.
struct StatusDbRow {
  const char* name;  // none: shown as "?"
  int32_t open_count;
  int32_t write_shared;
  int32_t write_exclusive;
  int32_t read_shared;
  int32_t read_exclusive;
};
struct StatusLockRow {
  const void* session;   // the owning database session
  int task_id;
  const char* database;  // none: "?"
  int dbid;
  int status;            // 1 granted, 2 blocked, 3 pending
  int mode;              // the stored kind: 2, 4, 6, 12, 14, 16
  int set;               // set kinds: the set's 0-based position
  // Descriptor kinds: the parsed descriptor, its word count first; each
  // entry's first word counts the entry's words, itself included.
  const uint32_t* descriptor;
};
// The next row after *cursor (start at 0), or none at the end.
const StatusDbRow* idb_status_db_next(int* cursor);
const StatusLockRow* idb_status_lock_next(int* cursor);
// Tests: the rows the seams give from now on (none: no rows). The rows
// must outlive their use.
void seam_set_status_db_rows(const StatusDbRow* rows, int count);
void seam_set_status_lock_rows(const StatusLockRow* rows, int count);

// Counters of services not yet built, for the statistics page: all zero
// until those services count.
struct LockStats {
  uint32_t requests, shared, exclusive, granted, conflicts, refused, wait_ticks;
};
LockStats idb__get_lock_stats();
