// idb_session.h - the database session record: what one client connection
// keeps for the access layer while it runs database calls.
//
// Owner: the connection that created it (the network server keeps it in
// its client session); every field is zero at creation. The open contexts
// (`db_ctx`) on its list belong to it; each holds one reference of its
// database's schema cache entry.
//
// Context: only the connection's own task reads or writes the record, on
// the server thread; nothing here suspends.
#pragma once
#include <cstdint>

#include "index/btree.h"
#include "storage/node_logrec.h"
#include "storage/ssn.h"

struct Node;
struct vglobal;
struct idb_re;

// A command opens its set's table node and one per path: 16 paths at most.
inline constexpr int MAX_PATH_CNT = 16;

// The last failure of one session: the condition code, where it was set and
// the lower layer's status (or another detail value) as sub-code. Each
// session has its own, so that a task that sleeps between setting its code
// and filling its status array reads its own code back.
struct idb_error {
  int32_t code = 0;
  const char* file = nullptr;
  int32_t line = 0;
  int32_t sub_code = 0;
};

struct idb_node_slot {
  Node* node = nullptr;
};

// One part of an index key: where its bytes lie in the media record.
struct idb_key_part {
  uint32_t offset;
  uint32_t length;
};

// Index positions of a set cursor (`index_mode`).
enum : int32_t {
  IDB_IDX_NONE = 0,
  IDB_IDX_BEFORE = 1,   // before the key: a forward read starts at the first key not less
  IDB_IDX_AFTER = 2,    // after the key: a backward read starts at the last key with it
  IDB_IDX_ON_FWD = 3,   // on a key, the last step forward
  IDB_IDX_ON_BWD = 4,   // on a key, the last step backward
  IDB_IDX_RANGE = 6,    // on the range, not read yet (forward as 1, backward as 2)
};

// One set's cursor and the session's access to the set.
struct set_ctx {
  uint32_t access;  // OR of the privilege maps: 1 read, 2 write, 4 erase
  int32_t recno;    // current record number
  int32_t index;    // 1 master key, n >= 2 index n - 2
  int32_t index_mode;
  int32_t arg_len;  // leading key bytes that bind the chain (0: the whole index)
  int32_t seg_cnt;  // the index key's parts (`idx_desc`)
  int32_t key_len;
  uint8_t* key;     // key_len bytes: the argument, then the current key; owned
  idb_re* pattern;  // compiled wildcard pattern, owned (idb__re_free)
  int32_t path;     // path index of the current chain
  int32_t fwd;      // forward and backward chain links of the current record
  int32_t bwd;
  int32_t pat_span; // key bytes the pattern applies to
  idb_key_part part[8];
  // The set's record file, referenced from the context's first read until
  // the context closes (or the set's node changes), so that a read opens
  // and closes no node; none while nothing holds it.
  Node* held_node;
};

// One open database of a session.
struct db_ctx {
  db_ctx* next;
  vglobal* root;  // one reference while the context lives
  int32_t dbid;   // 1 to 32767
  int32_t mode;   // 1, 3, 8, 9 or 13
  uint32_t privs; // OR of the user's group privileges; bit 0 administration
  set_ctx* sets;  // one per set of the schema, in set order
};

struct idb_session {
  // The connection that created the session (none in tests).
  void* owner = nullptr;
  // Logon (idb_logon.h): the user's name (owned), id (0 not logged on)
  // and capability bits (bit 0 dba, 1 user administration, 2 connect).
  char* user_name = nullptr;
  int32_t uid = 0;
  uint32_t caps = 0;
  // The last dbid handed out and the open databases, newest first.
  int32_t dbid_cnt = 0;
  db_ctx* db_list = nullptr;
  // Lock entries the session holds, waiting ones included (idb_lock.h).
  int32_t s_lock_cnt = 0;
  // The task-session state the lower layers see (storage/ssn.h): the
  // session's transaction node (`tx_node`) and the blocking record
  // (`tx_blocking`: wait_node, wait_key, wait_file, wait_line) that a
  // fixed-record file or a B-tree fills through ssn_set_wait_key when it
  // meets a record or page held by another session's open transaction.
  Ssn_STATE ssn;
  // The session's B-tree work area; its first word is the transaction node.
  btree_CTX bt_ctx;
  // Advisory locks taken during a command (64 entries, growing by 64).
  Node_ADVLOCK* adv_locks = nullptr;
  // The nodes the current command has opened: the set's table node and one
  // per path. Empty between commands.
  int32_t node_cnt = 0;
  idb_node_slot node_list[MAX_PATH_CNT + 1];
  idb_error error;
  // Set while the outermost transaction of a client's own is pre-committed
  // and not yet final-committed or rolled back (the network server's
  // transaction requests keep it).
  int32_t tx_precommitted = 0;
};

inline Node* idb__tx_node(const idb_session* s) { return s->ssn.tx_node; }
