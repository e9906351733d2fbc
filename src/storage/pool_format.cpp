// pool_format.cpp - encoding and decoding of the pools' records.
#include "storage/pool_format.h"

#include <cstring>

#include "storage/disk_bytes.h"

namespace {

// Byte offsets of each record's fields, each following from the one before.
namespace fl {
constexpr size_t header = 0;
constexpr size_t prev_page = header + Vol_PGHEADER_SIZE;
constexpr size_t next_page = prev_page + 4;
constexpr size_t num_items = next_page + 4;
constexpr size_t first_item = num_items + 4;
constexpr size_t last_item = first_item + 4;
constexpr size_t end = last_item + 4;
}  // namespace fl
static_assert(fl::end == Node_FLIST_HEAD_SIZE);
// The item-list page's head has these fields at these places, then its timestamp.
static_assert(Node_FLIST_HEAD_SIZE + 4 == Node_ILIST_HEAD_SIZE);
static_assert(Node_FitemOffset(Node_FLIST_NUMITEMS) == Node_FLIST_USED);
static_assert(Node_FLIST_USED <= Vol_PAGESIZE);

namespace ch {
constexpr size_t prev = 0;
constexpr size_t next = prev + 4;
constexpr size_t last_offset = next + 4;
constexpr size_t num_pages = last_offset + 2;
constexpr size_t end = num_pages + 2;
}  // namespace ch
static_assert(ch::end == Pool_CLUSTER_HEAD_SIZE);

namespace bh {
constexpr size_t prev = 0;
constexpr size_t next = prev + 2;
constexpr size_t size = next + 2;
constexpr size_t flags = size + 2;
constexpr size_t end = flags + 2;
}  // namespace bh
static_assert(bh::end == Pool_HEADER_SIZE);

namespace rec {
constexpr size_t opcode = 0;
constexpr size_t addr = opcode + 4;
constexpr size_t page = addr + Node_ADDR_SIZE;  // NEW, MODIFY, DELETE
constexpr size_t r_pgno = page + 4;
constexpr size_t cluster = r_pgno + 4;
constexpr size_t cluster_pages = cluster + 4;
constexpr size_t spare = cluster_pages + 2;
constexpr size_t items = page;                  // FLIST kinds
constexpr size_t end = spare + 2;
}  // namespace rec
static_assert(rec::end == Pool_RECORD_SIZE);
static_assert(rec::items + Pool_MAX_ITEMS_TO_DELETE * Node_ADDR_SIZE == Pool_RECORD_SIZE);

namespace an {
constexpr size_t head = 0;
constexpr size_t tail = head + 4;
constexpr size_t last_block = tail + 4;
constexpr size_t end = last_block + Node_ADDR_SIZE;
}  // namespace an
static_assert(an::end == FPool_ANCHOR_SIZE);

}  // namespace

// A free-list page's head is an item-list page's head without the
// timestamp: the same fields at the same places (checked above), so one
// encoding serves both.
void Node_EncodeFlist(const Node_FLIST& h, uint8_t* out) {
  Node_ILIST l;
  l.header = h.header;
  l.prev_page = h.prev_page;
  l.next_page = h.next_page;
  l.num_items = h.num_items;
  l.first_item = h.first_item;
  l.last_item = h.last_item;
  uint8_t head[Node_ILIST_HEAD_SIZE];
  Node_EncodeIlist(l, head);
  memcpy(out, head, Node_FLIST_HEAD_SIZE);
}

Node_FLIST Node_DecodeFlist(const uint8_t* in) {
  uint8_t head[Node_ILIST_HEAD_SIZE] = {};
  memcpy(head, in, Node_FLIST_HEAD_SIZE);
  const Node_ILIST l = Node_DecodeIlist(head);
  Node_FLIST h;
  h.header = l.header;
  h.prev_page = l.prev_page;
  h.next_page = l.next_page;
  h.num_items = l.num_items;
  h.first_item = l.first_item;
  h.last_item = l.last_item;
  return h;
}

void Pool_EncodeClusterHead(const Pool_CLUSTER_HEAD& h, uint8_t* out) {
  le_put32(out + ch::prev, h.prev);
  le_put32(out + ch::next, h.next);
  le_put16(out + ch::last_offset, h.last_offset);
  le_put16(out + ch::num_pages, h.num_pages);
}

Pool_CLUSTER_HEAD Pool_DecodeClusterHead(const uint8_t* in) {
  Pool_CLUSTER_HEAD h;
  h.prev = le_get32(in + ch::prev);
  h.next = le_get32(in + ch::next);
  h.last_offset = le_get16(in + ch::last_offset);
  h.num_pages = le_get16(in + ch::num_pages);
  return h;
}

void Pool_EncodeHeader(const Pool_HEADER& h, uint8_t* out) {
  le_put16(out + bh::prev, h.prev);
  le_put16(out + bh::next, h.next);
  le_put16(out + bh::size, h.size);
  le_put16(out + bh::flags, h.flags);
}

Pool_HEADER Pool_DecodeHeader(const uint8_t* in) {
  Pool_HEADER h;
  h.prev = le_get16(in + bh::prev);
  h.next = le_get16(in + bh::next);
  h.size = le_get16(in + bh::size);
  h.flags = le_get16(in + bh::flags);
  return h;
}

void Pool_EncodeRecord(const Pool_RECORD& r, uint8_t* out) {
  le_put32(out + rec::opcode, r.opcode);
  Node_EncodeAddr(r.addr, out + rec::addr);
  if (r.opcode == Pool_OP_FLIST || r.opcode == Pool_OP_FLIST_UNDO) {
    for (int i = 0; i < Pool_MAX_ITEMS_TO_DELETE; ++i)
      Node_EncodeAddr(r.items[i], out + rec::items + i * Node_ADDR_SIZE);
    return;
  }
  le_put32(out + rec::page, r.page);
  le_put32(out + rec::r_pgno, r.r_pgno);
  le_put32(out + rec::cluster, r.cluster);
  le_put16(out + rec::cluster_pages, r.cluster_pages);
  le_put16(out + rec::spare, 0);
}

int Pool_DecodeRecord(const uint8_t* in, size_t size, Pool_RECORD* r) {
  if (size != Pool_RECORD_SIZE) return -1;
  *r = Pool_RECORD{};
  r->opcode = le_get32(in + rec::opcode);
  if (r->opcode < Pool_OP_NEW || r->opcode > Pool_OP_FLIST_UNDO) return -1;
  r->addr = Node_DecodeAddr(in + rec::addr);
  if (r->opcode == Pool_OP_FLIST || r->opcode == Pool_OP_FLIST_UNDO) {
    for (int i = 0; i < Pool_MAX_ITEMS_TO_DELETE; ++i)
      r->items[i] = Node_DecodeAddr(in + rec::items + i * Node_ADDR_SIZE);
    return 0;
  }
  r->page = le_get32(in + rec::page);
  r->r_pgno = le_get32(in + rec::r_pgno);
  r->cluster = le_get32(in + rec::cluster);
  r->cluster_pages = le_get16(in + rec::cluster_pages);
  return 0;
}

void FPool_EncodeAnchor(const FPool_ANCHOR& a, uint8_t* out) {
  le_put32(out + an::head, a.head);
  le_put32(out + an::tail, a.tail);
  Node_EncodeAddr(a.last_block, out + an::last_block);
}

FPool_ANCHOR FPool_DecodeAnchor(const uint8_t* in) {
  FPool_ANCHOR a;
  a.head = le_get32(in + an::head);
  a.tail = le_get32(in + an::tail);
  a.last_block = Node_DecodeAddr(in + an::last_block);
  return a;
}
