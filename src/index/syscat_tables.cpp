// syscat_tables.cpp - the static descriptions of the catalog tables, the
// server map and the per-database template, and the lookups of a table id
// in a map.
//
// Column offsets are those of the row records of syscat.h (offsetof), so
// the in-memory row is the record; the stored form does not depend on
// them. The server map is process-wide state of the server thread; a
// database catalog copies the template into its own map.
#include <cstddef>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "index/syscat.h"
#include "index/syscat_internal.h"

namespace {

#define COL(st, field, type, size) \
  SysCat_COLUMN_DESCR { #field, type, size, 0, static_cast < uint32_t>(offsetof(st, field)), -1 }
#define TABLE(name, st, cols)                                              \
  SysCat_TABLE_DESCR {                                                     \
    1, name, static_cast<uint32_t>(sizeof cols / sizeof cols[0]), cols, 0, \
        static_cast<uint32_t>(sizeof(st)), 0, 0                            \
  }

const SysCat_COLUMN_DESCR k_sysobjects_cols[] = {
    COL(SysCat_OBJECT, id, 7, 4),
    COL(SysCat_OBJECT, type, 7, 4),
    COL(SysCat_OBJECT, name, 2, 255),
    COL(SysCat_OBJECT, link, 7, 4),
};
const SysCat_TABLE_DESCR k_sysobjects = TABLE("sysobjects", SysCat_OBJECT, k_sysobjects_cols);

const SysCat_COLUMN_DESCR k_sysdevices_cols[] = {
    COL(SysCat_DEVICE, volid, 7, 4),    COL(SysCat_DEVICE, serial, 17, 4),
    COL(SysCat_DEVICE, type, 7, 4),     COL(SysCat_DEVICE, path, 2, 255),
    COL(SysCat_DEVICE, pagesz, 7, 4),   COL(SysCat_DEVICE, size, 7, 4),
    COL(SysCat_DEVICE, extsz, 7, 4),    COL(SysCat_DEVICE, maxsz, 7, 4),
    COL(SysCat_DEVICE, used, 7, 4),     COL(SysCat_DEVICE, free, 7, 4),
    COL(SysCat_DEVICE, seekcnt, 7, 4),  COL(SysCat_DEVICE, readcnt, 7, 4),
    COL(SysCat_DEVICE, writecnt, 7, 4),
};
const SysCat_TABLE_DESCR k_sysdevices = TABLE("sysdevices", SysCat_DEVICE, k_sysdevices_cols);

const SysCat_COLUMN_DESCR k_sysvat_cols[] = {
    COL(SysCat_VAT, vatid, 7, 4), COL(SysCat_VAT, type, 7, 4),   COL(SysCat_VAT, name, 2, 255),
    COL(SysCat_VAT, map, 17, 32), COL(SysCat_VAT, refcnt, 7, 4),
};
const SysCat_TABLE_DESCR k_sysvat = TABLE("sysvat", SysCat_VAT, k_sysvat_cols);

const SysCat_COLUMN_DESCR k_sysuser_cols[] = {
    COL(SysCat_USER, uid, 7, 4),
    COL(SysCat_USER, name, 2, 255),
    COL(SysCat_USER, password, 18, 255),
    COL(SysCat_USER, priv, 17, 4),
};
const SysCat_TABLE_DESCR k_sysuser = TABLE("sysuser", SysCat_USER, k_sysuser_cols);

const SysCat_COLUMN_DESCR k_sysdb_cols[] = {
    COL(SysCat_DB, dbid, 7, 4),
    COL(SysCat_DB, name, 2, 255),
    COL(SysCat_DB, flags, 17, 4),
    COL(SysCat_DB, nodeid, 7, 4),
};
const SysCat_TABLE_DESCR k_sysdb = TABLE("sysdb", SysCat_DB, k_sysdb_cols);

const SysCat_COLUMN_DESCR k_systables_cols[] = {
    COL(SysCat_TABLE, tableid, 7, 4), COL(SysCat_TABLE, uid, 7, 4),
    COL(SysCat_TABLE, name, 2, 255),  COL(SysCat_TABLE, type, 7, 4),
    COL(SysCat_TABLE, flags, 17, 4),  COL(SysCat_TABLE, ncols, 7, 4),
    COL(SysCat_TABLE, npath, 7, 4),   COL(SysCat_TABLE, nidx, 7, 4),
    COL(SysCat_TABLE, nodeid, 7, 4),
};
const SysCat_TABLE_DESCR k_systables = TABLE("systables", SysCat_TABLE, k_systables_cols);

const SysCat_COLUMN_DESCR k_syscolumns_cols[] = {
    COL(SysCat_COLUMN, colid, 7, 4),  COL(SysCat_COLUMN, tableid, 7, 4),
    COL(SysCat_COLUMN, name, 2, 255), COL(SysCat_COLUMN, coltype, 7, 4),
    COL(SysCat_COLUMN, size, 7, 4),   COL(SysCat_COLUMN, elements, 7, 4),
    COL(SysCat_COLUMN, flags, 17, 4), COL(SysCat_COLUMN, format, 7, 4),
};
const SysCat_TABLE_DESCR k_syscolumns = TABLE("syscolumns", SysCat_COLUMN, k_syscolumns_cols);

const SysCat_COLUMN_DESCR k_sysindex_cols[] = {
    COL(SysCat_INDEX, idxid, 7, 4),  COL(SysCat_INDEX, tableid, 7, 4),
    COL(SysCat_INDEX, name, 2, 255), COL(SysCat_INDEX, type, 7, 4),
    COL(SysCat_INDEX, flags, 17, 4), COL(SysCat_INDEX, nseg, 7, 4),
    COL(SysCat_INDEX, nodeid, 7, 4),
};
const SysCat_TABLE_DESCR k_sysindex = TABLE("sysindex", SysCat_INDEX, k_sysindex_cols);

const SysCat_COLUMN_DESCR k_sysindexseg_cols[] = {
    COL(SysCat_INDEXSEG, idxid, 7, 4),  COL(SysCat_INDEXSEG, idx, 7, 4),
    COL(SysCat_INDEXSEG, colid, 7, 4),  COL(SysCat_INDEXSEG, length, 7, 4),
    COL(SysCat_INDEXSEG, flags, 17, 4),
};
const SysCat_TABLE_DESCR k_sysindexseg = TABLE("sysindexseg", SysCat_INDEXSEG, k_sysindexseg_cols);

const SysCat_COLUMN_DESCR k_syscollate_cols[] = {
    COL(SysCat_COLLATE, id, 7, 4),     COL(SysCat_COLLATE, name, 2, 255),
    COL(SysCat_COLLATE, type, 7, 4),   COL(SysCat_COLLATE, flags, 17, 4),
    COL(SysCat_COLLATE, refcnt, 7, 4), COL(SysCat_COLLATE, map, 19, 8000),
};
const SysCat_TABLE_DESCR k_syscollate = TABLE("syscollate", SysCat_COLLATE, k_syscollate_cols);

const SysCat_COLUMN_DESCR k_sysgroup_cols[] = {
    COL(SysCat_GROUP, gid, 7, 4),
    COL(SysCat_GROUP, name, 2, 255),
    COL(SysCat_GROUP, priv, 17, 4),
};
const SysCat_TABLE_DESCR k_sysgroup = TABLE("sysgroup", SysCat_GROUP, k_sysgroup_cols);

const SysCat_COLUMN_DESCR k_sysmember_cols[] = {
    COL(SysCat_MEMBER, uid, 7, 4),
    COL(SysCat_MEMBER, gid, 7, 4),
};
const SysCat_TABLE_DESCR k_sysmember = TABLE("sysmember", SysCat_MEMBER, k_sysmember_cols);

const SysCat_COLUMN_DESCR k_sysprivilege_cols[] = {
    COL(SysCat_PRIVILEGE, gid, 7, 4),
    COL(SysCat_PRIVILEGE, tableid, 7, 4),
    COL(SysCat_PRIVILEGE, map, 17, 4),
};
const SysCat_TABLE_DESCR k_sysprivilege =
    TABLE("sysprivilege", SysCat_PRIVILEGE, k_sysprivilege_cols);

const SysCat_COLUMN_DESCR k_systablecolumn_cols[] = {
    COL(SysCat_TABLECOLUMN, tableid, 7, 4),
    COL(SysCat_TABLECOLUMN, colid, 7, 4),
    COL(SysCat_TABLECOLUMN, idx, 7, 4),
    COL(SysCat_TABLECOLUMN, flags, 17, 4),
};
const SysCat_TABLE_DESCR k_systablecolumn =
    TABLE("systablecolumn", SysCat_TABLECOLUMN, k_systablecolumn_cols);

const SysCat_COLUMN_DESCR k_systableindex_cols[] = {
    COL(SysCat_TABLEINDEX, tableid, 7, 4),
    COL(SysCat_TABLEINDEX, idxid, 7, 4),
    COL(SysCat_TABLEINDEX, collid, 7, 4),
    COL(SysCat_TABLEINDEX, nodeid, 7, 4),
};
const SysCat_TABLE_DESCR k_systableindex =
    TABLE("systableindex", SysCat_TABLEINDEX, k_systableindex_cols);

const SysCat_COLUMN_DESCR k_systablepath_cols[] = {
    COL(SysCat_TABLEPATH, tableid, 7, 4),   COL(SysCat_TABLEPATH, idx, 7, 4),
    COL(SysCat_TABLEPATH, colid, 7, 4),     COL(SysCat_TABLEPATH, linkedtableid, 7, 4),
    COL(SysCat_TABLEPATH, linkedidx, 7, 4), COL(SysCat_TABLEPATH, linkedcolid, 7, 4),
    COL(SysCat_TABLEPATH, sortcolid, 7, 4),
};
const SysCat_TABLE_DESCR k_systablepath =
    TABLE("systablepath", SysCat_TABLEPATH, k_systablepath_cols);

#undef COL
#undef TABLE

struct Known {
  int sys_id;
  const SysCat_TABLE_DESCR* descr;
};
// Every table id with its description; systables, syscolumns, sysindex and
// sysindexseg serve both maps.
const Known kKnown[] = {
    {SysObject_ID, &k_sysobjects},
    {SysDevice_ID, &k_sysdevices},
    {SysVat_ID, &k_sysvat},
    {SysUser_ID, &k_sysuser},
    {SysDb_ID, &k_sysdb},
    {SysSrvTables_ID, &k_systables},
    {SysSrvColumns_ID, &k_syscolumns},
    {SysSrvIndex_ID, &k_sysindex},
    {SysSrvIndexSeg_ID, &k_sysindexseg},
    {SysCollate_ID, &k_syscollate},
    {SysTables_ID, &k_systables},
    {SysGroup_ID, &k_sysgroup},
    {SysColumns_ID, &k_syscolumns},
    {SysIndex_ID, &k_sysindex},
    {SysMember_ID, &k_sysmember},
    {SysPrivilege_ID, &k_sysprivilege},
    {SysIndexSeg_ID, &k_sysindexseg},
    {SysTableColumn_ID, &k_systablecolumn},
    {SysTableIndex_ID, &k_systableindex},
    {SysTablePath_ID, &k_systablepath},
};

const int kServerOrder[SysCat_MAP_TABLES] = {
    SysObject_ID,    SysDevice_ID,     SysVat_ID,      SysUser_ID,        SysDb_ID,
    SysSrvTables_ID, SysSrvColumns_ID, SysSrvIndex_ID, SysSrvIndexSeg_ID, SysCollate_ID};

SysCat_MAP g_server_map[SysCat_MAP_TABLES + 1];
bool g_server_map_set = false;

}  // namespace

const SysCat_TABLE_DESCR* SysCat_StaticDescr(int sys_id) {
  for (const Known& k : kKnown)
    if (k.sys_id == sys_id) return k.descr;
  return nullptr;
}

SysCat_MAP* SysCat_ServerMap() {
  if (!g_server_map_set) {
    for (int i = 0; i < SysCat_MAP_TABLES; ++i)
      g_server_map[i] =
          SysCat_MAP{kServerOrder[i], SysCat_StaticDescr(kServerOrder[i]), nullptr, nullptr};
    g_server_map[SysCat_MAP_TABLES] = SysCat_MAP{0, nullptr, nullptr, nullptr};
    g_server_map_set = true;
  }
  return g_server_map;
}

void SysCat_CopyTemplate(SysCat_MAP* out) {
  for (int i = 0; i < SysCat_MAP_TABLES; ++i)
    out[i] = SysCat_MAP{i + 1, SysCat_StaticDescr(i + 1), nullptr, nullptr};
  out[SysCat_MAP_TABLES] = SysCat_MAP{0, nullptr, nullptr, nullptr};
}

SysCat_MAP* SysCat_map_sysid(SysCat_DB_CATALOG* cat, int sys_id) {
  SysCat_MAP* map = cat != nullptr ? cat->map : SysCat_ServerMap();
  for (SysCat_MAP* e = map; e->sys_id != 0; ++e)
    if (e->sys_id == sys_id) return e;
  debug_log('O', 1, "SysCat_map_sysid: Unknown system table id %d", sys_id);
  SET_ERROR(ERR_MOD_SC, ERR_SEV_E, SC_E_SYSID);
  return nullptr;
}

const SysCat_TABLE_DESCR* SysCat_table_descr(SysCat_DB_CATALOG* cat, int sys_id) {
  SysCat_MAP* e = SysCat_map_sysid(cat, sys_id);
  return e != nullptr ? e->descr : nullptr;
}
