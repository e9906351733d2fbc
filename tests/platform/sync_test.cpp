// Events, the OS semaphore, clocks and the signal mask.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/os_semaphore.h"
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

TEST(Clock, MonotonicAndNeverZero) {
  uint64_t a = platform::monotonic_ms();
  uint64_t b = platform::monotonic_ms();
  EXPECT_GT(a, 0u);
  EXPECT_LE(a, b);
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

TEST(SignalHandler, TheInstalledHandlerIsTheOneCalled) {
  static int called_with = 0;
  platform::signal_set_handler(+[](int signo) { called_with = signo; });
  platform::signal_get_handler()(SIGTERM);
  EXPECT_EQ(called_with, SIGTERM);
  platform::signal_set_handler(nullptr);
  EXPECT_EQ(platform::signal_get_handler(), nullptr);
}

}  // namespace
