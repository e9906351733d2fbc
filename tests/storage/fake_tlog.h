// fake_tlog.h - an in-memory transaction log for the pools' transactional
// mode: it keeps the records a transaction writes, holds the log-record
// hash and the per-transaction free lists, and runs the pools' handlers
// over the records as pre-commit, final commit and rollback would.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

#include "storage/pool.h"
#include "storage/pool_tlog_seams.h"

namespace pool_test {

struct FakeTlog {
  struct Rec {
    Node* tx;
    int channel;
    Node* owner;
    std::vector<uint8_t> data;
    Node_ADDR pos;
  };
  static constexpr uint32_t kBase = 0x7F000000u;
  std::vector<Rec> recs;
  std::map<std::pair<Node*, uint32_t>, Node_LOG_REC*> hash;
  std::map<std::pair<Node*, Node*>, Llist> flists;
  uint32_t sub_id = 1;
  Node* action_node = nullptr;
  int fail_write_at = 0;  // the n-th record write from now fails (0 = none)

  static FakeTlog*& current() {
    static FakeTlog* t = nullptr;
    return t;
  }

  ~FakeTlog() {
    for (auto& [k, e] : hash) delete e;
    for (auto& [k, l] : flists) Llist_Clear(&l);
  }

  static PoolTlogServices services() {
    PoolTlogServices s{};
    s.write_record = [](Node* tx, uint8_t opcode, int channel, Node* owner, const void* data,
                        uint32_t size, Node_ADDR* pos) {
      FakeTlog* t = current();
      EXPECT_EQ(opcode, Tlog_OP_POOL);
      if (t->fail_write_at > 0 && --t->fail_write_at == 0) return -1;
      const auto* b = static_cast<const uint8_t*>(data);
      Rec r{tx, channel, owner, std::vector<uint8_t>(b, b + size),
            Node_ADDR{kBase + static_cast<uint32_t>(t->recs.size()), 0, 0}};
      t->recs.push_back(r);
      if (pos != nullptr) *pos = r.pos;
      return 0;
    };
    s.read_record = [](Node*, const Node_ADDR* pos, void* buffer, uint32_t size, uint32_t* txid) {
      const Rec& r = current()->recs.at(pos->cluster - kBase);
      const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(r.data.size()));
      memcpy(buffer, r.data.data(), n);
      if (txid != nullptr) *txid = current()->sub_id;
      return static_cast<int>(n);
    };
    s.sub_id = [](Node*) { return current()->sub_id; };
    s.action_node = [] { return current()->action_node; };
    s.add_logpool_flist = [](Node* node, Node* tx) { return &current()->flists[{node, tx}]; };
    s.find_logpool_flist = [](Node* node, Node* tx) -> Llist* {
      auto it = current()->flists.find({node, tx});
      return it == current()->flists.end() ? nullptr : &it->second;
    };
    s.link_log_record = [](Node* tx, Node_LOG_REC* e) {
      if (e->log_node == nullptr) e->log_node = tx;
    };
    s.add_log_record = [](Node* node, uint32_t key, int* found) {
      auto& slot = current()->hash[{node, key}];
      *found = slot != nullptr;
      if (slot == nullptr) {
        slot = new Node_LOG_REC();
        slot->node = node;
        slot->key = key;
      }
      return slot;
    };
    s.find_log_record = [](Node* node, uint32_t key) -> Node_LOG_REC* {
      auto it = current()->hash.find({node, key});
      return it == current()->hash.end() ? nullptr : it->second;
    };
    s.remove_log_record = [](Node_LOG_REC* e) {
      current()->hash.erase({e->node, e->key});
      delete e;
    };
    return s;
  }

  std::vector<Rec> of(Node* tx, int channel) const {
    std::vector<Rec> out;
    for (const Rec& r : recs)
      if (r.tx == tx && r.channel == channel) out.push_back(r);
    return out;
  }
  // The end of a transaction: its entries and free lists go.
  void end(Node* tx) {
    for (auto it = hash.begin(); it != hash.end();) {
      if (it->second->log_node == tx) {
        delete it->second;
        it = hash.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = flists.begin(); it != flists.end();) {
      if (it->first.second == tx) {
        Llist_Clear(&it->second);
        it = flists.erase(it);
      } else {
        ++it;
      }
    }
    std::vector<Rec> kept;
    for (Rec& r : recs)
      if (r.tx != tx) kept.push_back(r);
    recs.swap(kept);
  }
  // Pre-commit, then final commit. The handlers' results.
  int commit(Node* tx) {
    action_node = tx;
    for (const Rec& r : of(tx, Tlog_CHANNEL_LOG))
      if (Pool_Commit(r.owner, r.data.data(), static_cast<uint32_t>(r.data.size()), &r.pos) != 0) return -1;
    for (const Rec& r : of(tx, Tlog_CHANNEL_DO_LOG))
      if (Pool_FinalCommit(r.owner, r.data.data(), static_cast<uint32_t>(r.data.size()), &r.pos) != 0) return -1;
    end(tx);
    return 0;
  }
  int rollback(Node* tx) {
    action_node = tx;
    std::vector<Rec> log = of(tx, Tlog_CHANNEL_LOG);
    for (auto it = log.rbegin(); it != log.rend(); ++it)
      if (Pool_Rollback(it->owner, it->data.data(), static_cast<uint32_t>(it->data.size()), &it->pos) != 0) return -1;
    end(tx);
    return 0;
  }
  size_t entries_of(Node* tx) const {
    size_t n = 0;
    for (const auto& [k, e] : hash)
      if (e->log_node == tx || tx == nullptr) ++n;
    return n;
  }
};

}  // namespace pool_test
