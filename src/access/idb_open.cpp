// idb_open.cpp - session life, DBOPEN and DBCLOSE (see idb_open.h).
//
// State: none of its own. Suspends in Tlog_Create, the open of a database
// and the rollback at a session's end.
#include "access/idb_open.h"


#include <cstdio>
#include <cstdlib>
#include <new>

#include "access/idb_dbctx.h"
#include "access/idb_lookup.h"
#include "access/idb_re.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/error_status.h"
#include "storage/node_logrec.h"
#include "storage/tlog.h"

int idb_init_session(void* owner, idb_session** out) {
  debug_log('I', 3, "idb_init_session()");
  auto* s = new (std::nothrow) idb_session{};
  if (s == nullptr) {
    IDB_ERROR(nullptr, S_SYSTEM, 0);
    return -1;
  }
  s->owner = owner;
  s->adv_locks = Node_InitAdvLock(64, 64);
  if (s->adv_locks == nullptr) {
    IDB_ERROR(nullptr, S_SYSTEM, 0);
    delete s;
    return -1;
  }
  Node* tx = Tlog_Create();
  if (tx == nullptr) {
    IDB_ERROR(nullptr, S_VOLNODE, idb__lower_status());
    fprintf(stderr, "Tlog_Create(), error code %s\n", error_text());
    Node_FreeAdvLock(s->adv_locks);
    delete s;
    return -1;
  }
  s->ssn.tx_node = tx;
  s->bt_ctx.tx_node = tx;
  s->bt_ctx.session_word = 1;
  *out = s;
  return 0;
}

void idb_exit_session(idb_session* s) {
  if (s == nullptr) return;
  debug_log('I', 3, "idb_exit_session()");
  idb__close_all_dbs(s);
  Node_FreeAdvLock(s->adv_locks);
  if (s->ssn.tx_node != nullptr) {
    Tlog_Rollback(s->ssn.tx_node, 0);
    Tlog_Destroy(s->ssn.tx_node);
  }
  free(s->user_name);
  delete s;
}

int32_t idb_open(idb_session* s, const char* db_name, const char* password, int32_t mode,
                 int32_t* status) {
  // The password decides nothing here and never reaches the log.
  debug_log('I', 3, "idb_open(db_name=%s, passwd=%s, mode=%d)", LogText(db_name).c_str(),
            password != nullptr ? "********" : "(none)", static_cast<int>(mode));
  status[5] = IDB_OPEN;
  status[8] = mode;
  if (db_name == nullptr || *db_name == '\0') {
    IDB_ERROR(s, S_BADID, 0);
    return idb__fail_status(s, -1, status);
  }
  if (mode != 1 && mode != 3 && mode != 8 && mode != 9 && mode != 13) {
    IDB_ERROR(s, S_BADMODE, 0);
    return idb__fail_status(s, -1, status);
  }
  const int32_t dbid = idb__open_database(s, db_name, mode);
  if (dbid < 0) {
    IDB_ERROR(s, S_CANTOPEN, 0);
    return idb__fail_status(s, -1, status);
  }
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (mode != 13) {
    bool created = false;
    const global& g = ctx->root->g;
    for (int32_t i = 0; i < g.set_cnt && !created; ++i) created = g.set[i].s.node != nullptr;
    if (!created) {
      idb__close_database(s, ctx);
      IDB_ERROR(s, S_NOCREAT, 0);
      return idb__fail_status(s, -1, status);
    }
  }
  status[0] = 0;
  status[1] = s->uid;
  status[2] = status[3] = status[4] = 0;
  status[5] = IDB_OPEN + mode * 4096;
  status[6] = status[7] = 0;
  status[8] = mode;
  status[9] = dbid;
  return dbid;
}

int idb_close(idb_session* s, int32_t dbid, const void* set_ref, int ref_size, int32_t mode,
              int32_t* status) {
  debug_log('I', 3, "idb_close(dbid=%d, mode=%d)", static_cast<int>(dbid), static_cast<int>(mode));
  status[5] = IDB_CLOSE;
  status[8] = mode;
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  if (ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return idb__fail_status(s, -1, status);
  }
  if (mode != 1 && mode != 3 && mode != 4) {
    IDB_ERROR(s, S_BADMODE, 0);
    return idb__fail_status(s, -1, status);
  }
  const int32_t open_mode = ctx->mode;
  if (mode == 1) {
    idb__close_database(s, ctx);
  } else if (mode == 3) {
    const int setno = set_ref != nullptr ? idb__set_number(&ctx->root->g, set_ref, ref_size) : -1;
    if (setno < 0) {
      IDB_ERROR(s, S_BAD, 0);
      return idb__fail_status(s, -1, status);
    }
    set_ctx& c = ctx->sets[setno];
    c.recno = 0;
    c.index = 0;
    c.index_mode = 0;
    c.arg_len = 0;
    free(c.key);
    c.key = nullptr;
    idb__re_free(c.pattern);
    c.pattern = nullptr;
    c.pat_span = 0;
    c.path = 0;
    c.fwd = 0;
    c.bwd = 0;
  }
  status[0] = 0;
  status[4] = 0;
  status[5] = IDB_CLOSE + open_mode * 4096;
  status[6] = status[7] = status[9] = 0;
  status[8] = mode;
  return 0;
}
