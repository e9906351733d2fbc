// page_io.h - whole-page transfers between memory and the volume files, and
// the engine's I/O timing statistics.
//
// One page, or one cluster of up to Vol_MAXCLUST consecutive pages of one
// volume, moves at a time. Volumes in on-line backup mode (Vol_REDIRECT_PAGES)
// have each page mapped through the backup redirection, so a page may travel
// to or from a page of another volume. A transfer here blocks the calling
// thread; tasks that must not block the server thread use the I/O threads
// (tio.h), which share the statistics below.
//
// Context: the transfer functions run on the server thread (or a utility's
// only thread), one at a time: the bounce page and the volume counters are
// not locked. The statistics may be updated from any thread.
#pragma once
#include <cstdint>

#include "storage/volume_format.h"

struct Tlog_TAGREC;

// Statistics records: reads, writes, and transfers completed by I/O threads.
enum { Vol_STAT_READ = 0, Vol_STAT_WRITE = 1, Vol_STAT_TIO = 2 };
// How a transfer completed: at once, after a wait in the caller, by a thread.
enum { Vol_STAT_AT_ONCE = 0, Vol_STAT_WAITED = 1, Vol_STAT_BY_THREAD = 2 };

// A snapshot of one statistics record, for the status pages.
struct Vol_IOSTAT {
  uint32_t count;        // transfers counted
  uint32_t timed;        // transfers with a measured time
  uint32_t by_type[3];   // at once, waited, by a thread
  uint32_t reserved;     // never set
  uint64_t sum_us;       // sum of measured times
  uint32_t min_us;       // smallest measured time (0 while none)
  uint32_t max_us;       // largest measured time
};

// Clears the statistics and sizes the backup redirection hash. 0, or -1
// (with nothing left set up).
int Vol_Initialize();
// Timing off; frees the redirection hash.
void Vol_Cleanup();

// Turns timing on (the last step of the server's start-up). 0.
int Vol_InitStatistics();
// The clock now, or 0 when timing is off.
uint64_t Vol_StatStart();
// Counts one transfer of mode (Vol_STAT_*, or -1 to only measure) completed
// as type, here and in the server counters (reads, writes, syncs), and
// returns the microseconds since start. A start of 0 was taken
// while timing was off: the transfer is counted but not timed.
uint64_t Vol_StatUpdate(int mode, uint64_t start, int type);
void Vol_GetStatistics(int mode, Vol_IOSTAT* out);
// Pages moved by this module since start (status pages).
uint64_t Vol_PagesRead();
uint64_t Vol_PagesWritten();

// Reads page of vol into buf (size 1..8192: a short size takes the first
// size bytes). A failed read is fatal. 0.
int Vol_Read(VOLUME* vol, uint32_t page, void* buf, uint32_t size);
// Reads count (1..8) consecutive pages into bufs[0..count). Fatal on failure.
int Vol_ReadVector(VOLUME* vol, uint32_t first_page, int count, void* const* bufs);
// The same for a caller that can take a failure (a utility reading a file
// that may be damaged): 0, or -1 with the reason logged (and what was read
// before it in bufs). Sets no status.
int Vol_TryReadVector(VOLUME* vol, uint32_t first_page, int count, void* const* bufs);
// Writes page of vol from buf; a short size is padded with 0xAA to a whole
// page. tag is the caller's transaction log tag record during on-line backup,
// or none. 0, or -1 with status 20 when on-line backup found no LOG page for
// the copy or the file failed the write. Either counts as kept back.
int Vol__Write(VOLUME* vol, uint32_t page, const void* buf, uint32_t size, Tlog_TAGREC* tag);
// Vol__Write for a caller that keeps its page and writes it again later:
// 0 written, 1 kept back with status 20 (backup mode found no LOG page for
// the copy, nothing written; or the file failed the write, logged).
int Vol_WriteOrKeep(VOLUME* vol, uint32_t page, const void* buf, uint32_t size, Tlog_TAGREC* tag);
// Writes kept back so far, because backup mode found no LOG page for a copy
// or the file failed the write (single pages and clusters alike): a caller
// that wrote pages back tells by it whether all of them went out.
uint32_t Vol_RefusedWrites();
// Of those, the writes the file failed.
uint32_t Vol_FailedWrites();
// Pages written so far: a flush begun at n covers the writes up to n.
uint64_t Vol_WriteSeq();
// Writes count (1..8) consecutive pages from bufs. 0; -1 when they are kept
// back: on-line backup found no LOG page for a copy (status 20, nothing
// written), or the file failed the write (logged; some pages may have gone
// out; status 20 either way). The caller keeps its pages and writes them
// again.
int Vol_WriteVector(VOLUME* vol, uint32_t first_page, int count, const void* const* bufs);

// One transfer of size bytes at page's offset of f, waited for. 1 done,
// 0 failed (logged).
int Vol_ReadFile(platform::File* f, uint32_t page, void* buf, uint32_t size);
int Vol_WriteFile(platform::File* f, uint32_t page, const void* buf, uint32_t size);

// Writes a zero page at page (an address of vol): extends the file. 0, or -1
// when the write failed (a full file system among others).
int Vol_FillPage(VOLUME* vol, Vol_PAGEADDR page);
// Flushes vol's file through the I/O threads in tio_mode (Vol_TIO_*). For a
// volume in backup redirection the LOG volumes are flushed instead, as its
// writes go there. 0, or -1 when this or an earlier flush of a DATA or TEMP
// file failed (logged; the failure stays with the file, see tio_flush_error).
// A failed flush of a LOG file is fatal.
int Vol_SyncFile(VOLUME* vol, int tio_mode);
