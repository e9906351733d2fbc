// space_info.cpp - the environment dump's printing (see space_info.h).
//
// Context: the dump tool's only thread; the set is read-only and the node
// layer inspects: nodes are opened for their meta data without first-open
// work, pool clusters and free-list pages are read straight from the
// files. Sizes are computed in 64 bits (a volume may hold 2^24 pages).
#include "tools/space_info.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/node_cluster.h"
#include "storage/pool_format.h"
#include "storage/volume_set.h"
#include "tools/volume_text.h"

namespace {

double bytes(uint64_t pages) { return static_cast<double>(pages * Vol_PAGESIZE); }

// --- Node tables ---------------------------------------------------------------------

constexpr int kMaxWalk = 1 << 24;  // more pages than any set holds: a list that loops

struct NodeFacts {
  std::string recused = "-";
  std::string size = "-";
  std::string clused;
  uint32_t pages = 0;
  std::string alloc;
};

// Free-list pages of a pool, followed from the file.
uint32_t pool_flist_pages(const Node* node) {
  uint32_t n = 0;
  std::unordered_set<uint32_t> seen;
  std::vector<uint8_t> page(Vol_PAGESIZE);
  for (uint32_t p = node->node.flist.head; p != 0 && seen.insert(p).second && n < kMaxWalk;) {
    if (Vol_ReadPage(p, page.data(), Vol_PAGESIZE) != 0) break;
    ++n;
    p = Node_DecodeFlist(page.data()).next_page;
  }
  return n;
}

// Blocks in use in the cluster at start of count pages.
uint32_t pool_cluster_elements(uint32_t start, uint32_t count) {
  std::vector<uint8_t> buf(static_cast<size_t>(count) * Vol_PAGESIZE);
  for (uint32_t i = 0; i < count; ++i)
    if (Vol_ReadPage(start + i, buf.data() + static_cast<size_t>(i) * Vol_PAGESIZE,
                     Vol_PAGESIZE) != 0)
      return 0;
  uint32_t used = 0;
  for (size_t off = Pool_CLUSTER_HEAD_SIZE; off + Pool_HEADER_SIZE <= buf.size();) {
    const Pool_HEADER h = Pool_DecodeHeader(buf.data() + off);
    if (Pool_TestFlag(Pool_BLOCKUSED, &h)) ++used;
    if (h.next == 0) break;
    off += h.next;
  }
  return used;
}

// The clusters of the used-cluster list: their number, pages, and (pools)
// the blocks in use.
void walk_clusters(Node* node, bool pool, uint32_t* clusters, uint32_t* pages,
                   uint32_t* elements) {
  *clusters = *pages = *elements = 0;
  Node_ITER it;
  uint32_t start = 0, count = 0;
  for (int rc = Node_FirstCluster(node, &start, &count, &it); rc == 0 && *clusters < kMaxWalk;
       rc = Node_NextCluster(node, &start, &count, &it)) {
    ++*clusters;
    *pages += count;
    if (pool) *elements += pool_cluster_elements(start, count);
  }
}

std::string node_label(const Node* node, bool log) {
  const uint32_t id = Node_GetId(node);
  if (id == SysPool_NODEID) return log ? "LogPool 1" : "SysPool 1";
  if (log && id == 2) return "LogRoot 2";
  return std::to_string(id);
}

std::string type_text(const Node* node) {
  const uint16_t t = Node_GetType(node);
  if (t == 0) return Node_TestFlag(Node_POOLNODE, node) ? "pool" : "-";
  return std::string(1, static_cast<char>(t >> 8)) + static_cast<char>(t & 0xff);
}

void open_failed(const std::string& label) {
  fflush(stdout);
  fprintf(stderr, "Unable to open node %s\n", label.c_str());
  fprintf(stderr, "Failure code: %s\n", error_text());
}

// What a visit returns for a node that failed (its lines printed), apart
// from -1: the root itself could not be set up.
constexpr int kNodeFailed = -2;

int node_failed(const Node* node, bool log) {
  open_failed(node_label(node, log));
  return kNodeFailed;
}

// Node_VisitById's result: a root that could not be set up has a damaged
// node page chain, named after the root's first node.
int visit_result(int rc, bool log) {
  if (rc == -1) open_failed(log ? "LogPool 1" : "SysPool 1");
  return rc == 0 ? 0 : -1;
}

int facts_of(Node* node, bool log, NodeFacts* f) {
  if (Node_Open(node) != 0) return node_failed(node, log);
  const bool pool = Node_TestFlag(Node_POOLNODE, node) && !Node_TestFlag(Node_NO_ULIST, node);
  uint32_t clusters = 0, cluster_pages = 0, elements = 0;
  walk_clusters(node, pool, &clusters, &cluster_pages, &elements);
  const Node_IHEAD& ulist = node->node.ulist;
  f->pages = cluster_pages + ulist.num_pages;
  if (Node_GetType(node) == NodeType_FR) {
    const FixRec_META m = FixRec_GetMetaCopy(node);
    f->recused = std::to_string(m.num_records);
    f->size = std::to_string(m.slot_size > 0 ? m.slot_size - 1 : 0);
    f->pages += m.free_list.num_pages;
  }
  if (pool) {
    f->recused = std::to_string(elements);
    f->clused = std::to_string(clusters) + "/" + std::to_string(cluster_pages);
    f->pages += pool_flist_pages(node);
  } else {
    f->clused = std::to_string(Node_CountItems(node, &ulist)) + "/" +
                std::to_string(ulist.num_pages * static_cast<uint32_t>(Node_ILIST_NUMITEMS));
  }
  // Nodes take their clusters from one allocation map: the standard one
  // (DATA volumes), or the log one for nodes of the log root.
  f->alloc = log ? "log" : "std";
  Node_Close(node);
  return 0;
}

struct TableContext {
  bool log;
};

int print_row(Node* node, void* context) {
  const bool log = static_cast<TableContext*>(context)->log;
  NodeFacts f;
  if (int rc = facts_of(node, log, &f); rc != 0) return rc;
  std::string flags;
  if (Node_TestFlag(Node_SYSNODE, node)) flags += "S";
  if (Node_TestFlag(Node_LOGNODE, node)) flags += "L";
  if (flags.empty()) flags = "-";
  printf("%9.9s %-4.4s %-4.4s %08x:%04x %10.10s %4.4s %12.12s %10u %5.5s\n",
         node_label(node, log).c_str(), type_text(node).c_str(), flags.c_str(),
         node->node.meta_addr.cluster, node->node.meta_addr.offset, f.recused.c_str(),
         f.size.c_str(), f.clused.c_str(), f.pages, f.alloc.c_str());
  return 0;
}

int print_table(bool log) {
  printf("%-7.7sID Type Flag      MetaData    RecUsed Size       ClUsed    PgTotal Alloc\n",
         log ? "log:" : "nodes:");
  printf("%s\n", std::string(79, '-').c_str());
  TableContext context{log};
  const int rc = visit_result(Node_VisitById(log ? 1 : 0, print_row, &context), log);
  printf("\n");
  return rc;
}

// --- Records -------------------------------------------------------------------------

int dump_records(Node* node, void*) {
  if (Node_GetType(node) != NodeType_FR) return 0;
  if (Node_Open(node) != 0) return node_failed(node, false);
  const uint32_t size = FixRec_RecordSize(node);
  std::vector<uint8_t> record(size > 0 ? size : 1);
  const uint32_t id = Node_GetId(node);
  const std::string name = id == SysPool_NODEID ? "SysPool(1)" : std::to_string(id);
  FixRec_ITER iter;
  FixRec_InitIter(&iter);
  uint32_t recno = 0;
  // The dump goes to standard output in the log facility's form.
  fflush(stdout);
  FILE* log_stream = debug_get_stream();
  debug_set_stream(stdout);
  int rc = FixRec_First(node, &recno, record.data(), &iter, nullptr);
  while (rc == 0) {
    char title[64];
    snprintf(title, sizeof title, "Node %s recno=%u", name.c_str(), recno);
    debug_dump(title, record.data(), static_cast<int>(size));
    rc = FixRec_Next(node, &recno, record.data(), &iter, nullptr);
  }
  FixRec_ReleaseIter(&iter);
  debug_set_stream(log_stream);
  printf("\n");
  fflush(stdout);
  Node_Close(node);
  if (rc < 0) return node_failed(node, false);
  return 0;
}

}  // namespace

std::string SpaceInfo_MapText(const Vol_ALDESC& map) { return VolText_MapText(map); }

void SpaceInfo_PrintConstants() {
  struct Constant {
    const char* name;
    const char* value;
  };
  // The format's own figures: this program's structures are laid out
  // differently, so their sizes would mislead.
  static const Constant kGroups[][36] = {
      {{"Vol_REVISION", "WIN32 A.06.00"}, {"Vol_PAGESIZE", "8192"}, {"Vol_MAXLINK", "256"},
       {"Vol_MAXCLUST", "8"}, {"Vol_CPYPAGE", "319"}, {"Vol_RELEASE", "30"},
       {"Vol_LOG_RELEASE", "9"}, {"Vol_MAXPATH", "1024"}, {"Vol_MAXSIZE", nullptr},
       {"Vol_FILLGAP", nullptr}, {"Vol_CREATE", nullptr}, {"sizeof(VOLUME)", "1276"},
       {"sizeof(Vol_PGHEADER)", "8"}, {"sizeof(Vol_FLMEM)", "8200"},
       {"sizeof(Vol_FLIST)", "8192"}, {"Vol_FLIST_OVERHEAD", "12"},
       {"Vol_FLIST_NUMITEMS", "65440"}, {"Vol_FLIST_SIZE", "2045"}, {}},
      {{"sizeof(Node)", "124"}, {"sizeof(Node_ROOT)", "412"}, {"sizeof(Node_MEMPAGE)", "18008"},
       {"sizeof(Node_DESC)", "56"}, {"sizeof(Node_PAGE)", "8140"},
       {"Node_PAGE_OVERHEAD", "20"}, {"Node_PAGE_NUMITEMS", "145"}, {"sizeof(Node_ITEM)", "8"},
       {"sizeof(Node_ILIST)", "8184"}, {"Node_ILIST_OVERHEAD", "36"},
       {"Node_ILIST_NUMITEMS", "1019"}, {"sizeof(Node_FITEM)", "8"},
       {"sizeof(Node_FLIST)", "8188"}, {"Node_FLIST_OVERHEAD", "28"},
       {"Node_FLIST_NUMITEMS", "1020"}, {"sizeof(Node_ADDR)", "8"},
       {"sizeof(Node_LOG_REC)", "40"}, {"sizeof(Node_RECORD)", "4"},
       {"sizeof(Node_DEL_RECORD)", "4"}, {"sizeof(NodePage_DIFF)", "516"},
       {"sizeof(NodePage_RECORD)", "772"}, {"sizeof(Node_RECNO)", "8"},
       {"sizeof(Node_ALIST)", "8192"}, {"Node_ALIST_OVERHEAD", "8"},
       {"Node_ALIST_NUMITEMS", "1023"}, {"sizeof(Node_BLIST)", "8192"},
       {"Node_BLIST_OVERHEAD", "8"}, {"Node_BLIST_NUMITEMS", "2046"}, {}},
      {{"sizeof(Pool_CLUSTER_HEAD)", "12"}, {"sizeof(Pool_HEADER)", "8"},
       {"sizeof(FPool_ANCHOR)", "16"}, {}},
      {{"Tlog_ROOTNODE", "2"}, {"sizeof(Tlog_META)", "68"}, {"sizeof(Tlog_TAGHEAD)", "8"},
       {"sizeof(Tlog_HEADER)", "16"}, {"sizeof(Tlog_STACKITEM)", "20"}, {}},
      {{"sizeof(FixRec_META)", "68"}, {"sizeof(FixRec_RECORD)", "20"}, {}},
      {{"SysPool_NODEID", "1"}, {}},
  };
  printf("constants:\n\n");
  bool first = true;
  for (const auto& group : kGroups) {
    if (!first) printf("\n");
    first = false;
    for (const Constant* c = group; c->name != nullptr; ++c) {
      const std::string name = c->name;
      printf(" %-26s= ", c->name);
      if (name == "Vol_MAXSIZE")
        printf("%ld\n", 16777216L);
      else if (name == "Vol_FILLGAP")
        printf("0x%x\n", 0xaau);
      else if (name == "Vol_CREATE")
        printf("0%o\n", 0666u);
      else
        printf("%s\n", c->value);
    }
  }
  printf("\n");
}

void SpaceInfo_PrintListHeader() { fputs(VolText_ListHeader().c_str(), stdout); }

void SpaceInfo_PrintListLine(const VOLUME* vol) { fputs(VolText_ListLine(vol).c_str(), stdout); }

void SpaceInfo_PrintTableHeader() { fputs(VolText_TableHeader().c_str(), stdout); }

void SpaceInfo_PrintVolume(const VOLUME* vol, bool detail) {
  if (!detail) {
    fputs(VolText_TableRow(vol).c_str(), stdout);
    return;
  }
  const uint64_t used = vol->curr_size >= vol->free_size ? vol->curr_size - vol->free_size : 0;
  Vol_INFO info;
  Vol_GetSingleInfo(vol, &info);
  const char* suffix = vol->type == VolType_LOG    ? " type=LOG"
                       : vol->type == VolType_TEMP ? " type=TEMP"
                                                   : "";
  printf("Volume #%d \"%s\" capacity=%.2fMB (%.0f bytes)\n", static_cast<int>(vol->volume_id) + 1,
         vol->path, VolText_Megabytes(info.capacity), bytes(info.capacity));
  printf(" used=%.2fMB (%.0f bytes), free=%.2fMB (%.0f bytes)%s\n\n", VolText_Megabytes(used),
         bytes(used), VolText_Megabytes(vol->free_size), bytes(vol->free_size), suffix);
}

void SpaceInfo_PrintParameters(const VOLUME* vol) {
  printf("volume parameters:\n\n%s\n", VolText_Fields(vol).c_str());
}

int SpaceInfo_PrintNodes() {
  if (print_table(false) != 0) return -1;
  return print_table(true);
}

int SpaceInfo_PrintRecords() {
  return visit_result(Node_VisitById(0, dump_records, nullptr), false);
}
