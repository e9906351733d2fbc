// zentdb6 as a process with its volume set: it stops with its own lines when
// the set cannot be opened or has no LOG volume, keeps other writers off the
// files while it runs, and marks the set cleanly closed at shutdown.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"

namespace {

const std::string kServer = ZENTDB6_PATH;

std::string config(int port, const std::string& volumes) {
  return "[Server]\nService = " + std::to_string(port) + "\n\n[Volumes]\n" + volumes;
}

bool root_marked_consistent(const std::string& path) {
  std::vector<uint8_t> page;
  if (testsupport::read_page(path, 0, &page) != 0) return false;
  VOLUME root;
  Vol_DecodeDescriptor(page.data(), &root);
  return Vol_TestFlag(Vol_CONSISTENT, &root.header);
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
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{dir.file("root.vol")}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  dir.write("zentdb6.cfg",
            config(testsupport::free_tcp_port(), "Root = " + dir.file("root.vol") + "\n"));
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
  ASSERT_FALSE(root_marked_consistent(dir.file("root.vol")));
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
  EXPECT_TRUE(root_marked_consistent(dir.file("root.vol")));
}

// A server killed outright takes its writer locks with it: the next server
// opens the same set and closes it cleanly. (Clearing the clean-close mark
// at start-up is crash recovery's work.)
TEST(ServerVolumes, SetOfAKilledServerOpensAgain) {
  testsupport::TempDir dir;
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{dir.file("root.vol")}, {dir.file("log.vol"), VolType_LOG}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  ASSERT_EQ(testsupport::add_server_catalog({dir.file("root.vol"), dir.file("log.vol")}), 0);
  const std::string volumes =
      "Root = " + dir.file("root.vol") + "\nLog = " + dir.file("log.vol") + "\n";
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
  EXPECT_TRUE(root_marked_consistent(dir.file("root.vol")));
}

}  // namespace
