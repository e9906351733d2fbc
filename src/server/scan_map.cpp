// scan_map.cpp - a connection's scan maps (see scan_map.h).
#include "server/scan_map.h"

#include <cstdlib>

#include "server/client_session.h"
#include "server/syscat_maps.h"

ScanMap* scan_find_map(ClientSession* session, uint32_t handle) {
  for (ScanMap* m = session->scan_maps; m != nullptr; m = m->next)
    if (m->handle == handle) return m;
  return nullptr;
}

ScanMap* scan_new_map(ClientSession* session) {
  uint32_t n = 0;
  for (const ScanMap* m = session->scan_maps; m != nullptr; m = m->next) ++n;
  if (n >= kScanMaxMaps || n >= session_max_held(kScanMaxMaps)) return nullptr;
  // Fewer than kScanMaxMaps handles are in use: a free one comes soon.
  uint32_t h = session->scan_map_counter;
  do {
    h = h + 1 == 0 ? 1 : h + 1;
  } while (scan_find_map(session, h) != nullptr);
  auto* m = static_cast<ScanMap*>(calloc(1, sizeof(ScanMap)));
  if (m == nullptr) return nullptr;
  session->scan_map_counter = h;
  m->handle = h;
  m->next = session->scan_maps;
  if (session->scan_maps != nullptr) session->scan_maps->prev = m;
  session->scan_maps = m;
  return m;
}

void scan_free_map(ClientSession* session, ScanMap* map) {
  if (map->prev != nullptr) map->prev->next = map->next;
  else session->scan_maps = map->next;
  if (map->next != nullptr) map->next->prev = map->prev;
  idb_scan_free_state(&map->ctx);
  free(map->fld_map);
  free(map);
}

void scan_close_session(ClientSession* session) {
  while (session->scan_maps != nullptr) scan_free_map(session, session->scan_maps);
}
