// server_seams.h - services the server's start-up order calls that are not
// built yet. Each is a plainly named stand-in, listed in the README under
// "Not yet built"; the step that builds the real service deletes its block
// here and includes the real module's header instead.
#pragma once
#include <cstdint>

struct Task;

// --- HTTP status service (not yet built) -------------------------------
// The http task's body: answers each connection it is handed with a short
// "not yet built" page and gives it back (close_http_connection).
void http_thread();

// --- Storage engine ------------------------------------------------------
// Built: the volume set, the buffer cache, the transaction log's records,
// transactions and API lock.
#include "storage/buffer_cache.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
// Not yet built:
int FixRec_Init();
int btree_Init();
int Tlog_Recover();
int Tlog_Checkpoint(const char* reason);
int Vol_ClearRedirectFlags(int data_only);
int SysCat_open();
int SysCat_close();
void VNode_Flush();
void VNode_Cleanup();
// LOG pages the transaction log holds now (the checkpoint size trigger).
unsigned Tlog_LogSize();

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
