// idb_open.h - the database session's life and the intrinsics that open
// and close databases (DBOPEN 401, DBCLOSE 403).
//
// Owner: the connection that calls idb_init_session owns the session until
// it passes it to idb_exit_session, which ends its locks, closes its
// databases, rolls its transactions back and frees it.
//
// Context: the connection's task on the server thread under its unit of
// the API lock. DBOPEN suspends in the schema cache and the catalog
// (idb_dbctx.h); the session's end suspends in the rollback of open
// transactions; DBCLOSE only in dropping the record files its reads held.
#pragma once
#include <cstdint>

#include "access/idb_session.h"

// A new session of owner with its transaction node and lock list. 0 or -1.
int idb_init_session(void* owner, idb_session** out);
// Ends a session; none is ignored.
void idb_exit_session(idb_session* s);
// DBOPEN: the dbid, or -1 with status filled (-11, -31, -1, -92).
int32_t idb_open(idb_session* s, const char* db_name, const char* password, int32_t mode,
                 int32_t* status);
// DBCLOSE mode 1 (close), 3 (reset the cursor of the set that set_ref of
// ref_size bytes names) or 4 (nothing). 0 or -1 with status filled.
int idb_close(idb_session* s, int32_t dbid, const void* set_ref, int ref_size, int32_t mode,
              int32_t* status);
