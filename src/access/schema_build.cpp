// schema_build.cpp - builds a database's schema (`global`) from its seven
// catalog tables: syscolumns, sysindex, sysindexseg, systables,
// systablecolumn, systablepath and systableindex.
//
// State: none of its own; the schema under construction belongs to the
// cache entry being opened. Runs under the cache's mutex and suspends only
// inside the catalog's reads (node locks, pools, the buffer cache) and the
// node lookups.
//
// Catalog rows are written by clients, so nothing in them is trusted: a
// name too long, more segments, key parts or paths than the records and
// keys hold, a record that does not fit the work buffer, a segment that
// does not fit its item or whose item the indexed set does not hold, a path whose search item does not match the
// master's key, and a failed allocation each fail the open with a log line
// naming the table, index or column; none of them stops the server.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_status.h"
#include "access/schema_internal.h"
#include "base/debug_log.h"
#include "storage/node.h"

namespace {

struct Build {
  SysCat_DB_CATALOG* cat;
  global* g;
  idb_session* ctx;
};

// --- Reading catalog tables --------------------------------------------------------------

int count_filter(const void* row, void* arg) {
  auto* c = static_cast<std::pair<int (*)(const void*), int>*>(arg);
  if (c->first == nullptr || c->first(row)) ++c->second;
  return 0;  // keep nothing: the walk only counts
}

// The number of rows of sys_id that keep passes (none: every row), or -1.
int count_rows(SysCat_DB_CATALOG* cat, int sys_id, int (*keep)(const void*)) {
  std::pair<int (*)(const void*), int> c{keep, 0};
  SysCat_FILTER f{count_filter, &c};
  SysCat_GETSTATE st;
  void* row = nullptr;
  const int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, &f, &st, &row, nullptr);
  if (rc < 0) return -1;
  free(row);
  return c.second;
}

using Keep = int (*)(const void* row);

int keep_filter(const void* row, void* arg) { return (*static_cast<Keep*>(arg))(row); }

// Calls each(row) for every row of sys_id that keep passes (none: every
// row), in catalog order; the row is freed after the call. 0, -1 when the
// read failed (fail_msg logged) or when each refused.
template <class Row, class Each>
int for_rows(SysCat_DB_CATALOG* cat, int sys_id, Keep keep, const char* fail_msg, Each each) {
  SysCat_FILTER f{keep_filter, &keep};
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, keep != nullptr ? &f : nullptr, &st, &row,
                      nullptr);
  for (; rc == 0;
       rc = SysCat_get(cat, sys_id, SysCat_GET_NEXT, keep != nullptr ? &f : nullptr, &st, &row,
                       nullptr)) {
    const int r = each(static_cast<Row*>(row));
    free(row);
    row = nullptr;
    if (r != 0) return -1;
  }
  if (rc < 0) {
    debug_log('I', 1, "%s", fail_msg);
    return -1;
  }
  return 0;
}

int is_item(const void* row) { return (static_cast<const SysCat_COLUMN*>(row)->flags & 1u) == 0; }
int is_iitem(const void* row) {
  const auto* r = static_cast<const SysCat_INDEX*>(row);
  return r->tableid == 0 && (r->flags & 1u) == 0;
}
int is_set(const void* row) { return static_cast<const SysCat_TABLE*>(row)->type != 0; }
int is_master_key(const void* row) {
  return (static_cast<const SysCat_INDEX*>(row)->flags & 4u) != 0;
}

// --- Helpers ------------------------------------------------------------------------------------

// A blank-padded 16-byte name; false when the name is longer.
bool copy_name(char* out, const char* name) {
  const size_t n = name != nullptr ? strlen(name) : 0;
  if (n > IDB_NAME_LEN) return false;
  memset(out, ' ', IDB_NAME_LEN);
  if (n > 0) memcpy(out, name, n);
  return true;
}

template <class T>
T* alloc_array(Build& b, uint32_t n, const char* what) {
  if (n == 0) return nullptr;
  auto* p = static_cast<T*>(calloc(n, sizeof(T)));
  if (p == nullptr) {
    debug_log('I', 1, "open_root: Memory allocation failed (%s, %u entries)", what, n);
    IDB_ERROR(b.ctx, S_SYSTEM, errno);
  }
  return p;
}

// Counts the rows of sys_id that keep passes and allocates *out, an array
// of that many T: the count, or -1 when the read (fail_msg logged) or the
// allocation failed.
template <class T>
int alloc_for_rows(Build& b, int sys_id, Keep keep, const char* fail_msg, const char* what,
                   T** out) {
  const int n = count_rows(b.cat, sys_id, keep);
  if (n < 0) {
    debug_log('I', 1, "%s", fail_msg);
    return -1;
  }
  debug_log('I', 2, "Found %d %s", n, what);
  *out = alloc_array<T>(b, static_cast<uint32_t>(n), what);
  return n > 0 && *out == nullptr ? -1 : n;
}

int find_item(const global* g, uint32_t colid) {
  for (int i = 0; i < g->item_cnt; ++i)
    if (g->item[i].colid == colid) return i;
  return -1;
}
int find_iitem(const global* g, uint32_t idxid) {
  for (int i = 0; i < g->iitem_cnt; ++i)
    if (g->iitem[i].idxid == idxid) return i;
  return -1;
}
int find_set(const global* g, uint32_t tableid) {
  for (int i = 0; i < g->set_cnt; ++i)
    if (g->set[i].s.tableid == tableid) return i;
  return -1;
}
// The entry of the set whose item is at position item, or -1.
int find_entry(const idb_set& set, int item) {
  for (uint32_t e = 0; e < set.s.item_cnt; ++e)
    if (set.entry[e].item == item) return static_cast<int>(e);
  return -1;
}

uint64_t item_length(const idb_item& it) {
  return static_cast<uint64_t>(it.elements) * it.size;
}

// The fixed size of the numeric item types, 0 for the others.
uint32_t numeric_size(uint32_t type) {
  switch (type) {
    case 'I': return 2;
    case 'D': case 'S': return 4;
    case 'L': return 8;
    default: return 0;
  }
}

// --- Items ----------------------------------------------------------------------------------------

int build_items(Build& b) {
  global* g = b.g;
  const int n = alloc_for_rows(b, SysColumns_ID, is_item, "SysCat_get() failed", "items", &g->item);
  if (n < 0) return -1;
  int at = 0;
  return for_rows<SysCat_COLUMN>(b.cat, SysColumns_ID, is_item, "SysCat_get() failed",
                                 [&](const SysCat_COLUMN* col) {
    if (at >= n) {
      debug_log('I', 1, "Column table changed while read. colid = %d", static_cast<int>(col->colid));
      return -1;
    }
    idb_item& it = g->item[at];
    it.colid = col->colid;
    it.coltype = col->coltype;
    it.flags = col->flags;
    it.elements = col->elements;
    it.format = col->format;
    if (!copy_name(it.name, col->name)) {
      debug_log('I', 1, "Column name too long. colid = %d", static_cast<int>(col->colid));
      return -1;
    }
    it.type = idb__coltype_letter(col->coltype);
    if (it.type == 0) {
      debug_log('I', 1, "Unsupported column type encountered");
      debug_log('I', 1, "Bad column type. colid = %d, coltype = %d", static_cast<int>(col->colid),
                static_cast<int>(col->coltype));
      return -1;
    }
    const uint32_t fixed = numeric_size(it.type);
    it.size = fixed != 0 ? fixed : col->size;
    g->item_cnt = ++at;
    return 0;
  });
}

// --- Index items ---------------------------------------------------------------------------------

int build_iitems(Build& b) {
  global* g = b.g;
  const int n = alloc_for_rows(b, SysIndex_ID, is_iitem, "SysCat_get(SysIndex_ID) failed",
                               "iitems", &g->iitem);
  if (n < 0) return -1;
  int at = 0;
  if (for_rows<SysCat_INDEX>(b.cat, SysIndex_ID, is_iitem, "SysCat_get(SysIndex_ID) failed",
                             [&](const SysCat_INDEX* idx) {
        if (at >= n) {
          debug_log('I', 1, "Index table changed while read. idxid = %d",
                    static_cast<int>(idx->idxid));
          return -1;
        }
        idb_iitem& ii = g->iitem[at];
        ii.idxid = idx->idxid;
        ii.type = idx->type;
        ii.flags = idx->flags;
        if (!copy_name(ii.name, idx->name)) {
          debug_log('I', 1, "Index name too long. idxid = %d", static_cast<int>(idx->idxid));
          return -1;
        }
        if (idx->nseg > IDB_MAX_SEGS) {
          debug_log('I', 1, "Too many index segments. idxid = %d, nseg = %d",
                    static_cast<int>(idx->idxid), static_cast<int>(idx->nseg));
          return -1;
        }
        ii.seg_cnt = idx->nseg;
        for (idb_seg& s : ii.seg) s.item = -1;
        g->iitem_cnt = ++at;
        return 0;
      }) != 0)
    return -1;
  if (for_rows<SysCat_INDEXSEG>(b.cat, SysIndexSeg_ID, nullptr,
                                "SysCat_get(SysIndexSeg_ID) failed",
                                [&](const SysCat_INDEXSEG* seg) {
        const int i = find_iitem(g, seg->idxid);
        const int idxid = static_cast<int>(seg->idxid);
        const int idx = static_cast<int>(seg->idx);
        if (i < 0) {
          debug_log('I', 2, "No matching iitem - ignoring index seg. idxid = %d, idx = %d", idxid,
                    idx);
          return 0;
        }
        idb_iitem& ii = g->iitem[i];
        if (seg->idx < 1 || seg->idx > ii.seg_cnt) {
          debug_log('I', 1, "Bad Index seg, segment out of range. idxid = %d, idx = %d", idxid, idx);
          return -1;
        }
        const int item = find_item(g, seg->colid);
        if (item < 0) {
          debug_log('I', 1, "Bad Index seg, no matching item. idxid = %d, idx = %d", idxid, idx);
          return -1;
        }
        const idb_item& it = g->item[item];
        const uint32_t length = seg->length != 0 ? seg->length : it.size;
        const uint32_t fixed = numeric_size(it.type);
        if (length > item_length(it) || (fixed != 0 && length != fixed)) {
          debug_log('I', 1, "Bad Index seg, length %u does not fit item. idxid = %d, idx = %d",
                    length, idxid, idx);
          return -1;
        }
        // A second row for a segment would change a key its tree was
        // built without.
        if (ii.seg[seg->idx - 1].item >= 0) {
          debug_log('I', 1, "Duplicate index segment. idxid = %d, idx = %d", idxid, idx);
          return -1;
        }
        ii.seg[seg->idx - 1] = idb_seg{item, length, seg->flags};
        return 0;
      }) != 0)
    return -1;
  for (int i = 0; i < g->iitem_cnt; ++i)
    for (uint32_t s = 0; s < g->iitem[i].seg_cnt; ++s)
      if (g->iitem[i].seg[s].item < 0) {
        debug_log('I', 1, "Incomplete index definition. idxid = %d, seg = %d",
                  static_cast<int>(g->iitem[i].idxid), static_cast<int>(s + 1));
        return -1;
      }
  return 0;
}

// --- Sets -------------------------------------------------------------------------------------------

int read_sets(Build& b) {
  global* g = b.g;
  const int n =
      alloc_for_rows(b, SysTables_ID, is_set, "SysCat_get(SysTables_ID) failed", "sets", &g->set);
  if (n < 0) return -1;
  int at = 0;
  return for_rows<SysCat_TABLE>(b.cat, SysTables_ID, is_set, "SysCat_get(SysTables_ID) failed",
                                [&](const SysCat_TABLE* t) {
    const int tableid = static_cast<int>(t->tableid);
    if (at >= n) {
      debug_log('I', 1, "Table list changed while read. tableid = %d", tableid);
      return -1;
    }
    idb_set& set = g->set[at];
    g->set_cnt = ++at;  // from here on close_root frees what it holds
    set.s.tableid = t->tableid;
    set.s.table_type = t->type;
    set.s.table_flags = t->flags;
    set.s.nodeid = t->nodeid;
    if (!copy_name(set.s.name, t->name)) {
      debug_log('I', 1, "Table name too long. tableid = %d", tableid);
      return -1;
    }
    set.s.type = (t->flags & 2u) ? 'A' : (t->flags & 1u) ? 'M' : 'D';
    // A set's entries each take a slot of the record and a word of the
    // offset array; more than the work buffer holds cannot be stored.
    if (t->npath > MAX_PATH_CNT || t->ncols > IDB_WORK_BUF || t->nidx > IDB_WORK_BUF) {
      debug_log('I', 1, "Too many columns, paths or indexes. tableid = %d, ncols = %u, npath = %u, "
                "nidx = %u", tableid, t->ncols, t->npath, t->nidx);
      return -1;
    }
    set.s.item_cnt = t->ncols;
    set.s.path_cnt = t->npath;
    set.s.index_cnt = t->nidx;
    if (set.s.item_cnt > 0) {
      set.entry = alloc_array<idb_entry>(b, set.s.item_cnt, "entries");
      if (set.entry == nullptr) return -1;
      for (uint32_t e = 0; e < set.s.item_cnt; ++e) set.entry[e].item = -1;
    }
    if (set.s.path_cnt > 0) {
      set.path = alloc_array<idb_path>(b, set.s.path_cnt, "paths");
      if (set.path == nullptr) return -1;
      for (uint32_t p = 0; p < set.s.path_cnt; ++p) set.path[p] = idb_path{-1, -1, -1, -1};
    }
    if (set.s.index_cnt > 0) {
      set.index = alloc_array<idb_index>(b, set.s.index_cnt, "indexes");
      if (set.index == nullptr) return -1;
      for (uint32_t x = 0; x < set.s.index_cnt; ++x) set.index[x].iitem = -1;
    }
    return 0;
  });
}

int read_master_keys(Build& b) {
  global* g = b.g;
  if (for_rows<SysCat_INDEX>(b.cat, SysIndex_ID, is_master_key, "SysCat_get(SysIndex_ID) failed",
                             [&](const SysCat_INDEX* idx) {
        const int s = find_set(g, idx->tableid);
        if (s < 0 || g->set[s].s.type == 'D') {
          debug_log('I', 1, "Bad primary index. tableid = %d, idxid = %d",
                    static_cast<int>(idx->tableid), static_cast<int>(idx->idxid));
          return -1;
        }
        idb_set& set = g->set[s];
        if (set.s.key.idxid != 0) {
          debug_log('I', 1, "Primary index already defined. tableid = %d, idxid = %d",
                    static_cast<int>(idx->tableid), static_cast<int>(idx->idxid));
          return -1;
        }
        set.s.key.idxid = idx->idxid;
        set.s.key.type = idx->type;
        set.s.key.flags = idx->flags;
        set.s.key.nodeid = idx->nodeid;
        return 0;
      }) != 0)
    return -1;
  for (int s = 0; s < g->set_cnt; ++s)
    if (g->set[s].s.type != 'D' && g->set[s].s.key.idxid == 0) {
      debug_log('I', 1, "Missing master index definition. tableid = %d",
                static_cast<int>(g->set[s].s.tableid));
      return -1;
    }
  return 0;
}

int read_columns(Build& b) {
  global* g = b.g;
  if (for_rows<SysCat_TABLECOLUMN>(b.cat, SysTableColumn_ID, nullptr,
                                   "SysCat_get(SysTableColumn_ID) failed",
                                   [&](const SysCat_TABLECOLUMN* tc) {
        const int tableid = static_cast<int>(tc->tableid);
        const int s = find_set(g, tc->tableid);
        if (s < 0) {
          debug_log('I', 2, "No matching set - ignoring table col. tableid = %d, colid = %d",
                    tableid, static_cast<int>(tc->colid));
          return 0;
        }
        const int item = find_item(g, tc->colid);
        if (item < 0) {
          debug_log('I', 1, "Bad column id. tableid = %d, colid = %d", tableid,
                    static_cast<int>(tc->colid));
          return -1;
        }
        idb_set& set = g->set[s];
        if (tc->idx < 1 || tc->idx > set.s.item_cnt) {
          debug_log('I', 1, "Bad column index. tableid = %d, idx = %d", tableid,
                    static_cast<int>(tc->idx));
          return -1;
        }
        // A second row for an entry would move the record's layout under
        // its stored records and keys.
        if (set.entry[tc->idx - 1].item >= 0) {
          debug_log('I', 1, "Duplicate column index. tableid = %d, idx = %d", tableid,
                    static_cast<int>(tc->idx));
          return -1;
        }
        set.entry[tc->idx - 1] = idb_entry{item, tc->flags};
        return 0;
      }) != 0)
    return -1;
  for (int s = 0; s < g->set_cnt; ++s)
    for (uint32_t e = 0; e < g->set[s].s.item_cnt; ++e)
      if (g->set[s].entry[e].item < 0) {
        debug_log('I', 1, "Missing column definition. tableid = %d, idx = %d",
                  static_cast<int>(g->set[s].s.tableid), static_cast<int>(e + 1));
        return -1;
      }
  return 0;
}

// The detail's search item must be the master's key: the same type and size.
bool same_key(const global* g, const idb_set& detail, int search_entry, const idb_set& master) {
  const idb_item& a = g->item[detail.entry[search_entry].item];
  const idb_item& k = g->item[master.entry[0].item];
  return a.type == k.type && item_length(a) == item_length(k);
}

int read_path(Build& b, const SysCat_TABLEPATH* tp) {
  global* g = b.g;
  const int tableid = static_cast<int>(tp->tableid);
  const int colid = static_cast<int>(tp->colid);
  const int idx = static_cast<int>(tp->idx);
  const int s = find_set(g, tp->tableid);
  if (s < 0) {
    debug_log('I', 2, "No matching set - ignoring table path. tableid = %d, colid = %d", tableid,
              colid);
    return 0;
  }
  idb_set& set = g->set[s];
  const int item = find_item(g, tp->colid);
  if (item < 0) {
    debug_log('I', 1, "Bad column id. tableid = %d, colid = %d, idx=%d", tableid, colid, idx);
    return -1;
  }
  const int entry = find_entry(set, item);
  if (entry < 0) {
    debug_log('I', 1, "No such table column. tableid = %d, colid = %d", tableid, colid);
    return -1;
  }
  int sort = -1;
  if (tp->sortcolid != 0) {
    const int sort_item = find_item(g, tp->sortcolid);
    if (sort_item < 0) {
      debug_log('I', 1, "Bad sort column id. tableid = %d, idx=%d, colid = %d", tableid, idx,
                static_cast<int>(tp->sortcolid));
      return -1;
    }
    sort = find_entry(set, sort_item);
    if (sort < 0) {
      debug_log('I', 1, "No such column in table. tableid = %d, colid = %d", tableid,
                static_cast<int>(tp->sortcolid));
      return -1;
    }
  }
  const int r = find_set(g, tp->linkedtableid);
  if (r < 0) {
    debug_log('I', 1, "No matching related set. tableid = %d, colid = %d", tableid, colid);
    return -1;
  }
  idb_set& related = g->set[r];
  const int linked_item = find_item(g, tp->linkedcolid);
  if (linked_item < 0) {
    debug_log('I', 1, "Bad related column id. tableid = %d, colid = %d, idx=%d", tableid,
              static_cast<int>(tp->linkedcolid), idx);
    return -1;
  }
  const int linked_entry = find_entry(related, linked_item);
  if (linked_entry < 0) {
    debug_log('I', 1, "No such column in related table. tableid = %d, colid = %d", tableid,
              static_cast<int>(tp->linkedcolid));
    return -1;
  }
  if (tp->idx < 1 || tp->idx > set.s.path_cnt || set.path[tp->idx - 1].set >= 0) {
    debug_log('I', 1, "Bad path index. tableid = %d, idx = %d", tableid, idx);
    return -1;
  }
  if (tp->linkedidx < 1 || tp->linkedidx > related.s.path_cnt) {
    debug_log('I', 1, "Bad related path index. tableid = %d, idx = %d", tableid, idx);
    return -1;
  }
  const bool detail = set.s.type == 'D';
  set.path[tp->idx - 1] =
      idb_path{r, static_cast<int32_t>(tp->linkedidx - 1), detail ? entry : linked_entry, sort};
  if (detail) {
    if (related.s.type == 'D') {
      debug_log('I', 1, "Detail/Detail relationship. tableid = %d, colid = %d", tableid, colid);
      return -1;
    }
    if (linked_entry != 0) {
      debug_log('I', 1, "Bad related column. tableid = %d, colid = %d", tableid, colid);
      return -1;
    }
  } else {
    if (related.s.type != 'D') {
      debug_log('I', 1, "Master/Master relationship. tableid = %d, colid = %d", tableid, colid);
      return -1;
    }
    if (entry != 0) {
      debug_log('I', 1, "Bas column. tableid = %d, colid = %d", tableid, colid);
      return -1;
    }
  }
  const bool match = detail ? same_key(g, set, entry, related) : same_key(g, related, linked_entry, set);
  if (!match) {
    debug_log('I', 1, "Path item does not match the master key. tableid = %d, colid = %d", tableid,
              colid);
    return -1;
  }
  return 0;
}

int read_paths(Build& b) {
  global* g = b.g;
  if (for_rows<SysCat_TABLEPATH>(b.cat, SysTablePath_ID, nullptr,
                                 "SysCat_get(SysTablePath_ID) failed",
                                 [&](const SysCat_TABLEPATH* tp) { return read_path(b, tp); }) != 0)
    return -1;
  for (int s = 0; s < g->set_cnt; ++s)
    for (uint32_t p = 0; p < g->set[s].s.path_cnt; ++p)
      if (g->set[s].path[p].set < 0) {
        debug_log('I', 1, "Missing path definition. tableid = %d, idx = %d",
                  static_cast<int>(g->set[s].s.tableid), static_cast<int>(p + 1));
        return -1;
      }
  return 0;
}

int read_indexes(Build& b) {
  global* g = b.g;
  if (for_rows<SysCat_TABLEINDEX>(b.cat, SysTableIndex_ID, nullptr,
                                  "SysCat_get(SysTableIndex_ID) failed",
                                  [&](const SysCat_TABLEINDEX* ti) {
        const int tableid = static_cast<int>(ti->tableid);
        const int idxid = static_cast<int>(ti->idxid);
        const int s = find_set(g, ti->tableid);
        if (s < 0) {
          debug_log('I', 2, "No matching set - ignoring table index. tableid = %d, idxid = %d",
                    tableid, idxid);
          return 0;
        }
        const int ii = find_iitem(g, ti->idxid);
        if (ii < 0) {
          debug_log('I', 1, "Bad index id. tableid = %d, idxid = %d", tableid, idxid);
          return -1;
        }
        // The set's index word is the key's last part.
        if (g->iitem[ii].seg_cnt > IDB_MAX_KEY_PARTS - 1) {
          debug_log('I', 1, "Too many segments for a table index. tableid = %d, idxid = %d",
                    tableid, idxid);
          return -1;
        }
        idb_set& set = g->set[s];
        // Keys are built from the set's own records: every segment's item
        // must be one of its entries.
        for (uint32_t i = 0; i < g->iitem[ii].seg_cnt; ++i)
          if (find_entry(set, g->iitem[ii].seg[i].item) < 0) {
            debug_log('I', 1, "Index segment not in table. tableid = %d, idxid = %d", tableid,
                      idxid);
            return -1;
          }
        idb_index* slot = nullptr;
        for (uint32_t x = 0; x < set.s.index_cnt && slot == nullptr; ++x)
          if (set.index[x].iitem < 0) slot = &set.index[x];
        if (slot == nullptr) {
          debug_log('I', 1, "Too much index entries for table. tableid = %d, idxid = %d", tableid,
                    idxid);
          return -1;
        }
        *slot = idb_index{g->item_cnt + ii, ti->collid, nullptr, ti->nodeid, nullptr};
        if (ti->collid != 0) {
          slot->coll = get_collate(ti->collid, b.ctx);
          if (slot->coll == nullptr) {
            debug_log('I', 1, "Unable to obtain collating sequence. tableid = %d, idxid = %d",
                      tableid, idxid);
            return -1;
          }
        }
        return 0;
      }) != 0)
    return -1;
  for (int s = 0; s < g->set_cnt; ++s)
    for (uint32_t x = 0; x < g->set[s].s.index_cnt; ++x)
      if (g->set[s].index[x].iitem < 0) {
        debug_log('I', 1, "Missing index definition. tableid = %d, idx = %d",
                  static_cast<int>(g->set[s].s.tableid), static_cast<int>(x + 1));
        return -1;
      }
  return 0;
}

int layout_records(Build& b) {
  global* g = b.g;
  for (int s = 0; s < g->set_cnt; ++s) {
    idb_set& set = g->set[s];
    if (set.s.item_cnt > 0) {
      set.offset = alloc_array<uint32_t>(b, set.s.item_cnt, "offsets");
      if (set.offset == nullptr) return -1;
    }
    uint64_t at = 0;
    for (uint32_t e = 0; e < set.s.item_cnt; ++e) {
      set.offset[e] = static_cast<uint32_t>(at);
      at += item_length(g->item[set.entry[e].item]);
      if (at > IDB_WORK_BUF) break;
    }
    set.rec_len = at > IDB_WORK_BUF ? IDB_WORK_BUF + 1 : static_cast<uint32_t>(at);
    if (at > IDB_WORK_BUF || media_len(&set) > IDB_WORK_BUF) {
      debug_log('I', 1, "Record too long. tableid = %d, rec_len = %llu",
                static_cast<int>(set.s.tableid), static_cast<unsigned long long>(at));
      return -1;
    }
  }
  return 0;
}

int build_hash(Build& b, idb_hash** out, int n, const char* (*name_of)(const global*, int),
               const char* what) {
  if (n == 0) return 0;
  const char* stack_names[64];
  const char** names = stack_names;
  if (n > 64) {
    names = static_cast<const char**>(calloc(static_cast<size_t>(n), sizeof(char*)));
    if (names == nullptr) {
      IDB_ERROR(b.ctx, S_SYSTEM, errno);
      return -1;
    }
  }
  *out = alloc_array<idb_hash>(b, static_cast<uint32_t>(n), what);
  if (*out != nullptr) {
    for (int i = 0; i < n; ++i) names[i] = name_of(b.g, i);
    idb__hash_build(*out, n, names);
  }
  if (names != stack_names) free(names);
  return *out != nullptr ? 0 : -1;
}

int find_nodes(Build& b) {
  global* g = b.g;
  auto find = [&](uint32_t id, Node** out) {
    if (id == 0) return 0;
    *out = Node_Find(id);
    if (*out != nullptr) return 0;
    IDB_ERROR(b.ctx, S_VOLNODE, idb__lower_status());
    debug_log('I', 1, "Node %u not found", id);
    return -1;
  };
  for (int s = 0; s < g->set_cnt; ++s) {
    idb_set& set = g->set[s];
    if (find(set.s.nodeid, &set.s.node) != 0 || find(set.s.key.nodeid, &set.s.key.node) != 0)
      return -1;
    for (uint32_t x = 0; x < set.s.index_cnt; ++x)
      if (find(set.index[x].nodeid, &set.index[x].node) != 0) return -1;
  }
  return 0;
}

// Each tree is read with the key definition the schema gives it; catalog
// rows a client added since the tree was built may contradict the one the
// tree was built with, and reading it so would be unsound.
int check_tree(Build& b, Node* node, const btree_KEYDEF& expected, uint32_t tableid,
               uint32_t idxid) {
  if (node == nullptr) return 0;
  // Only the key definition is read: no transaction, no lock is held.
  btree_CTX bt;
  btree_HANDLE* t = btree_OpenNode(node, &bt, BT_OPEN_RDONLY);
  if (t == nullptr) {
    IDB_ERROR(b.ctx, S_BTREE, idb__lower_status());
    debug_log('I', 1, "Unable to open index. tableid = %d, idxid = %d", static_cast<int>(tableid),
              static_cast<int>(idxid));
    return -1;
  }
  const bool same = idb__keydef_same(*btree_GetKeyDef(t), expected);
  btree_CloseNode(t);
  if (same) return 0;
  IDB_ERROR(b.ctx, S_BTREE, 0);
  debug_log('I', 1, "Index does not match its key definition. tableid = %d, idxid = %d",
            static_cast<int>(tableid), static_cast<int>(idxid));
  return -1;
}

int check_trees(Build& b) {
  const global* g = b.g;
  for (int s = 0; s < g->set_cnt; ++s) {
    const idb_set& set = g->set[s];
    if (set.s.type != 'D' &&
        check_tree(b, set.s.key.node, idb__master_keydef(g, set), set.s.tableid,
                   set.s.key.idxid) != 0)
      return -1;
    for (uint32_t x = 0; x < set.s.index_cnt; ++x) {
      const idb_iitem& ii = g->iitem[set.index[x].iitem - g->item_cnt];
      if (check_tree(b, set.index[x].node, idb__index_keydef(g, set, ii), set.s.tableid,
                     ii.idxid) != 0)
        return -1;
    }
  }
  return 0;
}

}  // namespace

uint32_t idb__coltype_letter(uint32_t coltype) {
  switch (coltype) {
    case 1: case 2: case 3: return 'X';
    case 4: case 5: case 6: return 'I';
    case 7: return 'D';
    case 10: return 'S';
    case 11: return 'L';
    case 17: case 18: case 19: return 'B';
    default: return 0;
  }
}

int open_root(SysCat_DB_CATALOG* cat, global* g, idb_session* ctx) {
  debug_log('I', 3, "open_root()");
  *g = global{};
  Build b{cat, g, ctx};
  const bool ok =
      build_items(b) == 0 && build_iitems(b) == 0 && read_sets(b) == 0 &&
      read_master_keys(b) == 0 && read_columns(b) == 0 && read_paths(b) == 0 &&
      read_indexes(b) == 0 && layout_records(b) == 0 &&
      build_hash(b, &g->item_hash, g->item_cnt,
                 [](const global* gg, int i) -> const char* { return gg->item[i].name; },
                 "item hash") == 0 &&
      build_hash(b, &g->iitem_hash, g->iitem_cnt,
                 [](const global* gg, int i) -> const char* { return gg->iitem[i].name; },
                 "iitem hash") == 0 &&
      build_hash(b, &g->set_hash, g->set_cnt,
                 [](const global* gg, int i) -> const char* { return gg->set[i].s.name; },
                 "set hash") == 0 &&
      find_nodes(b) == 0 && check_trees(b) == 0;
  if (ok) return 0;
  close_root(g);
  return -1;
}

void close_root(global* g) {
  for (int s = 0; s < g->set_cnt; ++s) {
    idb_set& set = g->set[s];
    for (uint32_t x = 0; x < set.s.index_cnt && set.index != nullptr; ++x)
      if (set.index[x].coll != nullptr) del_collate(set.index[x].collid);
    free(set.entry);
    free(set.path);
    free(set.index);
    free(set.offset);
  }
  free(g->item);
  free(g->item_hash);
  free(g->iitem);
  free(g->iitem_hash);
  free(g->set);
  free(g->set_hash);
  *g = global{};
}
