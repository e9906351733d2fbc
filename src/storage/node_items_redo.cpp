// node_items_redo.cpp - redo of recorded item-list actions (log opcodes 8
// to 12), as crash recovery and commit apply them.
//
// Every step applies only where the record is newer than its target: the
// list head's timestamp for a page created or deleted, the page's own
// timestamp for its head, slot bytes and fills. So a record applied a
// second time changes nothing. Item sets (a slot reserved earlier getting
// its item) go by the slot's contents instead, which makes them just as
// idempotent. Every byte range a record names is checked against the
// page's slots before anything is copied: a record that would write
// elsewhere stops the process.
//
// Context: the server thread (recovery before the tasks run, or commit).
// The cache may suspend the task (a page read).
#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_items_page.h"
#include "storage/volume_set.h"

using namespace nodelist;

namespace {

void check_slot_bytes(uint32_t offset, uint32_t size) {
  ZENT_ASSERT(offset >= Node_ILIST_HEAD_SIZE && "rec->offset >= idx");
  ZENT_ASSERT(!(offset % Node_ITEM_SIZE) && "!(idx % sizeof(Node_ITEM))");
  ZENT_ASSERT(!(size % Node_ITEM_SIZE) && "!(count % sizeof(Node_ITEM))");
  ZENT_ASSERT(offset + size <= Node_ILIST_USED && "rec->offset + rec->count <= Node_ILIST_USED");
}

// Pins a page a record names. A page the list dropped later in the log may
// hold anything by now (it was never written, or freed): when it is no
// list page the record has nothing left to redo and is skipped.
bool pin_for_redo(Node* node, uint32_t page, ItemPage* out) {
  if (Node_CacheGetCluster(node, page, 1, &out->vec, list_mode(node)) != 0)
    ZENT_ASSERT(!"Node_RecoverItemPage() failed on Node_CacheGetCluster()");
  out->h = Node_DecodeIlist(out->image());
  if (valid_list_page(page, out->image()))
    return true;
  debug_log('L', 1, "Node_RecoverItemPage(node=%s): page 0x%x is no item-list page, record skipped",
            Node_Name(node), page);
  Node_ReleaseCluster(node, 1, &out->vec);
  return false;
}

// Whether page holds a list page (of any time) as the disk or cache has it.
bool holds_list_page(Node* node, uint32_t page) {
  Node_PGVEC vec;
  if (Node_CacheGetCluster(node, page, 1, &vec, list_mode(node)) != 0)
    ZENT_ASSERT(!"Node_RecoverItemPage() failed on Node_CacheGetCluster()");
  const bool valid = valid_list_page(page, bytes(vec));
  Node_ReleaseCluster(node, 1, &vec);
  return valid;
}

// A neighbour of a page created or deleted takes its new link when the
// record is newer than the neighbour.
void relink(Node* node, uint32_t page, uint32_t rec_timestamp, uint32_t link, bool is_prev) {
  ItemPage q;
  if (page == 0 || !pin_for_redo(node, page, &q)) return;
  if (rec_timestamp <= q.h.timestamp) {
    release(node, &q, false);
    return;
  }
  if (rec_timestamp > q.h.timestamp + 1)
    debug_log('L', 1,
              "fixing item-list timestamp inconsistency - node %s, %s 0x%x, timestamp %u, "
              "adjusted to %u",
              Node_Name(node), is_prev ? "prev_page" : "next_page", page, q.h.timestamp,
              rec_timestamp);
  if (is_prev)
    q.h.next_page = link;
  else
    q.h.prev_page = link;
  q.h.timestamp = rec_timestamp;
  release(node, &q, true);
}

// A page created by the record: used on its volume and empty, between the
// recorded neighbours.
void init_created_page(Node* node, const NodeList_PAGE_REC* rec) {
  Vol_MarkPageUsed(rec->page, 1);
  Node_PGVEC vec;
  if (Node_CacheGetCluster(node, rec->page, 1, &vec, list_mode(node)) != 0) {
    debug_log('L', 0,
              "Node_RecoverItemPage(node=%s, list_id=%u) failed on Node_CacheGetCluster(page=0x%x)",
              Node_Name(node), rec->list_id, rec->page);
    ZENT_ASSERT(!"Node_RecoverItemPage() failed on Node_CacheGetCluster()");
  }
  memset(vec.buf, 0, Vol_PAGESIZE);
  Node_ILIST h;
  Vol_InitHeader(Vol_PAGE_ITEMLIST, rec->page, &h.header);
  h.prev_page = rec->prev_page;
  h.next_page = rec->next_page;
  Node_EncodeIlist(h, bytes(vec));
  Node_ReleaseClusterDirty(node, 1, &vec);
}

}  // namespace

void Node_RecoverItemPage(Node* node, Node_IHEAD* ihead, const NodeList_PAGE_REC* rec,
                          int* head_dirty) {
  if (rec->action != NodeList_PAGE_CREATE && rec->action != NodeList_PAGE_DELETE) {
    debug_log('L', 0, "Node_RecoverItemPage(node=%s, list_id=%u) failed: invalid opcode %u",
              Node_Name(node), rec->list_id, rec->action);
    ZENT_ASSERT(!"Node_RecoverItemPage() failed: invalid opcode");
  }
  const bool create = rec->action == NodeList_PAGE_CREATE;
  const bool head_step = rec->timestamp > ihead->timestamp;
  if (head_step) {
    ZENT_ASSERT(rec->timestamp == ihead->timestamp + 1 && "rec->timestamp == ihead->timestamp + 1");
    if (create) {
      if (rec->prev_page == 0) ihead->head = rec->page;
      if (rec->next_page == 0) ihead->tail = rec->page;
      ihead->num_pages++;
    } else {
      if (rec->prev_page == 0) ihead->head = rec->next_page;
      if (rec->next_page == 0) ihead->tail = rec->prev_page;
      ihead->num_pages--;
    }
    ihead->timestamp = rec->timestamp;
    *head_dirty = 1;
  }
  relink(node, rec->prev_page, rec->prev_timestamp, create ? rec->page : rec->next_page, true);
  relink(node, rec->next_page, rec->next_timestamp, create ? rec->page : rec->prev_page, false);
  // The page itself changes with the head: a head already past the record
  // has seen this page made (and filled since) or taken away. Taken away,
  // its free waited for the next checkpoint in memory, gone with the
  // crash: it is freed again (while this record is in the log the page
  // cannot have been handed out since).
  if (!create) {
    buf_FreePageDelayed(node, rec->page, 1);
    return;
  }
  // A head past the record may still name a page that never reached the
  // disk: a node page goes out whenever any descriptor on it changes,
  // while the list page waits in the cache. Made since the last
  // checkpoint, the page has every change since its creation in the log,
  // so it is made again here and those records fill it.
  // Found whole, it is still the list's, though its bit may not have
  // reached the disk before the crash: the claim that held it back from
  // the replay is settled here, or it would be freed under the list.
  if (head_step || !holds_list_page(node, rec->page))
    init_created_page(node, rec);
  else
    Vol_MarkPageUsed(rec->page, 1);
}

void Node_RecoverItemPageHead(Node* node, const NodeList_HEAD_REC* rec) {
  ZENT_ASSERT(rec->last_item <= Node_ILIST_NUMITEMS && rec->first_item <= rec->last_item &&
              rec->num_items <= rec->last_item - rec->first_item && "page head in range");
  ItemPage p;
  if (!pin_for_redo(node, rec->page, &p)) return;
  const bool newer = rec->timestamp > p.h.timestamp;
  if (newer) {
    p.h.num_items = rec->num_items;
    p.h.first_item = rec->first_item;
    p.h.last_item = rec->last_item;
    p.h.timestamp = rec->timestamp;
  }
  release(node, &p, newer);
}

void Node_RecoverItemAction(Node* node, const NodeList_ITEM_REC* rec, const uint8_t* data) {
  check_slot_bytes(rec->offset, rec->size);
  ItemPage p;
  if (!pin_for_redo(node, rec->page, &p)) return;
  const bool newer = rec->timestamp > p.h.timestamp;
  // The page head record that follows sets the counters and timestamp.
  if (newer) memcpy(p.image() + rec->offset, data, rec->size);
  release(node, &p, newer);
}

void Node_RecoverItemSet(Node* node, const NodeList_ITEM_REC* rec, const uint8_t* data) {
  check_slot_bytes(rec->offset, rec->size);
  ItemPage p;
  if (!pin_for_redo(node, rec->page, &p)) return;
  const uint32_t first = (rec->offset - Node_ILIST_HEAD_SIZE) / Node_ITEM_SIZE;
  const uint32_t n = rec->size / Node_ITEM_SIZE;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t idx = first + i;
    const Node_ITEM was = p.item(idx);
    const Node_ITEM now = Node_DecodeItem(data + i * Node_ITEM_SIZE);
    if (was.id == 0 && now.id != 0) p.h.num_items++;
    if (was.id != 0 && now.id == 0) p.h.num_items--;
    p.put(idx, now);
    if (now.id == 0) continue;
    if (p.h.first_item >= p.h.last_item || idx < p.h.first_item) p.h.first_item = idx;
    p.h.last_item = std::max(p.h.last_item, idx + 1);
  }
  release(node, &p, true);
}

void Node_RecoverFill(Node* node, const NodeList_FILL_REC* rec) {
  ZENT_ASSERT(rec->first_id && "item->id");
  ZENT_ASSERT(rec->first_slot < Node_ILIST_NUMITEMS && "start_idx < Node_ILIST_NUMITEMS");
  ZENT_ASSERT(rec->first_slot + rec->n <= Node_ILIST_NUMITEMS &&
              "start_idx + n <= Node_ILIST_NUMITEMS");
  ItemPage p;
  if (!pin_for_redo(node, rec->page, &p)) return;
  if (rec->timestamp <= p.h.timestamp) {
    release(node, &p, false);
    return;
  }
  if (rec->timestamp != p.h.timestamp + 1) {
    // Fills are logged one step at a time: a gap is a damaged record.
    debug_log('L', 0, "Node_RecoverFill(node=%s): page 0x%x at timestamp %u, record %u skipped",
              Node_Name(node), rec->page, p.h.timestamp, rec->timestamp);
    release(node, &p, false);
    return;
  }
  if (p.h.first_item >= p.h.last_item) p.h.first_item = rec->first_slot;
  for (uint32_t i = 0; i < rec->n; ++i) {
    const uint32_t idx = rec->first_slot + i;
    if (p.item(idx).id == 0) p.h.num_items++;
    p.put(idx, {rec->first_id + i, rec->count});
  }
  p.h.last_item = std::max<uint32_t>(p.h.last_item, rec->first_slot + rec->n);
  p.h.timestamp = rec->timestamp;
  release(node, &p, true);
}

int Node_RecoverListRecord(Node* node, Node_IHEAD* ihead, int opcode, const uint8_t* data,
                           size_t size, int* head_dirty) {
  // Every field is checked before the redo acts: a record read back from a
  // damaged log is refused here, never an assertion further in.
  auto page_ok = [](uint32_t page) { return Vol_PagesInSet(page, 1) != 0; };
  auto link_ok = [&](uint32_t page) { return page == 0 || page_ok(page); };
  switch (opcode) {
    case NodeList_OP_PAGE: {
      NodeList_PAGE_REC r;
      if (NodeList_DecodePageRec(data, size, &r) != 0 || r.list_type != NodeListType_ILIST ||
          (r.action != NodeList_PAGE_CREATE && r.action != NodeList_PAGE_DELETE) ||
          !page_ok(r.page) || !link_ok(r.prev_page) || !link_ok(r.next_page) ||
          r.timestamp > ihead->timestamp + 1u || r.timestamp == 0)
        return -1;
      Node_RecoverItemPage(node, ihead, &r, head_dirty);
      return 0;
    }
    case NodeList_OP_HEAD: {
      NodeList_HEAD_REC r;
      if (NodeList_DecodeHeadRec(data, size, &r) != 0 || r.list_type != NodeListType_ILIST ||
          !page_ok(r.page) || r.last_item > Node_ILIST_NUMITEMS ||
          r.first_item > r.last_item || r.num_items > r.last_item - r.first_item)
        return -1;
      Node_RecoverItemPageHead(node, &r);
      return 0;
    }
    case NodeList_OP_ITEM:
    case NodeList_OP_ITEM_SET: {
      NodeList_ITEM_REC r;
      if (NodeList_DecodeItemRec(data, size, &r) != 0 || r.list_type != NodeListType_ILIST ||
          !page_ok(r.page) || r.offset < Node_ILIST_HEAD_SIZE || r.offset % Node_ITEM_SIZE != 0 ||
          r.size % Node_ITEM_SIZE != 0 || r.offset + r.size > Node_ILIST_USED)
        return -1;
      if (opcode == NodeList_OP_ITEM)
        Node_RecoverItemAction(node, &r, data + NodeList_ITEM_REC_SIZE);
      else
        Node_RecoverItemSet(node, &r, data + NodeList_ITEM_REC_SIZE);
      return 0;
    }
    case NodeList_OP_FILL: {
      NodeList_FILL_REC r;
      if (NodeList_DecodeFillRec(data, size, &r) != 0 || r.list_type != NodeListType_ILIST ||
          !page_ok(r.page) || r.first_id == 0 || r.first_slot >= Node_ILIST_NUMITEMS ||
          r.first_slot + r.n > Node_ILIST_NUMITEMS)
        return -1;
      Node_RecoverFill(node, &r);
      return 0;
    }
    default:
      return -1;
  }
}
