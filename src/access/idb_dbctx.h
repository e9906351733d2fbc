// idb_dbctx.h - open contexts (`db_ctx`) of a session's databases: their
// creation with the sharing check and the user's privileges gathered from
// the database's catalog, their database ids, and the per-set access
// questions.
//
// Owner: the session owns its contexts (list newest first); a context holds
// one reference of its schema cache entry and owns its set cursors. The
// share counters live in the cache entry and are kept here.
//
// Context: the session's task on the server thread under its unit of the
// API lock. An open suspends in the schema cache and the catalog scans of
// sysmember, sysgroup and sysprivilege; the open is counted in the share
// counters at its check, before those scans, so that two opens that
// overlap there see each other, and a later failure takes the count back.
// A close may suspend only in dropping the record files its reads held.
#pragma once
#include <cstdint>

#include "access/idb_session.h"

struct SysCat_DB_CATALOG;

inline constexpr int IDB_MAX_GROUPS = 8;

// Opens name for the session (implicit logon as "public" first when
// nobody is logged on) and pushes the context on its list. The dbid, or -1
// with the cause in the session's record and the log.
int32_t idb__open_database(idb_session* s, const char* name, int32_t mode);
// Unlinks ctx from the session's list and closes it.
void idb__close_database(idb_session* s, db_ctx* ctx);
db_ctx* idb__get_db_ctx(idb_session* s, int32_t dbid);
// Drops every lock of the session, then closes every context.
void idb__close_all_dbs(idb_session* s);

// Builds a context (not yet on the list, no dbid). 0 or -1.
int open_db_session(idb_session* s, int32_t uid, const char* name, int32_t mode, db_ctx** out,
                    Node* tx);
void close_db_session(idb_session* s, db_ctx* ctx);
// The sharing rules for an open of mode beside the opens counted in root:
// 0 allowed, -1 refused (logged).
int check_share(const vglobal* root, int32_t mode);
// -1 read and write, 1 read only, 0 no access.
int chk_set_access(const db_ctx* ctx, int32_t setno);
// Whether the session may keep writers out of set setno (-1: of the whole
// database) through an exclusive open or a lock: the dba capability, the
// database's administration privilege, or write or erase access to that
// set (for the whole database, to at least one set). A reader may not.
bool idb__may_hold_out_writers(const idb_session* s, const db_ctx* ctx, int32_t setno);
// The open context of dbid and the position of the set set_ref (set_size
// bytes, none allowed) names in it, for a call that reads or changes the
// set: the position, or -1 with S_BADID (unknown dbid) or S_BAD (unknown
// set, no access) in the session's record.
int idb__call_set(idb_session* s, int32_t dbid, const void* set_ref, int set_size, db_ctx** ctx);
// The OR of the privileges of the user's groups in cat. 0 or -1.
int idb__get_db_privileges(idb_session* s, SysCat_DB_CATALOG* cat, uint32_t* privs, Node* tx);

// Tests: called in open_db_session after the sharing check, where the
// catalog scans may suspend (none: nothing).
void idb__set_open_scan_hook(void (*hook)());
