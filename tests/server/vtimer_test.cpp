// Virtual timers: ordering, the 100 ms minimum, periodic re-insertion,
// cancel, pool limits, and the timer thread on the real clock.
#include "server/vtimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

std::atomic<uint64_t> g_now{1000};
uint64_t fake_now() { return g_now.load(); }

std::mutex g_log_mutex;
std::vector<std::string> g_fired;

void record(void* arg) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_fired.push_back(static_cast<const char*>(arg));
}

// The timer pool on a clock the test moves by hand; no timer thread.
class VTimerClock : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    g_fired.clear();
    vtimer_set_clock(fake_now);
    ASSERT_EQ(vtimer_init(8), 0);
  }
  void TearDown() override {
    vtimer_exit();
    vtimer_set_clock(nullptr);
  }
  // Moves the clock to t and runs what is due; returns what fired.
  std::vector<std::string> at(uint64_t t) {
    g_now = t;
    g_fired.clear();
    vtimer_handler();
    return g_fired;
  }
  using V = std::vector<std::string>;
};

TEST_F(VTimerClock, ShortTimersAreLengthenedToTheMinimum) {
  std::atomic<int> fired{7};
  vtimer_add(50, 0, &fired, record, const_cast<char*>("a"));
  EXPECT_EQ(fired.load(), 0);  // cleared when added
  EXPECT_EQ(at(1099), V{});
  EXPECT_EQ(fired.load(), 0);
  EXPECT_EQ(at(1100), V{"a"});
  EXPECT_EQ(fired.load(), 1);
  EXPECT_EQ(at(5000), V{});  // one-shot: gone
}

TEST_F(VTimerClock, TimersFireInExpiryOrder) {
  vtimer_add(300, 0, nullptr, record, const_cast<char*>("c"));
  vtimer_add(100, 0, nullptr, record, const_cast<char*>("a"));
  vtimer_add(200, 0, nullptr, record, const_cast<char*>("b"));
  EXPECT_EQ(at(1250), (V{"a", "b"}));
  EXPECT_EQ(at(1300), V{"c"});
}

TEST_F(VTimerClock, EqualExpiriesFireTheLaterInsertionFirst) {
  vtimer_add(100, 1, nullptr, record, const_cast<char*>("first"));
  vtimer_add(100, 1, nullptr, record, const_cast<char*>("second"));
  EXPECT_EQ(at(1100), (V{"second", "first"}));
  // Each re-insertion goes before its equals: the order alternates.
  EXPECT_EQ(at(1200), (V{"first", "second"}));
  EXPECT_EQ(at(1300), (V{"second", "first"}));
}

TEST_F(VTimerClock, PeriodicTimersCatchUpAfterALateHandler) {
  vtimer_add(100, 1, nullptr, record, const_cast<char*>("p"));
  EXPECT_EQ(at(1350), (V{"p", "p", "p"}));  // 1100, 1200, 1300
  EXPECT_EQ(at(1400), V{"p"});
}

// Past 2^32 ms (49.7 days of uptime) expiries neither wrap nor collide
// with "nothing armed".
TEST_F(VTimerClock, TimesBeyondThirtyTwoBitsOfMillisecondsKeepTheirOrder) {
  const uint64_t wrap = uint64_t{1} << 32;
  g_now = wrap - 50;
  vtimer_add(300, 0, nullptr, record, const_cast<char*>("c"));
  vtimer_add(100, 1, nullptr, record, const_cast<char*>("p"));
  EXPECT_EQ(at(wrap - 1), V{});
  EXPECT_EQ(at(wrap + 49), V{});
  EXPECT_EQ(at(wrap + 50), V{"p"});
  // p at +150, then p re-inserted before c, both at +250.
  EXPECT_EQ(at(wrap + 250), (V{"p", "p", "c"}));
}

TEST_F(VTimerClock, CancelRemovesOnlyAPendingTimer) {
  const int a = vtimer_add(100, 0, nullptr, record, const_cast<char*>("a"));
  const int b = vtimer_add(200, 1, nullptr, record, const_cast<char*>("b"));
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(vtimer_cancel(a), 0);
  EXPECT_EQ(vtimer_cancel(a), -1);
  EXPECT_EQ(at(1200), V{"b"});
  EXPECT_EQ(vtimer_cancel(b), 0);  // a periodic timer stays cancellable
  EXPECT_EQ(at(2000), V{});
  EXPECT_EQ(vtimer_cancel(-1), -1);
  EXPECT_EQ(vtimer_cancel(12345), -1);
}

TEST_F(VTimerClock, AStaleIdNeverCancelsTheEntrysNextTimer) {
  const int a = vtimer_add(100, 0, nullptr, record, const_cast<char*>("a"));
  EXPECT_EQ(at(1100), V{"a"});
  // The pool hands its free entries out again; try them all.
  std::vector<int> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(vtimer_add(100, 0, nullptr, record, const_cast<char*>("n")));
  EXPECT_EQ(vtimer_cancel(a), -1);
  EXPECT_EQ(at(1200).size(), 8u);
}

TEST_F(VTimerClock, AFullPoolRefusesAndRecoversWhenTimersFire) {
  for (int i = 0; i < 8; ++i) ASSERT_GE(vtimer_add(100, 0, nullptr, record, const_cast<char*>("x")), 0);
  EXPECT_EQ(vtimer_add(100, 0, nullptr, record, const_cast<char*>("y")), -1);
  at(1100);
  EXPECT_GE(vtimer_add(100, 0, nullptr, record, const_cast<char*>("y")), 0);
}

TEST_F(VTimerClock, StoppedTimersNeverFire) {
  vtimer_add(100, 1, nullptr, record, const_cast<char*>("a"));
  vtimer_stop();
  EXPECT_EQ(at(5000), V{});
}

TEST_F(VTimerClock, ACallbackMayAddTimers) {
  static const auto again = [](void*) {
    record(const_cast<char*>("outer"));
    vtimer_add(100, 0, nullptr, record, const_cast<char*>("inner"));
  };
  vtimer_add(100, 0, nullptr, again, nullptr);
  EXPECT_EQ(at(1100), V{"outer"});
  EXPECT_EQ(at(1200), V{"inner"});
}

TEST(VTimerPool, SetUpOnceWithASaneCount) {
  EXPECT_EQ(vtimer_add(100, 0, nullptr, record, nullptr), -1);  // not set up
  EXPECT_EQ(vtimer_init(0), -1);
  EXPECT_EQ(vtimer_init(VTIMER_MAX_ENTRIES + 1), -1);
  ASSERT_EQ(vtimer_init(2), 0);
  EXPECT_EQ(vtimer_init(2), -1);
  vtimer_exit();
  EXPECT_EQ(vtimer_add(100, 0, nullptr, record, nullptr), -1);
  EXPECT_EQ(vtimer_init(2), 0);
  vtimer_exit();
}

// The timer thread on the monotonic clock.
class VTimerThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vtimer_init(8), 0);
    ASSERT_EQ(bg_timer_thread_start(), 0);
  }
  void TearDown() override {
    bg_timer_thread_stop();
    vtimer_exit();
  }
};

struct Stamp {
  std::atomic<uint64_t> at{0};
  std::atomic<int> count{0};
};

// The time is stored before the count moves, so a waiter that sees the count reads the time.
void stamp(void* arg) {
  auto* s = static_cast<Stamp*>(arg);
  uint64_t unset = 0;
  s->at.compare_exchange_strong(unset, platform::monotonic_ms());
  s->count.fetch_add(1);
}

bool wait_until(const std::atomic<int>& v, int n, int timeout_ms) {
  for (int i = 0; i < timeout_ms / 5 && v.load() < n; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return v.load() >= n;
}

TEST_F(VTimerThread, AFiftyMillisecondTimerFiresAfterAHundred) {
  Stamp s;
  const uint64_t start = platform::monotonic_ms();
  ASSERT_GE(vtimer_add(50, 0, nullptr, stamp, &s), 0);
  ASSERT_TRUE(wait_until(s.count, 1, 3000));
  EXPECT_GE(s.at - start, 100u);
  EXPECT_LT(s.at - start, 1000u);
}

TEST_F(VTimerThread, AnEarlierTimerWakesTheSleepingThread) {
  Stamp late, early;
  ASSERT_GE(vtimer_add(60000, 0, nullptr, stamp, &late), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the thread sleeps for a minute
  const uint64_t start = platform::monotonic_ms();
  ASSERT_GE(vtimer_add(100, 0, nullptr, stamp, &early), 0);
  ASSERT_TRUE(wait_until(early.count, 1, 3000));
  EXPECT_LT(early.at - start, 900u);
  EXPECT_EQ(late.count.load(), 0);
}

TEST_F(VTimerThread, PeriodicTimerRepeatsUntilCancelled) {
  Stamp s;
  const int id = vtimer_add(100, 1, nullptr, stamp, &s);
  ASSERT_TRUE(wait_until(s.count, 3, 3000));
  ASSERT_EQ(vtimer_cancel(id), 0);
  const int seen = s.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_LE(s.count.load(), seen + 1);  // at most one run already under way
}

}  // namespace
