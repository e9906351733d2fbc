// btree_tx.cpp - B-tree pages inside a transaction: the page as the
// transaction sees it, making it writable on a shadow page of the LOG
// volume with an opcode-16 record, new and freed pages, the check of a
// dirty release, and the advisory records of a write descent.
//
// Every page a transaction touches has an entry in the node log-record
// hash (key: the page's home address): its holder is the transaction node,
// its log_addr the page's latest opcode-16 record in that transaction, and
// its state the shadow page that record names (0: none), kept in step with
// the record so that a get needs no log read. Records of one page chain
// back through their prev addresses; a record's header carries the
// sub-transaction it was written in. See README.md ("Transactions").
//
// Owners: the hash owns the entries; the transaction node holds them (its
// context records) until it ends; the session's context lists the advisory
// records of the running operation.
//
// Context: the server thread, under the node's lock that the operation
// holds. A call may suspend in the buffer cache, where the volume set
// allocates a page and in the log's writes. A page held by another
// transaction gives -1 at once, after the node lock was given back and
// the wait recorded for the session (ssn_set_wait_key): the caller rolls
// its command back, waits on that transaction and runs the command again.
#include "index/btree_tx.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"
#include "storage/buffer_cache.h"
#include "storage/node_cluster.h"
#include "storage/node_logrec.h"
#include "storage/ssn.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace {

Node* tx_of(const btree_HANDLE* t) { return t->bt_ctx->tx_node; }

bool held_by_other(const Node_LOG_REC* e, const Node* tx) {
  return e != nullptr && e->log_node != nullptr && e->log_node != tx;
}

// The page's entry when this transaction holds it with a logged change.
Node_LOG_REC* own_entry(btree_HANDLE* t, uint32_t pgno) {
  Node_LOG_REC* e = Node_FindLogRecord(t->node, pgno);
  if (e == nullptr || e->log_node != tx_of(t) || !Node_AddrValid(&e->log_addr)) return nullptr;
  return e;
}

// Another transaction holds pgno: the node lock goes back, the wait is
// recorded for the session, nothing has been changed by this call.
int conflict(btree_HANDLE* t, uint32_t pgno, const Node_LOG_REC* e, const char* who, int line) {
  debug_log('B', 2, "%s: page 0x%x of node %s is held by transaction node %s", who, pgno,
            Node_Name(t->node), Node_Name(e->log_node));
  btree_TxReleaseAdvisory(t);
  if (t->bt_ctx->locked_node == t->node) bt_unlock(t);
  ssn_set_wait_key(t->node, pgno, __FILE__, line);
  BT_ERROR(ERR_SEV_E, BT_E_PAGE);
  return -1;
}

Node_PGVEC vec_of(uint8_t* page, uint32_t at) {
  return Node_PGVEC{at, reinterpret_cast<char*>(page)};
}

// Writes a record of this transaction for t's node. 0, or -1 (the log's
// status stays).
int write_record(btree_HANDLE* t, const btree_TX_DATA& r, Node_ADDR* pos) {
  uint8_t b[btree_TX_DATA_SIZE];
  btree_EncodeTxData(r, b);
  return Tlog_WriteRecord(tx_of(t), Tlog_OP_BTREE, Tlog_CHANNEL_LOG, t->node, b, sizeof b, pos);
}

// The entry now names the record at pos (written in this transaction) and
// its shadow page.
void point_at(btree_HANDLE* t, Node_LOG_REC* e, const Node_ADDR& pos, uint32_t r_pgno) {
  Tlog_LinkLogRecord(tx_of(t), e);
  e->log_addr = pos;
  e->state = r_pgno;
}

// A page's record that may name a shadow to write to: op 0 or 2, this
// page, a shadow set.
void check_live(const btree_TX_DATA& r, uint32_t pgno, const char* who) {
  if ((r.op != BT_TX_NewPage && r.op != BT_TX_UpdPage) || r.o_pgno != pgno || r.r_pgno == 0) {
    debug_log('B', 0, "%s: record of page 0x%x is op %u for page 0x%x with shadow 0x%x", who, pgno,
              r.op, r.o_pgno, r.r_pgno);
    ZENT_ASSERT(!"btree log record: op 0 or 2 of the page with a shadow");
  }
}

// Step 3 of making a page writable: an older record of the page whose
// shadow no rollback can need any more (its sub-transaction and the latest
// record's are one level now) gives its shadow back.
void release_superseded(btree_HANDLE* t, const btree_TX_DATA& latest, uint32_t latest_txid) {
  Node* tx = tx_of(t);
  uint32_t b = Tlog_EnclosingSubID(tx, latest_txid);
  ZENT_ASSERT(b != 0 && "first_tx_sub_id");
  Node_ADDR at = latest.prev;
  while (Node_AddrValid(&at)) {
    uint32_t txid = 0;
    btree_TX_DATA r = btree_ReadTxRecord(tx, at, &txid);
    if (r.r_pgno == 0) return;
    if (txid >= b) {
      Node_FreePages(t->node, r.r_pgno, 1);
      r.r_pgno = 0;
      uint8_t bytes[btree_TX_DATA_SIZE];
      btree_EncodeTxData(r, bytes);
      if (Tlog_UpdateRecord(tx, &at, bytes, sizeof bytes) != 0)
        ZENT_ASSERT(!"mpool_lock: Tlog_UpdateRecord failed");
      return;
    }
    b = Tlog_EnclosingSubID(tx, txid);
    ZENT_ASSERT(b != 0 && "first_tx_sub_id");
    at = r.prev;
  }
}

}  // namespace

btree_TX_DATA btree_ReadTxRecord(Node* tx, const Node_ADDR& pos, uint32_t* txid) {
  uint8_t b[btree_TX_DATA_SIZE];
  const int got = Tlog_ReadRecord(tx, &pos, b, sizeof b, txid);
  ZENT_ASSERT(got == static_cast<int>(sizeof b) && "read_size == sizeof(btree_TX_DATA)");
  return btree_DecodeTxData(b);
}

uint8_t* btree_TxGet(btree_HANDLE* t, uint32_t pgno, uint32_t* read_at) {
  const Node_LOG_REC* e = own_entry(t, pgno);
  const uint32_t at = e != nullptr && e->state != 0 ? e->state : pgno;
  if (read_at != nullptr) *read_at = at;
  Node_PGVEC v;
  if (Node_GetCluster(t->node, at, 1, &v, Node_MODE_DATA) != 0) {
    debug_log('B', 0, "mpool_get: buf_Get() failed");
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  return reinterpret_cast<uint8_t*>(v.buf);
}

void btree_TxPut(btree_HANDLE* t, uint8_t* page, uint32_t flags) {
  const uint32_t pgno = bt_pgno(page);
  Node_PGVEC v = vec_of(page, pgno);
  if (!(flags & MPOOL_DIRTY)) {
    Node_ReleaseCluster(t->node, 1, &v);
    return;
  }
  // A changed page is this sub-transaction's shadow, never the home page.
  const Node_LOG_REC* e = own_entry(t, pgno);
  ZENT_ASSERT(e != nullptr && "mpool_put: dirty page without a record of this transaction");
  uint32_t txid = 0;
  const btree_TX_DATA r = btree_ReadTxRecord(tx_of(t), e->log_addr, &txid);
  ZENT_ASSERT(txid == Tlog_SubID(tx_of(t)) && "mpool_put: record of another sub-transaction");
  check_live(r, pgno, "mpool_put");
  Node_ReleaseClusterDirty(t->node, 1, &v);
}

int btree_TxLock(btree_HANDLE* t, uint8_t** page) {
  Node* tx = tx_of(t);
  const uint32_t pgno = bt_pgno(*page);
  if (Tlog_TxDepth(tx) == 0) {
    debug_log('B', 0, "mpool_lock: node %s changed without an open transaction on %s",
              Node_Name(t->node), Node_Name(tx));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  int found = 0;
  Node_LOG_REC* e = Node_AddLogRecord(t->node, pgno, &found);
  if (held_by_other(e, tx)) return conflict(t, pgno, e, "mpool_lock", __LINE__);
  btree_TX_DATA rec;
  rec.op = BT_TX_UpdPage;
  rec.o_pgno = pgno;
  if (Node_AddrValid(&e->log_addr)) {
    uint32_t txid = 0;
    const btree_TX_DATA latest = btree_ReadTxRecord(tx, e->log_addr, &txid);
    check_live(latest, pgno, "mpool_lock");
    if (txid == Tlog_SubID(tx)) return 0;  // this sub-transaction's shadow already
    release_superseded(t, latest, txid);
    rec.prev = e->log_addr;
  }
  char* buf = reinterpret_cast<char*>(*page);
  uint32_t shadow = 0;
  if (buf_MakeLogShadow(t->node, 1, &shadow, &buf) != 0) {
    // Nothing moved: the page is as it was.
    debug_log('B', 0, "mpool_lock: buf_MakeLogShadow failed: Log volume exhausted");
    if (!found) Node_RemoveLogRecord(e);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  rec.r_pgno = shadow;
  Node_ADDR pos;
  if (write_record(t, rec, &pos) != 0) {
    // The buffer goes back to its page (the moved-from place was written
    // first when dirty, so it holds the same bytes) and the shadow is free.
    debug_log('B', 0, "mpool_lock:Tlog_WriteRecord failed");
    buf_Rename(t->node, 1, &buf, e->state != 0 ? e->state : pgno);
    Vol_FreePage(shadow, 1);
    if (!found) Node_RemoveLogRecord(e);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  point_at(t, e, pos, shadow);
  return 0;
}

uint8_t* btree_TxNew(btree_HANDLE* t, uint32_t* pgno) {
  Node* tx = tx_of(t);
  char* buf = nullptr;
  uint32_t home = 0;
  if (buf_Alloc(t->node, 1, &home, &buf) != 0) {
    debug_log('B', 0, "__bt_new: buf_Alloc() failed");
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  // The home page's bytes are never read before the commit copies the
  // shadow over them: the empty buffer need not be written there first.
  buf_Put(buf, 0, BF_DIRTY);
  uint32_t shadow = 0;
  if (buf_MakeLogShadow(t->node, 1, &shadow, &buf) != 0) {
    debug_log('B', 0, "__bt_new: buf_MakeLogShadow() failed");
    buf_FreePage(t->node, home, 1);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  int found = 0;
  Node_LOG_REC* e = Node_AddLogRecord(t->node, home, &found);
  // A page just allocated is nobody's: freed pages go back to the volume
  // only when their transaction has ended.
  ZENT_ASSERT(!held_by_other(e, tx) && "__bt_new: new page held by another transaction");
  btree_TX_DATA rec;
  rec.prev = e->log_addr;
  rec.op = BT_TX_NewPage;
  rec.o_pgno = home;
  rec.r_pgno = shadow;
  Node_ADDR pos;
  if (write_record(t, rec, &pos) != 0) {
    debug_log('B', 0, "__bt_new: Tlog_WriteRecord failed");
    buf_FreePage(t->node, shadow, 1);
    Vol_FreePage(home, 1);
    if (!Node_AddrValid(&e->log_addr)) Node_RemoveLogRecord(e);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  point_at(t, e, pos, shadow);
  *pgno = home;
  return reinterpret_cast<uint8_t*>(buf);
}

int btree_TxFree(btree_HANDLE* t, uint8_t* page) {
  Node* tx = tx_of(t);
  const uint32_t pgno = bt_pgno(page);
  Node_LOG_REC* e = own_entry(t, pgno);
  ZENT_ASSERT(e != nullptr && "__bt_free: page without a record of this transaction");
  const Node_ADDR latest_at = e->log_addr;
  uint32_t txid = 0;
  btree_TX_DATA latest = btree_ReadTxRecord(tx, latest_at, &txid);
  ZENT_ASSERT(txid == Tlog_SubID(tx) && "__bt_free: record of another sub-transaction");
  check_live(latest, pgno, "__bt_free");
  btree_TX_DATA rec;
  rec.prev = latest_at;
  rec.op = BT_TX_FreePage;
  rec.o_pgno = pgno;
  Node_ADDR pos;
  Node_PGVEC v = vec_of(page, latest.r_pgno);
  if (write_record(t, rec, &pos) != 0) {
    debug_log('B', 0, "__bt_free: Tlog_WriteRecord failed");
    Node_ReleaseClusterDirty(t->node, 1, &v);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  point_at(t, e, pos, 0);
  // The freed page's shadow is no version any rollback returns to (the
  // update and the free go together): it goes now, unless the record that
  // names it cannot be rewritten, in which case commit or rollback frees it.
  const uint32_t shadow = latest.r_pgno;
  latest.r_pgno = 0;
  uint8_t bytes[btree_TX_DATA_SIZE];
  btree_EncodeTxData(latest, bytes);
  if (Tlog_UpdateRecord(tx, &latest_at, bytes, sizeof bytes) != 0) {
    debug_log('B', 0, "__bt_free: Tlog_UpdateRecord failed; shadow 0x%x kept", shadow);
    Node_ReleaseClusterDirty(t->node, 1, &v);
    return 0;
  }
  Node_FreePages(t->node, shadow, 1);  // our pin goes with the cached page
  return 0;
}

int btree_TxAdvisoryTake(btree_HANDLE* t, uint32_t pgno) {
  Node* tx = tx_of(t);
  btree_CTX* ctx = t->bt_ctx;
  int found = 0;
  Node_LOG_REC* e = Node_AddLogRecord(t->node, pgno, &found);
  if (held_by_other(e, tx)) return conflict(t, pgno, e, "bt_search", __LINE__);
  if (e->log_node == tx) return 0;
  if (ctx->lrec_cnt >= BT_MAXLREC) {
    debug_log('B', 0, "bt_search: more than %d advisory records on node %s", BT_MAXLREC,
              Node_Name(t->node));
    if (!found) Node_RemoveLogRecord(e);
    btree_TxReleaseAdvisory(t);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  Tlog_LinkLogRecord(tx, e);
  ctx->lrec[ctx->lrec_cnt++] = e;
  return 0;
}

void btree_TxReleaseAdvisory(btree_HANDLE* t) {
  btree_CTX* ctx = t->bt_ctx;
  // Records that gained a change stay with the transaction; the others
  // were only a claim for this operation.
  for (int i = ctx->lrec_cnt; i-- > 0;) {
    Node_LOG_REC* e = ctx->lrec[i];
    ctx->lrec[i] = nullptr;
    if (!Node_AddrValid(&e->log_addr)) Node_RemoveLogRecord(e);
  }
  ctx->lrec_cnt = 0;
}

int btree_TxCheckOutside(btree_HANDLE* t, uint32_t pgno) {
  const Node_LOG_REC* e = Node_FindLogRecord(t->node, pgno);
  if (e == nullptr || e->log_node == nullptr || !Node_AddrValid(&e->log_addr)) return 0;
  // Changed in place now, the page would be overwritten by that
  // transaction's commit: the change is refused.
  debug_log('B', 0, "mpool_lock: page 0x%x of node %s is changed by transaction node %s; "
            "refused outside a transaction", pgno, Node_Name(t->node), Node_Name(e->log_node));
  BT_ERROR(ERR_SEV_E, BT_E_PAGE);
  return -1;
}
