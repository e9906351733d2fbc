// btree_fixture.h - a volume set on the file double with the node layer's
// test pool (meta data in memory), the B-tree subsystem registered, and
// helpers that speak std::string for keys and data.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "index/btree.h"
#include "index/btree_checker.h"
#include "index/btree_internal.h"
#include "storage/node_fixture.h"

namespace btree_test {

inline btree_DBT dbt(const std::string& s) {
  return btree_DBT{const_cast<char*>(s.data()), static_cast<uint32_t>(s.size())};
}
inline std::string str(const btree_DBT& d) {
  return std::string(static_cast<const char*>(d.data), d.size);
}
// The tree of node id opened in ctx after a power loss, its pages checked;
// none, with the failure reported, when it is missing, does not open or
// does not check out.
inline btree_HANDLE* open_checked(uint32_t id, btree_CTX* ctx, const std::string& at) {
  Node* node = Node_Find(id);
  if (node == nullptr) {
    ADD_FAILURE() << at << ": node " << id << " is gone";
    return nullptr;
  }
  btree_HANDLE* t = btree_OpenNode(node, ctx, 0);
  if (t == nullptr) {
    ADD_FAILURE() << at << ": the tree does not open";
    return nullptr;
  }
  const CheckResult r = check_tree(t);
  if (!r.ok()) {
    ADD_FAILURE() << at << "\n" << r.text();
    btree_CloseNode(t);
    return nullptr;
  }
  return t;
}
// A handle whose node belongs to a set that is gone (a power-loss test):
// only its memory goes.
inline void drop_handle(btree_HANDLE* h) {
  free(h->kbuf.ptr);
  free(h->dbuf.ptr);
  free(h->cursor.key.ptr);
  free(h);
}

class BtreeFixture : public node_test::NodeFixture {
 protected:
  void SetUp() override {
    NodeFixture::SetUp();
    start(4096, 512, 256);
    ASSERT_EQ(btree_Init(), 0);
  }
  void TearDown() override {
    for (btree_HANDLE* h : handles_) btree_CloseNode(h);
    handles_.clear();
    NodeFixture::TearDown();
  }

  // A new tree, its node in node_.
  Node* create(const btree_KEYDEF* keydef = nullptr) {
    node_ = btree_Create(0, keydef, nullptr);
    EXPECT_NE(node_, nullptr);
    return node_;
  }
  btree_HANDLE* open(btree_CTX* ctx = nullptr, uint32_t flags = 0) {
    btree_HANDLE* h = btree_OpenNode(node_, ctx != nullptr ? ctx : &ctx_, flags);
    EXPECT_NE(h, nullptr);
    if (h != nullptr) handles_.push_back(h);
    return h;
  }
  void close(btree_HANDLE* h) {
    for (auto it = handles_.begin(); it != handles_.end(); ++it)
      if (*it == h) {
        handles_.erase(it);
        break;
      }
    btree_CloseNode(h);
  }
  // Closes every handle, writes everything, closes and reopens the set.
  void reopen_all() {
    for (btree_HANDLE* h : handles_) btree_CloseNode(h);
    handles_.clear();
    const uint32_t id = Node_GetId(node_);
    sync_and_close();
    open_set(256);
    ASSERT_EQ(btree_Init(), 0);
    node_ = Node_Find(id);
    ASSERT_NE(node_, nullptr);
  }


 public:
  static int put(btree_HANDLE* h, const std::string& k, const std::string& d) {
    btree_DBT key = dbt(k);
    btree_DBT data = dbt(d);
    return btree_Put(h, &key, &data, R_NOOVERWRITE);
  }
  static int get(btree_HANDLE* h, const std::string& k, std::string* d = nullptr) {
    btree_DBT key = dbt(k);
    btree_DBT data;
    const int rc = btree_Get(h, &key, &data, 0);
    if (rc == 0 && d != nullptr) *d = str(data);
    return rc;
  }
  static int del(btree_HANDLE* h, const std::string& k) {
    btree_DBT key = dbt(k);
    return btree_Delete(h, &key, 0);
  }
  // A seq op; the key found in *k.
  static int seq(btree_HANDLE* h, uint32_t op, std::string* k, const std::string& at = "",
                 std::string* d = nullptr) {
    std::string in = at;
    btree_DBT key = dbt(in);
    btree_DBT data;
    const int rc = btree_Seq(h, &key, &data, op);
    if (rc == 0) {
      if (k != nullptr) *k = str(key);
      if (d != nullptr) *d = str(data);
    }
    return rc;
  }
 protected:
  void expect_sound(btree_HANDLE* h, const std::string& at = "") {
    const CheckResult r = check_tree(h);
    EXPECT_TRUE(r.ok()) << at << "\n" << r.text();
  }

  Node* node_ = nullptr;
  btree_CTX ctx_;
  std::vector<btree_HANDLE*> handles_;
};

}  // namespace btree_test
