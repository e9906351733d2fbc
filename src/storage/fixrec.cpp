// fixrec.cpp - fixed-record files: creation, the meta data, slots, reads by
// record number, puts, updates and deletes under a transaction, iteration
// in record-number order, and the node callbacks (first open, reset,
// checkpoint). The log handlers are in fixrec_log.cpp. See fixrec.h.
//
// Owners: a file's state is its meta data and pages. In memory this module
// keeps, per node, the start pages of its clusters (so a read by record
// number finds its cluster without walking the used-cluster list), kept
// across closes while the list's head says it did not change.
//
// Context: tasks of the server thread. Reads hold the node lock shared,
// changes and callbacks exclusively; a task may be suspended there (a wait
// cut short: status 27), in the cache, the volume set and the log. The read
// by record number allocates nothing and makes no system call when its
// pages are cached.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec_internal.h"
#include "storage/ssn.h"

namespace fixrec {
namespace {

std::unordered_map<Node*, State> g_states;

}  // namespace

State* state(Node* node) { return &g_states[node]; }
void drop_state(Node* node) { g_states.erase(node); }
void drop_all_states() { g_states.clear(); }
void forget_logged_image(Node* node) {
  const auto it = g_states.find(node);
  if (it != g_states.end()) it->second.logged_sequence = 0;
}

FixRec_META get_meta(Node* node, int line) {
  const auto* bytes = static_cast<const uint8_t*>(Node_GetMetaData(node));
  if (bytes == nullptr) {
    debug_log('F', 0, "FixRec_GetMeta(node=%s, line=%d) failed: meta data unavailable",
              Node_Name(node), line);
    ZENT_ASSERT(!"FixRec_GetMeta() failed: meta data unavailable");
  }
  FixRec_META m;
  if (FixRec_DecodeMeta(bytes, Node_GetMetaSize(node), &m) != 0) {
    debug_log('F', 0, "FixRec_GetMeta(node=%s, line=%d) failed: invalid meta data header",
              Node_Name(node), line);
    ZENT_ASSERT(!"FixRec_GetMeta() failed: file is corrupt");
  }
  return m;
}

void put_meta(Node* node, const FixRec_META& m) {
  FixRec_EncodeMeta(m, static_cast<uint8_t*>(Node_GetMetaData(node)));
  Node_SetMetaDirty(node);
}

uint32_t cluster_start(Node* node, const FixRec_META& m, uint32_t recno) {
  const uint32_t k = (recno - 1) / m.cluster_records;
  State* st = state(node);
  const Node_IHEAD& ulist = node->node.ulist;
  if (k >= st->starts.size() || st->node_id != node->node.node_id ||
      st->ulist.timestamp != ulist.timestamp || st->ulist.head != ulist.head ||
      st->ulist.tail != ulist.tail || st->ulist.num_pages != ulist.num_pages) {
    // Clusters are only ever appended: the list is walked again only after
    // one was added, or when the handle or the list's head changed.
    st->starts.clear();
    Node_ITER it;
    uint32_t start = 0;
    for (int rc = Node_FirstCluster(node, &start, nullptr, &it); rc == 0;
         rc = Node_NextCluster(node, &start, nullptr, &it))
      st->starts.push_back(start);
    st->node_id = node->node.node_id;
    st->ulist = ulist;
  }
  return k < st->starts.size() ? st->starts[k] : 0;
}

void pin_slot(Node* node, const FixRec_META& m, uint32_t start, uint32_t recno, bool write,
              SlotPages* s) {
  const uint32_t slot = (recno - 1) % m.cluster_records;
  const uint32_t off = slot * m.slot_size;
  const uint32_t first = off / Vol_PAGESIZE;
  const uint32_t last = (off + m.slot_size - 1) / Vol_PAGESIZE;
  s->count = static_cast<int>(last - first + 1);
  s->offset = off % Vol_PAGESIZE;
  s->size = m.slot_size;
  if (write)
    Node_GetCluster(node, start + first, s->count, s->vec, Node_MODE_DATA);
  else
    Node_GetClusterReadOnly(node, start + first, s->count, s->vec, Node_MODE_DATA);
}

void release_slot(Node* node, SlotPages* s, bool dirty) {
  if (s->count == 0) return;
  if (dirty)
    Node_ReleaseClusterDirty(node, s->count, s->vec);
  else
    Node_ReleaseCluster(node, s->count, s->vec);
  s->count = 0;
}

namespace {

// Copies n bytes at byte at of the slot's pages (from the first page's
// start) into out, or from in into them.
void copy_out(const SlotPages& s, uint32_t at, uint8_t* out, uint32_t n) {
  while (n > 0) {
    const uint32_t page = at / Vol_PAGESIZE;
    const uint32_t in_page = at % Vol_PAGESIZE;
    const uint32_t k = std::min(n, Vol_PAGESIZE - in_page);
    memcpy(out, s.vec[page].buf + in_page, k);
    out += k;
    at += k;
    n -= k;
  }
}
void copy_in(SlotPages* s, uint32_t at, const uint8_t* in, uint32_t n) {
  while (n > 0) {
    const uint32_t page = at / Vol_PAGESIZE;
    const uint32_t in_page = at % Vol_PAGESIZE;
    const uint32_t k = std::min(n, Vol_PAGESIZE - in_page);
    memcpy(s->vec[page].buf + in_page, in, k);
    in += k;
    at += k;
    n -= k;
  }
}

}  // namespace

uint8_t slot_flag(const SlotPages& s) { return static_cast<uint8_t>(s.vec[0].buf[s.offset]); }

void slot_get(const SlotPages& s, void* out) {
  copy_out(s, s.offset + 1, static_cast<uint8_t*>(out), s.size - 1);
}

void slot_set(SlotPages* s, uint8_t flag, const void* image) {
  s->vec[0].buf[s->offset] = static_cast<char>(flag);
  if (image != nullptr) copy_in(s, s->offset + 1, static_cast<const uint8_t*>(image), s->size - 1);
}

uint8_t read_flag(Node* node, const FixRec_META& m, uint32_t start, uint32_t recno) {
  SlotPages s;
  pin_slot(node, m, start, recno, false, &s);
  const uint8_t flag = slot_flag(s);
  release_slot(node, &s, false);
  return flag;
}

bool flag_ok(Node* node, uint8_t flag, uint32_t recno, uint32_t page, const char* who) {
  if (flag == FixRec_USED || flag == FixRec_DELETED) return true;
  debug_log('F', 0, "%s(node=%s) failed: invalid slot flag 0x%02x, recno=%u, page=0x%x: file is corrupt",
            who, Node_Name(node), flag, recno, page);
  FIXREC_ERROR(FixRec_E_CORRUPT);
  return false;
}

void check_flag(Node* node, uint8_t flag, uint32_t recno, const char* who) {
  if (!flag_ok(node, flag, recno, 0, who)) ZENT_ASSERT(!"invalid slot flag: file is corrupt");
}

int read_log_record(Node* node, Node* lnode, const Node_ADDR& pos, uint8_t* buf, uint32_t size,
                    const char* who) {
  const int got = Tlog_ReadRecord(lnode, &pos, buf, size, nullptr);
  // A delete record is whole with its 20 bytes.
  const bool whole = got == static_cast<int>(size) ||
                     (got == static_cast<int>(FixRec_DELETE_RECORD_SIZE) &&
                      buf[FixRec_RECORD_HEAD - 1] == FixRec_OP_DELETE);
  if (!whole) {
    debug_log('F', 0, "%s(node=%s) failed on Tlog_ReadRecord(size=%u) returning %d", who,
              Node_Name(node), size, got);
    char text[96];
    snprintf(text, sizeof text, "%s() failed on Tlog_ReadRecord()", who);
    panic_assert_failed(text, __FILE__, __LINE__);
  }
  return got;
}

void log_meta_image(Node* node, const FixRec_META& m, Tlog_TAGREC* tag) {
  uint8_t image[FixRec_META_IMAGE_SIZE];
  FixRec_EncodeMetaImage(m, image);
  Tlog_TAGREC own;
  Tlog_TAGREC* t = tag;
  if (t == nullptr) {
    if (Tlog_InitRootTagRecord(&own) != 0) ZENT_ASSERT(!"FixRec: Tlog_InitRootTagRecord() failed");
    t = &own;
  }
  if (Tlog_AddBufferToTagRecord(t, Tlog_OP_FIXREC_META, node, image, sizeof image) != 0)
    ZENT_ASSERT(!"FixRec: Tlog_AddBufferToTagRecord() failed");
  if (t == &own) {
    if (Tlog_FlushTagRecord(&own) != 0) ZENT_ASSERT(!"FixRec: Tlog_FlushTagRecord() failed");
    Tlog_CloseTagRecord(&own);
  }
}

bool same_pos(const Node_ADDR& a, const Node_ADDR& b) {
  return a.cluster == b.cluster && a.offset == b.offset;
}

}  // namespace fixrec

using namespace fixrec;

namespace {

void clear_iter_position(FixRec_ITER* iter) {
  FixRec_ReleaseIter(iter);
  iter->curr_cluster = 0;
  iter->curr_idx = -1;
  iter->curr_recno = 0;
  iter->cluster_index = 0;
}

void bind_iter(FixRec_ITER* iter, Node* node) {
  if (iter == nullptr) return;
  if (iter->node != node) FixRec_ReleaseIter(iter);
  iter->node = node;
  clear_iter_position(iter);
  Node_InitItemIter(node, &node->node.ulist, &iter->clusters);
}

void set_iter_at(FixRec_ITER* iter, const FixRec_META& m, uint32_t start, uint32_t recno) {
  if (iter == nullptr) return;
  iter->curr_cluster = start;
  iter->curr_idx = static_cast<int32_t>((recno - 1) % m.cluster_records);
  iter->curr_recno = recno;
  iter->cluster_index = (recno - 1) / m.cluster_records;
}

bool lock_shared(Node* node) { return Node_LockShared(node, __FILE__, __LINE__) == 0; }
bool lock_exclusive(Node* node) { return Node_Lock(node, __FILE__, __LINE__) == 0; }

// A new cluster: listed, its recnos added to the free list, max recno and
// the sequence raised, the meta image and the cluster logged together, then
// filled with 'D'. 0, or -1 (status 20) with the file as it was.
int new_cluster(Node* node, FixRec_META* m, NodeList_LOG* ctx) {
  Node_PGVEC vec[Vol_MAXCLUST];
  if (Node_AllocCluster(node, static_cast<int>(m->cluster_size), vec, Node_MODE_DATA, ctx) != 0) {
    debug_log('F', 0, "FixRec_Put(node=%s) failed: no space for a new cluster", Node_Name(node));
    FIXREC_ERROR(FixRec_E_NO_SPACE);
    return -1;
  }
  const uint32_t start = vec[0].page;
  for (uint32_t i = 0; i < m->cluster_size; ++i) memset(vec[i].buf, FixRec_DELETED, Vol_PAGESIZE);
  int head_dirty = 0;
  const Node_ITEM first{m->max_recno + 1, start};
  if (Node_FillItems(node, &m->free_list, &first, m->cluster_records, &head_dirty, nullptr, ctx) !=
      0) {
    // Without its items the cluster would shift every later cluster's
    // record numbers: it goes back whole.
    Node_ReleaseClusterDirty(node, static_cast<int>(m->cluster_size), vec);
    Node_DeleteCluster(node, start, ctx);
    debug_log('F', 0, "FixRec_Put(node=%s) failed: no space for the free list", Node_Name(node));
    FIXREC_ERROR(FixRec_E_NO_SPACE);
    return -1;
  }
  m->max_recno += m->cluster_records;
  m->sequence++;
  put_meta(node, *m);
  Tlog_TAGREC own;
  Tlog_TAGREC* tag = ctx->tag;
  if (tag == nullptr) {
    if (Tlog_InitRootTagRecord(&own) != 0) ZENT_ASSERT(!"FixRec_Put() failed on Tlog_InitRootTagRecord()");
    tag = &own;
  }
  log_meta_image(node, *m, tag);
  uint8_t rec[FixRec_CLUSTER_REC_SIZE];
  le_put32(rec, start);
  if (Tlog_AddBufferToTagRecord(tag, Tlog_OP_FIXREC_CLUSTER, node, rec, sizeof rec) != 0)
    ZENT_ASSERT(!"FixRec_Put() failed on Tlog_AddBufferToTagRecord()");
  if (tag == &own) {
    if (Tlog_FlushTagRecord(&own) != 0) ZENT_ASSERT(!"FixRec_Put() failed on Tlog_FlushTagRecord()");
    Tlog_CloseTagRecord(&own);
  }
  Node_ReleaseClusterDirty(node, static_cast<int>(m->cluster_size), vec);
  Node_SetNotifyPending(node);
  return 0;
}

// Logs a change of e's record in lnode: the record names e's latest change
// before it; e becomes lnode's with this record. 0 or -1.
int add_log_record(Node* node, Node* lnode, Node_LOG_REC* e, FixRec_RECORD r, const void* image,
                   uint32_t image_size) {
  r.prev = e->log_addr;
  uint8_t head[FixRec_DELETE_RECORD_SIZE] = {};
  FixRec_EncodeRecordHead(r, head);
  Node_ADDR pos;
  int rc;
  if (image != nullptr) {
    uint8_t buf[Vol_PAGESIZE];
    memcpy(buf, head, FixRec_RECORD_HEAD);
    memcpy(buf + FixRec_RECORD_HEAD, image, image_size);
    rc = Tlog_WriteRecord(lnode, Tlog_OP_FIXREC, Tlog_CHANNEL_LOG, node, buf,
                          FixRec_RECORD_HEAD + image_size, &pos);
  } else {
    rc = Tlog_WriteRecord(lnode, Tlog_OP_FIXREC, Tlog_CHANNEL_LOG, node, head, sizeof head, &pos);
  }
  if (rc != 0) return -1;
  Tlog_LinkLogRecord(lnode, e);
  e->log_addr = pos;
  e->state = r.opcode;
  return 0;
}

// The start page of recno's cluster; a record inside max recno always has one.
uint32_t start_of(Node* node, const FixRec_META& m, uint32_t recno) {
  const uint32_t start = cluster_start(node, m, recno);
  if (start == 0) {
    debug_log('F', 0, "FixRec(node=%s) failed: no cluster for recno=%u (max recno %u)",
              Node_Name(node), recno, m.max_recno);
    ZENT_ASSERT(!"FixRec: used-cluster list shorter than max recno");
  }
  return start;
}

// Update and delete: the entry lnode holds for recno. 0, 1 (deleted in
// this transaction) or -1.
int change(Node* node, uint32_t recno, const void* data, FixRec_ITER* iter, Node* lnode,
           uint8_t opcode) {
  ZENT_ASSERT(lnode != nullptr && "lnode");
  if (iter != nullptr) {
    ZENT_ASSERT(recno == 0 && "recno == 0");
    ZENT_ASSERT(iter->node == node && "iter->node == node");
    recno = iter->curr_recno;
  }
  if (!lock_exclusive(node)) return -1;
  Node_LOG_REC* e = Node_FindLogRecord(node, recno);
  ZENT_ASSERT(e && "lrec");
  ZENT_ASSERT(e->log_node == lnode && "lrec->log_node == lnode");
  if (e->state == FixRec_OP_DELETE) {
    Node_Unlock(node);
    FIXREC_STATUS(FixRec_R_DELETED);
    return 1;
  }
  const FixRec_META m = get_meta(node, __LINE__);
  FixRec_RECORD r;
  r.recno = recno;
  r.start_page = start_of(node, m, recno);
  r.opcode = opcode;
  const int rc = add_log_record(node, lnode, e, r, data, data != nullptr ? m.slot_size - 1 : 0);
  Node_Unlock(node);
  return rc;
}

}  // namespace

// --- Iterator ------------------------------------------------------------------------------

void FixRec_InitIter(FixRec_ITER* iter) { *iter = FixRec_ITER{}; }

void FixRec_ReleaseIter(FixRec_ITER* iter) {
  if (iter == nullptr || iter->npinned == 0) return;
  for (int i = 0; i < iter->npinned; ++i) Node_ReleaseCluster(iter->node, 1, &iter->pinned[i]);
  iter->npinned = 0;
}

// --- Subsystem -----------------------------------------------------------------------------

int FixRec_Notify(Node* node, int event) {
  switch (event) {
    case Node_EVENT_SHUTDOWN:
      drop_all_states();
      Node_UnregisterSubsystem(FixRec_Notify);
      return 0;
    case Node_EVENT_CHECKPOINT:
      return FixRec_Checkpoint(node);
    case Node_EVENT_FIRST_OPEN:
      return FixRec_FirstOpen(node);
    case Node_EVENT_LAST_CLOSE:
      forget_logged_image(node);
      return 0;
    case Node_EVENT_RESET:
      return FixRec_ResetMeta(node);
    case Node_EVENT_DELETE:
      drop_state(node);
      return 0;
    default:
      return 0;
  }
}

// --- Files ---------------------------------------------------------------------------------

Node* FixRec_Create(uint32_t rec_size, int cluster_size) {
  ZENT_ASSERT(rec_size > 0 && "rec_size > 0");
  ZENT_ASSERT(cluster_size >= 0 && cluster_size <= Vol_MAXCLUST && "cluster_size <= 8");
  if (cluster_size == 0) cluster_size = Vol_MAXCLUST;
  ZENT_ASSERT(rec_size < static_cast<uint32_t>(cluster_size) * Vol_PAGESIZE &&
              "rec_size < cluster_size * Vol_PAGESIZE");
  return FixRec_DoCreate(rec_size, cluster_size, 0);
}

Node* FixRec_DoCreate(uint32_t rec_size, int cluster_size, uint32_t system_node_id) {
  debug_log('F', 3, "FixRec_DoCreate(rec_size=%u, cluster_size=%d)", rec_size, cluster_size);
  // A put logs rec_size + 17 bytes in one log record: a larger record
  // could be created but never stored.
  if (rec_size < FixRec_MIN_REC_SIZE || rec_size > FixRec_MAX_REC_SIZE || cluster_size < 1 ||
      cluster_size > Vol_MAXCLUST) {
    debug_log('F', 0, "FixRec_DoCreate() failed: rec_size (%u) is out of range, file %s, line %d",
              rec_size, __FILE__, __LINE__);
    FIXREC_ERROR(FixRec_E_ARG);
    return nullptr;
  }
  Node* node = system_node_id != 0 ? Node_SysCreate(cluster_size, system_node_id)
                                   : Node_Create(cluster_size);
  if (node == nullptr) return nullptr;
  Node_SetType(node, NodeType_FR);
  if (Node_Open(node) != 0) {
    Node_Delete(node);
    return nullptr;
  }
  if (Node_SetupMetaData(node, FixRec_META_SIZE) == nullptr) {
    Node_Close(node);
    Node_Delete(node);
    return nullptr;
  }
  FixRec_META m;
  m.slot_size = rec_size + 1;
  m.cluster_size = static_cast<uint32_t>(cluster_size);
  m.cluster_records = m.cluster_size * Vol_PAGESIZE / m.slot_size;
  put_meta(node, m);
  Node_Close(node);
  return node;
}

// --- Reads ---------------------------------------------------------------------------------

int FixRec_Get(Node* node, uint32_t recno, void* buffer, FixRec_ITER* iter, Node* lnode) {
  return FixRec_GetLock(node, recno, buffer, iter, lnode, nullptr);
}

int FixRec_GetLock(Node* node, uint32_t recno, void* buffer, FixRec_ITER* iter, Node* lnode,
                   Node_ADVLOCK* locks) {
  if (!lock_shared(node)) return -1;
  bind_iter(iter, node);
  if (recno == 0) {
    if (iter != nullptr) iter->curr_idx = static_cast<int32_t>(get_meta(node, __LINE__).cluster_records);
    Node_UnlockShared(node);
    FIXREC_STATUS(FixRec_R_RECNO_ZERO);
    return 1;
  }
  Node_LOG_REC* e = nullptr;
  bool added = false;  // taken by this call
  int found = 0;
  if (locks != nullptr) {
    ZENT_ASSERT(lnode != nullptr && "lnode");
    e = Node_AddLogRecord(node, recno, &found);
    if (e->log_node != nullptr && e->log_node != lnode) {
      // Another transaction holds the record: the caller waits for it. The
      // wait names the file and record, from which the waiter finds the
      // holder's log node (as it does for a B-tree page).
      Node_UnlockShared(node);
      ssn_set_wait_key(node, recno, __FILE__, __LINE__);
      return -1;
    }
    if (e->log_node == nullptr) {
      // Taken by lnode, as a read lock until it logs a change.
      Tlog_LinkLogRecord(lnode, e);
      e->state = FixRec_LOCK_READ;
      added = true;
    }
  } else if (lnode != nullptr) {
    e = Node_FindLogRecord(node, recno);
  }
  const FixRec_META m = get_meta(node, __LINE__);
  auto drop_added = [&] {
    if (!added) return;
    if (found) {
      // An entry another lock list keeps: it goes back to having no holder.
      Tlog_UnlinkLogRecord(e);
      e->state = 0;
    } else {
      Node_RemoveLogRecord(e);
    }
  };
  if (e != nullptr && e->log_node == lnode && lnode != nullptr && Node_AddrValid(&e->log_addr)) {
    // lnode's own change.
    if (e->state == FixRec_OP_DELETE) {
      Node_UnlockShared(node);
      FIXREC_STATUS(FixRec_R_DELETED);
      return 1;
    }
    uint8_t rec[Vol_PAGESIZE];
    const uint32_t size = FixRec_RECORD_HEAD + m.slot_size - 1;
    read_log_record(node, lnode, e->log_addr, rec, size, "FixRec_GetLogRecord");
    FixRec_RECORD r;
    FixRec_DecodeRecordHead(rec, size, &r);
    if (buffer != nullptr) memcpy(buffer, rec + FixRec_RECORD_HEAD, m.slot_size - 1);
    if (iter != nullptr) {
      const uint32_t start = r.start_page != 0 ? r.start_page : start_of(node, m, recno);
      set_iter_at(iter, m, start, recno);
    }
    Node_UnlockShared(node);
    return 0;
  }
  if (recno > m.max_recno) {
    if (iter != nullptr) iter->curr_idx = -1;
    drop_added();
    Node_UnlockShared(node);
    FIXREC_STATUS(FixRec_R_END);
    return 1;
  }
  const uint32_t start = start_of(node, m, recno);
  SlotPages s;
  pin_slot(node, m, start, recno, false, &s);
  const uint8_t flag = slot_flag(s);
  if (flag != FixRec_USED) {
    const uint32_t page = s.vec[0].page;
    release_slot(node, &s, false);
    drop_added();
    Node_UnlockShared(node);
    if (!flag_ok(node, flag, recno, page, "FixRec_Get")) return -1;
    FIXREC_STATUS(FixRec_R_DELETED);
    return 1;
  }
  if (buffer != nullptr) slot_get(s, buffer);
  release_slot(node, &s, false);
  set_iter_at(iter, m, start, recno);
  if (added) Node_AddAdvLock(locks, e);
  Node_UnlockShared(node);
  return 0;
}

// --- Changes -------------------------------------------------------------------------------

int FixRec_Put(Node* node, uint32_t* recno, const void* data, FixRec_ITER* iter, Node* lnode) {
  ZENT_ASSERT(lnode != nullptr && "lnode");
  if (!lock_exclusive(node)) return -1;
  FixRec_META m = get_meta(node, __LINE__);
  if (m.slot_size - 1 > FixRec_MAX_REC_SIZE) {
    // A file made before sizes were checked: its records cannot be logged.
    Node_Unlock(node);
    debug_log('F', 0, "FixRec_Put(node=%s) failed: rec_size (%u) is out of range, file %s, line %d",
              Node_Name(node), m.slot_size - 1, __FILE__, __LINE__);
    FIXREC_ERROR(FixRec_E_ARG);
    return -1;
  }
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) {
    Node_Unlock(node);
    return -1;
  }
  bool grown = false;
  int rc = -1;
  for (;;) {
    Node_ITEM item;
    const auto pos_before = m.free_pos;
    Node_RemoveFirstItem(node, &m.free_list, &item, &m.free_pos);
    if (item.id == 0) {
      ZENT_ASSERT(!grown && "FixRec_Put(): a new cluster without free slots");
      if (new_cluster(node, &m, &ctx) != 0) break;
      grown = true;
      continue;
    }
    if (item.count == 0) {
      debug_log('F', 1,
                "FixRec_Put(node=%s) detected invalid free-list item: recno=%u, start_page=0",
                Node_Name(node), item.id);
      continue;
    }
    int found = 0;
    Node_LOG_REC* e = Node_AddLogRecord(node, item.id, &found);
    if (e->log_node != nullptr) continue;  // a transaction holds it
    const uint8_t flag = read_flag(node, m, item.count, item.id);
    if (flag == FixRec_USED) {
      // Stale: the slot was taken again since the item was listed.
      if (!found) Node_RemoveLogRecord(e);
      continue;
    }
    // A damaged slot is logged and left off the free list; the put takes
    // the next free one (the check reports the slot).
    if (!flag_ok(node, flag, item.id, item.count, "FixRec_Put")) {
      if (!found) Node_RemoveLogRecord(e);
      continue;
    }
    FixRec_RECORD r;
    r.recno = item.id;
    r.start_page = item.count;
    r.opcode = FixRec_OP_PUT;
    if (add_log_record(node, lnode, e, r, data, m.slot_size - 1) != 0) {
      // Refused (a full log): the slot stays for the next put.
      if (!found) Node_RemoveLogRecord(e);
      m.free_pos = pos_before;
      break;
    }
    *recno = item.id;
    if (iter != nullptr) {
      bind_iter(iter, node);
      set_iter_at(iter, m, item.count, item.id);
    }
    rc = 0;
    break;
  }
  put_meta(node, m);
  Node_SetNotifyPending(node);
  if (NodeList_FlushLog(&ctx) != 0) ZENT_ASSERT(!"FixRec_Put() failed on NodeList_FlushLog()");
  NodeList_ReleaseLog(&ctx);
  Node_Unlock(node);
  return rc;
}

int FixRec_Update(Node* node, uint32_t recno, const void* data, FixRec_ITER* iter, Node* lnode) {
  ZENT_ASSERT(data != nullptr && "data");
  return change(node, recno, data, iter, lnode, FixRec_OP_UPDATE);
}

int FixRec_Delete(Node* node, uint32_t recno, FixRec_ITER* iter, Node* lnode) {
  return change(node, recno, nullptr, iter, lnode, FixRec_OP_DELETE);
}

// --- Iteration -----------------------------------------------------------------------------

namespace {

// Pins the pages [first, first + count) for the iterator, keeping those
// it already holds.
void iter_pin(FixRec_ITER* iter, uint32_t first, int count) {
  Node_PGVEC keep[2];
  int kept = 0;
  for (int i = 0; i < iter->npinned; ++i) {
    const uint32_t p = iter->pinned[i].page;
    if (p >= first && p < first + static_cast<uint32_t>(count))
      keep[kept++] = iter->pinned[i];
    else
      Node_ReleaseCluster(iter->node, 1, &iter->pinned[i]);
  }
  iter->npinned = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t page = first + static_cast<uint32_t>(i);
    Node_PGVEC v{};
    for (int j = 0; j < kept; ++j)
      if (keep[j].page == page) v = keep[j];
    if (v.buf == nullptr) Node_GetClusterReadOnly(iter->node, page, 1, &v, Node_MODE_DATA);
    iter->pinned[iter->npinned++] = v;
  }
}

// Walks from recno in direction dir (+1, -1) to the first 'U' slot inside
// [first_recno, last_recno]. 0 found, 1 end.
int walk(Node* node, const FixRec_META& m, uint32_t recno, int dir, uint32_t* out, void* buffer,
         FixRec_ITER* iter) {
  while (m.first_recno != 0 && recno >= m.first_recno && recno <= m.last_recno &&
         recno <= m.max_recno) {
    const uint32_t k = (recno - 1) / m.cluster_records;
    uint32_t start = iter->curr_cluster;
    if (start == 0 || k != iter->cluster_index) start = start_of(node, m, recno);
    const uint32_t slot = (recno - 1) % m.cluster_records;
    const uint32_t off = slot * m.slot_size;
    const uint32_t p0 = off / Vol_PAGESIZE;
    const uint32_t p1 = (off + m.slot_size - 1) / Vol_PAGESIZE;
    iter_pin(iter, start + p0, static_cast<int>(p1 - p0 + 1));
    SlotPages s;
    s.count = iter->npinned;
    s.vec[0] = iter->pinned[0];
    if (s.count > 1) s.vec[1] = iter->pinned[1];
    s.offset = off % Vol_PAGESIZE;
    s.size = m.slot_size;
    iter->curr_cluster = start;
    iter->cluster_index = k;
    iter->curr_idx = static_cast<int32_t>(slot);
    iter->curr_recno = recno;
    const uint8_t flag = slot_flag(s);
    if (!flag_ok(node, flag, recno, s.vec[0].page, "FixRec_Next")) return -1;
    if (flag == FixRec_USED) {
      if (buffer != nullptr) slot_get(s, buffer);
      *out = recno;
      return 0;
    }
    recno = static_cast<uint32_t>(static_cast<int64_t>(recno) + dir);
  }
  clear_iter_position(iter);
  return 1;
}

int step(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, int dir, bool restart) {
  ZENT_ASSERT(iter != nullptr && "iter");
  if (!lock_shared(node)) return -1;
  const FixRec_META m = get_meta(node, __LINE__);
  if (restart || iter->node != node) {
    bind_iter(iter, node);
    iter->curr_idx = static_cast<int32_t>(m.cluster_records);  // before the first step
  } else if (iter->curr_cluster != 0 && !Node_ItemIterValid(node, &iter->clusters)) {
    debug_log('F', 0, "FixRec_Next(node=%s) failed: invalid iterator, file %s, line %d",
              Node_Name(node), __FILE__, __LINE__);
    Node_UnlockShared(node);
    FIXREC_ERROR(FixRec_E_ITER);
    return -1;
  }
  uint32_t from = 0;  // none: the walk has ended
  if (iter->curr_cluster != 0)
    from = static_cast<uint32_t>(static_cast<int64_t>(iter->curr_recno) + dir);
  else if (iter->curr_idx != -1)
    from = dir > 0 ? m.first_recno : m.last_recno;
  int rc = 1;
  if (from != 0)
    rc = walk(node, m, from, dir, recno, buffer, iter);
  else
    clear_iter_position(iter);
  Node_UnlockShared(node);
  if (rc == 1) FIXREC_STATUS(FixRec_R_END);
  return rc;
}

}  // namespace

int FixRec_First(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node*) {
  return step(node, recno, buffer, iter, +1, true);
}
int FixRec_Last(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node*) {
  return step(node, recno, buffer, iter, -1, true);
}
int FixRec_Next(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node*) {
  return step(node, recno, buffer, iter, +1, false);
}
int FixRec_Prev(Node* node, uint32_t* recno, void* buffer, FixRec_ITER* iter, Node*) {
  return step(node, recno, buffer, iter, -1, false);
}

// --- Counters ------------------------------------------------------------------------------

uint32_t FixRec_NumRecords(Node* node) { return get_meta(node, __LINE__).num_records; }
uint32_t FixRec_MaxRecno(Node* node) { return get_meta(node, __LINE__).max_recno; }
uint32_t FixRec_RecordSize(Node* node) { return get_meta(node, __LINE__).slot_size - 1; }
FixRec_META FixRec_GetMetaCopy(Node* node) { return get_meta(node, __LINE__); }

uint32_t FixRec_NextCounter(Node* node) {
  FixRec_META m = get_meta(node, __LINE__);
  m.counter++;
  m.sequence++;
  put_meta(node, m);
  return m.counter;
}

// --- Node callbacks ------------------------------------------------------------------------

int FixRec_FirstOpen(Node* node) {
  debug_log('F', 3, "FixRec_FirstOpen(node=%s)", Node_Name(node));
  FixRec_META m = get_meta(node, __LINE__);
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) return -1;
  Node_ITER it;
  Node_ITEM first;
  if (Node_FirstItem(node, &m.free_list, &first, &it) != 0) {
    if (m.free_list.head != 0) {
      int head_dirty = 0;
      Node_DeleteAllItemPages(node, &m.free_list, &head_dirty, &ctx);
    }
    m.free_pos = Node_IPOS{};
    if (Node_WriteSnapshot(node) != 0) {
      NodeList_ReleaseLog(&ctx);
      return -1;
    }
  } else {
    // Items taken since the last checkpoint are offered again; a put
    // passes over those whose slots are in use.
    Node_PosFromIter(&m.free_pos, &it);
  }
  m.sequence++;
  put_meta(node, m);
  const int rc = NodeList_FlushLog(&ctx);
  NodeList_ReleaseLog(&ctx);
  return rc;
}

int FixRec_ResetMeta(Node* node) {
  debug_log('F', 3, "FixRec_ResetMeta(node=%s)", Node_Name(node));
  // Whatever becomes of the reset, the clusters the start pages name go.
  drop_state(node);
  if (Node_Open(node) != 0) return -1;
  if (Node_GetMetaData(node) == nullptr) {
    // A file whose restore was refused before its meta data came: it
    // holds nothing to reset.
    Node_Close(node);
    return 0;
  }
  FixRec_META m = get_meta(node, __LINE__);
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) {
    Node_Close(node);
    return -1;
  }
  int head_dirty = 0;
  if (m.free_list.head != 0) Node_DeleteAllItemPages(node, &m.free_list, &head_dirty, &ctx);
  m.free_pos = Node_IPOS{};
  m.first_recno = m.last_recno = m.max_recno = m.num_records = m.counter = 0;
  m.sequence++;
  put_meta(node, m);
  const int rc = NodeList_FlushLog(&ctx);
  NodeList_ReleaseLog(&ctx);
  Node_Close(node);
  return rc;
}

int FixRec_Checkpoint(Node* node) {
  debug_log('F', 3, "FixRec_Checkpoint(node=%s)", Node_Name(node));
  if (Node_Open(node) != 0) return -1;
  if (!lock_exclusive(node)) {
    Node_Close(node);
    return -1;
  }
  FixRec_META m = get_meta(node, __LINE__);
  Node_IPOS cursor;  // from the list's first item
  Node_IPOS keep;    // the stored position: in front of the first free slot
  bool stopped = false;
  for (uint32_t n = 1;; ++n) {
    if (n % 100 == 0) {
      // Others may take or add items meanwhile: the meta data are read again.
      Node_Unlock(node);
      thread_yield();
      if (!lock_exclusive(node)) {
        Node_Close(node);
        return -1;
      }
      m = get_meta(node, __LINE__);
    }
    const Node_IPOS before = cursor;
    Node_ITEM item;
    Node_RemoveFirstItem(node, &m.free_list, &item, &cursor);
    if (item.id == 0) break;
    if (item.count == 0) {
      debug_log('F', 1,
                "FixRec_Checkpoint(node=%s) detected invalid free-list item: recno=%u, "
                "start_page=0",
                Node_Name(node), item.id);
      continue;
    }
    const uint8_t flag = read_flag(node, m, item.count, item.id);
    // A damaged slot is passed over like a used one: a put that meets it
    // reports it and takes it off the list.
    if (flag == FixRec_USED ||
        !flag_ok(node, flag, item.id, item.count, "FixRec_Checkpoint"))
      continue;
    // The first free slot, or one a put of an open transaction took: the
    // position stays in front of it. Dropped, a taken slot would be free
    // and unlisted for good should the power end its transaction.
    keep = before.page != 0 ? before : Node_IPOS{};
    if (keep.page == 0) {
      // In front of the list's very first item: nothing to drop.
      Node_ITER it;
      Node_ITEM first;
      if (Node_FirstItem(node, &m.free_list, &first, &it) == 0) Node_PosFromIter(&keep, &it);
    }
    stopped = true;
    break;
  }
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) {
    Node_Unlock(node);
    Node_Close(node);
    return -1;
  }
  int head_dirty = 0;
  if (!stopped) {
    if (m.free_list.head != 0) Node_DeleteAllItemPages(node, &m.free_list, &head_dirty, &ctx);
    m.free_pos = Node_IPOS{};
    Node_WriteSnapshot(node);
  } else {
    Node_DropItemsBefore(node, &m.free_list, &head_dirty, &keep, &ctx);
    m.free_pos = keep;
  }
  m.sequence++;
  put_meta(node, m);
  log_meta_image(node, m, ctx.tag);
  const int rc = NodeList_FlushLog(&ctx);
  NodeList_ReleaseLog(&ctx);
  Node_Unlock(node);
  Node_Close(node);
  return rc;
}

void FixRec_RecoverFreeListPage(Node* node, const NodeList_PAGE_REC* rec) {
  if (Node_Lock(node, __FILE__, __LINE__) != 0)
    ZENT_ASSERT(!"FixRec_RecoverFreeListPage() failed in Node_Lock()");
  FixRec_META m = get_meta(node, __LINE__);
  int head_dirty = 0;
  Node_RecoverItemPage(node, &m.free_list, rec, &head_dirty);
  if (head_dirty) put_meta(node, m);
  Node_Unlock(node);
}
