// Events, the OS semaphore and the signal thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
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

TEST(OsSemaphore, WakesAWaiterOnAnotherThread) {
  platform::OsSemaphore s(0, 0x7fffffff);
  std::atomic<int> got{0};
  std::thread t([&] {
    s.wait();
    got = 1;
  });
  s.release();
  t.join();
  EXPECT_EQ(got.load(), 1);
}

TEST(Clock, MonotonicAndNeverZero) {
  uint64_t a = platform::monotonic_ms();
  uint64_t b = platform::monotonic_ms();
  EXPECT_GT(a, 0u);
  EXPECT_LE(a, b);
}

std::atomic<int> g_signo{0};
void record_signal(int signo) { g_signo = signo; }

TEST(SignalThread, HandlerRunsOnTheSignalThread) {
  platform::signal_block();
  platform::signal_set_handler(record_signal);
  ASSERT_EQ(platform::signal_thread_start(), 0);
  kill(getpid(), SIGTERM);
  for (int i = 0; i < 200 && g_signo == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_signo.load(), SIGTERM);
  platform::signal_set_handler(nullptr);
  platform::signal_thread_stop();
}

}  // namespace
