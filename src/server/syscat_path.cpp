// syscat_path.cpp - the linked fields of a table path (see syscat_path.h).
#include "server/syscat_path.h"

#include <cstdlib>
#include <vector>

#include "base/debug_log.h"

namespace {

// Calls fn on every row of sys_id; 0 at the end, -1 when the walk failed.
template <class Fn>
int walk(SysCat_DB_CATALOG* cat, int sys_id, Node* tx, Fn fn) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, nullptr, &st, &row, tx);
  while (rc == 0) {
    fn(row);
    free(row);
    rc = SysCat_get(cat, sys_id, SysCat_GET_NEXT, nullptr, &st, &row, tx);
  }
  return rc < 0 ? -1 : 0;
}

bool is_master(const SysCat_TABLE& t) { return t.type != 0 && (t.flags & 3u) != 0; }

// The colid of a table's first column, 0 when it has none.
int first_column(SysCat_DB_CATALOG* cat, uint32_t tableid, Node* tx, uint32_t* colid) {
  *colid = 0;
  return walk(cat, SysTableColumn_ID, tx, [&](const void* row) {
    const auto* tc = static_cast<const SysCat_TABLECOLUMN*>(row);
    if (tc->tableid == tableid && tc->idx == 1) *colid = tc->colid;
  });
}

int derive_detail(SysCat_DB_CATALOG* cat, SysCat_TABLEPATH* tp, Node* tx) {
  std::vector<uint32_t> masters;
  if (walk(cat, SysTables_ID, tx, [&](const void* row) {
        const auto* t = static_cast<const SysCat_TABLE*>(row);
        if (is_master(*t)) masters.push_back(t->tableid);
      }) != 0)
    return -1;
  uint32_t master = 0;
  int found = 0;
  for (uint32_t m : masters) {
    uint32_t key = 0;
    if (first_column(cat, m, tx, &key) != 0) return -1;
    if (key != 0 && key == tp->colid) {
      master = m;
      ++found;
    }
  }
  if (found != 1) {
    debug_log('P', 1, "table path %u/%u: %d master tables keyed by column %u", tp->tableid, tp->idx,
              found, tp->colid);
    return -1;
  }
  uint32_t back = 0, leading = 0;
  if (walk(cat, SysTablePath_ID, tx, [&](const void* row) {
        const auto* p = static_cast<const SysCat_TABLEPATH*>(row);
        if (p->tableid == master && p->linkedtableid == tp->tableid && p->linkedidx == tp->idx)
          back = p->idx;
        if (p->tableid != master && p->linkedtableid == master) ++leading;
      }) != 0)
    return -1;
  tp->linkedtableid = master;
  tp->linkedcolid = tp->colid;
  tp->linkedidx = back != 0 ? back : leading + 1;
  return 0;
}

int derive_master(SysCat_DB_CATALOG* cat, SysCat_TABLEPATH* tp, Node* tx) {
  int found = 0;
  SysCat_TABLEPATH detail{};
  if (walk(cat, SysTablePath_ID, tx, [&](const void* row) {
        const auto* p = static_cast<const SysCat_TABLEPATH*>(row);
        if (p->tableid != tp->tableid && p->linkedtableid == tp->tableid &&
            p->linkedidx == tp->idx) {
          detail = *p;
          ++found;
        }
      }) != 0)
    return -1;
  if (found != 1) {
    debug_log('P', 1, "table path %u/%u: %d detail paths lead to it", tp->tableid, tp->idx, found);
    return -1;
  }
  tp->linkedtableid = detail.tableid;
  tp->linkedidx = detail.idx;
  tp->linkedcolid = detail.colid;
  return 0;
}

}  // namespace

int syscat_derive_path(SysCat_DB_CATALOG* cat, SysCat_TABLEPATH* tp, Node* tx) {
  SysCat_TABLE* t = SysCat_get_table_by_id(cat, tp->tableid, tx);
  if (t == nullptr) return -1;
  const bool system = t->type == 0;
  const bool master = is_master(*t);
  free(t);
  if (system) return -1;
  return master ? derive_master(cat, tp, tx) : derive_detail(cat, tp, tx);
}
