// node_cluster.h - node cluster I/O and item lists.
//
// A node's pages come in clusters of 1 to 8 consecutive pages, allocated,
// pinned in the buffer cache, released and freed here. Every cluster a
// node owns is an item in its used-cluster list (ulist in its descriptor),
// an item list: a doubly linked chain of item-list pages of 1019 slots of
// {id, count}. The same item lists serve other layers (the fixed-record
// files' free lists). Every change of a list and every cluster allocated
// or freed can be recorded through a node-list log context (see
// node_tlog_seams.h); the records replay idempotently (Node_Recover*),
// ordered by the timestamps of the list head and of each page. See
// README.md ("Item lists").
//
// Context: the server thread. Every list operation runs under the node's
// meta lock, which it takes and releases itself (a caller may hold it
// across several calls; it is re-entrant). A call may suspend its task
// where the cache reads a page or waits for a buffer, and where the
// volume set allocates pages. Buffers are pinned only within one call,
// except those handed to the caller (Node_AllocCluster, Node_GetCluster).
//
// Failures: a page allocation that finds no space returns -1 with the list
// and the volumes as they were (status VOL E020). A list page that is not
// one (bad header), a record the log cannot take, and a redo record whose
// bytes would land outside a page are assertions.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/node_format.h"
#include "storage/node_tlog_seams.h"

// One pinned page: its address and its buffer.
struct Node_PGVEC {
  uint32_t page = 0;
  char* buf = nullptr;
};

// How a cluster is used, for the cache: list pages stay at its recent end.
enum {
  Node_MODE_DATA = 0,      // pages of a data node
  Node_MODE_LIST = 1,      // list pages of a data node
  Node_MODE_LOG = 2,       // pages of a log node
  Node_MODE_LOG_LIST = 3,  // list pages of a log node
};

// --- Clusters ------------------------------------------------------------------------

// count 0 = the node's cluster size; else 1..8.
// A new cluster for node: its pages come back pinned in vec[0..count) with
// empty buffers (the caller fills and releases them); it is added to the
// used-cluster list (unless the node keeps none) and recorded in ctx. 0,
// or -1 when no space is left, with nothing kept (pages freed, buffers
// dropped, nothing recorded).
int Node_AllocCluster(Node* node, int count, Node_PGVEC* vec, int mode, NodeList_LOG* ctx);
// Removes the cluster starting at start_page from the used-cluster list;
// *item gets its id and page count. The pages stay allocated.
void Node_FreeCluster(Node* node, uint32_t start_page, Node_ITEM* item, NodeList_LOG* ctx);
// Node_FreeCluster, then drops the cached pages and frees them at once.
void Node_DeleteCluster(Node* node, uint32_t start_page, NodeList_LOG* ctx);
// For nodes without a used-cluster list: records the release and frees the
// pages at once.
void Node_FreeClusterPages(Node* node, uint32_t start_page, int count, NodeList_LOG* ctx);

// Pins count pages from start_page for writing / reading. 0 (the cache
// always gives them).
int Node_GetCluster(Node* node, uint32_t start_page, int count, Node_PGVEC* vec, int mode);
int Node_GetClusterReadOnly(Node* node, uint32_t start_page, int count, Node_PGVEC* vec,
                            int mode);
int Node_CacheGetCluster(Node* node, uint32_t start_page, int count, Node_PGVEC* vec, int mode);
int Node_CacheGetClusterReadOnly(Node* node, uint32_t start_page, int count, Node_PGVEC* vec,
                                 int mode);
// Unpins unchanged / changed (the system pool's changed pages are written
// at once).
void Node_ReleaseCluster(Node* node, int count, Node_PGVEC* vec);
void Node_ReleaseClusterDirty(Node* node, int count, Node_PGVEC* vec);
void Node_SyncPage(Node* node, uint32_t page, int count);
// Writes the changed cached pages and flushes their volume: for a page a
// record about to be logged names, which recovery will not rebuild.
void Node_SyncPageDurably(Node* node, uint32_t page, int count);
// Drop the cached pages and free them at once / at the next checkpoint.
void Node_FreePages(Node* node, uint32_t page, int count);
void Node_FreePagesDelayed(Node* node, uint32_t page, int count);
// Names in the root log a page of a data node's chain (op Node_CLUSTER_FLIST
// or Node_CLUSTER_NODE_PAGE) taken or given up, forced before its bit or a
// link to it can reach the disk: a power cut between the page's bit and the
// chain that names it would otherwise leave it in use with no owner.
// Recovery keeps it exactly when the recovered chain names it. Pages of the
// log root need none (the LOG volumes are rebuilt after a crash); a record
// the log refuses leaves only that page to a crash.
void Node_RecordChainedPage(Node* node, uint32_t page, int op);

// --- Item lists ------------------------------------------------------------------------

// A place in a list for taking items from the front: page 0 = none.
struct Node_IPOS {
  uint32_t page = 0;
  int32_t index = 0;
};

// An iterator: its list, the page and slot it stands on (page 0: not
// started) and the list timestamp when it was set up.
struct Node_ITER {
  const Node_IHEAD* ihead = nullptr;
  uint32_t page = 0;
  int32_t curr_item = -1;
  uint32_t timestamp = 0;
};

void Node_InitItemHead(Node_IHEAD* ihead);
void Node_ClearPos(Node_IPOS* pos);
void Node_PosFromIter(Node_IPOS* pos, const Node_ITER* iter);

// Appends item (id nonzero) at the tail; a full tail page gets a new page
// after it. *head_dirty is set when the head changed (the caller writes
// it); pos, when given, is set to a new page's first slot. 0, or -1 when
// no page could be had (the list unchanged).
int Node_AddItem(Node* node, Node_IHEAD* ihead, const Node_ITEM* item, int* head_dirty,
                 Node_IPOS* pos, NodeList_LOG* ctx);
// Reserves the next slot for item and records the item in deferred, whose
// commit writes it; the page-head record goes to ctx. Without a deferred
// context the item is stored at once, as by Node_AddItem.
int Node_AddItemDelayed(Node* node, Node_IHEAD* ihead, const Node_ITEM* item, int* head_dirty,
                        Node_IPOS* pos, NodeList_LOG* ctx, NodeList_LOG* deferred);
// Appends n items with ids first_item->id, first_item->id + 1, ... and
// first_item->count each: the tail page's free slots first, then new pages
// of 1019. pos, when given, is set to the first of them. 0 or -1 (no page).
int Node_FillItems(Node* node, Node_IHEAD* ihead, const Node_ITEM* first_item, uint32_t n,
                   int* head_dirty, Node_IPOS* pos, NodeList_LOG* ctx);
// Finds item->id. 1 when it is not in the list. Else item->count is set;
// with head_dirty the slot is cleared (a page left empty is unlinked and
// freed: at the next checkpoint when ctx is given, else at once). 0.
int Node_DeleteItem(Node* node, Node_IHEAD* ihead, Node_ITEM* item, int* head_dirty,
                    NodeList_LOG* ctx);
// The next item at or after *pos (none: the head), skipping empty slots;
// *pos moves past it. Id 0 only when no item follows. 0.
int Node_RemoveFirstItem(Node* node, Node_IHEAD* ihead, Node_ITEM* item, Node_IPOS* pos);
// Discards every item in front of *pos: the used slots before it on its
// page are cleared, and every page before that page is unlinked and freed
// (at the next checkpoint when ctx is given, else at once). A position at
// the end of its page moves to the next item first; past the last item it
// becomes none and every page goes. A position of none drops nothing. 0.
int Node_DropItemsBefore(Node* node, Node_IHEAD* ihead, int* head_dirty, Node_IPOS* pos,
                         NodeList_LOG* ctx);
// Sum of the pages' used slots.
uint32_t Node_CountItems(Node* node, const Node_IHEAD* ihead);
// Unlinks every page of the list (freed at the next checkpoint, each
// recorded as a cluster release); the clusters the items name are left.
void Node_DeleteAllItemPages(Node* node, Node_IHEAD* ihead, int* head_dirty, NodeList_LOG* ctx);

// Iteration: 0 = *item is the next item, 1 = the end. The list timestamp
// changes with every page added or removed: Node_ItemIterValid tells
// whether the iterator's page may be gone.
void Node_InitItemIter(Node* node, const Node_IHEAD* ihead, Node_ITER* iter);
int Node_ItemIterValid(Node* node, const Node_ITER* iter);
int Node_FirstItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter);
int Node_NextItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter);
int Node_PrevItem(Node* node, const Node_IHEAD* ihead, Node_ITEM* item, Node_ITER* iter);
// The n-th used item (from 0), counting only nonempty slots.
int Node_SeekItem(Node* node, const Node_IHEAD* ihead, uint32_t n, Node_ITEM* item,
                  Node_ITER* iter);

// The same over the used-cluster list: the cluster's first page and page
// count (count may be none).
int Node_FirstCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter);
int Node_NextCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter);
int Node_PrevCluster(Node* node, uint32_t* start_page, uint32_t* page_count, Node_ITER* iter);
int Node_SeekCluster(Node* node, uint32_t n, uint32_t* start_page, uint32_t* page_count,
                     Node_ITER* iter);

// Pins an item-list page and checks its header (type 4, its own address);
// a page that is not one is fatal ("file is corrupt").
void Node_GetItemPage(Node* node, uint32_t page, Node_PGVEC* vec);
void Node_GetItemPageReadOnly(Node* node, uint32_t page, Node_PGVEC* vec);

// --- Redo -------------------------------------------------------------------------------------

// Each applies one recorded list action, only where the record is newer
// than its target (the list head or the page), so replaying a record again
// changes nothing. Records come decoded (node_format.h); their ranges are
// checked: bytes outside a page's slots, or slots past 1019, stop the
// process instead of landing anywhere.
// Page created or deleted (opcode 8); *head_dirty set when the head changed.
void Node_RecoverItemPage(Node* node, Node_IHEAD* ihead, const NodeList_PAGE_REC* rec,
                          int* head_dirty);
void Node_RecoverItemPageHead(Node* node, const NodeList_HEAD_REC* rec);  // opcode 9
// Slot bytes (opcode 10): rec->size bytes from rec->offset.
void Node_RecoverItemAction(Node* node, const NodeList_ITEM_REC* rec, const uint8_t* bytes);
// A slot reserved earlier receives its item (opcode 11).
void Node_RecoverItemSet(Node* node, const NodeList_ITEM_REC* rec, const uint8_t* bytes);
void Node_RecoverFill(Node* node, const NodeList_FILL_REC* rec);  // opcode 12
// Decodes one list record (opcodes 8 to 12) and applies it; the head is
// only needed for opcode 8. 0, or -1 when the bytes are not a record of
// that opcode (nothing applied).
int Node_RecoverListRecord(Node* node, Node_IHEAD* ihead, int opcode, const uint8_t* data,
                           size_t size, int* head_dirty);
