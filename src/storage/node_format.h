// node_format.h - the on-disk records of the node layer: the 56-byte node
// descriptor and its parts (meta-data address, item-list and free-list
// heads), the node page (145 descriptors), the item-list page (1019 items),
// and the records the node layer hands to the transaction log (cluster
// actions, opcode 7; list actions, opcodes 8 to 12).
//
// All integers are little-endian. Each record has one encode and one decode
// function that go field by field, beside a compile-time check of its size
// (node_format.cpp); the records in memory are never copied to disk as they
// are. Plain functions over plain records; any thread may call them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/volume_format.h"

// --- Descriptor parts ----------------------------------------------------------

// Address of a block in a pool: the cluster's first page, the byte offset
// in the cluster and the block size. Cluster 0 = no block.
struct Node_ADDR {
  uint32_t cluster = 0;
  uint16_t offset = 0;
  uint16_t size = 0;
};
inline constexpr size_t Node_ADDR_SIZE = 8;

// Head of an item list (a node's used-cluster list among others).
struct Node_IHEAD {
  uint32_t head = 0;       // first list page, 0 = empty list
  uint32_t tail = 0;       // last list page
  uint32_t num_pages = 0;  // pages in the chain
  uint32_t timestamp = 0;  // bumped by every structural change of the list
};
inline constexpr size_t Node_IHEAD_SIZE = 16;

// Head of a pool node's free list (the pool layer owns its meaning).
struct Node_FHEAD {
  uint32_t head = 0;
  uint32_t tail = 0;
  uint16_t head_avg = 0;  // running average block size at the head end
  uint16_t tail_avg = 0;  // and at the tail end
};
inline constexpr size_t Node_FHEAD_SIZE = 12;

// --- Node descriptor -----------------------------------------------------------

struct Node_DESC {
  uint32_t node_id = 0;  // unique in its root; 0 = free slot
  Node_ADDR meta_addr;   // meta data block in the system pool
  uint16_t node_type = 0;     // two characters, the first in the high byte; 0 = not set
  uint16_t cluster_size = 0;  // pages per cluster, 1..8
  uint32_t flags = 0;         // Node_* flag bits (node.h); bits 16.. are run-time only
  Node_IHEAD ulist;           // used-cluster list
  Node_FHEAD flist;           // pool free list
  uint16_t min_block_size = 0;
  uint16_t avg_block_size = 0;
  uint32_t reserved = 0;
};
inline constexpr size_t Node_DESC_SIZE = 56;

void Node_EncodeAddr(const Node_ADDR& a, uint8_t* out);
Node_ADDR Node_DecodeAddr(const uint8_t* in);
void Node_EncodeIhead(const Node_IHEAD& h, uint8_t* out);
Node_IHEAD Node_DecodeIhead(const uint8_t* in);
void Node_EncodeDesc(const Node_DESC& d, uint8_t* out);
Node_DESC Node_DecodeDesc(const uint8_t* in);

// What makes a descriptor read back (an archive's, a log snapshot's) no
// node's: cluster size outside 1..8, a type other than 0 or two capitals
// (TL, a log node's, is never stored there), flag bits no release sets, a
// pool whose clusters are not single pages.
enum Node_DESC_FAULT {
  Node_DESC_OK = 0,
  Node_DESC_BAD_CLUSTER_SIZE,
  Node_DESC_BAD_TYPE,
  Node_DESC_BAD_FLAGS,
  Node_DESC_POOL_CLUSTER_SIZE,
};
Node_DESC_FAULT Node_CheckDescFields(uint16_t type, uint16_t cluster_size, uint32_t flags);

// --- Node page (page type 3) ----------------------------------------------------

inline constexpr int Node_PAGE_NUMITEMS = 145;       // descriptor slots
inline constexpr size_t Node_PAGE_HEAD_SIZE = 20;    // header, next_page, two counters
inline constexpr size_t Node_PAGE_USED = 8140;       // bytes read and written

struct Node_PAGE_HEAD {
  Vol_PGHEADER header;      // type 3, the page's own address
  uint32_t next_page = 0;   // next node page of the root, 0 = last
  uint32_t num_nodes = 0;   // first page only: nodes of the root
  uint32_t last_node_id = 0;  // first page only: highest user id handed out
};

void Node_EncodePageHead(const Node_PAGE_HEAD& h, uint8_t* out);
Node_PAGE_HEAD Node_DecodePageHead(const uint8_t* in);
// Byte offset of descriptor slot i (0..144) in a node page.
constexpr size_t Node_SlotOffset(int i) {
  return Node_PAGE_HEAD_SIZE + static_cast<size_t>(i) * Node_DESC_SIZE;
}

// --- Item-list page (page type 4) ------------------------------------------------

inline constexpr int Node_ILIST_NUMITEMS = 1019;
inline constexpr size_t Node_ILIST_HEAD_SIZE = 32;
inline constexpr size_t Node_ILIST_USED = 8184;  // end of the last slot
inline constexpr size_t Node_ITEM_SIZE = 8;

// One slot: for the used-cluster list the first page of a cluster and its
// page count. id 0 = empty slot.
struct Node_ITEM {
  uint32_t id = 0;
  uint32_t count = 0;
};

struct Node_ILIST {
  Vol_PGHEADER header;     // type 4, the page's own address
  uint32_t prev_page = 0;  // 0 = first page
  uint32_t next_page = 0;  // 0 = last page
  uint32_t num_items = 0;  // used slots
  uint32_t first_item = 0;  // first used slot
  uint32_t last_item = 0;   // one past the last used slot; slots are appended here
  uint32_t timestamp = 0;   // bumped by every change of the page
};

void Node_EncodeIlist(const Node_ILIST& h, uint8_t* out);
Node_ILIST Node_DecodeIlist(const uint8_t* in);
// Byte offset of item slot i (0..1018) in an item-list page.
constexpr size_t Node_ItemOffset(int i) {
  return Node_ILIST_HEAD_SIZE + static_cast<size_t>(i) * Node_ITEM_SIZE;
}
void Node_EncodeItem(const Node_ITEM& item, uint8_t* out);
Node_ITEM Node_DecodeItem(const uint8_t* in);
inline Node_ITEM Node_GetItem(const uint8_t* page, int i) {
  return Node_DecodeItem(page + Node_ItemOffset(i));
}
inline void Node_PutItem(uint8_t* page, int i, const Node_ITEM& item) {
  Node_EncodeItem(item, page + Node_ItemOffset(i));
}

// --- Log records -------------------------------------------------------------------

// Opcodes of the node layer's records in the transaction log.
enum {
  Node_OP_SNAPSHOT = 4,
  Node_OP_DELETED = 5,
  Node_OP_PAGES = 6,
  Node_OP_CLUSTER = 7,
  NodeList_OP_PAGE = 8,      // list page created or deleted
  NodeList_OP_HEAD = 9,      // page head (counters and timestamp)
  NodeList_OP_ITEM = 10,     // bytes of slots
  NodeList_OP_ITEM_SET = 11, // one slot, applied at commit
  NodeList_OP_FILL = 12,     // consecutive ids written into slots
};

// List identifiers (the op of a list log context) and list types.
enum { NodeList_ID_ULIST = 0, NodeList_ID_POOL_FLIST = 1, NodeList_ID_FIXREC_FLIST = 2 };
enum { NodeListType_UNKNOWN = 0, NodeListType_ILIST = 1, NodeListType_FLIST = 2 };

// Cluster action (opcode 7): pages allocated (op 1) or freed (op 2), or one
// page whose owner is whatever chain names it after recovery: a pool's
// free-list page taken or given up (op 3), a data node page taken (op 4).
enum {
  Node_CLUSTER_ALLOC = 1,
  Node_CLUSTER_FREE = 2,
  Node_CLUSTER_FLIST = 3,
  Node_CLUSTER_NODE_PAGE = 4,
};
struct Node_CLUSTER_REC {
  uint32_t first_page = 0;
  uint16_t count = 0;
  uint16_t op = 0;
};
inline constexpr size_t Node_CLUSTER_REC_SIZE = 8;

// List page action (opcode 8).
enum { NodeList_PAGE_CREATE = 1, NodeList_PAGE_DELETE = 2 };
struct NodeList_PAGE_REC {
  uint32_t timestamp = 0;  // of the list head, after the change
  uint16_t action = 0;
  uint8_t list_id = 0;
  uint8_t list_type = 0;
  uint32_t page = 0;
  uint32_t prev_page = 0;  // 0 when none
  uint32_t prev_timestamp = 0;  // that page's new timestamp
  uint32_t next_page = 0;
  uint32_t next_timestamp = 0;
};
inline constexpr size_t NodeList_PAGE_REC_SIZE = 28;

// Page head (opcode 9).
struct NodeList_HEAD_REC {
  uint32_t timestamp = 0;  // of the page, after the change
  uint32_t list_type = 0;
  uint32_t page = 0;
  uint32_t num_items = 0;
  uint32_t first_item = 0;
  uint32_t last_item = 0;
};
inline constexpr size_t NodeList_HEAD_REC_SIZE = 24;

// Slot bytes (opcodes 10 and 11): this head, then size bytes that go to
// offset in the page.
struct NodeList_ITEM_REC {
  uint32_t timestamp = 0;  // of the page, after the change
  uint32_t list_type = 0;
  uint32_t page = 0;
  uint16_t offset = 0;  // slot * 8 + 32
  uint16_t size = 0;    // slots * 8
};
inline constexpr size_t NodeList_ITEM_REC_SIZE = 16;
// The largest record: every slot of a page. It fits one log record.
inline constexpr size_t NodeList_ITEM_REC_MAX =
    NodeList_ITEM_REC_SIZE + Node_ILIST_NUMITEMS * Node_ITEM_SIZE;

// Fill (opcode 12): n items with ids first_id, first_id + 1, ... and count.
struct NodeList_FILL_REC {
  uint32_t timestamp = 0;  // of the page, after the change
  uint32_t list_type = 0;
  uint32_t page = 0;
  uint16_t first_slot = 0;
  uint16_t n = 0;
  uint32_t first_id = 0;
  uint32_t count = 0;
};
inline constexpr size_t NodeList_FILL_REC_SIZE = 24;

// Each encoder writes exactly its record's size; each decoder takes the
// bytes a log record holds and returns -1 when size is not the record's
// (for opcodes 10 and 11: shorter than the head, or the head's byte count
// not what follows), else 0.
void Node_EncodeClusterRec(const Node_CLUSTER_REC& r, uint8_t* out);
int Node_DecodeClusterRec(const uint8_t* in, size_t size, Node_CLUSTER_REC* r);
void NodeList_EncodePageRec(const NodeList_PAGE_REC& r, uint8_t* out);
int NodeList_DecodePageRec(const uint8_t* in, size_t size, NodeList_PAGE_REC* r);
void NodeList_EncodeHeadRec(const NodeList_HEAD_REC& r, uint8_t* out);
int NodeList_DecodeHeadRec(const uint8_t* in, size_t size, NodeList_HEAD_REC* r);
void NodeList_EncodeItemRec(const NodeList_ITEM_REC& r, uint8_t* out);
int NodeList_DecodeItemRec(const uint8_t* in, size_t size, NodeList_ITEM_REC* r);
void NodeList_EncodeFillRec(const NodeList_FILL_REC& r, uint8_t* out);
int NodeList_DecodeFillRec(const uint8_t* in, size_t size, NodeList_FILL_REC* r);
