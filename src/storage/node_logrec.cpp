// node_logrec.cpp - the node log-record hash, its free cache and the
// advisory lock lists (see node_logrec.h).
//
// State: the buckets, the free cache with its age mark and the counters,
// one set per process, used by the server thread only. Nothing here
// suspends a task.
#include "storage/node_logrec.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/tlog.h"

namespace {

struct RecordHash {
  Node_LOG_REC** buckets = nullptr;
  int size = 0;
  Node_LOG_REC* cache = nullptr;  // free cache, newest first, linked by hash_next
  Node_LOG_REC* mark = nullptr;   // first entry cached before the last checkpoint
  uint32_t cached = 0;
  uint32_t usage = 0;  // taken from the heap, not given back
  uint32_t high = 0;
};
RecordHash g;

int bucket_of(uint32_t key) { return static_cast<int>((key & 0xFFFFu) % static_cast<uint32_t>(g.size)); }

[[noreturn]] void heap_overflow(const char* who, size_t bytes) {
  debug_log('L', 0, "%s() failed: heap overflow (%u bytes)", who, static_cast<unsigned>(bytes));
  static char what[96];
  snprintf(what, sizeof what, "%s() failed: heap overflow", who);
  panic_assert_failed(what, __FILE__, __LINE__);
}

Node_LOG_REC* take_entry() {
  if (g.cache != nullptr) {
    Node_LOG_REC* e = g.cache;
    g.cache = e->hash_next;
    if (g.mark == e) g.mark = e->hash_next;
    --g.cached;
    return e;
  }
  auto* e = new (std::nothrow) Node_LOG_REC;
  if (e == nullptr) heap_overflow("Node_AddLogRecord", sizeof(Node_LOG_REC));
  if (++g.usage > g.high) g.high = g.usage;
  return e;
}

void cache_entry(Node_LOG_REC* e) {
  *e = Node_LOG_REC{};
  e->hash_next = g.cache;
  g.cache = e;
  ++g.cached;
}

void unlink_bucket(Node_LOG_REC* e) {
  Node_LOG_REC** bucket = &g.buckets[bucket_of(e->key)];
  Node_LOG_REC* head = *bucket;
  ZENT_ASSERT(head != nullptr && "Node_RemoveLogRecord(): entry not in its bucket");
  for (Node_LOG_REC* p = head;;) {
    if (p == e) break;
    p = p->hash_next;
    ZENT_ASSERT(p != head && "Node_RemoveLogRecord(): entry not in its bucket");
  }
  if (e->hash_next == e) {
    *bucket = nullptr;
  } else {
    e->hash_prev->hash_next = e->hash_next;
    e->hash_next->hash_prev = e->hash_prev;
    if (*bucket == e) *bucket = e->hash_next;
  }
}

void free_chain(Node_LOG_REC* from) {
  while (from != nullptr) {
    Node_LOG_REC* next = from->hash_next;
    delete from;
    --g.usage;
    --g.cached;
    from = next;
  }
}

// Releasing a lock: the list lets go; an entry no list names and without
// a logged change has nothing left to do.
void release_lock(Node_LOG_REC* e) {
  ZENT_ASSERT(e->adv_refs > 0 && "entry->adv_refs > 0");
  --e->adv_refs;
  if (e->adv_refs == 0 && !Node_AddrValid(&e->log_addr)) Node_RemoveLogRecord(e);
}

}  // namespace

int Node_IsPrime(uint32_t n) {
  if (n < 4) return 1;
  for (uint32_t d = 2;; ++d) {
    if (n / d < d) return 1;
    if (n % d == 0) return 0;
  }
}

int Node_InitRecordHash(int n) {
  debug_log('N', 3, "Node_InitRecordHash(ntable_entries=%d)", n);
  ZENT_ASSERT(n > 0 && "ntable_entries > 0");
  uint32_t size = static_cast<uint32_t>(n) * 2 - 1;
  if (size > 65535) size = 65535;
  while (!Node_IsPrime(size)) --size;
  debug_log('N', 3, " hash_size = %d", static_cast<int>(size));
  Node_CleanupRecordHash();
  g.buckets = static_cast<Node_LOG_REC**>(calloc(size, sizeof(Node_LOG_REC*)));
  if (g.buckets == nullptr) return -1;
  g.size = static_cast<int>(size);
  return 0;
}

void Node_CleanupRecordHash() {
  if (g.buckets == nullptr) return;
  debug_log('N', 3, "Node_CleanupRecordHash()");
  // Entries still in the buckets (a transaction never ended: a test, or a
  // stop in the middle) go with them.
  for (int i = 0; i < g.size; ++i) {
    Node_LOG_REC* head = g.buckets[i];
    if (head == nullptr) continue;
    head->hash_prev->hash_next = nullptr;
    while (head != nullptr) {
      Node_LOG_REC* next = head->hash_next;
      delete head;
      --g.usage;
      head = next;
    }
  }
  free(g.buckets);
  g.buckets = nullptr;
  g.size = 0;
}

int Node_RecordHashSize() { return g.size; }

Node_LOG_REC* Node_FindLogRecord(Node* node, uint32_t key) {
  if (g.buckets == nullptr) return nullptr;
  Node_LOG_REC* head = g.buckets[bucket_of(key)];
  if (head == nullptr) return nullptr;
  Node_LOG_REC* p = head;
  do {
    if (p->node == node && p->key == key) return p;
    p = p->hash_next;
  } while (p != head);
  return nullptr;
}

Node_LOG_REC* Node_AddLogRecord(Node* node, uint32_t key, int* found) {
  ZENT_ASSERT(g.buckets != nullptr && "Node_AddLogRecord(): no record hash");
  if (Node_LOG_REC* e = Node_FindLogRecord(node, key)) {
    if (found != nullptr) *found = 1;
    return e;
  }
  Node_LOG_REC* e = take_entry();
  *e = Node_LOG_REC{};
  e->node = node;
  e->key = key;
  Node_LOG_REC** bucket = &g.buckets[bucket_of(key)];
  if (*bucket == nullptr) {
    e->hash_prev = e->hash_next = e;
    *bucket = e;
  } else {
    Node_LOG_REC* head = *bucket;
    e->hash_prev = head;
    e->hash_next = head->hash_next;
    head->hash_next->hash_prev = e;
    head->hash_next = e;
  }
  if (found != nullptr) *found = 0;
  return e;
}

void Node_RemoveLogRecord(Node_LOG_REC* entry) {
  if (entry->adv_refs > 0) {
    // A lock list still names it: its change is gone, the lock stays.
    Node_AddrClear(&entry->log_addr);
    entry->state = 0;
    return;
  }
  Tlog_UnlinkLogRecord(entry);
  unlink_bucket(entry);
  cache_entry(entry);
}

int Node_EndLogRecord(Node_LOG_REC* entry) {
  Tlog_UnlinkLogRecord(entry);
  if (entry->adv_refs > 0) {
    Node_AddrClear(&entry->log_addr);
    entry->state = 0;
    return 1;
  }
  unlink_bucket(entry);
  cache_entry(entry);
  return 0;
}

void Node_FlushLogRecordCache() {
  if (g.mark != nullptr) {
    Node_LOG_REC* p = g.cache;
    if (p == g.mark) {
      g.cache = nullptr;
    } else {
      while (p->hash_next != g.mark) p = p->hash_next;
      p->hash_next = nullptr;
    }
    free_chain(g.mark);
  }
  g.mark = g.cache;
}

void Node_FreeLogRecordCache() {
  free_chain(g.cache);
  g.cache = g.mark = nullptr;
  g.cached = 0;
  g.high = g.usage;
}

uint32_t Node_LogRecordUsage(uint32_t* bytes) {
  if (bytes != nullptr) *bytes = g.usage * Node_LOG_REC_BYTES;
  return g.usage;
}

uint32_t Node_LogRecordHighMark(uint32_t* bytes) {
  if (bytes != nullptr) *bytes = g.high * Node_LOG_REC_BYTES;
  return g.high;
}

uint32_t Node_LogRecordCached() { return g.cached; }

// --- Advisory lock lists -------------------------------------------------------------

Node_ADVLOCK* Node_InitAdvLock(uint32_t init_cnt, uint32_t step) {
  ZENT_ASSERT(init_cnt > 0 && "init_cnt > 0");
  auto* list = new (std::nothrow) Node_ADVLOCK;
  auto** locks = static_cast<Node_LOG_REC**>(calloc(init_cnt, sizeof(Node_LOG_REC*)));
  if (list == nullptr || locks == nullptr) {
    delete list;
    free(locks);
    heap_overflow("Node_InitAdvLock", sizeof(Node_ADVLOCK) + init_cnt * sizeof(Node_LOG_REC*));
  }
  list->max_cnt = init_cnt;
  list->saved_max = init_cnt;
  list->step = step;
  list->locks = locks;
  return list;
}

void Node_FreeAdvLock(Node_ADVLOCK* list) {
  if (list == nullptr) return;
  ZENT_ASSERT(list->cnt == 0 && "list->cnt == 0");
  ZENT_ASSERT(list->save_locks == nullptr && "!list->save_locks");
  free(list->locks);
  delete list;
}

void Node_CheckAdvLock(const Node_ADVLOCK* list) {
  ZENT_ASSERT(list->cnt == 0 && "list->cnt == 0");
  ZENT_ASSERT(list->level == 0 && "list->level == 0");
  ZENT_ASSERT(list->save_locks == nullptr && "!list->save_locks");
}

void Node_AddAdvLock(Node_ADVLOCK* list, Node_LOG_REC* entry) {
  if (list->cnt == list->max_cnt) {
    if (list->step == 0) {
      debug_log('L', 0, "Node_AddAdvLock() failed: list cannot be extended (%d entries used)",
                static_cast<int>(list->cnt));
      ZENT_ASSERT(!"Node_AddAdvLock() failed: list cannot be extended");
    }
    const uint32_t grown = list->max_cnt + list->step;
    auto** locks = static_cast<Node_LOG_REC**>(calloc(grown, sizeof(Node_LOG_REC*)));
    if (locks == nullptr) heap_overflow("Node_AddAdvLock", grown * sizeof(Node_LOG_REC*));
    memcpy(locks, list->locks, list->cnt * sizeof(Node_LOG_REC*));
    if (list->save_locks == nullptr)
      list->save_locks = list->locks;
    else
      free(list->locks);
    list->locks = locks;
    list->max_cnt = grown;
  }
  ZENT_ASSERT(list->locks[list->cnt] == nullptr && "!list->locks[list->cnt]");
  list->locks[list->cnt++] = entry;
  ++entry->adv_refs;
}

int Node_SaveAdvLock(Node_ADVLOCK* list) {
  ++list->level;
  return static_cast<int>(list->cnt);
}

void Node_RestoreAdvLock(Node_ADVLOCK* list, int save) {
  ZENT_ASSERT(list->level > 0 && "list->level > 0");
  ZENT_ASSERT(save >= 0 && static_cast<uint32_t>(save) <= list->cnt && "save <= list->cnt");
  while (list->cnt > static_cast<uint32_t>(save)) {
    Node_LOG_REC* e = list->locks[--list->cnt];
    list->locks[list->cnt] = nullptr;
    release_lock(e);
  }
  --list->level;
}

int Node_ReleaseAdvLock(Node_ADVLOCK* list, Node* node, uint32_t key, int save) {
  if (list->level == 0)
    ZENT_ASSERT(save == 0 && "save == 0");
  else
    ZENT_ASSERT(save >= 0 && "save >= 0");
  for (uint32_t i = list->cnt; i-- > static_cast<uint32_t>(save);) {
    Node_LOG_REC* e = list->locks[i];
    if (e->node != node || e->key != key) continue;
    memmove(&list->locks[i], &list->locks[i + 1], (list->cnt - i - 1) * sizeof(Node_LOG_REC*));
    list->locks[--list->cnt] = nullptr;
    release_lock(e);
    return 1;
  }
  return 0;
}

void Node_ReleaseAllAdvLocks(Node_ADVLOCK* list) {
  while (list->cnt > 0) {
    Node_LOG_REC* e = list->locks[--list->cnt];
    list->locks[list->cnt] = nullptr;
    release_lock(e);
  }
  if (list->save_locks != nullptr) {
    free(list->locks);
    list->locks = list->save_locks;
    list->save_locks = nullptr;
    list->max_cnt = list->saved_max;
    memset(list->locks, 0, list->max_cnt * sizeof(Node_LOG_REC*));
  }
  list->level = 0;
}
