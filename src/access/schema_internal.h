// schema_internal.h - the schema cache's own modules: the build of a
// schema from the catalog (schema_build.cpp) and the shared collating
// sequences (schema_collate.cpp). Not for callers outside the cache.
#pragma once
#include <cstdint>

#include "access/schema_cache.h"

// Builds g (zeroed first) from the catalog's tables. 0, or -1 with g freed
// again and the failure logged (S_VOLNODE, S_SYSTEM in ctx's record).
int open_root(SysCat_DB_CATALOG* cat, global* g, idb_session* ctx);
// Frees everything g holds and releases its collating sequences.
void close_root(global* g);

// The shared sequence of id (a reference taken), or none with the reason
// logged.
idb_coll* get_collate(uint32_t id, idb_session* ctx);
// Releases one reference; the last frees the sequence and its row.
void del_collate(uint32_t id);
