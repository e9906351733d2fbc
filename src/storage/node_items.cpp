// node_items.cpp - changing item lists: appending, filling, deleting,
// taking items from the front, and adding and removing list pages. Every
// change bumps the timestamp of each page it touches (and of the list head
// when a page comes or goes) and is recorded in the caller's node-list log
// context, so that redo (node_items_redo.cpp) can tell what is done.
//
// Context: the server thread, under the node's meta lock, taken here. A
// call may suspend its task where the cache reads a page or waits for a
// buffer and where the volume set allocates a page.
#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_items_page.h"

using namespace nodelist;

namespace {

constexpr uint32_t kSlots = Node_ILIST_NUMITEMS;

// --- Records ------------------------------------------------------------------------

void log_page_head(Node* node, NodeList_LOG* ctx, const ItemPage& p, const char* what) {
  if (ctx == nullptr) return;
  uint8_t rec[NodeList_HEAD_REC_SIZE];
  NodeList_EncodeHeadRec({p.h.timestamp, NodeListType_ILIST, p.vec.page, p.h.num_items,
                          p.h.first_item, p.h.last_item},
                         rec);
  record(node, ctx, NodeList_OP_HEAD, rec, sizeof rec, what);
}

// The bytes of n slots from first as they now are, and the page head.
void log_item_action(Node* node, NodeList_LOG* ctx, const ItemPage& p, uint32_t first, uint32_t n,
                     const char* what) {
  if (ctx == nullptr) return;
  uint8_t rec[NodeList_ITEM_REC_MAX];
  const size_t offset = Node_ItemOffset(static_cast<int>(first));
  const size_t size = n * Node_ITEM_SIZE;
  NodeList_EncodeItemRec({p.h.timestamp, NodeListType_ILIST, p.vec.page,
                          static_cast<uint16_t>(offset), static_cast<uint16_t>(size)},
                         rec);
  memcpy(rec + NodeList_ITEM_REC_SIZE, p.image() + offset, size);
  record(node, ctx, NodeList_OP_ITEM, rec, NodeList_ITEM_REC_SIZE + size, what);
  log_page_head(node, ctx, p, what);
}

// One slot reserved for item, whose bytes the deferred context carries.
void log_item_set(Node* node, NodeList_LOG* deferred, NodeList_LOG* ctx, const ItemPage& p,
                  uint32_t slot, const Node_ITEM& item, const char* what) {
  uint8_t rec[NodeList_ITEM_REC_SIZE + Node_ITEM_SIZE];
  NodeList_EncodeItemRec({p.h.timestamp, NodeListType_ILIST, p.vec.page,
                          static_cast<uint16_t>(Node_ItemOffset(static_cast<int>(slot))),
                          static_cast<uint16_t>(Node_ITEM_SIZE)},
                         rec);
  Node_EncodeItem(item, rec + NodeList_ITEM_REC_SIZE);
  record(node, deferred, NodeList_OP_ITEM_SET, rec, sizeof rec, what);
  log_page_head(node, ctx, p, what);
}

void log_page_action(Node* node, NodeList_LOG* ctx, const NodeList_PAGE_REC& r,
                     const char* what) {
  if (ctx == nullptr) return;
  uint8_t rec[NodeList_PAGE_REC_SIZE];
  NodeList_EncodePageRec(r, rec);
  record(node, ctx, NodeList_OP_PAGE, rec, sizeof rec, what);
}

NodeList_PAGE_REC page_rec(NodeList_LOG* ctx, const Node_IHEAD* ihead, uint16_t action,
                           uint32_t page) {
  NodeList_PAGE_REC r;
  r.timestamp = ihead->timestamp;
  r.action = action;
  r.list_id = static_cast<uint8_t>(ctx != nullptr ? ctx->op : 0);
  r.list_type = NodeListType_ILIST;
  r.page = page;
  return r;
}

// --- Pages ----------------------------------------------------------------------------

// A new empty page at the tail of the list, pinned in *out. -1 when no
// page can be had (the list unchanged).
int create_item_page(Node* node, Node_IHEAD* ihead, int* head_dirty, NodeList_LOG* ctx,
                     ItemPage* out) {
  ItemPage tail;
  const bool have_tail = ihead->tail != 0;
  if (have_tail) {
    tail = pin(node, ihead->tail);
    ZENT_ASSERT(!tail.h.next_page && "!prev_ilist->next_page");
  }
  char* buf = nullptr;
  uint32_t page = 0;
  if (buf_Alloc(node, 1, &page, &buf) != 0) {
    if (have_tail) release(node, &tail, false);
    return -1;
  }
  buf_Put(buf, BF_MRU, 0);
  memset(buf, 0, Vol_PAGESIZE);
  ItemPage p;
  p.vec = {page, buf};
  p.h = Node_ILIST{};
  Vol_InitHeader(Vol_PAGE_ITEMLIST, page, &p.h.header);
  p.h.prev_page = ihead->tail;
  p.store();
  NodeList_PAGE_REC r = page_rec(ctx, ihead, NodeList_PAGE_CREATE, page);
  if (have_tail) {
    tail.h.next_page = page;
    tail.h.timestamp++;
    r.prev_page = tail.vec.page;
    r.prev_timestamp = tail.h.timestamp;
    release(node, &tail, true);
  } else {
    ihead->head = page;
  }
  ihead->tail = page;
  ihead->num_pages++;
  ihead->timestamp++;
  *head_dirty = 1;
  r.timestamp = ihead->timestamp;
  log_page_action(node, ctx, r, "Node_CreateItemPage() failed on Node_LogItemPageAction()");
  *out = p;
  return 0;
}

// Points page's next (or prev) link at link; the page's new timestamp.
uint32_t set_link(Node* node, uint32_t page, uint32_t link, bool next_link) {
  ItemPage q = pin(node, page);
  (next_link ? q.h.next_page : q.h.prev_page) = link;
  const uint32_t timestamp = ++q.h.timestamp;
  release(node, &q, true);
  return timestamp;
}

// Unlinks the pinned page p from the list; the caller frees it.
void delete_item_page(Node* node, Node_IHEAD* ihead, ItemPage* p, int* head_dirty,
                      NodeList_LOG* ctx) {
  NodeList_PAGE_REC r = page_rec(ctx, ihead, NodeList_PAGE_DELETE, p->vec.page);
  r.prev_page = p->h.prev_page;
  r.next_page = p->h.next_page;
  if (r.prev_page != 0)
    r.prev_timestamp = set_link(node, r.prev_page, r.next_page, true);
  else
    ihead->head = r.next_page;
  if (r.next_page != 0)
    r.next_timestamp = set_link(node, r.next_page, r.prev_page, false);
  else
    ihead->tail = r.prev_page;
  ihead->num_pages--;
  ihead->timestamp++;
  *head_dirty = 1;
  r.timestamp = ihead->timestamp;
  log_page_action(node, ctx, r, "Node_DeleteItemPage() failed on Node_LogItemPageAction()");
}

// Unpins a page taken out of its list and frees it: at the next checkpoint
// when the change is logged (a rollback may still need it), else at once.
void free_item_page(Node* node, ItemPage* p, NodeList_LOG* ctx) {
  const uint32_t page = p->vec.page;
  release(node, p, false);
  if (ctx != nullptr)
    buf_FreePageDelayed(node, page, 1);
  else
    buf_FreePage(node, page, 1);
}

// The tail page when it has a free slot, else a new one (*created set).
int tail_with_room(Node* node, Node_IHEAD* ihead, int* head_dirty, NodeList_LOG* ctx,
                   ItemPage* out, bool* created) {
  *created = false;
  if (ihead->tail != 0) {
    *out = pin(node, ihead->tail);
    if (out->h.last_item < kSlots) return 0;
    release(node, out, false);
  }
  if (create_item_page(node, ihead, head_dirty, ctx, out) != 0) return -1;
  *created = true;
  return 0;
}

// Takes k slots at the end of p for the caller to fill (a page change: its
// timestamp moves); the first of them.
uint32_t claim_slots(ItemPage* p, uint32_t k) {
  const uint32_t slot = p->h.last_item;
  if (p->h.first_item >= p->h.last_item) p->h.first_item = slot;
  p->h.last_item = slot + k;
  p->h.timestamp++;
  return slot;
}

// Appends item; with deferred, only reserves its slot (see header).
int add_item(Node* node, Node_IHEAD* ihead, const Node_ITEM* item, int* head_dirty,
             Node_IPOS* pos, NodeList_LOG* ctx, NodeList_LOG* deferred) {
  ZENT_ASSERT(item->id != 0 && "item->id");
  Node_MetaLock(node, __FILE__, __LINE__);
  ItemPage p;
  bool created = false;
  if (tail_with_room(node, ihead, head_dirty, ctx, &p, &created) != 0) {
    Node_MetaUnlock(node);
    return -1;
  }
  const uint32_t slot = claim_slots(&p, 1);
  if (deferred == nullptr) {
    p.put(slot, *item);
    p.h.num_items++;
    p.store();
    log_item_action(node, ctx, p, slot, 1, "Node_AddItem() failed on Node_LogItemAction()");
  } else {
    p.store();
    log_item_set(node, deferred, ctx, p, slot, *item,
                 "Node_AddItemDelayed() failed on Node_LogItemAction()");
  }
  if (pos != nullptr && created) *pos = Node_IPOS{p.vec.page, 0};
  release(node, &p, true);
  Node_MetaUnlock(node);
  return 0;
}

// The first used slot at or after idx on p, or p's last_item.
uint32_t next_used(const ItemPage& p, uint32_t idx) {
  idx = std::max(idx, p.h.first_item);
  while (idx < p.h.last_item && p.item(idx).id == 0) ++idx;
  return idx;
}

}  // namespace

namespace nodelist {

void drop_all_pages(Node* node, Node_IHEAD* ihead, NodeList_LOG* ctx, bool free_listed,
                    const char* what) {
  while (ihead->head != 0) {
    ItemPage p = pin_read(node, ihead->head);
    record_cluster(node, ctx, p.vec.page, 1, Node_CLUSTER_FREE, what);
    for (uint32_t i = p.h.first_item; free_listed && i < p.h.last_item && i < kSlots; ++i) {
      const Node_ITEM item = p.item(i);
      if (item.id == 0) continue;
      record_cluster(node, ctx, item.id, item.count, Node_CLUSTER_FREE, what);
      buf_FreePageDelayed(node, item.id, static_cast<int>(item.count));
    }
    ihead->head = p.h.next_page;
    ihead->num_pages--;
    const uint32_t page = p.vec.page;
    release(node, &p, false);
    buf_FreePageDelayed(node, page, 1);
  }
  ZENT_ASSERT(!ihead->num_pages && "!ihead->num_pages");
  ihead->tail = 0;
  ihead->timestamp++;
}

}  // namespace nodelist

// --- Interface ---------------------------------------------------------------------------

void Node_InitItemHead(Node_IHEAD* ihead) { *ihead = Node_IHEAD{}; }
void Node_ClearPos(Node_IPOS* pos) { *pos = Node_IPOS{}; }
void Node_PosFromIter(Node_IPOS* pos, const Node_ITER* iter) {
  *pos = Node_IPOS{iter->page, iter->curr_item < 0 ? 0 : iter->curr_item};
}

int Node_AddItem(Node* node, Node_IHEAD* ihead, const Node_ITEM* item, int* head_dirty,
                 Node_IPOS* pos, NodeList_LOG* ctx) {
  return add_item(node, ihead, item, head_dirty, pos, ctx, nullptr);
}

int Node_AddItemDelayed(Node* node, Node_IHEAD* ihead, const Node_ITEM* item, int* head_dirty,
                        Node_IPOS* pos, NodeList_LOG* ctx, NodeList_LOG* deferred) {
  return add_item(node, ihead, item, head_dirty, pos, ctx, deferred);
}

int Node_FillItems(Node* node, Node_IHEAD* ihead, const Node_ITEM* first_item, uint32_t n,
                   int* head_dirty, Node_IPOS* pos, NodeList_LOG* ctx) {
  ZENT_ASSERT(first_item->id != 0 && "item->id");
  ZENT_ASSERT(n == 0 || first_item->id + (n - 1) >= first_item->id);
  Node_MetaLock(node, __FILE__, __LINE__);
  uint32_t next_id = first_item->id;
  uint32_t left = n;
  bool pos_set = false;
  while (left > 0) {
    ItemPage p;
    bool created = false;
    if (tail_with_room(node, ihead, head_dirty, ctx, &p, &created) != 0) {
      Node_MetaUnlock(node);
      return -1;
    }
    const uint32_t k = std::min(left, kSlots - p.h.last_item);
    const uint32_t slot = claim_slots(&p, k);
    for (uint32_t i = 0; i < k; ++i) p.put(slot + i, {next_id + i, first_item->count});
    p.h.num_items += k;
    p.store();
    uint8_t rec[NodeList_FILL_REC_SIZE];
    NodeList_EncodeFillRec({p.h.timestamp, NodeListType_ILIST, p.vec.page,
                            static_cast<uint16_t>(slot), static_cast<uint16_t>(k), next_id,
                            first_item->count},
                           rec);
    record(node, ctx, NodeList_OP_FILL, rec, sizeof rec,
           "Node_FillItems() failed on Node_LogFillItemAction()");
    if (pos != nullptr && !pos_set) {
      *pos = Node_IPOS{p.vec.page, static_cast<int32_t>(slot)};
      pos_set = true;
    }
    release(node, &p, true);
    next_id += k;
    left -= k;
  }
  Node_MetaUnlock(node);
  return 0;
}

int Node_DeleteItem(Node* node, Node_IHEAD* ihead, Node_ITEM* item, int* head_dirty,
                    NodeList_LOG* ctx) {
  Node_MetaLock(node, __FILE__, __LINE__);
  for (uint32_t page = ihead->head; page != 0;) {
    ItemPage p = pin(node, page);
    uint32_t idx = p.h.last_item;
    if (p.h.num_items > 0) {
      for (uint32_t i = p.h.first_item; i < p.h.last_item; ++i) {
        if (p.item(i).id == item->id) {
          idx = i;
          break;
        }
      }
    }
    if (idx >= p.h.last_item) {
      page = p.h.next_page;
      release(node, &p, false);
      continue;
    }
    item->count = p.item(idx).count;
    if (head_dirty == nullptr) {
      release(node, &p, false);
      Node_MetaUnlock(node);
      return 0;
    }
    p.put(idx, Node_ITEM{});
    p.h.num_items--;
    p.h.timestamp++;
    if (p.h.num_items > 0) {
      if (idx == p.h.first_item) {
        uint32_t i2 = idx + 1;
        while (i2 < p.h.last_item && p.item(i2).id == 0) ++i2;
        ZENT_ASSERT(i2 < p.h.last_item && "idx2 < (int)ilist->last_item");
        p.h.first_item = i2;
      }
      if (idx == p.h.last_item - 1) {
        int64_t i2 = static_cast<int64_t>(idx) - 1;
        while (i2 >= 0 && p.item(static_cast<uint32_t>(i2)).id == 0) --i2;
        ZENT_ASSERT(i2 >= 0 && "idx2 >= 0");
        p.h.last_item = static_cast<uint32_t>(i2) + 1;
      }
      p.store();
      log_item_action(node, ctx, p, idx, 1, "Node_DeleteItem() failed on Node_LogItemAction()");
      release(node, &p, true);
    } else {
      delete_item_page(node, ihead, &p, head_dirty, ctx);
      free_item_page(node, &p, ctx);
    }
    Node_MetaUnlock(node);
    return 0;
  }
  Node_MetaUnlock(node);
  return 1;
}

int Node_RemoveFirstItem(Node* node, Node_IHEAD* ihead, Node_ITEM* item, Node_IPOS* pos) {
  Node_MetaLock(node, __FILE__, __LINE__);
  uint32_t page = pos->page;
  uint32_t idx = page != 0 ? static_cast<uint32_t>(std::max(pos->index, 0)) : 0;
  if (page == 0) page = ihead->head;
  *item = Node_ITEM{};
  while (page != 0) {
    ItemPage p = pin_read(node, page);
    for (idx = std::max(idx, p.h.first_item); idx < p.h.last_item; ++idx) {
      const Node_ITEM it = p.item(idx);
      if (it.id != 0) {
        *item = it;
        *pos = Node_IPOS{page, static_cast<int32_t>(idx + 1)};
        release(node, &p, false);
        Node_MetaUnlock(node);
        return 0;
      }
      // An empty slot is a deleted item: the walk goes on past it.
      debug_log('N', 1, "Node_RemoveFirstItem: skipping entry id == 0 at idx == %d",
                static_cast<int>(idx));
    }
    const uint32_t next = p.h.next_page;
    if (next == 0) *pos = Node_IPOS{page, static_cast<int32_t>(p.h.last_item)};
    release(node, &p, false);
    page = next;
    idx = 0;
  }
  Node_MetaUnlock(node);
  return 0;
}

int Node_DropItemsBefore(Node* node, Node_IHEAD* ihead, int* head_dirty, Node_IPOS* pos,
                         NodeList_LOG* ctx) {
  if (pos->page == 0) return 0;
  Node_MetaLock(node, __FILE__, __LINE__);
  // Settle the position on a used slot; past the last one it becomes none.
  uint32_t page = pos->page;
  ItemPage p = pin(node, page);
  uint32_t idx = next_used(p, static_cast<uint32_t>(std::max(pos->index, 0)));
  while (idx >= p.h.last_item) {
    const uint32_t next = p.h.next_page;
    release(node, &p, false);
    page = next;
    if (page == 0) break;
    p = pin(node, page);
    idx = next_used(p, 0);
  }
  if (page != 0) {
    ZENT_ASSERT(p.item(idx).id && "item_ptr->id");
    const uint32_t from = p.h.first_item;
    if (from < idx) {
      for (uint32_t i = from; i < idx; ++i) {
        if (p.item(i).id == 0) continue;
        p.put(i, Node_ITEM{});
        p.h.num_items--;
      }
      p.h.first_item = idx;
      p.h.timestamp++;
      p.store();
      log_item_action(node, ctx, p, from, idx - from,
                      "Node_DropItemsBefore() failed on Node_LogItemAction()");
      release(node, &p, true);
    } else {
      release(node, &p, false);
    }
  }
  while (ihead->head != 0 && ihead->head != page) {
    ItemPage q = pin(node, ihead->head);
    delete_item_page(node, ihead, &q, head_dirty, ctx);
    free_item_page(node, &q, ctx);
  }
  *pos = page != 0 ? Node_IPOS{page, static_cast<int32_t>(idx)} : Node_IPOS{};
  Node_MetaUnlock(node);
  return 0;
}

uint32_t Node_CountItems(Node* node, const Node_IHEAD* ihead) {
  Node_MetaLock(node, __FILE__, __LINE__);
  uint32_t n = 0;
  for (uint32_t page = ihead->head; page != 0;) {
    ItemPage p = pin_read(node, page);
    n += p.h.num_items;
    page = p.h.next_page;
    release(node, &p, false);
  }
  Node_MetaUnlock(node);
  return n;
}

void Node_DeleteAllItemPages(Node* node, Node_IHEAD* ihead, int* head_dirty, NodeList_LOG* ctx) {
  Node_MetaLock(node, __FILE__, __LINE__);
  drop_all_pages(node, ihead, ctx, false,
                 "Node_DeleteAllItemPages() failed on Tlog_AddToTagRecord()");
  *head_dirty = 1;
  Node_MetaUnlock(node);
}
