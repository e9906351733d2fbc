// tlog.h - the transaction log: log records in log nodes, the walk that
// dispatches them to each layer's handlers, and transactions (begin,
// nested pre-commit, final commit, rollback) on transaction nodes, with the
// API lock and the root log semaphore.
//
// A log node is a pool node of type TL whose records sit in blocks of two
// FPool chains, LOG and DO_LOG, anchored in its 68-byte meta data. Every
// record is a 24-byte head {prev, next, txid, opcode, state, size, owner
// id, owner handle} and its data; a block holds one record (written alone)
// or several (a tag record). The owner handle is a Node_HandleId number,
// good only while this server runs; a walk checks it and never trusts it.
// On a transaction node LOG holds the open transaction's records and
// DO_LOG what pre-commit prepared for the root; on the root log node
// (system log node 2) DO_LOG holds everything committed since the last
// checkpoint. While no root log node is set the log is off and every call
// here does nothing and succeeds.
//
// Owners: this module owns the root log node pointer, each open log node's
// run-time state (the transaction stack, its context records, the blocks
// its transactions free), the handler tables, the two semaphores and the
// counters. Layers own their records' data and handlers and register the
// handlers here (Tlog_SetHandler).
//
// Context: tasks of the server thread. A call may suspend where it takes a
// node lock (cut short: -1 with the lock's status), in the pools and the
// buffer cache, in the API lock or root_log_sem (cut short: status 27),
// and in the final commit's force, which waits until the LOG volumes hold
// the commit (a wait that is never cut).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/vbuf.h"
#include "storage/fpool.h"
#include "storage/llist.h"
#include "storage/node.h"
#include "storage/node_logrec.h"

// --- Formats -------------------------------------------------------------------------------

enum { Tlog_CHANNEL_LOG = 1, Tlog_CHANNEL_DO_LOG = 2 };

// Record states.
enum {
  Tlog_STATE_OLD = 0,          // a record of the old format
  Tlog_STATE_SINGLE = 1,       // an action of the root log itself
  Tlog_STATE_FIRST = 2,        // first record of a transaction's chain
  Tlog_STATE_LAST = 3,         // last record of a committed transaction
  Tlog_STATE_ONLY = 4,         // only record of a committed transaction
  Tlog_STATE_MORE = 5,         // further record of a transaction
};

// Opcodes.
enum {
  Tlog_OP_CHECKPOINT = 2,
  Tlog_OP_BEGIN = 3,
  Tlog_OP_SNAPSHOT = 4,
  Tlog_OP_DELETED_NODE = 5,
  Tlog_OP_NODE_PAGE = 6,
  Tlog_OP_CLUSTER = 7,
  Tlog_OP_LIST_PAGE = 8,
  Tlog_OP_LIST_HEAD = 9,
  Tlog_OP_LIST_ITEM = 10,
  Tlog_OP_LIST_ITEM_SET = 11,
  Tlog_OP_LIST_FILL = 12,
  Tlog_OP_FIXREC = 13,
  Tlog_OP_FIXREC_META = 14,
  Tlog_OP_FIXREC_CLUSTER = 15,
  Tlog_OP_BTREE = 16,
  Tlog_OP_SYSCAT = 17,
  Tlog_OP_POOL_RECORD = 18,
  Tlog_OP_VOL_EXTEND = 19,
  Tlog_OP_VOL_REDIRECT = 20,
  Tlog_OP_NOTE = 21,
};

inline constexpr uint32_t Tlog_OVERHEAD = 24;
inline constexpr uint32_t Tlog_MAX_DATA = Vol_PAGESIZE - Tlog_OVERHEAD;  // 8168
inline constexpr uint32_t Tlog_ROOTNODE = 2;
inline constexpr uint32_t Tlog_META_SIZE = 68;
inline constexpr uint32_t Tlog_META_DISK_SIZE = 40;  // header and both anchors
inline constexpr uint16_t Tlog_META_PAGE_TYPE = 6;
inline constexpr int32_t Tlog_SEM_UNITS = 10000;

// Status codes (module VOL, severity E).
enum {
  Tlog_E_NO_TX = 23,          // no open transaction
  Tlog_E_PRECOMMIT = 24,      // a pre-commit handler refused
  Tlog_E_ROLLBACK = 25,       // a rollback handler refused
  Tlog_E_REDO = 26,           // a redo or checkpoint walk refused
  Tlog_E_SEMAPHORE = 27,      // a semaphore could not be taken
};

// The 24-byte head of every record.
struct Tlog_RECHEAD {
  uint32_t prev = 0;   // back to the previous record of the block; 0 = first
  uint32_t next = 0;   // on to the next record of the block; 0 = last
  uint32_t txid = 0;   // 0 root, 1 outermost, else the sub-transaction id
  uint8_t opcode = 0;
  uint8_t state = 0;
  uint16_t size = 0;   // bytes of data after the head
  uint32_t owner_id = 0;
  uint32_t owner_handle = 0;
};
void Tlog_EncodeHead(const Tlog_RECHEAD& h, uint8_t* out);
Tlog_RECHEAD Tlog_DecodeHead(const uint8_t* in);

// The stored part of a log node's meta data: page header (first word
// 0x544C, type 6) and the two anchors. The run-time part (bytes 40..67) is
// written as zeros; the lists it names live in memory only.
struct Tlog_META {
  FPool_ANCHOR log_anchor;
  FPool_ANCHOR do_log_anchor;
};
void Tlog_EncodeMeta(const Tlog_META& m, uint8_t* out);  // Tlog_META_SIZE bytes
// 0, or -1 when the header is not a log node's.
int Tlog_DecodeMeta(const uint8_t* in, uint32_t size, Tlog_META* m);

// --- Handler tables ------------------------------------------------------------------------

// A handler: the record's owner node (else the walked log node), its data
// (none for no data), the data's size and the walk's block position. 0
// goes on; any other value stops the walk and is its result. A handler
// checks every field against size: what is read back may be damaged.
using Tlog_HANDLER = int (*)(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);

// A handler's result for a record whose fields overrun its size or hold
// what no writer makes: recovery stops its replay there as at a torn block.
inline constexpr int Tlog_DAMAGED = 2;
// Logs "<who> failed: damaged log record (<what>, <size> bytes)" and
// returns Tlog_DAMAGED.
int Tlog_Damaged(const char* who, const char* what, uint32_t size);

inline constexpr int Tlog_MAX_ACTIONS = 18;
struct Tlog_ACTION {
  uint32_t opcode;
  Tlog_HANDLER handler;  // none: the record is passed over
};
// Entries searched in order; the end entry is opcode 0 (others are an
// error, "unknown opcode") or 1 (others are passed over).
struct Tlog_ACTIONTABLE {
  Tlog_ACTION entries[Tlog_MAX_ACTIONS];
  int count;       // entries before the end entry
  uint32_t end;    // 0 or 1
  // Handlers get the log node and never the record's owner: the walk
  // neither looks the owner up nor passes over a record whose owner the
  // replay has yet to make.
  bool ownerless = false;
};

enum Tlog_TABLE {
  Tlog_TABLE_PRECOMMIT,
  Tlog_TABLE_FINALCOMMIT,
  Tlog_TABLE_ROLLBACK,
  Tlog_TABLE_REDO,
  Tlog_TABLE_EXTEND_REDO,
  Tlog_TABLE_REDIRECT_REDO,
  Tlog_TABLE_CHECKPOINT,
  // Recovery, before the replay: each page a record claims as allocated
  // (Vol_ReservePage). Ownerless.
  Tlog_TABLE_CLAIM,
  // Recovery's replay, for a record of the redo table whose owner it no
  // longer finds (deleted later, its slot cleared on disk): what the record
  // still does without its node (a release of pages). Ownerless.
  Tlog_TABLE_GONE_REDO,
  Tlog_NUM_TABLES,
};
const Tlog_ACTIONTABLE* Tlog_GetTable(Tlog_TABLE table);
// A layer installs its handler for opcode in a table (replacing an earlier
// one). An opcode no layer registered is not in the table: with end entry 0
// its record stops the walk as unknown rather than be skipped unseen.
void Tlog_SetHandler(Tlog_TABLE table, uint32_t opcode, Tlog_HANDLER handler);
// Back to the entries this module fills itself (tests, shutdown).
void Tlog_ResetTables();

// --- Records -------------------------------------------------------------------------------

// Appends one record as a block of its own; *pos the block. 0 or -1.
int Tlog_WriteRecord(Node* node, uint8_t opcode, int channel, Node* owner, const void* data,
                     uint32_t size, Node_ADDR* pos);
// The data of the record alone in the block at pos (up to size bytes,
// 1..8192); *txid its txid. The bytes read, or -1.
int Tlog_ReadRecord(Node* node, const Node_ADDR* pos, void* buffer, uint32_t size,
                    uint32_t* txid);
// Replaces the first size bytes of the record's data. 0 or -1.
int Tlog_UpdateRecord(Node* node, const Node_ADDR* pos, const void* data, uint32_t size);

struct Tlog_TAGREC {
  Node* node = nullptr;
  int channel = 0;
  vbuf* buf = nullptr;
  uint32_t last_offset = 0;
  uint32_t next_offset = 0;
  uint32_t records = 0;  // records in the buffer
};
struct Tlog_SEGMENT {
  const void* buf;
  uint32_t size;
};
int Tlog_InitTagRecord(Node* node, Tlog_TAGREC* tag, int channel);
int Tlog_InitRootTagRecord(Tlog_TAGREC* tag);
int Tlog_AddToTagRecord(Tlog_TAGREC* tag, uint8_t opcode, Node* owner, const Tlog_SEGMENT* segs,
                        int count);
int Tlog_AddBufferToTagRecord(Tlog_TAGREC* tag, uint8_t opcode, Node* owner, const void* data,
                              uint32_t size);
int Tlog_FlushTagRecord(Tlog_TAGREC* tag);
void Tlog_CloseTagRecord(Tlog_TAGREC* tag);

// Walks the records of node's chain (channel 1 or 2), or from start
// (channel 0), forward or in reverse, up to and including the block at
// stop (none: to the end), and calls table's handlers. 0, a negative value,
// or the first nonzero handler result (1 for an unknown opcode).
int Tlog_Action(Node* node, int channel, const Tlog_ACTIONTABLE* table, FPool_ITER* start,
                const Node_ADDR* stop, const char* message, int reverse);
// Where a replay stops: the block and, within it, the offset of the last
// record to dispatch. No valid block: the whole chain.
struct Tlog_STOPPOS {
  Node_ADDR block;
  uint32_t record = 0;
};
// Tlog_Action forward over node's channel, up to and including the record
// at stop (none: to the end).
int Tlog_ActionTo(Node* node, int channel, const Tlog_ACTIONTABLE* table,
                  const Tlog_STOPPOS* stop, const char* message);
Node* Tlog_ActionNode();
uint32_t Tlog_NumDispatched();

// The holder of entry becomes tx (an entry with a holder stays as it is);
// it goes to the front of tx's context records. Unlink takes it off.
void Tlog_LinkLogRecord(Node* tx, Node_LOG_REC* entry);
void Tlog_UnlinkLogRecord(Node_LOG_REC* entry);

// tx's list of node's freed pool blocks: made when missing / none.
Llist* Tlog_AddLogpoolFlist(Node* node, Node* tx);
Llist* Tlog_FindLogpoolFlist(Node* node, Node* tx);

// --- Log nodes and transactions -----------------------------------------------------------

// Registers the TL subsystem, this module's handlers and the node layer's
// (node_log.h). 0 or -1.
int Tlog_Init();
int Tlog_Notify(Node* node, int event);
Node* Tlog_Create();
Node* Tlog_CreateNode(uint32_t system_node_id);
int Tlog_Destroy(Node* node);
int Tlog_ResetMeta(Node* node);

// The root log node: none = the log is off. Tlog_SetupRootNode looks up
// system log node 2 (or creates it), opens it and sets node flag 3, as the
// first checkpoint does; Tlog_CloseRootNode is the unregister's half.
Node* Tlog_RootNode();
int Tlog_SetupRootNode();
void Tlog_CloseRootNode();
// LOG pages the root log gained since the last checkpoint.
uint32_t Tlog_RootPages();
void Tlog_SetRootPages(uint32_t pages);
// The root log's anchors, for the checkpoint and recovery (node locked).
Tlog_META* Tlog_RootAnchors();

// Recovery flag: 1 while recovery replays the log.
int Tlog_InRecovery();
void Tlog_SetRecovery(int on);

int Tlog_Begin(Node* node, const char* comment, uint32_t txid);
int Tlog_Commit(Node* node);
void Tlog_FinalCommit(Node* node);
int Tlog_Rollback(Node* node, uint32_t txid);

uint32_t Tlog_TxID(Node* node);
uint32_t Tlog_SubID(Node* node);
uint32_t Tlog_EnclosingSubID(Node* node, uint32_t sub_id);
uint32_t Tlog_TxDepth(Node* node);
uint32_t Tlog_NumActions(Node* node, uint32_t txid);

// The API lock: a request holds one unit, an exclusive holder all 10000.
// A take cut short sets status 27 and gives -1.
int Tlog_ApiLock(const char* file = __builtin_FILE(), int line = __builtin_LINE());
void Tlog_ApiUnlock();
int Tlog_ApiSharedLock(const char* file = __builtin_FILE(), int line = __builtin_LINE());
void Tlog_ApiSharedUnlock();
void Tlog_Thaw();
// Takers asleep on the API lock now (status pages, checks).
int Tlog_ApiWaiters();
// One unit of root_log_sem, to keep checkpoints out; all of it, to rotate.
int Tlog_CheckpointLock(const char* file = __builtin_FILE(), int line = __builtin_LINE());
void Tlog_CheckpointUnlock();
int Tlog_RootLogLockAll(const char* file, int line);
void Tlog_RootLogUnlockAll();
// Fresh semaphores (a new kernel table: tests, start-up).
void Tlog_ResetSemaphores();

// --- Checkpoint and recovery (tlog_checkpoint.cpp) ---------------------------------------

// Makes the data volumes hold everything committed, then frees the log
// that covered it. The caller holds the API lock. 0 or -1.
int Tlog_Checkpoint(const char* comment);
// The checkpoint that starts on-line backup: keeps the API lock
// exclusively on success (Tlog_Thaw gives it back). 0 or -1.
int Tlog_Freeze(const char* comment);
// How much of root's chain can be trusted: *stop is left clear when all
// of it can, else it names the last record of the last closed unit (a
// chain without one is dropped). Damage is logged, not fatal. 0 or -1.
int Tlog_Validate(Node* root, int channel, Tlog_STOPPOS* stop);
// Crash recovery at start-up: replays the root log when the set was not
// closed cleanly or was left in on-line backup, then empties the LOG
// volumes. 0 or -1.
int Tlog_Recover();
// Work that a crash would leave for the operator to finish (a detail set's
// erase) writes a note to the root log first and ends it when done; the
// recovery after a crash logs the text of every note still open. The log
// off, nothing is written (*id 0). 0 or -1.
inline constexpr uint32_t Tlog_NOTE_TEXT = 192;  // text bytes kept, NUL included
int Tlog_BeginNote(const char* text, uint32_t* id);
int Tlog_EndNote(uint32_t id);
// LOG pages the log holds now (the checkpoint size trigger).
uint32_t Tlog_LogSize();
uint32_t Tlog_NumCheckpoints();

struct Tlog_COUNTERS {
  uint32_t top_begins;
  uint32_t sub_begins;
  uint32_t precommits;
  uint32_t rollbacks;
  uint32_t final_commits;
  uint32_t records;        // records written (alone or in tag blocks)
  uint32_t forces;         // final-commit forces of the LOG volumes
};
const Tlog_COUNTERS* Tlog_Counters();
// The final commits since the last call (the statistics timer).
uint32_t Tlog_TakeFinalCommits();
