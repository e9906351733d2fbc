// fpool.cpp - chained FIFO pools (see fpool.h): appending blocks,
// walking the chain both ways, cutting it, and moving one chain behind
// another.
//
// The chain's last block holds in its header the room to its cluster's
// end; every other block holds its own size. So when a cluster is added
// behind the tail, the old last block gets its own size back, and when the
// chain is cut, the new last block gets the room.
//
// Context: the server thread, under the owner's lock; calls may suspend in
// the buffer cache and where the volume set allocates.
#include "storage/fpool.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/buffer_cache.h"
#include "storage/node_tlog_seams.h"
#include "storage/pool.h"
#include "storage/pool_access.h"

using namespace pools;

namespace {

int32_t g_page_delta = 0;

int data_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG : Node_MODE_DATA;
}

bool used(const Pool_HEADER& h) { return Pool_TestFlag(Pool_BLOCKUSED, &h); }

int at_end(FPool_ITER* it, int status) {
  it->addr = Node_ADDR{};
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_R, status);
  return 1;
}

bool is_anchor_last(const FPool_ITER* it, uint32_t cluster, uint32_t off) {
  return cluster == it->anch->last_block.cluster && off == it->anch->last_block.offset;
}

// Puts it on the block at (cluster, off) whose header is h: the anchor's
// last block yields the anchor's size, any other its header's.
void land(FPool_ITER* it, uint32_t cluster, uint32_t off, const Pool_HEADER& h) {
  uint16_t size = h.size;
  if (is_anchor_last(it, cluster, off)) {
    ZENT_ASSERT(it->anch->last_block.offset == off && "iter->anch->last_block.offset == iter->addr.offset");
    size = it->anch->last_block.size;
  }
  it->addr = Node_ADDR{cluster, static_cast<uint16_t>(off), size};
}

// During recovery a step onto the true end of the chain makes the anchor
// agree with it (the chain may have grown past what the anchor on disk says).
void settle_end(FPool_ITER* it, const Pool_HEADER& h) {
  if (!Tlog_IsRecovering() || h.next != 0 || it->next_cluster != 0) return;
  if (is_anchor_last(it, it->addr.cluster, it->addr.offset)) return;
  it->anch->tail = it->addr.cluster;
  it->anch->last_block = it->addr;
}

void enter(FPool_ITER* it, PoolAccess* pa, uint32_t cluster, Pool_CLUSTER_HEAD* out = nullptr) {
  const Pool_CLUSTER_HEAD ch = read_cluster_head(pa, cluster);
  it->prev_cluster = ch.prev;
  it->next_cluster = ch.next;
  if (out != nullptr) *out = ch;
}

// Every cluster of the chain from first on, following the heads.
template <typename Fn>
void for_each_cluster(Node* node, uint32_t first, Fn fn) {
  PoolAccess pa;
  init_access(&pa, node, nullptr);
  for (uint32_t c = first; c != 0;) {
    const Pool_CLUSTER_HEAD ch = read_cluster_head(&pa, c);
    release_window(&pa);
    fn(c, ch);
    c = ch.next;
  }
}

int step_next(FPool_ITER* it, bool defensive) {
  if (!Node_AddrValid(&it->addr)) return at_end(it, FPool_S_AFTER_LAST);
  PoolAccess pa;
  init_access(&pa, it->node, nullptr);
  pa.defensive = defensive;
  const uint32_t cl = it->addr.cluster;
  const uint32_t off = it->addr.offset;
  const Pool_HEADER h = read_header(&pa, cl, off);
  auto bad_header = [&](uint32_t at) {
    debug_log('L', 0, "FPool_DefensiveNext(node=%s): header inconsistency (cluster=%u, offset=%u) "
              "file %s, line %d", Node_Name(it->node), cl, at, __FILE__, __LINE__);
    release_window(&pa);
    return -1;
  };
  if (defensive && (pa.corrupt || !used(h))) return bad_header(off);
  if (!Tlog_IsRecovering() && is_anchor_last(it, cl, off)) {
    release_window(&pa);
    return at_end(it, FPool_S_AFTER_LAST);
  }
  if (h.next != 0) {
    const uint32_t noff = off + h.next;
    const Pool_HEADER nh = read_header(&pa, cl, noff);
    if (defensive && (pa.corrupt || !used(nh) || nh.prev != h.next)) return bad_header(noff);
    land(it, cl, noff, nh);
    settle_end(it, nh);
    release_window(&pa);
    return 0;
  }
  if (it->next_cluster == 0) {
    release_window(&pa);
    return at_end(it, FPool_S_AFTER_LAST);
  }
  const uint32_t next = it->next_cluster;
  Pool_CLUSTER_HEAD ch;
  enter(it, &pa, next, &ch);
  if (defensive && !pa.corrupt && ch.prev != cl) {
    debug_log('L', 0, "FPool_DefensiveNext(node=%s): cluster link inconsistency (prev=%u, "
              "expected: %u) file %s, line %d", Node_Name(it->node), ch.prev, cl, __FILE__,
              __LINE__);
    release_window(&pa);
    return -1;
  }
  const Pool_HEADER nh = read_header(&pa, next, Pool_CLUSTER_HEAD_SIZE);
  if (defensive && (pa.corrupt || !used(nh) || nh.prev != 0))
    return bad_header(Pool_CLUSTER_HEAD_SIZE);
  land(it, next, Pool_CLUSTER_HEAD_SIZE, nh);
  settle_end(it, nh);
  release_window(&pa);
  return 0;
}

int first(Node* node, FPool_ANCHOR* anchor, FPool_ITER* it, bool defensive) {
  it->node = node;
  it->anch = anchor;
  it->prev_cluster = it->next_cluster = 0;
  if (!FPool_ValidAnchor(anchor)) return at_end(it, FPool_S_AFTER_LAST);
  PoolAccess pa;
  init_access(&pa, node, nullptr);
  pa.defensive = defensive;
  enter(it, &pa, anchor->head);
  const Pool_HEADER h = read_header(&pa, anchor->head, Pool_CLUSTER_HEAD_SIZE);
  if (defensive && (pa.corrupt || !used(h) || h.prev != 0 || it->prev_cluster != 0)) {
    debug_log('L', 0, "FPool_DefensiveNext(node=%s): header inconsistency (cluster=%u, offset=%u) "
              "file %s, line %d", Node_Name(node), anchor->head, Pool_CLUSTER_HEAD_SIZE, __FILE__,
              __LINE__);
    release_window(&pa);
    return -1;
  }
  land(it, anchor->head, Pool_CLUSTER_HEAD_SIZE, h);
  if (defensive) settle_end(it, h);
  release_window(&pa);
  return 0;
}

// The room from the header at off to the end of a cluster of pages.
uint16_t room_at(uint16_t pages, uint32_t off) {
  return static_cast<uint16_t>(cluster_bytes(pages) - off - Pool_HEADER_SIZE);
}

// The segments of a block's bytes, behind its header at off.
void put_data(PoolAccess* pa, uint32_t cluster, uint32_t off, const Pool_IOVEC* vec, int segn) {
  uint32_t total = 0;
  for (int i = 0; i < segn; ++i) total += vec[i].size;
  if (total == 0) return;
  seek(pa, cluster, off + Pool_HEADER_SIZE, total);
  uint32_t at = off + Pool_HEADER_SIZE;
  for (int i = 0; i < segn; ++i) {
    copy_in(pa, at, vec[i].buf, vec[i].size);
    at += vec[i].size;
  }
}

int append(Node* node, uint32_t size, const Pool_IOVEC* data, int segn, Node_ADDR* addr,
           FPool_ANCHOR* anchor);

}  // namespace

void FPool_InitAnchor(FPool_ANCHOR* anchor) { *anchor = FPool_ANCHOR{}; }

int FPool_ValidAnchor(const FPool_ANCHOR* anchor) { return anchor->last_block.cluster != 0; }

void FPool_SetNoUlist(Node* node) {
  ZENT_ASSERT(!node->node.ulist.head && "!node->node.ulist.head");
  ZENT_ASSERT(!node->node.flist.head && "!node->node.flist.head");
  Node_SetFlag(Node_NO_ULIST, node);
  Node_SetDirty(node);
}

int32_t FPool_PageDelta() { return g_page_delta; }

int FPool_Alloc(Node* node, uint32_t size, Node_ADDR* addr, FPool_ANCHOR* anchor) {
  return append(node, size, nullptr, 0, addr, anchor);
}

int FPool_AllocWrite(Node* node, const Pool_IOVEC* vec, int segn, Node_ADDR* addr,
                     FPool_ANCHOR* anchor) {
  uint32_t size = 0;
  for (int i = 0; i < segn; ++i) size += vec[i].size;
  return append(node, size, vec, segn, addr, anchor);
}

namespace {

int append(Node* node, uint32_t size, const Pool_IOVEC* data, int segn, Node_ADDR* addr,
           FPool_ANCHOR* anchor) {
  ZENT_ASSERT(Node_TestFlag(Node_NO_ULIST, node) && "Node_TestFlag(Node_NO_ULIST, node)");
  ZENT_ASSERT(size != 0 && "size");
  g_page_delta = 0;
  if (size > Pool_MAX_BLOCK_SIZE) {
    debug_log('N', 2, "FPool_Alloc() failed: size %u exceeds maximum block size (%u)", size,
              Pool_MAX_BLOCK_SIZE);
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Pool_E_SIZE);
    return -1;
  }
  PoolAccess pa;
  init_access(&pa, node, nullptr);
  if (FPool_ValidAnchor(anchor)) {
    const Node_ADDR last = anchor->last_block;
    Pool_HEADER h = read_header(&pa, last.cluster, last.offset);
    ZENT_ASSERT(used(h) && !h.next && h.size >= last.size &&
                "last block: used, next 0, room >= size");
    if (h.size >= last.size + size + Pool_HEADER_SIZE) {
      const uint32_t noff = last.offset + last.size + Pool_HEADER_SIZE;
      Pool_HEADER nh;
      nh.prev = static_cast<uint16_t>(last.size + Pool_HEADER_SIZE);
      nh.size = static_cast<uint16_t>(h.size - last.size - Pool_HEADER_SIZE);
      Pool_SetFlag(Pool_BLOCKUSED, &nh);
      write_header(&pa, last.cluster, noff, nh);
      put_data(&pa, last.cluster, noff, data, segn);
      // The block is written before the link to it.
      release_window(&pa);
      h.next = nh.prev;
      h.size = last.size;
      write_header(&pa, last.cluster, last.offset, h);
      Pool_CLUSTER_HEAD ch = read_cluster_head(&pa, last.cluster);
      ch.last_offset = static_cast<uint16_t>(noff);
      write_cluster_head(&pa, last.cluster, ch);
      release_window(&pa);
      anchor->last_block = Node_ADDR{last.cluster, static_cast<uint16_t>(noff),
                                     static_cast<uint16_t>(size)};
      *addr = anchor->last_block;
      return 0;
    }
  }
  Node_UpdateBlockStats(node, size);
  const int pages = Pool_ClusterPages(node, size);
  Node_PGVEC vec[Vol_MAXCLUST];
  if (Node_AllocCluster(node, pages, vec, data_mode(node), nullptr) != 0) {
    release_window(&pa);
    return -1;
  }
  const uint32_t start = vec[0].page;
  g_page_delta += pages;
  for (int i = 0; i < pages; ++i) memset(vec[i].buf, 0, Vol_PAGESIZE);
  PoolAccess fresh;
  init_access(&fresh, node, nullptr);
  adopt(&fresh, start, pages, vec);
  write_cluster_head(&fresh, start,
                     Pool_CLUSTER_HEAD{anchor->tail, 0, static_cast<uint16_t>(Pool_CLUSTER_HEAD_SIZE),
                                       static_cast<uint16_t>(pages)});
  Pool_HEADER h;
  h.size = room_at(static_cast<uint16_t>(pages), Pool_CLUSTER_HEAD_SIZE);
  Pool_SetFlag(Pool_BLOCKUSED, &h);
  write_header(&fresh, start, Pool_CLUSTER_HEAD_SIZE, h);
  put_data(&fresh, start, Pool_CLUSTER_HEAD_SIZE, data, segn);
  release_window(&fresh);
  if (anchor->tail != 0) {
    // The old last block keeps its own size now that it is not the last.
    const Node_ADDR last = anchor->last_block;
    Pool_HEADER lh = read_header(&pa, last.cluster, last.offset);
    lh.size = last.size;
    write_header(&pa, last.cluster, last.offset, lh);
    Pool_CLUSTER_HEAD ch = read_cluster_head(&pa, anchor->tail);
    ch.next = start;
    write_cluster_head(&pa, anchor->tail, ch);
  } else {
    ZENT_ASSERT(!anchor->head && "!anchor->head");
    anchor->head = start;
  }
  release_window(&pa);
  anchor->tail = start;
  anchor->last_block =
      Node_ADDR{start, static_cast<uint16_t>(Pool_CLUSTER_HEAD_SIZE), static_cast<uint16_t>(size)};
  *addr = anchor->last_block;
  return 0;
}

}  // namespace

int FPool_First(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter) {
  return first(node, anchor, iter, false);
}

int FPool_DefensiveFirst(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter) {
  return first(node, anchor, iter, true);
}

int FPool_Next(FPool_ITER* iter) { return step_next(iter, false); }
int FPool_DefensiveNext(FPool_ITER* iter) { return step_next(iter, true); }

int FPool_Last(Node* node, FPool_ANCHOR* anchor, FPool_ITER* iter) {
  iter->node = node;
  iter->anch = anchor;
  iter->prev_cluster = iter->next_cluster = 0;
  if (!FPool_ValidAnchor(anchor)) return at_end(iter, FPool_S_BEFORE_FIRST);
  PoolAccess pa;
  init_access(&pa, node, nullptr);
  Pool_CLUSTER_HEAD ch;
  enter(iter, &pa, anchor->tail, &ch);
  const Pool_HEADER h = read_header(&pa, anchor->last_block.cluster, anchor->last_block.offset);
  release_window(&pa);
  ZENT_ASSERT(!h.next && "!header.next");
  ZENT_ASSERT(anchor->last_block.cluster == anchor->tail && "anchor->last_block.cluster == anchor->tail");
  ZENT_ASSERT(anchor->last_block.offset == ch.last_offset &&
              "anchor->last_block.offset == cl_head.last_offset");
  iter->addr = anchor->last_block;
  return 0;
}

int FPool_Prev(FPool_ITER* iter) {
  if (!Node_AddrValid(&iter->addr)) return at_end(iter, FPool_S_BEFORE_FIRST);
  PoolAccess pa;
  init_access(&pa, iter->node, nullptr);
  const uint32_t cl = iter->addr.cluster;
  const uint32_t off = iter->addr.offset;
  const Pool_HEADER h = read_header(&pa, cl, off);
  if (h.prev != 0) {
    const uint32_t poff = off - h.prev;
    land(iter, cl, poff, read_header(&pa, cl, poff));
    release_window(&pa);
    return 0;
  }
  if (iter->prev_cluster == 0) {
    release_window(&pa);
    return at_end(iter, FPool_S_BEFORE_FIRST);
  }
  const uint32_t prev = iter->prev_cluster;
  Pool_CLUSTER_HEAD ch;
  enter(iter, &pa, prev, &ch);
  land(iter, prev, ch.last_offset, read_header(&pa, prev, ch.last_offset));
  release_window(&pa);
  return 0;
}

int FPool_Truncate(Node* node, const Node_ADDR* addr, FPool_ANCHOR* anchor) {
  g_page_delta = 0;
  if (!FPool_ValidAnchor(anchor)) return 0;
  PoolAccess pa;
  init_access(&pa, node, nullptr);
  uint32_t free_from = 0;
  if (addr == nullptr || !Node_AddrValid(addr)) {
    free_from = anchor->head;
    FPool_InitAnchor(anchor);
  } else {
    const uint32_t cl = addr->cluster;
    const Pool_HEADER h = read_header(&pa, cl, addr->offset);
    Pool_CLUSTER_HEAD ch = read_cluster_head(&pa, cl);
    if (h.prev != 0) {
      // The block before becomes the last: its header takes the room.
      const uint32_t poff = addr->offset - h.prev;
      Pool_HEADER ph = read_header(&pa, cl, poff);
      const uint16_t own = ph.size;
      ph.next = 0;
      ph.size = room_at(ch.num_pages, poff);
      write_header(&pa, cl, poff, ph);
      free_from = ch.next;
      ch.next = 0;
      ch.last_offset = static_cast<uint16_t>(poff);
      write_cluster_head(&pa, cl, ch);
      anchor->tail = cl;
      anchor->last_block = Node_ADDR{cl, static_cast<uint16_t>(poff), own};
    } else if (ch.prev != 0) {
      const uint32_t p = ch.prev;
      Pool_CLUSTER_HEAD pch = read_cluster_head(&pa, p);
      ZENT_ASSERT(pch.next == cl && "cl_head.next == next_cluster");
      pch.next = 0;
      write_cluster_head(&pa, p, pch);
      Pool_HEADER lh = read_header(&pa, p, pch.last_offset);
      const uint16_t own = lh.size;
      lh.size = room_at(pch.num_pages, pch.last_offset);
      write_header(&pa, p, pch.last_offset, lh);
      anchor->tail = p;
      anchor->last_block = Node_ADDR{p, pch.last_offset, own};
      free_from = cl;
    } else {
      free_from = anchor->head;
      FPool_InitAnchor(anchor);
    }
  }
  release_window(&pa);
  uint32_t c = free_from;
  while (c != 0) {
    const Pool_CLUSTER_HEAD ch = read_cluster_head(&pa, c);
    release_window(&pa);
    Node_FreeClusterPages(node, c, ch.num_pages, nullptr);
    g_page_delta -= ch.num_pages;
    c = ch.next;
  }
  return 0;
}

int FPool_Link(Node* dst_node, FPool_ANCHOR* dst_anchor, Node* src_node, FPool_ANCHOR* src_anchor,
               FPool_ITER* iter, Node_ADDR* last) {
  const Node_ADDR prev_last = dst_anchor->last_block;
  if (last != nullptr) *last = prev_last;
  if (iter != nullptr) {
    iter->node = dst_node;
    iter->anch = dst_anchor;
    iter->addr = Node_ADDR{};
  }
  if (!FPool_ValidAnchor(src_anchor)) {
    FPool_InitAnchor(src_anchor);
    return 0;
  }
  auto hand_over = [&] {
    if (dst_node == src_node) return;
    for_each_cluster(src_node, src_anchor->head, [&](uint32_t c, const Pool_CLUSTER_HEAD& ch) {
      buf_ChangeNode(dst_node, c, ch.num_pages);
    });
  };
  if (!FPool_ValidAnchor(dst_anchor)) {
    hand_over();
    *dst_anchor = *src_anchor;
    FPool_InitAnchor(src_anchor);
    if (iter != nullptr) FPool_First(dst_node, dst_anchor, iter);
    return 0;
  }
  PoolAccess dst;
  init_access(&dst, dst_node, nullptr);
  const Node_ADDR dl = dst_anchor->last_block;
  Pool_HEADER dh = read_header(&dst, dl.cluster, dl.offset);
  const Node_ADDR sl = src_anchor->last_block;
  const uint32_t src_bytes = sl.offset + Pool_HEADER_SIZE + sl.size - Pool_CLUSTER_HEAD_SIZE;
  if (sl.cluster == src_anchor->head && src_bytes <= static_cast<uint32_t>(dh.size - dl.size)) {
    // A source of one cluster that fits: its blocks are copied behind the
    // destination's last block, each through a buffer of its own size.
    const uint16_t dst_pages = dst.cluster_pages;
    PoolAccess src;
    init_access(&src, src_node, nullptr);
    FPool_ITER it;
    uint32_t prev_off = dl.offset;
    uint16_t prev_size = dl.size;
    Node_ADDR first_moved;
    for (int rc = FPool_First(src_node, src_anchor, &it); rc == 0; rc = FPool_Next(&it)) {
      const uint16_t size = it.addr.size;
      const bool is_last = it.addr.offset == sl.offset;
      vbuf* buffer = VBUF_OPEN(size == 0 ? 1u : size);
      seek(&src, it.addr.cluster, it.addr.offset, Pool_HEADER_SIZE + size);
      copy_out(&src, it.addr.offset + Pool_HEADER_SIZE, buffer->data, size);
      const uint32_t off = prev_off + Pool_HEADER_SIZE + prev_size;
      Pool_HEADER nh;
      nh.prev = static_cast<uint16_t>(off - prev_off);
      nh.next = is_last ? 0 : static_cast<uint16_t>(size + Pool_HEADER_SIZE);
      nh.size = is_last ? room_at(dst_pages, off) : size;
      Pool_SetFlag(Pool_BLOCKUSED, &nh);
      write_header(&dst, dl.cluster, off, nh);
      seek(&dst, dl.cluster, off, Pool_HEADER_SIZE + size);
      copy_in(&dst, off + Pool_HEADER_SIZE, buffer->data, size);
      VBuf_Close(buffer);
      if (!Node_AddrValid(&first_moved))
        first_moved = Node_ADDR{dl.cluster, static_cast<uint16_t>(off), size};
      prev_off = off;
      prev_size = size;
      if (is_last) break;
    }
    release_window(&src);
    // The copies are written before the link to them.
    release_window(&dst);
    dh.next = static_cast<uint16_t>(dl.size + Pool_HEADER_SIZE);
    dh.size = dl.size;
    write_header(&dst, dl.cluster, dl.offset, dh);
    Pool_CLUSTER_HEAD ch = read_cluster_head(&dst, dl.cluster);
    ch.last_offset = static_cast<uint16_t>(prev_off);
    write_cluster_head(&dst, dl.cluster, ch);
    release_window(&dst);
    dst_anchor->last_block = Node_ADDR{dl.cluster, static_cast<uint16_t>(prev_off), prev_size};
    if (FPool_Truncate(src_node, nullptr, src_anchor) != 0)
      ZENT_ASSERT(!"FPool_Link() failed on FPool_Truncate()");
    if (iter != nullptr) {
      iter->prev_cluster = ch.prev;
      iter->next_cluster = ch.next;
      iter->addr = first_moved;
      if (first_moved.offset == dst_anchor->last_block.offset)
        iter->addr.size = dst_anchor->last_block.size;
    }
    return 0;
  }
  // Linked whole behind the destination's tail cluster.
  release_window(&dst);
  hand_over();
  // The linked head's way back is written before the link to it: a walk
  // that reaches it checks it.
  Pool_CLUSTER_HEAD head = read_cluster_head(&dst, src_anchor->head);
  head.prev = dst_anchor->tail;
  write_cluster_head(&dst, src_anchor->head, head);
  const Pool_HEADER fh = read_header(&dst, src_anchor->head, Pool_CLUSTER_HEAD_SIZE);
  release_window(&dst);
  dh = read_header(&dst, dl.cluster, dl.offset);
  dh.size = dl.size;
  write_header(&dst, dl.cluster, dl.offset, dh);
  Pool_CLUSTER_HEAD tail = read_cluster_head(&dst, dst_anchor->tail);
  tail.next = src_anchor->head;
  write_cluster_head(&dst, dst_anchor->tail, tail);
  release_window(&dst);
  const uint32_t moved_head = src_anchor->head;
  dst_anchor->tail = src_anchor->tail;
  dst_anchor->last_block = src_anchor->last_block;
  FPool_InitAnchor(src_anchor);
  if (iter != nullptr) {
    iter->prev_cluster = head.prev;
    iter->next_cluster = head.next;
    land(iter, moved_head, Pool_CLUSTER_HEAD_SIZE, fh);
  }
  return 0;
}
