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

// --- The database session and the request classes -----------------------
// The handshake opens the connection's database session (idb_init_session:
// its transaction node and lock list) that dbml_close_session ends
// (idb_exit_session: locks, open databases, transactions);
// seam_db_sessions_open counts those still open. The state of a task's
// session is what ssn_set_lookup finds (installed by
// seam_install_session_lookup at start-up). The scan maps of a session
// end with it (scan_close_session, scan_map.h). The SCAN and MGMT classes
// are built (scan_request.h, mgmt_request.h).
struct ClientSession;
// Built (dbml_request.h): the DBML class and the session's start and end;
// these two live with it.
#include "server/dbml_request.h"
// Built (syscat_request.h): the SYSCAT class; its maps end with the
// session (syscat_close_session, first in dbml_close_session).
#include "server/syscat_request.h"
#include "server/mgmt_request.h"
#include "server/scan_request.h"
int seam_db_sessions_open();
void seam_install_session_lookup();
// The logged-on user's name of a database session ("" when none).
struct idb_session;
const char* idb_session_user_name(const idb_session* db_session);

