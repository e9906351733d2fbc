// volume_format.h - the on-disk layout shared by every volume file: pages and
// page addresses, the 8-byte page header, the volume descriptor VOLUME (kept
// at pages 0 and 319 of every volume), the free-list page with its bitmap,
// and the 256-bit volume maps.
//
// All integers on disk are little-endian. Each record has one encode and one
// decode function that go field by field; the in-memory records below are
// never copied to disk as they are. Run-time fields of the descriptor (the
// event function, the in-memory free list, the file handle) are never written
// from the memory pointers: their disk bytes are fixed values that are never
// read back.
//
// Plain functions over plain records; any thread may call them, the records
// themselves belong to the volume set (server thread).
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/disk_bytes.h"

namespace platform {
class File;
}

// --- Format constants ------------------------------------------------------

inline constexpr uint32_t Vol_PAGESIZE = 8192;
inline constexpr int Vol_MAXCLUST = 8;    // pages in the largest cluster
inline constexpr int Vol_MAXLINK = 256;   // volumes in a set (ids 0..255)
inline constexpr int Vol_MAXPATH = 1024;  // path field, terminator included
inline constexpr uint32_t Vol_FLIST_NUMITEMS = 65440;  // pages one free-list page covers
inline constexpr int Vol_FLIST_SIZE = 2045;            // bitmap words
inline constexpr int Vol_FLIST_OVERHEAD = 12;          // bytes before the bitmap
inline constexpr uint32_t Vol_MAXPAGES = 0x1000000;    // largest volume (24-bit page numbers)
inline constexpr uint32_t Vol_MINPAGES = 320;          // must reach past the second copy
inline constexpr uint32_t Vol_DESC_PAGE = 0;           // descriptor copy 0
inline constexpr uint32_t Vol_DESC_COPY_PAGE = 319;    // descriptor copy 1

inline constexpr int Vol_REVISION_SIZE = 16;
inline constexpr char Vol_REVISION[] = "WIN32 A.06.00";
inline constexpr uint32_t Vol_BYTE_ORDER = 1234;
// Current format releases, and the oldest ones still read (and upgraded).
inline constexpr uint32_t Vol_RELEASE = 30;
inline constexpr uint32_t Vol_RELEASE_MIN = 28;
inline constexpr uint32_t Vol_TLOG_RELEASE = 9;
inline constexpr uint32_t Vol_TLOG_RELEASE_MIN = 7;

inline constexpr uint8_t Vol_FILLER = 0xAA;  // after the descriptor, and after short writes

static_assert(Vol_FLIST_SIZE * 32 == static_cast<int>(Vol_FLIST_NUMITEMS));
static_assert(Vol_FLIST_OVERHEAD + Vol_FLIST_SIZE * 4 == static_cast<int>(Vol_PAGESIZE));

// --- Page addresses ----------------------------------------------------------

// Volume id in the top 8 bits, page number in the low 24. 0 = no page (page 0
// of volume 0 holds the root descriptor and is never handed out).
using Vol_PAGEADDR = uint32_t;

inline constexpr uint32_t PAGE_VOLID(Vol_PAGEADDR a) { return a >> 24; }
inline constexpr uint32_t PAGE_NUMBER(Vol_PAGEADDR a) { return a & 0xFFFFFFu; }
inline constexpr Vol_PAGEADDR Vol_PageAddr(uint32_t volume_id, uint32_t page) {
  return (volume_id << 24) | (page & 0xFFFFFFu);
}
// Byte offset of a page in its volume file, formed in 64 bits.
inline constexpr uint64_t Vol_PageOffset(uint32_t page) {
  return static_cast<uint64_t>(page) * Vol_PAGESIZE;
}

// --- Page header -------------------------------------------------------------

enum Vol_PAGETYPE : uint16_t {
  Vol_PAGE_VOLUME = 1,       // descriptor (pages 0 and 319)
  Vol_PAGE_FLIST = 2,        // volume free-list page
  Vol_PAGE_NODE = 3,         // node page
  Vol_PAGE_ITEMLIST = 4,     // node item-list page
  Vol_PAGE_NODE_FLIST = 5,   // node free-list page
  Vol_PAGE_TLOG_META = 6,    // transaction log meta data
  Vol_PAGE_FIXREC_META = 7,  // fixed-record file meta data
};

// First word of meta data headers: the node's two-letter type tag, first
// letter in the high byte.
inline constexpr uint32_t Vol_TAG_TL = 0x544C;
inline constexpr uint32_t Vol_TAG_FR = 0x4652;

// Flag bit numbers (bit n is 1 << n) of a descriptor's header. Vol_DIRTY,
// Vol_REDIRECT_PAGES and Vol_FS_FULL live in memory only: they are cleared
// whenever a descriptor is read. Free-list pages use Vol_DIRTY the same way.
enum {
  Vol_CONSISTENT = 0,      // root: the set was closed cleanly
  Vol_DIRTY = 1,           // differs from disk
  Vol_USEVIO = 2,          // carried and shown by the utilities only
  Vol_DSYNC = 3,           // flush writes to this data volume
  Vol_LSYNC = 4,           // flush writes to this LOG volume
  Vol_IS_REDIRECTED = 5,   // on-line backup mode is (root) or was on
  Vol_REDIRECT_PAGES = 6,  // writes to this data volume go to a LOG volume
  Vol_FS_FULL = 7,         // an extension found the file system full
};
inline constexpr uint16_t Vol_MEMORY_ONLY_FLAGS =
    (1u << Vol_DIRTY) | (1u << Vol_REDIRECT_PAGES) | (1u << Vol_FS_FULL);

struct Vol_PGHEADER {
  uint32_t page = 0;  // own page address, or a meta data tag
  uint16_t type = 0;  // Vol_PAGETYPE
  uint16_t flags = 0;
};
inline constexpr size_t Vol_PGHEADER_SIZE = 8;

void Vol_EncodeHeader(const Vol_PGHEADER& h, uint8_t* out);
Vol_PGHEADER Vol_DecodeHeader(const uint8_t* in);

// Stamps a header: type and page set, flags 0.
void Vol_InitHeader(int type, Vol_PAGEADDR page, Vol_PGHEADER* h);
// 0 when both the first word and the type match, else -1 (a corrupt page).
int Vol_CheckHeader(int type, Vol_PAGEADDR page, const Vol_PGHEADER* h);
int Vol_TestFlag(int bit, const Vol_PGHEADER* h);
void Vol_SetFlag(int bit, Vol_PGHEADER* h);
void Vol_ClearFlag(int bit, Vol_PGHEADER* h);

// The same on the first 8 bytes of a page image.
void Vol_InitHeader(int type, Vol_PAGEADDR page, uint8_t* image);
int Vol_CheckHeader(int type, Vol_PAGEADDR page, const uint8_t* image);
int Vol_TestFlag(int bit, const uint8_t* image);
void Vol_SetFlag(int bit, uint8_t* image);
void Vol_ClearFlag(int bit, uint8_t* image);

// --- Volume maps -------------------------------------------------------------

// Bit (id mod 32) of word (id / 32) stands for volume id. A volume index
// outside 0..255 is an assertion failure.
struct Vol_ALDESC {
  uint32_t map[8] = {};
};
inline constexpr size_t Vol_ALDESC_SIZE = 32;

void Vol_SetAllocAllowed(int volume, Vol_ALDESC* d);
void Vol_SetAllAllocAllowed(Vol_ALDESC* d);
void Vol_ClearAllocAllowed(int volume, Vol_ALDESC* d);
void Vol_ClearAllAllocAllowed(Vol_ALDESC* d);
int Vol_IsAllocAllowed(int volume, const Vol_ALDESC* d);

void Vol_EncodeAldesc(const Vol_ALDESC& d, uint8_t* out);
Vol_ALDESC Vol_DecodeAldesc(const uint8_t* in);

// --- Free-list pages ---------------------------------------------------------

// One free-list page in memory: its address and its whole page image
// (header, next, bitmap). Bit n of the bitmap is page k * 65440 + n of the
// volume for the k-th page of the chain; 1 = free.
struct Vol_FLMEM {
  Vol_FLMEM* next = nullptr;
  Vol_PAGEADDR page = 0;
  uint8_t image[Vol_PAGESIZE];
};

// A new free-list page for page address page: every bit free, next 0.
// Running out of memory is fatal.
Vol_FLMEM* Vol_CreateFreeDescriptor(Vol_PAGEADDR page);
// Makes fl that page (a caller that allocates on its own, with its own
// message for a lack of memory).
void Vol_InitFreeDescriptor(Vol_FLMEM* fl, Vol_PAGEADDR page);
void Vol_FreeFreeDescriptor(Vol_FLMEM* fl);

Vol_PAGEADDR Vol_FlistNext(const Vol_FLMEM* fl);
void Vol_FlistSetNext(Vol_FLMEM* fl, Vol_PAGEADDR next);

inline uint32_t Vol_FlistWord(const Vol_FLMEM* fl, int word) {
  return le_get32(fl->image + Vol_FLIST_OVERHEAD + 4 * word);
}
void Vol_FlistSetWord(Vol_FLMEM* fl, int word, uint32_t value);
// n is the page's index within this page's stretch (0..65439).
int Vol_FlistIsFree(const Vol_FLMEM* fl, uint32_t n);
// 1 when the bit changed, 0 when it already had that value.
int Vol_FlistMarkUsed(Vol_FLMEM* fl, uint32_t n);
int Vol_FlistMarkFree(Vol_FLMEM* fl, uint32_t n);

// --- The volume descriptor -------------------------------------------------

enum { VolType_DATA = 0, VolType_LOG = 1, VolType_TEMP = 2 };

// Called with the set's volume events (0 before a sync, 3 close, 4 log
// rebuild, 5 re-init); registered by the node layer on the root.
using Vol_Callback = void (*)(int event);

// In memory. The first block mirrors the 232 bytes of the descriptor proper;
// the rest is run-time state.
struct VOLUME {
  Vol_PGHEADER header;
  char revision[Vol_REVISION_SIZE] = {};
  uint32_t release = 0;
  uint32_t byte_order = 0;
  uint32_t volume_id = 0;
  uint32_t num_volumes = 0;
  uint32_t used_volumes = 0;
  Vol_ALDESC used_map;
  uint32_t set_id = 0;
  uint32_t type = 0;
  uint32_t page_size = 0;
  uint32_t curr_size = 0;
  uint32_t ext_size = 0;
  uint32_t max_size = 0;
  uint32_t free_size = 0;
  Vol_PAGEADDR flist_head = 0;
  Vol_PAGEADDR flist_tail = 0;
  uint32_t num_flist = 0;
  Vol_PAGEADDR first_page = 0;
  Vol_ALDESC standard_aldesc;
  Vol_ALDESC tlog_aldesc;
  Vol_ALDESC temp_aldesc;
  uint32_t generation = 0;
  // Run-time.
  Vol_Callback callback = nullptr;
  Vol_FLMEM* flmem_head = nullptr;
  Vol_FLMEM* flmem_tail = nullptr;
  char path[Vol_MAXPATH] = {};
  platform::File* fhandle = nullptr;  // none when closed
  uint32_t file_type = 0;             // platform::FileKind of the open file
  uint32_t io_count = 0;              // page transfers
  uint32_t read_count = 0;
  uint32_t write_count = 0;
};

inline constexpr size_t Vol_DESCRIPTOR_PROPER_SIZE = 232;
inline constexpr size_t Vol_DESCRIPTOR_SIZE = 1276;
// What the run-time handle field holds on disk: the invalid handle value.
inline constexpr uint32_t Vol_DISK_NO_HANDLE = 0xFFFFFFFFu;

// The whole 1276-byte record (run-time fields as fixed values, counters as
// they stand).
void Vol_EncodeDescriptor(const VOLUME& v, uint8_t* out);
// A full descriptor page: the record, then filler to the end of the page.
void Vol_EncodeDescriptorPage(const VOLUME& v, uint8_t* page);
// Reads the descriptor proper and the path into v; leaves every run-time
// field of v as it was (a failed read must not lose the open handle). The
// path is always terminated.
void Vol_DecodeDescriptor(const uint8_t* in, VOLUME* v);

// Brings a descriptor read with an older release up to date in memory, step
// by step (28 -> 29 -> 30; LOG 7 -> 8 -> 9). The release field itself is left
// as read: the volume set writes every upgraded descriptor back.
void Vol_UpgradeRelease(VOLUME* v);
// The release this volume's type is written with now.
uint32_t Vol_CurrentRelease(const VOLUME* v);

// --- New volumes -------------------------------------------------------------

// Number of free-list pages a volume of size pages needs.
inline constexpr uint32_t Vol_FlistPagesFor(uint32_t size) {
  return (size + Vol_FLIST_NUMITEMS - 1) / Vol_FLIST_NUMITEMS;
}

// The descriptor of a new volume of size pages (320..16777216): current
// release for its type, byte-order probe, page size, sizes as given, one used
// volume; the maps as in a new root (used_map with bit 0, standard_aldesc all
// ones, tlog_aldesc and temp_aldesc empty), which a caller adding a volume to
// a set adjusts. The free list is not built yet (see below).
void Vol_InitNewDescriptor(VOLUME* v, uint32_t volume_id, uint32_t type, uint32_t size,
                           uint32_t set_id, uint32_t ext_size, uint32_t max_size);
// Builds the in-memory free-list chain of a new volume: ceil(size / 65440)
// pages at pages 1, 2, ... (319 skipped), with those pages, page 0 and page
// 319 marked used; sets flist_head, flist_tail, num_flist and free_size.
void Vol_BuildNewFreeList(VOLUME* v);
// Frees v's in-memory free-list chain.
void Vol_DeleteFreeList(VOLUME* v);
// The free-list page of v's chain that holds page's bit, and the bit's index
// in it; none when the chain is shorter.
inline Vol_FLMEM* Vol_FlistFor(const VOLUME* v, uint32_t page, uint32_t* bit) {
  Vol_FLMEM* fl = v->flmem_head;
  for (uint32_t k = page / Vol_FLIST_NUMITEMS; fl != nullptr && k > 0; --k) fl = fl->next;
  *bit = page % Vol_FLIST_NUMITEMS;
  return fl;
}
// Counts the free pages of v over pages 0..curr_size-1.
uint32_t Vol_CountFreePages(const VOLUME* v);
