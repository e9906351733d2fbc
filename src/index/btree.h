// btree.h - the B-tree access method: ordered, unique key/data pairs in a
// node of type "BT" (0x4254).
//
// A tree is created once (btree_Create) with a key definition kept in its
// meta data; a session opens a handle on it (btree_OpenNode) within its
// B-tree context, installs its compare callbacks (btree_SetCompare), and
// puts, gets, deletes and walks entries. Every operation takes the node
// lock (write for put and delete, read for get and seq) and gives it back
// before it returns. See README.md in this directory for the page layout,
// the invariants and the road of each operation.
//
// Results of the operations: 0 done (RET_SUCCESS); 1 not found, exists or
// end (RET_SPECIAL); 2 the node lock could not be taken (RET_LOCKED, BT
// E006: callers retry); 3 the cursor was invalidated by another handle's
// change of the node (RET_CURSOR); -1 error (RET_ERROR, status set).
//
// Context: tasks of the server thread (or a utility's only thread). An
// operation may suspend its task where it waits for the node lock (which
// may be cut short: result 2), in the buffer cache (reads, free buffers)
// and in the volume set (page allocation); between those points nothing
// else changes the node. The node lock is the only exclusion; cursors are
// not protected by it: the node's change count tells a handle that another
// handle changed the tree since its cursor was set.
//
// Pages are changed in place while the session is outside a transaction
// (its context's tx_node is none, or the log is off). Inside one, a page's
// first change in a sub-transaction goes to a shadow page in the LOG
// volumes with an opcode-16 record; the log's handlers below make the
// change visible at commit or undo it at rollback. A page another open
// transaction holds makes a put or delete fail (-1) with the node lock
// given back and the wait recorded for the session (ssn_set_wait_key):
// the caller rolls its command back, waits on that transaction's log node
// (Node_FindLogRecord of the node and page, then Node_Wait) and runs the
// command again.
#pragma once
#include <cstddef>
#include <cstdint>

#include "index/btree_format.h"
#include "storage/node.h"

// --- Results, operations, flags ------------------------------------------------------

enum {
  RET_ERROR = -1,
  RET_SUCCESS = 0,
  RET_SPECIAL = 1,
  RET_LOCKED = 2,
  RET_CURSOR = 3,
};

// Operation codes of btree_Seq and btree_Delete.
enum {
  BT_SEQ_CURSOR = 1,  // seq: at the key or the first after it; delete: the entry under the cursor
  BT_SEQ_FIRST = 2,
  BT_SEQ_LAST = 3,
  BT_SEQ_NEXT = 4,    // BT_SEQ_FIRST without a valid cursor
  BT_SEQ_PREV = 5,    // BT_SEQ_LAST without a valid cursor
  BT_SEQ_PREFIX = 8,  // the key itself, else the first entry that does not begin with it
};

inline constexpr uint32_t R_NOOVERWRITE = 6;  // the only put flag: keys are unique
inline constexpr uint32_t BT_OPEN_RDONLY = 2; // btree_OpenNode flag

// Status codes (module BT).
enum {
  BT_E_PAGE = 1,      // E001: meta missing, registration, page allocation or access
  BT_E_RDONLY = 2,    // E002: put on a read-only handle
  BT_E_ARG = 3,       // E003: bad flags, key definition, context, operation or entry size
  BT_E_LOCK = 6,      // E006: node lock failed (result 2)
  BT_R_DELETE_RO = 2, // R002: delete on a read-only handle
  BT_R_CURSOR = 3,    // R003: cursor delete without a valid cursor, or a bad delete op
  BT_R_EXISTS = 4,    // R004: put of a key that exists (result 1)
};

// Handle flags.
inline constexpr uint32_t B_MODIFIED = 4;
inline constexpr uint32_t B_RDONLY = 0x10;

// Cursor flags.
inline constexpr uint32_t CURS_DELETED = 1;  // the entry under the cursor was deleted
inline constexpr uint32_t CURS_AFTER = 2;    // hold back the next step (never set here)
inline constexpr uint32_t CURS_BEFORE = 4;   // hold back the previous step (never set here)
inline constexpr uint32_t CURS_INIT = 8;     // the cursor is valid

// The descent records at most this many internal levels.
inline constexpr int BT_MAXLEVELS = 50;
// Advisory records a session can hold during one operation: a descent's
// pages and the neighbours a split or a removal relinks.
inline constexpr int BT_MAXLREC = BT_MAXLEVELS + 4;

// --- Records ---------------------------------------------------------------------

// A key or data value: bytes and length.
struct btree_DBT {
  void* data = nullptr;
  uint32_t size = 0;
};

// Compare: negative, 0 or positive as a sorts before, equal to or after b.
using btree_CompareFn = int (*)(const btree_KEYDEF* keydef, const btree_DBT* a,
                                const btree_DBT* b, void* arg);
// Prefix: how many leading bytes of b (the first key of a right page) still
// sort after a (the last key of the left page).
using btree_PrefixFn = uint32_t (*)(const btree_KEYDEF* keydef, const btree_DBT* a,
                                    const btree_DBT* b, void* arg);

struct btree_EPG {
  uint32_t pgno = 0;
  uint32_t index = 0;
};

struct Node_LOG_REC;

// Per-session context, owned by the session (zeroed at its creation, its
// first word the session's transaction node) and handed to every open.
struct btree_CTX {
  Node* tx_node = nullptr;      // inside a transaction: its log node; else none
  uint32_t session_word = 0;    // the session's own word beside it
  Node* locked_node = nullptr;  // the node whose lock this session holds (one at most)
  int lock_mode = 0;            // 1 write, 2 read
  btree_EPG stack[BT_MAXLEVELS];  // parents of the last descent, root first
  int depth = 0;                  // entries used in stack
  int lrec_cnt = 0;               // advisory records of the running operation
  Node_LOG_REC* lrec[BT_MAXLREC] = {};
};

// A growable return buffer.
struct btree_BUF {
  uint8_t* ptr = nullptr;
  uint32_t cap = 0;
};

struct btree_CURSOR {
  uint32_t pgno = 0;
  uint32_t index = 0;
  uint32_t flags = 0;         // CURS_*
  uint32_t change_count = 0;  // the node's count when the cursor was set or kept in step
  btree_BUF key;              // the deleted entry's key (CURS_DELETED)
  uint32_t key_len = 0;
};

struct btree_FAST {
  uint32_t order = 0;  // 0 none, 1 front of the leftmost leaf, 2 end of the rightmost leaf
  uint32_t pgno = 0;
  uint32_t index = 0;
  uint32_t change_count = 0;
};

// One open of a node by a session.
struct btree_HANDLE {
  uint8_t* meta = nullptr;    // the node's meta data bytes
  btree_KEYDEF keydef;        // decoded at open
  btree_CTX* bt_ctx = nullptr;
  Node* node = nullptr;
  struct {
    uint8_t* page = nullptr;  // pinned by the last descent
    uint32_t index = 0;
  } cur;
  btree_CURSOR cursor;
  btree_BUF kbuf;  // keys returned by btree_Seq
  btree_BUF dbuf;  // data returned by btree_Get and btree_Seq
  uint32_t psize = 0;
  btree_FAST fast;
  btree_CompareFn compare = nullptr;
  btree_PrefixFn prefix = nullptr;  // none: separators are not shortened
  void* arg = nullptr;
  uint32_t flags = 0;  // B_RDONLY, B_MODIFIED
};

// Process-wide counters for the statistics page (server thread only).
struct btree_STATS {
  uint32_t fast_hits;
  uint32_t fast_misses;
  uint32_t root_splits;
  uint32_t page_splits;
  uint32_t sort_splits;
  uint32_t pfx_saved;  // bytes saved by shortened separators
};
const btree_STATS* btree_GetStats();

// --- Subsystem ------------------------------------------------------------------------

// Registers node type "BT" with the node layer. 0, or -1 with BT E001.
// Calling it again while registered does nothing.
int btree_Init();
// The node-layer callback: event 0 (the volume set closes) unregisters.
int btree_Notify(Node* node, int event);

// --- Trees -------------------------------------------------------------------------------

// A new tree: flags must be 0; keydef may be none, else k_flags 0 or 1 and
// k_nparts 0..8 (each violation BT E003, no node made). k_len is computed.
// Writes the meta data and an empty root leaf. The node (unreferenced),
// its id in *node_id when given; none on failure (status set).
Node* btree_Create(uint32_t flags, const btree_KEYDEF* keydef, uint32_t* node_id);
// Empties an unreferenced tree in place: a new empty root. 0 or -1.
int btree_Reset(Node* node);

// A handle on node within ctx (flags: BT_OPEN_RDONLY), with the default
// compare and prefix functions. None on failure: no context (BT E003), a
// node without meta data or with unreadable meta data (BT E001), or the
// node's failure. Magic, version and page size other than this build's
// are fatal.
btree_HANDLE* btree_OpenNode(Node* node, btree_CTX* ctx, uint32_t flags);
// Closes the node and frees the handle and its buffers. 0.
int btree_CloseNode(btree_HANDLE* t);
const btree_KEYDEF* btree_GetKeyDef(const btree_HANDLE* t);
// Installs the key compare and prefix (none: no shortening) callbacks.
void btree_SetCompare(btree_HANDLE* t, btree_CompareFn compare, btree_PrefixFn prefix, void* arg);

// The default callbacks: unsigned bytes, the shorter key first.
int btree_DefaultCompare(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                         void* arg);
uint32_t btree_DefaultPrefix(const btree_KEYDEF* keydef, const btree_DBT* a, const btree_DBT* b,
                             void* arg);

// --- Operations ----------------------------------------------------------------------

// Inserts key/data; flags must be R_NOOVERWRITE. An entry larger than
// BT_MAXENTRY bytes is refused with BT E003 before anything changes.
int btree_Put(btree_HANDLE* t, const btree_DBT* key, const btree_DBT* data, uint32_t flags);
// The data of key in *data (the handle's buffer, valid until the next call
// on the handle). flags must be 0 (else errno EINVAL, -1, no lock taken).
int btree_Get(btree_HANDLE* t, const btree_DBT* key, btree_DBT* data, uint32_t flags);
// Positions the cursor (op BT_SEQ_*) and returns the key and data there
// through the handle's buffers.
int btree_Seq(btree_HANDLE* t, btree_DBT* key, btree_DBT* data, uint32_t op);
// op 0: delete key; op BT_SEQ_CURSOR: the entry under the cursor.
int btree_Delete(btree_HANDLE* t, const btree_DBT* key, uint32_t op);

// --- Log handlers (opcode 16) ---------------------------------------------------------

// Installed in the log's tables by btree_Init: pre-commit, final commit,
// rollback, and redo (the final-commit handler, which a replay may apply to
// a record whose effect is already on disk: applying it again changes
// nothing). Each takes the record's owner node, its 20 bytes and the
// record's block position; 0 or -1.
int btree_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int btree_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int btree_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
// Redo of a record whose tree was deleted later: the page it freed and its
// shadow are freed.
int btree_RedoOfGone(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);

// --- Restore ---------------------------------------------------------------------------

// Maps an archived cluster address to the restored one; 0 when unknown.
using btree_MapClusterFn = uint32_t (*)(uint32_t archived);
// Renumbers one restored page of a B-tree node (count must be 1) whose new
// address is page_addr: its own address, links and children, and for
// cluster_idx 0 the meta data's page numbers, each through map. A page that
// is not a B-tree page, or a number the map does not know, fails with
// nothing changed. 0 or -1 (BT E001).
int btree_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                         uint32_t cluster_idx, btree_MapClusterFn map);
// Checks a B-tree's archived meta data before the node takes them: a tree
// always holds its root page, so a node archived with no cluster would keep
// the archived set's page numbers (no cluster is renumbered) and is refused.
// 0 or -1 (BT E001).
int btree_RestoreMeta(Node* node, uint8_t* meta, uint32_t size, uint32_t clusters);
