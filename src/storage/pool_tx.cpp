// pool_tx.cpp - pools inside transactions: pages taken into a transaction
// on redirected copies, the free-list actions of a transaction, the wait
// for another transaction, and the handlers of the pools' log records
// (opcode 18) for pre-commit, final commit and rollback (see pool.h).
//
// A page a transaction changes is represented, until the transaction
// ends, by a copy on the LOG volume (its redirected page), named by the
// page's entry in the node log-record hash. Each change is logged as a
// Pool_RECORD {opcode, the entry's previous record, page, redirected page,
// the cluster}: pre-commit writes the copies to disk and lists new clusters
// in the used-cluster list (each once, by its first page, with its page
// count), final commit moves the copies onto their pages, rollback drops
// them. The transaction log's calls go through pool_tlog_seams.h.
//
// Context: the server thread, under the pool's node lock. A call may
// suspend in the cache, the volume set, and in the wait for another
// transaction (which may be cut short: status 27).
#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/crash_point.h"
#include "storage/disk_bytes.h"
#include "storage/node_flist.h"
#include "storage/node_orphans.h"
#include "storage/node_tlog_seams.h"
#include "storage/pool.h"
#include "storage/pool_access.h"
#include "storage/pool_tlog_seams.h"
#include "storage/volume_set.h"

namespace pools {
namespace {

const char* op_name(uint32_t op) {
  switch (op) {
    case Pool_OP_NEW: return "NEW";
    case Pool_OP_MODIFY: return "MODIFY";
    case Pool_OP_DELETE: return "DELETE";
    case Pool_OP_FLIST: return "FLIST";
    case Pool_OP_FLIST_UNDO: return "FLIST_UNDO";
    default: return "?";
  }
}

int data_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG : Node_MODE_DATA;
}

bool same_item(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset && a.size == b.size;
}

// Reads the record at pos of tx's log; asserts a whole one.
Pool_RECORD read_record(Node* tx, const Node_ADDR& pos, uint32_t* txid) {
  uint8_t data[Pool_RECORD_SIZE];
  const int read_size = PoolLog_ReadRecord(tx, &pos, data, sizeof data, txid);
  ZENT_ASSERT(read_size == (int)sizeof(data) && "read_size == sizeof(Pool_RECORD)");
  Pool_RECORD r;
  if (Pool_DecodeRecord(data, sizeof data, &r) != 0) {
    debug_log('N', 0, "Pool_LockPages(node=%s) failed: invalid opcode (%u)", Node_Name(tx),
              le_get32(data));
    ZENT_ASSERT(!"invalid opcode");
  }
  return r;
}

// Whether a page already holding a record moves on to want: 0 yes, 1 it is
// already redirected in this sub-transaction (nothing to do).
int check_transition(PoolAccess* pa, Node_LOG_REC* e, int want) {
  ZENT_ASSERT(e->log_node && "lck->lrec->log_node");
  ZENT_ASSERT(Node_AddrValid(&e->log_addr) && "Node_AddrValid(&lck->lrec->log_addr)");
  uint32_t txid = 0;
  const Pool_RECORD last = read_record(pa->tx, e->log_addr, &txid);
  switch (last.opcode) {
    case Pool_OP_NEW:
    case Pool_OP_MODIFY:
      if (want == Pool_OP_MODIFY && txid == PoolLog_SubID(pa->tx)) {
        ZENT_ASSERT(e->state && "lck->lrec->arg");
        return 1;
      }
      if (want == Pool_OP_MODIFY || want == Pool_OP_DELETE) return 0;
      break;
    case Pool_OP_DELETE:
      if (want == Pool_OP_NEW) return 0;
      break;
    default:
      debug_log('N', 0, "Pool_LockPages(node=%s) failed: unknown opcode (%u)",
                Node_Name(pa->node), last.opcode);
      ZENT_ASSERT(!"unknown opcode");
  }
  debug_log('N', 0, "Pool_LockPages(node=%s) failed: unexpected opcode (%u)", Node_Name(pa->node),
            static_cast<unsigned>(want));
  ZENT_ASSERT(!"unexpected opcode");
}

// Takes one page whose entry is e into the transaction. 0 or -1.
int take_page(PoolAccess* pa, Node_LOG_REC* e, const LockReq& req) {
  Node* node = pa->node;
  uint32_t r_pgno = e->state;
  if (req.opcode != Pool_OP_DELETE) {
    // The page's current image (its copy when it has one) moves to a new
    // page of the LOG volume, which becomes its copy.
    const uint32_t current = e->state != 0 ? e->state : req.page;
    Node_PGVEC v;
    if (Node_CacheGetCluster(node, current, 1, &v, data_mode(node)) != 0) {
      debug_log('N', 0, "Pool_LockPages(node=%s) failed on buf_Get(pgno=0x%x), file %s, line%d",
                Node_Name(node), current, __FILE__, __LINE__);
      return -1;
    }
    uint32_t shadow = 0;
    if (buf_MakeLogShadow(node, 1, &shadow, &v.buf) != 0) {
      Node_ReleaseCluster(node, 1, &v);
      debug_log('N', 0,
                "Pool_LockPages(node=%s) failed: no space left on transaction log volume, "
                "file %s, line%d",
                Node_Name(node), __FILE__, __LINE__);
      return -1;
    }
    v.page = shadow;
    Node_ReleaseClusterDirty(node, 1, &v);
    r_pgno = shadow;
  }
  Pool_RECORD r;
  r.opcode = static_cast<uint32_t>(req.opcode);
  r.addr = e->log_addr;
  r.page = req.page;
  r.r_pgno = r_pgno;
  r.cluster = req.cluster;
  r.cluster_pages = req.cluster_pages;
  uint8_t data[Pool_RECORD_SIZE];
  Pool_EncodeRecord(r, data);
  Node_ADDR pos;
  if (PoolLog_WriteRecord(pa->tx, Tlog_OP_POOL, Tlog_CHANNEL_LOG, node, data, sizeof data, &pos) !=
      0) {
    // The page keeps its former image: it was written to its place before
    // it moved, so the copy just made can go.
    if (req.opcode != Pool_OP_DELETE) buf_FreePage(node, r_pgno, 1);
    return -1;
  }
  PoolLog_LinkLogRecord(pa->tx, e);
  e->state = r_pgno;
  e->log_addr = pos;
  return 0;
}

}  // namespace

uint32_t target_page(const PoolAccess* pa, uint32_t page) {
  if (pa->tx == nullptr) return page;
  const Node_LOG_REC* e = PoolLog_FindLogRecord(pa->node, page);
  if (e != nullptr && e->log_node == pa->tx && e->state != 0) return e->state;
  return page;
}

int wait_foreign(PoolAccess* pa) {
  Node* foreign = pa->foreign;
  ZENT_ASSERT(foreign != nullptr && "pacc->foreign");
  if (pa->lock_state == 1)
    Node_Unlock(pa->node);
  else if (pa->lock_state == 2)
    Node_UnlockShared(pa->node);
  const int woken = Node_Wait(foreign, __FILE__, __LINE__);
  pa->foreign = nullptr;
  int rc = 0;
  if (woken != 0) {
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_LOCK);
    rc = -1;
  }
  if (pa->lock_state == 1) {
    if (Node_Lock(pa->node, __FILE__, __LINE__) != 0) rc = -1;
  } else if (pa->lock_state == 2) {
    if (Node_LockShared(pa->node, __FILE__, __LINE__) != 0) rc = -1;
  }
  return rc;
}

int lock_pages(PoolAccess* pa, const LockReq* reqs, int count, bool wait) {
  if (pa->tx == nullptr) return 0;
  ZENT_ASSERT(count > 0 && count <= Vol_MAXCLUST && "count > 0");
  for (;;) {
    Node_LOG_REC* entries[Vol_MAXCLUST];
    bool added[Vol_MAXCLUST] = {};
    Node* foreign = nullptr;
    int i = 0;
    for (; i < count && foreign == nullptr; ++i) {
      int found = 0;
      entries[i] = PoolLog_AddLogRecord(pa->node, reqs[i].page, &found);
      added[i] = found == 0;
      Node* holder = entries[i]->log_node;
      if (holder != nullptr && holder != pa->tx) foreign = holder;
    }
    // Entries added here and left without a record would make later
    // transactions take a finished one for their holder: every road out
    // but success removes them.
    auto drop_added = [&](int from, int to) {
      for (int j = from; j < to; ++j)
        if (added[j] && !Node_AddrValid(&entries[j]->log_addr)) PoolLog_RemoveLogRecord(entries[j]);
    };
    if (foreign != nullptr) {
      drop_added(0, i);
      pa->foreign = foreign;
      if (!wait) return 1;
      if (wait_foreign(pa) != 0) return -1;
      continue;
    }
    for (int k = 0; k < count; ++k) {
      Node_LOG_REC* e = entries[k];
      if (Node_AddrValid(&e->log_addr) && check_transition(pa, e, reqs[k].opcode) == 1) continue;
      if (take_page(pa, e, reqs[k]) != 0) {
        drop_added(k, count);
        return -1;
      }
    }
    return 0;
  }
}

int lock_range(PoolAccess* pa, uint32_t cluster, uint16_t cluster_pages, uint32_t from,
               uint32_t to, int opcode, bool wait) {
  if (pa->tx == nullptr) return 0;
  if (to <= from) to = from + 1;
  LockReq reqs[Vol_MAXCLUST];
  int n = 0;
  uint32_t last = (to - 1) / Vol_PAGESIZE;
  if (last >= cluster_pages) last = cluster_pages - 1u;
  for (uint32_t i = from / Vol_PAGESIZE; i <= last; ++i)
    reqs[n++] = LockReq{cluster + i, opcode, cluster, cluster_pages};
  return lock_pages(pa, reqs, n, wait);
}

int take_own_item(PoolAccess* pa, uint32_t size, Node_ADDR* item) {
  Llist* list = PoolLog_FindLogpoolFlist(pa->node, pa->tx);
  if (list == nullptr) return 1;
  for (void* p = Llist_First(list); p != nullptr; p = Llist_Next(p)) {
    Node_ADDR a = Node_DecodeAddr(static_cast<const uint8_t*>(p));
    if (a.size < size) continue;
    *item = a;
    Llist_DeleteItem(p);
    Node_WriteFlistAction(pa->node, Pool_OP_FLIST, nullptr, item, 1, pa->tx);
    return 0;
  }
  return 1;
}

int flist_action(PoolAccess* pa, const Node_ADDR* add, const Node_ADDR* dels, int ndel) {
  ZENT_ASSERT(ndel >= 0 && "num_items >= 0");
  ZENT_ASSERT(ndel <= Pool_MAX_ITEMS_TO_DELETE && "num_items <= Pool_MAX_ITEMS_TO_DELETE");
  Node* node = pa->node;
  if (pa->tx == nullptr) {
    Node_DeleteItemFromFlist(node, dels, ndel, nullptr);
    return add != nullptr ? Node_AddItemToFlist(node, add) : 0;
  }
  Llist* list = PoolLog_AddLogpoolFlist(node, pa->tx);
  if (add != nullptr) {
    // Kept in ascending order of size: before the first of equal or larger size.
    void* before = Llist_First(list);
    while (before != nullptr &&
           Node_DecodeAddr(static_cast<const uint8_t*>(before)).size < add->size)
      before = Llist_Next(before);
    void* p = before != nullptr ? Llist_InsertItem(before, Node_ADDR_SIZE)
                                : Llist_AddItem(list, Node_ADDR_SIZE);
    if (p == nullptr) {
      debug_log('V', 0, "Pool_FlistAction(node=%s) failed: heap overflow (%u bytes)",
                Node_Name(node), static_cast<unsigned>(Node_ADDR_SIZE));
      ZENT_ASSERT(!"Pool_AddItemToFlist() failed: heap overflow");
    }
    Node_EncodeAddr(*add, static_cast<uint8_t*>(p));
  }
  Node_ADDR own[Pool_MAX_ITEMS_TO_DELETE];
  int nown = 0;
  for (int k = 0; k < ndel; ++k) {
    if (dels[k].cluster == 0) continue;
    bool found = false;
    for (void* p = Llist_First(list); p != nullptr; p = Llist_Next(p)) {
      if (!same_item(Node_DecodeAddr(static_cast<const uint8_t*>(p)), dels[k])) continue;
      // The item is freed: the walk ends here, before a step from it.
      Llist_DeleteItem(p);
      found = true;
      break;
    }
    if (found)
      own[nown++] = dels[k];
    else
      Node_DeleteItemFromFlist(node, &dels[k], 1, pa->tx);
  }
  // One record: the block added and the blocks taken off the own list; a
  // block taken off the pool list was logged as FLIST_UNDO already.
  if (add != nullptr || nown > 0)
    Node_WriteFlistAction(node, Pool_OP_FLIST, add, own, nown, pa->tx);
  return 0;
}

}  // namespace pools

using namespace pools;

namespace {

// Decodes a handler's record; a record that is none of the five is fatal.
// 0, or Tlog_DAMAGED for a record of another size or an unknown opcode.
int decode(const void* data, uint32_t size, const char* who, Pool_RECORD* r) {
  if (data == nullptr ||
      Pool_DecodeRecord(static_cast<const uint8_t*>(data), size, r) != 0)
    return Tlog_Damaged(who, "size or opcode", size);
  return 0;
}

void log_record(const char* what, const char* verb, Node* node, const Pool_RECORD& r) {
  if (r.opcode <= Pool_OP_DELETE)
    debug_log('N', 3, "%s(node=%s) %s %s, page=0x%x, redirected=0x%x", what, Node_Name(node),
              verb, op_name(r.opcode), r.page, r.r_pgno);
  else
    debug_log('N', 3, "%s(node=%s) %s %s", what, Node_Name(node), verb, op_name(r.opcode));
}

// Adds or removes the cluster of r (by its first page) in the used-cluster
// list under a list context on the root log. remove tolerates a cluster
// not listed (a transaction rolled back before its pre-commit listed it).
// 0 or -1.
int list_cluster(Node* node, const Pool_RECORD& r, bool remove, const char* who) {
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_ULIST, &ctx) != 0) {
    debug_log('N', 0, "%s() failed on NodeList_InitRootLog()", who);
    return -1;
  }
  int head_dirty = 0;
  int rc = 0;
  Node_ITEM item{r.cluster, r.cluster_pages};
  if (remove) {
    Node_DeleteItem(node, &node->node.ulist, &item, &head_dirty, &ctx);
  } else if (Node_AddItem(node, &node->node.ulist, &item, &head_dirty, nullptr, &ctx) != 0) {
    debug_log('N', 0, "%s() failed on Node_AddItem()", who);
    rc = -1;
  }
  if (head_dirty) Node_SetDirty(node);
  CRASH_POINT("pool.cluster_before_log_flush");
  if (NodeList_FlushLog(&ctx) != 0) {
    static char what[80];
    snprintf(what, sizeof what, "%s() failed on NodeList_FlushLog()", who);
    panic_assert_failed(what, __FILE__, __LINE__);
  }
  NodeList_ReleaseLog(&ctx);
  return rc;
}

bool first_of_cluster(const Pool_RECORD& r) { return r.page == r.cluster && r.cluster != 0; }

}  // namespace

int Pool_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  (void)pos;
  Pool_RECORD r;
  if (const int bad = decode(data, size, "Pool_Commit()", &r)) return bad;
  log_record("Pool_Commit", "pre-commit", node, r);
  Node* log_node = nullptr;
  switch (r.opcode) {
    case Pool_OP_FLIST_UNDO:
      return 0;
    case Pool_OP_NEW:
      ZENT_ASSERT(r.r_pgno && "rec->u.p.r_pgno");
      Node_SyncPage(node, r.r_pgno, 1);
      if (first_of_cluster(r) && list_cluster(node, r, false, "Pool_Commit") != 0) return -1;
      break;
    case Pool_OP_MODIFY:
      ZENT_ASSERT(r.r_pgno && "rec->u.p.r_pgno");
      Node_SyncPage(node, r.r_pgno, 1);
      break;
    default:
      break;
  }
  if (r.opcode == Pool_OP_FLIST) {
    log_node = PoolLog_ActionNode();
  } else {
    Node_LOG_REC* lrec = PoolLog_FindLogRecord(node, r.page);
    ZENT_ASSERT(lrec != nullptr && "lrec != NULL");
    log_node = lrec->log_node;
  }
  return PoolLog_WriteRecord(log_node, Tlog_OP_POOL, Tlog_CHANNEL_DO_LOG, node, data,
                          Pool_RECORD_SIZE, nullptr) == 0
             ? 0
             : -1;
}

int Pool_RedoOfGone(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  Pool_RECORD r;
  if (const int bad = decode(data, size, "Pool_RedoOfGone()", &r)) return bad;
  if (r.opcode > Pool_OP_DELETE) return 0;
  // The node's reset listed only what was still in its used list: a page
  // its committed delete gave up before is freed by this record alone.
  if (r.opcode == Pool_OP_DELETE) Vol_FreePageDelayed(r.page, 1);
  if (r.r_pgno != 0) Vol_FreePageDelayed(r.r_pgno, 1);
  return 0;
}

int Pool_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  (void)pos;
  Pool_RECORD r;
  if (const int bad = decode(data, size, "Pool_FinalCommit()", &r)) return bad;
  log_record("Pool_FinalCommit", "commit", node, r);
  if (Node_Lock(node, __FILE__, __LINE__) != 0) ZENT_ASSERT(!"Pool_FinalCommit: Node lock failed");
  int rc = 0;
  switch (r.opcode) {
    case Pool_OP_NEW:
    case Pool_OP_MODIFY: {
      Node_PGVEC v;
      if (Node_CacheGetCluster(node, r.r_pgno, 1, &v, data_mode(node)) != 0) {
        debug_log('N', 0, "Pool_FinalCommit(node=%s) failed on buf_Get(r_pgno=0x%x)",
                  Node_Name(node), r.r_pgno);
        rc = -1;
        break;
      }
      buf_Rename(node, 1, &v.buf, r.page);
      v.page = r.page;
      Node_ReleaseClusterDirty(node, 1, &v);
      CRASH_POINT("pool.final_commit_after_page");
      Vol_FreePageDelayed(r.r_pgno, 1);
      if (Tlog_IsRecovering()) Vol_MarkPageUsed(r.page, 1);
      // A committed record on a cluster's first page owns the cluster,
      // whether it made the cluster or changed it later.
      if (first_of_cluster(r)) Node_RecoverConfirmCluster(node, r.cluster);
      break;
    }
    case Pool_OP_DELETE:
      if (!Tlog_IsRecovering() && first_of_cluster(r) &&
          list_cluster(node, r, true, "Pool_FinalCommit") != 0) {
        rc = -1;
        break;
      }
      // Replayed, the list change may not have reached the disk: recovery
      // takes the cluster off once the replay is through.
      if (Tlog_IsRecovering() && first_of_cluster(r)) Node_RecoverReleaseCluster(node, r.cluster);
      Node_FreePagesDelayed(node, r.page, 1);
      if (r.r_pgno != 0) Node_FreePagesDelayed(node, r.r_pgno, 1);
      break;
    case Pool_OP_FLIST:
      // Replayed over a free list a checkpoint already wrote, the block may
      // be listed: it is taken off first, so a record applied twice lists
      // it once.
      if (Tlog_IsRecovering() && Node_AddrValid(&r.addr))
        Node_DeleteItemFromFlist(node, &r.addr, 1, nullptr);
      if (Node_AddrValid(&r.addr) && Node_AddItemToFlist(node, &r.addr) != 0) {
        debug_log('N', 0, "Pool_FinalCommit() failed on Node_AddItemToFlist()");
        rc = -1;
        break;
      }
      Node_DeleteItemFromFlist(node, r.items, Pool_MAX_ITEMS_TO_DELETE, nullptr);
      break;
    default:
      ZENT_ASSERT(!"unknown opcode");
  }
  Node_Unlock(node);
  return rc;
}

int Pool_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  (void)pos;
  Pool_RECORD r;
  if (const int bad = decode(data, size, "Pool_Rollback()", &r)) return bad;
  log_record("Pool_Rollback", "roll-back", node, r);
  switch (r.opcode) {
    case Pool_OP_NEW:
      if (first_of_cluster(r) && list_cluster(node, r, true, "Pool_Rollback") != 0) return -1;
      Node_FreePages(node, r.page, 1);
      Node_FreePagesDelayed(node, r.r_pgno, 1);
      break;
    case Pool_OP_MODIFY:
      Node_FreePagesDelayed(node, r.r_pgno, 1);
      break;
    case Pool_OP_FLIST_UNDO:
      if (Node_AddrValid(&r.addr) && Node_AddItemToFlist(node, &r.addr) != 0) {
        debug_log('N', 0, "Pool_Rollback() failed on Node_AddItemToFlist()");
        return -1;
      }
      Node_DeleteItemFromFlist(node, r.items, Pool_MAX_ITEMS_TO_DELETE, nullptr);
      return 0;
    case Pool_OP_DELETE:
      break;  // nothing was freed yet
    default:
      return 0;  // FLIST: nothing was done yet
  }
  if (r.opcode <= Pool_OP_DELETE) {
    Node_LOG_REC* lrec = PoolLog_FindLogRecord(node, r.page);
    ZENT_ASSERT(lrec != nullptr && "lrec != NULL");
    ZENT_ASSERT(Node_AddrValid(&lrec->log_addr) && "Node_AddrValid(&lrec->log_addr)");
    if (Node_AddrValid(&r.addr)) {
      // One step back: the page's copy is the one the previous record made.
      uint32_t txid = 0;
      const Pool_RECORD prev = read_record(lrec->log_node, r.addr, &txid);
      lrec->log_addr = r.addr;
      lrec->state = prev.r_pgno;
    } else {
      PoolLog_RemoveLogRecord(lrec);
    }
  }
  return 0;
}
