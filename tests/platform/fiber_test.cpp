// Fibers: switching in any order, stacks of their own, deletion of a
// suspended fiber without unwinding, and the guard page.
#include "platform/fiber.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::Fiber;

std::vector<int> g_steps;
Fiber* g_main;
Fiber* g_a;
Fiber* g_b;

TEST(Fiber, AnyFiberSwitchesToAnyOther) {
  g_steps.clear();
  static int one = 1;
  g_main = platform::fiber_convert_thread();
  EXPECT_EQ(platform::fiber_convert_thread(), g_main);
  EXPECT_EQ(platform::fiber_current(), g_main);
  g_a = platform::fiber_create(0, [](void* arg) {
    g_steps.push_back(*static_cast<int*>(arg));
    platform::fiber_switch(g_b);
    g_steps.push_back(3);
    platform::fiber_switch(g_main);
    for (;;) platform::fiber_switch(g_main);
  }, &one);
  g_b = platform::fiber_create(64 * 1024, [](void*) {
    g_steps.push_back(2);
    EXPECT_EQ(platform::fiber_current(), g_b);
    platform::fiber_switch(g_a);
    for (;;) platform::fiber_switch(g_main);
  }, nullptr);
  ASSERT_NE(g_a, nullptr);
  ASSERT_NE(g_b, nullptr);
  EXPECT_EQ(platform::fiber_stack_size(g_a), platform::kFiberDefaultStack);
  EXPECT_EQ(platform::fiber_stack_size(g_b), 64u * 1024);
  EXPECT_EQ(platform::fiber_stack_size(g_main), 0u);
  platform::fiber_switch(g_a);
  EXPECT_EQ(g_steps, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(platform::fiber_current(), g_main);
  platform::fiber_delete(g_a);
  platform::fiber_delete(g_b);
  platform::fiber_delete(g_main);  // a main fiber is never deleted
  EXPECT_EQ(platform::fiber_current(), g_main);
}

int g_destructors;
struct Counted {
  ~Counted() { ++g_destructors; }
};

TEST(Fiber, DeletingSuspendedFiberDoesNotUnwindIt) {
  g_main = platform::fiber_convert_thread();
  g_destructors = 0;
  Fiber* f = platform::fiber_create(0, [](void*) {
    Counted local;
    platform::fiber_switch(g_main);
    for (;;) platform::fiber_switch(g_main);
  }, nullptr);
  platform::fiber_switch(f);
  platform::fiber_delete(f);
  EXPECT_EQ(g_destructors, 0);
}

TEST(Fiber, RunningFiberIsNotDeletedByItself) {
  g_main = platform::fiber_convert_thread();
  static bool survived;
  survived = false;
  Fiber* f = platform::fiber_create(0, [](void*) {
    platform::fiber_delete(platform::fiber_current());
    survived = true;
    platform::fiber_switch(g_main, true);
  }, nullptr);
  platform::fiber_switch(f);
  EXPECT_TRUE(survived);
  platform::fiber_delete(f);
}

TEST(Fiber, ManyFibersComeAndGo) {
  g_main = platform::fiber_convert_thread();
  static int runs;
  runs = 0;
  for (int round = 0; round < 200; ++round) {
    Fiber* f = platform::fiber_create(0, [](void*) {
      volatile char buffer[4096];
      buffer[0] = 1;
      runs += buffer[0];
      platform::fiber_switch(g_main, true);
    }, nullptr);
    ASSERT_NE(f, nullptr);
    platform::fiber_switch(f);
    platform::fiber_delete(f);
  }
  EXPECT_EQ(runs, 200);
}

int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return depth <= 0 ? frame[0] : recurse(depth - 1) + frame[0];
}

TEST(Fiber, StackOverflowHitsTheGuardPage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        g_main = platform::fiber_convert_thread();
        Fiber* f = platform::fiber_create(64 * 1024, [](void*) {
          recurse(1 << 20);
          platform::fiber_switch(g_main);
        }, nullptr);
        platform::fiber_switch(f);
      },
      "");
}

}  // namespace
