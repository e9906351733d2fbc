// node_format.cpp - encoding and decoding of the node layer's records.
#include "storage/node_format.h"

#include "storage/node.h"

namespace {

// Byte offsets of each record's fields; each follows from the one before
// and its size, so a slip in any of them fails to compile.
namespace desc {
constexpr size_t node_id = 0;
constexpr size_t meta_addr = node_id + 4;
constexpr size_t node_type = meta_addr + Node_ADDR_SIZE;
constexpr size_t cluster_size = node_type + 2;
constexpr size_t flags = cluster_size + 2;
constexpr size_t ulist = flags + 4;
constexpr size_t flist = ulist + Node_IHEAD_SIZE;
constexpr size_t min_block = flist + Node_FHEAD_SIZE;
constexpr size_t avg_block = min_block + 2;
constexpr size_t reserved = avg_block + 2;
constexpr size_t end = reserved + 4;
}  // namespace desc
static_assert(desc::ulist == 20 && desc::flist == 36 && desc::min_block == 48);
static_assert(desc::end == Node_DESC_SIZE);

namespace npage {
constexpr size_t header = 0;
constexpr size_t next_page = header + Vol_PGHEADER_SIZE;
constexpr size_t num_nodes = next_page + 4;
constexpr size_t last_node_id = num_nodes + 4;
constexpr size_t end = last_node_id + 4;
}  // namespace npage
static_assert(npage::end == Node_PAGE_HEAD_SIZE);
static_assert(Node_SlotOffset(Node_PAGE_NUMITEMS) == Node_PAGE_USED);
static_assert(Node_PAGE_USED <= Vol_PAGESIZE);

namespace ilist {
constexpr size_t header = 0;
constexpr size_t prev_page = header + Vol_PGHEADER_SIZE;
constexpr size_t next_page = prev_page + 4;
constexpr size_t num_items = next_page + 4;
constexpr size_t first_item = num_items + 4;
constexpr size_t last_item = first_item + 4;
constexpr size_t timestamp = last_item + 4;
constexpr size_t end = timestamp + 4;
}  // namespace ilist
static_assert(ilist::end == Node_ILIST_HEAD_SIZE);
static_assert(Node_ItemOffset(Node_ILIST_NUMITEMS) == Node_ILIST_USED);
static_assert(Node_ILIST_USED <= Vol_PAGESIZE);

namespace pagerec {
constexpr size_t timestamp = 0;
constexpr size_t action = timestamp + 4;
constexpr size_t list_id = action + 2;
constexpr size_t list_type = list_id + 1;
constexpr size_t page = list_type + 1;
constexpr size_t prev_page = page + 4;
constexpr size_t prev_ts = prev_page + 4;
constexpr size_t next_page = prev_ts + 4;
constexpr size_t next_ts = next_page + 4;
constexpr size_t end = next_ts + 4;
}  // namespace pagerec
static_assert(pagerec::list_id == 6 && pagerec::list_type == 7);
static_assert(pagerec::end == NodeList_PAGE_REC_SIZE);

namespace itemrec {
constexpr size_t timestamp = 0;
constexpr size_t list_type = timestamp + 4;
constexpr size_t page = list_type + 4;
constexpr size_t offset = page + 4;
constexpr size_t size = offset + 2;
constexpr size_t end = size + 2;
}  // namespace itemrec
static_assert(itemrec::end == NodeList_ITEM_REC_SIZE);
// The 16-byte head and a page's worth of slots fit one log record of 8168
// bytes of data, so no list record is ever cut into pieces.
static_assert(NodeList_ITEM_REC_MAX == 8168);

namespace fillrec {
constexpr size_t timestamp = 0;
constexpr size_t list_type = timestamp + 4;
constexpr size_t page = list_type + 4;
constexpr size_t first_slot = page + 4;
constexpr size_t n = first_slot + 2;
constexpr size_t first_id = n + 2;
constexpr size_t count = first_id + 4;
constexpr size_t end = count + 4;
}  // namespace fillrec
static_assert(fillrec::end == NodeList_FILL_REC_SIZE);
static_assert(NodeList_HEAD_REC_SIZE == 6 * 4);
static_assert(Node_CLUSTER_REC_SIZE == 4 + 2 + 2);

void encode_fhead(const Node_FHEAD& h, uint8_t* out) {
  le_put32(out, h.head);
  le_put32(out + 4, h.tail);
  le_put16(out + 8, h.head_avg);
  le_put16(out + 10, h.tail_avg);
}

Node_FHEAD decode_fhead(const uint8_t* in) {
  Node_FHEAD h;
  h.head = le_get32(in);
  h.tail = le_get32(in + 4);
  h.head_avg = le_get16(in + 8);
  h.tail_avg = le_get16(in + 10);
  return h;
}

}  // namespace

void Node_EncodeAddr(const Node_ADDR& a, uint8_t* out) {
  le_put32(out, a.cluster);
  le_put16(out + 4, a.offset);
  le_put16(out + 6, a.size);
}

Node_ADDR Node_DecodeAddr(const uint8_t* in) {
  Node_ADDR a;
  a.cluster = le_get32(in);
  a.offset = le_get16(in + 4);
  a.size = le_get16(in + 6);
  return a;
}

void Node_EncodeIhead(const Node_IHEAD& h, uint8_t* out) {
  le_put32(out, h.head);
  le_put32(out + 4, h.tail);
  le_put32(out + 8, h.num_pages);
  le_put32(out + 12, h.timestamp);
}

Node_IHEAD Node_DecodeIhead(const uint8_t* in) {
  Node_IHEAD h;
  h.head = le_get32(in);
  h.tail = le_get32(in + 4);
  h.num_pages = le_get32(in + 8);
  h.timestamp = le_get32(in + 12);
  return h;
}

void Node_EncodeDesc(const Node_DESC& d, uint8_t* out) {
  le_put32(out + desc::node_id, d.node_id);
  Node_EncodeAddr(d.meta_addr, out + desc::meta_addr);
  le_put16(out + desc::node_type, d.node_type);
  le_put16(out + desc::cluster_size, d.cluster_size);
  le_put32(out + desc::flags, d.flags);
  Node_EncodeIhead(d.ulist, out + desc::ulist);
  encode_fhead(d.flist, out + desc::flist);
  le_put16(out + desc::min_block, d.min_block_size);
  le_put16(out + desc::avg_block, d.avg_block_size);
  le_put32(out + desc::reserved, d.reserved);
}

Node_DESC Node_DecodeDesc(const uint8_t* in) {
  Node_DESC d;
  d.node_id = le_get32(in + desc::node_id);
  d.meta_addr = Node_DecodeAddr(in + desc::meta_addr);
  d.node_type = le_get16(in + desc::node_type);
  d.cluster_size = le_get16(in + desc::cluster_size);
  d.flags = le_get32(in + desc::flags);
  d.ulist = Node_DecodeIhead(in + desc::ulist);
  d.flist = decode_fhead(in + desc::flist);
  d.min_block_size = le_get16(in + desc::min_block);
  d.avg_block_size = le_get16(in + desc::avg_block);
  d.reserved = le_get32(in + desc::reserved);
  return d;
}

Node_DESC_FAULT Node_CheckDescFields(uint16_t type, uint16_t cluster_size, uint32_t flags) {
  if (cluster_size < 1 || cluster_size > Vol_MAXCLUST) return Node_DESC_BAD_CLUSTER_SIZE;
  const unsigned a = type >> 8, b = type & 0xFFu;
  if (type != 0 && (a < 'A' || a > 'Z' || b < 'A' || b > 'Z' || type == NodeType_TL))
    return Node_DESC_BAD_TYPE;
  constexpr uint32_t stored = (1u << (Node_UNCOMMITTED + 1)) - 1u;
  if ((flags & ~(stored | Node_RUNTIME_FLAGS)) != 0) return Node_DESC_BAD_FLAGS;
  if ((flags & (1u << Node_POOLNODE)) != 0 && cluster_size != 1) return Node_DESC_POOL_CLUSTER_SIZE;
  return Node_DESC_OK;
}

void Node_EncodePageHead(const Node_PAGE_HEAD& h, uint8_t* out) {
  Vol_EncodeHeader(h.header, out + npage::header);
  le_put32(out + npage::next_page, h.next_page);
  le_put32(out + npage::num_nodes, h.num_nodes);
  le_put32(out + npage::last_node_id, h.last_node_id);
}

Node_PAGE_HEAD Node_DecodePageHead(const uint8_t* in) {
  Node_PAGE_HEAD h;
  h.header = Vol_DecodeHeader(in + npage::header);
  h.next_page = le_get32(in + npage::next_page);
  h.num_nodes = le_get32(in + npage::num_nodes);
  h.last_node_id = le_get32(in + npage::last_node_id);
  return h;
}

void Node_EncodeIlist(const Node_ILIST& h, uint8_t* out) {
  Vol_EncodeHeader(h.header, out + ilist::header);
  le_put32(out + ilist::prev_page, h.prev_page);
  le_put32(out + ilist::next_page, h.next_page);
  le_put32(out + ilist::num_items, h.num_items);
  le_put32(out + ilist::first_item, h.first_item);
  le_put32(out + ilist::last_item, h.last_item);
  le_put32(out + ilist::timestamp, h.timestamp);
}

Node_ILIST Node_DecodeIlist(const uint8_t* in) {
  Node_ILIST h;
  h.header = Vol_DecodeHeader(in + ilist::header);
  h.prev_page = le_get32(in + ilist::prev_page);
  h.next_page = le_get32(in + ilist::next_page);
  h.num_items = le_get32(in + ilist::num_items);
  h.first_item = le_get32(in + ilist::first_item);
  h.last_item = le_get32(in + ilist::last_item);
  h.timestamp = le_get32(in + ilist::timestamp);
  return h;
}

void Node_EncodeItem(const Node_ITEM& item, uint8_t* out) {
  le_put32(out, item.id);
  le_put32(out + 4, item.count);
}

Node_ITEM Node_DecodeItem(const uint8_t* in) {
  Node_ITEM item;
  item.id = le_get32(in);
  item.count = le_get32(in + 4);
  return item;
}

// --- Log records ----------------------------------------------------------------------

void Node_EncodeClusterRec(const Node_CLUSTER_REC& r, uint8_t* out) {
  le_put32(out, r.first_page);
  le_put16(out + 4, r.count);
  le_put16(out + 6, r.op);
}

int Node_DecodeClusterRec(const uint8_t* in, size_t size, Node_CLUSTER_REC* r) {
  if (size != Node_CLUSTER_REC_SIZE) return -1;
  r->first_page = le_get32(in);
  r->count = le_get16(in + 4);
  r->op = le_get16(in + 6);
  return 0;
}

void NodeList_EncodePageRec(const NodeList_PAGE_REC& r, uint8_t* out) {
  le_put32(out + pagerec::timestamp, r.timestamp);
  le_put16(out + pagerec::action, r.action);
  out[pagerec::list_id] = r.list_id;
  out[pagerec::list_type] = r.list_type;
  le_put32(out + pagerec::page, r.page);
  le_put32(out + pagerec::prev_page, r.prev_page);
  le_put32(out + pagerec::prev_ts, r.prev_timestamp);
  le_put32(out + pagerec::next_page, r.next_page);
  le_put32(out + pagerec::next_ts, r.next_timestamp);
}

int NodeList_DecodePageRec(const uint8_t* in, size_t size, NodeList_PAGE_REC* r) {
  if (size != NodeList_PAGE_REC_SIZE) return -1;
  r->timestamp = le_get32(in + pagerec::timestamp);
  r->action = le_get16(in + pagerec::action);
  r->list_id = in[pagerec::list_id];
  r->list_type = in[pagerec::list_type];
  r->page = le_get32(in + pagerec::page);
  r->prev_page = le_get32(in + pagerec::prev_page);
  r->prev_timestamp = le_get32(in + pagerec::prev_ts);
  r->next_page = le_get32(in + pagerec::next_page);
  r->next_timestamp = le_get32(in + pagerec::next_ts);
  return 0;
}

void NodeList_EncodeHeadRec(const NodeList_HEAD_REC& r, uint8_t* out) {
  le_put32(out, r.timestamp);
  le_put32(out + 4, r.list_type);
  le_put32(out + 8, r.page);
  le_put32(out + 12, r.num_items);
  le_put32(out + 16, r.first_item);
  le_put32(out + 20, r.last_item);
}

int NodeList_DecodeHeadRec(const uint8_t* in, size_t size, NodeList_HEAD_REC* r) {
  if (size != NodeList_HEAD_REC_SIZE) return -1;
  r->timestamp = le_get32(in);
  r->list_type = le_get32(in + 4);
  r->page = le_get32(in + 8);
  r->num_items = le_get32(in + 12);
  r->first_item = le_get32(in + 16);
  r->last_item = le_get32(in + 20);
  return 0;
}

void NodeList_EncodeItemRec(const NodeList_ITEM_REC& r, uint8_t* out) {
  le_put32(out + itemrec::timestamp, r.timestamp);
  le_put32(out + itemrec::list_type, r.list_type);
  le_put32(out + itemrec::page, r.page);
  le_put16(out + itemrec::offset, r.offset);
  le_put16(out + itemrec::size, r.size);
}

int NodeList_DecodeItemRec(const uint8_t* in, size_t size, NodeList_ITEM_REC* r) {
  if (size < NodeList_ITEM_REC_SIZE) return -1;
  r->timestamp = le_get32(in + itemrec::timestamp);
  r->list_type = le_get32(in + itemrec::list_type);
  r->page = le_get32(in + itemrec::page);
  r->offset = le_get16(in + itemrec::offset);
  r->size = le_get16(in + itemrec::size);
  return size - NodeList_ITEM_REC_SIZE == r->size ? 0 : -1;
}

void NodeList_EncodeFillRec(const NodeList_FILL_REC& r, uint8_t* out) {
  le_put32(out + fillrec::timestamp, r.timestamp);
  le_put32(out + fillrec::list_type, r.list_type);
  le_put32(out + fillrec::page, r.page);
  le_put16(out + fillrec::first_slot, r.first_slot);
  le_put16(out + fillrec::n, r.n);
  le_put32(out + fillrec::first_id, r.first_id);
  le_put32(out + fillrec::count, r.count);
}

int NodeList_DecodeFillRec(const uint8_t* in, size_t size, NodeList_FILL_REC* r) {
  if (size != NodeList_FILL_REC_SIZE) return -1;
  r->timestamp = le_get32(in + fillrec::timestamp);
  r->list_type = le_get32(in + fillrec::list_type);
  r->page = le_get32(in + fillrec::page);
  r->first_slot = le_get16(in + fillrec::first_slot);
  r->n = le_get16(in + fillrec::n);
  r->first_id = le_get32(in + fillrec::first_id);
  r->count = le_get32(in + fillrec::count);
  return 0;
}
