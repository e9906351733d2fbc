// btree_checker.h - the page checker of the B-tree tests: reads every page of
// a tree straight from the node (outside any operation) and lists what is
// wrong with it.
//
// It checks the meta data (magic, version, page size, a root); every
// reachable page's header (its own address, a known type) and slot bounds;
// that the entries tile the page from upper to its end without gaps or
// overlaps; strictly increasing keys on each page (by the handle's compare)
// and every key inside the bounds its parents give; all leaves at one
// depth; symmetric sibling links that chain each level in key order from
// prev 0 to next 0; no page reached twice; and the reachable pages equal to
// the node's used-cluster list (single pages).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "index/btree.h"

namespace btree_test {

struct CheckResult {
  std::vector<std::string> problems;
  uint64_t entries = 0;   // leaf entries
  uint32_t pages = 0;     // reachable pages
  uint32_t leaves = 0;
  uint32_t height = 0;    // levels, the leaves' included
  bool ok() const { return problems.empty(); }
  std::string text() const;
};

CheckResult check_tree(btree_HANDLE* t);

// Every leaf entry in key order, walked from the leftmost leaf along the
// next links: {key, data}.
std::vector<std::pair<std::string, std::string>> leaf_entries(btree_HANDLE* t);

// The bytes of every page of the tree, by page address (for byte-identity
// checks).
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tree_pages(btree_HANDLE* t);

}  // namespace btree_test
