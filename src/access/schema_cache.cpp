// schema_cache.cpp - the list of cache entries, one per open database, and
// their opening and closing (see schema_cache.h).
//
// State: the list head and the mutex, process-wide, used by tasks of the
// server thread only. The mutex is held around opens only: a build reads
// the catalog and may suspend there, and a second open of the same name
// must find the finished entry, not build another. A close neither takes
// the mutex nor suspends before the entry is off the list, so an open that
// waits on the mutex never finds an entry half freed.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "access/schema_internal.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"

namespace {

vglobal* g_head = nullptr;
Semaphore g_mutex = [] {
  Semaphore s;
  s.count = 1;
  return s;
}();

void free_entry(vglobal* v) {
  free(v->name);
  free(v);
}

// A new entry with its catalog and schema, or none.
vglobal* build_entry(const char* db_name, idb_session* ctx) {
  auto* v = static_cast<vglobal*>(calloc(1, sizeof(vglobal)));
  char* name = v != nullptr ? strdup(db_name) : nullptr;
  if (name == nullptr) {
    debug_log('I', 1, "idb__vopen_root: Memory allocation failed");
    free(v);
    return nullptr;
  }
  v->name = name;
  SysCat_DB* db = SysCat_get_db_by_name(db_name, 0, 0, nullptr);
  if (db == nullptr) {
    debug_log('I', 1, "Database %s does not exist", LogText(db_name).c_str());
    free_entry(v);
    return nullptr;
  }
  v->cat = SysCat_db_open(db);
  free(db);
  if (v->cat == nullptr) {
    debug_log('I', 1, "Database %s, unable to open catalog", LogText(db_name).c_str());
    free_entry(v);
    return nullptr;
  }
  if (open_root(v->cat, &v->g, ctx) != 0) {
    SysCat_db_close(v->cat);
    free_entry(v);
    return nullptr;
  }
  return v;
}

}  // namespace

int idb__vopen_root(const char* db_name, vglobal** out, idb_session* ctx) {
  *out = nullptr;
  debug_log('I', 3, "idb__vopen_root(db_name=%s)", LogText(db_name).c_str());
  if (down(&g_mutex, __FILE__, __LINE__) != 0) return -1;
  vglobal** tail = &g_head;
  for (vglobal* v = g_head; v != nullptr; tail = &v->next, v = v->next) {
    if (strcasecmp(v->name, db_name) != 0) continue;
    ++v->ref_cnt;
    up(&g_mutex);
    *out = v;
    return 0;
  }
  vglobal* v = build_entry(db_name, ctx);
  if (v != nullptr) {
    v->ref_cnt = 1;
    *tail = v;
  }
  up(&g_mutex);
  *out = v;
  return v != nullptr ? 0 : -1;
}

void idb__vclose_root(vglobal* v) {
  debug_log('I', 3, "idb__vclose_root()");
  ZENT_ASSERT(v->ref_cnt > 0 && "vglobal->ref_cnt > 0");
  if (--v->ref_cnt > 0) return;
  vglobal** prev_link = &g_head;
  while (*prev_link != nullptr && *prev_link != v) prev_link = &(*prev_link)->next;
  ZENT_ASSERT(*prev_link != nullptr && "prev_link != NULL");
  *prev_link = v->next;
  close_root(&v->g);
  SysCat_db_close(v->cat);
  free_entry(v);
}

vglobal* idb__get_vroot_list() { return g_head; }
