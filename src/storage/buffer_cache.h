// buffer_cache.h - the page buffer cache: a fixed pool of 8192-byte buffers
// through which every node page reaches the volume files.
//
// A caller asks for a cluster of 1 to 8 consecutive pages of one node, gets
// the buffers pinned, changes them, marks them dirty and unpins them. Pages
// are found through a hash table; the least recently used unpinned buffer is
// replaced; dirty pages are written back as whole runs of a cluster; missing
// pages are read through the asynchronous I/O layer. See README.md in this
// directory for the invariants and the road of a request.
//
// Context: every call runs in a task of the server thread (or in a
// utility's only thread); there are no locks. A call may suspend its task
// where it waits for a read, for a buffer being read by another task, or for
// any buffer to become free; buf_Sync and buf_Sweep also yield. None of
// these waits can be cut short: a sleep that ends early sleeps again.
//
// Inconsistencies (a bad buffer address, a wrong node, pages not consecutive,
// a pin leak at invalidation) are programming errors and stop the process
// through ZENT_ASSERT.
#pragma once
#include <cstdint>

#include "storage/volume_format.h"

struct Node;  // a node handle of the node layer; the cache only compares it

// Request flags given by callers.
enum : uint32_t {
  BF_DIRTY = 1,       // the page was changed
  BF_EMPTY = 2,       // buf_Get only: the caller fills the pages; do not read them
  BF_PIN = 4,         // pin (buf_Get must give it); clearing it unpins once
  BF_WRITE_NOW = 16,  // buf_Put only: write the page at once when it is dirty
  BF_MRU = 64,        // keep the buffer at the most recently used end
};

// Buffer flags (the letter the status page shows).
enum : uint32_t {
  BUF_DIRTY = 1,               // D
  BUF_VALID = 2,               // V: entered in the hash table
  BUF_PINNED = 4,              // P
  BUF_IO_IN_PROGRESS = 16,     // I
  BUF_NOT_READ = 32,           // N: holds no page contents yet
  BUF_MRU = 64,                // M
};

inline constexpr int MAX_PAGES_PER_CLUSTER = Vol_MAXCLUST;

// What the cache needs to know about a node handle. The node layer installs
// its functions with buf_SetNodeInfo when it sets up its first root and
// takes them back when the set closes; without them (a cache used on its
// own, as in its tests) every handle counts as a data node with id 0.
struct BufNodeInfo {
  // Node flag 0: the node belongs to the transaction log.
  int (*is_log_node)(const Node* node);
  uint32_t (*node_id)(const Node* node);
  // Allocation map for the node's new pages; none = data allocation.
  Vol_ALDESC* (*alloc_map)(const Node* node);
  // Label for log lines and the status page; stays valid for the line.
  const char* (*name)(const Node* node);
};
// None restores the default.
void buf_SetNodeInfo(const BufNodeInfo* info);

// Counters of buf_GetStats, in the order of the status page.
struct BufStats {
  uint32_t hits;             // 0
  uint32_t misses;           // 1
  uint32_t allocated;        // 2 pages allocated (buf_Alloc)
  uint32_t dirty_writes;     // 3 dirty buffers written before reuse or shadowing
  uint32_t requests;         // 4 pages requested
  uint32_t reused;           // 5 buffers taken for reuse
  uint32_t unpins;           // 6 unpins to zero
  uint32_t pages_read;       // 7
  uint32_t pages_written;    // 8
  uint32_t bucket_first;     // 9 first entries into an empty bucket
  uint32_t bucket_more;      // 10 entries into a non-empty bucket
  uint32_t read_waits;       // 11 waits for a page being read
};

// Sets up nbufs (more than 8) buffers and a hash sized for ntable_entries
// (at least 1). 0, or -1 with nothing kept when memory runs out or the
// arguments are out of range.
int buf_Init(int nbufs, int ntable_entries);
// Frees everything; the cache may be set up again afterwards.
void buf_Exit();

// Gives npages (1..8) pinned buffers for the pages first_page.. of node in
// bufs[0..npages-1], read from the volume unless flags has BF_EMPTY (the
// caller then fills them and marks them dirty). flags must hold BF_PIN and
// nothing but BF_PIN, BF_EMPTY and BF_MRU. Returns 0.
int buf_Get(Node* node, uint32_t first_page, int npages, uint32_t flags, char** bufs);
// Changes one buffer's flags: set and clear hold BF_DIRTY, BF_PIN, BF_MRU
// (set also BF_WRITE_NOW). Clearing BF_PIN unpins once; marking dirty wakes
// the tasks waiting for the page. An unpin that leaves a buffer unpinned
// that was never read or filled drops it.
void buf_Put(void* buf, uint32_t set, uint32_t clear);
// buf_Put for each buffer; with BF_WRITE_NOW each dirty one is written after.
void buf_PutVector(int count, char** bufs, uint32_t set, uint32_t clear);

// Allocates npages new pages for node (the node's allocation map) and gives
// pinned, dirty, empty buffers for them; *first_page is the first. 0, or 1
// when the volumes have no space (status VOL E020 from the volume set).
int buf_Alloc(Node* node, int npages, uint32_t* first_page, char** bufs);
// Moves npages pinned consecutive buffers of node to newly allocated LOG
// volume pages (a dirty one is written to its old place first); the buffers
// stay pinned and are dirty at their new place. 0, or 1 when no LOG space.
int buf_MakeLogShadow(Node* node, int npages, uint32_t* new_first_page, char** bufs);
// Moves npages pinned consecutive buffers of node to new_first_page.. ; a
// cached copy of a target page is dropped. The buffers are dirty afterwards.
void buf_Rename(Node* node, int npages, char** bufs, uint32_t new_first_page);
// Hands the cached pages first_page..first_page+count-1 to node.
void buf_ChangeNode(Node* node, uint32_t first_page, int count);
// Drop the cached pages of the range unwritten, then free them at once /
// at the next checkpoint through the volume set.
void buf_FreePage(Node* node, uint32_t first_page, int count);
void buf_FreePageDelayed(Node* node, uint32_t first_page, int count);

// Writes back the dirty pages of node (none = every node; log-node pages
// then stay unwritten) and, with invalidate, drops them from the cache.
void buf_Sync(Node* node, int invalidate);
// Writes back the cached dirty pages of the range.
void buf_Sync_page(Node* node, uint32_t first_page, int count);
// Marks every cached page of volume volume_id that holds contents dirty:
// after a failed flush the system may have dropped what was written of
// them, and the next write-back writes them again.
void buf_RedirtyVolume(uint32_t volume_id);
// The latest Vol_WriteSeq at which a page of volume volume_id that then
// left the cache was written (0: none): a failed flush begun after it lost
// nothing the cache no longer holds.
uint64_t buf_EvictedWriteSeq(uint32_t volume_id);
// Background write-back of pages dirtied before the current tick (the
// syncer task); flushes the data volumes when at least threshold (nonzero)
// buffers were written.
void buf_Sweep(int threshold);

const BufStats* buf_GetStats();

// One pinned buffer for the status page; valid until the next call.
struct BufStatus {
  int index;
  char node[16];
  uint32_t volume_id;
  uint32_t page;
  int lru_next, lru_prev, hash_next, hash_prev, backlink, cluster_next;  // -1 = none
  char flags[9];
  int refcount;
};
// The next pinned buffer after *cursor (start at 0), or none at the end.
const BufStatus* buf_StatusNext(int* cursor);

// Number of buffers set up (0 when the cache is not set up).
int buf_NumBuffers();
