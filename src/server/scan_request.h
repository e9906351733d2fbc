// scan_request.h - request class 5, SCAN: bulk reads through scan
// contexts that a connection opens on the sets of its open databases and
// holds in its scan maps (scan_map.h).
//
// The data requests (SEQ, REC, NEXT, KEY, CHAIN) reserve the client's
// data_sz bytes in the reply after the success head and align 4, let the
// access layer's scans (access/idb_scan.h) fill them and cut the reply to
// the size used. Refusals are scan failure replies {id, 0, u32 code, u32
// detail code, str text, 2 bytes padding}; a request that cannot be
// decoded closes the connection. docs/protocol.md, class 5, is the client
// writer's reference.
//
// Context: the connection's worker task on the server thread under one
// unit of the API lock; the scans suspend and yield (idb_scan.h).
#pragma once
#include <cstdint>

#include "server/scan_map.h"

struct ClientSession;

// The SCAN class: 0 when a reply was built, -1 when the connection must
// be closed.
int scan_request(ClientSession* session);
// The name of a request type ("<unknown>" outside 1..7).
const char* scan_request_name(uint16_t type);
