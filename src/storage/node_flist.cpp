// node_flist.cpp - pool free lists: the two-ended chain of free-list pages
// of a pool node (see node_flist.h).
//
// Crash order: a new page is written before the page that links to it and
// before the node page; a page that empties is unlinked (its neighbours
// written) before it is freed. The averages and the head are stored only
// once the item is on its page, so a failed allocation leaves the list as
// it was.
//
// Context: the server thread, under the node's meta lock; a call may
// suspend in the buffer cache and the volume set.
#include "storage/node_flist.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/page_io.h"
#include "storage/node_tlog_seams.h"
#include "storage/pool_tlog_seams.h"
#include "storage/volume_set.h"

namespace {

uint8_t* bytes(const Node_PGVEC& v) { return reinterpret_cast<uint8_t*>(v.buf); }

int list_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG_LIST : Node_MODE_LIST;
}

bool is_syspool(const Node* node) { return Node_TestFlag(Node_SYSPOOL, node) != 0; }

bool valid_flist_page(uint32_t page, const uint8_t* image) {
  const Node_FLIST h = Node_DecodeFlist(image);
  return Vol_CheckHeader(Vol_PAGE_NODE_FLIST, page, &h.header) == 0 &&
         h.last_item <= static_cast<uint32_t>(Node_FLIST_NUMITEMS) &&
         h.first_item <= h.last_item && h.num_items <= h.last_item - h.first_item;
}

void check_page(const Node_PGVEC& vec, const char* caller) {
  if (valid_flist_page(vec.page, bytes(vec))) return;
  debug_log('N', 0, "%s() failed: invalid page header, page=0x%x", caller, vec.page);
  static char what[96];
  snprintf(what, sizeof what, "%s() failed: file is corrupt", caller);
  panic_assert_failed(what, __FILE__, __LINE__);
}

// One pinned free-list page and its head as decoded.
struct FlistPage {
  Node_PGVEC vec;
  Node_FLIST h;
  uint8_t* image() const { return bytes(vec); }
  Node_ADDR item(uint32_t i) const {
    return Node_DecodeAddr(image() + Node_FitemOffset(static_cast<int>(i)));
  }
  void put(uint32_t i, const Node_ADDR& a) {
    Node_EncodeAddr(a, image() + Node_FitemOffset(static_cast<int>(i)));
  }
};

FlistPage pin(Node* node, uint32_t page) {
  FlistPage p;
  Node_GetFlistPage(node, page, &p.vec);
  p.h = Node_DecodeFlist(p.image());
  return p;
}

FlistPage pin_read(Node* node, uint32_t page) {
  FlistPage p;
  Node_GetFlistPageReadOnly(node, page, &p.vec);
  p.h = Node_DecodeFlist(p.image());
  return p;
}

// Releases p; a changed page reaches the disk at once (the system pool's
// through its written-through buffers).
void release(Node* node, FlistPage* p, bool changed) {
  if (!changed) {
    Node_ReleaseCluster(node, 1, &p->vec);
    return;
  }
  Node_EncodeFlist(p->h, p->image());
  const uint32_t page = p->vec.page;
  Node_ReleaseClusterDirty(node, 1, &p->vec);
  if (!is_syspool(node)) Node_SyncPage(node, page, 1);
}

// Sets one link of page (next or prev) to link and writes it.
void set_link(Node* node, uint32_t page, uint32_t link, bool next_link) {
  FlistPage q = pin(node, page);
  (next_link ? q.h.next_page : q.h.prev_page) = link;
  release(node, &q, true);
}

// A new page holding item in slot, linked between prev and next, written.
// Its address, or 0 when no page could be had.
uint32_t new_page(Node* node, const Node_ADDR& item, uint32_t slot, uint32_t prev,
                  uint32_t next) {
  char* buf = nullptr;
  uint32_t page = 0;
  if (buf_Alloc(node, 1, &page, &buf) != 0) return 0;
  buf_Put(buf, BF_MRU, 0);
  memset(buf, 0, Vol_PAGESIZE);
  FlistPage p;
  p.vec = {page, buf};
  Vol_InitHeader(Vol_PAGE_NODE_FLIST, page, &p.h.header);
  p.h.prev_page = prev;
  p.h.next_page = next;
  p.h.num_items = 1;
  p.h.first_item = slot;
  p.h.last_item = slot + 1;
  p.put(slot, item);
  release(node, &p, true);
  Node_RecordChainedPage(node, page, Node_CLUSTER_FLIST);
  if (!is_syspool(node)) {
    if (Node_TestFlag(Node_LOGNODE, node))
      Vol_TlogSyncFreeList();
    else
      Vol_SyncFreeList();
  }
  return page;
}

// The head changed: the descriptor is to be written; a change of the
// chain writes it now (but in the system pool, whose chain changes are
// written with its node page by the volume events).
void head_changed(Node* node, bool chain_changed) {
  Node_SetDirty(node);
  if (chain_changed && !is_syspool(node)) Node_Sync(node);
}

// Clears slot i of the pinned page p and tightens its edges; *emptied when
// no item is left (the caller unlinks and frees the page).
void clear_slot(FlistPage* p, uint32_t i, bool* emptied) {
  p->put(i, Node_ADDR{});
  if (p->h.num_items > 0) p->h.num_items--;
  if (p->h.num_items == 0) {
    *emptied = true;
    return;
  }
  // A page a power cut tore (its head from one write, its slots from
  // another) can count items it no longer holds: with none left beside
  // the cleared one it counts as emptied.
  if (i == p->h.first_item) {
    int idx2 = static_cast<int>(i) + 1;
    while (idx2 < static_cast<int>(p->h.last_item) && p->item(idx2).cluster == 0) ++idx2;
    if (idx2 >= static_cast<int>(p->h.last_item)) {
      p->h.num_items = 0;
      *emptied = true;
      return;
    }
    p->h.first_item = static_cast<uint32_t>(idx2);
  } else if (i + 1 == p->h.last_item) {
    int idx2 = static_cast<int>(i) - 1;
    while (idx2 >= static_cast<int>(p->h.first_item) && p->item(idx2).cluster == 0) --idx2;
    if (idx2 < static_cast<int>(p->h.first_item)) {
      p->h.num_items = 0;
      *emptied = true;
      return;
    }
    p->h.last_item = static_cast<uint32_t>(idx2 + 1);
  }
}

// Unlinks the emptied page p (pinned) from the list in f and frees it.
void drop_page(Node* node, Node_FHEAD* f, FlistPage* p) {
  ZENT_ASSERT(p->h.num_items == 0 && "flist->num_items == 0");
  const uint32_t page = p->vec.page;
  const uint32_t prev = p->h.prev_page;
  const uint32_t next = p->h.next_page;
  release(node, p, false);
  Node_RecordChainedPage(node, page, Node_CLUSTER_FLIST);
  if (prev != 0)
    set_link(node, prev, next, true);
  else
    f->head = next;
  if (next != 0)
    set_link(node, next, prev, false);
  else
    f->tail = prev;
  if (f->head == 0) {
    ZENT_ASSERT(!f->tail && "!fhead->tail");
    f->head_avg = f->tail_avg = 0;
  }
  // Not handed out again before a checkpoint has made the new links
  // durable: until then the descriptor or neighbour on disk may still name
  // it, and recovery would find another node's page in this list.
  Node_FreePagesDelayed(node, page, 1);
}

// Another open transaction holds a page the block spans.
bool held_by_other(Node* node, const Node_ADDR& a, Node* tx) {
  const uint32_t first = a.offset / Vol_PAGESIZE;
  uint32_t last = (static_cast<uint32_t>(a.offset) + Pool_HEADER_SIZE + a.size - 1) / Vol_PAGESIZE;
  if (last >= static_cast<uint32_t>(Vol_MAXCLUST)) last = Vol_MAXCLUST - 1;
  for (uint32_t i = first; i <= last; ++i) {
    const Node_LOG_REC* e = PoolLog_FindLogRecord(node, a.cluster + i);
    if (e != nullptr && e->log_node != nullptr && e->log_node != tx) return true;
  }
  return false;
}

bool same_item(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset && a.size == b.size;
}

}  // namespace

// --- Averages --------------------------------------------------------------------------

bool Node_FlistTailSide(const Node_FHEAD& f, uint32_t size) {
  const int32_t h = f.head_avg;
  const int32_t t = f.tail_avg;
  const int32_t mid = h + ((t - h) >> 1);
  return static_cast<int32_t>(size) > mid;
}

uint16_t Node_FlistMoveAverage(uint16_t average, uint32_t size) {
  int32_t a = average;
  a -= (a - static_cast<int32_t>(size)) >> 2;
  if (a < 1) a = 1;
  if (a > 0xFFFF) a = 0xFFFF;
  return static_cast<uint16_t>(a);
}

// --- Interface ---------------------------------------------------------------------------

void Node_InitFlistHead(Node_FHEAD* fhead) { *fhead = Node_FHEAD{}; }

void Node_GetFlistPage(Node* node, uint32_t page, Node_PGVEC* vec) {
  if (Node_CacheGetCluster(node, page, 1, vec, list_mode(node)) != 0) {
    debug_log('N', 0, "Node_GetFlistPage() failed on Node_CacheGetCluster()");
    ZENT_ASSERT(!"Node_GetFlistPage() failed on Node_CacheGetCluster()");
  }
  check_page(*vec, "Node_GetFlistPage");
}

void Node_GetFlistPageReadOnly(Node* node, uint32_t page, Node_PGVEC* vec) {
  if (Node_CacheGetClusterReadOnly(node, page, 1, vec, list_mode(node)) != 0) {
    debug_log('N', 0, "Node_GetFlistPageReadOnly() failed on Node_CacheGetCluster()");
    ZENT_ASSERT(!"Node_GetFlistPageReadOnly() failed on Node_CacheGetCluster()");
  }
  check_page(*vec, "Node_GetFlistPageReadOnly");
}

int Node_AddItemToFlist(Node* node, const Node_ADDR* item) {
  ZENT_ASSERT(item->cluster && "item->cluster");
  ZENT_ASSERT(item->size && "item->size");
  Node_MetaLock(node, __FILE__, __LINE__);
  Node_FHEAD f = node->node.flist;
  bool chain_changed = false;
  int rc = 0;
  if (f.head == 0) {
    // The only page: its item in the middle, so that both ends can grow.
    const uint32_t page = new_page(node, *item, Node_FLIST_MIDDLE, 0, 0);
    if (page == 0) {
      rc = -1;
    } else {
      f.head = f.tail = page;
      f.head_avg = f.tail_avg = static_cast<uint16_t>(item->size);
      chain_changed = true;
    }
  } else if (Node_FlistTailSide(f, item->size)) {
    FlistPage p = pin(node, f.tail);
    if (p.h.last_item < static_cast<uint32_t>(Node_FLIST_NUMITEMS)) {
      p.put(p.h.last_item, *item);
      p.h.last_item++;
      p.h.num_items++;
      release(node, &p, true);
    } else {
      ZENT_ASSERT(!p.h.next_page && "!flist->next_page");
      release(node, &p, false);
      const uint32_t page = new_page(node, *item, 0, f.tail, 0);
      if (page == 0) {
        rc = -1;
      } else {
        set_link(node, f.tail, page, true);
        f.tail = page;
        chain_changed = true;
      }
    }
    if (rc == 0) f.tail_avg = Node_FlistMoveAverage(f.tail_avg, item->size);
  } else {
    FlistPage p = pin(node, f.head);
    if (p.h.first_item > 0) {
      p.h.first_item--;
      p.put(p.h.first_item, *item);
      p.h.num_items++;
      release(node, &p, true);
    } else {
      ZENT_ASSERT(!p.h.prev_page && "!flist->prev_page");
      release(node, &p, false);
      const uint32_t page = new_page(node, *item, Node_FLIST_NUMITEMS - 1, 0, f.head);
      if (page == 0) {
        rc = -1;
      } else {
        set_link(node, f.head, page, false);
        f.head = page;
        chain_changed = true;
      }
    }
    if (rc == 0) f.head_avg = Node_FlistMoveAverage(f.head_avg, item->size);
  }
  if (rc == 0) {
    node->node.flist = f;
    head_changed(node, chain_changed);
  }
  Node_MetaUnlock(node);
  return rc;
}

int Node_TakeFromFlist(Node* node, Node_ADDR* item, uint32_t size, Node* tx) {
  *item = Node_ADDR{};
  if (node->node.flist.head == 0) return 1;
  Node_MetaLock(node, __FILE__, __LINE__);
  Node_FHEAD f = node->node.flist;
  const bool from_tail = Node_FlistTailSide(f, size);
  uint32_t page = from_tail ? f.tail : f.head;
  int rc = 1;
  while (page != 0 && rc != 0) {
    FlistPage p = pin(node, page);
    const uint32_t next = from_tail ? p.h.prev_page : p.h.next_page;
    int found = -1;
    for (uint32_t k = 0; k < p.h.last_item - p.h.first_item && found < 0; ++k) {
      const uint32_t i = from_tail ? p.h.last_item - 1 - k : p.h.first_item + k;
      const Node_ADDR a = p.item(i);
      if (a.cluster == 0 || a.size < size) continue;
      if (tx != nullptr && held_by_other(node, a, tx)) continue;
      found = static_cast<int>(i);
    }
    if (found < 0) {
      release(node, &p, false);
      page = next;
      continue;
    }
    *item = p.item(static_cast<uint32_t>(found));
    Node_WriteFlistAction(node, Pool_OP_FLIST_UNDO, item, nullptr, 0, tx);
    bool emptied = false;
    clear_slot(&p, static_cast<uint32_t>(found), &emptied);
    if (emptied) {
      drop_page(node, &f, &p);
      node->node.flist = f;
      head_changed(node, true);
    } else {
      release(node, &p, true);
    }
    rc = 0;
  }
  Node_MetaUnlock(node);
  return rc;
}

void Node_DeleteItemFromFlist(Node* node, const Node_ADDR* items, int n, Node* tx) {
  ZENT_ASSERT(n >= 0 && n <= Pool_MAX_ITEMS_TO_DELETE && "num_items <= Pool_MAX_ITEMS_TO_DELETE");
  bool wanted[Pool_MAX_ITEMS_TO_DELETE] = {};
  int remaining = 0;
  const Node_ADDR* first = nullptr;
  for (int k = 0; k < n; ++k) {
    if (items[k].cluster == 0) continue;
    bool dup = false;
    for (int j = 0; j < k; ++j) dup = dup || (wanted[j] && same_item(items[j], items[k]));
    if (dup) continue;
    wanted[k] = true;
    ++remaining;
    if (first == nullptr) first = &items[k];
  }
  if (remaining == 0 || node->node.flist.head == 0) return;
  Node_MetaLock(node, __FILE__, __LINE__);
  Node_FHEAD f = node->node.flist;
  const bool from_tail = Node_FlistTailSide(f, first->size);
  uint32_t page = from_tail ? f.tail : f.head;
  bool chain_changed = false;
  while (page != 0 && remaining > 0) {
    FlistPage p = pin(node, page);
    const uint32_t next = from_tail ? p.h.prev_page : p.h.next_page;
    bool changed = false;
    bool emptied = false;
    const uint32_t lo = p.h.first_item;
    const uint32_t hi = p.h.last_item;
    for (uint32_t i = lo; i < hi && remaining > 0 && !emptied; ++i) {
      const Node_ADDR a = p.item(i);
      if (a.cluster == 0) continue;
      for (int k = 0; k < n; ++k) {
        if (!wanted[k] || !same_item(a, items[k])) continue;
        wanted[k] = false;
        --remaining;
        Node_WriteFlistAction(node, Pool_OP_FLIST_UNDO, &a, nullptr, 0, tx);
        clear_slot(&p, i, &emptied);
        changed = true;
        break;
      }
    }
    if (emptied) {
      drop_page(node, &f, &p);
      chain_changed = true;
    } else {
      release(node, &p, changed);
    }
    page = next;
  }
  if (chain_changed) {
    node->node.flist = f;
    head_changed(node, true);
  }
  Node_MetaUnlock(node);
}

int Node_ClearFlist(Node* node) {
  if (node->node.flist.head == 0) {
    if (node->node.flist.head_avg != 0 || node->node.flist.tail_avg != 0 ||
        node->node.flist.tail != 0) {
      Node_InitFlistHead(&node->node.flist);
      Node_SetDirty(node);
    }
    return 0;
  }
  Node_MetaLock(node, __FILE__, __LINE__);
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_POOL_FLIST, &ctx) != 0) {
    Node_MetaUnlock(node);
    return -1;
  }
  std::vector<uint32_t> pages;
  for (uint32_t page = node->node.flist.head; page != 0;) {
    FlistPage p = pin_read(node, page);
    pages.push_back(page);
    page = p.h.next_page;
    release(node, &p, false);
  }
  Node_InitFlistHead(&node->node.flist);
  Node_SetDirty(node);
  // The node page is the list's only record, and recovery keeps the head
  // it finds there: it is on disk before any record frees the pages.
  if (!is_syspool(node)) {
    Node_Sync(node);
    Vol_SyncDataFiles(Vol_RefusedWrites());
  }
  for (uint32_t page : pages) {
    uint8_t rec[Node_CLUSTER_REC_SIZE];
    Node_EncodeClusterRec({page, 1, Node_CLUSTER_FREE}, rec);
    if (NodeLog_AddToTagRecord(ctx.tag, node, Node_OP_CLUSTER, rec, sizeof rec) != 0)
      ZENT_ASSERT(!"Node_ClearFlist() failed on Tlog_AddToTagRecord()");
    Node_FreePagesDelayed(node, page, 1);
  }
  const int flushed = NodeList_FlushLog(&ctx);
  NodeList_ReleaseLog(&ctx);
  Node_MetaUnlock(node);
  if (flushed != 0) ZENT_ASSERT(!"Node_ClearFlist() failed on NodeList_FlushLog()");
  return 0;
}

bool Node_FlistNamesPage(Node* node, uint32_t page) {
  std::set<uint32_t> seen;
  for (uint32_t p = node->node.flist.head; p != 0 && seen.insert(p).second;) {
    if (p == page) return true;
    Node_PGVEC vec{};
    if (Vol_PagesInSet(p, 1) == 0 ||
        Node_CacheGetClusterReadOnly(node, p, 1, &vec, list_mode(node)) != 0)
      return false;
    const bool valid = valid_flist_page(p, bytes(vec));
    const uint32_t next = Node_DecodeFlist(bytes(vec)).next_page;
    Node_ReleaseCluster(node, 1, &vec);
    if (!valid) return false;
    p = next;
  }
  return false;
}

uint32_t Node_CountFlistItems(Node* node, const Node_FHEAD* fhead) {
  uint32_t n = 0;
  for (uint32_t page = fhead->head; page != 0;) {
    FlistPage p = pin_read(node, page);
    n += p.h.num_items;
    page = p.h.next_page;
    release(node, &p, false);
  }
  return n;
}

void Node_WriteFlistAction(Node* node, int op, const Node_ADDR* add_item, const Node_ADDR* items,
                           int n, Node* tx) {
  ZENT_ASSERT((op == Pool_OP_FLIST || op == Pool_OP_FLIST_UNDO) &&
              "op == Pool_OP_FLIST || op == Pool_OP_FLIST_UNDO");
  ZENT_ASSERT(n >= 0 && n <= Pool_MAX_ITEMS_TO_DELETE && "n <= Pool_MAX_ITEMS_TO_DELETE");
  if (tx == nullptr) return;
  Pool_RECORD r;
  r.opcode = static_cast<uint32_t>(op);
  if (add_item != nullptr) r.addr = *add_item;
  bool any = r.addr.cluster != 0;
  for (int k = 0; k < n; ++k) {
    r.items[k] = items[k];
    any = any || items[k].cluster != 0;
  }
  if (!any) return;
  uint8_t data[Pool_RECORD_SIZE];
  Pool_EncodeRecord(r, data);
  if (PoolLog_WriteRecord(tx, Tlog_OP_POOL, Tlog_CHANNEL_LOG, node, data, sizeof data, nullptr) != 0)
    ZENT_ASSERT(!"Node_WriteFlistAction() failed on Tlog_WriteRecord()");
}
