// node_logrec.h - the node log-record hash and advisory locks.
//
// One process-wide hash of (node, key) entries says which open transaction
// (its log node) holds a key of a node — a record number, a pool page, a
// B-tree page — and where its latest logged change of that key lies.
// Entries that a transaction takes only to read are advisory locks, kept in
// a lock list that the caller (a database session) releases in nested
// levels. Removed entries are cached (last in, first out) and trimmed at
// checkpoints by age.
//
// An entry is owned by the hash; its holder (log_node) links it into the
// transaction node's context records; a lock list only points at it and
// says so in adv_refs, so an entry a lock list still names is never given
// back to the cache: it stays as a plain lock until the list lets it go.
//
// Context: tasks of the server thread only; no lock guards the hash and
// nothing here suspends a task. Running out of memory is fatal.
#pragma once
#include <cstdint>

#include "storage/node_format.h"

struct Node;

struct Node_LOG_REC {
  Node_LOG_REC* hash_prev = nullptr;  // bucket circle; on the free cache: none
  Node_LOG_REC* hash_next = nullptr;  // bucket circle; on the free cache: the next cached
  Node* node = nullptr;
  Node* log_node = nullptr;  // the holder; none = no holder
  uint32_t key = 0;
  uint32_t state = 0;        // the holder's meaning (pools: the page's redirected copy)
  Node_ADDR log_addr;        // the holder's latest record of the key; cluster 0 = none
  Node_LOG_REC* log_prev = nullptr;  // the holder's context records
  Node_LOG_REC* log_next = nullptr;
  uint32_t adv_refs = 0;     // lock lists that name the entry
};

// 1 when n is prime (every n below 4 counts as prime), else 0.
int Node_IsPrime(uint32_t n);

// Buckets: the largest prime not above min(2n - 1, 65535). 0 or -1.
int Node_InitRecordHash(int n);
void Node_CleanupRecordHash();
int Node_RecordHashSize();

// The entry of (node, key): the existing one (*found 1), or a new one
// without a holder (*found 0).
Node_LOG_REC* Node_AddLogRecord(Node* node, uint32_t key, int* found);
Node_LOG_REC* Node_FindLogRecord(Node* node, uint32_t key);
// The entry's last logged change is gone (a pop, or a lock taken back):
// it leaves its holder's context records and the hash for the free cache —
// unless a lock list still names it; then it stays, a plain lock of its
// holder without a logged change.
void Node_RemoveLogRecord(Node_LOG_REC* entry);
// The end of the holder's transaction (final commit, rollback): the entry
// leaves the context records; it goes to the cache unless a lock list still
// names it, in which case it stays without holder until the list lets go.
// The number of such entries is what the caller reports.
int Node_EndLogRecord(Node_LOG_REC* entry);

// At a checkpoint: entries cached since the previous checkpoint go back to
// the heap, and the mark moves to the cache's head.
void Node_FlushLogRecordCache();
// Everything cached goes back; the counters restart (node-layer shutdown).
void Node_FreeLogRecordCache();
// Entries taken from the heap and not given back / the highest that count
// reached; *bytes (when given) the same at 40 bytes each.
uint32_t Node_LogRecordUsage(uint32_t* bytes);
uint32_t Node_LogRecordHighMark(uint32_t* bytes);
inline constexpr uint32_t Node_LOG_REC_BYTES = 40;  // as counted on the status pages
// Entries on the free cache now (for checks).
uint32_t Node_LogRecordCached();

// An advisory lock list.
struct Node_ADVLOCK {
  uint32_t cnt = 0;
  uint32_t max_cnt = 0;
  uint32_t step = 0;  // 0: cannot grow
  Node_LOG_REC** locks = nullptr;
  uint32_t level = 0;
  uint32_t saved_max = 0;
  Node_LOG_REC** save_locks = nullptr;  // the first array while a grown one is in use
};

Node_ADVLOCK* Node_InitAdvLock(uint32_t init_cnt, uint32_t step);
void Node_FreeAdvLock(Node_ADVLOCK* list);   // the list must hold nothing
void Node_CheckAdvLock(const Node_ADVLOCK* list);
void Node_AddAdvLock(Node_ADVLOCK* list, Node_LOG_REC* entry);
// Opens a level; the save index to restore to.
int Node_SaveAdvLock(Node_ADVLOCK* list);
// Releases the locks from save to the end and closes the level.
void Node_RestoreAdvLock(Node_ADVLOCK* list, int save);
// Releases the newest lock of (node, key) at or after save; 1 found, 0 not.
int Node_ReleaseAdvLock(Node_ADVLOCK* list, Node* node, uint32_t key, int save);
void Node_ReleaseAllAdvLocks(Node_ADVLOCK* list);
