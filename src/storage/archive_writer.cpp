// archive_writer.cpp - the archive writer (see archive_writer.h).
//
// Tags whose size is known before their contents (the lists, the clusters)
// are written head first; the walk that follows checks that it finds as
// many entries as the head promised and fails the store with VOL E090
// otherwise. Each list entry and each page is one write of the stream.
#include "storage/archive_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "storage/disk_bytes.h"
#include "storage/node_cluster.h"
#include "storage/node_flist.h"
#include "storage/node_pool_services.h"
#include "storage/pool_format.h"

namespace {

uint32_t g_writes = 0;
constexpr uint32_t kYieldEvery = 25;

int write_bytes(Archive_STREAM* stream, const void* data, size_t n) {
  const size_t done = stream->write(stream, data, n);
  ++g_writes;
  if (done < n) {
    debug_log('N', 0, "I/O ERROR: Failed to write archive file: %u bytes could not be written",
              static_cast<unsigned>(n - done));
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE_WRITE);
    return -1;
  }
  if (g_writes % kYieldEvery == 0) thread_yield();
  return 0;
}

int write_head(Archive_STREAM* stream, uint8_t type, uint32_t size) {
  uint8_t h[Node_TAG_HEAD_SIZE];
  Node_EncodeTagHead(Node_TAGHEAD{type, size}, h);
  return write_bytes(stream, h, sizeof h);
}

int block_tag(Archive_STREAM* stream, uint8_t tag, uint8_t block) {
  uint8_t b[Node_TAG_HEAD_SIZE + 1];
  Node_EncodeTagHead(Node_TAGHEAD{tag, 1}, b);
  b[Node_TAG_HEAD_SIZE] = block;
  return write_bytes(stream, b, sizeof b);
}

// Tag contents built in memory, then written as one.
struct TagBuf {
  std::vector<uint8_t> b;
  explicit TagBuf(uint8_t type) {
    b.resize(Node_TAG_HEAD_SIZE);
    b[0] = type;
  }
  void u32(uint32_t v) {
    uint8_t x[4];
    le_put32(x, v);
    b.insert(b.end(), x, x + 4);
  }
  void str(const char* s) {
    const uint32_t n = Node_ArchiveStringSize(s) - 1;
    b.push_back(static_cast<uint8_t>(n));
    if (n != 0) b.insert(b.end(), s, s + n);
  }
  void bytes(const uint8_t* p, size_t n) {
    if (n != 0) b.insert(b.end(), p, p + n);
  }
  int write(Archive_STREAM* stream) {
    le_put32(b.data() + 1, static_cast<uint32_t>(b.size() - Node_TAG_HEAD_SIZE));
    return write_bytes(stream, b.data(), b.size());
  }
};

int count_error(const char* fn, Node* node, bool more, const char* what, uint32_t expected) {
  debug_log('N', 0, "%s(node=%s) failed: node has %s %s than specified (%u)", fn, Node_Name(node),
            more ? "more" : "less", what, expected);
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE);
  return -1;
}

int node_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG : Node_MODE_DATA;
}

}  // namespace

uint32_t Node_ArchiveWrites() { return g_writes; }

int Node_StoreMagic(Archive_STREAM* stream) {
  return write_bytes(stream, Node_ARCHIVE_MAGIC, Node_ARCHIVE_MAGIC_SIZE);
}

int Node_StoreArchiveHeader(Archive_STREAM* stream) {
  debug_log('N', 3, "Node_StoreArchiveHeader()");
  TagBuf t(Node_ATT_HEAD_HEAD);
  t.u32(Node_ARCHIVE_BYTE_ORDER);
  t.u32(Node_ARCHIVE_VERSION);
  t.str(Node_ARCHIVE_REVISION);
  t.str(Node_ARCHIVE_PLATFORM);
  t.str(Node_ARCHIVE_CHARSET);
  return t.write(stream);
}

int Node_StoreDbHeader(Archive_STREAM* stream, const char* db_name, uint32_t flags,
                       uint32_t node_id, const uint32_t* items, uint32_t num_items) {
  debug_log('N', 2, "Node_StoreDbHeader(db_name=\"%s\", num_items=%d)", LogText(db_name).c_str(),
            static_cast<int>(num_items));
  TagBuf t(Node_ATT_HEAD_DB);
  t.str(db_name);
  t.u32(flags);
  t.u32(node_id);
  t.u32(num_items);
  for (uint32_t i = 0; i < num_items; ++i) t.u32(items[i]);
  return t.write(stream);
}

int Node_BeginArchive(Archive_STREAM* stream, const char* db_name, uint32_t flags, uint32_t node_id,
                      const uint32_t* items, uint32_t num_items) {
  debug_log('N', 2, "Node_BeginArchive(db_name=\"%s\", num_items=%d)", LogText(db_name).c_str(),
            static_cast<int>(num_items));
  if (block_tag(stream, Node_ATT_BEGIN, Node_ATT_HEAD) != 0 ||
      Node_StoreArchiveHeader(stream) != 0 ||
      Node_StoreDbHeader(stream, db_name, flags, node_id, items, num_items) != 0)
    return -1;
  return block_tag(stream, Node_ATT_END, Node_ATT_HEAD);
}

int Node_EndArchive(Archive_STREAM* stream) {
  debug_log('N', 2, "Node_EndArchive()");
  return write_head(stream, Node_ATT_EOF, 0);
}

int Node_StoreInfo(Archive_STREAM* stream, const char* format, ...) {
  vbuf* b = VBUF_OPEN(8192);
  ZENT_ASSERT(b != nullptr && "Node_StoreInfo() failed on VBuf_Open()");
  auto* text = static_cast<char*>(b->data);
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, b->size, format, ap);
  va_end(ap);
  debug_log('N', 2, "Node_StoreInfo(\"%s\")", LogText(text).c_str());
  size_t n = strlen(text);
  int rc = 0;
  if (n != 0) {
    if (n > Node_ARCHIVE_MAX_STRING) n = Node_ARCHIVE_MAX_STRING;
    TagBuf t(Node_ATT_INFO);
    t.bytes(reinterpret_cast<const uint8_t*>(text), n);
    rc = t.write(stream);
  }
  VBuf_Close(b);
  return rc;
}

int Node_BeginColl(Archive_STREAM* stream) {
  return block_tag(stream, Node_ATT_BEGIN, Node_ATT_COLL);
}
int Node_EndColl(Archive_STREAM* stream) { return block_tag(stream, Node_ATT_END, Node_ATT_COLL); }

int Node_StoreColl(Archive_STREAM* stream, uint32_t id, const char* name, uint32_t value1,
                   uint32_t value2, uint32_t value3, uint32_t map_size, const uint8_t* map) {
  debug_log('N', 3, "Node_StoreColl(id=%d, name=\"%s\", map_sz=%u)", static_cast<int>(id), LogText(name).c_str(),
            map_size);
  TagBuf t(Node_ATT_COLL_DATA);
  t.u32(id);
  t.str(name);
  t.u32(value1);
  t.u32(value2);
  t.u32(value3);
  t.u32(map_size);
  t.bytes(map, map_size);
  return t.write(stream);
}

// --- Node blocks
// ----------------------------------------------------------------------------------

int Node_StoreNodeDescriptor(Archive_STREAM* stream, Node* node, Node_ARCHIVE_DESC* desc) {
  debug_log('N', 3, "Node_StoreNodeDescriptor(node=%s)", Node_Name(node));
  *desc = Node_ARCHIVE_DESC{};
  desc->node_id = node->node.node_id;
  desc->node_type = node->node.node_type;
  desc->cluster_size = node->node.cluster_size;
  desc->flags = node->node.flags;
  desc->used_clusters = Node_CountItems(node, &node->node.ulist);
  desc->flist_items =
      Node_TestFlag(Node_POOLNODE, node) ? Node_CountFlistItems(node, &node->node.flist) : 0;
  desc->min_block_size = node->node.min_block_size;
  desc->avg_block_size = node->node.avg_block_size;
  desc->reserved = node->node.reserved;
  uint8_t b[Node_TAG_HEAD_SIZE + Node_ARCHIVE_DESC_SIZE];
  Node_EncodeTagHead(Node_TAGHEAD{Node_ATT_NODE_DESC, Node_ARCHIVE_DESC_SIZE}, b);
  Node_EncodeArchiveDesc(*desc, b + Node_TAG_HEAD_SIZE);
  return write_bytes(stream, b, sizeof b);
}

int Node_StoreNodeMetaData(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC*) {
  const uint32_t size = Node_GetMetaSize(node);
  if (!Node_AddrValid(&node->node.meta_addr) || size == 0) {
    debug_log('N', 3, "Node_StoreNodeMetaData(node=%s) node does not have any meta data",
              Node_Name(node));
    return 0;
  }
  debug_log('N', 3, "Node_StoreNodeMetaData(node=%s) size of meta data is %u bytes",
            Node_Name(node), size);
  vbuf* b = VBUF_OPEN(Node_TAG_HEAD_SIZE + size);
  auto* buf = static_cast<uint8_t*>(b->data);
  Node_EncodeTagHead(Node_TAGHEAD{Node_ATT_NODE_META, size}, buf);
  int rc = 0;
  if (Node_RefCount(node) > 0) {
    // The copy of a referenced node is newer than its block.
    memcpy(buf + Node_TAG_HEAD_SIZE, Node_GetMetaData(node), size);
  } else if (NodePool_ReadMeta(&node->node.meta_addr, buf + Node_TAG_HEAD_SIZE, size,
                               Node_TestFlag(Node_LOGNODE, node)) != static_cast<int>(size)) {
    debug_log('N', 0, "Node_StoreNodeMetaData(node=%s) failed on SysPool_ReadItem()",
              Node_Name(node));
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE);
    rc = -1;
  }
  if (rc == 0) rc = write_bytes(stream, buf, Node_TAG_HEAD_SIZE + size);
  VBuf_Close(b);
  return rc;
}

namespace {

// The trace line of a list tag: how many entries it promises.
void trace_count(const char* fn, Node* node, uint32_t expected, const char* empty,
                 const char* unit) {
  if (expected == 0)
    debug_log('N', 3, "%s(node=%s) %s - checking consistency", fn, Node_Name(node), empty);
  else
    debug_log('N', 3, "%s(node=%s) %u %s%s", fn, Node_Name(node), expected, unit,
              expected == 1 ? "" : "s");
}

// Calls each(start, count, first) for every used cluster, under the
// count the descriptor tag promised. 0 or -1.
template <class Each>
int walk_clusters(const char* fn, Node* node, uint32_t expected, Each each) {
  trace_count(fn, node, expected, "node is empty", "data cluster");
  uint32_t found = 0;
  Node_ITER iter;
  uint32_t start = 0, count = 0;
  for (int rc = Node_FirstCluster(node, &start, &count, &iter); rc == 0;
       rc = Node_NextCluster(node, &start, &count, &iter)) {
    if (++found > expected) return count_error(fn, node, true, "data clusters", expected);
    if (each(start, count, found == 1) != 0) return -1;
  }
  if (found < expected) return count_error(fn, node, false, "data clusters", expected);
  return 0;
}

}  // namespace

int Node_StorePoolItemFreeList(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc) {
  static const char kFn[] = "Node_StorePoolItemFreeList";
  if (!Node_TestFlag(Node_POOLNODE, node)) return 0;
  const uint32_t expected = desc->flist_items;
  trace_count(kFn, node, expected, "free-list is empty", "free-list item");
  uint32_t found = 0;
  for (uint32_t page = node->node.flist.head; page != 0;) {
    Node_PGVEC vec;
    Node_GetFlistPageReadOnly(node, page, &vec);
    const auto* bytes = reinterpret_cast<const uint8_t*>(vec.buf);
    const Node_FLIST head = Node_DecodeFlist(bytes);
    ZENT_ASSERT(head.first_item < static_cast<uint32_t>(Node_FLIST_NUMITEMS));
    ZENT_ASSERT(head.last_item <= static_cast<uint32_t>(Node_FLIST_NUMITEMS));
    int rc = 0;
    for (uint32_t i = head.first_item; i < head.last_item && rc == 0; ++i) {
      const uint8_t* item = bytes + Node_FitemOffset(static_cast<int>(i));
      if (Node_DecodeAddr(item).cluster == 0) continue;
      if (++found > expected) {
        rc = count_error(kFn, node, true, "items in free-list", expected);
        break;
      }
      if (found == 1 && write_head(stream, Node_ATT_NODE_FLIST,
                                   expected * static_cast<uint32_t>(Node_ADDR_SIZE)) != 0)
        rc = -1;
      if (rc == 0) rc = write_bytes(stream, item, Node_ADDR_SIZE);
    }
    Node_ReleaseCluster(node, 1, &vec);
    if (rc != 0) return -1;
    page = head.next_page;
  }
  if (found < expected) return count_error(kFn, node, false, "items in free-list", expected);
  return 0;
}

int Node_StoreUsedList(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc) {
  const uint32_t expected = desc->used_clusters;
  return walk_clusters(
      "Node_StoreUsedList", node, expected, [&](uint32_t start, uint32_t count, bool first) {
        if (first &&
            write_head(stream, Node_ATT_NODE_ULIST,
                       expected * static_cast<uint32_t>(Node_ARCHIVE_ULIST_ITEM_SIZE)) != 0)
          return -1;
        uint8_t item[Node_ARCHIVE_ULIST_ITEM_SIZE];
        le_put32(item, start);
        item[4] = static_cast<uint8_t>(count);
        return write_bytes(stream, item, sizeof item);
      });
}

int Node_StoreNodeData(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc) {
  return walk_clusters(
      "Node_StoreNodeData", node, desc->used_clusters, [&](uint32_t start, uint32_t count, bool) {
        ZENT_ASSERT(count >= 1 && count <= static_cast<uint32_t>(Vol_MAXCLUST));
        uint8_t head[Node_TAG_HEAD_SIZE + 4];
        Node_EncodeTagHead(Node_TAGHEAD{Node_ATT_NODE_CLUSTER, 4 + count * Vol_PAGESIZE}, head);
        le_put32(head + Node_TAG_HEAD_SIZE, start);
        if (write_bytes(stream, head, sizeof head) != 0) return -1;
        Node_PGVEC vec[Vol_MAXCLUST];
        Node_GetClusterReadOnly(node, start, static_cast<int>(count), vec, node_mode(node));
        int rc = 0;
        for (uint32_t i = 0; i < count && rc == 0; ++i)
          rc = write_bytes(stream, vec[i].buf, Vol_PAGESIZE);
        Node_ReleaseCluster(node, static_cast<int>(count), vec);
        return rc;
      });
}

int Node_StoreNode(Archive_STREAM* stream, Node* node) {
  if (Node_TestFlag(Node_NO_ULIST, node)) {
    // Its clusters cannot be found: storing it would lose its data.
    debug_log('N', 0,
              "Node_StoreSingle(node=%s) failed: node does not maintain list of used clusters",
              Node_Name(node));
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE);
    return -1;
  }
  debug_log('N', 2, "Node_StoreNode(node=%s)", Node_Name(node));
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  Node_ARCHIVE_DESC desc;
  int rc = block_tag(stream, Node_ATT_BEGIN, Node_ATT_NODE);
  if (rc == 0) rc = Node_StoreNodeDescriptor(stream, node, &desc);
  if (rc == 0) rc = Node_StoreNodeMetaData(stream, node, &desc);
  if (rc == 0) {
    Node_MetaLock(node, __FILE__, __LINE__);
    rc = Node_StorePoolItemFreeList(stream, node, &desc);
    if (rc == 0) rc = Node_StoreUsedList(stream, node, &desc);
    if (rc == 0) rc = Node_StoreNodeData(stream, node, &desc);
    Node_MetaUnlock(node);
  }
  if (rc == 0) rc = block_tag(stream, Node_ATT_END, Node_ATT_NODE);
  Node_Unlock(node);
  return rc;
}
