// btree_checker.cpp - the page checker (see btree_checker.h).
#include "index/btree_checker.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "index/btree_internal.h"
#include "storage/node_cluster.h"

namespace btree_test {

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%x", v);
  return b;
}

Bytes read_page(Node* node, uint32_t pgno) {
  Node_PGVEC v;
  Node_GetClusterReadOnly(node, pgno, 1, &v, Node_MODE_DATA);
  Bytes b(reinterpret_cast<uint8_t*>(v.buf), reinterpret_cast<uint8_t*>(v.buf) + BT_PSIZE);
  Node_ReleaseCluster(node, 1, &v);
  return b;
}

struct Checker {
  btree_HANDLE* t;
  CheckResult r;
  std::set<uint32_t> seen;
  std::map<uint32_t, std::vector<uint32_t>> levels;  // depth -> pages in key order
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> links;  // page -> {prev, next}
  std::optional<uint32_t> leaf_depth;

  void fail(uint32_t pgno, const std::string& what) { r.problems.push_back("page " + hex(pgno) + ": " + what); }

  int cmp(const Bytes& a, const Bytes& b) {
    btree_DBT da{const_cast<uint8_t*>(a.data()), static_cast<uint32_t>(a.size())};
    btree_DBT db{const_cast<uint8_t*>(b.data()), static_cast<uint32_t>(b.size())};
    return t->compare(&t->keydef, &da, &db, t->arg);
  }

  // Entries tile [upper, 8192): no gap, no overlap.
  bool tiles(uint32_t pgno, const Bytes& p) {
    std::vector<std::pair<uint32_t, uint32_t>> ext;
    for (uint32_t i = 0; i < bt_nent(p.data()); ++i) {
      const uint32_t off = bt_slot(p.data(), i);
      ext.push_back({off, bt_e_size(p.data(), off)});
    }
    std::sort(ext.begin(), ext.end());
    uint32_t at = bt_upper(p.data());
    for (const auto& [off, size] : ext) {
      if (off != at) {
        fail(pgno, "entries do not tile the page at offset " + std::to_string(at) + " (next entry at " +
                       std::to_string(off) + ")");
        return false;
      }
      at = off + size;
    }
    if (at != BT_PSIZE) {
      fail(pgno, "entries end at " + std::to_string(at));
      return false;
    }
    return true;
  }

  void visit(uint32_t pgno, uint32_t depth, const std::optional<Bytes>& lo,
             const std::optional<Bytes>& hi) {
    if (depth > 60) {
      fail(pgno, "deeper than 60 levels");
      return;
    }
    if (!seen.insert(pgno).second) {
      fail(pgno, "reached twice");
      return;
    }
    r.pages++;
    const Bytes p = read_page(t->node, pgno);
    const uint8_t* pp = p.data();
    if (bt_pgno(pp) != pgno) fail(pgno, "header names " + hex(bt_pgno(pp)));
    const char* why = nullptr;
    if (btree_CheckPageLayout(pp, &why) != 0) {
      fail(pgno, why);
      return;
    }
    if (!tiles(pgno, p)) return;
    levels[depth].push_back(pgno);
    links[pgno] = {bt_prev(pp), bt_next(pp)};
    const uint32_t n = bt_nent(pp);
    const bool leaf = bt_is_leaf(pp);
    const bool root = pgno == btree_MetaRoot(t->meta);
    if (n == 0 && !(root && leaf)) fail(pgno, "no entries");
    std::vector<Bytes> keys;
    for (uint32_t i = 0; i < n; ++i) {
      const btree_DBT k = bt_entry_key(pp, i);
      keys.emplace_back(static_cast<uint8_t*>(k.data), static_cast<uint8_t*>(k.data) + k.size);
    }
    const bool minus_inf = !leaf && bt_prev(pp) == 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (i == 0 && minus_inf) continue;
      if (i > 0 && !(i == 1 && minus_inf) && cmp(keys[i - 1], keys[i]) >= 0)
        fail(pgno, "keys " + std::to_string(i - 1) + " and " + std::to_string(i) + " out of order");
      if (lo && cmp(*lo, keys[i]) > 0) fail(pgno, "key " + std::to_string(i) + " below its bound");
      if (hi && cmp(keys[i], *hi) >= 0) fail(pgno, "key " + std::to_string(i) + " at or above its bound");
    }
    if (leaf) {
      r.leaves++;
      r.entries += n;
      if (!leaf_depth) leaf_depth = depth;
      if (*leaf_depth != depth) fail(pgno, "leaf at depth " + std::to_string(depth));
      return;
    }
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t child = bt_e_word2(pp, bt_slot(pp, i));
      std::optional<Bytes> clo = i == 0 ? lo : std::optional<Bytes>(keys[i]);
      std::optional<Bytes> chi = i + 1 < n ? std::optional<Bytes>(keys[i + 1]) : hi;
      visit(child, depth + 1, clo, chi);
    }
  }

  void check_levels() {
    for (const auto& [depth, pages] : levels) {
      for (size_t i = 0; i < pages.size(); ++i) {
        const auto [prev, next] = links[pages[i]];
        const uint32_t want_prev = i == 0 ? 0 : pages[i - 1];
        const uint32_t want_next = i + 1 == pages.size() ? 0 : pages[i + 1];
        if (prev != want_prev) fail(pages[i], "prev " + hex(prev) + ", expected " + hex(want_prev));
        if (next != want_next) fail(pages[i], "next " + hex(next) + ", expected " + hex(want_next));
      }
    }
  }

  void check_used_list() {
    std::set<uint32_t> used;
    uint32_t start = 0;
    uint32_t count = 0;
    Node_ITER it;
    for (int rc = Node_FirstCluster(t->node, &start, &count, &it); rc == 0;
         rc = Node_NextCluster(t->node, &start, &count, &it)) {
      if (count != 1) r.problems.push_back("used list: cluster " + hex(start) + " of " +
                                           std::to_string(count) + " pages");
      if (!used.insert(start).second) r.problems.push_back("used list: " + hex(start) + " twice");
    }
    for (uint32_t p : seen)
      if (!used.count(p)) fail(p, "reachable but not in the used list");
    for (uint32_t p : used)
      if (!seen.count(p)) fail(p, "in the used list but not reachable");
  }
};

}  // namespace

std::string CheckResult::text() const {
  std::string s;
  for (const auto& p : problems) s += p + "\n";
  return s;
}

CheckResult check_tree(btree_HANDLE* t) {
  Checker c{t, {}, {}, {}, {}, {}};
  btree_META m;
  if (btree_DecodeMeta(t->meta, Node_GetMetaSize(t->node), &m) != 0 || m.magic != BTMAGIC ||
      m.version != BTVERSION || m.psize != BT_PSIZE || m.root == 0) {
    c.r.problems.push_back("meta data");
    return c.r;
  }
  c.visit(m.root, 0, std::nullopt, std::nullopt);
  const auto root_links = c.links[m.root];
  if (root_links.first != 0 || root_links.second != 0) c.fail(m.root, "root has neighbours");
  c.check_levels();
  c.check_used_list();
  c.r.height = c.leaf_depth ? *c.leaf_depth + 1 : 0;
  return c.r;
}

std::vector<std::pair<std::string, std::string>> leaf_entries(btree_HANDLE* t) {
  std::vector<std::pair<std::string, std::string>> out;
  uint32_t pgno = btree_MetaRoot(t->meta);
  for (;;) {
    const Bytes p = read_page(t->node, pgno);
    if (bt_is_leaf(p.data())) break;
    pgno = bt_e_word2(p.data(), bt_slot(p.data(), 0));
  }
  while (pgno != 0) {
    const Bytes p = read_page(t->node, pgno);
    for (uint32_t i = 0; i < bt_nent(p.data()); ++i) {
      const btree_DBT k = bt_entry_key(p.data(), i);
      const uint32_t dsize = bt_e_word2(p.data(), bt_slot(p.data(), i));
      const char* kb = static_cast<const char*>(k.data);
      out.emplace_back(std::string(kb, k.size), std::string(kb + k.size, dsize));
    }
    pgno = bt_next(p.data());
  }
  return out;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tree_pages(btree_HANDLE* t) {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  uint32_t start = 0;
  uint32_t count = 0;
  Node_ITER it;
  for (int rc = Node_FirstCluster(t->node, &start, &count, &it); rc == 0;
       rc = Node_NextCluster(t->node, &start, &count, &it))
    out.emplace_back(start, read_page(t->node, start));
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace btree_test
