// archive_roundtrip.h - nodes stored into an archive in memory, and an
// archive in memory read and restored as the access layer's restore does:
// for the tests of the reader and of the layers' restore functions.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/archive_stream.h"
#include "storage/archive_writer.h"
#include "storage/disk_bytes.h"
#include "storage/node_restore.h"

namespace archive_test {

// An archive of nodes with a header of num_items items and INFO tags
// before and between the node blocks.
inline std::vector<uint8_t> store_nodes(const std::vector<Node*>& nodes, uint32_t num_items = 2) {
  Archive_MEMSTREAM m;
  Archive_InitMemStream(&m);
  std::vector<uint32_t> items(num_items);
  for (uint32_t i = 0; i < num_items; ++i) items[i] = i * 3;
  EXPECT_EQ(Node_StoreMagic(&m), 0);
  EXPECT_EQ(Node_StoreInfo(&m, "stored by %s", "a test"), 0);
  EXPECT_EQ(Node_BeginArchive(&m, "db", 5, 123, items.data(), num_items), 0);
  for (Node* n : nodes) {
    EXPECT_EQ(Node_StoreNode(&m, n), 0);
    EXPECT_EQ(Node_StoreInfo(&m, "between nodes"), 0);
  }
  EXPECT_EQ(Node_EndArchive(&m), 0);
  return m.bytes;
}

// Reads the head of an archive and restores its nodes without a
// transaction. 0 or -1.
inline int restore_nodes(const std::vector<uint8_t>& bytes, std::vector<Node_RESTORED>* out,
                         Node_DB_HEADER* db = nullptr) {
  out->clear();
  Archive_MEMSTREAM s;
  Archive_InitMemStream(&s);
  s.bytes = bytes;
  Node_TAGHEAD h;
  uint8_t block = 0;
  std::string text;
  if (Node_RestoreMagic(&s) != 0 || Node_RestoreTagHead(&s, &h) != 0) return -1;
  for (; h.type == Node_ATT_INFO;)
    if (Node_RestoreInfo(&s, &h, &text) != 0 || Node_RestoreTagHead(&s, &h) != 0) return -1;
  if (Node_RestoreBlockTag(&s, &h, &block) != 0 || block != Node_ATT_HEAD) return -1;
  Node_ARCHIVE_HEADER ah;
  Node_DB_HEADER dh;
  if (Node_RestoreTagHead(&s, &h) != 0 || Node_RestoreArchiveHeader(&s, &h, &ah) != 0 ||
      Node_RestoreTagHead(&s, &h) != 0 || Node_RestoreDbHeader(&s, &h, &dh) != 0 ||
      Node_RestoreTagHead(&s, &h) != 0 || Node_RestoreBlockTag(&s, &h, &block) != 0)
    return -1;
  if (db != nullptr) *db = dh;
  for (;;) {
    if (Node_RestoreTagHead(&s, &h) != 0) return -1;
    if (h.type == Node_ATT_INFO) {
      if (Node_RestoreInfo(&s, &h, &text) != 0) return -1;
      continue;
    }
    if (Node_RestoreBlockTag(&s, &h, &block) != 0) return -1;
    return Node_RestoreAllNodes(&s, &h, block, out, nullptr);
  }
}

// An archive after its magic, one raw tag (head and data) an element, so
// cases can edit, drop, repeat and reorder tags.
struct Tags {
  std::vector<std::vector<uint8_t>> tags;
  static Tags split(const std::vector<uint8_t>& b) {
    Tags t;
    size_t at = Node_ARCHIVE_MAGIC_SIZE;
    while (at < b.size()) {
      const uint32_t size = le_get32(b.data() + at + 1);
      t.tags.emplace_back(b.begin() + static_cast<long>(at),
                          b.begin() + static_cast<long>(at + Node_TAG_HEAD_SIZE + size));
      at += Node_TAG_HEAD_SIZE + size;
    }
    return t;
  }
  std::vector<uint8_t> join() const {
    std::vector<uint8_t> b(Node_ARCHIVE_MAGIC, Node_ARCHIVE_MAGIC + Node_ARCHIVE_MAGIC_SIZE);
    for (const auto& t : tags) b.insert(b.end(), t.begin(), t.end());
    return b;
  }
  // Index of the nth tag of type (from 0).
  size_t find(uint8_t type, int nth = 0) const {
    for (size_t i = 0; i < tags.size(); ++i)
      if (tags[i][0] == type && nth-- == 0) return i;
    ADD_FAILURE() << "no tag " << int{type};
    return 0;
  }
  uint8_t* data(uint8_t type, int nth = 0) { return tags[find(type, nth)].data() + 5; }
  void set_size(size_t i, uint32_t size) { le_put32(tags[i].data() + 1, size); }
  // Offset of the nth tag's head in the joined stream.
  size_t offset(uint8_t type, int nth = 0) const {
    size_t at = Node_ARCHIVE_MAGIC_SIZE;
    const size_t k = find(type, nth);
    for (size_t i = 0; i < k; ++i) at += tags[i].size();
    return at;
  }
};

}  // namespace archive_test
