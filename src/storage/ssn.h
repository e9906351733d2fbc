// ssn.h - task-session functions: what the lower layers, which know only
// tasks and nodes, learn of a database session — the weight of a task as a
// deadlock victim, the task that serves a session, and the record of what a
// task is blocked on.
//
// The database session keeps an Ssn_STATE: its transaction node and the
// wait key record. The network server installs the function that finds the
// state of a task (through the task's client session); a task without one
// (a system task, a utility) has no session.
//
// Context: the server thread. Nothing here suspends a task; the weight is
// called from inside the kernel's deadlock walk and must not sleep.
#pragma once
#include <cstdint>

#include "base/task_kernel.h"

struct Node;

struct Ssn_STATE {
  const void* client = nullptr;   // the client session: the serving task's user data
  Node* tx_node = nullptr;        // the session's transaction node
  Node* wait_node = nullptr;      // what its task last blocked on
  uint32_t wait_key = 0;
  const char* wait_file = nullptr;
  int wait_line = 0;
};

// The session state of task, or none.
using Ssn_LookupFn = Ssn_STATE* (*)(Task* task);
// None: no task has a session.
void ssn_set_lookup(Ssn_LookupFn lookup);

// 0 when the task has no session or its session no open transaction;
// otherwise the logged actions of all its open transactions plus 1.
int ssn_deadlock_weight(Task* task);
// The live task serving the session, or none (its task has ended).
Task* ssn_task(const Ssn_STATE* session);
// Records in the current task's session what it is about to block on.
void ssn_set_wait_key(Node* node, uint32_t key, const char* file, int line);
