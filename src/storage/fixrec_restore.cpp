// fixrec_restore.cpp - a fixed-record file restored from an archive: its
// meta data checked and cut loose from the archived set, then each cluster
// checked slot by slot, its records counted and its free slots put on a
// free list of new pages that name the new cluster. See fixrec.h and
// README.md ("Fixed-record files").
//
// Why the free list is built again rather than renumbered: its pages are
// not clusters of the node (they are outside the used-cluster list), so
// the archive does not carry them, and the list head and position in the
// archived meta data name pages of the archived set. The slots themselves
// hold no page addresses: a slot's flag is the whole truth about it.
//
// Context: the archive reader's task, with the node referenced by the
// reader and no one else using it. The task may suspend on the node lock,
// in the cache and in the volume set (new list pages).
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "storage/archive_writer.h"
#include "storage/fixrec_internal.h"

using namespace fixrec;

namespace {

int refuse(Node* node, const char* fn, const char* why) {
  debug_log('F', 0, "%s(node=%s) failed: %s", fn, Node_Name(node), why);
  FIXREC_ERROR(Node_E_ARCHIVE);
  return -1;
}

// A run of free slots: n record numbers from first.
struct FreeRun {
  uint32_t first;
  uint32_t n;
};

}  // namespace

int FixRec_RestoreMeta(Node* node, uint8_t* meta, uint32_t size, uint32_t clusters) {
  static const char kFn[] = "FixRec_RestoreMeta";
  FixRec_META m;
  if (FixRec_DecodeMeta(meta, size, &m) != 0) return refuse(node, kFn, "invalid meta data");
  if (m.cluster_size != node->node.cluster_size)
    return refuse(node, kFn, "cluster size differs from the node's");
  if (m.max_recno != uint64_t{clusters} * m.cluster_records)
    return refuse(node, kFn, "max recno does not match the clusters");
  // The counts are taken again from the slots, and the free list is built
  // anew (it names pages the archive does not hold).
  m.free_list = Node_IHEAD{};
  m.free_pos = Node_IPOS{};
  m.first_recno = m.last_recno = m.num_records = 0;
  FixRec_EncodeMeta(m, meta);
  drop_state(node);
  return 0;
}

int FixRec_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                          uint32_t cluster_idx, uint32_t (*)(uint32_t)) {
  static const char kFn[] = "FixRec_RestoreCluster";
  ZENT_ASSERT(node != nullptr && count > 0 && count <= Vol_MAXCLUST && pages != nullptr &&
              page_addr != 0 && "FixRec_RestoreCluster arguments");
  FixRec_META m;
  if (Node_RefCount(node) <= 0 ||
      FixRec_DecodeMeta(static_cast<const uint8_t*>(Node_GetMetaData(node)),
                        Node_GetMetaSize(node), &m) != 0)
    return refuse(node, kFn, "meta data missing or invalid");
  if (static_cast<uint32_t>(count) != m.cluster_size)
    return refuse(node, kFn, "cluster of another page count than the file's");
  // Record numbers follow the used-cluster list: the cluster must stand
  // where its tag says.
  const uint64_t base = uint64_t{cluster_idx} * m.cluster_records;
  if (base >= m.max_recno)
    return refuse(node, kFn, "more clusters than max recno");
  if (cluster_start(node, m, static_cast<uint32_t>(base) + 1) != page_addr)
    return refuse(node, kFn, "cluster out of used-list order");
  uint32_t first = 0, last = 0, used = 0;
  std::vector<FreeRun> runs;
  for (uint32_t slot = 0; slot < m.cluster_records; ++slot) {
    const uint32_t off = slot * m.slot_size;
    const uint8_t flag = pages[off / Vol_PAGESIZE][off % Vol_PAGESIZE];
    const uint32_t recno = static_cast<uint32_t>(base) + slot + 1;
    if (flag == FixRec_USED) {
      if (first == 0) first = recno;
      last = recno;
      ++used;
    } else if (flag == FixRec_DELETED) {
      if (!runs.empty() && runs.back().first + runs.back().n == recno)
        runs.back().n++;
      else
        runs.push_back({recno, 1});
    } else {
      debug_log('F', 0, "%s(node=%s) failed: invalid slot flag 0x%02x, recno=%u", kFn,
                Node_Name(node), flag, recno);
      FIXREC_ERROR(Node_E_ARCHIVE);
      return -1;
    }
  }
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  NodeList_LOG ctx;
  if (NodeList_InitRootLog(NodeList_ID_FIXREC_FLIST, &ctx) != 0) {
    Node_Unlock(node);
    return -1;
  }
  if (used != 0) {
    // Clusters come in list order: this one's records follow the others'.
    if (m.first_recno == 0) m.first_recno = first;
    m.last_recno = last;
    m.num_records += used;
  }
  int rc = 0;
  int head_dirty = 0;
  for (const FreeRun& run : runs) {
    const Node_ITEM item{run.first, page_addr};
    if (Node_FillItems(node, &m.free_list, &item, run.n, &head_dirty, nullptr, &ctx) != 0) {
      // What was added is in the head below: deleting the node drops it.
      rc = refuse(node, kFn, "no space for the free list");
      break;
    }
  }
  m.sequence++;
  put_meta(node, m);
  Node_UpdateMetaData(node);
  if (NodeList_FlushLog(&ctx) != 0) rc = refuse(node, kFn, "free list not logged");
  NodeList_ReleaseLog(&ctx);
  Node_Unlock(node);
  return rc;
}
