// fixrec_format.cpp - the records of fixed-record files, field by field:
// the 68-byte meta data, the 32-byte meta image (log opcode 14) and the
// head of a record change (opcode 13). All integers little-endian. Any
// thread may call these.
#include <cstring>

#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/volume_format.h"

namespace {

constexpr uint32_t kMetaFirstWord = 0x4652;  // "FR"

namespace meta {
constexpr size_t header = 0;
constexpr size_t slot_size = header + Vol_PGHEADER_SIZE;
constexpr size_t cluster_size = slot_size + 4;
constexpr size_t cluster_records = cluster_size + 4;
constexpr size_t sequence = cluster_records + 4;
constexpr size_t free_list = sequence + 4;
constexpr size_t free_pos = free_list + Node_IHEAD_SIZE;
constexpr size_t first_recno = free_pos + 8;
constexpr size_t last_recno = first_recno + 4;
constexpr size_t max_recno = last_recno + 4;
constexpr size_t num_records = max_recno + 4;
constexpr size_t counter = num_records + 4;
constexpr size_t end = counter + 4;
static_assert(free_list == 24 && free_pos == 40 && first_recno == 48 && counter == 64);
static_assert(end == FixRec_META_SIZE);
}  // namespace meta

namespace image {
constexpr size_t sequence = 0;
constexpr size_t free_pos = sequence + 4;
constexpr size_t first_recno = free_pos + 8;
constexpr size_t last_recno = first_recno + 4;
constexpr size_t max_recno = last_recno + 4;
constexpr size_t num_records = max_recno + 4;
constexpr size_t counter = num_records + 4;
constexpr size_t end = counter + 4;
static_assert(end == FixRec_META_IMAGE_SIZE);
}  // namespace image

namespace rec {
constexpr size_t prev = 0;
constexpr size_t recno = prev + Node_ADDR_SIZE;
constexpr size_t start_page = recno + 4;
constexpr size_t opcode = start_page + 4;
constexpr size_t end = opcode + 1;
static_assert(end == FixRec_RECORD_HEAD);
static_assert(FixRec_RECORD_HEAD + 3 == FixRec_DELETE_RECORD_SIZE);
}  // namespace rec

void put_pos(uint8_t* out, const Node_IPOS& p) {
  le_put32(out, p.page);
  le_put32(out + 4, static_cast<uint32_t>(p.index));
}

Node_IPOS get_pos(const uint8_t* in) {
  return Node_IPOS{le_get32(in), static_cast<int32_t>(le_get32(in + 4))};
}

}  // namespace

void FixRec_EncodeMeta(const FixRec_META& m, uint8_t* out) {
  memset(out, 0, FixRec_META_SIZE);
  Vol_PGHEADER h;
  h.page = kMetaFirstWord;
  h.type = FixRec_META_PAGE_TYPE;
  Vol_EncodeHeader(h, out + meta::header);
  le_put32(out + meta::slot_size, m.slot_size);
  le_put32(out + meta::cluster_size, m.cluster_size);
  le_put32(out + meta::cluster_records, m.cluster_records);
  le_put32(out + meta::sequence, m.sequence);
  Node_EncodeIhead(m.free_list, out + meta::free_list);
  put_pos(out + meta::free_pos, m.free_pos);
  le_put32(out + meta::first_recno, m.first_recno);
  le_put32(out + meta::last_recno, m.last_recno);
  le_put32(out + meta::max_recno, m.max_recno);
  le_put32(out + meta::num_records, m.num_records);
  le_put32(out + meta::counter, m.counter);
}

int FixRec_DecodeMeta(const uint8_t* in, uint32_t size, FixRec_META* m) {
  if (in == nullptr || size < FixRec_META_SIZE) return -1;
  const Vol_PGHEADER h = Vol_DecodeHeader(in + meta::header);
  if (h.page != kMetaFirstWord || h.type != FixRec_META_PAGE_TYPE) return -1;
  m->slot_size = le_get32(in + meta::slot_size);
  m->cluster_size = le_get32(in + meta::cluster_size);
  m->cluster_records = le_get32(in + meta::cluster_records);
  m->sequence = le_get32(in + meta::sequence);
  m->free_list = Node_DecodeIhead(in + meta::free_list);
  m->free_pos = get_pos(in + meta::free_pos);
  m->first_recno = le_get32(in + meta::first_recno);
  m->last_recno = le_get32(in + meta::last_recno);
  m->max_recno = le_get32(in + meta::max_recno);
  m->num_records = le_get32(in + meta::num_records);
  m->counter = le_get32(in + meta::counter);
  // Sizes that would put a slot outside its cluster are no record file's.
  // (A file made with a record too large to log still opens: its puts are
  // refused.)
  if (m->cluster_size < 1 || m->cluster_size > Vol_MAXCLUST || m->slot_size < 2 ||
      m->slot_size > m->cluster_size * Vol_PAGESIZE ||
      m->cluster_records != m->cluster_size * Vol_PAGESIZE / m->slot_size)
    return -1;
  return 0;
}

void FixRec_EncodeMetaImage(const FixRec_META& m, uint8_t* out) {
  le_put32(out + image::sequence, m.sequence);
  put_pos(out + image::free_pos, m.free_pos);
  le_put32(out + image::first_recno, m.first_recno);
  le_put32(out + image::last_recno, m.last_recno);
  le_put32(out + image::max_recno, m.max_recno);
  le_put32(out + image::num_records, m.num_records);
  le_put32(out + image::counter, m.counter);
}

void FixRec_DecodeMetaImage(const uint8_t* in, FixRec_META* m) {
  m->sequence = le_get32(in + image::sequence);
  m->free_pos = get_pos(in + image::free_pos);
  m->first_recno = le_get32(in + image::first_recno);
  m->last_recno = le_get32(in + image::last_recno);
  m->max_recno = le_get32(in + image::max_recno);
  m->num_records = le_get32(in + image::num_records);
  m->counter = le_get32(in + image::counter);
}

void FixRec_EncodeRecordHead(const FixRec_RECORD& r, uint8_t* out) {
  Node_EncodeAddr(r.prev, out + rec::prev);
  le_put32(out + rec::recno, r.recno);
  le_put32(out + rec::start_page, r.start_page);
  out[rec::opcode] = r.opcode;
}

int FixRec_DecodeRecordHead(const uint8_t* in, uint32_t size, FixRec_RECORD* r) {
  if (in == nullptr || size < FixRec_RECORD_HEAD) return -1;
  r->prev = Node_DecodeAddr(in + rec::prev);
  r->recno = le_get32(in + rec::recno);
  r->start_page = le_get32(in + rec::start_page);
  r->opcode = in[rec::opcode];
  if (r->opcode < FixRec_OP_UPDATE || r->opcode > FixRec_OP_DELETE) return -1;
  return 0;
}
