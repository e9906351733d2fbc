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
// Built: the volume set, the buffer cache, the B-tree and the system catalog.
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/volume_set.h"
// Not yet built:
int Tlog_Init();
int FixRec_Init();
int Tlog_Recover();
int Tlog_Checkpoint(const char* reason);
int Vol_ClearRedirectFlags(int data_only);
void VNode_Flush();
void VNode_Cleanup();
int Tlog_ApiLock();
void Tlog_ApiUnlock();
// One shared unit of the API lock around each client request.
int Tlog_ApiSharedLock();
void Tlog_ApiSharedUnlock();
// LOG pages the transaction log holds now (the checkpoint size trigger).
unsigned Tlog_LogSize();

// --- Request classes and the database session (not yet built) ----------
// The handshake opens a placeholder database session that
// dbml_close_session ends; seam_db_sessions_open counts those still open.
// The class handlers log that they are not built and close the connection.
struct ClientSession;
int dbml_open_session(ClientSession* session);
void dbml_close_session(ClientSession* session);
int seam_db_sessions_open();
int dbml_request(ClientSession* session);
int syscat_request(ClientSession* session);
int scan_request(ClientSession* session);
int mgmt_request(ClientSession* session);
// The logged-on user's name of a database session ("" when none).
struct idb_session;
const char* idb_session_user_name(const idb_session* db_session);
