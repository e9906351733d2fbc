// btree_txlog.cpp - the handlers of the B-tree's log records (opcode 16):
// pre-commit, final commit (also the redo of recovery) and rollback, and
// their registration in the log's tables.
//
// A transaction's pages live on shadow pages until it ends. Pre-commit
// lists its new pages in the node's used-cluster list, writes each page's
// latest shadow to the LOG volume and hands that latest record to the
// transaction's DO_LOG chain (superseded records only give their shadows
// back). Final commit moves each shadow over its home page (a freed page
// leaves the list and the volume); rollback unwinds the records newest
// first: the page's entry steps back to the previous record, shadows go,
// and a new page leaves the list, if pre-commit had listed it, and the
// volume, so that a rolled-back split leaks no page.
//
// Final commit applies all of a node's pages of the transaction under one
// hold of the node's write lock (at the first record of the node in the
// walk; the later ones find their page done): a reader never meets a tree
// half committed, such as a page whose next link names a new page not yet
// in place. Redo (recovery, no entries) applies each record on its own;
// applying one twice leaves the same pages, list and volume.
//
// Context: the server thread: the pre-commit and rollback walks of the
// session's task on its transaction node, the final-commit walk on the
// root log, the redo walk of recovery. The handlers may suspend in the
// node lock, the buffer cache, the item list and the log's writes.
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"
#include "index/btree_tx.h"
#include "storage/buffer_cache.h"
#include "storage/node_cluster.h"
#include "storage/node_logrec.h"
#include "storage/node_orphans.h"
#include "storage/node_tlog_seams.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace {

// 0, or Tlog_DAMAGED for a record of another size.
int decode(const void* data, uint32_t size, const char* who, btree_TX_DATA* r) {
  if (data == nullptr || size != btree_TX_DATA_SIZE) return Tlog_Damaged(who, "size", size);
  *r = btree_DecodeTxData(static_cast<const uint8_t*>(data));
  return 0;
}

bool same_block(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset;
}

// The commit handlers must reach the node whatever happens to the task: a
// wait cut short waits again.
void lock_node(Node* node, const char* who) {
  while (Node_Lock(node, __FILE__, __LINE__) != 0)
    debug_log('B', 2, "%s(node=%u): node lock cut short, waiting again", who, Node_GetId(node));
}

// Adds (or removes) page in the node's used-cluster list, inside a
// node-list log of the root log unless the log replays (ctx none). A
// removal of a page not listed is no change: 1. 0 done, -1 failed.
int list_page(Node* node, uint32_t pgno, bool remove, const char* who) {
  NodeList_LOG ctx;
  NodeList_LOG* log = nullptr;
  if (!Tlog_IsRecovering()) {
    if (NodeList_InitRootLog(NodeList_ID_ULIST, &ctx) != 0) {
      debug_log('B', 0, "%s: NodeList_InitRootLog failed", who);
      BT_ERROR(ERR_SEV_E, BT_E_PAGE);
      return -1;
    }
    log = &ctx;
  }
  int head_dirty = 0;
  Node_ITEM item{pgno, 1};
  int rc = 0;
  if (remove) {
    rc = Node_DeleteItem(node, &node->node.ulist, &item, &head_dirty, log) == 0 ? 0 : 1;
  } else if (Node_AddItem(node, &node->node.ulist, &item, &head_dirty, nullptr, log) != 0) {
    debug_log('B', 0, "%s: Node_AddItem failed", who);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    rc = -1;
  }
  if (head_dirty) Node_SetDirty(node);
  if (log != nullptr) {
    if (NodeList_FlushLog(log) != 0) {
      debug_log('B', 0, "%s: NodeList_FlushLog failed", who);
      ZENT_ASSERT(!"btree page list log could not be flushed");
    }
    NodeList_ReleaseLog(log);
  }
  return rc;
}

// One page's committed effect: a freed page leaves the list and goes back
// to the volume (at the next checkpoint: a replay may still name it); a
// changed or new page takes its shadow's bytes, and the shadow goes. Done
// a second time it changes nothing: the page is no longer listed, or the
// shadow's bytes are already the home page's. Node locked. 0 or -1.
int apply_page(Node* node, uint32_t op, uint32_t o_pgno, uint32_t r_pgno) {
  switch (op) {
    case BT_TX_FreePage: {
      const int rc = list_page(node, o_pgno, true, "btree_FinalCommit");
      if (rc < 0) return -1;
      if (rc == 0) Node_FreePagesDelayed(node, o_pgno, 1);
      return 0;
    }
    case BT_TX_NewPage:
    case BT_TX_UpdPage: {
      // A committed record of either kind owns its page: a page split off
      // by one command and changed by a later one of the same transaction
      // reaches the commit by its change record alone, its new-page record
      // superseded at pre-commit (which listed the page all the same).
      Node_RecoverConfirmCluster(node, o_pgno);
      if (r_pgno == 0) return 0;
      Node_PGVEC v;
      if (Node_GetCluster(node, r_pgno, 1, &v, Node_MODE_DATA) != 0) {
        debug_log('B', 0, "btree_FinalCommit: buf_Get(r_pgno) failed");
        BT_ERROR(ERR_SEV_E, BT_E_PAGE);
        return -1;
      }
      buf_Rename(node, 1, &v.buf, o_pgno);
      v.page = o_pgno;
      Node_ReleaseClusterDirty(node, 1, &v);
      Vol_FreePageDelayed(r_pgno, 1);
      if (Tlog_IsRecovering()) Vol_MarkPageUsed(o_pgno, 1);
      return 0;
    }
    default:
      debug_log('B', 0, "btree_FinalCommit: Unknown opcode %u", op);
      ZENT_ASSERT(!"btree_FinalCommit: Unknown opcode");
  }
}

// Every page of node that tx changed, from the entries tx holds (reached
// from one of them through tx's context records): applied, and the entry
// left without a change, so that the page's own record finds it done.
int apply_node(Node* node, Node_LOG_REC* from) {
  Node* tx = from->log_node;
  Node_LOG_REC* first = from;
  while (first->log_prev != nullptr) first = first->log_prev;
  for (Node_LOG_REC* e = first; e != nullptr; e = e->log_next) {
    if (e->node != node || e->log_node != tx || !Node_AddrValid(&e->log_addr)) continue;
    const uint32_t op = e->state != 0 ? static_cast<uint32_t>(BT_TX_UpdPage)
                                      : static_cast<uint32_t>(BT_TX_FreePage);
    if (apply_page(node, op, e->key, e->state) != 0) return -1;
    Node_AddrClear(&e->log_addr);
    e->state = 0;
  }
  return 0;
}

}  // namespace

int btree_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  debug_log('B', 2, "btree_Commit(node=%u)", Node_GetId(node));
  btree_TX_DATA r;
  if (const int bad = decode(data, size, "btree_Commit()", &r)) return bad;
  Node_LOG_REC* e = Node_FindLogRecord(node, r.o_pgno);
  ZENT_ASSERT(e != nullptr && Node_AddrValid(&e->log_addr) &&
              "lrec && Node_AddrValid(&lrec->log_addr)");
  Node* tx = e->log_node;
  const bool latest = same_block(e->log_addr, *pos);
  switch (r.op) {
    case BT_TX_FreePage:
      ZENT_ASSERT(latest && r.r_pgno == 0 && "btree_Commit: a free is the page's last record");
      break;
    case BT_TX_NewPage:
      // Listed now, so that the commit finds it there; a rollback from here
      // takes it out again.
      if (list_page(node, r.o_pgno, false, "btree_Commit") != 0) return -1;
      [[fallthrough]];
    case BT_TX_UpdPage:
      if (!latest) {
        // A version no rollback returns to any more: its shadow goes, and
        // the record says so, should a rollback still walk over it.
        if (r.r_pgno != 0) {
          Node_FreePages(node, r.r_pgno, 1);
          r.r_pgno = 0;
          uint8_t b[btree_TX_DATA_SIZE];
          btree_EncodeTxData(r, b);
          if (Tlog_UpdateRecord(tx, pos, b, sizeof b) != 0) return -1;
        }
        return 0;
      }
      ZENT_ASSERT(r.r_pgno != 0 && "btree_Commit: the latest version has a shadow");
      Node_SyncPage(node, r.r_pgno, 1);
      break;
    default:
      debug_log('B', 0, "btree_Commit: Unknown opcode %u", r.op);
      ZENT_ASSERT(!"btree_Commit: Unknown opcode");
  }
  return Tlog_WriteRecord(tx, Tlog_OP_BTREE, Tlog_CHANNEL_DO_LOG, node, data, btree_TX_DATA_SIZE,
                          nullptr) == 0
             ? 0
             : -1;
}

int btree_RedoOfGone(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  btree_TX_DATA r;
  if (const int bad = decode(data, size, "btree_RedoOfGone()", &r)) return bad;
  // The tree was deleted later: its reset freed what its list still held,
  // not a page this committed record had freed before, nor the shadow.
  if (r.op == BT_TX_FreePage) Vol_FreePageDelayed(r.o_pgno, 1);
  if (r.r_pgno != 0) Vol_FreePageDelayed(r.r_pgno, 1);
  return 0;
}

int btree_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  (void)pos;
  debug_log('B', 2, "btree_FinalCommit(node=%u)", Node_GetId(node));
  btree_TX_DATA r;
  if (const int bad = decode(data, size, "btree_FinalCommit()", &r)) return bad;
  lock_node(node, "btree_FinalCommit");
  int rc = 0;
  Node_LOG_REC* e = Tlog_IsRecovering() ? nullptr : Node_FindLogRecord(node, r.o_pgno);
  if (e != nullptr && e->log_node != nullptr) {
    // The transaction is ending: its pages of this node go in together.
    if (Node_AddrValid(&e->log_addr)) {
      ZENT_ASSERT(e->state == r.r_pgno && "btree_FinalCommit: record and page entry agree");
      rc = apply_node(node, e);
    }
  } else {
    rc = apply_page(node, r.op, r.o_pgno, r.r_pgno);
  }
  // Handles' cursors and fast-insert memories of the old pages are stale.
  Node_IncChangeCount(node);
  Node_Unlock(node);
  return rc;
}

int btree_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  debug_log('B', 2, "btree_Rollback(node=%u)", Node_GetId(node));
  btree_TX_DATA r;
  if (const int bad = decode(data, size, "btree_Rollback()", &r)) return bad;
  lock_node(node, "btree_Rollback");
  Node_LOG_REC* e = Node_FindLogRecord(node, r.o_pgno);
  ZENT_ASSERT(e != nullptr && e->log_node != nullptr && same_block(e->log_addr, *pos) &&
              "btree_Rollback: the page's entry names this record");
  Node* tx = e->log_node;
  if (Node_AddrValid(&r.prev)) {
    uint32_t txid = 0;
    const btree_TX_DATA prev = btree_ReadTxRecord(tx, r.prev, &txid);
    e->log_addr = r.prev;
    e->state = prev.r_pgno;
  } else {
    Node_RemoveLogRecord(e);
  }
  int rc = 0;
  switch (r.op) {
    case BT_TX_FreePage:
      break;
    case BT_TX_NewPage:
      // Listed only if a pre-commit got that far; the page goes back to
      // the volume either way.
      if (list_page(node, r.o_pgno, true, "btree_Rollback") < 0) rc = -1;
      Node_FreePages(node, r.o_pgno, 1);
      [[fallthrough]];
    case BT_TX_UpdPage:
      if (r.r_pgno != 0) Node_FreePages(node, r.r_pgno, 1);
      break;
    default:
      debug_log('B', 0, "btree_Rollback: Unknown opcode %u", r.op);
      ZENT_ASSERT(!"btree_Rollback: Unknown opcode");
  }
  Node_IncChangeCount(node);
  Node_Unlock(node);
  return rc;
}

void btree_RegisterLogHandlers() {
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_BTREE, btree_Commit);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_BTREE, btree_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_BTREE, btree_Rollback);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_BTREE, btree_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_GONE_REDO, Tlog_OP_BTREE, btree_RedoOfGone);
}
