// schema_cache.h - the schema cache: the in-memory description of each
// open database, built once from the database's own catalog tables and
// shared by every session that has the database open.
//
// One cache entry (`vglobal`) per database that some session has open, all
// in one list in the order they were first opened; the schema itself is its
// `global` record: the items (typed fields), the index items (composite
// keys), the data sets with their entries, paths and indexes, each array
// with a hash table by name (idb_lookup.h). Collating sequences that the
// indexes use are shared among all entries by reference count. See
// README.md ("Schema cache") for the build and its checks.
//
// Owners: this module owns the list, the entries, their schemas and the
// collating sequences; a caller holds a reference from idb__vopen_root to
// idb__vclose_root and only reads the schema meanwhile. Node handles in the
// schema are the node layer's (found, not opened).
//
// Context: tasks of the server thread. Opens are serialised by the cache's
// mutex (a task-kernel semaphore), because a build reads the catalog and
// may suspend in its node locks, pools and the buffer cache; a second open
// of the same database waits and then shares the finished entry. A close
// never suspends.
#pragma once
#include <cstdint>

#include "index/syscat.h"

struct idb_session;
struct Node;

inline constexpr int IDB_NAME_LEN = 16;     // names in the schema: blank-padded, no NUL
inline constexpr int IDB_MAX_SEGS = 8;      // segments of an index item
inline constexpr int IDB_MAX_KEY_PARTS = 8; // key parts of a B-tree key definition
inline constexpr uint32_t IDB_WORK_BUF = 8192;  // the work buffer a media record must fit

// A collating sequence: for each byte value, a counted string (a length
// byte and that many bytes) inside the catalog row's map.
struct idb_coll {
  uint32_t id = 0;  // the id asked for (the row's may differ)
  idb_coll* next = nullptr;
  int32_t ref_cnt = 0;
  SysCat_COLLATE* row = nullptr;  // owned
  const uint8_t* map[256] = {};
};

// One column of syscolumns whose flags bit 0 is clear.
struct idb_item {
  uint32_t colid;
  uint32_t coltype;
  uint32_t flags;
  char name[IDB_NAME_LEN];
  uint32_t type;  // 'X', 'I', 'D', 'S', 'L' or 'B'
  uint32_t elements;
  uint32_t size;  // of one element
  uint32_t format;
};

struct idb_seg {
  int32_t item;  // item position, -1 until its sysindexseg row is read
  uint32_t length;
  uint32_t flags;
};

// One sysindex row of table 0 whose flags bit 0 is clear.
struct idb_iitem {
  uint32_t idxid;
  uint32_t type;
  uint32_t flags;
  char name[IDB_NAME_LEN];
  uint32_t seg_cnt;
  idb_seg seg[IDB_MAX_SEGS];
};

struct idb_entry {
  int32_t item;  // item position
  uint32_t flags;
};

struct idb_path {
  int32_t set;     // the related set's position
  int32_t path;    // the matching path's index in the related set
  int32_t search;  // detail: the search item's entry here; master: in the related detail
  int32_t sort;    // the sort item's entry here, or -1
};

struct idb_index {
  int32_t iitem;  // item count + the index item's position
  uint32_t collid;
  idb_coll* coll;  // none when collid is 0
  uint32_t nodeid;
  Node* node;  // none when nodeid is 0: every use answers S_NOTFOUND
};

// What describes one data set.
struct idb_set_descr {
  uint32_t tableid;
  uint32_t table_type;
  uint32_t table_flags;
  uint32_t nodeid;  // the record file; 0: not created
  Node* node;
  struct {
    uint32_t idxid;
    uint32_t type;
    uint32_t flags;
    uint32_t nodeid;
    Node* node;
  } key;  // the master-key index (masters and automatic masters)
  char name[IDB_NAME_LEN];
  uint32_t type;  // 'M', 'A' or 'D'
  uint32_t item_cnt;
  uint32_t path_cnt;
  uint32_t index_cnt;
};

struct idb_set {
  idb_set_descr s;
  idb_entry* entry;
  idb_path* path;
  idb_index* index;
  uint32_t* offset;  // of each entry in the record
  uint32_t rec_len;
};

// A slot of a name hash table: the record's 16-byte name and position (no
// name: an empty slot) and the next slot of its chain.
struct idb_hash {
  const char* name;
  int32_t index;
  idb_hash* next;
};

struct global {
  int32_t item_cnt;
  int32_t iitem_cnt;
  int32_t set_cnt;
  idb_item* item;
  idb_hash* item_hash;
  idb_iitem* iitem;
  idb_hash* iitem_hash;  // none when iitem_cnt is 0
  idb_set* set;
  idb_hash* set_hash;
};

struct vglobal {
  vglobal* next;
  char* name;  // as the first open gave it
  SysCat_DB_CATALOG* cat;
  int32_t ref_cnt;
  global g;
  int32_t share[4];  // by IDB_SHARE_*, kept by the open contexts for the sharing check
};

// The open modes' sharing classes, the index of vglobal::share: exclusive
// (modes 3 and 13), read exclusive (8), write shared (1), read shared (9).
enum { IDB_SHARE_EXCL = 0, IDB_SHARE_READ_EXCL = 1, IDB_SHARE_WRITE = 2, IDB_SHARE_READ = 3 };

// The entry of db_name (any letter case), built on the first open. ctx is
// the opening session, whose error record receives S_VOLNODE and S_SYSTEM
// failures (none: only the log). 0, or -1 with the failure logged.
int idb__vopen_root(const char* db_name, vglobal** out, idb_session* ctx);
// Releases one reference; the last frees the entry, its schema and the
// collating sequences no other entry uses.
void idb__vclose_root(vglobal* v);
// The head of the cache list (walk `next`, read `name` and `ref_cnt`).
vglobal* idb__get_vroot_list();

// The shared collating sequences (for checks).
const idb_coll* idb__collate_list();

// The item type letter and element size of a catalog column type; 0 for a
// type the access layer does not support.
uint32_t idb__coltype_letter(uint32_t coltype);
