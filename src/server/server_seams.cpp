// server_seams.cpp - stand-ins for services not yet built (see
// server_seams.h). Services the server cannot run without fail with a log
// line; storage steps succeed without doing anything, so that the server
// frame can be run and stopped before the storage engine exists.
#include "server/server_seams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/server_config.h"
#include "base/task_kernel.h"
#include "server/client_session.h"
#include "server/server_tasks.h"
#include "server/tcp.h"

namespace {
void not_built(const char* what) { debug_log('D', 0, "%s: not yet built", what); }
void storage_not_built(const char* what) {
  debug_log('D', 1, "storage engine not yet built: %s skipped", what);
}
}  // namespace

// --- HTTP status service (not yet built) ---------------------------------
void http_thread() {
  Task* self = thread_self();
  static const char kReply[] =
      "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n"
      "HTTP status pages not yet built\r\n";
  for (;;) {
    auto* conn = static_cast<HttpSession*>(thread_get_data(self));
    if (conn == nullptr) {
      thread_block(self);
      thread_yield();
      continue;
    }
    not_built("HTTP status pages");
    tcp_send(conn->sockfd, kReply, static_cast<int>(sizeof kReply - 1));
    close_http_connection();
  }
}

// --- Storage engine: what is not yet built --------------------------------
int Tlog_Init() { return 0; }
int FixRec_Init() { return 0; }
int Tlog_Recover() { return 0; }
int Tlog_Checkpoint(const char* reason) { storage_not_built(reason); return 0; }
int Vol_ClearRedirectFlags(int) { return 0; }
void VNode_Flush() {}
void VNode_Cleanup() {}
int Tlog_ApiLock() { return 0; }
void Tlog_ApiUnlock() {}
int Tlog_ApiSharedLock() { return 0; }
void Tlog_ApiSharedUnlock() {}
unsigned Tlog_LogSize() { return 0; }

// --- Request classes and the database session (not yet built) ----------
namespace {
int g_db_sessions_open = 0;
}  // namespace

int dbml_open_session(ClientSession* session) {
  void* placeholder = malloc(1);
  if (placeholder == nullptr) return -1;
  session->db_session = static_cast<idb_session*>(placeholder);
  ++g_db_sessions_open;
  return 0;
}

void dbml_close_session(ClientSession* session) {
  if (session->db_session == nullptr) return;
  free(session->db_session);
  session->db_session = nullptr;
  --g_db_sessions_open;
}

int seam_db_sessions_open() { return g_db_sessions_open; }

int dbml_request(ClientSession*) { not_built("DBML request class"); return -1; }
int syscat_request(ClientSession*) { not_built("SYSCAT request class"); return -1; }
int scan_request(ClientSession*) { not_built("SCAN request class"); return -1; }
int mgmt_request(ClientSession*) { not_built("MGMT request class"); return -1; }

const char* idb_session_user_name(const idb_session*) { return ""; }
