// db_admin.cpp - DBCREATE, DBERASE and DBPURGE (see db_admin.h).
#include "server/db_admin.h"

#include <cstdlib>
#include <memory>

#include "access/idb_cmd.h"
#include "access/idb_create.h"
#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "storage/tlog.h"

namespace {

// What every request shares: the session, its context and status.
struct Request {
  idb_session* s;
  db_ctx* ctx;
  int32_t* status;
};

bool selected(uint32_t count, const int32_t* list, int setno) {
  return count == 0 || list[setno] != 0;
}

// The administrator capability or the database's administration privilege.
bool general_privilege(const Request& r) {
  return idb__chk_capability(r.s, 0) != 0 || (r.ctx->privs & 1u) != 0;
}

// Ends a request: closes the database and fills the failure (code -1: the
// session's error record).
int fail(Request& r, int32_t code) {
  if (r.ctx != nullptr) idb__close_database(r.s, r.ctx);
  r.ctx = nullptr;
  idb__fail_status(r.s, code, r.status);
  return r.status[0];
}

int succeed(Request& r, int32_t intrinsic, int32_t open_mode) {
  if (r.ctx != nullptr) idb__close_database(r.s, r.ctx);
  r.ctx = nullptr;
  r.status[0] = 0;
  r.status[4] = r.status[6] = r.status[7] = r.status[9] = 0;
  r.status[5] = intrinsic + (open_mode << 12);
  r.s->error = idb_error{};
  return 0;
}

// The checks the three requests share, in order: -11, the mode, -21, -31
// (not open for erase), the privilege (when asked), 32. 0 or the code.
int32_t check(Request& r, int32_t dbid, bool mode_ok, uint32_t count, bool need_privilege) {
  r.ctx = idb__get_db_ctx(r.s, dbid);
  if (r.ctx == nullptr) return S_BADID;
  if (!mode_ok) return S_BADMODE;
  if (count != 0 && count != static_cast<uint32_t>(r.ctx->root->g.set_cnt)) return S_BAD;
  if (r.ctx->mode != 13) return S_BADMODE;
  if (need_privilege && !general_privilege(r)) return S_DENIED;
  if (Tlog_TxDepth(idb__tx_node(r.s)) != 0) return IDB_RC_OPEN_TX;
  return 0;
}

}  // namespace

int db_create(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
              const int32_t* list) {
  status[5] = IDB_CREATE;
  status[8] = mode;
  Request r{s, nullptr, status};
  if (const int32_t code = check(r, dbid, mode == 1, count, true); code != 0) return fail(r, code);
  const int32_t open_mode = r.ctx->mode;
  if (idb__begin_cmd(s, "DBCREATE") != 0) return fail(r, -1);
  Node* tx = idb__tx_node(s);
  for (int i = 0; i < r.ctx->root->g.set_cnt; ++i) {
    if (!selected(count, list, i)) continue;
    const int rc = idb__create_set(s, r.ctx, i, tx);
    if (rc == 17) {
      debug_log('P', 2, " create set %2d: %s", i + 1, "data set already created");
    } else if (rc != 0) {
      debug_log('P', 2, " create set %2d: %s", i + 1, "Failed to create data set");
      idb__rollback_cmd(s);
      return fail(r, -1);
    }
  }
  // A failed commit rolled back the nodes the schema entry names: the
  // database goes with it.
  if (idb__commit_cmd(s) != 0) return fail(r, -1);
  return succeed(r, IDB_CREATE, open_mode);
}

int db_purge(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list) {
  status[5] = IDB_PURGE;
  status[8] = mode;
  Request r{s, nullptr, status};
  if (const int32_t code = check(r, dbid, mode == 1 || mode == 2, count, true); code != 0)
    return fail(r, code);
  const int32_t open_mode = r.ctx->mode;
  if (idb__begin_cmd(s, "DBPURGE") != 0) return fail(r, -1);
  Node* tx = idb__tx_node(s);
  const global* g = &r.ctx->root->g;
  for (int i = 0; i < g->set_cnt; ++i) {
    if (!selected(count, list, i)) continue;
    const int rc = idb__purge_set(s, r.ctx, i, tx);
    if (rc == 2) {
      debug_log('P', 2, " purge set %2d: %s", i + 1, "data set not created");
    } else if (rc != 0) {
      debug_log('P', 2, " purge set %2d: %s", i + 1, "Failed to purge data set");
      idb__rollback_cmd(s);
      return fail(r, -1);
    }
  }
  bool stored = false;
  for (int i = 0; i < g->set_cnt && !stored; ++i) stored = g->set[i].s.node != nullptr;
  if (mode == 2 || !stored) {
    // The whole database goes; idb__purge_db closes it on every road.
    db_ctx* ctx = r.ctx;
    r.ctx = nullptr;
    if (idb__purge_db(s, ctx, tx) != 0) {
      debug_log('P', 2, "Unable to purge data base");
      idb__rollback_cmd(s);
      return fail(r, -1);
    }
  }
  if (idb__commit_cmd(s) != 0) return fail(r, -1);
  return succeed(r, IDB_PURGE, open_mode);
}

int db_erase(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list) {
  status[5] = IDB_ERASE;
  status[8] = mode;
  Request r{s, nullptr, status};
  if (const int32_t code = check(r, dbid, mode == 1, count, false); code != 0) return fail(r, code);
  const int32_t open_mode = r.ctx->mode;
  const global* g = &r.ctx->root->g;
  const bool general = general_privilege(r);
  if (!general) {
    bool any = false;
    for (int i = 0; i < g->set_cnt && !any; ++i) any = (r.ctx->sets[i].access & 4u) != 0;
    if (!any) {
      debug_log('I', 2, "idb_erase: no erase privileges");
      return fail(r, S_DENIED);
    }
  }
  // The sets this erase empties: a detail's masters among them keep their
  // chain heads as they are (they are emptied anyway).
  // Owned so that a task unwound in the middle of the erase frees it too.
  const std::unique_ptr<uint8_t, decltype(&free)> erased_owner(
      static_cast<uint8_t*>(calloc(g->set_cnt > 0 ? g->set_cnt : 1, 1)), &free);
  uint8_t* erased = erased_owner.get();
  if (erased == nullptr) {
    IDB_ERROR(s, S_SYSTEM, 0);
    return fail(r, -1);
  }
  for (int i = 0; i < g->set_cnt; ++i)
    erased[i] = selected(count, list, i) && (general || (r.ctx->sets[i].access & 4u) != 0);
  for (int i = 0; i < g->set_cnt; ++i) {
    if (!selected(count, list, i)) continue;
    if (!erased[i]) {
      debug_log('I', 2, "idb_erase(setno=%d): no erase privileges - ignored", i + 1);
      continue;
    }
    const int rc = idb__erase_set(s, r.ctx, i, erased);
    if (rc == 2) {
      debug_log('P', 2, " erase set %2d: %s", i + 1, "data set not created");
    } else if (rc != 0) {
      debug_log('P', 2, " erase set %2d: %s", i + 1, "Failed to erase data set");
      return fail(r, -1);
    }
  }
  return succeed(r, IDB_ERASE, open_mode);
}
