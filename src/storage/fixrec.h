// fixrec.h - fixed-size record files: the records of one data set, all of
// one size, numbered from 1, in clusters of pages of a node of type FR.
//
// A slot is one flag byte ('U' used, 'D' free) and the record's bytes; slot
// r lives in the node's cluster (r - 1) / cluster_records (in used-cluster
// list order) at byte (r - 1) % cluster_records * slot_size, and may cross
// a page boundary inside its cluster. Deleted record numbers wait on a free
// list (an item list of {recno, start page of its cluster}) behind a cursor
// that puts advance. See README.md ("Fixed-record files").
//
// Under a transaction a change is not written to its slot: it stays in the
// transaction node's LOG chain, found again through the record's entry in
// the node log-record hash, until final commit writes it. Readers without
// the entry see the committed image; the changing transaction sees its own.
// A record that another open transaction holds makes a locked read fail
// with -1 after recording the holder in the task's session
// (ssn_set_wait_key): the caller waits on that log node (Node_Wait) and
// tries again.
//
// Owners: the file's state is its meta data (68 bytes through the node
// layer) and its pages; this module keeps per node only a cache of the
// clusters' start pages (kept across closes, checked against the
// used-cluster list's head) and, during redo, the set of files redo
// touched. The log handlers registered by FixRec_Init are the only way the
// transaction log reaches in.
//
// Context: tasks of the server thread (or a utility's only thread). Reads
// take the node lock shared, changes exclusively (cut short: -1, status
// 27). A call may suspend there, in the cache, the volume set and the log.
// The read path by record number allocates nothing and makes no system call
// once its pages are cached.
//
// Failures set a status code of module VOL: severity E for errors (6 a bad
// record size, 20 no space, 22 a stale iterator), severity R for the
// record statuses 2 (deleted), 3 (record number 0) and 4 (past the end).
// Inconsistencies of the file (bad meta data, a flag byte that is neither
// 'U' nor 'D', a log record that cannot be read back) are assertions.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/node_format.h"
#include "storage/node_logrec.h"

// --- Formats -------------------------------------------------------------------------------

inline constexpr uint8_t FixRec_USED = 'U';
inline constexpr uint8_t FixRec_DELETED = 'D';

inline constexpr uint32_t FixRec_META_SIZE = 68;
inline constexpr uint16_t FixRec_META_PAGE_TYPE = 7;
inline constexpr uint32_t FixRec_META_IMAGE_SIZE = 32;  // opcode 14
inline constexpr uint32_t FixRec_CLUSTER_REC_SIZE = 4;  // opcode 15
inline constexpr uint32_t FixRec_RECORD_HEAD = 17;      // before the image
inline constexpr uint32_t FixRec_DELETE_RECORD_SIZE = 20;
// A put logs record size + 17 bytes in one log record of at most 8168.
inline constexpr uint32_t FixRec_MIN_REC_SIZE = 3;
inline constexpr uint32_t FixRec_MAX_REC_SIZE = 8168 - FixRec_RECORD_HEAD;  // 8151

// Record statuses (module VOL, severity R).
enum { FixRec_R_DELETED = 2, FixRec_R_RECNO_ZERO = 3, FixRec_R_END = 4 };
// Status codes (module VOL, severity E).
enum { FixRec_E_ARG = 6, FixRec_E_CORRUPT = 7, FixRec_E_NO_SPACE = 20, FixRec_E_ITER = 22 };

// Node log-record entry states of a record.
enum {
  FixRec_LOCK_READ = 6,  // read lock, no logged change
};

// FixRec_RECORD opcodes.
enum {
  FixRec_OP_UPDATE = 1,
  FixRec_OP_UPDATE_SUPERSEDED = 2,
  FixRec_OP_PUT = 3,
  FixRec_OP_PUT_SUPERSEDED = 4,
  FixRec_OP_DELETE = 5,
};

// The meta data (68 bytes, header first word 0x4652, page type 7).
struct FixRec_META {
  uint32_t slot_size = 0;        // record size + 1
  uint32_t cluster_size = 0;     // pages per cluster, 1..8
  uint32_t cluster_records = 0;  // cluster_size * 8192 / slot_size
  uint32_t sequence = 0;         // raised by every logged meta change
  Node_IHEAD free_list;          // items {recno, start page}
  Node_IPOS free_pos;            // items before it were taken by puts
  uint32_t first_recno = 0;      // lowest record in use, 0 = empty
  uint32_t last_recno = 0;       // highest record in use, 0 = empty
  uint32_t max_recno = 0;        // clusters * cluster_records
  uint32_t num_records = 0;
  uint32_t counter = 0;          // FixRec_NextCounter
};
void FixRec_EncodeMeta(const FixRec_META& m, uint8_t* out);  // FixRec_META_SIZE bytes
// 0, or -1 when size is short or the header is not a record file's.
int FixRec_DecodeMeta(const uint8_t* in, uint32_t size, FixRec_META* m);

// The meta image of opcode 14: sequence, free-list position, first, last
// and max recno, num_records, counter.
void FixRec_EncodeMetaImage(const FixRec_META& m, uint8_t* out);  // 32 bytes
void FixRec_DecodeMetaImage(const uint8_t* in, FixRec_META* m);   // those fields only

// A record change (opcode 13): the transaction's earlier record of the same
// recno (its log position, 8 bytes; none = cluster 0), recno, the start
// page of its cluster (0 = not known), the FixRec_OP_* and, but for a
// delete, the image of slot_size - 1 bytes.
struct FixRec_RECORD {
  Node_ADDR prev;
  uint32_t recno = 0;
  uint32_t start_page = 0;
  uint8_t opcode = 0;
};
void FixRec_EncodeRecordHead(const FixRec_RECORD& r, uint8_t* out);  // 17 bytes
// 0, or -1 when size is short of a head or the opcode unknown.
int FixRec_DecodeRecordHead(const uint8_t* in, uint32_t size, FixRec_RECORD* r);

// --- Iterator ------------------------------------------------------------------------------

// A position in a file. curr_cluster 0 = not positioned; curr_idx -1 after
// the end (or before the start). An iterator that walked keeps the pages
// of its current slot pinned (at most two); FixRec_ReleaseIter lets them go
// and must be called when a walk is left before its end.
struct FixRec_ITER {
  Node* node = nullptr;
  Node_ITER clusters;           // over the node's used-cluster list
  uint32_t curr_cluster = 0;    // start page of the current cluster
  int32_t curr_idx = -1;        // slot in the cluster
  uint32_t curr_recno = 0;
  uint32_t cluster_index = 0;   // the current cluster's number in the list
  int npinned = 0;
  Node_PGVEC pinned[2];
};
void FixRec_InitIter(FixRec_ITER* iter);
void FixRec_ReleaseIter(FixRec_ITER* iter);

// --- Subsystem -----------------------------------------------------------------------------

// Registers the FR node subsystem and the log handlers (opcodes 13 to 15).
// Call after Tlog_Init, which resets the handler tables. 0 or -1.
int FixRec_Init();
int FixRec_Notify(Node* node, int event);

// --- Files ---------------------------------------------------------------------------------

// record size > 0 and < cluster size * 8192, cluster size 0..8 (0 = 8):
// internal errors otherwise. FixRec_DoCreate(record size, cluster size, 0).
Node* FixRec_Create(uint32_t rec_size, int cluster_size);
// A record size outside 3..8151 is refused with status 6; the node is a
// system node when system_node_id is not 0. The node, closed, or none.
Node* FixRec_DoCreate(uint32_t rec_size, int cluster_size, uint32_t system_node_id);

// The node must be open (referenced) for every call below.

// 0 found (slot_size - 1 bytes copied), 1 not found (status R 2, 3 or 4),
// -1 error or locked by another transaction (then the holder is recorded
// with ssn_set_wait_key and no status is set). With a lock list the record
// is taken as an advisory lock of lnode; without one it is only looked up.
int FixRec_Get(Node* node, uint32_t recno, void* buffer, FixRec_ITER* iter, Node* lnode);
int FixRec_GetLock(Node* node, uint32_t recno, void* buffer, FixRec_ITER* iter, Node* lnode,
                   Node_ADVLOCK* locks);
// Takes a free slot (or a new cluster) and logs a put in lnode; *recno the
// record. 0 or -1.
int FixRec_Put(Node* node, uint32_t* recno, const void* data, FixRec_ITER* iter, Node* lnode);
// lnode must hold the record through a locked read. With an iterator recno
// is 0 and the iterator's record is meant. 0, 1 (deleted in this
// transaction: status R 2) or -1.
int FixRec_Update(Node* node, uint32_t recno, const void* data, FixRec_ITER* iter, Node* lnode);
int FixRec_Delete(Node* node, uint32_t recno, FixRec_ITER* iter, Node* lnode);

// Committed records in record-number order: 0 found, 1 end (status R 4),
// -1 error (status 22 for an iterator whose cluster list changed).
int FixRec_First(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node* lnode);
int FixRec_Next(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node* lnode);
int FixRec_Last(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node* lnode);
int FixRec_Prev(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node* lnode);

uint32_t FixRec_NumRecords(Node* node);
uint32_t FixRec_MaxRecno(Node* node);
uint32_t FixRec_RecordSize(Node* node);
// The counter plus one, stored (the sequence rises, the meta data dirty).
uint32_t FixRec_NextCounter(Node* node);
// A copy of the meta data (tests, the dump tool).
FixRec_META FixRec_GetMetaCopy(Node* node);

// --- Node callbacks ------------------------------------------------------------------------

int FixRec_FirstOpen(Node* node);
int FixRec_ResetMeta(Node* node);
int FixRec_Checkpoint(Node* node);
// A list page action (opcode 8) on the file's free list, for the node
// records' redo. Under the node lock.
void FixRec_RecoverFreeListPage(Node* node, const NodeList_PAGE_REC* rec);

// --- Restore from an archive ------------------------------------------------------------------

// The archive reader's functions for type FR (registered by FixRec_Init).
// FixRec_RestoreMeta checks the archived meta data against the node (its
// cluster size, max recno against the clusters the node brings) and
// clears what the slots will tell again: the free list and position, which
// name pages of the archived set, and the record counts.
// FixRec_RestoreCluster checks one restored cluster (the file's page
// count, its place in the used-cluster list, every slot flag 'U' or 'D'),
// counts its records into the meta data and appends its free slots, with
// the new start page, to the free list. Each 0, or -1 (VOL E090) to refuse.
int FixRec_RestoreMeta(Node* node, uint8_t* meta, uint32_t size, uint32_t clusters);
int FixRec_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                          uint32_t cluster_idx, uint32_t (*map)(uint32_t archived));

// --- Log handlers --------------------------------------------------------------------------

int FixRec_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);       // pre-commit, 13
int FixRec_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);  // final commit, redo
int FixRec_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);     // rollback, 13
int FixRec_RecoverMeta(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);     // redo, 14
int FixRec_RecoverCluster(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);  // redo, 15

// After the redo passes of recovery (LOG, then DO_LOG): first_recno,
// last_recno and num_records of every file that redo touched are counted
// again from its slot flags, its free slots that no free-list item names
// are listed, and its meta data written. Redo itself writes nothing to the
// log and changes no count. 0 or -1.
int FixRec_RecoverCounts();
