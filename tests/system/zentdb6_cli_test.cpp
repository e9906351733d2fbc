// zentdb6 as a process: command line, usage, version and configuration stops.
#include <gtest/gtest.h>

#include <string>

#include "support/process_runner.h"

using testsupport::run_process;

namespace {

const std::string kServer = ZENTDB6_PATH;

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

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsTheSevenLinesAndABlankLineAndExits2) {
  auto r = run_process(kServer, GetParam().args);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(BadOrHelp, UsageTest,
                         ::testing::Values(UsageCase{"Help", {"-help"}},
                                           UsageCase{"UnknownOption", {"-x"}},
                                           UsageCase{"MissingArgument", {"-c"}},
                                           UsageCase{"BadAfterGood", {"-d", "*1", "-q"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZentDb6Cli, VersionPrintsBannerAndBuildDate) {
  auto r = run_process(kServer, {"--version"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err.rfind("QX Zentrim data base server", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" ("), std::string::npos);
  EXPECT_EQ(r.err.back(), '\n');
}

TEST(ZentDb6Cli, LogFileThatCannotBeOpenedIsReportedOnStandardError) {
  auto r = run_process(kServer, {"-l", "/nonexistent-dir/x.log", "-c", "/nonexistent.cfg"});
  EXPECT_NE(r.err.find("Unable to open log file /nonexistent-dir/x.log\nerrno 2: "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.exit_status, 1);
}

TEST(ZentDb6Cli, LogFileGetsHeaderAndNumberedLines) {
  testsupport::TempDir dir;
  const std::string log = dir.file("server.log");
  auto r = run_process(kServer, {"-l", log, "-d", "D1", "-c", dir.file("none.cfg")});
  EXPECT_EQ(r.exit_status, 1);
  const std::string text = testsupport::read_file(log);
  EXPECT_EQ(text.rfind("\n** ", 0), 0u) << text;
  EXPECT_NE(text.find("   Flags = [D1]\n\n"), std::string::npos) << text;
  EXPECT_NE(text.find(") D1: QX Zentrim data base server started\n"), std::string::npos) << text;
}

}  // namespace
