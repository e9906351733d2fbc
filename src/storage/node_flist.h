// node_flist.h - pool free lists: the persistent list of a pool node's free
// blocks.
//
// The list is a chain of free-list pages (page type 5, 1020 slots of one
// Node_ADDR each) whose head is the flist of the node's descriptor. It is a
// double-ended queue: small blocks are pushed at the head end and large
// ones at the tail end, and a search starts from the end that matches the
// requested size. Which sizes count as small is decided by two running
// averages kept in the head (the midpoint between the head end's and the
// tail end's); an average moves a quarter of the way to each size added at
// its end. A list is empty exactly when its head page is 0 (the averages
// are then 0 too). See README.md ("Pools").
//
// Context: the server thread. Every change runs under the node's meta lock
// (taken here; re-entrant for a caller that holds it). A call may suspend
// its task in the buffer cache and where the volume set allocates or
// flushes. Outside the system pool each changed free-list page is written
// at once, a new page also makes the volume's allocation pages written, and
// a change of the chain writes the node page.
//
// Failures: a page allocation that finds no space returns -1 with the list
// as it was; a free-list page that is not one (bad header or counters) is
// fatal ("file is corrupt").
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/pool_format.h"

// 12 zero bytes: an empty list.
void Node_InitFlistHead(Node_FHEAD* fhead);

// Adds a free block (cluster and size nonzero) at the end its size chooses.
// 0, or -1 when a new page was needed and none could be had (nothing
// changed, the averages included).
int Node_AddItemToFlist(Node* node, const Node_ADDR* item);

// Removes and returns the first block of at least size bytes found from the
// end size chooses. Inside a transaction (tx, its log node) a block any of
// whose pages another open transaction holds is skipped, and the removal is
// logged (FLIST_UNDO) so that a rollback puts the block back. 0 found, 1
// none (*item cleared).
int Node_TakeFromFlist(Node* node, Node_ADDR* item, uint32_t size, Node* tx);

// Removes the listed blocks (n 0..2; entries with cluster 0 are ignored)
// wherever they are, each equal in cluster, offset and size; inside a
// transaction each removal is logged (FLIST_UNDO). Blocks not on the list
// are left alone.
void Node_DeleteItemFromFlist(Node* node, const Node_ADDR* items, int n, Node* tx);

// Empties the list: the node page is written with the empty list and the
// DATA files flushed (but in the system pool), then every page is recorded
// as a cluster release and freed at the next checkpoint. 0, or -1 when the
// root log cannot take the records (nothing changed).
int Node_ClearFlist(Node* node);

// Whether node's chain, as it stands, reaches page. A page that cannot be
// read or is no free-list page ends the walk (recovery asks this of chains a
// power cut may have torn).
bool Node_FlistNamesPage(Node* node, uint32_t page);

// Blocks on the list (the sum of the pages' used slots).
uint32_t Node_CountFlistItems(Node* node, const Node_FHEAD* fhead);

// Pins a free-list page for writing / reading and checks it: type 5, its
// own address, counters inside its slots; anything else is fatal.
void Node_GetFlistPage(Node* node, uint32_t page, Node_PGVEC* vec);
void Node_GetFlistPageReadOnly(Node* node, uint32_t page, Node_PGVEC* vec);

// Logs a free-list action of a transaction (op Pool_OP_FLIST or
// Pool_OP_FLIST_UNDO): add_item (may be none) and up to two items to take
// off the list. Writes nothing outside a transaction or when there is
// nothing to record; a write the log refuses is fatal.
void Node_WriteFlistAction(Node* node, int op, const Node_ADDR* add_item, const Node_ADDR* items,
                           int n, Node* tx);

// The running-average arithmetic, for tests: the end a size belongs to
// (true = tail) and an average moved a quarter of the way to size. Both
// work in 32 bits; an average stays within 1..65535.
bool Node_FlistTailSide(const Node_FHEAD& fhead, uint32_t size);
uint16_t Node_FlistMoveAverage(uint16_t average, uint32_t size);
