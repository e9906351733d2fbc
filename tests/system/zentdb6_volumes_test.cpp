// zentdb6 as a process with its volume set: it starts on an environment
// that the utilities made, stops with its own lines when the set cannot be
// opened or has no LOG volume, keeps other writers off the files while it
// runs, and marks the set cleanly closed at shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"

namespace {

const std::string kServer = ZENTDB6_PATH;
const std::string kSpacenew = SPACENEW_PATH;
const std::string kSpacegrow = SPACEGROW_PATH;

std::string config(int port, const std::string& volumes) {
  return "[Server]\nService = " + std::to_string(port) + "\n\n[Volumes]\n" + volumes;
}

TEST(ServerVolumes, MissingSetStopsTheServerWithItsReason) {
  testsupport::TempDir dir;
  dir.write("zentdb6.cfg",
            config(testsupport::free_tcp_port(), "Root = " + dir.file("root.vol") + "\n"));
  const testsupport::ProcessResult r =
      testsupport::run_process(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg")});
  EXPECT_EQ(r.exit_status, 3) << r.err;
  testsupport::expect_in_order(r.err, {"Unable to open volume file",
                                       "D0: Unable to open data base volumes.",
                                       "D0: Vol_Open() failed with VOLE009",
                                       "QX Zentrim database server terminating"});
}

TEST(ServerVolumes, SetWithoutLogVolumeIsRefused) {
  testsupport::TempDir dir;
  dir.write("zentdb6.cfg", config(testsupport::free_tcp_port(), ""));
  const testsupport::ProcessResult made =
      testsupport::run_process(kSpacenew, {"-c", dir.file("zentdb6.cfg"), dir.file("root.vol")});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const testsupport::ProcessResult r =
      testsupport::run_process(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg")});
  EXPECT_EQ(r.exit_status, 3) << r.err;
  EXPECT_NE(r.err.find("D0: A LOG volume is required for server operation."), std::string::npos)
      << r.err;
}

TEST(ServerVolumes, SetWithoutASystemCatalogIsRefused) {
  testsupport::TempDir dir;
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{dir.file("root.vol")}, {dir.file("log.vol"), VolType_LOG}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  dir.write("zentdb6.cfg", config(testsupport::free_tcp_port(),
                                  "Root = " + dir.file("root.vol") + "\nLog = " +
                                      dir.file("log.vol") + "\n"));
  const testsupport::ProcessResult r =
      testsupport::run_process(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg")});
  EXPECT_EQ(r.exit_status, 3) << r.err;
  testsupport::expect_in_order(r.err, {"O0: SysCat_open_node() failed",
                                       "D0: Unable to open system catalog",
                                       "D0: SysCat_open() failed with SCE001"});
}

TEST(ServerVolumes, RunningServerOwnsItsSetAndClosesItCleanly) {
  testsupport::TempDir dir;
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{dir.file("root.vol")}, {dir.file("log.vol"), VolType_LOG}};
  spec.consistent = false;
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  // The catalog added keeps the clean-close flag as written: clear.
  ASSERT_EQ(testsupport::add_server_catalog({dir.file("root.vol"), dir.file("log.vol")}), 0);
  ASSERT_FALSE(testsupport::root_marked_consistent(dir.file("root.vol")));
  const std::string volumes =
      "Root = " + dir.file("root.vol") + "\nLog = " + dir.file("log.vol") + "\n";
  dir.write("zentdb6.cfg", config(testsupport::free_tcp_port(), volumes));
  testsupport::Process server(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D2"});
  ASSERT_TRUE(server.wait_for_stderr("QX Zentrim database server active", 20000));

  // A second server on the same files is refused while the first runs.
  dir.write("second.cfg", config(testsupport::free_tcp_port(), volumes));
  const testsupport::ProcessResult second =
      testsupport::run_process(kServer, {"-standalone", "-c", dir.file("second.cfg")});
  EXPECT_EQ(second.exit_status, 3);
  EXPECT_NE(second.err.find("Device or resource busy"), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("Unable to open data base volumes."), std::string::npos);

  server.send_signal(SIGTERM);
  const testsupport::ProcessResult r = server.wait(30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(r.err, {"Opening volumes ...", "Initializing cache subsystem ...",
                                       "QX Zentrim database server active", "Closing volume ...",
                                       "QX Zentrim data base server terminated"});
  EXPECT_TRUE(testsupport::root_marked_consistent(dir.file("root.vol")));
}

// A server killed outright takes its writer locks with it: the next server
// opens the same set and closes it cleanly. (Clearing the clean-close mark
// at start-up is crash recovery's work.)
TEST(ServerVolumes, SetOfAKilledServerOpensAgain) {
  testsupport::TempDir dir;
  const std::string volumes = testsupport::write_server_volumes(dir.file("root.vol"));
  ASSERT_NE(volumes, "");
  dir.write("zentdb6.cfg", config(testsupport::free_tcp_port(), volumes));
  const std::vector<std::string> args = {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D1"};
  {
    testsupport::Process server(kServer, args);
    ASSERT_TRUE(server.wait_for_stderr("QX Zentrim database server active", 20000));
    server.send_signal(SIGKILL);
    const testsupport::ProcessResult r = server.wait(30000);
    EXPECT_EQ(r.term_signal, SIGKILL);
  }

  testsupport::Process again(kServer, args);
  ASSERT_TRUE(again.wait_for_stderr("QX Zentrim database server active", 20000));
  again.send_signal(SIGTERM);
  const testsupport::ProcessResult r = again.wait(30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // The stop came after "active": it took the shutdown road, whatever the
  // kernel had reached by then.
  testsupport::expect_in_order(r.err, {"QX Zentrim database server active",
                                       "QX Zentrim database server shutting down",
                                       "QX Zentrim data base server terminated"});
  EXPECT_TRUE(testsupport::root_marked_consistent(dir.file("root.vol"))) << r.err;
}

// The README's run command: spacenew makes the environment and records it
// in the configuration, spacegrow adds the LOG volume (then a TEMP and a
// DATA one) and lists the set, and the server starts, recovers,
// checkpoints, opens its catalog, writes its log and serves until it is
// stopped. While it runs, spacegrow is kept off the set by its writer lock.
TEST(ServerVolumes, ServerStartsOnAnEnvironmentTheToolsMade) {
  testsupport::TempDir dir;
  const std::string cfg = dir.file("zentdb6.cfg");
  const int port = testsupport::free_tcp_port();
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port) + "\n");
  const testsupport::ProcessResult made =
      testsupport::run_process(kSpacenew, {"-c", cfg, dir.file("root.vol")});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  for (const auto& [type, file] : {std::pair{"log", "log.vol"}, std::pair{"temp", "temp.vol"},
                                   std::pair{"data", "data.vol"}}) {
    const testsupport::ProcessResult grown =
        testsupport::run_process(kSpacegrow, {"-c", cfg, "-t", type, dir.file(file)});
    ASSERT_EQ(grown.exit_status, 0) << grown.err;
  }
  EXPECT_EQ(testsupport::read_file(cfg),
            "[Server]\nService = " + std::to_string(port) + "\n\r\n[Volumes]\r\nRoot = " +
                dir.file("root.vol") + "\nLog02 = " + dir.file("log.vol") + "\nTemp03 = " +
                dir.file("temp.vol") + "\nVol04 = " + dir.file("data.vol") + "\n");
  EXPECT_TRUE(testsupport::root_marked_consistent(dir.file("root.vol")));
  const std::string log_before = testsupport::read_file(dir.file("log.vol"));

  testsupport::Process server(kServer, {"-standalone", "-c", cfg, "-d", "D2"});
  ASSERT_TRUE(server.wait_for_stderr("QX Zentrim database server active", 20000));
  // Ctrl-C stops it in order once its tasks run (before that, a signal
  // ends the start-up).
  ASSERT_TRUE(server.wait_for_stderr("tmain: starting thread kernel", 20000));
  // It serves: a client's connection is taken.
  const int fd = testsupport::connect_loopback(static_cast<uint16_t>(port));
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);

  const std::string cfg_before = testsupport::read_file(cfg);
  const testsupport::ProcessResult held =
      testsupport::run_process(kSpacegrow, {"-c", cfg, dir.file("more.vol")});
  EXPECT_EQ(held.exit_status, 1);
  testsupport::expect_in_order(held.err, {"Unable to open root volume\n", "Failure code: "});
  EXPECT_EQ(testsupport::read_file(cfg), cfg_before);
  EXPECT_EQ(access(dir.file("more.vol").c_str(), F_OK), -1);

  server.send_signal(SIGINT);
  const testsupport::ProcessResult r = server.wait(30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(
      r.err, {"Opening volumes ...", "Setting up transaction logging ...", "Checkpointing volume ...",
              "Opening system catalog ...", "QX Zentrim database server active",
              "Closing system catalog ...", "Closing volume ...",
              "QX Zentrim data base server terminated"});
  EXPECT_TRUE(testsupport::root_marked_consistent(dir.file("root.vol")));
  // The checkpoint wrote the log root into the LOG volume spacegrow made.
  EXPECT_NE(testsupport::read_file(dir.file("log.vol")), log_before);
}

}  // namespace
