// syscat_maps.cpp - a connection's catalog database and query maps (see
// syscat_maps.h).
#include "server/syscat_maps.h"

#include <cstdlib>

#include "base/debug_log.h"
#include "base/server_config.h"
#include "server/server_main.h"

#include "server/client_session.h"

namespace {

CatalogDbMap* g_all_maps = nullptr;

bool db_handle_used(const ClientSession* s, uint16_t h) {
  for (const CatalogDbMap* m = s->catalog_db_maps; m != nullptr; m = m->next)
    if (m->handle == h) return true;
  return false;
}

bool qry_handle_used(const ClientSession* s, uint16_t h) {
  for (const CatalogQueryMap* q = s->catalog_query_maps; q != nullptr; q = q->next)
    if (q->handle == h) return true;
  return false;
}

// The handle after *counter that is free; 0 when all are taken. The
// counter wraps within 1..kCatMaxHandle, as database ids do.
uint16_t next_handle(uint16_t* counter, const ClientSession* s,
                     bool (*used)(const ClientSession*, uint16_t)) {
  for (uint32_t tries = 0; tries < kCatMaxHandle; ++tries) {
    *counter = static_cast<uint16_t>(*counter >= kCatMaxHandle ? 1 : *counter + 1);
    if (!used(s, *counter)) return *counter;
  }
  return 0;
}

template <class Map>
void push(Map** head, Map* m) {
  m->prev = nullptr;
  m->next = *head;
  if (*head != nullptr) (*head)->prev = m;
  *head = m;
}

template <class Map>
void unlink(Map** head, Map* m) {
  if (m->prev != nullptr) m->prev->next = m->next;
  else *head = m->next;
  if (m->next != nullptr) m->next->prev = m->prev;
}

}  // namespace

namespace {

// A zeroed map with the next free handle, pushed on *head; none with *why.
template <class Map>
Map* new_map(ClientSession* session, Map** head, uint16_t* counter,
             bool (*used)(const ClientSession*, uint16_t), int* why) {
  *why = kMapNone;
  uint32_t held = 0;
  for (const Map* m = *head; m != nullptr; m = m->next) ++held;
  if (held >= session_max_held()) {
    *why = kMapNoHandle;
    return nullptr;
  }
  uint16_t next = *counter;
  const uint16_t h = next_handle(&next, session, used);
  if (h == 0) {
    *why = kMapNoHandle;
    return nullptr;
  }
  auto* m = static_cast<Map*>(calloc(1, sizeof(Map)));
  if (m == nullptr) {
    *why = kMapNoMemory;
    return nullptr;
  }
  *counter = next;
  m->handle = h;
  push(head, m);
  return m;
}

}  // namespace

uint32_t session_max_held(uint32_t fallback) {
  const SrvConfig* srv = server_cfg != nullptr ? server_cfg->server : nullptr;
  return srv != nullptr && srv->max_handles > 0 ? static_cast<uint32_t>(srv->max_handles)
                                                : fallback;
}

CatalogDbMap* syscat_new_map(ClientSession* session, int* why) {
  CatalogDbMap* m = new_map(session, &session->catalog_db_maps, &session->catalog_db_map_counter,
                            db_handle_used, why);
  if (m == nullptr) return nullptr;
  m->all_next = g_all_maps;
  if (g_all_maps != nullptr) g_all_maps->all_prev = m;
  g_all_maps = m;
  return m;
}

CatalogQueryMap* syscat_new_qry_map(ClientSession* session, int* why) {
  CatalogQueryMap* q = new_map(session, &session->catalog_query_maps,
                               &session->catalog_query_map_counter, qry_handle_used, why);
  if (q != nullptr) q->state = SysCat_GETSTATE{};
  return q;
}

CatalogDbMap* syscat_find_map(ClientSession* session, uint16_t handle) {
  for (CatalogDbMap* m = session->catalog_db_maps; m != nullptr; m = m->next)
    if (m->handle == handle) return m;
  return nullptr;
}

CatalogQueryMap* syscat_find_qry_map(ClientSession* session, uint16_t handle) {
  for (CatalogQueryMap* q = session->catalog_query_maps; q != nullptr; q = q->next)
    if (q->handle == handle) return q;
  return nullptr;
}

void syscat_free_qry_map(ClientSession* session, CatalogQueryMap* query) {
  unlink(&session->catalog_query_maps, query);
  free(query);
}

void syscat_free_map(ClientSession* session, CatalogDbMap* map) {
  // A query must not outlive the catalog it walks.
  for (CatalogQueryMap* q = session->catalog_query_maps; q != nullptr;) {
    CatalogQueryMap* next = q->next;
    if (q->db == map) syscat_free_qry_map(session, q);
    q = next;
  }
  unlink(&session->catalog_db_maps, map);
  if (map->all_prev != nullptr) map->all_prev->all_next = map->all_next;
  else g_all_maps = map->all_next;
  if (map->all_next != nullptr) map->all_next->all_prev = map->all_prev;
  SysCat_db_close(map->cat);
  free(map);
}

void syscat_before_rollback(ClientSession* session) {
  for (CatalogDbMap* m = session->catalog_db_maps; m != nullptr;) {
    CatalogDbMap* next = m->next;
    const SysCat_DB* db = m->cat != nullptr ? m->cat->db : nullptr;
    SysCat_DB* committed = db != nullptr ? SysCat_get_db_by_id(db->dbid, nullptr) : nullptr;
    if (committed == nullptr || committed->nodeid != db->nodeid) {
      debug_log('P', 2, "db_hndl %d closed: its database goes with the rollback", m->handle);
      syscat_free_map(session, m);
    }
    free(committed);
    m = next;
  }
}

void syscat_close_session(ClientSession* session) {
  while (session->catalog_query_maps != nullptr)
    syscat_free_qry_map(session, session->catalog_query_maps);
  while (session->catalog_db_maps != nullptr) syscat_free_map(session, session->catalog_db_maps);
}

int syscat_db_in_use(uint32_t nodeid) {
  for (const CatalogDbMap* m = g_all_maps; m != nullptr; m = m->all_next)
    if (m->cat != nullptr && m->cat->db != nullptr && m->cat->db->nodeid == nodeid) return 1;
  return 0;
}
