// fixrec_log.cpp - fixed-record files in the transaction log: the handlers
// of opcode 13 (record changes) for pre-commit, final commit and rollback,
// the redo of opcodes 13 to 15, and the recount that ends redo.
//
// Road of a change: FixRec_Put/Update/Delete log a record in the
// transaction's LOG; pre-commit copies the latest change of each record
// (whole) into the transaction's DO_LOG, with a meta image when the file's
// meta data moved since the last image a unit carried (so a counter drawn
// in the transaction survives with it); final commit, which runs over those
// records once they are in the root log, writes each slot and its counts;
// rollback pops each change off its record's entry.
//
// Redo uses the final-commit handlers but writes nothing to the log and
// changes no count: a slot is written as the record says, a meta image is
// applied when newer than the file's, a new cluster is filled with 'D'
// again. Counts and the free list are what a crash can leave out of step
// with the slots (a delete's list page action is logged after its unit),
// so FixRec_RecoverCounts counts first, last and number of records again
// from the slot flags of every file redo touched, and lists its free slots
// that no item names.
//
// Context: tasks of the server thread, inside the log's walks. A handler
// takes the file's node lock (final commit and redo: a wait that is never
// given up, since a final commit cannot fail half-way).
#include <cstring>
#include <set>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec_internal.h"
#include "storage/node_orphans.h"
#include "storage/node_restore.h"
#include "storage/node_log.h"
#include "storage/volume_set.h"

using namespace fixrec;

namespace fixrec {
namespace {
std::set<Node*> g_touched;
}  // namespace

void note_touched(Node* node) { g_touched.insert(node); }

}  // namespace fixrec

namespace {

// The node lock inside a final commit or redo: a cut wait is waited again.
void lock_to_the_end(Node* node) {
  while (Node_Lock(node, __FILE__, __LINE__) != 0)
    debug_log('F', 2, "FixRec(node=%s): node lock wait cut short, waiting again", Node_Name(node));
}

// A record change as read back: its owner a record file, its size the one
// its opcode makes (head and image, or the 20-byte head), its number inside
// the file and its start page inside the set. 0, or Tlog_DAMAGED.
int decode(Node* node, const void* data, uint32_t size, const char* who, FixRec_RECORD* r) {
  FixRec_META m;
  const void* meta = Node_GetType(node) == NodeType_FR ? Node_GetMetaData(node) : nullptr;
  if (meta == nullptr ||
      FixRec_DecodeMeta(static_cast<const uint8_t*>(meta), Node_GetMetaSize(node), &m) != 0)
    return Tlog_Damaged(who, "owner is no record file", size);
  if (FixRec_DecodeRecordHead(static_cast<const uint8_t*>(data), size, r) != 0) {
    const unsigned op = data != nullptr && size >= FixRec_RECORD_HEAD
                            ? static_cast<const uint8_t*>(data)[FixRec_RECORD_HEAD - 1] : 0;
    debug_log('F', 0, "%s failed: unknown opcode (%u)", who, op);
    return Tlog_DAMAGED;
  }
  const bool image = r->opcode == FixRec_OP_UPDATE || r->opcode == FixRec_OP_PUT;
  if (size != (image ? FixRec_RECORD_HEAD + m.slot_size - 1 : FixRec_DELETE_RECORD_SIZE))
    return Tlog_Damaged(who, "size", size);
  if (r->recno == 0 || r->recno > m.max_recno ||
      (r->start_page != 0 && !Vol_PagesInSet(r->start_page, m.cluster_size)))
    return Tlog_Damaged(who, "record number or start page", size);
  return 0;
}

const char* put_or_update(uint8_t op) {
  return op == FixRec_OP_PUT || op == FixRec_OP_PUT_SUPERSEDED ? "PUT" : "UPDATE";
}

// The record's start page: logged, or found from its cluster number.
uint32_t start_page(Node* node, const FixRec_META& m, const FixRec_RECORD& r) {
  if (r.start_page != 0) return r.start_page;
  const uint32_t start = cluster_start(node, m, r.recno);
  ZENT_ASSERT(start != 0 && "FixRec: start page of the record's cluster");
  return start;
}

// A log that has no room refuses the commit: the caller rolls it back.
int write_do_log(Node* node, Node* lnode, const uint8_t* rec, uint32_t size, const char* who) {
  if (Tlog_WriteRecord(lnode, Tlog_OP_FIXREC, Tlog_CHANNEL_DO_LOG, node, rec, size, nullptr) == 0)
    return 0;
  debug_log('F', 1, "%s(node=%s) failed on Tlog_WriteRecord(): %s", who, Node_Name(node),
            error_text());
  return -1;
}

// The unit carries the file's meta image when the meta data moved since the
// last image a unit carried.
int unit_meta_image(Node* node, Node* lnode, const FixRec_META& m) {
  State* st = state(node);
  if (m.sequence <= st->logged_sequence && st->logged_sequence != 0) return 0;
  uint8_t image[FixRec_META_IMAGE_SIZE];
  FixRec_EncodeMetaImage(m, image);
  if (Tlog_WriteRecord(lnode, Tlog_OP_FIXREC_META, Tlog_CHANNEL_DO_LOG, node, image, sizeof image,
                       nullptr) != 0) {
    debug_log('F', 1, "FixRec_Commit(node=%s) failed on Tlog_WriteRecord(): %s", Node_Name(node),
              error_text());
    return -1;
  }
  st->logged_sequence = m.sequence;
  return 0;
}

int commit_update_put(Node* node, Node* lnode, const uint8_t* data, const FixRec_RECORD& r,
                      const Node_ADDR* pos) {
  if (debug_enabled('F', 3))
    debug_log('F', 3, "FixRec_CommitUpdatePut(node=%s) pre-commit %s, recno=%u", Node_Name(node),
              put_or_update(r.opcode), r.recno);
  Node_LOG_REC* e = Node_FindLogRecord(node, r.recno);
  ZENT_ASSERT(e && "lrec");
  const FixRec_META m = get_meta(node, __LINE__);
  if (unit_meta_image(node, lnode, m) != 0) return -1;
  uint8_t rec[Vol_PAGESIZE];
  FixRec_RECORD out = r;
  out.start_page = start_page(node, m, r);
  if (same_pos(e->log_addr, *pos)) {
    const uint32_t size = FixRec_RECORD_HEAD + m.slot_size - 1;
    memcpy(rec, data, size);
    FixRec_EncodeRecordHead(out, rec);
    return write_do_log(node, lnode, rec, size, "FixRec_CommitUpdatePut");
  } else {
    // A later change of the record in this transaction replaced it.
    out.opcode = r.opcode == FixRec_OP_PUT ? FixRec_OP_PUT_SUPERSEDED : FixRec_OP_UPDATE_SUPERSEDED;
    memset(rec, 0, FixRec_DELETE_RECORD_SIZE);
    FixRec_EncodeRecordHead(out, rec);
    return write_do_log(node, lnode, rec, FixRec_DELETE_RECORD_SIZE, "FixRec_CommitUpdatePut");
  }
}

int commit_delete(Node* node, Node* lnode, const FixRec_RECORD& r) {
  if (debug_enabled('F', 3))
    debug_log('F', 3, "FixRec_CommitDelete(node=%s) pre-commit DELETE, recno=%u", Node_Name(node),
              r.recno);
  const FixRec_META m = get_meta(node, __LINE__);
  if (unit_meta_image(node, lnode, m) != 0) return -1;
  FixRec_RECORD out = r;
  out.start_page = start_page(node, m, r);
  uint8_t rec[FixRec_DELETE_RECORD_SIZE] = {};
  FixRec_EncodeRecordHead(out, rec);
  return write_do_log(node, lnode, rec, sizeof rec, "FixRec_CommitDelete");
}

// The next (dir +1) or previous (-1) record in use from recno, not past
// limit; 0 when none.
uint32_t neighbour_in_use(Node* node, const FixRec_META& m, uint32_t recno, uint32_t limit,
                          int dir) {
  while (recno != limit) {
    recno = static_cast<uint32_t>(static_cast<int64_t>(recno) + dir);
    const uint32_t start = cluster_start(node, m, recno);
    if (start == 0) break;
    if (read_flag(node, m, start, recno) == FixRec_USED) return recno;
  }
  return 0;
}

void final_update_put(Node* node, FixRec_META* m, const uint8_t* data, const FixRec_RECORD& r,
                      bool recovering) {
  if (debug_enabled('F', 3))
    debug_log('F', 3, "FixRec_FinalCommitUpdatePut(node=%s) commit %s, recno=%u",
              Node_Name(node), put_or_update(r.opcode), r.recno);
  const bool image = r.opcode == FixRec_OP_UPDATE || r.opcode == FixRec_OP_PUT;
  const bool put = r.opcode == FixRec_OP_PUT || r.opcode == FixRec_OP_PUT_SUPERSEDED;
  if (r.opcode == FixRec_OP_UPDATE_SUPERSEDED) return;
  if (r.opcode == FixRec_OP_PUT_SUPERSEDED && recovering) return;
  SlotPages s;
  pin_slot(node, *m, start_page(node, *m, r), r.recno, true, &s);
  const uint8_t flag = slot_flag(s);
  check_flag(node, flag, r.recno, "FixRec_FinalCommitUpdatePut");
  bool new_record = false;
  if (!recovering) {
    if (put) {
      ZENT_ASSERT(flag == FixRec_DELETED && "FixRec_FinalCommit(): put into a used slot");
      new_record = true;
    } else {
      ZENT_ASSERT(flag == FixRec_USED && "FixRec_FinalCommit(): update of a free slot");
    }
  }
  if (image)
    slot_set(&s, FixRec_USED, data + FixRec_RECORD_HEAD);
  else if (put)
    slot_set(&s, FixRec_USED, nullptr);
  release_slot(node, &s, true);
  if (!new_record) return;
  if (m->first_recno == 0 || r.recno < m->first_recno) m->first_recno = r.recno;
  if (r.recno > m->last_recno) m->last_recno = r.recno;
  m->num_records++;
  m->sequence++;
  put_meta(node, *m);
}

void final_delete(Node* node, FixRec_META* m, const FixRec_RECORD& r, bool recovering) {
  if (debug_enabled('F', 3))
    debug_log('F', 3, "FixRec_FinalCommitDelete(node=%s) commit DELETE, recno=%u", Node_Name(node),
              r.recno);
  const uint32_t start = start_page(node, *m, r);
  SlotPages s;
  pin_slot(node, *m, start, r.recno, true, &s);
  const uint8_t flag = slot_flag(s);
  check_flag(node, flag, r.recno, "FixRec_FinalCommitDelete");
  if (!recovering) ZENT_ASSERT(flag == FixRec_USED && "FixRec_FinalCommitDelete(): free slot");
  slot_set(&s, FixRec_DELETED, nullptr);
  release_slot(node, &s, true);
  if (recovering) return;  // counts are counted again after redo
  if (r.recno == m->first_recno && r.recno == m->last_recno) {
    ZENT_ASSERT(m->num_records == 1 && "meta->num_records == 1");
    m->first_recno = m->last_recno = 0;
  } else if (r.recno == m->first_recno) {
    m->first_recno = neighbour_in_use(node, *m, r.recno, m->last_recno, +1);
  } else if (r.recno == m->last_recno) {
    m->last_recno = neighbour_in_use(node, *m, r.recno, m->first_recno, -1);
  }
  m->num_records--;
  if (m->num_records == 0 && (m->first_recno != 0 || m->last_recno != 0)) {
    debug_log('F', 0,
              "FixRec_FinalCommitDelete(node=%s) commit DELETE, recno=%u, num_records=0, "
              "first_recno=%u, last_recno=%u",
              Node_Name(node), r.recno, m->first_recno, m->last_recno);
    ZENT_ASSERT(!"FixRec_FinalCommitDelete(): record counter inconsistency");
  }
  // The slot is free for good only now: its number joins the free list.
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0)
    ZENT_ASSERT(!"FixRec_FinalCommitDelete() failed on NodeList_InitRootLog()");
  int head_dirty = 0;
  const Node_ITEM item{r.recno, start};
  if (Node_AddItem(node, &m->free_list, &item, &head_dirty, nullptr, &ctx) != 0)
    debug_log('F', 1, "FixRec_FinalCommitDelete(node=%s) note: recno=%u not listed as free",
              Node_Name(node), r.recno);
  m->sequence++;
  put_meta(node, *m);
  if (NodeList_FlushLog(&ctx) != 0)
    ZENT_ASSERT(!"FixRec_FinalCommitDelete() failed on NodeList_FlushLog()");
  NodeList_ReleaseLog(&ctx);
}

// The entry of r's record steps back to the transaction's change before r,
// or stops naming a change.
void pop_log_record(Node* node, Node* lnode, const FixRec_RECORD& r) {
  Node_LOG_REC* e = Node_FindLogRecord(node, r.recno);
  ZENT_ASSERT(e && "lrec");
  ZENT_ASSERT(e->log_node == lnode && "lrec->log_node == lnode");
  if (r.prev.cluster == 0) {
    if (e->adv_refs > 0) {
      // Still read-locked through a lock list.
      Node_AddrClear(&e->log_addr);
      e->state = FixRec_LOCK_READ;
    } else {
      Node_RemoveLogRecord(e);
    }
    return;
  }
  uint8_t head[FixRec_DELETE_RECORD_SIZE];
  read_log_record(node, lnode, r.prev, head, sizeof head, "FixRec_PopLogRecord");
  e->log_addr = r.prev;
  e->state = head[FixRec_RECORD_HEAD - 1];
}

}  // namespace

namespace {

// The node records' redo of a page action (opcode 8) on a free list.
int recover_free_list_page(Node* node, const void* data) {
  NodeList_PAGE_REC rec;
  if (NodeList_DecodePageRec(static_cast<const uint8_t*>(data), NodeList_PAGE_REC_SIZE, &rec) != 0 ||
      Node_GetType(node) != NodeType_FR || Node_GetMetaData(node) == nullptr ||
      (rec.action != NodeList_PAGE_CREATE && rec.action != NodeList_PAGE_DELETE) ||
      !Vol_PagesInSet(rec.page, 1) || (rec.prev_page != 0 && !Vol_PagesInSet(rec.prev_page, 1)) ||
      (rec.next_page != 0 && !Vol_PagesInSet(rec.next_page, 1)))
    return Tlog_Damaged("NodeList_CommitPage()", "free-list page action", NodeList_PAGE_REC_SIZE);
  FixRec_RecoverFreeListPage(node, &rec);
  return 0;
}

}  // namespace

int FixRec_Init() {
  // A second start in one process (tests) registers afresh.
  if (Node_SubsystemRegistered(FixRec_Notify)) Node_UnregisterSubsystem(FixRec_Notify);
  drop_all_states();
  NodeList_SetFreeListRecovery(recover_free_list_page);
  if (Node_RegisterSubsystem(NodeType_FR, FixRec_Notify) != 0) return -1;
  Node_SetRestoreClusterFn(NodeType_FR, FixRec_RestoreCluster);
  Node_SetRestoreMetaFn(NodeType_FR, FixRec_RestoreMeta);
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_FIXREC, FixRec_Commit);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_FIXREC, FixRec_FinalCommit);
  // A unit's meta image: newer than the file only when redo replays it.
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_FIXREC_META, FixRec_RecoverMeta);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_FIXREC, FixRec_Rollback);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_FIXREC, FixRec_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_FIXREC_META, FixRec_RecoverMeta);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_FIXREC_CLUSTER, FixRec_RecoverCluster);
  return 0;
}

int FixRec_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos) {
  FixRec_RECORD r;
  if (const int bad = decode(node, data, size, "FixRec_Commit()", &r)) return bad;
  Node* lnode = Tlog_ActionNode();
  switch (r.opcode) {
    case FixRec_OP_UPDATE:
    case FixRec_OP_PUT:
      return commit_update_put(node, lnode, static_cast<const uint8_t*>(data), r, pos);
    case FixRec_OP_DELETE:
      return commit_delete(node, lnode, r);
    default:
      debug_log('F', 0, "FixRec_Commit(node=%s) failed: unknown opcode (%u)", Node_Name(node),
                r.opcode);
      ZENT_ASSERT(!"FixRec_Commit() failed: unknown opcode");
  }
}

int FixRec_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  FixRec_RECORD r;
  if (const int bad = decode(node, data, size, "FixRec_FinalCommit()", &r)) return bad;
  const bool recovering = Tlog_InRecovery() != 0;
  lock_to_the_end(node);
  FixRec_META m = get_meta(node, __LINE__);
  if (r.opcode == FixRec_OP_DELETE)
    final_delete(node, &m, r, recovering);
  else
    final_update_put(node, &m, static_cast<const uint8_t*>(data), r, recovering);
  if (recovering) note_touched(node);
  Node_Unlock(node);
  return 0;
}

int FixRec_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  FixRec_RECORD r;
  if (const int bad = decode(node, data, size, "FixRec_Rollback()", &r)) return bad;
  Node* lnode = Tlog_ActionNode();
  // The unit that carried the latest meta image may be this one.
  state(node)->logged_sequence = 0;
  switch (r.opcode) {
    case FixRec_OP_UPDATE:
    case FixRec_OP_PUT: {
      debug_log('F', 3, "FixRec_RollbackUpdatePut(node=%s) rollback %s, recno=%u", Node_Name(node),
                put_or_update(r.opcode), r.recno);
      pop_log_record(node, lnode, r);
      if (r.opcode != FixRec_OP_PUT) return 0;
      // The slot stayed 'D': its number goes back on the free list.
      lock_to_the_end(node);
      FixRec_META m = get_meta(node, __LINE__);
      NodeList_LOG ctx;
      if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0)
        ZENT_ASSERT(!"FixRec_RollbackUpdatePut() failed on NodeList_InitRootLog()");
      int head_dirty = 0;
      const Node_ITEM item{r.recno, start_page(node, m, r)};
      if (Node_AddItem(node, &m.free_list, &item, &head_dirty, nullptr, &ctx) != 0)
        debug_log('F', 1, "FixRec_RollbackUpdatePut(node=%s) note: recno=%u not listed as free",
                  Node_Name(node), r.recno);
      m.sequence++;
      put_meta(node, m);
      log_meta_image(node, m, ctx.tag);
      if (NodeList_FlushLog(&ctx) != 0)
        ZENT_ASSERT(!"FixRec_RollbackUpdatePut() failed on NodeList_FlushLog()");
      NodeList_ReleaseLog(&ctx);
      Node_Unlock(node);
      return 0;
    }
    case FixRec_OP_DELETE:
      debug_log('F', 3, "FixRec_RollbackDelete(node=%s) rollback DELETE, recno=%u", Node_Name(node),
                r.recno);
      pop_log_record(node, lnode, r);
      return 0;
    default:
      debug_log('F', 0, "FixRec_Rollback(node=%s) failed: unknown opcode (%u)", Node_Name(node),
                r.opcode);
      ZENT_ASSERT(!"FixRec_Rollback() failed: unknown opcode");
  }
}

int FixRec_RecoverMeta(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != FixRec_META_IMAGE_SIZE || Node_GetType(node) != NodeType_FR ||
      Node_GetMetaData(node) == nullptr)
    return Tlog_Damaged("FixRec_RecoverMeta()", "size or owner", size);
  lock_to_the_end(node);
  FixRec_META m = get_meta(node, __LINE__);
  FixRec_META img = m;
  FixRec_DecodeMetaImage(static_cast<const uint8_t*>(data), &img);
  if (img.sequence > m.sequence) put_meta(node, img);
  if (Tlog_InRecovery()) note_touched(node);
  Node_Unlock(node);
  return 0;
}

int FixRec_RecoverCluster(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != FixRec_CLUSTER_REC_SIZE || Node_GetType(node) != NodeType_FR ||
      Node_GetMetaData(node) == nullptr)
    return Tlog_Damaged("FixRec_RecoverCluster()", "size or owner", size);
  const uint32_t start = le_get32(static_cast<const uint8_t*>(data));
  lock_to_the_end(node);
  const FixRec_META m = get_meta(node, __LINE__);
  if (!Vol_PagesInSet(start, m.cluster_size)) {
    Node_Unlock(node);
    return Tlog_Damaged("FixRec_RecoverCluster()", "start page", size);
  }
  const int count = static_cast<int>(m.cluster_size);
  char* bufs[Vol_MAXCLUST];
  buf_Get(node, start, count, BF_PIN | BF_EMPTY, bufs);
  for (int i = 0; i < count; ++i) memset(bufs[i], FixRec_DELETED, Vol_PAGESIZE);
  buf_PutVector(count, bufs, BF_DIRTY, BF_PIN);
  if (Tlog_InRecovery()) {
    note_touched(node);
    // The file owns its new clusters whatever becomes of the transaction
    // whose put made them: the record that raised max recno says so.
    Node_RecoverConfirmCluster(node, start);
  }
  Node_Unlock(node);
  return 0;
}


namespace {

// Free slots next to each other in one cluster: n record numbers from first.
struct FreeRun {
  uint32_t first;
  uint32_t n;
  uint32_t start;  // the cluster's start page
};

// Appends to the record free list every free slot of runs that no item
// names. Items a put took since the last checkpoint are offered again at
// the next first open, so the whole list counts, not only what follows
// the cursor. Without a page for the list the rest stays unlisted: slots
// out of use cost less than a server that cannot start.
void relist_free_slots(Node* node, FixRec_META* m, const std::vector<FreeRun>& runs) {
  if (runs.empty()) return;
  std::vector<uint8_t> listed(m->max_recno + 1, 0);
  Node_ITER it;
  Node_ITEM item;
  for (int rc = Node_FirstItem(node, &m->free_list, &item, &it); rc == 0;
       rc = Node_NextItem(node, &m->free_list, &item, &it))
    if (item.id != 0 && item.id <= m->max_recno) listed[item.id] = 1;
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) return;
  int rc = 0;
  uint32_t added = 0;
  int head_dirty = 0;
  for (const FreeRun& run : runs) {
    // The unlisted stretches of the run, each appended as one fill.
    for (uint32_t i = 0; i < run.n && rc == 0;) {
      if (listed[run.first + i] != 0) {
        ++i;
        continue;
      }
      uint32_t j = i;
      while (j < run.n && listed[run.first + j] == 0) ++j;
      const Node_ITEM from{run.first + i, run.start};
      rc = Node_FillItems(node, &m->free_list, &from, j - i, &head_dirty, nullptr, &ctx);
      if (rc == 0) added += j - i;
      i = j;
    }
  }
  if (added != 0)
    debug_log('F', 1, "FixRec_RecoverCounts(node=%s): %u free records put back on the free list",
              Node_Name(node), added);
  if (rc != 0)
    debug_log('F', 0,
              "FixRec_RecoverCounts(node=%s) note: no page for the record free list, free "
              "records left unlisted",
              Node_Name(node));
  NodeList_FlushLog(&ctx);  // nothing is logged in recovery
  NodeList_ReleaseLog(&ctx);
}

}  // namespace

int FixRec_RecoverCounts() {
  // Redo and the drop of unconfirmed clusters rewrote used-cluster lists
  // inside their pages, which the list head does not show.
  drop_all_states();
  std::set<Node*> touched;
  touched.swap(g_touched);
  for (Node* node : touched) {
    if (Node_Open(node) != 0) return -1;
    lock_to_the_end(node);
    FixRec_META m = get_meta(node, __LINE__);
    uint32_t first = 0, last = 0, num = 0;
    // A replayed delete frees its slot, while the list page that was to
    // name it may have been lost with the power: the free slots are
    // gathered for the list as the flags are read.
    std::vector<FreeRun> free_runs;
    const uint32_t clusters = m.max_recno / m.cluster_records;
    for (uint32_t k = 0; k < clusters; ++k) {
      const uint32_t base = k * m.cluster_records;
      const uint32_t start = cluster_start(node, m, base + 1);
      if (start == 0) break;
      Node_PGVEC vec[Vol_MAXCLUST];
      Node_GetClusterReadOnly(node, start, static_cast<int>(m.cluster_size), vec, Node_MODE_DATA);
      for (uint32_t j = 0; j < m.cluster_records; ++j) {
        const uint32_t off = j * m.slot_size;
        const uint8_t flag = static_cast<uint8_t>(vec[off / Vol_PAGESIZE].buf[off % Vol_PAGESIZE]);
        const uint32_t recno = base + j + 1;
        // A damaged slot is neither counted nor listed: the start goes on,
        // a read of it fails, and spacecheck reports it.
        if (!flag_ok(node, flag, recno, start + off / Vol_PAGESIZE, "FixRec_RecoverCounts"))
          continue;
        if (flag != FixRec_USED) {
          if (!free_runs.empty() && free_runs.back().start == start &&
              free_runs.back().first + free_runs.back().n == recno)
            free_runs.back().n++;
          else
            free_runs.push_back({recno, 1, start});
          continue;
        }
        if (first == 0) first = recno;
        last = recno;
        num++;
      }
      Node_ReleaseCluster(node, static_cast<int>(m.cluster_size), vec);
    }
    if (m.first_recno != first || m.last_recno != last || m.num_records != num)
      debug_log('F', 1,
                "FixRec_RecoverCounts(node=%s): first_recno %u -> %u, last_recno %u -> %u, "
                "num_records %u -> %u",
                Node_Name(node), m.first_recno, first, m.last_recno, last, m.num_records, num);
    m.first_recno = first;
    m.last_recno = last;
    m.num_records = num;
    relist_free_slots(node, &m, free_runs);
    m.sequence++;
    put_meta(node, m);
    Node_Unlock(node);
    Node_Close(node);
  }
  return 0;
}
