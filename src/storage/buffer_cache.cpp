// buffer_cache.cpp - the page buffer cache (buf_ interface, bf_ inside).
//
// Headers, pool and hash table are allocated once at buf_Init; nothing is
// allocated per request, and a hit makes no system call. All state belongs
// to the server thread: a task changes it only between the points where it
// may be suspended (sleep_on, thread_yield, tio_read_cluster), and the I and
// N flags guard buffers across those points. See README.md ("Buffer cache").
#include "storage/buffer_cache.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

namespace {

struct BUFHDR_T {
  struct {
    Node* node_id;     // owning node; none = free
    uint32_t page_id;  // page address held
  } id;
  BUFHDR_T* lru_next;
  BUFHDR_T* lru_prev;
  BUFHDR_T* hash_next;
  BUFHDR_T* hash_prev;
  BUFHDR_T* backlink;      // first header of the cluster; none when single
  BUFHDR_T* cluster_next;  // next header of the cluster; none at the end
  uint32_t flags;
  int refcount;
  uint32_t dirty_tick;
  uint64_t written_seq;  // Vol_WriteSeq after its last write; 0 = none
  WaitQueue wait_queue;  // tasks waiting for this buffer's I/O or contents
  char* buffer;
  // A buffer flagged N has a task that will read or fill it. Cleared when
  // that task gives the buffer up unfilled, so that a waiter takes it on.
  bool claimed;
};

constexpr uint32_t kRequestFlags = BF_DIRTY | BF_PIN | BF_MRU;

// Without the node layer's facts (a cache used on its own): every handle is
// a data node with id 0, named by its address.
int stand_in_is_log(const Node*) { return 0; }
uint32_t stand_in_id(const Node*) { return 0; }
Vol_ALDESC* stand_in_map(const Node*) { return nullptr; }
const char* stand_in_name(const Node* node) {
  static char text[24];
  snprintf(text, sizeof text, "%p", static_cast<const void*>(node));
  return text;
}
constexpr BufNodeInfo kStandInNodeInfo = {stand_in_is_log, stand_in_id, stand_in_map,
                                          stand_in_name};

struct Cache {
  char* pool = nullptr;
  size_t pool_mapped = 0;  // bytes of the pool's mapping
  BUFHDR_T* hdrs = nullptr;
  int nbufs = 0;
  BUFHDR_T** hash = nullptr;
  uint32_t hash_size = 0;
  BUFHDR_T* lru_head = nullptr;
  uint32_t tick = 1;
  WaitQueue global_wait;  // tasks waiting for any buffer
  int do_channel_waiters = 0;
  BufStats stats{};
  BufNodeInfo node_info = kStandInNodeInfo;
  uint64_t evicted_seq[Vol_MAXLINK] = {};  // by volume id; see buf_EvictedWriteSeq
};

Cache g;

// --- Node facts -------------------------------------------------------------

bool is_log_node(const Node* node) { return node != nullptr && g.node_info.is_log_node(node); }
const char* node_name(const Node* node) { return node ? g.node_info.name(node) : "-"; }

// --- Addresses ---------------------------------------------------------------

BUFHDR_T* bf_hdr_of(const void* addr) {
  const char* p = static_cast<const char*>(addr);
  ZENT_ASSERT(g.pool != nullptr && p >= g.pool &&
              p < g.pool + static_cast<size_t>(g.nbufs) * Vol_PAGESIZE &&
              (p - g.pool) % Vol_PAGESIZE == 0 && "IS_VALID_BUF_ADDR(addr)");
  return &g.hdrs[(p - g.pool) / Vol_PAGESIZE];
}

int bf_index(const BUFHDR_T* bhp) { return bhp ? static_cast<int>(bhp - g.hdrs) : -1; }

// --- Hash table ---------------------------------------------------------------

uint32_t bf_bucket(uint32_t page) { return (page & 0xFFFF) % g.hash_size; }

BUFHDR_T* bf_lookup(uint32_t page) {
  BUFHDR_T* first = g.hash[bf_bucket(page)];
  if (first == nullptr) return nullptr;
  BUFHDR_T* bhp = first;
  do {
    if (bhp->id.page_id == page && (bhp->flags & BUF_VALID)) return bhp;
    bhp = bhp->hash_next;
  } while (bhp != first);
  return nullptr;
}

void bf_hash_insert(BUFHDR_T* bhp) {
  BUFHDR_T** slot = &g.hash[bf_bucket(bhp->id.page_id)];
  if (*slot == nullptr) {
    bhp->hash_next = bhp->hash_prev = bhp;
    g.stats.bucket_first++;
  } else {
    BUFHDR_T* first = *slot;
    bhp->hash_next = first;
    bhp->hash_prev = first->hash_prev;
    first->hash_prev->hash_next = bhp;
    first->hash_prev = bhp;
    g.stats.bucket_more++;
  }
  *slot = bhp;
  bhp->flags |= BUF_VALID;
}

void bf_hash_remove(BUFHDR_T* bhp) {
  if (!(bhp->flags & BUF_VALID)) return;
  BUFHDR_T** slot = &g.hash[bf_bucket(bhp->id.page_id)];
  if (bhp->hash_next == bhp) {
    *slot = nullptr;
  } else {
    bhp->hash_prev->hash_next = bhp->hash_next;
    bhp->hash_next->hash_prev = bhp->hash_prev;
    if (*slot == bhp) *slot = bhp->hash_next;
  }
  bhp->hash_next = bhp->hash_prev = nullptr;
  bhp->flags &= ~BUF_VALID;
}

// --- LRU list -----------------------------------------------------------------

// The most recent end is just before the head.
void bf_lru_to_mru(BUFHDR_T* bhp) {
  if (bhp == g.lru_head) {
    g.lru_head = bhp->lru_next;
    return;
  }
  bhp->lru_prev->lru_next = bhp->lru_next;
  bhp->lru_next->lru_prev = bhp->lru_prev;
  BUFHDR_T* head = g.lru_head;
  bhp->lru_next = head;
  bhp->lru_prev = head->lru_prev;
  head->lru_prev->lru_next = bhp;
  head->lru_prev = bhp;
}

void bf_make_next_victim(BUFHDR_T* bhp) {
  bf_lru_to_mru(bhp);
  g.lru_head = bhp;
}

// --- Clusters ----------------------------------------------------------------

void bf_dissolve_cluster(BUFHDR_T* bhp) {
  BUFHDR_T* member = bhp->backlink;
  if (member == nullptr) return;
  while (member != nullptr) {
    BUFHDR_T* next = member->cluster_next;
    member->backlink = nullptr;
    member->cluster_next = nullptr;
    member = next;
  }
}

// Links bhps[0..n-1] (consecutive pages, one node) as one cluster.
void bf_link_cluster(BUFHDR_T* const* bhps, int n) {
  for (int i = 0; i < n; ++i) bf_dissolve_cluster(bhps[i]);
  if (n < 2) return;
  for (int i = 0; i < n; ++i) {
    bhps[i]->backlink = bhps[0];
    bhps[i]->cluster_next = i + 1 < n ? bhps[i + 1] : nullptr;
  }
}

// The members of bhp's cluster in page order (bhp alone when single).
int bf_cluster_members(BUFHDR_T* bhp, BUFHDR_T** out) {
  if (bhp->backlink == nullptr) {
    out[0] = bhp;
    return 1;
  }
  int n = 0;
  for (BUFHDR_T* m = bhp->backlink; m != nullptr; m = m->cluster_next) {
    ZENT_ASSERT(n < MAX_PAGES_PER_CLUSTER && "npages && npages <= MAX_PAGES_PER_CLUSTER");
    if (n > 0)
      ZENT_ASSERT(m->id.page_id == out[n - 1]->id.page_id + 1 &&
                  "bhp->id.page_id == page_id + i");
    out[n++] = m;
  }
  return n;
}

// --- Freeing a buffer -------------------------------------------------------

void bf_wake_global() {
  if (g.global_wait.head != nullptr) wake_up(&g.global_wait);
}

// Back to free. Sleepers already woken may still have their entries on the
// wait queue (each removes its own when it runs), so the queue is kept.
void bf_clear(BUFHDR_T* bhp) {
  if (bhp->written_seq != 0) {
    uint64_t& last = g.evicted_seq[PAGE_VOLID(bhp->id.page_id)];
    last = std::max(last, bhp->written_seq);
    bhp->written_seq = 0;
  }
  bf_dissolve_cluster(bhp);
  bf_hash_remove(bhp);
  bhp->id.node_id = nullptr;
  bhp->id.page_id = 0;
  bhp->flags = 0;
  bhp->refcount = 0;
  bhp->dirty_tick = 0;
  bhp->claimed = false;
}

void bf_invalidate(BUFHDR_T* bhp) {
  ZENT_ASSERT(!(bhp->flags & BUF_IO_IN_PROGRESS) && "!(bhp->flags & BUF_IO_IN_PROGRESS)");
  if (bhp->flags & BUF_PINNED) ZENT_ASSERT(bhp->refcount == 1 && "bhp->refcount == 1");
  bf_clear(bhp);
  bf_make_next_victim(bhp);
  bf_wake_global();
}

// --- Transfers ------------------------------------------------------------------

void bf_read_cluster(BUFHDR_T* const* bhps, int n) {
  void* vec[MAX_PAGES_PER_CLUSTER] = {};  // n >= 1, which the compiler cannot see
  for (int i = 0; i < n; ++i) {
    ZENT_ASSERT(!(bhps[i]->flags & BUF_IO_IN_PROGRESS) && "!(bhp->flags & BUF_IO_IN_PROGRESS)");
    bhps[i]->flags |= BUF_IO_IN_PROGRESS;
    vec[i] = bhps[i]->buffer;
  }
  g.stats.pages_read += static_cast<uint32_t>(n);
  if (tio_read_cluster(bhps[0]->id.page_id, n, vec) != 0)
    ZENT_ASSERT(!"tio_read_cluster failed");
  for (int i = 0; i < n; ++i) {
    bhps[i]->flags &= ~(BUF_IO_IN_PROGRESS | BUF_NOT_READ | BUF_DIRTY);
    bhps[i]->claimed = false;
    if (bhps[i]->wait_queue.head != nullptr) wake_up(&bhps[i]->wait_queue);
  }
}

void bf_write_run(BUFHDR_T* const* run, int n) {
  const void* vec[MAX_PAGES_PER_CLUSTER];
  for (int i = 0; i < n; ++i) {
    ZENT_ASSERT(!(run[i]->flags & BUF_IO_IN_PROGRESS) && "!(bhp->flags & BUF_IO_IN_PROGRESS)");
    run[i]->flags |= BUF_IO_IN_PROGRESS;
    vec[i] = run[i]->buffer;
  }
  g.stats.pages_written += static_cast<uint32_t>(n);
  // A write that could not be placed (on-line backup with no LOG page
  // left) leaves the pages dirty: they are written again later.
  const bool written = Vol_WritePageVector(run[0]->id.page_id, n, vec) == 0;
  for (int i = 0; i < n; ++i) {
    run[i]->flags &= ~BUF_IO_IN_PROGRESS;
    if (written) {
      run[i]->flags &= ~BUF_DIRTY;
      run[i]->written_seq = Vol_WriteSeq();
    }
    if (run[i]->wait_queue.head != nullptr) wake_up(&run[i]->wait_queue);
  }
  // A do-channel request waits for clean buffers, which only writes make.
  if (g.do_channel_waiters > 0) bf_wake_global();
}

// Writes the dirty pages of bhp's cluster as runs from a dirty member to the
// last dirty member, clean members between them included. A member that
// holds no page contents (N) or is in I/O never goes to disk: it splits the
// run.
void bf_write_cluster(BUFHDR_T* bhp) {
  BUFHDR_T* members[MAX_PAGES_PER_CLUSTER];
  int n = bf_cluster_members(bhp, members);
  int i = 0;
  while (i < n) {
    if (!(members[i]->flags & BUF_DIRTY)) {
      ++i;
      continue;
    }
    int last_dirty = i;
    int j = i;
    while (j < n && !(members[j]->flags & (BUF_NOT_READ | BUF_IO_IN_PROGRESS))) {
      if (members[j]->flags & BUF_DIRTY) last_dirty = j;
      ++j;
    }
    bf_write_run(&members[i], last_dirty - i + 1);
    i = last_dirty + 1;
  }
}

// --- Victims ---------------------------------------------------------------------

bool bf_is_do_channel(const Node* node) {
  return is_log_node(node) && g.node_info.node_id(node) == 2 && Vol_IsRedirected();
}

// In on-line backup, writing a data page may append to the root log's do
// channel, which then needs buffers of its own: it cannot write such a page
// to make room (it would append to itself), so other requests keep this
// many buffers clean for it. One cluster of the log and the pages that
// lead to it.
constexpr int kDoChannelReserve = MAX_PAGES_PER_CLUSTER + 2;

// One walk of the LRU list from the head: the first buffer neither pinned
// nor in I/O that may be taken. Dirty buffers of log nodes are left in the
// first pass; a do-channel request takes no dirty buffer at all.
BUFHDR_T* bf_find_victim(int pass, bool do_channel) {
  BUFHDR_T* bhp = g.lru_head;
  for (int i = 0; i < g.nbufs; ++i, bhp = bhp->lru_next) {
    if (bhp->flags & (BUF_PINNED | BUF_IO_IN_PROGRESS)) continue;
    if (bhp->flags & BUF_DIRTY) {
      if (do_channel) continue;
      if (pass == 1 && is_log_node(bhp->id.node_id)) continue;
    }
    return bhp;
  }
  return nullptr;
}

// Before a request other than the do channel's takes a buffer in backup
// mode: while fewer than the reserve (and the one about to be taken) would
// stay clean, the least recently used dirty buffers are written. Such a
// write may itself take reserve buffers for the do channel; it makes at
// least one clean, so the loop is bounded by the cache's size.
void bf_keep_do_channel_reserve() {
  const int reserve = kDoChannelReserve < g.nbufs / 2 ? kDoChannelReserve : g.nbufs / 2;
  for (int round = 0; round < g.nbufs; ++round) {
    int clean = 0;
    BUFHDR_T* oldest_dirty = nullptr;
    BUFHDR_T* bhp = g.lru_head;
    for (int i = 0; i < g.nbufs && clean <= reserve; ++i, bhp = bhp->lru_next) {
      if (bhp->flags & (BUF_PINNED | BUF_IO_IN_PROGRESS)) continue;
      if (!(bhp->flags & BUF_DIRTY))
        ++clean;
      else if (oldest_dirty == nullptr)
        oldest_dirty = bhp;
    }
    if (clean > reserve || oldest_dirty == nullptr) return;
    g.stats.dirty_writes++;
    bf_write_cluster(oldest_dirty);
    if (oldest_dirty->flags & BUF_DIRTY) return;  // not placed: the request goes on as it can
  }
}

// One cluster request of buf_Get while it gathers its buffers: those so
// far, and which of them it claimed (they hold no contents yet and are the
// request's to read or fill).
struct BfRequest {
  Node* node;
  uint32_t flags;
  int n = 0;
  BUFHDR_T* bhps[MAX_PAGES_PER_CLUSTER] = {};
  bool mine[MAX_PAGES_PER_CLUSTER] = {};
};

// Before a request waits for another task (for its claim or for a free
// buffer), its own claims may be what that task waits for: a request that
// reads reads them now; an empty one (the caller fills the pages) gives
// them up, so that a waiter reads the page, and takes back or waits for
// what is left of them when it goes on. True when anything was read or
// given up; a read suspends the task.
bool bf_settle_claims(BfRequest* r) {
  bool any = false;
  int i = 0;
  while (i < r->n) {
    if (!r->mine[i] || !(r->bhps[i]->flags & BUF_NOT_READ)) {
      ++i;
      continue;
    }
    any = true;
    if (r->flags & BF_EMPTY) {
      BUFHDR_T* bhp = r->bhps[i];
      bhp->claimed = false;
      r->mine[i] = false;
      if (bhp->wait_queue.head != nullptr) wake_up(&bhp->wait_queue);
      ++i;
      continue;
    }
    int j = i;
    while (j < r->n && r->mine[j] && (r->bhps[j]->flags & BUF_NOT_READ)) r->mine[j++] = false;
    bf_read_cluster(&r->bhps[i], j - i);
    i = j;
  }
  return any;
}

// Sleeps on the global queue until an unpin, an invalidation or (for the
// do channel, which waits for clean buffers) a write-back. A sleep cut short
// (a session being closed) returns too: the caller walks the list again.
void bf_wait_for_any_buffer(const Node* node, bool do_channel) {
  if (do_channel) g.do_channel_waiters++;
  const int aborted = sleep_on(&g.global_wait, WAIT_NEVER_CUT, __FILE__, __LINE__);
  if (do_channel) g.do_channel_waiters--;
  if (aborted != 0)
    debug_log('C', 2, "bf_newbuf: sleep_on(&wait_queue) aborted, node=%s", node_name(node));
}

// A free buffer for node, taken from the least recently used end. *slept is
// set when the task had to wait for one (other tasks ran meanwhile). The
// claims of r (none for buf_Alloc) are settled before any such wait.
BUFHDR_T* bf_newbuf(const Node* node, bool* slept, BfRequest* r) {
  const bool do_channel = bf_is_do_channel(node);
  if (!do_channel && Vol_IsRedirected()) bf_keep_do_channel_reserve();
  int pass = 1;
  bool told_do_channel = false;
  for (;;) {
    if (BUFHDR_T* victim = bf_find_victim(pass, do_channel)) {
      if (victim->flags & BUF_DIRTY) {
        g.stats.dirty_writes++;
        bf_write_cluster(victim);
        // The write does not suspend the task, but stay safe should it.
        if (victim->flags & (BUF_PINNED | BUF_IO_IN_PROGRESS | BUF_DIRTY)) continue;
      }
      bf_clear(victim);
      g.stats.reused++;
      return victim;
    }
    if (pass == 1) {
      debug_log('C', 1, "bf_newbuf: Data buffers currently in use - trying harder");
      pass = 2;
      continue;
    }
    if (r != nullptr && bf_settle_claims(r)) continue;  // it may have slept: walk again
    if (!do_channel)
      debug_log('C', 1, "bf_newbuf: All cache buffers are in use.");
    else if (!told_do_channel)
      debug_log('C', 1, "bf_newbuf: Unable to grant buffer request for do channel");
    told_do_channel = do_channel;
    bf_wait_for_any_buffer(node, do_channel);
    *slept = true;
  }
}

// --- Getting and putting ------------------------------------------------------

void bf_pin_hit(BUFHDR_T* bhp, uint32_t flags) {
  bhp->flags |= BUF_PINNED;
  if (flags & BF_MRU) bhp->flags |= BUF_MRU;
  bhp->refcount++;
  bf_lru_to_mru(bhp);
  g.stats.hits++;
}

// Enters a fresh buffer for page of node.
void bf_enter(BUFHDR_T* bhp, Node* node, uint32_t page, uint32_t flags) {
  bhp->id.node_id = node;
  bhp->id.page_id = page;
  bf_hash_insert(bhp);
  bhp->flags |= flags;
  bhp->refcount = 1;
  bf_lru_to_mru(bhp);
}

// A free buffer for a page that was not cached when the caller looked. When
// the task had to wait for the buffer, another task may have cached the page
// meanwhile: then that buffer is returned (*hit) and the free one stays free.
BUFHDR_T* bf_buffer_for(BfRequest* r, uint32_t page, bool* hit) {
  bool slept = false;
  BUFHDR_T* fresh = bf_newbuf(r->node, &slept, r);
  *hit = false;
  if (slept) {
    if (BUFHDR_T* cached = bf_lookup(page)) {
      bf_make_next_victim(fresh);
      *hit = true;
      return cached;
    }
  }
  return fresh;
}

// Waits while a buffer of the request holds a page another task claimed
// (it reads or fills it), settling the request's own claims before each
// sleep; then takes every page given up unfilled as the request's own. A
// sleep cut short (a session being closed) sleeps again: the caller cannot
// go on without the pages.
void bf_wait_for_contents(BfRequest* r) {
  for (;;) {
    BUFHDR_T* other = nullptr;
    for (int i = 0; i < r->n && other == nullptr; ++i) {
      const BUFHDR_T* bhp = r->bhps[i];
      if ((bhp->flags & BUF_NOT_READ) && !r->mine[i] && bhp->claimed) other = r->bhps[i];
    }
    if (other == nullptr) break;
    // A read suspends the task: look again before sleeping.
    if (bf_settle_claims(r) && !(r->flags & BF_EMPTY)) continue;
    g.stats.read_waits++;
    if (sleep_on(&other->wait_queue, WAIT_NEVER_CUT, __FILE__, __LINE__) != 0)
      debug_log('C', 2, "bf_get: sleep_on(&bhp->wait_queue) aborted. bhp=%p, node=%s",
                static_cast<void*>(other), node_name(r->node));
  }
  for (int i = 0; i < r->n; ++i) {
    BUFHDR_T* bhp = r->bhps[i];
    if ((bhp->flags & BUF_NOT_READ) && !r->mine[i]) {
      bhp->claimed = true;
      r->mine[i] = true;
    }
  }
}

// Pins the buffers of one cluster request; the N buffers left in r are
// this task's to read or fill.
void bf_get(BfRequest* r, uint32_t first_page, int npages) {
  g.stats.requests += static_cast<uint32_t>(npages);
  for (int i = 0; i < npages; ++i) {
    const uint32_t page = first_page + static_cast<uint32_t>(i);
    BUFHDR_T* bhp = bf_lookup(page);
    bool hit = bhp != nullptr;
    if (!hit) bhp = bf_buffer_for(r, page, &hit);
    if (hit) {
      bf_pin_hit(bhp, r->flags);
      r->mine[i] = false;
    } else {
      g.stats.misses++;
      bf_enter(bhp, r->node, page,
               BUF_PINNED | BUF_NOT_READ | ((r->flags & BF_MRU) ? BUF_MRU : 0u));
      bhp->claimed = true;
      r->mine[i] = true;
    }
    r->bhps[i] = bhp;
    r->n = i + 1;
  }
  bf_wait_for_contents(r);
  bf_link_cluster(r->bhps, npages);
}

void bf_setflags(BUFHDR_T* bhp, uint32_t set, uint32_t clear) {
  if (set & BF_PIN) {
    bhp->flags |= BUF_PINNED;
    bhp->refcount++;
  }
  if (set & BF_MRU) bhp->flags |= BUF_MRU;
  if (set & BF_DIRTY) {
    bhp->flags |= BUF_DIRTY;
    bhp->flags &= ~BUF_NOT_READ;
    bhp->claimed = false;
    bhp->dirty_tick = g.tick;
    if (bhp->wait_queue.head != nullptr) wake_up(&bhp->wait_queue);
  }
  if (clear & BF_PIN) {
    ZENT_ASSERT(bhp->refcount > 0 && "bhp->refcount > 0");
    if ((bhp->flags & BUF_NOT_READ) && !(bhp->flags & BUF_IO_IN_PROGRESS)) {
      // Given up without being read or filled: it holds no page. The last
      // pin drops it; otherwise a waiter takes it on.
      if (bhp->refcount == 1) {
        g.stats.unpins++;
        bf_invalidate(bhp);
        return;
      }
      bhp->refcount--;
      bhp->claimed = false;
      if (bhp->wait_queue.head != nullptr) wake_up(&bhp->wait_queue);
    } else if (--bhp->refcount == 0) {
      bhp->flags &= ~BUF_PINNED;
      g.stats.unpins++;
      bf_wake_global();
    }
  }
  if (clear & BF_DIRTY) bhp->flags &= ~BUF_DIRTY;
  if (clear & BF_MRU) bhp->flags &= ~BUF_MRU;
  if ((bhp->flags & (BUF_PINNED | BUF_MRU)) == (BUF_PINNED | BUF_MRU)) bf_lru_to_mru(bhp);
}

BUFHDR_T* bf_pinned_of(Node* node, char* buf, uint32_t expected_page) {
  BUFHDR_T* bhp = bf_hdr_of(buf);
  ZENT_ASSERT((bhp->flags & BUF_PINNED) && "bhp->flags & BUF_PINNED");
  ZENT_ASSERT(bhp->id.node_id == node && "bhp->id.node_id == node_id");
  ZENT_ASSERT(bhp->id.page_id == expected_page && "bhp->id.page_id == page_id + i");
  return bhp;
}

// Drops a stale cached copy of a page that is about to be handed out anew.
void bf_drop_stale(uint32_t page) {
  BUFHDR_T* stale = bf_lookup(page);
  if (stale == nullptr) return;
  ZENT_ASSERT(!(stale->flags & BUF_PINNED) && "!(bhp->flags & BUF_PINNED)");
  bf_invalidate(stale);
}

// Moves a pinned buffer to another page; it is dirty at its new place.
void bf_move(BUFHDR_T* bhp, uint32_t new_page) {
  bf_dissolve_cluster(bhp);
  bf_hash_remove(bhp);
  bhp->id.page_id = new_page;
  bf_hash_insert(bhp);
  bhp->flags |= BUF_DIRTY;
  bhp->flags &= ~BUF_NOT_READ;
  bhp->claimed = false;
  bhp->dirty_tick = g.tick;
}

uint32_t largest_prime_not_above(uint32_t limit) {
  for (uint32_t n = limit; n > 1; --n) {
    bool prime = true;
    for (uint32_t d = 2; d * d <= n; ++d) {
      if (n % d == 0) {
        prime = false;
        break;
      }
    }
    if (prime) return n;
  }
  return 1;
}

void check_npages(int npages) {
  ZENT_ASSERT(npages > 0 && npages <= MAX_PAGES_PER_CLUSTER &&
              "npages && npages <= MAX_PAGES_PER_CLUSTER");
}

void bf_free_range(Node* node, uint32_t first_page, int count) {
  for (int i = 0; i < count; ++i) {
    BUFHDR_T* bhp = bf_lookup(first_page + static_cast<uint32_t>(i));
    if (bhp == nullptr) continue;
    ZENT_ASSERT(bhp->id.node_id == node && "bhp->id.node_id == node_id");
    bf_invalidate(bhp);
  }
}

// The buffers, an anonymous mapping the kernel fills with zero pages as they
// are first used, so a large cache costs memory only as it fills. Past 2 MiB
// it starts on a 2 MiB boundary and asks for huge pages: a read that lands on
// a random buffer of a large cache then costs no page-table walk beside its
// cache misses (the kernel may refuse; the advice is only that).
constexpr size_t kHugePage = size_t{2} << 20;
char* map_pool(size_t bytes, size_t* mapped) {
  const size_t align = bytes < kHugePage ? Vol_PAGESIZE : kHugePage;
  const size_t rounded = (bytes + align - 1) / align * align;
  const size_t slack = align > static_cast<size_t>(sysconf(_SC_PAGESIZE)) ? align : 0;
  void* raw = mmap(nullptr, rounded + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  char* base = static_cast<char*>(raw);
  char* pool = base + (align - reinterpret_cast<uintptr_t>(base) % align) % align;
  // Give back what the alignment left over on either side.
  if (pool > base) munmap(base, static_cast<size_t>(pool - base));
  char* const end = base + rounded + slack;
  if (pool + rounded < end) munmap(pool + rounded, static_cast<size_t>(end - (pool + rounded)));
  if (align == kHugePage) madvise(pool, rounded, MADV_HUGEPAGE);
  *mapped = rounded;
  return pool;
}

}  // namespace

// --- Interface -------------------------------------------------------------------

void buf_SetNodeInfo(const BufNodeInfo* info) { g.node_info = info ? *info : kStandInNodeInfo; }

int buf_Init(int nbufs, int ntable_entries) {
  debug_log('C', 3, "buf_Init(nbufs=%d, ntable_entries=%d) file %s, line %d", nbufs,
            ntable_entries, __FILE__, __LINE__);
  if (g.hdrs != nullptr || nbufs <= Vol_MAXCLUST || ntable_entries < 1) return -1;
  const size_t pool_bytes = static_cast<size_t>(nbufs) * Vol_PAGESIZE;
  uint32_t limit = 2u * static_cast<uint32_t>(ntable_entries) - 1u;
  if (ntable_entries > 32768) limit = 65535;
  const uint32_t hash_size = largest_prime_not_above(limit);
  size_t mapped = 0;
  char* pool = map_pool(pool_bytes, &mapped);
  auto* hdrs = static_cast<BUFHDR_T*>(calloc(static_cast<size_t>(nbufs), sizeof(BUFHDR_T)));
  auto* hash = static_cast<BUFHDR_T**>(calloc(hash_size, sizeof(BUFHDR_T*)));
  if (pool == nullptr || hdrs == nullptr || hash == nullptr) {
    if (pool != nullptr) munmap(pool, mapped);
    free(hdrs);
    free(hash);
    return -1;
  }
  for (int i = 0; i < nbufs; ++i) {
    hdrs[i].buffer = pool + static_cast<size_t>(i) * Vol_PAGESIZE;
    hdrs[i].lru_next = &hdrs[(i + 1) % nbufs];
    hdrs[i].lru_prev = &hdrs[(i + nbufs - 1) % nbufs];
  }
  g.pool = pool;
  g.pool_mapped = mapped;
  g.hdrs = hdrs;
  g.nbufs = nbufs;
  g.hash = hash;
  g.hash_size = hash_size;
  g.lru_head = &hdrs[0];
  g.tick = 1;
  g.global_wait = WaitQueue{};
  g.do_channel_waiters = 0;
  g.stats = BufStats{};
  debug_log('C', 3, " hash_size = %d", static_cast<int>(hash_size));
  return 0;
}

void buf_Exit() {
  debug_log('C', 3, "buf_Exit() file %s, line %d", __FILE__, __LINE__);
  if (g.pool != nullptr) munmap(g.pool, g.pool_mapped);
  free(g.hdrs);
  free(g.hash);
  const BufNodeInfo info = g.node_info;
  g = Cache{};
  g.node_info = info;
}

int buf_NumBuffers() { return g.nbufs; }

int buf_Get(Node* node, uint32_t first_page, int npages, uint32_t flags, char** bufs) {
  check_npages(npages);
  ZENT_ASSERT((flags & BF_PIN) && !(flags & ~(BF_PIN | BF_EMPTY | BF_MRU)) &&
              "flags == BF_PIN | BF_EMPTY | BF_MRU");
  BfRequest r{node, flags};
  bf_get(&r, first_page, npages);
  BUFHDR_T* const* bhps = r.bhps;
  if (!(flags & BF_EMPTY)) {
    // Read every run of buffers that hold no contents yet.
    int i = 0;
    while (i < npages) {
      if (!(bhps[i]->flags & BUF_NOT_READ)) {
        ++i;
        continue;
      }
      int j = i;
      while (j < npages && (bhps[j]->flags & BUF_NOT_READ)) ++j;
      bf_read_cluster(&bhps[i], j - i);
      i = j;
    }
  }
  for (int i = 0; i < npages; ++i) bufs[i] = bhps[i]->buffer;
  return 0;
}

void buf_Put(void* buf, uint32_t set, uint32_t clear) {
  // Bit 2 is BF_EMPTY for buf_Get but V in a buffer: accepting it here would
  // take a buffer out of lookups and let a page be cached twice.
  ZENT_ASSERT(!(set & ~(kRequestFlags | BF_WRITE_NOW)) && !(clear & ~kRequestFlags) &&
              "buf_Put: only BF_DIRTY, BF_PIN, BF_MRU (and BF_WRITE_NOW to set)");
  BUFHDR_T* bhp = bf_hdr_of(buf);
  bf_setflags(bhp, set & kRequestFlags, clear);
  if ((set & BF_WRITE_NOW) && (bhp->flags & BUF_DIRTY)) bf_write_cluster(bhp);
}

void buf_PutVector(int count, char** bufs, uint32_t set, uint32_t clear) {
  ZENT_ASSERT(!(set & ~(kRequestFlags | BF_WRITE_NOW)) && !(clear & ~kRequestFlags) &&
              "buf_Put: only BF_DIRTY, BF_PIN, BF_MRU (and BF_WRITE_NOW to set)");
  for (int i = 0; i < count; ++i) bf_setflags(bf_hdr_of(bufs[i]), set & kRequestFlags, clear);
  if (!(set & BF_WRITE_NOW)) return;
  for (int i = 0; i < count; ++i) {
    BUFHDR_T* bhp = bf_hdr_of(bufs[i]);
    if (bhp->flags & BUF_DIRTY) bf_write_cluster(bhp);
  }
}

int buf_Alloc(Node* node, int npages, uint32_t* first_page, char** bufs) {
  check_npages(npages);
  g.stats.allocated += static_cast<uint32_t>(npages);
  const uint32_t page = Vol_AllocPage(npages, g.node_info.alloc_map(node));
  if (page == 0) return 1;
  BUFHDR_T* bhps[MAX_PAGES_PER_CLUSTER];
  for (int i = 0; i < npages; ++i) {
    const uint32_t p = page + static_cast<uint32_t>(i);
    bf_drop_stale(p);
    bool slept = false;
    BUFHDR_T* bhp = bf_newbuf(node, &slept, nullptr);
    bf_enter(bhp, node, p, BUF_PINNED | BUF_DIRTY);
    bhp->dirty_tick = g.tick;
    bhps[i] = bhp;
    bufs[i] = bhp->buffer;
  }
  bf_link_cluster(bhps, npages);
  *first_page = page;
  return 0;
}

int buf_MakeLogShadow(Node* node, int npages, uint32_t* new_first_page, char** bufs) {
  check_npages(npages);
  const uint32_t new_page = Vol_AllocPage(npages, Vol_GetTlogAldesc());
  if (new_page == 0) return 1;
  BUFHDR_T* bhps[MAX_PAGES_PER_CLUSTER];
  const uint32_t old_first = bf_hdr_of(bufs[0])->id.page_id;
  for (int i = 0; i < npages; ++i)
    bhps[i] = bf_pinned_of(node, bufs[i], old_first + static_cast<uint32_t>(i));
  for (int i = 0; i < npages; ++i) {
    if (bhps[i]->flags & BUF_DIRTY) {
      g.stats.dirty_writes++;
      bf_write_cluster(bhps[i]);
    }
  }
  for (int i = 0; i < npages; ++i) {
    bf_drop_stale(new_page + static_cast<uint32_t>(i));
    bf_move(bhps[i], new_page + static_cast<uint32_t>(i));
  }
  bf_link_cluster(bhps, npages);
  *new_first_page = new_page;
  return 0;
}

void buf_Rename(Node* node, int npages, char** bufs, uint32_t new_first_page) {
  check_npages(npages);
  BUFHDR_T* bhps[MAX_PAGES_PER_CLUSTER];
  const uint32_t old_first = bf_hdr_of(bufs[0])->id.page_id;
  for (int i = 0; i < npages; ++i)
    bhps[i] = bf_pinned_of(node, bufs[i], old_first + static_cast<uint32_t>(i));
  for (int i = 0; i < npages; ++i) {
    const uint32_t target = new_first_page + static_cast<uint32_t>(i);
    for (;;) {
      BUFHDR_T* cached = bf_lookup(target);
      if (cached == nullptr || cached == bhps[i]) break;
      if (cached->flags & BUF_IO_IN_PROGRESS) {
        // Never cut; should one end early anyway, the loop looks again.
        if (sleep_on(&cached->wait_queue, WAIT_NEVER_CUT, __FILE__, __LINE__) != 0)
          debug_log('C', 2,
                    "buf_Rename: sleep_on(&new_bhp->wait_queue) aborted. new_bhp=%p, node=%s",
                    static_cast<void*>(cached), node_name(node));
        continue;  // it may be gone or reused by now
      }
      ZENT_ASSERT(!(cached->flags & BUF_PINNED) && "!(new_bhp->flags & BUF_PINNED)");
      bf_invalidate(cached);
      break;
    }
    bf_move(bhps[i], target);
  }
  bf_link_cluster(bhps, npages);
}

void buf_ChangeNode(Node* node, uint32_t first_page, int count) {
  for (int i = 0; i < count; ++i) {
    if (BUFHDR_T* bhp = bf_lookup(first_page + static_cast<uint32_t>(i))) bhp->id.node_id = node;
  }
}

void buf_FreePage(Node* node, uint32_t first_page, int count) {
  bf_free_range(node, first_page, count);
  Vol_FreePage(first_page, count);
}

void buf_FreePageDelayed(Node* node, uint32_t first_page, int count) {
  bf_free_range(node, first_page, count);
  Vol_FreePageDelayed(first_page, count);
}

void buf_Sync(Node* node, int invalidate) {
  int writes = 0;
  for (int i = 0; i < g.nbufs; ++i) {
    BUFHDR_T* bhp = &g.hdrs[i];
    for (;;) {
      if (bhp->id.node_id == nullptr) break;
      if (node != nullptr && bhp->id.node_id != node) break;
      if (bhp->flags & BUF_IO_IN_PROGRESS) {
        if (!invalidate) break;
        // Never cut; should one end early anyway, the loop looks again.
        if (sleep_on(&bhp->wait_queue, WAIT_NEVER_CUT, __FILE__, __LINE__) != 0)
          debug_log('C', 2, "buf_Sync: sleep_on(&bhp->wait_queue) aborted. bhp=%p, node=%s",
                    static_cast<void*>(bhp), node_name(bhp->id.node_id));
        continue;
      }
      if ((bhp->flags & BUF_DIRTY) && (node != nullptr || !is_log_node(bhp->id.node_id))) {
        bf_write_cluster(bhp);
        if (++writes % 5 == 0) {
          thread_yield();
          continue;  // look at it again: other tasks ran
        }
      }
      if (invalidate) {
        if (bhp->flags & BUF_PINNED) {
          debug_log('C', 0, "buf_Sync: PIN LEAK detected. bhp=%p, node=%s",
                    static_cast<void*>(bhp), node_name(bhp->id.node_id));
          ZENT_ASSERT(!(bhp->flags & BUF_PINNED));
        }
        bf_invalidate(bhp);
      }
      break;
    }
  }
}

void buf_Sync_page(Node* node, uint32_t first_page, int count) {
  for (int i = 0; i < count; ++i) {
    BUFHDR_T* bhp = bf_lookup(first_page + static_cast<uint32_t>(i));
    if (bhp == nullptr || !(bhp->flags & BUF_DIRTY) || (bhp->flags & BUF_IO_IN_PROGRESS))
      continue;
    if (bhp->flags & BUF_PINNED)
      debug_log('C', 1, "buf_Sync_page: Unexpected PINned page. bhp=%p, node=%s",
                static_cast<void*>(bhp), node_name(node));
    bf_write_cluster(bhp);
  }
}

uint64_t buf_EvictedWriteSeq(uint32_t volume_id) { return g.evicted_seq[volume_id & 0xFF]; }

void buf_RedirtyVolume(uint32_t volume_id) {
  for (int i = 0; i < g.nbufs; ++i) {
    BUFHDR_T* bhp = &g.hdrs[i];
    if (bhp->id.node_id == nullptr || (bhp->flags & (BUF_NOT_READ | BUF_DIRTY))) continue;
    if (PAGE_VOLID(bhp->id.page_id) != volume_id) continue;
    bhp->flags |= BUF_DIRTY;
    bhp->dirty_tick = g.tick;
  }
}

void buf_Sweep(int threshold) {
  int written = 0;
  const uint32_t tick = g.tick;
  for (int i = 0; i < g.nbufs; ++i) {
    BUFHDR_T* bhp = &g.hdrs[i];
    if (!(bhp->flags & BUF_DIRTY) || (bhp->flags & (BUF_PINNED | BUF_IO_IN_PROGRESS))) continue;
    if (bhp->dirty_tick == tick) continue;
    // Pages the transaction log keeps rewriting wait one tick more.
    if (is_log_node(bhp->id.node_id) && bhp->dirty_tick == tick - 1) continue;
    BUFHDR_T* members[MAX_PAGES_PER_CLUSTER];
    const int n = bf_cluster_members(bhp, members);
    bool pinned = false;
    for (int m = 0; m < n; ++m) pinned = pinned || (members[m]->flags & BUF_PINNED);
    if (pinned) continue;
    bf_write_cluster(bhp);
    ++written;
    thread_yield();
  }
  g.tick = tick + 1;
  if (threshold != 0 && written >= threshold) Vol_ForceSync(Vol_TIO_FULL_OVL);
}

const BufStats* buf_GetStats() { return &g.stats; }

const BufStatus* buf_StatusNext(int* cursor) {
  static BufStatus rec;
  for (int i = *cursor; i < g.nbufs; ++i) {
    const BUFHDR_T* bhp = &g.hdrs[i];
    if (!(bhp->flags & BUF_PINNED)) continue;
    *cursor = i + 1;
    rec = BufStatus{};
    rec.index = i;
    snprintf(rec.node, sizeof rec.node, "%s", node_name(bhp->id.node_id));
    rec.volume_id = PAGE_VOLID(bhp->id.page_id);
    rec.page = PAGE_NUMBER(bhp->id.page_id);
    rec.lru_next = bf_index(bhp->lru_next);
    rec.lru_prev = bf_index(bhp->lru_prev);
    rec.hash_next = bf_index(bhp->hash_next);
    rec.hash_prev = bf_index(bhp->hash_prev);
    rec.backlink = bf_index(bhp->backlink);
    rec.cluster_next = bf_index(bhp->cluster_next);
    static constexpr char kLetters[8] = {'D', 'V', 'P', '?', 'I', 'N', 'M', '?'};
    int n = 0;
    for (int bit = 0; bit < 32; ++bit) {
      if (!(bhp->flags & (1u << bit))) continue;
      const char letter = bit < 8 ? kLetters[bit] : '?';
      if (n < 8) rec.flags[n++] = letter;
    }
    if (n == 0) rec.flags[n++] = '-';
    rec.flags[n] = '\0';
    rec.refcount = bhp->refcount;
    return &rec;
  }
  *cursor = g.nbufs;
  return nullptr;
}
