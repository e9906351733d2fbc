// schema_collate.cpp - the collating sequences the indexes of open
// databases use, shared among all cache entries by reference count.
//
// State: one process-wide list, touched only by tasks of the server
// thread; get_collate runs under the cache's mutex (an open), del_collate
// also from closes, which never suspend. Fetching a row may suspend the
// task in the catalog.
//
// A sequence's map is the catalog row's blob: 256 counted strings that use
// the blob up exactly. The walk that sets the 256 pointers is bounded by
// the blob's own size (what the catalog read), never by a length stored in
// the bytes.
#include <cstdlib>

#include "access/schema_internal.h"
#include "base/debug_log.h"
#include "base/panic.h"

namespace {

idb_coll* g_colls = nullptr;
constexpr const char* kDefaultCharset = "iso88591";

idb_coll* find(uint32_t id, idb_coll** prev_out = nullptr) {
  idb_coll* prev = nullptr;
  for (idb_coll* c = g_colls; c != nullptr; prev = c, c = c->next) {
    if (c->id != id) continue;
    if (prev_out != nullptr) *prev_out = prev;
    return c;
  }
  return nullptr;
}

// The 256 pointers into the row's map; false when the map is not exactly
// 256 counted strings within its own size.
bool set_pointers(idb_coll* c) {
  const uint8_t* blob = c->row->map;
  if (blob == nullptr) return false;
  const uint8_t* bytes = SysCat_BlobBytes(blob);
  const uint32_t length = SysCat_BlobLength(blob);
  if (!SysCat_CollateMapConsistent(bytes, length)) return false;
  uint32_t at = 0;
  for (const uint8_t*& p : c->map) {
    p = bytes + at;
    at += 1u + bytes[at];
  }
  return true;
}

}  // namespace

const idb_coll* idb__collate_list() { return g_colls; }

idb_coll* get_collate(uint32_t id, idb_session*) {
  debug_log('I', 3, "get_collate(id=%d)", static_cast<int>(id));
  if (idb_coll* c = find(id)) {
    ++c->ref_cnt;
    return c;
  }
  SysCat_COLLATE* row = SysCat_get_client_collate_by_id(id, kDefaultCharset, nullptr);
  if (row == nullptr) {
    debug_log('I', 1, "Collating sequence id %d (%s) does not exist", static_cast<int>(id),
              kDefaultCharset);
    return nullptr;
  }
  if (row->type != 0) {
    debug_log('I', 1, "Collating sequence id %d (%s) has unsupported type %d",
              static_cast<int>(id), LogText(row->name).c_str(), static_cast<int>(row->type));
    free(row);
    return nullptr;
  }
  auto* c = static_cast<idb_coll*>(calloc(1, sizeof(idb_coll)));
  if (c == nullptr) {
    debug_log('I', 1, "get_collate: Memory allocation failed");
    free(row);
    return nullptr;
  }
  if (row->id != id)
    debug_log('I', 3, "collate seq id=%d, using id=%d", static_cast<int>(id),
              static_cast<int>(row->id));
  c->id = id;
  c->row = row;
  if (!set_pointers(c)) {
    debug_log('I', 1, "Collating sequence id %d is inconsistent or corrupted", static_cast<int>(id));
    free(row);
    free(c);
    return nullptr;
  }
  c->ref_cnt = 1;
  idb_coll** tail = &g_colls;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = c;
  return c;
}

void del_collate(uint32_t id) {
  idb_coll* prev = nullptr;
  idb_coll* c = find(id, &prev);
  ZENT_ASSERT(c != nullptr && "coll != NULL");
  ZENT_ASSERT(c->ref_cnt > 0 && "coll->ref_cnt > 0");
  if (--c->ref_cnt > 0) return;
  (prev != nullptr ? prev->next : g_colls) = c->next;
  free(c->row);
  free(c);
}
