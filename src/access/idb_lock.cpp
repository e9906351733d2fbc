// idb_lock.cpp - the lock manager (see idb_lock.h and README.md, "Lock
// manager").
//
// State: the queue (head and tail), the statistics and the two settings,
// all touched only by tasks of the server thread under the API lock. The
// queue is walked linearly: every test of a request looks at each entry
// once. Only a request that waits suspends (idb__add_lock).
#include "access/idb_lock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "platform/clock.h"
#include "storage/ssn.h"
#include "storage/tlog.h"

namespace {

lock_entry* g_head = nullptr;
lock_entry* g_tail = nullptr;
idb_lock_stats g_stats{};
int32_t g_conflicting_items = 0;
int32_t g_allow_secondary = 0;

// Codes of the conflict matrix; kValueError: the value test could not
// compare (S_LOCKDB with sub-code -2).
constexpr int kValueError = -2;

bool valid_mode(int32_t mode) { return (mode >= 1 && mode <= 6) || (mode >= 11 && mode <= 16); }
bool is_db_kind(int32_t k) { return k == 2 || k == 12; }
bool is_set_kind(int32_t k) { return k == 4 || k == 14; }
bool is_descr_kind(int32_t k) { return k == 6 || k == 16; }

int kind_index(int32_t kind) {
  switch (kind) {
    case 2: return 0;
    case 12: return 1;
    case 4: return 2;
    case 14: return 3;
    case 6: return 4;
    default: return 5;  // 16
  }
}

constexpr int kMatrix[6][6] = {
    {20, 20, 21, 21, 21, 21}, {20, 0, 21, 0, 21, 0},  {22, 22, 22, 22, 23, 23},
    {22, 0, 22, 0, 23, 0},    {25, 25, 25, 25, 25, 25}, {25, 0, 25, 0, 25, 0},
};

// --- Descriptors -----------------------------------------------------------
// Words: n, then entries {count (itself included), k, k sets, item, and
// with an item: operator, value header, value}.

uint32_t value_words(uint32_t header) {
  const uint32_t type = header >> 16, size = header & 0xFFFF;
  switch (type) {
    case 'I': case 'D': return 1;
    case 'S': case 'L': return 2;
    default: return (size + 3) / 4;
  }
}

bool valid_value_header(uint32_t header) {
  const uint32_t type = header >> 16, size = header & 0xFFFF;
  switch (type) {
    case 'I': return size == 2;
    case 'D': return size == 4;
    case 'S': return size == 4;
    case 'L': return size == 8;
    case 'X': case 'B': return size > 0;
    default: return false;
  }
}

// Every entry lies inside the descriptor and is complete.
bool valid_descr(const uint32_t* d) {
  const uint32_t n = d[0];
  if (n == 0 || n > 0x100000) return false;
  for (uint32_t i = 1; i <= n;) {
    const uint32_t* e = d + i;
    const uint32_t w = e[0];
    if (w < 3 || w > n + 1 - i) return false;
    const uint32_t k = e[1];
    if (k > w - 3) return false;
    const uint32_t item = e[2 + k];
    if (item != 0) {
      if (w < 5 + k) return false;
      if (e[3 + k] > 5 || !valid_value_header(e[4 + k])) return false;
      if (w < 5 + k + value_words(e[4 + k])) return false;
    }
    i += w;
  }
  return true;
}

uint32_t descr_words(const uint32_t* d) { return d[0] + 1; }

struct DEntry {
  uint32_t k;
  const uint32_t* sets;
  uint32_t item;
  uint32_t op;  // 0 equal, 1 less or equal, 2 greater or equal
  uint32_t header;
  const uint32_t* value;
};

DEntry dentry(const uint32_t* e) {
  DEntry r{};
  r.k = e[1];
  r.sets = e + 2;
  r.item = e[2 + r.k];
  if (r.item != 0) {
    r.op = e[3 + r.k] % 3;
    r.header = e[4 + r.k];
    r.value = e + 5 + r.k;
  }
  return r;
}

template <typename F>
bool each_entry(const uint32_t* d, F f) {
  for (uint32_t i = 1; i <= d[0]; i += d[i])
    if (f(dentry(d + i))) return true;
  return false;
}

// Whether entry e covers set (0-based) of database db: the sets it names;
// with every set named, all of them, or, with an item, each set that has
// the item as an entry.
bool names_set(const DEntry& e, const vglobal* db, int32_t set) {
  if (e.k == 0) {
    if (e.item == 0) return true;
    if (db == nullptr || set < 0 || set >= db->g.set_cnt) return false;
    const idb_set& s = db->g.set[set];
    for (uint32_t i = 0; i < s.s.item_cnt; ++i)
      if (s.entry[i].item + 1 == static_cast<int32_t>(e.item)) return true;
    return false;
  }
  for (uint32_t j = 0; j < e.k; ++j)
    if (static_cast<int32_t>(e.sets[j]) == set) return true;
  return false;
}

// Whether some set of db is covered by both entries.
bool share_set(const DEntry& a, const DEntry& b, const vglobal* db) {
  if ((a.k == 0 && a.item == 0) || (b.k == 0 && b.item == 0)) return true;
  if (a.k == 0 && b.k == 0) {
    for (int32_t s = 0; db != nullptr && s < db->g.set_cnt; ++s)
      if (names_set(a, db, s) && names_set(b, db, s)) return true;
    return false;
  }
  const DEntry& named = a.k != 0 ? a : b;
  const DEntry& other = a.k != 0 ? b : a;
  for (uint32_t j = 0; j < named.k; ++j)
    if (names_set(other, db, static_cast<int32_t>(named.sets[j]))) return true;
  return false;
}

// A value of the descriptor's form: integers sign-extended, reals as
// doubles, bytes in place.
struct Value {
  int64_t i;
  double d;
  const uint8_t* b;
};

Value load(uint32_t header, const uint32_t* w) {
  Value v{};
  switch (header >> 16) {
    case 'I': case 'D': v.i = static_cast<int32_t>(w[0]); break;
    case 'S': case 'L': memcpy(&v.d, w, sizeof v.d); break;
    default: v.b = reinterpret_cast<const uint8_t*>(w); break;
  }
  return v;
}

// A record's item value (the item's own width).
Value load_record(uint32_t header, const uint8_t* p) {
  Value v{};
  switch (header >> 16) {
    case 'I': { int16_t x; memcpy(&x, p, 2); v.i = x; break; }
    case 'D': { int32_t x; memcpy(&x, p, 4); v.i = x; break; }
    case 'S': { float x; memcpy(&x, p, 4); v.d = x; break; }
    case 'L': memcpy(&v.d, p, 8); break;
    default: v.b = p; break;
  }
  return v;
}

int compare(uint32_t header, const Value& a, const Value& b) {
  switch (header >> 16) {
    case 'I': case 'D': return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
    case 'S': case 'L': return a.d < b.d ? -1 : a.d > b.d ? 1 : 0;
    default: {
      const int c = memcmp(a.b, b.b, header & 0xFFFF);
      return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
  }
}

// Whether the range of r (requested, operator rop) meets that of h: "= v"
// is the point v, "<= v" everything up to v, ">= v" everything from v.
bool ranges_meet(uint32_t rop, uint32_t hop, int c /* r compared with h */) {
  if (rop == hop) return rop != 0 || c == 0;  // same open side: always
  if (rop == 0) return hop == 1 ? c <= 0 : c >= 0;
  if (hop == 0) return rop == 1 ? c >= 0 : c <= 0;
  return rop == 1 ? c >= 0 : c <= 0;  // <= r against >= h, or >= r against <= h
}

// 1 conflict, 0 none, kValueError.
int value_conflict(const DEntry& r, const DEntry& h) {
  if (r.header != h.header) return kValueError;
  const int c = compare(r.header, load(r.header, r.value), load(h.header, h.value));
  return ranges_meet(r.op, h.op, c) ? 1 : 0;
}

// --- Conflicts ---------------------------------------------------------------

// The conflict code of e (requested) against h (held or waiting): 0 none,
// 20 to 25, or kValueError.
int conflict(const lock_entry* e, const lock_entry* h) {
  const int m = kMatrix[kind_index(e->kind)][kind_index(h->kind)];
  switch (m) {
    case 0:
      return 0;
    case 20: case 21:
      return m;
    case 22:
      return is_set_kind(e->kind) && is_set_kind(h->kind) && e->set != h->set ? 0 : 22;
    case 23:
      return each_entry(h->descr, [&](const DEntry& d) { return names_set(d, h->db, e->set); }) ? 23
                                                                                              : 0;
    default:
      break;
  }
  if (!is_descr_kind(e->kind) || is_db_kind(h->kind)) return 25;
  int code = 0;
  each_entry(e->descr, [&](const DEntry& re) {
    if (is_set_kind(h->kind)) return names_set(re, h->db, h->set) ? (code = 25) != 0 : false;
    return each_entry(h->descr, [&](const DEntry& he) {
      if (!share_set(re, he, h->db)) return false;
      if (re.item == 0 || he.item == 0) return (code = 25) != 0;
      if (re.item == he.item) {
        const int v = value_conflict(re, he);
        if (v == kValueError) return (code = kValueError) != 0;
        return v != 0 ? (code = 25) != 0 : false;
      }
      return g_conflicting_items == 0 ? (code = 24) != 0 : false;
    });
  });
  return code;
}

bool others(const lock_entry* e, const lock_entry* h) {
  return h != e && h->session != e->session && h->db == e->db;
}

// A new request (not in the queue) against the granted and held-back
// entries (waiting: false) or the waiting ones (waiting: true). The first
// conflicting entry and its position.
int test_new(const lock_entry* e, bool waiting, lock_entry** blocker, int* pos) {
  int i = 0;
  for (lock_entry* h = g_head; h != nullptr; h = h->next, ++i) {
    if (!others(e, h) || (h->l_stat == LockQueue_BLOCKED) != waiting) continue;
    const int c = conflict(e, h);
    if (c != 0) {
      *blocker = h;
      *pos = i;
      return c;
    }
  }
  return 0;
}

// A waiting entry against every granted and held-back entry of the queue
// and the waiting ones before it. A value that cannot be compared keeps it
// waiting (it was refused when asked, so the case does not arise).
int test_waiter(const lock_entry* e, lock_entry** blocker) {
  bool before = true;
  for (lock_entry* h = g_head; h != nullptr; h = h->next) {
    if (h == e) before = false;
    if (!others(e, h) || (h->l_stat == LockQueue_BLOCKED && !before)) continue;
    const int c = conflict(e, h);
    if (c != 0) {
      *blocker = h;
      return c;
    }
  }
  return 0;
}

void append(lock_entry* e) {
  e->prev = g_tail;
  e->next = nullptr;
  (g_tail ? g_tail->next : g_head) = e;
  g_tail = e;
}

void unlink(lock_entry* e) {
  (e->prev ? e->prev->next : g_head) = e->next;
  (e->next ? e->next->prev : g_tail) = e->prev;
}

void free_entry(lock_entry* e) {
  free(e->descr);
  free(e);
}

void grant(lock_entry* e) {
  e->l_stat = LockQueue_GRANTED;
  g_stats.wait_ticks += static_cast<uint32_t>(platform::monotonic_ms() - e->block_tick);
  e->block_tick = 0;
  wake_up(&e->wait);
}

// Grants every waiting entry that nothing holds back any more; the others
// name their current blocker to the deadlock walk.
void wake_up_queue() {
  for (lock_entry* e = g_head; e != nullptr; e = e->next) {
    if (e->l_stat != LockQueue_BLOCKED) continue;
    lock_entry* b = nullptr;
    if (test_waiter(e, &b) == 0)
      grant(e);
    else if (e->task != nullptr && b->task != nullptr && b->task != e->task)
      thread_set_waiting_for(e->task, b->task);
  }
}

void retake_api_unit() {
  // A cut made while the task was runnable ends this wait instead of the
  // lock wait; the request still returns holding its unit.
  while (Tlog_ApiSharedLock() != 0) debug_log('I', 1, "idb__add_lock: Tlog_ApiSharedLock() failed");
}

// Sleeps until e is granted (0) or its wait is cut short (the sleep's
// result, nonzero).
int wait_for_grant(lock_entry* e, lock_entry* blocker) {
  Task* waited_for = blocker->task;
  for (;;) {
    const int r = sleep_on_task(&e->wait, waited_for, ssn_deadlock_weight, __FILE__, __LINE__);
    if (e->l_stat == LockQueue_GRANTED) return 0;
    if (r != 0) return r;
    // Woken without the grant: look again.
    lock_entry* b = nullptr;
    if (test_waiter(e, &b) == 0) {
      grant(e);
      return 0;
    }
    waited_for = b->task;
  }
}

bool in_transaction(const idb_session* s) {
  return idb__tx_node(s) != nullptr && Tlog_TxDepth(idb__tx_node(s)) != 0;
}

}  // namespace

void idb__set_lock_config(int32_t lock_conflicting_items, int32_t allow_secondary_blocking_lock) {
  g_conflicting_items = lock_conflicting_items;
  g_allow_secondary = allow_secondary_blocking_lock;
}

int idb__add_lock(idb_session* s, db_ctx* ctx, int32_t mode, const uint32_t* qualifier) {
  if (!valid_mode(mode)) {
    IDB_ERROR(s, S_LOCKDB, -1);
    return -1;
  }
  const int32_t kind = (mode + 1) & ~1;
  if (is_descr_kind(kind) && (qualifier == nullptr || !valid_descr(qualifier))) {
    IDB_ERROR(s, S_LOCKDB, -1);
    return -1;
  }
  auto* e = static_cast<lock_entry*>(calloc(1, sizeof(lock_entry)));
  if (e == nullptr) ZENT_ASSERT(!"idb__add_lock() failed: memory allocation failed");
  e->session = s;
  e->task = thread_self();
  e->db = ctx->root;
  e->ctx = ctx;
  e->kind = kind;
  if (is_set_kind(kind)) e->set = static_cast<int32_t>(qualifier[0]);
  if (is_descr_kind(kind)) {
    const size_t bytes = descr_words(qualifier) * sizeof(uint32_t);
    e->descr = static_cast<uint32_t*>(malloc(bytes));
    if (e->descr == nullptr) ZENT_ASSERT(!"idb__add_lock() failed: memory allocation failed (qualifier)");
    memcpy(e->descr, qualifier, bytes);
  }
  ++g_stats.requests;
  ++(mode >= 11 ? g_stats.shared : g_stats.exclusive);

  lock_entry *b1 = nullptr, *b2 = nullptr;
  int p1 = 0, p2 = 0;
  const int c1 = test_new(e, false, &b1, &p1);
  int c2 = c1 == kValueError ? 0 : test_new(e, true, &b2, &p2);
  if (c1 == kValueError || c2 == kValueError) {
    free_entry(e);
    ++g_stats.refused;
    IDB_ERROR(s, S_LOCKDB, -2);
    return -1;
  }
  if (c1 == 0 && s->s_lock_cnt > 0) c2 = 0;
  if (c1 == 0 && c2 == 0) {
    e->l_stat = LockQueue_GRANTED;
    ++g_stats.granted;
    append(e);
    ++s->s_lock_cnt;
    return 0;
  }
  ++g_stats.conflicts;
  lock_entry* blocker = c1 == 0 || (c2 != 0 && p1 >= p2) ? b2 : b1;
  const int code = blocker == b1 ? c1 : c2;
  const bool may_wait = (mode & 1) != 0 && (s->s_lock_cnt == 0 || g_allow_secondary != 0) &&
                        e->task != nullptr;
  if (!may_wait) {
    free_entry(e);
    ++g_stats.refused;
    return (mode & 1) != 0 ? -135 : code;
  }
  e->l_stat = LockQueue_BLOCKED;
  e->block_tick = platform::monotonic_ms();
  append(e);
  ++s->s_lock_cnt;
  Tlog_ApiSharedUnlock();
  const int r = wait_for_grant(e, blocker);
  if (r != 0) {
    unlink(e);
    free_entry(e);
    --s->s_lock_cnt;
    ++g_stats.refused;
    // Those behind it may have waited only for it.
    wake_up_queue();
    retake_api_unit();
    IDB_ERROR(s, S_DEADLK, r);
    return -1;
  }
  retake_api_unit();
  return 0;
}

int idb__del_locks(idb_session* s, db_ctx* ctx, int32_t mode, const uint32_t* qualifier) {
  if (!valid_mode(mode)) {
    IDB_ERROR(s, S_LOCKDB, -1);
    return -1;
  }
  const int32_t m = mode > 10 ? mode - 10 : mode;
  const bool hold_back = in_transaction(s);
  int matched = 0;
  bool freed = false;
  for (lock_entry* e = g_head; e != nullptr;) {
    lock_entry* next = e->next;
    bool match = e->session == s && e->ctx == ctx && e->l_stat == LockQueue_GRANTED;
    if (match && (m == 3 || m == 4))
      match = is_set_kind(e->kind) && qualifier != nullptr && e->set == static_cast<int32_t>(qualifier[0]);
    else if (match && (m == 5 || m == 6))
      match = is_descr_kind(e->kind) && qualifier != nullptr && e->descr[0] == qualifier[0] &&
              memcmp(e->descr, qualifier, descr_words(qualifier) * sizeof(uint32_t)) == 0;
    if (match) {
      ++matched;
      if (hold_back) {
        e->l_stat = LockQueue_PENDING;
      } else {
        unlink(e);
        free_entry(e);
        freed = true;
      }
    }
    e = next;
  }
  s->s_lock_cnt -= matched;
  if (freed) wake_up_queue();
  return matched;
}

namespace {
// Frees the session's entries that keep says; the number of those freed
// that were not held back, and whether any was freed.
int drop_entries(idb_session* s, bool (*keep)(const lock_entry*, const void*), const void* arg,
                 bool* freed) {
  int counted = 0;
  for (lock_entry* e = g_head; e != nullptr;) {
    lock_entry* next = e->next;
    if (e->session == s && !keep(e, arg)) {
      if (e->l_stat != LockQueue_PENDING) ++counted;
      unlink(e);
      free_entry(e);
      *freed = true;
    }
    e = next;
  }
  return counted;
}
}  // namespace

void idb__del_db_locks(idb_session* s, db_ctx* ctx) {
  bool freed = false;
  s->s_lock_cnt -= drop_entries(
      s, [](const lock_entry* e, const void* c) { return e->ctx != c; }, ctx, &freed);
  if (s->s_lock_cnt < 0) {
    debug_log('I', 0, "idb__del_db_locks() inconsistency: session->s_lock_cnt = %d should be 0",
              static_cast<int>(s->s_lock_cnt));
    s->s_lock_cnt = 0;
  }
  if (freed) wake_up_queue();
}

void idb__del_session_locks(idb_session* s) {
  bool freed = false;
  s->s_lock_cnt -= drop_entries(
      s, [](const lock_entry*, const void*) { return false; }, nullptr, &freed);
  if (s->s_lock_cnt != 0) {
    debug_log('I', 0, "idb__del_session_locks() inconsistency: session->s_lock_cnt = %d, should be 0",
              static_cast<int>(s->s_lock_cnt));
    s->s_lock_cnt = 0;
  }
  if (freed) wake_up_queue();
}

void idb__del_tx_locks(idb_session* s) {
  bool freed = false;
  drop_entries(
      s, [](const lock_entry* e, const void*) { return e->l_stat != LockQueue_PENDING; }, nullptr,
      &freed);
  if (freed) wake_up_queue();
}

int idb__chk_rec_lock(idb_session* s, db_ctx* ctx, int32_t setno, int32_t entry_cnt,
                      const idb_entry* entries, const uint32_t* offsets, const uint8_t* record) {
  for (const lock_entry* h = g_head; h != nullptr; h = h->next) {
    if (h->l_stat == LockQueue_BLOCKED || h->session == s || h->db != ctx->root) continue;
    if (is_db_kind(h->kind)) return -12;
    if (is_set_kind(h->kind)) {
      if (h->set == setno) return -12;
      continue;
    }
    if (!is_descr_kind(h->kind)) {
      IDB_ERROR(s, S_LOCKDB, -2);
      return -1;
    }
    int rc = 0;
    each_entry(h->descr, [&](const DEntry& d) {
      if (!names_set(d, h->db, setno)) return false;
      if (d.item == 0) return (rc = -12) != 0;
      int32_t i = 0;
      while (i < entry_cnt && entries[i].item + 1 != static_cast<int32_t>(d.item)) ++i;
      if (i == entry_cnt) {
        IDB_ERROR(s, S_LOCKDB, -1);
        return (rc = -1) != 0;
      }
      const int c = compare(d.header, load_record(d.header, record + offsets[i]), load(d.header, d.value));
      return ranges_meet(0, d.op, c) ? (rc = -12) != 0 : false;
    });
    if (rc != 0) return rc;
  }
  return 0;
}

int idb__lock_conflict(const lock_entry* e, const lock_entry* h) { return conflict(e, h); }

const lock_entry* idb__get_lock_list() { return g_head; }
idb_lock_stats idb__get_lock_stats() { return g_stats; }
void idb__reset_lock_stats() { g_stats = {}; }

const char* idb__lock_state_name(int32_t l_stat) {
  switch (l_stat) {
    case LockQueue_GRANTED: return "GRANTED";
    case LockQueue_BLOCKED: return "BLOCKED";
    case LockQueue_PENDING: return "PENDING";
    default: return "?";
  }
}

int idb__descr_entry_next(const uint32_t* w, uint32_t* pos, idb_descr_entry* e) {
  const uint32_t n = w[0];
  const uint32_t p = *pos;
  if (p > n) return 0;
  const uint32_t c = w[p];
  // An entry has its count, its set count and its item at least.
  if (c < 3 || c > n - p + 1) return -1;
  const uint32_t end = p + c;
  const uint32_t k = w[p + 1];
  if (k > c - 3) return -1;
  *e = idb_descr_entry{k, &w[p + 2], w[p + 2 + k], 0, 0, 0, nullptr, 0};
  if (e->item != 0) {
    uint32_t q = p + 3 + k;
    if (q + 2 > end) return -1;
    e->op = w[q++];
    const uint32_t header = w[q++];
    e->type = static_cast<char>(header >> 16);
    e->vlen = header & 0xFFFF;
    e->value = &w[q];
    e->value_words = end - q;
  }
  *pos = end;
  return 1;
}

int idb__format_lock_line(const lock_entry* e, char* buf, int size) {
  char q[32];
  if (is_set_kind(e->kind))
    snprintf(q, sizeof q, "set %d", static_cast<int>(e->set) + 1);
  else
    snprintf(q, sizeof q, "%s", is_descr_kind(e->kind) ? "expression" : "database");
  const char* name = e->db != nullptr && e->db->name != nullptr ? e->db->name : "?";
  return snprintf(buf, static_cast<size_t>(size), "%-10p %3d %-16.16s %4d %-7.7s %4d %s\n",
                  static_cast<const void*>(e->session), e->task ? thread_id(e->task) : 0, name,
                  e->ctx ? static_cast<int>(e->ctx->dbid) : 0, idb__lock_state_name(e->l_stat),
                  static_cast<int>(e->kind), q);
}
