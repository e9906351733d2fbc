// pool_access.cpp - the pinned window of a pool operation (see
// pool_access.h).
//
// Hot path: positioning within the pages already pinned costs no call into
// the cache; pinning goes in runs of consecutive pages, one buf_Get each.
// Nothing here allocates. Context: the server thread; pinning may suspend
// the task in the buffer cache.
#include "storage/pool_access.h"

#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"

namespace pools {
namespace {

int data_mode(const Node* node) {
  return Node_TestFlag(Node_LOGNODE, node) ? Node_MODE_LOG : Node_MODE_DATA;
}

bool is_pinned(const PoolAccess* pa, uint32_t i) { return (pa->pinned >> i) & 1u; }

void release_page(PoolAccess* pa, uint32_t i) {
  const uint8_t bit = static_cast<uint8_t>(1u << i);
  if (pa->dirty & bit)
    Node_ReleaseClusterDirty(pa->node, 1, &pa->vec[i]);
  else
    Node_ReleaseCluster(pa->node, 1, &pa->vec[i]);
  pa->pinned = static_cast<uint8_t>(pa->pinned & ~bit);
  pa->dirty = static_cast<uint8_t>(pa->dirty & ~bit);
  pa->vec[i] = Node_PGVEC{};
}

// Pins pages [a, b) of the window's cluster that are not pinned yet, in
// runs of consecutive target pages.
void pin_range(PoolAccess* pa, uint32_t a, uint32_t b) {
  for (uint32_t i = a; i < b;) {
    if (is_pinned(pa, i)) {
      ++i;
      continue;
    }
    const uint32_t t = target_page(pa, pa->cluster + i);
    uint32_t run = 1;
    while (i + run < b && !is_pinned(pa, i + run) &&
           target_page(pa, pa->cluster + i + run) == t + run &&
           PAGE_VOLID(t + run) == PAGE_VOLID(t))
      ++run;
    Node_PGVEC got[Vol_MAXCLUST];
    if (Node_CacheGetCluster(pa->node, t, static_cast<int>(run), got, data_mode(pa->node)) != 0)
      ZENT_ASSERT(!"Pool_SeekBlock() failed on Node_CacheGetCluster()");
    for (uint32_t k = 0; k < run; ++k) {
      pa->vec[i + k] = got[k];
      pa->pinned = static_cast<uint8_t>(pa->pinned | (1u << (i + k)));
    }
    i += run;
  }
}

void corrupt_cluster(PoolAccess* pa, const char* what, uint32_t value) {
  if (pa->defensive) {
    pa->corrupt = true;
    return;
  }
  debug_log('N', 0, "Pool_SeekBlock(node=%s) failed: %s (cluster=0x%x, value=%u)",
            Node_Name(pa->node), what, pa->cluster, value);
  panic_assert_failed("Pool_SeekBlock() failed: file is corrupt", __FILE__, __LINE__);
}

}  // namespace

void init_access(PoolAccess* pa, Node* node, Node* tx) {
  *pa = PoolAccess{};
  pa->node = node;
  pa->tx = tx;
  pa->lock_state = Node_LockState(node);
}

uint16_t min_block(const Node* node) {
  const uint16_t m = Node_GetMinBlockSize(node);
  return m < Pool_MIN_BLOCK_SIZE ? Pool_MIN_BLOCK_SIZE : m;
}

void release_window(PoolAccess* pa) {
  for (uint32_t i = 0; i < static_cast<uint32_t>(Vol_MAXCLUST); ++i)
    if (is_pinned(pa, i)) release_page(pa, i);
  pa->cluster = 0;
  pa->cluster_pages = 0;
}

void adopt(PoolAccess* pa, uint32_t cluster, int pages, const Node_PGVEC* vec) {
  release_window(pa);
  pa->cluster = cluster;
  pa->cluster_pages = static_cast<uint16_t>(pages);
  for (int i = 0; i < pages; ++i) {
    pa->vec[i] = vec[i];
    pa->pinned = static_cast<uint8_t>(pa->pinned | (1u << i));
  }
}

void seek(PoolAccess* pa, uint32_t cluster, uint32_t offset, uint32_t length) {
  if (cluster != pa->cluster) {
    release_window(pa);
    pa->cluster = cluster;
  }
  if (pa->cluster_pages == 0) {
    pin_range(pa, 0, 1);
    uint8_t raw[Pool_CLUSTER_HEAD_SIZE];
    memcpy(raw, pa->vec[0].buf, sizeof raw);
    const Pool_CLUSTER_HEAD h = Pool_DecodeClusterHead(raw);
    if (h.num_pages < 1 || h.num_pages > Vol_MAXCLUST) {
      corrupt_cluster(pa, "invalid cluster size", h.num_pages);
      release_window(pa);
      return;
    }
    pa->cluster_pages = h.num_pages;
  }
  const uint32_t first = offset / Vol_PAGESIZE;
  uint32_t end = (offset + (length == 0 ? 1 : length) + Vol_PAGESIZE - 1) / Vol_PAGESIZE;
  if (end > pa->cluster_pages) {
    corrupt_cluster(pa, "range beyond the cluster", offset + length);
    release_window(pa);
    return;
  }
  for (uint32_t i = 0; i < static_cast<uint32_t>(Vol_MAXCLUST); ++i)
    if (is_pinned(pa, i) && (i < first || i >= end)) release_page(pa, i);
  pin_range(pa, first, end);
}

void copy_out(PoolAccess* pa, uint32_t offset, void* dst, uint32_t length) {
  auto* out = static_cast<uint8_t*>(dst);
  if (pa->corrupt) {
    memset(dst, 0, length);
    return;
  }
  while (length > 0) {
    const uint32_t vec_idx = offset / Vol_PAGESIZE;
    const uint32_t in_page = offset % Vol_PAGESIZE;
    ZENT_ASSERT(is_pinned(pa, vec_idx) && "(int)vec_idx < pacc->prev_num_pages");
    const uint32_t n = length < Vol_PAGESIZE - in_page ? length : Vol_PAGESIZE - in_page;
    memcpy(out, pa->vec[vec_idx].buf + in_page, n);
    out += n;
    offset += n;
    length -= n;
  }
}

void copy_in(PoolAccess* pa, uint32_t offset, const void* src, uint32_t length) {
  const auto* in = static_cast<const uint8_t*>(src);
  while (length > 0) {
    const uint32_t vec_idx = offset / Vol_PAGESIZE;
    const uint32_t in_page = offset % Vol_PAGESIZE;
    ZENT_ASSERT(is_pinned(pa, vec_idx) && "(int)vec_idx < pacc->prev_num_pages");
    const uint32_t n = length < Vol_PAGESIZE - in_page ? length : Vol_PAGESIZE - in_page;
    memcpy(pa->vec[vec_idx].buf + in_page, in, n);
    pa->dirty = static_cast<uint8_t>(pa->dirty | (1u << vec_idx));
    in += n;
    offset += n;
    length -= n;
  }
}

Pool_HEADER read_header(PoolAccess* pa, uint32_t cluster, uint32_t offset) {
  seek(pa, cluster, offset, Pool_HEADER_SIZE);
  uint8_t raw[Pool_HEADER_SIZE];
  copy_out(pa, offset, raw, sizeof raw);
  return Pool_DecodeHeader(raw);
}

void write_header(PoolAccess* pa, uint32_t cluster, uint32_t offset, const Pool_HEADER& h) {
  seek(pa, cluster, offset, Pool_HEADER_SIZE);
  uint8_t raw[Pool_HEADER_SIZE];
  Pool_EncodeHeader(h, raw);
  copy_in(pa, offset, raw, sizeof raw);
}

Pool_CLUSTER_HEAD read_cluster_head(PoolAccess* pa, uint32_t cluster) {
  seek(pa, cluster, 0, Pool_CLUSTER_HEAD_SIZE);
  uint8_t raw[Pool_CLUSTER_HEAD_SIZE];
  copy_out(pa, 0, raw, sizeof raw);
  return Pool_DecodeClusterHead(raw);
}

void write_cluster_head(PoolAccess* pa, uint32_t cluster, const Pool_CLUSTER_HEAD& h) {
  seek(pa, cluster, 0, Pool_CLUSTER_HEAD_SIZE);
  uint8_t raw[Pool_CLUSTER_HEAD_SIZE];
  Pool_EncodeClusterHead(h, raw);
  copy_in(pa, 0, raw, sizeof raw);
}

}  // namespace pools
