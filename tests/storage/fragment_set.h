// fragment_set.h - leaves the free pages of a volume set scattered between
// used ones, so that clusters allocated afterwards (a restore's) land at
// addresses unlike those of the clusters they copy.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "storage/node.h"
#include "storage/node_cluster.h"

namespace storage_test {

// A node of pages one-page clusters, every other one freed again.
inline void fragment_set(int pages) {
  Node* f = Node_Create(1);
  ASSERT_NE(f, nullptr);
  std::vector<uint32_t> taken;
  for (int i = 0; i < pages; ++i) {
    Node_PGVEC v;
    ASSERT_EQ(Node_AllocCluster(f, 1, &v, Node_MODE_DATA, nullptr), 0);
    memset(v.buf, 0, 8192);
    Node_ReleaseClusterDirty(f, 1, &v);
    taken.push_back(v.page);
  }
  for (size_t i = 0; i < taken.size(); i += 2) Node_DeleteCluster(f, taken[i], nullptr);
}

}  // namespace storage_test
