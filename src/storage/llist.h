// llist.h - the small doubly linked list of heap items used by the node layer
// (each node's logged cluster actions) and, later, the transaction log.
//
// Callers hold pointers to item payloads; the item's links sit directly in
// front of its payload, in the same heap block. The list owns its items:
// Llist_DeleteItem and Llist_Clear free them. Plain memory only: no task
// is ever suspended here, and the list is not locked (server thread).
#pragma once
#include <cstddef>
#include <cstdint>

struct LlistItem;

struct Llist {
  LlistItem* head = nullptr;
  LlistItem* tail = nullptr;
  uint32_t count = 0;
};

// The links in front of every payload.
struct LlistItem {
  LlistItem* prev;
  LlistItem* next;
  Llist* list;  // the list that owns the item
};

// Empties the head without freeing anything (a fresh list).
void Llist_Init(Llist* list);
// A new item of size payload bytes appended at the tail; its payload, or
// none when memory runs out (the list is then unchanged). The payload is
// not cleared.
void* Llist_AddItem(Llist* list, size_t size);
// A new item linked directly before the item owning payload, in that item's
// list; its payload, or none when memory runs out.
void* Llist_InsertItem(void* payload, size_t size);
// Unlinks the item owning payload from its list and frees it.
void Llist_DeleteItem(void* payload);
// Frees every item and leaves the list empty.
void Llist_Clear(Llist* list);

// Walking: the payload of the first / last item, and of the item after /
// before the one owning payload; none at the ends.
void* Llist_First(const Llist* list);
void* Llist_Last(const Llist* list);
void* Llist_Next(const void* payload);
void* Llist_Prev(const void* payload);
