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
#include "access/idb_open.h"
#include "access/idb_session.h"
#include "server/client_session.h"
#include "storage/ssn.h"

namespace {
void not_built(const char* what) { debug_log('D', 0, "%s: not yet built", what); }
}  // namespace

// --- The database session and the request classes -----------------------
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
  idb_session* s = nullptr;
  if (idb_init_session(session, &s) != 0) return -1;
  s->ssn.client = session;
  try {
    g_db_sessions[session] = s;
  } catch (const std::bad_alloc&) {
    idb_exit_session(s);
    return -1;
  }
  session->db_session = s;
  ++g_db_sessions_open;
  return 0;
}

void dbml_close_session(ClientSession* session) {
  if (session->db_session == nullptr) return;
  // Ended while the session is still found: its rollback may wait.
  idb_exit_session(session->db_session);
  g_db_sessions.erase(session);
  session->db_session = nullptr;
  --g_db_sessions_open;
}

int seam_db_sessions_open() { return g_db_sessions_open; }

int dbml_request(ClientSession*) { not_built("DBML request class"); return -1; }
int syscat_request(ClientSession*) { not_built("SYSCAT request class"); return -1; }
int scan_request(ClientSession*) { not_built("SCAN request class"); return -1; }
int mgmt_request(ClientSession*) { not_built("MGMT request class"); return -1; }

const char* idb_session_user_name(const idb_session* s) {
  return s != nullptr && s->user_name != nullptr ? s->user_name : "";
}

