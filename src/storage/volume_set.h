// volume_set.h - the volume set: every volume file of one installation seen
// as one page space.
//
// Opens the files named in the configuration, checks that they form one
// consistent set, keeps every descriptor and free-list bitmap in memory,
// allocates and frees clusters of 1 to 8 consecutive pages, extends volumes
// that run full, writes descriptors and bitmaps back and flushes the files
// as the sync mode says. One module with one global state: the volume table
// (entry 0 is the root volume) and the primary LOG volume. Formats are those
// of volume_format.h; page transfers go through page_io.h, flushes through
// the I/O threads (tio.h). See README.md ("Volume set").
//
// Context: tasks of the server thread, or a utility's only thread; no locks.
// A flush may suspend the calling task; every change is made before it. A
// task may also wait for an extension of a volume that another task is
// writing (see Vol_Sync, Vol_AllocPage). Neither wait can be cut short.
//
// Failures set a status code of module VOL, severity E (error_status.h) and
// return none, -1 or 0 as each function says; the codes are the VOL_E_*
// values below. Values read from a file never stop the process: a file that
// fails a check is refused with VOL_E_BAD_DESCRIPTOR or VOL_E_INCONSISTENT.
// Programming errors (a page address beyond the table, a count outside 1..8,
// no open set) are assertions.
#pragma once
#include <cstdint>

#include "storage/volume_format.h"

// Status codes of the volume set (module VOL, severity E).
enum {
  VOL_E_PROPERTIES = 5,       // Vol_ChangeProperties: no such volume, no path, bad flags
  VOL_E_RANGE = 6,            // a size, extension size or maximum size out of range
  VOL_E_BAD_DESCRIPTOR = 7,   // a descriptor copy or free-list page fails its checks
  VOL_E_INCONSISTENT = 9,     // the files do not form one consistent set
  VOL_E_NO_TRANSACTIONS = 11, // LOG volume missing, or none in the set
  VOL_E_OPEN = 16,            // a volume file cannot be opened or its type determined
  VOL_E_COPIES_DIFFER = 18,   // the two descriptor copies of a volume differ
  VOL_E_NO_SPACE = 20,        // no space left
};

// Volume events given to the registered callback.
enum {
  Vol_EVENT_SYNC = 0,      // before Vol_Sync writes anything
  Vol_EVENT_CLOSE = 3,     // at Vol_Close
  Vol_EVENT_REBUILD = 4,   // at Vol_TlogRebuild
  Vol_EVENT_REINIT = 5,    // at Vol_ReInit
  Vol_EVENT_REWRITE = 6,   // a DATA file failed a flush: write every page held again
};

// "Leave this property as it is" for Vol_ChangeProperties.
inline constexpr uint32_t Vol_UNCHANGED = 0xFFFFFFFFu;

// One volume, for the status pages and the utilities.
struct Vol_XINFO {
  uint32_t volume_id;
  uint32_t set_id;
  uint32_t type;
  const char* path;
  uint32_t page_size;
  uint32_t curr_size;
  uint32_t ext_size;
  uint32_t max_size;
  uint32_t free_size;
  uint32_t io_count;
  uint32_t read_count;
  uint32_t write_count;
};

// Space totals of the data or the log volumes (or of one volume).
struct Vol_INFO {
  uint32_t vclass;     // 0 data, 1 log
  uint32_t page_size;  // 8192
  uint32_t curr_size;  // total pages
  uint32_t capacity;   // total of max_size, or curr_size where max_size is 0
  uint32_t free_size;
  uint32_t root_page;  // the root's first_page (data), the primary LOG volume's (log)
  uint32_t io_count;   // summed over the volumes counted
  uint32_t read_count;
  uint32_t write_count;
};

// A block of the delayed-free list: up to 128 {page address, count} pairs.
struct Vol_DELAYED_FREE {
  Vol_DELAYED_FREE* next;
  uint32_t count;
  struct {
    Vol_PAGEADDR page;
    uint32_t npages;
  } entry[128];
};

// --- Opening and closing -----------------------------------------------------

// Opens and checks the set made of the count files in paths (any order).
// With force, a set whose LOG volumes are missing or out of step opens even
// when it was not closed cleanly. The volume table, or none (status set,
// everything closed again). Each file is opened for writing and locked
// against every other writer.
VOLUME* Vol_Open(int count, const char* const* paths, int force);
// Vol_Open without force (the server).
VOLUME* Vol_OpenSet(int count, const char* const* paths);
// Read-only mode, for looking at a set offline (set while no set is open):
// the files are opened for reading under a shared lock, so that no writer
// can open them meanwhile (and none is opened while a writer has one);
// what opening would write back (an older release brought up to date,
// descriptor copies left apart, the clean-close flag of a forced open) is
// kept in memory, and descriptor and free-list writes and flushes are
// skipped. Page writes are not: they fail on the read-only files.
void Vol_SetReadOnly(int on);
int Vol_IsReadOnly();
// Opens one file and reads it: a new record (free with Vol_FreeSingle), or
// none with the status set.
VOLUME* Vol_OpenSingle(const char* path);
// Closes one volume's file and frees its in-memory free list.
void Vol_CloseSingle(VOLUME* vol);
void Vol_FreeSingle(VOLUME* vol);
// Event 3 to the callback, then closes every volume, last id first.
void Vol_Close();
// Frees the table (all volumes closed); the primary LOG volume becomes none.
void Vol_Free();
// Event 5, then re-reads from copy 0 of every DATA volume its space,
// free-list and setting fields (extension and maximum size, USEVIO), and
// its free-list pages (after recovery).
int Vol_ReInit();

// --- Descriptor and free-list pages of one volume ---------------------------

struct Tlog_TAGREC;
// Reads and checks descriptor copy 0 (page 0) or 1 (page 319) of vol's file
// into vol, keeping its run-time fields; an older release is brought up to
// date in memory. 0, or -1 with status VOL_E_BAD_DESCRIPTOR and the reason
// logged.
int Vol_ReadVolumeDescriptor(VOLUME* vol, int copy);
// Writes copy 0 or 1 (within tag during on-line backup, else none). A failed
// write is fatal. 0, or -1 with status 20 when on-line backup found no LOG
// page for it: vol stays dirty and a later sync writes it.
int Vol_WriteVolumeDescriptor(VOLUME* vol, int copy, Tlog_TAGREC* tag);
// Reads free-list page fl->page of vol into fl and checks its header. 0, or
// -1 with status VOL_E_BAD_DESCRIPTOR.
int Vol_ReadFreeDescriptor(VOLUME* vol, Vol_FLMEM* fl);
// Writes fl and clears its dirty flag. A failed write is fatal.
void Vol_WriteFreeDescriptor(VOLUME* vol, Vol_FLMEM* fl);

// --- Accessors -----------------------------------------------------------------

VOLUME* Vol_GetRootVol();
VOLUME* Vol_GetTlogVol();  // none when the set has no usable LOG volume
int Vol_NumVolumes();
// The volume of a page address; asserts that it is in the table.
VOLUME* Vol_VolumeOf(Vol_PAGEADDR page);
// The root's map of LOG volumes: pass it to Vol_AllocPage for log pages.
Vol_ALDESC* Vol_GetTlogAldesc();
// Stores the set's event function; returns the previous one.
Vol_Callback Vol_SetCallback(Vol_Callback fn);
// The root's on-line backup bit.
int Vol_IsRedirected();
// Kept for the configuration's UseLargeFileMode; files are always 64-bit here.
void Vol_SetLargeFileMode(int on);

// The current status when it is a VOL code of severity E (else 0), or of
// severity R (record statuses of the fixed-record files).
int Vol_LastError();
int Vol_LastStatus();

// --- Writing back ----------------------------------------------------------------

// Event 0, then DATA volumes, then LOG volumes: both descriptor copies when
// dirty, every dirty free-list page, and a flush when DSYNC / LSYNC is set.
// While another task writes an extension of a volume, its pages are
// flushed all the same; in SYNC mode the call then waits until the
// extension has written the descriptor, else it leaves that to it.
void Vol_Sync(int tio_mode);
void Vol_SyncData(int tio_mode);
void Vol_TlogSync(int tio_mode);
// Event 0 (changed node pages, meta data and every dirty buffer), then
// every DATA volume's descriptor and free-list pages, and a flush of each
// DATA file whatever the sync mode: the checkpoint and recovery rely on
// the data being on disk before they give up the log. Waits (SYNC). 0, or
// -1 with status 20 when on-line backup kept a page back for want of a LOG
// page (it stays dirty in memory, so the log must stay).
int Vol_SyncDataDurably();
// The same without event 0, for a caller that wrote its own pages (ones no
// log record holds) and needs them on disk before it commits: refused is
// Vol_RefusedWrites() from before those writes. 0 or -1 as above.
int Vol_SyncDataFiles(uint32_t refused);
// Clears the on-line backup flags (Vol_IS_REDIRECTED, Vol_REDIRECT_PAGES)
// of every volume of the set (only DATA volumes with data_only); a changed
// DATA volume is marked dirty, a changed LOG or TEMP volume written at once.
void Vol_ClearRedirectFlags(int data_only);
// Carries out an extension made in on-line backup mode: at its end
// (recovering 0) ext_size pages from curr_size on are zero-filled and the
// count listed free-list pages written; in recovery (ext_size 0) the file
// grows to the logged curr_size and listed free-list pages missing from the
// chain are made all free and chained on. Inconsistencies are fatal.
void Vol_RecoverExtendSingle(VOLUME* v, uint32_t curr_size, uint32_t ext_size, uint32_t count,
                             const Vol_PAGEADDR* flist, int recovering);
void Vol_SyncFreeList();
void Vol_TlogSyncFreeList();
void Vol_ForceSync(int tio_mode);
void Vol_TlogForceSync(int tio_mode);
// Writes both descriptor copies of vol (copy 0 first) and flushes when
// DSYNC or LSYNC is set; first waits for an extension being written.
void Vol_FlushDescriptor(VOLUME* vol);
// Mode 1 flushes every write (DSYNC on data, LSYNC on LOG volumes), 0 none.
// Another mode is refused: -1 with "Vol_SetSyncMode() failed: invalid mode".
int Vol_SetSyncMode(int mode);
// The root's clean-close flag, on disk in both copies when these return,
// whatever the sync mode; setting it flushes every volume first.
void Vol_SetConsistent();
void Vol_ClearConsistent();
int Vol_IsConsistent();

// --- Pages -----------------------------------------------------------------------

// First fit of count (1..8) consecutive free pages: map none for data pages,
// Vol_GetTlogAldesc() for log pages. Extends a volume when no volume has
// room. A page is handed out only once copy 0 on disk names it: while
// another task writes an extension, its new pages are waited for. The
// first page's address, or 0 (status VOL_E_NO_SPACE).
Vol_PAGEADDR Vol_AllocPage(int count, const Vol_ALDESC* map);
// Marks count (1..8) pages free at once.
void Vol_FreePage(Vol_PAGEADDR page, int count);
// Queues count pages to be freed at the next checkpoint.
void Vol_FreePageDelayed(Vol_PAGEADDR page, int count);
// Detaches the delayed-free list (the checkpoint takes it) ...
Vol_DELAYED_FREE* Vol_TakeDelayedFrees();
// ... and frees every entry of it, then the blocks.
void Vol_FreeDelayedList(Vol_DELAYED_FREE* list);
uint32_t Vol_DelayedLogPages();
// The LOG pages kept for the root log. While the log is on, a LOG
// allocation outside the root log's own writes is refused (status
// VOL_E_NO_SPACE) when it would leave fewer free LOG pages than the reserve
// the installed function names (none installed: no reserve); a volume that
// may still grow is extended first. So a change that does not fit is
// refused while the rollback of what went before, the final commit of what
// was committed and the checkpoint still find their pages. fn may be none.
void Vol_SetTlogReserveFn(uint32_t (*fn)());
// Opens (delta +1) or closes (-1) the reserve around a root-log block
// allocation. The reserve is open for whatever allocates meanwhile, so
// another task's allocation made while that one waits for an extension
// may take a reserve page too.
void Vol_OpenTlogReserve(int delta);
// Called (if set) when a LOG allocation was refused for the reserve or for
// want of space: the log should be checkpointed at once. fn may be none.
void Vol_SetTlogShortFn(void (*fn)());
// Free LOG pages now, and the pages the LOG volumes may hold at most
// (each one's maximum, or its size when it cannot grow; 0 when one may
// grow without a bound).
uint32_t Vol_TlogFreePages();
uint32_t Vol_TlogCapacity();
// Marks count (1..8) pages used (recovery, commit of allocations).
void Vol_MarkPageUsed(Vol_PAGEADDR page, int count);
// 1 when count (1..8) pages from page lie in an open volume of the set,
// below its size and past its descriptor copies; else 0. For addresses read
// back from disk, before they are used.
int Vol_PagesInSet(Vol_PAGEADDR page, uint32_t count);
// Recovery, before its replay: count pages the log names as allocated and
// the bitmap holds free are taken from allocation, so that what the replay
// itself allocates cannot be a page a later record claims. A page the
// replay marks used or frees is its own from then on; Vol_ReleaseReserved,
// after the replay, frees the rest (named by records the replay passed
// over).
void Vol_ReservePage(Vol_PAGEADDR page, int count);
void Vol_ReleaseReserved();

// Page transfers on the volume of the address (page_io.h does the work). A
// failed transfer is fatal; a write returns -1 (status 20, nothing written)
// only when on-line backup finds no LOG page for its copy.
int Vol_ReadPage(Vol_PAGEADDR page, void* buf, uint32_t size);
int Vol_WritePage(Vol_PAGEADDR page, const void* buf, uint32_t size);
int Vol_ReadPageVector(Vol_PAGEADDR first_page, int count, void* const* bufs);
int Vol_WritePageVector(Vol_PAGEADDR first_page, int count, const void* const* bufs);

// Adds ext_size pages to vol (fewer at max_size or the largest volume);
// the data pages gained. Waits first for an extension of vol that another
// task is writing. A lack of memory for new free-list pages is fatal
// ("Vol_ExtendSingle: Memory allocation failed") before anything is written.
uint32_t Vol_ExtendSingle(VOLUME* vol);

// --- Properties and information ------------------------------------------------

int Vol_SetExtensionSize(VOLUME* vol, uint32_t ext_size);
int Vol_SetMaximumSize(VOLUME* vol, uint32_t max_size);
// Changes the volume named by path; Vol_UNCHANGED leaves a value alone. size
// is checked, not applied. flag_mask 0 or 4, flag values within 4 (USEVIO).
int Vol_ChangeProperties(const char* path, uint32_t flag_mask, uint32_t flag_values,
                         uint32_t size, uint32_t ext_size, uint32_t max_size);
// -1 index out of range, 1 not in the set's used map, 0 filled. A volume of
// the set whose file was missing at open gets its id, the set id and its
// type from the root's maps, path "" and no pages.
int Vol_GetVolumeInfo(int index, Vol_XINFO* info);
void Vol_GetDataInfo(Vol_INFO* info);
void Vol_GetLogInfo(Vol_INFO* info);
void Vol_GetSingleInfo(const VOLUME* vol, Vol_INFO* info);

// Empties every LOG volume (after the log was given up); drops every cached
// page of the log.
void Vol_TlogRebuild();

// --- For the volume utilities ------------------------------------------------------

// Opens the volume file at path (made by the volume utilities) and enters it
// into the open set's slot of its volume id. It must carry the set's id. A
// volume open in that slot is closed first and its delayed frees are
// forgotten (its file was replaced, as by a log reset); the table grows to
// cover the slot; a LOG volume becomes the primary one when the set has
// none. The slot, or none (status set, nothing changed).
VOLUME* Vol_AttachVolume(const char* path);
