// spacecheck as a process: its usage and statuses, and an environment made
// by spacenew and "spacegrow -t log", then started and stopped once by the
// server, checked clean.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"

namespace {

using testsupport::ProcessResult;
using testsupport::run_process;
using testsupport::TempDir;

const std::string kSpacecheck = SPACECHECK_PATH;
const std::string kSpacenew = SPACENEW_PATH;
const std::string kServer = ZENTDB6_PATH;
const std::string kSpacegrow = SPACEGROW_PATH;

// The banner names the tool in lower case, unlike the other tools.
const std::string kBanner = "\nQX Zentrim spacecheck (6.0.0)\n";
const std::string kUsage =
    "usage: spacecheck [options]\n"
    "options:\n"
    " -d flags   - debug flags\n"
    " -c cfg     - configuration file name\n"
    " -b size    - Buffer cache size (MB)\n\n"
    "write options:\n"
    " -w         - Allow write\n"
    " -a         - Automatically fix minor inconsistencies\n"
    " -y         - Answer yes to all questions\n"
    "\n"
    "Please Note: Enabling write and answering 'yes' to non-trivial\n"
    "questions may cause data loss and could even result in additional\n"
    "data corruption.\n"
    "Unless you know what you're doing, you should consider to\n"
    "recover the database from the backup.\n"
    "\n"
    "exit status: 0 nothing found, 3 problems reported, 1 check not possible\n";

TEST(SpacecheckCommandLine, UsageErrorsPrintTheirTextAndTheUsageAndExit2) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-help"}, ""},
      {{"-b"}, "Option -b requires an argument\n"},
      {{"-x"}, "Unrecognized option: - x\n"},
      {{"root.vol"}, "Unexpected arguments\n"},
      {{"-b", "abc"}, "Option -b: invalid size abc (megabytes, 0 to 131072)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ProcessResult r = run_process(kSpacecheck, c.args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, kBanner + c.message + kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(SpacecheckCommandLine, AConfigurationWithoutVolumesOrASetThatCannotOpenFails) {
  TempDir dir;
  dir.write("empty.cfg", "[Volumes]\r\n");
  ProcessResult r = run_process(kSpacecheck, {"-c", dir.file("empty.cfg")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("contains no volume definitions - aborted\n"), std::string::npos) << r.err;
  dir.write("missing.cfg", "[Volumes]\r\nRoot=" + dir.file("none.vol") + "\r\n");
  r = run_process(kSpacecheck, {"-c", dir.file("missing.cfg")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("Unable to open database volume\n"), std::string::npos) << r.err;
}

TEST(SpacecheckEnvironment, AFreshEnvironmentStartedAndStoppedOnceIsClean) {
  TempDir dir;
  const std::string cfg = dir.file("zentdb6.cfg");
  ASSERT_EQ(run_process(kSpacenew, {"-c", cfg, dir.file("root.vol")}).exit_status, 0);
  const ProcessResult log = run_process(kSpacegrow, {"-c", cfg, "-t", "log", dir.file("log.vol")});
  ASSERT_EQ(log.exit_status, 0) << log.err;
  // The server once, on a port of its own: it recovers the fresh set,
  // checkpoints, opens the catalog, and closes everything down in order.
  const int port = testsupport::free_tcp_port();
  ASSERT_GT(port, 0);
  {
    std::ifstream in(cfg);
    std::stringstream volumes;
    volumes << in.rdbuf();
    dir.write("zentdb6.cfg", "[Server]\r\nService = " + std::to_string(port) + "\r\n\r\n" +
                                 volumes.str());
  }
  {
    testsupport::Process server(kServer, {"-standalone", "-c", cfg, "-d", "D2"});
    ASSERT_TRUE(server.wait_for_stderr("database server active", 30000))
        << server.stderr_so_far();
    server.send_signal(SIGTERM);
    const ProcessResult stopped = server.wait(30000);
    ASSERT_FALSE(stopped.timed_out);
    ASSERT_EQ(stopped.exit_status, 0) << stopped.err;
  }
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{}, std::vector<std::string>{"-w", "-a"}}) {
    std::vector<std::string> args = {"-c", cfg};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProcessResult r = run_process(kSpacecheck, args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string mode = extra.empty() ? "Running in Read-Only mode\n"
                                           : "Running in Read/Write mode\n"
                                             "Minor inconsistencies are fixed automatically\n";
    EXPECT_EQ(r.out, mode +
                         "\n"
                         "\nPASS 1 - verifying block allocation integrity\n\n"
                         "\nPASS 2 - verifying node integrity\n\n"
                         "\ndone.\n\n");
    EXPECT_EQ(r.err, kBanner);
  }
  // -v: the volume list and size table as spaceinfo prints them; twice,
  // the descriptor fields too.
  ProcessResult v = run_process(kSpacecheck, {"-c", cfg, "-v"});
  EXPECT_EQ(v.exit_status, 0) << v.err;
  EXPECT_NE(v.out.find("Running in Read-Only mode\n\n"
                       "ID  Type Path\n"
                       "1   DATA " + dir.file("root.vol") + "\n"
                       "2   LOG  " + dir.file("log.vol") + "\n"
                       "\nID  Type  Cur.Sz  Ext.Sz  Max.Sz    Free    Used Flags\n"
                       "1   DATA     2.5 "),
            std::string::npos)
      << v.out;
  EXPECT_EQ(v.out.find("Volume parameters:"), std::string::npos) << v.out;
  v = run_process(kSpacecheck, {"-c", cfg, "-v", "-v"});
  EXPECT_EQ(v.exit_status, 0) << v.err;
  for (const std::string& part : {"Volume parameters:\nVolume 1 DATA " + dir.file("root.vol") + "\n",
                                  std::string(" type                   = VolType_DATA\n"),
                                  "Volume 2 LOG " + dir.file("log.vol") + "\n",
                                  std::string("\ndone.\n\n")})
    EXPECT_NE(v.out.find(part), std::string::npos) << part << "\n" << v.out;
}

}  // namespace
