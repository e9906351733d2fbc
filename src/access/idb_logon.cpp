// idb_logon.cpp - logon and capabilities (see idb_logon.h).
//
// State: none of its own; the identity lives in the session. Suspends only
// in the catalog read of get_user_id.
#include "access/idb_logon.h"

#include <nettle/md5.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "access/idb_session.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "index/syscat.h"

namespace {
// The stored block (a 32-bit length, then the MD5 digest) against the
// digest of password up to its terminator; a null password never matches.
bool password_matches(const uint8_t* stored, const char* password) {
  if (password == nullptr) return false;
  uint32_t len;
  memcpy(&len, stored, sizeof len);
  if (len != MD5_DIGEST_SIZE) return false;
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, strlen(password), reinterpret_cast<const uint8_t*>(password));
  md5_digest(&ctx, sizeof digest, digest);
  return memcmp(stored + sizeof len, digest, sizeof digest) == 0;
}
}  // namespace

int32_t get_user_id(idb_session* s, const char* name, const char* password, uint32_t* caps) {
  debug_log('I', 3, "get_user_id(name=%s)", LogText(name).c_str());
  SysCat_USER* u = SysCat_get_user_by_name(name, idb__tx_node(s));
  if (u == nullptr) {
    IDB_ERROR(s, S_BADUSER, 0);
    debug_log('I', 1, "User \"%s\" does not exist", LogText(name).c_str());
    return -1;
  }
  int32_t rc = -1;
  if ((u->priv & (IDB_CAP_DBA | IDB_CAP_CONNECT)) == 0) {
    IDB_ERROR(s, S_BADUSER, 0);
    debug_log('I', 1, "User \"%s\" is not allowed to connect", LogText(name).c_str());
  } else if (u->password == nullptr || password_matches(u->password, password)) {
    *caps = u->priv;
    rc = static_cast<int32_t>(u->uid);
  } else {
    IDB_ERROR(s, S_BADPSWD, 0);
    debug_log('I', 1, "User \"%s\", password does not match", LogText(name).c_str());
  }
  free(u);
  return rc;
}

int idb__logon(idb_session* s, const char* name, const char* password) {
  if (name == nullptr || *name == '\0') name = "public";
  uint32_t caps = 0;
  const int32_t uid = get_user_id(s, name, password, &caps);
  if (uid < 0) return -1;
  char* copy = strdup(name);
  if (copy == nullptr) {
    IDB_ERROR(s, S_SYSTEM, errno);
    return -1;
  }
  free(s->user_name);
  s->user_name = copy;
  s->uid = uid;
  s->caps = caps;
  return 0;
}

int idb_logon(idb_session* s, const char* name, const char* password, int32_t* status) {
  status[5] = IDB_LOGON;
  status[8] = 0;
  if (idb__logon(s, name, password) != 0) return idb__fail_status(s, -1, status);
  status[0] = 0;
  status[1] = s->uid;
  for (int i = 2; i < IDB_STATUS_WORDS; ++i) status[i] = 0;
  s->error.code = 0;
  return 0;
}

int32_t idb__get_uid(const idb_session* s) { return s->uid; }

int idb__chk_capability(const idb_session* s, int bit) {
  return s->uid != 0 && ((s->caps >> (bit & 31)) & 1u) != 0;
}
