// volume_set_state.h - the volume set's one global state and the helpers
// its two files share: volume_set.cpp (opening and checking, descriptors and
// free lists, writing back, properties, information) and volume_alloc.cpp
// (page bits, first fit, extension, freeing). Other modules use
// volume_set.h; nothing here is for them.
//
// Context: the server thread (or a utility's only thread), as for every
// call of the volume set; no locks.
#pragma once
#include <cstdint>

#include "base/error_status.h"
#include "base/task_kernel.h"
#include "storage/volume_set.h"

#define VOL_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

namespace volset {

// The extension of one volume being written. Its new pages are in memory
// from the start, but copy 0 may name them only once they are on disk, and
// only then may other tasks have them.
struct Extension {
  bool active = false;
  uint32_t visible = 0;  // while active: the pages below it may go to any task
  WaitQueue done;        // tasks waiting for it to be written
};

struct VolSet {
  VOLUME* table = nullptr;  // Vol_MAXLINK records; entry 0 is the root
  int num_volumes = 0;      // entries in use by the set
  VOLUME* tlog_vol = nullptr;
  uint32_t root_release = 0;  // the root's release as read at open
  Vol_DELAYED_FREE* delayed = nullptr;
  uint32_t delayed_log_pages = 0;
  uint32_t (*tlog_reserve)() = nullptr;  // see Vol_SetTlogReserveFn
  int tlog_reserve_open = 0;
  void (*tlog_short)() = nullptr;
  int large_file = 0;
  uint32_t lowest_free[Vol_MAXLINK] = {};  // by volume id; see find_free_run
  Extension ext[Vol_MAXLINK];               // by volume id
  // Vol_SetReadOnly: files opened shared, nothing written back.
  bool read_only = false;
  // Vol_FailedWrites() when the data were last made durable whole (or the
  // set opened): the set is closed clean only when no write failed since.
  uint32_t failed_writes_durable = 0;
  // tio_flush_failures of each volume's file when last looked at.
  uint32_t flush_failures_seen[Vol_MAXLINK] = {};
  // Vol_WriteSeq when each volume's last flush that succeeded began.
  uint64_t durable_seq[Vol_MAXLINK] = {};
  // Failed flushes taken in (rewrite_after_failed_flush): a caller that
  // needs its pages durable tells by it whether one failed meanwhile.
  uint32_t rewrites = 0;
  uint32_t rewrites_durable = 0;  // rewrites as failed_writes_durable
};

extern VolSet g;

// --- Small helpers ------------------------------------------------------------

inline bool flag(const VOLUME* v, int bit) { return Vol_TestFlag(bit, &v->header) != 0; }
inline void set_flag(VOLUME* v, int bit) { Vol_SetFlag(bit, &v->header); }
inline void clear_flag(VOLUME* v, int bit) { Vol_ClearFlag(bit, &v->header); }
inline void mark_dirty(VOLUME* v) { set_flag(v, Vol_DIRTY); }

inline bool fl_dirty(const Vol_FLMEM* fl) { return Vol_TestFlag(Vol_DIRTY, fl->image) != 0; }
inline void fl_mark_dirty(Vol_FLMEM* fl) { Vol_SetFlag(Vol_DIRTY, fl->image); }

inline VOLUME* root() { return g.table; }
inline bool slot_filled(const VOLUME* v) { return v->revision[0] != '\0'; }
inline bool is_open(const VOLUME* v) { return v->fhandle != nullptr; }

// The volumes of the set that are open and in the root's used map.
inline bool in_set(int id) {
  const VOLUME* v = &g.table[id];
  return is_open(v) && Vol_IsAllocAllowed(id, &root()->used_map);
}

inline bool is_log_volume(const VOLUME* v) { return v->type == VolType_LOG; }
inline int sync_bit(const VOLUME* v) { return is_log_volume(v) ? Vol_LSYNC : Vol_DSYNC; }
// DSYNC or LSYNC, as the volume's type says: every write is flushed.
inline bool synced(const VOLUME* v) { return flag(v, sync_bit(v)); }

// Lowest page of a volume that may be free: no page below it is. Lets first
// fit start where the free pages start instead of at page 0. Every road that
// makes a page free lowers it (unmark_page) or resets it (a bitmap read).
inline uint32_t& lowest_free(const VOLUME* v) { return g.lowest_free[v->volume_id]; }

// --- Descriptors and free-list pages (volume_set.cpp) --------------------------

// Writes copy 0 or 1 of v's descriptor (within tag during on-line backup).
// False when it is kept back (status 20: on-line backup found no LOG page
// for it, or the file failed the write): v is marked dirty again.
bool write_descriptor(VOLUME* v, int copy, Tlog_TAGREC* tag = nullptr);
void write_dirty_free_pages(VOLUME* v);
// Flushes v's file (not in read-only mode). False when the flush failed
// (then what the memory holds of v is marked to be written again when it
// can be: see rewrite_after_failed_flush).
bool flush_file(VOLUME* v, int tio_mode);
// Both copies, copy 0 first (copy 1 not at all when copy 0 is kept back in
// backup mode: v stays dirty). With durable, copy 0 is on disk before copy 1
// is written and copy 1 before the return; without, nothing is flushed.
// Callers make sure that no extension of v is being written when it begins.
// (One begun during the flush between the copies may leave copy 1 the newer
// on disk; an open keeps copy 0 then, which never names pages not on disk.)
void write_copies(VOLUME* v, bool durable, int tio_mode);

// --- Page bits, extensions, frees (volume_alloc.cpp) ---------------------------

void check_count(int count);
// Marks page n of v used; 1 when it was free (free count, dirty flags).
int mark_page(VOLUME* v, uint32_t n);
// An extension of v is being written: copy 0 is its alone, and its new
// pages go to no other task.
bool extension_in_flight(const VOLUME* v);
// Sleeps until no extension of v is being written. A sleep that ends early
// (a time-out) sleeps again: the caller cannot go on without it.
void wait_for_extension(const VOLUME* v);
void free_delayed_blocks(Vol_DELAYED_FREE* list);
// Forgets the delayed frees of LOG pages (the log was rebuilt).
void drop_delayed_log_frees();
// Forgets the delayed frees of one volume's pages (its file was replaced).
void drop_delayed_frees_of(uint32_t volume_id);

}  // namespace volset
