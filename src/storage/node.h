// node.h - nodes: the storage objects inside the volume set (B-trees,
// fixed-record files, transaction logs, catalog tables, pools).
//
// Each node is a 56-byte descriptor in a slot of a node page; the node
// pages of a root are chained from the first_page of its volume (the root
// volume for the data root, the primary LOG volume for the log root). In
// memory every slot has a handle (Node) inside a mempage that mirrors its
// node page; handles live as long as their root, so pointers to them stay
// valid until the volume set closes (or, for the log root, is rebuilt).
// Node ids: 1..99 are system ids chosen by the creator, user nodes are
// numbered from 100 upward. See README.md ("Nodes").
//
// Owners: the node layer owns the roots, mempages and handles (one global
// state, node_state.h). A handle's meta data copy exists exactly while it
// is referenced (ref_count > 0) and has a meta data block.
//
// Context: every call runs in a task of the server thread, or in a
// utility's only thread; no locks but the task kernel's semaphores. A call
// may suspend its task where it waits for a node lock, the meta lock, the
// node semaphore (open/close), the chain lock of a root (create, delete),
// a page allocation or flush of the volume set, a buffer of the cache, or
// the system pool. Waits that may be cut short say so: Node_Lock,
// Node_LockShared, Node_Open, the create and delete of a node (status 27).
// The meta lock, the close of a node and the volume events never give up.
//
// Failures set a status code of module VOL, severity E, and return none or
// -1; the codes are the Node_E_* values below. Inconsistencies of the node
// pages read from the volumes (a bad header, a broken chain) are fatal
// assertions, as are programming errors.
#pragma once
#include <cstdint>

#include "base/task_kernel.h"
#include "storage/llist.h"
#include "storage/node_format.h"

// Status codes of the node layer (module VOL, severity E).
enum {
  Node_E_SUBSYSTEM = 5,     // subsystem table: type already installed, or full
  Node_E_ID_OVERFLOW = 13,  // no user node id left
  Node_E_SYSID_IN_USE = 14, // the system id is taken
  Node_E_REFERENCED = 21,   // reset or delete of a node still referenced
  Node_E_LOCK = 27,         // a node lock or the node semaphore: the wait was cut short
};

inline constexpr uint32_t Node_FIRSTNODE = 100;  // first user node id
inline constexpr uint32_t SysPool_NODEID = 1;    // the system pool of each root
inline constexpr int Node_MAX_SUBSYSTEMS = 10;
inline constexpr int32_t Node_LOCK_UNITS = 10000;

// Flag bits of Node_DESC.flags (Node_SetFlag and friends take the bit
// number). Bits 0..5 are stored; bits 16..21 live in memory only and are
// cleared whenever a node page is read.
enum {
  Node_LOGNODE = 0,            // on the log root ("L")
  Node_POOLNODE = 1,           // a pool ("P")
  Node_SYSNODE = 2,            // a system id ("S")
  Node_SYSPOOL = 3,            // the system pool: its changed buffers are written through
  Node_NO_ULIST = 4,           // keeps no used-cluster list
  Node_UNCOMMITTED = 5,        // made by a transaction whose commit has not cleared it yet
  Node_FIRST_OPEN_DONE = 16,   // notify event 3 sent in this run
  Node_DESC_CHANGED = 17,      // the descriptor differs from its node page on disk
  Node_META_CREATED = 18,      // meta data created in this run
  Node_META_CHANGED = 19,      // the meta copy differs from the pool block
  Node_REPLAYED = 20,          // made by the log's replay: no node page on disk held it
  Node_NOTIFY_PENDING = 21,    // a checkpoint notification is due
};
inline constexpr uint32_t Node_RUNTIME_FLAGS = 0x003F0000u;  // bits 16..21

// Node types: two characters, the first in the high byte.
constexpr uint16_t Node_Type(char a, char b) {
  return static_cast<uint16_t>((static_cast<uint8_t>(a) << 8) | static_cast<uint8_t>(b));
}
inline constexpr uint16_t NodeType_TL = Node_Type('T', 'L');  // transaction log
inline constexpr uint16_t NodeType_FR = Node_Type('F', 'R');  // fixed-record file
inline constexpr uint16_t NodeType_BT = Node_Type('B', 'T');  // B-tree
inline constexpr uint16_t NodeType_DB = Node_Type('D', 'B');  // a database's table of tables
inline constexpr uint16_t NodeType_ST = Node_Type('S', 'T');  // other catalog tables

// Events to subsystems (Node_NotifySubsystems).
enum {
  Node_EVENT_SHUTDOWN = 0,    // no node: the volume set closes
  Node_EVENT_CHECKPOINT = 1,  // to each node whose checkpoint notification is pending
  Node_EVENT_META_READ = 2,   // Node_Open read the meta data
  Node_EVENT_FIRST_OPEN = 3,  // first open in this server run (not during recovery)
  Node_EVENT_LAST_CLOSE = 4,  // Node_Close: last reference, before the meta data are written
  Node_EVENT_RESET = 5,       // Node_Reset: the clusters are about to be freed
  Node_EVENT_DELETE = 6,      // Node_Delete: the node is about to be deleted
};

struct Node_MEMPAGE;

// The in-memory handle of one descriptor slot.
struct Node {
  uint32_t change_count;
  int32_t ref_count;
  void* reserved;          // the vnode cache's word
  Vol_ALDESC* alloc_map;   // log nodes: the LOG allocation map; data nodes: none
  Node_DESC node;          // the descriptor
  Node_MEMPAGE* mempage;   // owning mempage
  uint8_t* meta_data;      // heap copy of the meta data while referenced
  Llist log_clusters;      // logged cluster actions since the last snapshot
  Semaphore lock;          // Node_LOCK_UNITS units: all = exclusive, one = shared
  Semaphore meta_lock;     // one unit: the node's item and free lists
  WaitQueue wait;          // tasks waiting for the owner's transaction
  Task* owner;             // log nodes: the creating task
  uint32_t handle_id;      // Node_HandleId's number, 0 = none yet
};

// --- Creation and lookup ----------------------------------------------------------

// A data node / a node on the log root, with the next user id; a system
// node with a fixed id (1..99) on either root. cluster_size 1..8. The new
// handle, or none (status set).
Node* Node_Create(int cluster_size);
Node* Node_CreateLog(int cluster_size);
Node* Node_SysCreate(int cluster_size, uint32_t system_node_id);
Node* Node_SysCreateLog(int cluster_size, uint32_t system_node_id);
// requested_id nonzero recreates a node under an old id (log redo, archive
// restore); system_node_id nonzero takes that system id. flags (bits of
// Node_FLAGS, such as the pool's) are the node's from its first descriptor
// write and creation record on.
Node* Node_DoCreate(int cluster_size, uint32_t requested_id, uint32_t system_node_id,
                    int log_node, uint32_t flags = 0);

// A transaction's new data nodes: while the calling task holds this scope,
// the user data nodes it creates carry Node_UNCOMMITTED from their first
// snapshot on. The transaction's commit clears the bit (Node_Committed);
// recovery deletes every node that still has it, for a power cut before
// the commit leaves nothing else that owns the node. Scopes do not nest
// across tasks: another task's creates are left unmarked.
struct Node_UncommittedScope {
  explicit Node_UncommittedScope(bool on);
  ~Node_UncommittedScope();
  Node_UncommittedScope(const Node_UncommittedScope&) = delete;
  Node_UncommittedScope& operator=(const Node_UncommittedScope&) = delete;
  bool on;
};
// The commit (or its redo) of the creation of node id: the node, when it
// still exists, loses Node_UNCOMMITTED. 0 or -1.
int Node_Committed(uint32_t node_id);

// The handle of a used slot, or none. The log root gives none when the set
// has no LOG volume. SysFind caches the handles of ids 1..99.
Node* Node_Find(uint32_t node_id);
Node* Node_FindLog(uint32_t node_id);
Node* Node_SysFind(uint32_t node_id);
Node* Node_SysFindLog(uint32_t node_id);
// Recovery, before it looks up the root log node: reads the log root's
// node pages, and where they are damaged (zeroed by a lost write, say)
// refuses the root with -1 (VOL E007, the page logged) instead of stopping
// the process. The log is lost then, but the LOG volumes are rebuilt all
// the same. 0 when the root is sound, already read, or there is no LOG
// volume.
int Node_CheckLogRoot();

// --- References and meta data -------------------------------------------------------

// A reference. The first of a run of references reads the meta data (from
// the system pool) and notifies the subsystem (events 2 and 3). 0, or -1
// (status 27 when the wait for the node semaphore was cut short, or the
// subsystem's failure).
int Node_Open(Node* node);
// Drops a reference; the last one notifies the subsystem (event 4) and
// writes changed meta data back. Never fails.
int Node_Close(Node* node);

// New meta data of size bytes for a referenced node without any: a block
// in the root's system pool and a heap copy (contents undefined). The
// copy, or none (not referenced, or no block to be had).
void* Node_SetupMetaData(Node* node, uint32_t size);
void* Node_GetMetaData(Node* node);  // asserts a reference
uint32_t Node_GetMetaSize(const Node* node);
void Node_SetMetaDirty(Node* node);
// Writes the meta copy back when it changed (referenced nodes only).
void Node_UpdateMetaData(Node* node);

// --- Destruction -------------------------------------------------------------------------

// Frees every cluster of an unreferenced node (at the next checkpoint), its
// list pages and pool free list, and drops its cached pages. 0, or -1
// (status 21 when the node is referenced).
int Node_Reset(Node* node);
// Node_Reset, then the meta data block and the descriptor. 0 or -1.
int Node_Delete(Node* node);
// Whether the meta data block of a node nobody holds open is no longer in
// use in its system pool: a recovery cut short, or a kill, freed it (the
// pool writes through) before the node page that names it was written.
bool Node_MetaFreed(const Node* node);
// Writes the node's node page when it changed. 0, or -1 (status 20) when
// on-line backup found no LOG page for it: it stays changed, and the next
// sync writes it.
int Node_Sync(Node* node);

// --- Accessors ---------------------------------------------------------------------------

uint32_t Node_GetId(const Node* node);
// A number that names the handle in records while this server runs: a
// slot index and a generation, never a pointer. 0 when none can be had.
uint32_t Node_HandleId(Node* node);
// The handle that handle_id names, if it still holds node_id; none
// otherwise. Any value is safe to pass (a number read from disk, another
// run's, a forged one): it is bound-checked and never dereferenced.
Node* Node_FromHandleId(uint32_t handle_id, uint32_t node_id);
uint16_t Node_GetType(const Node* node);
void Node_SetType(Node* node, uint16_t type);  // once: the type must still be 0
int Node_GetClusterSize(const Node* node);
int Node_RefCount(const Node* node);
uint32_t Node_GetChangeCount(const Node* node);
void Node_IncChangeCount(Node* node);
void Node_SetFlag(int bit, Node* node);
void Node_ClearFlag(int bit, Node* node);
int Node_TestFlag(int bit, const Node* node);
// The descriptor changed: flag 17 and the node page's changed flag.
void Node_SetDirty(Node* node);
int Node_IsDirty(const Node* node);
void Node_SetNotifyPending(Node* node);
uint16_t Node_GetMinBlockSize(const Node* node);
uint16_t Node_GetAvgBlockSize(const Node* node);
void Node_AddrClear(Node_ADDR* addr);
int Node_AddrValid(const Node_ADDR* addr);
// Pools: folds a block size into the node's smallest and average sizes.
void Node_UpdateBlockStats(Node* node, uint32_t size);

// "#<id>", then ":" and "S", "L", "P" for the system, log and pool flags
// set ("#1:SP" for the data system pool). The text stays valid until eight
// more labels have been made, so several labels fit in one log line.
const char* Node_Name(const Node* node);
inline constexpr int Node_NAME_SIZE = 20;
// The same into out[Node_NAME_SIZE].
const char* Node_FormatName(const Node* node, char* out);

// --- Locks --------------------------------------------------------------------------------

// Exclusive (all units) and shared (one unit). The owner of the exclusive
// lock may lock again, also shared. 0, or -1 with status 27 when the wait
// was cut short.
int Node_Lock(Node* node, const char* file, int line);
void Node_Unlock(Node* node);
int Node_LockShared(Node* node, const char* file, int line);
void Node_UnlockShared(Node* node);
// 0 free, 1 exclusive, 2 shared.
int Node_LockState(const Node* node);
// The item and free lists of the node. Re-entrant for its holder; the
// wait is never given up.
void Node_MetaLock(Node* node, const char* file, int line);
void Node_MetaUnlock(Node* node);
// Waits for the owner task of a log node to wake the queue (its
// transaction ended). The sleep's result: 0 woken, else cut short.
int Node_Wait(Node* node, const char* file, int line);
void Node_WakeUp(Node* node);

// --- Subsystems ---------------------------------------------------------------------------

// A notify function: node (none for event 0) and the event; 0 or a failure.
using Node_NotifyFn = int (*)(Node* node, int event);
// 0, or -1 with status 5 (type already installed, or 10 installed).
int Node_RegisterSubsystem(uint16_t type, Node_NotifyFn notify);
void Node_UnregisterSubsystem(Node_NotifyFn notify);
// Whether notify is registered: a second start in one process (tests)
// unregisters it first, without a note when it was never registered.
bool Node_SubsystemRegistered(Node_NotifyFn notify);
// With a node: the first entry of its type, and its result. Without: every
// entry in order until one fails, and that result. 0 when none answers.
int Node_NotifySubsystems(Node* node, int event);
// Event 1 to every node of both roots whose notification is pending.
int Node_CheckpointNotify();

// --- Volume events ---------------------------------------------------------------------------

// The volume set's event function (installed on the first root set-up):
// 0 writes both roots, 1 the data root, 2 the log root, 3 shuts the node
// layer down, 4 drops the log root, 5 re-reads the data root's node pages.
// Writing a root writes its changed node pages and changed meta data (and
// for the data root every dirty buffer).
void Node_Notify(int event);

// The address of the node page that holds the node's descriptor.
uint32_t Node_PageOf(const Node* node);

// --- Inspection (the dump tool) -----------------------------------------------------------

// Inspect mode, for a set opened read-only and never recovered: a first
// reference reads the meta data and sends event 2 only (no first-open
// work), the last one drops the copy without event 4, a write-back or a
// snapshot (subsystems drop their state at the shutdown event), and a damaged node page chain (outside the set, a page seen
// before, a bad header) refuses its root with status VOL E007 instead of
// stopping the process.
void Node_SetInspectOnly(int on);

// A page a chain or a link read from disk may name: inside an open volume
// of the set, not a descriptor page. Check before reading what a page says.
bool Node_PageInSet(uint32_t page);
// Calls fn for every node of the data root (log 0) or the log root, in
// node-id order, until it returns nonzero (that value is returned). 0 when
// done (also without a LOG volume for the log root), -1 when the root
// cannot be set up (status set).
int Node_VisitById(int log, int (*fn)(Node* node, void* context), void* context);

// The counters of a root (log 0: data root), for checks and status pages;
// -1 when the root cannot be set up.
int Node_RootCounts(int log, uint32_t* num_nodes, uint32_t* last_node_id, uint32_t* pages);
