// scan_map.h - a connection's scan maps: the scan contexts its SCAN
// requests opened, each named by a u32 handle the client holds.
//
// A handle is the session's counter + 1, 0 skipped and handles in use
// passed over, so a long-lived connection never runs out of them while it
// keeps fewer than kScanMaxMaps open. A map holds the access layer's scan
// context with its own copy of the field bitmap and, between calls, its
// key or chain state.
//
// Owner: the client session (head and counter in ClientSession); the maps
// end with the database session (scan_close_session, from
// dbml_close_session).
//
// Context: the connection's worker task on the server thread; nothing
// here suspends.
#pragma once
#include <cstdint>

#include "access/idb_scan.h"

struct ClientSession;

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

// A zeroed map on the session's list with the next free handle; none when
// the session holds kScanMaxMaps already (or MaxHandles, when set lower) or
// memory ran out.
ScanMap* scan_new_map(ClientSession* session);
// The map of handle, or none.
ScanMap* scan_find_map(ClientSession* session, uint32_t handle);
// Unlinks and frees a map with its bitmap and scan state.
void scan_free_map(ClientSession* session, ScanMap* map);
// Frees every scan map of the session.
void scan_close_session(ClientSession* session);
