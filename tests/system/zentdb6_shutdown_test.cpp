// zentdb6 as a process: a signal taken on the signal thread reaches the
// shutdown task through the task kernel's mailbox, and the server leaves
// the kernel and closes down in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/volume_fixture.h"

namespace {

const std::string kServer = ZENTDB6_PATH;

struct StopCase {
  const char* name;
  int signo;
  const char* when;  // the log line after which the signal is sent
};

class SignalStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(SignalStop, ShutdownTaskStopsTheKernelAndTheServerClosesDown) {
  testsupport::TempDir dir;
  const int port = testsupport::free_tcp_port();
  ASSERT_GT(port, 0);
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port) +
                               "\n\n[Volumes]\n" + testsupport::write_server_volumes(dir.file("root.vol")));
  testsupport::Process server(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D2T2"});
  ASSERT_TRUE(server.wait_for_stderr(GetParam().when, 20000));
  server.send_signal(GetParam().signo);
  const testsupport::ProcessResult r = server.wait(30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(r.err, {"QX Zentrim database server active",
                          "tmain: starting thread kernel",
                          "Starting server shutdown ...",
                          "Exiting thread kernel ...",
                          "tmain: thread kernel returned",
                          "QX Zentrim database server shutting down",
                          "Checkpointing volume ...",
                          "Cleaning up ...",
                          "QX Zentrim data base server terminated"});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalStop,
    ::testing::Values(StopCase{"TermWhileIdle", SIGTERM, "Idle - waiting for event"},
                      StopCase{"IntWhileIdle", SIGINT, "Idle - waiting for event"},
                      // Before the shutdown task has blocked: the request must
                      // not be lost.
                      StopCase{"TermAsKernelStarts", SIGTERM, "tmain: starting thread kernel"}),
    [](const ::testing::TestParamInfo<StopCase>& p) { return std::string(p.param.name); });

}  // namespace
