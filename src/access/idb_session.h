// idb_session.h - the database session record: what one client connection
// keeps for the access layer while it runs database calls.
//
// Owner: the connection that created it (the network server keeps it in
// its client session); every field is zero at creation. This step fills
// only the fields the status array, the command transaction and the node
// list use; logon, open contexts and locks add theirs when they are built
// (README.md, "Not yet built").
//
// Context: only the connection's own task reads or writes the record, on
// the server thread; nothing here suspends.
#pragma once
#include <cstdint>

#include "index/btree.h"
#include "storage/node_logrec.h"
#include "storage/ssn.h"

struct Node;

// A command opens its set's table node and one per path: 16 paths at most.
inline constexpr int MAX_PATH_CNT = 16;

// The last failure of one session: the condition code, where it was set and
// the lower layer's status (or another detail value) as sub-code. Each
// session has its own, so that a task that sleeps between setting its code
// and filling its status array reads its own code back.
struct idb_error {
  int32_t code = 0;
  const char* file = nullptr;
  int32_t line = 0;
  int32_t sub_code = 0;
};

struct idb_node_slot {
  Node* node = nullptr;
};

struct idb_session {
  // The task-session state the lower layers see (storage/ssn.h): the
  // session's transaction node (`tx_node`) and the blocking record
  // (`tx_blocking`: wait_node, wait_key, wait_file, wait_line) that a
  // fixed-record file or a B-tree fills through ssn_set_wait_key when it
  // meets a record or page held by another session's open transaction.
  Ssn_STATE ssn;
  // The session's B-tree work area; its first word is the transaction node.
  btree_CTX bt_ctx;
  // Advisory locks taken during a command (64 entries, growing by 64).
  Node_ADVLOCK* adv_locks = nullptr;
  // The nodes the current command has opened: the set's table node and one
  // per path. Empty between commands.
  int32_t node_cnt = 0;
  idb_node_slot node_list[MAX_PATH_CNT + 1];
  idb_error error;
};

inline Node* idb__tx_node(const idb_session* s) { return s->ssn.tx_node; }
