// llist.cpp - doubly linked list of heap items (see llist.h).
#include "storage/llist.h"

#include <cstdlib>

#include "base/panic.h"

namespace {

// The payload starts right after the links, kept at the alignment of any
// object so that callers may store what they like in it.
constexpr size_t kLinkBytes =
    (sizeof(LlistItem) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
    alignof(std::max_align_t);

void* payload_of(LlistItem* item) { return reinterpret_cast<char*>(item) + kLinkBytes; }
LlistItem* item_of(const void* payload) {
  return reinterpret_cast<LlistItem*>(const_cast<char*>(static_cast<const char*>(payload)) -
                                      kLinkBytes);
}

LlistItem* new_item(size_t size) {
  if (size > SIZE_MAX - kLinkBytes) return nullptr;
  return static_cast<LlistItem*>(malloc(kLinkBytes + size));
}

}  // namespace

void Llist_Init(Llist* list) { *list = Llist{}; }

void* Llist_AddItem(Llist* list, size_t size) {
  LlistItem* item = new_item(size);
  if (item == nullptr) return nullptr;
  item->list = list;
  item->next = nullptr;
  item->prev = list->tail;
  if (list->tail != nullptr)
    list->tail->next = item;
  else
    list->head = item;
  list->tail = item;
  list->count++;
  return payload_of(item);
}

void* Llist_InsertItem(void* payload, size_t size) {
  LlistItem* at = item_of(payload);
  LlistItem* item = new_item(size);
  if (item == nullptr) return nullptr;
  Llist* list = at->list;
  item->list = list;
  item->next = at;
  item->prev = at->prev;
  if (at->prev != nullptr)
    at->prev->next = item;
  else
    list->head = item;
  at->prev = item;
  list->count++;
  return payload_of(item);
}

void Llist_DeleteItem(void* payload) {
  LlistItem* item = item_of(payload);
  Llist* list = item->list;
  ZENT_ASSERT(list != nullptr && list->count > 0 && "item belongs to a list");
  if (item->prev != nullptr)
    item->prev->next = item->next;
  else
    list->head = item->next;
  if (item->next != nullptr)
    item->next->prev = item->prev;
  else
    list->tail = item->prev;
  list->count--;
  free(item);
}

void Llist_Clear(Llist* list) {
  LlistItem* item = list->head;
  while (item != nullptr) {
    LlistItem* next = item->next;
    free(item);
    item = next;
  }
  *list = Llist{};
}

void* Llist_First(const Llist* list) { return list->head ? payload_of(list->head) : nullptr; }
void* Llist_Last(const Llist* list) { return list->tail ? payload_of(list->tail) : nullptr; }
void* Llist_Next(const void* payload) {
  LlistItem* next = item_of(payload)->next;
  return next ? payload_of(next) : nullptr;
}
void* Llist_Prev(const void* payload) {
  LlistItem* prev = item_of(payload)->prev;
  return prev ? payload_of(prev) : nullptr;
}
