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

// The shape the three requests share: the request's status words, the
// checks, then body on the open database; the database is closed and the
// status filled on every ending. body answers 0 or the failure code.
template <class Body>
int run_request(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
                int32_t intrinsic, bool mode_ok, bool need_privilege, Body body) {
  status[5] = intrinsic;
  status[8] = mode;
  Request r{s, nullptr, status};
  if (const int32_t code = check(r, dbid, mode_ok, count, need_privilege); code != 0)
    return fail(r, code);
  const int32_t open_mode = r.ctx->mode;
  if (const int32_t code = body(r); code != 0) return fail(r, code);
  return succeed(r, intrinsic, open_mode);
}

// What a set-by-set step logs: its verb, the code op answers for a set it
// leaves as it is, with that text, and the text of a failure.
struct SetStep {
  const char* verb;
  int unchanged;
  const char* unchanged_text;
  const char* failed_text;
};

// Runs op(setno) on each selected set. 0, or -1 at the first failure (the
// sets before it done).
template <class Op>
int32_t each_selected_set(const Request& r, uint32_t count, const int32_t* list,
                          const SetStep& step, Op op) {
  for (int i = 0; i < r.ctx->root->g.set_cnt; ++i) {
    if (!selected(count, list, i)) continue;
    const int rc = op(i);
    if (rc == step.unchanged) {
      debug_log('P', 2, " %s set %2d: %s", step.verb, i + 1, step.unchanged_text);
    } else if (rc != 0) {
      debug_log('P', 2, " %s set %2d: %s", step.verb, i + 1, step.failed_text);
      return -1;
    }
  }
  return 0;
}

// body inside a command transaction named name: rolled back when body
// fails, committed when it succeeds. 0 or the failure code.
template <class Body>
int32_t in_command(idb_session* s, const char* name, Body body) {
  if (idb__begin_cmd(s, name) != 0) return -1;
  if (const int32_t code = body(idb__tx_node(s)); code != 0) {
    idb__rollback_cmd(s);
    return code;
  }
  // A failed commit rolled back the nodes the schema entry names: the
  // database goes with it.
  return idb__commit_cmd(s) != 0 ? -1 : 0;
}

}  // namespace

int db_create(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
              const int32_t* list) {
  return run_request(s, dbid, mode, status, count, IDB_CREATE, mode == 1, true, [&](Request& r) {
    return in_command(s, "DBCREATE", [&](Node* tx) {
      const SetStep step{"create", 17, "data set already created", "Failed to create data set"};
      return each_selected_set(r, count, list, step,
                               [&](int setno) { return idb__create_set(s, r.ctx, setno, tx); });
    });
  });
}

int db_purge(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list) {
  const bool mode_ok = mode == 1 || mode == 2;
  return run_request(s, dbid, mode, status, count, IDB_PURGE, mode_ok, true, [&](Request& r) {
    return in_command(s, "DBPURGE", [&](Node* tx) -> int32_t {
      const SetStep step{"purge", 2, "data set not created", "Failed to purge data set"};
      if (each_selected_set(r, count, list, step, [&](int setno) {
            return idb__purge_set(s, r.ctx, setno, tx);
          }) != 0)
        return -1;
      const global* g = &r.ctx->root->g;
      bool stored = false;
      for (int i = 0; i < g->set_cnt && !stored; ++i) stored = g->set[i].s.node != nullptr;
      if (mode == 2 || !stored) {
        // The whole database goes; idb__purge_db closes it on every road.
        db_ctx* ctx = r.ctx;
        r.ctx = nullptr;
        if (idb__purge_db(s, ctx, tx) != 0) {
          debug_log('P', 2, "Unable to purge data base");
          return -1;
        }
      }
      return 0;
    });
  });
}

int db_erase(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list) {
  return run_request(s, dbid, mode, status, count, IDB_ERASE, mode == 1, false,
                     [&](Request& r) -> int32_t {
    const global* g = &r.ctx->root->g;
    const bool general = general_privilege(r);
    if (!general) {
      bool any = false;
      for (int i = 0; i < g->set_cnt && !any; ++i) any = (r.ctx->sets[i].access & 4u) != 0;
      if (!any) {
        debug_log('I', 2, "idb_erase: no erase privileges");
        return S_DENIED;
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
      return -1;
    }
    for (int i = 0; i < g->set_cnt; ++i)
      erased[i] = selected(count, list, i) && (general || (r.ctx->sets[i].access & 4u) != 0);
    // idb__erase_set commits in command transactions of its own: none here.
    const SetStep step{"erase", 2, "data set not created", "Failed to erase data set"};
    return each_selected_set(r, count, list, step, [&](int setno) {
      if (!erased[setno]) {
        debug_log('I', 2, "idb_erase(setno=%d): no erase privileges - ignored", setno + 1);
        return 0;
      }
      return idb__erase_set(s, r.ctx, setno, erased);
    });
  });
}
