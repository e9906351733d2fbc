// Events, the OS semaphore, clocks, the signal mask and the taking of signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include <chrono>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/os_semaphore.h"
#include "platform/service_manager.h"
#include "platform/signal_thread.h"

namespace {

TEST(Event, ManualResetStaysSetForEveryWaiter) {
  platform::Event e(true, false);
  EXPECT_FALSE(e.wait_for(10));
  e.set();
  EXPECT_TRUE(e.wait_for(0));
  EXPECT_TRUE(e.wait_for(0));
  e.reset();
  EXPECT_FALSE(e.wait_for(0));
}

TEST(Event, AutomaticResetReleasesOneWaiter) {
  platform::Event e(false, true);
  EXPECT_TRUE(e.wait_for(0));
  EXPECT_FALSE(e.wait_for(0));
  std::thread t([&] { e.set(); });
  EXPECT_TRUE(e.wait_for(5000));
  t.join();
  EXPECT_FALSE(e.is_set());
}

TEST(OsSemaphore, CountsAndRefusesToPassItsMaximum) {
  platform::OsSemaphore s(0, 3);
  EXPECT_FALSE(s.wait_for(5));
  EXPECT_TRUE(s.release(2));
  EXPECT_FALSE(s.release(2));  // 4 > 3
  EXPECT_TRUE(s.release());
  EXPECT_EQ(s.count(), 3);
  EXPECT_TRUE(s.wait_for(0));
  EXPECT_TRUE(s.wait_for(0));
  EXPECT_TRUE(s.wait_for(0));
  EXPECT_FALSE(s.wait_for(0));
}

// A release wakes a waiter blocked in wait() on another thread, which takes
// the unit. Bounded: a lost wake-up fails the test instead of hanging it.
TEST(OsSemaphore, WakesAWaiterOnAnotherThread) {
  platform::OsSemaphore s(0, 0x7fffffff);
  std::promise<void> taken;
  std::future<void> done = taken.get_future();
  std::thread t([&] {
    s.wait();
    taken.set_value();
  });
  ASSERT_TRUE(s.release());
  const bool woken = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!woken) s.release();  // free the waiter so that it can be joined
  t.join();
  EXPECT_TRUE(woken) << "the waiter was not woken within 10 seconds";
  EXPECT_EQ(s.count(), woken ? 0 : 1);
}

// is_set and try_wait look without the lock: what a thread wrote before
// set or release is seen by the one that finds the signal or takes the
// unit (ThreadSanitizer reports a race otherwise), and units released on one
// thread while another takes them are taken exactly once each. Bounded: a
// lost unit fails the test instead of hanging it.
TEST(Sync, LookingWithoutTheLockHandsOverWhatWasWrittenBefore) {
  constexpr int kUnits = 20000;
  platform::Event e(true, false);
  platform::OsSemaphore s(0, 0x7fffffff);
  int payload = 0;
  std::thread t([&] {
    payload = 42;
    e.set();
    for (int i = 0; i < kUnits; ++i) s.release();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!e.is_set() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  const bool seen = e.is_set();
  EXPECT_TRUE(seen);
  if (seen) {
    EXPECT_EQ(payload, 42);
  }
  int taken = 0;
  while (taken < kUnits && std::chrono::steady_clock::now() < deadline) taken += s.try_wait();
  t.join();
  EXPECT_EQ(taken, kUnits);
  EXPECT_EQ(s.count(), 0);
  EXPECT_FALSE(s.try_wait());
  e.reset();
  EXPECT_FALSE(e.is_set());
}

// The milliseconds are the system's monotonic clock (not the wall clock,
// not another unit): read between two readings of CLOCK_MONOTONIC they fall
// between them, and a real sleep shows as its length.
TEST(Clock, FollowsTheSystemsMonotonicClockInMilliseconds) {
  timespec before, after;
  clock_gettime(CLOCK_MONOTONIC, &before);
  const uint64_t ns = platform::monotonic_ns();
  const uint64_t ms = platform::monotonic_ms();
  clock_gettime(CLOCK_MONOTONIC, &after);
  const auto to_ns = [](const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
  };
  EXPECT_LE(to_ns(before), ns);
  EXPECT_LE(ns, to_ns(after));
  // Never 0: milliseconds count from 1.
  EXPECT_GE(ms, to_ns(before) / 1000000u + 1);
  EXPECT_LE(ms, to_ns(after) / 1000000u + 1);
  const timespec pause{0, 30 * 1000000};
  nanosleep(&pause, nullptr);
  const uint64_t slept = platform::monotonic_ms() - ms;
  EXPECT_GE(slept, 30u);
  EXPECT_LT(slept, 3000u);
}

// Threads started after signal_block inherit the blocked mask, so no signal
// handler runs asynchronously in any of them; a write to a closed pipe
// fails instead of killing the process.
TEST(SignalBlock, LaterThreadsInheritTheMaskAndBrokenPipesAreErrors) {
  platform::signal_block();
  bool int_blocked = false, term_blocked = false;
  std::thread([&] {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    int_blocked = sigismember(&mask, SIGINT) == 1;
    term_blocked = sigismember(&mask, SIGTERM) == 1;
  }).join();
  EXPECT_TRUE(int_blocked);
  EXPECT_TRUE(term_blocked);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  errno = 0;
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(fds[1]);
}

// Runs body in a child process and returns its wait status. The child
// starts with no signal blocked and every disposition at its default, as a
// freshly started program does.
int run_in_child(int (*body)(int ready_fd), int signo_to_send) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    close(ready[0]);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(s, SIG_DFL);
    _exit(body(ready[1]));
  }
  close(ready[1]);
  char c;
  const bool is_ready = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  if (is_ready && signo_to_send != 0) kill(pid, signo_to_send);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// A signal taken by the frame's control descriptor reaches the handler the
// program installed, with its number, in ordinary thread context; in a
// console run SIGHUP (the terminal went away) is a stop like SIGTERM, in a
// service run it asks for the state.
struct TakenSignal {
  const char* name;
  int signo;
  bool service_mode;
  platform::ServiceControl control;
};
void PrintTo(const TakenSignal& c, std::ostream* os) { *os << c.name; }

const TakenSignal* g_taken;
int g_handled_signo;

int take_one_signal(int ready_fd) {
  platform::signal_block();
  const int fd = platform::service_controls_open(g_taken->service_mode);
  if (fd < 0) return 20;
  platform::signal_set_handler(+[](int signo) { g_handled_signo = signo; });
  if (write(ready_fd, "r", 1) != 1) return 21;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) return 22;
  platform::ServiceControl control;
  int signo = 0;
  if (!platform::service_control_read(fd, &control, &signo)) return 23;
  if (control != g_taken->control) return 24;
  if (platform::SignalHandler h = platform::signal_get_handler()) h(signo);
  return g_handled_signo == g_taken->signo ? 0 : 25;
}

class SignalHandler : public ::testing::TestWithParam<TakenSignal> {};

TEST_P(SignalHandler, TheInstalledHandlerIsTheOneCalled) {
  g_taken = &GetParam();
  const int status = run_in_child(take_one_signal, GetParam().signo);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalHandler,
    ::testing::Values(TakenSignal{"ConsoleInt", SIGINT, false, platform::ServiceControl::Stop},
                      TakenSignal{"ConsoleTerm", SIGTERM, false, platform::ServiceControl::Stop},
                      TakenSignal{"ConsoleHup", SIGHUP, false, platform::ServiceControl::Stop},
                      TakenSignal{"ServiceTerm", SIGTERM, true, platform::ServiceControl::Stop},
                      TakenSignal{"ServiceHup", SIGHUP, true,
                                  platform::ServiceControl::Interrogate}),
    [](const auto& p) { return std::string(p.param.name); });

// Blocked first thing, a stop signal that arrives before anybody takes
// signals waits for its taker instead of ending the process.
int block_then_wait(int ready_fd) {
  platform::signal_block();
  if (write(ready_fd, "r", 1) != 1) return 21;
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&wanted, s);
  const timespec limit{10, 0};
  const int got = sigtimedwait(&wanted, nullptr, &limit);
  return got > 0 ? 0 : 22;
}

class SignalBlockFirst : public ::testing::TestWithParam<int> {};

TEST_P(SignalBlockFirst, AStopSignalWaitsForItsTaker) {
  const int status = run_in_child(block_then_wait, GetParam());
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalBlockFirst, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& p) { return std::string(strsignal(p.param)); });

// With a real file-size limit, a write past it is the error EFBIG, not the
// end of the process (SIGXFSZ).
int write_past_the_limit(int ready_fd) {
  const rlimit limit = {4096, RLIM_INFINITY};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
  platform::signal_block();
  char path[] = "/tmp/zent_fsize_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 21;
  unlink(path);
  if (write(ready_fd, "r", 1) != 1) return 22;
  static char data[8192];
  if (write(fd, data, sizeof data) != 4096) return 23;  // up to the limit
  errno = 0;
  if (write(fd, data, sizeof data) != -1 || errno != EFBIG) return 24;
  close(fd);
  return 0;
}

TEST(SignalBlock, AWritePastTheFileSizeLimitIsAnError) {
  const int status = run_in_child(write_past_the_limit, 0);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
