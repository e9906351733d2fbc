// node_usecheck.cpp - the volume free lists checked against what the data
// nodes list (node_usecheck.h). List pages are read through the cache (the
// replay's latest) but not through its checked readers, which would stop
// the server at a damaged one.
#include "storage/node_usecheck.h"

#include <unordered_set>

#include "base/debug_log.h"
#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/node_format.h"
#include "storage/node_items_page.h"
#include "storage/volume_set.h"

namespace {

bool page_free(uint32_t page) {
  const VOLUME* v = Vol_VolumeOf(page);
  uint32_t bit = 0;
  const Vol_FLMEM* fl = v != nullptr ? Vol_FlistFor(v, PAGE_NUMBER(page), &bit) : nullptr;
  return fl != nullptr && Vol_FlistIsFree(fl, bit) != 0;
}

void claim(Node* node, uint32_t page, uint32_t* marked) {
  if (!page_free(page)) return;
  debug_log('N', 0,
            "NOTE: page 0x%x of node %s is marked free in the volume free list - marked used", page,
            Node_Name(node));
  Vol_MarkPageUsed(page, 1);
  ++*marked;
}

int check_node(Node* node, void* context) {
  auto* marked = static_cast<uint32_t*>(context);
  if (Node_TestFlag(Node_NO_ULIST, node)) return 0;
  std::unordered_set<uint32_t> seen;
  for (uint32_t page = node->node.ulist.head; page != 0;) {
    Node_PGVEC v;
    if (!Node_PageInSet(page) || !seen.insert(page).second ||
        Node_CacheGetClusterReadOnly(node, page, 1, &v, Node_MODE_LIST) != 0) {
      debug_log('N', 0, "Node_CheckUsedPages(node=%s): used-cluster list damaged at page 0x%x",
                Node_Name(node), page);
      return 0;
    }
    const auto* image = reinterpret_cast<const uint8_t*>(v.buf);
    const bool valid = nodelist::valid_list_page(page, image);
    const Node_ILIST h = Node_DecodeIlist(image);
    if (valid) {
      claim(node, page, marked);
      for (uint32_t i = h.first_item; i < h.last_item; ++i) {
        const Node_ITEM item = Node_GetItem(image, static_cast<int>(i));
        if (item.id == 0 || item.count < 1 || item.count > Vol_MAXCLUST) continue;
        for (uint32_t k = 0; k < item.count; ++k)
          if (Node_PageInSet(item.id + k)) claim(node, item.id + k, marked);
      }
    }
    Node_ReleaseCluster(node, 1, &v);
    if (!valid) {
      debug_log('N', 0, "Node_CheckUsedPages(node=%s): used-cluster list damaged at page 0x%x",
                Node_Name(node), page);
      return 0;
    }
    page = h.next_page;
  }
  return 0;
}

}  // namespace

int Node_CheckUsedPages() {
  uint32_t marked = 0;
  if (Node_VisitById(0, check_node, &marked) != 0) return -1;
  if (marked != 0)
    debug_log('N', 0, "NOTE: %u page(s) the nodes use were marked free in the volume free list",
              marked);
  return 0;
}
