// Fixed-record files through the archive writer and reader into a
// fragmented set: files of 1- and 8-page clusters (slots crossing page
// boundaries) with deleted records read back whole, their free lists built
// on new pages with items naming the new clusters, a put reusing a freed
// number in the restored file's own slot and never the archived one's; and
// a table of corrupted archives of such files, each refused with VOL E090
// and the set left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include "storage/archive_roundtrip.h"
#include "storage/fixrec_fixture.h"
#include "storage/fragment_set.h"

namespace {

using namespace fixrec_test;
using archive_test::Tags;
using Bytes = std::vector<uint8_t>;

// Byte offsets in the 68-byte meta data.
constexpr size_t kMetaClusterSize = 12;
constexpr size_t kMetaClusterRecords = 16;
constexpr size_t kMetaMaxRecno = 56;

struct FreeList {
  std::map<uint32_t, uint32_t> items;  // recno -> start page
  std::set<uint32_t> pages;
  uint32_t repeats = 0;  // items of a recno listed before
};

class FixRecRestoreTest : public FixRecFixture {
 protected:
  // A file of size-byte records in clusters of cluster_size pages: puts
  // records 1..n, then deletes those of gone.
  Node* file(uint32_t size, int cluster_size, uint32_t n, const std::set<uint32_t>& gone) {
    Node* f = make(size, cluster_size);
    Node* tx = begin();
    for (uint32_t i = 1; i <= n; ++i) EXPECT_EQ(put(f, tx, record(size, i)), i);
    commit(tx);
    tx = begin();
    for (uint32_t r : gone) EXPECT_EQ(remove(f, tx, r), 0) << r;
    commit(tx);
    release_locks();
    return f;
  }
  void make_files() {
    // 81 slots a 1-page cluster: 4 clusters.
    small_ = file(100, 1, 250, {1, 81, 82, 250});
    // 65 slots of 1001 bytes an 8-page cluster, slot 8 (recno 9) across
    // pages 0 and 1: 3 clusters.
    large_ = file(1000, 8, 150, {3, 9, 70, 140});
  }

  static std::vector<uint32_t> starts(Node* f) {
    std::vector<uint32_t> out;
    Node_ITER it;
    uint32_t start = 0;
    for (int rc = Node_FirstCluster(f, &start, nullptr, &it); rc == 0;
         rc = Node_NextCluster(f, &start, nullptr, &it))
      out.push_back(start);
    return out;
  }
  static FreeList free_list(Node* f) {
    const FixRec_META m = FixRec_GetMetaCopy(f);
    FreeList out;
    Node_ITER it;
    Node_ITEM item;
    for (int rc = Node_FirstItem(f, &m.free_list, &item, &it); rc == 0;
         rc = Node_NextItem(f, &m.free_list, &item, &it)) {
      out.repeats += static_cast<uint32_t>(out.items.count(item.id));
      out.items[item.id] = item.count;
      out.pages.insert(it.page);
    }
    return out;
  }

  static void settle() { Vol_FreeDelayedList(Vol_TakeDelayedFrees()); }
  struct SetState {
    uint32_t nodes;
    size_t meta_blocks;
    uint32_t free;
    bool operator==(const SetState&) const = default;
  };
  SetState set_state() {
    settle();
    return {num_nodes(), NodeFixture::pool.blocks.size(), free_pages()};
  }
  // Restored nodes, opened (closed again at tear-down).
  std::vector<Node*> restore_open(const Bytes& bytes) {
    std::vector<Node_RESTORED> out;
    EXPECT_EQ(archive_test::restore_nodes(bytes, &out), 0);
    std::vector<Node*> nodes;
    for (const Node_RESTORED& r : out) {
      EXPECT_EQ(Node_Open(r.node), 0);
      open_.push_back(r.node);
      nodes.push_back(r.node);
    }
    return nodes;
  }

  Node* small_ = nullptr;
  Node* large_ = nullptr;
};

TEST_F(FixRecRestoreTest, RecordsReadBackAndTheFreeListNamesTheNewClusters) {
  make_files();
  const std::vector<Node*> originals = {small_, large_};
  const Bytes archive = archive_test::store_nodes(originals);
  storage_test::fragment_set(300);
  const std::vector<Node*> restored = restore_open(archive);
  ASSERT_EQ(restored.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    Node* o = originals[i];
    Node* r = restored[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(Node_GetType(r), NodeType_FR);
    const auto want = contents(o);
    EXPECT_EQ(digest(contents(r)), digest(want));
    EXPECT_EQ(digest(walk(r)), digest(want));
    EXPECT_EQ(digest(walk(r, true)), digest(want));
    const FixRec_META mo = FixRec_GetMetaCopy(o);
    const FixRec_META mr = FixRec_GetMetaCopy(r);
    EXPECT_EQ(mr.slot_size, mo.slot_size);
    EXPECT_EQ(mr.cluster_size, mo.cluster_size);
    EXPECT_EQ(mr.max_recno, mo.max_recno);
    EXPECT_EQ(mr.counter, mo.counter);
    EXPECT_EQ(meta_counts(r), meta_counts(o));
    EXPECT_EQ(meta_counts(r), counted(r));
    const std::vector<uint32_t> so = starts(o), sr = starts(r);
    ASSERT_EQ(sr.size(), so.size());
    EXPECT_NE(sr, so);  // the restore landed elsewhere
    // Every free slot is listed once, with its restored cluster (the
    // archived list also holds items taken before its position); the list
    // lies on pages of its own, none of the archived file's.
    const FreeList fo = free_list(o), fr = free_list(r);
    EXPECT_GT(fo.repeats, 0u);
    EXPECT_EQ(fr.repeats, 0u);
    std::set<uint32_t> free_slots;
    for (uint32_t n = 1; n <= mr.max_recno; ++n)
      if (want.count(n) == 0) free_slots.insert(n);
    std::set<uint32_t> listed;
    for (const auto& [recno, start] : fr.items) {
      listed.insert(recno);
      EXPECT_EQ(start, sr[(recno - 1) / mr.cluster_records]) << recno;
    }
    EXPECT_EQ(listed, free_slots);
    EXPECT_FALSE(fr.pages.empty());
    for (uint32_t page : fr.pages) {
      EXPECT_EQ(fo.pages.count(page), 0u) << page;
      for (const std::vector<uint32_t>* s : {&so, &sr})
        for (uint32_t start : *s)
          EXPECT_FALSE(page >= start && page < start + mr.cluster_size) << page;
    }
  }

  // A put takes the lowest freed number and writes the restored file's
  // slot; the archived file is not touched.
  const Bytes before = file_image(large_);
  Node* r = restored[1];
  Node* tx = begin();
  const auto data = record(1000, 777);
  EXPECT_EQ(put(r, tx, data), 3u);
  EXPECT_EQ(put(restored[0], tx, record(100, 778)), 1u);
  commit(tx);
  EXPECT_EQ(read(r, 3), data);
  EXPECT_EQ(read(restored[0], 1), record(100, 778));
  const Bytes image = file_image(r);
  const uint32_t off = 2 * 1001;
  EXPECT_EQ(image[off], FixRec_USED);
  EXPECT_EQ(Bytes(image.begin() + off + 1, image.begin() + off + 1001), data);
  EXPECT_EQ(file_image(large_), before);
  EXPECT_TRUE(read(large_, 3).empty());
  EXPECT_EQ(meta_counts(r), counted(r));
  // The checkpoint walks the new list like any other.
  ASSERT_EQ(FixRec_Checkpoint(r), 0);
  tx = begin();
  EXPECT_EQ(put(r, tx, record(1000, 779)), 9u);
  commit(tx);
  EXPECT_EQ(read(r, 9), record(1000, 779));
}

struct Corruption {
  const char* name;
  std::function<void(Tags*)> edit;
};

// The large file is the second node: its meta data tag is the second,
// its clusters the 5th to 7th cluster tags.
constexpr int kLargeMeta = 1;
constexpr int kLargeCluster = 4;

const Corruption kCorruptions[] = {
    {"SlotFlag",
     [](Tags* t) { t->data(Node_ATT_NODE_CLUSTER, kLargeCluster + 2)[4 + 10 * 1001] = 'X'; }},
    {"MaxRecno",
     [](Tags* t) {
       uint8_t* m = t->data(Node_ATT_NODE_META, kLargeMeta);
       le_put32(m + kMetaMaxRecno, le_get32(m + kMetaMaxRecno) + 1);
     }},
    {"MetaHeader", [](Tags* t) { t->data(Node_ATT_NODE_META, kLargeMeta)[0] ^= 0xFF; }},
    {"ClusterSize",
     [](Tags* t) {
       uint8_t* m = t->data(Node_ATT_NODE_META, kLargeMeta);
       le_put32(m + kMetaClusterSize, 4);
       le_put32(m + kMetaClusterRecords, 4 * 8192 / 1001);
     }},
    {"ClusterOrder",
     [](Tags* t) {
       std::swap(t->tags[t->find(Node_ATT_NODE_CLUSTER, kLargeCluster)],
                 t->tags[t->find(Node_ATT_NODE_CLUSTER, kLargeCluster + 1)]);
     }},
    {"MetaMissing",
     [](Tags* t) {
       t->tags.erase(t->tags.begin() + static_cast<long>(t->find(Node_ATT_NODE_META, kLargeMeta)));
     }},
};

TEST_F(FixRecRestoreTest, CorruptedArchivesAreRefusedWithTheSetUnchanged) {
  make_files();
  const Bytes good = archive_test::store_nodes({small_, large_});
  storage_test::fragment_set(300);
  for (const Corruption& c : kCorruptions) {
    SCOPED_TRACE(c.name);
    Tags t = Tags::split(good);
    c.edit(&t);
    const SetState before = set_state();
    std::vector<Node_RESTORED> out;
    EXPECT_EQ(archive_test::restore_nodes(t.join(), &out), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(get_error(), make_error_status(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE));
    EXPECT_EQ(set_state(), before);
    // The good archive still restores, and its nodes go again whole.
    ASSERT_EQ(archive_test::restore_nodes(good, &out), 0);
    ASSERT_EQ(out.size(), 2u);
    for (const Node_RESTORED& n : out) ASSERT_EQ(Node_Delete(n.node), 0);
    EXPECT_EQ(set_state(), before);
  }
}

}  // namespace
