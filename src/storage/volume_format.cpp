// volume_format.cpp - encoding and decoding of the volume file records, the
// volume maps, free-list bitmaps and the release upgrade.
#include "storage/volume_format.h"

#include <bit>
#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/panic.h"

namespace {

// Byte offsets of the descriptor's fields; each follows from the one before
// and its size, so a slip in any of them fails to compile.
namespace off {
constexpr size_t header = 0;
constexpr size_t revision = header + Vol_PGHEADER_SIZE;
constexpr size_t release = revision + Vol_REVISION_SIZE;
constexpr size_t byte_order = release + 4;
constexpr size_t volume_id = byte_order + 4;
constexpr size_t num_volumes = volume_id + 4;
constexpr size_t used_volumes = num_volumes + 4;
constexpr size_t used_map = used_volumes + 4;
constexpr size_t set_id = used_map + Vol_ALDESC_SIZE;
constexpr size_t type = set_id + 4;
constexpr size_t page_size = type + 4;
constexpr size_t curr_size = page_size + 4;
constexpr size_t ext_size = curr_size + 4;
constexpr size_t max_size = ext_size + 4;
constexpr size_t free_size = max_size + 4;
constexpr size_t flist_head = free_size + 4;
constexpr size_t flist_tail = flist_head + 4;
constexpr size_t num_flist = flist_tail + 4;
constexpr size_t first_page = num_flist + 4;
constexpr size_t standard_aldesc = first_page + 4;
constexpr size_t tlog_aldesc = standard_aldesc + Vol_ALDESC_SIZE;
constexpr size_t temp_aldesc = tlog_aldesc + Vol_ALDESC_SIZE;
constexpr size_t generation = temp_aldesc + Vol_ALDESC_SIZE;
constexpr size_t callback = generation + 4;
constexpr size_t flmem_head = callback + 4;
constexpr size_t flmem_tail = flmem_head + 4;
constexpr size_t path = flmem_tail + 4;
constexpr size_t fhandle = path + Vol_MAXPATH;
constexpr size_t file_type = fhandle + 4;
constexpr size_t io_count = file_type + 4;
constexpr size_t read_count = io_count + 4;
constexpr size_t write_count = read_count + 4;
constexpr size_t end = write_count + 4;
}  // namespace off

static_assert(off::release == 24 && off::used_map == 44 && off::set_id == 76);
static_assert(off::standard_aldesc == 120 && off::generation == 216);
static_assert(off::path == Vol_DESCRIPTOR_PROPER_SIZE && off::fhandle == 1256);
static_assert(off::end == Vol_DESCRIPTOR_SIZE);

constexpr size_t kFlistNext = Vol_PGHEADER_SIZE;
static_assert(kFlistNext + 4 == Vol_FLIST_OVERHEAD);

void check_volume_index(int volume) {
  ZENT_ASSERT(volume >= 0 && volume < Vol_MAXLINK);
}

}  // namespace

// --- Page header ---------------------------------------------------------

void Vol_EncodeHeader(const Vol_PGHEADER& h, uint8_t* out) {
  le_put32(out, h.page);
  le_put16(out + 4, h.type);
  le_put16(out + 6, h.flags);
}

Vol_PGHEADER Vol_DecodeHeader(const uint8_t* in) {
  Vol_PGHEADER h;
  h.page = le_get32(in);
  h.type = le_get16(in + 4);
  h.flags = le_get16(in + 6);
  return h;
}

void Vol_InitHeader(int type, Vol_PAGEADDR page, Vol_PGHEADER* h) {
  h->page = page;
  h->type = static_cast<uint16_t>(type);
  h->flags = 0;
}

int Vol_CheckHeader(int type, Vol_PAGEADDR page, const Vol_PGHEADER* h) {
  return h->page == page && h->type == static_cast<uint16_t>(type) ? 0 : -1;
}

int Vol_TestFlag(int bit, const Vol_PGHEADER* h) { return (h->flags >> bit) & 1; }
void Vol_SetFlag(int bit, Vol_PGHEADER* h) { h->flags = static_cast<uint16_t>(h->flags | (1u << bit)); }
void Vol_ClearFlag(int bit, Vol_PGHEADER* h) {
  h->flags = static_cast<uint16_t>(h->flags & ~(1u << bit));
}

void Vol_InitHeader(int type, Vol_PAGEADDR page, uint8_t* image) {
  Vol_PGHEADER h;
  Vol_InitHeader(type, page, &h);
  Vol_EncodeHeader(h, image);
}

int Vol_CheckHeader(int type, Vol_PAGEADDR page, const uint8_t* image) {
  Vol_PGHEADER h = Vol_DecodeHeader(image);
  return Vol_CheckHeader(type, page, &h);
}

int Vol_TestFlag(int bit, const uint8_t* image) { return (le_get16(image + 6) >> bit) & 1; }

void Vol_SetFlag(int bit, uint8_t* image) {
  le_put16(image + 6, static_cast<uint16_t>(le_get16(image + 6) | (1u << bit)));
}

void Vol_ClearFlag(int bit, uint8_t* image) {
  le_put16(image + 6, static_cast<uint16_t>(le_get16(image + 6) & ~(1u << bit)));
}

// --- Volume maps -------------------------------------------------------------

void Vol_SetAllocAllowed(int volume, Vol_ALDESC* d) {
  check_volume_index(volume);
  d->map[volume / 32] |= 1u << (volume % 32);
}

void Vol_SetAllAllocAllowed(Vol_ALDESC* d) {
  for (uint32_t& w : d->map) w = 0xFFFFFFFFu;
}

void Vol_ClearAllocAllowed(int volume, Vol_ALDESC* d) {
  check_volume_index(volume);
  d->map[volume / 32] &= ~(1u << (volume % 32));
}

void Vol_ClearAllAllocAllowed(Vol_ALDESC* d) {
  for (uint32_t& w : d->map) w = 0;
}

int Vol_IsAllocAllowed(int volume, const Vol_ALDESC* d) {
  check_volume_index(volume);
  return (d->map[volume / 32] >> (volume % 32)) & 1;
}

void Vol_EncodeAldesc(const Vol_ALDESC& d, uint8_t* out) {
  for (int i = 0; i < 8; ++i) le_put32(out + 4 * i, d.map[i]);
}

Vol_ALDESC Vol_DecodeAldesc(const uint8_t* in) {
  Vol_ALDESC d;
  for (int i = 0; i < 8; ++i) d.map[i] = le_get32(in + 4 * i);
  return d;
}

// --- Free-list pages ---------------------------------------------------------

Vol_FLMEM* Vol_CreateFreeDescriptor(Vol_PAGEADDR page) {
  auto* fl = new (std::nothrow) Vol_FLMEM;
  if (fl == nullptr) {
    debug_log('V', 0, "Vol_CreateFreeDescriptor() failed: heap overflow (%u bytes)",
              static_cast<unsigned>(sizeof(Vol_FLMEM)));
    panic_assert_failed("Vol_CreateFreeDescriptor() failed: heap overflow", __FILE__, __LINE__);
  }
  Vol_InitFreeDescriptor(fl, page);
  return fl;
}

void Vol_InitFreeDescriptor(Vol_FLMEM* fl, Vol_PAGEADDR page) {
  fl->next = nullptr;
  fl->page = page;
  Vol_InitHeader(Vol_PAGE_FLIST, page, fl->image);
  le_put32(fl->image + kFlistNext, 0);
  std::memset(fl->image + Vol_FLIST_OVERHEAD, 0xFF, Vol_PAGESIZE - Vol_FLIST_OVERHEAD);
}

void Vol_FreeFreeDescriptor(Vol_FLMEM* fl) { delete fl; }

Vol_PAGEADDR Vol_FlistNext(const Vol_FLMEM* fl) { return le_get32(fl->image + kFlistNext); }

void Vol_FlistSetNext(Vol_FLMEM* fl, Vol_PAGEADDR next) { le_put32(fl->image + kFlistNext, next); }

void Vol_FlistSetWord(Vol_FLMEM* fl, int word, uint32_t value) {
  le_put32(fl->image + Vol_FLIST_OVERHEAD + 4 * word, value);
}

int Vol_FlistIsFree(const Vol_FLMEM* fl, uint32_t n) {
  ZENT_ASSERT(n < Vol_FLIST_NUMITEMS);
  return (Vol_FlistWord(fl, static_cast<int>(n / 32)) >> (n % 32)) & 1;
}

namespace {
// Sets page n's bit to free or used; 1 when it changed.
int flist_set(Vol_FLMEM* fl, uint32_t n, bool free_page) {
  ZENT_ASSERT(n < Vol_FLIST_NUMITEMS);
  const int w = static_cast<int>(n / 32);
  const uint32_t word = Vol_FlistWord(fl, w);
  const uint32_t bit = 1u << (n % 32);
  if (((word & bit) != 0) == free_page) return 0;
  Vol_FlistSetWord(fl, w, word ^ bit);
  return 1;
}
}  // namespace

int Vol_FlistMarkUsed(Vol_FLMEM* fl, uint32_t n) { return flist_set(fl, n, false); }
int Vol_FlistMarkFree(Vol_FLMEM* fl, uint32_t n) { return flist_set(fl, n, true); }

// --- Descriptor --------------------------------------------------------------

void Vol_EncodeDescriptor(const VOLUME& v, uint8_t* out) {
  Vol_EncodeHeader(v.header, out + off::header);
  std::memcpy(out + off::revision, v.revision, Vol_REVISION_SIZE);
  le_put32(out + off::release, v.release);
  le_put32(out + off::byte_order, v.byte_order);
  le_put32(out + off::volume_id, v.volume_id);
  le_put32(out + off::num_volumes, v.num_volumes);
  le_put32(out + off::used_volumes, v.used_volumes);
  Vol_EncodeAldesc(v.used_map, out + off::used_map);
  le_put32(out + off::set_id, v.set_id);
  le_put32(out + off::type, v.type);
  le_put32(out + off::page_size, v.page_size);
  le_put32(out + off::curr_size, v.curr_size);
  le_put32(out + off::ext_size, v.ext_size);
  le_put32(out + off::max_size, v.max_size);
  le_put32(out + off::free_size, v.free_size);
  le_put32(out + off::flist_head, v.flist_head);
  le_put32(out + off::flist_tail, v.flist_tail);
  le_put32(out + off::num_flist, v.num_flist);
  le_put32(out + off::first_page, v.first_page);
  Vol_EncodeAldesc(v.standard_aldesc, out + off::standard_aldesc);
  Vol_EncodeAldesc(v.tlog_aldesc, out + off::tlog_aldesc);
  Vol_EncodeAldesc(v.temp_aldesc, out + off::temp_aldesc);
  le_put32(out + off::generation, v.generation);
  // Run-time fields: fixed values, never the memory pointers.
  le_put32(out + off::callback, 0);
  le_put32(out + off::flmem_head, 0);
  le_put32(out + off::flmem_tail, 0);
  std::memset(out + off::path, 0, Vol_MAXPATH);
  std::memcpy(out + off::path, v.path, strnlen(v.path, Vol_MAXPATH - 1));
  le_put32(out + off::fhandle, Vol_DISK_NO_HANDLE);
  le_put32(out + off::file_type, v.file_type);
  le_put32(out + off::io_count, v.io_count);
  le_put32(out + off::read_count, v.read_count);
  le_put32(out + off::write_count, v.write_count);
}

void Vol_EncodeDescriptorPage(const VOLUME& v, uint8_t* page) {
  Vol_EncodeDescriptor(v, page);
  std::memset(page + Vol_DESCRIPTOR_SIZE, Vol_FILLER, Vol_PAGESIZE - Vol_DESCRIPTOR_SIZE);
}

void Vol_DecodeDescriptor(const uint8_t* in, VOLUME* v) {
  v->header = Vol_DecodeHeader(in + off::header);
  std::memcpy(v->revision, in + off::revision, Vol_REVISION_SIZE);
  v->release = le_get32(in + off::release);
  v->byte_order = le_get32(in + off::byte_order);
  v->volume_id = le_get32(in + off::volume_id);
  v->num_volumes = le_get32(in + off::num_volumes);
  v->used_volumes = le_get32(in + off::used_volumes);
  v->used_map = Vol_DecodeAldesc(in + off::used_map);
  v->set_id = le_get32(in + off::set_id);
  v->type = le_get32(in + off::type);
  v->page_size = le_get32(in + off::page_size);
  v->curr_size = le_get32(in + off::curr_size);
  v->ext_size = le_get32(in + off::ext_size);
  v->max_size = le_get32(in + off::max_size);
  v->free_size = le_get32(in + off::free_size);
  v->flist_head = le_get32(in + off::flist_head);
  v->flist_tail = le_get32(in + off::flist_tail);
  v->num_flist = le_get32(in + off::num_flist);
  v->first_page = le_get32(in + off::first_page);
  v->standard_aldesc = Vol_DecodeAldesc(in + off::standard_aldesc);
  v->tlog_aldesc = Vol_DecodeAldesc(in + off::tlog_aldesc);
  v->temp_aldesc = Vol_DecodeAldesc(in + off::temp_aldesc);
  v->generation = le_get32(in + off::generation);
  std::memcpy(v->path, in + off::path, Vol_MAXPATH);
  v->path[Vol_MAXPATH - 1] = '\0';
}

uint32_t Vol_CurrentRelease(const VOLUME* v) {
  return v->type == VolType_LOG ? Vol_TLOG_RELEASE : Vol_RELEASE;
}

void Vol_UpgradeRelease(VOLUME* v) {
  // LOG releases run three behind the others, step for step.
  const uint32_t offset = v->type == VolType_LOG ? Vol_RELEASE - Vol_TLOG_RELEASE : 0;
  uint32_t release = v->release + offset;
  if (release == 28) {
    Vol_SetAllAllocAllowed(&v->standard_aldesc);
    Vol_ClearAllAllocAllowed(&v->tlog_aldesc);
    release = 29;
  }
  if (release == 29) {
    Vol_ClearAllAllocAllowed(&v->temp_aldesc);
    v->generation = 1;
  }
}

// --- New volumes -------------------------------------------------------------

void Vol_InitNewDescriptor(VOLUME* v, uint32_t volume_id, uint32_t type, uint32_t size,
                           uint32_t set_id, uint32_t ext_size, uint32_t max_size) {
  Vol_InitHeader(Vol_PAGE_VOLUME, Vol_PageAddr(volume_id, Vol_DESC_PAGE), &v->header);
  std::memset(v->revision, 0, sizeof v->revision);
  std::memcpy(v->revision, Vol_REVISION, sizeof Vol_REVISION - 1);
  v->type = type;
  v->release = Vol_CurrentRelease(v);
  v->byte_order = Vol_BYTE_ORDER;
  v->volume_id = volume_id;
  v->num_volumes = volume_id + 1;
  v->used_volumes = 1;
  Vol_ClearAllAllocAllowed(&v->used_map);
  Vol_SetAllocAllowed(0, &v->used_map);
  v->set_id = set_id;
  v->page_size = Vol_PAGESIZE;
  v->curr_size = size;
  v->ext_size = ext_size;
  v->max_size = max_size;
  v->free_size = 0;
  v->flist_head = v->flist_tail = 0;
  v->num_flist = 0;
  v->first_page = 0;
  Vol_SetAllAllocAllowed(&v->standard_aldesc);
  Vol_ClearAllAllocAllowed(&v->tlog_aldesc);
  Vol_ClearAllAllocAllowed(&v->temp_aldesc);
  v->generation = 0;
}

void Vol_BuildNewFreeList(VOLUME* v) {
  ZENT_ASSERT(v->flmem_head == nullptr);
  ZENT_ASSERT(v->curr_size >= Vol_MINPAGES && v->curr_size <= Vol_MAXPAGES);
  const uint32_t count = Vol_FlistPagesFor(v->curr_size);
  uint32_t page = 1;
  for (uint32_t i = 0; i < count; ++i, ++page) {
    if (page == Vol_DESC_COPY_PAGE) ++page;
    Vol_FLMEM* fl = Vol_CreateFreeDescriptor(Vol_PageAddr(v->volume_id, page));
    if (v->flmem_tail) {
      Vol_FlistSetNext(v->flmem_tail, fl->page);
      v->flmem_tail->next = fl;
    } else {
      v->flmem_head = fl;
    }
    v->flmem_tail = fl;
  }
  v->flist_head = v->flmem_head->page;
  v->flist_tail = v->flmem_tail->page;
  v->num_flist = count;
  auto mark_used = [v](uint32_t p) {
    uint32_t bit;
    Vol_FLMEM* fl = Vol_FlistFor(v, p, &bit);
    Vol_FlistMarkUsed(fl, bit);
  };
  mark_used(Vol_DESC_PAGE);
  mark_used(Vol_DESC_COPY_PAGE);
  for (Vol_FLMEM* fl = v->flmem_head; fl; fl = fl->next) mark_used(PAGE_NUMBER(fl->page));
  v->free_size = Vol_CountFreePages(v);
}

void Vol_DeleteFreeList(VOLUME* v) {
  Vol_FLMEM* fl = v->flmem_head;
  while (fl) {
    Vol_FLMEM* next = fl->next;
    Vol_FreeFreeDescriptor(fl);
    fl = next;
  }
  v->flmem_head = v->flmem_tail = nullptr;
}

uint32_t Vol_CountFreePages(const VOLUME* v) {
  uint32_t free_pages = 0;
  uint32_t base = 0;
  for (const Vol_FLMEM* fl = v->flmem_head; fl && base < v->curr_size;
       fl = fl->next, base += Vol_FLIST_NUMITEMS) {
    const uint32_t in_page = v->curr_size - base < Vol_FLIST_NUMITEMS ? v->curr_size - base
                                                                        : Vol_FLIST_NUMITEMS;
    const int full_words = static_cast<int>(in_page / 32);
    for (int w = 0; w < full_words; ++w) free_pages += std::popcount(Vol_FlistWord(fl, w));
    if (uint32_t rest = in_page % 32)
      free_pages += std::popcount(Vol_FlistWord(fl, full_words) & ((1u << rest) - 1));
  }
  return free_pages;
}
