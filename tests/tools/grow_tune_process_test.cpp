// spacegrow and spacetune as processes: usage errors with their texts,
// streams and statuses; volumes added to a spacenew environment (the
// Volumes section rewritten byte for byte, each new descriptor); the
// refusals that leave every file's bytes as they were; a configuration
// that cannot be replaced; the properties spacetune changes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "storage/volume_format.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/volume_fixture.h"
#include "tools/util_frame_usage.h"

namespace {

using testsupport::file_exists;
using testsupport::ProcessResult;
using testsupport::run_process;
using testsupport::TempDir;

const std::string kSpacenew = SPACENEW_PATH;
const std::string kSpacegrow = SPACEGROW_PATH;
const std::string kSpacetune = SPACETUNE_PATH;

const std::string kGrowUsage = "usage: spacegrow [options] volume_file_name\n" + kCommonUsage +
                               " -t type   - Volume type (DATA, LOG)\n"
                               " -s sz     - Initial size\n"
                               " -e sz     - Extension size\n"
                               " -m sz     - Max volume size\n";
const std::string kTuneUsage = "usage: spacetune [options] volume_file_name\n" + kCommonUsage +
                               " -e sz     - Extension size\n"
                               " -m sz     - Max volume size\n";

bool uses_vio(const VOLUME& v) { return Vol_TestFlag(Vol_USEVIO, &v.header) != 0; }

VOLUME descriptor(const std::string& path) {
  VOLUME v{};
  std::vector<uint8_t> page;
  EXPECT_EQ(testsupport::read_page(path, 0, &page), 0) << path;
  if (page.size() == Vol_PAGESIZE) Vol_DecodeDescriptor(page.data(), &v);
  return v;
}

TEST(GrowTuneCommandLine, UsageErrorsAndVersion) {
  struct Case {
    const char* name;
    const std::string* program;
    std::vector<std::string> args;
    int status;
    std::string err;  // after the banner
    std::string out;
  };
  const Case cases[] = {
      {"spacegrow alone", &kSpacegrow, {}, 2, kGrowUsage, ""},
      {"spacegrow -help", &kSpacegrow, {"-help"}, 2, kGrowUsage, ""},
      {"spacegrow -version", &kSpacegrow, {"-version"}, 0, "",
       "WIN32 A.06.00 (build Jul  7 2001)\n"},
      {"spacegrow no operand", &kSpacegrow, {"-t", "log"}, 2,
       "Missing volume file name\n" + kGrowUsage, ""},
      {"spacegrow second operand", &kSpacegrow, {"a.vol", "b.vol"}, 2,
       "Unexpected arguments\n" + kGrowUsage, ""},
      {"spacegrow unknown option", &kSpacegrow, {"-x", "a.vol"}, 2,
       "Unrecognized option: - x\n" + kGrowUsage, ""},
      {"spacegrow option without its value", &kSpacegrow, {"a.vol", "-t"}, 2,
       "Option -t requires an argument\n" + kGrowUsage, ""},
      {"spacegrow -t foo", &kSpacegrow, {"-t", "foo", "a.vol"}, 2,
       "foo: Unknown volume type\n" + kGrowUsage, ""},
      {"spacetune alone", &kSpacetune, {}, 2, kTuneUsage, ""},
      {"spacetune -help", &kSpacetune, {"-help", "a.vol"}, 2, kTuneUsage, ""},
      {"spacetune -version", &kSpacetune, {"-version"}, 0, "",
       "WIN32 A.06.00 (build Jul  7 2001)\n"},
      {"spacetune no operand", &kSpacetune, {"-e", "2"}, 2,
       "Missing volume file name\n" + kTuneUsage, ""},
      {"spacetune second operand", &kSpacetune, {"a.vol", "b.vol"}, 2,
       "Unexpected arguments\n" + kTuneUsage, ""},
      {"spacetune unknown option", &kSpacetune, {"-t", "log", "a.vol"}, 2,
       "Unrecognized option: - t\n" + kTuneUsage, ""},
      {"spacetune option without its value", &kSpacetune, {"a.vol", "-f"}, 2,
       "Option -f requires an argument\n" + kTuneUsage, ""},
      {"spacetune -f fast", &kSpacetune, {"-f", "fast", "a.vol"}, 2,
       "fast: Unknown volume flag\n" + kTuneUsage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = run_process(*c.program, c.args);
    EXPECT_EQ(r.exit_status, c.status);
    const std::string word = c.program == &kSpacegrow ? "SPACEGROW" : "SPACETUNE";
    EXPECT_EQ(r.err, "\nQX Zentrim " + word + " (6.0.0)\n" + c.err);
    EXPECT_EQ(r.out, c.out);
  }
}

class GrowTune : public ::testing::Test {
 protected:
  std::string cfg() const { return dir.file("zentdb6.cfg"); }
  std::string root() const { return dir.file("root.vol"); }
  // A spacenew environment whose configuration has a comment before the
  // Volumes section and a section after it.
  void make() {
    dir.write("zentdb6.cfg", "# volumes below\n[Server]\nService = 1\n\n[Volumes]\n");
    ASSERT_EQ(run_process(kSpacenew, {"-c", cfg(), root()}).exit_status, 0);
    std::string text = testsupport::read_file(cfg());
    dir.write("zentdb6.cfg", text + "[Config]\nThreads = 2\n");
  }
  ProcessResult grow(std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", cfg()});
    return run_process(kSpacegrow, args);
  }
  ProcessResult tune(std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", cfg()});
    return run_process(kSpacetune, args);
  }
  std::string section(const std::string& lines) const {
    return "# volumes below\n[Server]\nService = 1\n\n[Volumes]\n" + lines +
           "[Config]\nThreads = 2\n";
  }
  // Every file of the directory with its bytes.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> all;
    for (const char* name : {"zentdb6.cfg", "root.vol", "log.vol", "other.vol", "zentdb6.cfg.new"})
      if (file_exists(dir.file(name))) all[name] = testsupport::read_file(dir.file(name));
    return all;
  }
  TempDir dir;
};

TEST_F(GrowTune, LogTempAndDataVolumesAreAddedAndListed) {
  make();
  const ProcessResult log = grow({"-v", "-t", "log", dir.file("log.vol")});
  ASSERT_EQ(log.exit_status, 0) << log.err;
  EXPECT_EQ(log.out, "Reading configuration ...\nOpening root volume\nCreating extension volume " +
                         dir.file("log.vol") + "\nClosing volume ...\ndone.\n");
  ASSERT_EQ(grow({"-t", "Temp", dir.file("temp.vol")}).exit_status, 0);
  const ProcessResult data = grow({"-s", "1", "-e", "2", "-m", "10", dir.file("data.vol")});
  ASSERT_EQ(data.exit_status, 0) << data.err;
  EXPECT_EQ(data.out, "Initial volume size aligned to 2.5 MB (320 pages)\n");
  EXPECT_EQ(testsupport::read_file(cfg()),
            section("Root = " + root() + "\nLog02 = " + dir.file("log.vol") + "\nTemp03 = " +
                    dir.file("temp.vol") + "\nVol04 = " + dir.file("data.vol") + "\n"));

  const VOLUME r = descriptor(root());
  struct Expect {
    const char* file;
    uint32_t id, type, release, ext_size, max_size;
  };
  for (const Expect& e : {Expect{"log.vol", 1, VolType_LOG, 9, 128, 0},
                          Expect{"temp.vol", 2, VolType_TEMP, 30, 128, 0},
                          Expect{"data.vol", 3, VolType_DATA, 30, 256, 1280}}) {
    SCOPED_TRACE(e.file);
    const VOLUME v = descriptor(dir.file(e.file));
    EXPECT_EQ(v.volume_id, e.id);
    EXPECT_EQ(v.type, e.type);
    EXPECT_EQ(v.release, e.release);
    EXPECT_EQ(v.set_id, r.set_id);
    EXPECT_EQ(v.generation, r.generation);
    EXPECT_EQ(v.curr_size, 320u);
    EXPECT_EQ(v.ext_size, e.ext_size);
    EXPECT_EQ(v.max_size, e.max_size);
    EXPECT_STREQ(v.path, dir.file(e.file).c_str());
    EXPECT_TRUE(Vol_IsAllocAllowed(static_cast<int>(e.id), &r.used_map));
    EXPECT_EQ(Vol_IsAllocAllowed(static_cast<int>(e.id), &r.standard_aldesc) != 0,
              e.type == VolType_DATA);
    EXPECT_EQ(Vol_IsAllocAllowed(static_cast<int>(e.id), &r.tlog_aldesc) != 0,
              e.type == VolType_LOG);
    EXPECT_EQ(Vol_IsAllocAllowed(static_cast<int>(e.id), &r.temp_aldesc) != 0,
              e.type == VolType_TEMP);
  }
  EXPECT_EQ(r.used_volumes, 4u);
  EXPECT_TRUE(Vol_TestFlag(Vol_CONSISTENT, &r.header));
}

TEST_F(GrowTune, RefusalsLeaveEveryFileAsItWas) {
  make();
  ASSERT_EQ(grow({"-t", "log", dir.file("log.vol")}).exit_status, 0);
  dir.write("other.vol", std::string(5000, 'x'));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"the root as operand", {root()}, 1,
       "Configuration file " + cfg() + "\ncontains conflicting volume definition - aborted\n"},
      {"the root spelt another way", {dir.path() + "/./root.vol"}, 1,
       "contains conflicting volume definition - aborted\n"},
      {"the LOG volume as operand", {"-t", "log", dir.file("log.vol")}, 1,
       "contains conflicting volume definition - aborted\n"},
      {"the root reached through a parent", {dir.path() + "/../" +
                                             dir.path().substr(dir.path().rfind('/') + 1) +
                                             "/root.vol"},
       1, "Unable to create extension volume\nFailure code: VOLE015\n"
          "Failed to create extension volume\n"},
      {"an existing unrelated file", {dir.file("other.vol")}, 1,
       "Unable to create extension volume\nFailure code: VOLE015\n"},
      {"a name with a semicolon", {dir.file("a;b.vol")}, 2, "cannot be recorded"},
      {"a name with a hash", {dir.file("a#b.vol")}, 2, "cannot be recorded"},
      {"a name with a line end", {dir.file("a\nb.vol")}, 2, "cannot be recorded"},
      {"maximum below the size", {"-s", "3", "-m", "1", dir.file("new.vol")}, 1,
       "Failure code: VOLE006\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = files();
    const ProcessResult r = grow(c.args);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(files(), before);
    EXPECT_FALSE(file_exists(dir.file("new.vol")));
    EXPECT_FALSE(file_exists(dir.file("a;b.vol")));
  }
}

// The LOG volumes of a set shut down in on-line backup hold the redirected
// data pages: neither tool works on it until the server has recovered it.
TEST_F(GrowTune, SetLeftInOnlineBackupIsRefusedWithTheNote) {
  make();
  ASSERT_EQ(grow({"-t", "log", dir.file("log.vol")}).exit_status, 0);
  for (int copy = 0; copy < 2; ++copy)
    ASSERT_EQ(testsupport::patch_descriptor(
                  root(), copy, [](VOLUME& v) { Vol_SetFlag(Vol_IS_REDIRECTED, &v.header); }),
              0);
  const auto before = files();
  const std::string note =
      "NOTE: Database environment has been shutdown during on-line backup.\n"
      "      Please restart the database server once in order to recover\n"
      "      from on-line backup mode, then reapply this command.\n";
  for (const ProcessResult& r :
       {grow({dir.file("new.vol")}), tune({"-e", "2", dir.file("log.vol")})}) {
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
    EXPECT_EQ(files(), before);
    EXPECT_FALSE(file_exists(dir.file("new.vol")));
  }
}

// The volume is part of the set once the root names it; the configuration
// that cannot be replaced is left whole and the lines to write are shown.
TEST_F(GrowTune, ConfigurationThatCannotBeReplacedGetsTheAdvice) {
  make();
  const std::string text = testsupport::read_file(cfg());
  // The new text's place is taken by a directory: no user can write there.
  ASSERT_EQ(mkdir(dir.file("zentdb6.cfg.new").c_str(), 0755), 0);
  dir.write("zentdb6.cfg.new/keep", "x");
  const ProcessResult r = grow({"-t", "log", dir.file("log.vol")});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("Unable to add volume file to the configuration file.\n"
                       "Please update the section [Volumes] of the configuration file\n" +
                       cfg() + " as follows:\n[Volumes]\nRoot = " + root() + "\nLog02 = " +
                       dir.file("log.vol") + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(testsupport::read_file(cfg()), text);
  EXPECT_EQ(descriptor(dir.file("log.vol")).type, VolType_LOG);
}

TEST_F(GrowTune, SpacetuneChangesExtensionMaximumAndTheVioFlag) {
  make();
  ASSERT_EQ(grow({"-t", "log", dir.file("log.vol")}).exit_status, 0);
  const ProcessResult e = tune({"-v", "-e", "2", dir.file("log.vol")});
  ASSERT_EQ(e.exit_status, 0) << e.err;
  EXPECT_EQ(e.out, "Reading configuration ...\nOpening root volume\nChanging volume " +
                       dir.file("log.vol") + "\nClosing volume ...\ndone.\n");
  EXPECT_EQ(descriptor(dir.file("log.vol")).ext_size, 256u);
  EXPECT_EQ(descriptor(dir.file("log.vol")).max_size, 0u);

  // The operand may name the configured file another way.
  ASSERT_EQ(tune({"-f", "vio", dir.path() + "//log.vol"}).exit_status, 0);
  EXPECT_TRUE(uses_vio(descriptor(dir.file("log.vol"))));
  EXPECT_EQ(descriptor(dir.file("log.vol")).ext_size, 256u);
  ASSERT_EQ(tune({"-f", "NOVIO", dir.file("log.vol")}).exit_status, 0);
  EXPECT_FALSE(uses_vio(descriptor(dir.file("log.vol"))));

  ASSERT_EQ(tune({"-m", "5", root()}).exit_status, 0);
  EXPECT_EQ(descriptor(root()).max_size, 640u);

  const auto before = files();
  const ProcessResult small = tune({"-m", "1", dir.file("log.vol")});
  EXPECT_EQ(small.exit_status, 1);
  testsupport::expect_in_order(small.err, {"Unable to change volume properties\n",
                                           "Failure code: VOLE006\n",
                                           "Failed to change volume\n"});
  EXPECT_EQ(files(), before);
}

// A path the configuration does not list is refused before the set is
// opened: a root file that cannot even be opened does not matter.
TEST_F(GrowTune, SpacetuneOnAnUnlistedPathAbortsWithoutOpeningTheSet) {
  dir.write("zentdb6.cfg", "[Volumes]\nRoot = " + root() + "\n");
  const ProcessResult r = tune({"-v", "-e", "2", dir.file("ROOT.vol")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "\nQX Zentrim SPACETUNE (6.0.0)\nConfiguration file " + cfg() +
                       "\ndoes not reference given volume - aborted\n");
  EXPECT_EQ(r.out, "Reading configuration ...\n");
}

}  // namespace
