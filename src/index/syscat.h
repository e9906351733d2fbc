// syscat.h - the system catalog: the server's tables (objects, volumes,
// volume allocation tables, users, databases, collations and the server's
// own table, column and index descriptions) and, per database, the tables
// that describe its tables, columns, indexes, paths, groups, members and
// privileges.
//
// Each catalog table is a pool node of type "ST" (a database's systables:
// "DB") whose rows are blocks of its record pool chained in a doubly linked
// list; the node's meta data is the packed description of the table with
// its id counter and the list's anchor (syscat_format.h). Rows travel in
// memory as the row records below (one buffer per row: the record, then
// its strings and blobs); the caller frees a row it receives with free().
// See README.md ("System catalog").
//
// Catalog handle: every operation takes a database's catalog handle
// (SysCat_DB_CATALOG) or none, which means the server catalog. Transaction
// argument: the caller's transaction log node, or none outside a
// transaction. The transactional road (the table lock, the VMETA, CREATE
// and DELETE records of log opcode 17) goes through syscat_tx_seams.h,
// which refuses until the transaction log exists.
//
// Context: tasks of the server thread (or a utility's only thread). Each
// core operation holds its table node's lock (write for add, update and
// delete; read for a walk) for its own duration only; it may suspend its
// task in that lock (cut short: -1, VOL E027), in the pool and the buffer
// cache, and where the volume set allocates. A walk's state remembers the
// node's change count, so an update or delete of the row last read finds
// out when the table changed after the read and checks the row again.
//
// Failures return -1 (or none) with a status of module SC: E001 node
// missing or pool failure, E002 a stored description of another revision,
// E003 a stored description truncated or inconsistent, E004 a row buffer
// too small or a stored row that does not hold together, E005 bad
// arguments or duplicates, E007 unknown table id; R006 the end of a table.
#pragma once
#include <cstddef>
#include <cstdint>

#include "storage/node.h"

// --- Status codes (module SC) ----------------------------------------------------------

enum {
  SC_E_NODE = 1,   // node missing, pool read or write failure
  SC_E_REV = 2,    // stored description of another revision
  SC_E_DESCR = 3,  // stored description truncated or inconsistent
  SC_E_ROW = 4,    // row buffer too small, stored row inconsistent
  SC_E_ARG = 5,    // bad arguments, duplicates
  SC_E_SYSID = 7,  // unknown table id
  SC_R_EOF = 6,    // severity R: end of the table
};

// --- Table ids -------------------------------------------------------------------------

enum {
  // Per database (the node id comes from the database's systables).
  SysTables_ID = 1,
  SysGroup_ID = 2,
  SysColumns_ID = 3,
  SysIndex_ID = 4,
  SysMember_ID = 5,
  SysPrivilege_ID = 6,
  SysIndexSeg_ID = 7,
  SysTableColumn_ID = 8,
  SysTableIndex_ID = 9,
  SysTablePath_ID = 10,
  // Server tables (node id = table id; sysdevices has no node).
  SysObject_ID = 20,
  SysDevice_ID = 21,
  SysVat_ID = 22,
  SysUser_ID = 30,
  SysDb_ID = 31,
  SysSrvTables_ID = 32,
  SysSrvColumns_ID = 33,
  SysSrvIndex_ID = 34,
  SysSrvIndexSeg_ID = 35,
  SysCollate_ID = 36,
};

// sysobjects types.
enum { SysObj_SYSTEM = 0, SysObj_TABLE = 1, SysObj_DATABASE = 2, SysObj_SETFILE = 3, SysObj_SETINDEX = 4 };

// --- Column types and descriptions --------------------------------------------------------

enum SysCat_COLTYPE : uint32_t {
  SysCat_BYTES = 1,   // fixed bytes, col_size inline
  SysCat_STRING = 2,  // char*, stored with a u8 length
  SysCat_TEXT = 3,    // char*, stored with a u32 length
  SysCat_INT1 = 5,    // uint32_t, stored in 1 byte
  SysCat_INT2 = 6,    // uint32_t, stored in 2 bytes
  SysCat_INT4 = 7,    // uint32_t, stored in 4 bytes
  SysCat_FIXED = 17,  // fixed bytes, col_size inline
  SysCat_BLOB = 18,   // blob pointer, stored with a u8 length
  SysCat_LBLOB = 19,  // blob pointer, stored with a u32 length
};
inline constexpr uint32_t SysCat_MAX_COLSIZE = 8000;

struct SysCat_COLUMN_DESCR {
  const char* col_name;
  uint32_t col_type;
  uint32_t col_size;
  uint32_t col_flags;   // 8 bits; 0 in every static table
  uint32_t col_offset;  // byte offset in the in-memory row (static columns)
  int32_t node_idx;     // stored column: the static column of its name, -1 none
};

struct SysCat_TABLE_DESCR {
  uint32_t tab_rev;  // 1
  const char* name;
  uint32_t tab_ncols;
  const SysCat_COLUMN_DESCR* cols;
  uint32_t tab_flags;  // 0
  uint32_t rec_size;   // fixed part of the in-memory row
  // Stored descriptions: where the id counter and the anchor lie in the
  // node's meta data.
  uint32_t ofs_unique;
  uint32_t ofs_anchor;
};

struct SysCat_NODE_DESCR;  // an unpacked stored description (syscat_format.h)

// One table of a catalog map.
struct SysCat_MAP {
  int sys_id;                       // 0 ends the map
  const SysCat_TABLE_DESCR* descr;  // the static description
  SysCat_NODE_DESCR* node_descr;    // the stored one while open
  Node* node;                       // the open table node
};
inline constexpr int SysCat_MAP_TABLES = 10;

// --- In-memory rows -----------------------------------------------------------------------
// A blob is a pointer to {u32 length (host order), bytes}, 4-byte aligned.

uint32_t SysCat_BlobLength(const uint8_t* blob);
const uint8_t* SysCat_BlobBytes(const uint8_t* blob);

struct SysCat_OBJECT {
  uint32_t id;
  uint32_t type;
  char* name;
  uint32_t link;
};
struct SysCat_DEVICE {
  uint32_t volid;
  uint32_t serial;
  uint32_t type;
  char* path;
  uint32_t pagesz;
  uint32_t size;
  uint32_t extsz;
  uint32_t maxsz;
  uint32_t used;
  uint32_t free;
  uint32_t seekcnt;
  uint32_t readcnt;
  uint32_t writecnt;
};
struct SysCat_VAT {
  uint32_t vatid;
  uint32_t type;
  char* name;
  uint8_t map[32];
  uint32_t refcnt;
};
struct SysCat_USER {
  uint32_t uid;
  char* name;
  uint8_t* password;
  uint32_t priv;
};
struct SysCat_DB {
  uint32_t dbid;
  char* name;
  uint32_t flags;
  uint32_t nodeid;
};
struct SysCat_TABLE {
  uint32_t tableid;
  uint32_t uid;
  char* name;
  uint32_t type;
  uint32_t flags;
  uint32_t ncols;
  uint32_t npath;
  uint32_t nidx;
  uint32_t nodeid;
};
struct SysCat_COLUMN {
  uint32_t colid;
  uint32_t tableid;
  char* name;
  uint32_t coltype;
  uint32_t size;
  uint32_t elements;
  uint32_t flags;
  uint32_t format;
};
struct SysCat_INDEX {
  uint32_t idxid;
  uint32_t tableid;
  char* name;
  uint32_t type;
  uint32_t flags;
  uint32_t nseg;
  uint32_t nodeid;
};
struct SysCat_INDEXSEG {
  uint32_t idxid;
  uint32_t idx;
  uint32_t colid;
  uint32_t length;
  uint32_t flags;
};
struct SysCat_COLLATE {
  uint32_t id;
  char* name;
  uint32_t type;
  uint32_t flags;
  uint32_t refcnt;
  uint8_t* map;
};
struct SysCat_GROUP {
  uint32_t gid;
  char* name;
  uint32_t priv;
};
struct SysCat_MEMBER {
  uint32_t uid;
  uint32_t gid;
};
struct SysCat_PRIVILEGE {
  uint32_t gid;
  uint32_t tableid;
  uint32_t map;
};
struct SysCat_TABLECOLUMN {
  uint32_t tableid;
  uint32_t colid;
  uint32_t idx;
  uint32_t flags;
};
struct SysCat_TABLEINDEX {
  uint32_t tableid;
  uint32_t idxid;
  uint32_t collid;
  uint32_t nodeid;
};
struct SysCat_TABLEPATH {
  uint32_t tableid;
  uint32_t idx;
  uint32_t colid;
  uint32_t linkedtableid;
  uint32_t linkedidx;
  uint32_t linkedcolid;
  uint32_t sortcolid;
};

// A database's catalog: its sysdb row and its own map.
struct SysCat_DB_CATALOG {
  SysCat_DB* db;  // the sysdb row (owned, freed at close)
  SysCat_MAP map[SysCat_MAP_TABLES + 1];
};

// --- Maps and descriptions ------------------------------------------------------------------

// The static description of a table id of either map, or none.
const SysCat_TABLE_DESCR* SysCat_StaticDescr(int sys_id);
// The map entry of sys_id in the catalog's map (none: the server map), or
// none with SC E007.
SysCat_MAP* SysCat_map_sysid(SysCat_DB_CATALOG* cat, int sys_id);
// The static description of sys_id in the catalog, or none.
const SysCat_TABLE_DESCR* SysCat_table_descr(SysCat_DB_CATALOG* cat, int sys_id);
// The server map (its entries in map order, ended by sys_id 0) and a
// fresh copy of the per-database template.
SysCat_MAP* SysCat_ServerMap();
void SysCat_CopyTemplate(SysCat_MAP* out);

// --- Opening ----------------------------------------------------------------------------------

// Opens the table node node_id for entry: its stored description unpacked
// and bound to the static columns by name. 0, or -1 (SC E001 no such node,
// E002/E003 a bad description; the node is closed again).
int SysCat_open_node(uint32_t node_id, SysCat_MAP* entry);
// Closes an entry's node and frees its stored description.
void SysCat_close_node(SysCat_MAP* entry);
// Opens / closes every server table (sysdevices excepted). 0 or -1.
int SysCat_open();
int SysCat_close();
// Opens the catalog of the database whose sysdb row is db (copied), or
// none; closes one (none is ignored). tx: the transaction whose rows the
// open reads (a database created inside it is opened there), or none.
SysCat_DB_CATALOG* SysCat_db_open(const SysCat_DB* db, Node* tx = nullptr);
void SysCat_db_close(SysCat_DB_CATALOG* cat);

// The server catalog of a new set: each server table's node (a system pool
// node whose id is its table id, type "ST", its packed description as meta
// data), then the first rows (objects, users dba and public, the server's
// tables and columns). 0 or -1.
int SysCat_create();
int SysCat_create_table(int sys_id);

// --- Core operations ----------------------------------------------------------------------------

// Where a walk stands: the row last returned and the next one, the table
// node's change count at that read, and a hash of the row read (for the
// check of an update or delete); sysdevices walks by volume slot.
struct SysCat_GETSTATE {
  Node_ADDR curr;
  Node_ADDR next;
  uint32_t change_count = 0;
  uint64_t row_hash = 0;
  int slot = -1;
};
// A row filter: nonzero keeps the row.
struct SysCat_FILTER {
  int (*fn)(const void* row, void* arg);
  void* arg;
};
enum { SysCat_GET_FIRST = 0, SysCat_GET_NEXT = 1 };

int SysCat_entry_cnt(SysCat_DB_CATALOG* cat, int sys_id, Node* tx);
uint32_t SysCat_get_unique_id(SysCat_DB_CATALOG* cat, int sys_id, Node* tx);
int SysCat_set_unique_id(SysCat_MAP* entry, uint32_t value, Node* tx);
// Appends row; *out_addr (when given) is its pool address. 0 or -1.
int SysCat_add_entry(SysCat_DB_CATALOG* cat, int sys_id, const void* row, Node_ADDR* out_addr,
                     Node* tx);
// Rewrite / delete the row state last read. A table changed since that
// read is checked again: a row that is gone or different is refused (SC
// E001) and nothing changes. 0 or -1.
int SysCat_upd_entry(SysCat_DB_CATALOG* cat, int sys_id, const void* row, SysCat_GETSTATE* state,
                     Node* tx);
int SysCat_del_entry(SysCat_DB_CATALOG* cat, int sys_id, SysCat_GETSTATE* state, Node* tx);
// mode 0 from the first row, 1 after the row last returned; the first row
// the filter keeps (none: any) in *row (the caller frees it). 0, 1 at the
// end (SC R006), -1.
int SysCat_get(SysCat_DB_CATALOG* cat, int sys_id, int mode, const SysCat_FILTER* filter,
               SysCat_GETSTATE* state, void** row, Node* tx);

// --- Typed functions (server catalog)
// ------------------------------------------------------------- Lookups return a row the caller
// frees, or none. Adds and changes: 0 / -1.

int SysCat_add_object(const SysCat_OBJECT* obj, Node* tx);
SysCat_OBJECT* SysCat_get_object_by_name(const char* name, Node* tx);
SysCat_OBJECT* SysCat_get_object_by_id(uint32_t id, Node* tx);
// Deletes the sysobjects row of id: 0, 1 when there is none, -1.
int SysCat_del_object(uint32_t id, Node* tx);
SysCat_DEVICE* SysCat_get_vol_by_id(uint32_t volid, Node* tx);
int SysCat_add_vat(const SysCat_VAT* vat, Node* tx);
SysCat_VAT* SysCat_get_vat_by_name(const char* name, Node* tx);
SysCat_VAT* SysCat_get_vat_by_id(uint32_t vatid, Node* tx);
// user->uid must be 0; it receives the new uid.
int SysCat_add_user(SysCat_USER* user, Node* tx);
int SysCat_upd_user(const SysCat_USER* user, Node* tx);
int SysCat_del_user(uint32_t uid, Node* tx);
SysCat_USER* SysCat_get_user_by_name(const char* name, Node* tx);
SysCat_USER* SysCat_get_user_by_id(uint32_t uid, Node* tx);
// A new database: its sysdb row (dbid 0 = the next id; it and nodeid are
// filled in) and its catalog, created by uid.
int add_db(SysCat_DB* db, uint32_t uid, Node* tx);
int del_db(const SysCat_DB* db, Node* tx);
SysCat_DB* SysCat_get_db_by_name(const char* name, uint32_t mask, uint32_t value, Node* tx);
SysCat_DB* SysCat_get_db_by_id(uint32_t dbid, Node* tx);
// coll->id receives the new id on add.
int SysCat_add_collate(SysCat_COLLATE* coll, Node* tx);
int SysCat_upd_collate(const SysCat_COLLATE* coll, Node* tx);
SysCat_COLLATE* SysCat_get_collate_by_name(const char* name, Node* tx);
SysCat_COLLATE* SysCat_get_collate_by_id(uint32_t id, Node* tx);
SysCat_COLLATE* SysCat_get_client_collate_by_id(uint32_t id, const char* charset, Node* tx);
// A collation map blob (length and bytes) of exactly 256 counted strings,
// at most 8000 bytes: 1 consistent, else 0.
int SysCat_CollateMapConsistent(const uint8_t* bytes, uint32_t length);

// --- Typed functions (a database's catalog)
// --------------------------------------------------------

int SysCat_add_group(SysCat_DB_CATALOG* cat, SysCat_GROUP* group, Node* tx);
int SysCat_upd_group(SysCat_DB_CATALOG* cat, const SysCat_GROUP* group, Node* tx);
int SysCat_del_group(SysCat_DB_CATALOG* cat, uint32_t gid, Node* tx);
SysCat_GROUP* SysCat_get_group_by_id(SysCat_DB_CATALOG* cat, uint32_t gid, Node* tx);
int SysCat_add_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx);
int SysCat_del_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx);
// 1 member, 0 not, -1 failure.
int SysCat_is_member(SysCat_DB_CATALOG* cat, uint32_t uid, uint32_t gid, Node* tx);
int SysCat_add_privilege(SysCat_DB_CATALOG* cat, const SysCat_PRIVILEGE* priv, Node* tx);
int SysCat_del_privilege(SysCat_DB_CATALOG* cat, uint32_t gid, uint32_t tableid, Node* tx);
SysCat_PRIVILEGE* SysCat_get_table_privilege(SysCat_DB_CATALOG* cat, uint32_t tableid, uint32_t gid,
                                             Node* tx);
int SysCat_add_column(SysCat_DB_CATALOG* cat, SysCat_COLUMN* col, Node* tx);
SysCat_COLUMN* SysCat_get_column_by_id(SysCat_DB_CATALOG* cat, uint32_t colid, Node* tx);
int SysCat_add_index(SysCat_DB_CATALOG* cat, SysCat_INDEX* index, Node* tx);
SysCat_INDEX* SysCat_get_index_by_id(SysCat_DB_CATALOG* cat, uint32_t idxid, Node* tx);
int SysCat_add_indexseg(SysCat_DB_CATALOG* cat, const SysCat_INDEXSEG* seg, Node* tx);
int SysCat_add_table(SysCat_DB_CATALOG* cat, SysCat_TABLE* table, Node* tx);
SysCat_TABLE* SysCat_get_table_by_id(SysCat_DB_CATALOG* cat, uint32_t tableid, Node* tx);
// Rewrites the row of the same id (tableid; idxid; tableid and idxid). 0 or
// -1 (SC E001 when there is none).
int SysCat_upd_table(SysCat_DB_CATALOG* cat, const SysCat_TABLE* table, Node* tx);
int SysCat_upd_index(SysCat_DB_CATALOG* cat, const SysCat_INDEX* index, Node* tx);
int SysCat_upd_tableindex(SysCat_DB_CATALOG* cat, const SysCat_TABLEINDEX* ti, Node* tx);
int SysCat_add_tablecolumn(SysCat_DB_CATALOG* cat, const SysCat_TABLECOLUMN* tc, Node* tx);
int SysCat_add_tablepath(SysCat_DB_CATALOG* cat, const SysCat_TABLEPATH* tp, Node* tx);
int SysCat_add_tableindex(SysCat_DB_CATALOG* cat, const SysCat_TABLEINDEX* ti, Node* tx);
SysCat_TABLEINDEX* SysCat_get_tableindex_by_id(SysCat_DB_CATALOG* cat, uint32_t tableid,
                                               uint32_t idxid, Node* tx);

// --- Database catalogs
// -------------------------------------------------------------------------------

// Creates the catalog of the new database whose sysdb row is db (nodeid is
// filled in, the row added to sysdb) for the creating user uid. 0 or -1;
// outside a transaction a failure deletes the nodes it created.
int SysCat_create_db_catalog(SysCat_DB* db, uint32_t uid, Node* tx);
// Deletes every node of the database whose systables node is node_id, the
// node itself, their sysobjects rows and its sysdb row. 0 or -1.
int SysCat_purge_db(uint32_t node_id, Node* tx);

// --- Transactions, backup and restore (syscat_log.cpp, syscat_backup.cpp)
// -------------------------------

struct Archive_STREAM;

// The VMETA of a table: its id counter and anchor, with their offsets.
struct SysCat_ANCHOR {
  uint32_t count = 0;
  Node_ADDR first;
  Node_ADDR last;
};
struct SysCat_VMETA {
  uint32_t unique = 0;
  uint32_t ofs_unique = 0;
  SysCat_ANCHOR anchor;
  uint32_t ofs_anchor = 0;
};
struct Node_LOG_REC;
// Outside a transaction (or a lock record without a logged VMETA) from the
// node's meta data; inside, the latest VMETA record of the log. 0 or -1.
int SysCat_get_vmeta(SysCat_MAP* entry, SysCat_VMETA* vmeta, Node_LOG_REC* lock);
// Outside a transaction into the node's meta data (marked changed); inside
// as a VMETA record on the transaction. 0 or -1.
int SysCat_push_vmeta(SysCat_MAP* entry, const SysCat_VMETA* vmeta, Node_LOG_REC* lock, Node* tx);
// Inside a transaction: a CREATE record for the new node. Outside nothing.
int SysCat_log_create_node(Node* node, Node* tx);
// Outside a transaction the node (unreferenced) is deleted at once; inside
// a DELETE record defers it to the final commit. 0 or -1.
int SysCat_delete_node(Node* node, Node* tx);

// Installs the handlers of log opcode 17 in the transaction log's tables:
// pre-commit, final commit, rollback, and the final commit again for redo
// (it writes absolute values and deletes only what still exists, so a
// replay over work that reached the disk leaves the same state). After
// Tlog_Init (which empties the tables) and before recovery.
void SysCat_Init();
// Handlers of log opcode 17 (pre-commit, final commit, rollback).
int SysCat_Commit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int SysCat_FinalCommit(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int SysCat_Rollback(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);

// Writes the collations the database's indexes use and every open table
// node of its catalog into an archive. 0 or -1.
int SysCat_db_dump(Archive_STREAM* stream, SysCat_DB_CATALOG* cat);
// The id of the collation name, added (type, flags, map) when missing; -1.
int SysCat_RestoreCollate(const char* name, uint32_t type, uint32_t flags, const uint8_t* map,
                          uint32_t map_len, Node* tx);
// Renumbers the pool addresses of one restored cluster (count pages of
// 8192 bytes, new address page_addr) of a catalog table node: for the
// first cluster the anchor in the meta data, and each row's links. A pool
// address the map does not know fails with nothing changed. 0 or -1.
using SysCat_MapClusterFn = uint32_t (*)(uint32_t archived);
int SysCat_RestoreCluster(Node* node, int count, uint8_t* const* pages, uint32_t page_addr,
                          uint32_t cluster_idx, SysCat_MapClusterFn map);
// Hands the archive reader the catalog's restore functions: the cluster
// renumbering of table nodes (types DB and ST), restored collating
// sequences, and the record of each restored node's creation. SysCat_open
// calls it.
void SysCat_RegisterRestore();
struct SysCat_NODEMAP {
  uint32_t old_id;
  Node* node;
};
struct SysCat_COLLMAP {
  uint32_t old_id;
  uint32_t new_id;
};
struct SysCat_DBHEAD {
  const char* name;
  uint32_t flags;
};
// Registers a restored database: a sysdb row, sysobjects rows, its tables'
// node ids and collation ids renumbered, members of uid 3 and above
// dropped. The open catalog, or none.
SysCat_DB_CATALOG* SysCat_db_restore(const SysCat_DBHEAD* head, const SysCat_COLLMAP* colls,
                                     int ncolls, const SysCat_NODEMAP* nodes, int nnodes, Node* tx);
