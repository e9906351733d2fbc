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

const char* idb_session_user_name(const idb_session* s) {
  return s != nullptr && s->user_name != nullptr ? s->user_name : "";
}

