// scan_request.h - request class 5, SCAN: bulk reads through scan
// contexts that a connection opens on the sets of its open databases, and
// the scan maps that hold those contexts under u32 handles.
//
// A handle is the session's scan counter + 1, 0 skipped and handles in use
// passed over. The data requests (SEQ, REC, NEXT, KEY, CHAIN) reserve the
// client's data_sz bytes in the reply after the success head and align 4,
// let the access layer's scans (access/idb_scan.h) fill them and cut the
// reply to the size used. Refusals are scan failure replies {id, 0, u32
// code, u32 detail code, str text, 2 bytes padding}; a request that cannot
// be decoded closes the connection. docs/protocol.md, class 5, is the
// client writer's reference.
//
// Owner: the client session (head in ClientSession::scan_maps); the maps
// end with the database session (dbml_close_session).
//
// Context: the connection's worker task on the server thread under one
// unit of the API lock; the scans suspend and yield (idb_scan.h).
#pragma once
#include <cstdint>

#include "access/idb_scan.h"

struct ClientSession;

// One scan context: the fields NEW_CONTEXT gave and the access layer's
// context (whose field bitmap is the map's own copy).
struct ScanMap {
  ScanMap* prev;
  ScanMap* next;
  uint32_t handle;
  int16_t mode;
  uint16_t rec_size;
  uint8_t* fld_map;  // (fld_cnt + 7) / 8 bytes, none when fld_cnt is 0
  idb_scan_ctx ctx;
};

// Scan maps one session may hold at once.
inline constexpr uint32_t kScanMaxMaps = 4096;

// The SCAN class: 0 when a reply was built, -1 when the connection must
// be closed.
int scan_request(ClientSession* session);
// Frees every scan map of the session with its state.
void scan_close_session(ClientSession* session);
// The map of handle, or none.
ScanMap* scan_find_map(ClientSession* session, uint32_t handle);
// The name of a request type ("<unknown>" outside 1..7).
const char* scan_request_name(uint16_t type);
