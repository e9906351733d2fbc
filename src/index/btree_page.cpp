// btree_page.cpp - page access of the B-tree: get, release, make writable,
// new and free, and the advisory records of a write descent.
//
// Outside a transaction (the context has no tx_node) pages are the node's
// own pages in the buffer cache, changed in place; new and freed pages go
// through the node's used-cluster list inside a node-list log of the root
// log. Inside a transaction (the context names a transaction node and the
// log is on) every call goes to the transactional road of btree_tx.h:
// shadow pages with opcode-16 records.
//
// Context: the server thread. A get may suspend its task in the buffer
// cache (a read, a free buffer); new and free may also suspend in the
// volume set. The node lock held by the caller keeps other handles off the
// node meanwhile. Getting a page allocates nothing and, on a cache hit,
// makes no system call.
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"
#include "index/btree_tx.h"
#include "storage/node_cluster.h"
#include "storage/node_tlog_seams.h"
#include "storage/tlog.h"

int bt_in_tx(const btree_HANDLE* t) {
  // With the log off (no root log node) nothing can be logged: the change
  // is made in place, as the log's own calls succeed at once then.
  return t->bt_ctx->tx_node != nullptr && Tlog_RootNode() != nullptr;
}

namespace {

// A page read from the volumes must be what the tree says it is; anything
// else means the file is corrupt: the request fails (BT E001) and the page
// is named in the log. The header here, every entry as it is read
// (bt_entry_off): a page is never read or written past its end.
bool check_page(const btree_HANDLE* t, const uint8_t* p, uint32_t pgno) {
  const uint32_t type = bt_type(p);
  const uint32_t lower = bt_lower(p);
  const uint32_t upper = bt_upper(p);
  if (bt_pgno(p) != pgno || (type != P_BINTERNAL && type != P_BLEAF) || lower < BT_HDRSIZE ||
      (lower - BT_HDRSIZE) % 4 != 0 || lower > upper || upper > BT_PSIZE) {
    debug_log('B', 0,
              "mpool_get(node=%s): page 0x%x is no B-tree page (pgno=0x%x, flags=0x%x, "
              "lower=%u, upper=%u): file is corrupt",
              Node_Name(t->node), pgno, bt_pgno(p), bt_flags(p), lower, upper);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return false;
  }
  return true;
}

Node_PGVEC vec_of(uint8_t* page) { return Node_PGVEC{bt_pgno(page), reinterpret_cast<char*>(page)}; }

// A node-list log around one change of the used-cluster list.
int open_list_log(NodeList_LOG* ctx, const char* failure) {
  if (NodeList_InitRootLog(NodeList_ID_ULIST, ctx) != 0) {
    debug_log('B', 0, "%s", failure);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  return 0;
}

void close_list_log(NodeList_LOG* ctx, const char* failure) {
  if (NodeList_FlushLog(ctx) != 0) {
    debug_log('B', 0, "%s", failure);
    ZENT_ASSERT(!"B-tree page list log could not be flushed");
  }
  NodeList_ReleaseLog(ctx);
}

}  // namespace

uint8_t* mpool_get(btree_HANDLE* t, uint32_t pgno, uint32_t flags) {
  ZENT_ASSERT(flags == 0 && "flags == 0");
  // A link read from a damaged page may name any address.
  if (!Node_PageInSet(pgno)) {
    debug_log('B', 0, "mpool_get(node=%s): page 0x%x is outside the volume set: file is corrupt",
              Node_Name(t->node), pgno);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  Node_PGVEC v{pgno, nullptr};
  if (bt_in_tx(t)) {
    v.buf = reinterpret_cast<char*>(btree_TxGet(t, pgno, &v.page));
    if (v.buf == nullptr) return nullptr;
  } else if (Node_GetCluster(t->node, pgno, 1, &v, Node_MODE_DATA) != 0) {
    debug_log('B', 0, "mpool_get: buf_Get() failed");
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return nullptr;
  }
  auto* p = reinterpret_cast<uint8_t*>(v.buf);
  if (!check_page(t, p, pgno)) {
    Node_ReleaseCluster(t->node, 1, &v);
    return nullptr;
  }
  return p;
}

void mpool_put(btree_HANDLE* t, uint8_t* page, uint32_t flags) {
  ZENT_ASSERT((flags == 0 || flags == MPOOL_DIRTY) && "flags == 0 || flags == MPOOL_DIRTY");
  if (bt_in_tx(t)) {
    btree_TxPut(t, page, flags);
    return;
  }
  Node_PGVEC v = vec_of(page);
  if (flags & MPOOL_DIRTY)
    Node_ReleaseClusterDirty(t->node, 1, &v);
  else
    Node_ReleaseCluster(t->node, 1, &v);
}

int mpool_lock(btree_HANDLE* t, uint8_t** page, uint32_t flags) {
  ZENT_ASSERT(flags == 0 && "flags == 0");
  if (bt_in_tx(t)) {
    if (btree_TxLock(t, page) != 0) return -1;
  } else if (btree_TxCheckOutside(t, bt_pgno(*page)) != 0) {
    return -1;
  }
  // Every change of a page counts: other handles' cursors and fast-insert
  // memories see it.
  Node_IncChangeCount(t->node);
  return 0;
}

uint8_t* bt_new(btree_HANDLE* t, uint32_t* pgno) {
  uint8_t* p = nullptr;
  if (bt_in_tx(t)) {
    p = btree_TxNew(t, pgno);
    if (p == nullptr) return nullptr;
  } else {
    NodeList_LOG ctx;
    if (open_list_log(&ctx, "__bt_new: NodeList_InitRootLog failed") != 0) return nullptr;
    Node_PGVEC v;
    const int rc = Node_AllocCluster(t->node, 1, &v, Node_MODE_DATA, &ctx);
    close_list_log(&ctx, "__bt_new: NodeList_FlushLog failed");
    if (rc != 0) {
      debug_log('B', 0, "__bt_new: Node_AllocCluster() failed");
      BT_ERROR(ERR_SEV_E, BT_E_PAGE);
      return nullptr;
    }
    *pgno = v.page;
    p = reinterpret_cast<uint8_t*>(v.buf);
  }
  memset(p, BT_NEWPAGE_FILL, BT_PSIZE);
  return p;
}

int bt_free(btree_HANDLE* t, uint8_t* page) {
  if (bt_in_tx(t)) return btree_TxFree(t, page);
  const uint32_t pgno = bt_pgno(page);
  NodeList_LOG ctx;
  if (open_list_log(&ctx, "__bt_free: NodeList_InitRootLog failed") != 0) {
    mpool_put(t, page, MPOOL_DIRTY);
    return -1;
  }
  // Drops the cached page (our pin with it) and frees it at once.
  Node_DeleteCluster(t->node, pgno, &ctx);
  close_list_log(&ctx, "__bt_free: NodeList_FlushLog failed");
  return 0;
}

int bt_advisory_take(btree_HANDLE* t, uint32_t pgno, int lock_flags) {
  if (!bt_in_tx(t) || lock_flags == MPOOL_LCK_READ) return 0;
  return btree_TxAdvisoryTake(t, pgno);
}

void bt_release_advisory(btree_HANDLE* t) {
  if (t->bt_ctx->lrec_cnt == 0) return;
  btree_TxReleaseAdvisory(t);
}

int bt_claim_neighbours(btree_HANDLE* t, uint32_t prev, uint32_t next) {
  if (!bt_in_tx(t)) return 0;
  if (prev != 0 && btree_TxAdvisoryTake(t, prev) != 0) return -1;
  if (next != 0 && btree_TxAdvisoryTake(t, next) != 0) return -1;
  return 0;
}

int bt_relink(btree_HANDLE* t, uint32_t pgno, void (*set)(uint8_t*, uint32_t), uint32_t value) {
  uint8_t* p = mpool_get(t, pgno);
  if (p == nullptr || mpool_lock(t, &p) != 0) {
    if (p != nullptr) mpool_put(t, p, 0);
    return -1;
  }
  set(p, value);
  mpool_put(t, p, MPOOL_DIRTY);
  return 0;
}
