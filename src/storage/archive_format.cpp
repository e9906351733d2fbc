// archive_format.cpp - encoders and decoders of the archive stream's
// records (see archive_format.h).
#include "storage/archive_format.h"

#include <cstring>

#include "storage/disk_bytes.h"

const uint8_t Node_ARCHIVE_MAGIC[Node_ARCHIVE_MAGIC_SIZE] = {'Z', 'E', 'N', 'T', 'D', 'B', 0, 'A',
                                                             'R', 'C', 'H', 'I', 'V', 'E', 0};

void Node_EncodeTagHead(const Node_TAGHEAD& h, uint8_t* out) {
  out[0] = h.type;
  le_put32(out + 1, h.size);
}
Node_TAGHEAD Node_DecodeTagHead(const uint8_t* in) { return Node_TAGHEAD{in[0], le_get32(in + 1)}; }
static_assert(Node_TAG_HEAD_SIZE == 1 + 4);

uint32_t Node_ArchiveStringSize(const char* text) {
  const size_t n = text != nullptr ? strlen(text) : 0;
  return static_cast<uint32_t>((n > Node_ARCHIVE_MAX_STRING ? Node_ARCHIVE_MAX_STRING : n) + 1);
}

void Node_EncodeArchiveDesc(const Node_ARCHIVE_DESC& d, uint8_t* out) {
  le_put32(out, d.node_id);
  le_put32(out + 4, d.new_id);
  le_put16(out + 8, d.node_type);
  le_put16(out + 10, d.cluster_size);
  le_put32(out + 12, d.flags);
  le_put32(out + 16, d.used_clusters);
  le_put32(out + 20, d.flist_items);
  le_put16(out + 24, d.min_block_size);
  le_put16(out + 26, d.avg_block_size);
  le_put32(out + 28, d.reserved);
}
Node_ARCHIVE_DESC Node_DecodeArchiveDesc(const uint8_t* in) {
  Node_ARCHIVE_DESC d;
  d.node_id = le_get32(in);
  d.new_id = le_get32(in + 4);
  d.node_type = le_get16(in + 8);
  d.cluster_size = le_get16(in + 10);
  d.flags = le_get32(in + 12);
  d.used_clusters = le_get32(in + 16);
  d.flist_items = le_get32(in + 20);
  d.min_block_size = le_get16(in + 24);
  d.avg_block_size = le_get16(in + 26);
  d.reserved = le_get32(in + 28);
  return d;
}
static_assert(Node_ARCHIVE_DESC_SIZE == 32);
