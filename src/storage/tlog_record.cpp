// tlog_record.cpp - log records: their head and the log node's meta data
// encoded field by field, records written alone or packed by tag records,
// read back and rewritten, the walk that dispatches them through the
// handler tables, the context records and freed-block lists of a
// transaction node, and each open log node's run-time part.
//
// State: the run-time parts (one per open log node, made on first use and
// dropped at its last close), the handler tables and the globals of
// tlog_state.h. The hot path of a record write is one pool allocation at
// the chain's end and one vector write of head and data, without a copy.
//
// Context: the server thread. A write gives up the log node's lock before
// its data write (the block is already its own at the chain's end); the
// pool calls may suspend in the buffer cache and where the volume set
// allocates.
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/disk_bytes.h"
#include "storage/pool.h"
#include "storage/tio.h"
#include "storage/tlog_state.h"
#include "storage/vnode.h"
#include "storage/volume_format.h"
#include "storage/volume_set.h"

namespace tlog {

Globals g;

namespace {

// Never destroyed: a server that stops after a failed start-up leaves its
// log nodes open, and their run-time parts stay reachable to the end.
std::unordered_map<Node*, Runtime*>& g_runtimes = *new std::unordered_map<Node*, Runtime*>;
Tlog_ACTIONTABLE g_tables[Tlog_NUM_TABLES];

constexpr uint32_t kMetaFirstWord = 0x544C;

// A comment's text, never read past the record, whether or not its zero
// byte made it there.
std::string comment_of(const void* data, uint32_t size) {
  if (data == nullptr) return "<untitled>";
  const auto* c = static_cast<const char*>(data);
  return std::string(c, strnlen(c, size));
}

int begin_precommit(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  debug_log('L', 2, "Node %s: pre-committing transaction: %s", Node_Name(node),
            comment_of(data, size).c_str());
  return 0;
}
int begin_rollback(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  debug_log('L', 2, "Node %s: transaction rolled-back: %s", Node_Name(node),
            comment_of(data, size).c_str());
  return 0;
}
int checkpoint_redo(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  debug_log('L', 1, "volume recovery: last checkpoint: %s", comment_of(data, size).c_str());
  return 0;
}

const Tlog_ACTION* find_action(const Tlog_ACTIONTABLE* t, uint32_t opcode) {
  for (int i = 0; i < t->count; ++i)
    if (t->entries[i].opcode == opcode) return &t->entries[i];
  return nullptr;
}

uint32_t round4(uint32_t v) { return (v + 3u) & ~3u; }

// The head of a record written now on node: the root writes for itself
// (state 1, txid 0); a transaction node needs an open transaction, whose
// id the record carries, in state. -1 (status 23) without one.
int make_head(Node* node, Runtime* rt, uint8_t opcode, uint32_t size, Node* owner, uint8_t state,
              const char* who, Tlog_RECHEAD* h) {
  *h = Tlog_RECHEAD{};
  h->opcode = opcode;
  h->size = static_cast<uint16_t>(size);
  if (node == g.root) {
    h->state = Tlog_STATE_SINGLE;
  } else {
    if (innermost(rt) == nullptr) {
      debug_log('L', 0, "%s(node=%s, opcode=%d) failed: transaction stack is empty, file %s, "
                "line %d", who, Node_Name(node), opcode, __FILE__, __LINE__);
      TLOG_ERROR(Tlog_E_NO_TX);
      return -1;
    }
    h->state = state;
    h->txid = record_txid(rt);
  }
  if (owner != nullptr) {
    h->owner_id = Node_GetId(owner);
    h->owner_handle = Node_HandleId(owner);
  }
  return 0;
}

// The owner a record names, opened; none when the record is to be passed
// over. *failed when the owner could not be opened.
Node* open_owner(Node* node, const Tlog_RECHEAD& h, bool* skip, bool* failed) {
  *skip = false;
  *failed = false;
  if (h.owner_id == 0) return nullptr;
  Node* owner = nullptr;
  if (!g.recovering && h.owner_handle != 0) {
    owner = Node_FromHandleId(h.owner_handle, h.owner_id);
    if (owner == nullptr) {
      debug_log('L', 2, "Tlog_Action(node=%s) failed: Slot for node id #%u has been re-used, "
                "file %s, line %d", Node_Name(node), h.owner_id, __FILE__, __LINE__);
      *skip = true;
      return nullptr;
    }
  } else {
    owner = Node_Find(h.owner_id);
    if (owner == nullptr) {
      debug_log('L', 1, "Tlog_Action(node=%s) failed: Node #%u not found, file %s, line %d",
                Node_Name(node), h.owner_id, __FILE__, __LINE__);
      *skip = true;
      return nullptr;
    }
  }
  // An owner deleted later in the log whose meta data block went before
  // its node page: its delete, replayed in turn, frees what it held.
  if (g.recovering && Node_MetaFreed(owner)) {
    debug_log('L', 1, "Tlog_Action(node=%s) note: node #%u has its meta data freed, passed over",
              Node_Name(node), h.owner_id);
    *skip = true;
    return nullptr;
  }
  // The vnode cache keeps owners open between records.
  if (VNode_Open(owner) != 0) {
    debug_log('L', 0, "Tlog_Action(node=%s) failed on Vnode_Open(owner_node=#%u), file %s, "
              "line %d", Node_Name(node), h.owner_id, __FILE__, __LINE__);
    *failed = true;
    return nullptr;
  }
  return owner;
}

}  // namespace

Runtime* runtime(Node* node) {
  auto it = g_runtimes.find(node);
  if (it != g_runtimes.end()) return it->second;
  const auto* bytes = static_cast<const uint8_t*>(Node_GetMetaData(node));
  Tlog_META meta;
  if (bytes == nullptr || Tlog_DecodeMeta(bytes, Node_GetMetaSize(node), &meta) != 0) {
    debug_log('L', 0, "Tlog_GetMeta(node=%s) failed: invalid meta data header", Node_Name(node));
    ZENT_ASSERT(!"Tlog_GetMeta() failed: file is corrupt");
  }
  auto* rt = new Runtime;
  rt->meta = meta;
  g_runtimes[node] = rt;
  return rt;
}

void drop_runtime(Node* node) {
  auto it = g_runtimes.find(node);
  if (it == g_runtimes.end()) return;
  free_runtime_lists(node, it->second);
  delete it->second;
  g_runtimes.erase(it);
}

void drop_all_runtimes() {
  for (auto& [node, rt] : g_runtimes) {
    free_runtime_lists(node, rt);
    delete rt;
  }
  g_runtimes.clear();
}

uint32_t reserve_pages() {
  if (g.root == nullptr || g.recovering) return 0;
  uint64_t actions = 0;
  for (auto& [node, rt] : g_runtimes)
    for (void* p = Llist_First(&rt->stack); p != nullptr; p = Llist_Next(p))
      actions += static_cast<StackItem*>(p)->actions;
  const uint64_t pages = Tlog_RESERVE_BASE + (actions + Tlog_RESERVE_ACTIONS - 1) /
                                                 Tlog_RESERVE_ACTIONS;
  return pages > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(pages);
}

void store_meta(Node* node, Runtime* rt, bool write_now) {
  auto* bytes = static_cast<uint8_t*>(Node_GetMetaData(node));
  ZENT_ASSERT(bytes != nullptr && Node_GetMetaSize(node) >= Tlog_META_DISK_SIZE);
  uint8_t image[Tlog_META_SIZE];
  Tlog_EncodeMeta(rt->meta, image);
  const uint32_t size = Node_GetMetaSize(node);
  memcpy(bytes, image, size < Tlog_META_SIZE ? size : Tlog_META_SIZE);
  Node_SetMetaDirty(node);
  if (write_now) Node_UpdateMetaData(node);
}

FPool_ANCHOR* anchor_of(Runtime* rt, int channel, const char* who) {
  if (channel == Tlog_CHANNEL_LOG) return &rt->meta.log_anchor;
  if (channel == Tlog_CHANNEL_DO_LOG) return &rt->meta.do_log_anchor;
  panic_assert_failed(who, __FILE__, __LINE__);
}

StackItem* innermost(Runtime* rt) { return static_cast<StackItem*>(Llist_Last(&rt->stack)); }
StackItem* outermost(Runtime* rt) { return static_cast<StackItem*>(Llist_First(&rt->stack)); }

uint32_t record_txid(Runtime* rt) {
  StackItem* in = innermost(rt);
  return in == outermost(rt) ? 1u : in->sub_id;
}

bool free_runtime_lists(Node* node, Runtime* rt) {
  bool freed = rt->stack.count > 0 || rt->contexts != nullptr || rt->free_items.count > 0;
  Llist_Clear(&rt->stack);
  int listed = 0;
  while (rt->contexts != nullptr) listed += Node_EndLogRecord(rt->contexts);
  if (listed > 0)
    debug_log('L', 1, "Node %s: %d context records are still named by a lock list; kept as "
              "plain locks until it lets them go", Node_Name(node), listed);
  for (void* p = Llist_First(&rt->free_items); p != nullptr; p = Llist_Next(p))
    Llist_Clear(&static_cast<FreeItem*>(p)->blocks);
  Llist_Clear(&rt->free_items);
  return freed;
}

bool forced(const Node* node) { return Node_TestFlag(Node_SYSPOOL, node) != 0; }

// A block at the chain's end. The root log's own records may take the
// LOG pages kept back from transactions.
int alloc_block(Node* node, const Pool_IOVEC* vec, int segn, Node_ADDR* addr,
                FPool_ANCHOR* anchor) {
  const bool root = node == g.root;
  if (root) Vol_OpenTlogReserve(1);
  const int rc = FPool_AllocWrite(node, vec, segn, addr, anchor);
  if (root) Vol_OpenTlogReserve(-1);
  return rc;
}

void count_pages(Node* node, Runtime* rt, int channel) {
  const int32_t delta = FPool_PageDelta();
  if (delta <= 0) return;
  if (node == g.root)
    g.root_pages += static_cast<uint32_t>(delta);
  else if (channel == Tlog_CHANNEL_DO_LOG)
    rt->do_log_pages += static_cast<uint32_t>(delta);
}

}  // namespace tlog

using namespace tlog;

// --- Formats ----------------------------------------------------------------------------------

void Tlog_EncodeHead(const Tlog_RECHEAD& h, uint8_t* out) {
  le_put32(out + 0, h.prev);
  le_put32(out + 4, h.next);
  le_put32(out + 8, h.txid);
  out[12] = h.opcode;
  out[13] = h.state;
  le_put16(out + 14, h.size);
  le_put32(out + 16, h.owner_id);
  le_put32(out + 20, h.owner_handle);
}

Tlog_RECHEAD Tlog_DecodeHead(const uint8_t* in) {
  Tlog_RECHEAD h;
  h.prev = le_get32(in + 0);
  h.next = le_get32(in + 4);
  h.txid = le_get32(in + 8);
  h.opcode = in[12];
  h.state = in[13];
  h.size = le_get16(in + 14);
  h.owner_id = le_get32(in + 16);
  h.owner_handle = le_get32(in + 20);
  return h;
}

void Tlog_EncodeMeta(const Tlog_META& m, uint8_t* out) {
  memset(out, 0, Tlog_META_SIZE);
  Vol_PGHEADER h;
  h.page = kMetaFirstWord;
  h.type = Tlog_META_PAGE_TYPE;
  Vol_EncodeHeader(h, out);
  FPool_EncodeAnchor(m.log_anchor, out + 8);
  FPool_EncodeAnchor(m.do_log_anchor, out + 24);
}

int Tlog_DecodeMeta(const uint8_t* in, uint32_t size, Tlog_META* m) {
  if (size < Tlog_META_DISK_SIZE) return -1;
  const Vol_PGHEADER h = Vol_DecodeHeader(in);
  if (h.page != kMetaFirstWord || h.type != Tlog_META_PAGE_TYPE) return -1;
  m->log_anchor = FPool_DecodeAnchor(in + 8);
  m->do_log_anchor = FPool_DecodeAnchor(in + 24);
  return 0;
}

// --- Tables -------------------------------------------------------------------------------------

void Tlog_ResetTables() {
  for (auto& t : g_tables) t = Tlog_ACTIONTABLE{{}, 0, 0};
  g_tables[Tlog_TABLE_REDO].end = 1;
  g_tables[Tlog_TABLE_EXTEND_REDO].end = 1;
  g_tables[Tlog_TABLE_REDIRECT_REDO].end = 1;
  g_tables[Tlog_TABLE_CHECKPOINT].end = 1;
  g_tables[Tlog_TABLE_CLAIM].end = 1;
  g_tables[Tlog_TABLE_CLAIM].ownerless = true;
  g_tables[Tlog_TABLE_GONE_REDO].end = 1;
  g_tables[Tlog_TABLE_GONE_REDO].ownerless = true;
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_BEGIN, begin_precommit);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_BEGIN, begin_rollback);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_CHECKPOINT, checkpoint_redo);
  Tlog_SetHandler(Tlog_TABLE_PRECOMMIT, Tlog_OP_POOL_RECORD, Pool_Commit);
  Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, Tlog_OP_POOL_RECORD, Pool_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_ROLLBACK, Tlog_OP_POOL_RECORD, Pool_Rollback);
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_POOL_RECORD, Pool_FinalCommit);
  Tlog_SetHandler(Tlog_TABLE_GONE_REDO, Tlog_OP_POOL_RECORD, Pool_RedoOfGone);
}

const Tlog_ACTIONTABLE* Tlog_GetTable(Tlog_TABLE table) {
  ZENT_ASSERT(table >= 0 && table < Tlog_NUM_TABLES);
  return &g_tables[table];
}

int Tlog_Damaged(const char* who, const char* what, uint32_t size) {
  debug_log('L', 0, "%s failed: damaged log record (%s, %u bytes)", who, what, size);
  return Tlog_DAMAGED;
}

void Tlog_SetHandler(Tlog_TABLE table, uint32_t opcode, Tlog_HANDLER handler) {
  ZENT_ASSERT(table >= 0 && table < Tlog_NUM_TABLES);
  ZENT_ASSERT(opcode > 1 && opcode <= 255 && "opcode");
  Tlog_ACTIONTABLE* t = &g_tables[table];
  for (int i = 0; i < t->count; ++i) {
    if (t->entries[i].opcode != opcode) continue;
    t->entries[i].handler = handler;
    return;
  }
  ZENT_ASSERT(t->count < Tlog_MAX_ACTIONS - 1 && "Tlog_SetHandler(): table full");
  t->entries[t->count++] = Tlog_ACTION{opcode, handler};
}

// --- Records ------------------------------------------------------------------------------------

int Tlog_WriteRecord(Node* node, uint8_t opcode, int channel, Node* owner, const void* data,
                     uint32_t size, Node_ADDR* pos) {
  if (pos != nullptr) Node_AddrClear(pos);
  if (g.root == nullptr || node == nullptr) return 0;
  ZENT_ASSERT(size + Tlog_OVERHEAD <= Vol_PAGESIZE && "size + Tlog_OVERHEAD <= Vol_PAGESIZE");
  if (channel != Tlog_CHANNEL_LOG && channel != Tlog_CHANNEL_DO_LOG)
    ZENT_ASSERT(!"Tlog_WriteRecord() failed: invalid channel");
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  Runtime* rt = runtime(node);
  FPool_ANCHOR* anchor = anchor_of(rt, channel, "Tlog_WriteRecord() failed: invalid channel");
  const bool was_empty = !FPool_ValidAnchor(anchor);
  Tlog_RECHEAD h;
  if (make_head(node, rt, opcode, size, owner, was_empty ? Tlog_STATE_FIRST : Tlog_STATE_MORE,
                "Tlog_WriteRecord", &h) != 0) {
    Node_Unlock(node);
    return -1;
  }
  // The record goes in with its block, before the chain (and, for a first
  // block, the anchor) names it.
  uint8_t head[Tlog_OVERHEAD];
  Tlog_EncodeHead(h, head);
  Pool_IOVEC vec[2] = {{head, Tlog_OVERHEAD}, {const_cast<void*>(data), size}};
  Node_ADDR addr;
  if (alloc_block(node, vec, size > 0 ? 2 : 1, &addr, anchor) != 0) {
    Node_Unlock(node);
    return -1;
  }
  count_pages(node, rt, channel);
  store_meta(node, rt, was_empty && forced(node));
  Node_Unlock(node);
  if (forced(node)) Vol_TlogForceSync(Vol_TIO_FULL_OVL);
  if (node != g.root) {
    if (StackItem* in = innermost(rt)) in->actions++;
  }
  g.counters.records++;
  if (pos != nullptr) *pos = addr;
  return 0;
}

int Tlog_ReadRecord(Node* node, const Node_ADDR* pos, void* buffer, uint32_t size,
                    uint32_t* txid) {
  if (g.root == nullptr || node == nullptr) return 0;
  ZENT_ASSERT(size >= 1 && size <= Vol_PAGESIZE && "size > 0 && size <= Vol_PAGESIZE");
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  uint8_t head[Tlog_OVERHEAD];
  Pool_IOVEC vec[2] = {{head, Tlog_OVERHEAD}, {buffer, size}};
  const int got = Pool_ReadV(node, pos, vec, 2, nullptr);
  Node_Unlock(node);
  ZENT_ASSERT(got >= static_cast<int>(Tlog_OVERHEAD) && "size >= Tlog_OVERHEAD");
  const Tlog_RECHEAD h = Tlog_DecodeHead(head);
  ZENT_ASSERT(h.next == 0 && "Tlog_ReadRecord(): record not alone in its block");
  if (txid != nullptr) *txid = h.txid;
  const int data = got - static_cast<int>(Tlog_OVERHEAD);
  return data < h.size ? data : h.size;
}

int Tlog_UpdateRecord(Node* node, const Node_ADDR* pos, const void* data, uint32_t size) {
  if (g.root == nullptr || node == nullptr) return 0;
  ZENT_ASSERT(size >= 1 && size <= Vol_PAGESIZE && "size > 0 && size <= Vol_PAGESIZE");
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  const int put = Pool_ReplaceElement(node, pos, Tlog_OVERHEAD, data, size, nullptr);
  Node_Unlock(node);
  if (put != static_cast<int>(size)) {
    debug_log('L', 0, "Tlog_UpdateRecord(node=%s) failed on Pool_ReplaceElement(size=%u) "
              "returning %d", Node_Name(node), size, put);
    ZENT_ASSERT(!"Tlog_UpdateRecord() failed: file is corrupt");
  }
  return 0;
}

// --- Tag records --------------------------------------------------------------------------------

int Tlog_InitTagRecord(Node* node, Tlog_TAGREC* tag, int channel) {
  *tag = Tlog_TAGREC{};
  if (g.root == nullptr || node == nullptr) return 0;
  if (channel != Tlog_CHANNEL_LOG && channel != Tlog_CHANNEL_DO_LOG)
    ZENT_ASSERT(!"Tlog_InitTagRecord() failed: invalid channel");
  tag->buf = VBUF_OPEN(Vol_PAGESIZE);
  tag->node = node;
  tag->channel = channel;
  return 0;
}

int Tlog_InitRootTagRecord(Tlog_TAGREC* tag) {
  return Tlog_InitTagRecord(g.root, tag, Tlog_CHANNEL_DO_LOG);
}

int Tlog_AddToTagRecord(Tlog_TAGREC* tag, uint8_t opcode, Node* owner, const Tlog_SEGMENT* segs,
                        int count) {
  if (tag->node == nullptr) return 0;
  uint32_t data_size = 0;
  for (int i = 0; i < count; ++i) {
    ZENT_ASSERT(segs[i].buf != nullptr && segs[i].size > 0 && "seg->buf && seg->size");
    data_size += segs[i].size;
  }
  const uint32_t total = data_size + Tlog_OVERHEAD;
  ZENT_ASSERT(total <= Vol_PAGESIZE && "size + Tlog_OVERHEAD <= Vol_PAGESIZE");
  if (total > Vol_PAGESIZE - tag->next_offset) {
    if (Tlog_FlushTagRecord(tag) != 0) return -1;
    ZENT_ASSERT(total <= Vol_PAGESIZE - tag->next_offset && "tag_size <= rem_size");
  }
  Node* node = tag->node;
  Runtime* rt = runtime(node);
  Tlog_RECHEAD h;
  if (make_head(node, rt, opcode, data_size, owner, Tlog_STATE_MORE, "Tlog_AddToTagRecord", &h) !=
      0)
    return -1;
  auto* b = static_cast<uint8_t*>(tag->buf->data);
  if (tag->records > 0) {
    le_put32(b + tag->last_offset + 4, tag->next_offset - tag->last_offset);
    h.prev = tag->next_offset - tag->last_offset;
  }
  Tlog_EncodeHead(h, b + tag->next_offset);
  uint32_t at = tag->next_offset + Tlog_OVERHEAD;
  for (int i = 0; i < count; ++i) {
    memcpy(b + at, segs[i].buf, segs[i].size);
    at += segs[i].size;
  }
  if (node != g.root) innermost(rt)->actions++;
  tag->last_offset = tag->next_offset;
  const uint32_t next = round4(tag->next_offset + total);
  tag->next_offset = next < Vol_PAGESIZE ? next : Vol_PAGESIZE;
  tag->records++;
  g.counters.records++;
  return 0;
}

int Tlog_AddBufferToTagRecord(Tlog_TAGREC* tag, uint8_t opcode, Node* owner, const void* data,
                              uint32_t size) {
  const Tlog_SEGMENT seg{data, size};
  return Tlog_AddToTagRecord(tag, opcode, owner, &seg, size > 0 ? 1 : 0);
}

int Tlog_FlushTagRecord(Tlog_TAGREC* tag) {
  if (tag->node == nullptr || tag->records == 0) return 0;
  Node* node = tag->node;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  Runtime* rt = runtime(node);
  FPool_ANCHOR* anchor = anchor_of(rt, tag->channel, "Tlog_WriteTagRecord() failed: invalid channel");
  const bool was_empty = !FPool_ValidAnchor(anchor);
  auto* b = static_cast<uint8_t*>(tag->buf->data);
  if (node != g.root && was_empty) b[13] = Tlog_STATE_FIRST;
  const Pool_IOVEC vec = {b, tag->next_offset};
  Node_ADDR addr;
  if (alloc_block(node, &vec, 1, &addr, anchor) != 0) {
    Node_Unlock(node);
    return -1;
  }
  count_pages(node, rt, tag->channel);
  store_meta(node, rt, was_empty && forced(node));
  Node_Unlock(node);
  if (forced(node)) Vol_TlogForceSync(Vol_TIO_FULL_OVL);
  tag->last_offset = tag->next_offset = 0;
  tag->records = 0;
  return 0;
}

void Tlog_CloseTagRecord(Tlog_TAGREC* tag) {
  VBuf_Close(tag->buf);
  *tag = Tlog_TAGREC{};
}

// --- The walk -----------------------------------------------------------------------------------

int Tlog_Action(Node* node, int channel, const Tlog_ACTIONTABLE* table, FPool_ITER* start,
                const Node_ADDR* stop, const char* message, int reverse) {
  return walk(node, channel, table, start, stop, -1, message, reverse);
}

int Tlog_ActionTo(Node* node, int channel, const Tlog_ACTIONTABLE* table,
                  const Tlog_STOPPOS* stop, const char* message) {
  const bool bounded = stop != nullptr && Node_AddrValid(&stop->block);
  return walk(node, channel, table, nullptr, bounded ? &stop->block : nullptr,
              bounded ? static_cast<int64_t>(stop->record) : -1, message, 0);
}

namespace tlog {

// The walk; in the stop block a stop_record of 0 or more ends it after the
// record at that offset.
int walk(Node* node, int channel, const Tlog_ACTIONTABLE* table, FPool_ITER* start,
         const Node_ADDR* stop, int64_t stop_record, const char* message, int reverse) {
  if (g.root == nullptr || node == nullptr) return 0;
  FPool_ITER it;
  int rc = 0;
  if (channel == Tlog_CHANNEL_LOG || channel == Tlog_CHANNEL_DO_LOG) {
    ZENT_ASSERT(start == nullptr && "Tlog_Action() failed: invalid channel");
    FPool_ANCHOR* anchor = anchor_of(runtime(node), channel, "Tlog_Action() failed: invalid channel");
    rc = reverse ? FPool_Last(node, anchor, &it) : FPool_First(node, anchor, &it);
  } else if (channel == 0) {
    ZENT_ASSERT(start != nullptr && "start_iter");
    it = *start;
  } else {
    ZENT_ASSERT(!"Tlog_Action() failed: invalid channel");
  }
  g.dispatched = 0;
  if (rc != 0 || !Node_AddrValid(&it.addr)) return rc < 0 ? -1 : 0;
  vbuf* buffer = VBUF_OPEN(Vol_PAGESIZE);
  auto* b = static_cast<uint8_t*>(buffer->data);
  int result = 0;
  bool first_block = true;
  for (;;) {
    if (first_block && message != nullptr) debug_log('L', 1, "%s", message);
    first_block = false;
    const uint32_t want = it.addr.size < Vol_PAGESIZE ? it.addr.size : Vol_PAGESIZE;
    const int got = Pool_Read(node, &it.addr, b, want, nullptr);
    if (got < 0) {
      result = -1;
      break;
    }
    const bool last_block = stop != nullptr && stop->cluster == it.addr.cluster &&
                            stop->offset == it.addr.offset;
    const uint32_t len = static_cast<uint32_t>(got);
    uint32_t off = 0;
    if (reverse) {
      for (;;) {
        ZENT_ASSERT(len - off >= Tlog_OVERHEAD && "size >= Tlog_OVERHEAD");
        const uint32_t next = le_get32(b + off + 4);
        if (next == 0) break;
        ZENT_ASSERT(next < len - off && "rem_size >= header->size");
        off += next;
      }
    }
    for (;;) {
      ZENT_ASSERT(off <= len && len - off >= Tlog_OVERHEAD && "size >= Tlog_OVERHEAD");
      const Tlog_RECHEAD h = Tlog_DecodeHead(b + off);
      ZENT_ASSERT(h.size <= len - off - Tlog_OVERHEAD && "rem_size >= header->size");
      const Tlog_ACTION* action = find_action(table, h.opcode);
      if (action == nullptr && table->end == 0) {
        debug_log('L', 0, "Tlog_Action(node=%s) failed: unknown opcode %u, file %s, line %d",
                  Node_Name(node), h.opcode, __FILE__, __LINE__);
        result = 1;
        break;
      }
      if (action != nullptr && action->handler != nullptr) {
        bool skip = false, failed = false;
        Node* owner = table->ownerless ? nullptr : open_owner(node, h, &skip, &failed);
        if (failed) {
          result = -1;
          break;
        }
        // A replayed record whose owner is gone may still release pages
        // that nothing else frees again.
        const Tlog_ACTION* gone =
            skip && table == &g_tables[Tlog_TABLE_REDO]
                ? find_action(&g_tables[Tlog_TABLE_GONE_REDO], h.opcode)
                : nullptr;
        if (!skip || (gone != nullptr && gone->handler != nullptr)) {
          g.action_node = node;
          const Tlog_HANDLER handler = skip ? gone->handler : action->handler;
          const int r = handler(owner != nullptr ? owner : node,
                                h.size > 0 ? b + off + Tlog_OVERHEAD : nullptr, h.size, &it.addr);
          g.dispatched++;
          if (owner != nullptr) VNode_Close(owner);
          if (r != 0) {
            result = r;
            break;
          }
        }
      }
      if (last_block && stop_record >= 0 && off == static_cast<uint64_t>(stop_record)) break;
      if (reverse) {
        if (h.prev == 0) break;
        ZENT_ASSERT(h.prev <= off && "rem_size >= header->size");
        off -= h.prev;
      } else {
        if (h.next == 0) break;
        off += h.next;
      }
    }
    if (result != 0 || last_block) break;
    const int step = reverse ? FPool_Prev(&it) : FPool_Next(&it);
    if (step == 1) break;
    if (step != 0) {
      result = -1;
      break;
    }
  }
  VBuf_Close(buffer);
  return result;
}

}  // namespace tlog

Node* Tlog_ActionNode() { return g.action_node; }
uint32_t Tlog_NumDispatched() { return g.dispatched; }

// --- Context records and freed blocks -----------------------------------------------------------

void Tlog_LinkLogRecord(Node* tx, Node_LOG_REC* entry) {
  if (entry->log_node != nullptr) return;
  Runtime* rt = runtime(tx);
  entry->log_node = tx;
  entry->log_prev = nullptr;
  entry->log_next = rt->contexts;
  if (rt->contexts != nullptr) rt->contexts->log_prev = entry;
  rt->contexts = entry;
}

void Tlog_UnlinkLogRecord(Node_LOG_REC* entry) {
  if (entry->log_node == nullptr) return;
  auto it = g_runtimes.find(entry->log_node);
  if (it != g_runtimes.end() && it->second->contexts == entry) it->second->contexts = entry->log_next;
  if (entry->log_prev != nullptr) entry->log_prev->log_next = entry->log_next;
  if (entry->log_next != nullptr) entry->log_next->log_prev = entry->log_prev;
  entry->log_prev = entry->log_next = nullptr;
  entry->log_node = nullptr;
}

Llist* Tlog_FindLogpoolFlist(Node* node, Node* tx) {
  if (tx == nullptr) return nullptr;
  auto it = g_runtimes.find(tx);
  if (it == g_runtimes.end()) return nullptr;
  for (void* p = Llist_First(&it->second->free_items); p != nullptr; p = Llist_Next(p)) {
    auto* item = static_cast<FreeItem*>(p);
    if (item->node == node) return &item->blocks;
  }
  return nullptr;
}

Llist* Tlog_AddLogpoolFlist(Node* node, Node* tx) {
  if (Llist* l = Tlog_FindLogpoolFlist(node, tx)) return l;
  Runtime* rt = runtime(tx);
  auto* item = static_cast<FreeItem*>(Llist_AddItem(&rt->free_items, sizeof(FreeItem)));
  if (item == nullptr) {
    debug_log('V', 0, "Tlog_AddLogpoolFlist(node=%s) failed: heap overflow (%u bytes)",
              Node_Name(tx), static_cast<unsigned>(sizeof(FreeItem)));
    ZENT_ASSERT(!"Tlog_AddLogpoolFlist() failed: heap overflow");
  }
  item->node = node;
  Llist_Init(&item->blocks);
  return &item->blocks;
}
