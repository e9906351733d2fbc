// tio.h - the asynchronous I/O threads: page transfers and file flushes that
// a task waits for asleep, so the other tasks keep the server thread.
//
// One sync thread performs file flushes one at a time from a FIFO; a flush
// request not yet taken by the thread gathers every task that asks to flush
// the same file, so they share one fdatasync. Read/write threads each keep
// up to TIO_LIST_MAX transfers in flight at once on an io_uring ring of
// their own; another is started when all are full. Where the kernel refuses
// io_uring (or tio_allow_ring(false) was called), and for files the ring
// cannot address (the test double), blocking threads do one transfer each
// and another starts whenever all are busy; either way no transfer waits
// behind a slow one while the threads have room. A transfer the file system
// can do at once from its cache never leaves the calling task. An I/O thread hands a completion to the waiting task through
// the task kernel's mailbox and then calls the notifier the server installed
// (its notify_event, with "TIO"), which wakes the idle task.
//
// Modes: SYNC waits until the operation is done; OP_OVL (flushes only) waits
// until the sync thread has taken the request; FULL_OVL returns at once (the
// caller keeps transfer buffers unchanged until tio_drain or a later flush
// of the file says they are done).
//
// Ordering: a flush starts only after every write to the same file that was
// handed to the threads before the flush was asked for has completed.
//
// Context: the operations are called on the server thread. With no task
// current, or before tio_setup, every operation is done directly and
// synchronously on the calling thread. Every failure of a transfer or flush
// is fatal: the engine does not go on after one.
#pragma once
#include <cstdint>

#include "storage/volume_format.h"

// How long a caller of a flush or transfer waits.
enum { Vol_TIO_SYNC = 0, Vol_TIO_OP_OVL = 1, Vol_TIO_FULL_OVL = 2 };
// "SYNC", "OP_OVL", "FULL_OVL" ("?" for another value).
const char* tio_mode_name(int tio_mode);

inline constexpr int TIO_VEC_MAX = 8;     // elements of one tio_rw call
inline constexpr int TIO_LIST_MAX = 63;   // transfers one read/write thread holds

// One page of a transfer. Elements that follow each other in one file travel
// as one vector transfer.
struct TioVec {
  platform::File* file;
  void* buffer;
  uint32_t length;  // Vol_PAGESIZE
  uint64_t offset;
};

// Called by an I/O thread after it handed a completion to the task kernel.
using TioNotifyFn = void (*)(const char* text);
void tio_set_notify(TioNotifyFn fn);

// Maps a volume id to its open volume, or none when the set has no such
// volume. The volume set installs it when it opens.
using TioVolumeLookup = VOLUME* (*)(uint32_t volume_id);
void tio_set_volume_lookup(TioVolumeLookup fn);

// Whether transfers may use io_uring rings (default yes). Takes effect at
// the next tio_setup; tests switch it off to run the blocking threads on
// real files.
void tio_allow_ring(bool allowed);
// 1 when the running set-up uses rings (allowed and the kernel gave one).
int tio_ring_active();

// Starts one read/write thread and the sync thread. 0, or -1 (nothing left
// running) when a thread cannot be started.
int tio_setup();
// Waits for every queued flush and transfer, stops the threads (stop flag
// and join) and frees the records. The task kernel has stopped by then.
void tio_cleanup();
// Waits until every flush and transfer handed to the threads has completed;
// call before closing a file that may have some (blocks the calling thread).
void tio_drain();

// 1 when set up and a task is current: operations go through the threads.
int tio_active();
// Read/write threads running (status pages).
int tio_rw_threads();

// Flushes f's written data to disk. Through the threads: 0, or -1 when this
// or an earlier flush of f failed (logged once per error; FULL_OVL reports
// only earlier ones). Directly (no task): 0, a failure is fatal.
int tio_fsync(platform::File* f, int tio_mode);
// The first error a flush of f met, or 0. A failed flush stays with the file:
// the system may have dropped its written pages, and a later flush that
// succeeds does not bring them back.
int tio_flush_error(const platform::File* f);
// How many flushes of f failed: a caller tells a new failure by it.
uint32_t tio_flush_failures(const platform::File* f);
// The caller wrote again everything the failed flushes of f may have lost:
// they no longer count (an error already logged is not logged again).
void tio_flush_mended(const platform::File* f);
// Forgets f's flush failures; called when f is closed.
void tio_forget_file(const platform::File* f);
// Reads pg_count (1..8) pages from start_page on into pg_vec in SYNC mode,
// counting each in its volume's io_count and read_count. 0; on the direct
// road (no task) a read the file cannot give whole is -1 with status VOL
// E016 (a volume file that cannot be read), on the threads' road fatal.
int tio_read_cluster(Vol_PAGEADDR start_page, int pg_count, void* const* pg_vec);
// Transfers nvec (1..8) pages: mode 0 read, 1 write; tio_mode SYNC or
// FULL_OVL. 0.
int tio_rw(int mode, int tio_mode, int nvec, const TioVec* vec);

struct TioCounters {
  uint64_t flushes;
  uint64_t pages_read;
  uint64_t pages_written;
  // Flushes the sync thread held back until earlier writes of their file
  // had completed.
  uint64_t flush_write_waits;
};
TioCounters tio_counters();
