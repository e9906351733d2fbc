// syscat_api.cpp - the typed functions of the server catalog: objects,
// volumes, volume allocation tables, users and databases (collations are
// syscat_collate.cpp). Each checks its arguments, takes the table lock
// when a transaction is given, and works through the core operations; a
// lookup returns a row the caller frees.
//
// Context: a task of the server thread; suspends where the core
// operations do.
#include <strings.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "index/syscat.h"
#include "index/syscat_internal.h"

// --- Shared lookups ------------------------------------------------------------------------------

int SysCat_MatchU32(const void* row, void* key) {
  const auto* k = static_cast<const SysCat_KEY*>(key);
  uint32_t v = 0;
  memcpy(&v, static_cast<const uint8_t*>(row) + k->offset, sizeof v);
  return v == k->value;
}

int SysCat_MatchU32Pair(const void* row, void* key) {
  const auto* k = static_cast<const SysCat_KEY*>(key);
  uint32_t v = 0;
  memcpy(&v, static_cast<const uint8_t*>(row) + k->offset2, sizeof v);
  return SysCat_MatchU32(row, key) && v == k->value2;
}

int SysCat_MatchName(const void* row, void* key) {
  const auto* k = static_cast<const SysCat_NAMEKEY*>(key);
  const char* name = nullptr;
  memcpy(&name, static_cast<const uint8_t*>(row) + k->offset, sizeof name);
  return name != nullptr && strcasecmp(name, k->name) == 0;
}

void* SysCat_GetOne(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                    void* arg, Node* tx, int* found) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  const int rc = SysCat_Find(cat, sys_id, fn, arg, &st, &row, tx);
  if (found != nullptr) *found = rc == 0 ? 1 : rc == 1 ? 0 : -1;
  return rc == 0 ? row : nullptr;
}

void* SysCat_GetLogged(SysCat_DB_CATALOG* cat, int sys_id, int (*fn)(const void* row, void* arg),
                       void* arg, Node* tx, const char* format, ...) {
  int found = 0;
  void* row = SysCat_GetOne(cat, sys_id, fn, arg, tx, &found);
  if (row == nullptr && found == 0 && debug_enabled('O', 2)) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    debug_log('O', 2, "%s", LogText(text).c_str());
  }
  return row;
}

int SysCat_AddUnique(SysCat_DB_CATALOG* cat, int sys_id, const void* row,
                     int (*fn)(const void* row, void* arg), void* arg, Node* tx) {
  int found = 0;
  void* old = SysCat_GetOne(cat, sys_id, fn, arg, tx, &found);
  free(old);
  if (found != 0) return found > 0 ? 1 : -1;
  return SysCat_add_entry(cat, sys_id, row, nullptr, tx);
}

int SysCat_ChangeOne(SysCat_DB_CATALOG* cat, int sys_id, const void* row,
                     int (*fn)(const void* row, void* arg), void* arg, Node* tx) {
  SysCat_GETSTATE st;
  void* old = nullptr;
  const int rc = SysCat_Find(cat, sys_id, fn, arg, &st, &old, tx);
  free(old);
  if (rc != 0) return rc;
  return row != nullptr ? SysCat_upd_entry(cat, sys_id, row, &st, tx)
                        : SysCat_del_entry(cat, sys_id, &st, tx);
}

// --- sysobjects ----------------------------------------------------------------------------------

int SysCat_add_object(const SysCat_OBJECT* obj, Node* tx) {
  if (obj == nullptr || obj->id == 0 || obj->type == 0 || !SysCat_HasText(obj->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_object");
  debug_log('O', 3, "SysCat_add_object(id=%d, name=\"%s\")", static_cast<int>(obj->id), LogText(obj->name).c_str());
  return SysCat_Locked(nullptr, SysObject_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_OBJECT, id, obj->id);
    const int rc = SysCat_AddUnique(nullptr, SysObject_ID, obj, SysCat_MatchU32, &k, tx);
    if (rc == 1) {
      debug_log('O', 1,
                "SysCat_add_object(id=%d) failed: object is already exists, file %s, line %d",
                static_cast<int>(obj->id), __FILE__, __LINE__);
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    return rc;
  });
}

SysCat_OBJECT* SysCat_get_object_by_name(const char* name, Node* tx) {
  if (!SysCat_HasText(name)) {
    SYSCAT_INVALID_ARGS("SysCat_get_object_by_name");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_object_by_name(name=\"%s\")", LogText(name).c_str());
  SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_OBJECT, name, name);
  return static_cast<SysCat_OBJECT*>(
      SysCat_GetLogged(nullptr, SysObject_ID, SysCat_MatchName, &k, tx,
                       "SysCat_get_object_by_name(name=\"%s\") failed: object not found", name));
}

SysCat_OBJECT* SysCat_get_object_by_id(uint32_t id, Node* tx) {
  debug_log('O', 3, "SysCat_get_object_by_id(id=%d)", static_cast<int>(id));
  SysCat_KEY k = SYSCAT_KEY(SysCat_OBJECT, id, id);
  return static_cast<SysCat_OBJECT*>(SysCat_GetLogged(
      nullptr, SysObject_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_object_by_id(id=%d) failed: object not found", static_cast<int>(id)));
}

int SysCat_del_object(uint32_t id, Node* tx) {
  debug_log('O', 3, "SysCat_del_object(id=%d)", static_cast<int>(id));
  int found = 0;
  const int rc = SysCat_Locked(nullptr, SysObject_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_OBJECT, id, id);
    const int r = SysCat_ChangeOne(nullptr, SysObject_ID, nullptr, SysCat_MatchU32, &k, tx);
    found = r == 0;
    return r < 0 ? -1 : 0;
  });
  return rc != 0 ? -1 : found ? 0 : 1;
}

// --- sysdevices
// -----------------------------------------------------------------------------------

SysCat_DEVICE* SysCat_get_vol_by_id(uint32_t volid, Node* tx) {
  debug_log('O', 3, "SysCat_get_vol_by_id(id=%d)", static_cast<int>(volid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_DEVICE, volid, volid);
  return static_cast<SysCat_DEVICE*>(SysCat_GetLogged(
      nullptr, SysDevice_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_vol_by_id(id=%d) failed: Volume not found", static_cast<int>(volid)));
}

// --- sysvat
// ----------------------------------------------------------------------------------------

int SysCat_add_vat(const SysCat_VAT* vat, Node* tx) {
  if (vat == nullptr || vat->vatid == 0 || !SysCat_HasText(vat->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_vat");
  debug_log('O', 3, "SysCat_add_vat(vatid=%d)", static_cast<int>(vat->vatid));
  return SysCat_Locked(nullptr, SysVat_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_VAT, vatid, vat->vatid);
    const int rc = SysCat_AddUnique(nullptr, SysVat_ID, vat, SysCat_MatchU32, &k, tx);
    if (rc == 1) {
      debug_log('O', 1, "SysCat_add_vat(vatid=%d) failed: VAT already exists, file %s, line %d",
                static_cast<int>(vat->vatid), __FILE__, __LINE__);
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    return rc;
  });
}

SysCat_VAT* SysCat_get_vat_by_name(const char* name, Node* tx) {
  if (!SysCat_HasText(name)) {
    SYSCAT_INVALID_ARGS("SysCat_get_vat_by_name");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_vat_by_name(name=\"%s\")", LogText(name).c_str());
  SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_VAT, name, name);
  return static_cast<SysCat_VAT*>(
      SysCat_GetLogged(nullptr, SysVat_ID, SysCat_MatchName, &k, tx,
                       "SysCat_get_vat_by_name(name=\"%s\") failed: VAT not found", name));
}

SysCat_VAT* SysCat_get_vat_by_id(uint32_t vatid, Node* tx) {
  debug_log('O', 3, "SysCat_get_vat_by_id(id=%d)", static_cast<int>(vatid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_VAT, vatid, vatid);
  return static_cast<SysCat_VAT*>(SysCat_GetLogged(
      nullptr, SysVat_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_vat_by_id(id=%d) failed: VAT not found", static_cast<int>(vatid)));
}

// --- sysuser
// --------------------------------------------------------------------------------------

int SysCat_add_user(SysCat_USER* user, Node* tx) {
  if (user == nullptr || user->uid != 0 || !SysCat_HasText(user->name))
    return SYSCAT_INVALID_ARGS("SysCat_add_user");
  debug_log('O', 3, "SysCat_add_user(\"%s\")", LogText(user->name).c_str());
  return SysCat_Locked(nullptr, SysUser_ID, tx, [&] {
    SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_USER, name, user->name);
    int found = 0;
    free(SysCat_GetOne(nullptr, SysUser_ID, SysCat_MatchName, &k, tx, &found));
    if (found < 0) return -1;
    if (found > 0) {
      debug_log('O', 1,
                "SysCat_add_user(\"%s\") failed: user name already exists, file %s, line %d",
                user->name, __FILE__, __LINE__);
      SysCat_Error(SC_E_ARG);
      return -1;
    }
    const uint32_t uid = SysCat_get_unique_id(nullptr, SysUser_ID, tx);
    if (uid == 0) return -1;
    user->uid = uid;
    if (SysCat_add_entry(nullptr, SysUser_ID, user, nullptr, tx) != 0) {
      user->uid = 0;
      return -1;
    }
    return 0;
  });
}

int SysCat_upd_user(const SysCat_USER* user, Node* tx) {
  if (user == nullptr || user->uid == 0 || !SysCat_HasText(user->name))
    return SYSCAT_INVALID_ARGS("SysCat_upd_user");
  debug_log('O', 3, "SysCat_upd_user(uid=%d)", static_cast<int>(user->uid));
  return SysCat_Locked(nullptr, SysUser_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_USER, uid, user->uid);
    SysCat_GETSTATE st;
    void* old = nullptr;
    if (SysCat_Find(nullptr, SysUser_ID, SysCat_MatchU32, &k, &st, &old, tx) != 0) {
      debug_log('O', 1, "SysCat_upd_user: SysCat_get(uid=%d) failed.", static_cast<int>(user->uid));
      return -1;
    }
    free(old);
    if (SysCat_upd_entry(nullptr, SysUser_ID, user, &st, tx) != 0) {
      debug_log('O', 1, "SysCat_upd_user: SysCat_upd_entry(uid=%d) failed.",
                static_cast<int>(user->uid));
      return -1;
    }
    return 0;
  });
}

int SysCat_del_user(uint32_t uid, Node* tx) {
  if (uid == 0) return SYSCAT_INVALID_ARGS("SysCat_del_user");
  debug_log('O', 3, "SysCat_del_user(uid=%d)", static_cast<int>(uid));
  return SysCat_Locked(nullptr, SysUser_ID, tx, [&] {
    SysCat_KEY k = SYSCAT_KEY(SysCat_USER, uid, uid);
    SysCat_GETSTATE st;
    void* old = nullptr;
    if (SysCat_Find(nullptr, SysUser_ID, SysCat_MatchU32, &k, &st, &old, tx) != 0) {
      debug_log('O', 1, "SysCat_del_user: SysCat_get(uid=%d) failed.", static_cast<int>(uid));
      return -1;
    }
    free(old);
    if (SysCat_del_entry(nullptr, SysUser_ID, &st, tx) != 0) {
      debug_log('O', 1, "SysCat_del_user: SysCat_del_entry(uid=%d) failed.", static_cast<int>(uid));
      return -1;
    }
    return 0;
  });
}

SysCat_USER* SysCat_get_user_by_name(const char* name, Node* tx) {
  if (!SysCat_HasText(name)) {
    SYSCAT_INVALID_ARGS("SysCat_get_user_by_name");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_user_by_name(name=\"%s\")", LogText(name).c_str());
  SysCat_NAMEKEY k = SYSCAT_NAMEKEY(SysCat_USER, name, name);
  return static_cast<SysCat_USER*>(
      SysCat_GetLogged(nullptr, SysUser_ID, SysCat_MatchName, &k, tx,
                       "SysCat_get_user_by_name(name=\"%s\") failed: User not found", name));
}

SysCat_USER* SysCat_get_user_by_id(uint32_t uid, Node* tx) {
  debug_log('O', 3, "SysCat_get_user_by_id(uid=%d)", static_cast<int>(uid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_USER, uid, uid);
  return static_cast<SysCat_USER*>(SysCat_GetLogged(
      nullptr, SysUser_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_user_by_id(uid=%d) failed: User not found", static_cast<int>(uid)));
}

// --- sysdb
// -----------------------------------------------------------------------------------------

namespace {
struct DbNameKey {
  const char* name;
  uint32_t mask;
  uint32_t value;
};
int match_db(const void* row, void* arg) {
  const auto* db = static_cast<const SysCat_DB*>(row);
  const auto* k = static_cast<const DbNameKey*>(arg);
  return db->name != nullptr && strcasecmp(db->name, k->name) == 0 &&
         (db->flags & k->mask) == k->value;
}
}  // namespace

SysCat_DB* SysCat_get_db_by_name(const char* name, uint32_t mask, uint32_t value, Node* tx) {
  if (!SysCat_HasText(name)) {
    SYSCAT_INVALID_ARGS("SysCat_get_db_by_name");
    return nullptr;
  }
  debug_log('O', 3, "SysCat_get_db_by_name(name=\"%s\", mask=0x%x, value=0x%x)", LogText(name).c_str(), mask, value);
  DbNameKey k{name, mask, value};
  return static_cast<SysCat_DB*>(
      SysCat_GetLogged(nullptr, SysDb_ID, match_db, &k, tx,
                       "SysCat_get_db_by_name(name=\"%s\") failed: Database not found", name));
}

SysCat_DB* SysCat_get_db_by_id(uint32_t dbid, Node* tx) {
  debug_log('O', 3, "SysCat_get_db_by_id(dbid=%d)", static_cast<int>(dbid));
  SysCat_KEY k = SYSCAT_KEY(SysCat_DB, dbid, dbid);
  return static_cast<SysCat_DB*>(SysCat_GetLogged(
      nullptr, SysDb_ID, SysCat_MatchU32, &k, tx,
      "SysCat_get_db_by_id(dbid=%d) failed: Database not found", static_cast<int>(dbid)));
}
