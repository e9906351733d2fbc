// btree_restore.cpp - renumbering of a B-tree page restored from an archive:
// every page number it holds (its own, its neighbours, its children, and
// for the first cluster the meta data's) goes through the restore's map of
// archived to new cluster addresses.
//
// The page comes from an archive file: its layout is checked before any
// number in it is read, and every number is mapped before anything is
// written, so a failure leaves page and meta data as they were.
//
// Context: the server thread, in the archive reader's task, with the node
// referenced by the reader. No suspension, no allocation.
#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree_internal.h"

namespace {

// Which reference a missing number was, as the failure message says.
enum { REF_META3 = 1, REF_ROOT = 2, REF_PREV = 3, REF_NEXT = 4, REF_CHILD = 5 };

int map_ref(Node* node, btree_MapClusterFn map, uint32_t archived, int which, uint32_t cluster_idx,
            uint32_t* out) {
  if (archived == 0) {
    *out = 0;
    return 0;
  }
  *out = map(archived);
  if (*out != 0) return 0;
  debug_log('B', 0, "btree_RestoreCluster(node=%s) failed (%d): cluster %u not found in hash (cluster_idx=%u)",
            Node_Name(node), which, archived, cluster_idx);
  BT_ERROR(ERR_SEV_E, BT_E_PAGE);
  return -1;
}

}  // namespace

int btree_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                         uint32_t cluster_idx, btree_MapClusterFn map) {
  ZENT_ASSERT(node != nullptr && count > 0 && pages != nullptr && page_addr != 0 &&
              map != nullptr && "btree_RestoreCluster arguments");
  if (count != 1) {
    debug_log('B', 0, "btree_RestoreCluster(node=%s) failed: cluster size is %d (expected: 1)",
              Node_Name(node), count);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  if (Node_RefCount(node) <= 0 || Node_GetMetaSize(node) == 0) {
    debug_log('B', 0, "btree_RestoreCluster(node=%s) failed: meta data does not exist",
              Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  auto* meta = static_cast<uint8_t*>(Node_GetMetaData(node));
  btree_META m;
  if (btree_DecodeMeta(meta, Node_GetMetaSize(node), &m) != 0 || m.magic != BTMAGIC ||
      m.version != BTVERSION || m.psize != Vol_PAGESIZE) {
    debug_log('B', 0, "btree_RestoreCluster(node=%s) failed: invalid meta data header",
              Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  uint8_t* p = pages[0];
  const char* why = nullptr;
  if (btree_CheckPageLayout(p, &why) != 0) {
    debug_log('B', 0, "btree_RestoreCluster(node=%s) failed: page %u is no B-tree page (%s)",
              Node_Name(node), page_addr, why);
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  uint32_t meta3 = 0;
  uint32_t root = 0;
  if (cluster_idx == 0 &&
      (map_ref(node, map, m.reserved_pgno, REF_META3, cluster_idx, &meta3) != 0 ||
       map_ref(node, map, m.root, REF_ROOT, cluster_idx, &root) != 0))
    return -1;
  uint32_t prev = 0;
  uint32_t next = 0;
  if (map_ref(node, map, bt_prev(p), REF_PREV, cluster_idx, &prev) != 0 ||
      map_ref(node, map, bt_next(p), REF_NEXT, cluster_idx, &next) != 0)
    return -1;
  const uint32_t n = bt_nent(p);
  if (!bt_is_leaf(p)) {
    uint32_t child = 0;
    for (uint32_t i = 0; i < n; ++i)
      if (map_ref(node, map, bt_e_word2(p, bt_slot(p, i)), REF_CHILD, cluster_idx, &child) != 0)
        return -1;
  }
  // Every number is known: now rewrite.
  if (cluster_idx == 0) {
    le_put32(meta + 12, meta3);  // word 3
    btree_SetMetaRoot(meta, root);
    Node_SetMetaDirty(node);
  }
  le_put32(p, page_addr);
  bt_set_prev(p, prev);
  bt_set_next(p, next);
  if (!bt_is_leaf(p)) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t off = bt_slot(p, i);
      const uint32_t child = bt_e_word2(p, off);
      le_put32(p + off + 4, child == 0 ? 0 : map(child));
    }
  }
  return 0;
}

int btree_RestoreMeta(Node* node, uint8_t* meta, uint32_t size, uint32_t clusters) {
  btree_META m;
  if (btree_DecodeMeta(meta, size, &m) != 0 || m.magic != BTMAGIC || m.version != BTVERSION ||
      m.psize != Vol_PAGESIZE) {
    debug_log('B', 0, "btree_RestoreMeta(node=%s) failed: invalid meta data header", Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  if (clusters == 0) {
    debug_log('B', 0, "btree_RestoreMeta(node=%s) failed: no cluster, so no root page", Node_Name(node));
    BT_ERROR(ERR_SEV_E, BT_E_PAGE);
    return -1;
  }
  return 0;
}
