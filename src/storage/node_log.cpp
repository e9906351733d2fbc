// node_log.cpp - the node layer's log records (see node_log.h): the
// node-list log context, snapshots, deleted-node records and page copies,
// and the handlers that replay them.
//
// State: none of its own beyond the installed free-list recovery of the
// fixed-record files; each handle's log-cluster list belongs to the node.
//
// Context: the server thread. Writers may suspend in the log, the buffer
// cache and the volume set; handlers run inside the log's walk.
#include "storage/node_log.h"

#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/node_cluster.h"
#include "storage/node_flist.h"
#include "storage/node_items_page.h"
#include "storage/node_orphans.h"
#include "storage/node_pool_services.h"
#include "storage/node_state.h"
#include "storage/syspool.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

namespace {

NodeList_FreeListRecovery g_flist_recovery = nullptr;

[[noreturn]] void internal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

// One item of a node's log-cluster list: up to 64 (page, op) pairs.
constexpr uint32_t kPairs = 64;
struct LogClusterItem {
  uint32_t count;
  struct {
    uint32_t page;
    uint32_t op;
  } pair[kPairs];
};

bool log_on() { return Tlog_RootNode() != nullptr && !Tlog_InRecovery(); }
bool skips_snapshots(const Node* node) {
  return !log_on() || Node_TestFlag(Node_LOGNODE, node) != 0;
}

uint8_t* grow(vbuf** b, uint32_t size) {
  if (*b == nullptr || (*b)->size < size) {
    VBuf_Close(*b);
    *b = VBUF_OPEN(size);
  }
  return static_cast<uint8_t*>((*b)->data);
}

// The smallest record of a list opcode: its head.
uint32_t list_head_size(int opcode) {
  switch (opcode) {
    case NodeList_OP_PAGE: return NodeList_PAGE_REC_SIZE;
    case NodeList_OP_HEAD: return NodeList_HEAD_REC_SIZE;
    case NodeList_OP_FILL: return NodeList_FILL_REC_SIZE;
    default: return NodeList_ITEM_REC_SIZE;
  }
}

int list_type_of(const void* data, int opcode) {
  const auto* b = static_cast<const uint8_t*>(data);
  return opcode == NodeList_OP_PAGE ? b[7] : static_cast<int>(le_get32(b + 4));
}

int apply_list(Node* node, int opcode, const void* data, uint32_t size) {
  Node_RecoverNoteList(node);
  int head_dirty = 0;
  if (Node_RecoverListRecord(node, &node->node.ulist, opcode, static_cast<const uint8_t*>(data),
                             size, &head_dirty) != 0) {
    debug_log('L', 0, "NodeList_Commit(node=%s) failed: malformed record of opcode %d",
              Node_Name(node), opcode);
    return Tlog_DAMAGED;
  }
  if (head_dirty) Node_SetDirty(node);
  return 0;
}

// Opcodes 9 to 12: item lists only; another type is a damaged record.
int commit_typed(Node* node, const void* data, uint32_t size, int opcode, const char* name) {
  if (data == nullptr || size < list_head_size(opcode))
    return Tlog_Damaged(name, "shorter than its head", size);
  const int type = list_type_of(data, opcode);
  if (type == NodeListType_ILIST) return apply_list(node, opcode, data, size);
  debug_log('L', 0, "%s(node=%s) failed: invalid list type %u", name, Node_Name(node),
            static_cast<unsigned>(type));
  return Tlog_DAMAGED;
}

// Copies the 8192 bytes of the LOG page onto page through node's cache.
void copy_page(Node* node, uint32_t page, uint32_t log_page) {
  char* buf = nullptr;
  buf_Get(node, page, 1, BF_PIN | BF_EMPTY, &buf);
  if (Vol_ReadPage(log_page, buf, Vol_PAGESIZE) != 0)
    internal("NodePage_Redo() failed on Vol_ReadPage()");
  buf_Put(buf, BF_DIRTY, BF_PIN);
}

}  // namespace

// --- Formats ------------------------------------------------------------------------------

void NodePage_EncodeRecord(const NodePage_RECORD& r, uint8_t* out) {
  memset(out, 0, NodePage_RECORD_SIZE);
  le_put32(out, r.count);
  for (uint32_t i = 0; i < NodePage_ENTRIES; ++i) {
    uint8_t* e = out + 4 + i * 12;
    le_put32(e, r.entry[i].page);
    le_put32(e + 4, r.entry[i].log_page);
    le_put32(e + 8, r.entry[i].op);
  }
}

int NodePage_DecodeRecord(const uint8_t* in, NodePage_RECORD* r) {
  r->count = le_get32(in);
  if (r->count > NodePage_ENTRIES) return -1;
  for (uint32_t i = 0; i < NodePage_ENTRIES; ++i) {
    const uint8_t* e = in + 4 + i * 12;
    r->entry[i] = {le_get32(e), le_get32(e + 4), le_get32(e + 8)};
  }
  return 0;
}

// --- Node-list log contexts -----------------------------------------------------------------

namespace nodelog {

int init_root_log(uint32_t op, NodeList_LOG* ctx) {
  *ctx = NodeList_LOG{};
  ctx->op = op;
  ctx->tag = &ctx->rec;
  // Replayed changes are in the log being read: nothing is logged again.
  if (Tlog_InRecovery()) return 0;
  return Tlog_InitRootTagRecord(&ctx->rec);
}

int flush_log(NodeList_LOG* ctx) { return ctx->tag != nullptr ? Tlog_FlushTagRecord(ctx->tag) : 0; }

void release_log(NodeList_LOG* ctx) {
  if (ctx->tag != nullptr) Tlog_CloseTagRecord(ctx->tag);
  ctx->tag = nullptr;
}

int write_snapshot(Node* node) {
  if (skips_snapshots(node)) return 0;
  debug_log('L', 3, "Node_WriteSnapshot(node=%s)", Node_Name(node));
  Tlog_TAGREC tag;
  if (Tlog_InitRootTagRecord(&tag) != 0) return -1;
  vbuf* record = nullptr;
  vbuf* page = nullptr;
  int rc = Node_WriteSingleSnapshot(node, &tag, &record, &page);
  VBuf_Close(record);
  VBuf_Close(page);
  if (rc == 0) rc = Tlog_FlushTagRecord(&tag);
  Tlog_CloseTagRecord(&tag);
  return rc;
}

int write_deleted_snapshot(Node* node) {
  if (skips_snapshots(node)) return 0;
  debug_log('L', 3, "Node_WriteDeletedSnapshot(node=%s)", Node_Name(node));
  Tlog_TAGREC tag;
  if (Tlog_InitRootTagRecord(&tag) != 0) return -1;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) {
    Tlog_CloseTagRecord(&tag);
    return -1;
  }
  uint8_t rec[4];
  le_put32(rec, Node_GetId(node));
  vbuf* record = nullptr;
  vbuf* page = nullptr;
  int rc = Tlog_AddBufferToTagRecord(&tag, Node_OP_DELETED, nullptr, rec, sizeof rec);
  if (rc == 0) rc = Node_WritePageSnapshot(node, &tag, &record, &page);
  VBuf_Close(record);
  VBuf_Close(page);
  Node_Unlock(node);
  if (rc == 0) rc = Tlog_FlushTagRecord(&tag);
  Tlog_CloseTagRecord(&tag);
  return rc;
}

}  // namespace nodelog

int NodeList_InitLog(Node* node, uint32_t op, NodeList_LOG* ctx, int channel) {
  *ctx = NodeList_LOG{};
  ctx->op = op;
  ctx->tag = &ctx->rec;
  return Tlog_InitTagRecord(node, &ctx->rec, channel);
}

void NodeList_SetOp(uint32_t op, NodeList_LOG* ctx) {
  if (ctx != nullptr) ctx->op = op;
}

int NodeList_AddRecord(Node* node, int opcode, const NodeList_HEADER* header, const void* data,
                       uint32_t offset, uint32_t size) {
  ZENT_ASSERT(size > 0 && "size > 0");
  ZENT_ASSERT(header->list_type != NodeListType_UNKNOWN && header->page != 0 &&
              "NodeList_AddRecord(): list header");
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint32_t piece = size + 16 > Tlog_MAX_DATA ? NodeList_PIECE : size;
    uint8_t head[16];
    le_put32(head, header->list_word);
    le_put32(head + 4, header->list_type);
    le_put32(head + 8, header->page);
    le_put16(head + 12, static_cast<uint16_t>(offset));
    le_put16(head + 14, static_cast<uint16_t>(piece));
    const Tlog_SEGMENT segs[2] = {{head, sizeof head}, {bytes, piece}};
    if (Tlog_AddToTagRecord(header->tag, static_cast<uint8_t>(opcode), node, segs, 2) != 0) {
      debug_log('L', 0, "NodeList_AddRecord(node=%s) failed on Tlog_AddToTagRecord(size=%u)",
                Node_Name(node), piece + 16);
      return -1;
    }
    bytes += piece;
    offset += piece;
    size -= piece;
  }
  return 0;
}

// --- Snapshots ----------------------------------------------------------------------------

void Node_AddLogCluster(Node* node, uint32_t start_page, int count, int op) {
  ZENT_ASSERT(count >= 1 && count <= Vol_MAXCLUST && "count");
  if (skips_snapshots(node)) return;
  for (int i = 0; i < count; ++i) {
    auto* item = static_cast<LogClusterItem*>(Llist_Last(&node->log_clusters));
    if (item == nullptr || item->count == kPairs) {
      item = static_cast<LogClusterItem*>(Llist_AddItem(&node->log_clusters, sizeof(LogClusterItem)));
      if (item == nullptr) {
        debug_log('L', 0, "Node_AddLogCluster() failed on Llist_AddItem(size=%u)",
                  static_cast<unsigned>(sizeof(LogClusterItem)));
        internal("Node_AddLogCluster() failed: heap overflow");
      }
      item->count = 0;
    }
    item->pair[item->count++] = {start_page + static_cast<uint32_t>(i), static_cast<uint32_t>(op)};
  }
}

int Node_WriteSingleSnapshot(Node* node, Tlog_TAGREC* tag, vbuf** record, vbuf** page) {
  debug_log('L', 3, "Node_WriteSingleSnapshot(node=%s)", Node_Name(node));
  const bool has_meta = Node_AddrValid(&node->node.meta_addr) != 0;
  const uint32_t meta_size = has_meta ? node->node.meta_addr.size : 0;
  const uint32_t size = static_cast<uint32_t>(Node_SNAPSHOT_HEAD) + meta_size;
  if (size > Tlog_MAX_DATA) {
    debug_log('L', 0, "Node_WriteSingleSnapshot(node=%s) failed: meta data of %u bytes do not "
              "fit a log record", Node_Name(node), meta_size);
    return -1;
  }
  uint8_t* b = grow(record, size);
  le_put16(b, static_cast<uint16_t>(meta_size + Node_DESC_SIZE));
  Node_EncodeDesc(node->node, b + 2);
  if (has_meta) {
    // A referenced node has its copy (newer than its block); an
    // unreferenced one is opened for the moment. The node semaphore is
    // not taken when a reference exists: Node_Close snapshots under it.
    if (node->meta_data != nullptr) {
      memcpy(b + Node_SNAPSHOT_HEAD, node->meta_data, meta_size);
    } else {
      if (Node_Open(node) != 0) return -1;
      memcpy(b + Node_SNAPSHOT_HEAD, Node_GetMetaData(node), meta_size);
      Node_Close(node);
    }
  }
  if (Tlog_AddBufferToTagRecord(tag, Node_OP_SNAPSHOT, nullptr, b, size) != 0) return -1;
  return Node_WritePageSnapshot(node, tag, record, page);
}

int Node_WritePageSnapshot(Node* node, Tlog_TAGREC* tag, vbuf** record, vbuf** page) {
  (void)page;
  if (node->log_clusters.count == 0) return 0;
  debug_log('L', 3, "Node_WritePageSnapshot(node=%s)", Node_Name(node));
  NodePage_RECORD rec;
  auto flush = [&]() -> int {
    if (rec.count == 0) return 0;
    uint8_t* b = grow(record, NodePage_RECORD_SIZE);
    NodePage_EncodeRecord(rec, b);
    rec = NodePage_RECORD{};
    return Tlog_AddBufferToTagRecord(tag, Node_OP_PAGES, nullptr, b, NodePage_RECORD_SIZE);
  };
  while (auto* item = static_cast<LogClusterItem*>(Llist_First(&node->log_clusters))) {
    for (uint32_t i = 0; i < item->count; ++i) {
      NodePage_ENTRY e{item->pair[i].page, 0, item->pair[i].op};
      if (e.op != NodePage_FREE) {
        Node_PGVEC v;
        if (Node_GetClusterReadOnly(node, e.page, 1, &v, Node_MODE_DATA) != 0) return -1;
        e.log_page = Vol_AllocPage(1, Vol_GetTlogAldesc());
        const int put = e.log_page != 0 ? Vol_WritePage(e.log_page, v.buf, Vol_PAGESIZE) : -1;
        Node_ReleaseCluster(node, 1, &v);
        if (put != 0) {
          debug_log('L', 0, "Node_WritePageSnapshot(node=%s) failed to copy page 0x%x",
                    Node_Name(node), e.page);
          return -1;
        }
      }
      rec.entry[rec.count++] = e;
      if (rec.count == NodePage_ENTRIES && flush() != 0) return -1;
    }
    Llist_DeleteItem(item);
  }
  return flush();
}

// --- Handlers -------------------------------------------------------------------------------

// Why a snapshot's descriptor cannot be a node's, or none: what the archive
// reader refuses in a restored one, and list and meta addresses outside the
// set. Installed, such a descriptor would reach its node page at the next
// write and stop every later start.
const char* snapshot_fault(const Node_DESC& d) {
  switch (Node_CheckDescFields(d.node_type, d.cluster_size, d.flags)) {
    case Node_DESC_OK: break;
    case Node_DESC_BAD_CLUSTER_SIZE: return "cluster size";
    case Node_DESC_BAD_TYPE: return "node type";
    case Node_DESC_BAD_FLAGS: return "flags";
    case Node_DESC_POOL_CLUSTER_SIZE: return "pool cluster size";
  }
  if (d.node_id == 0) return "node id";
  auto page_ok = [](uint32_t page) { return page == 0 || Vol_PagesInSet(page, 1) != 0; };
  if (!page_ok(d.ulist.head) || !page_ok(d.ulist.tail)) return "used-cluster list address";
  if (!page_ok(d.flist.head) || !page_ok(d.flist.tail)) return "free list address";
  if (Node_AddrValid(&d.meta_addr) && !page_ok(d.meta_addr.cluster)) return "meta data address";
  return nullptr;
}

int Node_Commit(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size < Node_SNAPSHOT_HEAD)
    return Tlog_Damaged("Node_Commit()", "shorter than a descriptor", size);
  const auto* b = static_cast<const uint8_t*>(data);
  const uint32_t length = le_get16(b);
  if (length < Node_DESC_SIZE || length + 2u != size)
    return Tlog_Damaged("Node_Commit()", "snapshot length", size);
  const Node_DESC desc = Node_DecodeDesc(b + 2);
  debug_log('L', 3, "Node_Commit(node_id=%u)", desc.node_id);
  if (const char* fault = snapshot_fault(desc)) {
    debug_log('L', 0, "Node_Commit(node_id=%u) failed: invalid descriptor (%s)", desc.node_id,
              fault);
    return Tlog_DAMAGED;
  }
  Node* node = Node_Find(desc.node_id);
  const bool existed = node != nullptr;
  if (node == nullptr) {
    const uint32_t sys = desc.node_id < Node_FIRSTNODE ? desc.node_id : 0;
    node = Node_DoCreate(desc.cluster_size, sys == 0 ? desc.node_id : 0, sys, 0);
    if (node == nullptr) return -1;
    Node_SetFlag(Node_REPLAYED, node);
  }
  const uint32_t runtime_flags = node->node.flags & Node_RUNTIME_FLAGS;
  const Node_ADDR old_meta = node->node.meta_addr;
  const Node_FHEAD old_flist = node->node.flist;
  node->node = desc;
  node->node.flags = (desc.flags & ~Node_RUNTIME_FLAGS) | runtime_flags;
  // A pool's free list is not logged: every change of its chain writes
  // the node page, so the page read from disk holds the newest chain, and
  // a snapshot's may name pages freed and reused since.
  if (Node_TestFlag(Node_POOLNODE, node) && !Node_TestFlag(Node_SYSPOOL, node) &&
      !Node_TestFlag(Node_REPLAYED, node))
    node->node.flist = old_flist;
  const uint32_t meta_size = length - static_cast<uint32_t>(Node_DESC_SIZE);
  if (meta_size > 0 && Node_AddrValid(&desc.meta_addr)) {
    Node_ADDR logged = desc.meta_addr;
    if (existed && Node_AddrValid(&old_meta)) SysPool_DefensiveFreeItem(&logged, 0);
    Node_ADDR addr;
    if (SysPool_AllocItem(meta_size, &addr, 0) != 0) return -1;
    node->node.meta_addr = addr;
    const int put = SysPool_WriteItem(&addr, b + Node_SNAPSHOT_HEAD, meta_size, 0);
    if (put != static_cast<int>(meta_size)) {
      debug_log('L', 0, "Node_Commit(node=%s) failed on SysPool_Write(size=%u) returning %d",
                Node_Name(node), meta_size, put);
      internal("Node_Commit() failed: file is corrupt");
    }
    // An open node takes the snapshot's meta data as its copy, also one
    // the replay opened while its address was still none (created after
    // the last durable descriptor): open with a valid address means a copy.
    if (node->meta_data != nullptr || node->ref_count > 0) {
      auto* copy = static_cast<uint8_t*>(realloc(node->meta_data, meta_size));
      if (copy == nullptr) {
        debug_log('V', 0, "Node_Commit(node=%s) failed: heap overflow (%u bytes)", Node_Name(node),
                  meta_size);
        internal("Node_Commit() failed: heap overflow");
      }
      memcpy(copy, b + Node_SNAPSHOT_HEAD, meta_size);
      node->meta_data = copy;
    }
    Node_ClearFlag(Node_META_CHANGED, node);
  } else {
    Node_AddrClear(&node->node.meta_addr);
    free(node->meta_data);
    node->meta_data = nullptr;
  }
  Node_SetDirty(node);
  return 0;
}

int Node_CommitDelete(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != 4)
    return Tlog_Damaged("Node_CommitDelete()", "size", size);
  const uint32_t id = le_get32(static_cast<const uint8_t*>(data));
  debug_log('L', 3, "Node_CommitDelete(node_id=%u)", id);
  Node* node = Node_Find(id);
  if (node == nullptr) return 0;
  VNode_Flush(node);
  nodes::free_slot(node);
  return 0;
}

namespace {

// A page record read back: its size, count, ops and addresses checked
// whole before any entry is applied.
int decode_page_record(const void* data, uint32_t size, const char* who, NodePage_RECORD* rec) {
  if (data == nullptr || size != NodePage_RECORD_SIZE ||
      NodePage_DecodeRecord(static_cast<const uint8_t*>(data), rec) != 0)
    return Tlog_Damaged(who, "size or entry count", size);
  for (uint32_t i = 0; i < rec->count; ++i) {
    const NodePage_ENTRY& e = rec->entry[i];
    const bool copy = e.op == NodePage_ALLOC || e.op == NodePage_CHANGE;
    if ((!copy && e.op != NodePage_FREE) || !Vol_PagesInSet(e.page, 1) ||
        (copy ? !Vol_PagesInSet(e.log_page, 1) : e.log_page != 0))
      return Tlog_Damaged(who, "page entry", size);
  }
  return 0;
}

}  // namespace

int NodePage_Redo(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  NodePage_RECORD rec;
  if (const int bad = decode_page_record(data, size, "NodePage_Redo()", &rec)) return bad;
  for (uint32_t i = 0; i < rec.count; ++i) {
    const NodePage_ENTRY& e = rec.entry[i];
    switch (e.op) {
      case NodePage_ALLOC:
        Vol_MarkPageUsed(e.page, 1);
        copy_page(node, e.page, e.log_page);
        Vol_FreePageDelayed(e.log_page, 1);
        break;
      case NodePage_CHANGE:
        copy_page(node, e.page, e.log_page);
        Vol_FreePageDelayed(e.log_page, 1);
        break;
      default:
        Vol_FreePageDelayed(e.page, 1);
        break;
    }
  }
  return 0;
}

int NodePage_Checkpoint(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  NodePage_RECORD rec;
  if (const int bad = decode_page_record(data, size, "NodePage_Checkpoint()", &rec)) return bad;
  for (uint32_t i = 0; i < rec.count; ++i)
    if (rec.entry[i].log_page != 0) Vol_FreePageDelayed(rec.entry[i].log_page, 1);
  return 0;
}

int Node_CommitCluster(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  Node_CLUSTER_REC r;
  if (data == nullptr ||
      Node_DecodeClusterRec(static_cast<const uint8_t*>(data), size, &r) != 0 ||
      !Vol_PagesInSet(r.first_page, r.count))
    return Tlog_Damaged("Node_CommitCluster()", "size, page or page count", size);
  switch (r.op) {
    case Node_CLUSTER_ALLOC:
      // Listed and allocated in one unit: the cluster is owned.
      Node_RecoverConfirmCluster(node, r.first_page);
      Vol_MarkPageUsed(r.first_page, r.count);
      return 0;
    case Node_CLUSTER_FREE:
      Vol_FreePageDelayed(r.first_page, r.count);
      return 0;
    case Node_CLUSTER_FLIST:
    case Node_CLUSTER_NODE_PAGE:
      if (r.count != 1) return Tlog_Damaged("Node_CommitCluster()", "page count", size);
      Node_RecoverNoteChainedPage(r.op, Node_GetId(node), r.first_page);
      return 0;
    default:
      debug_log('L', 0, "Node_CommitCluster(node=%s) failed: unknown opcode %u", Node_Name(node),
                static_cast<unsigned>(r.op));
      return Tlog_DAMAGED;
  }
}

// A cluster record of a node deleted later in the log: the release still
// gives the pages back (the delete's own redo finds no node to reset);
// an allocation belongs to nobody now.
int Node_CommitClusterOfGone(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  Node_CLUSTER_REC r;
  if (data == nullptr || size != Node_CLUSTER_REC_SIZE ||
      Node_DecodeClusterRec(static_cast<const uint8_t*>(data), Node_CLUSTER_REC_SIZE, &r) != 0 ||
      r.count < 1 || r.count > Vol_MAXCLUST)
    return Tlog_Damaged("Node_CommitCluster()", "size", size);
  if (r.op == Node_CLUSTER_FREE) Vol_FreePageDelayed(r.first_page, r.count);
  if ((r.op == Node_CLUSTER_FLIST || r.op == Node_CLUSTER_NODE_PAGE) && r.count == 1 &&
      Vol_PagesInSet(r.first_page, 1))
    Node_RecoverNoteChainedPage(r.op, 0, r.first_page);
  return 0;
}

// A list page record of a node deleted later: a page the list gave up is
// freed (the node's reset freed only the pages still listed).
int NodeList_CommitPageOfGone(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != NodeList_PAGE_REC_SIZE)
    return Tlog_Damaged("NodeList_CommitPage()", "size", size);
  NodeList_PAGE_REC rec;
  if (NodeList_DecodePageRec(static_cast<const uint8_t*>(data), NodeList_PAGE_REC_SIZE, &rec) ==
          0 &&
      rec.action == NodeList_PAGE_DELETE && rec.page != 0)
    Vol_FreePageDelayed(rec.page, 1);
  return 0;
}

int NodeList_CommitPage(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != NodeList_PAGE_REC_SIZE)
    return Tlog_Damaged("NodeList_CommitPage()", "size", size);
  const auto* b = static_cast<const uint8_t*>(data);
  const unsigned id = b[6];
  switch (id) {
    case NodeList_ID_ULIST:
      if (b[7] != NodeListType_ILIST)
        return Tlog_Damaged("NodeList_CommitPage()", "list type", size);
      return apply_list(node, NodeList_OP_PAGE, data, size);
    case NodeList_ID_FIXREC_FLIST:
      if (g_flist_recovery == nullptr)
        internal("NodeList_CommitPage() failed: no free-list recovery installed");
      return g_flist_recovery(node, data);
    default:
      // Pool free lists are never logged by page.
      debug_log('L', 0, "NodeList_CommitPage(node=%s) failed: invalid list identifier %u",
                Node_Name(node), id);
      return Tlog_DAMAGED;
  }
}

int NodeList_CommitPageHead(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  return commit_typed(node, data, size, NodeList_OP_HEAD, "NodeList_CommitPageHead");
}
int NodeList_CommitItem(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  return commit_typed(node, data, size, NodeList_OP_ITEM, "NodeList_CommitItem");
}
int NodeList_CommitItemSet(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  return commit_typed(node, data, size, NodeList_OP_ITEM_SET, "NodeList_CommitItemSet");
}
int NodeList_CommitFill(Node* node, const void* data, uint32_t size, const Node_ADDR*) {
  return commit_typed(node, data, size, NodeList_OP_FILL, "NodeList_CommitFill");
}

// --- Claims (before the replay) ---------------------------------------------------------

// A damaged record claims nothing: the replay stops at it.
int Node_ClaimCluster(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  Node_CLUSTER_REC r;
  if (data != nullptr && Node_DecodeClusterRec(static_cast<const uint8_t*>(data), size, &r) == 0 &&
      (r.op == Node_CLUSTER_ALLOC || r.op == Node_CLUSTER_FLIST ||
       r.op == Node_CLUSTER_NODE_PAGE) &&
      r.count >= 1 && r.count <= Vol_MAXCLUST)
    Vol_ReservePage(r.first_page, static_cast<int>(r.count));
  return 0;
}

int NodePage_Claim(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  NodePage_RECORD rec;
  if (data == nullptr || size != NodePage_RECORD_SIZE ||
      NodePage_DecodeRecord(static_cast<const uint8_t*>(data), &rec) != 0)
    return 0;
  for (uint32_t i = 0; i < rec.count; ++i)
    if (rec.entry[i].op == NodePage_ALLOC) Vol_ReservePage(rec.entry[i].page, 1);
  return 0;
}

int NodeList_ClaimPage(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  NodeList_PAGE_REC rec;
  const auto* b = static_cast<const uint8_t*>(data);
  if (b != nullptr && NodeList_DecodePageRec(b, size, &rec) == 0 && rec.page != 0)
    Vol_ReservePage(rec.page, 1);
  return 0;
}

void NodeList_SetFreeListRecovery(NodeList_FreeListRecovery fn) { g_flist_recovery = fn; }

void NodeLog_RegisterHandlers() {
  Tlog_SetHandler(Tlog_TABLE_REDO, Node_OP_SNAPSHOT, Node_Commit);
  Tlog_SetHandler(Tlog_TABLE_REDO, Node_OP_DELETED, Node_CommitDelete);
  Tlog_SetHandler(Tlog_TABLE_REDO, Node_OP_PAGES, NodePage_Redo);
  Tlog_SetHandler(Tlog_TABLE_REDO, Node_OP_CLUSTER, Node_CommitCluster);
  Tlog_SetHandler(Tlog_TABLE_GONE_REDO, Node_OP_CLUSTER, Node_CommitClusterOfGone);
  Tlog_SetHandler(Tlog_TABLE_GONE_REDO, NodeList_OP_PAGE, NodeList_CommitPageOfGone);
  Tlog_SetHandler(Tlog_TABLE_CHECKPOINT, Node_OP_PAGES, NodePage_Checkpoint);
  Tlog_SetHandler(Tlog_TABLE_CLAIM, Node_OP_CLUSTER, Node_ClaimCluster);
  Tlog_SetHandler(Tlog_TABLE_CLAIM, Node_OP_PAGES, NodePage_Claim);
  Tlog_SetHandler(Tlog_TABLE_CLAIM, NodeList_OP_PAGE, NodeList_ClaimPage);
  const Tlog_HANDLER lists[] = {NodeList_CommitPage, NodeList_CommitPageHead, NodeList_CommitItem,
                                NodeList_CommitItemSet, NodeList_CommitFill};
  for (int i = 0; i < 5; ++i) {
    const uint32_t op = static_cast<uint32_t>(NodeList_OP_PAGE + i);
    Tlog_SetHandler(Tlog_TABLE_FINALCOMMIT, op, lists[i]);
    Tlog_SetHandler(Tlog_TABLE_REDO, op, lists[i]);
  }
}

// --- Recovery ----------------------------------------------------------------------------

int Node_RecoverUsedPages(Node* node) {
  debug_log('L', 3, "Node_RecoverUsedPages(node=%s)", Node_Name(node));
  Node_MetaLock(node, __FILE__, __LINE__);
  uint32_t guard = 0;
  for (uint32_t page = node->node.ulist.head; page != 0 && guard <= node->node.ulist.num_pages;
       ++guard) {
    nodelist::ItemPage p = nodelist::pin_read(node, page);
    Vol_MarkPageUsed(page, 1);
    for (uint32_t i = p.h.first_item; i < p.h.last_item; ++i) {
      const Node_ITEM item = p.item(i);
      if (item.id != 0 && item.count >= 1 && item.count <= Vol_MAXCLUST)
        Vol_MarkPageUsed(item.id, static_cast<int>(item.count));
    }
    page = p.h.next_page;
    nodelist::release(node, &p, false);
  }
  for (uint32_t page = node->node.flist.head; page != 0;) {
    Node_PGVEC v;
    Node_GetFlistPageReadOnly(node, page, &v);
    Vol_MarkPageUsed(page, 1);
    const uint32_t next = Node_DecodeFlist(reinterpret_cast<const uint8_t*>(v.buf)).next_page;
    Node_ReleaseCluster(node, 1, &v);
    page = next;
  }
  Node_MetaUnlock(node);
  return 0;
}
