// ssn.cpp - task-session functions (see ssn.h).
//
// State: the lookup function the network server installs.
#include "storage/ssn.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/node.h"
#include "storage/tlog.h"

namespace {

Ssn_LookupFn g_lookup = nullptr;

Ssn_STATE* state_of(Task* task) {
  return task != nullptr && g_lookup != nullptr ? g_lookup(task) : nullptr;
}

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void ssn_set_lookup(Ssn_LookupFn lookup) { g_lookup = lookup; }

int ssn_deadlock_weight(Task* task) {
  // A task without a session (a system task caught in a cycle) holds no
  // transaction: weight 0, never the victim.
  Ssn_STATE* s = state_of(task);
  if (s == nullptr || s->tx_node == nullptr) return 0;
  if (Tlog_TxDepth(s->tx_node) == 0) return 0;
  return static_cast<int>(Tlog_NumActions(s->tx_node, 0)) + 1;
}

Task* ssn_task(const Ssn_STATE* session) {
  if (session == nullptr || session->client == nullptr) return nullptr;
  Task* t = thread_find_by_data(session->client);
  if (t == nullptr) return nullptr;
  const int state = thread_state(t);
  return state == TS_FREE || state == TS_CANCELLED ? nullptr : t;
}

void ssn_set_wait_key(Node* node, uint32_t key, const char* file, int line) {
  ZENT_ASSERT(node != nullptr && "node");
  ZENT_ASSERT(file != nullptr && "file");
  ZENT_ASSERT(line > 0 && "line_no > 0");
  if (debug_enabled('I', 2))
    debug_log('I', 2, "Node %s blocking on key 0x%x (%s L%d)", Node_Name(node), key,
              base_name(file), line);
  Task* self = thread_self();
  ZENT_ASSERT(self != nullptr && "this_tcp");
  Ssn_STATE* s = state_of(self);
  ZENT_ASSERT(s != nullptr && "ssn->db_session");
  s->wait_node = node;
  s->wait_key = key;
  s->wait_file = file;
  s->wait_line = line;
}
