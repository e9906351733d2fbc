// pool_access.h - the pinned window of one pool operation and the helpers
// the pool files share (pool.cpp, pool_tx.cpp, fpool.cpp). Other modules
// use pool.h and fpool.h; nothing here is for them.
//
// A PoolAccess lives for one operation. It keeps up to 8 pages of one
// cluster pinned (those the last positioning needed; pages still needed
// stay pinned between positionings), remembers which it changed, and
// releases them all at its end. Inside a transaction each page this
// transaction has redirected is pinned through its copy.
//
// Context: the server thread; pinning may suspend the task in the cache.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/pool_format.h"

namespace pools {

struct PoolAccess {
  Node* node = nullptr;
  Node* tx = nullptr;       // the transaction's log node, none outside one
  Node* foreign = nullptr;  // another transaction's log node to wait for
  int lock_state = 0;       // Node_LockState at the start (restored around a wait)
  uint32_t cluster = 0;     // the cluster of the window, 0 = none
  uint16_t cluster_pages = 0;
  uint8_t pinned = 0;       // bit i: page i of the cluster is pinned
  uint8_t dirty = 0;        // bit i: page i was changed
  Node_PGVEC vec[Vol_MAXCLUST];  // by page index in the cluster
  // A free-list action made by the operation, done once its pages are
  // released: the block to add and up to two to take off.
  bool flist_pending = false;
  Node_ADDR flist_add;
  Node_ADDR flist_del[Pool_MAX_ITEMS_TO_DELETE];
  int flist_ndel = 0;
  // A defensive access (the log's validation pass) notes a cluster head or
  // range that does not fit in corrupt instead of stopping the process;
  // reads then give zeros and nothing is pinned.
  bool defensive = false;
  bool corrupt = false;
};

void init_access(PoolAccess* pa, Node* node, Node* tx);
// Pins the pages of cluster covering [offset, offset + length) (at most to
// the cluster's end); pages pinned before and still needed are kept, the
// others released. The first positioning on a cluster reads its head and
// checks it (1..8 pages); a range past the cluster's end is fatal.
void seek(PoolAccess* pa, uint32_t cluster, uint32_t offset, uint32_t length);
// Makes the pinned pages of a new cluster the window.
void adopt(PoolAccess* pa, uint32_t cluster, int pages, const Node_PGVEC* vec);
// Releases every pinned page (changed ones as changed).
void release_window(PoolAccess* pa);
// Copies bytes between the window and memory; the range must be pinned.
void copy_out(PoolAccess* pa, uint32_t offset, void* dst, uint32_t length);
void copy_in(PoolAccess* pa, uint32_t offset, const void* src, uint32_t length);

// Headers through the window (each positions it first).
Pool_HEADER read_header(PoolAccess* pa, uint32_t cluster, uint32_t offset);
void write_header(PoolAccess* pa, uint32_t cluster, uint32_t offset, const Pool_HEADER& h);
Pool_CLUSTER_HEAD read_cluster_head(PoolAccess* pa, uint32_t cluster);
void write_cluster_head(PoolAccess* pa, uint32_t cluster, const Pool_CLUSTER_HEAD& h);

// Bytes of a cluster of n pages.
inline uint32_t cluster_bytes(uint32_t pages) { return pages * Vol_PAGESIZE; }
// The node's smallest block worth splitting off (at least 64).
uint16_t min_block(const Node* node);

// --- Transactions (pool_tx.cpp) ----------------------------------------------------------

// One page to take into the transaction, with the change wanted and the
// cluster it belongs to.
struct LockReq {
  uint32_t page = 0;
  int opcode = 0;  // Pool_OP_NEW, Pool_OP_MODIFY or Pool_OP_DELETE
  uint32_t cluster = 0;
  uint16_t cluster_pages = 0;
};
// Takes the pages into pa's transaction (nothing outside one). 0; 1 when
// another transaction holds one and wait is clear (pa->foreign set, nothing
// taken: the caller releases its window, waits and starts over); -1 on a
// failure (status set). Entries added by this call that hold no record
// are removed again on every road out but success.
int lock_pages(PoolAccess* pa, const LockReq* reqs, int count, bool wait);
// Takes the pages [from, to) of the window's cluster with opcode.
int lock_range(PoolAccess* pa, uint32_t cluster, uint16_t cluster_pages, uint32_t from,
               uint32_t to, int opcode, bool wait);
// Gives up the node lock as held at the start, sleeps until pa->foreign's
// transaction ends, takes the lock again. 0, or -1 (status 27).
int wait_foreign(PoolAccess* pa);
// The page the window pins for page: its redirected copy when pa's
// transaction has one.
uint32_t target_page(const PoolAccess* pa, uint32_t page);
// Does the free-list action pa collected (outside a transaction on the
// pool free list at once; inside one on the transaction's list, logged).
// 0 or -1.
int flist_action(PoolAccess* pa, const Node_ADDR* add, const Node_ADDR* dels, int ndel);
// The first block of at least size on the transaction's own list, taken
// off it (logged). 0 found, 1 none.
int take_own_item(PoolAccess* pa, uint32_t size, Node_ADDR* item);

}  // namespace pools
