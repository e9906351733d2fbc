// node_items_page.h - helpers the item-list files share (node_items.cpp,
// node_item_iter.cpp, node_items_redo.cpp, node_cluster.cpp): a pinned
// item-list page with its decoded head, and the records of list changes.
// Other modules use node_cluster.h; nothing here is for them.
//
// Context: the server thread; pinning may suspend the task in the cache.
#pragma once
#include <cstdint>

#include "storage/node_cluster.h"

namespace nodelist {

inline uint8_t* bytes(const Node_PGVEC& v) { return reinterpret_cast<uint8_t*>(v.buf); }

inline int list_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG_LIST : Node_MODE_LIST;
}

// One pinned list page and its head as decoded; store() puts the head back
// into the buffer.
struct ItemPage {
  Node_PGVEC vec;
  Node_ILIST h;
  uint8_t* image() const { return bytes(vec); }
  void store() { Node_EncodeIlist(h, image()); }
  Node_ITEM item(uint32_t i) const { return Node_GetItem(image(), static_cast<int>(i)); }
  void put(uint32_t i, const Node_ITEM& it) { Node_PutItem(image(), static_cast<int>(i), it); }
};

// An item-list page at page: its header names it, and its counters lie
// inside its slots (they bound every walk over them).
bool valid_list_page(uint32_t page, const uint8_t* image);

ItemPage pin(Node* node, uint32_t page);       // checked, for writing
ItemPage pin_read(Node* node, uint32_t page);  // checked, for reading
void release(Node* node, ItemPage* p, bool changed);

// Adds one record to ctx's tag record (nothing without ctx); a failure
// stops the process with the caller's name in the message.
void record(Node* node, NodeList_LOG* ctx, int opcode, const void* data, size_t size,
            const char* what);
void record_cluster(Node* node, NodeList_LOG* ctx, uint32_t first_page, uint32_t count, int op,
                    const char* what);

}  // namespace nodelist

namespace nodelist {

// Unlinks every page of the list and frees each at the next checkpoint,
// recording each as a cluster release; with free_listed the clusters its
// items name go too (recorded likewise). Under the meta lock.
void drop_all_pages(Node* node, Node_IHEAD* ihead, NodeList_LOG* ctx, bool free_listed,
                    const char* what);

}  // namespace nodelist
