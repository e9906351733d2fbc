// idb_store.h - database store and restore: an open database written into
// an archive stream while the server runs (intrinsic 440), and an archive
// read back as a new database (intrinsic 441), with the catalog kept in
// step with the nodes.
//
// Store writes the header block (the database's catalog row and the set
// selection), the catalog's dump (collating sequences and catalog table
// nodes) and the nodes of every selected set that has storage, then EOF.
// Restore runs in one "DBRESTORE" command transaction on the session's
// transaction node: the restored nodes, the new database's catalog rows and
// its sysobjects rows are all created inside it, so a restore that fails
// (or is cut by a crash before its commit) leaves no new database behind.
//
// Context: the session's task on the server thread under its unit of the
// API lock. Both suspend in the archive writer and reader (a yield every 25
// stream operations), in node locks, the buffer cache and the catalog; a
// stream over a pipe or a file blocks in the C library.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "access/idb_session.h"
#include "storage/archive_stream.h"

struct SysCat_COLLMAP;
struct Node_DB_HEADER;

// Stores the open database dbid (opened in mode 13, no open transaction).
// set_cnt 0 stores every set; above 0 it must equal the database's set
// count and set_flags (set_cnt words) select the sets whose flag is
// nonzero. 0, or -1 with status in the failure shape (S_BADID, -31, 32,
// S_BAD, S_VOLNODE with the storage status as sub-code).
int idb__store(idb_session* s, int32_t dbid, Archive_STREAM* stream, int32_t* status,
               int32_t set_cnt, const int32_t* set_flags);

// Restores the archive in stream as a new database. *db_name in: the name
// to restore under ("" keeps the archived one); out: the name used when
// none was given. An archive of only some sets (a zero set flag) cannot
// make a whole database and is refused. 0 restored; 1 the stream is no
// archive; 2 a database of that name exists (nothing changed); -1 any
// other failure (status filled,
// nothing changed).
int idb__restore(idb_session* s, Archive_STREAM* stream, int32_t* status, std::string* db_name);

// The collating-sequence block whose BEGIN tag was just read: each
// sequence recreated (or found) in the catalog, its {archived id, new id}
// appended to *map. 0 or -1.
int restore_coll(Archive_STREAM* stream, std::vector<SysCat_COLLMAP>* map, Node* tx);

// The last step of a restore: the new database's catalog registered from
// the header, the collation map and the restored nodes (ids remapped),
// and a sysobjects row for each of its sets' nodes. 0 or -1 (session
// record set).
struct Node_RESTORED;
int idb__restore_catalog(idb_session* s, const char* db_name, const Node_DB_HEADER* head,
                         const std::vector<SysCat_COLLMAP>& colls,
                         const std::vector<Node_RESTORED>& nodes, Node* tx);
