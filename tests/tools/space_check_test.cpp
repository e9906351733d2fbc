// The consistency check in process on a set the utilities make (catalog
// pools, system pools, the log) with a fixed-record file and a B-tree made
// through their subsystems: a clean set passes; a table of damage
// done to the files with the lines each must produce, then the repair in
// write mode and a second run that finds the set clean (or, where nothing
// can be fixed, the files unchanged); answers at end of input, -y without
// -w and read-only runs on sets not shut down cleanly write nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "index/btree.h"
#include "index/btree_format.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/node_format.h"
#include "storage/pool_format.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "storage/volume_format.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"
#include "tools/space_check.h"
#include "tools/volume_create.h"

namespace {

using testsupport::TempDir;

struct CheckRun {
  int status = -1;
  std::string out;
  std::string err;
  SpaceCheck_RESULT result;
  int questions = 0;
};

constexpr uint32_t kRecordSize = 24;
constexpr uint32_t kSlotSize = kRecordSize + 1;

// A fixed-record file of five records (the rest of its cluster waits on
// the record free list) and a B-tree big enough to split, made through
// their subsystems on the closed set of paths, which is closed clean again.
void add_fixrec_and_btree(const std::vector<std::string>& paths) {
  std::vector<const char*> p;
  for (const std::string& path : paths) p.push_back(path.c_str());
  ASSERT_NE(Vol_OpenSet(static_cast<int>(p.size()), p.data()), nullptr);
  ASSERT_EQ(testsupport::start_server_storage(), 0);
  Node* tx = Tlog_Create();
  ASSERT_NE(tx, nullptr);
  ASSERT_NE(testsupport::add_record_file(tx, kRecordSize, 5), nullptr);
  // A server's transaction nodes are gone after a clean shutdown.
  ASSERT_EQ(Tlog_Destroy(tx), 0);
  Node* tree = btree_Create(0, nullptr, nullptr);
  ASSERT_NE(tree, nullptr);
  btree_CTX ctx;
  btree_HANDLE* h = btree_OpenNode(tree, &ctx, 0);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 600; ++i) {
    char key[40];
    snprintf(key, sizeof key, "key %05d of the consistency check", i);
    const std::string data(40, static_cast<char>('a' + i % 26));
    btree_DBT k{key, static_cast<uint32_t>(strlen(key))};
    btree_DBT d{const_cast<char*>(data.data()), static_cast<uint32_t>(data.size())};
    ASSERT_EQ(btree_Put(h, &k, &d, R_NOOVERWRITE), 0) << i;
  }
  btree_CloseNode(h);
  ASSERT_EQ(Tlog_Checkpoint("set-up"), 0);
  buf_Sync(nullptr, 0);
  Vol_SyncOpenVolumes(Vol_TIO_SYNC);
  Vol_SetConsistent();
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

class SpaceCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(testsupport::write_server_volumes(root()), "");
    add_fixrec_and_btree(paths());
    pristine_root = testsupport::read_file(root());
    pristine_log = testsupport::read_file(log());
  }
  std::string root() const { return here + "/root.vol"; }
  std::string log() const { return here + "/log.vol"; }
  // The set as SetUp made it, again (making it anew for every row would
  // take most of the table's time).
  void fresh(const std::string&) {
    for (const auto& [path, bytes] : {std::pair{root(), &pristine_root}, {log(), &pristine_log}}) {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
      ASSERT_TRUE(out.good()) << path;
    }
    ASSERT_TRUE(files() == pristine_root + pristine_log);
  }
  std::vector<std::string> paths() const { return {root(), log()}; }

  // One run; answers are the input lines (none left: end of input).
  CheckRun check(SpaceCheck_OPTIONS opt, std::deque<std::string> answers = {}) {
    CheckRun r;
    SpaceCheck_IO io;
    io.out = [&](const std::string& s) { r.out += s; };
    io.err = [&](const std::string& s) {
      r.err += s;
      if (s.find("([y]/n) ? ") != std::string::npos) ++r.questions;
    };
    io.read_line = [&](std::string* line) {
      if (answers.empty()) return false;
      *line = answers.front();
      answers.pop_front();
      return true;
    };
    r.status = SpaceCheck_Run(paths(), opt, io, &r.result);
    return r;
  }
  CheckRun read_only() { return check(SpaceCheck_OPTIONS{}); }

  // --- Reading and damaging the files ---------------------------------------------------
  std::vector<uint8_t> page(uint32_t n) {
    std::vector<uint8_t> p;
    EXPECT_EQ(testsupport::read_page(root(), n, &p), 0);
    return p;
  }
  void put(uint32_t n, const std::vector<uint8_t>& p) {
    ASSERT_EQ(testsupport::write_page(root(), n, p), 0);
  }
  VOLUME descriptor() {
    VOLUME v;
    Vol_DecodeDescriptor(page(0).data(), &v);
    return v;
  }
  // Every node of the data root: its node page and slot.
  struct Slot {
    uint32_t page;
    int slot;
    Node_DESC desc;
  };
  std::vector<Slot> nodes() {
    std::vector<Slot> all;
    for (uint32_t pg = descriptor().first_page; pg != 0;) {
      const std::vector<uint8_t> p = page(PAGE_NUMBER(pg));
      for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
        const Node_DESC d = Node_DecodeDesc(p.data() + Node_SlotOffset(i));
        if (d.node_id != 0) all.push_back({pg, i, d});
      }
      pg = Node_DecodePageHead(p.data()).next_page;
    }
    return all;
  }
  // The first pool node other than the system pool with a block list.
  Slot pool(int skip = 0) {
    for (const Slot& s : nodes())
      if (((s.desc.flags >> Node_POOLNODE) & 1u) != 0 && s.desc.node_id != SysPool_NODEID &&
          s.desc.ulist.head != 0 && skip-- == 0)
        return s;
    ADD_FAILURE() << "no pool node";
    return {};
  }
  void edit_desc(const Slot& s, const std::function<void(Node_DESC&)>& edit) {
    std::vector<uint8_t> p = page(PAGE_NUMBER(s.page));
    Node_DESC d = Node_DecodeDesc(p.data() + Node_SlotOffset(s.slot));
    edit(d);
    Node_EncodeDesc(d, p.data() + Node_SlotOffset(s.slot));
    put(PAGE_NUMBER(s.page), p);
  }
  // The first item of a node's block list, and its change.
  Node_ITEM first_item(const Slot& s) {
    const std::vector<uint8_t> p = page(PAGE_NUMBER(s.desc.ulist.head));
    return Node_GetItem(p.data(), static_cast<int>(Node_DecodeIlist(p.data()).first_item));
  }
  void edit_list_page(const Slot& s, const std::function<void(Node_ILIST&, uint8_t*)>& edit) {
    std::vector<uint8_t> p = page(PAGE_NUMBER(s.desc.ulist.head));
    Node_ILIST h = Node_DecodeIlist(p.data());
    edit(h, p.data());
    Node_EncodeIlist(h, p.data());
    put(PAGE_NUMBER(s.desc.ulist.head), p);
  }
  void set_first_item(const Slot& s, Node_ITEM item) {
    edit_list_page(s, [&](Node_ILIST& h, uint8_t* p) {
      Node_PutItem(p, static_cast<int>(h.first_item), item);
    });
  }
  // Marks a page of the root free in its bitmap (the first free-list page).
  void mark_free(uint32_t n) {
    std::vector<uint8_t> p = page(1);
    uint8_t* word = p.data() + Vol_FLIST_OVERHEAD + 4 * (n / 32);
    le_put32(word, le_get32(word) | (1u << (n % 32)));
    put(1, p);
  }

  // Marks a page of the root in use in its bitmap.
  void mark_used(uint32_t n) {
    std::vector<uint8_t> p = page(1);
    uint8_t* word = p.data() + Vol_FLIST_OVERHEAD + 4 * (n / 32);
    le_put32(word, le_get32(word) & ~(1u << (n % 32)));
    put(1, p);
  }

  std::string files() { return testsupport::read_file(root()) + testsupport::read_file(log()); }

  TempDir dir;
  std::string here = dir.path();
  std::string pristine_root, pristine_log;
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(SpaceCheck, ASetMadeByTheUtilitiesIsCleanAndLeftUnchanged) {
  const std::string before = files();
  const CheckRun r = read_only();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Running in Read-Only mode\n\n"
            "\nPASS 1 - verifying block allocation integrity\n\n"
            "\nPASS 2 - verifying node integrity\n\n"
            "\ndone.\n\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(files() == before);
}

// One row of damage: what it does to the files, the lines the read-only
// run prints, and what a write run with the options given does.
struct Damage {
  const char* name;
  std::function<void(SpaceCheck*)> apply;
  std::vector<std::string> reported;
  bool fixable;             // a write run repairs it and a second run is clean
  SpaceCheck_OPTIONS fix;   // the write run's options
};

}  // namespace

// Friend access is not needed: the rows use the fixture's helpers through
// a small subclass.
namespace {

class SpaceCheckTable : public SpaceCheck {
 public:
  void damage_free_in_bitmap() {
    const Slot s = pool();
    mark_free(PAGE_NUMBER(first_item(s).id));
  }
  void damage_shared_page() {
    const Slot a = pool(0);
    const Slot b = pool(1);
    set_first_item(b, first_item(a));
  }
  void damage_cluster_over_free_list() { set_first_item(pool(), Node_ITEM{1, 2}); }
  void damage_item_beyond_size() { set_first_item(pool(), Node_ITEM{descriptor().curr_size + 5, 1}); }
  void damage_count(uint32_t count) {
    const Slot s = pool();
    set_first_item(s, Node_ITEM{first_item(s).id, count});
  }
  void damage_tail() {
    edit_desc(pool(), [](Node_DESC& d) { d.ulist.tail = 77; });
  }
  void damage_num_pages() {
    edit_desc(pool(), [](Node_DESC& d) { d.ulist.num_pages = 3; });
  }
  void damage_header() {
    edit_list_page(pool(), [](Node_ILIST& h, uint8_t*) { h.header.type = 9; });
  }
  void damage_cycle() {
    const Slot s = pool();
    edit_list_page(s, [&](Node_ILIST& h, uint8_t*) { h.next_page = s.desc.ulist.head; });
  }
  std::vector<uint8_t> page_of(uint32_t n) { return page(n); }

  // --- The fixed-record file and the B-tree -------------------------------------------
  Slot node_of_type(uint16_t type) {
    for (const Slot& s : nodes())
      if (s.desc.node_type == type) return s;
    ADD_FAILURE() << "no node of type " << type;
    return {};
  }
  Slot fixrec() { return node_of_type(NodeType_FR); }
  Slot btree() { return node_of_type(NodeType_BT); }
  // The file's meta data, edited in its pool block (small: in one page).
  void edit_fixrec_meta(const std::function<void(FixRec_META&)>& edit) {
    const Node_ADDR a = fixrec().desc.meta_addr;
    std::vector<uint8_t> p = page(PAGE_NUMBER(a.cluster));
    uint8_t* at = p.data() + a.offset + Pool_HEADER_SIZE;
    FixRec_META m;
    ASSERT_EQ(FixRec_DecodeMeta(at, a.size, &m), 0);
    edit(m);
    FixRec_EncodeMeta(m, at);
    put(PAGE_NUMBER(a.cluster), p);
  }
  FixRec_META fixrec_meta() {
    FixRec_META m;
    edit_fixrec_meta([&](FixRec_META& x) { m = x; });
    return m;
  }
  void damage_slot_byte() {
    const uint32_t data = PAGE_NUMBER(first_item(fixrec()).id);
    std::vector<uint8_t> p = page(data);
    p[2 * kSlotSize] = 'X';  // record 3
    put(data, p);
  }
  void damage_fixrec_counts() {
    edit_fixrec_meta([](FixRec_META& m) {
      m.num_records = 7;
      m.last_recno = 9;
    });
  }
  // The record free list's (only) page, and its change.
  void edit_free_list_page(const std::function<void(Node_ILIST&, std::vector<uint8_t>&)>& edit) {
    const uint32_t n = PAGE_NUMBER(fixrec_meta().free_list.head);
    std::vector<uint8_t> p = page(n);
    Node_ILIST h = Node_DecodeIlist(p.data());
    edit(h, p);
    Node_EncodeIlist(h, p.data());
    put(n, p);
  }
  // More records per cluster than its pages hold: read as they stand, the
  // slots would run past the cluster.
  void damage_fixrec_sizes() {
    edit_fixrec_meta([](FixRec_META& m) { m.cluster_records *= 4; });
  }
  void damage_free_slot_unlisted() {
    edit_free_list_page([](Node_ILIST& h, std::vector<uint8_t>&) {
      --h.last_item;
      --h.num_items;
    });
  }
  void damage_free_list_tail() {
    edit_fixrec_meta([](FixRec_META& m) { m.free_list.tail = 77; });
  }
  void damage_free_list_count() {
    edit_fixrec_meta([](FixRec_META& m) { m.free_list.num_pages = 3; });
  }
  void damage_free_list_page() {
    edit_free_list_page([](Node_ILIST& h, std::vector<uint8_t>&) { h.header.type = 9; });
  }
  // The B-tree's n-th page, and its change.
  uint32_t btree_page(int n) {
    const Slot s = btree();
    const std::vector<uint8_t> p = page(PAGE_NUMBER(s.desc.ulist.head));
    return Node_GetItem(p.data(), static_cast<int>(Node_DecodeIlist(p.data()).first_item) + n).id;
  }
  void edit_btree_page(int n, const std::function<void(btree_PAGEHDR&)>& edit) {
    const uint32_t at = PAGE_NUMBER(btree_page(n));
    std::vector<uint8_t> p = page(at);
    btree_PAGEHDR h = btree_DecodePageHeader(p.data());
    edit(h);
    btree_EncodePageHeader(h, p.data());
    put(at, p);
  }
  void damage_btree_pgno() {
    edit_btree_page(0, [](btree_PAGEHDR& h) { h.pgno = 5; });
  }
  // Two findings in one tree: the reload advice still comes once.
  void damage_btree_type_and_link() {
    edit_btree_page(0, [](btree_PAGEHDR& h) { h.flags = 7; });
    edit_btree_page(1, [](btree_PAGEHDR& h) { h.next_pgno = 1; });
  }
  void damage_btree_free_space() {
    edit_btree_page(0, [](btree_PAGEHDR& h) {
      h.upper = 10;
      h.lower = 20;
    });
  }
  void damage_btree_foreign_page() {
    const Slot t = btree();
    edit_list_page(t, [&](Node_ILIST& h, uint8_t* p) {
      Node_PutItem(p, static_cast<int>(h.first_item), Node_ITEM{first_item(pool()).id, 1});
    });
  }
  // A pool's first cluster listed as a 2-page cluster over two free pages.
  void damage_two_page_cluster_free() {
    const std::vector<uint8_t> bits = page(1);
    auto is_free = [&](uint32_t n) {
      return (le_get32(bits.data() + Vol_FLIST_OVERHEAD + 4 * (n / 32)) >> (n % 32)) & 1u;
    };
    uint32_t n = 2;
    while (!(is_free(n) && is_free(n + 1))) ++n;
    set_first_item(pool(), Node_ITEM{Vol_PageAddr(0, n), 2});
  }
  void run_rows(size_t first, size_t last);
  // Two free pages at the volume's end marked in use, as a free lost to a
  // crash leaves them.
  // (Page 319, the descriptor's copy, ends a volume of 320 pages.)
  void damage_unclaimed_pages() {
    const uint32_t last = descriptor().curr_size - 2;
    mark_used(last - 1);
    mark_used(last);
  }
  void damage_unknown_type() {
    edit_desc(pool(), [](Node_DESC& d) {
      d.flags &= ~(1u << Node_POOLNODE);
      d.node_type = Node_Type('Z', 'Q');
    });
  }
};

SpaceCheck_OPTIONS write_opts(bool autofix, bool yes) {
  SpaceCheck_OPTIONS o;
  o.write = true;
  o.autofix = autofix;
  o.yes = yes;
  return o;
}

std::vector<Damage> damage_rows() {
  using T = SpaceCheckTable;
  const std::string advice = "  This can be fixed safely by re-starting spacecheck in write mode.\n";
  const std::string never = "  This problem cannot be fixed by spacecheck.\n";
  const std::vector<Damage> rows = {
      {"claimed page free in its bitmap", [](SpaceCheck* t) { static_cast<T*>(t)->damage_free_in_bitmap(); },
       {"allocation inconsistency detected\n", " NodeBlockListContent: Page 0:", " not marked in use\n",
        advice},
       true, write_opts(true, false)},
      {"two nodes claim a page", [](SpaceCheck* t) { static_cast<T*>(t)->damage_shared_page(); },
       {" NodeBlockListContent: Page 0:", " used by node #", " (NodeBlockListContent)\n"}, false,
       write_opts(true, true)},
      {"a cluster over a free-list page",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_cluster_over_free_list(); },
       {" NodeBlockListContent: Page 0:1 used by node - (VolumeFreeList)\n",
        "  Node -: Cluster of 1 pages starting at 0:1\n"},
       false, write_opts(true, true)},
      {"item beyond the volume", [](SpaceCheck* t) { static_cast<T*>(t)->damage_item_beyond_size(); },
       {" NodeBlockListContent: Reference to invalid page 0:"}, false, write_opts(true, true)},
      {"cluster count 0", [](SpaceCheck* t) { static_cast<T*>(t)->damage_count(0); },
       {" NodeBlockListContent: Reference to invalid page 0:"}, false, write_opts(true, true)},
      {"cluster count 9", [](SpaceCheck* t) { static_cast<T*>(t)->damage_count(9); },
       {" NodeBlockListContent: Reference to invalid page 0:"}, false, write_opts(true, true)},
      {"wrong tail", [](SpaceCheck* t) { static_cast<T*>(t)->damage_tail(); },
       {"block-list inconsistency detected\n", " ulist.tail points to page 0:77 (real last page of block-list is 0:",
        never},
       false, write_opts(true, true)},
      {"wrong page count", [](SpaceCheck* t) { static_cast<T*>(t)->damage_num_pages(); },
       {" ulist.num_pages is 3 (real number of pages in block-list is 1)\n", never}, false,
       write_opts(true, true)},
      {"bad list page header", [](SpaceCheck* t) { static_cast<T*>(t)->damage_header(); },
       {" NodeBlockList corrupted. curr_page = 0x", never}, false, write_opts(true, true)},
      {"cyclic block list", [](SpaceCheck* t) { static_cast<T*>(t)->damage_cycle(); },
       {" NodeBlockList corrupted. curr_page = 0x", never}, false, write_opts(true, true)},
      {"node of unknown type", [](SpaceCheck* t) { static_cast<T*>(t)->damage_unknown_type(); },
       {" Unknown node type 0x5a51\n", "\nPASS 2 - verifying node integrity\n"}, false,
       write_opts(true, true)},
      {"FixRec slot byte X", [](SpaceCheck* t) { static_cast<T*>(t)->damage_slot_byte(); },
       {"FixRec inconsistency detected\n", " FixRec data record #3 is corrupted.\n Located in page ",
        " at offset 50.\n", " FixRec contains 1 corrupted records.\n"},
       true, write_opts(false, true)},
      {"FixRec counts", [](SpaceCheck* t) { static_cast<T*>(t)->damage_fixrec_counts(); },
       {" Inconsistent FixRec meta information:\n", " last_recno=9, should be 5\n",
        " num_records=7, should be 5\n"},
       true, write_opts(true, false)},
      {"FixRec meta sizes that disagree",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_fixrec_sizes(); },
       {"FixRec inconsistency detected\n",
        " This is expected to be a FixRec\n but the FixRec meta information header is invalid.\n"
        " Node check cannot be performed.\n"},
       false, write_opts(true, true)},
      {"free slot not on the record free list",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_free_slot_unlisted(); },
       {" Found free records not located in FixRec free-list.\n"}, true, write_opts(false, true)},
      {"record free-list tail", [](SpaceCheck* t) { static_cast<T*>(t)->damage_free_list_tail(); },
       {" flist.tail points to page 0:77 (real last page of free-list is 0:"}, true,
       write_opts(true, false)},
      {"record free-list count", [](SpaceCheck* t) { static_cast<T*>(t)->damage_free_list_count(); },
       {" flist.num_pages is 3 (real number of pages in free-list is 1)\n"}, true,
       write_opts(true, false)},
      {"unreadable record free-list page",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_free_list_page(); },
       {" FixRec free-list corrupted. curr_page = 0x"}, true, write_opts(false, true)},
      {"B-tree page signature", [](SpaceCheck* t) { static_cast<T*>(t)->damage_btree_pgno(); },
       {"Btree inconsistency detected\n", " has been corrupted. Bad page signature (pgno=0x5)\n",
        never, "  You need to reload the database this index belongs to.\n"},
       false, write_opts(true, true)},
      {"B-tree page type and link",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_btree_type_and_link(); },
       {" has been corrupted. Bad page type (0x7)\n", "  Next link points to bad page 0:1 (nextpg=0x1)\n"},
       false, write_opts(true, true)},
      {"B-tree free space", [](SpaceCheck* t) { static_cast<T*>(t)->damage_btree_free_space(); },
       {"page is -10\n"}, false, write_opts(true, true)},
      {"B-tree page of another node",
       [](SpaceCheck* t) { static_cast<T*>(t)->damage_btree_foreign_page(); },
       {" (NodeBlockListContent)\n", "Btree inconsistency detected\n", " owned by node #"}, false,
       write_opts(true, true)},
      {"2-page cluster partly free", [](SpaceCheck* t) { static_cast<T*>(t)->damage_two_page_cluster_free(); },
       {" NodeBlockListContent: Cluster at 0:", " with 2 pages not marked in use\n", advice}, true,
       write_opts(true, false)},
  };
  return rows;
}

// Rows first to last - 1 of the table (two tests, to keep each short).
void SpaceCheckTable::run_rows(size_t first, size_t last) {
  const std::vector<Damage> rows = damage_rows();
  ASSERT_LE(last, rows.size());
  for (size_t i = first; i < last; ++i) {
    const Damage& row = rows[i];
    SCOPED_TRACE(row.name);
    fresh(row.name);
    row.apply(this);
    const std::string damaged = files();
    const CheckRun r = read_only();
    EXPECT_EQ(r.status, SpaceCheck_PROBLEMS_FOUND);
    for (const std::string& line : row.reported) EXPECT_TRUE(has(r.out, line)) << r.out;
    EXPECT_TRUE(has(r.out, "\ndone.\n\n")) << r.out;
    EXPECT_GT(r.result.problems, 0);
    EXPECT_TRUE(files() == damaged) << "a read-only run wrote";
    // The reload advice comes once per tree, whatever it found.
    size_t advice_lines = 0;
    for (size_t at = r.out.find("You need to reload"); at != std::string::npos;
         at = r.out.find("You need to reload", at + 1))
      ++advice_lines;
    EXPECT_LE(advice_lines, 1u) << r.out;
    const CheckRun w = check(row.fix);
    EXPECT_EQ(w.status, SpaceCheck_PROBLEMS_FOUND);
    if (row.fixable) {
      EXPECT_GT(w.result.fixes, 0) << w.out;
      EXPECT_EQ(w.questions, 0) << "-a asks no question for a safe fix";
      // (A list dropped because a page of it cannot be read keeps that
      // page in use, which the next run reports as claimed by no node:
      // the test of that case looks at it.)
      SpaceCheck_OPTIONS without_leaks;
      without_leaks.leaks = false;
      const CheckRun again = check(without_leaks);
      EXPECT_EQ(again.result.problems, 0) << again.out;
      EXPECT_EQ(again.status, 0) << again.out;
    } else {
      EXPECT_EQ(w.result.fixes, 0) << w.out;
      EXPECT_TRUE(files() == damaged) << "what cannot be fixed must not be touched";
    }
  }
}

constexpr size_t kAllocationRows = 11;  // those before the fixed-record rows

TEST_F(SpaceCheckTable, EachAllocationDamageIsReportedAndRepairedOnlyWhereThatIsSafe) {
  run_rows(0, kAllocationRows);
}

TEST_F(SpaceCheckTable, EachNodeDamageIsReportedAndRepairedOnlyWhereThatIsSafe) {
  run_rows(kAllocationRows, damage_rows().size());
}

TEST_F(SpaceCheckTable, AQuestionAtEndOfInputAnswersNoAndNothingIsWritten) {
  damage_free_in_bitmap();
  const std::string damaged = files();
  const CheckRun r = check(write_opts(false, false));
  EXPECT_EQ(r.questions, 1) << r.err;
  EXPECT_TRUE(has(r.err, "Fix problem (safe) ([y]/n) ? ")) << r.err;
  EXPECT_EQ(r.result.fixes, 0);
  EXPECT_FALSE(has(r.out, "Page(s) marked in use.")) << r.out;
  EXPECT_TRUE(files() == damaged);
  // An answer "n" is no as well; Enter is yes.
  EXPECT_EQ(check(write_opts(false, false), {"n"}).result.fixes, 0);
  EXPECT_TRUE(files() == damaged);
  const CheckRun yes = check(write_opts(false, false), {""});
  EXPECT_EQ(yes.result.fixes, 1) << yes.out;
  EXPECT_EQ(read_only().result.problems, 0);
}

TEST_F(SpaceCheckTable, YesWithoutWriteModeWritesNothing) {
  damage_free_in_bitmap();
  const std::string damaged = files();
  SpaceCheck_OPTIONS o;
  o.yes = true;
  o.autofix = true;
  const CheckRun r = check(o);
  EXPECT_TRUE(has(r.out, "Running in Read-Only mode\n")) << r.out;
  EXPECT_TRUE(has(r.out, "re-starting spacecheck in write mode")) << r.out;
  EXPECT_EQ(r.result.fixes, 0);
  EXPECT_TRUE(files() == damaged);
}

TEST_F(SpaceCheckTable, ASetNotShutDownCleanlyIsCheckedReadOnlyEvenInWriteMode) {
  damage_free_in_bitmap();
  ASSERT_EQ(testsupport::patch_descriptor(root(), 0,
                                          [](VOLUME& v) { Vol_ClearFlag(Vol_CONSISTENT, &v.header); }),
            0);
  ASSERT_EQ(testsupport::patch_descriptor(root(), 1,
                                          [](VOLUME& v) { Vol_ClearFlag(Vol_CONSISTENT, &v.header); }),
            0);
  const std::string damaged = files();
  const CheckRun r = check(write_opts(true, true));
  EXPECT_TRUE(has(r.err, "Warning: Database environment has not been shutdown cleanly.\n")) << r.err;
  EXPECT_TRUE(has(r.err, "switching back to Read-Only mode")) << r.err;
  EXPECT_TRUE(has(r.out, "re-starting spacecheck in write mode")) << r.out;
  EXPECT_EQ(r.result.fixes, 0);
  EXPECT_TRUE(files() == damaged);
}

TEST_F(SpaceCheckTable, AnOlderReleaseIsUpgradedInMemoryOnlyWithoutWriteMode) {
  ASSERT_EQ(testsupport::patch_descriptor(root(), 0, [](VOLUME& v) { v.release = 29; }), 0);
  ASSERT_EQ(testsupport::patch_descriptor(root(), 1, [](VOLUME& v) { v.release = 29; }), 0);
  const std::string old = files();
  const CheckRun r = read_only();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(files() == old);
}

}  // namespace

namespace {

bool page_marked_used(SpaceCheckTable* t, uint32_t n) {
  const std::vector<uint8_t> bits = t->page_of(1);
  return ((le_get32(bits.data() + Vol_FLIST_OVERHEAD + 4 * (n / 32)) >> (n % 32)) & 1u) == 0;
}

// The deleted list's unreadable page may be another node's: it stays in
// use; the free records the list held are listed again on new pages. The
// next run finds the page claimed by no node and frees it in write mode.
TEST_F(SpaceCheckTable, AnUnreadableRecordFreeListIsDeletedWithoutFreeingItsBadPage) {
  const uint32_t bad = PAGE_NUMBER(fixrec_meta().free_list.head);
  damage_free_list_page();
  const CheckRun w = check(write_opts(false, true));
  EXPECT_TRUE(has(w.out, "FixRec free-list deleted.\n")) << w.out;
  EXPECT_TRUE(has(w.out, "FixRec free-list fixed.\n")) << w.out;
  EXPECT_TRUE(page_marked_used(this, bad));
  EXPECT_NE(PAGE_NUMBER(fixrec_meta().free_list.head), bad);
  const CheckRun r = read_only();
  EXPECT_EQ(r.result.problems, 1) << r.out;
  EXPECT_TRUE(has(r.out, " Page 0:" + std::to_string(bad) +
                             " marked in use but claimed by no node\n"))
      << r.out;
  check(write_opts(true, false));
  EXPECT_FALSE(page_marked_used(this, bad));
  EXPECT_EQ(read_only().result.problems, 0);
}

// The fixes are flushed before "done." whatever the sync mode: a power
// loss right after the run keeps them. A flush that fails is the tool's
// failure (status 1, no "done.").
TEST_F(SpaceCheckTable, FixesAreFlushedBeforeDoneAndAFailedFlushFailsTheRun) {
  damage_free_in_bitmap();
  struct Case {
    const char* name;
    bool flush_fails;
  };
  for (const Case& c : {Case{"flushed", false}, Case{"flush fails", true}}) {
    SCOPED_TRACE(c.name);
    platform::FaultFileSystem disk;
    for (const std::string& path : paths()) {
      const std::string bytes = testsupport::read_file(path);
      disk.put_file(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    platform::set_file_system(&disk);
    SpaceCheck_OPTIONS o = write_opts(true, false);
    o.sync_mode = 0;
    o.verbose = 1;
    if (c.flush_fails) disk.fail_flush(1, EIO);
    const CheckRun w = check(o);
    disk.lose_power(platform::PowerLoss::DropUnflushed);
    const CheckRun again = read_only();
    platform::set_file_system(nullptr);
    EXPECT_GT(w.result.fixes, 0) << w.out;
    if (c.flush_fails) {
      EXPECT_EQ(w.status, 1);
      EXPECT_TRUE(has(w.err, "Unable to sync volume ")) << w.err;
      EXPECT_FALSE(has(w.out, "done.")) << w.out;
    } else {
      EXPECT_EQ(w.status, SpaceCheck_PROBLEMS_FOUND) << w.err;
      const size_t synced = w.out.find("Syncing volume ...\n");
      ASSERT_NE(synced, std::string::npos) << w.out;
      EXPECT_LT(synced, w.out.find("\ndone.\n\n")) << w.out;
      EXPECT_EQ(again.result.problems, 0) << again.out;
    }
  }
}

// A record free list that lists a record in use is the server's to pass
// over as it runs; a number out of range is damage. The crash tests fail
// on the second only.
TEST_F(SpaceCheckTable, ARecordInUseOnTheFreeListIsMendedAtRunTimeABadNumberIsNot) {
  struct Case {
    const char* name;
    uint32_t recno;
    const char* line;
    int mended;
  };
  for (const Case& c : {Case{"in use", 1, " 1u\n", 1}, Case{"out of range", 100000, " 100000b\n", 0}}) {
    SCOPED_TRACE(c.name);
    fresh(c.name);
    edit_free_list_page([&](Node_ILIST& h, std::vector<uint8_t>& p) {
      const Node_ITEM first = Node_GetItem(p.data(), static_cast<int>(h.first_item));
      Node_PutItem(p.data(), static_cast<int>(h.last_item++), Node_ITEM{c.recno, first.count});
      ++h.num_items;
    });
    const CheckRun r = read_only();
    EXPECT_TRUE(has(r.out, " Inconsistency in FixRec record free-list.\n")) << r.out;
    EXPECT_TRUE(has(r.out, c.line)) << r.out;
    EXPECT_EQ(r.result.problems, 1) << r.out;
    EXPECT_EQ(r.status, SpaceCheck_PROBLEMS_FOUND);
    EXPECT_EQ(r.result.mended_at_run_time, c.mended) << r.out;
  }
}

// A corrupted slot becomes a free one, and the counts follow.
TEST_F(SpaceCheckTable, ACorruptedRecordIsDeletedAndTheCountsRecomputed) {
  damage_slot_byte();
  const CheckRun w = check(write_opts(false, true));
  EXPECT_TRUE(has(w.out, " These records have been deleted.\n")) << w.out;
  EXPECT_EQ(page(PAGE_NUMBER(first_item(fixrec()).id))[2 * kSlotSize], FixRec_DELETED);
  EXPECT_EQ(fixrec_meta().num_records, 4u);
  EXPECT_EQ(read_only().result.problems, 0);
}

// Pages in use that no node claims, as a free lost to a crash leaves them:
// reported as runs with their total, freed in write mode (-a), and gone
// from the next run's report.
TEST_F(SpaceCheckTable, PagesInUseThatNoNodeClaimsAreReportedAndFreed) {
  damage_unclaimed_pages();
  const uint32_t last = descriptor().curr_size - 2;
  SpaceCheck_OPTIONS opt;
  opt.leaks = true;
  const std::string damaged = files();
  CheckRun r = check(opt);
  EXPECT_EQ(r.status, SpaceCheck_PROBLEMS_FOUND);
  const std::string run = " Pages 0:" + std::to_string(last - 1) + " to 0:" +
                          std::to_string(last) + " (2 pages) marked in use but claimed by no node\n";
  EXPECT_TRUE(has(r.out, "Node - - allocation inconsistency detected\n")) << r.out;
  EXPECT_TRUE(has(r.out, run)) << r.out;
  EXPECT_TRUE(has(r.out, " run(s) marked in use but claimed by no node\n")) << r.out;
  EXPECT_TRUE(has(r.out, "  This can be fixed safely by re-starting spacecheck in write mode.\n"))
      << r.out;
  EXPECT_TRUE(files() == damaged) << "a read-only run wrote";
  opt.write = true;
  opt.autofix = true;
  const CheckRun w = check(opt);
  EXPECT_EQ(w.status, SpaceCheck_PROBLEMS_FOUND);
  EXPECT_GT(w.result.fixes, 0) << w.out;
  EXPECT_EQ(w.questions, 0);
  EXPECT_TRUE(has(w.out, "Page(s) marked free.\n")) << w.out;
  opt.write = false;
  opt.autofix = false;
  r = check(opt);
  EXPECT_FALSE(has(r.out, "claimed by no node")) << r.out;
  EXPECT_EQ(r.result.problems, 0) << r.out;
  EXPECT_EQ(r.status, 0);
}

// A list that cannot be read whole may hide claims: nothing is called a
// leak then, and nothing is freed.
TEST_F(SpaceCheckTable, NoPageIsCalledALeakWhileAListCannotBeRead) {
  damage_unclaimed_pages();
  damage_cycle();
  SpaceCheck_OPTIONS opt = write_opts(true, true);
  opt.leaks = true;
  const CheckRun w = check(opt);
  EXPECT_FALSE(has(w.out, "claimed by no node")) << w.out;
  EXPECT_FALSE(has(w.out, "Page(s) marked free.\n")) << w.out;
}

}  // namespace
