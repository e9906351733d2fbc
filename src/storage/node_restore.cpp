// node_restore.cpp - restoring node blocks and the cluster map (see
// node_restore.h).
//
// Owners: the restore semaphore, the cluster map and the table of restore
// functions are this file's, process-wide; the map and the node being
// restored belong to the one restore the semaphore lets run. A node is
// restored under a reference of its own (so its meta data copy exists for
// the restore functions) that is given back when its block ends.
//
// Everything read from the archive is checked before it is used: sizes in
// 64 bits against exactly what their tag must hold, counts and page counts
// against their limits before anything is allocated, and each cluster tag
// against its used-list entry, so that no tag can write pages the node
// does not own.
#include "storage/node_restore.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "storage/archive_writer.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/node_cluster.h"
#include "storage/node_flist.h"
#include "storage/node_tlog_seams.h"
#include "storage/page_io.h"
#include "storage/pool_format.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

namespace {

// --- The cluster map ----------------------------------------------------------------------

struct MapEntry {
  uint32_t archived;
  uint32_t fresh;
  uint8_t pages;
  bool filled;  // its cluster tag has been restored
};

struct ClusterMap {
  int size = 0;  // buckets; set by the first restore and kept
  std::vector<std::vector<MapEntry>> buckets;
  size_t entries = 0;
};
ClusterMap g_map;

bool is_prime(int n) {
  if (n < 4) return true;  // 1, 2 and 3 count as prime
  if (n % 2 == 0) return false;
  for (int d = 3; d * d <= n; d += 2)
    if (n % d == 0) return false;
  return true;
}

std::vector<MapEntry>& bucket_of(uint32_t archived) {
  return g_map.buckets[(archived & 0xFFFFu) % static_cast<uint32_t>(g_map.size)];
}

void map_open() {
  if (g_map.size == 0) g_map.size = hash_init(1000);
  if (g_map.buckets.empty()) g_map.buckets.resize(static_cast<size_t>(g_map.size));
}

MapEntry* map_find(uint32_t archived) {
  if (g_map.buckets.empty() || archived == 0) return nullptr;
  for (MapEntry& e : bucket_of(archived))
    if (e.archived == archived) return &e;
  return nullptr;
}

void map_insert(uint32_t archived, uint32_t fresh, uint8_t pages) {
  bucket_of(archived).push_back(MapEntry{archived, fresh, pages, false});
  ++g_map.entries;
}

void map_clear() {
  if (g_map.entries == 0) return;
  for (auto& b : g_map.buckets) b.clear();
  g_map.entries = 0;
}

void map_free() {
  std::vector<std::vector<MapEntry>>().swap(g_map.buckets);
  g_map.entries = 0;
}

// --- Restore functions and the semaphore ----------------------------------------------------

struct TypeFn {
  uint16_t type;
  Node_RestoreClusterFn fn;
  Node_RestoreMetaFn meta_fn;
};
// The types whose pages hold cluster addresses; each layer fills its own
// when it registers.
TypeFn g_fns[] = {{NodeType_BT, nullptr, nullptr},
                  {NodeType_DB, nullptr, nullptr},
                  {NodeType_ST, nullptr, nullptr},
                  {NodeType_FR, nullptr, nullptr}};
Node_RestoreCreatedFn g_created_fn = nullptr;

TypeFn* type_entry(uint16_t type) {
  for (TypeFn& t : g_fns)
    if (t.type == type) return &t;
  return nullptr;
}

Semaphore g_sem;
bool g_sem_ready = false;

// --- One node -----------------------------------------------------------------------------

// Tags of a node block in the order they must come.
enum { RANK_DESC = 0, RANK_META, RANK_FLIST, RANK_ULIST, RANK_CLUSTER };

struct Restoring {
  Node* node = nullptr;
  bool referenced = false;
  // Its creation is recorded in the caller's transaction, whose rollback
  // deletes it: deleting it here as well would leave that record naming a
  // node that is gone.
  bool in_tx = false;
  Node_ARCHIVE_DESC desc;
  int rank = RANK_DESC;
  bool have_meta = false;
  bool have_ulist = false;
  uint32_t clusters = 0;  // cluster tags restored
  std::vector<Node_ADDR> flist;
  bool have_flist = false;
};

char type_char(uint16_t type, int which) {
  const unsigned c = which == 0 ? type >> 8 : type & 0xFFu;
  return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
}

int restore_descriptor(Archive_STREAM* stream, const Node_TAGHEAD* head, Restoring* r, Node* tx) {
  if (head->size != Node_ARCHIVE_DESC_SIZE)
    return Node_ArchiveRefuse(
        "Node_RestoreNodeDescriptor() failed: unexpected tag size %u (expected: %u)", head->size,
        static_cast<unsigned>(Node_ARCHIVE_DESC_SIZE));
  uint8_t b[Node_ARCHIVE_DESC_SIZE];
  if (Node_ArchiveRead(stream, b, sizeof b) != 0) return -1;
  Node_ARCHIVE_DESC& d = r->desc;
  d = Node_DecodeArchiveDesc(b);
  const bool pool = (d.flags & (1u << Node_POOLNODE)) != 0;
  switch (Node_CheckDescFields(d.node_type, d.cluster_size, d.flags)) {
    case Node_DESC_OK: break;
    case Node_DESC_BAD_CLUSTER_SIZE:
      return Node_ArchiveRefuse(
          "Node_RestoreNodeDescriptor() failed: node %u has cluster size %u (expected: 1 to %d)",
          d.node_id, d.cluster_size, Vol_MAXCLUST);
    case Node_DESC_BAD_TYPE:
      return Node_ArchiveRefuse("Node_RestoreNodeDescriptor() failed: node %u has type 0x%04x",
                                d.node_id, d.node_type);
    case Node_DESC_BAD_FLAGS:
      return Node_ArchiveRefuse("Node_RestoreNodeDescriptor() failed: node %u has flags 0x%x",
                                d.node_id, d.flags);
    case Node_DESC_POOL_CLUSTER_SIZE:
      return Node_ArchiveRefuse(
          "Node_RestoreNodeDescriptor() failed: pool node %u has cluster size %u (expected: 1)",
          d.node_id, d.cluster_size);
  }
  if ((d.flags & (1u << Node_NO_ULIST)) != 0)
    return Node_ArchiveRefuse(
        "Node_RestoreNodeDescriptor() failed: node %u does not maintain list of used clusters",
        d.node_id);
  const TypeFn* t = type_entry(d.node_type);
  if (t != nullptr && t->fn == nullptr)
    return Node_ArchiveRefuse(
        "Node_RestoreNodeDescriptor() failed: no restore function for node type [%c%c]",
        type_char(d.node_type, 0), type_char(d.node_type, 1));
  Node* node = nullptr;
  {
    // Inside a transaction the node is the transaction's until it commits:
    // recovery deletes it when the commit never reached the log.
    Node_UncommittedScope pending(tx != nullptr);
    node = Node_Create(d.cluster_size);
  }
  if (node == nullptr)
    return Node_ArchiveRefuse("Node_RestoreNodeDescriptor() failed on Node_Create()");
  r->node = node;
  if (g_created_fn != nullptr && g_created_fn(node, tx) != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeDescriptor(node=%s) failed: creation not recorded",
                              Node_Name(node));
  r->in_tx = g_created_fn != nullptr && tx != nullptr;
  d.new_id = Node_GetId(node);
  if (d.node_type != 0) Node_SetType(node, d.node_type);
  // Of the archived flags only the pool bit describes the node; the others
  // belong to the archived node's root and run.
  if (pool) Node_SetFlag(Node_POOLNODE, node);
  node->node.flags &= ~(Node_RUNTIME_FLAGS & ~(1u << Node_DESC_CHANGED));
  node->node.min_block_size = d.min_block_size;
  node->node.avg_block_size = d.avg_block_size;
  node->node.reserved = d.reserved;
  Node_SetDirty(node);
  // Recovery must know the node's type before it replays the records of
  // its lists; the creation snapshot carried none.
  if (Node_Lock(node, __FILE__, __LINE__) != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeDescriptor(node=%s) failed on Node_Lock()",
                              Node_Name(node));
  const int logged = Node_WriteSnapshot(node);
  Node_Unlock(node);
  if (logged != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeDescriptor(node=%s) failed on Node_WriteSnapshot()",
                              Node_Name(node));
  debug_log('N', 3, "Node_RestoreNodeDescriptor() new_node=%s, genuine_id=%u", Node_Name(node),
            d.node_id);
  if (Node_Open(node) != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeDescriptor(node=%s) failed on Node_Open()",
                              Node_Name(node));
  r->referenced = true;
  return 0;
}

int restore_meta(Archive_STREAM* stream, const Node_TAGHEAD* head, Restoring* r) {
  Node* node = r->node;
  if (head->size < 1 || head->size > Pool_MAX_BLOCK_SIZE)
    return Node_ArchiveRefuse(
        "Node_RestoreNodeMetaData(node=%s) failed: unexpected tag size %u (expected: 1 to %u)",
        Node_Name(node), head->size, Pool_MAX_BLOCK_SIZE);
  std::vector<uint8_t> bytes;
  if (Node_ArchiveReadGrowing(stream, head->size, &bytes) != 0) return -1;
  // The node's type sees them first: refused meta data never become the
  // node's, so deleting the node cannot act on them.
  const TypeFn* t = type_entry(Node_GetType(node));
  if (t != nullptr && t->meta_fn != nullptr &&
      t->meta_fn(node, bytes.data(), head->size, r->desc.used_clusters) != 0)
    return Node_ArchiveRefuse(
        "Node_RestoreNodeMetaData(node=%s) failed on the meta-data check of node type [%c%c]",
        Node_Name(node), type_char(t->type, 0), type_char(t->type, 1));
  void* meta = Node_SetupMetaData(node, head->size);
  if (meta == nullptr)
    return Node_ArchiveRefuse("Node_RestoreNodeMetaData(node=%s) failed on Node_SetupMetaData()",
                              Node_Name(node));
  memcpy(meta, bytes.data(), head->size);
  Node_SetMetaDirty(node);
  if (Node_Lock(node, __FILE__, __LINE__) != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeMetaData(node=%s) failed on Node_Lock()",
                              Node_Name(node));
  Node_UpdateMetaData(node);
  // The meta data go into the log ahead of the list records the clusters
  // add: their replay reads them.
  const int logged = Node_WriteSnapshot(node);
  Node_Unlock(node);
  if (logged != 0)
    return Node_ArchiveRefuse("Node_RestoreNodeMetaData(node=%s) failed on Node_WriteSnapshot()",
                              Node_Name(node));
  return 0;
}

int restore_flist(Archive_STREAM* stream, const Node_TAGHEAD* head, Restoring* r) {
  static const char kFn[] = "Node_RestorePoolItemFreeList";
  Node* node = r->node;
  const uint32_t count = r->desc.flist_items;
  if (!Node_TestFlag(Node_POOLNODE, node))
    return Node_ArchiveRefuse("%s(node=%s) failed: header inconsistency (not a pool node)", kFn,
                              Node_Name(node));
  if (count == 0)
    return Node_ArchiveRefuse(
        "%s(node=%s) failed: header inconsistency (pool item free-list has been empty)", kFn,
        Node_Name(node));
  const uint64_t want = uint64_t{count} * Node_ADDR_SIZE;
  if (head->size != want)
    return Node_ArchiveRefuse("%s(node=%s) failed: unexpected tag size %u (expected: %llu)", kFn,
                              Node_Name(node), head->size, static_cast<unsigned long long>(want));
  // A free block takes a header at least: no more of them than that fit.
  const uint64_t room =
      uint64_t{r->desc.used_clusters} * Vol_MAXCLUST * Vol_PAGESIZE / Pool_HEADER_SIZE;
  if (count > room)
    return Node_ArchiveRefuse(
        "%s(node=%s) failed: header inconsistency (%u free-list items in %u clusters)", kFn,
        Node_Name(node), count, r->desc.used_clusters);
  std::vector<uint8_t> bytes;
  if (Node_ArchiveReadGrowing(stream, want, &bytes) != 0) return -1;
  r->flist.resize(count);
  for (uint32_t i = 0; i < count; ++i)
    r->flist[i] = Node_DecodeAddr(bytes.data() + size_t{i} * Node_ADDR_SIZE);
  return 0;
}

// A new cluster for one used-list entry, entered into the map.
int restore_ulist_entry(Restoring* r, const uint8_t* item, NodeList_LOG* ctx) {
  static const char kFn[] = "Node_RestoreUsedList";
  Node* node = r->node;
  const uint32_t archived = le_get32(item);
  const uint32_t pages = item[4];
  if (pages < 1 || pages > static_cast<uint32_t>(Vol_MAXCLUST))
    return Node_ArchiveRefuse("%s(node=%s) failed: cluster %u has %u pages (expected: 1 to %d)",
                              kFn, Node_Name(node), archived, pages, Vol_MAXCLUST);
  if (archived == 0 || uint64_t{archived} + pages - 1 > UINT32_MAX)
    return Node_ArchiveRefuse("%s(node=%s) failed: invalid cluster address %u", kFn,
                              Node_Name(node), archived);
  // Ranges that overlapped would map one address two ways.
  for (uint32_t p = 0; p < pages; ++p)
    if (Node_RestoreMapCluster(archived + p) != 0)
      return Node_ArchiveRefuse(
          "%s(node=%s) failed: archive inconsistency (cluster %u overlaps another one)", kFn,
          Node_Name(node), archived);
  Node_PGVEC vec[Vol_MAXCLUST];
  if (Node_AllocCluster(node, static_cast<int>(pages), vec, Node_MODE_DATA, ctx) != 0)
    return Node_ArchiveRefuse("%s(node=%s) failed on Node_AllocCluster(count=%u)", kFn,
                              Node_Name(node), pages);
  // The buffers hold whatever they held before; the cluster tag fills
  // them, and until then they must not carry another page's bytes.
  for (uint32_t i = 0; i < pages; ++i) memset(vec[i].buf, 0, Vol_PAGESIZE);
  Node_ReleaseClusterDirty(node, static_cast<int>(pages), vec);
  map_insert(archived, vec[0].page, static_cast<uint8_t>(pages));
  return 0;
}

int restore_ulist(Archive_STREAM* stream, const Node_TAGHEAD* head, Restoring* r) {
  static const char kFn[] = "Node_RestoreUsedList";
  Node* node = r->node;
  const uint32_t count = r->desc.used_clusters;
  if (count == 0)
    return Node_ArchiveRefuse(
        "Node_RestoreNode(node=%s) failed: header inconsistency (used-list specified although "
        "node has been empty)",
        Node_Name(node));
  const uint64_t want = uint64_t{count} * Node_ARCHIVE_ULIST_ITEM_SIZE;
  if (head->size != want)
    return Node_ArchiveRefuse("%s(node=%s) failed: unexpected tag size %u (expected: %llu)", kFn,
                              Node_Name(node), head->size, static_cast<unsigned long long>(want));
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_ULIST, &ctx) != 0)
    return Node_ArchiveRefuse("%s(node=%s) failed on NodeList_InitRootLog()", kFn,
                              Node_Name(node));
  // A page of list entries at a time: memory follows what is really there.
  constexpr uint32_t kPiece = 1019;
  uint8_t piece[kPiece * Node_ARCHIVE_ULIST_ITEM_SIZE];
  int rc = 0;
  for (uint32_t done = 0; done < count && rc == 0;) {
    const uint32_t n = count - done < kPiece ? count - done : kPiece;
    rc = Node_ArchiveRead(stream, piece, size_t{n} * Node_ARCHIVE_ULIST_ITEM_SIZE);
    for (uint32_t i = 0; i < n && rc == 0; ++i)
      rc = restore_ulist_entry(r, piece + size_t{i} * Node_ARCHIVE_ULIST_ITEM_SIZE, &ctx);
    done += n;
  }
  // The clusters allocated so far are recorded either way: a failed
  // restore deletes the node, which gives them back.
  if (NodeList_FlushLog(&ctx) != 0)
    panic_assert_failed("Node_RestoreUsedList() failed on NodeList_FlushLog()", __FILE__, __LINE__);
  NodeList_ReleaseLog(&ctx);
  if (rc != 0) return -1;
  debug_log('N', 3, "%s(node=%s) restored %u cluster address%s", kFn, Node_Name(node), count,
            count == 1 ? "" : "es");
  return 0;
}

int restore_cluster(Archive_STREAM* stream, const Node_TAGHEAD* head, Restoring* r) {
  static const char kFn[] = "Node_RestoreNodeData";
  Node* node = r->node;
  if (head->size < 4 + Vol_PAGESIZE)
    return Node_ArchiveRefuse("%s(node=%s) failed: unexpected tag size %u (at least expected: %u)",
                              kFn, Node_Name(node), head->size, 4 + Vol_PAGESIZE);
  const uint32_t remainder = (head->size - 4) % Vol_PAGESIZE;
  if (remainder != 0)
    return Node_ArchiveRefuse("%s(node=%s) failed: inconsistent cluster size %u (page remainder: %u)",
                              kFn, Node_Name(node), head->size, remainder);
  const uint32_t pages = (head->size - 4) / Vol_PAGESIZE;
  uint8_t a[4];
  if (Node_ArchiveRead(stream, a, sizeof a) != 0) return -1;
  const uint32_t archived = le_get32(a);
  MapEntry* e = map_find(archived);
  if (e == nullptr)
    return Node_ArchiveRefuse("%s(node=%s) failed: cluster %u not found in hash", kFn,
                              Node_Name(node), archived);
  if (e->filled)
    return Node_ArchiveRefuse(
        "%s(node=%s) failed: archive inconsistency (cluster %u occurs more than once)", kFn,
        Node_Name(node), archived);
  if (pages != e->pages)
    return Node_ArchiveRefuse(
        "%s(node=%s) failed: cluster %u has %u pages in its tag, %u in the used list", kFn,
        Node_Name(node), archived, pages, e->pages);
  char* bufs[Vol_MAXCLUST];
  if (buf_Get(node, e->fresh, static_cast<int>(pages), BF_PIN | BF_EMPTY, bufs) != 0)
    return Node_ArchiveRefuse("%s(node=%s) failed on buf_Get(page=%u, count=%d)", kFn,
                              Node_Name(node), e->fresh, static_cast<int>(pages));
  Node_PGVEC vec[Vol_MAXCLUST];
  uint8_t* bytes[Vol_MAXCLUST];
  for (uint32_t i = 0; i < pages; ++i) {
    vec[i] = Node_PGVEC{e->fresh + i, bufs[i]};
    bytes[i] = reinterpret_cast<uint8_t*>(bufs[i]);
  }
  int rc = 0;
  for (uint32_t i = 0; i < pages && rc == 0; ++i)
    rc = Node_ArchiveRead(stream, bytes[i], Vol_PAGESIZE);
  const uint16_t type = Node_GetType(node);
  const TypeFn* t = type_entry(type);
  if (rc == 0 && t != nullptr &&
      t->fn(node, static_cast<int>(pages), bytes, e->fresh, r->clusters, Node_RestoreMapCluster) !=
          0)
    rc = Node_ArchiveRefuse("%s(node=%s) failed on the restore function of node type [%c%c]",
                            kFn, Node_Name(node), type_char(type, 0), type_char(type, 1));
  if (rc != 0) {
    Node_ReleaseCluster(node, static_cast<int>(pages), vec);
    return -1;
  }
  Node_ReleaseClusterDirty(node, static_cast<int>(pages), vec);
  e->filled = true;
  ++r->clusters;
  return 0;
}

// After END 20: every cluster restored, the free list put back.
int finish_node(Restoring* r) {
  Node* node = r->node;
  if (r->clusters < r->desc.used_clusters)
    return Node_ArchiveRefuse(
        "Node_RestoreNode(node=%s) failed: header inconsistency (less cluster in archive than "
        "specified)",
        Node_Name(node));
  const TypeFn* t = type_entry(Node_GetType(node));
  if (t != nullptr && t->meta_fn != nullptr && !r->have_meta)
    return Node_ArchiveRefuse("Node_RestoreNode(node=%s) failed: meta data missing",
                              Node_Name(node));
  if (r->desc.flist_items != 0 && !r->have_flist)
    return Node_ArchiveRefuse(
        "Node_RestoreNode(node=%s) failed: header inconsistency (pool item free-list missing)",
        Node_Name(node));
  for (Node_ADDR item : r->flist) {
    const MapEntry* e = map_find(item.cluster);
    if (e == nullptr)
      return Node_ArchiveRefuse("Node_RestoreNode(node=%s) failed: cluster %u not found in hash",
                                Node_Name(node), item.cluster);
    if (item.size == 0 || item.offset < Pool_CLUSTER_HEAD_SIZE ||
        uint64_t{item.offset} + Pool_HEADER_SIZE + item.size > uint64_t{e->pages} * Vol_PAGESIZE)
      return Node_ArchiveRefuse(
          "Node_RestoreNode(node=%s) failed: free-list item {%u, %u, %u} lies outside its cluster",
          Node_Name(node), item.cluster, item.offset, item.size);
    item.cluster = e->fresh;
    if (Node_AddItemToFlist(node, &item) != 0)
      return Node_ArchiveRefuse("Node_RestoreNode(node=%s) failed on Node_AddItemToFlist()",
                                Node_Name(node));
  }
  return 0;
}

int refuse_order(const Restoring* r, int type) {
  return Node_ArchiveRefuse(
      "Node_RestoreNode(node=%s) failed: archive inconsistency (tag order mismatch: %s)",
      Node_Name(r->node), Node_TagName(type));
}

// The meta data, free-list and used-list tags: each once, in this order.
int restore_list_tag(Archive_STREAM* stream, const Node_TAGHEAD* h, Restoring* r) {
  struct Kind {
    uint8_t type;
    int rank;
    const char* what;
    int (*restore)(Archive_STREAM*, const Node_TAGHEAD*, Restoring*);
  };
  static const Kind kKinds[] = {
      {Node_ATT_NODE_META, RANK_META, "meta data tag", restore_meta},
      {Node_ATT_NODE_FLIST, RANK_FLIST, "pool item free-list tag", restore_flist},
      {Node_ATT_NODE_ULIST, RANK_ULIST, "used-list tag", restore_ulist},
  };
  const Kind* k = nullptr;
  for (const Kind& x : kKinds)
    if (x.type == h->type) k = &x;
  if (r->rank == k->rank)
    return Node_ArchiveRefuse(
        "Node_RestoreNode(node=%s) failed: archive inconsistency (more than one %s)",
        Node_Name(r->node), k->what);
  if (r->rank > k->rank) return refuse_order(r, h->type);
  r->rank = k->rank;
  if (k->rank == RANK_META) r->have_meta = true;
  if (k->rank == RANK_FLIST) r->have_flist = true;
  if (k->rank == RANK_ULIST) r->have_ulist = true;
  return k->restore(stream, h, r);
}

// The tags of one node block after its descriptor, up to END 20.
int restore_tags(Archive_STREAM* stream, Restoring* r) {
  for (;;) {
    Node_TAGHEAD h;
    if (Node_RestoreTagHead(stream, &h) != 0) return -1;
    int rc = 0;
    switch (h.type) {
      case Node_ATT_END: {
        uint8_t block = 0;
        if (Node_RestoreBlockTag(stream, &h, &block) != 0) return -1;
        if (block != Node_ATT_NODE)
          return Node_ArchiveRefuse(
              "Node_RestoreNode() failed: unexpected tag type #%d (%s), expected: %d "
              "(Node_ATT_NODE)",
              block, Node_TagName(block), Node_ATT_NODE);
        return 0;
      }
      case Node_ATT_NODE_META:
      case Node_ATT_NODE_FLIST:
      case Node_ATT_NODE_ULIST:
        rc = restore_list_tag(stream, &h, r);
        break;
      case Node_ATT_NODE_CLUSTER:
        if (!r->have_ulist)
          return Node_ArchiveRefuse(
              "Node_RestoreNode(node=%s) failed: archive inconsistency (tag order mismatch: "
              "missing Node_ATT_NODE_ULIST before Node_ATT_NODE_CLUSTER)",
              Node_Name(r->node));
        if (r->clusters >= r->desc.used_clusters)
          return Node_ArchiveRefuse(
              "Node_RestoreNode(node=%s) failed: header inconsistency (more cluster in archive "
              "than specified)",
              Node_Name(r->node));
        r->rank = RANK_CLUSTER;
        rc = restore_cluster(stream, &h, r);
        break;
      default:
        return Node_ArchiveRefuse("Node_RestoreNode() failed: unexpected tag type #%d (%s)",
                                  h.type, Node_TagName(h.type));
    }
    if (rc != 0) return -1;
  }
}

// Gives back what a failed node took; the status stays the failure's.
void abandon(Restoring* r) {
  const ErrorStatus status = get_error();
  map_clear();
  if (r->referenced) Node_Close(r->node);
  if (r->node != nullptr && !r->in_tx && Node_Delete(r->node) != 0)
    debug_log('N', 0, "Node_RestoreNode(node=%s) failed on Node_Delete()", Node_Name(r->node));
  thread_set_error(status);
}

// One node block whose BEGIN 20 has been read.
Node* restore_node(Archive_STREAM* stream, uint32_t* archived_id, Node* tx) {
  map_open();
  Restoring r;
  Node_TAGHEAD h;
  int rc = Node_RestoreTagHead(stream, &h);
  if (rc == 0 && h.type != Node_ATT_NODE_DESC)
    rc = Node_ArchiveRefuse(
        "Node_RestoreNode() failed: unexpected tag type #%d (%s), expected: #%d "
        "(Node_ATT_NODE_DESC)",
        h.type, Node_TagName(h.type), Node_ATT_NODE_DESC);
  if (rc == 0) rc = restore_descriptor(stream, &h, &r, tx);
  if (rc == 0) rc = restore_tags(stream, &r);
  if (rc == 0) rc = finish_node(&r);
  if (rc != 0) {
    abandon(&r);
    return nullptr;
  }
  map_clear();
  Node_Close(r.node);
  *archived_id = r.desc.node_id;
  debug_log('N', 3, "Node_RestoreNode() restored node %s", Node_Name(r.node));
  return r.node;
}

int restore_all(Archive_STREAM* stream, const Node_TAGHEAD* first, uint8_t block,
                std::vector<Node_RESTORED>* out, Node* tx) {
  uint32_t id = 0;
  Node* node = Node_RestoreNode(stream, first, block, &id, tx);
  if (node == nullptr) return -1;
  out->push_back(Node_RESTORED{id, node});
  for (;;) {
    Node_TAGHEAD h;
    if (Node_RestoreTagHead(stream, &h) != 0) return -1;
    if (h.type == Node_ATT_EOF) {
      if (h.size != 0)
        return Node_ArchiveRefuse(
            "Node_RestoreAllNodes() failed: unexpected tag size %u (expected: 0)", h.size);
      return 0;
    }
    if (h.type == Node_ATT_INFO) {
      std::string text;
      if (Node_RestoreInfo(stream, &h, &text) != 0) return -1;
      continue;
    }
    if (h.type != Node_ATT_BEGIN)
      return Node_ArchiveRefuse("Node_RestoreAllNodes() failed: unexpected tag type #%d (%s)",
                                h.type, Node_TagName(h.type));
    if (Node_RestoreBlockTag(stream, &h, &block) != 0) return -1;
    if (block != Node_ATT_NODE)
      return Node_ArchiveRefuse(
          "Node_RestoreAllNodes() failed: unexpected block type #%d (%s), expected: #%d "
          "(Node_ATT_NODE)",
          block, Node_TagName(block), Node_ATT_NODE);
    node = restore_node(stream, &id, tx);
    if (node == nullptr) return -1;
    out->push_back(Node_RESTORED{id, node});
  }
}

}  // namespace

int hash_init(int entries) {
  debug_log('N', 3, "hash_init(ntable_entries=%d)", entries);
  int size = entries > 0 ? 2 * entries - 1 : 1;
  if (size > 65535) size = 65535;
  while (!is_prime(size)) --size;
  debug_log('N', 3, " hash_size = %d", size);
  return size;
}

uint32_t Node_RestoreMapCluster(uint32_t archived) {
  if (archived == 0) return 0;
  for (uint32_t k = 0; k < static_cast<uint32_t>(Vol_MAXCLUST) && k < archived; ++k) {
    const MapEntry* e = map_find(archived - k);
    if (e != nullptr) return e->pages > k ? e->fresh + k : 0;
  }
  return 0;
}

void Node_SetRestoreClusterFn(uint16_t node_type, Node_RestoreClusterFn fn) {
  TypeFn* t = type_entry(node_type);
  ZENT_ASSERT(t != nullptr && "Node_SetRestoreClusterFn: not a type whose pages hold addresses");
  t->fn = fn;
}

void Node_SetRestoreMetaFn(uint16_t node_type, Node_RestoreMetaFn fn) {
  TypeFn* t = type_entry(node_type);
  ZENT_ASSERT(t != nullptr && "Node_SetRestoreMetaFn: not a type whose pages hold addresses");
  t->meta_fn = fn;
}

void Node_SetRestoreCreatedFn(Node_RestoreCreatedFn fn) { g_created_fn = fn; }

Node* Node_RestoreNode(Archive_STREAM* stream, const Node_TAGHEAD* head, uint8_t block,
                       uint32_t* archived_id, Node* tx) {
  if (head->type != Node_ATT_BEGIN || block != Node_ATT_NODE) {
    Node_ArchiveRefuse(
        "Node_RestoreNode() failed: unexpected tag type #%d (%s), expected: %d (Node_ATT_NODE)",
        head->type, Node_TagName(head->type), Node_ATT_NODE);
    return nullptr;
  }
  return restore_node(stream, archived_id, tx);
}

int Node_RestoreAllNodes(Archive_STREAM* stream, const Node_TAGHEAD* first, uint8_t block,
                         std::vector<Node_RESTORED>* out, Node* tx) {
  out->clear();
  if (!g_sem_ready) {
    g_sem = Semaphore{};
    g_sem.count = 1;
    g_sem_ready = true;
  }
  if (down(&g_sem, __FILE__, __LINE__) != 0) {
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_LOCK);
    return -1;
  }
  debug_log('N', 3, "Node_RestoreAllNodes()");
  map_open();
  const uint32_t refused = Vol_RefusedWrites();
  int rc = restore_all(stream, first, block, out, tx);
  map_free();
  // No log record holds the restored clusters: they are on disk before
  // anything may commit the nodes.
  if (rc == 0) {
    for (const Node_RESTORED& n : *out) buf_Sync(n.node, 0);
    rc = Vol_SyncDataFiles(refused);
  }
  if (rc != 0 && tx == nullptr) {
    // No transaction will roll the finished nodes back: delete them here.
    const ErrorStatus status = get_error();
    for (const Node_RESTORED& n : *out)
      if (Node_Delete(n.node) != 0)
        debug_log('N', 0, "Node_RestoreAllNodes() failed on Node_Delete(node=%s)",
                  Node_Name(n.node));
    thread_set_error(status);
  }
  up(&g_sem);
  if (rc != 0) {
    out->clear();
    return -1;
  }
  debug_log('N', 3, "Node_RestoreAllNodes() restored %d nodes", static_cast<int>(out->size()));
  return 0;
}
