// jrnclear and spacenew as processes: usage errors with their texts and
// status, "-version", spacenew on new and existing configurations (the
// Volumes section it writes, byte for byte), the refusals that leave files
// as they were, and jrnclear on sets with and without a LOG volume, in
// on-line backup mode, and not closed cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "storage/buffer_cache.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
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
const std::string kJrnclear = JRNCLEAR_PATH;
const std::string kSpacegrow = SPACEGROW_PATH;

const std::string kJrnclearUsage = "usage: jrnclear [options]\n" + kCommonUsage;
const std::string kSpacenewUsage = "usage: spacenew [options] volume_file_name\n" + kCommonUsage +
                                   " -s sz     - Initial size\n"
                                   " -e sz     - Extension size\n"
                                   " -m sz     - Max volume size\n";

off_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

struct UsageCase {
  const char* name;
  const std::string* program;
  std::vector<std::string> args;
  std::string message;  // before the usage
  const std::string* usage;
};

TEST(ToolsCommandLine, UsageErrorsPrintTheirTextAndTheUsageAndExit2) {
  const UsageCase cases[] = {
      {"jrnclear -help", &kJrnclear, {"-help"}, "", &kJrnclearUsage},
      {"jrnclear missing value", &kJrnclear, {"-c"}, "Option -c requires an argument\n",
       &kJrnclearUsage},
      {"jrnclear unknown option", &kJrnclear, {"-x"}, "Unrecognized option: - x\n",
       &kJrnclearUsage},
      {"jrnclear operand", &kJrnclear, {"-c", "zentdb6.cfg", "root.vol"},
       "Unexpected arguments\n", &kJrnclearUsage},
      {"spacenew alone", &kSpacenew, {}, "", &kSpacenewUsage},
      {"spacenew -help", &kSpacenew, {"-help", "root.vol"}, "", &kSpacenewUsage},
      {"spacenew missing value", &kSpacenew, {"root.vol", "-s"},
       "Option -s requires an argument\n", &kSpacenewUsage},
      {"spacenew unknown option", &kSpacenew, {"-t", "log", "root.vol"},
       "Unrecognized option: - t\n", &kSpacenewUsage},
      {"spacenew two operands", &kSpacenew, {"a.vol", "b.vol"}, "Unexpected arguments\n",
       &kSpacenewUsage},
      {"spacenew size not a number", &kSpacenew, {"-s", "abc", "root.vol"},
       "Option -s: invalid size abc (megabytes, 0 to 131072)\n", &kSpacenewUsage},
      {"spacenew size that would wrap", &kSpacenew, {"-e", "33554433", "root.vol"},
       "Option -e: invalid size 33554433 (megabytes, 0 to 131072)\n", &kSpacenewUsage},
      {"spacenew size past the largest volume", &kSpacenew, {"-m", "131073", "root.vol"},
       "Option -m: invalid size 131073 (megabytes, 0 to 131072)\n", &kSpacenewUsage},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = run_process(*c.program, c.args);
    EXPECT_EQ(r.exit_status, 2);
    const std::string word = c.program == &kJrnclear ? "JRNCLEAR" : "SPACENEW";
    EXPECT_EQ(r.err, "\nQX Zentrim " + word + " (6.0.0)\n" + c.message + *c.usage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ToolsCommandLine, VersionIsPrintedWithoutReadingTheConfiguration) {
  for (const std::string* program : {&kJrnclear, &kSpacenew}) {
    const ProcessResult r = run_process(*program, {"-version", "-c", "/nonexistent/zentdb6.cfg"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "WIN32 A.06.00 (build Jul  7 2001)\n");
  }
}

class Spacenew : public ::testing::Test {
 protected:
  std::string cfg() const { return dir.file("zentdb6.cfg"); }
  std::string root() const { return dir.file("root.vol"); }
  ProcessResult spacenew(std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", cfg()});
    return run_process(kSpacenew, args);
  }
  void expect_aborted(const ProcessResult& r, const std::string& why) {
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Configuration file " + cfg() + "\n" + why + " - aborted\n"),
              std::string::npos)
        << r.err;
  }
  TempDir dir;
};

TEST_F(Spacenew, NewConfigurationHoldsTheVolumesSectionAlone) {
  const ProcessResult r = spacenew({"-v", root()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "Reading configuration ...\nCreating volume " + root() +
                       "\nInitializing volume ...\nClosing volume ...\ndone.\n");
  EXPECT_EQ(testsupport::read_file(cfg()), "[Volumes]\r\nRoot=" + root() + "\r\n");
  EXPECT_EQ(file_size(root()), 320 * 8192);
}

TEST_F(Spacenew, ExistingConfigurationGetsTheSectionAppended) {
  const std::string before = "[Server]\nService = 7820\n\n[Config]\nThreads = 4";
  dir.write("zentdb6.cfg", before);
  const ProcessResult r = spacenew({"-s", "3", root()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(testsupport::read_file(cfg()),
            before + "\r\n\r\n[Volumes]\r\nRoot=" + root() + "\r\n");
  EXPECT_EQ(file_size(root()), 3 * 128 * 8192);
}

TEST_F(Spacenew, SectionNamingTheSameFileIsKeptAndTheNameCanComeFromIt) {
  const std::string before = "[Volumes]\nRoot = " + root() + "\n";
  dir.write("zentdb6.cfg", before);
  const ProcessResult r = spacenew({});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "Using volume name " + root() + "\n");
  EXPECT_TRUE(file_exists(root()));
  EXPECT_EQ(testsupport::read_file(cfg()), before);
}

TEST_F(Spacenew, RefusalsLeaveNoFileAndTheConfigurationAsItWas) {
  struct Case {
    const char* name;
    std::string config;  // "" = none
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::string other = dir.file("other.vol");
  const Case cases[] = {
      {"conflicting definition", "[Volumes]\nRoot = " + other + "\n", {root()}, 1,
       "Configuration file " + cfg() + "\ncontains conflicting volume definition - aborted\n"},
      {"names differing in case", "[Volumes]\nRoot = " + dir.file("ROOT.vol") + "\n", {root()},
       1, "contains conflicting volume definition - aborted\n"},
      {"more than one definition",
       "[Volumes]\nRoot = " + root() + "\nLog02 = " + dir.file("log.vol") + "\n", {root()}, 1,
       "Configuration file " + cfg() + "\ncontains unexpected volume definitions - aborted\n"},
      {"no name at all", "[Server]\nService = 1\n", {"-v"}, 1,
       "No volume file name specified on command line.\nConfiguration file " + cfg() +
           "\ncontains no volume name - aborted\n"},
      {"name with a semicolon", "", {dir.file("a;b.vol")}, 2,
       "Volume file name " + dir.file("a;b.vol") +
           " cannot be recorded in the configuration file\n"},
      {"name with a hash", "", {dir.file("a#b.vol")}, 2, "cannot be recorded"},
      {"maximum below the size", "", {"-s", "3", "-m", "1", root()}, 1,
       "Unable to create database root volume\nFailure code: VOLE006\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.config.empty()) dir.write("zentdb6.cfg", c.config);
    const ProcessResult r = spacenew(c.args);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.config.empty())
      EXPECT_FALSE(file_exists(cfg()));
    else
      EXPECT_EQ(testsupport::read_file(cfg()), c.config);
    EXPECT_FALSE(file_exists(root()));
    EXPECT_FALSE(file_exists(other));
    EXPECT_FALSE(file_exists(dir.file("a;b.vol")));
    remove(cfg().c_str());
  }
}

TEST_F(Spacenew, ExistingFileAsTheOperandIsLeftUnchanged) {
  const std::string bytes(100000, 'x');
  dir.write("root.vol", bytes);
  const ProcessResult r = spacenew({root()});
  EXPECT_EQ(r.exit_status, 1);
  testsupport::expect_in_order(
      r.err, {"Unable to create database root volume\n", "Failure code: VOLE015\n"});
  EXPECT_EQ(testsupport::read_file(root()), bytes);
  EXPECT_FALSE(file_exists(cfg()));
}

TEST_F(Spacenew, SizeBelowTheSmallestVolumeIsRaisedWithTrueFigures) {
  const ProcessResult r = spacenew({"-s", "1", root()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "Initial volume size aligned to 2.5 MB (320 pages)\n");
  EXPECT_EQ(file_size(root()), 320 * 8192);
}

TEST_F(Spacenew, ConfigurationThatCannotBeWrittenGetsTheAdvice) {
  const std::string unwritable = dir.file("missing/zentdb6.cfg");
  const ProcessResult r = run_process(kSpacenew, {"-c", unwritable, root()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.err.find("Unable to add volume file to the configuration file.\n"
                       "Please update the section [Volumes] of the configuration file\n" +
                       unwritable + " as follows:\n[Volumes]\nRoot = " + root() + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(file_exists(root()));
}

class Jrnclear : public Spacenew {
 protected:
  // An environment made by spacenew, with a LOG volume when asked.
  void make(bool with_log) {
    ASSERT_EQ(spacenew({root()}).exit_status, 0);
    if (with_log) {
      const ProcessResult r =
          run_process(kSpacegrow, {"-c", cfg(), "-t", "log", dir.file("log.vol")});
      ASSERT_EQ(r.exit_status, 0) << r.err;
      ASSERT_EQ(testsupport::read_file(cfg()),
                "[Volumes]\r\nRoot = " + root() + "\nLog02 = " + dir.file("log.vol") + "\n");
    }
  }
  // Opens the set in this process; the LOG volume, or none.
  VOLUME* open_here() {
    const std::string r = root(), log = dir.file("log.vol");
    const char* paths[] = {r.c_str(), log.c_str()};
    if (Vol_OpenSet(2, paths) == nullptr) return nullptr;
    return Vol_GetTlogVol();
  }
  void close_here() {
    Vol_Sync(Vol_TIO_SYNC);
    Vol_Close();
    Vol_Free();
  }
  ProcessResult jrnclear(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", cfg()});
    return run_process(kJrnclear, args);
  }
};

TEST_F(Jrnclear, EmptiesTheLogVolume) {
  make(true);
  {
    VOLUME* log = open_here();
    ASSERT_NE(log, nullptr);
    // The log root's system pool first, as a server's first checkpoint
    // makes it: recovery reads it.
    ASSERT_EQ(buf_Init(64, 64), 0);
    ASSERT_NE(SysPool_Get(1), nullptr);
    const uint32_t before = log->free_size;
    for (int i = 0; i < 40; ++i) ASSERT_NE(Vol_AllocPage(1, Vol_GetTlogAldesc()), 0u);
    ASSERT_EQ(log->free_size, before - 40u);
    buf_Sync(nullptr, 0);
    buf_Exit();
    close_here();
  }
  const ProcessResult r = jrnclear({"-v"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Reading configuration ...\nOpening root volume\nInitializing cache subsystem ...\n"
            "Initializing subsystems ...\nRecovering committed transactions ...\n"
            "Resetting transaction log volume ...\nClosing volume ...\ndone.\n");
  VOLUME* log = open_here();
  ASSERT_NE(log, nullptr);
  // The log root's system pool was made again: one cluster of its own.
  EXPECT_GE(log->free_size, 317u - 8u);
  EXPECT_TRUE(Vol_IsConsistent());
  close_here();
}

TEST_F(Jrnclear, SetWithoutALogVolumeIsRefused) {
  make(false);
  const ProcessResult r = jrnclear();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("D0: No LOG volume present."), std::string::npos) << r.err;
}

TEST_F(Jrnclear, ConfigurationWithoutVolumesIsRefused) {
  dir.write("zentdb6.cfg", "[Volumes]\n");
  const ProcessResult r = jrnclear();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("Configuration file " + cfg() +
                       "\ncontains no volume definitions - aborted\n"),
            std::string::npos)
      << r.err;
  const ProcessResult missing = run_process(kJrnclear, {"-c", dir.file("none.cfg")});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("Fatal problem reading config file\n"), std::string::npos);
}

// The LOG volume of a set shut down in on-line backup mode holds the
// redirected data pages: resetting it would lose them.
TEST_F(Jrnclear, SetLeftInOnlineBackupModeIsRefusedWithItsLogUntouched) {
  make(true);
  for (int copy = 0; copy < 2; ++copy)
    ASSERT_EQ(testsupport::patch_descriptor(root(), copy,
                                            [](VOLUME& v) { Vol_SetFlag(Vol_IS_REDIRECTED, &v.header); }),
              0);
  const std::string log_before = testsupport::read_file(dir.file("log.vol"));
  const ProcessResult r = jrnclear();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("NOTE: Database environment has been shutdown during on-line backup.\n"
                       "      Please restart the database server once in order to recover\n"
                       "      from on-line backup mode, then reapply this command.\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(testsupport::read_file(dir.file("log.vol")), log_before);
}

// A set that was not closed cleanly is recovered before its log is emptied.
TEST_F(Jrnclear, SetNotClosedCleanlyIsRecoveredBeforeItsLogIsReset) {
  make(true);
  for (int copy = 0; copy < 2; ++copy)
    ASSERT_EQ(testsupport::patch_descriptor(
                  root(), copy, [](VOLUME& v) { Vol_ClearFlag(Vol_CONSISTENT, &v.header); }),
              0);
  const ProcessResult r = jrnclear({"-v"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(r.out, {"Recovering committed transactions ...\n",
                                       "Resetting transaction log volume ...\n", "done.\n"});
  ASSERT_NE(open_here(), nullptr);
  EXPECT_TRUE(Vol_IsConsistent());
  close_here();
}

}  // namespace
