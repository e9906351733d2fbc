// spaceinfo as a process: its usage errors and refusals, the default
// table, the constants, the descriptor fields of each volume kind, the
// node tables and the records, one LOG volume alone with -f, a damaged
// node page chain, and that no run changes a byte of any file (also on a
// set not shut down cleanly and on an older release).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "index/btree.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/node_format.h"
#include "storage/syspool.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"
#include "tools/cfg_writer.h"
#include "tools/volume_create.h"

namespace {

using testsupport::ProcessResult;
using testsupport::run_process;
using testsupport::TempDir;

const std::string kSpaceinfo = SPACEINFO_PATH;
const std::string kSpacenew = SPACENEW_PATH;
const std::string kBanner = "\nQX Zentrim SPACEINFO (6.0.0)\n";
const std::string kUsage =
    "usage: spaceinfo [options]\n"
    "options:\n"
    " -d flags   - debug flags\n"
    " -c cfg     - configuration file name\n"
    " -f file    - volume file name\n"
    " -b size    - Buffer cache size (MB)\n"
    " -v {pn}    - dump options:\n"
    "              p - volume parameters\n"
    "              n - nodes\n";

constexpr uint32_t kRecordSize = 24;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

TEST(SpaceinfoCommandLine, UsageErrorsAndRefusals) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;  // after the banner
  };
  TempDir dir;
  dir.write("empty.cfg", "[Volumes]\n");
  const Case cases[] = {
      {"-help", {"-help"}, 2, kUsage},
      {"unknown option", {"-x"}, 2, "Unrecognized option: - x\n" + kUsage},
      {"missing value", {"-v"}, 2, "Option -v requires an argument\n" + kUsage},
      {"operand", {"-c", dir.file("empty.cfg"), "root.vol"}, 2, "Unexpected arguments\n" + kUsage},
      {"bad cache size", {"-b", "x1"}, 2,
       "Option -b: invalid size x1 (megabytes, 0 to 131072)\n" + kUsage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = run_process(kSpaceinfo, c.args);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.err, kBanner + c.err);
    EXPECT_EQ(r.out, "");
  }
  const ProcessResult version = run_process(kSpaceinfo, {"-version", "-c", "/nonexistent.cfg"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "WIN32 A.06.00 (build Jul  7 2001)\n");

  const ProcessResult missing = run_process(kSpaceinfo, {"-c", dir.file("none.cfg")});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_TRUE(contains(missing.err, "Fatal problem reading config file\n")) << missing.err;

  const ProcessResult empty = run_process(kSpaceinfo, {"-c", dir.file("empty.cfg")});
  EXPECT_EQ(empty.exit_status, 1);
  EXPECT_TRUE(contains(empty.err, "Configuration file " + dir.file("empty.cfg") +
                                      "\ncontains no volume definitions - aborted\n"))
      << empty.err;

  const ProcessResult nofile = run_process(kSpaceinfo, {"-f", dir.file("none.vol")});
  EXPECT_EQ(nofile.exit_status, 1);
  EXPECT_TRUE(contains(nofile.err, "Unable to open volume " + dir.file("none.vol") +
                                       "\nFailure code: "))
      << nofile.err;
}

// An environment made by spacenew, a LOG volume and a TEMP volume added,
// the log root with its system pool and root log node and a transaction
// node, a fixed-record file of three records and a B-tree.
class Spaceinfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(run_process(kSpacenew, {"-c", cfg(), root()}).exit_status, 0);
    {
      // The LOG and TEMP volumes through the creation call that adds volumes.
      const std::string r = root();
      const char* paths[] = {r.c_str()};
      ASSERT_NE(Vol_OpenSet(1, paths), nullptr);
      ASSERT_NE(Vol_CreateExtent(log().c_str(), VolType_LOG, Vol_MINPAGES, 128, 0), nullptr);
      ASSERT_NE(Vol_CreateExtent(temp().c_str(), VolType_TEMP, Vol_MINPAGES, 0, 0), nullptr);
      Vol_Close();
      Vol_Free();
      ASSERT_EQ(cfg_set_key("Volumes", "Log02", log().c_str(), cfg().c_str()), 1);
      ASSERT_EQ(cfg_set_key("Volumes", "Temp03", temp().c_str(), cfg().c_str()), 1);
    }
    open_here();
    ASSERT_EQ(testsupport::start_server_storage(), 0);
    Node* tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    Node* file = testsupport::add_record_file(tx, kRecordSize, 3);
    ASSERT_NE(file, nullptr);
    fixrec_id = Node_GetId(file);
    ASSERT_NE(btree_Create(0, nullptr, &btree_id), nullptr);
    buf_Sync(nullptr, 0);
    Vol_SyncDataDurably();
    Vol_SetConsistent();
    close_here();
  }

  std::string cfg() const { return dir.file("zentdb6.cfg"); }
  std::string root() const { return dir.file("root.vol"); }
  std::string log() const { return dir.file("log.vol"); }
  std::string temp() const { return dir.file("temp.vol"); }
  std::vector<std::string> files() const { return {root(), log(), temp()}; }
  std::vector<std::string> images() const {
    std::vector<std::string> out;
    for (const std::string& f : files()) out.push_back(testsupport::read_file(f));
    return out;
  }
  void open_here() {
    const std::string r = root(), l = log(), t = temp();
    const char* paths[] = {r.c_str(), l.c_str(), t.c_str()};
    ASSERT_NE(Vol_OpenSet(3, paths), nullptr);
  }
  void close_here() {
    Vol_Close();
    Vol_Free();
    buf_Exit();
  }
  // spaceinfo with args; every file must be as it was before.
  ProcessResult spaceinfo(std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", cfg()});
    const std::vector<std::string> before = images();
    ProcessResult r = run_process(kSpaceinfo, args);
    EXPECT_EQ(images(), before) << "a file changed";
    return r;
  }
  // The descriptors as the files hold them, read without writing.
  std::vector<VOLUME> descriptors() {
    std::vector<VOLUME> out;
    for (const std::string& f : files()) {
      VOLUME* v = Vol_OpenSingle(f.c_str());
      EXPECT_NE(v, nullptr) << f;
      if (v == nullptr) continue;
      out.push_back(*v);
      out.back().fhandle = nullptr;
      out.back().flmem_head = out.back().flmem_tail = nullptr;
      Vol_FreeSingle(v);
    }
    return out;
  }

  TempDir dir;
  uint32_t fixrec_id = 0;
  uint32_t btree_id = 0;
};

std::string row(int id, const char* type, const VOLUME& v, const char* flags) {
  auto mb = [](uint32_t pages) { return static_cast<double>(uint64_t{pages} * 8192) / 1048576.0; };
  char line[200];
  snprintf(line, sizeof line, "%-3d %-4.4s %7.1f %7.1f %7.1f %7.1f %7.1f %s", id, type,
           mb(v.curr_size), mb(v.ext_size), mb(v.max_size), mb(v.free_size),
           mb(v.curr_size - v.free_size), flags);
  return line;
}

TEST_F(Spaceinfo, DefaultOutputListsTheVolumesAndTheirSizes) {
  Vol_SetReadOnly(1);
  const std::vector<VOLUME> d = descriptors();
  Vol_SetReadOnly(0);
  ASSERT_EQ(d.size(), 3u);
  const ProcessResult r = spaceinfo({});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::vector<std::string> expected = {
      "ID  Type Path",
      "1   DATA " + root(),
      "2   LOG  " + log(),
      "3   TEMP " + temp(),
      "",
      "ID  Type  Cur.Sz  Ext.Sz  Max.Sz    Free    Used Flags",
      row(1, "DATA", d[0], "DSYNC "),
      row(2, "LOG", d[1], ""),
      row(3, "TEMP", d[2], ""),
  };
  EXPECT_EQ(lines_of(r.out), expected) << r.out;
  EXPECT_EQ(r.err, kBanner);
}

TEST_F(Spaceinfo, ConstantsComeWithTheVolumeLinesAndNothingOfNodes) {
  const ProcessResult r = spaceinfo({"-v", "C"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(
      r.out, {"constants:\n\n", " Vol_REVISION              = WIN32 A.06.00\n",
              " Vol_MAXSIZE               = 16777216\n", " Vol_FILLGAP               = 0xaa\n",
              " Vol_CREATE                = 0666\n", " sizeof(VOLUME)            = 1276\n",
              " Vol_FLIST_SIZE            = 2045\n\n sizeof(Node)              = 124\n",
              " Node_BLIST_NUMITEMS       = 2046\n\n",
              " sizeof(FixRec_RECORD)     = 20\n\n SysPool_NODEID            = 1\n",
              "Volume #1 \"" + root() + "\" capacity=2.50MB (2621440 bytes)\n",
              "Volume #2 \"" + log() + "\"", " type=LOG\n\n", "Volume #3", " type=TEMP\n\n"});
  EXPECT_FALSE(contains(r.out, "ID  Type")) << r.out;
  EXPECT_FALSE(contains(r.out, "nodes:")) << r.out;
  EXPECT_FALSE(contains(r.out, "volume parameters")) << r.out;
}

TEST_F(Spaceinfo, ParametersOfEachVolumeKind) {
  const ProcessResult r = spaceinfo({"-v", "p"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(
      r.out,
      {"Volume #1", "volume parameters:\n\n revision               = WIN32 A.06.00\n",
       " release                = 30\n", " used_map               = 1-3\n",
       " type                   = VolType_DATA\n", " flags                  = DSYNC \n",
       " curr_size              = 320\n", " first_page             = 00000002\n",
       " standard_aldesc        = 1,4-256\n", " tlog_aldesc            = 2\n",
       " temp_aldesc            = 3\n", "Volume #2", " release                = 9\n",
       " type                   = VolType_LOG\n", " flags                  = <none>\n",
       "Volume #3", " type                   = VolType_TEMP\n"});
  EXPECT_FALSE(contains(r.out, "nodes:")) << r.out;
}

TEST_F(Spaceinfo, NodeTablesListTheDataAndLogNodesInIdOrder) {
  const ProcessResult r = spaceinfo({"-v", "n"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string dashes(79, '-');
  const std::string header = "ID Type Flag      MetaData    RecUsed Size       ClUsed    PgTotal Alloc\n";
  testsupport::expect_in_order(r.out, {"nodes: " + header + dashes + "\n", "SysPool 1 pool S    ",
                                       "       20 ST   S    ", "       36 ST   S    ",
                                       "log:   " + header + dashes + "\n", "LogPool 1 pool SL   ",
                                       "LogRoot 2 TL   SL   "});
  // The fixed-record file: records in use and their size; the B-tree: none.
  char file_row[64];
  snprintf(file_row, sizeof file_row, "%9u FR   -    ", fixrec_id);
  const size_t at = r.out.find(file_row);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
  EXPECT_EQ(line.substr(34, 15), "         3   24") << line;
  char tree_row[64];
  snprintf(tree_row, sizeof tree_row, "%9u BT   -    ", btree_id);
  EXPECT_TRUE(contains(r.out, tree_row)) << r.out;
  EXPECT_LT(r.out.find(file_row), r.out.find(tree_row));
  for (const std::string& l : lines_of(r.out))
    if (l.size() > 9 && l[9] == ' ' && l.find(':') == 27) {
      EXPECT_EQ(l.size(), 79u) << l;
    }
}

TEST_F(Spaceinfo, RecordsAreDumpedOneByOne) {
  const ProcessResult r = spaceinfo({"-v", "r"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (uint32_t recno = 1; recno <= 3; ++recno) {
    const std::string title =
        ") Node " + std::to_string(fixrec_id) + " recno=" + std::to_string(recno) + "\n";
    const size_t at = r.out.find(title);
    ASSERT_NE(at, std::string::npos) << r.out;
    const char c = static_cast<char>('a' + recno);
    const std::string hex = c == 'b' ? "62" : c == 'c' ? "63" : "64";
    std::string line0 = "000:";
    for (int i = 0; i < 16; ++i) line0 += " " + hex;
    line0 += " |" + std::string(16, c) + "|\n";
    testsupport::expect_in_order(r.out.substr(at), {title, "buffer contains 24 bytes of data\n",
                                                    line0});
  }
  // An empty line ends the file's dump.
  EXPECT_TRUE(contains(r.out, "|\n\n")) << r.out;
}

TEST_F(Spaceinfo, LogVolumeAloneWithoutConfiguration) {
  const std::vector<std::string> before = images();
  const ProcessResult r = run_process(kSpaceinfo, {"-f", log()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[1], "2   LOG  " + log());
  EXPECT_EQ(lines[4].substr(0, 8), "2   LOG ");
  const ProcessResult p = run_process(kSpaceinfo, {"-f", log(), "-v", "pnr"});
  ASSERT_EQ(p.exit_status, 0) << p.err;
  EXPECT_TRUE(contains(p.out, " type                   = VolType_LOG\n")) << p.out;
  EXPECT_FALSE(contains(p.out, "nodes:")) << p.out;
  EXPECT_TRUE(contains(p.err, "Nodes and records need the whole volume set: -v n and -v r are "
                              "skipped with -f\n"))
      << p.err;
  EXPECT_EQ(images(), before);
}

// The largest volume, 2^24 pages, is 128 GiB: sizes are figured in 64 bits.
TEST_F(Spaceinfo, SizesOfTheLargestVolumeDoNotWrap) {
  for (int copy = 0; copy < 2; ++copy)
    ASSERT_EQ(testsupport::patch_descriptor(log(), copy,
                                            [](VOLUME& v) { v.max_size = Vol_MAXPAGES; }),
              0);
  const ProcessResult row = run_process(kSpaceinfo, {"-f", log()});
  ASSERT_EQ(row.exit_status, 0) << row.err;
  EXPECT_TRUE(contains(row.out, "     1.0 131072.0 ")) << row.out;
  const ProcessResult detail = run_process(kSpaceinfo, {"-f", log(), "-v", "xc"});
  ASSERT_EQ(detail.exit_status, 0) << detail.err;
  EXPECT_TRUE(contains(detail.out, "capacity=131072.00MB (137438953472 bytes)\n")) << detail.out;
}

TEST_F(Spaceinfo, SetNotShutDownCleanlyIsDumpedAsItStands) {
  for (int copy = 0; copy < 2; ++copy)
    ASSERT_EQ(testsupport::patch_descriptor(
                  root(), copy, [](VOLUME& v) { Vol_ClearFlag(Vol_CONSISTENT, &v.header); }),
              0);
  for (const char* letters : {"cpnr", ""}) {
    const ProcessResult r = spaceinfo(letters[0] ? std::vector<std::string>{"-v", letters, "-b", "1"}
                                                 : std::vector<std::string>{"-b", "0"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
  }
}

TEST_F(Spaceinfo, OlderReleaseIsShownUpgradedAndLeftOnDisk) {
  for (const std::string& f : files())
    for (int copy = 0; copy < 2; ++copy)
      ASSERT_EQ(testsupport::patch_descriptor(f, copy,
                                              [](VOLUME& v) {
                                                v.release = v.type == VolType_LOG ? 8 : 29;
                                              }),
                0);
  const ProcessResult r = spaceinfo({"-v", "pn"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, " release                = 30\n")) << r.out;
}

// A node page chain that comes back to its first page: the dump stops with
// the node it could not open, and the files stay as they are.
TEST_F(Spaceinfo, NodePageChainThatLoopsIsReportedAndEndsTheDump) {
  Vol_SetReadOnly(1);
  const uint32_t first = descriptors()[0].first_page;
  Vol_SetReadOnly(0);
  std::vector<uint8_t> page;
  ASSERT_EQ(testsupport::read_page(root(), PAGE_NUMBER(first), &page), 0);
  Node_PAGE_HEAD head = Node_DecodePageHead(page.data());
  head.next_page = first;
  Node_EncodePageHead(head, page.data());
  ASSERT_EQ(testsupport::write_page(root(), PAGE_NUMBER(first), page), 0);
  const ProcessResult r = spaceinfo({"-v", "n"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(r.err, "Unable to open node SysPool 1\nFailure code: ")) << r.err;
  EXPECT_FALSE(contains(r.err, "panic")) << r.err;
  // Without n or r the nodes are not looked at.
  EXPECT_EQ(spaceinfo({}).exit_status, 0);
}

// A node descriptor's damage as a disk or a person leaves it: the node
// table stops at the node with "Unable to open node", exit 1, never an
// abort, and the files stay as they are.
TEST_F(Spaceinfo, DamagedUsedClusterListOrMetaAddressEndsTheDumpAtItsNode) {
  struct Case {
    const char* name;
    uint32_t node_id;  // 0: the fixed-record file
    std::function<void(const std::string& root, Node_DESC&)> damage;
    const char* node;
  };
  const Case cases[] = {
      {"RootPoolListPageHeader", 1,
       [](const std::string& root, Node_DESC& d) {
         std::vector<uint8_t> page;
         ASSERT_EQ(testsupport::read_page(root, PAGE_NUMBER(d.ulist.head), &page), 0);
         page[4] ^= 0x5a;
         ASSERT_EQ(testsupport::write_page(root, PAGE_NUMBER(d.ulist.head), page), 0);
       },
       "SysPool 1"},
      {"MetaAddressOutsideTheSet", 0,
       [](const std::string&, Node_DESC& d) { d.meta_addr.cluster = 0x00ffff00; }, nullptr},
      {"MetaAddressOnAPageWithoutABlock", 0,
       [](const std::string&, Node_DESC& d) { d.meta_addr.offset = 0x1ff0; }, nullptr},
  };
  const std::vector<std::string> pristine = images();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t i = 0; i < pristine.size(); ++i) {
      std::ofstream out(files()[i], std::ios::binary | std::ios::trunc);
      out << pristine[i];
      ASSERT_TRUE(out.good());
    }
    const uint32_t id = c.node_id != 0 ? c.node_id : fixrec_id;
    Vol_SetReadOnly(1);
    const uint32_t first = descriptors()[0].first_page;
    Vol_SetReadOnly(0);
    std::vector<uint8_t> page;
    ASSERT_EQ(testsupport::read_page(root(), PAGE_NUMBER(first), &page), 0);
    bool found = false;
    for (int slot = 0; slot < Node_PAGE_NUMITEMS && !found; ++slot) {
      Node_DESC d = Node_DecodeDesc(page.data() + Node_SlotOffset(slot));
      if (d.node_id != id) continue;
      found = true;
      c.damage(root(), d);
      Node_EncodeDesc(d, page.data() + Node_SlotOffset(slot));
    }
    ASSERT_TRUE(found);
    ASSERT_EQ(testsupport::write_page(root(), PAGE_NUMBER(first), page), 0);
    const ProcessResult r = spaceinfo({"-v", "n"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    const std::string node = c.node != nullptr ? c.node : std::to_string(fixrec_id);
    EXPECT_TRUE(contains(r.err, "Unable to open node " + node + "\nFailure code: ")) << r.err;
    EXPECT_FALSE(contains(r.err, "panic")) << r.err;
  }
}

}  // namespace
