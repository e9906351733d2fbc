// B-tree behaviour case by case: create, open and reset; the default
// callbacks; put, get, seq and delete at their edges; splits at every level;
// cursors kept in step across the handle's own changes and invalidated by
// another handle's; the faults mended (a split whose halves could not fit,
// the previous entry after a deleted cursor entry, a descent deeper than
// the parent stack); a page that is not a B-tree page; restore.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "base/error_status.h"
#include "index/btree_fixture.h"
#include "storage/node_cluster.h"

namespace btree_test {
namespace {

ErrorStatus bt_status(int sev, int code) { return make_error_status(ERR_MOD_BT, sev, code); }

std::string key_of(int i, int width = 8) {
  char b[32];
  snprintf(b, sizeof b, "%0*d", width, i);
  return b;
}

// The pages of the tree, read straight from the node.
std::vector<uint8_t> page_bytes(Node* node, uint32_t pgno) {
  Node_PGVEC v;
  Node_GetClusterReadOnly(node, pgno, 1, &v, Node_MODE_DATA);
  std::vector<uint8_t> b(v.buf, v.buf + BT_PSIZE);
  Node_ReleaseCluster(node, 1, &v);
  return b;
}

using Btree = BtreeFixture;

// --- Create, open, reset -------------------------------------------------------------------

TEST_F(Btree, CreateRefusesBadArgumentsAndMakesNoNode) {
  const uint32_t before = num_nodes();
  btree_KEYDEF kd;
  kd.k_nparts = 9;
  EXPECT_EQ(btree_Create(0, &kd, nullptr), nullptr);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_ARG));
  kd.k_nparts = 1;
  kd.k_flags = 2;
  EXPECT_EQ(btree_Create(0, &kd, nullptr), nullptr);
  EXPECT_EQ(btree_Create(1, nullptr, nullptr), nullptr);
  EXPECT_EQ(num_nodes(), before);
}

TEST_F(Btree, FreshTreeHasOneEmptyLeafNamedByTheMeta) {
  uint32_t id = 0;
  btree_KEYDEF kd;
  kd.k_nparts = 0;
  kd.k_len = 77;  // recomputed
  node_ = btree_Create(0, &kd, &id);
  ASSERT_NE(node_, nullptr);
  EXPECT_EQ(id, Node_GetId(node_));
  EXPECT_EQ(Node_GetType(node_), NodeType_BT);
  EXPECT_EQ(Node_GetMetaSize(node_), 36u);
  btree_HANDLE* t = open();
  EXPECT_EQ(btree_GetKeyDef(t)->k_len, 0u);
  const uint32_t root = btree_MetaRoot(t->meta);
  const auto p = page_bytes(node_, root);
  EXPECT_EQ(bt_pgno(p.data()), root);
  EXPECT_EQ(bt_type(p.data()), P_BLEAF);
  EXPECT_EQ(bt_lower(p.data()), 24u);
  EXPECT_EQ(bt_upper(p.data()), 8192u);
  EXPECT_EQ(bt_prev(p.data()) | bt_next(p.data()), 0u);
  expect_sound(t);
  // Without a key definition: 48 bytes, words 6 to 8 zero.
  Node* plain = btree_Create(0, nullptr, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(Node_GetMetaSize(plain), 48u);
}

TEST_F(Btree, KeyDefinitionLengthIsTheSumOfItsParts) {
  btree_KEYDEF kd;
  kd.k_nparts = 3;
  kd.k_part[0] = {0, 4, 7};
  kd.k_part[1] = {4, 2, 6};
  kd.k_part[2] = {6, 10, 1};
  kd.k_len = 1;
  create(&kd);
  btree_HANDLE* t = open();
  EXPECT_EQ(btree_GetKeyDef(t)->k_len, 16u);
  EXPECT_EQ(btree_GetKeyDef(t)->k_part[2].kp_type, 1u);
}

TEST_F(Btree, OpenRefusesNoContextAndNodesWithoutUsableMeta) {
  create();
  EXPECT_EQ(btree_OpenNode(node_, nullptr, 0), nullptr);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_ARG));
  Node* bare = Node_Create(1);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(btree_OpenNode(bare, &ctx_, 0), nullptr);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_PAGE));
  EXPECT_EQ(Node_RefCount(bare), 0);
  // Meta data that claims nine parts is refused, not read past its end.
  auto& block = pool.blocks[node_->node.meta_addr.cluster];
  le_put32(block.data() + 28, 9);
  EXPECT_EQ(btree_OpenNode(node_, &ctx_, 0), nullptr);
  EXPECT_EQ(Node_RefCount(node_), 0);
}

TEST_F(Btree, OpenOfAForeignMagicIsFatal) {
  create();
  auto& block = pool.blocks[node_->node.meta_addr.cluster];
  le_put32(block.data(), 0x12345);
  EXPECT_DEATH(btree_OpenNode(node_, &ctx_, 0), "bt_meta->magic == BTMAGIC");
}

TEST_F(Btree, ResetEmptiesTheTreeAndFreesItsPages) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  EXPECT_GT(check_tree(t).pages, 5u);
  close(t);
  ASSERT_EQ(btree_Reset(node_), 0);
  t = open();
  const CheckResult r = check_tree(t);
  EXPECT_TRUE(r.ok()) << r.text();
  EXPECT_EQ(r.pages, 1u);
  EXPECT_EQ(r.entries, 0u);
  std::string k;
  EXPECT_EQ(seq(t, BT_SEQ_FIRST, &k), RET_SPECIAL);
  EXPECT_EQ(put(t, "again", "d"), 0);
}

TEST_F(Btree, InitRegistersOnceAndTheCloseUnregisters) {
  EXPECT_EQ(btree_Init(), 0);  // already registered: nothing to do
  EXPECT_EQ(Node_RegisterSubsystem(NodeType_BT, btree_Notify), -1);
  EXPECT_EQ(btree_Notify(nullptr, Node_EVENT_SHUTDOWN), 0);
  EXPECT_EQ(btree_Init(), 0);
}

// --- Default callbacks ---------------------------------------------------------------------

TEST(BtreeDefaults, CompareAndPrefix) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
    uint32_t prefix;
  };
  const Case cases[] = {
      {"ab", "abc", -1, 3}, {"abc", "abd", -1, 3}, {"abc", "abc", 0, 3},
      {"\x7f", "\x80", -1, 1}, {"", "a", -1, 1},  {"b", "a", 1, 1},
  };
  for (const Case& c : cases) {
    const std::string sa = c.a;
    const std::string sb = c.b;
    btree_DBT a = dbt(sa);
    btree_DBT b = dbt(sb);
    const int r = btree_DefaultCompare(nullptr, &a, &b, nullptr);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(btree_DefaultPrefix(nullptr, &a, &b, nullptr), c.prefix) << c.a << " vs " << c.b;
  }
  btree_KEYDEF rev;
  rev.k_flags = BT_KREV2;
  const std::string one = "a";
  btree_DBT a = dbt(one);
  EXPECT_DEATH(btree_DefaultCompare(&rev, &a, &a, nullptr), "BT_KREV2");
}

// --- Put and get ----------------------------------------------------------------------------

TEST_F(Btree, PutOfAnExistingKeyReturnsOneAndChangesNothing) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 500; ++i) ASSERT_EQ(put(t, key_of(i * 7 % 500), "v" + std::to_string(i)), 0);
  const auto before = tree_pages(t);
  EXPECT_EQ(put(t, key_of(123), "other"), RET_SPECIAL);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_R, BT_R_EXISTS));
  EXPECT_EQ(tree_pages(t), before);
  std::string d;
  ASSERT_EQ(get(t, key_of(123), &d), 0);
  EXPECT_NE(d, "other");
}

TEST_F(Btree, ReadOnlyHandleRefusesPutAndDelete) {
  create();
  btree_HANDLE* t = open(nullptr, BT_OPEN_RDONLY);
  EXPECT_EQ(put(t, "a", "b"), RET_ERROR);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_RDONLY));
  EXPECT_EQ(del(t, "a"), RET_ERROR);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_R, BT_R_DELETE_RO));
}

TEST_F(Btree, PutFlagsOtherThanNoOverwriteAreFatal) {
  create();
  btree_HANDLE* t = open();
  const std::string ks = "k";
  btree_DBT k = dbt(ks);
  EXPECT_DEATH(btree_Put(t, &k, &k, 0), "flags == R_NOOVERWRITE");
}

TEST_F(Btree, GetWithFlagsFailsWithEinvalWithoutTheLock) {
  create();
  btree_HANDLE* t = open();
  ASSERT_EQ(put(t, "k", "v"), 0);
  const std::string ks = "k";
  btree_DBT k = dbt(ks);
  btree_DBT d;
  errno = 0;
  EXPECT_EQ(btree_Get(t, &k, &d, 1), RET_ERROR);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ctx_.locked_node, nullptr);
  EXPECT_EQ(Node_LockState(node_), 0);
}

// Entries up to the largest size go in (and split); one byte more is
// refused before anything changes.
TEST_F(Btree, EntrySizeLimitIsCheckedBeforeAnyChange) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(put(t, key_of(i * 2), std::string(100, 'x')), 0);
  const uint32_t max_key = BT_MAXENTRY - 12 - 4;  // with 4 bytes of data
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(put(t, key_of(i * 13 + 1) + std::string(max_key - 8, 'm'), "dddd"), 0) << i;
  expect_sound(t);
  const auto before = tree_pages(t);
  EXPECT_EQ(put(t, key_of(3) + std::string(max_key - 8, 'm'), "dddddddd"), RET_ERROR);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_ARG));
  EXPECT_EQ(put(t, std::string(9000, 'z'), ""), RET_ERROR);
  EXPECT_EQ(tree_pages(t), before);
}

// A full page whose new entry is large and lands near its front: the old
// split kept everything before the insertion point on the left and put the
// rest, the large entry among it, on a right half that could not hold it.
TEST_F(Btree, SplitOfAFullPageTakesALargeEntryAnywhere) {
  struct Case {
    int front;        // small entries before the large one
    uint32_t large;   // key length of the large entry
  };
  for (const Case c : {Case{1, 4000}, Case{2, 4060}, Case{0, 4060}, Case{30, 4060},
                       Case{60, 3000}, Case{3, 2000}}) {
    SCOPED_TRACE("front " + std::to_string(c.front) + ", large " + std::to_string(c.large));
    create();
    btree_HANDLE* t = open();
    // One leaf filled with 60-byte entries (keys "b00000000".."b...").
    int n = 0;
    while (put(t, "b" + key_of(n), std::string(50, 'x')) == 0 && check_tree(t).pages == 1) ++n;
    ASSERT_GT(n, 100);
    const std::string big = "b" + key_of(c.front) + "+" + std::string(c.large - 10, 'L');
    ASSERT_EQ(put(t, big, "dd"), 0);
    const CheckResult r = check_tree(t);
    EXPECT_TRUE(r.ok()) << r.text();
    std::string d;
    EXPECT_EQ(get(t, big, &d), 0);
    EXPECT_EQ(d, "dd");
    close(t);
  }
}

TEST_F(Btree, AscendingInsertsMakeOnlySortAndRootSplitsAndFullLeaves) {
  create();
  btree_HANDLE* t = open();
  const btree_STATS s0 = *btree_GetStats();
  // A long common prefix keeps separators long: three levels soon.
  const std::string prefix(100, 'p');
  const int n = 20000;
  for (int i = 0; i < n; ++i) ASSERT_EQ(put(t, prefix + key_of(i), "data"), 0);
  const btree_STATS s1 = *btree_GetStats();
  EXPECT_EQ(s1.page_splits - s0.page_splits, (s1.sort_splits - s0.sort_splits) +
                                                  (s1.root_splits - s0.root_splits));
  EXPECT_GE(s1.root_splits - s0.root_splits, 2u);  // three levels at least
  EXPECT_GT(s1.fast_hits - s0.fast_hits, static_cast<uint32_t>(n * 9 / 10));
  const CheckResult r = check_tree(t);
  ASSERT_TRUE(r.ok()) << r.text();
  EXPECT_EQ(r.entries, static_cast<uint64_t>(n));
  EXPECT_GE(r.height, 3u);
  // Every leaf but the last is full for one more entry of the same size.
  uint32_t pgno = 0;
  std::string k;
  ASSERT_EQ(seq(t, BT_SEQ_FIRST, &k), 0);
  pgno = t->cursor.pgno;
  const uint32_t need = bt_leaf_size(108, 4) + 4;
  while (pgno != 0) {
    const auto p = page_bytes(node_, pgno);
    if (bt_next(p.data()) != 0) {
      // The split that made the first leaf was a root split (halves).
      if (bt_prev(p.data()) != 0) {
        EXPECT_LT(bt_room(p.data()), need) << "leaf 0x" << std::hex << pgno;
      }
    }
    pgno = bt_next(p.data());
  }
}

TEST_F(Btree, RootSplitKeepsTheRootPageWithTwoEntries) {
  create();
  btree_HANDLE* t = open();
  const uint32_t root = btree_MetaRoot(t->meta);
  int i = 0;
  while (check_tree(t).pages == 1) ASSERT_EQ(put(t, key_of(i++ * 37 % 1000), "0123456789"), 0);
  EXPECT_EQ(btree_MetaRoot(t->meta), root);
  const auto p = page_bytes(node_, root);
  EXPECT_EQ(bt_type(p.data()), P_BINTERNAL);
  ASSERT_EQ(bt_nent(p.data()), 2u);
  EXPECT_EQ(bt_entry_key(p.data(), 0).size, 0u);
  expect_sound(t);
}

// Splits at every level: a tree of four levels from long keys, checked
// at each new level.
TEST_F(Btree, SplitsAtEveryLevelKeepTheTreeSound) {
  create();
  btree_HANDLE* t = open();
  uint32_t height = 1;
  std::mt19937 rng(7);
  std::set<std::string> model;
  // Keys alike but for their ends: separators stay long, pages few-wayed.
  while (height < 4) {
    std::string k = std::string(600 + rng() % 400, 'k') + std::to_string(rng());
    if (!model.insert(k).second) continue;
    ASSERT_EQ(put(t, k, "d"), 0);
    if (model.size() % 8 != 0) continue;
    const uint32_t h = check_tree(t).height;
    if (h != height) {
      height = h;
      SCOPED_TRACE("height " + std::to_string(h));
      expect_sound(t);
    }
  }
  const auto entries = leaf_entries(t);
  ASSERT_EQ(entries.size(), model.size());
  auto it = model.begin();
  for (const auto& e : entries) EXPECT_EQ(e.first, *it++);
}

// --- Seq --------------------------------------------------------------------------------------

TEST_F(Btree, NextAndPrevWithoutACursorStartAtTheEnds) {
  create();
  btree_HANDLE* t = open();
  std::string k;
  EXPECT_EQ(seq(t, BT_SEQ_NEXT, &k), RET_SPECIAL);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  btree_HANDLE* u = open(nullptr);
  ASSERT_EQ(seq(u, BT_SEQ_NEXT, &k), 0);
  EXPECT_EQ(k, key_of(0));
  btree_HANDLE* w = open(nullptr);
  ASSERT_EQ(seq(w, BT_SEQ_PREV, &k), 0);
  EXPECT_EQ(k, key_of(999));
}

TEST_F(Btree, SeqRefusesBadOperations) {
  create();
  btree_HANDLE* t = open();
  for (uint32_t op : {0u, 6u, 7u, 9u}) {
    std::string k;
    EXPECT_EQ(seq(t, op, &k), RET_ERROR) << op;
    EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_ARG));
    EXPECT_EQ(ctx_.locked_node, nullptr);
  }
  errno = 0;
  EXPECT_EQ(seq(t, BT_SEQ_CURSOR, nullptr, ""), RET_ERROR);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Btree, PrefixPositioning) {
  create();
  btree_HANDLE* t = open();
  for (const char* k : {"aa", "ab1", "ab2", "ac"}) ASSERT_EQ(put(t, k, "d"), 0);
  std::string k;
  ASSERT_EQ(seq(t, BT_SEQ_PREFIX, &k, "ab"), 0);
  EXPECT_EQ(k, "ac");
  ASSERT_EQ(seq(t, BT_SEQ_PREFIX, &k, "ab1"), 0);
  EXPECT_EQ(k, "ab1");
  ASSERT_EQ(del(t, "ac"), 0);
  ASSERT_EQ(del(t, "ab2"), 0);
  EXPECT_EQ(seq(t, BT_SEQ_PREFIX, &k, "ab"), RET_SPECIAL);
}

TEST_F(Btree, CursorAtKeyOrTheFirstAfterIt) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; i += 2) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  std::string k;
  ASSERT_EQ(seq(t, BT_SEQ_CURSOR, &k, key_of(1001)), 0);
  EXPECT_EQ(k, key_of(1002));
  ASSERT_EQ(seq(t, BT_SEQ_CURSOR, &k, key_of(1002)), 0);
  EXPECT_EQ(k, key_of(1002));
  EXPECT_EQ(seq(t, BT_SEQ_CURSOR, &k, key_of(2999)), RET_SPECIAL);
}

// After the entry under the cursor is deleted, next gives the entry that
// followed it and previous the one before it (the old code gave the
// following entry for both).
TEST_F(Btree, StepsAfterDeletingTheCursorEntry) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  struct Case {
    int at;
    uint32_t op;
    int expect;  // -1: end
  };
  for (const Case c : {Case{500, BT_SEQ_NEXT, 501}, Case{500, BT_SEQ_PREV, 499},
                       Case{0, BT_SEQ_PREV, -1}, Case{1999, BT_SEQ_NEXT, -1},
                       Case{0, BT_SEQ_NEXT, 1}, Case{1999, BT_SEQ_PREV, 1998}}) {
    SCOPED_TRACE("at " + std::to_string(c.at) + " op " + std::to_string(c.op));
    std::string k;
    ASSERT_EQ(seq(t, BT_SEQ_CURSOR, &k, key_of(c.at)), 0);
    ASSERT_EQ(btree_Delete(t, nullptr, BT_SEQ_CURSOR), 0);
    EXPECT_EQ(btree_Delete(t, nullptr, BT_SEQ_CURSOR), RET_SPECIAL);  // already deleted
    const int rc = seq(t, c.op, &k);
    if (c.expect < 0) {
      EXPECT_EQ(rc, RET_SPECIAL);
    } else {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(k, key_of(c.expect));
    }
    ASSERT_EQ(put(t, key_of(c.at), "d"), 0);
  }
  expect_sound(t);
}

TEST_F(Btree, AnotherHandlesChangeInvalidatesTheCursor) {
  create();
  btree_HANDLE* t = open();
  btree_CTX other;
  btree_HANDLE* u = open(&other);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  std::string k;
  ASSERT_EQ(seq(t, BT_SEQ_FIRST, &k), 0);
  ASSERT_EQ(put(u, key_of(1000), "d"), 0);
  EXPECT_EQ(seq(t, BT_SEQ_NEXT, &k), RET_CURSOR);
  EXPECT_EQ(seq(t, BT_SEQ_NEXT, &k), 0);  // invalid now: starts at the first
  EXPECT_EQ(k, key_of(0));
  ASSERT_EQ(del(u, key_of(1000)), 0);
  EXPECT_EQ(btree_Delete(t, nullptr, BT_SEQ_CURSOR), RET_CURSOR);
  EXPECT_EQ(btree_Delete(t, nullptr, BT_SEQ_CURSOR), RET_ERROR);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_R, BT_R_CURSOR));
  EXPECT_EQ(btree_Delete(t, nullptr, 2), RET_ERROR);
  EXPECT_EQ(get_error(), bt_status(ERR_SEV_R, BT_R_CURSOR));
  // Reads of another handle change nothing.
  ASSERT_EQ(seq(t, BT_SEQ_FIRST, &k), 0);
  ASSERT_EQ(get(u, key_of(5)), 0);
  ASSERT_EQ(seq(u, BT_SEQ_LAST, &k), 0);
  EXPECT_EQ(seq(t, BT_SEQ_NEXT, &k), 0);
  EXPECT_EQ(k, key_of(1));
}

// The handle's own puts (splits included) and deletes keep its cursor on
// its entry.
TEST_F(Btree, OwnChangesKeepTheCursorOnItsEntry) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; i += 3) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  std::string k;
  ASSERT_EQ(seq(t, BT_SEQ_CURSOR, &k, key_of(1500)), 0);
  const btree_STATS s0 = *btree_GetStats();
  for (int i = 1; i < 3000; i += 3) ASSERT_EQ(put(t, key_of(i) + std::string(40, 'p'), "d"), 0);
  EXPECT_GT(btree_GetStats()->page_splits, s0.page_splits);
  for (int i = 0; i < 3000; i += 9)
    if (i != 1500) {
      ASSERT_EQ(del(t, key_of(i)), 0);
    }
  ASSERT_EQ(seq(t, BT_SEQ_NEXT, &k), 0);
  EXPECT_EQ(k, key_of(1501) + std::string(40, 'p'));
  ASSERT_EQ(seq(t, BT_SEQ_PREV, &k), 0);
  EXPECT_EQ(k, key_of(1500));
  ASSERT_EQ(seq(t, BT_SEQ_PREV, &k), 0);
  EXPECT_EQ(k, key_of(1498) + std::string(40, 'p'));
  expect_sound(t);
}

// --- Delete ---------------------------------------------------------------------------------

TEST_F(Btree, DeletingTheOnlyEntryLeavesAnEmptyRootLeaf) {
  create();
  btree_HANDLE* t = open();
  ASSERT_EQ(put(t, "only", "d"), 0);
  EXPECT_EQ(del(t, "other"), RET_SPECIAL);
  ASSERT_EQ(del(t, "only"), 0);
  std::string k;
  EXPECT_EQ(seq(t, BT_SEQ_FIRST, &k), RET_SPECIAL);
  const auto p = page_bytes(node_, btree_MetaRoot(t->meta));
  EXPECT_EQ(bt_type(p.data()), P_BLEAF);
  EXPECT_EQ(bt_nent(p.data()), 0u);
}

TEST_F(Btree, DrainingFreesEveryPageButTheRoot) {
  create();
  btree_HANDLE* t = open();
  const uint32_t free_before = free_pages();
  const std::string p100(100, 'p');
  for (int i = 0; i < 8000; ++i) ASSERT_EQ(put(t, p100 + key_of(i * 7919 % 8000), "data"), 0);
  EXPECT_GE(check_tree(t).height, 3u);
  for (int i = 0; i < 8000; ++i) {
    ASSERT_EQ(del(t, p100 + key_of(i * 104729 % 8000)), 0) << i;
    if (i % 997 == 0) expect_sound(t, "after " + std::to_string(i));
  }
  const CheckResult r = check_tree(t);
  EXPECT_TRUE(r.ok()) << r.text();
  EXPECT_EQ(r.pages, 1u);
  const auto p = page_bytes(node_, btree_MetaRoot(t->meta));
  EXPECT_EQ(bt_type(p.data()), P_BLEAF);
  EXPECT_EQ(free_pages(), free_before);
}

TEST_F(Btree, DeleteAtTheCursorAlongAWalkEmptiesPages) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 4000; ++i) ASSERT_EQ(put(t, key_of(i), std::string(20, 'd')), 0);
  std::string k;
  int seen = 0;
  for (int rc = seq(t, BT_SEQ_FIRST, &k); rc == 0; rc = seq(t, BT_SEQ_NEXT, &k)) {
    ASSERT_EQ(k, key_of(seen));
    // Keep one entry in each hundred.
    if (seen % 100 != 0) {
      ASSERT_EQ(btree_Delete(t, nullptr, BT_SEQ_CURSOR), 0);
    }
    ++seen;
  }
  EXPECT_EQ(seen, 4000);
  const CheckResult r = check_tree(t);
  EXPECT_TRUE(r.ok()) << r.text();
  EXPECT_EQ(r.entries, 40u);
}

// --- Corrupt trees --------------------------------------------------------------------------

// A chain of internal pages one entry wide, deeper than the parent stack
// (or a page that names itself): the descent fails with a B-tree error
// instead of writing past the stack or going round for ever.
TEST_F(Btree, DescentDeeperThanTheParentStackFails) {
  for (const int levels : {BT_MAXLEVELS + 1, 0}) {
    SCOPED_TRACE(levels == 0 ? "cycle" : "chain");
    create();
    btree_HANDLE* t = open();
    ASSERT_EQ(put(t, "k", "d"), 0);
    // The root becomes an internal page over a chain ending in the old root's copy.
    const uint32_t root = btree_MetaRoot(t->meta);
    uint8_t* rp = mpool_get(t, root);
    ASSERT_NE(rp, nullptr);
    std::vector<uint8_t> leaf(rp, rp + BT_PSIZE);
    uint32_t below = root;
    if (levels != 0) {
      uint32_t lp = 0;
      uint8_t* l = bt_new(t, &lp);
      memcpy(l, leaf.data(), BT_PSIZE);
      le_put32(l, lp);
      mpool_put(t, l, MPOOL_DIRTY);
      below = lp;
      for (int i = 0; i < levels - 1; ++i) {
        uint32_t ip = 0;
        uint8_t* p = bt_new(t, &ip);
        bt_init_page(p, ip, 0, 0, P_BINTERNAL);
        bt_write_entry(p, bt_insert_slot(p, 0, 12), nullptr, 0, below, nullptr, 0);
        mpool_put(t, p, MPOOL_DIRTY);
        below = ip;
      }
    }
    bt_init_page(rp, root, 0, 0, P_BINTERNAL);
    bt_write_entry(rp, bt_insert_slot(rp, 0, 12), nullptr, 0, below, nullptr, 0);
    mpool_put(t, rp, MPOOL_DIRTY);
    EXPECT_EQ(get(t, "k"), RET_ERROR);
    EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_PAGE));
    EXPECT_EQ(put(t, "j", "d"), RET_ERROR);
    EXPECT_EQ(ctx_.locked_node, nullptr);
    EXPECT_EQ(Node_LockState(node_), 0);
    std::string k;
    EXPECT_EQ(seq(t, BT_SEQ_FIRST, &k), RET_ERROR);
    close(t);
  }
}

// A page that is no B-tree page, or a leaf link to a page that does not
// link back (another node's page, outside the set, a page of this tree
// that is no neighbour): the request fails with BT E001, nothing stops, and
// the rest of the tree is read as before. A slot past the page's end is
// still fatal (every entry read is checked, not every page).
TEST_F(Btree, APageThatIsNoBtreePageFailsTheRequest) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  uint8_t* rp = mpool_get(t, btree_MetaRoot(t->meta));
  const uint32_t first_child = bt_e_word2(rp, bt_slot(rp, 0));
  const uint32_t child = bt_e_word2(rp, bt_slot(rp, bt_nent(rp) - 1));
  mpool_put(t, rp, 0);
  ASSERT_NE(first_child, child);
  Node_PGVEC v;
  std::string k;
  for (const uint32_t type : {7u, 0u}) {
    SCOPED_TRACE(type);
    Node_GetCluster(node_, child, 1, &v, Node_MODE_DATA);
    le_put32(reinterpret_cast<uint8_t*>(v.buf) + 12, type);
    Node_ReleaseClusterDirty(node_, 1, &v);
    EXPECT_EQ(seq(t, BT_SEQ_LAST, &k), RET_ERROR);
    EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_PAGE));
    EXPECT_EQ(get(t, key_of(999)), RET_ERROR);
    EXPECT_EQ(put(t, key_of(5000), "d"), RET_ERROR);
    EXPECT_EQ(ctx_.locked_node, nullptr);
    ASSERT_EQ(seq(t, BT_SEQ_FIRST, &k), 0);
    EXPECT_EQ(k, key_of(0));
  }
  Node_GetCluster(node_, child, 1, &v, Node_MODE_DATA);
  le_put32(reinterpret_cast<uint8_t*>(v.buf) + 12, P_BLEAF);
  Node_ReleaseClusterDirty(node_, 1, &v);
  // The first leaf's next link damaged: the walk stops at it.
  const uint32_t first_next = bt_next(page_bytes(node_, first_child).data());
  for (const uint32_t link : {3u, 0x00ffff00u, child, first_child}) {
    SCOPED_TRACE(link);
    Node_GetCluster(node_, first_child, 1, &v, Node_MODE_DATA);
    bt_set_next(reinterpret_cast<uint8_t*>(v.buf), link);
    Node_ReleaseClusterDirty(node_, 1, &v);
    int rc = seq(t, BT_SEQ_FIRST, &k);
    int steps = 0;
    while (rc == 0 && steps < 2000) {
      rc = seq(t, BT_SEQ_NEXT, &k);
      ++steps;
    }
    EXPECT_EQ(rc, RET_ERROR);
    EXPECT_EQ(get_error(), bt_status(ERR_SEV_E, BT_E_PAGE));
  }
  Node_GetCluster(node_, first_child, 1, &v, Node_MODE_DATA);
  bt_set_next(reinterpret_cast<uint8_t*>(v.buf), first_next);
  Node_ReleaseClusterDirty(node_, 1, &v);
  EXPECT_EQ(check_tree(t).ok(), true);
  // A slot that points past the page's end.
  Node_GetCluster(node_, child, 1, &v, Node_MODE_DATA);
  auto* leaf = reinterpret_cast<uint8_t*>(v.buf);
  bt_set_slot(leaf, bt_nent(leaf) - 1, BT_PSIZE - 4);
  Node_ReleaseClusterDirty(node_, 1, &v);
  EXPECT_DEATH(seq(t, BT_SEQ_LAST, &k), "btree page is corrupt");
}

// --- Key types ---------------------------------------------------------------------------

// A typed compare as the access layer gives it: the parts of the key
// definition by their types (signed integers, floats, bytes), reversed
// when BT_KREV2 is set.
int typed_cmp(const btree_KEYDEF* kd, const btree_DBT* a, const btree_DBT* b, void*) {
  const auto* pa = static_cast<const uint8_t*>(a->data);
  const auto* pb = static_cast<const uint8_t*>(b->data);
  int r = 0;
  for (uint32_t i = 0; i < kd->k_nparts && r == 0; ++i) {
    const btree_KEYPART& kp = kd->k_part[i];
    const uint32_t la = a->size > kp.kp_start ? std::min(kp.kp_leng, a->size - kp.kp_start) : 0;
    const uint32_t lb = b->size > kp.kp_start ? std::min(kp.kp_leng, b->size - kp.kp_start) : 0;
    if (la < kp.kp_leng || lb < kp.kp_leng) {  // cut keys (separators): bytes
      const int c = memcmp(pa + kp.kp_start, pb + kp.kp_start, std::min(la, lb));
      r = c != 0 ? c : static_cast<int>(la) - static_cast<int>(lb);
      break;
    }
    auto num = [&](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
    const uint8_t* xa = pa + kp.kp_start;
    const uint8_t* xb = pb + kp.kp_start;
    switch (kp.kp_type) {
      case 6: { int16_t x, y; memcpy(&x, xa, 2); memcpy(&y, xb, 2); r = num(x, y); break; }
      case 7: { int32_t x, y; memcpy(&x, xa, 4); memcpy(&y, xb, 4); r = num(x, y); break; }
      case 10: { float x, y; memcpy(&x, xa, 4); memcpy(&y, xb, 4); r = num(x, y); break; }
      case 11: { double x, y; memcpy(&x, xa, 8); memcpy(&y, xb, 8); r = num(x, y); break; }
      default: r = memcmp(xa, xb, kp.kp_leng); break;  // 1 characters, 17 bytes
    }
  }
  if (r == 0) r = static_cast<int>(a->size) - static_cast<int>(b->size);
  return (kd->k_flags & BT_KREV2) ? -r : r;
}

// Numbers are never cut: the prefix of a typed key ends after the part
// where the keys differ.
uint32_t typed_pfx(const btree_KEYDEF* kd, const btree_DBT* a, const btree_DBT* b, void*) {
  // Reversed, a shorter key sorts after the longer one: nothing is cut.
  if (kd->k_flags & BT_KREV2) return b->size;
  const auto* pa = static_cast<const uint8_t*>(a->data);
  const auto* pb = static_cast<const uint8_t*>(b->data);
  for (uint32_t i = 0; i < kd->k_nparts; ++i) {
    const btree_KEYPART& kp = kd->k_part[i];
    for (uint32_t j = 0; j < kp.kp_leng; ++j) {
      if (pa[kp.kp_start + j] == pb[kp.kp_start + j]) continue;
      const bool bytes = kp.kp_type == 1 || kp.kp_type == 17;
      return bytes ? kp.kp_start + j + 1 : kp.kp_start + kp.kp_leng;
    }
  }
  return b->size;
}

TEST_F(Btree, KeysOfEveryPartTypeSortByTheirCompare) {
  struct Case {
    const char* name;
    uint32_t flags;
  };
  for (const Case c : {Case{"ascending", 0}, Case{"reversed", BT_KREV2}}) {
    SCOPED_TRACE(c.name);
    btree_KEYDEF kd;
    kd.k_flags = c.flags;
    kd.k_nparts = 6;
    kd.k_part[0] = {0, 2, 6};    // int16
    kd.k_part[1] = {2, 4, 7};    // int32
    kd.k_part[2] = {6, 4, 10};   // float
    kd.k_part[3] = {10, 8, 11};  // double
    kd.k_part[4] = {18, 5, 1};   // characters
    kd.k_part[5] = {23, 3, 17};  // bytes
    create(&kd);
    btree_HANDLE* t = open();
    btree_SetCompare(t, typed_cmp, typed_pfx, nullptr);
    auto cmp = [&](const std::string& x, const std::string& y) {
      btree_DBT a = dbt(x), b = dbt(y);
      return typed_cmp(&t->keydef, &a, &b, nullptr) < 0;
    };
    std::map<std::string, std::string, decltype(cmp)> model(cmp);
    std::mt19937 rng(11);
    for (int i = 0; i < 4000; ++i) {
      std::string k(26, '\0');
      const int16_t s = static_cast<int16_t>(static_cast<int>(rng() % 7) - 3);
      const int32_t l = static_cast<int32_t>(rng() % 2001) - 1000;
      const float f = static_cast<float>(static_cast<int>(rng() % 5) - 2) / 4;
      const double d = static_cast<double>(static_cast<int>(rng() % 9) - 4) * 1.5;
      memcpy(&k[0], &s, 2);
      memcpy(&k[2], &l, 4);
      memcpy(&k[6], &f, 4);
      memcpy(&k[10], &d, 8);
      for (int j = 18; j < 26; ++j) k[j] = static_cast<char>(rng() % 4 == 0 ? 0xF0 : 'a' + rng() % 3);
      const bool fresh = model.emplace(k, std::to_string(i)).second;
      ASSERT_EQ(put(t, k, std::to_string(i)), fresh ? 0 : 1);
      if (i % 500 == 0) expect_sound(t);
    }
    expect_sound(t);
    auto it = model.begin();
    std::string k, d;
    for (int rc = seq(t, BT_SEQ_FIRST, &k, "", &d); rc == 0; rc = seq(t, BT_SEQ_NEXT, &k, "", &d)) {
      ASSERT_NE(it, model.end());
      EXPECT_EQ(k, it->first);
      EXPECT_EQ(d, it->second);
      ++it;
    }
    EXPECT_EQ(it, model.end());
    close(t);
  }
}

// --- Restore ----------------------------------------------------------------------------------

std::map<uint32_t, uint32_t>* g_map = nullptr;
uint32_t map_cluster(uint32_t archived) {
  auto it = g_map->find(archived);
  return it == g_map->end() ? 0 : it->second;
}

TEST_F(Btree, RestoreRenumbersEveryReference) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  const auto pages = tree_pages(t);
  std::map<uint32_t, uint32_t> map;
  for (const auto& [pgno, bytes] : pages) map[pgno] = pgno + 0x1000;
  g_map = &map;
  const uint32_t root = btree_MetaRoot(t->meta);
  // Into copies: the restored pages and their new addresses.
  bool first = true;
  for (const auto& [pgno, bytes] : pages) {
    std::vector<uint8_t> copy = bytes;
    uint8_t* v[1] = {copy.data()};
    ASSERT_EQ(btree_RestoreCluster(node_, 1, v, map[pgno], first ? 0 : 1, map_cluster), 0);
    first = false;
    EXPECT_EQ(bt_pgno(copy.data()), map[pgno]);
    if (bt_prev(bytes.data()) != 0) {
      EXPECT_EQ(bt_prev(copy.data()), map[bt_prev(bytes.data())]);
    }
    if (bt_next(bytes.data()) != 0) {
      EXPECT_EQ(bt_next(copy.data()), map[bt_next(bytes.data())]);
    }
    if (!bt_is_leaf(copy.data())) {
      for (uint32_t i = 0; i < bt_nent(copy.data()); ++i) {
        EXPECT_EQ(bt_e_word2(copy.data(), bt_slot(copy.data(), i)),
                  map[bt_e_word2(bytes.data(), bt_slot(bytes.data(), i))]);
      }
    }
  }
  EXPECT_EQ(btree_MetaRoot(t->meta), root + 0x1000);
  EXPECT_TRUE(Node_TestFlag(Node_META_CHANGED, node_));
  g_map = nullptr;
}

TEST_F(Btree, RestoreRefusesWhatItCannotRenumber) {
  create();
  btree_HANDLE* t = open();
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(put(t, key_of(i), "d"), 0);
  const auto pages = tree_pages(t);
  const uint32_t root = btree_MetaRoot(t->meta);
  std::vector<uint8_t> internal = page_bytes(node_, root);
  std::map<uint32_t, uint32_t> map;
  for (const auto& [pgno, bytes] : pages) map[pgno] = pgno + 0x1000;
  g_map = &map;
  uint8_t* v[1] = {internal.data()};
  const auto before = internal;
  // An unknown child: code 5, nothing changed.
  map.erase(bt_e_word2(internal.data(), bt_slot(internal.data(), 1)));
  EXPECT_EQ(btree_RestoreCluster(node_, 1, v, 0x2000, 1, map_cluster), -1);
  EXPECT_EQ(internal, before);
  // Not one page, not a B-tree page, an unknown root.
  EXPECT_EQ(btree_RestoreCluster(node_, 2, v, 0x2000, 1, map_cluster), -1);
  std::vector<uint8_t> junk(BT_PSIZE, 0x5A);
  uint8_t* j[1] = {junk.data()};
  EXPECT_EQ(btree_RestoreCluster(node_, 1, j, 0x2000, 1, map_cluster), -1);
  map.erase(root);
  std::vector<uint8_t> leaf = page_bytes(node_, pages.back().first);
  uint8_t* l[1] = {leaf.data()};
  EXPECT_EQ(btree_RestoreCluster(node_, 1, l, 0x2000, 0, map_cluster), -1);
  EXPECT_EQ(btree_MetaRoot(t->meta), root);
  // A node without meta data.
  Node* bare = Node_Create(1);
  ASSERT_EQ(Node_Open(bare), 0);
  EXPECT_EQ(btree_RestoreCluster(bare, 1, l, 0x2000, 1, map_cluster), -1);
  Node_Close(bare);
  g_map = nullptr;
}

// A tree archived with no cluster would keep the archived set's root page
// number (only a restored cluster renumbers it): its meta data are refused.
TEST_F(Btree, RestoreRefusesMetaDataOfATreeWithoutClusters) {
  create();
  btree_HANDLE* t = open();
  ASSERT_EQ(put(t, key_of(1), "d"), 0);
  std::vector<uint8_t> meta(t->meta, t->meta + Node_GetMetaSize(node_));
  EXPECT_EQ(btree_RestoreMeta(node_, meta.data(), static_cast<uint32_t>(meta.size()), 1), 0);
  EXPECT_EQ(btree_RestoreMeta(node_, meta.data(), static_cast<uint32_t>(meta.size()), 0), -1);
  std::vector<uint8_t> junk(meta.size(), 0x5A);
  EXPECT_EQ(btree_RestoreMeta(node_, junk.data(), static_cast<uint32_t>(junk.size()), 1), -1);
}

}  // namespace
}  // namespace btree_test
