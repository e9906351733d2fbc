// db_admin.h - the database functions behind DBCREATE (411), DBERASE (412)
// and DBPURGE (413): each checks the request against the open database and
// the caller's privileges, then creates, erases or purges the storage of
// the selected data sets through the access layer (access/idb_create.h)
// and fills the status array. The database is closed on every ending: its
// dbid is no longer valid after the request.
//
// Selection: list holds count words, one per data set in set order; a set
// is selected when count is 0 or its word is not 0.
//
// Context: the connection's task on the server thread under its unit of
// the API lock; suspends wherever the access layer does (catalog, nodes,
// B-trees, record files, the transaction log, a wait for a record another
// transaction holds).
#pragma once
#include <cstdint>

struct idb_session;

// 0 on success, else the status code (status filled).
int db_create(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
              const int32_t* list);
int db_erase(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list);
int db_purge(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t count,
             const int32_t* list);
