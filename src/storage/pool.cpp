// pool.cpp - pools of variable-size blocks: creation, allocation with split,
// freeing with merge, reallocation, reads and writes (see pool.h). The
// transactional parts (taking pages into a transaction, the free-list
// actions of a transaction, the log handlers) are pool_tx.cpp; the
// window of pinned pages is pool_access.cpp.
//
// Crash order outside a transaction: an operation changes its blocks'
// headers through its window, releases the window (the system pool's pages
// are written through there), and only then changes the free list, whose
// pages are written at once. A crash between leaves the free list behind
// the blocks: a listed block whose header no longer matches the item (in
// use, or of another size) is dropped from the list when it is met, never
// handed out; a block not listed is lost to the pool, never given twice.
//
// Context: the server thread, under the pool's node lock (the caller's);
// calls may suspend in the cache, the volume set and (in a transaction)
// while waiting for another transaction.
#include "storage/pool.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/node_flist.h"
#include "storage/pool_access.h"

using namespace pools;

namespace {

#define POOL_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

enum { kDone = 0, kFailed = -1, kConflict = 1, kStale = 2 };

int data_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG : Node_MODE_DATA;
}

bool used(const Pool_HEADER& h) { return Pool_TestFlag(Pool_BLOCKUSED, &h); }

bool too_large(uint32_t size, const char* what) {
  if (size <= Pool_MAX_BLOCK_SIZE) return false;
  debug_log('N', 2, "%s failed: size %u exceeds maximum block size (%u)", what, size,
            Pool_MAX_BLOCK_SIZE);
  POOL_ERROR(Pool_E_SIZE);
  return true;
}

// Ends an operation: releases the window, then does the free-list action
// it collected. 0 or -1.
int finish(PoolAccess* pa) {
  release_window(pa);
  if (!pa->flist_pending) return 0;
  pa->flist_pending = false;
  return flist_action(pa, pa->flist_add.cluster ? &pa->flist_add : nullptr, pa->flist_del,
                      pa->flist_ndel);
}

void pend_flist(PoolAccess* pa, const Node_ADDR& add, const Node_ADDR* dels, int ndel) {
  pa->flist_pending = true;
  pa->flist_add = add;
  pa->flist_ndel = ndel;
  for (int i = 0; i < ndel; ++i) pa->flist_del[i] = dels[i];
}

// One past the last byte a split or merge of the block at off may change:
// its payload, the next header, and (when that block is free) the header
// after it.
uint32_t affected_end(PoolAccess* pa, uint32_t cluster, uint32_t off, const Pool_HEADER& h) {
  uint32_t end = off + Pool_HEADER_SIZE + h.size;
  if (h.next != 0) {
    const uint32_t next_off = off + h.next;
    end = next_off + Pool_HEADER_SIZE;
    const Pool_HEADER nh = read_header(pa, cluster, next_off);
    if (!used(nh) && nh.next != 0) end = next_off + nh.next + Pool_HEADER_SIZE;
  }
  const uint32_t limit = cluster_bytes(pa->cluster_pages);
  return end > limit ? limit : end;
}

// Writes h (in use) at off, split to size when the rest makes a block of
// its own: the rest becomes a free block, merged with a free successor, and
// goes on the free list when the operation ends.
void split(PoolAccess* pa, uint32_t cluster, uint32_t off, Pool_HEADER h, uint32_t size) {
  if (h.size < static_cast<uint32_t>(min_block(pa->node)) + size + Pool_HEADER_SIZE) {
    write_header(pa, cluster, off, h);
    return;
  }
  const uint32_t foff = off + size + Pool_HEADER_SIZE;
  Pool_HEADER fh;
  fh.prev = static_cast<uint16_t>(size + Pool_HEADER_SIZE);
  fh.size = static_cast<uint16_t>(h.size - size - Pool_HEADER_SIZE);
  // The rest keeps the old block's end: its next is what is left of the
  // old distance once the kept block and the new header are taken off.
  fh.next = h.next != 0 ? static_cast<uint16_t>(h.next - size - Pool_HEADER_SIZE) : 0;
  h.size = static_cast<uint16_t>(size);
  h.next = static_cast<uint16_t>(size + Pool_HEADER_SIZE);
  write_header(pa, cluster, off, h);
  Node_ADDR dels[1];
  int ndel = 0;
  if (fh.next != 0) {
    const uint32_t next_off = foff + fh.next;
    Pool_HEADER nh = read_header(pa, cluster, next_off);
    if (!used(nh)) {
      dels[ndel++] = Node_ADDR{cluster, static_cast<uint16_t>(next_off), nh.size};
      fh.size = static_cast<uint16_t>(fh.size + nh.size + Pool_HEADER_SIZE);
      fh.next = nh.next != 0 ? static_cast<uint16_t>(fh.next + nh.next) : 0;
      if (nh.next != 0) {
        const uint32_t after = next_off + nh.next;
        Pool_HEADER ah = read_header(pa, cluster, after);
        ah.prev = fh.next;
        write_header(pa, cluster, after, ah);
      }
    } else {
      nh.prev = fh.next;
      write_header(pa, cluster, next_off, nh);
    }
  }
  write_header(pa, cluster, foff, fh);
  pend_flist(pa, Node_ADDR{cluster, static_cast<uint16_t>(foff), fh.size}, dels, ndel);
}

// Takes the free block item for a block of size: kDone (*addr set),
// kStale (the item did not match its header and is dropped), kConflict
// (another transaction holds its pages: item taken back, window released)
// or kFailed.
// Whether cluster starts a cluster of node's used-cluster list.
bool listed_cluster(Node* node, uint32_t cluster) {
  uint32_t start = 0;
  Node_ITER it;
  for (int rc = Node_FirstCluster(node, &start, nullptr, &it); rc == 0;
       rc = Node_NextCluster(node, &start, nullptr, &it))
    if (start == cluster) return true;
  return false;
}

int setup_new_block(PoolAccess* pa, const Node_ADDR& item, uint32_t size, Node_ADDR* addr) {
  // The system pool's free list is not logged and its pages are written
  // without a flush: after a power cut it may name a cluster its used list
  // lost (free in the bitmap, perhaps another node's page by now), or one
  // whose head never reached the disk (read defensively).
  if (Node_TestFlag(Node_SYSPOOL, pa->node) && !listed_cluster(pa->node, item.cluster)) {
    debug_log('N', 0,
              "Pool_SetupNewBlock(node=%s) cluster 0x%x is not the pool's - free-list item "
              "dropped",
              Node_Name(pa->node), item.cluster);
    return kStale;
  }
  pa->defensive = true;
  Pool_HEADER h = read_header(pa, item.cluster, item.offset);
  if (!pa->corrupt && !used(h) && h.next != 0) read_header(pa, item.cluster, item.offset + h.next);
  const bool unreadable = pa->corrupt;
  pa->defensive = false;
  pa->corrupt = false;
  if (unreadable || used(h) || h.size < size || h.size != item.size) {
    // A free list a crash left behind its blocks: the item is dropped.
    debug_log('N', 0,
              "Pool_SetupNewBlock(node=%s) header inconsistency: header.size=%u, "
              "addr->size=%u, header.flags=%u%s - free-list item dropped",
              Node_Name(pa->node), h.size, item.size, h.flags,
              unreadable ? " (cluster unreadable)" : "");
    release_window(pa);
    return kStale;
  }
  if (pa->tx != nullptr) {
    const uint32_t end = affected_end(pa, item.cluster, item.offset, h);
    const int rc = lock_range(pa, item.cluster, pa->cluster_pages, item.offset, end,
                              Pool_OP_MODIFY, false);
    if (rc != 0) {
      release_window(pa);
      return rc == 1 ? kConflict : kFailed;
    }
  }
  Pool_SetFlag(Pool_BLOCKUSED, &h);
  split(pa, item.cluster, item.offset, h, size);
  if (finish(pa) != 0) return kFailed;
  *addr = Node_ADDR{item.cluster, item.offset, static_cast<uint16_t>(size)};
  return kDone;
}

// A new cluster for a block of size; the rest of it is a free block.
int new_cluster(PoolAccess* pa, uint32_t size, Node_ADDR* addr) {
  Node* node = pa->node;
  const int pages = Pool_ClusterPages(node, size);
  if (pages == 0) {
    debug_log('N', 2, "Pool_Alloc() failed: size %u exceeds maximum block size (%u)", size,
              Pool_MAX_BLOCK_SIZE);
    POOL_ERROR(Pool_E_SIZE);
    return -1;
  }
  Node_PGVEC vec[Vol_MAXCLUST];
  uint32_t start = 0;
  if (pa->tx == nullptr) {
    if (Node_AllocCluster(node, pages, vec, data_mode(node), nullptr) != 0) return -1;
    start = vec[0].page;
    for (int i = 0; i < pages; ++i) memset(vec[i].buf, 0, Vol_PAGESIZE);
    adopt(pa, start, pages, vec);
  } else {
    // Listed in the used-cluster list at pre-commit, once, by its first page.
    char* bufs[Vol_MAXCLUST];
    if (buf_Alloc(node, pages, &start, bufs) != 0) return -1;
    for (int i = 0; i < pages; ++i) memset(bufs[i], 0, Vol_PAGESIZE);
    buf_PutVector(pages, bufs, 0, BF_PIN);
    LockReq reqs[Vol_MAXCLUST];
    for (int i = 0; i < pages; ++i)
      reqs[i] = LockReq{start + static_cast<uint32_t>(i), Pool_OP_NEW, start,
                        static_cast<uint16_t>(pages)};
    if (lock_pages(pa, reqs, pages, true) != 0) {
      buf_FreePage(node, start, pages);
      return -1;
    }
    release_window(pa);
    pa->cluster = start;
    pa->cluster_pages = static_cast<uint16_t>(pages);
    seek(pa, start, 0, cluster_bytes(static_cast<uint32_t>(pages)));
  }
  write_cluster_head(pa, start, Pool_CLUSTER_HEAD{0, 0, 0, static_cast<uint16_t>(pages)});
  const uint32_t capacity =
      cluster_bytes(static_cast<uint32_t>(pages)) - Pool_CLUSTER_HEAD_SIZE - 2 * Pool_HEADER_SIZE;
  Pool_HEADER h;
  h.size = static_cast<uint16_t>(size);
  Pool_SetFlag(Pool_BLOCKUSED, &h);
  if (size < capacity && capacity - size >= min_block(node)) {
    h.next = static_cast<uint16_t>(size + Pool_HEADER_SIZE);
    const uint32_t foff = Pool_CLUSTER_HEAD_SIZE + size + Pool_HEADER_SIZE;
    Pool_HEADER fh;
    fh.prev = h.next;
    fh.size = static_cast<uint16_t>(capacity - size);
    write_header(pa, start, foff, fh);
    pend_flist(pa, Node_ADDR{start, static_cast<uint16_t>(foff), fh.size}, nullptr, 0);
  }
  write_header(pa, start, Pool_CLUSTER_HEAD_SIZE, h);
  if (finish(pa) != 0) return -1;
  *addr = Node_ADDR{start, static_cast<uint16_t>(Pool_CLUSTER_HEAD_SIZE),
                    static_cast<uint16_t>(size)};
  return 0;
}

// Whether a block's header starts at off in the cluster's chain of
// headers: a redo after a cut recovery may name a block freed and merged
// into its neighbour since, whose old header still reads as in use.
bool on_chain(PoolAccess* pa, uint32_t cl, uint32_t off) {
  for (uint32_t at = Pool_CLUSTER_HEAD_SIZE;;) {
    const Pool_HEADER h = read_header(pa, cl, at);
    if (pa->corrupt) return false;
    if (at == off) return true;
    if (h.next == 0 || at > off) return false;
    at += h.next;
  }
}

// Frees the block at *addr; defensive: a block not in use, or in a
// cluster whose pages do not hold a pool cluster (a redo after a power cut
// may name one), is left alone and gives 1.
int free_block(Node* node, Node_ADDR* addr, Node* tx, bool defensive) {
  ZENT_ASSERT(Node_AddrValid(addr) && "Node_AddrValid(addr)");
  PoolAccess pa;
  init_access(&pa, node, tx);
  pa.defensive = defensive;
  const uint32_t cl = addr->cluster;
  const uint32_t off = addr->offset;
  Pool_HEADER h, ph, nh;
  uint32_t prev_off = 0, next_off = 0;
  bool prev_free = false, next_free = false;
  for (;;) {
    h = read_header(&pa, cl, off);
    if (!used(h) && !defensive) ZENT_ASSERT(!"Pool_TestFlag(Pool_BLOCKUSED, &header)");
    prev_free = next_free = false;
    if (used(h) && h.prev != 0) {
      prev_off = off - h.prev;
      ph = read_header(&pa, cl, prev_off);
      prev_free = !used(ph);
    }
    if (used(h) && h.next != 0) {
      next_off = off + h.next;
      nh = read_header(&pa, cl, next_off);
      next_free = !used(nh);
    }
    if (defensive &&
        (pa.corrupt || !used(h) || h.size < addr->size || !on_chain(&pa, cl, off))) {
      debug_log('N', 1,
                "Pool_DefensiveFree(node=%s) note: no such block in use%s, "
                "cluster=0x%x, offset=%u, size=%u",
                Node_Name(node), pa.corrupt ? " (cluster unreadable)" : "", addr->cluster,
                addr->offset, addr->size);
      release_window(&pa);
      return 1;
    }
    if (tx == nullptr) break;
    const bool first = h.prev == 0 || (prev_free && ph.prev == 0);
    const bool last = h.next == 0 || (next_free && nh.next == 0);
    int rc;
    const uint16_t pages = pa.cluster_pages;
    if (first && last) {
      rc = lock_range(&pa, cl, pages, 0, cluster_bytes(pages), Pool_OP_DELETE, false);
    } else {
      uint32_t from = prev_free ? prev_off : off;
      uint32_t end = off + Pool_HEADER_SIZE + h.size;
      if (h.next != 0) {
        end = next_off + Pool_HEADER_SIZE;
        if (next_free && nh.next != 0) end = next_off + nh.next + Pool_HEADER_SIZE;
      }
      rc = lock_range(&pa, cl, pages, from, end, Pool_OP_MODIFY, false);
    }
    if (rc == 0) break;
    release_window(&pa);
    if (rc < 0 || wait_foreign(&pa) != 0) return -1;
  }
  Pool_HEADER m = h;
  Pool_ClearFlag(Pool_BLOCKUSED, &m);
  uint32_t moff = off;
  Node_ADDR dels[Pool_MAX_ITEMS_TO_DELETE];
  int ndel = 0;
  if (prev_free) {
    dels[ndel++] = Node_ADDR{cl, static_cast<uint16_t>(prev_off), ph.size};
    m.prev = ph.prev;
    m.next = h.next != 0 ? static_cast<uint16_t>(ph.next + h.next) : 0;
    m.size = static_cast<uint16_t>(ph.size + Pool_HEADER_SIZE + h.size);
    moff = prev_off;
  }
  if (next_free) {
    dels[ndel++] = Node_ADDR{cl, static_cast<uint16_t>(next_off), nh.size};
    m.size = static_cast<uint16_t>(m.size + nh.size + Pool_HEADER_SIZE);
    m.next = nh.next != 0 ? static_cast<uint16_t>(m.next + nh.next) : 0;
    if (nh.next != 0) {
      const uint32_t after = next_off + nh.next;
      Pool_HEADER ah = read_header(&pa, cl, after);
      ah.prev = m.next;
      write_header(&pa, cl, after, ah);
    }
  } else if (h.next != 0 && prev_free) {
    nh.prev = m.next;
    write_header(&pa, cl, next_off, nh);
  }
  if (m.prev == 0 && m.next == 0) {
    // The cluster is empty. Outside a transaction it goes now; inside one
    // its DELETE records free it at final commit.
    release_window(&pa);
    if (flist_action(&pa, nullptr, dels, ndel) != 0) return -1;
    if (tx == nullptr) Node_DeleteCluster(node, cl, nullptr);
    return 0;
  }
  write_header(&pa, cl, moff, m);
  pend_flist(&pa, Node_ADDR{cl, static_cast<uint16_t>(moff), m.size}, dels, ndel);
  return finish(&pa);
}

// Reads or writes segn segments from the start of the block.
int transfer(Node* node, const Node_ADDR* addr, uint32_t at, const Pool_IOVEC* vec, int segn,
             Node* tx, bool write, const char* name, bool defensive) {
  ZENT_ASSERT(Node_AddrValid(addr) && "Node_AddrValid(addr)");
  ZENT_ASSERT(segn > 0 && "segn > 0");
  uint32_t total = 0;
  for (int i = 0; i < segn; ++i) total += vec[i].size;
  PoolAccess pa;
  init_access(&pa, node, tx);
  pa.defensive = defensive;
  const Pool_HEADER h = read_header(&pa, addr->cluster, addr->offset);
  if (pa.corrupt || !used(h) || h.size < addr->size ||
      (defensive && !on_chain(&pa, addr->cluster, addr->offset))) {
    if (defensive) {
      debug_log('N', 0,
                "Pool_DefensiveRead(node=%s): header inconsistency (cluster=%u, offset=%u) "
                "file %s, line %d",
                Node_Name(node), addr->cluster, addr->offset, __FILE__, __LINE__);
      release_window(&pa);
      return -1;
    }
    debug_log('N', 0,
              "%s(node=%s) header inconsistency: header.size=%u, addr->size=%u, "
              "header.flags=%u",
              name, Node_Name(node), h.size, addr->size, h.flags);
    ZENT_ASSERT(used(h) && "Pool_TestFlag(Pool_BLOCKUSED, &header)");
    ZENT_ASSERT(!"header.size >= addr->size");
  }
  // The block's own size bounds the transfer: the window covers no more,
  // and a block that was never split or was shrunk holds more in its
  // header than is the caller's.
  ZENT_ASSERT(at <= addr->size && "offset + elsize <= size");
  const uint32_t room = addr->size - at;
  const uint32_t n = total < room ? total : room;
  const uint32_t from = addr->offset + Pool_HEADER_SIZE + at;
  if (write && tx != nullptr && n > 0) {
    const uint16_t pages = pa.cluster_pages;
    release_window(&pa);
    if (lock_range(&pa, addr->cluster, pages, from, from + n, Pool_OP_MODIFY, true) != 0)
      return -1;
  }
  seek(&pa, addr->cluster, addr->offset, Pool_HEADER_SIZE + at + n);
  if (pa.corrupt) {
    debug_log('N', 0,
              "Pool_DefensiveRead(node=%s): block beyond its cluster (cluster=%u, offset=%u)",
              Node_Name(node), addr->cluster, addr->offset);
    release_window(&pa);
    return -1;
  }
  uint32_t done = 0;
  for (int i = 0; i < segn && done < n; ++i) {
    const uint32_t k = vec[i].size < n - done ? vec[i].size : n - done;
    if (write)
      copy_in(&pa, from + done, vec[i].buf, k);
    else
      copy_out(&pa, from + done, vec[i].buf, k);
    done += k;
  }
  release_window(&pa);
  return static_cast<int>(n);
}

}  // namespace

// --- Creation -------------------------------------------------------------------------------

Node* Pool_DoCreate(uint32_t system_node_id, int log) {
  debug_log('N', 3, "Pool_DoCreate(system_node_id=%u) file %s, line %d", system_node_id,
            __FILE__, __LINE__);
  // A pool from its first descriptor write and creation record on: a replay
  // of the creation after a power loss must not make it a bare node.
  Node* node = Node_DoCreate(1, 0, system_node_id, log, 1u << Node_POOLNODE);
  if (node == nullptr) return nullptr;
  if (!log) Node_Sync(node);
  return node;
}

Node* Pool_Create() {
  debug_log('N', 3, "Pool_Create() file %s, line %d", __FILE__, __LINE__);
  return Pool_DoCreate(0, 0);
}

Node* Pool_CreateLog() {
  debug_log('N', 3, "Pool_CreateLog() file %s, line %d", __FILE__, __LINE__);
  return Pool_DoCreate(0, 1);
}

Node* Pool_SysCreateLog(uint32_t system_node_id) {
  debug_log('N', 3, "Pool_SysCreateLog(system_node_id=%u) file %s, line %d", system_node_id,
            __FILE__, __LINE__);
  ZENT_ASSERT(system_node_id > 0 && "system_node_id");
  return Pool_DoCreate(system_node_id, 1);
}

int Pool_ClusterPages(const Node* node, uint32_t size) {
  const uint32_t needed =
      (size + Pool_CLUSTER_HEAD_SIZE + Pool_HEADER_SIZE + Vol_PAGESIZE - 1) / Vol_PAGESIZE;
  if (needed > static_cast<uint32_t>(Vol_MAXCLUST)) return 0;
  const uint32_t preferred = (Node_GetAvgBlockSize(node) * 64u + 524u) / Vol_PAGESIZE;
  if (preferred < needed) return static_cast<int>(needed);
  return preferred > static_cast<uint32_t>(Vol_MAXCLUST) ? Vol_MAXCLUST
                                                         : static_cast<int>(preferred);
}

// --- Blocks ---------------------------------------------------------------------------------

int Pool_Alloc(Node* node, uint32_t size, Node_ADDR* addr, Node* tx) {
  ZENT_ASSERT(!Node_TestFlag(Node_NO_ULIST, node) && "!Node_TestFlag(Node_NO_ULIST, node)");
  ZENT_ASSERT(size != 0 && "size");
  if (too_large(size, "Pool_Alloc()")) return -1;
  Node_UpdateBlockStats(node, size);
  PoolAccess pa;
  init_access(&pa, node, tx);
  for (;;) {
    Node_ADDR item;
    const bool found = (tx != nullptr && take_own_item(&pa, size, &item) == 0) ||
                       Node_TakeFromFlist(node, &item, size, tx) == 0;
    if (!found) return new_cluster(&pa, size, addr);
    const int rc = setup_new_block(&pa, item, size, addr);
    if (rc == kDone) return 0;
    if (rc == kFailed) return -1;
    if (rc == kStale) continue;
    // Held by another transaction: the block goes back, and after the
    // wait the search starts again.
    if (Pool_AddItemToFlist(node, &item, tx) != 0) return -1;
    if (wait_foreign(&pa) != 0) return -1;
  }
}

int Pool_ReAlloc(Node* node, uint32_t size, Node_ADDR* addr, Node* tx) {
  ZENT_ASSERT(Node_AddrValid(addr) && "Node_AddrValid(addr)");
  ZENT_ASSERT(size != 0 && "size");
  if (too_large(size, "Pool_ReAlloc()")) return -1;
  if (size == addr->size) return 0;
  if (size > addr->size) {
    Node_ADDR fresh;
    if (Pool_Alloc(node, size, &fresh, tx) != 0) return -1;
    Node_ADDR old = *addr;
    if (Pool_Free(node, &old, tx) != 0) {
      if (Pool_Free(node, &fresh, tx) != 0)
        debug_log('N', 0, "Pool_ReAlloc() failed to cleanup on Pool_Free(), file %s, line %d",
                  __FILE__, __LINE__);
      return -1;
    }
    *addr = fresh;
    return 0;
  }
  PoolAccess pa;
  init_access(&pa, node, tx);
  for (;;) {
    const Pool_HEADER h = read_header(&pa, addr->cluster, addr->offset);
    ZENT_ASSERT(used(h) && "Pool_TestFlag(Pool_BLOCKUSED, &header)");
    if (tx != nullptr) {
      const uint32_t end = affected_end(&pa, addr->cluster, addr->offset, h);
      const int rc = lock_range(&pa, addr->cluster, pa.cluster_pages, addr->offset, end,
                                Pool_OP_MODIFY, false);
      if (rc != 0) {
        release_window(&pa);
        if (rc < 0 || wait_foreign(&pa) != 0) return -1;
        continue;
      }
    }
    split(&pa, addr->cluster, addr->offset, h, size);
    break;
  }
  if (finish(&pa) != 0) return -1;
  addr->size = static_cast<uint16_t>(size);
  return 0;
}

int Pool_Free(Node* node, Node_ADDR* addr, Node* tx) { return free_block(node, addr, tx, false); }

int Pool_DefensiveFree(Node* node, Node_ADDR* addr) {
  return free_block(node, addr, nullptr, true);
}

int Pool_Read(Node* node, const Node_ADDR* addr, void* buffer, uint32_t size, Node* tx) {
  if (too_large(size, "Pool_Read()")) return -1;
  const Pool_IOVEC v{buffer, size};
  return transfer(node, addr, 0, &v, 1, tx, false, "Pool_Read", false);
}

int Pool_DefensiveRead(Node* node, const Node_ADDR* addr, void* buffer, uint32_t size, Node* tx) {
  if (too_large(size, "Pool_Read()")) return -1;
  const Pool_IOVEC v{buffer, size};
  return transfer(node, addr, 0, &v, 1, tx, false, "Pool_DefensiveRead", true);
}

int Pool_Write(Node* node, const Node_ADDR* addr, const void* buffer, uint32_t size, Node* tx) {
  if (too_large(size, "Pool_Write()")) return -1;
  const Pool_IOVEC v{const_cast<void*>(buffer), size};
  return transfer(node, addr, 0, &v, 1, tx, true, "Pool_Write", false);
}

namespace {
uint32_t total_of(const Pool_IOVEC* vec, int segn) {
  uint64_t t = 0;
  for (int i = 0; i < segn; ++i) t += vec[i].size;
  return t > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(t);
}
bool too_large_total(uint32_t total, const char* what) {
  if (total <= Pool_MAX_BLOCK_SIZE) return false;
  debug_log('N', 2, "%s failed: total size %u exceeds maximum block size (%u)", what, total,
            Pool_MAX_BLOCK_SIZE);
  POOL_ERROR(Pool_E_SIZE);
  return true;
}
}  // namespace

int Pool_ReadV(Node* node, const Node_ADDR* addr, const Pool_IOVEC* vec, int segn, Node* tx) {
  if (too_large_total(total_of(vec, segn), "Pool_ReadV()")) return -1;
  return transfer(node, addr, 0, vec, segn, tx, false, "Pool_ReadV", false);
}

int Pool_WriteV(Node* node, const Node_ADDR* addr, const Pool_IOVEC* vec, int segn, Node* tx) {
  if (too_large_total(total_of(vec, segn), "Pool_WriteV()")) return -1;
  return transfer(node, addr, 0, vec, segn, tx, true, "Pool_WriteV", false);
}

int Pool_ReplaceElement(Node* node, const Node_ADDR* addr, uint32_t offset, const void* element,
                        uint32_t elsize, Node* tx) {
  if (too_large(elsize, "Pool_Write()")) return -1;
  ZENT_ASSERT(offset + elsize <= addr->size && "offset + elsize <= size");
  const Pool_IOVEC v{const_cast<void*>(element), elsize};
  return transfer(node, addr, offset, &v, 1, tx, true, "Pool_ReplaceElement", false);
}

int Pool_AddItemToFlist(Node* node, const Node_ADDR* item, Node* tx) {
  ZENT_ASSERT(item->cluster && "item->cluster");
  ZENT_ASSERT(item->size && "item->size");
  PoolAccess pa;
  init_access(&pa, node, tx);
  return flist_action(&pa, item, nullptr, 0);
}
