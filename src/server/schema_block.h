// schema_block.h - the schema block a DBOPEN reply carries: the opened
// database's items, index items and data sets, with the session's access to
// each set, so that a client needs no further request to know the schema.
//
// Reads the schema cache entry the session's open context holds; runs in
// the connection's task and does not suspend.
#pragma once
#include <cstdint>

struct Buffer;
struct idb_session;

// Format number in the head of the block.
inline constexpr uint32_t kSchemaBlockFormat = 1536;

// The block's byte count for the database dbid open in s; 0 when none is.
uint64_t dbml_schema_block_size(idb_session* s, int32_t dbid);
// Appends align 4 and the block as one obj to the reply. 0, or -1 when the
// reply could not take it (the codec's send flag is set). The database must
// be open in s.
int dbml_schema_block(Buffer* buf, int32_t dbid, idb_session* s);
