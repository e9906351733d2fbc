// node_cluster.cpp - clusters of a node: allocation into the used-cluster
// list, release, pinning in the buffer cache; and the list-page access and
// log-record helpers the item-list files share.
//
// Context: the server thread. A call may suspend its task where the cache
// reads a page or waits for a buffer and where the volume set allocates.
#include <cstdio>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_items_page.h"
#include "storage/node_log.h"
#include "storage/node_tlog_seams.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

using namespace nodelist;

namespace {

int cluster_count(const Node* node, int count) {
  ZENT_ASSERT(count >= 0 && count <= Vol_MAXCLUST && "count <= Vol_MAXCLUST");
  return count == 0 ? node->node.cluster_size : count;
}

bool list_page_mode(int mode) { return mode == Node_MODE_LIST || mode == Node_MODE_LOG_LIST; }

int get_cluster(Node* node, uint32_t start, int count, Node_PGVEC* vec, int mode,
                const char* caller) {
  count = cluster_count(node, count);
  char* bufs[Vol_MAXCLUST];
  const uint32_t flags = BF_PIN | (list_page_mode(mode) ? BF_MRU : 0u);
  if (buf_Get(node, start, count, flags, bufs) != 0) {
    debug_log('N', 0, "%s(node=%s) failed on buf_Get(), file %s, line %d", caller,
              Node_Name(node), __FILE__, __LINE__);
    return -1;
  }
  for (int i = 0; i < count; ++i) vec[i] = {start + static_cast<uint32_t>(i), bufs[i]};
  return 0;
}

void check_header(Node* node, const Node_PGVEC& vec, const char* caller, bool name_node) {
  if (valid_list_page(vec.page, bytes(vec))) return;
  debug_log('N', 0, "%s() failed: invalid page header, page=0x%x", caller, vec.page);
  if (name_node) debug_log('N', 0, "NodeID = %s ", Node_Name(node));
  static char what[96];
  snprintf(what, sizeof what, "%s() failed: file is corrupt", caller);
  panic_assert_failed(what, __FILE__, __LINE__);
}

}  // namespace

// --- Shared helpers -------------------------------------------------------------------

namespace nodelist {

bool valid_list_page(uint32_t page, const uint8_t* image) {
  const Node_ILIST h = Node_DecodeIlist(image);
  return Vol_CheckHeader(Vol_PAGE_ITEMLIST, page, &h.header) == 0 &&
         h.last_item <= Node_ILIST_NUMITEMS && h.first_item <= h.last_item &&
         h.num_items <= h.last_item - h.first_item;
}

ItemPage pin(Node* node, uint32_t page) {
  ItemPage p;
  Node_GetItemPage(node, page, &p.vec);
  p.h = Node_DecodeIlist(p.image());
  return p;
}

ItemPage pin_read(Node* node, uint32_t page) {
  ItemPage p;
  Node_GetItemPageReadOnly(node, page, &p.vec);
  p.h = Node_DecodeIlist(p.image());
  return p;
}

void release(Node* node, ItemPage* p, bool changed) {
  if (changed) {
    p->store();
    Node_ReleaseClusterDirty(node, 1, &p->vec);
  } else {
    Node_ReleaseCluster(node, 1, &p->vec);
  }
}

void record(Node* node, NodeList_LOG* ctx, int opcode, const void* data, size_t size,
            const char* what) {
  if (ctx == nullptr) return;
  if (NodeLog_AddToTagRecord(ctx->tag, node, opcode, data, size) != 0)
    panic_assert_failed(what, __FILE__, __LINE__);
}

void record_cluster(Node* node, NodeList_LOG* ctx, uint32_t first_page, uint32_t count, int op,
                    const char* what) {
  uint8_t rec[Node_CLUSTER_REC_SIZE];
  Node_EncodeClusterRec({first_page, static_cast<uint16_t>(count), static_cast<uint16_t>(op)},
                        rec);
  record(node, ctx, Node_OP_CLUSTER, rec, sizeof rec, what);
}

}  // namespace nodelist

void Node_RecordChainedPage(Node* node, uint32_t page, int op) {
  if (Node_TestFlag(Node_LOGNODE, node)) return;
  NodeList_LOG ctx;
  bool logged = NodeList_InitRootLog(NodeList_ID_POOL_FLIST, &ctx) == 0;
  if (logged) {
    uint8_t rec[Node_CLUSTER_REC_SIZE];
    Node_EncodeClusterRec({page, 1, static_cast<uint16_t>(op)}, rec);
    logged = NodeLog_AddToTagRecord(ctx.tag, node, Node_OP_CLUSTER, rec, sizeof rec) == 0 &&
             NodeList_FlushLog(&ctx) == 0;
    NodeList_ReleaseLog(&ctx);
  }
  if (!logged)
    debug_log('N', 0, "page 0x%x of node %s is not logged", page, Node_Name(node));
}

// --- Clusters -----------------------------------------------------------------------------

namespace {

// The used list's changes are logged as the used list's, whatever list the
// caller's context names for its own changes (a record file's put logs its
// free list in the same context): replayed under another list's head they
// would be lost.
class AsUsedList {
 public:
  explicit AsUsedList(NodeList_LOG* ctx) : ctx_(ctx), saved_(ctx != nullptr ? ctx->op : 0) {
    NodeList_SetOp(NodeList_ID_ULIST, ctx_);
  }
  ~AsUsedList() { NodeList_SetOp(saved_, ctx_); }
  AsUsedList(const AsUsedList&) = delete;
  AsUsedList& operator=(const AsUsedList&) = delete;

 private:
  NodeList_LOG* ctx_;
  uint32_t saved_;
};

}  // namespace

int Node_AllocCluster(Node* node, int count, Node_PGVEC* vec, int mode, NodeList_LOG* ctx) {
  count = cluster_count(node, count);
  char* bufs[Vol_MAXCLUST];
  uint32_t start = 0;
  if (buf_Alloc(node, count, &start, bufs) != 0) return -1;
  if (list_page_mode(mode)) buf_PutVector(count, bufs, BF_MRU, 0);
  for (int i = 0; i < count; ++i) vec[i] = {start + static_cast<uint32_t>(i), bufs[i]};
  if (!Node_TestFlag(Node_NO_ULIST, node)) {
    // Listed before it is recorded: a cluster that cannot be listed is
    // given back whole, and no record names pages that are free again.
    int head_dirty = 0;
    const Node_ITEM item{start, static_cast<uint32_t>(count)};
    AsUsedList as_ulist(ctx);
    if (Node_AddItem(node, &node->node.ulist, &item, &head_dirty, nullptr, ctx) != 0) {
      buf_FreePage(node, start, count);
      for (int i = 0; i < count; ++i) vec[i] = Node_PGVEC{};
      return -1;
    }
    if (head_dirty) Node_SetDirty(node);
  }
  record_cluster(node, ctx, start, static_cast<uint32_t>(count), Node_CLUSTER_ALLOC,
                 "Node_AllocCluster() failed on Tlog_AddToTagRecord()");
  return 0;
}

void Node_FreeCluster(Node* node, uint32_t start_page, Node_ITEM* item, NodeList_LOG* ctx) {
  ZENT_ASSERT(!Node_TestFlag(Node_NO_ULIST, node) && "!Node_TestFlag(Node_NO_ULIST, node)");
  int node_dirty = 0;
  item->id = start_page;
  item->count = 0;
  AsUsedList as_ulist(ctx);
  const int rc = Node_DeleteItem(node, &node->node.ulist, item, &node_dirty, ctx);
  ZENT_ASSERT(rc == 0 && "!Node_DeleteItem(node, &node->node.ulist, item, &node_dirty, rec)");
  if (node_dirty) Node_SetDirty(node);
  record_cluster(node, ctx, start_page, item->count, Node_CLUSTER_FREE,
                 "Node_FreeCluster() failed on Tlog_AddToTagRecord()");
}

void Node_DeleteCluster(Node* node, uint32_t start_page, NodeList_LOG* ctx) {
  Node_ITEM item;
  Node_FreeCluster(node, start_page, &item, ctx);
  buf_FreePage(node, start_page, static_cast<int>(item.count));
}

void Node_FreeClusterPages(Node* node, uint32_t start_page, int count, NodeList_LOG* ctx) {
  ZENT_ASSERT(Node_TestFlag(Node_NO_ULIST, node) && "Node_TestFlag(Node_NO_ULIST, node)");
  count = cluster_count(node, count);
  record_cluster(node, ctx, start_page, static_cast<uint32_t>(count), Node_CLUSTER_FREE,
                 "Node_FreeClusterPages() failed on Tlog_AddToTagRecord()");
  buf_FreePage(node, start_page, count);
}

int Node_CacheGetCluster(Node* node, uint32_t start_page, int count, Node_PGVEC* vec, int mode) {
  return get_cluster(node, start_page, count, vec, mode, "Node_CacheGetCluster");
}

int Node_CacheGetClusterReadOnly(Node* node, uint32_t start_page, int count, Node_PGVEC* vec,
                                 int mode) {
  return get_cluster(node, start_page, count, vec, mode, "Node_CacheGetClusterReadOnly");
}

int Node_GetCluster(Node* node, uint32_t start_page, int count, Node_PGVEC* vec, int mode) {
  return Node_CacheGetCluster(node, start_page, count, vec, mode);
}

int Node_GetClusterReadOnly(Node* node, uint32_t start_page, int count, Node_PGVEC* vec,
                            int mode) {
  return Node_CacheGetClusterReadOnly(node, start_page, count, vec, mode);
}

namespace {
void put_cluster(Node* node, int count, Node_PGVEC* vec, uint32_t set) {
  count = cluster_count(node, count);
  char* bufs[Vol_MAXCLUST];
  for (int i = 0; i < count; ++i) bufs[i] = vec[i].buf;
  buf_PutVector(count, bufs, set, BF_PIN);
}
}  // namespace

void Node_ReleaseCluster(Node* node, int count, Node_PGVEC* vec) {
  put_cluster(node, count, vec, 0);
}

void Node_ReleaseClusterDirty(Node* node, int count, Node_PGVEC* vec) {
  put_cluster(node, count, vec,
              BF_DIRTY | (Node_TestFlag(Node_SYSPOOL, node) ? BF_WRITE_NOW : 0u));
}

void Node_SyncPage(Node* node, uint32_t page, int count) { buf_Sync_page(node, page, count); }
void Node_SyncPageDurably(Node* node, uint32_t page, int count) {
  buf_Sync_page(node, page, count);
  Vol_SyncFile(Vol_VolumeOf(page), Vol_TIO_SYNC);
}
void Node_FreePages(Node* node, uint32_t page, int count) { buf_FreePage(node, page, count); }
void Node_FreePagesDelayed(Node* node, uint32_t page, int count) {
  buf_FreePageDelayed(node, page, count);
}

// --- List pages ----------------------------------------------------------------------------

void Node_GetItemPage(Node* node, uint32_t page, Node_PGVEC* vec) {
  if (Node_CacheGetCluster(node, page, 1, vec, list_mode(node)) != 0)
    ZENT_ASSERT(!"Node_GetItemPage() failed on Node_CacheGetCluster()");
  check_header(node, *vec, "Node_GetItemPage", false);
}

void Node_GetItemPageReadOnly(Node* node, uint32_t page, Node_PGVEC* vec) {
  if (Node_CacheGetClusterReadOnly(node, page, 1, vec, list_mode(node)) != 0)
    ZENT_ASSERT(!"Node_GetItemPageReadOnly() failed on Node_CacheGetClusterReadOnly()");
  check_header(node, *vec, "Node_GetItemPageReadOnly", true);
}
