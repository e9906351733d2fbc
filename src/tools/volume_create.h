// volume_create.h - the functions that bring volume files into existence,
// which only the volume utilities link: one new volume file, the root
// volume of a new set, an extension volume of an open set, the removal of
// an empty volume file, the LOG volumes made again empty, writing back
// every open volume, and the system pool of a new set.
//
// Durable creation: a new file is written whole, flushed, and its directory
// synced before anything that names it is written (the root's descriptor);
// a removed file's directory is synced before the call returns. A LOG
// volume is made again under a temporary name and renamed over the old one
// only once it is complete, so the set keeps a log whatever fails.
//
// Context: a utility's only thread (no task kernel); every call blocks on
// its file transfers. Failures log their reason and return none or -1 with
// a status of module VOL, severity E: 5 unknown volume type, 6 a size out
// of range, 10 no volume slot left, 11 a LOG volume missing from a set
// that cannot be recovered without it, 12 a volume not empty, 15 a file
// that cannot be created, 19 a file that cannot be filled. An open set
// that is not consistent is an assertion.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/volume_format.h"

enum {
  VOL_E_TYPE = 5,
  VOL_E_LINKS = 10,
  VOL_E_NOT_EMPTY = 12,
  VOL_E_CREATE = 15,
  VOL_E_FILL = 19,
};

// A new volume file at path (which must not exist) of type and volume_id,
// size pages (320..16777216), extension size 0 or 2..16777216, maximum 0 or
// at least size: both descriptor copies, the free-list pages, and (with a
// single free-list page) every page written. The new descriptor with its
// file open (free it with Vol_FreeSingle), or none with no file left.
VOLUME* Vol_CreateSingle(const char* path, uint32_t type, uint32_t volume_id, uint32_t size,
                         uint32_t ext_size, uint32_t max_size);
// A new set: its root DATA volume at path with a fresh set identifier
// (two nonzero, different 16-bit halves from the kernel's random source),
// opened. No set may be open. The volume table, or none.
VOLUME* Vol_Create(const char* path, uint32_t size, uint32_t ext_size, uint32_t max_size);
// Adds a volume of type (0 DATA, 1 LOG, 2 TEMP) to the open set: in the
// slot of a missing volume of the set, else the first free slot. The
// volume table, or none.
VOLUME* Vol_CreateExtent(const char* path, uint32_t type, uint32_t size, uint32_t ext_size,
                         uint32_t max_size);
// Closes an empty volume and removes its file. 0, or -1 (status 12) when
// it holds pages.
int Vol_DeleteSingle(VOLUME* vol);
// Makes every LOG volume of the open, recovered set empty again, each with
// its size, extension and maximum, set id, generation and sync flags; the
// cached pages are written (the log's dropped) first. 0, or -1 when a new
// log file cannot be made (the old one stays).
int Vol_TlogReset();
// Writes every open volume's changed descriptor and free-list pages, and
// flushes the files of synced volumes.
void Vol_SyncOpenVolumes(int tio_mode);

// A system pool node (id > 0) on the data root.
Node* Pool_SysCreate(uint32_t system_node_id);
// The system pool of a new set (id 1, node flag 3). 0 or -1.
int SysPool_Initialize();

// The set identifier a new set gets (exposed for tests).
uint32_t Vol_NewSetId();
