// syscat_collate.cpp - collating sequences in the server catalog: added and
// rewritten only when their map is consistent, looked up by id or name,
// and the variant of a sequence for a client's character set.
//
// A collation map is a blob of exactly 256 counted strings (one per byte
// value: a u8 length and that many bytes) that uses the blob up, at most
// 8000 bytes: the column's size, so a longer map is refused instead of cut
// when stored.
//
// Context: a task of the server thread; suspends where the core operations do.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/debug_log.h"
#include "index/syscat.h"
#include "index/syscat_internal.h"

int SysCat_CollateMapConsistent(const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length > SysCat_MAX_COLSIZE) return 0;
  uint32_t at = 0;
  for (int i = 0; i < 256; ++i) {
    if (at >= length) return 0;
    const uint32_t n = bytes[at];
    if (n > length - at - 1) return 0;
    at += 1 + n;
  }
  return at == length ? 1 : 0;
}

namespace {

int consistent(const SysCat_COLLATE* coll, const char* fn) {
  if (coll->type == 0 && coll->map != nullptr &&
      SysCat_CollateMapConsistent(SysCat_BlobBytes(coll->map), SysCat_BlobLength(coll->map)))
    return 1;
  debug_log('O', 1, "%s() failed: Inconsistent collating information, file %s, line %d", fn,
            __FILE__, __LINE__);
  SysCat_Error(SC_E_ARG);
  return 0;
}

}  // namespace

int SysCat_add_collate(SysCat_COLLATE* coll, Node* tx) {
  if (coll == nullptr || !SysCat_HasText(coll->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_collate");
  debug_log('O', 3, "SysCat_add_collate(name=\"%s\")", LogText(coll->name).c_str());
  if (!consistent(coll, "SysCat_add_collate")) return -1;
  return SysCat_Locked(nullptr, SysCollate_ID, tx, [&] {
    const uint32_t id = SysCat_get_unique_id(nullptr, SysCollate_ID, tx);
    if (id == 0) return -1;
    coll->id = id;
    if (SysCat_add_entry(nullptr, SysCollate_ID, coll, nullptr, tx) == 0) return 0;
    coll->id = 0;
    return -1;
  });
}

int SysCat_upd_collate(const SysCat_COLLATE* coll, Node* tx) {
  if (coll == nullptr || coll->id == 0 || !SysCat_HasText(coll->name))
    return SYSCAT_INVALID_ARGS("SysCat_upd_collate");
  debug_log('O', 3, "SysCat_upd_collate(id=%d)", static_cast<int>(coll->id));
  if (!consistent(coll, "SysCat_upd_collate")) return -1;
  return SysCat_Locked(nullptr, SysCollate_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_COLLATE, id, coll->id);
    const int rc = SysCat_ChangeOne(nullptr, SysCollate_ID, coll, SysCat_MatchU32, &k, tx);
    if (rc == 1) {
      debug_log('O', 2, "SysCat_get_collate_by_id(id=%d) failed: Collating sequence not found",
                static_cast<int>(coll->id));
      SysCat_Error(SC_E_ARG);
    }
    return rc == 0 ? 0 : -1;
  });
}

SysCat_COLLATE* SysCat_get_collate_by_name(const char* name, Node* tx) {
  if (!SysCat_HasText(name)) {
    SYSCAT_INVALID_ARGS("SysCat_get_collate_by_name");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_collate_by_name(name=\"%s\")", LogText(name).c_str());
  SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_COLLATE, name, name);
  return static_cast<SysCat_COLLATE*>(SysCat_GetLogged(
      nullptr, SysCollate_ID, SysCat_MatchName, &k, tx,
      "SysCat_get_collate_by_name(name=\"%s\") failed: Collating sequence not found", name));
}

SysCat_COLLATE* SysCat_get_collate_by_id(uint32_t id, Node* tx) {
  debug_log('O', 3, "SysCat_get_collate_by_id(id=%d)", static_cast<int>(id));
  SysCat_KEY k = SYSCAT_KEY(SysCat_COLLATE, id, id);
  return static_cast<SysCat_COLLATE*>(
      SysCat_GetLogged(nullptr, SysCollate_ID, SysCat_MatchU32, &k, tx,
                       "SysCat_get_collate_by_id(id=%d) failed: Collating sequence not found",
                       static_cast<int>(id)));
}

SysCat_COLLATE* SysCat_get_client_collate_by_id(uint32_t id, const char* charset, Node* tx) {
  if (charset == nullptr) {
    SYSCAT_INVALID_ARGS("SysCat_get_client_collate_by_id");
    return nullptr;
  }
  SysCat_COLLATE* coll = SysCat_get_collate_by_id(id, tx);
  if (coll == nullptr) return nullptr;
  // base "." charset [ "@" suffix ]
  const char* name = coll->name != nullptr ? coll->name : "";
  const char* dot = strchr(name, '.');
  if (dot == nullptr) {
    debug_log('O', 2,
              "SysCat_get_collate_by_id(id=%d) failed: Collating sequence id %d name does not "
              "contain a character set",
              static_cast<int>(id), static_cast<int>(id));
    free(coll);
    return nullptr;
  }
  const char* at = strchr(dot + 1, '@');
  const size_t cs_len = at != nullptr ? static_cast<size_t>(at - dot - 1) : strlen(dot + 1);
  if (cs_len == strlen(charset) && strncasecmp(dot + 1, charset, cs_len) == 0) return coll;
  std::string want(name, static_cast<size_t>(dot - name));
  want += '.';
  want += charset;
  if (at != nullptr) want += at;
  SysCat_COLLATE* other = SysCat_get_collate_by_name(want.c_str(), tx);
  if (other == nullptr) return coll;
  debug_log('O', 3, "SysCat_get_client_collate_by_id: %d -> %d", static_cast<int>(id),
            static_cast<int>(other->id));
  free(coll);
  return other;
}
