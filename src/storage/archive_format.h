// archive_format.h - the archive stream's format: the magic, the tag head
// (u8 type, u32 size: 5 bytes, packed), the tag types and block types, the
// 32-byte node descriptor tag and the strings of the header. Multi-byte
// numbers are little-endian, encoded field by field; a string inside a tag
// is a u8 length (texts over 255 bytes cut to 255) and its bytes, without
// terminator.
//
// An archive: the magic; the header block (BEGIN 10, HEAD_HEAD, HEAD_DB,
// END 10); the collating-sequence block (BEGIN 30, COLL_DATA..., END 30),
// when there are sequences; one node block per node (BEGIN 20, NODE_DESC,
// then NODE_META, NODE_FLIST, NODE_ULIST as present, the NODE_CLUSTER
// tags, END 20); EOF. INFO tags may stand between blocks.
//
// Plain functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t Node_ARCHIVE_MAGIC_SIZE = 15;
extern const uint8_t Node_ARCHIVE_MAGIC[Node_ARCHIVE_MAGIC_SIZE];  // "ZENTDB\0ARCHIVE\0"

enum {
  Node_ATT_INFO = 0,
  Node_ATT_EOF = 1,
  Node_ATT_BEGIN = 2,
  Node_ATT_END = 3,
  Node_ATT_HEAD = 10,
  Node_ATT_HEAD_HEAD = 11,
  Node_ATT_HEAD_DB = 12,
  Node_ATT_NODE = 20,
  Node_ATT_NODE_DESC = 21,
  Node_ATT_NODE_META = 22,
  Node_ATT_NODE_FLIST = 23,
  Node_ATT_NODE_ULIST = 24,
  Node_ATT_NODE_CLUSTER = 25,
  Node_ATT_COLL = 30,
  Node_ATT_COLL_DATA = 31,
};

inline constexpr size_t Node_TAG_HEAD_SIZE = 5;
struct Node_TAGHEAD {
  uint8_t type = 0;
  uint32_t size = 0;
};
void Node_EncodeTagHead(const Node_TAGHEAD& h, uint8_t* out);
Node_TAGHEAD Node_DecodeTagHead(const uint8_t* in);

inline constexpr uint32_t Node_ARCHIVE_BYTE_ORDER = 1234;
inline constexpr uint32_t Node_ARCHIVE_VERSION = 1;
inline constexpr const char* Node_ARCHIVE_REVISION = "WIN32 A.06.00";
inline constexpr const char* Node_ARCHIVE_PLATFORM = "WIN32";
inline constexpr const char* Node_ARCHIVE_CHARSET = "iso-8859-1";
inline constexpr size_t Node_ARCHIVE_MAX_STRING = 255;

// Size of a string in a tag: its length cut to 255, plus the length byte.
uint32_t Node_ArchiveStringSize(const char* text);

// The node descriptor tag.
inline constexpr size_t Node_ARCHIVE_DESC_SIZE = 32;
struct Node_ARCHIVE_DESC {
  uint32_t node_id = 0;
  uint32_t new_id = 0;  // 0 in an archive; the restore writes the new id here
  uint16_t node_type = 0;
  uint16_t cluster_size = 0;
  uint32_t flags = 0;
  uint32_t used_clusters = 0;
  uint32_t flist_items = 0;
  uint16_t min_block_size = 0;
  uint16_t avg_block_size = 0;
  uint32_t reserved = 0;
};
void Node_EncodeArchiveDesc(const Node_ARCHIVE_DESC& d, uint8_t* out);
Node_ARCHIVE_DESC Node_DecodeArchiveDesc(const uint8_t* in);

// A used-list entry in its tag: u32 cluster, u8 page count.
inline constexpr size_t Node_ARCHIVE_ULIST_ITEM_SIZE = 5;
