// zentdb6 as a process: command line, usage, version and configuration stops.
// A console run is "zentdb6 -standalone [options]"; the frame's own entry is
// tested in service_frame_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "support/process_runner.h"

using testsupport::run_process;

namespace {

const std::string kServer = ZENTDB6_PATH;

testsupport::ProcessResult run_standalone(std::vector<std::string> args) {
  args.insert(args.begin(), "-standalone");
  return run_process(kServer, args);
}

const char* const kUsage =
    "usage: zentdb6 [options]\n"
    "options:\n"
    " -help      = show usage (this list)\n"
    " -c name    = configuration file\n"
    " -d         = debug mode\n"
    " -l name    = log file name (or console/syslog/default)\n"
    " -s name    = service name (tcp/ip transport)\n"
    "\n";

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
};
void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsTheSevenLinesAndABlankLineAndExits2) {
  auto r = run_standalone(GetParam().args);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(BadOrHelp, UsageTest,
                         ::testing::Values(UsageCase{"Help", {"-help"}},
                                           UsageCase{"UnknownOption", {"-x"}},
                                           UsageCase{"MissingArgument", {"-c"}},
                                           UsageCase{"BadAfterGood", {"-d", "*1", "-q"}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ZentDb6Cli, VersionPrintsBannerAndBuildDate) {
  auto r = run_standalone({"--version"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.rfind("QX Zentrim data base server", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" ("), std::string::npos);
  EXPECT_EQ(r.err.back(), '\n');
}

TEST(ZentDb6Cli, LogFileThatCannotBeOpenedIsReportedOnStandardError) {
  auto r = run_standalone({"-l", "/nonexistent-dir/x.log", "-c", "/nonexistent.cfg"});
  EXPECT_NE(r.err.find("Unable to open log file /nonexistent-dir/x.log\nerrno 2: "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.exit_status, 1);
}

TEST(ZentDb6Cli, LogFileGetsHeaderAndNumberedLines) {
  testsupport::TempDir dir;
  const std::string log = dir.file("server.log");
  auto r = run_standalone({"-l", log, "-d", "D1", "-c", dir.file("none.cfg")});
  EXPECT_EQ(r.exit_status, 1);
  const std::string text = testsupport::read_file(log);
  EXPECT_EQ(text.rfind("\n** ", 0), 0u) << text;
  EXPECT_NE(text.find("   Flags = [D1]\n\n"), std::string::npos) << text;
  EXPECT_NE(text.find(") D1: QX Zentrim data base server started\n"), std::string::npos) << text;
}

struct BadConfigCase {
  const char* name;
  const char* text;  // none: no file at all
  std::vector<std::string> lines;  // in this order; {cfg} stands for the path
};
void PrintTo(const BadConfigCase& c, std::ostream* os) { *os << c.name; }

class BadConfig : public ::testing::TestWithParam<BadConfigCase> {};

TEST_P(BadConfig, StopsWithTheMessagesAndStatus1) {
  testsupport::TempDir dir;
  const std::string cfg = dir.file("bad.cfg");
  if (GetParam().text != nullptr) dir.write("bad.cfg", GetParam().text);
  const auto r = run_standalone({"-c", cfg, "-d", "*1"});
  EXPECT_EQ(r.exit_status, 1);
  size_t at = 0;
  for (std::string line : GetParam().lines) {
    if (const size_t p = line.find("{cfg}"); p != std::string::npos) line.replace(p, 5, cfg);
    const size_t found = r.err.find(") " + line + "\n", at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << r.err;
    at = found;
  }
  EXPECT_EQ(r.err.find("initializing"), std::string::npos) << r.err;  // stopped before the network
}

INSTANTIATE_TEST_SUITE_P(
    Stops, BadConfig,
    ::testing::Values(
        BadConfigCase{"BadValue",
                      "[Config]\nThreads = -1\nUnheard = 2\n[Volumes]\nV1 = /v\n",
                      {"A1: Bad number of threads: \"-1\"",
                       "A1: GetLimits: Unknown configuration entry ignored: \"UNHEARD\"",
                       "A0: Configuration problem detected.",
                       "D0: Fatal configuration problem - terminating"}},
        BadConfigCase{"UnknownCharset", "[Server]\nCharset = latin\n[Volumes]\nV1 = /v\n",
                      {"A0: Bad config value: charset=\"latin\"", "A0: Configuration problem detected.",
                       "D0: Fatal configuration problem - terminating"}},
        BadConfigCase{"OverflowingBufferCache", "[Config]\nBufferCache = 16777216\n[Volumes]\nV=/v\n",
                      {"A1: Bad buffer cache size: \"16777216\"",
                       "D0: Fatal configuration problem - terminating"}},
        BadConfigCase{"NoVolumes", "[Server]\nService = 7820\n[Volumes]\nEmpty =\n",
                      {"A1: VolumeList: Bad configuration entry ignored: \"EMPTY\"",
                       "D0: Configuration file {cfg}",
                       "D0: contains no volume definition - terminating"}},
        BadConfigCase{"MissingFile", nullptr,
                      {"A0: Unable to open config file.", "A0: {cfg}: No such file or directory",
                       "D0: Fatal configuration problem - terminating"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
