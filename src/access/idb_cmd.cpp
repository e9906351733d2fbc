// idb_cmd.cpp - the node list of a command, the access layer's B-tree
// handles and the command transaction (see idb_cmd.h).
//
// State: none of its own; the node list, the blocking record and the error
// record are the session's. The retry loop has no bound on purpose: each
// round follows a completed wait for another transaction, which ends.
#include "access/idb_cmd.h"

#include "access/idb_status.h"
#include "access/idb_key.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/node.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"

namespace {

[[noreturn]] void rollback_failed() { panic_assert_failed("Internal rollback failed", __FILE__, __LINE__); }

}  // namespace

// --- B-tree handles -------------------------------------------------------------------------

int idb__bt_open(idb_session* s, Node* node, void* arg, btree_HANDLE** out) {
  *out = nullptr;
  if (node == nullptr) {
    // An index or master key whose node was never created.
    IDB_ERROR(s, S_NOTFOUND, 0);
    return -1;
  }
  btree_HANDLE* t = btree_OpenNode(node, &s->bt_ctx, 0);
  if (t == nullptr) {
    IDB_ERROR(s, S_BTREE, idb__lower_status());
    return -1;
  }
  btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, arg);
  *out = t;
  return 0;
}

void idb__bt_close(idb_session*, btree_HANDLE* handle) {
  if (handle != nullptr) btree_CloseNode(handle);
}

// --- The node list ---------------------------------------------------------------------------

int idb__add_node(idb_session* s, const idb_set* set) {
  if (set->s.nodeid == 0 || set->s.node == nullptr) {
    IDB_ERROR(s, S_NOTFOUND, 0);
    return -1;
  }
  ZENT_ASSERT(s->node_cnt <= MAX_PATH_CNT && "session->node_cnt <= MAX_PATH_CNT");
  if (Node_Open(set->s.node) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    return -1;
  }
  s->node_list[s->node_cnt++].node = set->s.node;
  return 0;
}

int idb__open_node(idb_session* s, const idb_set* set, int first) {
  if (first) ZENT_ASSERT(s->node_cnt == 0 && "session->node_cnt == 0");
  return idb__add_node(s, set);
}

int idb__open_nodes(idb_session* s, const global* g, int count, const int* setno) {
  ZENT_ASSERT(s->node_cnt == 0 && "session->node_cnt == 0");
  for (int i = 0; i < count; ++i) {
    if (idb__add_node(s, &g->set[setno[i]]) == 0) continue;
    while (s->node_cnt > 0) {
      idb_node_slot& slot = s->node_list[--s->node_cnt];
      Node_Close(slot.node);
      slot.node = nullptr;
    }
    for (const idb_node_slot& slot : s->node_list)
      ZENT_ASSERT(slot.node == nullptr && "session->node_list[i].node == NULL");
    return -1;
  }
  return 0;
}

int idb__open_set_nodes(idb_session* s, const global* g, int setno) {
  const idb_set& set = g->set[setno];
  int list[MAX_PATH_CNT + 1];
  int n = 0;
  list[n++] = setno;
  // The build refuses a set with more paths than the list holds.
  for (uint32_t p = 0; p < set.s.path_cnt; ++p) list[n++] = set.path[p].set;
  return idb__open_nodes(s, g, n, list);
}

void idb__close_node(idb_session* s, Node* node) {
  for (int i = 0; i < s->node_cnt; ++i) {
    if (s->node_list[i].node != node) continue;
    s->node_list[i].node = nullptr;
    Node_Close(node);
    return;
  }
  ZENT_ASSERT(!"Bad close request");
}

void idb__close_nodes(idb_session* s) {
  for (int i = 0; i < s->node_cnt; ++i) {
    if (s->node_list[i].node == nullptr) continue;
    Node_Close(s->node_list[i].node);
    s->node_list[i].node = nullptr;
  }
  s->node_cnt = 0;
}

Node* idb__held_node(idb_session* s, set_ctx* c, const idb_set* set) {
  if (c->held_node != nullptr && c->held_node == set->s.node) return c->held_node;
  if (c->held_node != nullptr) {
    Node_Close(c->held_node);
    c->held_node = nullptr;
  }
  if (set->s.nodeid == 0 || set->s.node == nullptr) {
    IDB_ERROR(s, S_NOTFOUND, 0);
    return nullptr;
  }
  if (Node_Open(set->s.node) != 0) {
    IDB_ERROR(s, S_VOLNODE, idb__lower_status());
    return nullptr;
  }
  c->held_node = set->s.node;
  return c->held_node;
}

void idb__release_held_nodes(db_ctx* ctx) {
  if (ctx->sets == nullptr) return;
  for (int32_t i = 0; i < ctx->root->g.set_cnt; ++i) {
    Node* node = ctx->sets[i].held_node;
    if (node == nullptr) continue;
    ctx->sets[i].held_node = nullptr;
    Node_Close(node);
  }
}

// --- The command transaction ------------------------------------------------------------------

int idb__begin_cmd(idb_session* s, const char* name) {
  if (Tlog_Begin(idb__tx_node(s), name, IDB_CMD_TXID) == 0) return 0;
  IDB_ERROR(s, S_VOLNODE, idb__lower_status());
  debug_log('I', 0, "Tlog_Begin() failed");
  return -1;
}

int idb__rollback_cmd(idb_session* s) {
  Node* tx = idb__tx_node(s);
  if (Tlog_Rollback(tx, Tlog_TxID(tx)) != 0) {
    debug_log('I', 0, "Internal rollback failed");
    rollback_failed();
  }
  return 0;
}

int idb__commit_cmd(idb_session* s) {
  Node* tx = idb__tx_node(s);
  const uint32_t depth = Tlog_TxDepth(tx);
  if (Tlog_Commit(tx) == 0) {
    // Inside a client's own transaction the command's work becomes durable
    // with the client's final commit.
    if (depth == 1) Tlog_FinalCommit(tx);
    return 0;
  }
  IDB_ERROR(s, S_VOLNODE, idb__lower_status());
  debug_log('I', 0, "Tlog_Commit() failed");
  idb__rollback_cmd(s);
  return -1;
}

void idb__chk_no_blocking(const idb_session* s) {
  ZENT_ASSERT(!s->ssn.wait_node && "!session->tx_blocking.node");
  ZENT_ASSERT(!s->ssn.wait_key && "!session->tx_blocking.key");
  ZENT_ASSERT(!s->ssn.wait_file && "!session->tx_blocking.file");
  ZENT_ASSERT(!s->ssn.wait_line && "!session->tx_blocking.line_no");
}

int idb__wait_blocking(idb_session* s, int32_t c) {
  ZENT_ASSERT(c != 0 && "cc");
  if (s->ssn.wait_node == nullptr) return c;
  ZENT_ASSERT(s->ssn.wait_file && "session->tx_blocking.file");
  ZENT_ASSERT(s->ssn.wait_line > 0 && "session->tx_blocking.line_no > 0");
  Node_LOG_REC* lrec = Node_FindLogRecord(s->ssn.wait_node, s->ssn.wait_key);
  const char* file = s->ssn.wait_file;
  const int line = s->ssn.wait_line;
  idb__clear_blocking(s);
  // The record went with its transaction: run again at once.
  if (lrec == nullptr || lrec->log_node == nullptr) return 0;
  ZENT_ASSERT(lrec->log_node != idb__tx_node(s) && "lrec->log_node != session->tx_node");
  const int rc = Node_Wait(lrec->log_node, file, line);
  if (rc == 0) return 0;
  IDB_ERROR(s, S_DEADLK, rc);
  return -1;
}

int32_t idb__run_cmd(idb_session* s, const char* name, idb_CMD_WORK work, void* arg) {
  idb__chk_no_blocking(s);
  if (idb__begin_cmd(s, name) != 0) return -1;
  for (;;) {
    Node_CheckAdvLock(s->adv_locks);
    const int32_t c = work(s, arg);
    Node_ReleaseAllAdvLocks(s->adv_locks);
    if (c == 0) {
      const int rc = idb__commit_cmd(s);
      // A commit that failed on a blocking transaction does not wait.
      idb__clear_blocking(s);
      return rc;
    }
    idb__rollback_cmd(s);
    const int32_t r = idb__wait_blocking(s, c);
    if (r != 0) {
      idb__clear_blocking(s);
      return r;
    }
    idb__chk_no_blocking(s);
    if (idb__begin_cmd(s, name) != 0) return -1;
  }
}
