// space_check.cpp - the consistency check of a volume set: the page
// ownership table, pass 1 (claims by node kind), pass 2 (B-trees and
// fixed-record files), questions and repairs.
//
// Owners: one Checker per run holds the table, the nodes read from the
// node pages and the report state; nothing outlives the run. Every walk
// over a chain read from disk stops at a page it has seen, and every count
// read from disk is checked before it indexes anything: a damaged set is
// reported, never trusted.
//
// Context: a utility's only thread; every transfer blocks it.
#include "tools/space_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "base/error_status.h"
#include "index/btree_format.h"
#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/node_format.h"
#include "storage/pool_format.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/volume_text.h"

namespace {

// Stands for the owner of the pages that belong to no node (volume
// descriptors, volume free lists, node pages).
constexpr const char* kNoNode = "-";
constexpr int kNoOwner = -1;

using Page = std::vector<uint8_t>;

struct Claim {
  int owner;            // index into Checker::nodes, or kNoOwner
  uint32_t first;       // first page of the claiming cluster
  int count;            // its pages
  const char* list;     // the claiming list
};

struct NodeInfo {
  Node_DESC desc;
  uint32_t node_page = 0;  // the node page that holds the descriptor
  int slot = 0;
  bool log_root = false;
  std::string name;                 // "#12", "#1:SP"
  std::vector<Node_ITEM> clusters;  // the block list's items, in list order
  bool block_list_ok = false;       // read whole
};

std::string format_name(const Node_DESC& d) {
  char out[Node_NAME_SIZE];
  int n = snprintf(out, sizeof out, "#%u", d.node_id);
  const bool sys = (d.flags >> Node_SYSNODE) & 1u;
  const bool log = (d.flags >> Node_LOGNODE) & 1u;
  const bool pool = (d.flags >> Node_POOLNODE) & 1u;
  if (sys || log || pool)
    snprintf(out + n, sizeof out - static_cast<size_t>(n), ":%s%s%s", sys ? "S" : "",
             log ? "L" : "", pool ? "P" : "");
  return out;
}

// The system pool (id 1 of either root) is a pool whatever its stored
// flags say: the log root's is written before its pool flag is set.
bool is_pool(const Node_DESC& d) {
  return ((d.flags >> Node_POOLNODE) & 1u) != 0 || d.node_id == SysPool_NODEID;
}

std::string addr_text(uint32_t a) {
  char b[24];
  snprintf(b, sizeof b, "%u:%u", PAGE_VOLID(a), PAGE_NUMBER(a));
  return b;
}

// An item list as read: its pages in chain order, its used items, and
// where the walk had to stop (a page seen before, outside the set,
// unreadable, or not an item-list page that follows its predecessor).
struct ListWalk {
  std::vector<uint32_t> pages;
  std::vector<Node_ITEM> items;
  uint32_t bad_page = 0;
  bool corrupted = false;
};

class Checker {
 public:
  Checker(const SpaceCheck_OPTIONS& o, const SpaceCheck_IO& io) : opt_(o), io_(io) {}

  int run(const std::vector<std::string>& paths, SpaceCheck_RESULT* result);

 private:
  // --- Output ---------------------------------------------------------------------------
  void out(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    io_.out(VolText_Format(fmt, ap));
    va_end(ap);
  }
  void err(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    io_.err(VolText_Format(fmt, ap));
    va_end(ap);
  }
  // A problem line: the heading of the current node first, once per run of
  // problems of that node.
  void report(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!mended_at_run_time_) serious_ = true;
    heading();
    va_list ap;
    va_start(ap, fmt);
    io_.out(VolText_Format(fmt, ap));
    va_end(ap);
  }
  void heading() {
    if (reported_ == current_ && heading_done_) return;
    reported_ = current_;
    heading_done_ = true;
    ++problems_;
    out("Node %s - %s\n", owner_name(current_), problem_ != nullptr ? problem_ : "problem detected");
  }
  const char* owner_name(int owner) const {
    return owner == kNoOwner ? kNoNode : nodes_[static_cast<size_t>(owner)].name.c_str();
  }
  void set_current(int owner) {
    current_ = owner;
    if (reported_ != owner) heading_done_ = false;
  }
  void cannot_fix() {
    claims_partial_ = true;
    out("  This problem cannot be fixed by spacecheck.\n");
  }

  // A question: yes with -y; else the prompt to standard error and a line
  // of input. End of input or a read error answers no.
  bool ask(const char* question) {
    if (!opt_.write) return false;
    if (opt_.yes) return true;
    err("%s ([y]/n) ? ", question != nullptr ? question : "FIX");
    std::string line;
    if (!io_.read_line(&line)) {
      err("\n");
      return false;
    }
    return line.empty() || line[0] == 'y' || line[0] == 'Y';
  }
  // A minor problem: fixed without a question with -a.
  bool ask_minor(const char* question) {
    if (!opt_.write) return false;
    return opt_.autofix || ask(question);
  }

  // --- Pages --------------------------------------------------------------------------
  // The open volume of an address when count pages from it lie inside it.
  VOLUME* volume_for(uint32_t addr, int count) const {
    const uint32_t id = PAGE_VOLID(addr);
    if (static_cast<int>(id) >= Vol_NumVolumes()) return nullptr;
    VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle == nullptr) return nullptr;
    if (count < 1 || static_cast<uint64_t>(PAGE_NUMBER(addr)) + static_cast<uint64_t>(count) >
                         v->curr_size)
      return nullptr;
    return v;
  }
  bool read_page(uint32_t addr, Page* page) {
    page->assign(Vol_PAGESIZE, 0);
    if (volume_for(addr, 1) == nullptr) return false;
    return Vol_ReadPage(addr, page->data(), Vol_PAGESIZE) == 0;
  }
  void write_page(uint32_t addr, const Page& page) {
    Vol_WritePage(addr, page.data(), Vol_PAGESIZE);
    ++fixes_;
    need_sync_ = true;
  }
  bool page_in_use(uint32_t addr) {
    VOLUME* v = volume_for(addr, 1);
    if (v == nullptr) return false;
    uint32_t bit = 0;
    Vol_FLMEM* fl = Vol_FlistFor(v, PAGE_NUMBER(addr), &bit);
    return fl != nullptr && !Vol_FlistIsFree(fl, bit);
  }

  // A block of a pool (meta data): the payload bytes, or false when its
  // cluster or header cannot be read.
  bool read_block(const Node_ADDR& a, std::vector<uint8_t>* bytes, std::vector<uint32_t>* pages);
  bool write_block(const Node_ADDR& a, const std::vector<uint8_t>& bytes);

  // --- Pass 1 ---------------------------------------------------------------------------
  int claim(uint32_t first, int count, const char* list);
  void claim_fixed_pages();
  void read_roots();
  void read_root(uint32_t first_page, bool log_root);
  void pass1_node(int index);
  void check_unclaimed();
  // A list whose front items were taken (a record free list behind its
  // cursor) names its first live item with from; those before are left out.
  ListWalk walk_item_list(const Node_IHEAD& h, const Node_IPOS* from = nullptr);
  // Tail and page count against the walk: the lines of the mismatches
  // found, with prefix "ulist" or "flist". True when both agree.
  bool head_matches(const char* prefix, const char* what, const Node_IHEAD& h, const ListWalk& w);
  bool check_block_list(NodeInfo& n);
  void check_fpool(NodeInfo& n);
  void check_pool_free_list(NodeInfo& n);
  void check_fixrec_free_list(NodeInfo& n);
  bool read_meta(const NodeInfo& n, std::vector<uint8_t>* meta, int* failure);

  // --- Pass 2 ---------------------------------------------------------------------------
  void pass2_node(int index);
  void check_btree(NodeInfo& n);
  void btree_finding(bool* advised);
  void check_fixrec(NodeInfo& n);
  bool fixrec_add_free(const NodeInfo& n, FixRec_META* m, std::vector<uint8_t>* meta,
                       const std::vector<uint32_t>& recnos, const ListWalk& w);

  void verbose_summary();

  const SpaceCheck_OPTIONS& opt_;
  const SpaceCheck_IO& io_;
  std::unordered_map<uint32_t, Claim> table_;
  std::vector<NodeInfo> nodes_;
  int current_ = kNoOwner;
  int reported_ = kNoOwner - 1;
  bool heading_done_ = false;
  const char* problem_ = nullptr;
  int problems_ = 0;
  int fixes_ = 0;
  int deferred_ = 0;                  // nodes of pass 2 whose findings the server mends
  bool mended_at_run_time_ = false;   // the finding being reported is one of those
  bool serious_ = false;              // the node has another finding
  bool need_sync_ = false;
  // A chain pass 1 could not read whole: its pages may be claimed by
  // nobody, so none is called a leak.
  bool claims_partial_ = false;
};

// --- Pool blocks ------------------------------------------------------------------------

bool Checker::read_block(const Node_ADDR& a, std::vector<uint8_t>* bytes,
                         std::vector<uint32_t>* pages) {
  Page first;
  if (a.cluster == 0 || !read_page(a.cluster, &first)) return false;
  const Pool_CLUSTER_HEAD ch = Pool_DecodeClusterHead(first.data());
  if (ch.num_pages < 1 || ch.num_pages > Vol_MAXCLUST) return false;
  const uint32_t end = static_cast<uint32_t>(a.offset) + Pool_HEADER_SIZE + a.size;
  if (a.offset < Pool_CLUSTER_HEAD_SIZE || end > ch.num_pages * Vol_PAGESIZE) return false;
  std::vector<uint8_t> cluster(static_cast<size_t>(ch.num_pages) * Vol_PAGESIZE);
  memcpy(cluster.data(), first.data(), Vol_PAGESIZE);
  for (uint32_t i = 1; i * Vol_PAGESIZE < end; ++i) {
    Page p;
    if (!read_page(a.cluster + i, &p)) return false;
    memcpy(cluster.data() + i * Vol_PAGESIZE, p.data(), Vol_PAGESIZE);
  }
  const Pool_HEADER h = Pool_DecodeHeader(cluster.data() + a.offset);
  if (!Pool_TestFlag(Pool_BLOCKUSED, &h) || h.size < a.size) return false;
  const uint8_t* from = cluster.data() + a.offset + Pool_HEADER_SIZE;
  bytes->assign(from, from + a.size);
  if (pages != nullptr) {
    pages->clear();
    for (uint32_t i = 0; i * Vol_PAGESIZE < end; ++i) pages->push_back(a.cluster + i);
  }
  return true;
}

bool Checker::write_block(const Node_ADDR& a, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> old;
  std::vector<uint32_t> pages;
  if (!read_block(a, &old, &pages) || bytes.size() != a.size) return false;
  const uint32_t from = a.offset + Pool_HEADER_SIZE;
  for (size_t i = 0; i < pages.size(); ++i) {
    Page p;
    if (!read_page(pages[i], &p)) return false;
    const uint32_t lo = static_cast<uint32_t>(i) * Vol_PAGESIZE;
    const uint32_t hi = lo + Vol_PAGESIZE;
    bool changed = false;
    for (uint32_t off = std::max(lo, from); off < std::min(hi, from + a.size); ++off) {
      p[off - lo] = bytes[off - from];
      changed = true;
    }
    if (changed) write_page(pages[i], p);
  }
  return true;
}

bool Checker::read_meta(const NodeInfo& n, std::vector<uint8_t>* meta, int* failure) {
  *failure = 0;
  if (!Node_AddrValid(&n.desc.meta_addr)) return false;
  if (!read_block(n.desc.meta_addr, meta, nullptr)) {
    *failure = 1;
    return false;
  }
  return true;
}

// --- Claims -----------------------------------------------------------------------------

int Checker::claim(uint32_t first, int count, const char* list) {
  if (count < 1 || count > Vol_MAXCLUST || volume_for(first, count) == nullptr ||
      (PAGE_VOLID(first) == 0 && PAGE_NUMBER(first) == 0 && current_ != kNoOwner)) {
    report(" %s: Reference to invalid page %s\n", list, addr_text(first).c_str());
    claims_partial_ = true;
    return -1;
  }
  int rc = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t page = first + static_cast<uint32_t>(i);
    auto it = table_.find(page);
    if (it != table_.end()) {
      const Claim& other = it->second;
      report(" %s: Page %s used by node %s (%s)\n", list, addr_text(page).c_str(),
             owner_name(other.owner), other.list);
      claims_partial_ = true;
      if (count > 1 || other.count > 1) {
        out("  Node %s: Cluster of %d pages starting at %s\n", owner_name(current_), count,
            addr_text(first).c_str());
        out("  Node %s: Cluster of %d pages starting at %s\n", owner_name(other.owner),
            other.count, addr_text(other.first).c_str());
      }
      rc = -1;
      continue;
    }
    table_.emplace(page, Claim{current_, first, count, list});
  }
  int free_pages = 0;
  for (int i = 0; i < count; ++i)
    if (!page_in_use(first + static_cast<uint32_t>(i))) ++free_pages;
  if (free_pages == 0) return rc;
  const char* saved = problem_;
  problem_ = "allocation inconsistency detected";
  if (count == 1)
    report(" %s: Page %s not marked in use\n", list, addr_text(first).c_str());
  else
    report(" %s: Cluster at %s with %d pages not marked in use\n", list,
           addr_text(first).c_str(), count);
  problem_ = saved;
  if (!opt_.write) {
    out("  This can be fixed safely by re-starting spacecheck in write mode.\n");
  } else if (ask_minor("Fix problem (safe)")) {
    Vol_MarkPageUsed(first, count);
    ++fixes_;
    need_sync_ = true;
    out("Page(s) marked in use.\n");
  }
  return rc;
}

// Pages that belong to no node: both descriptor copies, the volume free
// lists, the node pages of both roots.
void Checker::claim_fixed_pages() {
  set_current(kNoOwner);
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle == nullptr) continue;
    claim(Vol_PageAddr(static_cast<uint32_t>(id), Vol_DESC_COPY_PAGE), 1, "VolumeHeader");
    claim(Vol_PageAddr(static_cast<uint32_t>(id), Vol_DESC_PAGE), 1, "VolumeHeader");
    std::unordered_set<uint32_t> seen;
    for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr && seen.insert(fl->page).second;
         fl = fl->next)
      claim(fl->page, 1, "VolumeFreeList");
  }
}

void Checker::read_roots() {
  set_current(kNoOwner);
  read_root(Vol_GetRootVol()->first_page, false);
  if (VOLUME* log = Vol_GetTlogVol(); log != nullptr) read_root(log->first_page, true);
}

void Checker::read_root(uint32_t page, bool log_root) {
  std::unordered_set<uint32_t> seen;
  while (page != 0) {
    if (!seen.insert(page).second) {
      report(" NodePage chain corrupted. curr_page = 0x%x\n", page);
      cannot_fix();
      return;
    }
    if (claim(page, 1, "NodePage") != 0 && volume_for(page, 1) == nullptr) return;
    Page p;
    if (!read_page(page, &p) || Vol_CheckHeader(Vol_PAGE_NODE, page, p.data()) != 0) {
      report(" NodePage corrupted. curr_page = 0x%x\n", page);
      cannot_fix();
      return;
    }
    const Node_PAGE_HEAD head = Node_DecodePageHead(p.data());
    for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
      const Node_DESC d = Node_DecodeDesc(p.data() + Node_SlotOffset(i));
      if (d.node_id == 0) continue;
      NodeInfo n;
      n.desc = d;
      n.node_page = page;
      n.slot = i;
      n.log_root = log_root;
      n.name = format_name(d);
      nodes_.push_back(std::move(n));
    }
    page = head.next_page;
  }
}

// The used-cluster list: its pages claimed for "NodeBlockList", then every
// cluster it names for "NodeBlockListContent".
bool Checker::check_block_list(NodeInfo& n) {
  const char* saved = problem_;
  problem_ = "block-list inconsistency detected";
  const ListWalk w = walk_item_list(n.desc.ulist);
  for (uint32_t page : w.pages) claim(page, 1, "NodeBlockList");
  bool ok = true;
  if (w.corrupted) {
    report(" NodeBlockList corrupted. curr_page = 0x%x\n", w.bad_page);
    cannot_fix();
    ok = false;
  } else if (!head_matches("ulist", "block-list", n.desc.ulist, w)) {
    cannot_fix();
    ok = false;
  }
  n.clusters = w.items;
  for (const Node_ITEM& item : n.clusters)
    claim(item.id, static_cast<int>(item.count), "NodeBlockListContent");
  problem_ = saved;
  n.block_list_ok = ok;
  return ok;
}

// The log's chained pool: both anchors of its meta data, each cluster
// chain claimed for "ForwardPool".
void Checker::check_fpool(NodeInfo& n) {
  const char* name = n.name.c_str();
  if (n.desc.node_type != NodeType_TL) {
    report("%s: this is not a transaction log pool node\n", name);
    return;
  }
  std::vector<uint8_t> meta;
  int failure = 0;
  if (!read_meta(n, &meta, &failure)) {
    report("%s: This is expected to be a FPool\n but the FPool meta information cannot be "
           "accessed.\n Node check cannot be performed (failure code: %s).\n",
           name, failure != 0 ? "VOL E016" : "none");
    claims_partial_ = true;
    return;
  }
  Tlog_META m;
  if (Tlog_DecodeMeta(meta.data(), static_cast<uint32_t>(meta.size()), &m) != 0) {
    report("%s: This is expected to be a FPool\n but the FPool meta information header is "
           "invalid.\n Node check cannot be performed.\n",
           name);
    claims_partial_ = true;
    return;
  }
  for (const FPool_ANCHOR* a : {&m.log_anchor, &m.do_log_anchor}) {
    std::unordered_set<uint32_t> seen;
    for (uint32_t cluster = a->head; cluster != 0;) {
      Page p;
      if (!seen.insert(cluster).second || !read_page(cluster, &p)) {
        report(" ForwardPool corrupted. curr_page = 0x%x\n", cluster);
        cannot_fix();
        break;
      }
      const Pool_CLUSTER_HEAD ch = Pool_DecodeClusterHead(p.data());
      if (ch.num_pages < 1 || ch.num_pages > Vol_MAXCLUST) {
        report(" ForwardPool: Reference to invalid page %s\n", addr_text(cluster).c_str());
        cannot_fix();
        break;
      }
      if (claim(cluster, ch.num_pages, "ForwardPool") != 0 && volume_for(cluster, 1) == nullptr)
        break;
      if (cluster == a->tail) break;
      cluster = ch.next;
    }
  }
}

void Checker::check_pool_free_list(NodeInfo& n) {
  std::unordered_set<uint32_t> seen;
  uint32_t prev = 0;
  for (uint32_t page = n.desc.flist.head; page != 0;) {
    Page p;
    if (!seen.insert(page).second || volume_for(page, 1) == nullptr || !read_page(page, &p) ||
        Vol_CheckHeader(Vol_PAGE_NODE_FLIST, page, p.data()) != 0) {
      report("%s: invalid header in page %u\n", "PoolFreeList", page);
      cannot_fix();
      return;
    }
    const Node_FLIST fh = Node_DecodeFlist(p.data());
    if (fh.prev_page != prev || fh.first_item > fh.last_item ||
        fh.last_item > Node_FLIST_NUMITEMS) {
      report("%s: invalid header in page %u\n", "PoolFreeList", page);
      cannot_fix();
      return;
    }
    claim(page, 1, "PoolFreeList");
    prev = page;
    page = fh.next_page;
  }
}

void Checker::pass1_node(int index) {
  NodeInfo& n = nodes_[static_cast<size_t>(index)];
  set_current(index);
  problem_ = "allocation inconsistency detected";
  const bool no_ulist = (n.desc.flags >> Node_NO_ULIST) & 1u;
  if (is_pool(n.desc) && no_ulist) {
    check_fpool(n);
  } else if (is_pool(n.desc)) {
    check_block_list(n);
    check_pool_free_list(n);
  } else if (n.desc.node_type == NodeType_BT) {
    check_block_list(n);
  } else if (n.desc.node_type == NodeType_FR) {
    check_block_list(n);
    check_fixrec_free_list(n);
  } else {
    // Not a kind this check knows: its clusters are still claimed so that
    // no other node can take them unseen.
    report(" Unknown node type 0x%04x\n", n.desc.node_type);
    claims_partial_ = true;
    if (!no_ulist) check_block_list(n);
  }
}

// Pages marked in use that no node claims: given back by nothing, they
// would stay in use for good. Asked only of a set shut down cleanly (the
// bitmap of a crashed one waits for recovery) whose chains were all read.
void Checker::check_unclaimed() {
  if (claims_partial_) return;
  set_current(kNoOwner);
  const char* saved = problem_;
  problem_ = "allocation inconsistency detected";
  constexpr int kRunsShown = 20;
  int runs = 0;
  uint64_t total = 0;
  std::vector<std::pair<uint32_t, uint32_t>> leaks;  // first page, count
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    const VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle == nullptr) continue;
    for (uint32_t n = 0; n < v->curr_size; ++n) {
      const uint32_t page = Vol_PageAddr(static_cast<uint32_t>(id), n);
      if (!page_in_use(page) || table_.count(page) != 0) continue;
      if (!leaks.empty() && leaks.back().first + leaks.back().second == page)
        ++leaks.back().second;
      else
        leaks.emplace_back(page, 1);
      ++total;
    }
  }
  if (leaks.empty()) {
    problem_ = saved;
    return;
  }
  for (const auto& [first, count] : leaks) {
    if (++runs > kRunsShown) break;
    if (count == 1)
      report(" Page %s marked in use but claimed by no node\n", addr_text(first).c_str());
    else
      report(" Pages %s to %s (%u pages) marked in use but claimed by no node\n",
             addr_text(first).c_str(), addr_text(first + count - 1).c_str(), count);
  }
  report(" %llu page(s) in %zu run(s) marked in use but claimed by no node\n",
         static_cast<unsigned long long>(total), leaks.size());
  problem_ = saved;
  if (!opt_.write) {
    out("  This can be fixed safely by re-starting spacecheck in write mode.\n");
  } else if (ask_minor("Fix problem (safe)")) {
    for (const auto& [first, count] : leaks)
      for (uint32_t i = 0; i < count; ++i) Vol_FreePage(first + i, 1);
    ++fixes_;
    need_sync_ = true;
    out("Page(s) marked free.\n");
  }
}

ListWalk Checker::walk_item_list(const Node_IHEAD& h, const Node_IPOS* from) {
  ListWalk w;
  // Items before the cursor's page are dropped once the cursor's page is
  // reached: a cursor on no page of the list takes nothing.
  size_t live_from = 0;
  std::unordered_set<uint32_t> seen;
  uint32_t prev = 0;
  for (uint32_t page = h.head; page != 0;) {
    Page p;
    bool bad = !seen.insert(page).second || !read_page(page, &p) ||
               Vol_CheckHeader(Vol_PAGE_ITEMLIST, page, p.data()) != 0;
    Node_ILIST il{};
    if (!bad) {
      il = Node_DecodeIlist(p.data());
      bad = il.first_item > il.last_item || il.last_item > Node_ILIST_NUMITEMS ||
            il.num_items > il.last_item - il.first_item || il.prev_page != prev;
    }
    if (bad) {
      w.corrupted = true;
      w.bad_page = page;
      break;
    }
    w.pages.push_back(page);
    const bool at_cursor = from != nullptr && from->page != 0 && from->page == page;
    if (at_cursor) live_from = w.items.size();
    for (uint32_t i = il.first_item; i < il.last_item; ++i) {
      if (at_cursor && static_cast<int64_t>(i) < from->index) continue;
      const Node_ITEM item = Node_GetItem(p.data(), static_cast<int>(i));
      if (item.id != 0) w.items.push_back(item);
    }
    prev = page;
    page = il.next_page;
  }
  w.items.erase(w.items.begin(), w.items.begin() + static_cast<std::ptrdiff_t>(live_from));
  return w;
}

bool Checker::head_matches(const char* prefix, const char* what, const Node_IHEAD& h,
                           const ListWalk& w) {
  bool ok = true;
  const uint32_t last = w.pages.empty() ? 0 : w.pages.back();
  if (h.head == 0 && h.tail != 0) {
    report(" %s.tail points to page %s (%s.head is 0)\n", prefix, addr_text(h.tail).c_str(),
           prefix);
    ok = false;
  } else if (h.tail != last) {
    report(" %s.tail points to page %s (real last page of %s is %s)\n", prefix,
           addr_text(h.tail).c_str(), what, addr_text(last).c_str());
    ok = false;
  }
  if (h.num_pages != w.pages.size()) {
    report(" %s.num_pages is %u (real number of pages in %s is %zu)\n", prefix, h.num_pages, what,
           w.pages.size());
    ok = false;
  }
  return ok;
}

// The record free list's pages (pass 1): claimed for "FixRecFreeList";
// a wrong tail or count is corrected, an unreadable list deleted, in
// write mode. Only pages this list was seen to own are ever freed.
void Checker::check_fixrec_free_list(NodeInfo& n) {
  std::vector<uint8_t> meta;
  int failure = 0;
  FixRec_META m;
  if (!read_meta(n, &meta, &failure) ||
      FixRec_DecodeMeta(meta.data(), static_cast<uint32_t>(meta.size()), &m) != 0) {
    claims_partial_ = true;  // the list's pages are not known
    return;                  // pass 2 reports the meta data
  }
  const ListWalk w = walk_item_list(m.free_list);
  std::vector<uint32_t> own;
  for (uint32_t page : w.pages)
    if (claim(page, 1, "FixRecFreeList") == 0) own.push_back(page);
  if (w.corrupted) {
    claims_partial_ = true;
    report(" FixRec free-list corrupted. curr_page = 0x%x\n", w.bad_page);
    if (ask("Delete FixRec free-list")) {
      for (uint32_t page : own) {
        Vol_FreePage(page, 1);
        table_.erase(page);
      }
      m.free_list = Node_IHEAD{};
      m.free_pos = Node_IPOS{};
      m.sequence++;
      FixRec_EncodeMeta(m, meta.data());
      if (write_block(n.desc.meta_addr, meta)) {
        ++fixes_;
        need_sync_ = true;
        out("FixRec free-list deleted.\n");
      }
    }
    return;
  }
  if (head_matches("flist", "free-list", m.free_list, w)) return;
  if (ask_minor("Fix free-list meta information")) {
    m.free_list.tail = w.pages.empty() ? 0 : w.pages.back();
    m.free_list.num_pages = static_cast<uint32_t>(w.pages.size());
    if (w.pages.empty()) m.free_list.head = 0;
    m.sequence++;
    FixRec_EncodeMeta(m, meta.data());
    if (write_block(n.desc.meta_addr, meta)) out("FixRec free-list meta information fixed.\n");
  }
}

// --- Pass 2 -----------------------------------------------------------------------------

void Checker::pass2_node(int index) {
  NodeInfo& n = nodes_[static_cast<size_t>(index)];
  if (is_pool(n.desc)) return;
  set_current(index);
  const int before = problems_;
  serious_ = false;
  if (n.desc.node_type == NodeType_BT) {
    problem_ = "Btree inconsistency detected";
    check_btree(n);
  } else if (n.desc.node_type == NodeType_FR) {
    problem_ = "FixRec inconsistency detected";
    check_fixrec(n);
  }
  if (problems_ > before && !serious_) ++deferred_;
}

void Checker::btree_finding(bool* advised) {
  cannot_fix();
  if (*advised) return;
  out("  You need to reload the database this index belongs to.\n");
  *advised = true;
}

void Checker::check_btree(NodeInfo& n) {
  bool advised = false;
  for (const Node_ITEM& c : n.clusters) {
    if (c.count != 1) {
      report(" Btree blocklist is inconsistent (count=%d)\n", static_cast<int>(c.count));
      btree_finding(&advised);
      return;
    }
  }
  const int self = static_cast<int>(&n - nodes_.data());
  auto owned = [&](uint32_t page) {
    auto it = table_.find(page);
    return it != table_.end() && it->second.owner == self &&
           strcmp(it->second.list, "NodeBlockListContent") == 0;
  };
  for (const Node_ITEM& c : n.clusters) {
    const uint32_t page = c.id;
    Page p;
    if (!read_page(page, &p)) {
      report(" Cannot access btree page %u\n", page);
      btree_finding(&advised);
      return;
    }
    if (!owned(page)) {
      auto it = table_.find(page);
      VOLUME* v = volume_for(page, 1);
      if (v != nullptr && v->type == VolType_LOG) {
        report(" Page %s belongs to transaction log.\n", addr_text(page).c_str());
      } else if (it == table_.end() || it->second.owner == self) {
        report(" Page %s not in use by this node.\n", addr_text(page).c_str());
        out(page_in_use(page) ? "  Page is marked in use but not associated with any node.\n"
                              : "  Page is not marked in use, page reference is bogus.\n");
      } else {
        report(" Page %s owned by node %s (%s)\n", addr_text(page).c_str(),
               owner_name(it->second.owner), it->second.list);
      }
      btree_finding(&advised);
      continue;
    }
    const btree_PAGEHDR h = btree_DecodePageHeader(p.data());
    if (h.pgno != page) {
      report(" Page %s has been corrupted. Bad page signature (pgno=0x%x)\n",
             addr_text(page).c_str(), h.pgno);
      auto it = table_.find(h.pgno);
      if (it != table_.end())
        out("  Page %s is owned by node %s (%s)\n", addr_text(h.pgno).c_str(),
            owner_name(it->second.owner), it->second.list);
      btree_finding(&advised);
      continue;
    }
    if (h.prev_pgno != 0 && !owned(h.prev_pgno)) {
      report(" Page %s has been corrupted.\n", addr_text(page).c_str());
      out("  Prev link points to bad page %s (prevpg=0x%x)\n", addr_text(h.prev_pgno).c_str(),
          h.prev_pgno);
      btree_finding(&advised);
    }
    if (h.next_pgno != 0 && !owned(h.next_pgno)) {
      report(" Page %s has been corrupted.\n", addr_text(page).c_str());
      out("  Next link points to bad page %s (nextpg=0x%x)\n", addr_text(h.next_pgno).c_str(),
          h.next_pgno);
      btree_finding(&advised);
    }
    const uint32_t type = h.flags & P_TYPE;
    if (type != P_BINTERNAL && type != P_BLEAF) {
      report(" Page %s has been corrupted. Bad page type (0x%x)\n", addr_text(page).c_str(),
             h.flags);
      btree_finding(&advised);
      continue;
    }
    const int64_t room = static_cast<int64_t>(h.upper) - static_cast<int64_t>(h.lower);
    if (room < 0 || room > static_cast<int64_t>(Vol_PAGESIZE)) {
      report(type == P_BINTERNAL ? " Free space on internal page is %d\n"
                                 : " Free space on leaf page is %d\n",
             static_cast<int>(room));
      btree_finding(&advised);
    }
  }
}

void Checker::check_fixrec(NodeInfo& n) {
  std::vector<uint8_t> meta;
  int failure = 0;
  if (!read_meta(n, &meta, &failure)) {
    if (failure == 0)
      report(" This is expected to be a FixRec\n but the FixRec meta information is not "
             "available.\n Node check cannot be performed.\n");
    else
      report(" This is expected to be a FixRec\n but the FixRec meta information cannot be "
             "accessed.\n Node check cannot be performed (failure code: %s).\n",
             "VOL E016");
    return;
  }
  FixRec_META m;
  // Sizes that disagree would index past the clusters: such meta data are
  // as good as a bad header.
  if (FixRec_DecodeMeta(meta.data(), static_cast<uint32_t>(meta.size()), &m) != 0 ||
      m.slot_size < FixRec_MIN_REC_SIZE + 1 || m.slot_size > FixRec_MAX_REC_SIZE + 1 ||
      m.cluster_size < 1 || m.cluster_size > static_cast<uint32_t>(Vol_MAXCLUST) ||
      m.cluster_size != n.desc.cluster_size ||
      m.cluster_records != m.cluster_size * Vol_PAGESIZE / m.slot_size) {
    report(" This is expected to be a FixRec\n but the FixRec meta information header is "
           "invalid.\n Node check cannot be performed.\n");
    return;
  }
  if (!n.block_list_ok) return;
  // Every slot in record-number order.
  struct Cluster {
    uint32_t start;
    std::vector<uint8_t> bytes;
  };
  std::vector<Cluster> clusters;
  for (const Node_ITEM& c : n.clusters) {
    if (c.count != m.cluster_size) {
      report(" FixRec cluster at %s has %u pages (should be %u)\n", addr_text(c.id).c_str(),
             c.count, m.cluster_size);
      cannot_fix();
      return;
    }
    Cluster cl{c.id, std::vector<uint8_t>(static_cast<size_t>(c.count) * Vol_PAGESIZE)};
    for (uint32_t i = 0; i < c.count; ++i) {
      Page p;
      if (!read_page(c.id + i, &p)) {
        report(" Cannot access FixRec page %s\n", addr_text(c.id + i).c_str());
        cannot_fix();
        return;
      }
      memcpy(cl.bytes.data() + i * Vol_PAGESIZE, p.data(), Vol_PAGESIZE);
    }
    clusters.push_back(std::move(cl));
  }
  std::vector<uint32_t> corrupted;
  std::vector<std::pair<size_t, uint32_t>> corrupted_at;  // cluster, byte offset
  std::unordered_set<uint32_t> pages_told;
  uint32_t recno = 0, first = 0, last = 0, used = 0;
  std::vector<uint8_t> state;  // by recno - 1: 'U', 'D' or 'X'
  for (size_t k = 0; k < clusters.size(); ++k) {
    for (uint32_t j = 0; j < m.cluster_records; ++j) {
      ++recno;
      const uint32_t off = j * m.slot_size;
      const uint8_t flag = clusters[k].bytes[off];
      if (flag == FixRec_USED) {
        if (first == 0) first = recno;
        last = recno;
        ++used;
        state.push_back('U');
      } else if (flag == FixRec_DELETED) {
        state.push_back('D');
      } else {
        state.push_back('X');
        const uint32_t page = clusters[k].start + off / Vol_PAGESIZE;
        report(" FixRec data record #%u is corrupted.\n Located in page %u at offset %d.\n", recno,
               page, static_cast<int>(off % Vol_PAGESIZE));
        if (m.cluster_size > 1 && pages_told.insert(page).second)
          out(" Page %u belongs to cluster %u with %d pages.\n", page, clusters[k].start,
              static_cast<int>(m.cluster_size));
        corrupted.push_back(recno);
        corrupted_at.emplace_back(k, off);
      }
    }
  }
  if (!corrupted.empty()) {
    const bool del = ask("Delete corrupted records");
    report(" FixRec contains %zu corrupted records.\n", corrupted.size());
    if (del) {
      std::unordered_set<uint32_t> dirty;
      for (size_t i = 0; i < corrupted.size(); ++i) {
        const auto [k, off] = corrupted_at[i];
        clusters[k].bytes[off] = FixRec_DELETED;
        state[corrupted[i] - 1] = 'D';
        dirty.insert(clusters[k].start + off / Vol_PAGESIZE);
      }
      for (const Cluster& cl : clusters)
        for (uint32_t i = 0; i < m.cluster_size; ++i)
          if (dirty.count(cl.start + i) != 0) {
            Page p(cl.bytes.begin() + i * Vol_PAGESIZE, cl.bytes.begin() + (i + 1) * Vol_PAGESIZE);
            write_page(cl.start + i, p);
          }
      out(" These records have been deleted.\n");
    }
  }
  // The meta counts against the slots.
  const uint32_t slots = recno;
  if (m.first_recno != first || m.last_recno != last || m.max_recno != slots ||
      m.num_records != used) {
    report(" Inconsistent FixRec meta information:\n");
    if (m.first_recno != first) out(" first_recno=%u, should be %u\n", m.first_recno, first);
    if (m.last_recno != last) out(" last_recno=%u, should be %u\n", m.last_recno, last);
    if (m.max_recno != slots) out(" new_recno=%u, should be %u\n", m.max_recno, slots);
    if (m.num_records != used) out(" num_records=%u, should be %u\n", m.num_records, used);
    if (ask_minor("Fix meta information")) {
      m.first_recno = first;
      m.last_recno = last;
      m.max_recno = slots;
      m.num_records = used;
      m.sequence++;
      FixRec_EncodeMeta(m, meta.data());
      if (write_block(n.desc.meta_addr, meta)) out("FixRec meta information fixed.\n");
    }
  }
  // The record free list against the slots: items before its cursor were
  // taken by puts and may name records in use.
  const ListWalk w = walk_item_list(m.free_list, &m.free_pos);
  if (w.corrupted) return;  // reported in pass 1
  std::vector<std::pair<uint32_t, char>> odd;
  std::vector<uint8_t> listed(slots, 0);
  for (const Node_ITEM& item : w.items) {
    if (item.id == 0 || item.id > slots) {
      odd.emplace_back(item.id, 'b');
    } else if (listed[item.id - 1] != 0) {
      odd.emplace_back(item.id, 'd');
    } else {
      listed[item.id - 1] = 1;
      if (state[item.id - 1] == 'U') odd.emplace_back(item.id, 'u');
    }
  }
  if (!odd.empty()) {
    // Records in use or listed twice are passed over by the next puts
    // (items taken since the last checkpoint are offered again after a
    // restart); a number out of range is damage.
    mended_at_run_time_ = true;
    for (const auto& [r, kind] : odd) mended_at_run_time_ = mended_at_run_time_ && kind != 'b';
    report(" Inconsistency in FixRec record free-list.\n This will be automatically fixed at "
           "server run-time.\n Inconsistent record numbers (u=in use, d=duplicate, b=bad):\n");
    mended_at_run_time_ = false;
    std::string line;
    for (const auto& [r, kind] : odd) {
      char word[24];
      snprintf(word, sizeof word, " %u%c", r, kind);
      if (line.size() + strlen(word) >= 79) {
        out("%s\n", line.c_str());
        line.clear();
      }
      line += word;
    }
    if (!line.empty()) out("%s\n", line.c_str());
  }
  std::vector<uint32_t> missing;
  for (uint32_t r = 1; r <= slots; ++r)
    if (state[r - 1] == 'D' && listed[r - 1] == 0) missing.push_back(r);
  if (missing.empty()) return;
  report(" Found free records not located in FixRec free-list.\n");
  if (!ask("Fix free-list")) return;
  if (!fixrec_add_free(n, &m, &meta, missing, w)) {
    out(" Cannot write into FixRec free-list.\n");
    return;
  }
  out("FixRec free-list fixed.\n");
}

// Appends {recno, start page of its cluster} items to the record free
// list: into the tail page's room, then into new pages chained behind it.
bool Checker::fixrec_add_free(const NodeInfo& n, FixRec_META* m, std::vector<uint8_t>* meta,
                              const std::vector<uint32_t>& recnos, const ListWalk& w) {
  size_t next = 0;
  auto start_of = [&](uint32_t recno) {
    return n.clusters[(recno - 1) / m->cluster_records].id;
  };
  uint32_t tail = w.pages.empty() ? 0 : w.pages.back();
  Page p;
  if (tail != 0) {
    if (!read_page(tail, &p)) return false;
    Node_ILIST il = Node_DecodeIlist(p.data());
    while (next < recnos.size() && il.last_item < static_cast<uint32_t>(Node_ILIST_NUMITEMS)) {
      Node_PutItem(p.data(), static_cast<int>(il.last_item++),
                   Node_ITEM{recnos[next], start_of(recnos[next])});
      ++il.num_items;
      ++next;
    }
    il.timestamp++;
    Node_EncodeIlist(il, p.data());
    write_page(tail, p);
  }
  while (next < recnos.size()) {
    const Vol_PAGEADDR page = Vol_AllocPage(1, nullptr);
    if (page == 0) return false;
    need_sync_ = true;
    Page q(Vol_PAGESIZE, 0);
    Node_ILIST il;
    Vol_InitHeader(Vol_PAGE_ITEMLIST, page, &il.header);
    il.prev_page = tail;
    while (next < recnos.size() && il.last_item < static_cast<uint32_t>(Node_ILIST_NUMITEMS)) {
      Node_PutItem(q.data(), static_cast<int>(il.last_item++),
                   Node_ITEM{recnos[next], start_of(recnos[next])});
      ++il.num_items;
      ++next;
    }
    Node_EncodeIlist(il, q.data());
    write_page(page, q);
    if (tail != 0) {
      Page t;
      if (!read_page(tail, &t)) return false;
      Node_ILIST th = Node_DecodeIlist(t.data());
      th.next_page = page;
      th.timestamp++;
      Node_EncodeIlist(th, t.data());
      write_page(tail, t);
    } else {
      m->free_list.head = page;
    }
    tail = page;
    m->free_list.tail = page;
    m->free_list.num_pages++;
  }
  m->free_list.timestamp++;
  m->sequence++;
  FixRec_EncodeMeta(*m, meta->data());
  return write_block(n.desc.meta_addr, *meta);
}

// The volume list and size table as the dump prints them; twice -v adds
// every descriptor's fields.
void Checker::verbose_summary() {
  std::string text = VolText_ListHeader();
  for (int id = 0; id < Vol_NumVolumes(); ++id)
    if (Vol_GetRootVol()[id].fhandle != nullptr) text += VolText_ListLine(&Vol_GetRootVol()[id]);
  text += VolText_TableHeader();
  for (int id = 0; id < Vol_NumVolumes(); ++id)
    if (Vol_GetRootVol()[id].fhandle != nullptr) text += VolText_TableRow(&Vol_GetRootVol()[id]);
  io_.out(text);
  if (opt_.verbose < 2) return;
  out("Volume parameters:\n");
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    const VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle == nullptr) continue;
    out("Volume %d %s %s\n", id + 1, VolText_TypeName(v->type), v->path);
    io_.out(VolText_Fields(v));
  }
}

int Checker::run(const std::vector<std::string>& paths, SpaceCheck_RESULT* result) {
  bool write = opt_.write;
  if (write) {
    out("Running in Read/Write mode\n");
    if (opt_.autofix) out("Minor inconsistencies are fixed automatically\n");
  } else {
    out("Running in Read-Only mode\n");
  }
  out("\n");
  std::vector<const char*> argv;
  for (const std::string& p : paths) argv.push_back(p.c_str());
  VOLUME* set = Vol_Open(static_cast<int>(argv.size()), argv.data(), 1);
  if (set == nullptr) {
    err("Unable to open database volume\n");
    err("Vol_Open() failed with error %s\n", error_text());
    err("Unable to open volume\n");
    err("Failure code: %s\n", error_text());
    return 1;
  }
  if (Vol_GetTlogVol() == nullptr) err("Warning: No LOG volume present.\n");
  const bool clean = Vol_IsConsistent() != 0;
  if (!clean) {
    err("Warning: Database environment has not been shutdown cleanly.\n");
    if (write) {
      // Recovery would replay over anything fixed from these pages.
      err("         - switching back to Read-Only mode.\n"
          "         Please restart the database server once in order to recover\n"
          "         committed transactions, then reapply this command.\n");
      write = false;
    }
  }
  if (Vol_IsRedirected() && write) {
    err("Warning: Database environment has been shutdown during on-line backup\n"
        "         - switching back to Read-Only mode.\n"
        "         Please restart the database server once in order to recover\n"
        "         from on-line backup mode, then reapply this command.\n");
    write = false;
  }
  SpaceCheck_OPTIONS eff = opt_;
  eff.write = write;
  Checker inner(eff, io_);
  Vol_SetSyncMode(opt_.sync_mode);
  if (opt_.verbose > 0) inner.verbose_summary();

  // The table is sized from the pages in use, so that it never degrades
  // into long chains on a large set.
  uint64_t used = 0;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    const VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle != nullptr) used += v->curr_size - v->free_size;
  }
  inner.table_.reserve(static_cast<size_t>(used) + 16);

  inner.out("\nPASS %d - verifying block allocation integrity\n\n", 1);
  inner.problem_ = "allocation inconsistency detected";
  inner.claim_fixed_pages();
  inner.read_roots();
  for (size_t i = 0; i < inner.nodes_.size(); ++i) inner.pass1_node(static_cast<int>(i));
  if (opt_.leaks && clean && !Vol_IsRedirected()) inner.check_unclaimed();
  inner.out("\nPASS %d - verifying node integrity\n\n", 2);
  for (size_t i = 0; i < inner.nodes_.size(); ++i) inner.pass2_node(static_cast<int>(i));
  int status = 0;
  if (inner.need_sync_) {
    if (opt_.verbose > 0) inner.out("Syncing volume ...\n");
    // Whatever the sync mode, the fixes are on disk before "done." says so;
    // a flush that fails is the tool's failure, not a finding.
    Vol_Sync(Vol_TIO_SYNC);
    for (int id = 0; id < Vol_NumVolumes(); ++id) {
      VOLUME* v = &Vol_GetRootVol()[id];
      if (v->fhandle == nullptr) continue;
      if (const int e = v->fhandle->datasync(); e != 0) {
        err("Unable to sync volume %s\n", v->path);
        err("Failure code: %s\n", strerror(e));
        status = 1;
      }
    }
  }
  if (status == 0) inner.out("\ndone.\n\n");
  // Scripts learn from the status whether the check reported anything.
  if (status == 0 && inner.problems_ > 0) status = SpaceCheck_PROBLEMS_FOUND;
  Vol_Close();
  Vol_Free();
  if (result != nullptr) {
    result->problems = inner.problems_;
    result->mended_at_run_time = inner.deferred_;
    result->fixes = inner.fixes_;
  }
  return status;
}

}  // namespace

int SpaceCheck_Run(const std::vector<std::string>& paths, const SpaceCheck_OPTIONS& options,
                   const SpaceCheck_IO& io, SpaceCheck_RESULT* result) {
  // Without write mode nothing may be written, the open included (an older
  // release is brought up to date in memory only).
  Vol_SetReadOnly(options.write ? 0 : 1);
  Checker checker(options, io);
  const int rc = checker.run(paths, result);
  Vol_SetReadOnly(0);
  return rc;
}
