// The B-tree against std::map: keys of 1 to 300 bytes that share prefixes,
// a few near the largest entry, inserted in ascending, descending, random
// and sawtooth order, with gets, deletes, seeks, prefix positioning, full
// walks both ways, deletes at the cursor in mid-walk, another handle's
// change, the node and the set closed and reopened in mid-run, a drain to
// empty and a refill; the page checker runs every few operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "index/btree_fixture.h"
#include "index/btree_model_keys.h"

namespace btree_test {
namespace {

class BtreeModel : public BtreeFixture, public ::testing::WithParamInterface<OrderCase> {
 protected:
  void check(const std::string& at) {
    const CheckResult r = check_tree(t_);
    ASSERT_TRUE(r.ok()) << at << "\n" << r.text();
    ASSERT_EQ(r.entries, model_.size()) << at;
  }

  void walk_both_ways(const std::string& at) {
    std::string k, d;
    auto it = model_.begin();
    for (int rc = seq(t_, BT_SEQ_FIRST, &k, "", &d); rc == 0; rc = seq(t_, BT_SEQ_NEXT, &k, "", &d)) {
      ASSERT_NE(it, model_.end()) << at;
      ASSERT_EQ(k, it->first) << at;
      ASSERT_EQ(d, it->second) << at;
      ++it;
    }
    ASSERT_EQ(it, model_.end()) << at;
    auto rit = model_.rbegin();
    for (int rc = seq(t_, BT_SEQ_LAST, &k); rc == 0; rc = seq(t_, BT_SEQ_PREV, &k)) {
      ASSERT_NE(rit, model_.rend()) << at;
      ASSERT_EQ(k, rit->first) << at;
      ++rit;
    }
    ASSERT_EQ(rit, model_.rend()) << at;
  }

  void probe(const std::string& probe_key, const std::string& at) {
    std::string k;
    // At or after.
    auto lb = model_.lower_bound(probe_key);
    int rc = seq(t_, BT_SEQ_CURSOR, &k, probe_key);
    if (lb == model_.end()) {
      ASSERT_EQ(rc, RET_SPECIAL) << at;
    } else {
      ASSERT_EQ(rc, 0) << at;
      ASSERT_EQ(k, lb->first) << at;
    }
    // Behind a prefix.
    auto pit = model_.lower_bound(probe_key);
    if (pit == model_.end() || pit->first != probe_key)
      while (pit != model_.end() && starts_with(pit->first, probe_key)) ++pit;
    rc = seq(t_, BT_SEQ_PREFIX, &k, probe_key);
    if (pit == model_.end()) {
      ASSERT_EQ(rc, RET_SPECIAL) << at;
    } else {
      ASSERT_EQ(rc, 0) << at;
      ASSERT_EQ(k, pit->first) << at;
    }
    // Get.
    std::string d;
    rc = get(t_, probe_key, &d);
    auto f = model_.find(probe_key);
    ASSERT_EQ(rc, f == model_.end() ? RET_SPECIAL : 0) << at;
    if (f != model_.end()) {
      ASSERT_EQ(d, f->second) << at;
    }
  }

  // From a key, step forward deleting every other entry at the cursor.
  void delete_along_walk(const std::string& from, int steps, const std::string& at) {
    std::string k;
    int rc = seq(t_, BT_SEQ_CURSOR, &k, from);
    auto it = model_.lower_bound(from);
    for (int i = 0; i < steps && rc == 0; ++i) {
      ASSERT_NE(it, model_.end()) << at;
      ASSERT_EQ(k, it->first) << at;
      if (i % 2 == 0) {
        ASSERT_EQ(btree_Delete(t_, nullptr, BT_SEQ_CURSOR), 0) << at;
        it = model_.erase(it);
      } else {
        ++it;
      }
      rc = seq(t_, BT_SEQ_NEXT, &k);
    }
  }

  // Another handle changes the node: the cursor of ours says so once.
  void second_handle_change(const std::string& key, const std::string& at) {
    std::string k;
    if (seq(t_, BT_SEQ_FIRST, &k) != 0) return;
    btree_CTX other;
    btree_HANDLE* u = open(&other);
    if (model_.count(key)) {
      ASSERT_EQ(del(u, key), 0) << at;
      model_.erase(key);
    } else {
      ASSERT_EQ(put(u, key, data_for(key)), 0) << at;
      model_[key] = data_for(key);
    }
    close(u);
    ASSERT_EQ(seq(t_, BT_SEQ_NEXT, &k), RET_CURSOR) << at;
  }

  btree_HANDLE* t_ = nullptr;
  Model model_;
};

TEST_P(BtreeModel, MatchesAMapThroughEveryOperation) {
  const OrderCase& c = GetParam();
  std::mt19937 rng(1234);
  const std::vector<std::string> keys = make_keys(2500, 99);
  std::vector<size_t> order = c.order(keys.size(), rng);
  create();
  t_ = open();
  const int k_check = 150;
  int step = 0;
  auto at = [&] { return std::string(c.name) + " step " + std::to_string(step); };
  for (size_t n = 0; n < order.size(); ++n, ++step) {
    const std::string& key = keys[order[n]];
    const bool fresh = model_.emplace(key, data_for(key)).second;
    ASSERT_EQ(put(t_, key, data_for(key)), fresh ? 0 : RET_SPECIAL) << at();
    if (n % 5 == 0) {
      ASSERT_EQ(put(t_, key, "again"), RET_SPECIAL) << at();
    }
    if (n % 7 == 3) {
      const std::string& victim = keys[rng() % keys.size()];
      ASSERT_EQ(del(t_, victim), model_.erase(victim) ? 0 : RET_SPECIAL) << at();
    }
    if (n % 11 == 5) {
      std::string probe_key = keys[rng() % keys.size()];
      probe_key.resize(1 + rng() % probe_key.size());
      probe(probe_key, at());
      if (HasFatalFailure()) return;
    }
    if (n % k_check == 0) {
      check(at());
      if (HasFatalFailure()) return;
    }
    if (n == order.size() / 3) {
      walk_both_ways(at());
      delete_along_walk(keys[rng() % keys.size()], 60, at());
      second_handle_change(keys[rng() % keys.size()], at());
      check(at());
      if (HasFatalFailure()) return;
    }
    if (n == order.size() / 2) {
      // Close the node and the set, and carry on from what the disk holds.
      reopen_all();
      t_ = open();
      check(at() + " after reopen");
      if (HasFatalFailure()) return;
    }
  }
  check(at());
  walk_both_ways(at());
  if (HasFatalFailure()) return;
  // Drain to empty in random order, then refill.
  std::vector<std::string> present;
  for (const auto& kv : model_) present.push_back(kv.first);
  std::shuffle(present.begin(), present.end(), rng);
  for (size_t i = 0; i < present.size(); ++i, ++step) {
    ASSERT_EQ(del(t_, present[i]), 0) << at();
    model_.erase(present[i]);
    if (i % k_check == 0) {
      check(at() + " draining");
      if (HasFatalFailure()) return;
    }
  }
  check(at() + " drained");
  const CheckResult empty = check_tree(t_);
  EXPECT_EQ(empty.pages, 1u);
  for (size_t n = 0; n < order.size(); n += 2, ++step) {
    const std::string& key = keys[order[n]];
    model_[key] = data_for(key);
    ASSERT_EQ(put(t_, key, data_for(key)), 0) << at();
  }
  check(at() + " refilled");
  walk_both_ways(at() + " refilled");
}

INSTANTIATE_TEST_SUITE_P(Orders, BtreeModel, ::testing::ValuesIn(kOrders),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace btree_test
