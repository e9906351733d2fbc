// idb_dbctx.cpp - open contexts and access checks (see idb_dbctx.h).
//
// State: none of its own beyond the test hook; contexts live on their
// sessions, share counters in the schema cache entries. Suspends in the
// schema cache open and the catalog scans only.
#include "access/idb_dbctx.h"

#include <cerrno>
#include <cstdlib>

#include "access/idb_cmd.h"
#include "access/idb_lock.h"
#include "access/idb_re.h"
#include "access/idb_logon.h"
#include "access/idb_lookup.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "index/syscat.h"

namespace {

void (*g_scan_hook)() = nullptr;


int share_class(int32_t mode) {
  switch (mode) {
    case 3: case 13: return IDB_SHARE_EXCL;
    case 8: return IDB_SHARE_READ_EXCL;
    case 1: return IDB_SHARE_WRITE;
    case 9: return IDB_SHARE_READ;
    default: ZENT_ASSERT(!"Bad open mode"); return 0;
  }
}

struct GroupList {
  uint32_t uid;
  int count;
  uint32_t gid[IDB_MAX_GROUPS];
  bool has(uint32_t g) const {
    for (int i = 0; i < count; ++i)
      if (gid[i] == g) return true;
    return false;
  }
};

// Calls each(row) for every row of table sys_id that keep passes. 0 or -1.
template <typename Row, typename F>
int scan(idb_session* s, SysCat_DB_CATALOG* cat, int sys_id, Node* tx, F each) {
  SysCat_GETSTATE state;
  for (int mode = SysCat_GET_FIRST;; mode = SysCat_GET_NEXT) {
    void* row = nullptr;
    const int rc = SysCat_get(cat, sys_id, mode, nullptr, &state, &row, tx);
    if (rc == 1) return 0;
    if (rc != 0) {
      IDB_ERROR(s, S_SYSCAT, idb__lower_status());
      return -1;
    }
    each(*static_cast<const Row*>(row));
    free(row);
  }
}

int get_group_list(idb_session* s, SysCat_DB_CATALOG* cat, GroupList* groups, Node* tx) {
  if (scan<SysCat_MEMBER>(s, cat, SysMember_ID, tx, [&](const SysCat_MEMBER& m) {
        if (m.uid != groups->uid) return;
        if (groups->count == IDB_MAX_GROUPS) {
          debug_log('I', 1, "get_group_list: Group %d for user id %d ignored (maximum %d)",
                    static_cast<int>(m.gid), static_cast<int>(m.uid), IDB_MAX_GROUPS);
          return;
        }
        groups->gid[groups->count++] = m.gid;
      }) != 0)
    return -1;
  debug_log('I', 2, "Found %d groups", groups->count);
  for (int i = 0; i < groups->count; ++i)
    debug_log('I', 2, " gid[%d] = %d", i, static_cast<int>(groups->gid[i]));
  return 0;
}

int group_privileges(idb_session* s, SysCat_DB_CATALOG* cat, const GroupList& groups,
                     uint32_t* privs, Node* tx) {
  *privs = 0;
  if (scan<SysCat_GROUP>(s, cat, SysGroup_ID, tx, [&](const SysCat_GROUP& g) {
        if (groups.has(g.gid)) *privs |= g.priv;
      }) != 0)
    return -1;
  debug_log('I', 2, "Group privileges = 0x%x", static_cast<unsigned>(*privs));
  return 0;
}

void free_sets(db_ctx* ctx, int32_t set_cnt) {
  if (ctx->sets != nullptr)
    for (int32_t i = 0; i < set_cnt; ++i) {
      free(ctx->sets[i].key);
      idb__re_free(ctx->sets[i].pattern);
    }
  free(ctx->sets);
  ctx->sets = nullptr;
}

// Takes back what an open that got past its check holds.
void abandon(db_ctx* ctx) {
  idb__release_held_nodes(ctx);
  --ctx->root->share[share_class(ctx->mode)];
  free_sets(ctx, ctx->root->g.set_cnt);
  idb__vclose_root(ctx->root);
  free(ctx);
}

}  // namespace

void idb__set_open_scan_hook(void (*hook)()) { g_scan_hook = hook; }

int check_share(const vglobal* root, int32_t mode) {
  const char* why = nullptr;
  if (root->share[IDB_SHARE_EXCL] != 0)
    why = "check_share: db already used exclusively";
  else if ((mode == 3 || mode == 13) && root->ref_cnt > 1)
    why = "check_share: db already in use";
  else if (root->share[IDB_SHARE_READ_EXCL] != 0)
    why = "check_share: db in read-only use";
  else if (mode == 8 && root->share[IDB_SHARE_WRITE] != 0)
    why = "check_share: db alreay in read/write use";
  if (why == nullptr) return 0;
  debug_log('I', 2, "%s", why);
  return -1;
}

int open_db_session(idb_session* s, int32_t uid, const char* name, int32_t mode, db_ctx** out,
                    Node* tx) {
  debug_log('I', 3, "open_db_session(uid=%d, db_name=%s)", static_cast<int>(uid), LogText(name).c_str());
  auto* ctx = static_cast<db_ctx*>(calloc(1, sizeof(db_ctx)));
  if (ctx == nullptr) {
    IDB_ERROR(s, S_SYSTEM, errno);
    debug_log('I', 1, "open_db_session: Memory allocation failed");
    return -1;
  }
  if (idb__vopen_root(name, &ctx->root, s) != 0) {
    IDB_ERROR(s, S_CANTOPEN, 0);
    free(ctx);
    return -1;
  }
  if (check_share(ctx->root, mode) != 0) {
    debug_log('I', 2, "open_db_session: DB sharing violation");
    IDB_ERROR(s, S_CANTOPEN, 0);
    idb__vclose_root(ctx->root);
    free(ctx);
    return -1;
  }
  // Counted now: the scans below may suspend, and an open that overlaps
  // them must see this one.
  ctx->mode = mode;
  ++ctx->root->share[share_class(mode)];
  if (g_scan_hook != nullptr) g_scan_hook();
  const int32_t set_cnt = ctx->root->g.set_cnt;
  ctx->sets = static_cast<set_ctx*>(calloc(set_cnt > 0 ? set_cnt : 1, sizeof(set_ctx)));
  if (ctx->sets == nullptr) {
    IDB_ERROR(s, S_SYSTEM, errno);
    debug_log('I', 1, "open_db_session: Memory allocation failed");
    abandon(ctx);
    return -1;
  }
  SysCat_DB_CATALOG* cat = ctx->root->cat;
  GroupList groups{static_cast<uint32_t>(uid), 0, {}};
  if (get_group_list(s, cat, &groups, tx) != 0) {
    abandon(ctx);
    return -1;
  }
  if (groups.count == 0) {
    debug_log('I', 1, "open_db_session: Permission denied");
    IDB_ERROR(s, S_DENIED, 0);
    abandon(ctx);
    return -1;
  }
  if (group_privileges(s, cat, groups, &ctx->privs, tx) != 0) {
    abandon(ctx);
    return -1;
  }
  uint32_t all_maps = 0;
  const global& g = ctx->root->g;
  if (scan<SysCat_PRIVILEGE>(s, cat, SysPrivilege_ID, tx, [&](const SysCat_PRIVILEGE& p) {
        if (!groups.has(p.gid)) return;
        for (int32_t i = 0; i < g.set_cnt; ++i)
          if (g.set[i].s.tableid == p.tableid) ctx->sets[i].access |= p.map;
        all_maps |= p.map;
      }) != 0) {
    abandon(ctx);
    return -1;
  }
  if (all_maps == 0 && mode != 13) {
    debug_log('I', 1, "open_db_session: Permission denied");
    IDB_ERROR(s, S_DENIED, 0);
    abandon(ctx);
    return -1;
  }
  *out = ctx;
  return 0;
}

void close_db_session(idb_session* s, db_ctx* ctx) {
  debug_log('I', 3, "close_db_session()");
  idb__del_db_locks(s, ctx);
  abandon(ctx);
}

int32_t idb__open_database(idb_session* s, const char* name, int32_t mode) {
  if (s->uid == 0 && idb__logon(s, "public", nullptr) != 0) return -1;
  db_ctx* ctx = nullptr;
  if (open_db_session(s, s->uid, name, mode, &ctx, idb__tx_node(s)) != 0) return -1;
  if (mode == 13 && (s->caps & IDB_CAP_DBA) == 0 && (ctx->privs & 1u) == 0) {
    bool erase = false;
    for (int32_t i = 0; i < ctx->root->g.set_cnt; ++i) erase = erase || (ctx->sets[i].access & 4u) != 0;
    if (!erase) {
      IDB_ERROR(s, S_DENIED, 0);
      debug_log('I', 1, "Permission denied - dba or dadmin capabilities required");
      close_db_session(s, ctx);
      return -1;
    }
    debug_log('I', 2, "idb__open_database: user has erase privilege");
  }
  // An exclusive open, and mode 8, keep every writer out for as long as the
  // connection lasts: not for a session that may only read.
  if ((mode == 3 || mode == 8) && !idb__may_hold_out_writers(s, ctx, -1)) {
    IDB_ERROR(s, S_DENIED, 0);
    debug_log('I', 1, "Permission denied - write or erase access required for open mode %d",
              static_cast<int>(mode));
    close_db_session(s, ctx);
    return -1;
  }
  // One full cycle of ids at most: with all 32767 in use the open fails
  // instead of searching for ever. The ids in use are marked in one pass.
  uint32_t used[(0x7FFF + 1) / 32] = {};
  for (const db_ctx* c = s->db_list; c != nullptr; c = c->next)
    used[c->dbid >> 5] |= 1u << (c->dbid & 31);
  int32_t id = 0;
  for (int n = 0; n < 0x7FFF && id == 0; ++n) {
    s->dbid_cnt = static_cast<int32_t>(static_cast<uint32_t>(s->dbid_cnt) + 1);
    id = s->dbid_cnt & 0x7FFF;
    if ((used[id >> 5] >> (id & 31)) & 1u) id = 0;
  }
  if (id == 0) {
    debug_log('I', 1, "idb__open_database: no free database id");
    IDB_ERROR(s, S_CANTOPEN, 0);
    close_db_session(s, ctx);
    return -1;
  }
  ctx->dbid = id;
  ctx->next = s->db_list;
  s->db_list = ctx;
  return id;
}

db_ctx* idb__get_db_ctx(idb_session* s, int32_t dbid) {
  for (db_ctx* c = s->db_list; c != nullptr; c = c->next)
    if (c->dbid == dbid) return c;
  return nullptr;
}

void idb__close_database(idb_session* s, db_ctx* ctx) {
  db_ctx** link = &s->db_list;
  while (*link != nullptr && *link != ctx) link = &(*link)->next;
  ZENT_ASSERT(*link != nullptr && "db_ctx_prev != NULL");
  *link = ctx->next;
  close_db_session(s, ctx);
}

void idb__close_all_dbs(idb_session* s) {
  idb__del_session_locks(s);
  while (s->db_list != nullptr) idb__close_database(s, s->db_list);
}

int chk_set_access(const db_ctx* ctx, int32_t setno) {
  const uint32_t a = ctx->sets[setno].access;
  if ((a & 2u) != 0) return -1;
  if ((a & 1u) != 0) return 1;
  debug_log('I', 2, "chk_set_access(setno=%d): no access, privs = 0x%x", static_cast<int>(setno),
            static_cast<unsigned>(a));
  return 0;
}

bool idb__may_hold_out_writers(const idb_session* s, const db_ctx* ctx, int32_t setno) {
  if ((s->caps & IDB_CAP_DBA) != 0 || (ctx->privs & 1u) != 0) return true;
  const int32_t set_cnt = ctx->root->g.set_cnt;
  for (int32_t i = setno < 0 ? 0 : setno; i < (setno < 0 ? set_cnt : setno + 1); ++i)
    if ((ctx->sets[i].access & 6u) != 0) return true;
  return false;
}

int idb__call_set(idb_session* s, int32_t dbid, const void* set_ref, int set_size, db_ctx** ctx) {
  *ctx = idb__get_db_ctx(s, dbid);
  if (*ctx == nullptr) {
    IDB_ERROR(s, S_BADID, 0);
    return -1;
  }
  const global* g = &(*ctx)->root->g;
  const int setno = set_ref != nullptr ? idb__set_number(g, set_ref, set_size) : -1;
  if (setno < 0 || chk_set_access(*ctx, setno) == 0) {
    IDB_ERROR(s, S_BAD, 0);
    return -1;
  }
  return setno;
}

int idb__get_db_privileges(idb_session* s, SysCat_DB_CATALOG* cat, uint32_t* privs, Node* tx) {
  GroupList groups{static_cast<uint32_t>(s->uid), 0, {}};
  if (get_group_list(s, cat, &groups, tx) != 0) return -1;
  if (groups.count == 0) {
    debug_log('I', 1, "idb__get_db_privileges: Permission denied");
    IDB_ERROR(s, S_DENIED, 0);
    return -1;
  }
  return group_privileges(s, cat, groups, privs, tx);
}
