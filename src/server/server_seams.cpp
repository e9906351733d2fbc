// server_seams.cpp - stand-ins for services not yet built (see
// server_seams.h). Services the server cannot run without fail with a log
// line; storage steps succeed without doing anything, so that the server
// frame can be run and stopped before the storage engine exists.
#include "server/server_seams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "base/debug_log.h"
#include "base/server_config.h"
#include "base/task_kernel.h"
#include "server/client_session.h"
#include "storage/ssn.h"

namespace {
void not_built(const char* what) { debug_log('D', 0, "%s: not yet built", what); }
}  // namespace

// --- Request classes and the database session (not yet built) ----------
struct idb_session {
  Ssn_STATE ssn;
};

namespace {
int g_db_sessions_open = 0;
// The client sessions that have a database session: a task's user data is
// taken for a client session only when it is one of them (other tasks keep
// other records there).
std::unordered_map<const void*, idb_session*> g_db_sessions;

Ssn_STATE* session_state(Task* task) {
  auto it = g_db_sessions.find(thread_get_data(task));
  return it != g_db_sessions.end() ? &it->second->ssn : nullptr;
}
}  // namespace

void seam_install_session_lookup() { ssn_set_lookup(session_state); }

int dbml_open_session(ClientSession* session) {
  auto* placeholder = new (std::nothrow) idb_session;
  if (placeholder == nullptr) return -1;
  placeholder->ssn.client = session;
  try {
    g_db_sessions[session] = placeholder;
  } catch (const std::bad_alloc&) {
    delete placeholder;
    return -1;
  }
  session->db_session = placeholder;
  ++g_db_sessions_open;
  return 0;
}

void dbml_close_session(ClientSession* session) {
  if (session->db_session == nullptr) return;
  g_db_sessions.erase(session);
  delete session->db_session;
  session->db_session = nullptr;
  --g_db_sessions_open;
}

int seam_db_sessions_open() { return g_db_sessions_open; }

int dbml_request(ClientSession*) { not_built("DBML request class"); return -1; }
int syscat_request(ClientSession*) { not_built("SYSCAT request class"); return -1; }
int scan_request(ClientSession*) { not_built("SCAN request class"); return -1; }
int mgmt_request(ClientSession*) { not_built("MGMT request class"); return -1; }

const char* idb_session_user_name(const idb_session*) { return ""; }

// --- What the status pages list of the access layer (not yet built) -----
namespace {
const StatusDbRow* g_db_rows = nullptr;
int g_db_row_count = 0;
const StatusLockRow* g_lock_rows = nullptr;
int g_lock_row_count = 0;
}  // namespace

const StatusDbRow* idb_status_db_next(int* cursor) {
  return *cursor >= 0 && *cursor < g_db_row_count ? &g_db_rows[(*cursor)++] : nullptr;
}

const StatusLockRow* idb_status_lock_next(int* cursor) {
  return *cursor >= 0 && *cursor < g_lock_row_count ? &g_lock_rows[(*cursor)++] : nullptr;
}

void seam_set_status_db_rows(const StatusDbRow* rows, int count) {
  g_db_rows = rows;
  g_db_row_count = rows ? count : 0;
}

void seam_set_status_lock_rows(const StatusLockRow* rows, int count) {
  g_lock_rows = rows;
  g_lock_row_count = rows ? count : 0;
}

LockStats idb__get_lock_stats() { return {}; }
