// The server's panic handler, its stop hook, and whole runs of server_main
// in this process: a panic on a thread that is not the server thread, a
// background thread that cannot start, a signal during close-down and the
// clean-up of the listen sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "platform/signal_thread.h"
#include "platform/thread.h"
#include "server/server_main.h"
#include "server/vtimer.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"

namespace {

struct PanicCase {
  int action;
  bool exits_6;
};
void PrintTo(const PanicCase& c, std::ostream* os) { *os << "Panic setting " << c.action; }

class PanicTest : public ::testing::TestWithParam<PanicCase> {};

TEST_P(PanicTest, AssertionEndsAsTheSettingSays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto die = [] {
    debug_init("", stderr);
    panic_set_handler(server_assert);
    server_set_panic_action(GetParam().action);
    ZENT_ASSERT(1 + 1 == 3);
  };
  const char* expected =
      "D0: server panic: Fatal problem detected\n.*"
      "D0: Assertion failed: 1 \\+ 1 == 3\n.*"
      "D0: server panic: Aborting on internal failure, file server_main_test.cpp, line [0-9]+\n"
      "server panic: Aborting on internal failure, file server_main_test.cpp, line [0-9]+\n";
  if (GetParam().exits_6)
    EXPECT_EXIT(die(), ::testing::ExitedWithCode(6), expected);
  else
    EXPECT_DEATH(die(), expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, PanicTest,
                         ::testing::Values(PanicCase{CFG_PANIC_EXIT, true},
                                           PanicCase{CFG_PANIC_RESTART, false},
                                           PanicCase{CFG_PANIC_DUMP, false}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.action == CFG_PANIC_EXIT ? "Exit"
                                              : param_info.param.action == CFG_PANIC_RESTART
                                                  ? "Restart"
                                                  : "Dump");
                         });

// Outside a console run a usage or version stop prints nothing and returns 1
// (a console run prints and exits 2 or returns 1: zentdb6_cli_test.cpp).
struct QuietStop {
  const char* name;
  const char* arg;
};
void PrintTo(const QuietStop& c, std::ostream* os) { *os << c.arg; }

class ServiceRunStop : public ::testing::TestWithParam<QuietStop> {};

TEST_P(ServiceRunStop, ReturnsOneWithoutOutput) {
  std::string program = "zentdb6", arg = GetParam().arg;
  char* argv[] = {program.data(), arg.data(), nullptr};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(server_main(2, argv, 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, ServiceRunStop,
                         ::testing::Values(QuietStop{"Help", "-help"},
                                           QuietStop{"Version", "--version"},
                                           QuietStop{"BadOption", "-x"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A request made outside a server run is kept for the next one, so this
// runs in a child.
TEST(ServerStopRequest, FirstAndRetriedRequestsAskForThirtySeconds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        debug_init("D1", stderr);
        const int first = server_stop_request(1);
        // The request stands: asking again at once neither logs nor wakes.
        const int again = server_stop_request(1);
        const int retried = server_stop_request(2);
        _exit(first == 30000 && again == 30000 && retried == 30000 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "^\\([ 0-9]+\\) D1: Server shutdown requested ...\n"
      "\\([ 0-9]+\\) D1: Server shutdown retried \\(1\\) ...\n$");
}

}  // namespace

namespace {

// A configuration and a volume set the server can run on, written by the
// test process; the runs below happen in death-test children, so whatever
// a run leaves behind in the process dies with the child.
class ServerFiles {
 public:
  explicit ServerFiles(const std::string& server_section = "") {
    dir_.write("zentdb6.cfg",
               "[Server]\nService = " + std::to_string(testsupport::free_tcp_port()) + "\n" +
                   server_section + "\n[Volumes]\n" +
                   testsupport::write_server_volumes(dir_.file("root.vol")));
  }
  std::string config() const { return dir_.file("zentdb6.cfg"); }
  std::string log() const { return dir_.file("server.log"); }
  std::string root() const { return dir_.file("root.vol"); }

 private:
  testsupport::TempDir dir_;
};

// server_main on a server thread of its own, as the service frame runs it.
class ServerRun {
 public:
  explicit ServerRun(const std::vector<std::string>& args) : args_(args) {
    args_.insert(args_.begin(), "zentdb6");
    panic_set_handler(server_assert);
    thread_ = std::thread([this] {
      std::vector<char*> argv;
      for (auto& a : args_) argv.push_back(a.data());
      argv.push_back(nullptr);
      status_ = server_main(static_cast<int>(args_.size()), argv.data(), 1);
    });
  }
  ~ServerRun() {
    if (thread_.joinable()) thread_.join();
  }
  int join() {
    thread_.join();
    return status_;
  }

 private:
  std::vector<std::string> args_;
  std::thread thread_;
  int status_ = -1;
};

// Waits until the log file holds text; false after 20 seconds.
bool wait_for_log(const std::string& path, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    if (testsupport::read_file(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Ends a child that ran the server: its log on standard error (for the
// death test's pattern), then the run's status as the exit status.
[[noreturn]] void exit_with_run(ServerRun& run, const std::string& log_path) {
  const int status = run.join();
  fprintf(stderr, "%s", testsupport::read_file(log_path).c_str());
  _exit(status);
}

[[noreturn]] void raise_panic(void* = nullptr) { ZENT_ASSERT(!"raised off the server thread"); }

// A panic on a thread other than the server thread while the kernel runs
// (the idle task waiting for work) must clean up without waiting for that
// thread or for what the server thread waits on, and end as Panic says.
struct OffThreadPanic {
  const char* name;
  void (*raise)();
};
void PrintTo(const OffThreadPanic& c, std::ostream* os) { *os << c.name; }

class PanicOffTheServerThread : public ::testing::TestWithParam<OffThreadPanic> {};

TEST_P(PanicOffTheServerThread, CleansUpAndExitsWithStatus6) {
  const ServerFiles files("Panic = Exit\n");
  EXPECT_EXIT(
      {
        alarm(30);  // a hang fails the test instead of stalling the run
        ServerRun run({"-c", files.config(), "-l", files.log(), "-d", "D2T2"});
        if (!wait_for_log(files.log(), "Idle - waiting for event")) _exit(10);
        GetParam().raise();
        for (;;) pause();
      },
      ::testing::ExitedWithCode(6),
      "server panic: Aborting on internal failure, file server_main_test.cpp");
  EXPECT_NE(testsupport::read_file(files.log()).find("D2: Cleaning up ..."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Threads, PanicOffTheServerThread,
    ::testing::Values(
        OffThreadPanic{"AnotherThread", [] { std::thread(raise_panic, nullptr).join(); }},
        // The clean-up stops the timer thread: it must not join itself.
        OffThreadPanic{
            "TimerThread",
            [] { ASSERT_GE(vtimer_add(VTIMER_MIN_MS, 0, nullptr, raise_panic, nullptr), 0); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A background thread that cannot start keeps the kernel from running: the
// server closes down in order and ends with status 3, not 0.
class BackgroundThreadRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(BackgroundThreadRefused, EndsTheRunWithStatus3) {
  const ServerFiles files;
  static const char* refused;
  refused = GetParam();
  EXPECT_EXIT(
      {
        platform::set_thread_start_hook(
            +[](const char* name) { return strcmp(name, refused) == 0 ? EAGAIN : 0; });
        ServerRun run({"-c", files.config(), "-d", "D2"});
        const int status = run.join();
        fprintf(stderr, "status %d\n", status);
        _exit(status);
      },
      ::testing::ExitedWithCode(3),
      "errno=11 \\(Resource temporarily unavailable\\).*"
      "QX Zentrim database server shutting down.*Closing volume \\.\\.\\..*"
      "QX Zentrim database server terminating.*Cleaning up \\.\\.\\..*status 3");
}

// (The server has no select thread: its idle task polls the sockets.)
INSTANTIATE_TEST_SUITE_P(Threads, BackgroundThreadRefused, ::testing::Values("bg_timer"));

// Without a resolver thread the server still serves: connections keep
// their dotted addresses.
TEST(ResolverThreadRefused, NoNameLookupThreadIsNoReasonToStop) {
  const ServerFiles files;
  EXPECT_EXIT(
      {
        platform::set_thread_start_hook(
            +[](const char* name) { return strcmp(name, "resolver") == 0 ? EAGAIN : 0; });
        ServerRun run({"-c", files.config(), "-l", files.log(), "-d", "D2T2"});
        if (!wait_for_log(files.log(), "Idle - waiting for event")) _exit(10);
        server_stop_request(1);
        exit_with_run(run, files.log());
      },
      ::testing::ExitedWithCode(0),
      "Failed to create background name lookup thread, errno=11 .*"
      "QX Zentrim database server shutting down.*QX Zentrim data base server terminated");
}

// Once the kernel has returned, a signal must not cut the close-down short:
// the handler in force only logs it.
TEST(ServerSignals, ASignalAfterTheKernelReturnedIsOnlyLogged) {
  const ServerFiles files;
  EXPECT_EXIT(
      {
        ServerRun run({"-c", files.config(), "-l", files.log(), "-d", "D2T2"});
        if (!wait_for_log(files.log(), "Idle - waiting for event")) _exit(10);
        server_stop_request(1);
        if (run.join() != 0) _exit(11);
        platform::signal_get_handler()(SIGTERM);
        fprintf(stderr, "%s", testsupport::read_file(files.log()).c_str());
        fprintf(stderr, "still here\n");
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "QX Zentrim data base server terminated\n.*"
      "D1: Signal #15 captured during close-down, finishing close-down first\nstill here\n");
}

// Standard error of a run whose log carries a trigger: a stop signal that
// arrives at the very moment the server says it is active, as the thread
// that takes signals would deliver it (the handler in force then, called on
// that thread). The line is written on the server thread, so the moment is
// exact, not a matter of timing.
ssize_t signal_when_active(void*, const char* buf, size_t size) {
  if (std::string(buf, size).find("QX Zentrim database server active") != std::string::npos) {
    const platform::SignalHandler in_force = platform::signal_get_handler();
    std::thread([in_force] { in_force(SIGTERM); }).detach();
  }
  return write(STDERR_FILENO, buf, size);
}


// Once the server has said it is active, SIGTERM takes the shutdown road:
// the set is closed in order and marked clean, never left to the next
// start's recovery behind an exit status of 0.
TEST(ServerSignals, ATermAsTheServerSaysActiveClosesTheSetCleanly) {
  const ServerFiles files;
  EXPECT_EXIT(
      {
        alarm(30);  // a hang fails the test instead of stalling the run
        stderr = fopencookie(nullptr, "w", {nullptr, signal_when_active, nullptr, nullptr});
        ServerRun run({"-c", files.config(), "-d", "D2T1"});
        const int status = run.join();
        fprintf(stderr, "status %d, set %s\n", status,
                testsupport::root_marked_consistent(files.root()) ? "clean" : "not clean");
        fflush(stderr);
        _exit(status);
      },
      ::testing::ExitedWithCode(0),
      "QX Zentrim database server active\n.*Starting server shutdown ...\n.*"
      "Closing volume ...\n.*QX Zentrim data base server terminated\n.*status 0, set clean\n");
}

// The run frees the configuration it loaded once it has ended: nothing
// reads it any more, and a later run loads its own.
TEST(ServerRunEnd, TheConfigurationIsFreed) {
  const ServerFiles files;
  EXPECT_EXIT(
      {
        ServerRun run({"-c", files.config(), "-l", files.log(), "-d", "T2"});
        if (!wait_for_log(files.log(), "Idle - waiting for event")) _exit(10);
        server_stop_request(1);
        if (run.join() != 0) _exit(12);
        _exit(server_cfg == nullptr ? 0 : 13);
      },
      ::testing::ExitedWithCode(0), "");
}

// A stop asked for before the server runs (the frame's stop loop can be
// that quick) is not lost: the shutdown task does not block when it starts.
TEST(ServerStopRequest, ARequestBeforeTheKernelRunsStopsTheServerOnceItDoes) {
  const ServerFiles files;
  EXPECT_EXIT(
      {
        shutdown_callback();
        ServerRun run({"-c", files.config(), "-l", files.log(), "-d", "D2T2"});
        exit_with_run(run, files.log());
      },
      ::testing::ExitedWithCode(0),
      "tmain: starting thread kernel\n.*Starting server shutdown ...\n.*"
      "QX Zentrim data base server terminated\n");
}

TEST(ServerCleanup, ClosesBothListenSockets) {
  const int server_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int http_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(server_fd, 0);
  ASSERT_GE(http_fd, 0);
  server_listen_socket = server_fd;
  http_listen_socket = http_fd;
  server_cleanup();
  EXPECT_EQ(server_listen_socket, -1);
  EXPECT_EQ(http_listen_socket, -1);
  for (const int fd : {server_fd, http_fd}) {
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " left open";
    EXPECT_EQ(errno, EBADF);
  }
  server_cleanup();  // and again: nothing left to close
}

}  // namespace
