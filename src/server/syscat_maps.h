// syscat_maps.h - a connection's catalog maps: the catalog databases its
// SYSCAT requests opened and the queries they run, each named by a u16
// handle the client holds.
//
// Handles come from a per-session counter that wraps within 1..32767 and
// skips handles in use, so a long-lived connection never runs out of
// them while it keeps fewer than 32767 open. A query on a catalog
// database points at that database's map; closing the map closes its
// queries first.
//
// Owner: the client session (heads in ClientSession). Every open catalog
// database is also on one process-wide list, so a database may be told
// open by any connection.
//
// Context: the connection's worker task on the server thread; nothing
// here suspends except the catalog's own close.
#pragma once
#include <cstdint>

#include "index/syscat.h"

struct ClientSession;

// Privilege bits of a catalog database map.
inline constexpr uint32_t kCatPrivDbAdmin = 1;
inline constexpr uint32_t kCatPrivGroupAdmin = 2;
// The largest handle; handles run 1..kCatMaxHandle.
inline constexpr uint16_t kCatMaxHandle = 0x7fff;
// How many catalog database handles, query handles and scan contexts (each
// kind apart) one connection may hold at once: the setting MaxHandles, else
// fallback (kDefaultMaxHeld for the catalog's handles, kScanMaxMaps for
// scans). Each holds memory, so one client cannot take the server's by
// opening without end.
inline constexpr uint32_t kDefaultMaxHeld = 1024;
uint32_t session_max_held(uint32_t fallback = kDefaultMaxHeld);

struct CatalogDbMap {
  CatalogDbMap* prev;
  CatalogDbMap* next;
  CatalogDbMap* all_prev;  // the process-wide list
  CatalogDbMap* all_next;
  SysCat_DB_CATALOG* cat;
  uint16_t handle;
  uint32_t privs;
};

struct CatalogQueryMap {
  CatalogQueryMap* prev;
  CatalogQueryMap* next;
  CatalogDbMap* db;  // none: the server catalog
  const SysCat_TABLE_DESCR* descr;
  uint32_t sys_id;
  uint32_t count;
  uint32_t fetched;  // rows returned so far
  SysCat_GETSTATE state;
  int started;
  uint16_t handle;
};

enum { kMapNone = 0, kMapNoHandle = 1, kMapNoMemory = 2 };

// A new map on the session's list with the next free handle; none with
// *why kMapNoHandle (every handle in use) or kMapNoMemory.
CatalogDbMap* syscat_new_map(ClientSession* session, int* why);
CatalogQueryMap* syscat_new_qry_map(ClientSession* session, int* why);
CatalogDbMap* syscat_find_map(ClientSession* session, uint16_t handle);
CatalogQueryMap* syscat_find_qry_map(ClientSession* session, uint16_t handle);
// Unlinks and frees a map; its queries are dropped first and its catalog
// (when one was opened) closed.
void syscat_free_map(ClientSession* session, CatalogDbMap* map);
void syscat_free_qry_map(ClientSession* session, CatalogQueryMap* query);
// Before the session's transaction rolls back: the maps of databases that
// exist only inside it are closed, since the rollback deletes their
// nodes.
void syscat_before_rollback(ClientSession* session);
// When the database session ends: every query, then every map.
void syscat_close_session(ClientSession* session);
// Nonzero while some connection has the database of sysdb node nodeid
// open as a catalog database.
int syscat_db_in_use(uint32_t nodeid);
