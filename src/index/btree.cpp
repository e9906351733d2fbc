// btree.cpp - B-tree nodes: the subsystem registration, create, reset,
// open and close of a handle, the node lock of every operation, cursor
// upkeep, return buffers and the statistics counters.
//
// Owners: the node layer owns the node and its meta data bytes (a handle
// points at them while it holds its reference); the session owns the
// context; the handle owns its cursor and return buffers.
//
// Context: the server thread. Create, reset, open and close may suspend in
// the node layer (node semaphore, node lock, system pool, volume set) and
// the buffer cache; taking the node lock may be cut short (result 2).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"
#include "index/btree_tx.h"
#include "storage/node_cluster.h"
#include "storage/node_restore.h"
#include "storage/node_tlog_seams.h"

btree_STATS g_btree_stats = {};

const btree_STATS* btree_GetStats() { return &g_btree_stats; }

namespace {

bool g_registered = false;

void check_meta_header(const btree_META& m) {
  ZENT_ASSERT(m.magic == BTMAGIC && "bt_meta->magic == BTMAGIC");
  ZENT_ASSERT(m.version == BTVERSION && "bt_meta->version == BTVERSION");
  ZENT_ASSERT(m.psize == Vol_PAGESIZE && "bt_meta->psize == Vol_PAGESIZE");
}

// The empty root leaf of a new or reset tree, inside a node-list log; its
// address goes into the meta data. 0 or -1.
int nroot(Node* node, uint8_t* meta) {
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_ULIST, &ctx) != 0) {
    debug_log('B', 0, "nroot() failed on NodeList_InitRootLog()");
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  Node_PGVEC v;
  const int rc = Node_AllocCluster(node, 1, &v, Node_MODE_DATA, &ctx);
  if (rc == 0) {
    auto* p = reinterpret_cast<uint8_t*>(v.buf);
    memset(p, BT_NEWPAGE_FILL, BT_PSIZE);
    bt_init_page(p, v.page, 0, 0, P_BLEAF);
    Node_ReleaseClusterDirty(node, 1, &v);
    // No log record carries the page's bytes: on disk before the records
    // that name it (its allocation, the snapshot), or recovery gives the
    // tree whatever the page held before.
    Node_SyncPageDurably(node, v.page, 1);
    btree_SetMetaRoot(meta, v.page);
  }
  if (NodeList_FlushLog(&ctx) != 0) ZENT_ASSERT(!"nroot() failed on NodeList_FlushLog()");
  NodeList_ReleaseLog(&ctx);
  if (rc != 0) {
    debug_log('B', 0, "nroot() failed on Node_AllocCluster()");
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  return 0;
}

void drop_new_node(Node* node, bool referenced) {
  if (referenced) Node_Close(node);
  Node_Delete(node);
}

}  // namespace

// --- Subsystem -------------------------------------------------------------------------

int btree_Notify(Node*, int event) {
  if (event == Node_EVENT_SHUTDOWN) {
    Node_UnregisterSubsystem(btree_Notify);
    g_registered = false;
  }
  return 0;
}

int btree_Init() {
  Node_SetRestoreClusterFn(NodeType_BT, btree_RestoreCluster);
  Node_SetRestoreMetaFn(NodeType_BT, btree_RestoreMeta);
  // The log's tables are filled afresh by each Tlog_Init: ours go in every
  // time, also when the node type is registered already.
  btree_RegisterLogHandlers();
  if (g_registered) return 0;
  if (Node_RegisterSubsystem(NodeType_BT, btree_Notify) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  g_registered = true;
  return 0;
}

// --- Trees ----------------------------------------------------------------------------------

Node* btree_Create(uint32_t flags, const btree_KEYDEF* keydef, uint32_t* node_id) {
  debug_log('B', 3, "btree_Create(flags=%x)", flags);
  if (flags != 0 ||
      (keydef != nullptr && (keydef->k_flags > 1 || static_cast<int32_t>(keydef->k_nparts) < 0 ||
                             keydef->k_nparts > BT_MAXPARTS))) {
    BT_ERROR(ERR_SEV_E, BT_E_ARG);
    return nullptr;
  }
  Node* node = Node_Create(1);
  if (node == nullptr) return nullptr;
  Node_SetType(node, NodeType_BT);
  if (Node_Open(node) != 0) {
    drop_new_node(node, false);
    return nullptr;
  }
  btree_META m;
  m.magic = BTMAGIC;
  m.version = BTVERSION;
  m.psize = Vol_PAGESIZE;
  if (keydef != nullptr) {
    m.keydef.k_flags = keydef->k_flags;
    m.keydef.k_nparts = keydef->k_nparts;
    for (uint32_t i = 0; i < keydef->k_nparts; ++i) {
      m.keydef.k_part[i] = keydef->k_part[i];
      m.keydef.k_len += keydef->k_part[i].kp_leng;
    }
  }
  const size_t size = btree_MetaSize(keydef);
  auto* meta = static_cast<uint8_t*>(Node_SetupMetaData(node, static_cast<uint32_t>(size)));
  if (meta == nullptr) {
    debug_log('B', 0, "btree_Create() failed: no meta data for node %s", Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    drop_new_node(node, true);
    return nullptr;
  }
  btree_EncodeMeta(m, meta, size);
  if (Node_Lock(node, __FILE__, __LINE__) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_LOCK);
    drop_new_node(node, true);
    return nullptr;
  }
  if (nroot(node, meta) != 0) {
    Node_Unlock(node);
    drop_new_node(node, true);
    return nullptr;
  }
  Node_SetMetaDirty(node);
  const int snap = Node_WriteSnapshot(node);
  Node_Unlock(node);
  if (snap != 0) {
    drop_new_node(node, true);
    return nullptr;
  }
  if (node_id != nullptr) *node_id = Node_GetId(node);
  Node_Close(node);
  return node;
}

int btree_Reset(Node* node) {
  debug_log('B', 3, "btree_Reset(node = %d)", static_cast<int>(Node_GetId(node)));
  if (Node_Reset(node) != 0) return -1;
  if (Node_Open(node) != 0) return -1;
  if (Node_GetMetaSize(node) == 0) {
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    Node_Close(node);
    return -1;
  }
  auto* meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  btree_META m;
  ZENT_ASSERT(btree_DecodeMeta(meta, Node_GetMetaSize(node), &m) == 0 && "btree meta data");
  check_meta_header(m);
  int rc = -1;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_LOCK);
  } else {
    rc = nroot(node, meta);
    if (rc == 0) {
      Node_SetMetaDirty(node);
      rc = Node_WriteSnapshot(node);
    }
    Node_Unlock(node);
  }
  Node_Close(node);
  return rc;
}

// --- Handles -----------------------------------------------------------------------------

btree_HANDLE* btree_OpenNode(Node* node, btree_CTX* ctx, uint32_t flags) {
  debug_log('B', 3, "btree_OpenNode()");
  if (ctx == nullptr) {
    BT_ERROR(ERR_SEV_E, BT_E_ARG);
    return nullptr;
  }
  if (Node_Open(node) != 0) return nullptr;
  const uint32_t size = Node_GetMetaSize(node);
  btree_META m;
  if (size == 0) {
    debug_log('B', 0, "btree_OpenNode(node=%s) failed: meta data does not exist", Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    Node_Close(node);
    return nullptr;
  }
  auto* meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  if (btree_DecodeMeta(meta, size, &m) != 0) {
    debug_log('B', 0, "btree_OpenNode(node=%s) failed: meta data of %u bytes unreadable",
              Node_Name(node), size);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    Node_Close(node);
    return nullptr;
  }
  check_meta_header(m);
  ZENT_ASSERT(ctx->lrec_cnt == 0 && "bt->bt_ctx->lrec_cnt == 0");
  auto* t = static_cast<btree_HANDLE*>(calloc(1, sizeof(btree_HANDLE)));
  if (t == nullptr) {
    debug_log('B', 0, "btree_OpenNode() failed: heap overflow (%zu bytes)", sizeof(btree_HANDLE));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    Node_Close(node);
    return nullptr;
  }
  new (t) btree_HANDLE();
  t->meta = meta;
  t->keydef = m.keydef;
  t->bt_ctx = ctx;
  t->node = node;
  t->psize = m.psize;
  t->compare = btree_DefaultCompare;
  t->prefix = btree_DefaultPrefix;
  t->arg = nullptr;
  if (flags & BT_OPEN_RDONLY) t->flags |= B_RDONLY;
  return t;
}

int btree_CloseNode(btree_HANDLE* t) {
  bt_release_advisory(t);
  Node_Close(t->node);
  free(t->kbuf.ptr);
  free(t->dbuf.ptr);
  free(t->cursor.key.ptr);
  free(t);
  return 0;
}

const btree_KEYDEF* btree_GetKeyDef(const btree_HANDLE* t) { return &t->keydef; }

void btree_SetCompare(btree_HANDLE* t, btree_CompareFn compare, btree_PrefixFn prefix, void* arg) {
  t->compare = compare;
  t->prefix = prefix;
  t->arg = arg;
}

// --- Node lock, cursor, buffers --------------------------------------------------------

int bt_lock(btree_HANDLE* t, int mode) {
  btree_CTX* ctx = t->bt_ctx;
  ZENT_ASSERT(ctx->locked_node == nullptr && "bt->bt_ctx->locked_node == NULL");
  const int rc = mode == BT_LOCK_WRITE ? Node_Lock(t->node, __FILE__, __LINE__)
                                       : Node_LockShared(t->node, __FILE__, __LINE__);
  if (rc != 0) {
    BT_ERROR(ERR_SEV_E, BT_E_LOCK);
    return -1;
  }
  ctx->locked_node = t->node;
  ctx->lock_mode = mode;
  return 0;
}

void bt_unlock(btree_HANDLE* t) {
  btree_CTX* ctx = t->bt_ctx;
  ZENT_ASSERT(t->node == ctx->locked_node && "bt->node == bt->bt_ctx->locked_node");
  if (ctx->lock_mode == BT_LOCK_WRITE)
    Node_Unlock(t->node);
  else
    Node_UnlockShared(t->node);
  ctx->locked_node = nullptr;
  ctx->lock_mode = 0;
}

void bt_end_op(btree_HANDLE* t) {
  bt_release_advisory(t);
  // The transactional road gives the lock back itself when it meets
  // another transaction's page.
  if (t->bt_ctx->locked_node == t->node) bt_unlock(t);
}

int bt_cursor_check(btree_HANDLE* t) {
  if (!(t->cursor.flags & CURS_INIT)) return 0;
  if (t->cursor.change_count == Node_GetChangeCount(t->node)) return 0;
  t->cursor.flags = 0;
  return 1;
}

void bt_cursor_keep(btree_HANDLE* t) {
  if (t->cursor.flags & CURS_INIT) t->cursor.change_count = Node_GetChangeCount(t->node);
}

int bt_buf_reserve(btree_BUF* b, uint32_t size) {
  if (size <= b->cap) return 0;
  uint32_t cap = b->cap < 64 ? 64 : b->cap;
  while (cap < size) cap *= 2;
  void* p = realloc(b->ptr, cap);
  if (p == nullptr) return -1;
  b->ptr = static_cast<uint8_t*>(p);
  b->cap = cap;
  return 0;
}
