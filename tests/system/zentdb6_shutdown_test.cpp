// zentdb6 as a process: how a run ends. A signal while the kernel runs
// reaches the shutdown task through the task kernel's mailbox and the server
// starts, leaves the kernel and closes down in order; a signal during
// start-up cleans up and ends the process; a panic ends it as the Panic
// setting says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"

namespace {

const std::string kServer = ZENTDB6_PATH;

struct StopCase {
  const char* name;
  int signo;
  const char* when;  // the log line after which the signal is sent
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class SignalStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(SignalStop, ShutdownTaskStopsTheKernelAndTheServerClosesDown) {
  testsupport::TempDir dir;
  const int port = testsupport::free_tcp_port();
  ASSERT_GT(port, 0);
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port) + "\n\n[Volumes]\n" +
                               testsupport::write_server_volumes(dir.file("root.vol")));
  testsupport::Process server(kServer,
                              {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D3T2N1"});
  ASSERT_TRUE(server.wait_for_stderr(GetParam().when, 20000));
  server.send_signal(GetParam().signo);
  const testsupport::ProcessResult r = server.wait(30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // The whole start-up and close-down order, as operators read it.
  testsupport::expect_in_order(
      r.err, {"D1: QX Zentrim data base server started\n",
              "D1: QX Zentrim data base server initializing\n",
              "D2: Service         : " + std::to_string(port) + "\n",
              "D2: Foreground      : 1\n",
              "D2: IPC             : disabled\n",
              "D2: HTTP service    : disabled\n",
              "D2: Thread count    : ",
              "D2: I/O Thread count: ",
              "D2: Volume count    : 2\n",
              "D1: [0] " + dir.file("root.vol") + "\n",
              "D1: [1] " + dir.file("log.vol") + "\n",
              "D2: Cache size      : ",
              "D2: Cache pages     : ",
              "D2: Checkpoint Freq : ",
              "D2: Checkpoint Size : ",
              "T2: Syncer Freq.    : ",
              "D2: Opening volumes ...\n",
              "D2: Initializing cache subsystem ...\n",
              "D2: Initializing subsystems ...\n",
              "D2: Setting up transaction logging ...\n",
              "D2: Checkpointing volume ...\n",
              "D2: Opening system catalog ...\n",
              "D2: Initializing statistics ...\n",
              "D1: QX Zentrim database server active\n",
              "D2: tmain: starting thread kernel\n",
              "D3: tsignal_handler: signo=" + std::to_string(GetParam().signo) + "\n",
              "T1: Starting server shutdown ...\n",
              "T1: Exiting thread kernel ...\n",
              "D2: tmain: thread kernel returned\n",
              "D1: QX Zentrim database server shutting down\n",
              "D2: Closing system catalog ...\n",
              "D2: Checkpointing volume ...\n",
              "D2: Closing volume ...\n",
              "D2: Cleaning up ...\n",
              "D1: QX Zentrim data base server terminated\n"});
  EXPECT_EQ(r.err.find("terminating"), std::string::npos) << r.err;
  // The signal reaches the shutdown task once: the frame's stop loop that
  // follows the server's own handler neither logs a request nor wakes again.
  const std::string wake = "T2: shutdown_callback: waking up shutdown thread\n";
  const size_t first = r.err.find(wake);
  EXPECT_NE(first, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(wake, first + 1), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Server shutdown requested"), std::string::npos) << r.err;
  // A start registers the subsystems without notes a new user reads as a
  // fault, and a stop cleans up once.
  auto count = [&](const std::string& line) {
    int n = 0;
    for (size_t at = r.err.find(line); at != std::string::npos; at = r.err.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("requested subsystem not found"), 0) << r.err;
  EXPECT_EQ(count("D2: Cleaning up ...\n"), 1) << r.err;
  EXPECT_EQ(count("D2: tio_cleanup: freeing async i/o ressources\n"), 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalStop,
    ::testing::Values(StopCase{"TermWhileIdle", SIGTERM, "Idle - waiting for event"},
                      StopCase{"IntWhileIdle", SIGINT, "Idle - waiting for event"},
                      // Before the shutdown task has blocked: the request must
                      // not be lost.
                      StopCase{"TermAsKernelStarts", SIGTERM, "tmain: starting thread kernel"},
                      // The terminal of a console run went away.
                      StopCase{"HupWhileIdle", SIGHUP, "Idle - waiting for event"}),
    [](const ::testing::TestParamInfo<StopCase>& p) { return std::string(p.param.name); });

struct StartUpSignalCase {
  const char* name;
  int signo;
  int status;
  std::vector<std::string> lines;
};
void PrintTo(const StartUpSignalCase& c, std::ostream* os) { *os << c.name; }

class SignalDuringStartUp : public ::testing::TestWithParam<StartUpSignalCase> {};

TEST_P(SignalDuringStartUp, CleansUpAndEndsTheProcess) {
  testsupport::TempDir dir;
  // The configuration is a FIFO: the server waits in reading it, after its
  // start-up signal handler is in place, for as long as the test holds the
  // writing end open without writing.
  const std::string cfg = dir.file("zentdb6.cfg");
  ASSERT_EQ(mkfifo(cfg.c_str(), 0600), 0);
  testsupport::Process server(kServer, {"-standalone", "-c", cfg, "-d", "D2"});
  int writer = -1;
  for (int i = 0; i < 2000 && writer < 0; ++i) {
    // Succeeds only once the server has the FIFO open for reading.
    writer = open(cfg.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(writer, 0);
  server.send_signal(GetParam().signo);
  const testsupport::ProcessResult r = server.wait(30000);
  close(writer);
  EXPECT_EQ(r.exit_status, GetParam().status) << r.err;
  testsupport::expect_in_order(r.err, GetParam().lines);
  EXPECT_EQ(r.err.find("initializing"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalDuringStartUp,
    ::testing::Values(StartUpSignalCase{"Term", SIGTERM, 0,
                                        {"D2: Signal #15 captured, terminating\n",
                                         "D2: Cleaning up ...\n",
                                         "D1: QX Zentrim data base server terminating\n"}},
                      StartUpSignalCase{"Hup", SIGHUP, 0,
                                        {"D2: Signal #1 captured, terminating\n",
                                         "D2: Cleaning up ...\n",
                                         "D1: QX Zentrim data base server terminating\n"}},
                      StartUpSignalCase{"Int", SIGINT, 1,
                                        {"D2: Signal #2 captured, terminating\n",
                                         "D2: Cleaning up ...\n",
                                         "D0: Signal #2 captured, terminating\n"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The mask of a process's main thread, as /proc shows it.
bool signal_blocked_in(pid_t pid, int signo) {
  const std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("SigBlk:\t");
  if (at == std::string::npos) return false;
  const unsigned long long mask = strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (signo - 1) & 1) != 0;
}

class SignalAtStart : public ::testing::TestWithParam<int> {};

// A stop signal sent at the first moment the process has blocked it, long
// before anything takes signals or any handler is in place, ends the run in
// order: never by the signal itself.
TEST_P(SignalAtStart, EndsTheRunInOrder) {
  testsupport::TempDir dir;
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(testsupport::free_tcp_port()) +
                               "\n\n[Volumes]\n" +
                               testsupport::write_server_volumes(dir.file("root.vol")));
  testsupport::Process server(kServer,
                              {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D2T1"});
  bool blocked = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!blocked && std::chrono::steady_clock::now() < deadline) {
    blocked = signal_blocked_in(server.pid(), GetParam());
    if (!blocked) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  server.send_signal(GetParam());
  const testsupport::ProcessResult r = server.wait(60000);
  ASSERT_TRUE(blocked) << "signal " << GetParam() << " never blocked\n" << r.err;
  EXPECT_EQ(r.term_signal, 0) << r.err;
  // SIGINT during start-up ends with 1, as its handler says.
  EXPECT_TRUE(r.exit_status == 0 || (GetParam() == SIGINT && r.exit_status == 1)) << r.err;
  EXPECT_NE(r.err.find("D2: Cleaning up ...\n"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtStart, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& p) { return std::string(strsignal(p.param)); });

// Children started while one lives get a file-size limit, with SIGXFSZ at
// its default: the server itself must make a write past the limit the error
// EFBIG instead of the end of the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    const rlimit limit = {bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
    saved_handler_ = signal(SIGXFSZ, SIG_DFL);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, saved_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t saved_handler_ = SIG_DFL;
};

struct PanicCase {
  const char* setting;
  int status;       // exit status, or -1 when the process aborts
  int term_signal;
};
void PrintTo(const PanicCase& c, std::ostream* os) { *os << "Panic = " << c.setting; }

class PanicSetting : public ::testing::TestWithParam<PanicCase> {};

// A volume whose second descriptor copy is stale is repaired at open; the
// file-size limit refuses that write and every write past it. A data
// volume keeps its descriptor for a later write, but a LOG volume's failed
// write stops the server (a commit forced past it could vanish), and that
// assertion reaches the server's panic handler.
TEST_P(PanicSetting, AFailedDescriptorRepairEndsTheRunAsTheSettingSays) {
  testsupport::TempDir dir;
  const std::string volumes = testsupport::write_server_volumes(dir.file("root.vol"));
  ASSERT_EQ(testsupport::patch_descriptor(dir.file("root.vol"), 1, [](VOLUME& v) { ++v.ext_size; }),
            0);
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(testsupport::free_tcp_port()) +
                               "\nPanic = " + GetParam().setting + "\n\n[Volumes]\n" + volumes);
  testsupport::ProcessResult r;
  {
    // Below the second descriptor copy, above the first.
    const FileSizeLimit limit(1 << 20);
    testsupport::Process server(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg")});
    r = server.wait(30000);
  }
  EXPECT_EQ(r.exit_status, GetParam().status) << r.err;
  EXPECT_EQ(r.term_signal, GetParam().term_signal) << r.err;
  testsupport::expect_in_order(
      r.err, {"D0: server panic: Fatal problem detected\n",
              "D0: Assertion failed: WriteFile() failed\n",
              "D0: server panic: Aborting on internal failure, file page_io.cpp, line ",
              "\nserver panic: Aborting on internal failure, file page_io.cpp, line "});
}

INSTANTIATE_TEST_SUITE_P(Settings, PanicSetting,
                         ::testing::Values(PanicCase{"Exit", 6, 0},
                                           PanicCase{"Restart", -1, SIGABRT},
                                           PanicCase{"Dump", -1, SIGABRT}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.setting);
                         });

}  // namespace
