// Item lists and cluster I/O over a fixture volume set: lists across page
// boundaries, deletion and the pages it removes, iteration while the list
// changes, taking items from the front, fills, the used-cluster list, a
// model-based run against a plain vector, and redo of the recorded changes
// applied once and twice; records whose ranges leave a page stop the
// process.
#include "storage/node_cluster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "storage/node_fixture.h"
#include "storage/node_log.h"

namespace {

using namespace node_test;

// A list's head and every page of it, as bytes: what redo must rebuild.
struct ListImage {
  Node_IHEAD head;
  std::map<uint32_t, std::vector<uint8_t>> pages;
  bool operator==(const ListImage& o) const {
    return head.head == o.head.head && head.tail == o.head.tail &&
           head.num_pages == o.head.num_pages && head.timestamp == o.head.timestamp &&
           pages == o.pages;
  }
};

class ItemListTest : public NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    start();
    node = Node_Create(1);
    ASSERT_NE(node, nullptr);
    ctx = test_ctx();
  }

  int add(uint32_t id, NodeList_LOG* log = nullptr) {
    Node_ITEM item{id, id % 7 + 1};
    int dirty = 0;
    return Node_AddItem(node, &head, &item, &dirty, nullptr, log);
  }
  int del(uint32_t id, NodeList_LOG* log = nullptr) {
    Node_ITEM item{id, 0};
    int dirty = 0;
    return Node_DeleteItem(node, &head, &item, &dirty, log);
  }
  using Step = int (*)(Node*, const Node_IHEAD*, Node_ITEM*, Node_ITER*);
  std::vector<uint32_t> walk(Step step) {
    std::vector<uint32_t> out;
    Node_ITER it;
    Node_ITEM item;
    Node_InitItemIter(node, &head, &it);
    while (step(node, &head, &item, &it) == 0) out.push_back(item.id);
    return out;
  }
  std::vector<uint32_t> forward() { return walk(Node_NextItem); }
  std::vector<uint32_t> backward() { return walk(Node_PrevItem); }
  Node_ILIST page_head(uint32_t page) {
    Node_PGVEC v;
    Node_GetItemPageReadOnly(node, page, &v);
    const Node_ILIST h = Node_DecodeIlist(reinterpret_cast<uint8_t*>(v.buf));
    Node_ReleaseCluster(node, 1, &v);
    return h;
  }
  std::vector<uint32_t> page_counts() {
    std::vector<uint32_t> out;
    for (uint32_t p = head.head; p != 0; p = page_head(p).next_page)
      out.push_back(page_head(p).num_items);
    return out;
  }
  ListImage image(const Node_IHEAD& h) {
    ListImage im;
    im.head = h;
    for (uint32_t p = h.head; p != 0;) {
      Node_PGVEC v;
      Node_GetItemPageReadOnly(node, p, &v);
      const auto* b = reinterpret_cast<const uint8_t*>(v.buf);
      im.pages[p].assign(b, b + Node_ILIST_USED);
      p = Node_DecodeIlist(b).next_page;
      Node_ReleaseCluster(node, 1, &v);
    }
    return im;
  }
  // Applies every list record of the node kept so far to h.
  void replay(Node_IHEAD* h) {
    for (const LogRecord& r : sink.records) {
      if (r.node != node || r.opcode < NodeList_OP_PAGE) continue;
      int dirty = 0;
      ASSERT_EQ(Node_RecoverListRecord(node, h, r.opcode, r.data.data(), r.data.size(), &dirty),
                0);
    }
  }
  // The records replayed on an empty head rebuild the list; replayed again
  // they change nothing.
  void expect_redo_rebuilds_and_is_idempotent() {
    const ListImage want = image(head);
    Node_IHEAD h{};
    replay(&h);
    EXPECT_TRUE(image(h) == want);
    replay(&h);
    EXPECT_TRUE(image(h) == want);
    EXPECT_EQ(h.timestamp, head.timestamp);
  }

  Node* node = nullptr;
  Node_IHEAD head{};
  NodeList_LOG ctx;
};

TEST_F(ItemListTest, The1020thItemMakesASecondPageAndDeletingItTakesThePageAway) {
  for (uint32_t id = 1; id <= 1019; ++id) ASSERT_EQ(add(id), 0);
  EXPECT_EQ(head.num_pages, 1u);
  const uint32_t first = head.head;
  const uint32_t ts = head.timestamp;
  ASSERT_EQ(add(1020), 0);
  EXPECT_EQ(head.num_pages, 2u);
  EXPECT_NE(head.tail, first);
  EXPECT_EQ(page_head(first).next_page, head.tail);
  EXPECT_EQ(page_head(head.tail).prev_page, first);
  EXPECT_EQ(head.timestamp, ts + 1);
  const uint32_t free_before = free_pages();
  ASSERT_EQ(del(1020), 0);
  EXPECT_EQ(head.num_pages, 1u);
  EXPECT_EQ(head.tail, first);
  EXPECT_EQ(page_head(first).next_page, 0u);
  EXPECT_EQ(free_pages(), free_before + 1);  // no log context: freed at once
  EXPECT_EQ(Node_CountItems(node, &head), 1019u);
}

TEST_F(ItemListTest, DeletingTheOnlyItemOfTheHeadPageMovesTheHead) {
  Node_ITEM first{1, 1};
  int dirty = 0;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 1020, &dirty, nullptr, nullptr), 0);
  for (uint32_t id = 2; id <= 1019; ++id) ASSERT_EQ(del(id), 0);
  const uint32_t second = head.tail;
  ASSERT_EQ(del(1), 0);
  EXPECT_EQ(head.head, second);
  EXPECT_EQ(head.num_pages, 1u);
  EXPECT_EQ(page_head(second).prev_page, 0u);
  EXPECT_EQ(forward(), (std::vector<uint32_t>{1020}));
}

TEST_F(ItemListTest, DeleteOfAMissingIdOrWithoutHeadDirtyChangesNothing) {
  for (uint32_t id = 1; id <= 5; ++id) ASSERT_EQ(add(id), 0);
  const Node_IHEAD before = head;
  const uint32_t page_ts = page_head(head.head).timestamp;
  EXPECT_EQ(del(99), 1);
  Node_ITEM item{3, 0};
  EXPECT_EQ(Node_DeleteItem(node, &head, &item, nullptr, nullptr), 0);
  EXPECT_EQ(item.count, 3u % 7 + 1);
  EXPECT_EQ(forward(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(head.timestamp, before.timestamp);
  EXPECT_EQ(page_head(head.head).timestamp, page_ts);
}

TEST_F(ItemListTest, FirstAndLastTightenToTheUsedSlots) {
  for (uint32_t id = 1; id <= 6; ++id) ASSERT_EQ(add(id), 0);
  ASSERT_EQ(del(2), 0);
  ASSERT_EQ(del(1), 0);  // first_item skips the empty slot 1
  ASSERT_EQ(del(5), 0);
  ASSERT_EQ(del(6), 0);  // last_item skips back over slot 4
  const Node_ILIST h = page_head(head.head);
  EXPECT_EQ(h.first_item, 2u);
  EXPECT_EQ(h.last_item, 4u);
  EXPECT_EQ(h.num_items, 2u);
  // The list grows at last_item only: the emptied slot 1 stays empty.
  ASSERT_EQ(add(7), 0);
  EXPECT_EQ(page_head(head.head).last_item, 5u);
  EXPECT_EQ(page_head(head.head).first_item, 2u);
  EXPECT_EQ(forward(), (std::vector<uint32_t>{3, 4, 7}));
}

TEST_F(ItemListTest, FillOf3000MakesPagesOf1019And1019And962) {
  Node_ITEM first{5000, 2};
  int dirty = 0;
  Node_IPOS pos;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 3000, &dirty, &pos, &ctx), 0);
  EXPECT_EQ(dirty, 1);
  EXPECT_EQ(page_counts(), (std::vector<uint32_t>{1019, 1019, 962}));
  EXPECT_EQ(pos.page, head.head);
  EXPECT_EQ(pos.index, 0);
  Node_ITEM item;
  Node_ITER it;
  ASSERT_EQ(Node_SeekItem(node, &head, 2999, &item, &it), 0);
  EXPECT_EQ(item.id, 7999u);
  EXPECT_EQ(item.count, 2u);
  EXPECT_EQ(Node_SeekItem(node, &head, 3000, &item, &it), 1);
  // A second fill goes into the tail's free slots first.
  Node_ITEM more{9000, 1};
  ASSERT_EQ(Node_FillItems(node, &head, &more, 100, &dirty, nullptr, &ctx), 0);
  EXPECT_EQ(page_counts(), (std::vector<uint32_t>{1019, 1019, 1019, 43}));
  expect_redo_rebuilds_and_is_idempotent();
}

TEST_F(ItemListTest, IterationBothWaysAcrossPages) {
  Node_ITEM first{1, 1};
  int dirty = 0;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 2100, &dirty, nullptr, nullptr), 0);
  for (uint32_t id : {1u, 1019u, 1020u, 2100u, 1500u}) ASSERT_EQ(del(id), 0);
  std::vector<uint32_t> want;
  for (uint32_t id = 1; id <= 2100; ++id)
    if (id != 1 && id != 1019 && id != 1020 && id != 2100 && id != 1500) want.push_back(id);
  EXPECT_EQ(forward(), want);
  std::reverse(want.begin(), want.end());
  EXPECT_EQ(backward(), want);
  EXPECT_EQ(Node_CountItems(node, &head), 2095u);
}

// Items added or deleted on pages that stay leave an iterator valid, and
// it sees the list as it is now; a page that goes changes the list's
// timestamp, which the caller sees.
TEST_F(ItemListTest, IterationWhileTheListChanges) {
  for (uint32_t id = 1; id <= 1021; ++id) ASSERT_EQ(add(id), 0);
  Node_ITER it;
  Node_ITEM item;
  ASSERT_EQ(Node_FirstItem(node, &head, &item, &it), 0);
  ASSERT_EQ(Node_NextItem(node, &head, &item, &it), 0);
  EXPECT_EQ(item.id, 2u);
  ASSERT_EQ(del(3), 0);   // the next one goes
  ASSERT_EQ(del(2), 0);   // and the current one
  ASSERT_EQ(add(1022), 0);
  EXPECT_EQ(Node_ItemIterValid(node, &it), 1);
  ASSERT_EQ(Node_NextItem(node, &head, &item, &it), 0);
  EXPECT_EQ(item.id, 4u);
  std::vector<uint32_t> rest;
  while (Node_NextItem(node, &head, &item, &it) == 0) rest.push_back(item.id);
  EXPECT_EQ(rest.back(), 1022u);
  EXPECT_EQ(rest.size(), 1022u - 4u - 0u);
  // The second page empties and goes: the iterator is told.
  Node_ITER it2;
  ASSERT_EQ(Node_SeekItem(node, &head, 1017, &item, &it2), 0);  // 1, 4, 5, ...
  EXPECT_EQ(item.id, 1020u);
  for (uint32_t id : {1020u, 1021u, 1022u}) ASSERT_EQ(del(id), 0);
  EXPECT_EQ(head.num_pages, 1u);
  EXPECT_EQ(Node_ItemIterValid(node, &it2), 0);
}

// Taking items from the front goes past empty slots and across pages; it
// reports the end only at the end of the list.
TEST_F(ItemListTest, RemoveFirstItemSkipsEmptySlotsToTheTrueEnd) {
  Node_ITEM first{1, 1};
  int dirty = 0;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 1025, &dirty, nullptr, nullptr), 0);
  for (uint32_t id : {2u, 3u, 1017u, 1018u, 1021u}) ASSERT_EQ(del(id), 0);
  Node_IPOS pos;
  Node_ClearPos(&pos);
  std::vector<uint32_t> taken;
  Node_ITEM item;
  for (;;) {
    ASSERT_EQ(Node_RemoveFirstItem(node, &head, &item, &pos), 0);
    if (item.id == 0) break;
    taken.push_back(item.id);
  }
  EXPECT_EQ(taken, forward());
  EXPECT_EQ(taken.size(), 1020u);
  // At the end it stays at the end.
  ASSERT_EQ(Node_RemoveFirstItem(node, &head, &item, &pos), 0);
  EXPECT_EQ(item.id, 0u);
}

TEST_F(ItemListTest, DropItemsBeforeAPositionClearsSlotsAndFreesPages) {
  Node_ITEM first{1, 1};
  int dirty = 0;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 2500, &dirty, nullptr, &ctx), 0);
  Node_IPOS pos;
  Node_ClearPos(&pos);
  Node_ITEM item;
  for (int i = 0; i < 1100; ++i) ASSERT_EQ(Node_RemoveFirstItem(node, &head, &item, &pos), 0);
  EXPECT_EQ(item.id, 1100u);
  const uint32_t second = page_head(head.head).next_page;
  free(Vol_TakeDelayedFrees());
  ASSERT_EQ(Node_DropItemsBefore(node, &head, &dirty, &pos, &ctx), 0);
  EXPECT_EQ(head.head, second);
  EXPECT_EQ(head.num_pages, 2u);
  EXPECT_EQ(page_head(second).first_item, 1100u - 1019u);
  EXPECT_EQ(Node_CountItems(node, &head), 1400u);
  ASSERT_EQ(Node_RemoveFirstItem(node, &head, &item, &pos), 0);
  EXPECT_EQ(item.id, 1101u);
  // The dropped page is freed at the next checkpoint (a log context).
  Vol_DELAYED_FREE* d = Vol_TakeDelayedFrees();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->count, 1u);
  Vol_FreeDelayedList(d);
  expect_redo_rebuilds_and_is_idempotent();
  // Past the last item every page goes.
  while (item.id != 0) ASSERT_EQ(Node_RemoveFirstItem(node, &head, &item, &pos), 0);
  ASSERT_EQ(Node_DropItemsBefore(node, &head, &dirty, &pos, &ctx), 0);
  EXPECT_EQ(head.head, 0u);
  EXPECT_EQ(head.tail, 0u);
  EXPECT_EQ(head.num_pages, 0u);
  EXPECT_EQ(pos.page, 0u);
}

TEST_F(ItemListTest, DeleteAllItemPagesLeavesTheClustersAlone) {
  for (uint32_t id = 1; id <= 1500; ++id) ASSERT_EQ(add(id), 0);
  const uint32_t ts = head.timestamp;
  int dirty = 0;
  sink.records.clear();
  Node_DeleteAllItemPages(node, &head, &dirty, &ctx);
  EXPECT_EQ(dirty, 1);
  EXPECT_EQ(head.head, 0u);
  EXPECT_EQ(head.timestamp, ts + 1);
  ASSERT_EQ(sink.records.size(), 2u);  // one cluster release per page
  for (const LogRecord& r : sink.records) EXPECT_EQ(r.opcode, Node_OP_CLUSTER);
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
}

// Every change recorded and replayed on an empty head rebuilds the list,
// and a second replay changes nothing: appends across pages, deletes that
// empty pages in the middle, at the head and at the tail, a fill.
TEST_F(ItemListTest, RedoRebuildsTheListAndASecondRedoChangesNothing) {
  for (uint32_t id = 1; id <= 2500; ++id) ASSERT_EQ(add(id, &ctx), 0);
  for (uint32_t id = 1020; id <= 2038; ++id) ASSERT_EQ(del(id, &ctx), 0);  // the middle page
  for (uint32_t id = 1; id <= 1019; ++id) ASSERT_EQ(del(id, &ctx), 0);     // the head page
  for (uint32_t id = 2100; id <= 2200; ++id) ASSERT_EQ(del(id, &ctx), 0);
  Node_ITEM first{10000, 3};
  int dirty = 0;
  ASSERT_EQ(Node_FillItems(node, &head, &first, 1500, &dirty, nullptr, &ctx), 0);
  EXPECT_EQ(head.num_pages, 2u);  // the third page filled up, and one more
  expect_redo_rebuilds_and_is_idempotent();
}

// A kill can leave a list's head and pages on disk while the bits of pages
// made since the last checkpoint are not (a free the checkpoint flushed
// cleared them there). The claims of the records hold those pages back,
// and a redo the head is already past must still keep them: the claims
// left over are freed after the replay.
TEST_F(ItemListTest, PagesARedoFindsInTheListStayUsedWhenTheClaimsAreReleased) {
  for (uint32_t id = 1; id <= 1020; ++id) ASSERT_EQ(add(id, &ctx), 0);
  ASSERT_EQ(head.num_pages, 2u);
  const uint32_t free_before = free_pages();
  for (uint32_t page : {head.head, head.tail}) Vol_FreePage(page, 1);
  for (const LogRecord& r : sink.records)
    if (r.node == node && r.opcode == NodeList_OP_PAGE)
      ASSERT_EQ(NodeList_ClaimPage(node, r.data.data(), r.data.size(), nullptr), 0);
  const ListImage want = image(head);
  replay(&head);
  EXPECT_TRUE(image(head) == want);
  Vol_ReleaseReserved();
  EXPECT_EQ(free_pages(), free_before) << "a page of the list was freed";
}

// A reserved slot gets its item when the deferred record is applied, once.
TEST_F(ItemListTest, DelayedItemArrivesWithItsDeferredRecord) {
  ASSERT_EQ(add(1, &ctx), 0);
  NodeList_LOG deferred = test_ctx();
  deferred.tag = reinterpret_cast<Tlog_TAGREC*>(0xdef);
  Node_ITEM item{2, 5};
  int dirty = 0;
  ASSERT_EQ(Node_AddItemDelayed(node, &head, &item, &dirty, nullptr, &ctx, &deferred), 0);
  EXPECT_EQ(forward(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(page_head(head.head).last_item, 2u);
  const LogRecord* set = nullptr;
  for (const LogRecord& r : sink.records)
    if (r.tag == deferred.tag) set = &r;
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(set->opcode, NodeList_OP_ITEM_SET);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Node_RecoverListRecord(node, &head, set->opcode, set->data.data(), set->data.size(),
                                     &dirty),
              0);
    EXPECT_EQ(forward(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(Node_CountItems(node, &head), 2u);
  }
}

// Random appends and deletes against a plain vector: same items in the
// same order after every step, same count; the records rebuild the list.
TEST_F(ItemListTest, ModelBasedAgainstAVector) {
  std::mt19937 rng(1234);
  std::vector<uint32_t> model;
  uint32_t next_id = 1;
  for (int step = 0; step < 6000; ++step) {
    const uint32_t r = rng() % 100;
    if (r < 55 || model.empty()) {
      const uint32_t n = 1 + rng() % (r < 5 ? 700 : 3);
      for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(add(next_id, &ctx), 0);
        model.push_back(next_id++);
      }
    } else if (r < 95) {
      const size_t at = rng() % model.size();
      ASSERT_EQ(del(model[at], &ctx), 0) << step;
      model.erase(model.begin() + static_cast<long>(at));
    } else {
      EXPECT_EQ(del(next_id + 5, &ctx), 1);
    }
    if (step % 500 == 0 || step == 5999) {
      ASSERT_EQ(forward(), model) << "step " << step;
      ASSERT_EQ(Node_CountItems(node, &head), model.size());
    }
  }
  std::vector<uint32_t> reversed(model.rbegin(), model.rend());
  EXPECT_EQ(backward(), reversed);
  Node_ITEM item;
  Node_ITER it;
  for (size_t n : {size_t{0}, model.size() / 2, model.size() - 1}) {
    ASSERT_EQ(Node_SeekItem(node, &head, static_cast<uint32_t>(n), &item, &it), 0);
    EXPECT_EQ(item.id, model[n]);
  }
  expect_redo_rebuilds_and_is_idempotent();
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
}

// --- Clusters -------------------------------------------------------------------------------

TEST_F(ItemListTest, ClustersAreListedRecordedAndFreed) {
  Node* n = Node_Create(3);
  sink.records.clear();
  std::vector<uint32_t> starts;
  for (int i = 0; i < 4; ++i) {
    Node_PGVEC vec[Vol_MAXCLUST];
    ASSERT_EQ(Node_AllocCluster(n, 0, vec, Node_MODE_DATA, &ctx), 0);
    EXPECT_EQ(vec[1].page, vec[0].page + 1);
    EXPECT_EQ(vec[2].page, vec[0].page + 2);
    starts.push_back(vec[0].page);
    Node_ReleaseClusterDirty(n, 3, vec);
  }
  EXPECT_TRUE(Node_IsDirty(n));
  // The last record of each allocation is the cluster record.
  std::vector<uint32_t> recorded;
  for (const LogRecord& r : sink.records) {
    if (r.opcode != Node_OP_CLUSTER) continue;
    Node_CLUSTER_REC c;
    ASSERT_EQ(Node_DecodeClusterRec(r.data.data(), r.data.size(), &c), 0);
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.op, Node_CLUSTER_ALLOC);
    recorded.push_back(c.first_page);
  }
  EXPECT_EQ(recorded, starts);
  uint32_t start = 0, count = 0;
  Node_ITER it;
  ASSERT_EQ(Node_FirstCluster(n, &start, &count, &it), 0);
  EXPECT_EQ(start, starts[0]);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(Node_NextCluster(n, &start, nullptr, &it), 0);
  EXPECT_EQ(start, starts[1]);
  ASSERT_EQ(Node_SeekCluster(n, 3, &start, &count, &it), 0);
  EXPECT_EQ(start, starts[3]);
  ASSERT_EQ(Node_PrevCluster(n, &start, &count, &it), 0);
  EXPECT_EQ(start, starts[2]);

  Node_ITEM item;
  sink.records.clear();
  Node_FreeCluster(n, starts[1], &item, &ctx);
  EXPECT_EQ(item.count, 3u);
  ASSERT_FALSE(sink.records.empty());
  EXPECT_EQ(sink.records.back().opcode, Node_OP_CLUSTER);
  const uint32_t free_before = free_pages();
  Node_DeleteCluster(n, starts[2], &ctx);
  EXPECT_EQ(free_pages(), free_before + 3);
  EXPECT_EQ(Node_CountItems(n, &n->node.ulist), 2u);

  // A node without a used-cluster list only records and frees.
  Node* bare = Node_Create(2);
  Node_SetFlag(Node_NO_ULIST, bare);
  Node_PGVEC vec[2];
  ASSERT_EQ(Node_AllocCluster(bare, 0, vec, Node_MODE_DATA, &ctx), 0);
  EXPECT_EQ(bare->node.ulist.head, 0u);
  Node_ReleaseCluster(bare, 2, vec);
  const uint32_t before = free_pages();
  Node_FreeClusterPages(bare, vec[0].page, 2, &ctx);
  EXPECT_EQ(free_pages(), before + 2);
}

// A cluster that cannot be listed (no page left for a new list page) is
// given back whole: its pages are free, its buffers dropped, and no record
// names them.
TEST_F(ItemListTest, AClusterThatCannotBeListedLeavesNoRecordAndNoPages) {
  close_set();
  start(Vol_MINPAGES, 0);
  Node* n = Node_Create(1);
  ASSERT_NE(n, nullptr);
  while (free_pages() > 1) ASSERT_NE(Vol_AllocPage(1, nullptr), 0u);
  sink.records.clear();
  Node_PGVEC vec[1];
  EXPECT_EQ(Node_AllocCluster(n, 1, vec, Node_MODE_DATA, &ctx), -1);
  EXPECT_TRUE(sink.records.empty());
  EXPECT_EQ(free_pages(), 1u);
  EXPECT_EQ(n->node.ulist.head, 0u);
  int cursor = 0;
  EXPECT_EQ(buf_StatusNext(&cursor), nullptr);  // nothing left pinned
}

// --- Pages and records that are not what they say ----------------------------------------------

using ItemListDeathTest = ItemListTest;

TEST_F(ItemListDeathTest, RedoBytesOutsideThePageSlotsStopTheProcess) {
  ASSERT_EQ(add(1), 0);
  const uint32_t page = head.head;
  std::vector<uint8_t> bytes(64, 0xEE);
  NodeList_ITEM_REC past{100, NodeListType_ILIST, page, 8176, 16};
  EXPECT_DEATH(Node_RecoverItemAction(node, &past, bytes.data()), "Node_ILIST_USED");
  NodeList_ITEM_REC into_head{100, NodeListType_ILIST, page, 16, 8};
  EXPECT_DEATH(Node_RecoverItemSet(node, &into_head, bytes.data()), "rec->offset >= idx");
  NodeList_ITEM_REC ragged{100, NodeListType_ILIST, page, 36, 8};
  EXPECT_DEATH(Node_RecoverItemAction(node, &ragged, bytes.data()), "sizeof");
  NodeList_FILL_REC fill{2, NodeListType_ILIST, page, 1010, 20, 5, 1};
  EXPECT_DEATH(Node_RecoverFill(node, &fill), "NUMITEMS");
}

TEST_F(ItemListDeathTest, AListPageWithCountersPastItsSlotsIsCorrupt) {
  ASSERT_EQ(add(1), 0);
  Node_PGVEC v;
  Node_GetItemPage(node, head.head, &v);
  le_put32(reinterpret_cast<uint8_t*>(v.buf) + 24, 5000);  // last_item
  Node_ReleaseClusterDirty(node, 1, &v);
  EXPECT_DEATH(forward(), "file is corrupt");
}

TEST_F(ItemListTest, MalformedListRecordsAreRefused) {
  ASSERT_EQ(add(1), 0);
  int dirty = 0;
  const std::vector<uint8_t> short_rec(10, 0);
  for (int op = NodeList_OP_PAGE; op <= NodeList_OP_FILL; ++op)
    EXPECT_EQ(Node_RecoverListRecord(node, &head, op, short_rec.data(), short_rec.size(), &dirty),
              -1);
  std::vector<uint8_t> flist(NodeList_HEAD_REC_SIZE);
  NodeList_EncodeHeadRec({9, NodeListType_FLIST, head.head, 0, 0, 0}, flist.data());
  EXPECT_EQ(Node_RecoverListRecord(node, &head, NodeList_OP_HEAD, flist.data(), flist.size(),
                                   &dirty),
            -1);
  EXPECT_EQ(forward(), (std::vector<uint32_t>{1}));
}

}  // namespace
