// node_item_iter.cpp - walking item lists forwards and backwards, seeking
// the n-th item, and the same over a node's used-cluster list.
//
// An iterator remembers the list timestamp it saw; pages come and go only
// with a new timestamp, so Node_ItemIterValid tells the caller whether the
// page it stands on may be gone. Items added or deleted on a page that
// stays leave the iterator valid: the walk goes on from its slot and sees
// the page as it is now.
//
// Context: the server thread, under the node's meta lock, taken here. Only
// the cache may suspend the task (a page read).
#include "base/panic.h"
#include "storage/node_items_page.h"

using namespace nodelist;

namespace {

void set_at(Node_ITER* iter, uint32_t page, uint32_t idx, Node_ITEM* out, const Node_ITEM& it) {
  iter->page = page;
  iter->curr_item = static_cast<int32_t>(idx);
  *out = it;
}

// The first used slot at or after (page, idx), following next_page.
int scan_forward(Node* node, uint32_t page, uint32_t idx, Node_ITEM* item, Node_ITER* iter) {
  while (page != 0) {
    ItemPage p = pin_read(node, page);
    for (idx = idx < p.h.first_item ? p.h.first_item : idx; idx < p.h.last_item; ++idx) {
      const Node_ITEM it = p.item(idx);
      if (it.id == 0) continue;
      set_at(iter, page, idx, item, it);
      release(node, &p, false);
      return 0;
    }
    page = p.h.next_page;
    release(node, &p, false);
    idx = 0;
  }
  return 1;
}

// The last used slot at or before (page, idx), following prev_page; idx
// past the page's slots starts from its last one.
int scan_backward(Node* node, uint32_t page, int64_t idx, Node_ITEM* item, Node_ITER* iter) {
  while (page != 0) {
    ItemPage p = pin_read(node, page);
    if (idx < 0 || idx >= static_cast<int64_t>(p.h.last_item))
      idx = static_cast<int64_t>(p.h.last_item) - 1;
    for (; idx >= static_cast<int64_t>(p.h.first_item); --idx) {
      const Node_ITEM it = p.item(static_cast<uint32_t>(idx));
      if (it.id == 0) continue;
      set_at(iter, page, static_cast<uint32_t>(idx), item, it);
      release(node, &p, false);
      return 0;
    }
    page = p.h.prev_page;
    release(node, &p, false);
    idx = -1;
  }
  return 1;
}

template <typename Fn>
int locked(Node* node, Fn fn) {
  Node_MetaLock(node, __FILE__, __LINE__);
  const int rc = fn();
  Node_MetaUnlock(node);
  return rc;
}

void check_iter(const Node_IHEAD* ihead, const Node_ITER* iter) {
  ZENT_ASSERT(iter->ihead == ihead && "iiter->ihead == ihead");
}

// A cluster iterator's answer from an item one.
int cluster_of(int rc, const Node_ITEM& item, uint32_t* start_page, uint32_t* page_count) {
  if (rc != 0) return rc;
  *start_page = item.id;
  if (page_count != nullptr) *page_count = item.count;
  return 0;
}

}  // namespace

void Node_InitItemIter(Node*, const Node_IHEAD* ihead, Node_ITER* iter) {
  *iter = Node_ITER{ihead, 0, -1, ihead->timestamp};
}

int Node_ItemIterValid(Node*, const Node_ITER* iter) {
  return iter->ihead != nullptr && iter->timestamp == iter->ihead->timestamp ? 1 : 0;
}

int Node_FirstItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter) {
  Node_InitItemIter(node, ihead, iter);
  return locked(node, [&] { return scan_forward(node, ihead->head, 0, item, iter); });
}

int Node_NextItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter) {
  check_iter(ihead, iter);
  if (iter->page == 0) return Node_FirstItem(node, ihead, item, iter);
  return locked(node, [&] {
    return scan_forward(node, iter->page, static_cast<uint32_t>(iter->curr_item + 1), item,
                        iter);
  });
}

int Node_PrevItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter) {
  check_iter(ihead, iter);
  return locked(node, [&] {
    if (iter->page == 0) return scan_backward(node, ihead->tail, -1, item, iter);
    if (iter->curr_item <= 0) {
      // Nothing before it on its page: from the previous page's end.
      ItemPage p = pin_read(node, iter->page);
      const uint32_t prev = p.h.prev_page;
      release(node, &p, false);
      return scan_backward(node, prev, -1, item, iter);
    }
    return scan_backward(node, iter->page, iter->curr_item - 1, item, iter);
  });
}

int Node_SeekItem(Node* node, const Node_IHEAD* ihead, uint32_t n, Node_ITEM* item,
                  Node_ITER* iter) {
  Node_InitItemIter(node, ihead, iter);
  return locked(node, [&] {
    for (uint32_t page = ihead->head; page != 0;) {
      ItemPage p = pin_read(node, page);
      if (n >= p.h.num_items) {
        n -= p.h.num_items;
        page = p.h.next_page;
        release(node, &p, false);
        continue;
      }
      for (uint32_t idx = p.h.first_item; idx < p.h.last_item; ++idx) {
        const Node_ITEM it = p.item(idx);
        if (it.id == 0) continue;
        if (n-- == 0) {
          set_at(iter, page, idx, item, it);
          release(node, &p, false);
          return 0;
        }
      }
      // The page counts more items than its slots hold.
      release(node, &p, false);
      return 1;
    }
    return 1;
  });
}

int Node_FirstCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter) {
  Node_ITEM item;
  return cluster_of(Node_FirstItem(node, &node->node.ulist, &item, iter), item, start_page,
                    page_count);
}

int Node_NextCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter) {
  Node_ITEM item;
  return cluster_of(Node_NextItem(node, &node->node.ulist, &item, iter), item, start_page,
                    page_count);
}

int Node_PrevCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter) {
  Node_ITEM item;
  return cluster_of(Node_PrevItem(node, &node->node.ulist, &item, iter), item, start_page,
                    page_count);
}

int Node_SeekCluster(Node* node, uint32_t n, uint32_t* start_page, uint32_t* page_count,
                     Node_ITER* iter) {
  Node_ITEM item;
  return cluster_of(Node_SeekItem(node, &node->node.ulist, n, &item, iter), item, start_page,
                    page_count);
}
